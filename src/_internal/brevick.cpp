// quorvane._internal.brevick: the tuning-profile record.
//
// `Brevick` is a frozen record (common/frozen_record.hpp) of the 54 typed
// fields and six archetype presets listed in brevick_fields.hpp; this unit
// makes the type when the module is executed and offers the module-level
// copy-with-replacement `replace`.

#include <array>
#include <cstddef>

#include "_internal/brevick_fields.hpp"
#include "_internal/common/args.hpp"
#include "_internal/common/frozen_record.hpp"
#include "_internal/common/module.hpp"
#include "_internal/common/py.hpp"

namespace {

using qv::brevick::Profile;
using Record = qv::record::Record<Profile>;

struct State : qv::ModuleState {
  Profile::Tables record;

  void init(PyObject* module);
};

// replace(profile, changes=None, /, **fields): the keywords are the changes,
// bound by the record as construction binds them.
qv::Ref replace(qv::Call& call) {
  std::array<PyObject*, 2> given;
  qv::bind_args(call.func, call.args, call.nargsf, nullptr,
                qv::Params<2>{{"profile", "changes"}, 1, 2, 2}, given);
  PyObject* profile = given[0];
  if (Py_TYPE(profile) != call.state<State>().record.type) {
    PyErr_Format(PyExc_TypeError, "%s() argument 1 must be Brevick, not %.200s", call.func,
                 Py_TYPE(profile)->tp_name);
    qv::throw_error_set();
  }
  PyObject* changes = given[1] ? given[1] : Py_None;
  const auto nargs = PyVectorcall_NARGS(static_cast<std::size_t>(call.nargsf));
  if (changes == Py_None) return Record::replace_keywords(profile, call.args + nargs, call.kwnames);
  if (call.kwnames && PyTuple_GET_SIZE(call.kwnames) > 0) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes the changes either as a mapping or as keyword arguments, not both",
                 call.func);
    qv::throw_error_set();
  }
  return Record::replace_mapping(profile, changes, call.func);
}

PyDoc_STRVAR(replace_doc,
             "replace($module, profile, changes=None, /, **fields)\n--\n\n"
             "Return a copy of profile with the given fields replaced.\n\n"
             "Changes come either as keyword arguments, as dataclasses.replace takes\n"
             "them, or as a mapping of field name to value in changes; giving both is\n"
             "a TypeError. A name the record does not have raises TypeError naming it,\n"
             "and so does a value of the wrong kind. profile itself never changes.");

PyMethodDef methods[] = {
    qv::fastcall_method<"replace", replace>(replace_doc),
    qv::kMethodsEnd,
};

PyDoc_STRVAR(module_doc,
             "The tuning profile: Brevick, an immutable record of the kit's 54 tuning\n"
             "fields with six archetype factories, and replace(), a copy of a profile with\n"
             "some fields changed.");

qv::ModuleDef<State> module_def{"quorvane._internal.brevick", module_doc, methods};

void State::init(PyObject* m) {
  Record::create(m, *this, record);
  qv::add_object(m, "__all__", qv::own(Py_BuildValue("[ss]", "Brevick", "replace")));
}

}  // namespace

// The record type is never subclassed, so a type handed to the record
// machinery is always the one this module made, tied to its module
// (PyType_GetModule cannot fail for it).
Profile::Tables& Profile::tables(PyTypeObject* type) noexcept {
  PyObject* m = PyType_GetModule(type);
  return qv::ModuleDef<State>::of(m).record;
}

QV_MODULE_INIT(brevick, module_def)
