// Fuzz target of the TGA reader: an image that reads cleanly is written back
// at 24 bits (32 with its alpha), raw or run-length, and must read back to
// the same pixels.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_roundtrip.h"
#include "fuzz/fuzz_support.h"
#include "io/formats/tga/pxtgafil.h"

using namespace pixoran;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::UseTempFilesForLargeImages();
  const uint8_t choice = size ? data[size - 1] : 0;
  TReadOnlyMemoryStream stream(data, static_cast<int64_t>(size));
  IsTGAStream(stream);
  TPXBitmap bitmap;
  TIOParamsVals params;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  std::unique_ptr<TPXMask> mask;
  ReadTGAStream(stream, bitmap, params, progress, choice & 4, mask, !(choice & 2));
  if (aborting || bitmap.Width() <= 0 || int64_t{bitmap.Width()} * bitmap.Height() > (1 << 16)) return 0;
  TIOParamsVals out;
  const bool bw = bitmap.PixelFormat() == pxBW1;
  out.BitsPerSample = bw ? 1 : 8;
  out.SamplesPerPixel = bw ? 1 : 3;
  out.TGACompressed = choice & 1;
  out.TGADescriptor = params.TGADescriptor;
  TMemoryStream file;
  WriteTGAStream(file, bitmap, out, progress, mask.get());
  if (aborting) std::abort();
  file.SetPosition(0);
  TPXBitmap back;
  std::unique_ptr<TPXMask> backMask;
  TIOParamsVals backParams;
  ReadTGAStream(file, back, backParams, progress, false, backMask, false);
  // The writer keeps 254 bytes of the ID and the reader strips trailing NULs,
  // so a cut that ends in a NUL reads back shorter.
  std::string expected = params.TGADescriptor.substr(0, 254);
  while (!expected.empty() && expected.back() == '\0') expected.pop_back();
  if (aborting || !fuzzing::SamePixels(bitmap, back) || backParams.TGADescriptor != expected) std::abort();
  return 0;
}
