// The magic wand: regions bounded exactly by drawn edges at several
// tolerances, 4-connection against the global colour match, the maximum
// filter, outlines along pixel edges checked by filling them back into a
// mask, other pixel formats and temporary-file rows.
#include "view/pxmagicwand.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/pxmask.h"

using namespace pixoran;

namespace {

// A grey picture drawn from a character map: '.' background 100, '#' edge
// of value edge, digits 0-9 as 100 + digit * step.
std::unique_ptr<TPXBitmap> Draw(const std::vector<std::string>& rows, uint8_t edge, int step = 1,
                                TPXPixelFormat f = pxBGR24, bool tempFile = false) {
  auto b = std::make_unique<TPXBitmap>();
  b->MemoryThreshold = tempFile ? 0 : std::numeric_limits<int64_t>::max();
  const int32_t w = static_cast<int32_t>(rows[0].size()), h = static_cast<int32_t>(rows.size());
  b->Allocate(w, h, pxBGR24);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* p = b->Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      const char c = rows[static_cast<size_t>(y)][static_cast<size_t>(x)];
      const uint8_t v = c == '#' ? edge : c == '.' ? 100 : static_cast<uint8_t>(100 + (c - '0') * step);
      p[3 * x] = p[3 * x + 1] = p[3 * x + 2] = v;
    }
  }
  if (f != pxBGR24) b->ConvertPixelFormat(f);
  return b;
}

std::set<std::pair<int, int>> MaskPixels(const TPXMask& m) {
  std::set<std::pair<int, int>> out;
  for (int32_t y = 0; y < m.Height(); ++y)
    for (int32_t x = 0; x < m.Width(); ++x)
      if (m.GetPixel(x, y)) out.insert({x, y});
  return out;
}

std::set<std::pair<int, int>> Chars(const std::vector<std::string>& rows, const std::string& which) {
  std::set<std::pair<int, int>> out;
  for (size_t y = 0; y < rows.size(); ++y)
    for (size_t x = 0; x < rows[y].size(); ++x)
      if (which.find(rows[y][x]) != std::string::npos) out.insert({static_cast<int>(x), static_cast<int>(y)});
  return out;
}

const std::vector<std::string> kRing = {
    "..........",  //
    ".#######..",  //
    ".#01234#..",  //
    ".#56789#..",  //
    ".#01234#..",  //
    ".#######..",  //
    "..........",
};

// The 4-connected region by a plain breadth-first search over GetPixelAsRGB.
std::set<std::pair<int, int>> Reference(TPXBitmap& b, int x0, int y0, int tol) {
  const TBGR s = b.GetPixelAsRGB(x0, y0);
  auto match = [&](int x, int y) {
    const TBGR c = b.GetPixelAsRGB(x, y);
    return std::abs(c.b - s.b) <= tol && std::abs(c.g - s.g) <= tol && std::abs(c.r - s.r) <= tol;
  };
  std::set<std::pair<int, int>> seen{{x0, y0}};
  std::vector<std::pair<int, int>> todo{{x0, y0}};
  while (!todo.empty()) {
    const auto [x, y] = todo.back();
    todo.pop_back();
    for (const auto& [dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
      const int nx = x + dx, ny = y + dy;
      if (nx < 0 || ny < 0 || nx >= b.Width() || ny >= b.Height() || seen.count({nx, ny}) || !match(nx, ny)) continue;
      seen.insert({nx, ny});
      todo.push_back({nx, ny});
    }
  }
  return seen;
}

TEST(MagicWand, FillsStopExactlyAtTheDrawnEdge) {
  // Inside the ring values run 100..109 (step 1) or 100..136 (step 4) and the
  // ring is 200; the tolerance decides how many inner digits join the seed,
  // the ring never does. Seeds inside and outside the ring.
  struct Case {
    int step, tolerance, x, y;
    size_t count;
  };
  const Case cases[] = {
      {1, 0, 2, 2, 1}, {1, 4, 2, 2, 5},   {1, 5, 2, 2, 11}, {1, 9, 2, 2, 15},  {1, 99, 2, 2, 15},
      {4, 8, 2, 2, 3}, {4, 20, 2, 2, 11}, {1, 0, 0, 0, 35}, {1, 99, 9, 6, 35}, {4, 36, 6, 3, 15},
  };
  for (const Case& c : cases) {
    auto b = Draw(kRing, 200, c.step);
    const auto expected = Reference(*b, c.x, c.y, c.tolerance);
    ASSERT_EQ(expected.size(), c.count) << "reference, case tolerance " << c.tolerance;
    TPXMask flood;
    flood.Allocate(b->Width(), b->Height(), 1);
    ASSERT_TRUE(MagicWandFloodFill(*b, c.x, c.y, 1, flood, c.tolerance, false));
    EXPECT_EQ(MaskPixels(flood), expected) << "step " << c.step << " tolerance " << c.tolerance;
    flood.SyncBox();
    const int32_t x1 = flood.X1, y1 = flood.Y1, x2 = flood.X2, y2 = flood.Y2;
    TPXMask again;
    again.Allocate(b->Width(), b->Height(), 1);
    MagicWandFloodFill(*b, c.x, c.y, 1, again, c.tolerance, false);
    EXPECT_EQ(again.X1, x1);
    EXPECT_EQ(again.Y1, y1);
    EXPECT_EQ(again.X2, x2);
    EXPECT_EQ(again.Y2, y2);

    // The outline filled back gives the same pixels where the region has no
    // holes (the seeds inside the ring).
    if (c.x == 0 || c.x == 9) continue;
    const std::vector<TPXPoint> outline = MagicWandPolygon(*b, c.x, c.y, c.tolerance, false);
    ASSERT_FALSE(outline.empty());
    TPXMask back;
    back.Allocate(b->Width(), b->Height(), 1);
    back.FillPolygons(255, outline.data(), static_cast<int32_t>(outline.size()));
    EXPECT_EQ(MaskPixels(back), expected) << "outline, tolerance " << c.tolerance;
  }
}

TEST(MagicWand, OutlineCornersAndMaximumFilter) {
  // A uniform picture: the whole image, every vertex an image corner.
  auto uniform = Draw({".....", ".....", "....."}, 0);
  for (int32_t tol : {0, 15}) {
    const std::vector<TPXPoint> poly = MagicWandPolygon(*uniform, 2, 1, tol, false);
    ASSERT_FALSE(poly.empty());
    std::set<std::pair<int, int>> corners;
    for (const TPXPoint& p : poly) {
      EXPECT_TRUE((p.X == 0 || p.X == 5) && (p.Y == 0 || p.Y == 3)) << p.X << "," << p.Y;
      corners.insert({p.X, p.Y});
    }
    EXPECT_EQ(corners.size(), 4u);
  }
  // One isolated pixel: its four corners.
  auto dot = Draw({"#####", "##.##", "#####"}, 0);
  std::set<std::pair<int, int>> corners;
  for (const TPXPoint& p : MagicWandPolygon(*dot, 2, 1, 10, false)) corners.insert({p.X, p.Y});
  EXPECT_EQ(corners, (std::set<std::pair<int, int>>{{2, 1}, {3, 1}, {3, 2}, {2, 2}}));

  // Two regions touching at a corner: the fill takes the seed's, the colour
  // match both; the maximum filter grows the fill by one pixel each way.
  const std::vector<std::string> diag = {
      "######",  //
      "#..###",  //
      "#..###",  //
      "###..#",  //
      "###..#",  //
      "######",
  };
  auto b = Draw(diag, 0);
  TPXMask fill, match, grown;
  for (TPXMask* m : {&fill, &match, &grown}) m->Allocate(6, 6, 8);
  ASSERT_TRUE(MagicWandFloodFill(*b, 1, 1, 200, fill, 0, false));
  ASSERT_TRUE(MagicWandColorMatch(*b, 1, 1, 200, match, 0));
  ASSERT_TRUE(MagicWandFloodFill(*b, 1, 1, 200, grown, 0, true));
  EXPECT_EQ(MaskPixels(fill), Chars({diag[0], diag[1], diag[2], "######", "######", "######"}, "."));
  EXPECT_EQ(MaskPixels(match), Chars(diag, "."));
  EXPECT_EQ(grown.X1, 0);
  EXPECT_EQ(grown.Y1, 0);
  EXPECT_EQ(grown.X2, 3);
  EXPECT_EQ(grown.Y2, 3);
  EXPECT_EQ(MaskPixels(grown).size(), 16u);
  EXPECT_EQ(fill.GetPixel(1, 1), 200);
  // Outside the image: nothing, the mask unchanged.
  EXPECT_FALSE(MagicWandFloodFill(*b, 6, 1, 200, fill, 0, false));
  EXPECT_FALSE(MagicWandColorMatch(*b, -1, 1, 200, fill, 0));
  EXPECT_TRUE(MagicWandPolygon(*b, 1, 6, 0, false).empty());
  EXPECT_EQ(MaskPixels(fill).size(), 4u);
}

TEST(MagicWand, OtherFormatsAndTemporaryFileRows) {
  // The same ring through grey, palette and temporary-file storage selects
  // the same pixels as 24-bit rows; a random picture's colour match agrees
  // with a per-pixel test through GetPixelAsRGB.
  auto ref = Draw(kRing, 200, 4);
  TPXMask expected;
  expected.Allocate(ref->Width(), ref->Height(), 1);
  ASSERT_TRUE(MagicWandFloodFill(*ref, 3, 2, 1, expected, 12, false));
  for (TPXPixelFormat f : {pxGray8, pxPal8, pxGray16}) {
    for (bool temp : {false, true}) {
      auto b = Draw(kRing, 200, 4, f, temp);
      TPXMask m;
      m.Allocate(b->Width(), b->Height(), 1);
      ASSERT_TRUE(MagicWandFloodFill(*b, 3, 2, 1, m, 12, false)) << int(f);
      EXPECT_EQ(MaskPixels(m), MaskPixels(expected)) << "format " << int(f) << " temp " << temp;
    }
  }
  TPXBitmap rnd;
  rnd.MemoryThreshold = std::numeric_limits<int64_t>::max();
  rnd.Allocate(37, 23, pxBGR24);
  std::mt19937 rng(7);
  for (int32_t y = 0; y < 23; ++y) {
    uint8_t* p = rnd.Scanline(y);
    for (int32_t i = 0; i < 37 * 3; ++i) p[i] = static_cast<uint8_t>(100 + rng() % 40);
  }
  TPXMask m;
  m.Allocate(37, 23, 1);
  ASSERT_TRUE(MagicWandColorMatch(rnd, 5, 5, 1, m, 12));
  const TBGR s = rnd.GetPixelAsRGB(5, 5);
  for (int32_t y = 0; y < 23; ++y)
    for (int32_t x = 0; x < 37; ++x) {
      const TBGR c = rnd.GetPixelAsRGB(x, y);
      const bool in = std::abs(c.b - s.b) <= 12 && std::abs(c.g - s.g) <= 12 && std::abs(c.r - s.r) <= 12;
      ASSERT_EQ(m.GetPixel(x, y) != 0, in) << x << "," << y;
    }
}

// Without memory for the outline grid the wand gives no outline (an empty
// selection) instead of failing. The child process gets a data limit with
// room for the visited map and the region's bits but not for the grid. The
// sanitizers reserve memory their own way, so they skip it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PX_WAND_LIMIT_TEST 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PX_WAND_LIMIT_TEST 0
#endif
#endif
#ifndef PX_WAND_LIMIT_TEST
#define PX_WAND_LIMIT_TEST 1
#endif

#if PX_WAND_LIMIT_TEST
int WandUnderDataLimit() {
  TPXBitmap b;
  b.MemoryThreshold = std::numeric_limits<int64_t>::max();
  b.Allocate(4000, 4000, pxBW1);  // one region: a 32 MB outline grid
  long size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld %ld %ld %ld %ld", &size, &resident, &shared, &text, &lib, &data) != 6) data = 0;
    std::fclose(f);
  }
  const rlim_t limit = static_cast<rlim_t>(data) * 4096 + (16u << 20);
  const rlimit r{limit, limit};
  if (data == 0 || setrlimit(RLIMIT_DATA, &r) != 0) return 2;
  const bool empty = MagicWandPolygon(b, 5, 5, 0, false).empty();
  TPXMask m;
  const bool filled = m.Allocate(4000, 4000, 1) && MagicWandFloodFill(b, 5, 5, 1, m, 0, false) && !m.IsEmpty();
  return empty && filled ? 0 : 1;
}

TEST(MagicWandDeathTest, NoMemoryForTheGridGivesNoOutline) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(WandUnderDataLimit()), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
