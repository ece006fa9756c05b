#pragma once
// Windows and OS/2 device-independent bitmaps: BMP, DIB and RLE files.
#include <cstdint>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

// Reads one BMP image at the stream's position. dataLength is the number of
// bytes the image occupies (0: unknown). headerLess: the stream starts at the
// info header (a packed DIB). Failure sets *progress.Aborting; nothing is
// thrown.
PIXORAN_IO_EXPORT void ReadBMPStream(TStream& stream, TPXBitmap& bitmap, int64_t dataLength, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly, bool headerLess);

// Writes the bitmap as one BMP image at the stream's position, with the depth,
// header kind and compression the record asks for. The bitmap is never
// changed. Failure (a short write, or storage for a converted copy that
// cannot be had) sets Aborting; nothing is thrown.
PIXORAN_IO_EXPORT void WriteBMPStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress);

// The pixel format a reader gives a 1-bit image of these two colours:
// pxBW1 only when they are black then white (a set bit white), else its
// palette kept (pxPal8) with keepNative, else blue-green-red, as the GIF
// reader does.
PIXORAN_IO_EXPORT TPXPixelFormat TwoColourFormat(const TBGR& colour0, const TBGR& colour1, bool keepNative);

// Run-length decoders. They write from file row 0 (the bottom row unless
// topDown) into an already allocated bitmap: pxBGR24 for the ToRGB forms,
// colours taken from palette (256 entries; nullptr reads every index as
// black), pxPal8 for the ToIndex forms (palette unused). They stay inside the
// bitmap and the data, and return false when the data ended before the
// end-of-bitmap escape or the last row, or a row could not be reached.
PIXORAN_IO_EXPORT bool DecodeRLE4ToRGB(const uint8_t* data, int64_t size, TPXBitmap& bitmap, bool topDown,
                                       TPXProgressRec& progress, const TBGR* palette);
PIXORAN_IO_EXPORT bool DecodeRLE4ToIndex(const uint8_t* data, int64_t size, TPXBitmap& bitmap, bool topDown,
                                         TPXProgressRec& progress, const TBGR* palette);
PIXORAN_IO_EXPORT bool DecodeRLE8ToRGB(const uint8_t* data, int64_t size, TPXBitmap& bitmap, bool topDown,
                                       TPXProgressRec& progress, const TBGR* palette);
PIXORAN_IO_EXPORT bool DecodeRLE8ToIndex(const uint8_t* data, int64_t size, TPXBitmap& bitmap, bool topDown,
                                         TPXProgressRec& progress, const TBGR* palette);

// Encode one row of indices (one per byte; RLE4 uses the low nibble) and its
// end-of-line escape; return the bytes written to out, which must hold
// 2 * width + 2 bytes.
PIXORAN_IO_EXPORT int32_t EncodeRLE4Row(const uint8_t* row, int32_t width, uint8_t* out);
PIXORAN_IO_EXPORT int32_t EncodeRLE8Row(const uint8_t* row, int32_t width, uint8_t* out);

}  // namespace pixoran
