// The walk with 8 trials in lanes, for AVX2: two 256-bit registers of
// doubles per quantity, the ChaCha8 words of all 8 lanes in one register.
#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>

#include "corvatel/internal/chacha_layout.h"
#include "corvatel/internal/exp_near.h"
#include "corvatel/internal/normal_bits.h"
#include "corvatel/internal/walk.h"

namespace corvatel::internal {

namespace {

constexpr unsigned kHalf = 4;
typedef double f64v __attribute__((vector_size(8 * kHalf)));
typedef std::int64_t i64v __attribute__((vector_size(8 * kHalf)));
typedef std::uint64_t u64v __attribute__((vector_size(8 * kHalf)));
typedef std::uint32_t u32h __attribute__((vector_size(4 * kHalf)));
typedef std::uint32_t u32v __attribute__((vector_size(8 * kHalf)));

// The two edges of each lane's layer (the low byte of its draw): one
// 16-byte load per lane from the table itself, half of them straight into
// the upper halves, then one interleave per edge. Gathers are slower on
// several processors.
inline void layer_edges(const double* x, const std::uint64_t* draws, f64v& edge, f64v& next_edge) {
  auto pair = [&](int e) { return _mm_loadu_pd(x + static_cast<std::uint8_t>(draws[e])); };
  const __m256d even = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(0)), pair(2), 1);
  const __m256d odd = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(1)), pair(3), 1);
  edge = (f64v)_mm256_unpacklo_pd(even, odd);
  next_edge = (f64v)_mm256_unpackhi_pd(even, odd);
}

inline std::uint32_t lane_bits(i64v mask) {
  return static_cast<std::uint32_t>(_mm256_movemask_pd((__m256d)mask));
}

// Lane masks are vectors of 0 or -1.
using Mask = i64v;
inline Mask due(i64v after, u64v resume) { return after > (i64v)resume; }
inline Mask outside(Mask m, f64v abs_z, f64v edge) { return m & ~(abs_z < edge); }
// Two compares that hold for NaN; the boundary and zero come straight from
// memory, so the test takes no register.
using Band = f64v;
inline Band make_band(double b) { return f64v{} + b; }
inline Mask leaves_band(f64v x, Band b) {
  return (Mask)_mm256_or_pd(_mm256_cmp_pd((__m256d)x, (__m256d)b, _CMP_NLT_UQ),
                            _mm256_cmp_pd((__m256d)x, _mm256_setzero_pd(), _CMP_NGT_UQ));
}
inline Mask or_at_limit(Mask m, i64v n, i64v last) { return m | (n > last); }
inline Mask only_lane(unsigned e) { return i64v{0, 1, 2, 3} == static_cast<std::int64_t>(e); }
inline Mask invert(Mask m) { return ~m; }
inline std::uint32_t mask_bits(Mask m) { return lane_bits(m); }
inline f64v pick(Mask m, f64v a, f64v b) { return m ? a : b; }
inline u64v pick(Mask m, u64v a, u64v b) { return m ? a : b; }
// Each lane's four entries in one 32-byte load, then a 4 x 4 transpose:
// faster than four gathers where gathers are slow.
struct StepEntries {
  f64v gain, noise, upper, lower;
};
inline void step_entries(const double* entry, i64v k, StepEntries& s) {
  auto row = [&](int e) { return _mm256_loadu_pd(entry + kStepEntries * static_cast<std::uint64_t>(k[e])); };
  const __m256d r0 = row(0), r1 = row(1), r2 = row(2), r3 = row(3);
  const __m256d even01 = _mm256_unpacklo_pd(r0, r1);  // lane 0's and 1's entries 0 and 2
  const __m256d odd01 = _mm256_unpackhi_pd(r0, r1);   // entries 1 and 3
  const __m256d even23 = _mm256_unpacklo_pd(r2, r3);
  const __m256d odd23 = _mm256_unpackhi_pd(r2, r3);
  static_assert(kGainEntry == 0 && kNoiseEntry == 1 && kUpperEntry == 2 && kLowerEntry == 3);
  s.gain = (f64v)_mm256_permute2f128_pd(even01, even23, 0x20);
  s.noise = (f64v)_mm256_permute2f128_pd(odd01, odd23, 0x20);
  s.upper = (f64v)_mm256_permute2f128_pd(even01, even23, 0x31);
  s.lower = (f64v)_mm256_permute2f128_pd(odd01, odd23, 0x31);
}
inline Mask leaves_bounds(Mask m, f64v x, f64v upper, f64v lower) {
  return m & (Mask)_mm256_or_pd(_mm256_cmp_pd((__m256d)x, (__m256d)upper, _CMP_NLT_UQ),
                                _mm256_cmp_pd((__m256d)x, (__m256d)lower, _CMP_NGT_UQ));
}

// Rotations by whole bytes are one byte shuffle.
template <int C>
inline u32v rotl(u32v v) {
  if constexpr (C == 16) {
    const __m256i turn = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                          2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    return (u32v)_mm256_shuffle_epi8((__m256i)v, turn);
  } else if constexpr (C == 8) {
    const __m256i turn = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                          3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    return (u32v)_mm256_shuffle_epi8((__m256i)v, turn);
  } else {
    return (v << C) | (v >> (32 - C));
  }
}

#include "walk_lanes.inc"

}  // namespace

void walk_lanes_avx2(const LaneSetup& setup, std::uint64_t first, std::uint64_t count, WalkEnd* out) {
  walk_lanes(setup, first, count, out);
}

}  // namespace corvatel::internal
