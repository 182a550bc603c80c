// The windows' closed-form slopes (closed_window_slopes, and at one start
// closed_time_window_slopes): each part
// against the density over one window at the other's ends, the drift's
// against differences of the density over both, over
// the image series, the Fourier series, a window across the switch between
// them, a window clipped at zero decision time, each sign regime of the
// normal tails (a drift towards the boundary faster than the window's
// starts reach it, and away from it) and drifts at and next to 0.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <ostream>
#include <string>

#include "corvatel/internal/wfpt_averages.h"
#include "corvatel/internal/wfpt_series.h"
#include "corvatel/wfpt.h"

namespace corvatel::internal {
namespace {

struct Window {
  std::string name;
  double v, a, s1, s2, w1, w2;
};

void PrintTo(const Window& w, std::ostream* os) { *os << w.name; }

LowerBoundary model(double v, double a) { return {v, a, 0.0, 1.0 / (a * a)}; }

// The references: the model's density (from a closed form, or quadrature
// where none can vouch for 1e-13) over both windows, over time at one
// start and over the start at one decision time, lower boundary, t0 0.3.
constexpr double kT0 = 0.3;

double log_density(const Window& w, double v, double start, double sz, double tau, double st) {
  const ModelParams p{v, w.a, start, kT0, 1.0, 0.0, sz, st};
  return wfpt_log_density(kT0 + tau, false, p, 1e-13);
}

double log_integral(double v, const Window& w) {
  const double sz = w.w2 - w.w1;
  const double st = w.s2 - w.s1;
  return log_density(w, v, 0.5 * (w.w1 + w.w2), sz, 0.5 * (w.s1 + w.s2), st) + std::log(sz) + std::log(st);
}

double over_time_at(const Window& w, double start) {
  const double st = w.s2 - w.s1;
  return std::exp(log_density(w, w.v, start, 0.0, 0.5 * (w.s1 + w.s2), st) + std::log(st) - log_integral(w.v, w));
}

double over_start_at(const Window& w, double tau) {
  const double sz = w.w2 - w.w1;
  return std::exp(log_density(w, w.v, 0.5 * (w.w1 + w.w2), sz, tau, 0.0) + std::log(sz) - log_integral(w.v, w));
}

class WindowSlopesTest : public testing::TestWithParam<Window> {};

TEST_P(WindowSlopesTest, PartsAreTheIntegralsAtTheEndsAndItsDriftSlope) {
  const Window& w = GetParam();
  const std::optional<WindowSlopes> got = closed_window_slopes(model(w.v, w.a), w.s1, w.s2, w.w1, w.w2, 1e-10);
  ASSERT_TRUE(got.has_value());
  EXPECT_NEAR(got->log_integral, log_integral(w.v, w), 1e-10);
  const auto near = [](double got_part, double expected, const char* part) {
    EXPECT_NEAR(got_part, expected, 1e-8 * std::max(1.0, std::fabs(expected))) << part;
  };
  near(got->at_w1, over_time_at(w, w.w1), "at_w1");
  near(got->at_w2, over_time_at(w, w.w2), "at_w2");
  near(got->at_s2, over_start_at(w, w.s2), "at_s2");
  if (w.s1 > 0.0) {
    near(got->at_s1, over_start_at(w, w.s1), "at_s1");
  } else {
    EXPECT_EQ(got->at_s1, 0.0);
  }
  // (-f(2h) + 8 f(h) - 8 f(-h) + f(-2h)) / 12h: error h^4 f^(5) / 30.
  const auto at = [&](double step) { return log_integral(w.v + step, w); };
  const double h = 1e-3;
  near(got->drift, (-at(2.0 * h) + 8.0 * at(h) - 8.0 * at(-h) + at(-2.0 * h)) / (12.0 * h), "drift");
}

INSTANTIATE_TEST_SUITE_P(
    Windows, WindowSlopesTest,
    testing::Values(Window{"images", 1.0, 1.5, 0.2, 0.35, 0.4, 0.6}, Window{"fourier", 1.0, 1.5, 1.2, 1.5, 0.4, 0.6},
                    Window{"across_switch", -0.7, 1.5, 0.9, 1.2, 0.3, 0.55},
                    Window{"clipped", 2.0, 1.2, 0.0, 0.15, 0.45, 0.55},
                    Window{"drift_past_the_starts", -3.0, 2.0, 0.3, 0.5, 0.2, 0.6},
                    Window{"drift_into_the_boundary", 3.5, 0.8, 0.25, 0.4, 0.1, 0.5},
                    Window{"wide", 0.5, 1.0, 0.05, 2.0, 0.1, 0.9}, Window{"long_times", -1.2, 0.9, 3.0, 3.4, 0.5, 0.7},
                    Window{"small_drift", 0.05, 1.4, 0.2, 0.5, 0.4, 0.6},
                    Window{"tiny_drift_fourier", -1e-4, 1.1, 0.7, 0.9, 0.3, 0.7},
                    Window{"no_drift", 0.0, 1.4, 0.1, 0.8, 0.35, 0.6}),
    [](const testing::TestParamInfo<Window>& info) { return info.param.name; });

// At one start (st alone): the integral over time and its start, end and
// drift parts against the model's density likewise.
struct TimeWindow {
  std::string name;
  double v, a, s1, s2, w;
};

void PrintTo(const TimeWindow& w, std::ostream* os) { *os << w.name; }

double log_time_density(const TimeWindow& w, double v, double start, double tau, double st) {
  const ModelParams p{v, w.a, start, kT0, 1.0, 0.0, 0.0, st};
  return wfpt_log_density(kT0 + tau, false, p, 1e-13);
}

class TimeWindowSlopesTest : public testing::TestWithParam<TimeWindow> {};

TEST_P(TimeWindowSlopesTest, PartsAreTheIntegralsDifferencesAndTheDensityAtTheEnds) {
  const TimeWindow& w = GetParam();
  const double st = w.s2 - w.s1;
  const double tau = 0.5 * (w.s1 + w.s2);
  const std::optional<TimeWindowSlopes> got =
      closed_time_window_slopes(model(w.v, w.a), w.s1, w.s2, w.w, 1.0 - w.w, 1e-10);
  ASSERT_TRUE(got.has_value());
  const double log_integral = log_time_density(w, w.v, w.w, tau, st) + std::log(st);
  EXPECT_NEAR(got->log_integral, log_integral, 1e-10);
  const auto near = [](double got_part, double expected, const char* part) {
    EXPECT_NEAR(got_part, expected, 1e-8 * std::max(1.0, std::fabs(expected))) << part;
  };
  const auto at_end = [&](double s) { return std::exp(log_time_density(w, w.v, w.w, s, 0.0) - log_integral); };
  near(got->at_s2, at_end(w.s2), "at_s2");
  if (w.s1 > 0.0) {
    near(got->at_s1, at_end(w.s1), "at_s1");
  } else {
    EXPECT_EQ(got->at_s1, 0.0);
  }
  const auto five_point = [](const auto& f, double h) {
    return (-f(2.0 * h) + 8.0 * f(h) - 8.0 * f(-h) + f(-2.0 * h)) / (12.0 * h);
  };
  near(got->start, five_point([&](double h) { return log_time_density(w, w.v, w.w + h, tau, st); }, 1e-4), "start");
  near(got->drift, five_point([&](double h) { return log_time_density(w, w.v + h, w.w, tau, st); }, 1e-3), "drift");
}

INSTANTIATE_TEST_SUITE_P(
    Windows, TimeWindowSlopesTest,
    testing::Values(TimeWindow{"images", 1.0, 1.5, 0.2, 0.35, 0.5}, TimeWindow{"fourier", 1.0, 1.5, 1.2, 1.5, 0.5},
                    TimeWindow{"across_switch", -0.7, 1.5, 0.9, 1.2, 0.4},
                    TimeWindow{"clipped", 2.0, 1.2, 0.0, 0.15, 0.5},
                    TimeWindow{"drift_past_the_start", -3.0, 2.0, 0.3, 0.5, 0.2},
                    TimeWindow{"drift_into_the_boundary", 3.5, 0.8, 0.25, 0.4, 0.3},
                    TimeWindow{"near_the_far_boundary", 0.8, 1.3, 0.3, 0.6, 0.97},
                    TimeWindow{"long_times", -1.2, 0.9, 3.0, 3.4, 0.6},
                    TimeWindow{"no_drift", 0.0, 1.4, 0.1, 0.8, 0.45}),
    [](const testing::TestParamInfo<TimeWindow>& info) { return info.param.name; });

TEST(WindowSlopesEdgesTest, NoClosedFormWithSv) {
  LowerBoundary with_sv = model(1.0, 1.5);
  with_sv.sv = 0.5;
  EXPECT_FALSE(closed_window_slopes(with_sv, 0.2, 0.4, 0.4, 0.6, 1e-10).has_value());
  EXPECT_FALSE(closed_time_window_slopes(with_sv, 0.2, 0.4, 0.5, 0.5, 1e-10).has_value());
}

}  // namespace
}  // namespace corvatel::internal
