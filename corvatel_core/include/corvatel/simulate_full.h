// Trials of the full diffusion model: each trial first draws its own drift,
// relative start and non-decision time, then runs the ordinary Euler walk of
// simulate.h with them.
//
// Stream rule: the walk of trial i uses stream i of the ChaCha8 key derived
// from the seed, exactly as simulate_n does; the trial's parameter draws use
// stream i | 2^63 of the same key. Batches hold fewer than 2^63 trials, so
// the two sets of streams never meet. The draws, in this order: one standard
// normal z (drift + sv * z), then two uniforms u1, u2 in [0, 1) from the top
// 53 bits of one word each (start + sz * (u1 - 1/2), t0 + st * (u2 - 1/2)).
// They are made whatever sv, sz and st are, and with all three 0 every
// trial is bit for bit the trial of simulate_n.
//
// A batch runs as simulate's does (same pool, same SIMD paths, the same walk
// reading each trial's own start and drift): before each run of trials the
// parameters of its trials are drawn, with the key derived once per batch.
#pragma once

#include <cstdint>
#include <optional>

#include "corvatel/parameters.h"
#include "corvatel/simulate.h"
#include "corvatel/worker_pool.h"

namespace corvatel {

inline constexpr std::uint64_t kVariabilityStreamBit = std::uint64_t{1} << 63;

// The parameters trial `index` runs with.
Params trial_params(const ModelParams& params, std::uint64_t seed, std::uint64_t index);

// Trials 0 .. n-1 (n < 2^63) on the process-wide pool; reproducible whatever
// the number of workers.
TrialBatch simulate_full_n(const ModelParams& params, std::uint64_t n, std::uint64_t seed);
TrialBatch simulate_full_n(const ModelParams& params, std::uint64_t n, std::uint64_t seed, WorkerPool& pool);

// The batch's trials that did not time out, written straight into the
// caller's arrays of n (n < 2^63) elements, as simulate_kept writes them:
// their count, or nothing (and no trial running any more) when `stop` said
// stop. Throws std::system_error when the pool cannot start.
std::optional<std::uint64_t> simulate_full_kept(const ModelParams& params, std::uint64_t n, std::uint64_t seed,
                                                std::uint8_t* choices, double* rts, const StopCheck& stop = {});
std::optional<std::uint64_t> simulate_full_kept(const ModelParams& params, std::uint64_t n, std::uint64_t seed,
                                                std::uint8_t* choices, double* rts, WorkerPool& pool,
                                                const StopCheck& stop = {});

}  // namespace corvatel
