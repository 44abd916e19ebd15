#include "eqsat/runner.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "base/fault.h"
#include "base/two_threads.h"

namespace tessary::eqsat {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

// Writes the duplicate-name warning when a rule name occurs more than once.
void warn_duplicate_names(std::span<const Rewrite> rules) {
  std::vector<std::pair<GlobalSymbol, std::size_t>> counts;  // first-appearance order
  for (const Rewrite& rule : rules) {
    bool found = false;
    for (auto& [name, count] : counts) {
      if (name == rule.name()) {
        ++count;
        found = true;
        break;
      }
    }
    if (!found) counts.emplace_back(rule.name(), 1);
  }
  bool warned = false;
  for (const auto& [name, count] : counts) {
    if (count < 2) continue;
    if (!warned) {
      std::cerr << "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n";
      warned = true;
    }
    std::cerr << "Rule '" << name << "' appears " << count << " times\n";
  }
}

}  // namespace

std::string to_string(const StopReason& reason) {
  struct Render {
    std::string operator()(const Saturated&) const { return "Saturated"; }
    std::string operator()(const IterationLimit& r) const {
      return "IterationLimit(" + std::to_string(r.iterations) + ")";
    }
    std::string operator()(const NodeLimit& r) const {
      return "NodeLimit(" + std::to_string(r.size) + ")";
    }
    std::string operator()(const TimeLimit& r) const {
      std::ostringstream out;
      out << "TimeLimit(" << r.seconds << ")";
      return out.str();
    }
    std::string operator()(const Other& r) const { return "Other(" + r.message + ")"; }
  };
  return std::visit(Render{}, reason);
}

Runner::Runner(RunnerLimits limits)
    : limits_(limits), scheduler_(std::make_unique<BackoffScheduler>()) {}

std::optional<StopReason> Runner::check_limits(Clock::time_point now) const {
  if (cancel_ != nullptr) cancel_->check_now();
  if (start_time_) {
    const auto elapsed = now - *start_time_;
    if (elapsed > limits_.time_limit) {
      return TimeLimit{std::chrono::duration<double>(elapsed).count()};
    }
  }
  return check_size_limits();
}

std::optional<StopReason> Runner::check_size_limits() const {
  if (egraph_.size() > limits_.node_limit) return NodeLimit{egraph_.size()};
  if (iterations_.size() >= limits_.iter_limit) return IterationLimit{iterations_.size()};
  return std::nullopt;
}

std::optional<StopReason> Runner::check_limits_between_rules() const {
  // One rule's search or apply over a small e-graph takes microseconds, and
  // reading the clock would cost more than the rule: there the time limit
  // is checked at the end of the phase instead.
  if (egraph_.size() < Tuning::kClockedRuleNodes) return check_size_limits();
  return check_limits(Clock::now());
}

Runner& Runner::run(std::span<const Rewrite> rules) {
  warn_duplicate_names(rules);
  egraph_.rebuild();
  while (true) {
    Iteration iteration = run_one(rules);
    std::optional<StopReason> stop = iteration.stop_reason;
    iterations_.push_back(std::move(iteration));
    // The iteration's closing clock reading is the time of this check.
    if (!stop) stop = check_limits(last_clock_);
    if (stop) {
      stop_reason_ = std::move(stop);
      break;
    }
  }
  if (iterations_.empty()) fault("assertion failed: !self.iterations.is_empty()");
  if (!stop_reason_) fault("assertion failed: self.stop_reason.is_some()");
  return *this;
}

std::vector<RuleMatches> Runner::search_concurrently(std::size_t iteration,
                                                     std::span<const Rewrite> rules) {
  std::vector<RuleMatches> matches(rules.size());
  // Searches only read the e-graph, and each writes its own rule's entry.
  auto search_every_other = [&](std::size_t first) {
    for (std::size_t k = first; k < rules.size(); k += 2) {
      matches[k] = scheduler_->search_rewrite(iteration, egraph_, rules[k]);
    }
  };
  run_on_two_threads([&] { search_every_other(0); }, [&] { search_every_other(1); });
  return matches;
}

Iteration Runner::run_one(std::span<const Rewrite> rules) {
  if (stop_reason_) fault("assertion failed: self.stop_reason.is_none()");
  const std::size_t i = iterations_.size();
  // Each phase ends where the next begins, so one clock reading serves both.
  const Clock::time_point hook_start = Clock::now();
  if (!start_time_) start_time_ = hook_start;

  Iteration record;
  std::optional<StopReason> stop = check_limits(hook_start);
  record.egraph_nodes = egraph_.size();
  record.egraph_classes = egraph_.number_of_classes();

  if (!stop) {
    for (RunnerHook& hook : hooks_) {
      Result<void, std::string> result = hook(*this);
      if (!result) {
        stop = Other{result.error()};
        break;
      }
    }
  }
  const std::size_t hooked_nodes = egraph_.size();
  const std::size_t hooked_classes = egraph_.number_of_classes();
  const Clock::time_point search_start = Clock::now();
  record.hook_time = seconds_between(hook_start, search_start);

  std::vector<RuleMatches> matches;
  const bool large = egraph_.number_of_classes() >= concurrent_search_classes_;
  if (!stop && large && !concurrent_search_asked_) {
    // Asked once, when an iteration first could search on two threads; the
    // iterations before searched every rule in order, registering each as
    // the scheduler would have here.
    concurrent_search_asked_ = true;
    concurrent_search_ = rules.size() > 1 && scheduler_->prepare_concurrent_search(rules);
  }
  if (!stop && concurrent_search_ && large) {
    matches = search_concurrently(i, rules);
  } else if (!stop) {
    matches.reserve(rules.size());
    for (const Rewrite& rule : rules) {
      matches.push_back(scheduler_->search_rewrite(i, egraph_, rule));
      if ((stop = check_limits_between_rules())) break;
    }
  }
  const Clock::time_point apply_start = Clock::now();
  if (!stop) stop = check_limits(apply_start);
  record.search_time = seconds_between(search_start, apply_start);

  if (!stop) {
    for (std::size_t k = 0; k < rules.size(); ++k) {
      const Rewrite& rule = rules[k];
      const std::size_t applied = scheduler_->apply_rewrite(i, egraph_, rule, matches[k]);
      if (applied != 0) {
        bool found = false;
        for (auto& [name, count] : record.applied) {
          if (name == rule.name()) {
            count += applied;
            found = true;
            break;
          }
        }
        if (!found) record.applied.emplace_back(rule.name(), applied);
      }
      if ((stop = check_limits_between_rules())) break;
    }
  }
  const Clock::time_point rebuild_start = Clock::now();
  if (!stop) stop = check_limits(rebuild_start);
  record.apply_time = seconds_between(apply_start, rebuild_start);

  record.n_rebuilds = egraph_.rebuild();
  const Clock::time_point end = Clock::now();
  record.rebuild_time = seconds_between(rebuild_start, end);

  if (record.applied.empty() && scheduler_->can_stop(i)) {
    const bool unchanged = egraph_.size() == record.egraph_nodes &&
                           egraph_.number_of_classes() == record.egraph_classes &&
                           hooked_nodes == record.egraph_nodes &&
                           hooked_classes == record.egraph_classes;
    if (unchanged && !stop) stop = Saturated{};
  }
  if (!stop && stop_when_settled_ && hooks_.empty()) {
    const bool settled = std::all_of(rules.begin(), rules.end(), [&](const Rewrite& rule) {
      return rule.changes_nothing(egraph_);
    });
    if (settled) stop = Saturated{};
  }
  record.total_time = seconds_between(search_start, end);
  record.stop_reason = std::move(stop);
  last_clock_ = end;
  return record;
}

}  // namespace tessary::eqsat
