// Assembling result strings: a builder that collects str pieces and ASCII
// runs and writes the final str once, and prompt templates parsed once at
// load and filled in one pass.
#pragma once

#include <charconv>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "_internal/common/py.hpp"

namespace qv {

// Collects pieces and produces one str of the smallest kind that holds them,
// with a single allocation and copy at the end (never by repeated
// concatenation). Borrowed pieces must stay alive until finish().
class TextBuilder {
public:
  TextBuilder() = default;
  TextBuilder(const TextBuilder&) = delete;
  TextBuilder& operator=(const TextBuilder&) = delete;

  // Appends ASCII text (the caller guarantees every byte is below 0x80).
  void ascii(std::string_view s) {
    if (s.empty()) return;
    if (!pieces_.empty() && pieces_.back().str == nullptr &&
        pieces_.back().off + pieces_.back().len == ascii_.size()) {
      pieces_.back().len += s.size();
    } else {
      pieces_.push_back({nullptr, ascii_.size(), s.size()});
    }
    ascii_.append(s);
    length_ += s.size();
  }

  // Appends a str the caller keeps alive.
  void str(PyObject* s) {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (n == 0) return;
    pieces_.push_back({s, 0, n});
    length_ += n;
    const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
    if (m > maxchar_) maxchar_ = m;
  }

  // Appends a str and keeps a reference to it.
  void str(Ref s) {
    str(s.get());
    keep_.push_back(std::move(s));
  }

  // Appends str(o): o itself when it is exactly a str, else its str(). The
  // piece is held, so later user code (another value's __str__) cannot free it.
  void text_of(PyObject* o) {
    if (PyUnicode_CheckExact(o)) {
      str(Ref::borrow(o));
    } else {
      str(own(PyObject_Str(o)));
    }
  }

  // Appends v in decimal.
  void decimal(long long v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    ascii(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
  }

  std::size_t length() const noexcept { return length_; }

  Ref finish() const {
    Ref out = own(PyUnicode_New(static_cast<Py_ssize_t>(length_), maxchar_));
    PyObject* o = out.get();
    const int kind = PyUnicode_KIND(o);
    void* data = PyUnicode_DATA(o);
    Py_ssize_t pos = 0;
    for (const Piece& p : pieces_) {
      if (p.str) {
        if (PyUnicode_CopyCharacters(o, pos, p.str, 0, static_cast<Py_ssize_t>(p.len)) < 0)
          throw_error_set();
      } else {
        const char* src = ascii_.data() + p.off;
        switch (kind) {
          case PyUnicode_1BYTE_KIND:
            std::char_traits<char>::copy(static_cast<char*>(data) + pos, src, p.len);
            break;
          case PyUnicode_2BYTE_KIND:
            widen(static_cast<Py_UCS2*>(data) + pos, src, p.len);
            break;
          default:
            widen(static_cast<Py_UCS4*>(data) + pos, src, p.len);
            break;
        }
      }
      pos += static_cast<Py_ssize_t>(p.len);
    }
    return out;
  }

private:
  struct Piece {
    PyObject* str;  // nullptr: an ASCII run inside ascii_
    std::size_t off;
    std::size_t len;
  };

  template <class C>
  static void widen(C* dst, const char* src, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<C>(static_cast<unsigned char>(src[i]));
  }

  std::vector<Piece> pieces_;
  std::vector<Ref> keep_;
  std::string ascii_;
  std::size_t length_ = 0;
  Py_UCS4 maxchar_ = 127;
};

// A prompt template: literal text with named placeholders in single braces;
// "{{" and "}}" stand for literal braces. Parsed once at module load into
// literal pieces (substrings of the template) and slots; filling it is one
// pass that never rescans the inserted values.
class Template {
public:
  // `names` lists the placeholders; slot i of fill() is names[i]. A brace
  // that is neither doubled nor a known placeholder is a programming error.
  Template(PyObject* text, std::initializer_list<std::string_view> names) {
    visit_units(text, [&](const auto* u, std::size_t n) {
      std::size_t lit = 0;  // start of the pending literal run
      std::size_t i = 0;
      auto flush = [&](std::size_t end) {
        if (end > lit) segments_.push_back({substr(text, lit, end), -1});
      };
      while (i < n) {
        const auto c = u[i];
        if ((c == '{' || c == '}') && i + 1 < n && u[i + 1] == c) {
          flush(i + 1);  // keep one brace, drop its double
          i += 2;
          lit = i;
          continue;
        }
        if (c == '{') {
          std::size_t j = i + 1;
          while (j < n && u[j] != '}') ++j;
          std::string name;
          for (std::size_t k = i + 1; k < j; ++k) name.push_back(static_cast<char>(u[k]));
          int slot = 0;
          for (std::string_view candidate : names) {
            if (candidate == name) break;
            ++slot;
          }
          if (j == n || slot == static_cast<int>(names.size()))
            throw std::logic_error("template placeholder not recognised");
          flush(i);
          segments_.push_back({Ref(), slot});
          i = j + 1;
          lit = i;
          continue;
        }
        if (c == '}') throw std::logic_error("single '}' in template");
        ++i;
      }
      flush(n);
    });
  }

  // Appends the template to `out`; `fill_slot(out, i)` appends slot i.
  template <class F>
  void fill(TextBuilder& out, F&& fill_slot) const {
    for (const Segment& s : segments_) {
      if (s.slot < 0) {
        out.str(s.literal.get());
      } else {
        fill_slot(out, s.slot);
      }
    }
  }

private:
  struct Segment {
    Ref literal;
    int slot;
  };
  std::vector<Segment> segments_;
};

}  // namespace qv
