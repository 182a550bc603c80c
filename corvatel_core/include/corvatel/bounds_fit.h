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
// noise_sd is 1, sz and st 0; a free p_outlier logistic on its search
// interval (0, 0.5), as in fit_ml.
//
// Contaminants and a selection window (ml_fit.h) enter as in fit_ml: each
// trial's density mixed with the contaminants' (log_mixture), and with a
// window every trial's likelihood divided by the probability of a response
// inside it (the solved model's, from the grid's running integrals, mixed
// with the contaminants' share of the window).
//
// Joint fits of levels (conditions) of one data set: the parameters marked
// per level have one coordinate per level, the others one shared by all;
// each evaluation solves once per level and sums every level's densities
// into one total, level after level, each level's trials left to right.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "corvatel/errors.h"
#include "corvatel/fpt_solver.h"
#include "corvatel/ml_fit.h"
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

// A search point whose grid would take more steps than this counts as
// impossible (cost +inf): it bounds an evaluation's work (about 8 x 10^6
// kernel pairs, tens of ms) where the search wanders to narrow bands.
inline constexpr double kMaxFitSteps = 4000.0;

// The work one search of a fit may spend per level, in kernel pairs (a
// solve of k grid steps costs k^2 / 2 of them, 0.1-0.2 us each with the
// densities read off): a budget that ends a search where it is, not
// converged, where it would otherwise take tens of minutes (on trials of
// noise the search of a Weibull bound with leak and urgency wanders to
// narrow bands, where every solve is near the step cap). A fit of that
// model to 1,000 trials simulated from it spends 7 x 10^7; the count is of
// work, not time, so the result stays deterministic.
inline constexpr double kMaxFitWork = 5e8;

// What a fit estimates beyond drift, boundary and t0: the bound's own
// parameters (none for Constant), leak and urgency when flagged, the start
// unless it is fixed, and p_outlier when the contaminants' is free.
struct BoundsFitOptions {
  BoundSpec::Kind bound = BoundSpec::Kind::Constant;
  bool leak = false;
  bool urgency = false;
  std::optional<double> start = 0.5;  // fixed relative start; nullopt: estimated
  double relative_step = SolverResolution{}.relative_step;
  Contaminants contaminants;  // none by default
  Truncation truncation;      // no selection window by default
  double max_work = kMaxFitWork;  // a search's budget per level
};

struct BoundsFit {
  TimeVaryingModel model;  // the estimates; fixed parts as the options say
  double t0;
  double p_outlier;  // estimated, or the fixed value
  bool converged;
  std::uint64_t iterations;  // Nelder-Mead iterations over all runs
  double log_likelihood;
  std::uint64_t n_params;
  InformationCriteria criteria;
};

// The number of parameters the options estimate.
std::size_t bounds_param_count(const BoundsFitOptions& options);

// One data set. Starts from the standard model's fit (fit_ml, "ddm", with
// the same contaminants and window) with a mild and a stronger collapse
// (leak, urgency); `stop` is asked between evaluations (at most every
// kStopPollInterval), and a stop ends the fit with FitError Interrupted.
// The checks and errors of fit_ml apply. With a finite window end the grid
// reaches it, so a long window on a narrow band may cost more steps than a
// fit allows (kMaxFitSteps): such points count as impossible.
Result<BoundsFit, FitError> fit_bounds_ml(const ObservedTrials& trials, const BoundsFitOptions& options,
                                          const StopCheck& stop = {});

// The parameters a joint fit frees per level, each named after its
// parameter; the others are shared by all levels. A flag of a parameter
// the options do not estimate (start when fixed, theta in a Weibull fit,
// leak when off) is ignored.
struct BoundsPerLevel {
  bool drift = false;
  bool boundary = false;
  bool start = false;
  bool t0 = false;
  bool theta = false;
  bool shape = false;
  bool scale = false;
  bool rate = false;
  bool leak = false;
  bool urgency = false;
  bool p_outlier = false;
};

struct BoundsLevelEstimate {
  TimeVaryingModel model;
  double t0;
  double p_outlier;
};

struct BoundsJointFit {
  std::vector<BoundsLevelEstimate> levels;  // one per level, in level order
  bool converged;
  std::uint64_t iterations;  // Nelder-Mead iterations over all runs, the levels' own fits included
  double log_likelihood;     // of all the trials
  std::uint64_t n_params;    // the search's coordinates
  InformationCriteria criteria;  // of log_likelihood, n_params and all the trials
};

// The number of parameters a joint fit of `n_levels` levels estimates.
std::size_t bounds_param_count(const BoundsFitOptions& options, const BoundsPerLevel& per_level,
                               std::size_t n_levels);

// Levels of one data set, each needing the trials fit_bounds_ml needs. Each
// level is fitted alone first (fit_bounds_ml); the joint search starts from
// those estimates, a shared parameter at the mean of the levels' search
// coordinates (as fit_ml_joint starts), and runs as fit_bounds_ml's search
// does (same transforms and stop rules; t0 below the fastest response of
// the levels it applies to). `stop` as in fit_bounds_ml. Fails with
// NoLevels, TooFewTrials (the first level short of them) and the failures
// of fit_bounds_ml.
Result<BoundsJointFit, FitError> fit_bounds_ml_joint(std::span<const ObservedTrials> levels,
                                                     const BoundsFitOptions& options,
                                                     const BoundsPerLevel& per_level, const StopCheck& stop = {});

}  // namespace corvatel
