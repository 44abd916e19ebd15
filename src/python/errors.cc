#include "python/errors.h"

#include <exception>
#include <new>
#include <string>

#include "base/cancel.h"
#include "base/fault.h"
#include "ir/token.h"
#include "python/docstrings.h"

namespace tessary::py {
namespace {

// Lives until the process ends; every module object shares it.
PyObject* g_panic_exception = nullptr;

PyObject* set_string(PyObject* type, std::string_view message) {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_exception == nullptr) {
    PyObject* type = PyErr_NewExceptionWithDoc("tessary_core.PanicException", kPanicExceptionDoc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) return nullptr;
    // Creating the class may run Python code (and so let another thread
    // create it first); keep whichever was stored first.
    if (g_panic_exception == nullptr) {
      g_panic_exception = type;
    } else {
      Py_DECREF(type);
    }
  }
  return g_panic_exception;
}

PyObject* raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;  // the creation error stays set
  return set_string(type, message);
}

PyObject* map_err(const BadNodeId& err) {
  return PyErr_Format(PyExc_ValueError, "no node with id %llu",
                      static_cast<unsigned long long>(err.id));
}

PyObject* raise_value_error(std::string_view message) {
  return set_string(PyExc_ValueError, message);
}

PyObject* raise_params_not_dict() {
  PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
  return nullptr;
}

PyObject* raise_bad_param_value() {
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  return nullptr;
}

PyObject* raise_bad_descriptor() {
  PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
  return nullptr;
}

PyObject* raise_missing_descriptor_field(const char* field) {
  return PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'", field);
}

PyObject* raise_unparseable_member(std::string_view token) {
  return raise_value_error("unparseable stage member token " + quote_display(token));
}

void fault_source_rejected() { fault("source has no inputs"); }
void fault_dict_changed_size() { fault("dictionary changed size during iteration"); }
void fault_dict_keys_changed() { fault("dictionary keys changed during iteration"); }

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const Cancelled&) {
    // The poll that stopped the call left its exception set.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const InternalFault& e) {
    raise_panic(e.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
}

}  // namespace tessary::py
