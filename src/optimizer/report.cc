#include "optimizer/report.h"

#include <array>
#include <utility>

#include "base/fault.h"
#include "base/hash.h"
#include "optimizer/pipeline.h"

namespace tessary {

std::size_t ReportKeyHash::operator()(const std::string& key) const {
  static const SipKey kProcessKey = SipKey::random();
  return static_cast<std::size_t>(siphash13(kProcessKey, key));
}

// No copy of the keys is made: the pipeline needs only their symbols,
// operands and prototypes, and ops come as their tokens alone.
NodeIds load_engine_graph(const GraphStore& store, EngineGraphBuilder& builder) {
  builder.reserve(store.node_count());
  return store.visit_tokens([&](NodeId, std::string_view token,
                                std::span<const NodeId> inputs) { builder.add_op(token, inputs); },
                            [&](NodeId, const NodeKey& key) { builder.add(key); });
}

ReductionResult reduce_with(const GraphStore& store, const RewriteEngine& engine,
                            bool maximal_fusion) {
  EngineGraphBuilder builder;
  const NodeIds marks = load_engine_graph(store, builder);
  const std::uint64_t count = builder.size();
  return from_reduced(
      reduce_engine_graph(std::move(builder).finish(marks), count, engine, maximal_fusion));
}

Result<ReductionResult, BadNodeId> reduce_with_outputs(const GraphStore& store,
                                                       std::span<const std::uint64_t> outputs,
                                                       const RewriteEngine& engine,
                                                       bool maximal_fusion) {
  EngineGraphBuilder builder;
  (void)load_engine_graph(store, builder);
  const std::uint64_t count = builder.size();
  for (const std::uint64_t o : outputs) {
    if (o >= count) return Err(BadNodeId{o});
  }
  return from_reduced(
      reduce_engine_graph(std::move(builder).finish(outputs), count, engine, maximal_fusion));
}

ReductionResult from_reduced(Reduced reduced) {
  ReductionResult result{GraphStore(), reduced.counters};
  // ids[p]: the id the new store gave the node at position p.
  auto ids = result.store.intern_sequence(reduced.nodes);
  if (!ids) fault("reduced graph references only earlier nodes");
  for (const std::uint64_t o : reduced.outputs) {
    if (o >= ids.value().size() || !result.store.mark_output(ids.value()[o])) {
      fault("reduced output is valid");
    }
  }
  return result;
}

ReportMap report_to_map(const ReductionCounters& counters) {
  const std::array<std::pair<const char*, std::uint64_t>, 6> entries{{
      {"input_nodes", counters.input_nodes},
      {"reachable_nodes", counters.reachable_nodes},
      {"canonical_nodes", counters.canonical_nodes},
      {"stages", counters.stages},
      {"reduced_nodes", counters.reduced_nodes},
      {"boundary_nodes", counters.boundary_nodes},
  }};
  ReportMap map;
  for (const auto& [name, count] : entries) map.emplace(name, count);
  return map;
}

}  // namespace tessary
