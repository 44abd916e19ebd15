"""GraphStore.reduce, reduction_report and reduce_incremental."""

import shutil
import subprocess

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import tessary_core as tc
from graphs import record, steps

COUNTERS = {"input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
            "boundary_nodes"}


def worked_example():
    store = tc.GraphStore()
    x = store.add_source("x")
    y = store.add_source("y")
    a = store.add_op("add", [x, y])
    b = store.add_op("add", [y, x])
    m = store.add_op("mul", [a, b])
    out = store.add_op("add", [m], {"scalar": 0.0, "side": "r"})
    store.add_source("z")
    return store, out


def test_worked_example_single_use_rule():
    store, out = worked_example()
    reduced, report = store.reduce(outputs=[out])
    assert report == {"input_nodes": 7, "reachable_nodes": 6, "canonical_nodes": 4, "stages": 2,
                      "reduced_nodes": 4, "boundary_nodes": 2}
    view = reduced.nodes()
    assert [(n["kind"], n["name"], n["inputs"]) for n in view] == [
        ("source", "x", []), ("source", "y", []), ("stage", "", [0, 1]), ("stage", "", [2])]
    assert view[2]["members"] == [
        {"kind": "op", "name": "add", "params": {}, "inputs": [("input", 0), ("input", 1)]}]
    assert view[3]["members"] == [
        {"kind": "op", "name": "mul", "params": {}, "inputs": [("input", 0), ("input", 0)]}]
    assert reduced.outputs() == [3]


def test_worked_example_maximal_rule():
    store, out = worked_example()
    reduced, report = store.reduce(outputs=[out], maximal_fusion=True)
    assert report["stages"] == 1 and report["reduced_nodes"] == 3
    stage = reduced.nodes()[2]
    assert stage["inputs"] == [0, 1]
    assert [m["name"] for m in stage["members"]] == ["add", "mul"]
    assert stage["members"][1]["inputs"] == [("member", 0), ("member", 0)]


def test_empty_and_unmarked_stores():
    empty, report = tc.GraphStore().reduce()
    assert empty.node_count() == 0 and set(report.values()) == {0}
    store, _ = worked_example()
    reduced, report = store.reduce()  # no marks
    assert reduced.node_count() == 0
    assert report == dict.fromkeys(COUNTERS, 0) | {"input_nodes": 7}
    marked = tc.GraphStore.deserialize(store.serialize(outputs=[5]))
    reduced, report = marked.reduce(outputs=[])  # marks ignored
    assert reduced.node_count() == 0 and report["input_nodes"] == 7 and report["reachable_nodes"] == 0
    reduced, report = marked.reduce()  # marks used
    assert reduced.node_count() == 4 and reduced.outputs() == [3]


def test_argument_rules():
    store, out = worked_example()
    with pytest.raises(TypeError) as e:
        store.reduce(maximal_fusion=1)
    assert str(e.value) == "argument 'maximal_fusion': 'int' object is not an instance of 'bool'"
    with pytest.raises(TypeError) as e:
        store.reduce(maximal_fusion=None)
    assert str(e.value) == "argument 'maximal_fusion': 'None' is not an instance of 'bool'"
    with pytest.raises(TypeError) as e:
        store.reduce(True)
    assert str(e.value) == "GraphStore.reduce() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as e:
        store.reduce(outputs="0")
    assert str(e.value) == "argument 'outputs': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as e:
        store.reduction_report(outputs=3)
    assert str(e.value) == "argument 'outputs': 'int' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as e:
        store.reduce_incremental(maximal_fusion=True)
    assert str(e.value) == "GraphStore.reduce_incremental() got an unexpected keyword argument 'maximal_fusion'"
    with pytest.raises(ValueError) as e:
        store.reduce(outputs=[1, 7, 9])
    assert str(e.value) == "no node with id 7"
    with pytest.raises(OverflowError):
        store.reduce(outputs=[-1])
    assert store.node_count() == 7
    # numpy booleans are accepted, and so are tuples and ranges of ids.
    assert store.reduce(maximal_fusion=np.True_, outputs=(out,))[1]["stages"] == 1
    assert store.reduce(maximal_fusion=np.bool_(False), outputs=range(out, out + 1))[1]["stages"] == 2


def test_report_variants_agree():
    store, out = worked_example()
    store.reduce(outputs=[out], maximal_fusion=True)
    _, report = store.reduce(outputs=[out])
    assert store.reduction_report(outputs=[out]) == report
    assert set(report) == COUNTERS
    inc_store, inc_report = store.reduce_incremental(outputs=[out])
    assert inc_report == report
    assert inc_store.serialize() == store.reduce(outputs=[out])[0].serialize()


def test_reduced_store_is_independent():
    store, out = worked_example()
    reduced, _ = store.reduce(outputs=[out])
    before = store.serialize()
    reduced.add_source("new")
    assert store.serialize() == before
    store.add_source("another")
    assert reduced.node_count() == 5
    again, report = reduced.reduce()
    assert report["stages"] == 0
    assert again.serialize() == reduced.reduce()[0].serialize()


def assert_order_invariant(store):
    for node in store.nodes():
        assert all(i < node["id"] for i in node["inputs"])


def counters(report):
    return {k: report[k] for k in ("canonical_nodes", "stages", "reduced_nodes", "boundary_nodes")}


def with_stages(plan, picks):
    """A store built from `plan`, then reduced, then extended: it holds stage nodes."""
    store = tc.GraphStore()
    ids = record(store, plan)
    outs = [ids[int(p * len(ids))] for p in picks] or [ids[-1]]
    reduced, _ = store.reduce(outputs=outs)
    record(reduced, plan[: len(plan) // 2])
    return reduced


@settings(max_examples=120, deadline=None)
@given(plan=steps(), picks=st.lists(st.floats(0.0, 0.999), min_size=0, max_size=4),
       fusion=st.booleans(), stage_base=st.booleans())
def test_reduction_properties(plan, picks, fusion, stage_base):
    store = with_stages(plan, picks[:2]) if stage_base else tc.GraphStore()
    ids = record(store, plan)
    outputs = [ids[int(p * len(ids))] for p in picks]
    first, report = store.reduce(outputs=outputs, maximal_fusion=fusion)
    second, report2 = store.reduce(outputs=outputs, maximal_fusion=fusion)
    assert first.serialize() == second.serialize() and report == report2
    assert first.outputs() == list(dict.fromkeys(first.outputs()))
    assert report["input_nodes"] >= report["reachable_nodes"] >= report["canonical_nodes"] >= report["reduced_nodes"]
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"]
    assert_order_invariant(first)
    if not fusion:
        inc_store, inc_report = store.reduce_incremental(outputs=outputs)
        assert inc_store.serialize() == first.serialize() and inc_report == report
    # Reducing a reduced store again changes nothing and fuses nothing.
    again, again_report = first.reduce(maximal_fusion=fusion)
    assert again_report["stages"] == 0
    assert again.serialize() == first.serialize()


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz 'dot' is not installed")
@settings(max_examples=15, deadline=None)
@given(plan=steps(max_steps=25), fusion=st.booleans())
def test_reduced_dot_is_accepted_by_graphviz(plan, fusion):
    store = tc.GraphStore()
    ids = record(store, plan)
    reduced, _ = store.reduce(outputs=ids[-2:], maximal_fusion=fusion)
    proc = subprocess.run(["dot", "-Tjson"], input=reduced.to_dot().encode(), capture_output=True)
    assert proc.returncode == 0 and proc.stderr == b""
