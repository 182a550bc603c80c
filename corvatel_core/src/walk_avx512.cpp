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

// The masked gathers start from a zeroed register rather than an undefined
// one.
inline u64v gather_u64(const std::uint64_t* base, i64v index) {
  return (u64v)_mm512_mask_i64gather_epi64(_mm512_setzero_si512(), 0xFF, (__m512i)index, base, 8);
}

inline f64v gather_f64(const double* base, i64v index) {
  return (f64v)_mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, (__m512i)index, base, 8);
}

inline std::uint32_t lane_bits(i64v mask) {
  return static_cast<std::uint32_t>(_mm512_test_epi64_mask((__m512i)mask, (__m512i)mask));
}

#include "walk_lanes.inc"

}  // namespace

void walk_lanes_avx512(const LaneSetup& setup, std::uint64_t first, std::uint64_t count, WalkEnd* out) {
  walk_lanes(setup, first, count, out);
}

}  // namespace corvatel::internal
