#include "optimizer/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "test_graphs.h"

namespace tessary {
namespace {

using testing::in;
using testing::make_store;
using testing::member;
using testing::op;
using testing::src;

const SaturationEngine& engine() {
  static const SaturationEngine kEngine = SaturationEngine::default_engine();
  return kEngine;
}

ReductionResult reduce_outputs(const GraphStore& store, const std::vector<std::uint64_t>& outs) {
  auto r = reduce_with_outputs(store, outs, engine(), false);
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

TEST(ReduceWith, OpOnASourceBecomesSourceAndStage) {
  const GraphStore store = make_store({src("s"), op("neg", {0})}, {1});
  const ReductionResult r = reduce_with(store, engine(), false);
  const Snapshot snap = r.store.snapshot();
  const std::vector<NodeKey> want = {src("s"), Stage{{0}, {member("op|neg", {in(0)})}}};
  EXPECT_EQ(snap.nodes, want);
  EXPECT_EQ(snap.outputs, (NodeIds{1}));
  EXPECT_EQ(r.counters, (ReductionCounters{2, 2, 2, 1, 2, 1}));
  EXPECT_EQ(store.node_count(), 2u);  // the reduced store is new; the old one is only read
}

TEST(ReduceWith, StoreWithoutMarksReducesToNothing) {
  const GraphStore store = make_store({src("s"), op("neg", {0})});
  const ReductionResult r = reduce_with(store, engine(), true);
  EXPECT_EQ(r.store.node_count(), 0u);
  EXPECT_EQ(r.counters, (ReductionCounters{2, 0, 0, 0, 0, 0}));
}

TEST(ReduceWithOutputs, UsesExactlyTheRequestedOutputs) {
  const GraphStore store = make_store({src("s"), op("neg", {0}), op("exp", {1})}, {2});
  const ReductionResult only_source = reduce_outputs(store, {0});
  EXPECT_EQ(only_source.store.snapshot().nodes, (std::vector<NodeKey>{src("s")}));
  EXPECT_EQ(only_source.store.outputs(), (NodeIds{0}));
  EXPECT_EQ(only_source.counters, (ReductionCounters{3, 1, 1, 0, 1, 1}));
  const ReductionResult none = reduce_outputs(store, {});
  EXPECT_EQ(none.store.node_count(), 0u);
  EXPECT_EQ(none.store.outputs(), NodeIds{});
}

TEST(ReduceWithOutputs, FirstBadIdIsReported) {
  const GraphStore store =
      make_store({src("a"), src("b"), src("c"), src("d"), op("neg", {0})}, {4});
  auto five = reduce_with_outputs(store, std::vector<std::uint64_t>{5}, engine(), false);
  ASSERT_FALSE(five.ok());
  EXPECT_EQ(five.error(), BadNodeId{5});
  auto seven = reduce_with_outputs(store, std::vector<std::uint64_t>{1, 7, 9}, engine(), false);
  ASSERT_FALSE(seven.ok());
  EXPECT_EQ(seven.error(), BadNodeId{7});
}

TEST(FromReduced, RepeatedOutputsAreMarkedOnceInFirstOrder) {
  Reduced reduced;
  reduced.nodes = {src("a"), src("b"), op("add", {0, 1})};
  reduced.outputs = {2, 0, 2, 1, 0};
  reduced.counters = ReductionCounters{9, 8, 7, 0, 3, 2};
  const ReductionResult r = from_reduced(std::move(reduced));
  EXPECT_EQ(r.store.outputs(), (NodeIds{2, 0, 1}));
  EXPECT_EQ(r.counters, (ReductionCounters{9, 8, 7, 0, 3, 2}));
}

TEST(FromReduced, EqualKeysShareOneIdAndUsersFollow) {
  Reduced reduced;
  reduced.nodes = {src("a"), src("a"), op("neg", {1}), op("add", {0, 1})};
  reduced.outputs = {2, 3};
  const ReductionResult r = from_reduced(std::move(reduced));
  const std::vector<NodeKey> want = {src("a"), op("neg", {0}), op("add", {0, 0})};
  EXPECT_EQ(r.store.snapshot().nodes, want);
  EXPECT_EQ(r.store.outputs(), (NodeIds{1, 2}));
}

TEST(FromReduced, BrokenReducedGraphsFault) {
  Reduced forward;
  forward.nodes = {op("neg", {1}), src("a")};
  try {
    (void)from_reduced(std::move(forward));
    ADD_FAILURE() << "no fault";
  } catch (const InternalFault& f) {
    EXPECT_EQ(f.message(), "reduced graph references only earlier nodes");
  }
  Reduced bad_output;
  bad_output.nodes = {src("a")};
  bad_output.outputs = {1};
  try {
    (void)from_reduced(std::move(bad_output));
    ADD_FAILURE() << "no fault";
  } catch (const InternalFault& f) {
    EXPECT_EQ(f.message(), "reduced output is valid");
  }
}

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

TEST(ReduceWith, ReducedStoreReducesToItself) {
  const GraphStore store =
      make_store({src("x"), src("y"), op("add", {0, 1}), op("add", {1, 0}), op("mul", {2, 3}),
                  op("exp", {4}), Reduction{"sum", {}, {5}}, op("neg", {6})},
                 {7, 4});
  const ReductionResult once = reduce_with(store, engine(), false);
  const ReductionResult twice = reduce_with(once.store, engine(), false);
  const Snapshot a = once.store.snapshot();
  const Snapshot b = twice.store.snapshot();
  EXPECT_EQ(a.nodes, b.nodes);
  EXPECT_EQ(a.outputs, b.outputs);
  EXPECT_EQ(twice.counters.stages, 0u);
  EXPECT_EQ(twice.counters.boundary_nodes, a.nodes.size());
  EXPECT_EQ(twice.counters.input_nodes, a.nodes.size());
}

TEST(ReduceWith, PoisonedStoreFaults) {
  GraphStore store = make_store({src("s")}, {0});
  store.poison_for_testing();
  EXPECT_THROW((void)reduce_with(store, engine(), false), InternalFault);
  EXPECT_THROW((void)reduce_with_outputs(store, std::vector<std::uint64_t>{0}, engine(), false),
               InternalFault);
}

}  // namespace
}  // namespace tessary
