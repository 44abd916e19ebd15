#include "optimizer/incremental.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "base/fault.h"
#include "base/recent_cache.h"
#include "base/reserve.h"
#include "optimizer/pipeline.h"
#include "optimizer/rules.h"
#include "optimizer/symbol_cache.h"
#include "optimizer/tuning.h"

namespace tessary {

IncrementalReducer::IncrementalReducer() : hasher_(SipKey::call_tables_key()) {}

std::optional<std::uint32_t> IncrementalReducer::find(const NodeKey& key,
                                                      std::span<const NodeId> inputs,
                                                      std::uint64_t hash) const {
  return index_.find(hash, [&](std::uint32_t id) {
    const NodeKey& seen = nodes_[id];
    const auto seen_inputs = seen.inputs();
    return std::equal(seen_inputs.begin(), seen_inputs.end(), inputs.begin(), inputs.end()) &&
           same_except_inputs(seen, key);
  });
}

template <typename Key>
IncrementalReducer::Facts IncrementalReducer::facts_of(const Key& key) {
  const Op* op = key.template get_if<Op>();
  return Facts{hasher_.signature(key), op != nullptr && is_identity_op(*op)};
}

template <typename Key>
std::uint64_t IncrementalReducer::fold(Key& key, NodeIds inputs, const Facts& facts) {
  const Op* op = key.template get_if<Op>();
  // An identity op stands for its operand, but only with exactly one operand,
  // as in the engine's identity rules.
  if (facts.identity && inputs.size() == 1) return inputs[0];
  const std::uint64_t signature = facts.signature;
  const std::uint64_t h = hasher_.with_inputs(signature, inputs.span());
  if (const auto found = find(key, inputs, h)) return *found;
  if (op && inputs.size() == 2 && op->params.empty() && is_commutative_op(op->name)) {
    const NodeId swapped[2] = {inputs[1], inputs[0]};
    if (const auto found = find(key, swapped, hasher_.with_inputs(signature, swapped))) {
      return *found;
    }
    // Otherwise recorded in its own operand order.
  }
  return append(key, std::move(inputs), h, signature);
}

template <typename Key>
std::uint64_t IncrementalReducer::append(Key& key, NodeIds inputs, std::uint64_t hash,
                                         std::uint64_t signature_hash) {
  if (nodes_.size() >= UINT32_MAX - 1) fault("incremental reducer is full");
  const auto id = static_cast<std::uint32_t>(nodes_.size());
  // The key's engine head is its signature's (its key apart from inputs); a
  // new signature's is made here, once.
  const auto signature = signature_index_.find(signature_hash, [&](std::uint32_t s) {
    return same_except_inputs(nodes_[signatures_[s].node], key);
  });
  EngineHead head;
  if (signature) {
    head = signatures_[*signature].head;
  } else if (key.kind() == NodeKind::kOp) {
    token_.clear();
    key.append_token(token_);
    head.op = SymbolCache::for_this_thread().symbol_of(token_);
  } else {
    head.prototype = static_cast<std::uint32_t>(prototype_nodes_.size());
    head.op = SymbolCache::for_this_thread().boundary_symbol(head.prototype);
  }
  const bool new_prototype = !signature && head.prototype != kNoPrototype;
  // Room first, so that nothing after the key's copy can fail: the node, its
  // head and its index entries are added together or not at all.
  reserve_one_more(nodes_);
  reserve_one_more(heads_);
  index_.reserve(index_.size() + 1);
  if (!signature) {
    reserve_one_more(signatures_);
    signature_index_.reserve(signature_index_.size() + 1);
  }
  if (new_prototype) reserve_one_more(prototype_nodes_);
  if constexpr (!std::is_const_v<Key>) {
    nodes_.push_back(std::move(key).with_inputs(std::move(inputs)));
  } else if (const Op* op = key.template get_if<Op>()) {
    nodes_.push_back(Op{op->name, op->params, std::move(inputs)});
  } else {
    nodes_.push_back(key.with_inputs(std::move(inputs)));
  }
  heads_.push_back(head);
  index_.insert(hash, id);
  if (!signature) {
    signature_index_.insert(signature_hash, static_cast<std::uint32_t>(signatures_.size()));
    signatures_.push_back(Signature{id, head});
  }
  if (new_prototype) prototype_nodes_.push_back(id);
  return id;
}

Result<std::uint64_t, BadNodeId> IncrementalReducer::step(std::span<const NodeKey> delta,
                                                          Cancel& cancel) {
  return consume(delta, cancel);
}

Result<std::uint64_t, BadNodeId> IncrementalReducer::step(std::vector<NodeKey>&& delta,
                                                          Cancel& cancel) {
  return consume(std::span<NodeKey>(delta), cancel);
}

template <typename Key, typename GetFacts>
Result<void, BadNodeId> IncrementalReducer::consume_one(Key& key, GetFacts&& facts) {
  const auto store_inputs = key.inputs();
  NodeIds inputs;
  inputs.reserve(store_inputs.size());
  for (const NodeId j : store_inputs) {
    if (j >= remap_.size()) return Err(BadNodeId{j});
    inputs.push_back(remap_[j]);
  }
  // A fold that fails by std::bad_alloc adds nothing; one that succeeds is
  // recorded by a push that cannot fail. Either way every key consumed so
  // far is consumed whole, and the next step starts after it.
  reserve_one_more(remap_);
  remap_.push_back(fold(key, std::move(inputs), facts()));
  return {};
}

template <typename Key>
Result<std::uint64_t, BadNodeId> IncrementalReducer::consume(std::span<Key> delta, Cancel& cancel) {
  // Each key adds a remap entry and at most one node: room for all of them
  // now, instead of moving every node so far each time the list doubles.
  reserve_more(remap_, delta.size());
  reserve_more(nodes_, delta.size());
  reserve_more(heads_, delta.size());
  for (Key& key : delta) {
    if (auto consumed = consume_one(key, [&] { return facts_of(key); }); !consumed) {
      return Err(consumed.error());
    }
    cancel.check();
  }
  total_work_ += delta.size();
  return std::uint64_t{delta.size()};
}

Result<std::uint64_t, BadNodeId> IncrementalReducer::step(const GraphStore& store, Cancel& cancel) {
  const std::uint64_t start = watermark();
  const std::uint64_t count = store.node_count();
  if (count > start) {
    // The store only grows: room for the nodes there are now, as consume
    // makes for a delta (more may come before the visit; they fit anyway).
    reserve_more(remap_, count - start);
    reserve_more(nodes_, count - start);
    reserve_more(heads_, count - start);
  }
  // Facts by stored bytes apart from inputs, which equal keys share; the
  // views stay valid while the store lives.
  RecentCache<Facts, std::string_view> recent(count - std::min(count, start),
                                              OptimizerTuning::kStepCacheSlots);
  std::uint64_t consumed = 0;
  std::optional<BadNodeId> bad;
  store.visit_keys_from(
      start,
      [&](NodeId, NodeKey&& key, std::string_view fields) {
        if (bad) return;
        auto facts = [&] {
          if (fields.empty()) return facts_of(key);
          const std::size_t slot = recent.slot_of(fields);
          if (const Facts* cached = recent.find(fields, slot)) return *cached;
          return recent.put(fields, slot, facts_of(key));
        };
        if (auto one = consume_one(key, facts); !one) {
          bad = one.error();
          return;
        }
        ++consumed;
      },
      cancel);
  if (bad) return Err(*bad);
  total_work_ += consumed;
  return consumed;
}

Result<EngineGraph, BadNodeId> IncrementalReducer::engine_graph(
    std::span<const std::uint64_t> outputs) const {
  // The engine graph to_engine_graph would make of nodes_, from the heads.
  EngineGraph graph;
  graph.outputs.reserve(outputs.size());
  for (const std::uint64_t o : outputs) {
    if (o >= remap_.size()) return Err(BadNodeId{o});
    graph.outputs.push_back(static_cast<EngineIndex>(remap_[o]));
  }
  graph.nodes.reserve(nodes_.size());
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    const EngineHead& head = heads_[i];
    EngineNode& node = graph.nodes.emplace_back(
        EngineNode{head.op, head.prototype, {}, head.prototype != kNoPrototype});
    const auto inputs = nodes_[i].inputs();
    node.children.reserve(inputs.size());
    for (const NodeId input : inputs) {
      if (input >= i) fault("canonical input does not precede its user");
      node.children.push_back(static_cast<EngineIndex>(input));
    }
  }
  return graph;
}

Result<Reduced, BadNodeId> IncrementalReducer::finalize(std::span<const std::uint64_t> outputs,
                                                        const RewriteEngine& engine,
                                                        bool maximal_fusion, Cancel& cancel) const {
  Result<EngineGraph, BadNodeId> graph = engine_graph(outputs);
  if (!graph) return Err(graph.error());
  EngineGraphBuild build{std::move(graph).value(), {}};
  for (const std::uint32_t k : prototype_nodes_) build.prototypes.push_back(nodes_[k]);
  return reduce_engine_graph(std::move(build), nodes_.size(), engine, maximal_fusion, cancel);
}

Result<ReductionResult, BadNodeId> IncrementalReducer::finalize_to_store(
    std::span<const std::uint64_t> outputs, const RewriteEngine& engine, bool maximal_fusion,
    Cancel& cancel) const {
  Result<EngineGraph, BadNodeId> graph = engine_graph(outputs);
  if (!graph) return Err(graph.error());
  // The prototypes are read where they are, among the canonical nodes.
  return reduce_engine_graph_to_store(std::move(graph).value(),
                                      PrototypeKeys(nodes_, prototype_nodes_), nodes_.size(),
                                      engine, maximal_fusion, cancel);
}

}  // namespace tessary
