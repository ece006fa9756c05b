// The TIFF module: its record, its two detection steps and its two save pages.
#include <cstring>

#include "io/formats/formats.h"
#include "io/formats/tiff/tiffilt.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

void DescribeTIFF(const TIOParamsVals& params, std::string& text) {
  static const char* const kNames[] = {" Uncompressed", " Huffman",  " Group 3 Fax", " Group 3 Fax 2D", " Group 4 Fax",
                                       " LZW",          " Jpeg v.5", " Jpeg",        " PackBits RLE"};
  if (params.TIFFCompression < 9) text += kNames[params.TIFFCompression];
}

// Other formats reach the TIFF writer as a pxBGR24 copy.
constexpr uint32_t kTIFFWriterFormats =
    PXFormatBit(pxBGR24) | PXFormatBit(pxBW1) | PXFormatBit(pxGray8) | PXFormatBit(pxGray16) | PXFormatBit(pxPal8);

constexpr TPXFormatCodec kCodecs[] = {{
    .FileType = ioTIFF,
    .FullName = "TIFF Bitmap",
    .Extensions = "TIF;TIFF;FAX;G3N;G3F",
    .LoadRoutes = "tif;tiff;fax;g3n;g3f",
    .SaveRoutes = "tif;tiff;fax;g3n;g3f",
    .Read = TIFFFormatRead,
    .Write = TIFFFormatWrite,
    .WriterFormats = kTIFFWriterFormats,
    .Probe = IsTIFFStream,
    .Count = TIFFPageCount,
    .ImageIndex = &TIOParamsVals::TIFFImageIndex,
    .Magic = "TIFF",
    .Header = hrWhenEnabled,
    .Flags = cfLoadAll | cfSave | cfAlphaFromReader,
    .Describe = DescribeTIFF,
}};

bool SigTIFFHeader(const uint8_t* b) { return std::memcmp(b, "TIFF", 4) == 0 && b[4] == 0; }
bool SigTIFF(const uint8_t* b) { return (b[0] == 'I' && b[1] == 'I') || (b[0] == 'M' && b[1] == 'M'); }

// The stream header comes before the byte-order mark; "II" and "MM" claim a
// stream before every probe that follows.
constexpr TPXDetectStep kSteps[] = {
    {.Rank = drTIFFStreamHeader, .FileType = ioTIFF, .MoreThan = 12, .Signature = SigTIFFHeader},
    {.Rank = drTIFF, .FileType = ioTIFF, .MoreThan = 8, .Signature = SigTIFF},
};

constexpr TSaveField kFullFields[] = {
    PX_SAVE_FIELD(TIFFCompression),
    PX_SAVE_FIELD(TIFFImageIndex),
    PX_SAVE_FIELD(TIFFPhotometric),
    PX_SAVE_FIELD(TIFFXPos),
    PX_SAVE_FIELD(TIFFYPos),
    PX_SAVE_FIELD(TIFFDocumentName),
    PX_SAVE_FIELD(TIFFImageDescription),
    PX_SAVE_FIELD(TIFFPageName),
    PX_SAVE_FIELD(TIFFPageNumber),
    PX_SAVE_FIELD(TIFFPageCount),
    PX_SAVE_FIELD(BitsPerSample),
    PX_SAVE_FIELD(SamplesPerPixel),
};
constexpr TSaveField kSimpleFields[] = {
    PX_SAVE_FIELD(TIFFCompression),
    PX_SAVE_FIELD(TIFFPhotometric),
    PX_SAVE_FIELD(BitsPerSample),
    PX_SAVE_FIELD(SamplesPerPixel),
};

constexpr TSaveDepth kFullDepths[] = {{"B/W", 1, 1}, {"16", 4, 1}, {"256", 8, 1}, {"65536", 5, 3}, {"16M", 8, 3}};
constexpr TSaveDepth kSimpleDepths[] = {{"2", 1, 1}, {"16", 4, 1}, {"256", 8, 1}, {"65536", 5, 3}, {"16777216", 8, 3}};

constexpr TSavePageInfo kPages[] = {
    {ppgTIFF1, "TabSheetTIFF1", "TIFF", TSavePageMode::Full, ppTIFF, ioTIFF, 0, kFullFields, kFullDepths},
    {ppgTIFF2, "TabSheetTIFF2", "TIFF", TSavePageMode::Simplified, ppTIFF, ioTIFF, 0, kSimpleFields, kSimpleDepths},
};

}  // namespace

const TPXFormatModule& TIFFFormatModule() {
  static const TPXFormatModule module{kCodecs, kSteps, kPages};
  return module;
}

}  // namespace pixoran
