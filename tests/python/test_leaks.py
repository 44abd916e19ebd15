"""Reference and memory leaks: every method and every error path, called many
times, leaves the interpreter's block count (and the process size) flat."""

import gc
import os
import sys

import pytest

import tessary_core as tc
from blob_builder import blob, op, source, stage

DESC = {"kind": "m", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}
STAGE_BLOB = blob([source("x"), stage([0], [("op|add|k=i1", [("input", 0)]),
                                             ("red|sum", [("member", 0)])]), op("f", [1])],
                  outputs=[1, 2])
BAD_STAGE_BLOB = blob([stage([], [("src|x", [])])])


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Grow:
    def __init__(self, d):
        self.d = d

    def __index__(self):
        self.d[len(self.d)] = 0
        return 0


def expect(exc, call):
    try:
        call()
    except exc:
        return
    raise AssertionError(f"{call} did not raise {exc}")


def exercise():
    s = tc.GraphStore()
    src = s.add_source("rows", {"a": 1, "b": 2.5, "c": True, "d": "x", "e": 2**70})
    desc = tc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v",
                                io_schema="s", preprocessing_ref="p")
    ids = [
        s.add_op("add", [src, Index(src)], {"k": Index(3)}),
        s.add_op(name="add", inputs=(src,), params=None),
        s.add_reduction("sum", range(1)),
        s.add_external(desc, [src]),
        s.add_external({**DESC, "preprocessing_ref": None}, [src], {"z": 0}),
        s.add_exchange([], {"by": "k"}),
        # More inputs, params and held strs than the call keeps inline.
        s.add_exchange([src] * 9, {f"k{i}": f"v{i}" for i in range(13)}),
    ]
    (desc.kind, desc.content_hash, desc.framework, desc.version, desc.io_schema,
     desc.preprocessing_ref)
    s.nodes(), s.outputs(), s.node_count(), s.to_dot()
    data = s.serialize(outputs=ids)
    back = tc.GraphStore.deserialize(data)
    back.serialize()
    staged = tc.GraphStore.deserialize(STAGE_BLOB)
    staged.nodes(), staged.outputs(), staged.to_dot(), staged.serialize(outputs=[2, 2])

    # Binding errors.
    expect(TypeError, lambda: tc.GraphStore(1))
    expect(TypeError, lambda: tc.GraphStore(x=1))
    expect(TypeError, lambda: s.add_op("f"))
    expect(TypeError, lambda: s.add_op("f", [], name="g"))
    expect(TypeError, lambda: s.add_op("f", [], bogus=1))
    expect(TypeError, lambda: s.add_source("a", None, 1))
    expect(TypeError, lambda: tc.PayloadDescriptor(kind="k"))
    expect(TypeError, lambda: tc.PayloadDescriptor("k"))
    expect(TypeError, lambda: s.nodes(1))
    # Conversion errors, with and without the argument prefix.
    expect(TypeError, lambda: s.add_op(1, []))
    expect(TypeError, lambda: s.add_op("f", "0"))
    expect(TypeError, lambda: s.add_op("f", 3))
    expect(TypeError, lambda: s.add_op("f", [1.5]))
    expect(OverflowError, lambda: s.add_op("f", [-1]))
    expect(TypeError, lambda: s.add_op("f", [], []))
    expect(TypeError, lambda: s.add_op("f", [], {"k": None}))
    expect(TypeError, lambda: s.add_op("f", [], {1: 1}))
    expect(TypeError, lambda: s.add_op("f", [], {"k": 10**400}))
    expect(UnicodeEncodeError, lambda: s.add_source("\ud800"))
    expect(TypeError, lambda: s.add_external(3, []))
    expect(ValueError, lambda: s.add_external({"kind": "k"}, []))
    expect(TypeError, lambda: s.add_external({"preprocessing_ref": 1}, []))
    expect(TypeError, lambda: tc.PayloadDescriptor(kind=1, content_hash="", framework="",
                                                   version="", io_schema=""))
    # Store and decoding errors, and internal faults.
    expect(ValueError, lambda: s.add_op("f", [99]))
    expect(ValueError, lambda: s.serialize(outputs=[99]))
    expect(TypeError, lambda: s.serialize(outputs="x"))
    expect(TypeError, lambda: tc.GraphStore.deserialize(bytearray()))
    expect(ValueError, lambda: tc.GraphStore.deserialize(b"TIR1"))
    expect(ValueError, lambda: tc.GraphStore.deserialize(b"nope"))
    expect(ValueError, lambda: tc.GraphStore.deserialize(BAD_STAGE_BLOB).nodes())
    d = {}
    d["a"] = Grow(d)
    expect(tc.PanicException, lambda: s.add_source("x", d))


def blocks_after(rounds):
    for _ in range(rounds):
        exercise()
    gc.collect()
    return sys.getallocatedblocks()


def test_block_count_stays_flat():
    blocks_after(20)  # warm caches: interned names, type caches, lazily made objects
    before = blocks_after(1)
    after = blocks_after(300)
    assert after - before < 100, (before, after)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine")
def test_dropped_stores_release_their_core_memory():
    def churn(rounds):
        for _ in range(rounds):
            s = tc.GraphStore()
            prev = s.add_source("root")
            for i in range(2000):
                prev = s.add_op("op", [prev], {"i": i, "name": "x" * 40})
            tc.GraphStore.deserialize(s.serialize())

    churn(5)
    gc.collect()
    before = rss_bytes()
    churn(100)  # ~200 KB of core data per store: a leak would add tens of MB
    gc.collect()
    assert rss_bytes() - before < 16 * 1024 * 1024
