#include "app/ProEffectImage.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>

#include "core/kopxutils_settings.h"

using namespace tolvaren;
using pixoran::pf24bit;

namespace {

// A 24-bit bitmap whose pixel (x, y) is fn(x, y, channel).
void Fill(TBitmap& b, int w, int h, const std::function<uint8_t(int, int, int)>& fn) {
  b.SetPixelFormat(pf24bit);
  b.SetSize(w, h);
  for (int y = 0; y < h; ++y) {
    uint8_t* p = b.ScanLine(y);
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) p[x * 3 + c] = fn(x, y, c);
  }
}
uint8_t At(const TBitmap& b, int x, int y, int c) { return b.ScanLine(y)[x * 3 + c]; }
// Distinct, well spread content.
uint8_t Pattern(int x, int y, int c) { return static_cast<uint8_t>((x * 37 + y * 91 + c * 53) & 0xFF); }

}  // namespace

TEST(ProEffectImage, ClampToByte) {
  const std::array<std::array<int, 2>, 5> cases{{{300, 255}, {-5, 0}, {0, 0}, {255, 255}, {128, 128}}};
  for (const auto& [v, want] : cases) EXPECT_EQ(ClampToByte(v), want) << v;
}

TEST(ProEffectImage, LightenAndDarkenByHand) {
  struct Case {
    bool lighten;
    int amount, in, out;
  };
  const Case cases[] = {
      {true, 0, 100, 100},   {true, 255, 0, 255},  {true, 255, 100, 255}, {true, 100, 100, 160},
      {true, 400, 100, 255}, {true, 400, 0, 255},  {false, 0, 100, 100},  {false, 255, 200, 0},
      {false, 100, 100, 61}, {false, 400, 200, 0}, {false, 40, 255, 215},
  };
  for (const Case& k : cases) {
    TBitmap b;
    Fill(b, 3, 2, [&](int, int, int) { return static_cast<uint8_t>(k.in); });
    k.lighten ? BitmapLighten(b, k.amount) : BitmapDarken(b, k.amount);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(At(b, x, y, c), k.out) << (k.lighten ? "lighten " : "darken ") << k.amount << " of " << k.in;
  }
}

TEST(ProEffectImage, DarkenMakesThePictureTwentyFourBit) {
  TBitmap b;
  b.SetPixelFormat(pixoran::pf8bit);
  b.SetSize(4, 4);
  BitmapDarken(b, 10);
  EXPECT_EQ(b.PixelFormat(), pf24bit);
}

TEST(ProEffectImage, MosaicBlocksTakeTheirTopLeftColour) {
  for (int n : {0, 1, 5, 12, 20}) {
    TBitmap b, ref;
    Fill(b, 12, 12, Pattern);
    Fill(ref, 12, 12, Pattern);
    BitmapMosaic(b, n);
    const int step = n <= 1 ? 1 : n;
    for (int y = 0; y < 12; ++y)
      for (int x = 0; x < 12; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(At(b, x, y, c), At(ref, x / step * step, y / step * step, c)) << n << " at " << x << "," << y;
  }
  // Blocks of 5, 5 and 2: (11, 11) takes (10, 10).
  TBitmap b, ref;
  Fill(b, 12, 12, Pattern);
  Fill(ref, 12, 12, Pattern);
  BitmapMosaic(b, 5);
  EXPECT_EQ(At(b, 11, 11, 0), At(ref, 10, 10, 0));
}

TEST(ProEffectImage, SmoothResizeInFixedPoint) {
  // Two columns 0 and 255 stretched to four: weights of a quarter each step.
  TBitmap src, dst;
  Fill(src, 2, 1, [](int x, int, int) { return static_cast<uint8_t>(x ? 255 : 0); });
  dst.SetPixelFormat(pf24bit);
  dst.SetSize(4, 1);
  BitmapSmoothResize(src, dst);
  const int want[4] = {0, 63, 127, 191};
  for (int x = 0; x < 4; ++x) EXPECT_EQ(At(dst, x, 0, 1), want[x]) << x;

  // A source one column wide and one row high: no neighbour is read past it.
  TBitmap column, out;
  Fill(column, 1, 3, [](int, int y, int) { return static_cast<uint8_t>(y * 100); });
  out.SetPixelFormat(pf24bit);
  out.SetSize(1, 2);
  BitmapSmoothResize(column, out);  // a step of exactly one row
  for (int y = 0; y < 2; ++y) EXPECT_EQ(At(out, 0, y, 2), y * 100);
  TBitmap empty;
  BitmapSmoothResize(column, empty);  // a destination of zero size does nothing
  EXPECT_TRUE(empty.Empty());
}

TEST(ProEffectImage, TilePlacement) {
  TBitmap src, dst;
  Fill(src, 9, 9, Pattern);
  BitmapTile(src, dst, 2);  // 9 div 2 < 5: the plain copy
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 9; ++x) ASSERT_EQ(At(dst, x, y, 0), At(src, x, y, 0));

  Fill(src, 101, 60, Pattern);
  BitmapTile(src, dst, 2);
  ASSERT_EQ(dst.Width(), 101);
  ASSERT_EQ(dst.Height(), 60);
  TBitmap tile;
  tile.SetPixelFormat(pf24bit);
  tile.SetSize(50, 30);
  BitmapSmoothResize(src, tile);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 101; ++x)
      for (int c = 0; c < 3; ++c) {
        const uint8_t want = x == 100 ? At(src, x, y, c) : At(tile, x % 50, y % 30, c);
        ASSERT_EQ(At(dst, x, y, c), want) << x << "," << y;
      }
  // The first tile's corners are the source's first pixel and a pixel near its far corner.
  EXPECT_EQ(At(dst, 0, 0, 0), At(src, 0, 0, 0));
  EXPECT_EQ(At(dst, 50, 30, 0), At(src, 0, 0, 0));
}

TEST(ProEffectImage, PolarAngle) {
  const float halfPi = 1.5707964f;
  EXPECT_EQ(PolarAngle(0.0f, 0.0f), -halfPi);
  EXPECT_EQ(PolarAngle(1.0f, 0.0f), halfPi);
  EXPECT_EQ(PolarAngle(-1.0f, 0.0f), -halfPi);
  EXPECT_NEAR(PolarAngle(1.0f, -1.0f), 3.0f * halfPi / 2.0f, 1e-6f);
  EXPECT_NEAR(PolarAngle(-1.0f, 1.0f), -halfPi / 2.0f, 1e-6f);
}

TEST(ProEffectImage, TwistKeepsTheCentreAndTurnsAQuarter) {
  for (int amount : {1, 50, 201}) {
    TBitmap src, dst;
    Fill(src, 5, 5, Pattern);
    Fill(dst, 5, 5, Pattern);
    BitmapTwist(src, dst, amount);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(At(dst, 2, 2, c), At(src, 2, 2, c)) << amount;
  }
  // A weak twist shows (cx + dx, cy + dy) from near (cx - dy, cy + dx):
  // smooth content, so the small extra turn moves values by little.
  TBitmap src, dst;
  Fill(src, 9, 9, [](int x, int y, int c) { return static_cast<uint8_t>(x * 10 + y * 20 + c); });
  Fill(dst, 9, 9, [](int, int, int) { return uint8_t{0}; });
  BitmapTwist(src, dst, 201);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 9; ++x) {
      const int dx = x - 4, dy = y - 4;
      if (dx * dx + dy * dy > 4) continue;  // near the centre the extra turn is tiny
      EXPECT_NEAR(At(dst, x, y, 0), At(src, 4 - dy, 4 + dx, 0), 2) << x << "," << y;
    }
}

TEST(ProEffectImage, TwistWithoutAmountOrOfAnotherSizeDoesNothing) {
  TBitmap src, dst;
  Fill(src, 6, 4, Pattern);
  for (int amount : {0, -3}) {
    Fill(dst, 6, 4, [](int, int, int) { return uint8_t{7}; });
    BitmapTwist(src, dst, amount);
    EXPECT_EQ(At(dst, 0, 0, 0), 7);
  }
  Fill(dst, 5, 4, [](int, int, int) { return uint8_t{7}; });
  BitmapTwist(src, dst, 10);
  EXPECT_EQ(At(dst, 0, 0, 0), 7);
}

TEST(ProEffectImage, TwistWrapsFarSamplesInsideThePicture) {
  // Strong twists on thin pictures send samples far outside: every read
  // must wrap back inside (the sanitizers watch the reads).
  for (auto [w, h] : {std::array<int, 2>{1, 1}, {1, 7}, {7, 1}, {2, 2}, {31, 3}}) {
    TBitmap src, dst;
    Fill(src, w, h, Pattern);
    Fill(dst, w, h, Pattern);
    BitmapTwist(src, dst, 1);
  }
}

namespace {

// The bytes of every row's pixels.
std::string Pixels(const TBitmap& b) {
  std::string out = std::to_string(b.Width()) + "x" + std::to_string(b.Height()) + ";";
  for (int y = 0; y < b.Height(); ++y)
    out.append(reinterpret_cast<const char*>(b.ScanLine(y)), static_cast<size_t>(b.Width()) * 3);
  return out;
}

// Noise of every byte value.
uint8_t Noise(int x, int y, int c) {
  uint32_t s = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u ^
               static_cast<uint32_t>(c) * 83492791u;
  s = s * 1664525u + 1013904223u;
  return static_cast<uint8_t>(s >> 24);
}

}  // namespace

// Every effect run in row bands gives the bytes one thread gives, at odd
// sizes whose bands do not fall on block or tile edges.
TEST(ProEffectImageThread, SameBytesAtEveryThreadCount) {
  struct Case {
    const char* name;
    std::function<void(const TBitmap& source, TBitmap& out)> run;
  };
  const Case cases[] = {
      {"lighten", [](const TBitmap& s, TBitmap& o) { o.Assign(s), BitmapLighten(o, 77); }},
      {"darken", [](const TBitmap& s, TBitmap& o) { o.Assign(s), BitmapDarken(o, 310); }},
      {"mosaic 7", [](const TBitmap& s, TBitmap& o) { o.Assign(s), BitmapMosaic(o, 7); }},
      {"mosaic 1000", [](const TBitmap& s, TBitmap& o) { o.Assign(s), BitmapMosaic(o, 1000); }},
      {"tile 3", [](const TBitmap& s, TBitmap& o) { BitmapTile(s, o, 3); }},
      {"tile 11", [](const TBitmap& s, TBitmap& o) { BitmapTile(s, o, 11); }},
      {"smooth resize",
       [](const TBitmap& s, TBitmap& o) {
         o.SetPixelFormat(pf24bit);
         o.SetSize(401, 257);
         BitmapSmoothResize(s, o);
       }},
      {"twist", [](const TBitmap& s, TBitmap& o) { o.Assign(s), BitmapTwist(s, o, 37); }},
  };
  TBitmap source;
  Fill(source, 613, 389, Noise);
  const int32_t saved = pixoran::PXSettings().ThreadCount.load();
  for (const Case& c : cases) {
    std::string reference;
    for (int32_t threads : {1, 2, 3, 8}) {
      pixoran::PXSettings().ThreadCount = threads;
      TBitmap out;
      c.run(source, out);
      const std::string got = Pixels(out);
      if (threads == 1) reference = got;
      else EXPECT_TRUE(got == reference) << c.name << " threads " << threads;
    }
  }
  pixoran::PXSettings().ThreadCount = saved;
}
