// The module's exception type and the one place where C++ failures become
// Python exceptions.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include "corvatel/errors.h"
#include "corvatel/fp_environment.h"

#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

namespace corvatel::py {

// CorvatelError, created on first need and shared by the whole process.
// Returns a new reference, or nullptr with an exception set.
PyObject* corvatel_error_type();

// Raises CorvatelError with exactly `message`. Always returns nullptr.
PyObject* raise_corvatel_error(const std::string& message);

// Raises ValueError with the error's message. Always returns nullptr.
PyObject* raise_param_error(const ParamError& error);

// Attaches "while processing '<name>'" to the exception being raised, so the
// user learns which argument was at fault. Where add_note is missing or
// fails, the exception is raised without the note.
void note_argument(const char* name);

// Sets a Python exception for the C++ exception being handled.
void set_error_from_current_exception() noexcept;

// Every module function runs through this, so that no C++ exception ever
// reaches the interpreter: std::bad_alloc becomes MemoryError, anything else
// RuntimeError. Not noexcept, and the forced unwind that ends a thread at
// interpreter shutdown is let through: stopping it would abort the process.
//
// The call's own thread computes too (statistics, costs): it runs in the
// default floating-point environment, whatever modes the caller set.
template <PyObject* (*Impl)(PyObject*, PyObject*, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* args, PyObject* kwargs) {
  const DefaultFloatingPointScope default_floating_point;
  try {
    return Impl(self, args, kwargs);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// guarded<Impl> as a method-table entry: every module function takes
// positional and keyword arguments (METH_VARARGS | METH_KEYWORDS).
template <PyObject* (*Impl)(PyObject*, PyObject*, PyObject*)>
PyCFunction guarded_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<Impl>));
}

}  // namespace corvatel::py
