// quorvane._internal.trellan: a concurrency-limited queue of named asyncio
// jobs, each optionally started only after one earlier job succeeded.
//
// Every submission is one task body (`Body`), a small native awaitable that
// asyncio runs as the task's coroutine. It drives one sub-awaitable at a time
// through PyIter_Send and forwards throw() and close() to it: the wait for
// the predecessor, then semaphore.acquire(), then the job, with
// semaphore.release() on every way out. Its bound `_on_done` is the task's
// completion callback (asyncio's debug mode refuses a coroutine as a
// callback). wait_all() returns the same kind of awaitable.
#include <array>
#include <cmath>
#include <utility>

#include "_internal/common/compat.hpp"
#include "_internal/common/module.hpp"
#include "_internal/common/py.hpp"

namespace {

using qv::own;
using qv::Ref;

struct State : qv::ModuleState {
  PyTypeObject* body_type = nullptr;
  // from asyncio and collections.abc
  PyObject *get_running_loop = nullptr, *semaphore_type = nullptr, *shield = nullptr;
  PyObject *future_type = nullptr, *wait = nullptr, *cancelled_error = nullptr;
  PyObject* coroutine_abc = nullptr;
  // every attribute name the queue looks up, interned (see qv::interned), and
  // keyword tuples
  PyObject *s_acquire = nullptr, *s_add_done_callback = nullptr, *s_cancel = nullptr;
  PyObject *s_cancelled = nullptr, *s_close = nullptr, *s_co_flags = nullptr;
  PyObject *s_cr_await = nullptr, *s_create_task = nullptr, *s_done = nullptr;
  PyObject *s_get_coro = nullptr, *s_get_name = nullptr, *s_gi_code = nullptr;
  PyObject *s_release = nullptr, *s_result = nullptr, *s_set_result = nullptr;
  PyObject *s_throw = nullptr, *s_value = nullptr;
  PyObject *kw_name = nullptr, *kw_timeout = nullptr;

  void init(PyObject* module);
};

Ref call_method(PyObject* o, PyObject* name) {
  return own(PyObject_CallMethodNoArgs(o, name));
}
Ref call_method(PyObject* o, PyObject* name, PyObject* arg) {
  return own(PyObject_CallMethodOneArg(o, name, arg));
}
bool truth(const Ref& r) {
  return qv::check(PyObject_IsTrue(r.get())) != 0;
}

// A plain str with the value of a str or str subclass, so the queue's keys
// and the task names never run a subclass's __hash__, __eq__ or __str__.
Ref exact_str(PyObject* s) {
  if (PyUnicode_CheckExact(s)) return Ref::borrow(s);
  return own(PyUnicode_FromObject(s));
}

// ---------------------------------------------------------------------------
// The queue
//
// Its references are cleared only by the collector, once it and everything
// that refers to it (its task bodies too) is garbage whose finalisers have
// run: no code reaches a cleared queue, so nothing tests for one.

struct Queue {
  PyObject_HEAD PyObject* semaphore;  // asyncio.Semaphore(max_concurrency)
  PyObject* tasks;                    // dict: name -> task, in submission order
  PyObject* max_concurrency;          // int
  PyObject* weakrefs;
  State* state;  // of the module that defined the type (which the type keeps alive)
};

Queue* as_queue(PyObject* o) {
  return reinterpret_cast<Queue*>(o);
}

// ---------------------------------------------------------------------------
// The awaitable: a task body, or what wait_all() returns

struct Body {
  PyObject_HEAD State* state;
  PyObject* queue;        // until the completion callback ran (wait_all's: always)
  PyObject* job;          // the submitted coroutine, until it started or was closed
  PyObject* after;        // the predecessor's name, or null
  PyObject* predecessor;  // its task, until its outcome was taken
  PyObject* timeout;      // wait_all's: a float or None
  PyObject* sub;          // the iterator driven while suspended; null otherwise
  PyObject* dependents;   // list of the futures dependents wait on, or null
  PyObject* weakrefs;
  enum Phase : unsigned char { Start, Predecessor, Acquire, Run, WaitStart, Wait, Done } phase;
  bool waits_all;  // wait_all's awaitable, not a task body
  bool running;    // inside send(), throw() or close()
};

Body* as_body(PyObject* o) {
  return reinterpret_cast<Body*>(o);
}

Ref new_body(State& st, PyObject* queue, bool waits_all) {
  Ref o = own(st.body_type->tp_alloc(st.body_type, 0));  // zero-filled
  Body* b = as_body(o.get());
  b->state = &st;
  b->queue = Py_NewRef(queue);
  b->waits_all = waits_all;
  b->phase = waits_all ? Body::WaitStart : Body::Start;
  return o;
}

// The iterator `await o` drives: a coroutine itself, else what __await__ gives.
Ref await_iter(Ref o) {
  if (PyCoro_CheckExact(o.get())) return o;
  const PyAsyncMethods* am = Py_TYPE(o.get())->tp_as_async;
  if (!am || !am->am_await) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 Py_TYPE(o.get())->tp_name);
    qv::throw_error_set();
  }
  return own(am->am_await(o.get()));
}

// Awaiting the predecessor raised `err`: a cancellation or an ordinary error
// becomes the body's own cancellation "Predecessor <after> failed" with `err`
// as its cause; anything else (KeyboardInterrupt, SystemExit, GeneratorExit)
// passes through unchanged.
[[noreturn]] void predecessor_failed(Body* b, Ref err) {
  State& st = *b->state;
  if (!PyErr_GivenExceptionMatches(err.get(), st.cancelled_error) &&
      !PyErr_GivenExceptionMatches(err.get(), PyExc_Exception)) {
    qv::compat::set_raised(err.release());
    qv::throw_error_set();
  }
  Ref message = own(PyUnicode_FromFormat("Predecessor %R failed", b->after));
  qv::raise_from(st.cancelled_error, message.get(), err.get());
}

// The finished predecessor's outcome as awaiting it gives it: an empty Ref
// if it succeeded, else the error its result() raised.
Ref predecessor_error(Body* b) {
  Ref pred = Ref::steal(std::exchange(b->predecessor, nullptr));
  PyObject* r = PyObject_CallMethodNoArgs(pred.get(), b->state->s_result);
  if (!r) return Ref::steal(qv::compat::take_raised());
  Py_DECREF(r);
  return Ref();
}

// Waits for the unfinished predecessor without passing a cancellation on to
// it. Its task normally runs a body of this module's, which resolves a future
// of the dependent's as it ends (see wake_dependents): the dependent wakes on
// the same turn of the loop as one awaiting the task itself, where
// asyncio.shield costs a turn and two Python callbacks per chain link. Any
// other task is awaited through the shield. Cancelling the dependent cancels
// only the future it waits on.
Ref wait_for_predecessor(Body* b) {
  State& st = *b->state;
  b->phase = Body::Predecessor;
  Ref coro = Ref::steal(PyObject_CallMethodNoArgs(b->predecessor, st.s_get_coro));
  if (!coro && !PyErr_ExceptionMatches(PyExc_AttributeError)) qv::throw_error_set();
  PyErr_Clear();  // a task factory's task need not have get_coro()
  if (!coro || !Py_IS_TYPE(coro.get(), st.body_type) || as_body(coro.get())->phase == Body::Done)
    return await_iter(own(PyObject_CallOneArg(st.shield, b->predecessor)));
  Body* p = as_body(coro.get());
  // asyncio.Future() takes the running loop; loop.create_future() would add a Python frame
  Ref wake = own(PyObject_CallNoArgs(st.future_type));
  if (!p->dependents) p->dependents = own(PyList_New(0)).release();
  qv::check(PyList_Append(p->dependents, wake.get()));
  return await_iter(std::move(wake));
}

// The body ended: resolves the futures its dependents wait on (a dependent
// cancelled meanwhile cancelled its own). They wake on the next turn of the
// loop, when this body's task has finished too. An error set stays set.
void wake_dependents(Body* b) noexcept {
  Ref pending = Ref::steal(qv::compat::take_raised());
  Ref futures = Ref::steal(std::exchange(b->dependents, nullptr));  // ours alone
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(futures.get()); ++i) {
    PyObject* f = PyList_GET_ITEM(futures.get(), i);
    if (qv::guard([&] {
          if (!truth(call_method(f, b->state->s_done)))
            call_method(f, b->state->s_set_result, Py_None);
          return 0;
        }) < 0)
      PyErr_WriteUnraisable(f);
  }
  qv::compat::set_raised(pending.release());
}

// One step of a body. `sent` is what its last await gave (null: the error
// set is what that await raised). Returns the iterator to drive next, or an
// empty Ref with `result` set when the body ends; raises to end it with an
// error. With `sent` null every phase raises; only the wait for the
// predecessor and the job's run have work to do on the way out.
Ref step(Body* b, PyObject* sent, Ref& result) {
  State& st = *b->state;
  if (!sent && b->phase != Body::Predecessor && b->phase != Body::Run) qv::throw_error_set();
  switch (b->phase) {
    case Body::Predecessor:
      if (!sent) {
        // The shield turns a cancelled predecessor into a fresh CancelledError;
        // the predecessor's own, which carries its cause, is the one to chain.
        Ref err = Ref::steal(qv::compat::take_raised());
        if (PyErr_GivenExceptionMatches(err.get(), st.cancelled_error) &&
            truth(call_method(b->predecessor, st.s_cancelled))) {
          if (Ref own_err = predecessor_error(b)) err = std::move(own_err);
        }
        predecessor_failed(b, std::move(err));
      }
      [[fallthrough]];  // woken: the predecessor's body ended, and normally its task
    case Body::Start:
      if (b->predecessor) {
        if (!truth(call_method(b->predecessor, st.s_done))) return wait_for_predecessor(b);
        if (Ref err = predecessor_error(b)) predecessor_failed(b, std::move(err));
      }
      b->phase = Body::Acquire;
      return call_method(as_queue(b->queue)->semaphore, st.s_acquire);
    case Body::Acquire:
      b->phase = Body::Run;
      // As the interpreter's own await refuses: a coroutine that another
      // frame is driving must not be stepped from here as well.
      if (!PyCoro_CheckExact(b->job) ||
          own(PyObject_GetAttr(b->job, st.s_cr_await)).get() == Py_None)
        return Ref::borrow(b->job);
      PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
      sent = nullptr;
      [[fallthrough]];
    case Body::Run: {
      // The unit goes back on every way out; the job's error stays the one
      // raised, unless the release itself fails.
      Ref pending = Ref::steal(qv::compat::take_raised());
      call_method(as_queue(b->queue)->semaphore, st.s_release);
      qv::compat::set_raised(pending.release());
      if (!sent) qv::throw_error_set();
      result = Ref::borrow(sent);
      return Ref();
    }
    case Body::WaitStart: {
      PyObject* tasks = as_queue(b->queue)->tasks;
      result = Ref::borrow(Py_None);
      if (PyDict_GET_SIZE(tasks) == 0) return Ref();
      b->phase = Body::Wait;
      Ref snapshot = own(PyDict_Values(tasks));
      PyObject* args[] = {snapshot.get(), b->timeout};
      return await_iter(own(PyObject_Vectorcall(st.wait, args, 1, st.kw_timeout)));
    }
    case Body::Wait:
      result = Ref::borrow(Py_None);
      return Ref();
    case Body::Done:
      break;
  }
  qv::raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
}

// The body ended. A job that reached the Run phase was handed over to be
// driven and is not the queue's to close any more.
PySendResult finish(Body* b, PySendResult r) noexcept {
  if (b->phase == Body::Run) Py_CLEAR(b->job);
  b->phase = Body::Done;
  Py_CLEAR(b->predecessor);
  Py_CLEAR(b->after);
  Py_CLEAR(b->timeout);
  if (b->dependents) wake_dependents(b);
  return r;
}

// Feeds what the last await gave (`sent`, or null with the error set) to the
// body and drives what it awaits next, until that suspends or the body ends.
PySendResult advance(Body* b, Ref sent, PyObject** out) noexcept {
  for (;;) {
    Ref next, result;
    if (qv::guard([&] {
          next = step(b, sent.get(), result);
          return 0;
        }) < 0)
      return finish(b, PYGEN_ERROR);
    if (!next) {
      *out = result.release();
      return finish(b, PYGEN_RETURN);
    }
    PyObject* res = nullptr;
    const PySendResult r = PyIter_Send(next.get(), Py_None, &res);
    if (r == PYGEN_NEXT) {
      b->sub = next.release();
      *out = res;
      return r;
    }
    sent = Ref::steal(res);  // null on error
  }
}

// What send(), throw() and close() hand to the sub-awaitable.
enum class How { Send, Throw, Close };

// Resumes the body at its suspension point with `arg` (the value sent, or
// the exception instance thrown) and drives it until it suspends or ends,
// as PyIter_Send reports. A body that has not started, sent None, starts;
// thrown into or closed, it ends without running (throw raises `arg`). A
// close always ends with an error: what closing the sub-awaitable raised,
// else GeneratorExit.
PySendResult resume(Body* b, How how, PyObject* arg, PyObject** out) noexcept {
  *out = nullptr;
  if (b->running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
  }
  if (how == How::Send && !b->sub && arg != Py_None && b->phase != Body::Done) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
  }
  b->running = true;
  Ref sub = Ref::steal(std::exchange(b->sub, nullptr));
  PyObject* res = nullptr;
  PySendResult r = PYGEN_RETURN;
  if (how == How::Send && sub) {
    r = PyIter_Send(sub.get(), arg, &res);
  } else if (how == How::Send) {
    res = Py_NewRef(Py_None);  // starts (or, ended, raises that it cannot reuse)
  } else if (how == How::Throw && !sub) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(arg)), arg);
  } else if (how == How::Throw) {
    res = PyObject_CallMethodOneArg(sub.get(), b->state->s_throw, arg);
    if (res) {
      r = PYGEN_NEXT;
    } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {  // it returned
      Ref stop = Ref::steal(qv::compat::take_raised());
      res = PyObject_GetAttr(stop.get(), b->state->s_value);  // None when it returned nothing
    }
  } else if (!sub || Ref::steal(PyObject_CallMethodNoArgs(sub.get(), b->state->s_close))) {
    PyErr_SetNone(PyExc_GeneratorExit);
  }
  if (r == PYGEN_NEXT) {
    b->sub = sub.release();
    *out = res;
  } else {
    r = advance(b, Ref::steal(res), out);
  }
  b->running = false;
  return r;
}

// resume() as a method reports it: a yielded value is returned, a return
// value leaves as a StopIteration instance built around it (so a tuple is
// carried whole, not taken as arguments).
PyObject* resume_method(PyObject* o, How how, PyObject* arg) noexcept {
  PyObject* out = nullptr;
  const PySendResult r = resume(as_body(o), how, arg, &out);
  if (r == PYGEN_NEXT) return out;
  if (r == PYGEN_RETURN) {
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, out);
    Py_DECREF(out);
    if (stop) {
      PyErr_SetObject(PyExc_StopIteration, stop);
      Py_DECREF(stop);
    }
  }
  return nullptr;
}

PySendResult body_send(PyObject* o, PyObject* value, PyObject** out) noexcept {
  return resume(as_body(o), How::Send, value, out);
}

PyObject* body_send_method(PyObject* o, PyObject* value) noexcept {
  return resume_method(o, How::Send, value);
}

PyObject* body_next(PyObject* o) noexcept {
  return resume_method(o, How::Send, Py_None);
}

// throw(exc): the one-argument form, an exception instance or class.
PyObject* body_throw(PyObject* o, PyObject* exc) noexcept {
  Ref instance = Ref::borrow(exc);
  if (PyExceptionClass_Check(exc)) instance = Ref::steal(PyObject_CallNoArgs(exc));
  if (!instance) return nullptr;
  if (!PyExceptionInstance_Check(instance.get())) {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(exc)->tp_name);
    return nullptr;
  }
  return resume_method(o, How::Throw, instance.get());
}

// close(): as a generator's, GeneratorExit and StopIteration count as closed.
PyObject* body_close(PyObject* o, PyObject*) noexcept {
  PyObject* out = nullptr;
  if (resume(as_body(o), How::Close, nullptr, &out) == PYGEN_ERROR &&
      !PyErr_ExceptionMatches(PyExc_GeneratorExit) && !PyErr_ExceptionMatches(PyExc_StopIteration))
    return nullptr;
  PyErr_Clear();
  Py_RETURN_NONE;
}

// The completion callback, bound to the body: body._on_done(task) drops
// `task`'s name from the queue and closes a job that never started. Runs its
// work once, after the body ended; other calls do nothing.
PyObject* on_done(PyObject* o, PyObject* task) noexcept {
  return qv::guard([&]() -> PyObject* {
    Body* b = as_body(o);
    if (!b->queue || b->phase != Body::Done) Py_RETURN_NONE;
    Ref queue = Ref::steal(std::exchange(b->queue, nullptr));
    Ref job = Ref::steal(std::exchange(b->job, nullptr));
    Ref name = call_method(task, b->state->s_get_name);
    if (PyDict_DelItem(as_queue(queue.get())->tasks, name.get()) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) qv::throw_error_set();
      PyErr_Clear();
    }
    if (job) call_method(job.get(), b->state->s_close);
    Py_RETURN_NONE;
  });
}

PyMethodDef on_done_def = {"_on_done", on_done, METH_O,
                           PyDoc_STR("The completion callback of the body's task.")};

// Like a generator's finaliser: a body dropped while suspended is closed, so
// its unit is given back, and a job it never started is closed, so it is
// discarded instead of warning that it was never awaited. The dependents
// hold its task, so they are garbage too: none is woken.
void body_finalize(PyObject* o) noexcept {
  Body* b = as_body(o);
  Ref pending = Ref::steal(qv::compat::take_raised());
  Py_CLEAR(b->dependents);
  // An ended body, as nearly all are by now, has nothing to close (and closing
  // one would raise and catch GeneratorExit for nothing).
  if (b->phase != Body::Done && !Ref::steal(body_close(o, nullptr))) PyErr_WriteUnraisable(o);
  if (b->job) {  // never started, as closing the body left it
    Ref job = Ref::steal(std::exchange(b->job, nullptr));
    if (!Ref::steal(PyObject_CallMethodNoArgs(job.get(), b->state->s_close)))
      PyErr_WriteUnraisable(job.get());
  }
  qv::compat::set_raised(pending.release());
}

// The references each type holds, for its collector slots below.
std::array<PyObject**, 3> refs_of(Queue* q) {
  return {&q->semaphore, &q->tasks, &q->max_concurrency};
}
std::array<PyObject**, 7> refs_of(Body* b) {
  return {&b->queue, &b->job, &b->after, &b->predecessor, &b->timeout, &b->sub, &b->dependents};
}

template <class T>
int traverse(PyObject* o, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(o));
  for (PyObject** p : refs_of(reinterpret_cast<T*>(o))) Py_VISIT(*p);
  return 0;
}

template <class T>
void clear_refs(T* x) {
  for (PyObject** p : refs_of(x)) Py_CLEAR(*p);
}

template <class T>
int clear(PyObject* o) {
  clear_refs(reinterpret_cast<T*>(o));
  return 0;
}

template <class T>
void dealloc(PyObject* o) {
  if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected by its finaliser
  if (reinterpret_cast<T*>(o)->weakrefs) PyObject_ClearWeakRefs(o);
  qv::gc_dealloc<T, clear_refs<T>>(o);
}

PyObject* body_await(PyObject* o) noexcept {
  return Py_NewRef(o);
}

// __qualname__, which asyncio shows in a task's repr.
PyObject* body_qualname(PyObject* o, void*) noexcept {
  return PyUnicode_FromString(as_body(o)->waits_all ? "Trellan.wait_all"
                                                    : "Trellan.submit.<locals>._wrapper");
}

PyMethodDef body_methods[] = {
    {"send", body_send_method, METH_O, "send(value) -> the next value yielded, or StopIteration."},
    {"throw", body_throw, METH_O, "throw(exc) -> raise exc at the suspension point."},
    {"close", body_close, METH_NOARGS, "close() -> raise GeneratorExit at the suspension point."},
    qv::kMethodsEnd,
};

PyGetSetDef body_getset[] = {
    {"__qualname__", body_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef body_members[] = {
    {"__weaklistoffset__", QV_MEMBER_SSIZE, offsetof(Body, weakrefs), QV_MEMBER_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot body_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("The coroutine a Trellan task runs, and what wait_all() returns.")},
    {Py_am_await, reinterpret_cast<void*>(&body_await)},
    {Py_am_send, reinterpret_cast<void*>(&body_send)},
    {Py_tp_iternext, reinterpret_cast<void*>(&body_next)},
    {Py_tp_methods, body_methods},
    {Py_tp_getset, body_getset},
    {Py_tp_members, body_members},
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse<Body>)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear<Body>)},
    {Py_tp_finalize, reinterpret_cast<void*>(&body_finalize)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Body>)},
    {0, nullptr},
};

PyType_Spec body_type_def = {
    "quorvane._internal.trellan._Body", sizeof(Body), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, body_slots};

// ---------------------------------------------------------------------------
// Trellan's methods

extern qv::ModuleDef<State> module_def;

constexpr const char* kTrellan = "Trellan";  // the constructor, as its errors name it

// max_concurrency as an int, by the library's number rule: an integer as it
// is, another real number with its fraction discarded, anything else refused.
Ref concurrency_limit(PyObject* v) {
  Ref n = qv::integer_value(v);
  if (!n) {
    if (!qv::is_real(v)) qv::raise_arg_type(kTrellan, "max_concurrency", "int", v);
    const PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
    if (!PyFloat_Check(v) && nb && nb->nb_int) {
      // Decimal, Fraction: __int__ truncates exactly, where a detour through
      // a double would round a large value or overflow.
      n = own(PyNumber_Long(v));
    } else {
      double d = 0;
      qv::real_value(v, d);
      n = own(PyLong_FromDouble(std::trunc(d)));  // ValueError for NaN, OverflowError for inf
    }
  }
  if (qv::check(PyObject_RichCompareBool(n.get(), own(PyLong_FromLong(1)).get(), Py_LT))) {
    PyErr_Format(PyExc_ValueError, "max_concurrency must be at least 1, not %R", n.get());
    qv::throw_error_set();
  }
  return n;
}

PyObject* queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return qv::guard([&]() -> PyObject* {
    std::array<PyObject*, 1> given;
    qv::bind_tuple_args(kTrellan, args, kwargs, qv::Params<1>{{"max_concurrency"}, 0}, given);
    State& st = qv::type_state<State>(type, module_def);
    Ref limit = given[0] ? concurrency_limit(Ref::borrow(given[0]).get()) : own(PyLong_FromLong(2));
    Ref semaphore = own(PyObject_CallOneArg(st.semaphore_type, limit.get()));
    Ref tasks = own(PyDict_New());
    Ref self = own(type->tp_alloc(type, 0));
    Queue* q = as_queue(self.get());
    q->state = &st;
    q->semaphore = semaphore.release();
    q->tasks = tasks.release();
    q->max_concurrency = limit.release();
    return self.release();
  });
}

// What the task body can run and close as a coroutine: a native coroutine, a
// generator made one by types.coroutine, or any collections.abc.Coroutine
// (__await__, send, throw and close), as C and Cython coroutines are.
bool is_coroutine(State& st, PyObject* job) {
  if (PyCoro_CheckExact(job)) return true;
  if (PyGen_Check(job)) {
    Ref code = own(PyObject_GetAttr(job, st.s_gi_code));
    // a code object's co_flags: an int, read without error
    const long flags = PyLong_AsLong(own(PyObject_GetAttr(code.get(), st.s_co_flags)).get());
    return (flags & CO_ITERABLE_COROUTINE) != 0;
  }
  return qv::check(PyObject_IsInstance(job, st.coroutine_abc)) != 0;
}

Ref submit(qv::Call& call) {
  auto [name_arg, job, after_arg] = call.bind<3>({"name", "coro", "after"}, 2, 0, 2);
  Queue* q = as_queue(call.self);  // held by the caller, its dict for good
  State& st = *q->state;
  // A job the queue could neither run nor close is refused before the queue
  // owns it; every other refused submission closes its job.
  if (!is_coroutine(st, job)) call.raise_type("coro", "coroutine", job);
  if (after_arg == Py_None) after_arg = nullptr;
  if (!PyUnicode_Check(name_arg) || (after_arg && !PyUnicode_Check(after_arg))) {
    call_method(job, st.s_close);
    if (!PyUnicode_Check(name_arg)) call.raise_type("name", "str", name_arg);
    call.raise_type("after", "str or None", after_arg);
  }
  auto refuse = [&](const char* format, PyObject* arg) {
    call_method(job, st.s_close);
    PyErr_Format(PyExc_ValueError, format, arg);
    qv::throw_error_set();
  };
  Ref name = exact_str(name_arg);
  Ref after = after_arg ? exact_str(after_arg) : Ref();
  PyObject* tasks = q->tasks;
  if (qv::check(PyDict_Contains(tasks, name.get())))
    refuse("Task %R already submitted", name.get());
  Ref predecessor;
  if (after) {
    predecessor = Ref::borrow(PyDict_GetItemWithError(tasks, after.get()));
    if (!predecessor && PyErr_Occurred()) qv::throw_error_set();
    if (!predecessor) refuse("Predecessor task %R not found", after.get());
  }

  // From here to the registration nothing suspends. With an eager task
  // factory the body may run, and even finish, inside create_task.
  Ref loop = own(PyObject_CallNoArgs(st.get_running_loop));
  Ref body = new_body(st, call.self, false);
  Body* b = as_body(body.get());
  b->job = Py_NewRef(job);
  b->after = after.release();
  b->predecessor = predecessor.release();
  PyObject* args[] = {loop.get(), body.get(), name.get()};
  PyObject* created = PyObject_VectorcallMethod(st.s_create_task, args, 2, st.kw_name);
  if (!created) {
    Py_CLEAR(b->job);  // refused by the loop: the job stays the caller's, open
    qv::throw_error_set();
  }
  Ref task = Ref::steal(created);
  qv::check(PyDict_SetItem(tasks, name.get(), task.get()));
  Ref callback = own(PyCFunction_NewEx(&on_done_def, body.get(), nullptr));
  call_method(task.get(), st.s_add_done_callback, callback.get());
  return task;
}

Ref cancel_all(qv::Call& call) {
  call.no_args();
  Queue* q = as_queue(call.self);
  State& st = *q->state;
  Ref snapshot = own(PyDict_Values(q->tasks));
  long count = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
    PyObject* task = PyList_GET_ITEM(snapshot.get(), i);  // the snapshot keeps it
    if (truth(call_method(task, st.s_done))) continue;
    call_method(task, st.s_cancel);
    ++count;
  }
  return own(PyLong_FromLong(count));
}

Ref wait_all(qv::Call& call) {
  auto [timeout_arg] = call.bind<1>({"timeout"}, 0);
  Queue* q = as_queue(call.self);
  Ref timeout = Ref::borrow(Py_None);
  if (timeout_arg && timeout_arg != Py_None) {
    double seconds = 0;
    if (!qv::real_value(timeout_arg, seconds))
      call.raise_type("timeout", "float or None", timeout_arg);
    timeout = own(PyFloat_FromDouble(seconds));
  }
  Ref w = new_body(*q->state, call.self, true);
  as_body(w.get())->timeout = timeout.release();
  return w;
}

PyObject* get_active_count(PyObject* o, void*) noexcept {
  return PyLong_FromSsize_t(PyDict_GET_SIZE(as_queue(o)->tasks));
}

// ---------------------------------------------------------------------------
// Type and module definitions

PyDoc_STRVAR(queue_doc,
             "Trellan(max_concurrency=2)\n"
             "--\n"
             "\n"
             "A concurrency-limited queue of named asyncio jobs.\n"
             "\n"
             "At most `max_concurrency` jobs execute at once; a job may name one earlier\n"
             "job that must succeed before it starts. The limit is an int, or another real\n"
             "number truncated toward zero (else TypeError); below 1 it raises ValueError.");

PyDoc_STRVAR(submit_doc,
             "submit($self, /, name, coro, *, after=None)\n"
             "--\n"
             "\n"
             "Run the coroutine `coro` as a task named `name` and return the task.\n"
             "\n"
             "The job starts once a unit of the limit is free and the task named `after`,\n"
             "if given, has succeeded. If that task fails or is cancelled, or this one is\n"
             "cancelled while waiting for it, this task ends with\n"
             "CancelledError(\"Predecessor 'after' failed\") from that error; the job\n"
             "never runs and the predecessor is not cancelled.\n"
             "\n"
             "ValueError if `name` is still tracked or `after` is not; TypeError for an\n"
             "argument of the wrong kind. `coro` is closed unless it is not a coroutine\n"
             "or no event loop is running.");

PyDoc_STRVAR(cancel_all_doc,
             "cancel_all($self, /)\n"
             "--\n"
             "\n"
             "Cancel every tracked task that is not done; return how many.");

PyDoc_STRVAR(wait_all_doc,
             "wait_all($self, /, timeout=None)\n"
             "--\n"
             "\n"
             "Return an awaitable that waits for the tasks tracked when it is awaited.\n"
             "\n"
             "It ends when they have all finished or after `timeout` seconds (a real\n"
             "number, or None for no limit) and returns None: it reports no timeout or\n"
             "failure and cancels nothing.");

PyMethodDef queue_methods[] = {
    qv::fastcall_method<"submit", submit>(submit_doc),
    qv::fastcall_method<"cancel_all", cancel_all>(cancel_all_doc),
    qv::fastcall_method<"wait_all", wait_all>(wait_all_doc),
    qv::kMethodsEnd,
};

PyMemberDef queue_members[] = {
    {"_semaphore", QV_MEMBER_OBJECT, offsetof(Queue, semaphore), QV_MEMBER_READONLY,
     "The asyncio.Semaphore holding one unit per job allowed to execute."},
    {"_tasks", QV_MEMBER_OBJECT, offsetof(Queue, tasks), QV_MEMBER_READONLY,
     "The tracked tasks: a dict from name to task, in submission order."},
    {"_max_concurrency", QV_MEMBER_OBJECT, offsetof(Queue, max_concurrency), QV_MEMBER_READONLY,
     "The limit the queue was built with."},
    {"__weaklistoffset__", QV_MEMBER_SSIZE, offsetof(Queue, weakrefs), QV_MEMBER_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef queue_getset[] = {
    {"active_count", get_active_count, nullptr,
     "The number of tracked tasks: waiting, executing, or finished with their\n"
     "completion callback still to run.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot queue_slots[] = {
    {Py_tp_doc, const_cast<char*>(queue_doc)},
    {Py_tp_new, reinterpret_cast<void*>(&queue_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Queue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse<Queue>)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear<Queue>)},
    {Py_tp_methods, queue_methods},
    {Py_tp_members, queue_members},
    {Py_tp_getset, queue_getset},
    {0, nullptr},
};

PyType_Spec queue_type_def = {"quorvane._internal.trellan.Trellan", sizeof(Queue), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, queue_slots};

PyDoc_STRVAR(module_doc,
             "The concurrency-limited task queue Trellan: named asyncio jobs, at most\n"
             "max_concurrency at a time, each optionally after one predecessor whose\n"
             "failure cancels it.\n"
             "\n"
             "logger\n"
             "    The logging.Logger named \"quorvane._internal.trellan\". The queue writes\n"
             "    no records to it: a job's failure shows only in its task.");

void State::init(PyObject* m) {
  Ref asyncio = own(PyImport_ImportModule("asyncio"));
  auto from = [&](PyObject* module, const char* attr) {
    return keep(own(PyObject_GetAttrString(module, attr)));
  };
  get_running_loop = from(asyncio.get(), "get_running_loop");
  semaphore_type = from(asyncio.get(), "Semaphore");
  shield = from(asyncio.get(), "shield");
  future_type = from(asyncio.get(), "Future");
  wait = from(asyncio.get(), "wait");
  cancelled_error = from(asyncio.get(), "CancelledError");
  coroutine_abc = from(own(PyImport_ImportModule("collections.abc")).get(), "Coroutine");

  const std::pair<PyObject**, const char*> names[] = {{&s_acquire, "acquire"},
                                                      {&s_add_done_callback, "add_done_callback"},
                                                      {&s_cancel, "cancel"},
                                                      {&s_cancelled, "cancelled"},
                                                      {&s_close, "close"},
                                                      {&s_co_flags, "co_flags"},
                                                      {&s_cr_await, "cr_await"},
                                                      {&s_create_task, "create_task"},
                                                      {&s_done, "done"},
                                                      {&s_get_coro, "get_coro"},
                                                      {&s_get_name, "get_name"},
                                                      {&s_gi_code, "gi_code"},
                                                      {&s_release, "release"},
                                                      {&s_result, "result"},
                                                      {&s_set_result, "set_result"},
                                                      {&s_throw, "throw"},
                                                      {&s_value, "value"}};
  for (const auto& [slot, text] : names) *slot = keep(qv::interned(text));
  kw_name = keep(own(Py_BuildValue("(s)", "name")));
  kw_timeout = keep(own(Py_BuildValue("(s)", "timeout")));

  qv::add_type(m, &queue_type_def);
  // The awaitable's type is not a module attribute; the state keeps it.
  body_type = reinterpret_cast<PyTypeObject*>(keep(qv::make_type(m, &body_type_def)));

  Ref logging = own(PyImport_ImportModule("logging"));
  qv::add_object(
      m, "logger",
      own(PyObject_CallMethod(logging.get(), "getLogger", "s", "quorvane._internal.trellan")));
  qv::add_object(m, "__all__", own(Py_BuildValue("[ss]", "Trellan", "logger")));
}

PyMethodDef module_methods[] = {qv::kMethodsEnd};

qv::ModuleDef<State> module_def{"quorvane._internal.trellan", module_doc, module_methods};

}  // namespace

QV_MODULE_INIT(trellan, module_def)
