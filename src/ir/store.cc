#include "ir/store.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/arena.h"
#include "base/fault.h"
#include "base/hash.h"
#include "base/id_table.h"
#include "base/recent_cache.h"
#include "base/reserve.h"
#include "base/thread_annotations.h"
#include "ir/packed_key.h"
#include "ir/string_pool.h"
#include "ir/tuning.h"

namespace tessary {

namespace {

// A view of the key that `decoded` holds (any kind but Stage), its texts
// taken from `strings`; its entries and descriptor are written into
// `entries` and `descriptor`, which must outlive it.
KeyView view_of(const DecodedKey& decoded, std::span<const std::string_view> strings,
                std::vector<ParamEntryView>& entries, DescriptorView& descriptor) {
  entries.clear();
  for (const DecodedParam& p : decoded.params) {
    entries.push_back(ParamEntryView{strings[p.key], param_view(p, strings)});
  }
  if (decoded.kind == NodeKind::kExternal) {
    for_each_required_field(
        [&](std::size_t i, std::string_view& field) { field = strings[decoded.descriptor[i]]; },
        descriptor);
    descriptor.preprocessing_ref.reset();
    if (decoded.has_preprocessing_ref)
      descriptor.preprocessing_ref = strings[decoded.preprocessing_ref];
  }
  return KeyView::ordered(decoded.kind,
                          has_name(decoded.kind) ? strings[decoded.name] : std::string_view(),
                          &descriptor, decoded.inputs, entries);
}

bool eq_bytes_equal(const std::uint8_t* record, const std::string& eq) {
  const auto stored = record_eq_bytes(record);
  return stored.size() == eq.size() &&
         (eq.empty() || std::memcmp(stored.data(), eq.data(), eq.size()) == 0);
}

}  // namespace

// Every change appends: a failed allocation (or a cancelled fill) leaves each
// key interned so far whole, so only other exceptions poison the lock.
//
// Node keys live packed in an arena; `records` points at node i's record and
// `index` finds a record by the SipHash of its equality bytes, so each key is
// stored exactly once. The hash keys are drawn per store, so colliding key
// sets cannot be prepared in advance.
struct GraphStore::State {
  struct Inner {
    SipKey key = SipKey::random();
    StringPool strings{SipKey::random()};
    ByteArena arena;
    std::vector<const std::uint8_t*> records;
    IdTable index;
    NodeIds outputs;
    std::vector<bool> marked;  // marked[id]: id is in outputs (grown on demand)
    PackedKey scratch;         // reused encoding buffer

    // The id of `node`, packed in `packed`, appending it when no equal key is
    // stored. `pooled`: every string of `packed` is in the pool (it was
    // packed adding them, or found them all), and `hash` is its hash.
    // Otherwise no equal key can be stored, and `node` is packed again,
    // adding its strings.
    template <typename Key>
    NodeId find_or_append(const Key& node, PackedKey& packed, bool pooled, std::uint64_t hash) {
      const std::uint64_t count = records.size();
      if (!pooled) {
        (void)pack_key(node, strings, /*insert=*/true, packed);
        hash = siphash13(key, packed.eq);
      }
      // One probe finds the key or the empty slot a new one takes. Growing
      // the index for it changes no lookup, so it may come first.
      const IdTable::Probe probe = index.locate(
          hash, [&](std::uint32_t id) { return eq_bytes_equal(records[id], packed.eq); });
      if (probe.id) return NodeId{*probe.id};
      if (count >= UINT32_MAX - 1) fault("graph store is full");
      // Grow before anything changes, so a failed allocation leaves no
      // trace but unused arena bytes and a larger index.
      reserve_one_more(records, 64);
      std::uint8_t* dst = arena.allocate(record_size(packed));
      write_record(packed, dst);
      index.insert_at(probe, static_cast<std::uint32_t>(count));
      records.push_back(dst);
      return NodeId{count};
    }

    // Packs `node` without adding strings, then finds or appends it.
    template <typename Key>
    NodeId find_or_append(const Key& node) {
      const bool pooled = pack_key(node, strings, /*insert=*/false, scratch);
      return find_or_append(node, scratch, pooled, pooled ? siphash13(key, scratch.eq) : 0);
    }

    // Packs `node` adding its strings, then finds or appends it: one packing
    // where the other form packs a new key twice. Adding the strings first is
    // harmless: a key found has all its strings pooled already.
    template <typename Key>
    NodeId pool_and_find_or_append(const Key& node) {
      (void)pack_key(node, strings, /*insert=*/true, scratch);
      return find_or_append(node, scratch, true, siphash13(key, scratch.eq));
    }

    // See GraphStore::intern: the inputs are checked first.
    // The first of `inputs` that names no node, if any.
    std::optional<BadNodeId> first_bad_input(std::span<const NodeId> inputs) const {
      for (const NodeId input : inputs) {
        if (input >= records.size()) return BadNodeId{input};
      }
      return std::nullopt;
    }

    template <typename Key>
    Result<NodeId, BadNodeId> intern_checked(const Key& key) {
      if (const auto bad = first_bad_input(key.inputs())) return Err(*bad);
      return find_or_append(key);
    }

    // intern_checked packing `key` once, adding its strings (see
    // pool_and_find_or_append): for keys mostly new to the store.
    template <typename Key>
    Result<NodeId, BadNodeId> intern_pooling(const Key& key) {
      if (const auto bad = first_bad_input(key.inputs())) return Err(*bad);
      return pool_and_find_or_append(key);
    }

    // See Bulk::prepare.
    template <typename Key>
    void prepare(const Key& node, PreparedKey& out) {
      (void)pack_key(node, strings, /*insert=*/true, out.packed);
      out.hash = siphash13(key, out.packed.eq);
      index.prefetch(out.hash);
    }

    // intern_checked for a key prepared earlier.
    template <typename Key>
    Result<NodeId, BadNodeId> intern_prepared(const Key& node, PreparedKey& prepared) {
      if (const auto bad = first_bad_input(node.inputs())) return Err(*bad);
      return find_or_append(node, prepared.packed, true, prepared.hash);
    }

    // See GraphStore::mark_output.
    Result<void, BadNodeId> mark(NodeId id) {
      if (id >= records.size()) return Err(BadNodeId{id});
      if (id >= marked.size()) marked.resize(records.size(), false);
      if (!marked[id]) {
        reserve_one_more(outputs, 8);
        outputs.push_back(id);  // cannot throw: capacity is there
        marked[id] = true;
      }
      return {};
    }

    // Interns `keys` in order; see GraphStore::intern_sequence.
    Result<std::vector<NodeId>, BadNodeId> intern_sequence(std::span<const NodeKey> keys,
                                                           Cancel& cancel) {
      std::vector<NodeId> ids;
      ids.reserve(keys.size());
      // While every key so far got its own position as its id (the store
      // was empty and nothing repeated), positions are ids, so the keys a
      // little further on can be packed and hashed early and their index
      // slots fetched while the current key is interned. Packing pools a
      // key's strings; the pool's contents never show in what a store
      // returns, and strings pooled later never change the bytes of a key
      // packed earlier, so a prepared key stays valid.
      bool positions_are_ids = records.empty();
      if (positions_are_ids) {
        // Grown before anything changes; the keys are already in memory, so
        // their count sizes nothing beyond what the caller holds.
        records.reserve(keys.size());
        index.reserve(keys.size());
      }
      constexpr std::size_t kAhead = StoreTuning::kSequenceLookahead;
      std::array<PreparedKey, kAhead + 1> ring;
      auto prepare_at = [&](std::size_t j) { prepare(keys[j], ring[j % ring.size()]); };
      if (positions_are_ids) {
        for (std::size_t j = 0; j < std::min(kAhead, keys.size()); ++j) prepare_at(j);
      }
      NodeIds inputs;
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const NodeKey& key = keys[i];
        bool unchanged = true;
        for (const NodeId p : key.inputs()) {
          if (p >= i) return Err(BadNodeId{p});
          unchanged = unchanged && ids[p] == p;
        }
        NodeId id;
        if (positions_are_ids) {
          if (i + kAhead < keys.size()) prepare_at(i + kAhead);
          PreparedKey& p = ring[i % ring.size()];
          id = find_or_append(key, p.packed, true, p.hash);
          positions_are_ids = id == i;
        } else if (unchanged) {
          id = pool_and_find_or_append(key);
        } else {
          inputs.clear();
          for (const NodeId p : key.inputs()) inputs.push_back(ids[p]);
          id = pool_and_find_or_append(key.with_inputs(inputs));
        }
        ids.push_back(id);
        cancel.check();
      }
      return ids;
    }
  };

  PoisonGuarded<Inner> inner;

  // The const side of `inner`, for the store's read-only methods.
  const PoisonGuarded<Inner>& reading() const { return inner; }
};

GraphStore::GraphStore() : state_(std::make_unique<State>()) {}
GraphStore::~GraphStore() = default;
GraphStore::GraphStore(GraphStore&& other) noexcept = default;
GraphStore& GraphStore::operator=(GraphStore&& other) noexcept = default;

template <typename Key>
Result<NodeId, BadNodeId> GraphStore::intern_key(const Key& key) {
  return state_->inner.with_whole(kStorePoisoned,
                                  [&](State::Inner& s) { return s.intern_checked(key); });
}

Result<std::vector<NodeId>, BadNodeId> GraphStore::intern_sequence(std::span<const NodeKey> keys,
                                                                   Cancel& cancel) {
  return state_->inner.with_whole(kStorePoisoned,
                                  [&](State::Inner& s) { return s.intern_sequence(keys, cancel); });
}

Result<NodeId, BadNodeId> GraphStore::intern(const NodeKey& key) { return intern_key(key); }

Result<NodeId, BadNodeId> GraphStore::intern(const KeyView& key) { return intern_key(key); }

Result<void, BadNodeId> GraphStore::mark_output(NodeId id) {
  return state_->inner.with_whole(kStorePoisoned, [&](State::Inner& s) { return s.mark(id); });
}

Result<NodeId, BadNodeId> GraphStore::Bulk::intern(const KeyView& key) {
  return static_cast<State::Inner*>(inner_)->intern_pooling(key);
}

Result<NodeId, BadNodeId> GraphStore::Bulk::intern(const NodeKey& key) {
  return static_cast<State::Inner*>(inner_)->intern_checked(key);
}

Result<NodeId, BadNodeId> GraphStore::Bulk::intern(const KeyWithInputs& key) {
  return static_cast<State::Inner*>(inner_)->intern_pooling(key);
}

Result<NodeId, BadNodeId> GraphStore::Bulk::intern(const StageView& key) {
  return static_cast<State::Inner*>(inner_)->intern_pooling(key);
}

void GraphStore::Bulk::reserve(std::size_t nodes) {
  auto* s = static_cast<State::Inner*>(inner_);
  s->records.reserve(nodes);
  s->index.reserve(nodes);
}

void GraphStore::Bulk::prepare(const KeyView& key, PreparedKey& out) {
  static_cast<State::Inner*>(inner_)->prepare(key, out);
}

void GraphStore::Bulk::prepare(const NodeKey& key, PreparedKey& out) {
  static_cast<State::Inner*>(inner_)->prepare(key, out);
}

Result<NodeId, BadNodeId> GraphStore::Bulk::intern_prepared(const KeyView& key,
                                                            PreparedKey& prepared) {
  return static_cast<State::Inner*>(inner_)->intern_prepared(key, prepared);
}

Result<NodeId, BadNodeId> GraphStore::Bulk::intern_prepared(const NodeKey& key,
                                                            PreparedKey& prepared) {
  return static_cast<State::Inner*>(inner_)->intern_prepared(key, prepared);
}

Result<void, BadNodeId> GraphStore::Bulk::mark_output(NodeId id) {
  return static_cast<State::Inner*>(inner_)->mark(id);
}

void GraphStore::fill(const std::function<void(Bulk&)>& fill) {
  state_->inner.with_whole(kStorePoisoned, [&](State::Inner& s) {
    Bulk bulk(&s);
    fill(bulk);
  });
}

NodeIds GraphStore::outputs() const {
  return state_->reading().with(kStorePoisoned,
                                [](const State::Inner& s) -> NodeIds { return s.outputs; });
}

std::uint64_t GraphStore::node_count() const {
  return state_->reading().with(
      kStorePoisoned, [](const State::Inner& s) -> std::uint64_t { return s.records.size(); });
}

Result<void, BadNodeId> GraphStore::check_ids(std::span<const NodeId> ids) const {
  const std::uint64_t count = node_count();
  for (const NodeId id : ids) {
    if (id >= count) return Err(BadNodeId{id});
  }
  return {};
}

Snapshot GraphStore::snapshot() const {
  return state_->reading().with(kStorePoisoned, [&](const State::Inner& s) -> Snapshot {
    Snapshot snap;
    snap.nodes.reserve(s.records.size());
    for (const std::uint8_t* record : s.records)
      snap.nodes.push_back(unpack_key(record, s.strings));
    snap.outputs = s.outputs;
    return snap;
  });
}

std::vector<NodeKey> GraphStore::snapshot_from(NodeId start, Cancel& cancel) const {
  return state_->reading().with(kStorePoisoned, [&](const State::Inner& s) -> std::vector<NodeKey> {
    std::vector<NodeKey> nodes;
    if (start >= s.records.size()) return nodes;
    nodes.reserve(s.records.size() - start);
    for (std::size_t i = start; i < s.records.size(); ++i) {
      nodes.push_back(unpack_key(s.records[i], s.strings));
      cancel.check();
    }
    return nodes;
  });
}

void GraphStore::visit_keys_from(
    NodeId start, const std::function<void(NodeId, NodeKey&&, std::string_view)>& visit,
    Cancel& cancel) const {
  state_->reading().with(kStorePoisoned, [&](const State::Inner& s) {
    const std::span<const std::string_view> strings = s.strings.views();
    std::string_view fields;
    for (std::size_t i = start; i < s.records.size(); ++i) {
      NodeKey key = unpack_key(s.records[i], strings, fields);
      visit(i, std::move(key), fields);
      cancel.check();
    }
  });
}

NodeIds GraphStore::visit_nodes(const std::function<void(NodeId, const NodeKey&)>& visit) const {
  return state_->reading().with(kStorePoisoned, [&](const State::Inner& s) -> NodeIds {
    for (std::size_t i = 0; i < s.records.size(); ++i) {
      visit(i, unpack_key(s.records[i], s.strings));
    }
    return s.outputs;
  });
}

NodeIds GraphStore::visit_tokens(
    const std::function<void(NodeId, std::string_view, std::span<const NodeId>, std::uint64_t&)>&
        op,
    const std::function<void(NodeId, const KeyView&)>& first,
    const std::function<void(NodeId, NodeKey&&)>& whole,
    const std::function<void(NodeId, NodeId, std::span<const NodeId>)>& repeat) const {
  return state_->reading().with(kStorePoisoned, [&](const State::Inner& s) -> NodeIds {
    // Graphs repeat a few signatures (stored bytes of everything but the
    // inputs) on most of their nodes: an op's token is made once per cached
    // signature. Boundary signatures are all remembered: a boundary node
    // whose signature an earlier node had is handed over as that node's
    // repeat, without rebuilding its key, and any other comes as the first
    // of its signature. Records encode keys canonically, so equal signatures
    // are exactly keys equal but for their inputs. The signatures are views
    // of the records, which stay put while the lock is held; they are
    // hashed with a secret key, since they come from user data.
    struct CachedToken {
      std::string token;
      std::uint64_t memo = 0;
    };
    RecentCache<CachedToken, std::string_view> tokens(s.records.size(),
                                                      StoreTuning::kVisitCacheSlots);
    IdTable signature_index;
    std::vector<std::pair<std::string_view, NodeId>> signatures;
    const SipKey& signature_key = SipKey::call_tables_key();
    RecordParts parts;
    // An op token the cache lacks is written from a view of the decoded
    // record, as is the view a first boundary key comes as.
    const std::span<const std::string_view> strings = s.strings.views();
    DecodedKey decoded;
    std::vector<ParamEntryView> entries;
    DescriptorView descriptor;
    auto view_at = [&](const std::uint8_t* record) {
      if (!decode_record(record, strings, decoded)) fault("stored record does not decode");
      return view_of(decoded, strings, entries, descriptor);
    };
    std::string token;
    for (std::size_t i = 0; i < s.records.size(); ++i) {
      const std::uint8_t* record = s.records[i];
      if (!read_record_parts(record, parts)) {
        whole(i, unpack_key(record, s.strings));
        continue;
      }
      const std::string_view fields(reinterpret_cast<const char*>(parts.fields.data()),
                                    parts.fields.size());
      if (parts.kind == NodeKind::kOp) {
        const std::size_t slot = tokens.slot_of(fields);
        CachedToken* cached = tokens.find(fields, slot);
        if (cached == nullptr) {
          const KeyView view = view_at(record);
          token.clear();
          append_op_token(token, view.name(), view.params());
          cached = &tokens.put(fields, slot, CachedToken{token, 0});
        }
        op(i, cached->token, parts.inputs.span(), cached->memo);
        continue;
      }
      const std::uint64_t h = siphash13(signature_key, fields);
      const auto earlier =
          signature_index.find(h, [&](std::uint32_t k) { return signatures[k].first == fields; });
      if (earlier) {
        repeat(i, signatures[*earlier].second, parts.inputs.span());
        continue;
      }
      if (signatures.size() >= std::numeric_limits<std::uint32_t>::max()) {
        fault("too many boundary signatures");
      }
      first(i, view_at(record));
      signature_index.insert(h, static_cast<std::uint32_t>(signatures.size()));
      signatures.emplace_back(fields, i);
    }
    return s.outputs;
  });
}

NodeRecords GraphStore::records() const {
  return state_->reading().with(kStorePoisoned, [](const State::Inner& s) {
    const auto strings = s.strings.views();
    return NodeRecords(s.records, std::vector<std::string_view>(strings.begin(), strings.end()),
                       s.outputs);
  });
}

StoreFootprint GraphStore::footprint() const {
  return state_->reading().with(kStorePoisoned, [&](const State::Inner& s) -> StoreFootprint {
    StoreFootprint f;
    f.record_bytes = s.arena.reserved_bytes();
    f.table_bytes = s.records.capacity() * sizeof(void*) + s.index.capacity_bytes() +
                    s.outputs.capacity() * sizeof(NodeId);
    return f;
  });
}

void GraphStore::poison_for_testing() { state_->inner.poison_for_testing(); }

std::pair<SipKey, SipKey> GraphStore::hash_keys_for_testing() const {
  return state_->reading().with(
      kStorePoisoned, [](const State::Inner& s) { return std::pair(s.key, s.strings.key()); });
}

}  // namespace tessary
