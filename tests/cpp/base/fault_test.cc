#include "base/fault.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/cancel.h"

namespace tessary {
namespace {

constexpr std::string_view kPoisoned = "value poisoned";

// Runs `f` through `with`/`with_whole` and swallows what it throws.
template <typename Run>
void fails(Run&& run) {
  try {
    run();
  } catch (...) {
  }
}

bool is_poisoned(PoisonGuarded<int>& guarded) {
  try {
    (void)std::as_const(guarded).with(kPoisoned, [](const int& v) { return v; });
    return false;
  } catch (const InternalFault& e) {
    EXPECT_EQ(e.message(), kPoisoned);
    return true;
  }
}

// What each way of taking the lock does with each kind of failure: a read
// never poisons on a failed allocation or a cancellation, a change that
// promises to stay whole does not either, a plain change always does, and
// an internal fault poisons everywhere.
TEST(PoisonGuarded, PoisonsOnlyWhereTheValueMayBeHalfChanged) {
  const auto bad_alloc = [] { throw std::bad_alloc(); };
  const auto cancelled = [] { throw Cancelled(); };
  const auto internal = [] { fault("broken"); };
  const auto other = [] { throw std::runtime_error("other"); };

  struct Case {
    const char* name;
    bool poisons_read, poisons_whole, poisons_plain;
    std::function<void()> thrower;
  };
  const Case cases[] = {
      {"bad_alloc", false, false, true, bad_alloc},
      {"cancelled", false, false, true, cancelled},
      {"internal fault", true, true, true, internal},
      {"other exception", true, true, true, other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PoisonGuarded<int> read(1), whole(1), plain(1);
    fails([&] { std::as_const(read).with(kPoisoned, [&](const int&) { c.thrower(); }); });
    fails([&] {
      whole.with_whole(kPoisoned, [&](int& v) {
        v = 2;
        c.thrower();
      });
    });
    fails([&] { plain.with(kPoisoned, [&](int&) { c.thrower(); }); });
    EXPECT_EQ(is_poisoned(read), c.poisons_read);
    EXPECT_EQ(is_poisoned(whole), c.poisons_whole);
    EXPECT_EQ(is_poisoned(plain), c.poisons_plain);
  }
}

TEST(Cancel, NeverStopsAndSharesNoState) {
  Cancel& never = Cancel::never();
  EXPECT_FALSE(never.active());
  for (std::uint32_t i = 0; i < 3 * Cancel::kStride; ++i) never.check();
  never.check_now();
  EXPECT_EQ(&never, &Cancel::never());
}

}  // namespace
}  // namespace tessary
