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
// closed form as well (internal/wfpt_series.h).
//
// Uniform start (sz) and non-decision time (st) variability are integrated
// term by term in closed form (internal/wfpt_averages.h): over the start,
// each image term (a Gaussian in w, with sv too) and each Fourier term
// (e^{-v a w} sin(k pi w)); over decision time, each image term's
// one-barrier first-passage distribution function and each Fourier term's
// exponential; both together (sv = 0) through an antiderivative of that
// distribution function over the start. Each closed form carries a bound on
// its own rounding; one whose bound exceeds `tolerance` (a window much
// narrower than the density's scales, a drift next to 0, a start next to the
// far boundary) is replaced by adaptive Gauss-Kronrod (7/15) quadrature
// (internal/wfpt_quadrature.h), refined until the summed |K15 - G7|
// estimates are below `tolerance` times the integral (3/7 points for
// tolerances of kLowOrderTolerance and above). The same quadrature
// integrates over st where sv > 0, and over sz at long times (u >= 0.45)
// where sv > 0. Everything is computed in log space so that densities far
// below the smallest double still have a logarithm exact to a few of its
// ulps; the work of one density is bounded (tens of milliseconds at most).
//
// The first-passage distribution function and its complement within a
// response (wfpt_log_cdf) integrate the same closed forms over decision
// time, with the variabilities integrated numerically where those do not
// reach (wfpt_cdf.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "corvatel/errors.h"
#include "corvatel/parameters.h"
#include "corvatel/worker_pool.h"

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

// ---- The contaminant mixture ----
//
// With probability p_outlier a trial is a contaminant: either response with
// probability 1/2 at a time uniform on the outlier window; otherwise it is a
// diffusion trial. Its density is (1 - p) wfpt(rt) + p * 0.5 / (hi - lo) for
// lo <= rt <= hi, and (1 - p) wfpt(rt) outside. log_mixture is its log from
// the diffusion's log density: the two terms summed as logs (the larger plus
// log1p of exp of their difference), so neither underflows. p_outlier 0
// returns `log_diffusion` itself, bit for bit.
double log_mixture(double log_diffusion, double rt, double p_outlier, const OutlierWindow& window);

// ---- Gradients ----

// The parameters a density's gradient is taken in, in this order (noise_sd
// is a scale, fixed by convention, and has none).
inline constexpr std::array<Param, 8> kGradientParams = {Param::Drift, Param::Boundary, Param::Start, Param::T0,
                                                         Param::Sv,    Param::Sz,       Param::St,    Param::POutlier};

// A log density and its partial derivatives in kGradientParams.
struct DensityGradient {
  double log_density;
  std::array<double, kGradientParams.size()> d;
};

// log_mixture(wfpt_log_density(rt, choice, p), ...) for parameters accepted
// by check_density_args, bit for bit, with its derivatives. Without sz and
// st they are the series' and the drift and sv factors' own, differentiated
// in closed form (wfpt_series.h). With sz or st the density is a mean over a
// window of starts or non-decision times, and so is each derivative: over
// the start centred on `start` of width sz, t = (start' - start) / sz,
// d/dstart is the mean of the density's derivative in the start and d/dsz
// the mean of that derivative times t (likewise for t0 and st); those of
// drift, boundary and sv are the means of theirs. With st and sv = 0 they
// come from the terms of the density's closed form (the integrals over
// each window at the other's ends, or the density at the time window's
// ends and the start's derivative at one start, and the drift's
// derivative), where it vouches for them; else from a fixed 5-point, else 7-point, Gauss rule over each window (else, with st,
// the 15-point Kronrod rule over time) where that rule reproduces the
// density's own mean to within tolerance / 10 (the usual case: 5 or 25
// values of the series); elsewhere (windows over the leading edge, or far
// wider than the density's scales) from adaptive Gauss-Kronrod (7/15)
// quadrature of every derivative at once, refined until each is within
// `tolerance` of the mean of its magnitude. Where the density is 0
// (rt <= t0 - st/2) the derivatives of its log are given as 0.
DensityGradient wfpt_log_density_gradient(double rt, bool choice, const ModelParams& p,
                                          const OutlierWindow& outlier_window = {},
                                          double tolerance = kQuadratureTolerance);

// ---- The first-passage distribution function ----

// Which part of a response's probability P(c) a distribution function
// gives: F(rt, c), that of ending with response c by rt (the integral of
// the density up to rt), or P(c) - F(rt, c), that of ending with it after
// rt, computed as such (not as a difference) so that it keeps its relative
// accuracy where it is far below P(c).
enum class CdfSide { Below, Above };

// Default relative error target of the distribution functions: at most
// 1e-10 absolute, since they are at most 1.
inline constexpr double kCdfTolerance = 1e-10;

// log F(rt, choice) (side Below) or log(P(choice) - F(rt, choice)) (side
// Above) for parameters accepted by check_density_args. F is 0 for
// rt <= t0 - st/2 and P(choice) at rt = inf. `tolerance` bounds the
// relative error (wfpt_cdf.cpp says how); the work of one value is bounded
// as a density's is.
double wfpt_log_cdf(double rt, bool choice, const ModelParams& p, CdfSide side = CdfSide::Below,
                    double tolerance = kCdfTolerance);

// The log of the probability that a trial responds within [lo, hi] (either
// response; ends included, 0 <= lo < hi, hi may be infinite): the diffusion
// trials' share 1 - p_outlier times their probability there, plus the
// contaminants' share times the part of `outlier_window` inside [lo, hi].
// What a likelihood truncated to that window divides each trial's density
// by. -inf when no trial can respond there.
// The same mixture from the diffusion trials' own log probability in the
// window, however that was computed (the solver's grids give theirs).
double log_window_mixture(double log_diffusion, double p_outlier, double lo, double hi,
                          const OutlierWindow& outlier_window);
double wfpt_log_window_probability(const ModelParams& p, double lo, double hi, const OutlierWindow& outlier_window,
                                   double tolerance = kCdfTolerance);

// ---- Many densities at once ----

// One argument of a batch: a value per element, or one value for all.
template <typename T>
struct DensityColumn {
  std::span<const T> values;  // empty: `scalar` stands for every element
  T scalar{};

  T at(std::size_t i) const { return values.empty() ? scalar : values[i]; }
};

// The arguments of n densities; every non-empty column has n values.
// choice: 0 for the lower boundary, anything else for the upper one.
struct DensityColumns {
  std::size_t n = 0;
  DensityColumn<double> rt;
  DensityColumn<std::uint8_t> choice;
  DensityColumn<double> drift, boundary, start, t0, noise_sd, sv, sz, st, p_outlier;
  OutlierWindow outlier_window;

  ModelParams params_at(std::size_t i) const;
};

// The caller's stop check said stop: the output is incomplete.
struct DensitiesInterrupted {
  friend bool operator==(const DensitiesInterrupted&, const DensitiesInterrupted&) = default;
};

// Why log_densities gave no result: a bad outlier window, the element of
// lowest index whose arguments check_density_args refuses (that check's
// error), or the stop.
using DensitiesFailure = std::variant<ParamError, DensitiesInterrupted>;

// What log_densities writes: wfpt_log_density, or its exp.
enum class DensityScale { Log, Linear };

// log_mixture of wfpt_log_density(rt, choice, params) (default tolerance)
// of every element into out[0, n), n = in.n (out has at least n elements), in pieces on the
// pool; `stop` is asked while they run, and a stopped call returns within a
// density or so of work per worker.
// Each element's value is the scalar function's, whatever the pool's size
// or the cut. All arguments are checked before any density is computed;
// on a failure `out` holds nothing of use. A batch of at most
// kInlineDensities (or kInlinePlainDensities without sv, sz and st) runs on
// the calling thread, without asking `stop`.
[[nodiscard]] std::optional<DensitiesFailure> log_densities(const DensityColumns& in, std::span<double> out,
                                                            DensityScale scale, WorkerPool& pool,
                                                            const StopCheck& stop = {});
// The same on the shared pool.
[[nodiscard]] std::optional<DensitiesFailure> log_densities(const DensityColumns& in, std::span<double> out,
                                                            DensityScale scale, const StopCheck& stop = {});

// wfpt_log_cdf(rt, choice, params, side) (default tolerance) of every
// element, or its exp, as log_densities computes densities: checked first,
// in pieces on the pool, the scalar function's bits whatever the pool.
[[nodiscard]] std::optional<DensitiesFailure> distribution_functions(const DensityColumns& in,
                                                                     std::span<double> out, CdfSide side,
                                                                     DensityScale scale, WorkerPool& pool,
                                                                     const StopCheck& stop = {});
// The same on the shared pool.
[[nodiscard]] std::optional<DensitiesFailure> distribution_functions(const DensityColumns& in,
                                                                     std::span<double> out, CdfSide side,
                                                                     DensityScale scale,
                                                                     const StopCheck& stop = {});

// wfpt_log_density_gradient of every element (default tolerance) as
// log_densities computes densities: checked first, in pieces on the pool,
// the scalar function's bits whatever the pool. The log densities go to
// log_out[0, n), the derivative in kGradientParams[k] of element i to
// gradient_out[k * n + i] (one contiguous run per parameter).
[[nodiscard]] std::optional<DensitiesFailure> log_density_gradients(const DensityColumns& in,
                                                                    std::span<double> log_out,
                                                                    std::span<double> gradient_out,
                                                                    WorkerPool& pool, const StopCheck& stop = {});
// The same on the shared pool.
[[nodiscard]] std::optional<DensitiesFailure> log_density_gradients(const DensityColumns& in,
                                                                    std::span<double> log_out,
                                                                    std::span<double> gradient_out,
                                                                    const StopCheck& stop = {});

// For a sampler, whose chains are its parallelism: every element on the
// calling thread, and an element whose arguments check_density_args refuses
// gets -inf (a density is 0 outside the model's ranges) and derivatives 0
// instead of failing the batch. The others' log densities are
// log_densities' and their derivatives log_density_gradients', bit for bit;
// with an empty gradient_out only the log densities are computed. The one
// error is a bad outlier window.
[[nodiscard]] std::optional<ParamError> log_densities_in_support(const DensityColumns& in,
                                                                 std::span<double> log_out,
                                                                 std::span<double> gradient_out);

inline constexpr std::size_t kInlineDensities = 16;
// A batch of at most this many elements without sv, sz or st also runs on
// the calling thread (about half a millisecond of work): two round trips
// of the pool cost more when other processes share the cores, as a
// sampler's chains do. Whatever the path, every element's bits are the same.
inline constexpr std::size_t kInlinePlainDensities = 1024;

}  // namespace corvatel
