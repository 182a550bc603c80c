// The walk with 16 trials in lanes, for AVX-512 F: two 512-bit registers of
// doubles per quantity, the ChaCha8 words of all 16 lanes in one register.

// GCC 12 warns inside its own AVX-512 header, where several intrinsics start
// from a deliberately uninitialised register.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>
#include <cstring>
#include <utility>

#include "corvatel/internal/walk.h"

namespace corvatel::internal {

namespace {

constexpr unsigned kHalf = 8;
typedef double f64v __attribute__((vector_size(8 * kHalf)));
typedef std::int64_t i64v __attribute__((vector_size(8 * kHalf)));
typedef std::uint64_t u64v __attribute__((vector_size(8 * kHalf)));
typedef std::uint32_t u32h __attribute__((vector_size(4 * kHalf)));
typedef std::uint32_t u32v __attribute__((vector_size(8 * kHalf)));
typedef double f64q __attribute__((vector_size(32)));

// The two edges of each lane's layer (the low byte of its draw, read from
// memory): one 16-byte load per lane, then a transpose. Gathers are slower
// on several processors.
inline void layer_edges(const double* pairs, const std::uint64_t* draws, f64v& edge, f64v& next_edge) {
  __m128d q[8];
  for (int e = 0; e < 8; ++e) q[e] = _mm_load_pd(pairs + 2 * static_cast<std::uint8_t>(draws[e]));
  const __m256d e01 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_unpacklo_pd(q[0], q[1])), _mm_unpacklo_pd(q[2], q[3]), 1);
  const __m256d e45 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_unpacklo_pd(q[4], q[5])), _mm_unpacklo_pd(q[6], q[7]), 1);
  const __m256d n01 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_unpackhi_pd(q[0], q[1])), _mm_unpackhi_pd(q[2], q[3]), 1);
  const __m256d n45 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_unpackhi_pd(q[4], q[5])), _mm_unpackhi_pd(q[6], q[7]), 1);
  edge = __builtin_shufflevector((f64q)e01, (f64q)e45, 0, 1, 2, 3, 4, 5, 6, 7);
  next_edge = __builtin_shufflevector((f64q)n01, (f64q)n45, 0, 1, 2, 3, 4, 5, 6, 7);
}

inline std::uint32_t lane_bits(i64v mask) {
  return static_cast<std::uint32_t>(_mm512_test_epi64_mask((__m512i)mask, (__m512i)mask));
}

template <int C>
inline u32v rotl(u32v v) {
  // The zero-masked form starts from a zeroed register rather than an
  // undefined one.
  return (u32v)_mm512_maskz_rol_epi32(0xFFFF, (__m512i)v, C);
}

#include "walk_lanes.inc"

}  // namespace

void walk_lanes_avx512(const LaneSetup& setup, std::uint64_t first, std::uint64_t count, WalkEnd* out) {
  walk_lanes(setup, first, count, out);
}

}  // namespace corvatel::internal
