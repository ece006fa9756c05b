#pragma once
// JPEG 2000 filter: binds OpenJPEG to the library's streams, bitmaps and
// parameter record. JP2 files and raw code streams (J2K) are both read and
// written.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

// A file stream on a new temporary file "pixoran..." in the library's
// temporary folder (the system's when none is set). The file is unlinked as
// soon as it is made, so it is gone when the stream is destroyed or the
// process dies. Construction raises EFCreateError when no file can be made.
class PIXORAN_IO_EXPORT TPXTmpStream : public TFileStream {
 public:
  TPXTmpStream();
  TPXTmpStream(const TPXTmpStream&) = delete;
  TPXTmpStream& operator=(const TPXTmpStream&) = delete;
  ~TPXTmpStream() override = default;

 private:
  explicit TPXTmpStream(std::unique_ptr<TFileStream> file);
};

// The first 12 bytes are a JP2 signature box. The position is restored.
PIXORAN_IO_EXPORT bool IsJP2Stream(TStream& stream);
// The stream starts with the SOC and SIZ markers of a raw code stream. The
// position is restored.
PIXORAN_IO_EXPORT bool IsJ2KStream(TStream& stream);

// Reads a JP2 file or a J2K code stream at the stream's position (the codec
// is chosen by the probes). 1-bit grey images come as pxBW1, all others as
// pxBGR24. paramsOnly fills the record from the headers alone and leaves the
// bitmap untouched. Failure sets Aborting; nothing is thrown.
PIXORAN_IO_EXPORT void ReadJ2000Stream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                                       TPXProgressRec& progress);

// Writes the bitmap at the stream's position: format 0 a JP2 file, 1 a raw
// code stream. J2000ColorSpace 0 writes grey, anything else RGB; a pxBW1
// bitmap always writes 1-bit grey. Other pixel formats are taken row by row
// as blue-green-red. The bitmap is never changed. Failure (a short write, a
// codec error, an image beyond the memory budget) sets Aborting.
PIXORAN_IO_EXPORT void WriteJ2000Stream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, int32_t format,
                                        TPXProgressRec& progress);

// The option text the record stands for: "rate=" and the rate (C locale),
// then " prg=lrcp" or " prg=rlcp" for progression orders 0 and 1.
PIXORAN_IO_EXPORT std::string BuildJ2000Options(const TIOParamsVals& params);

// The compression ratio handed to the codec for a rate (a fraction of the
// raw size): 0 (lossless) for rates of 1 or more, the codec's largest ratio
// for rates at or below its smallest (0 included) and for NaN.
PIXORAN_IO_EXPORT float J2000RateToRatio(double rate);

// Whether this build decodes and encodes JPEG 2000 (OpenJPEG is optional):
// without it the format is not offered, and the reader and writers fail
// with iorUnsupported.
PIXORAN_IO_EXPORT bool J2000Ready(bool write);

// The filter as the I/O component's descriptors call it (the reader for
// both formats; the JP2 and J2K writers). JPEG 2000 carries no
// transparency and no stream header.
PIXORAN_IO_EXPORT void J2000FormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                       TPXProgressRec& progress, bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);
PIXORAN_IO_EXPORT void JP2FormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, TPXBitmap* alpha);
PIXORAN_IO_EXPORT void J2KFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, TPXBitmap* alpha);

}  // namespace pixoran
