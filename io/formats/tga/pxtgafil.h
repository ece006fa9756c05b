#pragma once
// Targa images, with the version 2 footer and extension area.
#include <cstdint>
#include <memory>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxmask.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

// An 18-byte header of a known image type, depth and colour-map type that
// does not start like a portable anymap. The position is restored.
PIXORAN_IO_EXPORT bool IsTGAStream(TStream& stream);

// Reads the image at the stream's position. Unless noMask, the 8-bit alpha
// of a 32-bit image with 8 alpha bits, or of a 16-bit grey image (types 3
// and 11: a grey byte, then an alpha byte) whose descriptor gives 8 alpha
// bits, goes into the mask, created in the holder when empty (other images
// leave the holder alone). The grey of a 16-bit grey image is read as the
// 8-bit grey images are. A header the
// probe refuses, or truncated data, sets Aborting (the rows read before
// stay in the bitmap).
PIXORAN_IO_EXPORT void ReadTGAStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly, std::unique_ptr<TPXMask>& mask,
                                     bool noMask);
// Writes 1, 4, 8, 24 or (with an 8-bit mask of the image's size that is
// not all 255: its values as alpha) 32 bits; the bitmap is never changed.
PIXORAN_IO_EXPORT void WriteTGAStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, TPXMask* mask);

// Run-length packets of width pixels of pixelBytes bytes each into out
// (room for width * (pixelBytes + 1) bytes); returns the bytes written.
PIXORAN_IO_EXPORT int32_t EncodeTGARow(const uint8_t* row, int32_t width, int32_t pixelBytes, uint8_t* out);

// The I/O component's entry points (see io/pixoranio_codecs.h).
PIXORAN_IO_EXPORT void TGAFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);
PIXORAN_IO_EXPORT void TGAFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, TPXBitmap* alpha);

}  // namespace pixoran
