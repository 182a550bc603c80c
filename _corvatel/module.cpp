// The _corvatel extension module: its definition and the execution step that
// adds the version, the exception type and the functions; __all__ lists the
// version, the exception type, simulate, fit_ez and fit_sim.
#include <Python.h>

#include "corvatel/sim_fit.h"
#include "errors.h"
#include "functions.h"
#include "pyref.h"

namespace corvatel::py {

namespace {

constexpr const char* kVersion = "0.1.0";

// Whether a name goes into __all__: the module's documented names do; the
// helpers that the corvatel package wraps or re-exports are attributes only.
enum class Listed { yes, no };

// Appends `name` to __all__ (creating the list on first use) when listed,
// then sets the attribute; takes over `value`.
int add_attribute(PyObject* module, PyObject* name, PyRef value, Listed listed = Listed::yes) {
  if (!value) return -1;
  if (listed == Listed::no) return PyObject_SetAttr(module, name, value.get());
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return -1;
  }
  if (PyList_Append(all.get(), name) != 0) return -1;
  return PyObject_SetAttr(module, name, value.get());
}

int add_function(PyObject* module, PyMethodDef* def, Listed listed) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!function) return -1;
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return -1;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
    return -1;
  }
  return add_attribute(module, name.get(), std::move(function), listed);
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_corvatel can only be executed on a module object");
    return -1;
  }
  PyRef version_name = PyRef::steal(PyUnicode_FromString("__version__"));
  if (!version_name) return -1;
  if (add_attribute(module, version_name.get(), PyRef::steal(PyUnicode_FromString(kVersion))) != 0) return -1;

  PyRef error_name = PyRef::steal(PyUnicode_FromString("CorvatelError"));
  if (!error_name) return -1;
  if (add_attribute(module, error_name.get(), PyRef::steal(corvatel_error_type())) != 0) return -1;

  // The simulation fit's cost of a point it cannot simulate: a final cost
  // equal to it means the search found no admissible point.
  PyRef invalid_cost_name = PyRef::steal(PyUnicode_FromString("SIM_INVALID_COST"));
  if (!invalid_cost_name) return -1;
  if (add_attribute(module, invalid_cost_name.get(), PyRef::steal(PyFloat_FromDouble(INVALID_COST)), Listed::no) !=
      0) {
    return -1;
  }

  // The module's own names, listed in __all__.
  for (PyMethodDef* def : {&simulate_def, &fit_ez_def, &fit_sim_def}) {
    if (add_function(module, def, Listed::yes) != 0) return -1;
  }
  // Thread control, the likelihood layer and what the package's tables read
  // from the core (parameter table, statistics), wrapped by the package.
  for (PyMethodDef* def : {&set_num_threads_def, &get_num_threads_def, &wfpt_pdf_def, &wfpt_logpdf_def,
                           &wfpt_logpdf_grad_def, &wfpt_cdf_def, &wfpt_logcdf_def, &wfpt_cdf_complement_def, &wfpt_logcdf_complement_def,
                           &simulate_full_def, &fit_ml_def, &fit_ml_joint_def, &bounds_logpdf_def, &fit_bounds_ml_def,
                           &fit_bounds_ml_joint_def, &simulate_bounds_def, &memory_allows_def,
                           &parameters_def, &bound_terms_def, &check_params_def, &check_outlier_window_def, &summary_stats_def,
                           &information_criteria_def}) {
    if (add_function(module, def, Listed::no) != 0) return -1;
  }
  return warn_about_thread_environment();
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_corvatel",  // m_name
    "",           // m_doc
    0,            // m_size: no per-module state
    nullptr,      // m_methods: the execution step adds the functions
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace corvatel::py

PyMODINIT_FUNC PyInit__corvatel() { return PyModuleDef_Init(&corvatel::py::module_def); }
