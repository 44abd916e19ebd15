#include "base/two_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace tessary {
namespace {

TEST(RunOnTwoThreads, RunsTheSecondPartOnAnotherThread) {
  std::thread::id first_on;
  std::thread::id second_on;
  run_on_two_threads([&] { first_on = std::this_thread::get_id(); },
                     [&] { second_on = std::this_thread::get_id(); });
  EXPECT_EQ(first_on, std::this_thread::get_id());
  EXPECT_NE(second_on, std::thread::id());
  EXPECT_NE(second_on, first_on);
}

// A fault in one part surfaces only after the other has finished, and the
// calling thread's fault wins when both fail.
TEST(RunOnTwoThreads, RethrowsAfterBothFinish) {
  std::atomic<bool> second_done{false};
  try {
    run_on_two_threads([] { throw std::runtime_error("first"); },
                       [&] {
                         std::this_thread::sleep_for(std::chrono::milliseconds(20));
                         second_done = true;
                       });
    ADD_FAILURE() << "expected an exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "first");
    EXPECT_TRUE(second_done);
  }
  try {
    run_on_two_threads([] {}, [] { throw std::runtime_error("second"); });
    ADD_FAILURE() << "expected an exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "second");
  }
  try {
    run_on_two_threads([] { throw std::runtime_error("first"); },
                       [] { throw std::runtime_error("second"); });
    ADD_FAILURE() << "expected an exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "first");
  }
}

}  // namespace
}  // namespace tessary
