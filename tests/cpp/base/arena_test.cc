#include "base/arena.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tessary {
namespace {

// A store of a few nodes holds one small block, not a whole large one.
TEST(ByteArena, FirstBlockIsSmall) {
  ByteArena arena;
  EXPECT_EQ(arena.reserved_bytes(), 0u);
  (void)arena.allocate(40);
  EXPECT_EQ(arena.reserved_bytes(), ByteArena::kFirstBlockSize);
}

// Blocks double up to kBlockSize, so what is reserved beyond the bytes
// handed out is the open block plus, per closed block, a tail too short for
// the next record; allocations never overlap or move.
TEST(ByteArena, BlocksGrowAndAllocationsStayPut) {
  ByteArena arena;
  std::vector<std::pair<std::uint8_t*, std::size_t>> allocations;
  std::size_t handed_out = 0;
  for (std::size_t i = 0; i < 20000; ++i) {
    const std::size_t size = 1 + (i * 37) % 300;
    std::uint8_t* p = arena.allocate(size);
    std::memset(p, static_cast<int>(i & 0xff), size);
    allocations.emplace_back(p, size);
    handed_out += size;
  }
  const std::size_t blocks = 9 + arena.reserved_bytes() / ByteArena::kBlockSize;
  EXPECT_LE(arena.reserved_bytes(), handed_out + ByteArena::kBlockSize + blocks * 300);
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    const auto [p, size] = allocations[i];
    for (std::size_t b = 0; b < size; ++b) ASSERT_EQ(p[b], static_cast<std::uint8_t>(i & 0xff));
  }
}

// A record larger than a quarter block gets a block of its own, and a record
// larger than the next small block gets a block that holds it.
TEST(ByteArena, LargeRecordsFit) {
  ByteArena arena;
  std::uint8_t* small = arena.allocate(10);
  std::uint8_t* medium = arena.allocate(5000);
  std::memset(medium, 1, 5000);
  std::uint8_t* large = arena.allocate(ByteArena::kBlockSize);
  std::memset(large, 2, ByteArena::kBlockSize);
  std::uint8_t* after = arena.allocate(10);
  std::memset(small, 3, 10);
  std::memset(after, 4, 10);
  EXPECT_EQ(medium[4999], 1);
  EXPECT_EQ(large[0], 2);
  EXPECT_EQ(large[ByteArena::kBlockSize - 1], 2);
  EXPECT_GE(arena.reserved_bytes(), 10u + 5000u + ByteArena::kBlockSize + 10u);
}

}  // namespace
}  // namespace tessary
