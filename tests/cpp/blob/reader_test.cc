#include "blob/reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blob/writer.h"
#include "blob_bytes.h"

namespace tessary {
namespace {

using blob_testing::Bytes;

DecodeError decode_error(std::span<const std::uint8_t> bytes) {
  auto result = deserialize(bytes);
  if (result) {
    ADD_FAILURE() << "blob was accepted";
    return DecodeError::bad_magic();
  }
  return result.error();
}

// Magic, node count 1, then `record`, then no outputs.
std::vector<std::uint8_t> one_record(const Bytes& record) {
  Bytes blob;
  blob.magic().u32(1);
  std::vector<std::uint8_t> out = blob.data();
  out.insert(out.end(), record.data().begin(), record.data().end());
  out.insert(out.end(), {0, 0, 0, 0});
  return out;
}

TEST(Reader, PrimitiveReadsCheckRemainingBytesFirst) {
  const std::vector<std::uint8_t> three = {1, 2, 3};
  Reader r(three);
  EXPECT_EQ(r.u32().error(), DecodeError::truncated());
  EXPECT_EQ(r.position(), 0u);
  EXPECT_EQ(r.u8().value(), 1);
  EXPECT_EQ(r.u64().error(), DecodeError::truncated());

  const std::vector<std::uint8_t> le = {0x78, 0x56, 0x34, 0x12, 1, 2, 3, 4, 5, 6, 7, 0x80};
  Reader r2(le);
  EXPECT_EQ(r2.u32().value(), 0x12345678u);
  EXPECT_EQ(r2.u64().value(), 0x8007060504030201u);
  EXPECT_EQ(r2.remaining(), 0u);
  EXPECT_EQ(r2.u8().error(), DecodeError::truncated());
}

TEST(Reader, StringNeedsItsWholeLength) {
  const Bytes three_length_bytes = Bytes().raw({3, 0, 0});
  Reader missing_length(three_length_bytes);
  EXPECT_EQ(missing_length.string().error(), DecodeError::truncated());
  const Bytes three_of_four = Bytes().u32(4).raw({'a', 'b', 'c'});
  Reader short_body(three_of_four);
  EXPECT_EQ(short_body.string().error(), DecodeError::truncated());
  const Bytes two = Bytes().str("abc").str("");
  Reader ok(two);
  EXPECT_EQ(ok.string().value(), "abc");
  EXPECT_EQ(ok.string().value(), "");
}

TEST(Reader, StringRejectsWhatStrictUtf8Rejects) {
  const std::vector<std::vector<std::uint8_t>> invalid = {
      {0x80},                    // stray continuation byte
      {0xC0, 0x80},              // overlong NUL
      {0xC1, 0xBF},              // overlong
      {0xE0, 0x80, 0xAF},        // overlong 3-byte
      {0xF0, 0x80, 0x80, 0xAF},  // overlong 4-byte
      {0xED, 0xA0, 0x80},        // U+D800, a surrogate
      {0xED, 0xBF, 0xBF},        // U+DFFF
      {0xF4, 0x90, 0x80, 0x80},  // U+110000
      {0xF5, 0x80, 0x80, 0x80},  // lead byte beyond U+10FFFF
      {0xFF},
      {0xE2, 0x82},        // cut off at the end of the string
      {0xE2, 0x28, 0xA1},  // bad continuation
      {'a', 0xC3},         // cut off after ASCII
  };
  for (const auto& bad : invalid) {
    Bytes b;
    b.u32(static_cast<std::uint32_t>(bad.size()));
    std::vector<std::uint8_t> blob = b.data();
    blob.insert(blob.end(), bad.begin(), bad.end());
    blob.push_back('z');  // a following byte must not complete a cut-off sequence
    Reader r(blob);
    EXPECT_EQ(r.string().error(), DecodeError::invalid_utf8()) << ::testing::PrintToString(bad);
  }
  const std::vector<std::string> valid = {
      "\xC3\xA9",          // U+00E9
      "\xE2\x82\xAC",      // U+20AC
      "\xED\x9F\xBF",      // U+D7FF, just below the surrogates
      "\xEE\x80\x80",      // U+E000, just above them
      "\xF0\x90\x80\x80",  // U+10000
      "\xF4\x8F\xBF\xBF",  // U+10FFFF
      std::string("a\0b", 3),
  };
  for (const std::string& good : valid) {
    const Bytes bytes = Bytes().str(good);
    Reader r(bytes);
    auto s = r.string();
    ASSERT_TRUE(s.ok()) << good;
    EXPECT_EQ(s.value(), good);
  }
}

TEST(Reader, ReservationIsBoundedByRemainingBytes) {
  const std::vector<std::uint8_t> sixteen(16, 0);
  Reader r(sixteen);
  EXPECT_EQ(r.capacity_for(4'000'000'000u, 8), 2u);
  EXPECT_EQ(r.capacity_for(1, 8), 1u);
}

TEST(Reader, InputsMustBeBelowTheLimit) {
  const Bytes in_range = Bytes().ids({0, 2, 2});
  Reader ok(in_range);
  EXPECT_EQ(ok.inputs(3).value(), (NodeIds{0, 2, 2}));
  const Bytes at_limit = Bytes().ids({0, 3});
  Reader bad(at_limit);
  EXPECT_EQ(bad.inputs(3).error(), DecodeError::reference_out_of_range(3));
  const Bytes largest = Bytes().ids({~std::uint64_t{0}});
  Reader huge(largest);
  EXPECT_EQ(huge.inputs(3).error(), DecodeError::reference_out_of_range(~std::uint64_t{0}));
}

TEST(Reader, ParamsAreSortedAndBoolIsAnyNonZeroByte) {
  const Bytes entries = Bytes()
                            .u32(3)
                            .str("z")
                            .u8(2)
                            .u8(7)
                            .str("a")
                            .u8(0)
                            .u64(static_cast<std::uint64_t>(-5))
                            .str("m")
                            .u8(3)
                            .str("v");
  Reader r(entries);
  auto params = r.params();
  ASSERT_TRUE(params.ok());
  EXPECT_EQ(params.value(), ParamMap({{"a", ParamValue::integer(-5)},
                                      {"m", ParamValue::string("v")},
                                      {"z", ParamValue::boolean(true)}}));
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(DecodeError, Messages) {
  EXPECT_EQ(DecodeError::bad_magic().message(), "not a tessary IR blob (bad magic/version)");
  EXPECT_EQ(DecodeError::truncated().message(), "truncated tessary IR blob");
  EXPECT_EQ(DecodeError::invalid_tag("stage-ref", 255).message(), "invalid stage-ref tag 255");
  EXPECT_EQ(DecodeError::invalid_utf8().message(), "invalid utf-8 in tessary IR blob");
  EXPECT_EQ(DecodeError::reference_out_of_range(18446744073709551615u).message(),
            "node reference 18446744073709551615 out of range");
}

TEST(Deserialize, MagicIsCheckedBeforeLength) {
  EXPECT_EQ(decode_error(Bytes()), DecodeError::truncated());
  EXPECT_EQ(decode_error(Bytes().raw({'T', 'I', 'R'})), DecodeError::truncated());
  EXPECT_EQ(decode_error(Bytes().raw({'T', 'I', 'R', '2'}).u32(0).u32(0)),
            DecodeError::bad_magic());
  EXPECT_EQ(decode_error(Bytes().raw({'X', 'I', 'R', '1'})), DecodeError::bad_magic());
  EXPECT_EQ(decode_error(Bytes().magic()), DecodeError::truncated());
  EXPECT_EQ(decode_error(Bytes().magic().raw({0, 0, 0})), DecodeError::truncated());
  EXPECT_EQ(decode_error(Bytes().magic().u32(0)), DecodeError::truncated());
  EXPECT_EQ(decode_error(Bytes().magic().u32(0).u32(1).raw({0, 0, 0, 0, 0, 0, 0})),
            DecodeError::truncated());
}

TEST(Deserialize, EmptyStoreIgnoresTrailingBytes) {
  for (const Bytes& blob : {Bytes().magic().u32(0).u32(0),
                            Bytes().magic().u32(0).u32(0).raw({0xFF, 'T', 'I', 'R', '1'})}) {
    auto store = deserialize(blob);
    ASSERT_TRUE(store.ok());
    EXPECT_EQ(store.value().node_count(), 0u);
    EXPECT_TRUE(store.value().outputs().empty());
  }
}

TEST(Deserialize, InvalidTags) {
  const auto node = decode_error(one_record(Bytes().u8(6)));
  EXPECT_EQ(node, DecodeError::invalid_tag("node", 6));
  EXPECT_EQ(node.message(), "invalid node tag 6");

  const auto param = decode_error(one_record(Bytes().u8(0).str("s").u32(1).str("k").u8(4)));
  EXPECT_EQ(param, DecodeError::invalid_tag("param", 4));
  EXPECT_EQ(param.message(), "invalid param tag 4");

  const auto ref =
      decode_error(one_record(Bytes().u8(4).ids({}).u32(1).str("op|x").u32(1).u8(2).u32(0)));
  EXPECT_EQ(ref, DecodeError::invalid_tag("stage-ref", 2));
  EXPECT_EQ(ref.message(), "invalid stage-ref tag 2");
}

TEST(Deserialize, InvalidUtf8InAnyString) {
  const std::vector<Bytes> records = {
      Bytes().u8(0).u32(1).raw({0xC0}).u32(0),                               // name
      Bytes().u8(5).u32(1).u32(1).raw({0xFF}).u8(2).u8(1).ids({}),           // param key
      Bytes().u8(5).u32(1).str("k").u8(3).u32(2).raw({0xED, 0xA0}).ids({}),  // Str value
      Bytes().u8(4).ids({}).u32(1).u32(1).raw({0x80}).u32(0),                // stage member op
  };
  for (const Bytes& record : records) {
    EXPECT_EQ(decode_error(one_record(record)), DecodeError::invalid_utf8());
  }
}

TEST(Deserialize, ReferencesMustPointBackwards) {
  // Record 0 cannot name itself.
  EXPECT_EQ(decode_error(one_record(Bytes().u8(1).str("op").u32(0).ids({0}))),
            DecodeError::reference_out_of_range(0));
  // An output id equal to the node count.
  EXPECT_EQ(decode_error(Bytes().magic().u32(1).source("s").u32(2).u64(0).u64(1)),
            DecodeError::reference_out_of_range(1));
  // A stage's first member cannot refer to member 0.
  const auto member =
      decode_error(one_record(Bytes().u8(4).ids({}).u32(1).str("op|x").u32(1).u8(1).u32(0)));
  EXPECT_EQ(member, DecodeError::reference_out_of_range(0));
  EXPECT_EQ(member.message(), "node reference 0 out of range");
  // An Input index beyond the stage's inputs is taken as it is.
  auto store = deserialize(one_record(
      Bytes().u8(4).ids({}).u32(2).str("op|a").u32(1).u8(0).u32(9).str("op|b").u32(1).u8(1).u32(
          0)));
  ASSERT_TRUE(store.ok());
  EXPECT_EQ(
      store.value().snapshot().nodes.at(0),
      NodeKey(Stage{
          {}, {StageOp{"op|a", {StageRef::input(9)}}, StageOp{"op|b", {StageRef::member(0)}}}}));
}

TEST(Deserialize, RepeatedRecordCollapsesOntoFirstId) {
  // Records: s, s (collapses onto 0), op on [0] (becomes id 1), op on [2].
  const Bytes prefix =
      Bytes().magic().u32(3).source("s").source("s").u8(1).str("f").u32(0).ids({0});
  Bytes ok = prefix;
  ok.u32(1).u64(1);
  auto store = deserialize(ok);
  ASSERT_TRUE(store.ok());
  EXPECT_EQ(store.value().node_count(), 2u);
  EXPECT_EQ(store.value().outputs(), NodeIds{1});

  // Record 3 names id 2, which is below 3 but was never assigned.
  Bytes bad = Bytes().magic().u32(4).source("s").source("s").u8(1).str("f").u32(0).ids({0});
  bad.u8(1).str("g").u32(0).ids({2}).u32(0);
  EXPECT_EQ(decode_error(bad), DecodeError::reference_out_of_range(2));

  // Records are read a little ahead of the one being stored: a record that
  // does not read, right after one whose input was never assigned, still
  // leaves the earlier record's error as the one reported.
  for (const std::uint8_t bad_tag : {std::uint8_t{6}, std::uint8_t{0xFF}}) {
    Bytes both = Bytes().magic().u32(6).source("s").source("s").u8(1).str("f").u32(0).ids({0});
    both.u8(1).str("g").u32(0).ids({2}).u8(bad_tag).source("t");
    EXPECT_EQ(decode_error(both), DecodeError::reference_out_of_range(2)) << int{bad_tag};
  }
  // A record that does not read is reported once its turn comes, with every
  // record before it stored.
  Bytes late = Bytes().magic().u32(4).source("a").source("b").source("c").u8(9);
  EXPECT_EQ(decode_error(late), DecodeError::invalid_tag("node", 9));
}

// Counts the remaining bytes cannot satisfy end in Truncated once the bytes
// run out, without sizing anything from the count.
TEST(Deserialize, HugeDeclaredCountsAreTruncated) {
  constexpr std::uint32_t kHuge = 4'000'000'000u;
  const std::vector<Bytes> blobs = {
      Bytes().magic().u32(kHuge).source("s"),
      Bytes().magic().u32(2).source("s").u8(1).str("op").u32(0).u32(kHuge).u64(0).raw({1, 2}),
      Bytes().magic().u32(1).u8(0).str("s").u32(kHuge).str("k").u8(2).u8(1),
      Bytes().magic().u32(1).u8(0).u32(kHuge).raw({'a', 'b'}),
      Bytes().magic().u32(1).u8(4).ids({}).u32(kHuge).str("op|x").u32(0),
      Bytes().magic().u32(1).u8(4).ids({}).u32(1).str("op|x").u32(kHuge).u8(0).u32(0),
      Bytes().magic().u32(1).source("s").u32(kHuge).u64(0).u64(0),
  };
  for (const Bytes& blob : blobs) {
    EXPECT_EQ(decode_error(blob), DecodeError::truncated());
  }
}

TEST(Deserialize, EveryProperPrefixOfAValidBlobIsTruncated) {
  GraphStore store;
  blob_testing::fill_varied_store(store);
  const NodeIds outputs = {3, 11};
  auto blob = serialize_with(store, outputs);
  ASSERT_TRUE(blob.ok());
  const std::vector<std::uint8_t>& bytes = blob.value();
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    ASSERT_EQ(decode_error(std::span(bytes).first(n)), DecodeError::truncated()) << n;
  }
}

}  // namespace
}  // namespace tessary
