#include "eqsat/op_index.h"

#include <bit>

#include "base/fault.h"
#include "base/hash.h"

namespace tessary::eqsat {
namespace {

// Seeded per process, so the operator values a graph brings cannot be lined up
// to share a probe run.
std::uint64_t op_hash(std::uint64_t seed, GlobalSymbol op) {
  return fx_finish(fx_mix(seed, op.value()));
}

}  // namespace

std::optional<std::uint32_t> OpBuckets::find_bucket(GlobalSymbol op) const {
  const Recent& recent = recent_[recent_slot(op)];
  if (recent.op == op.value() && !op.is_null()) return recent.bucket;
  return table_.find(op_hash(seed_, op), [&](std::uint32_t b) { return buckets_[b].op == op; });
}

std::uint32_t OpBuckets::bucket(GlobalSymbol op) {
  const auto found = find_bucket(op);
  const std::uint32_t b = found ? *found : new_bucket(op);
  recent_[recent_slot(op)] = Recent{op.value(), b};
  return b;
}

std::uint32_t OpBuckets::new_bucket(GlobalSymbol op) {
  const auto b = static_cast<std::uint32_t>(buckets_.size());
  if (buckets_.empty()) buckets_.reserve(16);
  buckets_.push_back(Bucket{op, {}, {}, false});
  table_.insert(op_hash(seed_, op), b);
  return b;
}

void OpBuckets::add(GlobalSymbol op, std::size_t arity, Id id) {
  Bucket& bucket_of_op = buckets_[bucket(op)];
  bucket_of_op.ids.push_back(id, id_pool_);
  for (auto& [a, count] : bucket_of_op.counts) {
    if (a == arity) {
      ++count;
      return;
    }
  }
  add_arity(bucket_of_op, arity);
}

void OpBuckets::add_arity(Bucket& bucket_of_op, std::size_t arity) {
  bucket_of_op.counts.push_back({arity, 1});
}

void OpBuckets::remove_node(GlobalSymbol op, std::size_t arity) {
  if (const auto b = find_bucket(op)) {
    for (auto& [a, count] : buckets_[*b].counts) {
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
    for (const auto& [a, count] : buckets_[*b].counts) {
      if (a == arity) return count;
    }
  }
  return 0;
}

void OpBuckets::mark_dirty(GlobalSymbol op) {
  const auto b = find_bucket(op);
  if (!b || buckets_[*b].dirty) return;
  buckets_[*b].dirty = true;
  dirty_list_.push_back(*b);
}

void OpBuckets::canonicalize(UnionFind& unionfind, std::vector<bool>& seen) {
  for (std::uint32_t b : dirty_list_) {
    PooledList<Id>& list = buckets_[b].ids;
    const std::span<Id> ids = list.span();
    std::size_t kept = 0;
    for (Id id : ids) {
      const Id root = unionfind.find_mut(id);
      if (seen[root.index()]) continue;
      seen[root.index()] = true;
      ids[kept++] = root;
    }
    list.truncate(kept);
    for (Id id : list.span()) seen[id.index()] = false;
    buckets_[b].dirty = false;
  }
  dirty_list_.clear();
}

std::span<const Id> OpBuckets::classes_with(GlobalSymbol op) const {
  const auto b = find_bucket(op);
  if (!b) return {};
  return buckets_[*b].ids.span();
}

std::size_t OpBuckets::capacity_bytes() const {
  std::size_t bytes = table_.capacity_bytes() + id_pool_.capacity_bytes() +
                      buckets_.capacity() * sizeof(Bucket) +
                      dirty_list_.capacity() * sizeof(std::uint32_t);
  for (const Bucket& bucket : buckets_) bytes += bucket.counts.heap_bytes();
  return bytes;
}

}  // namespace tessary::eqsat
