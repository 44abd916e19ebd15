// The Cancel a long call from Python polls: it runs the interpreter's pending
// signal handlers, and stops the call when one raised (SIGINT's default
// handler raises KeyboardInterrupt), leaving that exception set.
#pragma once

#include <Python.h>

#include "base/cancel.h"

namespace tessary::py {

inline Cancel interrupt_cancel() {
  return Cancel([](void*) { return PyErr_CheckSignals() == -1; }, nullptr);
}

}  // namespace tessary::py
