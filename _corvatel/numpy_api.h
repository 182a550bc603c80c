// NumPy's C interface, loaded on the first use of an array so that importing
// the module does not import NumPy.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL corvatel_ARRAY_API
#ifndef CORVATEL_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace corvatel::py {

// True once the interface is loaded; false with an exception set when NumPy
// cannot be imported.
bool ensure_numpy();

}  // namespace corvatel::py
