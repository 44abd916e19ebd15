// EGraph::add_dag must build exactly the e-graph that adding the nodes one by
// one builds, on either of its paths.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/fault.h"
#include "eqsat/egraph.h"
#include "eqsat/runner.h"
#include "same_iterations.h"

namespace tessary::eqsat {
namespace {

struct Dag {
  std::vector<GlobalSymbol> ops;
  std::vector<std::vector<std::uint32_t>> children;

  EGraph::DagChildren children_of() const {
    return [this](std::size_t i) -> std::span<const std::uint32_t> { return children[i]; };
  }
};

// About 3,000 nodes over 20 leaves: binary f and k nodes (some with a
// repeated child), unary g nodes and, with `repeats`, copies of earlier
// nodes; without, every node is different.
Dag random_dag(unsigned seed, bool repeats) {
  std::mt19937 rng(seed);
  Dag d;
  std::set<std::pair<GlobalSymbol, std::vector<std::uint32_t>>> seen;
  for (int i = 0; i < 20; ++i) {
    d.ops.push_back(GlobalSymbol("l" + std::to_string(i)));
    d.children.emplace_back();
  }
  while (d.ops.size() < 3000) {
    const auto any = [&] {
      return static_cast<std::uint32_t>(
          std::uniform_int_distribution<std::size_t>(0, d.ops.size() - 1)(rng));
    };
    if (!repeats && d.ops.size() > 20 && !seen.emplace(d.ops.back(), d.children.back()).second) {
      d.ops.pop_back();
      d.children.pop_back();
    }
    const unsigned r = rng() % 10;
    if (repeats && r == 0) {
      const std::uint32_t copy = any();
      d.ops.push_back(d.ops[copy]);
      d.children.push_back(d.children[copy]);
    } else if (r < 4) {
      const std::uint32_t a = any();
      const std::uint32_t b = r == 3 ? a : any();
      d.ops.push_back(GlobalSymbol(r % 2 ? "f" : "k"));
      d.children.push_back({a, b});
    } else {
      const std::uint32_t a = any();
      d.ops.push_back(GlobalSymbol("g"));
      d.children.push_back({a});
    }
  }
  return d;
}

std::vector<Id> add_one_by_one(EGraph& g, const Dag& d) {
  std::vector<Id> ids;
  for (std::size_t i = 0; i < d.ops.size(); ++i) {
    std::vector<Id> children;
    for (const std::uint32_t c : d.children[i]) children.push_back(ids[c]);
    ids.push_back(g.add(SymbolLang(d.ops[i], children)));
  }
  return ids;
}

// Same ids, classes and table size, and the same run under rules whose merges
// go through the parent lists (congruence) and the pending stack.
void expect_same_egraph(EGraph a, EGraph b) {
  ASSERT_EQ(a.id_count(), b.id_count());
  EXPECT_EQ(a.size(), b.size());
  EXPECT_EQ(a.number_of_classes(), b.number_of_classes());
  auto rule = [](std::string_view name, std::string_view lhs, std::string_view rhs) {
    return Rewrite::create(name, Pattern::parse(lhs).value(), Pattern::parse(rhs).value()).value();
  };
  const std::vector<Rewrite> rules{rule("commute-f", "(f ?a ?b)", "(f ?b ?a)"),
                                   rule("g-is-id", "(g ?x)", "?x")};
  Runner ra;
  ra.set_egraph(std::move(a)).set_node_limit(100000).run(rules);
  Runner rb;
  rb.set_egraph(std::move(b)).set_node_limit(100000).run(rules);
  expect_same_iterations(ra, rb);
  std::size_t congruence = 0;
  for (const Iteration& it : ra.iterations()) congruence += it.n_rebuilds;
  EXPECT_GT(congruence, 0u);  // merges went through the parent lists
  for (std::uint32_t i = 0; i < ra.egraph().id_count(); ++i) {
    const Id root = ra.egraph().find(Id(i));
    ASSERT_EQ(root, rb.egraph().find(Id(i))) << i;
    const auto na = ra.egraph()[root].nodes();
    const auto nb = rb.egraph()[root].nodes();
    EXPECT_TRUE(std::equal(na.begin(), na.end(), nb.begin(), nb.end())) << i;
  }
}

// Loaded on two threads and on one (the small-graph path), `d` gives the ids
// and the e-graph that adding its nodes one by one gives.
void expect_both_paths_add_one_by_one(const Dag& d) {
  EGraph expected;
  const std::vector<Id> expected_ids = add_one_by_one(expected, d);
  for (const std::size_t parallel_from : {std::size_t{1}, SIZE_MAX}) {
    EGraph g;
    EXPECT_EQ(g.add_dag(d.ops, d.children_of(), parallel_from), expected_ids) << parallel_from;
    EGraph copy_of_expected;
    add_one_by_one(copy_of_expected, d);
    expect_same_egraph(std::move(g), std::move(copy_of_expected));
  }
}

TEST(AddDag, BothPathsBuildWhatAddingOneByOneBuilds) {
  for (const bool repeats : {false, true}) {
    SCOPED_TRACE(repeats ? "with repeated nodes" : "all nodes different");
    expect_both_paths_add_one_by_one(random_dag(repeats ? 5 : 4, repeats));
  }
}

// A repeat as the very last node: the class side has finished by the time the
// table side finds it, and the e-graph must still be rebuilt in order.
TEST(AddDag, RepeatFoundAfterTheClassesAreDone) {
  Dag d = random_dag(6, false);
  d.ops.push_back(d.ops[2500]);
  d.children.push_back(d.children[2500]);
  EGraph g;
  const std::vector<Id> ids = g.add_dag(d.ops, d.children_of(), 1);
  EXPECT_EQ(ids.back(), ids[2500]);
  EXPECT_EQ(g.size(), d.ops.size() - 1);
  EGraph expected;
  add_one_by_one(expected, d);
  expect_same_egraph(std::move(g), std::move(expected));
}

// Nodes with more children than a node holds inline, some repeated.
TEST(AddDag, WideNodesLoadAsAddingOneByOne) {
  Dag d = random_dag(9, true);
  for (std::uint32_t i = 0; i < 60; ++i) {
    if (i % 4 == 3) {
      d.ops.push_back(d.ops[d.ops.size() - 2]);
      d.children.push_back(d.children[d.children.size() - 2]);
    } else {
      d.ops.push_back(GlobalSymbol("h"));
      d.children.push_back({7 * i, 11 * i + 1, 7 * i});
    }
  }
  expect_both_paths_add_one_by_one(d);
}

TEST(AddDag, NonEmptyEGraphAddsInOrder) {
  const Dag d = random_dag(7, true);
  EGraph g;
  EGraph expected;
  for (EGraph* e : {&g, &expected}) e->add(SymbolLang(GlobalSymbol("l3")));
  EXPECT_EQ(g.add_dag(d.ops, d.children_of(), 1), add_one_by_one(expected, d));
  expect_same_egraph(std::move(g), std::move(expected));
}

TEST(AddDag, ChildAfterItsUserFaultsAndLeavesNothing) {
  Dag d = random_dag(8, false);
  d.children[1500] = {1700};
  for (const std::size_t parallel_from : {std::size_t{1}, SIZE_MAX}) {
    EGraph g;
    try {
      g.add_dag(d.ops, d.children_of(), parallel_from);
      ADD_FAILURE() << "expected a fault";
    } catch (const InternalFault& f) {
      EXPECT_EQ(f.message(), "child of DAG node 1500 does not precede it");
    }
    if (parallel_from == 1) {
      EXPECT_EQ(g.id_count(), 0u);
    }
  }
}

}  // namespace
}  // namespace tessary::eqsat
