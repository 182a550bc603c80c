#include "corvatel/chacha.h"

#include "corvatel/internal/chacha_kernels.h"
#include "corvatel/internal/chacha_layout.h"
#include "corvatel/internal/simd_dispatch.h"

namespace corvatel {
namespace internal {

namespace {

std::uint32_t load_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Chosen once, at load time; every later refill goes through this pointer.
const RefillKernel kRefill = chosen_refill_kernel();

}  // namespace

ChaChaState init_chacha(const std::uint8_t key[32], const std::uint8_t nonce[8]) {
  ChaChaState s{};
  for (unsigned i = 0; i < 4; ++i) s.words[kConstantWord + i] = kChaChaConstant[i];
  for (unsigned i = 0; i < kKeyWordCount; ++i) s.words[kKeyWord + i] = load_le32(key + 4 * i);
  put_u64(s.words, kCounterWord, 0);
  s.words[kStreamWord] = load_le32(nonce);
  s.words[kStreamWord + 1] = load_le32(nonce + 4);
  return s;
}

void set_stream_param(ChaChaState& state, unsigned param, std::uint64_t value) {
  if (param > 1) return;
  put_u64(state.words, param == 0 ? kCounterWord : kStreamWord, value);
}

void refill_wide(ChaChaState& state, std::uint32_t buffer[64]) {
  kRefill(state.words, buffer);
  put_u64(state.words, kCounterWord, get_u64(state.words, kCounterWord) + 4);
}

}  // namespace internal

ChaChaKey ChaCha8Rng::key_from_seed(std::uint64_t seed) {
  ChaChaKey key{};
  std::uint64_t s = seed;
  for (auto& word : key) {
    // The state advances before the output, so even the first word comes
    // from an advanced state.
    s = s * 6364136223846793005ull + 11634580027462260723ull;
    const auto x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
    const auto rot = static_cast<unsigned>(s >> 59);
    word = (x >> rot) | (x << ((32u - rot) & 31u));
  }
  return key;
}

ChaCha8Rng ChaCha8Rng::from_key(const ChaChaKey& key) {
  std::uint8_t bytes[32];
  for (int i = 0; i < 8; ++i) {
    for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<std::uint8_t>(key[static_cast<std::size_t>(i)] >> (8 * b));
  }
  const std::uint8_t nonce[8] = {};
  ChaCha8Rng rng;
  rng.state_ = internal::init_chacha(bytes, nonce);
  return rng;
}

ChaCha8Rng ChaCha8Rng::seed_from_u64(std::uint64_t seed) { return from_key(key_from_seed(seed)); }

}  // namespace corvatel

namespace corvatel::internal {

const ChaChaState& state_of(const ChaCha8Rng& rng) { return rng.state_; }

}  // namespace corvatel::internal
