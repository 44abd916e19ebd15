// The blob writer: a store's canonical, versioned, byte-identical durable
// form ("TIR1", little-endian u32 counts and lengths, u64 node ids).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/out_buffer.h"
#include "base/result.h"
#include "ir/node_records.h"
#include "ir/param.h"
#include "ir/store.h"

namespace tessary {

// Why a store cannot be written: a string, list or reference index is 2^32
// or longer, which the format cannot represent.
struct BlobTooLarge {
  std::string message;
};

// Writes the blob of `records` with exactly `outputs` as its output list
// (ids the caller has checked against records.size()) into a buffer made and
// grown through `resize`, which holds exactly the blob once this succeeds.
[[nodiscard]] Result<void, BlobTooLarge> serialize_into(const NodeRecords& records,
                                                        std::span<const NodeId> outputs,
                                                        const ResizeBuffer& resize);

// The blob of `store` with exactly `outputs` as its output list (in the given
// order, repetitions kept). The caller validates the output ids.
[[nodiscard]] Result<std::vector<std::uint8_t>, BlobTooLarge> serialize_with(
    const GraphStore& store, std::span<const NodeId> outputs);

}  // namespace tessary
