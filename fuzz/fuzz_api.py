"""Fuzz target for the Python API of tessary_core.

The input bytes are read as a program of API calls: recording nodes of every
kind (with awkward names, parameters and descriptors), replaying earlier calls,
marking outputs through a serialize/deserialize round trip, stepping an
IncrementalReducer, continuing on a reduced store, and calls with bad ids or
arguments, which must fail with their fixed messages and change nothing.
After the program every invariant below is checked against the module's own
results; a violation raises AssertionError, which the fuzzer reports as a
crash.

- Ids are dense: a new node gets the current node count, a known one its old id.
- Equal keys, one id: replaying a recorded call returns the recorded id, and no
  two nodes of the view describe the same node.
- deserialize(serialize()) has the same nodes and writes the same bytes (for
  output lists without repetitions; repeated ids collapse to their first place).
- reduce and reduce_incremental agree byte for byte and report for report,
  reduction_report gives the same report, and reducing leaves the store as it was.
- An IncrementalReducer stepped while the graph grew finalizes to the same store
  and report as one stepped once, and its report agrees with reduce from the
  canonical count on. (Its node order may differ: the canonical form keeps the
  first operand order of a commutative pair, reduce the first reachable one.)
- Reducing a reduced store gives the same store back, with no new stages.

Run as a script it starts atheris (see scripts/fuzz_api.sh); with `--replay
FILE...` it runs saved inputs against an ordinary build instead. `test_one_input`
is plain Python and needs only the module, so the tests run it on fixed inputs.
"""

from __future__ import annotations

import math
import os
import struct
import sys

if __name__ != "__main__":
    import tessary_core as tc
# Run as a script, the module is imported only once libFuzzer is loaded (main).

COMMUTATIVE = ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]
IDENTITY = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
]
# Names and texts that contain the token separators, an escape, a suffix-like
# "#1", non-ASCII, or nothing at all.
NAMES = ["x", "y", "add", "a|b", "p%q", "s;t=u", "x#1", "é", ""]
OTHER_OPS = ["sub", "neg", "div", "add", "mul", "a|b", "op|add"]
REDUCTIONS = ["sum", "mean", "a;b"]
PARAM_KEYS = ["scalar", "side", "k", "a|b", "=", ""]
PARAM_VALUES = [0, 1, -1, 2**63 - 1, -(2**63), True, False, 0.0, -0.0, 1.0, 2.5,
                math.nan, -math.nan, math.inf, "l", "r", "", "a|b", "%25"]
FIELDS = ("kind", "content_hash", "framework", "version", "io_schema")
DESCRIPTOR_TEXTS = ["m", "h", "a|b", "b|c", ""]

MAX_CALLS = 48


class Draw:
    """Reads small choices from the input bytes; past the end every choice is 0."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    @property
    def exhausted(self) -> bool:
        return self.pos >= len(self.data)

    def below(self, n: int) -> int:
        if self.exhausted or n <= 1:
            self.pos += 1
            return 0
        value = self.data[self.pos] % n
        self.pos += 1
        return value

    def choice(self, items):
        return items[self.below(len(items))]

    def flag(self) -> bool:
        return self.below(2) == 1


# Canonical, hashable forms of parameter values, parameter dicts and
# descriptors: floats by their bits with every NaN folded to one, so 0.0 and
# -0.0 differ and NaN equals NaN; bool apart from int; keys in byte order.
def value_key(value):
    if isinstance(value, bool):
        return (2, value)
    if isinstance(value, int):
        return (0, value)
    if isinstance(value, float):
        return (1, 0x7FF8000000000000 if math.isnan(value)
                else struct.unpack("<Q", struct.pack("<d", value))[0])
    assert isinstance(value, str), f"unexpected parameter value {value!r}"
    return (3, value)


def params_key(params: dict) -> tuple:
    return tuple(sorted(((k.encode(), value_key(v)) for k, v in params.items()),
                        key=lambda kv: kv[0]))


def descriptor_key(desc: dict) -> tuple:
    return tuple(desc[f] for f in FIELDS) + (desc.get("preprocessing_ref"),)


def view_key(view: dict) -> tuple:
    """The node a view entry describes, without its id and mark."""
    extra: tuple = ()
    if view["kind"] == "external":
        extra = descriptor_key(view["descriptor"])
    elif view["kind"] == "stage":
        assert view["n_members"] == len(view["members"])
        extra = tuple((m["kind"], m["name"], params_key(m["params"]), tuple(m["inputs"]))
                      for m in view["members"])
    return (view["kind"], view["name"], params_key(view["params"]), tuple(view["inputs"]), extra)


def canonical_views(store: tc.GraphStore) -> list[tuple]:
    return [(v["id"], v["output"], view_key(v)) for v in store.nodes()]


class Session:
    """One store being built, the model of what it must hold, and a reducer
    stepped at the points the input chooses."""

    def __init__(self, store: tc.GraphStore) -> None:
        self.store = store
        self.reducer = tc.IncrementalReducer()
        self.model: dict[tuple, int] = {}  # node key -> id, for every node seen
        self.calls: list[tuple] = []  # recorded calls, for replay
        for view in store.nodes():
            self.model[view_key(view)] = view["id"]

    def pick_inputs(self, draw: Draw, count: int) -> list[int]:
        n = self.store.node_count()
        return [draw.below(n) for _ in range(count)] if n else []

    def record(self, call: tuple) -> None:
        """Makes one building call and checks the id it returns against the model."""
        kind, name, inputs, params, desc = call
        before = self.store.node_count()
        if kind == "source":
            got = self.store.add_source(name, params)
        elif kind == "op":
            got = self.store.add_op(name, inputs, params)
        elif kind == "reduction":
            got = self.store.add_reduction(name, inputs, params)
        elif kind == "external":
            got = self.store.add_external(desc, inputs, params)
        else:
            got = self.store.add_exchange(inputs, params)
        after = self.store.node_count()
        extra = () if kind != "external" else descriptor_key(
            desc if isinstance(desc, dict) else {f: getattr(desc, f) for f in
                                                 FIELDS + ("preprocessing_ref",)})
        key = (kind, name if kind in ("source", "op", "reduction") else "",
               params_key(params or {}), tuple(inputs), extra)
        known = self.model.get(key)
        if known is None:
            assert got == before and after == before + 1, (
                f"new node {key} got id {got} in a store of {before} (now {after})")
            self.model[key] = got
        else:
            assert got == known and after == before, (
                f"known node {key} (id {known}) got id {got}; count {before} -> {after}")
        self.calls.append(call)

    def draw_params(self, draw: Draw) -> dict | None:
        size = draw.below(4)
        if size == 0:
            return None if draw.flag() else {}
        return {draw.choice(PARAM_KEYS): draw.choice(PARAM_VALUES) for _ in range(size)}

    def draw_descriptor(self, draw: Draw):
        fields = {f: draw.choice(DESCRIPTOR_TEXTS) for f in FIELDS}
        ref = draw.below(3)
        if ref:
            fields["preprocessing_ref"] = "" if ref == 1 else "r|s"
        return tc.PayloadDescriptor(**fields) if draw.flag() else fields

    def build_call(self, draw: Draw) -> tuple | None:
        what = draw.below(8)
        if self.store.node_count() == 0 or what == 0:
            return ("source", draw.choice(NAMES), [], self.draw_params(draw), None)
        if what == 1:
            name = draw.choice(COMMUTATIVE)
            inputs = self.pick_inputs(draw, 2)
            return ("op", name, inputs[::-1] if draw.flag() else inputs, None, None)
        if what == 2:
            name, params = draw.choice(IDENTITY)
            # Mostly one operand, as the engine's identity rules expect.
            arity = draw.choice([1, 1, 1, 0, 2])
            return ("op", name, self.pick_inputs(draw, arity), dict(params), None)
        if what == 3:
            return ("op", draw.choice(OTHER_OPS), self.pick_inputs(draw, draw.below(4)),
                    self.draw_params(draw), None)
        if what == 4:
            return ("reduction", draw.choice(REDUCTIONS), self.pick_inputs(draw, 1 + draw.below(2)),
                    self.draw_params(draw), None)
        if what == 5:
            return ("external", "", self.pick_inputs(draw, draw.below(3)), self.draw_params(draw),
                    self.draw_descriptor(draw))
        if what == 6:
            return ("exchange", "", self.pick_inputs(draw, draw.below(3)), self.draw_params(draw),
                    None)
        if self.calls:
            return self.calls[draw.below(len(self.calls))]  # replay: must return the same id
        return None

    def draw_outputs(self, draw: Draw) -> list[int] | None:
        if draw.below(3) == 0:
            return None
        return self.pick_inputs(draw, draw.below(4))

    def mark(self, draw: Draw) -> None:
        """Marks outputs the one way the API offers: a round trip through a blob
        written with an explicit output list."""
        outputs = self.pick_inputs(draw, 1 + draw.below(3))
        old_views = canonical_views(self.store)
        old_marks = self.store.outputs()
        blob = self.store.serialize(outputs=outputs)
        marked = tc.GraphStore.deserialize(blob)
        first = list(dict.fromkeys(outputs))
        assert marked.outputs() == first, f"marks {marked.outputs()} from outputs {outputs}"
        assert [(i, k) for i, _, k in canonical_views(marked)] == [(i, k) for i, _, k in old_views]
        if first == outputs:
            assert marked.serialize() == blob, "a blob read and written again changed"
        assert self.store.outputs() == old_marks, "serialize changed the marks"
        self.store = marked  # same nodes, same ids: the reducer keeps being fed "the same store"

    def refused_call(self, draw: Draw) -> None:
        """A call with a bad id (one past the end, or far past it) or a bad
        argument fails with its fixed message and changes nothing."""
        n = self.store.node_count()
        bad = n if draw.flag() else 2**64 - 1
        missing = {f: "m" for f in FIELDS[:draw.below(len(FIELDS))]}
        first_missing = FIELDS[len(missing)]
        attempts = [
            (lambda: self.store.add_op("neg", [bad]), ValueError, f"no node with id {bad}"),
            (lambda: self.store.add_exchange([0, bad] if n else [bad]), ValueError,
             f"no node with id {bad}"),
            (lambda: self.store.reduce(outputs=[bad]), ValueError, f"no node with id {bad}"),
            (lambda: self.store.reduction_report(outputs=[bad]), ValueError,
             f"no node with id {bad}"),
            (lambda: self.store.serialize(outputs=[bad]), ValueError, f"no node with id {bad}"),
            (lambda: self.reducer.finalize(self.store, outputs=[bad]), ValueError,
             f"no node with id {bad}"),
            (lambda: self.store.add_source("x", [("k", 1)]), TypeError,
             "params must be a dict or None"),
            (lambda: self.store.add_source("x", {"k": None}), TypeError,
             "param values must be int, float, bool, or str"),
            (lambda: self.store.add_external(missing, []), ValueError,
             f"descriptor missing required field '{first_missing}'"),
            (lambda: self.store.add_external(7, []), TypeError,
             "descriptor must be a PayloadDescriptor or dict"),
        ]
        call, error, message = draw.choice(attempts)
        blob = self.store.serialize()
        watermark = self.reducer.watermark()
        try:
            call()
        except error as e:
            assert str(e) == message, f"{e!s} != {message}"
        else:
            raise AssertionError(f"accepted a call that must fail with {message!r}")
        assert self.store.serialize() == blob, "a refused call changed the store"
        assert self.reducer.watermark() == watermark, "a refused finalize consumed nodes"

    def continue_on_reduced(self, draw: Draw) -> Session:
        """A new session building on a reduced store, so stage nodes become inputs."""
        reduced, _ = self.store.reduce(outputs=self.draw_outputs(draw),
                                       maximal_fusion=draw.flag())
        return Session(reduced)


def check_store(store: tc.GraphStore) -> None:
    views = store.nodes()
    n = store.node_count()
    marks = store.outputs()
    assert len(views) == n
    assert len(set(marks)) == len(marks) and all(0 <= m < n for m in marks), f"marks {marks}"
    keys = set()
    for i, view in enumerate(views):
        assert view["id"] == i, f"view {i} has id {view['id']}"
        assert all(0 <= j < i for j in view["inputs"]), f"node {i} has inputs {view['inputs']}"
        assert view["output"] == (i in marks)
        key = view_key(view)
        assert key not in keys, f"node {i} repeats an earlier node: {key}"
        keys.add(key)
    blob = store.serialize()
    again = tc.GraphStore.deserialize(blob)
    assert again.serialize() == blob, "deserialize(serialize()) is not byte-identical"
    assert again.outputs() == marks
    assert canonical_views(again) == canonical_views(store)
    assert again.to_dot() == store.to_dot()


def check_report(report: dict, store: tc.GraphStore, reduced: tc.GraphStore,
                 outputs: list[int] | None) -> None:
    assert set(report) == {"input_nodes", "reachable_nodes", "canonical_nodes", "stages",
                           "reduced_nodes", "boundary_nodes"}, f"report keys {sorted(report)}"
    assert report["input_nodes"] == store.node_count()
    assert (report["input_nodes"] >= report["reachable_nodes"] >= report["canonical_nodes"]
            >= report["reduced_nodes"]), report
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"], report
    assert reduced.node_count() <= report["reduced_nodes"], (reduced.node_count(), report)
    wanted = store.outputs() if outputs is None else outputs
    assert len(reduced.outputs()) <= len(wanted)
    assert (reduced.node_count() == 0) == (not wanted), (wanted, reduced.node_count())
    assert not any(v["kind"] == "op" for v in reduced.nodes()), "an op survived fusion"
    # Stages already in the store are carried through as boundary nodes.
    stages = sum(v["kind"] == "stage" for v in reduced.nodes())
    assert stages <= report["stages"] + sum(v["kind"] == "stage" for v in store.nodes())


def core_counts(report: dict) -> tuple:
    return tuple(report[k] for k in ("canonical_nodes", "stages", "reduced_nodes",
                                     "boundary_nodes"))


def check_reductions(session: Session, outputs: list[int] | None, fusion: bool) -> None:
    store = session.store
    before = store.serialize()
    reduced, report = store.reduce(outputs=outputs, maximal_fusion=fusion)
    check_report(report, store, reduced, outputs)
    check_store(reduced)
    twice, report_twice = store.reduce(outputs=outputs, maximal_fusion=fusion)
    assert twice.serialize() == reduced.serialize() and report_twice == report, "reduce is not repeatable"
    if outputs is None:
        # The marks are the default output list.
        explicit, report_explicit = store.reduce(outputs=store.outputs(), maximal_fusion=fusion)
        assert explicit.serialize() == reduced.serialize() and report_explicit == report
    if not fusion:
        one_shot, report_one_shot = store.reduce_incremental(outputs=outputs)
        assert one_shot.serialize() == reduced.serialize(), "reduce_incremental differs from reduce"
        assert report_one_shot == report, f"{report_one_shot} != {report}"
        assert store.reduction_report(outputs=outputs) == report
    assert store.serialize() == before, "reducing changed the store"

    # Reducing the reduced store again keeps it as it is, under either rule.
    for again_fusion in (False, True):
        again, report_again = reduced.reduce(maximal_fusion=again_fusion)
        assert again.serialize() == reduced.serialize(), "reducing a reduced store changed it"
        assert report_again["stages"] == 0, report_again
        assert report_again["boundary_nodes"] == report_again["reduced_nodes"], report_again

    # The reducer stepped while building against one stepped once over the whole store.
    stepped, report_stepped = session.reducer.finalize(store, outputs=outputs, maximal_fusion=fusion)
    fresh = tc.IncrementalReducer()
    fresh.step(store)
    whole, report_whole = fresh.finalize(store, outputs=outputs, maximal_fusion=fusion)
    assert stepped.serialize() == whole.serialize(), "step sizes changed the incremental result"
    assert report_stepped == report_whole, f"{report_stepped} != {report_whole}"
    r = session.reducer
    assert r.watermark() == r.total_work() == store.node_count(), (
        r.watermark(), r.total_work(), store.node_count())
    assert report_stepped["input_nodes"] == r.canonical_count() <= store.node_count()
    assert session.reducer.step(store) == 0
    # finalize only reads the reducer: a second one agrees.
    again, report_again = session.reducer.finalize(store, outputs=outputs, maximal_fusion=fusion)
    assert again.serialize() == stepped.serialize() and report_again == report_stepped
    assert core_counts(report_stepped) == core_counts(report), (
        f"incremental {report_stepped} and reduce {report} disagree")
    assert stepped.node_count() == reduced.node_count()
    assert len(stepped.outputs()) == len(reduced.outputs())


def test_one_input(data: bytes) -> None:
    draw = Draw(data)
    session = Session(tc.GraphStore())
    for _ in range(MAX_CALLS):
        if draw.exhausted:
            break
        action = draw.below(16)
        if action < 10:
            call = session.build_call(draw)
            if call is not None:
                session.record(call)
        elif action < 12:
            if session.store.node_count():
                session.mark(draw)
        elif action < 14:
            watermark = session.reducer.watermark()
            consumed = session.reducer.step(session.store)
            assert consumed == session.store.node_count() - watermark, (consumed, watermark)
        elif action == 14:
            session.refused_call(draw)
        elif session.store.node_count() and draw.below(4) == 0:
            session = session.continue_on_reduced(draw)
    check_store(session.store)
    check_reductions(session, session.draw_outputs(draw), draw.flag())


def load_instrumented_module() -> None:
    """Imports tessary_core built with coverage instrumentation. Its coverage
    hooks live in a libFuzzer: either one preloaded with the sanitizer runtime,
    or the one atheris loads privately when fuzzing starts, which is made
    global here first."""
    import ctypes
    import glob

    import atheris

    global tc
    here = os.path.dirname(atheris.__file__)
    for core in glob.glob(os.path.join(here, "core_with_libfuzzer*.so")):
        try:
            ctypes.CDLL(core, mode=os.RTLD_GLOBAL | os.RTLD_NOLOAD)
        except OSError:
            pass  # not loaded: atheris found a libFuzzer already in the process
    import tessary_core as tc


def fuzz_one_input(data: bytes) -> None:
    if "tc" not in globals():
        load_instrumented_module()
    test_one_input(data)


def main() -> None:
    if sys.argv[1:2] == ["--replay"]:
        # Runs saved inputs against an ordinary build, without atheris.
        global tc
        import tessary_core as tc

        for path in sys.argv[2:]:
            with open(path, "rb") as f:
                test_one_input(f.read())
            print(f"{path}: ok")
        return
    import atheris  # only the fuzzing run needs it

    atheris.Setup(sys.argv, fuzz_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
