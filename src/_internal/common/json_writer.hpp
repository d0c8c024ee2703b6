// The JSON writer: Python objects to the exact text of
// json.dumps(obj, ensure_ascii=True, default=str), and the number forms it
// shares with plain-text rendering (float.__repr__, int.__repr__).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "_internal/common/py.hpp"

namespace qv {

// Writes repr(x) of a finite double into buf (at least kFloatReprMax bytes)
// and returns the length: the shortest digits that read back to x, laid out
// as CPython does (exponent form below 1e-4 and from 1e16 with a sign and at
// least two exponent digits, ".0" on whole values). Non-finite values are the
// caller's business: JSON spells them NaN/Infinity, str() nan/inf.
inline constexpr std::size_t kFloatReprMax = 32;
std::size_t format_float_repr(double x, char* buf) noexcept;

// Appends repr(x) (finite) / the JSON words NaN, Infinity, -Infinity.
void append_float_json(std::string& out, double x);

// Appends str(o) for int, float, bool and None without calling into Python
// where the result is known; returns false (nothing appended) for other
// objects. Exact types only: a subclass may override __str__.
bool append_plain_number(std::string& out, PyObject* o);

// Encodes Python objects as json.dumps(o, ensure_ascii=True, default=str)
// would, walking them in CPython's own encoder order: None, True, False, str,
// int (int.__repr__, subclasses included), float (float.__repr__ or
// NaN/Infinity), list/tuple, dict, and str(value) for anything else. Output
// is ASCII appended to a std::string. Errors are the ones json raises:
// TypeError for a key of another kind, ValueError "Circular reference
// detected", RecursionError on deep nesting. On error the output holds a
// partial document that the caller throws away.
//
// One writer can be reused for many values (its scratch space stays).
class JsonWriter {
public:
  explicit JsonWriter(std::string& out) noexcept;
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  // Appends the JSON text of `o`.
  void write(PyObject* o);

  // Appends `s` as a JSON string (quotes included), ASCII-only.
  void write_str(PyObject* s);

private:
  void value(PyObject* o);
  void sequence(PyObject* o);
  void mapping(PyObject* o);
  void key(PyObject* k);

  std::string& out_;
  std::vector<PyObject*> path_;  // containers being encoded, outermost first
  std::vector<PyObject*> held_;  // owned snapshots of the dicts being encoded
  const char* floor_;            // stack limit of this thread, or nullptr
};

}  // namespace qv
