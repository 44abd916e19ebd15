#include "eqsat/runner.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/fault.h"
#include "same_iterations.h"

namespace tessary::eqsat {
namespace {

Rewrite rule(std::string_view name, std::string_view lhs, std::string_view rhs) {
  auto l = Pattern::parse(lhs);
  auto r = Pattern::parse(rhs);
  if (!l || !r) ADD_FAILURE() << "bad pattern in " << name;
  auto rw = Rewrite::create(name, std::move(l).value(), std::move(r).value());
  if (!rw) ADD_FAILURE() << rw.error();
  return std::move(rw).value();
}

SymbolLang leaf(std::string_view op) { return SymbolLang(GlobalSymbol(op)); }
SymbolLang node(std::string_view op, std::initializer_list<Id> children) {
  return SymbolLang(GlobalSymbol(op), children);
}

const BackoffScheduler& backoff(const Runner& r) {
  return dynamic_cast<const BackoffScheduler&>(r.scheduler());
}

TEST(Rewrite, UnboundApplierVariableIsRejected) {
  auto bad =
      Rewrite::create("bad", Pattern::parse("(f ?x)").value(), Pattern::parse("(g ?x ?y)").value());
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "Rewrite bad refers to unbound var ?y");
  const auto good =
      Rewrite::create("good", Pattern::parse("(f ?x ?y)").value(), Pattern::parse("?y").value());
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value().name().as_str(), "good");
}

TEST(Runner, DefaultsMatchTheEngineSettings) {
  const Runner r;
  EXPECT_EQ(r.limits().iter_limit, 30u);
  EXPECT_EQ(r.limits().node_limit, 10000u);
  EXPECT_EQ(r.limits().time_limit, std::chrono::seconds(5));
  EXPECT_NE(dynamic_cast<const BackoffScheduler*>(&r.scheduler()), nullptr);
}

TEST(Runner, EmptyRuleListSaturatesAfterOneIteration) {
  EGraph g;
  g.add(node("f", {g.add(leaf("a"))}));
  Runner r;
  r.set_egraph(std::move(g)).run({});
  ASSERT_EQ(r.iterations().size(), 1u);
  EXPECT_EQ(r.stop_reason(), StopReason(Saturated{}));
  EXPECT_EQ(r.iterations()[0].stop_reason, StopReason(Saturated{}));
  EXPECT_TRUE(r.iterations()[0].applied.empty());
  EXPECT_TRUE(r.egraph().is_clean());
}

TEST(Runner, IterationLimitZeroSearchesNothing) {
  EGraph g;
  g.add(node("f", {g.add(leaf("a"))}));
  int hook_calls = 0;
  Runner r;
  r.set_egraph(std::move(g)).set_iter_limit(0).add_hook([&](Runner&) -> Result<void, std::string> {
    ++hook_calls;
    return {};
  });
  const std::vector<Rewrite> rules{rule("f-to-g", "(f ?x)", "(g ?x)")};
  r.run(rules);
  ASSERT_EQ(r.iterations().size(), 1u);
  EXPECT_EQ(r.stop_reason(), StopReason(IterationLimit{0}));
  EXPECT_EQ(hook_calls, 0);
  EXPECT_TRUE(backoff(r).stats().empty());
  EXPECT_EQ(r.egraph().size(), 2u);
  EXPECT_TRUE(r.egraph().is_clean());
}

TEST(Runner, GrowingRulesStopAtTheIterationLimit) {
  EGraph g;
  g.add(node("f", {g.add(leaf("a"))}));
  Runner r;
  r.set_egraph(std::move(g)).set_iter_limit(12);
  // f(x) = f(g(x)) adds a new term every iteration.
  const std::vector<Rewrite> rules{rule("wrap", "(f ?x)", "(f (g ?x))")};
  r.run(rules);
  EXPECT_EQ(r.iterations().size(), 12u);
  EXPECT_EQ(r.stop_reason(), StopReason(IterationLimit{12}));
  for (const Iteration& it : r.iterations()) {
    ASSERT_EQ(it.applied.size(), 1u);
    EXPECT_EQ(it.applied[0].first, GlobalSymbol("wrap"));
  }
}

TEST(Runner, NodeLimitBelowTheInitialSizeStopsTheFirstIteration) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  g.add(node("f", {a, g.add(leaf("b"))}));
  Runner r;
  r.set_egraph(std::move(g)).set_node_limit(2);
  const std::vector<Rewrite> rules{rule("swap", "(f ?x ?y)", "(f ?y ?x)")};
  r.run(rules);
  ASSERT_EQ(r.iterations().size(), 1u);
  EXPECT_EQ(r.stop_reason(), StopReason(NodeLimit{3}));
  EXPECT_EQ(r.egraph().size(), 3u);
}

TEST(Runner, NodeLimitCheckedAfterEachRuleEndsTheApplyPhase) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  g.add(node("f", {a, g.add(leaf("b"))}));
  Runner r;
  r.set_egraph(std::move(g)).set_node_limit(3);
  const std::vector<Rewrite> rules{rule("swap", "(f ?x ?y)", "(f ?y ?x)"),
                                   rule("wrap", "(f ?x ?y)", "(h ?x)")};
  r.run(rules);
  EXPECT_EQ(r.stop_reason(), StopReason(NodeLimit{4}));
  ASSERT_EQ(r.iterations().size(), 1u);
  // "wrap" never ran: the limit check after "swap" stopped the phase.
  EXPECT_EQ(r.iterations()[0].applied.size(), 1u);
  EXPECT_FALSE(r.egraph().lookup(node("h", {a})).has_value());
  EXPECT_TRUE(r.egraph().is_clean());
}

TEST(Runner, TimeLimitAndHookErrorsStopTheRun) {
  {
    Runner r;
    r.set_time_limit(std::chrono::nanoseconds(0));
    r.run({});
    ASSERT_TRUE(r.stop_reason().has_value());
    EXPECT_TRUE(std::holds_alternative<TimeLimit>(*r.stop_reason()));
  }
  {
    Runner r;
    int second_hook = 0;
    r.add_hook([](Runner&) -> Result<void, std::string> { return Err{std::string("enough")}; });
    r.add_hook([&](Runner&) -> Result<void, std::string> {
      ++second_hook;
      return {};
    });
    r.run({});
    EXPECT_EQ(r.stop_reason(), StopReason(Other{"enough"}));
    EXPECT_EQ(second_hook, 0);
    EXPECT_EQ(to_string(*r.stop_reason()), "Other(enough)");
  }
}

TEST(Runner, RunningTwiceFaults) {
  Runner r;
  r.run({});
  try {
    r.run({});
    FAIL() << "expected a fault";
  } catch (const InternalFault& f) {
    EXPECT_EQ(f.message(), "assertion failed: self.stop_reason.is_none()");
  }
}

// 1001 classes, each holding one g-node: one search finds 1001 substitutions.
EGraph thousand_and_one() {
  EGraph g;
  for (int i = 0; i < 1001; ++i) g.add(node("g", {g.add(leaf("leaf" + std::to_string(i)))}));
  return g;
}

TEST(BackoffScheduler, OverThresholdRuleIsBannedThenFastForwarded) {
  Runner r;
  r.set_egraph(thousand_and_one()).set_node_limit(100000);
  const std::vector<Rewrite> rules{rule("g-is-h", "(g ?x)", "(h ?x)")};
  r.run(rules);
  const auto& its = r.iterations();
  // 0: banned (1001 > 1000), nothing applied, ban fast-forwarded instead of
  //    stopping; 1: searched with threshold 2000 and applied; 2: nothing new.
  ASSERT_EQ(its.size(), 3u);
  EXPECT_TRUE(its[0].applied.empty());
  EXPECT_FALSE(its[0].stop_reason.has_value());
  EXPECT_EQ(its[0].egraph_nodes, 2002u);
  ASSERT_EQ(its[1].applied.size(), 1u);
  EXPECT_EQ(its[1].applied[0].second, 1001u);
  EXPECT_EQ(r.stop_reason(), StopReason(Saturated{}));

  const RuleStats* stats = backoff(r).stats_of(GlobalSymbol("g-is-h"));
  ASSERT_NE(stats, nullptr);
  EXPECT_EQ(stats->times_banned, 1u);
  EXPECT_EQ(stats->times_applied, 2u);
  EXPECT_EQ(stats->banned_until, 0u);  // 0 + 5, fast-forwarded by 5 at iteration 0
}

TEST(BackoffScheduler, BansDoubleAndShorterBansFastForwardTheOthers) {
  EGraph g = thousand_and_one();
  g.rebuild();
  const Rewrite big = rule("big", "(g ?x)", "(h ?x)");
  const Rewrite other = rule("other", "(g ?x)", "(k ?x)");
  BackoffScheduler s(/*match_limit=*/10, /*ban_length=*/3);
  EXPECT_TRUE(s.search_rewrite(0, g, big).empty());  // banned until 0 + 3
  EXPECT_TRUE(s.search_rewrite(1, g, big).empty());  // skipped, nothing changes
  EXPECT_EQ(s.stats_of(big.name())->banned_until, 3u);
  EXPECT_TRUE(s.search_rewrite(3, g, big).empty());  // threshold 20: banned until 3 + 6
  EXPECT_EQ(s.stats_of(big.name())->banned_until, 9u);
  EXPECT_EQ(s.stats_of(big.name())->times_banned, 2u);
  EXPECT_TRUE(s.search_rewrite(3, g, other).empty());  // banned until 3 + 3

  // At iteration 4 the earliest ban (6) is 2 away: both move 2 earlier.
  EXPECT_FALSE(s.can_stop(4));
  EXPECT_EQ(s.stats_of(other.name())->banned_until, 4u);
  EXPECT_EQ(s.stats_of(big.name())->banned_until, 7u);
  EXPECT_EQ(s.stats().front().first, big.name());
}

TEST(Runner, DuplicateRuleNamesWarnAndShareStats) {
  EGraph g;
  g.add(node("f", {g.add(leaf("a")), g.add(leaf("b"))}));
  Runner r;
  // Rules sharing a name share statistics, so they are never searched at once.
  r.set_egraph(std::move(g)).set_concurrent_search_classes(0);
  const std::vector<Rewrite> rules{rule("dup", "(f ?x ?y)", "(f ?y ?x)"),
                                   rule("single", "(f ?x ?y)", "(p ?x)"),
                                   rule("dup", "(f ?x ?y)", "(q ?y)")};
  testing::internal::CaptureStderr();
  r.run(rules);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'dup' appears 2 times\n");
  EXPECT_EQ(backoff(r).stats().size(), 2u);
  EXPECT_EQ(r.stop_reason(), StopReason(Saturated{}));
}

// About 2,000 random nodes over 40 leaves: commutative pairs, repeated
// operands, double negations.
EGraph random_graph() {
  EGraph g;
  std::mt19937 rng(7);
  std::vector<Id> ids;
  for (int i = 0; i < 40; ++i) ids.push_back(g.add(leaf("l" + std::to_string(i))));
  for (int i = 0; i < 2000; ++i) {
    auto any = [&] {
      return ids[std::uniform_int_distribution<std::size_t>(0, ids.size() - 1)(rng)];
    };
    switch (rng() % 4) {
      case 0:
        ids.push_back(g.add(node("f", {any(), any()})));
        break;
      case 1:
        ids.push_back(g.add(node("g", {any()})));
        break;
      case 2:
        ids.push_back(g.add(node("k", {any(), any()})));
        break;
      default:
        ids.push_back(g.add(node("neg", {g.add(node("neg", {any()}))})));
    }
  }
  return g;
}

// The rules of the two runs below, which go through bans.
std::vector<Rewrite> random_graph_rules() {
  return {rule("commute-f", "(f ?a ?b)", "(f ?b ?a)"), rule("g-is-h", "(g ?x)", "(h ?x)"),
          rule("double-neg", "(neg (neg ?x))", "?x"), rule("commute-k", "(k ?a ?b)", "(k ?b ?a)"),
          rule("f-of-k", "(f (k ?a ?b) ?c)", "(k ?a (f ?b ?c))")};
}

// Two runs that must agree on everything a run records or merges: rules
// banned and unbanned, matches applied, classes formed.
void expect_same_runs(const Runner& one, const Runner& two) {
  expect_same_iterations(one, two);
  EXPECT_GT(one.iterations().size(), 3u);
  EXPECT_EQ(one.stop_reason(), two.stop_reason());
  ASSERT_EQ(backoff(one).stats().size(), backoff(two).stats().size());
  bool banned = false;
  for (std::size_t k = 0; k < backoff(one).stats().size(); ++k) {
    const auto& [name, a] = backoff(one).stats()[k];
    const auto& [other_name, b] = backoff(two).stats()[k];
    EXPECT_EQ(name, other_name);
    EXPECT_EQ(a.times_applied, b.times_applied) << name;
    EXPECT_EQ(a.times_banned, b.times_banned) << name;
    EXPECT_EQ(a.banned_until, b.banned_until) << name;
    banned = banned || a.times_banned > 0;
  }
  EXPECT_TRUE(banned);  // the run went through bans, not just plain searches
  ASSERT_EQ(one.egraph().id_count(), two.egraph().id_count());
  for (std::uint32_t i = 0; i < one.egraph().id_count(); ++i) {
    EXPECT_EQ(one.egraph().find(Id(i)), two.egraph().find(Id(i))) << i;
  }
}

TEST(Runner, ConcurrentSearchRunsExactlyAsOneThread) {
  const std::vector<Rewrite> rules = random_graph_rules();
  Runner one;
  one.set_egraph(random_graph()).set_node_limit(10000).set_concurrent_search_classes(SIZE_MAX);
  one.run(rules);
  // The second run also puts classes in order on two threads at each rebuild.
  EGraph parallel = random_graph();
  parallel.set_parallel_rebuild_classes(1);
  Runner two;
  two.set_egraph(std::move(parallel)).set_node_limit(10000).set_concurrent_search_classes(0);
  two.run(rules);
  expect_same_runs(one, two);
}

// The same rules without their shortcuts: every search runs and every match
// is applied.
std::vector<Rewrite> plain_copies(const std::vector<Rewrite>& rules) {
  std::vector<Rewrite> plain;
  for (const Rewrite& r : rules) plain.push_back(r.with_shortcuts(Shortcuts::kPlain));
  return plain;
}

// Rules with shortcuts skip the matches their applier would leave unchanged;
// plain rules apply every match. Skipping must not change what a run does,
// also when an earlier merge in the same apply loop has moved a skipped
// match's operands to another class.
TEST(Runner, SkippingSettledMatchesChangesNothing) {
  const std::vector<Rewrite> rules = random_graph_rules();
  const std::vector<Rewrite> plain_rules = plain_copies(rules);
  Runner skipping;
  skipping.set_egraph(random_graph()).set_node_limit(10000);
  skipping.run(rules);
  Runner plain;
  plain.set_egraph(random_graph()).set_node_limit(10000);
  plain.run(plain_rules);
  expect_same_runs(skipping, plain);

  // f(x, x) is its own swap, so its match is settled; but commuting x's class
  // first merges it into x2's (x2 has more parents), and then f(x, x) must be
  // added again as f(x2, x2) and merged: one more applied match.
  auto small = [] {
    EGraph g;
    const Id p = g.add(leaf("p"));
    const Id q = g.add(leaf("q"));
    const Id x = g.add(node("f", {p, q}));
    const Id x2 = g.add(node("f", {q, p}));
    for (const char* op : {"g", "h", "k"}) g.add(node(op, {x2}));
    g.add(node("f", {x, x}));
    return g;
  };
  const std::vector<Rewrite> commute{rule("commute-f", "(f ?a ?b)", "(f ?b ?a)")};
  Runner small_skipping;
  small_skipping.set_egraph(small()).run(commute);
  Runner small_plain;
  small_plain.set_egraph(small()).run(plain_copies(commute));
  expect_same_iterations(small_plain, small_skipping);
  const Iteration& first = small_plain.iterations()[0];
  ASSERT_EQ(first.applied.size(), 1u);
  EXPECT_EQ(first.applied[0].second, 2u);  // x with x2, then f(x2, x2) with f(x, x)
}

// A rule whose matches can be counted without a search (an operator over
// distinct variables) is banned from the count. At exactly the threshold it
// must still be searched and applied; one match more bans it, as a search
// would.
TEST(Runner, CountedMatchesBanExactlyAboveTheThreshold) {
  for (const int extra : {0, 1}) {
    auto graph = [&] {
      EGraph g;
      const Id a = g.add(leaf("a"));
      for (int i = 0; i < 9 + extra; ++i) {
        g.add(node("f", {a, g.add(leaf("b" + std::to_string(i)))}));
      }
      g.add(node("f", {a, a}));  // the tenth (or eleventh) match
      return g;
    };
    const std::vector<Rewrite> rules{rule("commute-f", "(f ?a ?b)", "(f ?b ?a)")};
    EGraph clean = graph();
    clean.rebuild();
    ASSERT_EQ(rules[0].count_matches(clean), std::optional<std::size_t>(10 + extra));
    ASSERT_EQ(plain_copies(rules)[0].count_matches(clean), std::nullopt);
    Runner counted;
    counted.set_scheduler(std::make_unique<BackoffScheduler>(10, 5));
    counted.set_egraph(graph()).set_iter_limit(1).run(rules);
    Runner searched;
    searched.set_scheduler(std::make_unique<BackoffScheduler>(10, 5));
    searched.set_egraph(graph()).set_iter_limit(1).run(plain_copies(rules));
    for (const Runner* r : {&counted, &searched}) {
      const RuleStats& stats = *backoff(*r).stats_of(GlobalSymbol("commute-f"));
      EXPECT_EQ(stats.times_applied, extra == 0 ? 1u : 0u) << extra;
      EXPECT_EQ(stats.times_banned, extra == 0 ? 0u : 1u) << extra;
    }
    expect_same_iterations(counted, searched);
  }
}

// Stopping once every rule is known to change nothing leaves the same
// classes as running the iterations that find it out, in fewer iterations
// when the rules are all of the shapes the check reads; with another rule in
// the set the run is the same iteration for iteration.
TEST(Runner, StoppingWhenSettledLeavesTheSameClasses) {
  const std::vector<Rewrite> flat = {
      rule("commute-f", "(f ?a ?b)", "(f ?b ?a)"), rule("g-is-h", "(g ?x)", "(h ?x)"),
      rule("commute-k", "(k ?a ?b)", "(k ?b ?a)"), rule("h-is-its-operand", "(h ?x)", "?x")};
  std::vector<Rewrite> mixed = flat;
  mixed.push_back(rule("double-neg", "(neg (neg ?x))", "?x"));
  for (const std::vector<Rewrite>* rules :
       {&flat, static_cast<const std::vector<Rewrite>*>(&mixed)}) {
    Runner full;
    full.set_egraph(random_graph()).set_node_limit(100000).set_iter_limit(100);
    full.run(*rules);
    Runner early;
    early.set_egraph(random_graph())
        .set_node_limit(100000)
        .set_iter_limit(100)
        .set_stop_when_settled(true);
    early.run(*rules);
    EXPECT_EQ(full.stop_reason(), StopReason(Saturated{}));
    EXPECT_EQ(early.stop_reason(), StopReason(Saturated{}));
    if (rules == &flat) {
      // At least the iteration that finds nothing to do is saved (more when
      // the full run goes on to lift bans).
      EXPECT_LT(early.iterations().size(), full.iterations().size());
    } else {
      expect_same_iterations(full, early);
    }
    ASSERT_EQ(full.egraph().id_count(), early.egraph().id_count());
    for (std::uint32_t i = 0; i < full.egraph().id_count(); ++i) {
      EXPECT_EQ(full.egraph().find(Id(i)), early.egraph().find(Id(i))) << i;
    }
  }
}

TEST(Runner, CommutativityMergesSwappedOperandsAndTheirUsers) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id c = g.add(leaf("c"));
  const Id ab = g.add(node("op|add", {a, b}));
  const Id ba = g.add(node("op|add", {b, a}));
  const Id m1 = g.add(node("op|mul", {ab, c}));
  const Id m2 = g.add(node("op|mul", {ba, c}));
  const Id zero = g.add(node("op|add|scalar=f0000000000000000;side=sr", {m2}));
  Runner r;
  r.set_egraph(std::move(g)).set_iter_limit(12).set_node_limit(4 * 8 + 1024);
  const std::vector<Rewrite> rules{
      rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)"),
      rule("identity-0", "(op|add|scalar=f0000000000000000;side=sr ?x)", "?x")};
  r.run(rules);
  EXPECT_EQ(r.stop_reason(), StopReason(Saturated{}));
  const EGraph& out = r.egraph();
  EXPECT_EQ(out.find(ab), out.find(ba));
  EXPECT_EQ(out.find(m1), out.find(m2));
  EXPECT_EQ(out.find(zero), out.find(m1));
  EXPECT_NE(out.find(a), out.find(b));
}

}  // namespace
}  // namespace tessary::eqsat
