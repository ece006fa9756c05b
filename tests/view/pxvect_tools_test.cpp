// The vector tools driven by simulated mouse events: objects made by
// dragging at two zooms, grip resizes and moves, polyline point edits,
// measuring areas, lengths and angles, and the tool set's rules.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QTest>
#include <QWidget>
#include <cmath>
#include <string>
#include <vector>

#include "core/pxdib.h"
#include "view/pxtextc.h"
#include "view/pxvect.h"

using namespace pixoran;

namespace {

std::unique_ptr<TPixoranVect> MakeView(int32_t w = 300, int32_t h = 200, double zoom = 100) {
  auto v = std::make_unique<TPixoranVect>();
  v->SetBorderStyle(bsNone);
  v->SetScrollBars(ssNone);
  v->SetBounds(0, 0, w, h);
  TPXBitmap* b = v->GetPXBitmap();
  b->Allocate(w, h, pxBGR24);
  for (int32_t y = 0; y < h; ++y) std::fill_n(b->Scanline(y), 3 * w, uint8_t{255});
  v->SetZoom(zoom);
  v->Update();
  return v;
}

QPoint At(TPixoranVect& v, int x, int y) { return QPoint(x + v.FrameWidth(), y + v.FrameWidth()); }
void Paint(TPixoranVect& v) { (void)v.Widget()->grab(); }

void Drag(TPixoranVect& v, QPoint from, QPoint to, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QWidget* w = v.Widget();
  QTest::mousePress(w, Qt::LeftButton, mods, At(v, from.x(), from.y()));
  // Moves with the button held and the modifiers (QTest's moves carry none).
  for (QPoint p : {(from + to) / 2, to}) {
    const QPoint at = At(v, p.x(), p.y());
    QMouseEvent e(QEvent::MouseMove, QPointF(at), w->mapToGlobal(QPointF(at)), Qt::NoButton, Qt::LeftButton, mods);
    QApplication::sendEvent(w, &e);
  }
  QTest::mouseRelease(w, Qt::LeftButton, mods, At(v, to.x(), to.y()));
}

void Click(TPixoranVect& v, int x, int y, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QTest::mouseClick(v.Widget(), Qt::LeftButton, mods, At(v, x, y));
}

// A selected polyline through the points, its box still empty (the points
// give it).
int32_t AddSelectedPolyline(TPixoranVect& v, std::initializer_list<TPXPoint> points) {
  TPXVObject pl;
  pl.Kind = pxokPolyline;
  pl.X1 = pl.Y1 = kPXVBig;
  pl.X2 = pl.Y2 = -kPXVBig;
  const int32_t h = v.AddObject(pl);
  for (TPXPoint p : points) v.AddPolylinePoint(h, p.X, p.Y);
  v.SelectObject(h);
  return h;
}

std::vector<int32_t> R(const TPXVObject& o) { return {o.X1, o.Y1, o.X2, o.Y2}; }
std::vector<int32_t> R(const TRect& r) { return {r.Left, r.Top, r.Right, r.Bottom}; }

}  // namespace

TEST(PXVectTools, ToolSetKeepsTheNewlyAddedToolAndBit15) {
  struct Case {
    uint16_t from, to, expected;
  } cases[] = {
      {kPXVTSelect, kPXVTSelect | kPXVTBox, kPXVTBox},
      {kPXVTBox, kPXVTBox | kPXVTNoClickCreate, kPXVTBox | kPXVTNoClickCreate},
      {kPXVTSelect, kPXVTSelect | kPXVTLine | kPXVTBox | kPXVTNoClickCreate, kPXVTLine | kPXVTNoClickCreate},
      {kPXVTBox, 0, 0},
  };
  for (const Case& c : cases) {
    auto v = MakeView();
    v->SetMouseInteractVect(c.from);
    v->SetMouseInteractVect(c.to);
    EXPECT_EQ(v->MouseInteractVect(), c.expected) << c.from << " -> " << c.to;
  }
  auto v = MakeView();
  v->SetMouseInteractVect(kPXVTMeasureArea | kPXVTNoClickCreate);
  v->SetMouseInteract(miZoom);
  EXPECT_EQ(v->MouseInteractVect(), kPXVTMeasureArea | kPXVTNoClickCreate);
  v->SetMouseInteractVect(kPXVTBox);
  EXPECT_EQ(v->MouseInteract(), 0);
}

TEST(PXVectTools, DragsCreateObjectsWithTheirRectanglesAtTwoZooms) {
  struct Case {
    uint16_t tool;
    TPXVObjectKind kind;
    QPoint from, to;
  } cases[] = {
      {kPXVTLine, pxokLine, {120, 90}, {20, 30}},  // lines keep their direction
      {kPXVTBox, pxokBox, {20, 30}, {120, 90}},
      {kPXVTBox, pxokBox, {120, 90}, {20, 30}},  // other kinds sort their corners
      {kPXVTEllipse, pxokEllipse, {40, 20}, {140, 100}},
      {kPXVTMemo, pxokMemo, {20, 30}, {120, 90}},
  };
  for (double zoom : {100.0, 200.0}) {
    const double f = 100.0 / zoom;
    for (const Case& c : cases) {
      auto v = MakeView(300, 200, zoom);
      v->SetMouseInteractVect(c.tool);
      int32_t made = -1;
      v->OnNewObject = [&](TObject*, int32_t h) { made = h; };
      Drag(*v, c.from, c.to);
      ASSERT_EQ(v->ObjectsCount(), 1) << zoom;
      ASSERT_EQ(made, 0);
      const TPXVObject& o = *v->GetObject(0);
      EXPECT_EQ(o.Kind, c.kind);
      int32_t x1 = static_cast<int32_t>(c.from.x() * f), y1 = static_cast<int32_t>(c.from.y() * f);
      int32_t x2 = static_cast<int32_t>(c.to.x() * f), y2 = static_cast<int32_t>(c.to.y() * f);
      if (c.kind != pxokLine) {
        if (x1 > x2) std::swap(x1, x2);
        if (y1 > y2) std::swap(y1, y2);
      }
      EXPECT_EQ(R(o), (std::vector<int32_t>{x1, y1, x2, y2})) << "kind " << int(c.kind) << " zoom " << zoom;
      EXPECT_EQ(v->SelectedObjects(), std::vector<int32_t>{0});
      // A memo opens its editor at once.
      EXPECT_EQ(v->EditedObject(), c.kind == pxokMemo ? 0 : -1);
    }
  }
}

TEST(PXVectTools, ClickPlacesTheTemplateSizeUnlessBit15) {
  auto v = MakeView();
  v->SetMouseInteractVect(kPXVTBox);
  Click(*v, 30, 40);
  ASSERT_EQ(v->ObjectsCount(), 1);
  EXPECT_EQ(R(*v->GetObject(0)), (std::vector<int32_t>{30, 40, 93, 103}));
  v->SetMouseInteractVect(kPXVTBox | kPXVTNoClickCreate);
  Click(*v, 100, 100);
  EXPECT_EQ(v->ObjectsCount(), 1);
}

TEST(PXVectTools, ClicksBesideACentredPictureAtTwoZooms) {
  // A 100 x 80 picture centred in a 300 x 200 view; the press lies beside
  // it: left of and above it, right of and below it, left of and below it.
  struct Case {
    uint16_t tool;
    bool noClickCreate;
  };
  enum TSide { kTopLeft, kBottomRight, kBottomLeft };
  for (double zoom : {100.0, 200.0}) {
    const int32_t z = static_cast<int32_t>(zoom / 100);
    for (TSide side : {kTopLeft, kBottomRight, kBottomLeft}) {
      SCOPED_TRACE(testing::Message() << "zoom " << zoom << " side " << side);
      auto beside = [side](TPixoranVect& v) {
        const int32_t x = side == kBottomRight ? v.OffsetX() + v.DisplayedWidth() + 10 : v.OffsetX() - 10;
        const int32_t y = side == kTopLeft ? v.OffsetY() - 12 : v.OffsetY() + v.DisplayedHeight() + 12;
        return QPoint(x, y);
      };
      // The picture's pixel nearest the press: a corner.
      const int32_t cx = side == kBottomRight ? 99 : 0, cy = side == kTopLeft ? 0 : 79;
      for (const Case& c :
           {Case{kPXVTBox, false}, Case{kPXVTMemo, false}, Case{kPXVTBox, true}, Case{kPXVTMemo, true}}) {
        auto v = MakeView(300, 200, zoom);
        TPXBitmap* b = v->GetPXBitmap();
        b->Allocate(100, 80, pxBGR24);
        v->Update();
        ASSERT_GT(v->OffsetX(), 12) << zoom;
        ASSERT_GT(v->OffsetY(), 12) << zoom;
        v->SetMouseInteractVect(static_cast<uint16_t>(c.tool | (c.noClickCreate ? kPXVTNoClickCreate : 0)));
        Click(*v, beside(*v).x(), beside(*v).y());
        if (c.noClickCreate) {
          EXPECT_EQ(v->ObjectsCount(), 0) << zoom;  // a click creates nothing
          continue;
        }
        ASSERT_EQ(v->ObjectsCount(), 1) << zoom;
        // The template's size, started on the picture's corner.
        EXPECT_EQ(R(*v->GetObject(0)), (std::vector<int32_t>{cx, cy, cx + 63, cy + 63})) << "tool " << c.tool;
        if (c.tool == kPXVTMemo) {
          ASSERT_NE(v->MemoEditor(), nullptr);
          EXPECT_GE(v->MemoEditor()->Width(), static_cast<int>(63 * zoom / 100)) << zoom;
        }
      }
      // A drag started there starts on the corner too.
      auto v = MakeView(300, 200, zoom);
      v->GetPXBitmap()->Allocate(100, 80, pxBGR24);
      v->Update();
      v->SetMouseInteractVect(kPXVTBox);
      Drag(*v, beside(*v), {v->OffsetX() + 40 * z, v->OffsetY() + 30 * z});
      ASSERT_EQ(v->ObjectsCount(), 1) << zoom;
      EXPECT_EQ(R(*v->GetObject(0)),
                (std::vector<int32_t>{std::min(cx, 40), std::min(cy, 30), std::max(cx, 40), std::max(cy, 30)}));
    }
  }
}

TEST(PXVectTools, EditPolylineModeDrawsPointHandlesAndGripsGoWithTheSelection) {
  auto v = MakeView(300, 200);
  AddSelectedPolyline(*v, {{40, 60}, {150, 100}, {260, 140}});
  v->Show();
  auto dark = [&](int x, int y) {
    const QImage img = v->Widget()->grab().toImage();
    return qRed(img.pixel(At(*v, x, y))) < 128;
  };
  // The top and bottom of a diamond around the middle point, off the line
  // and the square grips.
  const int32_t g = TPixoranVect::GripSize;
  EXPECT_FALSE(dark(150, 100 - g));
  v->SetMouseInteractVect(kPXVTEditPolyline);
  EXPECT_TRUE(dark(150, 100 - g));
  EXPECT_TRUE(dark(150, 100 + g));
  EXPECT_FALSE(dark(150, 100 - g - 2));
  // The square grips of a selected box leave nothing behind once deselected.
  v->SetMouseInteractVect(kPXVTSelect);
  TPXVObject box;
  box.Kind = pxokBox;
  box.X1 = 60, box.Y1 = 20, box.X2 = 120, box.Y2 = 60;
  const int32_t bh = v->AddObject(box);
  v->UnselectAllObjects();
  v->SelectObject(bh);
  EXPECT_TRUE(dark(60 - 3, 20 - 3));
  v->UnselectAllObjects();
  EXPECT_FALSE(dark(60 - 3, 20 - 3));
}

TEST(PXVectTools, GripsResizeAndMoveAtTwoZooms) {
  struct Case {
    QPoint from, delta;  // delta in image pixels
    Qt::KeyboardModifiers mods;
    TRect expected;
  } cases[] = {
      {{60, 40}, {20, 10}, Qt::NoModifier, {10, 10, 80, 50}},      // bottom-right corner
      {{10, 10}, {-5, -4}, Qt::NoModifier, {5, 6, 60, 40}},        // top-left corner
      {{35, 10}, {0, -6}, Qt::NoModifier, {10, 4, 60, 40}},        // top side
      {{60, 25}, {10, 0}, Qt::NoModifier, {10, 10, 70, 40}},       // right side
      {{35, 25}, {12, 7}, Qt::NoModifier, {22, 17, 72, 47}},       // centre moves
      {{60, 40}, {50, 0}, Qt::AltModifier, {10, 10, 110, 70}},     // height follows width
      {{60, 40}, {-70, -50}, Qt::NoModifier, {-10, -10, 10, 10}},  // passing the far corner sorts
  };
  for (double zoom : {100.0, 200.0}) {
    const int z = static_cast<int>(zoom / 100);
    for (const Case& c : cases) {
      auto v = MakeView(400, 300, zoom);
      TPXVObject box;
      box.Kind = pxokBox;
      box.X1 = 10, box.Y1 = 10, box.X2 = 60, box.Y2 = 40;
      v->AddObject(box);
      v->SelectObject(0);
      v->SetMouseInteractVect(kPXVTSelect);
      int32_t moves = 0;
      v->OnObjectMoveResize = [&](TObject*, int32_t, int32_t, int32_t, int32_t) { ++moves; };
      const QPoint from(c.from.x() * z, c.from.y() * z);
      if (c.expected.Left < 0) {
        // Past the picture's edge the pointer is held at it: drag within.
        const QPoint to(std::max(from.x() + c.delta.x() * z, 0), std::max(from.y() + c.delta.y() * z, 0));
        Drag(*v, from, to, c.mods);
        const TPXVObject& o = *v->GetObject(0);
        EXPECT_LE(o.X1, o.X2);
        EXPECT_LE(o.Y1, o.Y2);
        continue;
      }
      Drag(*v, from, from + QPoint(c.delta.x() * z, c.delta.y() * z), c.mods);
      EXPECT_EQ(R(*v->GetObject(0)), R(c.expected)) << "zoom " << zoom << " from " << c.from.x() << "," << c.from.y();
      EXPECT_GT(moves, 0);
    }
  }
}

TEST(PXVectTools, CtrlSnapsALineEndWhileDragged) {
  struct Case {
    QPoint delta, end;
  } cases[] = {{{100, 20}, {160, 50}}, {{100, 90}, {150, 140}}};
  for (const Case& c : cases) {
    auto v = MakeView(400, 300);
    TPXVObject line;
    line.Kind = pxokLine;
    line.X1 = 50, line.Y1 = 50, line.X2 = 60, line.Y2 = 50;
    v->AddObject(line);
    v->SelectObject(0);
    v->SetMouseInteractVect(kPXVTSelect);
    Drag(*v, {60, 50}, QPoint(60, 50) + c.delta, Qt::ControlModifier);
    const TPXVObject& o = *v->GetObject(0);
    EXPECT_EQ(o.X2 - o.X1 == 0 || o.Y2 == o.Y1 || std::abs(o.X2 - o.X1) == std::abs(o.Y2 - o.Y1), true);
    EXPECT_EQ(o.Y2 == o.Y1, c.delta.y() == 20) << o.X2 << "," << o.Y2;
  }
}

TEST(PXVectTools, PolylinePointsAreMovedInsertedAndDeleted) {
  for (bool flat : {false, true}) {
    auto v = MakeView(300, 200);
    const int32_t h = AddSelectedPolyline(*v, {{20, 20}, {100, flat ? 20 : 60}, {180, flat ? 20 : 30}});
    v->SetMouseInteractVect(kPXVTEditPolyline);
    Paint(*v);
    TPXVObject& o = *v->GetObject(h);
    ASSERT_EQ(o.DrawnPoints.size(), 3u);
    // A click on the first segment's middle inserts a point there; a box
    // without height never divides by its zero height.
    const QPoint mid((o.DrawnPoints[0].X + o.DrawnPoints[1].X) / 2, (o.DrawnPoints[0].Y + o.DrawnPoints[1].Y) / 2);
    Click(*v, mid.x(), mid.y());
    ASSERT_EQ(o.Points.size(), 4u) << flat;
    EXPECT_EQ(o.Points[1].X, 60);
    EXPECT_EQ(o.Points[1].Y, flat ? 20 : 40);
    Paint(*v);
    // Dragging a point moves it by the drag.
    Drag(*v, {180, flat ? 20 : 30}, {170, flat ? 20 : 50});
    EXPECT_EQ(o.Points[3].X, 170);
    EXPECT_EQ(o.Points[3].Y, flat ? 20 : 50);
    EXPECT_EQ(o.X2, 170);
    Paint(*v);
    // Ctrl and a click deletes a point.
    Click(*v, 20, 20, Qt::ControlModifier);
    EXPECT_EQ(o.Points.size(), 3u);
    EXPECT_EQ(o.X1, 60);
  }
}

TEST(PXVectTools, PolylineByClicksEndsOnDoubleClick) {
  auto v = MakeView();
  v->SetMouseInteractVect(kPXVTPolyline);
  Click(*v, 10, 10);
  Click(*v, 50, 10);
  Click(*v, 50, 60);
  QTest::mouseDClick(v->Widget(), Qt::LeftButton, Qt::NoModifier, At(*v, 90, 60));
  ASSERT_EQ(v->ObjectsCount(), 1);
  const TPXVObject& o = *v->GetObject(0);
  EXPECT_EQ(o.Kind, pxokPolyline);
  EXPECT_EQ(o.Points.size(), 4u);
  EXPECT_EQ(R(o), (std::vector<int32_t>{10, 10, 90, 60}));
  EXPECT_EQ(v->SelectedObjects(), std::vector<int32_t>{0});
  // The next press starts a new polyline; another tool taken in the middle
  // of one leaves it and works at once.
  Click(*v, 100, 100);
  EXPECT_EQ(v->ObjectsCount(), 2);
  v->SetMouseInteractVect(kPXVTBox);
  Drag(*v, {20, 100}, {60, 140});
  EXPECT_EQ(v->ObjectsCount(), 3);
}

TEST(PXVectTools, AngleByThreeClicksMeasuresAndBoundsTheFartherArm) {
  auto v = MakeView(300, 200);
  const TPXVObject tmpl = *v->GetObject(kPXVTemplate);
  v->SetMouseInteractVect(kPXVTAngle);
  Click(*v, 10, 50);
  // Starting the angle leaves the template's rectangle alone.
  EXPECT_EQ(R(*v->GetObject(kPXVTemplate)), R(tmpl));
  Click(*v, 50, 50);
  Click(*v, 50, 120);
  ASSERT_EQ(v->ObjectsCount(), 1);
  const TPXVObject& a = *v->GetObject(0);
  EXPECT_NEAR(TPixoranVect::ObjAngleDegrees(a), 90.0, 1e-9);
  EXPECT_EQ(R(a), (std::vector<int32_t>{10, -20, 90, 120}));
  EXPECT_EQ(v->SelectedObjects(), std::vector<int32_t>{0});
  // The box tool then still places the template's size by a click.
  v->SetMouseInteractVect(kPXVTBox);
  Click(*v, 100, 100);
  EXPECT_EQ(R(*v->GetObject(1)), (std::vector<int32_t>{100, 100, 163, 163}));
}

TEST(PXVectTools, MeasureHintsGiveAreaLengthAndDragLength) {
  auto v = MakeView(300, 200);
  v->SetDpiX(100);
  v->SetDpiY(100);
  v->SetMUnit(pxuCENTIMETERS);
  v->Select(50, 50, 149, 149);
  std::string text;
  double value = 0;
  v->OnMeasureHint = [&](TObject*, const std::string& t, double val) { text = t, value = val; };
  v->SetMouseInteractVect(kPXVTMeasureArea);
  EXPECT_EQ(text, "6.45 cm\xC2\xB2");
  EXPECT_TRUE(v->MeasureHintShown());
  Paint(*v);
  v->SetMouseInteractVect(kPXVTMeasureLength);
  EXPECT_NEAR(value, 4 * 2.54, 1e-9);
  EXPECT_EQ(text, "10.16 cm");

  auto d = MakeView(300, 200);
  double ended = -1;
  d->OnDragLenEnd = [&](TObject*, double val) { ended = val; };
  d->SetMouseInteractVect(kPXVTDragLength);
  Drag(*d, {20, 20}, {59, 49});
  EXPECT_NEAR(ended, 50.0, 1e-9);  // (40, 30) with the end pixel counted
  EXPECT_EQ(d->ObjectsCount(), 0);
  EXPECT_FALSE(d->MeasureHintVisible());
}

TEST(PXVectTools, DoubleClickEditsTextEnterKeepsEscRestores) {
  for (bool enter : {true, false}) {
    auto v = MakeView(300, 200);
    TPXVObject t;
    t.Kind = pxokText;
    t.X1 = 20, t.Y1 = 20, t.X2 = 120, t.Y2 = 50;
    t.Text = "old";
    t.BrushStyle = bsSolid;
    v->AddObject(t);
    v->SetMouseInteractVect(kPXVTSelect);
    QTest::mouseDClick(v->Widget(), Qt::LeftButton, Qt::NoModifier, At(*v, 60, 35));
    ASSERT_EQ(v->EditedObject(), 0);
    TPXEdit* ed = v->TextEditor();
    ASSERT_NE(ed, nullptr);
    EXPECT_TRUE(ed->Visible());
    ed->LineEdit()->setCursorPosition(3);
    QTest::keyClick(ed->LineEdit(), Qt::Key_E);
    QTest::keyClick(ed->LineEdit(), Qt::Key_R);
    QTest::keyClick(ed->LineEdit(), enter ? Qt::Key_Return : Qt::Key_Escape);
    EXPECT_EQ(v->EditedObject(), -1);
    EXPECT_EQ(v->GetObject(0)->Text, enter ? "older" : "old");
  }
}

TEST(PXVectTools, RubberRectangleSelectsWhatItHoldsAndClicksSelect) {
  for (double zoom : {100.0, 200.0}) {
    const int z = static_cast<int>(zoom / 100);
    auto v = MakeView(300, 200, zoom);
    for (int i = 0; i < 2; ++i) {
      TPXVObject box;
      box.Kind = pxokBox;
      box.X1 = 10 + 60 * i, box.Y1 = 10, box.X2 = 50 + 60 * i, box.Y2 = 40;
      v->AddObject(box);
    }
    v->SetMouseInteractVect(kPXVTSelect);
    int32_t selects = 0;
    v->OnSelectObject = [&](TObject*) { ++selects; };
    Drag(*v, {5 * z, 5 * z}, {55 * z, 45 * z});
    EXPECT_EQ(v->SelectedObjects(), std::vector<int32_t>{0}) << zoom;
    EXPECT_GT(selects, 0);
    // A click on the other box's edge selects it alone; Shift adds the first.
    Click(*v, 70 * z, 25 * z);
    EXPECT_EQ(v->SelectedObjects(), std::vector<int32_t>{1});
    Click(*v, 10 * z, 25 * z, Qt::ShiftModifier);
    EXPECT_EQ(v->SelectedObjects(), (std::vector<int32_t>{1, 0}));
    // Shift and a click on a selected one (off its grips) takes it out.
    Click(*v, 70 * z, 17 * z, Qt::ShiftModifier);
    EXPECT_EQ(v->SelectedObjects(), std::vector<int32_t>{0});
  }
}

// Point handles and point editing follow the polyline as it is shown now:
// scrolled off the client, or hidden, it offers no point to press and
// draws no handle where it was.
TEST(PXVectTools, PointEditingActsOnlyOnAShownPolyline) {
  for (bool hide : {false, true}) {
    SCOPED_TRACE(hide ? "hidden" : "scrolled away");
    auto v = MakeView(300, 200, 200);  // a 600 x 400 picture in the client
    const int32_t h = AddSelectedPolyline(*v, {{20, 20}, {60, 50}, {100, 30}});
    v->SetMouseInteractVect(kPXVTEditPolyline);
    v->Show();
    auto grab = [&] { return v->Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32); };
    const int32_t g = TPixoranVect::GripSize;
    // The middle point's handle, shown: its top above the point.
    const QPoint mid(120, 100);
    ASSERT_EQ(qRed(grab().pixel(At(*v, mid.x(), mid.y() - g))), 0);
    if (hide) {
      v->GetObject(h)->Flags &= static_cast<uint8_t>(~kPXVVisible);
      v->Update();
    } else {
      v->SetViewXY(300, 200);  // the polyline lies left of and above the client
    }
    const QImage img = grab();
    EXPECT_EQ(qRed(img.pixel(At(*v, mid.x(), mid.y() - g))), 255);
    EXPECT_EQ(qRed(img.pixel(At(*v, mid.x() - g, mid.y()))), 255);
    EXPECT_EQ(v->PolylinePointAt(mid.x(), mid.y()), -1);
    EXPECT_EQ(v->PolylineSegmentAt(70, 70), -1);
    Drag(*v, mid, {mid.x() + 40, mid.y() + 40});
    const TPXVObject& o = *v->GetObject(h);
    EXPECT_EQ(o.Points[1].X, 60);
    EXPECT_EQ(o.Points[1].Y, 50);
    EXPECT_EQ(o.Points.size(), 3u);
  }
}

// The select tool's rubber band starts where it was pressed on the picture
// after the view auto-scrolls under it.
TEST(PXVectTools, RubberBandStartFollowsAnAutoScroll) {
  auto v = MakeView(300, 200, 200);
  v->SetMouseInteractVect(kPXVTSelect);
  v->Show();
  QWidget* w = v->Widget();
  QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, At(*v, 50, 50));
  ASSERT_TRUE(v->AutoScroll(v->OffsetX() + v->DisplayedWidth() + 20, 60));
  ASSERT_EQ(v->ViewX(), 20);
  const QPoint to = At(*v, 150, 120);
  QMouseEvent e(QEvent::MouseMove, QPointF(to), w->mapToGlobal(QPointF(to)), Qt::NoButton, Qt::LeftButton,
                Qt::NoModifier);
  QApplication::sendEvent(w, &e);
  const QImage img = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
  // The band's left side (inverted white) where the pressed point now is.
  EXPECT_EQ(qRed(img.pixel(At(*v, 30, 80))), 0);
  EXPECT_EQ(qRed(img.pixel(At(*v, 50, 80))), 255);
  QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, to);
}
