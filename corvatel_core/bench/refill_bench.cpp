// Throughput of each four-block ChaCha8 refill kernel this processor runs,
// driven as refill_wide drives it: one refill of 256 bytes, then the block
// counter moves on by four.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "corvatel/internal/chacha_kernels.h"
#include "corvatel/internal/chacha_layout.h"
#include "corvatel/internal/simd_dispatch.h"

namespace {

using namespace corvatel::internal;

// An arbitrary key, bytes 0..31 as little-endian words.
constexpr std::uint32_t kSeedData[8] = {
    0x03020100u, 0x07060504u, 0x0B0A0908u, 0x0F0E0D0Cu, 0x13121110u, 0x17161514u, 0x1B1A1918u, 0x1F1E1D1Cu,
};

void BM_Refill(benchmark::State& state, RefillKernel kernel) {
  // The ChaCha constants, the key, counter 0, stream 7.
  std::uint32_t input[kChaChaWords];
  for (unsigned i = 0; i < 4; ++i) input[kConstantWord + i] = kChaChaConstant[i];
  for (unsigned i = 0; i < kKeyWordCount; ++i) input[kKeyWord + i] = kSeedData[i];
  put_u64(input, kCounterWord, 0);
  put_u64(input, kStreamWord, 7);
  alignas(64) std::uint32_t out[64];
  for (auto _ : state) {
    kernel(input, out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
    put_u64(input, kCounterWord, get_u64(input, kCounterWord) + 4);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}

// One benchmark per kernel the processor runs, named after the kernel.
[[maybe_unused]] const bool kRegistered = [] {
  const RefillKernelInfo* all = refill_kernels();
  for (std::size_t i = 0; i < kRefillKernelCount; ++i) {
    if (!all[i].supported) continue;
    const std::string name = std::string("BM_Refill/") + all[i].name;
    benchmark::RegisterBenchmark(name.c_str(), BM_Refill, all[i].kernel);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
