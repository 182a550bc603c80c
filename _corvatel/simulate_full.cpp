// simulate_full(): trials of the full model (across-trial variability in
// drift, start and non-decision time), returned like simulate().
#include <array>
#include <cmath>
#include <cstdint>

#include "args.h"
#include "convert.h"
#include "corvatel/memory.h"
#include "corvatel/simulate_full.h"
#include "errors.h"
#include "functions.h"
#include "gil.h"
#include "numpy_api.h"
#include "pyref.h"

namespace corvatel::py {

namespace {

constexpr Signature<10> kSignature{
    "simulate_full", {"drift", "boundary", "start", "t0", "n", "seed", "noise_sd", "sv", "sz", "st"}, 6};

// A 1-D array of n elements of `type_num`, or nullptr with an exception.
PyRef new_array(std::uint64_t n, int type_num) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  return PyRef::steal(PyArray_SimpleNew(1, dims, type_num));
}

PyObject* simulate_full(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 10> arg{};
  if (!parse_arguments(kSignature, args, kwargs, arg)) return nullptr;
  ModelParams params{};
  if (!model_params_from(kSignature.names, arg, params)) return nullptr;
  const auto n = to_u64(arg[4], "n");
  if (!n) return nullptr;
  const auto seed = to_u64(arg[5], "seed");
  if (!seed) return nullptr;
  if (const auto error = check_params(params, ParamUse::Simulation)) return raise_param_error(*error);
  if (*n >= kVariabilityStreamBit) {
    PyErr_SetString(PyExc_ValueError, "n must be below 2**63");
    return nullptr;
  }
  if (!ensure_numpy()) return nullptr;
  // The batch of trials and the two output arrays, checked before allocating:
  // under overcommit the allocations would succeed and the process be killed
  // part-way through filling them.
  if (!memory_allows(*n, sizeof(Trial) + sizeof(npy_bool) + sizeof(double))) {
    PyErr_Format(PyExc_MemoryError, "simulate_full: %llu trials need more memory than this machine can give",
                 static_cast<unsigned long long>(*n));
    return nullptr;
  }
  PyRef choices = new_array(*n, NPY_BOOL);
  if (!choices) return nullptr;
  PyRef rts = new_array(*n, NPY_DOUBLE);
  if (!rts) return nullptr;
  auto* c = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(choices.get())));
  auto* r = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rts.get())));

  const std::uint64_t kept = without_gil([&] {
    const TrialBatch batch = simulate_full_n(params, *n, *seed);
    std::uint64_t k = 0;
    for (const Trial& t : batch) {
      if (t.timed_out) continue;
      c[k] = t.choice ? NPY_TRUE : NPY_FALSE;
      r[k] = t.rt;
      ++k;
    }
    return k;
  });
  if (kept < *n) {
    choices = PyRef::steal(PySequence_GetSlice(choices.get(), 0, static_cast<Py_ssize_t>(kept)));
    if (!choices) return nullptr;
    rts = PyRef::steal(PySequence_GetSlice(rts.get(), 0, static_cast<Py_ssize_t>(kept)));
    if (!rts) return nullptr;
  }
  PyRef excluded = PyRef::steal(PyLong_FromUnsignedLongLong(*n - kept));
  if (!excluded) return nullptr;
  return PyTuple_Pack(3, choices.get(), rts.get(), excluded.get());
}

}  // namespace

PyMethodDef simulate_full_def = {
    "simulate_full", guarded_method<simulate_full>(), METH_VARARGS | METH_KEYWORDS,
    "simulate_full(drift, boundary, start, t0, n, seed, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0)\n"
    "--\n"
    "\n"
    "Simulate `n` trials of the full diffusion model and return\n"
    "`(choices, rts, n_excluded)` like `simulate`. Trial i draws its drift\n"
    "(normal, sd `sv`), relative start (uniform of width `sz`) and t0 (uniform\n"
    "of width `st`) from stream i | 2**63 of the seed's generator, then walks\n"
    "on stream i; with sv = sz = st = 0 the trials are exactly simulate's."};

}  // namespace corvatel::py
