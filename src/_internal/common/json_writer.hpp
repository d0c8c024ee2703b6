// The JSON writer: Python objects to the exact text of
// json.dumps(obj, ensure_ascii=True, default=str), and str() of the plain
// scalars it shares with plain-text rendering.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "_internal/common/py.hpp"
#include "core/number.hpp"

namespace qv {

using core::kFloatReprMax;

// Writes str(o) for an exact int (that fits in 64 bits), float, bool or None
// into buf (at least kFloatReprMax bytes) without calling into Python and
// returns the length; returns 0 for any other object (subclasses included:
// they may override __str__).
std::size_t plain_scalar_chars(PyObject* o, char* buf);

// Encodes Python objects as json.dumps(o, ensure_ascii=True, default=str)
// would, walking them in CPython's own encoder order: None, True, False, str,
// int (int.__repr__, subclasses included), float (float.__repr__ or
// NaN/Infinity), list/tuple, dict, and str(value) for anything else. The text
// is always ASCII. Errors are the ones json raises: TypeError for a key of
// another kind, ValueError "Circular reference detected", RecursionError on
// deep nesting (also when the thread's C stack runs short).
//
// A writer keeps its buffer between calls, so one writer serves a whole
// batch of values without reallocating.
class JsonWriter {
public:
  JsonWriter();
  ~JsonWriter();
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  // The JSON text of `o`, valid until the next call on this writer.
  std::string_view encode(PyObject* o);

  // Exact dicts being written, outermost first: read in place (pos) until
  // frozen, then from their snapshot held[begin:] (next is the cursor).
  struct Frame {
    PyObject* dict;
    Py_ssize_t pos;
    std::size_t begin;
    std::size_t next;
    bool frozen;
  };
  // The buffers, kept per thread between writers (a writer made while
  // another is alive on the same thread, from a __str__, has its own).
  struct State {
    std::string store;               // the text so far is store[0:len]; the rest is room
    std::vector<PyObject*> path;     // containers being encoded, outermost first
    std::vector<Frame> frames;
    std::vector<PyObject*> held;     // owned references of the frozen snapshots
    bool busy = false;
  };

private:
  void value(PyObject* o);
  void sequence(PyObject* o);
  void mapping(PyObject* o);
  void freeze();
  void key(PyObject* k);
  void string(PyObject* s);
  void integer(PyObject* o);
  void real(double x);

  // Room for n more bytes at the end of the text.
  char* room(std::size_t n) {
    if (store_.size() - len_ < n) grow(n);
    return store_.data() + len_;
  }
  void put(const char* s, std::size_t n) {
    std::memcpy(room(n), s, n);
    len_ += n;
  }
  void put(char c) {
    *room(1) = c;
    ++len_;
  }
  void grow(std::size_t n);

  State* own_;  // nullptr when the thread's spare state is in use
  State& st_;
  std::string& store_;
  std::vector<PyObject*>& path_;
  std::vector<Frame>& frames_;
  std::vector<PyObject*>& held_;
  std::size_t len_ = 0;
  const char* floor_;  // stack limit of this thread, or nullptr
};

}  // namespace qv
