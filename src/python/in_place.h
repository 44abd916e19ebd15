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

// The resizer for output that is often small: up to kLocalBytes it writes
// into a buffer of its own, and a bytes object is made once, at the final
// size, by release(); past that it moves to a bytes object resized in place.
// A small blob thus costs one allocation of its exact size, not a first guess
// cut down at the end.
class BytesOut {
 public:
  static constexpr std::size_t kLocalBytes = 4096;

  // Follows ResizeBuffer (base/out_buffer.h): throws std::bad_alloc.
  std::uint8_t* resize(std::size_t size);
  // The bytes written (new reference; nullptr with MemoryError set).
  PyObject* release();

 private:
  PyRef bytes_;  // null while the output fits the local buffer
  std::size_t local_size_ = 0;
  std::uint8_t local_[kLocalBytes];
};

// The same for a str of `size` ASCII characters (one byte each). The bytes
// written there are taken as its text only when they are all ASCII: other
// text is decoded from them as UTF-8 into a new str (see ascii_or_decoded).
std::uint8_t* resize_ascii_str(PyRef& str, std::size_t size);
// `str` as it stands when `ascii`; otherwise a new str decoded from its bytes
// as UTF-8 (nullptr with UnicodeDecodeError set if they are not UTF-8).
PyObject* ascii_or_decoded(PyRef str, bool ascii);

}  // namespace tessary::py
