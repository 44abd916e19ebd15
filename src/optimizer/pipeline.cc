#include "optimizer/pipeline.h"

#include <utility>

#include "base/fault.h"
#include "optimizer/cse.h"
#include "optimizer/dce.h"
#include "optimizer/fusion.h"

namespace tessary {

namespace {

// The passes before fusion: dead-code elimination, canonicalization and CSE.
// Sets the input, reachable and canonical counters.
EngineGraph canonical_graph(EngineGraph graph, std::uint64_t input_nodes,
                            const RewriteEngine& engine, ReductionCounters& counters,
                            Cancel& cancel) {
  // Keep only what the outputs reach, renumbered densely in order.
  cancel.check_now();
  EngineGraph live = dead_code_elimination(std::move(graph));
  counters.input_nodes = input_nodes;
  counters.reachable_nodes = live.nodes.size();
  // Merge the nodes the engine proves equal (commutativity, identities). The
  // live graph is not needed afterwards (its prototypes are).
  const std::size_t outputs = live.outputs.size();
  cancel.check_now();
  EngineGraph canonical = engine.canonicalize_in_place(std::move(live), cancel);
  if (canonical.outputs.size() != outputs) fault("rewrite engine changed the number of outputs");
#ifndef NDEBUG
  verify_engine_graph(canonical);
#endif
  // Fold nodes with equal symbol and operands, unless the engine's result
  // cannot hold any.
  EngineGraph folded;
  if (engine.returns_folded_graphs()) {
#ifndef NDEBUG
    if (cse(canonical) != canonical) fault("rewrite engine returned a graph that CSE folds");
#endif
    folded = std::move(canonical);
  } else {
    folded = cse(std::move(canonical));
  }
  counters.canonical_nodes = folded.nodes.size();
  cancel.check_now();
  return folded;
}

}  // namespace

ReductionResult reduce_engine_graph_to_store(EngineGraph graph, const PrototypeKeys& prototypes,
                                             std::uint64_t input_nodes, const RewriteEngine& engine,
                                             bool maximal_fusion, Cancel& cancel) {
  ReductionResult result;
  const EngineGraph folded =
      canonical_graph(std::move(graph), input_nodes, engine, result.counters, cancel);
  // Group ops into stages and rebuild boundary nodes from their prototypes,
  // straight into the new store.
  result.store.fill([&](GraphStore::Bulk& bulk) {
    result.output_ids =
        stage_fusion_into(folded, prototypes, maximal_fusion, bulk, result.counters, cancel);
    for (const NodeId id : result.output_ids) {
      if (!bulk.mark_output(id)) fault("reduced output is valid");
    }
  });
  cancel.check_now();
  return result;
}

Reduced reduce_engine_graph(EngineGraphBuild build, std::uint64_t input_nodes,
                            const RewriteEngine& engine, bool maximal_fusion, Cancel& cancel) {
  ReductionCounters counters;
  EngineGraph folded =
      canonical_graph(std::move(build.graph), input_nodes, engine, counters, cancel);
  // Group ops into stages and rebuild boundary nodes from their prototypes.
  Reduced reduced =
      stage_fusion(std::move(folded), std::move(build.prototypes).take_owned(), maximal_fusion);
  reduced.counters.input_nodes = counters.input_nodes;
  reduced.counters.reachable_nodes = counters.reachable_nodes;
  reduced.counters.canonical_nodes = counters.canonical_nodes;
  cancel.check_now();
  return reduced;
}

Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs,
                         const RewriteEngine& engine, bool maximal_fusion, Cancel& cancel) {
  // Keys become symbols with operand indices; boundary keys become prototypes.
  return reduce_engine_graph(to_engine_graph(nodes, outputs), nodes.size(), engine, maximal_fusion,
                             cancel);
}

NodeIds load_engine_graph(const GraphStore& store, EngineGraphBuilder& builder, Cancel& cancel) {
  builder.reserve(store.node_count());
  // The store's lock is held for the visit; a Cancelled from a poll here
  // leaves the store as it was (a read never poisons it).
  return store.visit_tokens(
      [&](NodeId, std::string_view token, std::span<const NodeId> inputs, std::uint64_t& memo) {
        cancel.check();
        builder.add_op(token, inputs, memo);
      },
      [&](NodeId, const KeyView& key) {
        cancel.check();
        // The view's texts are the store's pooled strings, which stay in
        // place while the store lives: longer than this reduction.
        builder.add_first(key);
      },
      [&](NodeId, NodeKey&& key) {
        cancel.check();
        builder.add(std::move(key));
      },
      [&](NodeId, NodeId earlier, std::span<const NodeId> inputs) {
        cancel.check();
        builder.add_repeat(earlier, inputs);
      });
}

ReductionResult reduce_with(const GraphStore& store, const RewriteEngine& engine,
                            bool maximal_fusion, Cancel& cancel) {
  EngineGraphBuilder builder;
  const NodeIds marks = load_engine_graph(store, builder, cancel);
  const std::uint64_t count = builder.size();
  EngineGraphBuild build = std::move(builder).finish(marks);
  return reduce_engine_graph_to_store(std::move(build.graph), build.prototypes, count, engine,
                                      maximal_fusion, cancel);
}

Result<ReductionResult, BadNodeId> reduce_with_outputs(const GraphStore& store,
                                                       std::span<const std::uint64_t> outputs,
                                                       const RewriteEngine& engine,
                                                       bool maximal_fusion, Cancel& cancel) {
  EngineGraphBuilder builder;
  (void)load_engine_graph(store, builder, cancel);
  const std::uint64_t count = builder.size();
  for (const std::uint64_t o : outputs) {
    if (o >= count) return Err(BadNodeId{o});
  }
  EngineGraphBuild build = std::move(builder).finish(outputs);
  return reduce_engine_graph_to_store(std::move(build.graph), build.prototypes, count, engine,
                                      maximal_fusion, cancel);
}

ReductionResult from_reduced(Reduced reduced, Cancel& cancel) {
  ReductionResult result{GraphStore(), reduced.counters, {}};
  // ids[p]: the id the new store gave the node at position p.
  auto ids = result.store.intern_sequence(reduced.nodes, cancel);
  if (!ids) fault("reduced graph references only earlier nodes");
  for (const std::uint64_t o : reduced.outputs) {
    if (o >= ids.value().size() || !result.store.mark_output(ids.value()[o])) {
      fault("reduced output is valid");
    }
    result.output_ids.push_back(ids.value()[o]);
  }
  return result;
}

}  // namespace tessary
