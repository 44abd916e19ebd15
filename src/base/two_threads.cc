#include "base/two_threads.h"

#include <exception>
#include <system_error>
#include <thread>

namespace tessary {

void run_on_two_threads(const std::function<void()>& first, const std::function<void()>& second) {
  auto capture = [](const std::function<void()>& part, std::exception_ptr& error) {
    try {
      part();
    } catch (...) {
      error = std::current_exception();
    }
  };
  std::exception_ptr first_error;
  std::exception_ptr second_error;
  std::thread helper;
  try {
    helper = std::thread([&] { capture(second, second_error); });
  } catch (const std::system_error&) {
    // No thread to be had: both parts run here, below.
  }
  capture(first, first_error);
  if (helper.joinable()) {
    helper.join();
  } else {
    capture(second, second_error);
  }
  if (first_error) std::rethrow_exception(first_error);
  if (second_error) std::rethrow_exception(second_error);
}

}  // namespace tessary
