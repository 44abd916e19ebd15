#include "optimizer/engine_graph.h"

#include <limits>
#include <memory>
#include <tuple>

#include "base/fault.h"
#include "base/hash.h"
#include "base/id_table.h"
#include "ir/key_hash.h"

namespace tessary {
namespace {

// Gives every boundary key its engine symbol and registers the first key of
// each symbol as its prototype. Stages carry only their member count in their
// token and an external's descriptor fields are written raw, so different keys
// can share a token; each distinct key (ignoring inputs) gets its own symbol:
// the token itself, or, when that is taken by a different key, the token plus
// the first free suffix "#1", "#2", ... The suffix only extends the token, so
// the symbol keeps the token's non-op head and stays a boundary symbol.
class BoundarySymbols {
 public:
  explicit BoundarySymbols(PrototypeTable& symbols) : symbols_(symbols) {}
  BoundarySymbols(const BoundarySymbols&) = delete;
  BoundarySymbols& operator=(const BoundarySymbols&) = delete;

  // The symbol of `key`. A new symbol's prototype is a copy of `key`, or
  // `key` itself when `owned` points at it (the caller gives it up then).
  const std::string& symbol_of(const NodeKey& key, NodeKey* owned = nullptr) {
    hasher_.begin(key);
    const std::uint64_t h = hasher_.finish();
    const auto found = index_.find(
        h, [&](std::uint32_t id) { return same_except_inputs(entries_[id]->second, key); });
    if (found) return entries_[*found]->first;
    const std::string token(hasher_.token());
    // try_emplace takes the key only when it inserts, so `owned` is moved
    // from at most once, and only by the insertion that keeps it.
    auto emplace = [&](std::string symbol) {
      return owned != nullptr ? symbols_.try_emplace(std::move(symbol), std::move(*owned))
                              : symbols_.try_emplace(std::move(symbol), key);
    };
    auto [it, inserted] = emplace(token);
    if (!inserted) {
      // Suffixes already handed out for this token are skipped at once, so
      // many keys sharing one token cost one probe each.
      std::uint64_t& next = next_suffix_[token];
      std::string symbol;
      do {
        symbol = token;
        symbol.push_back('#');
        symbol.append(std::to_string(++next));
        std::tie(it, inserted) = emplace(std::move(symbol));
      } while (!inserted);
    }
    // Elements of an unordered_map keep their address when it rehashes.
    const auto& entry = *it;
    index_.insert(h, static_cast<std::uint32_t>(entries_.size()));
    entries_.push_back(&entry);
    return entry.first;
  }

 private:
  PrototypeTable& symbols_;
  KeyHasher hasher_{SipKey::call_tables_key()};
  IdTable index_;  // hash apart from inputs -> position in entries_
  std::vector<const PrototypeTable::value_type*> entries_;
  std::unordered_map<std::string, std::uint64_t, KeyedStringHash> next_suffix_;
};

}  // namespace

// The builder owns the prototype table that its boundary symbols refer to, so
// both live behind one pointer and never move.
struct EngineGraphBuilder::State {
  EngineGraphBuild build;
  BoundarySymbols boundary_symbols{build.symbols};
};

EngineGraphBuilder::EngineGraphBuilder() : state_(std::make_unique<State>()) {}
EngineGraphBuilder::~EngineGraphBuilder() = default;

void EngineGraphBuilder::reserve(std::size_t nodes) { state_->build.graph.nodes.reserve(nodes); }

std::size_t EngineGraphBuilder::size() const { return state_->build.graph.nodes.size(); }

void EngineGraphBuilder::append(std::string op, bool boundary, std::span<const NodeId> inputs) {
  std::vector<EngineNode>& nodes = state_->build.graph.nodes;
  const std::size_t id = nodes.size();
  if (id >= std::numeric_limits<EngineIndex>::max() - 1) fault("engine graph is too large");
  EngineNode node{std::move(op), {}, boundary};
  node.children.reserve(inputs.size());
  for (const NodeId input : inputs) {
    if (input >= id) fault("node input does not precede its user");
    node.children.push_back(static_cast<EngineIndex>(input));
  }
  nodes.push_back(std::move(node));
}

void EngineGraphBuilder::add(const NodeKey& key) {
  if (key.kind() == NodeKind::kOp) {
    append(key.token(), false, key.inputs());
  } else {
    append(state_->boundary_symbols.symbol_of(key), true, key.inputs());
  }
}

void EngineGraphBuilder::add(NodeKey&& key) {
  if (key.kind() == NodeKind::kOp) {
    add(static_cast<const NodeKey&>(key));
    return;
  }
  // The key may become its symbol's prototype, so its inputs are read first.
  const NodeIds inputs(key.inputs().begin(), key.inputs().end());
  append(state_->boundary_symbols.symbol_of(key, &key), true, inputs.span());
}

void EngineGraphBuilder::add_repeat(NodeId earlier, std::span<const NodeId> inputs) {
  const std::vector<EngineNode>& nodes = state_->build.graph.nodes;
  if (earlier >= nodes.size() || !nodes[earlier].boundary) {
    fault("repeated node names no earlier boundary node");
  }
  append(nodes[earlier].op, true, inputs);
}

void EngineGraphBuilder::add_op(std::string_view token, std::span<const NodeId> inputs) {
  if (!is_op_symbol(token)) fault("op token does not name an op");
  append(std::string(token), false, inputs);
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
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    const EngineNode& node = graph.nodes[i];
    if (node.boundary == is_op_symbol(node.op)) fault("engine node boundary flag disagrees");
    for (const EngineIndex child : node.children) {
      if (child >= i) fault("engine node child does not precede its user");
    }
  }
  for (const EngineIndex o : graph.outputs) {
    if (o >= graph.nodes.size()) fault("engine graph output names no node");
  }
}

}  // namespace tessary
