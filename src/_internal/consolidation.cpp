// quorvane._internal.consolidation: the request that asks a model for one
// non-obvious insight across a batch of memories, the cleaning of its reply,
// and the batch limits of the default tuning profile.
#include <array>
#include <memory>

#include "_internal/common/memory_lines.hpp"
#include "_internal/common/module.hpp"
#include "_internal/common/prompt.hpp"
#include "_internal/common/py.hpp"

namespace {

constexpr const char kSystem[] =
    "You are a memory consolidation engine for an AI agent. Your task is to synthesize "
    "patterns from a set of raw memories into a single insight.\n"
    "\n"
    "Rules:\n"
    "- Produce ONE concise insight (2-4 sentences).\n"
    "- The insight must capture a NON-OBVIOUS pattern, connection, or lesson across the "
    "memories \xE2\x80\x94 not a summary.\n"
    "- Do NOT list the memories or repeat them.\n"
    "- Do NOT include preamble, explanation, or meta-commentary.\n"
    "- Respond with ONLY the insight text.\n";

constexpr const char kUser[] =
    "Below are {count} memories captured by an AI agent. Identify the most significant "
    "pattern, insight, or connection.\n"
    "\n"
    "Memories:\n"
    "{formatted_memories}\n";

struct State : qv::MemoryPromptState {
  void init(PyObject* module);
};

PyDoc_STRVAR(build_doc,
             "build_consolidation_prompt(memories)\n"
             "--\n"
             "\n"
             "Build the chat request that asks for one insight across `memories`.\n"
             "\n"
             "`memories` is a list of mappings, each with `content`, `event_type` and\n"
             "`created_at`, shown in list order as lines\n"
             "\"[i] (<event_type>, <created_at>): <content>\" numbered from 1. A dict\n"
             "content is written as json.dumps(content, ensure_ascii=True, default=str);\n"
             "any other value as str(). Returns (the system prompt, [{\"role\": \"user\",\n"
             "\"content\": <message>}]).\n"
             "\n"
             "Raises TypeError if `memories` is not a list or holds a non-mapping,\n"
             "KeyError naming a missing field, and the JSON errors of a content that\n"
             "cannot be encoded (TypeError for a bad key, ValueError for a cycle).");

PyDoc_STRVAR(parse_doc,
             "parse_consolidation_output(response)\n"
             "--\n"
             "\n"
             "Return the insight text of a model reply.\n"
             "\n"
             "Strips whitespace, then one surrounding ``` fence (a language tag after\n"
             "the opening fence stays), then one surrounding pair of double quotes,\n"
             "stripping again after each. Accepts any str and never fails on its\n"
             "content; raises TypeError if `response` is not a str.");

PyMethodDef methods[] = {
    qv::fastcall_method<"build_consolidation_prompt", qv::build_memory_prompt<State, false>>(
        build_doc),
    qv::fastcall_method<"parse_consolidation_output", qv::parse_memory_reply>(parse_doc),
    qv::kMethodsEnd,
};

PyDoc_STRVAR(module_doc,
             "Memory consolidation: the chat request that asks a model for one insight\n"
             "across a batch of memories, and the cleaning of the model's reply.\n"
             "\n"
             "Constants, copied at load from a Brevick profile with every field at its\n"
             "default. They are for the caller; the builder takes every memory it is given.\n"
             "\n"
             "MAX_CONSOLIDATION_INPUTS\n"
             "    int, 20: the largest batch of memories for one consolidation call.\n"
             "DEFAULT_CONSOLIDATION_MIN_SALIENCE\n"
             "    float, 0.4: the default lowest salience of a memory taken into\n"
             "    consolidation.\n"
             "TIER2_DEDUP_THRESHOLD\n"
             "    float, 0.95: the similarity from which two insights (the entries of the\n"
             "    second memory tier) count as duplicates.");

void State::init(PyObject* m) {
  // The limits come from a default profile, so they follow its defaults.
  qv::Ref brevick = qv::own(PyImport_ImportModule("quorvane._internal.brevick"));
  qv::Ref profile_type = qv::own(PyObject_GetAttrString(brevick.get(), "Brevick"));
  qv::Ref profile = qv::own(PyObject_CallNoArgs(profile_type.get()));
  qv::add_object(m, "_COMPAT_PROFILE", profile);
  static constexpr std::array<std::array<const char*, 2>, 3> limits = {{
      {"MAX_CONSOLIDATION_INPUTS", "consolidation_max_inputs"},
      {"DEFAULT_CONSOLIDATION_MIN_SALIENCE", "consolidation_min_salience"},
      {"TIER2_DEDUP_THRESHOLD", "tier2_dedup_threshold"},
  }};
  for (const auto& [name, field] : limits)
    qv::add_object(m, name, qv::own(PyObject_GetAttrString(profile.get(), field)));

  init_prompts(m, "_CONSOLIDATION_SYSTEM", kSystem, "_CONSOLIDATION_USER", kUser);
  qv::add_object(
      m, "__all__",
      qv::own(Py_BuildValue("[sssss]", "MAX_CONSOLIDATION_INPUTS",
                            "DEFAULT_CONSOLIDATION_MIN_SALIENCE", "TIER2_DEDUP_THRESHOLD",
                            "build_consolidation_prompt", "parse_consolidation_output")));
}

qv::ModuleDef<State> module_def{"quorvane._internal.consolidation", module_doc, methods};

}  // namespace

QV_MODULE_INIT(consolidation, module_def)
