#include "base/id_table.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tessary {
namespace {

TEST(SlotsFor, SmallestPowerOfTwoAtThreeQuartersLoad) {
  EXPECT_EQ(slots_for(0, 0), 16u);
  EXPECT_EQ(slots_for(12, 0), 16u);
  EXPECT_EQ(slots_for(13, 0), 32u);
  EXPECT_EQ(slots_for(13, 64), 64u);  // never shrinks
  EXPECT_EQ(slots_for(3u << 20, 0), 4u << 20);
  EXPECT_EQ(slots_for((3u << 20) + 1, 0), 8u << 20);
}

// Reserving sizes the table once: filling it up to the reserved count keeps
// its memory, and every id stays findable (colliding hashes included).
TEST(IdTable, ReserveThenFillWithoutRehashing) {
  IdTable table;
  table.reserve(1000);
  const std::size_t bytes = table.capacity_bytes();
  EXPECT_GT(bytes, 0u);
  for (std::uint32_t id = 0; id < 1000; ++id) table.insert(id % 7 == 0 ? 42 : id * 2654435761u, id);
  EXPECT_EQ(table.capacity_bytes(), bytes);
  EXPECT_EQ(table.size(), 1000u);
  for (std::uint32_t id = 0; id < 1000; ++id) {
    const std::uint64_t hash = id % 7 == 0 ? 42 : id * 2654435761u;
    EXPECT_EQ(table.find(hash, [&](std::uint32_t found) { return found == id; }), id);
  }
  table.reserve(10);  // a smaller request changes nothing
  EXPECT_EQ(table.capacity_bytes(), bytes);
  table.insert(7, 1000);
  EXPECT_EQ(table.find(7, [](std::uint32_t found) { return found == 1000; }), 1000u);
}

}  // namespace
}  // namespace tessary
