// Objects that speak the coroutine protocol, written as C++ state machines.
//
// A body type T is laid out as
//
//   struct T {
//     PyObject_HEAD
//     qv::CoroutineCore core;   // what the protocol itself keeps
//     ...                       // the body's own fields
//     static constexpr const char* name = "...";      // __name__
//     static constexpr const char* qualname = "...";  // __qualname__
//     static qv::Step resume(T* self, PyObject* sent);
//     static int traverse(T* self, visitproc visit, void* arg);
//     static void clear(T* self);     // drops every reference the body holds
//     static void finished(T* self);  // the body ended: drop what only a live body needs
//     static void finalize(T* self);  // the object is about to be freed
//   };
//
// `resume` is called first to start the body (sent = None), then each time
// what it awaited ended: with the value it returned (borrowed), or with
// sent = nullptr and the error it raised (or the one thrown in) set. It
// answers with Step::await_(x) to await x next, as `await x` does,
// Step::yield_(x) to hand x itself to whoever drives the coroutine (the way
// a future's iterator hands over the future; what is sent or thrown next
// resumes the body), or Step::return_(v) to end the body with v; it raises by throwing (the
// PyErrorSet of py.hpp) and the body then ends with that error.
//
// Coroutine<T> supplies the protocol: __await__ (the object is its own
// iterator), am_send (what PyIter_Send and the interpreter use), send(),
// throw() with one to three arguments, close(), __next__, and the delegation
// to the awaited iterator that `yield from` performs (PEP 380): sends and
// throws go to it, GeneratorExit closes it, and its result or error resumes
// the body. Results leave send(), throw() and __next__ as a StopIteration
// instance built around the value, so a tuple result is never unpacked.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "_internal/common/module.hpp"
#include "_internal/common/py.hpp"

#if PY_VERSION_HEX >= 0x030C0000
#define QV_AWAITABLE_SSIZE Py_T_PYSSIZET
#define QV_AWAITABLE_READONLY Py_READONLY
#else
#include <structmember.h>
#define QV_AWAITABLE_SSIZE T_PYSSIZET
#define QV_AWAITABLE_READONLY READONLY
#endif

namespace qv {

// ---------------------------------------------------------------------------
// The error currently set, as an owned exception instance

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

// Runs f() (which may call into Python) while the error currently set is
// put aside; the error is set again afterwards. An error f raises replaces it,
// with the set-aside error as its __context__, as a `finally:` block does.
template <class F>
void preserving_error(F&& f) {
  Ref pending = fetch_error();
  bool ok = true;
  try {
    std::forward<F>(f)();
  } catch (const PyErrorSet&) {
    ok = false;
  }
  if (ok) {
    restore_error(std::move(pending));
    return;
  }
  Ref raised = fetch_error();
  if (pending.get() != raised.get()) PyException_SetContext(raised.get(), pending.release());
  restore_error(std::move(raised));
  throw_error_set();
}

// The value a StopIteration currently set carries (None if none), clearing it.
inline Ref fetch_stop_value() noexcept {
  Ref exc = fetch_error();
  PyObject* v = reinterpret_cast<PyStopIterationObject*>(exc.get())->value;
  return Ref::borrow(v ? v : Py_None);
}

// Sets StopIteration(value) as the current error: an instance is built first,
// so a tuple value is carried whole rather than taken as arguments.
inline void set_stop_value(PyObject* value) noexcept {
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
    return;
  }
  PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
  if (!exc) return;
  PyErr_SetObject(PyExc_StopIteration, exc);
  Py_DECREF(exc);
}

// ---------------------------------------------------------------------------
// Awaiting

// The iterator that `await o` drives, as the interpreter finds it: a native
// coroutine or a generator-based one (types.coroutine) is its own iterator;
// anything else must have __await__ returning an iterator that is not a
// coroutine.
inline Ref awaitable_iter(PyObject* o) {
  PyTypeObject* tp = Py_TYPE(o);
  if (PyCoro_CheckExact(o)) {
    // As the interpreter's own await does: a coroutine that some other
    // frame is already driving must not be stepped from here as well.
    Ref awaiting = own(PyObject_GetAttrString(o, "cr_await"));
    if (awaiting.get() != Py_None) raise(PyExc_RuntimeError, "coroutine is being awaited already");
    return Ref::borrow(o);
  }
  if (PyGen_CheckExact(o)) {
    Ref code = own(PyObject_GetAttrString(o, "gi_code"));
    if (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE)
      return Ref::borrow(o);
  }
  if (tp->tp_as_async && tp->tp_as_async->am_await) {
    Ref it = own(tp->tp_as_async->am_await(o));
    if (PyCoro_CheckExact(it.get())) raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.get())) {
      PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                   Py_TYPE(it.get())->tp_name);
      throw_error_set();
    }
    return it;
  }
  PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", tp->tp_name);
  throw_error_set();
}

// ---------------------------------------------------------------------------
// The protocol

// What a body does after a step.
struct Step {
  enum class Kind : unsigned char { Await, Yield, Return };
  Kind kind;
  Ref value;  // what to await, or the body's result

  static Step await_(Ref awaitable) { return {Kind::Await, std::move(awaitable)}; }
  static Step yield_(Ref value) { return {Kind::Yield, std::move(value)}; }
  static Step return_(Ref result) { return {Kind::Return, std::move(result)}; }
};

struct CoroutineCore {
  enum Status : unsigned char { Created, Suspended, Running, Finished };
  PyObject* awaiting;  // the iterator being delegated to while suspended
  PyObject* weakrefs;
  Status status;
};

template <class T>
struct Coroutine {
  static T* as(PyObject* o) noexcept { return reinterpret_cast<T*>(o); }

  // Initialises the core of a freshly allocated body.
  static void init(T* self) noexcept {
    self->core.awaiting = nullptr;
    self->core.weakrefs = nullptr;
    self->core.status = CoroutineCore::Created;
  }

  // Feeds the outcome of an await (sent, or the error set when null) to the
  // body, and drives whatever it awaits next until something yields or the
  // body ends. `sent_ref` keeps a value alive across the call.
  static PySendResult drive(T* self, Ref sent_ref, PyObject** out) noexcept {
    PyObject* sent = sent_ref.get();
    for (;;) {
      Step step;
      try {
        step = T::resume(self, sent);
      } catch (const PyErrorSet&) {
        return end(self, PYGEN_ERROR);
      } catch (...) {
        // Anything C++ becomes the matching Python error.
        guard([]() -> int { throw; });
        return end(self, PYGEN_ERROR);
      }
      if (step.kind == Step::Kind::Return) {
        *out = step.value.release();
        return end(self, PYGEN_RETURN);
      }
      if (step.kind == Step::Kind::Yield) {
        self->core.status = CoroutineCore::Suspended;
        *out = step.value.release();
        return PYGEN_NEXT;
      }
      Ref it;
      PySendResult r = PYGEN_ERROR;
      PyObject* res = nullptr;
      try {
        it = awaitable_iter(step.value.get());
        r = PyIter_Send(it.get(), Py_None, &res);
      } catch (const PyErrorSet&) {
        r = PYGEN_ERROR;
      }
      if (r == PYGEN_NEXT) {
        self->core.awaiting = it.release();
        self->core.status = CoroutineCore::Suspended;
        *out = res;
        return PYGEN_NEXT;
      }
      sent_ref = Ref::steal(res);  // null on error
      sent = sent_ref.get();
    }
  }

  static PySendResult end(T* self, PySendResult r) noexcept {
    self->core.status = CoroutineCore::Finished;
    T::finished(self);
    return r;
  }

  // Refuses a step into a body that runs or has ended; 0 when it may go on.
  static int enter(T* self) noexcept {
    if (self->core.status == CoroutineCore::Running) {
      PyErr_SetString(PyExc_ValueError, "coroutine already executing");
      return -1;
    }
    return 0;
  }

  static PySendResult send(T* self, PyObject* value, PyObject** out) noexcept {
    if (enter(self) < 0) return PYGEN_ERROR;
    switch (self->core.status) {
      case CoroutineCore::Finished:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
      case CoroutineCore::Created:
        if (value != Py_None) {
          PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
          return PYGEN_ERROR;
        }
        self->core.status = CoroutineCore::Running;
        return drive(self, Ref::borrow(Py_None), out);
      default: {
        self->core.status = CoroutineCore::Running;
        // After a bare yield the value goes to the body itself.
        if (!self->core.awaiting) return drive(self, Ref::borrow(value), out);
        PyObject* res = nullptr;
        const PySendResult r = PyIter_Send(self->core.awaiting, value, &res);
        if (r == PYGEN_NEXT) {
          self->core.status = CoroutineCore::Suspended;
          *out = res;
          return r;
        }
        Ref done = Ref::steal(std::exchange(self->core.awaiting, nullptr));
        return drive(self, Ref::steal(res), out);
      }
    }
  }

  // Throws the exception instance `exc` into the body at its suspension point.
  static PySendResult throw_in(T* self, PyObject* exc, PyObject** out) noexcept {
    if (enter(self) < 0) return PYGEN_ERROR;
    if (self->core.status != CoroutineCore::Suspended) {
      // Not started, or ended: the exception is raised at once and a body
      // that never started never will.
      if (self->core.status == CoroutineCore::Created) end(self, PYGEN_ERROR);
      restore_error(Ref::borrow(exc));
      return PYGEN_ERROR;
    }
    self->core.status = CoroutineCore::Running;
    Ref it = Ref::steal(std::exchange(self->core.awaiting, nullptr));
    if (!it) {
      restore_error(Ref::borrow(exc));  // after a bare yield: raised in the body
      return drive(self, Ref(), out);
    }
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
      // Close what is awaited, then raise GeneratorExit in the body (or the
      // error closing raised).
      if (close_iter(it.get()) == 0) restore_error(Ref::borrow(exc));
      return drive(self, Ref(), out);
    }
    PyObject* meth = nullptr;
    if (lookup_method(it.get(), "throw", &meth) < 0) return drive(self, Ref(), out);
    if (!meth) {
      restore_error(Ref::borrow(exc));
      return drive(self, Ref(), out);
    }
    PyObject* res = PyObject_CallOneArg(meth, exc);
    Py_DECREF(meth);
    if (res) {
      self->core.awaiting = it.release();
      self->core.status = CoroutineCore::Suspended;
      *out = res;
      return PYGEN_NEXT;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) return drive(self, fetch_stop_value(), out);
    return drive(self, Ref(), out);
  }

  // obj.name looked up as a method would be: *meth is a new reference, or
  // null when there is no such attribute; -1 on another error.
  static int lookup_method(PyObject* obj, const char* name, PyObject** meth) noexcept {
    *meth = PyObject_GetAttrString(obj, name);
    if (*meth) return 0;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }

  // it.close() if it has one; -1 with the error set if that raised.
  static int close_iter(PyObject* it) noexcept {
    PyObject* meth = nullptr;
    if (lookup_method(it, "close", &meth) < 0) return -1;
    if (!meth) return 0;
    PyObject* r = PyObject_CallNoArgs(meth);
    Py_DECREF(meth);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
  }

  // The exception instance of throw(type[, value[, traceback]]), built as a
  // generator's throw builds it; nullptr with TypeError set if malformed.
  static PyObject* make_exception(PyObject* type, PyObject* value, PyObject* tb) noexcept {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
      PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
      return nullptr;
    }
    PyObject* exc = nullptr;
    if (PyExceptionClass_Check(type)) {
      if (value && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
        exc = Py_NewRef(value);
      } else if (!value || value == Py_None) {
        exc = PyObject_CallNoArgs(type);
      } else if (PyTuple_Check(value)) {
        exc = PyObject_Call(type, value, nullptr);
      } else {
        exc = PyObject_CallOneArg(type, value);
      }
      if (!exc) return nullptr;
      if (!PyExceptionInstance_Check(exc)) {
        PyErr_Format(PyExc_TypeError,
                     "calling %R should have returned an instance of BaseException, not %s", type,
                     Py_TYPE(exc)->tp_name);
        Py_DECREF(exc);
        return nullptr;
      }
    } else if (PyExceptionInstance_Check(type)) {
      if (value && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
        return nullptr;
      }
      exc = Py_NewRef(type);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "exceptions must be classes or instances deriving from BaseException, not %s",
                   Py_TYPE(type)->tp_name);
      return nullptr;
    }
    if (tb) PyException_SetTraceback(exc, tb);
    return exc;
  }

  // A protocol result as a method result: yielded values are returned,
  // a return becomes StopIteration(value).
  static PyObject* as_method_result(PySendResult r, PyObject* out) noexcept {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) {
      set_stop_value(out);
      Py_DECREF(out);
    }
    return nullptr;
  }

  // --- slots and methods

  static PySendResult am_send(PyObject* o, PyObject* arg, PyObject** out) noexcept {
    *out = nullptr;
    return send(as(o), arg, out);
  }

  static PyObject* am_await(PyObject* o) noexcept { return Py_NewRef(o); }

  static PyObject* iternext(PyObject* o) noexcept {
    PyObject* out = nullptr;
    const PySendResult r = send(as(o), Py_None, &out);
    if (r == PYGEN_RETURN && out == Py_None) {
      Py_DECREF(out);
      return nullptr;  // exhausted, with no error set
    }
    return as_method_result(r, out);
  }

  static PyObject* send_method(PyObject* o, PyObject* arg) noexcept {
    PyObject* out = nullptr;
    const PySendResult r = send(as(o), arg, &out);
    return as_method_result(r, out);
  }

  static PyObject* throw_method(PyObject* o, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) {
      PyErr_Format(PyExc_TypeError, "throw expected at %s %d argument%s, got %zd",
                   nargs < 1 ? "least" : "most", nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s", nargs);
      return nullptr;
    }
    PyObject* exc =
        make_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    if (!exc) return nullptr;
    PyObject* out = nullptr;
    const PySendResult r = throw_in(as(o), exc, &out);
    Py_DECREF(exc);
    return as_method_result(r, out);
  }

  static PyObject* close_method(PyObject* o, PyObject*) noexcept {
    T* self = as(o);
    if (enter(self) < 0) return nullptr;
    if (self->core.status != CoroutineCore::Suspended) {
      if (self->core.status == CoroutineCore::Created) end(self, PYGEN_RETURN);
      Py_RETURN_NONE;
    }
    PyObject* exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exc) return nullptr;
    PyObject* out = nullptr;
    const PySendResult r = throw_in(self, exc, &out);
    Py_DECREF(exc);
    if (r == PYGEN_NEXT) {
      Py_DECREF(out);
      PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
      return nullptr;
    }
    if (r == PYGEN_RETURN) {
      Py_DECREF(out);
      Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopIteration)) {
      PyErr_Clear();
      Py_RETURN_NONE;
    }
    return nullptr;
  }

  static PyObject* get_running(PyObject* o, void*) noexcept {
    return PyBool_FromLong(as(o)->core.status == CoroutineCore::Running);
  }
  static PyObject* get_name(PyObject*, void*) noexcept { return PyUnicode_FromString(T::name); }
  static PyObject* get_qualname(PyObject*, void*) noexcept {
    return PyUnicode_FromString(T::qualname);
  }

  static int traverse(PyObject* o, visitproc visit, void* arg) noexcept {
    T* self = as(o);
    Py_VISIT(self->core.awaiting);
    Py_VISIT(Py_TYPE(o));
    return T::traverse(self, visit, arg);
  }

  static int clear(PyObject* o) noexcept {
    T* self = as(o);
    Py_CLEAR(self->core.awaiting);
    T::clear(self);
    return 0;
  }

  // Like a generator's finaliser: a body dropped while suspended is closed,
  // so its cleanup runs; then the body's own last step.
  static void finalize(PyObject* o) noexcept {
    T* self = as(o);
    Ref pending = PyErr_Occurred() ? fetch_error() : Ref();
    if (self->core.status == CoroutineCore::Suspended) {
      PyObject* r = close_method(o, nullptr);
      if (r) {
        Py_DECREF(r);
      } else {
        PyErr_WriteUnraisable(o);
      }
    }
    T::finalize(self);
    if (PyErr_Occurred()) PyErr_WriteUnraisable(o);
    if (pending) restore_error(std::move(pending));
  }

  static void dealloc(PyObject* o) noexcept {
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    if (as(o)->core.weakrefs) PyObject_ClearWeakRefs(o);
    clear(o);
    tp->tp_free(o);
    Py_DECREF(tp);
  }

  static inline PyMethodDef methods[] = {
      {"send", send_method, METH_O,
       "send(value) -> send 'value' into the coroutine,\nreturn next yielded value or raise "
       "StopIteration."},
      {"throw", as_cfunction(&throw_method), METH_FASTCALL,
       "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return "
       "next yielded value or raise\nStopIteration."},
      {"close", close_method, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
      {nullptr, nullptr, 0, nullptr},
  };

  static inline PyGetSetDef getset[] = {
      {"cr_running", get_running, nullptr, nullptr, nullptr},
      {"__name__", get_name, nullptr, nullptr, nullptr},
      {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };

  static inline PyMemberDef members[] = {
      {"__weaklistoffset__", QV_AWAITABLE_SSIZE,
       static_cast<Py_ssize_t>(offsetof(T, core) + offsetof(CoroutineCore, weakrefs)),
       QV_AWAITABLE_READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };

  // The slots of a coroutine-protocol type, followed by `extra` (the type's
  // own: tp_doc, tp_call, ...) and the terminating row. PyType_FromSpec copies
  // them, so the list may be a temporary.
  static std::vector<PyType_Slot> slots(std::initializer_list<PyType_Slot> extra) {
    std::vector<PyType_Slot> v = {
        {Py_am_await, reinterpret_cast<void*>(&am_await)},
        {Py_am_send, reinterpret_cast<void*>(&am_send)},
        {Py_tp_iternext, reinterpret_cast<void*>(&iternext)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_members, members},
        {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&clear)},
        {Py_tp_finalize, reinterpret_cast<void*>(&finalize)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    };
    v.insert(v.end(), extra.begin(), extra.end());
    v.push_back({0, nullptr});
    return v;
  }
};

}  // namespace qv
