// The PCX module: the PCX and multipage DCX records, the three PCX
// detection steps and the DCX probe, and the PCX save page.
#include <cstring>

#include "io/formats/formats.h"
#include "io/formats/pcx/pcxfilter.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

void DescribePCX(const TIOParamsVals& params, std::string& text) {
  if (params.PCXCompression == 0) text += " Uncompressed";
}

constexpr TPXFormatCodec kCodecs[] = {
    {
        .FileType = ioPCX,
        .FullName = "PaintBrush",
        .Extensions = "PCX",
        .LoadRoutes = "pcx",
        .SaveRoutes = "pcx",
        .Read = PCXFormatRead,
        .Write = PCXFormatWrite,
        .WriterFormats = kPXWriter24,
        .Magic = "PCX2",
        .ShortMagic = "PCX",
        .Header = hrWhenEnabled,
        .Flags = cfLoadAll | cfSave | cfHeaderOnSuccess,
        .Describe = DescribePCX,
    },
    {
        .FileType = ioDCX,
        .FullName = "Multipage PCX",
        .Extensions = "DCX",
        .LoadRoutes = "dcx",
        .SaveRoutes = "dcx",
        .Read = DCXFormatRead,
        .Write = DCXFormatWrite,
        .WriterFormats = kPXWriterAny,
        .Probe = IsDCXStream,
        .Count = DCXPageCount,
        .ImageIndex = &TIOParamsVals::DCXImageIndex,
        .Flags = cfLoadAll | cfSave,
    },
};

bool SigPCXHeader(const uint8_t* b) { return std::memcmp(b, "PCX2", 4) == 0 && b[4] == 0; }
bool SigPCXOldHeader(const uint8_t* b) { return std::memcmp(b, "PCX", 3) == 0 && b[3] == 0; }
bool SigPCX(const uint8_t* b) { return b[0] == 0x0A && b[1] <= 5; }

// Both stream headers come before the real signatures; the bare PCX test is
// weak (two bytes) and wants a whole header, so it waits for BMP.
constexpr TPXDetectStep kSteps[] = {
    {.Rank = drPCXStreamHeader, .FileType = ioPCX, .MoreThan = 12, .Signature = SigPCXHeader},
    {.Rank = drPCXOldHeader, .FileType = ioPCX, .MoreThan = 4, .Signature = SigPCXOldHeader},
    {.Rank = drPCX, .FileType = ioPCX, .MoreThan = 128, .Signature = SigPCX},
    {.Rank = drDCX, .FileType = ioDCX},
};

constexpr TSaveField kFields[] = {
    PX_SAVE_FIELD(PCXCompression),
    PX_SAVE_FIELD(BitsPerSample),
    PX_SAVE_FIELD(SamplesPerPixel),
};
constexpr TSaveDepth kDepths[] = {{"B/W", 1, 1}, {"16", 4, 1}, {"256", 8, 1}, {"16M", 8, 3}};

constexpr TSavePageInfo kPages[] = {
    {ppgPCX1, "TabSheetPCX1", "PCX", TSavePageMode::Both, ppPCX, ioPCX, 0, kFields, kDepths},
};

}  // namespace

const TPXFormatModule& PCXFormatModule() {
  static const TPXFormatModule module{kCodecs, kSteps, kPages};
  return module;
}

}  // namespace pixoran
