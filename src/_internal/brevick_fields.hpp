// The tuning profile: the 54 fields of Brevick with their kinds, defaults
// and documentation, in declaration order, and the six archetype presets.
// The record machinery that turns these tables into a type is
// _internal/common/frozen_record.hpp.
#pragma once

#include <iterator>

#include "_internal/common/frozen_record.hpp"

namespace qv::brevick {

inline constexpr record::Field kFields[] = {
    {"salience_reinforcement_weight", record::Kind::Real, 0.4,
     "Weight of the reinforcement component of a memory's salience."},
    {"salience_emotion_weight", record::Kind::Real, 0.4,
     "Weight of the emotion component of salience (emotional reactivity)."},
    {"salience_recency_weight", record::Kind::Real, 0.2,
     "Weight of the recency component of salience."},
    {"salience_reinforcement_cap", record::Kind::Int, 5,
     "Cap on the reinforcement count that salience takes into account."},
    {"salience_recency_half_life_days", record::Kind::Real, 7.0,
     "Half-life of the recency component, in days."},
    {"decay_factor", record::Kind::Real, 0.9, "Memory decay factor."},
    {"weaken_days", record::Kind::Int, 30, "Age in days tied to weakening a memory."},
    {"archive_days", record::Kind::Int, 90, "Age in days tied to archiving a memory."},
    {"emotional_immunity_threshold", record::Kind::Real, 0.7,
     "Emotional-intensity threshold of flashbulb memories (immune to decay)."},
    {"directive_provisional_days", record::Kind::Int, 7, "Days a new directive stays provisional."},
    {"directive_decay_usage_threshold", record::Kind::Int, 2,
     "Usage bar of the directive decay rule."},
    {"directive_decay_age_days", record::Kind::Int, 7, "Age in days of the directive decay rule."},
    {"directive_max_volume", record::Kind::Int, 50, "Maximum number of directives held."},
    {"critic_max_directives", record::Kind::Int, 20,
     "Maximum number of directives the critic works with."},
    {"coherence_threshold", record::Kind::Real, 0.6, "Coherence threshold (higher = stricter)."},
    {"entropy_churn_weight", record::Kind::Real, 0.4, "Weight of churn in the entropy measure."},
    {"entropy_volume_weight", record::Kind::Real, 0.4, "Weight of volume in the entropy measure."},
    {"entropy_staleness_weight", record::Kind::Real, 0.2,
     "Weight of staleness in the entropy measure."},
    {"entropy_volume_cap", record::Kind::Real, 50.0, "Volume cap of the entropy measure."},
    {"entropy_stale_days", record::Kind::Int, 30,
     "Age in days from which an item counts as stale."},
    {"entropy_cycle_hours", record::Kind::Int, 24, "Interval of the entropy cycle, in hours."},
    {"journal_max_content_size", record::Kind::Int, 50000, "Size limit of journal input content."},
    {"journal_max_memories", record::Kind::Int, 50, "Maximum memories per journal synthesis."},
    {"journal_min_memories", record::Kind::Int, 2, "Minimum memories per journal synthesis."},
    {"dream_max_steps_size", record::Kind::Int, 100000, "Size limit of dream-cycle steps."},
    {"dream_evolve_max_per_cycle", record::Kind::Int, 3,
     "Maximum directives proposed per evolution cycle."},
    {"dream_evolve_temperature", record::Kind::Real, 0.2,
     "Sampling temperature of the evolution model call\n(low = deterministic, high = "
     "exploratory)."},
    {"dream_evolve_style_guidance", record::Kind::Text, 0,
     "Extra phrasing rule for the evolution prompt; None = no extra rule."},
    {"consolidation_max_inputs", record::Kind::Int, 20,
     "Maximum memories per consolidation batch."},
    {"consolidation_min_salience", record::Kind::Real, 0.4,
     "Minimum salience for consolidation input."},
    {"tier2_dedup_threshold", record::Kind::Real, 0.95,
     "De-duplication threshold of consolidation."},
    {"max_context_chars", record::Kind::Int, 100000, "Context budget, in characters."},
    {"enable_fact_extraction", record::Kind::Truth, 0, "Switches fact extraction on."},
    {"fact_extraction_temperature", record::Kind::Real, 0.1,
     "Sampling temperature of fact extraction."},
    {"fact_extraction_max_per_memory", record::Kind::Int, 8, "Maximum facts extracted per memory."},
    {"facts_context_slot_chars", record::Kind::Int, 4000,
     "Characters of context set aside for facts."},
    {"critic_verifies_grounding", record::Kind::Truth, 0, "The critic verifies grounding."},
    {"grounding_max_claims", record::Kind::Int, 6, "Maximum claims verified for grounding."},
    {"grounding_semantic_threshold", record::Kind::Real, 0.6,
     "Semantic-similarity threshold of the grounding check."},
    {"quorvane_memory_diversity_weight", record::Kind::Real, 0.25,
     "Composite agent score: weight of memory diversity."},
    {"quorvane_directive_coherence_weight", record::Kind::Real, 0.2,
     "Composite agent score: weight of directive coherence."},
    {"quorvane_dream_health_weight", record::Kind::Real, 0.25,
     "Composite agent score: weight of dream health."},
    {"quorvane_reinforcement_ratio_weight", record::Kind::Real, 0.2,
     "Composite agent score: weight of the reinforcement ratio."},
    {"quorvane_journal_frequency_weight", record::Kind::Real, 0.1,
     "Composite agent score: weight of journal frequency."},
    {"quorvane_journal_target_days", record::Kind::Real, 7.0,
     "Target journal interval, in days, of the frequency component."},
    {"health_quorvane_healthy_threshold", record::Kind::Real, 0.65,
     "Composite-score threshold of the healthy state."},
    {"health_dream_success_healthy_threshold", record::Kind::Real, 0.9,
     "Dream success-rate threshold of the healthy state."},
    {"health_stagnant_capture_threshold_7d", record::Kind::Int, 3,
     "Threshold on memories captured in seven days, stagnant state."},
    {"health_stagnant_reinforcement_ratio", record::Kind::Real, 0.05,
     "Reinforcement-ratio threshold of the stagnant state."},
    {"health_drifting_demotion_rate_threshold", record::Kind::Real, 0.4,
     "Demotion-rate threshold of the drifting state."},
    {"health_overloaded_dream_failure_threshold", record::Kind::Real, 0.3,
     "Dream failure-rate threshold of the overloaded state."},
    {"postgres_ivf_lists", record::Kind::Int, 100,
     "Number of lists of the inverted-file (IVF) vector index of a PostgreSQL store."},
    {"postgres_ivf_threshold_rows", record::Kind::Int, 1000, "Row-count threshold of that index."},
    {"dream_phase_concurrency", record::Kind::Int, 2, "Number of dream phases run at once."},
};

// ---------------------------------------------------------------------------
// The archetypes: each factory's values where it differs from the defaults

inline constexpr const char* kCodingGuidance =
    "Phrase rules as code-review heuristics with falsifiable triggers (e.g., 'When a function "
    "exceeds 50 lines, flag it for splitting').";
inline constexpr const char* kConsumerGuidance =
    "Phrase rules from the perspective of serving the user well, not from a business-strategy "
    "perspective. Avoid framing terms like 'retention', 'lifetime value', 'loyalty', "
    "'maximize', or 'strategically'. A rule the user would feel respected by, not manipulated "
    "by.";

inline constexpr record::Override kResearch[] = {
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
inline constexpr record::Override kCoding[] = {
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
inline constexpr record::Override kConsumer[] = {
    {"dream_evolve_style_guidance", 0, kConsumerGuidance},
};
inline constexpr record::Override kStrategic[] = {
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
inline constexpr record::Override kLightweight[] = {
    {"directive_max_volume", 20},        {"critic_max_directives", 10},
    {"journal_max_content_size", 20000}, {"journal_max_memories", 20},
    {"dream_evolve_max_per_cycle", 1},   {"dream_evolve_temperature", 0.2},
    {"consolidation_max_inputs", 10},    {"max_context_chars", 32000},
};

inline constexpr char balanced_doc[] =
    "balanced($cls, /)\n--\n\n"
    "The general-purpose profile: every field at its default.";
inline constexpr char for_research_doc[] =
    "for_research($cls, /)\n--\n\n"
    "Deep knowledge accumulation, long retention, creative synthesis.\n\n"
    "Gentle decay (long half-life, slow weakening and archiving), wider\n"
    "consolidation batches with a lower salience bar, a higher evolution\n"
    "temperature for exploratory connections, larger directive sets (complex\n"
    "domains need more rules), larger journal batches.";
inline constexpr char for_coding_assistant_doc[] =
    "for_coding_assistant($cls, /)\n--\n\n"
    "High-churn context, tight rules, aggressive cleanup.\n\n"
    "Short half-lives and aggressive decay, earlier staleness, a stricter\n"
    "directive usage bar and shorter directive decay age, near-deterministic\n"
    "evolution, high coherence (a contradiction counts as a defect), a tighter\n"
    "context budget (code is token-dense), and code-review phrasing guidance\n"
    "for evolved directives.";
inline constexpr char for_consumer_support_doc[] =
    "for_consumer_support($cls, /)\n--\n\n"
    "End-user-facing service, support, coaching or care.\n\n"
    "Only the phrasing rule changes: directives are phrased from the user's\n"
    "perspective, not from business strategy; all other tuning stays at\n"
    "balanced() because support workloads vary widely.";
inline constexpr char for_strategic_advisors_doc[] =
    "for_strategic_advisors($cls, /)\n--\n\n"
    "High-stakes decisions, strict coherence, institutional memory.\n\n"
    "Long memory persistence (archiving after a year), strict coherence, low\n"
    "emotional reactivity with reinforcement weighted up, conservative\n"
    "directive evolution (fewer proposals per cycle, a low temperature, a\n"
    "longer provisional period, a smaller directive set), a higher flashbulb\n"
    "threshold.";
inline constexpr char for_lightweight_local_doc[] =
    "for_lightweight_local($cls, /)\n--\n\n"
    "Small on-premises models; minimise model calls.\n\n"
    "Trimmed directive sets, smaller synthesis batches, one directive per\n"
    "evolution cycle, a tight context window.";

inline constexpr record::Preset kPresets[] = {
    {"balanced", balanced_doc, nullptr, 0},
    {"for_research", for_research_doc, kResearch, std::size(kResearch)},
    {"for_coding_assistant", for_coding_assistant_doc, kCoding, std::size(kCoding)},
    {"for_consumer_support", for_consumer_support_doc, kConsumer, std::size(kConsumer)},
    {"for_strategic_advisors", for_strategic_advisors_doc, kStrategic, std::size(kStrategic)},
    {"for_lightweight_local", for_lightweight_local_doc, kLightweight, std::size(kLightweight)},
};

inline constexpr const char* kClassDocBody =
    "An immutable tuning profile: every tuning constant of the kit in one record.\n\n"
    "Build one from any subset of its fields, by keyword or by position in\n"
    "declaration order; fields left out take their defaults, which are the\n"
    "balanced() profile. The six factories (balanced, for_research,\n"
    "for_coding_assistant, for_consumer_support, for_strategic_advisors,\n"
    "for_lightweight_local) give the shipped archetypes; replace() gives a copy\n"
    "with some fields changed.\n\n"
    "Each field holds one kind of value, normalised on the way in:\n\n"
    "- integer fields take int (bool included) or anything with __index__,\n"
    "  stored as an exact int of any size;\n"
    "- real fields take float, int (bool included) or anything with __float__\n"
    "  or __index__ (not str), stored as an exact float;\n"
    "- truth fields take bool only;\n"
    "- dream_evolve_style_guidance takes str or None.\n\n"
    "Anything else raises TypeError naming the field. Ranges, signs and sums are\n"
    "never checked: a weight of 7 or a negative day count is stored unchanged.\n\n"
    "Fields are read-only: assigning or deleting one (or adding an attribute)\n"
    "raises dataclasses.FrozenInstanceError. Profiles compare equal when all\n"
    "fields are equal, hash consistently with that, pickle and copy, can be\n"
    "weakly referenced, and work with the dataclasses helpers (fields, asdict,\n"
    "astuple, replace).";

// The description the record machinery builds the type from.
struct Profile {
  static constexpr const char* kQualName = "quorvane._internal.brevick.Brevick";
  static constexpr const char* kName = "Brevick";
  static constexpr const char* kInitName = "Brevick.__init__";
  static constexpr const char* kDocBody = kClassDocBody;
  static constexpr const char* kReplaceDoc =
      "__replace__($self, /, **changes)\n--\n\n"
      "A copy of this profile with the named fields replaced (copy.replace).";
  static constexpr const auto& kFields = brevick::kFields;
  static constexpr const auto& kPresets = brevick::kPresets;
  using Tables = record::Tables<std::size(brevick::kFields), std::size(brevick::kPresets)>;
  // The tables of the module instance that made `type` (brevick.cpp).
  static Tables& tables(PyTypeObject* type) noexcept;
};

static_assert(std::size(kFields) == 54);

}  // namespace qv::brevick
