#include "io/formats/tga/pxtgafil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "filtertools.h"
#include "io/pxfiltutil.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

const std::vector<uint32_t> kFew = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0x808080, 0xFFFFFF, 0x123456};

struct TRead {
  TPXBitmap bmp, alpha;  // alpha: the mask's values
  std::unique_ptr<TPXMask> mask;
  TIOParamsVals params;
  bool aborted = false;
};

void ReadTGA(const Bytes& file, TRead& r, bool paramsOnly = false) {
  TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
  TProgressFixture p;
  ReadTGAStream(s, r.bmp, r.params, p.rec, paramsOnly, r.mask, false);
  r.aborted = p.aborting;
  if (r.mask) MaskToAlphaBitmap(*r.mask, r.alpha);
}

// A TGA built by hand; pixels follow the header, ID and map as given.
Bytes HandTGA(int type, int depth, int w, int h, int descriptor, const Bytes& pixels, const Bytes& id = {},
              int mapFirst = 0, int mapLength = 0, int mapBits = 0, const Bytes& map = {}) {
  TLEBytes b;
  b.U8(static_cast<uint32_t>(id.size())), b.U8(mapLength ? 1 : 0), b.U8(type);
  b.U16(mapFirst), b.U16(mapLength), b.U8(mapBits);
  b.U16(3), b.U16(4), b.U16(w), b.U16(h), b.U8(depth), b.U8(descriptor);
  b.Raw(id);
  b.Raw(map);
  b.Raw(pixels);
  return b.b;
}

TEST(TgaRead, NetpbmFilesOfEveryKind) {
  const std::string d = ToolDir();
  const TRGBImage colour = MakeRGB(150, 5);  // rows longer than one packet
  const TRGBImage few = MakeRGB(150, 5, kFew);
  struct Case {
    std::string command;
    TRGBImage ref;
    bool compressed;
  } cases[] = {
      {"pamtotga -rgb ref.ppm", colour, true},
      {"pamtotga -rgb -norle ref.ppm", colour, false},
      {"pamtotga -cmap ref.ppm", few, true},
      {"pamtotga -cmap -norle ref.ppm", few, false},
      {"ppmtopgm ref.ppm | pamtotga", Grey(colour), true},
      {"ppmtopgm ref.ppm | pamtotga -norle", Grey(colour), false},
  };
  for (auto& c : cases) {
    WriteFileBytes(d + "/ref.ppm", ToPPM(c.ref));
    ASSERT_TRUE(RunTool("cd " + d + " && " + c.command + " > ref.tga")) << c.command;
    TRead r;
    ReadTGA(ReadFileBytes(d + "/ref.tga"), r);
    ASSERT_FALSE(r.aborted) << c.command;
    EXPECT_TRUE(SameImage(c.ref, FromBitmap(r.bmp))) << c.command;
    EXPECT_EQ(r.params.TGACompressed, c.compressed ? 1 : 0) << c.command;
    // No footer: the defaults.
    EXPECT_EQ(r.params.TGAAspectRatio, 1.0);
    EXPECT_EQ(r.params.TGAGamma, 2.2);
  }
}

TEST(TgaRead, OrientationDepthsMapsAndPackets) {
  const Bytes px = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // 2 x 2, 24 bits, file rows in order
  TRead bottom, top, mirrored;
  ReadTGA(HandTGA(2, 24, 2, 2, 0x00, px), bottom);
  ReadTGA(HandTGA(2, 24, 2, 2, 0x20, {7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}), top);
  ReadTGA(HandTGA(2, 24, 2, 2, 0x10, px), mirrored);
  EXPECT_TRUE(SameImage(FromBitmap(bottom.bmp), FromBitmap(top.bmp)));
  EXPECT_EQ(bottom.bmp.GetPixel24(0, 1), (TBGR{1, 2, 3}));
  EXPECT_EQ(mirrored.bmp.GetPixel24(1, 1), (TBGR{1, 2, 3}));
  EXPECT_EQ(top.params.TGAXPos, 3);

  TRead p16;
  ReadTGA(HandTGA(2, 16, 1, 1, 0, {0xFF, 0x7F}), p16);
  EXPECT_EQ(p16.bmp.GetPixel24(0, 0), (TBGR{248, 248, 248}));
  EXPECT_EQ(p16.params.BitsPerSample, 5);

  // A map from entry 10; entries past 256 are read over.
  TRead mapped;
  ReadTGA(HandTGA(1, 8, 2, 1, 0x20, {10, 11}, {}, 10, 2, 24, {1, 2, 3, 4, 5, 6}), mapped);
  EXPECT_EQ(mapped.bmp.GetPixel24(0, 0), (TBGR{1, 2, 3}));
  EXPECT_EQ(mapped.bmp.GetPixel24(1, 0), (TBGR{4, 5, 6}));
  // An 8-bit map entry size is no colour: the entries are read over.
  TRead odd;
  ReadTGA(HandTGA(1, 8, 1, 1, 0x20, {1}, {}, 0, 2, 8, {0xAA, 0xBB}), odd);
  EXPECT_FALSE(odd.aborted);
  EXPECT_EQ(odd.bmp.GetPixel24(0, 0), (TBGR{124, 28, 28}));  // the colour cube's entry 1
  TRead over;
  ReadTGA(HandTGA(1, 8, 1, 1, 0x20, {255}, {}, 250, 10, 24, Bytes(30, 7)), over);
  EXPECT_FALSE(over.aborted);
  EXPECT_EQ(over.bmp.GetPixel24(0, 0), (TBGR{7, 7, 7}));

  // A run packet crossing from row 0 into row 1 (3 x 2, 8-bit grey).
  TRead packets;
  ReadTGA(HandTGA(11, 8, 3, 2, 0x20, {0x83, 50, 0x01, 60, 70}), packets);
  ASSERT_FALSE(packets.aborted);
  EXPECT_EQ(FromBitmap(packets.bmp).rgb,
            (Bytes{50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 60, 60, 60, 70, 70, 70}));

  // 32 bits with 8 alpha bits: the alpha; the ID's trailing zeros dropped.
  TRead alpha;
  ReadTGA(HandTGA(2, 32, 2, 1, 0x28, {1, 2, 3, 0, 4, 5, 6, 200}, {'h', 'i', 0, 0}), alpha);
  ASSERT_EQ(alpha.alpha.Width(), 2);
  EXPECT_EQ(alpha.alpha.Scanline(0)[0], 0);
  EXPECT_EQ(alpha.alpha.Scanline(0)[1], 200);
  EXPECT_EQ(alpha.params.TGADescriptor, "hi");

  for (const Bytes& bad : {HandTGA(4, 24, 1, 1, 0, {1, 2, 3}), HandTGA(2, 12, 1, 1, 0, {1, 2}), Bytes(20, 0),
                           Bytes{0, 0, 2}, HandTGA(10, 24, 60000, 60000, 0, {0xFF, 1, 2, 3})}) {
    TRead r;
    ReadTGA(bad, r);
    EXPECT_TRUE(r.aborted);
    EXPECT_EQ(r.bmp.Width(), 0);
  }
  TRead cut;
  ReadTGA(HandTGA(2, 24, 1, 3, 0x20, {1, 2, 3, 4, 5, 6}), cut);
  EXPECT_TRUE(cut.aborted);
  EXPECT_EQ(cut.bmp.GetPixel24(0, 1), (TBGR{4, 5, 6}));

  const Bytes anymap = {'P', '6', '\n', '2', ' ', '2', ' ', '2', '5', '5', '\n', 0, 0, 0, 0, 0, 24, 0};
  TReadOnlyMemoryStream s(anymap.data(), static_cast<int64_t>(anymap.size()));
  EXPECT_FALSE(IsTGAStream(s));
  const Bytes tga = HandTGA(2, 24, 1, 1, 0, {1, 2, 3});
  TReadOnlyMemoryStream t(tga.data(), static_cast<int64_t>(tga.size()));
  EXPECT_TRUE(IsTGAStream(t));
}

TEST(TgaRead, SixteenBitGreyWithAlpha) {
  // 2 x 2, top row first: grey and alpha bytes (10, 255) (200, 0) / (50, 128) (50, 128),
  // raw and as a raw packet and a run packet.
  const Bytes raw = {10, 255, 200, 0, 50, 128, 50, 128};
  const Bytes rle = {0x01, 10, 255, 200, 0, 0x81, 50, 128};
  struct Case {
    int type;
    const Bytes* pixels;
    int descriptor;  // top-left origin, and 8 alpha bits or none
    bool alpha;
  } cases[] = {{3, &raw, 0x28, true}, {11, &rle, 0x28, true}, {3, &raw, 0x20, false}, {11, &rle, 0x24, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "type " << c.type << " descriptor " << c.descriptor);
    TRead r;
    ReadTGA(HandTGA(c.type, 16, 2, 2, c.descriptor, *c.pixels), r);
    ASSERT_FALSE(r.aborted);
    EXPECT_EQ(FromBitmap(r.bmp).rgb, (Bytes{10, 10, 10, 200, 200, 200, 50, 50, 50, 50, 50, 50}));
    EXPECT_EQ(r.params.BitsPerSample, 8);
    EXPECT_EQ(r.params.SamplesPerPixel, 2);
    EXPECT_EQ(r.params.TGAGrayLevel, 1);
    if (c.alpha) {
      ASSERT_EQ(r.alpha.Width(), 2);
      EXPECT_EQ(Bytes(r.alpha.Scanline(0), r.alpha.Scanline(0) + 2), (Bytes{255, 0}));
      EXPECT_EQ(Bytes(r.alpha.Scanline(1), r.alpha.Scanline(1) + 2), (Bytes{128, 128}));
    } else {
      EXPECT_TRUE(!r.mask || r.mask->Width() == 0);
    }
  }
  // The no-mask flag keeps the alpha out.
  const Bytes file = HandTGA(3, 16, 2, 2, 0x28, raw);
  TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
  TProgressFixture p;
  TPXBitmap bmp;
  TIOParamsVals params;
  std::unique_ptr<TPXMask> mask;
  ReadTGAStream(s, bmp, params, p.rec, false, mask, true);
  EXPECT_FALSE(p.aborting);
  EXPECT_FALSE(mask);
  EXPECT_EQ(bmp.GetPixel24(1, 0), (TBGR{200, 200, 200}));
}

TEST(TgaWrite, NetpbmReadsEveryDepth) {
  const std::string d = ToolDir();
  const TRGBImage colour = MakeRGB(140, 6);
  const TRGBImage few = MakeRGB(140, 6, kFew);
  struct Case {
    int bits, samples;
    bool grey, compressed;
    TRGBImage ref;
    int type;
  } cases[] = {
      {8, 3, false, true, colour, 10},       {8, 3, false, false, colour, 2},      {8, 1, false, true, few, 9},
      {8, 1, false, false, few, 1},          {8, 1, true, true, Grey(colour), 11}, {8, 1, true, false, Grey(colour), 3},
      {16, 1, true, false, Grey(colour), 3},  // one 16-bit sample: 8 bits
      {4, 1, false, true, few, 1},            // 4 and 1 bit are never compressed
  };
  for (auto& c : cases) {
    TPXBitmap b;
    ToBitmap(c.ref, b);
    TIOParamsVals params;
    params.BitsPerSample = c.bits, params.SamplesPerPixel = c.samples;
    params.TGAGrayLevel = c.grey, params.TGACompressed = c.compressed;
    params.TGAAspectRatio = 1.5;
    params.TGAGamma = 7.5;  // 75000 would not fit 16 bits
    params.TGAAuthor = "作者";
    params.TGADescriptor = std::string(300, 'x');
    TMemoryStream out;
    TProgressFixture p;
    WriteTGAStream(out, b, params, p.rec, nullptr);
    ASSERT_FALSE(p.aborting);
    const Bytes& f = out.Bytes();
    EXPECT_EQ(f[2], c.type) << c.bits;
    EXPECT_EQ(f[0], 255);
    // netpbm has no 4-bit pixels; those are checked by our reader only.
    if (c.bits != 4) {
      WriteFileBytes(d + "/ours.tga", f);
      ASSERT_TRUE(RunTool("cd " + d + " && tgatoppm ours.tga > back.ppm")) << c.bits;
      EXPECT_TRUE(SameImage(c.ref, ParseRawPNM(ReadFileBytes(d + "/back.ppm")))) << c.bits << " " << c.compressed;
    }
    TRead r;
    ReadTGA(f, r);
    ASSERT_FALSE(r.aborted);
    EXPECT_TRUE(SameImage(c.ref, FromBitmap(r.bmp)));
    EXPECT_EQ(r.params.TGAAspectRatio, 1.5);
    EXPECT_EQ(r.params.TGAGamma, 7.5);
    EXPECT_EQ(r.params.TGAAuthor, "作者");
    EXPECT_EQ(r.params.TGADescriptor.size(), 254u);
    const size_t ext = f.size() - 26 - 495;
    EXPECT_EQ(LE16(f, ext + 474), 15000u);
    EXPECT_EQ(LE16(f, ext + 476), 10000u);
  }
}

TEST(TgaWrite, AlphaOneBitAndDate) {
  const std::string d = ToolDir();
  const TRGBImage ref = MakeRGB(9, 4);
  TPXBitmap b;
  TPXMask mask;
  ToBitmap(ref, b);
  ASSERT_TRUE(mask.Allocate(9, 4, 8));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 9; ++x) mask.GetRowPointer(y)[x] = static_cast<uint8_t>(x * 30 + y);
  TIOParamsVals params;
  params.TGADate = 45000.75;  // 2023-03-15 18:00
  TMemoryStream out;
  TProgressFixture p;
  WriteTGAStream(out, b, params, p.rec, &mask);
  ASSERT_FALSE(p.aborting);
  EXPECT_EQ(out.Bytes()[16], 32);
  EXPECT_EQ(out.Bytes()[2], 2);  // never run-length at 32 bits, whatever TGACompressed says
  WriteFileBytes(d + "/a.tga", out.Bytes());
  ASSERT_TRUE(RunTool("cd " + d + " && tgatoppm -alphaout=a.pgm a.tga > a.ppm"));
  EXPECT_TRUE(SameImage(ref, ParseRawPNM(ReadFileBytes(d + "/a.ppm"))));
  TRGBImage a = ParseRawPNM(ReadFileBytes(d + "/a.pgm"));
  ASSERT_EQ(a.w, 9);
  EXPECT_EQ(a.At(8, 3)[0], 8 * 30 + 3);
  TRead r;
  ReadTGA(out.Bytes(), r);
  EXPECT_EQ(r.alpha.Scanline(2)[5], 5 * 30 + 2);
  EXPECT_DOUBLE_EQ(r.params.TGADate, 45000.75);

  // 1 bit, also from a 24-bit bitmap of two colours.
  TPXBitmap bw;
  ToBitmap(ref, bw, true);
  for (TPXBitmap* src : {&bw, &b}) {
    TIOParamsVals one;
    one.BitsPerSample = 1, one.SamplesPerPixel = 1;
    TMemoryStream o;
    TPXBitmap two;
    if (src == &b) {
      ToBitmap(Thresholded(ref), two);
      src = &two;
    }
    WriteTGAStream(o, *src, one, p.rec, nullptr);
    ASSERT_FALSE(p.aborting);
    TRead back;
    ReadTGA(o.Bytes(), back);
    EXPECT_EQ(back.bmp.PixelFormat(), pxBW1);
    EXPECT_TRUE(SameImage(Thresholded(ref), FromBitmap(back.bmp)));
  }
}

}  // namespace
}  // namespace pixoran
