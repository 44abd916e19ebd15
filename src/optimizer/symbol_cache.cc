#include "optimizer/symbol_cache.h"

#include <string>

namespace tessary {

eqsat::GlobalSymbol SymbolCache::boundary_symbol(std::uint32_t k) {
  if (k < boundary_.size()) return boundary_[k];
  while (boundary_.size() <= k) {
    const eqsat::GlobalSymbol symbol("b|" + std::to_string(boundary_.size()));
    boundary_.push_back(symbol);
  }
  return boundary_[k];
}

SymbolCache& SymbolCache::for_this_thread() {
  thread_local SymbolCache cache;
  return cache;
}

}  // namespace tessary
