// wfpt_log_density_gradient: the log density bit for bit, each derivative
// against a five-point difference of the density itself, the gradient
// batch as the scalar function whatever the pool.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "corvatel/parameters.h"
#include "corvatel/wfpt.h"

namespace corvatel {
namespace {

struct Point {
  std::string name;
  double rt;
  bool choice;
  ModelParams p;
};

void PrintTo(const Point& point, std::ostream* os) { *os << point.name; }

std::vector<Point> points() {
  return {
      {"plain_short", 0.35, true, {1.2, 1.5, 0.55, 0.3}},
      {"plain_long", 2.4, false, {-0.8, 2.0, 0.4, 0.25}},
      {"plain_fast_times", 0.32, false, {0.5, 1.0, 0.3, 0.3}},  // u ~ 0.02: images
      {"plain_noise", 0.9, true, {0.6, 0.12, 0.5, 0.2, 0.1}},
      {"sv", 0.7, true, {1.0, 1.4, 0.5, 0.3, 1.0, 0.9}},
      {"sv_long", 3.0, false, {2.0, 1.8, 0.6, 0.3, 1.0, 1.5}},
      {"sz", 0.6, true, {1.0, 1.4, 0.5, 0.3, 1.0, 0.0, 0.3}},
      {"st", 0.6, false, {-1.0, 1.6, 0.45, 0.35, 1.0, 0.0, 0.0, 0.2}},
      {"st_clipped", 0.34, true, {1.5, 1.2, 0.5, 0.3, 1.0, 0.0, 0.0, 0.12}},
      {"sz_st", 0.8, true, {1.3, 1.5, 0.55, 0.3, 1.0, 0.0, 0.25, 0.15}},
      {"sz_st_clipped", 0.32, false, {-0.8, 1.3, 0.45, 0.3, 1.0, 0.0, 0.2, 0.1}},
      {"sz_st_long", 2.2, false, {1.1, 1.2, 0.4, 0.3, 1.0, 0.0, 0.15, 0.2}},
      {"sz_st_noise", 0.9, true, {0.6, 0.8, 0.5, 0.25, 0.5, 0.0, 0.2, 0.1}},
      {"sz_st_no_drift", 0.7, true, {0.0, 1.2, 0.5, 0.3, 1.0, 0.0, 0.2, 0.1}},
      {"sv_sz_st", 1.1, false, {0.7, 1.7, 0.5, 0.3, 1.0, 0.8, 0.3, 0.2}},
      // The start window reaching to within 0.03 of the responding boundary,
      // decision times on its leading edge: the nested quadrature's worst.
      {"sv_sz_st_window_at_the_bound", 0.3641023167361987, true,
       {4.882568963322909, 1.0360372935081417, 0.6180028799989741, 0.3328056447746626, 1.0, 0.8345441069589732,
        0.7438608934143063, 0.33132529122391174}},
      {"sv_sz_st_wide_drift_spread", 0.2667603385871931, true,
       {0.0, 1.7874466441044485, 0.7297219765143322, 0.23819208682269497, 1.0, 2.749566134625917, 0.5273775519809415,
        0.10608194025277584}},
      // Start windows over 0.8 of their room, with sv: the adaptive quadrature
      // over time with the graded rule over the start.
      {"sv_sz_st_window_near_the_lower_bound", 0.5338031294267597, false,
       {0.05910812350128358, 2.125695544488903, 0.3932478838158901, 0.48459483414117316, 1.0, 0.4677471780157282,
        0.6379648951596714, 0.12275974091074837}},
      {"sz_st_window_at_both_bounds", 0.57038659942515679, false,
       {1.2410897953830609, 1.3641833351057426, 0.4127843127853356, 0.4715007712454389, 1.0, 0.025240927020319492,
        0.8082691360881062, 0.07864403885699685}},
      {"mixture", 0.9, true, {1.0, 1.4, 0.5, 0.3, 1.0, 0.0, 0.0, 0.0, 0.05}},
      {"mixture_full", 1.4, false, {0.9, 1.5, 0.45, 0.3, 1.0, 0.6, 0.2, 0.1, 0.2}},
  };
}

double& field(ModelParams& p, Param param) { return p.*kParams[static_cast<std::size_t>(param)].field; }

// The log density of the mixture, with the variabilities' averages far
// tighter than the derivative needs.
double log_density(double rt, bool choice, const ModelParams& p) {
  return log_mixture(wfpt_log_density(rt, choice, p, 1e-13), rt, p.p_outlier, OutlierWindow{});
}

// (-f(2h) + 8 f(h) - 8 f(-h) + f(-2h)) / 12h: error h^4 f^(5) / 30, and
// rounding of about 1e-13 |log f| / h.
double five_point(const Point& pt, Param param, double h) {
  const auto at = [&](double step) {
    ModelParams p = pt.p;
    field(p, param) += step;
    return log_density(pt.rt, pt.choice, p);
  };
  return (-at(2.0 * h) + 8.0 * at(h) - 8.0 * at(-h) + at(-2.0 * h)) / (12.0 * h);
}

class WfptGradientTest : public testing::TestWithParam<Point> {};

TEST_P(WfptGradientTest, LogDensityIsTheDensitysOwn) {
  const Point& pt = GetParam();
  const double expected = log_mixture(wfpt_log_density(pt.rt, pt.choice, pt.p), pt.rt, pt.p.p_outlier, {});
  const double got = wfpt_log_density_gradient(pt.rt, pt.choice, pt.p).log_density;
  EXPECT_EQ(std::memcmp(&expected, &got, sizeof got), 0) << expected << " " << got;
}

TEST_P(WfptGradientTest, EachDerivativeIsTheDensitysDifference) {
  const Point& pt = GetParam();
  const DensityGradient g = wfpt_log_density_gradient(pt.rt, pt.choice, pt.p);
  for (std::size_t k = 0; k < kGradientParams.size(); ++k) {
    const Param param = kGradientParams[k];
    const double value = field(const_cast<ModelParams&>(pt.p), param);
    // A variability at 0 sits at the edge of its range: its derivative is
    // one-sided, and 0 by symmetry for sz and st.
    if ((param == Param::Sz || param == Param::St || param == Param::Sv || param == Param::POutlier) &&
        value == 0.0) {
      if (param == Param::Sz || param == Param::St) {
        EXPECT_EQ(g.d[k], 0.0) << kParams[static_cast<std::size_t>(param)].name;
      }
      continue;
    }
    const double h = 1e-3 * std::min(1.0, value == 0.0 ? 1.0 : std::fabs(value));
    const double expected = five_point(pt, param, h);
    EXPECT_NEAR(g.d[k], expected, 1e-6 * std::max(1.0, std::fabs(expected)))
        << kParams[static_cast<std::size_t>(param)].name;
  }
}

INSTANTIATE_TEST_SUITE_P(Points, WfptGradientTest, testing::ValuesIn(points()),
                         [](const testing::TestParamInfo<Point>& info) { return info.param.name; });

// The density comes from the same pass as its slopes: it must be the
// density's own bits over every branch of the series (both series, both
// edges of the start, tiny and huge times, sv, extreme drifts).
TEST(WfptGradientEdgesTest, LogDensityKeepsItsBitsOverTheSeriesBranches) {
  int compared = 0;
  for (const double tau : {1e-95, 1e-6, 0.004, 0.1, 0.449, 0.451, 2.0, 40.0, 1e4}) {
    for (const double start : {1e-9, 0x1p-13, 0.2, 0.5, 0.7, 1.0 - 0x1p-13, 1.0 - 1e-9}) {
      for (const double drift : {-8.0, 0.0, 1.5}) {
        for (const double sv : {0.0, 1.2}) {
          for (const bool choice : {false, true}) {
            const ModelParams p{drift, 1.3, start, 0.2, 1.0, sv};
            const double rt = 0.2 + tau;
            const double expected = wfpt_log_density(rt, choice, p);
            const DensityGradient got = wfpt_log_density_gradient(rt, choice, p);
            ASSERT_EQ(std::memcmp(&expected, &got.log_density, sizeof expected), 0)
                << tau << " " << start << " " << drift << " " << sv << " " << choice;
            if (std::isfinite(expected) && expected > -700.0) {
              for (const double d : got.d) ASSERT_TRUE(std::isfinite(d)) << tau << " " << start;
            }
            ++compared;
          }
        }
      }
    }
  }
  EXPECT_EQ(compared, 756);
}

TEST(WfptGradientEdgesTest, NoDensityNoSlopeButTheContaminantsOwn) {
  const ModelParams plain{1.0, 1.4, 0.5, 0.3};
  const DensityGradient before_t0 = wfpt_log_density_gradient(0.2, true, plain);
  EXPECT_EQ(before_t0.log_density, -std::numeric_limits<double>::infinity());
  for (const double d : before_t0.d) EXPECT_EQ(d, 0.0);
  ModelParams mixed = plain;
  mixed.p_outlier = 0.04;
  const DensityGradient contaminant = wfpt_log_density_gradient(0.2, true, mixed);
  EXPECT_DOUBLE_EQ(contaminant.log_density, std::log(0.04 * 0.5 / 5.0));
  EXPECT_DOUBLE_EQ(contaminant.d.back(), 1.0 / 0.04);
  for (std::size_t k = 0; k + 1 < contaminant.d.size(); ++k) EXPECT_EQ(contaminant.d[k], 0.0);
}

// A time window that rounds to nothing at the response time is none, as
// in the density: every slope was 0 (the density itself was right).
TEST(WfptGradientEdgesTest, AWindowBelowTheDoublesSpacingIsNone) {
  for (const double sz : {0.0, 0.2}) {
    const ModelParams none{1.0, 1.5, 0.5, 0.3, 1.0, 0.0, sz, 0.0};
    const DensityGradient expected = wfpt_log_density_gradient(0.8, true, none);
    for (const double st : {1e-17, 5e-324}) {
      ModelParams tiny = none;
      tiny.st = st;
      const DensityGradient got = wfpt_log_density_gradient(0.8, true, tiny);
      EXPECT_EQ(got.log_density, expected.log_density) << sz << " " << st;
      for (std::size_t k = 0; k < got.d.size(); ++k) EXPECT_EQ(got.d[k], expected.d[k]) << sz << " " << st << " " << k;
    }
  }
}

// The cheap means over the windows (a fixed rule, taken where it gives the
// density itself) against the adaptive quadrature at a far tighter
// tolerance, over response times from the window's start into the tail:
// narrow and wide windows, each alone and both, with sv, both responses.
TEST(WfptGradientWindowsTest, MeansAgreeWithTheTightQuadratureAcrossTimes) {
  const ModelParams sets[] = {
      {1.0, 1.5, 0.5, 0.3, 1.0, 0.0, 0.2, 0.0},  {1.0, 1.5, 0.5, 0.3, 1.0, 0.0, 0.0, 0.1},
      {1.0, 1.5, 0.5, 0.3, 1.0, 0.0, 0.2, 0.1},  {1.0, 1.5, 0.5, 0.3, 1.0, 0.8, 0.2, 0.1},
      {0.5, 1.2, 0.5, 0.4, 1.0, 2.0, 0.05, 0.6}, {-1.5, 2.2, 0.4, 0.25, 1.0, 1.0, 0.4, 0.3},
  };
  int compared = 0;
  for (const ModelParams& p : sets) {
    for (double rt = p.t0 - p.st / 2.0 + 0.002; rt < 5.0; rt *= 1.07) {
      for (const bool choice : {false, true}) {
        const DensityGradient got = wfpt_log_density_gradient(rt, choice, p);
        const DensityGradient tight = wfpt_log_density_gradient(rt, choice, p, {}, 1e-12);
        if (!(tight.log_density > -60.0)) continue;  // the tight quadrature runs out of budget far out
        for (std::size_t k = 0; k + 1 < kGradientParams.size(); ++k) {
          ASSERT_NEAR(got.d[k], tight.d[k], 1e-7 * std::max(1.0, std::fabs(tight.d[k])))
              << kParams[static_cast<std::size_t>(kGradientParams[k])].name << " rt " << rt << " sz " << p.sz
              << " st " << p.st;
        }
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 500);
}

TEST(WfptGradientBatchTest, EveryElementIsTheScalarGradientWhateverThePool) {
  const std::size_t n = 400;
  std::vector<double> rt, drift;
  std::vector<std::uint8_t> choice;
  for (std::size_t i = 0; i < n; ++i) {
    rt.push_back(0.25 + 0.004 * static_cast<double>(i));
    drift.push_back(-1.5 + 0.0075 * static_cast<double>(i));
    choice.push_back(static_cast<std::uint8_t>(i % 3 == 0));
  }
  DensityColumns in;
  in.n = n;
  in.rt.values = rt;
  in.choice.values = choice;
  in.drift.values = drift;
  in.boundary.scalar = 1.3;
  in.start.scalar = 0.5;
  in.t0.scalar = 0.3;
  in.noise_sd.scalar = 1.0;
  in.sv.scalar = 0.5;
  in.sz.scalar = 0.1;
  in.p_outlier.scalar = 0.02;
  const std::size_t m = kGradientParams.size();
  WorkerPool one(1);
  WorkerPool three(3);
  std::vector<double> log_a(n), log_b(n), grad_a(n * m), grad_b(n * m);
  ASSERT_FALSE(log_density_gradients(in, log_a, grad_a, one));
  ASSERT_FALSE(log_density_gradients(in, log_b, grad_b, three));
  EXPECT_EQ(std::memcmp(log_a.data(), log_b.data(), n * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(grad_a.data(), grad_b.data(), n * m * sizeof(double)), 0);
  for (std::size_t i = 0; i < n; i += 37) {
    const DensityGradient g = wfpt_log_density_gradient(rt[i], choice[i] != 0, in.params_at(i), in.outlier_window);
    EXPECT_EQ(g.log_density, log_a[i]);
    for (std::size_t k = 0; k < m; ++k) EXPECT_EQ(g.d[k], grad_a[k * n + i]) << i << " " << k;
  }
  in.boundary.scalar = -1.0;
  const auto bad = log_density_gradients(in, log_a, grad_a, one);
  ASSERT_TRUE(bad);
  EXPECT_EQ(std::get<ParamError>(*bad).param(), Param::Boundary);
}

}  // namespace
}  // namespace corvatel
