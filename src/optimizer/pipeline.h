// The reduction pipeline and its store-level entry points. The passes run in
// one fixed order on an engine graph of a whole node list: dead-code
// elimination, canonicalization by a rewrite engine, CSE and stage fusion.
// The graph comes from a store visit (reduce_with, reduce_with_outputs) or
// from a copied node list (reduce_with_mode, for the incremental reducer),
// through the one engine-graph builder; the result becomes a new store.
#pragma once

#include <cstdint>
#include <span>

#include "base/cancel.h"
#include "base/result.h"
#include "ir/node.h"
#include "ir/store.h"
#include "optimizer/engine.h"
#include "optimizer/engine_graph.h"

namespace tessary {

// The passes after the engine graph is built: dead-code elimination from its
// outputs, then canonicalization, CSE and fusion. `input_nodes` is the length
// of the node list the graph was built from (every key added in id order).
//
// Every entry point here polls `cancel` between passes and inside the long
// ones, and stops by its Cancelled; the store read is left as it was, and
// nothing of the reduction is kept.
Reduced reduce_engine_graph(EngineGraphBuild build, std::uint64_t input_nodes,
                            const RewriteEngine& engine, bool maximal_fusion,
                            Cancel& cancel = Cancel::never());

struct ReductionResult {
  GraphStore store;
  ReductionCounters counters;
  // output_ids[k]: the id in `store` of the k-th output the reduction was
  // asked for (repeats kept), so a caller can tell which node answers which.
  NodeIds output_ids;
};

// reduce_engine_graph then from_reduced, in one pass: fusion interns each
// node into the new store as it emits it, so no keys are built in between.
// Boundary nodes are rebuilt from `prototypes` (graph.nodes[i].prototype
// numbers them), which are only read.
ReductionResult reduce_engine_graph_to_store(EngineGraph graph, const PrototypeKeys& prototypes,
                                             std::uint64_t input_nodes, const RewriteEngine& engine,
                                             bool maximal_fusion, Cancel& cancel = Cancel::never());

// Reduces `nodes` (every input of node i is smaller than i) against `outputs`
// (each smaller than the node count; callers check them first). `maximal_fusion`
// selects the fan-out fusion rule instead of the single-use rule. Boundary
// symbols are numbered over all the keys, reachable or not, exactly as for a
// store holding them.
Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const std::uint64_t> outputs,
                         const RewriteEngine& engine, bool maximal_fusion,
                         Cancel& cancel = Cancel::never());

// Adds every node of `store`, in id order, to `builder`, while visiting them
// under the store's lock; returns the store's marks. No copy of the keys is
// made: ops come as their tokens, and a boundary key that repeats an earlier
// one but for its inputs comes as that repeat.
NodeIds load_engine_graph(const GraphStore& store, EngineGraphBuilder& builder,
                          Cancel& cancel = Cancel::never());

// Reduces `store` against its own output marks. Never fails on ids.
ReductionResult reduce_with(const GraphStore& store, const RewriteEngine& engine,
                            bool maximal_fusion, Cancel& cancel = Cancel::never());

// Reduces `store` against exactly `outputs` (its marks are not read). Fails
// with the first id, in the given order, that names no node of the visit.
Result<ReductionResult, BadNodeId> reduce_with_outputs(const GraphStore& store,
                                                       std::span<const std::uint64_t> outputs,
                                                       const RewriteEngine& engine,
                                                       bool maximal_fusion,
                                                       Cancel& cancel = Cancel::never());

// Builds a new store from a reduced graph through the store's own interning
// (one sequence of keys) and mark_output only; a repeated output is marked
// once, at its first position, and appears once per request in output_ids.
ReductionResult from_reduced(Reduced reduced, Cancel& cancel = Cancel::never());

}  // namespace tessary
