// The BMP module: its record, its detection step and its save page.
#include "io/formats/bmp/bmpfilt.h"
#include "io/formats/formats.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

void BMPFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
                   int64_t dataLength, TPXBitmap& /*alpha*/) {
  ReadBMPStream(stream, bitmap, dataLength, params, progress, paramsOnly, false);
}

void BMPFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXBitmap* /*alpha*/) {
  WriteBMPStream(stream, bitmap, params, progress);
}

void DescribeBMP(const TIOParamsVals& params, std::string& text) {
  static const char* const kNames[] = {" ver.1", " ver.3", " OS/2 v.1", " OS/2 v.2"};
  if (params.BMPHeaderKind < 4) text += kNames[params.BMPHeaderKind];
}

// BMP, DIB and RLE files carry no transparency and no stream header.
constexpr TPXFormatCodec kCodecs[] = {{
    .FileType = ioBMP,
    .FullName = "Windows Bitmap",
    .Extensions = "BMP;DIB;RLE",
    .LoadRoutes = "bmp;dib;rle",
    .SaveRoutes = "bmp;dib;rle",
    .Read = BMPFormatRead,
    .Write = BMPFormatWrite,
    .WriterFormats = kPXWriterAny,
    .Flags = cfLoadAll | cfSave,
    .Describe = DescribeBMP,
}};

bool SigBMP(const uint8_t* b) { return b[0] == 'B' && b[1] == 'M'; }

constexpr TPXDetectStep kSteps[] = {
    {.Rank = drBMP, .FileType = ioBMP, .MoreThan = 14, .Signature = SigBMP},
};

constexpr TSaveField kFields[] = {
    PX_SAVE_FIELD(BMPCompression),
    PX_SAVE_FIELD(BitsPerSample),
    PX_SAVE_FIELD(SamplesPerPixel),
};
constexpr TSaveDepth kDepths[] = {{"B/W", 1, 1},   {"16", 4, 1},  {"256", 8, 1},
                                  {"65536", 5, 3}, {"16M", 8, 3}, {"16M (32bit)", 8, 3}};

constexpr TSavePageInfo kPages[] = {
    {ppgBMP1, "TabSheetBMP1", "BMP", TSavePageMode::Both, ppBMP, ioBMP, 0, kFields, kDepths},
};

}  // namespace

const TPXFormatModule& BMPFormatModule() {
  static const TPXFormatModule module{kCodecs, kSteps, kPages};
  return module;
}

}  // namespace pixoran
