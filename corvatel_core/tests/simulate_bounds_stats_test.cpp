// Simulated trials between time-varying bounds against the first-passage
// densities of fpt_solver.h: the share of upper responses and the
// distribution of decision times at each bound.
//
// The walk checks the band only at the end of each step, so its first
// passage overshoots: to first order in sqrt(dt) it is the continuous
// model's with each bound moved out by beta * sigma * g(t) * sqrt(dt),
// beta = -zeta(1/2) / sqrt(2 pi) = 0.5826 (Siegmund (1979), Adv. Appl.
// Prob. 11, 701-719; Broadie, Glasserman & Kou (1997), Math. Finance 7,
// 325-349). The solver is given that model: a band wider by
// 2 beta sqrt(dt) at time 0 that, with urgency, widens by
// beta sqrt(dt) urgency per second, which is an angle bound. What is left
// of the Euler bias is of order dt (0.1 ms here), far below the tolerance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <vector>

#include "corvatel/fpt_solver.h"
#include "corvatel/simulate_bounds.h"

namespace corvatel {
namespace {

constexpr double kBeta = 0.5825971579390106;  // -zeta(1/2) / sqrt(2 pi)

// The running integral of a grid density at time q, linear between grid times.
double cdf_at(const std::vector<double>& integral, double dt, double q) {
  const double pos = q / dt;
  const auto k = static_cast<std::size_t>(pos);
  if (k + 1 >= integral.size()) return integral.back();
  const double w = pos - static_cast<double>(k);
  return integral[k] + w * (integral[k + 1] - integral[k]);
}

// The time at which the running integral reaches `level`.
double time_at(const std::vector<double>& integral, double dt, double level) {
  const auto it = std::lower_bound(integral.begin(), integral.end(), level);
  const auto k = static_cast<std::size_t>(it - integral.begin());
  if (k == 0) return 0.0;
  return dt * (static_cast<double>(k - 1) + (level - integral[k - 1]) / (integral[k] - integral[k - 1]));
}

struct StatsCase {
  const char* name;
  ModelParams params;  // t0 = 0, no variabilities: rt is the decision time
  BoundsWalk walk;
};

// The solver's model of the walk, its bounds moved out by the overshoot.
TimeVaryingModel corrected_model(const StatsCase& c) {
  const double shift = kBeta * c.params.noise_sd * std::sqrt(c.walk.dt);
  TimeVaryingModel m;
  m.drift = c.params.drift;
  m.boundary = c.params.boundary + 2.0 * shift;
  m.start = 0.5 + (c.params.start - 0.5) * c.params.boundary / m.boundary;
  m.noise_sd = c.params.noise_sd;
  m.leak = c.walk.leak;
  m.urgency = c.walk.urgency;
  m.bound = c.walk.bound;
  if (m.bound.kind == BoundSpec::Kind::Constant) {
    m.bound.kind = BoundSpec::Kind::Angle;
    m.bound.theta = 0.0;
  }
  // Only the constant and angle bounds are corrected here.
  m.bound.theta = std::atan(std::tan(m.bound.theta) - shift * c.walk.urgency);
  return m;
}

BoundsWalk stats_walk(BoundSpec bound, double leak, double urgency) {
  BoundsWalk w;
  w.bound = bound;
  w.leak = leak;
  w.urgency = urgency;
  w.dt = 1e-4;
  return w;
}

void PrintTo(const StatsCase& c, std::ostream* os) { *os << c.name; }

class SimulateBoundsStats : public ::testing::TestWithParam<StatsCase> {};

// 20 000 trials, fixed seed. Each of the 11 checks of a case allows 4.5
// standard errors of a binomial share: a false alarm about 7e-6 each,
// 1.5e-4 for both cases together (the solver's own error, below 1e-4 of the
// densities, moves them by far less than one standard error).
TEST_P(SimulateBoundsStats, SharesAndDecisionTimesFollowTheSolversDensities) {
  const StatsCase& c = GetParam();
  const std::uint64_t n = 20'000;
  const TrialBatch batch = simulate_bounds_n(c.params, c.walk, n, 99);
  const auto grid = solve_first_passage(corrected_model(c), SolverResolution{1.0 / 576.0, 6.0});
  ASSERT_TRUE(grid.has_value());
  const FptGrid& g = grid.value();
  const double total = static_cast<double>(n);
  auto expect_share = [&](double observed, double p, const char* what, double level) {
    const double se = std::sqrt(p * (1.0 - p) / total);
    EXPECT_NEAR(observed, p, 4.5 * se) << what << " at level " << level;
  };
  std::vector<double> upper, lower;
  for (const Trial& t : batch) {
    ASSERT_FALSE(t.timed_out);
    (t.choice ? upper : lower).push_back(t.rt);
  }
  const double p_upper = g.upper_integral.back();
  expect_share(static_cast<double>(upper.size()) / total, p_upper, "upper share", 1.0);
  for (const bool at_upper : {true, false}) {
    const std::vector<double>& integral = at_upper ? g.upper_integral : g.lower_integral;
    const std::vector<double>& times = at_upper ? upper : lower;
    // The solver's decision-time quantiles at this bound: the simulated
    // share of all trials ending there by then.
    for (const double level : {0.1, 0.3, 0.5, 0.7, 0.9}) {
      const double q = time_at(integral, g.dt, level * integral.back());
      const auto below = std::count_if(times.begin(), times.end(), [&](double rt) { return rt <= q; });
      expect_share(static_cast<double>(below) / total, cdf_at(integral, g.dt, q),
                   at_upper ? "upper" : "lower", level);
    }
  }
}

const StatsCase kStatsCases[] = {
    // Closes at 0.75 / tan(0.5) = 1.37 s.
    {"angle", {1.0, 1.5, 0.5, 0.0}, stats_walk({BoundSpec::Kind::Angle, 0.5}, 0.0, 0.0)},
    {"leak_urgency", {1.2, 1.6, 0.55, 0.0}, stats_walk({}, 1.5, 1.0)},
};

INSTANTIATE_TEST_SUITE_P(Models, SimulateBoundsStats, ::testing::ValuesIn(kStatsCases),
                         [](const ::testing::TestParamInfo<StatsCase>& info) { return info.param.name; });

}  // namespace
}  // namespace corvatel
