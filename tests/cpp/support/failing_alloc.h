// Allocation failures on demand, for testing that a failed allocation leaves
// data whole. The test binary replaces the global operator new; while a
// FailingAllocations is alive on a thread, that thread's allocations fail
// (throw std::bad_alloc) once `successes` of them have succeeded.
#pragma once

#include <cstddef>
#include <new>

namespace tessary::testing {

class FailingAllocations {
 public:
  explicit FailingAllocations(std::size_t successes);
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;

  // True once an allocation has been refused.
  bool failed() const;
};

// Runs `attempt` with allocations failing after 0, 1, 2, ... successes, until
// an attempt completes without a refusal; calls `check(refused)` after each
// attempt, outside the failing scope. Returns the number of attempts that
// met a refusal (so a caller can tell that some did).
template <typename Attempt, typename Check>
std::size_t for_each_failure_point(Attempt&& attempt, Check&& check) {
  for (std::size_t successes = 0;; ++successes) {
    bool refused = false;
    {
      FailingAllocations failing(successes);
      try {
        attempt();
      } catch (const std::bad_alloc&) {
        refused = true;
      }
      refused = refused || failing.failed();
    }
    check(refused);
    if (!refused) return successes;
  }
}

}  // namespace tessary::testing
