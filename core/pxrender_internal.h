#pragma once
// Pieces shared by the rendering sources; not part of the library's face.
#include <cstdint>
#include <memory>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_bitmap.h"

namespace pixoran {

class TPXBitmap;
class TPXBaseBitmap;

namespace render_detail {

using TAccessScope = TPXAccessScope;

// 16.16 contrast factor: (1 - sqrt(-c) / 10) for negative c, else c / 10 + 1.
PIXORAN_CORE_EXPORT int32_t ContrastFactor(int32_t contrast);
// clamp(k * (v + offset - 128) div 65536 + 128), without overflow.
PIXORAN_CORE_EXPORT uint8_t AdjustChannel(int32_t v, int32_t offset, int32_t k);
// GrayMin and GrayMax are finite and differ: grey samples are mapped.
PIXORAN_CORE_EXPORT bool HasGrayRange(const TPXBitmap& b);
// Grey-range mapping of one sample to a byte (floats, and integer samples).
PIXORAN_CORE_EXPORT uint8_t GrayRangeToByte(double v, double grayMin, double grayMax);
PIXORAN_CORE_EXPORT uint8_t GrayRangeIntToByte(int64_t v, double grayMin, double grayMax);

// An empty working bitmap that takes its memory threshold from its maker.
PIXORAN_CORE_EXPORT std::unique_ptr<TPXBitmap> NewWorkBitmap(const TPXBitmap& maker);

// A pxBGR24 copy of a source rectangle as the renderer shows it (grey
// range, palette, CMYK), with the rectangle of the alpha channel and its
// Full flag when withAlpha is set and the source has one of its size.
// nullptr when the rectangle is empty or storage cannot be had.
PIXORAN_CORE_EXPORT std::unique_ptr<TPXBitmap> MakeBGR24Copy(TPXBitmap& source, int32_t x, int32_t y, int32_t w,
                                                             int32_t h, bool withAlpha);

// The source's alpha channel when it exists, is pxGray8 and has the
// source's size; nullptr otherwise (a mismatched channel would be read out
// of its rows).
PIXORAN_CORE_EXPORT TPXBitmap* UsableAlpha(TPXBitmap& source);

}  // namespace render_detail
}  // namespace pixoran
