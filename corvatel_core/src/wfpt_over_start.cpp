// The density averaged over a uniform start in closed form
// (wfpt_averages.h): below the series switch each image of the small-time
// series, a Gaussian in the start, integrates to normal distribution
// functions (written through Mills ratios so that nothing underflows);
// above it (sv = 0) each Fourier term integrates to an exponential times
// sines and cosines (ExpSinIntegral).
#include <cmath>
#include <optional>
#include <utility>

#include "corvatel/internal/wfpt_averages.h"
#include "corvatel/internal/wfpt_special.h"

namespace corvatel::internal {

ExpSinIntegral::ExpSinIntegral(double b, double w1, double w2) : b_(b), mid_(0.5 * (w1 + w2)), h_(0.5 * (w2 - w1)) {
  const double bh = std::fabs(b) * h_;
  s_ = std::copysign(-0.5 * std::expm1(-2.0 * bh), b);
  c_ = 0.5 * (1.0 + std::exp(-2.0 * bh));
  log_scale_ = -b * mid_ + bh;
  reflected_ = mid_ > 0.5;
  x_ = kPi * (reflected_ ? 1.0 - mid_ : mid_);
}

std::pair<double, double> ExpSinIntegral::at_mid(int k) const {
  double sin_mid = std::sin(k * x_);
  double cos_mid = std::cos(k * x_);
  if (reflected_) {  // sin(k pi - t) = (-1)^{k+1} sin t, cos(k pi - t) = (-1)^k cos t
    if (k % 2 == 0) sin_mid = -sin_mid;
    else cos_mid = -cos_mid;
  }
  return {sin_mid, cos_mid};
}

std::pair<double, double> ExpSinIntegral::value(int k) const {
  const double c = k * kPi;
  const auto [sin_mid, cos_mid] = at_mid(k);
  const double sin_h = std::sin(c * h_);
  const double cos_h = std::cos(c * h_);
  const double a1 = b_ * s_ * cos_h;
  const double a2 = c * c_ * sin_h;
  const double a3 = c * s_ * cos_h;
  const double a4 = b_ * c_ * sin_h;
  const double scale = 2.0 / (b_ * b_ + c * c);
  const double v = scale * (sin_mid * (a1 + a2) + cos_mid * (a3 - a4));
  const double size = scale * (std::fabs(sin_mid) * (std::fabs(a1) + std::fabs(a2)) +
                               std::fabs(cos_mid) * (std::fabs(a3) + std::fabs(a4)));
  return {v, size};
}

// d/db of e^{-b mid} 2 N / (b^2 + c^2), N the bracket of value() with
// sinh(b h), cosh(b h) (S, C times e^{|b| h}, which log_scale carries):
// -mid value - 2b / (b^2 + c^2) value + 2 dN/db / (b^2 + c^2); the ends are
// e^{-b (mid -+ h)} sin(c (mid -+ h)).
ExpSinIntegral::Slopes ExpSinIntegral::slopes(int k) const {
  const double c = k * kPi;
  const auto [sin_mid, cos_mid] = at_mid(k);
  const double sin_h = std::sin(c * h_);
  const double cos_h = std::cos(c * h_);
  const double scale = 2.0 / (b_ * b_ + c * c);
  const double a1 = b_ * s_ * cos_h;
  const double a2 = c * c_ * sin_h;
  const double a3 = c * s_ * cos_h;
  const double a4 = b_ * c_ * sin_h;
  Slopes out{};
  out.value = scale * (sin_mid * (a1 + a2) + cos_mid * (a3 - a4));
  out.value_size = scale * (std::fabs(sin_mid) * (std::fabs(a1) + std::fabs(a2)) +
                            std::fabs(cos_mid) * (std::fabs(a3) + std::fabs(a4)));
  const double d1 = s_ * cos_h;
  const double d2 = b_ * h_ * c_ * cos_h;
  const double d3 = c * h_ * s_ * sin_h;
  const double d4 = c * h_ * c_ * cos_h;
  const double d5 = c_ * sin_h;
  const double d6 = b_ * h_ * s_ * sin_h;
  const double n_slope = sin_mid * (d1 + d2 + d3) + cos_mid * (d4 - d5 - d6);
  const double n_slope_size = std::fabs(sin_mid) * (std::fabs(d1) + std::fabs(d2) + std::fabs(d3)) +
                              std::fabs(cos_mid) * (std::fabs(d4) + std::fabs(d5) + std::fabs(d6));
  const double shift = -mid_ - b_ * scale;
  out.b_slope = shift * out.value + scale * n_slope;
  out.b_slope_size = std::fabs(shift) * out.value_size + scale * n_slope_size;
  // e^{-b w} at the ends relative to e^{log_scale} = e^{-b mid + |b| h}.
  const double bh = std::fabs(b_) * h_;
  const double near = 1.0;                        // the end where -b w is largest
  const double far = std::exp(-2.0 * bh);
  const double lo_factor = b_ > 0.0 ? near : far;  // w = mid - h
  const double hi_factor = b_ > 0.0 ? far : near;
  const double sin_lo = sin_mid * cos_h - cos_mid * sin_h;
  const double sin_hi = sin_mid * cos_h + cos_mid * sin_h;
  out.at_lo = lo_factor * sin_lo;
  out.at_hi = hi_factor * sin_hi;
  out.ends_size = std::fabs(sin_mid * cos_h) + std::fabs(cos_mid * sin_h);
  return out;
}

namespace {

// Image j of the small-time density at the lower boundary with the drift
// and sv factor, as a function of w at fixed tau:
//   e^{Q(w)} (w + 2j) / (a^2 sqrt(D) sqrt(2 pi u^3)),
//   Q(w) = -(w+2j)^2 / (2u) + (sv^2 a^2 w^2 - 2 v a w - v^2 tau) / (2D),
// D = 1 + sv^2 tau. Q is a downward parabola with vertex `mean` and width
// sigma = sqrt(u D), so the integral over [w1, w2] is, with x = (w - mean)/sigma,
//   e^{Q(mean)} / (a^2 u) [sigma (phi(x1) - phi(x2)) + (mean + 2j)(Phi(x2) - Phi(x1))].
// Where [w1, w2] lies on one side of the vertex, Phi differences are taken
// through Mills ratios of that side, so nothing underflows.
struct SmallTimeImages {
  const LowerBoundary& m;
  double tau, u, d, sigma, sv2a2;

  SmallTimeImages(const LowerBoundary& model, double tau_) : m(model), tau(tau_), u(tau_ * model.inv_a2) {
    d = 1.0 + m.sv * m.sv * tau;
    sigma = std::sqrt(u * d);
    sv2a2 = m.sv * m.sv * m.a * m.a;
  }
  // The drift and sv exponent, and the size of its parts (for rounding).
  double drift_exponent(double w) const {
    return (sv2a2 * w * w - 2.0 * m.v * m.a * w - m.v * m.v * tau) / (2.0 * d);
  }
  double drift_exponent_size(double w) const {
    return (sv2a2 * w * w + std::fabs(2.0 * m.v * m.a * w) + m.v * m.v * tau) / (2.0 * d);
  }

  void add_integral(SignedLogSum& sum, double w1, double w2, int j) const {
    const double two_j = 2.0 * j;
    const double mean = -two_j * d - m.v * m.a * u;
    const double log_prefactor = -std::log(m.a * m.a * u) - kLogSqrt2Pi;
    const auto q_of = [&](double w) {
      const double s = w + two_j;
      return -s * s / (2.0 * u) + drift_exponent(w);
    };
    const auto q_size = [&](double w) {
      const double s = w + two_j;
      return s * s / (2.0 * u) + drift_exponent_size(w);
    };
    const double x1 = (w1 - mean) / sigma;
    const double x2 = (w2 - mean) / sigma;
    // sign phi(x) [sigma q(|x|) + side (w + 2j) R(|x|)], side = +1 right of
    // the vertex, -1 left of it.
    const auto add_end = [&](double w, double x, double sign, double side) {
      const double ax = std::fabs(x);
      const Mills r = mills(ax);
      const double first = sigma * r.q;
      const double second = side * (w + two_j) * r.r;
      const double base_error = kEps * (16.0 + 4.0 * q_size(w));
      sum.add_scaled(log_prefactor + q_of(w), sign * (first + second),
                     first * (base_error + mills_q_error(ax)) +
                         std::fabs(second) * (base_error + kEps * (8.0 + 2.0 * ax * ax)));
    };
    if (x1 >= 0.0) {
      add_end(w1, x1, 1.0, 1.0);
      add_end(w2, x2, -1.0, 1.0);
    } else if (x2 <= 0.0) {
      add_end(w1, x1, 1.0, -1.0);
      add_end(w2, x2, -1.0, -1.0);
    } else {
      const double base1 = kEps * (16.0 + 4.0 * q_size(w1));
      const double base2 = kEps * (16.0 + 4.0 * q_size(w2));
      sum.add(1.0, log_prefactor + q_of(w1) + std::log(sigma), base1);
      sum.add(-1.0, log_prefactor + q_of(w2) + std::log(sigma), base2);
      const double inside = 1.0 - 0.5 * std::erfc(x2 * kSqrtHalf) - 0.5 * std::erfc(-x1 * kSqrtHalf);
      const double s = mean + two_j;
      sum.add(sign_of(s), -std::log(m.a * m.a * u) + q_of(mean) + std::log(std::fabs(s) * inside),
              kEps * (32.0 + 4.0 * q_size(mean)) / inside);
    }
  }

  // log of a bound on all image pairs j' >= j over [w1, w2] (the pointwise
  // pair bound of small_time, at the worst w), times `width`.
  double log_tail(double w1, double w2, int j, double width) const {
    const double s = 2.0 * j - w2;
    return std::log(2.0 * (2.0 * j + 1.0) * kGeometricTail * width) - s * s / (2.0 * u) +
           std::max(drift_exponent(w1), drift_exponent(w2)) - std::log(m.a * m.a * std::sqrt(d)) - kLogSqrt2Pi -
           1.5 * std::log(u);
  }
};

// log of the integral over w in [w1, w2] of the lower-boundary density at
// decision time tau with u = tau / a^2 < kSeriesSwitch (sv included);
// nothing when rounding may have cost more than `tolerance` of it.
std::optional<double> log_small_time_over_start(const LowerBoundary& m, double tau, double w1, double w2,
                                                double tolerance) {
  const SmallTimeImages images(m, tau);
  const double log_series_tolerance = std::log(closed_series_tolerance(tolerance));
  SignedLogSum sum;
  images.add_integral(sum, w1, w2, 0);
  for (int j = 1;; ++j) {
    const double log_tail = images.log_tail(w1, w2, j, w2 - w1);
    if (log_tail <= log_series_tolerance + sum.log_value()) break;
    if (j == kMaxClosedImagePairs || sum.hopeless(log_tail, log_series_tolerance)) return std::nullopt;
    images.add_integral(sum, w1, w2, j);
    images.add_integral(sum, w1, w2, -j);
  }
  if (!sum.accurate(tolerance)) return std::nullopt;
  return sum.log_value();
}

// log of the integral over w in [w1, w2] of the lower-boundary density at
// u = tau / a^2 >= kSeriesSwitch, sv = 0, from the large-time series:
//   (pi / a^2) e^{-v^2 tau / 2} sum_k k e^{-k^2 pi^2 u / 2} int e^{-v a w} sin(k pi w) dw.
std::optional<double> log_large_time_over_start(const LowerBoundary& m, double tau, double w1, double w2,
                                                double tolerance) {
  const double c = kPi * kPi * tau * m.inv_a2 / 2.0;
  if (!std::isfinite(c)) return std::nullopt;  // e^{-c} is below every double
  const ExpSinIntegral integral(m.v * m.a, w1, w2);
  const double series_tolerance = closed_series_tolerance(tolerance);
  double sum = 0.0;
  double size = 0.0;
  for (int k = 1; k < 100000; ++k) {
    const double decay = std::exp(-(k * static_cast<double>(k) - 1.0) * c);
    if (k > 1 && k * decay * integral.bound() * kGeometricTail <= series_tolerance * std::fabs(sum)) break;
    const auto [v, s] = integral.value(k);
    sum += k * decay * v;
    size += k * decay * s;
  }
  if (!(sum > 0.0) || 16.0 * kEps * size > tolerance * sum) return std::nullopt;
  return std::log(kPi * m.inv_a2 * sum) + (integral.log_scale() - m.v * m.v * tau / 2.0 - c);
}

}  // namespace

std::optional<double> log_closed_over_start(const LowerBoundary& m, double tau, double w1, double w2,
                                            double tolerance) {
  if (!(tau > 0.0) || std::isinf(tau)) return -kInf;
  std::optional<double> r;
  if (tau * m.inv_a2 < kSeriesSwitch) {
    r = log_small_time_over_start(m, tau, w1, w2, tolerance);
  } else if (m.sv == 0.0) {
    r = log_large_time_over_start(m, tau, w1, w2, tolerance);
  }
  if (r) *r -= std::log(w2 - w1);
  return r;
}

}  // namespace corvatel::internal
