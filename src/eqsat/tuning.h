// The e-graph engine's performance knobs, in one place. None of them changes
// a result: each chooses between equivalent ways of doing the same work (the
// tests hold both ways to the same e-graphs, matches and records).
#pragma once

#include <cstddef>

namespace tessary::eqsat {

struct Tuning {
  // Loops over many nodes or classes start loading the memory that the
  // iteration this far ahead will touch.
  static constexpr std::size_t kLookahead = 16;
  // An empty e-graph given a DAG of fewer nodes loads it without loading
  // hash-cons slots ahead: the table fits in cache, and the lookahead would
  // cost a hash per node. Applying a rule to an e-graph of fewer e-nodes,
  // and rebuilding it, load nothing ahead either.
  static constexpr std::size_t kPrefetchDagNodes = 4096;
  // An empty e-graph given a DAG of at least this many nodes fills it on two
  // threads (EGraph::add_dag).
  static constexpr std::size_t kParallelDagNodes = 65536;
  // A rebuild that puts at least this many classes back in order splits
  // them over two threads.
  static constexpr std::size_t kParallelRebuildClasses = 32768;
  // An iteration over an e-graph of at least this many classes searches its
  // rules on two threads.
  static constexpr std::size_t kConcurrentSearchClasses = 65536;
  // On an e-graph of fewer e-nodes, where one rule's search or apply takes
  // microseconds, the runner reads the clock for its time limit at the end
  // of each phase rather than after every rule.
  static constexpr std::size_t kClockedRuleNodes = 4096;
};

}  // namespace tessary::eqsat
