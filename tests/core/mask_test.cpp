#include "core/pxmask.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"

namespace pixoran {
namespace {

using Rows = std::vector<std::string>;

// The mask as text, one string per row, 'X' for a set pixel.
Rows Picture(const TPXMask& m) {
  Rows out;
  for (int32_t y = 0; y < m.Height(); ++y) {
    std::string row;
    for (int32_t x = 0; x < m.Width(); ++x) row += m.GetPixel(x, y) ? 'X' : '.';
    out.push_back(row);
  }
  return out;
}

// A mask set from text ('X' = 255, '.' = 0), with the box set from it.
void Draw(TPXMask& m, const Rows& pic, int32_t bits) {
  m.Allocate(static_cast<int32_t>(pic[0].size()), static_cast<int32_t>(pic.size()), bits);
  for (size_t y = 0; y < pic.size(); ++y)
    for (size_t x = 0; x < pic[y].size(); ++x)
      if (pic[y][x] == 'X') m.SetPixel(static_cast<int32_t>(x), static_cast<int32_t>(y), 255);
}

struct Box {
  int32_t x1, y1, x2, y2;
};
Box BoxOf(const TPXMask& m) { return Box{m.X1, m.Y1, m.X2, m.Y2}; }
void ExpectBox(const TPXMask& m, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  EXPECT_EQ(m.X1, x1);
  EXPECT_EQ(m.Y1, y1);
  EXPECT_EQ(m.X2, x2);
  EXPECT_EQ(m.Y2, y2);
}
int64_t CountSet(const TPXMask& m) {
  int64_t n = 0;
  for (int32_t y = 0; y < m.Height(); ++y)
    for (int32_t x = 0; x < m.Width(); ++x) n += m.GetPixel(x, y) != 0;
  return n;
}

// ------------------------------------------------------------------ storage

TEST(MaskStorage, FreshAndAllocated) {
  TPXMask m;
  EXPECT_TRUE(m.IsEmpty());
  EXPECT_FALSE(m.Full);
  EXPECT_EQ(m.Width(), 0);
  EXPECT_EQ(m.GetPixel(0, 0), 0);
  EXPECT_EQ(m.GetRowPointer(0), nullptr);

  ASSERT_TRUE(m.Allocate(33, 4, 1));
  EXPECT_EQ(m.RowLen(), 8);  // 33 bits padded to 64
  EXPECT_TRUE(m.IsEmpty());
  for (int32_t y = -1; y <= 4; ++y)
    for (int32_t x = -1; x <= 33; ++x) EXPECT_EQ(m.GetPixel(x, y), 0);

  ASSERT_TRUE(m.Allocate(5, 3, 8));
  EXPECT_EQ(m.RowLen(), 8);
  EXPECT_EQ(m.BitsPerPixel(), 8);

  EXPECT_FALSE(m.Allocate(5, 3, 4));
  EXPECT_EQ(m.Data(), nullptr);
  EXPECT_FALSE(m.Allocate(0, 3, 1));
  EXPECT_FALSE(m.Allocate(5, -1, 8));
}

// Rows are kept bottom-up; a 1-bit row starts with its most significant bit.
TEST(MaskStorage, RowsBottomUpAndBitOrder) {
  TPXMask m;
  ASSERT_TRUE(m.Allocate(10, 3, 1));
  m.SetPixel(0, 0, 1);
  m.SetPixel(9, 2, 1);
  const uint8_t* d = m.Data();
  EXPECT_EQ(m.GetRowPointer(0), d + 2 * m.RowLen());
  EXPECT_EQ(m.GetRowPointer(2), d);
  EXPECT_EQ(d[2 * m.RowLen()], 0x80);  // top row, leftmost pixel
  EXPECT_EQ(d[1], 0x40);               // bottom row, pixel 9 = bit 6 of byte 1
  EXPECT_EQ(m.GetPixel(0, 0), 255);
  EXPECT_EQ(m.GetPixel(9, 2), 255);
  EXPECT_TRUE(m.IsPointInside(9, 2));
  EXPECT_FALSE(m.IsPointInside(8, 2));

  TPXMask g;
  ASSERT_TRUE(g.Allocate(4, 2, 8));
  g.SetPixel(3, 0, 77);
  EXPECT_EQ(g.Data()[1 * g.RowLen() + 3], 77);
  EXPECT_EQ(g.GetPixel(3, 0), 77);
}

TEST(MaskStorage, FreeDataKeepsTheBox) {
  TPXMask m;
  m.Allocate(8, 8, 8);
  m.SetPixel(2, 3, 9);
  m.FreeData();
  EXPECT_EQ(m.Width(), 0);
  EXPECT_EQ(m.BitsPerPixel(), 0);
  EXPECT_EQ(m.RowLen(), 0);
  ExpectBox(m, 2, 3, 2, 3);
  m.SetPixel(0, 0, 1);  // no data: ignored
  EXPECT_EQ(m.GetPixel(0, 0), 0);
}

// --------------------------------------------------------- pixels and box

TEST(MaskPixels, BoxGrowsWithSetPixelsOnly) {
  TPXMask m;
  m.Allocate(20, 10, 1);
  m.SetPixel(5, 5, 0);
  EXPECT_TRUE(m.IsEmpty());
  m.SetPixel(7, 2, 1);
  ExpectBox(m, 7, 2, 7, 2);
  m.SetPixel(3, 8, 200);
  ExpectBox(m, 3, 2, 7, 8);
  m.SetPixel(25, 1, 1);  // outside: ignored
  m.SetPixel(-1, 1, 1);
  ExpectBox(m, 3, 2, 7, 8);
  m.SetPixel(3, 8, 0);  // clears the bit, the box stays
  EXPECT_EQ(m.GetPixel(3, 8), 0);
  ExpectBox(m, 3, 2, 7, 8);
}

TEST(MaskPixels, FullFollowsWrites) {
  TPXMask m;
  m.Allocate(9, 3, 1);
  m.Clear();
  EXPECT_FALSE(m.Full);
  EXPECT_TRUE(m.IsEmpty());
  m.Fill(255);
  EXPECT_TRUE(m.Full);
  m.SetPixel(1, 1, 7);  // any nonzero value is the full value of a 1-bit mask
  EXPECT_TRUE(m.Full);
  m.SetPixel(1, 1, 0);
  EXPECT_FALSE(m.Full);
  m.SetPixel(1, 1, 1);
  m.SyncFull();
  EXPECT_TRUE(m.Full);

  TPXMask g;
  g.Allocate(4, 4, 8);
  g.Fill(255);
  EXPECT_TRUE(g.Full);
  g.SetPixel(2, 2, 255);
  EXPECT_TRUE(g.Full);
  g.SetPixel(2, 2, 254);
  EXPECT_FALSE(g.Full);
  g.Fill(254);
  EXPECT_FALSE(g.Full);
  g.Fill(1);
  EXPECT_FALSE(g.Full);
}

// SyncFull looks at the pixels only, not at the padding after them.
TEST(MaskPixels, SyncFullIgnoresPadding) {
  for (int32_t w : {1, 7, 8, 9, 31, 32, 33}) {
    TPXMask m;
    m.Allocate(w, 3, 1);
    for (int32_t y = 0; y < 3; ++y) m.FillSpan(1, 0, y, w - 1);
    m.SyncFull();
    EXPECT_TRUE(m.Full) << w;
    m.SetPixel(w - 1, 2, 0);
    m.SyncFull();
    EXPECT_FALSE(m.Full) << w;

    TPXMask g;
    g.Allocate(w, 2, 8);
    for (int32_t y = 0; y < 2; ++y) g.FillSpan(255, 0, y, w - 1);
    g.SyncFull();
    EXPECT_TRUE(g.Full) << w;
    g.SetPixel(w - 1, 0, 128);
    g.SyncFull();
    EXPECT_FALSE(g.Full) << w;
  }
}

TEST(MaskPixels, FillSpan) {
  TPXMask m;
  m.Allocate(20, 3, 1);
  EXPECT_EQ(m.FillSpan(1, 3, 1, 12), 10);  // across a byte boundary
  EXPECT_EQ(Picture(m), (Rows{"....................", "...XXXXXXXXXX.......", "...................."}));
  EXPECT_TRUE(m.IsEmpty());  // the box is the caller's business
  EXPECT_EQ(m.FillSpan(1, -5, 0, 2), 3);
  EXPECT_EQ(m.FillSpan(1, 17, 2, 99), 3);
  EXPECT_EQ(m.FillSpan(1, 5, 2, 4), 0);
  // A 0 run clears the bits on a 1-bit mask.
  EXPECT_EQ(m.FillSpan(0, 5, 1, 9), 5);
  EXPECT_EQ(Picture(m), (Rows{"XXX.................", "...XX.....XXX.......", ".................XXX"}));
  // Rows outside the mask are skipped, not painted on the edge rows.
  EXPECT_EQ(m.FillSpan(1, 0, -1, 19), 0);
  EXPECT_EQ(m.FillSpan(1, 0, 3, 19), 0);
  EXPECT_EQ(m.FillSpan(1, 0, 1000, 19), 0);
  EXPECT_EQ(Picture(m), (Rows{"XXX.................", "...XX.....XXX.......", ".................XXX"}));
  // Within one byte.
  TPXMask b;
  b.Allocate(8, 1, 1);
  b.FillSpan(1, 2, 0, 4);
  EXPECT_EQ(b.Data()[0], 0x38);

  TPXMask g;
  g.Allocate(6, 2, 8);
  g.Fill(255);
  EXPECT_EQ(g.FillSpan(255, 0, 0, 5), 6);
  EXPECT_TRUE(g.Full);
  EXPECT_EQ(g.FillSpan(9, 1, 1, 2), 2);
  EXPECT_FALSE(g.Full);
  EXPECT_EQ(g.GetPixel(1, 1), 9);
  EXPECT_EQ(g.GetPixel(3, 1), 255);

  TPXMask f;
  f.Allocate(6, 2, 1);
  f.Fill(255);
  f.FillSpan(1, 0, 0, 5);
  EXPECT_TRUE(f.Full);
  f.FillSpan(0, 0, 0, 0);
  EXPECT_FALSE(f.Full);
}

TEST(MaskPixels, SyncBoxFromContent) {
  TPXMask m;
  Draw(m, {"..........", "....X.....", "..........", ".......X..", ".........."}, 1);
  m.SetEmptyBox();
  m.SyncBox();
  ExpectBox(m, 4, 1, 7, 3);
  m.Clear();
  m.SyncBox();
  EXPECT_TRUE(m.IsEmpty());
  // Padding bits after the width do not count.
  TPXMask p;
  p.Allocate(3, 2, 1);
  p.Fill(0);
  p.Data()[0] = 0x1F;  // bottom row: pixels 3..7 are padding
  p.SyncBox();
  EXPECT_TRUE(p.IsEmpty());
  p.Data()[0] = 0x3F;  // pixel 2 set
  p.SyncBox();
  ExpectBox(p, 2, 1, 2, 1);
}

// ----------------------------------------------------------------- resize

TEST(MaskResize, KeepsTopLeftContent) {
  TPXMask m;
  Draw(m, {"X........X", "..........", ".X......X.", "XXXXXXXXXX"}, 1);
  m.Resize(6, 3);
  EXPECT_EQ(Picture(m), (Rows{"X.....", "......", ".X...."}));
  ExpectBox(m, 0, 0, 5, 2);
  m.Resize(12, 5);
  EXPECT_EQ(Picture(m), (Rows{"X...........", "............", ".X..........", "............", "............"}));
  for (int32_t bits : {1, 8}) {
    TPXMask g;
    g.Allocate(5, 3, bits);
    g.SetPixel(4, 2, 200);
    g.Resize(9, 4);
    EXPECT_NE(g.GetPixel(4, 2), 0) << bits;
    EXPECT_EQ(CountSet(g), 1) << bits;
  }
}

// Fill writes the row padding too; growing must not turn it into selected
// columns, and a full mask that grew is no longer full.
TEST(MaskResize, GrowingAddsClearPixels) {
  for (int32_t bits : {1, 8}) {
    TPXMask m;
    m.Allocate(5, 2, bits);
    m.Fill(255);
    m.Resize(16, 3);
    EXPECT_FALSE(m.Full);
    EXPECT_EQ(CountSet(m), 10) << bits;
    for (int32_t x = 5; x < 16; ++x) EXPECT_EQ(m.GetPixel(x, 0), 0) << bits;
    TPXMask s;
    s.Allocate(5, 2, bits);
    s.Fill(255);
    s.Resize(3, 2);
    EXPECT_TRUE(s.Full);
  }
}

TEST(MaskResize, CutsAnyNonEmptyBox) {
  TPXMask m;
  m.Allocate(10, 10, 8);
  m.SetPixel(3, 2, 1);  // a one-column box: x1 = x2
  m.SetPixel(3, 9, 1);
  m.Resize(5, 6);
  ExpectBox(m, 3, 2, 3, 5);
  // A box wholly cut away becomes empty.
  TPXMask c;
  c.Allocate(10, 10, 1);
  c.SetPixel(8, 8, 1);
  c.Resize(5, 5);
  EXPECT_TRUE(c.IsEmpty());
  EXPECT_EQ(CountSet(c), 0);
  // An empty box stays empty.
  TPXMask e;
  e.Allocate(10, 10, 1);
  e.Resize(4, 4);
  EXPECT_TRUE(e.IsEmpty());
}

// ---------------------------------------------------------------- polygons

TEST(MaskPolygon, RectangleCoversHalfOpenArea) {
  TPXMask m;
  m.Allocate(6, 5, 1);
  const TPXPoint r[] = {{0, 0}, {4, 0}, {4, 3}, {0, 3}};
  EXPECT_EQ(m.FillPolygon(1, r, 4), 12);
  EXPECT_EQ(Picture(m), (Rows{"XXXX..", "XXXX..", "XXXX..", "......", "......"}));
  ExpectBox(m, 0, 0, 3, 2);
}

TEST(MaskPolygon, TriangleHandCounted) {
  TPXMask m;
  m.Allocate(9, 9, 8);
  const TPXPoint t[] = {{0, 0}, {8, 0}, {0, 8}};
  EXPECT_EQ(m.FillPolygon(200, t, 3), 36);
  EXPECT_EQ(Picture(m), (Rows{"XXXXXXXX.", "XXXXXXX..", "XXXXXX...", "XXXXX....", "XXXX.....", "XXX......", "XX.......",
                              "X........", "........."}));
  EXPECT_EQ(m.GetPixel(0, 0), 200);
  ExpectBox(m, 0, 0, 7, 7);
}

// Slopes that are not whole: x steps by dx div dy and the error term adds
// the extra step once past half a pixel; an exact half stays on the side of
// the edge's upper end.
TEST(MaskPolygon, EdgeSteppingRoundsToNearest) {
  TPXMask a;
  a.Allocate(7, 5, 1);
  const TPXPoint right[] = {{0, 0}, {6, 4}, {0, 4}};  // x = 1.5 y along the slope
  EXPECT_EQ(a.FillPolygon(1, right, 3), 8);
  EXPECT_EQ(Picture(a), (Rows{".......", "X......", "XXX....", "XXXX...", "......."}));

  TPXMask b;
  b.Allocate(7, 5, 1);
  const TPXPoint left[] = {{6, 0}, {6, 4}, {0, 4}};  // falling x: 6, 4.5, 3, 1.5
  EXPECT_EQ(b.FillPolygon(1, left, 3), 8);
  EXPECT_EQ(Picture(b), (Rows{".......", ".....X.", "...XXX.", "..XXXX.", "......."}));
}

// The same shapes starting above the mask: the edges crossing the first row
// inside are placed there directly and must land where stepping puts them.
TEST(MaskPolygon, EdgesEnteringFromAboveLandAsStepped) {
  // One row in, both edges sit on an exact half.
  TPXMask a;
  a.Allocate(7, 3, 1);
  const TPXPoint right[] = {{0, -1}, {6, 3}, {0, 3}};
  EXPECT_EQ(a.FillPolygon(1, right, 3), 8);
  EXPECT_EQ(Picture(a), (Rows{"X......", "XXX....", "XXXX..."}));

  TPXMask b;
  b.Allocate(7, 3, 1);
  const TPXPoint left[] = {{6, -1}, {6, 3}, {0, 3}};
  EXPECT_EQ(b.FillPolygon(1, left, 3), 8);
  EXPECT_EQ(Picture(b), (Rows{".....X.", "...XXX.", "..XXXX."}));

  // Two rows in.
  TPXMask a2;
  a2.Allocate(7, 2, 1);
  const TPXPoint right2[] = {{0, -2}, {6, 2}, {0, 2}};
  EXPECT_EQ(a2.FillPolygon(1, right2, 3), 7);
  EXPECT_EQ(Picture(a2), (Rows{"XXX....", "XXXX..."}));

  // Steeper and longer: x = 10 - 7 (y + 9) / 5 from far above.
  TPXMask c;
  c.Allocate(12, 4, 1);
  const TPXPoint steep[] = {{10, -9}, {11, -9}, {11, 6}, {-11, 6}};
  c.FillPolygon(1, steep, 4);
  TPXMask d;
  d.Allocate(30, 30, 1);
  const TPXPoint shifted[] = {{21, 0}, {22, 0}, {22, 15}, {0, 15}};
  d.FillPolygon(1, shifted, 4);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 12; ++x) EXPECT_EQ(c.GetPixel(x, y), d.GetPixel(x + 11, y + 9)) << x << "," << y;
}

// Even-odd: a square with a square hole traced as one polygon; the doubled
// connecting edge cancels itself.
TEST(MaskPolygon, EvenOddLeavesHole) {
  TPXMask m;
  m.Allocate(7, 7, 1);
  const TPXPoint p[] = {{0, 0}, {6, 0}, {6, 6}, {0, 6}, {0, 0}, {2, 2}, {2, 4}, {4, 4}, {4, 2}, {2, 2}};
  EXPECT_EQ(m.FillPolygon(1, p, 10), 32);
  EXPECT_EQ(Picture(m), (Rows{"XXXXXX.", "XXXXXX.", "XX..XX.", "XX..XX.", "XXXXXX.", "XXXXXX.", "......."}));
}

// A polygon reaching out of the mask gives the rows a shifted copy gives
// inside a larger one: the rows above are skipped, not stepped wrongly.
TEST(MaskPolygon, PartlyOutsideMatchesShiftedCopy) {
  const TPXPoint p[] = {{-7, -9}, {13, -2}, {9, 11}, {-3, 8}, {4, 3}};
  TPXMask m;
  m.Allocate(12, 10, 1);
  m.FillPolygon(1, p, 5);
  TPXPoint q[5];
  for (int i = 0; i < 5; ++i) q[i] = TPXPoint{p[i].X + 7, p[i].Y + 9};
  TPXMask big;
  big.Allocate(30, 30, 1);
  big.FillPolygon(1, q, 5);
  int64_t n = 0;
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 12; ++x) {
      EXPECT_EQ(m.GetPixel(x, y), big.GetPixel(x + 7, y + 9)) << x << "," << y;
      n += m.GetPixel(x, y) != 0;
    }
  EXPECT_GT(n, 30);
  ExpectBox(m, 0, 0, 11, 9);  // grown over the vertices and clamped
}

TEST(MaskPolygon, FlatPolygonLeavesBoxEmpty) {
  TPXMask m;
  m.Allocate(10, 10, 1);
  const TPXPoint p[] = {{1, 4}, {8, 4}, {5, 4}};
  EXPECT_EQ(m.FillPolygon(1, p, 3), 0);
  EXPECT_TRUE(m.IsEmpty());
  EXPECT_EQ(CountSet(m), 0);
  // Nor does one that lies wholly outside the mask.
  const TPXPoint out[] = {{20, 20}, {30, 20}, {30, 30}};
  EXPECT_EQ(m.FillPolygon(1, out, 3), 0);
  EXPECT_TRUE(m.IsEmpty());
}

TEST(MaskPolygon, ZeroValueErasesWithoutGrowingTheBox) {
  TPXMask m;
  m.Allocate(6, 4, 1);
  m.Fill(255);
  m.X1 = 0, m.Y1 = 0, m.X2 = 5, m.Y2 = 3;
  const TPXPoint p[] = {{1, 1}, {3, 1}, {3, 3}, {1, 3}};
  EXPECT_EQ(m.FillPolygon(0, p, 4), 4);
  EXPECT_EQ(Picture(m), (Rows{"XXXXXX", "X..XXX", "X..XXX", "XXXXXX"}));
  ExpectBox(m, 0, 0, 5, 3);
}

TEST(MaskPolygon, ListWithSeparators) {
  TPXMask m;
  m.Allocate(8, 4, 8);
  const TPXPoint list[] = {{0, 0}, {4, 0}, {0, 4}, {kPXPolygonSeparator, 0}, {8, 0}, {8, 4}, {4, 4}};
  m.FillPolygons(255, list, 7);
  EXPECT_EQ(Picture(m), (Rows{"XXXX....", "XXX....X", "XX....XX", "X....XXX"}));
  ExpectBox(m, 0, 0, 7, 3);
  EXPECT_FALSE(m.Full);

  // Two halves covering everything: Full is worked out at the end.
  TPXMask f;
  f.Allocate(4, 4, 8);
  const TPXPoint halves[] = {{0, 0}, {4, 0}, {4, 2}, {0, 2}, {kPXPolygonSeparator, 0},
                             {0, 2}, {4, 2}, {4, 4}, {0, 4}, {kPXPolygonSeparator, 0}};
  f.FillPolygons(255, halves, 10);
  EXPECT_TRUE(f.Full);
  ExpectBox(f, 0, 0, 3, 3);
}

// A degenerate polygon in a list leaves the box of the others alone.
TEST(MaskPolygon, DegeneratePartKeepsOthersBox) {
  TPXMask m;
  m.Allocate(20, 20, 1);
  const TPXPoint list[] = {{2, 2},
                           {6, 2},
                           {6, 5},
                           {2, 5},
                           {kPXPolygonSeparator, 0},
                           {10, 15},
                           {18, 15},
                           {14, 15},
                           {kPXPolygonSeparator, 0},
                           {kPXPolygonSeparator, 0}};
  m.FillPolygons(1, list, 10);
  ExpectBox(m, 2, 2, 5, 4);
  EXPECT_EQ(CountSet(m), 12);
  // Before a good one, too.
  TPXMask n;
  n.Allocate(20, 20, 1);
  const TPXPoint list2[] = {{10, 15}, {18, 15}, {kPXPolygonSeparator, 0}, {2, 2}, {6, 2}, {6, 5}, {2, 5}};
  n.FillPolygons(1, list2, 7);
  ExpectBox(n, 2, 2, 5, 4);
}

// --------------------------------------------------------------- translate

// Moves of a 1-bit pattern by offsets that are not whole bytes, checked
// against the same pixels moved one by one.
TEST(MaskTranslate, OneBitAtBitOffsets) {
  const Rows pic = {"........................", "...XX.X..X..............", "....XXXXXXX.............",
                    "...X.....X..............", "........................", "........................",
                    "........................", "........................"};
  const std::pair<int, int> moves[] = {{5, 3}, {-3, -1}, {1, 0}, {0, 4}, {7, 2}, {13, 1}, {-3, 4}};
  for (const auto& [dx, dy] : moves) {
    TPXMask m;
    Draw(m, pic, 1);
    const Box before = BoxOf(m);
    m.Translate(dx, dy, false);
    Rows want(pic.size(), std::string(pic[0].size(), '.'));
    for (size_t y = 0; y < pic.size(); ++y)
      for (size_t x = 0; x < pic[y].size(); ++x)
        if (pic[y][x] == 'X') want[y + dy][x + dx] = 'X';
    EXPECT_EQ(Picture(m), want) << dx << "," << dy;
    ExpectBox(m, before.x1 + dx, before.y1 + dy, before.x2 + dx, before.y2 + dy);
    EXPECT_FALSE(m.Full);
  }
}

TEST(MaskTranslate, EightBitKeepsValues) {
  TPXMask m;
  m.Allocate(10, 6, 8);
  m.SetPixel(2, 1, 10);
  m.SetPixel(3, 2, 20);
  m.SetPixel(4, 1, 30);
  m.Translate(4, 3, false);
  EXPECT_EQ(m.GetPixel(6, 4), 10);
  EXPECT_EQ(m.GetPixel(7, 5), 20);
  EXPECT_EQ(m.GetPixel(8, 4), 30);
  EXPECT_EQ(m.GetPixel(2, 1), 0);
  EXPECT_EQ(CountSet(m), 3);
  ExpectBox(m, 6, 4, 8, 5);
}

TEST(MaskTranslate, MoveIsShortenedOrCut) {
  for (int32_t bits : {1, 8}) {
    const Rows pic = {"..........", "......XXXX", "......XXXX", ".........."};
    // Touching the right edge: without cut nothing moves.
    TPXMask m;
    Draw(m, pic, bits);
    m.Translate(10, 0, false);
    EXPECT_EQ(Picture(m), pic) << bits;
    ExpectBox(m, 6, 1, 9, 2);
    // A longer move is shortened to what fits.
    TPXMask s;
    Draw(s, {"..........", "..XX......", "..........", ".........."}, bits);
    s.Translate(-5, 9, false);
    EXPECT_EQ(Picture(s), (Rows{"..........", "..........", "..........", "XX........"})) << bits;
    ExpectBox(s, 0, 3, 1, 3);
    // With cut, what would leave is dropped.
    TPXMask c;
    Draw(c, pic, bits);
    c.Translate(2, 1, true);
    EXPECT_EQ(Picture(c), (Rows{"..........", "..........", "........XX", "........XX"})) << bits;
    ExpectBox(c, 8, 2, 9, 3);
    // Moved wholly out: nothing is left.
    TPXMask g;
    Draw(g, pic, bits);
    g.Translate(0, 5, true);
    EXPECT_EQ(CountSet(g), 0) << bits;
    EXPECT_TRUE(g.IsEmpty());
  }
}

TEST(MaskTranslate, EmptyMaskDoesNothing) {
  TPXMask m;
  m.Allocate(10, 10, 1);
  m.Fill(255);  // content without a box
  m.Translate(3, 3, false);
  m.Translate(3, 3, true);
  EXPECT_TRUE(m.IsEmpty());
  EXPECT_TRUE(m.Full);
  EXPECT_EQ(CountSet(m), 100);
  TPXMask none;
  none.Translate(1, 1, true);
  EXPECT_TRUE(none.IsEmpty());
}

// ------------------------------------------------------ copies through it

// A small pxBGR24 bitmap with pixel (x, y) = (x, y, base).
void MakeBGR(TPXBitmap& b, int32_t w, int32_t h, uint8_t base) {
  ASSERT_TRUE(b.Allocate(w, h, pxBGR24));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      row[x * 3] = static_cast<uint8_t>(x);
      row[x * 3 + 1] = static_cast<uint8_t>(y);
      row[x * 3 + 2] = base;
    }
  }
}
TBGR PixelAt(TPXBitmap& b, int32_t x, int32_t y) {
  const uint8_t* row = b.Scanline(y);
  return TBGR{row[x * 3], row[x * 3 + 1], row[x * 3 + 2]};
}

TEST(MaskCopy, OneBitMaskCopiesSelectedPixels) {
  TPXMask m;
  Draw(m, {"......", ".XX...", ".X.X..", "......"}, 1);
  TPXBitmap src, dst;
  MakeBGR(src, 6, 4, 100);
  MakeBGR(dst, 6, 4, 7);
  m.CopyBitmapThroughMask(dst, src, false, false, false);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 6; ++x) EXPECT_EQ(PixelAt(dst, x, y).r, m.GetPixel(x, y) ? 100 : 7) << x << "," << y;
  EXPECT_FALSE(dst.HasAlphaChannel());
}

TEST(MaskCopy, RelativeFlags) {
  TPXMask m;
  Draw(m, {"......", "......", "...XX.", "...XX."}, 1);  // box (3,2)-(4,3)
  TPXBitmap src, dst;
  MakeBGR(src, 2, 2, 50);  // a box-sized source read from its corner
  MakeBGR(dst, 6, 4, 0);
  m.CopyBitmapThroughMask(dst, src, false, true, false);
  EXPECT_EQ(PixelAt(dst, 3, 2), (TBGR{0, 0, 50}));
  EXPECT_EQ(PixelAt(dst, 4, 3), (TBGR{1, 1, 50}));
  EXPECT_EQ(PixelAt(dst, 2, 2), (TBGR{2, 2, 0}));

  TPXBitmap small;
  MakeBGR(small, 2, 2, 0);
  m.CopyBitmapThroughMask(small, dst, false, false, true);  // into a box-sized destination
  EXPECT_EQ(PixelAt(small, 0, 0), (TBGR{0, 0, 50}));
  EXPECT_EQ(PixelAt(small, 1, 1), (TBGR{1, 1, 50}));
}

// The box larger than either bitmap: only the pixels inside both are visited.
TEST(MaskCopy, ClipsTheBoxToBothBitmaps) {
  TPXMask m;
  m.Allocate(40, 40, 1);
  m.Fill(255);
  m.X1 = 0, m.Y1 = 0, m.X2 = 39, m.Y2 = 39;
  TPXBitmap src, dst;
  MakeBGR(src, 5, 30, 90);
  MakeBGR(dst, 30, 4, 0);
  m.CopyBitmapThroughMask(dst, src, true, false, false);
  EXPECT_EQ(PixelAt(dst, 4, 3).r, 90);
  EXPECT_EQ(PixelAt(dst, 5, 3).r, 0);
  // Relative reads far past a small source.
  m.X1 = 10, m.Y1 = 1;
  m.CopyBitmapThroughMask(dst, src, false, true, false);
  EXPECT_EQ(PixelAt(dst, 10, 1), (TBGR{0, 0, 90}));
  EXPECT_EQ(PixelAt(dst, 14, 3), (TBGR{4, 2, 90}));
  EXPECT_EQ(PixelAt(dst, 15, 3).r, 0);
}

// An 8-bit mask mixes d + (s - d) * m / 256, rounding toward minus infinity.
TEST(MaskCopy, EightBitMaskMixes) {
  TPXMask m;
  m.Allocate(4, 1, 8);
  m.SetPixel(0, 0, 128);
  m.SetPixel(1, 0, 128);
  m.SetPixel(2, 0, 255);
  m.SetPixel(3, 0, 255);
  TPXBitmap src, dst;
  ASSERT_TRUE(src.Allocate(4, 1, pxBGR24));
  ASSERT_TRUE(dst.Allocate(4, 1, pxBGR24));
  const uint8_t s[12] = {200, 200, 200, 100, 100, 100, 0, 0, 0, 255, 255, 255};
  const uint8_t d[12] = {100, 100, 100, 200, 200, 200, 255, 255, 255, 0, 0, 0};
  std::memcpy(src.Scanline(0), s, 12);
  std::memcpy(dst.Scanline(0), d, 12);
  m.CopyBitmapThroughMask(dst, src, false, false, false);
  EXPECT_EQ(PixelAt(dst, 0, 0), (TBGR{150, 150, 150}));
  EXPECT_EQ(PixelAt(dst, 1, 0), (TBGR{150, 150, 150}));
  EXPECT_EQ(PixelAt(dst, 2, 0), (TBGR{0, 0, 0}));        // -254.004 floors to -255
  EXPECT_EQ(PixelAt(dst, 3, 0), (TBGR{254, 254, 254}));  // 254.004 floors to 254

  TPXBitmap gs, gd;
  ASSERT_TRUE(gs.Allocate(4, 1, pxGray8));
  ASSERT_TRUE(gd.Allocate(4, 1, pxGray8));
  const uint8_t g1[4] = {200, 100, 0, 255}, g2[4] = {100, 200, 255, 0};
  std::memcpy(gs.Scanline(0), g1, 4);
  std::memcpy(gd.Scanline(0), g2, 4);
  m.CopyBitmapThroughMask(gd, gs, false, false, false);
  const uint8_t* r = gd.Scanline(0);
  EXPECT_EQ(r[0], 150);
  EXPECT_EQ(r[1], 150);
  EXPECT_EQ(r[2], 0);
  EXPECT_EQ(r[3], 254);
}

TEST(MaskCopy, OneBitBitmapsAndRefusedPairs) {
  for (int32_t bits : {1, 8}) {
    TPXMask m;
    Draw(m, {"..XXX.....", ".........."}, bits);
    TPXBitmap src, dst;
    ASSERT_TRUE(src.Allocate(10, 2, pxBW1));
    ASSERT_TRUE(dst.Allocate(10, 2, pxBW1));
    src.Scanline(0)[0] = 0xA0;  // pixels 0 and 2 white
    dst.Scanline(0)[0] = 0x18;  // pixels 3 and 4 white
    m.CopyBitmapThroughMask(dst, src, false, false, false);
    EXPECT_EQ(dst.Scanline(0)[0], 0x20) << bits;  // 2 copied set, 3 and 4 copied clear
  }
  TPXMask m;
  Draw(m, {"XX"}, 1);
  TPXBitmap src, dst;
  MakeBGR(src, 2, 1, 9);
  ASSERT_TRUE(dst.Allocate(2, 1, pxGray8));
  dst.Scanline(0)[0] = 5;
  m.CopyBitmapThroughMask(dst, src, false, false, false);
  EXPECT_EQ(dst.Scanline(0)[0], 5);
}

TEST(MaskCopy, AlphaThroughMask) {
  TPXMask m;
  Draw(m, {"......", ".X.X..", ".XXX..", "......"}, 8);  // box (1,1)-(3,2)
  m.SetPixel(3, 1, 90);
  TPXBitmap src, dst;
  MakeBGR(src, 6, 4, 0);
  MakeBGR(dst, 6, 4, 0);
  src.GetAlphaChannel()->Fill(200);
  m.CopyAlphaThroughMask(dst, src, false, false);
  ASSERT_TRUE(dst.HasAlphaChannel());
  TPXBitmap* a = dst.GetAlphaChannel();
  EXPECT_FALSE(a->Full);
  EXPECT_EQ(a->GetByte(1, 1), 200);  // min(200, 255)
  EXPECT_EQ(a->GetByte(3, 1), 90);   // min(200, 90)
  EXPECT_EQ(a->GetByte(2, 1), 0);    // clear inside the box: transparent
  EXPECT_EQ(a->GetByte(0, 0), 255);  // outside the box: untouched
  EXPECT_EQ(a->GetByte(4, 2), 255);

  // Without a source alpha channel, and through the pixel copy.
  TPXMask o;
  Draw(o, {"X.", ".X"}, 1);
  TPXBitmap s2, d2;
  MakeBGR(s2, 2, 2, 0);
  MakeBGR(d2, 2, 2, 0);
  o.CopyBitmapThroughMask(d2, s2, true, false, false);
  EXPECT_EQ(d2.GetAlpha(0, 0), 255);
  EXPECT_EQ(d2.GetAlpha(1, 0), 0);
  EXPECT_FALSE(s2.HasAlphaChannel());
}

// The same bitmap as source and destination at different offsets.
TEST(MaskCopy, SameBitmapMovesFromASnapshot) {
  TPXMask m;
  m.Allocate(6, 6, 1);
  for (int32_t y = 1; y <= 3; ++y) m.FillSpan(1, 1, y, 3);
  m.X1 = 1, m.Y1 = 1, m.X2 = 3, m.Y2 = 3;
  TPXBitmap b;
  MakeBGR(b, 6, 6, 0);
  // Each pixel of the box takes the one above-left of it, as it was before
  // the copy, although the rows read overlap the rows written.
  m.CopyBitmapThroughMask(b, b, false, true, false);
  EXPECT_EQ(PixelAt(b, 1, 1), (TBGR{0, 0, 0}));
  EXPECT_EQ(PixelAt(b, 2, 2), (TBGR{1, 1, 0}));
  EXPECT_EQ(PixelAt(b, 3, 3), (TBGR{2, 2, 0}));
  EXPECT_EQ(PixelAt(b, 4, 4), (TBGR{4, 4, 0}));
}

// --------------------------------------------------- bitmap <-> mask copies

TEST(MaskBitmap, RoundTripAndBoxFromContent) {
  for (int32_t bits : {1, 8}) {
    TPXMask m;
    Draw(m, {"..........", "...X......", "......X...", ".........."}, bits);
    m.Full = false;
    TPXBitmap b;
    CopyMaskToBitmap(&m, b);
    EXPECT_EQ(b.PixelFormat(), bits == 1 ? pxBW1 : pxGray8);
    EXPECT_EQ(b.Width(), 10);
    EXPECT_EQ(b.Height(), 4);
    if (bits == 1) {
      EXPECT_EQ(b.Scanline(1)[0], 0x10);
    } else {
      EXPECT_EQ(b.Scanline(2)[6], 255);
    }
    TPXMask back;
    CopyBitmapToMask(b, back);
    EXPECT_EQ(back.BitsPerPixel(), bits);
    EXPECT_EQ(Picture(back), Picture(m));
    ExpectBox(back, 3, 1, 6, 2);
    EXPECT_FALSE(back.Full);
  }
  // Full travels both ways.
  TPXMask f;
  f.Allocate(3, 3, 8);
  f.Fill(255);
  TPXBitmap b;
  CopyMaskToBitmap(&f, b);
  EXPECT_TRUE(b.Full);
  TPXMask g;
  CopyBitmapToMask(b, g);
  EXPECT_TRUE(g.Full);
  ExpectBox(g, 0, 0, 2, 2);
  // No mask: the bitmap becomes all 255.
  TPXBitmap a;
  ASSERT_TRUE(a.Allocate(2, 2, pxGray8));
  CopyMaskToBitmap(nullptr, a);
  EXPECT_EQ(a.GetByte(1, 1), 255);
  // Other formats leave the mask alone.
  TPXBitmap c;
  MakeBGR(c, 2, 2, 0);
  CopyBitmapToMask(c, g);
  EXPECT_EQ(g.Width(), 3);
}

// ----------------------------------------------------------------- drawing

// A 24-bit platform bitmap filled with one grey.
void MakeTarget(TBitmap& t, int w, int h, uint8_t v) {
  t.SetPixelFormat(pf24bit);
  t.SetSize(w, h);
  for (int y = 0; y < h; ++y) std::memset(t.ScanLine(y), v, static_cast<size_t>(w) * 3);
}
TBGR TargetAt(TBitmap& t, int x, int y) {
  const uint8_t* p = t.ScanLine(y) + x * 3;
  return TBGR{p[0], p[1], p[2]};
}
// The target as text: 'a' colour 1, 'b' colour 2, '#' shade, '.' untouched.
Rows TargetPicture(TBitmap& t, TBGR c1, TBGR c2, TBGR shade, TBGR bg) {
  Rows out;
  for (int y = 0; y < t.Height(); ++y) {
    std::string row;
    for (int x = 0; x < t.Width(); ++x) {
      const TBGR p = TargetAt(t, x, y);
      row += p == c1 ? 'a' : p == c2 ? 'b' : p == bg ? '.' : p == shade ? '#' : '?';
    }
    out.push_back(row);
  }
  return out;
}

TEST(MaskDraw, ZoomMaskRowsSamplesAndVisitsTheBox) {
  TPXMask m;
  Draw(m, {"X...", ".X..", "..X.", "...X"}, 1);
  // Twice the size, the part starting at a column that is not a byte start.
  std::vector<uint8_t> buf(4 * 4, 0xEE);
  uint8_t* rows[4] = {&buf[0], &buf[4], &buf[8], &buf[12]};
  const TRect part{1, 2, 7, 6};  // zoomed columns 1..6, rows 2..5
  ZoomMaskRows(1, rows, 4, 8, 8, m.X1, m.Y1, m.X2, m.Y2, m.Data(), m.RowLen(), 4, 4, part);
  // Zoomed row 2 = mask row 1: columns 2,3 set -> part bits 1,2.
  EXPECT_EQ(buf[0], 0x60);
  EXPECT_EQ(buf[4], 0x60);
  // Zoomed rows 4,5 = mask row 2: columns 4,5 -> part bits 3,4.
  EXPECT_EQ(buf[8], 0x18);
  EXPECT_EQ(buf[12], 0x18);
  EXPECT_EQ(buf[1], 0);  // zeroed first

  // Half size, 8-bit: zoomed pixel z samples (z * 2).
  TPXMask g;
  g.Allocate(4, 4, 8);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 4; ++x) g.SetPixel(x, y, static_cast<uint8_t>(10 * y + x + 1));
  std::vector<uint8_t> gb(2 * 4, 0xEE);
  uint8_t* grows[2] = {&gb[0], &gb[4]};
  ZoomMaskRows(8, grows, 4, 2, 2, 0, 0, 3, 3, g.Data(), g.RowLen(), 4, 4, TRect{0, 0, 2, 2});
  EXPECT_EQ(gb[0], 1);
  EXPECT_EQ(gb[1], 3);
  EXPECT_EQ(gb[4], 21);
  EXPECT_EQ(gb[5], 23);
  // A box covering only pixel (3, 3): the samples of the other pixels are
  // not taken.
  ZoomMaskRows(8, grows, 4, 2, 2, 3, 3, 3, 3, g.Data(), g.RowLen(), 4, 4, TRect{0, 0, 2, 2});
  EXPECT_EQ(gb[0] | gb[1] | gb[4] | gb[5], 0);
}

TEST(MaskDraw, ShadeOverUnselectedArea) {
  TPXMask m;
  Draw(m, {"......", ".XXX..", ".XXX..", "......"}, 1);
  TBitmap t;
  MakeTarget(t, 6, 4, 0);
  m.DrawToTBitmap(t, 0, 0, 6, 4);
  const TBGR shade{97, 97, 97}, bg{0, 0, 0}, none{1, 2, 3};
  EXPECT_EQ(TargetPicture(t, none, none, shade, bg), (Rows{"#.#.#.", ".....#", "#...#.", ".#.#.#"}));
  // Zoomed twice and scrolled by one zoomed pixel each way.
  TBitmap z;
  MakeTarget(z, 5, 4, 0);
  m.DrawToTBitmap(z, -1, -1, 12, 8);
  // zoomed (zx, zy) = (x + 1, y + 1); mask pixel (zx / 2, zy / 2)
  EXPECT_EQ(TargetPicture(z, none, none, shade, bg), (Rows{"#.#.#", ".....", "#....", "....."}));
  EXPECT_EQ(m.ZoomCacheRect().Width(), 5);  // only the visible part is cached
  EXPECT_EQ(m.ZoomCacheRect().Height(), 4);
  // Placed further right: the part left of it is untouched.
  TBitmap p;
  MakeTarget(p, 8, 2, 0);
  m.DrawToTBitmap(p, 3, 0, 6, 4);
  EXPECT_EQ(TargetPicture(p, none, none, shade, bg), (Rows{"...#.#.#", "........"}));
  // Nothing for an empty box or a zoomed size that is not positive.
  TPXMask e;
  e.Allocate(6, 4, 1);
  TBitmap q;
  MakeTarget(q, 6, 4, 0);
  e.DrawToTBitmap(q, 0, 0, 6, 4);
  m.DrawToTBitmap(q, 0, 0, 0, 4);
  EXPECT_EQ(TargetPicture(q, none, none, shade, bg), Rows(4, "......"));
}

TEST(MaskDraw, OutlineDashes) {
  TPXMask m;
  Draw(m, {"........", ".XXXXXX.", ".XXXXXX.", ".XXXXXX.", ".XXXXXX.", "........"}, 8);
  TBitmap t;
  MakeTarget(t, 8, 6, 0);
  const TBGR c1 = ColorToBGR(clRed), c2 = ColorToBGR(clBlue), bg{0, 0, 0};
  m.DrawOutline(t, clRed, clBlue, 8, 6, 0, 0, 0, 0);
  // colour 1 where bit 2 of (x + y) is clear
  EXPECT_EQ(TargetPicture(t, c1, c2, bg, bg),
            (Rows{"........", ".aabbbb.", ".a....a.", ".b....a.", ".bbbaaa.", "........"}));
  // The phase moves the dashes.
  TBitmap u;
  MakeTarget(u, 8, 6, 0);
  m.DrawOutline(u, clRed, clBlue, 8, 6, 0, 0, 1, 1);
  EXPECT_EQ(TargetPicture(u, c1, c2, bg, bg),
            (Rows{"........", ".bbbbaa.", ".b....a.", ".b....a.", ".baaaab.", "........"}));
}

// A selection touching the image's edge has its outline on that edge; the
// window's edge cutting through a selection draws nothing there.
TEST(MaskDraw, OutlineAtImageAndWindowEdges) {
  TPXMask m;
  Draw(m, {"XXXXX.", "XXXXX.", "XXXXX.", "......"}, 1);
  TBitmap t;
  MakeTarget(t, 6, 4, 0);
  const TBGR c1{255, 255, 255}, bg{0, 0, 0};
  m.DrawOutline(t, clWhite, clWhite, 6, 4, 0, 0, 0, 0);
  EXPECT_EQ(TargetPicture(t, c1, c1, bg, bg), (Rows{"aaaaa.", "a...a.", "aaaaa.", "......"}));
  // Scrolled by two columns and one row in a 3 x 2 window: the pixels at the
  // window's left and top edges are inside the selection.
  TBitmap w;
  MakeTarget(w, 3, 2, 0);
  m.DrawOutline(w, clWhite, clWhite, 6, 4, -2, -1, 0, 0);
  EXPECT_EQ(TargetPicture(w, c1, c1, bg, bg), (Rows{"..a", "aaa"}));
  EXPECT_EQ(m.ZoomCacheRect().Left, 1);  // one pixel of margin for the neighbours
  EXPECT_EQ(m.ZoomCacheRect().Right, 6);
}

TEST(MaskDraw, XorInvertsSelectedPixels) {
  TPXMask m;
  Draw(m, {"X...", ".X..", "....", "...X"}, 1);
  TBitmap t;
  MakeTarget(t, 4, 4, 0x0F);
  m.DrawXor(t, TRect{0, 0, 4, 4}, TRect{0, 0, 4, 4});
  const TBGR inv{0xF0, 0xF0, 0xF0}, bg{0x0F, 0x0F, 0x0F};
  EXPECT_EQ(TargetPicture(t, inv, inv, bg, bg), (Rows{"a...", ".a..", "....", "...a"}));
  // Twice again restores.
  m.DrawXor(t, TRect{0, 0, 4, 4}, TRect{0, 0, 4, 4});
  EXPECT_EQ(TargetPicture(t, inv, inv, bg, bg), Rows(4, "...."));
  // The top-left 2 x 2 of the mask stretched over a 4 x 4 rectangle at (1, 1)
  // of a 6 x 4 target (the last row is cut off by the target).
  TBitmap s;
  MakeTarget(s, 6, 4, 0x0F);
  m.DrawXor(s, TRect{1, 1, 5, 5}, TRect{0, 0, 2, 2});
  EXPECT_EQ(TargetPicture(s, inv, inv, bg, bg), (Rows{"......", ".aa...", ".aa...", "...aa."}));
  // 8-bit masks are not drawn this way.
  TPXMask g;
  Draw(g, {"X"}, 8);
  TBitmap o;
  MakeTarget(o, 1, 1, 0x0F);
  g.DrawXor(o, TRect{0, 0, 1, 1}, TRect{0, 0, 1, 1});
  EXPECT_EQ(TargetAt(o, 0, 0), bg);
}

}  // namespace
}  // namespace pixoran
