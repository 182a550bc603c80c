// Pins the evidence walk itself: final position, step count, model time and
// outcome of every trial, on every path this machine runs, against a walk
// written here from the definition. Choices and response times alone cannot
// show a reordered or fused position update; the final position can.
#include "corvatel/internal/walk.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "corvatel/chacha.h"
#include "corvatel/internal/exp_near.h"
#include "corvatel/normal.h"
#include "corvatel/params.h"
#include "vectors.h"

namespace corvatel {
namespace {

using internal::SimdPath;
using internal::WalkEnd;
using testing::bits;

// The walk as defined: its own generator, its own loop, one rounded
// operation at a time.
WalkEnd defined_walk(const Params& p, std::uint64_t seed, std::uint64_t index) {
  double x = p.start * p.boundary;
  if (!(x > 0.0 && p.boundary > x)) return {x, 0.0, 0, false};
  ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seed);
  rng.set_stream(index);
  const StandardNormal normal;
  const double drift_step = p.drift * 0.001;
  const double noise_step = p.noise_sd * 0.03162277660168379;
  double t = 0.0;
  for (std::uint64_t steps = 1;; ++steps) {
    const double z = normal.sample(rng);
    const double noise = z * noise_step;
    const double move = noise + drift_step;
    x = move + x;
    t = t + 0.001;
    const bool below_upper = x < p.boundary;
    const bool above_lower = 0.0 < x;
    if (!(below_upper && above_lower)) return {x, t, steps, false};
    if (!(t < 10.0)) return {x, t, steps, true};
  }
}

double running_sum_of_steps(int steps) {
  double t = 0.0;
  for (int i = 0; i < steps; ++i) t = t + 0.001;
  return t;
}

std::vector<SimdPath> all_paths() {
  std::vector<SimdPath> paths;
  for (unsigned i = 0; i < internal::kSimdPathCount; ++i) paths.push_back(static_cast<SimdPath>(i));
  return paths;
}

std::string path_name(const ::testing::TestParamInfo<SimdPath>& info) {
  return internal::simd_path_name(info.param);
}

std::vector<WalkEnd> walks_on(SimdPath path, const Params& p, std::uint64_t seed, std::uint64_t first,
                              std::uint64_t count) {
  const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
  std::vector<WalkEnd> ends(count);
  internal::walk_trials(path, p, key.data(), first, count, ends.data());
  return ends;
}

void expect_defined_walks(SimdPath path, const Params& p, std::uint64_t seed, std::uint64_t first,
                          std::uint64_t count) {
  const std::vector<WalkEnd> ends = walks_on(path, p, seed, first, count);
  for (std::uint64_t k = 0; k < count; ++k) {
    const WalkEnd want = defined_walk(p, seed, first + k);
    const WalkEnd& got = ends[k];
    ASSERT_EQ(bits(got.x), bits(want.x)) << "trial " << first + k << ": x " << got.x << " vs " << want.x;
    ASSERT_EQ(got.steps, want.steps) << "trial " << first + k;
    ASSERT_EQ(bits(got.t), bits(want.t)) << "trial " << first + k;
    ASSERT_EQ(got.inside, want.inside) << "trial " << first + k;
  }
}

class WalkPath : public ::testing::TestWithParam<SimdPath> {
 protected:
  void SetUp() override {
    if (!internal::simd_path_supported(GetParam())) {
      GTEST_SKIP() << internal::simd_path_name(GetParam()) << " is not supported by this processor";
    }
  }
};

struct WalkCase {
  const char* name;
  Params params;
  std::uint64_t seed;
  std::uint64_t first;
  std::uint64_t count;
};

// Over 10^5 trials in all. Between them they take every Ziggurat branch many
// times (about one draw in 100 leaves the fast path, one in 4000 reaches the
// tail) and end on both boundaries and at the cap.
const WalkCase kCases[] = {
    {"typical", {1.0, 1.5, 0.5, 0.3, 1.0}, 2024, 0, 30000},
    {"negative_drift_biased_start", {-0.8, 2.0, 0.3, 0.2, 1.3}, 7, 0, 25000},
    {"strong_drift_narrow_band", {3.0, 0.6, 0.7, 0.1, 0.5}, 99, 0, 25000},
    // One to a few steps per trial: lanes change trials all the time.
    {"tiny_band", {0.5, 0.05, 0.5, 0.0, 1.0}, 3, 0, 20000},
    // Streams above 2^32 use the stream's high word.
    {"high_streams", {1.0, 1.0, 0.45, 0.2, 1.1}, 11, 0xFFFFFF00ull, 5000},
    // Most trials reach the 10 s cap.
    {"capped", {0.0, 4.0, 0.5, 0.0, 0.25}, 5, 0, 600},
    {"start_next_to_boundary", {0.2, 1.0, 1.0 - 0x1p-40, 0.0, 1.0}, 8, 0, 3000},
    {"noiseless_slow_drift", {0.3, 1.0, 0.5, 0.0, 0.0}, 4, 0, 40},
    {"fewer_trials_than_lanes", {1.0, 1.5, 0.5, 0.3, 1.0}, 2024, 17, 3},
};

TEST_P(WalkPath, EveryTrialEndsWhereTheDefinedWalkEnds) {
  for (const WalkCase& c : kCases) {
    SCOPED_TRACE(c.name);
    expect_defined_walks(GetParam(), c.params, c.seed, c.first, c.count);
  }
}

TEST_P(WalkPath, NonFiniteParametersEndAsDefined) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Params cases[] = {
      {nan, 1.5, 0.5, 0.3, 1.0}, {inf, 1.5, 0.5, 0.3, 1.0}, {-inf, 1.5, 0.5, 0.3, 1.0},
      {1.0, 1.5, 0.5, 0.3, inf}, {1.0, 1.5, 0.5, 0.3, nan}, {1.0, inf, 0.5, 0.3, 1.0},
      {1.0, nan, 0.5, 0.3, 1.0}, {1.0, 1.5, nan, 0.3, 1.0}, {1.0, 1.5, 0.5, 0.3, -1.0},
      {1e308, 1.5, 0.5, 0.3, 1e308},
  };
  for (const Params& p : cases) {
    SCOPED_TRACE(::testing::Message() << p.drift << " " << p.boundary << " " << p.start << " " << p.noise_sd);
    expect_defined_walks(GetParam(), p, 12, 0, 100);
  }
}

TEST_P(WalkPath, StartOnOrOutsideABoundaryDrawsNothing) {
  for (double start : {0.0, 1.0, -0.5, 2.0}) {
    const std::vector<WalkEnd> ends = walks_on(GetParam(), {1.0, 2.0, start, 0.0, 1.0}, 1, 0, 20);
    for (const WalkEnd& w : ends) {
      EXPECT_EQ(bits(w.x), bits(start * 2.0));
      EXPECT_EQ(w.steps, 0u);
      EXPECT_EQ(bits(w.t), bits(0.0));
      EXPECT_FALSE(w.inside);
    }
  }
}

// Without noise and with a drift step of exactly 1/8, a walk from 1/2 lands
// exactly on a boundary after four steps; both boundary tests are strict, so
// it ends there, at x exactly 0 or exactly the boundary.
TEST_P(WalkPath, ExactLandingOnABoundaryEndsTheWalk) {
  ASSERT_EQ(125.0 * 0.001, 0.125);  // the drift step is exact
  for (double drift : {125.0, -125.0}) {
    const std::vector<WalkEnd> ends = walks_on(GetParam(), {drift, 1.0, 0.5, 0.0, 0.0}, 6, 0, 37);
    for (const WalkEnd& w : ends) {
      EXPECT_EQ(bits(w.x), bits(drift > 0 ? 1.0 : 0.0));
      EXPECT_EQ(w.steps, 4u);
      EXPECT_EQ(bits(w.t), bits(running_sum_of_steps(4)));
      EXPECT_FALSE(w.inside);
    }
  }
}

TEST_P(WalkPath, CapEndsTheWalkAfter10001StepsInside) {
  const std::vector<WalkEnd> ends = walks_on(GetParam(), {0.0, 1.0, 0.5, 0.0, 0.0}, 2, 0, 20);
  for (const WalkEnd& w : ends) {
    EXPECT_EQ(bits(w.x), bits(0.5));
    EXPECT_EQ(w.steps, 10001u);
    EXPECT_EQ(bits(w.t), bits(running_sum_of_steps(10001)));
    EXPECT_TRUE(w.inside);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, WalkPath, ::testing::ValuesIn(all_paths()), path_name);

// The lanes decide the Ziggurat's wedge test with exp_near wherever its
// error bound makes the C library's answer certain; a bound that did not
// hold would change draws. Checked on over 7 million points of [-7, 0]
// (the wedges need [-6.7, 0]), spaced irregularly so that they fall
// everywhere between the range reduction's breakpoints.
TEST(ExpNear, StaysWithinItsBoundOfTheLibraryExp) {
  double worst = 0.0;
  double worst_y = 0.0;
  for (double y = 0.0; y >= -7.0; y -= 0x1.3579bp-20) {
    const double want = std::exp(y);
    const double error = std::fabs(internal::exp_near<double, std::uint64_t>(y) - want) / want;
    if (error > worst) {
      worst = error;
      worst_y = y;
    }
  }
  // The library's own error (under 2^-52) is inside the margin.
  EXPECT_LT(worst, internal::kExpNearError - 0x1p-50) << "at y = " << worst_y;
}

TEST(SimdPathChoice, ForcedPathIsTakenWhenSupported) {
  const char* forced = std::getenv("CORVATEL_SIMD");
  const SimdPath chosen = internal::chosen_simd_path();
  EXPECT_TRUE(internal::simd_path_supported(chosen));
  if (forced == nullptr) {
    // Unforced: the widest supported path.
    for (unsigned i = static_cast<unsigned>(chosen) + 1; i < internal::kSimdPathCount; ++i) {
      EXPECT_FALSE(internal::simd_path_supported(static_cast<SimdPath>(i)));
    }
    return;
  }
  for (SimdPath p : all_paths()) {
    if (std::string(forced) == internal::simd_path_name(p) && internal::simd_path_supported(p)) {
      EXPECT_EQ(chosen, p);
    }
  }
}

}  // namespace
}  // namespace corvatel
