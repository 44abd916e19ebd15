// A write cursor over a buffer its owner resizes on demand, so that output
// whose size is only known once written (a blob, a DOT text) is made in place
// in the object that returns it (a Python bytes or str) rather than gathered
// elsewhere and copied there.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace tessary {

// Makes the buffer exactly `size` bytes, keeping the first min(size, old
// size) bytes, and returns where it now is. It throws (std::bad_alloc) when
// it cannot; it never returns null. Only the first call can make a buffer
// from nothing, and it always asks for at least one byte.
using ResizeBuffer = std::function<std::uint8_t*(std::size_t)>;

class OutBuffer {
 public:
  // Starts with a buffer of `initial` bytes (at least one).
  OutBuffer(const ResizeBuffer& resize, std::size_t initial)
      : resize_(resize),
        begin_(resize_(std::max<std::size_t>(initial, 1))),
        p_(begin_),
        end_(begin_ + std::max<std::size_t>(initial, 1)) {}

  // Where the next `n` bytes can be written; the caller then moves past what
  // it wrote with advance() or seek().
  std::uint8_t* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
    return p_;
  }
  void advance(std::size_t n) { p_ += n; }
  // Moves the cursor to `p`, within the last room() given.
  void seek(std::uint8_t* p) { p_ = p; }
  std::size_t size() const { return static_cast<std::size_t>(p_ - begin_); }
  // Where what was written starts; valid until the buffer grows.
  const std::uint8_t* data() const { return begin_; }

  // Cuts the buffer to what was written; returns where it is.
  std::uint8_t* finish() {
    const std::size_t used = size();
    begin_ = resize_(used);
    p_ = begin_ + used;
    end_ = p_;
    return begin_;
  }

 private:
  // At least doubles the buffer, to room for `n` bytes past the cursor.
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t used = size();
    const std::size_t capacity = static_cast<std::size_t>(end_ - begin_);
    const std::size_t wanted = std::max(2 * capacity, used + n);
    begin_ = resize_(wanted);
    p_ = begin_ + used;
    end_ = begin_ + wanted;
  }

  const ResizeBuffer& resize_;
  std::uint8_t* begin_;
  std::uint8_t* p_;
  std::uint8_t* end_;
};

}  // namespace tessary
