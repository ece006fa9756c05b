#include "io/formats/ico/icofilt.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <string>
#include <vector>

#include "filtertools.h"
#include "io/pixoranio_codecs.h"
#include "io/pxfiltutil.h"
#include "io/pxformats.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

struct TRead {
  TPXBitmap bmp, alpha;  // alpha: the mask's values
  std::unique_ptr<TPXMask> mask;
  TIOParamsVals params;
  bool aborted = false;
};

void ReadICO(const Bytes& file, TRead& r, int index = 0, bool cursor = false) {
  TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
  TProgressFixture p;
  if (cursor) {
    r.params.CURImageIndex = index;
    ReadCURStream(s, r.bmp, r.params, false, p.rec, r.mask, false);
  } else {
    r.params.ICOImageIndex = index;
    ReadICOStream(s, r.bmp, r.params, false, p.rec, r.mask, false);
  }
  r.aborted = p.aborting;
  if (r.mask) MaskToAlphaBitmap(*r.mask, r.alpha);
}

// An RGBA image: rgb plus one alpha byte per pixel.
struct TRGBA {
  TRGBImage rgb;
  Bytes a;
};

TRGBA MakeRGBA(int32_t w, int32_t h, const std::vector<uint32_t>& colours = {}) {
  TRGBA im{MakeRGB(w, h, colours), Bytes(static_cast<size_t>(w) * h)};
  for (int32_t i = 0; i < w * h; ++i) im.a[i] = (i % 7 == 0) ? 0 : (i % 5 == 0) ? 128 : 255;
  return im;
}

Bytes ToPAM(const TRGBA& im) {
  const std::string head = "P7\nWIDTH " + std::to_string(im.rgb.w) + "\nHEIGHT " + std::to_string(im.rgb.h) +
                           "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  Bytes b(head.begin(), head.end());
  for (size_t i = 0; i < im.a.size(); ++i) {
    b.insert(b.end(), im.rgb.rgb.begin() + 3 * i, im.rgb.rgb.begin() + 3 * i + 3);
    b.push_back(im.a[i]);
  }
  return b;
}

// One image of an icon or cursor built by hand: a 40-byte header, palette,
// XOR rows and AND rows as given (bottom row first).
struct THandImage {
  int w, h, colors = 0, planes = 0, bits = 0;  // directory fields
  int headerBits = 0;
  uint32_t headerSize = 40;
  std::vector<uint32_t> palette{};
  Bytes xorRows{}, andRows{};
  Bytes raw{};  // replaces everything above when set (PNG entries)
};

Bytes HandIcon(int type, const std::vector<THandImage>& images) {
  std::vector<Bytes> data;
  for (const auto& im : images) {
    if (!im.raw.empty()) {
      data.push_back(im.raw);
      continue;
    }
    TLEBytes b;
    b.U32(im.headerSize), b.U32(im.w), b.U32(2 * im.h), b.U16(1), b.U16(im.headerBits);
    b.U32(0), b.U32(0), b.U32(3780), b.U32(3780), b.U32(0), b.U32(0);
    b.b.resize(im.headerSize, 0);
    for (uint32_t c : im.palette) b.U32(c);
    b.Raw(im.xorRows);
    b.Raw(im.andRows);
    data.push_back(b.b);
  }
  TLEBytes f;
  f.U16(0), f.U16(type), f.U16(static_cast<uint32_t>(images.size()));
  uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const auto& im = images[i];
    f.U8(im.w & 0xFF), f.U8(im.h & 0xFF), f.U8(im.colors), f.U8(0), f.U16(im.planes), f.U16(im.bits);
    f.U32(static_cast<uint32_t>(data[i].size())), f.U32(offset);
    offset += static_cast<uint32_t>(data[i].size());
  }
  for (const auto& d : data) f.Raw(d);
  return f.b;
}

TEST(IcoRead, NetpbmIconsImageByImage) {
  const std::string d = ToolDir();
  const std::vector<TRGBA> images = {MakeRGBA(16, 16), MakeRGBA(32, 24), MakeRGBA(5, 3)};
  Bytes pam;
  for (const auto& im : images) {
    const Bytes one = ToPAM(im);
    pam.insert(pam.end(), one.begin(), one.end());
  }
  WriteFileBytes(d + "/ref.pam", pam);
  ASSERT_TRUE(RunTool("cd " + d + " && pamtowinicon ref.pam > ref.ico"));
  const Bytes file = ReadFileBytes(d + "/ref.ico");
  TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
  EXPECT_TRUE(IsICOStream(s));
  EXPECT_FALSE(IsCURStream(s));
  EXPECT_EQ(ICOImageCount(s), 3);
  for (int i = 0; i < 3; ++i) {
    TRead r;
    ReadICO(file, r, i);
    ASSERT_FALSE(r.aborted) << i;
    EXPECT_TRUE(SameImage(images[i].rgb, FromBitmap(r.bmp))) << i;
    ASSERT_EQ(r.alpha.Width(), images[i].rgb.w);
    for (int y = 0; y < r.alpha.Height(); ++y)
      for (int x = 0; x < r.alpha.Width(); ++x)
        ASSERT_EQ(r.alpha.Scanline(y)[x], images[i].a[y * images[i].rgb.w + x]) << i << " " << x << "," << y;
    EXPECT_EQ(r.params.ICOSizes[1], (std::array<int32_t, 2>{32, 24}));
    EXPECT_EQ(r.params.ICOBitCounts[2], 32);
    EXPECT_EQ(r.params.ICOSizes[3], (std::array<int32_t, 2>{0, 0}));
  }
  TRead past;
  ReadICO(file, past, 3);
  EXPECT_TRUE(past.aborted);
}

// ppmtowinicon leaves the AND mask out of small 1- and 4-bit images (what
// winicontopam reads as "implying remainder of mask"); complete ones as a
// check. The colours are winicontopam's, and every pixel is opaque.
TEST(IcoRead, PpmtowiniconFilesWithoutTheirAndMask) {
  const std::string d = ToolDir();
  struct Case {
    int w, h;
    bool oneBit;
    int64_t missing;  // AND-mask bytes the file leaves out
  };
  const Case cases[] = {{1, 4, true, 16}, {3, 4, true, 16}, {8, 4, true, 0}, {1, 3, false, 12}, {5, 3, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h) + (c.oneBit ? " 1 bit" : " 4 bits"));
    const TRGBImage source = c.oneBit ? Thresholded(MakeRGB(c.w, c.h))
                                      : MakeRGB(c.w, c.h, {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0x808080});
    WriteFileBytes(d + "/small.pnm", c.oneBit ? ToPBM(source) : ToPPM(source));
    ASSERT_TRUE(
        RunTool("cd " + d +
                " && ppmtowinicon small.pnm > small.ico && winicontopam small.ico | pamtopnm | ppmtoppm > small.ppm"));
    const Bytes file = ReadFileBytes(d + "/small.ico");
    const int64_t bits = c.oneBit ? 1 : 4, rowBytes = (c.w * bits + 31) / 32 * 4;
    const int64_t complete = 22 + 40 + (int64_t{4} << bits) + rowBytes * c.h + 4 * c.h;
    ASSERT_EQ(static_cast<int64_t>(file.size()), complete - c.missing);
    TRead r;
    ReadICO(file, r);
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(r.params.BitsPerSample, bits);
    EXPECT_TRUE(SameImage(ParseRawPNM(ReadFileBytes(d + "/small.ppm")), FromBitmap(r.bmp)));
    ASSERT_EQ(r.alpha.Width(), c.w);
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) ASSERT_EQ(r.alpha.Scanline(y)[x], 255) << x << "," << y;
  }
}

TEST(IcoRead, QtIcons) {
  if (!QImageWriter::supportedImageFormats().contains("ico")) GTEST_SKIP() << "no ico plugin in this Qt";
  QImage q(20, 12, QImage::Format_ARGB32);
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 20; ++x) q.setPixel(x, y, qRgba(x * 12, y * 20, 200 - x * 3, x == y ? 0 : 255));
  QByteArray bytes;
  QBuffer buf(&bytes);
  buf.open(QIODevice::WriteOnly);
  ASSERT_TRUE(q.save(&buf, "ICO"));
  TRead r;
  ReadICO(Bytes(bytes.begin(), bytes.end()), r);
  ASSERT_FALSE(r.aborted);
  ASSERT_EQ(r.bmp.Width(), 20);
  ASSERT_EQ(r.bmp.Height(), 12);
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 20; ++x) {
      if (x == y) {
        EXPECT_EQ(r.alpha.Scanline(y)[x], 0);
        continue;
      }
      EXPECT_EQ(r.bmp.GetPixel24(x, y), (TBGR{uint8_t(200 - x * 3), uint8_t(y * 20), uint8_t(x * 12)}))
          << x << "," << y;
    }
}

TEST(IcoRead, HandMadeEntries) {
  // 4 x 2, 1 bit: XOR 0101 / 0011, AND 1000 / 0000 (bottom row first).
  THandImage bw{
      4, 2, 2, 0, 0, 1, 40, {0x000000, 0xFFFFFF}, {0x30, 0, 0, 0, 0x50, 0, 0, 0}, {0, 0, 0, 0, 0x80, 0, 0, 0}};
  TRead r;
  r.params.ICOBackground = TBGR{255, 255, 255};
  ReadICO(HandIcon(1, {bw}), r);
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.bmp.PixelFormat(), pxBW1);
  EXPECT_EQ(r.bmp.Scanline(0)[0] >> 4, 0xD);  // 0101 with the transparent first pixel turned white
  EXPECT_EQ(r.bmp.Scanline(1)[0] >> 4, 0x3);
  EXPECT_EQ(r.alpha.Scanline(0)[0], 0);
  EXPECT_EQ(r.alpha.Scanline(0)[1], 255);

  // A directory of 0 x 0 (256) with a header of 3 x 1; 8 bits, the AND bit giving the background.
  THandImage pal{0, 0, 0, 0, 0, 8, 40, std::vector<uint32_t>(256, 0x102030), {7, 7, 7, 0}, {0x40, 0, 0, 0}};
  pal.palette[7] = 0xAABBCC;
  pal.xorRows = {7, 7, 7, 0};
  THandImage header = pal;
  header.w = 3, header.h = 1;
  Bytes file = HandIcon(1, {header});
  file[6] = file[7] = 0;  // the directory says 0 x 0
  TRead p;
  p.params.ICOBackground = TBGR{1, 2, 3};
  ReadICO(file, p);
  ASSERT_FALSE(p.aborted);
  EXPECT_EQ(p.bmp.Width(), 3);
  EXPECT_EQ(p.bmp.Height(), 1);
  EXPECT_EQ(p.bmp.GetPixel24(0, 0), (TBGR{0xCC, 0xBB, 0xAA}));
  EXPECT_EQ(p.bmp.GetPixel24(1, 0), (TBGR{1, 2, 3}));
  EXPECT_EQ(p.params.ICOSizes[0], (std::array<int32_t, 2>{256, 256}));
  EXPECT_EQ(p.params.DpiX, 96);

  // A cursor: its hot spot, the second image, a palette of its colour count.
  THandImage cur = bw;
  cur.planes = 5, cur.bits = 7, cur.colors = 2;
  THandImage cur2{2, 1, 4, 9, 11, 4, 40, {0x0000FF, 0x00FF00, 0xFF0000, 0xFFFFFF}, {0x21, 0, 0, 0}, {0, 0, 0, 0}};
  TRead c;
  ReadICO(HandIcon(2, {cur, cur2}), c, 1, true);
  ASSERT_FALSE(c.aborted);
  EXPECT_EQ(c.params.CURHotSpotX, 9);
  EXPECT_EQ(c.params.CURHotSpotY, 11);
  EXPECT_EQ(c.bmp.GetPixel24(0, 0), (TBGR{0, 0, 255}));
  EXPECT_EQ(c.bmp.GetPixel24(1, 0), (TBGR{0, 255, 0}));
  EXPECT_EQ(c.params.PaletteCount, 16);
  EXPECT_EQ(c.params.Palette[15], (TBGR{0, 0, 0}));
  TRead c0;
  ReadICO(HandIcon(2, {cur, cur2}), c0, 0, true);
  EXPECT_EQ(c0.params.CURHotSpotX, 5);
  EXPECT_EQ(c0.params.CURHotSpotY, 7);

  // A stream starting "BM" is a BMP.
  TLEBytes bmp;
  bmp.Str("BM"), bmp.U32(14 + 40 + 4), bmp.U32(0), bmp.U32(54);
  bmp.U32(40), bmp.U32(1), bmp.U32(1), bmp.U16(1), bmp.U16(24), bmp.b.resize(54, 0);
  bmp.U8(9), bmp.U8(8), bmp.U8(7), bmp.U8(0);
  TRead b;
  ReadICO(bmp.b, b);
  ASSERT_FALSE(b.aborted);
  EXPECT_EQ(b.bmp.GetPixel24(0, 0), (TBGR{9, 8, 7}));

  // Refused: a header that is not 40 bytes, data past the entry, no depth, truncation.
  THandImage small = bw;
  small.headerSize = 12;
  THandImage noDepth = bw;
  noDepth.headerBits = 0, noDepth.colors = 0;
  Bytes cut = HandIcon(1, {bw});
  cut.resize(cut.size() - 8 - 3);  // into the colour rows
  Bytes shortEntry = HandIcon(1, {bw});
  shortEntry[14] = 50;  // bytes in resource
  for (const Bytes& bad : {HandIcon(1, {small}), HandIcon(1, {noDepth}), cut, shortEntry}) {
    TRead r2;
    ReadICO(bad, r2);
    EXPECT_TRUE(r2.aborted);
    EXPECT_EQ(r2.bmp.Width(), 0);
  }

  // A header whose (doubled) height is 2048 or more is not believed, even
  // when half of it would be: the directory's 16 x 16 holds.
  THandImage sixteen{16, 16, 2, 0, 0, 1, 40, {0x000000, 0xFFFFFF}, Bytes(64, 0xF0), Bytes(64, 0)};
  Bytes odd = HandIcon(1, {sixteen});
  PutLE32(odd.data() + 22 + 4, 20);
  PutLE32(odd.data() + 22 + 8, 3000);
  TRead o;
  ReadICO(odd, o);
  ASSERT_FALSE(o.aborted);
  EXPECT_EQ(o.bmp.Width(), 16);
  EXPECT_EQ(o.bmp.Height(), 16);
}

// winicontopam's reading of an icon's first image: blue-green-red-alpha
// pixels, top row first (empty when the tool fails).
Bytes WinicontopamBGRA(const Bytes& icon) {
  const std::string d = ToolDir();
  WriteFileBytes(d + "/ref.ico", icon);
  if (!RunTool("cd " + d + " && winicontopam ref.ico > ref.pam")) return {};
  const Bytes pam = ReadFileBytes(d + "/ref.pam");
  const std::string head(pam.begin(), pam.end());
  const size_t at = head.find("ENDHDR\n");
  if (at == std::string::npos) return {};
  Bytes bgra(pam.begin() + static_cast<std::ptrdiff_t>(at + 7), pam.end());
  for (size_t i = 0; i + 3 < bgra.size(); i += 4) std::swap(bgra[i], bgra[i + 2]);
  return bgra;
}

// Our pixels against winicontopam's: the colour where it says opaque, the
// background where it says transparent, and the same alpha.
::testing::AssertionResult SameAsWinicontopam(const Bytes& icon, TBGR background, bool keepNative = false) {
  const Bytes ref = WinicontopamBGRA(icon);
  TRead r;
  r.params.ICOBackground = background;
  r.params.KeepNativeFormat = keepNative;
  ReadICO(icon, r);
  if (r.aborted) return ::testing::AssertionFailure() << "the read failed";
  const int32_t w = r.bmp.Width(), h = r.bmp.Height();
  if (ref.size() != static_cast<size_t>(w) * h * 4) return ::testing::AssertionFailure() << "no reference of our size";
  TPXBitmap colours;
  colours.Assign(&r.bmp);
  colours.SetPixelFormat(pxBGR24);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const uint8_t* p = ref.data() + (static_cast<size_t>(y) * w + x) * 4;
      const TBGR want = p[3] == 0 ? background : TBGR{p[0], p[1], p[2]};
      const uint8_t alpha = r.alpha.Width() == w ? r.alpha.Scanline(y)[x] : 255;
      if (colours.GetPixel24(x, y) != want || alpha != p[3])
        return ::testing::AssertionFailure() << "pixel " << x << "," << y << " differs";
    }
  return ::testing::AssertionSuccess();
}

// 1-bit icons keep their two colours; only black then white is black and
// white. ppmtowinicon leaves small icons without their AND mask, so the
// transparent pixels come from icons built by hand.
TEST(IcoRead, OneBitIconsKeepTheirTwoColours) {
  const std::string d = ToolDir();
  ASSERT_TRUE(RunTool("cd " + d + " && ppmmake red 1 1 | ppmtowinicon > red.ico"));
  const Bytes red = ReadFileBytes(d + "/red.ico");
  TRead r;
  ReadICO(red, r);
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.bmp.PixelFormat(), pxBGR24);
  EXPECT_EQ(r.bmp.GetPixel24(0, 0), (TBGR{0, 0, 255}));
  EXPECT_TRUE(SameAsWinicontopam(red, TBGR{255, 255, 255}));

  WriteFileBytes(d + "/rb.ppm", ToPPM(MakeRGB(5, 3, {0xFF0000, 0x000000})));
  ASSERT_TRUE(RunTool("cd " + d + " && ppmtowinicon rb.ppm > rb.ico"));
  const Bytes redBlack = ReadFileBytes(d + "/rb.ico");
  EXPECT_TRUE(SameAsWinicontopam(redBlack, TBGR{255, 255, 255}));
  // Kept as its palette when asked.
  TRead native;
  native.params.KeepNativeFormat = 1;
  ReadICO(redBlack, native);
  ASSERT_FALSE(native.aborted);
  EXPECT_EQ(native.bmp.PixelFormat(), pxPal8);
  EXPECT_TRUE(SameAsWinicontopam(redBlack, TBGR{255, 255, 255}, true));

  // 4 x 2, blue and yellow: XOR 0101 / 0011, AND 1000 / 0001 (bottom row first).
  const THandImage two{
      4, 2, 2, 0, 0, 1, 40, {0x0000FF, 0xFFFF00}, {0x30, 0, 0, 0, 0x50, 0, 0, 0}, {0x10, 0, 0, 0, 0x80, 0, 0, 0}};
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "native" : "colours");
    EXPECT_TRUE(SameAsWinicontopam(HandIcon(1, {two}), TBGR{7, 8, 9}, keep));
  }
  TRead hand;
  hand.params.ICOBackground = TBGR{7, 8, 9};
  ReadICO(HandIcon(1, {two}), hand);
  EXPECT_EQ(hand.bmp.GetPixel24(0, 0), (TBGR{7, 8, 9}));
  EXPECT_EQ(hand.bmp.GetPixel24(1, 0), (TBGR{0, 255, 255}));
  EXPECT_EQ(hand.alpha.Scanline(0)[0], 0);

  // Black then white stays black and white.
  const THandImage bw{
      4, 2, 2, 0, 0, 1, 40, {0x000000, 0xFFFFFF}, {0x30, 0, 0, 0, 0x50, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}};
  TRead b;
  ReadICO(HandIcon(1, {bw}), b);
  EXPECT_EQ(b.bmp.PixelFormat(), pxBW1);
  EXPECT_TRUE(SameAsWinicontopam(HandIcon(1, {bw}), TBGR{255, 255, 255}));
}

// 24-bit images apply their AND mask like the paletted ones.
TEST(IcoRead, TwentyFourBitImagesApplyTheirAndMask) {
  // 3 x 2: rows of 9 colour bytes padded to 12, bottom row first; AND 100 / 011.
  Bytes xorRows;
  for (int i = 0; i < 2; ++i) {
    for (int x = 0; x < 9; ++x) xorRows.push_back(static_cast<uint8_t>(20 * i + 25 * x + 3));
    xorRows.insert(xorRows.end(), 3, 0);
  }
  const THandImage im{3, 2, 0, 1, 24, 24, 40, {}, xorRows, {0x60, 0, 0, 0, 0x80, 0, 0, 0}};
  const Bytes icon = HandIcon(1, {im});
  EXPECT_TRUE(SameAsWinicontopam(icon, TBGR{1, 2, 3}));
  TRead r;
  r.params.ICOBackground = TBGR{1, 2, 3};
  ReadICO(icon, r);
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.bmp.GetPixel24(0, 0), (TBGR{1, 2, 3}));  // top row: the file's second row, AND 100
  EXPECT_EQ(r.bmp.GetPixel24(1, 0), (TBGR{98, 123, 148}));
  EXPECT_EQ(r.bmp.GetPixel24(0, 1), (TBGR{3, 28, 53}));
  EXPECT_EQ(r.bmp.GetPixel24(2, 1), (TBGR{1, 2, 3}));
  EXPECT_EQ(r.alpha.Scanline(1)[2], 0);
  EXPECT_EQ(r.alpha.Scanline(1)[0], 255);
}

// PNG images inside an icon, here written by Qt, decode with their alpha;
// a broken one fails the read.
TEST(IcoRead, PngEntriesDecodeWithTheirAlpha) {
  QImage q(3, 2, QImage::Format_ARGB32);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) q.setPixel(x, y, qRgba(40 * x, 100 + y, 7, 60 * x + 20 * y + 10));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  ASSERT_TRUE(q.save(&buffer, "PNG"));
  THandImage png{3, 2};
  png.raw.assign(bytes.begin(), bytes.end());
  TRead r;
  ReadICO(HandIcon(1, {png}), r);
  ASSERT_FALSE(r.aborted);
  ASSERT_EQ(r.bmp.Width(), 3);
  ASSERT_EQ(r.bmp.Height(), 2);
  ASSERT_EQ(r.alpha.Width(), 3);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) {
      const uint8_t* p = r.bmp.Scanline(y) + 3 * x;
      EXPECT_EQ(p[2], 40 * x);
      EXPECT_EQ(p[1], 100 + y);
      EXPECT_EQ(p[0], 7);
      EXPECT_EQ(r.alpha.Scanline(y)[x], 60 * x + 20 * y + 10);
    }
  png.raw.resize(20);  // the signature and part of the header only
  TRead cut;
  ReadICO(HandIcon(1, {png}), cut);
  EXPECT_TRUE(cut.aborted);
}

TEST(IcoWrite, NetpbmAndQtReadOurIcons) {
  const std::string d = ToolDir();
  const std::vector<uint32_t> few = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0x808080, 0xFFFFFF, 0x123456};
  struct Case {
    int bits;
    TRGBImage ref;
  } cases[] = {{24, MakeRGB(16, 16)},
               {32, MakeRGB(16, 16)},
               {8, MakeRGB(16, 16, few)},
               {4, MakeRGB(16, 16, few)},
               {1, MakeRGB(16, 16, {0x000000, 0xFFFFFF})}};
  for (auto& c : cases) {
    TPXBitmap b;
    ToBitmap(c.ref, b, c.bits == 1);
    TIOParamsVals params;
    const int32_t bits[] = {c.bits};
    const std::array<int32_t, 2> sizes[] = {{16, 16}};
    TMemoryStream out;
    TProgressFixture p;
    WriteICOStream(out, b, params, bits, sizes, p.rec);
    ASSERT_FALSE(p.aborting);
    const Bytes& f = out.Bytes();
    if (c.bits <= 8) {
      EXPECT_EQ(f[8], c.bits == 8 ? 255 : 1 << c.bits);
      EXPECT_EQ(LE16(f, 10), 0u);
      EXPECT_EQ(LE16(f, 12), 0u);
    }
    WriteFileBytes(d + "/ours.ico", f);
    ASSERT_TRUE(RunTool("cd " + d + " && winicontopam ours.ico | pamtopnm > back.ppm")) << c.bits;
    TRGBImage back = ParseRawPNM(ReadFileBytes(d + "/back.ppm"));
    if (c.bits == 1) {  // netpbm gives a 1-bit icon as grey
      ASSERT_TRUE(RunTool("cd " + d + " && winicontopam ours.ico | pamtopnm | ppmtoppm > back.ppm"));
      back = ParseRawPNM(ReadFileBytes(d + "/back.ppm"));
    }
    EXPECT_TRUE(SameImage(c.ref, back)) << c.bits;
    QImage q;
    ASSERT_TRUE(q.loadFromData(reinterpret_cast<const uchar*>(f.data()), static_cast<int>(f.size()), "ICO"));
    EXPECT_EQ(q.pixel(3, 5) & 0xFFFFFF,
              (uint32_t(c.ref.At(3, 5)[0]) << 16) | (c.ref.At(3, 5)[1] << 8) | c.ref.At(3, 5)[2]);
    TRead r;
    ReadICO(f, r);
    EXPECT_TRUE(SameImage(c.ref, FromBitmap(r.bmp)));
  }
}

TEST(IcoWrite, SizesDepthsAndTransparency) {
  TPXBitmap b;
  ToBitmap(MakeRGB(40, 30, {0x000000, 0xFF0000, 0x00FF00}), b);
  TPXBitmap* a = b.GetAlphaChannel();
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) a->Scanline(y)[x] = x < 20 ? 255 : 0;
  a->SyncFull();
  TIOParamsVals params;
  const int32_t bits[] = {8, 32, 0, 5};
  const std::array<int32_t, 2> sizes[] = {{40, 30}, {256, 256}, {1, 1}, {7, 3}};
  TMemoryStream out;
  TProgressFixture p;
  params.BitsPerSample = 8, params.SamplesPerPixel = 3;  // bit count 0: 24 bits
  WriteICOStream(out, b, params, bits, sizes, p.rec);
  ASSERT_FALSE(p.aborting);
  const Bytes& f = out.Bytes();
  EXPECT_EQ(f[6 + 16], 0);  // 256 stored as 0
  EXPECT_EQ(LE16(f, 6 + 32 + 6), 24u);
  EXPECT_EQ(LE16(f, 6 + 48 + 6), 24u);  // 5 bits: 24
  for (int i = 0; i < 4; ++i) {
    TRead r;
    ReadICO(f, r, i);
    ASSERT_FALSE(r.aborted) << i;
    EXPECT_EQ(r.bmp.Width(), sizes[i][0]);
    EXPECT_EQ(r.bmp.Height(), sizes[i][1]);
  }
  // The 8-bit image: entry 0 black for the transparent half, AND bits set.
  TRead r;
  ReadICO(f, r, 0);
  EXPECT_EQ(r.params.Palette[0], (TBGR{0, 0, 0}));
  EXPECT_EQ(r.alpha.Scanline(0)[30], 0);
  EXPECT_EQ(r.alpha.Scanline(0)[10], 255);
  EXPECT_EQ(r.bmp.GetPixel24(10, 10), b.GetPixel24(10, 10));
  const uint32_t off = LE32(f, 18);
  EXPECT_EQ(f[off + 40 + 1024 + 30], 0);  // XOR index 0 at the transparent pixel of the bottom row

  for (int bad : {0, 257}) {
    const std::array<int32_t, 2> s[] = {{16, 16}, {bad, 16}};
    TMemoryStream o;
    TProgressFixture q;
    WriteICOStream(o, b, params, bits, s, q.rec);
    EXPECT_TRUE(q.aborting);
    EXPECT_EQ(o.Size(), 0);
  }
}

}  // namespace
}  // namespace pixoran
