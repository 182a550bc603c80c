// fit_ez(): closed-form EZ-diffusion estimates from observed arrays. Short
// enough to run with the interpreter lock held.
#include <array>

#include "args.h"
#include "convert.h"
#include "corvatel/ez.h"
#include "errors.h"
#include "functions.h"

namespace corvatel::py {

namespace {

constexpr Signature<2> kSignature{"fit_ez", {"choices", "rts"}, 2};

PyObject* fit_ez(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 2> arg{};
  if (!parse_arguments(kSignature, args, kwargs, arg)) return nullptr;
  const PyRef choices = array_argument(arg[0], ArrayKind::Bool, "choices");
  if (!choices) return nullptr;
  const PyRef rts = array_argument(arg[1], ArrayKind::Float64, "rts");
  if (!rts) return nullptr;
  const auto trials = observed_trials(choices.get(), rts.get());
  if (!trials) return nullptr;

  const auto estimate = ez_diffusion(*trials);
  if (!estimate) return raise_corvatel_error(estimate.error().message());
  return params_to_dict(estimate.value()).release();
}

}  // namespace

PyMethodDef fit_ez_def = {
    "fit_ez", guarded_method<fit_ez>(), METH_VARARGS | METH_KEYWORDS,
    "fit_ez(choices, rts)\n"
    "--\n"
    "\n"
    "fit_ez(choices, rts) -> dict\n"
    "\n"
    "Recover parameters from `(choices, rts)` arrays with closed-form\n"
    "EZ-diffusion. Raises `CorvatelError` (a `ValueError` subclass) with a\n"
    "specific message when the data cannot be fitted."};

}  // namespace corvatel::py
