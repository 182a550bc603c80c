// Running core code without the interpreter lock, and the stop check such
// code asks while it runs. Code given to without_gil must not touch any
// Python object.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <optional>
#include <utility>

#include "corvatel/worker_pool.h"

namespace corvatel::py {

// Returns compute() after running it without the lock. The lock is re-taken
// here, outside any noexcept frame and with no exception in flight: while
// the interpreter shuts down, re-taking it ends this thread with a forced
// unwind, which must pass through every frame up to the thread's start.
template <typename Compute>
auto without_gil(Compute&& compute) {
  using Value = decltype(compute());
  PyThreadState* state = PyEval_SaveThread();
  std::optional<Value> value;
  std::exception_ptr failure;
  try {
    value.emplace(compute());
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is ending inside compute (its stop check re-took the lock)
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (failure) std::rethrow_exception(failure);
  return std::move(*value);
}

// The stop check for computations run by without_gil: takes the lock
// briefly and runs the signal handlers (Ctrl-C's among them). True, with the
// handler's exception set on this thread, when one raised.
inline bool signal_raised() {
  const PyGILState_STATE held = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() != 0;
  PyGILState_Release(held);
  return raised;
}

inline const StopCheck& signal_stop_check() {
  static const StopCheck check = signal_raised;
  return check;
}

}  // namespace corvatel::py
