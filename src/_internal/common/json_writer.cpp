#include "_internal/common/json_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace qv {

namespace {

// Nesting deeper than this raises RecursionError even when the interpreter's
// recursion limit has been raised far enough to let the C stack overflow.
constexpr std::size_t kMaxDepth = 20000;

// The lowest stack address the writer may recurse down to on this thread,
// leaving headroom for the interpreter code that str() of a value may run.
// With sys.setrecursionlimit raised and a small thread stack, the counter
// alone does not stop the C stack from overflowing; this does.
const char* stack_floor() noexcept {
#if defined(__linux__)
  thread_local const char* floor = nullptr;
  thread_local bool known = false;
  if (!known) {
    known = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* low = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &low, &size) == 0 && low) {
        const std::size_t headroom = size / 2 < 256 * 1024 ? size / 2 : 256 * 1024;
        floor = static_cast<const char*>(low) + headroom;
      }
      pthread_attr_destroy(&attr);
    }
  }
  return floor;
#else
  return nullptr;
#endif
}

constexpr const char* kRecursionWhere = " while encoding a JSON object";

// Printable ASCII other than '"' and '\\' is copied as it is.
constexpr std::array<bool, 128> kPlain = [] {
  std::array<bool, 128> t{};
  for (unsigned c = 0x20; c < 0x7F; ++c) t[c] = c != '"' && c != '\\';
  return t;
}();

constexpr char kHex[] = "0123456789abcdef";

inline void append_u_escape(std::string& out, unsigned c) {
  const char e[6] = {'\\', 'u', kHex[(c >> 12) & 0xF], kHex[(c >> 8) & 0xF], kHex[(c >> 4) & 0xF],
                     kHex[c & 0xF]};
  out.append(e, 6);
}

inline void append_escape(std::string& out, Py_UCS4 c) {
  switch (c) {
    case '"':
      out.append("\\\"", 2);
      return;
    case '\\':
      out.append("\\\\", 2);
      return;
    case '\b':
      out.append("\\b", 2);
      return;
    case '\f':
      out.append("\\f", 2);
      return;
    case '\n':
      out.append("\\n", 2);
      return;
    case '\r':
      out.append("\\r", 2);
      return;
    case '\t':
      out.append("\\t", 2);
      return;
    default:
      break;
  }
  if (c >= 0x10000) {
    const Py_UCS4 v = c - 0x10000;
    append_u_escape(out, 0xD800 | ((v >> 10) & 0x3FF));
    append_u_escape(out, 0xDC00 | (v & 0x3FF));
  } else {
    append_u_escape(out, c);
  }
}

template <class C>
void escape_units(std::string& out, const C* u, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const std::size_t start = i;
    while (i < n && u[i] < 0x80 && kPlain[u[i]]) ++i;
    if (i > start) {
      if constexpr (sizeof(C) == 1) {
        out.append(reinterpret_cast<const char*>(u + start), i - start);
      } else {
        const std::size_t at = out.size();
        out.resize(at + (i - start));
        char* dst = out.data() + at;
        for (std::size_t k = start; k < i; ++k) *dst++ = static_cast<char>(u[k]);
      }
    }
    if (i < n) append_escape(out, static_cast<Py_UCS4>(u[i++]));
  }
}

inline void append_long_long(std::string& out, long long v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

// int.__repr__ of any int, subclasses included (their own __repr__ is not
// consulted, as json does not).
void append_int(std::string& out, PyObject* o) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    append_long_long(out, v);
    return;
  }
  // Big values, including the int_max_str_digits limit and its ValueError.
  Ref s = own(PyLong_Type.tp_repr(o));
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n);
  if (!p) throw_error_set();
  out.append(p, static_cast<std::size_t>(n));
}

// Leaves the interpreter's recursion counter and the path on every exit.
class Nesting {
public:
  // The container itself is recorded on the path once it is known to be
  // non-empty (empty ones are written without a cycle check, as json does).
  Nesting(std::vector<PyObject*>& path, const char* floor) : path_(path) {
    if (path_.size() >= kMaxDepth ||
        (floor && static_cast<const char*>(__builtin_frame_address(0)) < floor)) {
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kRecursionWhere);
      throw_error_set();
    }
    if (Py_EnterRecursiveCall(kRecursionWhere)) throw_error_set();
    path_.push_back(nullptr);
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

std::size_t format_float_repr(double x, char* buf) noexcept {
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX[X].
  char sci[kFloatReprMax];
  const auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  const char* p = sci;
  const char* end = r.ptr;
  char* o = buf;
  if (*p == '-') *o++ = *p++;
  char digits[20];
  std::size_t nd = 0;
  const char* e = p;
  while (*e != 'e') {
    if (*e != '.') digits[nd++] = *e;
    ++e;
  }
  int exp10 = 0;
  std::from_chars(e + 1 + (e[1] == '+'), end, exp10);
  const int decpt = exp10 + 1;  // digits are 0.d1d2... times 10**decpt
  if (decpt <= -4 || decpt > 16) {
    // repr keeps the exponent layout to_chars made: "1e-05", "1.5e+16".
    const std::size_t n = static_cast<std::size_t>(end - p);
    std::memcpy(o, p, n);
    return static_cast<std::size_t>(o - buf) + n;
  }
  if (decpt <= 0) {
    *o++ = '0';
    *o++ = '.';
    for (int k = decpt; k < 0; ++k) *o++ = '0';
    std::memcpy(o, digits, nd);
    o += nd;
  } else if (static_cast<std::size_t>(decpt) < nd) {
    const auto whole = static_cast<std::size_t>(decpt);
    std::memcpy(o, digits, whole);
    o += whole;
    *o++ = '.';
    std::memcpy(o, digits + whole, nd - whole);
    o += nd - whole;
  } else {
    std::memcpy(o, digits, nd);
    o += nd;
    for (std::size_t k = nd; k < static_cast<std::size_t>(decpt); ++k) *o++ = '0';
    *o++ = '.';
    *o++ = '0';
  }
  return static_cast<std::size_t>(o - buf);
}

void append_float_json(std::string& out, double x) {
  if (std::isnan(x)) {
    out.append("NaN", 3);
  } else if (std::isinf(x)) {
    if (x > 0) {
      out.append("Infinity", 8);
    } else {
      out.append("-Infinity", 9);
    }
  } else {
    char buf[kFloatReprMax];
    out.append(buf, format_float_repr(x, buf));
  }
}

bool append_plain_number(std::string& out, PyObject* o) {
  if (o == Py_None) {
    out.append("None", 4);
  } else if (o == Py_True) {
    out.append("True", 4);
  } else if (o == Py_False) {
    out.append("False", 5);
  } else if (PyLong_CheckExact(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) return false;
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    append_long_long(out, v);
  } else if (PyFloat_CheckExact(o)) {
    const double x = PyFloat_AS_DOUBLE(o);
    if (std::isnan(x)) {
      out.append("nan", 3);
    } else if (std::isinf(x)) {
      out.append(x > 0 ? "inf" : "-inf");
    } else {
      char buf[kFloatReprMax];
      out.append(buf, format_float_repr(x, buf));
    }
  } else {
    return false;
  }
  return true;
}

JsonWriter::JsonWriter(std::string& out) noexcept : out_(out), floor_(stack_floor()) {}

void JsonWriter::write(PyObject* o) { value(o); }

void JsonWriter::write_str(PyObject* s) {
  out_.reserve(out_.size() + static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)) + 2);
  out_.push_back('"');
  visit_units(s, [&](const auto* u, std::size_t n) { escape_units(out_, u, n); });
  out_.push_back('"');
}

void JsonWriter::value(PyObject* o) {
  if (o == Py_None) {
    out_.append("null", 4);
  } else if (o == Py_True) {
    out_.append("true", 4);
  } else if (o == Py_False) {
    out_.append("false", 5);
  } else if (PyUnicode_Check(o)) {
    write_str(o);
  } else if (PyLong_Check(o)) {
    append_int(out_, o);
  } else if (PyFloat_Check(o)) {
    append_float_json(out_, PyFloat_AS_DOUBLE(o));
  } else if (PyList_Check(o) || PyTuple_Check(o)) {
    Nesting level(path_, floor_);
    sequence(o);
  } else if (PyDict_Check(o)) {
    Nesting level(path_, floor_);
    mapping(o);
  } else {
    // No JSON form: the text of str(o), as default=str gives.
    Ref text = own(PyObject_Str(o));
    Nesting level(path_, floor_);
    write_str(text.get());
  }
}

void JsonWriter::sequence(PyObject* o) {
  // Subclasses are read through iteration, exactly as the stdlib encoder
  // reads them (PySequence_Fast copies all but exact lists and tuples).
  Ref seq = own(PySequence_Fast(o, "_iterencode_list needs a sequence"));
  PyObject* s = seq.get();
  if (PySequence_Fast_GET_SIZE(s) == 0) {
    out_.append("[]", 2);
    return;
  }
  for (PyObject* p : path_) {
    if (p == s) raise(PyExc_ValueError, "Circular reference detected");
  }
  path_.back() = s;
  out_.push_back('[');
  // The size is read afresh each step: str() of an item may shrink the list.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(s); ++i) {
    if (i) out_.append(", ", 2);
    Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(s, i));
    value(item.get());
  }
  out_.push_back(']');
}

void JsonWriter::key(PyObject* k) {
  if (PyUnicode_Check(k)) {
    write_str(k);
    return;
  }
  out_.push_back('"');
  if (PyFloat_Check(k)) {
    append_float_json(out_, PyFloat_AS_DOUBLE(k));
  } else if (k == Py_True) {
    out_.append("true", 4);
  } else if (k == Py_False) {
    out_.append("false", 5);
  } else if (k == Py_None) {
    out_.append("null", 4);
  } else if (PyLong_Check(k)) {
    append_int(out_, k);
  } else {
    PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
                 Py_TYPE(k)->tp_name);
    throw_error_set();
  }
  out_.push_back('"');
}

void JsonWriter::mapping(PyObject* d) {
  if (PyDict_GET_SIZE(d) == 0) {
    out_.append("{}", 2);
    return;
  }
  for (PyObject* p : path_) {
    if (p == d) raise(PyExc_ValueError, "Circular reference detected");
  }
  path_.back() = d;
  out_.push_back('{');
  if (!PyDict_CheckExact(d)) {
    // A subclass is read through its items(), as the stdlib encoder does.
    Ref items = own(PyMapping_Items(d));
    PyObject* list = items.get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
      PyObject* pair = item.get();
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
        raise(PyExc_ValueError, "items must return 2-tuples");
      if (i) out_.append(", ", 2);
      key(PyTuple_GET_ITEM(pair, 0));
      out_.append(": ", 2);
      value(PyTuple_GET_ITEM(pair, 1));
    }
    out_.push_back('}');
    return;
  }
  // An exact dict is written from a snapshot of its items (the stdlib takes
  // dict.items() as a list): str() of a value may run Python code that
  // changes the dict mid-way. The snapshot lives on a shared stack of owned
  // references instead of a list of new tuples.
  const std::size_t base = held_.size();
  struct Release {
    std::vector<PyObject*>& held;
    std::size_t base;
    ~Release() {
      for (std::size_t i = base; i < held.size(); ++i) Py_DECREF(held[i]);
      held.resize(base);
    }
  } release{held_, base};
  held_.reserve(base + 2 * static_cast<std::size_t>(PyDict_GET_SIZE(d)));
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (PyDict_Next(d, &pos, &k, &v)) {
    Py_INCREF(k);
    held_.push_back(k);
    Py_INCREF(v);
    held_.push_back(v);
  }
  const std::size_t end = held_.size();
  for (std::size_t i = base; i < end; i += 2) {
    if (i != base) out_.append(", ", 2);
    key(held_[i]);
    out_.append(": ", 2);
    value(held_[i + 1]);
  }
  out_.push_back('}');
}

}  // namespace qv
