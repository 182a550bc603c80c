#include "corvatel/fp_environment.h"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace corvatel {

namespace {
#if defined(__x86_64__)
constexpr unsigned kDefaultMxcsr = 0x1F80;  // exceptions masked, round to nearest, no FTZ/DAZ
#endif
}  // namespace

void use_default_floating_point_environment() {
  std::fesetenv(FE_DFL_ENV);
#if defined(__x86_64__)
  _mm_setcsr(kDefaultMxcsr);
#endif
}

DefaultFloatingPointScope::DefaultFloatingPointScope() {
  std::fegetenv(&saved_);
#if defined(__x86_64__)
  saved_control_ = _mm_getcsr();
#endif
  use_default_floating_point_environment();
}

DefaultFloatingPointScope::~DefaultFloatingPointScope() {
  std::fesetenv(&saved_);
#if defined(__x86_64__)
  _mm_setcsr(saved_control_);
#endif
}

}  // namespace corvatel
