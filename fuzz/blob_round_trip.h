// The round-trip property of the blob format, shared by the reader fuzzer and
// the regression tests: whatever deserialize accepts is written back in normal
// form y, and y reads back to the same keys and marks and writes to y again.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "blob/reader.h"
#include "blob/writer.h"

namespace tessary {

struct RoundTripOutcome {
  bool accepted = false;
  std::string failure;  // empty when the property holds
};

inline RoundTripOutcome check_blob_round_trip(std::span<const std::uint8_t> bytes) {
  RoundTripOutcome outcome;
  auto first = deserialize(bytes);
  if (!first) {
    if (first.error().message().empty()) outcome.failure = "decode error without a message";
    return outcome;
  }
  outcome.accepted = true;
  const GraphStore& x = first.value();
  const Snapshot x_snap = x.snapshot();
  auto y = serialize_with(x, x_snap.outputs);
  if (!y) {
    outcome.failure = "accepted blob cannot be written: " + y.error().message;
    return outcome;
  }
  auto second = deserialize(y.value());
  if (!second) {
    outcome.failure = "rewritten blob is rejected: " + second.error().message();
    return outcome;
  }
  const Snapshot y_snap = second.value().snapshot();
  if (y_snap.nodes != x_snap.nodes) {
    outcome.failure = "rewritten blob reads back to different nodes";
  } else if (y_snap.outputs != x_snap.outputs) {
    outcome.failure = "rewritten blob reads back to different outputs";
  } else {
    auto z = serialize_with(second.value(), y_snap.outputs);
    if (!z || z.value() != y.value())
      outcome.failure = "rewritten blob does not write back to itself";
  }
  return outcome;
}

}  // namespace tessary
