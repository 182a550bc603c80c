// First-passage time densities of the Wiener diffusion model ("wfpt"): the
// density of ending at the lower boundary 0 or the upper boundary `boundary`
// at decision time rt - t0. Defective: over rt each integrates to the
// probability of its response.
//
// The zero-drift density on the unit band comes from the small-time (image)
// or the large-time (Fourier) series of Navarro & Fuss (2009), J. Math.
// Psychol. 53, 222-230; each series is summed until a tail bound in the style
// of Gondan, Blurton & Kesselmeier (2014), J. Math. Psychol. 60, 20-22, is
// below kSeriesTolerance relative to the partial sum, so the truncation error
// is bounded term count by term count instead of fixed in advance. Drift is a
// closed-form factor; a normal drift across trials (sv) is integrated in
// closed form as well.
//
// Uniform start (sz) and non-decision time (st) variability are integrated
// term by term in closed form: over the start, each image term (a Gaussian
// in w, with sv too) and each Fourier term (e^{-v a w} sin(k pi w)); over
// decision time, each image term's one-barrier first-passage distribution
// function (Phi and e^{2 v c} Phi) and each Fourier term's exponential, so
// that the st average is a difference of distribution functions; both
// together (sv = 0) through an antiderivative of that distribution function
// over the start. The closed forms' series stop when their tails are below
// tolerance / 100 of the sum, and each result carries a bound on its own
// rounding (the cancellation between its terms); one whose bound exceeds
// `tolerance` (a window much narrower than the density's scales, a drift
// next to 0) is replaced by adaptive Gauss-Kronrod (7/15) quadrature,
// refined until the summed |K15 - G7| estimates are below `tolerance` times
// the integral (3/7 points for tolerances of kLowOrderTolerance and above).
// The same quadrature integrates over st where sv > 0, and over sz at long
// times (u >= 0.45) where sv > 0. Everything is computed in log space so
// that densities far below the smallest double still have an exact
// logarithm.
#pragma once

#include <optional>

#include "corvatel/errors.h"
#include "corvatel/parameters.h"

namespace corvatel {

// Relative truncation bound of each series.
inline constexpr double kSeriesTolerance = 1e-15;
// Default relative error target of the sz/st averages.
inline constexpr double kQuadratureTolerance = 1e-9;
// From this tolerance on, the 3/7-point Gauss-Kronrod pair replaces the
// 7/15-point one (cheaper where sz and st are both integrated).
inline constexpr double kLowOrderTolerance = 1e-6;

// The first rule that rt or p breaks (a NaN rt, then check_params for a
// density), or nothing; rt may be infinite (density 0).
[[nodiscard]] std::optional<ParamError> check_density_args(double rt, const ModelParams& p);

// log density of (rt, choice) for parameters accepted by check_density_args;
// -inf where rt <= t0 - st/2 or rt is infinite. `tolerance` only matters
// when sz or st is positive: it bounds the relative error that the sz and st
// averages add to the series' own (rounding of a closed form, or the
// quadrature's error estimate, plus tolerance / 100 of truncation).
double wfpt_log_density(double rt, bool choice, const ModelParams& p,
                        double tolerance = kQuadratureTolerance);

// An approximation of wfpt_log_density for optimisers' searches: sz and st
// integrated by a fixed 5-point Gauss-Legendre rule in each direction, with
// no error control, so that it is smooth in the parameters and cheap (at
// most 25 density values). Exact like wfpt_log_density when sz = st = 0.
double wfpt_log_density_search(double rt, bool choice, const ModelParams& p);

}  // namespace corvatel
