// Every result is defined under the default floating-point environment:
// round to nearest, and on x86 no flush-to-zero or denormals-are-zero. A
// thread that computes results must run in it, whatever its caller set.
#pragma once

#include <cfenv>

namespace corvatel {

// Sets the default environment on the calling thread.
void use_default_floating_point_environment();

// The default environment for the scope's duration; the caller's comes back
// at its end.
class DefaultFloatingPointScope {
 public:
  DefaultFloatingPointScope();
  ~DefaultFloatingPointScope();
  DefaultFloatingPointScope(const DefaultFloatingPointScope&) = delete;
  DefaultFloatingPointScope& operator=(const DefaultFloatingPointScope&) = delete;

 private:
  std::fenv_t saved_;
  unsigned saved_control_ = 0;  // x86: the whole MXCSR, flush-to-zero bits included
};

}  // namespace corvatel
