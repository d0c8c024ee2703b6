// Python-free text routines over code-unit arrays. A unit is one code point
// (uint8_t, char16_t-like uint16_t or char32_t-like uint32_t storage, the
// three layouts CPython uses for str), so positions and lengths here are
// code-point counts and results are index ranges into the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace qv::core {

// The whitespace set of every trim and split in the library: U+0009..U+000D,
// U+001C..U+001F, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000 (exactly what str.strip() removes).
constexpr bool is_space(char32_t c) noexcept {
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
  switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// A half-open range [begin, end) of code points.
struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
  constexpr std::size_t size() const noexcept { return end - begin; }
  constexpr bool empty() const noexcept { return begin == end; }
  friend constexpr bool operator==(Span, Span) = default;
};

template <class C>
constexpr Span trim(const C* s, Span r) noexcept {
  while (r.begin < r.end && is_space(static_cast<char32_t>(s[r.begin]))) ++r.begin;
  while (r.end > r.begin && is_space(static_cast<char32_t>(s[r.end - 1]))) --r.end;
  return r;
}

template <class C>
constexpr Span trim(const C* s, std::size_t n) noexcept {
  return trim(s, Span{0, n});
}

// Whether s[r] starts / ends with the ASCII text `lit`.
template <class C>
constexpr bool starts_with(const C* s, Span r, std::string_view lit) noexcept {
  if (r.size() < lit.size()) return false;
  for (std::size_t i = 0; i < lit.size(); ++i)
    if (static_cast<char32_t>(s[r.begin + i]) != static_cast<unsigned char>(lit[i])) return false;
  return true;
}

template <class C>
constexpr bool ends_with(const C* s, Span r, std::string_view lit) noexcept {
  if (r.size() < lit.size()) return false;
  const std::size_t at = r.end - lit.size();
  for (std::size_t i = 0; i < lit.size(); ++i)
    if (static_cast<char32_t>(s[at + i]) != static_cast<unsigned char>(lit[i])) return false;
  return true;
}

// When s[r] both starts and ends with the ASCII `mark`, the text between the
// two marks, trimmed; a text of 2 * mark.size() code points or fewer (marks
// that touch or overlap, as in a lone fence) gives the empty range. Anything
// else gives r unchanged.
template <class C>
constexpr Span unwrap(const C* s, Span r, std::string_view mark) noexcept {
  if (!starts_with(s, r, mark) || !ends_with(s, r, mark)) return r;
  if (r.size() <= 2 * mark.size()) return Span{r.begin, r.begin};
  return trim(s, Span{r.begin + mark.size(), r.end - mark.size()});
}

// Splits s[0:n] at runs of whitespace, dropping empty pieces
// (str.split() with no arguments).
template <class C>
std::vector<Span> split_ws(const C* s, std::size_t n) {
  std::vector<Span> out;
  std::size_t i = 0;
  while (i < n) {
    while (i < n && is_space(static_cast<char32_t>(s[i]))) ++i;
    if (i == n) break;
    const std::size_t start = i;
    while (i < n && !is_space(static_cast<char32_t>(s[i]))) ++i;
    out.push_back({start, i});
  }
  return out;
}

// is_space for one-byte units as a table, so loops over the common
// one-byte layout test a unit without branching.
inline constexpr struct SpaceTable {
  bool at[256] = {};
  constexpr SpaceTable() noexcept {
    for (char32_t c = 0; c < 256; ++c) at[c] = is_space(c);
  }
} kSpaceTable{};

template <class C>
constexpr bool is_space_unit(C c) noexcept {
  if constexpr (sizeof(C) == 1) {
    return kSpaceTable.at[static_cast<std::uint8_t>(c)];
  } else {
    return c < 256 ? kSpaceTable.at[c] : is_space(static_cast<char32_t>(c));
  }
}

// Writes s[0:n] with its whitespace folded, as " ".join(s.split()) does:
// every run of whitespace between two pieces becomes one space and runs at
// either end disappear. `out` must have room for n units of any width that
// holds the pieces' code points (see max_outside_ws); returns the number of
// units written. Branch-free per unit: the unit is always stored and the
// write position advances unless it continues a run (or leads the text).
template <class C, class D>
std::size_t fold_ws(const C* s, std::size_t n, D* out) noexcept {
  std::size_t j = 0;
  bool after_space = true;  // at the start, or just after a written space
  for (std::size_t i = 0; i < n; ++i) {
    const C c = s[i];
    const bool sp = is_space_unit(c);
    out[j] = sp ? D{' '} : static_cast<D>(c);
    j += static_cast<std::size_t>(!(sp && after_space));
    after_space = sp;
  }
  // A trailing run left exactly one space behind.
  if (after_space && j > 0) --j;
  return j;
}

// The largest code point of s[0:n] that is not whitespace (0 when there is
// none): the widest unit fold_ws will write, since whitespace folds to ' '.
template <class C>
constexpr char32_t max_outside_ws(const C* s, std::size_t n) noexcept {
  char32_t m = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<char32_t>(s[i]);
    if (c > m && !is_space(c)) m = c;
  }
  return m;
}

}  // namespace qv::core
