// The Mills ratio of the normal distribution and log Phi, for the densities'
// closed forms: below kMillsSeriesFrom from erfc, above it from the
// asymptotic series R(x) ~ (1/x) sum_n (-1)^n (2n-1)!! x^{-2n}, which
// serves where erfc underflows.
#include "corvatel/internal/wfpt_special.h"

#include <cmath>

namespace corvatel::internal {

Mills mills(double x) {
  if (x < kMillsSeriesFrom) {
    const double r = kSqrtHalfPi * std::erfc(x * kSqrtHalf) * std::exp(0.5 * x * x);
    return {r, 1.0 - x * r};
  }
  // R = (1/x) sum_n (-1)^n (2n-1)!! x^{-2n};  q = -sum_{n>=1} (-1)^n (2n-1)!! x^{-2n}.
  const double t = 1.0 / (x * x);
  double term = 1.0;
  double series = 1.0;
  double q = 0.0;
  for (int n = 1; n <= 12; ++n) {
    term *= -(2.0 * n - 1.0) * t;
    series += term;
    q -= term;
  }
  return {series / x, q};
}

double mills_q_error(double x) {
  const double x2 = x * x;
  return x < kMillsSeriesFrom ? kEps * (8.0 + 2.0 * x2 * (1.0 + x2)) : 8.0 * kEps;
}

double log_ndtr(double x) {
  if (x > 0.0) return std::log1p(-0.5 * std::erfc(x * kSqrtHalf));
  if (x > -kMillsSeriesFrom) return std::log(0.5 * std::erfc(-x * kSqrtHalf));
  return log_phi(x) + std::log(mills(-x).r);
}

}  // namespace corvatel::internal
