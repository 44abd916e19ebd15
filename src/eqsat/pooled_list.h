// Lists that keep one element inline and take longer storage from a pool
// owned by their container. The pool cuts blocks of 2^k elements out of large
// chunks and keeps each freed block on a free list for its size, so lists
// that grow and merge (an e-graph's class node lists) reuse storage instead
// of going to the heap for every block; the chunks go back to the heap with
// the pool. A list never frees its storage itself: its container gives it
// back through the pool, and the lists must be destroyed before their pool.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/fault.h"

namespace tessary::eqsat {

template <typename T>
class BlockPool {
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

 public:
  // Size classes: a block of class k holds 2^k elements.
  static constexpr std::uint32_t kClasses = 32;
  // The smallest class whose blocks can hold the link to the next free
  // block. A list asks for two elements or more, which covers any T of at
  // least four bytes.
  static constexpr std::uint32_t kSmallestClass = sizeof(T) >= sizeof(void*) ? 0 : 1;
  static_assert((sizeof(T) << kSmallestClass) >= sizeof(void*));

  BlockPool() = default;
  BlockPool(BlockPool&& other) noexcept { take(other); }
  BlockPool& operator=(BlockPool&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;
  ~BlockPool() { release(); }

  // Uninitialized storage for 2^size_class elements.
  T* allocate(std::uint32_t size_class) {
    if (size_class >= kClasses) fault("pooled list is full");
    if (size_class < kSmallestClass) fault("pooled block too small to recycle");
    if (void* block = free_[size_class]) {
      std::memcpy(&free_[size_class], block, sizeof(void*));
      return static_cast<T*>(block);
    }
    return carve(size_class);
  }
  // Takes back a block of `size_class` whose elements are all destroyed.
  void deallocate(T* block, std::uint32_t size_class) {
    std::memcpy(static_cast<void*>(block), &free_[size_class], sizeof(void*));
    free_[size_class] = block;
  }
  // Bytes taken from the heap.
  std::size_t capacity_bytes() const { return chunk_bytes_; }

 private:
  static constexpr std::size_t kFirstChunkBytes = std::size_t{1} << 10;
  static constexpr std::size_t kLargestChunkBytes = std::size_t{1} << 16;

  T* carve(std::uint32_t size_class) {
    const std::size_t bytes = sizeof(T) << size_class;
    if (bytes >= kLargestChunkBytes) return reinterpret_cast<T*>(new_chunk(bytes));
    if (bytes > static_cast<std::size_t>(end_ - cursor_)) {
      // Chunks double up to the largest size, so a small e-graph takes
      // little; the tail of the chunk left behind is not used again.
      const std::size_t grown = kFirstChunkBytes << std::min<std::size_t>(chunks_.size(), 6);
      const std::size_t chunk = std::min(grown, kLargestChunkBytes);
      cursor_ = new_chunk(chunk);
      end_ = cursor_ + chunk;
    }
    T* block = reinterpret_cast<T*>(cursor_);
    cursor_ += bytes;
    return block;
  }
  std::byte* new_chunk(std::size_t bytes) {
    chunks_.reserve(chunks_.size() + 1);
    std::byte* chunk = std::allocator<std::byte>().allocate(bytes);
    chunks_.emplace_back(chunk, bytes);
    chunk_bytes_ += bytes;
    return chunk;
  }
  void release() noexcept {
    for (const auto& [chunk, bytes] : chunks_) std::allocator<std::byte>().deallocate(chunk, bytes);
    chunks_.clear();
    free_.fill(nullptr);
    cursor_ = end_ = nullptr;
    chunk_bytes_ = 0;
  }
  void take(BlockPool& other) noexcept {
    chunks_ = std::move(other.chunks_);
    free_ = other.free_;
    cursor_ = other.cursor_;
    end_ = other.end_;
    chunk_bytes_ = other.chunk_bytes_;
    other.chunks_.clear();
    other.free_.fill(nullptr);
    other.cursor_ = other.end_ = nullptr;
    other.chunk_bytes_ = 0;
  }

  std::array<void*, kClasses> free_{};                      // free blocks by size class
  std::vector<std::pair<std::byte*, std::size_t>> chunks_;  // owned, with their sizes
  std::byte* cursor_ = nullptr;                             // unused part of the last chunk
  std::byte* end_ = nullptr;
  std::size_t chunk_bytes_ = 0;
};

template <typename T>
class PooledList {
 public:
  PooledList() noexcept {}
  PooledList(PooledList&& other) noexcept { take(other); }
  // Assigning would have to give this list's storage back to its pool.
  PooledList& operator=(PooledList&&) = delete;
  PooledList(const PooledList&) = delete;
  PooledList& operator=(const PooledList&) = delete;
  // Destroys the elements; their storage stays with the pool.
  ~PooledList() { destroy_elements(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool is_inline() const { return size_class_ == kInline; }
  std::size_t capacity() const { return is_inline() ? 1 : std::size_t{1} << size_class_; }
  // The elements, valid until the list next changes size or storage.
  std::span<T> span() { return {data(), size_}; }
  std::span<const T> span() const { return {data(), size_}; }

  void push_back(T value, BlockPool<T>& pool) {
    if (size_ == capacity()) grow(std::size_t{size_} + 1, pool);
    ::new (data() + size_) T(std::move(value));
    ++size_;
  }
  // Moves every element of `other` to the end of this list and leaves
  // `other` empty, its storage given back to `pool`.
  void append(PooledList&& other, BlockPool<T>& pool) {
    const std::size_t total = std::size_t{size_} + other.size_;
    if (total > capacity()) grow(std::max(total, capacity() * 2), pool);
    T* d = data();
    T* s = other.data();
    for (std::uint32_t i = 0; i < other.size_; ++i) {
      ::new (d + size_++) T(std::move(s[i]));
      s[i].~T();
    }
    other.size_ = 0;
    other.give_back(pool);
  }
  // This list, which must be empty, takes over `other`'s elements and
  // storage; `other` is left empty.
  void take_over(PooledList&& other, BlockPool<T>& pool) {
    if (!empty()) fault("pooled list taken over while not empty");
    give_back(pool);
    take(other);
  }
  // Destroys the elements from `new_size` on; the storage stays.
  void truncate(std::size_t new_size) {
    T* d = data();
    for (std::size_t i = new_size; i < size_; ++i) d[i].~T();
    size_ = static_cast<std::uint32_t>(std::min<std::size_t>(new_size, size_));
  }

 private:
  static constexpr std::uint32_t kInline = UINT32_MAX;  // size_class_ of inline storage

  T* data() { return is_inline() ? std::launder(reinterpret_cast<T*>(buf_)) : heap_; }
  const T* data() const { return const_cast<PooledList*>(this)->data(); }

  void grow(std::size_t need, BlockPool<T>& pool) {
    if (need > UINT32_MAX) fault("pooled list is full");
    const auto size_class = static_cast<std::uint32_t>(std::bit_width(need - 1));
    T* fresh = pool.allocate(size_class);
    T* old = data();
    for (std::uint32_t i = 0; i < size_; ++i) {
      ::new (fresh + i) T(std::move(old[i]));
      old[i].~T();
    }
    give_back(pool);
    heap_ = fresh;
    size_class_ = size_class;
  }
  // With no element left in the storage: returns it to the pool.
  void give_back(BlockPool<T>& pool) {
    if (!is_inline()) pool.deallocate(heap_, size_class_);
    size_class_ = kInline;
  }
  // Touches no storage when T needs no destructor, so a list of such
  // elements may outlive its pool as long as it is not used.
  void destroy_elements() noexcept {
    if constexpr (!std::is_trivially_destructible_v<T>) {
      T* d = data();
      for (std::uint32_t i = 0; i < size_; ++i) d[i].~T();
    }
    size_ = 0;
  }
  void take(PooledList& other) noexcept {
    if (other.is_inline()) {
      if (other.size_ != 0) {
        T* s = other.data();
        ::new (static_cast<void*>(buf_)) T(std::move(*s));
        s->~T();
      }
      size_class_ = kInline;
    } else {
      heap_ = other.heap_;
      size_class_ = other.size_class_;
    }
    size_ = other.size_;
    other.size_ = 0;
    other.size_class_ = kInline;
  }

  union {
    alignas(T) unsigned char buf_[sizeof(T)];
    T* heap_;
  };
  std::uint32_t size_ = 0;
  std::uint32_t size_class_ = kInline;
};

}  // namespace tessary::eqsat
