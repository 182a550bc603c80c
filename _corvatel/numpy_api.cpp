#define CORVATEL_NUMPY_API_OWNER
#include "numpy_api.h"

namespace corvatel::py {

bool ensure_numpy() { return PyArray_ImportNumPyAPI() == 0; }

}  // namespace corvatel::py
