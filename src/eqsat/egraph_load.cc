// Bulk loading of a DAG into an e-graph (EGraph::add_dag).
#include <atomic>
#include <string>

#include "base/fault.h"
#include "base/two_threads.h"
#include "eqsat/egraph.h"
#include "eqsat/tuning.h"

namespace tessary::eqsat {
namespace {

[[noreturn]] void child_after_user(std::size_t node) {
  fault("child of DAG node " + std::to_string(node) + " does not precede it");
}

}  // namespace

std::vector<Id> EGraph::add_dag(std::span<const GlobalSymbol> ops, const DagChildren& children_of,
                                std::size_t parallel_from) {
  const std::size_t n = ops.size();
  if (n == 0) return {};
  if (id_count() != 0) return add_dag_in_order(ops, children_of);
  try {
    if (n >= parallel_from && n < kNone) {
      if (add_new_dag_in_parallel(ops, children_of)) {
        std::vector<Id> ids(n);
        for (std::size_t i = 0; i < n; ++i) ids[i] = Id(static_cast<std::uint32_t>(i));
        return ids;
      }
      *this = EGraph();
    }
    if (n < Tuning::kPrefetchDagNodes) return add_new_dag_in_order(ops, children_of);
    return add_dag_in_order(ops, children_of);
  } catch (...) {
    *this = EGraph();
    throw;
  }
}

// Each add probes the hash-cons table at a random place, a cache miss on a
// large graph, so the loop starts loading the slot of a node a few adds
// ahead. A child not added yet is assumed to get the next fresh id (true
// unless an add finds an equal node); a wrong guess only wastes the prefetch.
std::vector<Id> EGraph::add_dag_in_order(std::span<const GlobalSymbol> ops,
                                         const DagChildren& children_of) {
  const std::size_t n = ops.size();
  std::vector<Id> ids;
  ids.reserve(n);
  reserve(memo_.size() + n);
  std::vector<Id> children;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t ahead = i + Tuning::kLookahead;
    if (ahead < n) {
      const std::span<const std::uint32_t> next = children_of(ahead);
      if (next.size() <= SymbolLang::kInlineChildren) {
        children.clear();
        for (const std::uint32_t c : next) {
          children.push_back(c < i ? ids[c] : Id(static_cast<std::uint32_t>(id_count() + (c - i))));
        }
        prefetch_node(SymbolLang(ops[ahead], children));
      }
    }
    children.clear();
    for (const std::uint32_t c : children_of(i)) {
      if (c >= i) child_after_user(i);
      children.push_back(ids[c]);
    }
    ids.push_back(add(SymbolLang(ops[i], children)));
  }
  return ids;
}

// An empty e-graph given a small DAG. No merge happens during a load, so
// every id handed out stays its own root: a child needs no find, its class
// is stored under it, and a node found present is in the class
// its entry names. The table of a small graph sits in cache, so no slot is
// loaded ahead. Builds what `add` would, node by node, with less work each.
std::vector<Id> EGraph::add_new_dag_in_order(std::span<const GlobalSymbol> ops,
                                             const DagChildren& children_of) {
  const std::size_t n = ops.size();
  std::vector<Id> ids;
  ids.reserve(n);
  reserve(n);
  pending_.reserve(n);
  SmallVec<Id, SymbolLang::kInlineChildren> children;
  for (std::size_t i = 0; i < n; ++i) {
    children.clear();
    for (const std::uint32_t c : children_of(i)) {
      if (c >= i) child_after_user(i);
      children.push_back(ids[c]);
    }
    SymbolLang node(ops[i], children.span());
    const Memo::Probe probe = memo_.locate(node);
    if (probe.index) {
      ids.push_back(memo_.entry(*probe.index).id);
      continue;
    }
    const Id id = unionfind_.make_set();
    const std::uint32_t entry = memo_.insert_at(probe, node, id);
    add_class(std::move(node), entry, id);
    ids.push_back(id);
  }
  return ids;
}

// The hash-cons half of a parallel load: the table, operator lists and
// pending stack, in a part of their own (moved in after the join: the
// e-graph's members share cache lines, which both threads would otherwise
// write on every node). Stops at the first node found present.
void EGraph::fill_hash_cons_part(std::span<const GlobalSymbol> ops, const DagChildren& children_of,
                                 std::atomic<std::size_t>& present_at, HashConsPart& part) {
  const std::size_t n = ops.size();
  part.memo.reserve(n);
  part.pending.reserve(n);
  std::vector<Id> children;
  auto node_at = [&](std::size_t i) {
    children.clear();
    for (const std::uint32_t c : children_of(i)) {
      if (c >= i) child_after_user(i);
      children.push_back(Id(c));
    }
    return SymbolLang(ops[i], children);
  };
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 1024 == 0 && present_at.load(std::memory_order_relaxed) < n) return;
    if (i + Tuning::kLookahead < n) part.memo.prefetch(node_at(i + Tuning::kLookahead));
    const SymbolLang node = node_at(i);
    const Memo::Probe probe = part.memo.locate(node);
    if (probe.index) {
      present_at.store(i, std::memory_order_relaxed);
      return;
    }
    const Id id(static_cast<std::uint32_t>(i));
    part.memo.insert_at(probe, node, id);
    part.op_buckets.add(ops[i], node.arity(), id);
    part.pending.push_back(Pending{static_cast<std::uint32_t>(i), id});
  }
}

// The class half of a parallel load: the union-find, the classes and their
// parent lists, filled in the e-graph itself. Stops soon after the other
// half finds a node present.
void EGraph::fill_class_part(std::span<const GlobalSymbol> ops, const DagChildren& children_of,
                             const std::atomic<std::size_t>& present_at) {
  const std::size_t n = ops.size();
  std::vector<Id> children;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 1024 == 0 && present_at.load(std::memory_order_relaxed) < n) return;
    if (i + Tuning::kLookahead < n) {
      for (const std::uint32_t c : children_of(i + Tuning::kLookahead)) {
        if (c < i) classes_.prefetch(c);
      }
    }
    children.clear();
    for (const std::uint32_t c : children_of(i)) {
      if (c >= i) child_after_user(i);
      children.push_back(Id(c));
    }
    const Id id = unionfind_.make_set();
    const auto entry = static_cast<std::uint32_t>(i);
    for (const Id child : children) append_parent(*class_mut(child), entry, id);
    EClass& eclass = classes_.emplace_back();
    eclass.id_ = id;
    ++class_count_;
    eclass.nodes_.push_back(SymbolLang(ops[i], children), node_pool_);
  }
}

// With no node present beforehand and every node new, node i gets id i and
// memo entry i, and each child position is its own id. So the hash-cons part
// (the helper thread) and the class part (this thread) can be filled
// independently; the two share only the read-only input and the position of
// the first node found present, if any.
bool EGraph::add_new_dag_in_parallel(std::span<const GlobalSymbol> ops,
                                     const DagChildren& children_of) {
  const std::size_t n = ops.size();
  unionfind_.reserve(n);
  std::atomic<std::size_t> present_at{n};
  HashConsPart part;
  // A fault on one side stops the other soon, as a node found present does.
  auto stopping_other_on_fault = [&present_at](auto fill) {
    return [&present_at, fill] {
      try {
        fill();
      } catch (...) {
        present_at.store(0, std::memory_order_relaxed);
        throw;
      }
    };
  };
  run_on_two_threads(
      stopping_other_on_fault([&] { fill_class_part(ops, children_of, present_at); }),
      stopping_other_on_fault([&] { fill_hash_cons_part(ops, children_of, present_at, part); }));
  if (present_at.load(std::memory_order_relaxed) != n) return false;
  memo_ = std::move(part.memo);
  op_buckets_ = std::move(part.op_buckets);
  pending_ = std::move(part.pending);
  clean_ = false;
  return true;
}

}  // namespace tessary::eqsat
