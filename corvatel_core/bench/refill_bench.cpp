// Throughput of each four-block ChaCha8 refill kernel this processor runs,
// driven as refill_wide drives it: one refill of 256 bytes, then the block
// counter moves on by four.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "corvatel/internal/chacha_kernels.h"

namespace {

using corvatel::internal::RefillKernel;

// A block input: the ChaCha constants, an arbitrary key, counter 0, stream 7.
constexpr std::uint32_t kSeedData[16] = {
    0x61707865u, 0x3320646Eu, 0x79622D32u, 0x6B206574u,
    0x03020100u, 0x07060504u, 0x0B0A0908u, 0x0F0E0D0Cu,
    0x13121110u, 0x17161514u, 0x1B1A1918u, 0x1F1E1D1Cu,
    0u,          0u,          7u,          0u,
};

void BM_Refill(benchmark::State& state, RefillKernel kernel) {
  std::uint32_t input[16];
  for (std::size_t i = 0; i < 16; ++i) input[i] = kSeedData[i];
  alignas(64) std::uint32_t out[64];
  for (auto _ : state) {
    kernel(input, out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
    const std::uint64_t counter =
        ((static_cast<std::uint64_t>(input[13]) << 32) | input[12]) + 4;
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}

// One benchmark per kernel the processor runs, named after the kernel.
[[maybe_unused]] const bool kRegistered = [] {
  const corvatel::internal::RefillKernelInfo* all = corvatel::internal::refill_kernels();
  for (std::size_t i = 0; i < corvatel::internal::kRefillKernelCount; ++i) {
    if (!all[i].supported) continue;
    const std::string name = std::string("BM_Refill/") + all[i].name;
    benchmark::RegisterBenchmark(name.c_str(), BM_Refill, all[i].kernel);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
