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

#include "corvatel/internal/chacha_block.h"

namespace corvatel {

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

 private:
  friend const internal::ChaChaState& internal::state_of(const ChaCha8Rng& rng);

  ChaCha8Rng() = default;

  internal::ChaChaState state_{};
  std::uint32_t buffer_[64] = {};
  unsigned pos_ = 64;  // next unread buffer word; 64: empty
};

}  // namespace corvatel
