#include "optimizer/pipeline.h"

#include "base/fault.h"
#include "optimizer/cse.h"
#include "optimizer/dce.h"
#include "optimizer/fusion.h"

namespace tessary {

Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
  // Keep only what the outputs reach, renumbered densely.
  const LiveGraph live = dead_code_elimination(nodes, outputs);
  // Keys become symbols with operand indices; boundary keys become prototypes.
  const EngineGraphBuild build = to_engine_graph(nodes, live);
  // Merge the nodes the engine proves equal (commutativity, identities).
  EngineGraph canonical = engine.canonicalize(build.graph);
  if (canonical.outputs.size() != build.graph.outputs.size()) {
    fault("rewrite engine changed the number of outputs");
  }
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

  reduced.counters.input_nodes = nodes.size();
  reduced.counters.reachable_nodes = live.kept.size();
  reduced.counters.canonical_nodes = canonical_nodes;
  return reduced;
}

}  // namespace tessary
