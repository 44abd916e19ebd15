#include "base/id_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

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

// Ids sharing one hash form one probe run: finding the k-th costs k + 1
// probes, a miss walks the whole run and its empty end.
TEST(IdTable, ProbeCountWalksTheRunOfEqualHashes) {
  IdTable table;
  auto is = [](std::uint32_t want) { return [want](std::uint32_t id) { return id == want; }; };
  EXPECT_EQ(table.probe_count(5, is(0)), 0u);
  for (std::uint32_t id = 0; id < 10; ++id) table.insert(5, id);
  table.insert(6, 10);  // its home slot is taken by the run, so it lands after
  for (std::uint32_t id = 0; id < 10; ++id) EXPECT_EQ(table.probe_count(5, is(id)), id + 1);
  EXPECT_EQ(table.probe_count(6, is(10)), 10u);
  EXPECT_EQ(table.probe_count(5, is(99)), 12u);
  EXPECT_EQ(table.probe_count(0, is(99)), 1u);
}

// locate then insert_at is how the e-graph's hash-cons table adds: a probe
// that finds nothing names the slot the id then goes to, growing first so
// that slot stays valid; equal keys are found again, unequal ones sharing a
// hash are not.
TEST(IdTable, LocateThenInsertAtFindsEachKeyOnce) {
  IdTable table;
  std::vector<std::uint64_t> keys;
  for (std::uint32_t i = 0; i < 500; ++i) keys.push_back(i % 5 == 0 ? 99 : i * 40503u);
  for (std::uint32_t id = 0; id < keys.size(); ++id) {
    const auto probe = table.locate(keys[id], [&](std::uint32_t found) { return found == id; });
    ASSERT_FALSE(probe.id.has_value());
    table.insert_at(probe, id);
  }
  EXPECT_EQ(table.size(), keys.size());
  for (std::uint32_t id = 0; id < keys.size(); ++id) {
    const auto probe = table.locate(keys[id], [&](std::uint32_t found) { return found == id; });
    EXPECT_EQ(probe.id, id);
  }
  // A hash whose home slot holds an id with that hash names it as a candidate.
  const auto candidate = table.home_candidate(99);
  ASSERT_TRUE(candidate.has_value());
  EXPECT_EQ(keys[*candidate], 99u);
}

}  // namespace
}  // namespace tessary
