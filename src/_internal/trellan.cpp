// quorvane._internal.trellan: a concurrency-limited queue of named asyncio
// jobs, each optionally started only after one earlier job succeeded.
//
// Every submission is one `_TaskBody`, the coroutine the task runs (a C++
// state machine on the shared coroutine protocol), and its bound method
// `_on_done`, the task's completion callback. The callback is a separate
// object because asyncio's debug mode refuses any callback that looks like a
// coroutine, and the body does. The body
//   1. waits for the predecessor, if any, without passing a cancellation on
//      to it: the Task waits on a future-like view of the predecessor
//      (PredecessorWait) whose cancellation leaves the predecessor alone,
//      as asyncio.shield's outer future does, at no extra loop turn;
//   2. acquires one unit of the queue's semaphore (awaiting acquire());
//   3. awaits the job, releasing the unit on every way out.
// The completion callback drops the task's entry from `_tasks` and closes the
// job, so a job that never started is discarded without running.
#include <array>
#include <cmath>

#include "_internal/common/awaitable.hpp"
#include "_internal/common/module.hpp"
#include "_internal/common/py.hpp"

namespace {

using qv::own;
using qv::Ref;

struct State : qv::ModuleState {
  PyTypeObject* queue_type = nullptr;
  PyTypeObject* body_type = nullptr;
  PyTypeObject* wait_type = nullptr;
  PyTypeObject* waiter_type = nullptr;

  // asyncio, looked up once
  PyObject* get_running_loop = nullptr;
  PyObject* semaphore_type = nullptr;
  PyObject* wait = nullptr;
  PyObject* cancelled_error = nullptr;

  // method names and keyword-name tuples
  PyObject* s_acquire = nullptr;
  PyObject* s_add_done_callback = nullptr;
  PyObject* s_call_soon = nullptr;
  PyObject* s_cancel = nullptr;
  PyObject* s_close = nullptr;
  PyObject* s_create_task = nullptr;
  PyObject* s_done = nullptr;
  PyObject* s_get_loop = nullptr;
  PyObject* s_get_name = nullptr;
  PyObject* s_release = nullptr;
  PyObject* s_remove_done_callback = nullptr;
  PyObject* s_result = nullptr;
  PyObject* kw_context = nullptr;
  PyObject* kw_name = nullptr;
  PyObject* kw_timeout = nullptr;

  void init(PyObject* module);
};

// o.name() / o.name(arg) for an interned method name.
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

extern qv::ModuleDef<State> module_def;

// A queue whose parts the collector already cleared (while tearing a cycle
// down) refuses to work.
Queue* live_queue(PyObject* o) {
  Queue* q = as_queue(o);
  if (!q->tasks) qv::raise(PyExc_RuntimeError, "Trellan object is not initialised");
  return q;
}

// ---------------------------------------------------------------------------
// The task body

struct TaskBody {
  PyObject_HEAD qv::CoroutineCore core;
  State* state;
  PyObject* queue;        // owned until the completion callback ran
  PyObject* job;          // the submitted coroutine, until closed or handed back
  PyObject* after;        // the predecessor's name, or null
  PyObject* predecessor;  // its task, until its outcome was taken
  PyObject* waiter;       // the PredecessorWait yielded while waiting for it
  enum Phase : unsigned char { Start, AwaitPredecessor, Acquire, Run, Done } phase;
  bool holds_unit;   // one semaphore unit is held
  bool owns_job;     // the runtime accepted the body: the queue owns the job
  bool job_started;  // the job was awaited
  bool job_ended;    // the job (a native coroutine) ran to its end

  static constexpr const char* name = "_wrapper";
  static constexpr const char* qualname = "Trellan.submit.<locals>._wrapper";

  static qv::Step resume(TaskBody* self, PyObject* sent);
  static int traverse(TaskBody* self, visitproc visit, void* arg);
  static void clear(TaskBody* self);
  static void finished(TaskBody* self);
  static void finalize(TaskBody* self);
};

using BodyProtocol = qv::Coroutine<TaskBody>;

// The queue's semaphore. The queue outlives its bodies except while the
// collector tears a cycle down, when it may already be cleared.
PyObject* semaphore_of(TaskBody* self) {
  PyObject* sem = self->queue ? as_queue(self->queue)->semaphore : nullptr;
  if (!sem) qv::raise(PyExc_RuntimeError, "the Trellan of this task is gone");
  return sem;
}

// The error currently set is what awaiting the predecessor raised: a
// cancellation or an ordinary error becomes the body's own cancellation
// "Predecessor <after> failed" with that error as its cause; anything else
// (KeyboardInterrupt, SystemExit, GeneratorExit) passes through unchanged.
[[noreturn]] void predecessor_failed(TaskBody* self) {
  State& st = *self->state;
  if (!PyErr_ExceptionMatches(st.cancelled_error) && !PyErr_ExceptionMatches(PyExc_Exception))
    qv::throw_error_set();
  Ref err = qv::fetch_error();
  Ref message = own(PyUnicode_FromFormat("Predecessor %R failed", self->after));
  qv::raise_from(st.cancelled_error, message.get(), err.get());
}

// The predecessor has finished: takes its outcome as awaiting it would.
void take_predecessor_outcome(TaskBody* self) {
  Ref pred = Ref::steal(std::exchange(self->predecessor, nullptr));
  PyObject* r = PyObject_CallMethodNoArgs(pred.get(), self->state->s_result);
  if (!r) predecessor_failed(self);
  Py_DECREF(r);
}

qv::Step acquire_unit(TaskBody* self) {
  self->phase = TaskBody::Acquire;
  return qv::Step::await_(call_method(semaphore_of(self), self->state->s_acquire));
}

// Gives the unit back; an error already set stays the one raised unless the
// release itself fails (then that error is raised, with it as context).
void release_unit(TaskBody* self, bool error_pending) {
  if (!self->holds_unit) return;
  self->holds_unit = false;
  auto release = [&] { call_method(semaphore_of(self), self->state->s_release); };
  if (error_pending) {
    qv::preserving_error(release);
  } else {
    release();
  }
}

// ---------------------------------------------------------------------------
// Waiting for the predecessor without passing a cancellation on

// What a waiting body hands to its Task instead of the predecessor: a
// future-like view of the predecessor. The Task registers its wake-up on it,
// which goes straight onto the predecessor, so the body wakes as soon as the
// predecessor finishes, just as when awaiting it directly. Cancelling the
// Task cancels this view, never the predecessor: the wake-up is taken off the
// predecessor and called with the view, whose result() then raises
// CancelledError, as asyncio.shield's outer future would.
struct PredecessorWait {
  PyObject_HEAD State* state;
  PyObject* predecessor;
  PyObject* callback;  // the Task's wake-up, once registered
  PyObject* context;   // its context, or null
  PyObject* message;   // the cancellation message, or null
  bool blocking;       // asyncio's `_asyncio_future_blocking` flag
  bool cancelled;
  bool detached;  // the wake-up was taken off the predecessor
};

PredecessorWait* as_waiter(PyObject* o) {
  return reinterpret_cast<PredecessorWait*>(o);
}

Ref new_waiter(State& st, PyObject* predecessor) {
  Ref w = own(st.waiter_type->tp_alloc(st.waiter_type, 0));
  PredecessorWait* self = as_waiter(w.get());
  self->state = &st;
  self->predecessor = Py_NewRef(predecessor);
  self->blocking = true;
  return w;
}

// Takes the Task's wake-up off the predecessor (the body stopped waiting
// through an error thrown in by someone else than the Task's wake-up).
void detach_waiter(PyObject* o) {
  PredecessorWait* self = as_waiter(o);
  if (self->detached || self->cancelled || !self->callback) return;
  self->detached = true;
  call_method(self->predecessor, self->state->s_remove_done_callback, self->callback);
}

PyObject* waiter_get_blocking(PyObject* o, void*) noexcept {
  return PyBool_FromLong(as_waiter(o)->blocking);
}

int waiter_set_blocking(PyObject* o, PyObject* v, void*) noexcept {
  if (!v) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete _asyncio_future_blocking");
    return -1;
  }
  const int t = PyObject_IsTrue(v);
  if (t < 0) return -1;
  as_waiter(o)->blocking = t != 0;
  return 0;
}

Ref waiter_get_loop(qv::Call& call) {
  call.no_args();
  PredecessorWait* self = as_waiter(call.self);
  return call_method(self->predecessor, self->state->s_get_loop);
}

Ref waiter_add_done_callback(qv::Call& call) {
  auto [fn, context] = call.bind<2>({"fn", "context"}, 1);
  PredecessorWait* self = as_waiter(call.self);
  if (context == Py_None) context = nullptr;
  if (!self->callback && !self->cancelled) {
    self->callback = Py_NewRef(fn);
    self->context = Py_XNewRef(context);
  }
  if (self->cancelled) {
    Ref loop = call_method(self->predecessor, self->state->s_get_loop);
    PyObject* args[] = {loop.get(), fn, call.self, context};
    return own(PyObject_VectorcallMethod(self->state->s_call_soon, args, 3,
                                         context ? self->state->kw_context : nullptr));
  }
  PyObject* args[] = {self->predecessor, fn, context};
  return own(PyObject_VectorcallMethod(self->state->s_add_done_callback, args, 2,
                                       context ? self->state->kw_context : nullptr));
}

Ref waiter_cancel(qv::Call& call) {
  auto [message] = call.bind<1>({"msg"}, 0);
  Ref self_ref = Ref::borrow(call.self);
  PredecessorWait* self = as_waiter(call.self);
  State& st = *self->state;
  if (self->cancelled || self->detached || !self->callback) return Ref::borrow(Py_False);
  Ref removed = call_method(self->predecessor, st.s_remove_done_callback, self->callback);
  // None removed: the predecessor finished and the wake-up is already on its
  // way; like a done future the view refuses, and the Task delivers the
  // cancellation when it wakes.
  if (!truth(removed)) return Ref::borrow(Py_False);
  self->cancelled = true;
  self->detached = true;
  self->message = (message && message != Py_None) ? Py_NewRef(message) : nullptr;
  Ref loop = call_method(self->predecessor, st.s_get_loop);
  PyObject* args[] = {loop.get(), self->callback, call.self, self->context};
  own(PyObject_VectorcallMethod(st.s_call_soon, args, 3, self->context ? st.kw_context : nullptr));
  return Ref::borrow(Py_True);
}

Ref waiter_result(qv::Call& call) {
  call.no_args();
  PredecessorWait* self = as_waiter(call.self);
  if (self->cancelled) {
    PyObject* exc = self->message ? PyObject_CallOneArg(self->state->cancelled_error, self->message)
                                  : PyObject_CallNoArgs(self->state->cancelled_error);
    if (!exc) qv::throw_error_set();
    qv::restore_error(Ref::steal(exc));
    qv::throw_error_set();
  }
  return call_method(self->predecessor, self->state->s_result);
}

Ref waiter_done(qv::Call& call) {
  call.no_args();
  PredecessorWait* self = as_waiter(call.self);
  if (self->cancelled) return Ref::borrow(Py_True);
  return call_method(self->predecessor, self->state->s_done);
}

Ref waiter_cancelled(qv::Call& call) {
  call.no_args();
  return Ref::borrow(as_waiter(call.self)->cancelled ? Py_True : Py_False);
}

int waiter_traverse(PyObject* o, visitproc visit, void* arg) {
  PredecessorWait* self = as_waiter(o);
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(self->predecessor);
  Py_VISIT(self->callback);
  Py_VISIT(self->context);
  Py_VISIT(self->message);
  return 0;
}

void waiter_clear_refs(PredecessorWait* self) {
  Py_CLEAR(self->predecessor);
  Py_CLEAR(self->callback);
  Py_CLEAR(self->context);
  Py_CLEAR(self->message);
}

int waiter_clear(PyObject* o) {
  waiter_clear_refs(as_waiter(o));
  return 0;
}

PyMethodDef waiter_methods[] = {
    qv::fastcall_method<"get_loop", waiter_get_loop>(nullptr),
    qv::fastcall_method<"add_done_callback", waiter_add_done_callback>(nullptr),
    qv::fastcall_method<"cancel", waiter_cancel>(nullptr),
    qv::fastcall_method<"result", waiter_result>(nullptr),
    qv::fastcall_method<"done", waiter_done>(nullptr),
    qv::fastcall_method<"cancelled", waiter_cancelled>(nullptr),
    qv::kMethodsEnd,
};

PyGetSetDef waiter_getset[] = {
    {"_asyncio_future_blocking", waiter_get_blocking, waiter_set_blocking, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot waiter_slots[] = {
    {Py_tp_doc, const_cast<char*>("A Trellan task's wait for its predecessor, as a future that\n"
                                  "cancelling the task cancels without touching the predecessor.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&qv::gc_dealloc<PredecessorWait, waiter_clear_refs>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&waiter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&waiter_clear)},
    {Py_tp_methods, waiter_methods},
    {Py_tp_getset, waiter_getset},
    {0, nullptr},
};

PyType_Spec waiter_type_def = {"quorvane._internal.trellan._PredecessorWait",
                               sizeof(PredecessorWait), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                               waiter_slots};

qv::Step TaskBody::resume(TaskBody* self, PyObject* sent) {
  State& st = *self->state;
  switch (self->phase) {
    case Start: {
      if (!self->queue) qv::raise(PyExc_RuntimeError, "task body already completed");
      if (!self->predecessor) return acquire_unit(self);
      if (truth(call_method(self->predecessor, st.s_done))) {
        take_predecessor_outcome(self);
        return acquire_unit(self);
      }
      self->waiter = new_waiter(st, self->predecessor).release();
      self->phase = AwaitPredecessor;
      return qv::Step::yield_(Ref::borrow(self->waiter));
    }
    case AwaitPredecessor: {
      // Woken by the predecessor's completion: sent None if it succeeded,
      // its error (or CancelledError) thrown in otherwise; or thrown the
      // cancellation of this task, which never reached the predecessor.
      Ref waiter = Ref::steal(std::exchange(self->waiter, nullptr));
      if (!sent) {
        qv::preserving_error([&] { detach_waiter(waiter.get()); });
        Py_CLEAR(self->predecessor);
        predecessor_failed(self);
      }
      Py_CLEAR(self->predecessor);
      return acquire_unit(self);
    }
    case Acquire:
      if (!sent) qv::throw_error_set();  // not acquired: nothing to give back
      self->holds_unit = true;
      self->phase = Run;
      self->job_started = true;
      self->job_ended = PyCoro_CheckExact(self->job);
      return qv::Step::await_(Ref::borrow(self->job));
    case Run:
      self->phase = Done;
      release_unit(self, sent == nullptr);
      if (!sent) qv::throw_error_set();
      return qv::Step::return_(Ref::borrow(sent));
    case Done:
      break;
  }
  qv::raise(PyExc_RuntimeError, "task body already completed");
}

int TaskBody::traverse(TaskBody* self, visitproc visit, void* arg) {
  Py_VISIT(self->queue);
  Py_VISIT(self->job);
  Py_VISIT(self->after);
  Py_VISIT(self->predecessor);
  Py_VISIT(self->waiter);
  return 0;
}

void TaskBody::clear(TaskBody* self) {
  Py_CLEAR(self->queue);
  Py_CLEAR(self->job);
  Py_CLEAR(self->after);
  Py_CLEAR(self->predecessor);
  Py_CLEAR(self->waiter);
}

void TaskBody::finished(TaskBody* self) {
  self->phase = Done;
  Py_CLEAR(self->after);
  Py_CLEAR(self->predecessor);
  Py_CLEAR(self->waiter);
}

// A body freed before its job started (its task never ran, and the
// completion callback never came) still closes the job it owns, so the job
// is discarded instead of warning that it was never awaited. When the
// collector frees body and job together it may finalize the job first, which
// then warns as any unawaited coroutine does.
void TaskBody::finalize(TaskBody* self) {
  if (!self->owns_job || !self->job || self->job_started) return;
  Ref job = Ref::steal(std::exchange(self->job, nullptr));
  PyObject* r = PyObject_CallMethodNoArgs(job.get(), self->state->s_close);
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_WriteUnraisable(job.get());
  }
}

// The completion callback: body._on_done(task) drops `task`'s name from the
// queue and closes the job. Runs its work once; later calls do nothing.
PyObject* on_done(PyObject* o, PyObject* task) noexcept {
  return qv::guard([&]() -> PyObject* {
    auto* self = reinterpret_cast<TaskBody*>(o);
    if (!self->queue || self->core.status != qv::CoroutineCore::Finished) Py_RETURN_NONE;
    Ref queue = Ref::steal(std::exchange(self->queue, nullptr));
    Ref job = Ref::steal(std::exchange(self->job, nullptr));
    Ref name = call_method(task, self->state->s_get_name);
    PyObject* tasks = as_queue(queue.get())->tasks;
    if (tasks && PyDict_DelItem(tasks, name.get()) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) qv::throw_error_set();
      PyErr_Clear();
    }
    if (job && !self->job_ended) call_method(job.get(), self->state->s_close);
    Py_RETURN_NONE;
  });
}

// Bound to one body at each submission; a table of C functions, not state.
PyMethodDef on_done_def = {"_on_done", on_done, METH_O,
                           "The completion callback of the task that runs this body."};

// ---------------------------------------------------------------------------
// wait_all's awaitable

struct WaitAll {
  PyObject_HEAD qv::CoroutineCore core;
  State* state;
  PyObject* queue;
  PyObject* timeout;  // float or None
  bool waiting;

  static constexpr const char* name = "wait_all";
  static constexpr const char* qualname = "Trellan.wait_all";

  static qv::Step resume(WaitAll* self, PyObject* sent) {
    if (self->waiting) {
      if (!sent) qv::throw_error_set();
      return qv::Step::return_(Ref::borrow(Py_None));
    }
    if (!self->queue) qv::raise(PyExc_RuntimeError, "the Trellan of this wait is gone");
    PyObject* tasks = live_queue(self->queue)->tasks;
    if (PyDict_GET_SIZE(tasks) == 0) return qv::Step::return_(Ref::borrow(Py_None));
    Ref snapshot = own(PyDict_Values(tasks));
    PyObject* args[] = {snapshot.get(), self->timeout};
    Ref waiting = own(PyObject_Vectorcall(self->state->wait, args, 1, self->state->kw_timeout));
    self->waiting = true;
    return qv::Step::await_(std::move(waiting));
  }
  static int traverse(WaitAll* self, visitproc visit, void* arg) {
    Py_VISIT(self->queue);
    Py_VISIT(self->timeout);
    return 0;
  }
  static void clear(WaitAll* self) {
    Py_CLEAR(self->queue);
    Py_CLEAR(self->timeout);
  }
  static void finished(WaitAll* self) { clear(self); }
  static void finalize(WaitAll*) {}
};

using WaitProtocol = qv::Coroutine<WaitAll>;

// ---------------------------------------------------------------------------
// Trellan's methods

// max_concurrency as an int: an int (or __index__) as it is, another real
// number with its fraction discarded; bool and anything else are refused.
Ref concurrency_limit(PyObject* v) {
  auto refuse = [&] { qv::raise_arg_type("Trellan", "max_concurrency", "int", v); };
  if (PyBool_Check(v)) refuse();
  Ref n;
  if (PyLong_CheckExact(v)) {
    n = Ref::borrow(v);
  } else if (PyIndex_Check(v)) {
    n = own(PyNumber_Index(v));
  } else {
    const PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
    if (!nb || !nb->nb_float) refuse();
    const double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) qv::throw_error_set();
    n = own(PyLong_FromDouble(std::trunc(d)));  // ValueError for NaN, OverflowError for inf
  }
  if (qv::check(PyObject_RichCompareBool(n.get(), qv::own(PyLong_FromLong(1)).get(), Py_LT))) {
    PyErr_Format(PyExc_ValueError, "max_concurrency must be at least 1, not %R", n.get());
    qv::throw_error_set();
  }
  return n;
}

PyObject* queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return qv::guard([&]() -> PyObject* {
    PyObject* arg = nullptr;
    static const char* kwlist[] = {"max_concurrency", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:Trellan", const_cast<char**>(kwlist), &arg))
      qv::throw_error_set();
    State& st = qv::type_state<State>(type, module_def);
    Ref limit = arg ? concurrency_limit(arg) : own(PyLong_FromLong(2));
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

int queue_traverse(PyObject* o, visitproc visit, void* arg) {
  Queue* q = as_queue(o);
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(q->semaphore);
  Py_VISIT(q->tasks);
  Py_VISIT(q->max_concurrency);
  return 0;
}

void queue_clear_refs(Queue* q) {
  Py_CLEAR(q->semaphore);
  Py_CLEAR(q->tasks);
  Py_CLEAR(q->max_concurrency);
}

int queue_clear(PyObject* o) {
  queue_clear_refs(as_queue(o));
  return 0;
}

void queue_dealloc(PyObject* o) {
  if (as_queue(o)->weakrefs) PyObject_ClearWeakRefs(o);
  qv::gc_dealloc<Queue, queue_clear_refs>(o);
}

void close_job(State& st, PyObject* job) {
  call_method(job, st.s_close);
}

Ref submit(qv::Call& call) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(static_cast<std::size_t>(call.nargsf));
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError, "submit() takes 2 positional arguments but %zd were given",
                 nargs);
    qv::throw_error_set();
  }
  auto [name_arg, job, after_arg] = call.bind<3>({"name", "coro", "after"}, 2);
  Ref self = Ref::borrow(call.self);
  Queue* q = live_queue(self.get());
  State& st = *q->state;
  if (after_arg == Py_None) after_arg = nullptr;
  // A submission refused for an argument's kind closes its job too: the
  // queue owns every job it is handed, whatever it then refuses.
  if (!PyUnicode_Check(name_arg)) {
    close_job(st, job);
    call.raise_type("name", "str", name_arg);
  }
  if (after_arg && !PyUnicode_Check(after_arg)) {
    close_job(st, job);
    call.raise_type("after", "str or None", after_arg);
  }
  Ref name = exact_str(name_arg);
  Ref after = after_arg ? exact_str(after_arg) : Ref();
  Ref tasks = Ref::borrow(q->tasks);

  if (qv::check(PyDict_Contains(tasks.get(), name.get()))) {
    close_job(st, job);
    PyErr_Format(PyExc_ValueError, "Task %R already submitted", name.get());
    qv::throw_error_set();
  }
  Ref predecessor;
  if (after) {
    predecessor = Ref::borrow(PyDict_GetItemWithError(tasks.get(), after.get()));
    if (!predecessor) {
      if (PyErr_Occurred()) qv::throw_error_set();
      close_job(st, job);
      PyErr_Format(PyExc_ValueError, "Predecessor task %R not found", after.get());
      qv::throw_error_set();
    }
  }

  Ref body = own(st.body_type->tp_alloc(st.body_type, 0));
  auto* b = reinterpret_cast<TaskBody*>(body.get());
  BodyProtocol::init(b);
  b->state = &st;
  b->queue = Py_NewRef(self.get());
  b->job = Py_NewRef(job);
  b->after = after.release();
  b->predecessor = predecessor.release();
  b->phase = TaskBody::Start;

  // From here to the registration nothing suspends. With an eager task
  // factory the body may run, and even finish, inside create_task.
  Ref loop = own(PyObject_CallNoArgs(st.get_running_loop));
  PyObject* args[] = {loop.get(), body.get(), name.get()};
  Ref task = own(PyObject_VectorcallMethod(st.s_create_task, args, 2, st.kw_name));
  b->owns_job = true;
  qv::check(PyDict_SetItem(tasks.get(), name.get(), task.get()));
  Ref callback = own(PyCFunction_New(&on_done_def, body.get()));
  call_method(task.get(), st.s_add_done_callback, callback.get());
  return task;
}

Ref cancel_all(qv::Call& call) {
  call.no_args();
  Queue* q = live_queue(call.self);
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

// timeout as a float, or None: any real number but bool.
Ref wait_timeout(qv::Call& call, PyObject* v) {
  if (!v || v == Py_None) return Ref::borrow(Py_None);
  if (PyFloat_CheckExact(v)) return Ref::borrow(v);
  const PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
  if (PyBool_Check(v) || !nb || (!nb->nb_float && !nb->nb_index))
    call.raise_type("timeout", "float or None", v);
  const double d = PyLong_Check(v) ? PyLong_AsDouble(v) : PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) qv::throw_error_set();
  return own(PyFloat_FromDouble(d));
}

Ref wait_all(qv::Call& call) {
  auto [timeout_arg] = call.bind<1>({"timeout"}, 0);
  Queue* q = live_queue(call.self);
  State& st = *q->state;
  Ref timeout = wait_timeout(call, timeout_arg);
  Ref w = own(st.wait_type->tp_alloc(st.wait_type, 0));
  auto* self = reinterpret_cast<WaitAll*>(w.get());
  WaitProtocol::init(self);
  self->state = &st;
  self->queue = Py_NewRef(call.self);
  self->timeout = timeout.release();
  return w;
}

PyObject* get_active_count(PyObject* o, void*) noexcept {
  return qv::guard(
      [&]() -> PyObject* { return PyLong_FromSsize_t(PyDict_GET_SIZE(live_queue(o)->tasks)); });
}

// ---------------------------------------------------------------------------
// Type and module definitions

PyDoc_STRVAR(queue_doc,
             "Trellan(max_concurrency=2)\n"
             "--\n"
             "\n"
             "A concurrency-limited queue of named asyncio jobs.\n"
             "\n"
             "At most `max_concurrency` submitted jobs execute at once; a job may name\n"
             "one earlier job that must finish successfully before it starts. Every\n"
             "task is tracked by name in `_tasks` until its completion callback has\n"
             "run.\n"
             "\n"
             "`max_concurrency` is an int; another real number is truncated toward\n"
             "zero, and anything else (bool included) raises TypeError. A limit below 1\n"
             "would leave every job waiting forever, so it raises ValueError.");

PyDoc_STRVAR(submit_doc,
             "submit($self, /, name, coro, *, after=None)\n"
             "--\n"
             "\n"
             "Run the coroutine `coro` as a task named `name` and return the task.\n"
             "\n"
             "The job starts once the task named `after` (if given) has finished\n"
             "successfully and a unit of the concurrency limit is free; the unit is\n"
             "held only while the job runs. If that predecessor fails or is cancelled,\n"
             "or this task is cancelled while it waits for it, the task ends with\n"
             "CancelledError(\"Predecessor 'after' failed\") caused by that error, its\n"
             "job never runs, and the predecessor is left running. A task cancelled\n"
             "before it first ran ends with a plain CancelledError.\n"
             "\n"
             "With an eager task factory (Python 3.12+) the job may start, and even\n"
             "finish, inside submit(); the task stays tracked until its completion\n"
             "callback runs on a later turn of the loop.\n"
             "\n"
             "Raises ValueError(\"Task 'name' already submitted\") if `name` is still\n"
             "tracked, and ValueError(\"Predecessor task 'after' not found\") if `after`\n"
             "is not; both close `coro` first. Without a running event loop the\n"
             "loop's RuntimeError is raised and `coro` is left open. TypeError if\n"
             "`name` is not a str or `after` not a str or None.");

PyDoc_STRVAR(cancel_all_doc,
             "cancel_all($self, /)\n"
             "--\n"
             "\n"
             "Cancel every tracked task that is not done; return how many were\n"
             "cancelled. Tasks leave the queue through their completion callbacks.");

PyDoc_STRVAR(wait_all_doc,
             "wait_all($self, /, timeout=None)\n"
             "--\n"
             "\n"
             "Return an awaitable that waits for the tasks tracked when it is awaited.\n"
             "\n"
             "It ends when they have all finished or after `timeout` seconds (a real\n"
             "number, or None for no limit), whichever comes first, and returns None.\n"
             "Timeouts, failed and cancelled tasks are not reported; nothing is\n"
             "cancelled. TypeError if `timeout` is not a real number or None.");

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
    {Py_tp_dealloc, reinterpret_cast<void*>(&queue_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&queue_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&queue_clear)},
    {Py_tp_methods, queue_methods},
    {Py_tp_members, queue_members},
    {Py_tp_getset, queue_getset},
    {0, nullptr},
};

PyType_Spec queue_type_def = {"quorvane._internal.trellan.Trellan", sizeof(Queue), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, queue_slots};

PyDoc_STRVAR(body_doc,
             "The coroutine a Trellan task runs: waits for the predecessor, takes a\n"
             "unit of the limit, runs the job. Its _on_done method, bound at submission,\n"
             "is the task's completion callback.");

PyDoc_STRVAR(wait_doc, "The awaitable returned by Trellan.wait_all().");

PyDoc_STRVAR(module_doc,
             "The concurrency-limited task queue Trellan: named asyncio jobs, at most\n"
             "max_concurrency at a time, each optionally after one predecessor whose\n"
             "failure cancels it.");

void State::init(PyObject* m) {
  Ref asyncio = own(PyImport_ImportModule("asyncio"));
  auto from_asyncio = [&](const char* attr) {
    return keep(own(PyObject_GetAttrString(asyncio.get(), attr)));
  };
  get_running_loop = from_asyncio("get_running_loop");
  semaphore_type = from_asyncio("Semaphore");
  wait = from_asyncio("wait");
  cancelled_error = from_asyncio("CancelledError");

  s_acquire = keep(qv::interned("acquire"));
  s_add_done_callback = keep(qv::interned("add_done_callback"));
  s_call_soon = keep(qv::interned("call_soon"));
  s_cancel = keep(qv::interned("cancel"));
  s_close = keep(qv::interned("close"));
  s_create_task = keep(qv::interned("create_task"));
  s_done = keep(qv::interned("done"));
  s_get_loop = keep(qv::interned("get_loop"));
  s_get_name = keep(qv::interned("get_name"));
  s_release = keep(qv::interned("release"));
  s_remove_done_callback = keep(qv::interned("remove_done_callback"));
  s_result = keep(qv::interned("result"));
  kw_context = keep(own(Py_BuildValue("(s)", "context")));
  kw_name = keep(own(Py_BuildValue("(s)", "name")));
  kw_timeout = keep(own(Py_BuildValue("(s)", "timeout")));

  queue_type = qv::add_type(m, &queue_type_def);

  // The task body, the wait and the predecessor view are not module
  // attributes; the state keeps them.
  auto make_type = [&](PyType_Spec& type_def) {
    return reinterpret_cast<PyTypeObject*>(keep(qv::make_type(m, &type_def)));
  };
  std::vector<PyType_Slot> body_slots = BodyProtocol::slots({
      {Py_tp_doc, const_cast<char*>(body_doc)},
  });
  PyType_Spec body_type_def = {"quorvane._internal.trellan._TaskBody", sizeof(TaskBody), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, body_slots.data()};
  body_type = make_type(body_type_def);
  std::vector<PyType_Slot> wait_slots = WaitProtocol::slots({
      {Py_tp_doc, const_cast<char*>(wait_doc)},
  });
  PyType_Spec wait_type_def = {"quorvane._internal.trellan._WaitAll", sizeof(WaitAll), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, wait_slots.data()};
  wait_type = make_type(wait_type_def);
  waiter_type = make_type(waiter_type_def);

  Ref logging = own(PyImport_ImportModule("logging"));
  qv::add_object(
      m, "logger",
      own(PyObject_CallMethod(logging.get(), "getLogger", "s", "quorvane._internal.trellan")));
  qv::add_object(m, "__all__", own(Py_BuildValue("[s]", "Trellan")));
}

PyMethodDef module_methods[] = {qv::kMethodsEnd};

qv::ModuleDef<State> module_def{"quorvane._internal.trellan", module_doc, module_methods};

}  // namespace

QV_MODULE_INIT(trellan, module_def)
