// The memory-line renderer shared by the prompt builders that show a batch
// of memories to the model, one line each:
//
//   [i] (<event_type>, <created_at>): <content>
//   [i] (<event_type>, salience=<salience>, <created_at>): <content>
//
// and the chat request built around those lines. Content that is a dict (or
// a dict subclass) is written as one-line JSON by the JSON writer; a str
// (subclasses included) as the text it holds; any other content, and every
// other field, by TextBuilder::text_of.
#pragma once

#include <cstddef>
#include <memory>

#include "_internal/common/chat.hpp"
#include "_internal/common/module.hpp"
#include "_internal/common/prompt.hpp"
#include "_internal/common/py.hpp"
#include "core/reply.hpp"

namespace qv {

// What a module that renders memories keeps in its state: the interned
// field keys, collections.abc.Mapping, and the chat-request keys.
struct MemoryLineNames {
  PyObject* content = nullptr;
  PyObject* event_type = nullptr;
  PyObject* salience = nullptr;
  PyObject* created_at = nullptr;
  PyObject* mapping_abc = nullptr;
  ChatKeys chat;

  void init(ModuleState& state);  // throws PyErrorSet
};

struct MemoryLineStyle {
  const char* func;  // the public function's name, for error messages
  bool salience;     // show ", salience=" + the optional salience ("N/A" when absent)
};

// Appends the lines of memories[0:n], numbered from 1 and joined by single
// line feeds (none after the last). For each memory the fields are looked up
// in the order content, event_type, [salience,] created_at, and content is
// rendered right after its lookup, so its errors come before a later missing
// key. Every memory must be a mapping (build_memory_request checks); a
// missing required key raises KeyError(key) with the note "memories[i]"
// (3.11+); salience counts as present only when `"salience" in memory`;
// JSON errors propagate.
void render_memory_lines(TextBuilder& out, const MemoryLineNames& names, PyObject* const* memories,
                         std::size_t n, const MemoryLineStyle& style);

// The whole request: (system, [{"role": "user", "content": text}]) where text
// is `user` filled with slot 0 = the number of memories in decimal and slot 1
// = their lines. `memories` must be a list (checked by the caller); it is
// read from a snapshot, so the count always matches the lines shown. A
// memory that is not a mapping raises TypeError before any line is built.
Ref build_memory_request(const MemoryLineNames& names, PyObject* system, const Template& user,
                         PyObject* memories, const MemoryLineStyle& style);

// What a module that asks for one text across a batch of memories keeps
// (consolidation, journal): its system prompt, its user template with the
// slots {count} and {formatted_memories}, and the renderer's names.
struct MemoryPromptState : ModuleState {
  PyObject* system = nullptr;
  std::unique_ptr<Template> user;
  MemoryLineNames names;

  // Builds the two texts from UTF-8 and adds them to `module` under the
  // given attribute names.
  void init_prompts(PyObject* module, const char* system_attr, const char* system_text,
                    const char* user_attr, const char* user_text) {
    names.init(*this);
    system = keep(str_from_utf8(system_text));
    PyObject* user_str = keep(str_from_utf8(user_text));
    user = std::make_unique<Template>(
        user_str, std::initializer_list<std::string_view>{"count", "formatted_memories"});
    add_object(module, system_attr, Ref::borrow(system));
    add_object(module, user_attr, Ref::borrow(user_str));
  }
};

// The builder entry point of such a module: f(memories) with `memories` a
// list, rendered with or without the salience piece.
template <class State, bool Salience>
Ref build_memory_prompt(Call& call) {
  const auto [memories] = call.bind<1>({"memories"}, 1);
  call.require_list("memories", memories);
  const State& st = call.state<State>();
  return build_memory_request(st.names, st.system, *st.user, memories,
                              MemoryLineStyle{call.func, Salience});
}

// The reply entry point of such a module: f(response) gives the cleaned
// reply (core/reply.hpp) as a substring of `response`.
inline Ref parse_memory_reply(Call& call) {
  const auto [response] = call.bind<1>({"response"}, 1);
  call.require_str("response", response);
  const core::Span r =
      visit_units(response, [](const auto* u, std::size_t n) { return core::clean_reply(u, n); });
  return substr(response, r.begin, r.end);
}

}  // namespace qv
