// Likelihoods and maximum-likelihood fits of the diffusion model between
// time-varying bounds, with leak and urgency (the model of fpt_solver.h):
// one first-passage solve per parameter set, every trial's density read off
// its grid, and the summed log-likelihood minimised by the likelihood fits'
// deterministic Nelder-Mead search (internal/ml_search.h: several starts,
// then a restart from the best).
//
// Search coordinates, each mapped onto its parameter's open range so that
// every point of the search is a valid model: drift and boundary (and start
// when it is estimated) logistic on kParams' search intervals; t0 logistic
// on (0, fastest response); theta (pi/2) logistic(y) on (0, pi/2); the
// positive ones (Weibull shape and scale, rate, leak, urgency) exp(y).
// noise_sd is 1, sz and st 0.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "corvatel/errors.h"
#include "corvatel/fpt_solver.h"
#include "corvatel/result.h"
#include "corvatel/stats.h"
#include "corvatel/worker_pool.h"

namespace corvatel {

// The log density of each trial (rts[i], choices[i] != 0) under `model` with
// non-decision time t0 and uniform width st, written to out[i]: one solve
// whose grid reaches the longest decision time among the finite rts (and no
// further than an angle bound's closing time). Fails with the model's
// FptError, a ParamError of t0 or st (as Model), Resolution when that
// grid would take more than kMaxSolverSteps steps, or Interrupted when
// `stop` (asked as the solve asks it) said stop.
[[nodiscard]] std::optional<FptError> bounds_log_densities(const TimeVaryingModel& model, double t0, double st,
                                                           double relative_step, std::span<const double> rts,
                                                           std::span<const std::uint8_t> choices,
                                                           std::span<double> out, const StopCheck& stop = {});

// What a fit estimates beyond drift, boundary and t0: the bound's own
// parameters (none for Constant), leak and urgency when flagged, and the
// start unless it is fixed.
struct BoundsFitOptions {
  BoundSpec::Kind bound = BoundSpec::Kind::Constant;
  bool leak = false;
  bool urgency = false;
  std::optional<double> start = 0.5;  // fixed relative start; nullopt: estimated
  double relative_step = SolverResolution{}.relative_step;
};

// A search point whose grid would take more steps than this counts as
// impossible (cost +inf): it bounds an evaluation's work (about 8 x 10^6
// kernel pairs, tens of ms) where the search wanders to narrow bands.
inline constexpr double kMaxFitSteps = 4000.0;

struct BoundsFit {
  TimeVaryingModel model;  // the estimates; fixed parts as the options say
  double t0;
  bool converged;
  std::uint64_t iterations;  // Nelder-Mead iterations over all runs
  double log_likelihood;
  std::uint64_t n_params;
  InformationCriteria criteria;
};

// The number of parameters the options estimate.
std::size_t bounds_param_count(const BoundsFitOptions& options);

// One data set. Starts from the standard model's fit (fit_ml, "ddm") with a
// mild and a stronger collapse (leak, urgency); `stop` is asked between
// evaluations (at most every kStopPollInterval), and a stop ends the fit
// with FitError Interrupted. The checks and errors of fit_ml apply.
Result<BoundsFit, FitError> fit_bounds_ml(const ObservedTrials& trials, const BoundsFitOptions& options,
                                          const StopCheck& stop = {});

}  // namespace corvatel
