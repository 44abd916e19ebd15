#include "base/out_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tessary {
namespace {

// A buffer that starts at one byte and is written a byte, then runs longer
// than it holds at a time: every byte survives each growth, growth at least
// doubles, and finish leaves exactly what was written.
TEST(OutBuffer, GrowsKeepingWhatWasWrittenAndFinishesAtItsSize) {
  std::vector<std::uint8_t> bytes;
  std::vector<std::size_t> sizes;
  const ResizeBuffer resize = [&](std::size_t size) {
    sizes.push_back(size);
    bytes.resize(size);
    return bytes.data();
  };
  OutBuffer out(resize, 0);
  std::vector<std::uint8_t> expected;
  for (std::size_t run = 1; run <= 40; ++run) {
    std::uint8_t* p = out.room(run);
    for (std::size_t i = 0; i < run; ++i) {
      p[i] = static_cast<std::uint8_t>(expected.size() * 7 + 1);
      expected.push_back(p[i]);
    }
    out.advance(run);
  }
  ASSERT_EQ(out.size(), expected.size());
  EXPECT_EQ(sizes.front(), 1u);
  for (std::size_t i = 1; i < sizes.size(); ++i) EXPECT_GE(sizes[i], 2 * sizes[i - 1]);
  EXPECT_LE(sizes.size(), 12u);
  const std::uint8_t* data = out.finish();
  EXPECT_EQ(sizes.back(), expected.size());
  EXPECT_EQ(std::vector<std::uint8_t>(data, data + expected.size()), expected);
}

}  // namespace
}  // namespace tessary
