#include "corvatel/stats.h"

#include <cmath>

namespace corvatel {

namespace {

// One trial set, whichever way it is stored: size() trials, each asked
// whether it counts (did not time out), is correct, and for its rt.
struct TrialView {
  std::span<const Trial> trials;
  std::size_t size() const { return trials.size(); }
  bool counts(std::size_t i) const { return !trials[i].timed_out; }
  bool upper(std::size_t i) const { return !trials[i].timed_out && trials[i].choice; }
  double rt(std::size_t i) const { return trials[i].rt; }
};

struct ObservedView {
  const ObservedTrials& trials;
  std::size_t size() const { return trials.choices.size(); }
  bool counts(std::size_t) const { return true; }
  bool upper(std::size_t i) const { return trials.choices[i] != 0; }
  double rt(std::size_t i) const { return trials.rts[i]; }
};

template <typename View>
TrialCounts count(const View& view) {
  TrialCounts counts{0, 0};
  for (std::size_t i = 0; i < view.size(); ++i) {
    counts.n_valid += view.counts(i) ? 1u : 0u;
    counts.n_upper += view.upper(i) ? 1u : 0u;
  }
  return counts;
}

// Reads the trials three times instead of gathering the correct rts into a
// copy: the sums see the same values in the same order.
template <typename View>
std::optional<SummaryStats> summarise(const View& view) {
  const TrialCounts counts = count(view);
  if (counts.n_valid == 0 || counts.n_upper < 2) return std::nullopt;

  const double n = static_cast<double>(counts.n_upper);
  double sum = 0.0;
  for (std::size_t i = 0; i < view.size(); ++i) {
    if (view.upper(i)) sum += view.rt(i);
  }
  const double mean = sum / n;
  double squares = 0.0;
  for (std::size_t i = 0; i < view.size(); ++i) {
    if (!view.upper(i)) continue;
    const double d = view.rt(i) - mean;
    squares += d * d;
  }
  const double var = squares / (n - 1.0);
  const double accuracy = n / static_cast<double>(counts.n_valid);
  return SummaryStats{accuracy, mean, var, counts.n_valid, counts.n_upper};
}

}  // namespace

std::optional<SummaryStats> summary_stats(std::span<const Trial> trials) { return summarise(TrialView{trials}); }
std::optional<SummaryStats> summary_stats(const ObservedTrials& trials) { return summarise(ObservedView{trials}); }

TrialCounts count_trials(std::span<const Trial> trials) { return count(TrialView{trials}); }
TrialCounts count_trials(const ObservedTrials& trials) { return count(ObservedView{trials}); }

InformationCriteria information_criteria(double log_likelihood, std::uint64_t n_params, std::uint64_t n_trials) {
  const double k = static_cast<double>(n_params);
  return {2.0 * k - 2.0 * log_likelihood, k * std::log(static_cast<double>(n_trials)) - 2.0 * log_likelihood};
}

}  // namespace corvatel
