// Seeds of the PNG fuzz target: small files of every colour type and depth,
// plain and interlaced, written by our writer and, for what it does not
// write (grey with alpha, 16-bit colour, tRNS and bKGD on grey and colour),
// by libpng's own simplified writer with chunks added by hand.
#include <png.h>
#include <zlib.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/seeds/seeds_common.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxmask.h"
#include "io/pixoranio_params.h"
#include "io/formats/png/pngfilt.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace {

using namespace pixoran;
using Bytes = std::vector<uint8_t>;

using namespace pixoran::fuzzseeds;

Bytes Written(TPXBitmap& bitmap, TPXMask* mask, int32_t samples, int32_t bits, bool interlace) {
  TIOParamsVals params;
  params.SamplesPerPixel = samples;
  params.BitsPerSample = bits;
  params.PNGInterlaced = interlace;
  params.PNGBackground = TBGR{10, 200, 30};
  params.DpiX = params.DpiY = 96;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  try {
    WritePNGStream(out, bitmap, params, mask, progress);
  } catch (const EInvalidGraphic&) {
    return {};
  }
  return aborting ? Bytes{} : out.Bytes();
}

// libpng's simplified writer: format is a PNG_FORMAT_* value.
Bytes SimpleWritten(uint32_t format, int w, int h, const void* pixels) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(w);
  image.height = static_cast<png_uint_32>(h);
  image.format = format;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels, 0, nullptr)) return {};
  Bytes out(size);
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, pixels, 0, nullptr)) return {};
  out.resize(size);
  return out;
}

// Inserts a chunk before the first IDAT.
void InsertChunk(Bytes& png, const char* type, const Bytes& data) {
  size_t at = 8;
  while (at + 8 <= png.size() && std::memcmp(&png[at + 4], "IDAT", 4) != 0)
    at += 12 + ((size_t{png[at]} << 24) | (size_t{png[at + 1]} << 16) | (size_t{png[at + 2]} << 8) | png[at + 3]);
  Bytes c(12 + data.size());
  const uint32_t n = static_cast<uint32_t>(data.size());
  c[0] = uint8_t(n >> 24), c[1] = uint8_t(n >> 16), c[2] = uint8_t(n >> 8), c[3] = uint8_t(n);
  std::memcpy(&c[4], type, 4);
  std::copy(data.begin(), data.end(), c.begin() + 8);
  const uint32_t crc = static_cast<uint32_t>(crc32(0, &c[4], n + 4));
  c[8 + n] = uint8_t(crc >> 24), c[9 + n] = uint8_t(crc >> 16), c[10 + n] = uint8_t(crc >> 8), c[11 + n] = uint8_t(crc);
  png.insert(png.begin() + static_cast<std::ptrdiff_t>(std::min(at, png.size())), c.begin(), c.end());
}

bool WritePngSeeds(const std::string& folder) {
  bool ok = true;
  auto save = [&](const std::string& name, const Bytes& bytes) {
    ok = !bytes.empty() && SaveSeed(folder + "/" + name, bytes) && ok;
  };
  const int w = 9, h = 6;
  TPXBitmap rgb;
  if (!rgb.Allocate(w, h, pxBGR24)) return false;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w * 3; ++x) rgb.Scanline(y)[x] = static_cast<uint8_t>(x * 37 + y * 11);
  TPXMask mask;
  mask.Allocate(w, h, 8);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) mask.SetPixel(x, y, static_cast<uint8_t>(x * 30 + y));
  mask.Full = false;
  TPXBitmap gray;
  if (!gray.Allocate(w, h, pxGray8)) return false;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) gray.Scanline(y)[x] = static_cast<uint8_t>(x * 28 + y * 3);
  TPXBitmap bw;
  if (!bw.Allocate(w, h, pxBW1)) return false;
  for (int y = 0; y < h; ++y) bw.Scanline(y)[0] = static_cast<uint8_t>(0xA5 >> y), bw.Scanline(y)[1] = 0x80;

  for (bool interlace : {false, true}) {
    const std::string i = interlace ? "_interlaced" : "";
    save("rgb" + i + ".png", Written(rgb, nullptr, 3, 8, interlace));
    save("rgba" + i + ".png", Written(rgb, &mask, 3, 8, interlace));
    save("palette_trns" + i + ".png", Written(rgb, &mask, 1, 8, interlace));
    save("gray8" + i + ".png", Written(gray, nullptr, 1, 8, interlace));
    save("bw1" + i + ".png", Written(bw, nullptr, 1, 1, interlace));
  }
  save("palette8.png", Written(rgb, nullptr, 1, 8, false));
  save("palette4.png", Written(rgb, nullptr, 1, 4, false));
  save("palette2.png", Written(rgb, nullptr, 1, 2, false));
  save("gray4.png", Written(gray, nullptr, 1, 4, false));
  save("gray2.png", Written(gray, nullptr, 1, 2, false));

  // Grey with alpha and 16-bit samples.
  std::vector<uint8_t> ga(static_cast<size_t>(w * h * 2));
  for (size_t k = 0; k < ga.size(); ++k) ga[k] = static_cast<uint8_t>(k * 29);
  save("gray_alpha8.png", SimpleWritten(PNG_FORMAT_GA, w, h, ga.data()));
  std::vector<uint16_t> deep(static_cast<size_t>(w * h * 4));
  for (size_t k = 0; k < deep.size(); ++k) deep[k] = static_cast<uint16_t>(k * 2917);
  save("rgba16.png", SimpleWritten(PNG_FORMAT_LINEAR_RGB_ALPHA, w, h, deep.data()));
  save("gray16.png", SimpleWritten(PNG_FORMAT_LINEAR_Y, w, h, deep.data()));
  save("gray_alpha16.png", SimpleWritten(PNG_FORMAT_LINEAR_Y_ALPHA, w, h, deep.data()));

  // tRNS and bKGD on grey and colour images.
  Bytes grey2 = Written(gray, nullptr, 1, 2, false);
  InsertChunk(grey2, "tRNS", {0, 1});
  InsertChunk(grey2, "bKGD", {0, 2});
  save("gray2_trns_bkgd.png", grey2);
  Bytes rgbTrns = Written(rgb, nullptr, 3, 8, true);
  InsertChunk(rgbTrns, "tRNS", {0, 0, 0, 37, 0, 74});
  save("rgb_trns.png", rgbTrns);
  Bytes bwTrns = Written(bw, nullptr, 1, 1, false);
  InsertChunk(bwTrns, "tRNS", {0, 1});
  save("bw1_trns.png", bwTrns);
  return ok;
}

const bool registered = RegisterSeedWriter("png", &WritePngSeeds);

}  // namespace
