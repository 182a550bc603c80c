// Four-block ChaCha8 refill for AVX-512 (F and VL).
//
// Row layout across one 512-bit register per row: register r holds row r
// (words 4r..4r+3) of block N + i in its 128-bit lane i, so the whole refill
// lives in four registers. A column round is one vector quarter round, a
// diagonal round the same after turning three of the rows with vpshufd, and
// vprold does each rotation in one instruction: about 120 vector
// instructions per refill, against about 300 for the AVX2 kernel. Everything
// hangs on one dependency chain, but the refill is short enough that the
// processor overlaps it with the work around it; two 256-bit sets, or a
// word-sliced layout in 128-bit registers, shorten nothing on that chain and
// only add instructions. A 4x4 transpose of 128-bit lanes at the end writes
// the output block by block.

// GCC 12 warns inside its own AVX-512 header, where several intrinsics start
// from a deliberately uninitialised register.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>

#include "corvatel/internal/chacha_kernels.h"
#include "corvatel/internal/chacha_layout.h"

namespace corvatel::internal {

namespace {

inline void quarter_round(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
  a = _mm512_add_epi32(a, b); d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 16);
  c = _mm512_add_epi32(c, d); b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 12);
  a = _mm512_add_epi32(a, b); d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 8);
  c = _mm512_add_epi32(c, d); b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 7);
}

// The diagonal round is a column round after rows 0, 2, 3 turn by three, one,
// two words, which puts words (0, 5, 10, 15), (1, 6, 11, 12), ... in columns.
// Turning row 1 instead, as is more usual, would put a shuffle between its
// last rotation and the next addition on the critical path; rows 0, 2, 3 are
// not needed again for a few instructions, so their shuffles cost no latency.
inline void double_round(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
  quarter_round(a, b, c, d);
  a = _mm512_shuffle_epi32(a, _MM_PERM_CBAD);
  c = _mm512_shuffle_epi32(c, _MM_PERM_ADCB);
  d = _mm512_shuffle_epi32(d, _MM_PERM_BADC);
  quarter_round(a, b, c, d);
  a = _mm512_shuffle_epi32(a, _MM_PERM_ADCB);
  c = _mm512_shuffle_epi32(c, _MM_PERM_CBAD);
  d = _mm512_shuffle_epi32(d, _MM_PERM_BADC);
}

inline __m512i load_row_four_times(const std::uint32_t* p) {
  return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

}  // namespace

void refill4_avx512(const std::uint32_t input[16], std::uint32_t out[64]) {
  const __m512i r0 = load_row_four_times(input + kConstantWord);
  const __m512i r1 = load_row_four_times(input + kKeyWord);
  const __m512i r2 = load_row_four_times(input + kKeyWord + 4);
  // Words 12 and 13 are read one by one: refill_wide has just stored them
  // that way, and a wide load over two fresh narrow stores waits until they
  // reach the cache, which would keep back-to-back refills from overlapping.
  const __m512i counter = _mm512_unpacklo_epi32(_mm512_set1_epi32(static_cast<int>(input[kCounterWord])),
                                                _mm512_set1_epi32(static_cast<int>(input[kCounterWord + 1])));
  const __m512i stream =
      _mm512_broadcastq_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(input + kStreamWord)));
  // Row 3 of each lane, words 12 and 13 being its low 64-bit element: a
  // 64-bit add gives each block its counter, carry and wrap modulo 2^64
  // included.
  const __m512i r3 = _mm512_add_epi64(_mm512_unpacklo_epi64(counter, stream),
                                      _mm512_set_epi64(0, 3, 0, 2, 0, 1, 0, 0));

  __m512i x0 = r0, x1 = r1, x2 = r2, x3 = r3;
  for (int i = 0; i < 4; ++i) double_round(x0, x1, x2, x3);  // ChaCha8
  x0 = _mm512_add_epi32(x0, r0);
  x1 = _mm512_add_epi32(x1, r1);
  x2 = _mm512_add_epi32(x2, r2);
  x3 = _mm512_add_epi32(x3, r3);

  // Lane i of x0..x3 is block N + i: gather each block's four lanes.
  const __m512i t0 = _mm512_shuffle_i32x4(x0, x1, _MM_SHUFFLE(1, 0, 1, 0));  // blocks 0, 1
  const __m512i t1 = _mm512_shuffle_i32x4(x0, x1, _MM_SHUFFLE(3, 2, 3, 2));  // blocks 2, 3
  const __m512i t2 = _mm512_shuffle_i32x4(x2, x3, _MM_SHUFFLE(1, 0, 1, 0));
  const __m512i t3 = _mm512_shuffle_i32x4(x2, x3, _MM_SHUFFLE(3, 2, 3, 2));
  _mm512_storeu_si512(out, _mm512_shuffle_i32x4(t0, t2, _MM_SHUFFLE(2, 0, 2, 0)));
  _mm512_storeu_si512(out + 16, _mm512_shuffle_i32x4(t0, t2, _MM_SHUFFLE(3, 1, 3, 1)));
  _mm512_storeu_si512(out + 32, _mm512_shuffle_i32x4(t1, t3, _MM_SHUFFLE(2, 0, 2, 0)));
  _mm512_storeu_si512(out + 48, _mm512_shuffle_i32x4(t1, t3, _MM_SHUFFLE(3, 1, 3, 1)));
}

}  // namespace corvatel::internal
