// The JSON writer: Python objects to the exact text of
// json.dumps(obj, ensure_ascii=True, default=str).
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

#include "_internal/common/prompt.hpp"
#include "_internal/common/py.hpp"

namespace qv {

// Encodes Python objects as json.dumps(o, ensure_ascii=True, default=str)
// would, walking them in CPython's own encoder order: None, True, False, str,
// int (int.__repr__, subclasses included), float (float.__repr__ or
// NaN/Infinity), list/tuple, dict, and str(value) for anything else. The text
// is always ASCII. Errors are the ones json raises: TypeError for a key of
// another kind, ValueError "Circular reference detected", RecursionError on
// nesting deeper than the interpreter's recursion limit or than a fixed depth
// that keeps the C stack small.
//
// The text is written straight into the byte buffer of the TextBuilder that
// the result is assembled in, so it is copied once more only into the final
// str; one writer serves a whole batch of values.
class JsonWriter {
 public:
  explicit JsonWriter(TextBuilder& out);
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  // Writes the JSON text of `o` at the end of out.bytes() and returns its
  // place there; it becomes part of the result when passed to out.run().
  ByteRange write(PyObject* o);

  // Exact dicts being written, outermost first: read in place (pos) until
  // frozen, then from their snapshot held[begin:] (next is the cursor).
  struct Frame {
    PyObject* dict;
    Py_ssize_t pos;
    std::size_t begin;
    std::size_t next;
    bool frozen;
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

  // The text goes to out_[len_:], through a cursor kept here while a value
  // is written and handed back to out_ when it is done.
  char* room(std::size_t n) {
    if (cap_ - len_ < n) grow(n);
    return data_ + len_;
  }
  void advance(std::size_t n) noexcept { len_ += n; }
  void set_end(const char* end) noexcept { len_ = static_cast<std::size_t>(end - data_); }
  void put(const char* s, std::size_t n) {
    std::memcpy(room(n), s, n);
    len_ += n;
  }
  void put(char c) {
    *room(1) = c;
    ++len_;
  }
  void grow(std::size_t n);

  ByteBuffer& out_;
  // The working stacks belong to the writer and go with it.
  std::vector<PyObject*> path_;  // containers being encoded, outermost first
  std::vector<Frame> frames_;
  std::vector<PyObject*> held_;  // owned references of the frozen snapshots
  char* data_ = nullptr;
  std::size_t len_ = 0;
  std::size_t cap_ = 0;
};

}  // namespace qv
