// Fuzz target of the PNG reader: every input is probed and read with the
// alpha into a mask, blended, natively and as the I/O component reads it;
// an image that reads cleanly is written back with its alpha and must read
// back to the same colours and alpha. Half the inputs get their chunk
// checksums made right first, so mutations reach the decoder instead of
// stopping at the checksum test.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <zlib.h>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/pxmask.h"
#include "fuzz/fuzz_support.h"
#include "io/pixoranio_params.h"
#include "io/pngfilt.h"
#include "io/pxprogress.h"
#include "platform/streams.h"

using namespace pixoran;

namespace {

// Colours and alpha of both images agree.
bool SameImage(TPXBitmap& a, TPXMask* ma, TPXBitmap& b, TPXMask* mb) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  const int32_t w = a.Width();
  std::vector<uint8_t> ra(static_cast<size_t>(w) * 3), rb(ra.size());
  for (int32_t y = 0; y < a.Height(); ++y) {
    RowToBGR24(a.PixelFormat(), a.Scanline(y), ra.data(), w, a.Palette(), a.PaletteCount());
    RowToBGR24(b.PixelFormat(), b.Scanline(y), rb.data(), w, b.Palette(), b.PaletteCount());
    if (ra != rb) return false;
    for (int32_t x = 0; x < w; ++x) {
      const uint8_t alphaA = ma ? ma->GetPixel(x, y) : 255, alphaB = mb ? mb->GetPixel(x, y) : 255;
      if (alphaA != alphaB) return false;
    }
  }
  return true;
}

void RoundTrip(TPXBitmap& image, TPXMask* mask, uint8_t choice) {
  if (int64_t{image.Width()} * image.Height() > (1 << 16)) return;
  TIOParamsVals params;
  params.SamplesPerPixel = 3;
  params.BitsPerSample = 8;
  params.PNGInterlaced = choice & 1;
  params.PNGFilter = (choice >> 1) % 3;
  params.PNGCompression = 1;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  WritePNGStream(out, image, params, mask, progress);
  if (aborting) std::abort();  // every image the reader gives must be writable
  out.SetPosition(0);
  TPXBitmap back;
  TIOParamsVals backParams;
  std::unique_ptr<TPXMask> backMask;
  ReadPNGStream(out, back, backParams, false, backMask, false, progress);
  if (aborting || !SameImage(image, mask, back, backMask.get())) std::abort();
}

uint32_t BE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void FixChecksums(std::vector<uint8_t>& png) {
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t length = BE32(&png[at]);
    if (length > png.size() - at - 12) break;
    const uint32_t crc = static_cast<uint32_t>(crc32(0, &png[at + 4], length + 4));
    uint8_t* c = &png[at + 8 + length];
    c[0] = uint8_t(crc >> 24), c[1] = uint8_t(crc >> 16), c[2] = uint8_t(crc >> 8), c[3] = uint8_t(crc);
    at += 12 + length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  pixoran::fuzzing::UseTempFilesForLargeImages();
  const uint8_t choice = size ? input[size - 1] : 0;
  std::vector<uint8_t> fixed;
  const uint8_t* data = input;
  if (choice & 0x80) {
    fixed.assign(input, input + size);
    FixChecksums(fixed);
    data = fixed.data();
  }
  TReadOnlyMemoryStream stream(data, static_cast<int64_t>(size));
  if (IsPNGStream(stream) && stream.Position() != 0) std::abort();
  for (int mode = 0; mode < 4; ++mode) {
    stream.SetPosition(0);
    TPXBitmap bitmap;
    TIOParamsVals params;
    params.KeepNativeFormat = (choice >> 3) & 1;
    params.PNGBackground = TBGR{choice, 0x80, 0x10};
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    std::unique_ptr<TPXMask> mask;
    switch (mode) {
      case 0:
        ReadPNGStream(stream, bitmap, params, false, mask, false, progress);
        if (!aborting && bitmap.Width() > 0) RoundTrip(bitmap, mask.get(), choice);
        break;
      case 1: ReadPNGStream(stream, bitmap, params, true, mask, false, progress); break;
      case 2: ReadPNGStream(stream, bitmap, params, false, mask, true, progress); break;
      case 3: {
        TPXBitmap alpha;
        ReadPNGImage(stream, bitmap, params, progress, false, 0, alpha);
        break;
      }
    }
  }
  return 0;
}
