// InlineVec: a growable sequence of trivially copyable values that keeps its
// first N in place and moves to the heap only beyond that, so converting the
// arguments of a typical building call allocates nothing.
#pragma once

#include <cstddef>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

namespace tessary::py {

template <typename T, std::size_t N>
class InlineVec {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  InlineVec() = default;
  InlineVec(const InlineVec&) = delete;
  InlineVec& operator=(const InlineVec&) = delete;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return spilled() ? heap_.data() : std::launder(reinterpret_cast<T*>(inline_)); }
  const T* data() const {
    return spilled() ? heap_.data() : std::launder(reinterpret_cast<const T*>(inline_));
  }
  T& operator[](std::size_t i) { return data()[i]; }
  std::span<T> span() { return {data(), size_}; }
  std::span<const T> span() const { return {data(), size_}; }

  // Room for `n` values; only a count beyond N reserves heap space.
  void reserve(std::size_t n) {
    if (n > N) heap_.reserve(n);
  }
  void push_back(const T& value) {
    if (size_ < N) {
      ::new (static_cast<void*>(inline_ + size_ * sizeof(T))) T(value);
    } else {
      // From the (N+1)th value on, every value lives on the heap.
      if (size_ == N) heap_.assign(data(), data() + N);
      heap_.push_back(value);
    }
    ++size_;
  }
  void clear() {
    size_ = 0;
    heap_.clear();
  }

 private:
  bool spilled() const { return size_ > N; }

  alignas(T) unsigned char inline_[N * sizeof(T)];
  std::vector<T> heap_;
  std::size_t size_ = 0;
};

}  // namespace tessary::py
