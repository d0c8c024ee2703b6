// Turning fuzz bytes into the code-unit arrays the core runs on, the way
// CPython lays out a str: one unit per code point, in the narrowest of the
// 1-, 2- and 4-byte layouts that holds every code point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace qv::fuzz {

// Reports a broken invariant and aborts, which libFuzzer records as a crash.
#define QV_FUZZ_CHECK(cond)                                                         \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

// Decodes UTF-8; a byte that does not start a well-formed sequence becomes
// U+DC80..U+DCFF as with "surrogateescape", so lone surrogates come up too.
// Encoded surrogates (ED A0..BF xx) are let through as "surrogatepass" does.
inline std::vector<char32_t> decode_utf8(const std::uint8_t* p, std::size_t n) {
  std::vector<char32_t> out;
  out.reserve(n);
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b = p[i];
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b < 0x80) {
      len = 1;
      cp = b;
    } else if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
      cp = b & 0x1Fu;
      min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      cp = b & 0x0Fu;
      min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      cp = b & 0x07u;
      min = 0x10000;
    }
    bool ok = len != 0 && i + len <= n;
    for (std::size_t k = 1; ok && k < len; ++k) {
      if ((p[i + k] & 0xC0u) != 0x80u) ok = false;
      cp = (cp << 6) | (p[i + k] & 0x3Fu);
    }
    if (ok && (cp < min || cp > 0x10FFFF)) ok = false;
    if (ok) {
      out.push_back(cp);
      i += len;
    } else {
      out.push_back(0xDC00u + b);
      ++i;
    }
  }
  return out;
}

// The same code points in all three layouts; `width` is the narrowest that
// holds them (1, 2 or 4). The narrower arrays are filled only when they fit.
struct Layouts {
  std::vector<std::uint8_t> u8;
  std::vector<std::uint16_t> u16;
  std::vector<std::uint32_t> u32;
  int width = 1;

  explicit Layouts(const std::vector<char32_t>& cps) {
    char32_t max = 0;
    for (char32_t c : cps) max = c > max ? c : max;
    width = max < 0x100 ? 1 : max < 0x10000 ? 2 : 4;
    u32.assign(cps.begin(), cps.end());
    if (width <= 2)
      for (char32_t c : cps) u16.push_back(static_cast<std::uint16_t>(c));
    if (width == 1)
      for (char32_t c : cps) u8.push_back(static_cast<std::uint8_t>(c));
  }
};

}  // namespace qv::fuzz
