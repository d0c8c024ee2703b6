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

#include "_internal/common/chat.hpp"
#include "_internal/common/module.hpp"
#include "_internal/common/prompt.hpp"
#include "_internal/common/py.hpp"

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
// missing required key raises KeyError(key); JSON errors propagate.
void render_memory_lines(TextBuilder& out, const MemoryLineNames& names, PyObject* const* memories,
                         std::size_t n, const MemoryLineStyle& style);

// The whole request: (system, [{"role": "user", "content": text}]) where text
// is `user` filled with slot 0 = the number of memories in decimal and slot 1
// = their lines. `memories` must be a list (checked by the caller); it is
// read from a snapshot, so the count always matches the lines shown. A
// memory that is not a mapping raises TypeError before any line is built.
Ref build_memory_request(const MemoryLineNames& names, PyObject* system, const Template& user,
                         PyObject* memories, const MemoryLineStyle& style);

}  // namespace qv
