// wfpt_pdf() and wfpt_logpdf(): first-passage time densities over arrays.
//
// Every argument is a number or a contiguous one-dimensional array (float64;
// bool for `choice`); the arrays share one length and numbers stand for every
// element. The Python package broadcasts N-dimensional inputs down to this
// form. The densities are computed without the interpreter lock.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>

#include "args.h"
#include "convert.h"
#include "corvatel/wfpt.h"
#include "errors.h"
#include "functions.h"
#include "gil.h"
#include "numpy_api.h"

namespace corvatel::py {

namespace {

constexpr Signature<10> kLogpdfSignature{
    "wfpt_logpdf", {"rt", "choice", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz", "st"}, 6};
constexpr Signature<10> kPdfSignature{
    "wfpt_pdf", {"rt", "choice", "drift", "boundary", "start", "t0", "noise_sd", "sv", "sz", "st"}, 6};

// One argument: a number for every element, or an array of them.
template <typename T>
struct Column {
  T scalar{};
  std::span<const T> values;
  bool is_array = false;
  T at(std::size_t i) const { return is_array ? values[i] : scalar; }
};

// Reads `obj` into `out`, keeping the array alive in `keep`. Checks that all
// arrays share the length `length` (set by the first array).
bool read_float(PyObject* obj, const char* name, double fallback, Column<double>& out, PyRef& keep,
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
  if (!slice) return false;
  if (length && *length != slice->size()) {
    PyErr_Format(PyExc_ValueError, "`%s` has %zu elements where the other arrays have %zu", name, slice->size(),
                 *length);
    return false;
  }
  length = slice->size();
  out.values = *slice;
  out.is_array = true;
  return true;
}

bool read_choice(PyObject* obj, Column<std::uint8_t>& out, PyRef& keep, std::optional<std::size_t>& length) {
  if (!PyArray_Check(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
      note_argument("choice");
      return false;
    }
    out.scalar = truth ? 1 : 0;
    return true;
  }
  keep = array_argument(obj, ArrayKind::Bool, "choice");
  if (!keep) return false;
  const auto slice = bool_slice_of(keep.get(), "choice");
  if (!slice) return false;
  if (length && *length != slice->size()) {
    PyErr_Format(PyExc_ValueError, "`choice` has %zu elements where the other arrays have %zu", slice->size(),
                 *length);
    return false;
  }
  length = slice->size();
  out.values = *slice;
  out.is_array = true;
  return true;
}

template <bool kLog>
PyObject* density(PyObject*, PyObject* args, PyObject* kwargs) {
  const auto& sig = kLog ? kLogpdfSignature : kPdfSignature;
  std::array<PyObject*, 10> arg{};
  if (!parse_arguments(sig, args, kwargs, arg)) return nullptr;
  if (!ensure_numpy()) return nullptr;

  std::optional<std::size_t> length;
  std::array<PyRef, 10> keep;
  Column<std::uint8_t> choice;
  std::array<Column<double>, 9> col;  // rt, then drift .. st
  constexpr std::array<double, 9> kDefaults = {0, 0, 0, 0, 0, 1.0, 0.0, 0.0, 0.0};
  // Numbers first, arrays last: converting a number can run the caller's
  // code, which could reshape an array whose slice was already taken.
  for (const bool arrays : {false, true}) {
    for (std::size_t i = 0; i < 10; ++i) {
      if ((arg[i] != nullptr && PyArray_Check(arg[i])) != arrays) continue;
      if (i == 1) {
        if (!read_choice(arg[1], choice, keep[1], length)) return nullptr;
        continue;
      }
      const std::size_t c = i == 0 ? 0 : i - 1;
      if (!read_float(arg[i], sig.names[i], kDefaults[c], col[c], keep[i], length)) return nullptr;
    }
  }
  const std::size_t n = length.value_or(1);

  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyRef out = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  if (!out) return nullptr;
  double* result = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));

  const std::optional<ParamError> error = without_gil([&]() -> std::optional<ParamError> {
    for (std::size_t i = 0; i < n; ++i) {
      const double rt = col[0].at(i);
      const ModelParams p{col[1].at(i), col[2].at(i), col[3].at(i), col[4].at(i),
                            col[5].at(i), col[6].at(i), col[7].at(i), col[8].at(i)};
      if (auto bad = check_density_args(rt, p)) return bad;
      const double log_density = wfpt_log_density(rt, choice.at(i) != 0, p);
      result[i] = kLog ? log_density : std::exp(log_density);
    }
    return std::nullopt;
  });
  if (error) return raise_param_error(*error);
  return out.release();
}

}  // namespace

PyMethodDef wfpt_logpdf_def = {
    "wfpt_logpdf", guarded_method<density<true>>(), METH_VARARGS | METH_KEYWORDS,
    "wfpt_logpdf(rt, choice, drift, boundary, start, t0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0)\n"
    "--\n"
    "\n"
    "Log first-passage time density of the diffusion model at `rt` for the\n"
    "upper (`choice` true) or lower boundary. Each argument is a number or a\n"
    "contiguous 1-D array (float64; bool for `choice`) of one shared length.\n"
    "Returns a float64 array of that length (1 when all are numbers); -inf\n"
    "where rt <= t0 - st/2. Raises ValueError naming an invalid argument."};

PyMethodDef wfpt_pdf_def = {
    "wfpt_pdf", guarded_method<density<false>>(), METH_VARARGS | METH_KEYWORDS,
    "wfpt_pdf(rt, choice, drift, boundary, start, t0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0)\n"
    "--\n"
    "\n"
    "First-passage time density of the diffusion model: exp of wfpt_logpdf,\n"
    "with the same arguments and errors."};

}  // namespace corvatel::py
