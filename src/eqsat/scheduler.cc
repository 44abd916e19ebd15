#include "eqsat/scheduler.h"

#include <limits>
#include <string>

#include "base/fault.h"

namespace tessary::eqsat {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// `value << shift`, for the shift counts that backoff arithmetic can reach.
std::uint64_t shifted(std::uint64_t value, std::uint64_t shift) {
  if (shift >= 64) fault("backoff shift of " + std::to_string(shift) + " bits overflows");
  return value << shift;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kMax - b ? kMax : a + b;
}

}  // namespace

RuleStats& BackoffScheduler::rule_stats(GlobalSymbol name) {
  // A known rule is only looked up: concurrent searches rely on that. Rule
  // sets are small (the optimizer's has twelve), so a scan of the records
  // beats hashing, and a scheduler allocates nothing but its records.
  for (auto& [known, stats] : stats_) {
    if (known == name) return stats;
  }
  if (stats_.empty()) stats_.reserve(16);
  RuleStats fresh;
  fresh.match_limit = default_match_limit_;
  fresh.ban_length = default_ban_length_;
  return stats_.emplace_back(name, fresh).second;
}

const RuleStats* BackoffScheduler::stats_of(GlobalSymbol name) const {
  for (const auto& [known, stats] : stats_) {
    if (known == name) return &stats;
  }
  return nullptr;
}

bool BackoffScheduler::prepare_concurrent_search(std::span<const Rewrite> rules) {
  // Rules sharing a name would share a record, which two threads would then
  // both write. Rule sets are small, so comparing every pair is cheap.
  for (std::size_t i = 0; i < rules.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (rules[i].name() == rules[j].name()) return false;
    }
  }
  for (const Rewrite& rule : rules) (void)rule_stats(rule.name());
  return true;
}

RuleMatches BackoffScheduler::search_rewrite(std::size_t iteration, const EGraph& egraph,
                                             const Rewrite& rule) {
  RuleStats& stats = rule_stats(rule.name());
  if (iteration < stats.banned_until) return {};

  const std::uint64_t threshold = shifted(stats.match_limit, stats.times_banned);
  // A rule known to have too many matches is banned without searching: the
  // search would stop after threshold + 1 of them and ban it just the same.
  const std::optional<std::size_t> known = rule.count_matches(egraph);
  RuleMatches matches;
  std::uint64_t total = 0;
  if (known && *known > threshold) {
    total = *known;
  } else if (known && *known == 0) {
    // Nothing to find: the search would come back empty.
  } else {
    matches = rule.search(egraph, saturating_add(threshold, 1));
    total = matches.total();
  }

  if (total > threshold) {
    const std::uint64_t ban = shifted(stats.ban_length, stats.times_banned);
    stats.banned_until = saturating_add(iteration, ban);
    stats.times_banned += 1;
    return {};
  }
  stats.times_applied += 1;
  return matches;
}

std::size_t BackoffScheduler::apply_rewrite(std::size_t /*iteration*/, EGraph& egraph,
                                            const Rewrite& rule, const RuleMatches& matches) {
  return rule.apply(egraph, matches);
}

bool BackoffScheduler::can_stop(std::size_t iteration) {
  std::vector<RuleStats*> banned;
  for (auto& [name, stats] : stats_) {
    if (iteration < stats.banned_until) banned.push_back(&stats);
  }
  if (banned.empty()) return true;

  std::uint64_t min_ban = kMax;
  for (const RuleStats* s : banned) min_ban = std::min(min_ban, s->banned_until);
  if (min_ban < iteration) fault("assertion failed: min_ban >= iteration");
  // Nothing else can change the e-graph: fast-forward to the earliest ban's
  // end, so the soonest-banned rules are searched again next iteration.
  const std::uint64_t delta = min_ban - iteration;
  std::size_t unbanned = 0;
  for (RuleStats* s : banned) {
    s->banned_until -= delta;
    if (s->banned_until == iteration) ++unbanned;
  }
  if (unbanned == 0) fault("assertion failed: !unbanned.is_empty()");
  return false;
}

}  // namespace tessary::eqsat
