#include "eqsat/pattern.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/fault.h"
#include "eqsat/rewrite.h"

namespace tessary::eqsat {
namespace {

Pattern pat(std::string_view text) {
  auto p = Pattern::parse(text);
  if (!p) ADD_FAILURE() << text << ": " << to_string(p.error());
  return std::move(p).value();
}

SymbolLang leaf(std::string_view op) { return SymbolLang(GlobalSymbol(op)); }
SymbolLang node(std::string_view op, std::initializer_list<Id> children) {
  return SymbolLang(GlobalSymbol(op), children);
}

std::size_t total(const std::vector<SearchMatches>& matches) {
  std::size_t n = 0;
  for (const auto& m : matches) n += m.substs.size();
  return n;
}

TEST(Compile, RepeatedVariableBindsThenCompares) {
  const Pattern p = pat("(f ?x ?x)");
  EXPECT_EQ(p.ast().size(), 2u);
  const auto& code = p.program().instructions;
  ASSERT_EQ(code.size(), 2u);
  EXPECT_EQ(std::get<instr::Bind>(code[0]),
            (instr::Bind{SymbolLang{GlobalSymbol("f"), {Id(0), Id(0)}}, 0, 1}));
  EXPECT_EQ(std::get<instr::Compare>(code[1]), (instr::Compare{2, 1}));
  EXPECT_EQ(p.program().subst, (std::vector<std::pair<Var, Reg>>{{Var("?x"), 1}}));
}

TEST(Compile, RuleShapesAreOneBind) {
  const Pattern commute = pat("(op|add ?a ?b)");
  ASSERT_EQ(commute.program().instructions.size(), 1u);
  EXPECT_EQ(std::get<instr::Bind>(commute.program().instructions[0]).out, 1u);
  EXPECT_EQ(commute.program().subst,
            (std::vector<std::pair<Var, Reg>>{{Var("?a"), 1}, {Var("?b"), 2}}));
  const Pattern identity = pat("(op|add|scalar=f0000000000000000;side=sr ?x)");
  ASSERT_EQ(identity.program().instructions.size(), 1u);
  EXPECT_EQ(identity.program().subst, (std::vector<std::pair<Var, Reg>>{{Var("?x"), 1}}));
}

TEST(Compile, GroundSubtermBecomesLookup) {
  const Pattern p = pat("(f ?x (g ?x))");
  const auto& code = p.program().instructions;
  ASSERT_EQ(code.size(), 2u);
  EXPECT_TRUE(std::holds_alternative<instr::Bind>(code[0]));
  const auto& lookup = std::get<instr::Lookup>(code[1]);
  EXPECT_EQ(lookup.i, 2u);
  ASSERT_EQ(lookup.term.size(), 2u);
  EXPECT_EQ(std::get<Reg>(lookup.term[0].v), 1u);
  EXPECT_EQ(std::get<SymbolLang>(lookup.term[1].v), (SymbolLang{GlobalSymbol("g"), {Id(0)}}));

  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id hit = g.add(node("f", {a, g.add(node("g", {a}))}));
  g.add(node("f", {a, g.add(node("g", {b}))}));
  g.rebuild();
  const auto matches = p.search_with_limit(g, 100);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches[0].eclass, hit);
  EXPECT_EQ(matches[0].substs[0].get(Var("?x")), a);
}

class CommutedAdds : public ::testing::Test {
 protected:
  void SetUp() override {
    x_ = g_.add(leaf("x"));
    y_ = g_.add(leaf("y"));
    xy_ = g_.add(node("op|add", {x_, y_}));
    const Id yx = g_.add(node("op|add", {y_, x_}));
    g_.union_classes(xy_, yx);
    for (int i = 0; i < 3; ++i) {
      const Id l = g_.add(leaf("z" + std::to_string(i)));
      g_.add(node("op|add", {l, l}));
    }
    g_.rebuild();
  }
  EGraph g_;
  Id x_, y_, xy_;
};

TEST_F(CommutedAdds, BothOrdersInOneClassGiveTwoSubstitutions) {
  const Pattern p = pat("(op|add ?a ?b)");
  const auto m = p.search_eclass_with_limit(g_, xy_, 10);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->eclass, g_.find(xy_));
  ASSERT_EQ(m->substs.size(), 2u);
  EXPECT_NE(m->substs[0], m->substs[1]);
  EXPECT_EQ(total(p.search_with_limit(g_, 100)), 5u);
  EXPECT_FALSE(p.search_eclass_with_limit(g_, x_, 10).has_value());
  EXPECT_EQ(total(pat("(op|add ?a ?a)").search_with_limit(g_, 100)), 3u);
}

TEST_F(CommutedAdds, LimitsCutExactly) {
  const Pattern p = pat("(op|add ?a ?b)");
  for (std::size_t limit : {0u, 1u, 2u, 3u, 4u, 5u, 6u}) {
    EXPECT_EQ(total(p.search_with_limit(g_, limit)), std::min<std::size_t>(limit, 5)) << limit;
  }
  const auto one = p.search_eclass_with_limit(g_, xy_, 1);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->substs.size(), 1u);
  EXPECT_TRUE(p.program().run_with_limit(g_, xy_, 0).empty());
}

TEST_F(CommutedAdds, VariableRootMatchesEveryClass) {
  EXPECT_EQ(total(pat("?v").search_with_limit(g_, 1000)), g_.number_of_classes());
}

TEST_F(CommutedAdds, SearchingADirtyEGraphFaults) {
  g_.add(leaf("fresh"));
  try {
    static_cast<void>(pat("(op|add ?a ?b)").search_with_limit(g_, 10));
    FAIL() << "expected a fault";
  } catch (const InternalFault& f) {
    EXPECT_EQ(f.message(), "Tried to search a dirty e-graph!");
  }
}

TEST_F(CommutedAdds, ApplyingAVariableMergesOnlyDifferentClasses) {
  const Pattern lhs = pat("(op|add ?a ?b)");
  const Pattern rhs = pat("?a");
  auto matches = lhs.search_with_limit(g_, 100);
  const auto applied = rhs.apply_matches(g_, matches, GlobalSymbol("r"));
  // add(x, y) ~ x, then add(y, x) ~ y is a second merge (x and y were apart);
  // each add(z, z) ~ z merges once.
  EXPECT_EQ(applied.size(), 5u);
  g_.rebuild();
  EXPECT_EQ(g_.find(x_), g_.find(y_));
  matches = lhs.search_with_limit(g_, 100);
  EXPECT_TRUE(rhs.apply_matches(g_, matches, GlobalSymbol("r")).empty());
}

// The swapped form of every add here is already in its own class: a search
// of the commuting rule marks all five matches settled, and applying them
// merges and adds nothing. The marks belong to the rule that searched; the
// same matches applied by another pattern, or searched without shortcuts,
// carry none.
TEST_F(CommutedAdds, SettledMatchesAreMarkedForTheirOwnRuleOnly) {
  auto make = [](std::string_view lhs, std::string_view rhs) {
    return Rewrite::create("r", pat(lhs), pat(rhs)).value();
  };
  const Rewrite commute = make("(op|add ?a ?b)", "(op|add ?b ?a)");
  const RuleMatches found = commute.search(g_, 100);
  ASSERT_EQ(found.total(), 5u);
  ASSERT_EQ(found.settled.size(), found.matches.size());
  for (std::size_t k = 0; k < found.matches.size(); ++k) {
    const std::size_t n = found.matches[k].substs.size();
    EXPECT_EQ(found.settled[k], (std::uint32_t{1} << n) - 1) << found.matches[k].eclass;
  }
  const RuleMatches plain = commute.with_shortcuts(Shortcuts::kPlain).search(g_, 100);
  EXPECT_EQ(plain.total(), 5u);
  EXPECT_TRUE(plain.settled.empty());
  const std::size_t size = g_.size();
  EXPECT_EQ(commute.apply(g_, found), 0u);
  EXPECT_EQ(commute.apply(g_, plain), 0u);
  EXPECT_EQ(g_.size(), size);

  g_.rebuild();

  // A variable applier is not an operator: nothing is marked.
  EXPECT_TRUE(make("(op|add ?a ?b)", "?a").search(g_, 100).settled.empty());
  // Under (op|mul ?a ?b) no match is settled, and the matches of `commute`
  // handed to mul's pattern are all applied: five new nodes.
  const Rewrite mul = make("(op|add ?a ?b)", "(op|mul ?a ?b)");
  for (const std::uint32_t mask : mul.search(g_, 100).settled) EXPECT_EQ(mask, 0u);
  const RuleMatches again = commute.search(g_, 100);
  EXPECT_EQ(mul.applier().apply_matches(g_, again.matches, GlobalSymbol("r")).size(), 5u);
  EXPECT_EQ(g_.size(), size + 5);

  // add(p, q) alone: its swap is not held, the node itself is.
  EGraph g;
  const Id p = g.add(leaf("p"));
  g.add(node("op|add", {p, g.add(leaf("q"))}));
  g.rebuild();
  const RuleMatches alone = commute.search(g, 100);
  ASSERT_EQ(alone.settled.size(), 1u);
  EXPECT_EQ(alone.settled[0], 0u);
  const RuleMatches itself = make("(op|add ?a ?b)", "(op|add ?a ?b)").search(g, 100);
  ASSERT_EQ(itself.settled.size(), 1u);
  EXPECT_EQ(itself.settled[0], 1u);
}

// Every add here holds its swap in its own class, so commuting changes
// nothing; the other rule shapes are known only as far as the check reads.
TEST_F(CommutedAdds, ChangesNothingWhenEveryMatchIsAlreadyApplied) {
  auto make = [](std::string_view lhs, std::string_view rhs) {
    return Rewrite::create("r", pat(lhs), pat(rhs)).value();
  };
  EXPECT_TRUE(make("(op|add ?a ?b)", "(op|add ?b ?a)").changes_nothing(g_));
  EXPECT_TRUE(make("(op|add ?a ?b)", "(op|add ?a ?b)").changes_nothing(g_));
  // Not with the shortcuts off, nor for another operator, nor when a match's
  // class is not its variable's (x, y and each z stand apart from the adds).
  EXPECT_FALSE(make("(op|add ?a ?b)", "(op|add ?b ?a)")
                   .with_shortcuts(Shortcuts::kPlain)
                   .changes_nothing(g_));
  EXPECT_FALSE(make("(op|add ?a ?b)", "(op|mul ?b ?a)").changes_nothing(g_));
  EXPECT_FALSE(make("(op|add ?a ?b)", "?a").changes_nothing(g_));
  // A rule without matches changes nothing.
  EXPECT_TRUE(make("(op|sub ?a ?b)", "?a").changes_nothing(g_));
  // Shapes the check does not read: a repeated variable, a nested searcher,
  // a nested applier.
  EXPECT_FALSE(make("(op|add ?a ?a)", "?a").changes_nothing(g_));
  EXPECT_FALSE(make("(op|add (op|add ?a ?b) ?c)", "?c").changes_nothing(g_));
  EXPECT_FALSE(make("(op|add ?a ?b)", "(op|add ?b (op|neg ?a))").changes_nothing(g_));

  // Once each add is merged with its first operand, that rule changes
  // nothing either.
  const Rewrite first = make("(op|add ?a ?b)", "?a");
  EXPECT_GT(first.apply(g_, first.search(g_, 100)), 0u);
  g_.rebuild();
  EXPECT_TRUE(first.changes_nothing(g_));

  // add(p, q) alone does not hold its swap.
  EGraph g;
  const Id p = g.add(leaf("p"));
  g.add(node("op|add", {p, g.add(leaf("q"))}));
  g.rebuild();
  EXPECT_FALSE(make("(op|add ?a ?b)", "(op|add ?b ?a)").changes_nothing(g));
}

TEST_F(CommutedAdds, ApplyPatBuildsTheTerm) {
  const Pattern rhs = pat("(op|mul ?b (op|neg ?a))");
  Subst s;
  s.insert(Var("?a"), x_);
  s.insert(Var("?b"), y_);
  std::vector<Id> scratch;
  const Id root = rhs.apply_pat(g_, s, scratch);
  const Id neg = *g_.lookup(node("op|neg", {x_}));
  EXPECT_EQ(g_.lookup(node("op|mul", {y_, neg})), root);
  Subst missing;
  missing.insert(Var("?b"), y_);
  EXPECT_THROW(rhs.apply_pat(g_, missing, scratch), InternalFault);
}

// An operator over distinct variables matches each node of that operator and
// arity in the class, in the class's node order, binding the children in turn.
// Checked against that reading directly on a random e-graph with merges; the
// same pattern with a repeated variable goes through the general machine and
// must keep only the nodes whose two children agree.
TEST(Search, OneOperatorPatternsYieldEachMatchingNodeInOrder) {
  std::mt19937 rng(7);
  EGraph g;
  std::vector<Id> ids;
  for (int i = 0; i < 8; ++i) ids.push_back(g.add(leaf("l" + std::to_string(i))));
  for (int i = 0; i < 400; ++i) {
    const Id a = ids[rng() % ids.size()];
    const Id b = ids[rng() % ids.size()];
    ids.push_back(g.add(node(rng() % 3 == 0 ? "g" : "f", {a, b})));
    if (rng() % 4 == 0) g.union_classes(ids.back(), ids[rng() % ids.size()]);
  }
  g.rebuild();
  const Pattern flat = pat("(f ?a ?b)");
  const Pattern same = pat("(f ?a ?a)");
  std::size_t flat_total = 0;
  std::size_t same_total = 0;
  g.for_each_class([&](const EClass& eclass) {
    std::vector<std::pair<Id, Id>> expected;
    for (const SymbolLang& n : eclass.nodes()) {
      if (n.op() == GlobalSymbol("f") && n.arity() == 2) {
        expected.emplace_back(n.children()[0], n.children()[1]);
      }
    }
    const auto m = flat.search_eclass_with_limit(g, eclass.id(), 1000);
    std::vector<std::pair<Id, Id>> got;
    if (m) {
      for (const Subst& s : m->substs) got.emplace_back(*s.get(Var("?a")), *s.get(Var("?b")));
    }
    EXPECT_EQ(got, expected);
    flat_total += got.size();
    std::size_t equal_children = 0;
    for (const auto& [a, b] : expected) equal_children += g.find(a) == g.find(b) ? 1 : 0;
    const auto m2 = same.search_eclass_with_limit(g, eclass.id(), 1000);
    EXPECT_EQ(m2 ? m2->substs.size() : 0u, equal_children);
    same_total += equal_children;
    if (expected.size() > 1) {
      const auto cut = flat.search_eclass_with_limit(g, eclass.id(), 1);
      ASSERT_TRUE(cut.has_value());
      EXPECT_EQ(cut->substs.size(), 1u);
    }
  });
  EXPECT_EQ(total(flat.search_with_limit(g, 100000)), flat_total);
  EXPECT_EQ(total(same.search_with_limit(g, 100000)), same_total);
  EXPECT_GT(flat_total, 100u);
}

TEST(Subst, InsertReplacesAndSpillsPastThree) {
  Subst s;
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(s.insert(Var("?v" + std::to_string(i)), Id(i)));
  EXPECT_EQ(s.insert(Var("?v3"), Id(30)), Id(3));
  EXPECT_EQ(s.size(), 5u);
  EXPECT_EQ(s.get(Var("?v3")), Id(30));
  EXPECT_EQ(s.get(Var("?v4")), Id(4));
  EXPECT_EQ(s.get(Var("?none")), std::nullopt);
}

}  // namespace
}  // namespace tessary::eqsat
