// The viewer's interaction and layers: mode exclusion, click zoom, layer
// removal and merging, grip and scroll drags through real mouse events,
// special keys, posted object messages and the processing component.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QTest>
#include <QWidget>
#include <cmath>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/pxblend.h"
#include "io/pixoranio.h"
#include "proc/pixoranproc.h"
#include "testsupport.h"
#include "view/pixoranview.h"

using namespace pixoran;

namespace {

void Fill24(TPXBitmap& b, int32_t w, int32_t h, uint8_t bl, uint8_t g, uint8_t r) {
  b.Allocate(w, h, pxBGR24);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      row[3 * x] = bl;
      row[3 * x + 1] = g;
      row[3 * x + 2] = r;
    }
  }
}

// Client point to the widget's coordinates.
QPoint At(TPixoranView& v, int x, int y) { return QPoint(x + v.FrameWidth(), y + v.FrameWidth()); }

// Paints now, which places the layers' client rectangles.
void PaintNow(TPixoranView& v) { (void)v.Widget()->grab(); }

void Drag(TPixoranView& v, QPoint from, QPoint to) {
  QWidget* w = v.Widget();
  QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, At(v, from.x(), from.y()));
  // Two steps, so the drag is followed rather than jumped.
  const QPoint mid = (from + to) / 2;
  QTest::mouseMove(w, At(v, mid.x(), mid.y()));
  QTest::mouseMove(w, At(v, to.x(), to.y()));
  QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, At(v, to.x(), to.y()));
}

TEST(PixoranViewInteraction, ModeExclusion) {
  struct Case {
    TPXMouseInteractItems from, to, expected;
  };
  const Case cases[] = {
      {0, miSelect | miMoveLayers, miSelect},
      {miMoveLayers, miMoveLayers | miResizeLayers, miMoveLayers | miResizeLayers},
      {0, miZoom | miSelectPolygon, miSelectPolygon},
      {miZoom, miZoom | miScroll, miZoom | miScroll},
      {miSelect, miSelect | miScroll, miScroll},
      {0, miZoom | miMoveLayers | miSelectLasso, miZoom | miSelectLasso},
      {miScroll, miScroll | miSelectMagicWand, miSelectMagicWand},
      {miSelectCircle, miSelectCircle | miZoom, miZoom | miSelectCircle},
      {miZoom | miScroll, miZoom | miScroll | miMoveLayers, miMoveLayers},
      {0, 0x8000 | miSelect | miScroll, 0x8000 | miScroll},
  };
  for (const Case& c : cases) {
    TPixoranView v;
    v.SetMouseInteract(c.from);
    ASSERT_EQ(v.MouseInteract(), c.from);
    v.SetMouseInteract(c.to);
    EXPECT_EQ(v.MouseInteract(), c.expected) << std::hex << c.from << " -> " << c.to;
  }
}

TEST(PixoranViewInteraction, ClickZoomStepsBothWaysThroughRealClicks) {
  EXPECT_EQ(ClickZoomIn(1), 2);
  EXPECT_EQ(ClickZoomIn(75), 100);
  EXPECT_EQ(ClickZoomOut(200), 100);
  EXPECT_EQ(ClickZoomOut(100), 75);
  EXPECT_EQ(ClickZoomOut(1), 2);

  struct Case {
    double zoom;
    Qt::MouseButton button;
    double expected;
  };
  const Case cases[] = {{30, Qt::LeftButton, 33}, {100, Qt::LeftButton, 200},  {150, Qt::RightButton, 100},
                        {2, Qt::RightButton, 2},  {300, Qt::RightButton, 200}, {5, Qt::RightButton, 2}};
  for (const Case& c : cases) {
    TPixoranView v;
    v.SetBounds(0, 0, 300, 200);
    v.Show();
    TPXBitmap* b = v.GetPXBitmap();
    Fill24(*b, 100, 100, 1, 2, 3);
    v.Update();
    v.SetZoom(c.zoom);
    v.SetMouseInteract(miZoom);
    int zoomOuts = 0, viewChanges = 0;
    v.OnZoomOut = [&](TObject*, double&) { ++zoomOuts; };
    v.OnViewChange = [&](TObject*, int32_t) { ++viewChanges; };
    const QPoint p = At(v, v.OffsetX() + v.DisplayedWidth() / 2, v.OffsetY() + v.DisplayedHeight() / 2);
    QTest::mouseClick(v.Widget(), c.button, Qt::NoModifier, p);
    EXPECT_EQ(v.Zoom(), c.expected) << c.zoom;
    if (c.button == Qt::RightButton) {
      EXPECT_EQ(zoomOuts, 1);
    }
    if (c.expected == c.zoom) {
      EXPECT_EQ(viewChanges, 0);
    }
  }
}

TEST(PixoranViewInteraction, RemoveLayerIndexRules) {
  struct Case {
    int32_t count, current, remove, expectedCurrentTag, expectedCount;
  };
  const Case cases[] = {
      {3, 1, 1, 2, 2},  // the current goes: the next one takes its index
      {3, 2, 0, 2, 2},  // below the current: the index moves down
      {3, 2, 2, 1, 2},  // the last and current: the one below
      {3, 0, 2, 0, 2},  // above the current: nothing moves
      {1, 0, 0, 0, 1},  // the only layer stays
      {3, 1, 5, 1, 3},  // out of range
      {3, 1, -1, 1, 3},
  };
  for (const Case& c : cases) {
    TPixoranView v;
    Fill24(*v.GetPXBitmap(), 8, 6, 0, 0, 0);
    v.Update();
    for (int32_t i = 1; i < c.count; ++i) v.AddLayer();
    for (int32_t i = 0; i < c.count; ++i) v.GetLayer(i)->Reserved = i;
    v.SetCurrentLayer(c.current);
    ASSERT_EQ(v.CurrentLayer(), c.current);
    std::vector<int32_t> notified;
    v.OnLayerNotify = [&](TObject*, int32_t layer, int32_t event) {
      if (event == 0) notified.push_back(layer);
    };
    v.RemoveLayer(c.remove);
    ASSERT_EQ(v.GetLayersCount(), c.expectedCount);
    TPXLayer* cur = v.GetLayer(v.CurrentLayer());
    ASSERT_NE(cur, nullptr);
    EXPECT_EQ(cur->Reserved, c.expectedCurrentTag) << c.current << " remove " << c.remove;
    // The view shows the current layer's bitmap, never a freed one.
    EXPECT_EQ(v.GetPXBitmap(), cur->Bitmap());
    if (c.remove == c.current && c.count > 1) {
      EXPECT_EQ(notified.size(), 1u);
    }
  }
}

TEST(PixoranViewInteraction, MergeOpaqueAndHalfTransparentUpperAtNegativePosition) {
  TPixoranView v;
  v.SetLayersSameSize(false);
  v.SetBackground(0x00010203);  // red 3, green 2, blue 1
  // The lower layer is grey (read through the row conversion), opacity 200.
  TPXBitmap* lower = v.GetPXBitmap();
  lower->Allocate(4, 3, pxGray8);
  for (int32_t y = 0; y < 3; ++y) std::fill_n(lower->Scanline(y), 4, uint8_t{77});
  v.Update();
  v.GetLayer(0)->Opacity = 200;
  // The upper layer: 3 x 2 at (-1, -1), one half-transparent pixel.
  ASSERT_EQ(v.AddLayer(), 1);
  TPXLayer* up = v.GetLayer(1);
  Fill24(*up->Bitmap(), 3, 2, 10, 20, 30);
  TPXBitmap* ua = up->Bitmap()->GetAlphaChannel();
  for (int32_t y = 0; y < 2; ++y) std::fill_n(ua->Scanline(y), 3, uint8_t{255});
  ua->Scanline(1)[0] = 128;
  ua->Scanline(1)[2] = 128;
  up->PosX = -1;
  up->PosY = -1;
  up->BlendMode = 2;
  v.Update();

  v.MergeLayers(1, 0);
  ASSERT_EQ(v.GetLayersCount(), 1);
  EXPECT_EQ(v.CurrentLayer(), 0);
  TPXLayer* m = v.GetLayer(0);
  EXPECT_TRUE(m->Locked);
  EXPECT_EQ(m->PosX, -1);
  EXPECT_EQ(m->PosY, -1);
  TPXBitmap* r = v.GetPXBitmap();
  ASSERT_EQ(r, m->Bitmap());
  ASSERT_EQ(r->Width(), 5);
  ASSERT_EQ(r->Height(), 4);
  ASSERT_EQ(r->PixelFormat(), pxBGR24);
  ASSERT_TRUE(r->HasAlphaChannel());
  auto px = [&](int32_t x, int32_t y) {
    const uint8_t* row = r->Scanline(y);
    return std::vector<int>{row[3 * x], row[3 * x + 1], row[3 * x + 2], r->GetAlphaChannel()->Scanline(y)[x]};
  };
  // Upper only, opaque and half; lower only (its opacity); neither.
  EXPECT_EQ(px(0, 0), (std::vector<int>{10, 20, 30, 255}));
  EXPECT_EQ(px(0, 1), (std::vector<int>{10, 20, 30, 128}));
  EXPECT_EQ(px(3, 1), (std::vector<int>{77, 77, 77, 200}));
  EXPECT_EQ(px(4, 3), (std::vector<int>{77, 77, 77, 200}));
  EXPECT_EQ(px(0, 3), (std::vector<int>{1, 2, 3, 0}));
  // Both, the upper opaque: the lower blended by the upper's mode.
  uint8_t blended[3] = {77, 77, 77};
  const uint8_t upper[3] = {10, 20, 30};
  BlendPixel(upper, blended, 2);
  EXPECT_EQ(px(1, 1), (std::vector<int>{blended[0], blended[1], blended[2], 255}));
  // Both, the upper half-transparent: mixed by alpha, no blend mode.
  // a2 = 128/255, a1 = 200/255, under = (1 - a2) a1 = 0.390619, a = 0.892580.
  EXPECT_EQ(px(2, 1), (std::vector<int>{39, 44, 50, 227}));
}

// A positioned layer's soft shadow darkens the picture just right of and
// below it, within the shadow's margin, and nowhere far from it.
TEST(PixoranViewInteraction, LayerSoftShadowFallsBelowAndRight) {
  for (uint8_t kind : {uint8_t{0}, uint8_t{1}}) {
    TPixoranView v;
    v.SetBounds(0, 0, 300, 200);
    v.Show();
    v.SetLayersSameSize(false);
    Fill24(*v.GetPXBitmap(), 200, 150, 200, 200, 200);
    v.Update();
    v.AddLayer();
    TPXLayer* l = v.GetLayer(1);
    Fill24(*l->Bitmap(), 50, 40, 255, 255, 255);
    l->PosX = 20;
    l->PosY = 30;
    auto grey = [&](int32_t x, int32_t y) { return v.BackBuffer().Canvas().Pixel(x, y) & 0xFF; };
    PaintNow(v);
    const TRect r = l->ClientRect;
    ASSERT_EQ(grey(r.Right + 2, r.Bottom + 2), 200);
    l->SoftShadow = true;
    l->ShadowRadius = 3.0;
    l->ShadowKind = kind;
    v.Update();
    PaintNow(v);
    EXPECT_LT(grey(r.Right + 2, r.Bottom + 2), 200) << int(kind);
    EXPECT_LT(grey(r.Right + 2, (r.Top + r.Bottom) / 2), 200) << int(kind);
    EXPECT_EQ(grey(r.Right + 40, r.Bottom + 40), 200) << int(kind);
    EXPECT_EQ(grey(r.Left - 3, r.Top - 3), 200) << int(kind);
    EXPECT_EQ(grey(r.Left + 5, r.Top + 5), 255) << int(kind);  // the layer covers its shadow
  }
}

// A layer too large to build a shadow for whole (here 9000 x 8000 client
// pixels) still casts it, with the same edge as a small layer whose corner
// lies at the same place.
TEST(PixoranViewInteraction, LargeLayerShadowHasTheSmallLayersEdges) {
  QImage shots[2];
  for (int big = 0; big < 2; ++big) {
    TPixoranView v;
    v.SetBounds(0, 0, 300, 200);
    v.Show();
    v.SetLayersSameSize(false);
    Fill24(*v.GetPXBitmap(), 200, 150, 200, 200, 200);
    v.Update();
    v.AddLayer();
    TPXLayer* l = v.GetLayer(1);
    Fill24(*l->Bitmap(), 50, 40, 255, 255, 255);
    l->Width = big ? 9000 : 50;
    l->Height = big ? 8000 : 40;
    l->PosX = 120 - l->Width;  // bottom-right corner at (120, 90)
    l->PosY = 90 - l->Height;
    l->SoftShadow = true;
    l->ShadowRadius = 3.0;
    v.Update();
    PaintNow(v);
    const TRect r = l->ClientRect;
    shots[big] = v.BackBuffer().Image().copy(r.Right - 10, r.Bottom - 10, 40, 40).convertToFormat(QImage::Format_RGB32);
  }
  EXPECT_LT(qRed(shots[1].pixel(12, 12)), 200);  // below and right of the corner
  EXPECT_EQ(shots[0], shots[1]);
}

TEST(PixoranViewInteraction, GripDragAndLayerMoveThroughMouseEvents) {
  TPixoranView v;
  v.SetBounds(0, 0, 300, 200);
  v.Show();
  v.SetLayersSameSize(false);
  Fill24(*v.GetPXBitmap(), 200, 150, 50, 50, 50);
  v.Update();
  v.AddLayer();
  TPXLayer* l = v.GetLayer(1);
  l->Width = 50;
  l->Height = 40;
  l->PosX = 20;
  l->PosY = 30;
  v.SetMouseInteract(miMoveLayers | miResizeLayers);
  ASSERT_EQ(v.MouseInteract(), miMoveLayers | miResizeLayers);
  std::vector<std::pair<int32_t, int32_t>> events;
  v.OnLayerNotify = [&](TObject*, int32_t layer, int32_t event) { events.emplace_back(layer, event); };
  PaintNow(v);
  TRect r = l->ClientRect;
  ASSERT_EQ(r.Width(), 50);

  // Hovering shows the grip's resize cursor, the move cursor inside.
  const int32_t hover[][3] = {{r.Left, r.Top, 1786},
                              {r.Right, r.Top, 1788},
                              {r.Left, (r.Top + r.Bottom) / 2, 1789},
                              {(r.Left + r.Right) / 2, r.Bottom, 1787},
                              {r.Left + 20, r.Top + 15, 1790}};
  for (const auto& h : hover) {
    QTest::mouseMove(v.Widget(), At(v, h[0], h[1]));
    EXPECT_EQ(v.Cursor(), h[2]) << h[0] << "," << h[1];
  }

  // Bottom-right grip: the size follows the mouse, the corner stays.
  Drag(v, QPoint(r.Right, r.Bottom), QPoint(r.Right + 30, r.Bottom + 20));
  EXPECT_EQ(l->GetWidth(), 80);
  EXPECT_EQ(l->GetHeight(), 60);
  EXPECT_EQ(l->PosX, 20);
  EXPECT_EQ(l->PosY, 30);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), std::make_pair(1, 2));

  // Top-left grip: the far corner stays put.
  PaintNow(v);
  r = l->ClientRect;
  Drag(v, QPoint(r.Left, r.Top), QPoint(r.Left + 10, r.Top + 5));
  EXPECT_EQ(l->PosX, 30);
  EXPECT_EQ(l->PosY, 35);
  EXPECT_EQ(l->GetWidth(), 70);
  EXPECT_EQ(l->GetHeight(), 55);
  // Past the far corner the size stops at 1 and so does the position.
  PaintNow(v);
  r = l->ClientRect;
  Drag(v, QPoint(r.Left, r.Top), QPoint(r.Left + 200, r.Top + 5));
  EXPECT_EQ(l->GetWidth(), 1);
  EXPECT_EQ(l->PosX, 99);
  EXPECT_EQ(l->GetHeight(), 50);
  EXPECT_EQ(l->PosY, 40);

  // A drag inside the layer moves it.
  l->Width = 70;
  l->PosX = 30;
  l->PosY = 35;
  v.Update();
  PaintNow(v);
  r = l->ClientRect;
  events.clear();
  Drag(v, QPoint(r.Left + 30, r.Top + 20), QPoint(r.Left + 30 - 40, r.Top + 20 + 12));
  EXPECT_EQ(l->PosX, -10);
  EXPECT_EQ(l->PosY, 47);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), std::make_pair(1, 1));
  EXPECT_EQ(v.Cursor(), kPXDefaultViewCursor);

  // The locked layer 0 is made current by a click but not moved.
  v.SetCurrentLayer(1);
  PaintNow(v);
  Drag(v, QPoint(v.OffsetX() + 190, v.OffsetY() + 140), QPoint(v.OffsetX() + 150, v.OffsetY() + 100));
  EXPECT_EQ(v.CurrentLayer(), 0);
  EXPECT_EQ(v.GetLayer(0)->PosX, 0);
  EXPECT_EQ(v.LayerAt(-100, -100), -1);
}

TEST(PixoranViewInteraction, DragScrollMovesTheOrigin) {
  TPixoranView v;
  v.SetBounds(0, 0, 300, 200);
  v.Show();
  Fill24(*v.GetPXBitmap(), 900, 700, 1, 1, 1);
  v.Update();
  v.SetMouseInteract(miScroll);
  v.SetViewXY(100, 100);
  Drag(v, QPoint(150, 100), QPoint(100, 70));
  EXPECT_EQ(v.ViewX(), 150);
  EXPECT_EQ(v.ViewY(), 130);
  EXPECT_EQ(v.Cursor(), kPXDefaultViewCursor);
  // Dragging the other way past the start stops at 0.
  Drag(v, QPoint(10, 10), QPoint(250, 180));
  EXPECT_EQ(v.ViewX(), 0);
  EXPECT_EQ(v.ViewY(), 0);
}

// A viewer whose selection seam records what the mouse handling passes it.
class TSnoopView : public TPixoranView {
 public:
  std::vector<TShiftState> presses;
  int shifted = 0;

 protected:
  bool SelectionPress(TPXMouseInteractItems, TShiftState shift, int32_t, int32_t) override {
    presses.push_back(shift);
    return true;
  }
  void ShiftSelection(int32_t dx, int32_t dy) override { shifted += dx + dy; }
  void MagicWandAt(int32_t, int32_t, bool add) override {
    wandHourglass = QGuiApplication::overrideCursor() != nullptr;
    wandAdd = add;
  }

 public:
  bool wandHourglass = false, wandAdd = false;
};

TEST(PixoranViewInteraction, LineSnapFlagStandsForAltAndAutoScrollShiftsSelection) {
  TSnoopView v;
  v.SetBounds(0, 0, 300, 200);
  v.Show();
  Fill24(*v.GetPXBitmap(), 900, 700, 1, 1, 1);
  v.Update();
  v.SetMouseInteract(miSelectPolygon);
  int before = 0;
  v.OnBeforeSelectionChange = [&](TObject*) { ++before; };
  QTest::mouseClick(v.Widget(), Qt::LeftButton, Qt::NoModifier, At(v, 20, 20));
  v.LineSnap = true;
  QTest::mouseClick(v.Widget(), Qt::LeftButton, Qt::NoModifier, At(v, 40, 20));
  ASSERT_EQ(v.presses.size(), 2u);
  EXPECT_FALSE(v.presses[0] & ssAlt);
  EXPECT_TRUE(v.presses[1] & ssAlt);
  EXPECT_EQ(before, 2);

  // Outside the displayed image the view scrolls by the distance outside.
  v.SetViewXY(100, 100);
  EXPECT_TRUE(v.AutoScroll(v.OffsetX() + v.DisplayedWidth() + 15, 50));
  EXPECT_EQ(v.ViewX(), 115);
  EXPECT_EQ(v.shifted, -15);
  EXPECT_FALSE(v.AutoScroll(50, 50));
}

// A real rectangle drag held right of the picture: the timer goes on
// scrolling, one step of the distance outside a tick, until the origin
// stops; the rectangle follows to the picture's edge. Back inside, the
// ticks do nothing.
struct TTimerView : TPixoranView {
  using TPixoranView::kAutoScrollTimer;
  using TPixoranView::Timer;
};

TEST(PixoranViewInteraction, AutoScrollRepeatsOnTheTimerWhileHeldOutside) {
  TTimerView v;
  v.SetBorderStyle(bsNone);
  v.SetScrollBars(ssNone);
  v.SetBounds(0, 0, 300, 200);
  v.Show();
  Fill24(*v.GetPXBitmap(), 900, 700, 1, 1, 1);
  v.Update();
  v.SetMouseInteract(miSelect);
  QWidget* w = v.Widget();
  QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
  QTest::mouseMove(w, QPoint(200, 120));
  QTest::mouseMove(w, QPoint(320, 120));  // 20 pixels right of the picture
  EXPECT_EQ(v.ViewX(), 20);
  for (int i = 0; i < 3; ++i) v.Timer(TTimerView::kAutoScrollTimer);
  EXPECT_EQ(v.ViewX(), 80);
  for (int i = 0; i < 40; ++i) v.Timer(TTimerView::kAutoScrollTimer);
  int32_t mx = 0, my = 0;
  v.GetMaxViewXY(mx, my);
  EXPECT_EQ(v.ViewX(), mx);
  QTest::mouseMove(w, QPoint(250, 120));
  v.Timer(TTimerView::kAutoScrollTimer);
  EXPECT_EQ(v.ViewX(), mx);
  QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, QPoint(250, 120));
  // The rectangle runs from its first image point to the mouse's.
  ASSERT_EQ(v.GetSelectionPointCount(), 4);
  EXPECT_EQ(v.GetSelectionPoints()[0].X, 100);
  EXPECT_EQ(v.GetSelectionPoints()[2].X, v.ScreenToBitmapX(250) + 1);
}

// A navigator follows its viewer: the image again at each image change, a
// repaint at each view change.
struct TPaintCountView : TPixoranView {
  int paints = 0;

 protected:
  void Paint() override {
    ++paints;
    TPixoranView::Paint();
  }
};

TEST(PixoranViewInteraction, NavigatorFollowsImageAndViewChanges) {
  TPixoranView big;
  big.SetBounds(0, 0, 120, 90);
  big.Show();
  Fill24(*big.GetPXBitmap(), 400, 300, 1, 1, 1);
  big.Update();
  TPaintCountView nav;
  nav.SetBounds(200, 0, 80, 60);
  nav.Show();
  big.SetLinkedView(&nav);
  ASSERT_EQ(nav.GetPXBitmap()->Width(), 400);

  // A layout alone hands nothing over; an image change does.
  Fill24(*big.GetPXBitmap(), 500, 200, 9, 9, 9);
  big.Update();
  EXPECT_EQ(nav.GetPXBitmap()->Width(), 400);
  big.ImageChange();
  EXPECT_EQ(nav.GetPXBitmap()->Width(), 500);
  EXPECT_EQ(nav.GetPXBitmap()->Scanline(0)[0], 9);

  QCoreApplication::processEvents();
  nav.paints = 0;
  big.SetViewXY(50, 0);
  QCoreApplication::processEvents();
  EXPECT_GT(nav.paints, 0);
  big.SetLinkedView(nullptr);
}

// Without a selection under the press, the wand runs at the release.
class TWandView : public TSnoopView {
 protected:
  bool SelectionPress(TPXMouseInteractItems, TShiftState, int32_t, int32_t) override { return false; }
};

TEST(PixoranViewInteraction, MagicWandRunsUnderTheHourglass) {
  TWandView w;
  w.SetBounds(0, 0, 100, 100);
  w.Show();
  Fill24(*w.GetPXBitmap(), 50, 50, 1, 1, 1);
  w.Update();
  w.SetMouseInteract(miSelectMagicWand);
  int changes = 0;
  w.OnSelectionChange = [&](TObject*) { ++changes; };
  QTest::mouseClick(w.Widget(), Qt::LeftButton, Qt::ShiftModifier, At(w, 50, 50));
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(w.wandHourglass);
  EXPECT_TRUE(w.wandAdd);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(PixoranViewInteraction, InsertAndExternalBitmaps) {
  TPixoranView v;
  v.SetLayersSameSize(false);  // layers of other sizes stay as they are
  Fill24(*v.GetPXBitmap(), 6, 4, 0, 0, 0);
  v.Update();
  v.GetLayer(0)->Reserved = 7;
  EXPECT_EQ(v.InsertLayer(0), 0);
  EXPECT_EQ(v.GetLayersCount(), 2);
  EXPECT_EQ(v.GetLayer(1)->Reserved, 7);
  EXPECT_EQ(v.GetPXBitmap(), v.GetLayer(0)->Bitmap());
  EXPECT_EQ(v.GetPXBitmap()->Width(), 6);

  TPXBitmap ext;
  Fill24(ext, 3, 2, 5, 5, 5);
  v.SetExternalBitmap(&ext);
  EXPECT_EQ(v.GetPXBitmap(), &ext);
  EXPECT_FALSE(v.GetLayer(0)->OwnsBitmap());
  v.SetExternalBitmap(nullptr);
  EXPECT_NE(v.GetPXBitmap(), &ext);
  EXPECT_TRUE(v.GetLayer(0)->OwnsBitmap());
  EXPECT_EQ(ext.Width(), 3);  // still the caller's
  // The layer's own bitmap handed back stays its own (the sanitizer run
  // sees a leak otherwise).
  TPXBitmap* own = v.GetPXBitmap();
  v.SetExternalBitmap(own);
  EXPECT_EQ(v.GetPXBitmap(), own);
  EXPECT_TRUE(v.GetLayer(0)->OwnsBitmap());
}

// Grip drags and layer moves far past the picture: sizes and positions
// stop at kPXLayerReach extents (the picture is 200 x 150).
TEST(PixoranViewInteraction, DraggedLayersStayWithinReach) {
  struct TCase {
    int grip;  // 0: a move from inside
    QPoint by;
    int32_t w, h, x, y;
  };
  for (const TCase c :
       {TCase{3, {100000, 100000}, 800, 600, 20, 30}, TCase{1, {-100000, -100000}, 800, 600, -730, -530},
        TCase{0, {100000, -100000}, 50, 40, 800, -600}, TCase{0, {-100000, 100000}, 50, 40, -800, 600}}) {
    SCOPED_TRACE(c.grip);
    TPixoranView v;
    v.SetBounds(0, 0, 300, 200);
    v.Show();
    v.SetLayersSameSize(false);
    Fill24(*v.GetPXBitmap(), 200, 150, 50, 50, 50);
    v.Update();
    v.AddLayer();
    TPXLayer* l = v.GetLayer(1);
    l->Width = 50;
    l->Height = 40;
    l->PosX = 20;
    l->PosY = 30;
    v.SetMouseInteract(miMoveLayers | miResizeLayers);
    PaintNow(v);
    const TRect r = l->ClientRect;
    const QPoint from = c.grip == 3   ? QPoint(r.Right, r.Bottom)
                        : c.grip == 1 ? QPoint(r.Left, r.Top)
                                      : QPoint(r.Left + 20, r.Top + 15);
    // Far outside the client: the conversions go on past the picture.
    QWidget* w = v.Widget();
    QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, At(v, from.x(), from.y()));
    for (int k = 1; k <= 4; ++k) QTest::mouseMove(w, At(v, from.x() + c.by.x() * k / 4, from.y() + c.by.y() * k / 4));
    QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, At(v, from.x() + c.by.x(), from.y() + c.by.y()));
    EXPECT_EQ(l->GetWidth(), c.w);
    EXPECT_EQ(l->GetHeight(), c.h);
    EXPECT_EQ(l->PosX, c.x);
    EXPECT_EQ(l->PosY, c.y);
  }
}

// MergeLayers: a layer shown at another size than its bitmap is resampled
// to it first; a merge whose result cannot be stored says so by its result
// alone and leaves the layers as they were.
TEST(PixoranViewInteraction, MergeResamplesLayersAndKeepsThemWhenItFails) {
  TPixoranView v;
  v.SetLayersSameSize(false);
  Fill24(*v.GetPXBitmap(), 8, 6, 0, 0, 0);
  v.Update();
  v.AddLayer();
  TPXLayer* up = v.GetLayer(1);
  Fill24(*up->Bitmap(), 2, 2, 10, 20, 30);
  up->Width = 6;
  up->Height = 4;
  up->PosX = 4;
  up->PosY = 3;
  ASSERT_TRUE(v.MergeLayers(0, 1));
  ASSERT_EQ(v.GetLayersCount(), 1);
  TPXBitmap* m = v.GetPXBitmap();
  ASSERT_EQ(m->Width(), 10);
  ASSERT_EQ(m->Height(), 7);
  EXPECT_EQ(m->GetPixel24(9, 6), (TBGR{10, 20, 30}));  // the stretched layer reaches its display corner
  EXPECT_EQ(m->GetPixel24(4, 3), (TBGR{10, 20, 30}));
  EXPECT_EQ(m->GetPixel24(3, 3), (TBGR{0, 0, 0}));
  EXPECT_EQ(m->GetAlphaChannel()->Scanline(6)[1], 0);  // neither layer

  v.AddLayer();
  TPXLayer* far = v.GetLayer(1);
  far->PosX = 30;
  far->PosY = 20;
  TPXBitmap* before0 = v.GetLayer(0)->Bitmap();
  TPXBitmap* before1 = far->Bitmap();
  v.GetIO()->SetAborting(true);  // left by an earlier load or save
  PXArmAllocationFault(1);       // no storage for the merged result
  EXPECT_FALSE(v.MergeLayers(0, 1));
  EXPECT_TRUE(PXAllocationFaultFired());
  PXArmAllocationFault(0);
  EXPECT_FALSE(v.GetIO()->Aborting()) << "the merge's result is its signal, not a stale flag";
  ASSERT_EQ(v.GetLayersCount(), 2);
  EXPECT_EQ(v.GetLayer(0)->Bitmap(), before0);
  EXPECT_EQ(v.GetLayer(1)->Bitmap(), before1);
  EXPECT_EQ(before0->Width(), 10);
}

TEST(PixoranViewInteraction, SpecialKeysAndShiftCursor) {
  TPixoranView v;
  EXPECT_EQ(v.Perform(cmWantSpecialKey, vkLeft), 1);
  EXPECT_EQ(v.Perform(cmWantSpecialKey, vkPrior), 1);
  EXPECT_EQ(v.Perform(cmWantSpecialKey, vkTab), 0);
  v.OnSpecialKey = [](TObject*, int32_t key, bool& handled) { handled = key == vkDown; };
  EXPECT_EQ(v.Perform(cmWantSpecialKey, vkDown), 0);
  EXPECT_EQ(v.Perform(cmWantSpecialKey, vkUp), 1);

  v.Show();
  QTest::keyPress(v.Widget(), Qt::Key_Shift, Qt::ShiftModifier);
  EXPECT_EQ(v.Cursor(), 1791);
  QTest::keyRelease(v.Widget(), Qt::Key_A, Qt::NoModifier);
  EXPECT_EQ(v.Cursor(), kPXDefaultViewCursor);
}

TEST(PixoranViewInteraction, PostedObjectMessagesUseCheckedHandles) {
  TPixoranView v;
  TObject frame;
  std::vector<TObject*> got;
  v.OnDShowNewFrame = [&](TObject*, TObject* o) { got.push_back(o); };
  const intptr_t h = RegisterMessageObject(&frame);
  ASSERT_NE(h, 0);
  ASSERT_TRUE(PostMessage(v.MessageTarget(), kPXNewFrameMessage, 0, h));
  QCoreApplication::processEvents();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], &frame);
  // Freed before the message arrives: the handle no longer leads anywhere.
  ASSERT_TRUE(PostMessage(v.MessageTarget(), kPXNewFrameMessage, 0, h));
  ReleaseMessageObject(h);
  QCoreApplication::processEvents();
  EXPECT_EQ(got.size(), 1u);
  v.Perform(kPXNewFrameMessage, 0, 12345);
  EXPECT_EQ(got.size(), 1u);
}

TEST(PixoranViewInteraction, ProcessingComponentAssignAndClear) {
  TPixoranView v;
  Fill24(*v.GetPXBitmap(), 40, 30, 9, 8, 7);
  v.Update();
  TPixoranProc* p = v.GetProc();
  ASSERT_EQ(p, v.GetProc());
  EXPECT_EQ(p->AttachedPixoran(), &v);
  // The component finds the viewer's selection interface.
  EXPECT_NE(dynamic_cast<TPXSelectionSource*>(p->AttachedPixoran()), nullptr);
  p->Resample(20, 15, rfNone);
  EXPECT_EQ(v.GetPXBitmap()->Width(), 20);
  EXPECT_EQ(v.GetPXBitmap()->Height(), 15);

  TPixoranView w;
  w.SetBackground(0x00302010);
  w.SetDpi(72, 96);
  Fill24(*w.GetPXBitmap(), 5, 4, 1, 2, 3);
  v.Assign(&w);
  EXPECT_EQ(v.GetPXBitmap()->Width(), 5);
  EXPECT_EQ(v.Background(), 0x00302010u);
  EXPECT_EQ(v.DpiX(), 72);
  EXPECT_EQ(v.GetPXBitmap()->Scanline(0)[2], 3);

  v.ClearImage();
  EXPECT_EQ(v.GetPXBitmap()->Width(), 1);
  EXPECT_EQ(v.GetPXBitmap()->Height(), 1);
  EXPECT_EQ(v.GetPXBitmap()->Scanline(0)[0], 0x30);

  // A linked navigator shows the image and gets the visible size as its box.
  TPixoranView nav;
  {
    TPixoranView big;
    big.SetBounds(0, 0, 120, 90);
    Fill24(*big.GetPXBitmap(), 400, 300, 1, 1, 1);
    big.Update();
    big.SetLinkedView(&nav);
    EXPECT_TRUE(nav.AutoFit());
    EXPECT_EQ(nav.MouseInteract(), miSelect);
    EXPECT_EQ(nav.GetPXBitmap()->Width(), 400);
    big.Update();
    EXPECT_EQ(nav.FixedSelectionWidth, big.VisibleImageWidth());
    EXPECT_EQ(nav.FixedSelectionHeight, big.VisibleImageHeight());
  }
  EXPECT_FALSE(nav.OnSelectionChanging);
}

}  // namespace

namespace {
// A navigator whose selection box the test sets.
class TNavView : public TPixoranView {
 public:
  TRect box;

 protected:
  bool SelectionBox(TRect& b) override {
    b = box;
    return true;
  }
};

TEST(PixoranViewInteraction, NavigatorSelectionScrollsTheLinkedView) {
  TPixoranView big;
  big.SetBounds(0, 0, 120, 90);
  Fill24(*big.GetPXBitmap(), 400, 300, 1, 1, 1);
  big.Update();
  big.SetZoom(200);
  {
    TNavView nav;
    big.SetLinkedView(&nav);
    ASSERT_EQ(big.LinkedView(), &nav);
    ASSERT_TRUE(nav.OnSelectionChanging);
    nav.box = Rect(50, 40, 110, 85);
    nav.OnSelectionChanging(&nav);
    EXPECT_EQ(big.ViewX(), 100);
    EXPECT_EQ(big.ViewY(), 80);
  }
  // The navigator went first: the link is cleared.
  EXPECT_EQ(big.LinkedView(), nullptr);
  big.Update();
}
}  // namespace
