#include "optimizer/report.h"

#include <array>
#include <utility>

#include "base/fault.h"
#include "base/hash.h"
#include "optimizer/pipeline.h"

namespace tessary {

std::size_t ReportKeyHash::operator()(const std::string& key) const {
  return static_cast<std::size_t>(siphash13(SipKey::call_tables_key(), key));
}

// No copy of the keys is made: the pipeline needs only their symbols,
// operands and prototypes, and ops come as their tokens alone.
NodeIds load_engine_graph(const GraphStore& store, EngineGraphBuilder& builder) {
  builder.reserve(store.node_count());
  return store.visit_tokens([&](NodeId, std::string_view token,
                                std::span<const NodeId> inputs) { builder.add_op(token, inputs); },
                            [&](NodeId, NodeKey&& key) { builder.add(std::move(key)); },
                            [&](NodeId, NodeId earlier, std::span<const NodeId> inputs) {
                              builder.add_repeat(earlier, inputs);
                            });
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

namespace {

// The counter fields in table order, beside kReportKeys.
constexpr std::array<std::uint64_t ReductionCounters::*, 6> kCounterFields = {
    &ReductionCounters::input_nodes,     &ReductionCounters::reachable_nodes,
    &ReductionCounters::canonical_nodes, &ReductionCounters::stages,
    &ReductionCounters::reduced_nodes,   &ReductionCounters::boundary_nodes};

}  // namespace

std::uint64_t report_counter(const ReductionCounters& counters, std::size_t position) {
  if (position >= kCounterFields.size()) fault("report counter position out of range");
  return counters.*kCounterFields[position];
}

ReportMap report_to_map(const ReductionCounters& counters) {
  ReportMap map;
  for (std::size_t k = 0; k < kReportKeys.size(); ++k) {
    map.emplace(kReportKeys[k], report_counter(counters, k));
  }
  return map;
}

const std::array<std::size_t, 6>& report_key_order() {
  static const std::array<std::size_t, 6> kOrder = [] {
    // Counters equal to their own positions: the values read back in
    // iteration order are the positions.
    const ReportMap map = report_to_map(ReductionCounters{0, 1, 2, 3, 4, 5});
    std::array<std::size_t, 6> order{};
    std::size_t k = 0;
    for (const auto& entry : map) order[k++] = static_cast<std::size_t>(entry.second);
    return order;
  }();
  return kOrder;
}

}  // namespace tessary
