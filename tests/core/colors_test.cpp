// Colour conversions of one pixel and the whole-bitmap colour routines:
// average, histogram, reduction to 1 bit, the two-colour mask.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"

namespace pixoran {
namespace {

// ------------------------------------------------------------ test bitmaps

// A pxBGR24 bitmap whose pixel (x, y) is fn(x, y).
template <typename Fn>
std::unique_ptr<TPXBitmap> MakeBGR24(int32_t w, int32_t h, Fn&& fn) {
  auto b = std::make_unique<TPXBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, pxBGR24));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      const TBGR c = fn(x, y);
      std::memcpy(row + 3 * x, &c, 3);
    }
  }
  return b;
}

TBGR Gray(uint8_t v) { return TBGR{v, v, v}; }

bool Bit(TPXBitmap& b, int32_t x, int32_t y) { return GetBit(b.Scanline(y), x); }

// ------------------------------------------------------------ HSL

TEST(ColorsHSL, ValuesFromTheTable) {
  double h, s, l;
  RGBToHSL(MakeBGR(255, 0, 0), h, s, l);
  EXPECT_DOUBLE_EQ(h, 0.0);
  EXPECT_DOUBLE_EQ(s, 1.0);
  EXPECT_DOUBLE_EQ(l, 0.5);
  RGBToHSL(Gray(128), h, s, l);
  EXPECT_DOUBLE_EQ(h, 0.0);
  EXPECT_DOUBLE_EQ(s, 0.0);
  EXPECT_DOUBLE_EQ(l, 128.0 / 255.0);
  RGBToHSL(MakeBGR(0, 0, 255), h, s, l);
  EXPECT_NEAR(h, 2.0 / 3.0, 1e-12);
  RGBToHSL(MakeBGR(255, 0, 255), h, s, l);  // negative sector wraps
  EXPECT_NEAR(h, 5.0 / 6.0, 1e-12);
}

TEST(ColorsHSL, HueAndRangesAreFolded) {
  EXPECT_EQ(HSLToRGB(1.25, 1.0, 0.5), HSLToRGB(0.25, 1.0, 0.5));
  EXPECT_EQ(HSLToRGB(-0.75, 1.0, 0.5), HSLToRGB(0.25, 1.0, 0.5));
  EXPECT_EQ(HSLToRGB(0.25, 2.0, 0.5), HSLToRGB(0.25, 1.0, 0.5));
  EXPECT_EQ(HSLToRGB(0.0, 1.0, 0.5), MakeBGR(255, 0, 0));
  EXPECT_EQ(HSLToRGB(0.5, 0.0, 0.5), Gray(128));  // Round(127.5) goes to even
  EXPECT_EQ(HSLToRGB(0.5, 0.3, 7.0), Gray(255));
  EXPECT_EQ(HSLToRGB(0.5, 0.3, -1.0), Gray(0));
}

TEST(ColorsHSL, RoundTripsInAllSixSectors) {
  // One colour per sector of the hue circle, then a grid over the cube.
  const TBGR sectors[] = {MakeBGR(255, 128, 0), MakeBGR(128, 255, 0), MakeBGR(0, 255, 128),
                          MakeBGR(0, 128, 255), MakeBGR(128, 0, 255), MakeBGR(255, 0, 128)};
  double lastHue = -1;
  for (const TBGR c : sectors) {
    double h, s, l;
    RGBToHSL(c, h, s, l);
    EXPECT_GT(h, lastHue);  // the sectors come in hue order
    lastHue = h;
    EXPECT_EQ(HSLToRGB(h, s, l), c);
  }
  for (int r = 0; r < 256; r += 15)
    for (int g = 0; g < 256; g += 17)
      for (int b = 0; b < 256; b += 15) {
        const TBGR c = MakeBGR(r, g, b);
        double h, s, l;
        RGBToHSL(c, h, s, l);
        ASSERT_EQ(HSLToRGB(h, s, l), c) << r << "," << g << "," << b;
      }
}

// ------------------------------------------------------------ CMYK

TEST(ColorsCMYK, BlackAndRoundTrips) {
  const TCMYK k = RGBToCMYK(Gray(0));
  EXPECT_EQ(k.c, 0);
  EXPECT_EQ(k.m, 0);
  EXPECT_EQ(k.y, 0);
  EXPECT_EQ(k.k, 1);
  EXPECT_EQ(CMYKToRGB(TCMYK{200, 100, 50, 0}), Gray(0));
  EXPECT_EQ(CMYKToRGB(TCMYK{255, 0, 255, 255}), MakeBGR(255, 0, 255));
  for (const TBGR c : {Gray(255), MakeBGR(255, 0, 0), MakeBGR(0, 255, 0), MakeBGR(0, 0, 255), Gray(17)})
    EXPECT_EQ(CMYKToRGB(RGBToCMYK(c)), c);
  // Integer division loses at most one level on the way back.
  for (int r = 0; r < 256; r += 7)
    for (int g = 0; g < 256; g += 11)
      for (int b = 0; b < 256; b += 13) {
        const TBGR back = CMYKToRGB(RGBToCMYK(MakeBGR(r, g, b)));
        ASSERT_LE(std::abs(back.r - r), 1);
        ASSERT_LE(std::abs(back.g - g), 1);
        ASSERT_LE(std::abs(back.b - b), 1);
      }
}

// ------------------------------------------------------------ CIE L*a*b*

int SignedValue(int8_t v) { return v == -128 ? 128 : v; }

TEST(ColorsCIELab, DecodingAsDefined) {
  // Byte 0 of a and b is a' = b' = -0.39, not 0: even L 0 is a trace of blue.
  EXPECT_EQ(CIELabToRGB(0, 0, 0), MakeBGR(0, 2, 4));
  // a = b = 0 decodes as a slight shift (a' = b' = -0.39), which red shows.
  EXPECT_EQ(CIELabToRGB(255, 0, 0), MakeBGR(254, 255, 255));
  // -128 is read as +128: the far end of the scale, not the near one.
  EXPECT_NE(CIELabToRGB(128, -128, 0), CIELabToRGB(128, -127, 0));
  EXPECT_GT(CIELabToRGB(128, -128, 0).r, CIELabToRGB(128, 127, 0).r);
}

TEST(ColorsCIELab, EncodingInvertsTheDecoding) {
  const TCIELab white = RGBToCIELab(0xFFFFFF);
  EXPECT_EQ(white.L, 255);
  EXPECT_EQ(white.a, 0);
  EXPECT_EQ(white.b, 0);
  const TCIELab black = RGBToCIELab(0);
  EXPECT_EQ(black.L, 0);
  EXPECT_EQ(RGBToCIELab(0x808080).a, 0);  // greys stay neutral
  // Lab values read (decoded) and written again agree within 2 levels
  // wherever the decoded colour is not clipped; dark saturated colours at the
  // decoder's branch switch (L 20 and 21) are left out.
  int checked = 0;
  for (int L = 0; L < 256; L += 3) {
    if (L == 20 || L == 21) continue;
    for (int a = -127; a <= 128; a += 5)
      for (int b = -127; b <= 128; b += 5) {
        const int8_t as = static_cast<int8_t>(a == 128 ? -128 : a), bs = static_cast<int8_t>(b == 128 ? -128 : b);
        const TBGR c = CIELabToRGB(static_cast<uint8_t>(L), as, bs);
        if (c.r == 0 || c.g == 0 || c.b == 0 || c.r == 255 || c.g == 255 || c.b == 255) continue;
        const TCIELab back = RGBToCIELab(BGRToInt(c));
        ASSERT_LE(std::abs(back.L - L), 2) << L << " " << a << " " << b;
        ASSERT_LE(std::abs(SignedValue(back.a) - a), 2) << L << " " << a << " " << b;
        ASSERT_LE(std::abs(SignedValue(back.b) - b), 2) << L << " " << a << " " << b;
        ++checked;
      }
  }
  EXPECT_GT(checked, 10000);
}

// ------------------------------------------------------------ bits

TEST(ColorsBits, SingleBitsAndTheExpansionTable) {
  uint8_t row[2] = {0, 0};
  SetBit(row, 0, true);
  SetBit(row, 9, true);
  EXPECT_EQ(row[0], 0x80);
  EXPECT_EQ(row[1], 0x40);
  EXPECT_TRUE(GetBit(row, 9));
  EXPECT_FALSE(GetBit(row, 8));
  SetBit(row, 0, false);
  EXPECT_EQ(row[0], 0);
  EXPECT_EQ(row[1], 0x40);  // only that bit changes
  static_assert(BW1ExpandTable[0x80][0] == 255 && BW1ExpandTable[0x80][3] == 0);
  for (int b : {0x00, 0x5A, 0xFF, 0x01})
    for (int i = 0; i < 8; ++i) {
      const uint8_t want = (b & (0x80 >> i)) ? 255 : 0;
      EXPECT_EQ(BW1ExpandTable[b][3 * i], want);
      EXPECT_EQ(BW1ExpandTable[b][3 * i + 2], want);
    }
  // Every value 0..63 once in the dither matrix.
  std::vector<int> seen(64, 0);
  for (const auto& r : OrderedDitherMatrix)
    for (uint8_t v : r) ++seen[v];
  for (int v : seen) EXPECT_EQ(v, 1);
}

// ------------------------------------------------------------ average and histogram

TEST(ColorsAverage, RowRemaindersAreLost) {
  auto b = MakeBGR24(3, 2, [](int32_t x, int32_t y) { return y == 0 && x == 2 ? Gray(1) : Gray(y == 1 ? 90 : 0); });
  int32_t r, g, bl;
  AverageColor(*b, r, g, bl);
  EXPECT_EQ(r, 45);  // row 0 adds 1 div 3 = 0, row 1 adds 90
  EXPECT_EQ(g, 45);
  EXPECT_EQ(bl, 45);
  TPXBitmap empty;
  AverageColor(empty, r, g, bl);
  EXPECT_EQ(r, 128);
  EXPECT_EQ(g, 128);
  EXPECT_EQ(bl, 128);
}

TEST(ColorsAverage, FormatsOtherThanColour) {
  TPXBitmap bw;
  ASSERT_TRUE(bw.Allocate(8, 1, pxBW1));
  bw.Scanline(0)[0] = 0xF0;  // half white
  int32_t r, g, b;
  AverageColor(bw, r, g, b);
  EXPECT_EQ(r, 127);
  TPXBitmap g16;
  ASSERT_TRUE(g16.Allocate(2, 1, pxGray16));
  uint8_t* row = g16.Scanline(0);
  row[0] = 0xFF, row[1] = 0x10, row[2] = 0x00, row[3] = 0x30;  // words 0x10FF, 0x3000
  AverageColor(g16, r, g, b);
  EXPECT_EQ(r, 0x20);
  TPXBitmap cmyk;
  ASSERT_TRUE(cmyk.Allocate(1, 1, pxCMYK));
  std::memcpy(cmyk.Scanline(0), "\xFF\x00\x80\xFF", 4);
  AverageColor(cmyk, r, g, b);
  EXPECT_EQ(r, 255);
  EXPECT_EQ(g, 0);
  EXPECT_EQ(b, 128);
}

TEST(ColorsAverage, FloatSamplesAreClamped) {
  TPXBitmap f;
  ASSERT_TRUE(f.Allocate(4, 1, px32f));
  const float v[4] = {std::numeric_limits<float>::quiet_NaN(), 2.0f, -1.0f, 1.0f};
  std::memcpy(f.Scanline(0), v, sizeof v);
  int32_t r, g, b;
  AverageColor(f, r, g, b);
  EXPECT_EQ(r, (0 + 255 + 0 + 255) / 4);
  std::array<int64_t, 256> hist;
  GrayHistogram(f, hist);
  EXPECT_EQ(hist[0], 2);
  EXPECT_EQ(hist[255], 2);
}

TEST(ColorsHistogram, BinsPerFormat) {
  std::array<int64_t, 256> hist;
  auto b = MakeBGR24(4, 1, [](int32_t x, int32_t) { return x < 3 ? MakeBGR(255, 0, 0) : Gray(7); });
  GrayHistogram(*b, hist);
  EXPECT_EQ(hist[53], 3);  // luminance of red
  EXPECT_EQ(hist[7], 1);
  TPXBitmap bw;
  ASSERT_TRUE(bw.Allocate(10, 2, pxBW1));
  bw.Scanline(0)[0] = 0xFF;
  bw.Scanline(0)[1] = 0x00;
  bw.Scanline(1)[0] = 0x00;
  bw.Scanline(1)[1] = 0xC0;  // 2 more set pixels, padding bits not counted
  GrayHistogram(bw, hist);
  EXPECT_EQ(hist[1], 10);
  EXPECT_EQ(hist[0], 10);
  EXPECT_EQ(hist[255], 0);
}

// ------------------------------------------------------------ reduction to 1 bit

TEST(ColorsDither, Levels250And251) {
  auto white = MakeBGR24(8, 8, [](int32_t, int32_t) { return Gray(251); });
  ConvertToBWOrdered(*white);
  ASSERT_EQ(white->PixelFormat(), pxBW1);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_TRUE(Bit(*white, x, y)) << x << "," << y;

  auto almost = MakeBGR24(16, 9, [](int32_t, int32_t) { return Gray(250); });  // level 62
  int last = -1;
  ConvertToBWOrdered(*almost, TPXProgressRec{[&](TObject*, int p) { last = p; }});
  ASSERT_EQ(almost->PixelFormat(), pxBW1);
  EXPECT_EQ(last, 94);  // Trunc(9 * 100 / 9.5)
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 16; ++x) {
      const int m = OrderedDitherMatrix[x % 8][y % 8];
      EXPECT_EQ(Bit(*almost, x, y), m < 62) << x << "," << y;
    }
  // Matrix 62 sits at x 3, y 4 and 63 at x 7, y 0.
  EXPECT_FALSE(Bit(*almost, 3, 4));
  EXPECT_FALSE(Bit(*almost, 7, 0));
  EXPECT_TRUE(Bit(*almost, 0, 0));
}

TEST(ColorsDither, OtherFormatsAreLeftAlone) {
  TPXBitmap g;
  ASSERT_TRUE(g.Allocate(4, 4, pxGray8));
  ConvertToBWOrdered(g);
  ConvertToBWThreshold(g, 128);
  EXPECT_EQ(g.PixelFormat(), pxGray8);
}

TEST(ColorsThreshold, FixedAndMean) {
  auto b = MakeBGR24(4, 1, [](int32_t x, int32_t) { return Gray(static_cast<uint8_t>(x * 80)); });  // 0 80 160 240
  TPXBitmap d;
  ThresholdToBW(*b, d, 80);  // d is made 1-bit when it is not yet
  ASSERT_EQ(d.PixelFormat(), pxBW1);
  EXPECT_FALSE(Bit(d, 0, 0));
  EXPECT_TRUE(Bit(d, 1, 0));  // at the threshold: set
  ThresholdToBW(*b, d, -1);   // mean 120
  EXPECT_FALSE(Bit(d, 1, 0));
  EXPECT_TRUE(Bit(d, 2, 0));
  EXPECT_EQ(ResolveBWThreshold(*b, -1), 120);
  EXPECT_EQ(ResolveBWThreshold(*b, 33), 33);
}

TEST(ColorsThreshold, MaximumEntropyOnTwoLevels) {
  // Two levels: the threshold lands right above the darker one, so the
  // image keeps its two colours instead of turning all white.
  auto b = MakeBGR24(10, 10, [](int32_t x, int32_t) { return Gray(x < 5 ? 30 : 200); });
  EXPECT_EQ(ResolveBWThreshold(*b, -2), 31);
  ConvertToBWThreshold(*b, -2);
  ASSERT_EQ(b->PixelFormat(), pxBW1);
  for (int x = 0; x < 10; ++x) EXPECT_EQ(Bit(*b, x, 3), x >= 5) << x;
  // One level has no split: -2 stays, and every pixel is set.
  auto flat = MakeBGR24(4, 4, [](int32_t, int32_t) { return Gray(90); });
  EXPECT_EQ(ResolveBWThreshold(*flat, -2), -2);
  ConvertToBWThreshold(*flat, -2);
  EXPECT_TRUE(Bit(*flat, 2, 2));
}

TEST(ColorsThreshold, MaximumEntropyOnThreeLevels) {
  // Half the pixels at 10, a quarter each at 100 and 200: the split goes
  // between 10 and 100 (score ln 2 against ln 3 - 2/3 ln 2).
  auto lowHeavy = MakeBGR24(4, 4, [](int32_t x, int32_t) { return Gray(x < 2 ? 10 : (x == 2 ? 100 : 200)); });
  EXPECT_EQ(ResolveBWThreshold(*lowHeavy, -2), 11);
  // Mirrored weights move the split between 100 and 200.
  auto highHeavy = MakeBGR24(4, 4, [](int32_t x, int32_t) { return Gray(x == 0 ? 10 : (x == 1 ? 100 : 200)); });
  EXPECT_EQ(ResolveBWThreshold(*highHeavy, -2), 101);
  TPXBitmap d;
  ThresholdToBW(*highHeavy, d, -2);
  EXPECT_FALSE(Bit(d, 1, 0));
  EXPECT_TRUE(Bit(d, 2, 0));
}

TEST(ColorsThreshold, OneBitSourceIsCopiedAndProgressIsReported) {
  TPXBitmap src;
  ASSERT_TRUE(src.Allocate(12, 10, pxBW1));
  for (int y = 0; y < 10; ++y) src.Scanline(y)[0] = static_cast<uint8_t>(0x11 * y);
  TPXBitmap d;
  std::vector<int32_t> seen;
  ThresholdToBW(src, d, 200, TPXProgressRec{[&](TObject*, int p) { seen.push_back(p); }});
  for (int y = 0; y < 10; ++y) EXPECT_EQ(d.Scanline(y)[0], 0x11 * y);
  ASSERT_EQ(seen.size(), 10u);
  EXPECT_EQ(seen.front(), 9);  // Trunc(100 / 10.5)
  EXPECT_EQ(seen.back(), 95);
}

TEST(ColorsThreshold, ConversionKeepsTheAlphaChannel) {
  auto b = MakeBGR24(5, 3, [](int32_t x, int32_t) { return Gray(x < 2 ? 0 : 255); });
  b->SetAlpha(1, 1, 17);
  ConvertToBWThreshold(*b, 128);
  ASSERT_EQ(b->PixelFormat(), pxBW1);
  EXPECT_EQ(b->Width(), 5);
  EXPECT_EQ(b->Height(), 3);
  ASSERT_TRUE(b->HasAlphaChannel());
  EXPECT_EQ(b->GetAlpha(1, 1), 17);
  EXPECT_FALSE(Bit(*b, 1, 2));
  EXPECT_TRUE(Bit(*b, 2, 2));
}

// ------------------------------------------------------------ transparency

TEST(ColorsTransparency, FillsOnlyFullyTransparentPixels) {
  auto b = MakeBGR24(3, 2, [](int32_t, int32_t) { return Gray(9); });
  FillTransparentPixels(*b, 0x112233);  // no alpha channel: nothing
  EXPECT_EQ(b->GetPixel24(0, 0), Gray(9));
  b->SetAlpha(0, 0, 0);
  b->SetAlpha(1, 1, 1);
  FillTransparentPixels(*b, 0x112233);
  EXPECT_EQ(b->GetPixel24(0, 0), MakeBGR(0x11, 0x22, 0x33));
  EXPECT_EQ(b->GetPixel24(1, 1), Gray(9));
  EXPECT_EQ(b->GetPixel24(2, 1), Gray(9));
}

// ------------------------------------------------------------ two-colour mask

TEST(ColorsTwoColorMask, OneOrThreeColoursGiveNothing) {
  TBGR c1, c2;
  auto one = MakeBGR24(4, 4, [](int32_t, int32_t) { return Gray(50); });
  EXPECT_EQ(ExtractTwoColorMask(*one, c1, c2), nullptr);
  auto three = MakeBGR24(4, 4, [](int32_t x, int32_t y) { return y == 3 && x == 3 ? Gray(1) : Gray(x < 2 ? 0 : 255); });
  EXPECT_EQ(ExtractTwoColorMask(*three, c1, c2), nullptr);
  TPXBitmap empty;
  EXPECT_EQ(ExtractTwoColorMask(empty, c1, c2), nullptr);
}

TEST(ColorsTwoColorMask, DarkerColourIsBitZero) {
  // White appears first, black second: they are swapped and the mask inverted.
  auto b = MakeBGR24(9, 3, [](int32_t x, int32_t y) { return (x + y) % 3 == 0 ? Gray(255) : Gray(0); });
  TBGR c1, c2;
  auto mask = ExtractTwoColorMask(*b, c1, c2);
  ASSERT_NE(mask, nullptr);
  EXPECT_EQ(mask->PixelFormat(), pxBW1);
  EXPECT_EQ(c1, Gray(0));
  EXPECT_EQ(c2, Gray(255));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 9; ++x) EXPECT_EQ(Bit(*mask, x, y), (x + y) % 3 == 0) << x << "," << y;
}

TEST(ColorsTwoColorMask, EqualLuminanceKeepsFirstAppearance) {
  // Luminance exactly 100 both: 136 x 0.71 + 43 x 0.08 = 100.
  const TBGR red = MakeBGR(0, 136, 43), grey = Gray(100);
  auto b = MakeBGR24(4, 2, [&](int32_t x, int32_t y) { return y == 0 && x < 3 ? red : grey; });
  TBGR c1, c2;
  auto mask = ExtractTwoColorMask(*b, c1, c2);
  ASSERT_NE(mask, nullptr);
  EXPECT_EQ(c1, red);
  EXPECT_EQ(c2, grey);
  EXPECT_FALSE(Bit(*mask, 0, 0));
  EXPECT_TRUE(Bit(*mask, 3, 0));
  EXPECT_TRUE(Bit(*mask, 0, 1));
  // The other order of appearance gives the other order of colours.
  auto b2 = MakeBGR24(4, 2, [&](int32_t x, int32_t y) { return y == 0 && x < 3 ? grey : red; });
  mask = ExtractTwoColorMask(*b2, c1, c2);
  ASSERT_NE(mask, nullptr);
  EXPECT_EQ(c1, grey);
  EXPECT_EQ(c2, red);
}

TEST(ColorsTwoColorMask, PalettedImages) {
  TPXBitmap p;
  ASSERT_TRUE(p.Allocate(3, 1, pxPal8));
  p.SetPaletteEntry(0, MakeBGR(0, 0, 200));
  p.SetPaletteEntry(1, MakeBGR(0, 0, 200));  // same colour, other index
  p.SetPaletteEntry(2, MakeBGR(250, 250, 0));
  uint8_t* row = p.Scanline(0);
  row[0] = 2, row[1] = 0, row[2] = 1;
  TBGR c1, c2;
  auto mask = ExtractTwoColorMask(p, c1, c2);
  ASSERT_NE(mask, nullptr);
  EXPECT_EQ(c1, MakeBGR(0, 0, 200));
  EXPECT_EQ(c2, MakeBGR(250, 250, 0));
  EXPECT_TRUE(Bit(*mask, 0, 0));
  EXPECT_FALSE(Bit(*mask, 1, 0));
  EXPECT_FALSE(Bit(*mask, 2, 0));
}

// ------------------------------------------------------------ palette and bits

TEST(ColorsPalette, NearestIndexAndTies) {
  const TBGR pal[] = {MakeBGR(10, 10, 10), MakeBGR(20, 20, 20), MakeBGR(0, 30, 0), MakeBGR(30, 0, 0)};
  EXPECT_EQ(NearestPaletteIndex(pal, 4, 0x141414), 1);
  EXPECT_EQ(NearestPaletteIndex(pal, 4, 0x0F0F0F), 0);  // tie of 0 and 1: the first wins
  EXPECT_EQ(NearestPaletteIndex(pal, 4, 0x0F0F0F), 0);
  EXPECT_EQ(NearestPaletteIndex(pal + 2, 2, 0x0F0F00), 0);  // 30 both ways: the first
  EXPECT_EQ(NearestPaletteIndex(pal, 4, 0x1E0000), 3);      // red in bits 16-23
  EXPECT_EQ(NearestPaletteIndex(pal, 0, 0x123456), 0);
  EXPECT_EQ(NearestPaletteIndex(nullptr, 3, 0x123456), 0);
  const TBGR far[] = {Gray(0), Gray(255)};
  EXPECT_EQ(NearestPaletteIndex(far, 2, 0xFFFFFF), 1);
}

TEST(ColorsPalette, InvertBitmapBits) {
  TPXBitmap b;
  ASSERT_TRUE(b.Allocate(16, 2, pxBW1));
  b.Scanline(0)[0] = 0x0F;
  b.Scanline(1)[1] = 0xAA;
  InvertBitmapBits(b);
  EXPECT_EQ(b.Scanline(0)[0], 0xF0);
  EXPECT_EQ(b.Scanline(0)[1], 0xFF);
  EXPECT_EQ(b.Scanline(1)[1], 0x55);
  InvertBitmapBits(b);
  EXPECT_EQ(b.Scanline(1)[1], 0xAA);
}

// Every width around the five-pixel steps, into another row and in place;
// the byte after the row is never touched.
TEST(SwapRedBlueRow, EveryWidthInPlaceAndNot) {
  for (int32_t w = 0; w <= 23; ++w) {
    std::vector<uint8_t> src(3 * w + 1), out(3 * w + 1, 0xEE), want(3 * w);
    for (int32_t i = 0; i < 3 * w + 1; ++i) src[i] = static_cast<uint8_t>(i * 7 + 1);
    for (int32_t x = 0; x < w; ++x)
      want[3 * x] = src[3 * x + 2], want[3 * x + 1] = src[3 * x + 1], want[3 * x + 2] = src[3 * x];
    SwapRedBlueRow(src.data(), out.data(), w);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end() - 1), want) << w;
    EXPECT_EQ(out.back(), 0xEE) << w;
    const uint8_t after = src.back();
    SwapRedBlueRow(src.data(), src.data(), w);
    EXPECT_EQ(std::vector<uint8_t>(src.begin(), src.end() - 1), want) << w;
    EXPECT_EQ(src.back(), after) << w;
  }
}

}  // namespace
}  // namespace pixoran
