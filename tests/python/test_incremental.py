"""IncrementalReducer: stepping while building, and finalize."""

import threading

import pytest
from hypothesis import given, settings, strategies as st

import tessary_core as tc
from graphs import record, steps
from test_reduce import counters, worked_example


def test_steps_consume_each_node_once():
    store, out = worked_example()
    reducer = tc.IncrementalReducer()
    assert (reducer.watermark(), reducer.total_work(), reducer.canonical_count()) == (0, 0, 0)
    assert reducer.step(store) == 7
    assert reducer.step(store) == 0
    x = store.add_source("late")
    assert reducer.step(store=store) == 1
    assert reducer.watermark() == reducer.total_work() == store.node_count() == 8
    # add(x, y) and add(y, x) share a node; the identity add disappears.
    assert reducer.canonical_count() == 6
    reduced, report = reducer.finalize(store, outputs=[out])
    assert report["input_nodes"] == 6
    assert reduced.serialize() == store.reduce(outputs=[out])[0].serialize()
    # finalize changes nothing: a second call agrees, and stepping goes on.
    again, report2 = reducer.finalize(store, outputs=[out])
    assert again.serialize() == reduced.serialize() and report2 == report
    assert reducer.finalize(store, outputs=[])[0].node_count() == 0
    assert x == 7


def test_finalize_consumes_the_rest_and_uses_marks():
    store, out = worked_example()
    marked = tc.GraphStore.deserialize(store.serialize(outputs=[out]))
    reducer = tc.IncrementalReducer()
    reducer.step(marked)
    marked.add_op("neg", [out])
    reduced, report = reducer.finalize(marked, maximal_fusion=True)
    assert reducer.watermark() == marked.node_count() == 8
    assert report["stages"] == 1
    assert reduced.outputs() == [reduced.node_count() - 1]


def test_argument_rules_and_bad_ids():
    reducer = tc.IncrementalReducer()
    store, _ = worked_example()
    with pytest.raises(TypeError) as e:
        reducer.step(None)
    assert str(e.value) == "argument 'store': 'None' is not an instance of 'GraphStore'"
    with pytest.raises(TypeError) as e:
        reducer.step(store.nodes())
    assert str(e.value) == "argument 'store': 'list' object is not an instance of 'GraphStore'"
    with pytest.raises(TypeError) as e:
        reducer.finalize()
    assert str(e.value) == "IncrementalReducer.finalize() missing 1 required positional argument: 'store'"
    with pytest.raises(TypeError) as e:
        reducer.finalize(store, maximal_fusion=0)
    assert str(e.value) == "argument 'maximal_fusion': 'int' object is not an instance of 'bool'"
    with pytest.raises(TypeError):
        reducer.watermark(1)
    with pytest.raises(ValueError) as e:
        reducer.finalize(store, outputs=[7])
    assert str(e.value) == "no node with id 7"
    assert reducer.watermark() == 0
    with pytest.raises(TypeError):
        class Sub(tc.IncrementalReducer):  # noqa: F841
            pass


def test_fed_a_shorter_store_it_consumes_nothing():
    store, _ = worked_example()
    reducer = tc.IncrementalReducer()
    reducer.step(store)
    assert reducer.step(tc.GraphStore()) == 0
    assert reducer.watermark() == 7


def test_threads_share_one_reducer():
    store = tc.GraphStore()
    reducer = tc.IncrementalReducer()
    src = store.add_source("s")

    def work(k):
        for i in range(200):
            store.add_op("add", [src], {"scalar": float(k * 1000 + i)})
            reducer.step(store)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    reducer.step(store)
    assert reducer.watermark() == reducer.total_work() == store.node_count() == 801


@settings(max_examples=100, deadline=None)
@given(plan=steps(), picks=st.lists(st.floats(0.0, 0.999), max_size=4),
       sizes=st.lists(st.integers(1, 8), min_size=1, max_size=10), fusion=st.booleans())
def test_step_sizes_do_not_matter(plan, picks, sizes, fusion):
    full = tc.GraphStore()
    ids = record(full, plan)
    outputs = [ids[int(p * len(ids))] for p in picks]

    # Feed a growing copy of the same store in the drawn step sizes.
    growing = tc.GraphStore()
    stepped = tc.IncrementalReducer()
    plan_iter = iter(plan)
    done = False
    size_cycle = iter(sizes * (len(plan) + 1))
    while not done:
        chunk = [s for _, s in zip(range(next(size_cycle)), plan_iter)]
        done = not chunk
        record(growing, chunk) if chunk else None
        stepped.step(growing)
    one_shot = tc.IncrementalReducer()
    one_shot.step(full)
    assert growing.serialize() == full.serialize()
    a, ra = stepped.finalize(growing, outputs=outputs, maximal_fusion=fusion)
    b, rb = one_shot.finalize(full, outputs=outputs, maximal_fusion=fusion)
    assert a.serialize() == b.serialize() and ra == rb
    assert stepped.total_work() == stepped.watermark() == full.node_count()
    # Up to numbering, the same graph as the one-shot reduction.
    c, rc = full.reduce(outputs=outputs, maximal_fusion=fusion)
    assert counters(ra) == counters(rc)
