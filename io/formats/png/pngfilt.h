#pragma once
// PNG filters: the reader and probe (pngfilt.cpp) and the writer
// (pngfiltw.cpp) bind libpng 1.6 to the library's streams, bitmaps, masks and
// parameter record.
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "platform/pxexport.h"
#include "platform/streams.h"

namespace pixoran {

class TPXBitmap;
class TPXMask;
class TIOParamsVals;
struct TPXProgressRec;

// Raised by the PNG writer when the codec fails ("Error on creating PNG").
class PIXORAN_IO_EXPORT EInvalidGraphic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether the stream's next bytes start with the PNG signature. The
// stream's position is the same afterwards, whatever happens.
PIXORAN_IO_EXPORT bool IsPNGStream(TStream& stream);

// Reads a PNG image at the stream's position into the bitmap (pxBW1 for
// black-and-white 1-bit images, pxPal8 or pxGray8 for 8-bit palette or grey
// images without transparency when KeepNativeFormat is set, pxBGR24
// otherwise) and fills the record.
// blendAlpha: transparency is composited over the file's bKGD colour (stored
//   in PNGBackground) or else over PNGBackground; mask is left alone.
// Otherwise mask (created when null) gets the image's size and its alpha,
//   255 everywhere for an opaque image.
// paramsOnly: fill the record; the bitmap and mask are left untouched.
// Failure sets *progress.Aborting; nothing is thrown. Rows read before a
// failure stay in the bitmap.
PIXORAN_IO_EXPORT void ReadPNGStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, bool blendAlpha,
                                     std::unique_ptr<TPXMask>& mask, bool paramsOnly, TPXProgressRec& progress);

// Writes the bitmap (only read) as a PNG at the stream's position with the
// record's samples, bits, interlace, filter, compression, resolution and
// background. mask may be null; a mask whose Full flag is set counts as
// none. A short write sets Aborting and stops; a codec error sets Aborting
// and raises EInvalidGraphic once the codec's resources are released.
PIXORAN_IO_EXPORT void WritePNGStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXMask* mask,
                                      TPXProgressRec& progress);

// The same filters in the I/O component's calling shape: the alpha goes into
// (and comes from) an 8-bit bitmap of the image's size, which the reader
// leaves empty for an image without transparency.
PIXORAN_IO_EXPORT void PNGFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);
PIXORAN_IO_EXPORT void PNGFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, TPXBitmap* alpha);

}  // namespace pixoran
