#include "optimizer/engine.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#include "base/fault.h"
#include "base/hash.h"
#include "base/recent_cache.h"
#include "eqsat/egraph.h"
#include "eqsat/enode.h"
#include "eqsat/pattern.h"
#include "eqsat/runner.h"
#include "eqsat/symbol.h"
#include "optimizer/rules.h"
#include "optimizer/tuning.h"

namespace tessary {
namespace {

constexpr EngineIndex kNone = std::numeric_limits<EngineIndex>::max();

eqsat::Pattern parse_rule_pattern(std::string_view text) {
  auto parsed = eqsat::Pattern::parse(text);
  if (!parsed) fault("rule pattern does not parse: " + std::string(text));
  return std::move(parsed).value();
}

// Engine symbols of the nodes' ops. Graphs repeat a few op strings on most
// nodes, and a front end reduces graphs over the same ops again and again,
// so each thread keeps a small direct-mapped cache of recent strings with
// their symbols, checked by comparing the text, which spares most lookups in
// the shared (locked) symbol table. Symbols and their texts live as long as
// the process, so an entry never goes stale.
class SymbolCache {
 public:
  eqsat::GlobalSymbol operator()(std::string_view op) {
    const std::size_t slot = recent_.slot_of(op);
    if (const eqsat::GlobalSymbol* cached = recent_.find(op, slot)) return *cached;
    const eqsat::GlobalSymbol symbol(op);
    return recent_.put(symbol.as_str(), slot, symbol);
  }

  static SymbolCache& for_this_thread() {
    thread_local SymbolCache cache;
    return cache;
  }

 private:
  // Keyed by the symbol's own text, which lives as long as the process.
  RecentCache<eqsat::GlobalSymbol, std::string_view> recent_{OptimizerTuning::kSymbolCacheSlots,
                                                             OptimizerTuning::kSymbolCacheSlots};
};

// Adds every node to a fresh e-graph, children first; returns the class id
// recorded for each node. Equal ops over equal classes share a class already.
std::vector<eqsat::Id> load(const EngineGraph& graph, eqsat::EGraph& egraph) {
  SymbolCache& symbol_of = SymbolCache::for_this_thread();
  std::vector<eqsat::GlobalSymbol> ops;
  ops.reserve(graph.nodes.size());
  for (const EngineNode& node : graph.nodes) ops.push_back(symbol_of(node.op));
  return egraph.add_dag(ops, [&](std::size_t i) -> std::span<const std::uint32_t> {
    return graph.nodes[i].children.span();
  });
}

std::vector<eqsat::Rewrite> compile_default_rules() {
  std::vector<eqsat::Rewrite> rules;
  for (const RuleText& rule : kRules) {
    auto rewrite = eqsat::Rewrite::create(rule.name, parse_rule_pattern(rule.searcher),
                                          parse_rule_pattern(rule.applier));
    if (!rewrite) fault(rewrite.error());
    rules.push_back(std::move(rewrite).value());
  }
  return rules;
}

}  // namespace

SaturationEngine::SaturationEngine(std::vector<eqsat::Rewrite> rules, std::size_t iter_limit)
    : SaturationEngine(std::make_shared<const std::vector<eqsat::Rewrite>>(std::move(rules)),
                       iter_limit) {}

SaturationEngine::SaturationEngine(std::shared_ptr<const std::vector<eqsat::Rewrite>> rules,
                                   std::size_t iter_limit)
    : rules_(std::move(rules)), iter_limit_(iter_limit) {}

SaturationEngine SaturationEngine::default_engine() {
  // A fault while compiling leaves the static uninitialized, so the next
  // call tries again.
  static const std::shared_ptr<const std::vector<eqsat::Rewrite>> kRules =
      std::make_shared<const std::vector<eqsat::Rewrite>>(compile_default_rules());
  return SaturationEngine(kRules, OptimizerTuning::kIterLimit);
}

SaturationEngine::Representatives SaturationEngine::representatives(const EngineGraph& graph,
                                                                    Cancel& cancel) const {
  const std::size_t n = graph.nodes.size();
  for (const EngineIndex o : graph.outputs) {
    if (o >= n) fault("engine graph output names no node");
  }
  Representatives reps;
  reps.of.resize(n);
  std::vector<EngineIndex> class_rep;
  {
    eqsat::EGraph egraph;
    cancel.check_now();
    const std::vector<eqsat::Id> ids = load(graph, egraph);
    cancel.check_now();
    eqsat::Runner runner;
    runner.set_egraph(std::move(egraph))
        .set_iter_limit(iter_limit_)
        .set_node_limit(OptimizerTuning::node_limit(n));
    if (cancel.active()) runner.set_cancel(cancel);
    // Whatever is merged when the run stops, saturated or at a limit, is used.
    runner.run(*rules_);
    const eqsat::EGraph& result_graph = runner.egraph();
    for (std::size_t i = 0; i < n; ++i) {
      reps.of[i] = static_cast<EngineIndex>(result_graph.find(ids[i]).index());
    }
    class_rep.assign(result_graph.id_count(), kNone);
  }  // the e-graph goes before the result is built

  // The first node seen in a class represents it; an operand precedes its
  // user, so an identity op merged with its operand is represented by that
  // operand (or earlier). Each node's class id is replaced by the result
  // index of its class's representative.
  for (std::size_t i = 0; i < n; ++i) {
    for (const EngineIndex c : graph.nodes[i].children) {
      if (c >= i) fault("canonical operand has no representative");
    }
    EngineIndex& slot = class_rep[reps.of[i]];
    if (slot == kNone) slot = static_cast<EngineIndex>(reps.kept++);
    reps.of[i] = slot;
  }
  return reps;
}

EngineGraph SaturationEngine::canonicalize(const EngineGraph& graph) const {
  const Representatives reps = representatives(graph, Cancel::never());
  EngineGraph out;
  out.nodes.reserve(reps.kept);
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    // A representative is the first node of its class, so its index is the
    // next one to hand out.
    if (reps.of[i] != out.nodes.size()) continue;
    const EngineNode& node = graph.nodes[i];
    EngineNode& kept = out.nodes.emplace_back(EngineNode{node.op, {}, !is_op_symbol(node.op)});
    kept.children.reserve(node.children.size());
    for (const EngineIndex c : node.children) kept.children.push_back(reps.of[c]);
  }
  out.outputs.reserve(graph.outputs.size());
  for (const EngineIndex o : graph.outputs) out.outputs.push_back(reps.of[o]);
  return out;
}

EngineGraph SaturationEngine::canonicalize_in_place(EngineGraph graph, Cancel& cancel) const {
  const Representatives reps = representatives(graph, cancel);
  // Representatives keep their order and only move down, so the result
  // can be compacted into the input's own storage.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    if (reps.of[i] != kept) continue;
    EngineNode& node = graph.nodes[i];
    for (EngineIndex& c : node.children) c = reps.of[c];
    node.boundary = !is_op_symbol(node.op);
    if (kept != i) graph.nodes[kept] = std::move(node);
    ++kept;
  }
  graph.nodes.erase(graph.nodes.begin() + static_cast<std::ptrdiff_t>(kept), graph.nodes.end());
  for (EngineIndex& o : graph.outputs) o = reps.of[o];
  return graph;
}

}  // namespace tessary
