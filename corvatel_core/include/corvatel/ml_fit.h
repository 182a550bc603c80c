// Maximum-likelihood fits of the diffusion model: the summed log density of
// the observed trials (wfpt.h), maximised by a deterministic Nelder-Mead
// search over transformed parameters.
//
// Parameters and bounds (noise_sd is fixed at 1). Each free parameter is a
// logistic function of an unbounded search coordinate, so every point of the
// search is inside its bounds:
//   drift      (-15, 15)
//   boundary   (0.05, 10)
//   start      (0.01, 0.99)
//   t0         (0, min rt) for "ddm"; for "full" t0 - st/2 in (0, min rt)
//   sv         (0, 6)
//   sz         (0, 0.98 * 2 min(start, 1 - start))
//   st         (0, 1)
// where min rt is the fastest response that the t0 in question applies to,
// so every trial has a positive density. The search starts from several
// points (the EZ estimate among them, when it exists), keeps the best, and
// restarts once from it; a run converges when the spread of the simplex's
// costs (log-likelihood units) falls below 1e-7 or its points lie within 1e-6
// of each other in search coordinates.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "corvatel/params.h"
#include "corvatel/result.h"
#include "corvatel/wfpt.h"

namespace corvatel {

enum class LikelihoodModel { Ddm, Full };

// The seven fitted parameters, in the order the fits name them.
enum class FitParam : std::size_t { Drift, Boundary, Start, T0, Sv, Sz, St };
inline constexpr std::size_t kFitParamCount = 7;

std::size_t free_param_count(LikelihoodModel model);

class MlError {
 public:
  enum class Kind { TooFewTrials, BadResponseTime, NoLevels, NoFiniteLikelihood };

  static MlError too_few_trials(std::uint64_t have, std::uint64_t need) { return {Kind::TooFewTrials, have, need}; }
  static MlError bad_response_time() { return {Kind::BadResponseTime, 0, 0}; }
  static MlError no_levels() { return {Kind::NoLevels, 0, 0}; }
  static MlError no_finite_likelihood() { return {Kind::NoFiniteLikelihood, 0, 0}; }

  Kind kind() const { return kind_; }
  std::string message() const;

 private:
  MlError(Kind kind, std::uint64_t have, std::uint64_t need) : kind_(kind), have_(have), need_(need) {}
  Kind kind_;
  std::uint64_t have_;
  std::uint64_t need_;
};

struct MlFit {
  std::vector<ModelParams> params;  // one per level (one for fit_ml)
  bool converged;
  std::uint64_t iterations;  // Nelder-Mead iterations over all runs
  double log_likelihood;
};

// Sum over trials of wfpt_log_density; -inf when any trial has density 0.
// `params` must pass check_density_args.
double sum_log_likelihood(std::span<const Trial> trials, const ModelParams& params,
                          double tolerance = kQuadratureTolerance);

// The relative quadrature tolerance of the fits' likelihoods (sz, st).
inline constexpr double kFitQuadratureTolerance = 1e-5;

// One data set.
Result<MlFit, MlError> fit_ml(std::span<const Trial> trials, LikelihoodModel model);

// Levels of one data set: the parameters marked in `per_level` are free for
// each level, the others shared by all levels.
Result<MlFit, MlError> fit_ml_joint(std::span<const std::span<const Trial>> levels, LikelihoodModel model,
                                    const std::array<bool, kFitParamCount>& per_level);

}  // namespace corvatel
