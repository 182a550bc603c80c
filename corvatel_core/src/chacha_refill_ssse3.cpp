// Four-block ChaCha8 refill for SSSE3.
//
// The same word-sliced layout as the SSE2 kernel (register j holds word j of
// all four blocks, one lane per block, transposed back to block order at the
// end), because it needs no shuffles between column and diagonal rounds. The
// difference is in the rotations: by 16 and by 8 the bits move by whole
// bytes, so one pshufb replaces the shift, shift, or; rotations by 12 and 7
// still take three instructions.
#include <tmmintrin.h>

#include <cstdint>

#include "corvatel/internal/chacha_kernels.h"
#include "corvatel/internal/chacha_layout.h"

namespace corvatel::internal {

namespace {

template <int C>
inline __m128i rotl(__m128i v) {
  return _mm_or_si128(_mm_slli_epi32(v, C), _mm_srli_epi32(v, 32 - C));
}

// Byte k of each result word is byte (k - 2) mod 4, resp. (k - 1) mod 4, of
// the source word (bytes counted from the least significant).
inline __m128i rotl16(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2));
}

inline __m128i rotl8(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3));
}

#include "chacha_refill_word_sliced.inc"

}  // namespace

void refill4_ssse3(const std::uint32_t input[16], std::uint32_t out[64]) { refill_word_sliced(input, out); }

}  // namespace corvatel::internal
