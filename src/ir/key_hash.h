// The structural hash of a node key apart from its inputs, and the matching
// equality. Tables of keys built during a reduction (the boundary symbols of
// an engine graph, the incremental reducer's canonical form) hash with it;
// it is keyed, so keys crafted to collide cannot be prepared in advance.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/hash.h"
#include "ir/node.h"

namespace tessary {

// True when the two keys are equal apart from their inputs.
bool same_except_inputs(const NodeKey& a, const NodeKey& b);

// Hashes keys in two steps: `begin` writes the bytes that identify a key
// apart from its inputs (keys that same_except_inputs holds equal write
// equal bytes), then `finish` adds inputs, or none, and hashes.
class KeyHasher {
 public:
  explicit KeyHasher(const SipKey& key) : key_(key) {}

  void begin(const NodeKey& node);
  // The token of the key given to `begin` (NodeKey::token); valid until the
  // next `begin`.
  std::string_view token() const { return std::string_view(bytes_).substr(0, token_size_); }
  // The hash of the begun key with `inputs` in place of its own.
  std::uint64_t finish(std::span<const NodeId> inputs);
  // The hash of the begun key apart from any inputs.
  std::uint64_t finish() { return finish({}); }

 private:
  SipKey key_;
  std::string bytes_;  // the token, then what it leaves out, then inputs
  std::size_t token_size_ = 0;
  std::size_t head_size_ = 0;  // bytes written by `begin`
};

}  // namespace tessary
