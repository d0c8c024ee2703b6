// quorvane._internal.mirrandel: the directive domain taxonomy. A coarse
// keyword classifier tags each proposed directive with a domain so that the
// evolution step can keep one proposal per domain, plus that step's two
// diversity constants. The matching itself lives in core/keywords.
#include <array>
#include <cstddef>
#include <string_view>

#include "_internal/common/module.hpp"
#include "_internal/common/py.hpp"
#include "core/keywords.hpp"

namespace {

using qv::Ref;
using qv::core::kDomainRows;
using qv::core::kDomainTable;

struct State : qv::ModuleState {
  // The module's own domain strs, returned by the classifier so that a call
  // never builds a string.
  std::array<PyObject*, kDomainRows> domains{};
  PyObject* general = nullptr;

  void init(PyObject* module);
};

Ref interned_view(std::string_view s) {
  PyObject* o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!o) qv::throw_error_set();
  PyUnicode_InternInPlace(&o);
  return Ref::steal(o);
}

Ref classify_directive_domain(qv::Call& call) {
  const auto [text] = call.bind<1>({"text"}, 1);
  call.require_str("text", text);
  // str data is immutable and the caller's reference keeps it alive, so a
  // long text is scanned without the GIL.
  const int row = qv::visit_units(text, [](const auto* units, std::size_t n) {
    return qv::without_gil(n, [&] { return qv::core::classify_domain(units, n); });
  });
  const State& st = call.state<State>();
  return Ref::borrow(row < 0 ? st.general : st.domains[static_cast<std::size_t>(row)]);
}

PyDoc_STRVAR(classify_doc,
             "classify_directive_domain($module, /, text)\n--\n\n"
             "Return the domain of a directive text, one of DIRECTIVE_DOMAINS.\n\n"
             "The text is lowercased with the full Unicode lowercase mapping, as\n"
             "str.lower() does; the first domain in table order with a keyword\n"
             "occurring anywhere in it wins (plain substring match: \"auth\" matches\n"
             "inside \"author\"). A text with no keyword is DOMAIN_GENERAL.\n"
             "Raises TypeError when text is not a str.");

PyMethodDef methods[] = {
    qv::fastcall_method<"classify_directive_domain", classify_directive_domain>(classify_doc),
    qv::kMethodsEnd,
};

PyDoc_STRVAR(module_doc,
             "Directive domain taxonomy: a keyword classifier that tags a directive with\n"
             "its domain, and the per-cycle diversity constants of the directive\n"
             "evolution step.\n"
             "\n"
             "DIRECTIVE_DOMAINS\n"
             "    frozenset of the six domains: billing, security, escalation,\n"
             "    fulfillment, retention and general.\n"
             "DOMAIN_GENERAL\n"
             "    \"general\": the domain of a directive that holds no keyword.\n"
             "EVOLVE_MAX_PER_DOMAIN\n"
             "    int, 1: the most proposals of one domain kept in one evolution cycle;\n"
             "    DOMAIN_GENERAL has no quota.\n"
             "EVOLVE_DEDUP_THRESHOLD\n"
             "    float, 0.85: the cosine similarity from which a proposal counts as a\n"
             "    near-duplicate of one already taken in the same cycle.");

void State::init(PyObject* m) {
  qv::add_object(m, "EVOLVE_DEDUP_THRESHOLD", qv::own(PyFloat_FromDouble(0.85)));
  qv::add_object(m, "EVOLVE_MAX_PER_DOMAIN", qv::own(PyLong_FromLong(1)));
  general = keep(interned_view(qv::core::kDomainGeneral));
  qv::add_object(m, "DOMAIN_GENERAL", Ref::borrow(general));

  for (std::size_t r = 0; r < kDomainRows; ++r)
    domains[r] = keep(interned_view(kDomainTable[r].domain));
  Ref all_domains = qv::own(PyFrozenSet_New(nullptr));
  for (PyObject* d : domains) qv::check(PySet_Add(all_domains.get(), d));
  qv::check(PySet_Add(all_domains.get(), general));
  qv::add_object(m, "DIRECTIVE_DOMAINS", all_domains);

  // The table as Python sees it: read-only, rows and keywords in order.
  // Classification runs on the compiled automaton, not on this mapping.
  Ref table = qv::own(PyDict_New());
  for (std::size_t r = 0; r < kDomainRows; ++r) {
    const auto& kws = kDomainTable[r].keywords;
    Ref row = qv::own(PyTuple_New(static_cast<Py_ssize_t>(kws.size())));
    for (std::size_t k = 0; k < kws.size(); ++k)
      PyTuple_SET_ITEM(row.get(), static_cast<Py_ssize_t>(k), interned_view(kws[k]).release());
    qv::check(PyDict_SetItem(table.get(), domains[r], row.get()));
  }
  qv::add_object(m, "_DOMAIN_KEYWORDS", qv::own(PyDictProxy_New(table.get())));

  // The function comes after the constants, in load order.
  qv::check(PyModule_AddFunctions(m, methods));

  Ref names = qv::own(Py_BuildValue("[sssss]", "DIRECTIVE_DOMAINS", "DOMAIN_GENERAL",
                                    "EVOLVE_DEDUP_THRESHOLD", "EVOLVE_MAX_PER_DOMAIN",
                                    "classify_directive_domain"));
  qv::add_object(m, "__all__", names);

  qv::core::domain_keywords();  // build the automaton now, not on the first call
}

qv::ModuleDef<State> module_def{"quorvane._internal.mirrandel", module_doc, nullptr};

}  // namespace

QV_MODULE_INIT(mirrandel, module_def)
