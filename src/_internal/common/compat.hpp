// The one place where the library bridges CPython versions: each shim names
// the public API of the newest version and falls back to the older spelling.
#pragma once

#include "_internal/common/py.hpp"

namespace qv {

// Takes the error currently set (which must be set) and clears it; the
// instance carries its traceback.
inline Ref fetch_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
#endif
}

// Sets `exc` (an exception instance) as the current error, unchanged.
inline void restore_error(Ref exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace qv
