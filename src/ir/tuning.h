// The graph store's performance knobs, in one place. None of them changes a
// result: ids, keys, tokens and blobs are the same whatever they are.
#pragma once

#include <cstddef>

namespace tessary {

struct StoreTuning {
  // A sequence interned into an empty store, and a blob read into a new
  // one, pack and hash keys this far ahead of the one being interned, and
  // start loading their index slots.
  static constexpr std::size_t kSequenceLookahead = 2;
  // Slots of the recent-signature cache of op tokens in a store visit; a
  // small store gets fewer.
  static constexpr std::size_t kVisitCacheSlots = 1024;
  // Slots of to_dot's cache of labels by the stored bytes of a node's
  // fields; a small store gets fewer.
  static constexpr std::size_t kDotLabelSlots = 1024;
  // Slots of a string pool's cache of recently found strings: a pool starts
  // with the first count and moves to the second after two lookups per slot,
  // so a small graph's store never allocates and clears the big one.
  static constexpr std::size_t kFirstRecentStringSlots = 16;
  static constexpr std::size_t kRecentStringSlots = 256;
};

}  // namespace tessary
