#include "corvatel/stats.h"

#include <vector>

namespace corvatel {

std::optional<SummaryStats> summary_stats(std::span<const Trial> trials) {
  std::uint64_t n_valid = 0;
  for (const Trial& t : trials) n_valid += t.timed_out ? 0 : 1;
  if (n_valid == 0) return std::nullopt;

  std::vector<double> upper_rts;
  for (const Trial& t : trials) {
    if (!t.timed_out && t.choice) upper_rts.push_back(t.rt);
  }
  const std::uint64_t n_upper = upper_rts.size();
  if (n_upper < 2) return std::nullopt;

  const double count = static_cast<double>(n_upper);
  double sum = 0.0;
  for (double rt : upper_rts) sum += rt;
  const double mean = sum / count;
  double squares = 0.0;
  for (double rt : upper_rts) {
    const double d = rt - mean;
    squares += d * d;
  }
  const double var = squares / (count - 1.0);
  const double accuracy = count / static_cast<double>(n_valid);
  return SummaryStats{accuracy, mean, var, n_valid, n_upper};
}

}  // namespace corvatel
