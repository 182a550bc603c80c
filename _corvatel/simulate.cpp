// simulate(): a batch of trials, handed back as two NumPy arrays laid over
// buffers filled without the interpreter lock; also the result arrays of
// simulate_full() (kept_trials.h).
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>

#include "args.h"
#include "corvatel/memory.h"
#include "corvatel/parameters.h"
#include "corvatel/simulate.h"
#include "errors.h"
#include "functions.h"
#include "gil.h"
#include "kept_trials.h"
#include "numpy_api.h"
#include "pyref.h"

namespace corvatel::py {

namespace {

constexpr Signature<7> kSignature{"simulate", {"drift", "boundary", "start", "t0", "n", "seed", "noise_sd"}, 6};

constexpr const char* kCapsuleName = "corvatel.buffer";

// The two output buffers are all a batch needs: trials are written straight
// into them.
constexpr std::uint64_t kBytesPerTrial = sizeof(npy_bool) + sizeof(double);

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<void, FreeDeleter>;

// Never empty: an empty batch also gets a buffer (of one byte), so that every
// result array has the same kind of owner.
Buffer allocate(std::uint64_t n, std::size_t element_size) {
  if (n > SIZE_MAX / element_size) throw std::bad_alloc();
  void* p = std::malloc(n == 0 ? 1 : static_cast<std::size_t>(n) * element_size);
  if (p == nullptr) throw std::bad_alloc();
  return Buffer(p);
}

// The kept trials: choices and rts of every trial that did not time out, in
// index order, in buffers of exactly that length.
struct Kept {
  Buffer choices;
  Buffer rts;
  std::uint64_t count = 0;
  std::uint64_t excluded = 0;
};

// Gives back the unused tail of a buffer; keeps it whole if that fails (or
// nothing is kept, where realloc's result would be the library's choice).
void shrink(Buffer& buffer, std::uint64_t count, std::size_t element_size) {
  if (!buffer || count == 0) return;
  if (void* p = std::realloc(buffer.get(), static_cast<std::size_t>(count) * element_size)) {
    (void)buffer.release();
    buffer.reset(p);
  }
}

// Runs without the interpreter lock. Nothing when the batch was stopped.
std::optional<Kept> run_kept(std::uint64_t n, const KeptFill& fill) {
  Kept kept;
  // Reserved before simulating, so that a batch too large for memory fails
  // at once rather than after the work. The trials are written straight
  // into these two buffers: there is no third one.
  kept.choices = allocate(n, sizeof(npy_bool));
  kept.rts = allocate(n, sizeof(double));
  static_assert(sizeof(npy_bool) == sizeof(std::uint8_t));
  const std::optional<std::uint64_t> count =
      fill(static_cast<std::uint8_t*>(kept.choices.get()), static_cast<double*>(kept.rts.get()));
  if (!count) return std::nullopt;
  kept.count = *count;
  kept.excluded = n - kept.count;
  shrink(kept.choices, kept.count, sizeof(npy_bool));
  shrink(kept.rts, kept.count, sizeof(double));
  return kept;
}

void free_capsule_buffer(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, kCapsuleName)); }

// A one-dimensional array of `length` elements over `buffer`, which it takes
// over: a capsule that frees it becomes the array's base.
PyRef wrap_buffer(Buffer buffer, int type_num, std::uint64_t length) {
  PyArray_Descr* descr = PyArray_DescrFromType(type_num);
  if (descr == nullptr) return {};
  npy_intp dims[1] = {static_cast<npy_intp>(length)};
  npy_intp strides[1] = {static_cast<npy_intp>(PyDataType_ELSIZE(descr))};
  PyRef owner = PyRef::steal(PyCapsule_New(buffer.get(), kCapsuleName, free_capsule_buffer));
  if (!owner) {
    Py_DECREF(descr);
    return {};
  }
  void* data = buffer.release();  // the capsule frees it from now on
  PyRef array = PyRef::steal(
      PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, data, NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return {};
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) != 0) return {};
  return array;
}

PyObject* simulate(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 7> arg{};
  if (!parse_arguments(kSignature, args, kwargs, arg)) return nullptr;
  Params params{};
  double* const fields[4] = {&params.drift, &params.boundary, &params.start, &params.t0};
  for (std::size_t i = 0; i < 4; ++i) {
    const auto value = to_double(arg[i], kSignature.names[i]);
    if (!value) return nullptr;
    *fields[i] = *value;
  }
  const auto n = to_u64(arg[4], "n");
  if (!n) return nullptr;
  const auto seed = to_u64(arg[5], "seed");
  if (!seed) return nullptr;
  params.noise_sd = 1.0;
  if (arg[6] != nullptr) {
    const auto noise_sd = to_double(arg[6], "noise_sd");
    if (!noise_sd) return nullptr;
    params.noise_sd = *noise_sd;
  }
  if (const auto error = check_walk_ranges(params)) return raise_param_error(*error);
  if (!ensure_numpy()) return nullptr;
  // Checked before allocating: under overcommit the allocations would succeed
  // and the process be killed part-way through filling them.
  if (!memory_allows(*n, kBytesPerTrial)) {
    PyErr_Format(PyExc_MemoryError, "simulate: %llu trials need more memory than this machine can give",
                 static_cast<unsigned long long>(*n));
    return nullptr;
  }

  return kept_trials_result(*n, [&](std::uint8_t* choices, double* rts) {
    return corvatel::simulate_kept(params, *n, *seed, choices, rts, signal_stop_check());
  });
}

}  // namespace

PyObject* kept_trials_result(std::uint64_t n, const KeptFill& fill) {
  std::optional<Kept> simulated = without_gil([&] { return run_kept(n, fill); });
  if (!simulated) return nullptr;  // interrupted: the handler's exception is set
  Kept& kept = *simulated;

  PyRef choices = wrap_buffer(std::move(kept.choices), NPY_BOOL, kept.count);
  if (!choices) return nullptr;
  PyRef rts = wrap_buffer(std::move(kept.rts), NPY_DOUBLE, kept.count);
  if (!rts) return nullptr;
  PyRef excluded = PyRef::steal(PyLong_FromUnsignedLongLong(kept.excluded));
  if (!excluded) return nullptr;
  return PyTuple_Pack(3, choices.get(), rts.get(), excluded.get());
}

PyMethodDef simulate_def = {
    "simulate", guarded_method<simulate>(), METH_VARARGS | METH_KEYWORDS,
    "simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0)\n"
    "--\n"
    "\n"
    "simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0)\n"
    "\n"
    "Simulate `n` drift-diffusion trials. Returns `(choices, rts, n_excluded)`:\n"
    "\n"
    "* `choices` — `np.ndarray` of `bool`, `True` if the trial hit the upper\n"
    "  boundary;\n"
    "* `rts` — `np.ndarray` of `float64`, response times in seconds;\n"
    "* `n_excluded` — how many trials hit the 10 s simulation cap and were\n"
    "  dropped from both arrays (their choice/RT are unreliable).\n"
    "\n"
    "The two arrays are built in one pass over the filtered trials — no\n"
    "intermediate Python objects."};

}  // namespace corvatel::py
