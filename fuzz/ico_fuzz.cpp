// Fuzz target of the icon and cursor readers: every input is read as an
// icon (its first image and the one its last byte names) and as a cursor; an
// icon image that reads cleanly is written back at its own size and 24 bits
// and must read back to the same pixels.
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_roundtrip.h"
#include "fuzz/fuzz_support.h"
#include "io/formats/ico/icofilt.h"

using namespace pixoran;

namespace {

void RoundTrip(TPXBitmap& image) {
  const int32_t w = image.Width(), h = image.Height();
  if (w > 256 || h > 256) return;
  TIOParamsVals params;
  const int32_t bits[] = {image.PixelFormat() == pxBW1 ? 1 : 24};
  const std::array<int32_t, 2> sizes[] = {{w, h}};
  fuzzing::CheckRoundTrip(
      image,
      [&](TMemoryStream& out, TPXProgressRec& progress) { WriteICOStream(out, image, params, bits, sizes, progress); },
      [](TMemoryStream& in, TPXBitmap& back, TIOParamsVals& backParams, TPXProgressRec& progress) {
        std::unique_ptr<TPXMask> none;
        ReadICOStream(in, back, backParams, false, progress, none, true);
      });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::UseTempFilesForLargeImages();
  const uint8_t choice = size ? data[size - 1] : 0;
  for (int pass = 0; pass < 3; ++pass) {
    TReadOnlyMemoryStream stream(data, static_cast<int64_t>(size));
    TPXBitmap bitmap;
    std::unique_ptr<TPXMask> mask;
    TIOParamsVals params;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    if (pass < 2) {
      IsICOStream(stream);
      ICOImageCount(stream);
      params.ICOImageIndex = pass == 0 ? 0 : choice & 7;
      ReadICOStream(stream, bitmap, params, false, progress, mask, !(choice & 8));
      if (!aborting && bitmap.Width() > 0 && bitmap.Height() > 0) RoundTrip(bitmap);
    } else {
      IsCURStream(stream);
      params.CURImageIndex = choice & 3;
      ReadCURStream(stream, bitmap, params, false, progress, mask, false);
    }
  }
  return 0;
}
