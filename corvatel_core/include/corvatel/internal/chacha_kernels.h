// Four-block ChaCha8 kernels, one per instruction set. Internal to the core:
// callers use ChaCha8Rng; simd_dispatch.h lists the kernels and chooses one.
//
// Each kernel reads the 16-word block input (chacha_layout.h) and writes the
// keystream of the blocks with counters N, N + 1, N + 2, N + 3 (N being the
// counter words as one 64-bit number, carried across the two words) into
// out[0..63], block by block. Kernels never advance the counter; every kernel yields exactly the
// words of the portable one.
//
// This header is included by translation units compiled for wider
// instruction sets, so it must stay free of inline code.
#pragma once

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

}  // namespace corvatel::internal
