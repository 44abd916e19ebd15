#include "ir/key_hash.h"

#include <cstring>
#include <variant>

#include "base/overloaded.h"

namespace tessary {

bool same_except_inputs(const NodeKey& a, const NodeKey& b) {
  if (a.kind() != b.kind()) return false;
  return std::visit(Overloaded{
                        [&](const Source& x) { return x == *b.get_if<Source>(); },
                        [&](const Op& x) {
                          const Op& y = *b.get_if<Op>();
                          return x.name == y.name && x.params == y.params;
                        },
                        [&](const Reduction& x) {
                          const Reduction& y = *b.get_if<Reduction>();
                          return x.name == y.name && x.params == y.params;
                        },
                        [&](const External& x) {
                          const External& y = *b.get_if<External>();
                          return x.descriptor == y.descriptor && x.params == y.params;
                        },
                        [&](const Stage& x) { return x.members == b.get_if<Stage>()->members; },
                        [&](const Exchange& x) { return x.params == b.get_if<Exchange>()->params; },
                    },
                    a.variant());
}

void KeyHasher::begin(const NodeKey& node) {
  // The token, plus what the token leaves out: a stage's members, and the
  // lengths of an external's descriptor fields (which the token writes raw,
  // so "|" inside one could shift the others).
  bytes_.clear();
  node.append_token(bytes_);
  token_size_ = bytes_.size();
  if (const Stage* stage = node.get_if<Stage>()) {
    for (const StageOp& m : stage->members) {
      bytes_.push_back('\0');
      bytes_.append(m.op);
      for (const StageRef& r : m.refs) {
        bytes_.push_back(r.tag == StageRef::Tag::kInput ? 'i' : 'm');
        bytes_.append(std::to_string(r.index));
      }
    }
  } else if (const External* ext = node.get_if<External>()) {
    for_each_required_field(
        [&](std::size_t, const std::string& field) {
          bytes_.push_back('\0');
          bytes_.append(std::to_string(field.size()));
        },
        *ext->descriptor);
  }
  head_size_ = bytes_.size();
}

std::uint64_t KeyHasher::finish(std::span<const NodeId> inputs) {
  bytes_.resize(head_size_);
  for (const NodeId input : inputs) {
    char raw[sizeof(NodeId)];
    std::memcpy(raw, &input, sizeof raw);
    bytes_.append(raw, sizeof raw);
  }
  return siphash13(key_, bytes_);
}

}  // namespace tessary
