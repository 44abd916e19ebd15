// The optimizer's settings, in one place: the default rewrite engine's
// limits, which bound how far a very large graph is canonicalized, and the
// sizes of the caches, which change no result.
#pragma once

#include <cstddef>

namespace tessary {

struct OptimizerTuning {
  // Iterations the default engine's runner may record.
  static constexpr std::size_t kIterLimit = 12;
  // E-nodes the runner may hold for a graph of `nodes` nodes. Every
  // commutative rule adds at most one e-node per matching node and the
  // identity rules add none, so this limit is never the binding one.
  static constexpr std::size_t node_limit(std::size_t nodes) { return 4 * nodes + 1024; }
  // The time limit is the runner's default (RunnerLimits, 5 seconds).

  // Slots of each thread's cache from op strings to engine symbols.
  static constexpr std::size_t kSymbolCacheSlots = 256;
  // At most this many slots in an incremental step's cache of what folding
  // a key needs apart from its inputs, by the key's stored bytes.
  static constexpr std::size_t kStepCacheSlots = 1024;
};

}  // namespace tessary
