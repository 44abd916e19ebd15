#include "eqsat/enode.h"

#include <algorithm>
#include <cstring>
#include <ostream>

#include "base/hash.h"

namespace tessary::eqsat {

void SymbolLang::copy_to_heap(std::span<const Id> children) {
  heap_ = new Id[arity_];
  std::copy(children.begin(), children.end(), heap_);
}

bool SymbolLang::equal_heap_children(const SymbolLang& a, const SymbolLang& b) {
  const auto ac = a.children();
  return std::equal(ac.begin(), ac.end(), b.children().begin());
}

std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b) {
  if (auto c = a.op_ <=> b.op_; c != 0) return c;
  const auto ac = a.children();
  const auto bc = b.children();
  return std::lexicographical_compare_three_way(ac.begin(), ac.end(), bc.begin(), bc.end());
}

std::ostream& operator<<(std::ostream& out, const SymbolLang& node) {
  if (node.is_leaf()) return out << node.op();
  out << '(' << node.op();
  for (Id c : node.children()) out << ' ' << c;
  return out << ')';
}

}  // namespace tessary::eqsat
