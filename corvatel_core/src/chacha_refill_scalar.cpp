// The portable four-block refill, the definition every vector kernel must
// reproduce.
#include "corvatel/internal/chacha_kernels.h"

#include "corvatel/internal/chacha_layout.h"

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
  std::uint32_t in[kChaChaWords];
  for (unsigned i = 0; i < kChaChaWords; ++i) in[i] = input[i];
  const std::uint64_t counter = get_u64(input, kCounterWord);
  for (unsigned b = 0; b < 4; ++b) {
    put_u64(in, kCounterWord, counter + b);  // wraps modulo 2^64
    chacha8_block(in, out + kChaChaWords * b);
  }
}

}  // namespace corvatel::internal
