// IncrementalReducer: keeps a canonical form of a graph up to date while the
// graph is being built. Each step folds only the nodes added since the last
// one (identity ops removed, commutative duplicates found, everything else
// hash-consed); finalize runs the reduction pipeline on the canonical form.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/cancel.h"
#include "base/hash.h"
#include "base/id_table.h"
#include "base/result.h"
#include "ir/key_hash.h"
#include "ir/node.h"
#include "ir/store.h"
#include "optimizer/engine.h"
#include "optimizer/engine_graph.h"
#include "optimizer/pipeline.h"

namespace tessary {

class IncrementalReducer {
 public:
  IncrementalReducer();

  // Consumes `delta`, the store's nodes with ids watermark() onward, in id
  // order. Returns its length, or the first input id that names no consumed
  // node; the keys before that one stay consumed, but total_work() grows only
  // when a step completes.
  // Polls `cancel` between keys: a Cancelled, like a failed allocation,
  // leaves the keys consumed so far consumed whole.
  [[nodiscard]] Result<std::uint64_t, BadNodeId> step(std::span<const NodeKey> delta,
                                                      Cancel& cancel = Cancel::never());
  // The same, keeping the keys it adds to the canonical form instead of
  // copying them: the keys of `delta` are left moved from.
  [[nodiscard]] Result<std::uint64_t, BadNodeId> step(std::vector<NodeKey>&& delta,
                                                      Cancel& cancel = Cancel::never());

  // Consumes the nodes of `store` from watermark() on, as step would a
  // snapshot of them, without the snapshot: each key is folded as it is
  // read, under the store's lock. Keys equal apart from inputs are told by
  // their stored bytes, so each distinct one is hashed once per step (as far
  // as a small cache remembers them).
  [[nodiscard]] Result<std::uint64_t, BadNodeId> step(const GraphStore& store,
                                                      Cancel& cancel = Cancel::never());

  // Reduces the canonical form against the store ids `outputs`, or fails with
  // the first one not below watermark(). Changes nothing.
  [[nodiscard]] Result<Reduced, BadNodeId> finalize(std::span<const std::uint64_t> outputs,
                                                    const RewriteEngine& engine,
                                                    bool maximal_fusion,
                                                    Cancel& cancel = Cancel::never()) const;
  // finalize, then from_reduced on its result, in one pass that builds no
  // keys in between (see reduce_engine_graph_to_store).
  [[nodiscard]] Result<ReductionResult, BadNodeId> finalize_to_store(
      std::span<const std::uint64_t> outputs, const RewriteEngine& engine, bool maximal_fusion,
      Cancel& cancel = Cancel::never()) const;

  // How many store nodes have been consumed; the next step starts there.
  std::uint64_t watermark() const { return remap_.size(); }
  // Store nodes processed by completed steps.
  std::uint64_t total_work() const { return total_work_; }
  // Size of the canonical form.
  std::uint64_t canonical_count() const { return nodes_.size(); }

  // The canonical form: inputs of entry i are earlier canonical indices.
  const std::vector<NodeKey>& nodes() const { return nodes_; }
  // Entry i: the canonical index standing for store node i.
  const std::vector<std::uint64_t>& remap() const { return remap_; }

 private:
  // The engine graph of the canonical form against the store ids `outputs`,
  // or the first of them not below watermark().
  Result<EngineGraph, BadNodeId> engine_graph(std::span<const std::uint64_t> outputs) const;
  // The canonical index of `key` with its inputs replaced by `inputs`, if the
  // form holds it; `hash` is that key's hash.
  std::optional<std::uint32_t> find(const NodeKey& key, std::span<const NodeId> inputs,
                                    std::uint64_t hash) const;
  // Both step overloads; `Key` is const when the keys are only read.
  template <typename Key>
  Result<std::uint64_t, BadNodeId> consume(std::span<Key> delta, Cancel& cancel);
  // What folding a key takes from it apart from its inputs.
  struct Facts {
    std::uint64_t signature;  // hasher_.signature of the key
    bool identity;            // an identity op (is_identity_op)
  };
  // Consumes one store key: its inputs mapped to canonical ones, then
  // folded. Fails, consuming nothing, on an input not consumed yet.
  // `facts()` gives the key's Facts.
  template <typename Key, typename GetFacts>
  Result<void, BadNodeId> consume_one(Key& key, GetFacts&& facts);
  template <typename Key>
  Facts facts_of(const Key& key);
  // The canonical index for store key `key` with canonical `inputs`.
  template <typename Key>
  std::uint64_t fold(Key& key, NodeIds inputs, const Facts& facts);
  // Adds `key` with `inputs` as a new canonical node, moving from `key`
  // unless it is const. `hash` is its hash with `inputs`, `signature_hash`
  // its hash apart from inputs.
  template <typename Key>
  std::uint64_t append(Key& key, NodeIds inputs, std::uint64_t hash, std::uint64_t signature_hash);

  // What the engine graph takes from canonical node i besides its inputs:
  // its symbol and, for a boundary node, its prototype number. Kept as nodes
  // are added, so finalize builds the engine graph without making tokens or
  // hashing keys again.
  struct EngineHead {
    eqsat::GlobalSymbol op;
    std::uint32_t prototype = kNoPrototype;
  };

  // A distinct key apart from inputs among the canonical nodes: the first
  // node with it, and the engine head its nodes share.
  struct Signature {
    std::uint32_t node;
    EngineHead head;
  };

  std::vector<NodeKey> nodes_;
  std::vector<EngineHead> heads_;  // one per entry of nodes_
  std::vector<Signature> signatures_;
  IdTable signature_index_;  // hash apart from inputs -> signature
  // Prototype k: the canonical index of the first node of the k-th boundary
  // signature, numbered in order of first sight as an engine graph numbers
  // them.
  std::vector<std::uint32_t> prototype_nodes_;
  std::vector<std::uint64_t> remap_;
  // Interning table of nodes_: hashes of keys with their canonical inputs,
  // under a key no caller can know (SipKey::call_tables_key).
  IdTable index_;
  KeyHasher hasher_;
  std::string token_;  // scratch for op tokens
  std::uint64_t total_work_ = 0;
};

}  // namespace tessary
