// Fuzz target of the PNM and WBMP readers: every input is read as both; an
// image that reads cleanly is written back in the same format and must read
// back to the same pixels.
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_roundtrip.h"
#include "fuzz/fuzz_support.h"
#include "io/formats/pnm/pnmfilt.h"

using namespace pixoran;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::UseTempFilesForLargeImages();
  for (int pass = 0; pass < 2; ++pass) {
    const bool wbmp = pass == 1;
    TReadOnlyMemoryStream stream(data, static_cast<int64_t>(size));
    TPXBitmap bitmap;
    TIOParamsVals params;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    if (wbmp) {
      ReadWBMPStream(stream, bitmap, params, progress, false);
    } else {
      IsPNMStream(stream);
      ReadPNMStream(stream, bitmap, params, progress, false);
    }
    if (aborting || bitmap.Width() <= 0 || int64_t{bitmap.Width()} * bitmap.Height() > (1 << 16)) continue;
    // Grey images are written as P5, which keeps them exactly.
    TMemoryStream out;
    wbmp ? WriteWBMPStream(out, bitmap, progress) : WritePNMStream(out, bitmap, params, progress);
    if (aborting) std::abort();
    out.SetPosition(0);
    TPXBitmap back;
    TIOParamsVals backParams;
    wbmp ? ReadWBMPStream(out, back, backParams, progress, false)
         : ReadPNMStream(out, back, backParams, progress, false);
    if (aborting || !fuzzing::SamePixels(bitmap, back)) std::abort();
  }
  return 0;
}
