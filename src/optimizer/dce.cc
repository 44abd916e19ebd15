#include "optimizer/dce.h"

#include <cstddef>
#include <limits>

#include "base/fault.h"
#include "optimizer/engine_graph.h"

namespace tessary {
namespace {

constexpr std::uint64_t kDropped = UINT64_MAX;

// One flag per node, set for every node reachable from `outputs`. Inputs
// precede their users, so one sweep from the last node down marks every input
// of a marked node before that input is visited; no stack or recursion.
std::vector<bool> mark_reachable(std::span<const NodeKey> nodes,
                                 std::span<const std::uint64_t> outputs) {
  std::vector<bool> reached(nodes.size(), false);
  for (const std::uint64_t o : outputs) {
    if (o >= nodes.size()) fault("reduction output names no node");
    reached[o] = true;
  }
  for (std::size_t id = nodes.size(); id-- > 0;) {
    if (!reached[id]) continue;
    for (const NodeId input : nodes[id].inputs()) {
      if (input >= id) fault("node input does not precede its user");
      reached[input] = true;
    }
  }
  return reached;
}

}  // namespace

NodeKey LiveGraph::key(std::span<const NodeKey> nodes, std::size_t k) const {
  const NodeKey& key = nodes[kept[k]];
  NodeIds inputs;
  inputs.reserve(key.inputs().size());
  for (const NodeId input : key.inputs()) inputs.push_back(renumber[input]);
  return key.with_inputs(std::move(inputs));
}

LiveGraph dead_code_elimination(std::span<const NodeKey> nodes,
                                std::span<const std::uint64_t> outputs) {
  const std::vector<bool> reached = mark_reachable(nodes, outputs);
  LiveGraph live;
  live.renumber.assign(nodes.size(), kDropped);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!reached[i]) continue;
    live.renumber[i] = live.kept.size();
    live.kept.push_back(i);
  }
  // Every input of a reachable node is reachable, so every kept key's inputs
  // have new indices.
  live.outputs.reserve(outputs.size());
  for (const std::uint64_t o : outputs) live.outputs.push_back(live.renumber[o]);
  return live;
}

void drop_unreachable(EngineGraph& graph) {
  std::vector<EngineNode>& nodes = graph.nodes;
  std::vector<bool> reached(nodes.size(), false);
  for (const EngineIndex o : graph.outputs) {
    if (o >= nodes.size()) fault("reduction output names no node");
    reached[o] = true;
  }
  std::size_t reached_count = 0;
  for (std::size_t id = nodes.size(); id-- > 0;) {
    if (!reached[id]) continue;
    ++reached_count;
    for (const EngineIndex child : nodes[id].children) {
      if (child >= id) fault("node input does not precede its user");
      reached[child] = true;
    }
  }
  if (reached_count == nodes.size()) return;

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
}

}  // namespace tessary
