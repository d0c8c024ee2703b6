// Reference forms of the core's number formatting, built only from the C
// library (snprintf and strtod), and the checks that hold the core to them.
// Shared by the number fuzzer and the table check.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
