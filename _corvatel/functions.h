// The module's functions, one family per file; module.cpp adds them.
#pragma once

#include <Python.h>

namespace corvatel::py {

extern PyMethodDef simulate_def;  // simulate.cpp
extern PyMethodDef fit_ez_def;    // estimate.cpp
extern PyMethodDef fit_sim_def;   // fit.cpp
extern PyMethodDef wfpt_pdf_def;     // density.cpp
extern PyMethodDef wfpt_logpdf_def;  // density.cpp
extern PyMethodDef simulate_full_def;  // simulate_full.cpp
extern PyMethodDef fit_ml_def;         // ml.cpp
extern PyMethodDef fit_ml_joint_def;   // ml.cpp

}  // namespace corvatel::py
