#include "optimizer/report.h"

#include <array>
#include <utility>

#include "base/fault.h"
#include "base/hash.h"

namespace tessary {

std::size_t ReportKeyHash::operator()(const std::string& key) const {
  return static_cast<std::size_t>(siphash13(SipKey::call_tables_key(), key));
}

namespace {

// The counter fields in table order, beside kReportKeys.
constexpr std::array<std::uint64_t ReductionCounters::*, 6> kCounterFields = {
    &ReductionCounters::input_nodes,     &ReductionCounters::reachable_nodes,
    &ReductionCounters::canonical_nodes, &ReductionCounters::stages,
    &ReductionCounters::reduced_nodes,   &ReductionCounters::boundary_nodes};

}  // namespace

std::uint64_t report_counter(const ReductionCounters& counters, std::size_t position) {
  if (position >= kCounterFields.size()) fault("report counter position out of range");
  return counters.*kCounterFields[position];
}

ReportMap report_to_map(const ReductionCounters& counters) {
  ReportMap map;
  for (std::size_t k = 0; k < kReportKeys.size(); ++k) {
    map.emplace(kReportKeys[k], report_counter(counters, k));
  }
  return map;
}

const std::array<std::size_t, 6>& report_key_order() {
  static const std::array<std::size_t, 6> kOrder = [] {
    // Counters equal to their own positions: the values read back in
    // iteration order are the positions.
    const ReportMap map = report_to_map(ReductionCounters{0, 1, 2, 3, 4, 5});
    std::array<std::size_t, 6> order{};
    std::size_t k = 0;
    for (const auto& entry : map) order[k++] = static_cast<std::size_t>(entry.second);
    return order;
  }();
  return kOrder;
}

}  // namespace tessary
