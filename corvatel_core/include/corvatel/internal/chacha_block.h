// The ChaCha block state and its step functions behind ChaCha8Rng. Internal
// to the core (ChaCha8Rng's inline draw needs the declarations); callers use
// ChaCha8Rng.
#pragma once

#include <cstdint>

namespace corvatel {

class ChaCha8Rng;

namespace internal {

// The 16-word block input: constant, key, block counter, stream
// (chacha_layout.h).
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

// A generator's block state, for tests of the key and stream layout.
const ChaChaState& state_of(const ChaCha8Rng& rng);

}  // namespace internal
}  // namespace corvatel
