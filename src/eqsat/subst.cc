#include "eqsat/subst.h"

namespace tessary::eqsat {

std::optional<Id> Subst::insert(Var var, Id id) {
  for (Entry& e : entries_) {
    if (e.first == var) {
      const Id previous = e.second;
      e.second = id;
      return previous;
    }
  }
  entries_.push_back(Entry{var, id});
  return std::nullopt;
}

std::optional<Id> Subst::get(Var var) const {
  for (const Entry& e : entries_) {
    if (e.first == var) return e.second;
  }
  return std::nullopt;
}

}  // namespace tessary::eqsat
