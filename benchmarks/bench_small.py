"""Small-graph benchmark: the fixed cost of every call, at the sizes most pipelines have.

For graphs of 1, 10, 100, 1,000 and 10,000 nodes (sources with params,
element-wise ops with one or two inputs, identity scalars and commutative ops
recorded in both operand orders, reductions, externals and exchanges; every
node nothing uses is an output), times in one process, as a front end calls
them: GraphStore(), reduce, reduction_report, reduce_incremental, an
IncrementalReducer's step + finalize, serialize, deserialize, nodes() and
to_dot(), side by side with the pure-Python reducer (pure_python_reduce.py)
on the same graph. Each figure is the median over batches of calls; the
batches of one size are timed in rounds, one of each call per round, so that
the ratios compare calls timed in the same minutes.

Usage: python benchmarks/bench_small.py [--sizes 1 10 100 1000 10000] [--seconds 0.3]
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import tessary_core as tc  # noqa: E402
import pure_python_reduce  # noqa: E402
from pure_python_store import PurePythonStore  # noqa: E402

COMMUTATIVE = ["add", "mul", "maximum", "minimum", "eq"]
OTHER = ["sub", "div", "neg", "exp", "log", "abs", "cast"]
IDENTITIES = [("add", 0.0, "r"), ("add", 0.0, "l"), ("mul", 1.0, "r"), ("mul", 1.0, "l")]
DESCRIPTOR = {"kind": "model", "content_hash": "sha256:0f3a", "framework": "torch",
              "version": "2.3", "io_schema": "f32[n,8]->f32[n]"}


def plan(n: int, seed: int = 7) -> list[tuple[str, tuple]]:
    """Calls that record a graph of exactly n distinct nodes, replayable on either store."""
    rng = random.Random(seed)
    store = tc.GraphStore()
    calls: list[tuple[str, tuple]] = []

    def call(method: str, *args) -> None:
        if store.node_count() < n:
            getattr(store, method)(*args)
            calls.append((method, args))

    def pick() -> int:
        count = store.node_count()
        if rng.random() < 0.8:
            return max(0, count - 1 - int(rng.expovariate(0.5)))
        return rng.randrange(count)

    while store.node_count() < n:
        count = store.node_count()
        r = rng.random()
        if count == 0 or r < 0.10:
            name = rng.choice(["rows", "events", "users"])
            call("add_source", name, {"path": f"/data/{name}/{rng.randrange(100)}.parquet",
                                      "limit": rng.randrange(10**6)})
        elif r < 0.40:
            a, b = pick(), pick()
            name = rng.choice(COMMUTATIVE)
            call("add_op", name, [a, b])
            if rng.random() < 0.3:
                call("add_op", name, [b, a])
        elif r < 0.50:
            name, scalar, side = rng.choice(IDENTITIES)
            call("add_op", name, [pick()], {"scalar": scalar, "side": side})
        elif r < 0.80:
            name = rng.choice(OTHER)
            inputs = [pick()] if name in ("neg", "exp", "log", "abs", "cast") else [pick(), pick()]
            params = {"scalar": 2.0, "side": "r"} if rng.random() < 0.2 else None
            call("add_op", name, inputs, params)
        elif r < 0.90:
            call("add_reduction", rng.choice(["sum", "mean", "max"]), [pick()], {"axis": 0})
        elif r < 0.95:
            call("add_external", DESCRIPTOR, [pick()])
        else:
            call("add_exchange", [pick()], {"by": "user_id", "partitions": 64})
    return calls


def build(store, calls):
    for method, args in calls:
        getattr(store, method)(*args)
    return store


def sinks(store: tc.GraphStore) -> list[int]:
    used = [False] * store.node_count()
    for node in store.nodes():
        for i in node["inputs"]:
            used[i] = True
    return [i for i, flag in enumerate(used) if not flag]


# Long enough that a batch's first call, which may find the caches holding
# another call's data, weighs little in it.
BATCH_SECONDS = 0.02


def median_us_interleaved(fns: dict, seconds: float) -> dict[str, float]:
    """Median wall time of one call of each function, in µs, over batches of
    about BATCH_SECONDS. The batches are timed in rounds, one of each function
    per round, so that a change in the host's speed touches every figure alike
    and the ratios between them stay fair."""
    batch_sizes = {}
    round_seconds = 0.0
    for name, fn in fns.items():
        fn()
        start = time.perf_counter()
        fn()
        once = max(time.perf_counter() - start, 1e-7)
        batch_sizes[name] = max(1, int(BATCH_SECONDS / once))
        round_seconds += once * batch_sizes[name]
    rounds = max(9, min(201, int(seconds * len(fns) / round_seconds)))
    samples: dict[str, list[float]] = {name: [] for name in fns}
    gc.collect()
    for _ in range(rounds):
        for name, fn in fns.items():
            size = batch_sizes[name]
            start = time.perf_counter_ns()
            for _ in range(size):
                fn()
            samples[name].append((time.perf_counter_ns() - start) / size)
    return {name: statistics.median(values) / 1e3 for name, values in samples.items()}


def measure(n: int, seconds: float) -> dict[str, float]:
    calls = plan(n)
    store = build(tc.GraphStore(), calls)
    py_store = build(PurePythonStore(), calls)
    outputs = sinks(store)
    blob = store.serialize(outputs=outputs)
    _, report = store.reduce(outputs=outputs)
    _, py_report = pure_python_reduce.reduce(py_store, outputs)
    if report != py_report:
        raise SystemExit(f"n={n}: the reports differ: {report} vs {py_report}")

    def incremental():
        reducer = tc.IncrementalReducer()
        reducer.step(store)
        return reducer.finalize(store, outputs=outputs)

    return median_us_interleaved({
        "reduce": lambda: store.reduce(outputs=outputs),
        "pure_python_reduce": lambda: pure_python_reduce.reduce(py_store, outputs),
        "reduce (maximal)": lambda: store.reduce(maximal_fusion=True, outputs=outputs),
        "reduction_report": lambda: store.reduction_report(outputs=outputs),
        "reduce_incremental": lambda: store.reduce_incremental(outputs=outputs),
        "IncrementalReducer": incremental,
        "serialize": lambda: store.serialize(outputs=outputs),
        "deserialize": lambda: tc.GraphStore.deserialize(blob),
        "nodes()": store.nodes,
        "to_dot()": store.to_dot,
    }, seconds)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1, 10, 100, 1000, 10000])
    parser.add_argument("--seconds", type=float, default=0.3, help="time spent on each figure")
    args = parser.parse_args()
    print(f"python {sys.version.split()[0]}, tessary_core {tc.version()}; median µs per call")
    empty_store = median_us_interleaved({"GraphStore()": tc.GraphStore}, args.seconds)
    print(f"GraphStore(): {empty_store['GraphStore()']:.2f} µs")
    results = {n: measure(n, args.seconds) for n in args.sizes}
    rows = list(next(iter(results.values())))
    width = max(len(r) for r in rows) + 2
    print("call".ljust(width) + "".join(f"{n:>12,}" for n in args.sizes))
    for row in rows:
        print(row.ljust(width) + "".join(f"{results[n][row]:>12.2f}" for n in args.sizes))
    print("pure Python / reduce".ljust(width) + "".join(
        f"{results[n]['pure_python_reduce'] / results[n]['reduce']:>11.1f}x" for n in args.sizes))
    for row in ("reduction_report", "reduce_incremental", "IncrementalReducer"):
        print(f"{row} / reduce".ljust(width) + "".join(
            f"{results[n][row] / results[n]['reduce']:>11.2f}x" for n in args.sizes))


if __name__ == "__main__":
    main()
