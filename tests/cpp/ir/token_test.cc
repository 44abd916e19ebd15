#include "ir/token.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ir/param.h"

namespace tessary {
namespace {

ParamMap map_of(std::vector<ParamEntry> entries) { return ParamMap(std::move(entries)); }

TEST(Escaping, TableAndRoundTrip) {
  EXPECT_EQ(escape_token("%;=|"), "%25%3B%3D%7C");
  EXPECT_EQ(escape_token("a|b"), "a%7Cb");
  EXPECT_EQ(unescape_token("%7c%41%3B"), "%7c%41;");
  EXPECT_EQ(unescape_token("%257C"), "%7C");
  // Adversarial strings: escapes of escapes, partial escapes, every separator.
  for (const char* s : {"%7C", "%257C", "%%", "%3", "%", "a=b;c|d%e", "%25%3B%3D%7C", ";;==||",
                        "\xff\xfe", "%7C%3D%3B%25"}) {
    EXPECT_EQ(unescape_token(escape_token(s)), s) << s;
  }
  std::mt19937 rng(7);
  const std::string alphabet = "%;=|7C3BD25a";
  for (int round = 0; round < 2000; ++round) {
    std::string s;
    const int len = static_cast<int>(rng() % 12);
    for (int i = 0; i < len; ++i) s.push_back(alphabet[rng() % alphabet.size()]);
    ASSERT_EQ(unescape_token(escape_token(s)), s) << s;
    // Keys and string values survive a whole map token round trip.
    const ParamMap m = map_of({{s, ParamValue::string(s)}});
    const auto back = ParamMap::from_token(m.token());
    ASSERT_TRUE(back) << s;
    ASSERT_EQ(*back, m) << s;
  }
}

// Escaping appends to what is there, and writes a run without separators
// unchanged.
TEST(Escaping, AppendKeepsWhatIsThere) {
  std::string out = "op|";
  append_escaped(out, "a=b");
  EXPECT_EQ(out, "op|a%3Db");
  append_escaped(out, "");
  append_escaped(out, "plain");
  EXPECT_EQ(out, "op|a%3Dbplain");
  EXPECT_EQ(escape_token(""), "");
}

TEST(QuoteDisplay, EscapesQuotesControlsAndNonPrintables) {
  EXPECT_EQ(quote_display(""), "\"\"");
  EXPECT_EQ(quote_display("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quote_display(std::string("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
  EXPECT_EQ(quote_display("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(quote_display("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
  // The printable ASCII range ends on both sides exactly where escaping starts.
  EXPECT_EQ(quote_display("\x1f ~\x7f\xc2\xa0"
                          "a"),
            "\"\\u{1f} ~\\u{7f}\\u{a0}a\"");
  std::string out = "name=";
  append_quoted(out, "x");
  EXPECT_EQ(out, "name=\"x\"");
}

}  // namespace
}  // namespace tessary
