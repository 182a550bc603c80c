// The scalar walk (the definition), the lanes' scalar slow draws, and the
// choice of path.
#include "corvatel/internal/walk.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "corvatel/chacha.h"
#include "corvatel/internal/chacha_kernels.h"
#include "corvatel/normal.h"
#include "corvatel/params.h"
#include "corvatel/simulate.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace corvatel::internal {

namespace {

void walk_scalar(const Params& p, const ChaCha8Rng& keyed, std::uint64_t first, std::uint64_t count,
                 WalkEnd* out) {
  const StandardNormal normal;
  const double a = p.drift * kTimeStep;
  const double s = p.noise_sd * kSqrtTimeStep;
  for (std::uint64_t k = 0; k < count; ++k) {
    double x = p.start * p.boundary;
    double t = 0.0;
    std::uint64_t steps = 0;
    bool inside = false;
    // A start on or outside a boundary (or NaN) ends the trial before any draw.
    if (x > 0.0 && p.boundary > x) {
      ChaCha8Rng rng = keyed;
      rng.set_stream(first + k);
      do {
        const double z = normal.sample(rng);
        x = ((z * s) + a) + x;
        // Time is a running sum, never steps * dt: the exact sums are part
        // of the result (10 000 additions stay just below the cap).
        t = t + kTimeStep;
        ++steps;
        inside = (x < p.boundary) && (0.0 < x);
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
    std::uint32_t input[16] = {0x61707865u, 0x3320646Eu, 0x79622D32u, 0x6B206574u};
    std::memcpy(input + 4, src_.key, 8 * sizeof(std::uint32_t));
    input[12] = static_cast<std::uint32_t>(src_.blocks);
    input[13] = static_cast<std::uint32_t>(src_.blocks >> 32);
    input[14] = static_cast<std::uint32_t>(src_.stream);
    input[15] = static_cast<std::uint32_t>(src_.stream >> 32);
    std::uint32_t block[16];
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

#if defined(__x86_64__)

// Processor support and OS support: the OS must save the wider registers
// (XCR0), or the instructions fault although CPUID lists them.
struct X86Support {
  bool avx2 = false;
  bool avx512 = false;
};

X86Support detect_x86() {
  X86Support s;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return s;
  const bool osxsave = (ecx & (1u << 27)) != 0;
  const bool avx = (ecx & (1u << 28)) != 0;
  if (!osxsave || !avx) return s;
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  const bool ymm_state = (xcr0_lo & 0x6u) == 0x6u;     // SSE and AVX state
  const bool zmm_state = (xcr0_lo & 0xE6u) == 0xE6u;   // plus opmask and both ZMM halves
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return s;
  s.avx2 = ymm_state && (ebx & (1u << 5)) != 0;
  s.avx512 = s.avx2 && zmm_state && (ebx & (1u << 16)) != 0;  // AVX-512 F
  return s;
}

const X86Support& x86_support() {
  static const X86Support support = detect_x86();
  return support;
}

#endif

SimdPath choose_path() {
  SimdPath widest = SimdPath::scalar;
  for (unsigned i = 0; i < kSimdPathCount; ++i) {
    if (simd_path_supported(static_cast<SimdPath>(i))) widest = static_cast<SimdPath>(i);
  }
  const char* forced = std::getenv("CORVATEL_SIMD");
  if (forced == nullptr) return widest;
  for (unsigned i = 0; i < kSimdPathCount; ++i) {
    if (std::strcmp(forced, simd_path_name(static_cast<SimdPath>(i))) != 0) continue;
    // Forced but not supported here: the widest supported path below it.
    for (unsigned j = i + 1; j-- > 0;) {
      if (simd_path_supported(static_cast<SimdPath>(j))) return static_cast<SimdPath>(j);
    }
  }
  return widest;
}

}  // namespace

const char* simd_path_name(SimdPath path) {
  switch (path) {
    case SimdPath::scalar: return "scalar";
    case SimdPath::avx2: return "avx2";
    case SimdPath::avx512: return "avx512";
  }
  return "scalar";
}

bool simd_path_supported(SimdPath path) {
  switch (path) {
    case SimdPath::scalar: return true;
#if defined(__x86_64__)
    case SimdPath::avx2: return x86_support().avx2;
    case SimdPath::avx512: return x86_support().avx512;
#endif
    default: return false;
  }
}

SimdPath chosen_simd_path() {
  static const SimdPath path = choose_path();
  return path;
}

void walk_trials(SimdPath path, const Params& p, const std::uint32_t key[8], std::uint64_t first,
                 std::uint64_t count, WalkEnd* out) {
  ChaChaKey k{};
  for (unsigned i = 0; i < 8; ++i) k[i] = key[i];
  const ChaCha8Rng keyed = ChaCha8Rng::from_key(k);
  const double x0 = p.start * p.boundary;
  // Lanes pay off only for walks that move; a start outside the band is
  // settled by the scalar code without drawing.
  if (path == SimdPath::scalar || !(x0 > 0.0 && p.boundary > x0)) {
    walk_scalar(p, keyed, first, count, out);
    return;
  }
#if defined(__x86_64__)
  const LaneSetup setup{x0, p.boundary, p.drift * kTimeStep, p.noise_sd * kSqrtTimeStep,
                        key, step_times().t.data(), step_times().limit, ZIG_NORM_X.data(), ZIG_NORM_F.data(),
                        lane_slow_draw};
  if (path == SimdPath::avx512) return walk_lanes_avx512(setup, first, count, out);
  if (path == SimdPath::avx2) return walk_lanes_avx2(setup, first, count, out);
#endif
  walk_scalar(p, keyed, first, count, out);
}

}  // namespace corvatel::internal
