// The optimizer's working graph: node keys turned into operator symbols with
// operand indices (EngineGraph), the prototype keys that boundary nodes are
// rebuilt from, and the pipeline's result (Reduced) with its six counters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "base/small_vec.h"
#include "eqsat/symbol.h"
#include "ir/key_view.h"
#include "ir/node.h"
#include "optimizer/prototype_list.h"

namespace tessary {

// Index of a node inside one engine graph. Every child index is smaller than
// the index of the node that uses it.
using EngineIndex = std::uint32_t;
// A node's operands. Nearly every node has one or two, which then live inside
// the node rather than in a heap block of their own.
using EngineOperands = SmallVec<EngineIndex, 2>;

// Marks an engine node that has no prototype (every op).
inline constexpr std::uint32_t kNoPrototype = 0xFFFFFFFF;

struct EngineNode {
  // The operator symbol: the interned token for ops; for boundary nodes the
  // symbol of their prototype (SymbolCache::boundary_symbol), one per
  // distinct key apart from inputs.
  eqsat::GlobalSymbol op;
  // For boundary nodes, the position of their prototype in the graph's
  // prototypes (PrototypeList); kNoPrototype for ops.
  std::uint32_t prototype = kNoPrototype;
  EngineOperands children;
  // True for every node that is not an op; boundary nodes are never fused.
  bool boundary = false;

  friend bool operator==(const EngineNode& a, const EngineNode& b) = default;
};

struct EngineGraph {
  std::vector<EngineNode> nodes;
  // Positions in `nodes`, in the caller's order; repetitions allowed.
  std::vector<EngineIndex> outputs;

  friend bool operator==(const EngineGraph& a, const EngineGraph& b) = default;
};

// Borrowed prototypes: a list's, or keys kept elsewhere and named by their
// positions (the incremental reducer keeps its prototypes among its
// canonical nodes).
class PrototypeKeys {
 public:
  // Implicit, so that a list goes wherever prototype keys are taken.
  PrototypeKeys(const PrototypeList& list) : list_(&list) {}
  PrototypeKeys(std::span<const NodeKey> keys, std::span<const std::uint32_t> positions)
      : keys_(keys), positions_(positions) {}

  std::size_t size() const { return list_ != nullptr ? list_->size() : positions_.size(); }
  // Calls `use` with prototype `k` (below size()) given `inputs` for its
  // own, as a KeyWithInputs or a KeyView, and returns what it returns.
  template <typename Use>
  decltype(auto) with_inputs(std::uint32_t k, std::span<const NodeId> inputs, Use&& use) const {
    if (list_ != nullptr) {
      if (const NodeKey* key = list_->owned(k)) return use(KeyWithInputs(*key, inputs));
      return use(list_->borrowed(k, inputs));
    }
    return use(KeyWithInputs(keys_[positions_[k]], inputs));
  }

 private:
  const PrototypeList* list_ = nullptr;
  std::span<const NodeKey> keys_;
  std::span<const std::uint32_t> positions_;
};

struct ReductionCounters {
  std::uint64_t input_nodes = 0;
  std::uint64_t reachable_nodes = 0;
  std::uint64_t canonical_nodes = 0;
  std::uint64_t stages = 0;
  std::uint64_t reduced_nodes = 0;
  std::uint64_t boundary_nodes = 0;

  friend bool operator==(const ReductionCounters& a, const ReductionCounters& b) = default;
};

// A reduced graph: keys in topological order (inputs are earlier positions),
// one output position per requested output, and the pipeline's counters.
struct Reduced {
  std::vector<NodeKey> nodes;
  std::vector<std::uint64_t> outputs;
  ReductionCounters counters;
};

struct EngineGraphBuild {
  EngineGraph graph;
  PrototypeList prototypes;
};

// Turns keys into engine nodes one at a time, in id order, as a store visit
// hands them out, so that no copy of the whole node list is needed. The first
// key of every boundary symbol becomes its prototype.
class EngineGraphBuilder {
 public:
  EngineGraphBuilder();
  ~EngineGraphBuilder();
  EngineGraphBuilder(const EngineGraphBuilder&) = delete;
  EngineGraphBuilder& operator=(const EngineGraphBuilder&) = delete;

  void reserve(std::size_t nodes);
  std::size_t size() const;
  // Appends `key` as the next node; its inputs are the children as they stand.
  void add(const NodeKey& key);
  // The same for a key the builder may keep as a prototype instead of a copy.
  void add(NodeKey&& key);
  // Appends boundary key `key`, which no other key given to this builder
  // equals apart from inputs, as its own new prototype, borrowed: its texts
  // must outlive the build. It is neither looked up nor recorded for later
  // lookups.
  void add_first(const KeyView& key);
  // Appends a boundary node whose key equals that of node `earlier` but for
  // its inputs, so it shares that node's symbol.
  void add_repeat(NodeId earlier, std::span<const NodeId> inputs);
  // Appends an op known by its token (NodeKey::token) and inputs. `memo` is
  // a word kept alongside the token (see GraphStore::visit_tokens): zero the
  // first time, and the token's symbol from then on, which spares looking
  // the token up again.
  void add_op(std::string_view token, std::span<const NodeId> inputs, std::uint64_t& memo);
  // The graph with `outputs` (positions among the added nodes) and its
  // prototypes; the builder is spent.
  EngineGraphBuild finish(std::span<const std::uint64_t> outputs) &&;

 private:
  struct State;
  // Appends the next node; its inputs must precede it.
  void append(eqsat::GlobalSymbol op, std::uint32_t prototype, std::span<const NodeId> inputs);
  void append_boundary(std::uint32_t prototype, std::span<const NodeId> inputs);

  std::unique_ptr<State> state_;
};

// True when `op` names an op node's symbol (it begins with "op|").
bool is_op_symbol(std::string_view op);

// Turns every key into an engine node. Keys whose inputs are not earlier
// positions, and outputs out of range, are broken preconditions (faults).
EngineGraphBuild to_engine_graph(std::span<const NodeKey> keys,
                                 std::span<const std::uint64_t> outputs);

// Faults unless every child and output of `graph` names an earlier node (or,
// for outputs, any node), and every boundary flag agrees with its symbol.
void verify_engine_graph(const EngineGraph& graph);

}  // namespace tessary
