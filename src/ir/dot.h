// Graphviz DOT rendering of a whole store, for inspection.
#pragma once

#include <string>

#include "ir/store.h"

namespace tessary {

// "digraph tessary {", one labelled line per node (outputs as double
// circles), one edge line per input, "}". Rendered under the store's lock.
std::string to_dot(const GraphStore& store);

}  // namespace tessary
