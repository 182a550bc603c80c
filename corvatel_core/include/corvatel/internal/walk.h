// The evidence walk of a run of trials, on the scalar path or with trials in
// SIMD lanes (simd_dispatch.h chooses the path). Internal to the core:
// callers use simulate.h.
//
// Every path writes, for trials first .. first + count - 1, the walk's end as
// the scalar definition leaves it: final position, model time, step count and
// whether it was still inside the band. The position and step count are not
// part of a Trial; tests read them here to pin the walk itself.
//
// This header is included by translation units compiled for wider
// instruction sets, so it must stay free of inline code.
#pragma once

#include <cstdint>

#include "corvatel/internal/simd_dispatch.h"

namespace corvatel {
struct Params;
}

namespace corvatel::internal {

struct WalkEnd {
  double x;             // final evidence position
  double t;             // model time at the end, t0 not included
  std::uint64_t steps;  // Euler steps taken (draws of z)
  bool inside;          // still strictly inside the band: the 10 s cap ended it
};

// A batch walks its trials in runs of at most this many: enough that the
// lanes stay busy across a run, few enough that a run's parameters and ends
// sit on a worker's stack.
inline constexpr std::uint64_t kWalkRun = 1024;

// The walk's parameters for a run of trials: trial first + k starts at x0[k]
// and moves by a[k] per step before the noise; all of them share the band
// and the noise step. A trial whose start is on or outside the band (or NaN)
// ends there before any draw, after no step and at time 0.
struct RunParams {
  const double* x0;  // start * boundary, one product per trial
  const double* a;   // drift * dt, one product per trial
  double boundary;
  double s;          // noise_sd * sqrt(dt)
};

// Trials first .. first + count - 1 of the batch keyed by `key` (the 8 words
// ChaCha8Rng::key_from_seed gives) on `path`, which must be supported.
// out[k] is trial first + k.
void walk_trials(SimdPath path, const RunParams& run, const std::uint32_t key[8], std::uint64_t first,
                 std::uint64_t count, WalkEnd* out);

// The same with every trial's parameters `params`: x0 = start * boundary,
// a = drift * dt, s = noise_sd * sqrt(dt).
void walk_trials(SimdPath path, const Params& params, const std::uint32_t key[8], std::uint64_t first,
                 std::uint64_t count, WalkEnd* out);

// The walk between time-varying bounds (simulate_bounds.h defines it), for
// a run of trials. The bounds, gain and time depend on the step alone, so
// they come from per-step tables built once per batch; entry k belongs to
// step k (k = 0 .. steps - 1), the last one the step whose end time first
// reaches the cap.
// Step k's entries, side by side so that a lane loads them in one piece:
// entry[kStepEntries * k + j] for j below.
inline constexpr unsigned kGainEntry = 0;   // G_k = 1 + urgency t_k, t_k the time before step k
inline constexpr unsigned kNoiseEntry = 1;  // S_k = (noise_sd sqrt(dt)) G_k
inline constexpr unsigned kUpperEntry = 2;  // U_k = middle + B(t_{k+1}), the band after the step
inline constexpr unsigned kLowerEntry = 3;  // L_k = middle - B(t_{k+1})
inline constexpr unsigned kStepEntries = 4;

struct BoundsTables {
  const double* entry;  // kStepEntries per step
  const double* time;   // time[k]: the time after k steps (k = 0 .. steps), the running sum of dt
  std::uint64_t steps;
  double middle;        // boundary * 0.5
  double leak_dt;       // leak * dt
  double boundary;      // the band at time 0 is (0, boundary)
};

struct BoundsRun {
  const double* x0;  // as in RunParams
  const double* a;
  const BoundsTables* tables;
};

// Trials first .. first + count - 1 of the batch keyed by `key` on `path`,
// which must be supported; out[k] is trial first + k. Every path ends each
// trial where the scalar definition ends it.
void walk_bounds_trials(SimdPath path, const BoundsRun& run, const std::uint32_t key[8], std::uint64_t first,
                        std::uint64_t count, WalkEnd* out);

// ---- What the lane kernels share with the baseline code ----

// Slots in a lane's ring of draws: four ChaCha8 blocks of 8 draws.
inline constexpr unsigned kRingSlots = 32;

// One lane's draws: its ring of kRingSlots draws, stored draw-major (slot j
// of lane L at ring[j * stride + L]). Slot numbers count on and are taken
// modulo kRingSlots: `read` is the slot of the lane's next draw, `fill` the
// slot after its last one, and `blocks` the blocks of its stream received so
// far, which is the counter of the next one.
struct LaneSource {
  std::uint64_t* ring;
  unsigned stride;
  unsigned lane;
  std::uint64_t read;
  std::uint64_t fill;
  std::uint64_t blocks;
  std::uint64_t stream;
  const std::uint32_t* key;
};

// Finishes a standard normal draw that left the Ziggurat's fast path (the
// wedge or the tail) with the scalar code: takes the lane's next draws in
// order from `read` on, computing its next block when the ring runs dry
// (into the slots from `fill` on, all of them already read).
// Updates `read`, `fill` and `blocks`.
using SlowDraw = double (*)(LaneSource& source, std::uint64_t layer, double u, double x);

struct LaneSetup {
  const double* x0;  // x0[k], a[k]: trial first + k's start and drift step, as in RunParams
  const double* a;
  double boundary;
  double s;          // noise_sd * sqrt(dt)
  const std::uint32_t* key;
  const double* step_times;  // the model time after k steps, k = 0 .. step_limit
  std::uint64_t step_limit;  // the steps after which the time first reaches the cap
  // The walk between time-varying bounds (its tables give the times and the
  // step limit too), or nullptr for the standard walk between 0 and boundary.
  const BoundsTables* bounds;
  const double* zig_x;  // the Ziggurat's 257 layer edges: layer i's are X[i], X[i + 1]
  const double* zig_f;  // the density at those edges: F[i], F[i + 1]
  SlowDraw slow_draw;
};

void walk_lanes_avx2(const LaneSetup& setup, std::uint64_t first, std::uint64_t count, WalkEnd* out);
void walk_lanes_avx512(const LaneSetup& setup, std::uint64_t first, std::uint64_t count, WalkEnd* out);

}  // namespace corvatel::internal
