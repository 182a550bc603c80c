// The densities averaged over a uniform start (sz) and a uniform
// non-decision time (st) in closed form, term by term of the series.
// Internal to the core: callers use wfpt.h.
//
// Over the start each image term of the small-time series is a Gaussian in
// w (sv included) and each Fourier term of the large-time series an
// exponential times a sine; over decision time each image term integrates to
// its one-barrier first-passage distribution function (Phi and e^{2 v c} Phi)
// and each Fourier term to an exponential, so that the st average is a
// difference of distribution functions; both together (sv = 0) come from an
// antiderivative of that distribution function over the start. These replace
// the nested quadrature where they are accurate: each result is a signed sum
// (SignedLogSum) with a bound on its own rounding, and where that bound
// exceeds the caller's tolerance (a window far narrower than the density's
// scales, a drift next to but not at 0) the functions return nothing and the
// caller integrates numerically (wfpt_quadrature.h).
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "corvatel/internal/wfpt_series.h"
#include "corvatel/wfpt.h"

namespace corvatel::internal {

// The closed forms' series stop when their tails are below this part of
// the caller's tolerance (the rest is left to rounding).
inline double closed_series_tolerance(double tolerance) { return std::max(kSeriesTolerance, 0.01 * tolerance); }

// Below the series switch image pair j weighs about e^{-(2j-1)^2 / 0.9}: 6
// pairs reach 1e-50. A sum still unsettled after this many has cancelled
// itself away (a window far narrower than the density's scales), and the
// quadrature takes over at once instead of after a long loop.
inline constexpr int kMaxClosedImagePairs = 50;

// Integral of e^{-b w} sin(k pi w) over [mid - h, mid + h], as
// exp(log_scale) * value(k):
//   2 [sin(k pi mid)(b S cos(k pi h) + k pi C sin(k pi h))
//      + cos(k pi mid)(k pi S cos(k pi h) - b C sin(k pi h))] / (b^2 + k^2 pi^2)
// with S, C = sinh(b h), cosh(b h) times e^{-|b| h}. sin and cos of k pi mid
// come from the nearer end of (0, 1), like the large-time series'.
class ExpSinIntegral {
 public:
  ExpSinIntegral(double b, double w1, double w2);
  double log_scale() const { return log_scale_; }
  // Bound on |value(k)|: the integral of e^{-b w} alone.
  double bound() const { return b_ == 0.0 ? 2.0 * h_ : 2.0 * s_ / b_; }
  // The value and the sum of the magnitudes of its parts (for rounding).
  std::pair<double, double> value(int k) const;
  // Term k with what the windows' derivatives need, each in the same scale
  // exp(log_scale) and with the sum of its parts' magnitudes: the value,
  // its derivative in b, and the integrand at each end.
  struct Slopes {
    double value, value_size, b_slope, b_slope_size, at_lo, at_hi, ends_size;
  };
  Slopes slopes(int k) const;

 private:
  // sin and cos of k pi mid.
  std::pair<double, double> at_mid(int k) const;

  double b_, mid_, h_, s_ = 0.0, c_ = 0.0, log_scale_ = 0.0, x_ = 0.0;
  bool reflected_ = false;
};

// Fourier term k's factor over a window of decision times [s1, s1 + span]:
// the integral of e^{-lambda s} over it and its derivative in lambda
// (-int s e^{-lambda s}), both in units of e^{-lambda s1} / at_s1, and
// e^{-lambda span}, the factor from its lower end to its upper.
struct ExpWindow {
  double decay, integral, lambda_slope;
};
inline ExpWindow exp_window(double lambda, double s1, double span, double at_s1) {
  const double decay = std::exp(-lambda * span);
  const double window = -std::expm1(-lambda * span);
  return {decay, at_s1 * window / lambda, -(at_s1 / lambda) * (s1 * window + window / lambda - span * decay)};
}

// log of the mean of the lower-boundary density over starts [w1, w2] at
// decision time tau; -inf where tau <= 0 or is infinite. Nothing where no
// closed form applies (u >= kSeriesSwitch with sv > 0) or rounding may have
// cost more than `tolerance` of the result.
std::optional<double> log_closed_over_start(const LowerBoundary& m, double tau, double w1, double w2,
                                            double tolerance);

// log of the integral of the lower-boundary density over decision times
// [s1, s2] (and its mean over starts [w1, w2] when w2 > w1, at start w1
// when w1 == w2), sv = 0; nothing when a series did not converge or rounding
// may have cost more than `tolerance`.
std::optional<double> log_closed_over_time(const LowerBoundary& m, double s1, double s2, double w1, double w2,
                                           double tolerance);

// The integral of the lower-boundary density (sv = 0) over decision times
// [s1, s2] and starts [w1, w2] with the parts of its derivatives, each
// divided by the integral: the integrals over time at each start end and
// over the start at each time end (the derivatives in the ends), and the
// derivative in the drift. The boundary's follows from these (the density
// is unchanged when time is scaled by c, the drift by sqrt c and the
// boundary by 1 / sqrt c). Nothing where a series did not settle or
// rounding may have cost more than `tolerance` of a part's own scale (the
// integral per unit of start or time; the drift slope's a + |v| s2).
struct WindowSlopes {
  double log_integral;
  double at_w1, at_w2, at_s1, at_s2, drift;
};
std::optional<WindowSlopes> closed_window_slopes(const LowerBoundary& m, double s1, double s2, double w1, double w2,
                                                 double tolerance);

// The same over decision times [s1, s2] at one start w (far = 1 - w): the
// integral, its derivative in the start, the density at each end of the
// window and the drift's derivative, each divided by the integral; scales
// as above, the start's a |v| + 1 / min(w, far).
struct TimeWindowSlopes {
  double log_integral;
  double start, at_s1, at_s2, drift;
};
std::optional<TimeWindowSlopes> closed_time_window_slopes(const LowerBoundary& m, double s1, double s2, double w,
                                                          double far, double tolerance);

}  // namespace corvatel::internal
