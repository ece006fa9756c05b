// The PNM module: the portable pixmap and wireless bitmap records.
#include "io/formats/formats.h"
#include "io/formats/pnm/pnmfilt.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

constexpr TPXFormatCodec kCodecs[] = {
    {
        .FileType = ioPXM,
        .FullName = "Portable Pixmap, GrayMap, BitMap",
        .Extensions = "PXM;PPM;PGM;PBM",
        .LoadRoutes = "pxm;ppm;pgm;pbm",
        .SaveRoutes = "pxm;ppm;pgm;pbm",
        .Read = PNMFormatRead,
        .Write = PNMFormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = IsPNMStream,
        .Flags = cfLoadAll | cfSave,
    },
    // WBMP is never detected; it is read by type or by extension only.
    {
        .FileType = ioWBMP,
        .FullName = "Wireless Bitmap",
        .Extensions = "WBMP",
        .LoadRoutes = "wbmp",
        .SaveRoutes = "wbmp",
        .Read = WBMPFormatRead,
        .Write = WBMPFormatWrite,
        .WriterFormats = kPXWriter24,
        .Flags = cfLoadFile | cfLoadStream | cfSave | cfNoAutoAdjustDPI,
    },
};

constexpr TPXDetectStep kSteps[] = {
    {.Rank = drPXM, .FileType = ioPXM},
};

}  // namespace

const TPXFormatModule& PNMFormatModule() {
  static const TPXFormatModule module{kCodecs, kSteps, {}};
  return module;
}

}  // namespace pixoran
