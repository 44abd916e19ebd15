#include "eqsat/op_index.h"

#include <bit>

#include "base/fault.h"
#include "base/hash.h"

namespace tessary::eqsat {
namespace {

std::uint64_t op_hash(GlobalSymbol op) { return fx_mix(0, op.value()) >> 32; }

}  // namespace

std::optional<std::uint32_t> OpBuckets::find_bucket(GlobalSymbol op) const {
  if (!last_op_.is_null() && op == last_op_) return last_bucket_;
  return table_.find(op_hash(op), [&](std::uint32_t b) { return ops_[b] == op; });
}

std::uint32_t OpBuckets::bucket(GlobalSymbol op) {
  std::uint32_t b;
  if (const auto found = find_bucket(op)) {
    b = *found;
  } else {
    b = static_cast<std::uint32_t>(ops_.size());
    ops_.push_back(op);
    ids_.emplace_back();
    dirty_.push_back(0);
    counts_.emplace_back();
    table_.insert(op_hash(op), b);
  }
  last_op_ = op;
  last_bucket_ = b;
  return b;
}

void OpBuckets::add(GlobalSymbol op, std::size_t arity, Id id) {
  const std::uint32_t b = bucket(op);
  ids_[b].push_back(id);
  for (auto& [a, count] : counts_[b]) {
    if (a == arity) {
      ++count;
      return;
    }
  }
  counts_[b].emplace_back(arity, 1);
}

void OpBuckets::remove_node(GlobalSymbol op, std::size_t arity) {
  if (const auto b = find_bucket(op)) {
    for (auto& [a, count] : counts_[*b]) {
      if (a == arity && count > 0) {
        --count;
        return;
      }
    }
  }
  fault("e-graph node count of an operator drops below zero");
}

std::uint64_t OpBuckets::node_count(GlobalSymbol op, std::size_t arity) const {
  if (const auto b = find_bucket(op)) {
    for (const auto& [a, count] : counts_[*b]) {
      if (a == arity) return count;
    }
  }
  return 0;
}

void OpBuckets::mark_dirty(GlobalSymbol op) {
  const auto b = find_bucket(op);
  if (!b || dirty_[*b]) return;
  dirty_[*b] = 1;
  dirty_list_.push_back(*b);
}

void OpBuckets::canonicalize(UnionFind& unionfind, std::vector<bool>& seen) {
  for (std::uint32_t b : dirty_list_) {
    std::vector<Id>& ids = ids_[b];
    std::size_t kept = 0;
    for (Id id : ids) {
      const Id root = unionfind.find_mut(id);
      if (seen[root.index()]) continue;
      seen[root.index()] = true;
      ids[kept++] = root;
    }
    ids.resize(kept);
    for (Id id : ids) seen[id.index()] = false;
    dirty_[b] = 0;
  }
  dirty_list_.clear();
}

std::span<const Id> OpBuckets::classes_with(GlobalSymbol op) const {
  const auto b = find_bucket(op);
  if (!b) return {};
  return ids_[*b];
}

std::size_t OpBuckets::capacity_bytes() const {
  std::size_t bytes = table_.capacity_bytes() + ops_.capacity() * sizeof(GlobalSymbol) +
                      ids_.capacity() * sizeof(std::vector<Id>) + dirty_.capacity() +
                      dirty_list_.capacity() * sizeof(std::uint32_t) +
                      counts_.capacity() * sizeof(counts_[0]);
  for (const auto& v : ids_) bytes += v.capacity() * sizeof(Id);
  for (const auto& v : counts_) bytes += v.capacity() * sizeof(v[0]);
  return bytes;
}

}  // namespace tessary::eqsat
