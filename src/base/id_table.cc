#include "base/id_table.h"

#include "base/fault.h"

namespace tessary {

void IdTable::place(std::vector<Slot>& slots, Slot slot) {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = slot.hash & mask;; i = (i + 1) & mask) {
    if (slots[i].id_plus_one == 0) {
      slots[i] = slot;
      return;
    }
  }
}

void IdTable::grow() { rehash(slots_.empty() ? 16 : slots_.size() * 2); }

std::size_t slots_for(std::size_t count, std::size_t current) {
  std::size_t size = current < 16 ? 16 : current;
  while (count * 4 > size * 3) {
    if (size >= (std::size_t{1} << 32)) fault("hash table is full");
    size *= 2;
  }
  return size;
}

void IdTable::resize_for(std::size_t count) {
  const std::size_t size = slots_for(count, slots_.size());
  if (size != slots_.size()) rehash(size);
}

void IdTable::rehash(std::size_t new_size) {
  if (new_size > (std::size_t{1} << 32)) fault("id table is full");
  std::vector<Slot> bigger(new_size);
  for (const Slot& s : slots_) {
    if (s.id_plus_one != 0) place(bigger, s);
  }
  slots_.swap(bigger);
}

void IdTable::insert_at(const Probe& probe, std::uint32_t id) {
  if (id == UINT32_MAX) fault("id table is full");
  slots_[probe.slot] = Slot{probe.hash, id + 1};
  ++size_;
}

void IdTable::insert(std::uint64_t hash, std::uint32_t id) {
  if (id == UINT32_MAX) fault("id table is full");
  // Keep the load at or below 3/4 so probe runs stay short.
  if ((size_ + 1) * 4 > slots_.size() * 3) grow();
  place(slots_, Slot{static_cast<std::uint32_t>(hash), id + 1});
  ++size_;
}

}  // namespace tessary
