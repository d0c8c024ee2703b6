// Reference forms of the core's number formatting, built from the C library
// (snprintf and strtod) and, independently of it, from exact integer
// arithmetic, and the checks that hold the core to them. Shared by the
// number fuzzer and the table check.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/number.hpp"

namespace qv::fuzz {

// A decimal d[0].d[1]d[2]... times 10**exp10, as text strtod reads.
inline std::string sci_text(bool negative, const std::string& digits, int exp10) {
  std::string t = negative ? "-" : "";
  t += digits[0];
  if (digits.size() > 1) t += "." + digits.substr(1);
  return t + "e" + std::to_string(exp10);
}

// digits (exp10) moved by one unit in the last digit, up or down, kept
// normalised (no leading zero).
inline void step_last_digit(std::string& digits, int& exp10, bool up) {
  std::size_t i = digits.size();
  if (up) {
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0) {
      digits.insert(digits.begin(), '1');
      digits.pop_back();
      ++exp10;
    } else {
      ++digits[i - 1];
    }
  } else {
    while (i > 0 && digits[i - 1] == '0') digits[--i] = '9';
    --digits[i - 1];
    if (digits[0] == '0' && digits.size() > 1) {
      digits.erase(digits.begin());
      digits.push_back('9');
      --exp10;
    }
  }
}

// repr(x) of a finite double, as CPython lays it out: the fewest significant
// digits that read back to x and, of those, the nearest to x, in positional
// form when the decimal point falls within -4 < decpt <= 16 (".0" added to
// whole values), else as d[.ddd]e(+|-)XX. For each length p the nearest
// p-digit decimal is "%.*e"; when it does not read back, the only other
// p-digit candidate is its neighbour on the other side of x (where the gap
// to the next double is wider, at a power of two).
inline std::string reference_repr(double x) {
  const bool negative = std::signbit(x);
  std::string digits;
  int exp10 = 0;
  for (int p = 1; p <= 17; ++p) {
    char sci[40];
    std::snprintf(sci, sizeof sci, "%.*e", p - 1, std::fabs(x));
    digits.clear();
    const char* s = sci;
    for (; *s != 'e'; ++s)
      if (*s != '.') digits.push_back(*s);
    exp10 = std::atoi(s + 1);
    const double back = std::strtod(sci, nullptr);
    if (back == std::fabs(x)) break;
    std::string other = digits;
    int other_exp = exp10;
    step_last_digit(other, other_exp, back < std::fabs(x));
    if (std::strtod(sci_text(false, other, other_exp).c_str(), nullptr) == std::fabs(x)) {
      digits = other;
      exp10 = other_exp;
      break;
    }
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string out = negative ? "-" : "";
  const int n = static_cast<int>(digits.size());
  const int decpt = exp10 + 1;
  if (decpt <= -4 || decpt > 16) {
    out += digits[0];
    if (n > 1) out += "." + digits.substr(1);
    char e[16];
    std::snprintf(e, sizeof e, "e%c%02d", exp10 < 0 ? '-' : '+', std::abs(exp10));
    return out + e;
  }
  if (decpt <= 0) return out + "0." + std::string(static_cast<std::size_t>(-decpt), '0') + digits;
  if (decpt >= n)
    return out + digits + std::string(static_cast<std::size_t>(decpt - n), '0') + ".0";
  const auto whole = static_cast<std::size_t>(decpt);
  return out + digits.substr(0, whole) + "." + digits.substr(whole);
}

// format(x, ".3f"): the C library's exact "%.3f", except that Python never
// shows the sign of a NaN.
inline std::string reference_fixed3(double x) {
  if (std::isnan(x)) return "nan";
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.3f", x);
  return buf;
}

// The exact decimal expansion of |x| for a finite double, from integer
// arithmetic alone: |x| = m * 2**e, which is m * 5**-e / 10**-e when e < 0.
// Returns the digits of that integer and how many of them are fractional.
struct ExactDecimal {
  std::string digits;  // no leading zeros beyond the integer part's "0"
  std::size_t fraction = 0;
};

inline ExactDecimal exact_decimal(double x) {
  int e = 0;
  const double frac = std::frexp(std::fabs(x), &e);
  auto m = static_cast<std::uint64_t>(std::ldexp(frac, 53));  // exact: 53 bits
  e -= 53;
  // A big integer in base 10**9, least significant limb first.
  std::vector<std::uint32_t> limbs;
  for (; m != 0; m /= 1000000000u) limbs.push_back(static_cast<std::uint32_t>(m % 1000000000u));
  auto times = [&limbs](std::uint32_t k) {
    std::uint64_t carry = 0;
    for (std::uint32_t& l : limbs) {
      const std::uint64_t v = std::uint64_t{l} * k + carry;
      l = static_cast<std::uint32_t>(v % 1000000000u);
      carry = v / 1000000000u;
    }
    for (; carry != 0; carry /= 1000000000u)
      limbs.push_back(static_cast<std::uint32_t>(carry % 1000000000u));
  };
  ExactDecimal out;
  if (e >= 0) {
    for (int k = e; k > 0; k -= 29) times(std::uint32_t{1} << std::min(k, 29));
  } else {
    out.fraction = static_cast<std::size_t>(-e);
    int k = -e;
    for (; k >= 13; k -= 13) times(1220703125u);  // 5**13
    std::uint32_t rest = 1;
    for (; k > 0; --k) rest *= 5;
    times(rest);
  }
  for (std::size_t i = limbs.size(); i-- > 0;) {
    char part[16];
    std::snprintf(part, sizeof part, i + 1 == limbs.size() ? "%u" : "%09u", limbs[i]);
    out.digits += part;
  }
  // At least one integer digit.
  if (out.digits.size() <= out.fraction)
    out.digits.insert(0, out.fraction + 1 - out.digits.size(), '0');
  return out;
}

// format(x, ".3f") from the exact expansion: kept digits rounded half to
// even on what follows them; the sign of x always shows, zeros included.
inline std::string exact_fixed3(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  ExactDecimal d = exact_decimal(x);
  if (d.fraction < 3) {
    d.digits.append(3 - d.fraction, '0');
    d.fraction = 3;
  }
  const std::size_t keep = d.digits.size() - (d.fraction - 3);
  std::string kept = d.digits.substr(0, keep);
  const std::string tail = d.digits.substr(keep);
  bool up = false;
  if (!tail.empty() && tail[0] >= '5') {
    const bool beyond_half = tail[0] > '5' || tail.find_first_not_of('0', 1) != std::string::npos;
    up = beyond_half || (kept.back() - '0') % 2 == 1;
  }
  if (up) {
    std::size_t i = kept.size();
    while (i > 0 && kept[i - 1] == '9') kept[--i] = '0';
    if (i == 0) {
      kept.insert(kept.begin(), '1');
    } else {
      ++kept[i - 1];
    }
  }
  std::string whole = kept.substr(0, kept.size() - 3);
  const std::size_t nz = whole.find_first_not_of('0');
  whole = nz == std::string::npos ? "0" : whole.substr(nz);
  return (std::signbit(x) ? "-" : "") + whole + "." + kept.substr(kept.size() - 3);
}

// Whether repr's digits are the fewest that read back to x: with one digit
// fewer, neither the decimal just below |x| nor the one just above does.
// (Any other decimal of that length lies further from x, past one of them.)
inline bool repr_is_shortest(const std::string& repr, double x) {
  std::string digits;
  int exp10 = 0;
  bool seen_point = false;
  int point_at = 0;  // digits before the point
  std::size_t i = repr[0] == '-' ? 1 : 0;
  for (; i < repr.size() && repr[i] != 'e'; ++i) {
    if (repr[i] == '.') {
      seen_point = true;
      continue;
    }
    digits.push_back(repr[i]);
    if (!seen_point) ++point_at;
  }
  if (i < repr.size()) exp10 = std::atoi(repr.c_str() + i + 1);
  // Normalise to d.ddd * 10**exp10 with no leading or trailing zeros.
  exp10 += point_at - 1;
  while (digits.size() > 1 && digits[0] == '0') {
    digits.erase(digits.begin());
    --exp10;
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (digits.size() <= 1) return true;
  const double ax = std::fabs(x);
  std::string below = digits.substr(0, digits.size() - 1);
  int below_exp = exp10;
  if (std::strtod(sci_text(false, below, below_exp).c_str(), nullptr) == ax) return false;
  step_last_digit(below, below_exp, true);
  return std::strtod(sci_text(false, below, below_exp).c_str(), nullptr) != ax;
}

inline std::string core_repr(double x) {
  char buf[core::kFloatReprMax];
  return {buf, core::format_float_repr(x, buf)};
}

inline std::string core_fixed3(double x) {
  char buf[core::kFixed3Max];
  return {buf, core::format_fixed3(x, buf)};
}

// Whether a repr reads back to exactly x (the sign of zero included).
inline bool reads_back(const std::string& text, double x) {
  const double y = std::strtod(text.c_str(), nullptr);
  return std::memcmp(&x, &y, sizeof x) == 0;
}

}  // namespace qv::fuzz
