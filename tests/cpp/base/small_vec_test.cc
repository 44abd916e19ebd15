#include "base/small_vec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tessary {
namespace {

TEST(SmallVec, AssignsAndClearsAcrossTheInlineLimit) {
  SmallVec<std::uint32_t, 2> v{7, 8};
  EXPECT_TRUE(v.is_inline());
  const std::vector<std::uint32_t> five{1, 2, 3, 4, 5};
  v.assign(five.begin(), five.end());
  ASSERT_EQ(v.size(), 5u);
  EXPECT_FALSE(v.is_inline());
  EXPECT_TRUE(std::equal(v.begin(), v.end(), five.begin()));
  v.clear();
  EXPECT_TRUE(v.empty());
  v.assign(five.begin(), five.begin() + 1);
  EXPECT_EQ(v, (SmallVec<std::uint32_t, 2>{1}));
  EXPECT_NE(v, (SmallVec<std::uint32_t, 2>{1, 2}));
  EXPECT_EQ((SmallVec<std::uint32_t, 2>(3, 9)), (SmallVec<std::uint32_t, 2>{9, 9, 9}));
  EXPECT_EQ((SmallVec<std::uint32_t, 2>(five.begin() + 2, five.end())),
            (SmallVec<std::uint32_t, 2>{3, 4, 5}));
}

}  // namespace
}  // namespace tessary
