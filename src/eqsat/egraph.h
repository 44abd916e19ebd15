// The e-graph: e-nodes partitioned into equivalence classes, a hash-cons table
// (`memo`) from every e-node form ever inserted to its class, and a union-find
// over class ids. `rebuild` restores congruence after unions.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "base/small_vec.h"
#include "eqsat/chunked_vec.h"
#include "eqsat/enode.h"
#include "eqsat/id.h"
#include "eqsat/memo.h"
#include "eqsat/op_index.h"
#include "eqsat/pooled_list.h"
#include "eqsat/tuning.h"
#include "eqsat/union_find.h"

namespace tessary::eqsat {

class EClass {
 public:
  EClass() = default;
  EClass(EClass&&) noexcept = default;

  // The class's own id, always the root of its union-find set.
  Id id() const { return id_; }
  // Canonical, sorted and free of duplicates after a rebuild.
  std::span<const SymbolLang> nodes() const { return nodes_.span(); }
  // Entries of e-nodes created with this class among their children; they may
  // be stale or repeated (they are work items for merges, never updated).
  std::size_t parent_count() const { return parent_count_; }

 private:
  friend class EGraph;
  static constexpr std::uint32_t kNone = UINT32_MAX;

  PooledList<SymbolLang> nodes_;  // storage from the e-graph's node pool
  Id id_{kNone};                  // kNone marks an id whose class was merged away
  // The parent entries: a list threaded through the e-graph's parent cells,
  // newest first, so adding an entry touches no older cell and a merge
  // concatenates two lists in constant time.
  std::uint32_t parent_head_ = kNone;  // newest entry
  std::uint32_t parent_tail_ = kNone;  // oldest entry
  std::uint32_t parent_count_ = 0;
};

// Bytes held by an e-graph's containers, by part (capacities, not sizes).
struct EGraphMemory {
  std::size_t memo = 0;
  std::size_t classes = 0;
  std::size_t parents = 0;
  std::size_t union_find = 0;
  std::size_t pending = 0;
  std::size_t op_index = 0;
  std::size_t total() const { return memo + classes + parents + union_find + pending + op_index; }
};

class EGraph {
 public:
  EGraph() = default;
  EGraph(EGraph&&) noexcept = default;
  EGraph& operator=(EGraph&& other) noexcept;

  // Adds an e-node whose children are ids of this e-graph and returns the
  // canonical id of its class. An e-node already present returns its class
  // and leaves the e-graph unchanged (a clean e-graph stays clean).
  Id add(const SymbolLang& enode);
  // Makes room for `nodes` e-nodes in all, so that a bulk load does not
  // rehash the hash-cons table as it grows.
  void reserve(std::size_t nodes);

  // The children of node i of a DAG given to add_dag: positions of earlier nodes.
  using DagChildren = std::function<std::span<const std::uint32_t>(std::size_t)>;
  // Adds the nodes of a DAG in order: node i has operator ops[i] and the
  // children `children_of(i)`. The same as calling `add` on each node in turn
  // with its children mapped to the ids returned before; returns those ids.
  //
  // An empty e-graph given at least `parallel_from` nodes is filled on two
  // threads, betting that every node is new (as in a graph whose nodes are
  // all different): one fills the hash-cons table, operator lists and
  // pending stack, the other creates the classes and their parent lists.
  // If a node turns out to be present already, the e-graph is
  // emptied and filled again one node at a time. A child that does not
  // precede its user faults; a fault leaves the e-graph empty when it started so.
  std::vector<Id> add_dag(std::span<const GlobalSymbol> ops, const DagChildren& children_of,
                          std::size_t parallel_from = Tuning::kParallelDagNodes);
  // The root of `id`, read-only. Faults for an id never handed out.
  Id find(Id id) const { return unionfind_.find(id); }
  // The root of `id`, halving the path on the way.
  Id find_mut(Id id) { return unionfind_.find_mut(id); }
  // The canonical class of an e-node, if it is present.
  std::optional<Id> lookup(const SymbolLang& enode) const;
  // Merges the classes of `a` and `b`; true if they were different. Always
  // leaves the e-graph dirty: call `rebuild` before searching.
  bool union_classes(Id a, Id b);
  // Restores congruence and canonical class node lists; returns the number of
  // unions congruence closure performed.
  std::size_t rebuild();
  void set_parallel_rebuild_classes(std::size_t classes) { parallel_rebuild_classes_ = classes; }

  // The class of `id`'s root. Faults with "Invalid id {id}" if none is stored.
  const EClass& operator[](Id id) const {
    const EClass* eclass = class_at(find(id));
    if (eclass == nullptr) invalid_id(id);
    return *eclass;
  }
  // The class stored under root `id`, or null.
  const EClass* class_at(Id id) const {
    if (id.index() >= classes_.size()) return nullptr;
    const EClass& c = classes_[id.index()];
    return c.id_ == id ? &c : nullptr;
  }

  // Entries in the hash-cons table; never decreases.
  std::size_t size() const { return memo_.size(); }
  std::size_t number_of_classes() const { return class_count_; }
  // Ids handed out so far (classes ever created).
  std::size_t id_count() const { return unionfind_.size(); }
  bool is_clean() const { return clean_; }

  // The operator index: every class id present at the last rebuild; null
  // before a rebuild has seen a class.
  const std::vector<Id>* indexed_classes() const { return has_op_index_ ? &op_index_ : nullptr; }
  // The classes that held a node with operator `op` at the last rebuild.
  std::span<const Id> classes_with_op(GlobalSymbol op) const {
    return has_op_index_ ? op_buckets_.classes_with(op) : std::span<const Id>();
  }
  // The nodes with operator `op` and `arity` children over all classes; in a
  // clean e-graph, exactly the nodes a search for that operator can visit.
  std::uint64_t node_count(GlobalSymbol op, std::size_t arity) const {
    return op_buckets_.node_count(op, arity);
  }
  // Calls `fn(const EClass&)` for every current class, in id order.
  template <typename Fn>
  void for_each_class(Fn&& fn) const {
    for (std::size_t i = 0; i < classes_.size(); ++i) {
      if (classes_[i].id_.index() == i) fn(classes_[i]);
    }
  }

  // Hints that `id`'s union-find entry and class record, or the table slot of
  // `enode`, will be read soon; loops over many classes use them to overlap
  // memory latency. They change nothing.
  [[gnu::always_inline]] void prefetch_class(Id id) const {
    if (id.index() >= classes_.size()) return;
    unionfind_.prefetch(id);
    classes_.prefetch(id.index());
  }
  // After `prefetch_class(id)` has had time to land: starts loading the
  // newest entry of the parent list that a merge absorbing the class walks.
  [[gnu::always_inline]] void prefetch_parents(Id id) const {
    if (id.index() >= classes_.size()) return;
    const std::uint32_t head = classes_[id.index()].parent_head_;
    if (head != kNone) parent_cells_.prefetch(head);
  }
  void prefetch_node(const SymbolLang& enode) const { memo_.prefetch(enode); }
  // After `prefetch_node` has had time to land: starts loading the entry.
  void prefetch_node_entry(const SymbolLang& enode) const { memo_.prefetch_entry_of(enode); }

  EGraphMemory memory_usage() const;

 private:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // One parent entry: the memo entry of the e-node as created, and the class
  // it was created in.
  struct ParentCell {
    std::uint32_t entry = 0;
    Id id{};
    std::uint32_t next = kNone;
  };
  struct Pending {
    std::uint32_t entry;
    Id id;
  };

  [[noreturn, gnu::cold]] static void invalid_id(Id id);
  EClass* class_mut(Id root) { return const_cast<EClass*>(class_at(root)); }
  std::vector<Id> add_dag_in_order(std::span<const GlobalSymbol> ops,
                                   const DagChildren& children_of);
  // The same into an empty e-graph, for a DAG of fewer than
  // Tuning::kPrefetchDagNodes nodes.
  std::vector<Id> add_new_dag_in_order(std::span<const GlobalSymbol> ops,
                                       const DagChildren& children_of);
  // False if some node was present already; the e-graph is then half
  // filled and must be emptied.
  bool add_new_dag_in_parallel(std::span<const GlobalSymbol> ops, const DagChildren& children_of);
  // The two halves of that load, one per thread (egraph_load.cc).
  struct HashConsPart {
    Memo memo;
    OpBuckets op_buckets;
    std::vector<Pending> pending;
  };
  static void fill_hash_cons_part(std::span<const GlobalSymbol> ops, const DagChildren& children_of,
                                  std::atomic<std::size_t>& present_at, HashConsPart& part);
  void fill_class_part(std::span<const GlobalSymbol> ops, const DagChildren& children_of,
                       const std::atomic<std::size_t>& present_at);
  void append_parent(EClass& eclass, std::uint32_t entry, Id id);
  // Makes the class of a new node `id`, whose memo entry is `entry` and whose
  // children are roots.
  void add_class(SymbolLang&& node, std::uint32_t entry, Id id);
  void refresh_op_index();
  bool perform_union(Id a, Id b);
  std::size_t process_unions();
  void rebuild_classes();

  UnionFind unionfind_;
  std::vector<Pending> pending_;  // a stack: last in, first out
  Memo memo_;
  // Storage of the class node lists longer than one node. Declared before
  // the classes, so that they are destroyed first.
  BlockPool<SymbolLang> node_pool_;
  ChunkedVec<EClass> classes_;  // by id; merged-away ids keep an empty record
  std::size_t class_count_ = 0;
  ChunkedVec<ParentCell> parent_cells_;
  std::vector<Id> touched_;        // classes whose nodes may be stale or unsorted
  std::vector<bool> seen_;         // scratch, one bit per id, all false between uses
  std::vector<Id> op_index_;       // the single entry of the operator index
  std::size_t op_index_upto_ = 0;  // ids below this were considered for op_index_
  bool has_op_index_ = false;
  OpBuckets op_buckets_;
  bool clean_ = false;
  // A union has merged two classes since the last rebuild. Until one does,
  // every pending entry is a node added with root children under its own id,
  // which the pending loop would leave exactly as it is.
  bool merged_since_rebuild_ = false;
  std::size_t parallel_rebuild_classes_ = Tuning::kParallelRebuildClasses;
};

}  // namespace tessary::eqsat
