// simulate_full(): trials of the full model (across-trial variability in
// drift, start and non-decision time), returned like simulate().
#include <array>
#include <cstdint>

#include "args.h"
#include "convert.h"
#include "corvatel/memory.h"
#include "corvatel/simulate_full.h"
#include "errors.h"
#include "functions.h"
#include "gil.h"
#include "kept_trials.h"
#include "numpy_api.h"

namespace corvatel::py {

namespace {

constexpr Signature<10> kSignature{
    "simulate_full", {"drift", "boundary", "start", "t0", "n", "seed", "noise_sd", "sv", "sz", "st"}, 6};

constexpr std::uint64_t kBytesPerTrial = sizeof(npy_bool) + sizeof(double);

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
  // Checked before allocating: under overcommit the allocations would succeed
  // and the process be killed part-way through filling them. The trials are
  // written straight into the two result arrays, and a run's parameters
  // are drawn on a worker's stack: the arrays are all a batch needs.
  if (!memory_allows(*n, kBytesPerTrial)) {
    PyErr_Format(PyExc_MemoryError, "simulate_full: %llu trials need more memory than this machine can give",
                 static_cast<unsigned long long>(*n));
    return nullptr;
  }
  return kept_trials_result(*n, [&](std::uint8_t* choices, double* rts) {
    return simulate_full_kept(params, *n, *seed, choices, rts, signal_stop_check());
  });
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
