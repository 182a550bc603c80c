// StandardNormal: standard normal variates from a ChaCha8Rng by the 256-layer
// Ziggurat of Marsaglia & Tsang ("The Ziggurat Method for Generating Random
// Variables", 2000), with symmetric sign handling and Marsaglia's tail method.
//
// One 64-bit word gives both the layer (its low 8 bits) and a symmetric
// uniform (its high 52 bits). Tables come from tools/gen_ziggurat_tables.py.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "corvatel/chacha.h"
#include "corvatel/internal/normal_bits.h"

namespace corvatel {

namespace internal {

#include "corvatel/internal/ziggurat_tables.inc"

// Layer i (the word's low 8 bits, kLayerMask) reads X[i + 1]; the table
// ends with X = 0 and f(0) = 1.
static_assert(ZIG_NORM_X.size() == kLayerMask + 2 && ZIG_NORM_F.size() == kLayerMask + 2);
static_assert(ZIG_NORM_X[kLayerMask + 1] == 0.0 && ZIG_NORM_F[kLayerMask + 1] == 1.0);

// Start of the tail, equal to ZIG_NORM_X[1].
inline constexpr double kZigR = 0x1.d3bb48209ad33p+1;
static_assert(kZigR == ZIG_NORM_X[1]);

// [-1, 1) in steps of 2^-51: a float in [2, 4) from the top 52 bits, minus 3.
inline double symmetric_from_bits(std::uint64_t b) {
  return std::bit_cast<double>((b >> kMantissaShift) | kExponentOfTwo) - kSymmetricOffset;
}

// [2^-53, 1 - 2^-53], never 0 or 1, so its logarithm is finite.
inline double open_from_bits(std::uint64_t b) {
  return std::bit_cast<double>((b >> kMantissaShift) | kExponentOfOne) - kOpenOffset;
}

// [0, 1 - 2^-53].
inline double closed_open_from_bits(std::uint64_t b) { return static_cast<double>(b >> kTop53Shift) * kTop53Scale; }

inline double unnormalised_density(double x) { return std::exp(-(x * x) / 2.0); }

template <typename Rng>
double tail(Rng& rng, double u) {
  for (;;) {
    const double r1 = open_from_bits(rng.next_u64());
    const double r2 = open_from_bits(rng.next_u64());
    const double y = std::log(r1) / kZigR;
    const double w = std::log(r2);
    if (!(y * y > -2.0 * w)) return u < 0.0 ? y - kZigR : kZigR - y;
  }
}

// The rare branches (wedge, tail, rejection), kept out of line so that the
// fast path stays small enough to inline into the trial loop.
template <typename Rng>
[[gnu::noinline, gnu::cold]] double sample_slow(Rng& rng, std::size_t layer, double u, double x) {
  for (;;) {
    if (layer == 0) return tail(rng, u);
    const double v = closed_open_from_bits(rng.next_u64());
    const double fi = ZIG_NORM_F[layer];
    const double fi1 = ZIG_NORM_F[layer + 1];
    if (fi1 + (fi - fi1) * v < unnormalised_density(x)) return x;

    const std::uint64_t b = rng.next_u64();
    layer = static_cast<std::size_t>(b & kLayerMask);
    u = symmetric_from_bits(b);
    x = u * ZIG_NORM_X[layer];
    if (std::fabs(x) < ZIG_NORM_X[layer + 1]) return x;
  }
}

}  // namespace internal

// Works with any generator that has next_u64(); the system uses ChaCha8Rng.
struct StandardNormal {
  template <typename Rng>
  double sample(Rng& rng) const {
    const std::uint64_t b = rng.next_u64();
    const auto i = static_cast<std::size_t>(b & internal::kLayerMask);
    const double u = internal::symmetric_from_bits(b);
    const double x = u * internal::ZIG_NORM_X[i];
    // Inside the rectangle of its layer: about 99% of draws return here.
    if (std::fabs(x) < internal::ZIG_NORM_X[i + 1]) return x;
    return internal::sample_slow(rng, i, u, x);
  }

  // Fills `out` with consecutive variates, as repeated sample() calls would.
  template <typename Rng>
  void fill(Rng& rng, std::span<double> out) const {
    for (double& v : out) v = sample(rng);
  }
};

}  // namespace corvatel
