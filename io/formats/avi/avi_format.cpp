// The AVI module: a record the registry never lists. A file named .avi
// loads its first frame; AVI is detected from a stream but has no stream
// filter, and LoadFromFileFormat does not take it (no cfLoadFile), so loads
// of it by type or from a stream fail.
#include "io/formats/formats.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

constexpr TPXFormatCodec kCodecs[] = {{
    .FileType = ioAVI,
    .LoadRoutes = "avi",
    .Probe = IsAVIStream,
    .WholeFile = wfFirstFrame,
}};

constexpr TPXDetectStep kSteps[] = {
    {.Rank = drAVI, .FileType = ioAVI},
};

}  // namespace

const TPXFormatModule& AVIFormatModule() {
  static const TPXFormatModule module{kCodecs, kSteps, {}};
  return module;
}

}  // namespace pixoran
