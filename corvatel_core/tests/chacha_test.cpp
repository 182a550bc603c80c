#include "corvatel/chacha.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vectors.h"

namespace corvatel {
namespace {

using testing::dec_u64;
using testing::hex_u64;

TEST(ChaCha8Rng, SeedExpansionMatchesReferenceKeys) {
  const auto vectors = testing::load_vectors("rng.json");
  ASSERT_FALSE(vectors["seed_expansion"].empty());
  for (const auto& c : vectors["seed_expansion"]) {
    const std::uint64_t seed = dec_u64(c["seed"]);
    const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
    for (std::size_t j = 0; j < 8; ++j) {
      EXPECT_EQ(key[j], hex_u64(c["key_words"][j])) << "seed " << seed << " word " << j;
    }
    // The key lands in words 4..11 of the block input.
    const auto rng = ChaCha8Rng::seed_from_u64(seed);
    for (std::size_t j = 0; j < 8; ++j) EXPECT_EQ(internal::state_of(rng).words[4 + j], key[j]);
  }
}

struct DrawCase {
  std::uint64_t seed;
  std::uint64_t stream;
  std::vector<std::uint64_t> draws;
};

std::vector<DrawCase> draw_cases() {
  std::vector<DrawCase> cases;
  const auto vectors = testing::load_vectors("rng.json");
  for (const auto& c : vectors["cases"]) {
    DrawCase d{dec_u64(c["seed"]), dec_u64(c["stream"]), {}};
    for (const auto& w : c["next_u64"]) d.draws.push_back(hex_u64(w));
    cases.push_back(d);
  }
  return cases;
}

class ChaCha8RngDraws : public ::testing::TestWithParam<DrawCase> {};

// The first 40 draws cover two refills: draw 33 is the first of blocks 4..7.
TEST_P(ChaCha8RngDraws, MatchReference) {
  const DrawCase& c = GetParam();
  ASSERT_EQ(c.draws.size(), 40u);
  auto rng = ChaCha8Rng::seed_from_u64(c.seed);
  rng.set_stream(c.stream);
  for (std::size_t k = 0; k < c.draws.size(); ++k) {
    ASSERT_EQ(rng.next_u64(), c.draws[k]) << "draw " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Reference, ChaCha8RngDraws, ::testing::ValuesIn(draw_cases()),
                         [](const auto& info) {
                           return "seed_" + std::to_string(info.param.seed) + "_stream_" +
                                  std::to_string(info.param.stream);
                         });

TEST(ChaCha8Rng, StreamsShareKeyButDifferFromFirstDraw) {
  auto stream0 = ChaCha8Rng::seed_from_u64(99);
  auto stream1 = ChaCha8Rng::seed_from_u64(99);
  stream1.set_stream(1);
  for (int i = 4; i < 12; ++i) EXPECT_EQ(internal::state_of(stream0).words[i], internal::state_of(stream1).words[i]);
  EXPECT_NE(stream0.next_u64(), stream1.next_u64());
}

TEST(ChaCha8Rng, SameSeedAndStreamGiveSameDraws) {
  auto a = ChaCha8Rng::seed_from_u64(7);
  auto b = ChaCha8Rng::seed_from_u64(7);
  a.set_stream(12345);
  b.set_stream(12345);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(a.next_u64(), b.next_u64()) << "draw " << i;
}

TEST(ChaCha8Rng, RefillAdvancesCounterByFourAcrossTheWordBoundary) {
  const std::uint8_t key[32] = {};
  const std::uint8_t nonce[8] = {};
  auto state = internal::init_chacha(key, nonce);
  internal::set_stream_param(state, 0, 0xFFFFFFFEull);
  std::uint32_t buffer[64];
  internal::refill_wide(state, buffer);
  EXPECT_EQ(state.words[12], 2u);
  EXPECT_EQ(state.words[13], 1u);

  internal::set_stream_param(state, 0, ~0ull - 1);  // wraps modulo 2^64
  internal::refill_wide(state, buffer);
  EXPECT_EQ(state.words[12], 2u);
  EXPECT_EQ(state.words[13], 0u);
}

TEST(ChaCha8Rng, SetStreamParamWritesLowHalfInEvenWord) {
  const std::uint8_t key[32] = {};
  const std::uint8_t nonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  auto state = internal::init_chacha(key, nonce);
  EXPECT_EQ(state.words[14], 0x04030201u);
  EXPECT_EQ(state.words[15], 0x08070605u);
  internal::set_stream_param(state, 1, 0x1122334455667788ull);
  EXPECT_EQ(state.words[14], 0x55667788u);
  EXPECT_EQ(state.words[15], 0x11223344u);
  EXPECT_EQ(state.words[12], 0u);
  EXPECT_EQ(state.words[13], 0u);
}

}  // namespace
}  // namespace corvatel
