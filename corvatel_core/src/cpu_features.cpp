#include "corvatel/internal/cpu_features.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace corvatel::internal {

namespace {

#if defined(__x86_64__)

CpuFeatures detect() {
  CpuFeatures f;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return f;
  // Every x86-64 operating system saves the 128-bit registers.
  f.sse2 = (edx & (1u << 26)) != 0;
  f.ssse3 = (ecx & (1u << 9)) != 0;
  const bool osxsave = (ecx & (1u << 27)) != 0;
  const bool avx = (ecx & (1u << 28)) != 0;
  if (!osxsave || !avx) return f;
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  const bool ymm_state = (xcr0_lo & 0x6u) == 0x6u;    // SSE and AVX state
  const bool zmm_state = (xcr0_lo & 0xE6u) == 0xE6u;  // plus opmask and both ZMM halves
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return f;
  f.avx2 = ymm_state && (ebx & (1u << 5)) != 0;
  f.avx512f = zmm_state && (ebx & (1u << 16)) != 0;
  f.avx512vl = zmm_state && (ebx & (1u << 31)) != 0;
  return f;
}

#else

CpuFeatures detect() { return {}; }

#endif

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace corvatel::internal
