"""DOT text checked by a real client: Graphviz must accept it as rendered."""

import json
import shutil
import subprocess

import pytest
from hypothesis import given, settings, strategies as st

import tessary_core as tc
from graphs import record, steps

DOT = shutil.which("dot")
pytestmark = pytest.mark.skipif(DOT is None, reason="Graphviz 'dot' is not installed")


def graphviz_json(text: str) -> dict:
    proc = subprocess.run([DOT, "-Tjson"], input=text.encode(), capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stderr == b"", proc.stderr.decode()
    # Graphviz copies raw line feeds of labels into its JSON strings.
    return json.loads(proc.stdout, strict=False)


def check_against_store(store: "tc.GraphStore") -> None:
    text = store.to_dot()
    rendered = graphviz_json(text)
    view = store.nodes()
    objects = rendered.get("objects", [])
    assert len(objects) == len(view)
    assert len(rendered.get("edges", [])) == sum(len(n["inputs"]) for n in view)
    by_name = {obj["name"]: obj for obj in objects}
    for node in view:
        shape = by_name[f"n{node['id']}"].get("shape", "ellipse")
        assert (shape == "doublecircle") == node["output"]
    # Each edge joins an input to its user.
    expected = sorted((i, n["id"]) for n in view for i in n["inputs"])
    names = {obj["_gvid"]: int(obj["name"][1:]) for obj in objects}
    got = sorted((names[e["tail"]], names[e["head"]]) for e in rendered.get("edges", []))
    assert got == expected


def test_awkward_names_every_kind_and_marks():
    store = tc.GraphStore()
    x = store.add_source('quote"d', {"s": 'va"l\\ue\n', "f": float("nan"), "g": -0.0})
    y = store.add_source("back\\slash\\", {"é": "日本", "tab": "a\tb"})
    z = store.add_source("new\nline")
    a = store.add_op("add", [x, y], {"side": "r"})
    b = store.add_op("ünï|cödé", [a, a])
    c = store.add_reduction("sum;=", [b], {"axis": 0})
    d = store.add_external({"kind": 'k"', "content_hash": "h\\", "framework": "fw\n",
                            "version": "v", "io_schema": "s", "preprocessing_ref": "p"}, [c, z])
    e = store.add_exchange([d], {"by": "k"})
    store.add_exchange([])
    reduced, _ = store.reduce(outputs=[e, b, e], maximal_fusion=False)
    check_against_store(store)
    check_against_store(reduced)
    assert any(n["kind"] == "stage" for n in reduced.nodes())
    assert any(n["output"] for n in reduced.nodes())


def test_empty_store():
    assert tc.GraphStore().to_dot() == "digraph tessary {\n}\n"
    assert graphviz_json(tc.GraphStore().to_dot()).get("objects", []) == []


@settings(max_examples=25, deadline=None)
@given(plan=steps(max_steps=25), picks=st.lists(st.floats(0.0, 0.999), max_size=3))
def test_random_stores_and_their_reductions(plan, picks):
    store = tc.GraphStore()
    record(store, plan)
    outputs = [int(p * store.node_count()) for p in picks]
    marked = tc.GraphStore.deserialize(store.serialize(outputs=outputs))
    check_against_store(marked)
    reduced, _ = marked.reduce()
    check_against_store(reduced)
