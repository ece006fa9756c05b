// fuzz_seeds FOLDER: writes the seed corpus of every fuzz target into
// FOLDER/<format>/. Each seeds_<format>.cpp adds its writer with one static
// registration object, so a new format only adds its own file.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace pixoran::fuzzseeds {

// Writes the seeds of one format into folder (which exists); false on failure.
using TSeedWriter = bool (*)(const std::string& folder);

struct TSeedFormat {
  std::string name;
  TSeedWriter writer;
};

std::vector<TSeedFormat>& SeedRegistry() {
  static std::vector<TSeedFormat> registry;  // filled during static initialisation
  return registry;
}

bool RegisterSeedWriter(const char* name, TSeedWriter writer) {
  SeedRegistry().push_back({name, writer});
  return true;
}

}  // namespace pixoran::fuzzseeds

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  int failures = 0;
  for (const auto& format : pixoran::fuzzseeds::SeedRegistry()) {
    const std::string folder = std::string(argv[1]) + "/" + format.name;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec || !format.writer(folder)) {
      std::fprintf(stderr, "fuzz_seeds: could not write the %s seeds into %s\n", format.name.c_str(), folder.c_str());
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
