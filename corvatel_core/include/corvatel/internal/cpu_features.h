// What this processor and its operating system let the core run, detected
// once per process: CPUID for the instruction sets, XGETBV for the register
// state the operating system saves on a context switch (without it, AVX and
// AVX-512 instructions fault although CPUID lists them). On processors other
// than x86-64 every flag is false.
//
// Detection only: simd_dispatch.h chooses the kernels from these flags and
// CORVATEL_SIMD. This header is included by translation units compiled for
// wider instruction sets, so it must stay free of inline code.
#pragma once

namespace corvatel::internal {

struct CpuFeatures {
  bool sse2 = false;
  bool ssse3 = false;
  bool avx2 = false;      // and the OS saves the 256-bit registers
  bool avx512f = false;   // and the OS saves the 512-bit and mask registers
  bool avx512vl = false;  // likewise
};

// Detected on first use; the flags never change afterwards.
const CpuFeatures& cpu_features();

}  // namespace corvatel::internal
