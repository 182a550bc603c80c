// Likelihoods truncated to a response-time window: the window's probability
// (wfpt.h, wfpt_log_window_probability), the window's rule and the fits
// that divide by it (ml_fit.h, Truncation).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "corvatel/ml_fit.h"
#include "corvatel/simulate.h"
#include "corvatel/wfpt.h"
#include "vectors.h"

namespace corvatel {
namespace {

using testing::bits;

constexpr double kInf = std::numeric_limits<double>::infinity();

const ModelParams kModel{0.8, 1.4, 0.45, 0.3, 1.0};

double cdf(double rt, bool choice, const ModelParams& p) { return std::exp(wfpt_log_cdf(rt, choice, p)); }

struct WindowCase {
  double lo;
  double hi;
  ModelParams p;
  OutlierWindow outliers;
};

class WindowProbability : public ::testing::TestWithParam<WindowCase> {};

// Against F(hi) - F(lo) of both responses, mixed with the contaminants'
// share of the window, in plain arithmetic.
TEST_P(WindowProbability, IsTheMixturesMassInTheWindow) {
  const auto& [lo, hi, p, outliers] = GetParam();
  double diffusion = 0.0;
  for (const bool choice : {false, true}) diffusion += cdf(hi, choice, p) - cdf(lo, choice, p);
  const double overlap = std::max(0.0, std::min(hi, outliers.hi) - std::max(lo, outliers.lo));
  const double expected = (1.0 - p.p_outlier) * diffusion + p.p_outlier * overlap / (outliers.hi - outliers.lo);
  const double got = std::exp(wfpt_log_window_probability(p, lo, hi, outliers));
  EXPECT_NEAR(got, expected, 1e-9);
  EXPECT_GT(got, 0.0);
}

ModelParams with_share(ModelParams p, double share) {
  p.p_outlier = share;
  return p;
}

ModelParams with_variability(ModelParams p) {
  p.sv = 0.6;
  p.sz = 0.1;
  p.st = 0.08;
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Windows, WindowProbability,
    ::testing::Values(WindowCase{0.0, kInf, kModel, {}}, WindowCase{0.45, 1.2, kModel, {}},
                      WindowCase{0.2, kInf, kModel, {}}, WindowCase{0.0, 0.5, kModel, {}},
                      WindowCase{0.45, 1.2, with_share(kModel, 0.1), {}},
                      WindowCase{0.45, 1.2, with_share(kModel, 0.1), {1.0, 3.0}},
                      WindowCase{0.45, 1.2, with_share(kModel, 0.1), {2.0, 3.0}},
                      WindowCase{0.45, 1.2, with_variability(kModel), {}},
                      WindowCase{0.3, 9.0, with_share(with_variability(kModel), 0.2), {}},
                      // Past the start of the distribution: from F(lo) and S(hi) where the
                      // window holds at least half the mass, else as tails.
                      WindowCase{0.5, 3.0, with_variability(kModel), {}},
                      WindowCase{0.6, 0.7, with_variability(kModel), {}},
                      WindowCase{2.0, kInf, with_variability(kModel), {}},
                      WindowCase{0.265, 0.9, with_variability(kModel), {}}));

TEST(WindowProbabilityLimits, WholeLineIsOneAndAWindowBeforeTheEarliestResponseHoldsContaminantsOnly) {
  EXPECT_NEAR(wfpt_log_window_probability(kModel, 0.0, kInf, {}), 0.0, 1e-12);
  EXPECT_EQ(wfpt_log_window_probability(kModel, 0.0, 0.25, {}), -kInf);
  const ModelParams mixed = with_share(kModel, 0.1);
  EXPECT_NEAR(wfpt_log_window_probability(mixed, 0.0, 0.25, {0.0, 5.0}), std::log(0.1 * 0.25 / 5.0), 1e-15);
}

TEST(Truncation, WindowRule) {
  EXPECT_FALSE(Truncation{}.any());
  EXPECT_FALSE(Truncation::window(0.0, kInf).value().any());
  EXPECT_TRUE(Truncation::window(0.2, kInf).value().any());
  EXPECT_TRUE(Truncation::window(0.0, 2.0).value().any());
  for (const auto& [lo, hi] : {std::pair{-0.1, 1.0}, std::pair{1.0, 1.0}, std::pair{2.0, 1.0}, std::pair{kInf, kInf},
                               std::pair{std::nan(""), 1.0}, std::pair{0.1, std::nan("")}}) {
    const auto refused = Truncation::window(lo, hi);
    ASSERT_FALSE(refused) << lo << " " << hi;
    EXPECT_STREQ(refused.error().argument(), "rt_window");
  }
}

struct Arrays {
  std::vector<std::uint8_t> choices;
  std::vector<double> rts;
  ObservedTrials view() const { return {choices, rts}; }
};

// Simulated trials kept only inside [lo, hi].
Arrays cut(std::uint64_t n, std::uint64_t seed, double lo, double hi) {
  const TrialBatch batch = simulate_n(kModel.walk(), n, seed);
  Arrays a;
  for (const Trial& t : batch.span()) {
    if (t.rt < lo || t.rt > hi) continue;
    a.choices.push_back(t.choice ? 1 : 0);
    a.rts.push_back(t.rt);
  }
  return a;
}

TEST(TruncatedFit, RefusesATrialOutsideTheWindow) {
  const Arrays a = cut(200, 4, 0.0, kInf);
  const auto fit = fit_ml(a.view(), LikelihoodModel::Ddm, Contaminants{}, Truncation::window(0.5, kInf).value());
  ASSERT_FALSE(fit);
  EXPECT_EQ(fit.error().kind(), FitError::Kind::OutsideTruncation);
}

TEST(TruncatedFit, WholeLineIsThePlainFit) {
  const Arrays a = cut(300, 5, 0.0, kInf);
  const auto plain = fit_ml(a.view(), LikelihoodModel::Ddm);
  const auto whole = fit_ml(a.view(), LikelihoodModel::Ddm, Contaminants{}, Truncation::window(0.0, kInf).value());
  ASSERT_TRUE(plain && whole);
  EXPECT_EQ(bits(plain.value().log_likelihood), bits(whole.value().log_likelihood));
  EXPECT_EQ(bits(plain.value().params[0].drift), bits(whole.value().params[0].drift));
}

// Trials cut at 0.45 and 1.2 s (about a third of them dropped): the
// truncated fit finds the truth again, the plain fit of the same trials
// does not (it takes the cut distribution for a narrower one). Fixed seed;
// the tolerances are about three standard errors of 3000 trials' fit.
TEST(TruncatedFit, RecoversTheTruthFromACutSample) {
  const Arrays a = cut(4500, 11, 0.45, 1.2);
  const Truncation window = Truncation::window(0.45, 1.2).value();
  const auto truncated = fit_ml(a.view(), LikelihoodModel::Ddm, Contaminants{}, window);
  const auto plain = fit_ml(a.view(), LikelihoodModel::Ddm);
  ASSERT_TRUE(truncated && plain);
  const ModelParams& t = truncated.value().params[0];
  EXPECT_NEAR(t.drift, kModel.drift, 0.12);
  EXPECT_NEAR(t.boundary, kModel.boundary, 0.1);
  EXPECT_NEAR(t.start, kModel.start, 0.04);
  EXPECT_NEAR(t.t0, kModel.t0, 0.03);
  EXPECT_GT(std::fabs(plain.value().params[0].boundary - kModel.boundary), 0.2);
}

// A joint fit divides each level by its own parameters' window probability.
TEST(TruncatedFit, JointFitOfOneLevelIsTheSingleFit) {
  const Arrays a = cut(600, 12, 0.4, 1.5);
  const Truncation window = Truncation::window(0.4, 1.5).value();
  const auto single = fit_ml(a.view(), LikelihoodModel::Ddm, Contaminants{}, window);
  const std::vector<ObservedTrials> levels{a.view()};
  const auto joint = fit_ml_joint(levels, LikelihoodModel::Ddm, {}, Contaminants{}, window);
  ASSERT_TRUE(single && joint);
  EXPECT_NEAR(joint.value().log_likelihood, single.value().log_likelihood, 1e-6);
}

}  // namespace
}  // namespace corvatel
