"""The read-only views (nodes, outputs, node_count, to_dot) and the
persistence bindings (serialize, deserialize)."""

import struct

import pytest

import tessary_core as tc
from blob_builder import MAGIC, blob, id_list, op, params, source, stage, string, u8, u32, u64

DESC = {"kind": "model", "content_hash": "h", "framework": "fw", "version": "1", "io_schema": "s"}
ADD_TOKEN = "op|add|scalar=f0000000000000000;side=sr"


def stage_store():
    """Sources x, y; a two-member stage over them (marked); an op on the stage."""
    return tc.GraphStore.deserialize(blob(
        [source("x"), source("y"),
         stage([0, 1], [(ADD_TOKEN, [("input", 0), ("input", 1)]),
                        ("red|sum", [("member", 0)])]),
         op("neg", [2])],
        outputs=[2]))


def test_empty_store():
    s = tc.GraphStore()
    assert (s.nodes(), s.outputs(), s.node_count()) == ([], [], 0)
    assert s.to_dot() == "digraph tessary {\n}\n"
    assert s.serialize() == MAGIC + u32(0) + u32(0)
    back = tc.GraphStore.deserialize(s.serialize())
    assert (back.node_count(), back.outputs()) == (0, [])


def test_node_entries_for_source_op_reduction():
    s = tc.GraphStore()
    s.add_source("x", {"a": 1})
    s.add_op("add", [0, 0], {"scalar": 0.5, "side": "r", "flag": False})
    s.add_reduction("sum", [1])
    view = s.nodes()
    assert view[0] == {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "x",
                       "params": {"a": 1}}
    assert [list(entry) for entry in view] == [["id", "output", "inputs", "kind", "name",
                                                "params"]] * 3
    assert view[1]["inputs"] == [0, 0] and view[1]["kind"] == "op"
    assert list(view[1]["params"].items()) == [("flag", False), ("scalar", 0.5), ("side", "r")]
    assert type(view[1]["params"]["flag"]) is bool
    assert view[2] == {"id": 2, "output": False, "inputs": [1], "kind": "reduction",
                       "name": "sum", "params": {}}


def test_node_entries_for_external_and_exchange():
    s = tc.GraphStore()
    s.add_source("x")
    s.add_external(DESC, [0], {"p": "q"})
    s.add_external({**DESC, "preprocessing_ref": "pp"}, [0])
    s.add_exchange([0], {"by": "k"})
    ext, ext_ref, exch = s.nodes()[1:]
    assert list(ext) == ["id", "output", "inputs", "kind", "name", "params", "descriptor"]
    assert ext["kind"] == "external" and ext["name"] == "" and ext["params"] == {"p": "q"}
    assert ext["descriptor"] == {**DESC, "preprocessing_ref": None}
    assert list(ext["descriptor"]) == ["kind", "content_hash", "framework", "version",
                                       "io_schema", "preprocessing_ref"]
    assert ext_ref["descriptor"]["preprocessing_ref"] == "pp"
    assert exch == {"id": 3, "output": False, "inputs": [0], "kind": "exchange", "name": "",
                    "params": {"by": "k"}}


def test_node_entries_for_stage():
    s = stage_store()
    entry = s.nodes()[2]
    assert list(entry) == ["id", "output", "inputs", "kind", "name", "params", "n_members",
                           "members"]
    assert entry["inputs"] == [0, 1] and entry["output"] is True
    assert (entry["kind"], entry["name"], entry["params"], entry["n_members"]) == \
        ("stage", "", {}, 2)
    first, second = entry["members"]
    assert list(first) == ["kind", "name", "params", "inputs"]
    assert first == {"kind": "op", "name": "add", "params": {"scalar": 0.0, "side": "r"},
                     "inputs": [("input", 0), ("input", 1)]}
    assert second == {"kind": "red", "name": "sum", "params": {}, "inputs": [("member", 0)]}
    assert type(first["inputs"][0]) is tuple
    assert s.nodes()[3]["inputs"] == [2]


def test_unparseable_stage_member_token():
    token = 'src|q"\\\t\r\n\0\x01z'
    s = tc.GraphStore.deserialize(blob([source("x"), stage([0], [(token, [("input", 0)])])]))
    with pytest.raises(ValueError) as e:
        s.nodes()
    assert str(e.value) == \
        'unparseable stage member token "src|q\\"\\\\\\t\\r\\n\\0\\u{1}z"'
    for bad in ("op", "stage|2", "op|add|x"):
        s = tc.GraphStore.deserialize(blob([stage([], [(bad, [])])]))
        with pytest.raises(ValueError, match="^unparseable stage member token "):
            s.nodes()
    assert s.node_count() == 1  # other views still work
    assert s.to_dot() == 'digraph tessary {\n  n0 [label="Stage[1 members]"];\n}\n'


def test_views_are_copies():
    s = tc.GraphStore()
    s.add_source("x", {"a": 1})
    view = s.nodes()
    view[0]["params"]["a"] = 2
    view[0]["inputs"].append(9)
    s.outputs().append(0)
    assert s.nodes()[0] == {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "x",
                            "params": {"a": 1}}
    assert s.outputs() == []


def test_entries_of_one_shape_are_separate_dicts_with_keys_in_order():
    s = tc.GraphStore()
    a = s.add_source("x")
    b = s.add_op("neg", [a])
    c = s.add_op("neg", [b])
    e = s.add_external(DESC, [c])
    f = s.add_external(DESC, [e], {"k": 1})
    s.mark_output(c)
    view = s.nodes()
    assert [list(entry) for entry in view] == (
        [["id", "output", "inputs", "kind", "name", "params"]] * 3
        + [["id", "output", "inputs", "kind", "name", "params", "descriptor"]] * 2)
    assert view[1] is not view[2] and view[3] is not view[4]
    # Entries that share kind and name are changed one at a time, and the
    # next call starts afresh.
    view[1]["name"] = "changed"
    del view[3]["kind"]
    view[3]["descriptor"]["kind"] = "other"
    assert view[2]["name"] == "neg" and view[2]["output"] is True and view[1]["output"] is False
    assert view[4]["kind"] == "external" and view[4]["descriptor"] == {**DESC, "preprocessing_ref": None}
    again = s.nodes()
    assert again[1]["name"] == "neg" and again[3]["kind"] == "external"
    assert again[f]["params"] == {"k": 1} and again[e]["params"] == {}


def test_a_source_an_op_and_a_reduction_of_one_name_keep_their_kinds():
    s = tc.GraphStore()
    a = s.add_source("f")
    b = s.add_op("f", [a])
    c = s.add_reduction("f", [b])
    d = s.add_op("f", [])
    s.mark_output(c)
    s.mark_output(d)
    entries = [(v["kind"], v["name"], v["output"]) for v in s.nodes()]
    assert entries == [("source", "f", False), ("op", "f", False), ("reduction", "f", True),
                       ("op", "f", True)]
    assert [line.split("label=")[1] for line in s.to_dot().splitlines()[1:5]] == [
        '"Source f"];', '"Op f"];', '"Reduction f", shape=doublecircle];', '"Op f", shape=doublecircle];']


def test_marks_come_from_blobs_in_first_mark_order():
    records = [source("a"), source("b"), op("f", [0, 1])]
    s = tc.GraphStore.deserialize(blob(records, outputs=[2, 0, 2]))
    assert s.outputs() == [2, 0]
    assert [n["output"] for n in s.nodes()] == [True, False, True]
    assert s.node_count() == 3
    # Writing with the marks gives the collapsed list; explicit outputs are kept as given.
    assert s.serialize() == blob(records, outputs=[2, 0])
    assert s.serialize(outputs=[2, 2]) == blob(records, outputs=[2, 2])
    assert s.serialize(outputs=[]) == blob(records)
    assert s.serialize([1, 0]) == blob(records, outputs=[1, 0])
    assert s.serialize(outputs=(0,)) == s.serialize(outputs=range(1))


def test_to_dot():
    records = [source("rows"), op("add", [0, 0], {"side": "r"})]
    s = tc.GraphStore.deserialize(blob(records, outputs=[1, 1]))
    assert s.to_dot() == (
        "digraph tessary {\n"
        '  n0 [label="Source rows"];\n'
        '  n1 [label="Op add {side=\\"r\\"}", shape=doublecircle];\n'
        "  n0 -> n1;\n"
        "  n0 -> n1;\n"
        "}\n")
    built = tc.GraphStore()
    built.add_source("rows")
    built.add_op("add", [0, 0], {"side": "r"})
    assert built.to_dot() == s.to_dot().replace(", shape=doublecircle", "")
    assert 'label="Stage[2 members]"' in stage_store().to_dot()


def test_serialize_checks_explicit_outputs():
    s = tc.GraphStore()
    s.add_source("a")
    s.add_source("b")
    for outputs, first_bad in (([2], 2), ([0, 5, 3], 5), ([2**64 - 1], 2**64 - 1)):
        with pytest.raises(ValueError) as e:
            s.serialize(outputs=outputs)
        assert str(e.value) == f"no node with id {first_bad}"
    with pytest.raises(OverflowError):
        s.serialize(outputs=[-1])
    with pytest.raises(TypeError, match="^argument 'outputs': Can't extract `str` to `Vec`$"):
        s.serialize("0")
    with pytest.raises(TypeError, match="^argument 'outputs': 'int' object is not an instance "
                                        "of 'Sequence'$"):
        s.serialize(outputs=1)
    assert s.serialize(None) == s.serialize()


def test_the_documented_example_blob():
    s = tc.GraphStore()
    src = s.add_source("s")
    add = s.add_op("add", [src], {"scalar": 0.0})
    expected = bytes.fromhex(
        "54495231 02000000 00 01000000 73 00000000 01 03000000 616464 01000000 06000000"
        " 7363616c6172 01 0000000000000000 01000000 0000000000000000 01000000 0100000000000000")
    assert s.serialize(outputs=[add]) == expected
    assert len(expected) == 73


@pytest.mark.parametrize("data, text", [
    (b"", "truncated tessary IR blob"),
    (b"TIR", "truncated tessary IR blob"),
    (b"TIR2" + bytes(8), "not a tessary IR blob (bad magic/version)"),
    (b"XIR1", "not a tessary IR blob (bad magic/version)"),
    (b"TIR1", "truncated tessary IR blob"),
    (MAGIC + u32(1) + u8(6), "invalid node tag 6"),
    (MAGIC + u32(1) + u8(0) + string("x") + u32(1) + string("k") + u8(4), "invalid param tag 4"),
    (MAGIC + u32(1) + u8(4) + id_list([]) + u32(1) + string("op|f") + u32(1) + u8(2) + u32(0),
     "invalid stage-ref tag 2"),
    (MAGIC + u32(1) + u8(4) + id_list([]) + u32(1) + string("op|f") + u32(1) + u8(1) + u32(0),
     "node reference 0 out of range"),
    (MAGIC + u32(1) + op("f", [0]) + u32(0), "node reference 0 out of range"),
    (MAGIC + u32(1) + u8(0) + u32(2) + b"\xff\xfe" + params({}) + u32(0),
     "invalid utf-8 in tessary IR blob"),
    (blob([source("a")], outputs=[1]), "node reference 1 out of range"),
    (MAGIC + u32(2) + source("a") + u8(1) + string("f") + params({}) + u32(4_000_000_000)
     + u64(0),
     "truncated tessary IR blob"),
    (MAGIC + u32(4_000_000_000), "truncated tessary IR blob"),
])
def test_deserialize_errors(data, text):
    with pytest.raises(ValueError) as e:
        tc.GraphStore.deserialize(data)
    assert str(e.value) == text


def test_deserialize_accepts_bytes_subclasses_and_ignores_trailing_bytes():
    class Blob(bytes):
        pass

    empty = MAGIC + u32(0) + u32(0)
    assert tc.GraphStore.deserialize(Blob(empty)).node_count() == 0
    assert tc.GraphStore.deserialize(empty + b"junk").serialize() == empty
    # Each call makes a new, independent store.
    a = tc.GraphStore.deserialize(empty)
    b = tc.GraphStore.deserialize(empty)
    a.add_source("x")
    assert (a.node_count(), b.node_count()) == (1, 0)


def test_round_trip_is_byte_identical_and_keeps_ids():
    s = stage_store()
    desc_node = s.add_external({**DESC, "preprocessing_ref": ""}, [3], {"n": float("nan")})
    s.add_exchange([desc_node, 0], {"by": "k", "w": -0.0, "on": True, "i": -(2**63)})
    s.add_reduction("sum", [], {"s": "a;b=c|d%"})
    first = s.serialize()
    back = tc.GraphStore.deserialize(first)
    assert back.serialize() == first
    assert tc.GraphStore.deserialize(back.serialize()).serialize() == first
    assert repr(back.nodes()) == repr(s.nodes())
    assert back.outputs() == s.outputs() == [2]
    # The same keys find the same ids in the rebuilt store.
    assert back.add_reduction("sum", [], {"s": "a;b=c|d%"}) == s.node_count() - 1
    assert back.node_count() == s.node_count()


def test_non_canonical_payloads_round_trip_as_read():
    nan_bits = 0x7FF0000000000001  # a signalling NaN payload is kept, not folded
    raw = (u8(0) + string("x") + u32(2) + string("b") + u8(2) + u8(7) + string("f") + u8(1)
           + u64(nan_bits))
    s = tc.GraphStore.deserialize(MAGIC + u32(1) + raw + u32(0))
    assert s.nodes()[0]["params"]["b"] is True
    data = s.serialize()
    assert struct.pack("<Q", nan_bits) in data
    assert u8(2) + u8(1) in data  # the bool is written back as 1
