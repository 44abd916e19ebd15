// Python exceptions for core failures, and guard_call: the one place where a
// C++ exception becomes a Python one, so that no exception ever leaves a C
// entry point. Internal faults are raised as PanicException.
#pragma once

#include <Python.h>

#include <string_view>
#include <type_traits>

#include "ir/store.h"

namespace tessary::py {

// The PanicException class (derived directly from BaseException), created
// once per process. Borrowed; nullptr with an error set if it cannot be made.
PyObject* panic_exception_type();

// Each raise_* sets the Python error and returns nullptr, so a method can
// `return raise_...(...)`.

// PanicException with `message`: the report of an internal fault.
PyObject* raise_panic(std::string_view message);
// ValueError "no node with id {id}".
PyObject* map_err(const BadNodeId& err);
// ValueError with a core error's message (a bad blob, a store the format cannot hold).
PyObject* raise_value_error(std::string_view message);

PyObject* raise_params_not_dict();
PyObject* raise_bad_param_value();
PyObject* raise_bad_descriptor();
PyObject* raise_missing_descriptor_field(const char* field);
PyObject* raise_unparseable_member(std::string_view token);

// Internal faults of the binding layer (they throw InternalFault).
[[noreturn]] void fault_source_rejected();
[[noreturn]] void fault_dict_changed_size();
[[noreturn]] void fault_dict_keys_changed();

// Turns the C++ exception being handled into a Python error: InternalFault
// and any other std::exception become PanicException, std::bad_alloc
// MemoryError. Call only from inside a catch block.
void raise_current_exception() noexcept;

// Runs `f` (returning PyObject* or int) and converts any C++ exception into a
// Python error, returning the C API's failure value (nullptr or -1).
template <typename F>
auto guard_call(F&& f) noexcept -> decltype(f()) {
  using R = decltype(f());
  static_assert(std::is_pointer_v<R> || std::is_same_v<R, int>);
  try {
    return f();
  } catch (...) {
    raise_current_exception();
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return -1;
    }
  }
}

}  // namespace tessary::py
