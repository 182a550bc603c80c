// The walk with 8 trials in lanes, for AVX2: two 256-bit registers of
// doubles per quantity, the ChaCha8 words of all 8 lanes in one register.
#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "corvatel/internal/walk.h"

namespace corvatel::internal {

namespace {

constexpr unsigned kHalf = 4;
typedef double f64v __attribute__((vector_size(8 * kHalf)));
typedef std::int64_t i64v __attribute__((vector_size(8 * kHalf)));
typedef std::uint64_t u64v __attribute__((vector_size(8 * kHalf)));
typedef std::uint32_t u32h __attribute__((vector_size(4 * kHalf)));
typedef std::uint32_t u32v __attribute__((vector_size(8 * kHalf)));

inline u64v gather_u64(const std::uint64_t* base, i64v index) {
  return (u64v)_mm256_i64gather_epi64(reinterpret_cast<const long long*>(base), (__m256i)index, 8);
}

inline f64v gather_f64(const double* base, i64v index) {
  return (f64v)_mm256_i64gather_pd(base, (__m256i)index, 8);
}

inline std::uint32_t lane_bits(i64v mask) {
  return static_cast<std::uint32_t>(_mm256_movemask_pd((__m256d)mask));
}

#include "walk_lanes.inc"

}  // namespace

void walk_lanes_avx2(const LaneSetup& setup, std::uint64_t first, std::uint64_t count, WalkEnd* out) {
  walk_lanes(setup, first, count, out);
}

}  // namespace corvatel::internal
