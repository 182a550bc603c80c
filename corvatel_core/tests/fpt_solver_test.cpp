#include "corvatel/fpt_solver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "corvatel/parameters.h"
#include "corvatel/wfpt.h"

namespace corvatel {
namespace {

using Kind = BoundSpec::Kind;

TimeVaryingModel constant_model(double drift, double boundary, double start, double noise_sd, double sz = 0.0) {
  TimeVaryingModel m;
  m.drift = drift;
  m.boundary = boundary;
  m.start = start;
  m.noise_sd = noise_sd;
  m.sz = sz;
  return m;
}

// The largest relative error of both grid densities against `exact` (at
// grid times), where the exact density exceeds 1% of its peak.
double bulk_error(const FptGrid& grid, const std::function<double(double, bool)>& exact) {
  std::vector<double> up(grid.upper.size()), low(grid.upper.size());
  double peak = 0.0;
  for (std::size_t k = 1; k < up.size(); ++k) {
    up[k] = exact(grid.dt * static_cast<double>(k), true);
    low[k] = exact(grid.dt * static_cast<double>(k), false);
    peak = std::max({peak, up[k], low[k]});
  }
  double worst = 0.0;
  for (std::size_t k = 1; k < up.size(); ++k) {
    if (up[k] > 0.01 * peak) worst = std::max(worst, std::abs(grid.upper[k] / up[k] - 1.0));
    if (low[k] > 0.01 * peak) worst = std::max(worst, std::abs(grid.lower[k] / low[k] - 1.0));
  }
  return worst;
}

double series_density(const TimeVaryingModel& m, double t, bool choice) {
  ModelParams p;
  p.drift = m.drift;
  p.boundary = m.boundary;
  p.start = m.start;
  p.noise_sd = m.noise_sd;
  p.sz = m.sz;
  return std::exp(wfpt_log_density(t, choice, p));
}

FptGrid solve(const TimeVaryingModel& m, double relative_step, double t_max) {
  auto r = solve_first_passage(m, {relative_step, t_max});
  EXPECT_TRUE(r.has_value()) << r.error().message();
  return r.value();
}

struct SeriesCase {
  const char* name;
  double drift, boundary, start, noise_sd, sz;
};

class ConstantBound : public ::testing::TestWithParam<SeriesCase> {};

// The exact series (wfpt.h) is the reference: the default step reaches 1e-4
// over the bulk, a step 4 times finer 1e-6; sz enters as the start's
// distribution and must agree with the series' average over the start.
TEST_P(ConstantBound, MatchesTheSeriesAtDefaultAndFineSteps) {
  const SeriesCase& c = GetParam();
  const TimeVaryingModel m = constant_model(c.drift, c.boundary, c.start, c.noise_sd, c.sz);
  const auto exact = [&](double t, bool choice) { return series_density(m, t, choice); };
  const double t_max = 1.5 * c.boundary * c.boundary / (c.noise_sd * c.noise_sd);
  EXPECT_LT(bulk_error(solve(m, SolverResolution{}.relative_step, t_max), exact), 1e-4);
  EXPECT_LT(bulk_error(solve(m, SolverResolution{}.relative_step / 4.0, t_max), exact), 1e-6);
}

INSTANTIATE_TEST_SUITE_P(FptSolver, ConstantBound,
                         ::testing::Values(SeriesCase{"unbiased", 1.0, 1.0, 0.5, 1.0, 0.0},
                                           SeriesCase{"negative_drift_biased", -0.5, 1.5, 0.3, 1.0, 0.0},
                                           SeriesCase{"narrow_fast", 2.0, 0.6, 0.5, 1.0, 0.0},
                                           SeriesCase{"wide_noisy", 0.5, 2.0, 0.65, 1.5, 0.0},
                                           SeriesCase{"zero_drift_quiet", 0.0, 1.0, 0.5, 0.7, 0.0},
                                           SeriesCase{"start_near_lower", 1.5, 1.2, 0.2, 1.0, 0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

class StartWindow : public ::testing::TestWithParam<SeriesCase> {};

// sz enters only through the free term's closed-form average over the
// start; against the series' own average over sz. Starts near a bound make
// the leading edge steeper than the step rule (from the window's centre)
// assumes, hence 5e-4 at the default step.
TEST_P(StartWindow, MatchesTheSeriesAveragedOverTheStart) {
  const SeriesCase& c = GetParam();
  const TimeVaryingModel m = constant_model(c.drift, c.boundary, c.start, c.noise_sd, c.sz);
  const auto exact = [&](double t, bool choice) { return series_density(m, t, choice); };
  const double t_max = 1.5 * c.boundary * c.boundary / (c.noise_sd * c.noise_sd);
  EXPECT_LT(bulk_error(solve(m, SolverResolution{}.relative_step, t_max), exact), 5e-4);
  EXPECT_LT(bulk_error(solve(m, SolverResolution{}.relative_step / 4.0, t_max), exact), 1e-6);
}

INSTANTIATE_TEST_SUITE_P(FptSolver, StartWindow,
                         ::testing::Values(SeriesCase{"centred", 1.0, 1.0, 0.5, 1.0, 0.4},
                                           SeriesCase{"biased", -1.0, 1.5, 0.4, 1.0, 0.5},
                                           SeriesCase{"narrow", 0.5, 1.2, 0.6, 1.0, 0.05}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvatel
