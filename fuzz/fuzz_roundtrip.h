#pragma once
// What the fuzz targets' round trips share: the pixel comparison and the
// write-then-read-back check.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

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

// Writes image with write(out, progress) and reads the file back with
// read(in, back, backParams, progress). Every image a reader gives must be
// writable and read back the same (same(image, back)): anything else ends
// the process.
template <class TWrite, class TRead, class TSame>
void CheckRoundTrip(TPXBitmap& image, const TWrite& write, const TRead& read, const TSame& same) {
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  write(out, progress);
  if (aborting) std::abort();
  out.SetPosition(0);
  TPXBitmap back;
  TIOParamsVals backParams;
  read(out, back, backParams, progress);
  if (aborting || !same(image, back)) std::abort();
}

template <class TWrite, class TRead>
void CheckRoundTrip(TPXBitmap& image, const TWrite& write, const TRead& read) {
  CheckRoundTrip(image, write, read, [](TPXBitmap& a, TPXBitmap& b) { return SamePixels(a, b); });
}

}  // namespace pixoran::fuzzing
