// Graphviz DOT rendering of a whole store, for inspection.
#pragma once

#include <string>

#include "base/cancel.h"
#include "base/out_buffer.h"
#include "ir/store.h"

namespace tessary {

// "digraph tessary {", one labelled line per node (outputs as double
// circles), one edge line per input, "}". Reads the nodes the store holds
// when it starts; polls `cancel` once per node and throws Cancelled when it
// says stop. The text is written through `resize` (see OutBuffer), whose
// buffer holds exactly the text once this returns; true when every byte of
// it is ASCII.
[[nodiscard]] bool to_dot(const GraphStore& store, Cancel& cancel, const ResizeBuffer& resize);
std::string to_dot(const GraphStore& store, Cancel& cancel);
std::string to_dot(const GraphStore& store);

}  // namespace tessary
