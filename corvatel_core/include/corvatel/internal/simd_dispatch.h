// The kernels this process runs: the evidence walk's path and the ChaCha8
// refill kernel, each chosen once from what the processor supports
// (cpu_features.h) and what CORVATEL_SIMD allows. Kernels are defined in
// their own files (walk.h, chacha_kernels.h); only the choice is made here.
//
// CORVATEL_SIMD names a tier, "scalar", "avx2" or "avx512", and caps both
// choices at it: each takes its widest kernel of that tier or below that
// the processor supports, so a tier the processor lacks falls back to the
// widest one below it that it has. Any other value, like none, caps
// nothing. "scalar" names the walk's path of one trial at a time; for the
// refill it allows the kernels in 128-bit registers (SSE2, SSSE3), which
// the baseline x86-64 code around them uses as well, and rules out only
// the AVX2 and AVX-512 ones. A process forced to "scalar" so runs no
// instruction on 256-bit or wider registers, and its refill is still the
// one a processor without AVX2 would take. Every kernel yields the bits of
// the portable one, so the choice changes speed only.
//
// This header is included by translation units compiled for wider
// instruction sets, so it must stay free of inline code.
#pragma once

#include <cstddef>

#include "corvatel/internal/chacha_kernels.h"

namespace corvatel::internal {

// The walk's paths, which are also the tiers CORVATEL_SIMD names, narrowest
// first.
enum class SimdPath : unsigned { scalar, avx2, avx512 };
inline constexpr unsigned kSimdPathCount = 3;

// Lowercase name, as CORVATEL_SIMD takes it.
const char* simd_path_name(SimdPath path);
// This processor and OS can run it (the scalar path everywhere).
bool simd_path_supported(SimdPath path);
// The widest tier CORVATEL_SIMD allows, read once: the tier it names, else
// avx512.
SimdPath simd_tier_cap();
// The walk's path of this process, chosen once: the widest supported path
// not wider than the cap.
SimdPath chosen_simd_path();

struct RefillKernelInfo {
  const char* name;
  RefillKernel kernel;
  bool supported;  // this processor can run it
  SimdPath tier;   // the narrowest CORVATEL_SIMD tier that allows it
};

// Every refill kernel, the portable one first and the others from narrowest
// to widest, with whether this processor runs it. The array has
// kRefillKernelCount entries.
#if defined(__x86_64__)
inline constexpr std::size_t kRefillKernelCount = 5;
#else
inline constexpr std::size_t kRefillKernelCount = 1;
#endif
const RefillKernelInfo* refill_kernels();

// The refill kernel of this process, chosen once: the widest supported one
// whose tier is not wider than the cap.
RefillKernel chosen_refill_kernel();
const char* chosen_refill_kernel_name();

}  // namespace corvatel::internal
