#include "eqsat/egraph.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "base/fault.h"
#include "base/two_threads.h"
#include "eqsat/tuning.h"

namespace tessary::eqsat {
void EGraph::invalid_id(Id id) { fault("Invalid id " + to_string(id)); }

EGraph& EGraph::operator=(EGraph&& other) noexcept {
  // Member by member, the node pool would go before the classes whose lists
  // it holds; destroying this e-graph whole keeps the order right.
  if (this != &other) {
    this->~EGraph();
    ::new (this) EGraph(std::move(other));
  }
  return *this;
}

void EGraph::append_parent(EClass& eclass, std::uint32_t entry, Id id) {
  if (parent_cells_.size() >= kNone) fault("e-graph parent list is full");
  const auto cell = static_cast<std::uint32_t>(parent_cells_.size());
  parent_cells_.emplace_back(entry, id, eclass.parent_head_);
  eclass.parent_head_ = cell;
  if (eclass.parent_tail_ == kNone) eclass.parent_tail_ = cell;
  ++eclass.parent_count_;
}

Id EGraph::add(const SymbolLang& enode) {
  SymbolLang canonical = enode;
  for (Id& child : canonical.children_mut()) {
    child = unionfind_.find(child);
    // A new node touches its children's records: overlap those loads with the probe.
    if (child.index() < classes_.size()) classes_.prefetch(child.index());
  }
  const Memo::Probe probe = memo_.locate(canonical);
  if (probe.index) return find(memo_.entry(*probe.index).id);

  // A new node: check every child before changing anything, so a fault leaves
  // no half-added node.
  for (Id child : canonical.children()) {
    if (class_at(child) == nullptr) invalid_id(child);
  }
  if (unionfind_.size() >= kNone) fault("e-graph is full");
  const Id fresh(static_cast<std::uint32_t>(unionfind_.size()));
  const std::uint32_t entry = memo_.insert_at(probe, canonical, fresh);
  const Id id = unionfind_.make_set();
  if (id != fresh)
    fault("union-find handed out id " + to_string(id) + ", expected " + to_string(fresh));
  add_class(std::move(canonical), entry, id);
  return id;
}

void EGraph::add_class(SymbolLang&& node, std::uint32_t entry, Id id) {
  for (Id child : node.children()) append_parent(*class_mut(child), entry, id);
  pending_.push_back(Pending{entry, id});

  EClass& eclass = classes_.emplace_back();
  eclass.id_ = id;
  ++class_count_;
  op_buckets_.add(node.op(), node.arity(), id);
  eclass.nodes_.push_back(std::move(node), node_pool_);
  clean_ = false;
}

void EGraph::reserve(std::size_t nodes) {
  memo_.reserve(nodes);
  unionfind_.reserve(nodes);
}

std::optional<Id> EGraph::lookup(const SymbolLang& enode) const {
  SymbolLang canonical = enode;
  for (Id& child : canonical.children_mut()) child = unionfind_.find(child);
  const auto stored = memo_.find(canonical);
  if (!stored) return std::nullopt;
  return find(*stored);
}

bool EGraph::union_classes(Id a, Id b) { return perform_union(a, b); }

bool EGraph::perform_union(Id a, Id b) {
  clean_ = false;
  Id root = find_mut(a);
  Id absorbed = find_mut(b);
  if (root == absorbed) return false;

  const EClass* first = class_at(root);
  const EClass* second = class_at(absorbed);
  if (first == nullptr || second == nullptr) {
    fault("union of a class that is not stored: " + to_string(first ? absorbed : root));
  }
  // The class with more parent entries survives; a tie keeps the first argument.
  if (first->parent_count_ < second->parent_count_) std::swap(root, absorbed);
  if (class_at(root)->id_ != root) {
    fault("class stored under " + to_string(root) + " has id " + to_string(class_at(root)->id_));
  }

  unionfind_.set_parent(absorbed, root);
  merged_since_rebuild_ = true;
  EClass& kept = *class_mut(root);
  EClass& absorbed_record = *class_mut(absorbed);
  EClass removed = std::move(absorbed_record);
  absorbed_record.id_ = Id{EClass::kNone};
  absorbed_record.parent_head_ = absorbed_record.parent_tail_ = EClass::kNone;
  absorbed_record.parent_count_ = 0;
  --class_count_;

  // The removed class's entries in creation order: walk newest-first, then reverse.
  const std::size_t first_new = pending_.size();
  for (std::uint32_t c = removed.parent_head_; c != kNone; c = parent_cells_[c].next) {
    pending_.push_back(Pending{parent_cells_[c].entry, parent_cells_[c].id});
  }
  std::reverse(pending_.begin() + static_cast<std::ptrdiff_t>(first_new), pending_.end());
  for (const SymbolLang& n : removed.nodes_.span()) op_buckets_.mark_dirty(n.op());

  // Concatenate onto the longer node list; on equal lengths the root's stays first.
  if (kept.nodes_.size() < removed.nodes_.size()) {
    removed.nodes_.append(std::move(kept.nodes_), node_pool_);
    kept.nodes_.take_over(std::move(removed.nodes_), node_pool_);
  } else {
    kept.nodes_.append(std::move(removed.nodes_), node_pool_);
  }
  // The parent lists by the same rule, relinking in constant time. Lists run
  // newest first, so "a then b" is b's cells followed by a's.
  if (removed.parent_count_ != 0) {
    if (kept.parent_count_ == 0) {
      kept.parent_head_ = removed.parent_head_;
      kept.parent_tail_ = removed.parent_tail_;
    } else if (kept.parent_count_ < removed.parent_count_) {
      // removed's entries, then kept's.
      parent_cells_[kept.parent_tail_].next = removed.parent_head_;
      kept.parent_tail_ = removed.parent_tail_;
    } else {
      // kept's entries, then removed's.
      parent_cells_[removed.parent_tail_].next = kept.parent_head_;
      kept.parent_head_ = removed.parent_head_;
    }
    kept.parent_count_ += removed.parent_count_;
  }
  touched_.push_back(root);
  return true;
}

std::size_t EGraph::process_unions() {
  std::size_t unions = 0;
  // On a small e-graph, which sits in cache, nothing is loaded ahead: that
  // would only cost finds and a hash per entry.
  const bool ahead = size() >= Tuning::kPrefetchDagNodes;
  while (!pending_.empty()) {
    // Two steps ahead: load an entry's node, then, once it is likely loaded,
    // the table slot of its canonical form if that differs (the slot it will
    // be inserted at). Unions below may push entries, which only wastes a
    // prefetch.
    if (ahead && pending_.size() > Tuning::kLookahead) {
      memo_.prefetch_entry(pending_[pending_.size() - 1 - Tuning::kLookahead].entry);
    }
    if (ahead && pending_.size() > Tuning::kLookahead / 2) {
      const SymbolLang& ahead =
          memo_.entry(pending_[pending_.size() - 1 - Tuning::kLookahead / 2].entry).node;
      bool canonical = true;
      for (Id child : ahead.children()) canonical = canonical && unionfind_.find(child) == child;
      if (!canonical) {
        SymbolLang node = ahead;
        for (Id& child : node.children_mut()) child = unionfind_.find(child);
        memo_.prefetch(node);
      }
    }
    const Pending p = pending_.back();
    pending_.pop_back();
    const SymbolLang& created = memo_.entry(p.entry).node;
    bool canonical = true;
    for (Id child : created.children()) canonical = canonical && find_mut(child) == child;
    std::optional<Id> previous;
    if (canonical) {
      // The form is its own memo key, so its entry is the one to replace.
      previous = memo_.replace_id(p.entry, p.id);
    } else {
      SymbolLang node = created;
      for (Id& child : node.children_mut()) child = find_mut(child);
      previous = memo_.insert(node, p.id);
      // The class holding this node now has a stale copy of it.
      touched_.push_back(p.id);
    }
    // The class already recorded for this form goes first, so it stays the
    // root on a parent-count tie.
    if (previous && perform_union(*previous, p.id)) ++unions;
  }
  return unions;
}

void EGraph::rebuild_classes() {
  // Only classes that gained nodes or whose nodes lost a root child can be
  // out of canonical sorted order; every other class already is.
  seen_.resize(unionfind_.size(), false);
  std::vector<Id> roots;
  for (Id id : touched_) {
    const Id root = find_mut(id);
    if (seen_[root.index()]) continue;
    seen_[root.index()] = true;
    roots.push_back(root);
  }
  touched_.clear();
  for (const Id root : roots) seen_[root.index()] = false;

  // Each class is put in order on its own, and nothing merges here, so the
  // children are mapped with read-only finds and a large rebuild splits the
  // classes over two threads. Dropped duplicates are tallied afterwards.
  using Dropped = std::vector<std::pair<GlobalSymbol, std::size_t>>;
  auto canonicalize_classes = [&](std::size_t begin, std::size_t end, Dropped& dropped) {
    for (std::size_t k = begin; k < end; ++k) {
      if (k + Tuning::kLookahead < end) classes_.prefetch(roots[k + Tuning::kLookahead].index());
      EClass* eclass = class_mut(roots[k]);
      if (eclass == nullptr) continue;
      const std::span<SymbolLang> nodes = eclass->nodes_.span();
      for (SymbolLang& node : nodes) {
        for (Id& child : node.children_mut()) child = unionfind_.find(child);
      }
      if (nodes.size() > 1) {
        std::sort(nodes.begin(), nodes.end());
        for (std::size_t i = 1; i < nodes.size(); ++i) {
          if (nodes[i] == nodes[i - 1]) dropped.emplace_back(nodes[i].op(), nodes[i].arity());
        }
        eclass->nodes_.truncate(
            static_cast<std::size_t>(std::unique(nodes.begin(), nodes.end()) - nodes.begin()));
      }
    }
  };
  Dropped dropped;
  Dropped helper_dropped;
  if (roots.size() >= parallel_rebuild_classes_) {
    const std::size_t split = roots.size() / 2;
    run_on_two_threads([&] { canonicalize_classes(0, split, dropped); },
                       [&] { canonicalize_classes(split, roots.size(), helper_dropped); });
  } else {
    canonicalize_classes(0, roots.size(), dropped);
  }
  for (const Dropped* list : {&dropped, &helper_dropped}) {
    for (const auto& [op, arity] : *list) op_buckets_.remove_node(op, arity);
  }
  op_buckets_.canonicalize(unionfind_, seen_);
  refresh_op_index();
}

void EGraph::refresh_op_index() {
  // Drop the ids merged away since the last rebuild, then add the classes
  // created since; no need to visit every class record.
  std::size_t kept = 0;
  for (Id id : op_index_) {
    if (unionfind_.is_root(id)) op_index_[kept++] = id;
  }
  op_index_.resize(kept);
  for (std::size_t i = op_index_upto_; i < unionfind_.size(); ++i) {
    const Id id(static_cast<std::uint32_t>(i));
    if (unionfind_.is_root(id)) op_index_.push_back(id);
  }
  op_index_upto_ = unionfind_.size();
  if (!op_index_.empty()) has_op_index_ = true;
}

std::size_t EGraph::rebuild() {
  std::size_t unions = 0;
  if (merged_since_rebuild_) {
    unions = process_unions();
  } else {
    // Nothing merged: each entry re-inserts its node under the id it already
    // has and unites that id with itself. After a bulk load that skips a
    // visit to every node.
    pending_.clear();
  }
  merged_since_rebuild_ = false;
  rebuild_classes();
  // The pending stack can be as large as the e-graph after a bulk load; do
  // not keep that memory once it is drained.
  if (pending_.capacity() > 4096) std::vector<Pending>().swap(pending_);
  clean_ = true;
  return unions;
}

EGraphMemory EGraph::memory_usage() const {
  EGraphMemory m;
  m.memo = memo_.capacity_bytes();
  for (std::uint32_t i = 0; i < memo_.size(); ++i) {
    const SymbolLang& n = memo_.entry(i).node;
    if (n.arity() > SymbolLang::kInlineChildren) m.memo += n.arity() * sizeof(Id);
  }
  m.classes = classes_.capacity_bytes() + node_pool_.capacity_bytes();
  for (std::size_t i = 0; i < classes_.size(); ++i) {
    const EClass& c = classes_[i];
    for (const SymbolLang& n : c.nodes_.span()) {
      if (n.arity() > SymbolLang::kInlineChildren) m.classes += n.arity() * sizeof(Id);
    }
  }
  m.parents = parent_cells_.capacity_bytes();
  m.union_find = unionfind_.capacity_bytes() + seen_.capacity() / 8;
  m.pending = pending_.capacity() * sizeof(Pending) + touched_.capacity() * sizeof(Id);
  m.op_index = op_index_.capacity() * sizeof(Id) + op_buckets_.capacity_bytes();
  return m;
}

}  // namespace tessary::eqsat
