// ChaCha8Rng: the seeded generator of 64-bit words behind all simulation
// noise.
//
// ChaCha with 8 rounds (Bernstein, "ChaCha, a variant of Salsa20", 2008) in
// the layout with a 64-bit block counter (words 12, 13) and a 64-bit nonce
// (words 14, 15) that serves as the stream number. The 256-bit key comes from
// a 64-bit seed through a 64-bit LCG and the PCG32 output function (O'Neill,
// 2014). Blocks are computed four at a time, so one refill serves 32 draws.
#pragma once

#include <array>
#include <cstdint>

namespace corvatel {

namespace internal {

// The 16-word block input: constant, key, block counter, stream.
struct ChaChaState {
  std::uint32_t words[16];
};

// Block state from a 32-byte key and an 8-byte nonce (the stream), with the
// counter at 0. Bytes are read as little-endian words.
ChaChaState init_chacha(const std::uint8_t key[32], const std::uint8_t nonce[8]);

// Writes the block counter (param 0) or the stream number (param 1) as one
// 64-bit value, low half in the even word. Other params are ignored.
void set_stream_param(ChaChaState& state, unsigned param, std::uint64_t value);

// The next four blocks into `buffer`, then the counter advances by 4.
void refill_wide(ChaChaState& state, std::uint32_t buffer[64]);

}  // namespace internal

using ChaChaKey = std::array<std::uint32_t, 8>;

class ChaCha8Rng {
 public:
  static ChaCha8Rng seed_from_u64(std::uint64_t seed);
  // The key that seed_from_u64 derives; a batch derives it once and builds
  // every trial's generator from it.
  static ChaChaKey key_from_seed(std::uint64_t seed);
  static ChaCha8Rng from_key(const ChaChaKey& key);

  // Selects the stream. Meant for a generator that has not produced anything
  // yet: its position stays at the first word of block 0.
  void set_stream(std::uint64_t stream) { internal::set_stream_param(state_, 1, stream); }

  std::uint64_t next_u64() {
    if (pos_ == 64) {
      internal::refill_wide(state_, buffer_);
      pos_ = 0;
    }
    const std::uint64_t lo = buffer_[pos_];
    const std::uint64_t hi = buffer_[pos_ + 1];
    pos_ += 2;
    return lo | (hi << 32);
  }

  const internal::ChaChaState& state() const { return state_; }

 private:
  ChaCha8Rng() = default;

  internal::ChaChaState state_{};
  std::uint32_t buffer_[64] = {};
  unsigned pos_ = 64;  // next unread buffer word; 64: empty
};

}  // namespace corvatel
