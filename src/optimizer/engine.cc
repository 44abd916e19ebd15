#include "optimizer/engine.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#include "base/fault.h"
#include "base/hash.h"
#include "base/small_vec.h"
#include "eqsat/egraph.h"
#include "eqsat/enode.h"
#include "eqsat/memo.h"
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

// Engine symbols of the nodes' ops, in node order.
std::vector<eqsat::GlobalSymbol> symbols_of(const EngineGraph& graph) {
  std::vector<eqsat::GlobalSymbol> ops;
  ops.reserve(graph.nodes.size());
  for (const EngineNode& node : graph.nodes) ops.push_back(node.op);
  return ops;
}

// Adds every node to a fresh e-graph, children first; returns the class id
// recorded for each node. Equal ops over equal classes share a class already.
std::vector<eqsat::Id> load(const EngineGraph& graph, std::span<const eqsat::GlobalSymbol> ops,
                            eqsat::EGraph& egraph) {
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
    : SaturationEngine(rules, roots_of(*rules), iter_limit) {}

SaturationEngine::SaturationEngine(std::shared_ptr<const std::vector<eqsat::Rewrite>> rules,
                                   std::shared_ptr<const RuleRoots> roots, std::size_t iter_limit)
    : rules_(std::move(rules)), roots_(std::move(roots)), iter_limit_(iter_limit) {}

std::shared_ptr<const SaturationEngine::RuleRoots> SaturationEngine::roots_of(
    const std::vector<eqsat::Rewrite>& rules) {
  auto roots = std::make_shared<RuleRoots>();
  for (const eqsat::Rewrite& rule : rules) {
    const eqsat::PatternAst& ast = rule.searcher().ast();
    if (const eqsat::SymbolLang* root = ast[ast.root()].enode()) {
      roots->roots.push_back(RuleRoots::Root{root->op(), root->arity()});
    } else {
      roots->any = true;
    }
  }
  return roots;
}

SaturationEngine SaturationEngine::default_engine() {
  // A fault while compiling leaves the statics uninitialized, so the next
  // call tries again.
  static const std::shared_ptr<const std::vector<eqsat::Rewrite>> kRules =
      std::make_shared<const std::vector<eqsat::Rewrite>>(compile_default_rules());
  static const std::shared_ptr<const RuleRoots> kRoots = roots_of(*kRules);
  return SaturationEngine(kRules, kRoots, OptimizerTuning::kIterLimit);
}

bool SaturationEngine::may_match(const EngineGraph& graph,
                                 std::span<const eqsat::GlobalSymbol> ops) const {
  if (roots_->any) return true;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const std::size_t arity = graph.nodes[i].children.size();
    for (const RuleRoots::Root& root : roots_->roots) {
      if (root.op == ops[i] && root.arity == arity) return true;
    }
  }
  return false;
}

namespace {

// The representatives of a graph that no rule matches. A rule whose searcher
// is rooted at an operator matches only in a class holding a node with that
// operator and arity, and e-nodes arise only from the load and from applied
// matches. With no such node loaded, the first iteration finds nothing,
// applies nothing and leaves the e-graph as loaded, so the run stops there
// (saturated, or earlier at a limit) and every node is in the class the load
// gave it: a class of its own unless an earlier node had the same operator
// over the same classes. Class ids are handed out in order of first
// appearance, so they are the result indices; this hash-conses the nodes the
// same way without building the e-graph or the runner.
void distinct_nodes(const EngineGraph& graph, std::span<const eqsat::GlobalSymbol> ops,
                    std::vector<EngineIndex>& of, std::size_t& kept) {
  const std::size_t n = graph.nodes.size();
  // One node has no equal to find.
  if (n == 1 && graph.nodes[0].children.empty()) {
    of[0] = 0;
    kept = 1;
    return;
  }
  eqsat::Memo memo;
  memo.reserve(n);
  SmallVec<eqsat::Id, eqsat::SymbolLang::kInlineChildren> children;
  for (std::size_t i = 0; i < n; ++i) {
    children.clear();
    for (const EngineIndex c : graph.nodes[i].children) {
      if (c >= i) fault("canonical operand has no representative");
      children.push_back(eqsat::Id(of[c]));
    }
    const eqsat::Id fresh(static_cast<std::uint32_t>(kept));
    const eqsat::Memo::Found found =
        memo.find_or_insert(eqsat::SymbolLang(ops[i], children.span()), fresh);
    if (found.inserted) ++kept;
    of[i] = static_cast<EngineIndex>(memo.entry(found.index).id.index());
  }
}

}  // namespace

SaturationEngine::Representatives SaturationEngine::representatives(const EngineGraph& graph,
                                                                    Cancel& cancel) const {
  const std::size_t n = graph.nodes.size();
  for (const EngineIndex o : graph.outputs) {
    if (o >= n) fault("engine graph output names no node");
  }
  Representatives reps;
  reps.of.resize(n);
  const std::vector<eqsat::GlobalSymbol> ops = symbols_of(graph);
  cancel.check_now();
  if (!may_match(graph, ops)) {
    distinct_nodes(graph, ops, reps.of, reps.kept);
    return reps;
  }
  std::vector<EngineIndex> class_rep;
  {
    eqsat::EGraph egraph;
    const std::vector<eqsat::Id> ids = load(graph, ops, egraph);
    cancel.check_now();
    eqsat::Runner runner;
    // Only the classes the run leaves matter here, not how it stopped, so
    // it may stop as soon as no rule can change anything.
    runner.set_egraph(std::move(egraph))
        .set_iter_limit(iter_limit_)
        .set_node_limit(OptimizerTuning::node_limit(n))
        .set_stop_when_settled(true);
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
    EngineNode& kept =
        out.nodes.emplace_back(EngineNode{node.op, node.prototype, {}, node.boundary});
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
    if (kept != i) graph.nodes[kept] = std::move(node);
    ++kept;
  }
  graph.nodes.erase(graph.nodes.begin() + static_cast<std::ptrdiff_t>(kept), graph.nodes.end());
  for (EngineIndex& o : graph.outputs) o = reps.of[o];
  return graph;
}

}  // namespace tessary
