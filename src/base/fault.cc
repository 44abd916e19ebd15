#include "base/fault.h"

namespace tessary {

void fault(std::string_view message) { throw InternalFault(std::string(message)); }

bool PoisonMutex::poisoned() const {
  auto& self = const_cast<PoisonMutex&>(*this);
  std::lock_guard<std::mutex> lock(self.mu_);
  return poisoned_;
}

void PoisonMutex::poison_for_testing() {
  std::lock_guard<std::mutex> lock(mu_);
  poisoned_ = true;
}

PoisonGuard::PoisonGuard(PoisonMutex& mu, std::string_view poisoned_message)
    : mu_(mu), uncaught_at_entry_(std::uncaught_exceptions()) {
  mu_.mu_.lock();
  if (mu_.poisoned_) {
    mu_.mu_.unlock();
    fault(poisoned_message);
  }
}

PoisonGuard::~PoisonGuard() {
  // Leaving the critical section by an exception may have left the guarded
  // data half-changed: refuse every later user.
  if (std::uncaught_exceptions() > uncaught_at_entry_) {
    mu_.poisoned_ = true;
  }
  mu_.mu_.unlock();
}

}  // namespace tessary
