// Reducing a graph store: turn its nodes into an engine graph under its lock,
// run the rest of the reduction pipeline without the lock, and build a
// brand-new store from the result.
// Also turns the six counters into the report map handed to Python.
#pragma once

#include <array>
#include <cstddef>
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

// The six counter names in table order.
inline constexpr std::array<const char*, 6> kReportKeys = {"input_nodes",     "reachable_nodes",
                                                           "canonical_nodes", "stages",
                                                           "reduced_nodes",   "boundary_nodes"};

// The six counters keyed by their names ("input_nodes" ... "boundary_nodes").
ReportMap report_to_map(const ReductionCounters& counters);

// The counter at `position` of the table order (0 "input_nodes" ... 5
// "boundary_nodes").
std::uint64_t report_counter(const ReductionCounters& counters, std::size_t position);

// The table positions of the six names in the iteration order of every map
// report_to_map returns. Each map inserts the same names in the same order
// and hashes them with the one process key, so they all iterate alike: a
// caller that walks this order builds what walking a fresh map builds,
// without making one.
const std::array<std::size_t, 6>& report_key_order();

}  // namespace tessary
