// The blob fuzzer's seed inputs: the writer's output for the sample stores
// of the blob tests. fuzz/corpus holds them as files (written by
// write_fuzz_seeds), and a test checks that the files still equal these.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "../tests/cpp/blob/blob_bytes.h"
#include "blob/writer.h"
#include "ir/store.h"

namespace tessary::fuzz_seeds {

struct Seed {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

inline std::vector<std::uint8_t> write(const GraphStore& store, const NodeIds& outputs) {
  auto blob = serialize_with(store, outputs);
  if (!blob) fault(blob.error().message);
  return std::move(blob).value();
}

inline std::vector<Seed> seeds() {
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

}  // namespace tessary::fuzz_seeds
