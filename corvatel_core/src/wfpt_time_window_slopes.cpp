// The integral over a window of decision times at one start (st, sv = 0)
// with the parts of its derivatives (closed_time_window_slopes in
// wfpt_averages.h), in one pass over the terms of its closed form
// (wfpt_over_time.cpp): each image's first-passage distribution function
// G(c, s) at the window's ends brings, from the same normal tails, its
// derivatives in c (the start's), in s (the density at the ends) and in
// the drift; each Fourier term likewise.
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>

#include "corvatel/internal/wfpt_averages.h"
#include "corvatel/internal/wfpt_special.h"

namespace corvatel::internal {

namespace {

enum Part : std::size_t { kIntegral, kStart, kAtS1, kAtS2, kDrift, kParts };
using Parts = std::array<double, kParts>;
using SignedLogSums = SignedLogSumArray<kParts>;

// One end s of the window for image j (reflected so that c > 0, drift vv),
// with P = Phi(-z), Q = e^{-2 vv c} Phi(-y), phi(z) = e^{-2 vv c} phi(y):
//   G     = P + Q
//   dG/dc = -2 vv Q - 2 phi(z) / sqrt s
//   dG/ds = g = c / s^{3/2} phi(z)          (the image's density)
//   dG/dv = -2 c Q
// each in the scales of its factors. The image adds `sign` G to the
// integral, `time_sign` a dG/dc to the start's part, `image_sign` g to its
// time end's (when one of the window's) and `time_sign` (image_sign 2 a j G
// + dG/dv) to the drift's.
struct EndWeights {
  double sign;        // image_sign * time_sign
  double time_sign;   // +1 at s2, -1 at s1
  double image_sign;  // -1 for reflected images
  double a;
  double image_drift;  // 2 a j image_sign
  std::size_t at_s;    // kParts at an inner end
};

void add_end(SignedLogSums& sums, double c, double vv, double s, double log_factor, const EndWeights& k) {
  if (s == 0.0) return;  // every part vanishes at s = 0
  const double root = std::sqrt(s);
  const double z = (c + vv * s) / root;
  const double y = (c - vv * s) / root;
  const double rel = kEps * (16.0 + 4.0 * std::fabs(log_factor) + 2.0 * (z * z + y * y) + 8.0 * std::fabs(vv * c));
  // The coefficients of one factor: G, dG/dc, g, dG/dv, and their sizes.
  const auto add = [&](double log_scale, double g, double gc, double gs, double gv, double gc_size, double gv_size) {
    Parts x{};
    Parts e{};
    x[kIntegral] = k.sign * g;
    e[kIntegral] = std::fabs(g) * rel;
    x[kStart] = k.time_sign * k.a * gc;
    e[kStart] = k.a * gc_size * rel;
    if (k.at_s != kParts) {
      x[k.at_s] = k.image_sign * gs;
      e[k.at_s] = std::fabs(gs) * rel;
    }
    x[kDrift] = k.time_sign * (k.image_drift * g + gv);
    e[kDrift] = (std::fabs(k.image_drift * g) + gv_size) * rel;
    sums.add_scaled(log_scale, x, e);
  };
  const double density = c / (s * root);
  if (z >= 0.0 && y >= 0.0) {
    const double rz = mills(z).r;
    const double ry = mills(y).r;
    add(log_factor + log_phi(z), rz + ry, -2.0 * vv * ry - 2.0 / root, density, -2.0 * c * ry,
        2.0 * std::fabs(vv) * ry + 2.0 / root, 2.0 * c * ry);
    return;
  }
  if (z >= 0.0) {  // y < 0: Q = e^{-2 vv c} Phi(-y), Phi(-y) > 1/2, keeps its own scale
    add(log_factor + log_phi(z), mills(z).r, -2.0 / root, density, 0.0, 2.0 / root, 0.0);
    add(log_factor - 2.0 * vv * c + log_ndtr(-y), 1.0, -2.0 * vv, 0.0, -2.0 * c, 2.0 * std::fabs(vv), 2.0 * c);
    return;
  }
  // z < 0: vv < 0, y > 0; P = Phi(-z) > 1/2 keeps its own scale.
  add(log_factor, 0.5 * std::erfc(z * kSqrtHalf), 0.0, 0.0, 0.0, 0.0, 0.0);
  const double ry = mills(y).r;
  add(log_factor + log_phi(z), ry, -2.0 * vv * ry - 2.0 / root, density, -2.0 * c * ry,
      2.0 * std::fabs(vv) * ry + 2.0 / root, 2.0 * c * ry);
}

// Each part's scale over the integral: the start's a |v| + 1 / min(w, 1 - w)
// (the drift factor's and the boundary's pull), a time end's the window's
// width, the drift's a + |v| s2.
Parts part_scales(const LowerBoundary& m, double s1, double s2, double w, double far) {
  return {1.0, m.a * std::fabs(m.v) + 1.0 / std::min(w, far), 1.0 / (s2 - s1), 1.0 / (s2 - s1),
          m.a + std::fabs(m.v) * s2};
}

// The image series over decision times [s1, s2] below the switch: image j
// is e^{2 v a j} times the window's ends of G at c = a (w + 2j) (reflected
// for j < 0). The tail bounds follow the closed form's (a bound on every
// image pair's density over the window, u^{-3/2} e^{-B/u} at its worst u,
// times the window's width): the drift part's terms are at most
// a (4j + 2) + |v| s2 times the density's, the start part's at most
// 1 + a |v| + (2j + 1) / u times it (the derivative of the image's
// exponent in the start), whose 1/u takes the bound's u^{-5/2} form.
bool add_small_time(SignedLogSums& sums, const LowerBoundary& m, double s1, double s2, double w, const Parts& scales,
                    bool lo_is_end, bool hi_is_end, double series_tolerance) {
  const auto add_image = [&](int j) {
    const double image_sign = j >= 0 ? 1.0 : -1.0;
    const double c = image_sign * m.a * (w + 2.0 * j);
    const double vv = m.v * image_sign;
    const double log_factor = 2.0 * m.v * m.a * j;
    const double image_drift = 2.0 * m.a * j * image_sign;
    add_end(sums, c, vv, s2, log_factor, {image_sign, 1.0, image_sign, m.a, image_drift, hi_is_end ? kAtS2 : kParts});
    add_end(sums, c, vv, s1, log_factor, {-image_sign, -1.0, image_sign, m.a, image_drift, lo_is_end ? kAtS1 : kParts});
  };
  add_image(0);
  const double u2 = s2 * m.inv_a2;
  const double log_drift_max = -m.v * m.a * w - m.v * m.v * s1 / 2.0;
  const double pull = m.a * std::fabs(m.v);
  for (int j = 1;; ++j) {
    const double half_b = (2.0 * j - w) * (2.0 * j - w) / 2.0;
    const double log_front = std::log(2.0 * (2.0 * j + 1.0) * kGeometricTail * (s2 - s1) * m.inv_a2) - kLogSqrt2Pi +
                             log_drift_max;
    const double u = std::min(u2, 2.0 * half_b / 3.0);
    const double log_tail = log_front - half_b / u - 1.5 * std::log(u);
    const double u_start = std::min(u2, 2.0 * half_b / 5.0);
    const double log_start_tail = log_front - half_b / u_start - 2.5 * std::log(u_start);
    const double log_target = std::log(series_tolerance) + sums.log_value();
    const bool settled =
        log_tail + std::log((m.a * (4.0 * j + 2.0) + std::fabs(m.v) * s2) / scales[kDrift]) <= log_target &&
        std::log((1.0 + pull) * std::exp(log_tail - log_target) +
                 (2.0 * j + 1.0) * std::exp(log_start_tail - log_target)) <=
            std::log(scales[kStart]);
    if (settled) return true;
    if (j == kMaxClosedImagePairs) return false;
    add_image(j);
    add_image(-j);
  }
}

// The Fourier series over decision times [s1, s2] above the switch: with
// lambda_k = v^2/2 + k^2 pi^2 / (2 a^2) and D_k the integral of
// e^{-lambda_k s} over the window, the integral is
// (pi / a^2) e^{-v a w} sum_k k D_k sin(k pi w); its parts differentiate
// e^{-v a w} sin(k pi w) in w, D_k in its ends, and both in v
// (dD/dlambda = -int s e^{-lambda s}).
bool add_large_time(SignedLogSums& sums, const LowerBoundary& m, double s1, double s2, double w, double far,
                    const Parts& scales, bool lo_is_end, double series_tolerance) {
  const double c = kPi * kPi * s1 * m.inv_a2 / 2.0;
  const double lambda1 = m.v * m.v / 2.0 + kPi * kPi * m.inv_a2 / 2.0;
  if (!std::isfinite(c) || !std::isfinite(lambda1)) return false;
  const double b = m.v * m.a;
  const double span = s2 - s1;
  const bool reflected = w > 0.5;
  const double x = kPi * (reflected ? far : w);
  Parts total{};
  Parts size{};
  for (int k = 1;; ++k) {
    if (k == 100000) return false;
    const double k2 = k * static_cast<double>(k);
    const double lambda = m.v * m.v / 2.0 + k2 * kPi * kPi * m.inv_a2 / 2.0;
    const double at_s1 = k * std::exp(-(k2 - 1.0) * c);
    if (k > 1) {
      // Term k of each part is at most at_s1 times these.
      const Parts bound{1.0 / lambda, (std::fabs(b) + k * kPi) / lambda, 1.0, 1.0,
                        (m.a * w + std::fabs(m.v) * s2) / lambda};
      bool settled = true;
      for (std::size_t p = 0; p < kParts; ++p) {
        const double size_p = std::fabs(total[p]) + scales[p] * total[kIntegral];
        if (!(at_s1 * bound[p] * kGeometricTail <= series_tolerance * size_p)) settled = false;
      }
      if (settled) break;
    }
    double sine = std::sin(k * x);
    double cosine = std::cos(k * x);
    if (reflected) {  // sin(k pi - t) = (-1)^{k+1} sin t, cos(k pi - t) = (-1)^k cos t
      if (k % 2 == 0) sine = -sine;
      else cosine = -cosine;
    }
    const auto [decay, d, d_slope] = exp_window(lambda, s1, span, at_s1);
    const double start = -b * sine + k * kPi * cosine;
    const Parts term{d * sine,
                     d * start,
                     lo_is_end ? at_s1 * sine : 0.0,
                     at_s1 * decay * sine,
                     (m.v * d_slope - m.a * w * d) * sine};
    const Parts magnitude{std::fabs(term[kIntegral]),
                          d * (std::fabs(b * sine) + k * kPi * std::fabs(cosine)),
                          std::fabs(term[kAtS1]),
                          std::fabs(term[kAtS2]),
                          (std::fabs(m.v) * (at_s1 / lambda) * (s1 + 2.0 / lambda + span) + m.a * w * d) *
                              std::fabs(sine)};
    for (std::size_t p = 0; p < kParts; ++p) {
      total[p] += term[p];
      size[p] += magnitude[p];
    }
  }
  const double log_factor = std::log(kPi * m.inv_a2) - b * w - lambda1 * s1;
  Parts error{};
  for (std::size_t p = 0; p < kParts; ++p) error[p] = kEps * (16.0 * size[p] + 4.0 * std::fabs(log_factor * total[p]));
  sums.add_scaled(log_factor, total, error);
  return true;
}

}  // namespace

std::optional<TimeWindowSlopes> closed_time_window_slopes(const LowerBoundary& m, double s1, double s2, double w,
                                                          double far, double tolerance) {
  if (m.sv != 0.0 || !(s2 > s1) || !(w > 0.0 && far > 0.0)) return std::nullopt;
  SignedLogSums sums;
  const double series_tolerance = closed_series_tolerance(tolerance);
  const double switch_time = kSeriesSwitch * m.a * m.a;
  const Parts scales = part_scales(m, s1, s2, w, far);
  if (s1 < switch_time &&
      !add_small_time(sums, m, s1, std::min(s2, switch_time), w, scales, true, s2 <= switch_time, series_tolerance)) {
    return std::nullopt;
  }
  if (s2 > switch_time &&
      !add_large_time(sums, m, std::max(s1, switch_time), s2, w, far, scales, s1 >= switch_time, series_tolerance)) {
    return std::nullopt;
  }
  const Parts& sum = sums.sum();
  const Parts& error = sums.error();
  const double integral = sum[kIntegral];
  if (!(integral > 0.0) || !std::isfinite(integral)) return std::nullopt;
  const double log_integral = sums.log_scale() + std::log(integral);
  const double allowed = attainable(tolerance, log_integral);
  for (std::size_t p = 0; p < kParts; ++p) {
    if (!(error[p] + 64.0 * kEps * std::fabs(sum[p]) <= allowed * (std::fabs(sum[p]) + scales[p] * integral))) {
      return std::nullopt;
    }
  }
  return TimeWindowSlopes{log_integral, sum[kStart] / integral, sum[kAtS1] / integral, sum[kAtS2] / integral,
                          sum[kDrift] / integral};
}

}  // namespace corvatel::internal
