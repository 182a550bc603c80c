// set_num_threads() / get_num_threads(): the size of the process-wide worker
// pool. Results never depend on it; only the speed does.
#include <array>
#include <cstdlib>

#include "args.h"
#include "corvatel/worker_pool.h"
#include "errors.h"
#include "functions.h"
#include "gil.h"
#include "pyref.h"

namespace corvatel::py {

namespace {

constexpr Signature<1> kSetSignature{"set_num_threads", {"k"}, 1};
constexpr Signature<0> kGetSignature{"get_num_threads", {}, 0};

PyObject* set_num_threads(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 1> arg{};
  if (!parse_arguments(kSetSignature, args, kwargs, arg)) return nullptr;
  PyRef integer = PyRef::steal(PyNumber_Index(arg[0]));
  if (!integer) {
    note_argument("k");
    return nullptr;
  }
  int overflow = 0;
  const long long k = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
  if (k == -1 && PyErr_Occurred()) return nullptr;
  if (overflow != 0 || k < 1 || k > static_cast<long long>(kMaxWorkers)) {
    PyErr_Format(PyExc_ValueError, "k must be a whole number of threads from 1 to %zu, got %R", kMaxWorkers,
                 integer.get());
    return nullptr;
  }
  // Waits, without the lock, for retiring workers to finish their pieces.
  without_gil([&] {
    WorkerPool::set_shared_size(static_cast<std::size_t>(k));
    return true;
  });
  Py_RETURN_NONE;
}

PyObject* get_num_threads(PyObject*, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, 0> arg{};
  if (!parse_arguments(kGetSignature, args, kwargs, arg)) return nullptr;
  const std::size_t size = without_gil([] { return WorkerPool::shared_size(); });
  return PyLong_FromSize_t(size);
}

}  // namespace

int warn_about_thread_environment() {
  const char* text = std::getenv("CORVATEL_NUM_THREADS");
  if (text == nullptr || parse_worker_count(text)) return 0;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "CORVATEL_NUM_THREADS=\"%s\" is not a whole number from 1 to %zu: ignored, the pool "
                          "uses every processor",
                          text, kMaxWorkers);
}

PyMethodDef set_num_threads_def = {
    "set_num_threads", guarded_method<set_num_threads>(), METH_VARARGS | METH_KEYWORDS,
    "set_num_threads(k)\n"
    "--\n"
    "\n"
    "set_num_threads(k) -> None\n"
    "\n"
    "Use `k` worker threads (1 to 1024) for every later batch of the process.\n"
    "Results do not depend on it. A batch running meanwhile finishes on the\n"
    "workers that remain; the call waits for retiring workers to end their\n"
    "current piece."};

PyMethodDef get_num_threads_def = {
    "get_num_threads", guarded_method<get_num_threads>(), METH_VARARGS | METH_KEYWORDS,
    "get_num_threads()\n"
    "--\n"
    "\n"
    "get_num_threads() -> int\n"
    "\n"
    "The number of worker threads batches run on (or will, once the pool\n"
    "starts): the last set_num_threads, else CORVATEL_NUM_THREADS, else every\n"
    "processor in the affinity mask."};

}  // namespace corvatel::py
