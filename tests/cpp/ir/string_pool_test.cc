#include "ir/string_pool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessary {
namespace {

TEST(StringPool, InternsEachTextOnceAndFindsIt) {
  StringPool pool(SipKey::random());
  EXPECT_FALSE(pool.find("a").has_value());
  const std::uint32_t a = pool.intern("a");
  const std::uint32_t empty = pool.intern("");
  EXPECT_NE(a, empty);
  EXPECT_EQ(pool.intern("a"), a);
  EXPECT_EQ(pool.find("a"), a);
  EXPECT_EQ(pool.find(""), empty);
  EXPECT_EQ(pool.get(a), "a");
  EXPECT_EQ(pool.get(empty), "");
  EXPECT_EQ(pool.size(), 2u);
  // Embedded NULs are part of the text.
  const std::string nul("a\0b", 3);
  EXPECT_FALSE(pool.find(nul).has_value());
  EXPECT_EQ(pool.get(pool.intern(nul)), nul);
}

// Far more texts than the recent-string cache holds, several alike in
// length, head and tail (which the cache hashes): every lookup must still
// find exactly its own text.
TEST(StringPool, ManyAlikeTextsKeepTheirOwnIndices) {
  StringPool pool(SipKey::random());
  std::vector<std::string> texts;
  for (int i = 0; i < 3000; ++i) {
    texts.push_back("prefix-" + std::to_string(i % 10) + "-" + std::to_string(i) + "-suffix");
  }
  std::vector<std::uint32_t> ids;
  for (const std::string& t : texts) ids.push_back(pool.intern(t));
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      ASSERT_EQ(pool.find(texts[i]), ids[i]) << texts[i];
      ASSERT_EQ(pool.intern(texts[i]), ids[i]) << texts[i];
      ASSERT_EQ(pool.get(ids[i]), texts[i]);
    }
  }
  EXPECT_EQ(pool.size(), texts.size());
}

}  // namespace
}  // namespace tessary
