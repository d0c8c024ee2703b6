// Cleaning of a model's reply before it is read: the free-text rule the
// insight and journal parsers share, and the unfencing of a JSON reply.
// Python-free, templated over the code-unit type, so it runs on a str's own
// storage and on fuzz input.
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

// The payload of a model's JSON reply: trims the text, and when it both
// starts and ends with a fence of three backticks, removes the fence and
// trims again, then a leading "json" label (exactly these lowercase letters)
// and trims again. Nothing else is removed: no other label, no quotes, no
// prose around the value. Never fails; the result is a range of the input.
template <class C>
constexpr Span strip_json_fence(const C* s, std::size_t n) noexcept {
  const Span t = trim(s, n);
  const Span inner = unwrap(s, t, "```");
  // The label is looked for only when a fence was removed.
  if (inner != t && starts_with(s, inner, "json")) return trim(s, Span{inner.begin + 4, inner.end});
  return inner;
}

}  // namespace qv::core
