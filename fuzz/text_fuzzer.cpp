// Fuzzes the core's text routines (whitespace test, trim, split, prefix and
// suffix tests, reply cleaning and JSON-reply unfencing): results must hold
// their defining properties and agree across the three str layouts.
#include <cstddef>
#include <cstdint>
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

struct Results {
  Span trimmed, fenced, cleaned;
  std::vector<Span> pieces;
  bool operator==(const Results& o) const {
    return trimmed == o.trimmed && fenced == o.fenced && cleaned == o.cleaned && pieces == o.pieces;
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

  out.pieces = core::split_ws(s, n);
  std::size_t at = 0;
  for (const Span& p : out.pieces) {
    QV_FUZZ_CHECK(p.begin >= at && p.begin < p.end && p.end <= n);
    for (std::size_t i = at; i < p.begin; ++i) QV_FUZZ_CHECK(space_at(s, i));
    for (std::size_t i = p.begin; i < p.end; ++i) QV_FUZZ_CHECK(!space_at(s, i));
    QV_FUZZ_CHECK(p.end == n || space_at(s, p.end));
    at = p.end;
  }
  for (std::size_t i = at; i < n; ++i) QV_FUZZ_CHECK(space_at(s, i));
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
