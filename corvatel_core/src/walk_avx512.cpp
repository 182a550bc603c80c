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
#include <tuple>
#include <utility>

#include "corvatel/internal/chacha_layout.h"
#include "corvatel/internal/exp_near.h"
#include "corvatel/internal/normal_bits.h"
#include "corvatel/internal/walk.h"

namespace corvatel::internal {

namespace {

constexpr unsigned kHalf = 8;
typedef double f64v __attribute__((vector_size(8 * kHalf)));
typedef std::int64_t i64v __attribute__((vector_size(8 * kHalf)));
typedef std::uint64_t u64v __attribute__((vector_size(8 * kHalf)));
typedef std::uint32_t u32h __attribute__((vector_size(4 * kHalf)));
typedef std::uint32_t u32v __attribute__((vector_size(8 * kHalf)));

// The two edges of each lane's layer (the low byte of its draw): one
// 16-byte load per lane from the table itself, most of them straight into
// their quarter of the register, then one interleave per edge. Gathers are
// slower on several processors.
inline void layer_edges(const double* x, const std::uint64_t* draws, f64v& edge, f64v& next_edge) {
  auto pair = [&](int e) { return _mm_loadu_ps(reinterpret_cast<const float*>(x + static_cast<std::uint8_t>(draws[e]))); };
  auto quarters = [&](int e) {
    __m512 v = _mm512_zextps128_ps512(pair(e));
    v = _mm512_insertf32x4(v, pair(e + 2), 1);
    v = _mm512_insertf32x4(v, pair(e + 4), 2);
    return _mm512_castps_pd(_mm512_insertf32x4(v, pair(e + 6), 3));
  };
  const __m512d even = quarters(0);
  const __m512d odd = quarters(1);
  edge = __builtin_shufflevector((f64v)even, (f64v)odd, 0, 8, 2, 10, 4, 12, 6, 14);
  next_edge = __builtin_shufflevector((f64v)even, (f64v)odd, 1, 9, 3, 11, 5, 13, 7, 15);
}

inline std::uint32_t lane_bits(i64v mask) {
  return static_cast<std::uint32_t>(_mm512_test_epi64_mask((__m512i)mask, (__m512i)mask));
}

// Lane masks are the mask registers that compares write, so that a test or
// a blend needs no conversion.
using Mask = __mmask8;
inline Mask due(i64v after, u64v resume) { return _mm512_cmpgt_epi64_mask((__m512i)after, (__m512i)resume); }
inline Mask outside(Mask m, f64v abs_z, f64v edge) {
  return _mm512_mask_cmp_pd_mask(m, (__m512d)abs_z, (__m512d)edge, _CMP_NLT_UQ);
}
// Two unordered compares (true for NaN) into masks; the boundary and zero
// need no register of their own.
using Band = f64v;
inline Band make_band(double b) { return f64v{} + b; }
inline Mask leaves_band(f64v x, Band b) {
  return static_cast<Mask>(_mm512_cmp_pd_mask((__m512d)x, (__m512d)b, _CMP_NLT_UQ) |
                           _mm512_cmp_pd_mask((__m512d)x, _mm512_setzero_pd(), _CMP_NGT_UQ));
}
inline Mask or_at_limit(Mask m, i64v n, i64v last) {
  return static_cast<Mask>(m | _mm512_cmpgt_epi64_mask((__m512i)n, (__m512i)last));
}
inline Mask only_lane(unsigned e) { return static_cast<Mask>(1u << e); }
inline Mask invert(Mask m) { return static_cast<Mask>(~m); }
inline std::uint32_t mask_bits(Mask m) { return m; }
inline f64v pick(Mask m, f64v a, f64v b) { return (f64v)_mm512_mask_blend_pd(m, (__m512d)b, (__m512d)a); }
inline u64v pick(Mask m, u64v a, u64v b) { return (u64v)_mm512_mask_blend_epi64(m, (__m512i)b, (__m512i)a); }
// One gather per entry, each lane's at 8 kStepEntries k + 8 j bytes. The
// masked form starts from a zeroed register rather than an undefined one.
struct StepEntries {
  f64v gain, noise, upper, lower;
};
inline f64v gather_entry(const double* entry, i64v k, unsigned j) {
  return (f64v)_mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, (__m512i)(k * kStepEntries), entry + j, 8);
}
inline void step_entries(const double* entry, i64v k, StepEntries& s) {
  s.gain = gather_entry(entry, k, kGainEntry);
  s.noise = gather_entry(entry, k, kNoiseEntry);
  s.upper = gather_entry(entry, k, kUpperEntry);
  s.lower = gather_entry(entry, k, kLowerEntry);
}
inline Mask leaves_bounds(Mask m, f64v x, f64v upper, f64v lower) {
  return static_cast<Mask>(_mm512_mask_cmp_pd_mask(m, (__m512d)x, (__m512d)upper, _CMP_NLT_UQ) |
                           _mm512_mask_cmp_pd_mask(m, (__m512d)x, (__m512d)lower, _CMP_NGT_UQ));
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
