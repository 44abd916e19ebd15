// A substitution: the class id each pattern variable stands for in one match.
// Patterns rarely have more than three variables, so three pairs live inline
// and lookup is a linear scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/small_vec.h"
#include "eqsat/id.h"
#include "eqsat/recexpr.h"

namespace tessary::eqsat {

class Subst {
 public:
  static constexpr std::size_t kInline = 3;
  using Entry = std::pair<Var, Id>;

  Subst() = default;

  // Binds `var` to `id`, replacing an existing binding; returns the replaced id.
  std::optional<Id> insert(Var var, Id id);
  // Binds `var`, which must not be bound yet (a program binds each of its
  // variables once), without looking for an earlier binding.
  void push_unbound(Var var, Id id) { entries_.push_back(Entry{var, id}); }
  std::optional<Id> get(Var var) const;
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // The i-th binding in insertion order.
  const Entry& at(std::size_t i) const { return entries_[i]; }

  friend bool operator==(const Subst& a, const Subst& b) = default;

 private:
  SmallVec<Entry, kInline> entries_;
};

}  // namespace tessary::eqsat
