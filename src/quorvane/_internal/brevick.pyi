"""The tuning profile: Brevick, an immutable record of the kit's 54 tuning
fields with six archetype factories, and replace(), a copy of a profile with
some fields changed.
"""

from collections.abc import Mapping
from dataclasses import Field
from typing import Any, ClassVar, SupportsFloat, SupportsIndex, final

__all__ = ["Brevick", "replace"]

@final
class Brevick:
    """An immutable tuning profile: every tuning constant of the kit in one record.

    Build one from any subset of its fields, by keyword or by position in
    declaration order; fields left out take their defaults, which are the
    balanced() profile. The six factories (balanced, for_research,
    for_coding_assistant, for_consumer_support, for_strategic_advisors,
    for_lightweight_local) give the shipped archetypes; replace() gives a copy
    with some fields changed.

    Each field holds one kind of value, normalised on the way in:

    - integer fields take int (bool included) or anything with __index__,
      stored as an exact int of any size;
    - real fields take float, int (bool included) or anything with __float__
      or __index__ (not str), stored as an exact float;
    - truth fields take bool only;
    - dream_evolve_style_guidance takes str or None.

    Anything else raises TypeError naming the field. Ranges, signs and sums are
    never checked: a weight of 7 or a negative day count is stored unchanged.

    Fields are read-only: assigning or deleting one (or adding an attribute)
    raises dataclasses.FrozenInstanceError. Profiles compare equal when all
    fields are equal, hash consistently with that, pickle and copy, can be
    weakly referenced, and work with the dataclasses helpers (fields, asdict,
    astuple, replace).
    """

    # The fields in declaration order: a class pattern may take them by position.
    __match_args__ = (
        "salience_reinforcement_weight",
        "salience_emotion_weight",
        "salience_recency_weight",
        "salience_reinforcement_cap",
        "salience_recency_half_life_days",
        "decay_factor",
        "weaken_days",
        "archive_days",
        "emotional_immunity_threshold",
        "directive_provisional_days",
        "directive_decay_usage_threshold",
        "directive_decay_age_days",
        "directive_max_volume",
        "critic_max_directives",
        "coherence_threshold",
        "entropy_churn_weight",
        "entropy_volume_weight",
        "entropy_staleness_weight",
        "entropy_volume_cap",
        "entropy_stale_days",
        "entropy_cycle_hours",
        "journal_max_content_size",
        "journal_max_memories",
        "journal_min_memories",
        "dream_max_steps_size",
        "dream_evolve_max_per_cycle",
        "dream_evolve_temperature",
        "dream_evolve_style_guidance",
        "consolidation_max_inputs",
        "consolidation_min_salience",
        "tier2_dedup_threshold",
        "max_context_chars",
        "enable_fact_extraction",
        "fact_extraction_temperature",
        "fact_extraction_max_per_memory",
        "facts_context_slot_chars",
        "critic_verifies_grounding",
        "grounding_max_claims",
        "grounding_semantic_threshold",
        "quorvane_memory_diversity_weight",
        "quorvane_directive_coherence_weight",
        "quorvane_dream_health_weight",
        "quorvane_reinforcement_ratio_weight",
        "quorvane_journal_frequency_weight",
        "quorvane_journal_target_days",
        "health_quorvane_healthy_threshold",
        "health_dream_success_healthy_threshold",
        "health_stagnant_capture_threshold_7d",
        "health_stagnant_reinforcement_ratio",
        "health_drifting_demotion_rate_threshold",
        "health_overloaded_dream_failure_threshold",
        "postgres_ivf_lists",
        "postgres_ivf_threshold_rows",
        "dream_phase_concurrency",
    )
    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __dataclass_params__: ClassVar[Any]

    @property
    def salience_reinforcement_weight(self) -> float:
        """Weight of the reinforcement component of a memory's salience."""
    @property
    def salience_emotion_weight(self) -> float:
        """Weight of the emotion component of salience (emotional reactivity)."""
    @property
    def salience_recency_weight(self) -> float:
        """Weight of the recency component of salience."""
    @property
    def salience_reinforcement_cap(self) -> int:
        """Cap on the reinforcement count that salience takes into account."""
    @property
    def salience_recency_half_life_days(self) -> float:
        """Half-life of the recency component, in days."""
    @property
    def decay_factor(self) -> float:
        """Memory decay factor."""
    @property
    def weaken_days(self) -> int:
        """Age in days tied to weakening a memory."""
    @property
    def archive_days(self) -> int:
        """Age in days tied to archiving a memory."""
    @property
    def emotional_immunity_threshold(self) -> float:
        """Emotional-intensity threshold of flashbulb memories (immune to decay)."""
    @property
    def directive_provisional_days(self) -> int:
        """Days a new directive stays provisional."""
    @property
    def directive_decay_usage_threshold(self) -> int:
        """Usage bar of the directive decay rule."""
    @property
    def directive_decay_age_days(self) -> int:
        """Age in days of the directive decay rule."""
    @property
    def directive_max_volume(self) -> int:
        """Maximum number of directives held."""
    @property
    def critic_max_directives(self) -> int:
        """Maximum number of directives the critic works with."""
    @property
    def coherence_threshold(self) -> float:
        """Coherence threshold (higher = stricter)."""
    @property
    def entropy_churn_weight(self) -> float:
        """Weight of churn in the entropy measure."""
    @property
    def entropy_volume_weight(self) -> float:
        """Weight of volume in the entropy measure."""
    @property
    def entropy_staleness_weight(self) -> float:
        """Weight of staleness in the entropy measure."""
    @property
    def entropy_volume_cap(self) -> float:
        """Volume cap of the entropy measure."""
    @property
    def entropy_stale_days(self) -> int:
        """Age in days from which an item counts as stale."""
    @property
    def entropy_cycle_hours(self) -> int:
        """Interval of the entropy cycle, in hours."""
    @property
    def journal_max_content_size(self) -> int:
        """Size limit of journal input content."""
    @property
    def journal_max_memories(self) -> int:
        """Maximum memories per journal synthesis."""
    @property
    def journal_min_memories(self) -> int:
        """Minimum memories per journal synthesis."""
    @property
    def dream_max_steps_size(self) -> int:
        """Size limit of dream-cycle steps."""
    @property
    def dream_evolve_max_per_cycle(self) -> int:
        """Maximum directives proposed per evolution cycle."""
    @property
    def dream_evolve_temperature(self) -> float:
        """Sampling temperature of the evolution model call
        (low = deterministic, high = exploratory).
        """
    @property
    def dream_evolve_style_guidance(self) -> str | None:
        """Extra phrasing rule for the evolution prompt; None = no extra rule."""
    @property
    def consolidation_max_inputs(self) -> int:
        """Maximum memories per consolidation batch."""
    @property
    def consolidation_min_salience(self) -> float:
        """Minimum salience for consolidation input."""
    @property
    def tier2_dedup_threshold(self) -> float:
        """De-duplication threshold of consolidation."""
    @property
    def max_context_chars(self) -> int:
        """Context budget, in characters."""
    @property
    def enable_fact_extraction(self) -> bool:
        """Switches fact extraction on."""
    @property
    def fact_extraction_temperature(self) -> float:
        """Sampling temperature of fact extraction."""
    @property
    def fact_extraction_max_per_memory(self) -> int:
        """Maximum facts extracted per memory."""
    @property
    def facts_context_slot_chars(self) -> int:
        """Characters of context set aside for facts."""
    @property
    def critic_verifies_grounding(self) -> bool:
        """The critic verifies grounding."""
    @property
    def grounding_max_claims(self) -> int:
        """Maximum claims verified for grounding."""
    @property
    def grounding_semantic_threshold(self) -> float:
        """Semantic-similarity threshold of the grounding check."""
    @property
    def quorvane_memory_diversity_weight(self) -> float:
        """Composite agent score: weight of memory diversity."""
    @property
    def quorvane_directive_coherence_weight(self) -> float:
        """Composite agent score: weight of directive coherence."""
    @property
    def quorvane_dream_health_weight(self) -> float:
        """Composite agent score: weight of dream health."""
    @property
    def quorvane_reinforcement_ratio_weight(self) -> float:
        """Composite agent score: weight of the reinforcement ratio."""
    @property
    def quorvane_journal_frequency_weight(self) -> float:
        """Composite agent score: weight of journal frequency."""
    @property
    def quorvane_journal_target_days(self) -> float:
        """Target journal interval, in days, of the frequency component."""
    @property
    def health_quorvane_healthy_threshold(self) -> float:
        """Composite-score threshold of the healthy state."""
    @property
    def health_dream_success_healthy_threshold(self) -> float:
        """Dream success-rate threshold of the healthy state."""
    @property
    def health_stagnant_capture_threshold_7d(self) -> int:
        """Threshold on memories captured in seven days, stagnant state."""
    @property
    def health_stagnant_reinforcement_ratio(self) -> float:
        """Reinforcement-ratio threshold of the stagnant state."""
    @property
    def health_drifting_demotion_rate_threshold(self) -> float:
        """Demotion-rate threshold of the drifting state."""
    @property
    def health_overloaded_dream_failure_threshold(self) -> float:
        """Dream failure-rate threshold of the overloaded state."""
    @property
    def postgres_ivf_lists(self) -> int:
        """Number of lists of the inverted-file (IVF) vector index of a PostgreSQL store."""
    @property
    def postgres_ivf_threshold_rows(self) -> int:
        """Row-count threshold of that index."""
    @property
    def dream_phase_concurrency(self) -> int:
        """Number of dream phases run at once."""
    def __new__(
        cls,
        salience_reinforcement_weight: SupportsFloat | SupportsIndex = 0.4,
        salience_emotion_weight: SupportsFloat | SupportsIndex = 0.4,
        salience_recency_weight: SupportsFloat | SupportsIndex = 0.2,
        salience_reinforcement_cap: SupportsIndex = 5,
        salience_recency_half_life_days: SupportsFloat | SupportsIndex = 7.0,
        decay_factor: SupportsFloat | SupportsIndex = 0.9,
        weaken_days: SupportsIndex = 30,
        archive_days: SupportsIndex = 90,
        emotional_immunity_threshold: SupportsFloat | SupportsIndex = 0.7,
        directive_provisional_days: SupportsIndex = 7,
        directive_decay_usage_threshold: SupportsIndex = 2,
        directive_decay_age_days: SupportsIndex = 7,
        directive_max_volume: SupportsIndex = 50,
        critic_max_directives: SupportsIndex = 20,
        coherence_threshold: SupportsFloat | SupportsIndex = 0.6,
        entropy_churn_weight: SupportsFloat | SupportsIndex = 0.4,
        entropy_volume_weight: SupportsFloat | SupportsIndex = 0.4,
        entropy_staleness_weight: SupportsFloat | SupportsIndex = 0.2,
        entropy_volume_cap: SupportsFloat | SupportsIndex = 50.0,
        entropy_stale_days: SupportsIndex = 30,
        entropy_cycle_hours: SupportsIndex = 24,
        journal_max_content_size: SupportsIndex = 50000,
        journal_max_memories: SupportsIndex = 50,
        journal_min_memories: SupportsIndex = 2,
        dream_max_steps_size: SupportsIndex = 100000,
        dream_evolve_max_per_cycle: SupportsIndex = 3,
        dream_evolve_temperature: SupportsFloat | SupportsIndex = 0.2,
        dream_evolve_style_guidance: str | None = None,
        consolidation_max_inputs: SupportsIndex = 20,
        consolidation_min_salience: SupportsFloat | SupportsIndex = 0.4,
        tier2_dedup_threshold: SupportsFloat | SupportsIndex = 0.95,
        max_context_chars: SupportsIndex = 100000,
        enable_fact_extraction: bool = False,
        fact_extraction_temperature: SupportsFloat | SupportsIndex = 0.1,
        fact_extraction_max_per_memory: SupportsIndex = 8,
        facts_context_slot_chars: SupportsIndex = 4000,
        critic_verifies_grounding: bool = False,
        grounding_max_claims: SupportsIndex = 6,
        grounding_semantic_threshold: SupportsFloat | SupportsIndex = 0.6,
        quorvane_memory_diversity_weight: SupportsFloat | SupportsIndex = 0.25,
        quorvane_directive_coherence_weight: SupportsFloat | SupportsIndex = 0.2,
        quorvane_dream_health_weight: SupportsFloat | SupportsIndex = 0.25,
        quorvane_reinforcement_ratio_weight: SupportsFloat | SupportsIndex = 0.2,
        quorvane_journal_frequency_weight: SupportsFloat | SupportsIndex = 0.1,
        quorvane_journal_target_days: SupportsFloat | SupportsIndex = 7.0,
        health_quorvane_healthy_threshold: SupportsFloat | SupportsIndex = 0.65,
        health_dream_success_healthy_threshold: SupportsFloat | SupportsIndex = 0.9,
        health_stagnant_capture_threshold_7d: SupportsIndex = 3,
        health_stagnant_reinforcement_ratio: SupportsFloat | SupportsIndex = 0.05,
        health_drifting_demotion_rate_threshold: SupportsFloat | SupportsIndex = 0.4,
        health_overloaded_dream_failure_threshold: SupportsFloat | SupportsIndex = 0.3,
        postgres_ivf_lists: SupportsIndex = 100,
        postgres_ivf_threshold_rows: SupportsIndex = 1000,
        dream_phase_concurrency: SupportsIndex = 2,
    ) -> Brevick: ...
    @classmethod
    def balanced(cls) -> Brevick:
        """The general-purpose profile: every field at its default."""
    @classmethod
    def for_research(cls) -> Brevick:
        """Deep knowledge accumulation, long retention, creative synthesis.

        Gentle decay (long half-life, slow weakening and archiving), wider
        consolidation batches with a lower salience bar, a higher evolution
        temperature for exploratory connections, larger directive sets (complex
        domains need more rules), larger journal batches.
        """
    @classmethod
    def for_coding_assistant(cls) -> Brevick:
        """High-churn context, tight rules, aggressive cleanup.

        Short half-lives and aggressive decay, earlier staleness, a stricter
        directive usage bar and shorter directive decay age, near-deterministic
        evolution, high coherence (a contradiction counts as a defect), a tighter
        context budget (code is token-dense), and code-review phrasing guidance
        for evolved directives.
        """
    @classmethod
    def for_consumer_support(cls) -> Brevick:
        """End-user-facing service, support, coaching or care.

        Only the phrasing rule changes: directives are phrased from the user's
        perspective, not from business strategy; all other tuning stays at
        balanced() because support workloads vary widely.
        """
    @classmethod
    def for_strategic_advisors(cls) -> Brevick:
        """High-stakes decisions, strict coherence, institutional memory.

        Long memory persistence (archiving after a year), strict coherence, low
        emotional reactivity with reinforcement weighted up, conservative
        directive evolution (fewer proposals per cycle, a low temperature, a
        longer provisional period, a smaller directive set), a higher flashbulb
        threshold.
        """
    @classmethod
    def for_lightweight_local(cls) -> Brevick:
        """Small on-premises models; minimise model calls.

        Trimmed directive sets, smaller synthesis batches, one directive per
        evolution cycle, a tight context window.
        """
    def __replace__(self, /, **changes: Any) -> Brevick:
        """A copy of this profile with the named fields replaced (copy.replace)."""
    @classmethod
    def __get_pydantic_core_schema__(cls, source: Any, handler: Any, /) -> Any:
        """pydantic support: a record validates from a mapping of its fields and
        serialises as the dict of all of them.
        """
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

def replace(
    profile: Brevick, changes: Mapping[str, Any] | None = None, /, **fields: Any
) -> Brevick:
    """Return a copy of profile with the given fields replaced.

    Changes come either as keyword arguments, as dataclasses.replace takes
    them, or as a mapping of field name to value in changes; giving both is
    a TypeError. A name the record does not have raises TypeError naming it,
    and so does a value of the wrong kind. profile itself never changes.
    """
