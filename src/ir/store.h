// GraphStore: one IR graph while it is being built. An append-only, interned
// (hash-consed) list of node keys plus the output marks, behind one lock, so
// a store may be shared between threads. Node ids are dense from 0 in order of
// first interning, and every input of node i is smaller than i.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/cancel.h"
#include "base/hash.h"
#include "base/result.h"
#include "ir/key_view.h"
#include "ir/node.h"
#include "ir/node_records.h"
#include "ir/packed_key.h"

namespace tessary {

// The store's error value: an input or output id that names no node.
struct BadNodeId {
  NodeId id;
  friend bool operator==(const BadNodeId& a, const BadNodeId& b) = default;
};

// Deep copies of all nodes and the marks, taken under one lock.
struct Snapshot {
  std::vector<NodeKey> nodes;
  NodeIds outputs;
};

// Memory held by a store, for benchmarks and tests.
struct StoreFootprint {
  std::size_t record_bytes = 0;  // packed keys and strings (arena blocks)
  std::size_t table_bytes = 0;   // node table, hash indexes, string views
};

inline constexpr std::string_view kStorePoisoned = "tessary-core store mutex poisoned";

class GraphStore {
 public:
  GraphStore();
  ~GraphStore();
  GraphStore(GraphStore&& other) noexcept;
  GraphStore& operator=(GraphStore&& other) noexcept;
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  // The id of `key`: an existing node's when an equal key was interned
  // before, else the next id. Fails with the first input id that names no
  // node, leaving the store unchanged.
  [[nodiscard]] Result<NodeId, BadNodeId> intern(const NodeKey& key);
  // The same for a borrowed key; nothing of `key` is kept.
  [[nodiscard]] Result<NodeId, BadNodeId> intern(const KeyView& key);
  // Interns `keys` in order and returns the id each one got. Here a key's
  // inputs are positions in `keys`, each before the key's own position, and
  // stand for the ids those keys got. Fails with the first position that is
  // not earlier; the keys before it stay interned.
  // Polls `cancel` as it goes; a Cancelled keeps the keys interned so far.
  [[nodiscard]] Result<std::vector<NodeId>, BadNodeId> intern_sequence(
      std::span<const NodeKey> keys, Cancel& cancel = Cancel::never());
  // Appends `id` to the marks unless it is already there.
  [[nodiscard]] Result<void, BadNodeId> mark_output(NodeId id);

  // A key packed (its strings pooled) and hashed ahead of its turn.
  struct PreparedKey {
    PackedKey packed;
    std::uint64_t hash = 0;
  };

  // The store's building calls, for a caller holding its lock (see fill).
  class Bulk {
   public:
    // As GraphStore::intern and mark_output.
    [[nodiscard]] Result<NodeId, BadNodeId> intern(const NodeKey& key);
    // These three pool the key's strings before looking it up, which packs a
    // new key once instead of twice: for filling a store with keys that are
    // mostly new to it. A key found has every string pooled already, so the
    // result is the same.
    [[nodiscard]] Result<NodeId, BadNodeId> intern(const KeyView& key);
    [[nodiscard]] Result<NodeId, BadNodeId> intern(const KeyWithInputs& key);
    [[nodiscard]] Result<NodeId, BadNodeId> intern(const StageView& key);
    [[nodiscard]] Result<void, BadNodeId> mark_output(NodeId id);
    // Makes room for `nodes` keys in all, so that appending up to there
    // grows no table. The caller bounds `nodes` by what it holds.
    void reserve(std::size_t nodes);

    // Packs `key` into `out`, pooling its strings, hashes it and starts
    // loading the index slot its lookup begins at, so that interning it a
    // few keys later does not wait for that memory. Pooled strings never
    // show in what a store returns, so preparing a key that is never
    // interned changes nothing visible.
    void prepare(const KeyView& key, PreparedKey& out);
    void prepare(const NodeKey& key, PreparedKey& out);
    // As intern(key), for the `key` that `prepared` was made from; nothing
    // interned since then changes it.
    [[nodiscard]] Result<NodeId, BadNodeId> intern_prepared(const KeyView& key,
                                                            PreparedKey& prepared);
    [[nodiscard]] Result<NodeId, BadNodeId> intern_prepared(const NodeKey& key,
                                                            PreparedKey& prepared);

   private:
    friend class GraphStore;
    explicit Bulk(void* inner) : inner_(inner) {}
    void* inner_;  // the locked State::Inner, a type only store.cc knows
  };
  // Runs `fill` holding the lock once, for a caller that makes many calls in
  // a row (reading a blob). `fill` must not call this store's own methods.
  // If it throws std::bad_alloc or Cancelled, the keys interned so far stay,
  // each one whole; any other exception poisons the store, as a fault inside
  // an operation does.
  void fill(const std::function<void(Bulk&)>& fill);

  NodeIds outputs() const;
  std::uint64_t node_count() const;
  // Fails with the first of `ids`, in order, that names no node. Stores only
  // grow, so ids that pass stay valid.
  [[nodiscard]] Result<void, BadNodeId> check_ids(std::span<const NodeId> ids) const;
  Snapshot snapshot() const;
  // Deep copies of the nodes with ids from `start` on (empty when start >= count).
  // Polls `cancel` once per node.
  std::vector<NodeKey> snapshot_from(NodeId start, Cancel& cancel = Cancel::never()) const;

  // Calls `visit(id, key, fields)` for the nodes with ids from `start` on, in
  // id order, under one lock; `visit` may keep the key. `fields` are the
  // node's stored bytes apart from its inputs, equal for two nodes exactly
  // when their keys are equal apart from inputs, and valid while the store
  // lives; empty for a node whose bytes do not show that (a stage, or a node
  // whose parameters keep the raw bits of a NaN). Polls `cancel` once per
  // node. `visit` must not call back into this store.
  void visit_keys_from(NodeId start,
                       const std::function<void(NodeId, NodeKey&&, std::string_view fields)>& visit,
                       Cancel& cancel = Cancel::never()) const;

  // Calls `visit(id, key)` for every node in id order and returns the marks,
  // all under one lock. `visit` must not call back into this store.
  NodeIds visit_nodes(const std::function<void(NodeId, const NodeKey&)>& visit) const;
  // The same, except that nodes come in four ways, none of which builds a
  // key for a node whose key equals an earlier node's but for its inputs:
  // - an op node comes to `op` as its token and inputs: its key is not
  //   rebuilt, and the token is made once per distinct name and parameters
  //   (as far as a small cache remembers them). `memo` is a word the cache
  //   keeps with the token: zero when the token is new to the cache, and
  //   whatever `op` stored there for an earlier node with the same token
  //   otherwise;
  // - a boundary node whose key no earlier node's equals but for its inputs
  //   comes to `first` as a view, whose texts are this store's pooled
  //   strings: they stay in place while the store lives, the rest of the
  //   view only during the call;
  // - a boundary node whose key equals an earlier node's but for its inputs
  //   comes to `repeat(id, earlier, inputs)`, with `earlier` the first such
  //   node;
  // - a node whose key a view cannot show (a stage, or a node whose
  //   parameters keep the raw bits of a NaN, even an op) comes to `whole`
  //   as its key, which it may keep.
  NodeIds visit_tokens(
      const std::function<void(NodeId, std::string_view token, std::span<const NodeId> inputs,
                               std::uint64_t& memo)>& op,
      const std::function<void(NodeId, const KeyView& key)>& first,
      const std::function<void(NodeId, NodeKey&&)>& whole,
      const std::function<void(NodeId, NodeId earlier, std::span<const NodeId> inputs)>& repeat)
      const;

  // Where the nodes and marks are now, for reading without the lock (see
  // NodeRecords). Costs a copy of one pointer per node and string.
  NodeRecords records() const;

  StoreFootprint footprint() const;

  // Puts the store in the poisoned state, as a fault inside an operation would.
  void poison_for_testing();
  // The keys of the store's node index and of its string pool.
  std::pair<SipKey, SipKey> hash_keys_for_testing() const;

 private:
  struct State;
  // The one interning path behind both `intern`s (defined in store.cc).
  template <typename Key>
  Result<NodeId, BadNodeId> intern_key(const Key& key);

  std::unique_ptr<State> state_;
};

}  // namespace tessary
