#pragma once
// What the seed writers of the small formats share: saving bytes, a
// little-endian builder, small test images and a progress record.
#include <atomic>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/pxprogress.h"

namespace pixoran::fuzzseeds {

using TSeedWriter = bool (*)(const std::string& folder);
bool RegisterSeedWriter(const char* name, TSeedWriter writer);

inline bool SaveSeed(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

struct TSeedBytes {
  std::vector<uint8_t> b;
  void U8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) { U8(v), U8(v >> 8); }
  void U32(uint32_t v) { U16(v), U16(v >> 16); }
  void Raw(const std::vector<uint8_t>& v) { b.insert(b.end(), v.begin(), v.end()); }
  void Str(const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
};

// A small colour image (colours > 0: that many distinct colours) or a
// black-and-white one.
inline bool SeedImage(TPXBitmap& b, int32_t w, int32_t h, int colours, bool oneBit = false) {
  if (!b.Allocate(w, h, oneBit ? pxBW1 : pxBGR24)) return false;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    if (oneBit) {
      for (int32_t i = 0; i < (w + 7) / 8; ++i) row[i] = static_cast<uint8_t>(0x5A >> (y & 3));
      continue;
    }
    for (int32_t x = 0; x < w; ++x) {
      const int c = colours ? (x / 2 + y) % colours : x * 37 + y * 11;
      row[3 * x] = static_cast<uint8_t>(c * 53), row[3 * x + 1] = static_cast<uint8_t>(c * 97 + y),
              row[3 * x + 2] = static_cast<uint8_t>(c * 29 + x);
    }
  }
  return true;
}

struct TSeedProgress {
  std::atomic<bool> aborting{false};
  TPXProgressRec rec;
  TSeedProgress() { rec.Aborting = &aborting; }
};

}  // namespace pixoran::fuzzseeds
