#include "_internal/common/memory_lines.hpp"

#include <cstring>

#include "_internal/common/chat.hpp"
#include "_internal/common/json_writer.hpp"
#include "core/number.hpp"

namespace qv {

void MemoryLineNames::init(ModuleState& state) {
  content = state.keep(interned("content"));
  event_type = state.keep(interned("event_type"));
  salience = state.keep(interned("salience"));
  created_at = state.keep(interned("created_at"));
  mapping_abc = state.keep(qv::mapping_abc());
  chat.init(state);
}

namespace {

// A required field of memories[i]; an error in its lookup (KeyError(key)
// when it is missing) carries the note "memories[i]".
Ref required_field(PyObject* memory, PyObject* key, std::size_t i) {
  try {
    return get_field(memory, key);
  } catch (const PyErrorSet&) {
    note_item("memories", i);
    throw;
  }
}

}  // namespace

void render_memory_lines(TextBuilder& out, const MemoryLineNames& names, PyObject* const* memories,
                         std::size_t n, const MemoryLineStyle& style) {
  JsonWriter writer(out);  // one writer for the whole batch
  ByteBuffer& bytes = out.bytes();
  // A line is two pieces (its head and fields, then its content) and holds
  // at most its content: room for them up front instead of growing by half
  // a dozen steps.
  out.reserve(2 * n + 8, n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* memory = memories[i];

    // content first, rendered at once: a dict as JSON and a plain number
    // straight into the builder's bytes (placed before the line's head,
    // which is added as its own run), anything else held as text.
    Ref content = required_field(memory, names.content, i);
    Ref content_text;
    ByteRange content_bytes;
    PyObject* c = content.get();
    if (PyDict_Check(c)) {
      content_bytes = writer.write(c);
    } else if (PyUnicode_Check(c)) {
      content_text = std::move(content);
    } else if (const std::size_t k = plain_scalar_chars(c, bytes.room(kPlainScalarMax))) {
      content_bytes = {bytes.size(), k};
      bytes.advance(k);
    } else {
      content_text = own(PyObject_Str(c));
    }

    Ref event_type = required_field(memory, names.event_type, i);
    Ref salience;
    if (style.salience) salience = get_field(memory, names.salience, true);
    Ref created_at = required_field(memory, names.created_at, i);

    {  // "[i] (" in one run
      const std::size_t at = bytes.size();
      char* p = bytes.room(core::kDecimalMax + 4);
      if (i) *p++ = '\n';
      *p++ = '[';
      p += core::format_decimal(i + 1, p);
      std::memcpy(p, "] (", 3);
      bytes.set_end(p + 3);
      out.run({at, bytes.size() - at});
    }
    out.text_of(std::move(event_type));
    if (style.salience) {
      out.ascii(", salience=");
      if (salience) {
        out.text_of(std::move(salience));
      } else {
        out.ascii("N/A");
      }
    }
    out.ascii(", ");
    out.text_of(std::move(created_at));
    out.ascii("): ");
    if (content_text) {
      out.text_of(std::move(content_text));
    } else {
      out.run(content_bytes);
    }
  }
}

Ref build_memory_request(const MemoryLineNames& names, PyObject* system, const Template& user,
                         PyObject* memories, const MemoryLineStyle& style) {
  // A snapshot: str() of a field may run Python code that edits the list.
  Ref items = own(PyList_GetSlice(memories, 0, PyList_GET_SIZE(memories)));
  const auto n = static_cast<std::size_t>(PyList_GET_SIZE(items.get()));
  PyObject* const* first = n ? &PyList_GET_ITEM(items.get(), 0) : nullptr;
  require_mapping_items(style.func, "memories", items.get(), names.mapping_abc);

  TextBuilder text;
  user.fill(text, [&](TextBuilder& b, int slot) {
    if (slot == 0) {
      b.decimal(static_cast<long long>(n));
    } else {
      render_memory_lines(b, names, first, n, style);
    }
  });
  return chat_request(names.chat, system, text.finish().get());
}

}  // namespace qv
