// Splitting one piece of work between the calling thread and a helper.
#pragma once

#include <functional>

namespace tessary {

// Runs `first` on the calling thread and `second` on a helper thread, and
// returns once both are done. If no thread can be had, `second` runs on the
// calling thread after `first`. An exception from either is rethrown after
// both have finished, the calling thread's first.
void run_on_two_threads(const std::function<void()>& first, const std::function<void()>& second);

}  // namespace tessary
