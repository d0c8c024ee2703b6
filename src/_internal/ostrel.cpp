// quorvane._internal.ostrel: the signals that end a conversation thread
// between agents. The judge's system prompt, the transcript it reads, the
// parse of its one-line verdict, and the cosine similarity behind the
// stagnation gate with that gate's threshold.
//
// This unit is compiled with -ffp-contract=off (see core/vector.hpp).
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "_internal/common/module.hpp"
#include "_internal/common/prompt.hpp"
#include "_internal/common/py.hpp"
#include "core/text.hpp"
#include "core/vector.hpp"
#include "core/verdict.hpp"

namespace {

using qv::Ref;
namespace core = qv::core;

constexpr const char kSystem[] =
    "You are a thread-completion classifier for a multi-agent conversation. Your only job is to "
    "decide whether the thread has reached a natural stopping point \xE2\x80\x94 i.e. the "
    "participants have either resolved the question, agreed to defer it, handed off to another "
    "agent, or run out of substantive new information to add. You are NOT a quality reviewer: "
    "do not judge whether the answer is correct, only whether the thread is *done*. A thread can "
    "be DONE even when the participants disagree, as long as the disagreement itself is the "
    "conclusion. A thread is OPEN when the most recent turn proposes a question, action, or "
    "claim that would normally invite a substantive response. Respond with exactly one line in "
    "the form ``CONVERGED|<one-sentence summary>`` or ``OPEN|<one-sentence reason>``. No "
    "preamble, no trailing text.";

constexpr double kStagnationThreshold = 0.92;

constexpr std::string_view kHeader = "Thread transcript (chronological):";
constexpr std::string_view kTurnOpen = "\n- [";
constexpr std::string_view kTurnSep = "] ";
// The closing question is joined to the last line by "\n" and starts with
// one of its own, leaving an empty line before it.
constexpr std::string_view kQuestion =
    "\n\nIs this thread CONVERGED or OPEN? Respond with exactly one line in the form "
    "CONVERGED|<summary> or OPEN|<reason>.";

constexpr const char kOpenReason[] = "judge marked thread open";

struct State : qv::ModuleState {
  PyObject* open_reason = nullptr;
  void init(PyObject* module);
};

// ---------------------------------------------------------------------------
// cosine_similarity

// One argument of cosine_similarity: the items of a list or tuple, or the
// memory of a one-dimensional float64/float32 buffer, held until the call
// ends.
class Vector {
 public:
  enum class Kind { objects, f64, f32 };

  Vector(const char* func, const char* arg, PyObject* o) : func_(func), arg_(arg) {
    if (PyList_Check(o) || PyTuple_Check(o)) {
      kind_ = Kind::objects;
      seq_ = o;
      return;
    }
    if (!PyObject_CheckBuffer(o)) {
      qv::raise_arg_type(func, arg,
                         "a list or tuple of real numbers or a one-dimensional float64 or "
                         "float32 buffer",
                         o);
    }
    view_.get(o);
    kind_ = buffer_kind(o);
    const Py_buffer& v = view_.view;
    data_ = static_cast<const unsigned char*>(v.buf);
    // A contiguous exporter may leave out the shape and stride tables
    // (ctypes arrays do): one item after the other, over the whole buffer.
    length_ = v.shape ? v.shape[0] : v.len / v.itemsize;
    stride_ = v.strides ? v.strides[0] : v.itemsize;
  }

  Vector(const Vector&) = delete;
  Vector& operator=(const Vector&) = delete;

  Kind kind() const noexcept { return kind_; }

  // Read once both arguments are resolved: getting a buffer may run Python
  // code, which could resize the other argument's list.
  std::size_t size() const noexcept {
    return static_cast<std::size_t>(kind_ == Kind::objects ? Py_SIZE(seq_) : length_);
  }

  template <class Source>
  Source source() const noexcept {
    if constexpr (std::is_same_v<Source, ObjectSource>) {
      return {items()};
    } else {
      return {data_, stride_};
    }
  }

  // Element i of a vector whose loop could not take it: any real number.
  // Python floats and ints convert without running Python code; anything
  // else converts through its __float__ or __index__, as float() does,
  // which may run arbitrary code, so both list arguments are first frozen
  // into tuples of their current items and read from those from here on.
  double element(std::size_t i, Vector& other) {
    if (kind_ == Kind::f64) return read<double>(i);
    if (kind_ == Kind::f32) return read<float>(i);
    PyObject* o = items()[i];
    double d = 0.0;
    if (!PyFloat_Check(o) && !PyLong_Check(o)) {
      if (!qv::is_real(o)) {
        PyErr_Format(PyExc_TypeError,
                     "%s() argument '%s' item %zu must be a real number, not %.200s", func_, arg_,
                     i, Py_TYPE(o)->tp_name);
        qv::throw_error_set();
      }
      freeze();
      other.freeze();
      o = items()[i];
    }
    qv::real_value(o, d);
    return d;
  }

  // Source of a list or tuple: Python floats (and only those, the common
  // case) are read in the loop.
  struct ObjectSource {
    PyObject* const* items;
    bool get(std::size_t i, double& out) const noexcept {
      PyObject* o = items[i];
      if (!Py_IS_TYPE(o, &PyFloat_Type)) return false;
      out = PyFloat_AS_DOUBLE(o);
      return true;
    }
  };

 private:
  // A buffer export, released when the call ends on every path.
  struct View {
    Py_buffer view{};
    bool held = false;

    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    void get(PyObject* o) {
      // Strided one-dimensional memory with its item format: all a vector
      // is read as (the tables may still be missing, see Vector).
      qv::check(PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_STRIDES));
      held = true;
    }

    ~View() {
      if (!held) return;
      // An exporter written in Python runs code on release; keep a pending
      // error out of its way.
      PyObject* pending = qv::compat::take_raised();
      PyBuffer_Release(&view);
      if (pending) qv::compat::set_raised(pending);
    }
  };

  Kind buffer_kind(PyObject* o) const {
    const Py_buffer& v = view_.view;
    if (v.ndim != 1) {
      PyErr_Format(PyExc_TypeError,
                   "%s() argument '%s' must be a one-dimensional buffer, not %.200s with %d "
                   "dimensions",
                   func_, arg_, Py_TYPE(o)->tp_name, v.ndim);
      qv::throw_error_set();
    }
    // Native float64 or float32, as struct module format codes: "@" (or no
    // prefix) is native; "=" is native byte order with standard sizes, which
    // for these two is the same IEEE layout; "<" (">" and "!") name the byte
    // order and mean native only on a little- (big-) endian machine.
    std::string_view f = v.format ? v.format : "B";
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == (kLittleEndian ? '<' : '>') ||
                       (!kLittleEndian && f[0] == '!')))
      f.remove_prefix(1);
    if (f == "d" && v.itemsize == 8) return Kind::f64;
    if (f == "f" && v.itemsize == 4) return Kind::f32;
    PyErr_Format(PyExc_TypeError,
                 "%s() argument '%s' must be a buffer of float64 ('d') or float32 ('f'), not "
                 "format '%.50s'; convert it first (e.g. with .astype(float) or .tolist())",
                 func_, arg_, v.format ? v.format : "B");
    qv::throw_error_set();
  }

  PyObject* const* items() const noexcept {
    return PySequence_Fast_ITEMS(frozen_ ? frozen_.get() : seq_);
  }

  void freeze() {
    if (kind_ == Kind::objects && !frozen_ && PyList_Check(seq_))
      frozen_ = qv::own(PyList_AsTuple(seq_));
  }

  template <class T>
  double read(std::size_t i) const noexcept {
    double d = 0.0;
    core::StridedSource<T>{data_, stride_}.get(i, d);
    return d;
  }

  static constexpr bool kLittleEndian = PY_LITTLE_ENDIAN;

  const char* func_;
  const char* arg_;
  Kind kind_ = Kind::objects;
  PyObject* seq_ = nullptr;  // borrowed: the caller's list or tuple
  Ref frozen_;               // a tuple of seq_'s items once Python code may run
  View view_;
  const unsigned char* data_ = nullptr;
  Py_ssize_t length_ = 0;
  std::ptrdiff_t stride_ = 0;
};

template <class Source>
struct Tag {
  using type = Source;
};

template <class F>
decltype(auto) with_source(Vector::Kind k, F&& f) {
  switch (k) {
    case Vector::Kind::objects:
      return f(Tag<Vector::ObjectSource>{});
    case Vector::Kind::f64:
      return f(Tag<core::StridedSource<double>>{});
    default:
      return f(Tag<core::StridedSource<float>>{});
  }
}

template <class A, class B>
double cosine(Vector& a, Vector& b, std::size_t n) {
  core::CosineSums sums;
  std::size_t i = 0;
  while ((i = core::accumulate(a.source<A>(), b.source<B>(), i, n, sums)) < n) {
    const double x = a.element(i, b);
    const double y = b.element(i, a);
    sums.add(x, y);
    ++i;
  }
  return sums.result();
}

Ref cosine_similarity(qv::Call& call) {
  const auto [arg_a, arg_b] = call.bind<2>({"a", "b"}, 2);
  Vector a(call.func, "a", arg_a);
  Vector b(call.func, "b", arg_b);
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  if (n != m) {
    PyErr_Format(PyExc_ValueError,
                 "cosine_similarity expects equal-length vectors, got len(a)=%zu and len(b)=%zu.",
                 n, m);
    qv::throw_error_set();
  }
  const bool memory_only = a.kind() != Vector::Kind::objects && b.kind() != Vector::Kind::objects;
  const double r = with_source(a.kind(), [&](auto ta) {
    return with_source(b.kind(), [&](auto tb) {
      using A = typename decltype(ta)::type;
      using B = typename decltype(tb)::type;
      // Two buffers are plain memory, held exported until the call ends.
      if (memory_only) return qv::without_gil(n, [&] { return cosine<A, B>(a, b, n); });
      return cosine<A, B>(a, b, n);
    });
  });
  return qv::own(PyFloat_FromDouble(r));
}

// ---------------------------------------------------------------------------
// build_convergence_prompt

// The transcript, written once into a str of the narrowest kind its code
// points need. Every turn is checked before any text is written: a turn is
// a list or tuple of two strs, read in place, so no Python code runs while
// the thread is read (a turn of any other kind is refused before anything
// is copied from it).
Ref build_convergence_prompt(qv::Call& call) {
  const auto [turns] = call.bind<1>({"turns"}, 1);
  if (!PyList_Check(turns) && !PyTuple_Check(turns))
    call.raise_type("turns", "list or tuple", turns);
  PyObject* const* items = PySequence_Fast_ITEMS(turns);
  const auto n = static_cast<std::size_t>(Py_SIZE(turns));
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* turn = items[i];
    if (!PyList_Check(turn) && !PyTuple_Check(turn)) {
      PyErr_Format(PyExc_TypeError,
                   "%s() turns[%zu] must be a (sender_id, content) list or tuple, not %.200s",
                   call.func, i, Py_TYPE(turn)->tp_name);
      qv::throw_error_set();
    }
    if (Py_SIZE(turn) != 2) {
      PyErr_Format(PyExc_ValueError,
                   "%s() turns[%zu] must have exactly 2 elements (sender_id, content), not %zd",
                   call.func, i, Py_SIZE(turn));
      qv::throw_error_set();
    }
    PyObject* const* pair = PySequence_Fast_ITEMS(turn);
    if (!PyUnicode_Check(pair[0])) {
      PyErr_Format(PyExc_TypeError, "%s() turns[%zu][0] (sender_id) must be str, not %.200s",
                   call.func, i, Py_TYPE(pair[0])->tp_name);
      qv::throw_error_set();
    }
    if (!PyUnicode_Check(pair[1])) {
      PyErr_Format(PyExc_TypeError, "%s() turns[%zu][1] (content) must be str, not %.200s",
                   call.func, i, Py_TYPE(pair[1])->tp_name);
      qv::throw_error_set();
    }
  }

  // The builder holds every str it is given, and nothing below runs Python
  // code, so the thread cannot change under the loop.
  qv::TextBuilder out;
  out.reserve(2 * n + 1, n);  // a run and a folded content per turn
  out.ascii(kHeader);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* const* pair = PySequence_Fast_ITEMS(items[i]);
    out.ascii(kTurnOpen);
    out.str(Ref::borrow(pair[0]));
    out.ascii(kTurnSep);
    out.folded(Ref::borrow(pair[1]));
  }
  out.ascii(kQuestion);
  return out.finish();
}

// ---------------------------------------------------------------------------
// parse_convergence_verdict

Ref parse_convergence_verdict(qv::Call& call) {
  const auto [text] = call.bind<1>({"text"}, 1);
  call.require_str("text", text);
  qv::ensure_ready(text);
  const core::Verdict v =
      qv::without_gil(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)), [text] {
        return qv::visit_units(
            text, [](const auto* u, std::size_t n) { return core::parse_verdict(u, n); });
      });
  Ref reason = v.default_reason ? Ref::borrow(call.state<State>().open_reason)
                                : qv::substr(text, v.text.begin, v.text.end);
  PyObject* pair = PyTuple_New(2);
  if (!pair) qv::throw_error_set();
  PyTuple_SET_ITEM(pair, 0, Py_NewRef(v.converged ? Py_True : Py_False));
  PyTuple_SET_ITEM(pair, 1, reason.release());
  return Ref::steal(pair);
}

// ---------------------------------------------------------------------------

PyDoc_STRVAR(cosine_doc,
             "cosine_similarity(a, b)\n"
             "--\n"
             "\n"
             "Return the cosine similarity of two embedding vectors as a float.\n"
             "\n"
             "Every element is converted to a float first; the sums a[i]*b[i],\n"
             "a[i]*a[i] and b[i]*b[i] run in index order in double precision, and the\n"
             "result is dot / (sqrt(norm_a) * sqrt(norm_b)), not clamped to [-1, 1].\n"
             "Two empty vectors, or a vector whose squared norm is exactly 0.0, give\n"
             "0.0; a NaN element gives NaN otherwise.\n"
             "\n"
             "A vector is a list or tuple of real numbers: floats, ints (converted as\n"
             "float() does, so an int beyond float range raises OverflowError), or any\n"
             "object with __float__ or __index__ (numpy scalars, Decimal, Fraction).\n"
             "Anything else in it (str, complex, None) raises TypeError. A vector may\n"
             "also be a one-dimensional buffer of native float64 or float32 (a NumPy\n"
             "array, array.array('d'), a ctypes array, a memoryview), strided or not,\n"
             "which is read in place; a buffer of any other format or dimension raises\n"
             "TypeError.\n"
             "\n"
             "Raises ValueError \"cosine_similarity expects equal-length vectors, got\n"
             "len(a)=<n> and len(b)=<m>.\" when the lengths differ.");

PyDoc_STRVAR(build_doc,
             "build_convergence_prompt(turns)\n"
             "--\n"
             "\n"
             "Render a thread's transcript as the convergence judge's user message.\n"
             "\n"
             "`turns` is a list (or tuple) of (sender_id, content) pairs of str, in\n"
             "chronological order. The message is the line\n"
             "\"Thread transcript (chronological):\", one line \"- [<sender_id>] <content>\"\n"
             "per turn with the content's whitespace runs folded into single spaces\n"
             "and its ends stripped (\" \".join(content.split())), an empty line, and\n"
             "the question asking for CONVERGED|<summary> or OPEN|<reason>; no\n"
             "trailing newline.\n"
             "\n"
             "Raises ValueError when a turn does not have exactly two elements, and\n"
             "TypeError when `turns` is not a list or tuple, a turn is not a list or\n"
             "tuple, or a sender_id or content is not a str.");

PyDoc_STRVAR(parse_doc,
             "parse_convergence_verdict(text)\n"
             "--\n"
             "\n"
             "Read the judge's reply as (is_converged, summary_or_reason).\n"
             "\n"
             "The stripped reply is split at its first \"|\"; the part before it,\n"
             "stripped and upper-cased, is the token and the rest, stripped, the\n"
             "payload (it keeps further pipes and line breaks). CONVERGED with a\n"
             "non-empty payload gives (True, payload); OPEN gives (False, payload), or\n"
             "(False, \"judge marked thread open\") when the payload is empty. Anything\n"
             "else, including a reply without a pipe, gives (False, stripped reply).\n"
             "Accepts any str and never fails on its content; raises TypeError if\n"
             "`text` is not a str.");

PyMethodDef methods[] = {
    qv::fastcall_method<"cosine_similarity", cosine_similarity>(cosine_doc),
    qv::fastcall_method<"build_convergence_prompt", build_convergence_prompt>(build_doc),
    qv::fastcall_method<"parse_convergence_verdict", parse_convergence_verdict>(parse_doc),
    qv::kMethodsEnd,
};

PyDoc_STRVAR(module_doc,
             "Thread convergence judge: the judge's system prompt, the transcript it\n"
             "reads, the parse of its one-line verdict, and the cosine similarity behind\n"
             "the stagnation gate.\n"
             "\n"
             "CONVERGENCE_JUDGE_SYSTEM_PROMPT\n"
             "    str: the judge's system prompt; the text of build_convergence_prompt()\n"
             "    is the user message that goes with it.\n"
             "STAGNATION_COSINE_THRESHOLD\n"
             "    float, 0.92: the threshold of the stagnation gate, compared with the\n"
             "    cosine_similarity() of two turns' embeddings.");

void State::init(PyObject* m) {
  open_reason = keep(qv::interned(kOpenReason));
  qv::add_object(m, "CONVERGENCE_JUDGE_SYSTEM_PROMPT", qv::str_from_utf8(kSystem));
  qv::add_object(m, "STAGNATION_COSINE_THRESHOLD",
                 qv::own(PyFloat_FromDouble(kStagnationThreshold)));
  qv::add_object(m, "__all__",
                 qv::own(Py_BuildValue("[sssss]", "CONVERGENCE_JUDGE_SYSTEM_PROMPT",
                                       "STAGNATION_COSINE_THRESHOLD", "build_convergence_prompt",
                                       "cosine_similarity", "parse_convergence_verdict")));
}

qv::ModuleDef<State> module_def{"quorvane._internal.ostrel", module_doc, methods};

}  // namespace

QV_MODULE_INIT(ostrel, module_def)
