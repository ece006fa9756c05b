// Packed DIBs in and out (checked against Qt's BMP reader and writer), the
// YUV frame layouts, refused and lying headers, the platform-bitmap wrappers
// and the row converters.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "core/kopxutils.h"
#include "core/neurquant.h"
#include "core/pxdib.h"
#include "testsupport.h"

using namespace pixoran;

namespace {

using pixoran::testing::ThresholdScope;

// A bitmap in memory, in a temporary file or in a platform bitmap.
std::unique_ptr<TPXBitmap> MakeAt(TPXLocation loc) {
  ThresholdScope t(loc == pxTempFile ? 0 : int64_t{1} << 40);
  auto b = std::make_unique<TPXBitmap>();
  if (loc == pxTBitmap) b->SetLocation(pxTBitmap);
  return b;
}

uint8_t Pat(int x, int y, int c) { return static_cast<uint8_t>(x * 37 + y * 101 + c * 59 + 7); }

void Fill24(TPXBitmap& b) {
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* r = b.Scanline(y);
    for (int x = 0; x < b.Width(); ++x)
      for (int c = 0; c < 3; ++c) r[3 * x + c] = Pat(x, y, c);
  }
}

bool PatBit(int x, int y) { return ((x * 7 + y * 3) % 5) < 2; }

void Fill1(TPXBitmap& b) {
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* r = b.Scanline(y);
    for (int x = 0; x < b.Width(); ++x) SetBit(r, x, PatBit(x, y));
  }
}

TBGR At(TPXBaseBitmap& b, int x, int y) {
  const uint8_t* r = b.Scanline(y);
  return TBGR{r[3 * x], r[3 * x + 1], r[3 * x + 2]};
}

// A packed DIB assembled field by field.
struct DibSpec {
  int32_t w = 1, h = 1;
  uint16_t bits = 24;
  uint32_t compression = kBiRGB;
  uint32_t clrUsed = 0;
  uint32_t headerSize = 40;
  std::vector<uint8_t> extra;  // palette or masks after the header
  std::vector<uint8_t> pixels;
};

std::vector<uint8_t> Build(const DibSpec& s) {
  std::vector<uint8_t> out(s.headerSize);
  TPXBitmapInfoHeader h;
  h.biSize = s.headerSize;
  h.biWidth = s.w;
  h.biHeight = s.h;
  h.biBitCount = s.bits;
  h.biCompression = s.compression;
  h.biClrUsed = s.clrUsed;
  WriteBitmapInfoHeader(h, out.data());
  out.insert(out.end(), s.extra.begin(), s.extra.end());
  out.insert(out.end(), s.pixels.begin(), s.pixels.end());
  return out;
}

void PutLE32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// A BMP file around a packed DIB, and the packed DIB inside a BMP file.
QByteArray WrapAsBmpFile(const TPXPackedDIB& dib, uint32_t paletteBytes) {
  std::vector<uint8_t> f = {'B', 'M'};
  PutLE32(f, static_cast<uint32_t>(14 + dib.Size()));
  PutLE32(f, 0);
  PutLE32(f, 14 + 40 + paletteBytes);
  f.insert(f.end(), dib.Bytes().begin(), dib.Bytes().end());
  return QByteArray(reinterpret_cast<const char*>(f.data()), static_cast<qsizetype>(f.size()));
}

std::vector<uint8_t> QtBmpAsDib(const QImage& img) {
  QByteArray bytes;
  QBuffer buf(&bytes);
  buf.open(QIODevice::WriteOnly);
  EXPECT_TRUE(img.save(&buf, "BMP"));
  return std::vector<uint8_t>(bytes.begin() + 14, bytes.end());
}

}  // namespace

// ------------------------------------------------------------ writing

TEST(DibWrite, RoundTripsOddWidthsAndUnalignedRectangles) {
  for (TPXLocation loc : {pxInMemory, pxTempFile, pxTBitmap}) {
    SCOPED_TRACE(loc);
    auto b24 = MakeAt(loc);
    ASSERT_TRUE(b24->Allocate(13, 7, pxBGR24));
    Fill24(*b24);
    auto b1 = MakeAt(loc);
    ASSERT_TRUE(b1->Allocate(19, 6, pxBW1));
    Fill1(*b1);

    // Whole images come back equal.
    for (TPXBitmap* src : {b24.get(), b1.get()}) {
      const TPXPackedDIB dib = BitmapRectToDIB(*src, 0, 0, 0, 0);
      ASSERT_FALSE(dib.Empty());
      TPXBitmap back;
      EXPECT_EQ(DIBToBitmap(dib, back), src->BitCount());
      EXPECT_TRUE(BitmapsEqual(*src, back));
    }

    // Rectangles starting at odd pixels (and, for 1 bit, inside a byte).
    struct R {
      int x1, y1, x2, y2;
    };
    for (R r : {R{3, 2, 10, 6}, R{5, 1, 18, 5}, R{1, 0, 2, 1}}) {
      for (TPXBitmap* src : {b24.get(), b1.get()}) {
        const int x2 = std::min(r.x2, src->Width()), y2 = std::min(r.y2, src->Height());
        const TPXPackedDIB dib = BitmapRectToDIB(*src, r.x1, r.y1, x2, y2);
        ASSERT_FALSE(dib.Empty());
        TPXBitmapInfoHeader h;
        ASSERT_TRUE(ReadBitmapInfoHeader(dib.Data(), dib.Size(), h));
        const int w = x2 - r.x1, hh = y2 - r.y1;
        EXPECT_EQ(h.biWidth, w);
        EXPECT_EQ(h.biHeight, hh);  // positive: bottom-up
        const int bits = src->BitCount();
        const int64_t rowLen = ((int64_t{w} * bits + 31) / 32) * 4;
        const int64_t head = 40 + (bits == 1 ? 8 : 0);
        ASSERT_EQ(dib.Size(), head + rowLen * hh);
        for (int i = 0; i < hh; ++i) {
          const uint8_t* row = dib.Data() + head + i * rowLen;
          const int y = y2 - 1 - i;  // the last image row comes first
          if (bits == 24) {
            for (int x = 0; x < w; ++x)
              for (int c = 0; c < 3; ++c) ASSERT_EQ(row[3 * x + c], Pat(r.x1 + x, y, c));
            for (int64_t k = 3 * w; k < rowLen; ++k) EXPECT_EQ(row[k], 0) << "padding";
          } else {
            for (int x = 0; x < w; ++x) ASSERT_EQ(GetBit(row, x), PatBit(r.x1 + x, y)) << x << "," << y;
            for (int64_t k = w; k < rowLen * 8; ++k) EXPECT_FALSE(GetBit(row, k)) << "padding bit " << k;
          }
        }
      }
    }
  }
}

TEST(DibWrite, HeaderPaletteAndRowLengths) {
  TPXBitmap b;
  ASSERT_TRUE(b.Allocate(100, 4, pxBGR24));
  const TPXPackedDIB dib = BitmapRectToDIB(b, 10, 0, 30, 0);
  EXPECT_EQ(dib.Size(), 40 + 60 * 4);  // rows of the rectangle's width, not the image's
  TPXBitmapInfoHeader h;
  ASSERT_TRUE(ReadBitmapInfoHeader(dib.Data(), dib.Size(), h));
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(h.biCompression, kBiRGB);
  EXPECT_EQ(h.biSizeImage, 0u);
  EXPECT_EQ(h.biClrUsed, 0u);

  TPXBitmap m;
  ASSERT_TRUE(m.Allocate(9, 2, pxBW1));
  const TPXPackedDIB d1 = BitmapRectToDIB(m, 0, 0, 0, 0);
  ASSERT_EQ(d1.Size(), 40 + 8 + 4 * 2);
  const uint8_t pal[8] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(d1.Data() + 40, pal, 8), 0);
}

TEST(DibWrite, ClampsRectanglesAndConvertsOtherFormats) {
  TPXBitmap b;
  ASSERT_TRUE(b.Allocate(6, 5, pxBGR24));
  Fill24(b);
  TPXBitmapInfoHeader h;
  // Past the edges: clamped to the image.
  TPXPackedDIB dib = BitmapRectToDIB(b, -4, -2, 50, 70);
  ASSERT_TRUE(ReadBitmapInfoHeader(dib.Data(), dib.Size(), h));
  EXPECT_EQ(h.biWidth, 6);
  EXPECT_EQ(h.biHeight, 5);
  dib = BitmapRectToDIB(b, 4, 3, 9, 9);
  ASSERT_TRUE(ReadBitmapInfoHeader(dib.Data(), dib.Size(), h));
  EXPECT_EQ(h.biWidth, 2);
  EXPECT_EQ(h.biHeight, 2);
  EXPECT_EQ(dib.Data()[40], Pat(4, 4, 0));
  // Nothing left of the rectangle, or nothing to copy.
  EXPECT_TRUE(BitmapRectToDIB(b, 5, 0, 3, 0).Empty());
  EXPECT_TRUE(BitmapRectToDIB(b, 6, 0, 0, 0).Empty());
  TPXBitmap empty;
  EXPECT_TRUE(BitmapRectToDIB(empty, 0, 0, 0, 0).Empty());

  // A grey and a paletted image come out as 24 bits; the source keeps its format.
  TPXBitmap g;
  ASSERT_TRUE(g.Allocate(5, 3, pxGray8));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) g.Scanline(y)[x] = static_cast<uint8_t>(x * 50 + y);
  dib = BitmapRectToDIB(g, 1, 1, 4, 3);
  ASSERT_TRUE(ReadBitmapInfoHeader(dib.Data(), dib.Size(), h));
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(g.PixelFormat(), pxGray8);
  TPXBitmap back;
  ASSERT_EQ(DIBToBitmap(dib, back), 24);
  EXPECT_EQ(At(back, 0, 0), (TBGR{51, 51, 51}));
  EXPECT_EQ(At(back, 2, 1), (TBGR{152, 152, 152}));

  TPXBitmap p;
  ASSERT_TRUE(p.Allocate(2, 1, pxPal8));
  p.SetPaletteEntry(3, TBGR{10, 20, 30});
  p.Scanline(0)[1] = 3;
  dib = BitmapRectToDIB(p, 1, 0, 2, 1);
  ASSERT_EQ(DIBToBitmap(dib, back), 24);
  EXPECT_EQ(At(back, 0, 0), (TBGR{10, 20, 30}));
}

TEST(DibWrite, QtReadsWhatWeWrite) {
  TPXBitmap b;
  ASSERT_TRUE(b.Allocate(7, 3, pxBGR24));
  Fill24(b);
  QImage img = QImage::fromData(WrapAsBmpFile(BitmapRectToDIB(b, 0, 0, 0, 0), 0), "BMP");
  ASSERT_FALSE(img.isNull());
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 7; ++x) {
      const QRgb c = img.pixel(x, y);
      ASSERT_EQ(qBlue(c), Pat(x, y, 0));
      ASSERT_EQ(qGreen(c), Pat(x, y, 1));
      ASSERT_EQ(qRed(c), Pat(x, y, 2));
    }
  TPXBitmap m;
  ASSERT_TRUE(m.Allocate(11, 4, pxBW1));
  Fill1(m);
  img = QImage::fromData(WrapAsBmpFile(BitmapRectToDIB(m, 0, 0, 0, 0), 8), "BMP");
  ASSERT_FALSE(img.isNull());
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 11; ++x) ASSERT_EQ(qGray(img.pixel(x, y)), PatBit(x, y) ? 255 : 0);
}

// ------------------------------------------------------------ reading

TEST(DibRead, QtWrittenBmpsAt1_8And24Bits) {
  QImage rgb(9, 5, QImage::Format_RGB32);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 9; ++x) rgb.setPixel(x, y, qRgb(Pat(x, y, 2), Pat(x, y, 1), Pat(x, y, 0)));
  QImage mono = rgb.convertToFormat(QImage::Format_Mono);
  QImage indexed = rgb.convertToFormat(QImage::Format_Indexed8);
  for (const QImage& src : {rgb, indexed, mono}) {
    std::vector<uint8_t> dib = QtBmpAsDib(src);
    TPXBitmap b;
    const int32_t bits = DIBToBitmap(dib.data(), static_cast<int64_t>(dib.size()), b);
    ASSERT_GT(bits, 0);
    EXPECT_EQ(b.Width(), 9);
    EXPECT_EQ(b.Height(), 5);
    EXPECT_EQ(b.PixelFormat(), bits == 1 ? pxBW1 : pxBGR24);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 9; ++x) {
        const QRgb c = src.pixel(x, y);
        if (bits == 1) {
          ASSERT_EQ(GetBit(b.Scanline(y), x), qGray(c) > 127);
        } else {
          ASSERT_EQ(At(b, x, y), (TBGR{static_cast<uint8_t>(qBlue(c)), static_cast<uint8_t>(qGreen(c)),
                                       static_cast<uint8_t>(qRed(c))}))
              << x << "," << y << " at " << bits << " bits";
        }
      }
  }
}

TEST(DibRead, SixteenAndThirtyTwoBitFields) {
  // 555 without masks: the top bit is ignored, 5 bits widen by shifting.
  DibSpec s;
  s.w = 3;
  s.bits = 16;
  s.pixels = {0xFF, 0x7F, 0x00, 0x7C, 0x1F, 0x00, 0, 0};  // 0x7FFF, 0x7C00, 0x001F, padding
  std::vector<uint8_t> d = Build(s);
  TPXBitmap b;
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 16);
  EXPECT_EQ(At(b, 0, 0), (TBGR{248, 248, 248}));
  EXPECT_EQ(At(b, 1, 0), (TBGR{0, 0, 248}));
  EXPECT_EQ(At(b, 2, 0), (TBGR{248, 0, 0}));

  // 565 through bit fields: green has six bits.
  s.compression = kBiBitFields;
  s.extra.clear();
  PutLE32(s.extra, 0xF800);
  PutLE32(s.extra, 0x07E0);
  PutLE32(s.extra, 0x001F);
  s.pixels = {0xFF, 0xFF, 0xE0, 0x07, 0x41, 0x08, 0, 0};  // 0xFFFF, 0x07E0, 0x0841
  d = Build(s);
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 16);
  EXPECT_EQ(At(b, 0, 0), (TBGR{248, 252, 248}));
  EXPECT_EQ(At(b, 1, 0), (TBGR{0, 252, 0}));
  EXPECT_EQ(At(b, 2, 0), (TBGR{8, 8, 8}));  // one in each field's lowest bit

  // Masks that do not sit where the standard ones do: 4 bits each, high.
  s.extra.clear();
  PutLE32(s.extra, 0xF000);
  PutLE32(s.extra, 0x0F00);
  PutLE32(s.extra, 0x00F0);
  s.w = 1;
  s.pixels = {0x30, 0x9F, 0, 0};  // r 9, g 15, b 3, low nibble ignored
  d = Build(s);
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 16);
  EXPECT_EQ(At(b, 0, 0), (TBGR{3 << 4, 15 << 4, 9 << 4}));

  // The same masks inside a longer header.
  DibSpec v4 = s;
  v4.headerSize = 108;
  v4.extra.clear();
  d = Build(v4);
  for (int i = 0; i < 12; ++i) d[40 + i] = s.extra[i];
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 16);
  EXPECT_EQ(At(b, 0, 0), (TBGR{3 << 4, 15 << 4, 9 << 4}));

  // 32 bits: bytes 0-2 plainly, or through masks (red in the low byte here).
  DibSpec t;
  t.w = 2;
  t.bits = 32;
  t.pixels = {1, 2, 3, 99, 4, 5, 6, 99};
  d = Build(t);
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 32);
  EXPECT_EQ(At(b, 0, 0), (TBGR{1, 2, 3}));
  EXPECT_EQ(At(b, 1, 0), (TBGR{4, 5, 6}));
  t.compression = kBiBitFields;
  PutLE32(t.extra, 0x000000FF);
  PutLE32(t.extra, 0x0000FF00);
  PutLE32(t.extra, 0x00FF0000);
  d = Build(t);
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 32);
  EXPECT_EQ(At(b, 0, 0), (TBGR{3, 2, 1}));
  EXPECT_EQ(At(b, 1, 0), (TBGR{6, 5, 4}));
}

TEST(DibRead, PalettesOrderAndExternalRows) {
  // 4 bits, odd width, three palette entries: index 5 lies past them.
  DibSpec s;
  s.w = 5;
  s.h = 2;
  s.bits = 4;
  s.clrUsed = 3;
  s.extra = {10, 20, 30, 0, 40, 50, 60, 0, 70, 80, 90, 0};
  s.pixels = {0x01, 0x25, 0x1F, 0, /* bottom row */ 0x21, 0x00, 0x20, 0 /* top row */};
  std::vector<uint8_t> d = Build(s);
  TPXBitmap b;
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 4);
  EXPECT_EQ(At(b, 0, 1), (TBGR{10, 20, 30}));
  EXPECT_EQ(At(b, 1, 1), (TBGR{40, 50, 60}));
  EXPECT_EQ(At(b, 2, 1), (TBGR{70, 80, 90}));
  EXPECT_EQ(At(b, 3, 1), (TBGR{0, 0, 0}));     // index 5: no such entry
  EXPECT_EQ(At(b, 4, 1), (TBGR{40, 50, 60}));  // high nibble of the last byte only
  EXPECT_EQ(At(b, 0, 0), (TBGR{70, 80, 90}));
  EXPECT_EQ(At(b, 4, 0), (TBGR{70, 80, 90}));

  // 8 bits with the default 256-entry palette; a negative height is top-down.
  DibSpec e;
  e.w = 2;
  e.h = -2;
  e.bits = 8;
  for (int i = 0; i < 256; ++i) e.extra.insert(e.extra.end(), {uint8_t(i), uint8_t(255 - i), 7, 0});
  e.pixels = {1, 2, 0, 0, 3, 4, 0, 0};
  d = Build(e);
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 8);
  EXPECT_EQ(At(b, 0, 0), (TBGR{1, 254, 7}));
  EXPECT_EQ(At(b, 1, 1), (TBGR{4, 251, 7}));

  // Rows given apart from the header.
  e.pixels.clear();
  d = Build(e);
  const uint8_t rows[8] = {9, 9, 0, 0, 8, 8, 0, 0};
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b, rows, 8), 8);
  EXPECT_EQ(At(b, 1, 0), (TBGR{9, 246, 7}));
  EXPECT_EQ(At(b, 0, 1), (TBGR{8, 247, 7}));
  EXPECT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b, rows, 7), 0);

  // 1-bit palettes: white first inverts the bits, two blacks give black.
  DibSpec inv;
  inv.w = 4;
  inv.bits = 1;
  inv.extra = {250, 250, 250, 0, 5, 5, 5, 0};
  inv.pixels = {0x50, 0, 0, 0};
  d = Build(inv);
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 1);
  EXPECT_EQ(b.Scanline(0)[0] & 0xF0, 0xA0);
  inv.extra = {0, 0, 0, 0, 0, 0, 60, 0};
  d = Build(inv);
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 1);
  EXPECT_EQ(b.Scanline(0)[0] & 0xF0, 0x00);

  // A 1-bit row's bits past the width do not leak into the image.
  DibSpec m;
  m.w = 3;
  m.bits = 1;
  m.extra = {0, 0, 0, 0, 255, 255, 255, 255};
  m.pixels = {0xBF, 0xFF, 0xFF, 0xFF};
  d = Build(m);
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 1);
  EXPECT_EQ(b.Scanline(0)[0], 0xA0);
}

TEST(DibRead, RefusesTruncatedAndLyingHeaders) {
  DibSpec good;
  good.w = 3;
  good.h = 2;
  good.pixels.assign(24, 0x55);
  const std::vector<uint8_t> ok = Build(good);

  auto refused = [](const std::vector<uint8_t>& d, int64_t size = -1) {
    TPXBitmap b;
    EXPECT_TRUE(b.Allocate(2, 2, pxGray8));
    b.Scanline(1)[1] = 42;
    const int32_t r = DIBToBitmap(d.data(), size < 0 ? static_cast<int64_t>(d.size()) : size, b);
    if (r == 0) {  // refused input leaves the bitmap as it was
      EXPECT_EQ(b.PixelFormat(), pxGray8);
      EXPECT_EQ(b.Scanline(1)[1], 42);
    }
    return r == 0;
  };
  auto with = [&](auto change) {
    DibSpec s = good;
    change(s);
    return Build(s);
  };
  auto patch32 = [](std::vector<uint8_t> d, int at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
    return d;
  };

  EXPECT_FALSE(refused(ok));
  EXPECT_TRUE(refused(ok, 39));                                   // shorter than a header
  EXPECT_TRUE(refused(ok, static_cast<int64_t>(ok.size()) - 1));  // last row cut
  EXPECT_TRUE(refused(patch32(ok, 0, 12)));                       // an old 12-byte header
  EXPECT_TRUE(refused(patch32(ok, 0, 4000)));                     // header longer than the block
  EXPECT_TRUE(refused(with([](DibSpec& s) { s.w = 0; })));
  EXPECT_TRUE(refused(with([](DibSpec& s) { s.w = -3; })));
  EXPECT_TRUE(refused(with([](DibSpec& s) { s.h = 0; })));
  EXPECT_TRUE(refused(with([](DibSpec& s) { s.h = std::numeric_limits<int32_t>::min(); })));
  EXPECT_TRUE(refused(with([](DibSpec& s) { s.h = 1000000; })));  // rows that are not there
  EXPECT_TRUE(refused(with([](DibSpec& s) {
    s.w = 0x7FFFFFFF;
    s.h = 0x7FFFFFFF;
  })));
  EXPECT_TRUE(refused(with([](DibSpec& s) { s.bits = 7; })));
  EXPECT_TRUE(refused(with([](DibSpec& s) { s.bits = 0; })));
  EXPECT_TRUE(refused(with([](DibSpec& s) {
    s.compression = kBiRLE8;
    s.bits = 8;
  })));
  EXPECT_TRUE(refused(with([](DibSpec& s) { s.compression = kBiBitFields; })));  // at 24 bits
  EXPECT_TRUE(refused(with([](DibSpec& s) { s.compression = FourCC('M', 'J', 'P', 'G'); })));
  EXPECT_TRUE(refused(with([](DibSpec& s) {
    s.bits = 8;
    s.clrUsed = 0x40000000;
  })));  // palette not there
  EXPECT_TRUE(refused(with([](DibSpec& s) {
    s.bits = 8;
    s.pixels.resize(8);
  })));                                      // no room left for the palette
  EXPECT_TRUE(refused(with([](DibSpec& s) {  // masks cut short
    s.bits = 16;
    s.compression = kBiBitFields;
    s.pixels.resize(4);
  })));
  EXPECT_TRUE(refused(with([](DibSpec& s) {
    s.compression = FourCC('Y', 'U', 'Y', '2');
    s.w = 5;
    s.pixels.resize(12 * 2 - 1);  // 3 groups of 4 bytes a row, one byte short
  })));
  EXPECT_TRUE(refused(with([](DibSpec& s) {
    s.compression = FourCC('I', '4', '2', '0');
    s.w = 5;
    s.h = 3;
    s.pixels.resize(15 + 6 + 5);  // the V plane one byte short
  })));
  EXPECT_TRUE(refused(with([](DibSpec& s) {
    s.compression = FourCC('I', '4', '2', '0');
    s.w = 0x10000;
    s.h = 0x10000;
  })));
}

TEST(DibRead, SurvivesDamagedBlocks) {
  // Every damaged variant either reads or is refused; the sanitizers watch
  // for reads past the block.
  DibSpec s;
  s.w = 7;
  s.h = 3;
  s.bits = 8;
  for (int i = 0; i < 256; ++i) s.extra.insert(s.extra.end(), {uint8_t(i), 0, 0, 0});
  s.pixels.assign(24, 200);
  const std::vector<uint8_t> base = Build(s);
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    std::vector<uint8_t> d = base;
    for (int k = 0; k < 3; ++k) d[rng() % 40] = static_cast<uint8_t>(rng());
    const size_t cut = rng() % (d.size() + 1);
    std::vector<uint8_t> block(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(cut));
    TPXBitmap b;
    const int32_t bits = DIBToBitmap(block.data(), static_cast<int64_t>(block.size()), b);
    if (bits != 0) {
      EXPECT_GT(b.Width(), 0);
    }
    TPXDibbitmap db;
    DIBToDibbitmap(block.data(), static_cast<int64_t>(block.size()), db);
  }
}

// ------------------------------------------------------------ YUV

TEST(DibYUV, ReferencePixels) {
  EXPECT_EQ(YUVToBGR(235, 128, 128), (TBGR{255, 255, 255}));
  EXPECT_EQ(YUVToBGR(16, 128, 128), (TBGR{0, 0, 0}));
  EXPECT_EQ(YUVToBGR(126, 128, 128), (TBGR{128, 128, 128}));
  EXPECT_EQ(YUVToBGR(81, 90, 240), (TBGR{0, 0, 254}));
  EXPECT_EQ(YUVToBGR(145, 54, 34), (TBGR{1, 255, 0}));
  EXPECT_EQ(YUVToBGR(41, 240, 110), (TBGR{255, 0, 0}));
  EXPECT_EQ(YUVToBGR(100, 200, 50), (TBGR{243, 133, 0}));
}

TEST(DibYUV, PackedFramesWithOddWidths) {
  // YUY2, 3 x 2: two groups a row, the second group's Y1 unused.
  DibSpec s;
  s.w = 3;
  s.h = 2;
  s.bits = 16;
  s.compression = FourCC('Y', 'U', 'Y', '2');
  s.pixels = {235, 128, 16,  128, 81, 90,  0,  240,   // row 0: white, black | red
              145, 54,  126, 34,  41, 240, 99, 110};  // row 1: green-ish pair | blue
  std::vector<uint8_t> d = Build(s);
  TPXBitmap b;
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 16);
  ASSERT_EQ(b.Width(), 3);
  ASSERT_EQ(b.PixelFormat(), pxBGR24);
  // A positive height is top-down for these layouts.
  EXPECT_EQ(At(b, 0, 0), (TBGR{255, 255, 255}));
  EXPECT_EQ(At(b, 1, 0), (TBGR{0, 0, 0}));
  EXPECT_EQ(At(b, 2, 0), (TBGR{0, 0, 254}));
  EXPECT_EQ(At(b, 0, 1), (TBGR{1, 255, 0}));
  EXPECT_EQ(At(b, 2, 1), (TBGR{255, 0, 0}));
  // A negative height turns it over.
  s.h = -2;
  d = Build(s);
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 16);
  EXPECT_EQ(At(b, 0, 1), (TBGR{255, 255, 255}));
  EXPECT_EQ(At(b, 2, 0), (TBGR{255, 0, 0}));

  // The same pixels as UYVY, YVYU; cyuv keeps its rows bottom-up.
  struct L {
    uint32_t code;
    int y0, u, y1, v;
    bool topDown;
  };
  for (L l : {L{FourCC('U', 'Y', 'V', 'Y'), 1, 0, 3, 2, true}, L{FourCC('Y', 'V', 'Y', 'U'), 0, 3, 2, 1, true},
              L{FourCC('c', 'y', 'u', 'v'), 1, 0, 3, 2, false}}) {
    DibSpec t = s;
    t.h = 2;
    t.compression = l.code;
    t.pixels.assign(16, 0);
    const uint8_t groups[4][4] = {{235, 128, 16, 128}, {81, 90, 0, 240}, {145, 54, 126, 34}, {41, 240, 99, 110}};
    for (int g = 0; g < 4; ++g) {
      t.pixels[4 * g + l.y0] = groups[g][0];
      t.pixels[4 * g + l.u] = groups[g][1];
      t.pixels[4 * g + l.y1] = groups[g][2];
      t.pixels[4 * g + l.v] = groups[g][3];
    }
    d = Build(t);
    ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 16);
    const int top = l.topDown ? 0 : 1;
    EXPECT_EQ(At(b, 2, top), (TBGR{0, 0, 254}));
    EXPECT_EQ(At(b, 0, 1 - top), (TBGR{1, 255, 0}));
  }
}

TEST(DibYUV, PlanarFramesWithOddSizes) {
  // I420, 5 x 3: chroma planes of 3 x 2.
  const int w = 5, h = 3, cw = 3, ch = 2;
  std::vector<uint8_t> frame(w * h + 2 * cw * ch, 126);
  uint8_t* Y = frame.data();
  uint8_t* U = Y + w * h;
  uint8_t* V = U + cw * ch;
  for (int i = 0; i < cw * ch; ++i) U[i] = V[i] = 128;
  // Pixel (4, 2) takes chroma (2, 1); pixel (0, 0) chroma (0, 0).
  Y[2 * w + 4] = 81, U[1 * cw + 2] = 90, V[1 * cw + 2] = 240;
  Y[0] = 145, U[0] = 54, V[0] = 34;
  DibSpec s;
  s.w = w;
  s.h = h;
  s.bits = 12;
  s.compression = FourCC('I', '4', '2', '0');
  s.pixels = frame;
  std::vector<uint8_t> d = Build(s);
  TPXBitmap b;
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 12);
  EXPECT_EQ(At(b, 4, 2), (TBGR{0, 0, 254}));
  EXPECT_EQ(At(b, 0, 0), (TBGR{1, 255, 0}));
  // Only the odd last column and row reach the last chroma sample.
  EXPECT_EQ(At(b, 3, 2), YUVToBGR(126, 128, 128));
  EXPECT_EQ(At(b, 4, 1), YUVToBGR(126, 128, 128));

  // YV12 has V before U.
  s.compression = FourCC('Y', 'V', '1', '2');
  std::swap_ranges(U, U + cw * ch, V);
  s.pixels = frame;
  d = Build(s);
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 12);
  EXPECT_EQ(At(b, 4, 2), (TBGR{0, 0, 254}));
  EXPECT_EQ(At(b, 0, 0), (TBGR{1, 255, 0}));

  // YVU9, 5 x 5: V then U planes of 2 x 2; pixel (4, 4) takes chroma (1, 1).
  std::vector<uint8_t> f9(25 + 8, 128);
  f9[4 * 5 + 4] = 81;
  f9[25 + 3] = 240;     // V (1, 1)
  f9[25 + 4 + 3] = 90;  // U (1, 1)
  s.w = 5, s.h = 5, s.bits = 9;
  s.compression = FourCC('Y', 'V', 'U', '9');
  s.pixels = f9;
  d = Build(s);
  ASSERT_EQ(DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b), 9);
  EXPECT_EQ(At(b, 4, 4), (TBGR{0, 0, 254}));
  EXPECT_EQ(At(b, 3, 3), YUVToBGR(128, 128, 128));
}

TEST(DibYUV, OtherGroupLayouts) {
  TPXBitmap b;
  auto decode = [&](uint32_t code, int w, int h, std::vector<uint8_t> px) {
    DibSpec s;
    s.w = w;
    s.h = h;
    s.bits = 16;
    s.compression = code;
    s.pixels = std::move(px);
    const std::vector<uint8_t> d = Build(s);
    return DIBToBitmap(d.data(), static_cast<int64_t>(d.size()), b);
  };
  // IYU1: U Y0 Y1 V Y2 Y3, width 5 uses two groups.
  ASSERT_NE(decode(FourCC('I', 'Y', 'U', '1'), 5, 1, {90, 81, 16, 240, 235, 126, 128, 145, 0, 128, 0, 0}), 0);
  EXPECT_EQ(At(b, 0, 0), (TBGR{0, 0, 254}));
  EXPECT_EQ(At(b, 3, 0), YUVToBGR(126, 90, 240));
  EXPECT_EQ(At(b, 4, 0), YUVToBGR(145, 128, 128));
  // IYU2: U Y V.
  ASSERT_NE(decode(FourCC('I', 'Y', 'U', '2'), 1, 1, {54, 145, 34}), 0);
  EXPECT_EQ(At(b, 0, 0), (TBGR{1, 255, 0}));
  // Y41P: pixels 4-7 take the second chroma pair; a positive height is bottom-up.
  std::vector<uint8_t> y41(24, 128);
  y41[1] = 81, y41[0] = 90, y41[2] = 240;  // row 0 in memory, pixel 0
  y41[8] = 145, y41[4] = 54, y41[6] = 34;  // pixel 4
  ASSERT_NE(decode(FourCC('Y', '4', '1', 'P'), 8, 2, y41), 0);
  EXPECT_EQ(At(b, 0, 1), (TBGR{0, 0, 254}));
  EXPECT_EQ(At(b, 4, 1), (TBGR{1, 255, 0}));
  EXPECT_EQ(At(b, 3, 1), YUVToBGR(128, 90, 240));
  // Y211: Y0 U Y2 V, pixels 0 and 1 share Y0.
  ASSERT_NE(decode(FourCC('Y', '2', '1', '1'), 3, 1, {81, 90, 235, 240}), 0);
  EXPECT_EQ(At(b, 1, 0), (TBGR{0, 0, 254}));
  EXPECT_EQ(At(b, 2, 0), YUVToBGR(235, 90, 240));
  // CLJR: V in bits 0-5, U 6-11, then four 5-bit lumas.
  const uint32_t word = 60u | (22u << 6) | (10u << 12) | (31u << 17) | (2u << 22) | (20u << 27);
  ASSERT_NE(decode(FourCC('C', 'L', 'J', 'R'), 4, 1,
                   {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)}),
            0);
  EXPECT_EQ(At(b, 0, 0), YUVToBGR(80, 88, 240));
  EXPECT_EQ(At(b, 1, 0), YUVToBGR(248, 88, 240));
  EXPECT_EQ(At(b, 3, 0), YUVToBGR(160, 88, 240));
}

TEST(DibYUV, DecodersRefuseShortFramesAndWrongTargets) {
  TPXBitmap b;
  ASSERT_TRUE(b.Allocate(3, 3, pxBGR24));
  std::vector<uint8_t> f(3 * 3 + 2 * 4, 128);
  EXPECT_TRUE(DecodeFrameI420(f.data(), static_cast<int64_t>(f.size()), b, true));
  EXPECT_FALSE(DecodeFrameI420(f.data(), static_cast<int64_t>(f.size()) - 1, b, true));
  EXPECT_FALSE(DecodeFrameI420(nullptr, 100, b, true));
  TPXBitmap g;
  ASSERT_TRUE(g.Allocate(3, 3, pxGray8));
  EXPECT_FALSE(DecodeFrameYUY2(f.data(), static_cast<int64_t>(f.size()), g, true));
}

// ------------------------------------------------------------ TPXDibbitmap

TEST(DibBitmap, AllocationRowsAndCanvas) {
  TPXDibbitmap d;
  EXPECT_TRUE(d.Empty());
  EXPECT_FALSE(d.Allocate(10, 10, pxGray8));
  EXPECT_TRUE(d.Empty());
  EXPECT_EQ(d.PixelFormat(), pxNone);

  ASSERT_TRUE(d.Allocate(3, 2, pxBGR24));
  EXPECT_EQ(d.RowLen(), 12);
  EXPECT_EQ(d.BitCount(), 24);
  EXPECT_EQ(d.PixelFormat(), pxBGR24);
  EXPECT_EQ(d.InfoHeader().biSizeImage, 24u);
  EXPECT_EQ(d.Scanline(2), nullptr);

  // A rectangle painted through the canvas lands on the rows Scanline gives.
  ASSERT_TRUE(d.AllocateBits(10, 8, 24));
  d.Canvas().Brush.Color = clRed;
  d.Canvas().FillRect(Rect(2, 3, 5, 6));
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 10; ++x) {
      const bool in = x >= 2 && x < 5 && y >= 3 && y < 6;
      ASSERT_EQ(At(d, x, y), in ? (TBGR{0, 0, 255}) : (TBGR{0, 0, 0})) << x << "," << y;
    }
  // And what the rows hold is what the canvas reads.
  d.Scanline(7)[3 * 9 + 1] = 200;
  EXPECT_EQ(d.Canvas().Pixel(9, 7), RGBColor(0, 200, 0));

  // 1 bit, black then white.
  ASSERT_TRUE(d.Allocate(9, 2, pxBW1));
  EXPECT_EQ(d.RowLen(), 4);
  d.Canvas().Brush.Color = clWhite;
  d.Canvas().FillRect(Rect(8, 1, 9, 2));
  EXPECT_TRUE(GetBit(d.Scanline(1), 8));
  EXPECT_FALSE(GetBit(d.Scanline(1), 7));
  EXPECT_FALSE(GetBit(d.Scanline(0), 8));

  // Zero sizes change nothing; refused requests and failed ones report it.
  EXPECT_TRUE(d.AllocateBits(0, 5, 24));
  EXPECT_EQ(d.Width(), 9);
  EXPECT_FALSE(d.AllocateBits(4, 4, 8));
  EXPECT_EQ(d.Width(), 9);
  EXPECT_FALSE(d.AllocateBits(100000000, 1, 24));
  EXPECT_TRUE(d.Empty());
  EXPECT_EQ(d.Width(), 0);
  EXPECT_EQ(d.Scanline(0), nullptr);
}

TEST(DibBitmap, AssignAndDIBs) {
  TPXDibbitmap a, b;
  ASSERT_TRUE(a.AllocateBits(5, 3, 24));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 15; ++x) a.Scanline(y)[x] = Pat(x, y, 0);
  b.Assign(&a);
  ASSERT_EQ(b.Width(), 5);
  for (int y = 0; y < 3; ++y) EXPECT_EQ(std::memcmp(a.Scanline(y), b.Scanline(y), 15), 0);
  TPXBitmap other;
  ASSERT_TRUE(other.Allocate(2, 2, pxBGR24));
  b.Assign(&other);  // not a TPXDibbitmap: ignored
  EXPECT_EQ(b.Width(), 5);

  // DIBs into a TPXDibbitmap: 1 bit stays 1 bit, the rest become 24.
  TPXBitmap m;
  ASSERT_TRUE(m.Allocate(13, 4, pxBW1));
  Fill1(m);
  ASSERT_EQ(DIBToDibbitmap(BitmapRectToDIB(m, 0, 0, 0, 0), b), 1);
  EXPECT_EQ(b.BitCount(), 1);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 13; ++x) ASSERT_EQ(GetBit(b.Scanline(y), x), PatBit(x, y));
  TPXBitmap c;
  ASSERT_TRUE(c.Allocate(6, 3, pxBGR24));
  Fill24(c);
  ASSERT_EQ(DIBToDibbitmap(BitmapRectToDIB(c, 0, 0, 0, 0), b), 24);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 6; ++x) ASSERT_EQ(At(b, x, y), At(c, x, y));
  EXPECT_EQ(DIBToDibbitmap(TPXPackedDIB(), b), 0);
}

TEST(DibBitmap, DrawDibDrawsSourceRectanglesOntoACanvas) {
  TPXBitmap c;
  ASSERT_TRUE(c.Allocate(6, 4, pxBGR24));
  Fill24(c);
  const TPXPackedDIB dib = BitmapRectToDIB(c, 0, 0, 0, 0);
  TPXDibbitmap target;
  ASSERT_TRUE(target.AllocateBits(10, 10, 24));
  auto ctx = CallDrawDibOpen();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(CallDrawDibRealize(ctx.get(), target.Canvas(), false), 0u);
  // The whole image at (1, 2), then its 2 x 2 block from (3, 1) at (7, 7).
  ASSERT_TRUE(
      CallDrawDibDraw(ctx.get(), target.Canvas(), 1, 2, -1, -1, dib.Data(), dib.Size(), nullptr, 0, 0, 0, -1, -1, 0));
  ASSERT_TRUE(
      CallDrawDibDraw(ctx.get(), target.Canvas(), 7, 7, 2, 2, dib.Data(), dib.Size(), nullptr, 0, 3, 1, 2, 2, 0));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) ASSERT_EQ(At(target, 1 + x, 2 + y), At(c, x, y)) << x << "," << y;
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x) EXPECT_EQ(At(target, 7 + x, 7 + y), At(c, 3 + x, 1 + y));
  EXPECT_EQ(At(target, 0, 0), (TBGR{0, 0, 0}));
  // Header and rows in separate blocks.
  ASSERT_TRUE(target.AllocateBits(6, 4, 24));
  ASSERT_TRUE(CallDrawDibDraw(ctx.get(), target.Canvas(), 0, 0, -1, -1, dib.Data(), 40, dib.Data() + 40,
                              dib.Size() - 40, 0, 0, -1, -1, 0));
  EXPECT_EQ(At(target, 5, 3), At(c, 5, 3));
  EXPECT_FALSE(CallDrawDibDraw(ctx.get(), target.Canvas(), 0, 0, -1, -1, dib.Data(), 39, nullptr, 0, 0, 0, -1, -1, 0));
  CallDrawDibClose(ctx);
  EXPECT_EQ(ctx, nullptr);
}

// ------------------------------------------------------------ work rows, streams

TEST(DibWorkBitmap, RowsAndReallocation) {
  TPXWorkBitmap w(5, 24, 3);
  ASSERT_NE(w.Data(), nullptr);
  EXPECT_EQ(w.RowLen(), 16);
  EXPECT_EQ(w.Scanline(0), w.Data() + 2 * 16);  // bottom-up
  EXPECT_EQ(w.Scanline(2), w.Data());
  EXPECT_EQ(w.Scanline(3), nullptr);
  EXPECT_EQ(w.PixelAddress(1, 4), w.Data() + 16 + 4);
  w.Scanline(1)[0] = 77;
  uint8_t* block = w.Data();
  EXPECT_TRUE(w.Allocate(5, 3, 24));
  EXPECT_EQ(w.Data(), block);
  EXPECT_EQ(w.Scanline(1)[0], 77);

  ASSERT_TRUE(w.Allocate(3, 2, 96));  // three floats a pixel
  EXPECT_EQ(w.RowLen(), 36);
  w.PixelAddressFloat(1, 4)[0] = 1.5f;
  EXPECT_EQ(w.ScanlineFloat(1)[4], 1.5f);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(w.ScanlineFloat(0)), w.Data() + 36);

  EXPECT_FALSE(w.Allocate(0x7FFFFFFF, 0x7FFFFFFF, 32));
  EXPECT_EQ(w.Data(), nullptr);
  EXPECT_EQ(w.Width(), 0);
  w.FreeImage();
  EXPECT_EQ(w.Scanline(0), nullptr);
  TPXWorkBitmap none(0, 24, 4);
  EXPECT_EQ(none.Data(), nullptr);
}

TEST(DibMemStream, ReadsAndSeeksButNeverWrites) {
  uint8_t buf[6] = {1, 2, 3, 4, 5, 6};
  TPXMemStream s(buf, 6);
  EXPECT_EQ(s.Write("xx", 2), 0);
  EXPECT_FALSE(s.SetSize(100));
  EXPECT_EQ(s.Size(), 6);
  uint8_t out[4] = {};
  s.Seek(-4, TSeekOrigin::soEnd);
  EXPECT_EQ(s.Read(out, 10), 4);
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(buf[0], 1);
  TStream& base = s;
  EXPECT_EQ(base.Write(buf, 1), 0);
}

// ------------------------------------------------------------ platform bitmaps

TEST(DibPlatformBitmaps, CopiesAndExpansion) {
  TBitmap empty, dest;
  dest.SetSize(4, 4);
  empty.SetPixelFormat(pf8bit);
  ASSERT_TRUE(CopyTBitmap(empty, dest));
  EXPECT_EQ(dest.Width(), 1);
  EXPECT_EQ(dest.Height(), 1);
  EXPECT_EQ(dest.PixelFormat(), pf8bit);

  TBitmap p;
  p.SetPixelFormat(pf8bit);
  p.SetSize(5, 3);
  p.SetPaletteEntries(7, {TPaletteEntry{1, 2, 3, 0}});
  p.ScanLine(2)[4] = 7;
  auto dup = DuplicateTBitmap(p);
  ASSERT_EQ(dup->Width(), 5);
  EXPECT_EQ(dup->PixelFormat(), pf8bit);
  EXPECT_EQ(dup->ScanLine(2)[4], 7);
  EXPECT_EQ(dup->GetPaletteEntry(7).Blue, 3);

  TBitmap mono;
  mono.SetPixelFormat(pf1bit);
  mono.SetSize(11, 3);
  mono.ScanLine(1)[1] = 0xA0;  // pixels 8 and 10
  TBitmap wide;
  std::vector<int32_t> progress;
  ASSERT_TRUE(
      ExpandBW1TBitmapTo24(mono, wide, TPXProgressRec{[&](TObject*, int percent) { progress.push_back(percent); }}));
  EXPECT_EQ(wide.PixelFormat(), pf24bit);
  ASSERT_EQ(wide.Width(), 11);
  const uint8_t* r = wide.ScanLine(1);
  EXPECT_EQ(r[3 * 8], 255);
  EXPECT_EQ(r[3 * 9 + 1], 0);
  EXPECT_EQ(r[3 * 10 + 2], 255);
  EXPECT_EQ(r[3 * 7], 0);
  EXPECT_EQ(progress, (std::vector<int32_t>{28, 57, 85}));
  EXPECT_FALSE(ExpandBW1TBitmapTo24(p, wide));
  EXPECT_EQ(wide.Width(), 11);  // untouched

  uint8_t row[2] = {0x81, 0x40};
  uint8_t out[30] = {};
  ExpandBW1RowTo24(row, out, 10);
  EXPECT_EQ(out[0], 255);
  EXPECT_EQ(out[3], 0);
  EXPECT_EQ(out[21], 255);
  EXPECT_EQ(out[27], 255);
}

// ------------------------------------------------------------ rows

TEST(DibRows, RedBlueSwaps) {
  uint8_t px[6] = {1, 2, 3, 4, 5, 6};
  SwapRedBlueRow(px, 2);
  EXPECT_EQ(std::vector<uint8_t>(px, px + 6), (std::vector<uint8_t>{3, 2, 1, 6, 5, 4}));
  TBGR t[1] = {TBGR{7, 8, 9}};
  SwapRedBluePixels(t, 1);
  EXPECT_EQ(t[0], (TBGR{9, 8, 7}));
  uint8_t copy[6] = {};
  CopySwapRedBlue(copy, px, 2);
  EXPECT_EQ(std::vector<uint8_t>(copy, copy + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(DibRows, BitmapsEqualLooksAtPixelsNotPadding) {
  TPXBitmap a, b;
  ASSERT_TRUE(a.Allocate(5, 3, pxBW1));
  ASSERT_TRUE(b.Allocate(5, 3, pxBW1));
  Fill1(a);
  Fill1(b);
  EXPECT_TRUE(BitmapsEqual(a, b));
  b.Scanline(1)[0] |= 0x07;  // the three bits past the width
  if (b.RowLen() > 1) b.Scanline(1)[1] = 0xEE;
  EXPECT_TRUE(BitmapsEqual(a, b));
  b.Scanline(1)[0] ^= 0x08;  // pixel 4
  EXPECT_FALSE(BitmapsEqual(a, b));

  TPXBitmap g, p;
  ASSERT_TRUE(g.Allocate(2, 2, pxGray8));
  ASSERT_TRUE(p.Allocate(2, 2, pxPal8));
  EXPECT_FALSE(BitmapsEqual(g, p));  // same bytes, other formats

  TPXBitmap c, d;
  ASSERT_TRUE(c.Allocate(3, 2, pxBGR24));
  ASSERT_TRUE(d.Allocate(3, 2, pxBGR24));
  EXPECT_TRUE(BitmapsEqual(c, d));
  c.GetAlphaChannel();
  EXPECT_FALSE(BitmapsEqual(c, d));  // alpha on one side only
  d.GetAlphaChannel();
  EXPECT_TRUE(BitmapsEqual(c, d));
  d.SetAlpha(2, 1, 9);
  EXPECT_FALSE(BitmapsEqual(c, d));
  EXPECT_TRUE(BitmapsEqual(d, d));
}

TEST(DibRows, QuantizeRow24) {
  // An exact palette of three colours: a fourth colour maps to its nearest
  // entry, never to an index of -1.
  TPXBitmap src;
  ASSERT_TRUE(src.Allocate(3, 1, pxBGR24));
  const uint8_t colours[9] = {0, 0, 0, 250, 250, 250, 0, 0, 200};
  std::memcpy(src.Scanline(0), colours, 9);
  std::array<TBGR, 256> pal{};
  TPXQuantizer q;
  q.Init(src, pal, 16);
  ASSERT_EQ(q.Method(), TPXQuantMethod::ExactPalette);
  ASSERT_EQ(q.ColorIndex(BGRToInt(TBGR{10, 10, 190})), -1);
  const int white = q.ColorIndex(BGRToInt(TBGR{250, 250, 250}));
  const int red = q.ColorIndex(BGRToInt(TBGR{0, 0, 200}));
  const uint8_t row[15] = {250, 250, 250, 10, 10, 190, 0, 0, 0, 0, 0, 200, 240, 240, 240};
  uint8_t out[8];
  std::memset(out, 0xFF, sizeof(out));
  ASSERT_TRUE(QuantizeRow24(row, out, 24, &q, 0, nullptr, 5, 4));
  EXPECT_EQ(out[0], (white << 4) | red);
  EXPECT_EQ(out[1], q.ColorIndex(0) << 4 | red);
  EXPECT_EQ(out[2], white << 4);  // odd count: the low nibble is cleared
  EXPECT_EQ(out[3], 0xFF);        // nothing past the pixels
  ASSERT_TRUE(QuantizeRow24(row, out, 24, &q, 0, nullptr, 5, 8));
  EXPECT_EQ(out[1], red);
  EXPECT_FALSE(QuantizeRow24(row, out, 24, nullptr, 0, nullptr, 5, 8));

  // Palette look-ups stay within the palette.
  const TBGR two[2] = {TBGR{1, 1, 1}, TBGR{9, 9, 9}};
  const uint8_t idx[3] = {0, 1, 200};
  uint8_t rgb[9];
  ASSERT_TRUE(QuantizeRow24(idx, rgb, 8, nullptr, 2, two, 3, 24));
  EXPECT_EQ(rgb[6], 9);
  EXPECT_FALSE(QuantizeRow24(idx, rgb, 8, nullptr, 0, nullptr, 3, 24));
  const uint8_t bits[1] = {0xA0};
  ASSERT_TRUE(QuantizeRow24(bits, rgb, 1, nullptr, 2, two, 3, 24));
  EXPECT_EQ(rgb[0], 9);
  EXPECT_EQ(rgb[3], 1);
  const uint8_t nib[2] = {0x1F, 0x20};
  ASSERT_TRUE(QuantizeRow24(nib, rgb, 4, nullptr, 2, two, 3, 24));
  EXPECT_EQ(rgb[0], 9);
  EXPECT_EQ(rgb[3], 9);  // 15 past the palette: its last entry
  EXPECT_EQ(rgb[6], 9);

  // The unpacking pairs.
  uint8_t o[8];
  std::memset(o, 0xFF, sizeof(o));
  ASSERT_TRUE(QuantizeRow24(bits, o, 1, nullptr, 0, nullptr, 3, 4));
  EXPECT_EQ(o[0], 0x10);
  EXPECT_EQ(o[1], 0x10);
  ASSERT_TRUE(QuantizeRow24(bits, o, 1, nullptr, 0, nullptr, 3, 8));
  EXPECT_EQ(std::vector<uint8_t>(o, o + 3), (std::vector<uint8_t>{1, 0, 1}));
  const uint8_t bytes[9] = {1, 0, 3, 2, 5, 4, 7, 6, 9};
  std::memset(o, 0xFF, sizeof(o));
  ASSERT_TRUE(QuantizeRow24(bytes, o, 8, nullptr, 0, nullptr, 9, 1));
  EXPECT_EQ(o[0], 0xAA);
  EXPECT_EQ(o[1], 0x80);
  ASSERT_TRUE(QuantizeRow24(nib, o, 4, nullptr, 0, nullptr, 3, 8));
  EXPECT_EQ(std::vector<uint8_t>(o, o + 3), (std::vector<uint8_t>{1, 15, 2}));
  const uint8_t quad[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_TRUE(QuantizeRow24(quad, o, 32, nullptr, 0, nullptr, 2, 24));
  EXPECT_EQ(std::vector<uint8_t>(o, o + 6), (std::vector<uint8_t>{1, 2, 3, 5, 6, 7}));
  EXPECT_FALSE(QuantizeRow24(quad, o, 16, nullptr, 0, nullptr, 2, 24));
  EXPECT_FALSE(QuantizeRow24(quad, o, 24, nullptr, 0, nullptr, 2, 1));
}
