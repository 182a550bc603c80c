#include "corvatel/simulate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "vectors.h"

namespace corvatel {
namespace {

using testing::bits;
using testing::dec_u64;
using testing::hex_f64;
using testing::hex_u64;

double running_sum_of_steps(int steps) {
  double t = 0.0;
  for (int i = 0; i < steps; ++i) t = t + 0.001;
  return t;
}

struct SimulateCase {
  std::string name;
  Params params;
  std::uint64_t n;
  std::uint64_t seed;
  std::string choices;
  std::vector<std::uint64_t> rts;
  std::vector<std::uint64_t> timed_out;
};

std::vector<SimulateCase> simulate_cases() {
  const auto vectors = testing::load_vectors("simulate.json");
  std::vector<SimulateCase> cases;
  for (const auto& c : vectors["cases"]) {
    const auto& p = c["params"];
    SimulateCase s{c["name"],
                   {hex_f64(p["drift"]), hex_f64(p["boundary"]), hex_f64(p["start"]), hex_f64(p["t0"]),
                    hex_f64(p["noise_sd"])},
                   dec_u64(c["n"]),
                   dec_u64(c["seed"]),
                   c["choices"],
                   {},
                   {}};
    for (const auto& r : c["rts"]) s.rts.push_back(hex_u64(r));
    for (const auto& i : c["timed_out_indices"]) s.timed_out.push_back(i);
    cases.push_back(s);
  }
  return cases;
}

class SimulateReference : public ::testing::TestWithParam<SimulateCase> {};

TEST_P(SimulateReference, KeptTrialsMatchBitForBit) {
  const SimulateCase& c = GetParam();
  const TrialBatch batch = simulate_n(c.params, c.n, c.seed);
  ASSERT_EQ(batch.size(), c.n);
  std::string choices;
  std::vector<std::uint64_t> rts;
  std::vector<std::uint64_t> timed_out;
  for (std::uint64_t i = 0; i < batch.size(); ++i) {
    if (batch[i].timed_out) {
      timed_out.push_back(i);
      continue;
    }
    choices += batch[i].choice ? '1' : '0';
    rts.push_back(bits(batch[i].rt));
  }
  EXPECT_EQ(choices, c.choices);
  EXPECT_EQ(rts, c.rts);
  EXPECT_EQ(timed_out, c.timed_out);
}

INSTANTIATE_TEST_SUITE_P(Reference, SimulateReference, ::testing::ValuesIn(simulate_cases()),
                         [](const auto& info) {
                           std::string name;
                           for (char ch : info.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

TEST(SimulateTrial, StartOnABoundarySkipsTheWalk) {
  for (double boundary : {0.5, 1.0, 7.0}) {
    const Trial lower = simulate_trial({1.0, boundary, 0.0, 0.25, 1.0}, 3, 9);
    EXPECT_FALSE(lower.choice);
    EXPECT_EQ(lower.rt, 0.25);
    EXPECT_FALSE(lower.timed_out);
    const Trial upper = simulate_trial({1.0, boundary, 1.0, 0.25, 1.0}, 3, 9);
    EXPECT_TRUE(upper.choice);
    EXPECT_EQ(upper.rt, 0.25);
    EXPECT_FALSE(upper.timed_out);
  }
}

TEST(SimulateTrial, NoiselessDriftTakesFiveHundredSteps) {
  const double after_500 = running_sum_of_steps(500);
  EXPECT_GT(after_500, 0.5);  // the running sum, not 500 * 0.001
  for (double drift : {1.0, -1.0}) {
    const Trial t = simulate_trial({drift, 1.0, 0.5, 0.0, 0.0}, 5, 0);
    EXPECT_EQ(t.choice, drift > 0);
    EXPECT_EQ(bits(t.rt), bits(after_500));
    EXPECT_FALSE(t.timed_out);
  }
}

TEST(SimulateTrial, NoDriftNoNoiseTimesOutAfter10001Steps) {
  const Trial t = simulate_trial({0.0, 1.0, 0.5, 0.2, 0.0}, 5, 1);
  EXPECT_TRUE(t.timed_out);
  EXPECT_TRUE(t.choice);  // the start is the midpoint
  EXPECT_EQ(bits(t.rt), bits(running_sum_of_steps(10001) + 0.2));
}

TEST(SimulateTrial, NanDriftEndsAfterOneStep) {
  const Trial t = simulate_trial({std::nan(""), 1.5, 0.5, 0.3, 1.0}, 4, 2);
  EXPECT_FALSE(t.choice);
  EXPECT_EQ(t.rt, 0.001 + 0.3);
  EXPECT_FALSE(t.timed_out);
}

TEST(SimulateTrial, NanBoundaryOrStartSkipsTheWalk) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const Params& p : {Params{1, nan, 0.5, 0.3, 1}, Params{1, 1.5, nan, 0.3, 1}}) {
    const Trial t = simulate_trial(p, 1, 0);
    EXPECT_FALSE(t.choice);
    EXPECT_EQ(t.rt, 0.3);
    EXPECT_FALSE(t.timed_out);
  }
}

TEST(SimulateN, EmptyBatch) { EXPECT_EQ(simulate_n({1, 1.5, 0.5, 0.3, 1}, 0, 1).size(), 0u); }

TEST(SimulateN, ElementIIsTrialI) {
  const Params p{0.7, 1.2, 0.4, 0.1, 1.3};
  const TrialBatch batch = simulate_n(p, 300, 77);
  for (std::uint64_t i = 0; i < batch.size(); ++i) {
    const Trial t = simulate_trial(p, 77, i);
    ASSERT_EQ(batch[i].choice, t.choice) << i;
    ASSERT_EQ(bits(batch[i].rt), bits(t.rt)) << i;
    ASSERT_EQ(batch[i].timed_out, t.timed_out) << i;
  }
}

void expect_same(const TrialBatch& a, const TrialBatch& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::uint64_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].choice, b[i].choice) << i;
    ASSERT_EQ(bits(a[i].rt), bits(b[i].rt)) << i;
    ASSERT_EQ(a[i].timed_out, b[i].timed_out) << i;
  }
}

class SimulatePoolSize : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SimulatePoolSize, SameBatchOnEveryPool) {
  const Params p{1.0, 1.5, 0.5, 0.3, 1.0};
  WorkerPool one(1);
  const TrialBatch reference = simulate_n(p, 5000, 123, one);
  WorkerPool pool(GetParam());
  expect_same(simulate_n(p, 5000, 123, pool), reference);
  expect_same(simulate_n(p, 5000, 123), reference);
}

INSTANTIATE_TEST_SUITE_P(Workers, SimulatePoolSize, ::testing::Values(2, 3, 7, 16));

TEST(SimulateN, ShortBatchIsPrefixOfLongOne) {
  const Params p{1.0, 1.5, 0.5, 0.3, 1.0};
  const TrialBatch shortb = simulate_n(p, 3, 0);
  const TrialBatch longb = simulate_n(p, 5000, 0);
  for (std::uint64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(bits(shortb[i].rt), bits(longb[i].rt));
    EXPECT_EQ(shortb[i].choice, longb[i].choice);
  }
}


// The kept trials are those of simulate_n that did not time out, in index
// order; with a small noise most trials reach the cap, some do not.
TEST(SimulateKept, EqualsTheFilteredBatch) {
  const Params p{0.0, 1.0, 0.5, 0.2, 0.09};
  const std::uint64_t n = 3000;
  const TrialBatch batch = simulate_n(p, n, 31);
  std::vector<std::uint8_t> choices(n, 7);
  std::vector<double> rts(n, -1.0);
  for (std::size_t workers : {std::size_t{1}, std::size_t{3}}) {
    WorkerPool pool(workers);
    const std::uint64_t kept = simulate_kept(p, n, 31, choices.data(), rts.data(), pool).value();
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
  EXPECT_EQ(simulate_kept(p, 0, 31, choices.data(), rts.data()).value(), 0u);
}

}  // namespace
}  // namespace corvatel
