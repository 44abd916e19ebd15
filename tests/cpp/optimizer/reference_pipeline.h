// The reduction pipeline as a node-list reference for randomized tests:
// dead-code elimination on the keys with a work stack, the kept keys
// renumbered and only then turned into an engine graph, a copying
// canonicalization, CSE whatever the engine, and fusion. The real pipeline
// builds the engine graph of every key first and drops dead nodes from it,
// skips CSE after an engine that folds, and canonicalizes in place; the
// reduced node lists, outputs and counters must come out the same.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "optimizer/cse.h"
#include "optimizer/engine.h"
#include "optimizer/engine_graph.h"
#include "optimizer/fusion.h"

namespace tessary::testing {

inline Reduced reference_reduce(std::span<const NodeKey> nodes,
                                std::span<const std::uint64_t> outputs, const RewriteEngine& engine,
                                bool maximal_fusion) {
  std::vector<bool> reached(nodes.size(), false);
  std::vector<std::uint64_t> stack(outputs.begin(), outputs.end());
  while (!stack.empty()) {
    const std::uint64_t id = stack.back();
    stack.pop_back();
    if (reached[id]) continue;
    reached[id] = true;
    for (const NodeId input : nodes[id].inputs()) stack.push_back(input);
  }
  std::vector<std::uint64_t> renumber(nodes.size(), 0);
  std::vector<NodeKey> kept;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!reached[i]) continue;
    renumber[i] = kept.size();
    NodeIds inputs;
    for (const NodeId input : nodes[i].inputs()) inputs.push_back(renumber[input]);
    kept.push_back(nodes[i].with_inputs(std::move(inputs)));
  }
  std::vector<std::uint64_t> kept_outputs;
  for (const std::uint64_t o : outputs) kept_outputs.push_back(renumber[o]);

  EngineGraphBuild build = to_engine_graph(kept, kept_outputs);
  const EngineGraph folded = cse(engine.canonicalize(build.graph));
  Reduced reduced = stage_fusion(folded, std::move(build.prototypes).take_owned(), maximal_fusion);
  reduced.counters.input_nodes = nodes.size();
  reduced.counters.reachable_nodes = kept.size();
  reduced.counters.canonical_nodes = folded.nodes.size();
  return reduced;
}

}  // namespace tessary::testing
