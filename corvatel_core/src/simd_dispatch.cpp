#include "corvatel/internal/simd_dispatch.h"

#include <cstdlib>
#include <cstring>

#include "corvatel/internal/cpu_features.h"

namespace corvatel::internal {

namespace {

SimdPath read_tier_cap() {
  const char* forced = std::getenv("CORVATEL_SIMD");
  if (forced != nullptr) {
    for (unsigned i = 0; i < kSimdPathCount; ++i) {
      if (std::strcmp(forced, simd_path_name(static_cast<SimdPath>(i))) == 0) return static_cast<SimdPath>(i);
    }
  }
  return SimdPath::avx512;
}

bool within_cap(SimdPath tier) { return static_cast<unsigned>(tier) <= static_cast<unsigned>(simd_tier_cap()); }

const RefillKernelInfo& chosen_refill() {
  // The list runs from narrowest to widest; take the widest allowed one.
  static const RefillKernelInfo& info = []() -> const RefillKernelInfo& {
    const RefillKernelInfo* all = refill_kernels();
    std::size_t best = 0;
    for (std::size_t i = 0; i < kRefillKernelCount; ++i) {
      if (all[i].supported && within_cap(all[i].tier)) best = i;
    }
    return all[best];
  }();
  return info;
}

}  // namespace

const char* simd_path_name(SimdPath path) {
  switch (path) {
    case SimdPath::scalar: return "scalar";
    case SimdPath::avx2: return "avx2";
    case SimdPath::avx512: return "avx512";
  }
  return "scalar";
}

bool simd_path_supported(SimdPath path) {
  switch (path) {
    case SimdPath::scalar: return true;
#if defined(__x86_64__)
    // The lanes exist on x86-64 only (walk.h); the AVX-512 kernel is
    // compiled with the AVX2 instructions that AVX-512 F implies.
    case SimdPath::avx2: return cpu_features().avx2;
    case SimdPath::avx512: return cpu_features().avx2 && cpu_features().avx512f;
#endif
    default: return false;
  }
}

SimdPath simd_tier_cap() {
  static const SimdPath cap = read_tier_cap();
  return cap;
}

SimdPath chosen_simd_path() {
  static const SimdPath path = [] {
    SimdPath widest = SimdPath::scalar;
    for (unsigned i = 0; i < kSimdPathCount; ++i) {
      const auto p = static_cast<SimdPath>(i);
      if (simd_path_supported(p) && within_cap(p)) widest = p;
    }
    return widest;
  }();
  return path;
}

const RefillKernelInfo* refill_kernels() {
#if defined(__x86_64__)
  static const RefillKernelInfo kernels[kRefillKernelCount] = {
      {"scalar", refill4_scalar, true, SimdPath::scalar},
      {"sse2", refill4_sse2, cpu_features().sse2, SimdPath::scalar},
      {"ssse3", refill4_ssse3, cpu_features().ssse3, SimdPath::scalar},
      {"avx2", refill4_avx2, cpu_features().avx2, SimdPath::avx2},
      {"avx512", refill4_avx512, cpu_features().avx512f && cpu_features().avx512vl, SimdPath::avx512},
  };
#else
  // No vector kernel here: the portable one serves every processor.
  static const RefillKernelInfo kernels[kRefillKernelCount] = {
      {"scalar", refill4_scalar, true, SimdPath::scalar},
  };
#endif
  return kernels;
}

RefillKernel chosen_refill_kernel() { return chosen_refill().kernel; }
const char* chosen_refill_kernel_name() { return chosen_refill().name; }

}  // namespace corvatel::internal
