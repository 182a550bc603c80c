// The portable four-block refill, the definition every vector kernel must
// reproduce, and the run-time choice among the kernels.
#include "corvatel/internal/chacha_kernels.h"

namespace corvatel::internal {

namespace {

inline std::uint32_t rotl(std::uint32_t v, int c) { return (v << c) | (v >> (32 - c)); }

inline void quarter_round(std::uint32_t x[16], int a, int b, int c, int d) {
  x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 16);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 12);
  x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 8);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 7);
}

}  // namespace

void chacha8_block(const std::uint32_t input[16], std::uint32_t out[16]) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  for (int round = 0; round < 4; ++round) {  // four double rounds: ChaCha8
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

void refill4_scalar(const std::uint32_t input[16], std::uint32_t out[64]) {
  std::uint32_t in[16];
  for (int i = 0; i < 16; ++i) in[i] = input[i];
  const std::uint64_t counter = (static_cast<std::uint64_t>(input[13]) << 32) | input[12];
  for (unsigned b = 0; b < 4; ++b) {
    const std::uint64_t c = counter + b;  // wraps modulo 2^64
    in[12] = static_cast<std::uint32_t>(c);
    in[13] = static_cast<std::uint32_t>(c >> 32);
    chacha8_block(in, out + 16 * b);
  }
}

const RefillKernelInfo* refill_kernels() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  static const RefillKernelInfo kernels[kRefillKernelCount] = {
      {"scalar", refill4_scalar, true},
      {"sse2", refill4_sse2, __builtin_cpu_supports("sse2") != 0},
      {"ssse3", refill4_ssse3, __builtin_cpu_supports("ssse3") != 0},
      {"avx2", refill4_avx2, __builtin_cpu_supports("avx2") != 0},
      {"avx512", refill4_avx512,
       __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0},
  };
#else
  // No vector kernel here: the portable one serves every processor.
  static const RefillKernelInfo kernels[kRefillKernelCount] = {
      {"scalar", refill4_scalar, true},
  };
#endif
  return kernels;
}

namespace {
const RefillKernelInfo& chosen() {
  // The list runs from narrowest to widest; take the widest supported one.
  static const RefillKernelInfo& info = [] () -> const RefillKernelInfo& {
    const RefillKernelInfo* all = refill_kernels();
    std::size_t best = 0;
    for (std::size_t i = 0; i < kRefillKernelCount; ++i) {
      if (all[i].supported) best = i;
    }
    return all[best];
  }();
  return info;
}
}  // namespace

RefillKernel chosen_refill_kernel() { return chosen().kernel; }
const char* chosen_refill_kernel_name() { return chosen().name; }

}  // namespace corvatel::internal
