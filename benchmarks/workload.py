"""The build workload shared by the benchmarks: a realistic pipeline recording.

Sources with parameters, element-wise ops with one or two inputs and zero to
two parameters, reductions, externals with descriptor dicts and exchanges,
with about 10% of the calls re-adding a key recorded before. The calls are
generated up front (so that timing covers only the store), together with the
ids a correct store returns, which a run checks afterwards.
"""

from __future__ import annotations

import random

ELEMENTWISE = ["add", "mul", "sub", "div", "neg", "exp", "log", "maximum", "minimum",
               "and", "or", "eq", "ne", "abs", "sqrt", "cast"]
REDUCTIONS = ["sum", "mean", "max", "min", "count"]
SOURCES = ["rows", "events", "users", "clicks", "orders"]


def generate(n_calls: int, seed: int = 1234):
    """Returns (calls, expected_ids, node_count): calls are (method_name, args)."""
    rng = random.Random(seed)
    calls: list[tuple[str, tuple]] = []
    expected: list[int] = []
    index: dict[tuple, int] = {}
    history: list[int] = []

    def record(method: str, args: tuple, key: tuple) -> None:
        node_id = index.setdefault(key, len(index))
        calls.append((method, args))
        expected.append(node_id)
        history.append(len(calls) - 1)

    def pick_input() -> int:
        # Mostly recent nodes (pipelines are chains and fan-outs), sometimes any.
        count = len(index)
        if rng.random() < 0.8:
            return max(0, count - 1 - int(rng.expovariate(0.3)))
        return rng.randrange(count)

    while len(calls) < n_calls:
        r = rng.random()
        if calls and r < 0.10:
            # Re-add an earlier call's key.
            j = history[rng.randrange(len(history))]
            method, args = calls[j]
            calls.append((method, args))
            expected.append(expected[j])
            continue
        if not index or r < 0.15:
            name = rng.choice(SOURCES)
            params = {"path": f"/data/{name}/{rng.randrange(1000)}.parquet", "limit": rng.randrange(10**6)}
            record("add_source", (name, params), ("s", name, tuple(sorted(params.items()))))
        elif r < 0.85:
            name = rng.choice(ELEMENTWISE)
            arity = 1 if rng.random() < 0.5 else 2
            inputs = [pick_input() for _ in range(arity)]
            n_params = rng.choice((0, 0, 1, 2))
            params = None
            if n_params >= 1:
                params = {"scalar": rng.choice((0.0, 1.0, 2.0, 0.5, rng.random()))}
                if n_params == 2:
                    params["side"] = rng.choice(("l", "r"))
            pkey = tuple(sorted(params.items())) if params else ()
            record("add_op", (name, inputs, params), ("o", name, tuple(inputs), pkey))
        elif r < 0.93:
            name = rng.choice(REDUCTIONS)
            inputs = [pick_input()]
            params = {"axis": rng.randrange(3)}
            record("add_reduction", (name, inputs, params), ("r", name, tuple(inputs), params["axis"]))
        elif r < 0.97:
            descriptor = {"kind": "model", "content_hash": f"sha256:{rng.randrange(64):04x}",
                          "framework": "torch", "version": "2.3", "io_schema": "f32[n,8]->f32[n]"}
            inputs = [pick_input()]
            record("add_external", (descriptor, inputs, None),
                   ("e", descriptor["content_hash"], tuple(inputs)))
        else:
            inputs = [pick_input()]
            params = {"by": rng.choice(("user_id", "region")), "partitions": 64}
            record("add_exchange", (inputs, params), ("x", tuple(inputs), params["by"]))
    return calls, expected, len(index)
