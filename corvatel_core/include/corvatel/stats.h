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

// Observed trials read in place from the caller's two arrays: choice i
// (nonzero = upper boundary) and rt i belong to trial i; none timed out.
// The arrays have equal lengths.
struct ObservedTrials {
  std::span<const std::uint8_t> choices;
  std::span<const double> rts;
};

// How many trials count and how many of them ended at the upper boundary.
struct TrialCounts {
  std::uint64_t n_valid;
  std::uint64_t n_upper;
};

// Nothing when there are no trials, only timed-out ones, or fewer than two
// finished upper-boundary trials. Needs no memory beyond the trials.
std::optional<SummaryStats> summary_stats(std::span<const Trial> trials);
std::optional<SummaryStats> summary_stats(const ObservedTrials& trials);

TrialCounts count_trials(std::span<const Trial> trials);
TrialCounts count_trials(const ObservedTrials& trials);

// Akaike's and the Bayesian (Schwarz's) information criteria of a fit with
// n_params free parameters and the given log-likelihood over n_trials
// trials: 2k - 2 log L and k ln n - 2 log L.
struct InformationCriteria {
  double aic;
  double bic;
};
InformationCriteria information_criteria(double log_likelihood, std::uint64_t n_params, std::uint64_t n_trials);

}  // namespace corvatel
