// The Shen-Castan edge detector and EdgeDetect.
#include "proc/pxedges.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/kopxutils_colors.h"
#include "proc/pixoranproc.h"
#include "proc_support.h"

namespace pixoran {
namespace {

using testing::FillRandom;
using testing::MakeBitmap;
using testing::Snapshot;

std::unique_ptr<TPXBitmap> Filled(int32_t w, int32_t h, TBGR c, bool tempFile = false) {
  auto b = MakeBitmap(w, h, pxBGR24, tempFile);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) std::memcpy(b->Scanline(y) + 3 * x, &c, 3);
  return b;
}

void FillBox(TPXBitmap& b, int32_t x1, int32_t y1, int32_t x2, int32_t y2, TBGR c) {
  for (int32_t y = y1; y <= y2; ++y)
    for (int32_t x = x1; x <= x2; ++x) std::memcpy(b.Scanline(y) + 3 * x, &c, 3);
}

// Edge pixels (clear bits) of a 1-bit result as (x, y), sorted.
std::vector<std::pair<int32_t, int32_t>> Edges(TPXBitmap& b) {
  std::vector<std::pair<int32_t, int32_t>> out;
  for (int32_t y = 0; y < b.Height(); ++y)
    for (int32_t x = 0; x < b.Width(); ++x)
      if (!GetBit(b.Scanline(y), x)) out.emplace_back(x, y);
  std::sort(out.begin(), out.end());
  return out;
}

// The border pixels of the box x1..x2, y1..y2, sorted.
std::vector<std::pair<int32_t, int32_t>> Border(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  std::vector<std::pair<int32_t, int32_t>> out;
  for (int32_t x = x1; x <= x2; ++x)
    for (int32_t y = y1; y <= y2; ++y)
      if (x == x1 || x == x2 || y == y1 || y == y2) out.emplace_back(x, y);
  return out;
}

TEST(EdgeDetect, EdgesOfADrawnRectangleLandOnItsBorder) {
  struct Case {
    int32_t w, h, x1, y1, x2, y2;
    bool tempFile;
  };
  // The last one is smaller than the 27-pixel border: it wraps around from
  // the opposite side more than once.
  const Case cases[] = {
      {60, 40, 15, 10, 44, 29, false}, {200, 150, 40, 30, 160, 99, true}, {20, 16, 6, 5, 13, 10, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h);
    auto b = Filled(c.w, c.h, TBGR{255, 255, 255}, c.tempFile);
    FillBox(*b, c.x1, c.y1, c.x2, c.y2, TBGR{0, 0, 0});
    TPixoranProc proc;
    proc.AttachBitmap(b.get());
    proc.EdgeDetect(7, 0, 0.99, 0.9, true);
    ASSERT_EQ(b->PixelFormat(), pxBW1);
    ASSERT_EQ(b->Width(), c.w);
    ASSERT_EQ(b->Height(), c.h);
    EXPECT_EQ(Edges(*b), Border(c.x1, c.y1, c.x2, c.y2));
    EXPECT_EQ(proc.UndoCaptions(), std::vector<std::string>{"EdgeDetect"});
  }
}

TEST(EdgeDetect, UniformImagesGiveAllWhite) {
  for (TBGR colour : {TBGR{0, 0, 0}, TBGR{128, 128, 128}, TBGR{255, 255, 255}, TBGR{17, 200, 93}})
    for (auto [w, h] : {std::pair{64, 48}, std::pair{5, 3}, std::pair{1, 1}}) {
      auto b = Filled(w, h, colour);
      ASSERT_TRUE(DetectEdges(*b, *b, TPXEdgeParams{}));
      EXPECT_TRUE(Edges(*b).empty()) << int(colour.g) << " " << w << "x" << h;
    }
}

TEST(EdgeDetect, FirstColumnAndLastRowStayWhiteAtAnySize) {
  for (auto [w, h] : {std::pair{90, 70}, std::pair{26, 26}, std::pair{2, 40}, std::pair{40, 2}, std::pair{3, 1}}) {
    SCOPED_TRACE(::testing::Message() << w << "x" << h);
    auto src = MakeBitmap(w, h, pxBGR24);
    FillRandom(*src, 21);
    TPXBitmap dest;
    ASSERT_TRUE(DetectEdges(*src, dest, TPXEdgeParams{}));
    ASSERT_EQ(dest.PixelFormat(), pxBW1);
    ASSERT_EQ(dest.Width(), w);
    ASSERT_EQ(dest.Height(), h);
    for (auto [x, y] : Edges(dest)) {
      EXPECT_NE(x, 0);
      EXPECT_NE(y, h - 1);
    }
    if (w >= 26) {
      EXPECT_FALSE(Edges(dest).empty());
    }
  }
}

TEST(EdgeDetect, ThinningKeepsASubsetOfTheEdges) {
  auto src = MakeBitmap(120, 90, pxBGR24);
  FillRandom(*src, 8);
  for (int32_t i = 0; i < 6; ++i) FillBox(*src, 10 + 15 * i, 10 + 10 * i, 30 + 15 * i, 20 + 10 * i, TBGR{0, 0, 0});
  auto run = [&](TPXEdgeParams p) {
    TPXBitmap dest;
    EXPECT_TRUE(DetectEdges(*src, dest, p));
    return Edges(dest);
  };
  const auto all = run(TPXEdgeParams{});
  TPXEdgeParams thin;
  thin.ThinFactor = 2;
  const auto fewer = run(thin);
  EXPECT_LT(fewer.size(), all.size());
  EXPECT_GT(fewer.size(), all.size() / 4);
  EXPECT_TRUE(std::includes(all.begin(), all.end(), fewer.begin(), fewer.end()));
  // Windows past 51 (or below 1) are taken as 51 (or 1).
  TPXEdgeParams wide, widest, none, one;
  wide.WindowSize = 51;
  widest.WindowSize = 100000;
  none.WindowSize = -3;
  one.WindowSize = 1;
  EXPECT_EQ(run(widest), run(wide));
  EXPECT_EQ(run(none), run(one));
}

TEST(EdgeDetect, RefusedImagesStayAsTheyWereWithoutUndo) {
  for (TPXPixelFormat f : {pxBW1, pxPal8, pxGray8, pxGray16, pxCMYK}) {
    auto b = MakeBitmap(30, 30, f);
    FillRandom(*b, 4);
    const auto before = Snapshot(*b);
    TPixoranProc proc;
    proc.AttachBitmap(b.get());
    proc.EdgeDetect(7, 0, 0.99, 0.9, true);
    EXPECT_EQ(Snapshot(*b), before) << int(f);
    EXPECT_EQ(proc.UndoCount(), 0);
  }
  // A 24-bit image with a side of 0.
  auto empty = MakeBitmap(0, 5, pxBGR24);
  TPixoranProc proc;
  proc.AttachBitmap(empty.get());
  int reports = 0;
  proc.OnProgress = [&](TObject*, int) { ++reports; };
  proc.EdgeDetect(7, 0, 0.99, 0.9, true);
  EXPECT_EQ(empty->PixelFormat(), pxBGR24);
  EXPECT_EQ(proc.UndoCount(), 0);
  EXPECT_EQ(reports, 0);
}

TEST(EdgeDetect, ProgressInSixEqualSteps) {
  auto b = Filled(40, 30, TBGR{9, 9, 9});
  TPixoranProc proc;
  proc.AttachBitmap(b.get());
  std::vector<int> steps;
  proc.OnProgress = [&](TObject* sender, int p) {
    EXPECT_EQ(sender, &proc);
    steps.push_back(p);
  };
  proc.EdgeDetect(7, 0, 0.99, 0.9, true);
  EXPECT_EQ(steps, (std::vector<int>{16, 33, 50, 66, 83, 100}));
}

TEST(EdgeDetect, LongConnectedEdgesOfALargeImage) {
  // A square spiral band, 6 pixels wide, 6 apart, winding inwards from the
  // top-left: its outer wall is one chain of about half a million pixels
  // that turns only at convex corners, so one trace follows all of it, far
  // deeper than any stack would take as nested calls.
  constexpr int32_t w = 3000, h = 2000, pitch = 12, band = 6;
  auto b = Filled(w, h, TBGR{255, 255, 255});
  int32_t left = 10, top = 10, right = w - 11, bottom = h - 11, start = left, loops = 0;
  for (; right - left > 2 * pitch && bottom - top > 2 * pitch; ++loops) {
    FillBox(*b, start, top, right, top + band - 1, TBGR{0, 0, 0});
    FillBox(*b, right - band + 1, top, right, bottom, TBGR{0, 0, 0});
    FillBox(*b, left, bottom - band + 1, right, bottom, TBGR{0, 0, 0});
    FillBox(*b, left, top + pitch, left + band - 1, bottom, TBGR{0, 0, 0});
    start = left;
    left += pitch, top += pitch, right -= pitch, bottom -= pitch;
  }
  TPixoranProc proc;
  proc.SetAutoUndo(false);
  proc.AttachBitmap(b.get());
  proc.EdgeDetect(7, 0, 0.99, 0.9, true);
  ASSERT_EQ(b->PixelFormat(), pxBW1);
  // Every loop's top wall is traced, and both walls of the band's long sides.
  for (int32_t k = 0; k < loops; ++k) {
    const int32_t y = 10 + k * pitch;
    EXPECT_FALSE(GetBit(b->Scanline(y), 1500)) << k;
    EXPECT_FALSE(GetBit(b->Scanline(y + band - 1), 1500)) << k;
    EXPECT_TRUE(GetBit(b->Scanline(y + band / 2), 1500)) << k;
    EXPECT_TRUE(GetBit(b->Scanline(y + band + 2), 1500)) << k;
  }
  int64_t edges = 0;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) edges += !GetBit(b->Scanline(y), x);
  EXPECT_GT(edges, 900000);
}

// A photograph-like picture: gradients, a checkerboard of soft steps,
// a texture and noise, so candidates and windows of every mix occur.
std::unique_ptr<TPXBitmap> PhotoLike(int32_t w, int32_t h, uint32_t seed) {
  auto b = MakeBitmap(w, h, pxBGR24);
  uint32_t s = seed;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* p = b->Scanline(y);
    for (int32_t x = 0; x < w; ++x, p += 3) {
      s = s * 1664525u + 1013904223u;
      const int32_t noise = static_cast<int32_t>((s >> 24) % 21) - 10;
      const int32_t step = ((x / std::max(1, w / 7) + y / std::max(1, h / 5)) % 2) * 50;
      const int32_t texture = static_cast<int32_t>(25 * std::sin(x * 0.07) * std::cos(y * 0.05));
      p[0] = static_cast<uint8_t>(std::clamp(60 + x * 120 / w + step + noise, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(200 - y * 150 / h + texture + noise, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(90 + step + noise, 0, 255));
    }
  }
  return b;
}

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t v : bytes) h = (h ^ v) * 1099511628211ull;
  return h;
}

// The 1-bit results of the test pictures, as fingerprints of the direct
// window sums the detector used to take: the running sums must give the
// same drawing bit for bit.
TEST(EdgeDetect, RunningWindowSumsGiveTheSameDrawings) {
  struct Case {
    int picture;
    int32_t window, thin;
    bool hysteresis;
    uint64_t want;
  };
  const Case cases[] = {
      {0, 7, 0, true, 13369651562563566580ull},  {0, 51, 0, true, 4656727618534906053ull},
      {0, 1, 0, false, 4378238539670556197ull},  {0, 25, 3, true, 11765567503289047199ull},
      {1, 7, 0, true, 1211468327343631958ull},   {1, 51, 0, false, 8221973010387132527ull},
      {1, 14, 2, true, 18393610204151501521ull}, {2, 7, 0, true, 14638747424541345364ull},
      {2, 51, 0, true, 9067463152523018969ull},  {2, 3, 0, false, 1977443592962680881ull},
  };
  std::vector<std::unique_ptr<TPXBitmap>> pictures;
  pictures.push_back(PhotoLike(320, 240, 12345));
  pictures.push_back(MakeBitmap(131, 97, pxBGR24));
  FillRandom(*pictures.back(), 8);
  for (int32_t i = 0; i < 6; ++i)
    FillBox(*pictures.back(), 10 + 15 * i, 10 + 10 * i, 30 + 15 * i, 20 + 10 * i, TBGR{0, 0, 0});
  pictures.push_back(PhotoLike(77, 260, 99));
  for (const Case& c : cases) {
    TPXEdgeParams p;
    p.WindowSize = c.window;
    p.ThinFactor = c.thin;
    p.Hysteresis = c.hysteresis;
    TPXBitmap dest;
    ASSERT_TRUE(DetectEdges(*pictures[static_cast<size_t>(c.picture)], dest, p));
    EXPECT_EQ(Fnv1a(Snapshot(dest)), c.want) << c.picture << " window " << c.window << " edges " << Edges(dest).size();
  }
}

// The gradient step against the window sums taken directly, on a
// Laplacian and smoothed values with runs of exact zeros: a window whose
// values off (or on) the Laplacian are all 0 has that mean 0.
TEST(EdgeDetect, GradientsAreTheWindowMeansTakenDirectly) {
  constexpr int64_t w = 90, h = 70, inset = kPXEdgeInset;
  std::mt19937 rng(5);
  std::vector<float> smooth(static_cast<size_t>(w * h));
  std::vector<uint8_t> lap(static_cast<size_t>(w * h), 0);
  for (int64_t r = 0; r < h; ++r)
    for (int64_t c = 0; c < w; ++c) {
      const bool zeros = c < 40 && r < 45;  // on or off: all 0 there
      smooth[static_cast<size_t>(r * w + c)] =
          zeros && (rng() % 3 != 0) ? 0.0f : static_cast<float>(rng() % 25600) / 100;
      if (r >= inset && r < h - inset && c >= inset && c < w - inset)
        lap[static_cast<size_t>(r * w + c)] = zeros ? (c % 2 == 0) : rng() % 2;
    }
  for (int32_t window : {1, 4, 7, 51}) {
    std::vector<float> got(smooth.size(), -1.0f);
    EdgeGradients(smooth.data(), lap.data(), got.data(), w, h, window);
    const int64_t half = window / 2;
    int64_t candidates = 0;
    for (int64_t r = 0; r < h; ++r)
      for (int64_t c = 0; c < w; ++c) {
        const size_t i = static_cast<size_t>(r * w + c);
        const bool interior = r >= inset && r < h - inset && c >= inset && c < w - inset;
        auto L = [&](int64_t dr, int64_t dc) { return lap[static_cast<size_t>((r + dr) * w + c + dc)]; };
        auto S = [&](int64_t dr, int64_t dc) { return smooth[static_cast<size_t>((r + dr) * w + c + dc)]; };
        bool candidate = false;
        if (interior && L(0, 0) == 1) {
          if (L(1, 0) == 0) candidate = S(1, 0) - S(-1, 0) > 0;
          else if (L(0, 1) == 0) candidate = S(0, 1) - S(0, -1) > 0;
          else if (L(-1, 0) == 0) candidate = S(1, 0) - S(-1, 0) < 0;
          else if (L(0, -1) == 0) candidate = S(0, 1) - S(0, -1) < 0;
        }
        if (!candidate) {
          ASSERT_EQ(got[i], 0.0f) << r << " " << c;
          continue;
        }
        ++candidates;
        double sum[2] = {0, 0};
        int64_t count[2] = {0, 0};
        for (int64_t dr = -half; dr <= half; ++dr)
          for (int64_t dc = -half; dc <= half; ++dc) {
            sum[L(dr, dc)] += S(dr, dc);
            ++count[L(dr, dc)];
          }
        const double off = sum[0] != 0 ? sum[0] / count[0] : 0, on = sum[1] != 0 ? sum[1] / count[1] : 0;
        ASSERT_FLOAT_EQ(got[i], static_cast<float>(off - on)) << window << ": " << r << " " << c;
      }
    EXPECT_GT(candidates, 100) << window;
  }
}

}  // namespace
}  // namespace pixoran
