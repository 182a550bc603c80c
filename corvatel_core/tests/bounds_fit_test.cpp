// bounds_log_densities (the grid it solves must reach every trial) and the
// failures of fit_bounds_ml.
#include "corvatel/bounds_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "corvatel/fpt_solver.h"
#include "corvatel/parameters.h"

namespace corvatel {
namespace {

TimeVaryingModel weibull_model() {
  TimeVaryingModel m;
  m.drift = 0.8;
  m.boundary = 1.4;
  m.bound.kind = BoundSpec::Kind::Weibull;
  m.bound.shape = 2.0;
  m.bound.scale = 1.5;
  m.leak = 0.5;
  return m;
}

// The densities equal those of a solve reaching far past every trial, bit
// for bit (a grid value depends only on the earlier ones), the slowest
// trial included: a grid cut short would give it -inf.
TEST(BoundsLogDensities, EqualALongerSolveUpToTheSlowestTrial) {
  const TimeVaryingModel m = weibull_model();
  const double t0 = 0.3;
  const std::vector<double> rts = {0.35, 0.6, 1.1, 1.7, 2.0137, 0.31};
  const std::vector<std::uint8_t> choices = {1, 0, 1, 0, 1, 0};
  std::vector<double> out(rts.size());
  ASSERT_FALSE(bounds_log_densities(m, t0, 0.0, 1.0 / 144.0, rts, choices, out));
  SolverResolution longer;
  longer.t_max = 5.0;
  const auto grid = solve_first_passage(m, longer);
  ASSERT_TRUE(grid.has_value());
  for (std::size_t i = 0; i < rts.size(); ++i) {
    EXPECT_TRUE(std::isfinite(out[i])) << i;
    EXPECT_EQ(out[i], grid_log_density(grid.value(), rts[i], choices[i] != 0, t0, 0.0)) << i;
  }
}

TEST(BoundsLogDensities, RefusesBadNonDecisionTimesAndTooLongGrids) {
  const TimeVaryingModel m = weibull_model();
  const std::vector<double> rts = {0.5};
  const std::vector<double> slow = {5000.0};
  const std::vector<std::uint8_t> choices = {1};
  std::vector<double> out(1);
  const auto negative = bounds_log_densities(m, -0.1, 0.0, 1.0 / 144.0, rts, choices, out);
  ASSERT_TRUE(negative && negative->param_error());
  EXPECT_EQ(negative->param_error()->param(), Param::T0);
  const auto wide = bounds_log_densities(m, 0.1, 0.3, 1.0 / 144.0, rts, choices, out);
  ASSERT_TRUE(wide && wide->param_error());
  EXPECT_EQ(wide->param_error()->param(), Param::St);
  const auto long_grid = bounds_log_densities(m, 0.1, 0.0, 1.0 / 144.0, slow, choices, out);
  ASSERT_TRUE(long_grid);
  EXPECT_EQ(long_grid->kind(), FptError::Kind::Resolution);
}

std::vector<double> spread_rts(std::size_t n) {
  std::vector<double> rts(n);
  for (std::size_t i = 0; i < n; ++i) rts[i] = 0.4 + 0.01 * static_cast<double>(i % 50);
  return rts;
}

TEST(FitBoundsMl, NeedsTwoTrialsPerParameter) {
  const std::vector<double> rts = spread_rts(13);
  const std::vector<std::uint8_t> choices(rts.size(), 1);
  BoundsFitOptions options;
  options.bound = BoundSpec::Kind::Weibull;
  options.leak = options.urgency = true;  // 7 parameters: 14 trials
  const auto fit = fit_bounds_ml({choices, rts}, options);
  ASSERT_FALSE(fit);
  EXPECT_EQ(fit.error(), FitError::too_few_trials(13, 14));
}

TEST(FitBoundsMl, AStopEndsTheFit) {
  const std::vector<double> rts = spread_rts(200);
  std::vector<std::uint8_t> choices(rts.size());
  for (std::size_t i = 0; i < choices.size(); ++i) choices[i] = i % 3 != 0;
  // Stops from the second question on: the standard fit that gives the
  // starts asks first (and again only after 50 ms), the search's first
  // question always comes, so the stop lands in the search however fast
  // the machine (or, on a slow one, in the standard fit: Interrupted too).
  int asked = 0;
  const StopCheck stop = [&] { return ++asked > 1; };
  BoundsFitOptions options;
  options.bound = BoundSpec::Kind::Angle;
  const auto fit = fit_bounds_ml({choices, rts}, options, stop);
  ASSERT_FALSE(fit);
  EXPECT_EQ(fit.error().kind(), FitError::Kind::Interrupted);
}

}  // namespace
}  // namespace corvatel
