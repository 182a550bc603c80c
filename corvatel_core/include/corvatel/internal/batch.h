// The batch loop behind simulate.h, simulate_full.h and simulate_bounds.h:
// the pool cuts the batch into pieces, and each piece walks its trials in
// runs of kWalkRun. Before each run a parameter source writes the run's
// per-trial parameters into a small array on the worker's stack (the pool's
// bodies must not throw, so they allocate nothing): the same start and drift
// for every trial in simulate, a draw per trial in simulate_full. The walk
// (the standard one between fixed boundaries, BatchShared, on the process's
// SIMD path; or one between time-varying bounds) reads each trial's start
// and drift from there; a trial's t0 is added when its end is written.
// Internal to the core: callers use those three headers.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "corvatel/chacha.h"
#include "corvatel/internal/walk.h"
#include "corvatel/normal.h"
#include "corvatel/parameters.h"
#include "corvatel/params.h"
#include "corvatel/simulate_full.h"
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

// What every trial of a batch of the standard walk shares.
struct BatchShared {
  ChaChaKey key;  // ChaCha8Rng::key_from_seed of the batch's seed, derived once
  double boundary;
  double s;  // noise_sd * sqrt(dt)

  // A walk ending at or above the middle chose the upper boundary.
  double middle() const { return boundary * 0.5; }
  void walk(const RunDraws& draws, std::uint64_t first, std::uint64_t count, WalkEnd* ends) const {
    const RunParams run{draws.x0.data(), draws.a.data(), boundary, s};
    walk_trials(chosen_simd_path(), run, key.data(), first, count, ends);
  }
};

// The parameters of trial `index` of the full model, from its own stream of
// the batch's key, in simulate_full.h's draw order.
inline Params draw_trial_params(const ModelParams& p, const ChaCha8Rng& keyed, std::uint64_t index) {
  ChaCha8Rng rng = keyed;
  rng.set_stream(index | kVariabilityStreamBit);
  const double z = StandardNormal{}.sample(rng);
  const double u1 = closed_open_from_bits(rng.next_u64());
  const double u2 = closed_open_from_bits(rng.next_u64());
  Params out = p.walk();
  out.drift = p.drift + p.sv * z;
  out.start = p.start + p.sz * (u1 - 0.5);
  out.t0 = p.t0 + p.st * (u2 - 0.5);
  return out;
}

// A parameter source: each trial's drift, start and t0 drawn from its
// stream, a run at a time, its drift step drift * dt.
struct VariabilityDraws {
  const ModelParams& params;
  ChaCha8Rng keyed;
  double dt;

  void operator()(std::uint64_t first, std::uint64_t count, RunDraws& draws) const {
    for (std::uint64_t k = 0; k < count; ++k) {
      const Params q = draw_trial_params(params, keyed, first + k);
      draws.x0[k] = q.start * q.boundary;
      draws.a[k] = q.drift * dt;
      draws.t0[k] = q.t0;
    }
  }
};

// A walk is anything with BatchShared's middle() and walk(draws, first,
// count, ends), which writes the ends of trials first .. first + count - 1
// from the run's draws; it must not throw.

// A parameter source is called as source(first, count, draws) with
// count <= kWalkRun and fills the first count entries of draws for trials
// first .. first + count - 1; it must not throw.

// The trials of [begin, end), each handed to emit(index, trial).
template <typename Walk, typename Source, typename Emit>
void walk_range(const Walk& batch, const Source& source, std::uint64_t begin, std::uint64_t end, Emit&& emit) {
  std::array<WalkEnd, kWalkRun> ends;
  RunDraws draws;
  const double middle = batch.middle();
  for (std::uint64_t first = begin; first < end; first += kWalkRun) {
    const std::uint64_t count = std::min(kWalkRun, end - first);
    source(first, count, draws);
    batch.walk(draws, first, count, ends.data());
    for (std::uint64_t k = 0; k < count; ++k) {
      const WalkEnd& w = ends[k];
      emit(first + k, Trial{w.x >= middle, w.t + draws.t0[k], w.inside});
    }
  }
}

// Trials 0 .. n-1 into out[0 .. n-1].
template <typename Walk, typename Source>
void batch_trials(const Walk& batch, const Source& source, std::uint64_t n, Trial* out,
                  WorkerPool& pool) {
  pool.parallel_for(n, [&](std::uint64_t begin, std::uint64_t end) {
    walk_range(batch, source, begin, end, [&](std::uint64_t i, const Trial& t) { out[i] = t; });
  });
}

// The trials that did not time out, in index order, straight into the
// caller's arrays of n: their count, or nothing when `stop` said stop.
template <typename Walk, typename Source>
std::optional<std::uint64_t> kept_trials(const Walk& batch, const Source& source, std::uint64_t n,
                                         std::uint8_t* choices, double* rts, WorkerPool& pool,
                                         const StopCheck& stop,
                                         std::uint64_t max_piece = WorkerPool::kMaxPieceLength) {
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
      stop, max_piece);
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
