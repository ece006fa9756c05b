// The PNG module: its record, its detection step and its save page.
#include "io/formats/formats.h"
#include "io/formats/png/pngfilt.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

void DescribePNG(const TIOParamsVals& params, std::string& text) {
  if (params.PNGInterlaced) text += " Interlaced";
}

// The viewer shows the file's background colour around the picture.
bool PNGViewerBackground(const TIOParamsVals& params, TBGR& color) {
  color = params.PNGBackground;
  return true;
}

// The alpha travels both ways; the writer converts on a copy what its rows
// cannot take, so it is handed every pixel format.
constexpr TPXFormatCodec kCodecs[] = {{
    .FileType = ioPNG,
    .FullName = "Portable Network Graphics",
    .Extensions = "PNG",
    .LoadRoutes = "png",
    .SaveRoutes = "png",
    .Read = PNGFormatRead,
    .Write = PNGFormatWrite,
    .WriterFormats = kPXWriterAny,
    .Probe = IsPNGStream,
    .Flags = cfLoadAll | cfSave | cfAlphaFromReader | cfAlphaToWriter,
    .Describe = DescribePNG,
    .ViewerBackground = PNGViewerBackground,
}};

constexpr TPXDetectStep kSteps[] = {
    {.Rank = drPNG, .FileType = ioPNG, .MoreThan = 8},
};

constexpr TSaveField kFields[] = {
    PX_SAVE_FIELD(BitsPerSample), PX_SAVE_FIELD(SamplesPerPixel), PX_SAVE_FIELD(PNGBackground),
    PX_SAVE_FIELD(PNGInterlaced), PX_SAVE_FIELD(PNGFilter),       PX_SAVE_FIELD(PNGCompression),
};

constexpr TSavePageInfo kPages[] = {
    {ppgPNG1, "TabSheetPNG1", "PNG", TSavePageMode::Both, ppPNG, ioPNG, 0, kFields, kPXSaveRGBDepths},
};

}  // namespace

const TPXFormatModule& PNGFormatModule() {
  static const TPXFormatModule module{kCodecs, kSteps, kPages};
  return module;
}

}  // namespace pixoran
