// Internal faults: a broken invariant or a poisoned lock ends the current
// operation by throwing InternalFault. The Python layer catches it in one
// place (guard_call) and raises PanicException, so nothing aborts the process.
// Also the one locking API: a value behind a lock that poisons.
#pragma once

#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "base/cancel.h"
#include "base/thread_annotations.h"

namespace tessary {

class InternalFault : public std::exception {
 public:
  explicit InternalFault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// Throws InternalFault with the given message.
[[noreturn]] void fault(std::string_view message);

// A mutual-exclusion lock that becomes poisoned when an operation holding it
// ends by an exception. Only PoisonGuarded takes it.
class TESSARY_CAPABILITY("mutex") PoisonMutex {
 public:
  PoisonMutex() = default;
  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  void lock() TESSARY_ACQUIRE() { mu_.lock(); }
  void unlock() TESSARY_RELEASE() { mu_.unlock(); }

  bool poisoned() const TESSARY_REQUIRES(this) { return poisoned_; }
  void set_poisoned() TESSARY_REQUIRES(this) { poisoned_ = true; }

 private:
  std::mutex mu_;
  bool poisoned_ TESSARY_GUARDED_BY(this) = false;
};

// Holds a PoisonMutex for one scope.
class TESSARY_SCOPED_CAPABILITY PoisonLock {
 public:
  explicit PoisonLock(PoisonMutex& mu) TESSARY_ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~PoisonLock() TESSARY_RELEASE() { mu_.unlock(); }
  PoisonLock(const PoisonLock&) = delete;
  PoisonLock& operator=(const PoisonLock&) = delete;

 private:
  PoisonMutex& mu_;
};

// A value that is only reached under its lock: `with` runs a function on it
// holding the lock. Faults with the given message when the lock is poisoned.
// The value never leaves the lock: callers get it as a reference for the
// function's duration, and return copies.
//
// When the function ends by an exception, what the exception says about the
// value decides whether the lock poisons (so that every later user faults):
// - the const `with` only reads, so an allocation failure (std::bad_alloc) or
//   a cancellation (Cancelled) leaves the value as it was and does not poison;
//   an internal fault still does, since it reports a broken invariant;
// - the mutable `with` poisons on every exception: the value may be
//   half-changed;
// - `with_whole` is for functions that leave the value whole when they fail by
//   std::bad_alloc or Cancelled: every change they made before failing is
//   complete (each append allocates first and then commits with operations
//   that cannot throw). Those two failures leave the lock usable; any other
//   exception poisons.
template <typename T>
class PoisonGuarded {
 public:
  template <typename... Args>
  explicit PoisonGuarded(Args&&... args) : value_(std::forward<Args>(args)...) {}
  PoisonGuarded(const PoisonGuarded&) = delete;
  PoisonGuarded& operator=(const PoisonGuarded&) = delete;

  template <typename F>
  auto with(std::string_view poisoned_message, F&& f) -> decltype(f(std::declval<T&>())) {
    return locked<Failures::kPoisonOnAny>(*this, poisoned_message, f);
  }

  template <typename F>
  auto with(std::string_view poisoned_message, F&& f) const
      -> decltype(f(std::declval<const T&>())) {
    return locked<Failures::kKeepWholeOnAllocOrCancel>(*this, poisoned_message, f);
  }

  template <typename F>
  auto with_whole(std::string_view poisoned_message, F&& f) -> decltype(f(std::declval<T&>())) {
    return locked<Failures::kKeepWholeOnAllocOrCancel>(*this, poisoned_message, f);
  }

  // Puts the lock in the poisoned state, as a fault inside `with` would.
  void poison_for_testing() {
    PoisonLock lock(mu_);
    mu_.set_poisoned();
  }

 private:
  enum class Failures { kPoisonOnAny, kKeepWholeOnAllocOrCancel };

  // The one locked path behind every `with`; `self` is const for the const one.
  template <Failures kFailures, typename Self, typename F>
  static auto locked(Self& self, std::string_view poisoned_message, F& f)
      -> decltype(f(self.value_)) {
    PoisonLock lock(self.mu_);
    if (self.mu_.poisoned()) fault(poisoned_message);
    try {
      return f(self.value_);
    } catch (const std::bad_alloc&) {
      if constexpr (kFailures == Failures::kPoisonOnAny) self.mu_.set_poisoned();
      throw;
    } catch (const Cancelled&) {
      if constexpr (kFailures == Failures::kPoisonOnAny) self.mu_.set_poisoned();
      throw;
    } catch (...) {
      self.mu_.set_poisoned();
      throw;
    }
  }

  mutable PoisonMutex mu_;
  T value_ TESSARY_GUARDED_BY(mu_);
};

}  // namespace tessary
