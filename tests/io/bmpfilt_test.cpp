#include "io/formats/bmp/bmpfilt.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using Bytes = std::vector<uint8_t>;

// ------------------------------------------------------------------ helpers

uint32_t U16At(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }
uint32_t U32At(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

struct TBytes {
  Bytes b;
  void U8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) { U8(v), U8(v >> 8); }
  void U32(uint32_t v) { U16(v), U16(v >> 16); }
  void Raw(const Bytes& v) { b.insert(b.end(), v.begin(), v.end()); }
};

// A BMP built byte by byte. Masks go inside the header for sizes of 52 and up
// (not 64), straight after the header otherwise, before any palette. colorsUsed -1: the palette size.
struct THandBmp {
  uint32_t headerSize = 40;
  int32_t width = 1, height = 1;
  uint16_t bits = 24;
  uint32_t compression = 0;
  std::vector<uint32_t> palette;  // 0x00RRGGBB
  std::vector<uint32_t> masks;
  Bytes pixels;
  int64_t colorsUsed = -1;
  int32_t ppm = 2835;
  int64_t imageSize = -1;  // -1: the pixel bytes

  Bytes InfoPart() const {
    TBytes info;
    if (headerSize == 12) {
      info.U32(12);
      info.U16(static_cast<uint32_t>(width));
      info.U16(static_cast<uint32_t>(height));
      info.U16(1);
      info.U16(bits);
      for (uint32_t c : palette) info.U8(c), info.U8(c >> 8), info.U8(c >> 16);
      return info.b;
    }
    const bool masksInHeader = headerSize >= 52 && headerSize != 64;
    info.U32(headerSize);
    info.U32(static_cast<uint32_t>(width));
    info.U32(static_cast<uint32_t>(height));
    info.U16(1);
    info.U16(bits);
    info.U32(compression);
    info.U32(static_cast<uint32_t>(imageSize >= 0 ? imageSize : static_cast<int64_t>(pixels.size())));
    info.U32(static_cast<uint32_t>(ppm));
    info.U32(static_cast<uint32_t>(ppm));
    info.U32(static_cast<uint32_t>(colorsUsed >= 0 ? colorsUsed : static_cast<int64_t>(palette.size())));
    info.U32(0);
    if (masksInHeader)
      for (uint32_t m : masks) info.U32(m);
    info.b.resize(headerSize, 0);
    if (!masksInHeader)
      for (uint32_t m : masks) info.U32(m);
    for (uint32_t c : palette) info.U32(c);
    return info.b;
  }
  Bytes File() const {
    const Bytes info = InfoPart();
    TBytes f;
    f.U16(0x4D42);
    f.U32(static_cast<uint32_t>(14 + info.size() + pixels.size()));
    f.U32(0);
    f.U32(static_cast<uint32_t>(14 + info.size()));
    f.Raw(info);
    f.Raw(pixels);
    return f.b;
  }
  Bytes Dib() const {
    Bytes d = InfoPart();
    d.insert(d.end(), pixels.begin(), pixels.end());
    return d;
  }
};

struct TRead {
  std::unique_ptr<TPXBitmap> bitmap = std::make_unique<TPXBitmap>();
  std::unique_ptr<TIOParamsVals> params = std::make_unique<TIOParamsVals>();
  bool aborted = false;
  std::vector<int> percents;
};

struct TReadOptions {
  bool keepNative = false;
  bool paramsOnly = false;
  bool headerLess = false;
  int64_t dataLength = 0;
  int64_t abortBeforeRow = -1;  // set Aborting from the progress handler at this row
};

TRead ReadStream(TStream& stream, const TReadOptions& o = {}) {
  TRead r;
  r.params->KeepNativeFormat = o.keepNative;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  progress.OnProgress = [&](TObject*, int percent) {
    r.percents.push_back(percent);
    if (o.abortBeforeRow >= 0 && progress.RowsDone >= o.abortBeforeRow) aborting = true;
  };
  ReadBMPStream(stream, *r.bitmap, o.dataLength, *r.params, progress, o.paramsOnly, o.headerLess);
  r.aborted = aborting;
  return r;
}

TRead ReadBytes(const Bytes& bytes, const TReadOptions& o = {}) {
  TReadOnlyMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  return ReadStream(s, o);
}

struct TWriteOptions {
  int32_t bits = 8, samples = 3;
  uint8_t kind = 1, compression = 0;
  int32_t dpi = 300;
};

Bytes WriteBitmap(TPXBitmap& bitmap, const TWriteOptions& o, bool* aborted = nullptr,
                  TIOParamsVals* paramsOut = nullptr) {
  TIOParamsVals params;
  params.BitsPerSample = o.bits;
  params.SamplesPerPixel = o.samples;
  params.BMPHeaderKind = o.kind;
  params.BMPCompression = o.compression;
  params.DpiX = params.DpiY = o.dpi;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  WriteBMPStream(out, bitmap, params, progress);
  if (aborted) *aborted = aborting;
  if (paramsOut) paramsOut->Assign(params);
  return out.Bytes();
}

// The colour of a pixel whatever the format.
TBGR ColorAt(TPXBitmap& bmp, int32_t x, int32_t y) {
  const uint8_t* row = bmp.Scanline(y);
  switch (bmp.PixelFormat()) {
    case pxBGR24: return TBGR{row[x * 3], row[x * 3 + 1], row[x * 3 + 2]};
    case pxBW1: {
      const uint8_t v = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
      return TBGR{v, v, v};
    }
    case pxPal8: return bmp.GetPaletteEntry(row[x]);
    case pxGray8: return TBGR{row[x], row[x], row[x]};
    default: ADD_FAILURE() << "format " << int(bmp.PixelFormat()); return {};
  }
}

// Compares colours pixel by pixel, with the first difference in the message.
::testing::AssertionResult SameColors(TPXBitmap& a, TPXBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height())
    return ::testing::AssertionFailure() << "size " << a.Width() << "x" << a.Height() << " vs " << b.Width() << "x"
                                         << b.Height();
  for (int32_t y = 0; y < a.Height(); ++y)
    for (int32_t x = 0; x < a.Width(); ++x) {
      const TBGR p = ColorAt(a, x, y), q = ColorAt(b, x, y);
      if (!(p == q))
        return ::testing::AssertionFailure() << "pixel " << x << "," << y << ": " << int(p.r) << "," << int(p.g) << ","
                                             << int(p.b) << " vs " << int(q.r) << "," << int(q.g) << "," << int(q.b);
    }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SameAsQImage(TPXBitmap& a, const QImage& q) {
  if (a.Width() != q.width() || a.Height() != q.height())
    return ::testing::AssertionFailure() << "size " << a.Width() << "x" << a.Height() << " vs " << q.width() << "x"
                                         << q.height();
  for (int32_t y = 0; y < a.Height(); ++y)
    for (int32_t x = 0; x < a.Width(); ++x) {
      const TBGR p = ColorAt(a, x, y);
      const QRgb c = q.pixel(x, y);
      if (p.r != qRed(c) || p.g != qGreen(c) || p.b != qBlue(c))
        return ::testing::AssertionFailure()
               << "pixel " << x << "," << y << ": ours " << int(p.r) << "," << int(p.g) << "," << int(p.b) << " Qt "
               << qRed(c) << "," << qGreen(c) << "," << qBlue(c);
    }
  return ::testing::AssertionSuccess();
}

// Test images with a pattern that changes along both axes and has runs.
std::unique_ptr<TPXBitmap> MakeBitmap(TPXPixelFormat format, int32_t w, int32_t h, int paletteSize = 256) {
  auto bmp = std::make_unique<TPXBitmap>();
  EXPECT_TRUE(bmp->Allocate(w, h, format));
  if (format == pxPal8)
    for (int i = 0; i < paletteSize; ++i)
      bmp->SetPaletteEntry(i, TBGR{uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 13 + 5)});
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = bmp->Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      const int v = (x / 3 + y * 5 + (x * y) % 7) & 0xFF;
      switch (format) {
        case pxBGR24:
          row[x * 3] = uint8_t(v * 3);
          row[x * 3 + 1] = uint8_t(x * 17 + y);
          row[x * 3 + 2] = uint8_t(255 - v);
          break;
        case pxBW1:
          if ((v ^ x) & 1) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
          else row[x >> 3] &= uint8_t(~(0x80 >> (x & 7)));
          break;
        case pxPal8: row[x] = uint8_t(v % paletteSize); break;
        case pxGray8: row[x] = uint8_t(v * 9); break;
        default: break;
      }
    }
  }
  return bmp;
}

QByteArray QtBmp(const QImage& img) {
  QByteArray data;
  QBuffer buf(&data);
  buf.open(QIODevice::WriteOnly);
  EXPECT_TRUE(img.save(&buf, "BMP"));
  return data;
}

Bytes ToBytes(const QByteArray& a) { return Bytes(a.begin(), a.end()); }

// A stream that accepts only the first limit bytes.
class TLimitedStream : public TMemoryStream {
 public:
  explicit TLimitedStream(int64_t limit) : limit_(limit) {}
  int64_t Write(const void* buffer, int64_t count) override {
    const int64_t room = std::max<int64_t>(0, limit_ - Position());
    return TMemoryStream::Write(buffer, std::min(count, room));
  }

 private:
  int64_t limit_;
};

// Walks run-length data record by record; returns false on a malformed
// record. rows: end-of-line escapes seen; endAt: offset of the end-of-bitmap.
bool WalkRLE(const Bytes& d, size_t from, bool rle4, int& rows, size_t& endAt) {
  rows = 0;
  size_t p = from;
  while (p + 1 < d.size()) {
    const uint8_t n = d[p], e = d[p + 1];
    p += 2;
    if (n) continue;
    if (e == 0) {
      ++rows;
    } else if (e == 1) {
      endAt = p - 2;
      return true;
    } else if (e == 2) {
      p += 2;
    } else {
      const size_t bytes = rle4 ? (e + 1) / 2 : e;
      p += bytes + (bytes & 1);
    }
  }
  return false;
}

// An 8-bit (or 4-bit) run-length file over a 4-entry palette.
THandBmp RleFile(int bits, int32_t w, int32_t h, Bytes data) {
  THandBmp f;
  f.width = w, f.height = h, f.bits = static_cast<uint16_t>(bits), f.compression = bits == 8 ? 1 : 2;
  f.palette = {0x000000, 0x0000FF, 0x00FF00, 0xFF0000};
  f.pixels = std::move(data);
  return f;
}

// ------------------------------------------------------------------ edge cases

TEST(BmpRead, TopDownEqualsBottomUp) {
  THandBmp up;
  up.width = 3, up.height = 2;
  // Bottom row first: (1,2,3)(4,5,6)(7,8,9), then the top row.
  up.pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 11, 12, 13, 14, 15, 16, 17, 18, 19, 0, 0, 0};
  THandBmp down = up;
  down.height = -2;
  down.pixels = {11, 12, 13, 14, 15, 16, 17, 18, 19, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0};
  TRead a = ReadBytes(up.File()), b = ReadBytes(down.File());
  ASSERT_FALSE(a.aborted);
  ASSERT_FALSE(b.aborted);
  EXPECT_EQ(b.params->Height, 2);
  EXPECT_TRUE(SameColors(*a.bitmap, *b.bitmap));
  EXPECT_EQ(ColorAt(*a.bitmap, 0, 0), (TBGR{11, 12, 13}));
  EXPECT_EQ(ColorAt(*a.bitmap, 2, 1), (TBGR{7, 8, 9}));
}

TEST(BmpRead, OneBitPaletteOrderDecidesInversion) {
  THandBmp f;
  f.width = 9, f.height = 1, f.bits = 1;
  f.pixels = {0xC0, 0x80, 0, 0};     // pixels 0, 1 and 8 set
  f.palette = {0xFFFFFF, 0x000000};  // white, black: set bits are black
  TRead wb = ReadBytes(f.File());
  ASSERT_FALSE(wb.aborted);
  ASSERT_EQ(wb.bitmap->PixelFormat(), pxBW1);
  EXPECT_EQ(wb.bitmap->Scanline(0)[0], 0x3F);  // white pixels 2..7 are set
  EXPECT_EQ(wb.bitmap->Scanline(0)[1] & 0x80, 0);
  EXPECT_EQ(ColorAt(*wb.bitmap, 0, 0), (TBGR{0, 0, 0}));
  EXPECT_EQ(ColorAt(*wb.bitmap, 2, 0), (TBGR{255, 255, 255}));

  f.palette = {0x000000, 0xFFFFFF};
  TRead bw = ReadBytes(f.File());
  ASSERT_FALSE(bw.aborted);
  EXPECT_EQ(bw.bitmap->Scanline(0)[0], 0xC0);
  EXPECT_EQ(bw.bitmap->Scanline(0)[1] & 0x80, 0x80);
  EXPECT_EQ(bw.params->PaletteCount, 2);
  EXPECT_EQ(bw.params->BitsPerSample, 1);
  EXPECT_EQ(bw.params->SamplesPerPixel, 1);
}

TEST(BmpRead, SixteenBitsDefaultFiveFiveFiveAndBitFields) {
  THandBmp f;
  f.width = 2, f.height = 1, f.bits = 16;
  // 0x7FFF then 0xFFFF.
  f.pixels = {0xFF, 0x7F, 0xFF, 0xFF};
  TRead plain = ReadBytes(f.File());
  ASSERT_FALSE(plain.aborted);
  EXPECT_EQ(plain.params->BitsPerSample, 5);
  EXPECT_EQ(plain.params->SamplesPerPixel, 3);
  // Five bits scale to the full range: 31 is white.
  EXPECT_EQ(ColorAt(*plain.bitmap, 0, 0), (TBGR{255, 255, 255}));
  EXPECT_EQ(ColorAt(*plain.bitmap, 1, 0), (TBGR{255, 255, 255}));  // the top bit is no field

  // 5-6-5: red 0xF800, green 0x07E0 (6 bits), blue 0x001F.
  f.compression = 3;
  f.masks = {0xF800, 0x07E0, 0x001F};
  f.pixels = {0xE0, 0x07, 0x1F, 0xF8};  // pure green; 0xF81F magenta
  TRead fields = ReadBytes(f.File());
  ASSERT_FALSE(fields.aborted);
  EXPECT_EQ(fields.params->BMPCompression, 0);
  EXPECT_EQ(ColorAt(*fields.bitmap, 0, 0), (TBGR{0, 255, 0}));
  EXPECT_EQ(ColorAt(*fields.bitmap, 1, 0), (TBGR{255, 0, 255}));

  // A 5-5-5 pixel given as bit fields decodes like the default 5-5-5.
  f.masks = {0x7C00, 0x03E0, 0x001F};
  f.pixels = {0x21, 0x04, 0x00, 0x00};  // r=1, g=1, b=1
  TRead fives = ReadBytes(f.File());
  ASSERT_FALSE(fives.aborted);
  EXPECT_EQ(ColorAt(*fives.bitmap, 0, 0), (TBGR{8, 8, 8}));
}

TEST(BmpRead, MasksInsideV4AndV5Headers) {
  for (uint32_t size : {108u, 124u}) {
    THandBmp f;
    f.headerSize = size;
    f.width = 2, f.height = 1, f.bits = 16, f.compression = 3;
    f.masks = {0xF800, 0x07E0, 0x001F};  // stored at offset 40 of the header, no block after it
    f.pixels = {0xE0, 0x07, 0x1F, 0xF8};
    TRead r = ReadBytes(f.File());
    ASSERT_FALSE(r.aborted) << size;
    EXPECT_EQ(r.params->BMPHeaderKind, 0);
    EXPECT_EQ(ColorAt(*r.bitmap, 0, 0), (TBGR{0, 255, 0})) << size;
    EXPECT_EQ(ColorAt(*r.bitmap, 1, 0), (TBGR{255, 0, 255})) << size;

    // A header-less DIB has no pixel offset: the pixels must follow the header.
    TRead dib = ReadBytes(f.Dib(), {.headerLess = true});
    ASSERT_FALSE(dib.aborted);
    EXPECT_TRUE(SameColors(*r.bitmap, *dib.bitmap));
  }
  // Fields of 4 bits scale to 8 (0xF -> 0xFF, 0x5 -> 0x55); wider fields scale down.
  THandBmp f;
  f.headerSize = 108;
  f.width = 2, f.height = 1, f.bits = 16, f.compression = 3;
  f.masks = {0x0F00, 0x00F0, 0x000F};
  f.pixels = {0x5F, 0x0A, 0xFF, 0xFF};
  TRead r = ReadBytes(f.File());
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(ColorAt(*r.bitmap, 0, 0), (TBGR{0xFF, 0x55, 0xAA}));
  EXPECT_EQ(ColorAt(*r.bitmap, 1, 0), (TBGR{0xFF, 0xFF, 0xFF}));
  f.masks = {0xFFFF, 0, 0};  // 0x1234 x 255 / 0xFFFF = 18.1
  f.pixels = {0x34, 0x12, 0, 0};
  TRead wide = ReadBytes(f.File());
  ASSERT_FALSE(wide.aborted);
  EXPECT_EQ(ColorAt(*wide.bitmap, 0, 0), (TBGR{0, 0, 0x12}));
}

TEST(BmpRead, ThirtyTwoBitsTakeTheFirstThreeBytes) {
  THandBmp f;
  f.width = 2, f.height = 1, f.bits = 32;
  f.pixels = {1, 2, 3, 99, 4, 5, 6, 0};
  TRead r = ReadBytes(f.File());
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.params->BitsPerSample, 8);
  EXPECT_EQ(r.params->SamplesPerPixel, 3);
  EXPECT_EQ(ColorAt(*r.bitmap, 0, 0), (TBGR{1, 2, 3}));
  EXPECT_EQ(ColorAt(*r.bitmap, 1, 0), (TBGR{4, 5, 6}));
}

TEST(BmpRead, ColorsUsedAbove256CountsAsZero) {
  THandBmp f;
  f.width = 2, f.height = 1, f.bits = 8, f.colorsUsed = 300;
  for (uint32_t i = 0; i < 256; ++i) f.palette.push_back(i << 8);  // green ramp
  f.pixels = {7, 200, 0, 0};
  TRead r = ReadBytes(f.File());
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.params->PaletteCount, 256);
  EXPECT_EQ(ColorAt(*r.bitmap, 0, 0), (TBGR{0, 7, 0}));
  EXPECT_EQ(ColorAt(*r.bitmap, 1, 0), (TBGR{0, 200, 0}));
}

TEST(BmpRead, IndicesBeyondThePaletteAreBlack) {
  THandBmp f;
  f.width = 3, f.height = 1, f.bits = 8;
  f.palette = {0xFF0000, 0x00FF00};  // two entries only
  f.pixels = {1, 2, 255, 0};
  TRead rgb = ReadBytes(f.File());
  ASSERT_FALSE(rgb.aborted);
  EXPECT_EQ(ColorAt(*rgb.bitmap, 0, 0), (TBGR{0, 255, 0}));
  EXPECT_EQ(ColorAt(*rgb.bitmap, 1, 0), (TBGR{0, 0, 0}));
  EXPECT_EQ(ColorAt(*rgb.bitmap, 2, 0), (TBGR{0, 0, 0}));

  TRead native = ReadBytes(f.File(), {.keepNative = true});
  ASSERT_FALSE(native.aborted);
  ASSERT_EQ(native.bitmap->PixelFormat(), pxPal8);
  EXPECT_EQ(native.bitmap->Scanline(0)[2], 255);
  EXPECT_GE(native.bitmap->PaletteCount(), 256);  // every index lands inside the palette
  EXPECT_EQ(native.bitmap->GetPaletteEntry(1), (TBGR{0, 255, 0}));
  EXPECT_EQ(native.bitmap->GetPaletteEntry(255), (TBGR{0, 0, 0}));
  EXPECT_EQ(native.bitmap->MaxColors, 256);
  EXPECT_EQ(native.params->PaletteCount, 2);
}

TEST(BmpRead, HeaderLessEqualsWithHeader) {
  for (int bits : {1, 4, 8, 24}) {
    THandBmp f;
    f.width = 5, f.height = 3, f.bits = static_cast<uint16_t>(bits);
    if (bits <= 8)
      for (int i = 0; i < (1 << bits); ++i) f.palette.push_back(uint32_t(i * 0x010305));
    const int64_t rowLen = ((5 * bits + 31) / 32) * 4;
    for (int64_t i = 0; i < rowLen * 3; ++i) f.pixels.push_back(uint8_t(i * 29 + 3));
    TRead with = ReadBytes(f.File());
    TRead without = ReadBytes(f.Dib(), {.headerLess = true});
    ASSERT_FALSE(with.aborted) << bits;
    ASSERT_FALSE(without.aborted) << bits;
    EXPECT_TRUE(SameColors(*with.bitmap, *without.bitmap)) << bits;
    EXPECT_EQ(without.params->PaletteCount, with.params->PaletteCount);

    // Inside a larger stream, at its current position.
    Bytes outer(37, 0xEE);
    const Bytes dib = f.Dib();
    outer.insert(outer.end(), dib.begin(), dib.end());
    TReadOnlyMemoryStream s(outer.data(), static_cast<int64_t>(outer.size()));
    s.SetPosition(37);
    TRead inner = ReadStream(s, {.headerLess = true});
    ASSERT_FALSE(inner.aborted) << bits;
    EXPECT_TRUE(SameColors(*with.bitmap, *inner.bitmap)) << bits;
  }
}

TEST(BmpRead, ParametersOnly) {
  THandBmp zero;
  zero.width = 0, zero.height = 0, zero.bits = 8;
  zero.palette = {0x102030, 0x405060};
  zero.ppm = 3780;  // 96 dpi
  TRead r = ReadBytes(zero.File());
  EXPECT_FALSE(r.aborted);
  EXPECT_EQ(r.bitmap->Width(), 0);
  EXPECT_EQ(r.bitmap->PixelFormat(), pxNone);
  EXPECT_EQ(r.params->Width, 0);
  EXPECT_EQ(r.params->BitsPerSample, 8);
  EXPECT_EQ(r.params->SamplesPerPixel, 1);
  EXPECT_EQ(r.params->DpiX, 96);
  EXPECT_EQ(r.params->PaletteCount, 2);
  EXPECT_EQ(r.params->Palette[1], (TBGR{0x60, 0x50, 0x40}));

  // Asked for: the record is filled and the bitmap keeps what it had.
  THandBmp f;
  f.width = 4000, f.height = 3000, f.bits = 4, f.compression = 2;
  f.palette.assign(16, 0x808080);
  f.pixels = {0, 1};
  TPXBitmap keep;
  ASSERT_TRUE(keep.Allocate(2, 2, pxGray8));
  const Bytes file = f.File();
  TReadOnlyMemoryStream fs(file.data(), static_cast<int64_t>(file.size()));
  TIOParamsVals params;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  ReadBMPStream(fs, keep, 0, params, progress, true, false);
  EXPECT_FALSE(aborting);
  EXPECT_EQ(params.Width, 4000);
  EXPECT_EQ(params.Height, 3000);
  EXPECT_EQ(params.BitsPerSample, 4);
  EXPECT_EQ(params.BMPCompression, 1);
  EXPECT_EQ(params.PaletteCount, 16);
  EXPECT_EQ(keep.Width(), 2);
  EXPECT_EQ(keep.PixelFormat(), pxGray8);
}

TEST(BmpRead, HeaderKindsAndResolution) {
  THandBmp f;
  f.width = 2, f.height = 1, f.bits = 24, f.pixels = Bytes(8, 0x40);
  f.ppm = 11811;  // 300 dpi
  TRead win = ReadBytes(f.File());
  EXPECT_EQ(win.params->BMPHeaderKind, 1);
  EXPECT_EQ(win.params->DpiX, 300);
  f.ppm = 0;  // no resolution: the library's default
  TRead none = ReadBytes(f.File());
  EXPECT_EQ(none.params->DpiX, PXSettings().DefaultDpiX);
  EXPECT_EQ(none.params->DpiY, PXSettings().DefaultDpiY);
  f.headerSize = 64;
  EXPECT_EQ(ReadBytes(f.File()).params->BMPHeaderKind, 3);
  f.headerSize = 56;
  EXPECT_EQ(ReadBytes(f.File()).params->BMPHeaderKind, 0);
  f.headerSize = 200;  // longer than any known header: the rest is skipped
  TRead longer = ReadBytes(f.File());
  EXPECT_FALSE(longer.aborted);
  EXPECT_EQ(ColorAt(*longer.bitmap, 1, 0), (TBGR{0x40, 0x40, 0x40}));

  THandBmp os2;
  os2.headerSize = 12, os2.width = 3, os2.height = 1, os2.bits = 4;
  os2.palette = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
  os2.palette.resize(16, 0x808080);
  os2.pixels = {0x12, 0x30, 0, 0};
  TRead o = ReadBytes(os2.File());
  ASSERT_FALSE(o.aborted);
  EXPECT_EQ(o.params->BMPHeaderKind, 2);
  EXPECT_EQ(o.params->DpiX, PXSettings().DefaultDpiX);
  EXPECT_EQ(o.params->PaletteCount, 16);
  EXPECT_EQ(ColorAt(*o.bitmap, 0, 0), (TBGR{0, 0, 255}));
  EXPECT_EQ(ColorAt(*o.bitmap, 1, 0), (TBGR{0, 255, 0}));
  EXPECT_EQ(ColorAt(*o.bitmap, 2, 0), (TBGR{255, 0, 0}));
}

TEST(BmpRead, FourAndEightBitsNative) {
  THandBmp f;
  f.width = 3, f.height = 2, f.bits = 4;
  f.palette = {0x000000, 0x112233, 0x445566};
  f.pixels = {0x12, 0x00, 0, 0, 0x21, 0x10, 0, 0};
  TRead r = ReadBytes(f.File(), {.keepNative = true});
  ASSERT_FALSE(r.aborted);
  ASSERT_EQ(r.bitmap->PixelFormat(), pxPal8);
  EXPECT_EQ(r.bitmap->MaxColors, 16);
  EXPECT_EQ(r.bitmap->Scanline(0)[0], 2);  // top row is the file's second
  EXPECT_EQ(r.bitmap->Scanline(0)[1], 1);
  EXPECT_EQ(r.bitmap->Scanline(1)[1], 2);
  EXPECT_EQ(r.bitmap->GetPaletteEntry(2), (TBGR{0x66, 0x55, 0x44}));
  TRead rgb = ReadBytes(f.File());
  ASSERT_EQ(rgb.bitmap->PixelFormat(), pxBGR24);
  EXPECT_TRUE(SameColors(*r.bitmap, *rgb.bitmap));
}

TEST(BmpRead, CompressionNotOfTheDepthFails) {
  // RLE4 at 8 bits, RLE8 at 4 bits, RLE at 1, 16, 24 and 32 bits, bit fields
  // (or OS/2's 1-bit Huffman, which has the same number) at 1, 4 and 8 bits.
  const std::pair<int, int> cases[] = {{8, 2},  {4, 1},  {24, 1}, {1, 1}, {1, 2},
                                       {16, 2}, {32, 1}, {1, 3},  {4, 3}, {8, 3}};
  for (auto [bits, comp] : cases) {
    THandBmp f;
    f.width = 2, f.height = 2, f.bits = static_cast<uint16_t>(bits), f.compression = static_cast<uint32_t>(comp);
    if (bits <= 8) f.palette.assign(size_t{1} << bits, 0xFFFFFF);
    if (comp == 3) f.masks = {0xF800, 0x07E0, 0x001F};
    f.pixels = Bytes(64, 0x11);
    TRead r = ReadBytes(f.File());
    EXPECT_TRUE(r.aborted) << bits << "/" << comp;
    EXPECT_EQ(r.bitmap->Width(), 0) << bits << "/" << comp;
  }
}

// Files of other programs that the reader once got wrong, built byte by byte.
TEST(BmpRead, BitFieldsWhereverTheChannelsSit) {
  // A 40-byte header with masks and a palette: the masks come first.
  THandBmp f;
  f.width = 2, f.height = 1, f.bits = 16, f.compression = 3;
  f.masks = {0xF800, 0x07E0, 0x001F};
  f.palette = {0x102030, 0x405060, 0x708090, 0xA0B0C0};
  f.pixels = {0xE0, 0x07, 0x10, 0x84};  // green 63; then red 16, green 32, blue 16
  TRead pal = ReadBytes(f.File());
  ASSERT_FALSE(pal.aborted);
  EXPECT_EQ(ColorAt(*pal.bitmap, 0, 0), (TBGR{0, 255, 0}));
  EXPECT_EQ(ColorAt(*pal.bitmap, 1, 0), (TBGR{132, 130, 132}));  // 16 x 255 / 31, 32 x 255 / 63

  struct Case {
    uint32_t headerSize;
    std::vector<uint32_t> masks;
    uint32_t pixel;  // one 32-bit pixel, little-endian in the file
    TBGR want;
  };
  const Case cases[] = {
      {40, {0xFF000000, 0x00FF0000, 0x0000FF00}, 0x11223344, TBGR{0x33, 0x22, 0x11}},   // red in the top byte
      {108, {0x000000FF, 0x0000FF00, 0x00FF0000}, 0x00112233, TBGR{0x11, 0x22, 0x33}},  // x-b-g-r
      {124, {0x000000FF, 0x0000FF00, 0x00FF0000}, 0xFF445566, TBGR{0x44, 0x55, 0x66}},
      {40, {0x00FF0000, 0x0000FF00, 0x000000FF}, 0x00ABCDEF, TBGR{0xEF, 0xCD, 0xAB}},  // the usual order
      // 10-10-10: 1023 is white, 512 is 128 (512 x 255 / 1023 = 127.6).
      {40, {0x3FF00000, 0x000FFC00, 0x000003FF}, (1023u << 20) | (512u << 10) | 1u, TBGR{0, 128, 255}},
  };
  for (const Case& c : cases) {
    THandBmp g;
    g.headerSize = c.headerSize;
    g.width = 1, g.height = 1, g.bits = 32, g.compression = 3;
    g.masks = c.masks;
    g.pixels = {uint8_t(c.pixel), uint8_t(c.pixel >> 8), uint8_t(c.pixel >> 16), uint8_t(c.pixel >> 24)};
    TRead r = ReadBytes(g.File());
    ASSERT_FALSE(r.aborted) << c.headerSize;
    EXPECT_EQ(ColorAt(*r.bitmap, 0, 0), c.want) << std::hex << c.pixel;
  }
}

TEST(BmpRead, OneBitFilesInTheirOwnColours) {
  THandBmp f;
  f.width = 10, f.height = 2, f.bits = 1;
  f.palette = {0x2040C0, 0xF0E000};  // blue-ish and yellow
  f.pixels = {0xA5, 0x40, 0, 0, 0x0F, 0xC0, 0, 0};
  const Bytes file = f.File();
  auto want = [&](int x, int y) {
    const uint8_t byte = f.pixels[size_t((1 - y) * 4 + x / 8)];
    return (byte >> (7 - x % 8)) & 1 ? TBGR{0x00, 0xE0, 0xF0} : TBGR{0xC0, 0x40, 0x20};
  };
  for (bool native : {false, true}) {
    TRead r = ReadBytes(file, {.keepNative = native});
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(r.bitmap->PixelFormat(), native ? pxPal8 : pxBGR24);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 10; ++x) EXPECT_EQ(ColorAt(*r.bitmap, x, y), want(x, y)) << x << "," << y;
  }
  const QImage q = QImage::fromData(QByteArray(reinterpret_cast<const char*>(file.data()), int(file.size())), "BMP");
  EXPECT_TRUE(SameAsQImage(*ReadBytes(file).bitmap, q));
}

TEST(BmpRead, ProgressAndCancellation) {
  auto img = MakeBitmap(pxBGR24, 5, 10);
  const Bytes file = WriteBitmap(*img, {});
  TRead r = ReadBytes(file);
  ASSERT_FALSE(r.aborted);
  ASSERT_EQ(r.percents.size(), 10u);  // before each row
  EXPECT_EQ(r.percents.front(), 0);
  EXPECT_EQ(r.percents.back(), 90);
  for (size_t i = 1; i < r.percents.size(); ++i) EXPECT_LE(r.percents[i - 1], r.percents[i]);

  // Cancelled before row 4: rows 0-3 (the bottom four) are kept.
  TRead c = ReadBytes(file, {.abortBeforeRow = 4});
  EXPECT_TRUE(c.aborted);
  ASSERT_EQ(c.bitmap->Height(), 10);
  for (int32_t y = 6; y < 10; ++y) EXPECT_EQ(ColorAt(*c.bitmap, 1, y), ColorAt(*img, 1, y));
  EXPECT_EQ(ColorAt(*c.bitmap, 1, 0), (TBGR{0, 0, 0}));

  // A flag already set: nothing is read.
  TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
  TPXBitmap bmp;
  TIOParamsVals params;
  params.Width = 77;
  std::atomic<bool> aborting{true};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  ReadBMPStream(s, bmp, 0, params, progress, false, false);
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(params.Width, 77);
  EXPECT_EQ(bmp.Width(), 0);
}

// ------------------------------------------------------------------ run-length data

TEST(BmpRle, EncoderByteSequences) {
  auto enc8 = [](const Bytes& row) {
    Bytes out(row.size() * 2 + 2);
    out.resize(static_cast<size_t>(EncodeRLE8Row(row.data(), static_cast<int32_t>(row.size()), out.data())));
    return out;
  };
  auto enc4 = [](const Bytes& row) {
    Bytes out(row.size() * 2 + 2);
    out.resize(static_cast<size_t>(EncodeRLE4Row(row.data(), static_cast<int32_t>(row.size()), out.data())));
    return out;
  };
  // A literal stretch of 5 in RLE4: 0, 5, three bytes, one pad byte.
  EXPECT_EQ(enc4({1, 2, 3, 4, 5}), (Bytes{0, 5, 0x12, 0x34, 0x50, 0, 0, 0}));
  EXPECT_EQ(enc4({1, 2, 3, 4}), (Bytes{0, 4, 0x12, 0x34, 0, 0}));
  EXPECT_EQ(enc8({1, 2, 3}), (Bytes{0, 3, 1, 2, 3, 0, 0, 0}));
  EXPECT_EQ(enc8({1, 2, 3, 4}), (Bytes{0, 4, 1, 2, 3, 4, 0, 0}));
  // One pixel is a run of 1; two are two runs (RLE8) or one two-colour run (RLE4).
  EXPECT_EQ(enc8({9}), (Bytes{1, 9, 0, 0}));
  EXPECT_EQ(enc4({9}), (Bytes{1, 0x99, 0, 0}));
  EXPECT_EQ(enc8({5, 6}), (Bytes{1, 5, 1, 6, 0, 0}));
  EXPECT_EQ(enc4({5, 6}), (Bytes{2, 0x56, 0, 0}));
  // Runs: the colour in both nibbles for RLE4; literals flushed before a run.
  EXPECT_EQ(enc8({7, 7, 7, 1, 2}), (Bytes{3, 7, 1, 1, 1, 2, 0, 0}));
  EXPECT_EQ(enc4({3, 3, 3}), (Bytes{3, 0x33, 0, 0}));
  EXPECT_EQ(enc8({1, 2, 3, 4, 4}), (Bytes{0, 3, 1, 2, 3, 0, 2, 4, 0, 0}));
  // Runs are cut at 255.
  EXPECT_EQ(enc8(Bytes(300, 9)), (Bytes{255, 9, 45, 9, 0, 0}));
  // A literal stretch growing past 255 is flushed as 255 and a run of 1.
  Bytes distinct(256);
  for (int i = 0; i < 256; ++i) distinct[i] = uint8_t(i);
  const Bytes d = enc8(distinct);
  ASSERT_EQ(d.size(), 2u + 255 + 1 + 2 + 2);
  EXPECT_EQ(d[0], 0);
  EXPECT_EQ(d[1], 255);
  EXPECT_EQ(d[2 + 254], 254);
  EXPECT_EQ(d[257], 0);  // pad
  EXPECT_EQ(d[258], 1);
  EXPECT_EQ(d[259], 255);
  // RLE4 keeps only the low nibble of every index.
  EXPECT_EQ(enc4({0x12, 0x34, 0x56}), (Bytes{0, 3, 0x24, 0x60, 0, 0}));
  EXPECT_EQ(enc4({0x1F, 0x2F}), (Bytes{2, 0xFF, 0, 0}));
  // An empty row is only its end of line.
  EXPECT_EQ(enc8({}), (Bytes{0, 0}));
}

TEST(BmpRle, EncoderDecoderAgreeOnRandomRows) {
  std::mt19937 rng(7);
  for (int rle4 = 0; rle4 < 2; ++rle4)
    for (int trial = 0; trial < 200; ++trial) {
      const int32_t w = 1 + static_cast<int32_t>(rng() % 700);
      Bytes row(static_cast<size_t>(w));
      for (int32_t x = 0; x < w;) {
        const uint8_t v = uint8_t(rng() % (rle4 ? 16 : 256));
        int32_t n = (rng() % 3 == 0) ? 1 + static_cast<int32_t>(rng() % 300) : 1;
        while (n-- > 0 && x < w) row[static_cast<size_t>(x++)] = v;
      }
      Bytes out(static_cast<size_t>(w) * 2 + 2 + 2);
      const int32_t n = rle4 ? EncodeRLE4Row(row.data(), w, out.data()) : EncodeRLE8Row(row.data(), w, out.data());
      ASSERT_LE(n, 2 * w + 2);
      out.resize(static_cast<size_t>(n));
      out.push_back(0), out.push_back(1);
      TPXBitmap bmp;
      ASSERT_TRUE(bmp.Allocate(w, 1, pxPal8));
      std::atomic<bool> aborting{false};
      TPXProgressRec progress;
      progress.Aborting = &aborting;
      const bool ok = rle4 ? DecodeRLE4ToIndex(out.data(), n + 2, bmp, false, progress, nullptr)
                           : DecodeRLE8ToIndex(out.data(), n + 2, bmp, false, progress, nullptr);
      ASSERT_TRUE(ok);
      ASSERT_EQ(0, std::memcmp(bmp.Scanline(0), row.data(), static_cast<size_t>(w))) << "width " << w;
    }
}

TEST(BmpRle, DecodingRecords) {
  // RLE8: run, absolute run with pad, end of line, delta, end of bitmap.
  const THandBmp f = RleFile(8, 6, 3, {2, 1, 0, 3, 2, 3, 1, 0, 0, 0, 0, 2, 3, 1, 2, 2, 0, 1});
  TRead r = ReadBytes(f.File(), {.keepNative = true});
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.params->BMPCompression, 1);
  const uint8_t* bottom = r.bitmap->Scanline(2);
  EXPECT_EQ(Bytes(bottom, bottom + 6), (Bytes{1, 1, 2, 3, 1, 0}));
  const uint8_t* top = r.bitmap->Scanline(0);
  EXPECT_EQ(Bytes(top, top + 6), (Bytes{0, 0, 0, 2, 2, 0}));
  TRead rgb = ReadBytes(f.File());
  ASSERT_FALSE(rgb.aborted);
  EXPECT_TRUE(SameColors(*r.bitmap, *rgb.bitmap));
  EXPECT_EQ(ColorAt(*rgb.bitmap, 3, 0), (TBGR{0, 255, 0}));

  // RLE4: runs alternate nibbles; absolute nibbles with the pad of odd byte counts.
  const THandBmp g = RleFile(4, 7, 2, {2, 0x12, 0, 5, 0x32, 0x10, 0x40, 0, 0, 0, 1, 0x30, 0, 1});
  TRead q = ReadBytes(g.File(), {.keepNative = true});
  ASSERT_FALSE(q.aborted);
  const uint8_t* b4 = q.bitmap->Scanline(1);
  EXPECT_EQ(Bytes(b4, b4 + 7), (Bytes{1, 2, 3, 2, 1, 0, 4}));
  EXPECT_EQ(q.bitmap->Scanline(0)[0], 3);
}

TEST(BmpRle, RightEdgeAndDeltasStayInside) {
  // RLE8: pixels past the edge are dropped, as other readers do; writers
  // pad odd-width rows past the edge (here an absolute run of 4 and a run
  // of 2 in a 3-pixel row).
  TRead r8 = ReadBytes(RleFile(8, 3, 1, {0, 5, 1, 2, 3, 1, 2, 0, 0, 1}).File(), {.keepNative = true});
  ASSERT_FALSE(r8.aborted);
  EXPECT_EQ(Bytes(r8.bitmap->Scanline(0), r8.bitmap->Scanline(0) + 3), (Bytes{1, 2, 3}));
  TRead padded = ReadBytes(RleFile(8, 3, 2, {0, 4, 1, 2, 3, 9, 0, 0, 2, 7, 0, 0, 0, 1}).File(), {.keepNative = true});
  ASSERT_FALSE(padded.aborted);
  EXPECT_EQ(Bytes(padded.bitmap->Scanline(1), padded.bitmap->Scanline(1) + 3), (Bytes{1, 2, 3}));
  EXPECT_EQ(Bytes(padded.bitmap->Scanline(0), padded.bitmap->Scanline(0) + 3), (Bytes{7, 7, 0}));
  // RLE4: pixels past the edge are dropped.
  TRead r4 = ReadBytes(RleFile(4, 3, 1, {0, 5, 0x12, 0x31, 0x20, 0, 0, 1}).File(), {.keepNative = true});
  ASSERT_FALSE(r4.aborted);
  EXPECT_EQ(Bytes(r4.bitmap->Scanline(0), r4.bitmap->Scanline(0) + 3), (Bytes{1, 2, 3}));
  // A delta past the last column goes beyond the edge: what follows on that row is dropped.
  TRead d8 = ReadBytes(RleFile(8, 4, 1, {0, 2, 200, 0, 1, 3, 0, 1}).File(), {.keepNative = true});
  ASSERT_FALSE(d8.aborted);
  EXPECT_EQ(Bytes(d8.bitmap->Scanline(0), d8.bitmap->Scanline(0) + 4), (Bytes{0, 0, 0, 0}));
  TRead d4 = ReadBytes(RleFile(4, 4, 1, {0, 2, 200, 0, 1, 0x33, 0, 1}).File(), {.keepNative = true});
  ASSERT_FALSE(d4.aborted);
  EXPECT_EQ(Bytes(d4.bitmap->Scanline(0), d4.bitmap->Scanline(0) + 4), (Bytes{0, 0, 0, 0}));
  // A delta past the last row ends decoding with what was decoded.
  for (int bits : {4, 8}) {
    TRead dy = ReadBytes(RleFile(bits, 2, 2, {2, uint8_t(bits == 4 ? 0x22 : 2), 0, 2, 0, 250, 2, 1, 0, 1}).File(),
                         {.keepNative = true});
    EXPECT_FALSE(dy.aborted) << bits;
    EXPECT_EQ(dy.bitmap->Scanline(1)[1], 2) << bits;
    EXPECT_EQ(dy.bitmap->Scanline(0)[0], 0) << bits;
  }
  // End of line on the last row ends decoding too; a run of more than the
  // row on many rows stays inside.
  TRead eol = ReadBytes(RleFile(8, 2, 2, {255, 1, 0, 0, 255, 2, 0, 0, 255, 3, 0, 0}).File(), {.keepNative = true});
  EXPECT_FALSE(eol.aborted);
  EXPECT_EQ(eol.bitmap->Scanline(0)[1], 2);
}

TEST(BmpRle, DataEndingEarlyKeepsRowsAndFails) {
  // Two rows decoded, then the data stops in the middle of a record.
  for (bool cutInAbsolute : {false, true}) {
    Bytes data = {3, 1, 0, 0, 3, 2, 0, 0};
    if (cutInAbsolute) data.insert(data.end(), {0, 3, 1});  // three pixels promised, one given
    else data.push_back(3);                                 // a count without its colour
    TRead r = ReadBytes(RleFile(8, 3, 4, data).File(), {.keepNative = true});
    EXPECT_TRUE(r.aborted);
    ASSERT_EQ(r.bitmap->Height(), 4);
    EXPECT_EQ(r.bitmap->Scanline(3)[2], 1);
    EXPECT_EQ(r.bitmap->Scanline(2)[0], 2);
    if (cutInAbsolute) {
      EXPECT_EQ(r.bitmap->Scanline(1)[0], 1);
    }
  }
  // No end of bitmap and rows left over.
  TRead open = ReadBytes(RleFile(4, 2, 3, {2, 0x11, 0, 0}).File());
  EXPECT_TRUE(open.aborted);
}

TEST(BmpRle, ImageSizeFieldIsNotTrusted) {
  THandBmp f = RleFile(8, 3, 2, {3, 1, 0, 0, 3, 2, 0, 1});
  // Absurdly large, and no file size to go by: only what the stream holds is read.
  f.imageSize = 0xFFFFFFF0;
  Bytes noSize = f.File();
  noSize[2] = noSize[3] = noSize[4] = noSize[5] = 0;
  TRead big = ReadBytes(noSize);
  EXPECT_FALSE(big.aborted);
  EXPECT_EQ(ColorAt(*big.bitmap, 0, 0), (TBGR{0, 255, 0}));
  // A header-less call knows the data length from the stream.
  TRead dib = ReadBytes(f.Dib(), {.headerLess = true});
  EXPECT_FALSE(dib.aborted);
  EXPECT_TRUE(SameColors(*big.bitmap, *dib.bitmap));
  // Too small: the data ends before the image does.
  Bytes file = noSize;
  file[14 + 20] = 4, file[14 + 21] = file[14 + 22] = file[14 + 23] = 0;
  TRead small = ReadBytes(file);
  EXPECT_TRUE(small.aborted);
  EXPECT_EQ(ColorAt(*small.bitmap, 2, 1), (TBGR{255, 0, 0}));
}

// ------------------------------------------------------------------ writer

TEST(BmpWrite, TwentyFourBitHeaderValues) {
  auto img = MakeBitmap(pxBGR24, 5, 3);
  TIOParamsVals after;
  bool aborted = true;
  const Bytes b = WriteBitmap(*img, {.bits = 8, .samples = 3, .kind = 1, .dpi = 300}, &aborted, &after);
  ASSERT_FALSE(aborted);
  const uint32_t rowLen = 16;  // 15 bytes padded to 16
  ASSERT_EQ(b.size(), 54u + rowLen * 3);
  EXPECT_EQ(b[0], 'B');
  EXPECT_EQ(b[1], 'M');
  EXPECT_EQ(U32At(b, 2), b.size());
  EXPECT_EQ(U32At(b, 6), 0u);
  EXPECT_EQ(U32At(b, 10), 54u);
  EXPECT_EQ(U32At(b, 14), 40u);
  EXPECT_EQ(U32At(b, 18), 5u);
  EXPECT_EQ(U32At(b, 22), 3u);
  EXPECT_EQ(U16At(b, 26), 1u);
  EXPECT_EQ(U16At(b, 28), 24u);
  EXPECT_EQ(U32At(b, 30), 0u);
  EXPECT_EQ(U32At(b, 34), rowLen * 3);
  EXPECT_EQ(U32At(b, 38), 11811u);  // Round(300 / 2.54 * 100)
  EXPECT_EQ(U32At(b, 42), 11811u);
  EXPECT_EQ(U32At(b, 46), 0u);
  EXPECT_EQ(U32At(b, 50), 16777216u);  // colours important at 24 bits
  // Bottom row first, padded with zeros.
  EXPECT_EQ(b[54], img->Scanline(2)[0]);
  EXPECT_EQ(b[54 + 15], 0);
  EXPECT_EQ(after.PaletteCount, 0);
}

TEST(BmpWrite, PalettedHeaderValues) {
  auto img = MakeBitmap(pxPal8, 6, 2, 16);
  for (auto [bits, comp, kind] : {std::tuple{8, 0, 1}, std::tuple{8, 1, 1}, std::tuple{4, 0, 3}, std::tuple{4, 1, 0}}) {
    TIOParamsVals after;
    bool aborted = true;
    const Bytes b =
        WriteBitmap(*img, {.bits = bits, .samples = 1, .kind = uint8_t(kind), .compression = uint8_t(comp), .dpi = 72},
                    &aborted, &after);
    ASSERT_FALSE(aborted);
    const uint32_t header = kind == 3 ? 64 : 40;
    const uint32_t colors = 1u << bits;
    EXPECT_EQ(U32At(b, 14), header);
    EXPECT_EQ(U16At(b, 28), uint32_t(bits));
    EXPECT_EQ(U32At(b, 30), comp ? (bits == 8 ? 1u : 2u) : 0u);
    EXPECT_EQ(U32At(b, 38), 2835u);
    EXPECT_EQ(U32At(b, 46), colors);
    EXPECT_EQ(U32At(b, 50), colors);
    const uint32_t offset = 14 + header + colors * 4;
    EXPECT_EQ(U32At(b, 10), offset);
    EXPECT_EQ(U32At(b, 2), b.size());
    EXPECT_EQ(U32At(b, 34), b.size() - offset);
    if (kind == 3) {
      for (uint32_t i = 54; i < 78; ++i) EXPECT_EQ(b[i], 0) << i;
    }
    // Palette: blue, green, red, 0, as many entries as the depth allows.
    const TBGR e3 = img->GetPaletteEntry(3);
    EXPECT_EQ(b[14 + header + 12], e3.b);
    EXPECT_EQ(b[14 + header + 14], e3.r);
    EXPECT_EQ(b[14 + header + 15], 0);
    if (bits == 8) {
      const TBGR e200 = img->PaletteCount() > 200 ? img->GetPaletteEntry(200) : TBGR{};
      EXPECT_EQ(U32At(b, 14 + header + 4 * 200), uint32_t(BGRToInt(e200)));
    }
    EXPECT_EQ(after.PaletteCount, int32_t(colors));
    EXPECT_EQ(after.Palette[3], e3);
    if (comp) {
      int rows = 0;
      size_t endAt = 0;
      ASSERT_TRUE(WalkRLE(b, offset, bits == 4, rows, endAt));
      EXPECT_EQ(rows, 2);              // an end of line after each row
      EXPECT_EQ(endAt + 2, b.size());  // then the end of bitmap, last
    }
  }
}

TEST(BmpWrite, OS2Header) {
  auto img = MakeBitmap(pxPal8, 5, 2, 16);
  bool aborted = true;
  // RLE is never written with the OS/2 1.x header.
  const Bytes b = WriteBitmap(*img, {.bits = 8, .samples = 1, .kind = 2, .compression = 1}, &aborted);
  ASSERT_FALSE(aborted);
  EXPECT_EQ(U32At(b, 14), 12u);
  EXPECT_EQ(U16At(b, 18), 5u);
  EXPECT_EQ(U16At(b, 20), 2u);
  EXPECT_EQ(U16At(b, 22), 1u);
  EXPECT_EQ(U16At(b, 24), 8u);
  EXPECT_EQ(U32At(b, 10), 14u + 12 + 256 * 3);
  EXPECT_EQ(b.size(), 14u + 12 + 256 * 3 + 8 * 2);
  const TBGR e1 = img->GetPaletteEntry(1);
  EXPECT_EQ(b[26 + 3], e1.b);
  EXPECT_EQ(b[26 + 5], e1.r);
  TRead r = ReadBytes(b);
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.params->BMPHeaderKind, 2);
  EXPECT_EQ(r.params->BMPCompression, 0);
  EXPECT_TRUE(SameColors(*img, *r.bitmap));

  // Sides above 65535 do not fit the OS/2 1.x header: the Windows one is written.
  auto wide = MakeBitmap(pxBW1, 65536, 2);
  const Bytes w = WriteBitmap(*wide, {.bits = 1, .samples = 1, .kind = 2}, &aborted);
  ASSERT_FALSE(aborted);
  EXPECT_EQ(U32At(w, 14), 40u);
  EXPECT_EQ(U32At(w, 18), 65536u);
  TRead rw = ReadBytes(w);
  ASSERT_FALSE(rw.aborted);
  EXPECT_TRUE(SameColors(*wide, *rw.bitmap));
}

TEST(BmpWrite, BitmapWithoutPixelsWritesNothing) {
  TPXBitmap empty;
  bool aborted = false;
  EXPECT_TRUE(WriteBitmap(empty, {}, &aborted).empty());
  EXPECT_TRUE(aborted);
}

// ------------------------------------------------------------------ sources the depth cannot take as they are

QImage QtRead(const Bytes& b) {
  return QImage::fromData(QByteArray(reinterpret_cast<const char*>(b.data()), int(b.size())), "BMP");
}

// The palette stored in a written file (any header kind).
std::vector<TBGR> FilePalette(const Bytes& b) {
  const uint32_t header = U32At(b, 14);
  const uint32_t entry = header == 12 ? 3 : 4;
  std::vector<TBGR> pal;
  for (uint32_t p = 14 + header; p + entry <= U32At(b, 10); p += entry) pal.push_back(TBGR{b[p], b[p + 1], b[p + 2]});
  return pal;
}

std::set<int32_t> DistinctColors(TPXBitmap& bmp) {
  std::set<int32_t> colors;
  for (int32_t y = 0; y < bmp.Height(); ++y)
    for (int32_t x = 0; x < bmp.Width(); ++x) colors.insert(BGRToInt(ColorAt(bmp, x, y)));
  return colors;
}

// A 24-bit image of exactly `colors` distinct colours (random, not all grey),
// in runs of a few pixels broken by single-pixel stretches, so run-length
// data gets both forms.
std::unique_ptr<TPXBitmap> FewColorImage(int32_t w, int32_t h, int colors, uint32_t seed) {
  std::mt19937 rng(seed);
  std::set<int32_t> used;
  std::vector<TBGR> pal;
  while (int(pal.size()) < colors) {
    const TBGR c{uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
    if (used.insert(BGRToInt(c)).second) pal.push_back(c);
  }
  auto bmp = std::make_unique<TPXBitmap>();
  EXPECT_TRUE(bmp->Allocate(w, h, pxBGR24));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = bmp->Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      const int i = (x % 11 >= 8 ? x * 5 + y : x / 3 + y * 7) % colors;
      std::memcpy(row + 3 * x, &pal[i], 3);
    }
  }
  return bmp;
}

// Smooth gradients with noise: far more than 256 colours, like a photograph.
std::unique_ptr<TPXBitmap> PhotoImage(int32_t w, int32_t h) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> noise(-6, 6);
  auto bmp = std::make_unique<TPXBitmap>();
  EXPECT_TRUE(bmp->Allocate(w, h, pxBGR24));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = bmp->Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      const int b = 40 + x * 180 / w, g = 220 - y * 200 / h, r = 128 + int(100 * std::sin(x * 0.05 + y * 0.03));
      row[3 * x] = uint8_t(std::clamp(b + noise(rng), 0, 255));
      row[3 * x + 1] = uint8_t(std::clamp(g + noise(rng), 0, 255));
      row[3 * x + 2] = uint8_t(std::clamp(r + noise(rng), 0, 255));
    }
  }
  return bmp;
}

// Mean and largest difference of one channel value between two images of the same size.
void ChannelError(TPXBitmap& a, TPXBitmap& b, double& mean, int& largest) {
  int64_t sum = 0;
  largest = 0;
  for (int32_t y = 0; y < a.Height(); ++y)
    for (int32_t x = 0; x < a.Width(); ++x) {
      const TBGR p = ColorAt(a, x, y), q = ColorAt(b, x, y);
      for (int d : {p.b - q.b, p.g - q.g, p.r - q.r}) {
        sum += std::abs(d);
        largest = std::max(largest, std::abs(d));
      }
    }
  mean = double(sum) / (3.0 * a.Width() * a.Height());
}

TEST(BmpQuantized, FewColorsKeepAnExactPalette) {
  struct TCase {
    int32_t bits;
    int colors;
  };
  for (const TCase c : {TCase{4, 2}, TCase{4, 16}, TCase{8, 17}, TCase{8, 256}})
    for (uint8_t kind : {1, 2, 3})
      for (uint8_t rle : {0, 1})
        for (int32_t w : {37, 45}) {
          auto img = FewColorImage(w, 40, c.colors, uint32_t(c.colors * 100 + w));
          ASSERT_EQ(DistinctColors(*img).size(), size_t(c.colors));
          const std::string what = std::to_string(c.colors) + " colours at " + std::to_string(c.bits) + " bits, kind " +
                                   std::to_string(kind) + " rle " + std::to_string(rle) + " width " + std::to_string(w);
          bool aborted = true;
          TIOParamsVals after;
          const Bytes b =
              WriteBitmap(*img, {.bits = c.bits, .samples = 1, .kind = kind, .compression = rle}, &aborted, &after);
          ASSERT_FALSE(aborted) << what;
          EXPECT_EQ(U16At(b, kind == 2 ? 24 : 28), uint32_t(c.bits)) << what;
          // The record carries the palette the file holds; the colours come in
          // order of first appearance, the top row first.
          const std::vector<TBGR> pal = FilePalette(b);
          ASSERT_EQ(pal.size(), size_t{1} << c.bits) << what;
          ASSERT_EQ(after.PaletteCount, int32_t(pal.size())) << what;
          for (size_t i = 0; i < pal.size(); ++i) EXPECT_EQ(after.Palette[i], pal[i]) << what << " entry " << i;
          EXPECT_EQ(pal[0], ColorAt(*img, 0, 0)) << what;

          TRead r = ReadBytes(b);
          ASSERT_FALSE(r.aborted) << what;
          ASSERT_TRUE(SameColors(*img, *r.bitmap)) << what;
          TRead native = ReadBytes(b, {.keepNative = true});
          ASSERT_EQ(native.bitmap->PixelFormat(), pxPal8) << what;
          EXPECT_TRUE(SameColors(*img, *native.bitmap)) << what;
          if (kind == 1) {
            const QImage q = QtRead(b);
            ASSERT_FALSE(q.isNull()) << what;
            EXPECT_TRUE(SameAsQImage(*img, q)) << what;
          }
        }
}

TEST(BmpQuantized, PhotoLikeImageReadsBackClose) {
  auto img = PhotoImage(160, 96);
  ASSERT_GT(DistinctColors(*img).size(), 4000u);
  struct TCase {
    int32_t bits;
    double meanBound;
    int largestBound;
  };
  // The noise alone is worth 3 levels on average.
  for (const TCase c : {TCase{8, 8.0, 64}, TCase{4, 24.0, 128}}) {
    bool aborted = true;
    const Bytes plain = WriteBitmap(*img, {.bits = c.bits, .samples = 1}, &aborted);
    ASSERT_FALSE(aborted) << c.bits;
    const Bytes rle = WriteBitmap(*img, {.bits = c.bits, .samples = 1, .compression = 1}, &aborted);
    ASSERT_FALSE(aborted) << c.bits;
    EXPECT_LT(rle.size(), plain.size() + plain.size() / 2) << c.bits;  // sane, never runaway
    TRead r = ReadBytes(plain);
    ASSERT_FALSE(r.aborted);
    double mean = 0;
    int largest = 0;
    ChannelError(*img, *r.bitmap, mean, largest);
    EXPECT_LT(mean, c.meanBound) << c.bits << " bits";
    EXPECT_LT(largest, c.largestBound) << c.bits << " bits";
    EXPECT_LE(DistinctColors(*r.bitmap).size(), size_t{1} << c.bits);
    // Pixels land on (or, for the box quantizer, next to) their nearest entry
    // of the palette the file holds: rows and palette belong together.
    const std::vector<TBGR> pal = FilePalette(plain);
    int64_t nearestSum = 0;
    for (int32_t y = 0; y < img->Height(); ++y)
      for (int32_t x = 0; x < img->Width(); ++x) {
        const TBGR p = ColorAt(*img, x, y);
        int best = 1000;
        for (const TBGR& e : pal)
          best = std::min(best, std::abs(e.b - p.b) + std::abs(e.g - p.g) + std::abs(e.r - p.r));
        nearestSum += best;
      }
    const double nearestMean = double(nearestSum) / (3.0 * img->Width() * img->Height());
    EXPECT_LE(mean, nearestMean * 1.25 + 0.01) << c.bits << " bits";
    // Both forms hold the same indices, and Qt sees the same pixels.
    TRead rr = ReadBytes(rle);
    ASSERT_FALSE(rr.aborted);
    EXPECT_TRUE(SameColors(*r.bitmap, *rr.bitmap)) << c.bits;
    for (const Bytes* file : {&plain, &rle}) {
      const QImage q = QtRead(*file);
      ASSERT_FALSE(q.isNull()) << c.bits;
      EXPECT_TRUE(SameAsQImage(*r.bitmap, q)) << c.bits;
    }
  }
}

TEST(BmpQuantized, PalettedSourceWithHighIndicesAtFourBits) {
  // 40 palette entries, of which the image uses 16 from index 20 on: the
  // 4-bit file gets those 16 colours, not the low entries.
  auto img = MakeBitmap(pxPal8, 29, 7, 40);
  for (int32_t y = 0; y < 7; ++y)
    for (int32_t x = 0; x < 29; ++x) img->Scanline(y)[x] = uint8_t(20 + (x / 2 + y) % 16);
  for (uint8_t rle : {0, 1}) {
    bool aborted = true;
    const Bytes b = WriteBitmap(*img, {.bits = 4, .samples = 1, .compression = rle}, &aborted);
    ASSERT_FALSE(aborted);
    TRead r = ReadBytes(b);
    ASSERT_FALSE(r.aborted);
    EXPECT_TRUE(SameColors(*img, *r.bitmap)) << int(rle);
  }
  // All 40 in use: at most 16 survive, each pixel near its own.
  auto many = MakeBitmap(pxPal8, 40, 9, 40);
  for (int32_t y = 0; y < 9; ++y)
    for (int32_t x = 0; x < 40; ++x) many->Scanline(y)[x] = uint8_t(x);
  bool aborted = true;
  const Bytes b = WriteBitmap(*many, {.bits = 4, .samples = 1}, &aborted);
  ASSERT_FALSE(aborted);
  TRead r = ReadBytes(b);
  ASSERT_FALSE(r.aborted);
  EXPECT_LE(DistinctColors(*r.bitmap).size(), 16u);
  EXPECT_GE(DistinctColors(*r.bitmap).size(), 8u);
  double mean = 0;
  int largest = 0;
  ChannelError(*many, *r.bitmap, mean, largest);
  EXPECT_LT(mean, 20.0);
}

// Grey, 16-bit, float and CMYK images with the colours they stand for,
// computed here from the formats' definitions.
struct TDeepImage {
  std::unique_ptr<TPXBitmap> bitmap = std::make_unique<TPXBitmap>();
  std::vector<TBGR> expected;  // row by row
  TBGR At(int32_t x, int32_t y) const { return expected[size_t(y) * bitmap->Width() + x]; }
};

TDeepImage DeepImage(TPXPixelFormat format, int32_t w, int32_t h) {
  TDeepImage d;
  EXPECT_TRUE(d.bitmap->Allocate(w, h, format));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = d.bitmap->Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      const int v = (x * 23 + y * 41) % 256;
      switch (format) {
        case pxGray8:
          row[x] = uint8_t(v);
          d.expected.push_back(TBGR{uint8_t(v), uint8_t(v), uint8_t(v)});
          break;
        case pxGray16: {
          const uint16_t word = uint16_t(v * 256 + (x * 7 & 0xFF));  // the low byte is below a level
          row[2 * x] = uint8_t(word), row[2 * x + 1] = uint8_t(word >> 8);
          d.expected.push_back(TBGR{uint8_t(v), uint8_t(v), uint8_t(v)});
          break;
        }
        case px32f: {
          // Out-of-range samples and NaN clamp; the rest is Trunc(f * 255).
          float f = (v + 0.5f) / 255.0f;
          uint8_t level = uint8_t(v);
          if (x == 0) f = -0.5f, level = 0;
          if (x == 1) f = 7.0f, level = 255;
          if (x == 2) f = std::numeric_limits<float>::quiet_NaN(), level = 0;
          std::memcpy(row + 4 * x, &f, 4);
          d.expected.push_back(TBGR{level, level, level});
          break;
        }
        case pxCMYK: {
          const uint8_t c = uint8_t(v), m = uint8_t(255 - v), yy = uint8_t(x * 50), k = uint8_t(255 - y * 20);
          row[4 * x] = c, row[4 * x + 1] = m, row[4 * x + 2] = yy, row[4 * x + 3] = k;
          d.expected.push_back(TBGR{uint8_t(yy * k / 255), uint8_t(m * k / 255), uint8_t(c * k / 255)});
          break;
        }
        default: ADD_FAILURE(); break;
      }
    }
  }
  return d;
}

TEST(BmpConverted, DeepFormatsAtTwentyFourBits) {
  for (TPXPixelFormat format : {pxGray16, px32f, pxCMYK}) {
    TDeepImage img = DeepImage(format, 13, 6);
    bool aborted = true;
    const Bytes b = WriteBitmap(*img.bitmap, {.bits = 8, .samples = 3}, &aborted);
    ASSERT_FALSE(aborted) << int(format);
    EXPECT_EQ(U16At(b, 28), 24u);
    EXPECT_EQ(U32At(b, 50), 16777216u);
    TRead r = ReadBytes(b);
    ASSERT_FALSE(r.aborted);
    ASSERT_EQ(r.bitmap->PixelFormat(), pxBGR24);
    for (int32_t y = 0; y < 6; ++y)
      for (int32_t x = 0; x < 13; ++x)
        ASSERT_EQ(ColorAt(*r.bitmap, x, y), img.At(x, y)) << int(format) << " " << x << "," << y;
  }
}

TEST(BmpConverted, GreyAndDeepFormatsAtFourAndEightBits) {
  // Grey images get the grey ramp: 256 levels keep every level; 16 levels are
  // entry i = 16 i, and a level v lands on entry v * 16 / 256.
  for (TPXPixelFormat format : {pxGray8, pxGray16, px32f})
    for (int32_t bits : {4, 8}) {
      TDeepImage img = DeepImage(format, 21, 5);
      bool aborted = true;
      const Bytes b = WriteBitmap(*img.bitmap, {.bits = bits, .samples = 1, .compression = 1}, &aborted);
      ASSERT_FALSE(aborted) << int(format) << "/" << bits;
      TRead r = ReadBytes(b);
      ASSERT_FALSE(r.aborted);
      for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 21; ++x) {
          TBGR want = img.At(x, y);
          if (bits == 4) want.b = want.g = want.r = uint8_t(want.r & 0xF0);
          ASSERT_EQ(ColorAt(*r.bitmap, x, y), want) << int(format) << "/" << bits << " " << x << "," << y;
        }
    }
  // CMYK of few colours comes back exact at 8 bits.
  TDeepImage cmyk = DeepImage(pxCMYK, 8, 4);
  bool aborted = true;
  const Bytes b = WriteBitmap(*cmyk.bitmap, {.bits = 8, .samples = 1}, &aborted);
  ASSERT_FALSE(aborted);
  TRead r = ReadBytes(b);
  ASSERT_FALSE(r.aborted);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 8; ++x) ASSERT_EQ(ColorAt(*r.bitmap, x, y), cmyk.At(x, y)) << x << "," << y;
}

TEST(BmpOneBit, TwoColorsKeepThemDarkerFirst) {
  const TBGR light{40, 200, 250}, dark{90, 20, 10};
  auto rgb = std::make_unique<TPXBitmap>();
  ASSERT_TRUE(rgb->Allocate(19, 6, pxBGR24));
  for (int32_t y = 0; y < 6; ++y)
    for (int32_t x = 0; x < 19; ++x) std::memcpy(rgb->Scanline(y) + 3 * x, (x + y) % 3 ? &dark : &light, 3);
  ASSERT_EQ(ColorAt(*rgb, 0, 0), light);  // the lighter colour is met first
  auto pal = MakeBitmap(pxPal8, 19, 6, 16);
  pal->SetPaletteEntry(3, light), pal->SetPaletteEntry(9, dark);
  for (int32_t y = 0; y < 6; ++y)
    for (int32_t x = 0; x < 19; ++x) pal->Scanline(y)[x] = (x * y) % 4 ? 9 : 3;

  for (TPXBitmap* img : {rgb.get(), pal.get()})
    for (uint8_t kind : {1, 2}) {
      TIOParamsVals after;
      bool aborted = true;
      const Bytes b = WriteBitmap(*img, {.bits = 1, .samples = 1, .kind = kind}, &aborted, &after);
      ASSERT_FALSE(aborted);
      EXPECT_EQ(FilePalette(b), (std::vector<TBGR>{dark, light}));
      EXPECT_EQ(after.PaletteCount, 2);
      EXPECT_EQ(after.Palette[0], dark);
      EXPECT_EQ(after.Palette[1], light);
      // Our reader and Qt give the colours themselves.
      TRead r = ReadBytes(b);
      ASSERT_FALSE(r.aborted);
      ASSERT_EQ(r.bitmap->PixelFormat(), pxBGR24);
      for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 19; ++x) ASSERT_EQ(ColorAt(*r.bitmap, x, y), ColorAt(*img, x, y)) << x << "," << y;
      if (kind == 1) {
        const QImage q = QtRead(b);
        ASSERT_FALSE(q.isNull());
        EXPECT_TRUE(SameAsQImage(*img, q));
      }
    }
}

TEST(BmpOneBit, SingleColorKeepsItsColor) {
  for (const TBGR c : {TBGR{0, 0, 0}, TBGR{30, 10, 120}, TBGR{200, 230, 255}, TBGR{255, 255, 255}}) {
    auto img = std::make_unique<TPXBitmap>();
    ASSERT_TRUE(img->Allocate(11, 3, pxBGR24));
    for (int32_t y = 0; y < 3; ++y)
      for (int32_t x = 0; x < 11; ++x) std::memcpy(img->Scanline(y) + 3 * x, &c, 3);
    bool aborted = true;
    const Bytes b = WriteBitmap(*img, {.bits = 1, .samples = 1}, &aborted);
    ASSERT_FALSE(aborted);
    TRead r = ReadBytes(b);
    ASSERT_FALSE(r.aborted);
    for (int32_t y = 0; y < 3; ++y)
      for (int32_t x = 0; x < 11; ++x) ASSERT_EQ(ColorAt(*r.bitmap, x, y), c) << int(c.r);
    const QImage q = QtRead(b);
    ASSERT_FALSE(q.isNull());
    EXPECT_TRUE(SameAsQImage(*img, q)) << int(c.r);
  }
}

TEST(BmpOneBit, ManyColorsBecomeBlackAndWhite) {
  // Brightness rises left to right (a touch of colour keeps it a colour image).
  const int32_t w = 256, h = 16;
  auto ramp = std::make_unique<TPXBitmap>();
  ASSERT_TRUE(ramp->Allocate(w, h, pxBGR24));
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      uint8_t* p = ramp->Scanline(y) + 3 * x;
      p[0] = uint8_t(x ^ (y & 1)), p[1] = uint8_t(x), p[2] = uint8_t(x);
    }
  auto whiteShare = [&](TPXBitmap& bw, int32_t x0, int32_t x1) {
    int white = 0;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = x0; x < x1; ++x) white += ColorAt(bw, x, y).r == 255;
    return double(white) / (h * (x1 - x0));
  };
  for (uint8_t conversion : {1, 0}) {  // threshold at the mean, ordered dither
    ramp->BWConversion = conversion;
    TIOParamsVals after;
    bool aborted = true;
    const Bytes b = WriteBitmap(*ramp, {.bits = 1, .samples = 1}, &aborted, &after);
    ASSERT_FALSE(aborted);
    EXPECT_EQ(FilePalette(b), (std::vector<TBGR>{TBGR{0, 0, 0}, TBGR{255, 255, 255}}));
    EXPECT_EQ(after.PaletteCount, 2);
    TRead r = ReadBytes(b);
    ASSERT_FALSE(r.aborted);
    ASSERT_EQ(r.bitmap->PixelFormat(), pxBW1);
    const QImage q = QtRead(b);
    ASSERT_FALSE(q.isNull());
    EXPECT_TRUE(SameAsQImage(*r.bitmap, q));
    if (conversion == 1) {
      EXPECT_EQ(whiteShare(*r.bitmap, 0, 110), 0.0);
      EXPECT_EQ(whiteShare(*r.bitmap, 150, 256), 1.0);
    } else {
      // The share of white follows the brightness of each band.
      for (int32_t x0 = 0; x0 < w; x0 += 32) {
        const double want = (x0 + 15.5) / 255.0;
        EXPECT_NEAR(whiteShare(*r.bitmap, x0, x0 + 32), want, 0.08) << x0;
      }
    }
  }
  // Grey, 16-bit, float and CMYK images (CMYK has no direct way to 1 bit)
  // are thresholded by the brightness of the colours they stand for.
  for (TPXPixelFormat format : {pxCMYK, pxGray16, px32f, pxGray8}) {
    TDeepImage img = DeepImage(format, 40, 8);
    bool aborted = true;
    const Bytes b = WriteBitmap(*img.bitmap, {.bits = 1, .samples = 1}, &aborted);
    ASSERT_FALSE(aborted) << int(format);
    TRead r = ReadBytes(b);
    ASSERT_FALSE(r.aborted);
    ASSERT_EQ(r.bitmap->PixelFormat(), pxBW1);
    auto lum = [](TBGR c) { return (c.r * 21 + c.g * 72 + c.b * 7) / 100.0; };
    double mean = 0;
    for (const TBGR& c : img.expected) mean += lum(c) / double(img.expected.size());
    int checked = 0;
    for (int32_t y = 0; y < 8; ++y)
      for (int32_t x = 0; x < 40; ++x) {
        const double l = lum(img.At(x, y));
        if (std::abs(l - mean) < 30) continue;
        ++checked;
        ASSERT_EQ(ColorAt(*r.bitmap, x, y).r, l > mean ? 255 : 0) << int(format) << " " << x << "," << y;
      }
    EXPECT_GT(checked, 100) << int(format);
  }
}

// Everything a writer could be tempted to change on the caller's bitmap.
struct TBitmapState {
  TPXPixelFormat format;
  int32_t width, height, paletteCount;
  std::vector<TBGR> palette;
  std::vector<uint8_t> rows;
  bool alpha;
  uint8_t alphaAt;
  TPXAccessMode access;
  uint8_t bwConversion;

  explicit TBitmapState(TPXBitmap& b)
      : format(b.PixelFormat()),
        width(b.Width()),
        height(b.Height()),
        paletteCount(b.PaletteCount()),
        alpha(b.HasAlphaChannel()),
        alphaAt(b.GetAlpha(2, 2)),
        access(b.AccessMode),
        bwConversion(b.BWConversion) {
    for (int32_t i = 0; i < paletteCount; ++i) palette.push_back(b.GetPaletteEntry(i));
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* row = b.Scanline(y);  // a temporary-file row lasts until the next call
      rows.insert(rows.end(), row, row + b.RowLen());
    }
  }
  // The names of the fields that differ.
  std::string Differences(const TBitmapState& o) const {
    std::string d;
    auto check = [&](bool same, const char* name) {
      if (!same) d += std::string(d.empty() ? "" : ", ") + name;
    };
    check(format == o.format, "format");
    check(width == o.width && height == o.height, "size");
    check(paletteCount == o.paletteCount && palette == o.palette, "palette");
    check(rows == o.rows, "pixels");
    check(alpha == o.alpha && alphaAt == o.alphaAt, "alpha");
    check(access == o.access, "access mode");
    check(bwConversion == o.bwConversion, "BWConversion");
    return d;
  }
};

TEST(BmpWrite, SourceBitmapIsNotChanged) {
  struct TCase {
    TPXPixelFormat format;
    int32_t bits, samples;
  };
  const TCase cases[] = {{pxBW1, 8, 3},   {pxBW1, 8, 1},    {pxPal8, 8, 3},   {pxGray8, 8, 1},  {pxPal8, 4, 1},
                         {pxBGR24, 8, 1}, {pxBGR24, 4, 1},  {pxBGR24, 1, 1},  {pxGray8, 4, 1},  {pxGray8, 1, 1},
                         {pxPal8, 1, 1},  {pxGray16, 8, 3}, {pxGray16, 8, 1}, {pxGray16, 1, 1}, {px32f, 8, 3},
                         {px32f, 4, 1},   {px32f, 1, 1},    {pxCMYK, 8, 3},   {pxCMYK, 8, 1},   {pxCMYK, 1, 1}};
  for (int64_t threshold : {int64_t{-1}, int64_t{64}})  // in memory, in a temporary file
    for (const TCase& c : cases) {
      const testing::ThresholdScope guard(threshold);
      std::unique_ptr<TPXBitmap> img;
      if (c.format == pxGray16 || c.format == px32f || c.format == pxCMYK)
        img = std::move(DeepImage(c.format, 9, 5).bitmap);
      else img = MakeBitmap(c.format, 9, 5, 40);  // pxPal8 indices up to 39
      img->SetAlpha(2, 2, 7);
      const TBitmapState before(*img);
      bool aborted = true;
      WriteBitmap(*img, {.bits = c.bits, .samples = c.samples, .compression = 1}, &aborted);
      EXPECT_FALSE(aborted) << int(c.format) << " to " << c.bits;
      EXPECT_EQ(TBitmapState(*img).Differences(before), "")
          << int(c.format) << " to " << c.bits << " threshold " << threshold;
    }
}

TEST(BmpQuantized, TemporaryFileSources) {
  const testing::ThresholdScope guard(64);
  auto few = FewColorImage(61, 23, 16, 5);
  auto photo = PhotoImage(61, 23);
  ASSERT_EQ(few->Location(), pxTempFile);
  for (TPXBitmap* img : {few.get(), photo.get()})
    for (int32_t bits : {4, 8}) {
      bool aborted = true;
      const Bytes b = WriteBitmap(*img, {.bits = bits, .samples = 1, .compression = 1}, &aborted);
      ASSERT_FALSE(aborted);
      TRead r = ReadBytes(b);
      ASSERT_FALSE(r.aborted);
      if (img == few.get()) {
        EXPECT_TRUE(SameColors(*img, *r.bitmap)) << bits;
      }
      // The same image in memory gives the same file.
      const testing::ThresholdScope inMemory(-1);
      auto copy = std::make_unique<TPXBitmap>();
      copy->Assign(img);
      ASSERT_EQ(copy->Location(), pxInMemory);
      EXPECT_EQ(WriteBitmap(*copy, {.bits = bits, .samples = 1, .compression = 1}), b) << bits;
    }
}

TEST(BmpWrite, ShortWriteFailsAndLeavesHeadersIncomplete) {
  auto img = MakeBitmap(pxBGR24, 20, 20);
  for (int64_t limit : {0, 10, 30, 54, 100, 1000}) {
    TLimitedStream out(limit);
    TIOParamsVals params;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    WriteBMPStream(out, *img, params, progress);
    EXPECT_TRUE(aborting) << limit;
    if (out.Size() >= 6) {
      EXPECT_EQ(U32At(out.Bytes(), 2), 0u) << limit;  // file size never filled in
    }
  }
}

TEST(BmpWrite, CancelledWriteLeavesHeadersIncomplete) {
  auto img = MakeBitmap(pxPal8, 10, 10);
  TMemoryStream out;
  TIOParamsVals params;
  params.SamplesPerPixel = 1;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  std::vector<int> percents;
  progress.OnProgress = [&](TObject*, int p) {
    percents.push_back(p);
    if (progress.RowsDone == 5) aborting = true;
  };
  WriteBMPStream(out, *img, params, progress);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(percents, (std::vector<int>{0, 10, 20, 30, 40, 50}));
  EXPECT_EQ(U32At(out.Bytes(), 2), 0u);
  EXPECT_EQ(U16At(out.Bytes(), 28), 0u);  // the bit count is filled in only at the end
}

TEST(BmpWrite, AtAStreamPosition) {
  auto img = MakeBitmap(pxBGR24, 3, 3);
  TMemoryStream out;
  const Bytes prefix(21, 0xAB);
  out.Write(prefix.data(), 21);
  TIOParamsVals params;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  WriteBMPStream(out, *img, params, progress);
  ASSERT_FALSE(aborting);
  EXPECT_EQ(out.Position(), out.Size());
  const Bytes b = out.Bytes();
  EXPECT_EQ(b[20], 0xAB);
  EXPECT_EQ(U32At(b, 21 + 2), b.size() - 21);
  EXPECT_EQ(U32At(b, 21 + 10), 54u);
  out.SetPosition(21);
  TRead r = ReadStream(out);
  ASSERT_FALSE(r.aborted);
  EXPECT_TRUE(SameColors(*img, *r.bitmap));
}

// ------------------------------------------------------------------ round trips

struct TTrip {
  TPXPixelFormat format;
  int32_t bits, samples;
  uint8_t compression;
  bool native;
};

TEST(BmpRoundTrip, EveryDepthKindAndCompression) {
  const TTrip trips[] = {
      {pxBGR24, 8, 3, 0, false}, {pxBW1, 8, 3, 0, false},  {pxPal8, 8, 3, 0, false}, {pxGray8, 8, 3, 0, false},
      {pxBW1, 1, 1, 0, false},   {pxPal8, 8, 1, 0, true},  {pxPal8, 8, 1, 1, true},  {pxPal8, 8, 1, 1, false},
      {pxGray8, 8, 1, 0, false}, {pxGray8, 8, 1, 1, true}, {pxPal8, 4, 1, 0, true},  {pxPal8, 4, 1, 1, true},
      {pxPal8, 4, 1, 1, false},  {pxBW1, 8, 1, 1, true},   {pxBW1, 4, 1, 1, false},  {pxBW1, 4, 1, 0, true},
  };
  for (const TTrip& t : trips)
    for (uint8_t kind = 0; kind < 4; ++kind)
      for (int32_t w : {1, 2, 3, 5, 8, 13, 33, 300})
        for (int32_t h : {1, 4}) {
          auto img = MakeBitmap(t.format, w, h, t.bits == 4 ? 16 : 256);
          bool aborted = true;
          const Bytes b = WriteBitmap(
              *img, {.bits = t.bits, .samples = t.samples, .kind = kind, .compression = t.compression}, &aborted);
          const std::string what = "format " + std::to_string(t.format) + " bits " + std::to_string(t.bits) + "/" +
                                   std::to_string(t.samples) + " rle " + std::to_string(t.compression) + " kind " +
                                   std::to_string(kind) + " " + std::to_string(w) + "x" + std::to_string(h);
          ASSERT_FALSE(aborted) << what;
          TRead r = ReadBytes(b, {.keepNative = t.native});
          ASSERT_FALSE(r.aborted) << what;
          EXPECT_EQ(r.params->BMPHeaderKind, kind == 0 ? 1 : kind) << what;  // kind 0 is written as 40 bytes
          EXPECT_EQ(r.params->BMPCompression, kind == 2 ? 0 : t.compression) << what;
          EXPECT_EQ(r.params->DpiX, 300) << what;
          ASSERT_TRUE(SameColors(*img, *r.bitmap)) << what;

          // Qt reads the Windows-header files the same way.
          if (kind == 1) {
            const QImage q =
                QImage::fromData(QByteArray(reinterpret_cast<const char*>(b.data()), int(b.size())), "BMP");
            ASSERT_FALSE(q.isNull()) << what;
            EXPECT_TRUE(SameAsQImage(*img, q)) << what;
          }
        }
}

TEST(BmpRoundTrip, BlackAndWhiteStaysOneBit) {
  auto img = MakeBitmap(pxBW1, 37, 5);
  const Bytes b = WriteBitmap(*img, {.bits = 1, .samples = 1});
  EXPECT_EQ(b[54], 0);  // entry 0 black, entry 1 white
  EXPECT_EQ(b[58], 255);
  TRead r = ReadBytes(b);
  ASSERT_EQ(r.bitmap->PixelFormat(), pxBW1);
  for (int32_t y = 0; y < 5; ++y) {
    EXPECT_EQ(0, std::memcmp(r.bitmap->Scanline(y), img->Scanline(y), 4)) << y;
    EXPECT_EQ(r.bitmap->Scanline(y)[4] & 0xF8, img->Scanline(y)[4] & 0xF8) << y;
  }
  // The bits past the width are written as zeros.
  img->Scanline(4)[4] |= 0x07;
  const Bytes c = WriteBitmap(*img, {.bits = 1, .samples = 1});
  EXPECT_EQ(c[62 + 4] & 0x07, 0);
}

TEST(BmpRoundTrip, TemporaryFileBitmaps) {
  const testing::ThresholdScope guard(64);
  for (const TTrip& t : {TTrip{pxBGR24, 8, 3, 0, false}, TTrip{pxPal8, 8, 1, 1, true}, TTrip{pxPal8, 8, 1, 1, false},
                         TTrip{pxPal8, 4, 1, 0, false}, TTrip{pxPal8, 4, 1, 1, true}, TTrip{pxBW1, 1, 1, 0, false},
                         TTrip{pxGray8, 8, 1, 0, true}}) {
    auto img = MakeBitmap(t.format, 61, 23, t.bits == 4 ? 16 : 256);
    ASSERT_EQ(img->Location(), pxTempFile);
    bool aborted = true;
    const Bytes b = WriteBitmap(*img, {.bits = t.bits, .samples = t.samples, .compression = t.compression}, &aborted);
    ASSERT_FALSE(aborted);
    TRead r = ReadBytes(b, {.keepNative = t.native});
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(r.bitmap->Location(), pxTempFile);
    EXPECT_TRUE(SameColors(*img, *r.bitmap)) << int(t.format) << "/" << t.bits;
  }
  // Run-length deltas across rows of a temporary-file bitmap.
  THandBmp f = RleFile(8, 40, 30, {});
  f.pixels = {5, 1, 0, 2, 10, 20, 7, 2, 0, 0, 40, 3, 0, 1};
  TRead r = ReadBytes(f.File());
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.bitmap->Location(), pxTempFile);
  EXPECT_EQ(ColorAt(*r.bitmap, 4, 29), (TBGR{255, 0, 0}));
  EXPECT_EQ(ColorAt(*r.bitmap, 21, 9), (TBGR{0, 255, 0}));
  EXPECT_EQ(ColorAt(*r.bitmap, 39, 8), (TBGR{0, 0, 255}));
  EXPECT_EQ(ColorAt(*r.bitmap, 0, 0), (TBGR{0, 0, 0}));
}

// ------------------------------------------------------------------ files written by Qt

TEST(BmpQt, FilesWrittenByQtReadPixelExact) {
  std::vector<QImage> images;
  {
    QImage mono(29, 7, QImage::Format_Mono);
    mono.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    for (int y = 0; y < 7; ++y)
      for (int x = 0; x < 29; ++x) mono.setPixel(x, y, (x * y + x / 3) & 1);
    images.push_back(mono);
    QImage inverse = mono;
    inverse.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    images.push_back(inverse);
  }
  for (int colors : {10, 200}) {
    QImage pal(23, 9, QImage::Format_Indexed8);
    QVector<QRgb> table;
    for (int i = 0; i < colors; ++i) table.push_back(qRgb(i * 37 % 256, 255 - i, i * 11 % 256));
    pal.setColorTable(table);
    for (int y = 0; y < 9; ++y)
      for (int x = 0; x < 23; ++x) pal.setPixel(x, y, (x + y * 3) % colors);
    images.push_back(pal);
  }
  for (QImage::Format f : {QImage::Format_RGB888, QImage::Format_RGB32, QImage::Format_ARGB32}) {
    QImage rgb(31, 11, f);
    for (int y = 0; y < 11; ++y)
      for (int x = 0; x < 31; ++x) rgb.setPixel(x, y, qRgb(x * 8, y * 23, (x ^ y) * 5));
    images.push_back(rgb);
  }
  for (const QImage& img : images) {
    const Bytes file = ToBytes(QtBmp(img));
    for (bool native : {false, true}) {
      TRead r = ReadBytes(file, {.keepNative = native});
      ASSERT_FALSE(r.aborted) << img.format();
      EXPECT_TRUE(SameAsQImage(*r.bitmap, img)) << img.format() << " native " << native;
    }
    // The same data as a packed DIB.
    const Bytes dib(file.begin() + 14, file.end());
    TRead d = ReadBytes(dib, {.headerLess = true});
    ASSERT_FALSE(d.aborted);
    EXPECT_TRUE(SameAsQImage(*d.bitmap, img)) << img.format();
  }
}

TEST(BmpQt, HandBuiltVariantsAgreeWithQt) {
  // Depths and headers our writer does not make, decoded by Qt as well. Qt
  // leaves pixels that run-length data skips undefined, so these cover every
  // pixel.
  std::vector<std::pair<const char*, Bytes>> files;
  THandBmp f16;
  f16.width = 5, f16.height = 3, f16.bits = 16;
  for (int i = 0; i < 3 * 12; ++i) f16.pixels.push_back(uint8_t(i * 53 + 7));
  files.push_back({"16 bits 5-5-5", f16.File()});
  f16.compression = 3, f16.masks = {0xF800, 0x07E0, 0x001F};
  files.push_back({"16 bits 5-6-5", f16.File()});
  f16.height = -3;
  files.push_back({"16 bits 5-6-5 top-down", f16.File()});
  THandBmp f32;
  f32.width = 3, f32.height = 4, f32.bits = 32;
  for (int i = 0; i < 4 * 12; ++i) f32.pixels.push_back(uint8_t(i % 4 == 3 ? 255 : i * 41 + 1));
  files.push_back({"32 bits", f32.File()});
  THandBmp os2;
  os2.headerSize = 12, os2.width = 3, os2.height = 2, os2.bits = 8;
  for (uint32_t i = 0; i < 256; ++i) os2.palette.push_back(i * 0x010203);
  os2.pixels = {1, 100, 255, 0, 7, 8, 9, 0};
  files.push_back({"OS/2 1.x 8 bits", os2.File()});
  files.push_back(
      {"RLE8",
       RleFile(8, 6, 3, {2, 1, 0, 3, 2, 3, 1, 0, 1, 0, 0, 0, 6, 3, 0, 0, 0, 4, 1, 2, 3, 1, 2, 2, 0, 1}).File()});
  files.push_back({"RLE4", RleFile(4, 7, 2, {2, 0x12, 0, 5, 0x32, 0x10, 0x30, 0, 0, 0, 7, 0x31, 0, 1}).File()});
  for (const auto& [what, file] : files) {
    QImage q = QImage::fromData(QByteArray(reinterpret_cast<const char*>(file.data()), int(file.size())), "BMP");
    ASSERT_FALSE(q.isNull()) << what;
    if (std::string(what).starts_with("16 bits")) {
      // Qt shifts narrow fields up (31 gives 248); here they scale to the
      // full range, value x 255 / maximum rounded.
      const bool six = std::string(what).find("5-6-5") != std::string::npos;
      q = q.convertToFormat(QImage::Format_RGB32);
      auto scale = [](int v, int w) { return ((v >> (8 - w)) * 510 + (1 << w) - 1) / (2 * ((1 << w) - 1)); };
      for (int y = 0; y < q.height(); ++y)
        for (int x = 0; x < q.width(); ++x) {
          const QRgb p = q.pixel(x, y);
          q.setPixel(x, y, qRgb(scale(qRed(p), 5), scale(qGreen(p), six ? 6 : 5), scale(qBlue(p), 5)));
        }
    }
    TRead r = ReadBytes(file);
    ASSERT_FALSE(r.aborted) << what;
    EXPECT_TRUE(SameAsQImage(*r.bitmap, q)) << what;
  }
}

// ------------------------------------------------------------------ corrupt input

std::vector<Bytes> SampleFiles() {
  std::vector<Bytes> files;
  files.push_back(WriteBitmap(*MakeBitmap(pxBGR24, 7, 5), {}));
  files.push_back(WriteBitmap(*MakeBitmap(pxBW1, 19, 4), {.bits = 1, .samples = 1}));
  files.push_back(WriteBitmap(*MakeBitmap(pxPal8, 9, 6), {.samples = 1}));
  files.push_back(WriteBitmap(*MakeBitmap(pxPal8, 9, 6), {.samples = 1, .compression = 1}));
  files.push_back(WriteBitmap(*MakeBitmap(pxPal8, 11, 5, 16), {.bits = 4, .samples = 1}));
  files.push_back(WriteBitmap(*MakeBitmap(pxPal8, 11, 5, 16), {.bits = 4, .samples = 1, .compression = 1}));
  files.push_back(WriteBitmap(*MakeBitmap(pxPal8, 6, 3, 16), {.bits = 4, .samples = 1, .kind = 2}));
  THandBmp f16;
  f16.width = 3, f16.height = 2, f16.bits = 16, f16.compression = 3, f16.masks = {0xF800, 0x07E0, 0x001F};
  f16.pixels = Bytes(16, 0x5A);
  files.push_back(f16.File());
  f16.headerSize = 124;
  files.push_back(f16.File());
  THandBmp f32;
  f32.width = 3, f32.height = -2, f32.bits = 32, f32.pixels = Bytes(24, 0x33);
  files.push_back(f32.File());
  return files;
}

TEST(BmpCorrupt, TruncatedFilesFail) {
  const testing::ThresholdScope guard(int64_t{64} << 20);
  for (const Bytes& file : SampleFiles()) {
    const bool rle = U32At(file, 30) == 1 || U32At(file, 30) == 2;
    // A run-length file is complete once its last row has its end of line.
    const size_t complete = rle ? file.size() - 2 : file.size();
    for (size_t n = 0; n < complete; ++n) {
      const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_TRUE(ReadBytes(cut).aborted) << "length " << n << " of " << file.size();
      ReadBytes(cut, {.keepNative = true});
      if (n > 14) ReadBytes(Bytes(cut.begin() + 14, cut.end()), {.headerLess = true});
    }
  }
}

TEST(BmpCorrupt, BitFlipsDoNotCrash) {
  // Flipped sizes can ask for big images: keep them in temporary files.
  const testing::ThresholdScope guard(int64_t{64} << 20);
  std::mt19937 rng(11);
  for (const Bytes& file : SampleFiles())
    for (size_t at = 0; at < file.size(); ++at)
      for (int k = 0; k < 3; ++k) {
        Bytes bad = file;
        bad[at] ^= uint8_t(1u << (rng() % 8));
        if (rng() % 4 == 0) bad[rng() % bad.size()] = uint8_t(rng());
        const TRead r = ReadBytes(bad, {.keepNative = (k & 1) != 0});
        if (!r.aborted && r.bitmap->Width() > 0) {
          EXPECT_EQ(r.bitmap->Width(), r.params->Width);
          EXPECT_EQ(r.bitmap->Height(), r.params->Height);
        }
        ReadBytes(Bytes(bad.begin() + 14, bad.end()), {.headerLess = true});
      }
}

TEST(BmpCorrupt, BadHeadersFail) {
  THandBmp good;
  good.width = 2, good.height = 2, good.bits = 24, good.pixels = Bytes(16, 1);
  ASSERT_FALSE(ReadBytes(good.File()).aborted);

  // Not "BM": nothing is touched.
  {
    Bytes file = good.File();
    file[1] = 'A';
    TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
    TPXBitmap bmp;
    ASSERT_TRUE(bmp.Allocate(3, 3, pxGray8));
    TIOParamsVals params;
    params.Width = 55;
    params.SetPalette(nullptr, 4);
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    ReadBMPStream(s, bmp, 0, params, progress, false, false);
    EXPECT_TRUE(aborting);
    EXPECT_EQ(params.Width, 55);
    EXPECT_EQ(params.PaletteCount, 4);
    EXPECT_EQ(bmp.Width(), 3);
  }
  auto variant = [&](auto change) {
    THandBmp f = good;
    change(f);
    return f;
  };
  const std::vector<std::pair<const char*, THandBmp>> bad = {
      {"height INT_MIN", variant([](THandBmp& f) { f.height = INT_MIN; })},
      {"negative width", variant([](THandBmp& f) { f.width = -2; })},
      {"JPEG inside", variant([](THandBmp& f) { f.compression = 4; })},
      {"PNG inside", variant([](THandBmp& f) { f.compression = 5; })},
      {"compression 6", variant([](THandBmp& f) { f.compression = 6; })},
      {"2 bits", variant([](THandBmp& f) { f.bits = 2; })},
      {"0 bits", variant([](THandBmp& f) { f.bits = 0; })},
      {"64 bits", variant([](THandBmp& f) { f.bits = 64; })},
      {"rows too long", variant([](THandBmp& f) { f.width = 0x7FFFFFFF; })},
  };
  for (const auto& [what, f] : bad) {
    EXPECT_TRUE(ReadBytes(f.File()).aborted) << what;
    EXPECT_TRUE(ReadBytes(f.Dib(), {.headerLess = true}).aborted) << what;
  }
  // A header size past the end of the data.
  Bytes longHeader = good.File();
  longHeader[14 + 3] = 0x7F;
  EXPECT_TRUE(ReadBytes(longHeader).aborted);
  EXPECT_TRUE(ReadBytes(Bytes(longHeader.begin() + 14, longHeader.end()), {.headerLess = true}).aborted);
  // Unsupported variants are refused in a parameters-only call too.
  EXPECT_TRUE(ReadBytes(variant([](THandBmp& f) { f.compression = 4; }).File(), {.paramsOnly = true}).aborted);

  // A pixel offset past the end, a palette cut short.
  Bytes far = good.File();
  far[10] = 0xFF, far[11] = 0xFF, far[12] = 0x0F;
  EXPECT_TRUE(ReadBytes(far).aborted);
  THandBmp pal = good;
  pal.bits = 8, pal.palette.assign(256, 0x123456);
  Bytes cut = pal.File();
  cut.resize(14 + 40 + 100);
  EXPECT_TRUE(ReadBytes(cut).aborted);
}

TEST(BmpCorrupt, SizeBombsFailWithoutHugeAllocations) {
  // Huge sizes with a few bytes of data, for every depth; the bitmap goes to
  // a (sparse) temporary file, and no buffer larger than the data is made.
  const testing::ThresholdScope guard(int64_t{64} << 20);
  for (uint16_t bits : {1, 4, 8, 16, 24, 32}) {
    THandBmp f;
    f.width = 30000, f.height = 30000, f.bits = bits;
    if (bits <= 8) f.palette.assign(size_t{1} << bits, 0xFFFFFF);
    f.pixels = Bytes(100, 0x11);
    f.imageSize = 0xFFFFFFFF;
    TRead r = ReadBytes(f.File());
    EXPECT_TRUE(r.aborted) << bits;
    EXPECT_EQ(r.bitmap->Width(), 0) << bits;  // refused before anything was allocated
    EXPECT_EQ(r.params->Width, 30000);
  }
  // Sizes no storage should be asked for, even with run-length data.
  THandBmp huge = RleFile(8, 0x3FFFFFF, 0x7FFFFFFF, {0, 1});
  EXPECT_TRUE(ReadBytes(huge.File()).aborted);
  EXPECT_TRUE(ReadBytes(huge.File(), {.keepNative = true}).aborted);
  // A run-length bomb, a few bytes claiming more than runs could fill, is
  // refused before storage is made for it.
  THandBmp bomb = RleFile(8, 30000, 30000, {0, 1});
  TRead refused = ReadBytes(bomb.File());
  EXPECT_TRUE(refused.aborted);
  EXPECT_EQ(refused.bitmap->Width(), 0);
  // Within the bound it decodes what is there: an end of bitmap right away
  // is a complete (empty) image, a run and no end is a failure.
  THandBmp rle = RleFile(8, 40, 40, {0, 1});
  TRead done = ReadBytes(rle.File());
  EXPECT_FALSE(done.aborted);
  EXPECT_EQ(done.bitmap->Width(), 40);
  rle = RleFile(8, 20, 300, {255, 1, 0, 2, 255, 255, 255, 2});
  TRead open = ReadBytes(rle.File());
  EXPECT_TRUE(open.aborted);
  EXPECT_EQ(ColorAt(*open.bitmap, 0, 299), (TBGR{255, 0, 0}));
}

// Inputs the fuzzer found (kept in fuzz/regressions/bmp); each once made the
// bitmap ask for terabytes, which it could only try to get as memory.
TEST(BmpCorrupt, FuzzRegressions) {
  const testing::ThresholdScope guard(int64_t{64} << 20);
  // A packed DIB with a 15-byte header: 1048576 x 16777224 pixels at 16 bits.
  const Bytes dib = {0x0f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x08, 0x00, 0x00, 0x01, 0x10, 0x00, 0x10};
  TRead r = ReadBytes(dib, {.headerLess = true});
  EXPECT_TRUE(r.aborted);
  EXPECT_EQ(r.bitmap->Width(), 0);
  EXPECT_EQ(r.params->Width, 1048576);
  // An 8-bit file of 16646151 x 524288 pixels with 47 bytes of pixels.
  THandBmp f;
  f.width = 0xFE0007, f.height = 0x80000, f.bits = 8, f.imageSize = 0x28;
  for (uint32_t i = 0; i < 256; ++i) f.palette.push_back(i * 0x0F0F0F);
  f.pixels = Bytes(47, 0x13);
  for (bool native : {false, true}) {
    TRead big = ReadBytes(f.File(), {.keepNative = native});
    EXPECT_TRUE(big.aborted);
    EXPECT_EQ(big.bitmap->Width(), 0);
  }
}

}  // namespace
}  // namespace pixoran
