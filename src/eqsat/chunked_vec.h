// An append-only sequence stored in blocks that never move: growing never
// copies what is stored. Blocks double from 16 elements up to 2^14 and stay
// at that size after, so small tables stay small and large ones waste at most
// one partly filled block.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace tessary::eqsat {

template <typename T>
class ChunkedVec {
 public:
  ChunkedVec() = default;
  ChunkedVec(ChunkedVec&& other) noexcept
      : blocks_(std::move(other.blocks_)), size_(other.size_), capacity_(other.capacity_) {
    other.forget();
  }
  ChunkedVec& operator=(ChunkedVec&& other) noexcept {
    if (this != &other) {
      release();
      blocks_ = std::move(other.blocks_);
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.forget();
    }
    return *this;
  }
  ~ChunkedVec() { release(); }

  static constexpr std::size_t kFirstBits = 4;   // block 0 and 1 hold 16 each
  static constexpr std::size_t kLargeBits = 14;  // blocks stop growing at 2^14
  // Elements held by the doubling blocks: 2^kLargeBits * 2.
  static constexpr std::size_t kDoublingEnd = std::size_t{1} << (kLargeBits + 1);
  static constexpr std::size_t kDoublingBlocks = kLargeBits - kFirstBits + 2;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) {
    const Where w = locate(i);
    return blocks_[w.block][w.offset];
  }
  const T& operator[](std::size_t i) const {
    const Where w = locate(i);
    return blocks_[w.block][w.offset];
  }

  // Starts loading element `i` (which must exist) into the cache. Always
  // inlined: out of line, the compiler judges the call free of effects and
  // deletes it.
  [[gnu::always_inline]] void prefetch(std::size_t i) const {
    const Where w = locate(i);
    const T* p = blocks_[w.block] + w.offset;
    __builtin_prefetch(p);
  }

  // Blocks hold raw storage: an element is constructed when it is appended,
  // never before.
  T& push_back(T value) { return emplace_back(std::move(value)); }
  // List-initializes an element at the end in place from `args` (which must
  // not refer into this sequence) and returns it.
  template <typename... Args>
  T& emplace_back(Args&&... args) {
    const Where w = locate(size_);
    if (w.block == blocks_.size()) {
      blocks_.reserve(blocks_.size() + 1);
      blocks_.push_back(std::allocator<T>().allocate(block_size(w.block)));
      capacity_ += block_size(w.block);
    }
    T* slot = ::new (blocks_[w.block] + w.offset) T{std::forward<Args>(args)...};
    ++size_;
    return *slot;
  }
  std::size_t capacity_bytes() const {
    return capacity_ * sizeof(T) + blocks_.capacity() * sizeof(void*);
  }

 private:
  struct Where {
    std::size_t block;
    std::size_t offset;
  };
  static std::size_t block_size(std::size_t block) {
    if (block == 0) return std::size_t{1} << kFirstBits;
    if (block < kDoublingBlocks) return std::size_t{1} << (kFirstBits + block - 1);
    return std::size_t{1} << kLargeBits;
  }
  static Where locate(std::size_t i) {
    constexpr std::size_t kFirst = std::size_t{1} << kFirstBits;
    if (i < kFirst) return {0, i};
    if (i < kDoublingEnd) {
      // Block b >= 1 starts at 2^(kFirstBits + b - 1).
      const std::size_t top = static_cast<std::size_t>(std::bit_width(i)) - 1;
      return {top - kFirstBits + 1, i - (std::size_t{1} << top)};
    }
    const std::size_t rest = i - kDoublingEnd;
    return {kDoublingBlocks + (rest >> kLargeBits), rest & ((std::size_t{1} << kLargeBits) - 1)};
  }

  // Destroys the elements and frees the blocks.
  void release() noexcept {
    std::size_t left = size_;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
      const std::size_t count = block_size(b);
      if constexpr (!std::is_trivially_destructible_v<T>) {
        const std::size_t used = left < count ? left : count;
        for (std::size_t i = 0; i < used; ++i) blocks_[b][i].~T();
      }
      left = left < count ? 0 : left - count;
      std::allocator<T>().deallocate(blocks_[b], count);
    }
    forget();
  }
  void forget() noexcept {
    blocks_.clear();
    size_ = 0;
    capacity_ = 0;
  }

  std::vector<T*> blocks_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tessary::eqsat
