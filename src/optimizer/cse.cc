#include "optimizer/cse.h"

#include <span>
#include <type_traits>
#include <utility>

#include "base/fault.h"
#include "base/hash.h"
#include "base/id_table.h"

namespace tessary {
namespace {

// Keyed hash of a node's symbol and renumbered operands. The key is drawn per
// call, so colliding graphs cannot be prepared in advance.
std::uint64_t node_hash(const SipKey& key, const std::string& op,
                        std::span<const EngineIndex> children) {
  std::uint64_t h = siphash13(key, op);
  h = fx_mix(h, children.size());
  for (const EngineIndex c : children) h = fx_mix(h, c);
  return h;
}

// Both overloads share this loop; `Graph` is const when the input is only
// read. A surviving node of a graph given by value moves its symbol instead
// of copying it.
template <typename Graph>
EngineGraph fold(Graph& graph) {
  const SipKey& key = SipKey::call_tables_key();
  EngineGraph out;
  out.nodes.reserve(graph.nodes.size());
  IdTable index;
  // renumber[i]: the surviving node that input node i became.
  std::vector<EngineIndex> renumber;
  renumber.reserve(graph.nodes.size());
  EngineOperands children;
  for (auto& node : graph.nodes) {
    children.clear();
    // A child always precedes its user, so its entry is already set.
    for (const EngineIndex c : node.children) {
      if (c >= renumber.size()) fault("engine node child does not precede its user");
      children.push_back(renumber[c]);
    }
    const std::uint64_t h = node_hash(key, node.op, children.span());
    const auto found = index.find(h, [&](std::uint32_t id) {
      const EngineNode& seen = out.nodes[id];
      return seen.op == node.op && seen.children == children;
    });
    if (found) {
      renumber.push_back(*found);
      continue;
    }
    const auto id = static_cast<EngineIndex>(out.nodes.size());
    index.insert(h, id);
    if constexpr (std::is_const_v<Graph>) {
      out.nodes.push_back(EngineNode{node.op, children, node.boundary});
    } else {
      out.nodes.push_back(EngineNode{std::move(node.op), children, node.boundary});
    }
    renumber.push_back(id);
  }
  out.outputs.reserve(graph.outputs.size());
  for (const EngineIndex o : graph.outputs) {
    if (o >= renumber.size()) fault("engine graph output names no node");
    out.outputs.push_back(renumber[o]);
  }
  return out;
}

}  // namespace

EngineGraph cse(const EngineGraph& graph) { return fold(graph); }

EngineGraph cse(EngineGraph&& graph) {
  EngineGraph consumed = std::move(graph);
  return fold(consumed);
}

}  // namespace tessary
