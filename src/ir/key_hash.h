// The structural hash of a node key apart from its inputs, and the matching
// equality. Tables of keys built during a reduction (the boundary symbols of
// an engine graph, the incremental reducer's canonical form) hash with it;
// it is keyed, so keys crafted to collide cannot be prepared in advance.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/hash.h"
#include "base/out_buffer.h"
#include "ir/node.h"

namespace tessary {

// True when the two keys are equal apart from their inputs.
bool same_except_inputs(const NodeKey& a, const NodeKey& b);

// Hashes keys in two steps: `signature` hashes what identifies a key apart
// from its inputs (keys that same_except_inputs holds equal hash alike),
// then `with_inputs` combines that hash with an input list. Both are keyed.
class KeyHasher {
 public:
  explicit KeyHasher(const SipKey& key) : key_(key) {}
  KeyHasher(const KeyHasher&) = delete;
  KeyHasher& operator=(const KeyHasher&) = delete;

  // The hash of `node` apart from its inputs.
  std::uint64_t signature(const NodeKey& node);
  // The hash of a key whose signature hash is `signature`, with `inputs`.
  std::uint64_t with_inputs(std::uint64_t signature, std::span<const NodeId> inputs);

 private:
  SipKey key_;
  // Scratch for the bytes hashed, written through an OutBuffer. It never
  // shrinks, so a resize leaves at least the bytes asked for, and the
  // next key starts with the room the longest one so far needed.
  std::string bytes_;
  ResizeBuffer resize_ = [this](std::size_t size) {
    bytes_.resize(std::max(size, bytes_.size()));
    return reinterpret_cast<std::uint8_t*>(bytes_.data());
  };
};

}  // namespace tessary
