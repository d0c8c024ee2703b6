#include "core/keywords.hpp"

#include <stdexcept>

namespace qv::core {

KeywordSet::KeywordSet(std::span<const Entry> entries) {
  // Character classes: one per distinct character the keywords use.
  for (const Entry& e : entries) {
    if (e.keyword.empty()) throw std::invalid_argument("empty keyword");
    if (e.group < 0 || e.group >= kNoGroup)
      throw std::invalid_argument("keyword group out of range");
    for (const char ch : e.keyword) {
      const auto u = static_cast<unsigned char>(ch);
      if (u >= 0x80 || (u >= 'A' && u <= 'Z'))
        throw std::invalid_argument("keyword is not lowercase ASCII");
      if (class_of_[u] == 0) class_of_[u] = static_cast<std::uint8_t>(classes_++);
    }
  }
  for (unsigned u = 'A'; u <= 'Z'; ++u) class_of_[u] = class_of_[u + 0x20];

  // The trie: state 0 is the root; -1 marks a missing edge until resolved.
  std::vector<std::int32_t> go(classes_, -1);
  std::vector<std::uint8_t> out(1, kNoGroup);
  for (const Entry& e : entries) {
    std::size_t state = 0;
    for (const char ch : e.keyword) {
      const std::size_t slot = state * classes_ + class_of_[static_cast<unsigned char>(ch)];
      if (go[slot] < 0) {
        go[slot] = static_cast<std::int32_t>(out.size());
        out.push_back(kNoGroup);
        go.resize(out.size() * classes_, -1);
      }
      state = static_cast<std::size_t>(go[slot]);
    }
    const auto g = static_cast<std::uint8_t>(e.group);
    if (g < out[state]) out[state] = g;
  }
  if (out.size() * classes_ > (std::uint32_t{1} << 24))
    throw std::length_error("too many keyword states");

  // Breadth-first: failure links, then every missing edge resolved through
  // them, so matching is one table lookup per unit. A state's group also
  // covers the keywords that end at its proper suffixes.
  std::vector<std::size_t> fail(out.size(), 0);
  std::vector<std::size_t> queue;
  queue.reserve(out.size());
  for (std::size_t c = 0; c < classes_; ++c) {
    if (go[c] < 0) {
      go[c] = 0;
    } else {
      queue.push_back(static_cast<std::size_t>(go[c]));
    }
  }
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const std::size_t u = queue[head];
    if (out[fail[u]] < out[u]) out[u] = out[fail[u]];
    for (std::size_t c = 0; c < classes_; ++c) {
      const std::size_t slot = u * classes_ + c;
      const std::int32_t via_fail = go[fail[u] * classes_ + c];
      if (go[slot] < 0) {
        go[slot] = via_fail;
      } else {
        const auto v = static_cast<std::size_t>(go[slot]);
        fail[v] = static_cast<std::size_t>(via_fail);
        queue.push_back(v);
      }
    }
  }

  next_.assign(go.size(), 0);
  for (std::size_t i = 0; i < go.size(); ++i) {
    const auto target = static_cast<std::size_t>(go[i]);
    next_[i] = static_cast<std::uint32_t>((target * classes_) << 8 | out[target]);
  }
}

namespace {

constexpr std::string_view kBilling[] = {"refund",  "charge",       "invoice", "payment",
                                         "billing", "subscription", "price",   "discount"};
constexpr std::string_view kSecurity[] = {
    "password",   "credential", "auth", "verify identity", "verification", "fraud", "phishing",
    "two-factor", "2fa",        "pii"};
constexpr std::string_view kEscalation[] = {"escalate", "supervisor", "manager", "human agent",
                                            "transfer to"};
constexpr std::string_view kFulfillment[] = {"ship",      "shipping",    "delivery",     "tracking",
                                             "warehouse", "fulfillment", "order status", "carrier"};
constexpr std::string_view kRetention[] = {"cancel",  "churn", "retain", "win back",
                                           "loyalty", "renew", "renewal"};

}  // namespace

const std::array<DomainRow, kDomainRows> kDomainTable = {{
    {"billing", kBilling},
    {"security", kSecurity},
    {"escalation", kEscalation},
    {"fulfillment", kFulfillment},
    {"retention", kRetention},
}};

const KeywordSet& domain_keywords() {
  // Built once, on first use (thread-safe static initialisation).
  static const KeywordSet set = [] {
    std::vector<KeywordSet::Entry> entries;
    for (std::size_t row = 0; row < kDomainTable.size(); ++row)
      for (const std::string_view kw : kDomainTable[row].keywords)
        entries.push_back({kw, static_cast<int>(row)});
    return KeywordSet(entries);
  }();
  return set;
}

}  // namespace qv::core
