#include "corvatel/stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "trials.h"
#include "vectors.h"

namespace corvatel {
namespace {

using testing::bits;
using testing::dec_u64;
using testing::hex_u64;

TEST(SummaryStats, ReferenceCases) {
  const auto vectors = testing::load_vectors("stats.json");
  ASSERT_FALSE(vectors["cases"].empty());
  for (const auto& c : vectors["cases"]) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const auto trials = testing::trials_from_json(c["trials"]);
    const auto stats = summary_stats(trials);
    if (c["expected"].is_null()) {
      EXPECT_FALSE(stats.has_value());
      continue;
    }
    ASSERT_TRUE(stats.has_value());
    const auto& e = c["expected"];
    EXPECT_EQ(bits(stats->accuracy), hex_u64(e["accuracy"]));
    EXPECT_EQ(bits(stats->mean_rt), hex_u64(e["mean_rt"]));
    EXPECT_EQ(bits(stats->var_rt), hex_u64(e["var_rt"]));
    EXPECT_EQ(stats->n_valid, dec_u64(e["n_valid"]));
    EXPECT_EQ(stats->n_upper, dec_u64(e["n_upper"]));
  }
}

struct EmptyCase {
  const char* name;
  std::vector<Trial> trials;
};

class SummaryStatsNothing : public ::testing::TestWithParam<EmptyCase> {};

TEST_P(SummaryStatsNothing, YieldsNothing) { EXPECT_FALSE(summary_stats(GetParam().trials).has_value()); }

std::vector<Trial> ten_with_one_upper() {
  std::vector<Trial> trials(10, Trial{false, 0.5, false});
  trials[3].choice = true;
  return trials;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SummaryStatsNothing,
    ::testing::Values(EmptyCase{"empty", {}},
                      EmptyCase{"all_timed_out", {{true, 1, true}, {true, 2, true}, {false, 3, true}}},
                      EmptyCase{"one_upper_of_ten", ten_with_one_upper()},
                      // A timed-out upper trial does not count towards the two.
                      EmptyCase{"second_upper_timed_out", {{true, 0.5, false}, {true, 0.6, true}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SummaryStats, TwoPassVarianceOfTheWorkedExample) {
  const std::vector<Trial> trials{{true, 0.5, false}, {true, 0.7, false}, {false, 0.9, false}, {true, 2.0, true}};
  const auto stats = summary_stats(trials);
  ASSERT_TRUE(stats.has_value());
  EXPECT_EQ(stats->n_valid, 3u);
  EXPECT_EQ(stats->n_upper, 2u);
  EXPECT_EQ(bits(stats->accuracy), bits(2.0 / 3.0));
  EXPECT_EQ(stats->mean_rt, 0.6);
  const double d1 = 0.5 - 0.6, d2 = 0.7 - 0.6;
  EXPECT_EQ(bits(stats->var_rt), bits((d1 * d1 + d2 * d2) / 1.0));
  EXPECT_LT(stats->var_rt, 0.02);
}

TEST(SummaryStats, EqualRtsGiveZeroVariance) {
  const auto stats = summary_stats(std::vector<Trial>{{true, 0.42, false}, {true, 0.42, false}});
  ASSERT_TRUE(stats.has_value());
  EXPECT_EQ(stats->var_rt, 0.0);
}

TEST(SummaryStats, NanRtCountsOnlyOnCountedTrials) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto counted = summary_stats(std::vector<Trial>{{true, nan, false}, {true, 0.5, false}});
  ASSERT_TRUE(counted.has_value());
  EXPECT_TRUE(std::isnan(counted->mean_rt));
  EXPECT_TRUE(std::isnan(counted->var_rt));

  const std::vector<Trial> ignored{{true, 0.5, false}, {true, 0.7, false}, {false, nan, false}, {true, nan, true}};
  const auto stats = summary_stats(ignored);
  ASSERT_TRUE(stats.has_value());
  EXPECT_EQ(stats->mean_rt, 0.6);
  EXPECT_EQ(stats->n_valid, 3u);
}

TEST(SummaryStats, SumsRunLeftToRight) {
  // 1e16 + 1 + 1 loses both ones left to right; any reordering keeps them.
  const std::vector<Trial> trials{{true, 1e16, false}, {true, 1.0, false}, {true, 1.0, false}};
  const auto stats = summary_stats(trials);
  ASSERT_TRUE(stats.has_value());
  EXPECT_EQ(bits(stats->mean_rt), bits(((1e16 + 1.0) + 1.0) / 3.0));
}

// The caller's two arrays, read in place, give the bits that the same
// trials as records give, and the same counts.
TEST(SummaryStats, ObservedArraysMatchTrialRecords) {
  std::vector<std::uint8_t> choices;
  std::vector<double> rts;
  std::vector<Trial> records;
  for (int i = 0; i < 1001; ++i) {
    const bool upper = (i * 7919) % 10 < 7;
    const double rt = 0.3 + 0.001 * ((i * 104729) % 997);
    choices.push_back(upper ? (i % 3 == 0 ? 2 : 1) : 0);  // any nonzero byte is upper
    rts.push_back(rt);
    records.push_back(Trial{upper, rt, false});
  }
  const ObservedTrials observed{choices, rts};
  const auto a = summary_stats(observed);
  const auto b = summary_stats(records);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(bits(a->accuracy), bits(b->accuracy));
  EXPECT_EQ(bits(a->mean_rt), bits(b->mean_rt));
  EXPECT_EQ(bits(a->var_rt), bits(b->var_rt));
  EXPECT_EQ(a->n_valid, b->n_valid);
  EXPECT_EQ(a->n_upper, b->n_upper);
  EXPECT_EQ(count_trials(observed).n_upper, count_trials(records).n_upper);
  EXPECT_EQ(count_trials(observed).n_valid, 1001u);
}

}  // namespace
}  // namespace corvatel
