// Fuzzes the convergence judge's verdict parse: it must equal a plain
// reading of its definition (upper-casing the token code point by code point
// as str.upper() does, expansions included) for all three str layouts.
// Whitespace folding, which the judge also uses, is fuzzed with the other
// text routines (text_fuzzer.cpp).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/text.hpp"
#include "core/verdict.hpp"
#include "units.hpp"

namespace {

namespace core = qv::core;
using core::Span;

// str.upper() of the code points that matter to the token: ASCII letters,
// and the non-ASCII code points whose full upper case is ASCII. Every other
// code point upper-cases to text outside ASCII, written here as U+FFFF.
void append_upper(std::u32string& out, char32_t c) {
  if (c >= 'a' && c <= 'z') {
    out.push_back(c - 32);
  } else if (c < 0x80) {
    out.push_back(c);
  } else {
    switch (c) {
      case 0xDF:
        out += U"SS";
        break;
      case 0x131:
        out += U"I";
        break;
      case 0x17F:
        out += U"S";
        break;
      case 0xFB00:
        out += U"FF";
        break;
      case 0xFB01:
        out += U"FI";
        break;
      case 0xFB02:
        out += U"FL";
        break;
      case 0xFB03:
        out += U"FFI";
        break;
      case 0xFB04:
        out += U"FFL";
        break;
      case 0xFB05:
      case 0xFB06:
        out += U"ST";
        break;
      default:
        out.push_back(0xFFFF);
        break;
    }
  }
}

struct Expected {
  bool converged;
  std::u32string text;
};

std::u32string slice(const std::vector<char32_t>& s, std::size_t b, std::size_t e) {
  return std::u32string(s.begin() + static_cast<std::ptrdiff_t>(b),
                        s.begin() + static_cast<std::ptrdiff_t>(e));
}

std::u32string stripped(const std::u32string& s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && core::is_space(s[b])) ++b;
  while (e > b && core::is_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

Expected reference(const std::vector<char32_t>& s) {
  const std::u32string raw = stripped(slice(s, 0, s.size()));
  const std::size_t bar = raw.find(U'|');
  if (raw.empty() || bar == std::u32string::npos) return {false, raw};
  std::u32string token;
  for (char32_t c : stripped(raw.substr(0, bar))) append_upper(token, c);
  const std::u32string summary = stripped(raw.substr(bar + 1));
  if (token == U"CONVERGED" && !summary.empty()) return {true, summary};
  if (token == U"OPEN") return {false, summary.empty() ? U"judge marked thread open" : summary};
  return {false, raw};
}

template <class C>
Expected parsed(const std::vector<C>& units) {
  const core::Verdict v = core::parse_verdict(units.data(), units.size());
  QV_FUZZ_CHECK(v.text.begin <= v.text.end && v.text.end <= units.size());
  if (v.default_reason) {
    QV_FUZZ_CHECK(!v.converged);
    return {false, U"judge marked thread open"};
  }
  std::u32string text;
  for (std::size_t i = v.text.begin; i < v.text.end; ++i) text.push_back(units[i]);
  return {v.converged, text};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<char32_t> cps = qv::fuzz::decode_utf8(data, size);
  const qv::fuzz::Layouts l(cps);

  const Expected want = reference(cps);
  auto same = [&](const Expected& got) {
    QV_FUZZ_CHECK(got.converged == want.converged && got.text == want.text);
  };
  same(parsed(l.u32));
  if (l.width <= 2) same(parsed(l.u16));
  if (l.width == 1) same(parsed(l.u8));

  // The raw bytes as a one-byte str.
  const std::vector<std::uint8_t> bytes(data, data + size);
  const std::vector<char32_t> wide(bytes.begin(), bytes.end());
  const Expected raw = parsed(bytes);
  const Expected raw_want = reference(wide);
  QV_FUZZ_CHECK(raw.converged == raw_want.converged && raw.text == raw_want.text);
  return 0;
}
