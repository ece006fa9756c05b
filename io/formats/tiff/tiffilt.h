#pragma once
// TIFF reader: one page of a TIFF file (or of a TIFF structure inside another
// stream) into a bitmap, an optional transparency map and the parameter
// record; and the page count of a TIFF stream.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

// Software tags that start with this mark 16-bit grey samples of the full
// range (others are taken as 12-bit data); the writer marks its own pages.
inline constexpr char kFullRangeSoftware[] = "Tolvaren Scan16";  // 15 characters
// Between the signature and the user's Software text.
inline constexpr char kFullRangeSeparator[] = "; ";

// The Software text of a full-range page: the signature, then the user's
// text (once: a text that already starts with the signature is kept).
PIXORAN_IO_EXPORT std::string FullRangeSoftware(const std::string& userText);
// The user's text of a Software tag, without a leading signature.
PIXORAN_IO_EXPORT std::string UserSoftware(const std::string& tagText);

// Reads the page whose index is params->TIFFImageIndex and sets pageCount to
// the number of directories in the chain.
// - bitmap nullptr and params nullptr: only the pages are counted.
// - allowNoSize: a page without width or height is not a failure.
// - noAlpha: no transparency is read.
// - startsHere: the TIFF starts at the stream's position (its offsets are
//   relative to it); otherwise at 0.
// - alpha: when the page carries transparency (and noAlpha is not set), or
//   when alpha is not empty, it becomes a pxGray8 map of the page's size,
//   255 where nothing is known; nullptr drops transparency.
// - paramsOnly: the record is filled, no pixels are decoded.
// - dataLength: bytes the TIFF may occupy from its start (0: to the end).
// - maxPixels: a page of more pixels is refused (0: no bound beyond the
//   reader's own).
// - allowNoSize also lets a page without size whose image is a JPEG
//   interchange stream (an EXIF thumbnail) take the stream's size.
// Failure sets *progress.Aborting (metadata read before it stays in the
// record); nothing is thrown.
PIXORAN_IO_EXPORT void ReadTIFFStream(TPXBitmap* bitmap, TStream& stream, int32_t& pageCount, bool allowNoSize,
                                      bool noAlpha, bool startsHere, TPXBitmap* alpha, bool paramsOnly,
                                      TPXProgressRec& progress, TIOParamsVals* params, int64_t dataLength = 0,
                                      int64_t maxPixels = 0);

// Pages of the TIFF at the stream's position (0 when it is not one). The
// stream's position is restored.
PIXORAN_IO_EXPORT int32_t TIFFPageCount(TStream& stream);

// "II*\0" or "MM\0*" at the stream's position, which is restored.
PIXORAN_IO_EXPORT bool IsTIFFStream(TStream& stream);

// The I/O component's reader: the page params.TIFFImageIndex of the TIFF at
// the stream's position, its transparency into alpha.
PIXORAN_IO_EXPORT void TIFFFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);

// Writes the bitmap as a little-endian page: a new one-page TIFF at the
// stream's position, or (append) a page inserted as page
// params.TIFFImageIndex (past the end: the last) into the little-endian TIFF
// at the stream's position. Offsets are relative to where the TIFF starts.
// bitmap nullptr writes a directory of tags only. The record's
// BitsPerSample, SamplesPerPixel, TIFFCompression and TIFFPhotometric become
// what was written. Returns the file's page count (0 when appending to what
// is not a little-endian TIFF); failure sets *progress.Aborting.
PIXORAN_IO_EXPORT int32_t WriteTIFFStream(TStream& stream, bool append, TPXBitmap* bitmap, TPXProgressRec& progress,
                                          TIOParamsVals& params);

// Adds a second directory holding a JPEG thumbnail (compression 6 with
// JPEGInterchangeFormat) to the one-page little-endian TIFF at the stream's
// position; the position is restored. False when that is not such a TIFF or
// a write fails.
PIXORAN_IO_EXPORT bool AppendTIFFJPEGThumbnail(TStream& stream, const std::vector<uint8_t>& jpeg, double xres,
                                               double yres, int32_t unit);

// One row PackBits-coded onto the stream; a short write sets error.
PIXORAN_IO_EXPORT void EncodePackBits(const uint8_t* data, int32_t length, TStream& stream, bool& error);

// The I/O component's writer: a new one-page TIFF.
PIXORAN_IO_EXPORT void TIFFFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                       TPXProgressRec& progress, TPXBitmap* alpha);

}  // namespace pixoran
