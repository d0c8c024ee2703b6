// quorvane._internal.evolution: the directive-evolution request and the
// parser of the model's JSON reply. The reply is decoded by the core JSON
// reader on the str's own code units; only the few values the result needs
// become Python objects.
#include <algorithm>
#include <array>
#include <string>
#include <type_traits>

#include "_internal/common/args.hpp"
#include "_internal/common/chat.hpp"
#include "_internal/common/py.hpp"
#include "_internal/common/prompt.hpp"
#include "core/json_reader.hpp"
#include "core/text.hpp"

namespace {

namespace json = qv::core::json;
using qv::own;
using qv::Ref;

constexpr const char kSystemText[] =
    "You are a behavioral directive engine. Your task is to derive new behavioral rules for an AI "
    "agent based on distilled insights from its recent experience.\n"
    "\n"
    "CURRENT DIRECTIVES:\n"
    "{directives_block}\n"
    "\n"
    "INSIGHTS FROM THIS REFLECTION CYCLE:\n"
    "{insights_block}\n"
    "\n"
    "Derive at most {max_per_cycle} new behavioral directives.\n"
    "\n"
    "Rules:\n"
    "- Each directive must be a single imperative sentence (\xe2\x89\xa4"
    " 15 words).\n"
    "- Directives must be concrete and behavioral, not aspirational.\n"
    "- Do not restate or paraphrase any existing directive.\n"
    "- Anchor each rule to an observable trigger and a concrete action (e.g., \"When X happens, do "
    "Y\"). Avoid abstract goals.\n"
    "- If the insights yield no new actionable rules, return an empty list.{style_guidance_block}\n"
    "\n"
    "Respond with JSON only \xe2\x80\x94"
    " no preamble, no commentary:\n"
    "{{\"proposed\": [{{\"text\": \"...\", \"source_insight_id\": \"...\"}}, ...]}}\n";

enum Slot { kDirectives, kInsights, kMaxPerCycle, kStyleGuidance };

// Replies at least this long are parsed with the GIL released.
constexpr std::size_t kReleaseGilUnits = std::size_t{1} << 16;

// Built once at import and kept for the life of the process (a single-phase
// module is never unloaded), so nothing here is released at exit.
struct Constants {
  bool ready = false;
  PyObject* system = nullptr;
  qv::Template* system_template = nullptr;
  PyObject* logger = nullptr;
  PyObject* level_warning = nullptr;
  PyObject* name_is_enabled_for = nullptr;
  PyObject* name_warning = nullptr;
  PyObject* kwnames_extra = nullptr;
  PyObject* field_response_preview = nullptr;
  PyObject* field_type = nullptr;
  PyObject* msg_not_json = nullptr;
  PyObject* msg_not_object = nullptr;
  PyObject* msg_not_list = nullptr;
  PyObject* key_id = nullptr;
  PyObject* key_text = nullptr;
  PyObject* key_source_insight_id = nullptr;
  PyObject* content_request = nullptr;
  PyObject* empty = nullptr;
  std::array<PyObject*, 8> type_names{};  // indexed by json::Kind
};
Constants g;
qv::ModuleState g_owned;
qv::ChatKeys g_chat;

PyObject* keep(Ref r) { return r.release(); }

void init_constants() {
  if (g.ready) return;
  g.system = keep(qv::str_from_utf8(kSystemText));
  g.system_template = new qv::Template(
      g.system, {"directives_block", "insights_block", "max_per_cycle", "style_guidance_block"});
  Ref logging = own(PyImport_ImportModule("logging"));
  g.logger = keep(own(PyObject_CallMethod(logging.get(), "getLogger", "s",
                                          "quorvane._internal.evolution")));
  g.level_warning = keep(own(PyObject_GetAttrString(logging.get(), "WARNING")));
  g.name_is_enabled_for = keep(qv::interned("isEnabledFor"));
  g.name_warning = keep(qv::interned("warning"));
  g.field_response_preview = keep(qv::interned("response_preview"));
  g.field_type = keep(qv::interned("type"));
  g.kwnames_extra = keep(own(Py_BuildValue("(s)", "extra")));
  g.msg_not_json = keep(qv::interned("evolve_directives: failed to parse LLM response as JSON"));
  g.msg_not_object = keep(qv::interned("evolve_directives: LLM response is not a JSON object"));
  g.msg_not_list = keep(qv::interned("evolve_directives: 'proposed' field is not a list"));
  g.key_id = keep(qv::interned("id"));
  g.key_text = keep(qv::interned("text"));
  g.key_source_insight_id = keep(qv::interned("source_insight_id"));
  g.content_request = keep(qv::interned("Generate directive proposals."));
  g.empty = keep(qv::interned(""));
  for (int k = 0; k < 8; ++k)
    g.type_names[static_cast<std::size_t>(k)] =
        keep(qv::interned(json::python_type_name(static_cast<json::Kind>(k))));
  g_chat.init(g_owned);
  g.ready = true;
}

// record[key] for an insight: a plain dict is read directly, anything else
// through its __getitem__ (a non-mapping raises its own TypeError there).
Ref get_field(PyObject* record, PyObject* key) {
  if (PyDict_CheckExact(record)) {
    PyObject* v = PyDict_GetItemWithError(record, key);
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    qv::throw_error_set();
  }
  return own(PyObject_GetItem(record, key));
}

constexpr std::array<const char*, 4> kBuildParams = {"insights", "directives", "max_per_cycle",
                                                     "style_guidance"};

PyObject* build_evolution_prompt(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
  return qv::guard([&]() -> PyObject* {
    constexpr const char* fn = "build_evolution_prompt";
    std::array<PyObject*, 4> a;
    qv::bind_args(fn, args, nargsf, kwnames, kBuildParams, 3, a);
    qv::require_list(fn, "insights", a[0]);
    qv::require_list(fn, "directives", a[1]);
    if (!PyLong_Check(a[2]) || PyBool_Check(a[2])) qv::raise_arg_type(fn, "max_per_cycle", "int", a[2]);
    PyObject* style = a[3] ? a[3] : Py_None;
    if (style != Py_None && !PyUnicode_Check(style))
      qv::raise_arg_type(fn, "style_guidance", "str or None", style);

    // Snapshots keep every item alive even if a __str__ mutates the lists.
    Ref insights = own(PyList_GetSlice(a[0], 0, PyList_GET_SIZE(a[0])));
    Ref directives = own(PyList_GetSlice(a[1], 0, PyList_GET_SIZE(a[1])));

    qv::TextBuilder out;
    g.system_template->fill(out, [&](qv::TextBuilder& b, int slot) {
      switch (slot) {
        case kDirectives: {
          const Py_ssize_t n = PyList_GET_SIZE(directives.get());
          if (n == 0) b.ascii("(none)");
          for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0) b.ascii("\n");
            b.decimal(static_cast<long long>(i) + 1);
            b.ascii(". ");
            b.text_of(PyList_GET_ITEM(directives.get(), i));
          }
          break;
        }
        case kInsights: {
          const Py_ssize_t n = PyList_GET_SIZE(insights.get());
          for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* insight = PyList_GET_ITEM(insights.get(), i);
            Ref id = get_field(insight, g.key_id);
            Ref text = get_field(insight, g.key_text);
            if (i > 0) b.ascii("\n");
            b.ascii("[");
            b.text_of(id.get());
            b.ascii("]: ");
            b.text_of(text.get());
          }
          break;
        }
        case kMaxPerCycle: {
          int overflow = 0;
          const long long v = PyLong_AsLongLongAndOverflow(a[2], &overflow);
          if (overflow == 0) {
            if (v == -1 && PyErr_Occurred()) qv::throw_error_set();
            b.decimal(v);
          } else {
            b.str(own(PyLong_Type.tp_repr(a[2])));
          }
          break;
        }
        default: {  // kStyleGuidance
          if (style == Py_None) break;
          const qv::core::Span t = qv::visit_units(
              style, [](const auto* u, std::size_t n) { return qv::core::trim(u, n); });
          if (t.empty()) break;
          b.ascii("\n- ");
          b.str(qv::substr(style, t.begin, t.end));
          break;
        }
      }
    });
    return qv::chat_request(g_chat, out.finish().get(), g.content_request).release();
  });
}

// Logs `message` at WARNING with the one extra field `field` = make_value(),
// built only when the logger would emit the record.
template <class F>
void warn(PyObject* message, PyObject* field, F&& make_value) {
  Ref enabled = own(PyObject_CallMethodOneArg(g.logger, g.name_is_enabled_for, g.level_warning));
  if (!qv::check(PyObject_IsTrue(enabled.get()))) return;
  Ref value = make_value();
  Ref extra = own(PyDict_New());
  qv::check(PyDict_SetItem(extra.get(), field, value.get()));
  PyObject* call[] = {g.logger, message, extra.get()};
  own(PyObject_VectorcallMethod(g.name_warning, call, 2, g.kwnames_extra));
}

void warn_type(PyObject* message, json::Kind kind) {
  warn(message, g.field_type,
       [&] { return Ref::borrow(g.type_names[static_cast<std::size_t>(kind)]); });
}

// The str value of a String node; with `trimmed`, trimmed, and a null Ref
// when that leaves nothing. An unescaped value is a slice of the reply.
template <class C>
Ref string_value(PyObject* reply, const C* u, const json::Node& node, bool trimmed) {
  if (!node.escaped) {
    qv::core::Span sp{node.begin, node.end};
    if (trimmed) {
      sp = qv::core::trim(u, sp);
      if (sp.empty()) return Ref();
    }
    return qv::substr(reply, sp.begin, sp.end);
  }
  std::u32string buf;
  json::decode_string(u, node, buf);
  qv::core::Span sp{0, buf.size()};
  if (trimmed) {
    sp = qv::core::trim(buf.data(), sp);
    if (sp.empty()) return Ref();
  }
  return own(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, buf.data() + sp.begin,
                                       static_cast<Py_ssize_t>(sp.size())));
}

template <class C>
PyObject* parse_reply(PyObject* reply, const C* u, std::size_t n, PyObject* ids,
                      PyObject* fallback) {
  const qv::core::Span payload = json::strip_json_fence(u, n);
  json::Document doc;
  bool ok;
  if (payload.size() >= kReleaseGilUnits) {
    PyThreadState* ts = PyEval_SaveThread();
    try {
      ok = json::parse(u, payload, doc);
    } catch (...) {
      PyEval_RestoreThread(ts);
      throw;
    }
    PyEval_RestoreThread(ts);
  } else {
    ok = json::parse(u, payload, doc);
  }

  if (!ok) {
    warn(g.msg_not_json, g.field_response_preview,
         [&] { return qv::substr(reply, 0, std::min<std::size_t>(n, 200)); });
    return PyList_New(0);
  }
  const std::vector<json::Node>& nodes = doc.nodes;
  if (nodes[0].kind != json::Kind::Object) {
    warn_type(g.msg_not_object, nodes[0].kind);
    return PyList_New(0);
  }
  const std::size_t proposed = json::find_member(u, doc, 0, "proposed");
  if (proposed == json::npos) return PyList_New(0);
  if (nodes[proposed].kind != json::Kind::Array) {
    warn_type(g.msg_not_list, nodes[proposed].kind);
    return PyList_New(0);
  }

  const bool any_ids = PySet_GET_SIZE(ids) > 0;
  Ref out = own(PyList_New(0));
  for (std::size_t e = proposed + 1; e < nodes[proposed].next; e = nodes[e].next) {
    if (nodes[e].kind != json::Kind::Object) continue;
    // One walk over the members finds both (the last of duplicates wins).
    std::size_t tv = json::npos;
    std::size_t sv = json::npos;
    for (std::size_t k = e + 1; k < nodes[e].next; k = nodes[k + 1].next) {
      if (json::string_equals(u, nodes[k], "text")) {
        tv = k + 1;
      } else if (any_ids && json::string_equals(u, nodes[k], "source_insight_id")) {
        sv = k + 1;
      }
    }
    if (tv == json::npos || nodes[tv].kind != json::Kind::String) continue;
    Ref text = string_value(reply, u, nodes[tv], true);
    if (!text) continue;
    Ref source = Ref::borrow(fallback);
    if (sv != json::npos && nodes[sv].kind == json::Kind::String) {
      Ref candidate = string_value(reply, u, nodes[sv], false);
      if (qv::check(PySet_Contains(ids, candidate.get()))) source = std::move(candidate);
    }
    Ref proposal = own(PyDict_New());
    qv::check(PyDict_SetItem(proposal.get(), g.key_text, text.get()));
    qv::check(PyDict_SetItem(proposal.get(), g.key_source_insight_id, source.get()));
    qv::check(PyList_Append(out.get(), proposal.get()));
  }
  return out.release();
}

constexpr std::array<const char*, 2> kParseParams = {"response", "insight_ids"};

PyObject* parse_evolution_output(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
  return qv::guard([&]() -> PyObject* {
    constexpr const char* fn = "parse_evolution_output";
    std::array<PyObject*, 2> a;
    qv::bind_args(fn, args, nargsf, kwnames, kParseParams, 2, a);
    PyObject* reply = a[0];
    PyObject* ids = a[1];
    qv::require_str(fn, "response", reply);
    if (!PyAnySet_Check(ids)) qv::raise_arg_type(fn, "insight_ids", "set or frozenset", ids);

    // Every member must be a str; the smallest in code-point order is the
    // fallback source of proposals that name no offered insight.
    Ref fallback = Ref::borrow(g.empty);
    bool first = true;
    Ref it = own(PyObject_GetIter(ids));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item = Ref::steal(raw);
      if (!PyUnicode_Check(raw)) {
        PyErr_Format(PyExc_TypeError,
                     "%s() argument 'insight_ids' must contain only str, not %.200s", fn,
                     Py_TYPE(raw)->tp_name);
        qv::throw_error_set();
      }
      if (first || PyUnicode_Compare(raw, fallback.get()) < 0) fallback = std::move(item);
      first = false;
    }
    if (PyErr_Occurred()) qv::throw_error_set();

    return qv::visit_units(reply, [&](const auto* u, std::size_t n) {
      return parse_reply(reply, u, n, ids, fallback.get());
    });
  });
}

PyDoc_STRVAR(build_doc,
             "build_evolution_prompt(insights, directives, max_per_cycle, style_guidance=None)\n"
             "--\n"
             "\n"
             "Build the chat request that asks the model for new directives.\n"
             "\n"
             "insights is a list of records with 'id' and 'text'; directives is a list\n"
             "of the active directive texts; max_per_cycle is the most proposals to ask\n"
             "for; style_guidance, when it is a non-blank str, is added as one more rule.\n"
             "Values are inserted as their str() and never rescanned for braces.\n"
             "\n"
             "Returns (system_prompt, messages), where messages is a new list holding one\n"
             "{'role': 'user', 'content': 'Generate directive proposals.'} record.\n"
             "Raises TypeError for an argument of the wrong kind and KeyError naming\n"
             "the field when an insight lacks 'id' or 'text'.");

PyDoc_STRVAR(parse_doc,
             "parse_evolution_output(response, insight_ids)\n"
             "--\n"
             "\n"
             "Turn the model's reply into directive proposals.\n"
             "\n"
             "The reply is trimmed, an enclosing ``` fence (with an optional json\n"
             "label) removed, and the rest decoded as one JSON value. Each object in\n"
             "its 'proposed' list with a non-blank string 'text' becomes\n"
             "{'text': <trimmed text>, 'source_insight_id': <id>}, where the id is the\n"
             "entry's 'source_insight_id' when it is in insight_ids, else the smallest\n"
             "member of insight_ids ('' when it is empty).\n"
             "\n"
             "Never raises for any str reply: a reply that is not JSON, not an object,\n"
             "or whose 'proposed' is not a list logs one WARNING on the module's\n"
             "logger and yields []. JSON nested deeper than 512 levels counts as not\n"
             "JSON. insight_ids must be a set or frozenset of str (else TypeError).");

PyMethodDef methods[] = {
    {"build_evolution_prompt", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                   build_evolution_prompt)),
     METH_FASTCALL | METH_KEYWORDS, build_doc},
    {"parse_evolution_output", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                   parse_evolution_output)),
     METH_FASTCALL | METH_KEYWORDS, parse_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(module_doc,
             "Directive evolution: the request asking the model for new directives and\n"
             "the parser of its JSON reply.");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quorvane._internal.evolution", module_doc, -1, methods,
    nullptr,               nullptr,                        nullptr,    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_evolution() {
  return qv::guard([]() -> PyObject* {
    init_constants();
    Ref m = own(PyModule_Create(&module_def));
    qv::add_object(m.get(), "_EVOLUTION_SYSTEM", Ref::borrow(g.system));
    qv::add_object(m.get(), "logger", Ref::borrow(g.logger));
    return m.release();
  });
}
