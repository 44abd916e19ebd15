#include "optimizer/fusion.h"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <utility>

#include "base/fault.h"

namespace tessary {
namespace {

constexpr EngineIndex kNone = std::numeric_limits<EngineIndex>::max();

// For each node, the nodes that use it: one entry per operand occurrence, in
// increasing consumer order, stored as one array sliced by `offsets`.
struct Consumers {
  std::vector<std::size_t> offsets;  // m + 1 entries
  std::vector<EngineIndex> uses;

  std::span<const EngineIndex> of(EngineIndex i) const {
    return std::span<const EngineIndex>(uses).subspan(offsets[i], offsets[i + 1] - offsets[i]);
  }
};

Consumers collect_consumers(const EngineGraph& graph) {
  const std::size_t m = graph.nodes.size();
  Consumers c;
  c.offsets.assign(m + 1, 0);
  for (const EngineNode& node : graph.nodes) {
    for (const EngineIndex child : node.children) ++c.offsets[child + 1];
  }
  for (std::size_t i = 0; i < m; ++i) c.offsets[i + 1] += c.offsets[i];
  c.uses.resize(c.offsets[m]);
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

// Root of `i`, pointing every node on the way straight at it.
EngineIndex find_root(std::vector<EngineIndex>& parent, EngineIndex i) {
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
std::vector<EngineIndex> group_single_use(const EngineGraph& graph, const Consumers& consumers,
                                          const std::vector<bool>& is_output) {
  const std::size_t m = graph.nodes.size();
  std::vector<EngineIndex> parent(m);
  for (std::size_t i = 0; i < m; ++i) parent[i] = static_cast<EngineIndex>(i);
  for (EngineIndex i = 0; i < m; ++i) {
    const auto uses = consumers.of(i);
    if (graph.nodes[i].boundary || uses.size() != 1 || is_output[i]) continue;
    const EngineIndex c = uses[0];
    if (graph.nodes[c].boundary) continue;
    const EngineIndex a = find_root(parent, i);
    const EngineIndex b = find_root(parent, c);
    if (a < b) parent[b] = a;
    if (b < a) parent[a] = b;
  }
  std::vector<EngineIndex> group(m);
  for (EngineIndex i = 0; i < m; ++i) {
    group[i] = graph.nodes[i].boundary ? i : find_root(parent, i);
  }
  return group;
}

// Fan-out rule: walking from the last node down, an op joins the group of its
// consumers when they all lie in one group (consumers come later, so their
// groups are final). A group is named by its largest member.
std::vector<EngineIndex> group_maximal(const EngineGraph& graph, const Consumers& consumers,
                                       const std::vector<bool>& is_output) {
  const std::size_t m = graph.nodes.size();
  std::vector<EngineIndex> group(m);
  for (std::size_t k = m; k-- > 0;) {
    const auto i = static_cast<EngineIndex>(k);
    group[i] = i;
    const auto uses = consumers.of(i);
    if (graph.nodes[i].boundary || is_output[i] || uses.empty()) continue;
    const EngineIndex g = group[uses[0]];
    bool joins = true;
    for (const EngineIndex c : uses) {
      if (graph.nodes[c].boundary || group[c] != g) {
        joins = false;
        break;
      }
    }
    if (joins) group[i] = g;
  }
  return group;
}

// Emits the groups, in order of their largest member, as new node keys.
// `Graph` is const when the input graph is only read; for a graph given by
// value, each stage member takes its op string from the graph instead of
// copying it.
template <typename Graph>
class Emitter {
 public:
  Emitter(Graph& graph, const PrototypeTable& symbols, const std::vector<EngineIndex>& group)
      : graph_(graph),
        symbols_(symbols),
        group_(group),
        new_id_(graph.nodes.size(), kNone),
        member_pos_(graph.nodes.size(), kNone),
        input_pos_(graph.nodes.size(), kNone),
        input_owner_(graph.nodes.size(), kNone) {}

  Reduced run() {
    const std::size_t m = graph_.nodes.size();
    // Member lists, ascending, as slices of one array (filled the way
    // collect_consumers fills its slices).
    std::vector<EngineIndex> offsets(m + 1, 0);
    for (std::size_t i = 0; i < m; ++i) ++offsets[group_[i] + 1];
    for (std::size_t i = 0; i < m; ++i) offsets[i + 1] += offsets[i];
    std::vector<EngineIndex> members(m);
    for (std::size_t i = 0; i < m; ++i) members[offsets[group_[i]]++] = static_cast<EngineIndex>(i);
    std::copy_backward(offsets.begin(), offsets.end() - 1, offsets.end());
    offsets[0] = 0;
    std::size_t groups = 0;
    for (std::size_t g = 0; g < m; ++g) groups += offsets[g + 1] > offsets[g] ? 1 : 0;
    out_.nodes.reserve(groups);
    // Node i is the largest member of its group exactly when it is the last
    // entry of the group's slice; visiting those i in increasing order lists
    // the groups by largest member.
    for (std::size_t i = 0; i < m; ++i) {
      const EngineIndex g = group_[i];
      if (members[offsets[g + 1] - 1] != i) continue;
      const std::span<const EngineIndex> slice(members.data() + offsets[g],
                                               offsets[g + 1] - offsets[g]);
      if (graph_.nodes[g].boundary) {
        emit_boundary(g);
      } else {
        emit_stage(g, slice);
      }
      new_id_[g] = static_cast<EngineIndex>(out_.nodes.size() - 1);
    }
    out_.outputs.reserve(graph_.outputs.size());
    for (const EngineIndex o : graph_.outputs) out_.outputs.push_back(new_id_[group_[o]]);
    out_.counters.reduced_nodes = out_.nodes.size();
    return std::move(out_);
  }

 private:
  // The new id of the group holding node `c`; that group was emitted earlier.
  EngineIndex emitted_id(EngineIndex c) const {
    const EngineIndex id = new_id_[group_[c]];
    if (id == kNone) fault("stage input group is not emitted yet");
    return id;
  }

  void emit_boundary(EngineIndex g) {
    const EngineNode& node = graph_.nodes[g];
    const auto proto = symbols_.find(node.op);
    if (proto == symbols_.end()) fault("boundary node has no prototype");
    NodeIds inputs;
    inputs.reserve(node.children.size());
    for (const EngineIndex c : node.children) inputs.push_back(emitted_id(c));
    out_.nodes.push_back(proto->second.with_inputs(std::move(inputs)));
    ++out_.counters.boundary_nodes;
  }

  void emit_stage(EngineIndex g, std::span<const EngineIndex> slice) {
    Stage stage;
    stage.members.reserve(slice.size());
    for (std::size_t pos = 0; pos < slice.size(); ++pos) {
      auto& node = graph_.nodes[slice[pos]];
      member_pos_[slice[pos]] = static_cast<EngineIndex>(pos);
      StageOp member;
      if constexpr (std::is_const_v<Graph>) {
        member.op = node.op;
      } else {
        member.op = std::move(node.op);
      }
      member.refs.reserve(node.children.size());
      for (const EngineIndex c : node.children) {
        if (group_[c] == g) {
          // A member's operands precede it, so c already has its position.
          member.refs.push_back(StageRef::member(member_pos_[c]));
          continue;
        }
        // Operands from one outside group share one stage input.
        const EngineIndex h = group_[c];
        if (input_owner_[h] != g) {
          input_owner_[h] = g;
          input_pos_[h] = static_cast<EngineIndex>(stage.inputs.size());
          stage.inputs.push_back(emitted_id(c));
        }
        member.refs.push_back(StageRef::input(input_pos_[h]));
      }
      stage.members.push_back(std::move(member));
    }
    out_.nodes.emplace_back(std::move(stage));
    ++out_.counters.stages;
  }

  Graph& graph_;
  const PrototypeTable& symbols_;
  const std::vector<EngineIndex>& group_;
  std::vector<EngineIndex> new_id_;       // per group identifier
  std::vector<EngineIndex> member_pos_;   // per node, set while its stage is emitted
  std::vector<EngineIndex> input_pos_;    // per outside group, valid when owned by the stage
  std::vector<EngineIndex> input_owner_;  // the stage whose input list holds the group
  Reduced out_;
};

template <typename Graph>
Reduced fuse(Graph& graph, const PrototypeTable& symbols, bool maximal_fusion) {
  verify_engine_graph(graph);
  const Consumers consumers = collect_consumers(graph);
  std::vector<bool> is_output(graph.nodes.size(), false);
  for (const EngineIndex o : graph.outputs) is_output[o] = true;
  const std::vector<EngineIndex> group = maximal_fusion
                                             ? group_maximal(graph, consumers, is_output)
                                             : group_single_use(graph, consumers, is_output);
  return Emitter<Graph>(graph, symbols, group).run();
}

}  // namespace

Reduced stage_fusion(const EngineGraph& graph, const PrototypeTable& symbols, bool maximal_fusion) {
  return fuse(graph, symbols, maximal_fusion);
}

Reduced stage_fusion(EngineGraph&& graph, const PrototypeTable& symbols, bool maximal_fusion) {
  EngineGraph consumed = std::move(graph);
  return fuse(consumed, symbols, maximal_fusion);
}

}  // namespace tessary
