"""One GraphStore shared by Python threads: equal keys get one id, the count
is right, and readers always see a consistent store."""

import sys
import threading

import pytest

import tessary_core as tc

N_THREADS = 8


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(target, n=N_THREADS):
    barrier = threading.Barrier(n)
    errors = []

    def wrapped(t):
        try:
            barrier.wait()
            target(t)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=wrapped, args=(t,)) for t in range(n)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []


class YieldingIndex:
    """An id whose conversion lets other threads run in the middle of a call."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        threading.Event().wait(0)
        return self.v


def test_overlapping_keys_from_many_threads_get_one_id_each():
    store = tc.GraphStore()
    src = store.add_source("rows")
    per_thread, distinct = 400, 50
    results = {}

    def work(t):
        ids = []
        for i in range(per_thread):
            k = (i * 7 + t) % distinct
            inputs = [src] if i % 3 else [YieldingIndex(src)]
            ids.append((k, store.add_op("f", inputs, {"k": k})))
            ids.append((("src", k), store.add_source(f"s{k}")))
        results[t] = ids

    run_threads(work)
    by_key = {}
    for ids in results.values():
        for key, node in ids:
            assert by_key.setdefault(key, node) == node
    assert len(by_key) == 2 * distinct
    assert len(set(by_key.values())) == 2 * distinct
    assert store.node_count() == 1 + 2 * distinct
    view = store.nodes()
    for key, node in by_key.items():
        if isinstance(key, int):
            assert view[node]["params"] == {"k": key} and view[node]["inputs"] == [src]


def test_chains_built_on_each_others_nodes():
    store = tc.GraphStore()
    root = store.add_source("root")
    depth = 200

    def work(t):
        prev = root
        for i in range(depth):
            # Threads with the same parity build identical chains and share them.
            prev = store.add_op("step", [prev], {"i": i, "p": t % 2})

    run_threads(work)
    assert store.node_count() == 1 + 2 * depth
    for node in store.nodes()[1:]:
        assert node["inputs"][0] < node["id"]


def test_readers_see_consistent_snapshots_while_writers_add():
    store = tc.GraphStore()
    store.add_source("root")
    writers_left = [2]
    lock = threading.Lock()
    seen = {0: [], 1: []}

    def read(t):
        while True:
            with lock:
                done = writers_left[0] == 0  # one more full read after the writers finish
            view = store.nodes()
            assert [n["id"] for n in view] == list(range(len(view)))
            back = tc.GraphStore.deserialize(store.serialize())
            assert back.node_count() >= len(view)
            assert store.to_dot().startswith("digraph tessary {\n")
            seen[t].append(len(view))
            if done:
                return

    def write(t):
        for i in range(300):
            store.add_op("w", [0], {"t": t, "i": i})
        with lock:
            writers_left[0] -= 1

    def both(t):
        (read if t < 2 else write)(t)

    run_threads(both, n=4)
    assert store.node_count() == 1 + 2 * 300
    for counts in seen.values():
        assert counts == sorted(counts)  # a store only grows
        assert counts[-1] == store.node_count()
