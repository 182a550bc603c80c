// The densities at the edges of their domain: windows narrower than the
// doubles' spacing, scales where the plain products over- or underflow or
// cancel, starts next to either boundary, and the adaptive quadrature's
// accuracy where no closed form serves. Each expected value comes from an
// identity of the model or an integral written out here, not from the code
// under test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

#include "corvatel/internal/wfpt_series.h"
#include "corvatel/wfpt.h"

namespace corvatel {
namespace {

constexpr double kPi = std::numbers::pi;

struct Case {
  double rt;
  bool choice;
  ModelParams p;
};

// ---- Windows that round to nothing are no windows ----

class NarrowWindow : public testing::TestWithParam<Case> {};

TEST_P(NarrowWindow, GivesTheDensityWithoutIt) {
  const auto& [rt, choice, p] = GetParam();
  ModelParams plain = p;
  plain.sz = 0.0;
  plain.st = 0.0;
  const double expected = wfpt_log_density(rt, choice, plain);
  ASSERT_TRUE(std::isfinite(expected));
  EXPECT_EQ(wfpt_log_density(rt, choice, p), expected);
}

INSTANTIATE_TEST_SUITE_P(WfptExtremes, NarrowWindow,
                         testing::Values(Case{1.0, true, {0, 1, 0.5, 0.3, 1, 0, 1e-17, 0}},
                                         Case{1.0, true, {0, 1, 0.5, 0.3, 1, 0, 0, 1e-17}},
                                         Case{1.0, false, {1, 1.5, 0.5, 0.3, 1, 0.5, 1e-17, 1e-17}},
                                         Case{1e20, false, {1, 1.5, 0.5, 0.3, 1, 0, 0, 0.1}},
                                         Case{1e20, true, {1, 1.5, 0.5, 0.3, 1, 2.0, 0.2, 0.1}}));

// ---- Scales: the model seen at another time or noise scale ----

// With time scaled by c, boundary by sqrt c and drifts by 1 / sqrt c, the
// walk is the same walk: log f(c rt) = log f(rt) - log c. Scaling the
// boundary, drifts and noise alike changes nothing. Large c takes boundary^2,
// sv^2 tau or the factors of the density out of the doubles' range, where the
// density must still be exact.
struct ScaledCase {
  Case base;
  double time_scale;
  double noise_scale;
};

class ScaledModel : public testing::TestWithParam<ScaledCase> {};

TEST_P(ScaledModel, IsTheSameWalk) {
  const auto& [base, c, k] = GetParam();
  const double expected = wfpt_log_density(base.rt, base.choice, base.p) - std::log(c);
  const double root = std::sqrt(c);
  ModelParams q = base.p;
  q.t0 *= c;
  q.st *= c;
  q.boundary *= root * k;
  q.drift *= k / root;
  q.sv *= k / root;
  q.noise_sd *= k;
  const double got = wfpt_log_density(base.rt * c, base.choice, q);
  // The windows' quadrature meets its 1e-9 target; the rest is rounding of
  // the scaled arguments (a few ulps of log c).
  const double tolerance = (base.p.sz > 0 || base.p.st > 0) ? 1e-9 : 1e-12;
  EXPECT_NEAR(got, expected, tolerance * std::max(1.0, std::fabs(expected)));
}

const Case kBases[] = {
    {0.6, true, {1.0, 1.5, 0.5, 0.3, 1.0, 0.0, 0.0, 0.0}},   {0.32, false, {-2.0, 0.8, 0.3, 0.3, 1.0, 2.0, 0, 0}},
    {4.0, true, {3.0, 2.0, 0.7, 0.3, 1.0, 0.5, 0.0, 0.0}},   {0.45, false, {1.0, 1.5, 0.4, 0.3, 1.0, 1.0, 0.2, 0.0}},
    {0.7, true, {-0.5, 1.2, 0.5, 0.3, 1.0, 0.0, 0.0, 0.2}},  {0.9, false, {0.5, 1.2, 0.45, 0.3, 1.0, 0.0, 0.1, 0.1}},
    {0.5, true, {1.0, 1.0, 0.5, 0.3, 1.0, 1.5, 0.1, 0.1}},
};

std::vector<ScaledCase> scaled_cases() {
  std::vector<ScaledCase> out;
  for (const Case& base : kBases) {
    for (const double c : {1e-300, 1e-150, 1e150, 1e300, 1e308}) {
      if (base.rt * c < std::numeric_limits<double>::max()) out.push_back({base, c, 1.0});
    }
    for (const double k : {1e-150, 1e150}) out.push_back({base, 1.0, k});
    out.push_back({base, 1e-200, 1e120});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(WfptExtremes, ScaledModel, testing::ValuesIn(scaled_cases()));

// The sv density far out: with sv^2 tau = 1e18 the exponents -w^2 / 2u and
// sv^2 a^2 w^2 / 2(1 + sv^2 tau) are each 1.25e23 and cancel to -1.25e5.
// Their sum is -(a w + v tau)^2 / (2 tau (1 + sv^2 tau)), and at u = 1e-24
// the other images vanish.
TEST(WfptExtremes, DriftVariabilityAgainstASteepBoundary) {
  const long double tau = 1.0000000023L, a = 1e12L, w = 0.5L, s = 1e9L;
  const long double d = 1.0L + s * s * tau;
  const long double u = tau / (a * a);
  const long double expected = std::log(w / std::sqrt(2.0L * std::numbers::pi_v<long double> * u * u * u)) -
                               2.0L * std::log(a) - 0.5L * std::log(d) - (a * w) * (a * w) / (2.0L * tau * d);
  const double got = wfpt_log_density(1.0000000023, true, {0.0, 1e12, 0.5, 0.0, 1.0, 1e9, 0.0, 0.0});
  EXPECT_NEAR(got, static_cast<double>(expected), 1e-9 * std::fabs(static_cast<double>(expected)));
}

// At u = 1e-100 the mean over the start of the leading image is elementary:
// (e^{-w1^2 / 2u} - e^{-w2^2 / 2u}) / (sz sqrt(2 pi u)), the second term
// and the other images far below the first one's last digit.
TEST(WfptExtremes, StartWindowAtATinyTime) {
  const double u = 1e-100, w1 = 0.5 - 5e-4, sz = 1e-3;
  const double expected = -w1 * w1 / (2.0 * u) - std::log(sz) - 0.5 * std::log(2.0 * kPi * u);
  const double got = wfpt_log_density(1e-100, true, {0.0, 1.0, 0.5, 0.0, 1.0, 0.0, sz, 0.0});
  EXPECT_NEAR(got, expected, 4.0 * std::numeric_limits<double>::epsilon() * std::fabs(expected));
}

// ---- Starts next to a boundary ----

// The zero-drift density from the Fourier series, summed here with
// sin(k pi (1 - far)) = (-1)^{k+1} sin(k pi far), so that a start next to the
// far boundary keeps its accuracy; for u >= 0.1 the terms cancel little.
double fourier_log_unit_density(double u, double near, double far) {
  double sum = 0.0;
  for (int k = 1; k < 60; ++k) {
    const double x = near < far ? std::sin(k * kPi * near) : (k % 2 == 1 ? 1.0 : -1.0) * std::sin(k * kPi * far);
    sum += k * std::exp(-k * k * kPi * kPi * u / 2.0) * x;
  }
  return std::log(kPi * sum);
}

struct EdgeCase {
  double u;
  double distance;  // from the boundary the start is next to
};

class StartNextToABoundary : public testing::TestWithParam<EdgeCase> {};

TEST_P(StartNextToABoundary, UnitDensityMatchesTheFourierSeries) {
  const auto [u, distance] = GetParam();
  // Next to the absorbing boundary, and next to the far one (1 - w is then
  // exactly the distance of the w that 1 - distance rounds to).
  EXPECT_NEAR(internal::log_unit_density(u, distance), fourier_log_unit_density(u, distance, 1.0 - distance), 1e-12);
  const double w = 1.0 - distance;
  if (w < 1.0) {
    EXPECT_NEAR(internal::log_unit_density(u, w), fourier_log_unit_density(u, w, 1.0 - w), 1e-12);
  }
}

TEST_P(StartNextToABoundary, DensityKeepsTheStartsDigits) {
  // The upper response from start z is the lower one from 1 - z, which
  // rounds; the density must use z itself.
  const auto [u, z] = GetParam();
  const double a = 1.3, v = 0.7, s = 0.4, t0 = 0.2;
  const double tau = u * a * a;
  const double d = 1.0 + s * s * tau;
  // Reflected: drift -v from w = 1 - z. Only the unit density needs z's own
  // digits; the drift and sv factor is smooth in w.
  const double vr = -v, wr = 1.0 - z;
  const double expected = fourier_log_unit_density(u, wr, z) - 2.0 * std::log(a) - 0.5 * std::log(d) +
                          (s * s * a * a * wr * wr - 2.0 * vr * a * wr - vr * vr * tau) / (2.0 * d);
  const ModelParams p{v, a, z, t0, 1.0, s, 0.0, 0.0};
  EXPECT_NEAR(wfpt_log_density(t0 + tau, true, p), expected, 1e-11);
}

INSTANTIATE_TEST_SUITE_P(WfptExtremes, StartNextToABoundary,
                         testing::Values(EdgeCase{0.1, 1e-6}, EdgeCase{0.1, 1e-12}, EdgeCase{0.2, 1e-9},
                                         EdgeCase{0.3, 1e-15}, EdgeCase{0.44, 1e-13}, EdgeCase{0.46, 1e-14},
                                         EdgeCase{1.5, 1e-300}));

// Below u = 0.1 the density next to a boundary is its slope there times the
// distance, to within O(distance / u): the ratio must settle as the start
// approaches the boundary (the plain image sum cancelled to noise there).
TEST(WfptExtremes, DensityNextToAFarBoundaryIsLinearInTheDistance) {
  for (double u : {0.005, 0.02, 0.08}) {
    const double slope = internal::log_unit_density(u, 1.0 - 1e-11) - std::log(1.0 - (1.0 - 1e-11));
    for (double far : {1e-12, 1e-14, 1e-15}) {
      const double w = 1.0 - far;
      EXPECT_NEAR(internal::log_unit_density(u, w) - std::log(1.0 - w), slope, 1e-8) << u << " " << far;
    }
  }
}

// A window of starts narrower than its distance to a boundary averages to
// the density at its centre: the density is linear in the distance there.
TEST(WfptExtremes, NarrowWindowNextToABoundary) {
  for (bool choice : {false, true}) {
    for (double z : {1e-12, 1.0 - 1e-12}) {
      for (double st : {0.0, 0.05}) {
        const ModelParams windowed{0.5, 1.2, z, 0.3, 1.0, 0.0, std::min(z, 1.0 - z) / 8.0, st};
        ModelParams plain = windowed;
        plain.sz = 0.0;
        EXPECT_NEAR(wfpt_log_density(0.9, choice, windowed), wfpt_log_density(0.9, choice, plain), 1e-9)
            << choice << " " << z << " " << st;
      }
    }
  }
}

// ---- The quadrature where no closed form serves ----

// Gauss-Legendre nodes and weights on [-1, 1] (Newton on P_n).
std::vector<std::pair<double, double>> gauss_legendre(int n) {
  std::vector<std::pair<double, double>> out;
  for (int i = 0; i < n; ++i) {
    double x = std::cos(kPi * (i + 0.75) / (n + 0.5));
    double dp = 0.0;
    for (int it = 0; it < 100; ++it) {
      double p0 = 1.0, p1 = x;
      for (int k = 2; k <= n; ++k) {
        const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      dp = n * (x * p1 - p0) / (x * x - 1.0);
      const double dx = p1 / dp;
      x -= dx;
      if (std::fabs(dx) < 1e-16) break;
    }
    out.push_back({x, 2.0 / ((1.0 - x * x) * dp * dp)});
  }
  return out;
}

// The mean of f over [lo, hi] by 64 panels of 20-point Gauss-Legendre.
template <typename F>
double panel_mean(const F& f, double lo, double hi) {
  static const auto rule = gauss_legendre(20);
  constexpr int kPanels = 64;
  double sum = 0.0;
  const double width = (hi - lo) / kPanels;
  for (int k = 0; k < kPanels; ++k) {
    const double mid = lo + (k + 0.5) * width;
    for (const auto& [x, weight] : rule) sum += weight * 0.5 * f(mid + 0.5 * width * x);
  }
  return sum / kPanels;
}

// Windows the closed forms hand over (narrow ones at the leading edge, st
// with sv) against the mean of the no-window density written out by dense
// fixed panels. Checked at 1e-9 of the density: the quadrature's target.
class QuadratureWindows : public testing::TestWithParam<Case> {};

TEST_P(QuadratureWindows, MatchATightIntegral) {
  const auto& [rt, choice, p] = GetParam();
  ModelParams point = p;
  point.sz = 0.0;
  point.st = 0.0;
  const double t0_hi = std::min(p.t0 + p.st / 2, rt);
  point.t0 = 0.5 * (p.t0 - p.st / 2 + t0_hi);
  const double log_shift = wfpt_log_density(rt, choice, point);  // keeps the sums near 1
  const auto over_start = [&](double t0) {
    ModelParams q = point;
    q.t0 = t0;
    const auto at = [&](double z) {
      q.start = z;
      return std::exp(wfpt_log_density(rt, choice, q) - log_shift);
    };
    return p.sz > 0 ? panel_mean(at, p.start - p.sz / 2, p.start + p.sz / 2) : at(p.start);
  };
  const double mean = p.st > 0 ? panel_mean(over_start, p.t0 - p.st / 2, t0_hi) * (t0_hi - (p.t0 - p.st / 2)) / p.st
                               : over_start(p.t0);
  EXPECT_NEAR(wfpt_log_density(rt, choice, p), std::log(mean) + log_shift, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    WfptExtremes, QuadratureWindows,
    testing::Values(
        Case{0.30412308034827223, false, {-3.2174174413789212, 1.9136667594005794, 0.46835106663955894, 0.3, 1.0, 0, 4.5610851336820044e-07, 1.4771974293771235e-05}},
        Case{0.30308071108564782, true, {-2.7437711321946043, 0.92582821771685175, 0.58387339117449621, 0.3, 1.0, 0, 3.7653954677959801e-07, 4.2493702629415622e-05}},
        Case{0.30197925092474459, false, {-4.6282967031849962, 1.4327659279491476, 0.37929886369938925, 0.3, 1.0, 0, 2.9857025195991953e-06, 1.5832563644160743e-06}},
        Case{0.35235934007579989, true, {-0.59551088728042045, 1.2316537757981505, 0.22360715612128776, 0.3, 1.0, 0, 2.2204553674445846e-05, 3.4887645526713944e-05}},
        Case{0.30361903831082376, true, {4.2288451084950687, 1.7946137915396216, 0.7738331110654717, 0.3, 1.0, 0, 3.1319524861522553e-05, 1.4873811185441883e-07}},
        Case{0.31185198772759859, true, {4.6545497683568948, 0.88163434218405201, 0.72196734213602265, 0.3, 1.0, 1.2650914465473349, 0, 0.25380213079625263}},
        Case{0.25133914534711221, false, {-4.732545107700175, 0.58410711170854335, 0.28450173345217888, 0.3, 1.0, 2.0589592671964501, 0, 0.41783540113593398}}));

}  // namespace
}  // namespace corvatel
