"""Build benchmark: tessary_core.GraphStore against the pure-Python store.

Each build runs in a fresh process, alternating the two implementations
(A B A B ...). A child generates the workload (see workload.py), resets the
process's peak-RSS mark, then times the add calls alone. Reported per
configuration: the median ns per add call, the median peak bytes per stored
node (peak RSS growth during the build / node count) and the ratios.

Usage: python benchmarks/bench_build.py [--sizes 100000 1000000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def child(impl: str, n_calls: int, gc_on: bool) -> dict:
    sys.path.insert(0, HERE)
    from workload import generate

    if impl == "tessary":
        import tessary_core

        store = tessary_core.GraphStore()
    else:
        from pure_python_store import PurePythonStore

        store = PurePythonStore()
    calls, expected, node_count = generate(n_calls)
    bound = [(getattr(store, method), args) for method, args in calls]
    del calls
    gc.collect()
    if not gc_on:
        gc.disable()
    rss_before = _status_kib("VmRSS")
    exact_peak = _reset_peak()
    start = time.perf_counter_ns()
    for method, args in bound:
        method(*args)
    elapsed = time.perf_counter_ns() - start
    peak = _status_kib("VmHWM") if exact_peak else _status_kib("VmRSS")
    gc.enable()
    # Check the store afterwards: every call again (now all re-adds) must
    # return the expected id, and the node count must match.
    got = [method(*args) for method, args in bound]
    if got != expected or store.node_count() != node_count:
        raise SystemExit(f"{impl}: wrong ids or node count")
    return {
        "ns_per_call": elapsed / len(bound),
        "bytes_per_node": (peak - rss_before) * 1024 / node_count,
        "nodes": node_count,
        "calls": len(bound),
    }


def run_child(impl: str, n_calls: int, gc_on: bool) -> dict:
    out = subprocess.run(
        [sys.executable, __file__, "--child", impl, str(n_calls), "1" if gc_on else "0"],
        check=True, capture_output=True, text=True,
    )
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        impl, n, gc_flag = args.child
        print(json.dumps(child(impl, int(n), gc_flag == "1")))
        return

    print(f"python {sys.version.split()[0]}, {args.repeats} alternating runs per configuration")
    header = f"{'calls':>9} {'gc':>3} | {'tessary ns/call':>15} {'python ns/call':>14} {'speedup':>7} | " \
             f"{'tessary B/node':>14} {'python B/node':>13} {'ratio':>5}"
    print(header)
    print("-" * len(header))
    for n in args.sizes:
        for gc_on in (True, False):
            results: dict[str, list[dict]] = {"tessary": [], "python": []}
            for _ in range(args.repeats):
                for impl in ("tessary", "python"):
                    results[impl].append(run_child(impl, n, gc_on))
            t = {k: statistics.median(r["ns_per_call"] for r in v) for k, v in results.items()}
            b = {k: statistics.median(r["bytes_per_node"] for r in v) for k, v in results.items()}
            print(f"{n:>9} {'on' if gc_on else 'off':>3} | {t['tessary']:>15.0f} {t['python']:>14.0f} "
                  f"{t['python'] / t['tessary']:>6.2f}x | {b['tessary']:>14.0f} {b['python']:>13.0f} "
                  f"{b['tessary'] / b['python']:>5.2f}")


if __name__ == "__main__":
    main()
