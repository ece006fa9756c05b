// Fuzz target of the TIFF writer: the first bytes choose the record's
// photometric interpretation, samples, bits and compression, the bitmap's
// pixel format and size (a palette of grey levels or of colours); the rest
// are the pixels. Every record must give a page that our reader reads back
// at its size, and lossless grey, colour and bilevel pages must give the
// pixels back; anything else ends the process.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "io/formats/tiff/tiffilt.h"
#include "io/formats/tiff/tiflzw.h"
#include "platform/streams.h"

using namespace pixoran;

namespace {

std::vector<uint8_t> BGRRows(TPXBitmap& b) {
  std::vector<uint8_t> out(static_cast<size_t>(b.Width()) * b.Height() * 3);
  for (int32_t y = 0; y < b.Height(); ++y)
    RowToBGR24(b.PixelFormat(), b.Scanline(y), out.data() + static_cast<size_t>(y) * b.Width() * 3, b.Width(),
               b.Palette(), b.PaletteCount());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHead = 9;
  if (size < kHead) return 0;
  static const TPXPixelFormat kFormats[] = {pxBW1, pxPal8, pxGray8, pxGray16, pxBGR24, pxCMYK};
  const TPXPixelFormat format = kFormats[data[4] % 6];
  const int32_t w = 1 + data[5] % 64, h = 1 + data[6] % 48;
  const uint8_t flags = data[7];
  TPXBitmap image;
  if (!image.Allocate(w, h, format)) return 0;
  if (format == pxPal8)
    for (int i = 0; i < 256; ++i) {
      const auto v = static_cast<uint8_t>(i * 37 + data[8]);
      image.SetPaletteEntry(
          i, (flags & 1) ? TBGR{v, v, v} : TBGR{v, static_cast<uint8_t>(i), static_cast<uint8_t>(255 - v)});
    }
  const uint8_t* px = data + kHead;
  const size_t n = size - kHead;
  size_t k = 0;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = image.Scanline(y);
    const int64_t bytes = CalcRowLen(w, BitsOfFormat(format));
    for (int64_t i = 0; i < bytes; ++i) row[i] = n ? px[k++ % n] : static_cast<uint8_t>(i * 7 + y);
  }
  const std::vector<uint8_t> want = BGRRows(image);

  TIOParamsVals params;
  params.TIFFPhotometric = data[0] % 9;
  params.SamplesPerPixel = data[1] % 6;
  params.BitsPerSample = data[2] % 18;
  params.TIFFCompression = data[3] % 10;
  params.TIFFJPEGQuality = 50 + (flags >> 1) % 50;
  params.TIFFJPEGColorSpace = static_cast<uint8_t>((flags >> 2) % 5);
  params.TIFFLZWCompressor = TIFFLZWCompress;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  if (WriteTIFFStream(out, false, &image, progress, params) != 1 || aborting) std::abort();

  out.SetPosition(0);
  TPXBitmap back;
  TIOParamsVals read;
  read.TIFFLZWDecompressor = TIFFLZWDecompress;
  int32_t pages = 0;
  ReadTIFFStream(&back, out, pages, false, true, true, nullptr, false, progress, &read);
  if (aborting || pages != 1 || back.Width() != w || back.Height() != h) std::abort();
  const bool grey = format != pxBGR24 && format != pxCMYK && (format != pxPal8 || (flags & 1));
  const bool lossless = params.TIFFCompression != 7;
  const bool exact = lossless && ((params.TIFFPhotometric == 2 && params.SamplesPerPixel == 3 && format != pxCMYK) ||
                                  (params.TIFFPhotometric == 1 && grey && params.BitsPerSample >= 8) ||
                                  (format == pxBW1 && params.BitsPerSample == 1));
  if (exact) {
    const std::vector<uint8_t> got = BGRRows(back);
    for (size_t i = 0; i < got.size(); ++i)
      if (std::abs(got[i] - want[i]) > 1) std::abort();
  }
  return 0;
}
