// Fuzzes the keyword automaton: its answer must equal a plain search of every
// keyword in a lowercased copy of the text, for all three str layouts. Two
// keyword sets are tried on each input: the domain taxonomy, row by row, and
// a set the input itself describes (so the automaton is built, failure links
// and all, from keywords that overlap in ways the taxonomy never does).
//
// Input: an optional keyword header, then the text. The header is present
// when the input starts with '#': a count byte, then per keyword a group
// byte, a length byte and that many keyword bytes; the text is the rest.
// Keywords the set must refuse (empty, non-ASCII, upper-case, group >= 255)
// must make the constructor throw std::invalid_argument.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
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

struct Header {
  std::vector<std::string> keywords;
  std::vector<int> groups;
  bool valid = true;  // whether the set must accept every keyword
  std::size_t text_at = 0;
};

Header read_header(const std::uint8_t* data, std::size_t size) {
  Header h;
  if (size < 2 || data[0] != '#') return h;
  std::size_t i = 2;
  const std::size_t count = data[1] % 16;
  for (std::size_t k = 0; k < count && i + 2 <= size; ++k) {
    const int group = data[i];
    const std::size_t len = std::min<std::size_t>(data[i + 1] % 24, size - i - 2);
    std::string kw(reinterpret_cast<const char*>(data + i + 2), len);
    i += 2 + len;
    bool ok = !kw.empty() && group < 255;
    for (const char c : kw) {
      const auto ch = static_cast<unsigned char>(c);
      ok = ok && ch < 0x80 && !(ch >= 'A' && ch <= 'Z');
    }
    h.valid = h.valid && ok;
    h.keywords.push_back(std::move(kw));
    h.groups.push_back(group);
  }
  h.text_at = i;
  return h;
}

int reference_group(const Header& h, const std::string& lowered) {
  int best = core::KeywordSet::kNone;
  for (std::size_t k = 0; k < h.keywords.size(); ++k)
    if (lowered.find(h.keywords[k]) != std::string::npos &&
        (best == core::KeywordSet::kNone || h.groups[k] < best))
      best = h.groups[k];
  return best;
}

template <class F>
void check_layouts(const qv::fuzz::Layouts& l, int expected, F&& classify) {
  QV_FUZZ_CHECK(classify(l.u32) == expected);
  if (l.width <= 2) QV_FUZZ_CHECK(classify(l.u16) == expected);
  if (l.width == 1) QV_FUZZ_CHECK(classify(l.u8) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The domain taxonomy over the whole input.
  {
    const std::vector<char32_t> cps = qv::fuzz::decode_utf8(data, size);
    const qv::fuzz::Layouts l(cps);
    check_layouts(l, reference_row(lowered_for_keywords(cps)), [](const auto& units) {
      return core::classify_domain(units.data(), units.size());
    });
    // The raw bytes as a one-byte str: Latin-1 lowers within Latin-1.
    const std::vector<char32_t> latin1(data, data + size);
    QV_FUZZ_CHECK(core::classify_domain(data, size) == reference_row(lowered_for_keywords(latin1)));
  }

  // A keyword set of the input's own, over the text after its header.
  const Header h = read_header(data, size);
  if (h.keywords.empty()) return 0;
  std::vector<core::KeywordSet::Entry> entries;
  for (std::size_t k = 0; k < h.keywords.size(); ++k)
    entries.push_back({h.keywords[k], h.groups[k]});
  if (!h.valid) {
    bool refused = false;
    try {
      core::KeywordSet bad(entries);
    } catch (const std::invalid_argument&) {
      refused = true;
    }
    QV_FUZZ_CHECK(refused);
    return 0;
  }
  const core::KeywordSet set(entries);
  const std::vector<char32_t> cps = qv::fuzz::decode_utf8(data + h.text_at, size - h.text_at);
  const qv::fuzz::Layouts l(cps);
  check_layouts(l, reference_group(h, lowered_for_keywords(cps)),
                [&](const auto& units) { return set.first_group(units.data(), units.size()); });
  return 0;
}
