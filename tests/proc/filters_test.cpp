// Filters and effects: 3x3 kernels, the Gaussian blur against the integer
// formula, soft shadows, lens, wave and rounded corners.
#include "proc/pxfilters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "core/kopxutils_colors.h"
#include "proc/pixoranproc.h"
#include "proc_support.h"

namespace pixoran {
namespace {

using testing::FakeSelectionView;
using testing::FillRandom;
using testing::MakeBitmap;
using testing::Snapshot;

// ------------------------------------------------------------ 3x3 kernels

std::unique_ptr<TPXBitmap> GrayPatch(int32_t w, int32_t h, const std::vector<uint8_t>& values) {
  auto b = MakeBitmap(w, h, pxGray8);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) b->Scanline(y)[x] = values[static_cast<size_t>(y * w + x)];
  return b;
}

TEST(Filters3x3, PredefinedKernelsOnAKnownPatch) {
  // The centre sees the whole patch, the top-left corner the patch's edge
  // repeated: above and left of it count as the corner row and column.
  const std::vector<uint8_t> patch = {10, 20, 30, 40, 50, 60, 70, 80, 90};
  struct Case {
    const char* name;
    int32_t centre, corner;
  };
  const Case cases[] = {
      {"None", 50, 10},        {"Blur", 50, 23},       {"Edges", 0, 120},
      {"Emboss", 110, 40},     {"High Pass 1", 50, 0}, {"High Pass 2", 50, 0},
      {"High Pass 3", 50, 10}, {"Low Pass 1", 45, 21}, {"Low Pass 2", 50, 20},
  };
  BuildFilterList();
  ASSERT_EQ(FilterList().Names.size(), 9u);
  for (size_t i = 0; i < 9; ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(FilterList().Names[i], cases[i].name);
    auto b = GrayPatch(3, 3, patch);
    ApplyFilter3x3(*b, FilterList().Kernels[i], 0, 0, 3, 3);
    EXPECT_EQ(b->Scanline(1)[1], cases[i].centre);
    EXPECT_EQ(b->Scanline(0)[0], cases[i].corner);
  }
  // "Low Pass 1" divides by 10: a uniform 100 becomes 90; only the
  // rectangle changes.
  auto b = GrayPatch(6, 5, std::vector<uint8_t>(30, 100));
  ApplyFilter3x3(*b, kFilterLowPass1, 1, 2, 4, 5);
  for (int32_t y = 0; y < 5; ++y)
    for (int32_t x = 0; x < 6; ++x) EXPECT_EQ(b->Scanline(y)[x], x >= 1 && x < 4 && y >= 2 ? 90 : 100) << x << "," << y;
  // Other formats are left alone; a kernel added to the list comes back by name.
  auto c = MakeBitmap(4, 4, pxBGR24);
  FillRandom(*c, 3);
  const auto before = Snapshot(*c);
  ApplyFilter3x3(*c, kFilterEdges, 0, 0, 4, 4);
  EXPECT_EQ(Snapshot(*c), before);
  AddFilterKernel(kFilterEmboss, "Mine");
  EXPECT_EQ(FilterList().Names.back(), "Mine");
  BuildFilterList();
  EXPECT_EQ(FilterList().Kernels.size(), 9u);
}

// ------------------------------------------------------------ Gaussian blur

TEST(FiltersGaussian, WeightsFollowTheFormula) {
  for (double radius : {0.1, 0.5, 1.0, 2.0, 2.5, 10.0, 40.0}) {
    SCOPED_TRACE(radius);
    const TPXGaussianKernel k = BuildGaussianKernel(radius);
    double sum = 0;
    for (int i = -100; i <= 100; ++i) sum += std::exp(-(i / radius) * (i / radius) / 2);
    for (int i = -100; i <= 100; ++i) {
      const double w = std::exp(-(i / radius) * (i / radius) / 2);
      EXPECT_DOUBLE_EQ(k.Weights[static_cast<size_t>(i + 100)], w);
      EXPECT_EQ(k.IntWeights[static_cast<size_t>(i + 100)], static_cast<int32_t>(std::nearbyint(w * 65536 / sum)));
    }
    // The half-width is the last offset with a non-zero weight, at least 1.
    int half = 100;
    while (half > 1 && k.IntWeights[static_cast<size_t>(100 + half)] == 0) --half;
    EXPECT_EQ(k.HalfWidth, half);
  }
  // Values worked out separately.
  EXPECT_EQ(BuildGaussianKernel(2).IntWeights[100], 13073);
  EXPECT_EQ(BuildGaussianKernel(2).IntWeights[101], 11536);
  EXPECT_EQ(BuildGaussianKernel(10).IntWeights[100], 2615);
  // So small that every weight but the centre's rounds to 0: half-width 1.
  const TPXGaussianKernel tiny = BuildGaussianKernel(0.1);
  EXPECT_EQ(tiny.HalfWidth, 1);
  EXPECT_EQ(tiny.IntWeights[100], 65536);
  EXPECT_EQ(tiny.IntWeights[99], 0);
}

// The blur as written: the row pass on every row, then the column pass on
// every column, 32768 + sum of weight * neighbour (ends repeated), >> 16.
std::vector<uint8_t> ReferenceBlur(std::vector<uint8_t> px, int32_t w, int32_t h, int32_t ch, double radius) {
  const TPXGaussianKernel k = BuildGaussianKernel(radius);
  auto pass = [&](int32_t lines, int32_t n, auto at) {
    std::vector<uint8_t> line(static_cast<size_t>(n * ch));
    for (int32_t l = 0; l < lines; ++l) {
      for (int32_t i = 0; i < n; ++i)
        for (int32_t c = 0; c < ch; ++c) line[static_cast<size_t>(i * ch + c)] = at(l, i, c);
      for (int32_t i = 0; i < n; ++i)
        for (int32_t c = 0; c < ch; ++c) {
          int64_t s = 32768;
          for (int32_t t = -k.HalfWidth; t <= k.HalfWidth; ++t)
            s += int64_t{k.IntWeights[static_cast<size_t>(t + 100)]} *
                 line[static_cast<size_t>(std::clamp(i + t, 0, n - 1) * ch + c)];
          at(l, i, c) = static_cast<uint8_t>(std::min<int64_t>(s >> 16, 255));
        }
    }
  };
  pass(h, w,
       [&](int32_t y, int32_t x, int32_t c) -> uint8_t& { return px[static_cast<size_t>((y * w + x) * ch + c)]; });
  pass(w, h,
       [&](int32_t x, int32_t y, int32_t c) -> uint8_t& { return px[static_cast<size_t>((y * w + x) * ch + c)]; });
  return px;
}

std::vector<uint8_t> Pixels(TPXBitmap& b) {
  const int32_t ch = b.PixelFormat() == pxBGR24 ? 3 : 1;
  std::vector<uint8_t> out;
  for (int32_t y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);  // a temporary-file row lasts until the next call
    out.insert(out.end(), row, row + b.Width() * ch);
  }
  return out;
}

TEST(FiltersGaussian, BlurMatchesTheIntegerFormulaExactly) {
  struct Case {
    int32_t w, h;
    TPXPixelFormat format;
    double radius;
    bool tempFile;
  };
  const Case cases[] = {
      {1, 1, pxBGR24, 2, false},     {1, 9, pxGray8, 3, false},    {9, 1, pxBGR24, 1, false},
      {7, 3, pxGray8, 0.3, false},   {129, 67, pxBGR24, 2, false}, {129, 67, pxBGR24, 10, true},
      {301, 40, pxGray8, 10, false}, {70, 90, pxGray8, 33, true},  {255, 31, pxBGR24, 0.8, false},
      {1000, 5, pxBGR24, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " format " << int(c.format) << " radius " << c.radius);
    auto b = MakeBitmap(c.w, c.h, c.format, c.tempFile);
    FillRandom(*b, 77);
    const int32_t ch = c.format == pxBGR24 ? 3 : 1;
    const auto expected = ReferenceBlur(Pixels(*b), c.w, c.h, ch, c.radius);
    GaussianBlur(*b, c.radius);
    EXPECT_EQ(Pixels(*b), expected);
  }
}

TEST(FiltersGaussian, ASinglePixelSpreadsSymmetricallyAndKeepsItsTotal) {
  constexpr int32_t n = 41, mid = 20;
  for (double radius : {1.0, 2.0, 4.0}) {
    SCOPED_TRACE(radius);
    auto b = MakeBitmap(n, n, pxGray8);
    b->Scanline(mid)[mid] = 255;
    GaussianBlur(*b, radius);
    auto at = [&](int32_t x, int32_t y) { return int32_t{b->Scanline(y)[x]}; };
    int32_t total = 0, spread = 0;
    for (int32_t y = 0; y < n; ++y)
      for (int32_t x = 0; x < n; ++x) {
        total += at(x, y);
        spread += at(x, y) != 0;
        EXPECT_EQ(at(x, y), at(n - 1 - x, y));
        EXPECT_EQ(at(x, y), at(x, n - 1 - y));
        if (x > mid) {
          EXPECT_LE(at(x, y), at(x - 1, y));
        }
      }
    EXPECT_GT(spread, 1);
    // Each output rounds to the nearest level: the total moves by at most
    // half a level per pixel touched in either pass.
    const int32_t half = BuildGaussianKernel(radius).HalfWidth;
    EXPECT_LE(std::abs(total - 255), (2 * half + 1) * (2 * half + 2) / 2);
  }
}

TEST(FiltersGaussian, RowsClampAndRefuseNothing) {
  // Weights summing well above 65536 (not the Gaussian's) clamp at 255.
  TPXGaussianKernel k;
  k.HalfWidth = 1;
  k.IntWeights[99] = k.IntWeights[101] = 1000;
  k.IntWeights[100] = 65536;
  std::vector<uint8_t> row(10, 255);
  BlurRowGray8(row.data(), 10, k);
  EXPECT_EQ(row, std::vector<uint8_t>(10, 255));
  std::vector<uint8_t> bgr = {0, 0, 0, 90, 120, 255, 0, 0, 0};
  BlurRowBgr24(bgr.data(), 3, BuildGaussianKernel(0.1));  // centre weight only
  EXPECT_EQ(bgr, (std::vector<uint8_t>{0, 0, 0, 90, 120, 255, 0, 0, 0}));
  // Radius 0 or less, or other formats: nothing.
  for (TPXPixelFormat f : {pxBW1, pxPal8, pxGray16, pxCMYK}) {
    auto b = MakeBitmap(9, 9, f);
    FillRandom(*b, 5);
    const auto before = Snapshot(*b);
    GaussianBlur(*b, 3);
    EXPECT_EQ(Snapshot(*b), before);
  }
  auto g = MakeBitmap(9, 9, pxGray8);
  FillRandom(*g, 6);
  const auto before = Snapshot(*g);
  GaussianBlur(*g, 0);
  GaussianBlur(*g, -2);
  GaussianBlur(*g, std::nan(""));
  EXPECT_EQ(Snapshot(*g), before);
}

TEST(FiltersGaussian, BlurOperationCaptionsTheRadiusAndReportsProgress) {
  auto b = MakeBitmap(30, 20, pxBGR24);
  FillRandom(*b, 9);
  TPixoranProc proc;
  proc.AttachBitmap(b.get());
  proc.SetUndoLimit(3);
  std::vector<int> steps;
  proc.OnProgress = [&](TObject*, int p) { steps.push_back(p); };
  proc.Blur(2.5);
  proc.Blur(30);
  EXPECT_EQ(proc.UndoCaptions(), (std::vector<std::string>{"Blur 2.5", "Blur 30"}));
  // One report per row and per column, Trunc(100 / 50 * step).
  ASSERT_EQ(steps.size(), 100u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(steps[static_cast<size_t>(i)], 2 * i);
  // A 1-bit image is refused without an undo entry.
  auto bw = MakeBitmap(8, 8, pxBW1);
  proc.AttachBitmap(bw.get());
  proc.ClearUndo();
  proc.Blur(2);
  EXPECT_EQ(proc.UndoCount(), 0);
}

TEST(FiltersGaussian, AlphaRectangleBlursOnlyInside) {
  auto a = MakeBitmap(20, 16, pxGray8);
  FillRandom(*a, 10);
  auto expected = Pixels(*a);
  // The inclusive rectangle 3..12 x 4..9 blurred on its own.
  std::vector<uint8_t> inner;
  for (int32_t y = 4; y <= 9; ++y)
    for (int32_t x = 3; x <= 12; ++x) inner.push_back(expected[static_cast<size_t>(y * 20 + x)]);
  inner = ReferenceBlur(inner, 10, 6, 1, 1.5);
  for (int32_t y = 4; y <= 9; ++y)
    for (int32_t x = 3; x <= 12; ++x)
      expected[static_cast<size_t>(y * 20 + x)] = inner[static_cast<size_t>((y - 4) * 10 + x - 3)];
  BlurAlphaRect(*a, 3, 4, 12, 9, 1.5);
  EXPECT_EQ(Pixels(*a), expected);
  // A rectangle reaching past the image is cut to it.
  BlurAlphaRect(*a, -5, -5, 1 << 30, std::numeric_limits<int32_t>::max(), 1.5);
}

// ------------------------------------------------------------ shadows

// An opaque white square 30..69 on a transparent 100 x 100 image.
std::unique_ptr<TPXBitmap> SquareOnTransparent(TPXPixelFormat f) {
  auto b = MakeBitmap(100, 100, f);
  TPXBitmap& a = *b->GetAlphaChannel();
  for (int32_t y = 0; y < 100; ++y)
    for (int32_t x = 0; x < 100; ++x) {
      const bool in = x >= 30 && x < 70 && y >= 30 && y < 70;
      a.Scanline(y)[x] = in ? 255 : 0;
      if (f == pxBGR24) std::memset(b->Scanline(y) + 3 * x, in ? 255 : 200, 3);
      if (f == pxBW1) SetBit(b->Scanline(y), x, true);
    }
  a.Full = false;
  return b;
}

TEST(FiltersShadow, EnlargeGrowsByTheMarginAndShadowFallsByTheOffset) {
  auto b = SquareOnTransparent(pxBGR24);
  TPixoranProc proc;
  proc.AttachBitmap(b.get());
  proc.AddSoftShadow(2, 5, -3, true, 0xFF0000);  // blue as a framework colour
  EXPECT_EQ(proc.UndoCaptions(), std::vector<std::string>{"AddSoftShadow"});
  // Margin 2 * 5 + Trunc(2 * 5) = 20, the content centred: the square is now at 40..79.
  ASSERT_EQ(b->Width(), 120);
  ASSERT_EQ(b->Height(), 120);
  TPXBitmap& a = *b->GetAlphaChannel();
  EXPECT_FALSE(a.Full);
  EXPECT_EQ(b->GetPixel24(60, 60), (TBGR{255, 255, 255}));
  EXPECT_EQ(a.Scanline(60)[60], 255);
  // Right of the square (offset +5) and above it (-3): shadow-coloured, part transparent.
  for (auto [x, y] : {std::pair{82, 60}, std::pair{60, 38}, std::pair{83, 38}}) {
    SCOPED_TRACE(::testing::Message() << x << "," << y);
    EXPECT_EQ(b->GetPixel24(x, y), (TBGR{255, 0, 0}));
    EXPECT_GT(a.Scanline(y)[x], 0);
    EXPECT_LT(a.Scanline(y)[x], 255);
  }
  // Left of and below the square, past the blur: untouched and transparent.
  for (auto [x, y] : {std::pair{36, 60}, std::pair{60, 84}, std::pair{2, 2}}) {
    EXPECT_EQ(a.Scanline(y)[x], 0) << x << "," << y;
    EXPECT_NE(b->GetPixel24(x, y), (TBGR{255, 0, 0}));
  }
}

TEST(FiltersShadow, OneBitImagesTakeBlackAndOtherFormatsOnlyAlpha) {
  auto bw = SquareOnTransparent(pxBW1);
  AddSoftShadowToBitmap(*bw, 4, 4, {}, TBGR{255, 255, 255}, false, 2);
  EXPECT_EQ(bw->Width(), 100);
  EXPECT_FALSE(GetBit(bw->Scanline(72), 72));  // under the shadow: cleared
  EXPECT_TRUE(GetBit(bw->Scanline(50), 50));   // the square
  EXPECT_TRUE(GetBit(bw->Scanline(10), 10));   // far away
  EXPECT_GT(bw->GetAlphaChannel()->Scanline(72)[72], 0);

  auto g = SquareOnTransparent(pxGray8);
  const auto before = Pixels(*g);
  AddSoftShadowToBitmap(*g, 4, 4, {}, TBGR{}, false, 2);
  EXPECT_EQ(Pixels(*g), before);
  EXPECT_GT(g->GetAlphaChannel()->Scanline(72)[72], 0);
}

TEST(FiltersShadow, ObjectShadowReturnsTheMarginAndStaysNearTheObject) {
  for (double radius : {3.0, 0.0}) {
    SCOPED_TRACE(radius);
    auto b = MakeBitmap(60, 60, pxBGR24);
    TPXBitmap& a = *b->GetAlphaChannel();
    for (int32_t y = 0; y < 60; ++y)
      for (int32_t x = 0; x < 60; ++x) {
        std::memset(b->Scanline(y) + 3 * x, 255, 3);
        a.Scanline(y)[x] = x >= 20 && x < 30 && y >= 20 && y < 30 ? 255 : 0;
      }
    const int32_t margin = DrawSoftShadowRect(*b, 4, 4, Rect(20, 20, 30, 30), radius);
    EXPECT_EQ(margin, radius == 0 ? 18 : 23);  // 2 * 4 + Trunc(5 * radius), radius 0 counting as 2
    EXPECT_EQ(b->GetPixel24(25, 25), (TBGR{255, 255, 255}));
    EXPECT_EQ(a.Scanline(25)[25], 255);
    EXPECT_EQ(b->GetPixel24(31, 31), (TBGR{0, 0, 0}));
    EXPECT_GT(a.Scanline(31)[31], 0);
    EXPECT_EQ(a.Scanline(15)[15], 0);
    // Nothing beyond the grown rectangle changes.
    for (int32_t y = 0; y < 60; ++y)
      for (int32_t x = 0; x < 60; ++x)
        if (x >= 30 + margin || y >= 30 + margin || x < 20 - margin || y < 20 - margin) {
          ASSERT_EQ(b->GetPixel24(x, y), (TBGR{255, 255, 255})) << x << "," << y;
        }
  }
  // Offsets at the ends of the range move the shadow out of the image.
  auto b = MakeBitmap(10, 10, pxBGR24);
  EXPECT_EQ(DrawSoftShadowRect(*b, std::numeric_limits<int32_t>::min(), 0, Rect(2, 2, 5, 5), 1),
            std::numeric_limits<int32_t>::max());
}

// ------------------------------------------------------------ lens, wave, corners

// Each pixel's blue byte is its column, its green byte its row.
std::unique_ptr<TPXBitmap> CoordinateImage(int32_t w, int32_t h) {
  auto b = MakeBitmap(w, h, pxBGR24);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      uint8_t* p = b->Scanline(y) + 3 * x;
      p[0] = static_cast<uint8_t>(x), p[1] = static_cast<uint8_t>(y), p[2] = 7;
    }
  return b;
}

TEST(FiltersEffects, ZeroStrengthKeepsThePixelsButSavesTheUndoEntry) {
  struct Case {
    const char* caption;
    std::function<void(TPixoranProc&)> op;
  };
  const Case cases[] = {
      {"Lens", [](TPixoranProc& p) { p.Lens(20, 15, 30, 20, 0.5); }},
      {"Lens", [](TPixoranProc& p) { p.Lens(20, 15, 30, 20, std::nan("")); }},
      {"Wave", [](TPixoranProc& p) { p.Wave(0, 10, 30, false); }},
      {"Wave", [](TPixoranProc& p) { p.Wave(5, 0, 30, true); }},
      {"RoundImage", [](TPixoranProc& p) { p.RoundImage(0, 10); }},
      {"RoundImage", [](TPixoranProc& p) { p.RoundImage(-5, 10); }},
  };
  for (const Case& c : cases) {
    auto b = CoordinateImage(40, 30);
    const auto before = Snapshot(*b);
    TPixoranProc proc;
    proc.AttachBitmap(b.get());
    c.op(proc);
    EXPECT_EQ(Snapshot(*b), before) << c.caption;
    EXPECT_EQ(proc.UndoCaptions(), std::vector<std::string>{c.caption});
  }
}

TEST(FiltersEffects, SelectionsNarrowerThanTwoPixelsKeepTheirPixels) {
  for (bool wave : {true, false}) {
    FakeSelectionView view;
    view.bitmap = CoordinateImage(30, 20);
    view.Select(1, [](int32_t x, int32_t) { return x == 12 ? 255 : 0; });  // one column
    const auto before = Snapshot(*view.bitmap);
    TPixoranProc proc;
    proc.SetAttachedPixoran(&view);
    if (wave) proc.Wave(5, 4, 0, false);
    else proc.Lens(0, 10, 10, 10, 3);
    EXPECT_EQ(Snapshot(*view.bitmap), before) << wave;
    EXPECT_EQ(proc.UndoCount(), 1);
  }
}

TEST(FiltersEffects, LensMagnifiesTowardsItsCentre) {
  auto b = CoordinateImage(60, 40);
  LensRect(*b, 30, 20, 40, 30, 2.0);
  int32_t moved = 0;
  for (int32_t y = 0; y < 40; ++y)
    for (int32_t x = 0; x < 60; ++x) {
      const TBGR p = b->GetPixel24(x, y);
      // Inside the box (10..49, 5..34) each pixel shows one from no farther
      // out on its side of the centre; outside, nothing moves.
      if (x < 10 || x >= 50 || y < 5 || y >= 35) {
        ASSERT_EQ(p, (TBGR{uint8_t(x), uint8_t(y), 7})) << x << "," << y;
        continue;
      }
      EXPECT_LE(std::abs(2 * p.b - 59), std::abs(2 * x - 59) + 1) << x << "," << y;
      EXPECT_LE(std::abs(2 * p.g - 39), std::abs(2 * y - 39) + 1) << x << "," << y;
      moved += p.b != x || p.g != y;
    }
  EXPECT_GT(moved, 100);
}

// Without a selection the component's wave reads the picture itself rather
// than a copy: the same bytes as the wave of a bitmap alone, in both modes,
// in memory and with the picture's rows in a temporary file.
TEST(FiltersEffects, WholePictureWaveGivesTheBitmapWavesBytes) {
  for (bool files : {false, true})
    for (bool mode : {false, true}) {
      FakeSelectionView view;
      view.bitmap = MakeBitmap(97, 61, pxBGR24, files);
      FillRandom(*view.bitmap, 17);
      auto alone = MakeBitmap(97, 61, pxBGR24);
      alone->Assign(view.bitmap.get());
      WaveRect(*alone, 4, 9, mode, 40);
      TPixoranProc proc;
      proc.SetAttachedPixoran(&view);
      proc.Wave(4, 9, 40, mode);
      EXPECT_EQ(Snapshot(*view.bitmap), Snapshot(*alone)) << mode << files;
      EXPECT_NE(Snapshot(*view.bitmap), Snapshot(*MakeBitmap(97, 61, pxBGR24)));
    }
}

TEST(FiltersEffects, WaveSamplesAlongTheRingsFromTheBottomRow) {
  // Blue = column, green = row counted from the bottom: the interpolated
  // bytes give back the coordinates each pixel was sampled at.
  constexpr int32_t w = 120, h = 80;
  auto b = MakeBitmap(w, h, pxBGR24);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      uint8_t* p = b->Scanline(y) + 3 * x;
      p[0] = static_cast<uint8_t>(x), p[1] = static_cast<uint8_t>(h - 1 - y), p[2] = 0;
    }
  WaveRect(*b, 3, 10, false, 30);
  const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0, ky = 1.5;
  int32_t checked = 0;
  for (int32_t yb = 0; yb < h; ++yb)
    for (int32_t x = 0; x < w; ++x) {
      const double dx = x - cx, dy = (yb - cy) * ky;
      const double p = std::sin(std::hypot(dx, dy) / 20 * 2 * std::numbers::pi + std::numbers::pi / 6) * 3;
      const double sx = p + dx + cx, sy = (p + dy) / ky + cy;
      if (sx < 1 || sx > w - 2 || sy < 1 || sy > h - 2) continue;
      const TBGR got = b->GetPixel24(x, h - 1 - yb);
      EXPECT_NEAR(got.b, std::trunc(sx), 1) << x << "," << yb;
      EXPECT_NEAR(got.g, std::trunc(sy), 1) << x << "," << yb;
      ++checked;
    }
  EXPECT_GT(checked, w * h / 2);
}

TEST(FiltersEffects, RoundCornersClearsTheFourCornersOnly) {
  auto b = MakeBitmap(40, 30, pxBGR24);
  FillRandom(*b, 12);
  const auto pixels = Pixels(*b);
  TPixoranProc proc;
  proc.AttachBitmap(b.get());
  proc.RoundImage(10, 8);
  EXPECT_EQ(Pixels(*b), pixels);
  TPXBitmap& a = *b->GetAlphaChannel();
  EXPECT_FALSE(a.Full);
  for (auto [x, y] : {std::pair{0, 0}, std::pair{39, 0}, std::pair{0, 29}, std::pair{39, 29}, std::pair{2, 1}})
    EXPECT_EQ(a.Scanline(y)[x], 0) << x << "," << y;
  int32_t cleared = 0;
  for (int32_t y = 0; y < 30; ++y)
    for (int32_t x = 0; x < 40; ++x) {
      EXPECT_EQ(a.Scanline(y)[x], a.Scanline(y)[39 - x]) << x << "," << y;
      const bool inCorner = (x <= 10 || x >= 29) && (y <= 8 || y >= 21);
      if (!inCorner) {
        EXPECT_EQ(a.Scanline(y)[x], 255) << x << "," << y;
      }
      cleared += a.Scanline(y)[x] == 0;
    }
  // Each corner loses less than its w x h box.
  EXPECT_GT(cleared, 4 * 10);
  EXPECT_LT(cleared, 4 * 10 * 9);
  // Corner sizes far beyond the image clear it all, quickly.
  RoundCorners(*b, std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(a.Scanline(15)[20], 0);
}

}  // namespace
}  // namespace pixoran
