// The four-block refill kernels: every vector kernel against the portable
// one, the portable one against the published ChaCha8 keystream, and the
// run-time choice.
#include "corvatel/internal/chacha_kernels.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "corvatel/chacha.h"
#include "corvatel/internal/simd_dispatch.h"

namespace corvatel::internal {
namespace {

using Input = std::array<std::uint32_t, 16>;
using Output = std::array<std::uint32_t, 64>;

constexpr std::uint64_t kSeed = 0xC0A7E1u;

const RefillKernelInfo* find_kernel(const std::string& name) {
  const RefillKernelInfo* all = refill_kernels();
  for (std::size_t i = 0; i < kRefillKernelCount; ++i) {
    if (name == all[i].name) return &all[i];
  }
  return nullptr;
}

// Every kernel but the portable one, which is the reference.
std::vector<std::string> vector_kernel_names() {
  std::vector<std::string> names;
  const RefillKernelInfo* all = refill_kernels();
  for (std::size_t i = 1; i < kRefillKernelCount; ++i) names.emplace_back(all[i].name);
  return names;
}

std::uint64_t counter_of(const Input& in) {
  return (static_cast<std::uint64_t>(in[13]) << 32) | in[12];
}

void set_counter(Input& in, std::uint64_t counter) {
  in[12] = static_cast<std::uint32_t>(counter);
  in[13] = static_cast<std::uint32_t>(counter >> 32);
}

// All sixteen words random, constants included: a kernel must take every
// word from its input, not assume the usual ones.
Input random_input(std::mt19937_64& gen, std::uint64_t counter) {
  Input in{};
  for (auto& w : in) w = static_cast<std::uint32_t>(gen());
  set_counter(in, counter);
  return in;
}

Output run(RefillKernel kernel, const Input& in) {
  Output out{};
  kernel(in.data(), out.data());
  return out;
}

// Resolves the kernel named by the first test parameter; skips the test when
// this processor cannot run it.
template <typename Case>
class KernelFixture : public ::testing::TestWithParam<std::tuple<std::string, Case>> {
 protected:
  void SetUp() override {
    const std::string& name = std::get<0>(this->GetParam());
    info_ = find_kernel(name);
    ASSERT_NE(info_, nullptr) << "no kernel named " << name;
    if (!info_->supported) GTEST_SKIP() << "this processor cannot run the " << name << " kernel";
  }

  RefillKernel kernel() const { return info_->kernel; }
  const Case& test_case() const { return std::get<1>(this->GetParam()); }

 private:
  const RefillKernelInfo* info_ = nullptr;
};

// ---------------------------------------------------------------------------
// One refill at chosen block counters.

struct CounterCase {
  const char* name;
  std::uint64_t counter;
};

const CounterCase kCounterCases[] = {
    {"Zero", 0},
    {"One", 1},
    // Word 12 carries into word 13 after block 3 (so at the next refill), 2,
    // 1 or 0 of the four.
    {"CarryAfterBlock3", 0xFFFFFFFCull},
    {"CarryAfterBlock2", 0xFFFFFFFDull},
    {"CarryAfterBlock1", 0xFFFFFFFEull},
    {"CarryAfterBlock0", 0xFFFFFFFFull},
    {"HighWordOnly", 0x0000000100000000ull},
    {"BothWordsMixed", 0x89ABCDEF7FFFFFFEull},
    // The 64-bit counter wraps to 0 after block 3, 2, 1 or 0.
    {"WrapAfterBlock3", 0xFFFFFFFFFFFFFFFCull},
    {"WrapAfterBlock2", 0xFFFFFFFFFFFFFFFDull},
    {"WrapAfterBlock1", 0xFFFFFFFFFFFFFFFEull},
    {"WrapAfterBlock0", 0xFFFFFFFFFFFFFFFFull},
};

void PrintTo(const CounterCase& c, std::ostream* os) {
  *os << c.name << " (counter 0x" << std::hex << c.counter << std::dec << ")";
}

class KernelAtCounter : public KernelFixture<CounterCase> {
 protected:
  std::uint64_t counter() const { return test_case().counter; }
};

TEST_P(KernelAtCounter, MatchesPortableKernel) {
  std::mt19937_64 gen(kSeed ^ counter());
  for (int trial = 0; trial < 16; ++trial) {
    const Input in = random_input(gen, counter());
    const Output want = run(refill4_scalar, in);
    const Output got = run(kernel(), in);
    for (std::size_t w = 0; w < 64; ++w) {
      ASSERT_EQ(got[w], want[w]) << "trial " << trial << ", block " << w / 16 << ", word "
                                 << w % 16;
    }
  }
}

// Block i of a refill at N must be block 0 of a refill at N + i, which needs
// no counter arithmetic inside the kernel: this pins the carry and the wrap
// independently of how the portable kernel does them.
TEST_P(KernelAtCounter, BlockIIsFirstBlockOfRefillAtCounterPlusI) {
  std::mt19937_64 gen(kSeed + counter());
  const Input in = random_input(gen, counter());
  const Output got = run(kernel(), in);
  for (std::uint64_t i = 0; i < 4; ++i) {
    Input shifted = in;
    set_counter(shifted, counter() + i);  // modulo 2^64
    const Output first = run(refill4_scalar, shifted);
    for (std::size_t w = 0; w < 16; ++w) {
      ASSERT_EQ(got[16 * i + w], first[w]) << "block " << i << ", word " << w;
    }
  }
}

// Unaligned input and output, and nothing written outside out[0..63].
TEST_P(KernelAtCounter, LeavesInputAndSurroundingsUntouched) {
  std::mt19937_64 gen(kSeed * 3 + counter());
  const Input in = random_input(gen, counter());
  const Output want = run(refill4_scalar, in);
  constexpr std::uint32_t kGuard = 0xDEADBEEFu;
  for (std::size_t offset = 0; offset < 4; ++offset) {
    alignas(64) std::uint32_t input_buf[16 + 4] = {};
    alignas(64) std::uint32_t output_buf[64 + 8];
    for (auto& w : output_buf) w = kGuard;
    std::uint32_t* const input = input_buf + offset;
    std::uint32_t* const out = output_buf + 2 + offset;
    std::memcpy(input, in.data(), sizeof(std::uint32_t) * 16);

    kernel()(input, out);

    for (std::size_t w = 0; w < 16; ++w) {
      EXPECT_EQ(input[w], in[w]) << "offset " << offset << ", input word " << w << " changed";
    }
    for (std::size_t w = 0; w < 64; ++w) {
      ASSERT_EQ(out[w], want[w]) << "offset " << offset << ", word " << w;
    }
    for (std::size_t w = 0; w < 2 + offset; ++w) {
      EXPECT_EQ(output_buf[w], kGuard) << "offset " << offset << ", written before out";
    }
    for (std::size_t w = 66 + offset; w < 72; ++w) {
      EXPECT_EQ(output_buf[w], kGuard) << "offset " << offset << ", written after out[63]";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelAtCounter,
                         ::testing::Combine(::testing::ValuesIn(vector_kernel_names()),
                                            ::testing::ValuesIn(kCounterCases)),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_" + std::get<1>(info.param).name;
                         });

// ---------------------------------------------------------------------------
// Long runs of refills, each advancing the counter by four as refill_wide
// does.

struct RunCase {
  const char* name;
  std::uint64_t start;
};

constexpr int kRefillsPerRun = 300;

const RunCase kRunCases[] = {
    {"FromZero", 0},
    {"AcrossLowWordOverflow", 0x100000000ull - 4 * 150 - 2},
    {"AcrossWrap", 0 - std::uint64_t{4 * 150 + 1}},
};

void PrintTo(const RunCase& c, std::ostream* os) {
  *os << c.name << " (from counter 0x" << std::hex << c.start << std::dec << ")";
}

class KernelLongRun : public KernelFixture<RunCase> {};

TEST_P(KernelLongRun, MatchesPortableKernelRefillAfterRefill) {
  std::mt19937_64 gen(kSeed + test_case().start);
  Input in = random_input(gen, test_case().start);
  for (int refill = 0; refill < kRefillsPerRun; ++refill) {
    const Output want = run(refill4_scalar, in);
    const Output got = run(kernel(), in);
    for (std::size_t w = 0; w < 64; ++w) {
      ASSERT_EQ(got[w], want[w]) << "refill " << refill << " at counter " << counter_of(in)
                                 << ", block " << w / 16 << ", word " << w % 16;
    }
    set_counter(in, counter_of(in) + 4);
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelLongRun,
                         ::testing::Combine(::testing::ValuesIn(vector_kernel_names()),
                                            ::testing::ValuesIn(kRunCases)),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_" + std::get<1>(info.param).name;
                         });

// Processors other than x86-64 have no vector kernel, so there the two suites
// above expand to nothing.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(KernelAtCounter);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(KernelLongRun);

// ---------------------------------------------------------------------------
// The portable kernel and the run-time choice.

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// ChaCha8 keystream for the all-zero key and nonce, blocks 0 and 1, as
// published with the reference test vectors.
const char kZeroKeyKeystream[] =
    "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
    "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"
    "d2aefa0deaa5c151bf0adb6c01f2a5adc0fd581259f9a2aadcf20f8fd566a26b"
    "5032ec38bbc5da98ee0c6f568b872a65a08abf251deb21bb4b56e5d8821e68aa";

TEST(PortableKernel, MatchesPublishedZeroKeyKeystream) {
  const std::uint8_t key[32] = {};
  const std::uint8_t nonce[8] = {};
  const ChaChaState state = init_chacha(key, nonce);
  std::uint32_t out[64];
  refill4_scalar(state.words, out);

  const std::vector<std::uint8_t> want = from_hex(kZeroKeyKeystream);
  ASSERT_EQ(want.size(), 128u);
  for (std::size_t i = 0; i < want.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(out[i / 4] >> (8 * (i % 4)));  // little-endian
    ASSERT_EQ(byte, want[i]) << "keystream byte " << i;
  }
}

TEST(RefillKernels, PortableKernelComesFirstAndAlwaysRuns) {
  const RefillKernelInfo& first = refill_kernels()[0];
  EXPECT_STREQ(first.name, "scalar");
  EXPECT_EQ(first.kernel, &refill4_scalar);
  EXPECT_TRUE(first.supported);
}

// Guards the build's choice of sources: every x86-64 runs SSE2, so the vector
// suites can never all skip there.
TEST(RefillKernels, VectorKernelsExactlyOnX86_64) {
#if defined(__x86_64__)
  const RefillKernelInfo* sse2 = find_kernel("sse2");
  ASSERT_NE(sse2, nullptr);
  EXPECT_TRUE(sse2->supported);
#else
  EXPECT_EQ(kRefillKernelCount, 1u);
#endif
}

TEST(RefillKernels, ChosenKernelIsASupportedOne) {
  const RefillKernelInfo* all = refill_kernels();
  const RefillKernelInfo* chosen = nullptr;
  for (std::size_t i = 0; i < kRefillKernelCount; ++i) {
    if (all[i].kernel == chosen_refill_kernel()) chosen = &all[i];
  }
  ASSERT_NE(chosen, nullptr) << "the chosen kernel is not in the list";
  EXPECT_TRUE(chosen->supported) << chosen->name;
  EXPECT_STREQ(chosen_refill_kernel_name(), chosen->name);
}

// CORVATEL_SIMD caps the refill as it caps the walk: "scalar" leaves the
// 128-bit kernels, "avx2" adds the AVX2 one, "avx512" (or no cap) every one;
// within the cap the widest supported kernel wins. Run once per forced
// tier by the build's test list.
TEST(RefillKernels, ChoiceIsTheWidestSupportedKernelWithinTheTierCap) {
  const char* forced = std::getenv("CORVATEL_SIMD");
  const std::string tier = forced == nullptr ? "" : forced;
  std::vector<std::string> allowed = {"scalar"};
#if defined(__x86_64__)
  allowed.insert(allowed.end(), {"sse2", "ssse3"});
  if (tier != "scalar") allowed.emplace_back("avx2");
  if (tier != "scalar" && tier != "avx2") allowed.emplace_back("avx512");
#endif
  std::string want;
  for (const std::string& name : allowed) {
    if (find_kernel(name)->supported) want = name;
  }
  EXPECT_EQ(chosen_refill_kernel_name(), want) << "CORVATEL_SIMD=" << tier;
  // One cap for both choices: the walk's path is never wider than it.
  EXPECT_LE(static_cast<unsigned>(chosen_simd_path()), static_cast<unsigned>(simd_tier_cap()));
  if (tier == "scalar") {
    EXPECT_EQ(chosen_simd_path(), SimdPath::scalar);
  }
}

// refill_wide goes through the chosen kernel and then moves the counter on.
TEST(RefillKernels, RefillWideMatchesPortableKernelAndAdvancesByFour) {
  std::mt19937_64 gen(kSeed);
  ChaChaState state{};
  const Input start = random_input(gen, 0xFFFFFFFFFFFFFFF0ull);  // wraps within the run
  std::memcpy(state.words, start.data(), sizeof state.words);
  Input mirror = start;
  for (int refill = 0; refill < 8; ++refill) {
    std::uint32_t buffer[64];
    refill_wide(state, buffer);
    const Output want = run(refill4_scalar, mirror);
    for (std::size_t w = 0; w < 64; ++w) ASSERT_EQ(buffer[w], want[w]) << "refill " << refill;
    set_counter(mirror, counter_of(mirror) + 4);
    for (std::size_t w = 0; w < 16; ++w) {
      ASSERT_EQ(state.words[w], mirror[w]) << "refill " << refill << ", state word " << w;
    }
  }
}

}  // namespace
}  // namespace corvatel::internal
