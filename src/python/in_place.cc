#include "python/in_place.h"

#include <new>

namespace tessary::py {

std::uint8_t* resize_bytes(PyRef& bytes, std::size_t size) {
  const auto n = static_cast<Py_ssize_t>(size);
  if (!bytes) {
    bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, n));
  } else {
    // _PyBytes_Resize reallocates in place (no copy for a large buffer) and
    // on failure drops the object and leaves null.
    PyObject* grown = bytes.release();
    if (_PyBytes_Resize(&grown, n) == 0) bytes = PyRef::steal(grown);
  }
  if (!bytes) throw std::bad_alloc();
  return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
}

}  // namespace tessary::py
