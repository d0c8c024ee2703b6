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
// document nested deeper than kMaxDepth is an ordinary failure.
//
// The reader builds nothing. It validates the whole text and reports each
// token to a sink as it passes, with its source position and its depth; the
// sink keeps only what its caller will read. So memory use is whatever the
// sink chooses to keep, not proportional to the document, and strings are
// decoded only when someone asks for one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/text.hpp"

namespace qv::core::json {

// The most containers that may be open at once. CPython's limit comes from
// the interpreter's recursion limit and the caller's stack depth (near
// 1,000 by default); ours is fixed so that the verdict never depends on
// where it is called from. 512 nested arrays are accepted, 513 are not.
inline constexpr std::size_t kMaxDepth = 512;

// The kind of a value. Numbers split as json.loads splits them: an Int has
// neither fraction nor exponent; NaN and the infinities are Floats.
enum class Kind : std::uint8_t { Null, False, True, Int, Float, String, Array, Object };

// A token's place in the source. A String's range is its content between the
// quotes, still escaped; any other token's range is its own text, and a
// container's is its opening bracket.
struct Token {
  std::size_t begin = 0;
  std::size_t end = 0;
  Kind kind = Kind::Null;
  bool escaped = false;  // String: holds at least one backslash escape
};

// What a sink receives, in document order (`depth` counts the containers
// around the token: the top-level value has depth 0, its members depth 1):
//
//   void value(const Token& t, std::size_t depth);  // a scalar, or a container opening
//   void key(const Token& name, std::size_t depth); // an object member's name, before its value
//   void close(std::size_t depth);                  // the container opened at `depth` ends
//
// Events stop at the first error; a sink must not assume a document was
// valid until read() has returned true.

// The ASCII characters a String's content stops at: the quote, the
// backslash and the raw control characters U+0000..U+001F.
constexpr bool stops_string(char32_t c) noexcept {
  return c < 0x20 || c == '"' || c == '\\';
}

// json.loads skips only these four between tokens.
constexpr bool is_json_space(char32_t c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

constexpr int hex_value(char32_t c) noexcept {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

namespace detail {

constexpr bool is_digit(char32_t c) noexcept {
  return c >= '0' && c <= '9';
}

template <class C, class Sink>
class Reader {
 public:
  Reader(const C* s, Span r, Sink& sink) noexcept
      : s_(s), pos_(r.begin), end_(r.end), sink_(sink) {}

  bool run() {
    skip_ws();
    for (;;) {
      // A value starts at pos_.
      if (pos_ == end_) return false;
      const char32_t c = at(pos_);
      switch (c) {
        case '{':
        case '[': {
          if (depth_ == kMaxDepth) return false;
          const bool object = c == '{';
          sink_.value(Token{pos_, pos_ + 1, object ? Kind::Object : Kind::Array, false}, depth_);
          is_object_[depth_++] = object;
          ++pos_;
          skip_ws();
          if (pos_ < end_ && at(pos_) == (object ? U'}' : U']')) {
            close();
            break;
          }
          if (object && !key()) return false;
          continue;  // the first element or member value follows
        }
        case '"': {
          Token t;
          if (!string(t)) return false;
          sink_.value(t, depth_);
          break;
        }
        case 'n':
          if (!word("null", Kind::Null)) return false;
          break;
        case 't':
          if (!word("true", Kind::True)) return false;
          break;
        case 'f':
          if (!word("false", Kind::False)) return false;
          break;
        case 'N':
          if (!word("NaN", Kind::Float)) return false;
          break;
        case 'I':
          if (!word("Infinity", Kind::Float)) return false;
          break;
        default:
          if (c != '-' && !is_digit(c)) return false;
          if (!number()) return false;
          break;
      }
      // After a value: close containers or move on to the next element.
      for (;;) {
        skip_ws();
        if (depth_ == 0) return pos_ == end_;
        if (pos_ == end_) return false;
        const bool object = is_object_[depth_ - 1];
        const char32_t d = at(pos_);
        if (d == ',') {
          ++pos_;
          skip_ws();
          if (object && !key()) return false;
          break;
        }
        if (d != (object ? U'}' : U']')) return false;
        close();
      }
    }
  }

 private:
  char32_t at(std::size_t i) const noexcept { return static_cast<char32_t>(s_[i]); }

  void skip_ws() noexcept {
    while (pos_ < end_ && is_json_space(at(pos_))) ++pos_;
  }

  // Closes the innermost container at the bracket under pos_.
  void close() {
    sink_.close(--depth_);
    ++pos_;
  }

  // The end of the run of ordinary string content starting at i. One-byte
  // text is tested eight units at a time.
  std::size_t skip_plain(std::size_t i) const noexcept {
    if constexpr (sizeof(C) == 1) {
      constexpr std::uint64_t ones = 0x0101010101010101u;
      constexpr std::uint64_t highs = 0x8080808080808080u;
      while (end_ - i >= 8) {
        std::uint64_t w;
        std::memcpy(&w, s_ + i, 8);
        const std::uint64_t quote = w ^ (ones * '"');
        const std::uint64_t slash = w ^ (ones * '\\');
        // A byte is flagged when it is zero after the xor (a quote or a
        // backslash) or below 0x20; a flag means "look closer here".
        const std::uint64_t hit =
            ((quote - ones) & ~quote) | ((slash - ones) & ~slash) | ((w - ones * 0x20) & ~w);
        if (hit & highs) break;
        i += 8;
      }
    }
    while (i < end_ && !stops_string(at(i))) ++i;
    return i;
  }

  // A member name and its colon; leaves pos_ at the member's value.
  bool key() {
    Token t;
    if (pos_ == end_ || at(pos_) != '"' || !string(t)) return false;
    skip_ws();
    if (pos_ == end_ || at(pos_) != ':') return false;
    ++pos_;
    skip_ws();
    sink_.key(t, depth_);
    return true;
  }

  bool word(std::string_view w, Kind k) {
    if (end_ - pos_ < w.size()) return false;
    for (std::size_t i = 0; i < w.size(); ++i)
      if (at(pos_ + i) != static_cast<unsigned char>(w[i])) return false;
    sink_.value(Token{pos_, pos_ + w.size(), k, false}, depth_);
    pos_ += w.size();
    return true;
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)? or -Infinity. A '.' or
  // an 'e' that does not start a fraction or an exponent can never be
  // followed validly, so it fails here rather than one token later.
  bool number() {
    std::size_t i = pos_;
    Kind k = Kind::Int;
    if (at(i) == '-') {
      ++i;
      if (i < end_ && at(i) == 'I') {
        constexpr std::string_view inf = "Infinity";
        if (end_ - i < inf.size()) return false;
        for (std::size_t j = 0; j < inf.size(); ++j)
          if (at(i + j) != static_cast<unsigned char>(inf[j])) return false;
        i += inf.size();
        sink_.value(Token{pos_, i, Kind::Float, false}, depth_);
        pos_ = i;
        return true;
      }
    }
    if (i == end_ || !is_digit(at(i))) return false;
    if (at(i) == '0') {
      ++i;
    } else {
      while (i < end_ && is_digit(at(i))) ++i;
    }
    if (i < end_ && at(i) == '.') {
      ++i;
      if (i == end_ || !is_digit(at(i))) return false;
      while (i < end_ && is_digit(at(i))) ++i;
      k = Kind::Float;
    }
    if (i < end_ && (at(i) == 'e' || at(i) == 'E')) {
      ++i;
      if (i < end_ && (at(i) == '+' || at(i) == '-')) ++i;
      if (i == end_ || !is_digit(at(i))) return false;
      while (i < end_ && is_digit(at(i))) ++i;
      k = Kind::Float;
    }
    sink_.value(Token{pos_, i, k, false}, depth_);
    pos_ = i;
    return true;
  }

  // A string at the quote under pos_: raw U+0000..U+001F refused, escapes
  // checked (\uXXXX needs exactly four hex digits) but not decoded.
  bool string(Token& t) {
    std::size_t i = pos_ + 1;
    bool escaped = false;
    for (;;) {
      i = skip_plain(i);
      if (i == end_) return false;
      const char32_t c = at(i);
      if (c == '"') break;
      if (c != '\\') return false;  // a raw control character
      escaped = true;
      if (end_ - i < 2) return false;
      switch (at(i + 1)) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
          i += 2;
          break;
        case 'u':
          if (end_ - i < 6) return false;
          for (std::size_t k = 2; k < 6; ++k)
            if (hex_value(at(i + k)) < 0) return false;
          i += 6;
          break;
        default:
          return false;
      }
    }
    t = Token{pos_ + 1, i, Kind::String, escaped};
    pos_ = i + 1;
    return true;
  }

  const C* s_;
  std::size_t pos_;
  std::size_t end_;
  Sink& sink_;
  std::size_t depth_ = 0;
  bool is_object_[kMaxDepth];
};

}  // namespace detail

// Reads s[r] as one JSON document (whitespace around it allowed), reporting
// its tokens to `sink`. Returns false for anything json.loads would refuse.
// Needs no memory beyond a fixed kMaxDepth-byte stack; an exception thrown
// by the sink propagates.
template <class C, class Sink>
bool read(const C* s, Span r, Sink& sink) {
  return detail::Reader<C, Sink>(s, r, sink).run();
}

// The code points of a String token, escapes resolved, one at a time and
// without allocating: a high surrogate escape directly followed by a low
// surrogate escape becomes one code point, any other surrogate escape is
// kept alone. The token must come from read() (its escapes are checked).
template <class C>
class StringCursor {
 public:
  StringCursor(const C* s, const Token& t) noexcept : s_(s), i_(t.begin), end_(t.end) {}

  bool done() const noexcept { return i_ >= end_; }

  char32_t next() noexcept {
    const auto c = unit(i_);
    if (c != '\\') {
      ++i_;
      return c;
    }
    const auto e = unit(i_ + 1);
    i_ += 2;
    switch (e) {
      case 'b':
        return U'\b';
      case 'f':
        return U'\f';
      case 'n':
        return U'\n';
      case 'r':
        return U'\r';
      case 't':
        return U'\t';
      case 'u': {
        char32_t cp = hex4(i_);
        i_ += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF && end_ - i_ >= 6 && unit(i_) == '\\' &&
            unit(i_ + 1) == 'u') {
          const char32_t lo = hex4(i_ + 2);
          if (lo >= 0xDC00 && lo <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i_ += 6;
          }
        }
        return cp;
      }
      default:  // '"', '\\', '/'
        return e;
    }
  }

 private:
  char32_t unit(std::size_t i) const noexcept { return static_cast<char32_t>(s_[i]); }
  char32_t hex4(std::size_t i) const noexcept {
    char32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k)
      v = (v << 4) | static_cast<char32_t>(hex_value(unit(i + k)));
    return v;
  }

  const C* s_;
  std::size_t i_;
  std::size_t end_;
};

// Whether a String token decodes to the ASCII text `lit`.
template <class C>
bool string_equals(const C* s, const Token& t, std::string_view lit) noexcept {
  if (!t.escaped) {
    if (t.end - t.begin != lit.size()) return false;
    for (std::size_t i = 0; i < lit.size(); ++i)
      if (static_cast<char32_t>(s[t.begin + i]) != static_cast<unsigned char>(lit[i])) return false;
    return true;
  }
  // Every code point takes at least one unit, so a shorter raw range
  // cannot decode to `lit`.
  if (t.end - t.begin < lit.size()) return false;
  StringCursor<C> cur(s, t);
  for (const char ch : lit)
    if (cur.done() || cur.next() != static_cast<unsigned char>(ch)) return false;
  return cur.done();
}

}  // namespace qv::core::json
