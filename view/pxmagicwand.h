#pragma once
// The magic wand: the region of similar colour around a point of a bitmap.
// A pixel matches when each of its blue, green and red channels differs from
// the seed pixel's by at most the tolerance. The region is 4-connected and
// found span by span; it can come back as an outline along pixel edges, be
// written into a selection mask, or every matching pixel of the image can be
// written into the mask regardless of connection.
#include <cstdint>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxutils_geometry.h"

namespace pixoran {

class TPXBitmap;
class TPXMask;

// The outline of the region around (x, y) in image coordinates (pixel
// edges). Empty when the point lies outside the image or the work memory
// cannot be had. With the maximum filter the region first grows by one pixel
// (within the region's own bounds).
PIXORAN_VIEW_EXPORT std::vector<TPXPoint> MagicWandPolygon(TPXBitmap& bitmap, int32_t x, int32_t y, int32_t tolerance,
                                                           bool maxFilter);

// Sets the region's pixels of the mask to value; with the maximum filter
// their 3 x 3 neighbourhoods (cut to the image). False, mask unchanged, for a
// point outside the image or when the work memory cannot be had.
PIXORAN_VIEW_EXPORT bool MagicWandFloodFill(TPXBitmap& bitmap, int32_t x, int32_t y, uint8_t value, TPXMask& mask,
                                            int32_t tolerance, bool maxFilter);

// Sets to value every mask pixel whose image pixel matches the colour at
// (x, y). False, mask unchanged, for a point outside the image.
PIXORAN_VIEW_EXPORT bool MagicWandColorMatch(TPXBitmap& bitmap, int32_t x, int32_t y, uint8_t value, TPXMask& mask,
                                             int32_t tolerance);

}  // namespace pixoran
