#include "eqsat/memo.h"

#include <limits>

#include "base/fault.h"
#include "base/id_table.h"

namespace tessary::eqsat {

// Slots are picked from the high half of the node's hash, the half its last
// multiplication mixes best.
std::uint32_t Memo::slot_hash(const SymbolLang& node) const {
  return static_cast<std::uint32_t>(node.hash(seed_) >> 32);
}

std::optional<Id> Memo::find(const SymbolLang& node) const {
  const auto found =
      index_.find(slot_hash(node), [&](std::uint32_t i) { return entries_[i].node == node; });
  if (!found) return std::nullopt;
  return entries_[*found].id;
}

void Memo::reserve(std::size_t count) { index_.reserve(count); }

Memo::Probe Memo::locate(const SymbolLang& node) {
  const IdTable::Probe slot =
      index_.locate(slot_hash(node), [&](std::uint32_t i) { return entries_[i].node == node; });
  return Probe{slot, slot.id};
}

std::uint32_t Memo::insert_at(const Probe& p, const SymbolLang& node, Id id) {
  if (entries_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) fault("memo is full");
  entries_.emplace_back(node, id);
  const auto index = static_cast<std::uint32_t>(entries_.size() - 1);
  index_.insert_at(p.slot, index);
  return index;
}

Memo::Found Memo::find_or_insert(const SymbolLang& node, Id id) {
  const Probe p = locate(node);
  if (p.index) return Found{*p.index, false};
  return Found{insert_at(p, node, id), true};
}

void Memo::prefetch(const SymbolLang& node) const { index_.prefetch(slot_hash(node)); }

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
  if (const auto candidate = index_.home_candidate(slot_hash(node))) entries_.prefetch(*candidate);
}

std::size_t Memo::capacity_bytes() const {
  return entries_.capacity_bytes() + index_.capacity_bytes();
}

}  // namespace tessary::eqsat
