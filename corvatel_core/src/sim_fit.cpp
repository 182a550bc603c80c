#include "corvatel/sim_fit.h"

#include <bit>
#include <cmath>

#include "corvatel/internal/two_stage_search.h"
#include "corvatel/neldermead.h"
#include "corvatel/simulate.h"

namespace corvatel {
namespace {

static_assert(CostFunction<SimFitCost>);

constexpr double kMinBoundary = 1e-6;

constexpr double kMinT0Step = 0.05;

constexpr std::uint64_t kSeedOffset = 0x9e3779b97f4a7c15;
constexpr std::uint64_t kMix1 = 0xff51afd7ed558ccd;
constexpr std::uint64_t kMix2 = 0xc4ceb9fe1a85ec53;

double relative_error(double simulated, double target) { return (simulated - target) / target; }

double step_for(double coordinate, double rel, double min_step) {
  const double scaled = std::fabs(coordinate) * rel;
  return scaled > min_step ? scaled : min_step;  // a NaN product falls to min_step
}

Result<SimFit, FitError> fit(const std::optional<SummaryStats>& target, const Params& guess, std::uint64_t max_iters,
                             WorkerPool* pool, const StopCheck& stop) {
  if (!target) return unexpected(FitError::no_usable_target());
  FitInterruption interruption{&stop};
  const SimFitCost cost{*target, kSimTrialsPerEvaluation, stats_seed(*target), pool, &interruption};

  const auto found = internal::two_stage_search(cost, {guess.drift, guess.boundary, guess.t0}, max_iters);
  if (interruption.stopped) return unexpected(FitError::interrupted());
  if (!found) return unexpected(found.error());
  const NelderMeadFit& best = found.value();
  const Params params{best.point[0], best.point[1], kRecoveryStart, best.point[2], kRecoveryNoiseSd};
  return SimFit{params, best.iterations, best.cost};
}

}  // namespace

double SimFitCost::cost(std::span<const double> point) const {
  if (point.size() != 3) return INVALID_COST;
  const double drift = point[0];
  const double boundary = point[1];
  const double t0 = point[2];
  const bool finite = std::isfinite(drift) && std::isfinite(boundary) && std::isfinite(t0);
  if (interruption != nullptr && interruption->requested()) return INVALID_COST;
  if (!finite || t0 < 0.0 || boundary <= kMinBoundary) return INVALID_COST;

  const Params params{drift, boundary, kRecoveryStart, t0, kRecoveryNoiseSd};
  const TrialBatch batch = pool == nullptr ? simulate_n(params, n_sim, seed) : simulate_n(params, n_sim, seed, *pool);
  const auto simulated = summary_stats(batch.span());
  if (!simulated) return INVALID_COST;

  const double ea = relative_error(simulated->accuracy, target.accuracy);
  const double em = relative_error(simulated->mean_rt, target.mean_rt);
  const double ev = relative_error(simulated->var_rt, target.var_rt);
  return (ea * ea + em * em) + (ev * ev) * 0.5;
}

std::uint64_t stats_seed(const SummaryStats& stats) {
  const std::uint64_t words[] = {std::bit_cast<std::uint64_t>(stats.mean_rt), std::bit_cast<std::uint64_t>(stats.var_rt),
                                 stats.n_valid, stats.n_upper};
  std::uint64_t h = (std::bit_cast<std::uint64_t>(stats.accuracy) ^ kSeedOffset) * kMix1;
  for (const std::uint64_t w : words) h = (w ^ h ^ (h >> 33)) * kMix1;
  return (h ^ (h >> 33)) * kMix2;
}

std::vector<FitPoint> simplex_around(const FitPoint& centre, double rel, double min_step) {
  const double drift_step = step_for(centre[0], rel, min_step);
  const double boundary_step = step_for(centre[1], rel, min_step);
  const double t0_step = min_step > kMinT0Step ? min_step : kMinT0Step;
  const auto [c0, c1, c2] = centre;
  return {{c0, c1, c2}, {c0 + drift_step, c1, c2}, {c0, c1 + boundary_step, c2}, {c0, c1, c2 + t0_step}};
}

std::uint64_t stage1_budget(std::uint64_t max_iters) {
  // max_iters * 55 wraps above about 3.35e17; splitting off the hundreds
  // keeps the floor exact for every input.
  const std::uint64_t budget = max_iters / 100 * 55 + max_iters % 100 * 55 / 100;
  return budget == 0 ? 1 : budget;
}

std::uint64_t stage2_budget(std::uint64_t max_iters, std::uint64_t stage1_iterations) {
  const std::uint64_t left = stage1_iterations < max_iters ? max_iters - stage1_iterations : 0;
  return left == 0 ? 1 : left;
}

Result<SimFit, FitError> fit_simulation(std::span<const Trial> trials, const Params& guess, std::uint64_t max_iters,
                                        const StopCheck& stop) {
  return fit(summary_stats(trials), guess, max_iters, nullptr, stop);
}

Result<SimFit, FitError> fit_simulation(const std::optional<SummaryStats>& target, const Params& guess,
                                        std::uint64_t max_iters, const StopCheck& stop) {
  return fit(target, guess, max_iters, nullptr, stop);
}

Result<SimFit, FitError> fit_simulation(std::span<const Trial> trials, const Params& guess, std::uint64_t max_iters,
                                        WorkerPool& pool, const StopCheck& stop) {
  return fit(summary_stats(trials), guess, max_iters, &pool, stop);
}

}  // namespace corvatel
