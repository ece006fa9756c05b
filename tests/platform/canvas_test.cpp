// Canvas pens, brushes and clipping, cursors by number, the scroll feed of
// a plain control and the drawing pass on the window after the back buffer.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QScrollBar>
#include <QTest>
#include <QWidget>
#include <vector>

#include "platform/controls.h"

using namespace pixoran;

namespace {

TBitmap& Filled(TBitmap& b, int w, int h, TColor c, TPixelFormat pf = pf24bit) {
  b.SetPixelFormat(pf);
  b.SetSize(w, h);
  b.Canvas().Brush = TBrush{c, bsSolid};
  b.Canvas().FillRect(Rect(0, 0, w, h));
  return b;
}

TEST(Canvas, PenModesStylesAndRectangles) {
  for (TPixelFormat pf : {pf24bit, pf32bit}) {
    SCOPED_TRACE(pf);
    TBitmap b;
    TCanvas& c = Filled(b, 12, 8, RGBColor(10, 20, 30), pf).Canvas();
    // Inverting twice restores; the end point is left out.
    c.Pen.Mode = pmNot;
    c.MoveTo(0, 1);
    c.LineTo(10, 1);
    EXPECT_EQ(c.Pixel(0, 1), RGBColor(245, 235, 225));
    EXPECT_EQ(c.Pixel(9, 1), RGBColor(245, 235, 225));
    EXPECT_EQ(c.Pixel(10, 1), RGBColor(10, 20, 30));
    c.MoveTo(0, 1);
    c.LineTo(10, 1);
    EXPECT_EQ(c.Pixel(5, 1), RGBColor(10, 20, 30));
    // A dotted copy pen sets every other pixel.
    c.Pen = TPen{};
    c.Pen.Color = clWhite;
    c.Pen.Style = psDot;
    c.MoveTo(0, 3);
    c.LineTo(8, 3);
    for (int x = 0; x < 8; ++x) EXPECT_EQ(c.Pixel(x, 3), x % 2 ? RGBColor(10, 20, 30) : clWhite) << x;
    // An inverting frame with a clear brush: every edge pixel once, corners
    // included, the inside untouched.
    c.Pen = TPen{};
    c.Pen.Mode = pmNot;
    c.Brush.Style = bsClear;
    c.Rectangle(Rect(2, 4, 7, 8));
    const TColor inv = RGBColor(245, 235, 225);
    for (auto [x, y] : std::vector<std::pair<int, int>>{{2, 4}, {6, 4}, {2, 7}, {6, 7}, {2, 5}, {6, 6}, {4, 4}, {4, 7}})
      EXPECT_EQ(c.Pixel(x, y), inv) << x << "," << y;
    EXPECT_EQ(c.Pixel(4, 5), RGBColor(10, 20, 30));
    EXPECT_EQ(c.Pixel(7, 5), RGBColor(10, 20, 30));
  }
}

TEST(Canvas, BrushesClipEdgesAndGradients) {
  TBitmap b;
  TCanvas& c = Filled(b, 16, 16, clBlack).Canvas();
  // A clip rectangle bounds every call.
  const TRect clip = Rect(4, 4, 8, 8);
  c.SetClipRect(&clip);
  c.Brush = TBrush{clRed, bsSolid};
  c.FillRect(Rect(0, 0, 16, 16));
  c.SetClipRect(nullptr);
  EXPECT_EQ(c.Pixel(4, 4), clRed);
  EXPECT_EQ(c.Pixel(7, 7), clRed);
  EXPECT_EQ(c.Pixel(8, 8), clBlack);
  EXPECT_EQ(c.Pixel(3, 4), clBlack);
  // A hatch: lines in the brush colour over the background colour.
  c.Brush = TBrush{clBlue, bsHorizontal};
  c.BackColor = clWhite;
  c.FillRect(Rect(0, 0, 16, 16));
  int blue = 0, white = 0;
  for (int y = 0; y < 16; ++y) {
    blue += c.Pixel(5, y) == clBlue;
    white += c.Pixel(5, y) == clWhite;
  }
  EXPECT_EQ(blue, 2);
  EXPECT_EQ(white, 14);
  // A clear brush fills nothing.
  const TColor before = c.Pixel(5, 1);
  c.Brush = TBrush{clRed, bsClear};
  c.FillRect(Rect(0, 0, 16, 16));
  EXPECT_EQ(c.Pixel(5, 1), before);
  // The sunken edge and a vertical gradient.
  Filled(b, 16, 16, clBlack);
  c.DrawSunkenEdge(Rect(0, 0, 16, 16));
  EXPECT_EQ(c.Pixel(0, 0), ColorToRGB(clBtnShadow));
  EXPECT_EQ(c.Pixel(15, 15), ColorToRGB(clBtnHighlight));
  EXPECT_EQ(c.Pixel(1, 1), 0x404040);
  EXPECT_EQ(c.Pixel(8, 8), clBlack);
  c.GradientFill(Rect(0, 0, 16, 16), clBlack, RGBColor(0, 0, 150), true);
  EXPECT_EQ(c.Pixel(3, 0), clBlack);
  EXPECT_EQ(c.Pixel(3, 15), RGBColor(0, 0, 150));
  EXPECT_EQ(c.Pixel(3, 5), RGBColor(0, 0, 50));
}

// Draws red into the back buffer and a green pixel on the window only.
class TOverlayProbe : public TCustomControl {
 public:
  using TCustomControl::TCustomControl;
  std::vector<TRect> Painted;
  std::vector<std::pair<TScrollCode, int32_t>> Scrolls;

 protected:
  void Paint() override {
    Painted.push_back(PaintRect());
    Canvas().Brush = TBrush{clRed, bsSolid};
    Canvas().FillRect(Rect(0, 0, ClientWidth(), ClientHeight()));
  }
  void PaintWindowOverlay() override { WindowCanvas().SetPixel(1, 1, clLime); }
  void Scroll(TScrollBarKind, TScrollCode code, int32_t pos) override { Scrolls.emplace_back(code, pos); }
};

TEST(Controls, OverlayShowsOnTheWindowOnlyAndRectanglesRepaint) {
  TOverlayProbe p;
  p.SetBounds(0, 0, 20, 10);
  const QImage shot = p.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(shot.pixel(1, 1), qRgb(0, 255, 0));
  EXPECT_EQ(shot.pixel(2, 1), qRgb(255, 0, 0));
  EXPECT_EQ(p.BackBuffer().Canvas().Pixel(1, 1), clRed);  // not burnt in
  EXPECT_EQ(p.ScreenBuffer().Image().pixel(1, 1), qRgb(0, 255, 0));
  ASSERT_FALSE(p.Painted.empty());
  EXPECT_EQ(p.Painted.back().Width(), 20);

  p.Show();
  QApplication::processEvents();
  p.Painted.clear();
  p.InvalidateRect(Rect(3, 2, 8, 6));
  QApplication::processEvents();
  ASSERT_FALSE(p.Painted.empty());
  EXPECT_EQ(p.Painted.back().Left, 3);
  EXPECT_EQ(p.Painted.back().Right, 8);
  EXPECT_EQ(p.Painted.back().Bottom, 6);
}

TEST(Controls, CursorsByNumber) {
  TWinControl c;
  EXPECT_TRUE(ScreenCursorRegistered(crHandPoint));
  EXPECT_FALSE(ScreenCursorRegistered(4242));
  SetScreenCursor(4242, cshSizeAll);
  c.SetCursor(4242);
  EXPECT_EQ(c.Cursor(), 4242);
  EXPECT_EQ(c.Widget()->cursor().shape(), Qt::SizeAllCursor);
  c.SetCursor(crIBeam);
  EXPECT_EQ(c.Widget()->cursor().shape(), Qt::IBeamCursor);
  c.SetCursor(777);  // unknown: the arrow
  EXPECT_EQ(c.Widget()->cursor().shape(), Qt::ArrowCursor);
}

// A user's click on the bar reaches the control's position and its handler,
// and the next setter does not snap the bar back.
TEST(Controls, UserScrollsReachTheControl) {
  TOverlayProbe p;
  p.SetBounds(0, 0, 200, 60);
  p.Show();
  TScrollInfo i;
  i.Mask = sifRange | sifPage | sifPos;
  i.Min = 0, i.Max = 99, i.Page = 10, i.Pos = 0;
  p.SetScrollInfo(sbHorizontal, i, true);
  p.ShowScrollBar(sbHorizontal, true);
  QScrollBar* bar = p.Widget()->findChild<QScrollBar*>();
  ASSERT_NE(bar, nullptr);
  QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(bar->width() - 25, bar->height() / 2));
  ASSERT_FALSE(p.Scrolls.empty());
  EXPECT_EQ(p.Scrolls.front().first, scPageDown);
  EXPECT_EQ(p.GetScrollPos(sbHorizontal), 10);
  EXPECT_EQ(bar->value(), 10);
  p.SetScrollRange(sbHorizontal, 0, 99, true);
  EXPECT_EQ(bar->value(), 10);
}

}  // namespace
