#include "ir/key_hash.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <vector>

namespace tessary {
namespace {

ParamMap params(std::vector<ParamEntry> entries) { return ParamMap(std::move(entries)); }

std::uint64_t hash_of(KeyHasher& hasher, const NodeKey& key, std::span<const NodeId> inputs) {
  return hasher.with_inputs(hasher.signature(key), inputs);
}

// Keys equal but for their inputs hash alike under the same inputs (NaN
// payloads fold, as in the keys' equality).
TEST(KeyHasher, KeysEqualButForInputsHashAlike) {
  KeyHasher hasher(SipKey::random());
  const double odd_nan = std::bit_cast<double>(0x7ff0000000000123ULL);
  const NodeKey a = Op{"f", params({{"x", ParamValue::floating(odd_nan)}}), {1, 2}};
  const NodeKey b =
      Op{"f", params({{"x", ParamValue::floating(std::numeric_limits<double>::quiet_NaN())}}), {7}};
  ASSERT_TRUE(same_except_inputs(a, b));
  const std::vector<NodeId> inputs = {3, 4};
  EXPECT_EQ(hash_of(hasher, a, inputs), hash_of(hasher, b, inputs));
  EXPECT_EQ(hasher.signature(a), hasher.signature(b));
  EXPECT_NE(hash_of(hasher, a, {}), hash_of(hasher, a, inputs));
  const std::vector<NodeId> swapped = {4, 3};
  EXPECT_NE(hash_of(hasher, a, inputs), hash_of(hasher, a, swapped));
}

// Tokens leave out a stage's members and write descriptor fields raw; the
// hash and the equality still tell such keys apart.
TEST(KeyHasher, KeysSharingATokenStillDiffer) {
  KeyHasher hasher(SipKey::random());
  const NodeKey neg = Stage{{0}, {StageOp{"op|neg", {StageRef::input(0)}}}};
  const NodeKey exp = Stage{{0}, {StageOp{"op|exp", {StageRef::input(0)}}}};
  ASSERT_EQ(neg.token(), exp.token());
  EXPECT_FALSE(same_except_inputs(neg, exp));
  EXPECT_NE(hash_of(hasher, neg, {}), hash_of(hasher, exp, {}));
  const NodeKey left =
      External{PayloadDescriptor{"a|b", "c", "f", "v", "s", std::nullopt}, {}, {0}};
  const NodeKey right =
      External{PayloadDescriptor{"a", "b|c", "f", "v", "s", std::nullopt}, {}, {0}};
  ASSERT_EQ(left.token(), right.token());
  EXPECT_FALSE(same_except_inputs(left, right));
  EXPECT_NE(hash_of(hasher, left, {}), hash_of(hasher, right, {}));
  // Kinds and parameters always count.
  EXPECT_FALSE(same_except_inputs(NodeKey(Reduction{"f", {}, {0}}), NodeKey(Op{"f", {}, {0}})));
  EXPECT_FALSE(same_except_inputs(NodeKey(Op{"f", params({{"k", ParamValue::integer(1)}}), {0}}),
                                  NodeKey(Op{"f", params({{"k", ParamValue::integer(2)}}), {0}})));
}

// Hashes are keyed: the same key under two keys hashes differently.
TEST(KeyHasher, KeyedPerHasher) {
  KeyHasher one(SipKey::random());
  KeyHasher two(SipKey::random());
  const NodeKey key = Source{"rows", {}};
  EXPECT_NE(hash_of(one, key, {}), hash_of(two, key, {}));
}

}  // namespace
}  // namespace tessary
