#include "ir/key_hash.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "base/hash.h"
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

namespace {

// Writes the bytes a signature hashes into a reused string: numbers as
// LEB128 varints (an int's two's complement bits, a float's canonical bits
// whole), and texts after their length, so no two different field lists
// write the same bytes.
class SignatureWriter {
 public:
  explicit SignatureWriter(std::string& out) : out_(out) {
    out_.resize(out_.capacity());
    p_ = out_.data();
    end_ = p_ + out_.size();
  }

  void byte(char c) {
    *room(1) = c;
    ++p_;
  }
  void varint(std::uint64_t v) {
    char* q = room(10);
    while (v >= 0x80) {
      *q++ = static_cast<char>((v & 0x7F) | 0x80);
      v >>= 7;
    }
    *q++ = static_cast<char>(v);
    p_ = q;
  }
  void word(std::uint64_t v) {
    std::memcpy(room(sizeof v), &v, sizeof v);
    p_ += sizeof v;
  }
  void text(std::string_view t) {
    varint(t.size());
    if (t.empty()) return;
    std::memcpy(room(t.size()), t.data(), t.size());
    p_ += t.size();
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

  std::string_view written() const {
    return {out_.data(), static_cast<std::size_t>(p_ - out_.data())};
  }

 private:
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
    return p_;
  }
  [[gnu::noinline]] void grow(std::size_t n) {
    const auto used = static_cast<std::size_t>(p_ - out_.data());
    out_.resize(std::max<std::size_t>(2 * out_.size(), used + n + 64));
    p_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  char* p_;
  char* end_;
};

}  // namespace

std::uint64_t KeyHasher::signature(const NodeKey& node) {
  // Every field the keys' equality compares, apart from the inputs; no text
  // is escaped or formatted, unlike a token.
  SignatureWriter w(bytes_);
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
  SignatureWriter w(bytes_);
  w.word(signature);
  for (const NodeId input : inputs) w.word(input);
  return siphash13(key_, w.written());
}

}  // namespace tessary
