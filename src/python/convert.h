// Conversions between Python objects and core values: names, node ids and
// id sequences, parameter maps, payload descriptors, and back. A *_from_py
// function returns false with a Python error set; a *_to_py function returns
// a new reference or nullptr with an error set. None of them touches a store.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <string_view>

#include "ir/node.h"
#include "ir/param.h"
#include "ir/payload_descriptor.h"

namespace tessary::py {

[[nodiscard]] bool str_from_py_slow(PyObject* obj, std::string& out);

// A str (or subclass) as UTF-8; the wrong-type TypeError with target 'str'
// otherwise, UnicodeEncodeError for lone surrogates.
[[nodiscard]] inline bool str_from_py(PyObject* obj, std::string& out) {
  // An ASCII-only str stores its text as UTF-8 already.
  if (PyUnicode_Check(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
    out.assign(static_cast<const char*>(PyUnicode_DATA(obj)),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
  }
  return str_from_py_slow(obj, out);
}

// A node id: an int is read directly, anything else through __index__;
// negative or too large raises OverflowError.
[[nodiscard]] bool id_from_py(PyObject* obj, NodeId& out);

// An id sequence (inputs, outputs): a str is refused, then anything failing
// the sequence check; otherwise its items in iteration order.
[[nodiscard]] bool ids_from_py(PyObject* obj, NodeIds& out);

// None or absent (nullptr) gives the empty map; otherwise a dict whose str keys
// map to int, float, bool or str values. Mutating the dict while it is being
// read (from a value's __index__ or __float__) is an internal fault.
[[nodiscard]] bool params_from_py(PyObject* obj, ParamMap& out);

// A PayloadDescriptor instance (copied) or a dict with the descriptor fields.
[[nodiscard]] bool descriptor_from_py(PyObject* obj, PayloadDescriptor& out);

PyObject* str_to_py(std::string_view text);
PyObject* id_to_py(NodeId id);
// A new list of ints.
PyObject* ids_to_py(std::span<const NodeId> ids);
// A new dict with one entry per parameter, in map order.
PyObject* params_to_py(const ParamMap& params);
// A new dict with the six descriptor fields in declaration order.
PyObject* descriptor_to_py(const PayloadDescriptor& descriptor);

}  // namespace tessary::py
