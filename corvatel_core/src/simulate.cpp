#include "corvatel/simulate.h"

#include <algorithm>
#include <array>

#include "corvatel/chacha.h"
#include "corvatel/internal/walk.h"

namespace corvatel {

namespace {

using internal::WalkEnd;

// Walks are run this many at a time, so that lanes stay busy across a piece
// while the records between the walk and the output stay small (on the
// worker's stack: the pool's bodies must not throw, so they allocate nothing).
constexpr std::uint64_t kWalkRun = 1024;

Trial trial_from(const WalkEnd& w, const Params& p) { return Trial{w.x >= p.boundary * 0.5, w.t + p.t0, w.inside}; }

// Runs the walks of [begin, end) in runs and hands each run to `emit`
// together with the index of its first trial.
template <typename Emit>
void walk_range(const Params& p, const ChaChaKey& key, std::uint64_t begin, std::uint64_t end, Emit&& emit) {
  std::array<WalkEnd, kWalkRun> ends;
  const internal::SimdPath path = internal::chosen_simd_path();
  for (std::uint64_t first = begin; first < end; first += kWalkRun) {
    const std::uint64_t count = std::min(kWalkRun, end - first);
    internal::walk_trials(path, p, key.data(), first, count, ends.data());
    emit(first, ends.data(), count);
  }
}

}  // namespace

Trial simulate_trial(const Params& params, std::uint64_t seed, std::uint64_t index) {
  const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
  WalkEnd end;
  internal::walk_trials(internal::SimdPath::scalar, params, key.data(), index, 1, &end);
  return trial_from(end, params);
}

TrialBatch simulate_n(const Params& params, std::uint64_t n, std::uint64_t seed, WorkerPool& pool) {
  TrialBatch batch(n);
  const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
  Trial* out = batch.data();
  pool.parallel_for(n, [&](std::uint64_t begin, std::uint64_t end) {
    walk_range(params, key, begin, end, [&](std::uint64_t first, const WalkEnd* ends, std::uint64_t count) {
      for (std::uint64_t k = 0; k < count; ++k) out[first + k] = trial_from(ends[k], params);
    });
  });
  return batch;
}

TrialBatch simulate_n(const Params& params, std::uint64_t n, std::uint64_t seed) {
  if (n == 0) return TrialBatch(0);
  return simulate_n(params, n, seed, WorkerPool::shared());
}

std::optional<std::uint64_t> simulate_kept(const Params& params, std::uint64_t n, std::uint64_t seed,
                                           std::uint8_t* choices, double* rts, WorkerPool& pool,
                                           const StopCheck& stop) {
  if (n == 0) return 0;
  // Each trial writes its own slot; a timed-out trial is marked in its choice
  // byte and squeezed out by the pass below, so no n-sized scratch is needed.
  constexpr std::uint8_t kTimedOut = 2;
  const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
  const bool finished = pool.parallel_for(
      n,
      [&](std::uint64_t begin, std::uint64_t end) {
        walk_range(params, key, begin, end, [&](std::uint64_t first, const WalkEnd* ends, std::uint64_t count) {
          for (std::uint64_t k = 0; k < count; ++k) {
            const Trial t = trial_from(ends[k], params);
            choices[first + k] = t.timed_out ? kTimedOut : static_cast<std::uint8_t>(t.choice);
            rts[first + k] = t.rt;
          }
        });
      },
      stop);
  if (!finished) return std::nullopt;
  std::uint64_t kept = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    if (choices[i] == kTimedOut) continue;
    choices[kept] = choices[i];
    rts[kept] = rts[i];
    ++kept;
  }
  return kept;
}

std::optional<std::uint64_t> simulate_kept(const Params& params, std::uint64_t n, std::uint64_t seed,
                                           std::uint8_t* choices, double* rts, const StopCheck& stop) {
  if (n == 0) return 0;
  return simulate_kept(params, n, seed, choices, rts, WorkerPool::shared(), stop);
}

}  // namespace corvatel
