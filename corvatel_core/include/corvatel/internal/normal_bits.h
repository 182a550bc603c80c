// The bit-level steps by which StandardNormal (normal.h) turns a 64-bit word
// into its Ziggurat layer and its uniforms, as named constants, so that the
// vector code of the lanes (walk_lanes.inc) takes the same steps by the same
// names.
//
// This header is included by translation units compiled for wider
// instruction sets, so it must stay free of inline code: constants only.
#pragma once

#include <cstdint>

namespace corvatel::internal {

// The layer is the word's low 8 bits.
inline constexpr std::uint64_t kLayerMask = 0xFF;

// The top 52 bits become the mantissa of a double: shifted down by 12 and
// given the exponent of 2.0 (a value in [2, 4)) or of 1.0 (in [1, 2)).
inline constexpr unsigned kMantissaShift = 12;
inline constexpr std::uint64_t kExponentOfTwo = 0x4000000000000000ull;
inline constexpr std::uint64_t kExponentOfOne = 0x3FF0000000000000ull;

// symmetric_from_bits: the value in [2, 4) minus 3, so [-1, 1) in steps of
// 2^-51.
inline constexpr double kSymmetricOffset = 3.0;

// open_from_bits: the value in [1, 2) minus 1 - 2^-53, so
// [2^-53, 1 - 2^-53], never 0 or 1.
inline constexpr double kOpenOffset = 0x1.fffffffffffffp-1;

// closed_open_from_bits: the top 53 bits as an integer, times 2^-53, so
// [0, 1 - 2^-53].
inline constexpr unsigned kTop53Shift = 11;
inline constexpr double kTop53Scale = 0x1.0p-53;

// All bits of a double but its sign: `bits & kAbsMask` is |x|.
inline constexpr std::uint64_t kAbsMask = 0x7FFFFFFFFFFFFFFFull;

}  // namespace corvatel::internal
