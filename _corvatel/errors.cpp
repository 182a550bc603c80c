#include "errors.h"

#include <atomic>
#include <mutex>

#include "pyref.h"

namespace corvatel::py {

namespace {

std::atomic<PyObject*> g_error_type{nullptr};  // filled once, never emptied
std::once_flag g_error_type_once;

struct CreationFailed {};

}  // namespace

PyObject* corvatel_error_type() {
  if (PyObject* type = g_error_type.load(std::memory_order_acquire)) {
    Py_INCREF(type);
    return type;
  }
  // Never wait for the guard while holding the interpreter lock: the thread
  // inside it may need the lock to finish.
  PyThreadState* state = PyEval_SaveThread();
  bool restored = false;
  try {
    std::call_once(g_error_type_once, [&] {
      PyEval_RestoreThread(state);
      restored = true;
      PyObject* type = PyErr_NewExceptionWithDoc(
          "corvatel.CorvatelError", "Raised when parameter recovery fails on bad or degenerate input data.",
          PyExc_ValueError, nullptr);
      if (type == nullptr) throw CreationFailed{};  // leaves the guard open for a later try
      g_error_type.store(type, std::memory_order_release);
    });
  } catch (const CreationFailed&) {
    return nullptr;
  }
  if (!restored) PyEval_RestoreThread(state);
  PyObject* type = g_error_type.load(std::memory_order_acquire);
  Py_XINCREF(type);
  return type;
}

PyObject* raise_corvatel_error(const std::string& message) {
  PyRef type = PyRef::steal(corvatel_error_type());
  if (!type) return nullptr;
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return nullptr;
  PyErr_SetObject(type.get(), text.get());
  return nullptr;
}

PyObject* raise_param_error(const ParamError& error) {
  PyErr_SetString(PyExc_ValueError, error.message().c_str());
  return nullptr;
}

void note_argument(const char* name) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
    PyRef result = note ? PyRef::steal(PyObject_CallMethod(value, "add_note", "O", note.get())) : PyRef();
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();  // a size no allocation could satisfy
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "corvatel: unexpected internal error");
  }
}

}  // namespace corvatel::py
