// Seeds of the BMP fuzz target: small files of every depth, header kind and
// compression, written by our writer (also from sources it quantizes or
// reduces to two colours) and built by hand for the variants the writer does
// not make (16 and 32 bits, bit fields, V5 headers, top-down rows,
// deltas in run-length data).
#include <atomic>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/seeds/seeds_common.h"
#include "core/kopxutils_bitmap.h"
#include "io/formats/bmp/bmpfilt.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace {

using namespace pixoran;
using namespace pixoran::fuzzseeds;

using TBytes = TSeedBytes;

// A BMP with a Windows-layout header of headerSize bytes; masks go inside the
// header for sizes of 52 and up (not 64), straight after it otherwise.
std::vector<uint8_t> HandBmp(uint32_t headerSize, int32_t w, int32_t h, uint16_t bits, uint32_t compression,
                             const std::vector<uint32_t>& palette, const std::vector<uint32_t>& masks,
                             const std::vector<uint8_t>& pixels) {
  const bool masksInHeader = headerSize >= 52 && headerSize != 64;
  TBytes info;
  info.U32(headerSize);
  info.U32(static_cast<uint32_t>(w));
  info.U32(static_cast<uint32_t>(h));
  info.U16(1);
  info.U16(bits);
  info.U32(compression);
  info.U32(static_cast<uint32_t>(pixels.size()));
  info.U32(2835);
  info.U32(2835);
  info.U32(static_cast<uint32_t>(palette.size()));
  info.U32(0);
  if (masksInHeader)
    for (uint32_t m : masks) info.U32(m);
  info.b.resize(headerSize, 0);
  if (!masksInHeader)
    for (uint32_t m : masks) info.U32(m);
  for (uint32_t c : palette) info.U32(c);
  TBytes file;
  file.U16(0x4D42);
  file.U32(static_cast<uint32_t>(14 + info.b.size() + pixels.size()));
  file.U32(0);
  file.U32(static_cast<uint32_t>(14 + info.b.size()));
  file.Raw(info.b);
  file.Raw(pixels);
  return file.b;
}

// Writes bitmap with our writer; empty when the writer refused.
std::vector<uint8_t> Written(TPXBitmap& bitmap, int32_t bits, int32_t samples, uint8_t kind, uint8_t compression) {
  TIOParamsVals params;
  params.BitsPerSample = bits;
  params.SamplesPerPixel = samples;
  params.BMPHeaderKind = kind;
  params.BMPCompression = compression;
  params.DpiX = params.DpiY = 96;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  WriteBMPStream(out, bitmap, params, progress);
  if (aborting) return {};
  return out.Bytes();
}

bool WriteBmpSeeds(const std::string& folder) {
  bool ok = true;
  auto save = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    ok = !bytes.empty() && SaveSeed(folder + "/" + name, bytes) && ok;
  };
  const int32_t w = 7, h = 5;

  TPXBitmap rgb;
  if (!rgb.Allocate(w, h, pxBGR24)) return false;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = rgb.Scanline(y);
    for (int32_t x = 0; x < w * 3; ++x) row[x] = static_cast<uint8_t>(x * 37 + y * 11);
  }
  for (uint8_t kind = 0; kind < 4; ++kind)
    save("rgb24_kind" + std::to_string(kind) + ".bmp", Written(rgb, 8, 3, kind, 0));

  TPXBitmap bw;
  if (!bw.Allocate(w, h, pxBW1)) return false;
  for (int32_t y = 0; y < h; ++y) bw.Scanline(y)[0] = static_cast<uint8_t>(0xA5 >> y);
  save("bw1.bmp", Written(bw, 1, 1, 1, 0));
  save("bw1_os2.bmp", Written(bw, 1, 1, 2, 0));

  TPXBitmap pal;
  if (!pal.Allocate(w, h, pxPal8)) return false;
  for (int i = 0; i < 16; ++i) pal.SetPaletteEntry(i, TBGR{uint8_t(i * 16), uint8_t(255 - i * 16), uint8_t(i * 5)});
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = pal.Scanline(y);
    for (int32_t x = 0; x < w; ++x) row[x] = static_cast<uint8_t>(x < 3 ? y : (x * y) & 15);
  }
  save("pal4.bmp", Written(pal, 4, 1, 1, 0));
  save("pal4_rle.bmp", Written(pal, 4, 1, 1, 1));
  save("pal4_os2.bmp", Written(pal, 4, 1, 2, 0));
  save("pal8.bmp", Written(pal, 8, 1, 1, 0));
  save("pal8_rle.bmp", Written(pal, 8, 1, 0, 1));
  save("pal8_os2v2.bmp", Written(pal, 8, 1, 3, 1));

  TPXBitmap gray;
  if (!gray.Allocate(w, h, pxGray8)) return false;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) gray.Scanline(y)[x] = static_cast<uint8_t>(x / 2 * 40 + y);
  save("gray8_rle.bmp", Written(gray, 8, 1, 1, 1));

  // Quantized palettes from 24 bits: the box quantizer at 4 bits and the
  // neural net at 8 (rgb has more than 16 but fewer than 256 colours, so a
  // larger image with more colours is made for the net), in both row forms.
  save("rgb_to_pal4.bmp", Written(rgb, 4, 1, 1, 0));
  save("rgb_to_pal4_rle.bmp", Written(rgb, 4, 1, 1, 1));
  TPXBitmap photo;
  if (!photo.Allocate(24, 16, pxBGR24)) return false;
  for (int32_t y = 0; y < 16; ++y) {
    uint8_t* row = photo.Scanline(y);
    for (int32_t x = 0; x < 24; ++x) {
      row[3 * x] = static_cast<uint8_t>(x * 10 + y);
      row[3 * x + 1] = static_cast<uint8_t>(y * 15 + (x & 3));
      row[3 * x + 2] = static_cast<uint8_t>((x * y * 7) & 0xFF);
    }
  }
  save("photo_to_pal8_rle.bmp", Written(photo, 8, 1, 1, 1));
  // 1 bit from colours: a two-colour image keeps its colours in the palette.
  TPXBitmap two;
  if (!two.Allocate(w, h, pxBGR24)) return false;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      uint8_t* p = two.Scanline(y) + 3 * x;
      const bool light = (x + y) % 3 == 0;
      p[0] = light ? 40 : 90, p[1] = light ? 200 : 20, p[2] = light ? 250 : 10;
    }
  save("two_colors_1bit.bmp", Written(two, 1, 1, 1, 0));
  save("rgb_to_1bit_os2.bmp", Written(rgb, 1, 1, 2, 0));

  // 16 bits: 5-5-5 without masks, 5-6-5 with masks, 4 x 2 pixels (8-byte rows).
  const std::vector<uint8_t> px16 = {0x1F, 0x00, 0xE0, 0x03, 0x00, 0x7C, 0xFF, 0x7F,
                                     0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xFF, 0xFF};
  save("rgb16_555.bmp", HandBmp(40, 4, 2, 16, 0, {}, {}, px16));
  save("rgb16_565.bmp", HandBmp(40, 4, 2, 16, 3, {}, {0xF800, 0x07E0, 0x001F}, px16));
  save("rgb16_565_v5.bmp", HandBmp(124, 4, 2, 16, 3, {}, {0xF800, 0x07E0, 0x001F}, px16));
  save("rgb16_444_v4.bmp", HandBmp(108, 4, -2, 16, 3, {}, {0x0F00, 0x00F0, 0x000F}, px16));
  // 32 bits, plain and with V5 masks.
  std::vector<uint8_t> px32;
  for (int i = 0; i < 3 * 2 * 4; ++i) px32.push_back(static_cast<uint8_t>(i * 23));
  save("rgb32.bmp", HandBmp(40, 3, 2, 32, 0, {}, {}, px32));
  save("rgb32_v5.bmp", HandBmp(124, 3, -2, 32, 3, {}, {0xFF0000, 0xFF00, 0xFF}, px32));
  // Masks followed by a palette; red in the top byte; x-b-g-r; 10-10-10.
  save("rgb16_565_palette.bmp", HandBmp(40, 4, 2, 16, 3, {0x102030, 0x405060}, {0xF800, 0x07E0, 0x001F}, px16));
  save("rgb32_red_top.bmp", HandBmp(40, 3, 2, 32, 3, {}, {0xFF000000, 0xFF0000, 0xFF00}, px32));
  save("rgb32_xbgr_v4.bmp", HandBmp(108, 3, 2, 32, 3, {}, {0xFF, 0xFF00, 0xFF0000}, px32));
  save("rgb32_101010.bmp", HandBmp(40, 3, 2, 32, 3, {}, {0x3FF00000, 0xFFC00, 0x3FF}, px32));
  // Top-down 24 bits, 2 x 2.
  save("rgb24_topdown.bmp", HandBmp(40, 2, -2, 24, 0, {}, {}, {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}));
  // 1 bit with a white-then-black palette.
  save("bw1_inverted.bmp", HandBmp(40, 9, 2, 1, 0, {0xFFFFFF, 0}, {}, {0xF0, 0x80, 0, 0, 0x0F, 0x00, 0, 0}));
  // 1 bit in two colours that are not black and white.
  save("pal1_colors.bmp", HandBmp(40, 9, 2, 1, 0, {0x2040C0, 0xF0E000}, {}, {0xA5, 0x80, 0, 0, 0x0F, 0x00, 0, 0}));
  // RLE8 with an absolute run, a delta and an explicit end of bitmap.
  save("rle8_delta.bmp", HandBmp(40, 8, 4, 8, 1, {0x000000, 0xFF0000, 0x00FF00, 0x0000FF}, {},
                                 {3, 1, 0, 3, 2, 3, 1, 0, 0, 0, 0, 2, 2, 1, 4, 2, 0, 0, 8, 3, 0, 1}));
  // RLE4 with an absolute run, a delta and a run past the edge.
  save("rle4_delta.bmp", HandBmp(40, 6, 3, 4, 2, {0x000000, 0xFFFFFF, 0x808080}, {},
                                 {4, 0x12, 0, 5, 0x21, 0x02, 0x10, 0, 0, 0, 0, 2, 1, 1, 9, 0x21, 0, 1}));
  // An OS/2 2.x header around a 4-bit image.
  save("pal4_os2v2.bmp",
       HandBmp(64, 3, 2, 4, 0, {0x000000, 0xFFFFFF, 0xFF8000}, {}, {0x01, 0x20, 0, 0, 0x21, 0x00, 0, 0}));
  return ok;
}

const bool registered = RegisterSeedWriter("bmp", &WriteBmpSeeds);

}  // namespace
