"""Random pipeline graphs for the property tests.

A graph is recorded from a list of steps; each step names a node kind and
picks its inputs among the nodes recorded so far, so every generated store
is valid. The shapes are the ones the optimizer cares about: commutative
ops given in both operand orders, identity ops (x + 0.0, x * 1.0 on either
side), chains, fan-out, repeated inputs, and every node kind (stage nodes
come from building on top of a reduced store).
"""

from __future__ import annotations

from hypothesis import strategies as st

import tessary_core as tc

COMMUTATIVE = ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]
OTHER_OPS = ["sub", "neg", "exp", "div"]
IDENTITY_PARAMS = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
]
NEAR_IDENTITY_PARAMS = [
    ("add", {"scalar": -0.0, "side": "r"}),
    ("mul", {"scalar": 2.0, "side": "l"}),
    ("add", {"scalar": 0.0, "side": "r", "extra": 1}),
]

names = st.sampled_from(["x", "y", "rows", "a|b", 'q"uote', "back\\slash", "new\nline", "é", ""])
param_values = st.one_of(
    st.booleans(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=6),
)
# Keys appear raw in DOT labels, where Graphviz cannot take a NUL character.
param_keys = st.text(st.characters(blacklist_characters="\x00", blacklist_categories=("Cs",)),
                     max_size=4)
param_dicts = st.dictionaries(param_keys, param_values, max_size=3)

DESCRIPTORS = [
    {"kind": "model", "content_hash": "h1", "framework": "torch", "version": "2", "io_schema": "s"},
    {"kind": "model", "content_hash": "h1", "framework": "torch", "version": "2", "io_schema": "s",
     "preprocessing_ref": ""},
    {"kind": "a|b", "content_hash": "c", "framework": "f", "version": "v", "io_schema": "s"},
    {"kind": "a", "content_hash": "b|c", "framework": "f", "version": "v", "io_schema": "s"},
]


@st.composite
def steps(draw, max_steps: int = 40):
    """A list of (kind, payload, input picks) tuples; picks are fractions in [0, 1)."""
    n = draw(st.integers(min_value=1, max_value=max_steps))
    out = []
    pick = st.floats(min_value=0.0, max_value=0.999)
    for i in range(n):
        kind = draw(st.sampled_from(
            ["source", "comm", "comm", "comm", "swap", "ident", "ident", "near", "other", "other",
             "red", "ext", "exch"] if i else ["source"]))
        if kind == "source":
            out.append(("source", (draw(names), draw(param_dicts)), []))
        elif kind == "comm":
            out.append(("comm", draw(st.sampled_from(COMMUTATIVE)), [draw(pick), draw(pick)]))
        elif kind == "swap":
            # A commutative op recorded in both operand orders.
            out.append(("swap", draw(st.sampled_from(COMMUTATIVE)), [draw(pick), draw(pick)]))
        elif kind == "ident":
            out.append(("ident", draw(st.integers(0, 3)), [draw(pick)]))
        elif kind == "near":
            out.append(("near", draw(st.integers(0, 2)), [draw(pick)]))
        elif kind == "other":
            arity = draw(st.integers(0, 3))
            out.append(("other", (draw(st.sampled_from(OTHER_OPS)), draw(param_dicts)),
                        [draw(pick) for _ in range(arity)]))
        elif kind == "red":
            out.append(("red", (draw(st.sampled_from(["sum", "mean"])), draw(param_dicts)), [draw(pick)]))
        elif kind == "ext":
            out.append(("ext", draw(st.integers(0, len(DESCRIPTORS) - 1)), [draw(pick)]))
        else:
            out.append(("exch", draw(param_dicts), [draw(pick) for _ in range(draw(st.integers(0, 2)))]))
    return out


def record(store: "tc.GraphStore", plan) -> list[int]:
    """Records `plan` into `store` (which may already hold nodes); returns every returned id."""
    ids: list[int] = []
    base = store.node_count()
    for kind, payload, picks in plan:
        count = store.node_count()
        chosen = [int(p * count) for p in picks]
        if kind == "source":
            ids.append(store.add_source(payload[0], payload[1]))
        elif kind == "comm":
            ids.append(store.add_op(payload, chosen))
        elif kind == "swap":
            ids.append(store.add_op(payload, chosen))
            ids.append(store.add_op(payload, chosen[::-1]))
        elif kind == "ident":
            name, params = IDENTITY_PARAMS[payload]
            ids.append(store.add_op(name, chosen, params))
        elif kind == "near":
            name, params = NEAR_IDENTITY_PARAMS[payload]
            ids.append(store.add_op(name, chosen, params))
        elif kind == "other":
            ids.append(store.add_op(payload[0], chosen, payload[1]))
        elif kind == "red":
            ids.append(store.add_reduction(payload[0], chosen, payload[1]))
        elif kind == "ext":
            ids.append(store.add_external(DESCRIPTORS[payload], chosen))
        else:
            ids.append(store.add_exchange(chosen, payload))
    assert all(i < store.node_count() for i in ids) and store.node_count() >= base
    return ids
