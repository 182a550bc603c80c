#include "corvatel/parameters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace corvatel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

ModelParams valid() { return {1.0, 1.5, 0.5, 0.3, 1.0, 0.5, 0.2, 0.1}; }

std::string message_for(ModelParams p, ParamUse use) {
  const auto error = check_params(p, use);
  return error ? error->message() : "";
}

TEST(ParamTable, ValidParametersPass) {
  EXPECT_FALSE(check_params(valid(), ParamUse::Simulation));
  EXPECT_FALSE(check_params(valid(), ParamUse::Density));
  EXPECT_FALSE(check_params(ModelParams{}, ParamUse::Density));
}

// Every parameter refuses NaN and both infinities, naming itself, with the
// same message whatever the use.
TEST(ParamTable, NonFiniteValuesNameTheParameter) {
  for (const ParamRow& s : kParams) {
    for (const double bad : {kNaN, kInf, -kInf}) {
      ModelParams p = valid();
      p.*(s.field) = bad;
      const auto simulation = check_params(p, ParamUse::Simulation);
      const auto density = check_params(p, ParamUse::Density);
      ASSERT_TRUE(simulation) << s.name << " " << bad;
      ASSERT_TRUE(density) << s.name << " " << bad;
      EXPECT_STREQ(simulation->argument(), s.name);
      EXPECT_EQ(simulation->message(), density->message()) << s.name << " " << bad;
      EXPECT_EQ(simulation->message().rfind(std::string(s.name) + " must be ", 0), 0u) << simulation->message();
    }
  }
}

TEST(ParamTable, MessagesFollowTheRanges) {
  ModelParams p = valid();
  p.boundary = 0.0;
  EXPECT_EQ(message_for(p, ParamUse::Simulation), "boundary must be positive");
  p.boundary = kInf;
  EXPECT_EQ(message_for(p, ParamUse::Simulation), "boundary must be finite");
  p = valid();
  p.start = 1.5;
  EXPECT_EQ(message_for(p, ParamUse::Simulation), "start must be between 0 and 1");
  p = valid();
  p.sv = kInf;
  EXPECT_EQ(message_for(p, ParamUse::Simulation), "sv must be non-negative and finite");
  p = valid();
  p.sz = 1.2;
  EXPECT_EQ(message_for(p, ParamUse::Density), "sz must keep start - sz/2 and start + sz/2 within 0 and 1");
  p = valid();
  p.st = 0.61;
  EXPECT_EQ(message_for(p, ParamUse::Simulation), "st must be at most 2 * t0");
}

// A start on the band's edge is a model (its trials end at once), but it
// has no density.
TEST(ParamTable, DensitiesNeedTheStartInsideTheBand) {
  ModelParams p = valid();
  p.sz = 0.0;
  p.start = 0.0;
  EXPECT_FALSE(check_params(p, ParamUse::Simulation));
  EXPECT_EQ(message_for(p, ParamUse::Density), "start must be strictly between 0 and 1");
  p.start = 0.5;
  p.sz = 1.0;
  EXPECT_FALSE(check_params(p, ParamUse::Simulation));
  EXPECT_EQ(message_for(p, ParamUse::Density),
            "sz must keep start - sz/2 and start + sz/2 strictly between 0 and 1");
}

TEST(ParamTable, WalkRangesUseComparisons) {
  const auto message = [](Params p) {
    const auto error = check_walk_ranges(p);
    return error ? error->message() : "";
  };
  EXPECT_EQ(message({1.0, 0.0, 0.5, 0.3, 1.0}), "boundary must be > 0");
  EXPECT_EQ(message({1.0, 1.0, -0.1, 0.3, 1.0}), "start must be in [0, 1]");
  EXPECT_EQ(message({1.0, 1.0, 0.5, kNaN, 1.0}), "t0 must be >= 0");
  EXPECT_EQ(message({1.0, 1.0, 0.5, 0.3, 0.0}), "noise_sd must be > 0");
  // simulate runs any drift and infinite values by the walk's rules.
  EXPECT_EQ(message({kNaN, kInf, 0.5, kInf, kInf}), "");
}

TEST(ParamTable, SearchIntervalsLieInsideTheRanges) {
  for (const ParamRow& s : kParams) {
    if (!s.search) continue;
    EXPECT_TRUE(s.range.contains(s.search->lo) && s.range.contains(s.search->hi)) << s.name;
    EXPECT_TRUE(s.fitted_by & (kFitDdm | kFitFull)) << s.name;
  }
  for (const ParamRow& s : kParams) {
    if (!std::isnan(s.default_value)) {
      EXPECT_TRUE(s.range.contains(s.default_value)) << s.name;
    }
  }
}

}  // namespace
}  // namespace corvatel
