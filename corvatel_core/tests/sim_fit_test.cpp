#include "corvatel/sim_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "corvatel/ez.h"
#include "corvatel/internal/two_stage_search.h"
#include "corvatel/neldermead.h"
#include "corvatel/project.h"
#include "corvatel/simulate.h"
#include "trials.h"
#include "vectors.h"

namespace corvatel {
namespace {

using testing::bits;
using testing::dec_u64;
using testing::hex_f64;
using testing::hex_u64;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

void expect_same_fit(const SimFit& a, const SimFit& b) {
  EXPECT_EQ(bits(a.params.drift), bits(b.params.drift));
  EXPECT_EQ(bits(a.params.boundary), bits(b.params.boundary));
  EXPECT_EQ(bits(a.params.start), bits(b.params.start));
  EXPECT_EQ(bits(a.params.t0), bits(b.params.t0));
  EXPECT_EQ(bits(a.params.noise_sd), bits(b.params.noise_sd));
  EXPECT_EQ(a.iterations, b.iterations);
  EXPECT_EQ(bits(a.final_cost), bits(b.final_cost));
}

std::string replace_tracker(std::string text) {
  const std::string placeholder = "{ISSUE_TRACKER}";
  const auto at = text.find(placeholder);
  if (at != std::string::npos) text.replace(at, placeholder.size(), kIssueTrackerUrl);
  return text;
}

Params guess_of(const nlohmann::json& c, std::span<const Trial> trials) {
  if (c["initial_guess"].is_null()) return default_fit_guess(trials);
  const auto& g = c["initial_guess"];
  return {hex_f64(g["drift_rate"]), hex_f64(g["boundary_separation"]), 0.5, hex_f64(g["non_decision_time"]), 1.0};
}

// --- stats_seed ------------------------------------------------------------

TEST(StatsSeed, MatchesTheStatisticsVectors) {
  const auto vectors = testing::load_vectors("stats.json");
  int checked = 0;
  for (const auto& c : vectors["cases"]) {
    if (c["expected"].is_null()) continue;
    SCOPED_TRACE(c["name"].get<std::string>());
    const auto trials = testing::trials_from_json(c["trials"]);
    const auto stats = summary_stats(trials);
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(stats_seed(*stats), dec_u64(c["expected"]["stats_seed"]));
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

TEST(StatsSeed, MatchesTheFitVectors) {
  const auto vectors = testing::load_vectors("fit_sim.json");
  int checked = 0;
  for (const auto& c : vectors["cases"]) {
    if (!c["info"].contains("seed")) continue;
    SCOPED_TRACE(c["name"].get<std::string>());
    const auto stats = summary_stats(testing::trials_from_json(c["trials"]));
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(stats_seed(*stats), dec_u64(c["info"]["seed"]));
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

// --- simplex_around ----------------------------------------------------------

struct SimplexCase {
  const char* name;
  FitPoint centre;
  double rel;
  double min_step;
  std::vector<FitPoint> expected;
};

class SimplexAround : public ::testing::TestWithParam<SimplexCase> {};

TEST_P(SimplexAround, StepsEachCoordinateUpInTurn) {
  const SimplexCase& c = GetParam();
  const auto simplex = simplex_around(c.centre, c.rel, c.min_step);
  ASSERT_EQ(simplex.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_EQ(bits(simplex[i][j]), bits(c.expected[i][j])) << "vertex " << i << " coordinate " << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, SimplexAround,
    ::testing::Values(
        SimplexCase{"coarse_unit_centre", {1.0, 1.0, 0.2}, 0.15, 0.05,
                    {{1.0, 1.0, 0.2}, {1.15, 1.0, 0.2}, {1.0, 1.15, 0.2}, {1.0, 1.0, 0.25}}},
        // The drift step is 15 % of |-2| and is added; the boundary step is the
        // minimum, and 0.1 + 0.05 rounds above 0.15.
        SimplexCase{"coarse_negative_drift_small_boundary", {-2.0, 0.1, 0.3}, 0.15, 0.05,
                    {{-2.0, 0.1, 0.3}, {-1.7, 0.1, 0.3}, {-2.0, 0.15000000000000002, 0.3}, {-2.0, 0.1, 0.35}}},
        SimplexCase{"fine_unit_centre", {1.0, 1.0, 0.2}, 0.05, 0.02,
                    {{1.0, 1.0, 0.2}, {1.05, 1.0, 0.2}, {1.0, 1.05, 0.2}, {1.0, 1.0, 0.25}}},
        SimplexCase{"nan_product_takes_min_step", {1.0, 2.0, 0.2}, kNaN, 0.05,
                    {{1.0, 2.0, 0.2}, {1.05, 2.0, 0.2}, {1.0, 2.05, 0.2}, {1.0, 2.0, 0.25}}},
        SimplexCase{"zero_centre_takes_min_step", {0.0, 0.0, 0.0}, 0.15, 0.05,
                    {{0.0, 0.0, 0.0}, {0.05, 0.0, 0.0}, {0.0, 0.05, 0.0}, {0.0, 0.0, 0.05}}},
        SimplexCase{"t0_step_follows_a_larger_min_step", {1.0, 1.0, 0.2}, 0.05, 0.25,
                    {{1.0, 1.0, 0.2}, {1.25, 1.0, 0.2}, {1.0, 1.25, 0.2}, {1.0, 1.0, 0.45}}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Budgets -----------------------------------------------------------------

struct BudgetCase {
  std::uint64_t max_iters;
  std::uint64_t expected;
};

class Stage1Budget : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(Stage1Budget, IsTheExactFloorAndAtLeastOne) {
  EXPECT_EQ(stage1_budget(GetParam().max_iters), GetParam().expected);
}

// Exact floors of max_iters * 55 / 100; max_iters * 55 first exceeds 64 bits
// at 335395346794719121.
INSTANTIATE_TEST_SUITE_P(
    Values, Stage1Budget,
    ::testing::Values(BudgetCase{0, 1}, BudgetCase{1, 1}, BudgetCase{2, 1}, BudgetCase{3, 1}, BudgetCase{4, 2},
                      BudgetCase{10, 5}, BudgetCase{100, 55}, BudgetCase{199, 109}, BudgetCase{200, 110},
                      BudgetCase{335395346794719120u, 184467440737095516u},
                      BudgetCase{335395346794719121u, 184467440737095516u},
                      BudgetCase{335395346794719122u, 184467440737095517u},
                      BudgetCase{1000000000000000000u, 550000000000000000u},
                      BudgetCase{9223372036854775808u, 5072854620270126694u},
                      BudgetCase{kMaxU64 - 1, 10145709240540253387u}, BudgetCase{kMaxU64, 10145709240540253388u}),
    [](const auto& info) { return "max_iters_" + std::to_string(info.param.max_iters); });

struct Stage2Case {
  std::uint64_t max_iters;
  std::uint64_t stage1_iterations;
  std::uint64_t expected;
};

class Stage2Budget : public ::testing::TestWithParam<Stage2Case> {};

TEST_P(Stage2Budget, IsWhatStageOneLeftAndAtLeastOne) {
  const Stage2Case& c = GetParam();
  EXPECT_EQ(stage2_budget(c.max_iters, c.stage1_iterations), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Values, Stage2Budget,
                         ::testing::Values(Stage2Case{200, 110, 90}, Stage2Case{200, 40, 160}, Stage2Case{0, 1, 1},
                                           Stage2Case{1, 1, 1}, Stage2Case{5, 7, 1}, Stage2Case{200, 199, 1},
                                           Stage2Case{kMaxU64, 0, kMaxU64}),
                         [](const auto& info) {
                           return std::to_string(info.param.max_iters) + "_after_" +
                                  std::to_string(info.param.stage1_iterations);
                         });

// --- The cost ----------------------------------------------------------------

const SummaryStats kSomeTarget{0.8, 0.7, 0.1, 1000, 800};

struct InvalidCase {
  const char* name;
  std::vector<double> point;
};

class SimFitCostInvalid : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(SimFitCostInvalid, CostsExactlyInvalidCost) {
  const SimFitCost cost{kSomeTarget, kSimTrialsPerEvaluation, 7};
  EXPECT_EQ(bits(cost.cost(GetParam().point)), bits(1e9));
}

INSTANTIATE_TEST_SUITE_P(
    Points, SimFitCostInvalid,
    ::testing::Values(InvalidCase{"t0_negative", {1.0, 1.0, -0.01}}, InvalidCase{"boundary_at_limit", {1.0, 1e-6, 0.2}},
                      InvalidCase{"boundary_negative", {1.0, -1.0, 0.2}}, InvalidCase{"drift_nan", {kNaN, 1.0, 0.2}},
                      InvalidCase{"drift_infinite", {-kInf, 1.0, 0.2}},
                      InvalidCase{"boundary_infinite", {1.0, kInf, 0.2}}, InvalidCase{"t0_nan", {1.0, 1.0, kNaN}},
                      InvalidCase{"t0_infinite", {1.0, 1.0, kInf}},
                      // Every trial ends at the lower boundary: no statistics.
                      InvalidCase{"no_upper_trials", {-1000.0, 1.0, 0.2}},
                      InvalidCase{"wrong_dimension", {1.0, 1.0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimFitCost, AdmissibleEdgesAreSimulated) {
  const SimFitCost cost{kSomeTarget, kSimTrialsPerEvaluation, 7};
  EXPECT_NE(cost.cost(std::vector<double>{1.0, 1.0, 0.0}), INVALID_COST);   // t0 = 0
  EXPECT_NE(cost.cost(std::vector<double>{-1.0, 1.0, 0.2}), INVALID_COST);  // negative drift
  EXPECT_NE(cost.cost(std::vector<double>{1.0, 2e-6, 0.2}), INVALID_COST);  // just above the boundary limit
}

TEST(SimFitCost, ReproducedTargetCostsZero) {
  const Params p{0.8, 1.4, 0.5, 0.25, 1.0};
  const std::uint64_t seed = 424242;
  const auto target = summary_stats(simulate_n(p, kSimTrialsPerEvaluation, seed).span());
  ASSERT_TRUE(target.has_value());
  const SimFitCost cost{*target, kSimTrialsPerEvaluation, seed};
  EXPECT_EQ(bits(cost.cost(std::vector<double>{0.8, 1.4, 0.25})), bits(0.0));
}

// The relative errors combine as (ea^2 + em^2) + ev^2 * 0.5, against the
// statistics of the batch simulated at start 0.5 and noise 1.
TEST(SimFitCost, CombinesTheRelativeErrorsInOrder) {
  const std::uint64_t seed = 99;
  const auto simulated = summary_stats(simulate_n({1.2, 1.1, 0.5, 0.3, 1.0}, 2000, seed).span());
  ASSERT_TRUE(simulated.has_value());
  const SummaryStats target{0.7, 0.65, 0.09, 10, 7};
  const double ea = (simulated->accuracy - target.accuracy) / target.accuracy;
  const double em = (simulated->mean_rt - target.mean_rt) / target.mean_rt;
  const double ev = (simulated->var_rt - target.var_rt) / target.var_rt;
  const double expected = (ea * ea + em * em) + (ev * ev) * 0.5;
  const SimFitCost cost{target, 2000, seed};
  EXPECT_EQ(bits(cost.cost(std::vector<double>{1.2, 1.1, 0.3})), bits(expected));
}

// --- fit_simulation ----------------------------------------------------------

struct NoTargetCase {
  const char* name;
  std::vector<Trial> trials;
};

class FitSimulationNoTarget : public ::testing::TestWithParam<NoTargetCase> {};

TEST_P(FitSimulationNoTarget, IsNoUsableTarget) {
  const auto fit = fit_simulation(GetParam().trials, {1.0, 1.0, 0.5, 0.2, 1.0}, 200);
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error(), FitError::no_usable_target());
}

INSTANTIATE_TEST_SUITE_P(Trials, FitSimulationNoTarget,
                         ::testing::Values(NoTargetCase{"empty", {}},
                                           NoTargetCase{"all_timed_out", {{true, 10, true}, {true, 10, true}}},
                                           NoTargetCase{"one_upper", {{true, 0.5, false}, {false, 0.7, false}}}),
                         [](const auto& info) { return std::string(info.param.name); });

class FitSimulationVectors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vectors_ = new nlohmann::json(testing::load_vectors("fit_sim.json")); }
  static void TearDownTestSuite() {
    delete vectors_;
    vectors_ = nullptr;
  }
  static const nlohmann::json& cases() { return (*vectors_)["cases"]; }
  // The cheap case: 50 trials, max_iters 0.
  static const nlohmann::json& small_case() {
    for (const auto& c : cases()) {
      if (c["max_iters"] == "0") return c;
    }
    throw std::runtime_error("fit_sim.json has no max_iters 0 case");
  }

 private:
  static inline nlohmann::json* vectors_ = nullptr;
};

TEST_F(FitSimulationVectors, EveryCaseBitForBit) {
  ASSERT_EQ(cases().size(), 3u);
  for (const auto& c : cases()) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const auto trials = testing::trials_from_json(c["trials"]);
    const Params guess = guess_of(c, trials);
    const auto fit = fit_simulation(trials, guess, dec_u64(c["max_iters"]));
    const auto& expected = c["expected"];
    if (expected.contains("error")) {
      ASSERT_FALSE(fit.has_value());
      EXPECT_EQ(fit.error().message(), replace_tracker(expected["error"]["message"]));
      continue;
    }
    ASSERT_TRUE(fit.has_value()) << fit.error().message();
    const auto& ok = expected["ok"];
    const SimFit& f = fit.value();
    EXPECT_EQ(bits(f.params.drift), hex_u64(ok["drift_rate"]));
    EXPECT_EQ(bits(f.params.boundary), hex_u64(ok["boundary_separation"]));
    EXPECT_EQ(bits(f.params.start), hex_u64(ok["starting_point"]));
    EXPECT_EQ(bits(f.params.t0), hex_u64(ok["non_decision_time"]));
    EXPECT_EQ(bits(f.params.noise_sd), hex_u64(ok["noise_sd"]));
    EXPECT_EQ(f.iterations, dec_u64(ok["iterations"]));
    EXPECT_EQ(bits(f.final_cost), hex_u64(ok["final_cost"]));
  }
}

// Stage 1 of the small case on its own, against the recorded stage figures.
TEST_F(FitSimulationVectors, FirstStageOfTheSmallCase) {
  const auto& c = small_case();
  const auto trials = testing::trials_from_json(c["trials"]);
  const Params guess = default_fit_guess(trials);
  const auto& used = c["info"]["guess_used"];
  ASSERT_EQ(bits(guess.drift), hex_u64(used["drift"]));
  ASSERT_EQ(bits(guess.boundary), hex_u64(used["boundary"]));
  ASSERT_EQ(bits(guess.t0), hex_u64(used["t0"]));

  const auto target = summary_stats(trials);
  ASSERT_TRUE(target.has_value());
  const SimFitCost cost{*target, kSimTrialsPerEvaluation, stats_seed(*target)};
  const auto& stages = c["info"]["stages"];
  const auto first =
      run_neldermead(cost, simplex_around({guess.drift, guess.boundary, guess.t0}, 0.15, 0.05), dec_u64(stages["b1"]));
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first.value().iterations, dec_u64(stages["k1"]));
  EXPECT_EQ(first.value().cost, std::stod(stages["f1"].get<std::string>()));
}

TEST_F(FitSimulationVectors, SameFitOnEveryPool) {
  const auto& c = small_case();
  const auto trials = testing::trials_from_json(c["trials"]);
  // start and noise_sd of the guess are ignored.
  const Params guess{1.3, 1.1, 0.9, 0.2, 3.0};
  WorkerPool one(1);
  WorkerPool three(3);
  const auto on_one = fit_simulation(trials, guess, 5, one);
  const auto on_three = fit_simulation(trials, guess, 5, three);
  const auto on_shared = fit_simulation(trials, guess, 5);
  ASSERT_TRUE(on_one.has_value());
  ASSERT_TRUE(on_three.has_value());
  ASSERT_TRUE(on_shared.has_value());
  EXPECT_EQ(on_one.value().params.start, 0.5);
  EXPECT_EQ(on_one.value().params.noise_sd, 1.0);
  // Noisy simulated costs cannot converge in a few iterations: stage 1 uses
  // its budget of 2 and stage 2 gets the remaining 3.
  EXPECT_EQ(on_one.value().iterations, 5u);
  expect_same_fit(on_one.value(), on_three.value());
  expect_same_fit(on_one.value(), on_shared.value());
}

// Every vertex of both simplices has t0 < 0, so all cost INVALID_COST: both
// stages stop before their first iteration, at the guess itself.
TEST(FitSimulation, InadmissibleGuessStaysPut) {
  const std::vector<Trial> trials{{true, 0.5, false}, {true, 0.7, false}, {false, 0.6, false}};
  const auto fit = fit_simulation(trials, {1.0, 1.0, 0.5, -0.2, 1.0}, 200);
  ASSERT_TRUE(fit.has_value());
  EXPECT_EQ(fit.value().params.drift, 1.0);
  EXPECT_EQ(fit.value().params.boundary, 1.0);
  EXPECT_EQ(fit.value().params.t0, -0.2);
  EXPECT_EQ(fit.value().iterations, 0u);
  EXPECT_EQ(fit.value().final_cost, INVALID_COST);
}

// A NaN rt on a counted observed trial makes every admissible point cost NaN,
// so the first stage fails at its first reflection.
TEST(FitSimulation, NaNTargetIsAnOptimizerError) {
  const std::vector<Trial> trials{{true, 0.5, false}, {true, std::nan(""), false}, {false, 0.6, false}};
  const auto fit = fit_simulation(trials, {1.0, 1.0, 0.5, 0.2, 1.0}, 200);
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error().kind(), FitError::Kind::Optimizer);
  EXPECT_EQ(fit.error().message(),
            std::string("optimizer error: Potential bug: \"`NelderMead`: Reached unreachable point.\". This is ") +
                "potentially a bug. Please file a report on " + kIssueTrackerUrl);
}

// A cost for the two-stage rules: the points of `flat` cost `flat_cost`, any
// other costs its squared distance from (3, 3, 3) -- unless `after_calls`
// evaluations have been made, from which on `late` overrides. Copies share
// the call count, as the minimiser's copies must.
struct StageCost {
  std::vector<FitPoint> flat;
  double flat_cost = 1.0;
  std::uint64_t after_calls = UINT64_MAX;
  std::vector<std::pair<FitPoint, double>> late;
  std::shared_ptr<std::uint64_t> calls = std::make_shared<std::uint64_t>(0);

  double cost(std::span<const double> p) const {
    const FitPoint point{p[0], p[1], p[2]};
    if (++*calls > after_calls) {
      for (const auto& [q, c] : late) {
        if (q == point) return c;
      }
    }
    for (const FitPoint& q : flat) {
      if (q == point) return flat_cost;
    }
    const double a = p[0] - 3.0, b = p[1] - 3.0, c = p[2] - 3.0;
    return a * a + b * b + c * c;
  }
};

// Stage 1 converges at once (its simplex is flat), so stage 2 gets all of
// max_iters that stage 1 did not use -- not what stage 1's budget left.
TEST(TwoStageSearch, StageTwoGetsWhatStageOneLeftUnused) {
  const FitPoint start{0.0, 1.0, 0.5};
  StageCost cost;
  cost.flat = simplex_around(start, internal::kCoarseRel, internal::kCoarseMinStep);
  const auto found = internal::two_stage_search(cost, start, 10);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found.value().iterations, 10u);  // 0 in stage 1, all 10 in stage 2
}

// Stage 2 ends on a different point with exactly stage 1's cost: the tie
// keeps stage 1's point. (With the fit's own cost a tie cannot move the
// point, as stage 2 starts from stage 1's best and keeps it unless strictly
// lower; this cost re-prices that start to reach the rule.)
TEST(TwoStageSearch, TieKeepsStageOne) {
  const FitPoint start{0.0, 1.0, 0.5};
  const auto fine = simplex_around(start, internal::kFineRel, internal::kFineMinStep);
  StageCost cost;
  cost.flat = simplex_around(start, internal::kCoarseRel, internal::kCoarseMinStep);
  cost.after_calls = 4;  // stage 1's simplex
  cost.late = {{fine[0], 50.0}, {fine[1], 1.0}};
  const auto found = internal::two_stage_search(cost, start, 2);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found.value().cost, 1.0);
  EXPECT_EQ(found.value().point, start);
}

}  // namespace
}  // namespace corvatel
