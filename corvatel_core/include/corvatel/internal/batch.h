// The batch loop behind simulate.h and simulate_full.h: the pool cuts the
// batch into pieces, and each piece walks its trials in runs of kWalkRun on
// the process's SIMD path. Before each run a parameter source writes the
// run's per-trial parameters into a small array on the worker's stack (the
// pool's bodies must not throw, so they allocate nothing): the same start and
// drift for every trial in simulate, a draw per trial in simulate_full. The
// walk reads each trial's start and drift from there; a trial's t0 is added
// when its end is written. Internal to the core: callers use simulate.h and
// simulate_full.h.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "corvatel/chacha.h"
#include "corvatel/internal/walk.h"
#include "corvatel/params.h"
#include "corvatel/worker_pool.h"

namespace corvatel::internal {

// One run's per-trial parameters: trial first + k starts at x0[k] (its start
// times the boundary), moves by a[k] (its drift times dt) per step and adds
// t0[k] to its decision time.
struct RunDraws {
  std::array<double, kWalkRun> x0;
  std::array<double, kWalkRun> a;
  std::array<double, kWalkRun> t0;
};

// What every trial of a batch shares.
struct BatchShared {
  ChaChaKey key;  // ChaCha8Rng::key_from_seed of the batch's seed, derived once
  double boundary;
  double s;  // noise_sd * sqrt(dt)
};

// A parameter source is called as source(first, count, draws) with
// count <= kWalkRun and fills the first count entries of draws for trials
// first .. first + count - 1; it must not throw.

// The trials of [begin, end), each handed to emit(index, trial).
template <typename Source, typename Emit>
void walk_range(const BatchShared& batch, const Source& source, std::uint64_t begin, std::uint64_t end,
                Emit&& emit) {
  std::array<WalkEnd, kWalkRun> ends;
  RunDraws draws;
  const SimdPath path = chosen_simd_path();
  for (std::uint64_t first = begin; first < end; first += kWalkRun) {
    const std::uint64_t count = std::min(kWalkRun, end - first);
    source(first, count, draws);
    const RunParams run{draws.x0.data(), draws.a.data(), batch.boundary, batch.s};
    walk_trials(path, run, batch.key.data(), first, count, ends.data());
    for (std::uint64_t k = 0; k < count; ++k) {
      const WalkEnd& w = ends[k];
      emit(first + k, Trial{w.x >= batch.boundary * 0.5, w.t + draws.t0[k], w.inside});
    }
  }
}

// Trials 0 .. n-1 into out[0 .. n-1].
template <typename Source>
void batch_trials(const BatchShared& batch, const Source& source, std::uint64_t n, Trial* out,
                  WorkerPool& pool) {
  pool.parallel_for(n, [&](std::uint64_t begin, std::uint64_t end) {
    walk_range(batch, source, begin, end, [&](std::uint64_t i, const Trial& t) { out[i] = t; });
  });
}

// The trials that did not time out, in index order, straight into the
// caller's arrays of n: their count, or nothing when `stop` said stop.
template <typename Source>
std::optional<std::uint64_t> kept_trials(const BatchShared& batch, const Source& source, std::uint64_t n,
                                         std::uint8_t* choices, double* rts, WorkerPool& pool,
                                         const StopCheck& stop) {
  // Each trial writes its own slot; a timed-out trial is marked in its choice
  // byte and squeezed out by the pass below, so no n-sized scratch is needed.
  constexpr std::uint8_t kTimedOut = 2;
  const bool finished = pool.parallel_for(
      n,
      [&](std::uint64_t begin, std::uint64_t end) {
        walk_range(batch, source, begin, end, [&](std::uint64_t i, const Trial& t) {
          choices[i] = t.timed_out ? kTimedOut : static_cast<std::uint8_t>(t.choice);
          rts[i] = t.rt;
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

}  // namespace corvatel::internal
