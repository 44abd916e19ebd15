// The union-find over class ids: one parent vector indexed by id, where a
// root is its own parent. `find` only reads; `find_mut` halves the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "eqsat/id.h"

namespace tessary::eqsat {

class UnionFind {
 public:
  // Appends a new singleton set; its index is the new id.
  Id make_set() {
    if (parents_.size() >= kFull) full();
    const Id id(static_cast<std::uint32_t>(parents_.size()));
    parents_.push_back(id);
    return id;
  }
  // Makes room for `count` ids in all.
  void reserve(std::size_t count) { parents_.reserve(count); }
  std::size_t size() const { return parents_.size(); }

  // The root of `id` without changing anything. Faults for an id never made.
  Id find(Id id) const {
    check(id);
    while (true) {
      const Id parent = parents_[id.index()];
      if (parent == id) return id;
      id = parent;
    }
  }
  // The root of `id`, pointing every visited element at its grandparent.
  Id find_mut(Id id) {
    check(id);
    while (true) {
      const Id parent = parents_[id.index()];
      if (parent == id) return id;
      const Id grandparent = parents_[parent.index()];
      parents_[id.index()] = grandparent;
      id = grandparent;
    }
  }
  // Whether `id` (which must exist) is its own parent.
  bool is_root(Id id) const { return parents_[id.index()] == id; }
  [[gnu::always_inline]] void prefetch(Id id) const {
    __builtin_prefetch(parents_.data() + id.index());
  }
  // Makes `root` the parent of `absorbed`; both must be roots.
  void set_parent(Id absorbed, Id root);

  std::size_t capacity_bytes() const { return parents_.capacity() * sizeof(Id); }

 private:
  void check(Id id) const {
    if (id.index() >= parents_.size()) out_of_range(id);
  }
  [[noreturn, gnu::cold]] void out_of_range(Id id) const;
  [[noreturn, gnu::cold]] static void full();
  static constexpr std::size_t kFull = UINT32_MAX;  // ids are 32-bit
  std::vector<Id> parents_;
};

}  // namespace tessary::eqsat
