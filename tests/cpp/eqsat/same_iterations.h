// A check shared by tests that run the same rules two ways.
#pragma once

#include <gtest/gtest.h>

#include "eqsat/runner.h"

namespace tessary::eqsat {

// The two runs recorded the same iterations: sizes at the start, rules
// applied and congruence unions (times aside).
inline void expect_same_iterations(const Runner& one, const Runner& two) {
  ASSERT_EQ(one.iterations().size(), two.iterations().size());
  for (std::size_t i = 0; i < one.iterations().size(); ++i) {
    const Iteration& a = one.iterations()[i];
    const Iteration& b = two.iterations()[i];
    EXPECT_EQ(a.egraph_nodes, b.egraph_nodes) << i;
    EXPECT_EQ(a.egraph_classes, b.egraph_classes) << i;
    EXPECT_EQ(a.applied, b.applied) << i;
    EXPECT_EQ(a.n_rebuilds, b.n_rebuilds) << i;
  }
}

}  // namespace tessary::eqsat
