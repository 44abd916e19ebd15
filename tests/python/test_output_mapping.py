"""GraphStore.reduce_mapped: which node of the reduced store answers which
requested output, checked against a symbolic evaluation of both graphs."""

import math

import pytest
from hypothesis import given, settings, strategies as st

import tessary_core as tc
from graphs import COMMUTATIVE, record, steps


def param_key(params):
    # repr keeps 0.0 and -0.0 (and 1 and 1.0) apart, as node identity does.
    return tuple((k, type(v).__name__, repr(v)) for k, v in sorted(params.items()))


def is_identity(name, params):
    scalar = params.get("scalar")
    if set(params) != {"scalar", "side"} or params["side"] not in ("l", "r"):
        return False
    if type(scalar) is not float or math.copysign(1.0, scalar) < 0:
        return False
    return (name, scalar) in (("add", 0.0), ("mul", 1.0))


class Terms:
    """Interns symbolic values: equal values get equal ints. Commutative ops
    (no params, two operands) sort their operands and identity ops are their
    operand; anything else is its own kind, fields and operand values."""

    def __init__(self):
        self.ids = {}

    def intern(self, term):
        return self.ids.setdefault(term, len(self.ids))

    def op(self, name, params, operands):
        if name in COMMUTATIVE and not params and len(operands) == 2:
            return self.intern(("op", name, (), tuple(sorted(operands))))
        if len(operands) == 1 and is_identity(name, params):
            return operands[0]
        return self.intern(("op", name, param_key(params), tuple(operands)))

    def values(self, store):
        """The value of every node of `store`, by id."""
        out = []
        for node in store.nodes():
            operands = [out[i] for i in node["inputs"]]
            if node["kind"] == "op":
                out.append(self.op(node["name"], node["params"], operands))
            elif node["kind"] == "stage":
                inner = []
                for member in node["members"]:
                    args = [operands[i] if tag == "input" else inner[i]
                            for tag, i in member["inputs"]]
                    inner.append(self.op(member["name"], member["params"], args))
                out.append(inner[-1])  # a stage's value is its last member's
            else:
                descriptor = tuple(node.get("descriptor", {}).items())
                out.append(self.intern((node["kind"], node["name"], param_key(node["params"]),
                                        descriptor, tuple(operands))))
        return out


def merging_store():
    s = tc.GraphStore()
    x, y = s.add_source("x"), s.add_source("y")
    a = s.add_op("add", [x, y])
    b = s.add_op("add", [y, x])  # merges with a
    m = s.add_op("mul", [a, b])
    out = s.add_op("add", [m], {"scalar": 0.0, "side": "r"})  # merges with m
    n = s.add_op("neg", [out])
    s.add_source("unused")
    return s, x, a, b, m, out, n


def test_merged_outputs_map_to_one_node_with_repeats_kept():
    s, x, a, b, m, out, n = merging_store()
    requested = [b, out, a, m, x, b, n]
    for fusion in (False, True):
        reduced, report, ids = s.reduce_mapped(outputs=requested, maximal_fusion=fusion)
        assert len(ids) == len(requested)
        assert ids[0] == ids[2] == ids[5]  # a and b are one node
        assert ids[1] == ids[3]  # so are m and m + 0.0
        assert len({ids[0], ids[1], ids[4], ids[6]}) == 4
        assert reduced.outputs() == list(dict.fromkeys(ids))
        plain, plain_report = s.reduce(outputs=requested, maximal_fusion=fusion)
        assert reduced.serialize() == plain.serialize() and report == plain_report


def test_default_outputs_are_the_marks_in_order():
    s, x, a, b, m, out, n = merging_store()
    empty, report, ids = s.reduce_mapped()
    assert ids == [] and empty.node_count() == 0 and report["reachable_nodes"] == 0
    for i in (n, b, a, x):
        s.mark_output(i)
    reduced, _, ids = s.reduce_mapped()
    assert len(ids) == 4 and ids[1] == ids[2]
    assert reduced.outputs() == list(dict.fromkeys(ids))
    assert s.reduce_mapped(outputs=[])[2] == []


def test_arguments_and_errors_match_reduce():
    s, *_ = merging_store()
    count = s.node_count()
    with pytest.raises(ValueError) as e:
        s.reduce_mapped(outputs=[0, count, count + 1])
    assert str(e.value) == f"no node with id {count}"
    with pytest.raises(TypeError) as e:
        s.reduce_mapped(maximal_fusion=1)
    assert str(e.value) == "argument 'maximal_fusion': 'int' object is not an instance of 'bool'"
    with pytest.raises(TypeError) as e:
        s.reduce_mapped([0])
    assert str(e.value) == "GraphStore.reduce_mapped() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as e:
        s.reduce_mapped(outputs="0")
    assert str(e.value) == "argument 'outputs': Can't extract `str` to `Vec`"
    assert s.node_count() == count and s.outputs() == []


@settings(max_examples=150, deadline=None)
@given(plan=steps(), picks=st.lists(st.floats(0.0, 0.999), max_size=6), fusion=st.booleans())
def test_each_mapped_node_computes_its_requested_output(plan, picks, fusion):
    store = tc.GraphStore()
    ids = record(store, plan)
    requested = [ids[int(p * len(ids))] for p in picks]
    reduced, report, mapped = store.reduce_mapped(outputs=requested, maximal_fusion=fusion)
    plain, plain_report = store.reduce(outputs=requested, maximal_fusion=fusion)
    assert reduced.serialize() == plain.serialize() and report == plain_report
    assert len(mapped) == len(requested)
    assert all(0 <= i < reduced.node_count() for i in mapped)
    terms = Terms()
    before, after = terms.values(store), terms.values(reduced)
    assert [after[i] for i in mapped] == [before[o] for o in requested]
