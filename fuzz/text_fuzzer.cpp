// Fuzzes the core's text routines (whitespace test, trim, fold,
// prefix and suffix tests, unwrapping, reply cleaning and JSON-reply
// unfencing): results must hold their defining properties, equal a plain
// string-by-string reading of their definitions, and agree across the three
// str layouts and every output width that holds the result.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/reply.hpp"
#include "core/text.hpp"
#include "units.hpp"

namespace {

namespace core = qv::core;
using core::Span;

// The whitespace set spelled out once more, as sorted inclusive ranges.
constexpr char32_t kSpaceRanges[][2] = {
    {0x09, 0x0D},     {0x1C, 0x20},     {0x85, 0x85},     {0xA0, 0xA0},     {0x1680, 0x1680},
    {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000}};

bool reference_space(char32_t c) {
  for (const auto& r : kSpaceRanges)
    if (c >= r[0] && c <= r[1]) return true;
  return false;
}

template <class C>
bool space_at(const C* s, std::size_t i) {
  return core::is_space(static_cast<char32_t>(s[i]));
}

// r lies inside `outer` with no whitespace at its edges; when `tight` (a
// plain trim), everything of `outer` outside r is whitespace.
template <class C>
void check_trimmed(const C* s, Span outer, Span r, bool tight) {
  QV_FUZZ_CHECK(outer.begin <= r.begin && r.begin <= r.end && r.end <= outer.end);
  if (!r.empty()) {
    QV_FUZZ_CHECK(!space_at(s, r.begin));
    QV_FUZZ_CHECK(!space_at(s, r.end - 1));
  }
  if (tight) {
    for (std::size_t i = outer.begin; i < r.begin; ++i) QV_FUZZ_CHECK(space_at(s, i));
    for (std::size_t i = r.end; i < outer.end; ++i) QV_FUZZ_CHECK(space_at(s, i));
    if (r.empty()) QV_FUZZ_CHECK(r.begin == outer.end || r.begin == outer.begin);
  }
}

// Plain references over whole strings, the way a Python reader of the
// definitions would write them: strip, startswith/endswith, slicing.
using Text = std::u32string;

Text py_strip(const Text& t) {
  std::size_t b = 0;
  std::size_t e = t.size();
  while (b < e && reference_space(t[b])) ++b;
  while (e > b && reference_space(t[e - 1])) --e;
  return t.substr(b, e - b);
}

bool py_starts(const Text& t, std::string_view lit) {
  return t.size() >= lit.size() && t.compare(0, lit.size(), Text(lit.begin(), lit.end())) == 0;
}

bool py_ends(const Text& t, std::string_view lit) {
  return t.size() >= lit.size() &&
         t.compare(t.size() - lit.size(), lit.size(), Text(lit.begin(), lit.end())) == 0;
}

// unwrap: a text both starting and ending with `mark` loses both marks (all
// of it when they touch or overlap) and is stripped again.
Text py_unwrap(const Text& t, std::string_view mark) {
  if (!py_starts(t, mark) || !py_ends(t, mark)) return t;
  if (t.size() <= 2 * mark.size()) return Text();
  return py_strip(t.substr(mark.size(), t.size() - 2 * mark.size()));
}

Text py_clean(const Text& t) {
  return py_unwrap(py_unwrap(py_strip(t), "```"), "\"");
}

Text py_fence(const Text& t) {
  const Text s = py_strip(t);
  const Text inner = py_unwrap(s, "```");
  if (inner != s && py_starts(inner, "json")) return py_strip(inner.substr(4));
  return inner;
}

// " ".join(t.split())
Text py_fold(const Text& t) {
  Text out;
  Text word;
  for (std::size_t i = 0; i <= t.size(); ++i) {
    if (i < t.size() && !reference_space(t[i])) {
      word.push_back(t[i]);
      continue;
    }
    if (word.empty()) continue;
    if (!out.empty()) out.push_back(U' ');
    out += word;
    word.clear();
  }
  return out;
}

template <class C>
Text text_of(const C* s, Span r) {
  Text out;
  for (std::size_t i = r.begin; i < r.end; ++i) out.push_back(static_cast<char32_t>(s[i]));
  return out;
}

// fold_ws into a D buffer one unit larger than the input, whose last unit
// must stay untouched.
template <class D, class C>
Text folded(const std::vector<C>& units) {
  std::vector<D> out(units.size() + 1, D{0x5A});
  const std::size_t n = core::fold_ws(units.data(), units.size(), out.data());
  QV_FUZZ_CHECK(n <= units.size());
  QV_FUZZ_CHECK(out[units.size()] == D{0x5A});
  return Text(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
}

// The folded text in every output width that holds it; all must agree with
// the reference, which has no whitespace but single inner spaces.
template <class C>
void check_fold(const std::vector<C>& units, const Text& want) {
  const char32_t widest = core::max_outside_ws(units.data(), units.size());
  char32_t ref_widest = 0;
  for (char32_t c : units)
    if (!reference_space(c) && c > ref_widest) ref_widest = c;
  QV_FUZZ_CHECK(widest == ref_widest);
  QV_FUZZ_CHECK(folded<std::uint32_t>(units) == want);
  if (widest < 0x10000) QV_FUZZ_CHECK(folded<std::uint16_t>(units) == want);
  if (widest < 0x100) QV_FUZZ_CHECK(folded<std::uint8_t>(units) == want);
}

struct Results {
  Span trimmed, fenced, cleaned;
  bool operator==(const Results& o) const {
    return trimmed == o.trimmed && fenced == o.fenced && cleaned == o.cleaned;
  }
};

template <class C>
Results run(const std::vector<C>& units) {
  const C* s = units.data();
  const std::size_t n = units.size();
  const Span all{0, n};
  Results out;

  out.trimmed = core::trim(s, n);
  check_trimmed(s, all, out.trimmed, true);
  QV_FUZZ_CHECK(core::trim(s, out.trimmed) == out.trimmed);

  out.fenced = core::strip_json_fence(s, n);
  check_trimmed(s, out.trimmed, out.fenced, false);
  if (out.fenced != out.trimmed) {
    QV_FUZZ_CHECK(core::starts_with(s, out.trimmed, "```") &&
                  core::ends_with(s, out.trimmed, "```"));
  }

  out.cleaned = core::clean_reply(s, n);
  check_trimmed(s, out.trimmed, out.cleaned, false);

  const Text whole = text_of(s, all);
  QV_FUZZ_CHECK(text_of(s, out.trimmed) == py_strip(whole));
  QV_FUZZ_CHECK(text_of(s, out.fenced) == py_fence(whole));
  QV_FUZZ_CHECK(text_of(s, out.cleaned) == py_clean(whole));
  for (std::string_view mark : {"```", "\"", "**", "|"}) {
    const Span u = core::unwrap(s, out.trimmed, mark);
    check_trimmed(s, out.trimmed, u, false);
    QV_FUZZ_CHECK(text_of(s, u) == py_unwrap(py_strip(whole), mark));
  }

  const Text fold = py_fold(whole);
  QV_FUZZ_CHECK(fold.empty() || (fold.front() != U' ' && fold.back() != U' '));
  QV_FUZZ_CHECK(fold.find(U"  ") == Text::npos);
  check_fold(units, fold);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<char32_t> cps = qv::fuzz::decode_utf8(data, size);
  for (char32_t c : cps) QV_FUZZ_CHECK(core::is_space(c) == reference_space(c));
  // Whole 32-bit words too, so every code point can come up.
  for (std::size_t i = 0; i + 4 <= size; i += 4) {
    const char32_t c =
        static_cast<char32_t>(data[i] | data[i + 1] << 8 | data[i + 2] << 16) & 0x1FFFFF;
    QV_FUZZ_CHECK(core::is_space(c) == reference_space(c));
  }

  const qv::fuzz::Layouts l(cps);
  const Results r32 = run(l.u32);
  if (l.width <= 2) QV_FUZZ_CHECK(run(l.u16) == r32);
  if (l.width == 1) QV_FUZZ_CHECK(run(l.u8) == r32);
  // The raw bytes as a one-byte str.
  run(std::vector<std::uint8_t>(data, data + size));
  return 0;
}
