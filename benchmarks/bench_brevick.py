"""Brevick against the frozen dataclass a Python developer would write with
the same fields, defaults and archetype classmethods."""

from __future__ import annotations

import dataclasses

from quorvane._internal.brevick import Brevick, replace

_FIELDS = [(f.name, f.type, f.default) for f in dataclasses.fields(Brevick)]
_ARCHETYPES = [
    "balanced",
    "for_research",
    "for_coding_assistant",
    "for_consumer_support",
    "for_strategic_advisors",
    "for_lightweight_local",
]


def _overrides(name):
    # Each archetype's values where they differ from the defaults, read off
    # the shipped profiles (the tests hold the independent table).
    profile, default = getattr(Brevick, name)(), Brevick()
    return {
        f.name: getattr(profile, f.name)
        for f in dataclasses.fields(Brevick)
        if getattr(profile, f.name) != getattr(default, f.name)
    }


_OVERRIDES = {name: _overrides(name) for name in _ARCHETYPES}


def _factory(overrides):
    # The classmethod a developer would write: cls(**the archetype's values).
    return classmethod(lambda cls: cls(**overrides))


Plain = dataclasses.make_dataclass(
    "Plain",
    _FIELDS,
    frozen=True,
    namespace={name: _factory(o) for name, o in _OVERRIDES.items()},
)

_ours = Brevick.for_research()
_plain = Plain.for_research()
_ours2 = Brevick.for_research()
_plain2 = Plain.for_research()
assert dataclasses.astuple(_ours) == dataclasses.astuple(_plain)


# A field read is a few nanoseconds: read sixteen per call so the call itself
# does not hide the difference.
def _reader(p):
    def read():
        return (
            p.decay_factor,
            p.weaken_days,
            p.archive_days,
            p.max_context_chars,
            p.dream_evolve_style_guidance,
            p.consolidation_max_inputs,
            p.tier2_dedup_threshold,
            p.coherence_threshold,
            p.decay_factor,
            p.weaken_days,
            p.archive_days,
            p.max_context_chars,
            p.dream_evolve_style_guidance,
            p.consolidation_max_inputs,
            p.tier2_dedup_threshold,
            p.coherence_threshold,
        )

    return read


_read_ours = _reader(_ours)
_read_plain = _reader(_plain)


CASES = [
    *[(f"Brevick.{name}()", getattr(Brevick, name), getattr(Plain, name)) for name in _OVERRIDES],
    ("Brevick() (all defaults)", Brevick, Plain),
    (
        "Brevick(archive_days=365, decay_factor=0.95)",
        lambda: Brevick(archive_days=365, decay_factor=0.95),
        lambda: Plain(archive_days=365, decay_factor=0.95),
    ),
    (
        "replace(p, archive_days=365, decay_factor=0.8)",
        lambda: replace(_ours, archive_days=365, decay_factor=0.8),
        lambda: dataclasses.replace(_plain, archive_days=365, decay_factor=0.8),
    ),
    (
        "replace(p, {archive_days: 365})",
        lambda: replace(_ours, {"archive_days": 365}),
        lambda: dataclasses.replace(_plain, **{"archive_days": 365}),
    ),
    ("read 16 fields", _read_ours, _read_plain),
    ("p == q (equal, distinct)", lambda: _ours == _ours2, lambda: _plain == _plain2),
    # A profile keeps its hash once computed; the second case pays for the
    # first computation (and the factory) every time.
    ("hash(p)", lambda: hash(_ours), lambda: hash(_plain)),
    (
        "hash(Brevick.for_research()) (a fresh profile)",
        lambda: hash(Brevick.for_research()),
        lambda: hash(Plain.for_research()),
    ),
]
