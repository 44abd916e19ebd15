#include "eqsat/pattern.h"

#include <algorithm>
#include <string>
#include <utility>

#include "base/fault.h"
#include "eqsat/tuning.h"

namespace tessary::eqsat {
namespace {

// Whether a class of a clean e-graph, whose nodes are `held` (kept sorted),
// holds `node`.
[[gnu::always_inline]] inline bool holds(std::span<const SymbolLang> held, const SymbolLang& node) {
  return held.size() <= 4 ? std::find(held.begin(), held.end(), node) != held.end()
                          : std::binary_search(held.begin(), held.end(), node);
}

}  // namespace

Pattern::Pattern(const PatternAst& ast) : ast_(compact(ast)), program_(compile_from_pat(ast_)) {
  if (const SymbolLang* root = ast_[ast_.root()].enode()) {
    flat_root_ = !root->is_leaf();
    for (Id c : root->children()) flat_root_ = flat_root_ && ast_[c].is_var();
  }
}

Result<Pattern, RecExprParseError> Pattern::parse(std::string_view text) {
  auto ast = parse_pattern_ast(text);
  if (!ast) return Err{ast.error()};
  return Pattern(ast.value());
}

std::vector<Var> Pattern::vars() const { return pattern_vars(ast_); }

std::optional<SearchMatches> Pattern::search_eclass_with_limit(const EGraph& egraph, Id eclass,
                                                               std::size_t limit) const {
  SearchMatches m(eclass, &ast_);
  if (Machine().run(program_, egraph, eclass, limit, m.substs) == 0) return std::nullopt;
  return m;
}

std::vector<SearchMatches> Pattern::search_with_limit(const EGraph& egraph,
                                                      std::size_t limit) const {
  std::vector<SearchMatches> out;
  search(egraph, limit, nullptr, out, nullptr);
  return out;
}

std::optional<std::size_t> Pattern::count_matches(const EGraph& egraph) const {
  // The search visits each class holding the operator once and yields every
  // node there with the operator and arity: each node of that kind once.
  const auto& code = program_.instructions;
  if (code.size() != 1) return std::nullopt;
  const auto* bind = std::get_if<instr::Bind>(&code[0]);
  if (bind == nullptr || bind->i != 0) return std::nullopt;
  if (!egraph.is_clean()) fault("Tried to search a dirty e-graph!");
  return egraph.node_count(bind->node.op(), bind->node.arity());
}

bool Pattern::changes_nothing(const EGraph& egraph, const Pattern& applier) const {
  // A single Bind of the searched class: the matches are the nodes with the
  // bound operator and arity, in the classes holding that operator, each
  // child read straight into its variable (see count_matches).
  const auto& code = program_.instructions;
  if (code.size() != 1) return false;
  const auto* bind = std::get_if<instr::Bind>(&code[0]);
  if (bind == nullptr || bind->i != 0) return false;
  if (!egraph.is_clean()) fault("Tried to search a dirty e-graph!");
  const SymbolLang* root = ast_[ast_.root()].enode();
  if (root == nullptr) return false;
  // The searcher's child position of variable `v`, if it binds it.
  auto position_of = [&](Var v) -> std::optional<std::size_t> {
    const auto children = root->children();
    for (std::size_t k = 0; k < children.size(); ++k) {
      if (ast_[children[k]].var() != nullptr && *ast_[children[k]].var() == v) return k;
    }
    return std::nullopt;
  };
  const ENodeOrVar& applier_root = applier.ast_[applier.ast_.root()];
  SmallVec<std::uint32_t, SymbolLang::kInlineChildren> positions;
  GlobalSymbol applier_op;
  if (const Var* v = applier_root.var()) {
    const auto p = position_of(*v);
    if (!p) return false;
    positions.push_back(static_cast<std::uint32_t>(*p));
  } else if (applier.flat_root_) {
    applier_op = applier_root.enode()->op();
    for (const Id c : applier_root.enode()->children()) {
      const auto p = position_of(*applier.ast_[c].var());
      if (!p) return false;
      positions.push_back(static_cast<std::uint32_t>(*p));
    }
  } else {
    return false;
  }
  SmallVec<Id, SymbolLang::kInlineChildren> children;
  for (const Id eclass : egraph.classes_with_op(bind->node.op())) {
    const std::span<const SymbolLang> held = egraph[eclass].nodes();
    for (const SymbolLang& node : held) {
      if (!node.matches(bind->node)) continue;
      const auto bound = node.children();
      if (applier_op.is_null()) {
        // The applier names a variable: its class must be the match's.
        if (egraph.find(bound[positions[0]]) != egraph.find(eclass)) return false;
        continue;
      }
      children.clear();
      for (const std::uint32_t p : positions) children.push_back(bound[p]);
      if (!holds(held, SymbolLang(applier_op, children.span()))) return false;
    }
  }
  return true;
}

void Pattern::search_settling(const EGraph& egraph, std::size_t limit, const Pattern& applier,
                              std::vector<SearchMatches>& out, SettledMarks& settled) const {
  settled.clear();
  search(egraph, limit, applier.flat_root_ ? &applier : nullptr, out, &settled);
}

void Pattern::search(const EGraph& egraph, std::size_t limit, const Pattern* settle,
                     std::vector<SearchMatches>& out, SettledMarks* settled) const {
  if (!out.empty()) fault("assertion failed: out.is_empty()");
  if (limit == 0) return;
  if (!egraph.is_clean()) fault("Tried to search a dirty e-graph!");
  // A variable root may match any class of the operator index; an operator
  // root only a class holding that operator, which the per-operator lists give
  // directly (the same matches, without visiting classes that cannot match).
  std::span<const Id> candidates;
  if (const SymbolLang* root = ast_[ast_.root()].enode()) {
    candidates = egraph.classes_with_op(root->op());
  } else if (const std::vector<Id>* all = egraph.indexed_classes()) {
    candidates = *all;
  }
  // Each class yields one entry at most; growing the list instead would move
  // every entry (and its inline substitutions) again and again.
  out.reserve(std::min(candidates.size(), limit));
  // For marking: the applier's operator, and for each of its children the
  // position in a substitution of the variable it reads. A substitution binds
  // the variables in the order of the program's variable list.
  GlobalSymbol settle_op;
  SmallVec<std::uint32_t, SymbolLang::kInlineChildren> settle_positions;
  SmallVec<Id, SymbolLang::kInlineChildren> children;
  if (settle != nullptr) {
    const SymbolLang& root = *settle->ast_[settle->ast_.root()].enode();
    settle_op = root.op();
    for (const Id c : root.children()) {
      const Var v = *settle->ast_[c].var();
      std::size_t pos = 0;
      while (pos < program_.subst.size() && program_.subst[pos].first != v) ++pos;
      // An applier variable the searcher does not bind cannot be settled.
      if (pos == program_.subst.size()) return search(egraph, limit, nullptr, out, nullptr);
      settle_positions.push_back(static_cast<std::uint32_t>(pos));
    }
  }
  Machine machine;
  std::size_t remaining = limit;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    if (k + Tuning::kLookahead < candidates.size())
      egraph.prefetch_class(candidates[k + Tuning::kLookahead]);
    const Id eclass = candidates[k];
    // The machine fills the entry in place; a class without matches gives
    // it back.
    SearchMatches& m = out.emplace_back(eclass, &ast_);
    const std::size_t len = machine.run(program_, egraph, eclass, remaining, m.substs);
    if (len == 0) {
      out.pop_back();
      continue;
    }
    if (len > remaining) fault("assertion failed: len <= limit");
    remaining -= len;
    const SubstList& substs = m.substs;
    if (settle != nullptr) {
      // The class was just matched, so its nodes are at hand: mark the
      // substitutions whose instantiation it already holds (nodes are sorted
      // in a clean e-graph).
      const std::span<const SymbolLang> held = egraph[eclass].nodes();
      const std::size_t marked = std::min<std::size_t>(substs.size(), 32);
      std::uint32_t mask = 0;
      for (std::size_t s = 0; s < marked; ++s) {
        children.clear();
        for (const std::uint32_t pos : settle_positions)
          children.push_back(substs[s].at(pos).second);
        if (holds(held, SymbolLang(settle_op, children.span()))) mask |= std::uint32_t{1} << s;
      }
      settled->push_back(mask);
    }
    if (remaining == 0) break;
  }
}

Id Pattern::apply_pat(EGraph& egraph, const Subst& subst, std::vector<Id>& scratch) const {
  scratch.resize(ast_.size());
  for (std::size_t i = 0; i < ast_.size(); ++i) {
    const ENodeOrVar& n = ast_.nodes[i];
    if (const Var* v = n.var()) {
      const auto id = subst.get(*v);
      if (!id) fault("no substitution for variable " + std::string(v->text()));
      scratch[i] = *id;
      continue;
    }
    SymbolLang node = *n.enode();
    for (Id& c : node.children_mut()) c = scratch[c.index()];
    scratch[i] = egraph.add(node);
  }
  return scratch[ast_.root().index()];
}

std::vector<Id> Pattern::apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                       GlobalSymbol /*rule_name*/) const {
  return apply_settled(egraph, matches, {});
}

std::vector<Id> Pattern::apply_settled(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                       std::span<const std::uint32_t> marks) const {
  if (!marks.empty() && marks.size() != matches.size())
    fault("assertion failed: settled marks.len() == matches.len()");
  std::size_t total = 0;
  for (const SearchMatches& m : matches) total += m.substs.size();
  if (total == 0) return {};
  std::vector<Work> work;
  work.reserve(total);
  for (std::size_t k = 0; k < matches.size(); ++k) {
    const SearchMatches& m = matches[k];
    const std::uint32_t settled = marks.empty() ? 0 : marks[k];
    for (std::size_t s = 0; s < m.substs.size(); ++s) {
      work.push_back(Work{m.eclass, &m.substs[s], s < 32 && ((settled >> s) & 1) != 0});
    }
  }
  if (flat_root_) return apply_flat(egraph, work);
  std::vector<Id> applied;
  std::vector<Id> scratch;
  for (std::size_t k = 0; k < work.size(); ++k) {
    if (k + Tuning::kLookahead < work.size())
      prefetch_classes(egraph, work[k + Tuning::kLookahead]);
    const Id id = apply_pat(egraph, *work[k].subst, scratch);
    if (egraph.union_classes(id, work[k].eclass)) applied.push_back(id);
  }
  return applied;
}

Pattern::FlatShape Pattern::flat_shape(const Subst& subst) const {
  const SymbolLang& root = *ast_[ast_.root()].enode();
  FlatShape shape{root.op(), {}};
  for (const Id c : root.children()) {
    const Var v = *ast_[c].var();
    std::uint32_t pos = 0;
    while (pos < subst.size() && subst.at(pos).first != v) ++pos;
    shape.children.push_back({v, pos});
  }
  return shape;
}

Id Pattern::flat_child(const FlatShape& shape, const Subst& subst, std::size_t k) {
  const auto [v, pos] = shape.children[k];
  if (pos < subst.size() && subst.at(pos).first == v) return subst.at(pos).second;
  const auto id = subst.get(v);
  if (!id) fault("no substitution for variable " + std::string(v.text()));
  return *id;
}

SymbolLang Pattern::instantiate_flat(const FlatShape& shape, const Subst& subst) {
  const std::size_t arity = shape.children.size();
  if (arity <= SymbolLang::kInlineChildren) {
    Id children[SymbolLang::kInlineChildren]{};
    for (std::size_t k = 0; k < arity; ++k) children[k] = flat_child(shape, subst, k);
    return SymbolLang(shape.op, std::span<const Id>(children, arity));
  }
  std::vector<Id> children(arity);
  for (std::size_t k = 0; k < arity; ++k) children[k] = flat_child(shape, subst, k);
  return SymbolLang(shape.op, children);
}

// An operator over variables: each match instantiates one node, built once
// and used for both prefetch steps and the add. The same adds and unions, in
// the same order, as apply_pat, except for settled matches whose children are
// all still roots: their node is still in the hash-cons table under their own
// class, so the add would find it and the union would merge nothing.
std::vector<Id> Pattern::apply_flat(EGraph& egraph, const std::vector<Work>& work) const {
  const FlatShape shape = flat_shape(*work.front().subst);
  // A settled match gets its node only if the check below needs the add.
  std::vector<SymbolLang> nodes;
  nodes.reserve(work.size());
  for (const Work& item : work) {
    nodes.push_back(item.settled ? SymbolLang(shape.op) : instantiate_flat(shape, *item.subst));
  }
  std::vector<Id> applied;
  // A small e-graph sits in cache, where loading ahead would only cost two
  // hashes per node.
  const bool ahead = egraph.size() >= Tuning::kPrefetchDagNodes;
  for (std::size_t k = 0; k < work.size(); ++k) {
    if (ahead && k + 2 * Tuning::kLookahead < work.size() &&
        !work[k + 2 * Tuning::kLookahead].settled) {
      const std::size_t a = k + 2 * Tuning::kLookahead;
      egraph.prefetch_class(work[a].eclass);
      for (const Id c : nodes[a].children()) egraph.prefetch_class(c);
      egraph.prefetch_node(nodes[a]);
    }
    if (ahead && k + Tuning::kLookahead < work.size() && !work[k + Tuning::kLookahead].settled) {
      egraph.prefetch_node_entry(nodes[k + Tuning::kLookahead]);
      egraph.prefetch_parents(work[k + Tuning::kLookahead].eclass);
    }
    if (work[k].settled) {
      // Checked now, not before the loop: an earlier union in this loop may
      // have merged a child away, and then the add would build a new form.
      bool roots = true;
      for (std::size_t c = 0; c < shape.children.size(); ++c) {
        const Id child = flat_child(shape, *work[k].subst, c);
        roots = roots && egraph.find(child) == child;
      }
      if (roots) continue;
      nodes[k] = instantiate_flat(shape, *work[k].subst);
    }
    const Id id = egraph.add(nodes[k]);
    if (egraph.union_classes(id, work[k].eclass)) applied.push_back(id);
  }
  return applied;
}

void Pattern::prefetch_classes(const EGraph& egraph, const Work& item) const {
  egraph.prefetch_class(item.eclass);
  const Subst& subst = *item.subst;
  for (std::size_t i = 0; i < subst.size(); ++i) egraph.prefetch_class(subst.at(i).second);
}

}  // namespace tessary::eqsat
