// Test helpers for blobs: a builder for hand-made byte strings, and the
// sample stores that the writer tests, round-trip tests and fuzz seeds share.
#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <span>
#include <string_view>
#include <vector>

#include "base/fault.h"
#include "blob/decode_error.h"
#include "ir/store.h"

namespace tessary {

// Lets GoogleTest show a DecodeError by its message.
inline void PrintTo(const DecodeError& e, std::ostream* os) { *os << e.message(); }

namespace blob_testing {

// Appends little-endian fields, e.g. Bytes().magic().u32(0).u32(0).
class Bytes {
 public:
  Bytes& raw(std::initializer_list<std::uint8_t> bytes) {
    data_.insert(data_.end(), bytes);
    return *this;
  }
  Bytes& magic() { return raw({'T', 'I', 'R', '1'}); }
  Bytes& u8(std::uint8_t v) { return raw({v}); }
  Bytes& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) data_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) data_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& str(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size()));
    data_.insert(data_.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& ids(std::initializer_list<std::uint64_t> ids) {
    u32(static_cast<std::uint32_t>(ids.size()));
    for (const std::uint64_t id : ids) u64(id);
    return *this;
  }
  // A Source record without parameters.
  Bytes& source(std::string_view name) { return u8(0).str(name).u32(0); }

  const std::vector<std::uint8_t>& data() const { return data_; }
  operator std::span<const std::uint8_t>() const { return data_; }  // NOLINT: implicit for calls

 private:
  std::vector<std::uint8_t> data_;
};

inline NodeId must_intern(GraphStore& store, NodeKey key) {
  auto id = store.intern(std::move(key));
  if (!id) fault("test store: bad input id");
  return id.value();
}

inline ParamMap params(std::vector<ParamEntry> entries) { return ParamMap(std::move(entries)); }

// Node 0 a Source named s, node 1 an Op add with scalar = 0.0 on [0].
inline void fill_small_store(GraphStore& store) {
  const NodeId s = must_intern(store, Source{"s", {}});
  must_intern(store, Op{"add", params({{"scalar", ParamValue::floating(0.0)}}), {s}});
}

// Every kind, stage members with both reference kinds, parameters of every
// type (including -0.0, infinity and a NaN with a payload), and descriptors
// with an absent, an empty and a present preprocessing reference.
inline void fill_varied_store(GraphStore& store) {
  const ParamMap all_types = params({
      {"i", ParamValue::integer(-9223372036854775807LL - 1)},
      {"f", ParamValue::floating(-0.0)},
      {"inf", ParamValue::floating(std::bit_cast<double>(std::uint64_t{0x7FF0000000000000}))},
      {"nan", ParamValue::floating(std::bit_cast<double>(std::uint64_t{0x7FF4000000000123}))},
      {"b", ParamValue::boolean(true)},
      {"off", ParamValue::boolean(false)},
      {"s", ParamValue::string("a;b=c|d%e \xC3\xA9 \xF0\x9F\x98\x80")},
      {"", ParamValue::string("")},
  });
  const NodeId rows = must_intern(store, Source{"rows", all_types});
  const NodeId cols = must_intern(store, Source{"cols \"quoted\"", {}});
  const NodeId add = must_intern(
      store, Op{"add",
                params({{"side", ParamValue::string("r")}, {"scalar", ParamValue::floating(1.5)}}),
                {rows, cols}});
  const NodeId twice = must_intern(store, Op{"mul", {}, {add, add}});
  const NodeId sum =
      must_intern(store, Reduction{"sum", params({{"axis", ParamValue::integer(0)}}), {twice}});
  PayloadDescriptor absent{"model", "h1", "torch", "2.1", "{\"x\": 1}", std::nullopt};
  PayloadDescriptor empty = absent;
  empty.preprocessing_ref = "";
  PayloadDescriptor present = absent;
  present.preprocessing_ref = "prep/7";
  const NodeId ext0 = must_intern(store, External{absent, {}, {sum}});
  const NodeId ext1 =
      must_intern(store, External{empty, params({{"k", ParamValue::integer(3)}}), {sum, rows}});
  const NodeId ext2 = must_intern(store, External{present, {}, {}});
  const NodeId stage =
      must_intern(store, Stage{{ext0, ext1},
                               {StageOp{"op|neg", {StageRef::input(0)}},
                                StageOp{"op|add|scalar=f0000000000000000;side=sr",
                                        {StageRef::member(0), StageRef::input(1)}},
                                StageOp{"op|mul", {StageRef::member(1), StageRef::member(0)}},
                                StageOp{"op|const", {}}}});
  must_intern(store, Stage{{}, {}});
  must_intern(store, Exchange{{}, {stage}});
  must_intern(store, Exchange{params({{"by", ParamValue::string("k")}}), {ext2, stage}});
}

}  // namespace blob_testing
}  // namespace tessary
