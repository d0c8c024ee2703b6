#include "core/json_reader.hpp"

#include <algorithm>
#include <cstring>

namespace qv::core::json {
namespace {

constexpr bool is_digit(char32_t c) noexcept { return c >= '0' && c <= '9'; }

constexpr int hex_value(char32_t c) noexcept {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// json.loads skips only these four between tokens.
constexpr bool is_json_space(char32_t c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Units that end a run of ordinary string content: the quote, the
// backslash and the raw control characters U+0000..U+001F.
constexpr bool stops_string(char32_t c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

template <class C>
class Parser {
public:
  Parser(const C* s, Span r, std::vector<Node>& nodes) noexcept
      : s_(s), pos_(r.begin), end_(r.end), nodes_(nodes) {}

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
          stack_[depth_++] = push(object ? Kind::Object : Kind::Array, pos_, pos_);
          ++pos_;
          skip_ws();
          if (pos_ < end_ && at(pos_) == (object ? U'}' : U']')) {
            close();
            break;
          }
          if (object && !key()) return false;
          continue;  // the first element or member value follows
        }
        case '"':
          if (!string()) return false;
          break;
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
        const bool object = nodes_[stack_[depth_ - 1]].kind == Kind::Object;
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

  std::size_t push(Kind k, std::size_t begin, std::size_t end, bool escaped = false) {
    const std::size_t i = nodes_.size();
    nodes_.push_back(Node{begin, end, i + 1, k, escaped});
    return i;
  }

  // Closes the innermost container at the bracket under pos_.
  void close() noexcept {
    Node& n = nodes_[stack_[--depth_]];
    n.end = pos_ + 1;
    n.next = nodes_.size();
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
        const std::uint64_t hit = ((quote - ones) & ~quote) | ((slash - ones) & ~slash) |
                                  ((w - ones * 0x20) & ~w);
        if (hit & highs) break;
        i += 8;
      }
    }
    while (i < end_ && !stops_string(at(i))) ++i;
    return i;
  }

  // A member name and its colon; leaves pos_ at the member's value.
  bool key() {
    if (pos_ == end_ || at(pos_) != '"' || !string()) return false;
    skip_ws();
    if (pos_ == end_ || at(pos_) != ':') return false;
    ++pos_;
    skip_ws();
    return true;
  }

  bool word(std::string_view w, Kind k) {
    if (end_ - pos_ < w.size()) return false;
    for (std::size_t i = 0; i < w.size(); ++i)
      if (at(pos_ + i) != static_cast<unsigned char>(w[i])) return false;
    push(k, pos_, pos_ + w.size());
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
        pos_ = i;
        if (!word("Infinity", Kind::Float)) return false;
        nodes_.back().begin = i - 1;
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
    push(k, pos_, i);
    pos_ = i;
    return true;
  }

  // A string at the quote under pos_: raw U+0000..U+001F refused, escapes
  // checked (\uXXXX needs exactly four hex digits) but not decoded.
  bool string() {
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
    push(Kind::String, pos_ + 1, i, escaped);
    pos_ = i + 1;
    return true;
  }

  const C* s_;
  std::size_t pos_;
  std::size_t end_;
  std::vector<Node>& nodes_;
  std::size_t depth_ = 0;
  std::size_t stack_[kMaxDepth];
};

template <class C>
char32_t hex4(const C* s, std::size_t i) noexcept {
  char32_t v = 0;
  for (std::size_t k = 0; k < 4; ++k)
    v = (v << 4) | static_cast<char32_t>(hex_value(static_cast<char32_t>(s[i + k])));
  return v;
}

}  // namespace

template <class C>
bool parse(const C* s, Span r, Document& doc) {
  doc.nodes.clear();
  // Most replies need far fewer nodes than units; this avoids regrowing
  // through the small sizes without reserving much for large inputs.
  doc.nodes.reserve(std::min<std::size_t>(r.size() / 8 + 4, 4096));
  Parser<C> p(s, r, doc.nodes);
  return p.run();
}

template <class C>
void decode_string(const C* s, const Node& n, std::u32string& out) {
  std::size_t i = n.begin;
  while (i < n.end) {
    const auto c = static_cast<char32_t>(s[i]);
    if (c != '\\') {
      out.push_back(c);
      ++i;
      continue;
    }
    const auto e = static_cast<char32_t>(s[i + 1]);
    i += 2;
    switch (e) {
      case 'b':
        out.push_back(U'\b');
        break;
      case 'f':
        out.push_back(U'\f');
        break;
      case 'n':
        out.push_back(U'\n');
        break;
      case 'r':
        out.push_back(U'\r');
        break;
      case 't':
        out.push_back(U'\t');
        break;
      case 'u': {
        char32_t cp = hex4(s, i);
        i += 4;
        // The parser checked every escape, so a backslash-u here is
        // followed by four hex digits inside the string.
        if (cp >= 0xD800 && cp <= 0xDBFF && n.end - i >= 6 && s[i] == '\\' && s[i + 1] == 'u') {
          const char32_t lo = hex4(s, i + 2);
          if (lo >= 0xDC00 && lo <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i += 6;
          }
        }
        out.push_back(cp);
        break;
      }
      default:  // '"', '\\', '/'
        out.push_back(e);
        break;
    }
  }
}

template <class C>
bool string_equals(const C* s, const Node& n, std::string_view key) {
  if (!n.escaped) {
    if (n.end - n.begin != key.size()) return false;
    for (std::size_t i = 0; i < key.size(); ++i)
      if (static_cast<char32_t>(s[n.begin + i]) != static_cast<unsigned char>(key[i])) return false;
    return true;
  }
  // Every code point takes at least one unit, so a shorter raw span cannot
  // decode to the key.
  if (n.end - n.begin < key.size()) return false;
  std::u32string decoded;
  decode_string(s, n, decoded);
  if (decoded.size() != key.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i)
    if (decoded[i] != static_cast<unsigned char>(key[i])) return false;
  return true;
}

template <class C>
std::size_t find_member(const C* s, const Document& doc, std::size_t obj, std::string_view key) {
  std::size_t found = npos;
  const std::size_t stop = doc.nodes[obj].next;
  for (std::size_t k = obj + 1; k < stop; k = doc.nodes[k + 1].next) {
    if (string_equals(s, doc.nodes[k], key)) found = k + 1;
  }
  return found;
}

const char* python_type_name(Kind k) noexcept {
  switch (k) {
    case Kind::Null:
      return "NoneType";
    case Kind::False:
    case Kind::True:
      return "bool";
    case Kind::Int:
      return "int";
    case Kind::Float:
      return "float";
    case Kind::String:
      return "str";
    case Kind::Array:
      return "list";
    case Kind::Object:
      return "dict";
  }
  return "NoneType";
}

template bool parse<std::uint8_t>(const std::uint8_t*, Span, Document&);
template bool parse<std::uint16_t>(const std::uint16_t*, Span, Document&);
template bool parse<std::uint32_t>(const std::uint32_t*, Span, Document&);
template void decode_string<std::uint8_t>(const std::uint8_t*, const Node&, std::u32string&);
template void decode_string<std::uint16_t>(const std::uint16_t*, const Node&, std::u32string&);
template void decode_string<std::uint32_t>(const std::uint32_t*, const Node&, std::u32string&);
template bool string_equals<std::uint8_t>(const std::uint8_t*, const Node&, std::string_view);
template bool string_equals<std::uint16_t>(const std::uint16_t*, const Node&, std::string_view);
template bool string_equals<std::uint32_t>(const std::uint32_t*, const Node&, std::string_view);
template std::size_t find_member<std::uint8_t>(const std::uint8_t*, const Document&, std::size_t,
                                               std::string_view);
template std::size_t find_member<std::uint16_t>(const std::uint16_t*, const Document&, std::size_t,
                                                std::string_view);
template std::size_t find_member<std::uint32_t>(const std::uint32_t*, const Document&, std::size_t,
                                                std::string_view);

}  // namespace qv::core::json
