// quorvane._internal.mirrandel: the directive domain taxonomy. A coarse
// keyword classifier tags each proposed directive with a domain so that the
// evolution step can keep one proposal per domain, plus that step's two
// diversity constants. The matching itself lives in core/keywords.
#include <array>
#include <cstddef>

#include "_internal/common/args.hpp"
#include "_internal/common/py.hpp"
#include "core/keywords.hpp"

namespace {

using qv::Ref;
using qv::core::kDomainRows;
using qv::core::kDomainTable;

// The module's own domain strs, returned by the classifier so a call never
// builds a string. Held for the life of the process: a static Ref would drop
// them after the interpreter is gone.
std::array<PyObject*, kDomainRows> g_domains{};
PyObject* g_general = nullptr;

// Above this many code points the scan runs without the GIL; str data is
// immutable and the caller's reference keeps it alive.
constexpr std::size_t kReleaseGilFrom = std::size_t{1} << 16;

Ref interned_view(std::string_view s) {
  PyObject* o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!o) qv::throw_error_set();
  PyUnicode_InternInPlace(&o);
  return Ref::steal(o);
}

int scan(PyObject* text) {
  return qv::visit_units(text, [](const auto* units, std::size_t n) {
    return qv::core::classify_domain(units, n);
  });
}

constexpr std::array<const char*, 1> kClassifyParams = {"text"};

PyObject* classify_directive_domain(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) {
  return qv::guard([&]() -> PyObject* {
    PyObject* text;
    if (!kwnames && PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)) == 1) {
      text = args[0];
    } else {
      std::array<PyObject*, 1> bound;
      qv::bind_args("classify_directive_domain", args, nargsf, kwnames, kClassifyParams, 1, bound);
      text = bound[0];
    }
    qv::require_str("classify_directive_domain", "text", text);
#if PY_VERSION_HEX < 0x030C0000
    qv::check(PyUnicode_READY(text));
#endif
    int row;
    if (static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) >= kReleaseGilFrom) {
      Py_BEGIN_ALLOW_THREADS
      row = scan(text);
      Py_END_ALLOW_THREADS
    } else {
      row = scan(text);
    }
    PyObject* domain = row < 0 ? g_general : g_domains[static_cast<std::size_t>(row)];
    Py_INCREF(domain);
    return domain;
  });
}

PyMethodDef kMethods[] = {
    {"classify_directive_domain",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(classify_directive_domain)),
     METH_FASTCALL | METH_KEYWORDS,
     "classify_directive_domain($module, /, text)\n--\n\n"
     "Return the domain of a directive text, one of DIRECTIVE_DOMAINS.\n\n"
     "The text is lowercased with the full Unicode lowercase mapping, as\n"
     "str.lower() does; the first domain in table order with a keyword\n"
     "occurring anywhere in it wins (plain substring match: \"auth\" matches\n"
     "inside \"author\"). A text with no keyword is DOMAIN_GENERAL.\n"
     "Raises TypeError when text is not a str."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quorvane._internal.mirrandel",
    "Directive domain taxonomy: a keyword classifier that tags a directive\n"
    "with one of DIRECTIVE_DOMAINS, and the per-cycle diversity constants of\n"
    "the directive evolution step (EVOLVE_MAX_PER_DOMAIN proposals per domain,\n"
    "\"general\" excepted; EVOLVE_DEDUP_THRESHOLD as the in-cycle cosine floor).",
    -1,
    nullptr,  // the function is added after the constants, in load order
};

}  // namespace

PyMODINIT_FUNC PyInit_mirrandel() {
  return qv::guard([]() -> PyObject* {
    Ref m = qv::own(PyModule_Create(&kModule));
    qv::add_object(m.get(), "EVOLVE_DEDUP_THRESHOLD", qv::own(PyFloat_FromDouble(0.85)));
    qv::add_object(m.get(), "EVOLVE_MAX_PER_DOMAIN", qv::own(PyLong_FromLong(1)));
    Ref general = interned_view(qv::core::kDomainGeneral);
    qv::add_object(m.get(), "DOMAIN_GENERAL", general);

    std::array<Ref, kDomainRows> domains;
    for (std::size_t r = 0; r < kDomainRows; ++r) domains[r] = interned_view(kDomainTable[r].domain);
    Ref all_domains = qv::own(PyFrozenSet_New(nullptr));
    for (const Ref& d : domains) qv::check(PySet_Add(all_domains.get(), d.get()));
    qv::check(PySet_Add(all_domains.get(), general.get()));
    qv::add_object(m.get(), "DIRECTIVE_DOMAINS", all_domains);

    // The table as Python sees it: read-only, rows and keywords in order.
    // Classification runs on the compiled automaton, not on this mapping.
    Ref table = qv::own(PyDict_New());
    for (std::size_t r = 0; r < kDomainRows; ++r) {
      const auto& kws = kDomainTable[r].keywords;
      Ref row = qv::own(PyTuple_New(static_cast<Py_ssize_t>(kws.size())));
      for (std::size_t k = 0; k < kws.size(); ++k)
        PyTuple_SET_ITEM(row.get(), static_cast<Py_ssize_t>(k), interned_view(kws[k]).release());
      qv::check(PyDict_SetItem(table.get(), domains[r].get(), row.get()));
    }
    qv::add_object(m.get(), "_DOMAIN_KEYWORDS", qv::own(PyDictProxy_New(table.get())));

    qv::check(PyModule_AddFunctions(m.get(), kMethods));

    Ref names = qv::own(Py_BuildValue("[sssss]", "DIRECTIVE_DOMAINS", "DOMAIN_GENERAL",
                                      "EVOLVE_DEDUP_THRESHOLD", "EVOLVE_MAX_PER_DOMAIN",
                                      "classify_directive_domain"));
    qv::add_object(m.get(), "__all__", names);

    qv::core::domain_keywords();  // build the automaton now, not on the first call

    for (std::size_t r = 0; r < kDomainRows; ++r) {
      Py_XDECREF(g_domains[r]);
      g_domains[r] = domains[r].release();
    }
    Py_XDECREF(g_general);
    g_general = general.release();
    return m.release();
  });
}
