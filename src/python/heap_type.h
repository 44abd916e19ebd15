// Building the module's classes: heap types made once per process from a
// PyType_Spec, and the casts that put an entry point of any calling
// convention into a PyMethodDef.
#pragma once

#include <Python.h>

namespace tessary::py {

// Creates the type described by `spec` on the first call and stores it in
// `slot`, where it stays for the life of the process; later calls return it.
// The PyType_Spec's name is "tessary_core.Name", which sets __module__; the type's own
// name, used in the interpreter's messages, is the bare "Name".
// Borrowed; nullptr with an error set.
PyTypeObject* heap_type_once(PyType_Spec& spec, PyTypeObject*& slot);

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsMethod = PyObject* (*)(PyObject*, PyObject*);

// METH_FASTCALL | METH_KEYWORDS entry points are stored as PyCFunction.
inline PyCFunction as_cfunction(FastMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}
inline PyCFunction as_cfunction(NoArgsMethod method) { return method; }

}  // namespace tessary::py
