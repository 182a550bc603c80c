// ReleaseGil: lets other Python threads run while the core computes. Code in
// its scope must not touch any Python object.
#pragma once

#include <Python.h>

namespace corvatel::py {

class ReleaseGil {
 public:
  ReleaseGil() : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace corvatel::py
