// The blob reader: a checked cursor over untrusted bytes, and deserialize,
// which turns any byte string into a new store or exactly one DecodeError.
#pragma once

#include <cstdint>
#include <span>

#include "base/result.h"
#include "blob/decode_error.h"
#include "ir/store.h"

namespace tessary {

[[nodiscard]] Result<GraphStore, DecodeError> deserialize(std::span<const std::uint8_t> bytes);

}  // namespace tessary
