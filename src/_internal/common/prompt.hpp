// Assembling result strings: a builder that collects str pieces and ASCII
// runs and writes the final str once, and prompt templates parsed once at
// load and filled in one pass.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "_internal/common/py.hpp"
#include "core/number.hpp"
#include "core/text.hpp"

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

// A place in a ByteBuffer: bytes [off, off + len).
struct ByteRange {
  std::size_t off = 0;
  std::size_t len = 0;
};

// A block of memory of its own from the interpreter's arena allocator (mmap,
// or VirtualAlloc on Windows), for the builder's large tables. Such a block
// goes back to the system when it is freed, where one grown within a
// thread's malloc heap would stay with that heap: with many threads, each
// would keep the size of the largest text it built. The last two blocks
// given back are kept, process-wide, for the next call, which would
// otherwise pay again for the fresh pages.
class LargeBlock {
 public:
  static constexpr std::size_t kHeader = 64;  // keeps data() aligned for any table

  std::size_t size() const noexcept { return size_; }
  char* data() noexcept { return reinterpret_cast<char*>(this) + kHeader; }

  // A block of at least `need` bytes: the smallest kept one that is large
  // enough (so a small table taken first leaves the large block to the
  // table that will need it), else a new one of `want` bytes (want >= need).
  static LargeBlock* take(std::size_t need, std::size_t want) {
    {
      std::lock_guard<std::mutex> lock(spares_mutex_);
      LargeBlock** fit = nullptr;
      for (LargeBlock*& spare : spares_)
        if (spare && spare->size_ >= need && (!fit || spare->size_ < (*fit)->size_)) fit = &spare;
      if (fit) return std::exchange(*fit, nullptr);
    }
    if (want > PTRDIFF_MAX - kHeader) throw std::bad_alloc();
    PyObjectArenaAllocator arena;
    PyObject_GetArenaAllocator(&arena);
    void* p = arena.alloc(arena.ctx, want + kHeader);
    if (!p) throw std::bad_alloc();
    return new (p) LargeBlock(want, arena);
  }

  // Keeps the block for a later take() if it is among the largest given
  // back (the kept ones stay largest first); frees what is not kept.
  void give_back() noexcept {
    LargeBlock* carry = this;
    if (size_ <= kKeepMax) {
      std::lock_guard<std::mutex> lock(spares_mutex_);
      for (LargeBlock*& spare : spares_) {
        if (!spare || spare->size_ < carry->size_) std::swap(spare, carry);
        if (!carry) return;
      }
    }
    if (carry) carry->free();
  }

 private:
  static constexpr std::size_t kKeepMax = std::size_t{16} << 20;

  LargeBlock(std::size_t size, const PyObjectArenaAllocator& arena) noexcept
      : size_(size), arena_(arena) {}

  void free() noexcept {
    const PyObjectArenaAllocator arena = arena_;
    arena.free(arena.ctx, this, size_ + kHeader);
  }

  std::size_t size_;
  PyObjectArenaAllocator arena_;  // what allocated it
  static inline std::mutex spares_mutex_;
  static inline LargeBlock* spares_[2] = {};
};

// The storage behind the builder's growable tables, owned by the table and
// freed with it. The first Inline bytes live inside the object itself, so a
// typical call builds its tables without allocating; beyond that they are on
// the C heap, and from kLarge bytes on in a LargeBlock.
template <std::size_t Inline>
class Storage {
 public:
  Storage() noexcept = default;
  ~Storage() { release(); }
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t capacity() const noexcept { return cap_; }

  // Makes room for at least `need` bytes, keeping the first `used`; the new
  // room is uninitialised.
  void grow(std::size_t need, std::size_t used) {
    constexpr std::size_t kMax = static_cast<std::size_t>(PTRDIFF_MAX);
    if (need > kMax) throw std::bad_alloc();
    // Half again on the heap, where the copies are paid for; a large
    // block's pages are committed only as they are written, so it doubles.
    std::size_t cap = cap_ + cap_ / 2;
    if (cap >= kLarge) cap = std::min(kMax, 2 * cap_);
    if (cap < need) cap = need;
    if (cap < kLarge || kSanitized) {
      void* p = data_ == inline_ ? std::malloc(cap) : std::realloc(data_, cap);
      if (!p) throw std::bad_alloc();
      if (data_ == inline_) std::memcpy(p, inline_, used);
      data_ = static_cast<char*>(p);
    } else {
      LargeBlock* b = LargeBlock::take(need, cap);
      std::memcpy(b->data(), data_, used);
      release();
      block_ = b;
      data_ = b->data();
      cap = b->size();
    }
    cap_ = cap;
  }

 private:
  static constexpr std::size_t kLarge = std::size_t{128} << 10;
#ifdef QV_SANITIZED
  static constexpr bool kSanitized = true;  // the address checker watches the heap only
#else
  static constexpr bool kSanitized = false;
#endif

  void release() noexcept {
    if (block_) {
      std::exchange(block_, nullptr)->give_back();
    } else if (data_ != inline_) {
      std::free(data_);
    }
  }

  char* data_ = inline_;
  std::size_t cap_ = Inline;
  LargeBlock* block_ = nullptr;
  alignas(std::max_align_t) char inline_[Inline];
};

// A growable array of trivially copyable values, the first N inside it.
template <class T, std::size_t N>
class InlineVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }

  void reserve(std::size_t n) {
    if (n > PTRDIFF_MAX / sizeof(T)) throw std::bad_alloc();
    if (n * sizeof(T) > store_.capacity()) store_.grow(n * sizeof(T), size_ * sizeof(T));
  }
  // The new last value, uninitialised.
  T& emplace_back() {
    if ((size_ + 1) * sizeof(T) > store_.capacity()) reserve(size_ + 1);
    return data()[size_++];
  }

 private:
  T* data() noexcept { return reinterpret_cast<T*>(store_.data()); }
  const T* data() const noexcept { return reinterpret_cast<const T*>(store_.data()); }

  Storage<N * sizeof(T)> store_;
  std::size_t size_ = 0;
};

// A growable byte buffer: the text writers lay out ASCII in it.
class ByteBuffer {
 public:
  char* data() noexcept { return store_.data(); }
  const char* data() const noexcept { return store_.data(); }
  // Bytes written so far.
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return store_.capacity(); }

  // Room for n more bytes after the written ones; claim what was written
  // there with advance() or set_end(). The pointer is valid until the next
  // room().
  char* room(std::size_t n) {
    if (store_.capacity() - size_ < n) {
      if (n > PTRDIFF_MAX - size_) throw std::bad_alloc();
      store_.grow(size_ + n, size_);
    }
    return data() + size_;
  }
  void advance(std::size_t n) noexcept { size_ += n; }
  void set_size(std::size_t n) noexcept { size_ = n; }
  void set_end(const char* end) noexcept { size_ = static_cast<std::size_t>(end - data()); }

  void append(const char* s, std::size_t n) {
    if (n == 0) return;
    std::memcpy(room(n), s, n);
    size_ += n;
  }

 private:
  Storage<2048> store_;
  std::size_t size_ = 0;
};

// The one writer of assembled text: it collects pieces and produces one str
// of the narrowest kind that holds them, with a single allocation and copy
// of each piece at the end (never by repeated concatenation). ASCII text is
// written into the builder's byte buffer and recorded as runs of it; other
// text is recorded as the str it is in, copied as it stands or with its
// whitespace folded. Everything the builder works in belongs to it and goes
// when it does (a large block to the process's spares, see LargeBlock), so a
// thread keeps nothing after a call. Borrowed str pieces
// must stay alive until finish().
class TextBuilder {
 public:
  // ASCII str pieces up to `copy_ascii_max` units are copied into the byte
  // buffer, where they join the runs around them: cheaper than a piece of
  // their own, at the price of a larger buffer. A builder whose text is
  // mostly short ASCII lines (a table of rows) may raise it.
  explicit TextBuilder(std::size_t copy_ascii_max = 64) noexcept
      : copy_ascii_max_(copy_ascii_max) {}
  ~TextBuilder() {
    for (PyObject* s : keep_) Py_DECREF(s);
  }
  TextBuilder(const TextBuilder&) = delete;
  TextBuilder& operator=(const TextBuilder&) = delete;

  // Room for `pieces` str pieces, `held` of them held by the builder, when
  // the caller knows how many are coming.
  void reserve(std::size_t pieces, std::size_t held) {
    pieces_.reserve(pieces);
    keep_.reserve(held);
  }

  // Appends ASCII text (the caller guarantees every byte is below 0x80).
  void ascii(std::string_view s) {
    const std::size_t at = bytes_.size();
    bytes_.append(s.data(), s.size());
    run({at, s.size()});
  }

  // Appends v in decimal.
  void decimal(long long v) {
    const std::size_t at = bytes_.size();
    bytes_.advance(core::format_decimal(v, bytes_.room(core::kDecimalMax)));
    run({at, bytes_.size() - at});
  }

  // The ASCII buffer, for writers that lay out text in place (the JSON
  // writer, number forms): what they write there becomes part of the result
  // only when passed to run(), which may come after other pieces were added.
  ByteBuffer& bytes() noexcept { return bytes_; }

  // Appends bytes()[r.off : r.off + r.len], all ASCII. A run that starts
  // where the open one ends extends it.
  void run(ByteRange r) {
    length_ += r.len;
    if (r.off == open_end_) {
      open_end_ += r.len;
      return;
    }
    close_run();
    open_begin_ = r.off;
    open_end_ = r.off + r.len;
  }

  // Appends a str (a subclass counts as the text it holds) that the caller
  // keeps alive until finish().
  void str(PyObject* s) {
    if (add(s)) borrowed_ = true;
  }

  // Appends a str and keeps a reference to it while the builder needs it.
  void str(Ref s) {
    if (add(s.get())) hold(std::move(s));
  }

  // Appends the str s with its whitespace folded as core::fold_ws folds it
  // (runs of the library's whitespace become one space, none at either end),
  // holding a reference to it.
  void folded(Ref s) {
    PyObject* o = s.get();
    ensure_ready(o);
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
    if (n == 0) return;
    // Whitespace folds to a space, so only the other code points set the
    // result's kind.
    Py_UCS4 m = 127;
    if (!PyUnicode_IS_ASCII(o))
      m = visit_units(o, [](const auto* u, std::size_t k) {
        return static_cast<Py_UCS4>(core::max_outside_ws(u, k));
      });
    push_piece(o, n, Piece::kFolded, m);
    hold(std::move(s));
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

  // The str. When the builder holds every piece it refers to, large results
  // are copied without the GIL (the pieces are immutable strs it owns).
  Ref finish() {
    close_run();
    Ref out = own(PyUnicode_New(static_cast<Py_ssize_t>(length_), maxchar_));
    void* data = PyUnicode_DATA(out.get());
    const int kind = PyUnicode_KIND(out.get());
    const std::size_t written = without_gil(borrowed_ ? 0 : length_, [&] {
      switch (kind) {
        case PyUnicode_1BYTE_KIND:
          return copy_pieces(static_cast<Py_UCS1*>(data));
        case PyUnicode_2BYTE_KIND:
          return copy_pieces(static_cast<Py_UCS2*>(data));
        default:
          return copy_pieces(static_cast<Py_UCS4*>(data));
      }
    });
    if (written < length_) {  // folding shortened the text
      PyObject* o = out.release();
      if (PyUnicode_Resize(&o, static_cast<Py_ssize_t>(written)) < 0) {
        Py_XDECREF(o);
        throw_error_set();
      }
      out = Ref::steal(o);
    }
    return out;
  }

 private:
  struct Piece {
    enum Kind : unsigned char { kRun, kStr, kFolded };
    PyObject* str;    // nullptr for a run of the byte buffer
    std::size_t off;  // a run's place in the byte buffer
    std::size_t len;  // units
    Kind kind;
  };

  // Appends s; returns whether the result refers to s (false when s was
  // empty or copied).
  QV_ALWAYS_INLINE bool add(PyObject* s) {
    ensure_ready(s);  // an unready legacy str reports no length
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (n > copy_ascii_max_ || !PyUnicode_IS_ASCII(s)) {
      push_piece(s, n, Piece::kStr, PyUnicode_MAX_CHAR_VALUE(s));
      return true;
    }
    if (n) {
      const std::size_t at = bytes_.size();
      std::memcpy(bytes_.room(n), PyUnicode_DATA(s), n);
      bytes_.advance(n);
      run({at, n});
    }
    return false;
  }

  QV_NOINLINE void push_piece(PyObject* s, std::size_t n, Piece::Kind kind, Py_UCS4 m) {
    close_run();
    put(s, 0, n, kind);
    length_ += n;
    if (m > maxchar_) maxchar_ = m;
  }

  void hold(Ref s) { keep_.emplace_back() = s.release(); }  // room first: nothing leaks

  // Stores a piece field by field, straight into the table.
  void put(PyObject* s, std::size_t off, std::size_t len, Piece::Kind kind) {
    Piece& p = pieces_.emplace_back();
    p.str = s;
    p.off = off;
    p.len = len;
    p.kind = kind;
  }

  // text_of() of anything but a str.
  QV_NOINLINE void other_text(Ref o) {
    if (const std::size_t k = plain_scalar_chars(o.get(), bytes_.room(kPlainScalarMax))) {
      const std::size_t at = bytes_.size();
      bytes_.advance(k);
      run({at, k});
      return;
    }
    str(own(PyObject_Str(o.get())));
  }

  void close_run() {
    if (open_end_ != open_begin_) put(nullptr, open_begin_, open_end_ - open_begin_, Piece::kRun);
    open_begin_ = open_end_ = 0;
  }

  // Copies u[0:n] into units of type D, at least as wide.
  template <class D, class S>
  static D* copy_units(D* dst, const S* u, std::size_t n) noexcept {
    if constexpr (sizeof(D) == sizeof(S)) {
      if (n) std::memcpy(dst, u, n * sizeof(D));
    } else {
      for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<D>(u[i]);
    }
    return dst + n;
  }

  // Writes every piece into dst (the result's units); returns the number of
  // units written.
  template <class D>
  std::size_t copy_pieces(D* const out) const noexcept {
    const auto* bytes = reinterpret_cast<const Py_UCS1*>(bytes_.data());
    D* dst = out;
    for (const Piece& p : pieces_) {
      if (p.kind == Piece::kRun) {
        dst = copy_units(dst, bytes + p.off, p.len);
      } else if (p.kind == Piece::kStr) {
        dst =
            visit_units(p.str, [&](const auto* u, std::size_t n) { return copy_units(dst, u, n); });
      } else {
        dst += visit_units(p.str,
                           [&](const auto* u, std::size_t n) { return core::fold_ws(u, n, dst); });
      }
    }
    return static_cast<std::size_t>(dst - out);
  }

  std::size_t copy_ascii_max_;
  ByteBuffer bytes_;
  // The tables' inline room holds a typical prompt's pieces.
  InlineVector<Piece, 32> pieces_;    // all but the open run
  InlineVector<PyObject*, 16> keep_;  // owned references to the str pieces it holds
  // The last run, bytes_[open_begin_ : open_end_], while it may still grow.
  // Two scalars rather than a ByteRange: the run is extended on every
  // append, and a paired load of both fields right after one was stored
  // cannot be forwarded from the store and stalls.
  std::size_t open_begin_ = 0;
  std::size_t open_end_ = 0;
  std::size_t length_ = 0;  // units, folded pieces at their unfolded length
  Py_UCS4 maxchar_ = 127;
  bool borrowed_ = false;  // a piece refers to a str the builder does not hold
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
