// The density at one start and one decision time (wfpt_series.h): the two
// series of the zero-drift unit density, each with its tail bound, and the
// drift and sv factors that carry it to the model's scales.
#include "corvatel/internal/wfpt_series.h"

#include <cmath>

#include "corvatel/internal/wfpt_special.h"
#include "corvatel/wfpt.h"

namespace corvatel::internal {

namespace {

// Small-time (image) series, with the k = 0 image exp(-w^2 / 2u) factored out:
//   S = w + sum_{j>=1} (w + 2j) e^{-2j(j+w)/u} + (w - 2j) e^{-2j(j-w)/u}.
// The pairs j' >= j weigh at most 2(2j+1) e^{-2j(j-w)/u} times the
// geometric factor, so the sum stops before the first pair that cannot move
// it by kSeriesTolerance.
SeriesValue small_time(double u, double w) {
  double sum = w;
  const double neg_two_over_u = -2.0 / u;
  for (int j = 1; j < 1000; ++j) {
    const double dj = j;
    const double minus = std::exp(neg_two_over_u * dj * (dj - w));
    if (2.0 * (2.0 * dj + 1.0) * minus * kGeometricTail <= kSeriesTolerance * std::fabs(sum)) break;
    sum += (w - 2.0 * dj) * minus;
    sum += (w + 2.0 * dj) * std::exp(neg_two_over_u * dj * (dj + w));
  }
  // u^3 underflows below about 1e-103; keep u^{-3/2} in the exponent there.
  if (u < 1e-90) return {sum / std::sqrt(2.0 * kPi), -w * w / (2.0 * u) - 1.5 * std::log(u)};
  return {sum / std::sqrt(2.0 * kPi * u * u * u), -w * w / (2.0 * u)};
}

// Large-time series with the leading e^{-c} (c = pi^2 u / 2) factored out:
//   L = sum_{k>=1} k e^{-(k^2-1)c} sin(k pi w).
// The terms k' > K weigh at most (K+1) e^{-((K+1)^2-1)c} times the geometric
// factor. The exponentials and sines come from recurrences (e^{-(2k+1)c}
// steps; sin((k+1)x) = 2 cos x sin kx - sin((k-1)x)), which lose a few ulps
// over the few terms needed. x is taken from the nearer end of (0, 1)
// (1 - w is exact for w >= 1/2), so w close to 1 keeps its relative accuracy.
SeriesValue large_time(double u, double w) {
  const double c = kPi * kPi * u / 2.0;
  const bool reflected = w > 0.5;
  const double x = kPi * (reflected ? 1.0 - w : w);
  const double two_cos = 2.0 * std::cos(x);
  const double g = std::exp(-c);
  const double g2 = g * g;
  double sin_prev = 0.0;
  double sin_k = std::sin(x);
  double decay = 1.0;    // e^{-(k^2-1)c}
  double step = g2 * g;  // e^{-(2k+1)c}
  double sum = sin_k;
  for (int k = 1; k < 100000; ++k) {
    const double next_decay = decay * step;
    const double dk1 = k + 1;
    if (dk1 * next_decay * kGeometricTail <= kSeriesTolerance * std::fabs(sum)) break;
    const double sin_next = two_cos * sin_k - sin_prev;
    sin_prev = sin_k;
    sin_k = sin_next;
    decay = next_decay;
    step *= g2;
    // sin((k+1)(pi - x)) = (-1)^k sin((k+1)x)
    const double s = (reflected && (k % 2 == 1)) ? -sin_k : sin_k;
    sum += dk1 * decay * s;
  }
  return {kPi * sum, -c};
}

}  // namespace

SeriesValue unit_density(double u, double w) {
  const SeriesValue primary = (u < kSeriesSwitch) ? small_time(u, w) : large_time(u, w);
  if (primary.factor > 0.0 && std::isfinite(primary.factor)) return primary;
  // Rounding drove the partial sum to zero or below (only at extreme w),
  // or u^3 underflowed: the other series has neither problem there.
  return (u < kSeriesSwitch) ? large_time(u, w) : small_time(u, w);
}

double log_unit_density(double u, double w) {
  const SeriesValue f0 = unit_density(u, w);
  return std::log(f0.factor) + f0.exponent;
}

Reduced reduce(bool choice, const ModelParams& p) {
  LowerBoundary m{p.drift / p.noise_sd, p.boundary / p.noise_sd, p.sv / p.noise_sd, 0.0};
  m.inv_a2 = 1.0 / (m.a * m.a);
  if (choice) return {{-m.v, m.a, m.sv, m.inv_a2}, 1.0 - p.start};
  return {m, p.start};
}

double log_lower(const LowerBoundary& m, double tau, double w) {
  if (!(tau > 0.0) || std::isinf(tau)) return -kInf;
  const double u = tau * m.inv_a2;
  const SeriesValue f0 = unit_density(u, w);
  if (m.sv == 0.0) {
    return std::log(f0.factor * m.inv_a2) + (f0.exponent - m.v * m.a * w - m.v * m.v * tau / 2.0);
  }
  const double s2 = m.sv * m.sv;
  const double denom = 1.0 + s2 * tau;
  const double aw = m.a * w;
  const double exponent = (s2 * aw * aw - 2.0 * m.v * aw - m.v * m.v * tau) / (2.0 * denom);
  return std::log(f0.factor * m.inv_a2 / std::sqrt(denom)) + (f0.exponent + exponent);
}

double upper_probability(double drift, double boundary, double start, double noise_sd) {
  const double x = 2.0 * (drift / noise_sd) * (boundary / noise_sd);
  if (x == 0.0) return start;
  const double z = x * start;
  // (1 - e^{-z}) / (1 - e^{-x}), rewritten for x < 0 so nothing overflows.
  if (x > 0.0) return std::expm1(-z) / std::expm1(-x);
  return std::exp(x - z) * std::expm1(z) / std::expm1(x);
}

}  // namespace corvatel::internal
