#pragma once
// Lossless geometric transforms of whole bitmaps: mirrors, quarter turns and
// the two transposes, for every pixel format. The processing component's
// Flip and Rotate and the TIFF reader's orientation build on them.
#include <cstdint>

#include "platform/pxexport.h"

namespace pixoran {

class TPXBitmap;

// Mirrors the bitmap in place: direction 0 left-right, 1 top-bottom; other
// directions change nothing. The alpha channel is mirrored the same way.
// Every pixel format (a 1-bit row mirrors exactly its width's pixels).
PIXORAN_CORE_EXPORT void FlipBitmap(TPXBitmap& bitmap, int32_t direction);

// Quarter-turn and transpose copies into dest (a different bitmap),
// allocated height x width in the source's pixel format with its palette;
// an alpha channel is turned along. False (dest empty) when the storage
// cannot be had.
// Clockwise: dest (x, y) = source (y, H - 1 - x).
PIXORAN_CORE_EXPORT bool RotateRight90(TPXBitmap& source, TPXBitmap& dest);
// Counter-clockwise: dest (x, y) = source (W - 1 - y, x).
PIXORAN_CORE_EXPORT bool RotateLeft90(TPXBitmap& source, TPXBitmap& dest);
// Main diagonal: dest (x, y) = source (y, x).
PIXORAN_CORE_EXPORT bool TransposeBitmap(TPXBitmap& source, TPXBitmap& dest);
// Other diagonal: dest (x, y) = source (W - 1 - y, H - 1 - x).
PIXORAN_CORE_EXPORT bool TransverseBitmap(TPXBitmap& source, TPXBitmap& dest);

// The names the rotation code uses for its 24-bit and 8-bit images.
inline bool RotateRight90Bgr24(TPXBitmap& source, TPXBitmap& dest) { return RotateRight90(source, dest); }
inline bool RotateRight90Gray8(TPXBitmap& source, TPXBitmap& dest) { return RotateRight90(source, dest); }
inline bool RotateLeft90Bgr24(TPXBitmap& source, TPXBitmap& dest) { return RotateLeft90(source, dest); }
inline bool RotateLeft90Gray8(TPXBitmap& source, TPXBitmap& dest) { return RotateLeft90(source, dest); }

}  // namespace pixoran
