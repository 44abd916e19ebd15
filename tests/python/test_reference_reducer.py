"""The pure-Python reducer in benchmarks/ against GraphStore.reduce.

benchmarks/pure_python_reduce.py is what the small-graph benchmark compares
the module with, and it is written independently of the module's engine
(a union-find hash-consed to a fixed point instead of an e-graph), so the two
agreeing on random graphs checks both: the benchmark races a reducer that
does the same work, and the module's reduction matches a plain model of it.
"""

import os
import sys

from hypothesis import given, settings, strategies as st

import tessary_core as tc
from graphs import record, steps

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "benchmarks"))

import pure_python_reduce  # noqa: E402
from pure_python_store import PurePythonStore, _params_key  # noqa: E402

KINDS = {"source": 0, "op": 1, "reduction": 2, "external": 3, "stage": 4, "exchange": 5}
DESCRIPTOR_FIELDS = ("kind", "content_hash", "framework", "version", "io_schema",
                     "preprocessing_ref")


def as_key(node: dict) -> tuple:
    """A node of the module's view as a PurePythonStore key tuple."""
    kind = KINDS[node["kind"]]
    params = _params_key(node["params"])
    inputs = tuple(node["inputs"])
    if kind == 0:
        return (0, node["name"], params)
    if kind in (1, 2):
        return (kind, node["name"], params, inputs)
    if kind == 3:
        return (3, tuple(node["descriptor"][f] for f in DESCRIPTOR_FIELDS), params, inputs)
    if kind == 4:
        members = tuple((m["name"], _params_key(m["params"]), tuple(m["inputs"]))
                        for m in node["members"])
        return (4, members, inputs)
    return (5, params, inputs)


def both_stores(plan):
    store = tc.GraphStore()
    py_store = PurePythonStore()
    ids = record(store, plan)
    assert record(py_store, plan) == ids
    return store, py_store, ids


@settings(max_examples=300, deadline=None)
@given(plan=steps(), picks=st.lists(st.floats(min_value=0.0, max_value=0.999), max_size=4),
       maximal=st.booleans())
def test_reports_and_reduced_graphs_agree(plan, picks, maximal):
    store, py_store, _ = both_stores(plan)
    outputs = [int(p * store.node_count()) for p in picks]
    reduced, report = store.reduce(maximal_fusion=maximal, outputs=outputs)
    py_reduced, py_report = pure_python_reduce.reduce(py_store, outputs, maximal)
    assert report == py_report
    assert [as_key(node) for node in reduced.nodes()] == py_reduced._nodes
    assert reduced.outputs() == py_reduced.outputs()


def test_worked_example_matches_under_both_rules():
    store, py_store, _ = both_stores([
        ("source", ("x", {}), []), ("source", ("y", {}), []),
        ("swap", "add", [0.0, 0.5]), ("comm", "mul", [0.7, 0.8]),
    ])
    # x, y, add(x, y), add(y, x), mul(add(y, x), add(y, x))
    for maximal in (False, True):
        reduced, report = store.reduce(maximal_fusion=maximal, outputs=[4])
        py_reduced, py_report = pure_python_reduce.reduce(py_store, [4], maximal)
        assert report == py_report
        assert report["canonical_nodes"] == 4
        assert [as_key(node) for node in reduced.nodes()] == py_reduced._nodes


def test_unknown_output_is_rejected_with_the_modules_message():
    _, py_store, _ = both_stores([("source", ("x", {}), [])])
    try:
        pure_python_reduce.reduce(py_store, [3])
    except ValueError as e:
        assert str(e) == "no node with id 3"
    else:
        raise AssertionError("no error")
