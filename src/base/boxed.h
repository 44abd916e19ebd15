// A value kept on the heap but with value semantics: copying copies the value,
// comparing compares it. A large member that few alternatives of a variant
// carry goes into a Boxed so that every alternative, and every container of
// them, stays small.
//
// Moving leaves the source empty without allocating; an empty box reads as a
// default-constructed value, so a moved-from box is still safe to use.
#pragma once

#include <memory>
#include <utility>

namespace tessary {

template <typename T>
class Boxed {
 public:
  Boxed() = default;
  Boxed(T value) : p_(std::make_unique<T>(std::move(value))) {}  // NOLINT: implicit by design
  Boxed(const Boxed& other) : p_(other.p_ ? std::make_unique<T>(*other.p_) : nullptr) {}
  Boxed(Boxed&& other) noexcept = default;
  Boxed& operator=(const Boxed& other) {
    if (this != &other) p_ = other.p_ ? std::make_unique<T>(*other.p_) : nullptr;
    return *this;
  }
  Boxed& operator=(Boxed&& other) noexcept = default;
  ~Boxed() = default;

  const T& operator*() const { return p_ ? *p_ : empty_value(); }
  const T* operator->() const { return &**this; }
  T& operator*() {
    if (!p_) p_ = std::make_unique<T>();
    return *p_;
  }
  T* operator->() { return &**this; }

  friend bool operator==(const Boxed& a, const Boxed& b) { return *a == *b; }

 private:
  static const T& empty_value() {
    static const T value{};
    return value;
  }

  std::unique_ptr<T> p_;
};

}  // namespace tessary
