#include "optimizer/pipeline.h"

#include "base/fault.h"
#include "optimizer/cse.h"
#include "optimizer/dce.h"
#include "optimizer/fusion.h"

namespace tessary {

namespace {

// The passes after dead-code elimination, on the live engine graph; fills
// every counter but the first two.
Reduced reduce_live(EngineGraphBuild build, const RewriteEngine& engine, bool maximal_fusion) {
  // Merge the nodes the engine proves equal (commutativity, identities). The
  // input graph is not needed afterwards (its prototypes are).
  const std::size_t outputs = build.graph.outputs.size();
  EngineGraph canonical = engine.canonicalize_in_place(std::move(build.graph));
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
  const std::size_t canonical_nodes = folded.nodes.size();
  // Group ops into stages and rebuild boundary nodes from their prototypes.
  Reduced reduced = stage_fusion(std::move(folded), build.symbols, maximal_fusion);
  reduced.counters.canonical_nodes = canonical_nodes;
  return reduced;
}

}  // namespace

Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
  // Keep only what the outputs reach, renumbered densely.
  const LiveGraph live = dead_code_elimination(nodes, outputs);
  // Keys become symbols with operand indices; boundary keys become prototypes.
  Reduced reduced = reduce_live(to_engine_graph(nodes, live), engine, maximal_fusion);
  reduced.counters.input_nodes = nodes.size();
  reduced.counters.reachable_nodes = live.kept.size();
  return reduced;
}

Reduced reduce_engine_graph(EngineGraphBuild build, std::uint64_t input_nodes,
                            const RewriteEngine& engine, bool maximal_fusion) {
  drop_unreachable(build.graph);
  const std::uint64_t reachable_nodes = build.graph.nodes.size();
  Reduced reduced = reduce_live(std::move(build), engine, maximal_fusion);
  reduced.counters.input_nodes = input_nodes;
  reduced.counters.reachable_nodes = reachable_nodes;
  return reduced;
}

}  // namespace tessary
