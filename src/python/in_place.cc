#include "python/in_place.h"

#include <algorithm>
#include <cstring>
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

std::uint8_t* BytesOut::resize(std::size_t size) {
  if (!bytes_) {
    if (size <= kLocalBytes) {
      local_size_ = size;
      return local_;
    }
    std::uint8_t* grown = resize_bytes(bytes_, size);
    std::memcpy(grown, local_, std::min(local_size_, size));
    return grown;
  }
  return resize_bytes(bytes_, size);
}

PyObject* BytesOut::release() {
  if (bytes_) return bytes_.release();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(local_),
                                   static_cast<Py_ssize_t>(local_size_));
}

std::uint8_t* resize_ascii_str(PyRef& str, std::size_t size) {
  const auto n = static_cast<Py_ssize_t>(size);
  if (!str) {
    str = PyRef::steal(PyUnicode_New(n, 127));
  } else {
    // A str only this handle holds, never hashed, is reallocated in place;
    // on failure PyUnicode_Resize keeps the old one.
    PyObject* grown = str.release();
    if (PyUnicode_Resize(&grown, n) == 0) {
      str = PyRef::steal(grown);
    } else {
      Py_DECREF(grown);
    }
  }
  if (!str) throw std::bad_alloc();
  return PyUnicode_1BYTE_DATA(str.get());
}

PyObject* ascii_or_decoded(PyRef str, bool ascii) {
  if (ascii) return str.release();
  return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str.get())),
                              PyUnicode_GET_LENGTH(str.get()), nullptr);
}

}  // namespace tessary::py
