// Trials of the full model: each trial's drift, start and t0 against values
// computed here from its own stream, and the walk with per-trial starts and
// drifts on every path this machine runs against a walk written here from
// the definition.
#include "corvatel/simulate_full.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "corvatel/chacha.h"
#include "corvatel/internal/walk.h"
#include "corvatel/normal.h"
#include "vectors.h"

namespace corvatel {
namespace {

using internal::SimdPath;
using internal::WalkEnd;
using testing::bits;

// ---------------------------------------------------------------------------
// Each trial's parameters, from the stream rule of simulate_full.h.

// Trial i's parameters as simulate_full.h defines them: stream i | 2^63 of
// the seed's generator gives one standard normal, then two uniforms from the
// top 53 bits of one word each; sz and st are widths of the relative start
// and of t0.
Params expected_params(const ModelParams& p, std::uint64_t seed, std::uint64_t i) {
  ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seed);
  rng.set_stream(i | (std::uint64_t{1} << 63));
  const double z = StandardNormal{}.sample(rng);
  const double u1 = static_cast<double>(rng.next_u64() >> 11) / 9007199254740992.0;
  const double u2 = static_cast<double>(rng.next_u64() >> 11) / 9007199254740992.0;
  return Params{p.drift + p.sv * z, p.boundary, p.start + p.sz * (u1 - 0.5), p.t0 + p.st * (u2 - 0.5), p.noise_sd};
}

void expect_same_trial(const Trial& got, const Trial& want, std::uint64_t i) {
  ASSERT_EQ(got.choice, want.choice) << "trial " << i;
  ASSERT_EQ(bits(got.rt), bits(want.rt)) << "trial " << i << ": rt " << got.rt << " vs " << want.rt;
  ASSERT_EQ(got.timed_out, want.timed_out) << "trial " << i;
}

// A boundary other than 1 tells a relative start (and width sz) from an
// absolute one; the variabilities are large enough that every draw matters.
const ModelParams kVaried{0.8, 2.5, 0.45, 0.3, 1.2, 1.1, 0.5, 0.2};

TEST(SimulateFullDraws, EachTrialDrawsFromItsOwnStream) {
  for (std::uint64_t i : {0ull, 1ull, 2ull, 1023ull, 1024ull, 77777ull, (1ull << 40) + 5}) {
    const Params got = trial_params(kVaried, 31, i);
    const Params want = expected_params(kVaried, 31, i);
    EXPECT_EQ(bits(got.drift), bits(want.drift)) << i;
    EXPECT_EQ(bits(got.boundary), bits(want.boundary)) << i;
    EXPECT_EQ(bits(got.start), bits(want.start)) << i;
    EXPECT_EQ(bits(got.t0), bits(want.t0)) << i;
    EXPECT_EQ(bits(got.noise_sd), bits(want.noise_sd)) << i;
  }
}

// The batch walks each trial with exactly those parameters: every trial is
// the scalar definition's trial with the parameters computed above, on
// whichever path this process takes (the build reruns this per path).
TEST(SimulateFullDraws, BatchTrialsWalkWithTheTrialsOwnParameters) {
  const std::uint64_t n = 3000;
  const TrialBatch batch = simulate_full_n(kVaried, n, 31);
  std::vector<std::uint8_t> choices(n);
  std::vector<double> rts(n);
  const std::uint64_t kept = simulate_full_kept(kVaried, n, 31, choices.data(), rts.data()).value();
  std::uint64_t k = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const Trial want = simulate_trial(expected_params(kVaried, 31, i), 31, i);
    expect_same_trial(batch[i], want, i);
    if (want.timed_out) continue;
    ASSERT_LT(k, kept);
    ASSERT_EQ(choices[k], want.choice ? 1 : 0) << "kept trial " << k;
    ASSERT_EQ(bits(rts[k]), bits(want.rt)) << "kept trial " << k;
    ++k;
  }
  EXPECT_EQ(kept, k);
}

TEST(SimulateFullKept, DropsTimedOutTrialsAndKeepsOrderOnEveryPool) {
  // Little noise and a wide band: many trials reach the cap, some do not.
  const ModelParams p{0.0, 1.0, 0.5, 0.2, 0.09, 0.05, 0.3, 0.1};
  const std::uint64_t n = 2500;
  const TrialBatch batch = simulate_full_n(p, n, 8);
  for (std::size_t workers : {std::size_t{1}, std::size_t{3}}) {
    WorkerPool pool(workers);
    std::vector<std::uint8_t> choices(n, 7);
    std::vector<double> rts(n, -1.0);
    const std::uint64_t kept = simulate_full_kept(p, n, 8, choices.data(), rts.data(), pool).value();
    std::uint64_t k = 0;
    for (const Trial& t : batch) {
      if (t.timed_out) continue;
      ASSERT_LT(k, kept);
      EXPECT_EQ(choices[k], t.choice ? 1 : 0) << k;
      EXPECT_EQ(bits(rts[k]), bits(t.rt)) << k;
      ++k;
    }
    EXPECT_EQ(kept, k);
    EXPECT_GT(kept, 100u);
    EXPECT_LT(kept, n - 100);
  }
  std::uint8_t c = 0;
  double r = 0.0;
  EXPECT_EQ(simulate_full_kept(p, 0, 8, &c, &r).value(), 0u);
}

TEST(SimulateFullKept, StopCheckThatSaysStopGivesNothing) {
  WorkerPool pool(2);
  const std::uint64_t n = 400'000;  // long enough that the first check comes before the end
  std::vector<std::uint8_t> choices(n);
  std::vector<double> rts(n);
  int asked = 0;
  const StopCheck stop = [&] { return ++asked >= 1; };
  EXPECT_FALSE(simulate_full_kept(kVaried, n, 3, choices.data(), rts.data(), pool, stop).has_value());
  EXPECT_GE(asked, 1);
}

// ---------------------------------------------------------------------------
// The walk with per-trial starts and drifts, on every path.

// The walk as defined, for one trial: its own generator, its own loop, one
// rounded operation at a time.
WalkEnd defined_walk(double x0, double drift_step, double boundary, double noise_step, std::uint64_t seed,
                     std::uint64_t index) {
  double x = x0;
  if (!(x > 0.0 && boundary > x)) return {x, 0.0, 0, false};
  ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seed);
  rng.set_stream(index);
  const StandardNormal normal;
  double t = 0.0;
  for (std::uint64_t steps = 1;; ++steps) {
    const double z = normal.sample(rng);
    const double noise = z * noise_step;
    const double move = noise + drift_step;
    x = move + x;
    t = t + 0.001;
    const bool below_upper = x < boundary;
    const bool above_lower = 0.0 < x;
    if (!(below_upper && above_lower)) return {x, t, steps, false};
    if (!(t < 10.0)) return {x, t, steps, true};
  }
}

// A run of trials with their own starts and drift steps.
struct TrialRun {
  std::vector<double> x0;
  std::vector<double> a;
  double boundary;
  double noise_step;
};

std::vector<SimdPath> all_paths() {
  std::vector<SimdPath> paths;
  for (unsigned i = 0; i < internal::kSimdPathCount; ++i) paths.push_back(static_cast<SimdPath>(i));
  return paths;
}

class FullWalkPath : public ::testing::TestWithParam<SimdPath> {
 protected:
  void SetUp() override {
    if (!internal::simd_path_supported(GetParam())) {
      GTEST_SKIP() << internal::simd_path_name(GetParam()) << " is not supported by this processor";
    }
  }

  // Walks the run on the test's path in pieces of kWalkRun, as a batch
  // does, and checks every trial against the definition. Returns how many
  // trials started on or outside the band and how many reached the cap.
  std::pair<std::uint64_t, std::uint64_t> expect_defined_walks(const TrialRun& run, std::uint64_t seed,
                                                               std::uint64_t first) {
    const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
    const std::uint64_t count = run.x0.size();
    std::vector<WalkEnd> ends(count);
    for (std::uint64_t done = 0; done < count; done += internal::kWalkRun) {
      const internal::RunParams params{run.x0.data() + done, run.a.data() + done, run.boundary, run.noise_step};
      internal::walk_trials(GetParam(), params, key.data(), first + done, std::min(internal::kWalkRun, count - done),
                            ends.data() + done);
    }
    std::uint64_t unstarted = 0, capped = 0;
    for (std::uint64_t k = 0; k < count; ++k) {
      const WalkEnd want = defined_walk(run.x0[k], run.a[k], run.boundary, run.noise_step, seed, first + k);
      const WalkEnd& got = ends[k];
      EXPECT_EQ(bits(got.x), bits(want.x)) << "trial " << first + k << ": x " << got.x << " vs " << want.x
                                           << " from " << run.x0[k];
      EXPECT_EQ(got.steps, want.steps) << "trial " << first + k << " from " << run.x0[k];
      EXPECT_EQ(bits(got.t), bits(want.t)) << "trial " << first + k;
      EXPECT_EQ(got.inside, want.inside) << "trial " << first + k;
      if (::testing::Test::HasFailure()) return {unstarted, capped};
      unstarted += want.steps == 0;
      capped += want.inside;
    }
    return {unstarted, capped};
  }
};

// The full model's runs: each trial's start and drift as the batch computes
// them from its drawn parameters.
TrialRun full_model_run(const ModelParams& p, std::uint64_t seed, std::uint64_t first, std::uint64_t count) {
  TrialRun run{{}, {}, p.boundary, p.noise_sd * kSqrtTimeStep};
  for (std::uint64_t i = first; i < first + count; ++i) {
    const Params q = expected_params(p, seed, i);
    run.x0.push_back(q.start * q.boundary);
    run.a.push_back(q.drift * kTimeStep);
  }
  return run;
}

struct FullCase {
  const char* name;
  ModelParams params;
  std::uint64_t seed;
  std::uint64_t first;
  std::uint64_t count;
  // What the case must contain to test what it claims.
  std::uint64_t min_unstarted;
  std::uint64_t min_capped;
};

// The core checks no ranges, so starts may leave the band here, which the
// module's checks never allow: a lane must then pass over those trials.
const FullCase kFullCases[] = {
    {"typical", {1.0, 1.5, 0.5, 0.3, 1.0, 1.0, 0.3, 0.2}, 2024, 3000, 12000, 0, 0},
    // Drifts of tens: a few steps per trial, lanes change trials all the time.
    {"large_drifts", {0.0, 1.0, 0.5, 0.2, 1.0, 40.0, 0.6, 0.1}, 5, 0, 8000, 0, 0},
    // Starts from 0.75 to 1.25 of the band: half of them on or above the
    // upper boundary, in runs of several at a time.
    {"starts_above_the_band", {0.5, 2.0, 1.0, 0.3, 1.0, 0.5, 0.5, 0.1}, 6, 777, 6000, 2500, 0},
    // Starts from -0.25 to 0.25: half below the band, the others close to 0.
    {"starts_below_the_band", {0.5, 2.0, 0.0, 0.3, 1.0, 0.5, 0.5, 0.1}, 7, 1, 6000, 2500, 0},
    // A width too small to move 1.0: every trial starts exactly on the upper
    // boundary, and no lane ever steps.
    {"every_start_on_the_upper_edge", {0.5, 1.5, 1.0, 0.3, 1.0, 0.5, 0x1p-60, 0.1}, 8, 50, 300, 300, 0},
    // Starts 2^-61 from 0 on either side: half outside, half inside at a
    // distance a single step crosses.
    {"starts_astride_zero", {0.5, 1.5, 0.0, 0.3, 1.0, 0.5, 0x1p-60, 0.1}, 9, 0, 3000, 1200, 0},
    // Little noise, a wide band and slight drifts: most trials reach the cap.
    {"capped", {0.0, 4.0, 0.5, 0.0, 0.25, 0.01, 0.2, 0.1}, 10, 40, 400, 0, 200},
    {"high_streams", {1.0, 1.0, 0.45, 0.2, 1.1, 0.7, 0.4, 0.1}, 11, 0xFFFFFF00ull, 3000, 0, 0},
    {"fewer_trials_than_lanes", {1.0, 1.5, 0.5, 0.3, 1.0, 1.0, 0.3, 0.2}, 2024, 17, 3, 0, 0},
};

TEST_P(FullWalkPath, EveryTrialOfTheFullModelEndsWhereTheDefinedWalkEnds) {
  for (const FullCase& c : kFullCases) {
    SCOPED_TRACE(c.name);
    const auto [unstarted, capped] =
        expect_defined_walks(full_model_run(c.params, c.seed, c.first, c.count), c.seed, c.first);
    if (HasFailure()) return;
    EXPECT_GE(unstarted, c.min_unstarted);
    EXPECT_GE(capped, c.min_capped);
  }
}

// Starts on both boundaries exactly, next to them, outside, NaN, and drifts
// from none to infinite, mixed at random within runs: lanes pass over
// trials that end without a draw wherever they fall, several in a row, and
// at the run's start and end.
TEST_P(FullWalkPath, MixedStartsAndDriftsEndWhereTheDefinedWalkEnds) {
  const double boundary = 1.25;
  const double inf = std::numeric_limits<double>::infinity();
  const double starts[] = {0.0, boundary, -0.1, 1.7, std::nan(""), std::nextafter(0.0, 1.0),
                           std::nextafter(boundary, 0.0), 0.3, 0.625, 1.0, 0.9, 0.05};
  const double drift_steps[] = {0.0, 0.001, -0.002, 0.04, -0.3, inf, -inf, 0.0005};
  std::mt19937_64 gen(20240607);
  TrialRun run{{}, {}, boundary, 0.8 * kSqrtTimeStep};
  for (int k = 0; k < 9000; ++k) {
    // About one trial in four ends where it starts.
    const std::size_t s = gen() % 18;
    run.x0.push_back(s < 12 ? starts[s] : 0.1 * static_cast<double>(s - 11));
    run.a.push_back(drift_steps[gen() % 8]);
  }
  const auto [unstarted, capped] = expect_defined_walks(run, 42, 123);
  EXPECT_GT(unstarted, 2000u);
}

INSTANTIATE_TEST_SUITE_P(Paths, FullWalkPath, ::testing::ValuesIn(all_paths()),
                         [](const ::testing::TestParamInfo<SimdPath>& info) {
                           return std::string(internal::simd_path_name(info.param));
                         });

}  // namespace
}  // namespace corvatel
