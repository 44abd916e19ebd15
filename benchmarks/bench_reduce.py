"""Reduce benchmark: GraphStore.reduce() end to end, as a Python caller sees it.

The graph is the shape reduce_bench.cc builds: a few sources, commutative ops
often followed by their swapped twin, identity ops (add 0.0, mul 1.0 on either
side), unary chains, fan-out from older nodes and reductions; every node that
nothing uses is an output, so the whole graph is live. Each run
builds the graph in a fresh process, then times one reduce() call (wall
clock), so every figure includes what a first reduction in a process pays.

Usage: python benchmarks/bench_reduce.py [--sizes 10000 100000 1000000] [--runs 5]
"""

from __future__ import annotations

import argparse
import json
import random
import statistics
import subprocess
import sys
import time

COMMUTATIVE = ["add", "mul", "maximum", "minimum"]
UNARY = ["neg", "exp", "log", "abs"]


def build(n: int, seed: int = 42):
    import tessary_core

    rng = random.Random(seed)
    store = tessary_core.GraphStore()
    unused: list[int] = []  # nodes no operand has named yet

    def add(node_id: int, count_before: int) -> int:
        if store.node_count() > count_before:
            unused.append(node_id)
        return node_id

    def operand(count: int) -> int:
        r = rng.randrange(20)
        if r < 17 and unused:
            i = rng.randrange(len(unused))
            node_id = unused[i]
            unused[i] = unused[-1]
            unused.pop()
            return node_id
        if r < 19:
            return count - 1 - rng.randrange(min(count, 8))
        return rng.randrange(count)

    while store.node_count() < n:
        count = store.node_count()
        r = rng.randrange(100)
        if count < 16 or r < 1:
            add(store.add_source(f"s{rng.randrange(100)}", {"rows": 1000}), count)
        elif r < 31:
            a, b = operand(count), operand(count)
            name = COMMUTATIVE[rng.randrange(4)]
            add(store.add_op(name, [a, b]), count)
            if rng.randrange(2) == 0:
                add(store.add_op(name, [b, a]), store.node_count())
        elif r < 41:
            i = rng.randrange(4)
            params = {"scalar": 0.0 if i < 2 else 1.0, "side": "l" if i % 2 else "r"}
            add(store.add_op("add" if i < 2 else "mul", [operand(count)], params), count)
        elif r < 71:
            add(store.add_op(UNARY[rng.randrange(4)], [operand(count)]), count)
        elif r < 86:
            name = "sub" if rng.randrange(2) else "div"
            add(store.add_op(name, [operand(count), operand(count)]), count)
        elif r < 91:
            add(store.add_reduction("sum", [operand(count)], {"axis": 0}), count)
        else:
            add(store.add_op(UNARY[rng.randrange(4)], [rng.randrange(count)]), count)
    used = [False] * store.node_count()
    for node in store.nodes():
        for i in node["inputs"]:
            used[i] = True
    return store, [node_id for node_id, flag in enumerate(used) if not flag]


def child(n: int, maximal: bool) -> dict:
    store, outputs = build(n)
    start = time.perf_counter()
    reduced, report = store.reduce(maximal_fusion=maximal, outputs=outputs)
    elapsed = time.perf_counter() - start
    return {"seconds": elapsed, "nodes": store.node_count(), "reduced": reduced.node_count(),
            "canonical": report["canonical_nodes"]}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--child", nargs=2, metavar=("N", "MAXIMAL"))
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(int(args.child[0]), args.child[1] == "1")))
        return
    for n in args.sizes:
        for maximal in (False, True):
            runs = []
            for _ in range(args.runs):
                out = subprocess.run([sys.executable, __file__, "--child", str(n), str(int(maximal))],
                                     check=True, capture_output=True, text=True)
                runs.append(json.loads(out.stdout))
            secs = [r["seconds"] for r in runs]
            per_node = statistics.median(secs) / runs[0]["nodes"] * 1e9
            print(f"n={runs[0]['nodes']:>8} maximal_fusion={maximal!s:5}  reduce() median "
                  f"{statistics.median(secs) * 1e3:8.1f} ms  min {min(secs) * 1e3:8.1f}  "
                  f"max {max(secs) * 1e3:8.1f}  ({per_node:.0f} ns/node; canonical "
                  f"{runs[0]['canonical']}, reduced {runs[0]['reduced']})", flush=True)


if __name__ == "__main__":
    main()
