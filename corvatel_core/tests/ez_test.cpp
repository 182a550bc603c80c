#include "corvatel/ez.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "corvatel/stats.h"
#include "trials.h"
#include "vectors.h"

namespace corvatel {
namespace {

using testing::bits;
using testing::hex_u64;

TEST(EzDiffusion, ReferenceCases) {
  for (const char* file : {"ez.json", "stats.json"}) {
    const auto vectors = testing::load_vectors(file);
    for (const auto& c : vectors["cases"]) {
      const auto& expected = std::string(file) == "ez.json" ? c["expected"] : c["ez"];
      if (expected.is_null()) continue;
      SCOPED_TRACE(c["name"].get<std::string>());
      const auto result = ez_diffusion(testing::trials_from_json(c["trials"]));
      if (expected.contains("error")) {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().message(), expected["error"]["message"].get<std::string>());
        continue;
      }
      ASSERT_TRUE(result.has_value()) << result.error().message();
      const auto& ok = expected["ok"];
      EXPECT_EQ(bits(result.value().drift), hex_u64(ok["drift_rate"]));
      EXPECT_EQ(bits(result.value().boundary), hex_u64(ok["boundary_separation"]));
      EXPECT_EQ(bits(result.value().start), hex_u64(ok["starting_point"]));
      EXPECT_EQ(bits(result.value().t0), hex_u64(ok["non_decision_time"]));
      EXPECT_EQ(bits(result.value().noise_sd), hex_u64(ok["noise_sd"]));
    }
  }
}

std::vector<Trial> trials(int upper, int lower, double rt_step = 0.01, double first_rt = 0.4) {
  std::vector<Trial> t;
  for (int i = 0; i < upper; ++i) t.push_back({true, first_rt + rt_step * i, false});
  for (int i = 0; i < lower; ++i) t.push_back({false, 0.7, false});
  return t;
}

struct ErrorCase {
  const char* name;
  std::vector<Trial> trials;
  EzError expected;
};

class EzDiffusionErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(EzDiffusionErrors, FirstFailingCheckDecides) {
  const auto result = ez_diffusion(GetParam().trials);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), GetParam().expected);
}

std::vector<Trial> with_timeouts(std::vector<Trial> t, int count) {
  for (int i = 0; i < count; ++i) t.push_back({true, 10.3, true});
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EzDiffusionErrors,
    ::testing::Values(
        ErrorCase{"no_trials", {}, EzError::not_enough_data(0)},
        ErrorCase{"one_finished_plus_timeouts", with_timeouts(trials(1, 0), 5), EzError::not_enough_data(1)},
        ErrorCase{"one_upper_of_ten", trials(1, 9), EzError::not_enough_correct(1)},
        ErrorCase{"all_lower", trials(0, 10), EzError::not_enough_correct(0)},
        ErrorCase{"chance", trials(2, 2), EzError::chance_accuracy()},
        // The chance check comes before the variance check.
        ErrorCase{"chance_with_equal_rts", trials(2, 2, 0.0), EzError::chance_accuracy()},
        ErrorCase{"all_upper_equal_rts", trials(5, 0, 0.0), EzError::non_positive_variance()},
        ErrorCase{"nan_rt", {{true, std::nan(""), false}, {true, 0.5, false}, {false, 0.6, false}},
                  EzError::non_positive_variance()}),
    [](const auto& info) { return std::string(info.param.name); });

// The EZ equations written out independently, in the same operation order.
Params ez_reference(double pc, double mrt, double vrt) {
  const double l = std::log(pc / (1.0 - pc));
  const double radicand = ((((pc * (pc * l)) - (pc * l)) + pc) - 0.5) * l / vrt;
  const double v = std::pow(radicand, 0.25) * (pc < 0.5 ? -1.0 : 1.0);
  const double a = l / v;
  const double e = std::exp(-v * a);
  return {v, a, 0.5, mrt - ((1.0 - e) / (e + 1.0)) * (a / (v + v)), 1.0};
}

TEST(EzDiffusion, PerfectAccuracyIsEdgeCorrected) {
  // With n finished trials all at the upper boundary, Pc becomes 1 - 1/(2n).
  for (int n : {2, 100}) {
    const auto all_upper = trials(n, 0);
    const auto stats = summary_stats(all_upper).value();
    const auto result = ez_diffusion(all_upper);
    ASSERT_TRUE(result.has_value());
    const Params expected = ez_reference(n == 2 ? 0.75 : 0.995, stats.mean_rt, stats.var_rt);
    EXPECT_EQ(bits(result.value().drift), bits(expected.drift)) << n;
    EXPECT_EQ(bits(result.value().boundary), bits(expected.boundary)) << n;
    EXPECT_EQ(bits(result.value().t0), bits(expected.t0)) << n;
  }
}

TEST(EzDiffusion, MirroredAccuracyMirrorsDrift) {
  // Same upper rts; 8 of 10 versus 8 of 40 upper.
  const auto high = ez_diffusion(trials(8, 2));
  const auto low = ez_diffusion(trials(8, 32));
  ASSERT_TRUE(high.has_value() && low.has_value());
  EXPECT_NEAR(high.value().drift, -low.value().drift, 1e-12);
  EXPECT_NEAR(high.value().boundary, low.value().boundary, 1e-12);
  EXPECT_NEAR(high.value().t0, low.value().t0, 1e-12);
  EXPECT_LT(low.value().drift, 0.0);
}

TEST(EzDiffusion, InfiniteVarianceGivesZeroDriftInfiniteBoundaryNanT0) {
  const std::vector<Trial> t{{true, 1e300, false}, {true, -1e300, false}, {false, 0.5, false}};
  const auto result = ez_diffusion(t);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result.value().drift, 0.0);
  EXPECT_EQ(result.value().boundary, std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(result.value().t0));
}

TEST(DefaultFitGuess, FallsBackOnlyWhenTheEstimateFails) {
  const Params fixed = default_fit_guess(std::span<const Trial>());
  EXPECT_EQ(fixed.drift, 1.0);
  EXPECT_EQ(fixed.boundary, 1.0);
  EXPECT_EQ(fixed.start, 0.5);
  EXPECT_EQ(fixed.t0, 0.2);
  EXPECT_EQ(fixed.noise_sd, 1.0);

  const auto data = trials(8, 2);
  const Params guess = default_fit_guess(data);
  const Params estimate = ez_diffusion(data).value();
  EXPECT_EQ(bits(guess.drift), bits(estimate.drift));
  EXPECT_EQ(bits(guess.boundary), bits(estimate.boundary));
  EXPECT_EQ(bits(guess.t0), bits(estimate.t0));
  EXPECT_EQ(guess.start, 0.5);
  EXPECT_EQ(guess.noise_sd, 1.0);
}

TEST(RecoveryErrors, MessagesAreExact) {
  EXPECT_EQ(EzError::not_enough_data(1).message(), "not enough data: 1 non-timed-out trial(s), need at least 2");
  EXPECT_EQ(EzError::not_enough_correct(0).message(),
            "not enough correct responses: 0 upper-boundary trial(s), need at least 2 to form RT statistics");
  EXPECT_EQ(EzError::not_enough_data(18446744073709551615ull).message(),
            "not enough data: 18446744073709551615 non-timed-out trial(s), need at least 2");
  EXPECT_EQ(FitError::optimizer("").message(), "optimizer error: ");
  EXPECT_EQ(FitError::optimizer("x \"y\"").message(), "optimizer error: x \"y\"");
  // Lengths guard against a stray character.
  EXPECT_EQ(EzError::chance_accuracy().message().size(), 79u);
  EXPECT_EQ(EzError::non_positive_variance().message().size(), 79u);
  EXPECT_EQ(EzError::no_real_solution().message().size(), 77u);
  EXPECT_EQ(FitError::no_usable_target().message().size(), 73u);
  EXPECT_EQ(FitError::no_solution().message().size(), 40u);
  EXPECT_EQ(EzError::not_enough_data(7).message().size(), 17u + 1u + 40u);
  EXPECT_EQ(EzError::not_enough_correct(7).message().size(), 30u + 1u + 63u);
}

// Statistics from outside a trial set (an accuracy above 1 here) make the
// logit NaN: the equations have no real solution.
TEST(EzFromStats, NoRealSolution) {
  const SummaryStats stats{1.5, 0.6, 0.04, 10, 15};
  EXPECT_EQ(ez_from_stats(stats).error(), EzError::no_real_solution());
  EXPECT_EQ(ez_from_stats(SummaryStats{std::nan(""), 0.6, 0.04, 10, 8}).error(), EzError::no_real_solution());
}

TEST(EzFromStats, CountsAreCheckedFirst) {
  EXPECT_EQ(ez_from_stats(SummaryStats{1.5, 0.6, 0.04, 1, 15}).error(), EzError::not_enough_data(1));
  EXPECT_EQ(ez_from_stats(SummaryStats{1.5, 0.6, 0.04, 10, 1}).error(), EzError::not_enough_correct(1));
}

// The estimator from trials is the estimator from their statistics.
TEST(EzFromStats, SameAsFromTrials) {
  const std::vector<Trial> t{{true, 0.5, false}, {true, 0.7, false}, {false, 0.9, false}, {true, 0.65, true},
                             {true, 0.55, false}};
  const Params a = ez_diffusion(t).value();
  const Params b = ez_from_stats(*summary_stats(t)).value();
  EXPECT_EQ(bits(a.drift), bits(b.drift));
  EXPECT_EQ(bits(a.boundary), bits(b.boundary));
  EXPECT_EQ(bits(a.t0), bits(b.t0));
}

}  // namespace
}  // namespace corvatel
