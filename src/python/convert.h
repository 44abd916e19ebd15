// Conversions between Python objects and core values: names, node ids and
// id sequences, parameter entries, payload descriptors, and back. A *_from_py
// function returns false with a Python error set; a *_to_py function returns
// a new reference or nullptr with an error set. None of them touches a store.
// Strings come out borrowed (string_view), so the key views of the building
// calls are made without copying any text.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <string_view>

#include "base/small_vec.h"
#include "ir/key_view.h"
#include "ir/node.h"
#include "ir/param.h"
#include "ir/payload_descriptor.h"

namespace tessary::py {

// Strong references to the objects whose text a key view borrows, all
// dropped when the holder goes: declare it before the view and keep it until
// the store call has returned. A conversion can run user code (__index__,
// __float__, a dict key's __eq__) that removes an object converted earlier
// from its dict; the hold keeps its UTF-8 buffer alive all the same.
class HeldRefs {
 public:
  HeldRefs() = default;
  HeldRefs(const HeldRefs&) = delete;
  HeldRefs& operator=(const HeldRefs&) = delete;
  ~HeldRefs() {
    for (PyObject* obj : refs_.span()) Py_DECREF(obj);
  }

  void hold(PyObject* obj) {
    refs_.push_back(obj);  // first, so that a failed growth leaves no extra reference
    Py_INCREF(obj);
  }

 private:
  SmallVec<PyObject*, 24> refs_;
};

// Input ids and parameter entries of one building call, inline up to eight each.
using IdBuffer = SmallVec<NodeId, 8>;
using ParamBuffer = SmallVec<ParamEntryView, 8>;

[[nodiscard]] bool str_from_py_slow(PyObject* obj, std::string_view& out);

// A str (or subclass) as UTF-8, borrowed from `obj`: valid while `obj` lives.
// The wrong-type TypeError with target 'str' otherwise, UnicodeEncodeError
// for lone surrogates.
[[nodiscard]] inline bool str_from_py(PyObject* obj, std::string_view& out) {
  // An ASCII-only str stores its text as UTF-8 already.
  if (PyUnicode_Check(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
  }
  return str_from_py_slow(obj, out);
}

// The same, copied.
[[nodiscard]] inline bool str_from_py(PyObject* obj, std::string& out) {
  std::string_view text;
  if (!str_from_py(obj, text)) return false;
  out.assign(text);
  return true;
}

// A node id: an int is read directly, anything else through __index__;
// negative or too large raises OverflowError.
[[nodiscard]] bool id_from_py(PyObject* obj, NodeId& out);

// An id sequence (inputs, outputs): a str is refused, then anything failing
// the sequence check; otherwise its items in iteration order.
[[nodiscard]] bool ids_from_py(PyObject* obj, NodeIds& out);
[[nodiscard]] bool ids_from_py(PyObject* obj, IdBuffer& out);

// None or absent (nullptr) gives no entries; otherwise a dict whose str keys
// map to int, float, bool or str values, in the dict's order (KeyView sorts
// them). Keys and values are held in `held`. Mutating the dict while it is
// being read (from a value's __index__ or __float__) is an internal fault.
[[nodiscard]] bool params_from_py(PyObject* obj, ParamBuffer& out, HeldRefs& held);

// A PayloadDescriptor instance (borrowed from it: keep `obj` alive) or a dict
// with the descriptor fields (whose values are held in `held`).
[[nodiscard]] bool descriptor_from_py(PyObject* obj, DescriptorView& out, HeldRefs& held);

PyObject* str_to_py(std::string_view text);
PyObject* id_to_py(NodeId id);
// A new list of ints.
PyObject* ids_to_py(std::span<const NodeId> ids);
// A new dict with one entry per parameter, in map order.
PyObject* params_to_py(const ParamMap& params);
// A new dict with the six descriptor fields in declaration order.
PyObject* descriptor_to_py(const DescriptorView& descriptor);
PyObject* descriptor_to_py(const PayloadDescriptor& descriptor);

}  // namespace tessary::py
