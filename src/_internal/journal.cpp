// quorvane._internal.journal: the request that asks a model for one short
// narrative journal entry across a batch of memories, and the cleaning of
// its reply. The memory lines are the consolidation lines with each memory's
// salience shown; the renderer and the reply cleaning are shared with the
// consolidation module.
#include <memory>

#include "_internal/common/memory_lines.hpp"
#include "_internal/common/module.hpp"
#include "_internal/common/prompt.hpp"
#include "_internal/common/py.hpp"

namespace {

constexpr const char kSystem[] =
    "You are a journal synthesis engine for an AI agent. Your task is to produce a concise, "
    "cohesive journal entry from a set of memories.\n"
    "\n"
    "Rules:\n"
    "- Synthesize the memories into a NARRATIVE \xE2\x80\x94 connect themes, note patterns, "
    "surface tensions or contradictions.\n"
    "- Do NOT list or enumerate the memories. This is a journal, not a log.\n"
    "- Keep the output concise: aim for 3-8 sentences.\n"
    "- Do NOT include preamble, explanation, headers, or meta-commentary.\n"
    "- Do NOT wrap the output in quotes or markdown code fences.\n"
    "- Respond with ONLY the journal entry text.\n";

constexpr const char kUser[] =
    "Below are {count} memories captured by an AI agent. Synthesize them into a single journal "
    "entry that captures the key themes, patterns, and connections.\n"
    "\n"
    "Memories (sorted by creation time):\n"
    "{formatted_memories}\n";

struct State : qv::MemoryPromptState {
  void init(PyObject* module);
};

PyDoc_STRVAR(build_doc,
             "build_journal_prompt(memories)\n"
             "--\n"
             "\n"
             "Build the chat request that asks for one journal entry across `memories`.\n"
             "\n"
             "`memories` is a list of mappings, each with `content`, `event_type`,\n"
             "`created_at` and optionally `salience`, shown in the order given (the\n"
             "caller sorts them by creation time) as lines\n"
             "\"[i] (<event_type>, salience=<salience>, <created_at>): <content>\"\n"
             "numbered from 1. The salience is str() of the value when the key is\n"
             "present (0.8, 1.0, 0, None, a text as it stands) and \"N/A\" when it is\n"
             "absent. A dict content is written as\n"
             "json.dumps(content, ensure_ascii=True, default=str); any other value as\n"
             "str(). Returns (the system prompt, [{\"role\": \"user\", \"content\": <message>}]).\n"
             "\n"
             "Raises TypeError if `memories` is not a list or holds a non-mapping,\n"
             "KeyError naming a missing field (looked up in the order content,\n"
             "event_type, salience, created_at), and the JSON errors of a content that\n"
             "cannot be encoded (TypeError for a bad key, ValueError for a cycle).");

PyDoc_STRVAR(parse_doc,
             "parse_journal_output(response)\n"
             "--\n"
             "\n"
             "Return the journal text of a model reply.\n"
             "\n"
             "Strips whitespace, then one surrounding ``` fence (a language tag after\n"
             "the opening fence stays), then one surrounding pair of double quotes,\n"
             "stripping again after each. Accepts any str and never fails on its\n"
             "content; raises TypeError if `response` is not a str.");

PyMethodDef methods[] = {
    qv::fastcall_method<"build_journal_prompt", qv::build_memory_prompt<State, true>>(build_doc),
    qv::fastcall_method<"parse_journal_output", qv::parse_memory_reply>(parse_doc),
    qv::kMethodsEnd,
};

PyDoc_STRVAR(module_doc,
             "Journal synthesis: the chat request that asks a model for one narrative\n"
             "journal entry across a batch of memories with their salience, and the\n"
             "cleaning of the model's reply (the same cleaning as consolidation's).");

void State::init(PyObject* m) {
  init_prompts(m, "_JOURNAL_SYSTEM", kSystem, "_JOURNAL_USER", kUser);
  qv::add_object(m, "__all__",
                 qv::own(Py_BuildValue("[ss]", "build_journal_prompt", "parse_journal_output")));
}

qv::ModuleDef<State> module_def{"quorvane._internal.journal", module_doc, methods};

}  // namespace

QV_MODULE_INIT(journal, module_def)
