// The TGA module: its record, its probe and its save page.
#include "io/formats/formats.h"
#include "io/formats/tga/pxtgafil.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

void DescribeTGA(const TIOParamsVals& params, std::string& text) {
  text += params.TGACompressed ? " Compressed" : " Uncompressed";
}

// ".win" loads and saves as TGA without being registered; ".pix" is
// registered and reaches TGA through the registry.
constexpr TPXFormatCodec kCodecs[] = {{
    .FileType = ioTGA,
    .FullName = "Targa Bitmap",
    .Extensions = "TGA;TARGA;VDA;ICB;VST;PIX",
    .LoadRoutes = "tga;targa;vda;icb;vst;win",
    .SaveRoutes = "tga;targa;vda;icb;vst;win",
    .Read = TGAFormatRead,
    .Write = TGAFormatWrite,
    .WriterFormats = kPXWriter24,
    .Probe = IsTGAStream,
    .Flags = cfLoadAll | cfSave | cfAlphaFromReader | cfAlphaToWriter,
    .Describe = DescribeTGA,
}};

constexpr TPXDetectStep kSteps[] = {
    {.Rank = drTGA, .FileType = ioTGA},
};

constexpr TSaveField kFields[] = {
    PX_SAVE_FIELD(BitsPerSample), PX_SAVE_FIELD(SamplesPerPixel), PX_SAVE_FIELD(TGABackground),
    PX_SAVE_FIELD(TGACompressed), PX_SAVE_FIELD(TGAImageName),    PX_SAVE_FIELD(TGADescriptor),
};

constexpr TSavePageInfo kPages[] = {
    {ppgTGA1, "TabSheetTGA1", "TGA", TSavePageMode::Both, ppTGA, ioTGA, 0, kFields, kPXSaveRGBDepths},
};

}  // namespace

const TPXFormatModule& TGAFormatModule() {
  static const TPXFormatModule module{kCodecs, kSteps, kPages};
  return module;
}

}  // namespace pixoran
