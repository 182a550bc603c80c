// The double window's integral (sz and st, sv = 0) with the parts of its
// derivatives (closed_window_slopes in wfpt_averages.h), in one pass over
// the same terms as its closed form (wfpt_over_time.cpp): each image's
// antiderivative A(c, s) at the rectangle's corners brings, from the same
// normal tails, its derivatives in c (the distribution function G: the
// integrals over time at the start's ends), in s (the integrals over the
// start at the time's ends) and in the drift; each Fourier term likewise.
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>

#include "corvatel/internal/wfpt_averages.h"
#include "corvatel/internal/wfpt_special.h"

namespace corvatel::internal {

namespace {

enum Part : std::size_t { kIntegral, kAtW1, kAtW2, kAtS1, kAtS2, kDrift, kParts };
using Parts = std::array<double, kParts>;

using SignedLogSums = SignedLogSumArray<kParts>;

// Which corners of the part of the window being summed are the window's own
// time ends (a window split at the series switch has inner ends whose
// integrals over the start cancel).
struct TimeEnds {
  bool lo, hi;
};

// One corner (c, s) of image j (reflected so that c > 0, drift vv), with
// P = Phi(-z), Q = e^{-2 vv c} Phi(-y), phi(z) = e^{-2 vv c} phi(y):
//   A     = sqrt s (z P - phi(z)) - (Q - P) / (2 vv)
//   dA/dc = G = P + Q
//   dA/ds = vv P - phi(z) / sqrt s
//   dA/dv = s P + (Q - P) / (2 vv^2) + (c Q - sqrt s phi(z)) / vv
// Each comes in the scales of its factors (phi(z), Q or P). The corner adds
// A to the integral, G times `dc` to its start end's part, dA/ds times `ds`
// to its time end's (when one of the window's) and `image_drift` A + `dv`
// dA/dv to the drift's.
struct CornerWeights {
  double integral;  // +-1: the corner's sign in the rectangle
  double dc;        // dc / dw times the time end's sign
  double ds;        // the start end's sign, 0 at an inner time end
  double dv;        // d vv / dv times the corner's sign
  double image_drift;
  std::size_t at_w, at_s;
};

// A corner's coefficients of one factor and the sums of their parts'
// magnitudes (for rounding).
struct Coefficients {
  double a, g, as, av;
  double a_size, g_size, as_size, av_size;
};

// Below this z - y = 2 |v| sqrt s a corner takes the divided differences
// of the Mills ratio from their series (at most some 20 terms) rather than
// from the differences of its values, which lose (z - y)^-2 of their digits.
constexpr double kSeriesGap = 0.5;

// R[y, y + h] and R[y, y, y + h] from the Taylor series of R at y, whose
// derivatives follow from R' = x R - 1: R^(n+1) = y R^(n) + n R^(n-1). With
// the sums of their terms' magnitudes scaled so that `rel` times them bounds
// their rounding, q(y)'s included (carried through the recurrence).
struct MillsDifferences {
  double first, second, first_size, second_size;
};

MillsDifferences mills_differences(double y, const Mills& at_y, double h, double rel) {
  // q(y)'s error relative to rel: every R^(n) carries it times its
  // sensitivity to R', which obeys the same recurrence from (0, 1).
  const double q_share = mills_q_error(y) * at_y.q / rel;
  double prev = at_y.r;
  double cur = -at_y.q;
  double prev_sensitivity = 0.0;
  double sensitivity = 1.0;
  double coefficient = 0.5;  // h^(n-2) / n! for R^(n), n = 2
  double second = 0.0;
  double size = kInf;  // until the series settles
  double magnitudes = 0.0;
  for (int n = 1; n < 60; ++n) {
    const double next = y * cur + n * prev;
    const double next_sensitivity = std::fabs(y) * sensitivity + n * prev_sensitivity;
    const double term = next * coefficient;
    second += term;
    magnitudes += (std::fabs(term) * (n + 1)) + next_sensitivity * coefficient * q_share;
    if (std::fabs(term) <= 0.25 * kEps * std::fabs(second)) {
      size = magnitudes;
      break;
    }
    prev = cur;
    cur = next;
    prev_sensitivity = sensitivity;
    sensitivity = next_sensitivity;
    coefficient *= h / (n + 2);
  }
  return {-at_y.q + h * second, second, at_y.q * (1.0 + mills_q_error(y) / rel) + h * size, size};
}

void add_corner(SignedLogSums& sums, double c, double vv, double s, double log_factor, const CornerWeights& k) {
  if (s == 0.0) return;  // every part vanishes at s = 0
  const double root = std::sqrt(s);
  const double z = (c + vv * s) / root;
  const double y = (c - vv * s) / root;
  // (At vv = 0 only the series below serves: z = y.)
  const double inv = vv != 0.0 ? 0.5 / vv : 0.0;
  const double inv2 = vv != 0.0 ? inv / vv : 0.0;
  const double rel = kEps * (16.0 + 4.0 * std::fabs(log_factor) + 2.0 * (z * z + y * y) + 8.0 * std::fabs(vv * c));
  const auto add = [&](double log_scale, const Coefficients& q) {
    Parts x{};
    Parts e{};
    x[kIntegral] = k.integral * q.a;
    e[kIntegral] = q.a_size * rel;
    x[k.at_w] = k.dc * q.g;
    e[k.at_w] = std::fabs(k.dc) * q.g_size * rel;
    if (k.ds != 0.0) {
      x[k.at_s] = k.ds * q.as;
      e[k.at_s] = q.as_size * rel;
    }
    x[kDrift] = k.image_drift * q.a + k.dv * q.av;
    e[kDrift] = (std::fabs(k.image_drift) * q.a_size + q.av_size) * rel;
    sums.add_scaled(log_scale, x, e);
  };
  if (z >= 0.0) {
    const Mills rz = mills(z);
    // q's own rounding, in units of rel.
    const double q_size = root * rz.q * (1.0 + mills_q_error(z) / rel);
    if (y >= 0.0 && std::fabs(z - y) <= kSeriesGap) {
      // Near v = 0 the 1/v and 1/v^2 parts cancel: with the divided
      // differences R[y, z] and R[y, y, z], A = phi(z) sqrt s (R[y, z] - q(z))
      // and dA/dv = phi(z) s (R(z) + R(y) - 2 R[y, y, z]), without them.
      const Mills ry = mills(y);
      const MillsDifferences d = mills_differences(y, ry, z - y, rel);
      add(log_factor + log_phi(z),
          {root * (d.first - rz.q), rz.r + ry.r, vv * rz.r - 1.0 / root, s * (rz.r + ry.r - 2.0 * d.second),
           root * d.first_size + q_size, rz.r + ry.r, std::fabs(vv) * rz.r + 1.0 / root,
           s * (rz.r + ry.r + 2.0 * d.second_size)});
      return;
    }
    if (y >= 0.0) {
      const double ry = mills(y).r;
      add(log_factor + log_phi(z),
          {-root * rz.q + (rz.r - ry) * inv, rz.r + ry, vv * rz.r - 1.0 / root,
           s * rz.r + (ry - rz.r) * inv2 + (c * ry - root) / vv,
           q_size + (rz.r + ry) * std::fabs(inv), rz.r + ry, std::fabs(vv) * rz.r + 1.0 / root,
           s * rz.r + (rz.r + ry) * std::fabs(inv2) + (c * ry + root) / std::fabs(vv)});
      return;
    }
    // Q = e^{-2 vv c} Phi(-y) with Phi(-y) > 1/2 keeps its own scale.
    add(log_factor + log_phi(z),
        {-root * rz.q + rz.r * inv, rz.r, vv * rz.r - 1.0 / root, s * rz.r - rz.r * inv2 - root / vv,
         q_size + rz.r * std::fabs(inv), rz.r, std::fabs(vv) * rz.r + 1.0 / root,
         s * rz.r + rz.r * std::fabs(inv2) + root / std::fabs(vv)});
    add(log_factor - 2.0 * vv * c + log_ndtr(-y),
        {-inv, 1.0, 0.0, inv2 + c / vv, std::fabs(inv), 1.0, 0.0, std::fabs(inv2) + std::fabs(c / vv)});
    return;
  }
  // z < 0: vv < 0 and y > 0; P = Phi(-z) > 1/2 keeps its own scale.
  const double p = 0.5 * std::erfc(z * kSqrtHalf);
  add(log_factor, {p * (root * z + inv), p, vv * p, p * (s - inv2), p * (root * std::fabs(z) + std::fabs(inv)), p,
                   std::fabs(vv) * p, p * (s + std::fabs(inv2))});
  const double ry = mills(y).r;
  add(log_factor + log_phi(z), {-root - ry * inv, ry, -1.0 / root, ry * inv2 + (c * ry - root) / vv,
                                root + ry * std::fabs(inv), ry, 1.0 / root,
                                ry * std::fabs(inv2) + (c * ry + root) / std::fabs(vv)});
}

// The image series over decision times [s1, s2] below the switch and starts
// [w1, w2]: image j is e^{2 v a j} / a times the rectangle's corners of A at
// c = a (w + 2j) (reflected for j < 0: c and the drift change sign).
bool add_small_time(SignedLogSums& sums, const LowerBoundary& m, double s1, double s2, double w1, double w2,
                    TimeEnds ends, double series_tolerance) {
  const auto add_image = [&](int j) {
    const double log_factor = 2.0 * m.v * m.a * j - std::log(m.a);
    const double image_sign = j >= 0 ? 1.0 : -1.0;
    const double vv = m.v * image_sign;
    for (const auto& [s, time_sign, at_s] : {std::tuple{s2, 1.0, ends.hi ? kAtS2 : kParts},
                                             std::tuple{s1, -1.0, ends.lo ? kAtS1 : kParts}}) {
      for (const auto& [w, start_sign, at_w] : {std::tuple{w2, 1.0, kAtW2}, std::tuple{w1, -1.0, kAtW1}}) {
        const double sign = time_sign * start_sign;
        const CornerWeights k{sign,
                              time_sign * image_sign * m.a,
                              at_s == kParts ? 0.0 : start_sign,
                              sign * image_sign,
                              sign * 2.0 * m.a * j,
                              at_w,
                              at_s == kParts ? kIntegral : at_s};
        add_corner(sums, image_sign * m.a * (w + 2.0 * j), vv, s, log_factor, k);
      }
    }
  };
  add_image(0);
  // The closed form's tail bound: a bound on every image pair's density
  // over the rectangle. The parts integrate the same terms over a side of
  // it (whose scales the acceptance takes as the integral per unit of
  // side) or, for the drift, times at most a (4j + 2) + |v| s2.
  const double u2 = s2 * m.inv_a2;
  const double width = (w2 - w1) * (s2 - s1);
  const double log_drift_max = -m.v * m.a * (m.v > 0.0 ? w1 : w2) - m.v * m.v * s1 / 2.0;
  const double drift_scale = m.a + std::fabs(m.v) * s2;
  for (int j = 1;; ++j) {
    const double half_b = (2.0 * j - w2) * (2.0 * j - w2) / 2.0;
    const double u = std::min(u2, 2.0 * half_b / 3.0);
    const double log_tail = std::log(2.0 * (2.0 * j + 1.0) * kGeometricTail * width * m.inv_a2 *
                                     ((m.a * (4.0 * j + 2.0) + std::fabs(m.v) * s2) / drift_scale)) -
                            half_b / u - 1.5 * std::log(u) - kLogSqrt2Pi + log_drift_max;
    if (log_tail <= std::log(series_tolerance) + sums.log_value()) return true;
    if (j == kMaxClosedImagePairs) return false;
    add_image(j);
    add_image(-j);
  }
}

// The Fourier series over decision times [s1, s2] above the switch: with
// lambda_k = v^2/2 + k^2 pi^2 / (2 a^2) and D_k the integral of e^{-lambda_k s}
// over the window, the integral is (pi / a^2) sum_k k D_k J_k, J_k that of
// e^{-v a w} sin(k pi w) over the starts (ExpSinIntegral); its ends are
// e^{-lambda_k s} J_k and D_k e^{-v a w} sin(k pi w), and its drift slope
// sum_k k (v dD_k/dlambda J_k + a D_k dJ_k/db), dD/dlambda = -int s e^{-lambda s}.
bool add_large_time(SignedLogSums& sums, const LowerBoundary& m, double s1, double s2, double w1, double w2,
                    TimeEnds ends, double series_tolerance) {
  const double c = kPi * kPi * s1 * m.inv_a2 / 2.0;
  const double lambda1 = m.v * m.v / 2.0 + kPi * kPi * m.inv_a2 / 2.0;
  if (!std::isfinite(c) || !std::isfinite(lambda1)) return false;
  const ExpSinIntegral integral(m.v * m.a, w1, w2);
  const double span = s2 - s1;
  // Term k of every part is at most at_s1 (below) times these (in the
  // scale of log_factor), each part's tail at most its term's: the parts
  // stop together once every tail is within the series tolerance of the
  // part's own scale (as the acceptance takes it).
  const double drift_scale = m.a + std::fabs(m.v) * s2;
  const Parts per_integral{1.0, 1.0 / (w2 - w1), 1.0 / (w2 - w1), 1.0 / span, 1.0 / span, drift_scale};
  Parts total{};
  Parts size{};
  for (int k = 1;; ++k) {
    if (k == 100000) return false;
    const double k2 = k * static_cast<double>(k);
    const double lambda = m.v * m.v / 2.0 + k2 * kPi * kPi * m.inv_a2 / 2.0;
    const double at_s1 = k * std::exp(-(k2 - 1.0) * c);
    if (k > 1) {
      const double b = integral.bound() * kGeometricTail;
      const Parts bound{b / lambda, kGeometricTail / lambda, kGeometricTail / lambda, b, b, b * drift_scale / lambda};
      bool settled = true;
      for (std::size_t p = 0; p < kParts; ++p) {
        if (!(at_s1 * bound[p] <= series_tolerance * (std::fabs(total[p]) + per_integral[p] * total[kIntegral]))) {
          settled = false;
        }
      }
      if (settled) break;
    }
    const auto [decay, d, d_slope] = exp_window(lambda, s1, span, at_s1);
    const ExpSinIntegral::Slopes j = integral.slopes(k);
    const Parts x{d * j.value,
                  d * j.at_lo,
                  d * j.at_hi,
                  ends.lo ? at_s1 * j.value : 0.0,
                  ends.hi ? at_s1 * decay * j.value : 0.0,
                  m.v * d_slope * j.value + m.a * d * j.b_slope};
    const Parts magnitude{d * j.value_size,
                          d * j.ends_size,
                          d * j.ends_size,
                          at_s1 * j.value_size,
                          at_s1 * decay * j.value_size,
                          std::fabs(m.v * d_slope) * j.value_size + m.a * d * j.b_slope_size +
                              std::fabs(m.v) * (at_s1 / lambda) * (s1 + 2.0 / lambda + span) * j.value_size};
    for (std::size_t p = 0; p < kParts; ++p) {
      total[p] += x[p];
      size[p] += magnitude[p];
    }
  }
  const double log_factor = std::log(kPi * m.inv_a2) + integral.log_scale() - lambda1 * s1;
  Parts error{};
  for (std::size_t p = 0; p < kParts; ++p) error[p] = kEps * (16.0 * size[p] + 4.0 * std::fabs(log_factor * total[p]));
  sums.add_scaled(log_factor, total, error);
  return true;
}

}  // namespace

std::optional<WindowSlopes> closed_window_slopes(const LowerBoundary& m, double s1, double s2, double w1, double w2,
                                                 double tolerance) {
  if (m.sv != 0.0 || !(s2 > s1) || !(w2 > w1)) return std::nullopt;
  SignedLogSums sums;
  const double series_tolerance = closed_series_tolerance(tolerance);
  const double switch_time = kSeriesSwitch * m.a * m.a;
  if (s1 < switch_time &&
      !add_small_time(sums, m, s1, std::min(s2, switch_time), w1, w2, {true, s2 <= switch_time}, series_tolerance)) {
    return std::nullopt;
  }
  if (s2 > switch_time &&
      !add_large_time(sums, m, std::max(s1, switch_time), s2, w1, w2, {s1 >= switch_time, true}, series_tolerance)) {
    return std::nullopt;
  }
  const Parts& sum = sums.sum();
  const Parts& error = sums.error();
  const double integral = sum[kIntegral];
  if (!(integral > 0.0) || !std::isfinite(integral)) return std::nullopt;
  const double log_integral = sums.log_scale() + std::log(integral);
  // Each part against its own scale: the integral per unit of start or of
  // time, and for the drift a + |v| s2 (the size of d log f / dv).
  const Parts scale{integral,
                    integral / (w2 - w1),
                    integral / (w2 - w1),
                    integral / (s2 - s1),
                    integral / (s2 - s1),
                    integral * (m.a + std::fabs(m.v) * s2)};
  const double allowed = attainable(tolerance, log_integral);
  for (std::size_t p = 0; p < kParts; ++p) {
    if (!(error[p] + 64.0 * kEps * std::fabs(sum[p]) <= allowed * (std::fabs(sum[p]) + scale[p]))) return std::nullopt;
  }
  return WindowSlopes{log_integral,       sum[kAtW1] / integral, sum[kAtW2] / integral,
                      sum[kAtS1] / integral, sum[kAtS2] / integral, sum[kDrift] / integral};
}

}  // namespace corvatel::internal
