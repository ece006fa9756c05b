// The metafile module: the WMF and EMF records. Metafiles have no stream
// filter: the component imports them from their files as whole pictures.
#include "io/formats/formats.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

constexpr TPXFormatCodec kCodecs[] = {
    {
        .FileType = ioWMF,
        .FullName = "Windows Metafile",
        .Extensions = "WMF",
        .LoadRoutes = "wmf",
        .Flags = cfLoadFile,
        .WholeFile = wfPicture,
    },
    {
        .FileType = ioEMF,
        .FullName = "Enhanced Windows Metafile",
        .Extensions = "EMF",
        .LoadRoutes = "emf",
        .Flags = cfLoadFile,
        .WholeFile = wfPicture,
    },
};

}  // namespace

const TPXFormatModule& MetafileFormatModule() {
  static const TPXFormatModule module{kCodecs, {}, {}};
  return module;
}

}  // namespace pixoran
