// Simulation-based recovery of drift, boundary separation and non-decision
// time: a coarse and then a fine Nelder-Mead search (Nelder & Mead 1965, see
// neldermead.h) for the parameters whose simulated trials reproduce the
// observed accuracy and the mean and variance of correct response times.
//
// Every evaluation simulates a batch under one seed hashed from the bits of
// the observed statistics, so the cost is a deterministic function of the
// point and a fit gives the same result on every call and for every number of
// worker threads. start stays 0.5 and noise_sd 1.0 throughout.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "corvatel/errors.h"
#include "corvatel/neldermead.h"
#include "corvatel/params.h"
#include "corvatel/result.h"
#include "corvatel/stats.h"
#include "corvatel/worker_pool.h"

namespace corvatel {

// The cost of a point outside the admissible region, and of a simulated
// batch that yields no statistics.
inline constexpr double INVALID_COST = 1e9;

// Trials simulated per cost evaluation.
inline constexpr std::uint64_t kSimTrialsPerEvaluation = 5000;

// A point of the search: drift, boundary, t0.
using FitPoint = std::array<double, 3>;

// Squared relative errors of the simulated statistics against the target, the
// variance term weighted by one half. Points with a non-finite coordinate,
// t0 < 0 or boundary <= 1e-6 cost INVALID_COST without simulating.
// The caller's stop check (FitInterruption, neldermead.h) is asked before
// every evaluation; once it says stop, every later evaluation costs
// INVALID_COST at once and the search ends.
struct SimFitCost {
  SummaryStats target;
  std::uint64_t n_sim;
  std::uint64_t seed;
  WorkerPool* pool = nullptr;  // where batches run; null means the process-wide pool
  FitInterruption* interruption = nullptr;  // shared by every copy the minimiser makes

  double cost(std::span<const double> point) const;
  bool stopped() const { return interruption != nullptr && interruption->stopped; }
};

// A 64-bit hash of the exact bits of the five fields, in field order.
std::uint64_t stats_seed(const SummaryStats& stats);

// The centre, then the centre stepped up in drift, in boundary and in t0.
// Drift and boundary steps are |coordinate| * rel but at least min_step
// (min_step when the product is NaN); the t0 step is at least 0.05.
std::vector<FitPoint> simplex_around(const FitPoint& centre, double rel, double min_step);

// floor(max_iters * 55 / 100), computed without overflow, and at least 1.
std::uint64_t stage1_budget(std::uint64_t max_iters);

// What stage 1 left of max_iters (its iterations used, not its budget), and
// at least 1.
std::uint64_t stage2_budget(std::uint64_t max_iters, std::uint64_t stage1_iterations);

struct SimFit {
  Params params;             // start 0.5 and noise_sd 1.0 whatever the guess held
  std::uint64_t iterations;  // of both stages together
  double final_cost;         // of the returned point
};

// Fits the observed trials from the guess's drift, boundary and t0. Only
// std::bad_alloc, and std::system_error when the worker pool cannot start
// (both from simulate_n), escape, and whatever `stop` throws; every other
// failure is a FitError, Interrupted when `stop` said stop.
Result<SimFit, FitError> fit_simulation(std::span<const Trial> trials, const Params& guess, std::uint64_t max_iters,
                                        const StopCheck& stop = {});

// The same fit from the trials' statistics (summary_stats), which the caller
// may compute while it can still read the trials.
Result<SimFit, FitError> fit_simulation(const std::optional<SummaryStats>& target, const Params& guess,
                                        std::uint64_t max_iters, const StopCheck& stop = {});

// The same fit with every batch run on `pool`; the result does not depend on it.
Result<SimFit, FitError> fit_simulation(std::span<const Trial> trials, const Params& guess, std::uint64_t max_iters,
                                        WorkerPool& pool, const StopCheck& stop = {});

}  // namespace corvatel
