// The JPEG module: its record, its two detection steps (the stream header
// early, the marker scan late) and its two save pages.
#include <cstring>
#include <string>

#include "io/formats/formats.h"
#include "io/formats/jpeg/jpegfilt.h"
#include "io/pxexif.h"
#include "io/pxformats.h"
#include "core/pxprogress.h"

namespace pixoran {

namespace {

void JPEGFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    bool paramsOnly, int64_t /*dataLength*/, TPXBitmap& /*alpha*/) {
  ReadJPEGStream(stream, nullptr, bitmap, params, progress, paramsOnly, false);
}

// The metadata segments are refreshed here, where a block too large for its
// segment can be reported as such.
void JPEGFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                     TPXBitmap* /*alpha*/) {
  std::string why;
  if (!WriteJPEGMetadata(params, &why)) {
    progress.Fail(iorTooLarge, "JPEG: " + why);
    return;
  }
  WriteJPEGStream(stream, bitmap, params, progress);
}

bool JPEGFormatProbe(TStream& stream) { return FindJPEGStart(stream) >= 0; }

void DescribeJPEG(const TIOParamsVals& params, std::string& text) {
  static const char* const kNames[] = {"", " Gray level", " YCbCr", " CMYK", " YCbCrK"};
  if (params.JPEGColorSpace < 5) text += kNames[params.JPEGColorSpace];
}

// The writer expands every row it can take itself and keeps native CMYK exact.
constexpr uint32_t kJPEGWriterFormats = PXFormatBit(pxBGR24) | PXFormatBit(pxCMYK) | PXFormatBit(pxBW1) |
                                        PXFormatBit(pxGray8) | PXFormatBit(pxGray16) | PXFormatBit(pxPal8);

// IPTC and EXIF move between the marker list and the record after every
// read (parameters-only too) and, in the writer, before every write.
constexpr TPXFormatCodec kCodecs[] = {{
    .FileType = ioJPEG,
    .FullName = "JPEG Bitmap",
    .Extensions = "JPG;JPEG;JPE",
    .LoadRoutes = "jpg;jpeg;jpe",
    .SaveRoutes = "jpg;jpeg;jpe",
    .Read = JPEGFormatRead,
    .Write = JPEGFormatWrite,
    .WriterFormats = kJPEGWriterFormats,
    .Probe = JPEGFormatProbe,
    .Magic = "JFIF",
    .Header = hrAlways,
    .Flags = cfLoadAll | cfSave,
    .AfterRead = [](TIOParamsVals& params, TPXIOResultRec& result) { ReadJPEGMetadata(params, &result); },
    .Describe = DescribeJPEG,
}};

bool SigJFIFHeader(const uint8_t* b) { return std::memcmp(b, "JFIF", 4) == 0 && b[4] == 0; }

// The stream header is the first test of all; the scan for a start-of-image
// marker, which skips leading junk, comes after every signature and the
// probes of the formats with clearer headers.
constexpr TPXDetectStep kSteps[] = {
    {.Rank = drJPEGStreamHeader, .FileType = ioJPEG, .MoreThan = 12, .Signature = SigJFIFHeader},
    {.Rank = drJPEG, .FileType = ioJPEG},
};

constexpr TSaveField kFields[] = {
    PX_SAVE_FIELD(JPEGQuality),        PX_SAVE_FIELD(JPEGColorSpace), PX_SAVE_FIELD(JPEGDCTMethod),
    PX_SAVE_FIELD(JPEGOptimalHuffman), PX_SAVE_FIELD(JPEGSmooth),     PX_SAVE_FIELD(JPEGProgressive),
};

constexpr TSavePageInfo kPages[] = {
    {ppgJPEG1, "TabSheetJPEG1", "JPEG", TSavePageMode::Full, ppJPEG, ioJPEG, 0, kFields, {}},
    {ppgJPEG2, "TabSheetJPEG2", "JPEG", TSavePageMode::Simplified, ppJPEG, ioJPEG, 0, kFields, {}},
};

}  // namespace

const TPXFormatModule& JPEGFormatModule() {
  static const TPXFormatModule module{kCodecs, kSteps, kPages};
  return module;
}

}  // namespace pixoran
