// Interrupting long calls from Python. The core polls a Cancel between units
// of work (it never calls into the interpreter itself); these are the polls.
#pragma once

#include <Python.h>

#include <csignal>
#include <utility>

#include "base/cancel.h"

namespace tessary::py {

// For calls that hold no core lock while they poll (reading a blob into a
// store nobody else sees, rendering from a lock-free view): runs the
// interpreter's pending signal handlers, and stops the call when one raised
// (SIGINT's default handler raises KeyboardInterrupt), leaving that
// exception set.
inline Cancel interrupt_cancel() {
  return Cancel([](void*) { return PyErr_CheckSignals() == -1; }, nullptr);
}

// For calls that may poll while holding a store's or a reducer's lock: a
// Python handler run there could call back into the locked object and wait
// on the lock forever. So the poll only notices a pending SIGINT (taking it
// from the interpreter, on the main thread) and runs no Python code;
// run_interruptible delivers it once the locks are released.
inline Cancel deferred_interrupt_cancel() {
  return Cancel([](void*) { return PyOS_InterruptOccurred() != 0; }, nullptr);
}

// Runs `call(cancel)` with a deferred_interrupt_cancel. When the poll stops
// it, the call has unwound (its locks released and nothing of it kept): the
// SIGINT it took is handed back to the interpreter and its handler runs now.
// A handler that raises (the default one raises KeyboardInterrupt) ends the
// call with that exception, by rethrowing Cancelled for guard_call; one that
// returns asked for no interruption, so the call runs again from the start.
template <typename Call>
auto run_interruptible(Call&& call) -> decltype(call(std::declval<Cancel&>())) {
  for (;;) {
    Cancel cancel = deferred_interrupt_cancel();
    try {
      return call(cancel);
    } catch (const Cancelled&) {
      (void)PyErr_SetInterruptEx(SIGINT);
      if (PyErr_CheckSignals() == -1) throw;
    }
  }
}

}  // namespace tessary::py
