// A chunked byte arena: allocations never move, so pointers into it stay
// valid for the arena's life, and growth never copies what is already stored.
// Blocks start small and double up to kBlockSize, so a store of a few nodes
// holds a few hundred bytes rather than a whole block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tessary {

class ByteArena {
 public:
  static constexpr std::size_t kFirstBlockSize = 256;
  static constexpr std::size_t kBlockSize = 64 * 1024;

  ByteArena() = default;
  ByteArena(const ByteArena&) = delete;
  ByteArena& operator=(const ByteArena&) = delete;
  ByteArena(ByteArena&&) noexcept = default;
  ByteArena& operator=(ByteArena&&) noexcept = default;

  // Returns `size` writable bytes that stay in place until the arena dies.
  std::uint8_t* allocate(std::size_t size);
  // Bytes handed out so far plus the unused tail of the current block.
  std::size_t reserved_bytes() const { return reserved_; }

 private:
  std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
  std::uint8_t* cursor_ = nullptr;
  std::size_t left_ = 0;
  std::size_t reserved_ = 0;
  std::size_t next_block_ = kFirstBlockSize;  // size of the next shared block
};

}  // namespace tessary
