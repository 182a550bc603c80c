#include "corvatel/wfpt.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <tuple>
#include <utility>

namespace corvatel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = std::numbers::pi;

// Below this normalised time the small-time series needs fewer terms than
// the large-time one (about 1 + sqrt(9 u) pairs of exponentials against
// sqrt(7.5 / u) terms for a 1e-16 tail); at the switch each needs 2-4.
constexpr double kSeriesSwitch = 0.45;

// For u < kSeriesSwitch consecutive image pairs shrink by at least
// (5/3) e^{-4/u} < 3e-4, and for u >= kSeriesSwitch consecutive Fourier terms
// by at least 1.5 e^{-5 pi^2 u / 2} < 3e-5: a tail is at most its first
// element times this.
constexpr double kGeometricTail = 1.001;

// f0(u, w) = factor * exp(exponent): the exponential that may underflow is
// kept apart so that callers can take one logarithm of everything else.
struct SeriesValue {
  double factor;    // > 0, or <= 0 / NaN when rounding failed the sum
  double exponent;
};

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
  double decay = 1.0;        // e^{-(k^2-1)c}
  double step = g2 * g;      // e^{-(2k+1)c}
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

SeriesValue unit_density(double u, double w) {
  const SeriesValue primary = (u < kSeriesSwitch) ? small_time(u, w) : large_time(u, w);
  if (primary.factor > 0.0 && std::isfinite(primary.factor)) return primary;
  // Rounding drove the partial sum to zero or below (only at extreme w),
  // or u^3 underflowed: the other series has neither problem there.
  return (u < kSeriesSwitch) ? large_time(u, w) : small_time(u, w);
}

// The model reduced to one boundary: the lower one, with drift and start
// reflected for the upper response, everything in units of noise_sd.
struct LowerBoundary {
  double v;       // drift
  double a;       // boundary
  double sv;      // drift sd
  double inv_a2;  // 1 / a^2
};

// log density at the lower boundary at decision time tau > 0 from relative
// start w, with sv integrated out:
//   f = exp((sv^2 a^2 w^2 - 2 v a w - v^2 tau) / (2 (1 + sv^2 tau)))
//       / (a^2 sqrt(1 + sv^2 tau)) * f0(tau / a^2, w).
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

// ---- Closed forms over the start (sz) and the non-decision time (st) ----
//
// Averaging the density over a uniform start is an integral over w of each
// series term; averaging over a uniform t0 is an integral over decision time,
// i.e. a difference of first-passage distribution functions. Term by term
// both have closed forms in exp, erfc and sin, which replace the nested
// quadrature. Each closed form is a signed sum whose rounding error is
// estimated alongside it; where that estimate exceeds the caller's tolerance
// (tiny sz or st against the scales of the density, a drift next to 0) the
// caller falls back to quadrature.

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kLogSqrt2Pi = 0.918938533204672741780329736406912;  // log sqrt(2 pi)
constexpr double kSqrtHalf = 0.707106781186547524400844362104849;
constexpr double kSqrtHalfPi = 1.253314137315500251207882642405523;  // sqrt(pi / 2)

// From here on the Mills ratio comes from its asymptotic series (12 terms
// leave less than 1e-19 relative); below it erfc(x / sqrt 2) e^{x^2/2} loses
// about 1.5 x^2 ulps, at most 7e-14 relative.
constexpr double kMillsSeriesFrom = 20.0;

// The closed forms' series stop when their tails are below this part of
// the caller's tolerance (the rest is left to rounding).
double closed_series_tolerance(double tolerance) { return std::max(kSeriesTolerance, 0.01 * tolerance); }

// Below the series switch image pair j weighs about e^{-(2j-1)^2 / 0.9}: 6
// pairs reach 1e-50. A sum still unsettled after this many has cancelled
// itself away (a window far narrower than the density's scales), and the
// quadrature takes over at once instead of after a long loop.
constexpr int kMaxClosedImagePairs = 50;

// R(x) = Phi(-x) / phi(x) and q(x) = 1 - x R(x) for x >= 0, both positive.
struct Mills {
  double r;
  double q;
};

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

// Relative rounding error of q(x) as mills() computes it: 1 - x R cancels
// about x^2 of R's error below kMillsSeriesFrom.
double mills_q_error(double x) {
  const double x2 = x * x;
  return x < kMillsSeriesFrom ? kEps * (8.0 + 2.0 * x2 * (1.0 + x2)) : 8.0 * kEps;
}

double log_phi(double x) { return -0.5 * x * x - kLogSqrt2Pi; }

// log Phi(x), accurate far into both tails.
double log_ndtr(double x) {
  if (x > 0.0) return std::log1p(-0.5 * std::erfc(x * kSqrtHalf));
  if (x > -kMillsSeriesFrom) return std::log(0.5 * std::erfc(-x * kSqrtHalf));
  return log_phi(x) + std::log(mills(-x).r);
}

// A sum of signed terms given by their logarithms, scaled by its largest
// term so far so that nothing over- or underflows, with a running bound on
// its rounding error (each term's relative error times its size).
class SignedLogSum {
 public:
  // Adds e^{log_scale} x with absolute error e^{log_scale} error.
  void add_scaled(double log_scale, double x, double error) {
    if (!(log_scale > -kInf) || x == 0.0) return;
    if (log_scale > ref_) {
      const double rescale = std::exp(ref_ - log_scale);  // 0 for the first term
      sum_ *= rescale;
      error_ *= rescale;
      ref_ = log_scale;
    }
    const double scale = std::exp(log_scale - ref_);
    sum_ += x * scale;
    error_ += error * scale;
  }
  void add(double sign, double log_size, double relative_error) { add_scaled(log_size, sign, relative_error); }
  // log of the sum; NaN when the sum is not positive.
  double log_value() const { return sum_ > 0.0 ? ref_ + std::log(sum_) : std::numeric_limits<double>::quiet_NaN(); }
  // Positive, with the error bound (plus the additions' own rounding) within
  // `tolerance` of it.
  bool accurate(double tolerance) const { return sum_ > 0.0 && error_ + 64.0 * kEps * sum_ <= tolerance * sum_; }

 private:
  double ref_ = -kInf;
  double sum_ = 0.0;
  double error_ = 0.0;
};

double sign_of(double x) { return x < 0.0 ? -1.0 : 1.0; }

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
    if (images.log_tail(w1, w2, j, w2 - w1) <= log_series_tolerance + sum.log_value()) break;
    if (j == kMaxClosedImagePairs) return std::nullopt;
    images.add_integral(sum, w1, w2, j);
    images.add_integral(sum, w1, w2, -j);
  }
  if (!sum.accurate(tolerance)) return std::nullopt;
  return sum.log_value();
}

// Integral of e^{-b w} sin(k pi w) over [mid - h, mid + h], as
// exp(log_scale) * value(k):
//   2 [sin(k pi mid)(b S cos(k pi h) + k pi C sin(k pi h))
//      + cos(k pi mid)(k pi S cos(k pi h) - b C sin(k pi h))] / (b^2 + k^2 pi^2)
// with S, C = sinh(b h), cosh(b h) times e^{-|b| h}. sin and cos of k pi mid
// come from the nearer end of (0, 1), like large_time's.
class ExpSinIntegral {
 public:
  ExpSinIntegral(double b, double w1, double w2) : b_(b), mid_(0.5 * (w1 + w2)), h_(0.5 * (w2 - w1)) {
    const double bh = std::fabs(b) * h_;
    s_ = std::copysign(-0.5 * std::expm1(-2.0 * bh), b);
    c_ = 0.5 * (1.0 + std::exp(-2.0 * bh));
    log_scale_ = -b * mid_ + bh;
    reflected_ = mid_ > 0.5;
    x_ = kPi * (reflected_ ? 1.0 - mid_ : mid_);
  }
  double log_scale() const { return log_scale_; }
  // Bound on |value(k)|: the integral of e^{-b w} alone.
  double bound() const { return b_ == 0.0 ? 2.0 * h_ : 2.0 * s_ / b_; }
  // The value and the sum of the magnitudes of its parts (for rounding).
  std::pair<double, double> value(int k) const {
    const double c = k * kPi;
    double sin_mid = std::sin(k * x_);
    double cos_mid = std::cos(k * x_);
    if (reflected_) {  // sin(k pi - t) = (-1)^{k+1} sin t, cos(k pi - t) = (-1)^k cos t
      if (k % 2 == 0) sin_mid = -sin_mid;
      else cos_mid = -cos_mid;
    }
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

 private:
  double b_, mid_, h_, s_ = 0.0, c_ = 0.0, log_scale_ = 0.0, x_ = 0.0;
  bool reflected_ = false;
};

// log of the integral over w in [w1, w2] of the lower-boundary density at
// u = tau / a^2 >= kSeriesSwitch, sv = 0, from the large-time series:
//   (pi / a^2) e^{-v^2 tau / 2} sum_k k e^{-k^2 pi^2 u / 2} int e^{-v a w} sin(k pi w) dw.
std::optional<double> log_large_time_over_start(const LowerBoundary& m, double tau, double w1, double w2,
                                                double tolerance) {
  const double c = kPi * kPi * tau * m.inv_a2 / 2.0;
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

// log of the mean of the density over w in [w1, w2] at decision time tau,
// in closed form where one is known and accurate.
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
    if (j == kMaxClosedImagePairs) return false;
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

// log of the integral of the density over decision times [s1, s2] (and the
// mean over starts [w1, w2] when w2 > w1), sv = 0; nothing when a series
// did not converge or rounding may have cost more than `tolerance`.
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

// A Gauss-Kronrod pair on [-1, 1]: the non-negative Kronrod abscissae
// (largest first, 0 last) and weights, and the Gauss weights, which belong to
// the odd-numbered abscissae.
template <std::size_t H>
struct KronrodRule {
  std::array<double, H> x;
  std::array<double, H> wk;
  std::array<double, H / 2> wg;
};

// 7/15 points (degree 22 exact for K15).
constexpr KronrodRule<8> kRule15{
    {0.991455371120812639206854697526329, 0.949107912342758524526189684047851,
     0.864864423359769072789712788640926, 0.741531185599394439863864773280788,
     0.586087235467691130294144845693013, 0.405845151377397166906606412076961,
     0.207784955007898467600689403773245, 0.000000000000000000000000000000000},
    {0.022935322010529224963732008058970, 0.063092092629978553290700663189204,
     0.104790010322250183839876322541518, 0.140653259715525918745189590510238,
     0.169004726639267902826583426598550, 0.190350578064785409913256402421014,
     0.204432940075298892414161999234649, 0.209482141084727828012999174891714},
    {0.129484966168869693270611432679082, 0.279705391489276667901467771423780,
     0.381830050505118944950369775488975, 0.417959183673469387755102040816327}};

// 3/7 points (degree 11 exact for K7): for the looser tolerances of the
// fits, where nested sz/st integrals cost 7 x 7 instead of 15 x 15 values.
constexpr KronrodRule<4> kRule7{
    {0.960491268708020283423507092629080, 0.774596669241483377035853079956480,
     0.434243749346802558002071502844628, 0.000000000000000000000000000000000},
    {0.104656226026467265193823857192073, 0.268488089868333440728569280666710,
     0.401397414775962222905051818618432, 0.450916538658474142345110087045571},
    {0.555555555555555555555555555555556, 0.888888888888888888888888888888889}};

struct Segment {
  double lo, hi, integral, error;
};

// log_f at the 2H - 1 abscissae of [lo, hi]: pairs mid -+ dx, then mid.
template <std::size_t H, typename LogF>
std::array<double, 2 * H - 1> kronrod_logs(const KronrodRule<H>& rule, const LogF& log_f, double lo, double hi) {
  const double half = 0.5 * (hi - lo);
  const double mid = 0.5 * (hi + lo);
  std::array<double, 2 * H - 1> out;
  for (std::size_t i = 0; i + 1 < H; ++i) {
    const double dx = half * rule.x[i];
    out[2 * i] = log_f(mid - dx);
    out[2 * i + 1] = log_f(mid + dx);
  }
  out[2 * H - 2] = log_f(mid);
  return out;
}

// The Kronrod sum and the error estimate |K - G| on [lo, hi] for
// exp(log_f - ref), from the values kronrod_logs gave.
template <std::size_t H>
Segment kronrod(const KronrodRule<H>& rule, const std::array<double, 2 * H - 1>& logs, double lo, double hi,
                double ref) {
  const double half = 0.5 * (hi - lo);
  double k = 0.0;
  double g = 0.0;
  for (std::size_t i = 0; i < H; ++i) {
    const double f = (i + 1 == H) ? std::exp(logs[2 * H - 2] - ref)
                                  : std::exp(logs[2 * i] - ref) + std::exp(logs[2 * i + 1] - ref);
    k += rule.wk[i] * f;
    if (i % 2 == 1) g += rule.wg[i / 2] * f;
  }
  return {lo, hi, k * half, std::fabs(k - g) * half};
}

// log of the integral of exp(log_f) over [lo, hi], globally adaptive: the
// segment with the largest error estimate is halved until the summed
// estimates are at most `tolerance` times the integral (or 200 segments).
// Values are scaled by exp(-ref), ref the largest log value seen so far, so
// that exp() stays in range wherever the density itself underflows.
template <std::size_t H, typename LogF>
double log_integral(const KronrodRule<H>& rule, const LogF& log_f, double lo, double hi, double tolerance) {
  constexpr std::size_t kMaxSegments = 200;
  std::array<Segment, kMaxSegments> segs;
  std::size_t n = 0;
  double ref = -kInf;
  const auto add = [&](std::size_t slot, double a, double b) {
    const auto logs = kronrod_logs(rule, log_f, a, b);
    const double top = *std::max_element(logs.begin(), logs.end());
    if (top > ref) {
      const double rescale = std::exp(ref - top);  // 0 on the first segment
      for (std::size_t i = 0; i < n; ++i) {
        if (i == slot) continue;
        segs[i].integral *= rescale;
        segs[i].error *= rescale;
      }
      ref = top;
    }
    segs[slot] = kronrod(rule, logs, a, b, ref);
  };
  add(n++, lo, hi);
  if (!(ref > -kInf)) return -kInf;
  for (;;) {
    double total = 0.0;
    double error = 0.0;
    std::size_t worst = 0;
    for (std::size_t i = 0; i < n; ++i) {
      total += segs[i].integral;
      error += segs[i].error;
      if (segs[i].error > segs[worst].error) worst = i;
    }
    if (error <= tolerance * total || n == kMaxSegments) return ref + std::log(total);
    const Segment s = segs[worst];
    const double m = 0.5 * (s.lo + s.hi);
    segs[worst] = {s.lo, m, 0.0, 0.0};  // refilled next; counts nothing meanwhile
    add(n++, m, s.hi);
    add(worst, s.lo, m);
  }
}

// The variabilities' integrals. integrate(log_f, lo, hi, share) is the log
// of the integral of exp(log_f) over [lo, hi]; `share` is the part of the
// error budget it may spend (the inner sz integral's errors add up in st).
// With `closed_tolerance` set, the closed forms are tried first and accepted
// when their rounding is within it (times the same shares).
template <typename Integrate>
double log_density_with(const Integrate& integrate, double rt, const ModelParams& p, const LowerBoundary& m,
                        double w, std::optional<double> closed_tolerance) {
  const double w1 = w - p.sz / 2.0;
  const double w2 = w + p.sz / 2.0;
  // Mean over the start distribution at decision time tau.
  const auto log_over_start = [&](double tau) {
    if (p.sz == 0.0) return log_lower(m, tau, w);
    if (closed_tolerance) {
      if (const auto closed = log_closed_over_start(m, tau, w1, w2, *closed_tolerance * 0.25)) return *closed;
    }
    const auto at = [&](double ww) { return log_lower(m, tau, ww); };
    return integrate(at, w1, w2, 0.25) - std::log(w2 - w1);
  };
  if (p.st == 0.0) return log_over_start(rt - p.t0);
  // Averages divide by the windows as rounded (w2 - w1 here, tau_hi -
  // tau_lo below, not sz and st), so that a window far narrower than its
  // centre still averages to the density there.
  const double window_lo = rt - p.t0 - p.st / 2.0;
  const double tau_lo = std::max(0.0, window_lo);
  const double tau_hi = rt - (p.t0 - p.st / 2.0);
  const double log_window = std::log(tau_hi - window_lo);
  if (closed_tolerance && m.sv == 0.0) {
    const double hi = p.sz == 0.0 ? w : w2;
    const double lo = p.sz == 0.0 ? w : w1;
    if (const auto closed = log_closed_over_time(m, tau_lo, tau_hi, lo, hi, *closed_tolerance)) {
      return *closed - log_window;
    }
  }
  return integrate(log_over_start, tau_lo, tau_hi, 1.0) - log_window;
}

// Gauss-Legendre abscissae (non-negative, largest first, 0 last) and weights
// on [-1, 1], 5 points: exact to degree 9.
constexpr std::array<double, 3> kLegendre5X{0.906179845938663992797626878299393, 0.538469310105683091036314420700208,
                                            0.0};
constexpr std::array<double, 3> kLegendre5W{0.236926885056189087514264040719918, 0.478628670499366468041291514835639,
                                            0.568888888888888888888888888888889};

// log of the 5-point Gauss-Legendre sum of exp(log_f) over [lo, hi], scaled
// by its largest value so that exp() stays in range.
template <typename LogF>
double log_legendre5(const LogF& log_f, double lo, double hi) {
  const double half = 0.5 * (hi - lo);
  const double mid = 0.5 * (hi + lo);
  std::array<double, 5> logs;
  for (std::size_t i = 0; i < 2; ++i) {
    const double dx = half * kLegendre5X[i];
    logs[2 * i] = log_f(mid - dx);
    logs[2 * i + 1] = log_f(mid + dx);
  }
  logs[4] = log_f(mid);
  const double ref = *std::max_element(logs.begin(), logs.end());
  if (!(ref > -kInf)) return -kInf;
  double sum = kLegendre5W[2] * std::exp(logs[4] - ref);
  for (std::size_t i = 0; i < 2; ++i) sum += kLegendre5W[i] * (std::exp(logs[2 * i] - ref) + std::exp(logs[2 * i + 1] - ref));
  return ref + std::log(sum * half);
}

// The model at the lower boundary for the response `choice` (drift and start
// reflected for the upper one), in units of noise_sd, and the relative start.
struct Reduced {
  LowerBoundary m;
  double w;
};

Reduced reduce(bool choice, const ModelParams& p) {
  LowerBoundary m{p.drift / p.noise_sd, p.boundary / p.noise_sd, p.sv / p.noise_sd, 0.0};
  m.inv_a2 = 1.0 / (m.a * m.a);
  if (choice) return {{-m.v, m.a, m.sv, m.inv_a2}, 1.0 - p.start};
  return {m, p.start};
}

}  // namespace

std::optional<ParamError> check_density_args(double rt, const ModelParams& p) {
  if (std::isnan(rt)) return ParamError::rt();
  return check_params(p, ParamUse::Density);
}

double log_unit_density(double u, double w) {
  const SeriesValue f0 = unit_density(u, w);
  return std::log(f0.factor) + f0.exponent;
}

double upper_probability(double drift, double boundary, double start, double noise_sd) {
  const double x = 2.0 * (drift / noise_sd) * (boundary / noise_sd);
  if (x == 0.0) return start;
  const double z = x * start;
  // (1 - e^{-z}) / (1 - e^{-x}), rewritten for x < 0 so nothing overflows.
  if (x > 0.0) return std::expm1(-z) / std::expm1(-x);
  return std::exp(x - z) * std::expm1(z) / std::expm1(x);
}

double wfpt_log_density(double rt, bool choice, const ModelParams& p, double tolerance) {
  if (std::isinf(rt)) return -kInf;
  const double lower_edge = p.t0 - p.st / 2.0;
  if (!(rt > lower_edge)) return -kInf;
  const auto [m, w] = reduce(choice, p);
  if (p.sz == 0.0 && p.st == 0.0) return log_lower(m, rt - p.t0, w);
  const auto with_rule = [&](const auto& rule) {
    const auto integrate = [&](const auto& log_f, double lo, double hi, double share) {
      return log_integral(rule, log_f, lo, hi, tolerance * share);
    };
    return log_density_with(integrate, rt, p, m, w, tolerance);
  };
  if (tolerance >= kLowOrderTolerance) return with_rule(kRule7);
  return with_rule(kRule15);
}

double wfpt_log_density_search(double rt, bool choice, const ModelParams& p) {
  if (std::isinf(rt)) return -kInf;
  if (!(rt > p.t0 - p.st / 2.0)) return -kInf;
  const auto [m, w] = reduce(choice, p);
  const auto integrate = [](const auto& log_f, double lo, double hi, double) { return log_legendre5(log_f, lo, hi); };
  return log_density_with(integrate, rt, p, m, w, std::nullopt);
}

}  // namespace corvatel
