// The equality-saturation engine on pipeline-shaped e-graphs of 10^5 and 10^6
// e-nodes: leaves, commutative binary ops with swapped duplicates, identity
// ops, chains and fan-out, run with the optimizer's twelve rules and limits.
// Reports ns per e-node for add, rebuild and the run, and bytes per e-node
// (container capacities, and live heap bytes from a counting allocator).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "eqsat/egraph.h"
#include "eqsat/rewrite.h"
#include "eqsat/runner.h"

// ---- a counting allocator: live heap bytes of this process ----

namespace {
// Counting is switched on only for the memory pass, so timed runs pay nothing
// but one relaxed load per allocation.
std::atomic<bool> g_counting{false};
std::atomic<std::int64_t> g_live_bytes{0};
std::atomic<std::int64_t> g_peak_bytes{0};

void* counted_alloc(std::size_t size, std::size_t align) {
  void* p = align > alignof(std::max_align_t)
                ? std::aligned_alloc(align, (size + align - 1) / align * align)
                : std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  if (!g_counting.load(std::memory_order_relaxed)) return p;
  const auto now = g_live_bytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p))) +
                   static_cast<std::int64_t>(malloc_usable_size(p));
  auto peak = g_peak_bytes.load();
  while (now > peak && !g_peak_bytes.compare_exchange_weak(peak, now)) {
  }
  return p;
}
void counted_free(void* p) {
  if (p == nullptr) return;
  if (g_counting.load(std::memory_order_relaxed))
    g_live_bytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)));
  std::free(p);
}
}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n, 0); }
void* operator new[](std::size_t n) { return counted_alloc(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) {
  return counted_alloc(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return counted_alloc(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted_alloc(n, 0);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }

namespace tessary::eqsat {
namespace {

using Clock = std::chrono::steady_clock;

// CPU time of this thread: the machine is shared, so wall time includes waits.
double thread_cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// ---- the workload ----

struct WorkNode {
  GlobalSymbol op;
  std::uint32_t arity;
  std::uint32_t a;
  std::uint32_t b;
};

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
};

const char* const kCommutative[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
const char* const kIdentityTokens[] = {
    "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
const char* const kUnary[] = {"op|neg",
                              "op|exp",
                              "op|log",
                              "op|abs",
                              "op|cast|dtype=sf32",
                              "op|mul|scalar=f4000000000000000;side=sr",
                              "red|sum|axis=i0"};
const char* const kBinary[] = {"op|sub", "op|div", "op|pow"};

// n engine nodes in topological order (children precede users).
std::vector<WorkNode> make_workload(std::size_t n) {
  Rng rng{1234};
  std::vector<GlobalSymbol> comm, ident, unary, binary;
  for (const char* c : kCommutative) comm.emplace_back(std::string("op|") + c);
  for (const char* t : kIdentityTokens) ident.emplace_back(t);
  for (const char* t : kUnary) unary.emplace_back(t);
  for (const char* t : kBinary) binary.emplace_back(t);

  std::vector<WorkNode> nodes;
  std::vector<std::uint32_t> commutative_at;  // positions of commutative ops
  nodes.reserve(n);
  // An operand: mostly the recent past (60% within 16 nodes, 25% within 1024),
  // 10% anything earlier, 5% one of a few hot nodes (fan-out).
  auto pick = [&](std::uint32_t i) -> std::uint32_t {
    const std::uint32_t r = rng.below(20);
    if (r < 12) return i - 1 - rng.below(std::min<std::uint32_t>(i, 16));
    if (r < 17) return i - 1 - rng.below(std::min<std::uint32_t>(i, 1024));
    if (r < 19) return rng.below(i);
    return rng.below(std::min<std::uint32_t>(i, 64));
  };
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t r = i < 8 ? 0 : rng.below(100);
    if (r < 6) {
      nodes.push_back({GlobalSymbol("src|table|name=s" + std::to_string(i)), 0, 0, 0});
    } else if (r < 40) {
      commutative_at.push_back(i);
      nodes.push_back({comm[rng.below(8)], 2, pick(i), pick(i)});
    } else if (r < 50 && !commutative_at.empty()) {
      // The same op over the swapped operands of an earlier one.
      const WorkNode& earlier = nodes[commutative_at[rng.below(commutative_at.size())]];
      nodes.push_back({earlier.op, 2, earlier.b, earlier.a});
    } else if (r < 60) {
      nodes.push_back({ident[rng.below(4)], 1, pick(i), 0});
    } else if (r < 88) {
      nodes.push_back({unary[rng.below(7)], 1, i - 1, 0});  // chains
    } else {
      nodes.push_back({binary[rng.below(3)], 2, pick(i), pick(i)});
    }
  }
  return nodes;
}

std::vector<Rewrite> optimizer_rules() {
  std::vector<Rewrite> rules;
  auto add = [&](const std::string& name, const std::string& lhs, const std::string& rhs) {
    rules.push_back(
        Rewrite::create(name, Pattern::parse(lhs).value(), Pattern::parse(rhs).value()).value());
  };
  for (const char* c : kCommutative) {
    add(std::string("commute-") + c, std::string("(op|") + c + " ?a ?b)",
        std::string("(op|") + c + " ?b ?a)");
  }
  for (int i = 0; i < 4; ++i) {
    add("identity-" + std::to_string(i), std::string("(") + kIdentityTokens[i] + " ?x)", "?x");
  }
  return rules;
}

EGraph build(const std::vector<WorkNode>& work) {
  EGraph g;
  std::vector<Id> ids;
  ids.reserve(work.size());
  for (const WorkNode& w : work) {
    if (w.arity == 0) {
      ids.push_back(g.add(SymbolLang(w.op)));
    } else if (w.arity == 1) {
      ids.push_back(g.add(SymbolLang{w.op, {ids[w.a]}}));
    } else {
      ids.push_back(g.add(SymbolLang{w.op, {ids[w.a], ids[w.b]}}));
    }
  }
  return g;
}

double ns_per(Clock::duration d, std::size_t n) {
  return std::chrono::duration<double, std::nano>(d).count() / static_cast<double>(n);
}

void BM_Add(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto work = make_workload(n);
  std::size_t size = 0;
  for (auto _ : state) {
    EGraph g = build(work);
    size = g.size();
    state.PauseTiming();
    g = EGraph();
    state.ResumeTiming();
  }
  state.counters["ns_per_node"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
  state.counters["memo"] = static_cast<double>(size);
}

void BM_Rebuild(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto work = make_workload(n);
  for (auto _ : state) {
    state.PauseTiming();
    EGraph g = build(work);
    state.ResumeTiming();
    benchmark::DoNotOptimize(g.rebuild());
    state.PauseTiming();
    g = EGraph();
    state.ResumeTiming();
  }
  state.counters["ns_per_node"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

Runner run_rules(EGraph g, std::size_t n, const std::vector<Rewrite>& rules) {
  Runner runner;
  runner.set_egraph(std::move(g)).set_iter_limit(12).set_node_limit(4 * n + 1024);
  runner.run(rules);
  return runner;
}

// Add, then the runner as the optimizer configures it. Timed runs count no
// memory; one more run afterwards measures it.
void BM_Run(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto work = make_workload(n);
  const auto rules = optimizer_rules();
  double add_ns = 0, run_ns = 0, add_cpu = 0, run_cpu = 0;
  std::size_t iterations = 0, memo = 0, classes = 0;
  std::string stop;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const double c0 = thread_cpu_ns();
    EGraph g = build(work);
    const auto t1 = Clock::now();
    const double c1 = thread_cpu_ns();
    Runner runner = run_rules(std::move(g), n, rules);
    const auto t2 = Clock::now();
    const double c2 = thread_cpu_ns();
    state.PauseTiming();
    add_ns += ns_per(t1 - t0, n);
    run_ns += ns_per(t2 - t1, n);
    add_cpu += (c1 - c0) / static_cast<double>(n);
    run_cpu += (c2 - c1) / static_cast<double>(n);
    iterations = runner.iterations().size();
    memo = runner.egraph().size();
    classes = runner.egraph().number_of_classes();
    stop = to_string(*runner.stop_reason());
    if (getenv("EQSAT_BREAKDOWN")) {
      for (const Iteration& it : runner.iterations()) {
        std::size_t applied = 0;
        for (const auto& a : it.applied) applied += a.second;
        fprintf(stderr,
                "  it nodes=%zu classes=%zu applied=%zu search=%.3f apply=%.3f rebuild=%.3f "
                "unions=%zu\n",
                it.egraph_nodes, it.egraph_classes, applied, it.search_time, it.apply_time,
                it.rebuild_time, it.n_rebuilds);
      }
    }
    { Runner dropped = std::move(runner); }
    state.ResumeTiming();
  }

  // The memory pass: heap bytes held by the e-graph and runner after the run,
  // and the peak during add and run, both from the counting allocator.
  g_live_bytes.store(0);
  g_peak_bytes.store(0);
  g_counting.store(true);
  EGraph g = build(work);
  Runner runner = run_rules(std::move(g), n, rules);
  const std::int64_t live_bytes = g_live_bytes.load();
  const std::int64_t peak_bytes = g_peak_bytes.load();
  g_counting.store(false);
  const EGraphMemory mem = runner.egraph().memory_usage();
  if (getenv("EQSAT_BREAKDOWN")) {
    fprintf(stderr, "memo %.1f classes %.1f parents %.1f uf %.1f pending %.1f opidx %.1f ids %zu\n",
            mem.memo * 1.0 / n, mem.classes * 1.0 / n, mem.parents * 1.0 / n,
            mem.union_find * 1.0 / n, mem.pending * 1.0 / n, mem.op_index * 1.0 / n,
            runner.egraph().id_count());
  }

  const auto iters = static_cast<double>(state.iterations());
  const auto per_node = [&](double bytes) { return bytes / static_cast<double>(n); };
  state.counters["add_ns_per_node"] = add_ns / iters;
  state.counters["run_ns_per_node"] = run_ns / iters;
  state.counters["total_ns_per_node"] = (add_ns + run_ns) / iters;
  state.counters["add_cpu_ns_per_node"] = add_cpu / iters;
  state.counters["run_cpu_ns_per_node"] = run_cpu / iters;
  state.counters["total_cpu_ns_per_node"] = (add_cpu + run_cpu) / iters;
  state.counters["iterations"] = static_cast<double>(iterations);
  state.counters["memo"] = static_cast<double>(memo);
  state.counters["classes"] = static_cast<double>(classes);
  state.counters["capacity_B_per_node"] = per_node(static_cast<double>(mem.total()));
  state.counters["live_B_per_node"] = per_node(static_cast<double>(live_bytes));
  state.counters["peak_B_per_node"] = per_node(static_cast<double>(peak_bytes));
  state.SetLabel(stop);
}

BENCHMARK(BM_Add)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rebuild)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Run)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace tessary::eqsat

BENCHMARK_MAIN();
