// The vector layer: object operations and notifications, the shared-bitmap
// table, copies between viewers, hit testing of every kind at its edges,
// burn-in at exact pixels, the alpha pipeline (opacity, shadow, highlight),
// rulers at many zooms, Chinese text, angles and text on paths.
#include "view/pxvect.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <QWidget>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/pxdib.h"
#include <cstring>
#include <tuple>

using namespace pixoran;

namespace {

struct TestVect : TPixoranVect {
  using TPixoranVect::DrawLayersToBackBuffer;
};

// A borderless vector viewer of w x h over a picture of one colour.
std::unique_ptr<TestVect> MakeVect(int32_t w = 200, int32_t h = 200, TColor fill = clWhite) {
  auto v = std::make_unique<TestVect>();
  v->SetBorderStyle(bsNone);
  v->SetScrollBars(ssNone);
  v->SetBounds(0, 0, w, h);
  TPXBitmap* b = v->GetPXBitmap();
  b->Allocate(w, h, pxBGR24);
  const TColor c = ColorToRGB(fill);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* r = b->Scanline(y);
    for (int32_t x = 0; x < w; ++x)
      r[3 * x] = (c >> 16) & 0xFF, r[3 * x + 1] = (c >> 8) & 0xFF, r[3 * x + 2] = c & 0xFF;
  }
  v->Update();
  return v;
}

TPXVObject Obj(TPXVObjectKind kind, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  TPXVObject o;
  o.Kind = kind;
  o.X1 = x1, o.Y1 = y1, o.X2 = x2, o.Y2 = y2;
  o.PenColor = clBlack;
  return o;
}

TBGR Px(TPXBitmap& b, int32_t x, int32_t y) { return reinterpret_cast<TBGR*>(b.Scanline(y))[x]; }
bool IsWhite(TBGR p) { return p.r == 255 && p.g == 255 && p.b == 255; }
int32_t Dark(TBitmap& b, const TRect& r) {
  int32_t n = 0;
  for (int32_t y = r.Top; y < r.Bottom; ++y)
    for (int32_t x = r.Left; x < r.Right; ++x) n += (ColorToRGB(b.Canvas().Pixel(x, y)) & 0xFF) < 128;
  return n;
}

TEST(PXVect, AddingCopiesGrowsKeepsHandlesAndSortsCorners) {
  auto v = MakeVect();
  TPXVObject text = Obj(pxokText, 50, 40, 10, 5);
  text.Text = "标签 ok";
  text.Path = {{0, 0}, {1, 1}};
  text.Points = {{1, 1}};  // not a polyline: dropped
  EXPECT_EQ(v->AddObject(text), 0);
  const TPXVObject* t = v->GetObject(0);
  EXPECT_EQ(t->X1, 10);
  EXPECT_EQ(t->Y2, 40);
  EXPECT_EQ(t->Text, "标签 ok");
  EXPECT_EQ(Utf8Length(t->Text), 5);
  EXPECT_EQ(t->Path.size(), 2u);
  EXPECT_TRUE(t->Points.empty());
  // Lines keep their direction; a box drops texts it cannot use.
  TPXVObject line = Obj(pxokLine, 50, 40, 10, 5);
  line.Text = "x";
  EXPECT_EQ(v->AddObject(line), 1);
  EXPECT_EQ(v->GetObject(1)->X1, 50);
  EXPECT_TRUE(v->GetObject(1)->Text.empty());
  // The source may be an object of the array itself, across the growth.
  for (int i = 2; i < 600; ++i) EXPECT_EQ(v->AddObject(*v->GetObject(0)), i);
  EXPECT_EQ(v->GetObject(599)->Text, "标签 ok");
  EXPECT_EQ(v->GetObject(kPXVLast), v->GetObject(599));
  EXPECT_EQ(v->GetObject(kPXVAll), nullptr);
  EXPECT_EQ(v->GetObject(kPXVNone), nullptr);
  EXPECT_EQ(v->DrawingOrder().size(), 600u);
  EXPECT_EQ(v->DrawingOrder()[512], 512);
  TPXVObject memo = Obj(pxokMemo, 0, 0, 10, 10);
  memo.Text = "中文";
  memo.CharFormats = {0, 0, 7};  // one beyond the text
  memo.FormatList.emplace(1);
  const int32_t m = v->AddObject(memo);
  EXPECT_EQ(v->GetObject(m)->CharFormats.size(), 2u);
  EXPECT_EQ(v->GetObject(m)->FormatList->size(), 1u);
}

TEST(PXVect, SelectionAndChangeNotifications) {
  auto v = MakeVect();
  int selected = 0, changed = 0;
  v->OnSelectObject = [&](TObject*) { ++selected; };
  v->OnVectorialChanged = [&](TObject*) { ++changed; };
  TPXVObject o = Obj(pxokBox, 10, 10, 20, 20);
  v->AddObject(o);
  o.Flags &= ~kPXVSelectable;
  v->AddObject(o);
  v->SelectObject(1);  // not selectable: unchanged, but announced
  EXPECT_TRUE(v->SelectedObjects().empty());
  EXPECT_EQ(selected, 1);
  v->SelectObject(kPXVLast);
  EXPECT_TRUE(v->SelectedObjects().empty());
  v->SelectObject(0);
  EXPECT_TRUE(v->IsSelObject(0));
  v->UnselectObject(5);  // absent: ignored but announced
  EXPECT_EQ(v->SelectedObjects().size(), 1u);
  v->ClearSelection();
  v->AddObject(Obj(pxokLine, 300, 300, 290, 280));
  v->SelectObjectsInRect(kPXVAll, 305, 305, 5, 5);
  EXPECT_EQ(v->SelectedObjects(), (std::vector<int32_t>{0, 2}));
  v->SelectObjectsInRect(kPXVAll, 0, 0, 400, 400);  // no duplicates
  EXPECT_EQ(v->SelectedObjects().size(), 2u);
  // Start and end of a change: one notification each however many starts.
  changed = 0;
  v->DoBeforeVectorialChanged();
  v->DoBeforeVectorialChanged();
  EXPECT_EQ(changed, 1);
  EXPECT_TRUE(v->ChangePending());
  v->DoVectorialChanged();
  EXPECT_EQ(changed, 2);
  EXPECT_FALSE(v->ChangePending());
  v->Clear();
  EXPECT_EQ(v->ObjectsCount(), 0);
  EXPECT_TRUE(v->SelectedObjects().empty());
}

std::unique_ptr<TPXBitmap> Picture(int32_t w, int32_t h, uint8_t seed) {
  auto b = std::make_unique<TPXBitmap>();
  b->Allocate(w, h, pxBGR24);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < 3 * w; ++x) b->Scanline(y)[x] = static_cast<uint8_t>(x * 7 + y * 3 + seed);
  return b;
}

TEST(PXVect, SharedBitmapTableCountsReferencesAndSurvivesResetting) {
  auto v = MakeVect();
  const int32_t base = v->BitmapTableCount();  // the template's picture
  auto p = Picture(8, 6, 1), same = Picture(8, 6, 1), other = Picture(5, 5, 9);
  const int32_t a = v->AddObject(Obj(pxokBitmap, 0, 0, 10, 10));
  const int32_t b = v->AddObject(Obj(pxokBitmap, 20, 0, 30, 10));
  v->SetObjBitmap(a, p.get());
  v->SetObjBitmap(b, same.get());
  const int32_t idx = v->GetObject(a)->BitmapIdx;
  EXPECT_EQ(v->GetObject(b)->BitmapIdx, idx);
  EXPECT_EQ(v->BitmapRefCount(idx), 2);
  // Setting what an object already holds never frees it.
  v->SetObjBitmap(b, v->GetObjBitmap(idx));
  v->SetObjBitmapIdx(a, idx);
  EXPECT_EQ(v->BitmapRefCount(idx), 2);
  ASSERT_NE(v->GetObjBitmap(idx), nullptr);
  EXPECT_TRUE(BitmapsEqual(*v->GetObjBitmap(idx), *p));
  v->SetObjBitmap(b, nullptr);
  EXPECT_EQ(v->BitmapRefCount(idx), 1);
  const int32_t c = v->AddObject(Obj(pxokBitmap, 40, 0, 50, 10));
  v->SetObjBitmap(c, other.get());
  v->SetObjBitmap(a, nullptr);  // frees entry idx
  v->CompactBitmapTable();
  EXPECT_EQ(v->BitmapTableCount(), base + 1);
  EXPECT_TRUE(BitmapsEqual(*v->GetObjBitmap(v->GetObject(c)->BitmapIdx), *other));
  EXPECT_NE(v->GetObjBitmap(v->GetObject(kPXVTemplate)->BitmapIdx), nullptr);
  // Copies between viewers take their bitmaps into the destination's table.
  auto dest = MakeVect();
  dest->SetObjBitmap(dest->AddObject(Obj(pxokBitmap, 0, 0, 5, 5)), p.get());
  v->CopyObjectsTo(*dest);
  const TPXVObject* copied = dest->GetObject(kPXVLast);
  ASSERT_NE(dest->GetObjBitmap(copied->BitmapIdx), nullptr);
  EXPECT_TRUE(BitmapsEqual(*dest->GetObjBitmap(copied->BitmapIdx), *other));
  EXPECT_EQ(dest->BitmapRefCount(copied->BitmapIdx), 1);
  dest->Assign(v.get());
  EXPECT_EQ(dest->ObjectsCount(), v->ObjectsCount());
  // Clearing keeps the template's picture: a new bitmap object shows it.
  auto tmpl = std::make_unique<TPXBitmap>();
  tmpl->Assign(v->GetObjBitmap(v->GetObject(kPXVTemplate)->BitmapIdx));
  v->Clear();
  v->GetObject(kPXVTemplate)->Kind = pxokBitmap;
  const int32_t n = v->AddNewObject();
  ASSERT_NE(v->GetObjBitmap(v->GetObject(n)->BitmapIdx), nullptr);
  EXPECT_TRUE(BitmapsEqual(*v->GetObjBitmap(v->GetObject(n)->BitmapIdx), *tmpl));
  EXPECT_EQ(v->BitmapTableCount(), 1);
  EXPECT_EQ(v->BitmapRefCount(0), 2);
}

TEST(PXVect, HitTestingEveryKindAtItsEdges) {
  auto v = MakeVect(400, 400);
  TPXVObject filled = Obj(pxokBox, 100, 100, 200, 150);
  filled.BrushStyle = bsSolid;
  TPXVObject poly = Obj(pxokPolyline, 0, 0, 0, 0);
  poly.Points = {{0, 0}, {10, 0}, {10, 10}};
  poly.PointBounds = Rect(0, 0, 10, 10);
  poly.X1 = 50, poly.Y1 = 50, poly.X2 = 70, poly.Y2 = 70;  // drawn twice as large
  TPXVObject angle = Obj(pxokAngle, 0, 0, 0, 0);
  angle.AnglePoints[0] = {10, 300}, angle.AnglePoints[1] = {60, 300}, angle.AnglePoints[2] = {kPXVUnset, 0};
  struct Case {
    TPXVObject o;
    int32_t x, y;
    double d;
  } cases[] = {
      {Obj(pxokLine, 10, 10, 110, 10), 60, 13, 3},
      {Obj(pxokLine, 10, 10, 110, 10), 115, 10, 5},
      {Obj(pxokRuler, 0, 0, 0, 100), 4, 50, 4},
      {Obj(pxokLineLabel, 0, 0, 30, 40), 0, 0, 0},
      {filled, 150, 120, 0},
      {Obj(pxokBox, 100, 100, 200, 150), 150, 120, 20},
      {Obj(pxokBox, 100, 100, 200, 150), 100, 125, 0},
      {Obj(pxokBox, 100, 100, 200, 150), 205, 125, 5},
      {Obj(pxokText, 100, 100, 200, 150), 150, 120, 0},
      {Obj(pxokMemo, 100, 100, 200, 150), 201, 151, std::sqrt(2.0)},
      {Obj(pxokBitmap, 100, 100, 200, 150), 200, 150, 0},
      {Obj(pxokEllipse, 100, 100, 200, 200), 200, 150, 0},
      {Obj(pxokEllipse, 100, 100, 200, 200), 150, 150, 49},
      {Obj(pxokArc, 100, 100, 200, 200), 150, 100, 0},
      {poly, 70, 60, 0},
      {poly, 60, 55, 5},
      {angle, 35, 303, 3},
      {angle, 200, 300, 140},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(v->ObjectDistance(c.o, c.x, c.y), c.d, 1.01) << "kind " << int(c.o.Kind) << " at " << c.x << "," << c.y;
  }
  // The outline of an unfilled ellipse closes: the last stretch, just
  // below its rightmost point, is as near as the rest.
  const TPXVObject ring = Obj(pxokEllipse, 0, 0, 1000, 1000);
  EXPECT_LT(v->ObjectDistance(ring, 1000, 480), 3.0);
  EXPECT_EQ(v->ObjectDistance(Obj(pxokNone, 0, 0, 10, 10), 5, 5), -1.0);
  // Kinds without a distance are skipped; of two equals the top one wins.
  v->AddObject(Obj(pxokNone, 0, 0, 390, 390));
  v->AddObject(Obj(pxokLine, 10, 100, 300, 100));
  v->AddObject(Obj(pxokLine, 10, 104, 300, 104));
  double d = 0;
  EXPECT_EQ(v->FindObjectAt(100, 102, true, d), 2);
  EXPECT_NEAR(d, 2.0, 1e-9);
  EXPECT_EQ(v->FindObjectAt(100, 101, false, d), 1);
  EXPECT_EQ(v->FindObjectAtClient(100, 103, d), 2);
}

TEST(PXVect, BurnInDrawsSimpleShapesAtExactPixels) {
  auto v = MakeVect(100, 80);
  TPXVObject box = Obj(pxokBox, 10, 10, 30, 20);
  TPXVObject ell = Obj(pxokEllipse, 40, 10, 60, 30);
  ell.BrushStyle = bsSolid;
  ell.BrushColor = clRed;
  TPXVObject line = Obj(pxokLine, 5, 50, 95, 50);
  TPXVObject hidden = Obj(pxokBox, 0, 0, 99, 79);
  hidden.Flags &= ~kPXVVisible;
  for (const TPXVObject& o : {box, ell, line, hidden}) v->AddObject(o);
  TPXBitmap& img = *v->GetPXBitmap();
  v->DrawObjectsToPXBitmap(img, false);
  EXPECT_EQ(v->DrawnCount(), 3);
  // The box's outline is on x1..x2 and y1..y2 both included.
  for (auto [x, y, ink] : std::vector<std::tuple<int, int, bool>>{{10, 10, true},
                                                                  {30, 20, true},
                                                                  {30, 10, true},
                                                                  {10, 20, true},
                                                                  {31, 15, false},
                                                                  {20, 21, false},
                                                                  {9, 15, false},
                                                                  {20, 15, false},
                                                                  {40, 20, true},
                                                                  {60, 20, true},
                                                                  {61, 20, false},
                                                                  {50, 31, false},
                                                                  {5, 50, true},
                                                                  {95, 50, true},
                                                                  {96, 50, false},
                                                                  {50, 49, false},
                                                                  {0, 0, false}}) {
    EXPECT_EQ(!IsWhite(Px(img, x, y)), ink) << x << "," << y;
  }
  EXPECT_EQ(Px(img, 50, 20).r, 255);
  EXPECT_EQ(Px(img, 50, 20).g, 0);
  EXPECT_EQ(Px(img, 40, 20).r, 0);
}

TEST(PXVect, PipelineOpacityShadowAndHighlight) {
  auto v = MakeVect(120, 100);
  TPXVObject half = Obj(pxokBox, 10, 10, 40, 40);
  half.BrushStyle = bsSolid;
  half.BrushColor = clBlack;
  half.Opacity = 128;
  TPXVObject shadowed = Obj(pxokBox, 60, 10, 80, 30);
  shadowed.BrushStyle = bsSolid;
  shadowed.BrushColor = clBlue;
  shadowed.Shadow = TPXVSoftShadow{true, 2.0, 6, 6};
  TPXVObject yellow = Obj(pxokBox, 10, 60, 100, 90);
  yellow.Highlight = true;
  yellow.PenWidth = 7;
  yellow.BrushColor = clYellow;
  for (const TPXVObject& o : {half, shadowed, yellow}) v->AddObject(o);
  // Half the image black: the highlight stays black there.
  TPXBitmap& img = *v->GetPXBitmap();
  for (int32_t y = 75; y < 100; ++y) std::memset(img.Scanline(y), 0, 3 * 120);
  v->SetObjAlphaDrawing(true);
  v->DrawObjectsToPXBitmap(img, false);
  const TBGR mid = Px(img, 25, 25);
  EXPECT_NEAR(mid.r, 127, 2);
  EXPECT_NEAR(mid.b, 127, 2);
  EXPECT_EQ(Px(img, 70, 20).b, 255);
  EXPECT_EQ(Px(img, 70, 20).r, 0);
  // Below and right of the blue box: darkened by its shadow, not beyond.
  EXPECT_LT(Px(img, 84, 34).r, 200);
  EXPECT_TRUE(IsWhite(Px(img, 110, 5)));
  const TBGR hl = Px(img, 50, 65), dark = Px(img, 50, 85);
  EXPECT_EQ(hl.r, 255);
  EXPECT_EQ(hl.g, 255);
  EXPECT_EQ(hl.b, 0);
  EXPECT_EQ(dark.r + dark.g + dark.b, 0);
  EXPECT_EQ(v->GetObject(2)->PenWidth, 1);
  // Without the pipeline, supersampling changes nothing.
  auto plain = MakeVect(120, 100);
  plain->AddObject(half);
  plain->AddObject(Obj(pxokEllipse, 30, 30, 90, 70));
  TBitmap one, two;
  for (TBitmap* b : {&one, &two}) {
    b->SetPixelFormat(pf24bit);
    b->SetSize(120, 100);
    plain->DrawObjectsToBitmap(*plain->GetPXBitmap(), pxdmScreen, b == &two, *b);
  }
  EXPECT_EQ(one.ToQImage(), two.ToQImage());
  // Supersampled, the same half-tone box.
  TPXBitmap& again = *v->GetPXBitmap();
  for (int32_t y = 0; y < 50; ++y) std::memset(again.Scanline(y), 255, 3 * 120);
  v->DrawObjectsToPXBitmap(again, true);
  EXPECT_NEAR(Px(again, 25, 25).r, 127, 3);
}

TEST(PXVect, RulersAtManyZoomsEndAndPixelRulersTickEveryTenPixels) {
  auto v = MakeVect(300, 120);
  TPXVObject r = Obj(pxokRuler, 20, 60, 280, 60);
  r.RulerStyle = 0;
  r.Font = TPXLogFont{};
  r.Font->Height = -10;
  v->AddObject(r);
  TPXBitmap& img = *v->GetPXBitmap();
  v->DrawObjectsToPXBitmap(img, false);
  // Long ticks (12 either side) every 10 pixels, medium (8) between them
  // (looked at below the line: the numbers stand above it);
  // single-pixel ticks would stand closer than 2 pixels and are left out.
  for (int32_t k = 0; k < 25; ++k) {
    const int32_t x = 20 + 10 * k;
    EXPECT_FALSE(IsWhite(Px(img, x, 60 + 11))) << x;
    EXPECT_TRUE(IsWhite(Px(img, x + 5, 60 + 11))) << x;
    EXPECT_FALSE(IsWhite(Px(img, x + 5, 60 + 7))) << x;
    EXPECT_TRUE(IsWhite(Px(img, x + 2, 60 + 5))) << x;
  }
  // A negative scale gives no tick spacing: the line alone.
  auto negative = MakeVect(300, 120);
  negative->AddObject(r);
  negative->SetMeasureScale(-1.0);
  negative->DrawObjectsToPXBitmap(*negative->GetPXBitmap(), false);
  for (int32_t y = 40; y < 80; ++y)
    for (int32_t x = 0; x < 300; ++x)
      ASSERT_EQ(IsWhite(Px(*negative->GetPXBitmap(), x, y)), y != 60 || x < 20 || x >= 280) << x << "," << y;
  // Every zoom and scale ends.
  auto screen = MakeVect(400, 300);
  for (int32_t style = 0; style <= 3; ++style) {
    TPXVObject ruler = Obj(pxokRuler, -100000, 5, 2000000, 150);
    ruler.RulerStyle = static_cast<uint8_t>(style);
    ruler.RulerUnit = style == 2 ? pxuNANOMETERS : pxuPIXELS;
    screen->AddObject(ruler);
  }
  TBitmap buf;
  buf.SetPixelFormat(pf24bit);
  buf.SetSize(400, 300);
  for (double zoom : {0.5, 3.0, 100.0, 1600.0}) {
    for (double scale : {1.0, -1.0, 0.0, 1e-12}) {
      screen->SetMeasureScale(scale);
      screen->SetZoom(zoom);
      screen->DrawObjectsToBitmap(*screen->GetPXBitmap(), pxdmScreen, false, buf);
    }
  }
  SUCCEED();
}

TEST(PXVect, ChineseTextAnglesAndPathsDraw) {
  auto v = MakeVect(320, 200);
  TPXVObject t = Obj(pxokText, 10, 10, 200, 50);
  t.Text = "中文标签测试";
  TPXLogFont lf;
  lf.Height = -24;
  SetLogFontFaceName(lf, "Noto Sans CJK SC");
  t.Font = lf;
  v->AddObject(t);
  TPXVObject path = t;
  path.X1 = 10, path.Y1 = 80, path.X2 = 300, path.Y2 = 180;
  path.Path = {{0, 0}, {0, 0}, {0.5, 1}, {0.5, 1}, {1, 0}};  // with segments of no length
  v->AddObject(path);
  TPXVObject still = path;
  still.Path = {{0.2, 0.2}, {0.2, 0.2}};  // a path without length
  v->AddObject(still);
  TPXVObject label = Obj(pxokLineLabel, 250, 20, 300, 60);
  label.Text = "长度";
  label.Font = lf;
  v->AddObject(label);
  v->DrawObjectsToPXBitmap(*v->GetPXBitmap(), false);
  TBitmap& img = *v->GetPXBitmap()->VclBitmap();
  EXPECT_GT(Dark(img, Rect(10, 10, 201, 51)), 150);
  EXPECT_GT(Dark(img, Rect(10, 80, 160, 200)), 60);
  EXPECT_GT(Dark(img, Rect(160, 80, 320, 200)), 60);
  // At a zoom where the font height truncates to 0, the text draws nothing.
  auto small = MakeVect(200, 200);
  small->AddObject(t);
  small->SetZoom(2.0);
  TBitmap buf;
  buf.SetPixelFormat(pf24bit);
  buf.SetSize(200, 200);
  buf.Canvas().Brush = TBrush{clWhite, bsSolid};
  buf.Canvas().FillRect(Rect(0, 0, 200, 200));
  small->DrawObjectsToBitmap(*small->GetPXBitmap(), pxdmScreen, false, buf);
  EXPECT_EQ(Dark(buf, Rect(0, 0, 200, 200)), 0);
  // A right angle reads 90, its arms swapped 270.
  TPXVObject a = Obj(pxokAngle, 0, 0, 0, 0);
  EXPECT_NEAR(TPixoranVect::ObjAngleDegrees(a), 90.0, 1e-9);
  std::swap(a.AnglePoints[0], a.AnglePoints[2]);
  EXPECT_NEAR(TPixoranVect::ObjAngleDegrees(a), 270.0, 1e-9);
  EXPECT_EQ(v->FormatMeasure(90.0) + "°", "90.00°");
  a.AnglePoints[0] = a.AnglePoints[1] = a.AnglePoints[2] = {5, 5};  // cosine argument out of range
  EXPECT_TRUE(std::isfinite(TPixoranVect::ObjAngleDegrees(a)));
}

TEST(PXVect, UnitsPerPixel) {
  auto v = MakeVect();
  v->SetDpiX(100);
  v->SetDpiY(50);
  double ux, uy;
  v->ComputeUnitPerPixel(ux, uy, pxuCENTIMETERS);
  EXPECT_NEAR(ux, 0.0254, 1e-12);
  EXPECT_NEAR(uy, 0.0508, 1e-12);
  v->SetMeasureScale(2.0);
  v->ComputeUnitPerPixel(ux, uy, pxuPIXELS);
  EXPECT_EQ(ux, 2.0);
  v->SetMUnit(pxuMILLIMETERS);
  EXPECT_EQ(v->GetObject(kPXVTemplate)->RulerUnit, pxuMILLIMETERS);
  EXPECT_NEAR(v->UnitPerPixelX(), 0.508, 1e-12);
  EXPECT_STREQ(MeasureUnitAbbreviation(pxuMETERS), "mt");
  EXPECT_STREQ(MeasureUnitAbbreviation(pxuNANOMETERS), "nanometers");
}

TEST(PXVect, TheWindowShowsObjectsZoomedWithGrips) {
  auto v = MakeVect(200, 160);
  TPXVObject box = Obj(pxokBox, 20, 10, 40, 30);
  box.BrushStyle = bsSolid;
  box.BrushColor = clRed;
  v->AddObject(box);
  v->SelectObject(0);
  v->SetZoom(200.0);
  v->SetViewXY(0, 0);
  v->Show();
  const QImage shot = v->Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const int f = v->FrameWidth();
  auto at = [&](int x, int y) { return shot.pixel(x + f, y + f) & 0xFFFFFF; };
  const int32_t x1 = v->BitmapToScreenX(20), y1 = v->BitmapToScreenY(10);
  const int32_t x2 = v->BitmapToScreenX(40), y2 = v->BitmapToScreenY(30);
  EXPECT_EQ(x2 - x1, 40);
  EXPECT_EQ(at((x1 + x2) / 2, (y1 + y2) / 2), 0xFF0000u);  // red inside, zoomed
  EXPECT_EQ(at(x1, (y1 + y2) / 2 + 8), 0u);                // the outline
  EXPECT_EQ(at(x2 + 10, (y1 + y2) / 2 + 8), 0xFFFFFFu);    // the picture beyond it
  EXPECT_EQ(at(x2 + 3, y2 + 3), 0u);                       // a grip at the far corner
  v->SetObjectsHidden(true);
  const QImage hidden = v->Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(hidden.pixel((x1 + x2) / 2 + f, (y1 + y2) / 2 + f) & 0xFFFFFF, 0xFFFFFFu);
}

}  // namespace
