#include "ir/param.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "ir/token.h"

namespace tessary {
namespace {

ParamMap map_of(std::vector<ParamEntry> entries) { return ParamMap(std::move(entries)); }

std::optional<std::string> parsed_token(std::string_view text) {
  auto map = ParamMap::from_token(text);
  if (!map) return std::nullopt;
  return map->token();
}

TEST(ParamMapFromToken, RejectsMalformedText) {
  for (const char* text :
       {"a=i1;", ";a=i1", "a", "a=", "a=x1", "k=i-", "k=i+", "k=i9223372036854775808",
        "k=f10000000000000000", "k=f-1", "k=f", "k=f+", "k=bTrue", "a=i1;;b=i2", "k=i1x", "k=f12g",
        "k=\xc3\xa9"
        "1"}) {
    EXPECT_FALSE(ParamMap::from_token(text).has_value()) << text;
  }
}

TEST(ParamMapFromToken, ParsesEachValueForm) {
  EXPECT_EQ(parsed_token(""), "");
  EXPECT_EQ(ParamMap::from_token("k=s=x")->entries()[0].value.as_str(), "=x");
  EXPECT_EQ(ParamMap::from_token("k=s")->entries()[0].value.as_str(), "");
  EXPECT_EQ(ParamMap::from_token("k=i+5")->entries()[0].value.as_int(), 5);
  EXPECT_EQ(ParamMap::from_token("k=i-9223372036854775808")->entries()[0].value.as_int(),
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(ParamMap::from_token("k=i9223372036854775807")->entries()[0].value.as_int(),
            std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(ParamMap::from_token("k=f3FF0000000000000")->entries()[0].value.as_float(), 1.0);
  EXPECT_EQ(ParamMap::from_token("k=f+3ff0000000000000")->entries()[0].value.as_float(), 1.0);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(
                ParamMap::from_token("k=f00000000000000001")->entries()[0].value.as_float()),
            1u);
  EXPECT_TRUE(ParamMap::from_token("k=btrue")->entries()[0].value.as_bool());
  EXPECT_FALSE(ParamMap::from_token("k=bfalse")->entries()[0].value.as_bool());
  EXPECT_EQ(ParamMap::from_token("k=s%41")->entries()[0].value.as_str(), "%41");
  EXPECT_EQ(ParamMap::from_token("=i1")->entries()[0].key, "");
}

TEST(ParamMapFromToken, SortsStablyAndKeepsDuplicates) {
  EXPECT_EQ(parsed_token("b=i1;a=i2"), "a=i2;b=i1");
  const auto dup = ParamMap::from_token("a=i2;a=i1");
  ASSERT_TRUE(dup);
  ASSERT_EQ(dup->size(), 2u);
  EXPECT_EQ(dup->entries()[0].value.as_int(), 2);
  EXPECT_EQ(dup->entries()[1].value.as_int(), 1);
}

TEST(ParamMapFromToken, KeepsNanPayload) {
  const auto map = ParamMap::from_token("k=f7ff0000000000001");
  ASSERT_TRUE(map);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(map->entries()[0].value.as_float()),
            0x7ff0000000000001ULL);
  // The token folds it to the quiet NaN.
  EXPECT_EQ(map->token(), "k=f7ff8000000000000");
}

TEST(ParamMap, SortsByKeyBytes) {
  // Byte order: "B" (0x42) < "a" (0x61) < "ab" < "\xc3..." (non-ASCII bytes are large).
  const ParamMap m = map_of({{"\xc3\xa9", ParamValue::integer(1)},
                             {"ab", ParamValue::integer(2)},
                             {"a", ParamValue::integer(3)},
                             {"B", ParamValue::integer(4)}});
  std::vector<std::string> keys;
  for (const auto& e : m.entries()) keys.push_back(e.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "\xc3\xa9"}));
}

// Random entry lists with duplicate keys, keys that are prefixes of others
// and bytes above 0x7f, sized on both sides of the insertion-sort limit,
// against std::stable_sort on std::string keys.
TEST(ParamMap, OrderIsAStableSortByKeyBytes) {
  const char* keys[] = {"", "a", "ab", "b", "\x7f", "\x80", "\xff", "\xff\x01"};
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::vector<ParamEntry> given;
    const int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) {
      given.push_back({keys[rng() % std::size(keys)], ParamValue::integer(i)});
    }
    std::vector<ParamEntry> expected = given;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const ParamEntry& a, const ParamEntry& b) { return a.key < b.key; });
    ASSERT_EQ(map_of(given).entries(), expected) << "round " << round << ", " << n << " entries";
    std::vector<ParamEntryView> views;
    for (const ParamEntry& e : given) views.push_back({e.key, e.value.view()});
    sort_by_key(std::span<ParamEntryView>(views));
    for (std::size_t i = 0; i < views.size(); ++i) {
      ASSERT_EQ(views[i].key, expected[i].key) << "round " << round << ", entry " << i;
      ASSERT_EQ(std::get<std::int64_t>(views[i].value), expected[i].value.as_int());
    }
  }
}

TEST(ParamValue, TokensOfEachKind) {
  EXPECT_EQ(ParamValue::integer(42).token(), "i42");
  EXPECT_EQ(ParamValue::integer(-7).token(), "i-7");
  EXPECT_EQ(ParamValue::floating(1.0).token(), "f3ff0000000000000");
  EXPECT_EQ(ParamValue::floating(0.0).token(), "f0000000000000000");
  EXPECT_EQ(ParamValue::floating(-0.0).token(), "f8000000000000000");
  EXPECT_EQ(ParamValue::floating(std::bit_cast<double>(0xfff0000000000abcULL)).token(),
            "f7ff8000000000000");
  EXPECT_EQ(ParamValue::boolean(true).token(), "btrue");
  EXPECT_EQ(ParamValue::string("a;b").token(), "sa%3Bb");
  EXPECT_EQ(ParamValue::string("").token(), "s");
  const ParamMap m =
      map_of({{"side", ParamValue::string("r")}, {"scalar", ParamValue::floating(0.0)}});
  EXPECT_EQ(m.token(), "scalar=f0000000000000000;side=sr");
}

TEST(ParamValue, EqualityFoldsNansOnly) {
  const double nan_a = std::bit_cast<double>(0x7ff8000000000001ULL);
  const double nan_b = std::bit_cast<double>(0xfff0000000000002ULL);
  EXPECT_EQ(ParamValue::floating(nan_a), ParamValue::floating(nan_b));
  EXPECT_NE(ParamValue::floating(0.0), ParamValue::floating(-0.0));
  EXPECT_NE(ParamValue::integer(1), ParamValue::floating(1.0));
  EXPECT_NE(ParamValue::integer(1), ParamValue::boolean(true));
  EXPECT_NE(map_of({{"a", ParamValue::integer(1)}}),
            map_of({{"a", ParamValue::integer(1)}, {"a", ParamValue::integer(1)}}));
}

TEST(ParamValue, DisplayForms) {
  EXPECT_EQ(ParamValue::floating(1.0).display(), "1");
  EXPECT_EQ(ParamValue::floating(0.5).display(), "0.5");
  EXPECT_EQ(ParamValue::floating(1.5).display(), "1.5");
  EXPECT_EQ(ParamValue::floating(1e21).display(), "1000000000000000000000");
  EXPECT_EQ(ParamValue::floating(0.1).display(), "0.1");
  // Past 2^53 the shortest digits are padded with zeros, not the exact value.
  EXPECT_EQ(ParamValue::floating(0x1p70).display(), "1180591620717411300000");
  EXPECT_EQ(ParamValue::floating(1.2345678901234568e20).display(), "123456789012345680000");
  EXPECT_EQ(ParamValue::floating(-std::numeric_limits<double>::max()).display(),
            "-17976931348623157" + std::string(292, '0'));
  EXPECT_EQ(ParamValue::floating(123.456).display(), "123.456");
  EXPECT_EQ(ParamValue::floating(-0.00125).display(), "-0.00125");
  EXPECT_EQ(ParamValue::floating(5e-324).display(), "0." + std::string(323, '0') + "5");
  EXPECT_EQ(ParamValue::floating(9007199254740993.0).display(), "9007199254740992");
  EXPECT_EQ(ParamValue::floating(-0.0).display(), "-0");
  EXPECT_EQ(ParamValue::floating(std::nan("")).display(), "NaN");
  EXPECT_EQ(ParamValue::floating(INFINITY).display(), "inf");
  EXPECT_EQ(ParamValue::floating(-INFINITY).display(), "-inf");
  EXPECT_EQ(ParamValue::integer(-3).display(), "-3");
  EXPECT_EQ(ParamValue::boolean(false).display(), "false");
  EXPECT_EQ(ParamValue::string("a\"b\\c\t\r\n").display(), "\"a\\\"b\\\\c\\t\\r\\n\"");
  EXPECT_EQ(ParamValue::string(std::string("x\0y", 3)).display(), "\"x\\0y\"");
  EXPECT_EQ(ParamValue::string("it's \xc3\xa9").display(), "\"it's \xc3\xa9\"");
  EXPECT_EQ(ParamValue::string("\x01\x7f").display(), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(ParamValue::string("e\xcc\x81").display(), "\"e\\u{301}\"");  // combining acute
  EXPECT_EQ(map_of({}).display(), "{}");
  EXPECT_EQ(
      map_of({{"side", ParamValue::string("r")}, {"scalar", ParamValue::floating(1.0)}}).display(),
      "{scalar=1, side=\"r\"}");
}

}  // namespace
}  // namespace tessary
