// The tessary_core extension module: its single entry point (multi-phase
// initialisation), the execution step that registers the classes and
// version() in __all__, and version() itself.
#include <Python.h>

#include "python/args.h"
#include "python/descriptor.h"
#include "python/docstrings.h"
#include "python/errors.h"
#include "python/graph_store.h"
#include "python/py_ref.h"
#include "python/reducer.h"
#include "python/static_str.h"

namespace tessary::py {
namespace {

constexpr char kVersion[] = "0.0.1";

StaticStr g_all("__all__");
StaticStr g_dunder_name("__name__");

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(kVersion); }

PyMethodDef kVersionDef = {"version", version, METH_NOARGS, kVersionDoc};

// Each maker returns a new reference to one exported object.
template <PyTypeObject* (*kType)()>
PyObject* export_type(PyObject*) {
  return Py_XNewRef(reinterpret_cast<PyObject*>(kType()));
}

PyObject* export_version(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return nullptr;
  return PyCMethod_New(&kVersionDef, module, module_name.get(), nullptr);
}

// What the module exports, in registration order, which is also the order
// of __all__. Adding a class is one more row.
PyObject* (*const kExports[])(PyObject*) = {
    export_type<graph_store_type>,
    export_type<payload_descriptor_type>,
    export_type<incremental_reducer_type>,
    export_version,
};

// Appends `name` to the module's __all__, creating the list when missing.
int append_to_all(PyObject* module, PyObject* name) {
  PyObject* all_name = g_all.get();
  if (all_name == nullptr) return -1;
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    raise_wrong_type(all.get(), "list");
    return -1;
  }
  return PyList_Append(all.get(), name);
}

// Lists `obj` in __all__ under its __name__ and sets it as a module attribute.
int add_export(PyObject* module, PyObject* obj) {
  PyObject* name_attr = g_dunder_name.get();
  if (name_attr == nullptr) return -1;
  PyRef name = PyRef::steal(PyObject_GetAttr(obj, name_attr));
  if (!name || append_to_all(module, name.get()) < 0) return -1;
  return PyObject_SetAttr(module, name.get(), obj);
}

int exec_module(PyObject* module) {
  return guard_call([&]() -> int {
    if (!PyObject_TypeCheck(module, &PyModule_Type)) {
      raise_wrong_type(module, "module");
      return -1;
    }
    for (PyObject* (*make)(PyObject*) : kExports) {
      PyRef obj = PyRef::steal(make(module));
      if (!obj || add_export(module, obj.get()) < 0) return -1;
    }
    // Reachable as tessary_core.PanicException for handlers, but not in __all__.
    PyObject* panic = panic_exception_type();
    if (panic == nullptr || PyObject_SetAttrString(module, "PanicException", panic) < 0) return -1;
    // The package version, as version() returns it; not in __all__ either.
    return PyModule_AddStringConstant(module, "__version__", kVersion);
  });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "tessary_core",
    kModuleDoc,
    0,        // no per-module state
    nullptr,  // no module-level method table: exec_module adds everything
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessary::py

PyMODINIT_FUNC PyInit_tessary_core() { return PyModuleDef_Init(&tessary::py::kModuleDef); }
