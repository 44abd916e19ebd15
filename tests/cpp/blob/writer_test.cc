#include "blob/writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "blob/reader.h"
#include "blob_bytes.h"

namespace tessary {
namespace {

using blob_testing::Bytes;
using blob_testing::must_intern;

std::vector<std::uint8_t> write(const GraphStore& store, const NodeIds& outputs) {
  auto blob = serialize_with(store, outputs);
  if (!blob) {
    ADD_FAILURE() << blob.error().message;
    return {};
  }
  return std::move(blob).value();
}

const std::vector<std::uint8_t> kSmallStoreBlob = {
    0x54, 0x49, 0x52, 0x31, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x73, 0x00,
    0x00, 0x00, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0x61, 0x64, 0x64, 0x01, 0x00, 0x00, 0x00,
    0x06, 0x00, 0x00, 0x00, 0x73, 0x63, 0x61, 0x6c, 0x61, 0x72, 0x01, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(Writer, SmallStoreExactBytes) {
  ASSERT_EQ(kSmallStoreBlob.size(), 73u);
  GraphStore store;
  blob_testing::fill_small_store(store);
  EXPECT_EQ(write(store, {1}), kSmallStoreBlob);
}

TEST(Writer, SmallStoreReadsBack) {
  auto store = deserialize(kSmallStoreBlob);
  ASSERT_TRUE(store.ok()) << store.error().message();
  const Snapshot snap = store.value().snapshot();
  ASSERT_EQ(snap.nodes.size(), 2u);
  EXPECT_EQ(snap.nodes[0], NodeKey(Source{"s", {}}));
  EXPECT_EQ(snap.nodes[1],
            NodeKey(Op{"add", ParamMap({{"scalar", ParamValue::floating(0.0)}}), {0}}));
  EXPECT_EQ(snap.outputs, NodeIds{1});
}

TEST(Writer, EmptyStore) {
  GraphStore store;
  EXPECT_EQ(write(store, {}), Bytes().magic().u32(0).u32(0).data());
}

TEST(Writer, OutputListIsWrittenAsGivenNotFromMarks) {
  GraphStore store;
  must_intern(store, Source{"a", {}});
  must_intern(store, Source{"b", {}});
  must_intern(store, Source{"c", {}});
  ASSERT_TRUE(store.mark_output(0).ok());
  const Bytes records = Bytes().magic().u32(3).source("a").source("b").source("c");

  Bytes repeated = records;
  repeated.ids({2, 2});
  EXPECT_EQ(write(store, {2, 2}), repeated.data());
  Bytes none = records;
  none.u32(0);
  EXPECT_EQ(write(store, {}), none.data());

  // Marking collapses the repetition, and writing with the marks keeps it collapsed.
  auto read = deserialize(repeated);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value().outputs(), NodeIds{2});
  Bytes once = records;
  once.ids({2});
  EXPECT_EQ(write(read.value(), read.value().outputs()), once.data());
}

// Names of every length up to past the longest copied without a call: each
// byte lands where it belongs, and nothing runs into the next field.
TEST(Writer, StringsOfEveryShortLengthAreWrittenWhole) {
  GraphStore store;
  Bytes expected;
  expected.magic().u32(41);
  for (std::size_t length = 0; length <= 40; ++length) {
    std::string name;
    for (std::size_t i = 0; i < length; ++i)
      name.push_back(static_cast<char>('A' + (i * 7 + length) % 58));
    must_intern(store, Source{name, {}});
    expected.source(name);
  }
  expected.u32(0);
  EXPECT_EQ(write(store, {}), expected.data());
}

TEST(Writer, FloatsKeepTheirExactBits) {
  for (const std::uint64_t bits : {std::uint64_t{0x7FF0000000000001},  // signalling NaN
                                   std::uint64_t{0xFFF8000000000abc},  // negative quiet NaN
                                   std::uint64_t{0x8000000000000000}}) {
    GraphStore store;
    must_intern(store,
                Source{"s", ParamMap({{"x", ParamValue::floating(std::bit_cast<double>(bits))}})});
    const std::vector<std::uint8_t> blob = write(store, {});
    EXPECT_EQ(blob,
              Bytes().magic().u32(1).u8(0).str("s").u32(1).str("x").u8(1).u64(bits).u32(0).data());
    auto read = deserialize(blob);
    ASSERT_TRUE(read.ok());
    const Snapshot snap = read.value().snapshot();
    const auto* source = snap.nodes.at(0).get_if<Source>();
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(source->params.entries().at(0).value.as_float()), bits);
  }
}

TEST(Writer, ParamsFieldWritesEveryTag) {
  GraphStore store;
  must_intern(store, Source{"x", ParamMap({{"s", ParamValue::string("\xC3\xA9")},
                                           {"i", ParamValue::integer(-2)},
                                           {"b", ParamValue::boolean(true)},
                                           {"f", ParamValue::floating(1.0)}})});
  EXPECT_EQ(write(store, {}), Bytes()
                                  .magic()
                                  .u32(1)
                                  .u8(0)
                                  .str("x")
                                  .u32(4)
                                  .str("b")
                                  .u8(2)
                                  .u8(1)
                                  .str("f")
                                  .u8(1)
                                  .u64(0x3FF0000000000000)
                                  .str("i")
                                  .u8(0)
                                  .u64(0xFFFFFFFFFFFFFFFE)
                                  .str("s")
                                  .u8(3)
                                  .str("\xC3\xA9")
                                  .u32(0)
                                  .data());
}

// The format stores reference indices as u32: 2^32 - 1 is written, 2^32 is
// refused rather than cut down to 0.
TEST(Writer, RefusesReferenceIndexBeyondU32) {
  constexpr std::uint64_t kLargest = 0xFFFFFFFF;
  GraphStore fits;
  must_intern(fits, Stage{{}, {StageOp{"op|x", {StageRef::input(kLargest)}}}});
  auto blob = serialize_with(fits, {});
  ASSERT_TRUE(blob.ok());
  auto read = deserialize(blob.value());
  ASSERT_TRUE(read.ok());
  const StageRefs refs = read.value().snapshot().nodes.at(0).get_if<Stage>()->members.at(0).refs;
  ASSERT_EQ(refs.size(), 1u);
  EXPECT_EQ(refs[0], StageRef::input(kLargest));

  for (const StageRef ref : {StageRef::input(kLargest + 1), StageRef::member(kLargest + 1)}) {
    GraphStore too_large;
    must_intern(too_large, Source{"s", {}});
    must_intern(too_large, Stage{{0},
                                 {StageOp{"op|x", {StageRef::input(0)}},
                                  StageOp{"op|y", {StageRef::member(0), ref}}}});
    const NodeIds outputs = {1};
    auto refused = serialize_with(too_large, outputs);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message,
              "stage member reference index 4294967296 is too large for a tessary IR blob");
  }
}

}  // namespace
}  // namespace tessary
