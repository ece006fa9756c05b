#pragma once
// Windows icons (read and written) and cursors (read).
#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxmask.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

// A directory of type 1 (icon) or 2 (cursor) with at least one entry, every
// entry sane (reserved 0, a size, an image after the entry). The position
// is restored.
PIXORAN_IO_EXPORT bool IsICOStream(TStream& stream);
PIXORAN_IO_EXPORT bool IsCURStream(TStream& stream);
// The directory's image count (0 when the stream holds no icon or cursor).
// The position is restored.
PIXORAN_IO_EXPORT int32_t ICOImageCount(TStream& stream);

// Reads image ICOImageIndex of an icon: bitmap-header images of 1, 4, 8,
// 24 and 32 bits, and PNG images through the PNG filter. Unless noMask, the
// 8-bit transparency (255 opaque) goes into the mask, created in the holder
// when empty; an AND mask that ends early reads as opaque where it is
// missing. Every depth below 32 bits applies its AND mask: its pixels take
// ICOBackground (CURBackground), except in a black-and-white image. A 1-bit
// image keeps its two colours: pxBW1 only for black then white, else pxPal8
// (the background as entry 2) with KeepNativeFormat, else pxBGR24. A
// stream that starts with "BM" is read as a BMP. An index past the images,
// a bad image header or truncated colour data set Aborting.
PIXORAN_IO_EXPORT void ReadICOStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                                     TPXProgressRec& progress, std::unique_ptr<TPXMask>& mask, bool noMask);
// Reads image CURImageIndex of a cursor, and its hot spot into CURHotSpotX
// and CURHotSpotY.
PIXORAN_IO_EXPORT void ReadCURStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                                     TPXProgressRec& progress, std::unique_ptr<TPXMask>& mask, bool noMask);

// Writes an icon with one image per size (1..256 each side) at the matching
// bit count (1, 4, 8, 32; 0 takes the depth from the record; others 24),
// each resampled from the bitmap. alpha, when given and the bitmap has no
// alpha channel of its own, is the bitmap's transparency.
PIXORAN_IO_EXPORT void WriteICOStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      std::span<const int32_t> bitCounts, std::span<const std::array<int32_t, 2>> sizes,
                                      TPXProgressRec& progress, TPXBitmap* alpha = nullptr);

// The I/O component's entry points (see io/pixoranio_codecs.h). The writer
// takes the leading ICOSizes whose width is above 0 with their ICOBitCounts.
PIXORAN_IO_EXPORT void ICOFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);
PIXORAN_IO_EXPORT void ICOFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, TPXBitmap* alpha);
PIXORAN_IO_EXPORT void CURFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);

}  // namespace pixoran
