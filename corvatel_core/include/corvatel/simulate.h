// Drift-diffusion trials by the Euler-Maruyama scheme with a 1 ms step.
//
// A trial is an evidence walk from start * boundary between absorbing
// boundaries at 0 and `boundary`, capped at 10 s of model time. Trial i of a
// batch draws its noise from stream i of a ChaCha8Rng seeded with the batch
// seed, so its outcome depends only on the parameters, the seed and i: a
// batch is reproducible bit for bit whatever the number of threads, and a
// longer batch begins with the trials of a shorter one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "corvatel/params.h"
#include "corvatel/worker_pool.h"

namespace corvatel {

inline constexpr double kTimeStep = 0.001;
inline constexpr double kSqrtTimeStep = 0.03162277660168379;  // nearest double to sqrt(0.001)
inline constexpr double kTimeCap = 10.0;

// n trials in index order, owned by the caller. Allocated once, uninitialised,
// and written in place by the workers.
class TrialBatch {
 public:
  explicit TrialBatch(std::uint64_t n)
      : trials_(n == 0 ? nullptr : std::make_unique_for_overwrite<Trial[]>(n)), size_(n) {}

  std::uint64_t size() const { return size_; }
  Trial* data() { return trials_.get(); }
  const Trial* data() const { return trials_.get(); }
  const Trial& operator[](std::uint64_t i) const { return trials_[i]; }
  std::span<const Trial> span() const { return {trials_.get(), size_}; }
  const Trial* begin() const { return trials_.get(); }
  const Trial* end() const { return trials_.get() + size_; }

 private:
  std::unique_ptr<Trial[]> trials_;
  std::uint64_t size_;
};

// One trial; a pure function of its arguments.
Trial simulate_trial(const Params& params, std::uint64_t seed, std::uint64_t index);

// Trials 0 .. n-1 of the batch, run on the process-wide worker pool. Throws
// std::bad_alloc when the batch cannot be allocated and std::system_error
// when the pool cannot start; it reports nothing else.
TrialBatch simulate_n(const Params& params, std::uint64_t n, std::uint64_t seed);

// The same batch on a given pool; the result does not depend on the pool.
TrialBatch simulate_n(const Params& params, std::uint64_t n, std::uint64_t seed, WorkerPool& pool);

// The same batch on the process-wide pool, asking `stop` while it runs:
// nothing (and no trial running any more) when it said stop.
std::optional<TrialBatch> simulate_n(const Params& params, std::uint64_t n, std::uint64_t seed,
                                     const StopCheck& stop);

}  // namespace corvatel
