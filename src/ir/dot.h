// Graphviz DOT rendering of a whole store, for inspection.
#pragma once

#include <string>

#include "base/cancel.h"
#include "ir/store.h"

namespace tessary {

// "digraph tessary {", one labelled line per node (outputs as double
// circles), one edge line per input, "}". Reads the nodes the store holds
// when it starts; polls `cancel` once per node and throws Cancelled when it
// says stop.
std::string to_dot(const GraphStore& store, Cancel& cancel);
std::string to_dot(const GraphStore& store);

}  // namespace tessary
