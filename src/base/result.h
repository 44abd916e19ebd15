// Result<T, E>: the value of an operation that can fail in an expected way.
// Expected failures (a bad node id, a malformed blob) travel as values; only
// broken invariants throw (see fault.h).
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace tessary {

// Wraps an error so that Result can be built from either side unambiguously.
template <typename E>
struct Err {
  explicit Err(E e) : error(std::move(e)) {}
  E error;
};

template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <typename F>
  Result(Err<F> err) : v_(std::in_place_index<1>, E(std::move(err.error))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

// Result of an operation that returns nothing on success.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <typename F>
  Result(Err<F> err) : err_(E(std::move(err.error))), failed_(true) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const E& error() const { return err_; }

 private:
  E err_{};
  bool failed_ = false;
};

}  // namespace tessary
