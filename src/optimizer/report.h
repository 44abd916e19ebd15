// Reducing a graph store: turn its nodes into an engine graph under its lock,
// run the rest of the reduction pipeline without the lock, and build a
// brand-new store from the result.
// Also turns the six counters into the report map handed to Python.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>

#include "base/result.h"
#include "ir/store.h"
#include "optimizer/engine.h"
#include "optimizer/engine_graph.h"

namespace tessary {

struct ReductionResult {
  GraphStore store;
  ReductionCounters counters;
};

// Hashes report keys with a key drawn once per process, so the map's
// iteration order is not fixed; readers look entries up by name.
struct ReportKeyHash {
  std::size_t operator()(const std::string& key) const;
};

using ReportMap = std::unordered_map<std::string, std::uint64_t, ReportKeyHash>;

// Adds every node of `store`, in id order, to `builder`, while visiting them
// under the store's lock; returns the store's marks. The first step of the
// two reductions below.
NodeIds load_engine_graph(const GraphStore& store, EngineGraphBuilder& builder);

// Reduces `store` against its own output marks. Never fails on ids.
ReductionResult reduce_with(const GraphStore& store, const RewriteEngine& engine,
                            bool maximal_fusion);

// Reduces `store` against exactly `outputs` (its marks are not read). Fails
// with the first id, in the given order, that names no node of the copy.
Result<ReductionResult, BadNodeId> reduce_with_outputs(const GraphStore& store,
                                                       std::span<const std::uint64_t> outputs,
                                                       const RewriteEngine& engine,
                                                       bool maximal_fusion);

// Builds a new store from a reduced graph through the store's own interning
// (one sequence of keys) and mark_output only; a repeated output is marked
// once, at its first position.
ReductionResult from_reduced(Reduced reduced);

// The six counters keyed by their names ("input_nodes" ... "boundary_nodes").
ReportMap report_to_map(const ReductionCounters& counters);

}  // namespace tessary
