// Candidate classes per operator: for each operator symbol, the ids of the
// classes that hold a node with it. Kept up to date as classes are created;
// after merges the affected lists are mapped to their roots and deduplicated
// at rebuild, so a search for a pattern rooted at an operator visits only the
// classes that can match.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "base/hash.h"
#include "base/id_table.h"
#include "base/small_vec.h"
#include "eqsat/id.h"
#include "eqsat/pooled_list.h"
#include "eqsat/symbol.h"
#include "eqsat/union_find.h"

namespace tessary::eqsat {

class OpBuckets {
 public:
  // Records a new class whose only node has operator `op` and `arity` children.
  void add(GlobalSymbol op, std::size_t arity, Id id);
  // One node with `op` and `arity` has left the class node lists (a duplicate
  // dropped at rebuild).
  void remove_node(GlobalSymbol op, std::size_t arity);
  // The nodes with `op` and `arity` over all class node lists.
  std::uint64_t node_count(GlobalSymbol op, std::size_t arity) const;
  // The list of `op` may now name absorbed classes.
  void mark_dirty(GlobalSymbol op);
  // Maps every dirty list to roots and drops repeats. `seen` is scratch space
  // with one false entry per id; it is left all false.
  void canonicalize(UnionFind& unionfind, std::vector<bool>& seen);
  // Classes holding `op` as of the last canonicalize.
  std::span<const Id> classes_with(GlobalSymbol op) const;

  std::size_t capacity_bytes() const;

 private:
  // One operator's record. Most operators of a small graph name one class
  // and have one arity, so both lists start inline; longer class lists take
  // their storage from the pool.
  struct Bucket {
    GlobalSymbol op;
    PooledList<Id> ids;
    SmallVec<std::pair<std::size_t, std::uint64_t>, 1> counts;  // (arity, node count)
    bool dirty = false;
  };

  std::optional<std::uint32_t> find_bucket(GlobalSymbol op) const;
  std::uint32_t bucket(GlobalSymbol op);
  // The rare paths of `add`, out of line so that the common one stays short.
  [[gnu::noinline]] std::uint32_t new_bucket(GlobalSymbol op);
  [[gnu::noinline]] static void add_arity(Bucket& bucket_of_op, std::size_t arity);

  std::uint64_t seed_ = fx_process_seed();  // read once here, not per lookup
  IdTable table_;                           // op hash -> bucket
  // Storage of the class lists. Ids need no destructor, so the buckets may
  // go after it (as they do when OpBuckets is assigned to).
  BlockPool<Id> id_pool_;
  std::vector<Bucket> buckets_;  // by bucket
  std::vector<std::uint32_t> dirty_list_;
  // A small direct-mapped cache of recent operators' buckets, by symbol
  // value (0, which no real symbol has, marks an empty entry): a graph's
  // nodes come back to a few dozen operators, which this spares the table
  // probe.
  static constexpr std::size_t kRecentBits = 5;
  static std::size_t recent_slot(GlobalSymbol op) {
    return (op.value() * 0x9E3779B1u) >> (32 - kRecentBits);
  }
  struct Recent {
    std::uint32_t op = 0;
    std::uint32_t bucket = 0;
  };
  std::array<Recent, std::size_t{1} << kRecentBits> recent_{};
};

}  // namespace tessary::eqsat
