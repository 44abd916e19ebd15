// Rewrite schedulers decide which rules a runner searches in an iteration and
// whether it may stop. The BackoffScheduler bans a rule for a while when one
// search finds more matches than its threshold, and lifts bans early when
// nothing else is left to do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "eqsat/egraph.h"
#include "eqsat/pattern.h"
#include "eqsat/rewrite.h"
#include "eqsat/symbol.h"

namespace tessary::eqsat {

class RewriteScheduler {
 public:
  virtual ~RewriteScheduler() = default;
  // Whether the runner may stop as saturated after iteration `iteration`.
  virtual bool can_stop(std::size_t iteration) = 0;
  // The matches of `rule` to apply in this iteration.
  virtual RuleMatches search_rewrite(std::size_t iteration, const EGraph& egraph,
                                     const Rewrite& rule) = 0;
  // Applies the matches `search_rewrite` gave for `rule`; returns the number
  // of applications that merged classes.
  virtual std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rule,
                                    const RuleMatches& matches) = 0;
  // Readies the scheduler for `search_rewrite` calls on different rules of
  // `rules` from several threads at once, during one iteration; false if it
  // cannot take them. The default takes none.
  virtual bool prepare_concurrent_search(std::span<const Rewrite> /*rules*/) { return false; }
};

struct RuleStats {
  std::uint64_t times_applied = 0;
  std::uint64_t banned_until = 0;
  std::uint64_t times_banned = 0;
  std::uint64_t match_limit = 0;
  std::uint64_t ban_length = 0;
};

class BackoffScheduler final : public RewriteScheduler {
 public:
  static constexpr std::uint64_t kDefaultMatchLimit = 1000;
  static constexpr std::uint64_t kDefaultBanLength = 5;

  BackoffScheduler() = default;
  BackoffScheduler(std::uint64_t match_limit, std::uint64_t ban_length)
      : default_match_limit_(match_limit), default_ban_length_(ban_length) {}

  bool can_stop(std::size_t iteration) override;
  RuleMatches search_rewrite(std::size_t iteration, const EGraph& egraph,
                             const Rewrite& rule) override;
  std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rule,
                            const RuleMatches& matches) override;
  // Registers every rule, so that searches only read the list of records and
  // each writes its own rule's record; rules sharing a name would share a
  // record, so then it declines.
  bool prepare_concurrent_search(std::span<const Rewrite> rules) override;

  // Per-rule statistics in the order rules were first searched.
  const std::vector<std::pair<GlobalSymbol, RuleStats>>& stats() const { return stats_; }
  // The statistics of one rule, or null if it was never searched.
  const RuleStats* stats_of(GlobalSymbol name) const;

 private:
  RuleStats& rule_stats(GlobalSymbol name);

  std::uint64_t default_match_limit_ = kDefaultMatchLimit;
  std::uint64_t default_ban_length_ = kDefaultBanLength;
  std::vector<std::pair<GlobalSymbol, RuleStats>> stats_;  // found by scanning names
};

}  // namespace tessary::eqsat
