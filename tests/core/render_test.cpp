#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/pxblend.h"
#include "core/pxdib.h"
#include "core/pxrender.h"
#include "core/pxresample.h"

namespace pixoran {
namespace {

// Where a test bitmap keeps its rows. Temporary-file rows are separate heap
// blocks of exactly one row, so the sanitizer sees any read past a row.
enum class Where { Memory, File };

std::unique_ptr<TPXBitmap> NewBitmap(int32_t w, int32_t h, TPXPixelFormat f, Where where = Where::Memory) {
  auto b = std::make_unique<TPXBitmap>();
  b->MemoryThreshold = where == Where::File ? 0 : (int64_t{1} << 40);
  EXPECT_TRUE(b->Allocate(w, h, f));
  EXPECT_EQ(b->Location(), where == Where::File ? pxTempFile : pxInMemory);
  return b;
}

// Fills every row with seeded noise (floats in 0..1 for px32f).
void Noise(TPXBitmap& b, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int32_t y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.Scanline(y);
    if (b.PixelFormat() == px32f) {
      for (int32_t x = 0; x < b.Width(); ++x) {
        const float v = static_cast<float>(rng() % 1001) / 1000.0f;
        std::memcpy(row + 4 * x, &v, 4);
      }
    } else {
      for (int32_t i = 0; i < b.RowLen(); ++i) row[i] = static_cast<uint8_t>(rng());
    }
  }
  if (b.PixelFormat() == pxPal8) {
    for (int i = 0; i < 256; ++i)
      b.SetPaletteEntry(i,
                        TBGR{static_cast<uint8_t>(i * 7), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 3)});
  }
}

void Paint(TPXBitmap& b, TBGR c) {
  for (int32_t y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < b.Width(); ++x) std::memcpy(row + 3 * x, &c, 3);
  }
}

std::vector<TBGR> Pixels(TPXBitmap& b) {
  std::vector<TBGR> v;
  for (int32_t y = 0; y < b.Height(); ++y)
    for (int32_t x = 0; x < b.Width(); ++x) v.push_back(b.GetPixel24(x, y));
  return v;
}

void SetGray16(TPXBitmap& b, int32_t x, int32_t y, uint16_t v) {
  uint8_t* row = b.Scanline(y);
  row[2 * x] = static_cast<uint8_t>(v);
  row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
}
void SetFloat(TPXBitmap& b, int32_t x, int32_t y, float v) { std::memcpy(b.Scanline(y) + 4 * x, &v, 4); }

// The zoom mapping of a destination position onto the source.
int32_t MapTo(int32_t k, int32_t d, int32_t s, int32_t dn, int32_t s0) {
  return static_cast<int32_t>(static_cast<int64_t>(k - d) * s / dn + s0);
}

uint8_t Toward(uint8_t d, uint8_t c, int a) { return static_cast<uint8_t>(d + ((a * (c - d)) >> 8)); }
TBGR Toward(TBGR d, TBGR c, int a) { return TBGR{Toward(d.b, c.b, a), Toward(d.g, c.g, a), Toward(d.r, c.r, a)}; }

// ------------------------------------------------------------------ copies

// A 1:1 opaque copy moves bytes unchanged, wherever source and destination
// keep their rows, and touches nothing outside the destination rectangle.
TEST(RenderCopy, OneToOneIsExactInEveryLocation) {
  for (Where sw : {Where::Memory, Where::File})
    for (Where dw : {Where::Memory, Where::File}) {
      auto src = NewBitmap(100, 100, pxBGR24, sw);
      Noise(*src, 1);
      auto dst = NewBitmap(123, 117, pxBGR24, dw);
      Paint(*dst, TBGR{1, 2, 3});
      RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 100, 100, 7, 5, 100, 100});
      for (int32_t y = 0; y < 117; ++y)
        for (int32_t x = 0; x < 123; ++x) {
          const bool inside = x >= 7 && x < 107 && y >= 5 && y < 105;
          const TBGR want = inside ? src->GetPixel24(x - 7, y - 5) : TBGR{1, 2, 3};
          ASSERT_EQ(dst->GetPixel24(x, y), want) << x << "," << y;
        }
      EXPECT_EQ(src->AccessMode, pxaRead | pxaWrite);
    }
}

TEST(RenderCopy, PlatformBitmapTarget) {
  auto src = NewBitmap(40, 30, pxBGR24);
  Noise(*src, 2);
  TBitmap tb;
  tb.SetPixelFormat(pf24bit);
  tb.SetSize(50, 40);
  RenderToTBitmap(*src, tb, TPXRenderRect{0, 0, 40, 30, 10, 10, 40, 30});
  for (int32_t y = 0; y < 30; ++y) ASSERT_EQ(std::memcmp(tb.ScanLine(y + 10) + 30, src->Scanline(y), 120), 0) << y;

  // Only 24-bit platform bitmaps are targets; an 8-bit one stays as it was.
  TBitmap gray;
  gray.SetPixelFormat(pf8bit);
  gray.SetSize(50, 40);
  RenderToTBitmap(*src, gray, TPXRenderRect{0, 0, 40, 30, 0, 0, 40, 30});
  EXPECT_EQ(gray.PixelFormat(), pf8bit);
  for (int32_t y = 0; y < 40; ++y)
    for (int32_t x = 0; x < 50; ++x) ASSERT_EQ(gray.ScanLine(y)[x], 0);
}

// Every source format, at 1:1, enlarged and reduced, draws the colour the
// container itself reports for the source pixel each destination pixel
// maps to.
TEST(RenderCopy, EveryFormatDrawsItsOwnColours) {
  const TPXPixelFormat formats[] = {pxBW1, pxPal8, pxGray8, pxGray16, pxBGR24, px32f, pxCMYK};
  struct Zoom {
    int32_t sw, sh, dw, dh;
  };
  const Zoom zooms[] = {{37, 23, 37, 23}, {37, 23, 111, 69}, {37, 23, 13, 9}, {37, 23, 50, 20}};
  for (Where where : {Where::Memory, Where::File})
    for (TPXPixelFormat f : formats)
      for (const Zoom& z : zooms) {
        auto src = NewBitmap(37, 23, f, where);
        Noise(*src, 3 + f);
        for (uint8_t opacity : {uint8_t{255}, uint8_t{254}}) {
          auto dst = NewBitmap(120, 80, pxBGR24);
          Paint(*dst, TBGR{9, 9, 9});
          TPXRenderOptions o;
          o.Opacity = opacity;
          RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, z.sw, z.sh, 2, 3, z.dw, z.dh}, o);
          for (int32_t y = 0; y < z.dh; ++y)
            for (int32_t x = 0; x < z.dw; ++x) {
              const TBGR c = src->GetPixelAsRGB(MapTo(x + 2, 2, z.sw, z.dw, 0), MapTo(y + 3, 3, z.sh, z.dh, 0));
              const TBGR want = opacity == 255 ? c : Toward(TBGR{9, 9, 9}, c, opacity);
              ASSERT_EQ(dst->GetPixel24(x + 2, y + 3), want)
                  << "format " << int(f) << " zoom " << z.dw << "x" << z.dh << " at " << x << "," << y;
            }
        }
      }
}

// ------------------------------------------------------------------ clipping

TEST(RenderClip, NegativeDestinationSkipsSourceInProportion) {
  auto src = NewBitmap(50, 40, pxBGR24);
  Noise(*src, 4);
  auto dst = NewBitmap(60, 60, pxBGR24);
  // 2:1 zoom placed at x = -10, y = -6: 5 source columns and 3 rows are skipped.
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 50, 40, -10, -6, 100, 80});
  for (int32_t y = 0; y < 60; ++y)
    for (int32_t x = 0; x < 60; ++x) ASSERT_EQ(dst->GetPixel24(x, y), src->GetPixel24(5 + x / 2, 3 + y / 2));
}

TEST(RenderClip, RectanglePastTheDestinationEdgeIsCut) {
  auto src = NewBitmap(100, 100, pxGray8);
  Noise(*src, 5);
  auto dst = NewBitmap(200, 200, pxBGR24);
  Paint(*dst, TBGR{7, 7, 7});
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 100, 100, 150, 160, 200, 200});
  for (int32_t y = 0; y < 200; ++y)
    for (int32_t x = 0; x < 200; ++x) {
      const bool inside = x >= 150 && y >= 160;
      const TBGR want = inside ? src->GetPixelAsRGB((x - 150) / 2, (y - 160) / 2) : TBGR{7, 7, 7};
      ASSERT_EQ(dst->GetPixel24(x, y), want) << x << "," << y;
    }
}

// Source rectangles reaching past the source, huge or negative numbers,
// clip rectangles outside the target: every row read stays inside its row
// (the sanitizer watches the one-row file blocks) and nothing outside the
// destination rectangle changes.
TEST(RenderClip, WildGeometryReadsOnlyInsideTheRows) {
  std::mt19937 rng(6);
  const int32_t big = std::numeric_limits<int32_t>::max();
  const int32_t edge[] = {0, 1, -1, 2, 7, -7, 33, -33, 64, 1000, -1000, big, -big - 1, big / 2};
  auto pick = [&](int32_t lo, int32_t hi) {
    return lo + static_cast<int32_t>(rng() % static_cast<uint32_t>(hi - lo + 1));
  };
  auto any = [&] { return rng() % 3 == 0 ? edge[rng() % std::size(edge)] : pick(-40, 80); };
  const TPXPixelFormat formats[] = {pxBW1, pxGray16, pxBGR24, pxCMYK};
  for (int iter = 0; iter < 600; ++iter) {
    const TPXPixelFormat f = formats[iter % 4];
    auto src = NewBitmap(pick(1, 21), pick(1, 17), f, Where::File);
    Noise(*src, static_cast<uint32_t>(iter));
    if (iter % 5 == 0) {
      for (int32_t y = 0; y < src->Height(); ++y)
        for (int32_t x = 0; x < src->Width(); ++x) src->SetAlpha(x, y, static_cast<uint8_t>(rng()));
    }
    auto dst = NewBitmap(pick(1, 25), pick(1, 19), pxBGR24, Where::File);
    Paint(*dst, TBGR{5, 6, 7});
    TPXRenderRect r{any(), any(), any(), any(), any(), any(), any(), any()};
    TPXRenderOptions o;
    o.Opacity = iter % 2 ? 255 : 100;
    o.UseAlpha = true;
    o.RowCopy = iter % 3 == 0;
    o.BlendMode = static_cast<uint8_t>(iter % 7 == 0 ? 3 : 0);
    TRect clip{any(), any(), any(), any()};
    if (iter % 4 == 1) o.Clip = &clip;
    RenderToBitmap(*src, *dst, r, o);
    // Untouched outside the requested rectangle (in 64 bits: it may not fit).
    for (int32_t y = 0; y < dst->Height(); ++y)
      for (int32_t x = 0; x < dst->Width(); ++x) {
        const bool inside = r.DstWidth > 0 && r.DstHeight > 0 && x >= r.DstX && y >= r.DstY &&
                            x < int64_t{r.DstX} + r.DstWidth && y < int64_t{r.DstY} + r.DstHeight;
        if (!inside) {
          ASSERT_EQ(dst->GetPixel24(x, y), (TBGR{5, 6, 7})) << "iteration " << iter;
        }
      }
  }
}

TEST(RenderClip, ClipRectangleLimitsTheDrawnArea) {
  auto src = NewBitmap(30, 30, pxBGR24);
  Noise(*src, 7);
  auto dst = NewBitmap(40, 40, pxBGR24);
  Paint(*dst, TBGR{0, 0, 0});
  const TRect clip{10, 12, 20, 15};
  TPXRenderOptions o;
  o.Clip = &clip;
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 30, 30, 5, 5, 30, 30}, o);
  for (int32_t y = 0; y < 40; ++y)
    for (int32_t x = 0; x < 40; ++x) {
      const bool inside = x >= 10 && x < 20 && y >= 12 && y < 15;
      ASSERT_EQ(dst->GetPixel24(x, y), inside ? src->GetPixel24(x - 5, y - 5) : TBGR{}) << x << "," << y;
    }
}

TEST(RenderClip, NothingForEmptySizesOrOddTargets) {
  auto src = NewBitmap(10, 10, pxBGR24);
  Noise(*src, 8);
  auto dst = NewBitmap(10, 10, pxBGR24);
  Paint(*dst, TBGR{4, 4, 4});
  const auto before = Pixels(*dst);
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 0, 10, 0, 0, 10, 10});
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 10, 10, 0, 0, 10, 0});
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 10, 10, 10, 0, 10, 10});
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 10, 10, 0, 10, 10, 10});
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 10, 10, -10, 0, 10, 10});
  RenderToBitmap(*dst, *dst, TPXRenderRect{0, 0, 10, 10, 1, 1, 10, 10});
  EXPECT_EQ(Pixels(*dst), before);
  auto gray = NewBitmap(10, 10, pxGray8);
  RenderToBitmap(*src, *gray, TPXRenderRect{0, 0, 10, 10, 0, 0, 10, 10});
  EXPECT_EQ(gray->Scanline(0)[0], 0);
}

// ------------------------------------------------------------------ opacity and alpha

TEST(RenderOpacity, MovesEachChannelTowardTheSource) {
  auto src = NewBitmap(256, 1, pxBGR24);
  auto dst = NewBitmap(256, 1, pxBGR24);
  for (int op : {0, 1, 64, 128, 254}) {
    for (int dv : {0, 77, 255}) {
      for (int32_t x = 0; x < 256; ++x) {
        const TBGR c{static_cast<uint8_t>(x), static_cast<uint8_t>(255 - x), 9};
        std::memcpy(src->Scanline(0) + 3 * x, &c, 3);
      }
      Paint(*dst, TBGR{static_cast<uint8_t>(dv), static_cast<uint8_t>(dv), static_cast<uint8_t>(dv)});
      TPXRenderOptions o;
      o.Opacity = static_cast<uint8_t>(op);
      RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 256, 1, 0, 0, 256, 1}, o);
      for (int32_t x = 0; x < 256; ++x) {
        const TBGR d{static_cast<uint8_t>(dv), static_cast<uint8_t>(dv), static_cast<uint8_t>(dv)};
        const TBGR want = op == 0 ? d : Toward(d, src->GetPixel24(x, 0), op);
        ASSERT_EQ(dst->GetPixel24(x, 0), want) << "opacity " << op << " x " << x;
      }
    }
  }
  // Half opacity from black to white lands half way.
  EXPECT_EQ(Toward(0, 255, 128), 127);
}

TEST(RenderAlpha, SmallerOfOpacityAndAlphaDecides) {
  for (Where where : {Where::Memory, Where::File}) {
    auto src = NewBitmap(64, 8, pxGray8, where);
    Noise(*src, 9);
    for (int32_t y = 0; y < 8; ++y)
      for (int32_t x = 0; x < 64; ++x) src->SetAlpha(x, y, static_cast<uint8_t>(x * 4 + y));
    auto dst = NewBitmap(128, 16, pxBGR24, where);
    Paint(*dst, TBGR{200, 100, 50});
    TPXRenderOptions o;
    o.UseAlpha = true;
    o.Opacity = 150;
    RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 64, 8, 0, 0, 128, 16}, o);
    for (int32_t y = 0; y < 16; ++y)
      for (int32_t x = 0; x < 128; ++x) {
        const int a = std::min(150, int{src->GetAlpha(x / 2, y / 2)});
        ASSERT_EQ(dst->GetPixel24(x, y), Toward(TBGR{200, 100, 50}, src->GetPixelAsRGB(x / 2, y / 2), a))
            << x << "," << y;
      }
  }
}

TEST(RenderAlpha, OpaqueOrUnwantedAlphaIsIgnored) {
  auto src = NewBitmap(20, 20, pxBGR24);
  Noise(*src, 10);
  for (int32_t y = 0; y < 20; ++y)
    for (int32_t x = 0; x < 20; ++x) src->SetAlpha(x, y, 3);
  auto dst = NewBitmap(20, 20, pxBGR24);
  TPXRenderOptions o;
  o.UseAlpha = false;
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 20, 20, 0, 0, 20, 20}, o);
  EXPECT_EQ(Pixels(*dst), Pixels(*src));
  // A channel flagged fully opaque is not read at all.
  Paint(*dst, TBGR{});
  src->GetAlphaChannel()->Full = true;
  o.UseAlpha = true;
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 20, 20, 0, 0, 20, 20}, o);
  EXPECT_EQ(Pixels(*dst), Pixels(*src));
}

// With the fill switch the drawn pixels are composed over the background,
// whatever the destination held before.
TEST(RenderAlpha, FillComposesOverTheBackground) {
  auto src = NewBitmap(16, 4, pxPal8);
  Noise(*src, 11);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 16; ++x) src->SetAlpha(x, y, static_cast<uint8_t>(x * 17));
  auto dst = NewBitmap(32, 8, pxBGR24);
  Noise(*dst, 12);
  TPXRenderOptions o;
  o.UseAlpha = true;
  o.FillTransparent = true;
  o.Background = RGBColor(10, 20, 30);
  o.RowCopy = true;
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 16, 4, 0, 0, 32, 8}, o);
  const TBGR bg{30, 20, 10};
  for (int32_t y = 0; y < 8; ++y)
    for (int32_t x = 0; x < 32; ++x)
      ASSERT_EQ(dst->GetPixel24(x, y), Toward(bg, src->GetPixelAsRGB(x / 2, y / 2), x / 2 * 17)) << x << "," << y;
}

// ------------------------------------------------------------------ grey range, contrast, blend

TEST(RenderGrayRange, MapsTheRangeOntoBlackToWhite) {
  auto g16 = NewBitmap(5, 1, pxGray16);
  const uint16_t v16[] = {500, 1000, 1500, 2000, 0xABCD};
  for (int32_t x = 0; x < 5; ++x) SetGray16(*g16, x, 0, v16[x]);
  auto dst = NewBitmap(5, 1, pxBGR24);
  auto grays = [&] {
    std::vector<int> g;
    for (int32_t x = 0; x < 5; ++x) g.push_back(dst->GetPixel24(x, 0).g);
    return g;
  };
  // No range: the high byte.
  RenderToBitmap(*g16, *dst, TPXRenderRect{0, 0, 5, 1, 0, 0, 5, 1});
  EXPECT_EQ(grays(), (std::vector<int>{1, 3, 5, 7, 0xAB}));
  g16->GrayMin = 1000;
  g16->GrayMax = 2000;
  RenderToBitmap(*g16, *dst, TPXRenderRect{0, 0, 5, 1, 0, 0, 5, 1});
  EXPECT_EQ(grays(), (std::vector<int>{0, 0, 127, 255, 255}));
  // Reversed, the ramp runs the other way; a bound that is not a number is no range.
  g16->GrayMin = 2000;
  g16->GrayMax = 1000;
  RenderToBitmap(*g16, *dst, TPXRenderRect{0, 0, 5, 1, 0, 0, 5, 1});
  EXPECT_EQ(grays(), (std::vector<int>{255, 255, 127, 0, 0}));
  g16->GrayMin = std::numeric_limits<double>::quiet_NaN();
  RenderToBitmap(*g16, *dst, TPXRenderRect{0, 0, 5, 1, 0, 0, 5, 1});
  EXPECT_EQ(grays(), (std::vector<int>{1, 3, 5, 7, 0xAB}));

  auto g8 = NewBitmap(5, 1, pxGray8);
  const uint8_t v8[] = {10, 50, 100, 150, 250};
  std::memcpy(g8->Scanline(0), v8, 5);
  g8->GrayMin = 50;
  g8->GrayMax = 150;
  RenderToBitmap(*g8, *dst, TPXRenderRect{0, 0, 5, 1, 0, 0, 5, 1});
  EXPECT_EQ(grays(), (std::vector<int>{0, 0, 127, 255, 255}));

  auto f = NewBitmap(5, 1, px32f);
  const float vf[] = {-1.0f, 0.25f, 0.5f, 0.75f, std::numeric_limits<float>::quiet_NaN()};
  for (int32_t x = 0; x < 5; ++x) SetFloat(*f, x, 0, vf[x]);
  RenderToBitmap(*f, *dst, TPXRenderRect{0, 0, 5, 1, 0, 0, 5, 1});
  EXPECT_EQ(grays(), (std::vector<int>{0, 63, 127, 191, 0}));
  f->GrayMin = 0.25;
  f->GrayMax = 0.75;
  RenderToBitmap(*f, *dst, TPXRenderRect{0, 0, 5, 1, 0, 0, 5, 1});
  EXPECT_EQ(grays(), (std::vector<int>{0, 0, 127, 255, 0}));
  // Every pixel is grey.
  for (int32_t x = 0; x < 5; ++x) {
    const TBGR p = dst->GetPixel24(x, 0);
    EXPECT_TRUE(p.b == p.g && p.g == p.r);
  }
}

TEST(RenderContrast, ScalesTheDistanceFrom128) {
  auto src = NewBitmap(256, 1, pxBGR24);
  for (int32_t x = 0; x < 256; ++x) {
    const uint8_t v = static_cast<uint8_t>(x);
    const TBGR c{v, v, v};
    std::memcpy(src->Scanline(0) + 3 * x, &c, 3);
  }
  auto dst = NewBitmap(256, 1, pxBGR24);
  auto render = [&] { RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 256, 1, 0, 0, 256, 1}); };

  src->Contrast = 10;  // k = 2.0
  render();
  for (int32_t v = 0; v < 256; ++v) ASSERT_EQ(dst->GetPixel24(v, 0).r, std::clamp(2 * (v - 128) + 128, 0, 255)) << v;

  // Translucent drawing mixes in the adjusted colour.
  TPXRenderOptions half;
  half.Opacity = 128;
  Paint(*dst, TBGR{50, 50, 50});
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 256, 1, 0, 0, 256, 1}, half);
  for (int32_t v = 0; v < 256; ++v)
    ASSERT_EQ(dst->GetPixel24(v, 0).r, Toward(50, static_cast<uint8_t>(std::clamp(2 * (v - 128) + 128, 0, 255)), 128));

  src->Contrast = -25;  // k = 1 - 5 / 10 = 0.5; div truncates toward zero
  render();
  for (int32_t v = 0; v < 256; ++v) ASSERT_EQ(dst->GetPixel24(v, 0).r, (v - 128) / 2 + 128) << v;

  src->Contrast = 0;
  src->ColorAdjust = true;
  src->RedOffset = 20;
  src->GreenOffset = -300;
  src->BlueOffset = 0;
  render();
  for (int32_t v = 0; v < 256; ++v) {
    const TBGR p = dst->GetPixel24(v, 0);
    ASSERT_EQ(p.r, std::min(v + 20, 255));
    ASSERT_EQ(p.g, 0);
    ASSERT_EQ(p.b, v);
  }

  // Extreme settings neither overflow nor leave the byte range.
  src->Contrast = std::numeric_limits<int32_t>::max();
  src->RedOffset = std::numeric_limits<int32_t>::max();
  src->GreenOffset = std::numeric_limits<int32_t>::min();
  render();
  for (int32_t v = 0; v < 256; ++v) {
    const TBGR p = dst->GetPixel24(v, 0);
    ASSERT_EQ(p.r, 255);
    ASSERT_EQ(p.g, 0);
    ASSERT_EQ(p.b, v < 128 ? 0 : v == 128 ? 128 : 255);
  }
  src->Contrast = std::numeric_limits<int32_t>::min();  // k far below zero: inverted and saturated
  src->RedOffset = src->GreenOffset = 0;
  render();
  EXPECT_EQ(dst->GetPixel24(0, 0).r, 255);
  EXPECT_EQ(dst->GetPixel24(128, 0).r, 128);
  EXPECT_EQ(dst->GetPixel24(255, 0).r, 0);
}

// Blend modes act through the renderer: opaque, the blended pixel replaces
// the destination; translucent, the destination moves toward it.
TEST(RenderBlend, ModesApplyPerPixel) {
  auto src = NewBitmap(24, 6, pxBGR24);
  Noise(*src, 13);
  auto base = NewBitmap(48, 12, pxBGR24);
  Noise(*base, 14);
  for (uint8_t mode : {uint8_t{1}, uint8_t{4}, uint8_t{11}, uint8_t{29}, uint8_t{32}, uint8_t{35}, uint8_t{37}}) {
    for (uint8_t opacity : {uint8_t{255}, uint8_t{90}}) {
      auto dst = NewBitmap(48, 12, pxBGR24);
      for (int32_t y = 0; y < 12; ++y) std::memcpy(dst->Scanline(y), base->Scanline(y), 144);
      TPXRenderOptions o;
      o.BlendMode = mode;
      o.Opacity = opacity;
      o.RowCopy = true;  // must not copy rows that depend on the destination
      RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 24, 6, 0, 0, 48, 12}, o);
      for (int32_t y = 0; y < 12; ++y)
        for (int32_t x = 0; x < 48; ++x) {
          const TBGR d = base->GetPixel24(x, y);
          TBGR b = d;
          BlendPixel(src->GetPixel24(x / 2, y / 2), b, mode);
          const TBGR want = opacity == 255 ? b : Toward(d, b, opacity);
          ASSERT_EQ(dst->GetPixel24(x, y), want) << "mode " << int(mode) << " at " << x << "," << y;
        }
    }
  }
}

// ------------------------------------------------------------------ tables and row copy

TEST(RenderTables, KeptTablesAreHandedBackAndReused) {
  auto src = NewBitmap(30, 20, pxGray8);
  Noise(*src, 15);
  auto a = NewBitmap(70, 50, pxBGR24);
  auto b = NewBitmap(70, 50, pxBGR24);
  const TPXRenderRect r{3, 2, 20, 15, 5, 4, 60, 45};
  RenderToBitmap(*src, *a, r);

  TPXRenderTables t;
  TPXRenderOptions keep;
  keep.FreeTables = false;
  RenderToBitmap(*src, *b, r, keep, &t);
  ASSERT_EQ(t.YSteps.size(), 50u);
  ASSERT_EQ(t.XSteps.size(), 70u);
  ASSERT_EQ(t.Rows.size(), 50u);
  EXPECT_EQ(t.XSteps[5], 3);
  EXPECT_EQ(t.XSteps[64], 3 + 59 * 20 / 60);
  EXPECT_EQ(Pixels(*a), Pixels(*b));

  // Reused, the same picture again.
  Paint(*b, TBGR{});
  const auto rowsBefore = t.Rows;
  RenderToBitmap(*src, *b, r, keep, &t);
  EXPECT_EQ(Pixels(*a), Pixels(*b));
  EXPECT_EQ(t.Rows, rowsBefore);

  // Without the keep flag nothing is handed back.
  TPXRenderTables none;
  RenderToBitmap(*src, *b, r, {}, &none);
  EXPECT_TRUE(none.XSteps.empty() && none.YSteps.empty() && none.Rows.empty());
}

// A caller's table that is too short or points outside the source is not
// trusted: the call draws from its own tables (the sanitizer would see any
// read through the bad entries).
TEST(RenderTables, BadCallerTablesAreRebuilt) {
  auto src = NewBitmap(30, 20, pxBGR24, Where::File);
  Noise(*src, 16);
  auto want = NewBitmap(70, 50, pxBGR24);
  const TPXRenderRect r{0, 0, 30, 20, 0, 0, 60, 40};
  RenderToBitmap(*src, *want, r);
  const auto expected = Pixels(*want);

  TPXRenderTables bad;
  bad.XSteps.assign(70, 0);
  bad.XSteps[10] = 1000;     // inside the drawn range
  bad.YSteps.assign(10, 0);  // too short
  bad.Rows.assign(50, nullptr);
  auto got = NewBitmap(70, 50, pxBGR24);
  RenderToBitmap(*src, *got, r, {}, &bad);
  EXPECT_EQ(Pixels(*got), expected);
  bad.XSteps.assign(70, -1);
  bad.YSteps.clear();
  RenderToBitmap(*src, *got, r, {}, &bad);
  EXPECT_EQ(Pixels(*got), expected);
}

// Trailing entries that reach the source's size end the drawn range there.
TEST(RenderTables, TrailingOutOfRangeEntriesAreDropped) {
  auto src = NewBitmap(10, 10, pxGray8);
  Noise(*src, 17);
  auto dst = NewBitmap(10, 10, pxBGR24);
  Paint(*dst, TBGR{1, 1, 1});
  TPXRenderTables t;
  for (int32_t i = 0; i < 10; ++i) {
    t.XSteps.push_back(i < 7 ? i : 10 + i);
    t.YSteps.push_back(i < 8 ? 9 - i : 10);
  }
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 10, 10, 0, 0, 10, 10}, {}, &t);
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 10; ++x) {
      const TBGR want = x < 7 && y < 8 ? src->GetPixelAsRGB(x, 9 - y) : TBGR{1, 1, 1};
      ASSERT_EQ(dst->GetPixel24(x, y), want) << x << "," << y;
    }
}

// Row copying gives the computed picture, copies only the drawn columns, and
// works when destination rows cannot be held at once (temporary file).
TEST(RenderTables, RowCopyMatchesComputedRows) {
  for (Where where : {Where::Memory, Where::File})
    for (TPXPixelFormat f : {pxBGR24, pxCMYK, pxBW1}) {
      auto src = NewBitmap(9, 7, f);
      Noise(*src, 18);
      auto a = NewBitmap(60, 40, pxBGR24, where);
      auto b = NewBitmap(60, 40, pxBGR24, where);
      Noise(*a, 19);
      Noise(*b, 19);
      const TPXRenderRect r{0, 0, 9, 7, 4, 3, 36, 35};
      RenderToBitmap(*src, *a, r);
      TPXRenderOptions o;
      o.RowCopy = true;
      RenderToBitmap(*src, *b, r, o);
      EXPECT_EQ(Pixels(*a), Pixels(*b)) << "format " << int(f);
    }
}

// ------------------------------------------------------------------ filtered paths

// What the resampler makes of a rectangle of a bitmap.
std::unique_ptr<TPXBitmap> Resampled(TPXBitmap& src, int32_t x, int32_t y, int32_t w, int32_t h, int32_t dw, int32_t dh,
                                     TResampleFilter f) {
  auto part = NewBitmap(w, h, src.PixelFormat());
  src.CopyRectTo(*part, x, y, 0, 0, w, h);
  auto out = NewBitmap(dw, dh, pxBGR24);
  if (src.PixelFormat() == pxBW1) ResampleBW1Filtered(*part, *out, f);
  else Resample24Filtered(*part, *out, f);
  return out;
}

TEST(RenderFiltered, ResizedOneAnd24BitSourcesGoThroughTheResampler) {
  for (TPXPixelFormat f : {pxBGR24, pxBW1}) {
    auto src = NewBitmap(31, 17, f, Where::File);
    Noise(*src, 20);
    auto dst = NewBitmap(90, 60, pxBGR24);
    Paint(*dst, TBGR{3, 3, 3});
    TPXRenderOptions o;
    o.Filter = rfTriangle;
    // Enlarged: the source rectangle resampled, then laid down 1:1.
    RenderToBitmap(*src, *dst, TPXRenderRect{2, 1, 20, 12, 5, 6, 61, 37}, o);
    auto want = Resampled(*src, 2, 1, 20, 12, 61, 37, rfTriangle);
    for (int32_t y = 0; y < 60; ++y)
      for (int32_t x = 0; x < 90; ++x) {
        const bool inside = x >= 5 && x < 66 && y >= 6 && y < 43;
        ASSERT_EQ(dst->GetPixel24(x, y), (inside ? want->GetPixel24(x - 5, y - 6) : TBGR{3, 3, 3}))
            << "format " << int(f) << " at " << x << "," << y;
      }
  }
  // A 1-bit source being reduced is shrunk to grey levels.
  auto bw = NewBitmap(64, 40, pxBW1);
  Noise(*bw, 21);
  auto dst = NewBitmap(16, 10, pxBGR24);
  TPXRenderOptions o;
  o.Filter = rfLanczos3;
  RenderToBitmap(*bw, *dst, TPXRenderRect{0, 0, 64, 40, 0, 0, 16, 10}, o);
  auto want = NewBitmap(16, 10, pxBGR24);
  ShrinkBW1ToGray24(*bw, 0, 0, 63, 39, *want);
  EXPECT_EQ(Pixels(*dst), Pixels(*want));
}

TEST(RenderFiltered, FilterIsSkippedWhereItCannotApply) {
  // Same size, and formats the filtered path does not take: drawn directly.
  for (TPXPixelFormat f : {pxBGR24, pxGray16, pxPal8}) {
    auto src = NewBitmap(20, 20, f);
    Noise(*src, 22);
    auto a = NewBitmap(50, 50, pxBGR24);
    auto b = NewBitmap(50, 50, pxBGR24);
    const TPXRenderRect r{0, 0, 20, 20, 0, 0, f == pxBGR24 ? 20 : 45, f == pxBGR24 ? 20 : 41};
    RenderToBitmap(*src, *a, r);
    TPXRenderOptions o;
    o.Filter = rfBicubic;
    RenderToBitmap(*src, *b, r, o);
    EXPECT_EQ(Pixels(*a), Pixels(*b)) << "format " << int(f);
  }
}

TEST(RenderFiltered, AlphaIsResampledAlongside) {
  auto src = NewBitmap(10, 10, pxBGR24);
  Noise(*src, 23);
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 10; ++x) src->SetAlpha(x, y, static_cast<uint8_t>(x * 25));
  auto dst = NewBitmap(30, 30, pxBGR24);
  Paint(*dst, TBGR{0, 0, 0});
  TPXRenderOptions o;
  o.Filter = rfBilinear;
  o.UseAlpha = true;
  RenderToBitmap(*src, *dst, TPXRenderRect{0, 0, 10, 10, 0, 0, 30, 30}, o);
  auto colours = Resampled(*src, 0, 0, 10, 10, 30, 30, rfBilinear);
  auto alpha = NewBitmap(30, 30, pxGray8);
  ResampleGray8Filtered(*src->GetAlphaChannel(), *alpha, rfBilinear);
  for (int32_t y = 0; y < 30; ++y)
    for (int32_t x = 0; x < 30; ++x)
      ASSERT_EQ(dst->GetPixel24(x, y), Toward(TBGR{}, colours->GetPixel24(x, y), alpha->GetByte(x, y)))
          << x << "," << y;
}

// ------------------------------------------------------------------ RenderToBitmapFiltered

TEST(RenderToFiltered, CopiesPixelsAndSetsTheAlphaRectangle) {
  auto src = NewBitmap(20, 12, pxBGR24, Where::File);
  Noise(*src, 24);
  auto dst = NewBitmap(40, 30, pxBGR24);
  Paint(*dst, TBGR{8, 8, 8});
  RenderToBitmapFiltered(*src, *dst, 5, 7, 200, rfNone, 2, 3, 10, 6, 10, 6);
  for (int32_t y = 0; y < 30; ++y)
    for (int32_t x = 0; x < 40; ++x) {
      const bool inside = x >= 5 && x < 15 && y >= 7 && y < 13;
      ASSERT_EQ(dst->GetPixel24(x, y), (inside ? src->GetPixel24(x - 3, y - 4) : TBGR{8, 8, 8}));
      ASSERT_EQ(dst->GetAlpha(x, y), inside ? 200 : 255);
    }
  EXPECT_FALSE(dst->GetAlphaChannel()->Full);

  // A translucent source alpha is kept below the value; 2:1 steps through
  // the 14-bit tables; a negative position only cuts.
  for (int32_t y = 0; y < 12; ++y)
    for (int32_t x = 0; x < 20; ++x) src->SetAlpha(x, y, static_cast<uint8_t>(10 * x));
  auto zoomed = NewBitmap(40, 30, pxBGR24);
  RenderToBitmapFiltered(*src, *zoomed, -4, 0, 120, rfNone, 0, 0, 20, 12, 40, 24);
  for (int32_t y = 0; y < 24; ++y)
    for (int32_t x = 0; x < 36; ++x) {
      const int32_t sx = (x + 4) / 2, sy = y / 2;
      ASSERT_EQ(zoomed->GetPixel24(x, y), src->GetPixel24(sx, sy)) << x << "," << y;
      ASSERT_EQ(zoomed->GetAlpha(x, y), std::min(120, 10 * sx)) << x << "," << y;
    }
}

TEST(RenderToFiltered, OtherFormatsAndFiltersAndBadRectangles) {
  // A grey source with a range draws its mapped greys (through a 24-bit copy).
  auto g = NewBitmap(4, 1, pxGray16);
  const uint16_t v[] = {0, 1000, 1500, 4000};
  for (int32_t x = 0; x < 4; ++x) SetGray16(*g, x, 0, v[x]);
  g->GrayMin = 1000;
  g->GrayMax = 2000;
  auto dst = NewBitmap(4, 1, pxBGR24);
  RenderToBitmapFiltered(*g, *dst, 0, 0, 255, rfNone, 0, 0, 4, 1, 4, 1);
  EXPECT_EQ(dst->GetPixel24(0, 0), (TBGR{0, 0, 0}));
  EXPECT_EQ(dst->GetPixel24(2, 0), (TBGR{127, 127, 127}));
  EXPECT_EQ(dst->GetPixel24(3, 0), (TBGR{255, 255, 255}));

  // With a filter and a new size: the resampler's picture.
  auto src = NewBitmap(16, 16, pxBGR24);
  Noise(*src, 25);
  auto big = NewBitmap(40, 40, pxBGR24);
  RenderToBitmapFiltered(*src, *big, 0, 0, 255, rfMitchell, 0, 0, 16, 16, 40, 40);
  EXPECT_EQ(Pixels(*big), Pixels(*Resampled(*src, 0, 0, 16, 16, 40, 40, rfMitchell)));

  // A source rectangle past the source reads only inside it.
  auto file = NewBitmap(8, 8, pxBGR24, Where::File);
  Noise(*file, 26);
  auto out = NewBitmap(30, 30, pxBGR24);
  RenderToBitmapFiltered(*file, *out, 0, 0, 255, rfNone, 5, 6, 100, 100, 30, 30);
  RenderToBitmapFiltered(*file, *out, -5, -5, 255, rfNone, -3, -3, 8, 8, 7, 9);
  RenderToBitmapFiltered(*file, *out, 0, 0, 255, rfNone, 0, 0, std::numeric_limits<int32_t>::max(), 8, 30, 30);
}

// ------------------------------------------------------------------ print path

TEST(RenderPrint, StretchDrawWithoutFilterOrGammaDrawsTheImage) {
  auto src = NewBitmap(12, 9, pxBGR24);
  Noise(*src, 27);
  TBitmap page;
  page.SetPixelFormat(pf24bit);
  page.SetSize(40, 40);
  StretchDrawToCanvas(*src, page.Canvas(), 3, 4, 24, 18, 1.0, rfNone);
  for (int32_t y = 0; y < 18; ++y)
    for (int32_t x = 0; x < 24; ++x) {
      const uint8_t* p = page.ScanLine(y + 4) + 3 * (x + 3);
      ASSERT_EQ((TBGR{p[0], p[1], p[2]}), src->GetPixel24(x / 2, y / 2)) << x << "," << y;
    }
}

TEST(RenderPrint, GammaAndBandsGiveTheSamePictureAtAnyThreshold) {
  auto src = NewBitmap(16, 11, pxBGR24);
  Noise(*src, 28);
  std::vector<std::vector<uint8_t>> pages;
  for (int64_t threshold : {int64_t{1} << 40, int64_t{3 * 48}, int64_t{0}}) {
    src->MemoryThreshold = threshold;  // one band, bands of 3 rows, bands of 1 row
    TBitmap page;
    page.SetPixelFormat(pf24bit);
    page.SetSize(20, 20);
    StretchDrawToCanvas(*src, page.Canvas(), 2, 2, 16, 11, 2.2, rfNone);
    std::vector<uint8_t> bytes;
    for (int32_t y = 0; y < 20; ++y) bytes.insert(bytes.end(), page.ScanLine(y), page.ScanLine(y) + 60);
    pages.push_back(bytes);
    for (int32_t y = 0; y < 11; ++y)
      for (int32_t x = 0; x < 16; ++x)
        for (int c = 0; c < 3; ++c) {
          const uint8_t in = src->Scanline(y)[3 * x + c];
          const int want = static_cast<int>(std::nearbyint(std::pow(in / 255.0, 1 / 2.2) * 255.0));
          ASSERT_EQ(page.ScanLine(y + 2)[3 * (x + 2) + c], want) << x << "," << y;
        }
  }
  EXPECT_EQ(pages[0], pages[1]);
  EXPECT_EQ(pages[0], pages[2]);
}

TEST(RenderPrint, OtherFormatsPrintAsShown) {
  auto g = NewBitmap(3, 1, pxGray16);
  const uint16_t v[] = {1000, 1500, 2000};
  for (int32_t x = 0; x < 3; ++x) SetGray16(*g, x, 0, v[x]);
  g->GrayMin = 1000;
  g->GrayMax = 2000;
  for (TResampleFilter f : {rfNone, rfTriangle}) {
    TBitmap page;
    page.SetPixelFormat(pf24bit);
    page.SetSize(3, 1);
    StretchDrawToCanvas(*g, page.Canvas(), 0, 0, 3, 1, 1.0, f);
    EXPECT_EQ(page.ScanLine(0)[0], 0);
    EXPECT_EQ(page.ScanLine(0)[3], 127);
    EXPECT_EQ(page.ScanLine(0)[6], 255);
  }
  // 1-bit images print black and white, banded through 1-bit rows.
  auto bw = NewBitmap(9, 5, pxBW1);
  Noise(*bw, 29);
  TBitmap page;
  page.SetPixelFormat(pf24bit);
  page.SetSize(9, 5);
  StretchDrawToCanvas(*bw, page.Canvas(), 0, 0, 9, 5, 0.5, rfNone);
  for (int32_t y = 0; y < 5; ++y)
    for (int32_t x = 0; x < 9; ++x) ASSERT_EQ(page.ScanLine(y)[3 * x], bw->GetPixelAsRGB(x, y).b) << x << "," << y;
}

// A packed DIB built here byte by byte: header, palette, bottom-up rows.
std::vector<uint8_t> MakeDIB(int32_t w, int32_t h, int bits, const std::vector<std::vector<uint8_t>>& topDownRows,
                             int paletteEntries) {
  std::vector<uint8_t> d(40 + 4 * paletteEntries);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put32(0, 40);
  put32(4, static_cast<uint32_t>(w));
  put32(8, static_cast<uint32_t>(h));
  d[12] = 1;
  d[14] = static_cast<uint8_t>(bits);
  for (int i = 0; i < paletteEntries; ++i) {
    d[40 + 4 * i] = static_cast<uint8_t>(i * 10);       // blue
    d[40 + 4 * i + 1] = static_cast<uint8_t>(100 + i);  // green
    d[40 + 4 * i + 2] = static_cast<uint8_t>(200 - i);  // red
  }
  const size_t stride = static_cast<size_t>((w * bits + 31) / 32 * 4);
  for (int32_t y = h - 1; y >= 0; --y) {
    std::vector<uint8_t> row = topDownRows[static_cast<size_t>(y)];
    row.resize(stride, 0);
    d.insert(d.end(), row.begin(), row.end());
  }
  return d;
}

TBGR PageAt(TBitmap& page, int x, int y) {
  const uint8_t* p = page.ScanLine(y) + 3 * x;
  return TBGR{p[0], p[1], p[2]};
}

TEST(RenderPrint, PackedDIBsOfEveryDepthDraw) {
  const TBGR white{255, 255, 255};
  struct Case {
    int bits, entries;
    std::vector<std::vector<uint8_t>> rows;
    std::vector<TBGR> want;  // top-down, 3 x 2
  };
  auto pal = [](int i) {
    return TBGR{static_cast<uint8_t>(i * 10), static_cast<uint8_t>(100 + i), static_cast<uint8_t>(200 - i)};
  };
  const std::vector<Case> cases = {
      {8, 256, {{0, 1, 2}, {3, 4, 255}}, {pal(0), pal(1), pal(2), pal(3), pal(4), pal(255)}},
      {4, 16, {{0x12, 0x30}, {0xF5, 0x60}}, {pal(1), pal(2), pal(3), pal(15), pal(5), pal(6)}},
      {1, 2, {{0xA0}, {0x40}}, {pal(1), pal(0), pal(1), pal(0), pal(1), pal(0)}},
      {24,
       0,
       {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {9, 8, 7, 6, 5, 4, 3, 2, 1}},
       {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {9, 8, 7}, {6, 5, 4}, {3, 2, 1}}},
      {32,
       0,
       {{1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0}, {9, 8, 7, 0, 6, 5, 4, 0, 3, 2, 1, 0}},
       {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {9, 8, 7}, {6, 5, 4}, {3, 2, 1}}},
  };
  for (const Case& c : cases) {
    const auto dib = MakeDIB(3, 2, c.bits, c.rows, c.entries);
    TBitmap page;
    page.SetPixelFormat(pf24bit);
    page.SetSize(10, 10);
    page.Canvas().Brush.Color = clWhite;
    page.Canvas().FillRect(Rect(0, 0, 10, 10));
    // Source columns 1..2, both rows, doubled into (4, 4).
    DrawPackedDIB(page.Canvas(), dib.data(), static_cast<int64_t>(dib.size()), Rect(4, 4, 8, 8), Rect(1, 0, 3, 2));
    for (int y = 0; y < 10; ++y)
      for (int x = 0; x < 10; ++x) {
        const bool inside = x >= 4 && x < 8 && y >= 4 && y < 8;
        const TBGR want = inside ? c.want[static_cast<size_t>(3 * ((y - 4) / 2) + 1 + (x - 4) / 2)] : white;
        ASSERT_EQ(PageAt(page, x, y), (want)) << c.bits << " bits at " << x << "," << y;
      }
    // Cut short, or claiming a compression: nothing is drawn.
    TBitmap blank;
    blank.SetPixelFormat(pf24bit);
    blank.SetSize(4, 4);
    DrawPackedDIB(blank.Canvas(), dib.data(), static_cast<int64_t>(dib.size()) - 1, Rect(0, 0, 4, 4), Rect(0, 0, 3, 2));
    auto rle = dib;
    rle[16] = 1;
    DrawPackedDIB(blank.Canvas(), rle.data(), static_cast<int64_t>(rle.size()), Rect(0, 0, 4, 4), Rect(0, 0, 3, 2));
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) ASSERT_EQ(PageAt(blank, x, y), (TBGR{}));
  }
}

TEST(RenderPrint, BandsLandAtTheirRows) {
  auto src = NewBitmap(5, 6, pxBGR24, Where::File);
  Noise(*src, 30);
  TBitmap page;
  page.SetPixelFormat(pf24bit);
  page.SetSize(8, 8);
  DrawBitmapBand(page.Canvas(), 2, 3, 2, 5, 4, *src);  // rows 4 and 5
  DrawBitmapBand(page.Canvas(), 2, 0, 9, 5, 5, *src);  // only row 5 is left
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      TBGR want{};
      if (x >= 2 && x < 7 && (y == 0 || y == 4)) want = src->GetPixel24(x - 2, 5);
      if (x >= 2 && x < 7 && y == 3) want = src->GetPixel24(x - 2, 4);
      ASSERT_EQ(PageAt(page, x, y), want) << x << "," << y;
    }
}

}  // namespace
}  // namespace pixoran
