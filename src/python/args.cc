#include "python/args.h"

#include <string>

#include "python/py_ref.h"

namespace tessary::py {
namespace {

bool intern_names(const ArgSpec& spec) {
  for (int i = 0; i < spec.n_params; ++i) {
    if (spec.interned[i] != nullptr) continue;
    // Kept for the life of the process, like the ArgSpec itself.
    PyObject* name = PyUnicode_InternFromString(spec.names[i]);
    if (name == nullptr) return false;
    spec.interned[i] = name;
  }
  return true;
}

// The parameter index named by keyword `kw`, or -1. Keyword names written in
// source code are interned, so the identity test usually decides.
int find_param(const ArgSpec& spec, PyObject* kw) {
  for (int i = 0; i < spec.n_params; ++i) {
    if (kw == spec.interned[i]) return i;
  }
  if (!PyUnicode_Check(kw)) return -1;
  for (int i = 0; i < spec.n_params; ++i) {
    if (PyUnicode_CompareWithASCIIString(kw, spec.names[i]) == 0) return i;
  }
  return -1;
}

void raise_too_many_positional(const ArgSpec& spec, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (spec.n_required_positional != spec.n_positional) {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                 spec.function, spec.n_required_positional, spec.n_positional, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
                 spec.function, spec.n_positional, given, verb);
  }
}

// Reports the parameters in [begin, end) that were not given, e.g.
// "f() missing 2 required keyword arguments: 'a' and 'b'". False when none is missing.
bool raise_missing(const ArgSpec& spec, const char* kind, int begin, int end,
                   const BoundArgs& out) {
  int missing[kMaxParams];
  int n = 0;
  for (int i = begin; i < end; ++i) {
    if (out[i] == nullptr) missing[n++] = i;
  }
  if (n == 0) return false;
  std::string names;
  for (int k = 0; k < n; ++k) {
    if (k != 0) {
      if (n > 2) names += ',';
      names += k == n - 1 ? " and " : " ";
    }
    names += '\'';
    names += spec.names[missing[k]];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %d required %s argument%s: %s", spec.function, n, kind,
               n == 1 ? "" : "s", names.c_str());
  return true;
}

// Places one keyword argument. False with a TypeError set.
bool bind_keyword(const ArgSpec& spec, PyObject* kw, PyObject* value, BoundArgs& out) {
  const int i = find_param(spec, kw);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", spec.function, kw);
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", spec.function,
                 spec.names[i]);
    return false;
  }
  out[i] = value;
  return true;
}

bool bind_positional(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, BoundArgs& out) {
  out.fill(nullptr);
  if (nargs > spec.n_positional) {
    raise_too_many_positional(spec, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return true;
}

bool check_missing(const ArgSpec& spec, const BoundArgs& out) {
  if (raise_missing(spec, "positional", 0, spec.n_required_positional, out)) return false;
  if (raise_missing(spec, "keyword", spec.n_positional, spec.n_positional + spec.n_required_keyword,
                    out)) {
    return false;
  }
  return true;
}

}  // namespace

bool bind_args_slow(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArgs& out) {
  if (!bind_positional(spec, args, nargs, out)) return false;
  if (kwnames != nullptr) {
    if (!intern_names(spec)) return false;
    const Py_ssize_t n_kw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
      if (!bind_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_missing(spec, out);
}

bool bind_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, BoundArgs& out) {
  const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
  PyObject* const* items = nargs == 0 ? nullptr : &PyTuple_GET_ITEM(args, 0);
  if (!bind_positional(spec, items, nargs, out)) return false;
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
    if (!intern_names(spec)) return false;
    // Binding runs no Python code, so the dict cannot change while it is read.
    Py_ssize_t pos = 0;
    PyObject* kw = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &kw, &value)) {
      if (!bind_keyword(spec, kw, value, out)) return false;
    }
  }
  return check_missing(spec, out);
}

PyObject* argument_error(const char* name) {
  PyRef cause = PyRef::steal(PyErr_GetRaisedException());
  if (!cause) return nullptr;
  if (!PyErr_GivenExceptionMatches(cause.get(), PyExc_TypeError)) {
    PyErr_SetRaisedException(cause.release());
    return nullptr;
  }
  PyRef text = PyRef::steal(PyObject_Str(cause.get()));
  if (!text) {
    // The original error says more than the failure to display it.
    PyErr_Clear();
    PyErr_SetRaisedException(cause.release());
    return nullptr;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  PyObject* wrapped = PyErr_GetRaisedException();
  if (wrapped == nullptr) return nullptr;
  PyException_SetCause(wrapped, cause.release());  // steals the cause
  PyErr_SetRaisedException(wrapped);
  return nullptr;
}

PyObject* raise_wrong_type(PyObject* obj, const char* target) {
  if (obj == Py_None) {
    return PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
  }
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!type_name) return nullptr;
  return PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(),
                      target);
}

PyObject* raise_str_to_vec() {
  PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return nullptr;
}

}  // namespace tessary::py
