// wfpt_pdf() and wfpt_logpdf(): first-passage time densities over arrays;
// wfpt_cdf(), wfpt_logcdf() and their complements within the response
// (wfpt_cdf_complement(), wfpt_logcdf_complement()): the distribution
// function over the same arguments; and _memory_allows(), the memory check the package makes before it
// broadcasts their arguments.
//
// Every argument is a number or a contiguous one-dimensional array (float64;
// for `choice` a bool or a bool array); the arrays share one length and
// numbers stand for every element. The Python package broadcasts
// N-dimensional inputs and reads the codings of `choice` (likelihood.py)
// down to this form. The densities are computed without the interpreter
// lock on the worker pool (log_densities, distribution_functions), which
// stops for Ctrl-C.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "args.h"
#include "convert.h"
#include "corvatel/memory.h"
#include "corvatel/wfpt.h"
#include "errors.h"
#include "functions.h"
#include "gil.h"
#include "numpy_api.h"

namespace corvatel::py {

namespace {

// The densities' last two, the contaminant mixture's, are keyword-only.
constexpr Signature<12> kLogpdfSignature{"wfpt_logpdf",
                                         {"rt", "choice", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz",
                                          "st", "p_outlier", "outlier_window"},
                                         6};
constexpr Signature<12> kPdfSignature{"wfpt_pdf",
                                      {"rt", "choice", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz",
                                       "st", "p_outlier", "outlier_window"},
                                      6};
constexpr Signature<12> kGradSignature{"wfpt_logpdf_grad",
                                       {"rt", "choice", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz",
                                        "st", "p_outlier", "outlier_window"},
                                       6};
constexpr std::size_t kPositional = 10;
constexpr std::array<Signature<10>, 4> kCdfSignatures = {{
    {"wfpt_cdf", {"rt", "choice", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz", "st"}, 6},
    {"wfpt_logcdf", {"rt", "choice", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz", "st"}, 6},
    {"wfpt_cdf_complement", {"rt", "choice", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz", "st"}, 6},
    {"wfpt_logcdf_complement", {"rt", "choice", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz", "st"},
     6},
}};
constexpr Signature<2> kMemorySignature{"_memory_allows", {"count", "bytes_each"}, 2};

// Checks that an array of `size` elements matches the others' length (set by
// the first array).
bool same_length(const char* name, std::size_t size, std::optional<std::size_t>& length) {
  if (length && *length != size) {
    PyErr_Format(PyExc_ValueError, "`%s` has %zu elements where the other arrays have %zu", name, size, *length);
    return false;
  }
  length = size;
  return true;
}

// Reads `obj` into `out`, keeping the array alive in `keep`.
bool read_float(PyObject* obj, const char* name, double fallback, DensityColumn<double>& out, PyRef& keep,
                std::optional<std::size_t>& length) {
  if (obj == nullptr) {
    out.scalar = fallback;
    return true;
  }
  if (!PyArray_Check(obj)) {
    const auto value = to_double(obj, name);
    if (!value) return false;
    out.scalar = *value;
    return true;
  }
  keep = array_argument(obj, ArrayKind::Float64, name);
  if (!keep) return false;
  const auto slice = float_slice_of(keep.get(), name);
  if (!slice || !same_length(name, slice->size(), length)) return false;
  out.values = *slice;
  return true;
}

// A number must be a bool here: the package turns the codings it accepts
// (NumPy bools, integers 0 and 1) into bools, so anything else reaching
// the module is a mistake, not a truth value to guess at.
bool read_choice(PyObject* obj, DensityColumn<std::uint8_t>& out, PyRef& keep, std::optional<std::size_t>& length) {
  if (!PyArray_Check(obj)) {
    if (!PyBool_Check(obj)) {
      PyRef got = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
      if (got) PyErr_Format(PyExc_TypeError, "choice must be a bool or a bool array, not '%U'", got.get());
      return false;
    }
    out.scalar = obj == Py_True ? 1 : 0;
    return true;
  }
  keep = array_argument(obj, ArrayKind::Bool, "choice");
  if (!keep) return false;
  const auto slice = bool_slice_of(keep.get(), "choice");
  if (!slice || !same_length("choice", slice->size(), length)) return false;
  out.values = *slice;
  return true;
}

// Reads the arguments of `sig` into `in`, arrays kept alive in `keep`: the
// ten of the model, then for the densities (N = 12) the mixture's two.
template <std::size_t N>
bool read_columns(const Signature<N>& sig, PyObject* args, PyObject* kwargs, DensityColumns& in,
                  std::array<PyRef, N>& keep) {
  std::array<PyObject*, N> arg{};
  if (!parse_arguments(sig, args, kwargs, arg)) return false;
  if (const Py_ssize_t given = PyTuple_Size(args); given > static_cast<Py_ssize_t>(kPositional)) {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given",
                 sig.function, sig.required, kPositional, given);
    return false;
  }
  if (!ensure_numpy()) return false;

  std::optional<std::size_t> length;
  std::array<DensityColumn<double>*, 10> floats = {&in.rt, &in.drift, &in.boundary, &in.start, &in.t0,
                                                   &in.noise_sd, &in.sv, &in.sz, &in.st, &in.p_outlier};
  constexpr std::array<double, 10> kDefaults = {0, 0, 0, 0, 0, 1.0, 0.0, 0.0, 0.0, 0.0};
  constexpr std::size_t kColumns = N == 12 ? 11 : 10;
  if constexpr (N == 12) {
    const auto window = outlier_window_argument(arg[11]);
    if (!window) return false;
    in.outlier_window = *window;
  }
  // Numbers first, arrays last: converting a number can run the caller's
  // code, which could reshape an array whose slice was already taken.
  for (const bool arrays : {false, true}) {
    for (std::size_t i = 0; i < kColumns; ++i) {
      if ((arg[i] != nullptr && PyArray_Check(arg[i])) != arrays) continue;
      if (i == 1) {
        if (!read_choice(arg[1], in.choice, keep[1], length)) return false;
        continue;
      }
      const std::size_t c = i == 0 ? 0 : i - 1;
      if (!read_float(arg[i], sig.names[i], kDefaults[c], *floats[c], keep[i], length)) return false;
    }
  }
  in.n = length.value_or(1);
  return true;
}

// A float64 array of in.n values that compute(out) fills without the
// interpreter lock; `what` names them in the MemoryError.
template <typename Compute>
PyObject* run_batch(const char* function, const char* what, const DensityColumns& in, const Compute& compute) {
  // Checked before allocating, as simulate does: under overcommit the
  // allocation would succeed and the process be killed part-way.
  if (!memory_allows(in.n, sizeof(double))) {
    PyErr_Format(PyExc_MemoryError, "%s: %zu %s need more memory than this machine can give", function, in.n, what);
    return nullptr;
  }
  npy_intp dims[1] = {static_cast<npy_intp>(in.n)};
  PyRef out = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  if (!out) return nullptr;
  double* result = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  const std::optional<DensitiesFailure> failure =
      without_gil([&] { return compute(std::span<double>(result, in.n)); });
  if (!failure) return out.release();
  if (const auto* error = std::get_if<ParamError>(&*failure)) return raise_param_error(*error);
  return nullptr;  // interrupted: the signal handler's exception is set
}

template <bool kLog>
PyObject* density(PyObject*, PyObject* args, PyObject* kwargs) {
  const auto& sig = kLog ? kLogpdfSignature : kPdfSignature;
  DensityColumns in;
  std::array<PyRef, 12> keep;
  if (!read_columns(sig, args, kwargs, in, keep)) return nullptr;
  return run_batch(sig.function, "densities", in, [&](std::span<double> out) {
    return log_densities(in, out, kLog ? DensityScale::Log : DensityScale::Linear, signal_stop_check());
  });
}

// (log densities, their derivatives): a float64 array of in.n and one of
// (parameters, in.n), the rows in kGradientParams' order.
PyObject* log_density_gradient(PyObject*, PyObject* args, PyObject* kwargs) {
  DensityColumns in;
  std::array<PyRef, 12> keep;
  if (!read_columns(kGradSignature, args, kwargs, in, keep)) return nullptr;
  constexpr std::size_t kRows = kGradientParams.size();
  if (!memory_allows(in.n, (kRows + 1) * sizeof(double))) {
    PyErr_Format(PyExc_MemoryError, "wfpt_logpdf_grad: %zu densities and their gradients need more memory than "
                 "this machine can give", in.n);
    return nullptr;
  }
  npy_intp dims[1] = {static_cast<npy_intp>(in.n)};
  npy_intp grad_dims[2] = {static_cast<npy_intp>(kRows), static_cast<npy_intp>(in.n)};
  PyRef log_out = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  if (!log_out) return nullptr;
  PyRef grad_out = PyRef::steal(PyArray_SimpleNew(2, grad_dims, NPY_DOUBLE));
  if (!grad_out) return nullptr;
  double* logs = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(log_out.get())));
  double* grads = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(grad_out.get())));
  const std::optional<DensitiesFailure> failure = without_gil([&] {
    return log_density_gradients(in, std::span<double>(logs, in.n), std::span<double>(grads, kRows * in.n),
                                 signal_stop_check());
  });
  if (failure) {
    if (const auto* error = std::get_if<ParamError>(&*failure)) return raise_param_error(*error);
    return nullptr;  // interrupted: the signal handler's exception is set
  }
  return PyTuple_Pack(2, log_out.get(), grad_out.get());
}

template <CdfSide kSide, bool kLog>
PyObject* distribution(PyObject*, PyObject* args, PyObject* kwargs) {
  const auto& sig = kCdfSignatures[(kSide == CdfSide::Above ? 2 : 0) + (kLog ? 1 : 0)];
  DensityColumns in;
  std::array<PyRef, 10> keep;
  if (!read_columns(sig, args, kwargs, in, keep)) return nullptr;
  return run_batch(sig.function, "values", in, [&](std::span<double> out) {
    return distribution_functions(in, out, kSide, kLog ? DensityScale::Log : DensityScale::Linear,
                                  signal_stop_check());
  });
}

PyObject* memory_allows_for(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 2> arg{};
  if (!parse_arguments(kMemorySignature, args, kwargs, arg)) return nullptr;
  const auto count = to_u64(arg[0], "count");
  if (!count) return nullptr;
  const auto bytes_each = to_u64(arg[1], "bytes_each");
  if (!bytes_each) return nullptr;
  return PyBool_FromLong(memory_allows(*count, *bytes_each) ? 1 : 0);
}

}  // namespace

PyMethodDef wfpt_logpdf_def = {
    "wfpt_logpdf", guarded_method<density<true>>(), METH_VARARGS | METH_KEYWORDS,
    "wfpt_logpdf(rt, choice, drift, boundary, start, t0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0, *,\n"
    "            p_outlier=0.0, outlier_window=(0.0, 5.0))\n"
    "--\n"
    "\n"
    "Log first-passage time density of the diffusion model at `rt` for the\n"
    "upper (`choice` true) or lower boundary. Each argument is a number or a\n"
    "contiguous 1-D array (float64; bool for `choice`, which as a number is a\n"
    "bool) of one shared length. Returns a float64 array of that length (1\n"
    "when all are numbers); -inf where rt <= t0 - st/2. With p_outlier > 0,\n"
    "the density of the mixture with contaminants (either response with\n"
    "probability 1/2, rt uniform on outlier_window). Raises ValueError\n"
    "naming an invalid argument, MemoryError for an output larger than the\n"
    "machine can give; Ctrl-C stops it."};

PyMethodDef wfpt_pdf_def = {
    "wfpt_pdf", guarded_method<density<false>>(), METH_VARARGS | METH_KEYWORDS,
    "wfpt_pdf(rt, choice, drift, boundary, start, t0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0, *,\n"
    "         p_outlier=0.0, outlier_window=(0.0, 5.0))\n"
    "--\n"
    "\n"
    "First-passage time density of the diffusion model: exp of wfpt_logpdf,\n"
    "with the same arguments and errors."};

PyMethodDef wfpt_logpdf_grad_def = {
    "wfpt_logpdf_grad", guarded_method<log_density_gradient>(), METH_VARARGS | METH_KEYWORDS,
    "wfpt_logpdf_grad(rt, choice, drift, boundary, start, t0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0, *,\n"
    "                 p_outlier=0.0, outlier_window=(0.0, 5.0))\n"
    "--\n"
    "\n"
    "wfpt_logpdf and its partial derivatives: a tuple of the log densities\n"
    "(float64, one per element) and a float64 array of shape (8, n) whose rows\n"
    "are the derivatives in drift, boundary, start, t0, sv, sz, st and\n"
    "p_outlier. Arguments and errors as wfpt_logpdf's."};

PyMethodDef wfpt_cdf_def = {
    "wfpt_cdf", guarded_method<distribution<CdfSide::Below, false>>(), METH_VARARGS | METH_KEYWORDS,
    "wfpt_cdf(rt, choice, drift, boundary, start, t0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0)\n"
    "--\n"
    "\n"
    "First-passage distribution function of the diffusion model: the\n"
    "probability of ending at the upper (`choice` true) or lower boundary with\n"
    "a response time <= rt. Arguments, result and errors as wfpt_logpdf's;\n"
    "0 where rt <= t0 - st/2, the response's probability at rt = inf."};

PyMethodDef wfpt_logcdf_def = {
    "wfpt_logcdf", guarded_method<distribution<CdfSide::Below, true>>(), METH_VARARGS | METH_KEYWORDS,
    "wfpt_logcdf(rt, choice, drift, boundary, start, t0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0)\n"
    "--\n"
    "\n"
    "log of wfpt_cdf, finite also where it underflows."};

PyMethodDef wfpt_cdf_complement_def = {
    "wfpt_cdf_complement", guarded_method<distribution<CdfSide::Above, false>>(), METH_VARARGS | METH_KEYWORDS,
    "wfpt_cdf_complement(rt, choice, drift, boundary, start, t0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0)\n"
    "--\n"
    "\n"
    "P(choice) - wfpt_cdf: the probability of ending at that boundary with a\n"
    "response time > rt, computed as such (not as a difference)."};

PyMethodDef wfpt_logcdf_complement_def = {
    "wfpt_logcdf_complement", guarded_method<distribution<CdfSide::Above, true>>(),
    METH_VARARGS | METH_KEYWORDS,
    "wfpt_logcdf_complement(rt, choice, drift, boundary, start, t0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0)\n"
    "--\n"
    "\n"
    "log of wfpt_cdf_complement."};

PyMethodDef memory_allows_def = {
    "_memory_allows", guarded_method<memory_allows_for>(), METH_VARARGS | METH_KEYWORDS,
    "_memory_allows(count, bytes_each)\n"
    "--\n"
    "\n"
    "False when `count` items of `bytes_each` bytes are more than this process\n"
    "can still obtain (available memory and free swap, under its limits)."};

}  // namespace corvatel::py
