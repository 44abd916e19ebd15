// Dead-code elimination: the first pass of the reduction pipeline. Keeps the
// nodes of an engine graph that its outputs reach and numbers them densely,
// in order.
#pragma once

namespace tessary {

struct EngineGraph;

// Drops the nodes the outputs do not reach and renumbers the rest, children
// and outputs included; works in the graph's own storage. An output or child
// that does not name an earlier node is a broken precondition and faults.
EngineGraph dead_code_elimination(EngineGraph graph);

}  // namespace tessary
