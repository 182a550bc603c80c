// The densities for a sampler's compiled code: a C function, exported by
// name, that code compiled with Numba (the PyMC Op's compiled path) calls
// without Python objects or the interpreter lock.
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "corvatel/wfpt.h"

namespace corvatel::py {

namespace {

// The columns of a call, in this order; choice is 1.0 for the upper
// boundary and 0.0 for the lower, anything else an impossible trial.
enum Column : std::size_t { kRt, kChoice, kDrift, kBoundary, kStart, kT0, kSv, kSz, kSt, kPOutlier, kColumns };

DensityColumn<double> column(const double* values, std::int64_t step, std::size_t n) {
  if (step == 0) return {{}, *values};
  return {std::span<const double>(values, n), 0.0};
}

}  // namespace

// n trials; columns[k] (an address) holds n values of column k when
// steps[k] is 1, one for all when it is 0. Writes the log densities to
// log_out[0, n) and, when gradients is not 0, the derivatives to
// gradients[k * n + i] in kGradientParams' order. A trial with parameters
// outside their ranges, a NaN time or a choice other than 0 and 1 gets -inf
// and derivatives 0. Returns 0, 1 for a bad outlier window [lo, hi], 2 when
// memory ran out.
extern "C" __attribute__((visibility("default"))) int corvatel_sampler_log_densities(std::int64_t n, const std::intptr_t* columns,
                                              const std::int64_t* steps, double lo, double hi,
                                              std::intptr_t log_out, std::intptr_t gradients) noexcept {
  const auto size = static_cast<std::size_t>(n);
  const auto* const* values = reinterpret_cast<const double* const*>(columns);
  try {
    DensityColumns in;
    in.n = size;
    in.rt = column(values[kRt], steps[kRt], size);
    in.drift = column(values[kDrift], steps[kDrift], size);
    in.boundary = column(values[kBoundary], steps[kBoundary], size);
    in.start = column(values[kStart], steps[kStart], size);
    in.t0 = column(values[kT0], steps[kT0], size);
    in.noise_sd = {{}, 1.0};
    in.sv = column(values[kSv], steps[kSv], size);
    in.sz = column(values[kSz], steps[kSz], size);
    in.st = column(values[kSt], steps[kSt], size);
    in.p_outlier = column(values[kPOutlier], steps[kPOutlier], size);
    in.outlier_window = {lo, hi};
    // A choice that is neither 0 nor 1 makes the trial impossible: its time
    // becomes NaN, which the density's check refuses like a bad parameter.
    std::vector<std::uint8_t> upper(steps[kChoice] == 0 ? 1 : size);
    std::vector<double> rt;
    bool odd_choice = false;
    for (std::size_t i = 0; i < upper.size(); ++i) {
      const double c = values[kChoice][i];
      upper[i] = c == 1.0 ? 1 : 0;
      odd_choice = odd_choice || !(c == 0.0 || c == 1.0);
    }
    in.choice = steps[kChoice] == 0 ? DensityColumn<std::uint8_t>{{}, upper[0]} : DensityColumn<std::uint8_t>{upper, 0};
    if (odd_choice) {
      rt.resize(size);
      for (std::size_t i = 0; i < size; ++i) {
        const double c = values[kChoice][steps[kChoice] == 0 ? 0 : i];
        rt[i] = c == 0.0 || c == 1.0 ? in.rt.at(i) : std::numeric_limits<double>::quiet_NaN();
      }
      in.rt = {rt, 0.0};
    }
    auto* logs = reinterpret_cast<double*>(log_out);
    std::span<double> slopes;
    if (gradients != 0) slopes = {reinterpret_cast<double*>(gradients), size * kGradientParams.size()};
    return log_densities_in_support(in, std::span<double>(logs, size), slopes) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return 2;
  }
}

}  // namespace corvatel::py
