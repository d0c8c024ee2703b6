// quorvane._internal.evolution: the directive-evolution request and the
// parser of the model's JSON reply. The core reads the reply on the str's own
// code units and says what it holds; this binding only turns the proposals'
// text ranges into str objects, checks identifiers against the caller's set
// and logs the warnings.
#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "_internal/common/chat.hpp"
#include "_internal/common/module.hpp"
#include "_internal/common/prompt.hpp"
#include "_internal/common/py.hpp"
#include "core/evolution_reply.hpp"
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

struct State : qv::ModuleState {
  PyObject* system = nullptr;
  std::unique_ptr<qv::Template> system_template;
  qv::ChatKeys chat;
  PyObject* content_request = nullptr;
  PyObject* key_id = nullptr;
  PyObject* key_text = nullptr;
  PyObject* key_source_insight_id = nullptr;
  PyObject* empty = nullptr;
  PyObject* mapping_abc = nullptr;  // collections.abc.Mapping: what an insight must be
  // The logger and what a warning is made of.
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
  std::array<PyObject*, 8> type_names{};  // indexed by json::Kind

  void init(PyObject* module);
};

// The name of the Python type json.loads gives a value of kind `k`, as the
// warnings report it.
const char* python_type_name(json::Kind k) noexcept {
  switch (k) {
    case json::Kind::Null:
      return "NoneType";
    case json::Kind::False:
    case json::Kind::True:
      return "bool";
    case json::Kind::Int:
      return "int";
    case json::Kind::Float:
      return "float";
    case json::Kind::String:
      return "str";
    case json::Kind::Array:
      return "list";
    case json::Kind::Object:
      return "dict";
  }
  return "NoneType";
}

Ref build_evolution_prompt(qv::Call& call) {
  const auto [insights_arg, directives_arg, max_per_cycle, style_arg] =
      call.bind<4>({"insights", "directives", "max_per_cycle", "style_guidance"}, 3);
  call.require_list("insights", insights_arg);
  call.require_list("directives", directives_arg);
  if (!PyLong_Check(max_per_cycle) || PyBool_Check(max_per_cycle))
    call.raise_type("max_per_cycle", "int", max_per_cycle);
  PyObject* style = style_arg ? style_arg : Py_None;
  if (style != Py_None && !PyUnicode_Check(style))
    call.raise_type("style_guidance", "str or None", style);
  const State& st = call.state<State>();

  // Snapshots keep every item alive even if a __str__ mutates the lists.
  Ref insights = own(PyList_GetSlice(insights_arg, 0, PyList_GET_SIZE(insights_arg)));
  Ref directives = own(PyList_GetSlice(directives_arg, 0, PyList_GET_SIZE(directives_arg)));
  qv::require_mapping_items(call.func, "insights", insights.get(), st.mapping_abc);

  qv::TextBuilder out;
  st.system_template->fill(out, [&](qv::TextBuilder& b, int slot) {
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
          Ref id;
          Ref text;
          try {
            id = qv::get_field(insight, st.key_id);
            text = qv::get_field(insight, st.key_text);
          } catch (const qv::PyErrorSet&) {
            qv::note_item("insights", static_cast<std::size_t>(i));
            throw;
          }
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
        const long long v = PyLong_AsLongLongAndOverflow(max_per_cycle, &overflow);
        if (overflow == 0) {
          if (v == -1 && PyErr_Occurred()) qv::throw_error_set();
          b.decimal(v);
        } else {
          b.str(own(PyLong_Type.tp_repr(max_per_cycle)));
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
  return qv::chat_request(st.chat, out.finish().get(), st.content_request);
}

// Logs `message` at WARNING with the one extra field `field` = make_value(),
// built only when the logger would emit the record.
template <class F>
void warn(const State& st, PyObject* message, PyObject* field, F&& make_value) {
  Ref enabled = own(PyObject_CallMethodOneArg(st.logger, st.name_is_enabled_for, st.level_warning));
  if (!qv::check(PyObject_IsTrue(enabled.get()))) return;
  Ref value = make_value();
  Ref extra = own(PyDict_New());
  qv::check(PyDict_SetItem(extra.get(), field, value.get()));
  PyObject* call[] = {st.logger, message, extra.get()};
  own(PyObject_VectorcallMethod(st.name_warning, call, 2, st.kwnames_extra));
}

void warn_type(const State& st, PyObject* message, json::Kind kind) {
  warn(st, message, st.field_type,
       [&] { return Ref::borrow(st.type_names[static_cast<std::size_t>(kind)]); });
}

void warn_not_json(const State& st, PyObject* reply, std::size_t n) {
  warn(st, st.msg_not_json, st.field_response_preview,
       [&] { return qv::substr(reply, 0, std::min<std::size_t>(n, 200)); });
}

// A str from a String token. Without escapes it is a slice of the reply;
// with escapes it is decoded straight into a new str, trimmed when `trimmed`.
template <class C>
Ref string_value(PyObject* reply, const C* u, const json::Token& t, bool trimmed) {
  if (!t.escaped) return qv::substr(reply, t.begin, t.end);
  const qv::core::evolution::Decoded d = qv::core::evolution::measure_string(u, t, trimmed);
  Ref out = own(PyUnicode_New(static_cast<Py_ssize_t>(d.kept.size()), d.max_char));
  const int kind = PyUnicode_KIND(out.get());
  void* data = PyUnicode_DATA(out.get());
  json::StringCursor<C> cur(u, t);
  for (std::size_t i = 0; i < d.kept.begin; ++i) cur.next();
  for (std::size_t i = 0; i < d.kept.size(); ++i)
    PyUnicode_WRITE(kind, data, static_cast<Py_ssize_t>(i), cur.next());
  return out;
}

// The proposal records of a reply the core read as Verdict::Proposed.
template <class C>
Ref build_proposals(const State& st, PyObject* reply, const C* u,
                    const std::vector<qv::core::evolution::Proposal>& proposals, PyObject* ids,
                    PyObject* fallback) {
  const bool any_ids = PySet_GET_SIZE(ids) > 0;
  Ref out = own(PyList_New(static_cast<Py_ssize_t>(proposals.size())));
  Py_ssize_t i = 0;
  for (const qv::core::evolution::Proposal& p : proposals) {
    Ref text = string_value(reply, u, p.text, true);
    Ref source = Ref::borrow(fallback);
    if (any_ids && p.source.kind == json::Kind::String) {
      Ref candidate = string_value(reply, u, p.source, false);
      if (qv::check(PySet_Contains(ids, candidate.get()))) source = std::move(candidate);
    }
    Ref proposal = own(PyDict_New());
    qv::check(PyDict_SetItem(proposal.get(), st.key_text, text.get()));
    qv::check(PyDict_SetItem(proposal.get(), st.key_source_insight_id, source.get()));
    PyList_SET_ITEM(out.get(), i++, proposal.release());
  }
  return out;
}

template <class C>
Ref parse_reply(const State& st, PyObject* reply, const C* u, std::size_t n, PyObject* ids,
                PyObject* fallback) {
  namespace ev = qv::core::evolution;
  const ev::Reply r = qv::without_gil(n, [&] { return ev::read_reply(u, n); });
  switch (r.verdict) {
    case ev::Verdict::NotJson:
      warn_not_json(st, reply, n);
      break;
    case ev::Verdict::NotObject:
      warn_type(st, st.msg_not_object, r.kind);
      break;
    case ev::Verdict::NotList:
      warn_type(st, st.msg_not_list, r.kind);
      break;
    case ev::Verdict::NoProposed:
      break;
    case ev::Verdict::Proposed:
      try {
        return build_proposals(st, reply, u, r.proposals, ids, fallback);
      } catch (const qv::PyErrorSet&) {
        // A reply with more proposals than memory holds is, like one the
        // core could not hold, a reply that could not be read: the parser
        // never raises for what the model wrote.
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        PyErr_Clear();
      } catch (const std::bad_alloc&) {
      }
      warn_not_json(st, reply, n);
      break;
  }
  return own(PyList_New(0));
}

Ref parse_evolution_output(qv::Call& call) {
  const auto [reply, ids] = call.bind<2>({"response", "insight_ids"}, 2);
  call.require_str("response", reply);
  if (!PyAnySet_Check(ids)) call.raise_type("insight_ids", "set or frozenset", ids);
  const State& st = call.state<State>();

  // Every member must be a str; the smallest in code-point order is the
  // fallback source of proposals that name no offered insight.
  Ref fallback = Ref::borrow(st.empty);
  bool first = true;
  Ref it = own(PyObject_GetIter(ids));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item = Ref::steal(raw);
    if (!PyUnicode_Check(raw)) {
      PyErr_Format(PyExc_TypeError, "%s() argument 'insight_ids' must contain only str, not %.200s",
                   call.func, Py_TYPE(raw)->tp_name);
      qv::throw_error_set();
    }
    if (first || PyUnicode_Compare(raw, fallback.get()) < 0) fallback = std::move(item);
    first = false;
  }
  if (PyErr_Occurred()) qv::throw_error_set();

  return qv::visit_units(reply, [&](const auto* u, std::size_t n) {
    return parse_reply(st, reply, u, n, ids, fallback.get());
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
    qv::fastcall_method<"build_evolution_prompt", build_evolution_prompt>(build_doc),
    qv::fastcall_method<"parse_evolution_output", parse_evolution_output>(parse_doc),
    qv::kMethodsEnd,
};

PyDoc_STRVAR(module_doc,
             "Directive evolution: the chat request that asks a model for new directives\n"
             "from the cycle's insights and the active directives, and the parser that\n"
             "turns its JSON reply into validated proposals.\n"
             "\n"
             "logger\n"
             "    The logging.Logger named \"quorvane._internal.evolution\". The parser\n"
             "    writes one WARNING to it for each reply it cannot use, with a\n"
             "    response_preview or type attribute on the record; nothing else is\n"
             "    logged.");

void State::init(PyObject* m) {
  system = keep(qv::str_from_utf8(kSystemText));
  system_template = std::make_unique<qv::Template>(
      system, std::initializer_list<std::string_view>{"directives_block", "insights_block",
                                                      "max_per_cycle", "style_guidance_block"});
  chat.init(*this);
  content_request = keep(qv::interned("Generate directive proposals."));
  key_id = keep(qv::interned("id"));
  key_text = keep(qv::interned("text"));
  key_source_insight_id = keep(qv::interned("source_insight_id"));
  empty = keep(qv::interned(""));
  mapping_abc = keep(qv::mapping_abc());

  Ref logging = own(PyImport_ImportModule("logging"));
  logger = keep(
      own(PyObject_CallMethod(logging.get(), "getLogger", "s", "quorvane._internal.evolution")));
  level_warning = keep(own(PyObject_GetAttrString(logging.get(), "WARNING")));
  name_is_enabled_for = keep(qv::interned("isEnabledFor"));
  name_warning = keep(qv::interned("warning"));
  kwnames_extra = keep(own(Py_BuildValue("(s)", "extra")));
  field_response_preview = keep(qv::interned("response_preview"));
  field_type = keep(qv::interned("type"));
  msg_not_json = keep(qv::interned("evolve_directives: failed to parse LLM response as JSON"));
  msg_not_object = keep(qv::interned("evolve_directives: LLM response is not a JSON object"));
  msg_not_list = keep(qv::interned("evolve_directives: 'proposed' field is not a list"));
  for (std::size_t k = 0; k < type_names.size(); ++k)
    type_names[k] = keep(qv::interned(python_type_name(static_cast<json::Kind>(k))));

  qv::add_object(m, "_EVOLUTION_SYSTEM", Ref::borrow(system));
  qv::add_object(m, "logger", Ref::borrow(logger));
  qv::add_object(m, "__all__",
                 qv::own(Py_BuildValue("[sss]", "build_evolution_prompt", "parse_evolution_output",
                                       "logger")));
}

qv::ModuleDef<State> module_def{"quorvane._internal.evolution", module_doc, methods};

}  // namespace

QV_MODULE_INIT(evolution, module_def)
