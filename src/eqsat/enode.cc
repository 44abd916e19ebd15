#include "eqsat/enode.h"

#include <algorithm>
#include <cstring>
#include <ostream>

#include "base/hash.h"

namespace tessary::eqsat {

SymbolLang::SymbolLang(GlobalSymbol op, std::span<const Id> children)
    : op_(op), arity_(static_cast<std::uint32_t>(children.size())), inline_{} {
  if (arity_ > kInlineChildren) {
    heap_ = new Id[arity_];
    std::copy(children.begin(), children.end(), heap_);
    return;
  }
  // Nearly every node lands here: one or two ids, copied one by one rather
  // than through a call to memcpy.
  static_assert(kInlineChildren == 2);
  if (arity_ > 0) inline_[0] = children[0];
  if (arity_ > 1) inline_[1] = children[1];
}

SymbolLang::SymbolLang(const SymbolLang& other) : SymbolLang(other.op_, other.children()) {}

SymbolLang::SymbolLang(SymbolLang&& other) noexcept : op_(other.op_), arity_(other.arity_) {
  if (arity_ > kInlineChildren) {
    heap_ = other.heap_;
    other.arity_ = 0;  // the moved-from node is a leaf and owns nothing
  } else {
    inline_[0] = other.inline_[0];
    inline_[1] = other.inline_[1];
  }
}

SymbolLang& SymbolLang::operator=(const SymbolLang& other) {
  if (this != &other) *this = SymbolLang(other);
  return *this;
}

SymbolLang& SymbolLang::operator=(SymbolLang&& other) noexcept {
  if (this != &other) {
    release();
    op_ = other.op_;
    arity_ = other.arity_;
    if (arity_ > kInlineChildren) {
      heap_ = other.heap_;
      other.arity_ = 0;
    } else {
      inline_[0] = other.inline_[0];
      inline_[1] = other.inline_[1];
    }
  }
  return *this;
}

std::uint64_t SymbolLang::hash(std::uint64_t seed) const {
  std::uint64_t h = fx_mix(seed, op_.value());
  h = fx_mix(h, arity_);
  for (Id c : children()) h = fx_mix(h, c.value());
  return fx_finish(h);
}

bool operator==(const SymbolLang& a, const SymbolLang& b) {
  if (a.op_ != b.op_ || a.arity_ != b.arity_) return false;
  const auto ac = a.children();
  const auto bc = b.children();
  return std::equal(ac.begin(), ac.end(), bc.begin());
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
