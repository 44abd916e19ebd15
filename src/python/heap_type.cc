#include "python/heap_type.h"

#include <cstring>

namespace tessary::py {

PyTypeObject* heap_type_once(PyType_Spec& spec, PyTypeObject*& slot) {
  if (slot != nullptr) return slot;
  PyObject* made = PyType_FromSpec(&spec);
  if (made == nullptr) return nullptr;
  // Creating a type can run Python code (a collection), so another thread
  // may have stored the type meanwhile: keep that one, so that there is
  // only ever one class per name.
  if (slot != nullptr) {
    Py_DECREF(made);
    return slot;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(made);
  // The interpreter names a type by tp_name in its messages ("'GraphStore'
  // object has no attribute 'x'"); __name__, __qualname__ and __module__ come
  // from the PyType_Spec's dotted name and are unaffected. The PyType_Spec is static, so
  // the pointer stays valid.
  if (const char* dot = std::strrchr(spec.name, '.')) type->tp_name = dot + 1;
  slot = type;
  return slot;
}

}  // namespace tessary::py
