// The JPEG 2000 module: the file (JP2) and code stream (J2K) records, their
// probes, and the one save page that serves both.
#include "io/formats/formats.h"
#include "io/formats/jpeg2000/pxj2000.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

void DescribeJ2000(const TIOParamsVals& params, std::string& text) {
  static const char* const kNames[] = {" Gray level", " RGB", " YCbCr"};
  if (params.J2000ColorSpace < 3) text += kNames[params.J2000ColorSpace];
}

constexpr TPXFormatCodec kCodecs[] = {
    {
        .FileType = ioJP2,
        .FullName = "JPEG2000",
        .Extensions = "JP2",
        .LoadRoutes = "jp2",
        .SaveRoutes = "jp2",
        .Read = J2000FormatRead,
        .Write = JP2FormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = IsJP2Stream,
        .Flags = cfLoadAll | cfSave,
        .Describe = DescribeJ2000,
        .Ready = J2000Ready,
    },
    {
        .FileType = ioJ2K,
        .FullName = "JPEG2000 Code Stream",
        .Extensions = "J2K;JPC;J2C",
        .LoadRoutes = "j2k;jpc;j2c",
        .SaveRoutes = "j2k;jpc;j2c",
        .Read = J2000FormatRead,
        .Write = J2KFormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = IsJ2KStream,
        .Flags = cfLoadAll | cfSave,
        .Describe = DescribeJ2000,
        .Ready = J2000Ready,
    },
};

constexpr TPXDetectStep kSteps[] = {
    {.Rank = drJP2, .FileType = ioJP2},
    {.Rank = drJ2K, .FileType = ioJ2K},
};

constexpr TSaveField kFields[] = {
    PX_SAVE_FIELD(J2000Rate),
    PX_SAVE_FIELD(J2000ColorSpace),
    PX_SAVE_FIELD(SamplesPerPixel),
};

// The code stream is what OK stores; a JP2 record is edited on the same page.
constexpr TSavePageInfo kPages[] = {
    {ppgJ20001, "TabSheetJ20001", "JPEG2000", TSavePageMode::Both, ppJ2000, ioJ2K, ioJP2, kFields, {}},
};

}  // namespace

const TPXFormatModule& J2000FormatModule() {
  static const TPXFormatModule module{kCodecs, kSteps, kPages};
  return module;
}

}  // namespace pixoran
