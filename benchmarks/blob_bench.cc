// Writing and reading IR blobs of large stores (10^5 and 10^6 nodes), with
// the cost per node as a counter ("per_node", seconds) and the blob size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "base/fault.h"
#include "blob/reader.h"
#include "blob/writer.h"

namespace tessary {
namespace {

// A pipeline-like graph: a few sources, then element-wise ops and now and
// then a reduction, each on one or two earlier nodes. Every op has a
// distinct scalar, so no two keys collapse.
std::unique_ptr<GraphStore> build_store(std::int64_t nodes) {
  auto store = std::make_unique<GraphStore>();
  const char* const names[] = {"add", "mul", "sub", "neg", "abs", "max"};
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  const auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (std::int64_t i = 0; i < nodes; ++i) {
    Result<NodeId, BadNodeId> id = NodeId{0};
    if (i < 8) {
      id = store->intern(
          Source{"table_" + std::to_string(i), ParamMap({{"rows", ParamValue::integer(i)}})});
    } else if (i % 64 == 0) {
      id = store->intern(Reduction{
          "sum", ParamMap({{"axis", ParamValue::integer(i % 3)}}), {static_cast<NodeId>(i - 1)}});
    } else {
      const NodeId a = static_cast<NodeId>(i - 1);
      const NodeId b = next() % static_cast<std::uint64_t>(i);
      NodeIds inputs = (i % 3 == 0) ? NodeIds{a} : NodeIds{a, b};
      id =
          store->intern(Op{names[i % 6],
                           ParamMap({{"scalar", ParamValue::floating(static_cast<double>(i) * 0.5)},
                                     {"side", ParamValue::string(i % 2 ? "l" : "r")}}),
                           std::move(inputs)});
    }
    if (!id) fault("benchmark store: bad input");
  }
  return store;
}

const GraphStore& store_of(std::int64_t nodes) {
  static std::map<std::int64_t, std::unique_ptr<GraphStore>> stores;
  auto& slot = stores[nodes];
  if (!slot) slot = build_store(nodes);
  return *slot;
}

void set_counters(benchmark::State& state, std::int64_t nodes, std::size_t blob_bytes) {
  state.counters["per_node"] =
      benchmark::Counter(static_cast<double>(nodes), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
  state.counters["blob_bytes"] = static_cast<double>(blob_bytes);
}

void BM_Serialize(benchmark::State& state) {
  const std::int64_t nodes = state.range(0);
  const GraphStore& store = store_of(nodes);
  const NodeIds outputs = {static_cast<NodeId>(nodes - 1)};
  std::size_t size = 0;
  for (auto _ : state) {
    auto blob = serialize_with(store, outputs);
    if (!blob) fault(blob.error().message);
    size = blob.value().size();
    benchmark::DoNotOptimize(blob.value().data());
  }
  set_counters(state, nodes, size);
}

void BM_Deserialize(benchmark::State& state) {
  const std::int64_t nodes = state.range(0);
  const GraphStore& store = store_of(nodes);
  const NodeIds outputs = {static_cast<NodeId>(nodes - 1)};
  auto blob = serialize_with(store, outputs);
  if (!blob) fault(blob.error().message);
  for (auto _ : state) {
    auto read = deserialize(blob.value());
    if (!read) fault(read.error().message());
    benchmark::DoNotOptimize(read.value().node_count());
  }
  set_counters(state, nodes, blob.value().size());
}

// Baselines: what the store itself costs per node, whatever the format.
// Visiting unpacks every key (the writer's input); interning copies of the
// keys into a fresh store is most of what reading does.
void BM_VisitNodes(benchmark::State& state) {
  const std::int64_t nodes = state.range(0);
  const GraphStore& store = store_of(nodes);
  for (auto _ : state) {
    std::size_t inputs = 0;
    (void)store.visit_nodes([&](NodeId, const NodeKey& key) { inputs += key.inputs().size(); });
    benchmark::DoNotOptimize(inputs);
  }
  set_counters(state, nodes, 0);
}

void BM_InternCopies(benchmark::State& state) {
  const std::int64_t nodes = state.range(0);
  const Snapshot snap = store_of(nodes).snapshot();
  for (auto _ : state) {
    GraphStore fresh;
    for (const NodeKey& key : snap.nodes) {
      if (!fresh.intern(key)) fault("benchmark store: bad input");
    }
    benchmark::DoNotOptimize(fresh.node_count());
  }
  set_counters(state, nodes, 0);
}

BENCHMARK(BM_VisitNodes)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InternCopies)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Serialize)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Deserialize)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessary

BENCHMARK_MAIN();
