#pragma once
// Pixel comparison the fuzz targets' round trips share.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/kopxutils_bitmap.h"

namespace pixoran::fuzzing {

// Same size, format and pixels (pxBW1: the bits inside the width only).
inline bool SamePixels(TPXBitmap& a, TPXBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat()) return false;
  const int64_t w = a.Width();
  const int64_t full = a.PixelFormat() == pxBW1 ? w / 8 : w * a.BitCount() / 8;
  const int bits = a.PixelFormat() == pxBW1 ? static_cast<int>(w & 7) : 0;
  for (int32_t y = 0; y < a.Height(); ++y) {
    // A temporary-file row stays valid only until the next Scanline call.
    const uint8_t* pa = a.Scanline(y);
    const std::vector<uint8_t> ra(pa, pa + full + (bits ? 1 : 0));
    const uint8_t* rb = b.Scanline(y);
    if (std::memcmp(ra.data(), rb, static_cast<size_t>(full)) != 0) return false;
    if (bits && ((ra[full] ^ rb[full]) & (0xFF00 >> bits) & 0xFF)) return false;
  }
  return true;
}

}  // namespace pixoran::fuzzing
