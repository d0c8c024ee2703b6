// The parts of a frozen record that do not depend on its field count.
#include "_internal/common/frozen_record.hpp"

namespace qv::record {

// The library's number rule (py.hpp): bool is an int, so a number field
// takes it (True is 1, or 1.0); a truth field takes only a bool.
PyObject* normalise(const char* record, const Field& f, PyObject* v) {
  switch (f.kind) {
    case Kind::Int: {
      Ref n = integer_value(v);
      if (!n) raise_arg_type(record, f.name, "int", v);
      return n.release();
    }
    case Kind::Real: {
      if (PyFloat_CheckExact(v)) return Py_NewRef(v);
      double d;
      if (!real_value(v, d)) raise_arg_type(record, f.name, "float or int", v);
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

Py_hash_t hash_values(PyObject* const* values, std::size_t n) noexcept {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(n));
  if (!t) return -1;
  PyObject_GC_UnTrack(t);
  for (std::size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), values[i]);
  const Py_hash_t h = PyObject_Hash(t);
  for (std::size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), nullptr);
  Py_DECREF(t);
  return h;
}

Ref mapping_copy(PyObject* m, const char* func) {
  Ref keys = Ref::steal(PyObject_GetAttr(m, interned("keys").get()));
  if (!keys) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s() argument 2 must be a mapping, not %.200s", func,
                 Py_TYPE(m)->tp_name);
    throw_error_set();
  }
  Ref d = own(PyDict_New());
  check(PyDict_Merge(d.get(), m, 1));
  return d;
}

namespace {

// record_type(**fields), for pydantic: a value the record refuses is a
// ValueError (which pydantic reports as a validation error) raised from the
// record's own TypeError (a wrong kind) or OverflowError (an int beyond a
// real field's range). Whatever a value's own __float__ raises propagates.
PyObject* from_fields(PyObject* type, PyObject* fields) noexcept {
  return guard([&] {
    Ref no_args = own(PyTuple_New(0));
    PyObject* record = PyObject_Call(type, no_args.get(), fields);
    if (!record &&
        (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_OverflowError))) {
      Ref error = Ref::steal(compat::take_raised());
      Ref message = own(PyObject_Str(error.get()));
      raise_from(PyExc_ValueError, message.get(), error.get());
    }
    return own(record).release();
  });
}

// A record passes as itself; anything else goes on to `handler`, the
// validation from a mapping of fields (a wrap validator, so a failure
// reports the mapping's own errors only).
PyObject* record_or_fields(PyObject* type, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guard([&] {
    if (nargs != 2) raise(PyExc_TypeError, "expected a value and a handler");
    if (Py_TYPE(args[0]) == reinterpret_cast<PyTypeObject*>(type)) return Py_NewRef(args[0]);
    return own(PyObject_CallOneArg(args[1], args[0])).release();
  });
}

PyMethodDef from_fields_def = {"from_fields", &from_fields, METH_O, nullptr};
PyMethodDef record_or_fields_def = {"record_or_fields", as_cfunction(&record_or_fields),
                                    METH_FASTCALL, nullptr};

}  // namespace

Ref pydantic_schema(PyObject* type, PyObject* const* names, std::size_t n, PyMethodDef* to_fields) {
  Ref cs = own(PyImport_ImportModule("pydantic_core.core_schema"));
  auto call = [&](const char* f, PyObject* args, PyObject* kwargs = nullptr) {
    Ref fn = own(PyObject_GetAttrString(cs.get(), f));
    return own(PyObject_Call(fn.get(), args, kwargs));
  };
  Ref no_args = own(PyTuple_New(0));
  // The shape: any subset of the fields, nothing else; each value is checked
  // by the record's own rules.
  Ref any = call("any_schema", no_args.get());
  Ref optional = own(Py_BuildValue("{sO}", "required", Py_False));
  Ref fields = own(PyDict_New());
  for (std::size_t i = 0; i < n; ++i) {
    Ref field = call("typed_dict_field", own(PyTuple_Pack(1, any.get())).get(), optional.get());
    check(PyDict_SetItem(fields.get(), names[i], field.get()));
  }
  Ref shape =
      call("typed_dict_schema", own(PyTuple_Pack(1, fields.get())).get(),
           own(Py_BuildValue("{sssO}", "extra_behavior", "forbid", "total", Py_False)).get());
  Ref make = own(PyCFunction_NewEx(&from_fields_def, type, nullptr));
  Ref build = call("no_info_plain_validator_function", own(PyTuple_Pack(1, make.get())).get());
  Ref from_data =
      call("chain_schema", own(Py_BuildValue("([OO])", shape.get(), build.get())).get());
  Ref pass = own(PyCFunction_NewEx(&record_or_fields_def, type, nullptr));
  Ref python = call("no_info_wrap_validator_function",
                    own(PyTuple_Pack(2, pass.get(), from_data.get())).get());
  Ref dump = own(PyCFunction_NewEx(to_fields, type, nullptr));
  Ref serialise =
      call("plain_serializer_function_ser_schema", own(PyTuple_Pack(1, dump.get())).get(),
           own(Py_BuildValue("{sO}", "return_schema", shape.get())).get());
  return call("json_or_python_schema", own(PyTuple_Pack(2, from_data.get(), python.get())).get(),
              own(Py_BuildValue("{sO}", "serialization", serialise.get())).get());
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

}  // namespace qv::record
