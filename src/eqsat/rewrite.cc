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
  return create(name, std::make_shared<const Pattern>(std::move(searcher)),
                std::make_shared<const Pattern>(std::move(applier)));
}

}  // namespace tessary::eqsat
