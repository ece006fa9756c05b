#pragma once
// JPEG filter: binds libjpeg (6.2 API, libjpeg-turbo) to the library's
// streams, bitmaps and parameter record.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/pxexport.h"
#include "platform/streams.h"

namespace pixoran {

class TPXBitmap;
class TIOParamsVals;
struct TPXProgressRec;

// Raised by the writer when the codec reports an error. Its text is the
// codec's message with every printf placeholder shown as "?".
class PIXORAN_IO_EXPORT EPXJpegException : public std::runtime_error {
 public:
  EPXJpegException(const std::string& message, int code) : std::runtime_error(message), code_(code) {}
  // The codec's message code (they differ between libjpeg versions: compare texts).
  int Code() const { return code_; }

 private:
  int code_;
};

// Position of the first FF D8 FF among the 100 positions starting at the
// stream's current position, or -1. The stream's position is restored.
PIXORAN_IO_EXPORT int64_t FindJPEGStart(TStream& stream);

// Reads a JPEG image from the stream's current position (leading bytes
// before the start-of-image marker are skipped, see FindJPEGStart).
// tablesStream: an abbreviated table-only datastream read first (TIFF), or
//   nullptr.
// paramsOnly: fill the record (including the scaled output size) without
//   decoding the image; the bitmap is left untouched.
// rgbComponents: the three components hold red, green and blue without a
//   colour transform (TIFF photometric RGB).
// Failure sets *progress.Aborting with its kind and a text naming JPEG; a
// truncated file keeps its image (the codec fills the missing rows) and is
// noted as corrupt without Aborting. Nothing is thrown.
PIXORAN_IO_EXPORT void ReadJPEGStream(TStream& stream, TStream* tablesStream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, bool paramsOnly, bool rgbComponents = false);

// Writes the bitmap as a JPEG file at the stream's current position, taking
// every option from the record. The bitmap is only read: pxBGR24 and pxCMYK
// rows are taken as they are, pxBW1, pxGray8, pxGray16 and pxPal8 rows are
// expanded one at a time; other formats set Aborting. A short write sets
// Aborting and stops. A codec error sets Aborting and raises EPXJpegException
// after every codec resource has been released. Failures are recorded with
// their kind and a text naming JPEG on the progress record.
// tiffInk: CMYK and YCCK data hold ink as TIFF defines it (0 = no ink), not
//   the complement the JPEG file convention stores, and no Adobe marker is
//   written (the TIFF writer's JPEG strips).
PIXORAN_IO_EXPORT void WriteJPEGStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                       TPXProgressRec& progress, bool tiffInk = false);

// The codec's text for a message code, placeholders shown as "?"; "Corrupted"
// for a code outside the codec's table (as JPEGWarningCode may hold).
PIXORAN_IO_EXPORT std::string JpegMessageText(int code);

}  // namespace pixoran
