#include "optimizer/dce.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

#include "base/fault.h"
#include "optimizer/engine_graph.h"

namespace tessary {
namespace {

// One flag per node, set for every node the outputs reach. Children precede
// their users, so one sweep from the last node down marks every child of a
// marked node before that child is visited; no stack or recursion.
std::vector<bool> mark_reachable(const EngineGraph& graph) {
  const std::size_t count = graph.nodes.size();
  std::vector<bool> reached(count, false);
  for (const EngineIndex o : graph.outputs) {
    if (o >= count) fault("reduction output names no node");
    reached[o] = true;
  }
  for (std::size_t id = count; id-- > 0;) {
    if (!reached[id]) continue;
    for (const EngineIndex child : graph.nodes[id].children) {
      if (child >= id) fault("node input does not precede its user");
      reached[child] = true;
    }
  }
  return reached;
}

}  // namespace

EngineGraph dead_code_elimination(EngineGraph graph) {
  std::vector<EngineNode>& nodes = graph.nodes;
  const std::vector<bool> reached = mark_reachable(graph);
  if (std::find(reached.begin(), reached.end(), false) == reached.end()) return graph;

  // Kept nodes only move down, and a child is renumbered before its users.
  std::vector<EngineIndex> renumber(nodes.size(), std::numeric_limits<EngineIndex>::max());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!reached[i]) continue;
    renumber[i] = static_cast<EngineIndex>(kept);
    if (kept != i) nodes[kept] = std::move(nodes[i]);
    for (EngineIndex& child : nodes[kept].children) child = renumber[child];
    ++kept;
  }
  nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(kept), nodes.end());
  for (EngineIndex& o : graph.outputs) o = renumber[o];
  return graph;
}

}  // namespace tessary
