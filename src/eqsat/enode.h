// SymbolLang, the e-node of the engine: an interned operator and an ordered
// list of child class ids. Up to two children live inline, so the common
// leaves, unary and binary ops cost 16 bytes and no heap allocation.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <span>
#include <string_view>

#include "base/hash.h"
#include "eqsat/id.h"
#include "eqsat/symbol.h"

namespace tessary::eqsat {

class SymbolLang {
 public:
  static constexpr std::uint32_t kInlineChildren = 2;

  // A leaf (no children).
  explicit SymbolLang(GlobalSymbol op) noexcept : op_(op), arity_(0), inline_{} {}
  SymbolLang(GlobalSymbol op, std::span<const Id> children);
  SymbolLang(GlobalSymbol op, std::initializer_list<Id> children)
      : SymbolLang(op, std::span<const Id>(children.begin(), children.size())) {}
  // Interns `op` and copies the children; never fails.
  static SymbolLang from_text(std::string_view op, std::span<const Id> children = {}) {
    return SymbolLang(GlobalSymbol(op), children);
  }

  SymbolLang(const SymbolLang& other);
  SymbolLang(SymbolLang&& other) noexcept;
  SymbolLang& operator=(const SymbolLang& other);
  SymbolLang& operator=(SymbolLang&& other) noexcept;
  ~SymbolLang() { release(); }

  GlobalSymbol op() const { return op_; }
  std::size_t arity() const { return arity_; }
  bool is_leaf() const { return arity_ == 0; }
  std::span<const Id> children() const { return {data(), arity_}; }
  std::span<Id> children_mut() { return {data(), arity_}; }
  // Same operator and same number of children (what a pattern node asks for).
  bool matches(const SymbolLang& other) const { return op_ == other.op_ && arity_ == other.arity_; }
  // Multiply-rotate hash over the operator, the child count and each child,
  // started from `seed` and finished (fx_finish). Tables pass
  // fx_process_seed(), read once when they are made.
  std::uint64_t hash(std::uint64_t seed) const;
  std::uint64_t hash() const { return hash(fx_process_seed()); }

  friend bool operator==(const SymbolLang& a, const SymbolLang& b);
  // By operator value, then children lexicographically (a proper prefix first).
  friend std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b);

 private:
  const Id* data() const { return arity_ <= kInlineChildren ? inline_ : heap_; }
  Id* data() { return arity_ <= kInlineChildren ? inline_ : heap_; }
  void release() noexcept {
    if (arity_ > kInlineChildren) delete[] heap_;
    arity_ = 0;
  }

  GlobalSymbol op_;
  std::uint32_t arity_;
  union {
    Id inline_[kInlineChildren];
    Id* heap_;  // owned, `arity_` ids, when arity_ > kInlineChildren
  };
};

inline std::uint64_t hash_value(const SymbolLang& node) { return node.hash(); }

// Writes "op" for a leaf and "(op c1 c2 ...)" otherwise.
std::ostream& operator<<(std::ostream& out, const SymbolLang& node);

}  // namespace tessary::eqsat

template <>
struct std::hash<tessary::eqsat::SymbolLang> {
  std::size_t operator()(const tessary::eqsat::SymbolLang& n) const noexcept { return n.hash(); }
};
