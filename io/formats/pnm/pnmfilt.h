#pragma once
// Portable anymaps (P1 to P6 read; P4, P5 and P6 written) and wireless
// bitmaps of type 0.
#include <cstdint>
#include <string>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

// The next header token: letters and digits run together; "#" gives "#"
// and the rest of its line, trimmed; empty at the end of the stream. The
// character ending a token is consumed.
PIXORAN_IO_EXPORT std::string ReadPNMToken(TStream& stream);

// A magic P1 to P6 (comments skipped) followed by a width and height above 0.
// The position is restored.
PIXORAN_IO_EXPORT bool IsPNMStream(TStream& stream);

// Failure (bad header, a maximum value of 0 or below, truncated data) sets
// Aborting; rows read before the data ended stay in the bitmap.
PIXORAN_IO_EXPORT void ReadPNMStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly);
// P4 for 1 bit, P5 for one 8-bit sample, P6 otherwise.
PIXORAN_IO_EXPORT void WritePNMStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress);

PIXORAN_IO_EXPORT void ReadWBMPStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, bool paramsOnly);
PIXORAN_IO_EXPORT void WriteWBMPStream(TStream& stream, TPXBitmap& bitmap, TPXProgressRec& progress);

// The I/O component's entry points (see io/pixoranio_codecs.h).
PIXORAN_IO_EXPORT void PNMFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);
PIXORAN_IO_EXPORT void PNMFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, TPXBitmap* alpha);
PIXORAN_IO_EXPORT void WBMPFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);
PIXORAN_IO_EXPORT void WBMPFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                       TPXProgressRec& progress, TPXBitmap* alpha);

}  // namespace pixoran
