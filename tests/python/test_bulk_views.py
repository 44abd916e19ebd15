"""The bulk paths (serialize, deserialize, nodes(), to_dot()) on properties the
view and blob tests do not cover: float display in DOT labels, fresh result
objects, results that outgrow their first buffer, and interruption of a long
call by a real signal."""

import subprocess
import sys
import textwrap

import pytest

import tessary_core as tc
from blob_builder import blob, op, source, stage


@pytest.mark.parametrize(
    "value, shown",
    [
        (2.0**70, "1180591620717411300000"),
        (1.2345678901234568e20, "123456789012345680000"),
        (sys.float_info.max, "17976931348623157" + "0" * 292),
        (-sys.float_info.max, "-17976931348623157" + "0" * 292),
        (2.5e-7, "0.00000025"),
    ],
)
def test_dot_shows_floats_as_shortest_digits_without_exponent(value, shown):
    store = tc.GraphStore()
    store.add_source("s", {"x": value})
    assert f'n0 [label="Source s {{x={shown}}}"];' in store.to_dot()


def test_nodes_returns_fresh_containers_every_call():
    store = tc.GraphStore()
    s = store.add_source("s", {"k": "v"})
    store.add_op("add", [s, s], {"scalar": 1.5})
    store.add_external(
        {"kind": "m", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "{}"}, [s]
    )
    first = store.nodes()
    expected = store.nodes()
    for entry in first:
        entry["inputs"].append(99)
        entry["params"]["new"] = 1
        entry.get("descriptor", {})["kind"] = "changed"
        entry["id"] = -1
    first.append("extra")
    again = store.nodes()
    assert again == expected
    assert again[1]["inputs"] == [0, 0] and again[2]["descriptor"]["kind"] == "m"
    for a, b in zip(again, expected):
        assert a is not b and a["inputs"] is not b["inputs"] and a["params"] is not b["params"]


def test_nodes_of_a_store_too_large_for_the_caches():
    # Large stores are listed reading records ahead of the entry being built;
    # stages, which are read another way, are spread among the ops.
    count = 70_000
    records = [source("s")]
    expected = [("source", [])]
    for i in range(1, count):
        inputs = [i - 1, (i * 7919) % i]
        if i % 97 == 0:
            members = [("op|neg", [("input", 0)]), ("op|add", [("member", 0), ("input", 1)])]
            records.append(stage(inputs, members))
            expected.append(("stage", inputs))
        else:
            records.append(op(f"f{i % 13}", inputs))
            expected.append(("op", inputs))
    store = tc.GraphStore.deserialize(blob(records, outputs=[count - 1]))
    entries = store.nodes()
    assert [(e["kind"], e["inputs"]) for e in entries] == expected
    assert [e["id"] for e in entries] == list(range(count))
    assert [i for i, e in enumerate(entries) if e["output"]] == [count - 1]
    assert entries[97]["n_members"] == 2 and entries[98]["name"] == "f7"


CHILD = textwrap.dedent(
    """
    import signal, sys
    import tessary_core as tc

    store = tc.GraphStore()
    for i in range(200_000):
        store.add_source(f"s{i}", {"i": i})
    blob = store.serialize()
    call = {
        "nodes": store.nodes,
        "to_dot": store.to_dot,
        "deserialize": lambda: tc.GraphStore.deserialize(blob),
    }[sys.argv[1]]

    handled = 0
    def on_alarm(signum, frame):
        global handled
        handled += 1
        # Signals that arrive while a call runs are coalesced unless the call
        # runs the handlers itself; a third run means the call polled.
        if handled == 3:
            raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    result = None
    try:
        result = call()
        outcome = "completed"
    except KeyboardInterrupt:
        outcome = "interrupted"
    signal.setitimer(signal.ITIMER_REAL, 0)
    # The store read from is unchanged and usable.
    assert store.node_count() == 200_000 and store.serialize() == blob
    print(outcome, result is None)
    """
)


@pytest.mark.parametrize("method", ["nodes", "to_dot", "deserialize"])
def test_long_calls_stop_on_a_signal_and_change_nothing(method):
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, method], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["interrupted", "True"]


# serialize and to_dot write into a bytes or str object sized for typical
# nodes and grow it as it fills; the DOT text is taken as ASCII until a label
# shows otherwise. Long names outgrow the first size, and non-ASCII ones
# (everywhere, or only on the last node) need the text decoded.
@pytest.mark.parametrize(
    "name, last", [("n" * 300, "n" * 300), ("ünï" * 100, "ünï" * 100), ("n" * 300, "ü")]
)
def test_results_written_in_place_past_their_first_size(name, last):
    names = [name] * 40 + [last]
    store = tc.GraphStore()
    store.add_source(names[0], {"k": 1})
    for i, op_name in enumerate(names[1:]):
        store.add_op(op_name, [i], {"i": i})
    store.mark_output(len(names) - 1)
    records = [source(names[0], {"k": 1})] + [op(n, [i], {"i": i}) for i, n in enumerate(names[1:])]
    assert store.serialize() == blob(records, outputs=[len(names) - 1])
    lines = [f'  n0 [label="Source {names[0]} {{k=1}}"];']
    lines += [f'  n{i + 1} [label="Op {n} {{i={i}}}"];' for i, n in enumerate(names[1:-1])]
    lines += [f'  n{len(names) - 1} [label="Op {last} {{i={len(names) - 2}}}", shape=doublecircle];']
    lines += [f"  n{i} -> n{i + 1};" for i in range(len(names) - 1)]
    assert store.to_dot() == "digraph tessary {\n" + "\n".join(lines) + "\n}\n"


# A blob first sized for a few nodes is written to a buffer of the call's
# own; distinct long names take it past that buffer into a bytes object.
@pytest.mark.parametrize("length", [1, 1000, 3000])
def test_small_store_blob_past_the_local_buffer(length):
    names = [c * length for c in "abcde"]
    store = tc.GraphStore()
    store.add_source(names[0], {"k": 1})
    for i, op_name in enumerate(names[1:]):
        store.add_op(op_name, [i])
    records = [source(names[0], {"k": 1})] + [op(n, [i]) for i, n in enumerate(names[1:])]
    assert store.serialize(outputs=[4]) == blob(records, outputs=[4])
    assert tc.GraphStore.deserialize(store.serialize()).serialize() == store.serialize()


# to_dot reads labels eight bytes at a time to find what to escape: a quote,
# a backslash or a non-ASCII character at every offset of names up to three
# words long, among the characters one bit away from the escaped ones.
def test_dot_escapes_labels_at_every_offset():
    store = tc.GraphStore()
    names = []
    for length in range(1, 25):
        for pos in range(length):
            for special in ('"', "\\", "é", '\\"'):
                filler = "".join("]#!["[i % 4] for i in range(length))
                names.append(filler[:pos] + special + filler[pos + 1:])
    for name in names:
        store.add_source(name)
    escaped = [name.replace("\\", "\\\\").replace('"', '\\"') for name in names]
    lines = [f'  n{i} [label="Source {text}"];' for i, text in enumerate(escaped)]
    assert store.to_dot() == "digraph tessary {\n" + "\n".join(lines) + "\n}\n"
