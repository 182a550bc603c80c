// fit_sim(): simulation-based recovery, run without the interpreter lock.
#include <array>

#include "args.h"
#include "convert.h"
#include "corvatel/ez.h"
#include "corvatel/sim_fit.h"
#include "errors.h"
#include "functions.h"
#include "gil.h"

namespace corvatel::py {

namespace {

constexpr Signature<4> kSignature{"fit_sim", {"choices", "rts", "initial_guess", "max_iters"}, 2};
constexpr std::uint64_t kDefaultMaxIters = 200;

PyObject* fit_sim(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 4> arg{};
  if (!parse_arguments(kSignature, args, kwargs, arg)) return nullptr;
  const PyRef choices = array_argument(arg[0], ArrayKind::Bool, "choices");
  if (!choices) return nullptr;
  const PyRef rts = array_argument(arg[1], ArrayKind::Float64, "rts");
  if (!rts) return nullptr;
  std::optional<ParamMap> guess_map;
  if (!dict_argument(arg[2], "initial_guess", guess_map)) return nullptr;
  std::uint64_t max_iters = kDefaultMaxIters;
  if (arg[3] != nullptr) {
    const auto value = to_u64(arg[3], "max_iters");
    if (!value) return nullptr;
    max_iters = *value;
  }
  const auto trials = observed_trials(choices.get(), rts.get());
  if (!trials) return nullptr;
  // Read now, while the arrays are known to be as checked.
  const std::optional<SummaryStats> target = summary_stats(*trials);

  Params guess{};
  if (guess_map) {
    const auto from_map = params_from_map(*guess_map);
    if (!from_map) return nullptr;
    guess = *from_map;
    guess_map.reset();
  } else {
    guess = default_fit_guess(target);
  }

  const auto fit = without_gil([&] { return fit_simulation(target, guess, max_iters, signal_stop_check()); });
  if (!fit) {
    // Interrupted: a signal handler raised, and its exception is set.
    if (fit.error().kind() == FitError::Kind::Interrupted) return nullptr;
    return raise_corvatel_error(fit.error().message());
  }

  PyRef result = params_to_dict(fit.value().params);
  if (!result) return nullptr;
  PyRef iterations = PyRef::steal(PyLong_FromUnsignedLongLong(fit.value().iterations));
  if (!iterations || PyDict_SetItemString(result.get(), "iterations", iterations.get()) != 0) return nullptr;
  PyRef cost = PyRef::steal(PyFloat_FromDouble(fit.value().final_cost));
  if (!cost || PyDict_SetItemString(result.get(), "final_cost", cost.get()) != 0) return nullptr;
  return result.release();
}

}  // namespace

PyMethodDef fit_sim_def = {
    "fit_sim", guarded_method<fit_sim>(), METH_VARARGS | METH_KEYWORDS,
    "fit_sim(choices, rts, initial_guess=None, max_iters=200)\n"
    "--\n"
    "\n"
    "fit_sim(choices, rts, initial_guess=None, max_iters=200) -> dict\n"
    "\n"
    "Recover parameters by simulation-based Nelder-Mead fitting. `initial_guess`\n"
    "is a params dict (e.g. the return value of `fit_ez`); when omitted the fit\n"
    "warm-starts from the EZ estimate. The result dict adds `iterations` and\n"
    "`final_cost` to the usual params keys. Raises `CorvatelError` on failure."};

}  // namespace corvatel::py
