// exp(y) to within a known relative error, for vector code that must decide
// a comparison with the C library's exp exactly as the scalar code does: a
// value clearly below or above this one is below or above the library's too,
// and only the rare values too close to call need the library.
//
// Written once for doubles and for vectors of doubles (V, with U the
// unsigned 64-bit integers of the same width), so that tests can check the
// bound on doubles.
#pragma once

#include <bit>
#include <cstdint>

namespace corvatel::internal {

// Relative error of exp_near on [-7, 0], proven below: |exp_near(y) / e^y - 1|
// stays below this.
inline constexpr double kExpNearError = 0x1p-26;

// Relative error allowed to the C library's exp in the decisions built on
// exp_near: glibc's is below one unit in the last place (2^-52), and this
// allows 4096 of them.
inline constexpr double kLibraryExpError = 0x1p-40;

// Margin of a sure decision: w < exp_near(y) * (1 - kExpMargin) means
// w < exp(y), and w > exp_near(y) * (1 + kExpMargin) means w > exp(y), for
// any exp within kLibraryExpError. Since (1 + 2^-26)(1 - 2^-24)(1 + 2^-53)
// < 1 - 2^-40 and (1 - 2^-26)(1 + 2^-24)(1 - 2^-53) > 1 + 2^-40, the rounded
// products keep the bracket.
inline constexpr double kExpMargin = 0x1p-24;

// e^y for -7 <= y <= 0 (the Ziggurat's wedges need -6.7 <= y <= 0), short
// in latency rather than exact: it sits on the path of a draw that left the
// Ziggurat's fast path.
// y = k ln2 + r with k the integer nearest y / ln2, so |r| <= 0.34658;
// e^r by its Taylor polynomial of degree 7 (remainder at most
// 0.34658^8 / 8! * e^0.34658 < 7.4e-9, relative to e^r >= 0.7071 below
// 1.05e-8), evaluated in three levels (Estrin) with rounding errors below
// 1e-14, as r's own rounding (k ln2 with |k| <= 10). In all below
// 1.1e-8 < 2^-26 = 1.49e-8. Scaling by 2^k, a normal power of two, is exact.
// Always inlined: the vector kernels' copies are compiled for their own
// instruction sets and must not be merged with another's.
template <typename V, typename U>
[[gnu::always_inline]] inline V exp_near(V y) {
  // Adding 1.5 * 2^52 rounds to an integer, which then sits in the low bits.
  constexpr double kShifter = 0x1.8p52;
  const V t = y * 0x1.71547652b82fep0 + kShifter;  // 1 / ln2
  const V k = t - kShifter;
  const V r = y - k * 0x1.62e42fefa39efp-1;  // ln2
  // 1 / j!, each j! exact in a double, so each quotient correctly rounded.
  const V r2 = r * r;
  const V r4 = r2 * r2;
  const V p01 = r + 1.0;
  const V p23 = r * (1.0 / 6.0) + 0.5;
  const V p45 = r * (1.0 / 120.0) + (1.0 / 24.0);
  const V p67 = r * (1.0 / 5040.0) + (1.0 / 720.0);
  const V p03 = p23 * r2 + p01;
  const V p47 = p67 * r2 + p45;
  const V p = p47 * r4 + p03;
  // t's low 12 bits hold k modulo 4096; k + 1023 is 2^k's biased exponent.
  const U scale = (std::bit_cast<U>(t) + 1023) << 52;
  return p * std::bit_cast<V>(scale);
}

}  // namespace corvatel::internal
