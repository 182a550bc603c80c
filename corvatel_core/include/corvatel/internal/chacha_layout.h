// The layout of the 16-word ChaCha block input (Bernstein, "ChaCha, a variant
// of Salsa20", 2008) in the variant with a 64-bit block counter and a 64-bit
// nonce, which serves as the stream number: the four constant words, the
// 256-bit key in words 4..11, the counter in words 12 and 13 and the stream
// in words 14 and 15, each 64-bit value as two words, the low half first.
// Every kernel, the generator and the lanes' block functions build their
// input from these names.
//
// This header is included by translation units compiled for wider
// instruction sets, so its functions are always inlined: a copy compiled
// for one instruction set is never shared with code built for another.
#pragma once

#include <cstdint>

namespace corvatel::internal {

inline constexpr unsigned kChaChaWords = 16;

// "expand 32-byte k" as little-endian words: words 0..3.
inline constexpr std::uint32_t kChaChaConstant[4] = {0x61707865u, 0x3320646Eu, 0x79622D32u, 0x6B206574u};
inline constexpr unsigned kConstantWord = 0;

inline constexpr unsigned kKeyWord = 4;  // words 4..11
inline constexpr unsigned kKeyWordCount = 8;

// The 64-bit values: the low half in the first word, the high half in the
// next.
inline constexpr unsigned kCounterWord = 12;  // words 12, 13
inline constexpr unsigned kStreamWord = 14;   // words 14, 15

// Writes `value` into words[at] (low half) and words[at + 1] (high half).
[[gnu::always_inline]] constexpr void put_u64(std::uint32_t* words, unsigned at, std::uint64_t value) {
  words[at] = static_cast<std::uint32_t>(value);
  words[at + 1] = static_cast<std::uint32_t>(value >> 32);
}

// The value put_u64 wrote at `at`.
[[gnu::always_inline]] constexpr std::uint64_t get_u64(const std::uint32_t* words, unsigned at) {
  return (static_cast<std::uint64_t>(words[at + 1]) << 32) | words[at];
}

}  // namespace corvatel::internal
