#pragma once
// PaintBrush images (PCX) and multipage PCX files (DCX: a table of page
// offsets in front of PCX pages).
#include <cstdint>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

constexpr uint32_t kDCXMagic = 987654321;
constexpr int32_t kDCXMaxPages = 1024;

// Reads one PCX image of dataLength bytes from the stream's position
// (dataLength <= 0: to the end of the stream). Layouts: 1, 4 and 8 bits in
// one plane, 8 bits in three planes, 1 bit in four planes; any other ends
// with Aborting set, as do bad headers and truncated data (the rows read
// before stay in the bitmap). A 1-bit image keeps the two colours of the
// header palette: pxBW1 only for black then white, else pxPal8 with
// KeepNativeFormat, else pxBGR24; it stays black and white when the palette
// says nothing (version 3, or both entries one colour, as when all zero).
PIXORAN_IO_EXPORT void ReadPCXStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, int64_t dataLength,
                                     TPXProgressRec& progress, bool paramsOnly);
// Writes one PCX image at the stream's position: 1, 4 or 8 bits in one
// plane or 24 bits in three, as BitsPerSample x SamplesPerPixel asks (any
// other product writes 24 bits).
PIXORAN_IO_EXPORT void WritePCXStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress);

// Run-length encodes count bytes src[first], src[first + stride], ... into
// dest (room for 2 * count + 1 bytes); an odd count gets one 0 byte more,
// the pad byte of the even line. Returns the bytes written.
PIXORAN_IO_EXPORT int32_t EncodePCXRow(uint8_t* dest, const uint8_t* src, int32_t count, int32_t stride, int32_t first);

class TPXByteSource;

// One plane line of a PCX image, runs carried from one line into the next.
class PIXORAN_IO_EXPORT TPCXLineDecoder {
 public:
  explicit TPCXLineDecoder(bool rle) : rle_(rle) {}
  // Fills exactly count bytes; false when the data ran out first.
  bool Decode(TPXByteSource& src, uint8_t* line, int64_t count);

 private:
  bool rle_;
  int32_t pending_ = 0;  // bytes of the last run still owed to the next line
  uint8_t value_ = 0;
};

// True when the stream starts with the DCX magic and every page offset of
// its table lies inside the stream. The position is restored.
PIXORAN_IO_EXPORT bool IsDCXStream(TStream& stream);
// Entries of the page table (0 when the stream is no DCX). The position is restored.
PIXORAN_IO_EXPORT int32_t DCXPageCount(TStream& stream);
// The page offsets after the magic (up to 1024, ending at a 0 entry or the
// stream's end), read from the stream's position.
PIXORAN_IO_EXPORT std::vector<uint32_t> ReadDCXPageTable(TStream& stream);
// Each page's size: from its offset to the nearest larger one, or to streamSize.
PIXORAN_IO_EXPORT std::vector<int64_t> DCXPageSizes(const std::vector<uint32_t>& offsets, int64_t streamSize);

// Reads page DCXImageIndex (clamped to the pages and stored back).
PIXORAN_IO_EXPORT void ReadDCXStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly);
// Rewrites the whole stream with the bitmap inserted as page DCXImageIndex
// (an index past the pages appends, and the index it got is stored back).
// A failure leaves the stream as it was.
PIXORAN_IO_EXPORT void WriteDCXStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress);

// The I/O component's entry points (see io/pixoranio_codecs.h).
PIXORAN_IO_EXPORT void PCXFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);
PIXORAN_IO_EXPORT void PCXFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, TPXBitmap* alpha);
PIXORAN_IO_EXPORT void DCXFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                     TPXProgressRec& progress, bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);
PIXORAN_IO_EXPORT void DCXFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                                      TPXProgressRec& progress, TPXBitmap* alpha);

}  // namespace pixoran
