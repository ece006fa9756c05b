// Fuzz target of the JPEG 2000 reader: every input is read for its
// parameters, then decoded; an image that decodes cleanly is written back
// (JP2 or code stream, chosen by the input's last byte) and must read back
// to the same pixels, as the writer is lossless at the default rate.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "fuzz/fuzz_roundtrip.h"
#include "fuzz/fuzz_support.h"
#include "io/pixoranio_params.h"
#include "io/formats/jpeg2000/pxj2000.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

using namespace pixoran;

namespace {

// Larger images are read for their header only: the codec's time grows
// with the stored size, and the fuzzer's time goes to variety.
constexpr int64_t kMaxDecodedPixels = int64_t{1} << 18;
constexpr int64_t kMaxRoundTripPixels = int64_t{1} << 14;

bool SamePixels(TPXBitmap& a, TPXBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat()) return false;
  const bool bw = a.PixelFormat() == pxBW1;
  const int64_t bytes = bw ? a.Width() / 8 : int64_t{a.Width()} * 3;
  const int tail = bw ? a.Width() % 8 : 0;
  for (int32_t y = 0; y < a.Height(); ++y) {
    const uint8_t* pa = a.Scanline(y);
    const std::vector<uint8_t> ra(pa, pa + bytes + (tail ? 1 : 0));
    const uint8_t* rb = b.Scanline(y);
    if (std::memcmp(ra.data(), rb, static_cast<size_t>(bytes)) != 0) return false;
    if (tail && ((ra[bytes] ^ rb[bytes]) & (0xFF00 >> tail) & 0xFF)) return false;
  }
  return true;
}

void RoundTrip(TPXBitmap& image, uint8_t choice) {
  if (int64_t{image.Width()} * image.Height() > kMaxRoundTripPixels) return;
  TIOParamsVals params;
  params.BitsPerSample = 8;
  params.J2000ColorSpace = 1;
  params.J2000ProgressionOrder = choice & 1;
  fuzzing::CheckRoundTrip(
      image,
      [&](TMemoryStream& out, TPXProgressRec& progress) {
        WriteJ2000Stream(out, image, params, (choice >> 1) & 1, progress);
      },
      [](TMemoryStream& in, TPXBitmap& back, TIOParamsVals& backParams, TPXProgressRec& progress) {
        ReadJ2000Stream(in, back, backParams, false, progress);
      },
      SamePixels);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pixoran::fuzzing::UseTempFilesForLargeImages();
  const uint8_t choice = size ? data[size - 1] : 0;
  TReadOnlyMemoryStream stream(data, static_cast<int64_t>(size));
  TPXBitmap bitmap;
  TIOParamsVals params;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  ReadJ2000Stream(stream, bitmap, params, true, progress);
  if (aborting || int64_t{params.Width} * params.Height > kMaxDecodedPixels) return 0;
  stream.SetPosition(0);
  ReadJ2000Stream(stream, bitmap, params, false, progress);
  if (!aborting && bitmap.Width() > 0 && bitmap.Height() > 0) RoundTrip(bitmap, choice);
  return 0;
}
