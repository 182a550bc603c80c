// fit_ml() and fit_ml_joint(): maximum-likelihood fits, run without the
// interpreter lock; Ctrl-C (any signal handler that raises) stops them. The
// Python package names and groups the results.
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "args.h"
#include "convert.h"
#include "corvatel/ml_fit.h"
#include "errors.h"
#include "functions.h"
#include "gil.h"

namespace corvatel::py {

namespace {

constexpr Signature<6> kFitSignature{
    "fit_ml", {"choices", "rts", "model", "p_outlier", "outlier_window", "rt_window"}, 2};
constexpr Signature<8> kJointSignature{
    "fit_ml_joint",
    {"choices", "rts", "level_sizes", "model", "depends_on", "p_outlier", "outlier_window", "rt_window"},
    5};

std::optional<LikelihoodModel> model_argument(PyObject* obj) {
  if (obj == nullptr) return LikelihoodModel::Ddm;
  const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, nullptr) : nullptr;
  if (text != nullptr && std::strcmp(text, "ddm") == 0) return LikelihoodModel::Ddm;
  if (text != nullptr && std::strcmp(text, "full") == 0) return LikelihoodModel::Full;
  PyErr_Clear();
  PyErr_SetString(PyExc_ValueError, "model must be \"ddm\" or \"full\"");
  return std::nullopt;
}

// A failed fit's exception: the handler's own when a signal handler raised
// (it is set already), else CorvatelError with the fit's message.
PyObject* raise_fit_error(const FitError& error) {
  if (error.kind() == FitError::Kind::Interrupted) return nullptr;
  return raise_corvatel_error(error.message());
}

bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// Every parameter the full model may fit, under its fit_name (the
// variabilities are 0 in "ddm" fits, p_outlier its fixed value unless
// free), then noise_sd.
PyRef params_dict(const ModelParams& p) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return {};
  for (const Param param : fitted_params(LikelihoodModel::Full, true)) {
    const ParamRow& s = param_row(param);
    if (!set_item(d.get(), s.fit_name, PyRef::steal(PyFloat_FromDouble(p.*s.field)))) return {};
  }
  const ParamRow& noise = param_row(Param::NoiseSd);
  if (!set_item(d.get(), noise.fit_name, PyRef::steal(PyFloat_FromDouble(p.*noise.field)))) return {};
  return d;
}

// (list of parameter dicts, converged, iterations, log_likelihood)
// {"params": [parameter dict per level], "converged", "iterations",
// "log_likelihood", "n_params", "aic", "bic"}
PyObject* fit_result(const MlFit& fit) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const ModelParams& p : fit.params) {
    PyRef d = params_dict(p);
    if (!d || PyList_Append(list.get(), d.get()) != 0) return nullptr;
  }
  PyRef result = PyRef::steal(PyDict_New());
  if (!result || !set_item(result.get(), "params", std::move(list)) ||
      !set_item(result.get(), "converged", PyRef::steal(PyBool_FromLong(fit.converged ? 1 : 0))) ||
      !set_item(result.get(), "iterations", PyRef::steal(PyLong_FromUnsignedLongLong(fit.iterations))) ||
      !set_item(result.get(), "log_likelihood", PyRef::steal(PyFloat_FromDouble(fit.log_likelihood))) ||
      !set_item(result.get(), "n_params", PyRef::steal(PyLong_FromUnsignedLongLong(fit.n_params))) ||
      !set_item(result.get(), "aic", PyRef::steal(PyFloat_FromDouble(fit.criteria.aic))) ||
      !set_item(result.get(), "bic", PyRef::steal(PyFloat_FromDouble(fit.criteria.bic)))) {
    return nullptr;
  }
  return result.release();
}

PyObject* fit_ml(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 6> arg{};
  if (!parse_arguments(kFitSignature, args, kwargs, arg)) return nullptr;
  const PyRef choices = array_argument(arg[0], ArrayKind::Bool, "choices");
  if (!choices) return nullptr;
  const PyRef rts = array_argument(arg[1], ArrayKind::Float64, "rts");
  if (!rts) return nullptr;
  const auto model = model_argument(arg[2]);
  if (!model) return nullptr;
  const auto contaminants = contaminants_argument(arg[3], arg[4]);
  if (!contaminants) return nullptr;
  const auto truncation = truncation_argument(arg[5]);
  if (!truncation) return nullptr;
  // Read in place: no Python code runs between this check of the arrays
  // and the end of the fit.
  const auto trials = observed_trials(choices.get(), rts.get());
  if (!trials) return nullptr;
  const auto fit =
      without_gil([&] { return corvatel::fit_ml(*trials, *model, *contaminants, *truncation, signal_stop_check()); });
  if (!fit) return raise_fit_error(fit.error());
  return fit_result(fit.value());
}

PyObject* fit_ml_joint(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 8> arg{};
  if (!parse_arguments(kJointSignature, args, kwargs, arg)) return nullptr;
  const PyRef choices = array_argument(arg[0], ArrayKind::Bool, "choices");
  if (!choices) return nullptr;
  const PyRef rts = array_argument(arg[1], ArrayKind::Float64, "rts");
  if (!rts) return nullptr;
  const auto sizes = level_sizes_argument(arg[2]);
  if (!sizes) return nullptr;
  const auto model = model_argument(arg[3]);
  if (!model) return nullptr;
  const auto contaminants = contaminants_argument(arg[5], arg[6]);
  if (!contaminants) return nullptr;
  const auto truncation = truncation_argument(arg[7]);
  if (!truncation) return nullptr;

  PerLevel per_level{};
  {
    const Py_ssize_t count = PySequence_Size(arg[4]);
    if (count < 0) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyRef item = PyRef::steal(PySequence_GetItem(arg[4], i));
      if (!item) return nullptr;
      PyObject* name = item.get();
      const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, nullptr) : nullptr;
      if (text == nullptr && PyErr_Occurred()) return nullptr;
      bool found = false;
      for (const Param param : fitted_params(*model, contaminants->free())) {
        if (text != nullptr && std::strcmp(text, param_row(param).fit_name) == 0) {
          per_level[static_cast<std::size_t>(param)] = true;
          found = true;
        }
      }
      if (!found) {
        PyErr_Format(PyExc_ValueError, "depends_on names %R, which is not a fitted parameter of this model", name);
        return nullptr;
      }
    }
  }

  // Read in place, as in fit_ml; each level is a piece of both arrays.
  const auto trials = observed_trials(choices.get(), rts.get());
  if (!trials) return nullptr;
  const auto levels = split_levels(*trials, *sizes);
  if (!levels) return nullptr;
  const auto fit =
      without_gil([&] {
        return corvatel::fit_ml_joint(*levels, *model, per_level, *contaminants, *truncation, signal_stop_check());
      });
  if (!fit) return raise_fit_error(fit.error());
  return fit_result(fit.value());
}

}  // namespace

PyMethodDef fit_ml_def = {
    "fit_ml", guarded_method<fit_ml>(), METH_VARARGS | METH_KEYWORDS,
    "fit_ml(choices, rts, model='ddm', p_outlier=0.0, outlier_window=(0.0, 5.0), rt_window=None)\n"
    "--\n"
    "\n"
    "Maximum-likelihood fit of one data set; p_outlier (a number, or\n"
    "\"free\" to estimate it) mixes in contaminants on outlier_window;\n"
    "rt_window (lo, hi) truncates the likelihood to the window the trials\n"
    "were selected in. Returns a dict: params (a\n"
    "one-element list of parameter dicts), converged, iterations,\n"
    "log_likelihood, n_params, aic and bic; corvatel.fit_ml gives the named\n"
    "result. Runs without the\n"
    "interpreter lock; Ctrl-C stops it with KeyboardInterrupt."};

PyMethodDef fit_ml_joint_def = {
    "fit_ml_joint", guarded_method<fit_ml_joint>(), METH_VARARGS | METH_KEYWORDS,
    "fit_ml_joint(choices, rts, level_sizes, model, depends_on, p_outlier=0.0, outlier_window=(0.0, 5.0),\n"
    "             rt_window=None)\n"
    "--\n"
    "\n"
    "Joint maximum-likelihood fit of levels stored one after another\n"
    "(level_sizes trials each); the parameters named in depends_on are free\n"
    "per level. Returns the dict of fit_ml, params holding one dict per\n"
    "level; corvatel.fit_ml_joint gives the named result. Runs\n"
    "without the interpreter lock; Ctrl-C stops it with KeyboardInterrupt."};

}  // namespace corvatel::py
