#include "eqsat/union_find.h"

#include <limits>
#include <string>

#include "base/fault.h"

namespace tessary::eqsat {

Id UnionFind::make_set() {
  if (parents_.size() >= std::numeric_limits<std::uint32_t>::max()) {
    fault("union-find is full");
  }
  const Id id(static_cast<std::uint32_t>(parents_.size()));
  parents_.push_back(id);
  return id;
}

void UnionFind::out_of_range(Id id) const {
  fault("index out of bounds: the len is " + std::to_string(parents_.size()) +
        " but the index is " + std::to_string(id.value()));
}

void UnionFind::set_parent(Id absorbed, Id root) {
  check(absorbed);
  check(root);
  parents_[absorbed.index()] = root;
}

}  // namespace tessary::eqsat
