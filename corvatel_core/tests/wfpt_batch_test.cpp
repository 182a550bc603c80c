// log_densities: the scalar density of every element, bit for bit whatever
// the pool's size; the first invalid element by index; a stop honoured.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <variant>
#include <vector>

#include "corvatel/wfpt.h"

namespace corvatel {
namespace {

// A mixed batch: rt and choice per element (leading edges, long times,
// before t0), drift per element, sv, sz and st for everyone.
struct Batch {
  std::vector<double> rt;
  std::vector<std::uint8_t> choice;
  std::vector<double> drift;
  DensityColumns columns() const {
    DensityColumns in;
    in.n = rt.size();
    in.rt.values = rt;
    in.choice.values = choice;
    in.drift.values = drift;
    in.boundary.scalar = 1.4;
    in.start.scalar = 0.45;
    in.t0.scalar = 0.3;
    in.noise_sd.scalar = 1.0;
    in.sv.scalar = 0.8;
    in.sz.scalar = 0.2;
    in.st.scalar = 0.15;
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

TEST(WfptBatchTest, EveryElementIsTheScalarDensityWhateverThePool) {
  const Batch b = make_batch(3000);
  const DensityColumns in = b.columns();
  WorkerPool one(1);
  WorkerPool three(3);
  std::vector<double> a(in.n), c(in.n), lin(in.n);
  ASSERT_FALSE(log_densities(in, a, DensityScale::Log, one));
  ASSERT_FALSE(log_densities(in, c, DensityScale::Log, three));
  ASSERT_FALSE(log_densities(in, lin, DensityScale::Linear, three));
  for (std::size_t i = 0; i < in.n; ++i) {
    const double expected = wfpt_log_density(b.rt[i], b.choice[i] != 0, in.params_at(i));
    ASSERT_TRUE(same_bits(a[i], expected)) << i;
    ASSERT_TRUE(same_bits(c[i], expected)) << i;
    ASSERT_TRUE(same_bits(lin[i], std::exp(expected))) << i;
  }
}

TEST(WfptBatchTest, SmallBatchesRunInPlace) {
  const Batch b = make_batch(kInlineDensities);
  std::vector<double> out(kInlineDensities);
  // A stop check that would stop is not asked: the batch is done before a poll.
  ASSERT_FALSE(log_densities(b.columns(), out, DensityScale::Log, [] { return true; }));
  EXPECT_TRUE(same_bits(out[5], wfpt_log_density(b.rt[5], b.choice[5] != 0, b.columns().params_at(5))));
}

TEST(WfptBatchTest, TheFirstInvalidElementIsReported) {
  for (const std::size_t n : {std::size_t{10}, std::size_t{5000}}) {
    Batch b = make_batch(n);
    std::vector<double> boundary(n, 1.4);
    boundary[n - 2] = -1.0;        // a later error of another kind
    b.rt[n / 2] = std::nan("");     // the first one
    boundary[n / 2 + 1] = 0.0;
    DensityColumns in = b.columns();
    in.boundary.values = boundary;
    std::vector<double> out(n);
    WorkerPool pool(2);
    const auto failure = log_densities(in, out, DensityScale::Log, pool);
    ASSERT_TRUE(failure);
    ASSERT_TRUE(std::holds_alternative<ParamError>(*failure));
    EXPECT_EQ(std::get<ParamError>(*failure), ParamError::rt()) << n;
  }
}

TEST(WfptBatchTest, ASamplersBatchGivesImpossibleElementsMinusInfinity) {
  // Elements 3, 7 and 8 are refused by the density's check (NaN time, a
  // negative boundary, a start window outside the band): -inf with
  // derivatives 0; the others are the checked batches' bits.
  const std::size_t n = 12;
  Batch b = make_batch(n);
  std::vector<double> boundary(n, 1.4), start(n, 0.45);
  b.rt[3] = std::nan("");
  boundary[7] = -1.0;
  start[8] = 0.95;
  DensityColumns in = b.columns();
  in.boundary.values = boundary;
  in.start.values = start;
  in.p_outlier.scalar = 0.05;
  constexpr std::size_t kRows = kGradientParams.size();
  std::vector<double> logs(n), grads(kRows * n, 7.0), values_only(n);
  ASSERT_FALSE(log_densities_in_support(in, logs, grads));
  ASSERT_FALSE(log_densities_in_support(in, values_only, {}));
  for (std::size_t i = 0; i < n; ++i) {
    if (i == 3 || i == 7 || i == 8) {
      EXPECT_EQ(logs[i], -std::numeric_limits<double>::infinity()) << i;
      EXPECT_EQ(values_only[i], -std::numeric_limits<double>::infinity()) << i;
      for (std::size_t k = 0; k < kRows; ++k) EXPECT_EQ(grads[k * n + i], 0.0) << i;
      continue;
    }
    const DensityGradient g = wfpt_log_density_gradient(b.rt[i], b.choice[i] != 0, in.params_at(i), {});
    EXPECT_TRUE(same_bits(logs[i], g.log_density)) << i;
    EXPECT_TRUE(same_bits(values_only[i], g.log_density)) << i;
    for (std::size_t k = 0; k < kRows; ++k) EXPECT_TRUE(same_bits(grads[k * n + i], g.d[k])) << i;
  }
  in.outlier_window = {2.0, 1.0};
  EXPECT_EQ(log_densities_in_support(in, logs, grads), ParamError::outlier_window());
}

TEST(WfptBatchTest, AStopEndsTheBatch) {
  // 200 000 of the slower densities take seconds; the stop comes at the
  // first poll, and the pieces running then end after their current element.
  const Batch b = make_batch(200000);
  std::vector<double> out(b.rt.size());
  std::atomic<int> asked{0};
  WorkerPool pool(2);
  const auto failure = log_densities(b.columns(), out, DensityScale::Log, pool, [&] {
    ++asked;
    return true;
  });
  ASSERT_TRUE(failure);
  EXPECT_TRUE(std::holds_alternative<DensitiesInterrupted>(*failure));
  EXPECT_EQ(asked.load(), 1);
  // The pool still works.
  std::vector<double> small(50);
  EXPECT_FALSE(log_densities(make_batch(50).columns(), small, DensityScale::Log, pool));
}

}  // namespace
}  // namespace corvatel
