// Dead-code elimination: the first pass of the reduction pipeline. Finds the
// nodes reachable from the outputs and numbers them densely, in id order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ir/node.h"

namespace tessary {

// The live part of a node list. Keys are not copied: the kept key at new
// index k is nodes[kept[k]] with every input j replaced by renumber[j].
struct LiveGraph {
  // Ids of the reachable nodes, ascending, so still in topological order.
  std::vector<std::uint64_t> kept;
  // For every node of the list, its new index; meaningful only for kept nodes.
  std::vector<std::uint64_t> renumber;
  // Every requested output renumbered, order and repetitions kept.
  std::vector<std::uint64_t> outputs;

  // The kept key at new index k, inputs renumbered (a copy).
  NodeKey key(std::span<const NodeKey> nodes, std::size_t k) const;
};

// An output or input id that does not name an earlier node is a broken
// precondition and faults.
LiveGraph dead_code_elimination(std::span<const NodeKey> nodes,
                                std::span<const std::uint64_t> outputs);

struct EngineGraph;
// The same pass on an engine graph made from a whole node list: drops the
// nodes its outputs do not reach and renumbers the rest densely, in order, in
// place (children and outputs included).
void drop_unreachable(EngineGraph& graph);

}  // namespace tessary
