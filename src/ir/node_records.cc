#include "ir/node_records.h"

namespace tessary {

std::vector<bool> NodeRecords::output_flags() const {
  std::vector<bool> marked(records_.size(), false);
  for (const NodeId id : outputs_) {
    if (id < marked.size()) marked[id] = true;
  }
  return marked;
}

}  // namespace tessary
