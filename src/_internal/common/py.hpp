// The small layer every extension module stands on: an owning reference,
// the bridge that turns C++ exceptions into Python errors at an entry point,
// CPython-style argument errors, and access to the code units of a str.
#pragma once

#include "_internal/common/compat.hpp"

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace qv {

// Thrown when a Python error is already set; the entry-point bridge returns
// NULL and leaves the error in place.
struct PyErrorSet {};

[[noreturn]] inline void throw_error_set() {
  throw PyErrorSet{};
}

// An owning reference to a Python object (nullptr allowed).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  ~Ref() { Py_XDECREF(p_); }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Takes over a new reference (may be nullptr).
  static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Takes a new reference returned by the C API; a NULL result means the call
// set an error, which propagates as PyErrorSet.
inline Ref own(PyObject* p) {
  if (!p) throw_error_set();
  return Ref::steal(p);
}

// A C API status check: -1 (or any negative value) means an error is set.
inline int check(int status) {
  if (status < 0) throw_error_set();
  return status;
}

// The value a slot or function of return type R reports failure with.
template <class R>
constexpr R failure_value() noexcept {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else if constexpr (std::is_same_v<R, PySendResult>) {
    return PYGEN_ERROR;
  } else {
    static_assert(std::is_signed_v<R>, "guard: a C API result reports failure as -1");
    return R(-1);
  }
}

// Runs an entry point body and translates every C++ exception into the
// Python error, returning the failure value of the body's result type
// (nullptr for PyObject*, -1 for int, Py_ssize_t and Py_hash_t, PYGEN_ERROR
// for PySendResult); nothing C++ ever crosses into the interpreter.
template <class F>
auto guard(F&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    return std::forward<F>(body)();
  } catch (const PyErrorSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  return failure_value<R>();
}

// record[key] as a new reference: an exact dict is read directly, anything
// else through its __getitem__ (a non-mapping raises its own TypeError). A
// missing key raises KeyError(key).
//
// With `optional`, a missing key gives an empty Ref instead, and the key is
// present only when the record contains it (`key in record`): only then is
// it read, so a defaultdict gains no key, a Counter invents no 0 and a
// __missing__ that raises is never reached.
inline Ref get_field(PyObject* record, PyObject* key, bool optional = false) {
  if (PyDict_CheckExact(record)) {
    if (PyObject* v = PyDict_GetItemWithError(record, key)) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error_set();
    if (optional) return Ref();
    PyErr_SetObject(PyExc_KeyError, key);
    throw_error_set();
  }
  if (optional && !check(PySequence_Contains(record, key))) return Ref();
  return own(PyObject_GetItem(record, key));
}

// Adds the note "<arg>[<index>]" to the exception currently set (on 3.11+,
// through BaseException.add_note), so that KeyError('created_at') tells which
// record lacked the key; the exception keeps its type and arguments. Without
// notes (3.10), or if the note cannot be added, the exception stays as it is.
inline void note_item(const char* arg, std::size_t index) noexcept {
  if constexpr (!compat::kExceptionNotes) return;
  PyObject* exc = compat::take_raised();
  if (!exc) return;
  // An interned name: see interned().
  PyObject* name = PyUnicode_InternFromString("add_note");
  PyObject* note = name ? PyUnicode_FromFormat("%s[%zu]", arg, index) : nullptr;
  PyObject* r = note ? PyObject_CallMethodOneArg(exc, name, note) : nullptr;
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_Clear();
  }
  Py_XDECREF(note);
  Py_XDECREF(name);
  compat::set_raised(exc);
}

// Numbers, by one rule for the whole library.
//
// A real number is a float or an int (bool included), read directly, or any
// other object with __float__, or with __index__ and no __float__, read the
// way float() reads it (which may run Python code). An int beyond the double
// range raises OverflowError; whatever __float__ raises propagates. Returns
// false, with no error set, when `o` is not a real number at all, so the
// caller words the TypeError for its own argument.
inline bool is_real(PyObject* o) noexcept {
  if (PyFloat_Check(o) || PyLong_Check(o)) return true;
  const PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  return nb && (nb->nb_float || nb->nb_index);
}

inline bool real_value(PyObject* o, double& out) {
  if (PyFloat_Check(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (!is_real(o)) return false;
  out = PyLong_Check(o) ? PyLong_AsDouble(o) : PyFloat_AsDouble(o);
  if (out == -1.0 && PyErr_Occurred()) throw_error_set();
  return true;
}

// An integer is an int (bool included) or any object with __index__; the
// result is an exact int. Returns an empty Ref, with no error set, when `o`
// is not an integer.
inline Ref integer_value(PyObject* o) {
  if (PyLong_CheckExact(o)) return Ref::borrow(o);
  if (!PyIndex_Check(o)) return Ref();
  // PyNumber_Index gives an exact int on every supported version (bool too).
  PyObject* r = PyNumber_Index(o);
  if (!r) throw_error_set();
  return Ref::steal(r);
}

// Raises `exc` with `message` and unwinds to the entry point.
[[noreturn]] inline void raise(PyObject* exc, const char* message) {
  PyErr_SetString(exc, message);
  throw_error_set();
}

// "f() argument 'name' must be str, not int", as CPython words it.
[[noreturn]] inline void raise_arg_type(const char* func, const char* arg, const char* expected,
                                        PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", func, arg, expected,
               Py_TYPE(got)->tp_name);
  throw_error_set();
}

inline void require_str(const char* func, const char* arg, PyObject* o) {
  if (!PyUnicode_Check(o)) raise_arg_type(func, arg, "str", o);
}
inline void require_list(const char* func, const char* arg, PyObject* o) {
  if (!PyList_Check(o)) raise_arg_type(func, arg, "list", o);
}

// collections.abc.Mapping, kept in the state of a module whose arguments
// are records: what each record must be.
inline Ref mapping_abc() {
  Ref abc = own(PyImport_ImportModule("collections.abc"));
  return own(PyObject_GetAttrString(abc.get(), "Mapping"));
}

// Every item of the list `items` (a snapshot of argument `arg`) is a dict or
// a collections.abc.Mapping, checked before any work, so a record of the
// wrong kind is reported ahead of any error inside an earlier one.
inline void require_mapping_items(const char* func, const char* arg, PyObject* items,
                                  PyObject* mapping_abc) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
    PyObject* item = PyList_GET_ITEM(items, i);
    if (PyDict_Check(item) || check(PyObject_IsInstance(item, mapping_abc))) continue;
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' item %zd must be a mapping, not %.200s", func,
                 arg, i, Py_TYPE(item)->tp_name);
    throw_error_set();
  }
}

// The code units of a str: one unit per code point, 1, 2 or 4 bytes wide.
// `visit_units(s, f)` calls f(const CharT* data, std::size_t length) with the
// right unit type, so text routines are written once as templates and run
// on the string's own storage without copying or decoding.
//
// Every read of a str's code units goes through here, so this is where a str
// made by the legacy wide-char API on 3.10/3.11 is made "ready" first (read
// unready, its data would look empty).
inline void ensure_ready(PyObject* s) {
  if (compat::str_ready(s) < 0) throw_error_set();
}

template <class F>
decltype(auto) visit_units(PyObject* s, F&& f) {
  ensure_ready(s);
  const void* data = PyUnicode_DATA(s);
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      return f(static_cast<const Py_UCS1*>(data), n);
    case PyUnicode_2BYTE_KIND:
      return f(static_cast<const Py_UCS2*>(data), n);
    default:
      return f(static_cast<const Py_UCS4*>(data), n);
  }
}

// str[start:stop] in code points; returns the object itself for the whole.
inline Ref substr(PyObject* s, std::size_t start, std::size_t stop) {
  return own(PyUnicode_Substring(s, static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(stop)));
}

// UTF-8 of a str; lone surrogates are encoded as with "surrogatepass".
// The view points into the str (zero-copy) or into `scratch`.
inline std::string_view utf8(PyObject* s, std::string& scratch) {
  Py_ssize_t n = 0;
  if (const char* p = PyUnicode_AsUTF8AndSize(s, &n)) return {p, static_cast<std::size_t>(n)};
  PyErr_Clear();
  Ref b = own(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
  scratch.assign(PyBytes_AS_STRING(b.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.get())));
  return scratch;
}

// A str from UTF-8 (lone surrogates decoded as with "surrogatepass").
inline Ref str_from_utf8(std::string_view s) {
  return own(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"));
}

// A str from ASCII bytes known to be ASCII (no validation pass beyond copy).
inline Ref str_from_ascii(std::string_view s) {
  PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
  if (!o) throw_error_set();
  std::char_traits<char>::copy(static_cast<char*>(PyUnicode_DATA(o)), s.data(), s.size());
  return Ref::steal(o);
}

// Runs f() with the GIL released when `units` (the input's size in code
// units) reaches the one threshold the library uses; below it the release
// costs more than it frees. f must be pure C++: it may not touch any Python
// object, and an exception it throws is carried out with the GIL held again.
inline constexpr std::size_t kReleaseGilUnits = std::size_t{1} << 16;

template <class F>
decltype(auto) without_gil(std::size_t units, F&& f) {
  if (units < kReleaseGilUnits) return std::forward<F>(f)();
  struct Reacquire {
    PyThreadState* ts;
    ~Reacquire() { PyEval_RestoreThread(ts); }
  } held{PyEval_SaveThread()};
  return std::forward<F>(f)();
}

// An interned str, for names and dict keys built once at module load. Every
// attribute the library looks up is named by an interned str, never by a C
// string (PyObject_GetAttrString, PyObject_CallMethod) after load: the
// interpreter's type attribute cache keys on the name object, and each fresh
// copy of a name becomes an entry that keeps it alive, up to thousands of them.
inline Ref interned(const char* s) {
  return own(PyUnicode_InternFromString(s));
}

// Adds `value` to module `m` as `name` (steals nothing).
inline void add_object(PyObject* m, const char* name, const Ref& value) {
  Py_INCREF(value.get());
  if (PyModule_AddObject(m, name, value.get()) < 0) {
    Py_DECREF(value.get());
    throw_error_set();
  }
}

}  // namespace qv
