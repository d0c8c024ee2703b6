// quorvane._internal.calvendry: the team-synthesis prompt body built from the
// memories a team has shared, ordered by team score, and the short SHA-256
// key by which a caller recognises a synthesis it has already run.
//
// The body is a byte-stable format: the caller's de-duplication compares
// hashes of it, so every character below (header, number format, order,
// line breaks) is part of the contract.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "_internal/common/module.hpp"
#include "_internal/common/prompt.hpp"
#include "_internal/common/py.hpp"
#include "core/number.hpp"

namespace {

constexpr const char kSystem[] =
    "You are the team's collective synthesis voice. Given a set of memories shared by multiple "
    "agents in this workspace, distill a single concise team insight that captures the "
    "consensus, pattern, or unresolved tension across them. Speak in the team's voice "
    "\xE2\x80\x94 do NOT attribute by agent. Do NOT invent facts beyond what the shared memories "
    "state.";

constexpr std::string_view kHeader =
    "Team-shared memories (one per line, prefixed with team_score):";
constexpr std::string_view kFooter =
    "\n\nSynthesise a single team insight that captures the collective signal across the above "
    "memories.";
// A row's ASCII lead "\n- (<score>) ", at its longest.
constexpr std::size_t kLeadMax = qv::core::kFixed3Max + 6;

// Exposes the UTF-8 bytes of an ASCII str (its own storage) through the
// buffer protocol, holding the str so the bytes outlive any consumer that
// keeps the buffer. This hands a prompt to the digest without a copy.
struct AsciiView {
  PyObject ob_base;
  PyObject* str;
};

int ascii_view_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  PyObject* s = reinterpret_cast<AsciiView*>(self)->str;
  return PyBuffer_FillInfo(view, self, PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s), 1, flags);
}

void ascii_view_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  Py_DECREF(reinterpret_cast<AsciiView*>(self)->str);
  PyObject_Free(self);
  Py_DECREF(tp);
}

PyType_Slot ascii_view_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&ascii_view_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&ascii_view_getbuffer)},
    {0, nullptr},
};

PyType_Spec ascii_view_spec = {
    "quorvane._internal.calvendry._AsciiView",
    static_cast<int>(sizeof(AsciiView)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    ascii_view_slots,
};

struct State : qv::ModuleState {
  PyObject* content = nullptr;  // interned attribute names
  PyObject* team_score = nullptr;
  PyObject* digest = nullptr;  // the name of the hash object's method
  PyObject* sha256 = nullptr;  // hashlib.sha256 (OpenSSL's, as CPython links it)
  PyTypeObject* ascii_view = nullptr;

  void init(PyObject* module);
};

// A team score as a double, by the library's one rule for real numbers.
double score_of(PyObject* score, std::size_t index) {
  double x = 0.0;
  if (!qv::real_value(score, x)) {
    PyErr_Format(PyExc_TypeError,
                 "build_calvendry_prompt() argument 'rows' item %zu: team_score must be a real "
                 "number, not %.200s",
                 index, Py_TYPE(score)->tp_name);
    qv::throw_error_set();
  }
  return x;
}

// row.<name>; a missing attribute keeps its AttributeError and is noted
// with the row it is missing from.
qv::Ref row_attr(PyObject* row, PyObject* name, std::size_t index) {
  PyObject* v = PyObject_GetAttr(row, name);
  if (!v) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) qv::note_item("rows", index);
    qv::throw_error_set();
  }
  return qv::Ref::steal(v);
}

// The rank of a score as an unsigned key, greater first: descending by
// score, NaN below every other score, 0.0 and -0.0 equal. Sorted stably,
// so equal keys keep their input order. One integer comparison per step
// of the sort instead of two NaN tests and a float comparison.
std::uint64_t rank_key(double score) noexcept {
  if (std::isnan(score)) return 0;
  if (score == 0) score = 0.0;  // -0.0 ties with 0.0
  const auto bits = std::bit_cast<std::uint64_t>(score);
  // Flip the sign bit of positives and every bit of negatives: the keys
  // then order as the scores do, and -inf's is still above NaN's 0.
  return bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
}

qv::Ref build_calvendry_prompt(qv::Call& call) {
  const auto [rows] = call.bind<1>({"rows"}, 1);
  call.require_list("rows", rows);
  const State& st = call.state<State>();

  // A snapshot: attribute access and __float__ may run code that edits the
  // caller's list. The list itself is never changed here.
  qv::Ref items = qv::own(PyList_GetSlice(rows, 0, PyList_GET_SIZE(rows)));
  const auto n = static_cast<std::size_t>(PyList_GET_SIZE(items.get()));
  PyObject* const* row = n ? &PyList_GET_ITEM(items.get(), 0) : nullptr;

  // Every score first, in input order (an unreadable score fails before any
  // content is read), then the contents in the sorted order.
  struct Ranked {
    std::uint64_t key;
    double score;
    std::size_t index;
  };
  // A table of the call's own: a large one is given back to the system.
  qv::InlineVector<Ranked, 64> order;
  order.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    qv::Ref score = row_attr(row[i], st.team_score, i);
    const double s = score_of(score.get(), i);
    order.emplace_back() = {rank_key(s), s, i};
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const Ranked& a, const Ranked& b) { return a.key > b.key; });

  // Then each content in that order, after its line's ASCII lead
  // "\n- (<score>) ": a str as the text it holds (a subclass never through
  // an overriding __str__, as every prompt of the library shows text),
  // anything else as its str().
  qv::TextBuilder out(256);   // rows are short lines, mostly copied whole
  out.reserve(2 * n + 1, n);  // a lead and a content per row, at most
  // Room for rows of some 80 characters, copied in while they are still in
  // the cache: growing the text by steps would copy it again each time.
  out.bytes().room(n * (kLeadMax + 80));
  out.ascii(kHeader);
  for (const Ranked& r : order) {
    qv::Ref content = row_attr(row[r.index], st.content, r.index);
    qv::ByteBuffer& bytes = out.bytes();
    const std::size_t at = bytes.size();
    char* p = bytes.room(kLeadMax);
    std::memcpy(p, "\n- (", 4);
    p += 4;
    p += qv::core::format_fixed3(r.score, p);
    std::memcpy(p, ") ", 2);
    bytes.set_end(p + 2);
    out.run({at, bytes.size() - at});
    out.text_of(std::move(content));
  }
  out.ascii(kFooter);
  return out.finish();
}

qv::Ref compute_prompt_hash(qv::Call& call) {
  const auto [prompt] = call.bind<1>({"prompt"}, 1);
  call.require_str("prompt", prompt);
  const State& st = call.state<State>();

  // The bytes to digest: an ASCII str's own storage is its UTF-8, handed
  // over in place; any other str is encoded into a new bytes (never through
  // the UTF-8 cache a str can carry, which would stay on the caller's str).
  // A lone surrogate fails to encode with UnicodeEncodeError.
  qv::ensure_ready(prompt);
  qv::Ref data;
  if (PyUnicode_IS_ASCII(prompt)) {
    auto* view = PyObject_New(AsciiView, st.ascii_view);
    if (!view) qv::throw_error_set();
    view->str = Py_NewRef(prompt);
    data = qv::Ref::steal(reinterpret_cast<PyObject*>(view));
  } else {
    data = qv::own(PyUnicode_AsUTF8String(prompt));
  }
  qv::Ref hash = qv::own(PyObject_CallOneArg(st.sha256, data.get()));
  data = nullptr;
  qv::Ref digest = qv::own(PyObject_CallMethodNoArgs(hash.get(), st.digest));
  if (!PyBytes_Check(digest.get()) || PyBytes_GET_SIZE(digest.get()) < 8)
    qv::raise(PyExc_SystemError, "SHA-256 digest has an unexpected form");

  static constexpr char kHex[] = "0123456789abcdef";
  const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(digest.get()));
  char hex[16];
  for (std::size_t k = 0; k < 8; ++k) {
    hex[2 * k] = kHex[bytes[k] >> 4];
    hex[2 * k + 1] = kHex[bytes[k] & 0xF];
  }
  return qv::str_from_ascii({hex, sizeof hex});
}

PyDoc_STRVAR(build_doc,
             "build_calvendry_prompt(rows)\n"
             "--\n"
             "\n"
             "Render the team-synthesis prompt body from shared memory rows.\n"
             "\n"
             "`rows` is a list of objects with the attributes `team_score` (a real\n"
             "number: float, int, or anything with __float__ or __index__; compared and\n"
             "written as a double) and `content` (a str as it stands, a str subclass as\n"
             "its own text; anything else as str()). The body is the header line,\n"
             "one line \"- (<score>) <content>\" per row with the score as\n"
             "format(score, \".3f\") writes it, an empty line and the footer sentence,\n"
             "joined by line feeds with none at the end.\n"
             "\n"
             "Rows are ordered by score, highest first, by a stable sort: equal scores\n"
             "keep their input order. Rows whose score is NaN come after all others,\n"
             "in their input order. The caller's list is not changed.\n"
             "\n"
             "All scores are read (in input order) before any content. Raises\n"
             "TypeError if `rows` is not a list or a score is not a real number,\n"
             "AttributeError for a missing attribute (with the note \"rows[i]\" on 3.11+),\n"
             "OverflowError for an int score beyond the float range; no partial body is\n"
             "returned.");

PyDoc_STRVAR(hash_doc,
             "compute_prompt_hash(prompt)\n"
             "--\n"
             "\n"
             "Return the first 16 lowercase hex digits of SHA-256 over the UTF-8 bytes of\n"
             "`prompt`: hashlib.sha256(prompt.encode()).hexdigest()[:16].\n"
             "\n"
             "Raises TypeError if `prompt` is not a str and UnicodeEncodeError if it\n"
             "holds a lone surrogate.");

PyMethodDef methods[] = {
    qv::fastcall_method<"build_calvendry_prompt", build_calvendry_prompt>(build_doc),
    qv::fastcall_method<"compute_prompt_hash", compute_prompt_hash>(hash_doc),
    qv::kMethodsEnd,
};

PyDoc_STRVAR(module_doc,
             "Team synthesis: the byte-stable prompt body built from the memories a team\n"
             "shared, ordered by team score, and compute_prompt_hash(), the idempotency\n"
             "key of a prompt.\n"
             "\n"
             "CALVENDRY_SYSTEM_PROMPT\n"
             "    str: the system prompt; the body of build_calvendry_prompt() is the user\n"
             "    message that goes with it.");

void State::init(PyObject* m) {
  content = keep(qv::interned("content"));
  team_score = keep(qv::interned("team_score"));
  digest = keep(qv::interned("digest"));
  qv::Ref hashlib = qv::own(PyImport_ImportModule("hashlib"));
  sha256 = keep(qv::own(PyObject_GetAttrString(hashlib.get(), "sha256")));
  ascii_view = reinterpret_cast<PyTypeObject*>(
      keep(qv::own(PyType_FromModuleAndSpec(m, &ascii_view_spec, nullptr))));
  qv::add_object(m, "CALVENDRY_SYSTEM_PROMPT", qv::str_from_utf8(kSystem));
  qv::add_object(m, "__all__",
                 qv::own(Py_BuildValue("[sss]", "CALVENDRY_SYSTEM_PROMPT", "build_calvendry_prompt",
                                       "compute_prompt_hash")));
}

qv::ModuleDef<State> module_def{"quorvane._internal.calvendry", module_doc, methods};

}  // namespace

QV_MODULE_INIT(calvendry, module_def)
