// Cooperative cancellation for long calls. The core never calls into the
// interpreter; a caller that can be interrupted (the binding layer, which
// polls for pending signals) hands the core a Cancel, and long loops call
// check() between units of work. When the poll says stop, check() throws
// Cancelled, which unwinds the call before it publishes anything; the caller
// that installed the poll already knows why (for Python, the pending
// KeyboardInterrupt is set) and reports it. A default Cancel never stops.
#pragma once

#include <cstdint>
#include <exception>

namespace tessary {

// Thrown by Cancel::check when the poll asks to stop. Not an internal fault:
// the store and every shared table are left as they were.
class Cancelled final : public std::exception {
 public:
  const char* what() const noexcept override { return "operation cancelled"; }
};

class Cancel {
 public:
  // Returns true when the call must stop. Called rarely (see check()).
  using Poll = bool (*)(void* context);

  Cancel() = default;
  Cancel(Poll poll, void* context) : poll_(poll), context_(context) {}

  // Polls every `kStride` calls, so a loop may call it once per item.
  void check() {
    if (poll_ != nullptr && ++count_ % kStride == 0 && poll_(context_)) throw Cancelled();
  }
  // Polls now: for a loop whose items are large (a pass, a runner iteration).
  void check_now() {
    if (poll_ != nullptr && poll_(context_)) throw Cancelled();
  }
  bool active() const { return poll_ != nullptr; }

  // A Cancel that never stops, for callers with nothing to poll. One is
  // shared by every thread: with no poll, check() touches no state.
  static Cancel& never() {
    static constinit Cancel none;
    return none;
  }

  static constexpr std::uint32_t kStride = 4096;

 private:
  Poll poll_ = nullptr;
  void* context_ = nullptr;
  std::uint32_t count_ = 0;
};

}  // namespace tessary
