#include <gtest/gtest.h>

#include <vector>

#include "../../../fuzz/blob_round_trip.h"
#include "blob/reader.h"
#include "blob/writer.h"
#include "blob_bytes.h"

namespace tessary {
namespace {

using blob_testing::Bytes;

TEST(RoundTrip, VariedStoreKeepsIdsKeysAndBytes) {
  GraphStore store;
  blob_testing::fill_varied_store(store);
  const Snapshot original = store.snapshot();
  ASSERT_EQ(original.nodes.size(), 12u);
  const NodeIds outputs = {11, 3, 0};
  auto blob = serialize_with(store, outputs);
  ASSERT_TRUE(blob.ok());

  auto read = deserialize(blob.value());
  ASSERT_TRUE(read.ok()) << read.error().message();
  const Snapshot copy = read.value().snapshot();
  EXPECT_EQ(copy.nodes, original.nodes);
  EXPECT_EQ(copy.outputs, outputs);
  auto again = serialize_with(read.value(), read.value().outputs());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value(), blob.value());

  const RoundTripOutcome outcome = check_blob_round_trip(blob.value());
  EXPECT_TRUE(outcome.accepted);
  EXPECT_EQ(outcome.failure, "");
}

// Bytes the writer never produces are read leniently and written back in
// normal form: a Bool byte 7 as 1, a presence flag 2 as 1, entries sorted.
TEST(RoundTrip, LenientBytesAreNormalisedOnRewrite) {
  const auto blob = [](std::uint8_t bool_byte, std::uint8_t flag, bool sorted) {
    Bytes b;
    b.magic().u32(2).u8(0).str("s");
    if (sorted) {
      b.u32(2).str("a").u8(0).u64(1).str("b").u8(2).u8(bool_byte);
    } else {
      b.u32(2).str("b").u8(2).u8(bool_byte).str("a").u8(0).u64(1);
    }
    b.u8(3).str("model").str("h").str("fw").str("1").str("{}").u8(flag).str("prep");
    b.u32(0).ids({0}).ids({1});
    return b;
  };
  auto read = deserialize(blob(7, 2, false));
  ASSERT_TRUE(read.ok()) << read.error().message();
  const Snapshot snap = read.value().snapshot();
  EXPECT_EQ(snap.nodes.at(0).get_if<Source>()->params,
            ParamMap({{"a", ParamValue::integer(1)}, {"b", ParamValue::boolean(true)}}));
  EXPECT_EQ(snap.nodes.at(1).get_if<External>()->descriptor->preprocessing_ref, "prep");

  auto rewritten = serialize_with(read.value(), read.value().outputs());
  ASSERT_TRUE(rewritten.ok());
  EXPECT_EQ(rewritten.value(), blob(1, 1, true).data());
}

TEST(RoundTrip, PropertyCheckRejectsNothingItShouldAccept) {
  EXPECT_FALSE(check_blob_round_trip(Bytes().magic()).accepted);
  const RoundTripOutcome empty = check_blob_round_trip(Bytes().magic().u32(0).u32(0));
  EXPECT_TRUE(empty.accepted);
  EXPECT_EQ(empty.failure, "");
}

}  // namespace
}  // namespace tessary
