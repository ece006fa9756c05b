#pragma once
// Colour and bit helpers shared by conversion, rendering, the format filters
// and the processing component: HSL, CMYK and CIE L*a*b* conversions of one
// pixel, average colour and grey histogram of a bitmap, reduction to 1 bit,
// single-bit access to 1-bit rows and the two-colour mask.
#include <array>
#include <cstdint>
#include <memory>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_helpers.h"

namespace pixoran {

class TPXBitmap;

// ------------------------------------------------------------ one pixel

// CMYK pixel as pxCMYK stores it: bytes C, M, Y, K in memory order.
struct PIXORAN_CORE_EXPORT TCMYK {
  uint8_t c = 0, m = 0, y = 0, k = 0;
};
static_assert(sizeof(TCMYK) == 4);

// red = C * K div 255, green = M * K div 255, blue = Y * K div 255.
PIXORAN_CORE_EXPORT TBGR CMYKToRGB(TCMYK p);
// K = max(red, green, blue) (1 when that is 0); C = red * 255 div K, ...
PIXORAN_CORE_EXPORT TCMYK RGBToCMYK(TBGR p);

// Hue, saturation and lightness, each 0..1.
PIXORAN_CORE_EXPORT void RGBToHSL(TBGR p, double& hue, double& saturation, double& lightness);
// Hue is wrapped into 0..1 once (below 0 gets +1, above 1 gets -1);
// saturation and lightness are clamped to 0..1.
PIXORAN_CORE_EXPORT TBGR HSLToRGB(double hue, double saturation, double lightness);

// A CIE L*a*b* pixel as three bytes: L 0..255 for 0..100; a and b signed,
// where -128 stands for +128 (so the range is -127..128 for -100..100).
struct PIXORAN_CORE_EXPORT TCIELab {
  uint8_t L = 0;
  int8_t a = 0;
  int8_t b = 0;
};
// Encodes a colour integer (red bits 16-23) as L*a*b*, the exact inverse of
// CIELabToRGB's decoding (relative to the white point, with its byte
// scales and its square-root transfer), so a value decoded and encoded
// again comes back within a level or two.
PIXORAN_CORE_EXPORT TCIELab RGBToCIELab(int32_t color);
PIXORAN_CORE_EXPORT TBGR CIELabToRGB(uint8_t L, int8_t a, int8_t b);
inline TBGR CIELabToRGB(TCIELab lab) { return CIELabToRGB(lab.L, lab.a, lab.b); }

// ------------------------------------------------------------ 1-bit rows

// Pixel n of a 1-bit row, leftmost pixel in the byte's top bit.
inline bool GetBit(const uint8_t* row, int64_t n) { return (row[n >> 3] & (0x80u >> (n & 7))) != 0; }
inline void SetBit(uint8_t* row, int64_t n, bool value) {
  const uint8_t mask = static_cast<uint8_t>(0x80u >> (n & 7));
  if (value) row[n >> 3] |= mask;
  else row[n >> 3] = static_cast<uint8_t>(row[n >> 3] & ~mask);
}

namespace detail {
constexpr std::array<std::array<uint8_t, 24>, 256> MakeBW1ExpandTable() {
  std::array<std::array<uint8_t, 24>, 256> t{};
  for (int b = 0; b < 256; ++b)
    for (int i = 0; i < 8; ++i) {
      const uint8_t v = (b & (0x80 >> i)) ? 255 : 0;
      t[b][i * 3] = t[b][i * 3 + 1] = t[b][i * 3 + 2] = v;
    }
  return t;
}
}  // namespace detail
// Entry b: the eight B,G,R pixels of a 1-bit byte, top bit first; a set bit
// is white. A compile-time table, ready before any image operation.
inline constexpr std::array<std::array<uint8_t, 24>, 256> BW1ExpandTable = detail::MakeBW1ExpandTable();
// Kept for the start-up sequence; the table needs no filling.
inline void BuildBW1ExpandTable() {}

// Ordered-dither matrix, read as OrderedDitherMatrix[x mod 8][y mod 8].
inline constexpr uint8_t OrderedDitherMatrix[8][8] = {{0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
                                                      {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
                                                      {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
                                                      {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};

// ------------------------------------------------------------ whole bitmaps
// The routines below report progress, when asked, after each row as
// Trunc(rows done * 100 / (height + 0.5)).

// Mean red, green and blue: each row's channel sums are divided by the
// width (integer division) and added up, and the totals divided by the
// height. 128, 128, 128 for an empty bitmap or when rows cannot be read.
PIXORAN_CORE_EXPORT void AverageColor(TPXBitmap& bitmap, int32_t& red, int32_t& green, int32_t& blue);

// One count per pixel in the bin of its grey level: 1-bit pixels in bins 0
// and 1, grey formats by their (high) byte, px32f by Trunc(v * 255) clamped,
// colours by their luminance.
PIXORAN_CORE_EXPORT void GrayHistogram(TPXBitmap& bitmap, std::array<int64_t, 256>& histogram);

// Threshold -1 asks for the mean luminance, -2 for the maximum-entropy
// threshold. Writes dest, a 1-bit bitmap already of the source's size:
// luminance below the threshold clears the bit, at or above sets it. A 1-bit
// source is copied unchanged.
PIXORAN_CORE_EXPORT void ThresholdToBW(TPXBitmap& source, TPXBitmap& dest, int32_t threshold,
                                       const TPXProgressRec& progress = {});
// The threshold ThresholdToBW uses for -1 and -2 (other values pass through).
PIXORAN_CORE_EXPORT int32_t ResolveBWThreshold(TPXBitmap& source, int32_t threshold);
// pxBGR24 bitmaps become 1-bit in place (location and alpha kept); other
// formats are left alone.
PIXORAN_CORE_EXPORT void ConvertToBWThreshold(TPXBitmap& bitmap, int32_t threshold,
                                              const TPXProgressRec& progress = {});
PIXORAN_CORE_EXPORT void ConvertToBWOrdered(TPXBitmap& bitmap, const TPXProgressRec& progress = {});

// Every pixel of a pxBGR24 bitmap whose alpha is 0 takes the colour integer
// (blue in bits 0-7); other formats and bitmaps without alpha are left alone.
PIXORAN_CORE_EXPORT void FillTransparentPixels(TPXBitmap& bitmap, int32_t color);

// When the bitmap holds exactly two colours, a 1-bit mask of its size whose
// clear bits mark color1 (the darker; on equal luminance the one seen first,
// rows top to bottom) and set bits color2; nullptr for any other count.
PIXORAN_CORE_EXPORT std::unique_ptr<TPXBitmap> ExtractTwoColorMask(TPXBitmap& bitmap, TBGR& color1, TBGR& color2);

// The palette entry nearest the colour integer (red in bits 16-23) by the sum
// of absolute channel differences; the first of equals wins; 0 for an empty
// palette.
PIXORAN_CORE_EXPORT int32_t NearestPaletteIndex(const TBGR* palette, int32_t count, int32_t color);

// Inverts every bit of every row of the bitmap.
PIXORAN_CORE_EXPORT void InvertBitmapBits(TPXBitmap& bitmap);

// One row of any pixel format as blue-green-red bytes (width * 3 of them):
// pxBW1 set bits white; pxPal8 through the palette (indices at or past
// paletteCount, or no palette, black); pxGray16 by its high byte; px32f
// clamped to 0..1 (NaN as 0); pxCMYK through CMYKToRGB; pxBGR24 copied;
// pxNone black.
PIXORAN_CORE_EXPORT void RowToBGR24(TPXPixelFormat format, const uint8_t* src, uint8_t* dst, int32_t width,
                                    const TBGR* palette = nullptr, int32_t paletteCount = 0);
// Rows of CMYK pixels to blue-green-red and back, pixel by pixel as
// CMYKToRGB and RGBToCMYK.
PIXORAN_CORE_EXPORT void CMYKRowToBGR(const uint8_t* src, uint8_t* dst, int32_t width);
// Exchanges the first and third byte of each of width 3-byte pixels (red,
// green, blue to blue, green, red and back); dst may be src.
PIXORAN_CORE_EXPORT void SwapRedBlueRow(const uint8_t* src, uint8_t* dst, int32_t width);
PIXORAN_CORE_EXPORT void BGRRowToCMYK(const uint8_t* src, uint8_t* dst, int32_t width);

}  // namespace pixoran
