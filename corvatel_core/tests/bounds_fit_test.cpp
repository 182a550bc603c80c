// bounds_log_densities (the grid it solves must reach every trial), the
// failures of fit_bounds_ml, and the joint fits of levels.
#include "corvatel/bounds_fit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "corvatel/fpt_solver.h"
#include "corvatel/parameters.h"
#include "corvatel/simulate.h"

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

// A search that has spent its work budget ends where it is, not converged,
// with a finite likelihood, and the same point on every run (the budget
// counts work, not time); the full budget lets the same fit converge.
TEST(FitBoundsMl, ASpentBudgetEndsTheSearchNotConverged) {
  const std::vector<double> rts = spread_rts(60);
  std::vector<std::uint8_t> choices(rts.size());
  for (std::size_t i = 0; i < choices.size(); ++i) choices[i] = i % 3 != 0;
  BoundsFitOptions options;
  options.bound = BoundSpec::Kind::Angle;
  options.max_work = 1e5;
  const auto a = fit_bounds_ml({choices, rts}, options);
  const auto b = fit_bounds_ml({choices, rts}, options);
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(a.value().converged);
  EXPECT_TRUE(std::isfinite(a.value().log_likelihood));
  EXPECT_EQ(a.value().model.bound.theta, b.value().model.bound.theta);
  EXPECT_EQ(a.value().log_likelihood, b.value().log_likelihood);
  options.max_work = kMaxFitWork;
  const auto full = fit_bounds_ml({choices, rts}, options);
  ASSERT_TRUE(full);
  EXPECT_TRUE(full.value().converged);
  EXPECT_GT(full.value().iterations, a.value().iterations);
  EXPECT_GE(full.value().log_likelihood, a.value().log_likelihood);
}

// --- Joint fits of levels ---------------------------------------------------

struct Arrays {
  std::vector<std::uint8_t> choices;
  std::vector<double> rts;

  ObservedTrials view() const { return {choices, rts}; }
};

Arrays simulated(const Params& p, std::uint64_t n, std::uint64_t seed) {
  const TrialBatch batch = simulate_n(p, n, seed);
  Arrays a;
  for (const Trial& t : batch.span()) {
    a.choices.push_back(t.choice ? 1 : 0);
    a.rts.push_back(t.rt);
  }
  return a;
}

Arrays pooled(const Arrays& a, const Arrays& b) {
  Arrays all = a;
  all.choices.insert(all.choices.end(), b.choices.begin(), b.choices.end());
  all.rts.insert(all.rts.end(), b.rts.begin(), b.rts.end());
  return all;
}

// With nothing per level the joint likelihood is that of the pooled trials,
// summed level after level, each left to right: the same bits as the
// densities of the pooled arrays summed in order. The estimates are not
// the pooled fit's bits, since the joint search starts from the mean of
// the levels' own estimates and the pooled fit from the standard model's;
// both maximise one likelihood, so their maxima agree to well within
// 0.01 (the searches stop within 1e-7 of it).
TEST(FitBoundsMlJoint, NothingPerLevelFitsThePooledTrials) {
  const Arrays a = simulated({1.0, 1.5, 0.5, 0.3, 1.0}, 200, 11);
  const Arrays b = simulated({1.0, 1.5, 0.5, 0.3, 1.0}, 150, 12);
  const Arrays all = pooled(a, b);
  BoundsFitOptions options;
  options.bound = BoundSpec::Kind::Angle;
  const std::vector<ObservedTrials> levels = {a.view(), b.view()};
  const auto joint = fit_bounds_ml_joint(levels, options, BoundsPerLevel{});
  ASSERT_TRUE(joint) << joint.error().message();
  const BoundsJointFit& fit = joint.value();
  ASSERT_EQ(fit.levels.size(), 2u);
  EXPECT_EQ(fit.n_params, bounds_param_count(options));
  EXPECT_EQ(fit.levels[0].model.drift, fit.levels[1].model.drift);
  EXPECT_EQ(fit.levels[0].model.bound.theta, fit.levels[1].model.bound.theta);
  EXPECT_EQ(fit.levels[0].t0, fit.levels[1].t0);

  std::vector<double> densities(all.rts.size());
  ASSERT_FALSE(bounds_log_densities(fit.levels[0].model, fit.levels[0].t0, 0.0, options.relative_step, all.rts,
                                    all.choices, densities));
  double total = 0.0;
  for (const double d : densities) total += d;
  EXPECT_EQ(fit.log_likelihood, total);
  EXPECT_EQ(fit.criteria.bic, information_criteria(total, fit.n_params, all.rts.size()).bic);

  const auto single = fit_bounds_ml(all.view(), options);
  ASSERT_TRUE(single);
  EXPECT_NEAR(fit.log_likelihood, single.value().log_likelihood, 0.01);
  EXPECT_NEAR(fit.levels[0].model.drift, single.value().model.drift, 0.01);
}

// Drift per level: two levels simulated with drifts 0.5 and 1.5 (600
// trials each) give two drift estimates near them and one shared boundary
// and t0. A drift estimate's standard error is about 0.07 here; 0.25 is
// more than three of them plus the simulator's 1 ms step bias (a
// false-alarm rate under 0.5% per estimate for a fresh seed; the seed is fixed).
TEST(FitBoundsMlJoint, DriftPerLevelRecoversTwoDrifts) {
  const Arrays slow = simulated({0.5, 1.5, 0.5, 0.3, 1.0}, 600, 21);
  const Arrays fast = simulated({1.5, 1.5, 0.5, 0.3, 1.0}, 600, 22);
  const std::vector<ObservedTrials> levels = {slow.view(), fast.view()};
  BoundsPerLevel per_level;
  per_level.drift = true;
  const auto joint = fit_bounds_ml_joint(levels, BoundsFitOptions{}, per_level);
  ASSERT_TRUE(joint) << joint.error().message();
  const BoundsJointFit& fit = joint.value();
  EXPECT_EQ(fit.n_params, 4u);  // two drifts, boundary, t0
  EXPECT_NEAR(fit.levels[0].model.drift, 0.5, 0.25);
  EXPECT_NEAR(fit.levels[1].model.drift, 1.5, 0.25);
  EXPECT_EQ(fit.levels[0].model.boundary, fit.levels[1].model.boundary);
  EXPECT_NEAR(fit.levels[0].model.boundary, 1.5, 0.15);
  EXPECT_EQ(fit.levels[0].t0, fit.levels[1].t0);
  EXPECT_NEAR(fit.levels[0].t0, 0.3, 0.03);
}

// t0 per level lies below its own level's fastest response, a shared one
// below the fastest of all: a level whose responses all start late gets
// a later t0 than the other's fastest response allows.
TEST(FitBoundsMlJoint, T0PerLevelIsBoundedByItsOwnLevel) {
  const Arrays early = simulated({1.0, 1.2, 0.5, 0.2, 1.0}, 300, 31);
  const Arrays late = simulated({1.0, 1.2, 0.5, 0.5, 1.0}, 300, 32);
  const std::vector<ObservedTrials> levels = {early.view(), late.view()};
  BoundsPerLevel per_level;
  per_level.t0 = true;
  const auto joint = fit_bounds_ml_joint(levels, BoundsFitOptions{}, per_level);
  ASSERT_TRUE(joint) << joint.error().message();
  const double fastest_early = *std::min_element(early.rts.begin(), early.rts.end());
  EXPECT_LT(joint.value().levels[0].t0, fastest_early);
  EXPECT_GT(joint.value().levels[1].t0, fastest_early);
  EXPECT_NEAR(joint.value().levels[1].t0, 0.5, 0.05);
}

// The bound's own parameter goes per level by its flag: one coordinate per
// level (5 in all here), the rest shared; flags of parameters the options
// do not estimate change nothing.
TEST(FitBoundsMlJoint, TheBoundsParameterPerLevel) {
  const Arrays a = simulated({1.0, 1.5, 0.5, 0.3, 1.0}, 200, 41);
  const Arrays b = simulated({1.0, 1.0, 0.5, 0.3, 1.0}, 200, 42);
  const std::vector<ObservedTrials> levels = {a.view(), b.view()};
  BoundsFitOptions options;
  options.bound = BoundSpec::Kind::Angle;
  BoundsPerLevel per_level;
  per_level.theta = true;
  per_level.shape = per_level.rate = per_level.leak = per_level.urgency = true;  // not estimated
  const auto joint = fit_bounds_ml_joint(levels, options, per_level);
  ASSERT_TRUE(joint) << joint.error().message();
  const BoundsJointFit& fit = joint.value();
  EXPECT_EQ(fit.n_params, 5u);
  EXPECT_NE(fit.levels[0].model.bound.theta, fit.levels[1].model.bound.theta);
  EXPECT_EQ(fit.levels[0].model.drift, fit.levels[1].model.drift);
  EXPECT_EQ(fit.levels[0].model.boundary, fit.levels[1].model.boundary);
  EXPECT_EQ(fit.levels[0].model.leak, 0.0);
}

TEST(FitBoundsMlJoint, NeedsALevel) {
  const auto fit = fit_bounds_ml_joint({}, BoundsFitOptions{}, BoundsPerLevel{});
  ASSERT_FALSE(fit);
  EXPECT_EQ(fit.error(), FitError::no_levels());
}

// Every level is checked before any is fitted: the second one is short.
TEST(FitBoundsMlJoint, NeedsTwoTrialsPerParameterInEveryLevel) {
  const std::vector<double> rts = spread_rts(200);
  const std::vector<double> short_rts = spread_rts(13);
  const std::vector<std::uint8_t> choices(rts.size(), 1);
  BoundsFitOptions options;
  options.bound = BoundSpec::Kind::Weibull;
  options.leak = options.urgency = true;  // 7 parameters: 14 trials
  const std::vector<ObservedTrials> levels = {{choices, rts}, {{choices.data(), 13}, short_rts}};
  const auto fit = fit_bounds_ml_joint(levels, options, BoundsPerLevel{});
  ASSERT_FALSE(fit);
  EXPECT_EQ(fit.error(), FitError::too_few_trials(13, 14));
}

// As in FitBoundsMl.AStopEndsTheFit: the stop lands in a level's own fit
// or in the joint search, Interrupted either way.
TEST(FitBoundsMlJoint, AStopEndsTheFit) {
  const std::vector<double> rts = spread_rts(200);
  std::vector<std::uint8_t> choices(rts.size());
  for (std::size_t i = 0; i < choices.size(); ++i) choices[i] = i % 3 != 0;
  int asked = 0;
  const StopCheck stop = [&] { return ++asked > 1; };
  BoundsFitOptions options;
  options.bound = BoundSpec::Kind::Angle;
  BoundsPerLevel per_level;
  per_level.drift = true;
  const std::vector<ObservedTrials> levels = {{choices, rts}, {choices, rts}};
  const auto fit = fit_bounds_ml_joint(levels, options, per_level, stop);
  ASSERT_FALSE(fit);
  EXPECT_EQ(fit.error().kind(), FitError::Kind::Interrupted);
}

// --- Contaminants and selection windows -------------------------------------

namespace windows {

// Standard-model trials with a share replaced by contaminants: uniform
// response times on (lo, hi), either response.
Arrays contaminated(const Params& p, std::uint64_t n, double share, double lo, double hi, std::uint64_t seed) {
  Arrays a = simulated(p, n, seed);
  std::mt19937_64 rng(seed + 1);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (std::size_t i = 0; i < a.rts.size(); ++i) {
    if (u(rng) < share) {
      a.rts[i] = lo + (hi - lo) * u(rng);
      a.choices[i] = u(rng) < 0.5 ? 1 : 0;
    }
  }
  return a;
}

// Only the trials inside [lo, hi].
Arrays selected(const Arrays& a, double lo, double hi) {
  Arrays kept;
  for (std::size_t i = 0; i < a.rts.size(); ++i) {
    if (a.rts[i] >= lo && a.rts[i] <= hi) {
      kept.rts.push_back(a.rts[i]);
      kept.choices.push_back(a.choices[i]);
    }
  }
  return kept;
}

struct WindowCase {
  const char* name;
  bool free;
  double p_outlier;  // when fixed
  double lo, hi;     // the selection window; [0, inf) selects nothing
};

class ContaminantsAndWindows : public ::testing::TestWithParam<WindowCase> {};

// A constant bound without leak or urgency is the standard model: the fit
// through the solver must find what fit_ml finds from the series, with the
// same contaminants and window, to the solver's accuracy. The two
// likelihoods are computed independently, so a mixture or window term
// missing or misplaced in either shows as a gap far larger than that.
TEST_P(ContaminantsAndWindows, FitTheStandardModelAsFitMlDoes) {
  const WindowCase& c = GetParam();
  const Params truth{0.9, 1.3, 0.5, 0.3, 1.0};
  const Arrays trials = selected(contaminated(truth, 600, 0.06, 0.2, 3.0, 41), c.lo, c.hi);
  const OutlierWindow outliers{0.0, 3.0};
  const auto contaminants = c.free ? Contaminants::estimated(outliers) : Contaminants::fixed(c.p_outlier, outliers);
  const auto truncation = Truncation::window(c.lo, c.hi);
  ASSERT_TRUE(contaminants && truncation);

  BoundsFitOptions options;
  options.start.reset();
  options.contaminants = contaminants.value();
  options.truncation = truncation.value();
  const auto solved = fit_bounds_ml(trials.view(), options);
  const auto series = fit_ml(trials.view(), LikelihoodModel::Ddm, contaminants.value(), truncation.value());
  ASSERT_TRUE(solved.has_value()) << solved.error().message();
  ASSERT_TRUE(series.has_value()) << series.error().message();
  const ModelParams& s = series.value().params[0];
  const BoundsFit& b = solved.value();
  EXPECT_NEAR(b.model.drift, s.drift, 0.01);
  EXPECT_NEAR(b.model.boundary, s.boundary, 0.003);
  EXPECT_NEAR(b.model.start, s.start, 0.002);
  EXPECT_NEAR(b.t0, s.t0, 0.002);
  EXPECT_NEAR(b.p_outlier, s.p_outlier, 0.003);
  if (!c.free) {
    EXPECT_EQ(b.p_outlier, c.p_outlier);
  }
  // The solver's densities hold 1e-4 over the bulk.
  EXPECT_NEAR(b.log_likelihood, series.value().log_likelihood, 1e-4 * static_cast<double>(trials.rts.size()));
  EXPECT_EQ(b.n_params, series.value().n_params);
}

const double kInfinity = std::numeric_limits<double>::infinity();
INSTANTIATE_TEST_SUITE_P(Cases, ContaminantsAndWindows,
                         ::testing::Values(WindowCase{"fixed", false, 0.05, 0.0, kInfinity},
                                           WindowCase{"free", true, 0.0, 0.0, kInfinity},
                                           WindowCase{"window", false, 0.0, 0.35, 1.6},
                                           WindowCase{"free_and_window", true, 0.0, 0.3, kInfinity}),
                         [](const auto& info) { return std::string(info.param.name); });

// Contaminants fixed at 0 and a window that selects nothing are the plain
// fit, bit for bit.
TEST(FitBoundsMl, NoContaminantsAndNoWindowAreThePlainFit) {
  const Arrays trials = simulated(Params{0.7, 1.2, 0.5, 0.25, 1.0}, 300, 5);
  BoundsFitOptions plain;
  plain.bound = BoundSpec::Kind::Angle;
  BoundsFitOptions zero = plain;
  zero.contaminants = Contaminants::fixed(0.0).value();
  zero.truncation = Truncation::window(0.0, kInfinity).value();
  const auto a = fit_bounds_ml(trials.view(), plain);
  const auto b = fit_bounds_ml(trials.view(), zero);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a.value().model.drift, b.value().model.drift);
  EXPECT_EQ(a.value().model.boundary, b.value().model.boundary);
  EXPECT_EQ(a.value().model.bound.theta, b.value().model.bound.theta);
  EXPECT_EQ(a.value().t0, b.value().t0);
  EXPECT_EQ(a.value().log_likelihood, b.value().log_likelihood);
  EXPECT_EQ(b.value().p_outlier, 0.0);
}

// A trial outside the window is refused, as fit_ml refuses it.
TEST(FitBoundsMl, RefusesATrialOutsideTheWindow) {
  const Arrays trials = simulated(Params{0.7, 1.2, 0.5, 0.25, 1.0}, 100, 6);
  BoundsFitOptions options;
  options.truncation = Truncation::window(0.3, 0.9).value();
  const auto fit = fit_bounds_ml(trials.view(), options);
  ASSERT_FALSE(fit);
  EXPECT_EQ(fit.error(), FitError::outside_truncation());
}

}  // namespace windows

}  // namespace
}  // namespace corvatel
