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
  SymbolLang(GlobalSymbol op, std::span<const Id> children)
      : op_(op), arity_(static_cast<std::uint32_t>(children.size())), inline_{} {
    if (arity_ > kInlineChildren) {
      copy_to_heap(children);
      return;
    }
    // Nearly every node lands here: one or two ids, copied one by one rather
    // than through a call to memcpy.
    static_assert(kInlineChildren == 2);
    if (arity_ > 0) inline_[0] = children[0];
    if (arity_ > 1) inline_[1] = children[1];
  }
  SymbolLang(GlobalSymbol op, std::initializer_list<Id> children)
      : SymbolLang(op, std::span<const Id>(children.begin(), children.size())) {}
  // Interns `op` and copies the children; never fails.
  static SymbolLang from_text(std::string_view op, std::span<const Id> children = {}) {
    return SymbolLang(GlobalSymbol(op), children);
  }

  // Copies and moves are inline: e-nodes are copied into and out of tables
  // on every add, and nearly all of them keep their children inline.
  SymbolLang(const SymbolLang& other) : op_(other.op_), arity_(other.arity_) {
    if (arity_ > kInlineChildren) {
      copy_to_heap(other.children());
    } else {
      inline_[0] = other.inline_[0];
      inline_[1] = other.inline_[1];
    }
  }
  SymbolLang(SymbolLang&& other) noexcept : op_(other.op_), arity_(other.arity_) {
    take_children(other);
  }
  SymbolLang& operator=(const SymbolLang& other) {
    if (this != &other) *this = SymbolLang(other);
    return *this;
  }
  SymbolLang& operator=(SymbolLang&& other) noexcept {
    if (this != &other) {
      release();
      op_ = other.op_;
      arity_ = other.arity_;
      take_children(other);
    }
    return *this;
  }
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
  std::uint64_t hash(std::uint64_t seed) const {
    std::uint64_t h = fx_mix(seed, op_.value());
    h = fx_mix(h, arity_);
    for (Id c : children()) h = fx_mix(h, c.value());
    return fx_finish(h);
  }
  std::uint64_t hash() const { return hash(fx_process_seed()); }

  friend bool operator==(const SymbolLang& a, const SymbolLang& b) {
    if (a.op_ != b.op_ || a.arity_ != b.arity_) return false;
    if (a.arity_ > kInlineChildren) return equal_heap_children(a, b);
    static_assert(kInlineChildren == 2);
    return (a.arity_ < 1 || a.inline_[0] == b.inline_[0]) &&
           (a.arity_ < 2 || a.inline_[1] == b.inline_[1]);
  }
  // By operator value, then children lexicographically (a proper prefix first).
  friend std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b);

 private:
  const Id* data() const { return arity_ <= kInlineChildren ? inline_ : heap_; }
  Id* data() { return arity_ <= kInlineChildren ? inline_ : heap_; }
  void release() noexcept {
    if (arity_ > kInlineChildren) delete[] heap_;
    arity_ = 0;
  }
  // With op_ and arity_ already taken from `other`: its children too,
  // leaving it a leaf that owns nothing.
  void take_children(SymbolLang& other) noexcept {
    if (arity_ > kInlineChildren) {
      heap_ = other.heap_;
      other.arity_ = 0;
    } else {
      inline_[0] = other.inline_[0];
      inline_[1] = other.inline_[1];
    }
  }
  // Out of line: nodes of more than two children are rare.
  void copy_to_heap(std::span<const Id> children);
  static bool equal_heap_children(const SymbolLang& a, const SymbolLang& b);

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
