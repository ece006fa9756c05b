// The viewer's selections through real mouse events on the offscreen
// platform: each kind of selection with its mask box and bits, the add
// modifier, line snapping through its flag, grips, the zoom selection, the
// marching ants' dashes and timer, copies, and the selection stream saved,
// loaded, undone through the processing component and rejected when corrupt.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>
#include <QTest>
#include <QWidget>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "proc/pixoranproc.h"
#include "testsupport.h"
#include "view/pixoranview.h"

using namespace pixoran;

namespace {

constexpr TBGR kBack{10, 10, 10}, kSquare{50, 100, 200};

// A 200 x 150 client showing a 200 x 150 picture 1:1 (client = image
// coordinates): background kBack with a kSquare square over x 50..99, y 40..89.
struct TSelView : TPixoranView {
  using TPixoranView::AntsTick;
  TSelView() {
    SetBorderStyle(bsNone);
    SetScrollBars(ssNone);
    SetBounds(0, 0, 200, 150);
    TPXBitmap& b = *GetPXBitmap();
    b.Allocate(200, 150, pxBGR24);
    for (int32_t y = 0; y < 150; ++y) {
      uint8_t* p = b.Scanline(y);
      for (int32_t x = 0; x < 200; ++x) {
        const TBGR c = x >= 50 && x < 100 && y >= 40 && y < 90 ? kSquare : kBack;
        p[3 * x] = c.b;
        p[3 * x + 1] = c.g;
        p[3 * x + 2] = c.r;
      }
    }
    Update();
    Show();
    OnSelectionChange = [this](TObject*) { ++changes; };
  }
  int changes = 0;
};

void Press(TPixoranView& v, int x, int y, Qt::KeyboardModifiers m = Qt::NoModifier) {
  QTest::mousePress(v.Widget(), Qt::LeftButton, m, QPoint(x, y));
}
void Release(TPixoranView& v, int x, int y, Qt::KeyboardModifiers m = Qt::NoModifier) {
  QTest::mouseRelease(v.Widget(), Qt::LeftButton, m, QPoint(x, y));
}
// A move with the left button held and the given modifiers.
void MoveHeld(TPixoranView& v, int x, int y, Qt::KeyboardModifiers m = Qt::NoModifier) {
  QMouseEvent e(QEvent::MouseMove, QPointF(x, y), v.Widget()->mapToGlobal(QPointF(x, y)), Qt::NoButton, Qt::LeftButton,
                m);
  QApplication::sendEvent(v.Widget(), &e);
}
void Drag(TPixoranView& v, std::vector<QPoint> path, Qt::KeyboardModifiers m = Qt::NoModifier) {
  Press(v, path[0].x(), path[0].y(), m);
  for (size_t i = 1; i < path.size(); ++i) MoveHeld(v, path[i].x(), path[i].y(), m);
  Release(v, path.back().x(), path.back().y(), m);
}

struct Box {
  int32_t x1, y1, x2, y2;
  friend bool operator==(const Box&, const Box&) = default;
};
Box MaskBox(TPixoranView& v) { return {v.Mask().X1, v.Mask().Y1, v.Mask().X2, v.Mask().Y2}; }
std::ostream& operator<<(std::ostream& o, const Box& b) {
  return o << "(" << b.x1 << "," << b.y1 << ")-(" << b.x2 << "," << b.y2 << ")";
}

std::vector<uint8_t> Saved(TPixoranView& v) {
  TMemoryStream ms;
  v.SaveSelectionToStream(ms);
  std::vector<uint8_t> out(static_cast<size_t>(ms.Size()));
  std::memcpy(out.data(), ms.Memory(), out.size());
  return out;
}

bool LoadBytes(TPixoranView& v, const std::vector<uint8_t>& bytes) {
  TMemoryStream ms;
  ms.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  ms.SetPosition(0);
  return v.LoadSelectionFromStream(ms);
}

TEST(PixoranViewSelection, EachKindThroughTheMouse) {
  struct Case {
    const char* name;
    TPXMouseInteractItems mode;
    std::vector<QPoint> path;  // press, moves, release; polygon: clicks then a double click
    Box box;
    QPoint in, out;
    int32_t wandMode = 0;
  };
  const Case cases[] = {
      {"rectangle", miSelect, {{20, 30}, {50, 50}, {80, 70}}, {20, 30, 80, 70}, {79, 69}, {81, 50}},
      {"rectangle backwards", miSelect, {{80, 70}, {20, 30}}, {20, 30, 80, 70}, {20, 30}, {19, 30}},
      {"ellipse", miSelectCircle, {{100, 75}, {120, 80}, {140, 95}}, {60, 55, 139, 94}, {100, 75}, {62, 57}},
      {"polygon", miSelectPolygon, {{20, 20}, {120, 20}, {70, 100}}, {20, 20, 119, 99}, {70, 40}, {25, 90}},
      {"lasso", miSelectLasso, {{30, 30}, {130, 30}, {130, 110}, {30, 110}}, {30, 30, 129, 109}, {31, 31}, {130, 50}},
      {"wand outline", miSelectMagicWand, {{60, 60}}, {50, 40, 99, 89}, {99, 89}, {100, 60}, 0},
      {"wand fill", miSelectMagicWand, {{60, 60}}, {50, 40, 99, 89}, {50, 40}, {49, 40}, 1},
      {"wand colour", miSelectMagicWand, {{5, 5}}, {0, 0, 199, 149}, {120, 100}, {60, 60}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSelView v;
    v.MagicWandMode = c.wandMode;
    v.SetMouseInteract(c.mode);
    if (c.mode == miSelectPolygon) {
      for (const QPoint& p : c.path) QTest::mouseClick(v.Widget(), Qt::LeftButton, Qt::NoModifier, p);
      QTest::mouseDClick(v.Widget(), Qt::LeftButton, Qt::NoModifier, c.path.back());
    } else {
      Drag(v, c.path);
    }
    EXPECT_TRUE(v.HasSelection());
    EXPECT_EQ(MaskBox(v), c.box);
    EXPECT_NE(v.Mask().GetPixel(c.in.x(), c.in.y()), 0);
    EXPECT_EQ(v.Mask().GetPixel(c.out.x(), c.out.y()), 0);
    EXPECT_GE(v.changes, 1);
  }
}

TEST(PixoranViewSelection, ShiftAddsAndTheSnapFlagStandsForAlt) {
  TSelView v;
  v.SetMouseInteract(miSelect);
  Drag(v, {{10, 10}, {40, 40}});
  Drag(v, {{100, 100}, {150, 130}}, Qt::ShiftModifier);
  EXPECT_EQ(MaskBox(v), (Box{10, 10, 150, 130}));
  EXPECT_NE(v.Mask().GetPixel(20, 20), 0);
  EXPECT_NE(v.Mask().GetPixel(120, 120), 0);
  EXPECT_EQ(v.Mask().GetPixel(70, 70), 0);
  ASSERT_EQ(v.GetSelectionPointCount(), 9);
  EXPECT_EQ(v.GetSelectionPoints()[4].X, kPXPolygonSeparator);
  // Without Shift a new rectangle (pressed outside) replaces both; a click
  // removes it.
  Drag(v, {{160, 100}, {190, 130}});
  EXPECT_EQ(MaskBox(v), (Box{160, 100, 190, 130}));
  EXPECT_EQ(v.Mask().GetPixel(20, 20), 0);
  QTest::mouseClick(v.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(10, 140));
  EXPECT_FALSE(v.HasSelection());
  EXPECT_TRUE(v.Mask().IsEmpty());

  // Polygon points snap to 45-degree steps with the flag as with Alt.
  v.SetMouseInteract(miSelectPolygon);
  QTest::mouseClick(v.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
  v.LineSnap = true;
  QTest::mouseClick(v.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(100, 27));
  QTest::mouseClick(v.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(106, 100));
  v.LineSnap = false;
  ASSERT_EQ(v.GetSelectionPointCount(), 3);
  EXPECT_EQ(v.GetSelectionPoints()[1].X, 100);
  EXPECT_EQ(v.GetSelectionPoints()[1].Y, 20);
  EXPECT_EQ(v.GetSelectionPoints()[2].X, 100);
  // Leaving the polygon mode closes it.
  v.SetMouseInteract(miSelect);
  EXPECT_TRUE(v.HasSelection());
  EXPECT_EQ(MaskBox(v), (Box{20, 20, 99, 99}));
}

TEST(PixoranViewSelection, GripsResizeAndPressesInsideMove) {
  TSelView v;
  v.SetMouseInteract(miSelect);
  Drag(v, {{40, 40}, {100, 80}});  // outline x 40..101, y 40..81
  // Over a corner and an edge the cursor shows the grip.
  QTest::mouseMove(v.Widget(), QPoint(103, 83));
  EXPECT_EQ(v.Cursor(), 1786);
  QTest::mouseMove(v.Widget(), QPoint(102, 60));
  EXPECT_EQ(v.Cursor(), 1789);
  QTest::mouseMove(v.Widget(), QPoint(70, 39));
  EXPECT_EQ(v.Cursor(), 1787);
  QTest::mouseMove(v.Widget(), QPoint(70, 60));
  EXPECT_EQ(v.Cursor(), kPXDefaultViewCursor);

  Drag(v, {{101, 81}, {120, 90}, {130, 100}});  // bottom-right corner
  EXPECT_EQ(MaskBox(v), (Box{40, 40, 130, 100}));
  Drag(v, {{101 + 30, 70}, {150, 70}});  // right edge
  EXPECT_EQ(MaskBox(v), (Box{40, 40, 150, 100}));
  // With Shift the box keeps its proportions (111 x 61).
  Press(v, 151, 101);  // Shift at the press would add: it is held from the first move on
  MoveHeld(v, 161, 111, Qt::ShiftModifier);
  MoveHeld(v, 172, 120, Qt::ShiftModifier);
  Release(v, 172, 120, Qt::ShiftModifier);
  EXPECT_EQ(MaskBox(v), (Box{40, 40, 172, 112}));

  Drag(v, {{60, 60}, {65, 62}, {70, 65}});  // inside: moves by (10, 5)
  EXPECT_EQ(MaskBox(v), (Box{50, 45, 182, 117}));
  EXPECT_EQ(v.GetSelectionPointCount(), 4);
  // Dragged past the border, the rectangle stops there whole.
  Drag(v, {{100, 100}, {150, 140}});
  EXPECT_EQ(MaskBox(v), (Box{67, 77, 199, 149}));
}

// The outline's first and third corners after MoveSelection: the rectangle
// keeps its size at every border; without clip a move wholly outside is refused.
TEST(PixoranViewSelection, MovedRectangleStopsAtTheBorderWithItsSize) {
  struct TCase {
    int32_t dx, dy;
    bool clip;
    TPXPoint first, third;
  };
  for (const TCase c : {TCase{500, 0, true, {139, 20}, {200, 61}}, TCase{-500, 0, true, {0, 20}, {61, 61}},
                        TCase{0, 500, true, {20, 109}, {81, 150}}, TCase{0, -500, true, {20, 0}, {81, 41}},
                        TCase{150, 100, false, {139, 109}, {200, 150}}, TCase{300, 0, false, {20, 20}, {81, 61}},
                        TCase{7, -3, false, {27, 17}, {88, 58}}}) {
    SCOPED_TRACE(::testing::Message() << c.dx << "," << c.dy << " clip " << c.clip);
    TSelView v;
    v.SelectionBase = pxsbBitmap;
    v.Select(20, 20, 80, 60);
    v.MoveSelection(c.dx, c.dy, c.clip);
    ASSERT_EQ(v.GetSelectionPointCount(), 4);
    EXPECT_EQ(v.GetSelectionPoints()[0], c.first);
    EXPECT_EQ(v.GetSelectionPoints()[2], c.third);
  }
}

// A wand fill (flood or colour match) and a Shift-added rectangle, in either
// order: the outline holds the rectangle's four corners, yet the selection
// is the mask of both. It shows no rectangle grips, moves as a mask (cut at
// the border or stopped there) and is outlined by the mask's own edge.
TEST(PixoranViewSelection, WandAndAddedRectangleStayOneSelection) {
  struct TCase {
    bool wandFirst;
    int32_t mode;
    TPXSelectionOptions extra;
    QPoint to;  // the drag from (70, 60)
    Box box;
    int64_t pixels;
  };
  const int64_t both = 50 * 50 + 21 * 21;
  for (const TCase c :
       {TCase{true, 1, 0, {80, 65}, {60, 45, 160, 125}, both}, TCase{false, 1, 0, {80, 65}, {60, 45, 160, 125}, both},
        TCase{true, 2, 0, {80, 65}, {60, 45, 160, 125}, both}, TCase{false, 2, 0, {170, 60}, {99, 40, 199, 120}, both},
        TCase{true, 1, pxsoCutBorders, {170, 60}, {150, 40, 199, 89}, 50 * 50},
        TCase{false, 1, pxsoMarkOuter, {80, 65}, {60, 45, 160, 125}, both}}) {
    SCOPED_TRACE(::testing::Message() << "wand first " << c.wandFirst << " mode " << c.mode << " options "
                                      << int{c.extra});
    TSelView v;
    v.MagicWandMode = c.mode;
    v.SetSelectionOptions(v.SelectionOptions | c.extra);
    auto wand = [&](bool add) {
      v.SetMouseInteract(miSelectMagicWand);
      QTest::mouseClick(v.Widget(), Qt::LeftButton, add ? Qt::ShiftModifier : Qt::NoModifier, QPoint(60, 50));
    };
    auto rect = [&](bool add) {
      v.SetMouseInteract(miSelect);
      Drag(v, {{130, 100}, {140, 110}, {150, 120}}, add ? Qt::ShiftModifier : Qt::NoModifier);
    };
    if (c.wandFirst) {
      wand(false);
      rect(true);
    } else {
      rect(false);
      wand(true);
    }
    ASSERT_EQ(v.GetSelectionPointCount(), 4);
    ASSERT_EQ(MaskBox(v), (Box{50, 40, 150, 120}));
    // No grip at the rectangle's corner or edge.
    v.SetMouseInteract(miSelect);
    QTest::mouseMove(v.Widget(), QPoint(151, 121));  // the outline's far corner
    EXPECT_EQ(v.Cursor(), kPXDefaultViewCursor);
    QTest::mouseMove(v.Widget(), QPoint(151, 110));
    EXPECT_EQ(v.Cursor(), kPXDefaultViewCursor);

    Drag(v, {{70, 60}, {75, 62}, c.to});
    int64_t set = 0;
    Box tight{200, 150, -1, -1};
    for (int32_t y = 0; y < 150; ++y)
      for (int32_t x = 0; x < 200; ++x) {
        if (!v.Mask().IsPointInside(x, y)) continue;
        ++set;
        tight = {std::min(tight.x1, x), std::min(tight.y1, y), std::max(tight.x2, x), std::max(tight.y2, y)};
      }
    EXPECT_EQ(tight, c.box);
    EXPECT_EQ(set, c.pixels);

    const QImage img = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const int32_t left = c.box.x1, top = c.box.y1;
    if (c.extra & pxsoMarkOuter) {
      // Inside both parts the picture shows; outside it is shaded.
      EXPECT_EQ(img.pixel(left + 20, top + 20), qRgb(kSquare.r, kSquare.g, kSquare.b));
      EXPECT_EQ(img.pixel(left + 90, top + 70), qRgb(kBack.r, kBack.g, kBack.b));
      // Shaded in a half-tone: one of two neighbours.
      EXPECT_TRUE(img.pixel(left + 60, top + 20) != qRgb(kBack.r, kBack.g, kBack.b) ||
                  img.pixel(left + 61, top + 20) != qRgb(kBack.r, kBack.g, kBack.b));
    } else {
      // The wand part's left edge is drawn in the dash colours.
      for (int32_t y = top + 2; y < top + 48; y += 5) {
        const QRgb p = img.pixel(left, y);
        EXPECT_TRUE(p == qRgb(0, 0, 0) || p == qRgb(255, 255, 255)) << "y " << y;
      }
    }
  }
}

// Phases 8 and 9 of the ants come after 7: the dash counter starts again at
// 0, so they draw as phase 0.
TEST(PixoranViewSelection, AntsPhasesEightAndNineDrawAsPhaseZero) {
  TSelView v;
  v.DrawSelectionGrips = false;
  v.SelectionBase = pxsbBitmap;
  v.Select(20, 20, 100, 80);
  for (int i = 0; i < 8; ++i) v.AntsTick();
  for (int phase : {8, 9}) {
    ASSERT_EQ(v.AntsPhase(), phase);
    const QImage img = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int x = 20; x < 100; ++x)
      ASSERT_EQ(img.pixel(x, 20), ((x - 20) & 7) < 4 ? qRgb(0, 0, 0) : qRgb(255, 255, 255))
          << "phase " << phase << " x " << x;
    v.AntsTick();
  }
  EXPECT_EQ(v.AntsPhase(), 0);
}

TEST(PixoranViewSelection, RectangleRulesAndEllipsePointCounts) {
  TSelView v;
  v.SelectionBase = pxsbBitmap;
  v.Select(10, 10, 10, 50);
  EXPECT_FALSE(v.Selected());
  v.Select(50, 40, 10, 10);
  ASSERT_EQ(v.GetSelectionPointCount(), 4);
  EXPECT_EQ(v.GetSelectionPoints()[0].X, 10);
  EXPECT_EQ(v.GetSelectionPoints()[0].Y, 10);
  EXPECT_EQ(v.GetSelectionPoints()[2].X, 51);
  EXPECT_EQ(v.GetSelectionPoints()[2].Y, 41);
  EXPECT_EQ(MaskBox(v), (Box{10, 10, 50, 40}));
  v.SelectRect(0, 0, 30, 10, 0, true, false);
  EXPECT_EQ(v.GetSelectionPoints()[2].X, 31);
  EXPECT_EQ(v.GetSelectionPoints()[2].Y, 31);
  v.SelectRect(-5, 10, 20, 20, 0, false, true);
  EXPECT_EQ(v.GetSelectionPoints()[0].X, 0);
  EXPECT_EQ(v.GetSelectionPoints()[2].X, 26);
  v.SelectionAspectRatio = 0.5;
  v.SelectRect(0, 0, 40, 5, 0, false, false);
  EXPECT_EQ(v.GetSelectionPoints()[2].Y, 21);
  v.SelectionAspectRatio = -1.0;

  v.SetMouseInteract(miSelectCircle);
  struct Case {
    int dx, dy, points;
  };
  for (const Case c : {Case{5, 3, 50}, Case{40, 30, 188}}) {
    v.Deselect();  // a press inside the last one would move it
    Press(v, 100, 75);
    MoveHeld(v, 100 + c.dx, 75 + c.dy);
    EXPECT_EQ(v.GetSelectionPointCount(), c.points);
    Release(v, 100 + c.dx, 75 + c.dy);
  }
}

TEST(PixoranViewSelection, ZoomSelectionZoomsAndBringsTheSelectionBack) {
  TSelView v;
  v.SelectionBase = pxsbBitmap;
  v.Select(120, 100, 150, 120);
  v.SetMouseInteract(miSelectZoom);
  Drag(v, {{10, 10}, {30, 20}, {60, 35}});
  EXPECT_NEAR(v.Zoom(), std::min(150 / 0.26, 200 / 0.51), 1e-9);
  EXPECT_EQ(MaskBox(v), (Box{120, 100, 150, 120}));
  EXPECT_TRUE(v.HasSelection());
}

TEST(PixoranViewSelection, AntsDashRunsOnAcrossCornersAndTheTimerFollows) {
  TSelView v;
  v.DrawSelectionGrips = false;
  v.SelectionBase = pxsbBitmap;
  v.Select(20, 20, 100, 80);  // corners (20, 20) and (101, 81)
  EXPECT_TRUE(v.AntsTimerRunning());
  auto grab = [&v] { return v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32); };
  const QRgb black = qRgb(0, 0, 0), white = qRgb(255, 255, 255);
  for (int phase = 0; phase < 3; ++phase) {
    const QImage img = grab();
    for (int x = 21; x < 100; ++x)
      ASSERT_EQ(img.pixel(x, 20), ((x - 20 + phase) & 7) < 4 ? black : white) << "top " << x << " phase " << phase;
    // The right side goes on from where the top (81 pixels) ended.
    for (int y = 21; y < 80; ++y)
      ASSERT_EQ(img.pixel(101, y), ((81 + y - 20 + phase) & 7) < 4 ? black : white) << "right " << y;
    v.AntsTick();
  }
  EXPECT_EQ(v.AntsPhase(), 3);
  v.SetSelectionOptions(v.SelectionOptions & ~pxsoAnimated);
  EXPECT_FALSE(v.AntsTimerRunning());
  v.SetSelectionOptions(v.SelectionOptions | pxsoAnimated);
  EXPECT_TRUE(v.AntsTimerRunning());
  v.Deselect();
  EXPECT_FALSE(v.AntsTimerRunning());
}

TEST(PixoranViewSelection, CopiesTakeTheBoxWithTheBackgroundOutside) {
  TSelView v;
  v.SetBackground(RGBColor(1, 2, 3));
  v.SetMouseInteract(miSelectPolygon);
  for (QPoint p : {QPoint(40, 30), QPoint(120, 30), QPoint(40, 110)})
    QTest::mouseClick(v.Widget(), Qt::LeftButton, Qt::NoModifier, p);
  v.SetMouseInteract(miSelect);  // closes it
  TPXBitmap part;
  ASSERT_TRUE(v.CopySelectionToPXBitmap(part));
  ASSERT_EQ(part.Width(), 80);
  ASSERT_EQ(part.Height(), 80);
  EXPECT_EQ(part.GetPixel24(15, 15), kSquare);          // (55, 45)
  EXPECT_EQ(part.GetPixel24(5, 5), kBack);              // (45, 35)
  EXPECT_EQ(part.GetPixel24(75, 75), (TBGR{3, 2, 1}));  // outside the triangle
  TBitmap platform;
  ASSERT_TRUE(v.CopySelectionToBitmap(platform));
  EXPECT_EQ(platform.PixelFormat(), pf24bit);
  EXPECT_EQ(platform.Canvas().Pixel(15, 15), RGBColor(kSquare.r, kSquare.g, kSquare.b));
  EXPECT_EQ(platform.Canvas().Pixel(75, 75), RGBColor(1, 2, 3));
  v.Deselect();
  EXPECT_FALSE(v.CopySelectionToPXBitmap(part));
}

TEST(PixoranViewSelection, StreamSavedLoadedAndUndone) {
  TSelView v;
  v.SelectionBase = pxsbBitmap;
  v.Select(10, 20, 60, 70);
  const std::vector<uint8_t> bytes = Saved(v);
  const size_t rows = static_cast<size_t>(v.Mask().RowLen()) * 150;
  ASSERT_EQ(bytes.size(), 8 + 4 + 32 + 16 + 1 + 4 + 16 + 1 + rows);

  // Undo through the processing component restores the saved selection.
  TPixoranProc& proc = *v.GetProc();
  ASSERT_TRUE(proc.SaveUndo(pxusSelection));
  v.Select(100, 100, 120, 140);
  proc.Undo();
  EXPECT_EQ(MaskBox(v), (Box{10, 20, 60, 70}));
  EXPECT_EQ(v.GetSelectionPointCount(), 4);
  EXPECT_TRUE(v.HasSelection());
  EXPECT_EQ(Saved(v), bytes);
  // An operation works inside the selection only.
  proc.Negative();
  EXPECT_EQ(v.GetPXBitmap()->GetPixel24(10, 20), (TBGR{245, 245, 245}));
  EXPECT_EQ(v.GetPXBitmap()->GetPixel24(60, 70), (TBGR{205, 155, 55}));
  EXPECT_EQ(v.GetPXBitmap()->GetPixel24(61, 70), kSquare);
  EXPECT_EQ(v.GetPXBitmap()->GetPixel24(9, 20), kBack);
  proc.Undo();  // the picture's own entry, taken by the operation
  EXPECT_EQ(v.GetPXBitmap()->GetPixel24(10, 20), kBack);

  // Into an 8-bit mask and back.
  v.SetSelectionMaskDepth(8);
  ASSERT_TRUE(LoadBytes(v, bytes));
  EXPECT_EQ(v.Mask().GetPixel(60, 70), 255);
  EXPECT_EQ(MaskBox(v), (Box{10, 20, 60, 70}));
  v.SetSelectionMaskDepth(1);

  // A wand selection without an outline, into a narrower and lower image:
  // it moves left and up so its box ends at the last column and row.
  v.MagicWandMode = 1;
  v.MagicWandSelect(60, 60, 0);
  const std::vector<uint8_t> wand = Saved(v);
  TSelView small;
  small.GetPXBitmap()->Allocate(80, 70, pxBGR24);
  small.Update();
  ASSERT_TRUE(LoadBytes(small, wand));
  EXPECT_EQ(MaskBox(small), (Box{30, 20, 79, 69}));
  EXPECT_EQ(small.Mask().Width(), 80);
  EXPECT_NE(small.Mask().GetPixel(79, 69), 0);
  EXPECT_EQ(small.Mask().GetPixel(29, 20), 0);
}

TEST(PixoranViewSelection, CorruptStreamsAreRejectedWithTheSelectionIntact) {
  TSelView v;
  v.SelectionBase = pxsbBitmap;
  v.Select(10, 20, 60, 70);
  const std::vector<uint8_t> good = Saved(v);
  v.Select(100, 100, 120, 140);
  const std::vector<uint8_t> before = Saved(v);
  auto patched = [&](size_t at, int32_t value) {
    std::vector<uint8_t> b = good;
    std::memcpy(b.data() + at, &value, 4);
    return b;
  };
  std::vector<std::vector<uint8_t>> bad;
  for (size_t n = 0; n < good.size(); n += (n < 100 ? 1 : 97)) bad.emplace_back(good.begin(), good.begin() + n);
  bad.emplace_back(good.begin(), good.end() - 1);
  bad.push_back(patched(8, 0x7FFFFFFF));        // point count past the data
  bad.push_back(patched(8, -1));                // negative count
  bad.push_back(patched(0, -5));                // negative width
  bad.push_back(patched(4, 151));               // more rows than stored
  bad.push_back(patched(12 + 32 + 16 + 1, 4));  // mask depth other than 1 or 8
  bad.push_back(patched(12 + 32 + 16 + 1, 8));  // 8-bit rows would need more data
  bad.push_back(patched(0, 0x40000000));        // a huge width
  for (const auto& b : bad) {
    EXPECT_FALSE(LoadBytes(v, b)) << "size " << b.size();
    ASSERT_EQ(Saved(v), before);
  }
  // Random damage to the fields before the rows: refused, or taken with a
  // mask of the image's size and every outline point inside the image.
  std::mt19937 rng(11);
  for (int i = 0; i < 400; ++i) {
    std::vector<uint8_t> b = good;
    for (int k = 0; k < 3; ++k) b[rng() % 82] = static_cast<uint8_t>(rng());
    if (LoadBytes(v, b)) {
      ASSERT_EQ(v.Mask().Width(), 200);
      ASSERT_EQ(v.Mask().Height(), 150);
      for (int32_t p = 0; p < v.GetSelectionPointCount(); ++p) {
        const TPXPoint q = v.GetSelectionPoints()[p];
        ASSERT_TRUE(q.X == kPXPolygonSeparator || (q.X >= 0 && q.X <= 200 && q.Y >= 0 && q.Y <= 150));
      }
      (void)v.Widget()->grab();
    }
  }
  // A good stream still loads afterwards.
  EXPECT_TRUE(LoadBytes(v, good));
  EXPECT_EQ(MaskBox(v), (Box{10, 20, 60, 70}));
}

}  // namespace

namespace {

// A 6000 x 300 grey picture with a red block over columns 5000..5099 and
// rows 100..199, in a 400 x 300 client.
std::unique_ptr<TPixoranView> WidePictureView() {
  auto v = std::make_unique<TPixoranView>();
  v->SetBorderStyle(bsNone);
  v->SetScrollBars(ssNone);
  v->SetBounds(0, 0, 400, 300);
  TPXBitmap& b = *v->GetPXBitmap();
  b.Allocate(6000, 300, pxBGR24);
  for (int32_t y = 0; y < 300; ++y) {
    uint8_t* p = b.Scanline(y);
    for (int32_t x = 0; x < 6000; ++x) {
      const bool red = x >= 5000 && x < 5100 && y >= 100 && y < 200;
      p[3 * x] = p[3 * x + 1] = red ? 0 : 128;
      p[3 * x + 2] = red ? 255 : 128;
    }
  }
  v->Update();
  v->Show();
  return v;
}

}  // namespace

// The wand's outline, the shading outside it and the inverted fill lie on
// the picture's block at 1700 % (where 14-bit steps put them 68 pixels off)
// and at 2 000 000 % (where those steps are 0), as the tables place the
// picture.
TEST(PixoranViewSelection, OverlaysKeepToThePictureAtHighZoom) {
  const QRgb red = qRgb(255, 0, 0), grey = qRgb(128, 128, 128), shade = qRgb(97, 97, 97);
  for (double zoom : {1700.0, 2.0e6}) {
    for (TPXSelectionOptions extra : {TPXSelectionOptions{0}, pxsoMarkOuter, pxsoFilled}) {
      SCOPED_TRACE(::testing::Message() << "zoom " << zoom << " options " << int{extra});
      auto v = WidePictureView();
      v->SetSelectionOptions(v->SelectionOptions | extra);
      v->SetZoom(zoom);
      ASSERT_EQ(v->Zoom(), zoom);
      const double f = zoom / 100.0;
      // The block's left and top edges a third into the client (at the top
      // zoom a column is wider than the client: its edges at the client's).
      if (f < 100) v->SetViewXY(static_cast<int32_t>(5000 * f - 133), static_cast<int32_t>(100 * f - 100));
      else v->SetViewXY(static_cast<int32_t>(5000 * f), static_cast<int32_t>(100 * f));
      v->SelectionBase = pxsbBitmap;
      v->MagicWandMode = 1;
      v->MagicWandSelect(5050, 150, 0);
      ASSERT_EQ(MaskBox(*v), (Box{5000, 100, 5099, 199}));
      const int32_t x0 = v->BitmapToScreenX(5000), y = v->BitmapToScreenY(100) + 10;
      ASSERT_TRUE(x0 >= 0 && x0 < 390 && y > 0 && y < 300) << x0 << "," << y;
      const QImage img = v->Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
      if (extra & pxsoFilled) {
        // The selected block inverted, the rest as it is.
        for (int32_t x = x0; x < x0 + 8; ++x) EXPECT_EQ(img.pixel(x, y), qRgb(0, 255, 255)) << x;
        if (x0 >= 1) {
          EXPECT_EQ(img.pixel(x0 - 1, y), grey);
        }
      } else if (extra & pxsoMarkOuter) {
        for (int32_t x = x0; x < x0 + 8; ++x) EXPECT_EQ(img.pixel(x, y), red) << x;
        if (x0 >= 2) {
          EXPECT_TRUE(img.pixel(x0 - 1, y) == shade || img.pixel(x0 - 2, y) == shade);
          EXPECT_TRUE(img.pixel(x0 - 1, y) == grey || img.pixel(x0 - 2, y) == grey);
        }
      } else {
        const QRgb edge = img.pixel(x0, y);
        EXPECT_TRUE(edge == qRgb(0, 0, 0) || edge == qRgb(255, 255, 255)) << std::hex << edge;
        EXPECT_EQ(img.pixel(x0 + 1, y), red);
        if (x0 >= 1) {
          EXPECT_EQ(img.pixel(x0 - 1, y), grey);
        }
      }
    }
  }
}

// A wand's region marches like the rectangle's ants; a rectangle added over
// it that takes it in whole makes a rectangle selection with its grips.
TEST(PixoranViewSelection, WandOutlineMarchesAndARectangleTakingItInHasGrips) {
  TSelView v;
  v.SelectionBase = pxsbBitmap;
  v.MagicWandMode = 1;
  v.MagicWandSelect(60, 50, 0);
  ASSERT_EQ(MaskBox(v), (Box{50, 40, 99, 89}));
  EXPECT_TRUE(v.AntsTimerRunning());
  const QRgb black = qRgb(0, 0, 0), white = qRgb(255, 255, 255);
  for (int phase = 0; phase < 3; ++phase) {
    const QImage img = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int x = 50; x < 100; ++x)
      ASSERT_EQ(img.pixel(x, 40), ((x + 40 + phase) & 4) == 0 ? black : white) << "x " << x << " phase " << phase;
    ASSERT_EQ(img.pixel(60, 50), qRgb(kSquare.r, kSquare.g, kSquare.b));
    EXPECT_TRUE(v.AntsTick());
    EXPECT_EQ(v.AntsPhase(), phase + 1);
  }
  v.Select(40, 30, 120, 100, 1);
  ASSERT_EQ(MaskBox(v), (Box{40, 30, 120, 100}));
  const QImage img = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  // The top-left grip, a white square around the corner.
  EXPECT_EQ(img.pixel(37, 27), white);
  EXPECT_EQ(img.pixel(43, 27), white);
  // The outline's dashes along the top, not the mask's edge inside it.
  EXPECT_EQ(img.pixel(60, 40), qRgb(kSquare.r, kSquare.g, kSquare.b));
  v.SetMouseInteract(miSelect);
  QTest::mouseMove(v.Widget(), QPoint(40, 30));
  EXPECT_NE(v.Cursor(), kPXDefaultViewCursor);
}

// Edges running far past the client are dashed from their start: at
// 1 000 300 % the top edge of a rectangle starting one column (10 003
// pixels) left of the client goes on with the dash it has there.
TEST(PixoranViewSelection, LongEdgesAreDashedFromTheirStart) {
  TSelView v;
  v.DrawSelectionGrips = false;
  v.SelectionBase = pxsbBitmap;
  v.Select(20, 20, 100, 80);
  v.SetZoom(1000300.0);
  ASSERT_EQ(v.Zoom(), 1000300.0);
  v.SetViewXY(21 * 10003, 20 * 10003);
  ASSERT_EQ(v.BitmapToScreenX(20), -10003);
  ASSERT_EQ(v.BitmapToScreenY(20), 0);
  const QRgb black = qRgb(0, 0, 0), white = qRgb(255, 255, 255);
  for (int phase = 0; phase < 2; ++phase) {
    const QImage img = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int x = 0; x < 200; ++x)
      ASSERT_EQ(img.pixel(x, 0), ((10003 + x + phase) & 7) < 4 ? black : white) << "x " << x << " phase " << phase;
    ASSERT_EQ(img.pixel(100, 1), qRgb(kBack.r, kBack.g, kBack.b));
    v.AntsTick();
  }
}
