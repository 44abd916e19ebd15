#include "eqsat/rewrite.h"

#include <algorithm>
#include <utility>

namespace tessary::eqsat {

std::size_t RuleMatches::total() const {
  std::size_t n = 0;
  for (const SearchMatches& m : matches) n += m.substs.size();
  return n;
}

Result<Rewrite, std::string> Rewrite::create(std::string_view name, Pattern searcher,
                                             Pattern applier, Shortcuts shortcuts) {
  const GlobalSymbol symbol(name);
  const std::vector<Var> bound = searcher.vars();
  for (Var v : applier.vars()) {
    if (std::find(bound.begin(), bound.end(), v) == bound.end()) {
      return Err{"Rewrite " + std::string(name) + " refers to unbound var " +
                 std::string(v.text())};
    }
  }
  return Rewrite(symbol, std::make_shared<const Pattern>(std::move(searcher)),
                 std::make_shared<const Pattern>(std::move(applier)), shortcuts);
}

Rewrite Rewrite::with_shortcuts(Shortcuts shortcuts) const {
  return Rewrite(name_, searcher_, applier_, shortcuts);
}

RuleMatches Rewrite::search(const EGraph& egraph, std::size_t limit) const {
  RuleMatches found;
  if (shortcuts_ == Shortcuts::kTaken) {
    searcher_->search_settling(egraph, limit, *applier_, found.matches, found.settled);
  } else {
    found.matches = searcher_->search_with_limit(egraph, limit);
  }
  return found;
}

std::optional<std::size_t> Rewrite::count_matches(const EGraph& egraph) const {
  if (shortcuts_ == Shortcuts::kPlain) return std::nullopt;
  return searcher_->count_matches(egraph);
}

bool Rewrite::changes_nothing(const EGraph& egraph) const {
  return shortcuts_ == Shortcuts::kTaken && searcher_->changes_nothing(egraph, *applier_);
}

std::size_t Rewrite::apply(EGraph& egraph, const RuleMatches& found) const {
  const std::span<const std::uint32_t> marks(found.settled.data(), found.settled.size());
  return applier_->apply_settled(egraph, found.matches, marks).size();
}

}  // namespace tessary::eqsat
