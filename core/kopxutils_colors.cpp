#include "core/kopxutils_colors.h"

#include <algorithm>

#include "core/kopxutils_bitmap.h"

namespace pixoran {

TBGR CMYKToRGB(TCMYK p) {
  return TBGR{static_cast<uint8_t>(p.y * p.k / 255), static_cast<uint8_t>(p.m * p.k / 255),
              static_cast<uint8_t>(p.c * p.k / 255)};
}

TCMYK RGBToCMYK(TBGR p) {
  int k = std::max({p.r, p.g, p.b});
  if (k == 0) k = 1;
  return TCMYK{static_cast<uint8_t>(p.r * 255 / k), static_cast<uint8_t>(p.g * 255 / k),
               static_cast<uint8_t>(p.b * 255 / k), static_cast<uint8_t>(k)};
}

void InvertBitmapBits(TPXBitmap& bitmap) {
  const int32_t h = bitmap.Height();
  const int32_t len = bitmap.RowLen();
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = bitmap.Scanline(y);
    if (!row) return;
    for (int32_t i = 0; i < len; ++i) row[i] = static_cast<uint8_t>(~row[i]);
  }
}

}  // namespace pixoran
