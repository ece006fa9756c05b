// The PostScript and PDF module: two write-only records.
#include "io/formats/formats.h"
#include "io/formats/pspdf/pspdffilt.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

constexpr TPXFormatCodec kCodecs[] = {
    {
        .FileType = ioPS,
        .FullName = "PostScript Level 2",
        .Extensions = "PS;EPS",
        .SaveRoutes = "ps;eps",
        .Write = PSFormatWrite,
        .WriterFormats = kPXWriter24,
        .Flags = cfSave,
    },
    {
        .FileType = ioPDF,
        .FullName = "Adobe PDF",
        .Extensions = "PDF",
        .SaveRoutes = "pdf",
        .Write = PDFFormatWrite,
        .WriterFormats = kPXWriter24,
        .Flags = cfSave,
    },
};

}  // namespace

const TPXFormatModule& PSPDFFormatModule() {
  static const TPXFormatModule module{kCodecs, {}, {}};
  return module;
}

}  // namespace pixoran
