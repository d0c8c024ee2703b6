// Fuzzes the JSON reader: any input must be accepted or refused without a
// sanitizer report, with the same verdict and the same nodes in every str
// layout, and an accepted document must be a well-formed node tree whose
// strings decode to valid code points.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/json_reader.hpp"
#include "units.hpp"

namespace {

namespace json = qv::core::json;
using qv::core::Span;

bool same_nodes(const json::Document& a, const json::Document& b) {
  if (a.nodes.size() != b.nodes.size()) return false;
  for (std::size_t i = 0; i < a.nodes.size(); ++i) {
    const json::Node& x = a.nodes[i];
    const json::Node& y = b.nodes[i];
    if (x.begin != y.begin || x.end != y.end || x.next != y.next || x.kind != y.kind ||
        x.escaped != y.escaped)
      return false;
  }
  return true;
}

// Walks the children of every container and checks the tree's shape.
template <class C>
void check_tree(const C* s, Span r, const json::Document& doc) {
  const auto& nodes = doc.nodes;
  QV_FUZZ_CHECK(!nodes.empty());
  QV_FUZZ_CHECK(nodes[0].next == nodes.size());
  std::u32string decoded;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const json::Node& n = nodes[i];
    QV_FUZZ_CHECK(n.next > i && n.next <= nodes.size());
    QV_FUZZ_CHECK(r.begin <= n.begin && n.begin <= n.end && n.end <= r.end);
    QV_FUZZ_CHECK(json::python_type_name(n.kind) != nullptr);
    switch (n.kind) {
      case json::Kind::Array:
      case json::Kind::Object: {
        std::size_t count = 0;
        std::size_t k = i + 1;
        for (; k < n.next; k = nodes[k].next, ++count) {
          if (n.kind == json::Kind::Object && count % 2 == 0)
            QV_FUZZ_CHECK(nodes[k].kind == json::Kind::String);
        }
        QV_FUZZ_CHECK(k == n.next);
        if (n.kind == json::Kind::Object) {
          QV_FUZZ_CHECK(count % 2 == 0);
          const std::size_t v = json::find_member(s, doc, i, "proposed");
          QV_FUZZ_CHECK(v == json::npos || (v > i && v < n.next));
        }
        break;
      }
      case json::Kind::String: {
        QV_FUZZ_CHECK(n.next == i + 1);
        decoded.clear();
        json::decode_string(s, n, decoded);
        QV_FUZZ_CHECK(decoded.size() <= n.end - n.begin);
        for (char32_t c : decoded) QV_FUZZ_CHECK(c <= 0x10FFFF);
        if (!n.escaped) {
          QV_FUZZ_CHECK(decoded.size() == n.end - n.begin);
          for (std::size_t k = 0; k < decoded.size(); ++k)
            QV_FUZZ_CHECK(decoded[k] == static_cast<char32_t>(s[n.begin + k]));
        }
        break;
      }
      default:
        QV_FUZZ_CHECK(n.next == i + 1 && n.end > n.begin);
        break;
    }
  }
}

template <class C>
bool run(const std::vector<C>& units, json::Document& doc) {
  const C* s = units.data();
  const std::size_t n = units.size();
  const Span payload = json::strip_json_fence(s, n);
  QV_FUZZ_CHECK(payload.begin <= payload.end && payload.end <= n);
  const bool ok = json::parse(s, payload, doc);
  if (ok) {
    check_tree(s, payload, doc);
    // Only whitespace may follow a document, so one more letter refuses it.
    std::vector<C> more(units.begin() + static_cast<std::ptrdiff_t>(payload.begin),
                        units.begin() + static_cast<std::ptrdiff_t>(payload.end));
    more.push_back(static_cast<C>(' '));
    json::Document again;
    QV_FUZZ_CHECK(json::parse(more.data(), Span{0, more.size()}, again));
    more.push_back(static_cast<C>('x'));
    QV_FUZZ_CHECK(!json::parse(more.data(), Span{0, more.size()}, again));
  }
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The raw bytes as a one-byte str (every byte one code point).
  {
    std::vector<std::uint8_t> bytes(data, data + size);
    json::Document doc;
    run(bytes, doc);
  }
  // The bytes read as UTF-8, in the narrowest layout and every wider one.
  const qv::fuzz::Layouts l(qv::fuzz::decode_utf8(data, size));
  json::Document d32;
  const bool ok32 = run(l.u32, d32);
  if (l.width <= 2) {
    json::Document d16;
    QV_FUZZ_CHECK(run(l.u16, d16) == ok32);
    if (ok32) QV_FUZZ_CHECK(same_nodes(d16, d32));
  }
  if (l.width == 1) {
    json::Document d8;
    QV_FUZZ_CHECK(run(l.u8, d8) == ok32);
    if (ok32) QV_FUZZ_CHECK(same_nodes(d8, d32));
  }
  return 0;
}
