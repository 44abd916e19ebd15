// Argument binding shared by every method and constructor of the module: the
// positional and keyword arguments of a call are matched to the parameters of
// an ArgSpec, with the binding TypeErrors (unknown keyword, duplicate, too
// many positional, missing), plus the texts of the argument-level TypeErrors.
#pragma once

#include <Python.h>

#include <array>

namespace tessary::py {

inline constexpr int kMaxParams = 6;

// The bound arguments by parameter position: borrowed references, nullptr
// where a parameter was not given. Valid for the duration of the call.
using BoundArgs = std::array<PyObject*, kMaxParams>;

// The parameter list of one callable. Positional-or-keyword parameters come
// first, then keyword-only ones; within each group the required ones lead.
struct ArgSpec {
  const char* function;  // qualified name used in messages: "GraphStore.add_op()"
  std::array<const char*, kMaxParams> names;
  int n_params;
  int n_positional;           // parameters that may be given by position
  int n_required_positional;  // leading positional parameters without a default
  int n_required_keyword;     // leading keyword-only parameters without a default
  // The names as interned str objects, made on the first call with keywords.
  mutable std::array<PyObject*, kMaxParams> interned{};
};

[[nodiscard]] bool bind_args_slow(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, BoundArgs& out);

// Binds fast-call arguments (methods). Returns false with a TypeError set.
[[nodiscard]] inline bool bind_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, BoundArgs& out) {
  if (kwnames == nullptr && nargs >= spec.n_required_positional && nargs <= spec.n_positional &&
      spec.n_required_keyword == 0) {
    for (int i = 0; i < kMaxParams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    return true;
  }
  return bind_args_slow(spec, args, nargs, kwnames, out);
}

// Binds tuple-and-dict arguments (constructors); `kwargs` may be nullptr.
[[nodiscard]] bool bind_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, BoundArgs& out);

// Called after the conversion of the bound argument `name` failed: a pending
// TypeError is replaced by TypeError "argument '{name}': {message}" whose
// cause is the original error; any other error is left as it is. Returns nullptr.
PyObject* argument_error(const char* name);

// TypeError "'{t}' object is not an instance of '{target}'" ("'None' is not
// an instance of '{target}'" for None). Returns nullptr.
PyObject* raise_wrong_type(PyObject* obj, const char* target);

// TypeError "Can't extract `str` to `Vec`". Returns nullptr.
PyObject* raise_str_to_vec();

}  // namespace tessary::py
