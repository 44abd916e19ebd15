"""A failed allocation raises MemoryError and leaves the store (and an
incremental reducer) usable: nothing is poisoned by it. Each case runs in a
child process whose address space is capped with RLIMIT_AS just above what
it uses, so that the call under test runs out of memory."""

import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import resource, sys
    import tessary_core as tc

    store = tc.GraphStore()
    for i in range(60_000):
        store.add_source(f"n{i}", {"p": "v" * 200})
    store.mark_output(0)
    reducer = tc.IncrementalReducer()
    blob = store.serialize()
    count = store.node_count()
    big_name = "x" * (200 * 2**20)

    def vm_size():
        status = open("/proc/self/status").read()
        return int(status.split("VmSize:")[1].split()[0]) * 1024

    calls = {
        "to_dot": store.to_dot,
        "serialize": store.serialize,
        "nodes": store.nodes,
        "reduce": store.reduce,
        "step": lambda: reducer.step(store),
        "add_source": lambda: store.add_source(big_name),
    }
    call = calls[sys.argv[1]]
    limit = vm_size() + 10 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
    try:
        call()
        outcome = "completed"
    except MemoryError:
        outcome = "MemoryError"
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    del big_name
    # Usable and unchanged afterwards.
    assert store.node_count() == count
    assert store.serialize() == blob
    assert len(store.to_dot()) > 0
    reducer.step(store)
    assert reducer.watermark() == count
    new = store.add_source("after")
    assert new == count and store.node_count() == count + 1
    print(outcome)
    """
)


@pytest.mark.skipif(
    os.environ.get("TESSARY_SANITIZED") == "1",
    reason="the sanitizers reserve far more address space than RLIMIT_AS leaves here",
)
@pytest.mark.parametrize("call", ["to_dot", "serialize", "nodes", "reduce", "step", "add_source"])
def test_memory_error_leaves_the_store_usable(call):
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, call], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MemoryError"]
