// Cleaning of a model's free-text reply: the insight and journal builders
// both hand their replies through this one rule. Python-free, templated over
// the code-unit type, so it runs on a str's own storage and on fuzz input.
#pragma once

#include <cstddef>

#include "core/text.hpp"

namespace qv::core {

// The part of s[0:n] that is the reply's text: trimmed, then one surrounding
// fence of three backticks removed and trimmed again, then one surrounding
// pair of double quotation marks removed and trimmed again. A fenced text of
// six code points or fewer, or a quoted one of two or fewer, cleans to empty
// (a lone fence or a lone quotation mark counts as both opening and closing).
// Anything else (a language tag after the fence, single quotes, a fence at
// one end only) stays. Never fails; the result is a range of the input.
template <class C>
constexpr Span clean_reply(const C* s, std::size_t n) noexcept {
  return unwrap(s, unwrap(s, trim(s, n), "```"), "\"");
}

}  // namespace qv::core
