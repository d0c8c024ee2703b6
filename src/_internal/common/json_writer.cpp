#include "_internal/common/json_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace qv {

namespace {

// Nesting deeper than this raises RecursionError whatever the interpreter's
// recursion limit, so the C stack a value can take stays bounded: a level
// costs about 220 bytes in an optimised build, and on 3.10 and 3.11 the
// interpreter's counter (Python frames only) may have been raised far past
// what a thread's stack holds. 1500 is what json.dumps itself reaches on
// 3.12; the whole depth fits in a 512 KiB thread stack (macOS's default for
// threads other than the main one).
constexpr std::size_t kMaxDepth = 1500;

constexpr const char* kRecursionWhere = " while encoding a JSON object";

// Code units below 256 that are copied as they are: printable ASCII other
// than '"' and '\\'. Everything else is escaped.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> t{};
  for (unsigned c = 0x20; c < 0x7F; ++c) t[c] = c != '"' && c != '\\';
  return t;
}();

constexpr char kHex[] = "0123456789abcdef";

// The most bytes one code unit can turn into: a surrogate pair of \uXXXX.
constexpr std::size_t kMaxEscape = 12;

inline char* put_u_escape(char* p, unsigned c) {
  p[0] = '\\';
  p[1] = 'u';
  p[2] = kHex[(c >> 12) & 0xF];
  p[3] = kHex[(c >> 8) & 0xF];
  p[4] = kHex[(c >> 4) & 0xF];
  p[5] = kHex[c & 0xF];
  return p + 6;
}

inline char* put_escape(char* p, Py_UCS4 c) {
  char letter = 0;
  switch (c) {
    case '"':
      letter = '"';
      break;
    case '\\':
      letter = '\\';
      break;
    case '\b':
      letter = 'b';
      break;
    case '\f':
      letter = 'f';
      break;
    case '\n':
      letter = 'n';
      break;
    case '\r':
      letter = 'r';
      break;
    case '\t':
      letter = 't';
      break;
    default:
      break;
  }
  if (letter) {
    p[0] = '\\';
    p[1] = letter;
    return p + 2;
  }
  if (c >= 0x10000) {
    const Py_UCS4 v = c - 0x10000;
    p = put_u_escape(p, 0xD800 | ((v >> 10) & 0x3FF));
    return put_u_escape(p, 0xDC00 | (v & 0x3FF));
  }
  return put_u_escape(p, c);
}

// Whether any of the eight bytes in w needs escaping: below 0x20, '"',
// '\\', 0x7F or above (the classic has-zero-byte tests, exact per byte).
constexpr bool needs_escape8(std::uint64_t w) noexcept {
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  auto has_zero = [](std::uint64_t x) { return ((x - ones) & ~x & highs) != 0; };
  const bool control = ((w - ones * 0x20) & ~w & highs) != 0;  // some byte < 0x20
  return (w & highs) != 0 || control || has_zero(w ^ (ones * '"')) || has_zero(w ^ (ones * '\\')) ||
         has_zero(w ^ (ones * 0x7F));
}

// Escapes u[0:n] into p, which has room for n * kMaxEscape bytes.
template <class C>
char* escape_units(char* p, const C* u, std::size_t n) {
  auto put = [&p](C c) {
    if (c < 256 && kPlain[c]) {
      *p++ = static_cast<char>(c);
    } else {
      p = put_escape(p, static_cast<Py_UCS4>(c));
    }
  };
  std::size_t i = 0;
  if constexpr (sizeof(C) == 1) {
    // Eight bytes at a time. A tail shorter than eight is read as the last
    // eight bytes of the text, overlapping bytes already copied as they are,
    // and rewritten whole; a block with something to escape goes unit by unit.
    bool copied = false;  // the last block was copied as it is
    while (n - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, u + i, 8);
      if (!needs_escape8(w)) {
        std::memcpy(p, &w, 8);
        p += 8;
        i += 8;
        copied = true;
        continue;
      }
      for (const std::size_t stop = i + 8; i < stop; ++i) put(u[i]);
      copied = false;
    }
    if (copied && i < n) {
      std::uint64_t w;
      std::memcpy(&w, u + n - 8, 8);
      if (!needs_escape8(w)) {
        std::memcpy(p - (8 - (n - i)), &w, 8);
        return p + (n - i);
      }
    }
  }
  for (; i < n; ++i) put(u[i]);
  return p;
}

// Leaves the interpreter's recursion counter and the path on every exit.
class Nesting {
 public:
  // The container itself is recorded on the path once it is known to be
  // non-empty (empty ones are written without a cycle check, as json does).
  explicit Nesting(std::vector<PyObject*>& path) : path_(path) {
    if (path_.size() >= kMaxDepth) {
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kRecursionWhere);
      throw_error_set();
    }
    if (Py_EnterRecursiveCall(kRecursionWhere)) throw_error_set();
    try {
      path_.push_back(nullptr);
    } catch (...) {
      Py_LeaveRecursiveCall();
      throw;
    }
  }
  ~Nesting() {
    path_.pop_back();
    Py_LeaveRecursiveCall();
  }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;

 private:
  std::vector<PyObject*>& path_;
};

}  // namespace

JsonWriter::JsonWriter(TextBuilder& out) : out_(out.bytes()) {}

ByteRange JsonWriter::write(PyObject* o) {
  data_ = out_.data();
  len_ = out_.size();
  cap_ = out_.capacity();
  const std::size_t at = len_;
  value(o);
  out_.set_size(len_);
  return {at, len_ - at};
}

void JsonWriter::grow(std::size_t n) {
  out_.set_size(len_);
  out_.room(n);
  data_ = out_.data();
  cap_ = out_.capacity();
}

void JsonWriter::string(PyObject* s) {
  // Long texts go in chunks so that the room asked for stays small.
  constexpr std::size_t kChunk = 4096;
  ensure_ready(s);  // an unready legacy str reports no length
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
  if (n <= kChunk) {
    char* p = room(n * kMaxEscape + 2);
    *p++ = '"';
    if (n - 1 < 7 && PyUnicode_IS_COMPACT_ASCII(s)) {
      // One to seven ASCII bytes (keys, mostly): the eight bytes that end
      // with the text are read in one load. They start inside the str's own
      // header, which a compact str keeps right before its characters.
      std::uint64_t w;
      std::memcpy(&w, static_cast<const char*>(PyUnicode_DATA(s)) + n - 8, 8);
      w >>= 8 * (8 - n);
      w |= 0x6161616161616161ULL << (8 * n);  // pad with a plain letter
      if (!needs_escape8(w)) {
        std::memcpy(p, &w, 8);
        p[n] = '"';
        set_end(p + n + 1);
        return;
      }
    }
    if (PyUnicode_IS_ASCII(s)) {
      p = escape_units(p, static_cast<const Py_UCS1*>(PyUnicode_DATA(s)), n);
    } else {
      p = visit_units(s, [&](const auto* u, std::size_t m) { return escape_units(p, u, m); });
    }
    *p++ = '"';
    set_end(p);
    return;
  }
  put('"');
  visit_units(s, [&](const auto* u, std::size_t m) {
    for (std::size_t at = 0; at < m; at += kChunk) {
      const std::size_t part = m - at < kChunk ? m - at : kChunk;
      set_end(escape_units(room(part * kMaxEscape), u + at, part));
    }
  });
  put('"');
}

// int.__repr__ of any int, subclasses included (their own __repr__ is not
// consulted, as json does not).
void JsonWriter::integer(PyObject* o) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    advance(core::format_decimal(v, room(core::kDecimalMax)));
    return;
  }
  // Big values, including the int_max_str_digits limit and its ValueError.
  Ref text = own(PyLong_Type.tp_repr(o));
  put(static_cast<const char*>(PyUnicode_DATA(text.get())),
      static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.get())));
}

void JsonWriter::real(double x) {
  if (std::isnan(x)) {
    put("NaN", 3);
  } else if (std::isinf(x)) {
    if (x > 0) {
      put("Infinity", 8);
    } else {
      put("-Infinity", 9);
    }
  } else {
    advance(core::format_float_repr(x, room(core::kFloatReprMax)));
  }
}

void JsonWriter::value(PyObject* o) {
  // The exact types of typical content first, then CPython's encoder order.
  PyTypeObject* t = Py_TYPE(o);
  if (t == &PyUnicode_Type) {
    string(o);
  } else if (t == &PyLong_Type) {
    integer(o);
  } else if (t == &PyFloat_Type) {
    real(PyFloat_AS_DOUBLE(o));
  } else if (o == Py_None) {
    put("null", 4);
  } else if (o == Py_True) {
    put("true", 4);
  } else if (o == Py_False) {
    put("false", 5);
  } else if (PyUnicode_Check(o)) {
    string(o);
  } else if (PyLong_Check(o)) {
    integer(o);
  } else if (PyFloat_Check(o)) {
    real(PyFloat_AS_DOUBLE(o));
  } else if (PyList_Check(o) || PyTuple_Check(o)) {
    Nesting level(path_);
    sequence(o);
  } else if (PyDict_Check(o)) {
    Nesting level(path_);
    mapping(o);
  } else {
    // No JSON form: the text of str(o), as default=str gives.
    freeze();
    Ref text = own(PyObject_Str(o));
    Nesting level(path_);
    string(text.get());
  }
}

void JsonWriter::sequence(PyObject* o) {
  // Subclasses are read through iteration, exactly as the stdlib encoder
  // reads them (PySequence_Fast copies all but exact lists and tuples).
  if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) freeze();
  Ref seq = own(PySequence_Fast(o, "_iterencode_list needs a sequence"));
  PyObject* s = seq.get();
  if (PySequence_Fast_GET_SIZE(s) == 0) {
    put("[]", 2);
    return;
  }
  for (PyObject* p : path_) {
    if (p == o) raise(PyExc_ValueError, "Circular reference detected");
  }
  path_.back() = o;
  put('[');
  // The size is read afresh each step: str() of an item may shrink the list.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(s); ++i) {
    if (i) put(", ", 2);
    Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(s, i));
    value(item.get());
  }
  put(']');
}

void JsonWriter::key(PyObject* k) {
  if (PyUnicode_Check(k)) {
    string(k);
    return;
  }
  put('"');
  if (PyFloat_Check(k)) {
    real(PyFloat_AS_DOUBLE(k));
  } else if (k == Py_True) {
    put("true", 4);
  } else if (k == Py_False) {
    put("false", 5);
  } else if (k == Py_None) {
    put("null", 4);
  } else if (PyLong_Check(k)) {
    integer(k);
  } else {
    PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
                 Py_TYPE(k)->tp_name);
    throw_error_set();
  }
  put('"');
}

void JsonWriter::mapping(PyObject* d) {
  if (PyDict_GET_SIZE(d) == 0) {
    put("{}", 2);
    return;
  }
  for (PyObject* p : path_) {
    if (p == d) raise(PyExc_ValueError, "Circular reference detected");
  }
  path_.back() = d;
  put('{');
  if (!PyDict_CheckExact(d)) {
    // A subclass is read through its items(), as the stdlib encoder does.
    freeze();
    Ref items = own(PyMapping_Items(d));
    PyObject* list = items.get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
      PyObject* pair = item.get();
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
        raise(PyExc_ValueError, "items must return 2-tuples");
      if (i) put(", ", 2);
      key(PyTuple_GET_ITEM(pair, 0));
      put(": ", 2);
      value(PyTuple_GET_ITEM(pair, 1));
    }
    put('}');
    return;
  }
  // An exact dict: the stdlib writes it from a snapshot of its items taken
  // before the first member, and str() of a value may run Python code that
  // changes the dict mid-way. The members are read in place until Python
  // code is about to run anywhere below; freeze() then snapshots the rest of
  // every dict being read in place, before that code runs.
  const std::size_t fi = frames_.size();
  frames_.push_back({d, 0, 0, 0, false});
  struct Pop {
    JsonWriter& w;
    ~Pop() {
      const Frame& f = w.frames_.back();
      if (f.frozen) {
        for (std::size_t i = f.begin; i < w.held_.size(); ++i) Py_DECREF(w.held_[i]);
        w.held_.resize(f.begin);
      }
      w.frames_.pop_back();
    }
  } pop{*this};
  bool first = true;
  for (;;) {
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    Ref hold;  // a value read in place, kept alive while Python code may run
    Frame& f = frames_[fi];
    if (f.frozen) {
      if (f.next == held_.size()) break;
      k = held_[f.next];
      v = held_[f.next + 1];
      f.next += 2;
    } else {
      if (!PyDict_Next(d, &f.pos, &k, &v)) break;
      PyTypeObject* t = Py_TYPE(v);
      if (t != &PyUnicode_Type && t != &PyLong_Type && t != &PyFloat_Type) hold = Ref::borrow(v);
    }
    if (!first) put(", ", 2);
    first = false;
    key(k);
    put(": ", 2);
    value(v);
  }
  put('}');
}

void JsonWriter::freeze() {
  for (Frame& f : frames_) {
    if (f.frozen) continue;
    f.frozen = true;
    f.begin = f.next = held_.size();
    held_.reserve(held_.size() + 2 * static_cast<std::size_t>(PyDict_GET_SIZE(f.dict)));
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(f.dict, &f.pos, &k, &v)) {
      Py_INCREF(k);
      held_.push_back(k);
      Py_INCREF(v);
      held_.push_back(v);
    }
  }
}

}  // namespace qv
