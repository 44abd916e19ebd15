// The reduction API of the module: the IncrementalReducer class and the
// reduction methods of GraphStore (listed in GraphStore's method table).
#pragma once

#include <Python.h>

namespace tessary::py {

// The IncrementalReducer class, created once per process. Borrowed; nullptr
// with an error set.
PyTypeObject* incremental_reducer_type();

PyObject* graph_store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
// reduce's result plus, third, the reduced store's id of each requested output.
PyObject* graph_store_reduce_mapped(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* graph_store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);
PyObject* graph_store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);

}  // namespace tessary::py
