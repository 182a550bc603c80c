// The density integrated over a window of decision times in closed form
// (wfpt_averages.h), sv = 0, at one start or averaged over a window of
// starts as well: below the series switch through the images' one-barrier
// first-passage distribution functions and their antiderivatives over the
// start (written through Mills ratios so that nothing underflows), above it
// through the Fourier terms' exponentials.
#include <cmath>
#include <optional>
#include <tuple>
#include <utility>

#include "corvatel/internal/wfpt_averages.h"
#include "corvatel/internal/wfpt_special.h"

namespace corvatel::internal {

namespace {

// Over decision time: with sv = 0 image j of the small-time density is
//   e^{2 v a j} g(c, s), g(c, s) = c / sqrt(2 pi s^3) e^{-(c + v s)^2 / (2 s)},
// c = a (w + 2j). For c > 0, g is the first-passage density to a barrier at
// distance c of a walk drifting away from it at v, whose distribution
// function is
//   G(c, s) = Phi(-z) + e^{-2 v c} Phi(-y),  z = (c + v s)/sqrt s, y = (c - v s)/sqrt s,
// and an antiderivative of G over c is
//   A(c, s) = sqrt s [z Phi(-z) - phi(z)] - (e^{-2 v c} Phi(-y) - Phi(-z)) / (2 v)
// (at v = 0: 2 [c Phi(-c/sqrt s) - sqrt s phi(c/sqrt s)]). For c < 0,
// g(c, s; v) = -g(-c, s; -v), and G, A follow by the same reflection (up to
// terms free of s, or of c, which the differences below cancel). Both vanish
// at s = 0.
struct ImageCorner {
  double c;  // > 0 after reflection
  double v;
  double s;
};

// Adds sign * A(c, s) (reflected as above) to `sum`, scaled by
// e^{log_factor}. With e^{-2 v c} phi(y) = phi(z), Phi(-x) = phi(x) R(x):
//   A = phi(z) [-sqrt s q(z) + (R(z) - R(y)) / (2 v)]  for z, y >= 0,
// one scale for all three parts; otherwise the part with Phi of a negative
// argument keeps its own.
void add_antiderivative(SignedLogSum& sum, const ImageCorner& p, double sign, double log_factor) {
  if (p.s == 0.0) return;
  const double root = std::sqrt(p.s);
  const double z = (p.c + p.v * p.s) / root;
  const double y = (p.c - p.v * p.s) / root;
  const double factor_error = kEps * (4.0 * std::fabs(log_factor) + 16.0);
  const double half_inv_v = p.v == 0.0 ? 0.0 : 0.5 / p.v;
  if (z >= 0.0) {
    const Mills rz = mills(z);
    const double first = -root * rz.q;
    const double scale_error = factor_error + kEps * z * z;
    if (p.v == 0.0) {
      sum.add_scaled(log_factor + log_phi(z), sign * 2.0 * first, 2.0 * std::fabs(first) * (scale_error + mills_q_error(z)));
      return;
    }
    const double third = rz.r * half_inv_v;
    double x = first + third;
    double error = std::fabs(first) * (scale_error + mills_q_error(z)) +
                   std::fabs(third) * (scale_error + kEps * (8.0 + 2.0 * z * z));
    if (y >= 0.0) {
      const double second = -mills(y).r * half_inv_v;
      x += second;
      error += std::fabs(second) * (scale_error + kEps * (8.0 + 2.0 * y * y + 4.0 * std::fabs(2.0 * p.v * p.c)));
    } else {  // e^{-2 v c} Phi(-y) with Phi(-y) > 1/2
      sum.add_scaled(log_factor - 2.0 * p.v * p.c + log_ndtr(-y), -sign * half_inv_v,
                     std::fabs(half_inv_v) * (factor_error + kEps * (16.0 + 4.0 * std::fabs(2.0 * p.v * p.c))));
    }
    sum.add_scaled(log_factor + log_phi(z), sign * x, error);
    return;
  }
  // z < 0: v < 0, so y > 0; Phi(-z) > 1/2 and the first part has no phi(z) factor.
  const double phi_z = std::exp(log_phi(z));
  const double upper = 0.5 * std::erfc(z * kSqrtHalf);  // Phi(-z)
  const double first = -root * (-z * upper + phi_z);
  const double third = upper * half_inv_v;
  sum.add_scaled(log_factor, sign * (first + third),
                 (std::fabs(first) + std::fabs(third)) * (factor_error + kEps * (16.0 + z * z)));
  const double second = -mills(y).r * half_inv_v;
  sum.add_scaled(log_factor + log_phi(z), sign * second,
                 std::fabs(second) * (factor_error + kEps * (16.0 + 2.0 * (y * y + z * z) + 4.0 * std::fabs(2.0 * p.v * p.c))));
}

// Adds sign * G(c, s) (reflected) to `sum`, scaled by e^{log_factor}:
// G = phi(z) (R(z) + R(y)) for z, y >= 0.
void add_distribution(SignedLogSum& sum, const ImageCorner& p, double sign, double log_factor) {
  if (p.s == 0.0) return;
  const double root = std::sqrt(p.s);
  const double z = (p.c + p.v * p.s) / root;
  const double y = (p.c - p.v * p.s) / root;
  const double factor_error = kEps * (4.0 * std::fabs(log_factor) + 16.0);
  const double drift_error = kEps * 4.0 * std::fabs(2.0 * p.v * p.c);
  if (z >= 0.0 && y >= 0.0) {
    const double rz = mills(z).r;
    const double ry = mills(y).r;
    sum.add_scaled(log_factor + log_phi(z), sign * (rz + ry),
                   rz * (factor_error + kEps * (16.0 + 3.0 * z * z)) +
                       ry * (factor_error + drift_error + kEps * (16.0 + 2.0 * y * y + z * z)));
    return;
  }
  sum.add(sign, log_ndtr(-z) + log_factor, factor_error + kEps * (16.0 + 2.0 * z * z));
  sum.add(sign, -2.0 * p.v * p.c + log_ndtr(-y) + log_factor, factor_error + drift_error + kEps * (16.0 + 2.0 * y * y));
}

// Adds to `sum` the integral of the lower-boundary density (sv = 0) over
// decision times [s1, s2] with s2 / a^2 <= kSeriesSwitch, and over starts
// [w1, w2] (or at the start w1 when w1 == w2), from the image series.
bool add_small_time_over_time(SignedLogSum& sum, const LowerBoundary& m, double s1, double s2, double w1,
                              double w2, double series_tolerance) {
  const bool over_start = w2 > w1;
  const auto add_image = [&](int j) {
    const double log_factor = 2.0 * m.v * m.a * j - std::log(m.a);  // e^{2 v a j}; dc = a dw
    const double image_sign = j >= 0 ? 1.0 : -1.0;
    const double v = m.v * image_sign;
    const double c1 = image_sign * m.a * (w1 + 2.0 * j);
    const double c2 = image_sign * m.a * (w2 + 2.0 * j);
    if (over_start) {
      // [A(c2) - A(c1)] at s2 minus the same at s1; reflected images run backwards.
      for (const auto& [s, sign] : {std::pair{s2, 1.0}, std::pair{s1, -1.0}}) {
        add_antiderivative(sum, {c2, v, s}, sign, log_factor);
        add_antiderivative(sum, {c1, v, s}, -sign, log_factor);
      }
    } else {
      const double log_g = 2.0 * m.v * m.a * j;
      add_distribution(sum, {c1, v, s2}, image_sign, log_g);
      add_distribution(sum, {c1, v, s1}, -image_sign, log_g);
    }
  };
  add_image(0);
  // Tail: the pair bound of small_time at the worst (w, s) of the rectangle;
  // u^{-3/2} e^{-B/u} grows up to u = 2B/3.
  const double u2 = s2 * m.inv_a2;
  const double width = (over_start ? w2 - w1 : 1.0) * (s2 - s1);
  const double log_drift_max = -m.v * m.a * (m.v > 0.0 ? w1 : w2) - m.v * m.v * s1 / 2.0;
  for (int j = 1;; ++j) {
    const double half_b = (2.0 * j - w2) * (2.0 * j - w2) / 2.0;
    const double u = std::min(u2, 2.0 * half_b / 3.0);
    const double log_tail = std::log(2.0 * (2.0 * j + 1.0) * kGeometricTail * width * m.inv_a2) - half_b / u -
                            1.5 * std::log(u) - kLogSqrt2Pi + log_drift_max;
    if (log_tail <= std::log(series_tolerance) + sum.log_value()) return true;
    if (j == kMaxClosedImagePairs || sum.hopeless(log_tail, std::log(series_tolerance))) return false;
    add_image(j);
    add_image(-j);
  }
}

// The large-time counterpart over decision times [s1, s2], s1 / a^2 >=
// kSeriesSwitch, sv = 0: with lambda_k = v^2/2 + k^2 pi^2 / (2 a^2),
//   (pi / a^2) sum_k k (e^{-lambda_k s1} - e^{-lambda_k s2}) / lambda_k
//       * int e^{-v a w} sin(k pi w) dw   (or e^{-v a w} sin(k pi w) at one w).
// The difference of exponentials is taken as e^{-lambda s1} (-expm1(-lambda (s2 - s1))),
// so nothing cancels. Returns false when the sum is not accurate.
bool add_large_time_over_time(SignedLogSum& sum, const LowerBoundary& m, double s1, double s2, double w1,
                              double w2, double series_tolerance) {
  const double b = m.v * m.a;
  const double c = kPi * kPi * s1 * m.inv_a2 / 2.0;
  const double lambda1 = m.v * m.v / 2.0 + kPi * kPi * m.inv_a2 / 2.0;
  if (!std::isfinite(c) || !std::isfinite(lambda1)) return false;  // e^{-c} is below every double
  const bool over_start = w2 > w1;
  const ExpSinIntegral integral(b, w1, over_start ? w2 : w1);
  const bool reflected = w1 > 0.5;
  const double x = kPi * (reflected ? 1.0 - w1 : w1);
  const double log_scale = over_start ? integral.log_scale() : -b * w1;
  const double bound = over_start ? integral.bound() : 1.0;
  double total = 0.0;
  double size = 0.0;
  for (int k = 1; k < 100000; ++k) {
    const double k2 = k * static_cast<double>(k);
    const double lambda = m.v * m.v / 2.0 + k2 * kPi * kPi * m.inv_a2 / 2.0;
    const double decay = std::exp(-(k2 - 1.0) * c) / lambda;
    if (k > 1 && k * decay * bound * kGeometricTail <= series_tolerance * std::fabs(total)) break;
    double v;
    double s;
    if (over_start) {
      std::tie(v, s) = integral.value(k);
    } else {
      v = std::sin(k * x);
      if (reflected && k % 2 == 0) v = -v;
      s = std::fabs(v);
    }
    const double window = -std::expm1(-lambda * (s2 - s1));
    total += k * decay * window * v;
    size += k * decay * window * s;
  }
  if (!(total > 0.0)) return false;
  const double log_factor = std::log(kPi * m.inv_a2) + log_scale - lambda1 * s1;
  sum.add(1.0, std::log(total) + log_factor, kEps * (16.0 * size / total + 4.0 * std::fabs(log_factor)));
  return true;
}

}  // namespace

std::optional<double> log_closed_over_time(const LowerBoundary& m, double s1, double s2, double w1, double w2,
                                           double tolerance) {
  SignedLogSum sum;
  const double series_tolerance = closed_series_tolerance(tolerance);
  const double switch_time = kSeriesSwitch * m.a * m.a;
  if (s1 < switch_time && !add_small_time_over_time(sum, m, s1, std::min(s2, switch_time), w1, w2, series_tolerance)) {
    return std::nullopt;
  }
  if (s2 > switch_time && !add_large_time_over_time(sum, m, std::max(s1, switch_time), s2, w1, w2, series_tolerance)) {
    return std::nullopt;
  }
  if (!sum.accurate(tolerance)) return std::nullopt;
  return sum.log_value() - (w2 > w1 ? std::log(w2 - w1) : 0.0);
}

}  // namespace corvatel::internal
