// The contaminant mixture: its log density over the diffusion's (wfpt.h,
// log_mixture and the batch), the window's rule (parameters.h), and the
// likelihood fits with p_outlier fixed or free (ml_fit.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "corvatel/internal/ml_layout.h"
#include "corvatel/ml_fit.h"
#include "corvatel/parameters.h"
#include "corvatel/simulate.h"
#include "corvatel/wfpt.h"
#include "vectors.h"

namespace corvatel {
namespace {

using testing::bits;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const ModelParams kModel{1.0, 1.5, 0.5, 0.3, 1.0};

// --- The density ------------------------------------------------------------

TEST(LogMixture, ZeroShareIsTheDiffusionDensityItself) {
  for (const double log_f : {-kInf, -800.0, -1.25, 0.0, 3.5}) {
    for (const double rt : {0.001, 0.6, 7.0}) {
      EXPECT_EQ(bits(log_mixture(log_f, rt, 0.0, {})), bits(log_f));
      EXPECT_EQ(bits(log_mixture(log_f, rt, 0.0, {0.5, 1.0})), bits(log_f));
    }
  }
}

struct MixtureCase {
  double rt;
  double p;
  OutlierWindow window;
};

class LogMixtureValue : public ::testing::TestWithParam<MixtureCase> {};

// Against the definition in plain arithmetic, where it does not underflow:
// (1 - p) f + p / 2 / (hi - lo) inside the window, (1 - p) f outside.
TEST_P(LogMixtureValue, MatchesTheDefinition) {
  const MixtureCase c = GetParam();
  for (const bool choice : {false, true}) {
    const double log_f = wfpt_log_density(c.rt, choice, kModel);
    const bool inside = c.rt >= c.window.lo && c.rt <= c.window.hi;
    const double expected = std::log((1.0 - c.p) * std::exp(log_f) +
                                     (inside ? c.p * 0.5 / (c.window.hi - c.window.lo) : 0.0));
    const double got = log_mixture(log_f, c.rt, c.p, c.window);
    if (std::isinf(expected)) {
      EXPECT_EQ(got, expected);  // before t0 and outside the window
    } else {
      EXPECT_NEAR(got, expected, 1e-13 * std::max(1.0, std::fabs(expected)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Points, LogMixtureValue,
    ::testing::Values(MixtureCase{0.005, 0.05, {}}, MixtureCase{0.35, 0.05, {}}, MixtureCase{0.8, 0.3, {}},
                      MixtureCase{4.9, 0.3, {}}, MixtureCase{5.0, 0.3, {}}, MixtureCase{5.5, 0.05, {}},
                      MixtureCase{0.1, 0.2, {0.2, 2.0}}, MixtureCase{0.2, 0.2, {0.2, 2.0}},
                      MixtureCase{1.0, 0.99, {0.2, 2.0}}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// Far below the smallest double the diffusion term still counts in the log
// outside the window; inside it the contaminants' term takes over.
TEST(LogMixture, NoUnderflow) {
  const double log_f = -5000.0;
  EXPECT_EQ(log_mixture(log_f, 9.0, 0.2, {}), std::log1p(-0.2) + log_f);
  EXPECT_EQ(log_mixture(log_f, 1.0, 0.2, {}), std::log(0.2 * 0.5 / 5.0));
  EXPECT_EQ(log_mixture(-kInf, 0.01, 0.2, {}), std::log(0.2 * 0.5 / 5.0));
  EXPECT_EQ(log_mixture(-kInf, 9.0, 0.2, {}), -kInf);
}

TEST(MixtureBatch, EachElementIsTheLayerOverItsDensity) {
  std::vector<double> rt;
  std::vector<std::uint8_t> choice;
  std::vector<double> p;
  for (int i = 0; i < 200; ++i) {
    rt.push_back(0.002 + 0.04 * i);
    choice.push_back(static_cast<std::uint8_t>(i % 2));
    p.push_back(i % 3 == 0 ? 0.0 : 0.01 * (i % 40));
  }
  DensityColumns in;
  in.n = rt.size();
  in.rt.values = rt;
  in.choice.values = choice;
  in.p_outlier.values = p;
  in.drift.scalar = 1.0;
  in.boundary.scalar = 1.5;
  in.start.scalar = 0.5;
  in.t0.scalar = 0.3;
  in.noise_sd.scalar = 1.0;
  in.outlier_window = {0.1, 6.0};
  std::vector<double> out(in.n);
  ASSERT_FALSE(log_densities(in, out, DensityScale::Log));
  for (std::size_t i = 0; i < in.n; ++i) {
    const double plain = wfpt_log_density(rt[i], choice[i] != 0, kModel);
    EXPECT_EQ(bits(out[i]), bits(log_mixture(plain, rt[i], p[i], in.outlier_window))) << i;
    if (p[i] == 0.0) {
      EXPECT_EQ(bits(out[i]), bits(plain)) << i;
    }
  }
}

TEST(MixtureBatch, RefusesABadShareOrWindow) {
  DensityColumns in;
  in.n = 1;
  in.rt.scalar = 0.5;
  in.drift.scalar = 1.0;
  in.boundary.scalar = 1.5;
  in.start.scalar = 0.5;
  in.t0.scalar = 0.3;
  in.noise_sd.scalar = 1.0;
  std::vector<double> out(1);
  for (const double bad : {1.0, -0.01, kNaN, kInf}) {
    in.p_outlier.scalar = bad;
    const auto failure = log_densities(in, out, DensityScale::Log);
    ASSERT_TRUE(failure);
    EXPECT_EQ(std::get<ParamError>(*failure).message(), "p_outlier must be in [0, 1)");
  }
  in.p_outlier.scalar = 0.0;
  for (const OutlierWindow w : {OutlierWindow{1.0, 1.0}, OutlierWindow{-0.1, 1.0}, OutlierWindow{0.0, kInf},
                                OutlierWindow{kNaN, 1.0}, OutlierWindow{2.0, 1.0}}) {
    EXPECT_TRUE(check_outlier_window(w));
    in.outlier_window = w;
    const auto failure = log_densities(in, out, DensityScale::Log);
    ASSERT_TRUE(failure);
    const ParamError& error = std::get<ParamError>(*failure);
    EXPECT_STREQ(error.argument(), "outlier_window");
    EXPECT_EQ(error.message().rfind("outlier_window must be ", 0), 0u);
  }
  EXPECT_FALSE(check_outlier_window({0.0, 5.0}));
  EXPECT_FALSE(check_outlier_window({0.2, 0.3}));
}

// --- The fits ----------------------------------------------------------------

struct Arrays {
  std::vector<std::uint8_t> choices;
  std::vector<double> rts;
  ObservedTrials view() const { return {choices, rts}; }
};

Arrays simulated(std::uint64_t n, std::uint64_t seed) {
  const TrialBatch batch = simulate_n(kModel.walk(), n, seed);
  Arrays a;
  for (const Trial& t : batch.span()) {
    a.choices.push_back(t.choice ? 1 : 0);
    a.rts.push_back(t.rt);
  }
  return a;
}

TEST(Contaminants, FactoriesCheckTheShareAndTheWindow) {
  EXPECT_FALSE(Contaminants{}.any());
  EXPECT_FALSE(Contaminants::fixed(0.0).value().any());
  EXPECT_TRUE(Contaminants::fixed(0.1).value().any());
  EXPECT_TRUE(Contaminants::estimated().value().free());
  EXPECT_EQ(Contaminants::fixed(1.0).error().message(), "p_outlier must be in [0, 1)");
  EXPECT_EQ(Contaminants::fixed(kNaN).error().message(), "p_outlier must be in [0, 1)");
  EXPECT_STREQ(Contaminants::fixed(0.1, {3.0, 2.0}).error().argument(), "outlier_window");
  EXPECT_STREQ(Contaminants::estimated({-1.0, 2.0}).error().argument(), "outlier_window");
}

// p_outlier is searched only when free, and in a joint fit shared unless
// marked per level.
TEST(Contaminants, FreeShareIsOneMoreCoordinate) {
  const Arrays a = simulated(50, 1);
  const Arrays b = simulated(50, 2);
  const std::vector<ObservedTrials> views{a.view(), b.view()};
  EXPECT_EQ(free_param_count(LikelihoodModel::Ddm), 4u);
  EXPECT_EQ(free_param_count(LikelihoodModel::Ddm, true), 5u);
  EXPECT_EQ(free_param_count(LikelihoodModel::Full, true), 8u);
  PerLevel drift{};
  drift[static_cast<std::size_t>(Param::Drift)] = true;
  const Contaminants free = Contaminants::estimated().value();
  EXPECT_EQ(internal::SearchLayout(LikelihoodModel::Ddm, views, drift, Contaminants::fixed(0.1).value()).dim(), 5u);
  const internal::SearchLayout shared(LikelihoodModel::Ddm, views, drift, free);
  ASSERT_EQ(shared.dim(), 6u);
  std::vector<double> y(6, 0.0);
  y.back() = 40.0;
  EXPECT_NEAR(shared.decode(y, 0).p_outlier, 0.5, 1e-12);
  EXPECT_EQ(shared.decode(y, 1).p_outlier, shared.decode(y, 0).p_outlier);
  PerLevel both = drift;
  both[static_cast<std::size_t>(Param::POutlier)] = true;
  EXPECT_EQ(internal::SearchLayout(LikelihoodModel::Ddm, views, both, free).dim(), 7u);
  // A fixed share is every level's, whatever the point.
  const internal::SearchLayout fixed(LikelihoodModel::Ddm, views, drift, Contaminants::fixed(0.07).value());
  EXPECT_EQ(fixed.decode(std::vector<double>(5, 3.0), 1).p_outlier, 0.07);
}

// With contaminants only responses outside their window bound t0, and the
// median response does.
TEST(Contaminants, T0BoundIgnoresTrialsInsideTheWindow) {
  Arrays a;
  for (const double rt : {0.005, 0.9, 0.45, 0.6, 0.7, 8.0, 0.5}) {
    a.rts.push_back(rt);
    a.choices.push_back(1);
  }
  const ObservedTrials view = a.view();
  EXPECT_EQ(t0_search_bound({&view, 1}), 0.005);
  EXPECT_EQ(t0_search_bound({&view, 1}, Contaminants{}), 0.005);
  EXPECT_EQ(t0_search_bound({&view, 1}, Contaminants::fixed(0.0).value()), 0.005);
  EXPECT_EQ(t0_search_bound({&view, 1}, Contaminants::estimated().value()), 0.6);  // the median
  EXPECT_EQ(t0_search_bound({&view, 1}, Contaminants::fixed(0.1, {0.0, 0.4}).value()), 0.45);
  EXPECT_EQ(t0_search_bound({&view, 1}, Contaminants::fixed(0.1, {0.01, 5.0}).value()), 0.005);
}

// Fixed 0 in any window is the plain fit, bit for bit.
TEST(ContaminantFit, ZeroShareIsThePlainFit) {
  const Arrays a = simulated(300, 5);
  const auto plain = fit_ml(a.view(), LikelihoodModel::Ddm);
  const auto zero = fit_ml(a.view(), LikelihoodModel::Ddm, Contaminants::fixed(0.0, {0.1, 0.2}).value());
  ASSERT_TRUE(plain && zero);
  EXPECT_EQ(bits(plain.value().log_likelihood), bits(zero.value().log_likelihood));
  EXPECT_EQ(bits(plain.value().params[0].t0), bits(zero.value().params[0].t0));
  EXPECT_EQ(plain.value().iterations, zero.value().iterations);
  EXPECT_EQ(zero.value().params[0].p_outlier, 0.0);
}

// One response at 5 ms: the plain fit's t0 must lie below it; the mixture
// takes it for a contaminant.
TEST(ContaminantFit, OneFastGuessNoLongerPullsT0) {
  Arrays a = simulated(400, 3);
  a.rts[7] = 0.005;
  const auto plain = fit_ml(a.view(), LikelihoodModel::Ddm);
  const auto free = fit_ml(a.view(), LikelihoodModel::Ddm, Contaminants::estimated().value());
  ASSERT_TRUE(plain && free);
  EXPECT_LT(plain.value().params[0].t0, 0.005);
  EXPECT_NEAR(free.value().params[0].t0, 0.3, 0.02);
  EXPECT_GT(free.value().params[0].p_outlier, 0.0);
  EXPECT_LT(free.value().params[0].p_outlier, 0.05);
  EXPECT_EQ(free.value().n_params, 5u);
  EXPECT_GT(free.value().log_likelihood, plain.value().log_likelihood);
}

}  // namespace
}  // namespace corvatel
