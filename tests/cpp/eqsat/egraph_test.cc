#include "eqsat/egraph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/fault.h"

namespace tessary::eqsat {
namespace {

SymbolLang leaf(std::string_view op) { return SymbolLang(GlobalSymbol(op)); }
SymbolLang node(std::string_view op, std::initializer_list<Id> children) {
  return SymbolLang(GlobalSymbol(op), children);
}

std::string fault_message(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const InternalFault& f) {
    return f.message();
  }
  return "no fault";
}

TEST(UnionFind, FindHalvesPathsAndChecksRange) {
  UnionFind uf;
  for (int i = 0; i < 4; ++i) uf.make_set();
  uf.set_parent(Id(0), Id(1));
  uf.set_parent(Id(1), Id(2));
  uf.set_parent(Id(2), Id(3));
  EXPECT_EQ(uf.find(Id(0)), Id(3));
  EXPECT_EQ(uf.find_mut(Id(0)), Id(3));
  // 0 now points at its former grandparent 2, and 2 stays at 3.
  uf.set_parent(Id(3), Id(3));
  EXPECT_EQ(uf.find(Id(0)), Id(3));
  EXPECT_EQ(fault_message([&] { uf.find(Id(4)); }),
            "index out of bounds: the len is 4 but the index is 4");
}

TEST(EGraph, AddingAnExistingNodeReturnsItsClassAndStaysClean) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id fa = g.add(node("f", {a}));
  EXPECT_FALSE(g.is_clean());
  g.rebuild();
  EXPECT_TRUE(g.is_clean());
  EXPECT_EQ(g.add(node("f", {a})), fa);
  EXPECT_TRUE(g.is_clean());
  EXPECT_EQ(g.size(), 2u);
  EXPECT_EQ(g.lookup(node("f", {a})), fa);
  EXPECT_EQ(g.lookup(node("f", {fa})), std::nullopt);
}

TEST(EGraph, CongruenceAfterUnionAndRebuild) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id fa = g.add(node("f", {a}));
  const Id fb = g.add(node("f", {b}));
  const Id gfa = g.add(node("g", {fa}));
  const Id gfb = g.add(node("g", {fb}));
  g.rebuild();
  EXPECT_NE(g.find(fa), g.find(fb));

  EXPECT_TRUE(g.union_classes(a, b));
  EXPECT_FALSE(g.is_clean());
  // f(a) ~ f(b) and then g(f(a)) ~ g(f(b)): two congruence unions.
  EXPECT_EQ(g.rebuild(), 2u);
  EXPECT_EQ(g.find(fa), g.find(fb));
  EXPECT_EQ(g.find(gfa), g.find(gfb));
  EXPECT_EQ(g.number_of_classes(), 3u);
  // A lookup through either child finds the merged class.
  EXPECT_EQ(g.lookup(node("f", {b})), g.find(fa));
}

TEST(EGraph, SingleCongruenceRebuildCountsOne) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id fa = g.add(node("f", {a}));
  const Id fb = g.add(node("f", {b}));
  g.rebuild();
  g.union_classes(a, b);
  EXPECT_EQ(g.rebuild(), 1u);
  EXPECT_EQ(g.find(fa), g.find(fb));
}

TEST(EGraph, UnionWithItselfIsFalseButDirties) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  g.rebuild();
  EXPECT_FALSE(g.union_classes(a, a));
  EXPECT_FALSE(g.is_clean());
}

TEST(EGraph, UnionRootIsTheClassWithMoreParentsAndTiesKeepTheFirst) {
  {
    EGraph g;
    const Id a = g.add(leaf("a"));
    const Id b = g.add(leaf("b"));
    EXPECT_TRUE(g.union_classes(a, b));
    EXPECT_EQ(g.find(b), a);
    EXPECT_EQ(g[b].id(), a);
  }
  {
    EGraph g;
    const Id a = g.add(leaf("a"));
    const Id b = g.add(leaf("b"));
    g.add(node("f", {b}));
    EXPECT_TRUE(g.union_classes(a, b));
    EXPECT_EQ(g.find(a), b);
    EXPECT_EQ(g[a].parent_count(), 1u);
    // The merged class holds both leaves.
    EXPECT_EQ(g[a].nodes().size(), 2u);
  }
}

TEST(EGraph, RebuildSortsAndDeduplicatesClassNodes) {
  EGraph g;
  const Id x = g.add(leaf("x"));
  const Id y = g.add(leaf("y"));
  const GlobalSymbol h("h");
  const Id hx = g.add(SymbolLang{h, {x}});
  const Id hy = g.add(SymbolLang{h, {y}});
  const Id z = g.add(leaf("z"));
  g.union_classes(z, hy);
  g.union_classes(hx, z);
  g.union_classes(x, y);
  g.rebuild();
  // h(x) and h(y) became one canonical node; z stays.
  const auto nodes = g[hx].nodes();
  EXPECT_EQ(nodes.size(), 2u);
  EXPECT_TRUE(std::is_sorted(nodes.begin(), nodes.end()));
  EXPECT_EQ(std::adjacent_find(nodes.begin(), nodes.end()), nodes.end());
  for (const SymbolLang& n : nodes) {
    for (Id c : n.children()) EXPECT_EQ(g.find(c), c);
  }
  // The operator index lists exactly the surviving classes.
  ASSERT_NE(g.indexed_classes(), nullptr);
  EXPECT_EQ(g.indexed_classes()->size(), g.number_of_classes());
}

TEST(EGraph, MemoNeverShrinks) {
  EGraph g;
  std::vector<Id> leaves;
  for (int i = 0; i < 6; ++i) leaves.push_back(g.add(leaf("l" + std::to_string(i))));
  for (int i = 0; i + 1 < 6; ++i) g.add(node("p", {leaves[i], leaves[i + 1]}));
  std::size_t last = g.size();
  g.rebuild();
  for (int i = 0; i + 1 < 6; ++i) {
    g.union_classes(leaves[i], leaves[i + 1]);
    g.rebuild();
    EXPECT_GE(g.size(), last);
    last = g.size();
  }
  // Every stale form stays: 6 leaves and 5 original pairs, plus one new
  // canonical form per merge step: p(r, r), p(r, l3), p(r, l4), p(r, l5).
  EXPECT_EQ(g.size(), 15u);
  EXPECT_EQ(g.number_of_classes(), 2u);
}

TEST(EGraph, FaultsOnUnknownIds) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  EXPECT_EQ(fault_message([&] { g.add(node("f", {Id(5)})); }),
            "index out of bounds: the len is 1 but the index is 5");
  EXPECT_EQ(fault_message([&] { g.find(Id(1)); }),
            "index out of bounds: the len is 1 but the index is 1");
  EXPECT_EQ(g.size(), 1u);
  EXPECT_EQ(g[a].id(), a);
}

}  // namespace
}  // namespace tessary::eqsat
