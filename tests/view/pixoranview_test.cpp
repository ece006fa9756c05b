// The image viewer: zoom and origin, coordinate tables, fitting, scroll
// bars (with real mouse events), painting through the back buffer, layers
// and loading through the I/O component.
#include "view/pixoranview.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <QScrollBar>
#include <QTest>
#include <QWidget>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "io/pixoranio.h"
#include "testsupport.h"

using namespace pixoran;

namespace {

// Fills a view's image with a w x h picture whose pixel (x, y) is
// (blue x, green y, red 200) modulo 256.
void SetPicture(TPixoranView& v, int32_t w, int32_t h, TPXPixelFormat f = pxBGR24) {
  TPXBitmap* b = v.GetPXBitmap();
  b->Allocate(w, h, f);
  if (f == pxBGR24) {
    for (int32_t y = 0; y < h; ++y) {
      uint8_t* r = b->Scanline(y);
      for (int32_t x = 0; x < w; ++x) {
        r[3 * x] = static_cast<uint8_t>(x);
        r[3 * x + 1] = static_cast<uint8_t>(y);
        r[3 * x + 2] = 200;
      }
    }
  }
  v.Update();
}

// What the window shows, client area only.
QImage Grab(TPixoranView& v) {
  const QImage all = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const int f = v.FrameWidth();
  return all.copy(f, f, v.ClientWidth(), v.ClientHeight());
}

void SaveFrame(const QImage& img, const char* name) {
  if (const char* dir = std::getenv("PIXORAN_SAVE_FRAMES")) img.save(QString(dir) + "/" + name);
}

struct ViewEvents {
  std::vector<int32_t> changes;
  explicit ViewEvents(TPixoranView& v) {
    v.OnViewChange = [this](TObject*, int32_t c) { changes.push_back(c); };
  }
};

TEST(PixoranView, ZoomChangesAndNoOps) {
  TPixoranView v;
  v.SetBounds(0, 0, 200, 150);
  SetPicture(v, 400, 300);
  ViewEvents ev(v);
  for (double z : {0.0, -5.0, 100.0}) v.SetZoom(z);
  EXPECT_TRUE(ev.changes.empty());
  EXPECT_EQ(v.Zoom(), 100.0);
  v.SetZoom(250.0);
  EXPECT_EQ(v.Zoom(), 250.0);
  ASSERT_FALSE(ev.changes.empty());
  EXPECT_EQ(ev.changes.back(), 1);
  EXPECT_EQ(v.ZoomedWidth(), 1000);
  EXPECT_EQ(v.ZoomedHeight(), 750);

  // A zoom whose zoomed picture would not fit in int32 is ignored.
  ev.changes.clear();
  v.SetZoom(1.0e12);
  EXPECT_EQ(v.Zoom(), 250.0);
  EXPECT_TRUE(ev.changes.empty());

  // Keep-centre: the image point under the client centre stays there, and
  // zooming out clamps the origin with the new (smaller) maximum.
  v.SetViewXY(600, 400);
  const int32_t cx = v.ClientWidth() / 2, cy = v.ClientHeight() / 2;
  const int32_t ix = v.ScreenToBitmapX(cx), iy = v.ScreenToBitmapY(cy);
  v.SetZoom(400.0);
  EXPECT_NEAR(v.ScreenToBitmapX(cx), ix, 1);
  EXPECT_NEAR(v.ScreenToBitmapY(cy), iy, 1);
  v.SetViewXY(100000, 100000);
  int32_t mx = 0, my = 0;
  v.GetMaxViewXY(mx, my);
  EXPECT_EQ(v.ViewX(), mx);
  v.SetZoom(60.0);
  v.GetMaxViewXY(mx, my);
  EXPECT_LE(v.ViewX(), mx);
  EXPECT_LE(v.ViewY(), my);
}

// The image column zoomed pixel p shows: above 100 % the column it falls
// in, at or below 100 % the first column drawn onto it.
int32_t ColumnOf(int32_t p, double z, int32_t extent) {
  int32_t c = 0;
  if (z > 100.0) {
    c = static_cast<int32_t>(p * (100.0 / z));
  } else {
    while (static_cast<int32_t>(c * (z / 100.0)) < p) ++c;
  }
  return std::min(c, extent - 1);
}

// Client edges, both ways: the column a client pixel shows, and back to the
// first client pixel of that column, for zooms below, at and above 100 %.
TEST(PixoranView, CoordinateConversionsAtTheClientEdges) {
  TPixoranView v;
  v.SetBounds(0, 0, 320, 240);
  SetPicture(v, 1000, 700);
  for (double z : {10.0, 33.0, 100.0, 250.0, 1600.0}) {
    SCOPED_TRACE(z);
    v.SetZoom(z);
    for (int32_t origin : {0, 37, 1 << 30}) {
      v.SetViewXY(origin, origin);
      const int32_t lastX = v.OffsetX() + v.VisibleClientWidth() - 1;
      const int32_t lastY = v.OffsetY() + v.VisibleClientHeight() - 1;
      const int32_t sx = v.SnapViewX(v.ViewX()), sy = v.SnapViewY(v.ViewY());
      for (int32_t x : {v.OffsetX(), lastX}) {
        const int32_t col = v.ScreenToBitmapX(x);
        const int32_t want = ColumnOf(sx + x - v.OffsetX(), z, 1000);
        EXPECT_EQ(col, want) << "x " << x;
        const int32_t back = v.BitmapToScreenX(col);
        EXPECT_LE(back, x);
        EXPECT_GE(back, x - static_cast<int32_t>(std::ceil(z / 100.0)));
        EXPECT_EQ(v.ScreenToBitmapX(back), col);
      }
      for (int32_t y : {v.OffsetY(), lastY}) {
        const int32_t row = v.ScreenToBitmapY(y);
        const int32_t want = ColumnOf(sy + y - v.OffsetY(), z, 700);
        EXPECT_EQ(row, want) << "y " << y;
        EXPECT_EQ(v.ScreenToBitmapY(v.BitmapToScreenY(row)), row);
      }
    }
  }
}

TEST(PixoranView, MaximumOriginRule) {
  TPixoranView v;
  v.SetScrollBars(ssNone);  // a client that does not change with the bars
  v.SetBounds(0, 0, 104, 104);
  const int32_t cw = v.ClientWidth(), ch = v.ClientHeight();
  int32_t mx = 0, my = 0;
  // Exceeding the client by 10 pixels or less scrolls by exactly the excess.
  SetPicture(v, cw + 10, ch + 3);
  v.GetMaxViewXY(mx, my);
  EXPECT_EQ(mx, 10);
  EXPECT_EQ(my, 3);
  // By more: the extent counts half an image pixel more (at 300 %: 1.5).
  SetPicture(v, cw, ch);
  v.SetZoom(300.0);
  v.GetMaxViewXY(mx, my);
  EXPECT_EQ(mx, static_cast<int32_t>((cw + 0.5) * 3.0) - cw);
  EXPECT_EQ(my, static_cast<int32_t>((ch + 0.5) * 3.0) - ch);

  v.SetViewXY(0, 0);  // keep-centre zooming moved it
  ViewEvents ev(v);
  v.SetViewX(-20);
  EXPECT_EQ(v.ViewX(), 0);
  EXPECT_TRUE(ev.changes.empty());  // already 0: nothing moved
  v.SetViewX(mx + 1000);
  EXPECT_EQ(v.ViewX(), mx);
  ASSERT_EQ(ev.changes.size(), 1u);
  EXPECT_EQ(ev.changes[0], 0);
  v.SetViewX(mx);
  EXPECT_EQ(ev.changes.size(), 1u);

  // A maximum that shows no further image column is 0: at 500 % a 20 x 100
  // picture exceeds the client by 2 zoomed pixels across (with the half
  // pixel), less than a column.
  v.SetZoom(100.0);
  SetPicture(v, 20, 100);
  v.SetZoom(500.0);
  v.GetMaxViewXY(mx, my);
  ASSERT_EQ(cw, 100);
  EXPECT_EQ(mx, 0);
  EXPECT_EQ(my, 502 - ch);

  // A picture the whole control holds does not scroll.
  SetPicture(v, 10, 10);
  v.SetZoom(100.0);
  v.GetMaxViewXY(mx, my);
  EXPECT_EQ(mx, 0);
  EXPECT_EQ(my, 0);
}

TEST(PixoranView, FittingAndAutoZoom) {
  TPixoranView v;
  v.SetBounds(0, 0, 204, 104);
  int32_t bx = 0, by = 0;
  v.GetBorderSize(bx, by, true);
  const double roomW = 204 - 2 * bx, roomH = 104 - 2 * by;

  // Nothing to fit: no change, no division by zero.
  v.GetPXBitmap()->FreeImage();
  v.Update();
  EXPECT_EQ(v.GetFitZoom(), 0.0);
  v.ZoomToFit();
  EXPECT_EQ(v.Zoom(), 100.0);
  EXPECT_EQ(v.GetAutoZoom(0, 10, 10, 10, true, true), 100.0);

  SetPicture(v, 400, 100);
  EXPECT_DOUBLE_EQ(v.GetFitZoom(), std::min(roomW / 4.0, roomH / 1.0));
  v.ZoomToFit();
  EXPECT_DOUBLE_EQ(v.Zoom(), std::min(roomW / 4.0, roomH / 1.0));

  struct Case {
    int32_t w, h;
    bool fit, stretch, shrink;
    double want;  // -1: the fit zoom
  };
  const Case cases[] = {
      {400, 100, true, false, false, -1},   // too big: shrunk
      {50, 20, true, false, false, -1},     // small: stretched
      {50, 20, false, false, true, 100},    // shrink only: small stays
      {400, 100, false, false, true, -1},   // shrink only: big shrinks
      {400, 100, false, true, false, 100},  // stretch only: big stays
      {50, 20, false, true, false, -1},     // stretch only: small grows
      {1, 1, true, false, false, 100},      // an empty picture stays at 100
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " fit " << c.fit << " stretch " << c.stretch);
    TPixoranView a;
    a.SetBounds(0, 0, 204, 104);
    SetPicture(a, c.w, c.h);
    a.SetAutoStretch(c.stretch);
    a.SetAutoShrink(c.shrink);
    a.SetAutoFit(c.fit);
    const double want = c.want < 0 ? std::max(1.0, a.GetFitZoom()) : c.want;
    EXPECT_DOUBLE_EQ(a.Zoom(), want);
  }
  // A fit below 1 % is raised to 1.
  TPixoranView big;
  big.SetBounds(0, 0, 54, 54);
  SetPicture(big, 20000, 20000);
  big.SetAutoFit(true);
  EXPECT_DOUBLE_EQ(big.Zoom(), 1.0);
}

TEST(PixoranView, ScrollBarRangesWithTheFactor) {
  TPixoranView v;
  v.SetBounds(0, 0, 300, 200);
  SetPicture(v, 30000, 150);
  v.SetZoom(400.0);  // 120000 zoomed pixels wide
  int32_t mx = 0, my = 0;
  v.GetMaxViewXY(mx, my);
  ASSERT_GT(mx, 65535);
  const TScrollInfo h = v.GetScrollInfo(sbHorizontal);
  EXPECT_TRUE(v.ScrollBarVisible(sbHorizontal));
  EXPECT_EQ(h.Min, 0);
  EXPECT_EQ(h.Max, 65535);
  const double factor = (v.ClientWidth() + static_cast<double>(mx)) / 65536.0;
  EXPECT_DOUBLE_EQ(v.HorzScrollFactor(), factor);
  EXPECT_EQ(h.Page, static_cast<int32_t>(v.ClientWidth() / factor));
  v.SetViewX(mx);
  EXPECT_EQ(v.GetScrollPos(sbHorizontal), static_cast<int32_t>(mx / factor));
  v.ScrollHorz(TPixoranView::saPosition, 0);
  EXPECT_EQ(v.GetScrollPos(sbHorizontal), 0);

  // Always-visible bars stay, disabled, when the picture fits.
  SetPicture(v, 20, 20);
  v.SetZoom(100.0);
  EXPECT_FALSE(v.ScrollBarVisible(sbHorizontal));
  v.SetScrollBarsAlwaysVisible(true);
  EXPECT_TRUE(v.ScrollBarVisible(sbHorizontal));
  EXPECT_TRUE(v.ScrollBarVisible(sbVertical));
  EXPECT_FALSE(v.ScrollBarEnabled(sbHorizontal));
}

// A size at which one bar appearing makes the other appear: the layout
// settles with both, and each page fits the final client.
TEST(PixoranView, BarsSettleForTheFinalClient) {
  TPixoranView v;
  v.SetBounds(0, 0, 204, 204);
  const int32_t cw = v.ClientWidth();
  const int32_t bar = v.Width() - 2 * v.FrameWidth() - cw;  // 0 until a bar shows
  ASSERT_EQ(bar, 0);
  SetPicture(v, cw + 30, cw - 5);  // too wide; fits in height until the bar takes room
  EXPECT_TRUE(v.ScrollBarVisible(sbHorizontal));
  EXPECT_TRUE(v.ScrollBarVisible(sbVertical));
  int32_t mx = 0, my = 0;
  v.GetMaxViewXY(mx, my);
  EXPECT_EQ(v.GetScrollInfo(sbHorizontal).Page,
            static_cast<int32_t>(v.ClientWidth() / ((v.ClientWidth() + static_cast<double>(mx)) / 65536.0)));
  EXPECT_EQ(v.GetScrollInfo(sbVertical).Page,
            static_cast<int32_t>(v.ClientHeight() / ((v.ClientHeight() + static_cast<double>(my)) / 65536.0)));
}

TEST(PixoranView, ScrollBarClickAndDragMoveTheOriginAndStay) {
  TPixoranView v;
  v.SetBounds(0, 0, 240, 180);
  v.Show();
  SetPicture(v, 2000, 1500);
  QScrollBar* hbar = nullptr;
  for (QScrollBar* b : v.Widget()->findChildren<QScrollBar*>())
    if (b->orientation() == Qt::Horizontal) hbar = b;
  ASSERT_NE(hbar, nullptr);
  ASSERT_TRUE(hbar->isVisible());
  ASSERT_EQ(v.ViewX(), 0);

  // A click in the trough right of the thumb pages forward by a client width.
  QTest::mouseClick(hbar, Qt::LeftButton, Qt::NoModifier, QPoint(hbar->width() - 30, hbar->height() / 2));
  EXPECT_EQ(v.ViewX(), v.ClientWidth());
  const int32_t posAfterClick = v.GetScrollPos(sbHorizontal);
  EXPECT_EQ(hbar->value(), posAfterClick);

  // Dragging the thumb moves the origin with it; the next setter keeps it.
  const int thumbX = hbar->height() + 4 +
                     static_cast<int>(static_cast<double>(hbar->value()) / (hbar->maximum() + hbar->pageStep()) *
                                      (hbar->width() - 2 * hbar->height()));
  const QPoint from(thumbX + 2, hbar->height() / 2);
  QTest::mousePress(hbar, Qt::LeftButton, Qt::NoModifier, from);
  QTest::mouseMove(hbar, from + QPoint(40, 0));
  QTest::mouseRelease(hbar, Qt::LeftButton, Qt::NoModifier, from + QPoint(40, 0));
  const int32_t dragged = v.ViewX();
  EXPECT_GT(dragged, v.ClientWidth());
  EXPECT_EQ(v.GetScrollPos(sbHorizontal), hbar->value());
  v.SetViewY(10);  // another setter does not snap the horizontal bar back
  EXPECT_EQ(v.ViewX(), dragged);
  EXPECT_EQ(hbar->value(), v.GetScrollPos(sbHorizontal));
  EXPECT_EQ(v.GetScrollPos(sbHorizontal), static_cast<int32_t>(dragged / v.HorzScrollFactor()));
}

TEST(PixoranView, WheelZoomsAndScrolls) {
  TPixoranView v;
  v.SetBounds(0, 0, 200, 150);
  SetPicture(v, 600, 400);
  double seen = 0;
  v.OnZoomIn = [&](TObject*, double& z) { seen = z; };
  v.ApplyMouseWheel(-120, 10, 10, false);
  EXPECT_DOUBLE_EQ(v.Zoom(), 108.0);
  EXPECT_DOUBLE_EQ(seen, 108.0);
  v.SetZoom(100.0);
  v.ApplyMouseWheel(120, 10, 10, false);
  EXPECT_DOUBLE_EQ(v.Zoom(), 92.0);
  v.MouseWheelParams().Action = mwaScroll;
  v.SetZoom(100.0);
  v.SetViewXY(0, 0);
  v.ApplyMouseWheel(-120, 10, 10, false);
  EXPECT_EQ(v.ViewY(), RoundHalfEven(v.ClientHeight() * 0.08));
}

// The picture at its exact pixels, the background around it and the
// centring offset, from a frame grabbed off the window.
TEST(PixoranView, GrabbedFrameShowsThePictureCentred) {
  TPixoranView v;
  v.SetBackground(RGBColor(10, 20, 30));
  v.SetBounds(0, 0, 120, 90);
  SetPicture(v, 40, 30);
  const QImage img = Grab(v);
  SaveFrame(img, "view-100.png");
  const int32_t ox = (v.ClientWidth() - 40) / 2, oy = (v.ClientHeight() - 30) / 2;
  EXPECT_EQ(v.OffsetX(), ox);
  EXPECT_EQ(v.OffsetY(), oy);
  EXPECT_EQ(img.pixel(0, 0), qRgb(10, 20, 30));
  EXPECT_EQ(img.pixel(ox - 1, oy), qRgb(10, 20, 30));
  EXPECT_EQ(img.pixel(ox, oy), qRgb(200, 0, 0));
  EXPECT_EQ(img.pixel(ox + 39, oy + 29), qRgb(200, 29, 39));
  EXPECT_EQ(img.pixel(ox + 40, oy + 29), qRgb(10, 20, 30));
  EXPECT_EQ(img.pixel(ox + 5, oy + 7), qRgb(200, 7, 5));

  // At 300 % each image pixel covers a 3 x 3 block.
  v.SetZoom(300.0);
  const QImage z = Grab(v);
  SaveFrame(z, "view-300.png");
  const int32_t col = v.ScreenToBitmapX(60), row = v.ScreenToBitmapY(45);
  EXPECT_EQ(z.pixel(60, 45), qRgb(200, row, col));
  const int32_t left = v.BitmapToScreenX(col), top = v.BitmapToScreenY(row);
  for (int dy = 0; dy < 3; ++dy)
    for (int dx = 0; dx < 3; ++dx) EXPECT_EQ(z.pixel(left + dx, top + dy), qRgb(200, row, col));
  EXPECT_EQ(z.pixel(left + 3, top), qRgb(200, row, col + 1));

  // A 1-bit picture shows black and white.
  SetPicture(v, 16, 16, pxBW1);
  v.GetPXBitmap()->Fill(0);
  v.SetZoom(100.0);
  const QImage bw = Grab(v);
  EXPECT_EQ(bw.pixel(v.OffsetX() + 3, v.OffsetY() + 3), qRgb(0, 0, 0));
}

TEST(PixoranView, LockedUpdatesPaintNothing) {
  TPixoranView v;
  v.SetBounds(0, 0, 100, 80);
  SetPicture(v, 50, 40);
  int composed = 0;
  v.OnDrawBackBuffer = [&](TObject*) { ++composed; };
  (void)Grab(v);
  EXPECT_EQ(composed, 1);
  (void)Grab(v);
  EXPECT_EQ(composed, 1);  // not dirty: only copied
  v.LockUpdate();
  v.SetZoom(200.0);
  v.SetViewXY(10, 10);
  (void)Grab(v);
  EXPECT_EQ(composed, 1);
  v.UnlockUpdate();
  (void)Grab(v);
  EXPECT_EQ(composed, 2);
}

// The background styles: chessboard squares cut at the edges, a square size
// below 1 taken as 1, and no background at all under an opaque picture that
// fills the client.
TEST(PixoranView, BackgroundStyles) {
  TBitmap b;
  b.SetPixelFormat(pf24bit);
  b.SetSize(40, 20);
  const TColor c = RGBColor(255, 0, 0);
  PaintBackgroundStyle(false, b.Canvas(), pxbsChessboard, c, 0, 0, 40, 20, TRect{}, 16, bsSolid, 0);
  const TColor other = RGBColor(0, 255, 255);
  // First row starts with the complement; widths 16, 16, 8 and heights 16, 4.
  const int xs[] = {0, 15, 16, 31, 32, 39};
  const TColor row0[] = {other, other, c, c, other, other};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(b.Canvas().Pixel(xs[i], 0), row0[i]) << xs[i];
  EXPECT_EQ(b.Canvas().Pixel(0, 15), other);
  EXPECT_EQ(b.Canvas().Pixel(0, 16), c);
  EXPECT_EQ(b.Canvas().Pixel(16, 19), other);
  PaintBackgroundStyle(false, b.Canvas(), pxbsChessboard, c, 0, 0, 40, 20, TRect{}, 0, bsSolid, 0);
  EXPECT_EQ(b.Canvas().Pixel(0, 0), other);
  EXPECT_EQ(b.Canvas().Pixel(1, 0), c);
  EXPECT_EQ(b.Canvas().Pixel(0, 1), c);
  PaintBackgroundStyle(false, b.Canvas(), pxbsGradient, clBlack, 0, 0, 40, 20, TRect{}, 16, bsSolid, clWhite);
  EXPECT_EQ(b.Canvas().Pixel(5, 0), clBlack);
  EXPECT_EQ(b.Canvas().Pixel(5, 19), clWhite);
  PaintBackgroundStyle(false, b.Canvas(), static_cast<TPXBackgroundStyle>(12), clRed, 0, 0, 40, 20, TRect{}, 16,
                       bsSolid, 0);
  EXPECT_EQ(b.Canvas().Pixel(5, 19), clWhite);  // unknown style: untouched

  TPixoranView v;
  v.SetScrollBars(ssNone);
  v.SetBounds(0, 0, 64, 48);
  v.SetBackgroundStyle(pxbsChessboard);
  SetPicture(v, v.ClientWidth(), v.ClientHeight());
  int marked = 0;
  v.OnDrawBackBuffer = [&](TObject*) {
    // Whatever the background left would show where the picture is not.
    ++marked;
  };
  v.BackBuffer().SetPixelFormat(pf24bit);
  v.BackBuffer().SetSize(v.ClientWidth(), v.ClientHeight());
  v.BackBuffer().Canvas().Brush.Color = clLime;
  v.BackBuffer().Canvas().FillRect(Rect(0, 0, v.ClientWidth(), v.ClientHeight()));
  const QImage img = Grab(v);
  EXPECT_EQ(marked, 1);
  EXPECT_EQ(img.pixel(3, 4), qRgb(200, 4, 3));
}

TEST(PixoranView, VersionCaptionSitsAtTheBottomRight) {
  TPixoranView v;
  v.SetBackground(clWhite);
  v.SetBounds(0, 0, 300, 60);
  v.SetDrawVersion(true);
  const QImage img = Grab(v);
  SaveFrame(img, "view-version.png");
  // Some dark text pixel lies near the bottom-right corner, and the back
  // buffer never got it.
  bool dark = false;
  for (int y = img.height() - 14; y < img.height(); ++y)
    for (int x = img.width() - 60; x < img.width(); ++x) dark = dark || qGray(img.pixel(x, y)) < 100;
  EXPECT_TRUE(dark);
  EXPECT_EQ(v.BackBuffer().Canvas().Pixel(v.ClientWidth() - 5, v.ClientHeight() - 5), clWhite);
  bool anyDarkInBuffer = false;
  for (int y = v.ClientHeight() - 14; y < v.ClientHeight(); ++y)
    for (int x = v.ClientWidth() - 60; x < v.ClientWidth(); ++x)
      anyDarkInBuffer = anyDarkInBuffer || v.BackBuffer().Canvas().Pixel(x, y) != clWhite;
  EXPECT_FALSE(anyDarkInBuffer);
}

TEST(PixoranView, LayersComposeWithBlendModeAndOpacity) {
  TPixoranView v;
  v.SetBounds(0, 0, 80, 60);
  SetPicture(v, 20, 10);
  EXPECT_EQ(v.GetLayersCount(), 1);
  const int32_t l = v.AddLayer();
  EXPECT_EQ(l, 1);
  EXPECT_EQ(v.CurrentLayer(), 1);
  TPXBitmap* top = v.GetPXBitmap();
  EXPECT_EQ(top->Width(), 20);
  for (int32_t y = 0; y < 10; ++y) {
    uint8_t* r = top->Scanline(y);
    for (int32_t x = 0; x < 20; ++x) r[3 * x] = 100, r[3 * x + 1] = 100, r[3 * x + 2] = 100;
  }
  v.GetLayer(1)->BlendMode = 9;  // darken: the smaller channel
  v.Update();
  QImage img = Grab(v);
  const int ox = v.OffsetX(), oy = v.OffsetY();
  EXPECT_EQ(img.pixel(ox + 7, oy + 3), qRgb(100, 3, 7));
  v.GetLayer(1)->BlendMode = 0;
  v.GetLayer(1)->Opacity = 0;
  v.Update();
  img = Grab(v);
  EXPECT_EQ(img.pixel(ox + 7, oy + 3), qRgb(200, 3, 7));

  // A smaller layer is enlarged to the extent while layers share one size.
  v.SetCurrentLayer(0);
  v.GetPXBitmap()->Allocate(30, 12, pxBGR24);
  v.Update();
  EXPECT_EQ(v.ExtentWidth(), 30);
  EXPECT_EQ(v.GetLayer(1)->Bitmap()->Width(), 30);
}

TEST(PixoranView, GetIOLoadsAFileInOneLine) {
  const std::string dir = pixoran::testing::MakeTempDir("view");
  QImage q(7, 5, QImage::Format_RGB888);
  q.fill(QColor(1, 2, 3));
  q.setPixelColor(6, 4, QColor(250, 128, 9));
  const std::string path = dir + "/pic.bmp";
  ASSERT_TRUE(q.save(QString::fromStdString(path), "BMP"));
  TPixoranView v;
  v.SetBounds(0, 0, 60, 40);
  int changes = 0;
  v.OnImageChange = [&](TObject*) { ++changes; };
  v.GetIO()->LoadFromFile(path);
  EXPECT_FALSE(v.GetIO()->Aborting());
  EXPECT_EQ(v.GetPXBitmap()->Width(), 7);
  EXPECT_EQ(v.ExtentWidth(), 7);
  EXPECT_GE(changes, 1);
  const QImage img = Grab(v);
  EXPECT_EQ(img.pixel(v.OffsetX() + 6, v.OffsetY() + 4), qRgb(250, 128, 9));
  EXPECT_EQ(v.GetIO(), v.GetIO());
}

// Before any layout with a parent there is no scroll factor yet: moving the
// origin must not divide by it.
TEST(PixoranView, OriginBeforeLayoutAndAnEmptyClient) {
  TPixoranView v;
  EXPECT_EQ(v.HorzScrollFactor(), 0.0);
  v.SetViewXY(5, 5);
  v.SetBounds(0, 0, 0, 0);
  SetPicture(v, 30, 30);
  (void)v.Widget()->grab();
  SUCCEED();
}

// The pixel grid inverts the lines between image pixels at 400 % and more;
// a finished selection's mask is inverted over the picture with pxsoFilled.
struct TSelectedView : TPixoranView {
  bool HasFinishedSelection() override { return true; }
};

TEST(PixoranView, PixelGridAndFilledSelection) {
  TSelectedView v;
  v.SetBounds(0, 0, 80, 80);
  SetPicture(v, 6, 6);
  v.SetZoom(800.0);
  v.SetPixelGrid(true);
  QImage img = Grab(v);
  const int32_t x = v.BitmapToScreenX(2), y = v.BitmapToScreenY(3) + 3;  // on a column line, inside row 3
  EXPECT_EQ(v.ScreenToBitmapX(x), 2);
  EXPECT_EQ(img.pixel(x, y), qRgb(255 - 200, 255 - 3, 255 - 2));
  EXPECT_EQ(img.pixel(x + 1, y), qRgb(200, 3, 2));
  v.SetZoom(300.0);
  img = Grab(v);
  const int32_t x3 = v.BitmapToScreenX(2);
  EXPECT_EQ(img.pixel(x3, v.BitmapToScreenY(3) + 1), qRgb(200, 3, 2));  // no grid below 400 %

  v.SetPixelGrid(false);
  v.Mask().SetPixel(4, 1, 1);
  v.SelectionOptions |= pxsoFilled;
  v.Update();
  img = Grab(v);
  EXPECT_EQ(img.pixel(v.BitmapToScreenX(4) + 1, v.BitmapToScreenY(1) + 1), qRgb(255 - 200, 255 - 1, 255 - 4));
  EXPECT_EQ(img.pixel(v.BitmapToScreenX(3) + 1, v.BitmapToScreenY(1) + 1), qRgb(200, 1, 3));
}

// A burst of movement is drawn without the zoom filter; once the delay
// timer has run out the filtered picture follows.
struct TTickView : TPixoranView {
  using TPixoranView::Timer;
};

TEST(PixoranView, DelayedZoomFilter) {
  TTickView v;
  v.SetBounds(0, 0, 120, 90);
  SetPicture(v, 200, 200);
  v.SetZoomFilter(rfBilinear);
  v.DelayZoomFilter = true;
  v.SetZoom(200.0);
  v.SetViewXY(40, 40);
  auto unfiltered = [&v](const QImage& img) {
    for (int y = 0; y < img.height(); ++y)
      for (int x = 0; x < img.width(); ++x)
        if (img.pixel(x, y) != qRgb(200, v.ScreenToBitmapY(y) & 0xFF, v.ScreenToBitmapX(x) & 0xFF)) return false;
    return true;
  };
  EXPECT_TRUE(unfiltered(Grab(v)));
  for (int i = 0; i < 4; ++i) v.Timer(1);
  EXPECT_FALSE(unfiltered(Grab(v)));
  // Repaints count down too: after the change, three more repaints go
  // unfiltered and the next one is filtered, without a timer tick.
  v.SetViewXY(20, 20);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(unfiltered(Grab(v))) << i;
  EXPECT_FALSE(unfiltered(Grab(v)));
}

// Setting the background lays the view out, repaints and reports an image change.
TEST(PixoranView, BackgroundSetterLaysOutAndReportsTheChange) {
  TPixoranView v;
  v.SetBounds(0, 0, 120, 90);
  SetPicture(v, 40, 30);
  int changes = 0;
  v.OnImageChange = [&](TObject*) { ++changes; };
  v.SetBackground(RGBColor(1, 2, 3));
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(Grab(v).pixel(0, 0), qRgb(1, 2, 3));
}

}  // namespace

// The background as each pixel format means it: the nearest palette entry,
// the luminance (21/71/8 of red, green, blue; as a word for 16-bit grey and
// a fraction for float), the set bit of a light colour. Every path that
// fills with it: filling the image, a copy's unselected pixels, a new layer,
// a layer enlarged to the others, the cleared image.
TEST(PixoranView, BackgroundFillsInEachPixelFormat) {
  const float grey = 117 / 255.0f;
  uint8_t floatBytes[4];
  std::memcpy(floatBytes, &grey, 4);
  struct TCase {
    TPXPixelFormat format;
    std::vector<uint8_t> bytes;  // one pixel; for pxBW1 the bit
  };
  for (const TCase& c : {TCase{pxPal8, {1}}, TCase{pxGray8, {117}}, TCase{pxGray16, {0x75, 0x75}},
                         TCase{px32f, {floatBytes[0], floatBytes[1], floatBytes[2], floatBytes[3]}}, TCase{pxBW1, {1}},
                         TCase{pxBGR24, {50, 100, 200}}}) {
    SCOPED_TRACE(static_cast<int>(c.format));
    auto pixel = [&c](TPXBitmap& b, int32_t x, int32_t y) {
      const uint8_t* r = b.Scanline(y);
      if (c.format == pxBW1) return std::vector<uint8_t>{static_cast<uint8_t>((r[x / 8] >> (7 - x % 8)) & 1)};
      const int32_t n = b.BitCount() / 8;
      return std::vector<uint8_t>(r + x * n, r + (x + 1) * n);
    };
    TPixoranView v;
    v.SetBounds(0, 0, 100, 80);
    v.SetLegacyBitmap(false);
    v.SetBackground(RGBColor(200, 100, 50));
    TPXBitmap& b = *v.GetPXBitmap();
    b.Allocate(8, 6, c.format);
    if (c.format == pxPal8) {
      b.SetPaletteEntry(0, TBGR{0, 0, 0});
      b.SetPaletteEntry(1, TBGR{40, 110, 190});
      b.SetPaletteEntry(2, TBGR{255, 255, 255});
    }
    v.FillWithBackground();
    EXPECT_EQ(pixel(b, 0, 0), c.bytes);
    EXPECT_EQ(pixel(b, 7, 5), c.bytes);

    // A triangle's box: its far corner lies outside and takes the background.
    b.Fill(0);
    v.SelectionBase = pxsbBitmap;
    for (TPXPoint p : {TPXPoint{0, 0}, TPXPoint{8, 0}, TPXPoint{0, 6}}) v.AddSelectionPoint(p.X, p.Y);
    TPXBitmap part;
    ASSERT_TRUE(v.CopySelectionToPXBitmap(part));
    EXPECT_EQ(pixel(part, part.Width() - 1, part.Height() - 1), c.bytes);
    v.Deselect();

    if (c.format != pxPal8) {  // a new layer has its own palette
      v.AddLayer();
      EXPECT_EQ(pixel(*v.GetPXBitmap(), 3, 3), c.bytes);
      // A larger layer enlarges the others; the new area takes the background.
      v.GetPXBitmap()->Allocate(10, 8, c.format);
      v.Update();
      TPXBitmap& first = *v.GetLayer(0)->Bitmap();
      ASSERT_EQ(first.Width(), 10);
      EXPECT_EQ(pixel(first, 9, 2), c.bytes);
      EXPECT_EQ(pixel(first, 2, 7), c.bytes);
      v.SetCurrentLayer(0);
      v.ClearImage();  // the new 1 x 1 image has a palette of its own too
      EXPECT_EQ(pixel(*v.GetPXBitmap(), 0, 0), c.bytes);
    }
  }
}
