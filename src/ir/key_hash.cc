#include "ir/key_hash.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "base/hash.h"
#include "base/out_buffer.h"
#include "base/overloaded.h"
#include "base/varint.h"

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

namespace {

// Writes the bytes a signature hashes through an OutBuffer over a reused
// string: numbers as LEB128 varints (an int's two's complement bits, a
// float's canonical bits whole), and texts after their length, so no two
// different field lists write the same bytes.
class SignatureWriter {
 public:
  explicit SignatureWriter(const ResizeBuffer& resize, std::size_t capacity)
      : out_(resize, capacity) {}

  void byte(char c) {
    *out_.room(1) = static_cast<std::uint8_t>(c);
    out_.advance(1);
  }
  void varint(std::uint64_t v) { out_.seek(put_varint(out_.room(10), v)); }
  void word(std::uint64_t v) {
    std::memcpy(out_.room(sizeof v), &v, sizeof v);
    out_.advance(sizeof v);
  }
  void text(std::string_view t) {
    varint(t.size());
    if (t.empty()) return;
    std::memcpy(out_.room(t.size()), t.data(), t.size());
    out_.advance(t.size());
  }

  // Floats by canonical bits, as ParamValue equality compares them.
  void params(const ParamMap& params) {
    varint(params.size());
    for (const ParamEntry& entry : params.entries()) {
      text(entry.key);
      const ParamValue& value = entry.value;
      byte(static_cast<char>(value.tag()));
      switch (value.tag()) {
        case ParamTag::kInt:
          varint(static_cast<std::uint64_t>(value.as_int()));
          break;
        case ParamTag::kFloat:
          word(float_key_bits(value.as_float()));
          break;
        case ParamTag::kBool:
          byte(value.as_bool() ? '\1' : '\0');
          break;
        case ParamTag::kStr:
          text(value.as_str());
          break;
      }
    }
  }

  // What was written; valid until the buffer is written again.
  std::string_view written() const {
    return {reinterpret_cast<const char*>(out_.data()), out_.size()};
  }

 private:
  OutBuffer out_;
};

}  // namespace

std::uint64_t KeyHasher::signature(const NodeKey& node) {
  // Every field the keys' equality compares, apart from the inputs; no text
  // is escaped or formatted, unlike a token.
  SignatureWriter w(resize_, bytes_.size());
  w.byte(static_cast<char>(node.kind()));
  std::visit(Overloaded{
                 [&](const Source& k) {
                   w.text(k.name);
                   w.params(k.params);
                 },
                 [&](const Op& k) {
                   w.text(k.name);
                   w.params(k.params);
                 },
                 [&](const Reduction& k) {
                   w.text(k.name);
                   w.params(k.params);
                 },
                 [&](const External& k) {
                   const PayloadDescriptor& d = *k.descriptor;
                   for_each_required_field(
                       [&](std::size_t, const std::string& field) { w.text(field); }, d);
                   w.byte(d.preprocessing_ref ? '\1' : '\0');
                   if (d.preprocessing_ref) w.text(*d.preprocessing_ref);
                   w.params(k.params);
                 },
                 [&](const Stage& k) {
                   w.varint(k.members.size());
                   for (const StageOp& m : k.members) {
                     w.text(m.op);
                     w.varint(m.refs.size());
                     for (const StageRef& r : m.refs) {
                       w.byte(static_cast<char>(r.tag));
                       w.varint(r.index);
                     }
                   }
                 },
                 [&](const Exchange& k) { w.params(k.params); },
             },
             node.variant());
  return siphash13(key_, w.written());
}

std::uint64_t KeyHasher::with_inputs(std::uint64_t signature, std::span<const NodeId> inputs) {
  // The signature, then the inputs, as words: a key hashes its long fields
  // once, however many input lists it is looked up with.
  constexpr std::size_t kOnStack = 8;
  if (inputs.size() <= kOnStack) {
    std::uint64_t words[1 + kOnStack];
    words[0] = signature;
    std::copy(inputs.begin(), inputs.end(), words + 1);
    return siphash13(key_, std::string_view(reinterpret_cast<const char*>(words),
                                            sizeof(std::uint64_t) * (1 + inputs.size())));
  }
  SignatureWriter w(resize_, bytes_.size());
  w.word(signature);
  for (const NodeId input : inputs) w.word(input);
  return siphash13(key_, w.written());
}

}  // namespace tessary
