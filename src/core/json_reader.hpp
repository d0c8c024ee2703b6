// A Python-free JSON reader that accepts exactly what CPython's json.loads
// accepts for a str: RFC 8259 plus the bare words NaN, Infinity and
// -Infinity, integers of any length, strict strings (no raw U+0000..U+001F),
// \uXXXX escapes with lone surrogates kept, whitespace only space, tab, LF
// and CR, and nothing but whitespace after the value (so a leading U+FEFF is
// refused, as json.loads refuses it).
//
// It runs on code-unit arrays (one unit per code point, CPython's three str
// layouts) and never recurses: nesting is tracked on a bounded explicit
// stack, so the deepest input costs no more stack than the shallowest and a
// document nested deeper than kMaxDepth is an ordinary failure. The result
// is a flat array of nodes in document order holding source positions only;
// strings are decoded on demand, so a caller pays only for what it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.hpp"

namespace qv::core::json {

// The most containers that may be open at once. CPython's limit comes from
// the interpreter's recursion limit and the caller's stack depth (near
// 1,000 by default); ours is fixed so that the verdict never depends on
// where it is called from. 512 nested arrays are accepted, 513 are not.
inline constexpr std::size_t kMaxDepth = 512;

enum class Kind : std::uint8_t { Null, False, True, Int, Float, String, Array, Object };

// One value. Children of a container follow it directly; an object's
// children alternate key (a String node) and value. `next` is the index of
// the first node after this value's subtree, which makes siblings a linked
// walk without a separate child table.
struct Node {
  std::size_t begin = 0;  // String: first unit after the quote; else first unit of the token
  std::size_t end = 0;    // String: the closing quote; else one past the token
  std::size_t next = 0;   // index of the node after this subtree
  Kind kind = Kind::Null;
  bool escaped = false;  // String: holds at least one backslash escape
};

// The parsed document: nodes[0] is the top-level value.
struct Document {
  std::vector<Node> nodes;
};

// Parses s[r] as one JSON document (whitespace around it allowed). Returns
// false for anything json.loads would reject; `doc` then holds no
// meaningful content. Memory use is linear in the input's length.
template <class C>
bool parse(const C* s, Span r, Document& doc);

// Appends the decoded code points of a String node to `out` (escapes
// resolved; a high surrogate escape directly followed by a low surrogate
// escape becomes one code point, any other surrogate escape is kept alone).
template <class C>
void decode_string(const C* s, const Node& n, std::u32string& out);

// Whether a String node decodes to the ASCII text `key`.
template <class C>
bool string_equals(const C* s, const Node& n, std::string_view key);

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// The value of the last member named `key` of the Object node at `obj`
// (duplicate names: the last one wins), or npos when there is none.
template <class C>
std::size_t find_member(const C* s, const Document& doc, std::size_t obj, std::string_view key);

// The children of a container at index c are c + 1, then each child's
// `next`, until nodes[c].next.

// Python's type name for the value json.loads would produce for a node:
// "dict", "list", "str", "int", "float", "bool" or "NoneType".
const char* python_type_name(Kind k) noexcept;

// The payload of a model's JSON reply: trims the text, and when it both
// starts and ends with a fence of three backticks, removes the fence and
// trims again, then a leading "json" label and trims again. Nothing else is
// removed (no other label, no prose around the value).
template <class C>
constexpr Span strip_json_fence(const C* s, std::size_t n) noexcept {
  const Span t = trim(s, n);
  const Span inner = unwrap(s, t, "```");
  // The label is looked for only when a fence was removed.
  if (inner != t && starts_with(s, inner, "json")) return trim(s, Span{inner.begin + 4, inner.end});
  return inner;
}

extern template bool parse<std::uint8_t>(const std::uint8_t*, Span, Document&);
extern template bool parse<std::uint16_t>(const std::uint16_t*, Span, Document&);
extern template bool parse<std::uint32_t>(const std::uint32_t*, Span, Document&);
extern template void decode_string<std::uint8_t>(const std::uint8_t*, const Node&, std::u32string&);
extern template void decode_string<std::uint16_t>(const std::uint16_t*, const Node&,
                                                  std::u32string&);
extern template void decode_string<std::uint32_t>(const std::uint32_t*, const Node&,
                                                  std::u32string&);
extern template bool string_equals<std::uint8_t>(const std::uint8_t*, const Node&, std::string_view);
extern template bool string_equals<std::uint16_t>(const std::uint16_t*, const Node&,
                                                  std::string_view);
extern template bool string_equals<std::uint32_t>(const std::uint32_t*, const Node&,
                                                  std::string_view);
extern template std::size_t find_member<std::uint8_t>(const std::uint8_t*, const Document&,
                                                      std::size_t, std::string_view);
extern template std::size_t find_member<std::uint16_t>(const std::uint16_t*, const Document&,
                                                       std::size_t, std::string_view);
extern template std::size_t find_member<std::uint32_t>(const std::uint32_t*, const Document&,
                                                       std::size_t, std::string_view);

}  // namespace qv::core::json
