// A vector that keeps its first N elements inline and moves to the heap only
// beyond that. Lists that are almost always short (an e-graph class's nodes,
// an engine node's operands) then cost no heap block of their own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "base/fault.h"

namespace tessary {

template <typename T, std::uint32_t N>
class SmallVec {
  static_assert(N >= 1);

 public:
  SmallVec() noexcept {
    // Plain elements move as whole storage bytes (see take), so those bytes
    // start defined.
    if constexpr (std::is_trivially_copyable_v<T>) std::memset(buf_, 0, kStorageBytes);
  }
  SmallVec(std::initializer_list<T> values) : SmallVec() { assign(values.begin(), values.end()); }
  SmallVec(std::size_t count, const T& value) : SmallVec() {
    reserve(count);
    for (std::size_t i = 0; i < count; ++i) push_back(value);
  }
  template <std::input_iterator It>
  SmallVec(It first, It last) : SmallVec() {
    assign(first, last);
  }
  SmallVec(SmallVec&& other) noexcept : SmallVec() { take(std::move(other)); }
  SmallVec& operator=(SmallVec&& other) noexcept {
    if (this != &other) {
      destroy_all();
      take(std::move(other));
    }
    return *this;
  }
  SmallVec(const SmallVec& other) : SmallVec() {
    reserve(other.size_);
    for (const T& v : other) push_back(v);
  }
  SmallVec& operator=(const SmallVec& other) {
    if (this != &other) {
      SmallVec copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  ~SmallVec() { destroy_all(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return cap_; }
  bool is_inline() const { return cap_ == N; }
  T* data() { return is_inline() ? std::launder(reinterpret_cast<T*>(buf_)) : heap_; }
  const T* data() const {
    return is_inline() ? std::launder(reinterpret_cast<const T*>(buf_)) : heap_;
  }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  std::span<T> span() { return {data(), size_}; }
  std::span<const T> span() const { return {data(), size_}; }
  friend bool operator==(const SmallVec& a, const SmallVec& b) {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }

  void reserve(std::size_t n) {
    if (n > cap_) grow(n);
  }
  // Replaces the contents with [first, last).
  template <typename It>
  void assign(It first, It last) {
    clear();
    if constexpr (std::forward_iterator<It>) {
      reserve(static_cast<std::size_t>(std::distance(first, last)));
    }
    for (; first != last; ++first) push_back(*first);
  }
  void clear() noexcept { truncate(0); }
  void push_back(T value) {
    if (size_ == cap_) grow(static_cast<std::size_t>(cap_) * 2);
    ::new (data() + size_) T(std::move(value));
    ++size_;
  }
  // Constructs an element at the end in place and returns it; `args` must
  // not refer into this vector.
  template <typename... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == cap_) grow(static_cast<std::size_t>(cap_) * 2);
    T* slot = ::new (data() + size_) T(std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }
  // Destroys the elements from `new_size` on.
  void truncate(std::size_t new_size) {
    T* d = data();
    for (std::size_t i = new_size; i < size_; ++i) d[i].~T();
    size_ = static_cast<std::uint32_t>(std::min<std::size_t>(new_size, size_));
  }
  // Moves every element of `other` to the end of this vector and empties it.
  void append(SmallVec&& other) {
    if (size_ + other.size_ > cap_) grow(std::max<std::size_t>(size_ + other.size_, cap_ * 2));
    T* d = data();
    for (T& v : other) ::new (d + size_++) T(std::move(v));
    other.destroy_all();
    other.reset_inline();
  }
  // Heap bytes held (0 while inline).
  std::size_t heap_bytes() const { return is_inline() ? 0 : cap_ * sizeof(T); }

 private:
  void grow(std::size_t new_cap) {
    if (new_cap > UINT32_MAX) fault("small vector is full");
    T* fresh = std::allocator<T>().allocate(new_cap);
    T* old = data();
    for (std::uint32_t i = 0; i < size_; ++i) {
      ::new (fresh + i) T(std::move(old[i]));
      old[i].~T();
    }
    if (!is_inline()) std::allocator<T>().deallocate(heap_, cap_);
    heap_ = fresh;
    cap_ = static_cast<std::uint32_t>(new_cap);
  }
  void destroy_all() noexcept {
    T* d = data();
    for (std::uint32_t i = 0; i < size_; ++i) d[i].~T();
    if (!is_inline()) std::allocator<T>().deallocate(heap_, cap_);
    reset_inline();
  }
  void reset_inline() noexcept {
    size_ = 0;
    cap_ = N;
  }
  void take(SmallVec&& other) noexcept {
    if constexpr (std::is_trivially_copyable_v<T>) {
      // Inline elements or the heap pointer, whichever the storage holds,
      // move as plain bytes, without a branch.
      std::memcpy(static_cast<void*>(buf_), other.buf_, kStorageBytes);
      size_ = other.size_;
      cap_ = other.cap_;
      other.reset_inline();
      return;
    }
    if (other.is_inline()) {
      T* d = std::launder(reinterpret_cast<T*>(buf_));
      T* s = other.data();
      for (std::uint32_t i = 0; i < other.size_; ++i) {
        ::new (d + i) T(std::move(s[i]));
        s[i].~T();
      }
      size_ = other.size_;
      cap_ = N;
    } else {
      heap_ = other.heap_;
      size_ = other.size_;
      cap_ = other.cap_;
    }
    other.reset_inline();
  }

  union {
    alignas(T) unsigned char buf_[N * sizeof(T)];
    T* heap_;
  };
  static constexpr std::size_t kStorageBytes = std::max(N * sizeof(T), sizeof(T*));
  std::uint32_t size_ = 0;
  std::uint32_t cap_ = N;  // N exactly when the elements are inline
};

}  // namespace tessary
