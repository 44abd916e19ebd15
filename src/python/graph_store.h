// The Python GraphStore class: a thin wrapper owning one core GraphStore. The
// constructor, the building methods and the method table are in
// graph_store.cc; other files implement further methods, declare their entry
// points here and add their rows to that table.
#pragma once

#include <Python.h>

#include "ir/store.h"

namespace tessary::py {

struct PyGraphStore {
  PyObject_HEAD GraphStore store;
};

// The class, created once per process. Borrowed; nullptr with an error set.
PyTypeObject* graph_store_type();

// Whether `obj` is a GraphStore instance (the class cannot be subclassed).
bool is_graph_store(PyObject* obj);

// The core store of a GraphStore instance.
inline GraphStore& store_of(PyObject* self) { return reinterpret_cast<PyGraphStore*>(self)->store; }

// A new Python GraphStore owning `store`; nullptr with an error set.
PyObject* wrap_store(GraphStore&& store);

// Views and persistence (store_views.cc; nodes in node_views.cc).
PyObject* graph_store_nodes(PyObject* self, PyObject* unused);
PyObject* graph_store_outputs(PyObject* self, PyObject* unused);
PyObject* graph_store_node_count(PyObject* self, PyObject* unused);
PyObject* graph_store_to_dot(PyObject* self, PyObject* unused);
PyObject* graph_store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// A static method: `unused` is nullptr.
PyObject* graph_store_deserialize(PyObject* unused, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

// The repr and pickling through the blob (store_pickle.cc).
PyObject* graph_store_repr(PyObject* self);
PyObject* graph_store_pickle(PyObject* self, PyObject* unused);

// Reduction: reduce, reduction_report and reduce_incremental are declared in
// reducer.h.

}  // namespace tessary::py
