// The reduction pipeline: dead-code elimination, engine graph, canonicalization
// by a rewrite engine, CSE and stage fusion, run on a copied node list. It
// never touches a store; callers copy nodes out and build a store from the result.
#pragma once

#include <cstdint>
#include <span>

#include "ir/node.h"
#include "optimizer/engine.h"
#include "optimizer/engine_graph.h"

namespace tessary {

// Reduces `nodes` (every input of node i is smaller than i) against `outputs`
// (each smaller than the node count; callers check them first). `maximal_fusion`
// selects the fan-out fusion rule instead of the single-use rule.
Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs,
                         const RewriteEngine& engine, bool maximal_fusion);

// The same reduction for a node list of `input_nodes` keys that was turned into
// an engine graph as a whole (EngineGraphBuilder, every key added in id order,
// outputs set): dead-code elimination runs on the engine graph instead. Nodes
// and counters are those of reduce_with_mode on the same keys; only boundary
// symbols may be named differently, as the unreachable keys took part.
Reduced reduce_engine_graph(EngineGraphBuild build, std::uint64_t input_nodes,
                            const RewriteEngine& engine, bool maximal_fusion);

}  // namespace tessary
