// Colour quantizers: method choice, exact palettes, grey ramps, the
// variance-splitting boxes and the NeuQuant network.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <set>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/neurquant.h"
#include "core/stdquant.h"

namespace pixoran {
namespace {

using TPixelFn = std::function<TBGR(int32_t x, int32_t y)>;

void MakeBGR(TPXBitmap& bmp, int32_t w, int32_t h, const TPixelFn& fn) {
  ASSERT_TRUE(bmp.Allocate(w, h, pxBGR24));
  ASSERT_EQ(bmp.PixelFormat(), pxBGR24);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* p = bmp.Scanline(y);
    ASSERT_NE(p, nullptr);
    for (int32_t x = 0; x < w; ++x) {
      const TBGR c = fn(x, y);
      p[3 * x] = c.b;
      p[3 * x + 1] = c.g;
      p[3 * x + 2] = c.r;
    }
  }
}

// Deterministic pseudo-random numbers.
struct TLcg {
  uint32_t s;
  explicit TLcg(uint32_t seed) : s(seed) {}
  uint32_t Next() {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
  }
};

// Smooth gradients plus noise: many distinct colours, photograph-like.
TPixelFn PhotoLike(int32_t w, int32_t h, uint32_t seed) {
  auto rng = std::make_shared<TLcg>(seed);
  return [=](int32_t x, int32_t y) {
    auto ch = [&](int32_t base) {
      return static_cast<uint8_t>(std::clamp<int32_t>(base + static_cast<int32_t>(rng->Next() % 17) - 8, 0, 255));
    };
    const int32_t r = x * 255 / std::max(w - 1, 1);
    const int32_t g = y * 255 / std::max(h - 1, 1);
    const int32_t b = (x + y) * 255 / std::max(w + h - 2, 1);
    return TBGR{ch(b), ch(g), ch(r)};
  };
}

// The i-th of a set of clearly non-grey distinct colours.
TBGR DistinctColour(int32_t i) {
  return TBGR{static_cast<uint8_t>(i * 37 + 1), static_cast<uint8_t>(i * 11 + 3), static_cast<uint8_t>(255 - i)};
}

// Distinct colours for every i below 2^24 (an odd multiplier is a bijection).
TBGR Scattered(int64_t i) {
  return IntToBGR(static_cast<int32_t>((static_cast<uint32_t>(i) * 2654435761u) & 0xFFFFFFu));
}

int32_t PixelInt(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16); }

// Every pixel of the source maps into the written palette, and the row
// mapper agrees with the per-colour look-up.
void ExpectAllIndicesInRange(TPXBitmap& bmp, const TPXQuantizer& q) {
  ASSERT_GT(q.ColorCount(), 0);
  std::vector<uint8_t> row(static_cast<size_t>(bmp.Width()));
  for (int32_t y = 0; y < bmp.Height(); ++y) {
    const uint8_t* p = bmp.Scanline(y);
    q.MapRow(p, row.data(), bmp.Width());
    for (int32_t x = 0; x < bmp.Width(); ++x) {
      const int32_t i = q.ColorIndex(PixelInt(p + 3 * x));
      ASSERT_GE(i, 0) << "pixel " << x << "," << y;
      ASSERT_LT(i, q.ColorCount()) << "pixel " << x << "," << y;
      ASSERT_EQ(row[static_cast<size_t>(x)], q.ColorIndexOrNearest(PixelInt(p + 3 * x)));
    }
  }
}

// Mean absolute per-channel error of the source against its mapped palette.
double MeanError(TPXBitmap& bmp, const TPXQuantizer& q, const std::vector<TBGR>& pal) {
  double sum = 0;
  for (int32_t y = 0; y < bmp.Height(); ++y) {
    const uint8_t* p = bmp.Scanline(y);
    for (int32_t x = 0; x < bmp.Width(); ++x, p += 3) {
      const TBGR e = pal[static_cast<size_t>(q.ColorIndexOrNearest(PixelInt(p)))];
      sum += std::abs(e.b - p[0]) + std::abs(e.g - p[1]) + std::abs(e.r - p[2]);
    }
  }
  return sum / (3.0 * bmp.Width() * bmp.Height());
}

const TBGR kUntouched{1, 2, 3};

// --- exact palettes

TEST(QuantizerExact, KeepsColoursInFirstAppearanceOrderAtN) {
  for (int32_t n : {1, 2, 16, 127, 128, 255, 256}) {
    SCOPED_TRACE(n);
    TPXBitmap bmp;
    // Colours appear in a scrambled order and repeat across rows.
    const int32_t w = 37, h = 19;
    MakeBGR(bmp, w, h, [&](int32_t x, int32_t y) { return DistinctColour(((x + y * w) * 7) % n); });
    std::vector<int32_t> firstSeen;
    std::set<int32_t> seen;
    for (int32_t k = 0; k < w * h; ++k) {
      const int32_t c = (k * 7) % n;
      if (seen.insert(c).second) firstSeen.push_back(c);
    }
    ASSERT_EQ(static_cast<int32_t>(firstSeen.size()), std::min(n, w * h));

    std::vector<TBGR> pal(256, kUntouched);
    TPXQuantizer q;
    q.Init(bmp, pal, n);
    EXPECT_EQ(q.Method(), TPXQuantMethod::ExactPalette);
    EXPECT_FALSE(q.Gray());
    ASSERT_EQ(q.ColorCount(), static_cast<int32_t>(firstSeen.size()));
    for (size_t i = 0; i < firstSeen.size(); ++i) {
      EXPECT_EQ(pal[i], DistinctColour(firstSeen[i])) << i;
      EXPECT_EQ(q.ColorIndex(BGRToInt(DistinctColour(firstSeen[i]))), static_cast<int32_t>(i));
    }
    for (size_t i = firstSeen.size(); i < pal.size(); ++i) EXPECT_EQ(pal[i], kUntouched) << i;
    ExpectAllIndicesInRange(bmp, q);
  }
}

TEST(QuantizerExact, OneColourMoreSwitchesToAQuantizer) {
  for (int32_t n : {2, 16, 126, 127, 128, 200, 255}) {
    SCOPED_TRACE(n);
    TPXBitmap bmp;
    // n colours on every row, the (n+1)-th only in the last pixel.
    const int32_t w = n, h = 4;
    MakeBGR(bmp, w, h, [&](int32_t x, int32_t y) { return DistinctColour(x == w - 1 && y == h - 1 ? n : x); });
    std::vector<TBGR> pal(256, kUntouched);
    TPXQuantizer q;
    q.Init(bmp, pal, n);
    EXPECT_EQ(q.Method(), n < 128 ? TPXQuantMethod::VarianceSplit : TPXQuantMethod::NeuralNet);
    EXPECT_LE(q.ColorCount(), n);
    for (size_t i = static_cast<size_t>(q.ColorCount()); i < pal.size(); ++i) EXPECT_EQ(pal[i], kUntouched) << i;
    ExpectAllIndicesInRange(bmp, q);
  }
}

TEST(QuantizerExact, AbsentColourIsMinusOneOrTheNearestEntry) {
  TPXBitmap bmp;
  const TBGR a{10, 20, 200}, b{200, 20, 10}, c{0, 250, 0};
  MakeBGR(bmp, 3, 1, [&](int32_t x, int32_t) { return x == 0 ? a : x == 1 ? b : c; });
  std::vector<TBGR> pal(8, kUntouched);
  TPXQuantizer q;
  q.Init(bmp, pal, 8);
  ASSERT_EQ(q.Method(), TPXQuantMethod::ExactPalette);
  ASSERT_EQ(q.ColorCount(), 3);
  EXPECT_EQ(q.ColorIndex(BGRToInt(b)), 1);
  const TBGR nearB{190, 30, 15}, nearC{5, 240, 5};
  EXPECT_EQ(q.ColorIndex(BGRToInt(nearB)), -1);
  EXPECT_EQ(q.ColorIndexOrNearest(BGRToInt(nearB)), 1);
  EXPECT_EQ(q.ColorIndexOrNearest(BGRToInt(nearC)), 2);
  // The top byte of a colour integer is not part of the colour.
  EXPECT_EQ(q.ColorIndex(BGRToInt(c) | 0x7F000000), 2);
  uint8_t bgr[6] = {190, 30, 15, 10, 20, 200};
  uint8_t idx[2] = {99, 99};
  q.MapRow(bgr, idx, 2);
  EXPECT_EQ(idx[0], 1);
  EXPECT_EQ(idx[1], 0);
}

// --- method choice and clamping

TEST(QuantizerMethod, BoundaryBetweenVarianceSplittingAndNeuralNet) {
  TPXBitmap bmp;
  MakeBGR(bmp, 64, 48, PhotoLike(64, 48, 7));
  for (int32_t n : {2, 127, 128, 256}) {
    SCOPED_TRACE(n);
    std::vector<TBGR> pal(256, kUntouched);
    TPXQuantizer q;
    q.Init(bmp, pal, n);
    EXPECT_EQ(q.Method(), n < 128 ? TPXQuantMethod::VarianceSplit : TPXQuantMethod::NeuralNet);
    EXPECT_EQ(q.NColors(), n);
    if (n >= 128) {
      EXPECT_EQ(q.ColorCount(), n);  // the network writes all its entries
    }
    ExpectAllIndicesInRange(bmp, q);
  }
}

TEST(QuantizerMethod, ColourCountIsClampedToRangeAndPaletteSize) {
  TPXBitmap bmp;
  MakeBGR(bmp, 40, 30, PhotoLike(40, 30, 3));
  struct TCase {
    int32_t asked, paletteSize, expected;
    TPXQuantMethod method;
  };
  for (const TCase& t :
       {TCase{0, 256, 1, TPXQuantMethod::VarianceSplit}, TCase{-5, 256, 1, TPXQuantMethod::VarianceSplit},
        TCase{1000, 256, 256, TPXQuantMethod::NeuralNet}, TCase{256, 10, 10, TPXQuantMethod::VarianceSplit},
        TCase{256, 130, 130, TPXQuantMethod::NeuralNet}}) {
    SCOPED_TRACE(t.asked);
    SCOPED_TRACE(t.paletteSize);
    // Exactly the caller's size: writing past it is caught by the sanitizer.
    std::vector<TBGR> pal(static_cast<size_t>(t.paletteSize), kUntouched);
    TPXQuantizer q;
    q.Init(bmp, pal, t.asked);
    EXPECT_EQ(q.NColors(), t.expected);
    EXPECT_EQ(q.Method(), t.method);
    EXPECT_LE(q.ColorCount(), t.expected);
    ExpectAllIndicesInRange(bmp, q);
  }
}

TEST(QuantizerMethod, EmptyPaletteWritesNothing) {
  TPXBitmap bmp;
  MakeBGR(bmp, 4, 4, PhotoLike(4, 4, 1));
  TPXQuantizer q;
  q.Init(bmp, std::span<TBGR>(), 16);
  EXPECT_EQ(q.ColorCount(), 0);
  EXPECT_EQ(q.Method(), TPXQuantMethod::None);
  EXPECT_EQ(q.ColorIndex(0x123456), 0);
}

TEST(QuantizerMethod, DoneAndReinitStartAfresh) {
  TPXBitmap colour, grey;
  MakeBGR(colour, 50, 20, PhotoLike(50, 20, 9));
  MakeBGR(grey, 8, 8, [](int32_t x, int32_t y) {
    const auto v = static_cast<uint8_t>(x * 30 + y);
    return TBGR{v, v, v};
  });
  std::vector<TBGR> pal(256);
  TPXQuantizer q;
  q.Init(colour, pal, 200);
  ASSERT_EQ(q.Method(), TPXQuantMethod::NeuralNet);
  q.Init(grey, pal, 4);
  EXPECT_EQ(q.Method(), TPXQuantMethod::GrayRamp);
  EXPECT_EQ(q.ColorIndex(0xFFFFFF), 3);
  q.Done();
  EXPECT_EQ(q.Method(), TPXQuantMethod::None);
  EXPECT_EQ(q.ColorIndex(0xFFFFFF), 0);
}

TEST(QuantizerMethod, TempFileSourceGivesTheSameResultAndKeepsItsAccessMode) {
  TPXBitmap mem, file;
  file.MemoryThreshold = 0;
  MakeBGR(mem, 61, 23, PhotoLike(61, 23, 5));
  MakeBGR(file, 61, 23, PhotoLike(61, 23, 5));
  ASSERT_EQ(mem.Location(), pxInMemory);
  ASSERT_EQ(file.Location(), pxTempFile);
  for (int32_t n : {16, 256}) {
    std::vector<TBGR> p1(256), p2(256);
    TPXQuantizer q1, q2;
    q1.Init(mem, p1, n);
    q2.Init(file, p2, n);
    EXPECT_EQ(file.AccessMode, pxaRead | pxaWrite);
    ASSERT_EQ(q1.ColorCount(), q2.ColorCount());
    EXPECT_TRUE(std::equal(p1.begin(), p1.end(), p2.begin())) << n;
  }
}

// --- grey sources

TEST(QuantizerGray, GreySourcesGetTheRampWhateverTheirLevels) {
  // Only two grey levels, fewer than N, still get the full ramp.
  TPXBitmap twoLevels;
  MakeBGR(twoLevels, 10, 10, [](int32_t x, int32_t) { return x < 5 ? TBGR{40, 40, 40} : TBGR{200, 200, 200}; });
  TPXBitmap gray8;
  ASSERT_TRUE(gray8.Allocate(16, 16, pxGray8));
  for (int32_t y = 0; y < 16; ++y) {
    uint8_t* p = gray8.Scanline(y);
    for (int32_t x = 0; x < 16; ++x) p[x] = static_cast<uint8_t>(y * 16 + x);
  }
  for (TPXBitmap* bmp : {&twoLevels, &gray8}) {
    for (int32_t n : {1, 3, 7, 16, 100, 256}) {
      SCOPED_TRACE(n);
      std::vector<TBGR> pal(256, kUntouched);
      TPXQuantizer q;
      q.Init(*bmp, pal, n);
      EXPECT_TRUE(q.Gray());
      ASSERT_EQ(q.Method(), TPXQuantMethod::GrayRamp);
      ASSERT_EQ(q.ColorCount(), n);
      for (int32_t i = 0; i < n; ++i) {
        const auto v = static_cast<uint8_t>(static_cast<int64_t>(256) * i / n);
        EXPECT_EQ(pal[static_cast<size_t>(i)], (TBGR{v, v, v})) << i;
      }
      EXPECT_EQ(pal[static_cast<size_t>(n) % 256], (n == 256 ? TBGR{0, 0, 0} : kUntouched));
      for (int32_t level = 0; level < 256; ++level) {
        // Only the red byte counts.
        EXPECT_EQ(q.ColorIndex(level << 16 | 0x00FF7F), level * n / 256);
      }
    }
  }
}

TEST(QuantizerGray, RampValuesForAwkwardCounts) {
  // 256 / N x i truncated, where N does not divide 256.
  TPXBitmap bmp;
  MakeBGR(bmp, 2, 2, [](int32_t, int32_t) { return TBGR{9, 9, 9}; });
  std::vector<TBGR> pal(6);
  TPXQuantizer q;
  q.Init(bmp, pal, 6);
  const uint8_t expected[6] = {0, 42, 85, 128, 170, 213};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(pal[static_cast<size_t>(i)].g, expected[i]) << i;
}

// --- paletted sources

void MakePal8(TPXBitmap& bmp, const std::function<TBGR(int32_t)>& entry) {
  ASSERT_TRUE(bmp.Allocate(16, 16, pxPal8));
  ASSERT_EQ(bmp.PaletteCount(), 256);
  for (int32_t i = 0; i < 256; ++i) bmp.SetPaletteEntry(i, entry(i));
  for (int32_t y = 0; y < 16; ++y) {
    uint8_t* p = bmp.Scanline(y);
    for (int32_t x = 0; x < 16; ++x) p[x] = static_cast<uint8_t>(y * 16 + x);
  }
}

TEST(QuantizerPal8, CopiesThePaletteAndMapsThroughIt) {
  TPXBitmap bmp;
  // Entries 0..99 distinct colours, then repeats of entry 5's colour.
  MakePal8(bmp, [](int32_t i) { return DistinctColour(i < 100 ? i : 5); });
  for (int32_t n : {256, 64}) {
    SCOPED_TRACE(n);
    std::vector<TBGR> pal(256, kUntouched);
    TPXQuantizer q;
    q.Init(bmp, pal, n);
    EXPECT_EQ(q.Method(), TPXQuantMethod::PaletteCopy);
    ASSERT_EQ(q.ColorCount(), n);
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(pal[static_cast<size_t>(i)], DistinctColour(i < 100 ? i : 5));
    for (size_t i = static_cast<size_t>(n); i < 256; ++i) EXPECT_EQ(pal[i], kUntouched);
    EXPECT_EQ(q.ColorIndex(BGRToInt(DistinctColour(42))), 42);
    EXPECT_EQ(q.ColorIndex(BGRToInt(DistinctColour(5))), 5);  // first holder wins
    const int32_t absent = 0x00FE00FE;
    EXPECT_EQ(q.ColorIndex(absent), 256);
    const int32_t nearest = q.ColorIndexOrNearest(absent);
    EXPECT_GE(nearest, 0);
    EXPECT_LT(nearest, n);
    // An entry beyond the copied ones maps to a copied one.
    if (n == 64) {
      EXPECT_EQ(q.ColorIndex(BGRToInt(DistinctColour(80))), 80);
      EXPECT_LT(q.ColorIndexOrNearest(BGRToInt(DistinctColour(80))), 64);
    }
  }
}

TEST(QuantizerPal8, GreyPaletteThatIsNoRampStillMapsThroughIt) {
  TPXBitmap bmp;
  // Grey, but in descending order: the ramp formula would point at the wrong entries.
  MakePal8(bmp, [](int32_t i) {
    const auto v = static_cast<uint8_t>(255 - i);
    return TBGR{v, v, v};
  });
  std::vector<TBGR> pal(256);
  TPXQuantizer q;
  q.Init(bmp, pal, 256);
  EXPECT_TRUE(q.Gray());
  EXPECT_EQ(q.Method(), TPXQuantMethod::PaletteCopy);
  EXPECT_EQ(pal[0], (TBGR{255, 255, 255}));
  EXPECT_EQ(q.ColorIndex(0x000000), 255);
  EXPECT_EQ(q.ColorIndex(0xC8C8C8), 55);
}

// --- the quantizers' results

TEST(QuantizerQuality, PhotoLikeImagesMapCloseToTheirColours) {
  TPXBitmap bmp;
  MakeBGR(bmp, 120, 90, PhotoLike(120, 90, 11));
  struct TCase {
    int32_t n;
    double maxError;
  };
  // The noise alone is +-8 per channel; more colours must not do worse.
  double previous = 1e9;
  for (const TCase& t : {TCase{8, 27.0}, TCase{32, 14.0}, TCase{127, 9.0}, TCase{256, 7.0}}) {
    SCOPED_TRACE(t.n);
    std::vector<TBGR> pal(256);
    TPXQuantizer q;
    q.Init(bmp, pal, t.n);
    const double err = MeanError(bmp, q, pal);
    EXPECT_LT(err, t.maxError);
    EXPECT_LT(err, previous * 1.1);
    previous = err;
  }
}

TEST(QuantizerQuality, ChannelsKeepTheirPlaces) {
  // Left half strong red, right half strong blue, with variation so that
  // there are more colours than N.
  TPXBitmap bmp;
  MakeBGR(bmp, 40, 20, [](int32_t x, int32_t y) {
    const auto v = static_cast<uint8_t>((x * 7 + y * 3) % 40);
    const auto u = static_cast<uint8_t>((x * 3 + y * 11) % 37);
    return x < 20 ? TBGR{v, u, static_cast<uint8_t>(215 + v)} : TBGR{static_cast<uint8_t>(215 + v), u, v};
  });
  for (int32_t n : {4, 16, 128, 256}) {
    SCOPED_TRACE(n);
    std::vector<TBGR> pal(256);
    TPXQuantizer q;
    q.Init(bmp, pal, n);
    ASSERT_NE(q.Method(), TPXQuantMethod::ExactPalette);
    const TBGR red = pal[static_cast<size_t>(q.ColorIndex(BGRToInt(TBGR{10, 10, 230})))];
    const TBGR blue = pal[static_cast<size_t>(q.ColorIndex(BGRToInt(TBGR{230, 10, 10})))];
    EXPECT_GT(red.r, 150);
    EXPECT_LT(red.b, 80);
    EXPECT_GT(blue.b, 150);
    EXPECT_LT(blue.r, 80);
  }
}

// --- variance splitting

TEST(StdQuant, OneColourGivesOneBox) {
  TPXBitmap bmp;
  MakeBGR(bmp, 9, 7, [](int32_t, int32_t) { return TBGR{50, 100, 200}; });
  TPXRowReader reader(bmp);
  std::vector<TBGR> pal(16, kUntouched);
  TPXStdQuantizer q(reader, pal, 16);
  EXPECT_EQ(q.BoxCount(), 1);
  // The box mean in 5-bit units, back to 8 bits.
  EXPECT_EQ(pal[0], (TBGR{48, 96, 200}));
  EXPECT_EQ(pal[1], kUntouched);
  for (int32_t c : {0, 0xFFFFFF, 0x123456, BGRToInt(TBGR{50, 100, 200})}) EXPECT_EQ(q.ColorIndex(c), 0);
}

TEST(StdQuant, TwoClustersSplitOnTheChannelThatSeparatesThem) {
  // Half the pixels black, half full red: only red can be split.
  TPXBitmap bmp;
  MakeBGR(bmp, 10, 10, [](int32_t x, int32_t) { return x < 5 ? TBGR{0, 0, 0} : TBGR{0, 0, 255}; });
  TPXRowReader reader(bmp);
  std::vector<TBGR> pal(4, kUntouched);
  TPXStdQuantizer q(reader, pal, 4);
  // After one split both boxes hold a single cell: no variance is left.
  ASSERT_EQ(q.BoxCount(), 2);
  EXPECT_EQ(pal[0], (TBGR{0, 0, 0}));
  EXPECT_EQ(pal[1], (TBGR{0, 0, 248}));
  EXPECT_EQ(pal[2], kUntouched);
  EXPECT_EQ(q.ColorIndex(0x000000), 0);
  EXPECT_EQ(q.ColorIndex(0xFF0000), 1);
  EXPECT_EQ(q.ColorIndex(0xF80000), 1);
}

TEST(StdQuant, CutFollowsTheSplitScore) {
  // Red only, in 5-bit levels 1, 4, 5, 6 with 4, 3, 5, 3 pixels: mean 59/15.
  // The scan runs from Round(mean / 2) = 2; the running score
  // below / above x (mean - T)^2 is 5.63 at 2, 8.590 at 4 and 8.604 at 5,
  // so the cut falls after level 5: means 41/12 and 6.
  const int32_t levels[15] = {1, 1, 1, 1, 4, 4, 4, 5, 5, 5, 5, 5, 6, 6, 6};
  TPXBitmap bmp;
  MakeBGR(bmp, 15, 1, [&](int32_t x, int32_t) { return TBGR{0, 0, static_cast<uint8_t>(levels[x] * 8 + 3)}; });
  TPXRowReader reader(bmp);
  std::vector<TBGR> pal(2, kUntouched);
  TPXStdQuantizer q(reader, pal, 2);
  ASSERT_EQ(q.BoxCount(), 2);
  EXPECT_EQ(pal[0], (TBGR{0, 0, 24}));
  EXPECT_EQ(pal[1], (TBGR{0, 0, 48}));
  EXPECT_EQ(q.ColorIndex(40 << 16), 0);
  EXPECT_EQ(q.ColorIndex(48 << 16), 1);
}

TEST(StdQuant, BoxesCoverEverySourceColour) {
  TPXBitmap bmp;
  MakeBGR(bmp, 80, 60, PhotoLike(80, 60, 21));
  for (int32_t n : {1, 2, 5, 64, 127, 256}) {
    SCOPED_TRACE(n);
    TPXRowReader reader(bmp);
    std::vector<TBGR> pal(256, kUntouched);
    TPXStdQuantizer q(reader, pal, n);
    ASSERT_GE(q.BoxCount(), 1);
    ASSERT_LE(q.BoxCount(), n);
    for (size_t i = static_cast<size_t>(q.BoxCount()); i < pal.size(); ++i) ASSERT_EQ(pal[i], kUntouched);
    std::vector<uint8_t> row(80);
    std::set<int32_t> used;
    for (int32_t y = 0; y < 60; ++y) {
      const uint8_t* p = bmp.Scanline(y);
      q.MapRow(p, row.data(), 80);
      for (int32_t x = 0; x < 80; ++x) {
        const int32_t i = q.ColorIndex(PixelInt(p + 3 * x));
        ASSERT_LT(i, q.BoxCount());
        ASSERT_EQ(row[static_cast<size_t>(x)], i);
        used.insert(i);
      }
    }
    // Boxes are disjoint and none is empty: each holds pixels of the source.
    EXPECT_EQ(static_cast<int32_t>(used.size()), q.BoxCount());
  }
}

TEST(StdQuant, PlatformBitmapSourceReadsLikeTheContainer) {
  TPXBitmap bmp;
  MakeBGR(bmp, 33, 17, PhotoLike(33, 17, 4));
  TBitmap platform;
  platform.SetPixelFormat(pf24bit);
  platform.SetSize(33, 17);
  for (int32_t y = 0; y < 17; ++y) std::copy_n(bmp.Scanline(y), 33 * 3, platform.ScanLine(y));
  TPXRowReader fromContainer(bmp), fromPlatform(platform);
  ASSERT_EQ(fromPlatform.PixelCount(), 33 * 17);
  std::vector<TBGR> p1(32), p2(32);
  TPXStdQuantizer q1(fromContainer, p1, 32), q2(fromPlatform, p2, 32);
  ASSERT_EQ(q1.BoxCount(), q2.BoxCount());
  EXPECT_TRUE(std::equal(p1.begin(), p1.end(), p2.begin()));
}

TEST(StdQuant, NonColourSourceReadsAsEmpty) {
  TPXBitmap bmp;
  ASSERT_TRUE(bmp.Allocate(4, 4, pxGray8));
  TPXRowReader reader(bmp);
  EXPECT_EQ(reader.PixelCount(), 0);
  std::vector<TBGR> pal(4, kUntouched);
  TPXStdQuantizer q(reader, pal, 4);
  EXPECT_EQ(q.BoxCount(), 1);
  EXPECT_EQ(q.ColorIndex(0xABCDEF), 0);
}

// --- NeuQuant

TEST(NeuQuant, SampleFactor) {
  EXPECT_EQ(NeuQuantSampleFactor(0), 1);
  EXPECT_EQ(NeuQuantSampleFactor(1999), 1);
  EXPECT_EQ(NeuQuantSampleFactor(2000), 2);
  EXPECT_EQ(NeuQuantSampleFactor(100000), 11);
  // (76000 x 13 - 26000) / 148000 + 2 = 8.5 rounds to even.
  EXPECT_EQ(NeuQuantSampleFactor(76000), 8);
  EXPECT_EQ(NeuQuantSampleFactor(12000000), 30);
  EXPECT_EQ(NeuQuantSampleFactor(std::numeric_limits<int64_t>::max() / 16), 30);
}

TEST(NeuQuant, QualityChoosesTheSampleFactor) {
  TPXBitmap bmp;
  MakeBGR(bmp, 50, 50, PhotoLike(50, 50, 2));
  TPXRowReader reader(bmp);
  struct TCase {
    int32_t quality, factor;
  };
  for (const TCase& t : {TCase{-1, 2}, TCase{100, 1}, TCase{0, 30}, TCase{50, 15}, TCase{250, 1}, TCase{-7, 30}}) {
    std::vector<TBGR> pal(256);
    TPXNeuQuant q(reader, pal, 256, t.quality);
    EXPECT_EQ(q.SampleFactor(), t.factor) << t.quality;
  }
}

// Pixel counts around the sampling step: fewer pixels than the step, a
// multiple of the first prime step (499) and of the first two (499 x 491).
TEST(NeuQuant, SmallAndPrimeMultipleImagesStayInBounds) {
  struct TSize {
    int32_t w, h;
  };
  for (const TSize& s : {TSize{129, 1}, TSize{20, 15}, TSize{1, 300}, TSize{498, 1}, TSize{499, 2}, TSize{499, 491}}) {
    SCOPED_TRACE(s.w * 1000 + s.h);
    TPXBitmap bmp;
    if (s.w * s.h < 1000) MakeBGR(bmp, s.w, s.h, [&](int32_t x, int32_t y) { return Scattered(x + y * s.w); });
    else MakeBGR(bmp, s.w, s.h, PhotoLike(s.w, s.h, 13));
    for (int32_t n : {128, 256}) {
      std::vector<TBGR> pal(static_cast<size_t>(n), kUntouched);
      TPXQuantizer q;
      q.Init(bmp, pal, n);
      if (q.Method() == TPXQuantMethod::ExactPalette) continue;  // the 129-pixel case at 256
      ASSERT_EQ(q.Method(), TPXQuantMethod::NeuralNet);
      ExpectAllIndicesInRange(bmp, q);
    }
  }
}

TEST(NeuQuant, LookupFindsTheNearestEntry) {
  TPXBitmap bmp;
  MakeBGR(bmp, 30, 10, PhotoLike(30, 10, 17));  // 300 pixels
  TPXRowReader reader(bmp);
  std::vector<TBGR> pal(256);
  TPXNeuQuant q(reader, pal, 256);
  ASSERT_EQ(q.NetSize(), 256);
  TLcg rng(99);
  for (int k = 0; k < 3000; ++k) {
    const int32_t c = static_cast<int32_t>(rng.Next() & 0xFFFFFF);
    const TBGR t = IntToBGR(c);
    auto dist = [&](const TBGR& e) { return std::abs(e.b - t.b) + std::abs(e.g - t.g) + std::abs(e.r - t.r); };
    int32_t best = std::numeric_limits<int32_t>::max();
    for (const TBGR& e : pal) best = std::min(best, dist(e));
    const int32_t i = q.ColorIndex(c);
    ASSERT_GE(i, 0);
    ASSERT_LT(i, 256);
    EXPECT_EQ(dist(pal[static_cast<size_t>(i)]), best) << std::hex << c;
  }
}

TEST(NeuQuant, NetworkLearnsClusteredColours) {
  // Four tight clusters; each must end near some network entry.
  const TBGR centres[4] = {{20, 30, 200}, {200, 30, 20}, {30, 200, 30}, {128, 128, 128}};
  TPXBitmap bmp;
  MakeBGR(bmp, 100, 40, [&](int32_t x, int32_t y) {
    const TBGR c = centres[(x / 25) % 4];
    const int32_t d = (x % 5) - 2 + ((y % 5) - 2) * 3;
    return TBGR{static_cast<uint8_t>(c.b + d), static_cast<uint8_t>(c.g - d), static_cast<uint8_t>(c.r + d)};
  });
  std::vector<TBGR> pal(128);
  TPXQuantizer q;
  q.Init(bmp, pal, 128);
  ASSERT_EQ(q.Method(), TPXQuantMethod::ExactPalette);  // 4 x 17 colours fit
  std::vector<TBGR> pal2(64);
  q.Init(bmp, pal2, 64);
  ASSERT_EQ(q.Method(), TPXQuantMethod::VarianceSplit);
  EXPECT_LT(MeanError(bmp, q, pal2), 5.0);

  TPXRowReader reader(bmp);
  std::vector<TBGR> pal3(128);
  TPXNeuQuant nq(reader, pal3, 128);
  double sum = 0;
  for (int32_t y = 0; y < 40; ++y) {
    const uint8_t* p = bmp.Scanline(y);
    for (int32_t x = 0; x < 100; ++x, p += 3) {
      const TBGR e = pal3[static_cast<size_t>(nq.ColorIndex(PixelInt(p)))];
      sum += std::abs(e.b - p[0]) + std::abs(e.g - p[1]) + std::abs(e.r - p[2]);
    }
  }
  EXPECT_LT(sum / (3.0 * 4000), 2.0);
}

}  // namespace
}  // namespace pixoran
