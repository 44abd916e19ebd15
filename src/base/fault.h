// Internal faults: a broken invariant or a poisoned lock ends the current
// operation by throwing InternalFault. The Python layer catches it in one
// place (guard_call) and raises PanicException, so nothing aborts the process.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <string_view>

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
// ends by an exception. Once poisoned, every later acquisition faults.
class PoisonMutex {
 public:
  PoisonMutex() = default;
  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  bool poisoned() const;
  // Marks the lock poisoned; used by tests to reach the poisoned state.
  void poison_for_testing();

 private:
  friend class PoisonGuard;
  template <typename F>
  friend auto with_lock(PoisonMutex& mu, std::string_view poisoned_message, F&& f) -> decltype(f());
  std::mutex mu_;
  bool poisoned_ = false;  // guarded by mu_
};

// Runs `f` holding `mu`: faults with `poisoned_message` when the lock is
// already poisoned, and poisons it when `f` ends by an exception. Unlike
// PoisonGuard it needs no exception count, so it is the one for hot paths.
template <typename F>
auto with_lock(PoisonMutex& mu, std::string_view poisoned_message, F&& f) -> decltype(f());

// Scoped lock on a PoisonMutex. Faults with `poisoned_message` when the lock is
// already poisoned; poisons the lock when it is released by stack unwinding.
class PoisonGuard {
 public:
  PoisonGuard(PoisonMutex& mu, std::string_view poisoned_message);
  ~PoisonGuard();
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;

 private:
  PoisonMutex& mu_;
  int uncaught_at_entry_;
};

template <typename F>
auto with_lock(PoisonMutex& mu, std::string_view poisoned_message, F&& f) -> decltype(f()) {
  mu.mu_.lock();
  struct Unlock {
    std::mutex& mu;
    ~Unlock() { mu.unlock(); }
  } unlock{mu.mu_};
  if (mu.poisoned_) fault(poisoned_message);
  try {
    return f();
  } catch (...) {
    mu.poisoned_ = true;  // the guarded data may be half-changed
    throw;
  }
}

}  // namespace tessary
