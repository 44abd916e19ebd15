#include "optimizer/engine_graph.h"

#include <limits>
#include <memory>
#include <string>

#include "base/fault.h"
#include "base/hash.h"
#include "base/id_table.h"
#include "ir/key_hash.h"
#include "optimizer/symbol_cache.h"

namespace tessary {
namespace {

// Numbers every distinct boundary key apart from inputs, in order of first
// sight, and keeps the first key of each number as its prototype. Stages
// carry only their member count in their token and an external's descriptor
// fields are written raw, so different keys can share a token: keys are told
// apart by value, never by token.
class BoundarySymbols {
 public:
  explicit BoundarySymbols(PrototypeList& prototypes) : prototypes_(prototypes) {}
  BoundarySymbols(const BoundarySymbols&) = delete;
  BoundarySymbols& operator=(const BoundarySymbols&) = delete;

  // A new prototype number for `key`, which becomes its (borrowed)
  // prototype; no other key given here may equal it apart from inputs (it is
  // not indexed, so lookups compare only owned prototypes).
  std::uint32_t add_first(const KeyView& key) {
    const std::uint32_t k = next_number();
    prototypes_.push_back(key);
    return k;
  }

  // The prototype number of `key`. A new number's prototype is a copy of
  // `key`, or `key` itself when `owned` points at it (the caller gives it up
  // then).
  std::uint32_t prototype_of(const NodeKey& key, NodeKey* owned = nullptr) {
    const std::uint64_t h = hasher_.signature(key);
    // Only owned prototypes are indexed.
    const auto found = index_.find(h, [&](std::uint32_t k) {
      const NodeKey* prototype = prototypes_.owned(k);
      return prototype != nullptr && same_except_inputs(*prototype, key);
    });
    if (found) return *found;
    const std::uint32_t k = next_number();
    if (owned != nullptr) {
      prototypes_.push_back(std::move(*owned));
    } else {
      prototypes_.push_back(key);
    }
    index_.insert(h, k);
    return k;
  }

 private:
  std::uint32_t next_number() const {
    if (prototypes_.size() >= kNoPrototype) fault("engine graph has too many boundary keys");
    return static_cast<std::uint32_t>(prototypes_.size());
  }

  PrototypeList& prototypes_;
  KeyHasher hasher_{SipKey::call_tables_key()};
  IdTable index_;  // hash apart from inputs -> prototype number
};

}  // namespace

// The builder owns the prototype table that its boundary symbols refer to, so
// both live behind one pointer and never move.
struct EngineGraphBuilder::State {
  EngineGraphBuild build;
  BoundarySymbols boundary_symbols{build.prototypes};
  SymbolCache& symbol_cache = SymbolCache::for_this_thread();
  std::string token;  // scratch for op tokens
};

EngineGraphBuilder::EngineGraphBuilder() : state_(std::make_unique<State>()) {}
EngineGraphBuilder::~EngineGraphBuilder() = default;

void EngineGraphBuilder::reserve(std::size_t nodes) { state_->build.graph.nodes.reserve(nodes); }

std::size_t EngineGraphBuilder::size() const { return state_->build.graph.nodes.size(); }

void EngineGraphBuilder::append(eqsat::GlobalSymbol op, std::uint32_t prototype,
                                std::span<const NodeId> inputs) {
  std::vector<EngineNode>& nodes = state_->build.graph.nodes;
  const std::size_t id = nodes.size();
  if (id >= std::numeric_limits<EngineIndex>::max() - 1) fault("engine graph is too large");
  EngineNode node{op, prototype, {}, prototype != kNoPrototype};
  node.children.reserve(inputs.size());
  for (const NodeId input : inputs) {
    if (input >= id) fault("node input does not precede its user");
    node.children.push_back(static_cast<EngineIndex>(input));
  }
  nodes.push_back(std::move(node));
}

void EngineGraphBuilder::add(const NodeKey& key) {
  if (key.kind() == NodeKind::kOp) {
    // The token is written into one buffer reused for every op.
    std::string& token = state_->token;
    token.clear();
    key.append_token(token);
    append(state_->symbol_cache.symbol_of(token), kNoPrototype, key.inputs());
  } else {
    append_boundary(state_->boundary_symbols.prototype_of(key), key.inputs());
  }
}

void EngineGraphBuilder::append_boundary(std::uint32_t prototype, std::span<const NodeId> inputs) {
  append(state_->symbol_cache.boundary_symbol(prototype), prototype, inputs);
}

void EngineGraphBuilder::add(NodeKey&& key) {
  if (key.kind() == NodeKind::kOp) {
    add(static_cast<const NodeKey&>(key));
    return;
  }
  // The key may become its symbol's prototype, so its inputs are read first.
  const NodeIds inputs(key.inputs().begin(), key.inputs().end());
  append_boundary(state_->boundary_symbols.prototype_of(key, &key), inputs.span());
}

void EngineGraphBuilder::add_first(const KeyView& key) {
  if (key.kind() == NodeKind::kOp) fault("op key given as a boundary prototype");
  append_boundary(state_->boundary_symbols.add_first(key), key.inputs());
}

void EngineGraphBuilder::add_repeat(NodeId earlier, std::span<const NodeId> inputs) {
  const std::vector<EngineNode>& nodes = state_->build.graph.nodes;
  if (earlier >= nodes.size() || !nodes[earlier].boundary) {
    fault("repeated node names no earlier boundary node");
  }
  append(nodes[earlier].op, nodes[earlier].prototype, inputs);
}

void EngineGraphBuilder::add_op(std::string_view token, std::span<const NodeId> inputs,
                                std::uint64_t& memo) {
  if (memo == 0) {
    if (!is_op_symbol(token)) fault("op token does not name an op");
    memo = state_->symbol_cache.symbol_of(token).value();  // never 0: no real symbol is
  }
  append(eqsat::GlobalSymbol::from_value(static_cast<std::uint32_t>(memo)), kNoPrototype, inputs);
}

EngineGraphBuild EngineGraphBuilder::finish(std::span<const std::uint64_t> outputs) && {
  EngineGraph& graph = state_->build.graph;
  graph.outputs.reserve(outputs.size());
  for (const std::uint64_t o : outputs) {
    if (o >= graph.nodes.size()) fault("reduction output names no node");
    graph.outputs.push_back(static_cast<EngineIndex>(o));
  }
  EngineGraphBuild build = std::move(state_->build);
  state_.reset();
  return build;
}

bool is_op_symbol(std::string_view op) { return op.starts_with("op|"); }

EngineGraphBuild to_engine_graph(std::span<const NodeKey> keys,
                                 std::span<const std::uint64_t> outputs) {
  EngineGraphBuilder builder;
  builder.reserve(keys.size());
  for (const NodeKey& key : keys) builder.add(key);
  return std::move(builder).finish(outputs);
}

void verify_engine_graph(const EngineGraph& graph) {
  SymbolCache& symbols = SymbolCache::for_this_thread();
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    const EngineNode& node = graph.nodes[i];
    // A boundary node has a prototype and a symbol that is not an op's
    // (nearly always its prototype's, which is known without its text);
    // an op has neither.
    const bool agrees =
        node.boundary ? node.prototype != kNoPrototype &&
                            (symbols.is_boundary_symbol(node.op, node.prototype) ||
                             !is_op_symbol(symbols.text_of(node.op)))
                      : node.prototype == kNoPrototype && is_op_symbol(symbols.text_of(node.op));
    if (!agrees) fault("engine node boundary flag disagrees");
    for (const EngineIndex child : node.children) {
      if (child >= i) fault("engine node child does not precede its user");
    }
  }
  for (const EngineIndex o : graph.outputs) {
    if (o >= graph.nodes.size()) fault("engine graph output names no node");
  }
}

}  // namespace tessary
