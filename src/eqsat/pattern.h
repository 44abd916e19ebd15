// Patterns: compiled pattern terms that search an e-graph for their matches
// (the left side of a rule) and instantiate themselves under a substitution,
// merging the result with the matched class (the right side).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "base/small_vec.h"
#include "eqsat/egraph.h"
#include "eqsat/id.h"
#include "eqsat/machine.h"
#include "eqsat/recexpr.h"
#include "eqsat/subst.h"
#include "eqsat/symbol.h"

namespace tessary::eqsat {

class Applier;

// One mask per match of a search, for the shortcut that skips matches an
// applier would leave unchanged (see RuleMatches).
using SettledMarks = SmallVec<std::uint32_t, 4>;

// The matches of a searcher within one class: at least one substitution.
struct SearchMatches {
  SearchMatches(Id eclass, const PatternAst* ast) : eclass(eclass), ast(ast) {}

  Id eclass;
  SubstList substs;
  const PatternAst* ast = nullptr;  // the searcher's term, owned by the searcher
};

// The left side of a rule.
class Searcher {
 public:
  virtual ~Searcher() = default;
  // Matches over the whole (clean) e-graph, at most `limit` substitutions in total.
  virtual std::vector<SearchMatches> search_with_limit(const EGraph& egraph,
                                                       std::size_t limit) const = 0;
  // The matches within one class, if any.
  virtual std::optional<SearchMatches> search_eclass_with_limit(const EGraph& egraph, Id eclass,
                                                                std::size_t limit) const = 0;
  // Variables the searcher binds, in order of first appearance.
  virtual std::vector<Var> vars() const = 0;
};

// The right side of a rule.
class Applier {
 public:
  virtual ~Applier() = default;
  // Instantiates for every substitution and merges with its class; returns the
  // ids of the instantiations whose merge changed the e-graph.
  virtual std::vector<Id> apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                        GlobalSymbol rule_name) const = 0;
  // Variables the applier reads, in order of first appearance.
  virtual std::vector<Var> vars() const = 0;
};

class Pattern final : public Searcher, public Applier {
 public:
  // Compacts `ast` and compiles it. `ast` must not be empty.
  explicit Pattern(const PatternAst& ast);
  // Reads, compacts and compiles pattern text.
  [[nodiscard]] static Result<Pattern, RecExprParseError> parse(std::string_view text);

  const PatternAst& ast() const { return ast_; }
  const Program& program() const { return program_; }

  std::vector<SearchMatches> search_with_limit(const EGraph& egraph,
                                               std::size_t limit) const override;
  // How many substitutions a search of the whole (clean) e-graph finds, when
  // that is known without searching: for an operator over distinct
  // variables, one per node with that operator and arity.
  std::optional<std::size_t> count_matches(const EGraph& egraph) const;
  // Whether applying `applier` under every match of this searcher in the
  // clean `egraph` is known to change nothing: for an operator over distinct
  // variables, with an applier that is one of those variables (each match's
  // class is already that variable's) or an operator over them (each match's
  // class already holds the node it would build). False whenever that is not
  // known, including for every other shape.
  bool changes_nothing(const EGraph& egraph, const Pattern& applier) const;
  std::optional<SearchMatches> search_eclass_with_limit(const EGraph& egraph, Id eclass,
                                                        std::size_t limit) const override;
  std::vector<Var> vars() const override;
  std::vector<Id> apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                GlobalSymbol rule_name) const override;

  // Adds the instantiation of this pattern under `subst` and returns the
  // class id of its root. `scratch` is reused between calls.
  Id apply_pat(EGraph& egraph, const Subst& subst, std::vector<Id>& scratch) const;

 private:
  // A rule's shortcuts (see Rewrite) reach these two.
  friend class Rewrite;
  // The matches of search_with_limit, into `out`; when `applier` is an operator over
  // variables, `settled` gets one mask per match whose bit s is set when
  // applying `applier` under substitution s would build a node the class
  // already holds (see RuleMatches). Otherwise `settled` stays empty.
  void search_settling(const EGraph& egraph, std::size_t limit, const Pattern& applier,
                       std::vector<SearchMatches>& out, SettledMarks& settled) const;
  // apply_matches, skipping the substitutions `settled` marks (empty: none)
  // where that changes nothing.
  std::vector<Id> apply_settled(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                std::span<const std::uint32_t> settled) const;
  // The search behind both searches, appending to an empty `out`;
  // `settle`, if set, is a flat applier whose settled matches get marked in
  // `settled`.
  void search(const EGraph& egraph, std::size_t limit, const Pattern* settle,
              std::vector<SearchMatches>& out, SettledMarks* settled) const;
  // One substitution to apply, with its class.
  struct Work {
    Id eclass;
    const Subst* subst;
    bool settled;  // marked settled by a search for this applier
  };
  // A flat root's operator and, for each child, its variable and where
  // `subst` holds it. A search binds its variables in one order, so the
  // positions hold for every substitution of the search that found `subst`.
  struct FlatShape {
    GlobalSymbol op;
    SmallVec<std::pair<Var, std::uint32_t>, SymbolLang::kInlineChildren> children;
  };
  FlatShape flat_shape(const Subst& subst) const;
  // The id `subst` binds to the variable of child k.
  static Id flat_child(const FlatShape& shape, const Subst& subst, std::size_t k);
  // The node a flat root instantiates to under `subst`.
  static SymbolLang instantiate_flat(const FlatShape& shape, const Subst& subst);
  std::vector<Id> apply_flat(EGraph& egraph, const std::vector<Work>& work) const;
  // Starts loading the classes applying `item` will read: its own and those
  // its variables are bound to.
  void prefetch_classes(const EGraph& egraph, const Work& item) const;

  PatternAst ast_;
  Program program_;
  // The root is an e-node over variables only, so its instantiation can be
  // formed (and its table slot prefetched) straight from a substitution;
  // apply_flat applies such a pattern.
  bool flat_root_ = false;
};

}  // namespace tessary::eqsat
