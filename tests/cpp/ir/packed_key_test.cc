#include "ir/packed_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "record_of.h"

namespace tessary {
namespace {

ParamMap params(std::vector<ParamEntry> entries) { return ParamMap(std::move(entries)); }

std::vector<NodeKey> every_kind() {
  const PayloadDescriptor with_ref{"model", "h", "torch", "2", "s", std::string("")};
  const PayloadDescriptor without_ref{"model", "h", "torch", "2", "s", std::nullopt};
  return {
      Source{"", {}},
      Source{"rows", params({{"n", ParamValue::integer(-7)}, {"b", ParamValue::boolean(true)}})},
      Op{"add",
         params({{"scalar", ParamValue::floating(-0.0)}, {"side", ParamValue::string("r")}}),
         {0, 1}},
      Op{"nullary", {}, {}},
      Reduction{"sum", params({{"axis", ParamValue::integer(0)}}), {2}},
      External{with_ref, {}, {3}},
      External{without_ref, params({{"k", ParamValue::string("a|b")}}), {3, 3}},
      Exchange{params({{"by", ParamValue::string("user")}}), {4}},
      Stage{{0, 1},
            {StageOp{"op|add", {StageRef::input(0), StageRef::input(1)}},
             StageOp{"op|neg", {StageRef::member(0)}}}},
  };
}

TEST(PackedKey, EveryKindDecodesAsItWasPacked) {
  StringPool pool(SipKey::random());
  for (const NodeKey& key : every_kind()) {
    const auto record = record_of(key, pool);
    EXPECT_EQ(unpack_key(record.get(), pool), key) << key.token();
  }
}

// The fields a record reads back with are equal exactly for keys equal
// apart from inputs, and match read_record_parts; a stage and a record that
// keeps a NaN's payload have none.
TEST(PackedKey, FieldsTellKeysApartButForTheirInputs) {
  StringPool pool(SipKey::random());
  auto fields_of = [&](const NodeKey& key) {
    const auto record = record_of(key, pool);
    std::string_view fields;
    EXPECT_EQ(unpack_key(record.get(), pool.views(), fields), key) << key.token();
    RecordParts parts;
    if (read_record_parts(record.get(), parts)) {
      EXPECT_EQ(fields, std::string_view(reinterpret_cast<const char*>(parts.fields.data()),
                                         parts.fields.size()));
    }
    return std::string(fields);
  };
  const std::vector<NodeKey> kinds = every_kind();
  std::vector<std::string> seen;
  for (const NodeKey& key : kinds) {
    const std::string fields = fields_of(key);
    if (key.kind() == NodeKind::kStage) {
      EXPECT_TRUE(fields.empty());
      continue;
    }
    ASSERT_FALSE(fields.empty()) << key.token();
    EXPECT_EQ(fields_of(key.kind() == NodeKind::kSource ? key : key.with_inputs({7, 8, 9})), fields)
        << key.token();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), fields), 0) << key.token();
    seen.push_back(fields);
  }
  const double odd_nan = std::bit_cast<double>(0x7ff0000000000123ULL);
  EXPECT_TRUE(fields_of(Op{"f", params({{"x", ParamValue::floating(odd_nan)}}), {0}}).empty());
}

// Equality bytes decide equality: NaNs fold to one value (the raw payload is
// kept beside them, so a key decodes with its own bits), 0.0 and -0.0 differ.
TEST(PackedKey, EqualityBytesFoldNansButKeepSignedZeros) {
  StringPool pool(SipKey::random());
  auto op_with = [](double v) {
    return NodeKey(Op{"f", params({{"x", ParamValue::floating(v)}}), {}});
  };
  const double odd_nan = std::bit_cast<double>(0x7ff0000000000123ULL);
  const auto quiet = record_of(op_with(std::numeric_limits<double>::quiet_NaN()), pool);
  const auto odd = record_of(op_with(odd_nan), pool);
  const auto zero = record_of(op_with(0.0), pool);
  const auto negative_zero = record_of(op_with(-0.0), pool);
  auto eq = [](const std::unique_ptr<std::uint8_t[]>& r) {
    const auto bytes = record_eq_bytes(r.get());
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  };
  EXPECT_EQ(eq(quiet), eq(odd));
  EXPECT_NE(eq(zero), eq(negative_zero));
  const NodeKey back = unpack_key(odd.get(), pool);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(back.params()->entries()[0].value.as_float()),
            0x7ff0000000000123ULL);
}

// Packing without adding strings fails exactly while one is missing.
TEST(PackedKey, LookupModeNeedsEveryStringPooled) {
  StringPool pool(SipKey::random());
  const NodeKey key = Source{"rows", params({{"path", ParamValue::string("/data")}})};
  PackedKey packed;
  EXPECT_FALSE(pack_key(key, pool, /*insert=*/false, packed));
  EXPECT_EQ(pool.size(), 0u);
  (void)pool.intern("rows");
  (void)pool.intern("path");
  EXPECT_FALSE(pack_key(key, pool, /*insert=*/false, packed));
  (void)pool.intern("/data");
  EXPECT_TRUE(pack_key(key, pool, /*insert=*/false, packed));
  PackedKey inserted;
  EXPECT_TRUE(pack_key(key, pool, /*insert=*/true, inserted));
  EXPECT_EQ(packed.eq, inserted.eq);
}

// One PackedKey is reused for every key a store packs: a long key grows its
// buffer, and a short key packed after it keeps none of its bytes.
TEST(PackedKey, ReusedBufferPacksLikeAFreshOne) {
  StringPool pool(SipKey::random());
  std::vector<ParamEntry> many;
  for (int i = 0; i < 300; ++i) {
    many.push_back({"key" + std::to_string(i), ParamValue::integer(std::int64_t{1} << (i % 63))});
  }
  const std::vector<NodeKey> keys = {
      Source{"a", {}},
      Op{std::string(500, 'n'), params(many), {1, 1u << 20, (std::uint64_t{1} << 40)}},
      Op{"b", params({{"x", ParamValue::floating(2.5)}}), {3}},
      Source{"a", {}},
  };
  PackedKey reused;
  for (const NodeKey& key : keys) {
    ASSERT_TRUE(pack_key(key, pool, /*insert=*/true, reused));
    PackedKey fresh;
    ASSERT_TRUE(pack_key(key, pool, /*insert=*/false, fresh));
    EXPECT_EQ(reused.eq, fresh.eq) << key.token();
    EXPECT_EQ(unpack_key(record_of(key, pool).get(), pool), key) << key.token();
  }
  // A parameter takes at least three bytes, so the long key outgrew any
  // first buffer.
  ASSERT_TRUE(pack_key(keys[1], pool, /*insert=*/false, reused));
  EXPECT_GT(reused.eq.size(), 3u * 300u);
}

// The parts read without decoding: equal fields for keys equal but for
// their inputs, the inputs themselves, and no parts for stages or for
// records that keep raw NaN bits.
TEST(PackedKey, RecordPartsSplitFieldsFromInputs) {
  StringPool pool(SipKey::random());
  const std::vector<NodeKey> keys = every_kind();
  for (const NodeKey& key : keys) {
    const auto record = record_of(key, pool);
    RecordParts parts;
    const bool plain = key.kind() != NodeKind::kStage;
    ASSERT_EQ(read_record_parts(record.get(), parts), plain) << key.token();
    if (!plain) continue;
    EXPECT_EQ(parts.kind, key.kind());
    const auto want = key.inputs();
    EXPECT_TRUE(std::equal(parts.inputs.begin(), parts.inputs.end(), want.begin(), want.end()));
    // The same key on other inputs has the same fields; other params do not.
    NodeIds other_inputs;
    for (std::size_t i = 0; i < want.size(); ++i) other_inputs.push_back(want[i] + 9);
    const std::vector<std::uint8_t> fields(parts.fields.begin(), parts.fields.end());
    const auto moved = record_of(key.with_inputs(other_inputs), pool);
    RecordParts moved_parts;
    ASSERT_TRUE(read_record_parts(moved.get(), moved_parts));
    EXPECT_EQ(std::vector<std::uint8_t>(moved_parts.fields.begin(), moved_parts.fields.end()),
              fields)
        << key.token();
  }
  const auto a = record_of(Op{"neg", params({{"k", ParamValue::integer(1)}}), {0}}, pool);
  const auto b = record_of(Op{"neg", params({{"k", ParamValue::integer(2)}}), {0}}, pool);
  RecordParts pa;
  RecordParts pb;
  ASSERT_TRUE(read_record_parts(a.get(), pa));
  ASSERT_TRUE(read_record_parts(b.get(), pb));
  EXPECT_NE(std::vector<std::uint8_t>(pa.fields.begin(), pa.fields.end()),
            std::vector<std::uint8_t>(pb.fields.begin(), pb.fields.end()));
  const double odd_nan = std::bit_cast<double>(0x7ff0000000000123ULL);
  const auto raw = record_of(Op{"f", params({{"x", ParamValue::floating(odd_nan)}}), {}}, pool);
  RecordParts raw_parts;
  EXPECT_FALSE(read_record_parts(raw.get(), raw_parts));
}

}  // namespace
}  // namespace tessary
