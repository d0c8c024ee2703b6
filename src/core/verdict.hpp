// The convergence judge's one-line verdict, read conservatively: anything
// that is not a clean "CONVERGED|<summary>" or "OPEN|<reason>" keeps the
// thread open. Python-free and templated over the code-unit type; never
// fails, and every text it returns is a range of the input.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/text.hpp"

namespace qv::core {

struct Verdict {
  bool converged = false;
  // The summary or reason; unused when default_reason is set.
  Span text;
  // "OPEN|" with nothing after the pipe: the caller supplies its standard
  // reason.
  bool default_reason = false;

  friend constexpr bool operator==(const Verdict&, const Verdict&) = default;
};

// Whether s[r] equals the upper-case ASCII word `upper` once upper-cased as
// str.upper() does. Only ASCII letters upper-case into the letters of the
// two verdict words: the non-ASCII code points whose upper case is ASCII
// (U+00DF, U+0131, U+017F, U+FB00..U+FB06) become S, I, F, L or T, none of
// which occurs in them. So a unit outside ASCII never matches.
template <class C>
constexpr bool equals_upper_ascii(const C* s, Span r, std::string_view upper) noexcept {
  if (r.size() != upper.size()) return false;
  for (std::size_t i = 0; i < upper.size(); ++i) {
    const auto c = static_cast<char32_t>(s[r.begin + i]);
    const char32_t u = (c >= 'a' && c <= 'z') ? c - 32 : c;
    if (u != static_cast<unsigned char>(upper[i])) return false;
  }
  return true;
}

// The verdict of reply s[0:n]: the reply trimmed is `raw`; without a "|" it
// is (false, raw). Otherwise the token before the first "|", trimmed and
// upper-cased, decides: CONVERGED with a non-empty trimmed remainder is
// (true, remainder); OPEN is (false, remainder), or the standard reason when
// the remainder is empty; anything else is (false, raw). The remainder keeps
// further pipes and line breaks.
template <class C>
constexpr Verdict parse_verdict(const C* s, std::size_t n) noexcept {
  const Span raw = trim(s, n);
  std::size_t bar = raw.begin;
  while (bar < raw.end && s[bar] != C{'|'}) ++bar;
  if (bar == raw.end) return {false, raw, false};
  const Span token = trim(s, Span{raw.begin, bar});
  const Span rest = trim(s, Span{bar + 1, raw.end});
  if (equals_upper_ascii(s, token, "CONVERGED") && !rest.empty()) return {true, rest, false};
  if (equals_upper_ascii(s, token, "OPEN")) return {false, rest, rest.empty()};
  return {false, raw, false};
}

}  // namespace qv::core
