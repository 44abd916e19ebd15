#include "python/convert.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <utility>

#include "python/args.h"
#include "python/descriptor.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/static_str.h"

namespace tessary::py {
namespace {

// A generic sequence's length only sizes the first allocation; __len__ is
// user code and may claim anything.
constexpr Py_ssize_t kMaxCapacityHint = 4096;

// Keys of a descriptor dict: entry i names required field i
// (kDescriptorFieldNames), then the optional reference.
StaticStr g_required_fields[] = {
    StaticStr(kDescriptorFieldNames[0].data()), StaticStr(kDescriptorFieldNames[1].data()),
    StaticStr(kDescriptorFieldNames[2].data()), StaticStr(kDescriptorFieldNames[3].data()),
    StaticStr(kDescriptorFieldNames[4].data())};
static_assert(std::size(g_required_fields) == kDescriptorFieldNames.size());
StaticStr g_preprocessing_ref("preprocessing_ref");

// A one-digit int, read inline; false for any other int.
bool compact_int(PyObject* int_obj, Py_ssize_t& out) {
  const auto* value = reinterpret_cast<const PyLongObject*>(int_obj);
  if (!PyUnstable_Long_IsCompact(value)) return false;
  out = PyUnstable_Long_CompactValue(value);
  return true;
}

bool read_u64(PyObject* int_obj, NodeId& out) {
  Py_ssize_t small = 0;
  if (compact_int(int_obj, small) && small >= 0) {
    out = static_cast<NodeId>(small);
    return true;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(int_obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

// A failed attempt that has a fallback (a classification rule, a length
// hint) moves on, but only after an ordinary error: KeyboardInterrupt,
// SystemExit and MemoryError still propagate, as they would from Python.
bool clear_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

// Exact lists and tuples are read in place, with the semantics of iterating
// them: a list is re-measured at every step, since an item's __index__ may
// change it, and the item is held while it is converted.
template <typename Ids>
bool ids_from_list_or_tuple(PyObject* seq, Ids& out) {
  out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq)));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
    NodeId id = 0;
    if (PyLong_CheckExact(item)) {
      if (!read_u64(item, id)) return false;
    } else {
      PyRef held = PyRef::borrow(item);
      if (!id_from_py(held.get(), id)) return false;
    }
    out.push_back(id);
  }
  return true;
}

// The id sequence rules, for either id list (a key's inputs or a call's buffer).
template <typename Ids>
bool ids_into(PyObject* obj, Ids& out) {
  out.clear();
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return ids_from_list_or_tuple(obj, out);
  if (PyUnicode_Check(obj)) {
    raise_str_to_vec();
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_wrong_type(obj, "Sequence");
    return false;
  }
  Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    if (!clear_ordinary_error()) return false;  // the length is only a hint
    hint = 0;
  }
  out.reserve(static_cast<std::size_t>(std::min(hint, kMaxCapacityHint)));
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    NodeId id = 0;
    if (!id_from_py(item.get(), id)) return false;
    out.push_back(id);
  }
  return !PyErr_Occurred();
}

// The str rule: the text is borrowed from `obj`, which the caller holds.
bool str_value(PyObject* obj, ParamValueView& out) {
  std::string_view text;
  if (!str_from_py(obj, text)) return false;
  out.emplace<3>(text);
  return true;
}

// An exact int outside the signed 64-bit range: a Float when it fits a double.
bool big_int_value(PyObject* obj, ParamValueView& out) {
  const double value = PyLong_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    if (clear_ordinary_error()) raise_bad_param_value();
    return false;
  }
  out.emplace<1>(value);
  return true;
}

// Any other object, by the rules in order: an integer through __index__, a
// double through __float__ or __index__, a str. A rule whose slot the type
// lacks is skipped without raising and catching the error it would give.
bool generic_param_value(PyObject* obj, ParamValueView& out) {
  PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
  const bool has_index = nb != nullptr && nb->nb_index != nullptr;
  if (PyLong_Check(obj) || has_index) {
    const long long value = PyLong_AsLongLong(obj);
    if (!(value == -1 && PyErr_Occurred())) {
      out.emplace<0>(value);
      return true;
    }
    if (!clear_ordinary_error()) return false;
  }
  if (PyFloat_Check(obj) || has_index || (nb != nullptr && nb->nb_float != nullptr)) {
    const double value = PyFloat_AsDouble(obj);
    if (!(value == -1.0 && PyErr_Occurred())) {
      out.emplace<1>(value);
      return true;
    }
    if (!clear_ordinary_error()) return false;
  }
  if (PyUnicode_Check(obj)) return str_value(obj, out);
  raise_bad_param_value();
  return false;
}

// Classification order: exactly bool, then a signed 64-bit int, then a
// double, then a str. The exact builtin types are decided by their type
// alone, which gives the same answers as the rules without raising.
bool param_value_from_py(PyObject* obj, ParamValueView& out) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyBool_Type) {
    out.emplace<2>(obj == Py_True);
    return true;
  }
  if (type == &PyLong_Type) {
    Py_ssize_t small = 0;
    if (compact_int(obj, small)) {
      out.emplace<0>(small);
      return true;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return big_int_value(obj, out);
    if (value == -1 && PyErr_Occurred()) return false;
    out.emplace<0>(value);
    return true;
  }
  if (type == &PyFloat_Type) {
    out.emplace<1>(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (type == &PyUnicode_Type) return str_value(obj, out);
  return generic_param_value(obj, out);
}

// The value stored under `key` (held), or an empty handle when the key is absent.
bool dict_field(PyObject* dict, StaticStr& key, PyRef& out) {
  PyObject* name = key.get();
  if (name == nullptr) return false;
  PyObject* value = PyDict_GetItemWithError(dict, name);
  if (value == nullptr && PyErr_Occurred()) return false;
  out = PyRef::borrow(value);
  return true;
}

// A field's str value, held: a later lookup can run a key's __eq__, which
// may replace this value in the dict.
bool held_str(PyObject* value, std::string_view& out, HeldRefs& held) {
  if (!str_from_py(value, out)) return false;
  held.hold(value);
  return true;
}

bool descriptor_from_dict(PyObject* dict, DescriptorView& out, HeldRefs& held) {
  PyRef ref;
  if (!dict_field(dict, g_preprocessing_ref, ref)) return false;
  if (ref && ref.get() != Py_None) {
    std::string_view text;
    if (!held_str(ref.get(), text, held)) return false;
    out.preprocessing_ref = text;
  } else {
    out.preprocessing_ref.reset();
  }
  return for_each_required_field(
      [&](std::size_t i, std::string_view& field) {
        PyRef value;
        if (!dict_field(dict, g_required_fields[i], value)) return false;
        if (!value) {
          raise_missing_descriptor_field(g_required_fields[i].text());
          return false;
        }
        return held_str(value.get(), field, held);
      },
      out);
}

// Sets dict[key] = value, taking ownership of `value`.
bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
  PyRef held = PyRef::steal(value);
  return held && PyDict_SetItem(dict, key, held.get()) == 0;
}

PyObject* param_value_to_py(const ParamValue& value) {
  switch (value.tag()) {
    case ParamTag::kInt:
      return PyLong_FromLongLong(value.as_int());
    case ParamTag::kFloat:
      return PyFloat_FromDouble(value.as_float());
    case ParamTag::kBool:
      return Py_NewRef(value.as_bool() ? Py_True : Py_False);
    case ParamTag::kStr:
      return str_to_py(value.as_str());
  }
  return raise_panic("unknown parameter tag");
}

}  // namespace

bool str_from_py_slow(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_wrong_type(obj, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool id_from_py(PyObject* obj, NodeId& out) {
  if (PyLong_Check(obj)) return read_u64(obj, out);
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  return index && read_u64(index.get(), out);
}

bool ids_from_py(PyObject* obj, NodeIds& out) { return ids_into(obj, out); }

bool ids_from_py(PyObject* obj, IdBuffer& out) { return ids_into(obj, out); }

bool params_from_py(PyObject* obj, ParamBuffer& out, HeldRefs& held) {
  out.clear();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    raise_params_not_dict();
    return false;
  }
  const Py_ssize_t size = PyDict_GET_SIZE(obj);
  out.reserve(static_cast<std::size_t>(size));
  // A value's __index__ or __float__ may change the dict under us; like a
  // dict iterator, notice a new size, or more entries than it had.
  Py_ssize_t remaining = size;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (true) {
    if (PyDict_GET_SIZE(obj) != size) fault_dict_changed_size();
    if (remaining == -1) fault_dict_keys_changed();
    if (!PyDict_Next(obj, &pos, &key, &value)) break;
    --remaining;
    // Held until the key is interned: the conversion can run code that drops
    // the dict's references, and the entry borrows the text of both.
    held.hold(key);
    held.hold(value);
    ParamEntryView entry;
    if (!str_from_py(key, entry.key) || !param_value_from_py(value, entry.value)) return false;
    out.push_back(entry);
  }
  return true;
}

bool descriptor_from_py(PyObject* obj, DescriptorView& out, HeldRefs& held) {
  if (const PayloadDescriptor* value = payload_descriptor_value(obj)) {
    out = DescriptorView::of(*value);
    return true;
  }
  if (PyDict_Check(obj)) return descriptor_from_dict(obj, out, held);
  raise_bad_descriptor();
  return false;
}

PyObject* str_to_py(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Ids fit a signed long long (a store holds fewer than 2^32 nodes), and
// PyLong_FromLongLong builds one-digit ints on a shorter path than the
// unsigned form.
PyObject* id_to_py(NodeId id) {
  if (id > static_cast<NodeId>(LLONG_MAX)) return PyLong_FromUnsignedLongLong(id);
  return PyLong_FromLongLong(static_cast<long long>(id));
}

PyObject* ids_to_py(std::span<const NodeId> ids) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* item = id_to_py(ids[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* params_to_py(const ParamMap& params) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const ParamEntry& entry : params.entries()) {
    PyRef key = PyRef::steal(str_to_py(entry.key));
    if (!key || !set_item(dict.get(), key.get(), param_value_to_py(entry.value))) return nullptr;
  }
  return dict.release();
}

PyObject* descriptor_to_py(const DescriptorView& descriptor) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const bool filled = for_each_required_field(
      [&](std::size_t i, std::string_view field) {
        PyObject* key = g_required_fields[i].get();
        return key != nullptr && set_item(dict.get(), key, str_to_py(field));
      },
      descriptor);
  if (!filled) return nullptr;
  PyObject* ref_key = g_preprocessing_ref.get();
  if (ref_key == nullptr) return nullptr;
  PyObject* ref =
      descriptor.preprocessing_ref ? str_to_py(*descriptor.preprocessing_ref) : Py_NewRef(Py_None);
  if (!set_item(dict.get(), ref_key, ref)) return nullptr;
  return dict.release();
}

PyObject* descriptor_to_py(const PayloadDescriptor& descriptor) {
  return descriptor_to_py(DescriptorView::of(descriptor));
}

}  // namespace tessary::py
