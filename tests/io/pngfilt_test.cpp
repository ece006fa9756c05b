#include "io/formats/png/pngfilt.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/pxmask.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using Bytes = std::vector<uint8_t>;

// ------------------------------------------------------------------ helpers

struct TRgba {
  uint8_t r = 0, g = 0, b = 0, a = 255;
  bool operator==(const TRgba&) const = default;
};

// A deterministic pattern with many distinct values in every channel.
TRgba Pattern(int x, int y, bool alpha) {
  TRgba p;
  p.r = static_cast<uint8_t>(x * 37 + y * 11);
  p.g = static_cast<uint8_t>(x * 5 + y * 71 + 3);
  p.b = static_cast<uint8_t>((x ^ y) * 13 + 101);
  p.a = alpha ? static_cast<uint8_t>((x * 29 + y * 17) | ((x + y) % 5 == 0 ? 0xFF : 0)) : 255;
  return p;
}

struct TRead {
  TPXBitmap bitmap;
  TIOParamsVals params;
  std::unique_ptr<TPXMask> mask;
  bool aborted = false;

  TRgba At(int x, int y) {
    const int w = bitmap.Width();
    std::vector<uint8_t> bgr(static_cast<size_t>(w) * 3);
    RowToBGR24(bitmap.PixelFormat(), bitmap.Scanline(y), bgr.data(), w, bitmap.Palette(), bitmap.PaletteCount());
    TRgba p{bgr[3 * x + 2], bgr[3 * x + 1], bgr[3 * x], 255};
    if (mask) p.a = mask->GetPixel(x, y);
    return p;
  }
};

std::unique_ptr<TRead> ReadBytes(const Bytes& data, bool native = false, bool blend = false, TBGR background = TBGR{}) {
  auto r = std::make_unique<TRead>();
  r->params.KeepNativeFormat = native;
  r->params.PNGBackground = background;
  TMemoryStream s;
  s.Bytes() = data;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  ReadPNGStream(s, r->bitmap, r->params, blend, r->mask, false, progress);
  r->aborted = aborting;
  return r;
}

Bytes WriteBytes(TPXBitmap& bitmap, TIOParamsVals& params, TPXMask* mask = nullptr, bool* aborted = nullptr) {
  TMemoryStream s;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  WritePNGStream(s, bitmap, params, mask, progress);
  if (aborted) *aborted = aborting;
  return s.Bytes();
}

Bytes FromQt(const QImage& image) {
  QByteArray out;
  QBuffer buf(&out);
  buf.open(QIODevice::WriteOnly);
  EXPECT_TRUE(image.save(&buf, "PNG"));
  return Bytes(out.begin(), out.end());
}

QImage ToQt(const Bytes& data) {
  return QImage::fromData(reinterpret_cast<const uchar*>(data.data()), static_cast<int>(data.size()), "PNG");
}

int DepthOf(const Bytes& png) { return png.size() > 25 ? png[24] : -1; }
int ColorTypeOf(const Bytes& png) { return png.size() > 25 ? png[25] : -1; }

uint32_t BE32(const Bytes& b, size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}
void PutBE32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Offset of the first chunk of that type (its length field), or 0.
size_t FindChunk(const Bytes& png, const char* type) {
  for (size_t at = 8; at + 8 <= png.size();) {
    if (std::memcmp(&png[at + 4], type, 4) == 0) return at;
    at += 12 + BE32(png, at);
  }
  return 0;
}

void FixCrc(Bytes& png, size_t chunk) {
  const uint32_t len = BE32(png, chunk);
  PutBE32(png, chunk + 8 + len, static_cast<uint32_t>(crc32(0, &png[chunk + 4], len + 4)));
}

// Inserts a chunk before IDAT.
void InsertChunk(Bytes& png, const char* type, const Bytes& data) {
  Bytes c(12 + data.size());
  PutBE32(c, 0, static_cast<uint32_t>(data.size()));
  std::memcpy(&c[4], type, 4);
  std::copy(data.begin(), data.end(), c.begin() + 8);
  PutBE32(c, 8 + data.size(), static_cast<uint32_t>(crc32(0, &c[4], static_cast<uInt>(data.size() + 4))));
  const size_t at = FindChunk(png, "IDAT");
  png.insert(png.begin() + static_cast<std::ptrdiff_t>(at), c.begin(), c.end());
}

// Runs a netpbm tool on a PAM file and returns the PNG it wrote.
Bytes Netpbm(const std::string& tool, const std::string& pam) {
  const std::string dir = testing::MakeTempDir("png");
  const std::string in = dir + "/in.pam", out = dir + "/out.png";
  std::ofstream(in, std::ios::binary).write(pam.data(), static_cast<std::streamsize>(pam.size()));
  const std::string cmd = tool + " " + in + " > " + out + " 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) return {};
  std::ifstream f(out, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string Pam(int w, int h, int depth, int maxval, const char* tupleType, const std::vector<int>& samples) {
  std::string s = "P7\nWIDTH " + std::to_string(w) + "\nHEIGHT " + std::to_string(h) + "\nDEPTH " +
                  std::to_string(depth) + "\nMAXVAL " + std::to_string(maxval) + "\nTUPLTYPE " + tupleType +
                  "\nENDHDR\n";
  for (int v : samples) {
    if (maxval > 255) s += static_cast<char>(v >> 8);
    s += static_cast<char>(v & 0xFF);
  }
  return s;
}

std::unique_ptr<TPXBitmap> MakeBitmap(TPXPixelFormat format, int w, int h, bool alpha = false) {
  auto b = std::make_unique<TPXBitmap>();
  const bool converted = format == px32f || format == pxCMYK;
  b->Allocate(w, h, converted ? pxBGR24 : format);
  if (format == pxPal8)
    for (int i = 0; i < 256; ++i) b->SetPaletteEntry(i, TBGR{uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 3)});
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < w; ++x) {
      const TRgba p = Pattern(x, y, alpha);
      switch (format) {
        case pxBW1: SetBit(row, x, ((x + y) % 3) == 0); break;
        case pxGray8: row[x] = p.r; break;
        case pxGray16: row[2 * x] = p.g, row[2 * x + 1] = p.r; break;
        case pxPal8: row[x] = static_cast<uint8_t>(p.r % 200); break;
        default: row[3 * x] = p.b, row[3 * x + 1] = p.g, row[3 * x + 2] = p.r; break;
      }
    }
  }
  if (converted) b->ConvertPixelFormat(format);
  if (alpha) {
    TPXBitmap* a = b->GetAlphaChannel();
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) a->SetAlpha(x, y, Pattern(x, y, true).a);
    a->Full = false;
  }
  return b;
}

std::unique_ptr<TPXMask> MaskOf(TPXBitmap& b) {
  auto m = std::make_unique<TPXMask>();
  m->Allocate(b.Width(), b.Height(), 8);
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) m->SetPixel(x, y, b.GetAlpha(x, y));
  m->Full = false;
  return m;
}

// ------------------------------------------------------------------ files of other programs

TEST(PngRead, FilesWrittenByQtReadPixelExact) {
  struct Case {
    QImage::Format format;
    bool native;
    TPXPixelFormat expect;
    int depth, colorType;
  };
  const Case cases[] = {
      {QImage::Format_RGB888, false, pxBGR24, 8, 2},       {QImage::Format_ARGB32, false, pxBGR24, 8, 6},
      {QImage::Format_Grayscale8, false, pxBGR24, 8, 0},   {QImage::Format_Grayscale8, true, pxGray8, 8, 0},
      {QImage::Format_Indexed8, false, pxBGR24, 8, 3},     {QImage::Format_Indexed8, true, pxPal8, 8, 3},
      {QImage::Format_Grayscale16, false, pxBGR24, 16, 0}, {QImage::Format_RGBA64, false, pxBGR24, 16, 6},
      {QImage::Format_RGBX64, false, pxBGR24, 16, 2},      {QImage::Format_Mono, false, pxBW1, 1, 3},
  };
  const int w = 29, h = 13;
  for (const Case& c : cases) {
    QImage src(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const TRgba p = Pattern(x, y, c.format == QImage::Format_ARGB32 || c.format == QImage::Format_RGBA64);
        src.setPixel(x, y, qRgba(p.r, p.g, p.b, p.a));
      }
    QImage img;
    if (c.format == QImage::Format_Indexed8) {
      QList<QRgb> table;
      for (int i = 0; i < 40; ++i) table.push_back(qRgb(i * 6, 250 - i * 3, i * i % 256));
      img = QImage(w, h, QImage::Format_Indexed8);
      img.setColorTable(table);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.setPixel(x, y, (x * 3 + y * 7) % 40);
    } else if (c.format == QImage::Format_Mono) {
      img = QImage(w, h, QImage::Format_Mono);
      img.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.setPixel(x, y, (x + 2 * y) % 3 == 0);
    } else {
      img = src.convertToFormat(c.format);
    }
    const Bytes png = FromQt(img);
    ASSERT_EQ(DepthOf(png), c.depth) << c.format;
    ASSERT_EQ(ColorTypeOf(png), c.colorType) << c.format;
    auto r = ReadBytes(png, c.native);
    ASSERT_FALSE(r->aborted) << c.format;
    EXPECT_EQ(r->bitmap.PixelFormat(), c.expect) << c.format;
    EXPECT_EQ(r->params.BitsPerSample, c.depth);
    EXPECT_EQ(r->params.SamplesPerPixel, c.colorType == 2 ? 3 : c.colorType == 6 ? 4 : 1);
    bool same = true;
    for (int y = 0; y < h && same; ++y)
      for (int x = 0; x < w && same; ++x) {
        const QColor q = img.pixelColor(x, y);
        // Qt reduces 16-bit samples by rounding, the filter keeps the high byte.
        auto eight = [&](int v16) { return static_cast<uint8_t>(v16 >> 8); };
        const bool deep = c.depth == 16;
        const TRgba want{
            deep ? eight(q.rgba64().red()) : uint8_t(q.red()), deep ? eight(q.rgba64().green()) : uint8_t(q.green()),
            deep ? eight(q.rgba64().blue()) : uint8_t(q.blue()), deep ? eight(q.rgba64().alpha()) : uint8_t(q.alpha())};
        const TRgba got = r->At(x, y);
        same = got == want;
        EXPECT_EQ(got, want) << c.format << " at " << x << "," << y;
      }
    EXPECT_EQ(r->mask->Full, ColorTypeOf(png) != 6) << c.format;
  }
}

TEST(PngRead, FilesWrittenByNetpbmReadPixelExact) {
  const int w = 11, h = 9;
  struct Case {
    const char* tool;
    int depth, maxval;
    const char* tupleType;
    int pngDepth, pngColorType;
  };
  const Case cases[] = {
      {"pamtopng -interlace", 4, 255, "RGB_ALPHA", 8, 6},
      {"pamtopng -interlace", 3, 255, "RGB", 8, 2},
      {"pamtopng", 2, 255, "GRAYSCALE_ALPHA", 8, 4},
      {"pamtopng -interlace", 2, 255, "GRAYSCALE_ALPHA", 8, 4},
      {"pamtopng", 2, 65535, "GRAYSCALE_ALPHA", 16, 4},
      {"pamtopng -interlace", 1, 3, "GRAYSCALE", 2, 0},
      {"pamtopng", 1, 15, "GRAYSCALE", 4, 0},
      {"pamtopng -interlace", 4, 65535, "RGB_ALPHA", 16, 6},
  };
  for (const Case& c : cases) {
    std::vector<int> samples;
    std::vector<TRgba> want;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const TRgba p = Pattern(x, y, true);
        auto s = [&](uint8_t v) { return c.maxval == 255 ? v : c.maxval == 65535 ? v * 257 : v * c.maxval / 255; };
        auto back = [&](int v) { return static_cast<uint8_t>(c.maxval == 65535 ? v >> 8 : v * 255 / c.maxval); };
        TRgba e;
        if (c.depth >= 3) {
          samples.insert(samples.end(), {s(p.r), s(p.g), s(p.b)});
          e = {back(s(p.r)), back(s(p.g)), back(s(p.b)), 255};
        } else {
          samples.push_back(s(p.g));
          e = {back(s(p.g)), back(s(p.g)), back(s(p.g)), 255};
        }
        if (c.depth == 2 || c.depth == 4) {
          samples.push_back(s(p.a));
          e.a = back(s(p.a));
        }
        want.push_back(e);
      }
    const Bytes png = Netpbm(c.tool, Pam(w, h, c.depth, c.maxval, c.tupleType, samples));
    ASSERT_FALSE(png.empty()) << c.tool << " " << c.tupleType;
    ASSERT_EQ(DepthOf(png), c.pngDepth) << c.tupleType;
    ASSERT_EQ(ColorTypeOf(png), c.pngColorType) << c.tupleType;
    auto r = ReadBytes(png);
    ASSERT_FALSE(r->aborted) << c.tool << " " << c.tupleType;
    EXPECT_EQ(r->params.PNGInterlaced, std::string(c.tool).find("interlace") != std::string::npos);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        ASSERT_EQ(r->At(x, y), want[static_cast<size_t>(y * w + x)])
            << c.tool << " " << c.tupleType << " " << x << "," << y;
  }
}

// Every width a PNG can state is the file's: a row wider than libpng's
// default limit of a million pixels (which netpbm's writers keep to) reads.
// A netpbm file of two rows gets wider rows and their data by hand.
TEST(PngRead, RowsWiderThanAMillionPixels) {
  const int w = 1100000, h = 2;
  std::vector<int> samples(static_cast<size_t>(w) * h);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int>(i * 7 % 251);
  Bytes png = Netpbm("pamtopng", Pam(4, h, 1, 255, "GRAYSCALE", std::vector<int>(4 * h, 0)));
  ASSERT_FALSE(png.empty());
  PutBE32(png, 16, w);
  FixCrc(png, 8);
  Bytes rows;
  for (int y = 0; y < h; ++y) {
    rows.push_back(0);
    for (int x = 0; x < w; ++x) rows.push_back(static_cast<uint8_t>(samples[static_cast<size_t>(y) * w + x]));
  }
  uLongf packed = compressBound(static_cast<uLong>(rows.size()));
  Bytes idat(packed);
  ASSERT_EQ(compress(idat.data(), &packed, rows.data(), static_cast<uLong>(rows.size())), Z_OK);
  idat.resize(packed);
  InsertChunk(png, "IDAT", idat);  // before the old one, which goes
  const size_t old = FindChunk(png, "IDAT") + 12 + idat.size();
  png.erase(png.begin() + static_cast<std::ptrdiff_t>(old),
            png.begin() + static_cast<std::ptrdiff_t>(old + 12 + BE32(png, old)));
  auto r = ReadBytes(png);
  ASSERT_FALSE(r->aborted);
  ASSERT_EQ(r->bitmap.Width(), w);
  ASSERT_EQ(r->bitmap.Height(), h);
  for (const int x : {0, 1, 999999, 1000000, w - 1})
    for (int y = 0; y < h; ++y) {
      const auto v = static_cast<uint8_t>(samples[static_cast<size_t>(y) * w + x]);
      ASSERT_EQ(r->At(x, y), (TRgba{v, v, v, 255})) << x << "," << y;
    }
}

// ------------------------------------------------------------------ writer

TEST(PngWrite, EveryFormReadsBackExactlyHereAndInQt) {
  struct Case {
    TPXPixelFormat format;
    int spp, bits;
    bool mask, interlace;
    int depth, colorType;
    bool exact;  // every pixel survives (else: the palette reduction is checked for its size only)
  };
  const Case cases[] = {
      {pxBGR24, 3, 8, false, false, 8, 2, true},  {pxBGR24, 3, 8, true, false, 8, 6, true},
      {pxBGR24, 3, 8, true, true, 8, 6, true},    {pxBGR24, 3, 16, false, true, 8, 2, true},
      {pxGray8, 1, 8, false, false, 8, 0, true},  {pxGray8, 1, 8, false, true, 8, 0, true},
      {pxGray8, 3, 8, false, false, 8, 2, true},  {pxGray16, 1, 16, false, false, 16, 0, true},
      {pxPal8, 1, 8, false, false, 8, 3, true},   {pxPal8, 1, 8, false, true, 8, 3, true},
      {pxBW1, 1, 1, false, false, 1, 0, true},    {pxBW1, 1, 1, false, true, 1, 0, true},
      {pxBW1, 3, 8, false, false, 8, 2, true},    {pxBGR24, 1, 8, false, false, 8, 3, false},
      {pxBGR24, 1, 4, false, false, 4, 3, false}, {pxBGR24, 1, 2, false, true, 2, 3, false},
      {pxBGR24, 1, 3, false, false, 4, 3, false}, {pxBGR24, 1, 16, false, false, 8, 3, false},
      {pxBGR24, 1, 8, true, false, 8, 3, false},  {px32f, 3, 8, false, false, 8, 2, true},
      {pxCMYK, 3, 8, false, false, 8, 2, true},
  };
  const int w = 23, h = 17;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << int(c.format) << " spp " << c.spp << " bits " << c.bits
                                      << " mask " << c.mask << " interlace " << c.interlace);
    auto src = MakeBitmap(c.format, w, h, c.mask);
    std::unique_ptr<TPXMask> mask = c.mask ? MaskOf(*src) : nullptr;
    TIOParamsVals params;
    params.SamplesPerPixel = c.spp;
    params.BitsPerSample = c.bits;
    params.PNGInterlaced = c.interlace;
    params.PNGBackground = TBGR{1, 2, 3};
    bool aborted = true;
    const Bytes png = WriteBytes(*src, params, mask.get(), &aborted);
    ASSERT_FALSE(aborted);
    EXPECT_EQ(DepthOf(png), c.depth);
    EXPECT_EQ(ColorTypeOf(png), c.colorType);
    auto r = ReadBytes(png);
    ASSERT_FALSE(r->aborted);
    const QImage q = ToQt(png);
    ASSERT_FALSE(q.isNull());
    TPXBitmap ref;
    ref.Assign(src.get());
    ref.ConvertPixelFormat(pxBGR24);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const TBGR s = ref.GetPixel24(x, y);
        TRgba want{s.r, s.g, s.b, c.mask ? src->GetAlpha(x, y) : uint8_t(255)};
        // Palette entry 0 is the background, fully transparent.
        if (c.colorType == 3 && c.mask && want.a != 255) want = TRgba{3, 2, 1, 0};
        const TRgba got = r->At(x, y);
        // Qt's 16-bit view of the pixel: the file's own samples.
        const QRgba64 qp = q.pixelColor(x, y).rgba64();
        const int hi = c.format == pxGray16 ? src->Scanline(y)[2 * x] | (src->Scanline(y)[2 * x + 1] << 8) : -1;
        auto q16 = [&](uint8_t v) { return hi >= 0 ? hi : v * 257; };
        if (c.exact) {
          ASSERT_EQ(got, want) << x << "," << y;
        }
        ASSERT_EQ(got.a, want.a) << x << "," << y;
        if (got.a != 0) {
          ASSERT_EQ(qp.red(), q16(got.r)) << x << "," << y;
          ASSERT_EQ(qp.green(), q16(got.g)) << x << "," << y;
          ASSERT_EQ(qp.blue(), q16(got.b)) << x << "," << y;
        }
        ASSERT_EQ(qp.alpha(), got.a * 257) << x << "," << y;
      }
    if (!c.exact) {
      // A reduced palette still has the colours the depth allows.
      const int entries = static_cast<int>(BE32(png, FindChunk(png, "PLTE")) / 3);
      EXPECT_LE(entries, c.mask ? 256 : 1 << c.depth);
      EXPECT_GE(entries, c.mask ? 2 : (1 << c.depth) / 2);
    }
  }
}

// Colour with alpha is joined in blocks of pixels: widths around the block
// edges, through the alpha bitmap and through a mask, read back by Qt.
TEST(PngWrite, ColourWithAlphaIsExactAtEveryWidth) {
  for (const int w : {1, 2, 15, 16, 17, 18, 19, 33, 34, 35, 64, 67}) {
    for (const bool viaMask : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "width " << w << " mask " << viaMask);
      const int h = 3;
      auto src = MakeBitmap(pxBGR24, w, h, true);
      TIOParamsVals params;
      TMemoryStream s;
      std::atomic<bool> aborting{false};
      TPXProgressRec progress;
      progress.Aborting = &aborting;
      std::unique_ptr<TPXMask> mask = viaMask ? MaskOf(*src) : nullptr;
      if (viaMask) WritePNGStream(s, *src, params, mask.get(), progress);
      else PNGFormatWrite(s, *src, params, progress, src->GetAlphaChannel());
      ASSERT_FALSE(aborting);
      ASSERT_EQ(ColorTypeOf(s.Bytes()), 6);
      const QImage q = ToQt(s.Bytes());
      ASSERT_EQ(q.width(), w);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const TRgba want = Pattern(x, y, true);
          const QColor got = q.pixelColor(x, y);
          ASSERT_EQ((TRgba{uint8_t(got.red()), uint8_t(got.green()), uint8_t(got.blue()), uint8_t(got.alpha())}), want)
              << x << "," << y;
        }
    }
  }
}

TEST(PngWrite, HeaderChunksFollowTheRecord) {
  struct Case {
    TPXPixelFormat format;
    int spp, bits;
    bool mask;
    Bytes bkgd;  // the chunk's data
  };
  // Background blue 10, green 20, red 200: grey level 57 by the default weights.
  const Case cases[] = {
      {pxBGR24, 3, 8, false, {0, 200, 0, 20, 0, 10}},
      {pxGray8, 1, 8, false, {0, 57}},
      {pxGray8, 1, 4, false, {0, 57 >> 4}},
      {pxGray16, 1, 16, false, {57, 57}},
      {pxBW1, 1, 1, false, {0, 0}},
      {pxBGR24, 1, 8, true, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.format));
    auto src = MakeBitmap(c.format, 8, 8, c.mask);
    auto mask = c.mask ? MaskOf(*src) : nullptr;
    TIOParamsVals params;
    params.SamplesPerPixel = c.spp;
    params.BitsPerSample = c.bits;
    params.PNGBackground = TBGR{10, 20, 200};
    params.SetDpiX(300);
    params.SetDpiY(72);
    const Bytes png = WriteBytes(*src, params, mask.get());
    const size_t bkgd = FindChunk(png, "bKGD");
    ASSERT_NE(bkgd, 0u);
    EXPECT_EQ(Bytes(png.begin() + bkgd + 8, png.begin() + bkgd + 8 + BE32(png, bkgd)), c.bkgd);
    const size_t phys = FindChunk(png, "pHYs");
    ASSERT_NE(phys, 0u);
    EXPECT_EQ(BE32(png, phys + 8), 11811u);
    EXPECT_EQ(BE32(png, phys + 12), 2835u);
    EXPECT_EQ(png[phys + 16], 1);
    if (c.mask) {
      const size_t plte = FindChunk(png, "PLTE"), trns = FindChunk(png, "tRNS");
      ASSERT_NE(trns, 0u);
      EXPECT_EQ(Bytes(png.begin() + plte + 8, png.begin() + plte + 11), (Bytes{200, 20, 10}));
      EXPECT_EQ(BE32(png, trns), 1u);
      EXPECT_EQ(png[trns + 8], 0);
    }
    auto r = ReadBytes(png);
    ASSERT_FALSE(r->aborted);
    EXPECT_EQ(r->params.DpiX, 300);
    EXPECT_EQ(r->params.DpiY, 72);
  }
}

TEST(PngWrite, GreyPaletteIsWrittenAsItsLevels) {
  // A grey palette that is not the ramp: index i shows level 255 - i.
  auto src = std::make_unique<TPXBitmap>();
  src->Allocate(16, 4, pxPal8);
  for (int i = 0; i < 256; ++i) src->SetPaletteEntry(i, TBGR{uint8_t(255 - i), uint8_t(255 - i), uint8_t(255 - i)});
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 16; ++x) src->Scanline(y)[x] = static_cast<uint8_t>(x * 16 + y);
  TIOParamsVals params;
  params.SamplesPerPixel = 1;
  params.BitsPerSample = 8;
  const Bytes png = WriteBytes(*src, params);
  EXPECT_EQ(ColorTypeOf(png), 0);
  auto r = ReadBytes(png);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 16; ++x) {
      const uint8_t v = static_cast<uint8_t>(255 - (x * 16 + y));
      EXPECT_EQ(r->At(x, y), (TRgba{v, v, v, 255}));
    }
}

TEST(PngWrite, TwoColourImagesKeepTheirColoursAtOneBit) {
  for (TBGR c2 : {TBGR{255, 255, 255}, TBGR{0, 0, 200}}) {
    auto src = std::make_unique<TPXBitmap>();
    src->Allocate(10, 5, pxBGR24);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 10; ++x) {
        uint8_t* p = src->Scanline(y) + 3 * x;
        const TBGR c = (x + y) % 2 ? c2 : TBGR{0, 0, 0};
        p[0] = c.b, p[1] = c.g, p[2] = c.r;
      }
    TIOParamsVals params;
    params.SamplesPerPixel = 1;
    params.BitsPerSample = 1;
    const Bytes png = WriteBytes(*src, params);
    EXPECT_EQ(DepthOf(png), 1);
    EXPECT_EQ(ColorTypeOf(png), c2.r == 255 ? 0 : 3);
    auto r = ReadBytes(png);
    EXPECT_EQ(r->bitmap.PixelFormat(), c2.r == 255 ? pxBW1 : pxBGR24);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 10; ++x) {
        const TBGR c = (x + y) % 2 ? c2 : TBGR{0, 0, 0};
        EXPECT_EQ(r->At(x, y), (TRgba{c.r, c.g, c.b, 255}));
      }
  }
}

TEST(PngWrite, ShortWritesAndCancellationAbort) {
  auto src = MakeBitmap(pxBGR24, 64, 64);
  TIOParamsVals params;
  const Bytes full = WriteBytes(*src, params);
  for (size_t limit : {size_t{0}, size_t{8}, size_t{40}, full.size() / 2, full.size() - 1}) {
    class TLimited : public TMemoryStream {
     public:
      explicit TLimited(int64_t n) : n_(n) {}
      int64_t Write(const void* b, int64_t count) override {
        return TMemoryStream::Write(b, std::min(count, std::max<int64_t>(0, n_ - Position())));
      }

     private:
      int64_t n_;
    } out(static_cast<int64_t>(limit));
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    WritePNGStream(out, *src, params, nullptr, progress);
    EXPECT_TRUE(aborting) << limit;
  }
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  int calls = 0;
  progress.OnProgress = [&](TObject*, int) {
    if (++calls == 10) aborting = true;
  };
  TMemoryStream out;
  WritePNGStream(out, *src, params, nullptr, progress);
  EXPECT_EQ(calls, 10);
  EXPECT_FALSE(ToQt(out.Bytes()).isNull() && out.Size() == static_cast<int64_t>(full.size()));
}

// ------------------------------------------------------------------ reader rulings

TEST(PngRead, OneBitPalettesAndNativeForms) {
  struct Case {
    QRgb c0, c1;
    TPXPixelFormat expect;
  };
  const Case cases[] = {
      {qRgb(0, 0, 0), qRgb(255, 255, 255), pxBW1},
      {qRgb(255, 255, 255), qRgb(0, 0, 0), pxBW1},
      {qRgb(200, 10, 10), qRgb(0, 0, 90), pxBGR24},
  };
  for (const Case& c : cases) {
    QImage img(13, 3, QImage::Format_Mono);
    img.setColorTable({c.c0, c.c1});
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 13; ++x) img.setPixel(x, y, (x * y + x) % 2);
    const Bytes png = FromQt(img);
    ASSERT_EQ(ColorTypeOf(png), 3);
    auto r = ReadBytes(png, true);
    EXPECT_EQ(r->bitmap.PixelFormat(), c.expect);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 13; ++x) {
        const QRgb q = img.pixel(x, y);
        EXPECT_EQ(r->At(x, y), (TRgba{uint8_t(qRed(q)), uint8_t(qGreen(q)), uint8_t(qBlue(q)), 255}));
      }
  }
  // Grey with alpha is never native: two bytes a pixel do not fit a grey row.
  const Bytes ga =
      Netpbm("pamtopng", Pam(3, 2, 2, 255, "GRAYSCALE_ALPHA", {10, 255, 20, 128, 30, 0, 40, 1, 50, 2, 60, 3}));
  auto r = ReadBytes(ga, true);
  ASSERT_FALSE(r->aborted);
  EXPECT_EQ(r->bitmap.PixelFormat(), pxBGR24);
  EXPECT_EQ(r->At(1, 0), (TRgba{20, 20, 20, 128}));
  EXPECT_EQ(r->At(2, 1), (TRgba{60, 60, 60, 3}));
  EXPECT_FALSE(r->mask->Full);
}

TEST(PngRead, BlendingOverTheFileOrTheRecordBackground) {
  const int w = 6, h = 5;
  std::vector<int> samples;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const TRgba p = Pattern(x, y, true);
      samples.insert(samples.end(), {p.r, p.g, p.b, p.a});
    }
  const Bytes plain = Netpbm("pamtopng", Pam(w, h, 4, 255, "RGB_ALPHA", samples));
  std::vector<int> deep(samples);
  for (int& v : deep) v *= 257;
  const Bytes plain16 = Netpbm("pamtopng", Pam(w, h, 4, 65535, "RGB_ALPHA", deep));
  Bytes withBkgd = plain;
  InsertChunk(withBkgd, "bKGD", {0, 40, 0, 50, 0, 60});
  Bytes withBkgd16 = plain16;
  InsertChunk(withBkgd16, "bKGD", {40, 40, 50, 50, 60, 60});
  struct Case {
    const Bytes* png;
    TRgba over;
    bool fromFile;
  };
  const Case cases[] = {{&plain, {200, 100, 0, 255}, false},
                        {&plain16, {200, 100, 0, 255}, false},
                        {&withBkgd, {40, 50, 60, 255}, true},
                        {&withBkgd16, {40, 50, 60, 255}, true}};
  for (const Case& c : cases) {
    auto r = ReadBytes(*c.png, false, true, TBGR{0, 100, 200});
    ASSERT_FALSE(r->aborted);
    EXPECT_FALSE(r->mask);
    if (c.fromFile) {
      EXPECT_EQ(r->params.PNGBackground, (TBGR{60, 50, 40}));
    }
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const TRgba p = Pattern(x, y, true);
        auto mix = [&](int f, int b) { return (f * p.a + b * (255 - p.a) + 127) / 255; };
        const TRgba got = r->At(x, y);
        EXPECT_NEAR(got.r, mix(p.r, c.over.r), 1) << x << "," << y;
        EXPECT_NEAR(got.g, mix(p.g, c.over.g), 1) << x << "," << y;
        EXPECT_NEAR(got.b, mix(p.b, c.over.b), 1) << x << "," << y;
      }
  }
}

// Without bKGD every colour type composites over the record's colour (not a
// palette entry, not its red as a grey level), at 8 and 16 bits.
TEST(PngRead, BlendingWithoutBkgdUsesTheRecordColourForEveryColourType) {
  const TBGR record{30, 100, 200};  // red 200, green 100, blue 30: not a grey
  // Four pixels: transparent, opaque, half transparent (alpha types only), opaque.
  struct Case {
    const char* what;
    int colorType, depth;
    Bytes png;
    std::vector<TRgba> pixels;  // 8-bit values; a = 0 where the file's tRNS matches
  };
  auto grey = [](int v, int a = 255) {
    return TRgba{static_cast<uint8_t>(v), static_cast<uint8_t>(v), static_cast<uint8_t>(v), static_cast<uint8_t>(a)};
  };
  std::vector<Case> cases;
  for (int maxval : {255, 65535}) {
    const int k = maxval == 255 ? 1 : 257;
    auto be16 = [&](int v) { return Bytes{static_cast<uint8_t>(v * k >> 8), static_cast<uint8_t>(v * k)}; };
    const int depth = maxval == 255 ? 8 : 16;
    // Grey with a transparent level.
    Bytes g = Netpbm("pamtopng", Pam(4, 1, 1, maxval, "GRAYSCALE", {10 * k, 90 * k, 160 * k, 250 * k}));
    InsertChunk(g, "tRNS", be16(10));
    cases.push_back({"grey tRNS", 0, depth, g, {grey(10, 0), grey(90), grey(160), grey(250)}});
    // Grey with alpha.
    cases.push_back({"grey alpha",
                     4,
                     depth,
                     Netpbm("pamtopng", Pam(4, 1, 2, maxval, "GRAYSCALE_ALPHA",
                                            {10 * k, 0, 90 * k, 255 * k, 160 * k, 128 * k, 250 * k, 255 * k})),
                     {grey(10, 0), grey(90), grey(160, 128), grey(250)}});
    // Colour with a transparent colour.
    Bytes c = Netpbm("pamtopng", Pam(4, 1, 3, maxval, "RGB",
                                     {10 * k, 20 * k, 30 * k, 90 * k, 0, 0, 0, 160 * k, 0, 250 * k, 250 * k, 5 * k}));
    Bytes trns = be16(10);
    for (int v : {20, 30})
      for (uint8_t b : be16(v)) trns.push_back(b);
    InsertChunk(c, "tRNS", trns);
    cases.push_back(
        {"colour tRNS", 2, depth, c, {{10, 20, 30, 0}, {90, 0, 0, 255}, {0, 160, 0, 255}, {250, 250, 5, 255}}});
    // Colour with alpha.
    cases.push_back({"colour alpha",
                     6,
                     depth,
                     Netpbm("pamtopng", Pam(4, 1, 4, maxval, "RGB_ALPHA",
                                            {10 * k, 20 * k, 30 * k, 0, 90 * k, 0, 0, 255 * k, 0, 160 * k, 0, 128 * k,
                                             250 * k, 250 * k, 5 * k, 255 * k})),
                     {{10, 20, 30, 0}, {90, 0, 0, 255}, {0, 160, 0, 128}, {250, 250, 5, 255}}});
  }
  // Grey of 4 bits with a transparent level (levels 17 apart at 8 bits).
  Bytes g4 = Netpbm("pamtopng", Pam(4, 1, 1, 15, "GRAYSCALE", {1, 5, 9, 15}));
  InsertChunk(g4, "tRNS", {0, 1});
  cases.push_back({"grey 4-bit tRNS", 0, 4, g4, {grey(17, 0), grey(85), grey(153), grey(255)}});
  // A palette, its first entry transparent and its third half so.
  std::string ppm = "P6\n4 1\n255\n";
  for (int v : {10, 20, 30, 90, 0, 0, 0, 160, 0, 250, 250, 5}) ppm += static_cast<char>(v);
  Bytes pal = Netpbm("pnmtopng", ppm);
  ASSERT_FALSE(pal.empty());
  {
    const size_t plte = FindChunk(pal, "PLTE");
    ASSERT_NE(plte, 0u);
    Bytes alphas(BE32(pal, plte) / 3, 255);
    for (size_t i = 0; i < alphas.size(); ++i) {
      const uint8_t* e = &pal[plte + 8 + 3 * i];
      if (e[0] == 10 && e[1] == 20) alphas[i] = 0;
      if (e[0] == 0 && e[1] == 160) alphas[i] = 128;
    }
    InsertChunk(pal, "tRNS", alphas);
  }
  cases.push_back(
      {"palette tRNS", 3, 2, pal, {{10, 20, 30, 0}, {90, 0, 0, 255}, {0, 160, 0, 128}, {250, 250, 5, 255}}});

  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " at " + std::to_string(c.depth) + " bits");
    ASSERT_FALSE(c.png.empty());
    ASSERT_EQ(ColorTypeOf(c.png), c.colorType);
    ASSERT_EQ(DepthOf(c.png), c.depth);
    auto r = ReadBytes(c.png, false, true, record);
    ASSERT_FALSE(r->aborted);
    EXPECT_EQ(r->params.PNGBackground, record);
    for (int x = 0; x < 4; ++x) {
      const TRgba p = c.pixels[static_cast<size_t>(x)];
      auto mix = [&](int f, int b) { return (f * p.a + b * (255 - p.a) + 127) / 255; };
      const TRgba got = r->At(x, 0);
      EXPECT_NEAR(got.r, mix(p.r, record.r), 1) << x;
      EXPECT_NEAR(got.g, mix(p.g, record.g), 1) << x;
      EXPECT_NEAR(got.b, mix(p.b, record.b), 1) << x;
    }
  }
}

TEST(PngRead, SmallGreyBackgroundsScaleToFullRange) {
  for (int depth : {1, 2, 4}) {
    const int maxval = (1 << depth) - 1;
    Bytes png = Netpbm("pamtopng", Pam(2, 1, 1, maxval, "GRAYSCALE", {0, maxval}));
    ASSERT_EQ(DepthOf(png), depth);
    InsertChunk(png, "bKGD", {0, static_cast<uint8_t>(maxval - 1 > 0 ? maxval - 1 : 1)});
    InsertChunk(png, "tRNS", {0, 0});
    auto r = ReadBytes(png, false, true);
    ASSERT_FALSE(r->aborted) << depth;
    const int v = maxval - 1 > 0 ? maxval - 1 : 1;
    const uint8_t want = static_cast<uint8_t>(v * 255 / maxval);
    EXPECT_EQ(r->params.PNGBackground, (TBGR{want, want, want})) << depth;
    // The transparent black pixel shows the background, the other stays white.
    EXPECT_EQ(r->At(0, 0), (TRgba{want, want, want, 255})) << depth;
    EXPECT_EQ(r->At(1, 0), (TRgba{255, 255, 255, 255})) << depth;
    // Without bKGD the record's colour shows through.
    Bytes noBkgd = Netpbm("pamtopng", Pam(2, 1, 1, maxval, "GRAYSCALE", {0, maxval}));
    InsertChunk(noBkgd, "tRNS", {0, 0});
    auto o = ReadBytes(noBkgd, false, true, TBGR{30, 20, 10});
    EXPECT_EQ(o->At(0, 0), (TRgba{10, 20, 30, 255})) << depth;
    EXPECT_EQ(o->At(1, 0), (TRgba{255, 255, 255, 255})) << depth;
    // Unblended, the transparency goes to the mask.
    auto m = ReadBytes(png);
    EXPECT_EQ(m->At(0, 0), (TRgba{0, 0, 0, 0})) << depth;
    EXPECT_EQ(m->At(1, 0), (TRgba{255, 255, 255, 255})) << depth;
  }
}

TEST(PngRead, ParametersOnlyAndProbe) {
  auto src = MakeBitmap(pxBGR24, 31, 7);
  TIOParamsVals wp;
  wp.PNGInterlaced = 1;
  wp.SetDpiX(300);
  wp.SetDpiY(300);
  const Bytes png = WriteBytes(*src, wp);
  TMemoryStream s;
  s.Bytes() = Bytes(5, 0);
  s.Bytes().insert(s.Bytes().end(), png.begin(), png.end());
  s.SetPosition(5);
  EXPECT_TRUE(IsPNGStream(s));
  EXPECT_EQ(s.Position(), 5);
  TPXBitmap untouched;
  TIOParamsVals params;
  std::unique_ptr<TPXMask> mask;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  ReadPNGStream(s, untouched, params, false, mask, true, progress);
  EXPECT_FALSE(aborting);
  EXPECT_EQ(untouched.Width(), 0);
  EXPECT_FALSE(mask);
  EXPECT_EQ(params.Width, 31);
  EXPECT_EQ(params.Height, 7);
  EXPECT_EQ(params.BitsPerSample, 8);
  EXPECT_EQ(params.SamplesPerPixel, 3);
  EXPECT_EQ(params.PNGInterlaced, 1);
  EXPECT_EQ(params.DpiX, 300);
  for (const Bytes& other : {Bytes{}, Bytes{0x89, 'P'}, Bytes{'B', 'M', 0, 0, 0, 0, 0, 0, 0}}) {
    TMemoryStream t;
    t.Bytes() = Bytes(3, 0);
    t.Bytes().insert(t.Bytes().end(), other.begin(), other.end());
    t.SetPosition(3);
    EXPECT_FALSE(IsPNGStream(t));
    EXPECT_EQ(t.Position(), 3);
  }
}

// ------------------------------------------------------------------ bad input

Bytes SampleFile(bool interlace, bool alpha) {
  auto src = MakeBitmap(pxBGR24, 37, 23, alpha);
  auto mask = alpha ? MaskOf(*src) : nullptr;
  TIOParamsVals params;
  params.PNGInterlaced = interlace;
  params.PNGCompression = 9;
  return WriteBytes(*src, params, mask.get());
}

TEST(PngCorrupt, TruncatedFilesAbort) {
  for (bool interlace : {false, true}) {
    const Bytes png = SampleFile(interlace, true);
    for (size_t n = 0; n < png.size(); n += 1 + n / 16) {
      auto r = ReadBytes(Bytes(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(n)));
      EXPECT_TRUE(r->aborted) << n;
    }
  }
}

TEST(PngCorrupt, BitFlipsNeverCrash) {
  std::mt19937 rng(7);
  for (bool interlace : {false, true}) {
    const Bytes png = SampleFile(interlace, true);
    for (int i = 0; i < 400; ++i) {
      Bytes bad = png;
      for (int k = 0; k < 1 + i % 3; ++k) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      // Half the time the checksums are made right, so the damage reaches the decoder.
      if (i % 2)
        for (size_t at = 8; at + 12 <= bad.size() && BE32(bad, at) < bad.size(); at += 12 + BE32(bad, at))
          if (at + 12 + BE32(bad, at) <= bad.size()) FixCrc(bad, at);
      ReadBytes(bad, i % 4 == 0, i % 3 == 0);
    }
  }
}

TEST(PngCorrupt, SizeBombsAbortWithoutHugeAllocations) {
  const Bytes png = SampleFile(false, false);
  // Chunk lengths past the data, and up to the largest a PNG allows.
  for (uint32_t length : {0x7FFFFFFFu, 0x10000000u, 0x00FFFFFFu}) {
    Bytes bad = png;
    PutBE32(bad, FindChunk(bad, "IDAT"), length);
    EXPECT_TRUE(ReadBytes(bad)->aborted) << length;
  }
  // A header that names a huge image over a few bytes of data.
  for (auto [w, h] : {std::pair{100000u, 100000u}, std::pair{0x7FFFFFFFu, 1u}, std::pair{1u, 0x7FFFFFFFu},
                      std::pair{1000000u, 1000000u}, std::pair{0u, 5u}}) {
    Bytes bad = png;
    PutBE32(bad, 16, w);
    PutBE32(bad, 20, h);
    FixCrc(bad, 8);
    auto r = ReadBytes(bad);
    EXPECT_TRUE(r->aborted) << w << "x" << h;
    EXPECT_LE(int64_t{r->bitmap.Width()} * r->bitmap.Height(), 37 * 23 * 4) << w << "x" << h;
  }
}

}  // namespace
}  // namespace pixoran
