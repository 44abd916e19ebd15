#include "optimizer/engine.h"

#include <gtest/gtest.h>

#include <random>

#include "eqsat/pattern.h"
#include "optimizer/rules.h"
#include "optimizer/tuning.h"
#include "test_graphs.h"

namespace tessary {
namespace {

using testing::op;
using testing::scalar_side;
using testing::src;

EngineGraph canonical(const std::vector<NodeKey>& keys, const std::vector<std::uint64_t>& outputs) {
  const EngineGraphBuild build = to_engine_graph(keys, outputs);
  return SaturationEngine::default_engine().canonicalize(build.graph);
}

std::vector<std::string> ops_of(const EngineGraph& g) {
  std::vector<std::string> ops;
  for (const EngineNode& n : g.nodes) ops.emplace_back(n.op.as_str());
  return ops;
}

TEST(RuleTable, ListsTheTwelveRulesInOrder) {
  const auto& rules = kRules;
  ASSERT_EQ(rules.size(), 12u);
  EXPECT_EQ(rules[0].name, "commute-add");
  EXPECT_EQ(rules[0].searcher, "(op|add ?a ?b)");
  EXPECT_EQ(rules[0].applier, "(op|add ?b ?a)");
  EXPECT_EQ(rules[7].name, "commute-minimum");
  EXPECT_EQ(rules[7].searcher, "(op|minimum ?a ?b)");
  EXPECT_EQ(rules[8].name, "identity-0");
  EXPECT_EQ(rules[8].searcher, "(op|add|scalar=f0000000000000000;side=sr ?x)");
  EXPECT_EQ(rules[8].applier, "?x");
  EXPECT_EQ(rules[11].name, "identity-3");
  EXPECT_EQ(rules[11].searcher, "(op|mul|scalar=f3ff0000000000000;side=sl ?x)");
  // The identity tokens are the tokens of the ops they describe.
  EXPECT_EQ(op("add", {0}, scalar_side(0.0, "r")).token(), kIdentityTokens[0]);
  EXPECT_EQ(op("mul", {0}, scalar_side(1.0, "l")).token(), kIdentityTokens[3]);
  const SaturationEngine engine = SaturationEngine::default_engine();
  EXPECT_EQ(engine.rules().size(), 12u);
  EXPECT_EQ(engine.iter_limit(), 12u);
}

// The incremental reducer applies the two lists and the engine the table:
// each row must be the one the lists make.
TEST(RuleTable, RowsAreTheOnesTheListsMake) {
  for (std::size_t i = 0; i < kCommutativeOps.size(); ++i) {
    const std::string name(kCommutativeOps[i]);
    EXPECT_EQ(kRules[i].name, "commute-" + name);
    EXPECT_EQ(kRules[i].searcher, "(op|" + name + " ?a ?b)");
    EXPECT_EQ(kRules[i].applier, "(op|" + name + " ?b ?a)");
  }
  for (std::size_t i = 0; i < kIdentityTokens.size(); ++i) {
    const RuleText& row = kRules[kCommutativeOps.size() + i];
    EXPECT_EQ(row.name, "identity-" + std::to_string(i));
    EXPECT_EQ(row.searcher, "(" + std::string(kIdentityTokens[i]) + " ?x)");
    EXPECT_EQ(row.applier, "?x");
  }
  EXPECT_EQ(kRules.size(), kCommutativeOps.size() + kIdentityTokens.size());
}

TEST(SaturationEngine, EmptyGraphStaysEmpty) {
  const EngineGraph out = SaturationEngine::default_engine().canonicalize(EngineGraph{});
  EXPECT_TRUE(out.nodes.empty());
  EXPECT_TRUE(out.outputs.empty());
}

TEST(SaturationEngine, SwappedCommutativeOpJoinsTheFirst) {
  for (const std::string_view view : kCommutativeOps) {
    const std::string name(view);
    const EngineGraph out =
        canonical({src("a"), src("b"), op(name, {0, 1}), op(name, {1, 0})}, {3});
    ASSERT_EQ(out.nodes.size(), 3u) << name;
    EXPECT_EQ(out.nodes[2].op.as_str(), "op|" + name);
    EXPECT_EQ(out.nodes[2].children, (EngineOperands{0, 1}));
    EXPECT_EQ(out.outputs, (std::vector<EngineIndex>{2}));
  }
}

TEST(SaturationEngine, MergesPropagateToUsers) {
  const EngineGraph out = canonical({src("a"), src("b"), src("c"), op("add", {0, 1}),
                                     op("add", {1, 0}), op("sub", {3, 2}), op("sub", {4, 2})},
                                    {5, 6});
  EXPECT_EQ(out.nodes.size(), 5u);
  EXPECT_EQ(out.outputs, (std::vector<EngineIndex>{4, 4}));
}

TEST(SaturationEngine, IdentityOpStandsForItsOperand) {
  for (std::size_t i = 0; i < kIdentityTokens.size(); ++i) {
    const std::string name = i < 2 ? "add" : "mul";
    const double scalar = i < 2 ? 0.0 : 1.0;
    const EngineGraph out =
        canonical({src("x"), op(name, {0}, scalar_side(scalar, i % 2 == 0 ? "r" : "l"))}, {1});
    ASSERT_EQ(out.nodes.size(), 1u) << i;
    EXPECT_EQ(out.nodes[0].prototype, 0u) << i;  // the source's
    EXPECT_EQ(out.outputs, (std::vector<EngineIndex>{0}));
  }
}

TEST(SaturationEngine, NearIdentitiesSurvive) {
  ParamMap extra({{"scalar", ParamValue::floating(0.0)},
                  {"side", ParamValue::string("r")},
                  {"x", ParamValue::integer(1)}});
  const std::vector<NodeKey> keys = {
      src("x"),
      op("add", {0}, extra),
      op("add", {0}, scalar_side(-0.0, "r")),
      op("mul", {0}, scalar_side(2.0, "r")),
      op("add", {0}, scalar_side(0.0, "m")),
      op("add", {0, 0}, scalar_side(0.0, "r")),  // identity token, two operands
      op("mul", {}, scalar_side(1.0, "l")),      // identity token, no operand
  };
  const EngineGraph out = canonical(keys, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(out.nodes.size(), keys.size());
  EXPECT_EQ(out.outputs, (std::vector<EngineIndex>{1, 2, 3, 4, 5, 6}));
}

TEST(SaturationEngine, NonCommutativeAndParameterisedOpsKeepOperandOrder) {
  const ParamMap p({{"alpha", ParamValue::floating(0.5)}});
  const EngineGraph out = canonical({src("a"), src("b"), op("sub", {0, 1}), op("sub", {1, 0}),
                                     op("add", {0, 1}, p), op("add", {1, 0}, p)},
                                    {2, 3, 4, 5});
  EXPECT_EQ(out.nodes.size(), 6u);
  EXPECT_EQ(out.outputs, (std::vector<EngineIndex>{2, 3, 4, 5}));
}

TEST(SaturationEngine, BoundaryFlagFollowsTheSymbol) {
  const EngineGraph out = canonical(
      {src("x"), op("neg", {0}), Reduction{"sum", {}, {1}}, Exchange{{}, {2}}, op("exp", {3})},
      {4});
  ASSERT_EQ(out.nodes.size(), 5u);
  for (const EngineNode& n : out.nodes) {
    EXPECT_EQ(n.boundary, !n.op.as_str().starts_with("op|")) << n.op;
    EXPECT_EQ(n.boundary, n.prototype != kNoPrototype) << n.op;
  }
}

// The default rules and one more whose searcher is a bare variable: it
// matches every class and merges nothing, but no graph is then beyond every
// rule, so this engine always loads the e-graph and runs the rules.
SaturationEngine engine_that_always_runs() {
  std::vector<eqsat::Rewrite> rules = SaturationEngine::default_engine().rules();
  auto any = eqsat::Rewrite::create("any-class", eqsat::Pattern::parse("?x").value(),
                                    eqsat::Pattern::parse("?x").value());
  rules.push_back(std::move(any).value());
  return SaturationEngine(std::move(rules), OptimizerTuning::kIterLimit);
}

// A node with symbol `op`; a boundary node names prototype 0, which the
// engine never reads.
EngineNode engine_node(std::string_view op, EngineOperands children) {
  const bool boundary = !op.starts_with("op|");
  return EngineNode{eqsat::GlobalSymbol(op), boundary ? 0 : kNoPrototype, std::move(children),
                    boundary};
}

// Without any rule's operator at its arity, equal nodes (same op over the same
// representatives) still fold, also through folded operands.
TEST(SaturationEngine, GraphBeyondEveryRuleFoldsEqualNodes) {
  EngineGraph g;
  g.nodes = {engine_node("src|a", {}),         engine_node("src|a", {}),
             engine_node("op|neg", {0}),       engine_node("op|neg", {1}),
             engine_node("op|add", {2, 3, 3}),  // add, but not at the rules' arity
             engine_node("op|add", {3, 2, 2}), engine_node("src|b", {})};
  g.outputs = {5, 4, 6, 0};
  const EngineGraph out = SaturationEngine::default_engine().canonicalize(g);
  EXPECT_EQ(ops_of(out), (std::vector<std::string>{"src|a", "op|neg", "op|add", "src|b"}));
  EXPECT_EQ(out.nodes[2].children, (EngineOperands{1, 1, 1}));
  EXPECT_EQ(out.outputs, (std::vector<EngineIndex>{2, 2, 3, 0}));
  EXPECT_EQ(out, engine_that_always_runs().canonicalize(g));
}

// Random graphs, most of them without a node that any rule could match and so
// reduced without a run, must come out exactly as the engine that always
// runs the rules reduces them.
TEST(SaturationEngine, SkippingTheRunForGraphsBeyondEveryRuleChangesNothing) {
  // Ops no rule matches at these arities, and a few that rules do match.
  struct Kind {
    std::string op;
    std::size_t arity;
  };
  const std::vector<Kind> beyond = {
      {"src|a", 0},      {"src|b", 0},      {"op|neg", 1},
      {"op|sub", 2},     {"op|add", 1},     {"op|add", 3},
      {"op|mul", 0},     {"sum|axis=0", 1}, {std::string(kIdentityTokens[0]), 2},
      {"op|maximum", 1},
  };
  const std::vector<Kind> matched = {
      {"op|add", 2}, {"op|maximum", 2}, {std::string(kIdentityTokens[2]), 1}};
  const SaturationEngine plain = SaturationEngine::default_engine();
  const SaturationEngine always = engine_that_always_runs();
  std::mt19937 rng(11);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  std::size_t folded = 0;
  for (int round = 0; round < 300; ++round) {
    EngineGraph g;
    const std::size_t n = 1 + pick(40);
    const bool with_match = round % 5 == 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0 && pick(4) == 0) {
        // A copy of an earlier node, or the same op over copies of its operands.
        g.nodes.push_back(g.nodes[pick(i)]);
        continue;
      }
      const Kind& kind =
          with_match && pick(8) == 0 ? matched[pick(matched.size())] : beyond[pick(beyond.size())];
      if (i == 0 && kind.arity > 0) {
        g.nodes.push_back(engine_node("src|a", {}));
        continue;
      }
      EngineOperands children;
      for (std::size_t k = 0; k < kind.arity; ++k)
        children.push_back(static_cast<EngineIndex>(pick(i)));
      g.nodes.push_back(engine_node(kind.op, std::move(children)));
    }
    for (std::size_t k = 0, outs = 1 + pick(3); k < outs; ++k) {
      g.outputs.push_back(static_cast<EngineIndex>(pick(n)));
    }
    const EngineGraph out = plain.canonicalize(g);
    ASSERT_EQ(out, always.canonicalize(g)) << "round " << round;
    EXPECT_EQ(plain.canonicalize_in_place(g), out) << "round " << round;
    folded += g.nodes.size() - out.nodes.size();
  }
  EXPECT_GT(folded, 0u);  // some graphs had equal nodes to fold
}

}  // namespace
}  // namespace tessary
