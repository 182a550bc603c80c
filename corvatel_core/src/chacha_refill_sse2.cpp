// Four-block ChaCha8 refill for plain SSE2, the x86-64 baseline.
//
// The word-sliced layout (chacha_refill_word_sliced.inc). Sixteen state
// registers are all x86-64 has, so the compiler spills a few; a row layout,
// with three shuffles per block and half round, still needs more
// instructions in all. SSE2 has no byte shuffle, so rotations by 12, 8 and 7
// are shift, shift, or.
#include <emmintrin.h>

#include <cstdint>

#include "corvatel/internal/chacha_kernels.h"
#include "corvatel/internal/chacha_layout.h"

namespace corvatel::internal {

namespace {

template <int C>
inline __m128i rotl(__m128i v) {
  return _mm_or_si128(_mm_slli_epi32(v, C), _mm_srli_epi32(v, 32 - C));
}

// Swapping the 16-bit halves of each word takes two shuffles instead of
// three instructions and a copy.
inline __m128i rotl16(__m128i v) {
  const __m128i low_swapped = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_shufflehi_epi16(low_swapped, _MM_SHUFFLE(2, 3, 0, 1));
}

inline __m128i rotl8(__m128i v) { return rotl<8>(v); }

#include "chacha_refill_word_sliced.inc"

}  // namespace

void refill4_sse2(const std::uint32_t input[16], std::uint32_t out[64]) { refill_word_sliced(input, out); }

}  // namespace corvatel::internal
