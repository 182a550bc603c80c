// The module's functions, one family per file; module.cpp adds them.
#pragma once

#include <Python.h>

namespace corvatel::py {

extern PyMethodDef simulate_def;  // simulate.cpp
extern PyMethodDef fit_ez_def;    // estimate.cpp
extern PyMethodDef fit_sim_def;   // fit.cpp
extern PyMethodDef set_num_threads_def;  // threads.cpp
extern PyMethodDef get_num_threads_def;  // threads.cpp

// A RuntimeWarning when CORVATEL_NUM_THREADS is set but not a valid count
// (the pool then ignores it). 0, or -1 with an exception set.
int warn_about_thread_environment();
extern PyMethodDef wfpt_pdf_def;     // density.cpp
extern PyMethodDef wfpt_logpdf_def;  // density.cpp
extern PyMethodDef wfpt_logpdf_grad_def;  // density.cpp
extern PyMethodDef wfpt_cdf_def;                  // density.cpp
extern PyMethodDef wfpt_logcdf_def;               // density.cpp
extern PyMethodDef wfpt_cdf_complement_def;       // density.cpp
extern PyMethodDef wfpt_logcdf_complement_def;    // density.cpp
extern PyMethodDef memory_allows_def;  // density.cpp
extern PyMethodDef simulate_full_def;  // simulate_full.cpp
extern PyMethodDef fit_ml_def;         // ml.cpp
extern PyMethodDef fit_ml_joint_def;   // ml.cpp
extern PyMethodDef bounds_logpdf_def;  // bounds.cpp
extern PyMethodDef fit_bounds_ml_def;  // bounds.cpp
extern PyMethodDef simulate_bounds_def;  // bounds.cpp
extern PyMethodDef fit_bounds_ml_joint_def;  // bounds.cpp
extern PyMethodDef parameters_def;     // parameters.cpp
extern PyMethodDef bound_terms_def;    // parameters.cpp
extern PyMethodDef check_params_def;   // parameters.cpp
extern PyMethodDef check_outlier_window_def;  // parameters.cpp
extern PyMethodDef summary_stats_def;  // stats.cpp
extern PyMethodDef information_criteria_def;  // stats.cpp

}  // namespace corvatel::py
