// Argument binding for every entry point, with the error messages CPython's
// own functions give: fast calls (METH_FASTCALL | METH_KEYWORDS, vectorcall)
// and the tuple-and-dict form of tp_new.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "_internal/common/py.hpp"

namespace qv {

// The parameters of one entry point: their names, how many of the leading
// ones must be given, how many of the leading ones cannot be given by name,
// and from which position on they can only be given by name. A `method`
// counts its self in the positional counts of its messages, as a method
// written in Python does (a record's __init__).
template <std::size_t N>
struct Params {
  std::array<const char*, N> names;
  std::size_t required = N;
  std::size_t positional_only = 0;
  std::size_t keyword_only = N;  // names[keyword_only:] are keyword-only
  bool method = false;
};

// The positions of an entry point's keyword names, for one with many
// parameters (a record's fields), where comparing text name by name would
// cost more than the call. The names are interned: a keyword name the
// caller's code spells out is the same object, found by identity; any other
// exact str through the dict of names; a str subclass by its text. None of
// these runs Python code, so a binder walking a caller's dict can keep
// borrowing from it. The module state owns every object here.
template <std::size_t N>
struct KeywordTable {
  std::array<PyObject*, N> names{};  // interned
  PyObject* positions = nullptr;     // dict: name -> position

  // Position of `key` (a str), or N when it names no parameter.
  std::size_t find(PyObject* key) const {
    for (std::size_t i = 0; i < N; ++i) {
      if (names[i] == key) return i;
    }
    if (PyUnicode_CheckExact(key)) {
      PyObject* found = PyDict_GetItemWithError(positions, key);
      if (!found) {
        if (PyErr_Occurred()) throw_error_set();
        return N;
      }
      return static_cast<std::size_t>(PyLong_AsSsize_t(found));
    }
    // A subclass's __hash__ or __eq__ would run in a dict lookup.
    for (std::size_t i = 0; i < N; ++i) {
      if (PyUnicode_Compare(key, names[i]) == 0) return i;
    }
    return N;
  }
};

namespace detail {

template <std::size_t N>
[[noreturn]] void too_many_positional(const char* func, const Params<N>& p, std::size_t nargs) {
  const std::size_t self = p.method ? 1 : 0;
  const std::size_t most = p.keyword_only + self;
  const std::size_t least = (p.required < p.keyword_only ? p.required : p.keyword_only) + self;
  nargs += self;
  if (least == most) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given", func,
                 most, most == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zu were given", func, least,
                 most, nargs);
  }
  throw_error_set();
}

// Binds one keyword argument; `key` is any object the caller passed as a
// name. Runs no Python code.
template <std::size_t N>
void bind_keyword(const char* func, const Params<N>& p, const KeywordTable<N>* table,
                  std::array<PyObject*, N>& out, PyObject* key, PyObject* value) {
  if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
  std::size_t i = p.positional_only;
  if (table) {
    const std::size_t found = table->find(key);
    i = found >= p.positional_only ? found : N;
  } else {
    for (; i < N; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) break;
    }
  }
  if (i == N) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
    throw_error_set();
  }
  if (out[i]) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, p.names[i]);
    throw_error_set();
  }
  out[i] = value;
}

template <std::size_t N>
void require_given(const char* func, const Params<N>& p, const std::array<PyObject*, N>& out) {
  for (std::size_t i = 0; i < p.required; ++i) {
    if (out[i]) continue;
    if (i < p.keyword_only) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", func,
                   p.names[i], i + 1);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument '%s'", func,
                   p.names[i]);
    }
    throw_error_set();
  }
}

}  // namespace detail

// Binds a fast call's arguments. On return out[i] is the borrowed argument
// for names[i], or nullptr when it was not given. Keyword names are looked up
// in `table` when there is one.
template <std::size_t N>
void bind_args(const char* func, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               const Params<N>& p, std::array<PyObject*, N>& out,
               const KeywordTable<N>* table = nullptr) {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)));
  if (nargs == N && !kwnames && p.keyword_only == N) {  // every argument by position
    for (std::size_t i = 0; i < N; ++i) out[i] = args[i];
    return;
  }
  out.fill(nullptr);
  if (nargs > p.keyword_only) detail::too_many_positional(func, p, nargs);
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    const auto nkw = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    for (std::size_t k = 0; k < nkw; ++k) {
      detail::bind_keyword(func, p, table, out,
                           PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(k)), args[nargs + k]);
    }
  }
  detail::require_given(func, p, out);
}

// Binds tp_new's positional tuple and keyword dict. Values found in `kwargs`
// are borrowed from the dict, which the caller may share (Type(**d) can pass
// d itself), so whoever converts them runs code that might edit it: such a
// caller holds each value it needs past the first conversion. Binding itself
// runs no Python code, so the dict cannot change under it.
template <std::size_t N>
void bind_tuple_args(const char* func, PyObject* args, PyObject* kwargs, const Params<N>& p,
                     std::array<PyObject*, N>& out, const KeywordTable<N>* table = nullptr) {
  out.fill(nullptr);
  const auto nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (nargs > p.keyword_only) detail::too_many_positional(func, p, nargs);
  for (std::size_t i = 0; i < nargs; ++i)
    out[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      detail::bind_keyword(func, p, table, out, key, value);
    }
  }
  detail::require_given(func, p, out);
}

}  // namespace qv
