// bounds_logpdf(), fit_bounds_ml() and simulate_bounds(): the log density,
// the maximum-likelihood fit and the simulation of the diffusion model
// between time-varying bounds with leak and urgency (corvatel/bounds_fit.h,
// corvatel/simulate_bounds.h), the solve, the fit and the batch run without
// the interpreter lock. The package (likelihood.py) broadcasts rt and choice
// to two equal-length arrays and names the fit's results.
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

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
constexpr Signature<6> kFitSignature{"fit_bounds_ml", {"choices", "rts", "bound", "leak", "urgency", "start"}, 2};
constexpr Signature<18> kSimulateSignature{
    "simulate_bounds",
    {"drift", "boundary", "start", "t0", "n", "seed", "bound", "theta", "shape", "scale", "rate", "leak", "urgency",
     "noise_sd", "sv", "sz", "st", "dt"},
    6};

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

// The solver's error as a ValueError; the resolution's names the argument
// the caller gave (the relative step) and the grid's length.
PyObject* raise_fpt_error(const FptError& error) {
  if (error.kind() == FptError::Kind::Resolution) {
    PyErr_SetString(PyExc_ValueError,
                    "resolution must be positive and finite, and the grid up to the longest response time may "
                    "take at most 100000 steps");
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

// {"params": {name: value}, "converged", "iterations", "log_likelihood",
// "n_params", "aic", "bic"}; params holds every parameter of the model,
// fitted or fixed, under the names bounds_logpdf takes.
PyObject* fit_result(const BoundsFit& fit) {
  const TimeVaryingModel& m = fit.model;
  PyRef params = PyRef::steal(PyDict_New());
  if (!params) return nullptr;
  if (!set_number(params.get(), "drift", m.drift) || !set_number(params.get(), "boundary", m.boundary) ||
      !set_number(params.get(), "start", m.start) || !set_number(params.get(), "t0", fit.t0) ||
      !set_number(params.get(), "theta", m.bound.theta) || !set_number(params.get(), "shape", m.bound.shape) ||
      !set_number(params.get(), "scale", m.bound.scale) || !set_number(params.get(), "rate", m.bound.rate) ||
      !set_number(params.get(), "leak", m.leak) || !set_number(params.get(), "urgency", m.urgency) ||
      !set_number(params.get(), "noise_sd", m.noise_sd)) {
    return nullptr;
  }
  PyRef result = PyRef::steal(PyDict_New());
  if (!result || PyDict_SetItemString(result.get(), "params", params.get()) != 0) return nullptr;
  PyRef converged = PyRef::steal(PyBool_FromLong(fit.converged ? 1 : 0));
  PyRef iterations = PyRef::steal(PyLong_FromUnsignedLongLong(fit.iterations));
  PyRef n_params = PyRef::steal(PyLong_FromUnsignedLongLong(fit.n_params));
  if (!converged || !iterations || !n_params || PyDict_SetItemString(result.get(), "converged", converged.get()) != 0 ||
      PyDict_SetItemString(result.get(), "iterations", iterations.get()) != 0 ||
      PyDict_SetItemString(result.get(), "n_params", n_params.get()) != 0 ||
      !set_number(result.get(), "log_likelihood", fit.log_likelihood) ||
      !set_number(result.get(), "aic", fit.criteria.aic) || !set_number(result.get(), "bic", fit.criteria.bic)) {
    return nullptr;
  }
  return result.release();
}

PyObject* fit_bounds_ml(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 6> arg{};
  if (!parse_arguments(kFitSignature, args, kwargs, arg)) return nullptr;
  const PyRef choices = array_argument(arg[0], ArrayKind::Bool, "choices");
  if (!choices) return nullptr;
  const PyRef rts = array_argument(arg[1], ArrayKind::Float64, "rts");
  if (!rts) return nullptr;
  BoundsFitOptions options;
  const auto kind = bound_argument(arg[2]);
  if (!kind) return nullptr;
  options.bound = *kind;
  if (!flag(arg[3], "leak", options.leak) || !flag(arg[4], "urgency", options.urgency)) return nullptr;
  // start: a number fixes it, None estimates it.
  if (arg[5] == Py_None) {
    options.start = std::nullopt;
  } else if (arg[5] != nullptr) {
    const auto start = to_double(arg[5], "start");
    if (!start) return nullptr;
    ModelParams p;
    p.start = *start;
    if (auto bad = check_params(p, ParamUse::Density)) return raise_param_error(*bad);
    options.start = *start;
  }
  const auto trials = observed_trials(choices.get(), rts.get());
  if (!trials) return nullptr;
  const auto fit = without_gil([&] { return corvatel::fit_bounds_ml(*trials, options, signal_stop_check()); });
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
    "fit_bounds_ml(choices, rts, bound='constant', leak=False, urgency=False, start=0.5)\n"
    "--\n"
    "\n"
    "Maximum-likelihood fit of the model between time-varying bounds; start\n"
    "None estimates it. Returns a dict: params, converged, iterations,\n"
    "log_likelihood, n_params, aic and bic; corvatel.fit_ml(model=...) gives\n"
    "the named result. Ctrl-C stops it with KeyboardInterrupt."};

}  // namespace corvatel::py
