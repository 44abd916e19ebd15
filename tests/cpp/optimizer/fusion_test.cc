#include "optimizer/fusion.h"

#include <gtest/gtest.h>

#include "optimizer/pipeline.h"
#include "test_graphs.h"

namespace tessary {
namespace {

using testing::in;
using testing::mem;
using testing::member;
using testing::op;
using testing::PassThroughEngine;
using testing::src;

Reduced fuse(const std::vector<NodeKey>& nodes, const std::vector<std::uint64_t>& outputs,
             bool maximal) {
  return reduce_with_mode(nodes, outputs, PassThroughEngine(), maximal);
}

void expect_shape(const Reduced& r, std::uint64_t stages, std::uint64_t boundary) {
  EXPECT_EQ(r.counters.stages, stages);
  EXPECT_EQ(r.counters.boundary_nodes, boundary);
  EXPECT_EQ(r.counters.reduced_nodes, stages + boundary);
  EXPECT_EQ(r.nodes.size(), stages + boundary);
}

TEST(StageFusion, ChainBecomesOneStage) {
  const std::vector<NodeKey> nodes = {src("s"), op("neg", {0}), op("exp", {1})};
  for (const bool maximal : {false, true}) {
    const Reduced r = fuse(nodes, {2}, maximal);
    const std::vector<NodeKey> want = {
        src("s"), Stage{{0}, {member("op|neg", {in(0)}), member("op|exp", {mem(0)})}}};
    EXPECT_EQ(r.nodes, want);
    EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{1}));
    expect_shape(r, 1, 1);
  }
}

// s; a = neg(s); b = exp(a); c = log(a); d = add(b, c), the output.
std::vector<NodeKey> fan_out_graph() {
  return {src("s"), op("neg", {0}), op("exp", {1}), op("log", {1}), op("add", {2, 3})};
}

TEST(StageFusion, FanOutSingleUseKeepsSharedOpAlone) {
  const Reduced r = fuse(fan_out_graph(), {4}, false);
  const std::vector<NodeKey> want = {
      src("s"),
      Stage{{0}, {member("op|neg", {in(0)})}},
      Stage{{1},
            {member("op|exp", {in(0)}), member("op|log", {in(0)}),
             member("op|add", {mem(0), mem(1)})}},
  };
  EXPECT_EQ(r.nodes, want);
  EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{2}));
  expect_shape(r, 2, 1);
}

TEST(StageFusion, FanOutMaximalFusesSharedOp) {
  const Reduced r = fuse(fan_out_graph(), {4}, true);
  const std::vector<NodeKey> want = {
      src("s"),
      Stage{{0},
            {member("op|neg", {in(0)}), member("op|exp", {mem(0)}), member("op|log", {mem(0)}),
             member("op|add", {mem(1), mem(2)})}},
  };
  EXPECT_EQ(r.nodes, want);
  EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{1}));
  expect_shape(r, 1, 1);
}

TEST(StageFusion, ConsumersInDifferentGroupsBlockFusion) {
  // a = neg(s) feeds two outputs, which stay in groups of their own.
  const std::vector<NodeKey> nodes = {src("s"), op("neg", {0}), op("exp", {1}), op("log", {1})};
  for (const bool maximal : {false, true}) {
    const Reduced r = fuse(nodes, {2, 3}, maximal);
    const std::vector<NodeKey> want = {
        src("s"),
        Stage{{0}, {member("op|neg", {in(0)})}},
        Stage{{1}, {member("op|exp", {in(0)})}},
        Stage{{1}, {member("op|log", {in(0)})}},
    };
    EXPECT_EQ(r.nodes, want) << maximal;
    expect_shape(r, 3, 1);
  }
}

TEST(StageFusion, OperandUsedTwiceByOneConsumer) {
  // x = neg(s) is used twice by mul: two uses for the single-use rule, one
  // consumer group for the maximal rule.
  const std::vector<NodeKey> nodes = {src("s"), op("neg", {0}), op("mul", {1, 1})};
  const Reduced single = fuse(nodes, {2}, false);
  const std::vector<NodeKey> want_single = {
      src("s"),
      Stage{{0}, {member("op|neg", {in(0)})}},
      Stage{{1}, {member("op|mul", {in(0), in(0)})}},
  };
  EXPECT_EQ(single.nodes, want_single);
  const Reduced maximal = fuse(nodes, {2}, true);
  const std::vector<NodeKey> want_maximal = {
      src("s"), Stage{{0}, {member("op|neg", {in(0)}), member("op|mul", {mem(0), mem(0)})}}};
  EXPECT_EQ(maximal.nodes, want_maximal);
}

TEST(StageFusion, OutsideOperandsShareOneInput) {
  const std::vector<NodeKey> nodes = {src("s"), src("t"), op("mul", {0, 0}), op("sub", {2, 1}),
                                      op("div", {3, 0})};
  const Reduced r = fuse(nodes, {4}, false);
  const std::vector<NodeKey> want = {
      src("s"),
      src("t"),
      Stage{{0, 1},
            {member("op|mul", {in(0), in(0)}), member("op|sub", {mem(0), in(1)}),
             member("op|div", {mem(1), in(0)})}},
  };
  EXPECT_EQ(r.nodes, want);
}

TEST(StageFusion, OutputOpIsTheLastMemberOfItsGroup) {
  const std::vector<NodeKey> nodes = {src("s"), op("neg", {0}), op("exp", {1})};
  for (const bool maximal : {false, true}) {
    const Reduced r = fuse(nodes, {1, 2}, maximal);
    const std::vector<NodeKey> want = {
        src("s"),
        Stage{{0}, {member("op|neg", {in(0)})}},
        Stage{{1}, {member("op|exp", {in(0)})}},
    };
    EXPECT_EQ(r.nodes, want);
    EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{1, 2}));
  }
}

TEST(StageFusion, BoundaryConsumerStopsFusion) {
  const PayloadDescriptor d{"model", "h", "fw", "1", "io", std::nullopt};
  const std::vector<std::pair<NodeKey, std::string>> consumers = {
      {Reduction{"sum", {}, {1}}, "red"},
      {External{d, {}, {1}}, "ext"},
      {Exchange{{}, {1}}, "exch"},
      {Stage{{1}, {member("op|neg", {in(0)})}}, "stage"},
  };
  for (const auto& [consumer, name] : consumers) {
    const std::vector<NodeKey> nodes = {src("s"), op("neg", {0}), consumer, op("exp", {2})};
    for (const bool maximal : {false, true}) {
      const Reduced r = fuse(nodes, {3}, maximal);
      const std::vector<NodeKey> want = {src("s"), Stage{{0}, {member("op|neg", {in(0)})}},
                                         consumer, Stage{{2}, {member("op|exp", {in(0)})}}};
      EXPECT_EQ(r.nodes, want) << name;
      expect_shape(r, 2, 2);
    }
  }
}

TEST(StageFusion, GraphWithoutOpsHasNoStages) {
  const std::vector<NodeKey> nodes = {src("s"), Reduction{"sum", {}, {0}}, Exchange{{}, {1}}};
  const Reduced r = fuse(nodes, {2}, true);
  EXPECT_EQ(r.nodes, nodes);
  expect_shape(r, 0, 3);
}

TEST(StageFusion, BoundaryNodesSharingASymbolKeepTheirOwnInputs) {
  // The first node of a symbol takes its prototype; the later ones are
  // rebuilt from that node's key, so each must still get its own inputs.
  const std::string name = "a_reduction_name_longer_than_inline_text";
  const std::vector<NodeKey> nodes = {src("s"),
                                      src("t"),
                                      Reduction{name, {}, {0}},
                                      Reduction{name, {}, {1}},
                                      op("neg", {2}),
                                      Reduction{name, {}, {4}},
                                      Exchange{{}, {3}},
                                      Exchange{{}, {5}}};
  const Reduced r = fuse(nodes, {6, 7, 3}, false);
  EXPECT_EQ(r.nodes[2], nodes[2]);
  EXPECT_EQ(r.nodes[3], nodes[3]);
  EXPECT_EQ(r.nodes[5], nodes[5]);
  EXPECT_EQ(r.nodes[6], nodes[6]);
  EXPECT_EQ(r.nodes[7], nodes[7]);
  expect_shape(r, 1, 7);
}

TEST(StageFusion, OpsWithoutOperandsMakeAStageWithoutInputs) {
  const std::vector<NodeKey> nodes = {op("const", {}), op("neg", {0})};
  const Reduced r = fuse(nodes, {1}, false);
  const std::vector<NodeKey> want = {
      Stage{{}, {member("op|const", {}), member("op|neg", {mem(0)})}}};
  EXPECT_EQ(r.nodes, want);
  expect_shape(r, 1, 0);
}

TEST(StageFusion, MissingPrototypeFaults) {
  EngineGraph graph;
  graph.nodes.push_back(testing::boundary_node(0));
  graph.outputs = {0};
  EXPECT_THROW((void)stage_fusion(graph, PrototypeTable{}, false), InternalFault);
}

TEST(StageFusion, ChildAfterItsUserFaults) {
  EngineGraph graph;
  graph.nodes.push_back(testing::op_node("op|neg", {1}));
  graph.nodes.push_back(testing::op_node("op|exp", {}));
  graph.outputs = {0};
  EXPECT_THROW((void)stage_fusion(graph, PrototypeTable{}, false), InternalFault);
}

}  // namespace
}  // namespace tessary
