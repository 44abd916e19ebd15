// Writes the blob fuzzer's seed files (fuzz/seeds.h) into a directory,
// fuzz/corpus by default:  build/cpp/write_fuzz_seeds [DIR]
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>

#include "seeds.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::path(__FILE__).parent_path() / "corpus";
  try {
    fs::create_directories(dir);
    for (const tessary::fuzz_seeds::Seed& seed : tessary::fuzz_seeds::seeds()) {
      std::ofstream out(dir / seed.name, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(seed.bytes.data()),
                static_cast<std::streamsize>(seed.bytes.size()));
      if (!out.good()) {
        std::fprintf(stderr, "cannot write %s\n", (dir / seed.name).c_str());
        return 1;
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
