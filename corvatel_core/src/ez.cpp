#include "corvatel/ez.h"

#include <cmath>

#include "corvatel/stats.h"

namespace corvatel {

Result<Params, EzError> ez_diffusion(std::span<const Trial> trials) {
  std::uint64_t n_valid = 0;
  for (const Trial& t : trials) n_valid += t.timed_out ? 0 : 1;
  if (n_valid < 2) return unexpected(EzError::not_enough_data(n_valid));

  const auto stats = summary_stats(trials);
  if (!stats) {
    std::uint64_t n_upper = 0;
    for (const Trial& t : trials) n_upper += (!t.timed_out && t.choice) ? 1 : 0;
    return unexpected(EzError::not_enough_correct(n_upper));
  }

  double pc = stats->accuracy;
  const double vrt = stats->var_rt;
  const double mrt = stats->mean_rt;
  if (pc == 1.0) {
    // Perfect accuracy has an infinite logit: use the usual edge correction.
    pc = 1.0 - 1.0 / (2.0 * static_cast<double>(n_valid));
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
  return Params{v, a, 0.5, t0, 1.0};
}

Params default_fit_guess(std::span<const Trial> trials) {
  const auto estimate = ez_diffusion(trials);
  if (estimate) return estimate.value();
  return Params{1.0, 1.0, 0.5, 0.2, 1.0};
}

}  // namespace corvatel
