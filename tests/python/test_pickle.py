"""Pickling and copying: a GraphStore travels as its canonical blob, marks
included; an IncrementalReducer and a PayloadDescriptor refuse."""

import copy
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest
from hypothesis import given, settings

import tessary_core as tc
from graphs import record, steps

FIELDS = {"kind": "model", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}


def sample_store():
    s = tc.GraphStore()
    x = s.add_source("x", {"rows": 3, "scale": -0.0, "exact": True, "path": "é"})
    y = s.add_source("y")
    a = s.add_op("add", [x, y])
    s.add_op("add", [y, x])
    e = s.add_external({**FIELDS, "preprocessing_ref": ""}, [a], {"batch": 8})
    s.add_exchange([e], {"by": "k"})
    s.mark_output(e)
    s.mark_output(x)
    return s


def assert_same_store(copied, original):
    assert copied is not original
    assert copied.serialize() == original.serialize()
    assert copied.outputs() == original.outputs()
    assert repr(copied.nodes()) == repr(original.nodes())  # repr: NaN params compare unequal


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_store_round_trips_through_every_protocol(protocol):
    original = sample_store()
    assert_same_store(pickle.loads(pickle.dumps(original, protocol)), original)
    empty = tc.GraphStore()
    assert_same_store(pickle.loads(pickle.dumps(empty, protocol)), empty)


def test_copies_are_independent_stores():
    original = sample_store()
    before = original.serialize()
    for make in (copy.copy, copy.deepcopy):
        clone = make(original)
        assert_same_store(clone, original)
        clone.add_source("only in the copy")
        clone.mark_output(0)
        assert original.serialize() == before
    # A store inside a container is copied too, not shared.
    [inner] = copy.deepcopy([original])
    assert_same_store(inner, original)


@settings(max_examples=40, deadline=None)
@given(plan=steps())
def test_pickled_random_stores_keep_ids_and_marks(plan):
    store = tc.GraphStore()
    ids = record(store, plan)
    for i in ids[::3]:
        store.mark_output(i)
    clone = pickle.loads(pickle.dumps(store))
    assert_same_store(clone, store)
    (reduced, report), (clone_reduced, clone_report) = store.reduce(), clone.reduce()
    assert clone_reduced.serialize() == reduced.serialize() and clone_report == report


def reduce_in_worker(store):
    """Runs in another process: reduces the store it was sent and sends back the result."""
    reduced, report = store.reduce(maximal_fusion=True)
    return store.node_count(), store.outputs(), reduced, report


def test_stores_cross_process_boundaries():
    stores = [sample_store(), tc.GraphStore()]
    # spawn: the worker imports the module afresh, so nothing is inherited.
    with ProcessPoolExecutor(max_workers=1,
                             mp_context=multiprocessing.get_context("spawn")) as pool:
        results = list(pool.map(reduce_in_worker, stores))
    for store, (count, outputs, reduced, report) in zip(stores, results):
        assert (count, outputs) == (store.node_count(), store.outputs())
        local, local_report = store.reduce(maximal_fusion=True)
        assert reduced.serialize() == local.serialize()
        assert report == local_report


def test_reducer_refuses_pickling_and_copying():
    reducer = tc.IncrementalReducer()
    reducer.step(sample_store())
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError) as e:
            attempt(reducer)
        assert str(e.value).startswith("cannot pickle 'IncrementalReducer' object: ")
    # Refusing changed nothing.
    assert reducer.watermark() == 6


def test_descriptor_has_no_pickling_of_its_own():
    desc = tc.PayloadDescriptor(**FIELDS)
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="cannot pickle"):
            attempt(desc)
