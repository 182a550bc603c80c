// Special functions for the densities' closed forms, and the signed sum in
// log space that adds their terms. Internal to the core: callers use wfpt.h.
//
// The closed forms over the start and over time (wfpt_averages.h) are sums
// of Gaussian integrals whose terms can be far below the smallest double
// and can cancel each other. Each term is written as a logarithm (its size)
// times a moderate number, tails of the normal distribution through the
// Mills ratio R(x) = Phi(-x) / phi(x) so that nothing underflows, and the sum
// carries a bound on its own rounding so that a caller can tell whether to
// trust it or fall back to quadrature.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>

namespace corvatel::internal {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kPi = std::numbers::pi;
inline constexpr double kEps = std::numeric_limits<double>::epsilon();
inline constexpr double kLogSqrt2Pi = 0.918938533204672741780329736406912;  // log sqrt(2 pi)
inline constexpr double kSqrtHalf = 0.707106781186547524400844362104849;
inline constexpr double kSqrtHalfPi = 1.253314137315500251207882642405523;  // sqrt(pi / 2)

// From here on the Mills ratio comes from its asymptotic series (12 terms
// leave less than 1e-19 relative); below it erfc(x / sqrt 2) e^{x^2/2} loses
// about 1.5 x^2 ulps, at most 7e-14 relative.
inline constexpr double kMillsSeriesFrom = 20.0;

// A logarithm L is known to within a few ulps of itself, eps |L|: the
// error targets of the closed forms and the quadrature never ask for less
// than this many of them, relative to the density (with |L| above about
// 1e5 the 1e-9 default asks for more than any computation in doubles can
// give, and would only send the quadrature to its segment limit).
inline constexpr double kLogUlps = 32.0;

// Nor do they ever accept more than this relative error: error estimates
// much larger than that no longer measure the error (a Kronrod estimate
// that sees one node of a peak far narrower than its segment says 100%
// where the integral is e^{-1e40} off), and 1% of the density is within
// kLogUlps ulps of any log larger than 1.4e12 in magnitude.
inline constexpr double kMaxRelativeError = 0.01;

// The relative error that a computation of a density with log L can be
// asked for: `tolerance`, or kLogUlps ulps of L when that is larger, but
// not above kMaxRelativeError.
inline double attainable(double tolerance, double log_value) {
  return std::max(tolerance, std::min(kMaxRelativeError, kLogUlps * kEps * std::fabs(log_value)));
}

// R(x) = Phi(-x) / phi(x) and q(x) = 1 - x R(x) for x >= 0, both positive.
struct Mills {
  double r;
  double q;
};

Mills mills(double x);

// Relative rounding error of q(x) as mills() computes it: 1 - x R cancels
// about x^2 of R's error below kMillsSeriesFrom.
double mills_q_error(double x);

// log phi(x), the standard normal density.
inline double log_phi(double x) { return -0.5 * x * x - kLogSqrt2Pi; }

// log Phi(x), accurate far into both tails.
double log_ndtr(double x);

inline double sign_of(double x) { return x < 0.0 ? -1.0 : 1.0; }

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
  // log of the largest scale added so far.
  double log_scale() const { return ref_; }
  // Not positive, though terms below e^{log_bound} cannot lift it by more
  // than `tolerance` of its largest term: no more terms of a convergent
  // series will make it accurate.
  bool hopeless(double log_bound, double log_tolerance) const {
    return !(sum_ > 0.0) && ref_ > -kInf && log_bound <= log_tolerance + ref_;
  }
  // Positive and finite, with the error bound (plus the additions' own
  // rounding) within `tolerance` of it, or within what its log allows.
  bool accurate(double tolerance) const {
    return sum_ > 0.0 && std::isfinite(sum_) &&
           error_ + 64.0 * kEps * sum_ <= attainable(tolerance, log_value()) * sum_;
  }

 private:
  double ref_ = -kInf;
  double sum_ = 0.0;
  double error_ = 0.0;
};

// SignedLogSum for several sums whose terms come in the same scales (a
// value and its derivatives): one rescaling serves them all. Part 0 is the
// value, positive.
template <std::size_t N>
class SignedLogSumArray {
 public:
  using Parts = std::array<double, N>;
  void add_scaled(double log_scale, const Parts& x, const Parts& error) {
    if (!(log_scale > -kInf)) return;
    if (log_scale > ref_) {
      const double rescale = std::exp(ref_ - log_scale);  // 0 for the first term
      for (std::size_t k = 0; k < N; ++k) {
        sum_[k] *= rescale;
        error_[k] *= rescale;
      }
      ref_ = log_scale;
    }
    const double scale = std::exp(log_scale - ref_);
    for (std::size_t k = 0; k < N; ++k) {
      sum_[k] += x[k] * scale;
      error_[k] += error[k] * scale;
    }
  }
  // Adds another sum's parts and errors.
  void add(const SignedLogSumArray& other) { add_scaled(other.ref_, other.sum_, other.error_); }
  const Parts& sum() const { return sum_; }
  const Parts& error() const { return error_; }
  double log_scale() const { return ref_; }
  // log of the value; NaN while it is not positive (so that no tail
  // compares as small against it).
  double log_value() const {
    return sum_[0] > 0.0 ? ref_ + std::log(sum_[0]) : std::numeric_limits<double>::quiet_NaN();
  }

 private:
  double ref_ = -kInf;
  Parts sum_{}, error_{};
};

}  // namespace corvatel::internal
