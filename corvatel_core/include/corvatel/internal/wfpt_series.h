// The first-passage time density at one start and one decision time: the
// zero-drift density of the unit band from the small-time (image) or
// large-time (Fourier) series of Navarro & Fuss (2009), J. Math. Psychol. 53,
// 222-230, each summed until a tail bound in the style of Gondan, Blurton &
// Kesselmeier (2014), J. Math. Psychol. 60, 20-22, falls below
// kSeriesTolerance of the partial sum; then the drift and the normal drift
// variability (sv) as closed-form factors. Internal to the core: callers use
// wfpt.h; tests reach the unit density and the response probability here.
#pragma once

#include "corvatel/parameters.h"

namespace corvatel::internal {

// Below this normalised time the small-time series needs fewer terms than
// the large-time one (about 1 + sqrt(9 u) pairs of exponentials against
// sqrt(7.5 / u) terms for a 1e-16 tail); at the switch each needs 2-4.
inline constexpr double kSeriesSwitch = 0.45;

// For u < kSeriesSwitch consecutive image pairs shrink by at least
// (5/3) e^{-4/u} < 3e-4, and for u >= kSeriesSwitch consecutive Fourier terms
// by at least 1.5 e^{-5 pi^2 u / 2} < 3e-5: a tail is at most its first
// element times this.
inline constexpr double kGeometricTail = 1.001;

// f0(u, w) = factor * exp(exponent): the exponential that may underflow is
// kept apart so that callers can take one logarithm of everything else.
struct SeriesValue {
  double factor;  // > 0, or <= 0 / NaN when rounding failed the sum
  double exponent;
};

// Starts within this of the far boundary are known by their distance from
// it (`far`, below): 1 - w there would carry the rounding of w, up to
// 1e-16 / far relative, into the density, which vanishes at that boundary.
inline constexpr double kFarEdge = 0x1p-12;

// The zero-drift density of the first passage through 0 of a unit band
// started at w (0 < w < 1), at normalised time u = t / a^2 > 0; far = 1 - w,
// exact where it is small (next to the far boundary the series are
// written in it).
SeriesValue unit_density(double u, double w, double far);

// log of unit_density, with far = 1 - w.
double log_unit_density(double u, double w);

// The model reduced to one boundary: the lower one, with drift and start
// reflected for the upper response, everything in units of noise_sd.
struct LowerBoundary {
  double v;       // drift
  double a;       // boundary
  double sv;      // drift sd
  double inv_a2;  // 1 / a^2
};

// The model at the lower boundary for the response `choice` (drift and start
// reflected for the upper one), in units of noise_sd, and the relative start.
struct Reduced {
  LowerBoundary m;
  double w;
  double far;  // 1 - w, exact next to the far boundary
};

Reduced reduce(bool choice, const ModelParams& p);

// log density at the lower boundary at decision time tau > 0 from relative
// start w, with sv integrated out:
//   f = exp((sv^2 a^2 w^2 - 2 v a w - v^2 tau) / (2 (1 + sv^2 tau)))
//       / (a^2 sqrt(1 + sv^2 tau)) * f0(tau / a^2, w).
// -inf for tau <= 0 or infinite. Exact in log space wherever the log is a
// double: where the product of the factors would over- or underflow, or the
// exponents cancel (sv^2 tau or -v a w against w^2 / 2u), it takes a longer
// route (see log_lower_robust in wfpt_series.cpp). far = 1 - w as in
// unit_density; -inf where w or far is 0.
double log_lower(const LowerBoundary& m, double tau, double w, double far);

// log_lower's density, bit for bit, and its derivatives with respect to its
// arguments in the reduced units of LowerBoundary, in one pass over the
// series where it can: the series differentiated term by term (the image
// series in u and w, the Fourier series likewise), each derivative summed
// until its tail is below kSeriesTolerance of the sum of its terms'
// magnitudes, and the drift and sv factors differentiated in closed form.
// Finite wherever the density is a normal double in the ordinary ranges;
// the derivatives in w lose about eps / min(w, far) relative next to an
// edge. Zero derivatives and -inf where log_lower is -inf.
struct LowerSlopes {
  double log_f;
  double v, a, sv, w, tau;
};

LowerSlopes log_lower_slopes(const LowerBoundary& m, double tau, double w, double far);

// Probability of ending at the upper boundary, sv = sz = 0 (closed form).
double upper_probability(double drift, double boundary, double start, double noise_sd);

}  // namespace corvatel::internal
