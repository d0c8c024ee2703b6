// Fuzzes the JSON reader and the evolution reply reader on top of it. Any
// input must be accepted or refused without a sanitizer report, with the same
// verdict and the same events in every str layout, and accepted exactly when
// a plain recursive-descent reading of the grammar accepts it. An accepted
// document's events must describe a well-formed tree whose strings decode to
// valid code points, equal to the tree the plain reading builds; that tree,
// written back out as JSON, must read back to itself; and the reply reader's
// verdict and proposals must equal what a plain walk over the tree finds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/evolution_reply.hpp"
#include "core/json_reader.hpp"
#include "core/reply.hpp"
#include "units.hpp"

namespace {

namespace json = qv::core::json;
namespace ev = qv::core::evolution;
using qv::core::Span;

enum class Ev : std::uint8_t { Value, Key, Close };

struct Event {
  Ev type;
  json::Token t;
  std::size_t depth;
  bool operator==(const Event& o) const {
    return type == o.type && depth == o.depth && t.begin == o.t.begin && t.end == o.t.end &&
           t.kind == o.t.kind && t.escaped == o.t.escaped;
  }
};

struct Recorder {
  std::vector<Event> events;
  void value(const json::Token& t, std::size_t depth) { events.push_back({Ev::Value, t, depth}); }
  void key(const json::Token& t, std::size_t depth) { events.push_back({Ev::Key, t, depth}); }
  void close(std::size_t depth) { events.push_back({Ev::Close, json::Token{}, depth}); }
};

// A tree rebuilt from the events, for the plain walk.
struct Node {
  json::Token t;
  std::vector<json::Token> keys;  // Object: member names, in order
  std::vector<std::size_t> kids;  // indexes into the node table
};

template <class C>
void decode_string(const C* s, const json::Token& t, std::u32string& out) {
  for (json::StringCursor<C> cur(s, t); !cur.done();) out.push_back(cur.next());
}

template <class C>
void check_string(const C* s, const json::Token& t) {
  QV_FUZZ_CHECK(t.kind == json::Kind::String);
  std::u32string decoded;
  decode_string(s, t, decoded);
  QV_FUZZ_CHECK(decoded.size() <= t.end - t.begin);
  for (char32_t c : decoded) QV_FUZZ_CHECK(c <= 0x10FFFF);
  if (!t.escaped) {
    QV_FUZZ_CHECK(decoded.size() == t.end - t.begin);
    for (std::size_t k = 0; k < decoded.size(); ++k)
      QV_FUZZ_CHECK(decoded[k] == static_cast<char32_t>(s[t.begin + k]));
  }
}

// Checks the event stream's shape and rebuilds the tree; returns the root.
template <class C>
std::size_t rebuild(const C* s, Span r, const std::vector<Event>& events,
                    std::vector<Node>& nodes) {
  std::vector<std::size_t> open;  // containers, innermost last
  bool key_pending = false;
  json::Token pending_key;
  std::size_t root = 0;
  bool have_root = false;
  for (const Event& e : events) {
    QV_FUZZ_CHECK(e.depth == open.size() - (e.type == Ev::Close ? 1 : 0));
    switch (e.type) {
      case Ev::Key:
        QV_FUZZ_CHECK(!open.empty() && nodes[open.back()].t.kind == json::Kind::Object);
        QV_FUZZ_CHECK(!key_pending);
        check_string(s, e.t);
        key_pending = true;
        pending_key = e.t;
        break;
      case Ev::Value: {
        QV_FUZZ_CHECK(r.begin <= e.t.begin &&
                      e.t.begin < e.t.end + (e.t.kind == json::Kind::String));
        QV_FUZZ_CHECK(e.t.end <= r.end);
        if (e.t.kind == json::Kind::String) check_string(s, e.t);
        const std::size_t i = nodes.size();
        nodes.push_back(Node{e.t, {}, {}});
        if (open.empty()) {
          QV_FUZZ_CHECK(!have_root);
          have_root = true;
          root = i;
        } else {
          Node& parent = nodes[open.back()];
          QV_FUZZ_CHECK(key_pending == (parent.t.kind == json::Kind::Object));
          if (key_pending) parent.keys.push_back(pending_key);
          key_pending = false;
          parent.kids.push_back(i);
        }
        if (e.t.kind == json::Kind::Array || e.t.kind == json::Kind::Object) open.push_back(i);
        break;
      }
      case Ev::Close:
        QV_FUZZ_CHECK(!open.empty() && !key_pending);
        open.pop_back();
        break;
    }
  }
  QV_FUZZ_CHECK(have_root && open.empty() && !key_pending);
  return root;
}

// The last member named `key` of an object node, or nullptr.
template <class C>
const Node* member(const C* s, const std::vector<Node>& nodes, const Node& obj, const char* key) {
  const Node* found = nullptr;
  for (std::size_t k = 0; k < obj.keys.size(); ++k)
    if (json::string_equals(s, obj.keys[k], key)) found = &nodes[obj.kids[k]];
  return found;
}

bool same_token(const json::Token& a, const json::Token& b) {
  return a.begin == b.begin && a.end == b.end && a.kind == b.kind && a.escaped == b.escaped;
}

// The reply reader against a walk over the rebuilt tree.
template <class C>
void check_reply(const C* s, const std::vector<Node>& nodes, std::size_t root,
                 const ev::Reply& got) {
  const Node& top = nodes[root];
  if (top.t.kind != json::Kind::Object) {
    QV_FUZZ_CHECK(got.verdict == ev::Verdict::NotObject && got.kind == top.t.kind);
    QV_FUZZ_CHECK(got.proposals.empty());
    return;
  }
  const Node* proposed = member(s, nodes, top, "proposed");
  if (!proposed) {
    QV_FUZZ_CHECK(got.verdict == ev::Verdict::NoProposed && got.proposals.empty());
    return;
  }
  if (proposed->t.kind != json::Kind::Array) {
    QV_FUZZ_CHECK(got.verdict == ev::Verdict::NotList && got.kind == proposed->t.kind);
    QV_FUZZ_CHECK(got.proposals.empty());
    return;
  }
  QV_FUZZ_CHECK(got.verdict == ev::Verdict::Proposed);
  std::size_t at = 0;
  std::u32string buf;
  for (std::size_t k : proposed->kids) {
    const Node& e = nodes[k];
    if (e.t.kind != json::Kind::Object) continue;
    const Node* text = member(s, nodes, e, "text");
    if (!text || text->t.kind != json::Kind::String) continue;
    buf.clear();
    decode_string(s, text->t, buf);
    const Span trimmed = qv::core::trim(buf.data(), buf.size());
    if (trimmed.empty()) continue;
    QV_FUZZ_CHECK(at < got.proposals.size());
    const ev::Proposal& p = got.proposals[at++];
    // The text: the same string, trimmed in place when it has no escapes.
    QV_FUZZ_CHECK(p.text.kind == json::Kind::String && p.text.escaped == text->t.escaped);
    if (p.text.escaped) {
      QV_FUZZ_CHECK(same_token(p.text, text->t));
      const ev::Decoded d = ev::measure_string(s, p.text, true);
      QV_FUZZ_CHECK(d.kept == trimmed);
      char32_t max_char = 0;
      for (std::size_t i = trimmed.begin; i < trimmed.end; ++i)
        if (buf[i] > max_char) max_char = buf[i];
      QV_FUZZ_CHECK(d.max_char == max_char);
      const ev::Decoded whole = ev::measure_string(s, p.text, false);
      QV_FUZZ_CHECK(whole.kept == (Span{0, buf.size()}));
    } else {
      QV_FUZZ_CHECK(p.text.begin == text->t.begin + trimmed.begin);
      QV_FUZZ_CHECK(p.text.end == text->t.begin + trimmed.end);
    }
    const Node* source = member(s, nodes, e, "source_insight_id");
    if (source && source->t.kind == json::Kind::String) {
      QV_FUZZ_CHECK(same_token(p.source, source->t));
    } else {
      QV_FUZZ_CHECK(p.source.kind != json::Kind::String);
    }
  }
  QV_FUZZ_CHECK(at == got.proposals.size());
}

// A whole decoded document: what json.loads would return, with numbers and
// bare words kept as their source text.
struct Value {
  json::Kind kind = json::Kind::Null;
  std::u32string text;  // String: decoded; scalars: source text
  std::vector<std::u32string> keys;
  std::vector<Value> items;
  bool operator==(const Value&) const = default;
};

// The grammar read the plain way, recursively, over code points: RFC 8259
// with NaN, Infinity and -Infinity, strict strings, surrogate escape pairs
// joined, json.loads's four whitespace characters, and at most
// json::kMaxDepth containers open at once.
class Plain {
 public:
  explicit Plain(const std::u32string& t) : t_(t) {}

  bool document(Value& v) {
    ws();
    if (!value(v)) return false;
    ws();
    return i_ == t_.size();
  }

 private:
  bool peek(char32_t c) const { return i_ < t_.size() && t_[i_] == c; }

  void ws() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r'))
      ++i_;
  }

  bool literal(std::u32string_view w) {
    if (t_.compare(i_, w.size(), w) != 0) return false;
    i_ += w.size();
    return true;
  }

  bool value(Value& v) {
    if (i_ == t_.size()) return false;
    const std::size_t start = i_;
    if (peek('[') || peek('{')) return container(v);
    if (peek('"')) {
      v.kind = json::Kind::String;
      return string(v.text);
    }
    static constexpr struct {
      std::u32string_view word;
      json::Kind kind;
    } words[] = {{U"null", json::Kind::Null},      {U"true", json::Kind::True},
                 {U"false", json::Kind::False},    {U"NaN", json::Kind::Float},
                 {U"Infinity", json::Kind::Float}, {U"-Infinity", json::Kind::Float}};
    for (const auto& w : words) {
      if (literal(w.word)) {
        v.kind = w.kind;
        v.text = w.word;
        return true;
      }
    }
    if (!number(v.kind)) return false;
    v.text = t_.substr(start, i_ - start);
    return true;
  }

  // A table-driven recogniser of -?(0|[1-9]\d*)(\.\d+)?([eE][-+]?\d+)?,
  // longest match; what may follow a number never continues it.
  bool number(json::Kind& kind) {
    enum { Start, Minus, Zero, Int, Dot, Frac, E, ESign, Exp, Bad };
    int st = Start;
    bool is_float = false;
    for (; i_ < t_.size(); ++i_) {
      const char32_t c = t_[i_];
      const bool digit = c >= '0' && c <= '9';
      int next = Bad;
      switch (st) {
        case Start:
          next = c == '-' ? Minus : c == '0' ? Zero : digit ? Int : Bad;
          break;
        case Minus:
          next = c == '0' ? Zero : digit ? Int : Bad;
          break;
        case Zero:
          next = c == '.' ? Dot : (c == 'e' || c == 'E') ? E : Bad;
          break;
        case Int:
          next = digit ? Int : c == '.' ? Dot : (c == 'e' || c == 'E') ? E : Bad;
          break;
        case Dot:
          next = digit ? Frac : Bad;
          break;
        case Frac:
          next = digit ? Frac : (c == 'e' || c == 'E') ? E : Bad;
          break;
        case E:
          next = (c == '+' || c == '-') ? ESign : digit ? Exp : Bad;
          break;
        case ESign:
        case Exp:
          next = digit ? Exp : Bad;
          break;
      }
      if (next == Bad) break;
      if (next == Dot || next == E) is_float = true;
      st = next;
    }
    kind = is_float ? json::Kind::Float : json::Kind::Int;
    return st == Zero || st == Int || st == Frac || st == Exp;
  }

  static int hex(char32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
  }

  // Four hex digits at i_ (advanced past them), or -1.
  long hex4() {
    if (t_.size() - i_ < 4) return -1;
    long v = 0;
    for (int k = 0; k < 4; ++k) {
      const int h = hex(t_[i_ + static_cast<std::size_t>(k)]);
      if (h < 0) return -1;
      v = v * 16 + h;
    }
    i_ += 4;
    return v;
  }

  bool string(std::u32string& out) {
    ++i_;  // the opening quote
    for (;;) {
      if (i_ == t_.size()) return false;
      const char32_t c = t_[i_++];
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (i_ == t_.size()) return false;
      const char32_t e = t_[i_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out.push_back(e);
          break;
        case 'b':
          out.push_back(0x08);
          break;
        case 'f':
          out.push_back(0x0C);
          break;
        case 'n':
          out.push_back(0x0A);
          break;
        case 'r':
          out.push_back(0x0D);
          break;
        case 't':
          out.push_back(0x09);
          break;
        case 'u': {
          long cp = hex4();
          if (cp < 0) return false;
          // A high surrogate joins a directly following low surrogate escape.
          if (cp >= 0xD800 && cp <= 0xDBFF && t_.compare(i_, 2, U"\\u") == 0) {
            const std::size_t back = i_;
            i_ += 2;
            const long lo = hex4();
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            } else {
              i_ = back;  // read again as an escape of its own
            }
          }
          out.push_back(static_cast<char32_t>(cp));
          break;
        }
        default:
          return false;
      }
    }
  }

  bool container(Value& v) {
    const bool object = peek('{');
    if (depth_ == json::kMaxDepth) return false;
    ++depth_;
    v.kind = object ? json::Kind::Object : json::Kind::Array;
    v.text = t_.substr(i_, 1);
    ++i_;
    ws();
    const char32_t close = object ? '}' : ']';
    if (peek(close)) {
      ++i_;
      --depth_;
      return true;
    }
    for (;;) {
      if (object) {
        if (!peek('"')) return false;
        v.keys.emplace_back();
        if (!string(v.keys.back())) return false;
        ws();
        if (!peek(':')) return false;
        ++i_;
        ws();
      }
      v.items.emplace_back();
      if (!value(v.items.back())) return false;
      ws();
      if (peek(',')) {
        ++i_;
        ws();
        continue;
      }
      if (!peek(close)) return false;
      ++i_;
      --depth_;
      return true;
    }
  }

  const std::u32string& t_;
  std::size_t i_ = 0;
  std::size_t depth_ = 0;
};

// The reader's rebuilt tree as a Value.
template <class C>
Value value_of(const C* s, const std::vector<Node>& nodes, std::size_t at) {
  const Node& n = nodes[at];
  Value v;
  v.kind = n.t.kind;
  if (n.t.kind == json::Kind::String) {
    decode_string(s, n.t, v.text);
  } else {
    for (std::size_t i = n.t.begin; i < n.t.end; ++i) v.text.push_back(s[i]);
  }
  for (const json::Token& k : n.keys) {
    v.keys.emplace_back();
    decode_string(s, k, v.keys.back());
  }
  for (std::size_t kid : n.kids) v.items.push_back(value_of(s, nodes, kid));
  return v;
}

// JSON text for a Value: escapes only where the grammar needs them (the
// quote, the backslash, control characters), every other code point raw, so
// lone surrogates stay apart.
void write_string(const std::u32string& str, std::u32string& out) {
  out.push_back('"');
  for (char32_t c : str) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (c == '\n') {
      out += U"\\n";
    } else if (c < 0x20) {
      constexpr char hexd[] = "0123456789abcdef";
      out += U"\\u00";
      out.push_back(static_cast<char32_t>(hexd[c >> 4]));
      out.push_back(static_cast<char32_t>(hexd[c & 15]));
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

void write_value(const Value& v, std::u32string& out) {
  switch (v.kind) {
    case json::Kind::String:
      write_string(v.text, out);
      return;
    case json::Kind::Array:
    case json::Kind::Object: {
      const bool object = v.kind == json::Kind::Object;
      out.push_back(object ? '{' : '[');
      for (std::size_t k = 0; k < v.items.size(); ++k) {
        if (k) out += U", ";
        if (object) {
          write_string(v.keys[k], out);
          out.push_back(':');
        }
        write_value(v.items[k], out);
      }
      out.push_back(object ? '}' : ']');
      return;
    }
    default:
      out += v.text;
      return;
  }
}

struct Outcome {
  bool ok = false;
  std::vector<Event> events;
  ev::Reply reply;
};

template <class C>
Outcome run(const std::vector<C>& units) {
  const C* s = units.data();
  const std::size_t n = units.size();
  const Span payload = qv::core::strip_json_fence(s, n);
  QV_FUZZ_CHECK(payload.begin <= payload.end && payload.end <= n);
  Outcome out;
  Recorder rec;
  out.ok = json::read(s, payload, rec);
  out.reply = ev::read_reply(s, n);
  QV_FUZZ_CHECK(out.ok == (out.reply.verdict != ev::Verdict::NotJson));
  const std::u32string text(s + payload.begin, s + payload.end);
  Value plain;
  QV_FUZZ_CHECK(out.ok == Plain(text).document(plain));
  if (!out.ok) {
    QV_FUZZ_CHECK(out.reply.proposals.empty());
    return out;
  }
  out.events = std::move(rec.events);
  std::vector<Node> nodes;
  const std::size_t root = rebuild(s, payload, out.events, nodes);
  QV_FUZZ_CHECK(value_of(s, nodes, root) == plain);
  check_reply(s, nodes, root, out.reply);

  // Written back out, the tree reads back to itself.
  std::u32string written;
  write_value(plain, written);
  Recorder again_rec;
  QV_FUZZ_CHECK(json::read(written.data(), Span{0, written.size()}, again_rec));
  std::vector<Node> again_nodes;
  const std::size_t again_root =
      rebuild(written.data(), Span{0, written.size()}, again_rec.events, again_nodes);
  QV_FUZZ_CHECK(value_of(written.data(), again_nodes, again_root) == plain);

  // Only whitespace may follow a document, so one more letter refuses it.
  std::vector<C> more(units.begin() + static_cast<std::ptrdiff_t>(payload.begin),
                      units.begin() + static_cast<std::ptrdiff_t>(payload.end));
  more.push_back(static_cast<C>(' '));
  Recorder again;
  QV_FUZZ_CHECK(json::read(more.data(), Span{0, more.size()}, again));
  more.push_back(static_cast<C>('x'));
  QV_FUZZ_CHECK(!json::read(more.data(), Span{0, more.size()}, again));
  return out;
}

bool same(const Outcome& a, const Outcome& b) {
  if (a.ok != b.ok || a.events != b.events) return false;
  if (a.reply.verdict != b.reply.verdict || a.reply.kind != b.reply.kind) return false;
  if (a.reply.proposals.size() != b.reply.proposals.size()) return false;
  for (std::size_t i = 0; i < a.reply.proposals.size(); ++i) {
    const ev::Proposal& x = a.reply.proposals[i];
    const ev::Proposal& y = b.reply.proposals[i];
    if (!same_token(x.text, y.text) || !same_token(x.source, y.source)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The raw bytes as a one-byte str (every byte one code point).
  run(std::vector<std::uint8_t>(data, data + size));
  // The bytes read as UTF-8, in the narrowest layout and every wider one.
  const qv::fuzz::Layouts l(qv::fuzz::decode_utf8(data, size));
  const Outcome o32 = run(l.u32);
  if (l.width <= 2) QV_FUZZ_CHECK(same(run(l.u16), o32));
  if (l.width == 1) QV_FUZZ_CHECK(same(run(l.u8), o32));
  return 0;
}
