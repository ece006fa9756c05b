#pragma once
// Colour and bit helpers shared by conversion, rendering and the format filters.
#include <cstdint>

#include "core/kopxdefs.h"

namespace pixoran {

class TPXBitmap;

// CMYK pixel as pxCMYK stores it: bytes C, M, Y, K in memory order.
struct TCMYK {
  uint8_t c = 0, m = 0, y = 0, k = 0;
};
static_assert(sizeof(TCMYK) == 4);

// red = C * K div 255, green = M * K div 255, blue = Y * K div 255.
TBGR CMYKToRGB(TCMYK p);
// K = max(red, green, blue) (1 when that is 0); C = red * 255 div K, ...
TCMYK RGBToCMYK(TBGR p);

// Inverts every bit of every row of the bitmap.
void InvertBitmapBits(TPXBitmap& bitmap);

}  // namespace pixoran
