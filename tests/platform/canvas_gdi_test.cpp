// The canvas's shape and text calls keep the framework's meanings: shapes
// leave out their right and bottom edge, pen style 5 and brush style 1 draw
// nothing, arcs with coinciding ends are whole ellipses, logical-font
// heights, escapement, clear-brush text, and 8-bit grey bitmaps painted in
// place.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/graphics.h"

using namespace pixoran;

namespace {

TBitmap& White(TBitmap& b, int w, int h, TPixelFormat pf = pf24bit) {
  b.SetPixelFormat(pf);
  b.SetSize(w, h);
  b.Canvas().Brush = TBrush{clWhite, bsSolid};
  b.Canvas().FillRect(Rect(0, 0, w, h));
  return b;
}

// Bounding box (inclusive) of the pixels that are not white.
TRect Inked(TBitmap& b) {
  TRect r{1 << 30, 1 << 30, -1, -1};
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x)
      if (b.Canvas().Pixel(x, y) != clWhite) {
        r.Left = std::min(r.Left, x), r.Top = std::min(r.Top, y);
        r.Right = std::max(r.Right, x), r.Bottom = std::max(r.Bottom, y);
      }
  return r;
}

int CountInk(TBitmap& b) {
  int n = 0;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) n += b.Canvas().Pixel(x, y) != clWhite;
  return n;
}

TEST(CanvasGdi, BoxesAndEllipsesLeaveOutTheirRightAndBottomEdge) {
  struct Case {
    TRect box;
    bool ellipse;
  } cases[] = {{Rect(3, 4, 13, 14), false}, {Rect(3, 4, 13, 14), true}, {Rect(2, 2, 31, 9), true},
               {Rect(5, 1, 8, 30), true},   {Rect(0, 0, 2, 2), true},   {Rect(7, 7, 8, 8), true},
               {Rect(1, 1, 40, 39), false}, {Rect(10, 3, 11, 30), true}};
  for (const Case& c : cases) {
    TBitmap b;
    White(b, 48, 48);
    b.Canvas().Pen = TPen{clBlack, 1, pmCopy, psSolid};
    b.Canvas().Brush = TBrush{clWhite, bsClear};
    c.ellipse ? b.Canvas().Ellipse(c.box) : b.Canvas().Rectangle(c.box);
    const TRect ink = Inked(b);
    EXPECT_EQ(ink.Left, c.box.Left) << c.box.Left << "," << c.box.Top << " ellipse " << c.ellipse;
    EXPECT_EQ(ink.Top, c.box.Top);
    EXPECT_EQ(ink.Right, c.box.Right - 1);
    EXPECT_EQ(ink.Bottom, c.box.Bottom - 1);
    if (c.ellipse && c.box.Width() > 6 && c.box.Height() > 6) {
      // Round: the box's corners stay clear; the middle of each side is inked.
      EXPECT_EQ(b.Canvas().Pixel(c.box.Left, c.box.Top), clWhite);
      EXPECT_EQ(b.Canvas().Pixel(c.box.Right - 1, c.box.Bottom - 1), clWhite);
      EXPECT_EQ(b.Canvas().Pixel(c.box.Left, (c.box.Top + c.box.Bottom) / 2), clBlack);
      EXPECT_EQ(b.Canvas().Pixel(c.box.Right - 1, (c.box.Top + c.box.Bottom - 1) / 2), clBlack);
    }
  }
}

TEST(CanvasGdi, PenStyleFiveAndBrushStyleOneDrawNothingHatchesKeepTheBackground) {
  TBitmap b;
  White(b, 40, 40);
  TCanvas& c = b.Canvas();
  c.Pen = TPen{clBlack, 1, pmCopy, static_cast<TPenStyle>(5)};
  c.Brush = TBrush{clRed, static_cast<TBrushStyle>(1)};
  c.Rectangle(Rect(2, 2, 30, 30));
  c.Ellipse(Rect(2, 2, 30, 30));
  const TPoint tri[3] = {{1, 1}, {30, 5}, {9, 33}};
  c.Polygon(tri, 3);
  c.Arc(Rect(2, 2, 30, 30), 0, 0, 0, 0);
  EXPECT_EQ(CountInk(b), 0);
  // Hatches 2..7 paint some pixels, leaving the rest as they were when the
  // background colour is none.
  for (int style = 2; style <= 7; ++style) {
    White(b, 40, 40);
    c.Brush = TBrush{clBlue, static_cast<TBrushStyle>(style)};
    c.BackColor = clNone;
    c.Ellipse(Rect(0, 0, 40, 40));
    const int ink = CountInk(b);
    EXPECT_GT(ink, 20) << style;
    EXPECT_LT(ink, 900) << style;
  }
}

TEST(CanvasGdi, ArcWithCoincidingEndsIsTheWholeEllipseAndHalfArcsAreHalves) {
  TBitmap whole, arc, half;
  White(whole, 50, 40);
  White(arc, 50, 40);
  White(half, 50, 40);
  for (TBitmap* b : {&whole, &arc, &half}) {
    b->Canvas().Pen = TPen{clBlack, 1, pmCopy, psSolid};
    b->Canvas().Brush.Style = bsClear;
  }
  whole.Canvas().Ellipse(Rect(4, 3, 45, 36));
  arc.Canvas().Arc(Rect(4, 3, 45, 36), 45, 20, 45, 20);
  EXPECT_EQ(whole.ToQImage(), arc.ToQImage());
  // Counter-clockwise from the right (3 o'clock) to the left: the top half.
  half.Canvas().Arc(Rect(4, 3, 45, 36), 49, 19, 0, 19);
  const TRect ink = Inked(half);
  EXPECT_EQ(ink.Top, 3);
  EXPECT_LE(ink.Bottom, 20);
}

TEST(CanvasGdi, LogicalFontHeightsEscapementAndPointSizes) {
  EXPECT_EQ(PointsToLogHeight(10), -13);
  EXPECT_EQ(PointsToLogHeight(12), -16);
  EXPECT_EQ(PointsToLogHeight(9), -12);
  TBitmap b;
  White(b, 200, 200);
  TCanvas& c = b.Canvas();
  TPXLogFont lf;
  SetLogFontFaceName(lf, "Noto Sans CJK SC");
  lf.Height = 40;  // cell height
  FontFromLogFont(lf, c.Font);
  EXPECT_NEAR(c.TextHeight("Ag"), 40, 1);
  lf.Height = -40;  // character height: the cell is taller
  FontFromLogFont(lf, c.Font);
  EXPECT_GT(c.TextHeight("Ag"), 44);
  EXPECT_EQ(LogFontFromFont(c.Font).Height, -40);
  // 900 tenths: the text runs upwards from its point.
  lf.Height = -20;
  lf.Escapement = 900;
  FontFromLogFont(lf, c.Font);
  c.Brush.Style = bsClear;
  c.TextOut(100, 150, "HHHHHH");
  const TRect ink = Inked(b);
  EXPECT_GT(ink.Bottom - ink.Top, 2 * (ink.Right - ink.Left));
  EXPECT_LE(ink.Bottom, 150);
  // A font that came out empty draws nothing.
  White(b, 200, 200);
  c.Font.Empty = true;
  c.TextOut(10, 10, "HHHH");
  EXPECT_EQ(CountInk(b), 0);
  // The face name never ends inside a character.
  SetLogFontFaceName(lf, std::string(30, 'a') + "中文");
  EXPECT_EQ(LogFontFaceName(lf), std::string(30, 'a'));
}

TEST(CanvasGdi, TextWithAClearBrushLeavesTheCellAlone) {
  TBitmap solid, clear;
  White(solid, 120, 40);
  White(clear, 120, 40);
  for (TBitmap* b : {&solid, &clear}) {
    b->Canvas().Font.Height = 20;
    b->Canvas().Font.Color = clBlack;
    b->Canvas().Brush = TBrush{clYellow, b == &solid ? bsSolid : bsClear};
    b->Canvas().TextOut(5, 5, "Hi 中");
  }
  int yellow = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 120; ++x) yellow += clear.Canvas().Pixel(x, y) == clYellow;
  EXPECT_EQ(yellow, 0);
  EXPECT_GT(CountInk(clear), 30);
  EXPECT_GT(CountInk(solid), CountInk(clear) + 200);
}

TEST(CanvasGdi, GreyBitmapsArePaintedInPlaceWithExactBytes) {
  TBitmap g;
  g.SetPixelFormat(pf8bit);
  g.SetSize(64, 64);
  const uint8_t* row0 = g.ScanLine(0);
  TCanvas& c = g.Canvas();
  const TColor grey = 0x02000000 | 0x808080;  // palette-relative grey 128
  c.Pen = TPen{grey, 1, pmCopy, psSolid};
  c.Brush = TBrush{grey, bsSolid};
  c.Ellipse(Rect(4, 4, 40, 40));
  const TPoint tri[3] = {{40, 40}, {63, 40}, {50, 63}};
  c.Polygon(tri, 3);
  c.Font.Height = 16;
  c.Font.Color = grey;
  c.Font.Antialias = false;
  c.Brush.Style = bsClear;
  c.TextOut(40, 2, "AB");
  EXPECT_EQ(g.ScanLine(0), row0);  // the same rows: nothing converted
  int set = 0;
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) {
      const uint8_t v = g.ScanLine(y)[x];
      EXPECT_TRUE(v == 0 || v == 128) << x << "," << y << " " << int(v);
      set += v == 128;
    }
  EXPECT_GT(set, 900);
  EXPECT_EQ(g.ScanLine(22)[22], 128);
  EXPECT_EQ(g.ScanLine(50)[52], 128);
}

}  // namespace
