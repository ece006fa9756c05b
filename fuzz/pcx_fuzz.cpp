// Fuzz target of the PCX and DCX readers: every input is read as a PCX image
// and as a DCX file (its first and last page); an image that reads cleanly
// is written back, raw and run-length, and must read back to the same pixels.
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_roundtrip.h"
#include "fuzz/fuzz_support.h"
#include "io/formats/pcx/pcxfilter.h"

using namespace pixoran;

namespace {

void RoundTrip(TPXBitmap& image, uint8_t choice) {
  if (int64_t{image.Width()} * image.Height() > (1 << 16)) return;
  TIOParamsVals params;
  const bool bw = image.PixelFormat() == pxBW1;
  params.BitsPerSample = bw ? 1 : 8;
  params.SamplesPerPixel = bw ? 1 : 3;
  params.PCXCompression = choice & 1;
  fuzzing::CheckRoundTrip(
      image, [&](TMemoryStream& out, TPXProgressRec& progress) { WritePCXStream(out, image, params, progress); },
      [](TMemoryStream& in, TPXBitmap& back, TIOParamsVals& backParams, TPXProgressRec& progress) {
        ReadPCXStream(in, back, backParams, 0, progress, false);
      });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::UseTempFilesForLargeImages();
  const uint8_t choice = size ? data[size - 1] : 0;
  for (int pass = 0; pass < 3; ++pass) {
    TReadOnlyMemoryStream stream(data, static_cast<int64_t>(size));
    TPXBitmap bitmap;
    TIOParamsVals params;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    if (pass == 0) {
      ReadPCXStream(stream, bitmap, params, choice & 2 ? 0 : static_cast<int64_t>(size) / 2, progress, false);
    } else {
      params.DCXImageIndex = pass == 1 ? 0 : 1 << 20;
      DCXPageCount(stream);
      ReadDCXStream(stream, bitmap, params, progress, false);
    }
    if (!aborting && bitmap.Width() > 0 && bitmap.Height() > 0) RoundTrip(bitmap, choice);
  }
  return 0;
}
