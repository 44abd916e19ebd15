// The fuzzer's seed blobs are the writer's output for the sample stores, so
// they double as byte-exact golden files; inputs the fuzzer once crashed on
// are kept in fuzz/regressions and must satisfy the round-trip property.
// Rewrite the seeds with --gtest_also_run_disabled_tests
// --gtest_filter=Corpus.DISABLED_WriteSeeds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../../fuzz/blob_round_trip.h"
#include "blob/writer.h"
#include "blob_bytes.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

const fs::path kFuzzDir = fs::path(__FILE__).parent_path() / ".." / ".." / ".." / "fuzz";

struct Seed {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> write(const GraphStore& store, const NodeIds& outputs) {
  auto blob = serialize_with(store, outputs);
  if (!blob) fault(blob.error().message);
  return std::move(blob).value();
}

std::vector<Seed> seeds() {
  std::vector<Seed> out;
  GraphStore empty;
  out.push_back({"empty", write(empty, {})});
  GraphStore small;
  blob_testing::fill_small_store(small);
  out.push_back({"small", write(small, {1})});
  GraphStore varied;
  blob_testing::fill_varied_store(varied);
  out.push_back({"varied", write(varied, {11, 3, 0})});
  // A chain, so that inputs refer to many earlier ids.
  GraphStore chain;
  NodeId last = blob_testing::must_intern(chain, Source{"x", {}});
  for (int i = 0; i < 24; ++i) {
    const NodeIds inputs = {last, last / 2};
    last = blob_testing::must_intern(
        chain, Op{i % 2 == 0 ? "add" : "mul", ParamMap({{"k", ParamValue::integer(i)}}), inputs});
  }
  out.push_back({"chain", write(chain, {last, 0})});
  return out;
}

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

TEST(Corpus, DISABLED_WriteSeeds) {
  fs::create_directories(kFuzzDir / "corpus");
  for (const Seed& seed : seeds()) {
    std::ofstream out(kFuzzDir / "corpus" / seed.name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(seed.bytes.data()),
              static_cast<std::streamsize>(seed.bytes.size()));
    ASSERT_TRUE(out.good());
  }
}

}  // namespace
}  // namespace tessary
