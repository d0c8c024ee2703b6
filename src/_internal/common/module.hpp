// How an extension module of this package starts and how its entry points
// meet the interpreter: multi-phase initialisation with the module's Python
// objects in module state, one fast-call entry shape that names each function
// once, heap types described by slot tables, and exceptions raised with a cause.
//
// A module source unit declares
//
//   struct State : qv::ModuleState {
//     PyObject* system = nullptr;   // borrowed from the state's owned set
//     void init(PyObject* module);  // builds the objects, adds attributes
//   };
//   Ref build_x(qv::Call& call);    // an entry point's body
//
//   PyMethodDef methods[] = {
//       qv::fastcall_method<"build_x", build_x>(build_x_doc),
//       qv::kMethodsEnd,
//   };
//   qv::ModuleDef<State> module{"quorvane._internal.x", module_doc, methods};
//   QV_MODULE_INIT(x, module)
//
// and inside an entry point reads its state with `call.state<State>()`.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "_internal/common/args.hpp"
#include "_internal/common/compat.hpp"
#include "_internal/common/py.hpp"

namespace qv {

// ---------------------------------------------------------------------------
// Module state

// The Python objects one module instance owns. Objects are kept in one list
// so that garbage collection can visit and clear them without every module
// spelling out its members; a module's state struct derives from this and
// holds borrowed pointers to what it kept.
class ModuleState {
 public:
  ModuleState() = default;
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;

  // Takes ownership of `r` for the life of the module; returns it borrowed.
  PyObject* keep(Ref r) {
    PyObject* p = r.get();
    owned_.push_back(std::move(r));
    return p;
  }

  int traverse(visitproc visit, void* arg) const {
    for (const Ref& r : owned_) Py_VISIT(r.get());
    return 0;
  }

  // Drops every owned object (their destructors may run Python code, so the
  // list is emptied before the references go).
  void clear() noexcept {
    std::vector<Ref> dropped;
    dropped.swap(owned_);
  }

 private:
  std::vector<Ref> owned_;
};

// A module definition with state `State` (derived from ModuleState, default
// constructible, with `void init(PyObject* module)`). The module's memory
// holds one pointer to a C++ State built by the exec slot, so a module that
// failed before exec ran, or was never executed, frees nothing it lacks.
template <class State>
class ModuleDef {
 public:
  ModuleDef(const char* name, const char* doc, PyMethodDef* methods) noexcept {
    slots_[0] = {Py_mod_exec, reinterpret_cast<void*>(&exec)};
    slots_[1] = compat::interpreter_slot();
    slots_[2] = {0, nullptr};
    def_ = {PyModuleDef_HEAD_INIT,
            name,
            doc,
            static_cast<Py_ssize_t>(sizeof(State*)),
            methods,
            slots_,
            &traverse,
            &clear,
            &free};
  }
  ModuleDef(const ModuleDef&) = delete;
  ModuleDef& operator=(const ModuleDef&) = delete;

  PyObject* init() noexcept { return PyModuleDef_Init(&def_); }
  PyModuleDef* def() noexcept { return &def_; }

  // The state of a module object of this definition.
  static State& of(PyObject* module) noexcept { return *slot(module); }

 private:
  static State*& slot(PyObject* module) noexcept {
    return *static_cast<State**>(PyModule_GetState(module));
  }

  static int exec(PyObject* module) noexcept {
    return guard([&] {
      State*& s = slot(module);
      s = new State();
      s->init(module);
      return 0;
    });
  }
  static int traverse(PyObject* module, visitproc visit, void* arg) {
    State* s = slot(module);
    return s ? s->traverse(visit, arg) : 0;
  }
  static int clear(PyObject* module) {
    if (State* s = slot(module)) s->clear();
    return 0;
  }
  static void free(void* module) {
    State*& s = slot(static_cast<PyObject*>(module));
    delete s;
    s = nullptr;
  }

  PyModuleDef_Slot slots_[3];
  PyModuleDef def_;
};

// Declares PyInit_<name>, the module's one exported symbol.
#define QV_MODULE_INIT(name, module_def) \
  PyMODINIT_FUNC PyInit_##name() {       \
    return (module_def).init();          \
  }

// ---------------------------------------------------------------------------
// Entry points

// A string usable as a template argument, so an entry point's name is
// written once and reaches both its method table row and its error messages.
template <std::size_t N>
struct Name {
  char text[N];
  constexpr Name(const char (&s)[N]) noexcept {
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

// One fast call: the receiver (the module, or the instance for a method),
// the arguments, and the function's name for error messages.
struct Call {
  const char* func;
  PyObject* self;
  PyObject* const* args;
  Py_ssize_t nargsf;
  PyObject* kwnames;

  // Binds the arguments (see bind_args): out[i] is the argument for names[i],
  // borrowed from the caller (who keeps it alive for the call), or nullptr.
  // The first `required` must be given, the first `positional_only` cannot
  // be given by name, and names[keyword_only:] can only be given by name.
  template <std::size_t N>
  std::array<PyObject*, N> bind(const std::array<const char*, N>& names, std::size_t required,
                                std::size_t positional_only = 0,
                                std::size_t keyword_only = N) const {
    std::array<PyObject*, N> out;
    bind_args(func, args, nargsf, kwnames,
              Params<N>{names, required, positional_only, keyword_only}, out);
    return out;
  }

  // Refuses any argument (a method without parameters).
  void no_args() const { bind<0>({}, 0); }

  void require_str(const char* arg, PyObject* o) const { qv::require_str(func, arg, o); }
  void require_list(const char* arg, PyObject* o) const { qv::require_list(func, arg, o); }
  [[noreturn]] void raise_type(const char* arg, const char* expected, PyObject* got) const {
    raise_arg_type(func, arg, expected, got);
  }

  // The state of the module this function belongs to (module functions only).
  template <class State>
  State& state() const noexcept {
    return ModuleDef<State>::of(self);
  }
};

using FastBody = Ref (*)(Call&);

template <Name name, FastBody body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) noexcept {
  return guard([&] {
    Call call{name.text, self, args, nargsf, kwnames};
    return body(call).release();
  });
}

// The one cast a fast-call function needs to sit in a PyMethodDef.
template <class F>
PyCFunction as_cfunction(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A method table row for a METH_FASTCALL | METH_KEYWORDS function.
template <Name name, FastBody body>
constexpr PyMethodDef fastcall_method(const char* doc, int extra_flags = 0) noexcept {
  return {name.text, as_cfunction(&fastcall_entry<name, body>),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

inline constexpr PyMethodDef kMethodsEnd = {nullptr, nullptr, 0, nullptr};

// ---------------------------------------------------------------------------
// Heap types

// Creates a heap type from the slot table `type_def`, tied to `module` so
// its methods can find the module's state. The caller owns the type.
inline Ref make_type(PyObject* module, PyType_Spec* type_def, PyObject* bases = nullptr) {
  return own(PyType_FromModuleAndSpec(module, type_def, bases));
}

// The same, and the type is added to `module` under its short name.
inline PyTypeObject* add_type(PyObject* module, PyType_Spec* type_def, PyObject* bases = nullptr) {
  Ref t = make_type(module, type_def, bases);
  check(PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(t.get())));
  return reinterpret_cast<PyTypeObject*>(t.get());  // the module holds it
}

// The state of the module that defined `type` (or the nearest base of it
// that `def` defined), for the slots and methods of heap types.
template <class State>
State& type_state(PyTypeObject* type, ModuleDef<State>& def) {
  PyObject* m = compat::module_by_def(type, def.def());
  if (!m) throw_error_set();
  return ModuleDef<State>::of(m);
}

// The tp_dealloc of a garbage-collected heap type whose instances hold
// references released by `clear(self)`: untracks, clears, frees, and drops
// the instance's reference to its type.
template <class T, void (*clear)(T*)>
void gc_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  clear(reinterpret_cast<T*>(self));
  tp->tp_free(self);
  Py_DECREF(tp);
}

// ---------------------------------------------------------------------------
// Errors

// Raises exc(message) with `cause` as its __cause__ (as `raise ... from
// cause` does; __suppress_context__ becomes true) and unwinds.
[[noreturn]] inline void raise_from(PyObject* exc_type, PyObject* message, PyObject* cause) {
  Ref exc = own(PyObject_CallOneArg(exc_type, message));
  PyException_SetCause(exc.get(), Py_XNewRef(cause));  // steals the reference
  if (cause) PyException_SetContext(exc.get(), Py_NewRef(cause));
  PyErr_SetObject(exc_type, exc.get());
  throw_error_set();
}

}  // namespace qv
