// Every difference between the CPython versions the package supports
// (3.10 on) that the C++ code has to spell out, in one place. Each shim
// names the version whose API it stands in for; when that version is the
// oldest one supported, the shim goes and its callers use the API directly.
//
// This header comes below py.hpp: it needs only Python.h and reports
// failure as CPython does (NULL or -1 with an error set).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Inlining hints for the few hot paths that need them, in each compiler's
// own spelling (MSVC does not know the gnu:: attributes and warns on them).
#if defined(_MSC_VER) && !defined(__clang__)
#define QV_ALWAYS_INLINE __forceinline
#define QV_NOINLINE __declspec(noinline)
#else
#define QV_ALWAYS_INLINE [[gnu::always_inline]] inline
#define QV_NOINLINE [[gnu::noinline]]
#endif

// Member-table type codes under their 3.12 names (structmember.h before).
#if PY_VERSION_HEX >= 0x030C0000
#define QV_MEMBER_OBJECT Py_T_OBJECT_EX
#define QV_MEMBER_SSIZE Py_T_PYSSIZET
#define QV_MEMBER_READONLY Py_READONLY
#else
#include <structmember.h>
#define QV_MEMBER_OBJECT T_OBJECT_EX
#define QV_MEMBER_SSIZE T_PYSSIZET
#define QV_MEMBER_READONLY READONLY
#endif

namespace qv::compat {

// A str made by the legacy wide-char API on 3.10/3.11 must be made "ready"
// before its code units are read (read unready, its data would look empty).
// 3.12 removed that API, and every str is ready. Returns -1 with an error set
// on failure.
inline int str_ready(PyObject* s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(s);
#else
  (void)s;
  return 0;
#endif
}

// The error currently set, taken as one exception instance (the error is
// cleared), or nullptr when none is set: PyErr_GetRaisedException (3.12).
inline PyObject* take_raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

// Sets `exc` (an exception instance taken by take_raised, or nullptr for
// none) as the current error again, stealing the reference:
// PyErr_SetRaisedException (3.12).
inline void set_raised(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  if (!exc) return;
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// Exceptions carry notes (BaseException.add_note) from 3.11 on.
inline constexpr bool kExceptionNotes = PY_VERSION_HEX >= 0x030B0000;

// The module whose definition is `def` and that defined `type` or the
// nearest base of it in its MRO (borrowed), or nullptr with TypeError set:
// PyType_GetModuleByDef (3.11). On 3.10, the same walk over the MRO through
// PyType_GetModule.
inline PyObject* module_by_def(PyTypeObject* type, PyModuleDef* def) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  return PyType_GetModuleByDef(type, def);
#else
  PyObject* mro = type->tp_mro;
  const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (!(PyType_GetFlags(t) & Py_TPFLAGS_HEAPTYPE)) continue;
    PyObject* m = PyType_GetModule(t);  // TypeError for a type made without a module
    if (!m) {
      PyErr_Clear();
      continue;
    }
    if (PyModule_GetDef(m) == def) return m;
  }
  PyErr_Format(PyExc_TypeError, "PyType_GetModuleByDef: No superclass of '%s' has the given module",
               type->tp_name);
  return nullptr;
#endif
}

// The module slot that declares support for a per-interpreter GIL (3.12);
// an empty slot, which ends the table, before.
inline PyModuleDef_Slot interpreter_slot() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
#else
  return {0, nullptr};
#endif
}

}  // namespace qv::compat
