// The parts of a frozen record that do not depend on its field count.
#include "_internal/common/frozen_record.hpp"

namespace qv::record {

PyObject* normalise(const char* record, const Field& f, PyObject* v) {
  switch (f.kind) {
    case Kind::Int:
      if (PyLong_CheckExact(v)) return Py_NewRef(v);
      if (PyBool_Check(v) || !PyIndex_Check(v)) raise_arg_type(record, f.name, "int", v);
      // PyNumber_Index gives an exact int on every supported version.
      return own(PyNumber_Index(v)).release();
    case Kind::Real: {
      if (PyFloat_CheckExact(v)) return Py_NewRef(v);
      if (PyBool_Check(v)) raise_arg_type(record, f.name, "float or int", v);
      double d;
      if (PyFloat_Check(v)) {
        d = PyFloat_AS_DOUBLE(v);
      } else if (PyLong_Check(v)) {
        d = PyLong_AsDouble(v);
      } else {
        const PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
        if (!nb || (!nb->nb_float && !nb->nb_index)) {
          raise_arg_type(record, f.name, "float or int", v);
        }
        d = PyFloat_AsDouble(v);
      }
      if (d == -1.0 && PyErr_Occurred()) throw_error_set();
      return own(PyFloat_FromDouble(d)).release();
    }
    case Kind::Truth:
      if (!PyBool_Check(v)) raise_arg_type(record, f.name, "bool", v);
      return Py_NewRef(v);
    case Kind::Text:
      if (v == Py_None || PyUnicode_CheckExact(v)) return Py_NewRef(v);
      if (!PyUnicode_Check(v)) raise_arg_type(record, f.name, "str or None", v);
      return own(PyUnicode_FromObject(v)).release();  // exact str copy of a subclass
  }
  raise(PyExc_SystemError, "record field of unknown kind");
}

Ref constant(Kind kind, double value, const char* text) {
  switch (kind) {
    case Kind::Int:
      return own(PyLong_FromLongLong(static_cast<long long>(value)));
    case Kind::Real:
      return own(PyFloat_FromDouble(value));
    case Kind::Truth:
      return own(PyBool_FromLong(value != 0));
    case Kind::Text:
      return text ? str_from_utf8(text) : Ref::borrow(Py_None);
  }
  raise(PyExc_SystemError, "record field of unknown kind");
}

Py_hash_t hash_values(PyObject* const* values, std::size_t n) {
#if SIZEOF_PY_UHASH_T > 4
  constexpr Py_uhash_t p1 = 11400714785074694791ULL;
  constexpr Py_uhash_t p2 = 14029467366897019727ULL;
  constexpr Py_uhash_t p5 = 2870177450012600261ULL;
  auto rotate = [](Py_uhash_t x) { return (x << 31) | (x >> 33); };
#else
  constexpr Py_uhash_t p1 = 2654435761UL;
  constexpr Py_uhash_t p2 = 2246822519UL;
  constexpr Py_uhash_t p5 = 374761393UL;
  auto rotate = [](Py_uhash_t x) { return (x << 13) | (x >> 19); };
#endif
  Py_uhash_t acc = p5;
  for (std::size_t i = 0; i < n; ++i) {
    const Py_hash_t h = PyObject_Hash(values[i]);
    if (h == -1) return -1;
    acc += static_cast<Py_uhash_t>(h) * p2;
    acc = rotate(acc);
    acc *= p1;
  }
  acc += n ^ (p5 ^ 3527539UL);
  if (acc == static_cast<Py_uhash_t>(-1)) return 1546275796;
  return static_cast<Py_hash_t>(acc);
}

std::string class_doc(const char* name, const Field* fields, PyObject* const* defaults,
                      std::size_t n, const char* body) {
  std::string doc = name;
  doc += '(';
  std::string scratch;
  for (std::size_t i = 0; i < n; ++i) {
    if (i) doc += ", ";
    doc += fields[i].name;
    doc += '=';
    Ref r = own(PyObject_Repr(defaults[i]));
    doc += utf8(r.get(), scratch);
  }
  doc += ")\n--\n\n";
  doc += body;
  return doc;
}

Ref add_dataclass_view(PyTypeObject* type, const char* name, const Field* fields,
                       PyObject* const* names, PyObject* const* defaults, std::size_t n) {
  Ref dataclasses = own(PyImport_ImportModule("dataclasses"));
  Ref frozen_error = own(PyObject_GetAttrString(dataclasses.get(), "FrozenInstanceError"));

  Ref optional_str = own(PyNumber_Or(reinterpret_cast<PyObject*>(&PyUnicode_Type), Py_None));
  Ref field_defs = own(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* tp = nullptr;
    switch (fields[i].kind) {
      case Kind::Int:
        tp = reinterpret_cast<PyObject*>(&PyLong_Type);
        break;
      case Kind::Real:
        tp = reinterpret_cast<PyObject*>(&PyFloat_Type);
        break;
      case Kind::Truth:
        tp = reinterpret_cast<PyObject*>(&PyBool_Type);
        break;
      case Kind::Text:
        tp = optional_str.get();
        break;
    }
    PyObject* field_def = own(PyTuple_Pack(3, names[i], tp, defaults[i])).release();
    PyList_SET_ITEM(field_defs.get(), static_cast<Py_ssize_t>(i), field_def);
  }
  Ref make = own(PyObject_GetAttrString(dataclasses.get(), "make_dataclass"));
  Ref args = own(Py_BuildValue("(sO)", name, field_defs.get()));
  Ref kwargs = own(Py_BuildValue("{sO}", "frozen", Py_True));
  Ref shadow = own(PyObject_Call(make.get(), args.get(), kwargs.get()));

  // The type is immutable to Python code, so its dict is filled directly.
  PyObject* dict = type->tp_dict;
  for (const char* attr : {"__dataclass_fields__", "__dataclass_params__"}) {
    Ref v = own(PyObject_GetAttrString(shadow.get(), attr));
    check(PyDict_SetItemString(dict, attr, v.get()));
  }
  Ref match_args = own(PyTuple_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; i < n; ++i) {
    PyTuple_SET_ITEM(match_args.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names[i]));
  }
  check(PyDict_SetItemString(dict, "__match_args__", match_args.get()));
  PyType_Modified(type);
  return frozen_error;
}

void set_signature_doc(PyTypeObject* type, const std::string& doc) {
  if (type->tp_doc && doc == type->tp_doc) return;
  auto* copy = static_cast<char*>(PyObject_Malloc(doc.size() + 1));
  if (!copy) {
    PyErr_NoMemory();
    throw_error_set();
  }
  std::memcpy(copy, doc.c_str(), doc.size() + 1);
  // A heap type frees its tp_doc with PyObject_Free.
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = copy;
}

void raise_unexpected(const char* init_name, PyObject* key) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", init_name, key);
  throw_error_set();
}

}  // namespace qv::record
