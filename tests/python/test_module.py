"""The module surface: loading, __all__, version(), PanicException, the class
objects (names, docstrings, signatures, no subclassing, no attribute
assignment)."""

import importlib
import inspect
import subprocess
import sys

import pytest

import tessary_core as tc

REGISTRATION_ORDER = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]


def test_all_lists_registered_names_in_order():
    assert tc.__all__ == REGISTRATION_ORDER
    assert all(hasattr(tc, name) for name in tc.__all__)


def test_module_docstring_and_version():
    assert tc.__doc__ == ""
    assert tc.version() == "0.0.1"
    assert tc.version.__name__ == "version"
    assert tc.version.__module__ == "tessary_core"
    with pytest.raises(TypeError):
        tc.version(1)
    with pytest.raises(TypeError):
        tc.version(x=1)


def test_panic_exception_derives_directly_from_base_exception():
    panic = tc.PanicException
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "PanicException" not in tc.__all__
    assert panic.__doc__


def test_import_runs_cleanly_with_warnings_as_errors():
    # A type without __module__ would warn at creation; -W error turns that into a failure.
    code = "import tessary_core as t; print(t.GraphStore.__module__, t.GraphStore.__qualname__)"
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True,
                         text=True, check=True)
    assert out.stdout.split() == ["tessary_core", "GraphStore"]


def test_reimport_reuses_the_process_wide_classes():
    old_store, old_desc, old_panic = tc.GraphStore, tc.PayloadDescriptor, tc.PanicException
    saved = sys.modules.pop("tessary_core")
    try:
        fresh = importlib.import_module("tessary_core")
        assert fresh is not saved
        assert fresh.GraphStore is old_store
        assert fresh.PayloadDescriptor is old_desc
        assert fresh.PanicException is old_panic
        assert fresh.__all__ == saved.__all__
        # An instance made through either module object works with the other's descriptors.
        d = fresh.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v",
                                    io_schema="s")
        s = saved.GraphStore()
        assert s.add_external(d, []) == 0
    finally:
        sys.modules["tessary_core"] = saved


@pytest.mark.parametrize("cls, name", [(tc.GraphStore, "GraphStore"),
                                       (tc.PayloadDescriptor, "PayloadDescriptor"),
                                       (tc.IncrementalReducer, "IncrementalReducer")])
def test_class_names_carry_no_module_prefix(cls, name):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "tessary_core"
    assert cls.__bases__ == (object,)


def test_class_docstrings_and_signatures():
    assert tc.GraphStore.__doc__ == (
        "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
        "share across threads under the GIL and free-threaded 3.14t).")
    assert tc.GraphStore.__text_signature__ == "()"
    assert tc.PayloadDescriptor.__doc__ == (
        "Reproducibility metadata an External node carries (participates in the structural hash).")
    assert tc.PayloadDescriptor.__text_signature__ == (
        "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)")
    assert str(inspect.signature(tc.GraphStore)) == "()"
    assert str(inspect.signature(tc.PayloadDescriptor)) == (
        "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)")
    assert str(inspect.signature(tc.version)) == "()"


METHOD_SIGNATURES = {
    "add_source": "(self, /, name, params=None)",
    "add_op": "(self, /, name, inputs, params=None)",
    "add_reduction": "(self, /, name, inputs, params=None)",
    "add_external": "(self, /, descriptor, inputs, params=None)",
    "add_exchange": "(self, /, inputs, params=None)",
    "nodes": "(self, /)",
    "outputs": "(self, /)",
    "node_count": "(self, /)",
    "to_dot": "(self, /)",
    "serialize": "(self, /, outputs=None)",
    "deserialize": "(data)",
    "reduce": "(self, /, *, maximal_fusion=False, outputs=None)",
    "reduction_report": "(self, /, *, outputs=None)",
    "reduce_incremental": "(self, /, *, outputs=None)",
}

REDUCER_SIGNATURES = {
    "step": "(self, /, store)",
    "finalize": "(self, /, store, *, maximal_fusion=False, outputs=None)",
    "watermark": "(self, /)",
    "total_work": "(self, /)",
    "canonical_count": "(self, /)",
}


def test_incremental_reducer_surface():
    cls = tc.IncrementalReducer
    assert (cls.__name__, cls.__module__) == ("IncrementalReducer", "tessary_core")
    assert str(inspect.signature(cls)) == "()"
    assert cls.__doc__.startswith("Genuinely incremental reduction (plan §A.1): feed it a store")
    assert cls.step.__doc__.endswith("The reducer must always be fed the same store.")
    assert cls.watermark.__doc__ == "How many of the store's nodes have been consumed so far."
    for name, text in REDUCER_SIGNATURES.items():
        assert str(inspect.signature(getattr(cls, name))) == text, name
    with pytest.raises(TypeError) as e:
        cls(1)
    assert str(e.value) == "IncrementalReducer.__new__() takes 0 positional arguments but 1 was given"
    reducer = cls()
    with pytest.raises(AttributeError):
        reducer.anything = 1
    assert tc.GraphStore.reduce.__doc__.startswith("Reduce via the M4 optimizer")
    assert tc.GraphStore.reduction_report.__doc__ == (
        "The reduction report for the current graph, without keeping the reduced store.")


def test_every_method_has_a_signature():
    store = tc.GraphStore()
    for name, text in METHOD_SIGNATURES.items():
        assert str(inspect.signature(getattr(tc.GraphStore, name))) == text, name
        bound = str(inspect.signature(getattr(store, name)))
        assert bound == text.replace("self, /, ", "").replace("(self, /)", "()"), name
    # Whatever else the class grows, every public callable has a readable signature.
    for name, member in vars(tc.GraphStore).items():
        if not name.startswith("_") and callable(member):
            inspect.signature(getattr(tc.GraphStore, name))


def test_method_docstrings():
    assert tc.GraphStore.add_source.__text_signature__ == "($self, name, params=None)"
    assert tc.GraphStore.add_exchange.__doc__.startswith(
        "Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange's identity is its\n"
        "`scheme` ParamMap (`params`) + its one logical input; ")
    assert "exchange" in tc.GraphStore.add_exchange.__doc__.split("input; ", 1)[1]
    assert tc.GraphStore.outputs.__doc__ == (
        "The marked output node ids, in mark order (what an IR evaluator returns, in order).")
    assert tc.GraphStore.deserialize.__doc__.startswith("Rebuild a store from canonical bytes.")
    for name in ["add_source", "add_op", "add_reduction", "add_external", "node_count", "to_dot"]:
        assert getattr(tc.GraphStore, name).__doc__ is None, name  # signature only
    for field in ["kind", "content_hash", "framework", "version", "io_schema",
                  "preprocessing_ref"]:
        assert getattr(tc.PayloadDescriptor, field).__doc__ == ""


@pytest.mark.parametrize("cls", [tc.GraphStore, tc.PayloadDescriptor, tc.IncrementalReducer])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


def test_instances_refuse_new_attributes():
    store = tc.GraphStore()
    desc = tc.PayloadDescriptor(kind="", content_hash="", framework="", version="", io_schema="")
    for obj in (store, desc):
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.anything = 1
    with pytest.raises(AttributeError):
        store.add_op = None
    with pytest.raises(AttributeError):
        desc.kind = "other"
    with pytest.raises(TypeError):
        tc.GraphStore.add_op = None  # the class itself is immutable too
    assert desc.kind == ""


def test_reprs_show_sizes():
    store = tc.GraphStore()
    assert repr(store) == "<tessary_core.GraphStore: 0 nodes, 0 outputs>"
    x = store.add_source("x")
    store.mark_output(x)
    assert repr(store) == "<tessary_core.GraphStore: 1 node, 1 output>"
    y = store.add_op("add", [x, store.add_source("y")])
    store.add_op("add", [x, x])
    store.mark_output(y)
    assert str(store) == "<tessary_core.GraphStore: 4 nodes, 2 outputs>"
    reducer = tc.IncrementalReducer()
    assert repr(reducer) == "<tessary_core.IncrementalReducer: watermark 0, canonical form 0 nodes>"
    reducer.step(store)
    assert repr(reducer) == \
        f"<tessary_core.IncrementalReducer: watermark 4, canonical form {reducer.canonical_count()} nodes>"
    single = tc.GraphStore()
    single.add_source("x")
    reducer = tc.IncrementalReducer()
    reducer.step(single)
    assert repr(reducer) == "<tessary_core.IncrementalReducer: watermark 1, canonical form 1 node>"


def test_version_attribute_matches_version():
    assert tc.__version__ == tc.version() == "0.0.1"
    assert "__version__" not in tc.__all__


def test_deserialize_is_a_static_method():
    blob = tc.GraphStore().serialize()
    assert tc.GraphStore.deserialize(blob).node_count() == 0
    assert tc.GraphStore().deserialize(data=blob).node_count() == 0
    assert isinstance(inspect.getattr_static(tc.GraphStore, "deserialize"), staticmethod)
