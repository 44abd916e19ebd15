#include "eqsat/union_find.h"

#include <string>

#include "base/fault.h"

namespace tessary::eqsat {

void UnionFind::full() { fault("union-find is full"); }

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
