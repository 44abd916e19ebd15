// Boundary nodes whose tokens collide (stages with equal member counts,
// externals whose descriptor fields hold "|") must never be merged, and each
// must be rebuilt from its own key.
#include <gtest/gtest.h>

#include <set>

#include "optimizer/engine_graph.h"
#include "optimizer/incremental.h"
#include "optimizer/pipeline.h"
#include "optimizer/report.h"
#include "test_graphs.h"

namespace tessary {
namespace {

using testing::in;
using testing::make_store;
using testing::member;
using testing::op;
using testing::src;

// Both descriptors have the token "ext|a|b|c|fw|1|io|-".
const PayloadDescriptor kSplitKind{"a|b", "c", "fw", "1", "io", std::nullopt};
const PayloadDescriptor kSplitHash{"a", "b|c", "fw", "1", "io", std::nullopt};
// Its token is the first one's token plus "#1".
const PayloadDescriptor kSuffixLike{"a|b", "c", "fw", "1", "io", std::string("-#1")};

const SaturationEngine& engine() {
  static const SaturationEngine kEngine = SaturationEngine::default_engine();
  return kEngine;
}

TEST(BoundarySymbols, CollidingTokensReallyCollide) {
  EXPECT_EQ(NodeKey(External{kSplitKind, {}, {}}).token(),
            NodeKey(External{kSplitHash, {}, {}}).token());
  EXPECT_EQ(NodeKey(External{kSuffixLike, {}, {}}).token(),
            NodeKey(External{kSplitKind, {}, {}}).token() + "#1");
}

TEST(BoundarySymbols, EachDistinctKeyGetsItsOwnSymbolAndPrototype) {
  const std::vector<NodeKey> orders[] = {
      {src("s"), External{kSplitKind, {}, {0}}, External{kSplitHash, {}, {0}},
       External{kSuffixLike, {}, {0}}, External{kSplitHash, {}, {}}},
      {src("s"), External{kSuffixLike, {}, {0}}, External{kSplitHash, {}, {0}},
       External{kSplitKind, {}, {0}}, External{kSplitHash, {}, {}}},
  };
  for (const std::vector<NodeKey>& keys : orders) {
    const EngineGraphBuild build = to_engine_graph(keys, std::vector<std::uint64_t>{1, 2, 3});
    std::set<std::string> symbols;
    for (std::size_t i = 1; i < 4; ++i) {
      const EngineNode& node = build.graph.nodes[i];
      EXPECT_TRUE(node.boundary);
      EXPECT_TRUE(node.op.starts_with("ext|")) << node.op;
      symbols.insert(node.op);
      EXPECT_TRUE(same_except_inputs(build.symbols.at(node.op), keys[i]));
    }
    EXPECT_EQ(symbols.size(), 3u);
    // The same key on other inputs shares its symbol.
    EXPECT_EQ(build.graph.nodes[4].op, build.graph.nodes[2].op);
  }
}

TEST(BoundarySymbols, SuffixesFollowFirstSightOrder) {
  const NodeKey neg = Stage{{0}, {member("op|neg", {in(0)})}};
  const NodeKey exp = Stage{{0}, {member("op|exp", {in(0)})}};
  const NodeKey log = Stage{{1}, {member("op|log", {in(0)})}};
  const std::vector<NodeKey> keys = {src("s"), neg, exp, neg.with_inputs({2}), log, exp};
  const EngineGraphBuild build = to_engine_graph(keys, std::vector<std::uint64_t>{5});
  std::vector<std::string> ops;
  for (const EngineNode& n : build.graph.nodes) ops.push_back(n.op);
  EXPECT_EQ(ops, (std::vector<std::string>{"src|s", "stage|1", "stage|1#1", "stage|1", "stage|1#2",
                                           "stage|1#1"}));
  EXPECT_EQ(build.symbols.size(), 4u);
  EXPECT_EQ(build.symbols.at("stage|1#2"), log);
}

TEST(BoundarySymbols, CollidingExternalsAreNotMerged) {
  const std::vector<NodeKey> keys = {src("s"), External{kSplitKind, {}, {0}},
                                     External{kSplitHash, {}, {0}}, op("sub", {1, 2})};
  const GraphStore store = make_store(keys, {3});
  const ReductionResult r = reduce_with(store, engine(), false);
  const std::vector<NodeKey> want = {keys[0], keys[1], keys[2],
                                     Stage{{1, 2}, {member("op|sub", {in(0), in(1)})}}};
  EXPECT_EQ(r.store.snapshot().nodes, want);
  EXPECT_EQ(r.counters.canonical_nodes, 4u);
}

TEST(BoundarySymbols, StagesWithEqualMemberCountsAreNotMerged) {
  const std::vector<NodeKey> keys = {src("s"), Stage{{0}, {member("op|neg", {in(0)})}},
                                     Stage{{0}, {member("op|exp", {in(0)})}}, op("sub", {1, 2})};
  const GraphStore store = make_store(keys, {3});
  for (const bool maximal : {false, true}) {
    const ReductionResult r = reduce_with(store, engine(), maximal);
    const std::vector<NodeKey> nodes = r.store.snapshot().nodes;
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(nodes[1], keys[1]);
    EXPECT_EQ(nodes[2], keys[2]);
  }
}

// A reduction that leaves two one-member stages on one input, reduced again.
TEST(BoundarySymbols, ReReducingKeepsDistinctStages) {
  const GraphStore store =
      make_store({src("s"), op("neg", {0}), op("exp", {0}), External{kSplitKind, {}, {0}},
                  External{kSplitHash, {}, {0}}},
                 {1, 2, 3, 4});
  const ReductionResult once = reduce_with(store, engine(), false);
  const ReductionResult twice = reduce_with(once.store, engine(), false);
  const Snapshot a = once.store.snapshot();
  const Snapshot b = twice.store.snapshot();
  ASSERT_EQ(a.nodes.size(), 5u);
  EXPECT_EQ(a.nodes, b.nodes);
  EXPECT_EQ(a.outputs, b.outputs);
  EXPECT_EQ(twice.counters, (ReductionCounters{5, 5, 5, 0, 5, 5}));
}

TEST(BoundarySymbols, IncrementalReducerKeepsThemApart) {
  IncrementalReducer reducer;
  const std::vector<NodeKey> keys = {src("s"), Stage{{0}, {member("op|neg", {in(0)})}},
                                     Stage{{0}, {member("op|exp", {in(0)})}},
                                     External{kSplitKind, {}, {0}}, External{kSplitHash, {}, {0}}};
  ASSERT_TRUE(reducer.step(keys).ok());
  EXPECT_EQ(reducer.canonical_count(), 5u);
  auto reduced = reducer.finalize(std::vector<std::uint64_t>{1, 2, 3, 4}, engine(), false);
  ASSERT_TRUE(reduced.ok());
  EXPECT_EQ(reduced.value().nodes, keys);
}

}  // namespace
}  // namespace tessary
