// Four-block ChaCha8 kernels, one per instruction set, and the choice among
// them. Internal to the core: callers use ChaCha8Rng.
//
// Each kernel reads the 16-word block input and writes the keystream of the
// blocks with counters N, N + 1, N + 2, N + 3 (N being words 12 and 13 as one
// 64-bit number, carried across the two words) into out[0..63], block by
// block. Kernels never advance the counter; every kernel yields exactly the
// words of the portable one.
//
// This header is included by translation units compiled for wider
// instruction sets, so it must stay free of inline code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvatel::internal {

using RefillKernel = void (*)(const std::uint32_t input[16], std::uint32_t out[64]);

// One block of the portable definition: the 16 words of block `input`.
void chacha8_block(const std::uint32_t input[16], std::uint32_t out[16]);

void refill4_scalar(const std::uint32_t input[16], std::uint32_t out[64]);
// The vector kernels exist on x86-64 only (see CORVATEL_X86_SOURCES).
#if defined(__x86_64__)
void refill4_sse2(const std::uint32_t input[16], std::uint32_t out[64]);
void refill4_ssse3(const std::uint32_t input[16], std::uint32_t out[64]);
void refill4_avx2(const std::uint32_t input[16], std::uint32_t out[64]);
void refill4_avx512(const std::uint32_t input[16], std::uint32_t out[64]);
#endif

struct RefillKernelInfo {
  const char* name;
  RefillKernel kernel;
  bool supported;  // this processor can run it
};

// Every kernel, the portable one first, with whether this processor runs it.
// The array has kRefillKernelCount entries.
#if defined(__x86_64__)
constexpr std::size_t kRefillKernelCount = 5;
#else
constexpr std::size_t kRefillKernelCount = 1;
#endif
const RefillKernelInfo* refill_kernels();

// The kernel chosen for this process: the widest one the processor runs.
RefillKernel chosen_refill_kernel();
const char* chosen_refill_kernel_name();

}  // namespace corvatel::internal
