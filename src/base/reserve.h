// Room for one more element ahead of an append, for the allocate-then-commit
// appends: everything that can fail by std::bad_alloc runs before the first
// change, so a failed append leaves its container as it was.
#pragma once

#include <algorithm>
#include <cstddef>

namespace tessary {

// Grows `v` (a std::vector or SmallVec) geometrically when it is full, so the next push_back or
// emplace_back cannot allocate (and so, for element types that construct
// without throwing, cannot throw).
template <typename Vector>
void reserve_one_more(Vector& v, std::size_t minimum = 16) {
  if (v.size() == v.capacity()) v.reserve(std::max(minimum, v.capacity() * 2));
}

// Room for `extra` more elements, growing `v` at least geometrically, for a
// caller about to append up to that many (repeated small batches stay
// amortized). `extra` must be bounded by what the caller already holds.
template <typename Vector>
void reserve_more(Vector& v, std::size_t extra) {
  if (v.capacity() - v.size() >= extra) return;
  v.reserve(std::max(v.size() + extra, v.capacity() * 2));
}

}  // namespace tessary
