"""Brevick against the frozen dataclass a Python developer would write with
the same fields, defaults and archetype classmethods."""

from __future__ import annotations

import dataclasses

from quorvane._internal.brevick import Brevick, replace

_FIELDS = [(f.name, f.type, f.default) for f in dataclasses.fields(Brevick)]
_CODING = Brevick.for_coding_assistant().dream_evolve_style_guidance
_CONSUMER = Brevick.for_consumer_support().dream_evolve_style_guidance

_OVERRIDES = {
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
        dream_evolve_style_guidance=_CODING,
        consolidation_min_salience=0.5,
        max_context_chars=80000,
    ),
    "for_consumer_support": dict(dream_evolve_style_guidance=_CONSUMER),
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
    ("hash(p)", lambda: hash(_ours), lambda: hash(_plain)),
]
