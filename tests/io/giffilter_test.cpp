// GIF filter and LZW codec: files from netpbm decode pixel-exact, our files
// decode with netpbm, hand-built files (87a, local tables, a deferred clear
// code, corrupt codes), frame removal, animation composition, and bad input.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(PIXORAN_HAVE_GIFLIB)
#include <gif_lib.h>
#endif

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "io/formats/gif/giffilter.h"
#include "io/formats/gif/giflzw.h"
#include "io/pixoranio.h"
#include "io/pixoranio_codecs.h"
#include "io/pxformats.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using Pixels = std::vector<TBGR>;  // top row first

struct TImage {
  int32_t w = 0, h = 0;
  Pixels px;
  TBGR& at(int32_t x, int32_t y) { return px[static_cast<size_t>(y) * w + x]; }
};

std::string TempDir() {
  static const std::string dir = testing::MakeTempDir("gif");
  return dir;
}

bool RunTool(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void WritePPM(const std::string& path, const TImage& img) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << "P6\n" << img.w << " " << img.h << "\n255\n";
  for (const TBGR& c : img.px) f.put(static_cast<char>(c.r)).put(static_cast<char>(c.g)).put(static_cast<char>(c.b));
}

// A binary PPM as giftopnm writes it (no comments).
TImage ReadPPM(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::string magic;
  TImage img;
  int maxval = 0;
  f >> magic >> img.w >> img.h >> maxval;
  f.get();
  img.px.resize(static_cast<size_t>(img.w) * img.h);
  for (TBGR& c : img.px) {
    c.r = static_cast<uint8_t>(f.get()), c.g = static_cast<uint8_t>(f.get()), c.b = static_cast<uint8_t>(f.get());
  }
  if (magic != "P6" || maxval != 255 || !f) img = TImage{};
  return img;
}

// Any pixel format as colours.
TImage FromBitmap(TPXBitmap& b) {
  TImage img{b.Width(), b.Height(), {}};
  img.px.resize(static_cast<size_t>(img.w) * img.h);
  for (int32_t y = 0; y < img.h; ++y)
    RowToBGR24(b.PixelFormat(), b.Scanline(y), reinterpret_cast<uint8_t*>(&img.at(0, y)), img.w, b.Palette(),
               b.PaletteCount());
  return img;
}

std::unique_ptr<TPXBitmap> ToBitmap(const TImage& img) {
  auto b = std::make_unique<TPXBitmap>();
  b->Allocate(img.w, img.h, pxBGR24);
  for (int32_t y = 0; y < img.h; ++y)
    std::memcpy(b->Scanline(y), &img.px[static_cast<size_t>(y) * img.w], static_cast<size_t>(img.w) * 3);
  return b;
}

// An image of exactly `colors` colours (pattern, not noise: LZW strings repeat).
TImage MakeImage(int32_t w, int32_t h, int32_t colors, uint32_t seed = 7) {
  std::mt19937 rng(seed);
  std::vector<TBGR> pal(static_cast<size_t>(colors));
  for (int32_t i = 0; i < colors; ++i)
    pal[i] = TBGR{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(i)};
  if (colors == 2) pal = {TBGR{10, 20, 30}, TBGR{200, 150, 100}};
  TImage img{w, h, {}};
  img.px.resize(static_cast<size_t>(w) * h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) img.at(x, y) = pal[static_cast<size_t>((x / 3 + y * 7 + (x * y) % 5) % colors)];
  for (int32_t i = 0; i < colors && i < w * h; ++i) img.px[static_cast<size_t>(i)] = pal[i];  // every colour appears
  return img;
}

struct TReadResult {
  bool aborted = true;
  int32_t count = 0;
  TImage image;
  std::unique_ptr<TPXMask> mask;
  std::unique_ptr<TIOParamsVals> params = std::make_unique<TIOParamsVals>();
  TPXPixelFormat format = pxNone;
};

TReadResult ReadGif(const std::vector<uint8_t>& bytes, int32_t frame = 0, bool keepNative = false) {
  TReadResult r;
  TReadOnlyMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TPXBitmap b;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  r.params->GIFImageIndex = frame;
  r.params->KeepNativeFormat = keepNative;
  ReadGIFStream(s, b, r.count, *r.params, progress, false, r.mask, false);
  r.aborted = aborting;
  r.format = b.PixelFormat();
  if (!r.aborted) r.image = FromBitmap(b);
  return r;
}

std::vector<uint8_t> WriteGif(TPXBitmap& b, int32_t bits, bool interlaced = false, bool* aborted = nullptr,
                              std::vector<std::string> comments = {}) {
  TIOParamsVals params;
  params.BitsPerSample = bits;
  params.GIFInterlaced = interlaced;
  params.GIFComments = std::move(comments);
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  WriteGIFStream(out, b, params, progress);
  if (aborted) *aborted = aborting;
  return out.Bytes();
}

void ExpectSame(const TImage& a, const TImage& b, const std::string& what) {
  ASSERT_EQ(a.w, b.w) << what;
  ASSERT_EQ(a.h, b.h) << what;
  for (size_t i = 0; i < a.px.size(); ++i)
    ASSERT_EQ(a.px[i], b.px[i]) << what << " pixel " << i % a.w << "," << i / a.w;
}

// ---------------------------------------------------------------- hand-built files

// Codes packed least significant bit first, as GIF does, for files the
// encoder would never write.
struct TCodeWriter {
  std::vector<uint8_t> bytes;
  uint32_t acc = 0;
  int bits = 0;
  void Put(int code, int width) {
    acc |= static_cast<uint32_t>(code) << bits;
    bits += width;
    while (bits >= 8) bytes.push_back(static_cast<uint8_t>(acc)), acc >>= 8, bits -= 8;
  }
  std::vector<uint8_t> Blocks(int minCodeSize) {
    if (bits > 0) bytes.push_back(static_cast<uint8_t>(acc)), bits = 0;
    std::vector<uint8_t> out{static_cast<uint8_t>(minCodeSize)};
    for (size_t at = 0; at < bytes.size(); at += 255) {
      const size_t n = std::min<size_t>(255, bytes.size() - at);
      out.push_back(static_cast<uint8_t>(n));
      out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                 bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    out.push_back(0);
    return out;
  }
};

// A GIF assembled block by block.
struct TGifBuilder {
  std::vector<uint8_t> b;
  TGifBuilder(const char* version, int w, int h, const std::vector<TBGR>& global, uint8_t bgIndex = 0)
      : b(version, version + 6) {
    U16(w), U16(h);
    const int bits = global.empty() ? 1 : TableBits(global.size());
    b.push_back(static_cast<uint8_t>((global.empty() ? 0 : 0x80) | (bits - 1)));
    b.push_back(bgIndex), b.push_back(0);
    Table(global);
  }
  static int TableBits(size_t n) {
    int bits = 1;
    while ((size_t{1} << bits) < n) ++bits;
    return bits;
  }
  void U16(int v) { b.push_back(static_cast<uint8_t>(v)), b.push_back(static_cast<uint8_t>(v >> 8)); }
  void Table(const std::vector<TBGR>& t) {
    if (t.empty()) return;
    const size_t n = size_t{1} << TableBits(t.size());
    for (size_t i = 0; i < n; ++i) {
      const TBGR c = i < t.size() ? t[i] : TBGR{};
      b.push_back(c.r), b.push_back(c.g), b.push_back(c.b);
    }
  }
  void Control(int disposal, bool transparent, int transparentIndex, int delay = 10) {
    b.insert(b.end(), {0x21, 0xF9, 4, static_cast<uint8_t>((disposal << 2) | (transparent ? 1 : 0))});
    U16(delay);
    b.push_back(static_cast<uint8_t>(transparentIndex)), b.push_back(0);
  }
  void Comment(const std::string& text) {
    b.insert(b.end(), {0x21, 0xFE, static_cast<uint8_t>(text.size())});
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
  }
  // A frame of indices compressed by our encoder (or given data).
  void Frame(int x, int y, int w, int h, const std::vector<uint8_t>& indices, const std::vector<TBGR>& local = {},
             bool interlaced = false, const std::vector<uint8_t>* data = nullptr) {
    b.push_back(0x2C);
    U16(x), U16(y), U16(w), U16(h);
    const int bits = local.empty() ? 0 : TableBits(local.size());
    b.push_back(static_cast<uint8_t>((local.empty() ? 0 : 0x80 | (bits - 1)) | (interlaced ? 0x40 : 0)));
    Table(local);
    if (data) {
      b.insert(b.end(), data->begin(), data->end());
      return;
    }
    TMemoryStream s;
    GIFLZWCompress(s, h, w, interlaced, indices.data(), 8);
    b.insert(b.end(), s.Bytes().begin(), s.Bytes().end());
  }
  std::vector<uint8_t> Done() {
    b.push_back(0x3B);
    return b;
  }
};

const std::vector<TBGR> kFour = {TBGR{0, 0, 255}, TBGR{0, 255, 0}, TBGR{255, 0, 0}, TBGR{255, 255, 255}};

// ---------------------------------------------------------------- codec

TEST(GifLzw, RoundTripsAcrossSizesDepthsAndInterlace) {
  struct Case {
    int32_t w, h, bits;
    bool interlaced, noise;
  } cases[] = {{1, 1, 1, false, false},    {1, 3, 2, true, false},   {7, 9, 4, true, false},
               {300, 200, 8, false, true}, {255, 17, 8, true, true}, {64, 64, 3, false, true}};
  for (const Case& c : cases) {
    std::mt19937 rng(static_cast<uint32_t>(c.w * 31 + c.h));
    std::vector<uint8_t> in(static_cast<size_t>(c.w) * c.h);
    for (size_t i = 0; i < in.size(); ++i)
      in[i] = static_cast<uint8_t>((c.noise ? rng() : i / 3) & ((1u << c.bits) - 1));
    TMemoryStream s;
    GIFLZWCompress(s, c.h, c.w, c.interlaced, in.data(), c.bits);
    const std::vector<uint8_t> data = s.Bytes();
    EXPECT_EQ(data[0], std::max(c.bits, 2));
    // Sub-blocks of 254 bytes but the last.
    size_t at = 1;
    while (data[at] != 0) {
      const size_t n = data[at];
      at += n + 1;
      if (data[at] != 0) {
        EXPECT_EQ(n, 254u);
      }
    }
    EXPECT_EQ(at + 1, data.size());
    std::vector<uint8_t> out(in.size(), 0xEE);
    s.SetPosition(0);
    GIFLZWDecompress(s, c.h, c.w, out.data(), c.interlaced);
    EXPECT_EQ(s.Position(), s.Size());
    EXPECT_EQ(in, out) << c.w << "x" << c.h;
  }
}

TEST(GifLzw, InterlacedHeightThreeStoresRowsZeroTwoOne) {
  // Codes of the roots 0, 1, 2 in the stored order give rows 0, 2, 1.
  TCodeWriter w;
  w.Put(4, 3), w.Put(0, 3), w.Put(1, 3), w.Put(2, 3), w.Put(5, 4);
  const std::vector<uint8_t> data = w.Blocks(2);
  TReadOnlyMemoryStream s(data.data(), static_cast<int64_t>(data.size()));
  uint8_t out[3] = {9, 9, 9};
  GIFLZWDecompress(s, 3, 1, out, true);
  EXPECT_EQ(s.Position(), s.Size());
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[2], 1);
  EXPECT_EQ(out[1], 2);
}

TEST(GifLzw, EmptyDataAndBadCodes) {
  struct Case {
    std::vector<uint8_t> data;
    bool ok;
  };
  TCodeWriter beyond;  // after clear and one pixel the next free code is 6: 7 is beyond it
  beyond.Put(4, 3), beyond.Put(1, 3), beyond.Put(7, 3);
  TCodeWriter clearEnd;  // clear, end, with a whole byte left over
  clearEnd.Put(4, 3), clearEnd.Put(5, 3), clearEnd.Put(0, 8), clearEnd.Put(0, 8);
  const Case cases[] = {
      {{2, 0}, true},               // no data: buffer untouched, stream after the terminator
      {{1, 1, 0, 0}, false},        // minimum code size 1
      {{10, 1, 0, 0}, false},       // minimum code size 10
      {beyond.Blocks(2), false},    // a code beyond the next free code
      {clearEnd.Blocks(2), false},  // end right after clear with bytes left
      {{2, 5, 0x4C, 0x01}, true},   // a sub-block cut off by the end: what is there decodes
      {{2, 1, 0x4C}, true},         // no terminator: the same
      {{2}, true},                  // nothing after the minimum code size
      {{}, false},                  // not even a minimum code size
  };
  for (const Case& c : cases) {
    TReadOnlyMemoryStream s(c.data.data(), static_cast<int64_t>(c.data.size()));
    uint8_t out[4] = {9, 9, 9, 9};
    GIFLZWDecompress(s, 2, 2, out, false);
    EXPECT_EQ(s.Position(), c.ok ? s.Size() : 0) << ::testing::PrintToString(c.data);
    if (c.data.size() <= 2) {
      EXPECT_EQ(out[0], 9);
    }
  }
}

TEST(GifLzw, DeferredClearDecodes) {
  // Roots only: every code after the first adds an entry until the table is
  // full at 12 bits; then roots go on at 12 bits without a clear code, and a
  // clear code later starts again at 3 bits.
  std::mt19937 rng(3);
  std::vector<uint8_t> pixels;
  TCodeWriter w;
  int width = 3, next = 6;
  bool first = true;
  auto clear = [&] {
    w.Put(4, width);
    width = 3, next = 6, first = true;
  };
  // A root code, and the entry the decoder adds after it.
  auto put = [&](int p) {
    pixels.push_back(static_cast<uint8_t>(p));
    w.Put(p, width);
    if (!first && next < 4096 && ++next == (1 << width) && width < 12) ++width;
    first = false;
  };
  clear();
  for (int i = 0; i < 4400; ++i) put(static_cast<int>(rng() & 3));
  ASSERT_EQ(next, 4096);
  clear();
  for (int p : {3, 2, 1, 0}) put(p);
  w.Put(5, width);
  const std::vector<uint8_t> data = w.Blocks(2);

  TGifBuilder g("GIF89a", 64, 69, kFour);
  g.Frame(0, 0, 64, 69, {}, {}, false, &data);
  TReadResult r = ReadGif(g.Done());
  ASSERT_FALSE(r.aborted);
  for (size_t i = 0; i < pixels.size(); ++i) ASSERT_EQ(r.image.px[i], kFour[pixels[i]]) << i;
  // The pixels the data did not reach are index 0, never old memory.
  for (size_t i = pixels.size(); i < r.image.px.size(); ++i) ASSERT_EQ(r.image.px[i], kFour[0]);
}

// ---------------------------------------------------------------- netpbm as a reference

TEST(GifRead, NetpbmFilesDecodePixelExact) {
  struct Case {
    int32_t colors;
    std::string options;
    bool transparent;
  } cases[] = {{2, "", false},
               {3, "", false},
               {16, "-interlace", false},
               {100, "", false},
               {256, "-interlace", false},
               {5, "-transparent=rgb:", true},
               {200, "-interlace -transparent=rgb:", true}};
  for (const Case& c : cases) {
    const TImage img = MakeImage(61, 37, c.colors, static_cast<uint32_t>(c.colors));
    const std::string ppm = TempDir() + "/in.ppm", gif = TempDir() + "/in.gif";
    WritePPM(ppm, img);
    std::string options = c.options;
    const TBGR key = img.px[1];
    if (c.transparent) {
      char hex[32];
      std::snprintf(hex, sizeof hex, "%02x/%02x/%02x", key.r, key.g, key.b);
      options += hex;
    }
    ASSERT_TRUE(RunTool("pamtogif " + options + " " + ppm + " > " + gif)) << options;
    const std::vector<uint8_t> bytes = ReadFileBytes(gif);
    for (bool native : {false, true}) {
      TReadResult r = ReadGif(bytes, 0, native);
      ASSERT_FALSE(r.aborted) << c.colors;
      EXPECT_EQ(r.count, 1);
      EXPECT_EQ(r.params->GIFInterlaced != 0, c.options.find("interlace") != std::string::npos);
      ExpectSame(img, r.image, "colours " + std::to_string(c.colors) + " " + options);
      EXPECT_EQ(r.params->GIFTransparent != 0, c.transparent);
      for (int32_t y = 0; y < img.h; ++y)
        for (int32_t x = 0; x < img.w; ++x)
          ASSERT_EQ(r.mask->GetPixel(x, y),
                    c.transparent && img.px[static_cast<size_t>(y) * img.w + x] == key ? 0 : 255);
    }
  }
}

TEST(GifWrite, GiftopnmReadsOurPixels) {
  struct Case {
    int32_t colors, bits;
    bool interlaced;
  } cases[] = {{2, 1, false}, {4, 2, true}, {16, 4, false}, {256, 8, true}, {200, 8, false}};
  for (const Case& c : cases) {
    const TImage img = MakeImage(53, 29, c.colors, 11);
    auto b = ToBitmap(img);
    bool aborted = true;
    const std::vector<uint8_t> bytes = WriteGif(*b, c.bits, c.interlaced, &aborted, {"made here", ""});
    ASSERT_FALSE(aborted);
    const std::string gif = TempDir() + "/out.gif", ppm = TempDir() + "/out.ppm";
    WriteFileBytes(gif, bytes);
    ASSERT_TRUE(RunTool("giftopnm " + gif + " > " + ppm)) << c.bits;
    ExpectSame(img, ReadPPM(ppm), "bits " + std::to_string(c.bits));
  }
}

// ---------------------------------------------------------------- round trips

TEST(GifWrite, RoundTripsWithTransparency) {
  for (int32_t bits : {1, 2, 4, 8}) {
    // One entry is the transparent one, except at 1 bit, written with 2.
    const int32_t colors = bits == 1 ? 2 : (1 << bits) - 1;
    const TImage img = MakeImage(23, 19, colors, 5);
    auto b = ToBitmap(img);
    TPXBitmap* alpha = b->GetAlphaChannel();
    for (int32_t y = 0; y < img.h; ++y)
      for (int32_t x = 0; x < img.w; ++x) alpha->Scanline(y)[x] = (x + y) % 4 == 0 ? 0 : 255;
    bool aborted = true;
    const std::vector<uint8_t> bytes = WriteGif(*b, bits, bits == 4, &aborted);
    ASSERT_FALSE(aborted);
    EXPECT_EQ((bytes[10] & 7) + 1, std::max(bits, 2)) << "table bits";
    TReadResult r = ReadGif(bytes);
    ASSERT_FALSE(r.aborted) << bits;
    ASSERT_EQ(r.params->GIFTransparent, 1);
    for (int32_t y = 0; y < img.h; ++y)
      for (int32_t x = 0; x < img.w; ++x) {
        const bool clear = (x + y) % 4 == 0;
        ASSERT_EQ(r.mask->GetPixel(x, y), clear ? 0 : 255) << bits << " at " << x << "," << y;
        if (!clear) {
          ASSERT_EQ(r.image.at(x, y), img.px[static_cast<size_t>(y) * img.w + x]) << bits;
        }
      }
  }
}

TEST(GifWrite, PalettedSourcesKeepTheirColours) {
  // A paletted image using indices beyond what 4 bits hold is remapped to
  // the colours that fit, never to the clear code or the transparent index.
  TPXBitmap pal;
  ASSERT_TRUE(pal.Allocate(20, 10, pxPal8));
  for (int i = 0; i < 256; ++i) pal.Palette()[i] = TBGR{uint8_t(i % 15 * 17), uint8_t(i % 15 * 3), 7};
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 20; ++x) pal.Scanline(y)[x] = static_cast<uint8_t>(x * 13 + y);
  TImage expect = FromBitmap(pal);
  pal.GetAlphaChannel();  // opaque alpha: one entry is reserved for transparency
  bool aborted = true;
  TReadResult r = ReadGif(WriteGif(pal, 4, false, &aborted));
  ASSERT_FALSE(aborted);
  ASSERT_FALSE(r.aborted);
  ExpectSame(expect, r.image, "remapped palette");
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 20; ++x) ASSERT_EQ(r.mask->GetPixel(x, y), 255);
}

TEST(GifWrite, LongAndEmptyCommentsAndOddFormats) {
  const std::string longLine(600, 'c');
  TPXBitmap gray;
  ASSERT_TRUE(gray.Allocate(9, 4, pxGray16));
  bool aborted = true;
  TReadResult r = ReadGif(WriteGif(gray, 8, false, &aborted, {longLine, "", "end"}));
  ASSERT_FALSE(aborted);
  ASSERT_FALSE(r.aborted);
  ASSERT_EQ(r.params->GIFComments.size(), 4u);  // 255 + 255 + 90, then "end"
  EXPECT_EQ(r.params->GIFComments[0] + r.params->GIFComments[1] + r.params->GIFComments[2], longLine);
  EXPECT_EQ(r.params->GIFComments[3], "end");
}

// ---------------------------------------------------------------- hand-built reading

TEST(GifRead, HandBuiltFrames) {
  // 87a, no extensions; a second frame with its own table; a frame without any table.
  const std::vector<uint8_t> idx = {0, 1, 2, 3, 3, 2, 1, 0};
  const std::vector<TBGR> local = {TBGR{1, 2, 3}, TBGR{4, 5, 6}};
  TGifBuilder g("GIF87a", 4, 2, kFour, 3);
  g.Frame(0, 0, 4, 2, idx);
  g.Comment("one");
  g.Frame(1, 0, 4, 2, {0, 1, 1, 0, 1, 0, 0, 1}, local);
  g.Comment("two");
  g.Frame(0, 1, 4, 2, {0, 1, 5, 0, 1, 0, 0, 1}, {TBGR{0, 0, 0}, TBGR{255, 255, 255}});
  const std::vector<uint8_t> file = g.Done();

  TReadResult r0 = ReadGif(file, 0);
  ASSERT_FALSE(r0.aborted);
  EXPECT_EQ(r0.count, 3);
  EXPECT_EQ(r0.params->GIFVersion, "GIF87a");
  EXPECT_EQ(r0.params->GIFBackground, kFour[3]);
  EXPECT_EQ(r0.params->GIFComments, (std::vector<std::string>{"one", "two"}));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(r0.image.px[i], kFour[idx[i]]);

  TReadResult r1 = ReadGif(file, 1);
  ASSERT_FALSE(r1.aborted);
  EXPECT_EQ(r1.params->GIFXPos, 1);
  EXPECT_EQ(r1.params->PaletteCount, 2);
  EXPECT_EQ(r1.format, pxBGR24);
  EXPECT_EQ(r1.image.px[1], local[1]);
  EXPECT_EQ(r1.image.px[0], local[0]);
  EXPECT_EQ(r1.mask->GetPixel(0, 0), 255);  // no graphic control: nothing transparent

  // Black then white: 1 bit; the index past the table reads black.
  TReadResult r2 = ReadGif(file, 2);
  ASSERT_FALSE(r2.aborted);
  EXPECT_EQ(r2.format, pxBW1);
  EXPECT_EQ(r2.image.px[1], (TBGR{255, 255, 255}));
  EXPECT_EQ(r2.image.px[2], (TBGR{0, 0, 0}));

  EXPECT_TRUE(ReadGif(file, 3).aborted);  // past the last frame
  EXPECT_EQ(ReadGif(file, 3).count, 3);

  // No table anywhere: a grey ramp of the header's size.
  TGifBuilder bare("GIF89a", 4, 1, {});
  bare.Frame(0, 0, 4, 1, {0, 1, 1, 0});
  TReadResult rb = ReadGif(bare.Done());
  ASSERT_FALSE(rb.aborted);
  EXPECT_EQ(rb.format, pxBW1);
  EXPECT_EQ(rb.image.px[1], (TBGR{255, 255, 255}));

  // A frame of no pixels counts but cannot be read; a file without frames loads nothing.
  TGifBuilder empty("GIF89a", 4, 1, kFour);
  empty.Frame(0, 0, 0, 1, {});
  empty.Frame(0, 0, 4, 1, {1, 1, 1, 1});
  const std::vector<uint8_t> ef = empty.Done();
  EXPECT_TRUE(ReadGif(ef, 0).aborted);
  TReadResult e1 = ReadGif(ef, 1);
  EXPECT_FALSE(e1.aborted);
  EXPECT_EQ(e1.count, 2);
  EXPECT_TRUE(ReadGif(TGifBuilder("GIF89a", 4, 1, kFour).Done()).aborted);
}

// ---------------------------------------------------------------- frame removal

TEST(GifDelete, CountsAndDropsTheRightFrame) {
  const std::string path = TempDir() + "/three.gif";
  TGifBuilder g("GIF87a", 2, 1, kFour);
  for (uint8_t i = 0; i < 3; ++i) {
    g.Control(0, false, 0, 10 + i);
    g.Frame(0, 0, 2, 1, {i, i});
  }
  const std::vector<uint8_t> original = g.Done();
  WriteFileBytes(path, original);

  EXPECT_EQ(DeleteGIFFrame(path, -1, false), 3);
  EXPECT_EQ(ReadFileBytes(path), original);
  EXPECT_EQ(DeleteGIFFrame(path, 7, false), 3);
  EXPECT_EQ(ReadFileBytes(path), original);

  EXPECT_EQ(DeleteGIFFrame(path, 1, true), 2);
  const std::vector<uint8_t> kept = ReadFileBytes(path);
  EXPECT_EQ(std::string(kept.begin(), kept.begin() + 6), "GIF89a");
  TReadResult r = ReadGif(kept, 1);
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.image.px[0], kFour[2]);
  EXPECT_EQ(r.params->GIFDelayTime, 12);  // the dropped frame's control went with it

  const std::string text = TempDir() + "/not.gif";
  WriteFileBytes(text, {'P', 'N', 'G', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(DeleteGIFFrame(text, 0, true), 0);
  EXPECT_EQ(ReadFileBytes(text).size(), 14u);
}

// ---------------------------------------------------------------- composition

// Screen 8 x 6 with background index 3 (white). Frame 0 fills it red and is
// left; frame 1 (green, 3 x 3 at 2,1) asks to be restored to the background;
// frame 2 (blue, 2 x 2 at 5,3, one pixel transparent) is left.
std::vector<uint8_t> ThreeFrames() {
  TGifBuilder g("GIF89a", 8, 6, kFour, 3);
  g.Control(1, false, 0);
  g.Frame(0, 0, 8, 6, std::vector<uint8_t>(48, 2));
  g.Control(2, false, 0);
  g.Frame(2, 1, 3, 3, std::vector<uint8_t>(9, 1));
  g.Control(0, true, 3);
  g.Frame(5, 3, 2, 2, {0, 3, 0, 0});
  return g.Done();
}

TEST(GifCompose, DisposalRestoresTheBackgroundOnly) {
  const std::vector<uint8_t> file = ThreeFrames();
  const TBGR red = kFour[2], green = kFour[1], blue = kFour[0], white = kFour[3];
  for (int32_t target : {0, 1, 2}) {
    TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
    TPXBitmap b, alpha;
    TIOParamsVals params;
    params.GIFImageIndex = target;
    params.KeepNativeFormat = 1;  // composition is 24-bit whatever the frames are
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    ASSERT_EQ(ReadGIFAnimationFrame(s, b, alpha, params, progress), 3);
    ASSERT_FALSE(aborting);
    EXPECT_EQ(params.GIFImageIndex, target);
    EXPECT_EQ(b.PixelFormat(), pxBGR24);
    EXPECT_EQ(params.GIFXPos, 0);
    TImage img = FromBitmap(b);
    ASSERT_EQ(img.w, 8);
    ASSERT_EQ(img.h, 6);
    for (int32_t y = 0; y < 6; ++y)
      for (int32_t x = 0; x < 8; ++x) {
        const bool inFrame1 = x >= 2 && x < 5 && y >= 1 && y < 4;
        const bool inFrame2 = x >= 5 && x < 7 && y >= 3 && y < 5;
        TBGR want = red;
        uint8_t a = 255;
        if (target == 1 && inFrame1) want = green;
        if (target == 2 && inFrame1) want = white, a = 0;
        if (target == 2 && inFrame2 && !(x == 6 && y == 3)) want = blue;
        ASSERT_EQ(img.at(x, y), want) << target << " at " << x << "," << y;
        ASSERT_EQ(alpha.Scanline(y)[x], a) << target << " at " << x << "," << y;
      }
  }
}

TEST(GifCompose, LoadsThroughTheComponent) {
  const std::string path = TempDir() + "/anim.gif";
  WriteFileBytes(path, ThreeFrames());
  EXPECT_EQ(GIFFileFrameCount(path), 3);
  TPixoranIO io;
  io.Params().GIFImageIndex = 2;
  EXPECT_EQ(io.LoadFromFileGIF(path), 3);
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.PXBitmap()->Width(), 8);
  EXPECT_EQ(io.PXBitmap()->GetPixel24(5, 3), kFour[0]);
  ASSERT_TRUE(io.PXBitmap()->HasAlphaChannel());
  EXPECT_EQ(io.PXBitmap()->GetAlpha(3, 2), 0);          // disposed to the background
  EXPECT_EQ(io.Background(), RGBColor(255, 255, 255));  // frame 2's transparent colour
  io.Params().GIFImageIndex = 1;
  io.LoadFromFile(path);
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.PXBitmap()->GetPixel24(3, 2), kFour[1]);
  io.Params().GIFImageIndex = 3;
  EXPECT_EQ(io.LoadFromFileGIF(path), 3);
  EXPECT_TRUE(io.Aborting());

  // Saved and loaded again by name and by content.
  io.Params().GIFImageIndex = 1;
  io.LoadFromFile(path);
  const std::string out = TempDir() + "/saved.gif";
  io.Params().BitsPerSample = 8;
  io.SaveToFile(out);
  ASSERT_FALSE(io.Aborting());
  TPixoranIO back;
  const std::vector<uint8_t> bytes = ReadFileBytes(out);
  back.LoadFromBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), 0);
  EXPECT_FALSE(back.Aborting());
  EXPECT_EQ(back.Params().FileType, ioGIF);
  EXPECT_EQ(back.PXBitmap()->GetPixel24(3, 2), kFour[1]);
  back.ParamsFromFile(out);
  EXPECT_EQ(back.Params().FileType, ioGIF);
  EXPECT_EQ(back.Params().Width, 8);
}

// ---------------------------------------------------------------- giflib reads our files

#if defined(PIXORAN_HAVE_GIFLIB)
// What giflib's whole-file reader makes of a GIF: every frame's colours
// (through its own or the global table) and transparency, and the comments.
struct TGiflibFile {
  bool ok = false;
  std::vector<TImage> frames;
  std::vector<int> transparent;  // index per frame, -1 for none
  std::vector<bool> interlaced;
  std::vector<std::array<int, 3>> placed;  // left, top, delay
  TBGR background{};
  std::vector<std::string> comments;
  // Each sub-block of a comment extension (giflib keeps the later ones as
  // continuation blocks) is one line, as our reader gathers them.
  void Comments(const ExtensionBlock* blocks, int count) {
    bool inComment = false;
    for (int e = 0; e < count; ++e) {
      const int function = blocks[e].Function;
      if (function == COMMENT_EXT_FUNC_CODE) inComment = true;
      else if (function != CONTINUE_EXT_FUNC_CODE) inComment = false;
      if (inComment) comments.emplace_back(reinterpret_cast<const char*>(blocks[e].Bytes), blocks[e].ByteCount);
    }
  }
};

TGiflibFile ReadWithGiflib(const std::vector<uint8_t>& bytes) {
  struct TSource {
    const std::vector<uint8_t>* bytes;
    size_t at;
  } source{&bytes, 0};
  auto input = [](GifFileType* gif, GifByteType* out, int n) -> int {
    auto* s = static_cast<TSource*>(gif->UserData);
    const size_t k = std::min(static_cast<size_t>(n), s->bytes->size() - s->at);
    std::memcpy(out, s->bytes->data() + s->at, k);
    s->at += k;
    return static_cast<int>(k);
  };
  TGiflibFile f;
  int error = 0;
  GifFileType* gif = DGifOpen(&source, input, &error);
  if (!gif) return f;
  f.ok = DGifSlurp(gif) == GIF_OK;
  for (int i = 0; f.ok && i < gif->ImageCount; ++i) {
    const SavedImage& frame = gif->SavedImages[i];
    const GifImageDesc& d = frame.ImageDesc;
    const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif->SColorMap;
    TImage img{d.Width, d.Height, {}};
    for (int k = 0; k < d.Width * d.Height; ++k) {
      const int index = frame.RasterBits[k];
      const GifColorType c = map && index < map->ColorCount ? map->Colors[index] : GifColorType{0, 0, 0};
      img.px.push_back(TBGR{c.Blue, c.Green, c.Red});
    }
    f.frames.push_back(img);
    f.interlaced.push_back(d.Interlace);
    GraphicsControlBlock gcb{};
    const bool control = DGifSavedExtensionToGCB(gif, i, &gcb) == GIF_OK;
    f.transparent.push_back(control ? gcb.TransparentColor : -1);
    f.placed.push_back({d.Left, d.Top, control ? gcb.DelayTime : -1});
    f.Comments(frame.ExtensionBlocks, frame.ExtensionBlockCount);
  }
  if (f.ok) f.Comments(gif->ExtensionBlocks, gif->ExtensionBlockCount);
  if (f.ok && gif->SColorMap && gif->SBackGroundColor < gif->SColorMap->ColorCount) {
    const GifColorType c = gif->SColorMap->Colors[gif->SBackGroundColor];
    f.background = TBGR{c.Blue, c.Green, c.Red};
  }
  DGifCloseFile(gif, &error);
  return f;
}

// Every writer option, and every frame of a file we rewrite, read by
// giflib's whole-file reader to the colours and transparency our reader
// finds. An empty comment list (or empty lines only) writes no comment
// extension: giflib refuses one without a sub-block.
TEST(GifWrite, GiflibReadsEveryFileWeWrite) {
  struct Case {
    int32_t bits;
    TPXPixelFormat format;
    bool interlaced, alpha;
    std::vector<std::string> comments;
    const char* version;
  };
  const std::vector<Case> cases = {
      {1, pxBW1, false, false, {}, "GIF89a"},
      {1, pxBGR24, true, false, {""}, "GIF87a"},
      {2, pxBGR24, false, true, {"", ""}, "GIF89a"},
      {4, pxPal8, true, false, {"one"}, "GIF89a"},
      {8, pxBGR24, false, true, {std::string(300, 'x')}, "GIF89a"},
      {8, pxGray8, true, false, {"", "two"}, "GIF89a"},
      {6, pxBGR24, false, false, {}, "GIF87a"},
      {3, pxBW1, true, true, {}, "GIF89a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("bits " + std::to_string(c.bits) + " format " + std::to_string(c.format));
    const TImage img = MakeImage(37, 21, c.format == pxBW1 ? 2 : 1 << std::min(c.bits, 6), 3);
    auto source = ToBitmap(img);
    if (c.format != pxBGR24) source->SetPixelFormat(c.format);
    if (c.alpha) {
      TPXBitmap* alpha = source->GetAlphaChannel();
      for (int32_t y = 0; y < img.h; ++y)
        for (int32_t x = 0; x < img.w; ++x) alpha->Scanline(y)[x] = (x * y) % 7 == 0 ? 0 : 255;
    }
    TIOParamsVals params;
    params.BitsPerSample = c.bits;
    params.GIFInterlaced = c.interlaced;
    params.GIFComments = c.comments;
    params.GIFVersion = c.version;
    params.GIFDelayTime = c.bits * 7;
    params.GIFXPos = c.bits, params.GIFYPos = 2 * c.bits;
    params.GIFBackground = img.px[5];  // a colour of the image, so the palette holds it
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    TMemoryStream out;
    WriteGIFStream(out, *source, params, progress);
    ASSERT_FALSE(aborting);
    const std::vector<uint8_t> bytes = out.Bytes();
    const TGiflibFile theirs = ReadWithGiflib(bytes);
    ASSERT_TRUE(theirs.ok);
    ASSERT_EQ(theirs.frames.size(), 1u);
    const TReadResult ours = ReadGif(bytes);
    ASSERT_FALSE(ours.aborted);
    ExpectSame(ours.image, theirs.frames[0], "giflib");
    EXPECT_EQ(theirs.interlaced[0], c.interlaced);
    EXPECT_EQ(theirs.placed[0], (std::array<int, 3>{c.bits, 2 * c.bits, c.bits * 7}));
    if (c.format == pxBGR24 && c.bits >= 6) {
      EXPECT_EQ(theirs.background, img.px[5]);
    }
    EXPECT_EQ(theirs.transparent[0] >= 0, c.alpha);
    std::vector<std::string> text;
    for (const std::string& line : c.comments)
      for (size_t at = 0; at < line.size(); at += 255) text.push_back(line.substr(at, 255));
    EXPECT_EQ(theirs.comments, text);
    EXPECT_EQ(ours.params->GIFComments, text);
  }

  // A file of several frames, rewritten by frame removal: every frame.
  const std::string path = TempDir() + "/giflib.gif";
  WriteFileBytes(path, ThreeFrames());
  ASSERT_EQ(DeleteGIFFrame(path, 1, true), 2);
  const std::vector<uint8_t> kept = ReadFileBytes(path);
  const TGiflibFile theirs = ReadWithGiflib(kept);
  ASSERT_TRUE(theirs.ok);
  ASSERT_EQ(theirs.frames.size(), 2u);
  for (int32_t i = 0; i < 2; ++i) {
    const TReadResult ours = ReadGif(kept, i);
    ASSERT_FALSE(ours.aborted) << i;
    ExpectSame(ours.image, theirs.frames[static_cast<size_t>(i)], "frame " + std::to_string(i));
    EXPECT_EQ(theirs.transparent[static_cast<size_t>(i)], i == 1 ? 3 : -1);
  }
}
#endif

// ---------------------------------------------------------------- bad input

TEST(GifRead, TruncatedFlippedAndHugeInputEndCleanly) {
  TImage img = MakeImage(40, 30, 64, 9);
  auto b = ToBitmap(img);
  const std::vector<uint8_t> good = WriteGif(*b, 6, true);
  ASSERT_FALSE(ReadGif(good).aborted);
  // Cut before the data: reported. Cut inside them (a partial download):
  // what there is decodes, the rest is index 0, and Aborting stays clear.
  const size_t dataStart = 13 + 3 * (size_t{1} << ((good[10] & 7) + 1)) + 8 + 10;  // the minimum code size
  const TBGR index0 = ReadGif(good).params->Palette[0];
  const TImage full = ReadGif(good).image;
  size_t lastRight = 0;
  for (size_t n = 0; n < good.size(); ++n) {
    const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    const TReadResult r = ReadGif(cut);
    ASSERT_EQ(r.aborted, n <= dataStart) << n;
    if (r.aborted) continue;
    ASSERT_EQ(r.image.px.size(), full.px.size());
    size_t right = 0;
    for (size_t i = 0; i < full.px.size(); ++i) {
      if (r.image.px[i] == full.px[i]) ++right;
      else ASSERT_EQ(r.image.px[i], index0) << n << " pixel " << i;
    }
    EXPECT_GE(right, lastRight) << n;
    lastRight = right;
  }
  EXPECT_EQ(lastRight, full.px.size());
  std::mt19937 rng(1);
  for (int i = 0; i < 2000; ++i) {
    std::vector<uint8_t> bad = good;
    for (int k = 0; k < 3; ++k) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    ReadGif(bad, static_cast<int32_t>(rng() % 2));
    TMemoryStream none;
    TReadOnlyMemoryStream s(bad.data(), static_cast<int64_t>(bad.size()));
    CopyGIFWithoutFrame(s, &none, 0);
  }
  // Frames that claim far more pixels than their data can describe are
  // refused before their storage is had, at the default memory budget; a
  // small frame without data still loads (all index 0).
  struct Claim {
    int w, h;
    size_t dataBytes;
    bool aborted;
  };
  const Claim claims[] = {{65535, 65535, 0, true}, {20000, 20000, 0, true}, {20000, 20000, 2000, true},
                          {8000, 8000, 300, true}, {200, 200, 0, false},    {256, 256, 1, false}};
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  for (const Claim& c : claims) {
    TGifBuilder huge("GIF89a", c.w, c.h, kFour);
    TCodeWriter codes;
    codes.Put(4, 3);
    for (size_t i = 0; i < c.dataBytes; ++i) codes.Put(0, 8);
    const std::vector<uint8_t> data = c.dataBytes ? codes.Blocks(2) : std::vector<uint8_t>{2, 0};
    huge.Frame(0, 0, c.w, c.h, {}, {}, false, &data);
    const TReadResult r = ReadGif(huge.Done());
    EXPECT_EQ(r.aborted, c.aborted) << c.w << " x " << c.h;
    if (!r.aborted) {
      EXPECT_EQ(r.image.px.front(), kFour[0]);
      EXPECT_EQ(r.image.px.back(), kFour[0]);
    }
  }
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "kilobytes more at the peak";
  // The screen's width with a frame's height would make a canvas no frame could be.
  testing::ThresholdScope small(1 << 20);
  TGifBuilder tall("GIF89a", 40000, 1, kFour);
  tall.Frame(0, 0, 1, 40000, std::vector<uint8_t>(40000, 1));
  tall.Frame(0, 0, 1, 1, {2});
  const std::vector<uint8_t> bomb = tall.Done();
  TReadOnlyMemoryStream s(bomb.data(), static_cast<int64_t>(bomb.size()));
  TPXBitmap b2, alpha;
  TIOParamsVals params;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  EXPECT_EQ(ReadGIFAnimationFrame(s, b2, alpha, params, progress), 2);
  EXPECT_TRUE(aborting);
}

}  // namespace
}  // namespace pixoran
