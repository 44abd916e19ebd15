#include "optimizer/pipeline.h"

#include <gtest/gtest.h>

#include "../eqsat/fixed_hash_collisions.h"
#include "base/cancel.h"
#include "base/fault.h"
#include "eqsat/symbol.h"
#include "optimizer/cse.h"
#include "optimizer/dce.h"
#include "support/counting_poll.h"
#include "test_graphs.h"

namespace tessary {
namespace {

using testing::boundary_node;
using testing::CountingPoll;
using testing::in;
using testing::make_store;
using testing::mem;
using testing::member;
using testing::op;
using testing::op_node;
using testing::PassThroughEngine;
using testing::scalar_side;
using testing::src;

Reduced run(const std::vector<NodeKey>& nodes, const std::vector<std::uint64_t>& outputs,
            const RewriteEngine& engine, bool maximal_fusion) {
  return reduce_with_mode(nodes, outputs, engine, maximal_fusion);
}

// 0 x; 1 y; 2 add(x, y); 3 add(y, x); 4 mul(2, 3); 5 add(4) + 0.0 on the
// right; 6 z (unreachable); output 5.
std::vector<NodeKey> worked_example() {
  return {src("x"),          src("y"),          op("add", {0, 1}),
          op("add", {1, 0}), op("mul", {2, 3}), op("add", {4}, scalar_side(0.0, "r")),
          src("z")};
}

TEST(ReduceWithMode, WorkedExampleSingleUse) {
  const Reduced r = run(worked_example(), {5}, SaturationEngine::default_engine(), false);
  const std::vector<NodeKey> want = {
      src("x"),
      src("y"),
      Stage{{0, 1}, {member("op|add", {in(0), in(1)})}},
      Stage{{2}, {member("op|mul", {in(0), in(0)})}},
  };
  EXPECT_EQ(r.nodes, want);
  EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(r.counters, (ReductionCounters{7, 6, 4, 2, 4, 2}));
}

TEST(ReduceWithMode, WorkedExampleMaximal) {
  const Reduced r = run(worked_example(), {5}, SaturationEngine::default_engine(), true);
  const std::vector<NodeKey> want = {
      src("x"),
      src("y"),
      Stage{{0, 1}, {member("op|add", {in(0), in(1)}), member("op|mul", {mem(0), mem(0)})}},
  };
  EXPECT_EQ(r.nodes, want);
  EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(r.counters, (ReductionCounters{7, 6, 4, 1, 3, 2}));
}

TEST(ReduceWithMode, EmptyOutputsGiveAnEmptyGraph) {
  const Reduced r = run(worked_example(), {}, SaturationEngine::default_engine(), false);
  EXPECT_TRUE(r.nodes.empty());
  EXPECT_TRUE(r.outputs.empty());
  EXPECT_EQ(r.counters, (ReductionCounters{7, 0, 0, 0, 0, 0}));
}

TEST(ReduceWithMode, RepeatedOutputsAndOperandsAreKept) {
  const std::vector<NodeKey> nodes = {src("x"), src("unused"), op("sub", {0, 0})};
  const Reduced r = run(nodes, {2, 0, 2}, PassThroughEngine(), false);
  const std::vector<NodeKey> want = {src("x"), Stage{{0}, {member("op|sub", {in(0), in(0)})}}};
  EXPECT_EQ(r.nodes, want);
  EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{1, 0, 1}));
  EXPECT_EQ(r.counters, (ReductionCounters{3, 2, 2, 1, 2, 1}));
}

TEST(ReduceWithMode, BoundaryNodesKeepTheirKind) {
  const PayloadDescriptor d{"model", "h", "fw", "1", "io", "prep"};
  const std::vector<NodeKey> nodes = {
      src("x"),
      op("neg", {0}),
      Reduction{"sum", ParamMap({{"axis", ParamValue::integer(1)}}), {1}},
      External{d, {}, {2}},
      Exchange{ParamMap({{"by", ParamValue::string("k")}}), {3}},
      op("exp", {4}),
  };
  const Reduced r = run(nodes, {5}, PassThroughEngine(), true);
  ASSERT_EQ(r.nodes.size(), 6u);
  EXPECT_EQ(r.nodes[0], nodes[0]);
  EXPECT_EQ(r.nodes[2], nodes[2]);
  EXPECT_EQ(r.nodes[3], nodes[3]);
  EXPECT_EQ(r.nodes[4], nodes[4]);
  EXPECT_EQ(r.counters, (ReductionCounters{6, 6, 6, 2, 6, 4}));
}

TEST(ReduceWithMode, BadOutputFaults) {
  EXPECT_THROW((void)run(worked_example(), {7}, PassThroughEngine(), false), InternalFault);
}

TEST(DeadCodeElimination, RenumbersReachableNodesInOrder) {
  const std::vector<NodeKey> nodes = {src("a"), src("b"), op("neg", {1}), op("exp", {0}),
                                      op("add", {2, 2})};
  const EngineGraph graph =
      dead_code_elimination(to_engine_graph(nodes, std::vector<std::uint64_t>{4, 4}).graph);
  const std::vector<EngineNode> want = {boundary_node(1), op_node("op|neg", {0}),
                                        op_node("op|add", {1, 1})};
  EXPECT_EQ(graph.nodes, want);
  EXPECT_EQ(graph.outputs, (std::vector<EngineIndex>{2, 2}));
}

TEST(DeadCodeElimination, NoOutputsKeepsNothing) {
  const std::vector<NodeKey> nodes = {src("a"), op("neg", {0})};
  const EngineGraph graph =
      dead_code_elimination(to_engine_graph(nodes, std::vector<std::uint64_t>{}).graph);
  EXPECT_TRUE(graph.nodes.empty());
  EXPECT_TRUE(graph.outputs.empty());
}

TEST(DeadCodeElimination, LongChainNeedsNoCallStack) {
  std::vector<NodeKey> nodes = {src("s")};
  for (NodeId i = 0; i < 200000; ++i) nodes.push_back(op("neg", {i}));
  const EngineGraph graph = dead_code_elimination(
      to_engine_graph(nodes, std::vector<std::uint64_t>{nodes.size() - 1}).graph);
  EXPECT_EQ(graph.nodes.size(), nodes.size());
}

TEST(DeadCodeElimination, ChildNotBeforeItsUserFaults) {
  EngineGraph graph;
  graph.nodes = {boundary_node(0), op_node("op|neg", {1})};
  graph.outputs = {1};
  EXPECT_THROW((void)dead_code_elimination(graph), InternalFault);
  const std::vector<NodeKey> nodes = {src("a"), op("neg", {1})};
  EXPECT_THROW((void)to_engine_graph(nodes, std::vector<std::uint64_t>{1}), InternalFault);
}

// An engine that claims node 3 equals node 2: the graph it returns holds two
// equal nodes, which CSE must fold.
TEST(Cse, FoldsLaterEqualNodesIntoTheFirst) {
  EngineGraph graph;
  graph.nodes = {boundary_node(0),          boundary_node(1),          op_node("op|add", {0, 1}),
                 op_node("op|add", {0, 1}), op_node("op|mul", {2, 3}), op_node("op|mul", {3, 2})};
  graph.outputs = {3, 5, 4};
  const EngineGraph out = cse(graph);
  const std::vector<EngineNode> want = {boundary_node(0), boundary_node(1),
                                        op_node("op|add", {0, 1}), op_node("op|mul", {2, 2})};
  EXPECT_EQ(out.nodes, want);
  EXPECT_EQ(out.outputs, (std::vector<EngineIndex>{2, 3, 3}));
}

TEST(Cse, KeepsNodesThatDifferInSymbolOrOperandOrder) {
  EngineGraph graph;
  graph.nodes = {boundary_node(0), boundary_node(1), op_node("op|sub", {0, 1}),
                 op_node("op|sub", {1, 0}), op_node("op|div", {0, 1})};
  graph.outputs = {2, 3, 4};
  EXPECT_EQ(cse(graph), graph);
}

// The store-level entry points.

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

// Reduces a store of one op per token (each on one source, each an output)
// and returns the probes that finding those tokens in the process-wide
// symbol table takes afterwards.
std::size_t symbol_probes_after_reducing(const std::vector<std::string>& tokens) {
  std::vector<NodeKey> keys = {src("s")};
  NodeIds marks;
  for (const std::string& token : tokens) {
    marks.push_back(keys.size());
    keys.push_back(op(token.substr(3), {0}));
  }
  const ReductionResult r = reduce_with(make_store(keys, marks), engine(), false);
  EXPECT_EQ(r.counters.reduced_nodes, tokens.size() + 1);
  std::size_t probes = 0;
  for (const std::string& token : tokens) probes += eqsat::SymbolTable::global().probe_count(token);
  return probes;
}

TEST(ReduceWith, OpNamesCraftedForTheFixedSymbolHashCostNoMoreProbesThanRandomNames) {
  constexpr std::size_t kOps = 3000;
  const std::size_t random_probes = symbol_probes_after_reducing(testing::random_op_texts(kOps, 5));
  const std::size_t crafted_probes =
      symbol_probes_after_reducing(testing::fixed_hash_collisions(kOps));
  EXPECT_GE(crafted_probes, kOps);
  EXPECT_LE(crafted_probes, 3 * random_probes);
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

// A chain long enough for the per-node polls, with commutative duplicates
// and identity ops for the runner to work on.
GraphStore polled_graph() {
  std::vector<NodeKey> keys = {src("x"), src("y")};
  for (std::uint64_t i = 0; keys.size() < 3 * Cancel::kStride; ++i) {
    const NodeId last = keys.size() - 1;
    keys.push_back(op("add", {last, i % 2}));
    keys.push_back(op("add", {i % 2, last}));
    keys.push_back(op("mul", {last + 1, last + 2}));
    keys.push_back(op("mul", {last + 3}, scalar_side(1.0, "r")));
  }
  return make_store(keys, {keys.size() - 1});
}

// A reduction polls while it visits the store, between passes, in the runner
// and while it builds the new store; stopped at any of those polls, it
// leaves the store as it was and usable.
TEST(ReduceWith, StopsAtEveryPollAndLeavesTheStoreUsable) {
  const GraphStore store = polled_graph();
  const ReductionResult expected = reduce_with(store, engine(), false);
  CountingPoll counting;
  Cancel watching(&CountingPoll::poll, &counting);
  const ReductionResult watched = reduce_with(store, engine(), false, watching);
  EXPECT_EQ(watched.store.snapshot().nodes, expected.store.snapshot().nodes);
  EXPECT_EQ(watched.counters, expected.counters);
  // The store visit and the new store poll every kStride nodes; the passes
  // and the runner add their own.
  ASSERT_GE(counting.calls, 10);
  for (int stop_at = 1; stop_at <= counting.calls; ++stop_at) {
    CountingPoll stopping{.stop_at = stop_at};
    Cancel cancel(&CountingPoll::poll, &stopping);
    EXPECT_THROW((void)reduce_with(store, engine(), false, cancel), Cancelled) << stop_at;
    EXPECT_EQ(stopping.calls, stop_at);
  }
  const ReductionResult after = reduce_with(store, engine(), false);
  EXPECT_EQ(after.store.snapshot().nodes, expected.store.snapshot().nodes);
  EXPECT_EQ(after.counters, expected.counters);
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
