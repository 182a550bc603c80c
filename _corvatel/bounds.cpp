// bounds_logpdf(), fit_bounds_ml(), fit_bounds_ml_joint() and
// simulate_bounds(): the log density, the maximum-likelihood fits (of one
// data set, and joint of its levels) and the simulation of the diffusion
// model between time-varying bounds with leak and urgency
// (corvatel/bounds_fit.h, corvatel/simulate_bounds.h); the solve, the fits
// and the batch run without the interpreter lock. The package
// (likelihood.py) broadcasts rt and choice to two equal-length arrays and
// names the fit's results.
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "corvatel/bounds_fit.h"
#include "corvatel/memory.h"
#include "corvatel/simulate_bounds.h"
#include "corvatel/simulate_full.h"
#include "errors.h"
#include "functions.h"
#include "gil.h"
#include "kept_trials.h"
#include "numpy_api.h"

namespace corvatel::py {

namespace {

constexpr Signature<17> kLogpdfSignature{
    "bounds_logpdf",
    {"rt", "choice", "drift", "boundary", "start", "t0", "bound", "theta", "shape", "scale", "rate", "leak",
     "urgency", "noise_sd", "sz", "st", "resolution"},
    6};
constexpr Signature<9> kFitSignature{
    "fit_bounds_ml",
    {"choices", "rts", "bound", "leak", "urgency", "start", "p_outlier", "outlier_window", "rt_window"},
    2};
constexpr Signature<18> kSimulateSignature{
    "simulate_bounds",
    {"drift", "boundary", "start", "t0", "n", "seed", "bound", "theta", "shape", "scale", "rate", "leak", "urgency",
     "noise_sd", "sv", "sz", "st", "dt"},
    6};
constexpr Signature<11> kJointSignature{"fit_bounds_ml_joint",
                                        {"choices", "rts", "level_sizes", "bound", "leak", "urgency", "start",
                                         "depends_on", "p_outlier", "outlier_window", "rt_window"},
                                        3};

struct BoundName {
  const char* name;
  BoundSpec::Kind kind;
};
constexpr std::array<BoundName, 5> kBoundNames = {{
    {"constant", BoundSpec::Kind::Constant},
    {"angle", BoundSpec::Kind::Angle},
    {"weibull", BoundSpec::Kind::Weibull},
    {"exponential", BoundSpec::Kind::Exponential},
    {"hyperbolic", BoundSpec::Kind::Hyperbolic},
}};

std::optional<BoundSpec::Kind> bound_argument(PyObject* obj) {
  if (obj == nullptr) return BoundSpec::Kind::Constant;
  const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, nullptr) : nullptr;
  for (const BoundName& b : kBoundNames) {
    if (text != nullptr && std::strcmp(text, b.name) == 0) return b.kind;
  }
  PyErr_Clear();
  PyErr_Format(PyExc_ValueError,
               "bound must be \"constant\", \"angle\", \"weibull\", \"exponential\" or \"hyperbolic\", not %R", obj);
  return std::nullopt;
}

// A number argument, or its default when omitted.
bool number(PyObject* obj, const char* name, double fallback, double& out) {
  if (obj == nullptr) {
    out = fallback;
    return true;
  }
  const auto value = to_double(obj, name);
  if (value) out = *value;
  return value.has_value();
}

bool flag(PyObject* obj, const char* name, bool& out) {
  if (obj == nullptr) return true;
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) {
    note_argument(name);
    return false;
  }
  out = truth != 0;
  return true;
}

// bound, leak, urgency, start (a number fixes it, None estimates it), the
// contaminants (p_outlier, outlier_window) and the selection window.
std::optional<BoundsFitOptions> options_argument(PyObject* bound, PyObject* leak, PyObject* urgency, PyObject* start,
                                                 PyObject* p_outlier, PyObject* outlier_window,
                                                 PyObject* rt_window) {
  BoundsFitOptions options;
  const auto kind = bound_argument(bound);
  if (!kind) return std::nullopt;
  options.bound = *kind;
  if (!flag(leak, "leak", options.leak) || !flag(urgency, "urgency", options.urgency)) return std::nullopt;
  if (start == Py_None) {
    options.start = std::nullopt;
  } else if (start != nullptr) {
    const auto value = to_double(start, "start");
    if (!value) return std::nullopt;
    ModelParams p;
    p.start = *value;
    if (auto bad = check_params(p, ParamUse::Density)) {
      raise_param_error(*bad);
      return std::nullopt;
    }
    options.start = *value;
  }
  const auto contaminants = contaminants_argument(p_outlier, outlier_window);
  if (!contaminants) return std::nullopt;
  options.contaminants = *contaminants;
  const auto truncation = truncation_argument(rt_window);
  if (!truncation) return std::nullopt;
  options.truncation = *truncation;
  return options;
}

// The parameters a joint fit may free per level, under the names of the
// fits' results, with whether the options estimate each.
struct Dependent {
  const char* name;
  bool BoundsPerLevel::*flag;
  bool estimated;
};

std::vector<Dependent> dependents(const BoundsFitOptions& o) {
  const bool angle = o.bound == BoundSpec::Kind::Angle;
  const bool weibull = o.bound == BoundSpec::Kind::Weibull;
  const bool rate = o.bound == BoundSpec::Kind::Exponential || o.bound == BoundSpec::Kind::Hyperbolic;
  return {{param_row(Param::Drift).fit_name, &BoundsPerLevel::drift, true},
          {param_row(Param::Boundary).fit_name, &BoundsPerLevel::boundary, true},
          {param_row(Param::Start).fit_name, &BoundsPerLevel::start, !o.start},
          {param_row(Param::T0).fit_name, &BoundsPerLevel::t0, true},
          {"theta", &BoundsPerLevel::theta, angle},
          {"shape", &BoundsPerLevel::shape, weibull},
          {"scale", &BoundsPerLevel::scale, weibull},
          {"rate", &BoundsPerLevel::rate, rate},
          {"leak", &BoundsPerLevel::leak, o.leak},
          {"urgency", &BoundsPerLevel::urgency, o.urgency},
          {param_row(Param::POutlier).fit_name, &BoundsPerLevel::p_outlier, o.contaminants.free()}};
}

// depends_on: a sequence of names of estimated parameters.
std::optional<BoundsPerLevel> per_level_argument(PyObject* obj, const BoundsFitOptions& options) {
  BoundsPerLevel per_level;
  if (obj == nullptr) return per_level;
  const Py_ssize_t count = PySequence_Size(obj);
  if (count < 0) return std::nullopt;
  const std::vector<Dependent> names = dependents(options);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) return std::nullopt;
    const char* text = PyUnicode_Check(item.get()) ? PyUnicode_AsUTF8AndSize(item.get(), nullptr) : nullptr;
    if (text == nullptr && PyErr_Occurred()) return std::nullopt;
    bool found = false;
    for (const Dependent& d : names) {
      if (d.estimated && text != nullptr && std::strcmp(text, d.name) == 0) {
        per_level.*d.flag = true;
        found = true;
      }
    }
    if (!found) {
      PyErr_Format(PyExc_ValueError, "depends_on names %R, which is not a fitted parameter of this model",
                   item.get());
      return std::nullopt;
    }
  }
  return per_level;
}

// The solver's error as a ValueError; the resolution's names the argument
// the caller gave (the relative step) and the grid's length.
PyObject* raise_fpt_error(const FptError& error) {
  if (error.kind() == FptError::Kind::Resolution) {
    PyErr_SetString(PyExc_ValueError,
                    "resolution must be positive and at most 1/16 (0.0625), and the grid up to the longest "
                    "response time may "
                    "take at most 100000 steps (a step is resolution x (boundary / noise_sd)^2, shorter for a "
                    "start near a bound or a strong drift)");
    return nullptr;
  }
  PyErr_SetString(PyExc_ValueError, error.message().c_str());
  return nullptr;
}

PyObject* bounds_logpdf(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 17> arg{};
  if (!parse_arguments(kLogpdfSignature, args, kwargs, arg)) return nullptr;
  const PyRef rts = array_argument(arg[0], ArrayKind::Float64, "rt");
  if (!rts) return nullptr;
  const PyRef choices = array_argument(arg[1], ArrayKind::Bool, "choice");
  if (!choices) return nullptr;
  TimeVaryingModel m;
  double t0 = 0.0, st = 0.0, relative_step = 0.0;
  const auto kind = bound_argument(arg[6]);
  if (!kind) return nullptr;
  m.bound.kind = *kind;
  const BoundSpec defaults;
  if (!number(arg[2], "drift", 0.0, m.drift) || !number(arg[3], "boundary", 0.0, m.boundary) ||
      !number(arg[4], "start", 0.0, m.start) || !number(arg[5], "t0", 0.0, t0) ||
      !number(arg[7], "theta", defaults.theta, m.bound.theta) ||
      !number(arg[8], "shape", defaults.shape, m.bound.shape) ||
      !number(arg[9], "scale", defaults.scale, m.bound.scale) ||
      !number(arg[10], "rate", defaults.rate, m.bound.rate) ||
      !number(arg[11], "leak", 0.0, m.leak) || !number(arg[12], "urgency", 0.0, m.urgency) ||
      !number(arg[13], "noise_sd", 1.0, m.noise_sd) || !number(arg[14], "sz", 0.0, m.sz) ||
      !number(arg[15], "st", 0.0, st) ||
      !number(arg[16] == Py_None ? nullptr : arg[16], "resolution", SolverResolution{}.relative_step, relative_step)) {
    return nullptr;
  }
  // Read in place: no Python code runs from here to the end of the solve.
  const auto trials = observed_trials(choices.get(), rts.get());
  if (!trials) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(trials->rts.size())};
  PyRef out = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  if (!out) return nullptr;
  double* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  const auto error = without_gil([&] {
    return bounds_log_densities(m, t0, st, relative_step, trials->rts, trials->choices,
                                {values, trials->rts.size()}, signal_stop_check());
  });
  // Interrupted: a signal handler raised, and its exception is set.
  if (error && error->kind() == FptError::Kind::Interrupted) return nullptr;
  if (error) return raise_fpt_error(*error);
  return out.release();
}

bool set_number(PyObject* dict, const char* key, double value) {
  PyRef v = PyRef::steal(PyFloat_FromDouble(value));
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

// Every parameter of the model, fitted or fixed, under the names
// bounds_logpdf takes, and the contaminants' share.
PyRef params_dict(const TimeVaryingModel& m, double t0, double p_outlier) {
  PyRef params = PyRef::steal(PyDict_New());
  if (!params) return {};
  if (!set_number(params.get(), "drift", m.drift) || !set_number(params.get(), "boundary", m.boundary) ||
      !set_number(params.get(), "start", m.start) || !set_number(params.get(), "t0", t0) ||
      !set_number(params.get(), "theta", m.bound.theta) || !set_number(params.get(), "shape", m.bound.shape) ||
      !set_number(params.get(), "scale", m.bound.scale) || !set_number(params.get(), "rate", m.bound.rate) ||
      !set_number(params.get(), "leak", m.leak) || !set_number(params.get(), "urgency", m.urgency) ||
      !set_number(params.get(), "noise_sd", m.noise_sd) || !set_number(params.get(), "p_outlier", p_outlier)) {
    return {};
  }
  return params;
}

// {"params": params, "converged", "iterations", "log_likelihood",
// "n_params", "aic", "bic"}.
PyObject* fit_result(PyRef params, bool converged_fit, std::uint64_t iterations_fit, double log_likelihood,
                     std::uint64_t n_params_fit, const InformationCriteria& criteria) {
  if (!params) return nullptr;
  PyRef result = PyRef::steal(PyDict_New());
  if (!result || PyDict_SetItemString(result.get(), "params", params.get()) != 0) return nullptr;
  PyRef converged = PyRef::steal(PyBool_FromLong(converged_fit ? 1 : 0));
  PyRef iterations = PyRef::steal(PyLong_FromUnsignedLongLong(iterations_fit));
  PyRef n_params = PyRef::steal(PyLong_FromUnsignedLongLong(n_params_fit));
  if (!converged || !iterations || !n_params || PyDict_SetItemString(result.get(), "converged", converged.get()) != 0 ||
      PyDict_SetItemString(result.get(), "iterations", iterations.get()) != 0 ||
      PyDict_SetItemString(result.get(), "n_params", n_params.get()) != 0 ||
      !set_number(result.get(), "log_likelihood", log_likelihood) ||
      !set_number(result.get(), "aic", criteria.aic) || !set_number(result.get(), "bic", criteria.bic)) {
    return nullptr;
  }
  return result.release();
}

// params: the model's parameters dict.
PyObject* fit_result(const BoundsFit& fit) {
  return fit_result(params_dict(fit.model, fit.t0, fit.p_outlier), fit.converged, fit.iterations,
                    fit.log_likelihood, fit.n_params, fit.criteria);
}

// params: a list of the levels' parameter dicts, in level order.
PyObject* fit_result(const BoundsJointFit& fit) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const BoundsLevelEstimate& level : fit.levels) {
    PyRef d = params_dict(level.model, level.t0, level.p_outlier);
    if (!d || PyList_Append(list.get(), d.get()) != 0) return nullptr;
  }
  return fit_result(std::move(list), fit.converged, fit.iterations, fit.log_likelihood, fit.n_params,
                    fit.criteria);
}

PyObject* fit_bounds_ml(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 9> arg{};
  if (!parse_arguments(kFitSignature, args, kwargs, arg)) return nullptr;
  const PyRef choices = array_argument(arg[0], ArrayKind::Bool, "choices");
  if (!choices) return nullptr;
  const PyRef rts = array_argument(arg[1], ArrayKind::Float64, "rts");
  if (!rts) return nullptr;
  const auto options = options_argument(arg[2], arg[3], arg[4], arg[5], arg[6], arg[7], arg[8]);
  if (!options) return nullptr;
  const auto trials = observed_trials(choices.get(), rts.get());
  if (!trials) return nullptr;
  const auto fit = without_gil([&] { return corvatel::fit_bounds_ml(*trials, *options, signal_stop_check()); });
  if (!fit) {
    if (fit.error().kind() == FitError::Kind::Interrupted) return nullptr;
    return raise_corvatel_error(fit.error().message());
  }
  return fit_result(fit.value());
}

PyObject* fit_bounds_ml_joint(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 11> arg{};
  if (!parse_arguments(kJointSignature, args, kwargs, arg)) return nullptr;
  const PyRef choices = array_argument(arg[0], ArrayKind::Bool, "choices");
  if (!choices) return nullptr;
  const PyRef rts = array_argument(arg[1], ArrayKind::Float64, "rts");
  if (!rts) return nullptr;
  const auto sizes = level_sizes_argument(arg[2]);
  if (!sizes) return nullptr;
  const auto options = options_argument(arg[3], arg[4], arg[5], arg[6], arg[8], arg[9], arg[10]);
  if (!options) return nullptr;
  const auto per_level = per_level_argument(arg[7], *options);
  if (!per_level) return nullptr;
  // Read in place, as in fit_bounds_ml; each level is a piece of both arrays.
  const auto trials = observed_trials(choices.get(), rts.get());
  if (!trials) return nullptr;
  const auto levels = split_levels(*trials, *sizes);
  if (!levels) return nullptr;
  const auto fit = without_gil(
      [&] { return corvatel::fit_bounds_ml_joint(*levels, *options, *per_level, signal_stop_check()); });
  if (!fit) {
    if (fit.error().kind() == FitError::Kind::Interrupted) return nullptr;
    return raise_corvatel_error(fit.error().message());
  }
  return fit_result(fit.value());
}

constexpr std::uint64_t kBytesPerTrial = sizeof(npy_bool) + sizeof(double);

PyObject* simulate_bounds(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 18> arg{};
  if (!parse_arguments(kSimulateSignature, args, kwargs, arg)) return nullptr;
  // The arguments simulate_full shares, converted and checked as it does them.
  ModelParams params{};
  if (!model_params_from(kSimulateSignature.names, arg, params)) return nullptr;
  const auto n = to_u64(arg[4], "n");
  if (!n) return nullptr;
  const auto seed = to_u64(arg[5], "seed");
  if (!seed) return nullptr;
  BoundsWalk walk;
  const auto kind = bound_argument(arg[6]);
  if (!kind) return nullptr;
  walk.bound.kind = *kind;
  const BoundSpec defaults;
  if (!number(arg[7], "theta", defaults.theta, walk.bound.theta) ||
      !number(arg[8], "shape", defaults.shape, walk.bound.shape) ||
      !number(arg[9], "scale", defaults.scale, walk.bound.scale) ||
      !number(arg[10], "rate", defaults.rate, walk.bound.rate) || !number(arg[11], "leak", 0.0, walk.leak) ||
      !number(arg[12], "urgency", 0.0, walk.urgency) || !number(arg[17], "dt", kTimeStep, walk.dt)) {
    return nullptr;
  }
  const auto error = check_bounds_walk(params, walk);
  if (error && error->kind() == BoundsWalkError::Kind::Model) return raise_param_error(*error->param_error());
  if (*n >= kVariabilityStreamBit) {
    PyErr_SetString(PyExc_ValueError, "n must be below 2**63");
    return nullptr;
  }
  if (error) {
    PyErr_SetString(PyExc_ValueError, error->message().c_str());
    return nullptr;
  }
  if (!ensure_numpy()) return nullptr;
  // As simulate_full: the two result arrays are all a batch needs besides
  // the per-step tables (at most 40 MB).
  if (!memory_allows(*n, kBytesPerTrial)) {
    PyErr_Format(PyExc_MemoryError, "simulate_bounds: %llu trials need more memory than this machine can give",
                 static_cast<unsigned long long>(*n));
    return nullptr;
  }
  return kept_trials_result(*n, [&](std::uint8_t* choices, double* rts) {
    return simulate_bounds_kept(params, walk, *n, *seed, choices, rts, signal_stop_check());
  });
}

}  // namespace

PyMethodDef simulate_bounds_def = {
    "simulate_bounds", guarded_method<simulate_bounds>(), METH_VARARGS | METH_KEYWORDS,
    "simulate_bounds(drift, boundary, start, t0, n, seed, bound='constant', theta=0.0, shape=1.0, scale=1.0,\n"
    "                rate=0.0, leak=0.0, urgency=0.0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0, dt=0.001)\n"
    "--\n"
    "\n"
    "Simulate `n` trials of the diffusion model between time-varying bounds\n"
    "with leak and urgency (the model of bounds_logpdf) by the Euler scheme\n"
    "with step `dt`, and return `(choices, rts, n_excluded)` like\n"
    "`simulate_full`, whose per-trial draws it shares; the standard model\n"
    "(constant bound, no leak or urgency, dt 0.001) gives simulate_full's\n"
    "trials. Ctrl-C stops it with KeyboardInterrupt."};

PyMethodDef bounds_logpdf_def = {
    "bounds_logpdf", guarded_method<bounds_logpdf>(), METH_VARARGS | METH_KEYWORDS,
    "bounds_logpdf(rt, choice, drift, boundary, start, t0, bound='constant', theta=0.0, shape=1.0, scale=1.0,\n"
    "              rate=0.0, leak=0.0, urgency=0.0, noise_sd=1.0, sz=0.0, st=0.0, resolution=None)\n"
    "--\n"
    "\n"
    "Log first-passage density between time-varying bounds of the trials\n"
    "(rt, choice): two equal-length 1-D arrays (float64, bool). One solve,\n"
    "without the interpreter lock; Ctrl-C stops it with KeyboardInterrupt.\n"
    "corvatel.bounds_logpdf broadcasts."};

PyMethodDef fit_bounds_ml_def = {
    "fit_bounds_ml", guarded_method<fit_bounds_ml>(), METH_VARARGS | METH_KEYWORDS,
    "fit_bounds_ml(choices, rts, bound='constant', leak=False, urgency=False, start=0.5, p_outlier=0.0,\n"
    "              outlier_window=(0.0, 5.0), rt_window=None)\n"
    "--\n"
    "\n"
    "Maximum-likelihood fit of the model between time-varying bounds; start\n"
    "None estimates it; p_outlier, outlier_window and rt_window as in fit_ml.\n"
    "Returns a dict: params, converged, iterations,\n"
    "log_likelihood, n_params, aic and bic; corvatel.fit_ml(model=...) gives\n"
    "the named result. Ctrl-C stops it with KeyboardInterrupt."};

PyMethodDef fit_bounds_ml_joint_def = {
    "fit_bounds_ml_joint", guarded_method<fit_bounds_ml_joint>(), METH_VARARGS | METH_KEYWORDS,
    "fit_bounds_ml_joint(choices, rts, level_sizes, bound='constant', leak=False, urgency=False, start=0.5,\n"
    "                    depends_on=(), p_outlier=0.0, outlier_window=(0.0, 5.0), rt_window=None)\n"
    "--\n"
    "\n"
    "Joint maximum-likelihood fit of the model between time-varying bounds\n"
    "to levels stored one after another (level_sizes trials each); the\n"
    "parameters named in depends_on are free per level. Returns the dict of\n"
    "fit_bounds_ml, params holding one dict per level; corvatel.fit_ml_joint\n"
    "gives the named rows. Ctrl-C stops it with KeyboardInterrupt."};

}  // namespace corvatel::py
