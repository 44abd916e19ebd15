// Boundary nodes whose tokens collide (stages with equal member counts,
// externals whose descriptor fields hold "|") must never be merged, and each
// must be rebuilt from its own key.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "eqsat/symbol.h"
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
    ASSERT_EQ(build.prototypes.size(), 4u);
    std::set<eqsat::GlobalSymbol> symbols;
    for (std::size_t i = 0; i < 4; ++i) {
      const EngineNode& node = build.graph.nodes[i];
      EXPECT_TRUE(node.boundary);
      EXPECT_EQ(node.prototype, i);  // numbered in order of first sight
      EXPECT_FALSE(node.op.as_str().starts_with("op|")) << node.op;
      symbols.insert(node.op);
      ASSERT_NE(build.prototypes.owned(node.prototype), nullptr);
      EXPECT_EQ(*build.prototypes.owned(node.prototype), keys[i]);
    }
    EXPECT_EQ(symbols.size(), 4u);
    // The same key on other inputs shares its symbol and prototype.
    EXPECT_EQ(build.graph.nodes[4].op, build.graph.nodes[2].op);
    EXPECT_EQ(build.graph.nodes[4].prototype, 2u);
  }
}

TEST(BoundarySymbols, NumbersFollowFirstSightOrder) {
  const NodeKey neg = Stage{{0}, {member("op|neg", {in(0)})}};
  const NodeKey exp = Stage{{0}, {member("op|exp", {in(0)})}};
  const NodeKey log = Stage{{1}, {member("op|log", {in(0)})}};
  const std::vector<NodeKey> keys = {src("s"), neg, exp, neg.with_inputs({2}), log, exp};
  EngineGraphBuild build = to_engine_graph(keys, std::vector<std::uint64_t>{5});
  std::vector<std::uint32_t> numbers;
  for (const EngineNode& n : build.graph.nodes) numbers.push_back(n.prototype);
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{0, 1, 2, 1, 3, 2}));
  EXPECT_EQ(build.graph.nodes[1].op, build.graph.nodes[3].op);
  EXPECT_NE(build.graph.nodes[1].op, build.graph.nodes[2].op);
  EXPECT_EQ(std::move(build.prototypes).take_owned(), (PrototypeTable{keys[0], neg, exp, log}));
}

// Boundary symbols are numbered, not made from the keys' texts: reducing
// graphs over ever new sources adds nothing to the process-wide symbol table
// once the numbers in use exist.
TEST(BoundarySymbols, NewSourcesAddNoSymbols) {
  auto symbol_count = [] {
    std::size_t total = 0;
    for (std::uint32_t shard = 0; shard < eqsat::kSymbolShardCount; ++shard) {
      total += eqsat::SymbolTable::global().shard_size(shard);
    }
    return total;
  };
  auto graph = [](int round) {
    std::vector<NodeKey> keys;
    for (int i = 0; i < 20; ++i) {
      keys.push_back(src("never-seen-" + std::to_string(round) + "-" + std::to_string(i)));
    }
    keys.push_back(op("add", {0, 1}));
    return make_store(keys, {20});
  };
  (void)reduce_with(graph(0), engine(), false);
  const std::size_t before = symbol_count();
  for (int round = 1; round < 4; ++round) (void)reduce_with(graph(round), engine(), false);
  EXPECT_EQ(symbol_count(), before);
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
