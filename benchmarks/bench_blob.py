"""Persistence and view benchmark: serialize, deserialize, nodes() and to_dot()
of tessary_core stores built by the build workload, side by side with what a
Python author would do instead: pickle.dumps / pickle.loads of the pure-Python
store (its key index and node list; pickle shares the key tuples between them),
and that store's nodes().

Usage: python benchmarks/bench_blob.py [--sizes 100000 1000000] [--repeats 5]
Reports the median ns per stored node of each operation, and the blob and
pickle sizes in bytes per node.
"""

from __future__ import annotations

import argparse
import gc
import os
import pickle
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import tessary_core as tc  # noqa: E402
from pure_python_store import PurePythonStore  # noqa: E402
from workload import generate  # noqa: E402


def build(store, calls):
    for method, args in calls:
        getattr(store, method)(*args)
    return store


def timed(fn, repeats: int) -> float:
    samples = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter_ns()
        result = fn()
        samples.append(time.perf_counter_ns() - start)
        del result
    return statistics.median(samples)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(f"python {sys.version.split()[0]}, median of {args.repeats} runs, ns per stored node")
    for n in args.sizes:
        calls, _, _ = generate(n)
        store = build(tc.GraphStore(), calls)
        py_store = build(PurePythonStore(), calls)
        del calls
        nodes = store.node_count()
        blob = store.serialize()
        pickled = pickle.dumps(py_store, protocol=pickle.HIGHEST_PROTOCOL)
        t = {
            "serialize": timed(store.serialize, args.repeats),
            "pickle.dumps": timed(lambda: pickle.dumps(py_store, protocol=pickle.HIGHEST_PROTOCOL),
                                  args.repeats),
            "deserialize": timed(lambda: tc.GraphStore.deserialize(blob), args.repeats),
            "pickle.loads": timed(lambda: pickle.loads(pickled), args.repeats),
            "nodes()": timed(store.nodes, args.repeats),
            "python nodes()": timed(py_store.nodes, args.repeats),
            "to_dot()": timed(store.to_dot, args.repeats),
        }
        print(f"\n{nodes} nodes (blob {len(blob) / nodes:.0f} B/node, pickle {len(pickled) / nodes:.0f} B/node)")
        for name, ns in t.items():
            print(f"  {name:<15} {ns / nodes:8.0f} ns/node")
        print(f"  serialize is {t['pickle.dumps'] / t['serialize']:.2f}x faster than pickle.dumps; "
              f"deserialize is {t['pickle.loads'] / t['deserialize']:.2f}x the speed of pickle.loads; "
              f"nodes() is {t['python nodes()'] / t['nodes()']:.2f}x faster than the pure-Python store's")


if __name__ == "__main__":
    main()
