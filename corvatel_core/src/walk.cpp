// The scalar walk (the definition) and the lanes' scalar slow draws.
#include "corvatel/internal/walk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "corvatel/chacha.h"
#include "corvatel/internal/chacha_kernels.h"
#include "corvatel/internal/chacha_layout.h"
#include "corvatel/normal.h"
#include "corvatel/params.h"
#include "corvatel/simulate.h"

namespace corvatel::internal {

namespace {

void walk_scalar(const RunParams& run, const ChaCha8Rng& keyed, std::uint64_t first, std::uint64_t count,
                 WalkEnd* out) {
  const StandardNormal normal;
  const double s = run.s;
  for (std::uint64_t k = 0; k < count; ++k) {
    double x = run.x0[k];
    const double a = run.a[k];
    double t = 0.0;
    std::uint64_t steps = 0;
    bool inside = false;
    // A start on or outside a boundary (or NaN) ends the trial before any draw.
    if (x > 0.0 && run.boundary > x) {
      ChaCha8Rng rng = keyed;
      rng.set_stream(first + k);
      do {
        const double z = normal.sample(rng);
        x = ((z * s) + a) + x;
        // Time is a running sum, never steps * dt: the exact sums are part
        // of the result (10 000 additions stay just below the cap).
        t = t + kTimeStep;
        ++steps;
        inside = (x < run.boundary) && (0.0 < x);
      } while (inside && t < kTimeCap);
    }
    out[k] = WalkEnd{x, t, steps, inside};
  }
}

// A lane's draws seen as a generator, for the scalar slow path of the
// Ziggurat: the same words in the same order as the lane's ChaCha8Rng.
class LaneRng {
 public:
  explicit LaneRng(LaneSource& source) : src_(source) {}

  std::uint64_t next_u64() {
    if (src_.read == src_.fill) refill();
    return src_.ring[(src_.read++ % kRingSlots) * src_.stride + src_.lane];
  }

 private:
  void refill() {
    std::uint32_t input[kChaChaWords];
    std::memcpy(input + kConstantWord, kChaChaConstant, sizeof kChaChaConstant);
    std::memcpy(input + kKeyWord, src_.key, kKeyWordCount * sizeof(std::uint32_t));
    put_u64(input, kCounterWord, src_.blocks);
    put_u64(input, kStreamWord, src_.stream);
    std::uint32_t block[kChaChaWords];
    chacha8_block(input, block);
    for (unsigned k = 0; k < 8; ++k) {
      src_.ring[((src_.fill + k) % kRingSlots) * src_.stride + src_.lane] =
          static_cast<std::uint64_t>(block[2 * k]) | (static_cast<std::uint64_t>(block[2 * k + 1]) << 32);
    }
    src_.fill += 8;
    ++src_.blocks;
  }

  LaneSource& src_;
};

[[maybe_unused]] double lane_slow_draw(LaneSource& source, std::uint64_t layer, double u, double x) {
  LaneRng rng(source);
  return sample_slow(rng, static_cast<std::size_t>(layer), u, x);
}

// The model time after each number of steps, summed as the scalar walk sums
// it, up to the first that reaches the cap: the lanes count steps and read
// their time here when a trial ends.
struct StepTimes {
  std::vector<double> t;
  std::uint64_t limit = 0;
};

[[maybe_unused]] const StepTimes& step_times() {
  static const StepTimes times = [] {
    StepTimes s;
    double t = 0.0;
    s.t.push_back(t);
    while (t < kTimeCap) {
      t = t + kTimeStep;
      s.t.push_back(t);
    }
    s.limit = s.t.size() - 1;
    return s;
  }();
  return times;
}

}  // namespace

// Only x86-64 has lane paths; elsewhere every path is the scalar walk.
void walk_trials([[maybe_unused]] SimdPath path, const RunParams& run, const std::uint32_t key[8],
                 std::uint64_t first, std::uint64_t count, WalkEnd* out) {
#if defined(__x86_64__)
  if (path != SimdPath::scalar) {
    const LaneSetup setup{run.x0, run.a, run.boundary, run.s, key, step_times().t.data(), step_times().limit,
                          nullptr, ZIG_NORM_X.data(), ZIG_NORM_F.data(), lane_slow_draw};
    if (path == SimdPath::avx512) return walk_lanes_avx512(setup, first, count, out);
    if (path == SimdPath::avx2) return walk_lanes_avx2(setup, first, count, out);
  }
#endif
  ChaChaKey k{};
  for (unsigned i = 0; i < kKeyWordCount; ++i) k[i] = key[i];
  walk_scalar(run, ChaCha8Rng::from_key(k), first, count, out);
}

namespace {

void walk_bounds_scalar(const BoundsRun& run, const std::uint32_t key[8], std::uint64_t first, std::uint64_t count,
                        WalkEnd* out) {
  ChaChaKey keyed{};
  for (unsigned i = 0; i < kKeyWordCount; ++i) keyed[i] = key[i];
  const ChaCha8Rng rng_of_key = ChaCha8Rng::from_key(keyed);
  const StandardNormal normal;
  const BoundsTables& tab = *run.tables;
  for (std::uint64_t k = 0; k < count; ++k) {
    double x = run.x0[k];
    const double a = run.a[k];
    double t = 0.0;
    std::uint64_t step = 0;
    bool inside = false;
    // A start on or outside the band at time 0 (or NaN) ends the trial
    // before any draw, as in the standard walk.
    if (x > 0.0 && tab.boundary > x) {
      ChaCha8Rng rng = rng_of_key;
      rng.set_stream(first + k);
      do {
        const double z = normal.sample(rng);
        const double* e = tab.entry + kStepEntries * step;
        x = (((z * e[kNoiseEntry]) + (a * e[kGainEntry])) - (tab.leak_dt * (x - tab.middle))) + x;
        inside = (x < e[kUpperEntry]) && (e[kLowerEntry] < x);
        ++step;
        t = tab.time[step];
      } while (inside && step < tab.steps);
    }
    out[k] = WalkEnd{x, t, step, inside};
  }
}

}  // namespace

void walk_bounds_trials([[maybe_unused]] SimdPath path, const BoundsRun& run, const std::uint32_t key[8],
                        std::uint64_t first, std::uint64_t count, WalkEnd* out) {
#if defined(__x86_64__)
  if (path != SimdPath::scalar) {
    const BoundsTables& tab = *run.tables;
    // The noise step is the tables'; the times and the step limit too.
    const LaneSetup setup{run.x0, run.a, tab.boundary, 0.0, key, tab.time, tab.steps, &tab,
                          ZIG_NORM_X.data(), ZIG_NORM_F.data(), lane_slow_draw};
    if (path == SimdPath::avx512) return walk_lanes_avx512(setup, first, count, out);
    if (path == SimdPath::avx2) return walk_lanes_avx2(setup, first, count, out);
  }
#endif
  walk_bounds_scalar(run, key, first, count, out);
}

void walk_trials(SimdPath path, const Params& p, const std::uint32_t key[8], std::uint64_t first,
                 std::uint64_t count, WalkEnd* out) {
  // In runs, as a batch walks them.
  std::array<double, kWalkRun> x0;
  std::array<double, kWalkRun> a;
  const std::uint64_t longest = std::min(kWalkRun, count);
  std::fill_n(x0.begin(), longest, p.start * p.boundary);
  std::fill_n(a.begin(), longest, p.drift * kTimeStep);
  const RunParams run{x0.data(), a.data(), p.boundary, p.noise_sd * kSqrtTimeStep};
  for (std::uint64_t done = 0; done < count; done += kWalkRun) {
    walk_trials(path, run, key, first + done, std::min(kWalkRun, count - done), out + done);
  }
}

}  // namespace corvatel::internal
