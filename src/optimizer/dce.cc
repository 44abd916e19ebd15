#include "optimizer/dce.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "base/fault.h"
#include "optimizer/engine_graph.h"

namespace tessary {
namespace {

// One flag per node (a byte, cheaper to test and set than a bit), set for
// every node the outputs reach; returns how many are set. Children precede
// their users, so one sweep from the last node down marks every child of a
// marked node before that child is visited; no stack or recursion.
std::size_t mark_reachable(const EngineGraph& graph, std::vector<std::uint8_t>& reached) {
  const std::size_t count = graph.nodes.size();
  reached.assign(count, 0);
  for (const EngineIndex o : graph.outputs) {
    if (o >= count) fault("reduction output names no node");
    reached[o] = 1;
  }
  std::size_t marked = 0;
  for (std::size_t id = count; id-- > 0;) {
    if (reached[id] == 0) continue;
    ++marked;
    for (const EngineIndex child : graph.nodes[id].children) {
      if (child >= id) fault("node input does not precede its user");
      reached[child] = 1;
    }
  }
  return marked;
}

}  // namespace

EngineGraph dead_code_elimination(EngineGraph graph) {
  std::vector<EngineNode>& nodes = graph.nodes;
  std::vector<std::uint8_t> reached;
  if (mark_reachable(graph, reached) == nodes.size()) return graph;

  // Kept nodes only move down, and a child is renumbered before its users.
  std::vector<EngineIndex> renumber(nodes.size(), std::numeric_limits<EngineIndex>::max());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (reached[i] == 0) continue;
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
