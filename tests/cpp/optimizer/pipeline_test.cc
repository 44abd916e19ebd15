#include "optimizer/pipeline.h"

#include <gtest/gtest.h>

#include "optimizer/cse.h"
#include "optimizer/dce.h"
#include "test_graphs.h"

namespace tessary {
namespace {

using testing::in;
using testing::mem;
using testing::member;
using testing::op;
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
  const LiveGraph live = dead_code_elimination(nodes, std::vector<std::uint64_t>{4, 4});
  EXPECT_EQ(live.kept, (std::vector<std::uint64_t>{1, 2, 4}));
  EXPECT_EQ(live.outputs, (std::vector<std::uint64_t>{2, 2}));
  const std::vector<NodeKey> want = {src("b"), op("neg", {0}), op("add", {1, 1})};
  for (std::size_t k = 0; k < want.size(); ++k) EXPECT_EQ(live.key(nodes, k), want[k]);
  const EngineGraph graph = to_engine_graph(nodes, live).graph;
  const std::vector<EngineNode> want_graph = {
      {"src|b", {}, true}, {"op|neg", {0}, false}, {"op|add", {1, 1}, false}};
  EXPECT_EQ(graph.nodes, want_graph);
  EXPECT_EQ(graph.outputs, (std::vector<EngineIndex>{2, 2}));
}

TEST(DeadCodeElimination, LongChainNeedsNoCallStack) {
  std::vector<NodeKey> nodes = {src("s")};
  for (NodeId i = 0; i < 200000; ++i) nodes.push_back(op("neg", {i}));
  const LiveGraph live = dead_code_elimination(nodes, std::vector<std::uint64_t>{nodes.size() - 1});
  EXPECT_EQ(live.kept.size(), nodes.size());
}

TEST(DeadCodeElimination, InputNotBeforeItsUserFaults) {
  const std::vector<NodeKey> nodes = {src("a"), op("neg", {1})};
  EXPECT_THROW((void)dead_code_elimination(nodes, std::vector<std::uint64_t>{1}), InternalFault);
}

// An engine that claims node 3 equals node 2: the graph it returns holds two
// equal nodes, which CSE must fold.
TEST(Cse, FoldsLaterEqualNodesIntoTheFirst) {
  EngineGraph graph;
  graph.nodes = {{"src|x", {}, true},       {"src|y", {}, true},       {"op|add", {0, 1}, false},
                 {"op|add", {0, 1}, false}, {"op|mul", {2, 3}, false}, {"op|mul", {3, 2}, false}};
  graph.outputs = {3, 5, 4};
  const EngineGraph out = cse(graph);
  const std::vector<EngineNode> want = {{"src|x", {}, true},
                                        {"src|y", {}, true},
                                        {"op|add", {0, 1}, false},
                                        {"op|mul", {2, 2}, false}};
  EXPECT_EQ(out.nodes, want);
  EXPECT_EQ(out.outputs, (std::vector<EngineIndex>{2, 3, 3}));
}

TEST(Cse, KeepsNodesThatDifferInSymbolOrOperandOrder) {
  EngineGraph graph;
  graph.nodes = {{"src|x", {}, true},
                 {"src|y", {}, true},
                 {"op|sub", {0, 1}, false},
                 {"op|sub", {1, 0}, false},
                 {"op|div", {0, 1}, false}};
  graph.outputs = {2, 3, 4};
  EXPECT_EQ(cse(graph), graph);
}

}  // namespace
}  // namespace tessary
