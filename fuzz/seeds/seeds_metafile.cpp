// Seeds of the metafile fuzz target: a small EMF built record by record and
// a placeable WMF header.
#include <cstdint>
#include <fstream>
#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace pixoran::fuzzseeds {
using TSeedWriter = bool (*)(const std::string& folder);
bool RegisterSeedWriter(const char* name, TSeedWriter writer);
}  // namespace pixoran::fuzzseeds

namespace {

struct TEmf {
  std::vector<uint8_t> b;
  uint32_t records = 0;
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void Record(uint32_t type, std::initializer_list<uint32_t> params) {
    U32(type);
    U32(static_cast<uint32_t>(8 + 4 * params.size()));
    for (uint32_t p : params) U32(p);
    ++records;
  }
  void Patch(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
};

bool Save(const std::string& path, const std::vector<uint8_t>& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  return static_cast<bool>(f);
}

bool WriteSeeds(const std::string& folder) {
  TEmf e;
  e.Record(1, {0, 0, 99, 49, 0, 0, 10000, 5000, 0x464D4520, 0x10000, 0, 0, 3, 0, 0, 0, 1000, 1000, 1000, 1000,
               0, 0, 0, 1000000, 1000000});
  e.Record(39, {1, 0, 0x000000FF, 0});
  e.Record(37, {1});
  e.Record(43, {10, 10, 50, 40});
  e.Record(42, {20, 5, 80, 45});  // ELLIPSE
  e.Record(14, {0, 16, 20});
  e.Patch(48, static_cast<uint32_t>(e.b.size()));
  e.Patch(52, e.records);
  std::vector<uint8_t> wmf(40, 0);
  const uint8_t head[] = {0xD7, 0xCD, 0xC6, 0x9A, 0, 0, 0, 0, 0, 0, 0xA0, 0x05, 0xD0, 0x02, 0xA0, 0x05};
  std::copy(std::begin(head), std::end(head), wmf.begin());
  return Save(folder + "/shapes.emf", e.b) && Save(folder + "/placeable.wmf", wmf);
}

const bool kRegistered = pixoran::fuzzseeds::RegisterSeedWriter("metafile", WriteSeeds);

}  // namespace
