#include "corvatel/normal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "vectors.h"

namespace corvatel {
namespace {

using testing::bits;
using testing::dec_u64;
using testing::hex_u64;

TEST(ZigguratTables, MatchReference) {
  const auto tables = testing::load_vectors("normal.json")["tables"];
  for (std::size_t i = 0; i < 257; ++i) {
    EXPECT_EQ(bits(internal::ZIG_NORM_X[i]), hex_u64(tables["X"][i])) << "X[" << i << "]";
    EXPECT_EQ(bits(internal::ZIG_NORM_F[i]), hex_u64(tables["F"][i])) << "F[" << i << "]";
  }
}

TEST(ZigguratTables, Invariants) {
  EXPECT_EQ(internal::ZIG_NORM_X[1], internal::kZigR);
  EXPECT_EQ(internal::ZIG_NORM_X[256], 0.0);
  EXPECT_EQ(internal::ZIG_NORM_F[256], 1.0);
  for (std::size_t i = 1; i < 257; ++i) {
    EXPECT_LT(internal::ZIG_NORM_X[i], internal::ZIG_NORM_X[i - 1]) << i;
    EXPECT_GT(internal::ZIG_NORM_F[i], internal::ZIG_NORM_F[i - 1]) << i;
  }
  // Every layer above the base has the same area V (to rounding).
  const double v = 0.00492867323399;
  for (std::size_t i = 1; i < 255; ++i) {
    const double area = internal::ZIG_NORM_X[i] * (internal::ZIG_NORM_F[i + 1] - internal::ZIG_NORM_F[i]);
    EXPECT_NEAR(area, v, 1e-12) << "layer " << i;
  }
}

struct NormalCase {
  std::uint64_t seed;
  std::uint64_t stream;
  std::vector<std::uint64_t> samples;
  std::string paths;
  std::uint64_t words_consumed;
};

std::vector<NormalCase> normal_cases() {
  std::vector<NormalCase> cases;
  const auto vectors = testing::load_vectors("normal.json");
  for (const auto& c : vectors["cases"]) {
    NormalCase n{dec_u64(c["seed"]), dec_u64(c["stream"]), {}, c["paths"], c["words_consumed"]};
    for (const auto& s : c["samples"]) n.samples.push_back(hex_u64(s));
    cases.push_back(n);
  }
  return cases;
}

class StandardNormalReference : public ::testing::TestWithParam<NormalCase> {};

TEST_P(StandardNormalReference, SamplesAndWordsConsumed) {
  const NormalCase& c = GetParam();
  auto rng = ChaCha8Rng::seed_from_u64(c.seed);
  rng.set_stream(c.stream);
  const StandardNormal normal;
  for (std::size_t k = 0; k < c.samples.size(); ++k) {
    ASSERT_EQ(bits(normal.sample(rng)), c.samples[k]) << "variate " << k << " path " << c.paths[k];
  }
  // The next word must be the one after exactly `words_consumed` draws.
  auto reference = ChaCha8Rng::seed_from_u64(c.seed);
  reference.set_stream(c.stream);
  for (std::uint64_t k = 0; k < c.words_consumed; ++k) reference.next_u64();
  EXPECT_EQ(rng.next_u64(), reference.next_u64());
}

INSTANTIATE_TEST_SUITE_P(Reference, StandardNormalReference, ::testing::ValuesIn(normal_cases()),
                         [](const auto& info) {
                           return "seed_" + std::to_string(info.param.seed) + "_stream_" +
                                  std::to_string(info.param.stream);
                         });

// Serves fixed words, so that a test can steer the sampler into each branch.
class SequenceRng {
 public:
  explicit SequenceRng(std::vector<std::uint64_t> words) : words_(words.begin(), words.end()) {}
  std::uint64_t next_u64() {
    if (words_.empty()) throw std::runtime_error("sampler asked for more words than given");
    const std::uint64_t w = words_.front();
    words_.pop_front();
    ++used_;
    return w;
  }
  int used() const { return used_; }

 private:
  std::deque<std::uint64_t> words_;
  int used_ = 0;
};

// A word whose top 52 bits give the symmetric uniform u and low 8 bits the layer.
std::uint64_t word_for(double u, std::uint64_t layer) {
  const std::uint64_t mantissa = bits(u + 3.0) & 0x000FFFFFFFFFFFFFull;
  return (mantissa << 12) | layer;
}

TEST(StandardNormalBranches, FastPathUsesOneWord) {
  SequenceRng rng({word_for(0.5, 200)});
  const double x = StandardNormal{}.sample(rng);
  EXPECT_EQ(x, 0.5 * internal::ZIG_NORM_X[200]);
  EXPECT_EQ(rng.used(), 1);
}

TEST(StandardNormalBranches, WedgeAcceptUsesTwoWords) {
  // u close to 1 puts x beyond the next layer's edge; v close to 1 makes the
  // wedge bound nearly F[i], which exp(-x^2/2) exceeds inside the layer.
  const std::uint64_t layer = 100;
  const std::uint64_t word = word_for(0.999, layer);
  SequenceRng rng({word, ~0ull});
  const double x = StandardNormal{}.sample(rng);
  EXPECT_GT(std::fabs(x), internal::ZIG_NORM_X[layer + 1]);
  EXPECT_EQ(x, internal::symmetric_from_bits(word) * internal::ZIG_NORM_X[layer]);
  EXPECT_EQ(rng.used(), 2);
}

TEST(StandardNormalBranches, WedgeRejectDrawsAgain) {
  // v = 0 makes the bound F[i+1], which exp(-x^2/2) never exceeds there.
  const std::uint64_t retry = word_for(0.25, 50);
  SequenceRng rng({word_for(-0.999, 100), 0, retry});
  const double x = StandardNormal{}.sample(rng);
  EXPECT_EQ(x, internal::symmetric_from_bits(retry) * internal::ZIG_NORM_X[50]);
  EXPECT_EQ(rng.used(), 3);
}

// The wedge's uniform is the closed-open conversion (53 bits), not the open
// one (52 bits plus half a step): a word whose two conversions fall on
// either side of the acceptance threshold tells them apart. Such a word is
// found by bisection over the 53-bit values for one wedge point.
TEST(StandardNormalBranches, WedgeUniformIsClosedOpen) {
  bool found = false;
  for (std::uint64_t layer = 1; layer < 255 && !found; ++layer) {
    const std::uint64_t word = word_for(0.9999, layer);
    const double x = internal::symmetric_from_bits(word) * internal::ZIG_NORM_X[layer];
    if (std::fabs(x) < internal::ZIG_NORM_X[layer + 1]) continue;  // not a wedge point
    const double fi = internal::ZIG_NORM_F[layer];
    const double fi1 = internal::ZIG_NORM_F[layer + 1];
    const double fx = internal::unnormalised_density(x);
    const auto accepts = [&](double v) { return fi1 + (fi - fi1) * v < fx; };
    // Smallest k whose closed-open value k * 2^-53 is accepted.
    std::uint64_t lo = 0, hi = std::uint64_t{1} << 53;
    if (accepts(0.0) || !accepts(static_cast<double>(hi - 1) * 0x1.0p-53)) continue;
    while (hi - lo > 1) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      (accepts(static_cast<double>(mid) * 0x1.0p-53) ? hi : lo) = mid;
    }
    const std::uint64_t rejected = lo << 11;  // closed-open: lo * 2^-53, just rejected
    if (!accepts(internal::open_from_bits(rejected))) continue;  // both conversions agree here
    found = true;
    const std::uint64_t retry = word_for(0.25, 50);
    SequenceRng rng({word, rejected, retry});
    EXPECT_EQ(StandardNormal{}.sample(rng), internal::symmetric_from_bits(retry) * internal::ZIG_NORM_X[50]);
    EXPECT_EQ(rng.used(), 3);
  }
  EXPECT_TRUE(found) << "no wedge point separates the two conversions";
}

TEST(StandardNormalBranches, TailReturnsBeyondRWithTheSignOfU) {
  // Layer 0 with |u * X[0]| >= R goes to the tail; both open conversions
  // are about 0.5, accepted at the first attempt.
  const std::uint64_t r1 = 0x8000000000000000ull;
  const std::uint64_t r2 = 0x8000000000000000ull;
  for (double u : {0.99, -0.99}) {
    SequenceRng rng({word_for(u, 0), r1, r2});
    const double x = StandardNormal{}.sample(rng);
    const double y = std::log(internal::open_from_bits(r1)) / internal::kZigR;
    EXPECT_EQ(x, u < 0 ? y - internal::kZigR : internal::kZigR - y);
    EXPECT_GT(std::fabs(x), internal::kZigR);
    EXPECT_EQ(std::signbit(x), std::signbit(u));
    EXPECT_EQ(rng.used(), 3);
  }
}

TEST(StandardNormalBranches, TailRejectionDrawsTwoMore) {
  // r1 tiny makes y large, r2 near 1 makes -2w tiny: rejected, then accepted.
  SequenceRng rng({word_for(0.99, 0), 0, ~0ull, 0x8000000000000000ull, 0x8000000000000000ull});
  const double x = StandardNormal{}.sample(rng);
  EXPECT_GT(x, internal::kZigR);
  EXPECT_EQ(rng.used(), 5);
}

TEST(UniformConversions, Ranges) {
  EXPECT_EQ(internal::symmetric_from_bits(0), -1.0);
  EXPECT_EQ(internal::symmetric_from_bits(~0ull), 1.0 - 0x1.0p-51);
  EXPECT_EQ(internal::open_from_bits(0), 0x1.0p-53);
  EXPECT_EQ(internal::open_from_bits(~0ull), 1.0 - 0x1.0p-53);
  EXPECT_EQ(internal::closed_open_from_bits(0), 0.0);
  EXPECT_EQ(internal::closed_open_from_bits(~0ull), 1.0 - 0x1.0p-53);
}

// Seeded, with a fixed budget: the mean and variance of 200 000 variates lie
// within 5 standard errors, which a correct sampler misses about once in
// 10^6 runs.
TEST(StandardNormalMoments, MeanAndVarianceOfManyVariates) {
  auto rng = ChaCha8Rng::seed_from_u64(2024);
  const StandardNormal normal;
  const int n = 200000;
  double sum = 0, sum_sq = 0;
  for (int i = 0; i < n; ++i) {
    const double z = normal.sample(rng);
    sum += z;
    sum_sq += z * z;
  }
  const double mean = sum / n;
  const double var = sum_sq / n - mean * mean;
  EXPECT_LT(std::fabs(mean), 5.0 / std::sqrt(n));
  EXPECT_LT(std::fabs(var - 1.0), 5.0 * std::sqrt(2.0 / n));
}

}  // namespace
}  // namespace corvatel
