#include "corvatel/ml_fit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corvatel/internal/ml_layout.h"
#include "corvatel/internal/ml_search.h"
#include "corvatel/simulate.h"
#include "vectors.h"

namespace corvatel {
namespace {

using internal::SearchLayout;
using testing::bits;

// Trials stored as the module passes them: two arrays read in place.
struct Arrays {
  std::vector<std::uint8_t> choices;
  std::vector<double> rts;

  ObservedTrials view() const { return {choices, rts}; }
};

Arrays arrays_of(std::vector<double> rts) {
  Arrays a;
  for (std::size_t i = 0; i < rts.size(); ++i) a.choices.push_back(i % 3 != 0);
  a.rts = std::move(rts);
  return a;
}

Arrays simulated(const Params& p, std::uint64_t n, std::uint64_t seed) {
  const TrialBatch batch = simulate_n(p, n, seed);
  Arrays a;
  for (const Trial& t : batch.span()) {
    a.choices.push_back(t.choice ? 1 : 0);
    a.rts.push_back(t.rt);
  }
  return a;
}

PerLevel free_per_level(std::initializer_list<Param> params) {
  PerLevel per_level{};
  for (const Param p : params) per_level[static_cast<std::size_t>(p)] = true;
  return per_level;
}

// --- Where the search bounds come from -------------------------------------

// The fastest response of each level sits among slower ones, away from both
// ends of its array; the slowest responses differ from level to level too.
class SearchLayoutT0 : public ::testing::Test {
 protected:
  const std::vector<Arrays> data{arrays_of({0.9, 0.35, 2.0, 0.7}), arrays_of({0.5, 3.0, 0.45, 0.6}),
                                 arrays_of({0.6, 0.41, 0.8, 1.2})};
  std::vector<ObservedTrials> levels() const {
    std::vector<ObservedTrials> out;
    for (const Arrays& a : data) out.push_back(a.view());
    return out;
  }
};

TEST_F(SearchLayoutT0, FreePerLevelIsEachLevelsFastestResponse) {
  const auto views = levels();
  for (const LikelihoodModel model : {LikelihoodModel::Ddm, LikelihoodModel::Full}) {
    const SearchLayout layout(model, views, free_per_level({Param::Drift, Param::T0}));
    EXPECT_EQ(layout.t0_bound(0), 0.35);
    EXPECT_EQ(layout.t0_bound(1), 0.45);
    EXPECT_EQ(layout.t0_bound(2), 0.41);
  }
}

TEST_F(SearchLayoutT0, SharedIsTheFastestResponseOfAllLevels) {
  const auto views = levels();
  for (const LikelihoodModel model : {LikelihoodModel::Ddm, LikelihoodModel::Full}) {
    const SearchLayout layout(model, views, free_per_level({Param::Drift}));
    for (std::size_t l = 0; l < 3; ++l) EXPECT_EQ(layout.t0_bound(l), 0.35);
  }
  EXPECT_EQ(t0_search_bound(views), 0.35);
  EXPECT_EQ(t0_search_bound({&views[1], 1}), 0.45);
}

// Far out along the t0 coordinate, t0 - st/2 approaches the level's bound
// from below and never reaches it.
TEST_F(SearchLayoutT0, DecodedT0StaysBelowTheBound) {
  const auto views = levels();
  const SearchLayout layout(LikelihoodModel::Full, views, free_per_level({Param::T0}));
  ASSERT_EQ(layout.dim(), 6u + 3u);
  std::vector<double> y(layout.dim(), 0.0);
  for (std::size_t l = 0; l < 3; ++l) y[3 + l] = 30.0;  // the three t0 coordinates follow drift, boundary, start
  for (std::size_t l = 0; l < 3; ++l) {
    const ModelParams p = layout.decode(y, l);
    const double earliest = p.t0 - p.st / 2.0;
    EXPECT_LT(earliest, layout.t0_bound(l));
    EXPECT_GT(earliest, layout.t0_bound(l) * (1.0 - 1e-9));
  }
}

// The other bounds are kParams' search intervals, and sz's the start's room.
TEST(SearchLayout, BoundsComeFromTheParameterTable) {
  const Arrays a = arrays_of({0.5, 0.6, 0.7});
  const ObservedTrials view = a.view();
  const SearchLayout layout(LikelihoodModel::Full, {&view, 1}, {});
  ASSERT_EQ(layout.dim(), 7u);
  for (const double far : {-40.0, 40.0}) {
    const ModelParams p = layout.decode(std::vector<double>(7, far), 0);
    for (const Param param : {Param::Drift, Param::Boundary, Param::Start, Param::Sv, Param::St}) {
      SCOPED_TRACE(param_row(param).name);
      const Interval& search = *param_row(param).search;
      EXPECT_NEAR(p.*param_row(param).field, far < 0 ? search.lo : search.hi, 1e-12 * (search.hi - search.lo));
    }
    EXPECT_NEAR(p.sz, far < 0 ? 0.0 : sz_search_bound(p.start), 1e-12);
  }
  EXPECT_EQ(sz_search_bound(0.3), 2.0 * 0.3 * kSzRoom);
  EXPECT_EQ(free_param_count(LikelihoodModel::Ddm), 4u);
  EXPECT_EQ(free_param_count(LikelihoodModel::Full), 7u);
}

// coordinate() names the one search coordinate that moves with a parameter
// (each level's own where it is free per level), and none for a parameter
// the model does not search.
TEST(SearchLayout, CoordinateIsWhereTheParameterMoves) {
  const Arrays a = arrays_of({0.5, 0.6, 0.7});
  const Arrays b = arrays_of({0.4, 0.9});
  const std::vector<ObservedTrials> views{a.view(), b.view()};
  const SearchLayout layout(LikelihoodModel::Full, views, free_per_level({Param::Drift, Param::Sv}));
  const ModelParams base{1.5, 1.2, 0.45, 0.3, 1.0, 0.8, 0.2, 0.1};
  for (const Param param : {Param::Drift, Param::Sv, Param::Sz, Param::St}) {
    for (std::size_t level = 0; level < 2; ++level) {
      SCOPED_TRACE(std::string(param_row(param).name) + " level " + std::to_string(level));
      std::vector<ModelParams> params{base, base};
      ModelParams& p = params[level];
      const double earliest = p.t0 - p.st / 2.0;  // t0's coordinate, kept
      p.*param_row(param).field *= 0.5;
      p.t0 = earliest + p.st / 2.0;
      const std::vector<double> moved = layout.encode(params);
      const std::vector<double> still = layout.encode(std::vector<ModelParams>{base, base});
      std::vector<std::size_t> changed;
      for (std::size_t i = 0; i < moved.size(); ++i) {
        if (moved[i] != still[i]) changed.push_back(i);
      }
      ASSERT_EQ(changed.size(), 1u);
      EXPECT_EQ(layout.coordinate(param, level), changed[0]);
    }
  }
  const SearchLayout ddm(LikelihoodModel::Ddm, views, {});
  EXPECT_EQ(ddm.coordinate(Param::Sz, 0), ddm.dim());
}

// A shared parameter's coordinate is the mean of the levels' coordinates;
// one set of parameters comes back from its own coordinates.
TEST(SearchLayout, EncodeDecodeRoundTrip) {
  const Arrays a = arrays_of({0.5, 0.6, 0.7});
  const Arrays b = arrays_of({0.4, 0.9});
  const std::vector<ObservedTrials> views{a.view(), b.view()};
  const SearchLayout layout(LikelihoodModel::Full, views, free_per_level({Param::Drift, Param::Sv}));
  ASSERT_EQ(layout.dim(), 9u);
  const std::vector<ModelParams> params{{1.5, 1.2, 0.45, 0.3, 1.0, 0.8, 0.2, 0.1},
                                        {-0.5, 1.2, 0.45, 0.3, 1.0, 1.6, 0.2, 0.1}};
  const std::vector<double> y = layout.encode(params);
  for (std::size_t l = 0; l < 2; ++l) {
    const ModelParams p = layout.decode(y, l);
    EXPECT_NEAR(p.drift, params[l].drift, 1e-12);
    EXPECT_NEAR(p.sv, params[l].sv, 1e-12);
    EXPECT_NEAR(p.boundary, 1.2, 1e-12);
    EXPECT_NEAR(p.start, 0.45, 1e-12);
    EXPECT_NEAR(p.t0, 0.3, 1e-12);
    EXPECT_NEAR(p.sz, 0.2, 1e-12);
    EXPECT_NEAR(p.st, 0.1, 1e-12);
    EXPECT_EQ(p.noise_sd, 1.0);
  }
}

// --- The summed log-likelihood ----------------------------------------------

// Terms of very different sizes, so that every other summation order
// gives other bits.
double term(std::size_t i) { return (i % 7 == 0 ? 1e6 : 1.0) / static_cast<double>(i + 3); }

double left_to_right(double start, std::size_t n) {
  double total = start;
  for (std::size_t i = 0; i < n; ++i) total += term(i);
  return total;
}

// The defined order, written out independently.
double in_chunks(double start, std::size_t n) {
  double total = 0.0;
  for (std::size_t first = 0; first < n; first += kLikelihoodChunk) {
    double sum = first == 0 ? start : 0.0;
    for (std::size_t i = first; i < std::min(n, first + kLikelihoodChunk); ++i) sum += term(i);
    total = first == 0 ? sum : total + sum;
  }
  return n == 0 ? start : total;
}

class SumInChunks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SumInChunks, FixedOrderOnEveryPool) {
  const std::size_t n = GetParam();
  const double start = 0.1;
  const double expected = in_chunks(start, n);
  if (n <= kLikelihoodChunk) {
    EXPECT_EQ(bits(expected), bits(left_to_right(start, n)));
  }
  WorkerPool one(1), two(2), three(3);
  for (WorkerPool* pool : {&one, &two, &three, static_cast<WorkerPool*>(nullptr)}) {
    const auto sum = internal::sum_in_chunks(start, n, term, pool, {});
    ASSERT_TRUE(sum.has_value());
    EXPECT_EQ(bits(*sum), bits(expected));
  }
  // One chunk never reaches the pool.
  EXPECT_EQ(one.batches_run(), n > kLikelihoodChunk ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SumInChunks,
                         ::testing::Values(0, 1, 1000, kLikelihoodChunk, kLikelihoodChunk + 1,
                                           3 * kLikelihoodChunk + 5),
                         [](const auto& info) { return "n_" + std::to_string(info.param); });

// The terms tell the two orders apart, so the cases above check the order.
TEST(SumInChunksOrder, DiffersFromOneLeftToRightSum) {
  const std::size_t n = 3 * kLikelihoodChunk + 5;
  EXPECT_NE(bits(in_chunks(0.1, n)), bits(left_to_right(0.1, n)));
}

// A stop while the pool sums: the chunks not started are skipped and the
// sum gives nothing. Terms are slow until the stop check has said stop.
TEST(SumInChunksStop, GivesNothingWhenStopped) {
  auto asked = std::make_shared<std::atomic<bool>>(false);
  const StopCheck stop = [asked] {
    asked->store(true);
    return true;
  };
  const auto slow = [asked](std::size_t i) {
    if (!asked->load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    return term(i);
  };
  WorkerPool pool(2);
  const auto started = std::chrono::steady_clock::now();
  const auto sum = internal::sum_in_chunks(0.0, 40 * kLikelihoodChunk, slow, &pool, stop);
  EXPECT_FALSE(sum.has_value());
  EXPECT_TRUE(asked->load());
  // Unstopped, the slow terms alone would take half a minute.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

// --- The search: starts, then a restart from the best ----------------------

// Copies share the evaluation count.
struct Bowl {
  double centre;
  std::shared_ptr<std::uint64_t> calls = std::make_shared<std::uint64_t>(0);

  double cost(std::span<const double> y) const {
    ++*calls;
    double sum = 0.0;
    for (const double v : y) sum += (v - centre) * (v - centre);
    return sum;
  }
};

// The search cost has its minimum at (1, 1), the reported one at (2, 2):
// only the restart on the reported cost moves the result to (2, 2), and its
// iterations add to those of the start's run.
TEST(BestOf, RestartsOnTheReportedCostFromTheBestStart) {
  const Bowl search{1.0};
  const Bowl reported{2.0};
  const std::vector<std::vector<double>> starts{{0.0, 0.0}};
  const auto found = internal::best_of(search, reported, starts, 800);
  ASSERT_TRUE(found.has_value()) << found.error().message();
  const internal::SearchRun& r = found.value();
  EXPECT_NEAR(r.point[0], 2.0, 1e-3);
  EXPECT_NEAR(r.point[1], 2.0, 1e-3);
  EXPECT_EQ(r.cost, reported.cost(r.point));
  EXPECT_TRUE(r.converged);

  const auto alone = internal::search_from(search, starts[0], 800);
  ASSERT_TRUE(alone.has_value());
  const auto restart = internal::search_from(reported, alone.value().point, 800);
  ASSERT_TRUE(restart.has_value());
  EXPECT_GT(restart.value().iterations, 0u);
  EXPECT_EQ(r.iterations, alone.value().iterations + restart.value().iterations);
  EXPECT_EQ(r.point, restart.value().point);
}

// On a flat cost every run converges before its first iteration; the first
// start is the best among equals and the restart stays there.
TEST(BestOf, FirstStartWinsTies) {
  struct Flat {
    double cost(std::span<const double>) const { return 3.0; }
  };
  const std::vector<std::vector<double>> starts{{0.5, 1.5}, {-1.0, 2.0}, {4.0, 4.0}};
  const auto found = internal::best_of(Flat{}, Flat{}, starts, 10);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found.value().point, starts[0]);
  EXPECT_EQ(found.value().iterations, 0u);
  EXPECT_TRUE(found.value().converged);
}

// The search ends at the budget: not converged, every run counted.
TEST(BestOf, BudgetEndsEachRun) {
  const Bowl search{1.0};
  const Bowl reported{2.0};
  const auto found = internal::best_of(search, reported, {{0.0, 0.0}, {5.0, 5.0}}, 3);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found.value().iterations, 9u);
  EXPECT_FALSE(found.value().converged);
}

// --- The fits --------------------------------------------------------------

TEST(FitMl, StopsWhenTheCheckSaysStop) {
  const Arrays a = simulated({1.0, 1.5, 0.5, 0.3, 1.0}, 500, 3);
  int asked = 0;
  const StopCheck stop = [&asked] { return ++asked == 1; };
  const auto fit = fit_ml(a.view(), LikelihoodModel::Full, stop);
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error(), FitError::interrupted());
  EXPECT_EQ(asked, 1);  // the fit asks once and stays stopped

  const std::vector<ObservedTrials> levels{a.view(), a.view()};
  asked = 0;
  const auto joint = fit_ml_joint(levels, LikelihoodModel::Ddm, free_per_level({Param::Drift}), stop);
  ASSERT_FALSE(joint.has_value());
  EXPECT_EQ(joint.error(), FitError::interrupted());
}

TEST(FitMl, SameFitWhateverTheCheck) {
  const Arrays a = simulated({0.8, 1.2, 0.45, 0.25, 1.0}, 300, 5);
  int asked = 0;
  const StopCheck never = [&asked] {
    ++asked;
    return false;
  };
  const auto plain = fit_ml(a.view(), LikelihoodModel::Ddm);
  const auto checked = fit_ml(a.view(), LikelihoodModel::Ddm, never);
  ASSERT_TRUE(plain.has_value());
  ASSERT_TRUE(checked.has_value());
  EXPECT_GE(asked, 1);
  EXPECT_EQ(bits(plain.value().params[0].drift), bits(checked.value().params[0].drift));
  EXPECT_EQ(bits(plain.value().log_likelihood), bits(checked.value().log_likelihood));
  EXPECT_EQ(plain.value().iterations, checked.value().iterations);
}

// A full fit reports the densities' sum at its estimate at their default
// accuracy (the search's looser quadrature, picked as the best of many
// values, came out above it).
TEST(FitMl, FullReportsTheDensitySumAtItsEstimate) {
  const Arrays a = simulated({1.2, 1.1, 0.45, 0.25, 1.0}, 200, 21);
  const auto fit = fit_ml(a.view(), LikelihoodModel::Full);
  ASSERT_TRUE(fit.has_value());
  const ModelParams& p = fit.value().params[0];
  ASSERT_GT(p.sz + p.st, 0.0);  // the case where the quadrature's accuracy matters
  double sum = 0.0;
  for (std::size_t i = 0; i < a.rts.size(); ++i) sum += wfpt_log_density(a.rts[i], a.choices[i] != 0, p);
  EXPECT_EQ(bits(fit.value().log_likelihood), bits(sum));
}

struct ErrorCase {
  const char* name;
  std::vector<double> rts;
  LikelihoodModel model;
  FitError error;
  const char* message;
};

class FitMlErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(FitMlErrors, ReportsWhy) {
  const ErrorCase& c = GetParam();
  const Arrays a = arrays_of(c.rts);
  const auto fit = fit_ml(a.view(), c.model);
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error(), c.error);
  EXPECT_EQ(fit.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Data, FitMlErrors,
    ::testing::Values(ErrorCase{"too_few_trials", std::vector<double>(9, 0.5), LikelihoodModel::Ddm,
                                FitError::too_few_trials(9, 10),
                                "a maximum-likelihood fit needs at least 10 trials per level; got 9"},
                      ErrorCase{"too_few_trials_full", std::vector<double>(13, 0.5), LikelihoodModel::Full,
                                FitError::too_few_trials(13, 14),
                                "a maximum-likelihood fit needs at least 14 trials per level; got 13"},
                      ErrorCase{"zero_rt", {0.5, 0.6, 0.7, 0.8, 0.0, 0.5, 0.6, 0.7, 0.8, 0.9}, LikelihoodModel::Ddm,
                                FitError::bad_response_time(), "response times must be positive and finite"},
                      ErrorCase{"infinite_rt", {0.5, 0.6, 0.7, 0.8, 0.9, 0.5, 0.6, 0.7, 0.8, INFINITY},
                                LikelihoodModel::Ddm, FitError::bad_response_time(),
                                "response times must be positive and finite"},
                      // Densities so small that their logs sum to -inf everywhere.
                      ErrorCase{"no_finite_likelihood", std::vector<double>(10, 1e308), LikelihoodModel::Ddm,
                                FitError::no_finite_likelihood(),
                                "no parameters within the bounds give the data a finite likelihood"},
                      ErrorCase{"constant_rts", std::vector<double>(40, 0.5), LikelihoodModel::Ddm,
                                FitError::constant_response_times(),
                                "the response times are all equal (zero variance); no diffusion model describes "
                                "them"},
                      ErrorCase{"constant_rts_full", std::vector<double>(40, 0.5), LikelihoodModel::Full,
                                FitError::constant_response_times(),
                                "the response times are all equal (zero variance); no diffusion model describes "
                                "them"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FitMlJoint, NeedsALevel) {
  const auto fit = fit_ml_joint({}, LikelihoodModel::Ddm, free_per_level({Param::Drift}));
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error(), FitError::no_levels());
  EXPECT_EQ(fit.error().message(), "a joint fit needs at least one level");
}

// One level of equal response times spoils a joint fit however varied the
// others are.
TEST(FitMlJoint, RefusesALevelOfEqualResponseTimes) {
  const Arrays varied = simulated({1.0, 1.5, 0.5, 0.3, 1.0}, 200, 5);
  const Arrays equal = arrays_of(std::vector<double>(200, 0.6));
  const std::vector<ObservedTrials> levels{varied.view(), equal.view()};
  const auto fit = fit_ml_joint(levels, LikelihoodModel::Ddm, free_per_level({Param::Drift}));
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error(), FitError::constant_response_times());
}

}  // namespace
}  // namespace corvatel
