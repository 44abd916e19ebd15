#include "base/boxed.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace tessary {
namespace {

// Copies are deep and independent, equality looks at the values, and a
// moved-from or default box reads as an empty value instead of crashing.
TEST(Boxed, BehavesLikeTheValueItHolds) {
  Boxed<std::string> a(std::string("payload"));
  Boxed<std::string> b = a;
  EXPECT_EQ(a, b);
  *b = "changed";
  EXPECT_EQ(*a, "payload");
  EXPECT_NE(a, b);

  Boxed<std::string> moved = std::move(a);
  EXPECT_EQ(*moved, "payload");
  EXPECT_EQ(*a, "");  // NOLINT(bugprone-use-after-move): the moved-from state is defined
  EXPECT_EQ(a, Boxed<std::string>());
  a->append("again");
  EXPECT_EQ(*a, "again");

  Boxed<std::string> empty;
  Boxed<std::string> copy_of_empty = empty;
  EXPECT_EQ(copy_of_empty->size(), 0u);
  copy_of_empty = moved;
  EXPECT_EQ(*copy_of_empty, "payload");
  const Boxed<std::string>& alias = copy_of_empty;
  copy_of_empty = alias;  // self-assignment keeps the value
  EXPECT_EQ(*copy_of_empty, "payload");
}

}  // namespace
}  // namespace tessary
