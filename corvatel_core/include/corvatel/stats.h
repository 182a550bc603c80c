// Summary statistics of a trial set: accuracy (upper boundary = correct) and
// the mean and sample variance of the correct response times. Timed-out
// trials are ignored entirely.
//
// Both sums run left to right in input order and the variance is two-pass:
// the simulation fit hashes the exact bits of these numbers into its seed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "corvatel/params.h"

namespace corvatel {

struct SummaryStats {
  double accuracy;  // n_upper / n_valid
  double mean_rt;   // of the counted upper-boundary trials
  double var_rt;    // sample variance (divisor n_upper - 1) of the same rts
  std::uint64_t n_valid;  // trials that did not time out
  std::uint64_t n_upper;  // of those, the ones that ended at the upper boundary
};

// Nothing when there are no trials, only timed-out ones, or fewer than two
// finished upper-boundary trials.
std::optional<SummaryStats> summary_stats(std::span<const Trial> trials);

}  // namespace corvatel
