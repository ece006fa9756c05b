// Geometric transforms of the processing component.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/kopxutils_helpers.h"
#include "core/pxtransform.h"
#include "proc/pixoranproc.h"
#include "proc_support.h"

namespace pixoran {
namespace {

using testing::FakeSelectionView;
using testing::FillRandom;
using testing::MakeBitmap;
using testing::Snapshot;

// The bytes of pixel (x, y) as one number, or its bit for pxBW1.
uint32_t Pixel(TPXBitmap& b, int32_t x, int32_t y) {
  const uint8_t* r = b.Scanline(y);
  const int32_t bits = b.BitCount();
  if (bits == 1) return (r[x >> 3] >> (7 - (x & 7))) & 1;
  uint32_t v = 0;
  for (int i = 0; i < bits / 8; ++i) v = (v << 8) | r[x * (bits / 8) + i];
  return v;
}

// Source pixel of destination (x, y) for a source of w x h.
using Map = std::function<void(int32_t w, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy)>;

void ExpectMapped(TPXBitmap& src, TPXBitmap& dst, const Map& map) {
  for (int32_t y = 0; y < dst.Height(); ++y)
    for (int32_t x = 0; x < dst.Width(); ++x) {
      int32_t sx, sy;
      map(src.Width(), src.Height(), x, y, sx, sy);
      ASSERT_EQ(Pixel(dst, x, y), Pixel(src, sx, sy)) << x << "," << y;
    }
}

std::unique_ptr<TPXBitmap> Asymmetric(TPXPixelFormat f, bool tempFile, int32_t w = 13, int32_t h = 7) {
  auto b = MakeBitmap(w, h, f, tempFile);
  FillRandom(*b, 7 + f);
  for (int32_t i = 0; i < b->PaletteCount(); ++i)
    b->SetPaletteEntry(i, TBGR{uint8_t(i), uint8_t(255 - i), uint8_t(i * 3)});
  FillRandom(*b->GetAlphaChannel(), 99);
  b->GetAlphaChannel()->Full = false;
  return b;
}

TEST(ProcTransforms, QuarterTurnsAndFlipsAreExactWithAlphaInEveryFormat) {
  struct Op {
    const char* caption;
    std::function<void(TPixoranProc&)> run;
    bool swaps;    // width and height change places
    bool allTurn;  // every format changes (flips), else 16-bit grey, float and CMYK stay
    Map map;
  };
  const Op ops[] = {
      {"Rotate 90", [](TPixoranProc& p) { p.Rotate(90, false, 0, -1); }, true, false,
       [](int32_t w, int32_t, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = w - 1 - y, sy = x; }},
      {"Rotate -90", [](TPixoranProc& p) { p.Rotate(-90, true, 1, -1); }, true, false,
       [](int32_t, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = y, sy = h - 1 - x; }},
      {"Rotate 270", [](TPixoranProc& p) { p.Rotate(270, true, 2, -1); }, true, false,
       [](int32_t, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = y, sy = h - 1 - x; }},
      {"Rotate -180", [](TPixoranProc& p) { p.Rotate(-180, true, 0, -1); }, false, false,
       [](int32_t w, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = w - 1 - x, sy = h - 1 - y; }},
      {"Rotate 450", [](TPixoranProc& p) { p.Rotate(450, false, 0, -1); }, true, false,
       [](int32_t w, int32_t, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = w - 1 - y, sy = x; }},
      {"Flip", [](TPixoranProc& p) { p.Flip(0); }, false, true,
       [](int32_t w, int32_t, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = w - 1 - x, sy = y; }},
      {"Flip", [](TPixoranProc& p) { p.Flip(1); }, false, true,
       [](int32_t, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = x, sy = h - 1 - y; }},
  };
  for (bool tempFile : {false, true})
    for (TPXPixelFormat f : {pxBW1, pxPal8, pxGray8, pxGray16, pxBGR24, px32f, pxCMYK})
      for (const Op& op : ops) {
        SCOPED_TRACE(::testing::Message() << op.caption << " format " << int(f) << " file " << tempFile);
        auto img = Asymmetric(f, tempFile);
        auto src = MakeBitmap(1, 1, pxGray8);
        src->Assign(img.get());
        TPixoranProc proc;
        proc.AttachBitmap(img.get());
        op.run(proc);
        if (!op.allTurn && (f == pxGray16 || f == px32f || f == pxCMYK)) {
          EXPECT_EQ(Snapshot(*img), Snapshot(*src));
          EXPECT_EQ(proc.UndoCount(), 0);
          continue;
        }
        ASSERT_EQ(proc.UndoCaptions(), std::vector<std::string>{op.caption});
        ASSERT_EQ(img->PixelFormat(), f);
        ASSERT_EQ(img->Width(), op.swaps ? 7 : 13);
        ASSERT_EQ(img->Height(), op.swaps ? 13 : 7);
        ExpectMapped(*src, *img, op.map);
        ASSERT_TRUE(img->HasAlphaChannel());
        ExpectMapped(*src->GetAlphaChannel(), *img->GetAlphaChannel(), op.map);
        for (int32_t i = 0; i < src->PaletteCount(); ++i) EXPECT_EQ(img->GetPaletteEntry(i), src->GetPaletteEntry(i));
        proc.Undo();
        EXPECT_EQ(Snapshot(*img), Snapshot(*src));
      }
}

TEST(ProcTransforms, MirroredRowsOfEveryLengthAreExact) {
  // Long rows go by blocks from both ends, the middle by single pixels.
  for (TPXPixelFormat f : {pxBGR24, pxGray8, pxBW1, pxGray16, pxCMYK})
    for (int32_t w : {1, 2, 31, 32, 33, 47, 64, 65, 95, 96, 131}) {
      SCOPED_TRACE(::testing::Message() << "format " << int(f) << " width " << w);
      auto img = Asymmetric(f, false, w, 3);
      auto src = MakeBitmap(1, 1, pxGray8);
      src->Assign(img.get());
      FlipBitmap(*img, 0);
      ExpectMapped(*src, *img, [](int32_t width, int32_t, int32_t x, int32_t y, int32_t& sx, int32_t& sy) {
        sx = width - 1 - x, sy = y;
      });
    }
}

TEST(ProcTransforms, QuarterTurnsOfImagesTallerThanABand) {
  for (TPXPixelFormat f : {pxBGR24, pxBW1})
    for (bool tempFile : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "format " << int(f) << " file " << tempFile);
      auto img = Asymmetric(f, tempFile, 150, 131);
      auto src = MakeBitmap(1, 1, pxGray8);
      src->Assign(img.get());
      TPixoranProc proc;
      proc.AttachBitmap(img.get());
      proc.Rotate(-90, false, 0, -1);
      ExpectMapped(*src, *img,
                   [](int32_t, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = y, sy = h - 1 - x; });
      ExpectMapped(*src->GetAlphaChannel(), *img->GetAlphaChannel(),
                   [](int32_t, int32_t h, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = y, sy = h - 1 - x; });
    }
}

TEST(ProcTransforms, NothingTurnsWithoutAnAngleOrADirection) {
  auto img = Asymmetric(pxBGR24, false);
  const auto before = Snapshot(*img);
  TPixoranProc proc;
  proc.AttachBitmap(img.get());
  proc.Flip(2);
  proc.Flip(-1);
  proc.Rotate(0, true, 1, -1);
  proc.Rotate(std::numeric_limits<double>::quiet_NaN(), true, 1, -1);
  EXPECT_EQ(proc.UndoCount(), 0);
  // Thousandths of a degree count: a whole turn and a little less is none.
  proc.Rotate(360.0004, true, 1, -1);
  proc.Rotate(-720.0009, false, 0, -1);
  EXPECT_EQ(Snapshot(*img), before);
  EXPECT_EQ(proc.UndoCaptions(), (std::vector<std::string>{"Rotate -720.0009"}));
  proc.Rotate(12.5, false, 0, -1);
  EXPECT_EQ(proc.UndoCaptions().back(), "Rotate 12.5");
}

// Weighted centre of the pixels brighter than the background, relative to
// the image's centre.
void BrightCentre(TPXBitmap& b, double& cx, double& cy) {
  double sum = 0, sx = 0, sy = 0;
  for (int32_t y = 0; y < b.Height(); ++y)
    for (int32_t x = 0; x < b.Width(); ++x) {
      const TBGR c = b.GetPixelAsRGB(x, y);
      const double v = c.g > 128 ? c.g : 0;
      sum += v, sx += v * x, sy += v * y;
    }
  ASSERT_GT(sum, 0);
  cx = sx / sum - (b.Width() - 1) / 2.0;
  cy = sy / sum - (b.Height() - 1) / 2.0;
}

double Round(double v) { return std::nearbyint(v); }

TEST(ProcTransforms, AnyAngleTurnsCounterClockwiseForPositiveAnglesWithTheBackgroundInTheCorners) {
  struct Case {
    TPXPixelFormat format;
    bool antiAlias;
    uint8_t mode;
    const char* size;  // "shear", "sampled" or "bits"
  };
  const Case cases[] = {
      {pxBGR24, false, 0, "shear"},  {pxBGR24, true, 0, "shear"},   {pxBGR24, true, 1, "sampled"},
      {pxBGR24, true, 2, "sampled"}, {pxBGR24, true, 7, "sampled"}, {pxGray8, true, 1, "shear"},
      {pxPal8, true, 1, "shear"},    {pxBW1, true, 1, "bits"},
  };
  const int32_t W = 61, H = 40;
  for (bool tempFile : {false, true})
    for (const Case& c : cases)
      for (double angle : {30.0, -30.0, 120.0}) {
        SCOPED_TRACE(::testing::Message() << "format " << int(c.format) << " aa " << c.antiAlias << " mode "
                                          << int(c.mode) << " angle " << angle << " file " << tempFile);
        // Dark grey image with a white block right of the centre; palette
        // entries 0 black, 1 white, 2 the dark grey, 3 red.
        auto img = MakeBitmap(W, H, c.format, tempFile);
        if (c.format == pxPal8) {
          img->SetPaletteEntry(0, TBGR{0, 0, 0});
          img->SetPaletteEntry(1, TBGR{255, 255, 255});
          img->SetPaletteEntry(2, TBGR{20, 20, 20});
          img->SetPaletteEntry(3, TBGR{0, 0, 255});
        }
        const double inside = c.format == pxPal8 ? 2 : c.format == pxBW1 ? 0 : c.format == pxGray8 ? 20 : 0x141414;
        const double white = c.format == pxPal8 ? 1 : c.format == pxBW1 ? 1 : c.format == pxGray8 ? 255 : 0xFFFFFF;
        img->Fill(inside);
        img->FillRect(48, 17, 54, 22, white);
        TPixoranProc proc;
        proc.AttachBitmap(img.get());
        proc.SetBackground(clRed);
        img->GetAlphaChannel()->Fill(200);
        proc.Rotate(angle, c.antiAlias, c.mode, -1);

        // The size.
        const double th = angle * M_PI / 180, rth = std::remainder(angle, 90.0) * M_PI / 180;
        int32_t w = 0, h = 0;
        const bool swapped = std::fabs(angle) > 45 && std::fabs(angle) < 135;
        const int32_t W0 = swapped ? H : W, H0 = swapped ? W : H;
        if (std::string(c.size) == "shear") {
          const double t = std::fabs(std::tan(rth / 2)), s = std::fabs(std::sin(rth));
          const double W1 = Round(H0 * t + W0 + 1), H2 = Round(s * W1 + H0 + 1), d = Round((W1 - W0) * s);
          const double t2 = Round(t * (H2 - H0 - d));
          h = static_cast<int32_t>(Round(H2 - 2 * d));
          w = static_cast<int32_t>(Round(t * h + W1 + 1 - 2 * t2));
        } else if (std::string(c.size) == "sampled") {
          const double s = std::sin(th), co = std::cos(th);
          w = static_cast<int32_t>(Round(std::fabs(s * (H + 5)) + std::fabs(co * (W + 5)))) - 6;
          h = static_cast<int32_t>(Round(std::fabs(co * (H + 5)) + std::fabs(s * (W + 5)))) - 6;
        } else {
          const double co = std::trunc(std::cos(-th) * 10000) / 10000, s = std::trunc(std::sin(-th) * 10000) / 10000;
          w = static_cast<int32_t>(std::fabs(W * co) + std::fabs(H * s));
          h = static_cast<int32_t>(std::fabs(W * s) + std::fabs(H * co));
        }
        ASSERT_EQ(img->Width(), w);
        ASSERT_EQ(img->Height(), h);
        ASSERT_EQ(img->PixelFormat(), c.format);
        ASSERT_TRUE(img->HasAlphaChannel());
        ASSERT_EQ(img->GetAlphaChannel()->Width(), w);
        ASSERT_EQ(img->GetAlphaChannel()->Height(), h);

        // The corners show the background (red; for grey its luminance, for
        // a palette the nearest entry, for 1 bit black) and are transparent.
        const int32_t corners[4][2] = {{0, 0}, {w - 1, 0}, {0, h - 1}, {w - 1, h - 1}};
        for (const auto& k : corners) {
          const uint32_t p = Pixel(*img, k[0], k[1]);
          switch (c.format) {
            case pxBGR24: EXPECT_EQ(p, 0x0000FFu); break;  // bytes blue, green, red
            case pxGray8: EXPECT_EQ(p, uint32_t(BGRLuminance(TBGR{0, 0, 255}))); break;
            case pxPal8: EXPECT_EQ(p, 3u); break;
            default: EXPECT_EQ(p, 0u); break;
          }
          EXPECT_EQ(img->GetAlphaChannel()->GetByte(k[0], k[1]), 0);
        }
        EXPECT_EQ(img->GetAlphaChannel()->GetByte(w / 2, h / 2), 200);

        // The block (21 right of the centre) turns about the centre,
        // counter-clockwise for positive angles (y grows downwards).
        double bx, by;
        BrightCentre(*img, bx, by);
        EXPECT_NEAR(bx, 21 * std::cos(th), 2.0);
        EXPECT_NEAR(by, -21 * std::sin(th), 2.0);
      }
}

TEST(ProcTransforms, OddWidthBitImageKeepsItsBitsAndBackground) {
  // 1-bit, 21 wide: the set bits keep their number within the turned
  // image, the background bit fills the corners, and an exact quarter turn
  // is a bit copy.
  auto img = MakeBitmap(21, 9, pxBW1);
  FillRandom(*img, 5);
  auto count = [](TPXBitmap& b) {
    int32_t n = 0;
    for (int32_t y = 0; y < b.Height(); ++y)
      for (int32_t x = 0; x < b.Width(); ++x) n += Pixel(b, x, y);
    return n;
  };
  for (bool bit : {false, true}) {
    auto turned = MakeBitmap(1, 1, pxBW1);
    turned->Assign(img.get());
    ASSERT_TRUE(RotateBW(*turned, bit, 30));
    EXPECT_EQ(turned->Width(), 22);
    EXPECT_EQ(turned->Height(), 18);
    EXPECT_EQ(Pixel(*turned, 0, 0), bit ? 1u : 0u);
    EXPECT_EQ(Pixel(*turned, 21, 17), bit ? 1u : 0u);
    if (!bit) {
      EXPECT_NEAR(count(*turned), count(*img), count(*img) / 10);
    }
  }
  auto q = MakeBitmap(1, 1, pxBW1);
  q->Assign(img.get());
  ASSERT_TRUE(RotateBW(*q, false, -270));
  ExpectMapped(*img, *q,
               [](int32_t w, int32_t, int32_t x, int32_t y, int32_t& sx, int32_t& sy) { sx = w - 1 - y, sy = x; });
  EXPECT_FALSE(RotateBW(*q, false, 0));
  EXPECT_FALSE(RotateBitmap(*MakeBitmap(4, 4, pxCMYK), true, {}, TBGR{}, 30));
}

TEST(ProcTransforms, ShearRotationReportsProgressUpToAHundred) {
  auto img = MakeBitmap(50, 30, pxBGR24);
  FillRandom(*img, 3);
  TPixoranProc proc;
  proc.AttachBitmap(img.get());
  std::vector<int> seen;
  proc.OnProgress = [&](TObject*, int p) { seen.push_back(p); };
  proc.Rotate(20, false, 0, clWhite);
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(seen.back(), 100);
  seen.clear();
  proc.Rotate(20, true, 1, clWhite);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 100);
}

TEST(ProcTransforms, ResampleKeepsTheAspectFromTheResolvedSide) {
  struct Case {
    int32_t w, h;
    int32_t ew, eh;  // expected size; 0: unchanged image
  };
  const Case cases[] = {
      {-1, 600, 1200, 600}, {0, 0, 800, 400},
      {300, -1, 300, 150},  {-1, 0, 800, 400},
      {-7, 0, 7, 400},      {0, -1, 800, 400},
      {-1, -9, 0, 0},       {-1, 1, 2, 1},
      {1, -1, 1, 1},        {-1, std::numeric_limits<int32_t>::min(), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "," << c.h);
    auto img = MakeBitmap(800, 400, pxBGR24);
    FillRandom(*img, 1);
    TPixoranProc proc;
    proc.AttachBitmap(img.get());
    proc.Resample(c.w, c.h, rfTriangle);
    EXPECT_EQ(proc.UndoCaptions(),
              std::vector<std::string>{"Resample " + std::to_string(c.w) + "," + std::to_string(c.h)});
    EXPECT_EQ(img->Width(), c.ew ? c.ew : 800);
    EXPECT_EQ(img->Height(), c.eh ? c.eh : 400);
  }
  // A size that cannot be had leaves the image alone.
  auto img = MakeBitmap(80, 40, pxBGR24);
  TPixoranProc proc;
  proc.AttachBitmap(img.get());
  proc.Resample(-1, 2000000000, rfTriangle);
  EXPECT_EQ(img->Width(), 80);
}

TEST(ProcTransforms, ResampleGivesWhatTheResamplerGivesForEveryFormat) {
  struct Case {
    TPXPixelFormat from;
    TResampleFilter filter;
    TPXPixelFormat to;
  };
  const Case cases[] = {{pxGray8, rfLanczos3, pxGray8},  {pxPal8, rfTriangle, pxBGR24},   {px32f, rfBicubic, pxBGR24},
                        {pxCMYK, rfFastLinear, pxBGR24}, {pxGray16, rfMitchell, pxBGR24}, {pxPal8, rfNone, pxPal8},
                        {pxBW1, rfNone, pxBW1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.from) << " filter " << int(c.filter));
    auto img = MakeBitmap(20, 10, c.from);
    FillRandom(*img, 2);
    img->GetAlphaChannel()->Fill(7);
    TPixoranProc proc;
    proc.AttachBitmap(img.get());
    proc.Resample(-1, 15, c.filter);
    EXPECT_EQ(img->PixelFormat(), c.to);
    EXPECT_EQ(img->Width(), 30);
    EXPECT_EQ(img->Height(), 15);
    ASSERT_TRUE(img->HasAlphaChannel());
    EXPECT_EQ(img->GetAlphaChannel()->Width(), 30);
    EXPECT_EQ(img->GetAlphaChannel()->GetByte(29, 14), 7);
  }
  // Into the image itself, as into another bitmap.
  auto img = MakeBitmap(20, 10, pxBGR24);
  img->Fill(0x336699);
  TPixoranProc proc;
  proc.AttachBitmap(img.get());
  proc.ResampleTo(*img, 10, 5, rfLanczos3);
  EXPECT_EQ(img->Width(), 10);
  EXPECT_EQ(img->GetPixel24(4, 4), ColorToBGR(0x336699));
}

TEST(ProcTransforms, CropSelKeepsThePixelsAndAlphaUnderTheMask) {
  for (TPXPixelFormat f : {pxBW1, pxPal8, pxGray8, pxBGR24, pxGray16, px32f, pxCMYK})
    for (bool tempFile : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "format " << int(f) << " file " << tempFile);
      FakeSelectionView view;
      view.bitmap = Asymmetric(f, tempFile, 31, 17);
      auto src = MakeBitmap(1, 1, pxGray8);
      src->Assign(view.bitmap.get());
      TPixoranProc proc;
      proc.SetAttachedPixoran(&view);
      proc.SetBackground(clWhite);

      // No selection: only the undo entry.
      proc.CropSel();
      EXPECT_EQ(Snapshot(*view.bitmap), Snapshot(*src));
      EXPECT_EQ(proc.UndoCaptions(), std::vector<std::string>{"CropSel"});

      // A rectangle: exactly its pixels and alpha.
      view.Select(1, [](int32_t x, int32_t y) { return x >= 4 && x <= 20 && y >= 3 && y <= 11 ? 1 : 0; });
      proc.CropSel();
      ASSERT_EQ(view.bitmap->Width(), 17);
      ASSERT_EQ(view.bitmap->Height(), 9);
      ASSERT_EQ(view.bitmap->PixelFormat(), f);
      const Map shifted = [](int32_t, int32_t, int32_t x, int32_t y, int32_t& sx, int32_t& sy) {
        sx = x + 4, sy = y + 3;
      };
      ExpectMapped(*src, *view.bitmap, shifted);
      ASSERT_TRUE(view.bitmap->HasAlphaChannel());
      ExpectMapped(*src->GetAlphaChannel(), *view.bitmap->GetAlphaChannel(), shifted);
    }

  // A disc: outside it the background, opaque; an opaque result drops its alpha.
  FakeSelectionView view;
  view.bitmap = MakeBitmap(30, 20, pxBGR24);
  view.bitmap->Fill(0x0000FF);
  view.bitmap->GetAlphaChannel()->Fill(255);
  auto disc = [](int32_t x, int32_t y) { return (x - 15) * (x - 15) + (y - 10) * (y - 10) <= 36 ? 1 : 0; };
  view.Select(1, disc);
  TPixoranProc proc;
  proc.SetAttachedPixoran(&view);
  proc.SetBackground(clLime);
  proc.CropSel();
  ASSERT_EQ(view.bitmap->Width(), 13);
  ASSERT_EQ(view.bitmap->Height(), 13);
  EXPECT_EQ(view.bitmap->GetPixel24(0, 0), (TBGR{0, 255, 0}));
  EXPECT_EQ(view.bitmap->GetPixel24(6, 6), (TBGR{0, 0, 255}));
  EXPECT_FALSE(view.bitmap->HasAlphaChannel());
}

// The crop reads the picture itself: without an undo entry the only new
// storage is the cropped result's, not a working copy of the whole image.
TEST(ProcTransforms, CropSelMakesOnlyTheCroppedBitmap) {
  FakeSelectionView view;
  view.bitmap = MakeBitmap(400, 300, pxBGR24);
  view.bitmap->Fill(0x102030);
  view.Select(1, [](int32_t x, int32_t y) { return x >= 10 && x < 110 && y >= 20 && y < 70 ? 1 : 0; });
  TPixoranProc proc;
  proc.SetAttachedPixoran(&view);
  proc.SetAutoUndo(false);
  PXArmAllocationFault(1000000);  // counts without failing
  proc.CropSel();
  const int64_t allocations = PXAllocationCount();
  PXArmAllocationFault(0);
  EXPECT_FALSE(proc.Aborting());
  ASSERT_EQ(view.bitmap->Width(), 100);
  ASSERT_EQ(view.bitmap->Height(), 50);
  EXPECT_EQ(view.bitmap->GetPixel24(99, 49), ColorToBGR(0x102030));
  EXPECT_EQ(allocations, 1);
}

TEST(ProcTransforms, AnImageControlsPictureChangesItsSizeInPlace) {
  TImage image;
  TBitmap& picture = image.Picture();
  picture.SetPixelFormat(pf24bit);
  picture.SetSize(40, 30);
  TPixoranProc proc;
  proc.SetAttachedTImage(&image);
  proc.SetUndoLimit(5);
  proc.Rotate(90, false, 0, -1);
  EXPECT_EQ(picture.Width(), 30);
  EXPECT_EQ(picture.Height(), 40);
  proc.Rotate(30, true, 1, clWhite);
  EXPECT_GT(picture.Width(), 40);
  EXPECT_EQ(picture.ScanLine(0)[0], 255);  // a corner shows the background
  proc.Resample(20, -1, rfTriangle);
  EXPECT_EQ(picture.Width(), 20);
  proc.Flip(0);
  EXPECT_EQ(proc.WrappedTBitmap(), &picture);
  EXPECT_EQ(proc.UndoCaptions(), (std::vector<std::string>{"Rotate 90", "Rotate 30", "Resample 20,-1", "Flip"}));
  proc.UndoAt(3);
  EXPECT_EQ(picture.Width(), 40);
}

TEST(ProcTransforms, FloatAndTinyImagesSurviveEveryPath) {
  for (TPXPixelFormat f : {pxBW1, pxPal8, pxGray8, pxBGR24})
    for (int32_t w : {1, 2})
      for (double angle : {0.001, 45.0, -89.999, 179.5}) {
        SCOPED_TRACE(::testing::Message() << int(f) << " " << w << " " << angle);
        auto img = MakeBitmap(w, 1, f);
        img->GetAlphaChannel()->Fill(1);
        TPixoranProc proc;
        proc.AttachBitmap(img.get());
        proc.Rotate(angle, true, 1, -1);
        proc.Rotate(angle, true, 2, -1);
        proc.Rotate(angle, false, 0, -1);
        EXPECT_GE(img->Width(), 1);
        EXPECT_GE(img->Height(), 1);
        EXPECT_EQ(img->GetAlphaChannel()->Width(), img->Width());
        EXPECT_EQ(img->GetAlphaChannel()->Height(), img->Height());
      }
}

}  // namespace
}  // namespace pixoran
