// Maximum-likelihood fits of the diffusion model: the summed log density of
// the observed trials (wfpt.h), maximised by a deterministic Nelder-Mead
// search (neldermead.h) over transformed parameters.
//
// The fitted parameters are the model's rows of kParams (fitted_by); noise_sd
// stays 1. Each is a logistic function of an unbounded search coordinate, so
// every point of the search is inside its bounds: kParams' `search` interval
// for drift, boundary, start, sv and st, and for the two whose bounds depend
// on the data or on another parameter, the rules below (t0_search_bound,
// sz_search_bound). The search starts from several points (the EZ estimate
// among them, when it exists), keeps the best, and restarts once from it;
// the full model's then starts from that fit twice (small and large
// variabilities) and searches again from its best point until that gains
// little (ml_fit.cpp). The reported log-likelihood is the densities' sum at
// the estimate at their default accuracy. internal/ml_search.h holds the
// minimiser's settings (its stop test) and the chunked sums.
//
// Contaminants (wfpt.h, log_mixture): a fit's likelihood may be the mixture
// of the diffusion model and contaminant trials, with p_outlier fixed or
// estimated as one more parameter within its search interval (0, 0.5).
// Without them (p_outlier fixed at 0, the default) the fit is the plain
// model's, bit for bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "corvatel/errors.h"
#include "corvatel/parameters.h"
#include "corvatel/result.h"
#include "corvatel/stats.h"
#include "corvatel/wfpt.h"
#include "corvatel/worker_pool.h"

namespace corvatel {

enum class LikelihoodModel { Ddm, Full };

// How a fit treats contaminants: p_outlier fixed at a value (0: none) or
// estimated, and their window. Made only by the factories, which refuse
// what check_params and check_outlier_window refuse.
class Contaminants {
 public:
  Contaminants() = default;  // none: the diffusion model alone
  static Result<Contaminants, ParamError> fixed(double p_outlier, const OutlierWindow& window = {});
  static Result<Contaminants, ParamError> estimated(const OutlierWindow& window = {});

  bool free() const { return free_; }
  double p_outlier() const { return p_outlier_; }  // the fixed value (0 when free)
  const OutlierWindow& window() const { return window_; }
  // Whether the likelihood is a mixture at all.
  bool any() const { return free_ || p_outlier_ != 0.0; }

 private:
  Contaminants(bool free, double p_outlier, const OutlierWindow& window)
      : free_(free), p_outlier_(p_outlier), window_(window) {}
  bool free_ = false;
  double p_outlier_ = 0.0;
  OutlierWindow window_;
};

// The response-time window the trials were selected in, when they were:
// each trial's likelihood is then divided by the model's probability of a
// response inside it (wfpt_log_window_probability), so that the fit is of
// the trials the window lets through and not of the whole distribution.
// The default selects nothing and leaves the likelihood as it is.
class Truncation {
 public:
  Truncation() = default;
  // 0 <= lo < hi; hi may be infinite.
  static Result<Truncation, ParamError> window(double lo, double hi);

  double lo() const { return lo_; }
  double hi() const { return hi_; }
  bool any() const { return lo_ > 0.0 || hi_ < std::numeric_limits<double>::infinity(); }

 private:
  Truncation(double lo, double hi) : lo_(lo), hi_(hi) {}
  double lo_ = 0.0;
  double hi_ = std::numeric_limits<double>::infinity();
};

// Where the search of a free p_outlier starts (in every start of it).
inline constexpr double kPOutlierStart = 0.05;

// The parameters a model's fit estimates, in kParams order: those whose
// fitted_by has the model's bit (drift, boundary, start, t0; "full" adds
// sv, sz, st), less the mixture's unless `p_outlier_free`.
std::span<const Param> fitted_params(LikelihoodModel model, bool p_outlier_free = false);
std::size_t free_param_count(LikelihoodModel model, bool p_outlier_free = false);

// The parameters a joint fit frees per level, indexed by Param; the others
// are shared by all levels.
using PerLevel = std::array<bool, kParamCount>;

// The two search bounds that kParams cannot hold. t0 - st/2 (t0 itself in
// "ddm") lies in (0, t0_search_bound(levels)), the fastest response of the
// levels that t0 applies to (one level, or all of a joint fit when t0 is
// shared), so that every trial has a positive density. With contaminants a
// trial inside their window has a positive density whatever t0, so only
// those outside it bound t0; and t0 stays below the median response time
// (the lower median), above which most trials would be contaminants. sz
// lies in (0, sz_search_bound(start)), a share kSzRoom of the widest window
// the start allows.
inline constexpr double kSzRoom = 0.98;
double t0_search_bound(std::span<const ObservedTrials> levels);
double t0_search_bound(std::span<const ObservedTrials> levels, const Contaminants& contaminants);
double sz_search_bound(double start);

struct MlFit {
  std::vector<ModelParams> params;  // one per level (one for fit_ml), p_outlier included
  bool converged;
  std::uint64_t iterations;  // Nelder-Mead iterations over all runs
  double log_likelihood;
  std::uint64_t n_params;    // free parameters: the search's coordinates
  InformationCriteria criteria;  // of log_likelihood, n_params and all the trials
};

// The relative quadrature tolerance of the fits' likelihoods (sz, st).
inline constexpr double kFitQuadratureTolerance = 1e-5;

// Trials per chunk of a fit's summed log-likelihood of one level. Up to
// this many trials a sum runs left to right on the calling thread; larger
// levels are summed in chunks of this size on the worker pool, each chunk
// left to right and the chunk sums left to right, so the sum's bits depend
// on the trials alone, never on the number of threads. A chunk is 0.5 ms
// of four-parameter densities and up to 80 ms with sv, sz and st: long
// enough to outweigh a pool round trip, short enough to spread 2 x 10^4
// trials over two workers.
inline constexpr std::size_t kLikelihoodChunk = 8192;

// One data set. `stop` is asked between cost evaluations (at most every
// kStopPollInterval) and, while a large level is summed on the worker pool,
// by the pool; once it says stop the fit ends with FitError Interrupted.
// Only std::bad_alloc escapes, std::system_error when the worker pool cannot
// start, and whatever `stop` throws; every other failure is a FitError.
Result<MlFit, FitError> fit_ml(const ObservedTrials& trials, LikelihoodModel model, const StopCheck& stop = {});
Result<MlFit, FitError> fit_ml(const ObservedTrials& trials, LikelihoodModel model, const Contaminants& contaminants,
                               const StopCheck& stop = {});
Result<MlFit, FitError> fit_ml(const ObservedTrials& trials, LikelihoodModel model, const Contaminants& contaminants,
                               const Truncation& truncation, const StopCheck& stop = {});

// Levels of one data set: the parameters marked in `per_level` are free for
// each level, the others shared by all levels. Each level is fitted alone
// first (as fit_ml), and the joint search starts from those estimates.
// A free p_outlier is shared by all levels unless per_level marks it.
Result<MlFit, FitError> fit_ml_joint(std::span<const ObservedTrials> levels, LikelihoodModel model,
                                     const PerLevel& per_level, const StopCheck& stop = {});
Result<MlFit, FitError> fit_ml_joint(std::span<const ObservedTrials> levels, LikelihoodModel model,
                                     const PerLevel& per_level, const Contaminants& contaminants,
                                     const StopCheck& stop = {});
Result<MlFit, FitError> fit_ml_joint(std::span<const ObservedTrials> levels, LikelihoodModel model,
                                     const PerLevel& per_level, const Contaminants& contaminants,
                                     const Truncation& truncation, const StopCheck& stop = {});

}  // namespace corvatel
