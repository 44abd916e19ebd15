// The test binary's global operator new: plain malloc, except that it throws
// std::bad_alloc when the calling thread's FailingAllocations says so.
#include "support/failing_alloc.h"

#include <cstdlib>
#include <new>

namespace tessary::testing {
namespace {

struct Budget {
  bool armed = false;
  bool failed = false;
  std::size_t left = 0;
};
thread_local Budget g_budget;

void* allocate(std::size_t size) {
  if (g_budget.armed) {
    if (g_budget.left == 0) {
      g_budget.failed = true;
      throw std::bad_alloc();
    }
    --g_budget.left;
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

FailingAllocations::FailingAllocations(std::size_t successes) {
  g_budget = Budget{true, false, successes};
}
FailingAllocations::~FailingAllocations() { g_budget = Budget{}; }
bool FailingAllocations::failed() const { return g_budget.failed; }

}  // namespace tessary::testing

// Every form that frees with free() allocates here, so the pairs match (the
// sanitizers check that they do). The aligned forms stay the library's.
void* operator new(std::size_t size) { return tessary::testing::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return tessary::testing::allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void* operator new[](std::size_t size) { return tessary::testing::allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
