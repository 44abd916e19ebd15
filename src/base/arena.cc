#include "base/arena.h"

#include <algorithm>

namespace tessary {

std::uint8_t* ByteArena::allocate(std::size_t size) {
  if (size > left_) {
    if (size > kBlockSize / 4) {
      // A large record gets a block of its own; the current block stays open.
      blocks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(size));
      reserved_ += size;
      return blocks_.back().get();
    }
    std::size_t block = next_block_;
    while (block < size) block *= 2;  // size <= kBlockSize / 4, so block stays <= kBlockSize
    blocks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(block));
    cursor_ = blocks_.back().get();
    left_ = block;
    reserved_ += block;
    next_block_ = std::min(block * 2, kBlockSize);
  }
  std::uint8_t* out = cursor_;
  cursor_ += size;
  left_ -= size;
  return out;
}

}  // namespace tessary
