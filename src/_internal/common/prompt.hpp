// Assembling result strings: a builder that collects str pieces and ASCII
// runs and writes the final str once, and prompt templates parsed once at
// load and filled in one pass.
#pragma once

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "_internal/common/py.hpp"
#include "_internal/common/spare_buffer.hpp"
#include "core/number.hpp"

namespace qv {

// Room that plain_scalar_chars needs.
inline constexpr std::size_t kPlainScalarMax = core::kFloatReprMax;

// Writes str(o) for an exact int (that fits in 64 bits), float, bool or None
// into buf (at least kPlainScalarMax bytes) without calling into Python and
// returns the length; returns 0 for any other object (subclasses included:
// they may override __str__).
inline std::size_t plain_scalar_chars(PyObject* o, char* buf) {
  auto word = [buf](const char* w, std::size_t n) {
    std::memcpy(buf, w, n);
    return n;
  };
  if (o == Py_None) return word("None", 4);
  if (o == Py_True) return word("True", 4);
  if (o == Py_False) return word("False", 5);
  if (PyLong_CheckExact(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) return 0;
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    return core::format_decimal(v, buf);
  }
  if (PyFloat_CheckExact(o)) {
    const double x = PyFloat_AS_DOUBLE(o);
    if (std::isnan(x)) return word("nan", 3);
    if (std::isinf(x)) return x > 0 ? word("inf", 3) : word("-inf", 4);
    return core::format_float_repr(x, buf);
  }
  return 0;
}

// Collects pieces and produces one str of the smallest kind that holds them,
// with a single allocation and copy of each piece at the end (never by
// repeated concatenation). ASCII text is written into one byte buffer (the
// thread's spare, see spare_buffer.hpp) and recorded as runs of it; other
// text is recorded as the str it is in. Borrowed str pieces must stay alive
// until finish().
class TextBuilder {
 public:
  TextBuilder() = default;
  // Drops the held pieces while the scratch is still taken: a destructor
  // they run may start another build, which then works in its own. No
  // reference outlives the builder in the thread's spare.
  ~TextBuilder() { scratch_->keep.clear(); }
  TextBuilder(const TextBuilder&) = delete;
  TextBuilder& operator=(const TextBuilder&) = delete;

  // Appends ASCII text (the caller guarantees every byte is below 0x80).
  void ascii(std::string_view s) {
    const std::size_t at = scratch_->bytes.size();
    scratch_->bytes.append(s.data(), s.size());
    run({at, s.size()});
  }

  // Appends v in decimal.
  void decimal(long long v) {
    const std::size_t at = scratch_->bytes.size();
    scratch_->bytes.advance(core::format_decimal(v, scratch_->bytes.room(core::kDecimalMax)));
    run({at, scratch_->bytes.size() - at});
  }

  // The ASCII buffer, for writers that lay out text in place (the JSON
  // writer): what they write there becomes part of the result only when
  // passed to run(), which may come after other pieces were added.
  ByteBuffer& bytes() noexcept { return scratch_->bytes; }

  // Appends bytes()[r.off : r.off + r.len], all ASCII. A run that starts
  // where the open one ends extends it.
  void run(ByteRange r) {
    length_ += r.len;
    if (r.off == open_.off + open_.len) {
      open_.len += r.len;
      return;
    }
    close_run();
    open_ = r;
  }

  // Appends a str (a subclass counts as the text it holds) that the caller
  // keeps alive until finish().
  void str(PyObject* s) { add(s); }

  // Appends a str and keeps a reference to it while the builder needs it.
  void str(Ref s) {
    if (add(s.get())) scratch_->keep.push_back(std::move(s));
  }

  // Appends the text of o as it goes into a prompt: a str, subclasses
  // included, as the text it holds (an overridden __str__ is not consulted);
  // plain numbers, booleans and None formatted here; anything else as its
  // str(). What is appended is held, so later user code (another value's
  // __str__) cannot free it.
  void text_of(Ref o) {
    if (PyUnicode_Check(o.get())) {
      str(std::move(o));
    } else {
      other_text(std::move(o));
    }
  }
  void text_of(PyObject* o) { text_of(Ref::borrow(o)); }

  std::size_t length() const noexcept { return length_; }

  Ref finish() const {
    Ref out = own(PyUnicode_New(static_cast<Py_ssize_t>(length_), maxchar_));
    PyObject* o = out.get();
    switch (PyUnicode_KIND(o)) {
      case PyUnicode_1BYTE_KIND:
        copy_pieces(static_cast<Py_UCS1*>(PyUnicode_DATA(o)));
        break;
      case PyUnicode_2BYTE_KIND:
        copy_pieces(static_cast<Py_UCS2*>(PyUnicode_DATA(o)));
        break;
      default:
        copy_pieces(static_cast<Py_UCS4*>(PyUnicode_DATA(o)));
        break;
    }
    return out;
  }

 private:
  struct Piece {
    PyObject* str;  // nullptr: a run of the byte buffer
    std::size_t off;
    std::size_t len;
  };

  // ASCII str pieces up to this length are copied into the byte buffer,
  // where they join the runs around them.
  static constexpr std::size_t kCopyAsciiMax = 64;

  // Appends s; returns whether the result refers to s (false when s was
  // empty or copied).
  [[gnu::always_inline]] bool add(PyObject* s) {
    ensure_ready(s);  // an unready legacy str reports no length
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (n > kCopyAsciiMax || !PyUnicode_IS_ASCII(s)) return add_piece(s, n);
    if (n) {
      ByteBuffer& b = scratch_->bytes;
      const std::size_t at = b.size();
      std::memcpy(b.room(n), PyUnicode_DATA(s), n);
      b.advance(n);
      run({at, n});
    }
    return false;
  }

  [[gnu::noinline]] bool add_piece(PyObject* s, std::size_t n) {
    close_run();
    scratch_->pieces.push_back({s, 0, n});
    length_ += n;
    const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
    if (m > maxchar_) maxchar_ = m;
    return true;
  }

  // text_of() of anything but a str.
  [[gnu::noinline]] void other_text(Ref o) {
    ByteBuffer& b = scratch_->bytes;
    if (const std::size_t k = plain_scalar_chars(o.get(), b.room(kPlainScalarMax))) {
      const std::size_t at = b.size();
      b.advance(k);
      run({at, k});
      return;
    }
    str(own(PyObject_Str(o.get())));
  }

  void close_run() {
    if (open_.len) scratch_->pieces.push_back({nullptr, open_.off, open_.len});
    open_ = {};
  }

  // Copies u[0:n] into units of type D, at least as wide.
  template <class D, class S>
  static D* copy_units(D* dst, const S* u, std::size_t n) {
    if constexpr (sizeof(D) == sizeof(S)) {
      std::memcpy(dst, u, n * sizeof(D));
    } else {
      for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<D>(u[i]);
    }
    return dst + n;
  }

  // Writes every piece, then the open run, into dst (the result's units).
  template <class D>
  void copy_pieces(D* dst) const {
    const auto* bytes = reinterpret_cast<const Py_UCS1*>(scratch_->bytes.data());
    for (const Piece& p : scratch_->pieces) {
      if (p.str) {
        dst = visit_units(p.str,
                          [&](const auto* u, std::size_t) { return copy_units(dst, u, p.len); });
      } else {
        dst = copy_units(dst, bytes + p.off, p.len);
      }
    }
    if (open_.len) copy_units(dst, bytes + open_.off, open_.len);
  }

  // What a builder works in, kept per thread between builders.
  struct Scratch {
    ByteBuffer bytes;
    PodBuffer<Piece> pieces;  // all but the open run
    std::vector<Ref> keep;    // str pieces the builder holds
    void recycle() noexcept {
      bytes.recycle();
      pieces.recycle();
      trim(keep);
    }
  };

  Spare<Scratch> scratch_;
  ByteRange open_;  // the last run, while it may still grow
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
