// A small direct-mapped cache from byte strings to values, for work that
// repeats on most nodes of a graph (a few signatures cover most ops). Every
// hit is confirmed by comparing the bytes, so a collision, crafted or not,
// only costs a miss. The slot count follows the expected number of lookups,
// so a cache for a small graph stays small.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/hash.h"

namespace tessary {

template <typename Value>
class RecentCache {
 public:
  // Room for about `expected` keys, at least 8 and at most `max_slots` slots
  // (a power of two). Nothing is allocated until the first `put`.
  RecentCache(std::size_t expected, std::size_t max_slots)
      : slot_count_(std::bit_ceil(
            std::clamp<std::size_t>(expected, 8, std::max<std::size_t>(8, max_slots)))) {}

  // The value cached for `key`, or null.
  const Value* find(std::string_view key) const {
    if (slots_.empty()) return nullptr;
    const Slot& slot = slots_[edge_slot(key, slot_count_)];
    return slot.used && slot.key == key ? &slot.value : nullptr;
  }

  // Caches `value` for `key`, evicting what the slot held. Slots change only
  // here, so a caller that fails while making `value` leaves none stale, and
  // a failure here leaves the slot empty.
  const Value& put(std::string_view key, Value value) {
    if (slots_.empty()) slots_.resize(slot_count_);
    Slot& slot = slots_[edge_slot(key, slot_count_)];
    slot.used = false;
    slot.key.assign(key);
    slot.value = std::move(value);
    slot.used = true;
    return slot.value;
  }

 private:
  struct Slot {
    bool used = false;
    std::string key;
    Value value{};
  };

  std::size_t slot_count_;
  std::vector<Slot> slots_;  // slot_count_ of them, from the first `put`
};

}  // namespace tessary
