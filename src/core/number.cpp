#include "core/number.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace qv::core {

namespace {

constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};

// repr(x) for values with at most six decimals and below 1e15 in size, the
// usual case, without the general shortest-digits search. For k = 0, 1, ...
// the candidate is n / 10**k with n the integer nearest x * 10**k. It reads
// back to x exactly when the double division n / 10**k gives x: with n below
// 2**53 and 10**k exact, that division is the correctly rounded value of the
// decimal, just as float() would read it. Below 2**50 the grid 10**-k is
// wider than four ulps of x, so at most one k-decimal number reads back to x
// and it is the nearest one; the first k that works therefore gives the
// shortest digits, which is what repr prints. Returns 0 when no k <= 6 works.
std::size_t short_float_repr(double x, char* buf) noexcept {
  const double a = std::fabs(x);
  if (!(a < 1e15) || (a < 1e-4 && a != 0.0)) return 0;
  for (int k = 0; k <= 6; ++k) {
    const double y = a * kPow10[k];
    if (y >= 1125899906842624.0) return 0;  // 2**50
    const double n = std::nearbyint(y);
    if (n / kPow10[k] != a) continue;
    auto whole = static_cast<unsigned long long>(n);
    char* o = buf;
    if (std::signbit(x)) *o++ = '-';
    unsigned long long scale = 1;
    for (int i = 0; i < k; ++i) scale *= 10;
    o = std::to_chars(o, o + 20, whole / scale).ptr;
    *o++ = '.';
    if (k == 0) {
      *o++ = '0';
    } else {
      unsigned long long frac = whole % scale;
      for (int i = k - 1; i >= 0; --i) {
        o[i] = static_cast<char>('0' + frac % 10);
        frac /= 10;
      }
      o += k;
    }
    return static_cast<std::size_t>(o - buf);
  }
  return 0;
}

}  // namespace

std::size_t format_float_repr(double x, char* buf) noexcept {
  if (const std::size_t n = short_float_repr(x, buf)) return n;
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX[X].
  char sci[kFloatReprMax];
  const auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  const char* p = sci;
  const char* end = r.ptr;
  char* o = buf;
  if (*p == '-') *o++ = *p++;
  char digits[20];
  std::size_t nd = 0;
  const char* e = p;
  while (*e != 'e') {
    if (*e != '.') digits[nd++] = *e;
    ++e;
  }
  int exp10 = 0;
  std::from_chars(e + 1 + (e[1] == '+'), end, exp10);
  const int decpt = exp10 + 1;  // digits are 0.d1d2... times 10**decpt
  if (decpt <= -4 || decpt > 16) {
    // repr keeps the exponent layout to_chars made: "1e-05", "1.5e+16".
    const std::size_t n = static_cast<std::size_t>(end - p);
    std::memcpy(o, p, n);
    return static_cast<std::size_t>(o - buf) + n;
  }
  if (decpt <= 0) {
    *o++ = '0';
    *o++ = '.';
    for (int k = decpt; k < 0; ++k) *o++ = '0';
    std::memcpy(o, digits, nd);
    o += nd;
  } else if (static_cast<std::size_t>(decpt) < nd) {
    const auto whole = static_cast<std::size_t>(decpt);
    std::memcpy(o, digits, whole);
    o += whole;
    *o++ = '.';
    std::memcpy(o, digits + whole, nd - whole);
    o += nd - whole;
  } else {
    std::memcpy(o, digits, nd);
    o += nd;
    for (std::size_t k = nd; k < static_cast<std::size_t>(decpt); ++k) *o++ = '0';
    *o++ = '.';
    *o++ = '0';
  }
  return static_cast<std::size_t>(o - buf);
}

std::size_t format_fixed3(double x, char* buf) noexcept {
  if (std::isnan(x)) {  // to_chars would keep a NaN's sign bit; Python never shows it
    std::memcpy(buf, "nan", 3);
    return 3;
  }
  // Below 2**52 the value is m * 2**-s with m < 2**53 and s >= 1, so
  // m * 1000 fits in 64 bits and the thousandths are that product shifted
  // right by s, rounded on the bits shifted out (an exact half to the even
  // result): the digits to_chars gives below, without its general algorithm.
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
  if (biased <= 1074) {
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    const std::uint64_t m = biased ? fraction | (std::uint64_t{1} << 52) : fraction;
    const int s = biased ? 1075 - biased : 1074;  // |x| = m * 2**-s
    const std::uint64_t p = m * 1000;
    std::uint64_t q = 0;  // |x| in thousandths, rounded
    if (s < 64) {
      q = p >> s;
      const std::uint64_t rest = p & ((std::uint64_t{1} << s) - 1);
      const std::uint64_t half = std::uint64_t{1} << (s - 1);
      if (rest > half || (rest == half && (q & 1))) ++q;
    }  // else p < 2**63 < half of 2**s: rounds to zero
    char* o = buf;
    if (bits >> 63) *o++ = '-';  // negative zero and tiny negatives included
    o = std::to_chars(o, o + 20, q / 1000).ptr;
    const auto t = static_cast<unsigned>(q % 1000);
    o[0] = '.';
    o[1] = static_cast<char>('0' + t / 100);
    o[2] = static_cast<char>('0' + t / 10 % 10);
    o[3] = static_cast<char>('0' + t % 10);
    return static_cast<std::size_t>(o + 4 - buf);
  }
  // to_chars with a precision is exact: the double's own value, correctly
  // rounded to three decimals, an exact tie to the even digit.
  const auto r = std::to_chars(buf, buf + kFixed3Max, x, std::chars_format::fixed, 3);
  return static_cast<std::size_t>(r.ptr - buf);
}

}  // namespace qv::core
