// A Cancel poll for tests: counts its calls and asks to stop on one of them.
#pragma once

namespace tessary::testing {

struct CountingPoll {
  int calls = 0;
  int stop_at = 0;  // 0: never
  static bool poll(void* self) {
    auto* p = static_cast<CountingPoll*>(self);
    return ++p->calls == p->stop_at;
  }
};

}  // namespace tessary::testing
