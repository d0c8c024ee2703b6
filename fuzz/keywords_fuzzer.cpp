// Fuzzes the domain keyword automaton: its answer must equal a plain search
// of every keyword, row by row, in a lowercased copy of the text, for all
// three str layouts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/keywords.hpp"
#include "units.hpp"

namespace {

namespace core = qv::core;

// What lowercasing leaves for the all-ASCII keywords to match: ASCII letters
// fold to lowercase; U+0130 lowers to "i" plus U+0307 and U+212A (Kelvin) to
// "k"; every other code point lowers to text outside ASCII, which no keyword
// can match across, so it becomes a separator.
std::string lowered_for_keywords(const std::vector<char32_t>& cps) {
  std::string out;
  for (char32_t c : cps) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    } else if (c == 0x130) {
      out += "i\x80";
    } else if (c == 0x212A) {
      out.push_back('k');
    } else {
      out.push_back('\x80');
    }
  }
  return out;
}

int reference_row(const std::string& lowered) {
  for (std::size_t row = 0; row < core::kDomainRows; ++row)
    for (std::string_view kw : core::kDomainTable[row].keywords)
      if (lowered.find(kw) != std::string::npos) return static_cast<int>(row);
  return core::KeywordSet::kNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<char32_t> cps = qv::fuzz::decode_utf8(data, size);
  const qv::fuzz::Layouts l(cps);
  const int expected = reference_row(lowered_for_keywords(cps));
  QV_FUZZ_CHECK(core::classify_domain(l.u32.data(), l.u32.size()) == expected);
  if (l.width <= 2) QV_FUZZ_CHECK(core::classify_domain(l.u16.data(), l.u16.size()) == expected);
  if (l.width == 1) QV_FUZZ_CHECK(core::classify_domain(l.u8.data(), l.u8.size()) == expected);
  return 0;
}
