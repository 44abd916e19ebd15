// Seeded random graphs with every node kind, commutative duplicates in both
// orders, identity ops, chains, fan-out and repeated inputs: reductions must
// be deterministic, idempotent, equivalent to the input, and independent of
// how an incremental reducer was stepped.
#include <gtest/gtest.h>

#include <random>

#include "eqsat/tuning.h"
#include "optimizer/cse.h"
#include "optimizer/dce.h"
#include "optimizer/engine_graph.h"
#include "optimizer/incremental.h"
#include "optimizer/pipeline.h"
#include "reference_pipeline.h"
#include "test_graphs.h"

namespace tessary {
namespace {

using testing::in;
using testing::mem;
using testing::member;
using testing::op;
using testing::scalar_side;
using testing::semantic_values;
using testing::src;

class RandomGraph {
 public:
  explicit RandomGraph(std::uint32_t seed) : rng_(seed) {}

  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  bool chance(int percent) { return pick(100) < static_cast<std::size_t>(percent); }

  // Half the time the newest node (chains), otherwise any node (fan-out).
  NodeId input(std::uint64_t count) { return chance(50) ? count - 1 : pick(count); }

  NodeKey key(std::uint64_t count) {
    static const PayloadDescriptor kDescriptors[] = {
        {"a|b", "c", "fw", "1", "io", std::nullopt},
        {"a", "b|c", "fw", "1", "io", std::nullopt},
        {"a|b", "c", "fw", "1", "io", std::string("-#1")},
    };
    static const std::vector<StageOp> kMembers[] = {
        {member("op|neg", {in(0)})},
        {member("op|exp", {in(0)})},
        {member("op|add", {in(0), in(1)}), member("op|neg", {mem(0)})},
        {member("op|sub", {in(1), in(0)}), member("op|add", {in(0), mem(0)})},
    };
    if (count == 0 || chance(8)) return src("s" + std::to_string(pick(4)));
    const NodeId a = input(count);
    const NodeId b = input(count);
    switch (pick(9)) {
      case 0:
      case 1: {
        static const char* kNames[] = {"add", "mul", "maximum", "eq"};
        return op(kNames[pick(4)], {a, b});
      }
      case 2: {
        const std::size_t i = pick(4);
        const std::size_t arity = chance(80) ? 1 : pick(3);
        NodeIds inputs(arity, a);
        if (arity == 2) inputs[1] = b;
        return op(i < 2 ? "add" : "mul", inputs, scalar_side(i < 2 ? 0.0 : 1.0, i % 2 ? "l" : "r"));
      }
      case 3: {
        static const char* kNames[] = {"neg", "exp", "log"};
        return op(kNames[pick(3)], {a});
      }
      case 4:
        return op(chance(50) ? "sub" : "div", {a, b});
      case 5:
        return op("add", {a, b}, ParamMap({{"alpha", ParamValue::integer(2)}}));
      case 6:
        return chance(50) ? NodeKey(Reduction{"sum", {}, {a}})
                          : NodeKey(Exchange{ParamMap({{"by", ParamValue::string("k")}}), {a}});
      case 7:
        return External{kDescriptors[pick(3)], {}, {a}};
      default:
        return Stage{{a, b}, kMembers[pick(4)]};
    }
  }

  // A store of about n nodes; commutative ops are often followed by their
  // swapped twin.
  GraphStore store(std::size_t n) {
    GraphStore store;
    for (std::size_t i = 0; i < n; ++i) {
      const NodeKey k = key(store.node_count());
      const NodeId id = store.intern(k).value();
      const Op* o = k.get_if<Op>();
      if (o && o->params.empty() && o->inputs.size() == 2 && chance(50)) {
        (void)store.intern(k.with_inputs({o->inputs[1], o->inputs[0]}));
      }
      if (chance(10)) (void)store.mark_output(id);
    }
    return store;
  }

  std::vector<std::uint64_t> outputs(std::uint64_t count) {
    std::vector<std::uint64_t> outs;
    const std::size_t k = 1 + pick(4);
    for (std::size_t i = 0; i < k; ++i) outs.push_back(pick(count));
    if (chance(30)) outs.push_back(outs.front());
    return outs;
  }

 private:
  std::mt19937 rng_;
};

const SaturationEngine& engine() {
  static const SaturationEngine kEngine = SaturationEngine::default_engine();
  return kEngine;
}

void expect_equivalent(const std::vector<NodeKey>& original,
                       const std::vector<std::uint64_t>& outputs, const Reduced& reduced) {
  const std::vector<std::uint64_t> before = semantic_values(original);
  const std::vector<std::uint64_t> after = semantic_values(reduced.nodes);
  ASSERT_EQ(reduced.outputs.size(), outputs.size());
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    EXPECT_EQ(before[outputs[k]], after[reduced.outputs[k]]) << "output " << k;
  }
  const ReductionCounters& c = reduced.counters;
  EXPECT_GE(c.reachable_nodes, c.canonical_nodes);
  EXPECT_GE(c.canonical_nodes, c.reduced_nodes);
  EXPECT_EQ(c.reduced_nodes, c.stages + c.boundary_nodes);
  EXPECT_EQ(c.reduced_nodes, reduced.nodes.size());
}

TEST(RandomGraphs, ReductionsAreEquivalentDeterministicAndIdempotent) {
  for (std::uint32_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE(seed);
    RandomGraph gen(seed);
    const GraphStore store = gen.store(5 + gen.pick(60));
    const std::vector<NodeKey> nodes = store.snapshot().nodes;
    const std::vector<std::uint64_t> outputs = gen.outputs(nodes.size());
    // The pipeline skips CSE after this engine: its result must be one that
    // CSE returns unchanged.
    const EngineGraph input = dead_code_elimination(to_engine_graph(nodes, outputs).graph);
    const EngineGraph canonical = engine().canonicalize(input);
    ASSERT_TRUE(engine().returns_folded_graphs());
    EXPECT_EQ(cse(canonical), canonical);
    // Built in the input's storage, the result is the same.
    EXPECT_EQ(engine().canonicalize_in_place(input), canonical);
    for (const bool maximal : {false, true}) {
      const Reduced reduced = reduce_with_mode(nodes, outputs, engine(), maximal);
      expect_equivalent(nodes, outputs, reduced);
      EXPECT_EQ(reduced.counters.input_nodes, nodes.size());
      // The node-list reference: dead code dropped from the keys first.
      const Reduced reference = testing::reference_reduce(nodes, outputs, engine(), maximal);
      EXPECT_EQ(reduced.nodes, reference.nodes);
      EXPECT_EQ(reduced.outputs, reference.outputs);
      EXPECT_EQ(reduced.counters, reference.counters);

      // A store is reduced from an engine graph of all its nodes, built under
      // its lock, with dead code dropped afterwards: the result must be the
      // one the pipeline gives on the copied keys, unreachable keys and
      // colliding boundary tokens included.
      const ReductionResult direct = reduce_with_outputs(store, outputs, engine(), maximal).value();
      const ReductionResult copied = from_reduced(reduced);
      EXPECT_EQ(direct.store.snapshot().nodes, copied.store.snapshot().nodes);
      EXPECT_EQ(direct.store.outputs(), copied.store.outputs());
      EXPECT_EQ(direct.counters, copied.counters);
      const Snapshot marked = store.snapshot();
      const ReductionResult from_marks =
          from_reduced(reduce_with_mode(marked.nodes, marked.outputs, engine(), maximal));

      const ReductionResult once = reduce_with(store, engine(), maximal);
      EXPECT_EQ(once.store.snapshot().nodes, from_marks.store.snapshot().nodes);
      EXPECT_EQ(once.counters, from_marks.counters);
      const ReductionResult again = reduce_with(store, engine(), maximal);
      const Snapshot a = once.store.snapshot();
      EXPECT_EQ(a.nodes, again.store.snapshot().nodes);
      EXPECT_EQ(a.outputs, again.store.outputs());
      EXPECT_EQ(once.counters, again.counters);
      EXPECT_EQ(a.nodes.size(), once.counters.reduced_nodes);

      const ReductionResult twice = reduce_with(once.store, engine(), maximal);
      const Snapshot b = twice.store.snapshot();
      EXPECT_EQ(a.nodes, b.nodes);
      EXPECT_EQ(a.outputs, b.outputs);
      EXPECT_EQ(twice.counters.stages, 0u);
      EXPECT_EQ(twice.counters.boundary_nodes, a.nodes.size());
    }
  }
}

// Large enough that the e-graph loads, rebuilds and searches on two threads
// (the thread-sanitizer run of the test command runs this one too): the
// reduction stays equivalent and comes out the same every time.
TEST(RandomGraphs, LargeGraphOnTwoThreadsIsEquivalentAndRepeatable) {
  RandomGraph gen(77);
  const GraphStore store = gen.store(80000);
  ASSERT_GE(store.node_count(), eqsat::Tuning::kParallelDagNodes);
  const Snapshot snap = store.snapshot();
  const ReductionResult once = reduce_with(store, engine(), false);
  const ReductionResult again = reduce_with(store, engine(), false);
  EXPECT_EQ(once.store.snapshot().nodes, again.store.snapshot().nodes);
  EXPECT_EQ(once.counters, again.counters);
  expect_equivalent(snap.nodes,
                    std::vector<std::uint64_t>(snap.outputs.begin(), snap.outputs.end()),
                    reduce_with_mode(snap.nodes, snap.outputs, engine(), true));
}

TEST(RandomGraphs, IncrementalStepSizesDoNotChangeTheResult) {
  for (std::uint32_t seed = 1; seed <= 100; ++seed) {
    SCOPED_TRACE(seed);
    RandomGraph gen(seed + 1000);
    const GraphStore store = gen.store(5 + gen.pick(80));
    const std::vector<NodeKey> nodes = store.snapshot().nodes;
    const std::vector<std::uint64_t> outputs = gen.outputs(nodes.size());
    std::optional<Reduced> first;
    std::vector<std::uint64_t> first_remap;
    std::vector<NodeKey> first_nodes;
    for (int run = 0; run < 4; ++run) {
      IncrementalReducer reducer;
      // The last run steps straight from a store that grows between steps.
      GraphStore growing;
      std::uint64_t fed = 0;
      while (fed < nodes.size()) {
        // One step, then steps of 1 to 3 nodes, then of 1 to 20 nodes.
        const std::size_t size = run == 0 ? nodes.size() : 1 + gen.pick(run == 1 ? 3 : 20);
        const std::size_t end = std::min<std::size_t>(nodes.size(), fed + size);
        Result<std::uint64_t, BadNodeId> stepped = std::uint64_t{0};
        if (run == 3) {
          for (std::size_t i = fed; i < end; ++i) ASSERT_EQ(growing.intern(nodes[i]).value(), i);
          stepped = reducer.step(growing);
        } else {
          std::vector<NodeKey> delta = store.snapshot_from(reducer.watermark());
          delta.erase(delta.begin() + static_cast<std::ptrdiff_t>(end - fed), delta.end());
          stepped = reducer.step(delta);
        }
        ASSERT_TRUE(stepped.ok());
        EXPECT_EQ(stepped.value(), end - fed);
        fed = end;
      }
      EXPECT_EQ(reducer.total_work(), nodes.size());
      EXPECT_EQ(reducer.watermark(), nodes.size());
      auto result = reducer.finalize(outputs, engine(), run == 2);
      ASSERT_TRUE(result.ok());
      expect_equivalent(nodes, outputs, result.value());
      // Finalize builds its engine graph from what the steps recorded: the
      // result must be the one reducing the canonical keys themselves gives.
      std::vector<std::uint64_t> mapped;
      for (const std::uint64_t o : outputs) mapped.push_back(reducer.remap()[o]);
      const Reduced from_keys = reduce_with_mode(reducer.nodes(), mapped, engine(), run == 2);
      EXPECT_EQ(result.value().nodes, from_keys.nodes);
      EXPECT_EQ(result.value().outputs, from_keys.outputs);
      EXPECT_EQ(result.value().counters, from_keys.counters);
      // The one-pass form builds the store interning those keys would.
      auto stored = reducer.finalize_to_store(outputs, engine(), run == 2);
      ASSERT_TRUE(stored.ok());
      const ReductionResult interned = from_reduced(result.value());
      EXPECT_EQ(stored.value().store.snapshot().nodes, interned.store.snapshot().nodes);
      EXPECT_EQ(stored.value().store.outputs(), interned.store.outputs());
      EXPECT_EQ(stored.value().output_ids, interned.output_ids);
      EXPECT_EQ(stored.value().counters, interned.counters);
      if (run == 0) {
        first_remap = reducer.remap();
        first_nodes = reducer.nodes();
        first = std::move(result).value();
        continue;
      }
      EXPECT_EQ(reducer.remap(), first_remap);
      EXPECT_EQ(reducer.nodes(), first_nodes);
      auto same_mode = reducer.finalize(outputs, engine(), false);
      ASSERT_TRUE(same_mode.ok());
      EXPECT_EQ(same_mode.value().nodes, first->nodes);
      EXPECT_EQ(same_mode.value().outputs, first->outputs);
      EXPECT_EQ(same_mode.value().counters, first->counters);
    }
  }
}

}  // namespace
}  // namespace tessary
