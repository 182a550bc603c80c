#include "corvatel/fpt_solver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <utility>
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
                                           SeriesCase{"start_near_lower", 1.5, 1.2, 0.2, 1.0, 0.0},
                                           // Drift x boundary of 30 to 60: the decisions a spike
                                           // narrower than the band's time scale (the grid once
                                           // ended, or was off 40-fold, there).
                                           SeriesCase{"strong_drift", 13.5, 2.24, 0.5, 1.0, 0.0},
                                           SeriesCase{"strong_drift_wide", 8.0, 4.0, 0.5, 1.0, 0.0},
                                           SeriesCase{"strong_negative_drift_biased", -15.0, 4.0, 0.3, 1.0, 0.0}),
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


TimeVaryingModel collapsing(Kind kind) {
  TimeVaryingModel m = constant_model(1.0, 1.5, 0.5, 1.0);
  m.bound.kind = kind;
  m.bound.theta = 0.3;
  m.bound.shape = 2.5;
  m.bound.scale = 1.0;
  m.bound.rate = 1.0;
  return m;
}

// The largest relative error over the bulk of `grid` against `reference`, a
// solve whose step divides the grid's.
double error_against(const FptGrid& grid, const FptGrid& reference) {
  const auto stride = static_cast<std::size_t>(std::llround(grid.dt / reference.dt));
  return bulk_error(grid, [&](double t, bool choice) {
    const auto k = static_cast<std::size_t>(std::llround(t / grid.dt)) * stride;
    return choice ? reference.upper[k] : reference.lower[k];
  });
}

// Halving the step divides the error of a collapsing bound by 2^2.5 = 5.7
// once the corrected trapezoid rule is in its asymptotic range; the band
// [4, 8] admits orders 2 to 3 and refuses the uncorrected rule's 1.5.
TEST(FptSolverTest, CollapsingBoundErrorFallsAtOrderTwoAndAHalf) {
  for (const Kind kind : {Kind::Exponential, Kind::Weibull}) {
    const TimeVaryingModel m = collapsing(kind);
    const FptGrid reference = solve(m, 1.0 / 4608.0, 2.0);
    const double e1 = error_against(solve(m, 1.0 / 288.0, 2.0), reference);
    const double e2 = error_against(solve(m, 1.0 / 576.0, 2.0), reference);
    const double e3 = error_against(solve(m, 1.0 / 1152.0, 2.0), reference);
    EXPECT_GT(e1 / e2, 4.0) << static_cast<int>(kind);
    EXPECT_LT(e1 / e2, 8.0) << static_cast<int>(kind);
    EXPECT_GT(e2 / e3, 4.0) << static_cast<int>(kind);
    EXPECT_LT(e2 / e3, 8.0) << static_cast<int>(kind);
  }
}

// A constant bound without leak or urgency has flat integrands at both ends:
// halving the step gains far more than any low order would.
TEST(FptSolverTest, ConstantBoundErrorFallsFasterThanAnyLowOrder) {
  const TimeVaryingModel m = constant_model(1.0, 1.0, 0.5, 1.0);
  const auto exact = [&](double t, bool choice) { return series_density(m, t, choice); };
  const double coarse = bulk_error(solve(m, 1.0 / 60.0, 1.5), exact);
  const double fine = bulk_error(solve(m, 1.0 / 120.0, 1.5), exact);
  EXPECT_GT(coarse / fine, 64.0) << coarse << " " << fine;
}

// Each case once against a simulation and for its total mass.
struct WalkCase {
  const char* name;
  TimeVaryingModel model;
};

TimeVaryingModel with(TimeVaryingModel m, double leak, double urgency, double start = 0.5, double sz = 0.0) {
  m.leak = leak;
  m.urgency = urgency;
  m.start = start;
  m.sz = sz;
  return m;
}

const WalkCase kWalkCases[] = {
    {"angle", collapsing(Kind::Angle)},
    {"weibull", collapsing(Kind::Weibull)},
    {"exponential", collapsing(Kind::Exponential)},
    {"hyperbolic", collapsing(Kind::Hyperbolic)},
    {"leak", with(collapsing(Kind::Constant), 1.0, 0.0)},
    {"urgency", with(collapsing(Kind::Constant), 0.0, 1.5)},
    {"leak_urgency_weibull_sz", with(collapsing(Kind::Weibull), 1.0, 1.0, 0.4, 0.2)},
};

class WalkCases : public ::testing::TestWithParam<WalkCase> {};

constexpr double kWalkHorizon = 6.0;

// Everything that starts inside leaves by t_max: the grid's mass is 1 up
// to the method's error (and the angle bound leaves none at its closing).
TEST_P(WalkCases, TotalMassIsOne) {
  const FptGrid grid = solve(GetParam().model, SolverResolution{}.relative_step, kWalkHorizon);
  EXPECT_NEAR(grid.upper_integral.back() + grid.lower_integral.back(), 1.0, 1e-5);
  if (GetParam().model.bound.kind == Kind::Angle) {
    const double closing = 0.75 / std::tan(0.3);
    EXPECT_LT(grid.dt * static_cast<double>(grid.upper.size() - 1), closing);
    EXPECT_GT(grid.dt * static_cast<double>(grid.upper.size()), closing);
  }
}

// Walks the step cannot follow: a leak far faster than the step, whose pull
// holds the walk against a bound or a band that collapses within a few
// steps. The recursion's error grew there until the densities summed to
// 1e22, -1e237 or overflowed; the grid now ends where the sum of their
// magnitudes passes 1 and leaves no mass after it.
TimeVaryingModel unstable(Kind kind, double drift, double leak, double rate, double scale = 1.0) {
  TimeVaryingModel m = with(constant_model(drift, 2.24, 0.5, 1.0), leak, 0.0);
  m.bound.kind = kind;
  m.bound.rate = rate;
  m.bound.shape = 1.0;
  m.bound.scale = scale;
  return m;
}

TEST(FptSolverTest, AWalkTheStepCannotFollowEndsTheGridBeforeItsDensitiesSumPastOne) {
  const TimeVaryingModel models[] = {unstable(Kind::Exponential, 13.5, 273.0, 33.8),
                                     unstable(Kind::Exponential, 3.0, 273.0, 3.0),
                                     unstable(Kind::Weibull, 13.5, 273.0, 0.0, 0.3)};
  for (const TimeVaryingModel& m : models) {
    const FptGrid grid = solve(m, SolverResolution{}.relative_step, 5.0);
    double mass = 0.0;
    for (std::size_t k = 1; k < grid.upper.size(); ++k) {
      ASSERT_TRUE(std::isfinite(grid.upper[k]) && std::isfinite(grid.lower[k]));
      mass += 0.5 * grid.dt * (std::abs(grid.upper[k - 1]) + std::abs(grid.lower[k - 1]) + std::abs(grid.upper[k]) +
                               std::abs(grid.lower[k]));
    }
    EXPECT_LE(mass, 1.01);
    const double last = grid.dt * static_cast<double>(grid.upper.size() - 1);
    EXPECT_LT(last, 5.0 - grid.dt);
    EXPECT_EQ(grid_log_density(grid, last + grid.dt, true, 0.0, 0.0), -kInfinity);
    EXPECT_EQ(grid_window_mass(grid, last + grid.dt, kInfinity), 0.0);
    EXPECT_LE(grid_window_mass(grid, 0.0, kInfinity), 1.0);
  }
  // A walk the step follows keeps its whole grid.
  const FptGrid steady = solve(unstable(Kind::Constant, 1.0, 1.0, 0.0), SolverResolution{}.relative_step, 5.0);
  EXPECT_FALSE(steady.ended_early);
  EXPECT_EQ(steady.upper.size(), static_cast<std::size_t>(std::floor(5.0 / steady.dt)) + 1);
}

// The decision time of one path by the Euler scheme at a 0.05 ms step,
// signed by the bound it reaches (upper +, lower -); 0: still inside at
// kWalkHorizon.
double euler_walk(const TimeVaryingModel& m, std::mt19937_64& rng) {
  constexpr double kStep = 5e-5;
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform(-0.5, 0.5);
  double x = (m.start - 0.5 + m.sz * uniform(rng)) * m.boundary;
  const double root_step = std::sqrt(kStep);
  for (int i = 1; i * kStep <= kWalkHorizon; ++i) {
    const double t_before = (i - 1) * kStep;
    const double gain = 1.0 + m.urgency * t_before;
    x += (gain * m.drift - m.leak * x) * kStep + gain * m.noise_sd * root_step * normal(rng);
    const double t = i * kStep;
    const double b = bound_half_width(m, t);
    if (x >= b) return t;
    if (x <= -b) return -t;
  }
  return 0.0;
}

// The grid's distribution function of the signed decision time.
double signed_cdf(const FptGrid& grid, double y) {
  const auto integral = [&](const std::vector<double>& running, double t) {
    const double position = t / grid.dt;
    const auto i = static_cast<std::size_t>(position);
    if (i + 1 >= running.size()) return running.back();
    return running[i] + (position - static_cast<double>(i)) * (running[i + 1] - running[i]);
  };
  const double lower_total = grid.lower_integral.back();
  return y < 0.0 ? lower_total - integral(grid.lower_integral, -y) : lower_total + integral(grid.upper_integral, y);
}

// 10,000 paths against the grid at 19 quantiles of the signed decision time.
// By the Dvoretzky-Kiefer-Wolfowitz bound the empirical distribution function
// strays more than sqrt(ln(2/1e-6) / (2 n)) = 0.027 anywhere with probability
// below 1e-6 per case (7e-6 for the 7), fixed seed; 0.005 more allows for the
// Euler walk's own bias (it misses crossings between steps: about
// 0.58 sqrt(step) noise_sd of bound).
TEST_P(WalkCases, MatchesAnEulerSimulation) {
  const TimeVaryingModel& m = GetParam().model;
  constexpr std::size_t kPaths = 10000;
  std::mt19937_64 rng(20240611);
  std::vector<double> signed_times(kPaths);
  for (double& y : signed_times) y = euler_walk(m, rng);
  std::sort(signed_times.begin(), signed_times.end());
  const FptGrid grid = solve(m, SolverResolution{}.relative_step, kWalkHorizon);
  const double tolerance = std::sqrt(std::log(2.0 / 1e-6) / (2.0 * kPaths)) + 0.005;
  for (int q = 1; q < 20; ++q) {
    const std::size_t index = kPaths * static_cast<std::size_t>(q) / 20;
    const double y = signed_times[index];
    if (y == 0.0) continue;  // the timed-out paths sit at 0
    const double empirical = static_cast<double>(std::upper_bound(signed_times.begin(), signed_times.end(), y) -
                                                 signed_times.begin()) / kPaths;
    EXPECT_NEAR(signed_cdf(grid, y), empirical, tolerance) << "at " << y;
  }
}

INSTANTIATE_TEST_SUITE_P(FptSolver, WalkCases, ::testing::ValuesIn(kWalkCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Between grid times the cubic in log density; st through the density's
// integral, on the leading edge too (a window of a step or two: the running
// integral's cubic was 12% off there). Against the series with t0 and st,
// wherever the density exceeds 1% of its peak.
TEST(FptSolverTest, GridLogDensityInterpolatesAndAveragesOverSt) {
  const TimeVaryingModel m = constant_model(0.7, 1.2, 0.45, 1.0);
  FptGrid grid = solve(m, SolverResolution{}.relative_step, 4.0);
  add_window_masses(grid);
  ModelParams p{0.7, 1.2, 0.45, 0.3, 1.0};
  // Windows below the doubles' spacing at the times (1e-17: the running
  // integral's difference was 0, the density -inf) and far below a step.
  for (const double st : {0.0, 1e-17, 1e-9, 0.02, 0.1}) {
    p.st = st;
    for (const bool choice : {true, false}) {
      std::vector<double> times, exact;
      for (int i = 1; i <= 400; ++i) {
        times.push_back(0.3 - st / 2.0 + 0.00002 * i * i);  // to 3.5 s, dense early
        exact.push_back(std::exp(wfpt_log_density(times.back(), choice, p)));
      }
      const double peak = *std::max_element(exact.begin(), exact.end());
      for (std::size_t i = 0; i < times.size(); ++i) {
        if (exact[i] < 0.01 * peak) continue;
        EXPECT_NEAR(std::exp(grid_log_density(grid, times[i], choice, 0.3, st)) / exact[i], 1.0, 1e-4)
            << times[i] << " " << choice << " " << st;
      }
    }
  }
  EXPECT_EQ(grid_log_density(grid, 0.29, true, 0.3, 0.0), -INFINITY);
  EXPECT_EQ(grid_log_density(grid, 4.5, true, 0.3, 0.0), -INFINITY);
  EXPECT_EQ(grid_log_density(grid, 0.24, false, 0.3, 0.1), -INFINITY);
}

// The largest relative error of grid_log_density between grid times (four
// points in each interval, the first included) against `exact`, where the
// exact density exceeds 1% of its peak.
double between_error(const FptGrid& grid, const std::function<double(double, bool)>& exact) {
  std::vector<double> times;
  for (std::size_t k = 0; k + 1 < grid.upper.size(); ++k) {
    for (const double f : {0.2, 0.4, 0.6, 0.8}) times.push_back(grid.dt * (static_cast<double>(k) + f));
  }
  double peak = 0.0;
  for (const double t : times) peak = std::max({peak, exact(t, true), exact(t, false)});
  double worst = 0.0;
  for (const double t : times) {
    for (const bool choice : {true, false}) {
      const double e = exact(t, choice);
      if (e > 0.01 * peak) worst = std::max(worst, std::abs(std::exp(grid_log_density(grid, t, choice, 0.0, 0.0)) / e - 1.0));
    }
  }
  return worst;
}

// Strong drifts put the leading edge inside the first grid intervals, where
// both g and the free term start from 0; a collapse with leak and urgency
// makes the free term cross zero past the bulk. Constant bounds against the
// series, the collapse against a grid 16 times finer (whose own error is
// some 1e-8).
TEST(FptSolverTest, DensitiesBetweenGridTimesHoldTheGridsAccuracy) {
  for (const double drift : {3.0, -5.0}) {
    const TimeVaryingModel m = constant_model(drift, 1.2, 0.5, 1.0);
    EXPECT_LT(between_error(solve(m, SolverResolution{}.relative_step, 2.0),
                            [&](double t, bool c) { return series_density(m, t, c); }),
              1e-4)
        << drift;
  }
  TimeVaryingModel m = constant_model(3.0, 1.5, 0.5, 1.0);
  m.bound.kind = Kind::Angle;
  m.bound.theta = 0.3;
  m.leak = 1.0;
  m.urgency = 0.5;
  const FptGrid fine = solve(m, SolverResolution{}.relative_step / 16.0, 2.0);
  EXPECT_LT(between_error(solve(m, SolverResolution{}.relative_step, 2.0),
                          [&](double t, bool c) { return std::exp(grid_log_density(fine, t, c, 0.0, 0.0)); }),
            5e-4);
}

// Each rule refused with its own kind; parameters the bound does not use are
// not checked.
struct RefusalCase {
  const char* name;
  std::function<void(TimeVaryingModel&, SolverResolution&)> change;
  FptError::Kind kind;
};

// The mass between two decision times, from the running integrals, against
// the series' distribution function: windows inside the bulk, one reaching
// to infinity (1 less what ended before it), and an empty one; within 5e-5
// at the default step (the densities' 1e-4 over the bulk) and 2e-6 at a
// step 4 times finer.
TEST(FptSolverTest, WindowMassMatchesTheSeriesDistribution) {
  const TimeVaryingModel m = constant_model(1.2, 1.3, 0.45, 1.0);
  const FptGrid grid = solve(m, 1.0 / 144.0, 3.0);
  const FptGrid fine = solve(m, 1.0 / 576.0, 3.0);
  ModelParams p;
  p.drift = m.drift;
  p.boundary = m.boundary;
  p.start = m.start;
  const auto series_mass = [&](double lo, double hi) {
    return std::exp(wfpt_log_window_probability(p, lo, hi, OutlierWindow{}));
  };
  const double inf = std::numeric_limits<double>::infinity();
  for (const auto& [lo, hi] : {std::pair{0.05, 0.8}, std::pair{0.2, 2.5}, std::pair{0.3, 0.3001}, std::pair{0.25, inf}}) {
    EXPECT_NEAR(grid_window_mass(grid, lo, hi), series_mass(lo, hi), 5e-5) << lo << " " << hi;
    EXPECT_NEAR(grid_window_mass(fine, lo, hi), series_mass(lo, hi), 2e-6) << lo << " " << hi;
  }
  EXPECT_EQ(grid_window_mass(grid, 0.0, 0.0), 0.0);
  EXPECT_NEAR(grid_window_mass(grid, 0.0, inf), 1.0, 1e-12);

  // Past a grid's end the tail: a grid to 0.9 s (0.9% of the mass later)
  // gives windows that end later nearly as a grid that reaches them.
  const FptGrid short_grid = solve(m, 1.0 / 144.0, 0.9);
  for (const double hi : {1.0, 1.5, 3.0, 60.0}) {
    EXPECT_NEAR(grid_window_mass(short_grid, 0.1, hi), series_mass(0.1, hi), 2e-4) << hi;
  }

  // A band that closes holds all of the mass by its closing time.
  TimeVaryingModel closing = m;
  closing.bound.kind = Kind::Angle;
  closing.bound.theta = 0.6;
  const FptGrid closed = solve(closing, 1.0 / 144.0, 5.0);
  EXPECT_EQ(grid_window_mass(closed, 0.0, 4.0), 1.0);
  EXPECT_NEAR(grid_window_mass(closed, 0.0, 0.5 * closed.dt * static_cast<double>(closed.upper.size())),
              1.0 - grid_window_mass(closed, 0.5 * closed.dt * static_cast<double>(closed.upper.size()), inf), 1e-12);
}


class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, GiveTheirKind) {
  TimeVaryingModel m = constant_model(1.0, 1.0, 0.5, 1.0);
  SolverResolution r;
  GetParam().change(m, r);
  const auto result = solve_first_passage(m, r);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), GetParam().kind);
  EXPECT_FALSE(result.error().message().empty());
}

using FK = FptError::Kind;
const RefusalCase kRefusals[] = {
    {"boundary", [](auto& m, auto&) { m.boundary = 0.0; }, FK::Model},
    {"start_on_edge", [](auto& m, auto&) { m.start = 1.0; }, FK::Model},
    {"noise", [](auto& m, auto&) { m.noise_sd = -1.0; }, FK::Model},
    {"sz_window", [](auto& m, auto&) { m.sz = 1.0; }, FK::Model},
    {"drift_nan", [](auto& m, auto&) { m.drift = NAN; }, FK::Model},
    {"theta_right_angle", [](auto& m, auto&) { m.bound = {Kind::Angle, std::numbers::pi / 2}; }, FK::Theta},
    {"theta_below", [](auto& m, auto&) { m.bound = {Kind::Angle, -1.6}; }, FK::Theta},
    {"theta_nan", [](auto& m, auto&) { m.bound = {Kind::Angle, NAN}; }, FK::Theta},
    {"shape_zero", [](auto& m, auto&) { m.bound = {Kind::Weibull, 0.0, 0.0, 1.0}; }, FK::Shape},
    {"scale_negative", [](auto& m, auto&) { m.bound = {Kind::Weibull, 0.0, 2.0, -1.0}; }, FK::Scale},
    {"scale_infinite", [](auto& m, auto&) { m.bound = {Kind::Weibull, 0.0, 2.0, INFINITY}; }, FK::Scale},
    {"rate_negative", [](auto& m, auto&) { m.bound = {Kind::Exponential, 0.0, 1.0, 1.0, -0.1}; }, FK::Rate},
    {"rate_nan", [](auto& m, auto&) { m.bound = {Kind::Hyperbolic, 0.0, 1.0, 1.0, NAN}; }, FK::Rate},
    {"leak_negative", [](auto& m, auto&) { m.leak = -0.5; }, FK::Leak},
    {"urgency_infinite", [](auto& m, auto&) { m.urgency = INFINITY; }, FK::Urgency},
    {"urgency_negative", [](auto& m, auto&) { m.urgency = -0.1; }, FK::Urgency},
    {"step_zero", [](auto&, auto& r) { r.relative_step = 0.0; }, FK::Resolution},
    {"t_max_nan", [](auto&, auto& r) { r.t_max = NAN; }, FK::Resolution},
    {"too_many_steps", [](auto&, auto& r) { r.t_max = 1e6; }, FK::Resolution},
};

INSTANTIATE_TEST_SUITE_P(FptSolver, Refusals, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FptSolverTest, ModelErrorsCarryTheTablesError) {
  TimeVaryingModel m = constant_model(1.0, -1.0, 0.5, 1.0);
  const auto e = check_time_varying(m, {});
  ASSERT_TRUE(e);
  ASSERT_TRUE(e->param_error());
  EXPECT_EQ(e->param_error()->param(), Param::Boundary);
  EXPECT_EQ(e->message(), e->param_error()->message());
  // A constant bound does not read the collapse's parameters.
  m.boundary = 1.0;
  m.bound.shape = -1.0;
  m.bound.rate = -1.0;
  EXPECT_FALSE(check_time_varying(m, {}));
}

// A long grid asks its stop check as it goes and ends at the first stop; the
// same solve without one runs to the end.
TEST(FptSolverTest, StopCheckEndsALongSolve) {
  TimeVaryingModel m = constant_model(0.5, 1.0, 0.5, 1.0);
  m.leak = 0.5;
  const SolverResolution r{SolverResolution{}.relative_step, 60.0};  // 8 700 steps, about a second
  int asked = 0;
  const auto stopped = solve_first_passage(m, r, [&] { return ++asked == 2; });
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().kind(), FptError::Kind::Interrupted);
  EXPECT_EQ(asked, 2);
  const SolverResolution short_grid{SolverResolution{}.relative_step, 1.0};
  EXPECT_TRUE(solve_first_passage(m, short_grid, [] { return false; }));
}

}  // namespace
}  // namespace corvatel
