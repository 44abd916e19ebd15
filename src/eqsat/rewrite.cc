#include "eqsat/rewrite.h"

#include <algorithm>

namespace tessary::eqsat {

Result<Rewrite, std::string> Rewrite::create(std::string_view name,
                                             std::shared_ptr<const Searcher> searcher,
                                             std::shared_ptr<const Applier> applier) {
  const GlobalSymbol symbol(name);
  const std::vector<Var> bound = searcher->vars();
  for (Var v : applier->vars()) {
    if (std::find(bound.begin(), bound.end(), v) == bound.end()) {
      return Err{"Rewrite " + std::string(name) + " refers to unbound var " +
                 std::string(v.text())};
    }
  }
  return Rewrite(symbol, std::move(searcher), std::move(applier));
}

Result<Rewrite, std::string> Rewrite::create(std::string_view name, Pattern searcher,
                                             Pattern applier) {
  auto lhs = std::make_shared<const Pattern>(std::move(searcher));
  auto rhs = std::make_shared<const Pattern>(std::move(applier));
  const Pattern* lhs_pattern = lhs.get();
  const Pattern* rhs_pattern = rhs.get();
  auto rule = create(name, std::move(lhs), std::move(rhs));
  if (rule) {
    rule.value().searcher_pattern_ = lhs_pattern;
    rule.value().applier_pattern_ = rhs_pattern;
  }
  return rule;
}

std::vector<SearchMatches> Rewrite::search(const EGraph& egraph, std::size_t limit) const {
  if (searcher_pattern_ != nullptr && applier_pattern_ != nullptr) {
    return searcher_pattern_->search_settling(egraph, limit, *applier_pattern_);
  }
  return searcher_->search_with_limit(egraph, limit);
}

std::optional<std::size_t> Rewrite::count_matches(const EGraph& egraph) const {
  if (searcher_pattern_ == nullptr) return std::nullopt;
  return searcher_pattern_->count_matches(egraph);
}

}  // namespace tessary::eqsat
