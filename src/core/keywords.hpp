// Keyword matching over lowercased text, without building the lowercase copy.
//
// Every keyword is lowercase ASCII, so a keyword can only match where the
// lowercased text is ASCII. Under the full Unicode lowercase mapping only two
// code points outside ASCII lower into ASCII at all: U+0130 (capital I with dot
// above) becomes "i" followed by U+0307, and U+212A (Kelvin sign) becomes "k".
// Every other non-ASCII code point, lone surrogates included, lowers to
// non-ASCII text (Final_Sigma only chooses between two Greek sigmas), which no
// keyword can cross. So the text is read once, each unit projected to what its
// lowercase form means to ASCII keywords, and fed to one Aho-Corasick
// automaton that tracks all keywords at once: linear in the text, no
// allocation, no copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace qv::core {

// A set of ASCII keywords, each tagged with a group number; reports the
// smallest group any of whose keywords occurs in the lowercased text.
class KeywordSet {
 public:
  static constexpr int kNone = -1;

  struct Entry {
    std::string_view keyword;  // non-empty, ASCII, no uppercase letters
    int group;                 // 0 .. 254
  };

  // Throws std::invalid_argument for a keyword that could never match
  // lowercased text (empty, non-ASCII, or holding an uppercase letter).
  explicit KeywordSet(std::span<const Entry> entries);
  KeywordSet(std::initializer_list<Entry> entries)
      : KeywordSet(std::span<const Entry>(entries.begin(), entries.size())) {}

  // The smallest group with a keyword occurring in lower(s[0:n]), or kNone.
  template <class C>
  int first_group(const C* s, std::size_t n) const noexcept {
    const std::uint32_t* next = next_.data();
    std::uint32_t row = 0;  // offset of the current state's row in next_
    std::uint32_t best = kNoGroup;
    // One step of the automaton; true once the first group is found, since
    // nothing can beat it.
    auto step = [&](std::uint8_t cls) {
      const std::uint32_t e = next[row + cls];
      row = e >> 8;
      if ((e & 0xFF) < best) best = e & 0xFF;
      return best == 0;
    };
    for (std::size_t i = 0; i < n; ++i) {
      const auto c = static_cast<std::uint32_t>(s[i]);
      std::uint8_t cls;
      if constexpr (sizeof(C) == 1) {
        cls = class_of_[c];  // Latin-1 above ASCII lowers within Latin-1
      } else if (c < 0x80) {
        cls = class_of_[c];
      } else if (c == 0x212A) {
        cls = class_of_['k'];
      } else if (c == 0x130) {
        if (step(class_of_['i'])) return 0;  // then U+0307, which no keyword holds
        cls = 0;
      } else {
        cls = 0;
      }
      if (step(cls)) return 0;
    }
    return best == kNoGroup ? kNone : static_cast<int>(best);
  }

 private:
  static constexpr std::uint8_t kNoGroup = 0xFF;

  // Units 0..255 to character classes; class 0 holds everything no keyword
  // contains, and uppercase ASCII shares its lowercase letter's class.
  std::array<std::uint8_t, 256> class_of_{};
  std::size_t classes_ = 1;
  // states x classes, every transition resolved: the target's row offset
  // (target * classes) << 8 | the smallest group ending at the target, or
  // kNoGroup. One load per unit tells both where to go and what matched.
  std::vector<std::uint32_t> next_;
};

// The directive domain taxonomy: rows in priority order, each a domain and
// its keywords in order.
struct DomainRow {
  std::string_view domain;
  std::span<const std::string_view> keywords;
};

inline constexpr std::string_view kDomainGeneral = "general";
inline constexpr std::size_t kDomainRows = 5;
extern const std::array<DomainRow, kDomainRows> kDomainTable;

// The automaton over kDomainTable; its groups are row indexes.
const KeywordSet& domain_keywords();

// The row index of the first row with a keyword in lower(s[0:n]), or kNone
// when the text belongs to no row (the general domain).
template <class C>
int classify_domain(const C* s, std::size_t n) noexcept {
  return domain_keywords().first_group(s, n);
}

}  // namespace qv::core
