#include "_internal/common/memory_lines.hpp"

#include <charconv>
#include <string>

#include "_internal/common/json_writer.hpp"

namespace qv {

namespace {

// Built once at load and never released: single-phase modules live until the
// interpreter ends, and releasing these after finalisation would be unsafe.
struct Names {
  PyObject* content = nullptr;
  PyObject* event_type = nullptr;
  PyObject* salience = nullptr;
  PyObject* created_at = nullptr;
  PyObject* role = nullptr;
  PyObject* user = nullptr;
  PyObject* mapping_abc = nullptr;  // collections.abc.Mapping
};
Names g;

// A field's value as a new reference; `optional` fields give nullptr when
// absent, required ones raise KeyError(key).
Ref lookup(PyObject* memory, PyObject* key, bool optional) {
  if (PyDict_CheckExact(memory)) {
    PyObject* v = PyDict_GetItemWithError(memory, key);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error_set();
    if (optional) return Ref();
    PyErr_SetObject(PyExc_KeyError, key);
    throw_error_set();
  }
  PyObject* v = PyObject_GetItem(memory, key);
  if (!v && optional && PyErr_ExceptionMatches(PyExc_KeyError)) {
    PyErr_Clear();
    return Ref();
  }
  return own(v);
}

// Short ASCII texts are copied into the builder's ASCII run, so a typical
// line (ASCII event type, timestamp and JSON) is one piece of the result.
constexpr Py_ssize_t kCopyAsciiMax = 32;

void append_str(TextBuilder& out, Ref s) {
  PyObject* o = s.get();
  if (PyUnicode_IS_ASCII(o) && PyUnicode_GET_LENGTH(o) <= kCopyAsciiMax) {
    out.ascii({static_cast<const char*>(PyUnicode_DATA(o)),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(o))});
  } else {
    out.str(std::move(s));
  }
}

// Appends str(v): a str as it stands, numbers and constants formatted here,
// anything else through its __str__.
void append_text(TextBuilder& out, Ref v) {
  PyObject* o = v.get();
  if (PyUnicode_CheckExact(o)) {
    append_str(out, std::move(v));
    return;
  }
  std::string buf;
  if (append_plain_number(buf, o)) {
    out.ascii(buf);
    return;
  }
  append_str(out, own(PyObject_Str(o)));
}

void check_mapping(PyObject* memory, std::size_t index, const MemoryLineStyle& style) {
  if (PyDict_Check(memory)) return;
  const int is = check(PyObject_IsInstance(memory, g.mapping_abc));
  if (!is) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'memories' item %zu must be a mapping, not %.200s",
                 style.func, index, Py_TYPE(memory)->tp_name);
    throw_error_set();
  }
}

}  // namespace

void init_memory_lines() {
  if (g.mapping_abc) return;
  Names n;
  n.content = interned("content").release();
  n.event_type = interned("event_type").release();
  n.salience = interned("salience").release();
  n.created_at = interned("created_at").release();
  n.role = interned("role").release();
  n.user = interned("user").release();
  Ref abc = own(PyImport_ImportModule("collections.abc"));
  n.mapping_abc = own(PyObject_GetAttrString(abc.get(), "Mapping")).release();
  g = n;
}

void render_memory_lines(TextBuilder& out, PyObject* const* memories, std::size_t n,
                         const MemoryLineStyle& style) {
  JsonWriter writer;   // one buffer for the whole batch
  std::string number;  // a content that is a plain number
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* memory = memories[i];
    check_mapping(memory, i, style);

    // content first, rendered at once.
    Ref content = lookup(memory, g.content, false);
    Ref content_text;
    std::string_view ascii_text;  // the content when it renders as ASCII
    PyObject* c = content.get();
    if (PyDict_Check(c)) {
      ascii_text = writer.encode(c);
    } else if (PyUnicode_CheckExact(c)) {
      content_text = std::move(content);
    } else if (number.clear(), append_plain_number(number, c)) {
      ascii_text = number;
    } else {
      content_text = own(PyObject_Str(c));
    }

    Ref event_type = lookup(memory, g.event_type, false);
    Ref salience;
    if (style.salience) salience = lookup(memory, g.salience, true);
    Ref created_at = lookup(memory, g.created_at, false);

    char head[32];
    char* h = head;
    if (i) *h++ = '\n';
    *h++ = '[';
    h = std::to_chars(h, head + sizeof head - 3, i + 1).ptr;
    *h++ = ']';
    *h++ = ' ';
    *h++ = '(';
    out.ascii({head, static_cast<std::size_t>(h - head)});
    append_text(out, std::move(event_type));
    if (style.salience) {
      out.ascii(", salience=");
      if (salience) {
        append_text(out, std::move(salience));
      } else {
        out.ascii("N/A");
      }
    }
    out.ascii(", ");
    append_text(out, std::move(created_at));
    out.ascii("): ");
    if (content_text) {
      append_str(out, std::move(content_text));
    } else {
      out.ascii(ascii_text);
    }
  }
}

Ref build_memory_request(PyObject* system, const Template& user, PyObject* memories,
                         const MemoryLineStyle& style) {
  // A snapshot: str() of a field may run Python code that edits the list.
  Ref items = own(PyList_GetSlice(memories, 0, PyList_GET_SIZE(memories)));
  const auto n = static_cast<std::size_t>(PyList_GET_SIZE(items.get()));
  PyObject* const* first = n ? &PyList_GET_ITEM(items.get(), 0) : nullptr;

  TextBuilder text;
  user.fill(text, [&](TextBuilder& b, int slot) {
    if (slot == 0) {
      char buf[24];
      const auto r = std::to_chars(buf, buf + sizeof buf, n);
      b.ascii({buf, static_cast<std::size_t>(r.ptr - buf)});
    } else {
      render_memory_lines(b, first, n, style);
    }
  });
  Ref body = text.finish();

  Ref message = own(PyDict_New());
  check(PyDict_SetItem(message.get(), g.role, g.user));
  check(PyDict_SetItem(message.get(), g.content, body.get()));
  Ref messages = own(PyList_New(1));
  PyList_SET_ITEM(messages.get(), 0, message.release());
  return own(PyTuple_Pack(2, system, messages.get()));
}

}  // namespace qv
