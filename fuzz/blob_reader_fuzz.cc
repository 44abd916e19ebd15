// libFuzzer target for the blob reader. Any bytes must give either a store or
// one DecodeError (never a crash, hang or sanitizer report), and whatever is
// accepted must write back to a normal form that reads and writes to itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "blob_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const tessary::RoundTripOutcome outcome =
      tessary::check_blob_round_trip(std::span<const std::uint8_t>(data, size));
  if (!outcome.failure.empty()) {
    std::fprintf(stderr, "blob round trip failed: %s\n", outcome.failure.c_str());
    std::abort();
  }
  return 0;
}
