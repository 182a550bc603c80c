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

inline void quarter_round(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  a = _mm_add_epi32(a, b); d = rotl16(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d); b = rotl<12>(_mm_xor_si128(b, c));
  a = _mm_add_epi32(a, b); d = rotl8(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d); b = rotl<7>(_mm_xor_si128(b, c));
}

inline __m128i load_row(const std::uint32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Word k of a row, copied into all four lanes.
template <int K>
inline __m128i splat(__m128i row) {
  return _mm_shuffle_epi32(row, K * 0x55);
}

// Four word-sliced registers (words 4r..4r+3) become row r of each block.
inline void store_transposed(__m128i w0, __m128i w1, __m128i w2, __m128i w3,
                             std::uint32_t* out) {
  const __m128i t0 = _mm_unpacklo_epi32(w0, w1);  // blocks 0, 1
  const __m128i t1 = _mm_unpacklo_epi32(w2, w3);
  const __m128i t2 = _mm_unpackhi_epi32(w0, w1);  // blocks 2, 3
  const __m128i t3 = _mm_unpackhi_epi32(w2, w3);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi64(t0, t1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi64(t0, t1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_unpacklo_epi64(t2, t3));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 48), _mm_unpackhi_epi64(t2, t3));
}

}  // namespace

void refill4_ssse3(const std::uint32_t input[16], std::uint32_t out[64]) {
  const __m128i r0 = load_row(input);
  const __m128i r1 = load_row(input + 4);
  const __m128i r2 = load_row(input + 8);
  // Words 12 and 13 are read one by one: refill_wide has just stored them
  // that way, and a wide load over two fresh narrow stores waits until they
  // reach the cache, which would keep back-to-back refills from overlapping.
  const __m128i lo = _mm_set1_epi32(static_cast<int>(input[12]));
  const __m128i hi = _mm_set1_epi32(static_cast<int>(input[13]));
  const __m128i stream = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(input + 14));

  // Lane i counts block N + i. There is no unsigned compare before AVX-512,
  // so flipping the top bit turns "the low word wrapped" into a signed
  // less-than; its all-ones mask is -1, and subtracting it carries into
  // word 13.
  const __m128i ctr_lo = _mm_add_epi32(lo, _mm_set_epi32(3, 2, 1, 0));
  const __m128i top = _mm_set1_epi32(static_cast<int>(0x80000000u));
  const __m128i carry =
      _mm_cmplt_epi32(_mm_xor_si128(ctr_lo, top), _mm_xor_si128(lo, top));
  const __m128i ctr_hi = _mm_sub_epi32(hi, carry);

  __m128i x0 = splat<0>(r0), x1 = splat<1>(r0), x2 = splat<2>(r0), x3 = splat<3>(r0);
  __m128i x4 = splat<0>(r1), x5 = splat<1>(r1), x6 = splat<2>(r1), x7 = splat<3>(r1);
  __m128i x8 = splat<0>(r2), x9 = splat<1>(r2), x10 = splat<2>(r2), x11 = splat<3>(r2);
  __m128i x12 = ctr_lo, x13 = ctr_hi, x14 = splat<0>(stream), x15 = splat<1>(stream);

  for (int i = 0; i < 4; ++i) {  // four double rounds: ChaCha8
    quarter_round(x0, x4, x8, x12);
    quarter_round(x1, x5, x9, x13);
    quarter_round(x2, x6, x10, x14);
    quarter_round(x3, x7, x11, x15);
    quarter_round(x0, x5, x10, x15);
    quarter_round(x1, x6, x11, x12);
    quarter_round(x2, x7, x8, x13);
    quarter_round(x3, x4, x9, x14);
  }

  x0 = _mm_add_epi32(x0, splat<0>(r0));
  x1 = _mm_add_epi32(x1, splat<1>(r0));
  x2 = _mm_add_epi32(x2, splat<2>(r0));
  x3 = _mm_add_epi32(x3, splat<3>(r0));
  x4 = _mm_add_epi32(x4, splat<0>(r1));
  x5 = _mm_add_epi32(x5, splat<1>(r1));
  x6 = _mm_add_epi32(x6, splat<2>(r1));
  x7 = _mm_add_epi32(x7, splat<3>(r1));
  x8 = _mm_add_epi32(x8, splat<0>(r2));
  x9 = _mm_add_epi32(x9, splat<1>(r2));
  x10 = _mm_add_epi32(x10, splat<2>(r2));
  x11 = _mm_add_epi32(x11, splat<3>(r2));
  x12 = _mm_add_epi32(x12, ctr_lo);
  x13 = _mm_add_epi32(x13, ctr_hi);
  x14 = _mm_add_epi32(x14, splat<0>(stream));
  x15 = _mm_add_epi32(x15, splat<1>(stream));

  store_transposed(x0, x1, x2, x3, out);
  store_transposed(x4, x5, x6, x7, out + 4);
  store_transposed(x8, x9, x10, x11, out + 8);
  store_transposed(x12, x13, x14, x15, out + 12);
}

}  // namespace corvatel::internal
