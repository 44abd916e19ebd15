// Reduction cost on large graphs: end to end (reduce_with: the store's engine
// graph, the pipeline and the new store) under both fusion rules, per pass,
// and the incremental reducer stepped every 1,000 nodes while the graph is
// being built. Figures are ns per input node.
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <string>

#include "ir/store.h"
#include "optimizer/cse.h"
#include "optimizer/dce.h"
#include "optimizer/engine.h"
#include "optimizer/fusion.h"
#include "optimizer/incremental.h"
#include "optimizer/pipeline.h"
#include "optimizer/report.h"

namespace tessary {
namespace {

using Clock = std::chrono::steady_clock;

// CPU time of the calling thread in ns; the machine is shared, so wall time
// of one pass says little.
double thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

ParamMap scalar_side(double scalar, const char* side) {
  return ParamMap({{"scalar", ParamValue::floating(scalar)}, {"side", ParamValue::string(side)}});
}

// About n nodes: a few sources, commutative ops often followed by their
// swapped twin, identity ops, unary chains, fan-out from older nodes and
// reductions.
GraphStore build_graph(std::size_t n) {
  std::mt19937 rng(42);
  auto pick = [&](std::size_t k) {
    return std::uniform_int_distribution<std::size_t>(0, k - 1)(rng);
  };
  GraphStore store;
  std::vector<NodeId> unused;  // nodes no operand has named yet
  auto add = [&](NodeKey key) {
    const std::uint64_t before = store.node_count();
    const NodeId id = store.intern(std::move(key)).value();
    if (store.node_count() > before) unused.push_back(id);
    return id;
  };
  // Operands mostly come from nodes nothing uses yet, so the graph has few
  // sinks (outputs); the rest are recent nodes (chains) or any node (fan-out).
  auto operand = [&](std::uint64_t count) -> NodeId {
    const std::size_t r = pick(20);
    if (r < 17 && !unused.empty()) {
      const std::size_t i = pick(unused.size());
      const NodeId id = unused[i];
      unused[i] = unused.back();
      unused.pop_back();
      return id;
    }
    if (r < 19) return count - 1 - pick(std::min<std::uint64_t>(count, 8));
    return pick(count);
  };
  static const char* kComm[] = {"add", "mul", "maximum", "minimum"};
  static const char* kUnary[] = {"neg", "exp", "log", "abs"};
  while (store.node_count() < n) {
    const std::uint64_t count = store.node_count();
    const std::size_t r = pick(100);
    if (count < 16 || r < 1) {
      std::string name = std::to_string(pick(100));
      name.insert(name.begin(), 's');
      add(Source{std::move(name), ParamMap({{"rows", ParamValue::integer(1000)}})});
    } else if (r < 31) {
      const NodeId a = operand(count);
      const NodeId b = operand(count);
      const char* name = kComm[pick(4)];
      add(Op{name, {}, {a, b}});
      if (pick(2) == 0) add(Op{name, {}, {b, a}});
    } else if (r < 41) {
      const std::size_t i = pick(4);
      add(Op{i < 2 ? "add" : "mul",
             scalar_side(i < 2 ? 0.0 : 1.0, i % 2 ? "l" : "r"),
             {operand(count)}});
    } else if (r < 71) {
      add(Op{kUnary[pick(4)], {}, {operand(count)}});
    } else if (r < 86) {
      add(Op{pick(2) ? "sub" : "div", {}, {operand(count), operand(count)}});
    } else if (r < 91) {
      add(Reduction{"sum", ParamMap({{"axis", ParamValue::integer(0)}}), {operand(count)}});
    } else {
      add(Op{kUnary[pick(4)], {}, {pick(count)}});
    }
  }
  // Every node that nothing uses is an output, so the whole graph is live.
  const Snapshot snap = store.snapshot();
  std::vector<bool> used(snap.nodes.size(), false);
  for (const NodeKey& key : snap.nodes) {
    for (const NodeId input : key.inputs()) used[input] = true;
  }
  for (std::uint64_t id = 0; id < used.size(); ++id) {
    if (!used[id]) (void)store.mark_output(id);
  }
  return store;
}

const GraphStore& graph(std::size_t n) {
  static std::map<std::size_t, GraphStore> cache;
  auto it = cache.find(n);
  if (it == cache.end()) it = cache.emplace(n, build_graph(n)).first;
  return it->second;
}

void report_counters(benchmark::State& state, const ReductionCounters& c) {
  state.counters["input"] = static_cast<double>(c.input_nodes);
  state.counters["reachable"] = static_cast<double>(c.reachable_nodes);
  state.counters["canonical"] = static_cast<double>(c.canonical_nodes);
  state.counters["reduced"] = static_cast<double>(c.reduced_nodes);
  state.counters["stages"] = static_cast<double>(c.stages);
}

// End to end: reduce_with, with a fresh default engine, giving a new store.
void BM_Reduce(benchmark::State& state) {
  const GraphStore& store = graph(static_cast<std::size_t>(state.range(0)));
  const bool maximal = state.range(1) != 0;
  ReductionCounters counters;
  double elapsed = 0;
  double cpu = 0;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    const double c0 = thread_cpu_ns();
    const SaturationEngine engine = SaturationEngine::default_engine();
    ReductionResult r = reduce_with(store, engine, maximal);
    cpu += thread_cpu_ns() - c0;
    elapsed += std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    counters = r.counters;
    benchmark::DoNotOptimize(r);
  }
  report_counters(state, counters);
  state.counters["outputs"] = static_cast<double>(store.outputs().size());
  state.counters["ns_per_node"] =
      elapsed / static_cast<double>(state.iterations()) / static_cast<double>(store.node_count());
  state.counters["cpu_ns_per_node"] =
      cpu / static_cast<double>(state.iterations()) / static_cast<double>(store.node_count());
}

// Reducing an already reduced store: every node is a boundary node, and most
// are stages whose tokens (member counts) collide.
void BM_ReduceAgain(benchmark::State& state) {
  const SaturationEngine first_engine = SaturationEngine::default_engine();
  const ReductionResult first =
      reduce_with(graph(static_cast<std::size_t>(state.range(0))), first_engine, false);
  ReductionCounters counters;
  double cpu = 0;
  for (auto _ : state) {
    const double c0 = thread_cpu_ns();
    const SaturationEngine engine = SaturationEngine::default_engine();
    ReductionResult r = reduce_with(first.store, engine, false);
    cpu += thread_cpu_ns() - c0;
    counters = r.counters;
    benchmark::DoNotOptimize(r);
  }
  report_counters(state, counters);
  state.counters["cpu_ns_per_node"] =
      cpu / static_cast<double>(state.iterations()) / static_cast<double>(first.store.node_count());
}

// The same reduction pass by pass, each timed on its own (thread CPU time).
// On large graphs the runner searches rules on a second thread, whose time
// "canonicalize" leaves out; BM_Reduce's ns_per_node is wall time.
void BM_ReducePasses(benchmark::State& state) {
  const GraphStore& store = graph(static_cast<std::size_t>(state.range(0)));
  const bool maximal = state.range(1) != 0;
  const SaturationEngine engine = SaturationEngine::default_engine();
  const double n = static_cast<double>(store.node_count());
  double t[7] = {};
  auto lap = [](double& since) {
    const double now = thread_cpu_ns();
    const double ns = now - since;
    since = now;
    return ns;
  };
  for (auto _ : state) {
    double since = thread_cpu_ns();
    // As reduce_with does: the engine graph of every node, built while
    // visiting the store, then dead code dropped from it.
    std::optional<EngineGraphBuilder> builder(std::in_place);
    const NodeIds marks = load_engine_graph(store, *builder);
    std::optional<EngineGraphBuild> build(std::move(*builder).finish(marks));
    builder.reset();
    t[0] += lap(since);
    build->graph = dead_code_elimination(std::move(build->graph));
    t[1] += lap(since);
    std::optional<EngineGraph> canonical(engine.canonicalize(build->graph));
    t[2] += lap(since);
    // As in the pipeline: CSE runs only after an engine whose results may
    // still hold foldable nodes.
    std::optional<EngineGraph> folded(engine.returns_folded_graphs() ? std::move(*canonical)
                                                                     : cse(std::move(*canonical)));
    t[3] += lap(since);
    Reduced reduced = stage_fusion(std::move(*folded), build->symbols, maximal);
    t[4] += lap(since);
    build.reset();
    canonical.reset();
    folded.reset();
    t[6] += lap(since);
    ReductionResult result = from_reduced(std::move(reduced));
    t[5] += lap(since);
    benchmark::DoNotOptimize(result);
  }
  const double iters = static_cast<double>(state.iterations());
  const char* names[7] = {"engine_graph", "dce",           "canonicalize", "cse",
                          "fusion",       "rebuild_store", "release"};
  double total = 0;
  for (int i = 0; i < 7; ++i) {
    state.counters[names[i]] = t[i] / iters / n;
    total += t[i];
  }
  state.counters["total"] = total / iters / n;
}

// Builds the graph in chunks of 1,000 nodes and steps after each chunk; only
// the steps (snapshot_from, then step) and the final finalize are timed, in
// thread CPU time.
void BM_IncrementalStep(benchmark::State& state) {
  const GraphStore& source = graph(static_cast<std::size_t>(state.range(0)));
  const std::vector<NodeKey> keys = source.snapshot().nodes;
  const NodeIds marks = source.outputs();
  constexpr std::size_t kChunk = 1000;
  double copy_ns = 0;
  double step_ns = 0;
  double finalize_ns = 0;
  std::uint64_t canonical = 0;
  for (auto _ : state) {
    GraphStore store;
    IncrementalReducer reducer;
    double copy = 0;
    double step = 0;
    for (std::size_t start = 0; start < keys.size(); start += kChunk) {
      const std::size_t end = std::min(keys.size(), start + kChunk);
      for (std::size_t i = start; i < end; ++i) (void)store.intern(keys[i]);
      const double t0 = thread_cpu_ns();
      const std::vector<NodeKey> delta = store.snapshot_from(reducer.watermark());
      const double t1 = thread_cpu_ns();
      const auto done = reducer.step(delta);
      step += thread_cpu_ns() - t1;
      copy += t1 - t0;
      benchmark::DoNotOptimize(done);
    }
    const double t0 = thread_cpu_ns();
    const SaturationEngine engine = SaturationEngine::default_engine();
    auto reduced = reducer.finalize(marks, engine, false);
    const double fin = thread_cpu_ns() - t0;
    benchmark::DoNotOptimize(reduced);
    state.SetIterationTime((copy + step + fin) / 1e9);
    copy_ns += copy;
    step_ns += step;
    finalize_ns += fin;
    canonical = reducer.canonical_count();
  }
  const double per = static_cast<double>(state.iterations()) * static_cast<double>(keys.size());
  state.counters["snapshot_from_ns_per_node"] = copy_ns / per;
  state.counters["step_ns_per_node"] = step_ns / per;
  state.counters["finalize_ns_per_node"] = finalize_ns / per;
  state.counters["canonical"] = static_cast<double>(canonical);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (const std::int64_t n : {10'000, 100'000, 1'000'000}) {
    for (const std::int64_t maximal : {0, 1}) b->Args({n, maximal});
  }
}

BENCHMARK(BM_Reduce)->Apply(Sizes)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReduceAgain)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(BM_ReducePasses)->Apply(Sizes)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_IncrementalStep)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace
}  // namespace tessary

BENCHMARK_MAIN();
