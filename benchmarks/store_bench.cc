// GraphStore::intern throughput and memory per node on a pipeline-shaped
// workload (sources, one- and two-input ops with zero to two parameters,
// reductions; about 10% re-added keys).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "ir/store.h"

namespace tessary {
namespace {

std::vector<NodeKey> make_keys(std::size_t n) {
  std::mt19937_64 rng(42);
  const char* names[] = {"add", "mul", "sub", "neg", "exp", "log", "maximum", "minimum"};
  std::vector<NodeKey> keys;
  keys.reserve(n);
  std::size_t distinct = 0;
  GraphStore scratch;
  for (std::size_t i = 0; i < n; ++i) {
    const auto r = rng() % 100;
    if (i > 0 && r < 10) {
      keys.push_back(keys[rng() % keys.size()]);
      continue;
    }
    auto pick = [&]() -> NodeId {
      if (distinct == 0) return 0;
      if (rng() % 5 == 0) return rng() % distinct;  // occasionally any earlier node
      return distinct - 1 - (rng() % std::min<std::size_t>(distinct, 16));
    };
    if (distinct == 0 || r < 15) {
      keys.push_back(Source{
          "rows",
          ParamMap({{"limit", ParamValue::integer(static_cast<std::int64_t>(rng() % 100000))}})});
    } else if (r < 92) {
      std::vector<ParamEntry> p;
      if (rng() % 2)
        p.push_back({"scalar", ParamValue::floating(static_cast<double>(rng() % 100000) / 7)});
      if (rng() % 3 == 0) p.push_back({"side", ParamValue::string("r")});
      NodeIds inputs{pick()};
      if (rng() % 2) inputs.push_back(pick());
      keys.push_back(Op{names[rng() % 8], ParamMap(std::move(p)), std::move(inputs)});
    } else {
      keys.push_back(Reduction{"sum", ParamMap({{"axis", ParamValue::integer(0)}}), {pick()}});
    }
    // Count distinct keys with a scratch store so inputs stay in range.
    auto r2 = scratch.intern(keys.back());
    distinct = scratch.node_count();
    (void)r2;
  }
  return keys;
}

void BM_Intern(benchmark::State& state) {
  const auto keys = make_keys(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    GraphStore store;
    for (const NodeKey& key : keys) {
      auto r = store.intern(key);
      benchmark::DoNotOptimize(r);
    }
    state.PauseTiming();
    const StoreFootprint f = store.footprint();
    const double nodes = static_cast<double>(store.node_count());
    state.counters["bytes_per_node"] = static_cast<double>(f.record_bytes + f.table_bytes) / nodes;
    state.counters["nodes"] = nodes;
    state.ResumeTiming();
  }
  state.counters["ns_per_intern"] = benchmark::Counter(
      static_cast<double>(keys.size()),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Intern)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_Snapshot(benchmark::State& state) {
  const auto keys = make_keys(static_cast<std::size_t>(state.range(0)));
  GraphStore store;
  for (const NodeKey& key : keys) (void)store.intern(key);
  for (auto _ : state) {
    auto snap = store.snapshot();
    benchmark::DoNotOptimize(snap);
  }
  state.counters["ns_per_node"] = benchmark::Counter(
      static_cast<double>(store.node_count()),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Snapshot)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessary

BENCHMARK_MAIN();
