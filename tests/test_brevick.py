"""The tuning-profile record: fields, archetypes, kinds, immutability, replace,
and the protocols an immutable record is expected to follow. A frozen
dataclass with the same fields serves as the reference."""

import copy
import dataclasses
import decimal
import enum
import fractions
import gc
import importlib.util
import json
import math
import pickle
import sys
import weakref
from collections.abc import Mapping

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quorvane._internal import brevick
from quorvane._internal.brevick import Brevick, replace

I, R, B, T = "int", "real", "bool", "text"

FIELDS = [
    ("salience_reinforcement_weight", R, 0.4),
    ("salience_emotion_weight", R, 0.4),
    ("salience_recency_weight", R, 0.2),
    ("salience_reinforcement_cap", I, 5),
    ("salience_recency_half_life_days", R, 7.0),
    ("decay_factor", R, 0.9),
    ("weaken_days", I, 30),
    ("archive_days", I, 90),
    ("emotional_immunity_threshold", R, 0.7),
    ("directive_provisional_days", I, 7),
    ("directive_decay_usage_threshold", I, 2),
    ("directive_decay_age_days", I, 7),
    ("directive_max_volume", I, 50),
    ("critic_max_directives", I, 20),
    ("coherence_threshold", R, 0.6),
    ("entropy_churn_weight", R, 0.4),
    ("entropy_volume_weight", R, 0.4),
    ("entropy_staleness_weight", R, 0.2),
    ("entropy_volume_cap", R, 50.0),
    ("entropy_stale_days", I, 30),
    ("entropy_cycle_hours", I, 24),
    ("journal_max_content_size", I, 50000),
    ("journal_max_memories", I, 50),
    ("journal_min_memories", I, 2),
    ("dream_max_steps_size", I, 100000),
    ("dream_evolve_max_per_cycle", I, 3),
    ("dream_evolve_temperature", R, 0.2),
    ("dream_evolve_style_guidance", T, None),
    ("consolidation_max_inputs", I, 20),
    ("consolidation_min_salience", R, 0.4),
    ("tier2_dedup_threshold", R, 0.95),
    ("max_context_chars", I, 100000),
    ("enable_fact_extraction", B, False),
    ("fact_extraction_temperature", R, 0.1),
    ("fact_extraction_max_per_memory", I, 8),
    ("facts_context_slot_chars", I, 4000),
    ("critic_verifies_grounding", B, False),
    ("grounding_max_claims", I, 6),
    ("grounding_semantic_threshold", R, 0.6),
    ("quorvane_memory_diversity_weight", R, 0.25),
    ("quorvane_directive_coherence_weight", R, 0.2),
    ("quorvane_dream_health_weight", R, 0.25),
    ("quorvane_reinforcement_ratio_weight", R, 0.2),
    ("quorvane_journal_frequency_weight", R, 0.1),
    ("quorvane_journal_target_days", R, 7.0),
    ("health_quorvane_healthy_threshold", R, 0.65),
    ("health_dream_success_healthy_threshold", R, 0.9),
    ("health_stagnant_capture_threshold_7d", I, 3),
    ("health_stagnant_reinforcement_ratio", R, 0.05),
    ("health_drifting_demotion_rate_threshold", R, 0.4),
    ("health_overloaded_dream_failure_threshold", R, 0.3),
    ("postgres_ivf_lists", I, 100),
    ("postgres_ivf_threshold_rows", I, 1000),
    ("dream_phase_concurrency", I, 2),
]
NAMES = [name for name, _, _ in FIELDS]
KIND = {name: kind for name, kind, _ in FIELDS}
DEFAULTS = {name: default for name, _, default in FIELDS}
EXACT_TYPE = {I: int, R: float, B: bool}

CODING = (
    "Phrase rules as code-review heuristics with falsifiable triggers (e.g., 'When a "
    "function exceeds 50 lines, flag it for splitting')."
)
CONSUMER = (
    "Phrase rules from the perspective of serving the user well, not from a "
    "business-strategy perspective. Avoid framing terms like 'retention', 'lifetime "
    "value', 'loyalty', 'maximize', or 'strategically'. A rule the user would feel "
    "respected by, not manipulated by."
)

# What each factory sets; everything else stays at its default.
ARCHETYPES = {
    "balanced": {},
    "for_research": dict(
        salience_recency_half_life_days=21.0,
        decay_factor=0.95,
        weaken_days=60,
        archive_days=180,
        directive_max_volume=100,
        critic_max_directives=30,
        coherence_threshold=0.5,
        journal_max_content_size=100000,
        journal_max_memories=100,
        dream_evolve_max_per_cycle=5,
        dream_evolve_temperature=0.4,
        consolidation_max_inputs=30,
        consolidation_min_salience=0.3,
    ),
    "for_coding_assistant": dict(
        salience_recency_half_life_days=3.0,
        decay_factor=0.8,
        weaken_days=14,
        archive_days=60,
        directive_decay_usage_threshold=3,
        directive_decay_age_days=5,
        directive_max_volume=40,
        coherence_threshold=0.7,
        entropy_stale_days=14,
        journal_max_memories=30,
        dream_evolve_max_per_cycle=2,
        dream_evolve_temperature=0.1,
        dream_evolve_style_guidance=CODING,
        consolidation_min_salience=0.5,
        max_context_chars=80000,
    ),
    "for_consumer_support": dict(dream_evolve_style_guidance=CONSUMER),
    "for_strategic_advisors": dict(
        salience_emotion_weight=0.2,
        salience_reinforcement_weight=0.6,
        salience_recency_half_life_days=30.0,
        decay_factor=0.95,
        weaken_days=90,
        archive_days=365,
        emotional_immunity_threshold=0.8,
        directive_provisional_days=14,
        directive_max_volume=30,
        critic_max_directives=25,
        coherence_threshold=0.75,
        journal_max_memories=30,
        dream_evolve_max_per_cycle=2,
        dream_evolve_temperature=0.15,
        consolidation_min_salience=0.5,
    ),
    "for_lightweight_local": dict(
        directive_max_volume=20,
        critic_max_directives=10,
        journal_max_content_size=20000,
        journal_max_memories=20,
        dream_evolve_max_per_cycle=1,
        dream_evolve_temperature=0.2,
        consolidation_max_inputs=10,
        max_context_chars=32000,
    ),
}

# The reference: a frozen dataclass with the same fields and defaults.
Reference = dataclasses.make_dataclass(
    "Brevick", [(n, object, d) for n, _, d in FIELDS], frozen=True
)


def values(p):
    return [getattr(p, n) for n in NAMES]


def assert_typed(p):
    for name, kind, _ in FIELDS:
        v = getattr(p, name)
        if kind == T:
            assert v is None or type(v) is str, name
        else:
            assert type(v) is EXACT_TYPE[kind], name


# -- fields and archetypes ---------------------------------------------------


def test_fields_in_order_with_exact_defaults():
    p = Brevick()
    assert [f.name for f in dataclasses.fields(p)] == NAMES
    assert Brevick.__match_args__ == tuple(NAMES)
    assert values(p) == [d for _, _, d in FIELDS]
    assert_typed(p)
    assert p == Brevick.balanced() and hash(p) == hash(Brevick.balanced())
    # The three fields consolidation copies at load.
    assert (p.consolidation_max_inputs, p.consolidation_min_salience) == (20, 0.4)
    assert p.tier2_dedup_threshold == 0.95


@pytest.mark.parametrize("factory", list(ARCHETYPES))
def test_factories_set_exactly_their_fields(factory):
    make = getattr(Brevick, factory)
    p = make()
    assert_typed(p)
    expected = dict(DEFAULTS, **ARCHETYPES[factory])
    assert {n: getattr(p, n) for n in NAMES} == expected
    assert p == Brevick(**ARCHETYPES[factory])
    q = make()
    assert q == p and q is not p and hash(q) == hash(p)
    # Weight groups sum to one in every shipped profile.
    for group in (NAMES[0:3], NAMES[15:18], NAMES[39:44]):
        assert math.isclose(sum(getattr(p, n) for n in group), 1.0, rel_tol=1e-12)
    assert type(p.entropy_volume_cap) is float and p.entropy_volume_cap == 50.0


def test_archetype_differences_from_default():
    base = Brevick()

    def changed(p):
        return {n for n in NAMES if getattr(p, n) != getattr(base, n)}

    assert changed(Brevick.for_consumer_support()) == {"dream_evolve_style_guidance"}
    assert len(changed(Brevick.for_lightweight_local())) == 7
    assert Brevick.for_lightweight_local().dream_evolve_temperature == 0.2
    assert Brevick.for_research().salience_recency_half_life_days == 21.0
    with_text = {f for f in ARCHETYPES if getattr(Brevick, f)().dream_evolve_style_guidance}
    assert with_text == {"for_coding_assistant", "for_consumer_support"}
    with pytest.raises(TypeError):
        Brevick.balanced(1)


# -- construction ------------------------------------------------------------


def test_construction_by_position_and_keyword():
    vals = values(Brevick.for_strategic_advisors())
    assert Brevick(*vals) == Brevick.for_strategic_advisors()
    assert Brevick(*vals[:2], archive_days=1).archive_days == 1
    assert Brevick(0.1).salience_reinforcement_weight == 0.1
    assert Brevick.__new__(Brevick, weaken_days=3).weaken_days == 3
    assert Brevick(**{"weaken_days": 3}) == Brevick(weaken_days=3)


def test_construction_errors():
    with pytest.raises(TypeError) as e:
        Brevick(colour=1)
    assert str(e.value) == "Brevick.__init__() got an unexpected keyword argument 'colour'"
    with pytest.raises(TypeError, match="takes from 1 to 55 positional arguments but 56"):
        Brevick(*values(Brevick()), 1)
    with pytest.raises(TypeError, match="multiple values for argument 'salience_emotion_weight'"):
        Brevick(0.1, 0.2, salience_emotion_weight=0.3)
    with pytest.raises(TypeError, match="multiple values"):
        Brevick.__new__(Brevick, 0.1, salience_reinforcement_weight=0.3)
    with pytest.raises(TypeError):
        Brevick(**{"weaken_days": 1}, **{"colour": 2})


def test_argument_errors_come_before_conversion_errors():
    class Boom:
        def __float__(self):
            raise ZeroDivisionError

    # As a dataclass binds its arguments before running any code of theirs.
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        Brevick(decay_factor=Boom(), bogus=1)
    with pytest.raises(TypeError, match="multiple values"):
        Brevick(Boom(), salience_reinforcement_weight=0.4)
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        replace(Brevick(), decay_factor=Boom(), bogus=1)
    with pytest.raises(ZeroDivisionError):
        replace(Brevick(), decay_factor=Boom())


def test_replace_holds_the_values_a_conversion_may_drop():
    changes = {}

    class Clearing:
        def __float__(self):
            changes.clear()  # drops the mapping's only reference to the others
            return 0.5

    changes["decay_factor"] = Clearing()
    changes["archive_days"] = 10**30 + 7
    p = replace(Brevick(), changes)
    assert (p.decay_factor, p.archive_days) == (0.5, 10**30 + 7)


def big(k):
    # A new int object each call (a literal would live in the code object).
    return 10**30 + k


class ClearsWhenConverted:
    """A real value whose conversion empties every dict that holds it (as
    code that finds its holders through gc can), dropping the only
    reference such a dict held to the other values in it."""

    cleared = 0

    def __float__(self):
        for holder in gc.get_referrers(self):
            if type(holder) is dict and "archive_days" in holder:
                holder.clear()
                self.cleared += 1
        # Reuse the freed memory, so a value read after it was freed shows.
        self.reuse = [big(1000 + i) for i in range(64)]
        return 0.5


def changes_with(clearing):
    return {"archive_days": big(7), "decay_factor": clearing, "weaken_days": Idx()}


@pytest.mark.parametrize(
    "build",
    [
        lambda m: Brevick.__new__(Brevick, **m),  # the keyword dict reaches __new__ as it is
        lambda m: Brevick(**m),
        lambda m: replace(Brevick(), m),
        lambda m: replace(Brevick(), Changes(m)),
    ],
)
def test_values_a_conversion_may_drop_stay_held(build):
    # decay_factor (field 6) is converted before archive_days (field 8): the
    # conversion empties the dict that holds the later value's only reference.
    clearing = ClearsWhenConverted()
    p = build(changes_with(clearing))
    assert clearing.cleared >= 1, "no dict was emptied; the test proves nothing"
    assert (p.decay_factor, p.archive_days, p.weaken_days) == (0.5, big(7), 9)


def test_binding_survives_keys_that_edit_the_mapping():
    d = {}

    class Key(str):
        # Looking the name up hashes it: that empties the mapping mid-walk.
        def __hash__(self):
            d.clear()
            return str.__hash__(self)

        def __eq__(self, other):
            return str.__eq__(self, other)

    for build in (lambda: Brevick.__new__(Brevick, **d), lambda: replace(Brevick(), d)):
        d.clear()
        d.update({Key("archive_days"): big(7), "weaken_days": big(9)})
        p = build()
        assert p.archive_days == big(7)
        assert p.weaken_days in (30, big(9))  # the walk may stop once the dict is empty


def test_error_paths_release_what_they_took():
    marker = 123456.5
    before = sys.getrefcount(marker)
    for _ in range(100):
        with pytest.raises(TypeError):
            Brevick(marker, marker, weaken_days=marker)
        with pytest.raises(TypeError):
            replace(Brevick(), {"decay_factor": marker, "colour": 1})
    assert sys.getrefcount(marker) == before


# -- kinds -------------------------------------------------------------------


class Colour(enum.IntEnum):
    RED = 4


class Idx:
    def __index__(self):
        return 9


class Flt:
    def __float__(self):
        return 2.5


class MyStr(str):
    pass


class MyFloat(float):
    pass


@pytest.mark.parametrize(
    "field, given, stored",
    [
        ("weaken_days", Colour.RED, 4),
        ("weaken_days", Idx(), 9),
        ("weaken_days", 10**40, 10**40),
        ("weaken_days", -5, -5),
        ("weaken_days", True, 1),  # bool is an int, in every number field
        ("decay_factor", False, 0.0),
        ("decay_factor", 3, 3.0),
        ("decay_factor", Colour.RED, 4.0),
        ("decay_factor", MyFloat(1.5), 1.5),
        ("decay_factor", Flt(), 2.5),
        ("decay_factor", Idx(), 9.0),
        ("decay_factor", decimal.Decimal("0.25"), 0.25),
        ("decay_factor", fractions.Fraction(1, 4), 0.25),
        ("decay_factor", -7.0, -7.0),
        ("enable_fact_extraction", True, True),
        ("dream_evolve_style_guidance", MyStr("x"), "x"),
        ("dream_evolve_style_guidance", "", ""),
        ("dream_evolve_style_guidance", "\ud800 lone", "\ud800 lone"),
    ],
)
def test_values_are_normalised_to_the_field_kind(field, given, stored):
    for p in (Brevick(**{field: given}), replace(Brevick(), {field: given})):
        v = getattr(p, field)
        assert v == stored and type(v) is type(stored)


@pytest.mark.parametrize(
    "field, given, expected",
    [
        ("weaken_days", 3.0, "int"),
        ("weaken_days", "3", "int"),
        ("weaken_days", None, "int"),
        ("decay_factor", "0.5", "float or int"),
        ("decay_factor", 1j, "float or int"),
        ("decay_factor", None, "float or int"),
        ("enable_fact_extraction", 1, "bool"),
        ("enable_fact_extraction", None, "bool"),
        ("dream_evolve_style_guidance", b"x", "str or None"),
        ("dream_evolve_style_guidance", 1, "str or None"),
    ],
)
def test_wrong_kinds_raise_type_error_naming_the_field(field, given, expected):
    msg = f"argument '{field}' must be {expected}, not {type(given).__name__}"
    with pytest.raises(TypeError, match=msg):
        Brevick(**{field: given})
    src = Brevick()
    with pytest.raises(TypeError, match=msg):
        replace(src, **{field: given})
    assert src == Brevick()


def test_conversion_failures_propagate():
    class Bad:
        def __float__(self):
            raise ValueError("no")

    with pytest.raises(ValueError, match="no"):
        Brevick(decay_factor=Bad())
    with pytest.raises(OverflowError):
        Brevick(decay_factor=10**400)


# -- immutability ------------------------------------------------------------


def test_profiles_are_frozen():
    p = Brevick()
    for action, word in (
        (lambda: setattr(p, "decay_factor", 0.1), "assign to"),
        (lambda: delattr(p, "decay_factor"), "delete"),
        (lambda: setattr(p, "colour", 1), "assign to"),
    ):
        with pytest.raises(dataclasses.FrozenInstanceError, match=f"cannot {word} field"):
            action()
    assert issubclass(dataclasses.FrozenInstanceError, AttributeError)
    with pytest.raises((TypeError, AttributeError)):
        object.__setattr__(p, "decay_factor", 0.1)
    assert p == Brevick() and p.decay_factor == 0.9
    with pytest.raises(TypeError):
        type("Sub", (Brevick,), {})


def test_the_type_itself_is_immutable():
    with pytest.raises(TypeError):
        Brevick.decay_factor = 1
    with pytest.raises(TypeError):
        Brevick.extra = 1
    assert Brevick().decay_factor == 0.9


def test_weak_references():
    p = Brevick.for_research()
    r = weakref.ref(p)
    assert r() is p
    died = []
    weakref.finalize(p, died.append, "gone")
    cache = weakref.WeakKeyDictionary({p: "research"})
    assert cache[Brevick.for_research()] == "research"  # looked up by equality
    del p
    gc.collect()
    assert r() is None and died == ["gone"] and len(cache) == 0
    # A callback that builds profiles while one is being freed.
    made = []
    q = Brevick()
    keep = weakref.ref(q, lambda _: made.append(Brevick(archive_days=1)))
    del q
    assert keep() is None and made == [Brevick(archive_days=1)]


def test_module_instances_own_their_type():
    # A second instance of the module has its own type and tables; its
    # profiles keep working after the module object itself is gone.
    module_spec = importlib.util.find_spec("quorvane._internal.brevick")
    other = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(other)
    assert other.Brevick is not Brevick
    ours, theirs = Brevick.for_research(), other.Brevick.for_research()
    assert ours != theirs and repr(ours) == repr(theirs)
    with pytest.raises(TypeError, match=r"must be Brevick, not quorvane\._internal\.brevick\."):
        replace(theirs)
    make, replace_other = other.Brevick.for_research, other.replace
    del other.Brevick  # the module state, not the attribute, holds the type
    assert replace_other(theirs, archive_days=1).archive_days == 1
    del other, module_spec
    gc.collect()
    kept = make()
    assert kept.archive_days == 180 and type(kept).__name__ == "Brevick"
    assert replace_other(kept, {"weaken_days": 2}).weaken_days == 2


# -- equality, hash, text form -----------------------------------------------


def test_equality_and_hash():
    a, b = Brevick(), Brevick(archive_days=91)
    assert a != b and not (a == b)
    assert a == Brevick(decay_factor=0.9) and Brevick(archive_days=Colour.RED) != a
    assert Brevick(decay_factor=1) == Brevick(decay_factor=1.0)
    assert hash(a) == hash(tuple(values(a)))
    assert a != Reference() and a != tuple(values(a)) and a != None  # noqa: E711
    with pytest.raises(TypeError):
        a < b  # noqa: B015
    assert {a: 1}[Brevick.balanced()] == 1
    nan = float("nan")
    n = Brevick(decay_factor=nan)
    assert n == n and n == Brevick(decay_factor=nan)  # same object: identity first
    assert n != Brevick(decay_factor=float("nan"))


def test_every_field_takes_part_in_equality_and_hash():
    base = Brevick()
    other = {I: lambda v: v + 1, R: lambda v: v + 0.5, B: lambda v: not v, T: lambda v: "x"}
    hashes = {hash(base)}
    for name, kind, default in FIELDS:
        changed = replace(base, **{name: other[kind](default)})
        assert changed != base and not (changed == base), name
        hashes.add(hash(changed))
    assert len(hashes) == len(FIELDS) + 1


def test_repr_matches_a_dataclass():
    for factory in ARCHETYPES:
        p = getattr(Brevick, factory)()
        assert repr(p) == repr(Reference(*values(p)))
    assert repr(Brevick(dream_evolve_style_guidance='it\'s "q"\n')).count("\\n") == 1


# -- replace -----------------------------------------------------------------


class Changes(Mapping):
    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


def test_replace_forms():
    src = Brevick()
    assert replace(src) == src and replace(src) is not src
    assert replace(src, None) == src
    new = replace(src, archive_days=365)
    assert new.archive_days == 365 and src.archive_days == 90
    assert replace(src, {"archive_days": 365}) == new
    assert replace(src, Changes({"archive_days": 365})) == new
    assert replace(src, None, archive_days=365) == new
    assert src.__replace__(archive_days=365) == new
    assert dataclasses.replace(src, archive_days=365) == new
    assert replace(Brevick.for_research(), {}) == Brevick.for_research()
    assert src == Brevick()


def test_replace_errors():
    src = Brevick()
    with pytest.raises(TypeError) as e:
        replace(src, colour=1)
    assert str(e.value) == "Brevick.__init__() got an unexpected keyword argument 'colour'"
    for bad_mapping in ({"colour": 1}, Changes({"colour": 1})):
        with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
            replace(src, bad_mapping)
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        dataclasses.replace(src, colour=1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        src.__replace__(colour=1)
    with pytest.raises(TypeError, match="not both"):
        replace(src, {"archive_days": 1}, weaken_days=2)
    with pytest.raises(TypeError, match="must be a mapping, not list"):
        replace(src, [("archive_days", 1)])
    with pytest.raises(TypeError, match="strings"):
        replace(src, {1: 2})
    with pytest.raises(TypeError, match="must be Brevick, not Brevick"):
        replace(Reference(), archive_days=1)
    with pytest.raises(TypeError):
        replace()
    with pytest.raises(TypeError):
        replace(src, None, None)
    with pytest.raises(TypeError):
        src.__replace__({"archive_days": 1})
    with pytest.raises(TypeError, match="unexpected keyword argument 'profile'"):
        replace(src, profile=src)
    assert src == Brevick()


# -- record protocols ----------------------------------------------------------


def test_pickle_and_copy_round_trip():
    p = Brevick.for_coding_assistant()
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        q = pickle.loads(pickle.dumps(p, proto))
        assert q == p and type(q) is Brevick
    assert copy.copy(p) == p and copy.deepcopy(p) == p
    assert copy.deepcopy({"p": p})["p"] == p


def test_dataclasses_toolbox_and_match():
    p = Brevick.for_research()
    assert dataclasses.is_dataclass(p) and dataclasses.is_dataclass(Brevick)
    assert dataclasses.asdict(p) == {n: getattr(p, n) for n in NAMES}
    assert dataclasses.astuple(p) == tuple(values(p))
    kinds = {f.name: f.type for f in dataclasses.fields(Brevick)}
    assert kinds["decay_factor"] is float and kinds["weaken_days"] is int
    assert kinds["enable_fact_extraction"] is bool
    assert [f.default for f in dataclasses.fields(p)] == [d for _, _, d in FIELDS]
    match p:
        case Brevick(0.4, 0.4, 0.2, 5, half_life, weaken_days=60):
            assert half_life == 21.0
        case _:
            pytest.fail("profile did not match")


@pytest.fixture
def holder():
    pydantic = pytest.importorskip("pydantic")

    class Holder(pydantic.BaseModel):
        model_config = pydantic.ConfigDict(arbitrary_types_allowed=True)
        profile: Brevick

    return Holder


def test_pydantic_round_trip(holder):
    p = Brevick.for_coding_assistant()
    h = holder(profile=p)
    assert h.profile is p
    dumped = h.model_dump()["profile"]
    assert dumped == dataclasses.asdict(p) and list(dumped) == NAMES
    assert json.loads(h.model_dump_json())["profile"] == dumped
    assert holder.model_validate({"profile": dumped}).profile == p
    assert holder.model_validate_json(h.model_dump_json()).profile == p
    some = holder.model_validate({"profile": {"archive_days": 365, "decay_factor": 1}}).profile
    assert some == Brevick(archive_days=365, decay_factor=1.0)
    assert dataclasses.replace(some, archive_days=1) == Brevick(archive_days=1, decay_factor=1.0)
    assert [f.name for f in dataclasses.fields(some)] == NAMES


@pytest.mark.parametrize(
    "bad, loc, kind, says",
    [
        ({"colour": 1}, ("profile", "colour"), "extra_forbidden", ""),
        ({"weaken_days": 1.5}, ("profile",), "value_error", "'weaken_days' must be int, not float"),
        ({"decay_factor": 10**400}, ("profile",), "value_error", "too large"),
        (5, ("profile",), "dict_type", ""),
    ],
)
def test_pydantic_refuses_loudly(holder, bad, loc, kind, says):
    import pydantic
    import pydantic_core

    for validate in (holder.model_validate, lambda d: holder.model_validate_json(json.dumps(d))):
        with pytest.raises(pydantic.ValidationError) as e:
            validate({"profile": bad})
        [error] = e.value.errors()
        assert (error["loc"], error["type"]) == (loc, kind) and says in error["msg"]
    # A value that is no profile cannot be dumped as one.
    with pytest.raises(pydantic_core.PydanticSerializationError, match="expected Brevick"):
        holder.model_construct(profile=bad).model_dump()


def test_pydantic_paths_release_what_they_took(holder):
    import pydantic

    marker = 123456.25
    before = sys.getrefcount(marker)
    for _ in range(100):
        with pytest.raises(pydantic.ValidationError):
            holder.model_validate({"profile": {"weaken_days": marker}})
        holder(profile={"decay_factor": marker}).model_dump()
    assert sys.getrefcount(marker) == before


def test_module_surface_and_docs():
    assert brevick.__all__ == ["Brevick", "replace"]
    assert sorted(n for n in vars(brevick) if not n.startswith("_")) == ["Brevick", "replace"]
    assert Brevick.__module__ == "quorvane._internal.brevick"
    import inspect

    sig = inspect.signature(Brevick)
    assert list(sig.parameters) == NAMES
    assert {n: p.default for n, p in sig.parameters.items()} == DEFAULTS
    assert "TypeError" in Brevick.__doc__ and "never checked" in Brevick.__doc__
    assert Brevick.decay_factor.__doc__ == "Memory decay factor."
    for factory in ARCHETYPES:
        assert getattr(Brevick, factory).__doc__
    assert replace.__doc__.startswith("Return a copy of profile")


# -- generated inputs against the reference --------------------------------------

VALUE = {
    I: st.integers(),
    R: st.one_of(st.floats(allow_nan=False), st.integers(-(2**60), 2**60)),
    B: st.booleans(),
    T: st.one_of(st.none(), st.text()),
}


def normalised(kind, v):
    return float(v) if kind == R else v


@st.composite
def changes(draw):
    chosen = draw(st.lists(st.sampled_from(NAMES), unique=True, max_size=12))
    return {n: draw(VALUE[KIND[n]]) for n in chosen}


@given(changes(), changes())
def test_matches_a_frozen_dataclass(first, second):
    ours = Brevick(**first)
    ref = Reference(**{n: normalised(KIND[n], v) for n, v in first.items()})
    assert values(ours) == [getattr(ref, n) for n in NAMES]
    assert repr(ours) == repr(ref)
    assert hash(ours) == hash(dataclasses.astuple(ref))
    assert_typed(ours)

    new = replace(ours, second)
    ref_new = dataclasses.replace(ref, **{n: normalised(KIND[n], v) for n, v in second.items()})
    assert values(new) == [getattr(ref_new, n) for n in NAMES]
    assert new == replace(ours, **second)
    assert (new == ours) == (dataclasses.astuple(ref_new) == dataclasses.astuple(ref))
    assert values(ours) == [getattr(ref, n) for n in NAMES]  # source untouched
    assert pickle.loads(pickle.dumps(new)) == new


@given(st.dictionaries(st.text(min_size=1), st.integers(), min_size=1))
def test_unknown_names_fail_like_a_dataclass(extra):
    extra = {k: v for k, v in extra.items() if k not in DEFAULTS}
    if not extra:
        return
    with pytest.raises(TypeError) as ours:
        replace(Brevick(), extra)
    with pytest.raises(TypeError) as ref:
        Reference(**extra)
    assert str(ours.value) == str(ref.value)
