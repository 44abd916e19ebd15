// A rewrite rule: a name, a searcher (left side) and an applier (right side).
// Rules are immutable and may be shared between runs and threads; their sides
// are held through shared pointers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/result.h"
#include "eqsat/pattern.h"
#include "eqsat/symbol.h"

namespace tessary::eqsat {

class Rewrite {
 public:
  // A rule, or "Rewrite {name} refers to unbound var {var}" when the applier
  // reads a variable the searcher does not bind.
  [[nodiscard]] static Result<Rewrite, std::string> create(std::string_view name,
                                                           std::shared_ptr<const Searcher> searcher,
                                                           std::shared_ptr<const Applier> applier);
  [[nodiscard]] static Result<Rewrite, std::string> create(std::string_view name, Pattern searcher,
                                                           Pattern applier);

  GlobalSymbol name() const { return name_; }
  const Searcher& searcher() const { return *searcher_; }
  const Applier& applier() const { return *applier_; }
  // The searcher's matches (at most `limit` substitutions). When both sides
  // are patterns, the matches the applier would leave unchanged are marked
  // settled, which lets the applier skip them.
  std::vector<SearchMatches> search(const EGraph& egraph, std::size_t limit) const;
  // How many substitutions a search without limit would find, if the
  // searcher can tell without searching.
  std::optional<std::size_t> count_matches(const EGraph& egraph) const;

 private:
  Rewrite(GlobalSymbol name, std::shared_ptr<const Searcher> searcher,
          std::shared_ptr<const Applier> applier)
      : name_(name), searcher_(std::move(searcher)), applier_(std::move(applier)) {}

  GlobalSymbol name_;
  std::shared_ptr<const Searcher> searcher_;
  std::shared_ptr<const Applier> applier_;
  // The two sides again, when both are patterns (they point into the above).
  const Pattern* searcher_pattern_ = nullptr;
  const Pattern* applier_pattern_ = nullptr;
};

}  // namespace tessary::eqsat
