// The reply of the directive-evolution step, read without Python: the
// verdict on the reply as a whole and, for each usable element of its
// "proposed" list, where its text and source identifier lie. The binding
// turns these ranges into str objects and checks the identifiers against the
// caller's set; every decision about the JSON is made here.
//
// Only what the result can use is kept: the kind of the top-level value, the
// kind of the last "proposed" member, and two string ranges per usable
// proposal. Everything else is validated and forgotten, so a long reply
// costs memory in proportion to its proposals, never to its tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/json_reader.hpp"
#include "core/text.hpp"

namespace qv::core::evolution {

enum class Verdict : std::uint8_t {
  NotJson,     // the payload is not one JSON value (or could not be read)
  NotObject,   // valid JSON, but not an object; `kind` is its kind
  NoProposed,  // an object without a "proposed" member
  NotList,     // the last "proposed" member is not an array; `kind` is its kind
  Proposed,    // the last "proposed" member is an array; see `proposals`
};

// One element of "proposed" that becomes a proposal: an object whose last
// "text" member is a string that is not blank. `text` is the raw content of
// that string; when it holds no escape it is already trimmed. `source` is
// the last "source_insight_id" member's token; only a String (whatever its
// content) names a source, any other kind stands also for a missing member.
struct Proposal {
  json::Token text;
  json::Token source;
};

struct Reply {
  Verdict verdict = Verdict::NotJson;
  json::Kind kind = json::Kind::Null;
  std::vector<Proposal> proposals;
};

// Reads a model's reply s[0:n]: strips the JSON fence (see reply.hpp),
// decodes the rest as one JSON value and extracts the proposals. Never
// throws: a reply the reader refuses, and a reply whose proposals cannot be
// held in memory, both give Verdict::NotJson with no proposals.
template <class C>
Reply read_reply(const C* s, std::size_t n) noexcept;

// Where a string with escapes lies once decoded: the range of its code
// points that is kept (all of them, or with `trimmed` what trimming leaves)
// and the largest code point in that range (0 when it is empty). So the
// binding can make the str at its final size and narrowest kind, and decode
// straight into it with a json::StringCursor, skipping `kept.begin` code
// points, without a wide copy in between.
struct Decoded {
  Span kept;
  char32_t max_char = 0;
};

template <class C>
Decoded measure_string(const C* s, const json::Token& t, bool trimmed) noexcept {
  Decoded d;
  std::size_t count = 0;
  std::size_t first = 0;
  std::size_t last = 0;  // one past the last code point that is kept
  bool any = false;
  for (json::StringCursor<C> cur(s, t); !cur.done(); ++count) {
    if (is_space(cur.next()) && trimmed) continue;
    if (!any) first = count;
    any = true;
    last = count + 1;
  }
  if (!any) return d;
  d.kept = Span{first, last};
  json::StringCursor<C> cur(s, t);
  for (std::size_t i = 0; i < last; ++i) {
    const char32_t c = cur.next();
    if (i >= first && c > d.max_char) d.max_char = c;
  }
  return d;
}

extern template Reply read_reply<std::uint8_t>(const std::uint8_t*, std::size_t) noexcept;
extern template Reply read_reply<std::uint16_t>(const std::uint16_t*, std::size_t) noexcept;
extern template Reply read_reply<std::uint32_t>(const std::uint32_t*, std::size_t) noexcept;

}  // namespace qv::core::evolution
