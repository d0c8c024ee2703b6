// Fuzzes the JSON reader and the evolution reply reader on top of it. Any
// input must be accepted or refused without a sanitizer report, with the same
// verdict and the same events in every str layout; an accepted document's
// events must describe a well-formed tree whose strings decode to valid code
// points; and the reply reader's verdict and proposals must equal what a
// plain walk over that tree finds.
#include <cstddef>
#include <cstdint>
#include <string>
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
  if (!out.ok) {
    QV_FUZZ_CHECK(out.reply.proposals.empty());
    return out;
  }
  out.events = std::move(rec.events);
  std::vector<Node> nodes;
  const std::size_t root = rebuild(s, payload, out.events, nodes);
  check_reply(s, nodes, root, out.reply);

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
