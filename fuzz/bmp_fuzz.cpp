// Fuzz target of the BMP reader: every input is read as a file and as a
// header-less DIB; an image that reads cleanly is written back and must read
// back to the same pixels.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "fuzz/fuzz_roundtrip.h"
#include "fuzz/fuzz_support.h"
#include "io/formats/bmp/bmpfilt.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

using namespace pixoran;

namespace {

// Writes a cleanly read image back in the depth it was read to, with and
// without run-length compression, and reads it again.
void RoundTrip(TPXBitmap& image, uint8_t choice) {
  if (int64_t{image.Width()} * image.Height() > (1 << 16)) return;
  TIOParamsVals params;
  switch (image.PixelFormat()) {
    case pxBW1: params.BitsPerSample = 1, params.SamplesPerPixel = 1; break;
    case pxPal8: params.BitsPerSample = 8, params.SamplesPerPixel = 1; break;
    default: params.BitsPerSample = 8, params.SamplesPerPixel = 3; break;
  }
  params.BMPCompression = choice & 1;
  params.BMPHeaderKind = (choice >> 1) & 3;
  fuzzing::CheckRoundTrip(
      image, [&](TMemoryStream& out, TPXProgressRec& progress) { WriteBMPStream(out, image, params, progress); },
      [&](TMemoryStream& in, TPXBitmap& back, TIOParamsVals& backParams, TPXProgressRec& progress) {
        backParams.KeepNativeFormat = image.PixelFormat() == pxPal8;
        ReadBMPStream(in, back, 0, backParams, progress, false, false);
      });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pixoran::fuzzing::UseTempFilesForLargeImages();
  const uint8_t choice = size ? data[size - 1] : 0;
  for (int pass = 0; pass < 2; ++pass) {
    const bool headerLess = pass == 1;
    TReadOnlyMemoryStream stream(data, static_cast<int64_t>(size));
    TPXBitmap bitmap;
    TIOParamsVals params;
    params.KeepNativeFormat = ((choice >> 3) ^ pass) & 1;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    ReadBMPStream(stream, bitmap, 0, params, progress, false, headerLess);
    if (!aborting && bitmap.Width() > 0 && bitmap.Height() > 0) RoundTrip(bitmap, choice);
  }
  return 0;
}
