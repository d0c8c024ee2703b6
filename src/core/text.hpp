// Python-free text routines over code-unit arrays. A unit is one code point
// (uint8_t, char16_t-like uint16_t or char32_t-like uint32_t storage, the
// three layouts CPython uses for str), so positions and lengths here are
// code-point counts and results are index ranges into the input.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace qv::core {

// The whitespace set of every trim and fold in the library: U+0009..U+000D,
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

namespace detail {

// For 8 one-byte units in a little-endian word: whether they can be copied
// unchanged by fold_ws, given whether the unit before them was a space (or
// the text has not started). That holds when every unit is printable ASCII
// or a plain ' ', no two spaces touch, and the first is not a space after a
// space; most of a prose text passes, 8 units at a time.
constexpr bool fold_copies_as_is(std::uint64_t v, bool after_space) noexcept {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  constexpr std::uint64_t high = 0x8080808080808080u;
  constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Fu;
  if (v & high) return false;                       // a unit outside ASCII
  if ((v - ones * 0x20) & ~v & high) return false;  // a control unit (tab, line feed...)
  // 0x80 in each byte that is ' ' (an exact per-byte zero test of v ^ "        ").
  const std::uint64_t x = v ^ (ones * 0x20);
  const std::uint64_t spaces = ~(((x & low7) + low7) | x | low7);
  if (spaces & (spaces << 8)) return false;  // two spaces in a row
  return !(after_space && (spaces & 0x80));  // a space continuing a run
}

// One unit of fold_ws: stored as itself or as ' ', and kept (the write
// position advances) unless it is whitespace after whitespace or at the
// start. Selected with a mask rather than a branch: word boundaries come
// too often, and too irregularly, to predict.
template <class C, class D>
void fold_unit(C unit, D* out, std::size_t& j, std::size_t& after_space) noexcept {
  const auto c = static_cast<std::uint32_t>(unit);
  const std::size_t sp = is_space_unit(unit);
  const std::uint32_t mask = 0u - static_cast<std::uint32_t>(sp);
  out[j] = static_cast<D>((c & ~mask) | (std::uint32_t{' '} & mask));
  j += 1 - (sp & after_space);
  after_space = sp;
}

}  // namespace detail

// Writes s[0:n] with its whitespace folded, as " ".join(s.split()) does:
// every run of whitespace between two pieces becomes one space and runs at
// either end disappear. `out` must have room for n units of any width that
// holds the pieces' code points (see max_outside_ws); returns the number of
// units written. One-byte text is tried 8 units at a time; the rest goes
// unit by unit without a data-dependent branch.
template <class C, class D>
std::size_t fold_ws(const C* s, std::size_t n, D* out) noexcept {
  std::size_t i = 0;
  std::size_t j = 0;
  std::size_t after_space = 1;  // at the start, or just after a written space
  if constexpr (sizeof(C) == 1 && sizeof(D) == 1 && std::endian::native == std::endian::little) {
    for (; i + 8 <= n; i += 8) {
      std::uint64_t v;
      std::memcpy(&v, s + i, 8);
      if (detail::fold_copies_as_is(v, after_space != 0)) {
        std::memcpy(out + j, &v, 8);
        j += 8;
        after_space = (v >> 56) == 0x20;
        continue;
      }
      for (std::size_t k = i; k < i + 8; ++k) detail::fold_unit(s[k], out, j, after_space);
    }
  }
  for (; i < n; ++i) detail::fold_unit(s[i], out, j, after_space);
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
