// Trials between time-varying bounds: every trial against a walk written
// here from simulate_bounds.h's definition (its own loop, the bound's
// half-width computed step by step rather than tabulated), on pools of
// several sizes and in the kept form; the standard model against
// simulate_full; the stop check; the argument checks.
#include "corvatel/simulate_bounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "corvatel/chacha.h"
#include "corvatel/internal/bounds_tables.h"
#include "corvatel/internal/walk.h"
#include "corvatel/normal.h"
#include "corvatel/simulate_full.h"
#include "vectors.h"

namespace corvatel {
namespace {

using internal::SimdPath;
using internal::WalkEnd;
using testing::bits;
using Kind = BoundSpec::Kind;

// The walk of trial `index` as defined, from start x0 with drift step a.
WalkEnd defined_end(const ModelParams& p, const BoundsWalk& w, double x0, double a, std::uint64_t seed,
                    std::uint64_t index) {
  TimeVaryingModel m;
  m.boundary = p.boundary;
  m.bound = w.bound;
  const double mid = p.boundary * 0.5;
  double x = x0;
  if (!(x > 0.0 && p.boundary > x)) return WalkEnd{x, 0.0, 0, false};
  ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seed);
  rng.set_stream(index);
  const StandardNormal normal;
  const double leak_dt = w.leak * w.dt;
  const double noise_step = p.noise_sd * std::sqrt(w.dt);
  double t = 0.0;
  for (std::uint64_t steps = 1;; ++steps) {
    const double z = normal.sample(rng);
    const double gain = 1.0 + w.urgency * t;
    const double noise = z * (noise_step * gain);
    const double push = a * gain;
    const double pull = leak_dt * (x - mid);
    x = ((noise + push) - pull) + x;
    t = t + w.dt;
    const double half = bound_half_width(m, t);
    const bool inside = x < mid + half && mid - half < x;
    if (!inside || !(t < kTimeCap)) return WalkEnd{x, t, steps, inside};
  }
}

// Trial `index` as defined, with the parameters simulate_full draws for it.
Trial defined_trial(const ModelParams& p, const BoundsWalk& w, std::uint64_t seed, std::uint64_t index) {
  const Params q = trial_params(p, seed, index);
  const WalkEnd end = defined_end(p, w, q.start * q.boundary, q.drift * w.dt, seed, index);
  return Trial{end.x >= p.boundary * 0.5, end.t + q.t0, end.inside};
}

void expect_same_trial(const Trial& got, const Trial& want, std::uint64_t i) {
  ASSERT_EQ(got.choice, want.choice) << "trial " << i;
  ASSERT_EQ(bits(got.rt), bits(want.rt)) << "trial " << i << ": rt " << got.rt << " vs " << want.rt;
  ASSERT_EQ(got.timed_out, want.timed_out) << "trial " << i;
}

BoundsWalk walk_of(Kind kind, double theta, double shape, double scale, double rate, double leak, double urgency,
                   double dt) {
  BoundsWalk w;
  w.bound = BoundSpec{kind, theta, shape, scale, rate};
  w.leak = leak;
  w.urgency = urgency;
  w.dt = dt;
  return w;
}

struct BoundsCase {
  const char* name;
  ModelParams params;
  BoundsWalk walk;
  std::uint64_t n;
  // What the case must contain to test what it claims.
  std::uint64_t min_lower;
  std::uint64_t min_timed_out;
};

const ModelParams kPlain{1.0, 1.5, 0.5, 0.3};
// A boundary other than 1 tells relative from absolute quantities.
const ModelParams kVaried{0.8, 2.5, 0.45, 0.3, 1.2, 1.1, 0.5, 0.2};

const BoundsCase kCases[] = {
    {"angle_narrowing", kPlain, walk_of(Kind::Angle, 0.4, 1, 1, 0, 0, 0, 1e-3), 2000, 100, 0},
    {"angle_widening", kPlain, walk_of(Kind::Angle, -0.3, 1, 1, 0, 0, 0, 1e-3), 2000, 100, 0},
    // Closes at t = 0.5 / tan(1.3) = 0.139 s: a walk still inside is caught
    // as the band crosses itself, and decided by its side of the middle.
    {"angle_that_closes", {0.2, 1.0, 0.5, 0.1}, walk_of(Kind::Angle, 1.3, 1, 1, 0, 0, 0, 1e-3), 2000, 500, 0},
    {"weibull", kPlain, walk_of(Kind::Weibull, 0, 3.0, 0.8, 0, 0, 0, 1e-3), 2000, 100, 0},
    {"weibull_early_collapse", kPlain, walk_of(Kind::Weibull, 0, 0.5, 2.0, 0, 0, 0, 1e-3), 2000, 100, 0},
    {"exponential", kPlain, walk_of(Kind::Exponential, 0, 1, 1, 1.5, 0, 0, 1e-3), 2000, 100, 0},
    {"hyperbolic", kPlain, walk_of(Kind::Hyperbolic, 0, 1, 1, 2.0, 0, 0, 1e-3), 2000, 100, 0},
    {"leak", kPlain, walk_of(Kind::Constant, 0, 1, 1, 0, 3.0, 0, 1e-3), 2000, 100, 0},
    {"urgency", kPlain, walk_of(Kind::Constant, 0, 1, 1, 0, 0, 2.0, 1e-3), 2000, 100, 0},
    {"leak_urgency_angle", kVaried, walk_of(Kind::Angle, 0.2, 1, 1, 0, 1.5, 0.7, 1e-3), 2000, 100, 0},
    {"variabilities_weibull", kVaried, walk_of(Kind::Weibull, 0, 2.0, 1.5, 0, 0, 0, 1e-3), 2000, 100, 0},
    {"dt_0.1ms", kVaried, walk_of(Kind::Exponential, 0, 1, 1, 0.8, 0.5, 0.3, 1e-4), 400, 20, 0},
    {"dt_2.5ms_constant", kPlain, walk_of(Kind::Constant, 0, 1, 1, 0, 0, 0, 2.5e-3), 2000, 100, 0},
    {"dt_0.7ms_hyperbolic", kVaried, walk_of(Kind::Hyperbolic, 0, 1, 1, 0.5, 0, 0.2, 7e-4), 2000, 100, 0},
    // A strong leak and little noise in a wide band: most trials reach the cap.
    {"capped_by_leak", {0.3, 4.0, 0.5, 0.1, 0.2, 0.0, 0.2, 0.0}, walk_of(Kind::Constant, 0, 1, 1, 0, 5.0, 0, 2e-3),
     300, 0, 150},
    // Starts from 0 to 0.2 of the band and an early collapse.
    {"starts_near_the_lower_edge", {0.5, 1.0, 0.1, 0.2, 1.0, 0.0, 0.2, 0.0},
     walk_of(Kind::Exponential, 0, 1, 1, 4.0, 0, 0, 1e-3), 2000, 500, 0},
};

void PrintTo(const BoundsCase& c, std::ostream* os) { *os << c.name; }

class SimulateBoundsCase : public ::testing::TestWithParam<BoundsCase> {};

TEST_P(SimulateBoundsCase, EveryTrialIsTheDefinedTrialOnEveryPool) {
  const BoundsCase& c = GetParam();
  ASSERT_FALSE(check_bounds_walk(c.params, c.walk).has_value()) << c.name;
  ASSERT_FALSE(is_standard_walk(c.walk));
  const std::uint64_t seed = 2026;
  std::vector<Trial> want;
  std::uint64_t lower = 0, timed_out = 0;
  for (std::uint64_t i = 0; i < c.n; ++i) {
    want.push_back(defined_trial(c.params, c.walk, seed, i));
    lower += !want.back().choice && !want.back().timed_out;
    timed_out += want.back().timed_out;
  }
  EXPECT_GE(lower, c.min_lower);
  EXPECT_GE(timed_out, c.min_timed_out);
  for (std::size_t workers : {std::size_t{1}, std::size_t{3}}) {
    SCOPED_TRACE(workers);
    WorkerPool pool(workers);
    const TrialBatch batch = simulate_bounds_n(c.params, c.walk, c.n, seed, pool);
    for (std::uint64_t i = 0; i < c.n; ++i) {
      expect_same_trial(batch[i], want[i], i);
    }
    std::vector<std::uint8_t> choices(c.n, 7);
    std::vector<double> rts(c.n, -1.0);
    const std::uint64_t kept = simulate_bounds_kept(c.params, c.walk, c.n, seed, choices.data(), rts.data(), pool).value();
    std::uint64_t k = 0;
    for (const Trial& t : want) {
      if (t.timed_out) continue;
      ASSERT_LT(k, kept);
      EXPECT_EQ(choices[k], t.choice ? 1 : 0) << k;
      EXPECT_EQ(bits(rts[k]), bits(t.rt)) << k;
      ++k;
    }
    EXPECT_EQ(kept, k);
  }
}

INSTANTIATE_TEST_SUITE_P(Walks, SimulateBoundsCase, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<BoundsCase>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (ch == '.') ch = '_';
                           }
                           return name;
                         });

// ---------------------------------------------------------------------------
// The walk itself on every path: position, time, step count and whether
// still inside, against the definition.

std::vector<SimdPath> all_paths() {
  std::vector<SimdPath> paths;
  for (unsigned i = 0; i < internal::kSimdPathCount; ++i) paths.push_back(static_cast<SimdPath>(i));
  return paths;
}

class BoundsWalkPath : public ::testing::TestWithParam<SimdPath> {
 protected:
  void SetUp() override {
    if (!internal::simd_path_supported(GetParam())) {
      GTEST_SKIP() << internal::simd_path_name(GetParam()) << " is not supported by this processor";
    }
  }

  // Trials first .. first + x0.size() - 1 from the given starts and drift
  // steps, walked in runs of kWalkRun as a batch walks them.
  void expect_defined_walks(const ModelParams& p, const BoundsWalk& w, const std::vector<double>& x0,
                            const std::vector<double>& a, std::uint64_t seed, std::uint64_t first) {
    const internal::BoundsStepTables tables(p, w);
    const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
    const std::uint64_t count = x0.size();
    std::vector<WalkEnd> ends(count);
    for (std::uint64_t done = 0; done < count; done += internal::kWalkRun) {
      const internal::BoundsRun run{x0.data() + done, a.data() + done, &tables.view()};
      internal::walk_bounds_trials(GetParam(), run, key.data(), first + done,
                                   std::min(internal::kWalkRun, count - done), ends.data() + done);
    }
    for (std::uint64_t k = 0; k < count; ++k) {
      const WalkEnd want = defined_end(p, w, x0[k], a[k], seed, first + k);
      const WalkEnd& got = ends[k];
      ASSERT_EQ(bits(got.x), bits(want.x)) << "trial " << first + k << ": x " << got.x << " vs " << want.x;
      ASSERT_EQ(got.steps, want.steps) << "trial " << first + k;
      ASSERT_EQ(bits(got.t), bits(want.t)) << "trial " << first + k;
      ASSERT_EQ(got.inside, want.inside) << "trial " << first + k;
    }
  }
};

TEST_P(BoundsWalkPath, EveryCaseEndsWhereTheDefinedWalkEnds) {
  for (const BoundsCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t first = 1000;
    std::vector<double> x0, a;
    for (std::uint64_t i = first; i < first + c.n; ++i) {
      const Params q = trial_params(c.params, 77, i);
      x0.push_back(q.start * q.boundary);
      a.push_back(q.drift * c.walk.dt);
    }
    expect_defined_walks(c.params, c.walk, x0, a, 77, first);
    if (HasFailure()) return;
  }
}

// Starts on, next to and outside the band's edges and NaN, among ordinary
// ones, with drift steps from none to infinite: lanes pass over the trials
// that end without a draw wherever they fall.
TEST_P(BoundsWalkPath, MixedStartsAndDriftsEndWhereTheDefinedWalkEnds) {
  const ModelParams p{0.0, 1.25, 0.5, 0.0, 0.8};
  const BoundsWalk w = walk_of(Kind::Weibull, 0, 1.5, 0.6, 0, 2.0, 1.0, 1e-3);
  const double inf = std::numeric_limits<double>::infinity();
  const double starts[] = {0.0, 1.25, -0.1, 1.7, std::nan(""), std::nextafter(0.0, 1.0),
                           std::nextafter(1.25, 0.0), 0.3, 0.625, 1.0, 0.9, 0.05};
  const double drift_steps[] = {0.0, 0.001, -0.002, 0.04, -0.3, inf, -inf, 0.0005};
  std::mt19937_64 gen(20261209);
  std::vector<double> x0, a;
  for (int k = 0; k < 5000; ++k) {
    const std::size_t s = gen() % 18;
    x0.push_back(s < 12 ? starts[s] : 0.1 * static_cast<double>(s - 11));
    a.push_back(drift_steps[gen() % 8]);
  }
  expect_defined_walks(p, w, x0, a, 42, 0xFFFFFF00ull);
}

INSTANTIATE_TEST_SUITE_P(Paths, BoundsWalkPath, ::testing::ValuesIn(all_paths()),
                         [](const ::testing::TestParamInfo<SimdPath>& info) {
                           return std::string(internal::simd_path_name(info.param));
                         });

// A band that closes ends every walk by then: none lasts past the step at
// which the half-width turns negative.
TEST(SimulateBounds, AClosingAngleEndsEveryWalkByItsClosingTime) {
  const ModelParams p{0.0, 1.0, 0.5, 0.0, 0.3};
  const BoundsWalk w = walk_of(Kind::Angle, 1.0, 1, 1, 0, 0, 0, 1e-3);
  const double closing = 0.5 / std::tan(1.0);
  const TrialBatch batch = simulate_bounds_n(p, w, 3000, 4);
  double latest = 0.0;
  for (const Trial& t : batch) {
    EXPECT_FALSE(t.timed_out);
    latest = std::max(latest, t.rt);
  }
  EXPECT_LE(latest, closing + 1e-3);
  EXPECT_GT(latest, closing - 0.02);  // with little noise some walks are caught by the closing band
}

// The standard model is simulate_full's, bit for bit, and so is the
// definition with it (the routing changes the speed only).
TEST(SimulateBounds, StandardModelGivesSimulateFullsTrials) {
  const BoundsWalk standard;
  ASSERT_TRUE(is_standard_walk(standard));
  for (const ModelParams& p : {kPlain, kVaried}) {
    const std::uint64_t n = 3000;
    const TrialBatch full = simulate_full_n(p, n, 17);
    const TrialBatch got = simulate_bounds_n(p, standard, n, 17);
    for (std::uint64_t i = 0; i < n; ++i) {
      expect_same_trial(got[i], full[i], i);
      expect_same_trial(defined_trial(p, standard, 17, i), full[i], i);
    }
    std::vector<std::uint8_t> choices(n);
    std::vector<double> rts(n);
    std::vector<std::uint8_t> full_choices(n);
    std::vector<double> full_rts(n);
    const auto kept = simulate_bounds_kept(p, standard, n, 17, choices.data(), rts.data());
    const auto full_kept = simulate_full_kept(p, n, 17, full_choices.data(), full_rts.data());
    ASSERT_EQ(kept.value(), full_kept.value());
    for (std::uint64_t k = 0; k < *kept; ++k) {
      EXPECT_EQ(choices[k], full_choices[k]);
      EXPECT_EQ(bits(rts[k]), bits(full_rts[k]));
    }
  }
}

// Each argument that is only nearly standard takes the general walk, and
// its trials are the definition's.
TEST(SimulateBounds, NearlyStandardWalksAreNotRoutedAway) {
  const BoundsWalk nearly[] = {walk_of(Kind::Angle, 0.0, 1, 1, 0, 0, 0, 1e-3),
                               walk_of(Kind::Constant, 0, 1, 1, 0, 0x1p-40, 0, 1e-3),
                               walk_of(Kind::Constant, 0, 1, 1, 0, 0, 0x1p-40, 1e-3),
                               walk_of(Kind::Constant, 0, 1, 1, 0, 0, 0, std::nextafter(1e-3, 1.0))};
  for (const BoundsWalk& w : nearly) {
    EXPECT_FALSE(is_standard_walk(w));
    const TrialBatch got = simulate_bounds_n(kVaried, w, 500, 3);
    for (std::uint64_t i = 0; i < 500; ++i) expect_same_trial(got[i], defined_trial(kVaried, w, 3, i), i);
  }
}

TEST(SimulateBounds, StopCheckThatSaysStopGivesNothing) {
  WorkerPool pool(2);
  const std::uint64_t n = 200'000;  // long enough that the first check comes before the end
  std::vector<std::uint8_t> choices(n);
  std::vector<double> rts(n);
  int asked = 0;
  const StopCheck stop = [&] { return ++asked >= 1; };
  const BoundsWalk w = walk_of(Kind::Weibull, 0, 2.0, 1.0, 0, 0.5, 0.5, 1e-3);
  EXPECT_FALSE(simulate_bounds_kept(kVaried, w, n, 3, choices.data(), rts.data(), pool, stop).has_value());
  EXPECT_GE(asked, 1);
  std::uint8_t c = 0;
  double r = 0.0;
  EXPECT_EQ(simulate_bounds_kept(kVaried, w, 0, 3, &c, &r, pool, stop).value(), 0u);
  EXPECT_EQ(simulate_bounds_n(kVaried, w, 0, 3).size(), 0u);
}

struct CheckCase {
  const char* name;
  ModelParams params;
  BoundsWalk walk;
  BoundsWalkError::Kind kind;
  const char* message;
};

const double kNan = std::nan("");

const CheckCase kChecks[] = {
    {"boundary", {1.0, 0.0, 0.5, 0.3}, BoundsWalk{}, BoundsWalkError::Kind::Model, "boundary must be positive"},
    // A start on the band's edge is a simulation's (it ends at once), not a density's.
    {"start_window", {1.0, 1.0, 0.1, 0.3, 1.0, 0.0, 0.4}, BoundsWalk{}, BoundsWalkError::Kind::Model, nullptr},
    {"theta", kPlain, walk_of(Kind::Angle, 1.6, 1, 1, 0, 0, 0, 1e-3), BoundsWalkError::Kind::Bound,
     "theta must be in (-pi/2, pi/2)"},
    {"shape", kPlain, walk_of(Kind::Weibull, 0, 0.0, 1, 0, 0, 0, 1e-3), BoundsWalkError::Kind::Bound,
     "shape must be positive and finite"},
    {"scale", kPlain, walk_of(Kind::Weibull, 0, 1, kNan, 0, 0, 0, 1e-3), BoundsWalkError::Kind::Bound,
     "scale must be positive and finite"},
    {"rate", kPlain, walk_of(Kind::Hyperbolic, 0, 1, 1, -1, 0, 0, 1e-3), BoundsWalkError::Kind::Bound,
     "rate must be non-negative and finite"},
    {"leak", kPlain, walk_of(Kind::Constant, 0, 1, 1, 0, -0.1, 0, 1e-3), BoundsWalkError::Kind::Bound,
     "leak must be non-negative and finite"},
    {"urgency", kPlain, walk_of(Kind::Constant, 0, 1, 1, 0, 0, INFINITY, 1e-3), BoundsWalkError::Kind::Bound,
     "urgency must be non-negative and finite"},
    {"dt_zero", kPlain, walk_of(Kind::Constant, 0, 1, 1, 0, 0, 0, 0.0), BoundsWalkError::Kind::TimeStep,
     "dt must be positive and at most 0.1, with at most 1000000 steps to the 10 s cap"},
    {"dt_nan", kPlain, walk_of(Kind::Constant, 0, 1, 1, 0, 0, 0, kNan), BoundsWalkError::Kind::TimeStep, nullptr},
    {"dt_too_small", kPlain, walk_of(Kind::Constant, 0, 1, 1, 0, 0, 0, 9.99e-6), BoundsWalkError::Kind::TimeStep,
     nullptr},
    {"dt_too_large", kPlain, walk_of(Kind::Constant, 0, 1, 1, 0, 0, 0, 0.1001), BoundsWalkError::Kind::TimeStep,
     nullptr},
};

TEST(SimulateBoundsCheck, EachRuleNamesItsArgument) {
  for (const CheckCase& c : kChecks) {
    SCOPED_TRACE(c.name);
    const auto error = check_bounds_walk(c.params, c.walk);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), c.kind);
    if (c.message != nullptr) {
      EXPECT_EQ(error->message(), c.message);
    }
  }
  // Parameters a bound does not use are not checked; the smallest dt is allowed.
  EXPECT_FALSE(check_bounds_walk(kPlain, walk_of(Kind::Constant, 9.0, -1, kNan, -1, 0, 0, 1e-5)).has_value());
  // A simulation takes a start on the band's edge.
  EXPECT_FALSE(check_bounds_walk({1.0, 1.0, 0.0, 0.3}, walk_of(Kind::Angle, 0.3, 1, 1, 0, 0, 0, 1e-3)).has_value());
}

}  // namespace
}  // namespace corvatel
