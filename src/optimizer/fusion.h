// Stage fusion, the last pass of the reduction pipeline: partitions the ops of
// an engine graph into groups, emits each group as one Stage node and rebuilds
// every boundary node from its prototype key.
#pragma once

#include "base/cancel.h"
#include "ir/node.h"
#include "ir/store.h"
#include "optimizer/engine_graph.h"

namespace tessary {

// Groups ops under the single-use rule (`maximal_fusion` false: an op joins
// its consumer when that is its only use) or the fan-out rule (true: an op
// joins when all its consumers are in one group). Fills `nodes`, `outputs`
// and the counters `stages`, `reduced_nodes` and `boundary_nodes`. A boundary
// node whose prototype number `symbols` lacks is a broken precondition and
// faults.
Reduced stage_fusion(const EngineGraph& graph, const PrototypeTable& symbols, bool maximal_fusion);
// The same, moving the prototypes it consumes into the boundary nodes.
Reduced stage_fusion(EngineGraph&& graph, PrototypeTable&& symbols, bool maximal_fusion);
// The same, interning each node into `bulk` as it is emitted instead of
// building its key, so that an empty store ends up as interning the keys of
// the Reduced in order would leave it. Adds to the same three `counters` and
// returns the store id of each graph output, in order. Polls `cancel` once
// per node.
NodeIds stage_fusion_into(const EngineGraph& graph, const PrototypeKeys& symbols,
                          bool maximal_fusion, GraphStore::Bulk& bulk, ReductionCounters& counters,
                          Cancel& cancel);

}  // namespace tessary
