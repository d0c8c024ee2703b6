// Argument binding for METH_FASTCALL | METH_KEYWORDS entry points, with the
// error messages CPython's own functions give.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "_internal/common/py.hpp"

namespace qv {

// Binds a fast call's arguments to parameters named `names`, the first
// `required` of which must be given. `positional_only` leading parameters
// cannot be given by name. On return out[i] is the borrowed argument for
// names[i], or nullptr when it was not given.
template <std::size_t N>
void bind_args(const char* func, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               const std::array<const char*, N>& names, std::size_t required,
               std::array<PyObject*, N>& out, std::size_t positional_only = 0) {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)));
  if (nargs == N && !kwnames) {  // the common call: every argument by position
    for (std::size_t i = 0; i < N; ++i) out[i] = args[i];
    return;
  }
  out.fill(nullptr);
  if (nargs > N) {
    if (required == N) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given", func,
                   N, N == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zu positional arguments but %zu were given", func,
                   required, N, nargs);
    }
    throw_error_set();
  }
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    const auto nkw = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    for (std::size_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(k));
      std::size_t i = positional_only;
      for (; i < N; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) break;
      }
      if (i == N) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
        throw_error_set();
      }
      if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, names[i]);
        throw_error_set();
      }
      out[i] = args[nargs + k];
    }
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", func, names[i],
                   i + 1);
      throw_error_set();
    }
  }
}

}  // namespace qv
