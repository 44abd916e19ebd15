#include "eqsat/memo.h"

#include <limits>

#include "base/fault.h"
#include "base/id_table.h"

namespace tessary::eqsat {
namespace {

// The high half of a multiply-rotate hash depends on every input bit; the low
// half does not, so slots are picked from the high half.
std::uint32_t slot_hash(const SymbolLang& node) {
  return static_cast<std::uint32_t>(node.hash() >> 32);
}

}  // namespace

std::size_t Memo::probe(const SymbolLang& node, std::uint32_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.index_plus_one == 0) return i;
    if (s.hash == hash && entries_[s.index_plus_one - 1].node == node) return i;
  }
}

std::optional<Id> Memo::find(const SymbolLang& node) const {
  if (slots_.empty()) return std::nullopt;
  const Slot& s = slots_[probe(node, slot_hash(node))];
  if (s.index_plus_one == 0) return std::nullopt;
  return entries_[s.index_plus_one - 1].id;
}

void Memo::grow_if_needed() {
  // Keep the load at or below 3/4 so probe runs stay short.
  if ((entries_.size() + 1) * 4 <= slots_.size() * 3) return;
  rehash(slots_.empty() ? 16 : slots_.size() * 2);
}

void Memo::reserve(std::size_t count) {
  const std::size_t size = slots_for(count, slots_.size());
  if (size != slots_.size()) rehash(size);
}

void Memo::rehash(std::size_t new_size) {
  std::vector<Slot> bigger(new_size);
  const std::size_t mask = new_size - 1;
  for (const Slot& s : slots_) {
    if (s.index_plus_one == 0) continue;
    std::size_t i = s.hash & mask;
    while (bigger[i].index_plus_one != 0) i = (i + 1) & mask;
    bigger[i] = s;
  }
  slots_.swap(bigger);
}

std::uint32_t Memo::append(std::size_t slot, std::uint32_t hash, const SymbolLang& node, Id id) {
  if (entries_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) fault("memo is full");
  entries_.push_back(Entry{node, id});
  const auto index = static_cast<std::uint32_t>(entries_.size() - 1);
  slots_[slot] = Slot{hash, index + 1};
  return index;
}

Memo::Probe Memo::locate(const SymbolLang& node) {
  grow_if_needed();
  const std::uint32_t hash = slot_hash(node);
  const std::size_t slot = probe(node, hash);
  std::optional<std::uint32_t> index;
  if (slots_[slot].index_plus_one != 0) index = slots_[slot].index_plus_one - 1;
  return Probe{slot, hash, index};
}

std::uint32_t Memo::insert_at(const Probe& p, const SymbolLang& node, Id id) {
  return append(p.slot, p.hash, node, id);
}

Memo::Found Memo::find_or_insert(const SymbolLang& node, Id id) {
  const Probe p = locate(node);
  if (p.index) return Found{*p.index, false};
  return Found{insert_at(p, node, id), true};
}

void Memo::prefetch(const SymbolLang& node) const {
  if (slots_.empty()) return;
  __builtin_prefetch(&slots_[slot_hash(node) & (slots_.size() - 1)]);
}

std::optional<Id> Memo::insert(const SymbolLang& node, Id id) {
  const Found found = find_or_insert(node, id);
  if (found.inserted) return std::nullopt;
  return replace_id(found.index, id);
}

Id Memo::replace_id(std::uint32_t index, Id id) {
  Entry& e = entries_[index];
  const Id previous = e.id;
  e.id = id;
  return previous;
}

void Memo::prefetch_entry_of(const SymbolLang& node) const {
  if (slots_.empty()) return;
  const std::uint32_t hash = slot_hash(node);
  const Slot& s = slots_[hash & (slots_.size() - 1)];
  if (s.index_plus_one != 0 && s.hash == hash) entries_.prefetch(s.index_plus_one - 1);
}

std::size_t Memo::capacity_bytes() const {
  return entries_.capacity_bytes() + slots_.capacity() * sizeof(Slot);
}

}  // namespace tessary::eqsat
