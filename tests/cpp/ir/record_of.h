// A key packed and written to owned bytes, as a store writes it into its
// arena, for tests that read records.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "ir/packed_key.h"

namespace tessary {

inline std::unique_ptr<std::uint8_t[]> record_of(const NodeKey& key, StringPool& pool) {
  PackedKey packed;
  EXPECT_TRUE(pack_key(key, pool, /*insert=*/true, packed));
  auto bytes = std::make_unique<std::uint8_t[]>(record_size(packed));
  write_record(packed, bytes.get());
  return bytes;
}

}  // namespace tessary
