// The one reader of a stored record's field layout (see packed_key.h): walks
// the fields of a record of any kind but Stage in the order they were
// written and hands each to a visitor, so decoding a record, splitting it
// into fields and inputs, and writing it out as a blob share one loop.
#pragma once

#include <cstdint>
#include <cstring>

#include "base/fault.h"
#include "base/hash.h"
#include "ir/node.h"
#include "ir/param.h"

namespace tessary {

// Where a record's equality bytes are, and the raw bits of its NaNs when
// they are kept beside them.
struct RecordLayout {
  const std::uint8_t* eq;
  std::size_t eq_len;
  const std::uint8_t* nan_raw;
  std::size_t nan_count;
};

namespace record_walk_detail {

[[noreturn]] inline void corrupt() { fault("corrupt packed key"); }

// Reads the LEB128 value at `p` and moves `p` past it. Faults on a value
// longer than 64 bits, or one that runs past `end` (null when the bytes are
// known to hold the whole value).
inline std::uint64_t read_varint(const std::uint8_t*& p, const std::uint8_t* end) {
  if ((end == nullptr || p < end) && *p < 0x80) return *p++;
  std::uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (end != nullptr && p >= end) corrupt();
    const std::uint8_t b = *p++;
    v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) return v;
  }
  corrupt();
}

inline std::int64_t unzigzag(std::uint64_t v) {
  return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

}  // namespace record_walk_detail

inline RecordLayout record_layout(const std::uint8_t* record) {
  // A record's own length is in its header, so its two varints are read
  // bounded only by the longest a varint can be.
  const std::uint8_t* p = record;
  const std::uint64_t header = record_walk_detail::read_varint(p, nullptr);
  RecordLayout layout{p, static_cast<std::size_t>(header >> 1), nullptr, 0};
  if (header & 1) {
    const std::uint8_t* q = p + layout.eq_len;
    layout.nan_count = record_walk_detail::read_varint(q, nullptr);
    layout.nan_raw = q;
  }
  return layout;
}

// What walk_record calls, in this order: kind; then name (Source, Op,
// Reduction) or descriptor (External); params_begin and one param per
// entry, in map order; fields_end with where the inputs start; then, for
// every kind but Source, inputs_begin and one input per id. A visitor
// derives from this and hides the calls it wants.
struct RecordVisitor {
  void kind(NodeKind) {}
  void name(std::uint32_t) {}
  // The required descriptor fields in order, then the preprocessing
  // reference when `has_ref`.
  void descriptor(const std::uint32_t*, bool /*has_ref*/, std::uint32_t /*ref*/) {}
  void params_begin(std::uint64_t) {}
  // `bits`: an Int's two's complement, a Float's bits as interned (a NaN's
  // payload too), 0 or 1 for a Bool, a Str's pool index.
  void param(std::uint32_t /*key*/, ParamTag, std::uint64_t /*bits*/) {}
  void fields_end(const std::uint8_t*) {}
  void inputs_begin(std::uint64_t) {}
  void input(NodeId) {}
};

// Walks the record laid out as `layout`, whose string indices must all be
// below `string_count`; false, with nothing visited, for a stage record.
template <typename Visitor>
bool walk_record(const RecordLayout& layout, std::uint64_t string_count, Visitor& v) {
  using record_walk_detail::corrupt;
  const std::uint8_t* p = layout.eq;
  const std::uint8_t* const end = layout.eq + layout.eq_len;
  const std::uint8_t* nan_p = layout.nan_raw;
  std::size_t nan_left = layout.nan_count;
  const auto u = [&]() { return record_walk_detail::read_varint(p, end); };
  const auto byte = [&]() -> std::uint8_t {
    if (p >= end) corrupt();
    return *p++;
  };
  const auto index = [&]() {
    const std::uint64_t i = u();
    if (i >= string_count) corrupt();
    return static_cast<std::uint32_t>(i);
  };

  const auto kind = static_cast<NodeKind>(byte());
  switch (kind) {
    case NodeKind::kSource:
    case NodeKind::kOp:
    case NodeKind::kReduction:
      v.kind(kind);
      v.name(index());
      break;
    case NodeKind::kExternal: {
      v.kind(kind);
      std::uint32_t fields[kDescriptorFieldNames.size()];
      for (std::uint32_t& field : fields) field = index();
      const bool has_ref = u() != 0;
      v.descriptor(fields, has_ref, has_ref ? index() : 0);
      break;
    }
    case NodeKind::kExchange:
      v.kind(kind);
      break;
    case NodeKind::kStage:
      return false;
    default:
      corrupt();
  }

  const std::uint64_t params = u();
  v.params_begin(params);
  for (std::uint64_t i = 0; i < params; ++i) {
    const std::uint32_t key = index();
    const auto tag = static_cast<ParamTag>(byte());
    switch (tag) {
      case ParamTag::kInt:
        v.param(key, tag, static_cast<std::uint64_t>(record_walk_detail::unzigzag(u())));
        break;
      case ParamTag::kFloat: {
        if (end - p < 8) corrupt();
        std::uint64_t bits;
        std::memcpy(&bits, p, 8);
        p += 8;
        // A folded NaN's raw payload follows the equality bytes.
        if (bits == kCanonicalNan && nan_left > 0) {
          std::memcpy(&bits, nan_p, 8);
          nan_p += 8;
          --nan_left;
        }
        v.param(key, tag, bits);
        break;
      }
      case ParamTag::kBool:
        v.param(key, tag, byte() != 0 ? 1 : 0);
        break;
      case ParamTag::kStr:
        v.param(key, tag, index());
        break;
      default:
        corrupt();
    }
  }
  v.fields_end(p);
  if (kind == NodeKind::kSource) return true;
  const std::uint64_t inputs = u();
  v.inputs_begin(inputs);
  for (std::uint64_t i = 0; i < inputs; ++i) v.input(u());
  return true;
}

}  // namespace tessary
