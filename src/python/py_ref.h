// PyRef: a tiny owning handle for one PyObject* reference. Ownership is
// explicit where the handle is made (steal adopts a new reference, borrow
// takes one more on a borrowed pointer) and where it leaves (release).
#pragma once

#include <Python.h>

#include <utility>

namespace tessary::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Adopts a new reference (nullptr allowed: the handle is then empty).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Takes a new reference on a borrowed pointer.
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller; the handle becomes empty.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  void reset(PyObject* obj = nullptr) noexcept {
    PyObject* old = std::exchange(obj_, obj);
    Py_XDECREF(old);
  }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace tessary::py
