// The reduction report: the six counters of a reduction keyed by name, as the
// map handed to Python.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "optimizer/engine_graph.h"

namespace tessary {

// Hashes report keys with a key drawn once per process, so the map's
// iteration order is not fixed; readers look entries up by name.
struct ReportKeyHash {
  std::size_t operator()(const std::string& key) const;
};

using ReportMap = std::unordered_map<std::string, std::uint64_t, ReportKeyHash>;

// The six counter names in table order.
inline constexpr std::array<const char*, 6> kReportKeys = {"input_nodes",     "reachable_nodes",
                                                           "canonical_nodes", "stages",
                                                           "reduced_nodes",   "boundary_nodes"};

// The six counters keyed by their names ("input_nodes" ... "boundary_nodes").
ReportMap report_to_map(const ReductionCounters& counters);

// The counter at `position` of the table order (0 "input_nodes" ... 5
// "boundary_nodes").
std::uint64_t report_counter(const ReductionCounters& counters, std::size_t position);

// The table positions of the six names in the iteration order of every map
// report_to_map returns. Each map inserts the same names in the same order
// and hashes them with the one process key, so they all iterate alike: a
// caller that walks this order builds what walking a fresh map builds,
// without making one.
const std::array<std::size_t, 6>& report_key_order();

}  // namespace tessary
