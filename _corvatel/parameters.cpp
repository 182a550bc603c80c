// parameters(), bound_terms() and check_params(): the model's parameter
// tables and their range check, for the Python package, which takes its
// parameter names, defaults, ranges and messages from here rather than
// writing its own.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "args.h"
#include "convert.h"
#include "corvatel/parameters.h"
#include "errors.h"
#include "functions.h"
#include "numpy_api.h"
#include "pyref.h"

namespace corvatel::py {

namespace {

constexpr Signature<0> kTableSignature{"parameters", {}, 0};
constexpr Signature<2> kCheckSignature{"check_params", {"columns", "use"}, 1};
constexpr Signature<1> kWindowSignature{"check_outlier_window", {"outlier_window"}, 1};
constexpr Signature<0> kBoundTermsSignature{"bound_terms", {}, 0};

constexpr std::array<std::pair<unsigned, const char*>, 4> kFitNames = {
    {{kFitEz, "ez"}, {kFitSim, "sim"}, {kFitDdm, "ddm"}, {kFitFull, "full"}}};

bool set(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef number_or_none(double x) { return std::isnan(x) ? PyRef::borrow(Py_None) : PyRef::steal(PyFloat_FromDouble(x)); }

PyRef interval_tuple(const Interval& r) {
  return PyRef::steal(Py_BuildValue("(ddOO)", r.lo, r.hi, r.lo_closed ? Py_True : Py_False,
                                    r.hi_closed ? Py_True : Py_False));
}

PyRef spec_dict(const ParamRow& s) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return {};
  PyRef fitted = PyRef::steal(PyList_New(0));
  if (!fitted) return {};
  for (const auto& [bit, name] : kFitNames) {
    if ((s.fitted_by & bit) == 0) continue;
    PyRef item = PyRef::steal(PyUnicode_FromString(name));
    if (!item || PyList_Append(fitted.get(), item.get()) != 0) return {};
  }
  PyRef fitted_by = PyRef::steal(PyList_AsTuple(fitted.get()));
  if (!set(d.get(), "name", PyRef::steal(PyUnicode_FromString(s.name))) ||
      !set(d.get(), "fit_name", PyRef::steal(PyUnicode_FromString(s.fit_name))) ||
      !set(d.get(), "range", interval_tuple(s.range)) ||
      !set(d.get(), "phrase", PyRef::steal(PyUnicode_FromString(s.phrase))) ||
      !set(d.get(), "default", number_or_none(s.default_value)) ||
      !set(d.get(), "search", s.search ? interval_tuple(*s.search) : PyRef::borrow(Py_None)) ||
      !set(d.get(), "fitted_by", std::move(fitted_by)) ||
      !set(d.get(), "variability", PyRef::borrow(s.variability ? Py_True : Py_False)) ||
      !set(d.get(), "mixture", PyRef::borrow(s.mixture ? Py_True : Py_False))) {
    return {};
  }
  return d;
}

PyObject* parameters(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 0> arg{};
  if (!parse_arguments(kTableSignature, args, kwargs, arg)) return nullptr;
  PyRef table = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kParamCount)));
  if (!table) return nullptr;
  for (std::size_t i = 0; i < kParamCount; ++i) {
    PyRef row = spec_dict(kParams[i]);
    if (!row) return nullptr;
    PyTuple_SetItem(table.get(), static_cast<Py_ssize_t>(i), row.release());
  }
  return table.release();
}

// A term's dict: name, range, phrase and the bounds that use it (a tuple
// of names; empty for leak and urgency).
PyRef term_dict(const BoundTermRow& row) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return {};
  PyRef names = PyRef::steal(PyUnicode_FromString(row.bounds));
  PyRef split = names ? PyRef::steal(PyUnicode_Split(names.get(), nullptr, -1)) : PyRef{};
  PyRef bounds = split ? PyRef::steal(PyList_AsTuple(split.get())) : PyRef{};
  if (!set(d.get(), "name", PyRef::steal(PyUnicode_FromString(row.name))) ||
      !set(d.get(), "range", interval_tuple(row.range)) ||
      !set(d.get(), "phrase", PyRef::steal(PyUnicode_FromString(row.phrase))) ||
      !set(d.get(), "bounds", std::move(bounds))) {
    return {};
  }
  return d;
}

PyObject* bound_terms(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 0> arg{};
  if (!parse_arguments(kBoundTermsSignature, args, kwargs, arg)) return nullptr;
  PyRef table = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kBoundTermCount)));
  if (!table) return nullptr;
  for (std::size_t i = 0; i < kBoundTermCount; ++i) {
    PyRef row = term_dict(kBoundTerms[i]);
    if (!row) return nullptr;
    PyTuple_SetItem(table.get(), static_cast<Py_ssize_t>(i), row.release());
  }
  return table.release();
}

// The rank of a rule in the order check_params applies them: by parameter,
// then range, finiteness, and the window rules.
std::int64_t rank_of(const ParamError& e) {
  std::int64_t sub = 0;
  switch (e.kind()) {
    case ParamError::Kind::Range: sub = 0; break;
    case ParamError::Kind::NotFinite: sub = 1; break;
    case ParamError::Kind::DensityStart:
    case ParamError::Kind::StartWindow:
    case ParamError::Kind::T0Window: sub = 2; break;
    default: sub = 3; break;
  }
  return 4 * static_cast<std::int64_t>(e.param()) + sub;
}

std::optional<ParamUse> use_argument(PyObject* obj) {
  const char* text = obj == nullptr ? "simulation" : PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, nullptr) : nullptr;
  if (text != nullptr && std::strcmp(text, "simulation") == 0) return ParamUse::Simulation;
  if (text != nullptr && std::strcmp(text, "density") == 0) return ParamUse::Density;
  PyErr_Clear();
  PyErr_SetString(PyExc_ValueError, "use must be \"simulation\" or \"density\"");
  return std::nullopt;
}

// check_params(columns, use="simulation") -> (codes, messages): for a dict of
// equal-length float64 arrays by parameter name (an absent parameter takes
// its default), codes[i] is -1 where row i passes and otherwise the rank of
// the first rule it breaks (lower ranks come first), and messages maps each
// rank that occurs to (argument, message).
PyObject* check_params(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 2> arg{};
  if (!parse_arguments(kCheckSignature, args, kwargs, arg)) return nullptr;
  if (!PyDict_Check(arg[0])) {
    PyErr_SetString(PyExc_TypeError, "columns must be a dict of float64 arrays by parameter name");
    return nullptr;
  }
  const auto use = use_argument(arg[1]);
  if (!use) return nullptr;
  if (!ensure_numpy()) return nullptr;

  std::array<std::span<const double>, kParamCount> columns{};
  std::array<bool, kParamCount> given{};
  std::array<PyRef, kParamCount> keep;
  std::optional<std::size_t> length;
  for (std::size_t p = 0; p < kParamCount; ++p) {
    PyObject* column = PyDict_GetItemString(arg[0], kParams[p].name);  // borrowed
    if (column == nullptr) continue;
    keep[p] = array_argument(column, ArrayKind::Float64, kParams[p].name);
    if (!keep[p]) return nullptr;
    const auto slice = float_slice_of(keep[p].get(), kParams[p].name);
    if (!slice) return nullptr;
    if (length && *length != slice->size()) {
      PyErr_SetString(PyExc_ValueError, "the parameter columns must have equal length");
      return nullptr;
    }
    length = slice->size();
    columns[p] = *slice;
    given[p] = true;
  }
  const std::size_t n = length.value_or(0);
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyRef codes = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_INT64));
  if (!codes) return nullptr;
  auto* code = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(codes.get())));
  std::map<std::int64_t, ParamError> seen;
  for (std::size_t i = 0; i < n; ++i) {
    ModelParams row;
    for (std::size_t p = 0; p < kParamCount; ++p) {
      row.*(kParams[p].field) = given[p] ? columns[p][i] : kParams[p].default_value;
    }
    const auto error = corvatel::check_params(row, *use);
    code[i] = error ? rank_of(*error) : -1;
    if (error) seen.emplace(code[i], *error);
  }
  PyRef messages = PyRef::steal(PyDict_New());
  if (!messages) return nullptr;
  for (const auto& [rank, error] : seen) {
    PyRef key = PyRef::steal(PyLong_FromLongLong(rank));
    PyRef value = PyRef::steal(Py_BuildValue("(ss)", error.argument(), error.message().c_str()));
    if (!key || !value || PyDict_SetItem(messages.get(), key.get(), value.get()) != 0) return nullptr;
  }
  return PyTuple_Pack(2, codes.get(), messages.get());
}

// check_outlier_window(outlier_window) -> None, or the error the densities
// and fits raise for it.
PyObject* check_outlier_window(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 1> arg{};
  if (!parse_arguments(kWindowSignature, args, kwargs, arg)) return nullptr;
  if (!outlier_window_argument(arg[0])) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef parameters_def = {
    "parameters", guarded_method<parameters>(), METH_VARARGS | METH_KEYWORDS,
    "parameters()\n"
    "--\n"
    "\n"
    "The model's parameters in table order: a tuple of dicts with name,\n"
    "fit_name, range (low, high, low_closed, high_closed), phrase (the range\n"
    "in words), default (None: required), search (the likelihood fits'\n"
    "interval, or None), fitted_by (the fits that estimate it), variability\n"
    "and mixture (the contaminant mixture's, which no walk takes)."};

PyMethodDef bound_terms_def = {
    "bound_terms", guarded_method<bound_terms>(), METH_VARARGS | METH_KEYWORDS,
    "bound_terms()\n"
    "--\n"
    "\n"
    "The terms of the model between time-varying bounds beyond parameters():\n"
    "a tuple of dicts with name, range (low, high, low_closed, high_closed),\n"
    "phrase (the range in words) and bounds (the bounds it shapes; empty for\n"
    "leak and urgency, which combine with any)."};

PyMethodDef check_outlier_window_def = {
    "check_outlier_window", guarded_method<check_outlier_window>(), METH_VARARGS | METH_KEYWORDS,
    "check_outlier_window(outlier_window)\n"
    "--\n"
    "\n"
    "None for a valid contaminant window (lo, hi); else the TypeError or\n"
    "ValueError that the densities and fits raise for it."};

PyMethodDef check_params_def = {
    "check_params", guarded_method<check_params>(), METH_VARARGS | METH_KEYWORDS,
    "check_params(columns, use='simulation')\n"
    "--\n"
    "\n"
    "Checks rows of parameters given as a dict of equal-length float64 arrays\n"
    "by name (absent ones take their defaults). Returns (codes, messages):\n"
    "codes[i] is -1 for a valid row, else the rank of the first rule it breaks\n"
    "(lower ranks are checked first); messages maps each rank found to\n"
    "(argument, message)."};

}  // namespace corvatel::py
