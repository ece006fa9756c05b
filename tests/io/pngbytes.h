#pragma once
// PNG files built byte by byte for the tests: a chunk with its length and
// CRC, and zlib data for an IDAT.
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace pixoran::testing {

inline void AppendPngBE32(std::vector<uint8_t>& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

inline void PngChunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data) {
  AppendPngBE32(png, static_cast<uint32_t>(data.size()));
  const size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  AppendPngBE32(png, static_cast<uint32_t>(crc32(0, png.data() + start, static_cast<uInt>(png.size() - start))));
}

// raw compressed at the best level, as an IDAT carries it.
inline std::vector<uint8_t> ZlibBytes(const std::vector<uint8_t>& raw) {
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> z(n);
  compress2(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()), 9);
  z.resize(n);
  return z;
}

}  // namespace pixoran::testing
