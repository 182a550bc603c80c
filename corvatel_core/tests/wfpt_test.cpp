#include "corvatel/wfpt.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "corvatel/internal/wfpt_series.h"
#include "corvatel/ml_fit.h"
#include "corvatel/simulate.h"
#include "corvatel/simulate_full.h"

namespace corvatel {
namespace {

using internal::log_unit_density;
using internal::upper_probability;

// Both series are exact; where both converge quickly they must agree.
TEST(WfptTest, SmallAndLargeTimeSeriesAgreeNearTheSwitch) {
  for (double w : {0.05, 0.3, 0.5, 0.9}) {
    for (double u : {0.3, 0.45, 0.6}) {
      // Large-time series with many terms, written out directly.
      double sum = 0.0;
      for (int k = 1; k < 60; ++k) {
        sum += k * std::exp(-k * k * std::numbers::pi * std::numbers::pi * u / 2) * std::sin(k * std::numbers::pi * w);
      }
      EXPECT_NEAR(log_unit_density(u, w), std::log(std::numbers::pi * sum), 1e-12) << u << " " << w;
    }
  }
}

TEST(WfptTest, UpperProbabilityClosedForm) {
  EXPECT_DOUBLE_EQ(upper_probability(0.0, 1.0, 0.3, 1.0), 0.3);
  const double p = upper_probability(1.0, 1.5, 0.5, 1.0);
  EXPECT_NEAR(p, (1 - std::exp(-1.5)) / (1 - std::exp(-3.0)), 1e-15);
  EXPECT_NEAR(upper_probability(-1.0, 1.5, 0.5, 1.0), 1 - p, 1e-15);
  // Far from 0 the naive ratio is inf / inf; the rewritten one is exact.
  EXPECT_EQ(upper_probability(-400.0, 5.0, 0.5, 1.0), 0.0);
  EXPECT_EQ(upper_probability(400.0, 5.0, 0.5, 1.0), 1.0);
  EXPECT_NEAR(upper_probability(2.0, 1.0, 0.5, 2.0), upper_probability(1.0, 0.5, 0.5, 1.0), 1e-15);
}

TEST(WfptTest, ChecksNameTheArgument) {
  ModelParams p{1.0, 1.0, 0.5, 0.3, 1.0, 0.0, 0.0, 0.0};
  EXPECT_FALSE(check_density_args(0.5, p));
  p.st = 0.61;
  ASSERT_TRUE(check_density_args(0.5, p));
  EXPECT_STREQ(check_density_args(0.5, p)->argument(), "st");
  p.st = 0.0;
  p.sz = 1.0;
  EXPECT_EQ(check_density_args(0.5, p)->kind(), ParamError::Kind::DensityStartWindow);
}

TEST(WfptTest, ZeroBeforeTheEarliestResponse) {
  const ModelParams p{1.0, 1.0, 0.5, 0.3, 1.0, 0.0, 0.0, 0.2};
  EXPECT_EQ(wfpt_log_density(0.19, true, p), -INFINITY);  // 0.3 - 0.1 rounds below 0.2
  EXPECT_TRUE(std::isfinite(wfpt_log_density(0.21, true, p)));
}

// The fits' search density: the same numbers without sz and st, and close
// to the error-controlled one where the variabilities are typical and the
// response is not at the leading edge (where 5 points cannot follow the rise).
TEST(WfptTest, SearchDensityApproximatesTheControlledOne) {
  for (bool choice : {false, true}) {
    for (double rt : {0.28, 0.45, 0.8, 2.5}) {
      ModelParams p{1.0, 1.5, 0.45, 0.3, 1.0, 0.8, 0.0, 0.0};
      EXPECT_EQ(wfpt_log_density_search(rt, choice, p), wfpt_log_density(rt, choice, p));
      p.sz = 0.2;
      p.st = 0.15;
      EXPECT_NEAR(wfpt_log_density_search(rt, choice, p), wfpt_log_density(rt, choice, p), 1e-3)
          << choice << " " << rt;
    }
  }
  const ModelParams p{1.0, 1.5, 0.45, 0.3, 1.0, 0.8, 0.2, 0.15};
  EXPECT_EQ(wfpt_log_density_search(0.2, true, p), -std::numeric_limits<double>::infinity());
}

// Zero drift keeps the start and time averages elementary: each image
// w + 2j of the small-time series integrates over w to
// u (e^{-(w1+2j)^2/2u} - e^{-(w2+2j)^2/2u}) / sqrt(2 pi u^3), and over time
// to the one-barrier distribution function 2 Phi(-|w + 2j| a / sqrt tau)
// (negative for the reflected images). Written out here with their own sums
// (which at u = 1.7 lose 4 digits to cancellation, still far below the
// tolerance); the leading-edge cases lie hundreds of orders of magnitude
// below 1.
double zero_drift_over_start(double tau, double a, double w, double sz) {
  const double u = tau / (a * a);
  double sum = 0.0;
  for (int j = -6; j <= 6; ++j) {
    const double lo = w - sz / 2 + 2 * j;
    const double hi = w + sz / 2 + 2 * j;
    sum += std::exp(-lo * lo / (2 * u)) - std::exp(-hi * hi / (2 * u));
  }
  return std::log(sum * u / std::sqrt(2 * std::numbers::pi * u * u * u) / (a * a * sz));
}

double zero_drift_over_time(double tau_hi, double a, double w, double st) {
  double sum = 0.0;
  for (int j = -6; j <= 6; ++j) {
    const double c = a * (w + 2 * j);
    sum += (j >= 0 ? 1.0 : -1.0) * std::erfc(std::fabs(c) / std::sqrt(2 * tau_hi));
  }
  return std::log(sum / st);
}

struct ZeroDriftCase {
  double tau;  // decision time (rt - t0)
  double boundary;
  double start;
};

class ZeroDriftAverages : public testing::TestWithParam<ZeroDriftCase> {};

TEST_P(ZeroDriftAverages, StartAverageMatchesTheElementaryIntegral) {
  const auto [tau, a, w] = GetParam();
  for (bool choice : {false, true}) {
    const ModelParams p{0.0, a, w, 0.3, 1.0, 0.0, 0.2, 0.0};
    const double expected = zero_drift_over_start(tau, a, choice ? 1.0 - w : w, 0.2);
    EXPECT_NEAR(wfpt_log_density(0.3 + tau, choice, p), expected, 1e-9 * std::max(1.0, std::fabs(expected)))
        << choice;
  }
}

TEST_P(ZeroDriftAverages, TimeAverageFromTheStartIsTheDistributionFunction) {
  // t0 = st/2: the window of decision times is [0, rt] for rt <= st.
  const auto [tau, a, w] = GetParam();
  const double st = 1.0;
  const ModelParams p{0.0, a, w, st / 2, 1.0, 0.0, 0.0, st};
  const double rt = tau;
  for (bool choice : {false, true}) {
    const double expected = zero_drift_over_time(rt, a, choice ? 1.0 - w : w, st);
    EXPECT_NEAR(wfpt_log_density(rt, choice, p), expected, 1e-9 * std::max(1.0, std::fabs(expected))) << choice;
  }
}

INSTANTIATE_TEST_SUITE_P(WfptTest, ZeroDriftAverages,
                         testing::Values(ZeroDriftCase{0.001, 1.0, 0.5}, ZeroDriftCase{0.02, 5.0, 0.2},
                                         ZeroDriftCase{0.05, 1.5, 0.3}, ZeroDriftCase{0.3, 1.0, 0.85},
                                         ZeroDriftCase{0.15, 0.3, 0.5}, ZeroDriftCase{0.9, 1.5, 0.6}));

// Where the closed forms cannot vouch for their rounding (a window far
// narrower than the density's scale, a drift next to zero) the quadrature
// takes over: the results stay continuous in those parameters.
TEST(WfptTest, AveragesAreContinuousWhereTheClosedFormsHandOver) {
  for (bool choice : {false, true}) {
    for (double rt : {0.35, 0.8, 3.0}) {
      const ModelParams plain{1.2, 1.5, 0.45, 0.3, 1.0, 0.0, 0.0, 0.0};
      ModelParams narrow = plain;
      narrow.sz = 1e-9;
      narrow.st = 1e-9;
      EXPECT_NEAR(wfpt_log_density(rt, choice, narrow), wfpt_log_density(rt, choice, plain), 1e-8) << rt;
      ModelParams still{0.0, 1.5, 0.45, 0.3, 1.0, 0.0, 0.2, 0.2};
      ModelParams creeping = still;
      creeping.drift = 1e-12;
      EXPECT_NEAR(wfpt_log_density(rt, choice, creeping), wfpt_log_density(rt, choice, still), 1e-10) << rt;
      creeping.drift = -1e-7;
      EXPECT_NEAR(wfpt_log_density(rt, choice, creeping), wfpt_log_density(rt, choice, still), 1e-6) << rt;
    }
  }
}

TEST(SimulateFullTest, NoVariabilityIsTheOrdinaryTrial) {
  const Params p{0.7, 1.1, 0.45, 0.2, 1.0};
  const TrialBatch plain = simulate_n(p, 300, 42);
  const TrialBatch full = simulate_full_n(ModelParams{p.drift, p.boundary, p.start, p.t0, p.noise_sd}, 300, 42);
  for (std::uint64_t i = 0; i < 300; ++i) {
    EXPECT_EQ(plain[i].rt, full[i].rt);
    EXPECT_EQ(plain[i].choice, full[i].choice);
  }
}

TEST(SimulateFullTest, SameBitsWhateverTheNumberOfWorkers) {
  const ModelParams v{0.7, 1.1, 0.45, 0.2, 1.0, 1.0, 0.3, 0.1};
  WorkerPool one(1);
  WorkerPool three(3);
  const TrialBatch a = simulate_full_n(v, 2000, 7, one);
  const TrialBatch b = simulate_full_n(v, 2000, 7, three);
  for (std::uint64_t i = 0; i < 2000; ++i) {
    ASSERT_EQ(a[i].rt, b[i].rt) << i;
    ASSERT_EQ(a[i].choice, b[i].choice) << i;
  }
  // Each trial walks with exactly the parameters that trial_params gives it.
  EXPECT_EQ(a[5].rt, simulate_trial(trial_params(v, 7, 5), 7, 5).rt);
}

TEST(SimulateFullTest, DrawsStayInTheirRanges) {
  const ModelParams p{0.7, 1.1, 0.45, 0.2, 1.0, 0.0, 0.3, 0.1};
  for (std::uint64_t i = 0; i < 1000; ++i) {
    const Params q = trial_params(p, 9, i);
    EXPECT_EQ(q.drift, p.drift);
    EXPECT_GE(q.start, 0.3);
    EXPECT_LT(q.start, 0.6);
    EXPECT_GE(q.t0, 0.15);
    EXPECT_LT(q.t0, 0.25);
  }
}

TEST(MlFitTest, TooFewTrialsIsAnError) {
  const std::vector<std::uint8_t> choices(5, 1);
  const std::vector<double> rts(5, 0.5);
  const auto fit = fit_ml(ObservedTrials{choices, rts}, LikelihoodModel::Ddm);
  ASSERT_FALSE(fit);
  EXPECT_EQ(fit.error().kind(), FitError::Kind::TooFewTrials);
}

}  // namespace
}  // namespace corvatel
