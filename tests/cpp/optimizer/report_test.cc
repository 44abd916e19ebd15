#include "optimizer/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "test_graphs.h"

namespace tessary {
namespace {

TEST(ReportToMap, HoldsTheSixCountersByName) {
  const ReportMap map = report_to_map(ReductionCounters{1, 2, 3, 4, 5, 6});
  EXPECT_EQ(map.size(), 6u);
  EXPECT_EQ(map.at("input_nodes"), 1u);
  EXPECT_EQ(map.at("reachable_nodes"), 2u);
  EXPECT_EQ(map.at("canonical_nodes"), 3u);
  EXPECT_EQ(map.at("stages"), 4u);
  EXPECT_EQ(map.at("reduced_nodes"), 5u);
  EXPECT_EQ(map.at("boundary_nodes"), 6u);
}

// The cached order is the iteration order of the maps themselves, so a
// dict built along it lists its keys as one built from a map would.
TEST(ReportToMap, KeyOrderIsTheMapsIterationOrder) {
  const std::array<std::size_t, 6>& order = report_key_order();
  const ReductionCounters counters{10, 20, 30, 40, 50, 60};
  const ReportMap map = report_to_map(counters);
  std::size_t k = 0;
  for (const auto& [name, count] : map) {
    ASSERT_LT(k, order.size());
    EXPECT_EQ(name, kReportKeys[order[k]]);
    EXPECT_EQ(count, report_counter(counters, order[k]));
    ++k;
  }
  EXPECT_EQ(k, 6u);
  std::array<std::size_t, 6> sorted = order;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::array<std::size_t, 6>{0, 1, 2, 3, 4, 5}));
}

}  // namespace
}  // namespace tessary
