#include "args.h"

#include <string>
#include <vector>

#include "errors.h"
#include "pyref.h"

namespace corvatel::py {

namespace detail {

namespace {

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing names.
std::string join_names(const std::vector<const char*>& names) {
  if (names.size() == 1) return quoted(names[0]);
  if (names.size() == 2) return quoted(names[0]) + " and " + quoted(names[1]);
  std::string text;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) text += quoted(names[i]) + ", ";
  return text + "and " + quoted(names.back());
}

}  // namespace

bool parse(const char* function, const char* const* names, std::size_t count, std::size_t required,
           PyObject* args, PyObject* kwargs, PyObject** out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  if (given < 0) return false;
  const auto positional = static_cast<std::size_t>(given);
  for (std::size_t i = 0; i < positional && i < count; ++i) {
    out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }

  // Keywords first, then the positional count, then missing arguments: the
  // order in which CPython checks a call of a Python function.
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
        return false;
      }
      std::size_t index = count;
      for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
          index = i;
          break;
        }
      }
      if (index == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
        return false;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[index]);
        return false;
      }
      out[index] = value;
    }
  }

  if (positional > count) {
    const bool has_defaults = required < count;
    const std::string takes = has_defaults
                                  ? "from " + std::to_string(required) + " to " + std::to_string(count)
                                  : std::to_string(count);
    const bool plural = has_defaults || count != 1;
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given", function, takes.c_str(),
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
    return false;
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function, missing.size(),
                 missing.size() == 1 ? "" : "s", join_names(missing).c_str());
    return false;
  }
  return true;
}

}  // namespace detail

std::optional<double> to_double(PyObject* obj, const char* name) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    note_argument(name);
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint64_t> to_u64(PyObject* obj, const char* name) {
  PyRef integer = PyLong_Check(obj) ? PyRef::borrow(obj) : PyRef::steal(PyNumber_Index(obj));
  if (integer) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (!(value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return value;
  }
  note_argument(name);
  return std::nullopt;
}

}  // namespace corvatel::py
