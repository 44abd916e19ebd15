// Random terms and unions checked against a naive congruence closure, plus the
// invariants a clean e-graph promises: canonical sorted class nodes, a memo
// entry for every class node, and per-operator candidate lists that name
// exactly the classes holding each operator.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "eqsat/egraph.h"

namespace tessary::eqsat {
namespace {

struct Term {
  int op;
  std::vector<int> children;  // indices of earlier terms
};

// Congruence closure by brute force: merge until no two terms with the same
// operator and equivalent children sit in different classes.
std::vector<int> naive_closure(const std::vector<Term>& terms,
                               const std::vector<std::pair<int, int>>& unions) {
  std::vector<int> rep(terms.size());
  for (std::size_t i = 0; i < rep.size(); ++i) rep[i] = static_cast<int>(i);
  auto root = [&](int x) {
    while (rep[x] != x) x = rep[x];
    return x;
  };
  for (auto [a, b] : unions) rep[root(a)] = root(b);
  bool changed = true;
  while (changed) {
    changed = false;
    for (std::size_t i = 0; i < terms.size(); ++i) {
      for (std::size_t j = i + 1; j < terms.size(); ++j) {
        if (terms[i].op != terms[j].op || terms[i].children.size() != terms[j].children.size()) {
          continue;
        }
        if (root(static_cast<int>(i)) == root(static_cast<int>(j))) continue;
        bool same = true;
        for (std::size_t k = 0; k < terms[i].children.size(); ++k) {
          same = same && root(terms[i].children[k]) == root(terms[j].children[k]);
        }
        if (same) {
          rep[root(static_cast<int>(i))] = root(static_cast<int>(j));
          changed = true;
        }
      }
    }
  }
  std::vector<int> out(terms.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = root(static_cast<int>(i));
  return out;
}

void check_invariants(const EGraph& g, const std::vector<GlobalSymbol>& ops) {
  ASSERT_TRUE(g.is_clean());
  std::size_t classes = 0;
  std::map<std::pair<GlobalSymbol, std::size_t>, std::uint64_t> kinds;  // (op, arity) -> nodes
  g.for_each_class([&](const EClass& c) {
    ++classes;
    for (const SymbolLang& n : c.nodes()) ++kinds[{n.op(), n.arity()}];
    EXPECT_EQ(g.find(c.id()), c.id());
    const auto nodes = c.nodes();
    ASSERT_FALSE(nodes.empty());
    EXPECT_TRUE(std::is_sorted(nodes.begin(), nodes.end()));
    EXPECT_EQ(std::adjacent_find(nodes.begin(), nodes.end()), nodes.end());
    for (const SymbolLang& n : nodes) {
      for (Id child : n.children()) EXPECT_EQ(g.find(child), child);
      EXPECT_EQ(g.lookup(n), c.id());
      const auto with_op = g.classes_with_op(n.op());
      EXPECT_NE(std::find(with_op.begin(), with_op.end(), c.id()), with_op.end());
    }
  });
  EXPECT_EQ(classes, g.number_of_classes());
  for (GlobalSymbol op : ops) {
    for (std::size_t arity = 0; arity <= 3; ++arity) {
      const auto it = kinds.find({op, arity});
      EXPECT_EQ(g.node_count(op, arity), it == kinds.end() ? 0 : it->second) << op << "/" << arity;
    }
  }
  ASSERT_NE(g.indexed_classes(), nullptr);
  EXPECT_EQ(g.indexed_classes()->size(), classes);
  for (GlobalSymbol op : ops) {
    const auto with_op = g.classes_with_op(op);
    const std::set<Id> unique(with_op.begin(), with_op.end());
    EXPECT_EQ(unique.size(), with_op.size());
    for (Id id : with_op) {
      const EClass& c = g[id];
      EXPECT_EQ(c.id(), id);
      EXPECT_TRUE(std::any_of(c.nodes().begin(), c.nodes().end(),
                              [&](const SymbolLang& n) { return n.op() == op; }));
    }
  }
}

TEST(EGraphRandom, MatchesNaiveCongruenceClosure) {
  std::mt19937 rng(7);
  std::vector<GlobalSymbol> ops;
  for (int i = 0; i < 9; ++i) ops.emplace_back("rnd-op-" + std::to_string(i));
  for (int round = 0; round < 40; ++round) {
    std::vector<Term> terms;
    EGraph g;
    // Odd rounds put classes in order on two threads at every rebuild.
    if (round % 2 == 1) g.set_parallel_rebuild_classes(1);
    std::vector<Id> ids;
    const int n = 20 + static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i) {
      // A few distinct leaves (some repeated), then operators of arity 1 to 3.
      Term t{static_cast<int>(rng() % 5), {}};
      if (i >= 6) {
        const int arity = static_cast<int>(1 + rng() % 3);
        for (int k = 0; k < arity; ++k) t.children.push_back(static_cast<int>(rng() % i));
      } else {
        t.op = 5 + static_cast<int>(rng() % 4);
      }
      std::vector<Id> kids;
      for (int c : t.children) kids.push_back(ids[c]);
      ids.push_back(g.add(SymbolLang(ops[t.op], kids)));
      terms.push_back(std::move(t));
    }
    std::vector<std::pair<int, int>> unions;
    const int steps = 1 + static_cast<int>(rng() % 4);
    for (int s = 0; s < steps; ++s) {
      const int count = static_cast<int>(rng() % 6);
      for (int u = 0; u < count; ++u) {
        const int a = static_cast<int>(rng() % n);
        const int b = static_cast<int>(rng() % n);
        unions.emplace_back(a, b);
        g.union_classes(ids[a], ids[b]);
      }
      const std::size_t size_before = g.size();
      g.rebuild();
      EXPECT_GE(g.size(), size_before);
      check_invariants(g, ops);
      if (HasFailure()) return;
    }
    const std::vector<int> expected = naive_closure(terms, unions);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        ASSERT_EQ(expected[i] == expected[j], g.find(ids[i]) == g.find(ids[j]))
            << "round " << round << " terms " << i << " and " << j;
      }
    }
  }
}

}  // namespace
}  // namespace tessary::eqsat
