// Frozen records: an immutable type of typed fields, each held as its Python
// object in a fixed slot of the instance and read through a read-only member
// descriptor, so reading a field costs what reading a dataclass attribute
// costs. Values are normalised on the way in (exact int, exact float, bool,
// exact str or None) and never checked for range. The defaults and the
// presets (class-level factories without arguments) are built once per
// module; a factory call only copies a ready array of references.
//
// A record is described by a struct D with
//
//   static constexpr const char* kQualName;   // "package.module.Name"
//   static constexpr const char* kName;       // "Name", for messages
//   static constexpr const char* kInitName;   // "Name.__init__", for messages
//   static constexpr const char* kDocBody;    // the class docstring after its signature
//   static constexpr const char* kReplaceDoc; // __replace__'s docstring
//   static constexpr record::Field kFields[]; // in declaration order
//   static constexpr record::Preset kPresets[];
//   static record::Tables<N, P>& tables(PyTypeObject* type);
//
// and Record<D>::create(module, state, tables) makes the heap type. The type
// also carries a real `__dataclass_fields__`, so the `dataclasses` helpers
// (fields, asdict, astuple, replace, is_dataclass) treat an instance as the
// frozen dataclass it stands in for. Instances hold only exact builtin
// values, which can never reach back to them, so the type stays out of
// garbage collection, and an instance computes its hash once and keeps it.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "_internal/common/module.hpp"
#include "_internal/common/prompt.hpp"
#include "_internal/common/py.hpp"

namespace qv::record {

enum class Kind : unsigned char { Int, Real, Truth, Text };

struct Field {
  const char* name;
  Kind kind;
  double value;  // the default; integer defaults are small enough to be exact
  const char* doc;
};

// One field a preset sets: `value`, or for the text field `text` (nullptr
// stands for None).
struct Override {
  const char* field;
  double value;
  const char* text = nullptr;
};

// A class-level factory without arguments: the defaults with `overrides`.
struct Preset {
  const char* name;
  const char* doc;  // with its "name($cls, /)\n--\n\n" signature line
  const Override* overrides;
  std::size_t count;
};

// What one module instance holds for its record type. Every object here is
// owned by the module state (ModuleState::keep); the pointers are borrowed.
template <std::size_t N, std::size_t P>
struct Tables {
  PyTypeObject* type = nullptr;
  PyObject* names[N] = {};           // interned field names
  PyObject* index = nullptr;         // field name -> position
  PyObject* defaults[N] = {};        // one value per field
  PyObject* presets[P][N] = {};      // each preset's values
  PyObject* frozen_error = nullptr;  // dataclasses.FrozenInstanceError
};

// ---------------------------------------------------------------------------
// The parts that do not depend on the field count (frozen_record.cpp)

// A new reference to `v` normalised to the kind of field `f` of record
// `record`; raises TypeError naming the field for a value of the wrong kind.
PyObject* normalise(const char* record, const Field& f, PyObject* v);

// The constant of a default or an override.
Ref constant(Kind kind, double value, const char* text);

// The hash of the tuple of `values`, computed as tuple.__hash__ does it.
Py_hash_t hash_values(PyObject* const* values, std::size_t n);

// "Name(field=default, ...)\n--\n\n" followed by `body`: the class docstring,
// whose first line help() and inspect.signature() read.
std::string class_doc(const char* name, const Field* fields, PyObject* const* defaults,
                      std::size_t n, const char* body);

// Sets `__dataclass_fields__` and `__dataclass_params__` (those of a throwaway
// frozen dataclass with the same names, types and defaults) and
// `__match_args__` in the type's dict; returns dataclasses.FrozenInstanceError.
Ref add_dataclass_view(PyTypeObject* type, const char* name, const Field* fields,
                       PyObject* const* names, PyObject* const* defaults, std::size_t n);

// Puts the full docstring (signature line included) into tp_doc, where the
// interpreter looks for __text_signature__; some versions keep only the
// part after the signature for a heap type built from a slot table.
void set_signature_doc(PyTypeObject* type, const std::string& doc);

[[noreturn]] void raise_unexpected(const char* init_name, PyObject* key);

// Calls f(key, value) for every item of a non-dict mapping (what ** accepts:
// an object with keys() and item access), holding both for the call.
template <class F>
void each_mapping_item(PyObject* m, const char* func, F&& f) {
  Ref keys_method = Ref::steal(PyObject_GetAttrString(m, "keys"));
  if (!keys_method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s() argument 2 must be a mapping, not %.200s", func,
                 Py_TYPE(m)->tp_name);
    throw_error_set();
  }
  Ref keys = own(PyObject_CallNoArgs(keys_method.get()));
  Ref iter = own(PyObject_GetIter(keys.get()));
  while (Ref key = Ref::steal(PyIter_Next(iter.get()))) {
    Ref value = own(PyObject_GetItem(m, key.get()));
    f(key.get(), value.get());
  }
  if (PyErr_Occurred()) throw_error_set();
}

// Calls f(key, value) for every item of dict `d`, holding both for the call
// (f may run code that edits the dict).
template <class F>
void each_dict_item(PyObject* d, F&& f) {
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(d, &pos, &key, &value)) {
    Ref k = Ref::borrow(key);
    Ref v = Ref::borrow(value);
    f(k.get(), v.get());
  }
}

// ---------------------------------------------------------------------------
// The record type

template <class D>
class Record {
 public:
  static constexpr std::size_t N = std::size(D::kFields);
  static constexpr std::size_t P = std::size(D::kPresets);
  using TablesT = Tables<N, P>;

  struct Object {
    PyObject ob_base;  // what PyObject_HEAD declares
    PyObject* values[N];
    Py_hash_t hash;  // -1 until first asked for
    PyObject* weakrefs;
  };

  static Object* as(PyObject* o) noexcept { return reinterpret_cast<Object*>(o); }
  static PyObject* const* values(PyObject* o) noexcept { return as(o)->values; }

  // Builds the tables and the type, adds the type to `module` under its
  // short name, and keeps everything in `state`.
  static void create(PyObject* module, ModuleState& state, TablesT& t) {
    build_tables(state, t);
    const std::string doc = class_doc(D::kName, D::kFields, t.defaults, N, D::kDocBody);

    std::array<PyMemberDef, N + 2> members;
    for (std::size_t i = 0; i < N; ++i) {
      members[i] =
          PyMemberDef{D::kFields[i].name, QV_MEMBER_OBJECT,
                      static_cast<Py_ssize_t>(offsetof(Object, values) + i * sizeof(PyObject*)),
                      QV_MEMBER_READONLY, D::kFields[i].doc};
    }
    members[N] = PyMemberDef{"__weaklistoffset__", QV_MEMBER_SSIZE,
                             static_cast<Py_ssize_t>(offsetof(Object, weakrefs)),
                             QV_MEMBER_READONLY, nullptr};
    members[N + 1] = PyMemberDef{nullptr, 0, 0, 0, nullptr};

    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
        {Py_tp_free, reinterpret_cast<void*>(&PyObject_Free)},
        {Py_tp_repr, reinterpret_cast<void*>(&repr)},
        {Py_tp_hash, reinterpret_cast<void*>(&hash)},
        {Py_tp_setattro, reinterpret_cast<void*>(&setattro)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&richcompare)},
        {Py_tp_methods, methods_.data()},
        {Py_tp_members, members.data()},
        {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
        {0, nullptr},
    };
    // Not a base type: the record cannot be subclassed, so an instance's
    // type is always the one whose module holds its tables. Immutable, as a
    // static type is, which also lets the interpreter specialise calls.
    PyType_Spec type_def = {D::kQualName, static_cast<int>(sizeof(Object)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyTypeObject* type = add_type(module, &type_def);
    // The state holds the type too: deleting the module attribute must not
    // free what the module's functions still compare against.
    state.keep(Ref::borrow(reinterpret_cast<PyObject*>(type)));
    t.type = type;
    type->tp_vectorcall = &vectorcall;  // no type slot for it before 3.14
    set_signature_doc(type, doc);
    t.frozen_error =
        state.keep(add_dataclass_view(type, D::kName, D::kFields, t.names, t.defaults, N));
  }

  // A copy of record `src` with the keyword arguments (names in `kwnames`,
  // values from `kwvalues`, which the caller keeps alive) replaced.
  static Ref replace_keywords(PyObject* src, PyObject* const* kwvalues, PyObject* kwnames) {
    const TablesT& t = D::tables(Py_TYPE(src));
    std::array<PyObject*, N> given{};
    if (kwnames) {
      const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
      for (Py_ssize_t k = 0; k < nkw; ++k) {
        given[keyword_index(t, PyTuple_GET_ITEM(kwnames, k))] = kwvalues[k];
      }
    }
    return Ref::steal(build(t, given, values(src)));
  }

  // A copy of record `src` with the items of `mapping` replaced. Every value
  // is bound before any is converted, and held until converted, since
  // conversion code may edit the mapping.
  static Ref replace_mapping(PyObject* src, PyObject* mapping, const char* func) {
    const TablesT& t = D::tables(Py_TYPE(src));
    std::array<PyObject*, N> given{};
    std::array<Ref, N> held;
    auto bind = [&](PyObject* key, PyObject* value) {
      const std::size_t i = keyword_index(t, key);
      held[i] = Ref::borrow(value);
      given[i] = value;
    };
    if (PyDict_Check(mapping)) {
      each_dict_item(mapping, bind);
    } else {
      each_mapping_item(mapping, func, bind);
    }
    return Ref::steal(build(t, given, values(src)));
  }

 private:
  static TablesT& tables_of(PyObject* o) noexcept { return D::tables(Py_TYPE(o)); }

  static void build_tables(ModuleState& state, TablesT& t) {
    Ref index = own(PyDict_New());
    for (std::size_t i = 0; i < N; ++i) {
      const Field& f = D::kFields[i];
      t.names[i] = state.keep(interned(f.name));
      check(PyDict_SetItem(index.get(), t.names[i], own(PyLong_FromSize_t(i)).get()));
      t.defaults[i] = state.keep(constant(f.kind, f.value, nullptr));
    }
    t.index = state.keep(std::move(index));
    for (std::size_t k = 0; k < P; ++k) {
      for (std::size_t i = 0; i < N; ++i) t.presets[k][i] = t.defaults[i];
      for (std::size_t j = 0; j < D::kPresets[k].count; ++j) {
        const Override& o = D::kPresets[k].overrides[j];
        std::size_t i = 0;
        while (i < N && std::strcmp(D::kFields[i].name, o.field) != 0) ++i;
        if (i == N) raise(PyExc_SystemError, "record preset names an unknown field");
        t.presets[k][i] = state.keep(constant(D::kFields[i].kind, o.value, o.text));
      }
    }
  }

  // A new instance with every slot empty; the caller fills all of them.
  static Object* alloc(PyTypeObject* type) {
    void* mem = PyObject_Malloc(sizeof(Object));
    if (!mem) {
      PyErr_NoMemory();
      throw_error_set();
    }
    // PyObject_Init takes the reference to a heap type its instance holds.
    auto* self = reinterpret_cast<Object*>(PyObject_Init(static_cast<PyObject*>(mem), type));
    std::memset(self->values, 0, sizeof self->values);
    self->hash = -1;
    self->weakrefs = nullptr;
    return self;
  }

  // An instance holding new references to `values`.
  static PyObject* copy(PyTypeObject* type, PyObject* const* vals) {
    Object* self = alloc(type);
    for (std::size_t i = 0; i < N; ++i) self->values[i] = Py_NewRef(vals[i]);
    return reinterpret_cast<PyObject*>(self);
  }

  // Frees a half-built instance unless released.
  struct Building {
    Object* self;
    ~Building() { Py_XDECREF(reinterpret_cast<PyObject*>(self)); }
    PyObject* release() { return reinterpret_cast<PyObject*>(std::exchange(self, nullptr)); }
  };

  // A new instance holding the normalised given[i] where one was given and
  // base[i] elsewhere. Every given value must stay alive until converted.
  static PyObject* build(const TablesT& t, const std::array<PyObject*, N>& given,
                         PyObject* const* base) {
    Building b{alloc(t.type)};
    for (std::size_t i = 0; i < N; ++i) {
      b.self->values[i] =
          given[i] ? normalise(D::kName, D::kFields[i], given[i]) : Py_NewRef(base[i]);
    }
    return b.release();
  }

  // Position of keyword `key`; raises for a name the record does not have.
  static std::size_t keyword_index(const TablesT& t, PyObject* key) {
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
    for (std::size_t i = 0; i < N; ++i) {
      if (t.names[i] == key) return i;
    }
    PyObject* found = PyDict_GetItemWithError(t.index, key);
    if (!found) {
      if (PyErr_Occurred()) throw_error_set();
      raise_unexpected(D::kInitName, key);
    }
    return static_cast<std::size_t>(PyLong_AsSsize_t(found));
  }

  // Binds keyword `key` for construction, where giving a field twice is an
  // error; returns its position.
  static std::size_t bind_keyword(const TablesT& t, std::array<PyObject*, N>& given, PyObject* key,
                                  PyObject* value) {
    const std::size_t i = keyword_index(t, key);
    if (given[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", D::kInitName,
                   D::kFields[i].name);
      throw_error_set();
    }
    given[i] = value;
    return i;
  }

  static void bind_positional(std::array<PyObject*, N>& given, PyObject* const* args,
                              std::size_t nargs) {
    if (nargs > N) {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from 1 to %zu positional arguments but %zu were given", D::kInitName,
                   N + 1, nargs + 1);
      throw_error_set();
    }
    for (std::size_t i = 0; i < nargs; ++i) given[i] = args[i];
  }

  // Construction binds every argument to its field before converting any
  // value, so a wrong name or a doubled value is reported ahead of a
  // conversion error, as a dataclass reports it.
  static PyObject* vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    return guard([&] {
      const TablesT& t = D::tables(reinterpret_cast<PyTypeObject*>(type));
      const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
      // Borrowed: the caller's arguments outlive the call.
      std::array<PyObject*, N> given{};
      bind_positional(given, args, nargs);
      if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
          bind_keyword(t, given, PyTuple_GET_ITEM(kwnames, k),
                       args[nargs + static_cast<std::size_t>(k)]);
        }
      }
      return build(t, given, t.defaults);
    });
  }

  // Type.__new__(Type, *args, **kwds). `kwds` can be the caller's own dict
  // (`Type.__new__(Type, **d)` passes d through unchanged), which code run
  // by converting one value may edit, dropping the last reference to a
  // later value: each keyword value is held until the instance is built.
  static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return guard([&] {
      const TablesT& t = D::tables(type);
      std::array<PyObject*, N> given{};
      bind_positional(given, &PyTuple_GET_ITEM(args, 0),
                      static_cast<std::size_t>(PyTuple_GET_SIZE(args)));
      std::array<Ref, N> held;
      if (kwds) {
        each_dict_item(kwds, [&](PyObject* key, PyObject* value) {
          held[bind_keyword(t, given, key, value)] = Ref::borrow(value);
        });
      }
      return build(t, given, t.defaults);
    });
  }

  static void dealloc(PyObject* o) noexcept {
    PyTypeObject* type = Py_TYPE(o);
    Object* self = as(o);
    if (self->weakrefs) PyObject_ClearWeakRefs(o);
    for (std::size_t i = 0; i < N; ++i) Py_XDECREF(self->values[i]);
    type->tp_free(o);
    Py_DECREF(type);
  }

  static int setattro(PyObject* o, PyObject* name, PyObject* value) noexcept {
    PyErr_Format(tables_of(o).frozen_error,
                 value ? "cannot assign to field %R" : "cannot delete field %R", name);
    return -1;
  }

  // The first argument is always an instance of this type; instances of
  // another record type (or another module instance's) are not equal.
  static PyObject* richcompare(PyObject* a, PyObject* b, int op) noexcept {
    if (Py_TYPE(a) != Py_TYPE(b) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    bool equal = true;
    if (a != b) {
      for (std::size_t i = 0; i < N && equal; ++i) {
        // Exact builtin values: the comparison runs no user code.
        const int r = PyObject_RichCompareBool(values(a)[i], values(b)[i], Py_EQ);
        if (r < 0) return nullptr;
        equal = r != 0;
      }
    }
    return PyBool_FromLong((op == Py_EQ) == equal);
  }

  // The values never change, so their hash is computed once.
  static Py_hash_t hash(PyObject* o) noexcept {
    Object* self = as(o);
    if (self->hash == -1) self->hash = hash_values(self->values, N);
    return self->hash;
  }

  static PyObject* repr(PyObject* o) noexcept {
    return guard([&] {
      TextBuilder b;
      b.ascii(D::kName);
      b.ascii("(");
      for (std::size_t i = 0; i < N; ++i) {
        if (i) b.ascii(", ");
        b.ascii(D::kFields[i].name);
        b.ascii("=");
        b.str(own(PyObject_Repr(values(o)[i])));
      }
      b.ascii(")");
      return b.finish().release();
    });
  }

  static PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return guard([&] {
      Ref vals = own(PyTuple_New(static_cast<Py_ssize_t>(N)));
      for (std::size_t i = 0; i < N; ++i) {
        PyTuple_SET_ITEM(vals.get(), static_cast<Py_ssize_t>(i), Py_NewRef(values(self)[i]));
      }
      return Py_BuildValue("(ON)", reinterpret_cast<PyObject*>(Py_TYPE(self)), vals.release());
    });
  }

  static Ref replace_method(Call& call) {
    const auto nargs = PyVectorcall_NARGS(static_cast<size_t>(call.nargsf));
    if (nargs) {
      PyErr_Format(PyExc_TypeError,
                   "%s.__replace__() takes 0 positional arguments but %zd were given", D::kName,
                   nargs);
      throw_error_set();
    }
    return replace_keywords(call.self, call.args, call.kwnames);
  }

  template <std::size_t K>
  static PyObject* factory(PyObject* cls, PyObject*) noexcept {
    return guard([&] {
      auto* type = reinterpret_cast<PyTypeObject*>(cls);
      return copy(type, D::tables(type).presets[K]);
    });
  }

  template <std::size_t... K>
  static std::array<PyMethodDef, P + 3> make_methods(std::index_sequence<K...>) {
    return {{
        {D::kPresets[K].name, &factory<K>, METH_CLASS | METH_NOARGS, D::kPresets[K].doc}...,
        fastcall_method<"__replace__", replace_method>(D::kReplaceDoc),
        {"__reduce__", &reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickle support."},
        kMethodsEnd,
    }};
  }

  // The type keeps a pointer to its method table for its whole life.
  static inline std::array<PyMethodDef, P + 3> methods_ =
      make_methods(std::make_index_sequence<P>{});
};

}  // namespace qv::record
