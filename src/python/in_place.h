// Python bytes and str objects that the core writes its output into directly
// (through an OutBuffer), grown as they fill and cut to size at the end, so
// a large result is never copied into its object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "python/py_ref.h"

namespace tessary::py {

// Makes `bytes` (empty, or a bytes object no one else references yet) a bytes
// object of exactly `size` bytes, keeping its first ones; returns its buffer.
// Throws std::bad_alloc when Python cannot allocate it (guard_call raises
// MemoryError); `bytes` is then empty.
std::uint8_t* resize_bytes(PyRef& bytes, std::size_t size);

}  // namespace tessary::py
