// wfpt_log_cdf: 0 before the earliest response, the response's probability
// at infinity (both responses summing to 1), monotone in rt, F plus its
// complement equal to P, increments equal to the density integrated
// numerically, the tail's complement to its leading Fourier term; the batch
// entry's bits on pools of 1 and 3, its first invalid element, its stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <string>
#include <variant>
#include <vector>

#include "corvatel/internal/wfpt_cdf.h"
#include "corvatel/internal/wfpt_series.h"
#include "corvatel/wfpt.h"

namespace corvatel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

double cdf(double rt, bool choice, const ModelParams& p) { return std::exp(wfpt_log_cdf(rt, choice, p)); }
double after(double rt, bool choice, const ModelParams& p) {
  return std::exp(wfpt_log_cdf(rt, choice, p, CdfSide::Above));
}

struct Case {
  std::string name;
  ModelParams p;
};

const std::vector<Case> kCases = {
    {"ddm", {1.0, 1.5, 0.5, 0.3, 1.0, 0.0, 0.0, 0.0}},
    {"biased_negative_drift", {-2.5, 0.8, 0.3, 0.2, 1.0, 0.0, 0.0, 0.0}},
    {"zero_drift_wide", {0.0, 4.0, 0.7, 0.3, 1.0, 0.0, 0.0, 0.0}},
    {"steep", {5.0, 2.0, 0.9, 0.3, 1.0, 0.0, 0.0, 0.0}},
    {"noise_sd", {0.6, 0.9, 0.4, 0.2, 0.5, 0.0, 0.0, 0.0}},
    {"sv", {1.0, 1.5, 0.5, 0.3, 1.0, 1.0, 0.0, 0.0}},
    {"sz", {-1.0, 1.2, 0.45, 0.3, 1.0, 0.0, 0.3, 0.0}},
    {"st", {1.0, 1.5, 0.5, 0.3, 1.0, 0.0, 0.0, 0.2}},
    {"sv_sz_st", {0.5, 1.2, 0.55, 0.3, 1.0, 0.8, 0.2, 0.15}},
    // Passages within 0.1 ms, a window of non-decision times 3000 times wider.
    {"narrow_band_wide_st", {50.0, 0.01, 0.5, 0.3, 1.0, 0.0, 0.0, 0.3}},
};

class WfptCdfTest : public ::testing::TestWithParam<Case> {};

TEST_P(WfptCdfTest, ZeroBeforeTheEarliestResponseAndTheResponseProbabilityAfterAll) {
  const ModelParams& p = GetParam().p;
  const double earliest = p.t0 - p.st / 2.0;
  for (const bool choice : {false, true}) {
    const double total = cdf(kInf, choice, p);
    for (const double rt : {-kInf, 0.0, earliest}) {
      EXPECT_EQ(wfpt_log_cdf(rt, choice, p), -kInf) << rt;
      EXPECT_EQ(after(rt, choice, p), total) << rt;
    }
    EXPECT_EQ(wfpt_log_cdf(kInf, choice, p, CdfSide::Above), -kInf);
    // Long after the last response both are there.
    EXPECT_NEAR(cdf(p.t0 + 200.0, choice, p), total, 1e-12);
  }
  EXPECT_NEAR(cdf(kInf, false, p) + cdf(kInf, true, p), 1.0, 1e-10);
}

TEST_P(WfptCdfTest, RisesWithRtAndItsComplementMakesUpTheResponseProbability) {
  const ModelParams& p = GetParam().p;
  // Each value is within kCdfTolerance of itself; with no variability the
  // closed forms are within rounding.
  const double tolerance = p.sv == 0.0 && p.sz == 0.0 && p.st == 0.0 ? 1e-12 : 4.0 * kCdfTolerance;
  // With every variability each value is a triple integral: every tenth
  // point of the same grid.
  const int step = p.sv > 0.0 && p.sz > 0.0 && p.st > 0.0 ? 10 : 1;
  for (const bool choice : {false, true}) {
    const double total = cdf(kInf, choice, p);
    double previous = 0.0;
    for (int i = step; i <= 400; i += step) {
      const double rt = p.t0 - p.st / 2.0 + 0.0005 * i * i / 16.0;  // to 5 s, dense early
      const double f = cdf(rt, choice, p);
      ASSERT_GE(f, previous * (1.0 - tolerance)) << rt;
      ASSERT_NEAR(f + after(rt, choice, p), total, tolerance * total) << rt;
      previous = f;
    }
  }
}

// 8-point Gauss-Legendre on 600 panels of the density: error far below 1e-12
// for these smooth integrands (every derivative of the density vanishes at
// the earliest response).
double integrated_density(double lo, double hi, bool choice, const ModelParams& p) {
  constexpr std::array<double, 4> x = {0.183434642495649805, 0.525532409916328986, 0.796666477413626740,
                                       0.960289856497536232};
  constexpr std::array<double, 4> wt = {0.362683783378361983, 0.313706645877887287, 0.222381034453374471,
                                        0.101228536290376259};
  constexpr int kPanels = 600;
  const double h = (hi - lo) / kPanels;
  double sum = 0.0;
  for (int k = 0; k < kPanels; ++k) {
    const double mid = lo + (k + 0.5) * h;
    for (std::size_t i = 0; i < x.size(); ++i) {
      for (const double sign : {-1.0, 1.0}) {
        sum += wt[i] * 0.5 * h * std::exp(wfpt_log_density(mid + sign * 0.5 * h * x[i], choice, p));
      }
    }
  }
  return sum;
}

TEST_P(WfptCdfTest, IncrementsAreTheDensityIntegrated) {
  const ModelParams& p = GetParam().p;
  const double earliest = p.t0 - p.st / 2.0;
  for (const bool choice : {false, true}) {
    for (const auto& [lo, hi] : {std::pair{earliest, p.t0 + 0.25}, std::pair{p.t0 + 0.25, p.t0 + 1.0},
                                 std::pair{p.t0 + 1.0, p.t0 + 4.0}}) {
      const double expected = integrated_density(lo, hi, choice, p);
      EXPECT_NEAR(cdf(hi, choice, p) - cdf(lo, choice, p), expected, 2e-9) << lo << " " << hi << " " << choice;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Models, WfptCdfTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(WfptCdfLimitTest, ResponseProbabilityIsTheClosedForm) {
  for (const double drift : {-5.0, -0.3, 0.0, 1e-9, 2.0, 5.0}) {
    for (const double boundary : {0.5, 1.5, 4.0}) {
      for (const double start : {0.1, 0.5, 0.9}) {
        const ModelParams p{drift, boundary, start, 0.3, 1.0, 0.0, 0.0, 0.0};
        const double upper = internal::upper_probability(drift, boundary, start, 1.0);
        const double lower = internal::upper_probability(-drift, boundary, 1.0 - start, 1.0);
        EXPECT_NEAR(cdf(kInf, true, p), upper, 1e-13 * upper) << drift << " " << boundary << " " << start;
        EXPECT_NEAR(cdf(kInf, false, p), lower, 1e-13 * lower) << drift << " " << boundary << " " << start;
      }
    }
  }
}

// A drift spread far below the drift's own last digit is no spread: the
// values are those of sv = 0 (they differ from them by O(sv^2)), with and
// without the other variabilities, on both sides and at both extremes of
// time. Likelihood fits reach such sv (a fitted sv of 1e-120 is common),
// and a response-time window's probability is made of these values.
TEST(WfptCdfLimitTest, ATinyDriftSpreadIsNoSpread) {
  const ModelParams base{0.505, 1.17, 0.515, 0.32, 1.0, 0.0, 0.0, 0.0};
  for (const auto& [sz, st] : {std::pair{0.0, 0.0}, std::pair{0.4, 0.0}, std::pair{0.0, 0.1}, std::pair{0.4, 0.1}}) {
    ModelParams fixed = base;
    fixed.sz = sz;
    fixed.st = st;
    for (const double sv : {1e-300, 1e-120, 1e-20, 1e-12, 1e-8}) {
      ModelParams spread = fixed;
      spread.sv = sv;
      for (const bool choice : {false, true}) {
        for (const double rt : {0.45, 1.0, 1.8, kInf}) {
          for (const CdfSide side : {CdfSide::Below, CdfSide::Above}) {
            const double expected = wfpt_log_cdf(rt, choice, fixed, side);
            if (std::isinf(expected)) {
              EXPECT_EQ(wfpt_log_cdf(rt, choice, spread, side), expected);
              continue;
            }
            EXPECT_NEAR(wfpt_log_cdf(rt, choice, spread, side), expected, 2.0 * kCdfTolerance)
                << sz << " " << st << " " << sv << " " << choice << " " << rt << " " << (side == CdfSide::Above);
          }
        }
      }
    }
  }
}

// Late in the tail P - F is the first Fourier term integrated,
// (pi / a^2) e^{-v a w} sin(pi w) e^{-lambda_1 tau} / lambda_1 (the second is
// e^{-3 pi^2 u / 2} smaller): the complement keeps its relative digits far
// below P, and its log where it underflows.
// A wide band and drift spread: S's quadrature over the drift runs past its
// budget (the closed forms over time fail for many drifts), and its estimate
// so far was 0.2% off, and not monotone in rt.
TEST(WfptCdfLimitTest, ComplementOfAWideDriftSpreadMakesUpTheResponseProbability) {
  for (const double sv : {1.5, 3.0685846920129363, 4.0}) {
    const ModelParams p{1e-7, 5.2140725139734805, 0.44436754954321245, 0.4515080494849893, 1.0, sv, 0.0, 0.0};
    const double total = cdf(kInf, true, p);
    double previous = total;
    for (const double rt : {0.6, 0.95, 0.96, 0.975, 0.99, 1.5, 3.0}) {
      const double s = after(rt, true, p);
      EXPECT_NEAR(cdf(rt, true, p) + s, total, 4.0 * kCdfTolerance * total) << sv << " " << rt;
      EXPECT_LT(s, previous) << sv << " " << rt;
      previous = s;
    }
  }
}

TEST(WfptCdfLimitTest, ComplementInTheTailIsTheLeadingFourierTerm) {
  const double v = 1.5;
  const double a = 1.2;
  const double w = 0.4;
  const ModelParams p{v, a, w, 0.3, 1.0, 0.0, 0.0, 0.0};
  const double pi = std::numbers::pi;
  const double lambda1 = v * v / 2.0 + pi * pi / (2.0 * a * a);
  for (const double tau : {15.0, 100.0, 1000.0}) {
    const double log_expected = std::log(pi / (a * a) * std::sin(pi * w) / lambda1) - v * a * w - lambda1 * tau;
    EXPECT_NEAR(wfpt_log_cdf(0.3 + tau, false, p, CdfSide::Above), log_expected, 1e-11 * std::fabs(log_expected))
        << tau;
  }
}

// The closed forms against quadrature of the density alone, both sides,
// across the series switch (u = 0.45) and in both tails.
TEST(WfptCdfLimitTest, ClosedFormsAgreeWithQuadratureOfTheDensity) {
  for (const double v : {-4.0, 0.0, 0.7, 3.0}) {
    for (const double a : {0.5, 1.5, 4.0}) {
      for (const double w : {0.1, 0.5, 0.85}) {
        const internal::LowerBoundary m{v, a, 0.0, 1.0 / (a * a)};
        for (const double u : {0.002, 0.05, 0.3, 0.45, 0.6, 3.0}) {
          for (const CdfSide side : {CdfSide::Below, CdfSide::Above}) {
            std::size_t budget = 4096;
            const double tau = u * a * a;
            const double closed = internal::log_cdf_fixed_drift(m, tau, w, w, side, 1e-12, budget);
            const double quadrature = internal::log_cdf_by_quadrature(m, tau, w, side, 1e-12, budget);
            EXPECT_NEAR(closed, quadrature, 1e-9 * std::max(1.0, std::fabs(closed)))
                << v << " " << a << " " << w << " " << u << " " << (side == CdfSide::Above);
          }
        }
      }
    }
  }
}

// ---- The batch entry ----

struct Batch {
  std::vector<double> rt;
  std::vector<std::uint8_t> choice;
  std::vector<double> drift;
  DensityColumns columns(double sv, double sz, double st) const {
    DensityColumns in;
    in.n = rt.size();
    in.rt.values = rt;
    in.choice.values = choice;
    in.drift.values = drift;
    in.boundary.scalar = 1.4;
    in.start.scalar = 0.45;
    in.t0.scalar = 0.3;
    in.noise_sd.scalar = 1.0;
    in.sv.scalar = sv;
    in.sz.scalar = sz;
    in.st.scalar = st;
    return in;
  }
};

Batch make_batch(std::size_t n) {
  Batch b;
  for (std::size_t i = 0; i < n; ++i) {
    b.rt.push_back(0.2 + 0.0037 * static_cast<double>(i % 997));
    b.choice.push_back(static_cast<std::uint8_t>(i % 3 == 0));
    b.drift.push_back(-2.0 + 0.01 * static_cast<double>(i % 401));
  }
  return b;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(WfptCdfBatchTest, EveryElementIsTheScalarValueWhateverThePool) {
  const Batch b = make_batch(600);
  WorkerPool one(1);
  WorkerPool three(3);
  for (const auto& [sv, sz, st] : {std::array{0.0, 0.0, 0.0}, std::array{0.0, 0.2, 0.15}, std::array{0.8, 0.0, 0.0}}) {
    const DensityColumns in = b.columns(sv, sz, st);
    for (const CdfSide side : {CdfSide::Below, CdfSide::Above}) {
      std::vector<double> a(in.n), c(in.n), lin(in.n);
      ASSERT_FALSE(distribution_functions(in, a, side, DensityScale::Log, one));
      ASSERT_FALSE(distribution_functions(in, c, side, DensityScale::Log, three));
      ASSERT_FALSE(distribution_functions(in, lin, side, DensityScale::Linear, three));
      for (std::size_t i = 0; i < in.n; ++i) {
        const double expected = wfpt_log_cdf(b.rt[i], b.choice[i] != 0, in.params_at(i), side);
        ASSERT_TRUE(same_bits(a[i], expected)) << i;
        ASSERT_TRUE(same_bits(c[i], expected)) << i;
        ASSERT_TRUE(same_bits(lin[i], std::exp(expected))) << i;
      }
    }
  }
}

TEST(WfptCdfBatchTest, TheFirstInvalidElementIsReported) {
  for (const std::size_t n : {std::size_t{10}, std::size_t{5000}}) {
    Batch b = make_batch(n);
    std::vector<double> sz(n, 0.1);
    sz[n - 2] = -1.0;           // a later error of another kind
    sz[n / 2] = 0.9;            // the first: the window reaches 0
    b.rt[n / 2 + 1] = std::nan("");
    DensityColumns in = b.columns(0.0, 0.0, 0.0);
    in.sz.values = sz;
    std::vector<double> out(n);
    WorkerPool pool(2);
    const auto failure = distribution_functions(in, out, CdfSide::Below, DensityScale::Linear, pool);
    ASSERT_TRUE(failure);
    ASSERT_TRUE(std::holds_alternative<ParamError>(*failure));
    EXPECT_EQ(std::get<ParamError>(*failure), ParamError::density_start_window()) << n;
  }
}

TEST(WfptCdfBatchTest, AStopEndsTheBatch) {
  const Batch b = make_batch(100000);
  std::vector<double> out(b.rt.size());
  std::atomic<int> asked{0};
  WorkerPool pool(2);
  const auto failure =
      distribution_functions(b.columns(0.8, 0.2, 0.15), out, CdfSide::Below, DensityScale::Log, pool, [&] {
        ++asked;
        return true;
      });
  ASSERT_TRUE(failure);
  EXPECT_TRUE(std::holds_alternative<DensitiesInterrupted>(*failure));
  EXPECT_EQ(asked.load(), 1);
}

}  // namespace
}  // namespace corvatel
