// The GIF module: its record, its detection step and its two save pages.
#include <cstring>

#include "io/formats/formats.h"
#include "io/formats/gif/giffilter.h"
#include "io/iohooks.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

void DescribeGIF(const TIOParamsVals& params, std::string& text) {
  if (params.GIFInterlaced) text += " Interlaced";
}

// Reading and writing also need the LZW hooks.
bool GIFReady(bool write) {
  return write ? PXIOHooks().GIFLZWCompressHook != nullptr : PXIOHooks().GIFLZWDecompressHook != nullptr;
}

// The viewer shows the transparent colour around a transparent picture,
// else the logical screen's background.
bool GIFViewerBackground(const TIOParamsVals& params, TBGR& color) {
  color = params.GIFTransparent ? params.GIFTranspColor : params.GIFBackground;
  return true;
}

// A GIF load gives the wanted frame as the animation shows it: the reader
// composes the frames up to it.
constexpr TPXFormatCodec kCodecs[] = {{
    .FileType = ioGIF,
    .FullName = "CompuServe Bitmap",
    .Extensions = "GIF",
    .LoadRoutes = "gif",
    .SaveRoutes = "gif",
    .Read = GIFFormatRead,
    .Write = GIFFormatWrite,
    .WriterFormats = kPXWriterAny,
    .Count = CountGIFFrames,
    .ImageIndex = &TIOParamsVals::GIFImageIndex,
    .ImageCount = &TIOParamsVals::GIFImageCount,
    .Flags = cfLoadAll | cfSave | cfAlphaFromReader,
    .Describe = DescribeGIF,
    .Ready = GIFReady,
    .ViewerBackground = GIFViewerBackground,
}};

bool SigGIF(const uint8_t* b) { return std::memcmp(b, "GIF", 3) == 0; }

constexpr TPXDetectStep kSteps[] = {
    {.Rank = drGIF, .FileType = ioGIF, .MoreThan = 13, .Signature = SigGIF},
};

constexpr TSaveField kFullFields[] = {
    PX_SAVE_FIELD(GIFImageIndex), PX_SAVE_FIELD(GIFTransparent), PX_SAVE_FIELD(GIFTranspColor),
    PX_SAVE_FIELD(GIFInterlaced), PX_SAVE_FIELD(GIFBackground),  PX_SAVE_FIELD(GIFXPos),
    PX_SAVE_FIELD(GIFYPos),       PX_SAVE_FIELD(GIFDelayTime),   PX_SAVE_FIELD(BitsPerSample),
};
constexpr TSaveField kSimpleFields[] = {PX_SAVE_FIELD(BitsPerSample)};
// GIF depths count in bits per pixel alone.
constexpr TSaveDepth kDepths[] = {{"B/W", 1, 0}, {"4", 2, 0},  {"8", 3, 0},   {"16", 4, 0},
                                  {"32", 5, 0},  {"64", 6, 0}, {"128", 7, 0}, {"256", 8, 0}};

constexpr TSavePageInfo kPages[] = {
    {ppgGIF1, "TabSheetGIF1", "GIF", TSavePageMode::Full, ppGIF, ioGIF, 0, kFullFields, kDepths},
    {ppgGIF2, "TabSheetGIF2", "GIF", TSavePageMode::Simplified, ppGIF, ioGIF, 0, kSimpleFields, kDepths},
};

}  // namespace

const TPXFormatModule& GIFFormatModule() {
  static const TPXFormatModule module{kCodecs, kSteps, kPages};
  return module;
}

}  // namespace pixoran
