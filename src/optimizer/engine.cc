#include "optimizer/engine.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>

#include "base/fault.h"
#include "base/hash.h"
#include "eqsat/egraph.h"
#include "eqsat/enode.h"
#include "eqsat/pattern.h"
#include "eqsat/runner.h"
#include "eqsat/symbol.h"
#include "optimizer/rules.h"

namespace tessary {
namespace {

constexpr EngineIndex kNone = std::numeric_limits<EngineIndex>::max();

eqsat::Pattern parse_rule_pattern(const std::string& text) {
  auto parsed = eqsat::Pattern::parse(text);
  if (!parsed) fault("rule pattern does not parse: " + text);
  return std::move(parsed).value();
}

// Engine symbols of the nodes' ops. Graphs repeat a few op strings on most
// nodes, so a small direct-mapped cache of recent strings (checked by
// comparing the text) saves most lookups in the shared symbol table.
class SymbolCache {
 public:
  eqsat::GlobalSymbol operator()(const std::string& op) {
    eqsat::GlobalSymbol& slot = slots_[static_cast<std::size_t>(edge_hash(op) >> 56) % kSlots];
    if (slot.is_null() || slot.as_str() != op) slot = eqsat::GlobalSymbol(op);
    return slot;
  }

 private:
  static constexpr std::size_t kSlots = 256;
  std::array<eqsat::GlobalSymbol, kSlots> slots_{};
};

// Adds every node to a fresh e-graph, children first; returns the class id
// recorded for each node. Equal ops over equal classes share a class already.
std::vector<eqsat::Id> load(const EngineGraph& graph, eqsat::EGraph& egraph) {
  SymbolCache symbol_of;
  std::vector<eqsat::GlobalSymbol> ops;
  ops.reserve(graph.nodes.size());
  for (const EngineNode& node : graph.nodes) ops.push_back(symbol_of(node.op));
  return egraph.add_dag(ops, [&](std::size_t i) -> std::span<const std::uint32_t> {
    return graph.nodes[i].children.span();
  });
}

}  // namespace

SaturationEngine::SaturationEngine(std::vector<eqsat::Rewrite> rules, std::size_t iter_limit)
    : rules_(std::move(rules)), iter_limit_(iter_limit) {}

SaturationEngine SaturationEngine::default_engine() {
  std::vector<eqsat::Rewrite> rules;
  for (const RuleText& rule : rule_texts()) {
    auto rewrite = eqsat::Rewrite::create(rule.name, parse_rule_pattern(rule.searcher),
                                          parse_rule_pattern(rule.applier));
    if (!rewrite) fault(rewrite.error());
    rules.push_back(std::move(rewrite).value());
  }
  return SaturationEngine(std::move(rules), kDefaultIterLimit);
}

EngineGraph SaturationEngine::canonicalize(const EngineGraph& graph) const {
  const std::size_t n = graph.nodes.size();
  eqsat::EGraph egraph;
  const std::vector<eqsat::Id> ids = load(graph, egraph);

  eqsat::Runner runner;
  runner.set_egraph(std::move(egraph)).set_iter_limit(iter_limit_).set_node_limit(4 * n + 1024);
  // Whatever is merged when the run stops, saturated or at a limit, is used.
  runner.run(rules_);
  const eqsat::EGraph& result_graph = runner.egraph();

  // The first node seen in a class represents it; an operand precedes its
  // user, so an identity op merged with its operand is represented by that
  // operand (or earlier). rep[i] is the result index standing for node i; a
  // child reads its operand's entry directly rather than through its class.
  std::vector<EngineIndex> class_rep(result_graph.id_count(), kNone);
  std::vector<EngineIndex> rep(n, kNone);
  EngineGraph out;
  out.nodes.reserve(std::min(n, result_graph.number_of_classes()));
  for (std::size_t i = 0; i < n; ++i) {
    EngineIndex& slot = class_rep[result_graph.find(ids[i]).index()];
    if (slot == kNone) {
      const EngineNode& node = graph.nodes[i];
      EngineNode kept{node.op, {}, !is_op_symbol(node.op)};
      kept.children.reserve(node.children.size());
      for (const EngineIndex c : node.children) {
        if (c >= i || rep[c] == kNone) fault("canonical operand has no representative");
        kept.children.push_back(rep[c]);
      }
      slot = static_cast<EngineIndex>(out.nodes.size());
      out.nodes.push_back(std::move(kept));
    }
    rep[i] = slot;
  }
  out.outputs.reserve(graph.outputs.size());
  for (const EngineIndex o : graph.outputs) {
    if (o >= n) fault("engine graph output names no node");
    out.outputs.push_back(rep[o]);
  }
  return out;
}

}  // namespace tessary
