// A rewrite rule: a name, a searcher pattern (left side) and an applier
// pattern (right side). Rules are immutable and may be shared between runs
// and threads; their sides are held through shared pointers.
//
// A rule searches, counts and applies its own matches, so that two shortcuts
// stay inside it: a search marks the matches its applier would leave
// unchanged ("settled"), which the apply then skips, and a rule over one
// operator counts its matches without searching, which lets the scheduler ban
// it or pass over it at no cost. Both change how much work a run does, never
// what it does; Shortcuts::kPlain turns them off, for tests that compare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/small_vec.h"
#include "eqsat/pattern.h"
#include "eqsat/symbol.h"

namespace tessary::eqsat {

enum class Shortcuts : bool { kPlain = false, kTaken = true };

// What one search of a rule found.
struct RuleMatches {
  std::vector<SearchMatches> matches;
  // Parallel to `matches`, or empty when nothing was marked. Bit s of
  // settled[k]: when the search ran, applying the rule under
  // matches[k].substs[s] would have built a node that class already held.
  // Only the first 32 substitutions of a class can be marked.
  SettledMarks settled;

  bool empty() const { return matches.empty(); }
  // The number of substitutions.
  std::size_t total() const;
};

class Rewrite {
 public:
  // A rule, or "Rewrite {name} refers to unbound var {var}" when the applier
  // reads a variable the searcher does not bind.
  [[nodiscard]] static Result<Rewrite, std::string> create(std::string_view name, Pattern searcher,
                                                           Pattern applier,
                                                           Shortcuts shortcuts = Shortcuts::kTaken);

  GlobalSymbol name() const { return name_; }
  const Pattern& searcher() const { return *searcher_; }
  const Pattern& applier() const { return *applier_; }
  Shortcuts shortcuts() const { return shortcuts_; }
  // The same rule with the other shortcut setting; the sides are shared.
  Rewrite with_shortcuts(Shortcuts shortcuts) const;

  // The searcher's matches (at most `limit` substitutions), settled ones
  // marked when shortcuts are taken and the applier is an operator over
  // variables.
  RuleMatches search(const EGraph& egraph, std::size_t limit) const;
  // How many substitutions a search without limit would find, when that is
  // known without searching (only with shortcuts).
  std::optional<std::size_t> count_matches(const EGraph& egraph) const;
  // Whether applying every match a search of the clean `egraph` would find
  // is known to change nothing (only with shortcuts; see
  // Pattern::changes_nothing).
  bool changes_nothing(const EGraph& egraph) const;
  // Applies matches found by this rule's search; returns the number of
  // applications whose merge changed the e-graph.
  std::size_t apply(EGraph& egraph, const RuleMatches& found) const;

 private:
  Rewrite(GlobalSymbol name, std::shared_ptr<const Pattern> searcher,
          std::shared_ptr<const Pattern> applier, Shortcuts shortcuts)
      : name_(name),
        searcher_(std::move(searcher)),
        applier_(std::move(applier)),
        shortcuts_(shortcuts) {}

  GlobalSymbol name_;
  std::shared_ptr<const Pattern> searcher_;
  std::shared_ptr<const Pattern> applier_;
  Shortcuts shortcuts_;
};

}  // namespace tessary::eqsat
