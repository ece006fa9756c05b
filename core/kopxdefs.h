#pragma once
// Types shared by the whole library.
#include <cstdint>

#include "platform/pxexport.h"

namespace pixoran {

enum TPXPixelFormat : uint8_t { pxNone = 0, pxBW1, pxPal8, pxGray8, pxGray16, pxBGR24, px32f, pxCMYK };
constexpr int kPXPixelFormatCount = 8;
// Bits per pixel of each pixel format.
constexpr int32_t PXBitsPerPixel[kPXPixelFormatCount] = {0, 1, 8, 8, 16, 24, 32, 32};
inline int32_t BitsOfFormat(TPXPixelFormat f) { return f < kPXPixelFormatCount ? PXBitsPerPixel[f] : 0; }

enum TPXLocation : uint8_t { pxInMemory = 0, pxTempFile, pxTBitmap };

// Bit 0: read the file when a row is mapped; bit 1: write the row back when unmapped.
using TPXAccessMode = uint8_t;
constexpr TPXAccessMode pxaRead = 1;
constexpr TPXAccessMode pxaWrite = 2;

enum TResampleFilter : uint8_t {
  rfNone = 0,
  rfTriangle,
  rfHermite,
  rfBell,
  rfBSpline,
  rfLanczos3,
  rfMitchell,
  rfNearest,
  rfLinear,
  rfFastLinear,
  rfBilinear,
  rfBicubic
};

enum TMsgLanguage : uint8_t {
  msSystem = 0,
  msEnglish,
  msItalian,
  msGerman,
  msSpanish,
  msFrench,
  msPortuguese,
  msGreek,
  msRussian,
  msDutch,
  msSwedish,
  msPolish,
  msUser
};

// A pixel of pxBGR24 data: blue, green, red bytes.
struct PIXORAN_CORE_EXPORT TBGR {
  uint8_t b = 0, g = 0, r = 0;
  friend bool operator==(const TBGR&, const TBGR&) = default;
};
static_assert(sizeof(TBGR) == 3);

// Colour integer of the imaging core: blue in bits 0-7, green 8-15, red 16-23.
inline int32_t BGRToInt(TBGR c) { return c.b | (c.g << 8) | (c.r << 16); }
inline TBGR IntToBGR(int32_t v) {
  return TBGR{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
}

}  // namespace pixoran
