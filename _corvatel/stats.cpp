// summary_stats() and information_criteria(): the core's statistics of
// observed trials and of fits, for the Python package's tables, so that the
// numbers there are the ones the fits use, to the bit.
#include <array>
#include <cmath>
#include <limits>

#include "args.h"
#include "convert.h"
#include "corvatel/stats.h"
#include "errors.h"
#include "functions.h"
#include "pyref.h"

namespace corvatel::py {

namespace {

constexpr Signature<2> kStatsSignature{"summary_stats", {"choices", "rts"}, 2};
constexpr Signature<3> kCriteriaSignature{"information_criteria", {"log_likelihood", "n_params", "n_trials"}, 3};

bool set(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* summary_stats(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 2> arg{};
  if (!parse_arguments(kStatsSignature, args, kwargs, arg)) return nullptr;
  const auto trials = observed_trials(arg[0], arg[1]);
  if (!trials) return nullptr;
  const TrialCounts counts = count_trials(*trials);
  const auto stats = corvatel::summary_stats(*trials);
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  // Accuracy needs one trial, the moments two upper-boundary ones.
  const double accuracy =
      counts.n_valid == 0 ? kNaN : static_cast<double>(counts.n_upper) / static_cast<double>(counts.n_valid);
  PyRef d = PyRef::steal(PyDict_New());
  if (!d || !set(d.get(), "n_valid", PyLong_FromUnsignedLongLong(counts.n_valid)) ||
      !set(d.get(), "n_upper", PyLong_FromUnsignedLongLong(counts.n_upper)) ||
      !set(d.get(), "accuracy", PyFloat_FromDouble(accuracy)) ||
      !set(d.get(), "mean_rt", PyFloat_FromDouble(stats ? stats->mean_rt : kNaN)) ||
      !set(d.get(), "var_rt", PyFloat_FromDouble(stats ? stats->var_rt : kNaN))) {
    return nullptr;
  }
  return d.release();
}

PyObject* information_criteria(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 3> arg{};
  if (!parse_arguments(kCriteriaSignature, args, kwargs, arg)) return nullptr;
  const auto log_likelihood = to_double(arg[0], "log_likelihood");
  if (!log_likelihood) return nullptr;
  const auto n_params = to_u64(arg[1], "n_params");
  if (!n_params) return nullptr;
  const auto n_trials = to_u64(arg[2], "n_trials");
  if (!n_trials) return nullptr;
  const InformationCriteria ic = corvatel::information_criteria(*log_likelihood, *n_params, *n_trials);
  return Py_BuildValue("(dd)", ic.aic, ic.bic);
}

}  // namespace

PyMethodDef summary_stats_def = {
    "summary_stats", guarded_method<summary_stats>(), METH_VARARGS | METH_KEYWORDS,
    "summary_stats(choices, rts)\n"
    "--\n"
    "\n"
    "The statistics the fits use, from arrays as fit_ez takes them: a dict\n"
    "of n_valid, n_upper, accuracy (NaN without trials), and mean_rt and\n"
    "var_rt of the upper-boundary response times (NaN with fewer than two)."};

PyMethodDef information_criteria_def = {
    "information_criteria", guarded_method<information_criteria>(), METH_VARARGS | METH_KEYWORDS,
    "information_criteria(log_likelihood, n_params, n_trials)\n"
    "--\n"
    "\n"
    "(aic, bic) of a fit: 2k - 2 log L and k ln n - 2 log L."};

}  // namespace corvatel::py
