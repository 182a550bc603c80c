#include "convert.h"

#include <cstring>

#include "args.h"
#include "errors.h"
#include "numpy_api.h"

namespace corvatel::py {

namespace {

// "'list' object is not an instance of 'ndarray'"; for None,
// "'None' is not an instance of 'ndarray'".
void raise_type_mismatch(PyObject* obj, PyTypeObject* expected) {
  PyRef want = PyRef::steal(PyType_GetQualName(expected));
  if (!want) return;
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", want.get());
    return;
  }
  PyRef got = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!got) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", got.get(), want.get());
}

bool has_dtype(PyArrayObject* array, int type_num) {
  PyArray_Descr* want = PyArray_DescrFromType(type_num);
  PyArray_Descr* have = PyArray_DESCR(array);
  const bool same = have == want || PyArray_EquivTypes(have, want);
  Py_DECREF(want);
  return same;
}

template <typename T>
std::optional<std::span<const T>> slice_of(PyObject* obj, const char* name) {
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const auto length = static_cast<std::size_t>(PyArray_DIM(array, 0));
  if (length == 0) return std::span<const T>();
  const int flags = PyArray_FLAGS(array);
  const bool contiguous = (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
  if ((flags & NPY_ARRAY_ALIGNED) != 0 && contiguous && PyArray_DATA(array) != nullptr) {
    return std::span<const T>(static_cast<const T*>(PyArray_DATA(array)), length);
  }
  PyErr_Format(PyExc_ValueError,
               "`%s` must be a contiguous 1-D array: The given array is not contiguous or is misaligned.", name);
  return std::nullopt;
}

bool set_float_item(PyObject* dict, const char* key, double value) {
  PyRef number = PyRef::steal(PyFloat_FromDouble(value));
  return number && PyDict_SetItemString(dict, key, number.get()) == 0;
}

// True when converting `value` to a float cannot run Python code, and so
// cannot change the dict being read.
bool converts_without_python_code(PyObject* value) {
  return PyFloat_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value);
}

}  // namespace

PyRef array_argument(PyObject* obj, ArrayKind kind, const char* name) {
  if (!ensure_numpy()) {
    note_argument(name);
    return {};
  }
  if (PyArray_Check(obj)) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) == 1 && has_dtype(array, kind == ArrayKind::Bool ? NPY_BOOL : NPY_DOUBLE)) {
      return PyRef::borrow(obj);
    }
  }
  raise_type_mismatch(obj, &PyArray_Type);
  note_argument(name);
  return {};
}

std::optional<std::span<const std::uint8_t>> bool_slice_of(PyObject* array, const char* name) {
  static_assert(sizeof(npy_bool) == 1);
  return slice_of<std::uint8_t>(array, name);
}

std::optional<std::span<const double>> float_slice_of(PyObject* array, const char* name) {
  return slice_of<double>(array, name);
}

std::optional<ObservedTrials> observed_trials(PyObject* choices, PyObject* rts) {
  if (!array_argument(choices, ArrayKind::Bool, "choices") || !array_argument(rts, ArrayKind::Float64, "rts")) {
    return std::nullopt;
  }
  const auto choice_view = bool_slice_of(choices, "choices");
  if (!choice_view) return std::nullopt;
  const auto rt_view = float_slice_of(rts, "rts");
  if (!rt_view) return std::nullopt;
  if (choice_view->size() != rt_view->size()) {
    PyErr_Format(PyExc_ValueError, "choices and rts must have equal length (%zu vs %zu)", choice_view->size(),
                 rt_view->size());
    return std::nullopt;
  }
  return ObservedTrials{*choice_view, *rt_view};
}

std::optional<std::vector<std::uint64_t>> level_sizes_argument(PyObject* obj) {
  std::vector<std::uint64_t> sizes;
  const Py_ssize_t count = PySequence_Size(obj);
  if (count < 0) return std::nullopt;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) return std::nullopt;
    const auto size = to_u64(item.get(), "level_sizes");
    if (!size) return std::nullopt;
    sizes.push_back(*size);
  }
  return sizes;
}

std::optional<std::vector<ObservedTrials>> split_levels(const ObservedTrials& trials,
                                                        std::span<const std::uint64_t> sizes) {
  const std::size_t n = trials.rts.size();
  std::vector<ObservedTrials> levels;
  std::size_t offset = 0;
  for (const std::uint64_t size : sizes) {
    if (size > n - offset) {
      PyErr_SetString(PyExc_ValueError, "level_sizes add up to more than the number of trials");
      return std::nullopt;
    }
    const std::size_t count = static_cast<std::size_t>(size);
    levels.push_back({trials.choices.subspan(offset, count), trials.rts.subspan(offset, count)});
    offset += count;
  }
  if (offset != n) {
    PyErr_SetString(PyExc_ValueError, "level_sizes must add up to the number of trials");
    return std::nullopt;
  }
  return levels;
}

namespace detail {

bool model_params_from(const char* const* names, PyObject* const* args, std::size_t count, ModelParams& out) {
  for (const ParamRow& row : kParams) {
    for (std::size_t i = 0; i < count; ++i) {
      if (std::strcmp(names[i], row.name) != 0) continue;
      if (args[i] == nullptr) {
        out.*(row.field) = row.default_value;
      } else {
        const auto value = to_double(args[i], row.name);
        if (!value) return false;
        out.*(row.field) = *value;
      }
    }
  }
  return true;
}

}  // namespace detail

std::optional<std::pair<double, double>> window_argument(PyObject* obj, const char* name) {
  PyRef items = PySequence_Check(obj) && !PyUnicode_Check(obj) && !PyBytes_Check(obj)
                    ? PyRef::steal(PySequence_Tuple(obj))
                    : PyRef();
  if (!items && PyErr_Occurred()) return std::nullopt;
  if (!items || PyTuple_Size(items.get()) != 2) {
    PyErr_Format(PyExc_TypeError, "%s must be a pair of numbers (lo, hi)", name);
    return std::nullopt;
  }
  const auto lo = to_double(PyTuple_GetItem(items.get(), 0), name);
  if (!lo) return std::nullopt;
  const auto hi = to_double(PyTuple_GetItem(items.get(), 1), name);
  if (!hi) return std::nullopt;
  return std::pair{*lo, *hi};
}

std::optional<OutlierWindow> outlier_window_argument(PyObject* obj) {
  if (obj == nullptr) return OutlierWindow{};
  const auto ends = window_argument(obj, "outlier_window");
  if (!ends) return std::nullopt;
  const OutlierWindow window{ends->first, ends->second};
  if (const auto bad = check_outlier_window(window)) {
    PyErr_SetString(PyExc_ValueError, bad->message().c_str());
    return std::nullopt;
  }
  return window;
}

PyRef params_to_dict(const Params& params) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  if (!set_float_item(dict.get(), "drift_rate", params.drift) ||
      !set_float_item(dict.get(), "boundary_separation", params.boundary) ||
      !set_float_item(dict.get(), "starting_point", params.start) ||
      !set_float_item(dict.get(), "non_decision_time", params.t0) ||
      !set_float_item(dict.get(), "noise_sd", params.noise_sd)) {
    return {};
  }
  return dict;
}

bool dict_argument(PyObject* obj, const char* name, std::optional<ParamMap>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    raise_type_mismatch(obj, &PyDict_Type);
    note_argument(name);
    return false;
  }
  // The keys as they were when reading began; a value whose conversion runs
  // Python code may change the dict, and then reading stops with the error
  // that iterating a changed dict gives.
  const Py_ssize_t size = PyDict_Size(obj);
  std::vector<PyRef> keys;
  {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(obj, &pos, &key, &value)) keys.push_back(PyRef::borrow(key));
  }
  auto unchanged = [&]() {
    if (PyDict_Size(obj) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return false;
    }
    Py_ssize_t pos = 0;
    std::size_t i = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      if (i >= keys.size() || keys[i++].get() != key) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return false;
      }
    }
    return true;
  };

  ParamMap map;
  Py_ssize_t pos = 0;
  PyObject *borrowed_key = nullptr, *borrowed_value = nullptr;
  while (PyDict_Next(obj, &pos, &borrowed_key, &borrowed_value)) {
    // Own both while converting: the conversion may drop the dict's references.
    PyRef key = PyRef::borrow(borrowed_key);
    PyRef value = PyRef::borrow(borrowed_value);
    if (!PyUnicode_Check(key.get())) {
      raise_type_mismatch(key.get(), &PyUnicode_Type);
      note_argument(name);
      return false;
    }
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key.get(), &length);
    if (utf8 == nullptr) {
      note_argument(name);
      return false;
    }
    std::string text(utf8, static_cast<std::size_t>(length));
    const bool may_run_code = !converts_without_python_code(value.get());
    const auto number = to_double(value.get(), name);
    if (!number) return false;
    if (may_run_code && !unchanged()) {
      note_argument(name);
      return false;
    }
    map.insert_or_assign(std::move(text), *number);
  }
  out = std::move(map);
  return true;
}

std::optional<Params> params_from_map(const ParamMap& map) {
  auto required = [&](const char* key) -> std::optional<double> {
    const auto it = map.find(key);
    if (it != map.end()) return it->second;
    PyErr_Format(PyExc_ValueError, "initial_guess is missing '%s'", key);
    return std::nullopt;
  };
  auto optional = [&](const char* key, double fallback) {
    const auto it = map.find(key);
    return it != map.end() ? it->second : fallback;
  };
  const auto drift = required("drift_rate");
  if (!drift) return std::nullopt;
  const auto boundary = required("boundary_separation");
  if (!boundary) return std::nullopt;
  const double start = optional("starting_point", kRecoveryStart);
  const auto t0 = required("non_decision_time");
  if (!t0) return std::nullopt;
  const double noise_sd = optional("noise_sd", kRecoveryNoiseSd);
  return Params{*drift, *boundary, start, *t0, noise_sd};
}

// p_outlier (a number, or "free"; omitted: 0) and outlier_window.
std::optional<Contaminants> contaminants_argument(PyObject* p_outlier, PyObject* window_obj) {
  const auto window = outlier_window_argument(window_obj);
  if (!window) return std::nullopt;
  if (p_outlier != nullptr && PyUnicode_Check(p_outlier)) {
    const char* text = PyUnicode_AsUTF8AndSize(p_outlier, nullptr);
    if (text == nullptr) return std::nullopt;
    if (std::strcmp(text, "free") != 0) {
      PyErr_Format(PyExc_ValueError, "p_outlier must be a number or \"free\", not %R", p_outlier);
      return std::nullopt;
    }
    return Contaminants::estimated(*window).value();  // the window is checked
  }
  double p = 0.0;
  if (p_outlier != nullptr) {
    const auto value = to_double(p_outlier, "p_outlier");
    if (!value) return std::nullopt;
    p = *value;
  }
  auto contaminants = Contaminants::fixed(p, *window);
  if (!contaminants) {
    raise_param_error(contaminants.error());
    return std::nullopt;
  }
  return contaminants.value();
}

// rt_window: (lo, hi), the window the trials were selected in; omitted or
// None, none.
std::optional<Truncation> truncation_argument(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return Truncation{};
  const auto ends = window_argument(obj, "rt_window");
  if (!ends) return std::nullopt;
  auto truncation = Truncation::window(ends->first, ends->second);
  if (!truncation) {
    raise_param_error(truncation.error());
    return std::nullopt;
  }
  return truncation.value();
}

}  // namespace corvatel::py
