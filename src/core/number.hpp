// Number formatting, Python-free: the forms CPython prints for int, float
// and format(x, ".3f"), written into caller buffers without allocating.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>

namespace qv::core {

// Room that format_float_repr needs.
inline constexpr std::size_t kFloatReprMax = 32;

// Room that format_fixed3 needs: 309 integer digits of the largest double, a
// sign, the point and three decimals, rounded up.
inline constexpr std::size_t kFixed3Max = 320;

// Room that format_decimal needs.
inline constexpr std::size_t kDecimalMax = 24;

// Writes repr(x) of a finite double into buf (at least kFloatReprMax bytes)
// and returns the length: the shortest digits that read back to x, laid out
// as CPython does (exponent form below 1e-4 and from 1e16 with a sign and at
// least two exponent digits, ".0" on whole values). Non-finite values are the
// caller's business: JSON spells them NaN/Infinity, str() nan/inf.
std::size_t format_float_repr(double x, char* buf) noexcept;

// Writes format(x, ".3f") into buf (at least kFixed3Max bytes) and returns
// the length: the exact value of x correctly rounded to three decimals, ties
// to even, "-0.000" for negative zero and tiny negatives, "nan", "inf",
// "-inf".
std::size_t format_fixed3(double x, char* buf) noexcept;

// Writes v in decimal into buf (at least kDecimalMax bytes); returns the length.
template <class Int>
std::size_t format_decimal(Int v, char* buf) noexcept {
  return static_cast<std::size_t>(std::to_chars(buf, buf + kDecimalMax, v).ptr - buf);
}

}  // namespace qv::core
