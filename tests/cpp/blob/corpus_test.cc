// The fuzzer's seed blobs are the writer's output for the sample stores, so
// they double as byte-exact golden files; inputs the fuzzer once crashed on
// are kept in fuzz/regressions and must satisfy the round-trip property.
// Rewrite the seeds with the write_fuzz_seeds tool (fuzz/write_seeds.cc).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../../fuzz/blob_round_trip.h"
#include "../../../fuzz/seeds.h"
#include "blob/writer.h"
#include "blob_bytes.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

const fs::path kFuzzDir = fs::path(__FILE__).parent_path() / ".." / ".." / ".." / "fuzz";

using fuzz_seeds::Seed;
using fuzz_seeds::seeds;

std::vector<std::uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(Corpus, SeedsAreTheWritersOutput) {
  for (const Seed& seed : seeds()) {
    const fs::path path = kFuzzDir / "corpus" / seed.name;
    ASSERT_TRUE(fs::exists(path)) << path;
    EXPECT_EQ(read_file(path), seed.bytes) << seed.name;
    EXPECT_TRUE(check_blob_round_trip(seed.bytes).accepted) << seed.name;
  }
}

// Seeds, and any input the fuzzer ever crashed on, as a plain regression run.
TEST(Corpus, KeptInputsKeepTheRoundTripProperty) {
  int checked = 0;
  for (const char* dir : {"corpus", "regressions"}) {
    if (!fs::exists(kFuzzDir / dir)) continue;
    for (const auto& entry : fs::directory_iterator(kFuzzDir / dir)) {
      if (!entry.is_regular_file()) continue;
      EXPECT_EQ(check_blob_round_trip(read_file(entry.path())).failure, "") << entry.path();
      ++checked;
    }
  }
  EXPECT_GE(checked, 4);
}

}  // namespace
}  // namespace tessary
