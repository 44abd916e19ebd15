// Common-subexpression elimination over an engine graph: nodes with equal
// symbol and equal (renumbered) operands are folded into the first of them.
#pragma once

#include "optimizer/engine_graph.h"

namespace tessary {

// Returns a new graph in which no two nodes have equal `op` and children;
// users and outputs of a folded node point to the node that survived.
EngineGraph cse(const EngineGraph& graph);
// The same, reusing the op strings of the graph it consumes.
EngineGraph cse(EngineGraph&& graph);

}  // namespace tessary
