"""The API fuzz target (fuzz/fuzz_api.py) on fixed inputs, and its checks
against a store that misbehaves, so the target keeps running and keeps
meaning something between fuzzing runs."""

import importlib.util
import pathlib
import random

import pytest

import tessary_core as tc

ROOT = pathlib.Path(__file__).resolve().parents[2]
SPEC = importlib.util.spec_from_file_location("fuzz_api", ROOT / "fuzz" / "fuzz_api.py")
fuzz_api = importlib.util.module_from_spec(SPEC)
SPEC.loader.exec_module(fuzz_api)

SEEDS = sorted((ROOT / "fuzz" / "api_corpus").iterdir())


@pytest.mark.parametrize("seed", SEEDS, ids=lambda p: p.name)
def test_seed_corpus_passes(seed):
    fuzz_api.test_one_input(seed.read_bytes())


def test_fixed_random_programs_pass():
    rng = random.Random(7)
    for n in [0, 1, 2, 5, 17, 64, 200, 400]:
        fuzz_api.test_one_input(rng.randbytes(n))
    # Long runs of one action: many sources, many steps, many marks.
    for byte in range(16):
        fuzz_api.test_one_input(bytes([byte]) * 96)


def test_programs_reach_every_kind_of_node():
    kinds = set()
    rng = random.Random(11)
    for _ in range(40):
        draw = fuzz_api.Draw(rng.randbytes(160))
        session = fuzz_api.Session(tc.GraphStore())
        for _ in range(fuzz_api.MAX_CALLS):
            call = session.build_call(draw)
            if call is not None:
                session.record(call)
        kinds |= {v["kind"] for v in session.store.nodes()}
    assert kinds == {"source", "op", "reduction", "external", "exchange"}


class Misbehaving:
    """A real store behind a wrapper that can replace one method."""

    def __init__(self, store, **overrides):
        self._store = store
        self._overrides = overrides

    def __getattr__(self, name):
        return self._overrides.get(name, getattr(self._store, name))


def test_a_wrong_id_is_caught():
    store = tc.GraphStore()
    session = fuzz_api.Session(Misbehaving(store, add_source=lambda name, params=None: 7))
    with pytest.raises(AssertionError, match="new node"):
        session.record(("source", "x", [], None, None))
    # A repeated key that gets a fresh id.
    session = fuzz_api.Session(store)
    session.record(("source", "x", [], None, None))
    session.store = Misbehaving(store, add_source=lambda name, params=None: store.add_source("y"))
    with pytest.raises(AssertionError, match="known node"):
        session.record(("source", "x", [], None, None))


def test_a_blob_that_does_not_round_trip_is_caught():
    store = tc.GraphStore()
    store.add_source("x")
    fuzz_api.check_store(store)
    # Bytes after the last output id are ignored by the reader, so the
    # reread store writes a shorter blob.
    padded = Misbehaving(store, serialize=lambda outputs=None: store.serialize(outputs) + b"\0")
    with pytest.raises(AssertionError, match="byte-identical"):
        fuzz_api.check_store(padded)


def test_canonical_keys_tell_values_apart():
    key = fuzz_api.params_key
    assert key({"a": 0.0}) != key({"a": -0.0})
    assert key({"a": float("nan")}) == key({"a": -float("nan")})
    assert key({"a": True}) != key({"a": 1})
    assert key({"b": 1, "a": 2}) == key({"a": 2, "b": 1})


def test_every_refused_call_fails_as_expected():
    store = tc.GraphStore()
    store.add_source("x")
    session = fuzz_api.Session(store)
    # One refused call per choice of the attempt list and of the bad id.
    for pick in range(10):
        for far in (0, 1):
            for missing in range(5):
                session.refused_call(fuzz_api.Draw(bytes([far, missing, pick])))
    assert store.node_count() == 1
