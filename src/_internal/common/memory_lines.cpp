#include "_internal/common/memory_lines.hpp"

#include <charconv>
#include <cstring>
#include <string>

#include "_internal/common/chat.hpp"
#include "_internal/common/json_writer.hpp"

namespace qv {

namespace {

// The ASCII text of the lines, gathered in one growing buffer and handed to
// the builder as a single run, so a typical batch (ASCII event types and
// timestamps, JSON contents) costs the builder one piece. Short ASCII texts
// are copied; any other text is a str piece of its own, between two runs.
// The buffer is kept per thread between calls (a nested call on the same
// thread, from a __str__, uses a fresh one).
class Lines {
public:
  explicit Lines(TextBuilder& out) : out_(out) {
    Spare& spare = t_spare;
    if (!spare.busy) {
      spare.busy = true;
      store_ = &spare.buf;
    } else {
      store_ = &own_;
    }
  }
  ~Lines() {
    if (store_ != &t_spare.buf) return;
    if (store_->size() > kKeepMax) std::string().swap(*store_);
    t_spare.busy = false;
  }
  Lines(const Lines&) = delete;
  Lines& operator=(const Lines&) = delete;

  void ascii(std::string_view s) {
    std::memcpy(room(s.size()), s.data(), s.size());
    len_ += s.size();
  }

  void number(std::size_t v) {
    char* p = room(24);
    len_ += static_cast<std::size_t>(std::to_chars(p, p + 24, v).ptr - p);
  }

  // Appends str(v): a str as it stands, numbers and constants formatted
  // here, anything else through its __str__.
  void text(Ref v) {
    PyObject* o = v.get();
    if (!PyUnicode_CheckExact(o)) {
      if (const std::size_t k = plain_scalar_chars(o, room(kFloatReprMax))) {
        len_ += k;
        return;
      }
      v = own(PyObject_Str(o));
      o = v.get();
    }
    const auto len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
    if (PyUnicode_IS_ASCII(o) && len <= kCopyAsciiMax) {
      std::memcpy(room(len), PyUnicode_DATA(o), len);
      len_ += len;
    } else {
      flush();
      out_.str(std::move(v));
    }
  }

  void flush() {
    if (len_) out_.ascii({store_->data(), len_});
    len_ = 0;
  }

private:
  struct Spare {
    std::string buf;
    bool busy = false;
  };
  static thread_local Spare t_spare;
  static constexpr std::size_t kCopyAsciiMax = 64;
  static constexpr std::size_t kKeepMax = 1 << 20;  // larger buffers are not kept

  char* room(std::size_t n) {
    if (store_->size() - len_ < n) {
      std::size_t size = store_->size() < 4096 ? 4096 : store_->size() * 2;
      if (size - len_ < n) size = len_ + n;
      store_->resize(size);
    }
    return store_->data() + len_;
  }

  TextBuilder& out_;
  std::string* store_;
  std::string own_;
  std::size_t len_ = 0;
};

thread_local Lines::Spare Lines::t_spare;

void check_mapping(PyObject* memory, std::size_t index, PyObject* mapping_abc,
                   const MemoryLineStyle& style) {
  if (PyDict_Check(memory)) return;
  const int is = check(PyObject_IsInstance(memory, mapping_abc));
  if (!is) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'memories' item %zu must be a mapping, not %.200s",
                 style.func, index, Py_TYPE(memory)->tp_name);
    throw_error_set();
  }
}

}  // namespace

void MemoryLineNames::init(ModuleState& state) {
  content = state.keep(interned("content"));
  event_type = state.keep(interned("event_type"));
  salience = state.keep(interned("salience"));
  created_at = state.keep(interned("created_at"));
  Ref abc = own(PyImport_ImportModule("collections.abc"));
  mapping_abc = state.keep(own(PyObject_GetAttrString(abc.get(), "Mapping")));
  chat.init(state);
}

void render_memory_lines(TextBuilder& out, const MemoryLineNames& names,
                         PyObject* const* memories, std::size_t n, const MemoryLineStyle& style) {
  Lines lines(out);
  JsonWriter writer;   // one buffer for the whole batch
  char number[kFloatReprMax];  // a content that is a plain number
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* memory = memories[i];

    // content first, rendered at once.
    Ref content = get_field(memory, names.content);
    Ref content_text;
    std::string_view ascii_text;  // the content when it renders as ASCII
    PyObject* c = content.get();
    if (PyDict_Check(c)) {
      ascii_text = writer.encode(c);
    } else if (PyUnicode_CheckExact(c)) {
      content_text = std::move(content);
    } else if (const std::size_t k = plain_scalar_chars(c, number)) {
      ascii_text = {number, k};
    } else {
      content_text = own(PyObject_Str(c));
    }

    Ref event_type = get_field(memory, names.event_type);
    Ref salience;
    if (style.salience) salience = get_field(memory, names.salience, true);
    Ref created_at = get_field(memory, names.created_at);

    lines.ascii(i ? "\n[" : "[");
    lines.number(i + 1);
    lines.ascii("] (");
    lines.text(std::move(event_type));
    if (style.salience) {
      lines.ascii(", salience=");
      if (salience) {
        lines.text(std::move(salience));
      } else {
        lines.ascii("N/A");
      }
    }
    lines.ascii(", ");
    lines.text(std::move(created_at));
    lines.ascii("): ");
    if (content_text) {
      lines.text(std::move(content_text));
    } else {
      lines.ascii(ascii_text);
    }
  }
  lines.flush();
}

Ref build_memory_request(const MemoryLineNames& names, PyObject* system, const Template& user,
                         PyObject* memories, const MemoryLineStyle& style) {
  // A snapshot: str() of a field may run Python code that edits the list.
  Ref items = own(PyList_GetSlice(memories, 0, PyList_GET_SIZE(memories)));
  const auto n = static_cast<std::size_t>(PyList_GET_SIZE(items.get()));
  PyObject* const* first = n ? &PyList_GET_ITEM(items.get(), 0) : nullptr;
  // Kinds are checked before any work: a memory that is not a mapping is
  // reported ahead of a missing key or a content error in an earlier one.
  for (std::size_t i = 0; i < n; ++i) check_mapping(first[i], i, names.mapping_abc, style);

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
