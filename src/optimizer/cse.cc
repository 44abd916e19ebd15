#include "optimizer/cse.h"

#include <span>
#include <utility>

#include "base/fault.h"
#include "base/hash.h"
#include "base/id_table.h"

namespace tessary {
namespace {

// Multiply-rotate hash of a node's symbol and renumbered operands, as the
// e-graph hashes its e-nodes, started from the per-process secret.
std::uint64_t node_hash(std::uint64_t seed, eqsat::GlobalSymbol op,
                        std::span<const EngineIndex> children) {
  std::uint64_t h = fx_mix(seed, op.value());
  h = fx_mix(h, children.size());
  for (const EngineIndex c : children) h = fx_mix(h, c);
  return fx_finish(h);
}

EngineGraph fold(const EngineGraph& graph) {
  const std::uint64_t seed = fx_process_seed();
  EngineGraph out;
  out.nodes.reserve(graph.nodes.size());
  IdTable index;
  // renumber[i]: the surviving node that input node i became.
  std::vector<EngineIndex> renumber;
  renumber.reserve(graph.nodes.size());
  EngineOperands children;
  for (const EngineNode& node : graph.nodes) {
    children.clear();
    // A child always precedes its user, so its entry is already set.
    for (const EngineIndex c : node.children) {
      if (c >= renumber.size()) fault("engine node child does not precede its user");
      children.push_back(renumber[c]);
    }
    const std::uint64_t h = node_hash(seed, node.op, children.span());
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
    out.nodes.push_back(EngineNode{node.op, node.prototype, children, node.boundary});
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
