// The icon module: the icon and cursor records and their probes.
#include "io/formats/formats.h"
#include "io/formats/ico/icofilt.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

constexpr TPXFormatCodec kCodecs[] = {
    {
        .FileType = ioICO,
        .FullName = "Windows Icon",
        .Extensions = "ICO",
        .LoadRoutes = "ico",
        .SaveRoutes = "ico",
        .Read = ICOFormatRead,
        .Write = ICOFormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = IsICOStream,
        .Count = ICOImageCount,
        .ImageIndex = &TIOParamsVals::ICOImageIndex,
        .Flags = cfLoadAll | cfSave | cfAlphaFromReader | cfAlphaToWriter,
    },
    // Cursors are read only.
    {
        .FileType = ioCUR,
        .FullName = "Windows Cursor",
        .Extensions = "CUR",
        .LoadRoutes = "cur",
        .Read = CURFormatRead,
        .WriterFormats = kPXWriter24,
        .Probe = IsCURStream,
        .Count = ICOImageCount,
        .ImageIndex = &TIOParamsVals::CURImageIndex,
        .Flags = cfLoadAll | cfAlphaFromReader,
    },
};

constexpr TPXDetectStep kSteps[] = {
    {.Rank = drICO, .FileType = ioICO},
    {.Rank = drCUR, .FileType = ioCUR},
};

}  // namespace

const TPXFormatModule& ICOFormatModule() {
  static const TPXFormatModule module{kCodecs, kSteps, {}};
  return module;
}

}  // namespace pixoran
