#include "corvatel/ez.h"

#include <cmath>

namespace corvatel {

namespace {

template <typename Trials>
Result<Params, EzError> estimate(const Trials& trials) {
  const auto stats = summary_stats(trials);
  if (stats) return ez_from_stats(*stats);
  const TrialCounts counts = count_trials(trials);
  if (counts.n_valid < 2) return unexpected(EzError::not_enough_data(counts.n_valid));
  return unexpected(EzError::not_enough_correct(counts.n_upper));
}

}  // namespace

Result<Params, EzError> ez_from_stats(const SummaryStats& stats) {
  if (stats.n_valid < 2) return unexpected(EzError::not_enough_data(stats.n_valid));
  if (stats.n_upper < 2) return unexpected(EzError::not_enough_correct(stats.n_upper));

  double pc = stats.accuracy;
  const double vrt = stats.var_rt;
  const double mrt = stats.mean_rt;
  if (pc == 1.0) {
    // Perfect accuracy has an infinite logit: use the usual edge correction.
    pc = 1.0 - 1.0 / (2.0 * static_cast<double>(stats.n_valid));
  } else if (pc == 0.5) {
    return unexpected(EzError::chance_accuracy());
  }
  if (!(vrt > 0.0)) return unexpected(EzError::non_positive_variance());

  const double logit = std::log(pc / (1.0 - pc));
  const double u = pc * logit;
  const double w = pc * u;
  double x = (((w - u) + pc) - 0.5) * logit;
  x = x / vrt;
  if (!(x >= 0.0)) return unexpected(EzError::no_real_solution());

  const double sign = std::signbit(pc - 0.5) ? -1.0 : 1.0;
  const double v = std::pow(x, 0.25) * sign;
  const double a = logit / v;
  const double e = std::exp((-v) * a);
  const double h = a / (v + v);
  const double t0 = mrt - ((1.0 - e) / (e + 1.0)) * h;
  return Params{v, a, kRecoveryStart, t0, kRecoveryNoiseSd};
}

Result<Params, EzError> ez_diffusion(std::span<const Trial> trials) { return estimate(trials); }
Result<Params, EzError> ez_diffusion(const ObservedTrials& trials) { return estimate(trials); }

Params default_fit_guess(const std::optional<SummaryStats>& stats) {
  if (stats) {
    if (const auto estimate = ez_from_stats(*stats)) return estimate.value();
  }
  return Params{1.0, 1.0, kRecoveryStart, 0.2, kRecoveryNoiseSd};
}

Params default_fit_guess(std::span<const Trial> trials) { return default_fit_guess(summary_stats(trials)); }

}  // namespace corvatel
