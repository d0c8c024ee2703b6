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
// frozen dataclass it stands in for, and pydantic's schema hook
// (__get_pydantic_core_schema__), since pydantic would otherwise take it for
// a dataclass with a __dict__. Instances hold only exact builtin values,
// which can never reach back to them, so the type stays out of garbage
// collection, and an instance computes its hash once and keeps it.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "_internal/common/args.hpp"
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
  KeywordTable<N> keywords;          // the field names, interned, and their positions
  PyObject* defaults[N] = {};        // one value per field
  PyObject* presets[P][N] = {};      // each preset's values
  Py_hash_t preset_hashes[P] = {};   // and their hash, computed once at load
  PyObject* frozen_error = nullptr;  // dataclasses.FrozenInstanceError
};

// ---------------------------------------------------------------------------
// The parts that do not depend on the field count (frozen_record.cpp)

// A new reference to `v` normalised to the kind of field `f` of record
// `record`; raises TypeError naming the field for a value of the wrong kind.
PyObject* normalise(const char* record, const Field& f, PyObject* v);

// The constant of a default or an override.
Ref constant(Kind kind, double value, const char* text);

// hash(tuple(values)), or -1 with an error set.
Py_hash_t hash_values(PyObject* const* values, std::size_t n) noexcept;

// A new dict copy of the non-dict mapping `m` (what ** accepts: an object
// with keys() and item access); `func` words the TypeError for anything else.
Ref mapping_copy(PyObject* m, const char* func);

// The pydantic core schema of record type `type`, whose field names are
// `names`: a mapping of field names validates into a record (an unknown
// name or a value of the wrong kind is a validation error), a record
// validates as itself, and `to_fields` (a METH_O function of the type)
// serialises one as the mapping of all its fields. pydantic_core is
// imported here, when pydantic asks, and never at module load.
Ref pydantic_schema(PyObject* type, PyObject* const* names, std::size_t n, PyMethodDef* to_fields);

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
    t.frozen_error = state.keep(
        add_dataclass_view(type, D::kName, D::kFields, t.keywords.names.data(), t.defaults, N));
  }

  // A copy of record `src` with the keyword arguments (names in `kwnames`,
  // values from `kwvalues`, which the caller keeps alive) replaced.
  static Ref replace_keywords(PyObject* src, PyObject* const* kwvalues, PyObject* kwnames) {
    const TablesT& t = D::tables(Py_TYPE(src));
    std::array<PyObject*, N> given;
    bind_args(D::kInitName, kwvalues, 0, kwnames, kParams, given, &t.keywords);
    return Ref::steal(build(t, given, values(src)));
  }

  // A copy of record `src` with the items of `mapping` replaced.
  static Ref replace_mapping(PyObject* src, PyObject* mapping, const char* func) {
    const TablesT& t = D::tables(Py_TYPE(src));
    Ref copied;
    if (!PyDict_Check(mapping)) {
      copied = mapping_copy(mapping, func);
      mapping = copied.get();
    }
    Ref no_args = own(PyTuple_New(0));
    std::array<PyObject*, N> given;
    bind_tuple_args(D::kInitName, no_args.get(), mapping, kParams, given, &t.keywords);
    return Ref::steal(build_held(t, given, values(src)));
  }

 private:
  static constexpr std::array<const char*, N> field_names() {
    std::array<const char*, N> names{};
    for (std::size_t i = 0; i < N; ++i) names[i] = D::kFields[i].name;
    return names;
  }

  // Construction's parameters: every field, by position or by name.
  static constexpr Params<N> kParams{field_names(), 0, 0, N, true};

  static TablesT& tables_of(PyObject* o) noexcept { return D::tables(Py_TYPE(o)); }

  static void build_tables(ModuleState& state, TablesT& t) {
    Ref positions = own(PyDict_New());
    for (std::size_t i = 0; i < N; ++i) {
      const Field& f = D::kFields[i];
      t.keywords.names[i] = state.keep(interned(f.name));
      check(PyDict_SetItem(positions.get(), t.keywords.names[i], own(PyLong_FromSize_t(i)).get()));
      t.defaults[i] = state.keep(constant(f.kind, f.value, nullptr));
    }
    t.keywords.positions = state.keep(std::move(positions));
    for (std::size_t k = 0; k < P; ++k) {
      for (std::size_t i = 0; i < N; ++i) t.presets[k][i] = t.defaults[i];
      for (std::size_t j = 0; j < D::kPresets[k].count; ++j) {
        const Override& o = D::kPresets[k].overrides[j];
        std::size_t i = 0;
        while (i < N && std::strcmp(D::kFields[i].name, o.field) != 0) ++i;
        if (i == N) raise(PyExc_SystemError, "record preset names an unknown field");
        t.presets[k][i] = state.keep(constant(D::kFields[i].kind, o.value, o.text));
      }
      // Every profile a factory makes holds these very values, so it starts
      // with their hash instead of computing it again.
      t.preset_hashes[k] = hash_values(t.presets[k], N);
      if (t.preset_hashes[k] == -1) throw_error_set();
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

  // build() for values borrowed from a dict that converting one value may
  // edit (Type(**d) can pass the caller's own d): each is held until the
  // record is built.
  static PyObject* build_held(const TablesT& t, const std::array<PyObject*, N>& given,
                              PyObject* const* base) {
    struct Held {
      std::array<PyObject*, N> values;
      std::size_t count = 0;
      ~Held() {
        for (std::size_t k = 0; k < count; ++k) Py_DECREF(values[k]);
      }
    } held;
    for (PyObject* v : given) {
      if (v) held.values[held.count++] = Py_NewRef(v);
    }
    return build(t, given, base);
  }

  // Construction binds every argument to its field before converting any
  // value, so a wrong name or a doubled value is reported ahead of a
  // conversion error, as a dataclass reports it.
  static PyObject* vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    return guard([&] {
      const TablesT& t = D::tables(reinterpret_cast<PyTypeObject*>(type));
      // Borrowed: the caller's arguments outlive the call.
      std::array<PyObject*, N> given;
      bind_args(D::kInitName, args, static_cast<Py_ssize_t>(nargsf), kwnames, kParams, given,
                &t.keywords);
      return build(t, given, t.defaults);
    });
  }

  // Type.__new__(Type, *args, **kwds). `kwds` can be the caller's own dict
  // (`Type.__new__(Type, **d)` passes d through unchanged).
  static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return guard([&] {
      const TablesT& t = D::tables(type);
      std::array<PyObject*, N> given;
      bind_tuple_args(D::kInitName, args, kwds, kParams, given, &t.keywords);
      return build_held(t, given, t.defaults);
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

  // __replace__(self, /, **changes): the changes bind as construction binds.
  static Ref replace_method(Call& call) {
    std::array<PyObject*, 0> none;
    bind_args(call.func, call.args, call.nargsf, nullptr, Params<0>{{}, 0, 0, 0}, none);
    return replace_keywords(call.self, call.args, call.kwnames);
  }

  // The serialised form pydantic gives a record: the dict of its fields, as
  // dataclasses.asdict gives it (every value is an immutable builtin).
  static PyObject* to_fields(PyObject* type, PyObject* record) noexcept {
    return guard([&] {
      if (Py_TYPE(record) != reinterpret_cast<PyTypeObject*>(type)) {
        PyErr_Format(PyExc_TypeError, "expected %s, not %.200s", D::kName,
                     Py_TYPE(record)->tp_name);
        throw_error_set();
      }
      const TablesT& t = tables_of(record);
      Ref d = own(PyDict_New());
      for (std::size_t i = 0; i < N; ++i) {
        check(PyDict_SetItem(d.get(), t.keywords.names[i], values(record)[i]));
      }
      return d.release();
    });
  }

  static inline PyMethodDef to_fields_def_ = {"fields_of", &to_fields, METH_O, nullptr};

  static Ref pydantic_hook(Call& call) {
    std::array<PyObject*, 2> given;
    bind_args(call.func, call.args, call.nargsf, call.kwnames,
              Params<2>{{"source", "handler"}, 2, 2, 2}, given);
    const TablesT& t = D::tables(reinterpret_cast<PyTypeObject*>(call.self));
    return pydantic_schema(call.self, t.keywords.names.data(), N, &to_fields_def_);
  }

  template <std::size_t K>
  static PyObject* factory(PyObject* cls, PyObject*) noexcept {
    return guard([&] {
      auto* type = reinterpret_cast<PyTypeObject*>(cls);
      const TablesT& t = D::tables(type);
      PyObject* self = copy(type, t.presets[K]);
      as(self)->hash = t.preset_hashes[K];
      return self;
    });
  }

  template <std::size_t... K>
  static std::array<PyMethodDef, P + 4> make_methods(std::index_sequence<K...>) {
    return {{
        {D::kPresets[K].name, &factory<K>, METH_CLASS | METH_NOARGS, D::kPresets[K].doc}...,
        fastcall_method<"__replace__", replace_method>(D::kReplaceDoc),
        fastcall_method<"__get_pydantic_core_schema__", pydantic_hook>(kPydanticDoc, METH_CLASS),
        {"__reduce__", &reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickle support."},
        kMethodsEnd,
    }};
  }

  // The type keeps a pointer to its method table for its whole life.
  static constexpr const char* kPydanticDoc =
      "__get_pydantic_core_schema__($cls, source, handler, /)\n--\n\n"
      "pydantic support: a record validates from a mapping of its fields and\n"
      "serialises as the dict of all of them.";

  static inline std::array<PyMethodDef, P + 4> methods_ =
      make_methods(std::make_index_sequence<P>{});
};

}  // namespace qv::record
