#include "optimizer/fusion.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/fault.h"
#include "optimizer/symbol_cache.h"

namespace tessary {
namespace {

constexpr EngineIndex kNone = std::numeric_limits<EngineIndex>::max();

// One allocation for every per-node table of a fusion run: each table is a
// slice of it, taken in turn and filled with a given value. The tables hold
// plain values, which need no destruction.
class Scratch {
 public:
  // Room for the tables whose sizes in bytes (with their alignment) are
  // summed in `bytes`.
  explicit Scratch(std::size_t bytes)
      : storage_(std::make_unique_for_overwrite<std::max_align_t[]>(
            (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t))),
        cursor_(reinterpret_cast<std::uintptr_t>(storage_.get())),
        end_(cursor_ + bytes) {}

  // What a table of `n` values of T adds to the bytes a Scratch needs.
  template <typename T>
  static std::size_t bytes_for(std::size_t n) {
    return n * sizeof(T) + alignof(T);
  }

  template <typename T>
  std::span<T> take(std::size_t n, const T& value) {
    static_assert(std::is_trivially_destructible_v<T>);
    const std::uintptr_t start = (cursor_ + alignof(T) - 1) & ~(std::uintptr_t{alignof(T)} - 1);
    if (start + n * sizeof(T) > end_) fault("fusion scratch is too small");
    cursor_ = start + n * sizeof(T);
    T* first = reinterpret_cast<T*>(start);
    std::uninitialized_fill_n(first, n, value);
    return {first, n};
  }

 private:
  std::unique_ptr<std::max_align_t[]> storage_;
  std::uintptr_t cursor_;
  std::uintptr_t end_;
};

// For each node, the nodes that use it: one entry per operand occurrence, in
// increasing consumer order, stored as one array sliced by `offsets`.
struct Consumers {
  std::span<std::size_t> offsets;  // m + 1 entries
  std::span<EngineIndex> uses;

  std::span<const EngineIndex> of(EngineIndex i) const {
    return std::span<const EngineIndex>(uses).subspan(offsets[i], offsets[i + 1] - offsets[i]);
  }
};

std::size_t count_uses(const EngineGraph& graph) {
  std::size_t uses = 0;
  for (const EngineNode& node : graph.nodes) uses += node.children.size();
  return uses;
}

Consumers collect_consumers(const EngineGraph& graph, std::size_t use_count, Scratch& scratch) {
  const std::size_t m = graph.nodes.size();
  Consumers c;
  c.offsets = scratch.take<std::size_t>(m + 1, 0);
  for (const EngineNode& node : graph.nodes) {
    for (const EngineIndex child : node.children) ++c.offsets[child + 1];
  }
  for (std::size_t i = 0; i < m; ++i) c.offsets[i + 1] += c.offsets[i];
  c.uses = scratch.take<EngineIndex>(use_count, 0);
  // Filling advances offsets[i] to where slice i ends, which is where slice
  // i + 1 starts: shifting by one afterwards restores the starts.
  for (std::size_t u = 0; u < m; ++u) {
    for (const EngineIndex child : graph.nodes[u].children) {
      c.uses[c.offsets[child]++] = static_cast<EngineIndex>(u);
    }
  }
  std::copy_backward(c.offsets.begin(), c.offsets.end() - 1, c.offsets.end());
  c.offsets[0] = 0;
  return c;
}

// Per node, whether it is a boundary node and whether it is an output. The
// grouping rules read these for operands and consumers in any order, so they
// are kept apart from the nodes: two bits of one byte per node.
struct Flags {
  static constexpr std::uint8_t kBoundary = 1;
  static constexpr std::uint8_t kOutput = 2;
  std::span<std::uint8_t> bits;

  std::size_t size() const { return bits.size(); }
  bool boundary(std::size_t i) const { return (bits[i] & kBoundary) != 0; }
  bool output(std::size_t i) const { return (bits[i] & kOutput) != 0; }
};

Flags collect_flags(const EngineGraph& graph, Scratch& scratch) {
  Flags flags;
  flags.bits = scratch.take<std::uint8_t>(graph.nodes.size(), 0);
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    if (graph.nodes[i].boundary) flags.bits[i] = Flags::kBoundary;
  }
  for (const EngineIndex o : graph.outputs) flags.bits[o] |= Flags::kOutput;
  return flags;
}

// Root of `i`, pointing every node on the way straight at it.
EngineIndex find_root(std::span<EngineIndex> parent, EngineIndex i) {
  EngineIndex root = i;
  while (parent[root] != root) root = parent[root];
  while (parent[i] != root) {
    const EngineIndex next = parent[i];
    parent[i] = root;
    i = next;
  }
  return root;
}

// Single-use rule: an op joins its consumer when that consumer is its only
// use, it is not an output, and neither is a boundary node. Roots are the
// smallest member of their group.
std::span<const EngineIndex> group_single_use(const Consumers& consumers, const Flags& flags,
                                              Scratch& scratch) {
  const std::size_t m = flags.size();
  const std::span<EngineIndex> parent = scratch.take<EngineIndex>(m, 0);
  for (std::size_t i = 0; i < m; ++i) parent[i] = static_cast<EngineIndex>(i);
  for (EngineIndex i = 0; i < m; ++i) {
    const auto uses = consumers.of(i);
    if (flags.boundary(i) || uses.size() != 1 || flags.output(i)) continue;
    const EngineIndex c = uses[0];
    if (flags.boundary(c)) continue;
    const EngineIndex a = find_root(parent, i);
    const EngineIndex b = find_root(parent, c);
    if (a < b) parent[b] = a;
    if (b < a) parent[a] = b;
  }
  // Each node's root is final once every union is made, so the roots can
  // be written over the parents in place.
  for (EngineIndex i = 0; i < m; ++i) {
    if (!flags.boundary(i)) parent[i] = find_root(parent, i);
  }
  return parent;
}

// Fan-out rule: walking from the last node down, an op joins the group of its
// consumers when they all lie in one group (consumers come later, so their
// groups are final). A group is named by its largest member.
std::span<const EngineIndex> group_maximal(const Consumers& consumers, const Flags& flags,
                                           Scratch& scratch) {
  const std::size_t m = flags.size();
  const std::span<EngineIndex> group = scratch.take<EngineIndex>(m, 0);
  for (std::size_t k = m; k-- > 0;) {
    const auto i = static_cast<EngineIndex>(k);
    group[i] = i;
    const auto uses = consumers.of(i);
    if (flags.boundary(i) || flags.output(i) || uses.empty()) continue;
    const EngineIndex g = group[uses[0]];
    bool joins = true;
    for (const EngineIndex c : uses) {
      if (flags.boundary(c) || group[c] != g) {
        joins = false;
        break;
      }
    }
    if (joins) group[i] = g;
  }
  return group;
}

// Emits the groups, in order of their largest member, to a sink: KeySink
// builds node keys, StoreSink interns straight into a store. A sink returns
// the id that later nodes refer to each emitted node by.
template <typename Sink>
class Emitter {
 public:
  Emitter(const EngineGraph& graph, std::span<const EngineIndex> group, Scratch& scratch,
          Sink& sink)
      : graph_(graph),
        group_(group),
        scratch_(scratch),
        sink_(sink),
        slots_(scratch.take<GroupSlot>(graph.nodes.size(), GroupSlot{})) {}

  // What run() takes from the scratch for a graph of `m` nodes.
  static std::size_t scratch_bytes(std::size_t m) {
    return Scratch::bytes_for<GroupSlot>(m) + Scratch::bytes_for<EngineIndex>(2 * m + 1);
  }

  // Emits every group, counting stages and boundary nodes into `counters`,
  // and returns the id of each graph output in order.
  NodeIds run(ReductionCounters& counters) {
    const std::size_t m = graph_.nodes.size();
    // Member lists, ascending, as slices of one array (filled the way
    // collect_consumers fills its slices). The offsets and the array share
    // one allocation.
    const std::span<EngineIndex> offsets_and_members = scratch_.take<EngineIndex>(2 * m + 1, 0);
    const std::span<EngineIndex> offsets = offsets_and_members.first(m + 1);
    const std::span<EngineIndex> members = offsets_and_members.subspan(m + 1, m);
    for (std::size_t i = 0; i < m; ++i) ++offsets[group_[i] + 1];
    for (std::size_t i = 0; i < m; ++i) offsets[i + 1] += offsets[i];
    for (std::size_t i = 0; i < m; ++i) members[offsets[group_[i]]++] = static_cast<EngineIndex>(i);
    std::copy_backward(offsets.begin(), offsets.end() - 1, offsets.end());
    offsets[0] = 0;
    std::size_t groups = 0;
    for (std::size_t g = 0; g < m; ++g) groups += offsets[g + 1] > offsets[g] ? 1 : 0;
    sink_.reserve(groups);
    // Node i is the largest member of its group exactly when it is the last
    // entry of the group's slice; visiting those i in increasing order lists
    // the groups by largest member.
    for (std::size_t i = 0; i < m; ++i) {
      const EngineIndex g = group_[i];
      if (members[offsets[g + 1] - 1] != i) continue;
      const std::span<const EngineIndex> slice(members.data() + offsets[g],
                                               offsets[g + 1] - offsets[g]);
      NodeId id = 0;
      if (graph_.nodes[g].boundary) {
        id = emit_boundary(g);
        ++counters.boundary_nodes;
      } else {
        id = emit_stage(g, slice);
        ++counters.stages;
      }
      ++counters.reduced_nodes;
      if (id >= kNone) fault("emitted id fits an engine index");
      slots_[g].new_id = static_cast<EngineIndex>(id);
    }
    NodeIds outputs;
    outputs.reserve(graph_.outputs.size());
    for (const EngineIndex o : graph_.outputs) outputs.push_back(slots_[group_[o]].new_id);
    return outputs;
  }

 private:
  // The new id of group `h`, which was emitted earlier.
  EngineIndex emitted_id(EngineIndex h) const {
    const EngineIndex id = slots_[h].new_id;
    if (id == kNone) fault("stage input group is not emitted yet");
    return id;
  }

  NodeId emit_boundary(EngineIndex g) {
    const EngineNode& node = graph_.nodes[g];
    inputs_.clear();
    for (const EngineIndex c : node.children) inputs_.push_back(emitted_id(group_[c]));
    return sink_.boundary(node.prototype, inputs_);
  }

  NodeId emit_stage(EngineIndex g, std::span<const EngineIndex> slice) {
    inputs_.clear();
    refs_.clear();
    members_.clear();
    for (std::size_t pos = 0; pos < slice.size(); ++pos) {
      const EngineNode& node = graph_.nodes[slice[pos]];
      slots_[slice[pos]].member_pos = static_cast<EngineIndex>(pos);
      for (const EngineIndex c : node.children) {
        const EngineIndex h = group_[c];
        if (h == g) {
          // A member's operands precede it, so c already has its position.
          refs_.push_back(StageRef::member(slots_[c].member_pos));
          continue;
        }
        // Operands from one outside group share one stage input.
        GroupSlot& outside = slots_[h];
        if (outside.input_owner != g) {
          outside.input_owner = g;
          outside.input_pos = static_cast<EngineIndex>(inputs_.size());
          inputs_.push_back(emitted_id(h));
        }
        refs_.push_back(StageRef::input(outside.input_pos));
      }
      // The refs are placed once all are written, since writing may move them.
      members_.push_back(StageMemberView{symbol_texts_.text_of(node.op), {}});
    }
    const StageRef* next = refs_.data();
    for (std::size_t pos = 0; pos < slice.size(); ++pos) {
      const std::size_t arity = graph_.nodes[slice[pos]].children.size();
      members_[pos].refs = std::span<const StageRef>(next, arity);
      next += arity;
    }
    return sink_.stage(StageView(inputs_, members_));
  }

  // What the emitter tracks per group identifier, kept together because a
  // stage operand from an outside group reads these three at once.
  struct GroupSlot {
    EngineIndex new_id = kNone;       // set once the group is emitted
    EngineIndex input_owner = kNone;  // the stage whose input list holds the group
    EngineIndex input_pos = kNone;    // its place in that list
    // Read by node index, not group: the node's place in its stage, set
    // while that stage is emitted. Kept here to share one allocation.
    EngineIndex member_pos = kNone;
  };

  const EngineGraph& graph_;
  std::span<const EngineIndex> group_;
  Scratch& scratch_;
  Sink& sink_;
  std::span<GroupSlot> slots_;  // by group identifier, and by node for member_pos
  // The node being emitted, reused from one node to the next.
  NodeIds inputs_;
  std::vector<StageRef> refs_;
  std::vector<StageMemberView> members_;
  SymbolCache& symbol_texts_ = SymbolCache::for_this_thread();
};

// Builds the emitted nodes as keys. With `kConsumes`, the prototypes are
// given by value: the first boundary node of each prototype number takes the
// prototype itself instead of a copy.
template <bool kConsumes>
class KeySink {
  using Symbols = std::conditional_t<kConsumes, PrototypeTable, const PrototypeTable>;

 public:
  explicit KeySink(Symbols& symbols) : symbols_(symbols) {}

  void reserve(std::size_t nodes) { nodes_.reserve(nodes); }

  NodeId boundary(std::uint32_t prototype, std::span<const NodeId> inputs) {
    if (prototype >= symbols_.size()) fault("boundary node has no prototype");
    NodeIds ids(inputs.begin(), inputs.end());
    if constexpr (kConsumes) {
      // Later nodes of a number copy the node that took its prototype,
      // whose key equals it but for inputs.
      if (taken_.empty()) taken_.assign(symbols_.size(), kNone);
      EngineIndex& taken = taken_[prototype];
      if (taken != kNone) {
        nodes_.push_back(nodes_[taken].with_inputs(std::move(ids)));
      } else {
        taken = static_cast<EngineIndex>(nodes_.size());
        nodes_.push_back(std::move(symbols_[prototype]).with_inputs(std::move(ids)));
      }
    } else {
      nodes_.push_back(symbols_[prototype].with_inputs(std::move(ids)));
    }
    return nodes_.size() - 1;
  }

  NodeId stage(const StageView& view) {
    Stage stage;
    stage.inputs.assign(view.inputs().begin(), view.inputs().end());
    stage.members.reserve(view.members().size());
    for (const StageMemberView& m : view.members()) {
      stage.members.push_back(StageOp{std::string(m.op), StageRefs(m.refs.begin(), m.refs.end())});
    }
    nodes_.emplace_back(std::move(stage));
    return nodes_.size() - 1;
  }

  std::vector<NodeKey> take_nodes() { return std::move(nodes_); }

 private:
  Symbols& symbols_;
  std::vector<NodeKey> nodes_;
  // By prototype number: the position of the node that took the prototype,
  // once one has.
  std::vector<EngineIndex> taken_;
};

// Interns the emitted nodes into a store as they come.
class StoreSink {
 public:
  StoreSink(GraphStore::Bulk& bulk, const PrototypeKeys& symbols, Cancel& cancel)
      : bulk_(bulk), symbols_(symbols), cancel_(cancel) {}

  void reserve(std::size_t nodes) { bulk_.reserve(nodes); }

  NodeId boundary(std::uint32_t prototype, std::span<const NodeId> inputs) {
    if (prototype >= symbols_.size()) fault("boundary node has no prototype");
    cancel_.check();
    return interned(symbols_.with_inputs(prototype, inputs,
                                         [&](const auto& key) { return bulk_.intern(key); }));
  }

  NodeId stage(const StageView& view) {
    cancel_.check();
    return interned(bulk_.intern(view));
  }

 private:
  static NodeId interned(const Result<NodeId, BadNodeId>& id) {
    if (!id) fault("reduced graph references only earlier nodes");
    return id.value();
  }

  GraphStore::Bulk& bulk_;
  const PrototypeKeys& symbols_;
  Cancel& cancel_;
};

template <typename Sink>
NodeIds fuse(const EngineGraph& graph, bool maximal_fusion, Sink& sink,
             ReductionCounters& counters) {
  verify_engine_graph(graph);
  const std::size_t m = graph.nodes.size();
  const std::size_t use_count = count_uses(graph);
  Scratch scratch(Scratch::bytes_for<std::size_t>(m + 1) +
                  Scratch::bytes_for<EngineIndex>(use_count) + Scratch::bytes_for<std::uint8_t>(m) +
                  Scratch::bytes_for<EngineIndex>(m) + Emitter<Sink>::scratch_bytes(m));
  const Consumers consumers = collect_consumers(graph, use_count, scratch);
  const Flags flags = collect_flags(graph, scratch);
  const std::span<const EngineIndex> group = maximal_fusion
                                                 ? group_maximal(consumers, flags, scratch)
                                                 : group_single_use(consumers, flags, scratch);
  return Emitter<Sink>(graph, group, scratch, sink).run(counters);
}

template <typename Sink>
Reduced fuse_to_keys(const EngineGraph& graph, Sink& sink, bool maximal_fusion) {
  Reduced out;
  const NodeIds outputs = fuse(graph, maximal_fusion, sink, out.counters);
  out.outputs.assign(outputs.begin(), outputs.end());
  out.nodes = sink.take_nodes();
  return out;
}

}  // namespace

Reduced stage_fusion(const EngineGraph& graph, const PrototypeTable& symbols, bool maximal_fusion) {
  KeySink<false> sink(symbols);
  return fuse_to_keys(graph, sink, maximal_fusion);
}

Reduced stage_fusion(EngineGraph&& graph, PrototypeTable&& symbols, bool maximal_fusion) {
  const EngineGraph consumed = std::move(graph);
  PrototypeTable prototypes = std::move(symbols);
  KeySink<true> sink(prototypes);
  return fuse_to_keys(consumed, sink, maximal_fusion);
}

NodeIds stage_fusion_into(const EngineGraph& graph, const PrototypeKeys& symbols,
                          bool maximal_fusion, GraphStore::Bulk& bulk, ReductionCounters& counters,
                          Cancel& cancel) {
  StoreSink sink(bulk, symbols, cancel);
  return fuse(graph, maximal_fusion, sink, counters);
}

}  // namespace tessary
