// quorvane._internal.brevick: the tuning-profile record.
//
// `Brevick` is an immutable record of 54 typed fields. Each field is held as
// its Python object in a fixed slot exposed through a read-only member
// descriptor, so reading a field costs what reading a dataclass attribute
// costs. Values are normalised on the way in (exact int, exact float, bool,
// exact str or None) and never checked for range. The defaults and the six
// archetype profiles are built once at import; a factory call only copies a
// ready array of references.
//
// The type also carries a real `__dataclass_fields__`, so the `dataclasses`
// helpers (fields, asdict, astuple, replace, is_dataclass) treat a profile as
// the frozen dataclass it stands in for.

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "_internal/common/py.hpp"
#include "_internal/common/prompt.hpp"

#if PY_VERSION_HEX >= 0x030C0000
#define QV_MEMBER_OBJECT Py_T_OBJECT_EX
#define QV_MEMBER_READONLY Py_READONLY
#else
#include <structmember.h>
#define QV_MEMBER_OBJECT T_OBJECT_EX
#define QV_MEMBER_READONLY READONLY
#endif

namespace {

using qv::own;
using qv::Ref;

// ---------------------------------------------------------------------------
// The fields

enum class Kind : unsigned char { Int, Real, Truth, Text };

struct FieldSpec {
  const char* name;
  Kind kind;
  double value;  // default; integers here are small enough to be exact
  const char* doc;
};

constexpr FieldSpec kFields[] = {
    {"salience_reinforcement_weight", Kind::Real, 0.4,
     "Weight of the reinforcement component of a memory's salience."},
    {"salience_emotion_weight", Kind::Real, 0.4,
     "Weight of the emotion component of salience (emotional reactivity)."},
    {"salience_recency_weight", Kind::Real, 0.2, "Weight of the recency component of salience."},
    {"salience_reinforcement_cap", Kind::Int, 5,
     "Cap on the reinforcement count that salience takes into account."},
    {"salience_recency_half_life_days", Kind::Real, 7.0,
     "Half-life of the recency component, in days."},
    {"decay_factor", Kind::Real, 0.9, "Memory decay factor."},
    {"weaken_days", Kind::Int, 30, "Age in days tied to weakening a memory."},
    {"archive_days", Kind::Int, 90, "Age in days tied to archiving a memory."},
    {"emotional_immunity_threshold", Kind::Real, 0.7,
     "Emotional-intensity threshold of flashbulb memories (immune to decay)."},
    {"directive_provisional_days", Kind::Int, 7, "Days a new directive stays provisional."},
    {"directive_decay_usage_threshold", Kind::Int, 2, "Usage bar of the directive decay rule."},
    {"directive_decay_age_days", Kind::Int, 7, "Age in days of the directive decay rule."},
    {"directive_max_volume", Kind::Int, 50, "Maximum number of directives held."},
    {"critic_max_directives", Kind::Int, 20,
     "Maximum number of directives the critic works with."},
    {"coherence_threshold", Kind::Real, 0.6, "Coherence threshold (higher = stricter)."},
    {"entropy_churn_weight", Kind::Real, 0.4, "Weight of churn in the entropy measure."},
    {"entropy_volume_weight", Kind::Real, 0.4, "Weight of volume in the entropy measure."},
    {"entropy_staleness_weight", Kind::Real, 0.2, "Weight of staleness in the entropy measure."},
    {"entropy_volume_cap", Kind::Real, 50.0, "Volume cap of the entropy measure."},
    {"entropy_stale_days", Kind::Int, 30, "Age in days from which an item counts as stale."},
    {"entropy_cycle_hours", Kind::Int, 24, "Interval of the entropy cycle, in hours."},
    {"journal_max_content_size", Kind::Int, 50000, "Size limit of journal input content."},
    {"journal_max_memories", Kind::Int, 50, "Maximum memories per journal synthesis."},
    {"journal_min_memories", Kind::Int, 2, "Minimum memories per journal synthesis."},
    {"dream_max_steps_size", Kind::Int, 100000, "Size limit of dream-cycle steps."},
    {"dream_evolve_max_per_cycle", Kind::Int, 3,
     "Maximum directives proposed per evolution cycle."},
    {"dream_evolve_temperature", Kind::Real, 0.2,
     "Sampling temperature of the evolution model call\n(low = deterministic, high = "
     "exploratory)."},
    {"dream_evolve_style_guidance", Kind::Text, 0,
     "Extra phrasing rule for the evolution prompt; None = no extra rule."},
    {"consolidation_max_inputs", Kind::Int, 20, "Maximum memories per consolidation batch."},
    {"consolidation_min_salience", Kind::Real, 0.4, "Minimum salience for consolidation input."},
    {"tier2_dedup_threshold", Kind::Real, 0.95, "De-duplication threshold of consolidation."},
    {"max_context_chars", Kind::Int, 100000, "Context budget, in characters."},
    {"enable_fact_extraction", Kind::Truth, 0, "Switches fact extraction on."},
    {"fact_extraction_temperature", Kind::Real, 0.1, "Sampling temperature of fact extraction."},
    {"fact_extraction_max_per_memory", Kind::Int, 8, "Maximum facts extracted per memory."},
    {"facts_context_slot_chars", Kind::Int, 4000, "Characters of context set aside for facts."},
    {"critic_verifies_grounding", Kind::Truth, 0, "The critic verifies grounding."},
    {"grounding_max_claims", Kind::Int, 6, "Maximum claims verified for grounding."},
    {"grounding_semantic_threshold", Kind::Real, 0.6,
     "Semantic-similarity threshold of the grounding check."},
    {"quorvane_memory_diversity_weight", Kind::Real, 0.25,
     "Composite agent score: weight of memory diversity."},
    {"quorvane_directive_coherence_weight", Kind::Real, 0.2,
     "Composite agent score: weight of directive coherence."},
    {"quorvane_dream_health_weight", Kind::Real, 0.25,
     "Composite agent score: weight of dream health."},
    {"quorvane_reinforcement_ratio_weight", Kind::Real, 0.2,
     "Composite agent score: weight of the reinforcement ratio."},
    {"quorvane_journal_frequency_weight", Kind::Real, 0.1,
     "Composite agent score: weight of journal frequency."},
    {"quorvane_journal_target_days", Kind::Real, 7.0,
     "Target journal interval, in days, of the frequency component."},
    {"health_quorvane_healthy_threshold", Kind::Real, 0.65,
     "Composite-score threshold of the healthy state."},
    {"health_dream_success_healthy_threshold", Kind::Real, 0.9,
     "Dream success-rate threshold of the healthy state."},
    {"health_stagnant_capture_threshold_7d", Kind::Int, 3,
     "Threshold on memories captured in seven days, stagnant state."},
    {"health_stagnant_reinforcement_ratio", Kind::Real, 0.05,
     "Reinforcement-ratio threshold of the stagnant state."},
    {"health_drifting_demotion_rate_threshold", Kind::Real, 0.4,
     "Demotion-rate threshold of the drifting state."},
    {"health_overloaded_dream_failure_threshold", Kind::Real, 0.3,
     "Dream failure-rate threshold of the overloaded state."},
    {"postgres_ivf_lists", Kind::Int, 100,
     "Number of lists of the inverted-file (IVF) vector index of a PostgreSQL store."},
    {"postgres_ivf_threshold_rows", Kind::Int, 1000, "Row-count threshold of that index."},
    {"dream_phase_concurrency", Kind::Int, 2, "Number of dream phases run at once."},
};

constexpr std::size_t N = std::size(kFields);
static_assert(N == 54);

// ---------------------------------------------------------------------------
// The archetypes

struct Override {
  const char* field;
  double value;
  const char* text = nullptr;  // for the optional text field
};

constexpr const char* kCodingGuidance =
    "Phrase rules as code-review heuristics with falsifiable triggers (e.g., 'When a function "
    "exceeds 50 lines, flag it for splitting').";
constexpr const char* kConsumerGuidance =
    "Phrase rules from the perspective of serving the user well, not from a business-strategy "
    "perspective. Avoid framing terms like 'retention', 'lifetime value', 'loyalty', "
    "'maximize', or 'strategically'. A rule the user would feel respected by, not manipulated "
    "by.";

constexpr Override kResearch[] = {
    {"salience_recency_half_life_days", 21.0},
    {"decay_factor", 0.95},
    {"weaken_days", 60},
    {"archive_days", 180},
    {"directive_max_volume", 100},
    {"critic_max_directives", 30},
    {"coherence_threshold", 0.5},
    {"journal_max_content_size", 100000},
    {"journal_max_memories", 100},
    {"dream_evolve_max_per_cycle", 5},
    {"dream_evolve_temperature", 0.4},
    {"consolidation_max_inputs", 30},
    {"consolidation_min_salience", 0.3},
};
constexpr Override kCoding[] = {
    {"salience_recency_half_life_days", 3.0},
    {"decay_factor", 0.8},
    {"weaken_days", 14},
    {"archive_days", 60},
    {"directive_decay_usage_threshold", 3},
    {"directive_decay_age_days", 5},
    {"directive_max_volume", 40},
    {"coherence_threshold", 0.7},
    {"entropy_stale_days", 14},
    {"journal_max_memories", 30},
    {"dream_evolve_max_per_cycle", 2},
    {"dream_evolve_temperature", 0.1},
    {"dream_evolve_style_guidance", 0, kCodingGuidance},
    {"consolidation_min_salience", 0.5},
    {"max_context_chars", 80000},
};
constexpr Override kConsumer[] = {
    {"dream_evolve_style_guidance", 0, kConsumerGuidance},
};
constexpr Override kStrategic[] = {
    {"salience_emotion_weight", 0.2},
    {"salience_reinforcement_weight", 0.6},
    {"salience_recency_half_life_days", 30.0},
    {"decay_factor", 0.95},
    {"weaken_days", 90},
    {"archive_days", 365},
    {"emotional_immunity_threshold", 0.8},
    {"directive_provisional_days", 14},
    {"directive_max_volume", 30},
    {"critic_max_directives", 25},
    {"coherence_threshold", 0.75},
    {"journal_max_memories", 30},
    {"dream_evolve_max_per_cycle", 2},
    {"dream_evolve_temperature", 0.15},
    {"consolidation_min_salience", 0.5},
};
constexpr Override kLightweight[] = {
    {"directive_max_volume", 20},
    {"critic_max_directives", 10},
    {"journal_max_content_size", 20000},
    {"journal_max_memories", 20},
    {"dream_evolve_max_per_cycle", 1},
    {"dream_evolve_temperature", 0.2},
    {"consolidation_max_inputs", 10},
    {"max_context_chars", 32000},
};

struct Archetype {
  const Override* overrides;
  std::size_t count;
};

constexpr Archetype kArchetypes[] = {
    {nullptr, 0},
    {kResearch, std::size(kResearch)},
    {kCoding, std::size(kCoding)},
    {kConsumer, std::size(kConsumer)},
    {kStrategic, std::size(kStrategic)},
    {kLightweight, std::size(kLightweight)},
};
constexpr std::size_t kArchetypeCount = std::size(kArchetypes);

// ---------------------------------------------------------------------------
// Module state, built once at import and never changed afterwards

struct BrevickObject {
  PyObject_HEAD
  PyObject* values[N];
};

PyTypeObject BrevickType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyMemberDef g_members[N + 1];
PyObject* g_names[N];                                // interned field names
PyObject* g_index;                                   // name -> position
PyObject* g_profiles[kArchetypeCount][N];            // [0] is the defaults
PyObject* g_frozen_error;                            // dataclasses.FrozenInstanceError
// Lives as long as the type, so it is never freed.
std::string& g_class_doc = *new std::string;

const char* const kInit = "Brevick.__init__";

bool is_profile(PyObject* o) { return Py_IS_TYPE(o, &BrevickType); }

BrevickObject* as_profile(PyObject* o) { return reinterpret_cast<BrevickObject*>(o); }

// A new profile with every slot empty; the caller fills all of them.
BrevickObject* alloc_profile() {
  void* mem = PyObject_Malloc(sizeof(BrevickObject));
  if (!mem) {
    PyErr_NoMemory();
    qv::throw_error_set();
  }
  auto* self = reinterpret_cast<BrevickObject*>(PyObject_Init(static_cast<PyObject*>(mem),
                                                              &BrevickType));
  std::memset(self->values, 0, sizeof self->values);
  return self;
}

// A profile holding new references to `values`.
PyObject* copy_profile(PyObject* const* values) {
  BrevickObject* self = alloc_profile();
  for (std::size_t i = 0; i < N; ++i) {
    Py_INCREF(values[i]);
    self->values[i] = values[i];
  }
  return reinterpret_cast<PyObject*>(self);
}

// ---------------------------------------------------------------------------
// Kinds: every value is normalised to the one type its field holds.

[[noreturn]] void raise_kind(std::size_t i, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "Brevick() argument '%s' must be %s, not %.200s", kFields[i].name,
               expected, Py_TYPE(got)->tp_name);
  qv::throw_error_set();
}

// Returns a new reference to the normalised value for field i.
PyObject* normalise(std::size_t i, PyObject* v) {
  switch (kFields[i].kind) {
    case Kind::Int:
      if (PyLong_CheckExact(v)) {
        Py_INCREF(v);
        return v;
      }
      if (PyBool_Check(v) || !PyIndex_Check(v)) raise_kind(i, "int", v);
      // PyNumber_Index gives an exact int on every supported version.
      return own(PyNumber_Index(v)).release();
    case Kind::Real: {
      if (PyFloat_CheckExact(v)) {
        Py_INCREF(v);
        return v;
      }
      if (PyBool_Check(v)) raise_kind(i, "float or int", v);
      double d;
      if (PyFloat_Check(v)) {
        d = PyFloat_AS_DOUBLE(v);
      } else if (PyLong_Check(v)) {
        d = PyLong_AsDouble(v);
      } else {
        const PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
        if (!nb || (!nb->nb_float && !nb->nb_index)) raise_kind(i, "float or int", v);
        d = PyFloat_AsDouble(v);
      }
      if (d == -1.0 && PyErr_Occurred()) qv::throw_error_set();
      return own(PyFloat_FromDouble(d)).release();
    }
    case Kind::Truth:
      if (!PyBool_Check(v)) raise_kind(i, "bool", v);
      Py_INCREF(v);
      return v;
    case Kind::Text:
      if (v == Py_None || PyUnicode_CheckExact(v)) {
        Py_INCREF(v);
        return v;
      }
      if (!PyUnicode_Check(v)) raise_kind(i, "str or None", v);
      return own(PyUnicode_FromObject(v)).release();  // exact str copy of a subclass
  }
  return nullptr;  // unreachable
}

// Position of field `key`, or -1 with no error set when there is none.
Py_ssize_t field_index(PyObject* key) {
  for (std::size_t i = 0; i < N; ++i) {
    if (g_names[i] == key) return static_cast<Py_ssize_t>(i);
  }
  PyObject* found = PyDict_GetItemWithError(g_index, key);
  if (!found) {
    if (PyErr_Occurred()) qv::throw_error_set();
    return -1;
  }
  return PyLong_AsSsize_t(found);
}

[[noreturn]] void raise_unexpected(PyObject* key) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", kInit, key);
  qv::throw_error_set();
}

// Position of keyword `key`; raises for a name the record does not have.
std::size_t keyword_index(PyObject* key) {
  if (!PyUnicode_Check(key)) qv::raise(PyExc_TypeError, "keywords must be strings");
  const Py_ssize_t i = field_index(key);
  if (i < 0) raise_unexpected(key);
  return static_cast<std::size_t>(i);
}

// Holds a half-built profile and frees it unless released.
struct Building {
  BrevickObject* self = alloc_profile();
  ~Building() { Py_XDECREF(reinterpret_cast<PyObject*>(self)); }
  PyObject* release() { return reinterpret_cast<PyObject*>(std::exchange(self, nullptr)); }
};

// A new profile holding the normalised given[i] where one was given and
// base[i] elsewhere.
PyObject* with_values(const std::array<PyObject*, N>& given, PyObject* const* base) {
  Building b;
  for (std::size_t i = 0; i < N; ++i) {
    if (given[i]) {
      b.self->values[i] = normalise(i, given[i]);
    } else {
      Py_INCREF(base[i]);
      b.self->values[i] = base[i];
    }
  }
  return b.release();
}

// Construction from positional values and keyword pairs; `each_kw(f)` calls
// f(key, value) for every keyword argument.
template <class EachKw>
PyObject* construct(PyObject* const* args, std::size_t nargs, EachKw&& each_kw) {
  if (nargs > N) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from 1 to %zu positional arguments but %zu were given", kInit, N + 1,
                 nargs + 1);
    qv::throw_error_set();
  }
  // Every argument is bound to its field before any value is converted, so
  // a wrong name or a doubled value is reported ahead of a conversion error.
  // The values are borrowed: the caller's arguments outlive the call.
  std::array<PyObject*, N> given{};
  for (std::size_t i = 0; i < nargs; ++i) given[i] = args[i];
  each_kw([&](PyObject* key, PyObject* value) {
    const std::size_t i = keyword_index(key);
    if (given[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", kInit,
                   kFields[i].name);
      qv::throw_error_set();
    }
    given[i] = value;
  });
  return with_values(given, g_profiles[0]);
}

PyObject* brevick_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return qv::guard([&] {
    const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    return construct(args, nargs, [&](auto&& f) {
      if (!kwnames) return;
      const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
      for (Py_ssize_t k = 0; k < nkw; ++k) {
        f(PyTuple_GET_ITEM(kwnames, k), args[nargs + static_cast<std::size_t>(k)]);
      }
    });
  });
}

// Calls f(key, value) for every item of dict `d`, holding references to both
// so that conversion code cannot pull them away.
template <class F>
void each_dict_item(PyObject* d, F&& f) {
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(d, &pos, &key, &value)) {
    Ref k = Ref::borrow(key);
    Ref v = Ref::borrow(value);
    f(k.get(), v.get());
  }
}

PyObject* brevick_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
  return qv::guard([&] {
    return construct(&PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(args)),
                     [&](auto&& f) {
                       if (kwds) each_dict_item(kwds, f);
                     });
  });
}

void brevick_dealloc(PyObject* o) {
  auto* self = as_profile(o);
  for (std::size_t i = 0; i < N; ++i) Py_XDECREF(self->values[i]);
  Py_TYPE(o)->tp_free(o);
}

// ---------------------------------------------------------------------------
// Immutability

int brevick_setattro(PyObject*, PyObject* name, PyObject* value) {
  PyErr_Format(g_frozen_error, value ? "cannot assign to field %R" : "cannot delete field %R",
               name);
  return -1;
}

// ---------------------------------------------------------------------------
// Equality, hash, text form

PyObject* brevick_richcompare(PyObject* a, PyObject* b, int op) {
  if (!is_profile(a) || !is_profile(b) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  bool equal = true;
  if (a != b) {
    for (std::size_t i = 0; i < N && equal; ++i) {
      const int r = PyObject_RichCompareBool(as_profile(a)->values[i], as_profile(b)->values[i],
                                             Py_EQ);
      if (r < 0) return nullptr;
      equal = r != 0;
    }
  }
  return PyBool_FromLong((op == Py_EQ) == equal);
}

// The hash of the tuple of the values, computed as tuple.__hash__ does it
// without building the tuple.
Py_hash_t brevick_hash(PyObject* o) {
#if SIZEOF_PY_UHASH_T > 4
  constexpr Py_uhash_t p1 = 11400714785074694791ULL;
  constexpr Py_uhash_t p2 = 14029467366897019727ULL;
  constexpr Py_uhash_t p5 = 2870177450012600261ULL;
  auto rotate = [](Py_uhash_t x) { return (x << 31) | (x >> 33); };
#else
  constexpr Py_uhash_t p1 = 2654435761UL;
  constexpr Py_uhash_t p2 = 2246822519UL;
  constexpr Py_uhash_t p5 = 374761393UL;
  auto rotate = [](Py_uhash_t x) { return (x << 13) | (x >> 19); };
#endif
  Py_uhash_t acc = p5;
  for (std::size_t i = 0; i < N; ++i) {
    const Py_hash_t h = PyObject_Hash(as_profile(o)->values[i]);
    if (h == -1) return -1;
    acc += static_cast<Py_uhash_t>(h) * p2;
    acc = rotate(acc);
    acc *= p1;
  }
  acc += N ^ (p5 ^ 3527539UL);
  if (acc == static_cast<Py_uhash_t>(-1)) return 1546275796;
  return static_cast<Py_hash_t>(acc);
}

PyObject* brevick_repr(PyObject* o) {
  return qv::guard([&] {
    qv::TextBuilder b;
    b.ascii("Brevick(");
    for (std::size_t i = 0; i < N; ++i) {
      if (i) b.ascii(", ");
      b.ascii(kFields[i].name);
      b.ascii("=");
      b.str(own(PyObject_Repr(as_profile(o)->values[i])));
    }
    b.ascii(")");
    return b.finish().release();
  });
}

// ---------------------------------------------------------------------------
// Copy with replacement

// A copy of `src` with the changes that `each_change(f)` reports as f(key, value).
template <class EachChange>
PyObject* replaced(PyObject* src, EachChange&& each_change) {
  // Bound first, converted after, as in construction. A change may come from
  // a mapping that conversion code could edit, so its values are held.
  std::array<PyObject*, N> given{};
  std::vector<Ref> held;
  each_change([&](PyObject* key, PyObject* value) {
    const std::size_t i = keyword_index(key);
    held.push_back(Ref::borrow(value));
    given[i] = value;
  });
  return with_values(given, as_profile(src)->values);
}

template <class F>
void each_kwname(PyObject* const* args, std::size_t nargs, PyObject* kwnames, F&& f) {
  if (!kwnames) return;
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    f(PyTuple_GET_ITEM(kwnames, k), args[nargs + static_cast<std::size_t>(k)]);
  }
}

// Calls f(key, value) for every item of a mapping: a dict directly, anything
// else through keys() and item access.
template <class F>
void each_mapping_item(PyObject* m, F&& f) {
  if (PyDict_Check(m)) {
    each_dict_item(m, f);
    return;
  }
  // What ** accepts: an object with keys() and item access.
  Ref keys_method = Ref::steal(PyObject_GetAttrString(m, "keys"));
  if (!keys_method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) qv::throw_error_set();
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "replace() argument 2 must be a mapping, not %.200s",
                 Py_TYPE(m)->tp_name);
    qv::throw_error_set();
  }
  Ref keys = own(PyObject_CallNoArgs(keys_method.get()));
  Ref iter = own(PyObject_GetIter(keys.get()));
  while (Ref key = Ref::steal(PyIter_Next(iter.get()))) {
    Ref value = own(PyObject_GetItem(m, key.get()));
    f(key.get(), value.get());
  }
  if (PyErr_Occurred()) qv::throw_error_set();
}

PyObject* module_replace(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return qv::guard([&]() -> PyObject* {
    const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<size_t>(nargsf)));
    if (nargs == 0) {
      qv::raise(PyExc_TypeError, "replace() missing required argument 'profile' (pos 1)");
    }
    if (nargs > 2) {
      PyErr_Format(PyExc_TypeError,
                   "replace() takes from 1 to 2 positional arguments but %zu were given", nargs);
      qv::throw_error_set();
    }
    PyObject* profile = args[0];
    if (!is_profile(profile)) {
      PyErr_Format(PyExc_TypeError, "replace() argument 1 must be Brevick, not %.200s",
                   Py_TYPE(profile)->tp_name);
      qv::throw_error_set();
    }
    PyObject* changes = nargs == 2 ? args[1] : Py_None;
    const bool has_kw = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    if (changes != Py_None) {
      if (has_kw) {
        qv::raise(PyExc_TypeError,
                  "replace() takes the changes either as a mapping or as keyword arguments, "
                  "not both");
      }
      return replaced(profile, [&](auto&& f) { each_mapping_item(changes, f); });
    }
    return replaced(profile, [&](auto&& f) { each_kwname(args, nargs, kwnames, f); });
  });
}

PyObject* brevick_replace_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
  return qv::guard([&] {
    const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<size_t>(nargsf)));
    if (nargs) {
      PyErr_Format(PyExc_TypeError,
                   "Brevick.__replace__() takes 0 positional arguments but %zu were given", nargs);
      qv::throw_error_set();
    }
    return replaced(self, [&](auto&& f) { each_kwname(args, 0, kwnames, f); });
  });
}

// ---------------------------------------------------------------------------
// Pickling and the factories

PyObject* brevick_reduce(PyObject* self, PyObject*) {
  return qv::guard([&] {
    Ref values = own(PyTuple_New(static_cast<Py_ssize_t>(N)));
    for (std::size_t i = 0; i < N; ++i) {
      PyObject* v = as_profile(self)->values[i];
      Py_INCREF(v);
      PyTuple_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), v);
    }
    return Py_BuildValue("(ON)", reinterpret_cast<PyObject*>(&BrevickType), values.release());
  });
}

template <std::size_t K>
PyObject* factory(PyObject*, PyObject*) {
  return qv::guard([] { return copy_profile(g_profiles[K]); });
}

PyDoc_STRVAR(balanced_doc,
             "balanced($cls, /)\n--\n\n"
             "The general-purpose profile: every field at its default.");
PyDoc_STRVAR(
    for_research_doc,
    "for_research($cls, /)\n--\n\n"
    "Deep knowledge accumulation, long retention, creative synthesis.\n\n"
    "Gentle decay (long half-life, slow weakening and archiving), wider\n"
    "consolidation batches with a lower salience bar, a higher evolution\n"
    "temperature for exploratory connections, larger directive sets (complex\n"
    "domains need more rules), larger journal batches.");
PyDoc_STRVAR(
    for_coding_assistant_doc,
    "for_coding_assistant($cls, /)\n--\n\n"
    "High-churn context, tight rules, aggressive cleanup.\n\n"
    "Short half-lives and aggressive decay, earlier staleness, a stricter\n"
    "directive usage bar and shorter directive decay age, near-deterministic\n"
    "evolution, high coherence (a contradiction counts as a defect), a tighter\n"
    "context budget (code is token-dense), and code-review phrasing guidance\n"
    "for evolved directives.");
PyDoc_STRVAR(
    for_consumer_support_doc,
    "for_consumer_support($cls, /)\n--\n\n"
    "End-user-facing service, support, coaching or care.\n\n"
    "Only the phrasing rule changes: directives are phrased from the user's\n"
    "perspective, not from business strategy; all other tuning stays at\n"
    "balanced() because support workloads vary widely.");
PyDoc_STRVAR(
    for_strategic_advisors_doc,
    "for_strategic_advisors($cls, /)\n--\n\n"
    "High-stakes decisions, strict coherence, institutional memory.\n\n"
    "Long memory persistence (archiving after a year), strict coherence, low\n"
    "emotional reactivity with reinforcement weighted up, conservative\n"
    "directive evolution (fewer proposals per cycle, a low temperature, a\n"
    "longer provisional period, a smaller directive set), a higher flashbulb\n"
    "threshold.");
PyDoc_STRVAR(
    for_lightweight_local_doc,
    "for_lightweight_local($cls, /)\n--\n\n"
    "Small on-premises models; minimise model calls.\n\n"
    "Trimmed directive sets, smaller synthesis batches, one directive per\n"
    "evolution cycle, a tight context window.");
PyDoc_STRVAR(replace_method_doc,
             "__replace__($self, /, **changes)\n--\n\n"
             "A copy of this profile with the named fields replaced (copy.replace).");
PyDoc_STRVAR(reduce_doc, "__reduce__($self, /)\n--\n\nPickle support.");

PyMethodDef brevick_methods[] = {
    {"balanced", factory<0>, METH_CLASS | METH_NOARGS, balanced_doc},
    {"for_research", factory<1>, METH_CLASS | METH_NOARGS, for_research_doc},
    {"for_coding_assistant", factory<2>, METH_CLASS | METH_NOARGS, for_coding_assistant_doc},
    {"for_consumer_support", factory<3>, METH_CLASS | METH_NOARGS, for_consumer_support_doc},
    {"for_strategic_advisors", factory<4>, METH_CLASS | METH_NOARGS, for_strategic_advisors_doc},
    {"for_lightweight_local", factory<5>, METH_CLASS | METH_NOARGS, for_lightweight_local_doc},
    {"__replace__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(brevick_replace_method)),
     METH_FASTCALL | METH_KEYWORDS, replace_method_doc},
    {"__reduce__", brevick_reduce, METH_NOARGS, reduce_doc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kClassDocBody =
    "An immutable tuning profile: every tuning constant of the kit in one record.\n\n"
    "Build one from any subset of its fields, by keyword or by position in\n"
    "declaration order; fields left out take their defaults, which are the\n"
    "balanced() profile. The six factories (balanced, for_research,\n"
    "for_coding_assistant, for_consumer_support, for_strategic_advisors,\n"
    "for_lightweight_local) give the shipped archetypes; replace() gives a copy\n"
    "with some fields changed.\n\n"
    "Each field holds one kind of value, normalised on the way in:\n\n"
    "- integer fields take int or anything with __index__ (not bool), stored as\n"
    "  an exact int of any size;\n"
    "- real fields take float, int or anything with __float__ or __index__ (not\n"
    "  bool, not str), stored as an exact float;\n"
    "- truth fields take bool only;\n"
    "- dream_evolve_style_guidance takes str or None.\n\n"
    "Anything else raises TypeError naming the field. Ranges, signs and sums are\n"
    "never checked: a weight of 7 or a negative day count is stored unchanged.\n\n"
    "Fields are read-only: assigning or deleting one (or adding an attribute)\n"
    "raises dataclasses.FrozenInstanceError. Profiles compare equal when all\n"
    "fields are equal, hash consistently with that, pickle and copy, and work\n"
    "with the dataclasses helpers (fields, asdict, astuple, replace).";

// ---------------------------------------------------------------------------
// Module

PyDoc_STRVAR(replace_doc,
             "replace($module, profile, changes=None, /, **fields)\n--\n\n"
             "Return a copy of profile with the given fields replaced.\n\n"
             "Changes come either as keyword arguments, as dataclasses.replace takes\n"
             "them, or as a mapping of field name to value in changes; giving both is\n"
             "a TypeError. A name the record does not have raises TypeError naming it,\n"
             "and so does a value of the wrong kind. profile itself never changes.");

PyMethodDef module_methods[] = {
    {"replace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_replace)),
     METH_FASTCALL | METH_KEYWORDS, replace_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvane._internal.brevick",
    "The tuning-profile record Brevick and its copy-with-replacement replace().",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Builds the defaults, the archetype values and the lookup tables.
void build_tables() {
  Ref index = own(PyDict_New());
  for (std::size_t i = 0; i < N; ++i) {
    Ref name = qv::interned(kFields[i].name);
    Ref pos = own(PyLong_FromSize_t(i));
    qv::check(PyDict_SetItem(index.get(), name.get(), pos.get()));
    g_names[i] = name.release();

    PyObject* v = nullptr;
    switch (kFields[i].kind) {
      case Kind::Int:
        v = PyLong_FromLongLong(static_cast<long long>(kFields[i].value));
        break;
      case Kind::Real:
        v = PyFloat_FromDouble(kFields[i].value);
        break;
      case Kind::Truth:
        v = PyBool_FromLong(kFields[i].value != 0);
        break;
      case Kind::Text:
        v = Py_NewRef(Py_None);
        break;
    }
    g_profiles[0][i] = own(v).release();
  }
  g_index = index.release();

  for (std::size_t k = 1; k < kArchetypeCount; ++k) {
    for (std::size_t i = 0; i < N; ++i) g_profiles[k][i] = Py_NewRef(g_profiles[0][i]);
    for (std::size_t j = 0; j < kArchetypes[k].count; ++j) {
      const Override& o = kArchetypes[k].overrides[j];
      Ref key = qv::interned(o.field);
      const Py_ssize_t i = field_index(key.get());
      if (i < 0) qv::raise(PyExc_SystemError, "brevick: archetype names an unknown field");
      const auto u = static_cast<std::size_t>(i);
      Ref v;
      switch (kFields[u].kind) {
        case Kind::Int:
          v = own(PyLong_FromLongLong(static_cast<long long>(o.value)));
          break;
        case Kind::Real:
          v = own(PyFloat_FromDouble(o.value));
          break;
        case Kind::Truth:
          v = own(PyBool_FromLong(o.value != 0));
          break;
        case Kind::Text:
          v = o.text ? qv::str_from_ascii(o.text) : Ref::borrow(Py_None);
          break;
      }
      Py_SETREF(g_profiles[k][u], v.release());
    }
  }
}

// The class docstring opens with the constructor signature (defaults shown as
// their repr), so help() and inspect.signature() show every field.
void build_class_doc() {
  g_class_doc = "Brevick(";
  for (std::size_t i = 0; i < N; ++i) {
    if (i) g_class_doc += ", ";
    g_class_doc += kFields[i].name;
    g_class_doc += '=';
    Ref r = own(PyObject_Repr(g_profiles[0][i]));
    std::string scratch;
    g_class_doc += qv::utf8(r.get(), scratch);
  }
  g_class_doc += ")\n--\n\n";
  g_class_doc += kClassDocBody;
}

// The dataclasses view of the record: the Field objects of a throwaway frozen
// dataclass with the same names, types and defaults.
Ref build_type_dict() {
  Ref dataclasses = own(PyImport_ImportModule("dataclasses"));
  g_frozen_error = own(PyObject_GetAttrString(dataclasses.get(), "FrozenInstanceError")).release();

  Ref optional_str = own(PyNumber_Or(reinterpret_cast<PyObject*>(&PyUnicode_Type), Py_None));
  Ref field_defs = own(PyList_New(static_cast<Py_ssize_t>(N)));
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* tp = nullptr;
    switch (kFields[i].kind) {
      case Kind::Int: tp = reinterpret_cast<PyObject*>(&PyLong_Type); break;
      case Kind::Real: tp = reinterpret_cast<PyObject*>(&PyFloat_Type); break;
      case Kind::Truth: tp = reinterpret_cast<PyObject*>(&PyBool_Type); break;
      case Kind::Text: tp = optional_str.get(); break;
    }
    PyObject* field_def = own(PyTuple_Pack(3, g_names[i], tp, g_profiles[0][i])).release();
    PyList_SET_ITEM(field_defs.get(), static_cast<Py_ssize_t>(i), field_def);
  }
  Ref make = own(PyObject_GetAttrString(dataclasses.get(), "make_dataclass"));
  Ref args = own(Py_BuildValue("(sO)", "Brevick", field_defs.get()));
  Ref kwargs = own(Py_BuildValue("{sO}", "frozen", Py_True));
  Ref shadow = own(PyObject_Call(make.get(), args.get(), kwargs.get()));

  Ref dict = own(PyDict_New());
  for (const char* name : {"__dataclass_fields__", "__dataclass_params__"}) {
    Ref v = own(PyObject_GetAttrString(shadow.get(), name));
    qv::check(PyDict_SetItemString(dict.get(), name, v.get()));
  }
  Ref match_args = own(PyTuple_New(static_cast<Py_ssize_t>(N)));
  for (std::size_t i = 0; i < N; ++i) {
    PyTuple_SET_ITEM(match_args.get(), static_cast<Py_ssize_t>(i), Py_NewRef(g_names[i]));
  }
  qv::check(PyDict_SetItemString(dict.get(), "__match_args__", match_args.get()));
  return dict;
}

void ready_type() {
  for (std::size_t i = 0; i < N; ++i) {
    g_members[i] = PyMemberDef{kFields[i].name, QV_MEMBER_OBJECT,
                               static_cast<Py_ssize_t>(offsetof(BrevickObject, values) +
                                                       i * sizeof(PyObject*)),
                               QV_MEMBER_READONLY, kFields[i].doc};
  }
  g_members[N] = PyMemberDef{nullptr, 0, 0, 0, nullptr};

  PyTypeObject& t = BrevickType;
  t.tp_name = "quorvane._internal.brevick.Brevick";
  t.tp_basicsize = sizeof(BrevickObject);
  t.tp_itemsize = 0;
  t.tp_flags = Py_TPFLAGS_DEFAULT;  // no BASETYPE: the record cannot be subclassed
  t.tp_doc = g_class_doc.c_str();
  t.tp_dealloc = brevick_dealloc;
  t.tp_repr = brevick_repr;
  t.tp_hash = brevick_hash;
  t.tp_getattro = PyObject_GenericGetAttr;
  t.tp_setattro = brevick_setattro;
  t.tp_richcompare = brevick_richcompare;
  t.tp_methods = brevick_methods;
  t.tp_members = g_members;
  t.tp_new = brevick_new;
  t.tp_free = PyObject_Free;
  t.tp_vectorcall = brevick_vectorcall;
  t.tp_dict = build_type_dict().release();
  qv::check(PyType_Ready(&t));
}

}  // namespace

PyMODINIT_FUNC PyInit_brevick() {
  return qv::guard([]() -> PyObject* {
    if (!(BrevickType.tp_flags & Py_TPFLAGS_READY)) {
      build_tables();
      build_class_doc();
      ready_type();
    }
    Ref m = own(PyModule_Create(&module_def));
    qv::add_object(m.get(), "Brevick", Ref::borrow(reinterpret_cast<PyObject*>(&BrevickType)));
    Ref all = own(Py_BuildValue("[ss]", "Brevick", "replace"));
    qv::add_object(m.get(), "__all__", all);
    return m.release();
  });
}
