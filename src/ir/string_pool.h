// A store's pool of distinct strings (names, parameter keys, string values,
// descriptor fields, member tokens). Packed keys refer to strings by their
// pool index, so a name repeated on a million nodes is stored once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/arena.h"
#include "base/hash.h"
#include "base/id_table.h"
#include "base/recent_cache.h"
#include "ir/tuning.h"

namespace tessary {

class StringPool {
 public:
  explicit StringPool(SipKey key)
      : key_(key),
        recent_(StoreTuning::kFirstRecentStringSlots, StoreTuning::kFirstRecentStringSlots) {}

  // The index of `text` if it is in the pool. Inline up to the recent-string
  // cache, which answers for most texts.
  std::optional<std::uint32_t> find(std::string_view text) const {
    note_lookup();
    const std::size_t slot = recent_.slot_of(text);
    if (const std::uint32_t* recent = recent_.find(text, slot)) return *recent;
    return find_uncached(text, slot);
  }
  // The index of `text`, adding it when new.
  std::uint32_t intern(std::string_view text) {
    note_lookup();
    const std::size_t slot = recent_.slot_of(text);
    if (const std::uint32_t* recent = recent_.find(text, slot)) return *recent;
    return intern_uncached(text, slot);
  }
  std::string_view get(std::uint32_t index) const { return strings_[index]; }
  // Every string by index. The texts stay in place while the pool lives; the
  // span itself is invalidated by the next intern.
  std::span<const std::string_view> views() const { return strings_; }
  std::size_t size() const { return strings_.size(); }
  const SipKey& key() const { return key_; }

 private:
  // Counts a lookup, growing the recent-string cache when it has served
  // enough of them at its size.
  void note_lookup() const {
    if (recent_.slot_count() < StoreTuning::kRecentStringSlots) count_lookup();
  }
  void count_lookup() const;
  // find and intern past a miss in the recent-string cache, whose slot for
  // `text` is `slot`.
  std::optional<std::uint32_t> find_uncached(std::string_view text, std::size_t slot) const;
  std::uint32_t intern_uncached(std::string_view text, std::size_t slot);

  SipKey key_;
  // Recently found strings with their indices, keyed by the pool's own copy
  // of the text, so the names and keys repeated on most nodes skip the keyed
  // hash.
  mutable RecentCache<std::uint32_t, std::string_view> recent_;
  mutable std::size_t lookups_ = 0;  // while the cache is small
  ByteArena bytes_;
  std::vector<std::string_view> strings_;  // views into bytes_
  IdTable index_;
};

}  // namespace tessary
