// Colour operations of the processing component.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/kopxutils_settings.h"
#include "proc/pixoranproc.h"
#include "proc_support.h"

namespace pixoran {
namespace {

using testing::FillRandom;
using testing::MakeBitmap;
using testing::Snapshot;

void SetPixel(TPXBitmap& b, int32_t x, int32_t y, TBGR c) {
  uint8_t* p = b.Scanline(y) + 3 * x;
  p[0] = c.b, p[1] = c.g, p[2] = c.r;
}

TBGR Pixel(TPXBitmap& b, int32_t x, int32_t y) {
  const uint8_t* p = b.Scanline(y) + 3 * x;
  return TBGR{p[0], p[1], p[2]};
}

std::set<int32_t> Colours(TPXBitmap& b) {
  std::set<int32_t> out;
  for (int32_t y = 0; y < b.Height(); ++y)
    for (int32_t x = 0; x < b.Width(); ++x) out.insert(BGRToInt(Pixel(b, x, y)));
  return out;
}

TEST(ProcColors, RefusedFormatsLeaveImageAndListsAlone) {
  std::array<TBGR, 8> palette{};
  const std::vector<std::pair<const char*, std::function<void(TPixoranProc&)>>> ops = {
      {"RemoveRedEyes", [](TPixoranProc& p) { p.RemoveRedEyes(); }},
      {"ConvertTo 2", [](TPixoranProc& p) { p.ConvertTo(2, true); }},
      {"ConvertTo 16", [](TPixoranProc& p) { p.ConvertTo(16, false); }},
      {"ConvertToPalette", [&](TPixoranProc& p) { p.ConvertToPalette(8, palette, false); }},
  };
  for (TPXPixelFormat f : {pxBW1, pxPal8, pxGray8, pxGray16, px32f, pxCMYK}) {
    for (const auto& [name, op] : ops) {
      SCOPED_TRACE(::testing::Message() << name << " format " << int(f));
      auto img = MakeBitmap(6, 5, f);
      FillRandom(*img, 11);
      const auto before = Snapshot(*img);
      TPixoranProc proc;
      proc.AttachBitmap(img.get());
      op(proc);
      EXPECT_EQ(Snapshot(*img), before);
      EXPECT_EQ(proc.UndoCount(), 0);
      EXPECT_TRUE(proc.UndoCaptions().empty());
    }
  }
  // Formats the workers do not change still take the undo entry.
  for (TPXPixelFormat f : {pxPal8, pxGray8, pxCMYK}) {
    auto img = MakeBitmap(6, 5, f);
    FillRandom(*img, 12);
    const auto before = Snapshot(*img);
    TPixoranProc proc;
    proc.AttachBitmap(img.get());
    proc.ConvertToGray();
    proc.SetUndoLimit(2);
    proc.Negative();
    EXPECT_EQ(Snapshot(*img), before) << int(f);
    EXPECT_EQ(proc.UndoCaptions(), (std::vector<std::string>{"ConvertToGray", "Negative"})) << int(f);
  }
}

// Sets the process-wide luminance weights for one scope.
class WeightsScope {
 public:
  WeightsScope() : r_(PXSettings().LumRed), g_(PXSettings().LumGreen), b_(PXSettings().LumBlue) {}
  ~WeightsScope() { Set(r_, g_, b_); }
  static void Set(int32_t r, int32_t g, int32_t b) {
    PXSettings().LumRed = r, PXSettings().LumGreen = g, PXSettings().LumBlue = b;
  }

 private:
  int32_t r_, g_, b_;
};

// Grey is made 16 pixels at a time with a scalar tail: widths around the
// block edges, bright pixels (the largest sums) at both ends of each row.
TEST(ProcColors, GrayIsExactAtEveryWidth) {
  WeightsScope weightsScope;
  TPixoranProc proc;
  for (const auto& w : {std::array<int32_t, 3>{30, 59, 11}, std::array<int32_t, 3>{0, 100, 0}}) {
    WeightsScope::Set(w[0], w[1], w[2]);
    for (int32_t width : {1, 2, 16, 17, 18, 19, 33, 34, 35, 66}) {
      auto img = MakeBitmap(width, 2, pxBGR24);
      FillRandom(*img, static_cast<uint32_t>(width));
      SetPixel(*img, 0, 0, TBGR{255, 255, 255});
      SetPixel(*img, width - 1, 1, TBGR{255, 255, 255});
      auto orig = MakeBitmap(width, 2, pxBGR24);
      orig->Assign(img.get());
      proc.AttachBitmap(img.get());
      proc.ConvertToGray();
      for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < width; ++x) {
          const TBGR o = Pixel(*orig, x, y);
          const auto l = static_cast<uint8_t>((o.r * w[0] + o.g * w[1] + o.b * w[2]) / 100);
          ASSERT_EQ(Pixel(*img, x, y), (TBGR{l, l, l})) << width << ": " << x << "," << y;
        }
    }
  }
}

TEST(ProcColors, GrayAndNegativeOfEveryChangedFormat) {
  WeightsScope weightsScope;
  WeightsScope::Set(30, 59, 11);
  auto img = MakeBitmap(3, 2, pxBGR24);
  SetPixel(*img, 0, 0, TBGR{10, 20, 200});  // (200*30 + 20*59 + 10*11) div 100 = 72
  SetPixel(*img, 1, 0, TBGR{255, 255, 255});
  SetPixel(*img, 2, 0, TBGR{0, 255, 0});  // 150.45 -> 150
  TPixoranProc proc;
  proc.AttachBitmap(img.get());
  proc.ConvertToGray();
  EXPECT_EQ(Pixel(*img, 0, 0), (TBGR{72, 72, 72}));
  EXPECT_EQ(Pixel(*img, 1, 0), (TBGR{255, 255, 255}));
  EXPECT_EQ(Pixel(*img, 2, 0), (TBGR{150, 150, 150}));
  proc.Negative();
  EXPECT_EQ(Pixel(*img, 0, 0), (TBGR{183, 183, 183}));

  // Wide rows under several weightings, summing to 100 or not, against the
  // plain formula pixel by pixel.
  const int32_t weights[][3] = {{21, 71, 8}, {30, 59, 11}, {0, 0, 100},  {100, 0, 0},
                                {1, 1, 1},   {60, 50, 40}, {-20, 90, 30}};
  for (const auto& w : weights) {
    WeightsScope::Set(w[0], w[1], w[2]);
    auto wide = MakeBitmap(53, 4, pxBGR24);
    FillRandom(*wide, 40);
    for (int32_t x = 0; x < 4; ++x) SetPixel(*wide, x, 0, TBGR{255, 255, 255});
    auto orig = MakeBitmap(53, 4, pxBGR24);
    orig->Assign(wide.get());
    proc.AttachBitmap(wide.get());
    proc.ConvertToGray();
    for (int32_t y = 0; y < 4; ++y)
      for (int32_t x = 0; x < 53; ++x) {
        const TBGR o = Pixel(*orig, x, y);
        const auto l = static_cast<uint8_t>(std::clamp((o.r * w[0] + o.g * w[1] + o.b * w[2]) / 100, 0, 255));
        ASSERT_EQ(Pixel(*wide, x, y), (TBGR{l, l, l}))
            << x << "," << y << " weights " << w[0] << "," << w[1] << "," << w[2];
      }
  }

  // 1-bit rows of odd widths: every pixel flips, twice gives the image back.
  for (int32_t w : {1, 7, 8, 13, 70}) {
    auto bw = MakeBitmap(w, 3, pxBW1);
    FillRandom(*bw, static_cast<uint32_t>(w));
    auto copy = MakeBitmap(w, 3, pxBW1);
    copy->Assign(bw.get());
    proc.AttachBitmap(bw.get());
    proc.Negative();
    for (int32_t y = 0; y < 3; ++y)
      for (int32_t x = 0; x < w; ++x)
        EXPECT_NE(bool(bw->Scanline(y)[x >> 3] & (0x80 >> (x & 7))),
                  bool(copy->Scanline(y)[x >> 3] & (0x80 >> (x & 7))));
    proc.Negative();
    EXPECT_EQ(Snapshot(*bw), Snapshot(*copy)) << w;
  }
}

TEST(ProcColors, TransparentColorsOfBothFormats) {
  auto img = MakeBitmap(4, 1, pxBGR24);
  SetPixel(*img, 0, 0, TBGR{10, 20, 30});
  SetPixel(*img, 1, 0, TBGR{10, 20, 31});  // red past the maximum
  SetPixel(*img, 2, 0, TBGR{5, 20, 30});   // blue at the minimum
  SetPixel(*img, 3, 0, TBGR{4, 20, 30});   // blue below it
  TPixoranProc proc;
  proc.AttachBitmap(img.get());
  proc.SetTransparentColors(TBGR{5, 20, 30}, TBGR{10, 20, 30}, 0);
  EXPECT_EQ(img->GetAlpha(0, 0), 0);
  EXPECT_EQ(img->GetAlpha(1, 0), 255);
  EXPECT_EQ(img->GetAlpha(2, 0), 0);
  EXPECT_EQ(img->GetAlpha(3, 0), 255);

  for (uint8_t red : {0, 1}) {
    auto bw = MakeBitmap(10, 1, pxBW1);
    bw->Scanline(0)[0] = 0xA5;  // 1010 0101
    proc.AttachBitmap(bw.get());
    proc.SetTransparentColors(TBGR{0, 0, red}, TBGR{}, 9);
    for (int32_t x = 0; x < 8; ++x) {
      const bool set = (0xA5 >> (7 - x)) & 1;
      EXPECT_EQ(bw->GetAlpha(x, 0), set == (red != 0) ? 9 : 255) << x;
    }
    EXPECT_EQ(bw->GetAlpha(9, 0), red ? 255 : 9);
  }
}

TEST(ProcColors, RedEyeValuesRoundHalfToEven) {
  struct Case {
    TBGR in, out;
  };
  const Case cases[] = {
      {{255, 255, 255}, {255, 255, 255}},  // q = 0.5: unchanged
      {{0, 0, 255}, {0, 0, 0}},            // k = 0.5, q = 127.5, m = 0: black
      {{1, 0, 255}, {0, 0, 0}},            // blue 0.5 -> 0
      {{3, 0, 255}, {2, 0, 0}},            // blue 1.5 -> 2
      {{1, 6, 255}, {0, 4, 0}},            // green 4.5 -> 4
      {{30, 50, 100}, {25, 45, 64}},       // o = 0.638...
      {{60, 120, 200}, {56, 116, 175}},   {{40, 40, 90}, {29, 35, 42}},
      {{40, 100, 160}, {39, 99, 155}},    {{40, 100, 100}, {40, 100, 100}},  // q below 0.7
  };
  auto img = MakeBitmap(static_cast<int32_t>(std::size(cases)), 2, pxBGR24);
  for (int32_t i = 0; i < static_cast<int32_t>(std::size(cases)); ++i) SetPixel(*img, i, 1, cases[i].in);
  TPixoranProc proc;
  proc.AttachBitmap(img.get());
  proc.RemoveRedEyes();
  for (int32_t i = 0; i < static_cast<int32_t>(std::size(cases)); ++i) {
    const TBGR got = Pixel(*img, i, 1);
    EXPECT_EQ(got, cases[i].out) << i << ": " << int(got.b) << "," << int(got.g) << "," << int(got.r);
  }
  EXPECT_EQ(proc.UndoCaptions(), std::vector<std::string>{"RemoveRedEyes"});
}

TEST(ProcColors, ConvertToAtItsBoundaries) {
  struct Case {
    int32_t colors;
    bool threshold;
    TPXPixelFormat format;  // afterwards
    size_t maxColours;
  };
  const Case cases[] = {{-5, true, pxBW1, 2},      {2, false, pxBW1, 2},        {3, false, pxBGR24, 3},
                        {200, true, pxBGR24, 200}, {1024, false, pxBGR24, 256}, {1025, false, pxBGR24, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.colors);
    auto img = MakeBitmap(40, 30, pxBGR24, c.colors == 200);
    FillRandom(*img, 21);
    const auto before = Snapshot(*img);
    TPixoranProc proc;
    proc.AttachBitmap(img.get());
    std::vector<int> seen;
    proc.OnProgress = [&](TObject*, int p) { seen.push_back(p); };
    proc.ConvertTo(c.colors, c.threshold);
    EXPECT_EQ(proc.UndoCaptions(), std::vector<std::string>{"ConvertTo " + std::to_string(c.colors)});
    EXPECT_EQ(img->PixelFormat(), c.format);
    if (c.maxColours == 0) {
      EXPECT_EQ(Snapshot(*img), before);
      EXPECT_TRUE(seen.empty());
      continue;
    }
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 98);  // Trunc(100 / 30.5 * 30)
    if (c.format == pxBGR24) {
      EXPECT_LE(Colours(*img).size(), c.maxColours);
    }
    proc.Undo();
    EXPECT_EQ(Snapshot(*img), before);
  }

  // Threshold at the mean: one dark pixel among bright ones turns black alone.
  auto img = MakeBitmap(5, 4, pxBGR24);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 5; ++x) SetPixel(*img, x, y, TBGR{200, 200, 200});
  SetPixel(*img, 2, 1, TBGR{0, 0, 0});
  TPixoranProc proc;
  proc.AttachBitmap(img.get());
  proc.ConvertTo(2, true);
  ASSERT_EQ(img->PixelFormat(), pxBW1);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 5; ++x)
      EXPECT_EQ(bool(img->Scanline(y)[0] & (0x80 >> x)), !(x == 2 && y == 1)) << x << "," << y;
}

TEST(ProcColors, ConvertToPaletteIsClampedToThePalettesSize) {
  auto img = MakeBitmap(30, 20, pxBGR24);
  FillRandom(*img, 31);
  TPixoranProc proc;
  proc.AttachBitmap(img.get());

  // Zero colours: nothing at all, not even the undo entry.
  std::vector<TBGR> none;
  proc.ConvertToPalette(5, none, false);
  EXPECT_EQ(proc.UndoCount(), 0);

  // More colours asked than the palette holds: the palette's size wins.
  std::vector<TBGR> four(4, TBGR{1, 2, 3});
  proc.ConvertToPalette(300, four, false);
  EXPECT_EQ(proc.UndoCaptions(), std::vector<std::string>{"ConvertToPalette"});
  const auto colours = Colours(*img);
  EXPECT_LE(colours.size(), 4u);
  std::set<int32_t> entries;
  for (TBGR c : four) entries.insert(BGRToInt(c));
  for (int32_t c : colours) EXPECT_TRUE(entries.count(c)) << c;
}

TEST(ProcColors, ConvertToPaletteBelowThreeColoursFillsBothEntries) {
  // Any count below 3 (negative too) makes the image 1-bit: black and
  // white in the palette, as far as it goes; past it nothing is written.
  struct Case {
    int32_t numColors;
    size_t size;  // of the palette; one sentinel entry follows it
    int32_t set;  // entries written
  };
  const TBGR untouched{9, 9, 9};
  for (const Case& c :
       {Case{2, 2, 2}, Case{1, 2, 2}, Case{1, 4, 2}, Case{-3, 2, 2}, Case{1, 1, 1}, Case{2, 1, 1}, Case{-1, 1, 1}}) {
    SCOPED_TRACE(::testing::Message() << c.numColors << " colours, palette of " << c.size);
    auto img = MakeBitmap(30, 20, pxBGR24);
    FillRandom(*img, 32);
    TPixoranProc proc;
    proc.AttachBitmap(img.get());
    std::vector<TBGR> storage(c.size + 1, untouched);
    proc.ConvertToPalette(c.numColors, std::span<TBGR>(storage).first(c.size), true);
    EXPECT_EQ(img->PixelFormat(), pxBW1);
    const TBGR want[] = {TBGR{0, 0, 0}, TBGR{255, 255, 255}};
    for (size_t i = 0; i < storage.size(); ++i)
      EXPECT_EQ(storage[i], static_cast<int32_t>(i) < c.set ? want[i] : untouched) << i;
  }
}

TEST(ProcColors, QuantizeBitmapKeepsAFewColoursExactly) {
  // Five colours and a palette of five: the image comes back unchanged.
  auto img = MakeBitmap(25, 9, pxBGR24, true);
  const TBGR five[] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {9, 9, 9}, {200, 100, 50}};
  for (int32_t y = 0; y < 9; ++y)
    for (int32_t x = 0; x < 25; ++x) SetPixel(*img, x, y, five[(x + y) % 5]);
  const auto before = Snapshot(*img);
  std::vector<TBGR> palette(5);
  QuantizeBitmap(*img, 5, palette);
  EXPECT_EQ(Snapshot(*img), before);
  std::set<int32_t> got, want;
  for (TBGR c : palette) got.insert(BGRToInt(c));
  for (TBGR c : five) want.insert(BGRToInt(c));
  EXPECT_EQ(got, want);
  // Other formats are left alone.
  auto grey = MakeBitmap(4, 4, pxGray8);
  FillRandom(*grey, 2);
  const auto g = Snapshot(*grey);
  QuantizeBitmap(*grey, 3, {});
  EXPECT_EQ(Snapshot(*grey), g);
}

}  // namespace
}  // namespace pixoran
