#include "optimizer/dce.h"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "base/fault.h"
#include "optimizer/engine_graph.h"

namespace tessary {
namespace {

constexpr std::uint64_t kDropped = UINT64_MAX;

// One flag per node of `count`, set for every node reachable from `outputs`;
// `inputs_of(id)` lists a node's inputs. Inputs precede their users, so one
// sweep from the last node down marks every input of a marked node before
// that input is visited; no stack or recursion.
template <typename Index, typename InputsOf>
std::vector<bool> mark_reachable(std::size_t count, std::span<const Index> outputs,
                                 InputsOf inputs_of) {
  std::vector<bool> reached(count, false);
  for (const Index o : outputs) {
    if (o >= count) fault("reduction output names no node");
    reached[o] = true;
  }
  for (std::size_t id = count; id-- > 0;) {
    if (!reached[id]) continue;
    for (const auto input : inputs_of(id)) {
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
  const std::vector<bool> reached =
      mark_reachable(nodes.size(), outputs, [&](std::size_t id) { return nodes[id].inputs(); });
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
  const std::vector<bool> reached =
      mark_reachable(nodes.size(), std::span<const EngineIndex>(graph.outputs),
                     [&](std::size_t id) { return nodes[id].children.span(); });
  if (std::find(reached.begin(), reached.end(), false) == reached.end()) return;

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
