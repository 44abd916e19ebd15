// Interning a key that must be accepted, for tests that build stores.
#pragma once

#include <gtest/gtest.h>

#include <utility>

#include "ir/store.h"

namespace tessary {

// The id of `key` in `store`; a test failure (and id 0) if it is refused.
inline NodeId add(GraphStore& store, NodeKey key) {
  auto id = store.intern(std::move(key));
  EXPECT_TRUE(id.ok());
  return id.ok() ? id.value() : 0;
}

}  // namespace tessary
