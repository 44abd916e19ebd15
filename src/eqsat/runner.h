// The runner drives equality saturation: each iteration searches every rule,
// applies the accepted matches and rebuilds, until the e-graph saturates or a
// limit (iterations, e-graph size, time) is reached.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/cancel.h"
#include "base/result.h"
#include "eqsat/egraph.h"
#include "eqsat/rewrite.h"
#include "eqsat/scheduler.h"
#include "eqsat/symbol.h"
#include "eqsat/tuning.h"

namespace tessary::eqsat {

// The runner's limits and their defaults.
struct RunnerLimits {
  static constexpr std::size_t kDefaultIterLimit = 30;
  static constexpr std::size_t kDefaultNodeLimit = 10000;
  static constexpr std::chrono::nanoseconds kDefaultTimeLimit = std::chrono::seconds(5);

  std::size_t iter_limit = kDefaultIterLimit;  // iterations recorded before stopping
  std::size_t node_limit = kDefaultNodeLimit;  // e-graph size (memo entries) allowed
  std::chrono::nanoseconds time_limit = kDefaultTimeLimit;
};

// Why a run stopped.
struct Saturated {
  friend bool operator==(const Saturated&, const Saturated&) = default;
};
struct IterationLimit {
  std::size_t iterations;
  friend bool operator==(const IterationLimit&, const IterationLimit&) = default;
};
struct NodeLimit {
  std::size_t size;
  friend bool operator==(const NodeLimit&, const NodeLimit&) = default;
};
struct TimeLimit {
  double seconds;
  friend bool operator==(const TimeLimit&, const TimeLimit&) = default;
};
struct Other {
  std::string message;
  friend bool operator==(const Other&, const Other&) = default;
};
using StopReason = std::variant<Saturated, IterationLimit, NodeLimit, TimeLimit, Other>;

// "Saturated", "IterationLimit(12)", "NodeLimit(10001)", "TimeLimit(5.001)", "Other(msg)".
std::string to_string(const StopReason& reason);

// One iteration of a run. Times are in seconds.
struct Iteration {
  std::size_t egraph_nodes = 0;    // size at the start of the iteration
  std::size_t egraph_classes = 0;  // class count at the start of the iteration
  std::vector<std::pair<GlobalSymbol, std::size_t>> applied;  // in first-application order
  double hook_time = 0;
  double search_time = 0;
  double apply_time = 0;
  double rebuild_time = 0;
  double total_time = 0;       // from the start of the search phase
  std::size_t n_rebuilds = 0;  // unions done by the closing rebuild
  std::optional<StopReason> stop_reason;
};

class Runner;
// A callback run at the start of every iteration; an error stops the run with Other.
using RunnerHook = std::function<Result<void, std::string>(Runner&)>;

class Runner {
 public:
  Runner() : Runner(RunnerLimits{}) {}
  explicit Runner(RunnerLimits limits);

  // Settings; all before `run`.
  Runner& set_egraph(EGraph egraph) {
    egraph_ = std::move(egraph);
    return *this;
  }
  Runner& set_iter_limit(std::size_t limit) {
    limits_.iter_limit = limit;
    return *this;
  }
  Runner& set_node_limit(std::size_t limit) {
    limits_.node_limit = limit;
    return *this;
  }
  Runner& set_time_limit(std::chrono::nanoseconds limit) {
    limits_.time_limit = limit;
    return *this;
  }
  Runner& set_scheduler(std::unique_ptr<RewriteScheduler> scheduler) {
    scheduler_ = std::move(scheduler);
    return *this;
  }
  // Polled at every limit check that reads the clock (at least once per
  // phase of an iteration); when it says stop, Cancelled unwinds the run and
  // the runner is left unusable. Must outlive the run.
  Runner& set_cancel(Cancel& cancel) {
    cancel_ = &cancel;
    return *this;
  }
  Runner& add_hook(RunnerHook hook) {
    hooks_.push_back(std::move(hook));
    return *this;
  }
  // An iteration whose e-graph has at least `classes` classes searches its
  // rules on two threads when the scheduler takes concurrent searches. The
  // matches, the statistics and so the whole run are those of one thread; a
  // time limit that passes during the search is noticed after it rather than
  // between two rules.
  Runner& set_concurrent_search_classes(std::size_t classes) {
    concurrent_search_classes_ = classes;
    return *this;
  }

  // After an iteration, stop as saturated when every rule is known to
  // change nothing more (Rewrite::changes_nothing), rather than running one
  // more iteration to find that out. The e-graph comes out the same either
  // way; the iteration records and the stop reason may differ (a run that
  // would have stopped at a limit next, or gone on to lift bans that could
  // change nothing, stops as saturated instead). Off by default; ignored
  // while hooks are set, since a hook may change the e-graph.
  Runner& set_stop_when_settled(bool stop) {
    stop_when_settled_ = stop;
    return *this;
  }

  // Runs the rules, in order, until a stop; a runner runs once.
  Runner& run(std::span<const Rewrite> rules);

  const EGraph& egraph() const { return egraph_; }
  EGraph& egraph() { return egraph_; }
  const RunnerLimits& limits() const { return limits_; }
  const std::vector<Iteration>& iterations() const { return iterations_; }
  const std::optional<StopReason>& stop_reason() const { return stop_reason_; }
  const std::vector<Id>& roots() const { return roots_; }
  const RewriteScheduler& scheduler() const { return *scheduler_; }

 private:
  Iteration run_one(std::span<const Rewrite> rules);
  std::vector<RuleMatches> search_concurrently(std::size_t iteration,
                                               std::span<const Rewrite> rules);
  using Clock = std::chrono::steady_clock;
  // The limits as they stand at `now`.
  std::optional<StopReason> check_limits(Clock::time_point now) const;
  // The node and iteration limits only.
  std::optional<StopReason> check_size_limits() const;
  // The check after each rule's search or apply. On an e-graph of fewer than
  // Tuning::kClockedRuleNodes e-nodes it leaves the time limit to the check
  // at the end of the phase, which runs whatever the size.
  std::optional<StopReason> check_limits_between_rules() const;

  EGraph egraph_;
  std::vector<Iteration> iterations_;
  std::vector<Id> roots_;
  std::optional<StopReason> stop_reason_;
  std::vector<RunnerHook> hooks_;
  RunnerLimits limits_;
  std::optional<Clock::time_point> start_time_;
  Clock::time_point last_clock_{};  // the last clock reading of run_one
  std::unique_ptr<RewriteScheduler> scheduler_;
  Cancel* cancel_ = nullptr;
  std::size_t concurrent_search_classes_ = Tuning::kConcurrentSearchClasses;
  bool concurrent_search_ = false;        // the scheduler took it for this run's rules
  bool concurrent_search_asked_ = false;  // prepare_concurrent_search was called
  bool stop_when_settled_ = false;
};

}  // namespace tessary::eqsat
