#include "core/evolution_reply.hpp"

#include "core/reply.hpp"

namespace qv::core::evolution {
namespace {

using json::Kind;
using json::Token;

// Whether a String token decodes to nothing but whitespace.
template <class C>
bool blank(const C* s, const Token& t) noexcept {
  for (json::StringCursor<C> cur(s, t); !cur.done();)
    if (!is_space(cur.next())) return false;
  return true;
}

// Follows the reader's events with the few facts the result needs. Depths:
// 0 the reply's value, 1 the members of the reply object, 2 the elements of
// "proposed", 3 the members of one element.
template <class C>
class ReplySink {
 public:
  ReplySink(const C* s, std::vector<Proposal>& proposals) noexcept : s_(s), proposals_(proposals) {}

  void key(const Token& name, std::size_t depth) noexcept {
    if (depth == 1) {
      member_is_proposed_ = json::string_equals(s_, name, "proposed");
    } else if (depth == 3 && in_entry_) {
      if (json::string_equals(s_, name, "text")) {
        field_ = Field::Text;
      } else if (json::string_equals(s_, name, "source_insight_id")) {
        field_ = Field::Source;
      } else {
        field_ = Field::Other;
      }
    }
  }

  void value(const Token& t, std::size_t depth) {
    switch (depth) {
      case 0:
        top_kind_ = t.kind;
        break;
      case 1:
        // Duplicate members: the last "proposed" is the one that counts.
        in_list_ = member_is_proposed_ && t.kind == Kind::Array;
        if (member_is_proposed_) {
          has_proposed_ = true;
          proposed_kind_ = t.kind;
          proposals_.clear();
        }
        break;
      case 2:
        in_entry_ = in_list_ && t.kind == Kind::Object;
        if (in_entry_) entry_ = Entry{};
        break;
      case 3:
        if (!in_entry_) break;
        if (field_ == Field::Text) {
          entry_.text = t;
        } else if (field_ == Field::Source) {
          entry_.source = t;
        }
        break;
      default:
        break;
    }
  }

  void close(std::size_t depth) {
    if (depth == 2 && in_entry_) {
      in_entry_ = false;
      finish_entry();
    }
  }

  // The verdict on a document the reader accepted.
  void verdict(Reply& out) const noexcept {
    if (top_kind_ != Kind::Object) {
      out.verdict = Verdict::NotObject;
      out.kind = top_kind_;
    } else if (!has_proposed_) {
      out.verdict = Verdict::NoProposed;
    } else if (proposed_kind_ != Kind::Array) {
      out.verdict = Verdict::NotList;
      out.kind = proposed_kind_;
    } else {
      out.verdict = Verdict::Proposed;
      out.kind = Kind::Array;
    }
  }

 private:
  enum class Field : std::uint8_t { Other, Text, Source };

  // The last "text" and "source_insight_id" members of the current element;
  // Kind::Null (the default) stands for a missing member too, since only
  // strings are used.
  struct Entry {
    Token text;
    Token source;
  };

  void finish_entry() {
    Token text = entry_.text;
    if (text.kind != Kind::String) return;
    if (!text.escaped) {
      const Span r = trim(s_, Span{text.begin, text.end});
      if (r.empty()) return;
      text.begin = r.begin;
      text.end = r.end;
    } else if (blank(s_, text)) {
      return;
    }
    proposals_.push_back(Proposal{text, entry_.source});
  }

  const C* s_;
  std::vector<Proposal>& proposals_;
  Kind top_kind_ = Kind::Null;
  Kind proposed_kind_ = Kind::Null;
  bool has_proposed_ = false;
  bool member_is_proposed_ = false;
  bool in_list_ = false;
  bool in_entry_ = false;
  Field field_ = Field::Other;
  Entry entry_;
};

}  // namespace

template <class C>
Reply read_reply(const C* s, std::size_t n) noexcept {
  Reply out;
  try {
    out.proposals.reserve(8);  // most replies propose a handful
    ReplySink<C> sink(s, out.proposals);
    if (json::read(s, strip_json_fence(s, n), sink)) {
      sink.verdict(out);
      return out;
    }
  } catch (...) {
    // Only allocation can fail here: the proposals did not fit in memory.
    // Such a reply is treated like any other that cannot be read.
  }
  return Reply{};
}

template Reply read_reply<std::uint8_t>(const std::uint8_t*, std::size_t) noexcept;
template Reply read_reply<std::uint16_t>(const std::uint16_t*, std::size_t) noexcept;
template Reply read_reply<std::uint32_t>(const std::uint32_t*, std::size_t) noexcept;

}  // namespace qv::core::evolution
