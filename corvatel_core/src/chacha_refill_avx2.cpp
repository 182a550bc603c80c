// Four-block ChaCha8 refill for AVX2.
//
// Row layout, two blocks per 256-bit register: register r of a pair holds row
// r (words 4r..4r+3) of one block in its low 128-bit half and of the next
// block in its high half, and two such sets of four registers carry blocks
// N, N + 1 and N + 2, N + 3. A column round is then one vector quarter round
// per set, and a diagonal round is the same after turning three of the rows
// with vpshufd. That is about 300 vector instructions per refill, where a
// word-sliced layout would leave half of every register idle and take about
// 500. The two sets are independent chains, which hides part of the latency.
// Rotations by 16 and 8 are byte shuffles; by 12 and 7 there is no single
// instruction before AVX-512.
#include <immintrin.h>

#include <cstdint>

#include "corvatel/internal/chacha_kernels.h"
#include "corvatel/internal/chacha_layout.h"

namespace corvatel::internal {

namespace {

template <int C>
inline __m256i rotl(__m256i v) {
  return _mm256_or_si256(_mm256_slli_epi32(v, C), _mm256_srli_epi32(v, 32 - C));
}

// Byte k of each result word is byte (k - 2) mod 4, resp. (k - 1) mod 4, of
// the source word; vpshufb works within each 128-bit half, so the pattern
// repeats.
inline __m256i rotl16(__m256i v) {
  return _mm256_shuffle_epi8(
      v, _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2,
                         13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2));
}

inline __m256i rotl8(__m256i v) {
  return _mm256_shuffle_epi8(
      v, _mm256_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3,
                         14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3));
}

inline void quarter_round(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  a = _mm256_add_epi32(a, b); d = rotl16(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d); b = rotl<12>(_mm256_xor_si256(b, c));
  a = _mm256_add_epi32(a, b); d = rotl8(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d); b = rotl<7>(_mm256_xor_si256(b, c));
}

// The diagonal round is a column round after rows 0, 2, 3 turn by three, one,
// two words, which puts words (0, 5, 10, 15), (1, 6, 11, 12), ... in columns.
// Turning row 1 instead, as is more usual, would put a shuffle between its
// last rotation and the next addition on the critical path; rows 0, 2, 3 are
// not needed again for a few instructions, so their shuffles cost no latency.
inline void double_round(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  quarter_round(a, b, c, d);
  a = _mm256_shuffle_epi32(a, _MM_SHUFFLE(2, 1, 0, 3));
  c = _mm256_shuffle_epi32(c, _MM_SHUFFLE(0, 3, 2, 1));
  d = _mm256_shuffle_epi32(d, _MM_SHUFFLE(1, 0, 3, 2));
  quarter_round(a, b, c, d);
  a = _mm256_shuffle_epi32(a, _MM_SHUFFLE(0, 3, 2, 1));
  c = _mm256_shuffle_epi32(c, _MM_SHUFFLE(2, 1, 0, 3));
  d = _mm256_shuffle_epi32(d, _MM_SHUFFLE(1, 0, 3, 2));
}

inline __m256i load_row_twice(const std::uint32_t* p) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Writes the two blocks of one set: the low halves form the first block, the
// high halves the second.
inline void store_pair(__m256i x0, __m256i x1, __m256i x2, __m256i x3, std::uint32_t* out) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(x0, x1, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8),
                      _mm256_permute2x128_si256(x2, x3, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16),
                      _mm256_permute2x128_si256(x0, x1, 0x31));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 24),
                      _mm256_permute2x128_si256(x2, x3, 0x31));
}

}  // namespace

void refill4_avx2(const std::uint32_t input[16], std::uint32_t out[64]) {
  const __m256i r0 = load_row_twice(input + kConstantWord);
  const __m256i r1 = load_row_twice(input + kKeyWord);
  const __m256i r2 = load_row_twice(input + kKeyWord + 4);
  // Words 12 and 13 are read one by one: refill_wide has just stored them
  // that way, and a wide load over two fresh narrow stores waits until they
  // reach the cache, which would keep back-to-back refills from overlapping.
  const __m256i counter = _mm256_unpacklo_epi32(_mm256_set1_epi32(static_cast<int>(input[kCounterWord])),
                                                _mm256_set1_epi32(static_cast<int>(input[kCounterWord + 1])));
  const __m256i stream =
      _mm256_broadcastq_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(input + kStreamWord)));
  // Row 3 of each half, words 12 and 13 being its low 64-bit element: a
  // 64-bit add gives each block its counter, carry and wrap modulo 2^64
  // included.
  const __m256i r3 = _mm256_unpacklo_epi64(counter, stream);
  const __m256i r3a = _mm256_add_epi64(r3, _mm256_set_epi64x(0, 1, 0, 0));
  const __m256i r3b = _mm256_add_epi64(r3, _mm256_set_epi64x(0, 3, 0, 2));

  __m256i a0 = r0, a1 = r1, a2 = r2, a3 = r3a;
  __m256i b0 = r0, b1 = r1, b2 = r2, b3 = r3b;
  for (int i = 0; i < 4; ++i) {  // four double rounds: ChaCha8
    double_round(a0, a1, a2, a3);
    double_round(b0, b1, b2, b3);
  }

  a0 = _mm256_add_epi32(a0, r0);
  a1 = _mm256_add_epi32(a1, r1);
  a2 = _mm256_add_epi32(a2, r2);
  a3 = _mm256_add_epi32(a3, r3a);
  b0 = _mm256_add_epi32(b0, r0);
  b1 = _mm256_add_epi32(b1, r1);
  b2 = _mm256_add_epi32(b2, r2);
  b3 = _mm256_add_epi32(b3, r3b);
  store_pair(a0, a1, a2, a3, out);
  store_pair(b0, b1, b2, b3, out + 32);
}

}  // namespace corvatel::internal
