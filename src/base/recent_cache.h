// A small direct-mapped cache from byte strings to values, for work that
// repeats on most nodes of a graph (a few signatures cover most ops, a few
// strings most names). Every hit is confirmed by comparing the bytes, so a
// collision, crafted or not, only costs a miss. The slot count follows the
// expected number of lookups, so a cache for a small graph stays small.
//
// Keys are copied into the cache (Key = std::string) or borrowed (Key =
// std::string_view): a borrowed key's bytes must outlive the cache, as a
// store's records do during a visit or a pool's strings do for its cache.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/hash.h"

namespace tessary {

template <typename Value, typename Key = std::string>
class RecentCache {
  static_assert(std::is_same_v<Key, std::string> || std::is_same_v<Key, std::string_view>);

 public:
  // Room for about `expected` keys, at least 8 and at most `max_slots` slots
  // (a power of two). Nothing is allocated until the first `put`.
  RecentCache(std::size_t expected, std::size_t max_slots)
      : slot_count_(slots_for(expected, max_slots)) {}

  // How many slots keys map to.
  std::size_t slot_count() const { return slot_count_; }
  // Maps keys to about `expected` slots from now on (clamped as in the
  // constructor), keeping the entries that land in distinct slots; slots
  // that slot_of gave before are void.
  void resize(std::size_t expected, std::size_t max_slots) {
    const std::size_t count = slots_for(expected, max_slots);
    if (count == slot_count_) return;
    std::vector<Slot> moved;
    if (!slots_.empty()) {
      moved.resize(count);
      for (Slot& slot : slots_) {
        if (slot.used) moved[edge_slot(slot.key, count)] = std::move(slot);
      }
    }
    slots_.swap(moved);
    slot_count_ = count;
  }
  // The slot `key` maps to, for the find and put of one lookup.
  std::size_t slot_of(std::string_view key) const { return edge_slot(key, slot_count_); }

  // The value cached for `key`, or null.
  const Value* find(std::string_view key) const { return find(key, slot_of(key)); }
  const Value* find(std::string_view key, std::size_t slot_index) const {
    if (slots_.empty()) return nullptr;
    const Slot& slot = slots_[slot_index];
    return slot.used && same_text(slot.key, key) ? &slot.value : nullptr;
  }
  // The same, for changing the value in place.
  Value* find(std::string_view key, std::size_t slot_index) {
    return const_cast<Value*>(std::as_const(*this).find(key, slot_index));
  }

  // Caches `value` for `key`, evicting what the slot held. Slots change only
  // here, so a caller that fails while making `value` leaves none stale, and
  // a failure here leaves the slot empty.
  Value& put(std::string_view key, Value value) { return put(key, slot_of(key), std::move(value)); }
  // The same, in the slot slot_of(key) gave. A value or key copied in reuses
  // the storage of the ones it replaces.
  template <typename V>
  Value& put(std::string_view key, std::size_t slot_index, V&& value) {
    if (slots_.empty()) slots_.resize(slot_count_);
    Slot& slot = slots_[slot_index];
    if constexpr (std::is_nothrow_assignable_v<Value&, V&&> &&
                  std::is_same_v<Key, std::string_view>) {
      slot.key = key;
      slot.value = std::forward<V>(value);
    } else {
      slot.used = false;
      slot.key = key;
      slot.value = std::forward<V>(value);
    }
    slot.used = true;
    return slot.value;
  }

 private:
  static std::size_t slots_for(std::size_t expected, std::size_t max_slots) {
    return std::bit_ceil(std::clamp<std::size_t>(expected, 8, std::max<std::size_t>(8, max_slots)));
  }

  // Whether `a` and `b` hold the same bytes. The cached texts are mostly
  // names and keys of up to 16 bytes, which are compared in place, a few
  // words at a time.
  static bool same_text(std::string_view a, std::string_view b) {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    if (n < 8) {
      return load_short_le(reinterpret_cast<const unsigned char*>(a.data()), n) ==
             load_short_le(reinterpret_cast<const unsigned char*>(b.data()), n);
    }
    if (n <= 16) {
      // Two words that overlap when n < 16 cover every byte.
      std::uint64_t a0, a1, b0, b1;
      std::memcpy(&a0, a.data(), 8);
      std::memcpy(&b0, b.data(), 8);
      std::memcpy(&a1, a.data() + n - 8, 8);
      std::memcpy(&b1, b.data() + n - 8, 8);
      return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    return std::memcmp(a.data(), b.data(), n) == 0;
  }

  struct Slot {
    bool used = false;
    Key key;
    Value value{};
  };

  std::size_t slot_count_;
  std::vector<Slot> slots_;  // slot_count_ of them, from the first `put`
};

}  // namespace tessary
