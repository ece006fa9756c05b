// The vector tools: what a press, drag and release do on the vector layer
// (create objects, select, move and resize them by their grips, edit
// polyline points, measure), the measure hint and the keys that start and
// end in-place editing. The viewer's own mouse handling always runs first.
// Rubber bands and the hint box are state: the window overlay draws them.
#include <algorithm>
#include <cmath>

#include "core/kopxutils_draw.h"
#include "core/kopxutils_helpers.h"
#include "core/pxmask.h"
#include "view/pxvect.h"

namespace pixoran {

namespace {

constexpr int32_t kHintLastPos = -1000000;

bool IsLineKind(TPXVObjectKind k) { return k == pxokLine || k == pxokRuler || k == pxokLineLabel; }

void SortCorners(TPXVObject& o) {
  if (o.X1 > o.X2) std::swap(o.X1, o.X2);
  if (o.Y1 > o.Y2) std::swap(o.Y1, o.Y2);
}

}  // namespace

// ------------------------------------------------------------ tool set

void TPixoranVect::SetMouseInteractVect(uint16_t value) {
  CancelInteraction();
  // A polyline or angle left unfinished stays as it is; the next press
  // starts afresh rather than waiting for it forever.
  tdrag_.Building = -1;
  if (rubber_.Kind != rbNone) SetRubber(rbNone, {});
  if (value == vtools_) return;
  const uint16_t old = vtools_;
  static constexpr int kOrder[] = {0, 1, 2, 13, 3, 4, 5, 6, 12, 7, 8, 9, 10, 11, 14};
  int added = -1;
  for (int b : kOrder) {
    const uint16_t bit = static_cast<uint16_t>(1u << b);
    if ((value & bit) && !(old & bit)) {
      added = b;
      break;
    }
  }
  if (added >= 0) vtools_ = static_cast<uint16_t>((1u << added) | (value & kPXVTNoClickCreate));
  else vtools_ = value;
  if (added > 1) SetMouseInteract(0);
  if (vtools_ & (kPXVTMeasureArea | kPXVTMeasureLength)) {
    hint_.Last = 0.0;
    HideMeasureHint();
    hint_.Visible = true;
    ShowMeasureHint(ClientWidth() / 2, ClientHeight() / 2);
  } else {
    HideMeasureHint();
    hint_.Visible = false;
    hint_.Last = 0.0;
  }
  if ((old & kPXVTEditPolyline) || added == 14) Update();
}

void TPixoranVect::SetMouseInteract(TPXMouseInteractItems value) {
  TPixoranView::SetMouseInteract(value);
  if (value != 0) {
    vtools_ &= kPXVTMeasureArea | kPXVTMeasureLength | kPXVTNoClickCreate;
    tdrag_.Building = -1;
  }
  CancelInteraction();
}

uint8_t TPixoranVect::CreationKindFromTools() const {
  const uint16_t t = vtools_;
  if (t & kPXVTLine) return pxokLine;
  if (t & kPXVTLineLabel) return pxokLineLabel;
  if (t & kPXVTRuler) return pxokRuler;
  if (t & kPXVTBox) return pxokBox;
  if (t & kPXVTEllipse) return pxokEllipse;
  if (t & kPXVTBitmap) return pxokBitmap;
  if (t & kPXVTText) return pxokText;
  if (t & kPXVTMemo) return pxokMemo;
  if (t & kPXVTDragLength) return pxokLine;
  if (t & kPXVTAngle) return pxokAngle;
  if (t & kPXVTPolyline) return pxokPolyline;
  return pxokNone;
}

// ------------------------------------------------------------ geometry of the tools

TRect TPixoranVect::AngleBounds(const TPXVObject& a) {
  const TPXPoint& v = a.AnglePoints[1];
  const TPXPoint& p = a.AnglePoints[0];
  const TPXPoint& q = a.AnglePoints[2];
  // The farther arm end on each axis, so the box holds the whole angle.
  const int64_t hx = std::max(std::abs(int64_t{p.X} - v.X), std::abs(int64_t{q.X} - v.X));
  const int64_t hy = std::max(std::abs(int64_t{p.Y} - v.Y), std::abs(int64_t{q.Y} - v.Y));
  auto c = [](int64_t n) { return static_cast<int32_t>(std::clamp<int64_t>(n, -2000000000, 2000000000)); };
  return TRect{c(v.X - hx), c(v.Y - hy), c(v.X + hx), c(v.Y + hy)};
}

void TPixoranVect::ResizeObject(int32_t handle, int32_t grip, int32_t dx, int32_t dy, bool keep) {
  TPXVObject* o = GetObject(handle);
  if (!o) return;
  switch (grip) {
    case 1: o->X1 += dx, o->Y1 += dy; break;
    case 2: o->X2 += dx, o->Y2 += dy; break;
    case 4: o->X2 += dx, o->Y1 += dy; break;
    case 5: o->X1 += dx, o->Y2 += dy; break;
    case 6: o->X1 += dx; break;
    case 7: o->X2 += dx; break;
    case 8: o->Y1 += dy; break;
    case 9: o->Y2 += dy; break;
    default: return;
  }
  if (!keep) return;
  const TRect& s = o->ResizeStart;
  const double m = static_cast<double>(o->X2 - o->X1) * (static_cast<double>(s.Bottom) - s.Top);
  const double w0 = static_cast<double>(s.Right) - s.Left;
  if (m == 0.0 || w0 == 0.0) return;
  if (grip == 1 || grip == 4) o->Y1 = RoundToInt32(o->Y2 - m / w0);
  else if (grip == 2 || grip == 5) o->Y2 = RoundToInt32(o->Y1 + m / w0);
}

void TPixoranVect::MoveObject(int32_t handle, int32_t dx, int32_t dy) {
  TPXVObject* o = GetObject(handle);
  if (!o) return;
  o->X1 += dx, o->X2 += dx, o->Y1 += dy, o->Y2 += dy;
  if (o->Kind == pxokAngle)
    for (TPXPoint& p : o->AnglePoints)
      if (p.X != kPXVUnset) p.X += dx, p.Y += dy;
}

int32_t TPixoranVect::GripAt(int32_t x, int32_t y) {
  const double d = Zoom() / 100.0;
  const TRect client = Rect(0, 0, ClientWidth() - 1, ClientHeight() - 1);
  auto on = [&](int32_t cx, int32_t cy) {
    return x >= cx - GripSize && x <= cx + GripSize && y >= cy - GripSize && y <= cy + GripSize;
  };
  for (int32_t h : selection_) {
    TPXVObject* o = GetObject(h);
    if (!o || !(o->Flags & kPXVVisible) || objectsHidden_) continue;  // grips only on what is shown
    int32_t X1, Y1, X2, Y2;
    TargetCorners(*o, true, 1, d, X1, Y1, X2, Y2);
    const TRect box = Rect(std::min(X1, X2), std::min(Y1, Y2), std::max(X1, X2), std::max(Y1, Y2));
    if (!SegmentBoxOverlapsRect(box, client)) continue;
    // The end grips come first: a corner lies on the object itself, and
    // taking it for the object would move instead of resize.
    int32_t grip = 0;
    if (on(X1, Y1)) {
      grip = 1;
    } else if (on(X2, Y2)) {
      grip = 2;
    } else {
      const double dist = ObjectDistance(*o, ScreenToBitmapX(x), ScreenToBitmapY(y));
      if ((dist >= 0 && dist < 1) || on(box.Left + (box.Right - box.Left) / 2, box.Top + (box.Bottom - box.Top) / 2))
        grip = 3;
    }
    if (!IsLineKind(o->Kind)) {
      const int32_t mx = X1 + (X2 - X1) / 2, my = Y1 + (Y2 - Y1) / 2;
      if (on(X2, Y1)) grip = 4;
      else if (on(X1, Y2)) grip = 5;
      else if (on(X1, my)) grip = 6;
      else if (on(X2, my)) grip = 7;
      else if (on(mx, Y1)) grip = 8;
      else if (on(mx, Y2)) grip = 9;
    }
    if (o->Kind == pxokAngle && grip != 0) grip = 3;
    if (grip != 0) return grip;
  }
  return 0;
}

void TPixoranVect::ClickSelect(TShiftState shift, int32_t x, int32_t y, bool onPress) {
  double dist = 0;
  const int32_t h = FindObjectAt(ScreenToBitmapX(x), ScreenToBitmapY(y), true, dist);
  if (h >= 0) {
    const bool already = IsSelObject(h);
    if (already && SelectOnMouseDown() && onPress) {
      tdrag_.SelectedBefore = true;
      return;
    }
    if (!already) {
      if (!(shift & ssShift)) ClearSelection();
      SelectObject(h);
    } else if (shift & ssShift) {
      UnselectObject(h);
    } else {
      UnselectAllObjects();
      SelectObject(h);
    }
  } else if (!(shift & ssShift)) {
    UnselectAllObjects();
  }
}

int32_t TPixoranVect::PolylinePointAt(int32_t x, int32_t y) {
  if (selection_.size() != 1) return -1;
  TPXVObject* o = GetObject(selection_[0]);
  if (!o || o->Kind != pxokPolyline) return -1;
  const std::vector<TPXPoint>& pts = ShownPolylinePoints(*o);
  for (size_t i = 0; i < pts.size(); ++i) {
    const TPXPoint& p = pts[i];
    if (std::abs(int64_t{x} - p.X) <= 3 && std::abs(int64_t{y} - p.Y) <= 3) return static_cast<int32_t>(i);
  }
  return -1;
}

int32_t TPixoranVect::PolylineSegmentAt(int32_t x, int32_t y) {
  if (selection_.size() != 1) return -1;
  TPXVObject* o = GetObject(selection_[0]);
  if (!o || o->Kind != pxokPolyline) return -1;
  const std::vector<TPXPoint>& pts = ShownPolylinePoints(*o);
  const size_t n = pts.size();
  if (n < 2) return -1;
  const TPXPoint p{x, y};
  for (size_t i = 0; i + 1 < n; ++i)
    if (PointSegmentDistance(p, pts[i], pts[i + 1]) < 1.5) return static_cast<int32_t>(i);
  if (o->Closed && PointSegmentDistance(p, pts[n - 1], pts[0]) < 1.5) return static_cast<int32_t>(n - 1);
  return -1;
}

// ------------------------------------------------------------ measuring

double TPixoranVect::PolygonArea() {
  const int32_t n = GetSelectionPointCount();
  const TPXPoint* pts = GetSelectionPoints();
  if (n < 3 || !pts) return 0.0;
  const double w = unitX_ * unitY_;
  double sum = 0.0;
  int32_t ring = 0;
  auto term = [&](const TPXPoint& a, const TPXPoint& b) {
    sum += (static_cast<double>(a.X) * b.Y - static_cast<double>(b.X) * a.Y) * w;
  };
  for (int32_t i = 0; i < n; ++i) {
    if (pts[i].X == kPXPolygonSeparator) {
      if (i > ring) term(pts[i - 1], pts[ring]);
      ring = i + 1;
      continue;
    }
    if (i + 1 < n && pts[i + 1].X != kPXPolygonSeparator) term(pts[i], pts[i + 1]);
  }
  if (n > ring) term(pts[n - 1], pts[ring]);
  return std::abs(sum) / 2.0;
}

double TPixoranVect::PolygonLength() {
  const int32_t n = GetSelectionPointCount();
  const TPXPoint* pts = GetSelectionPoints();
  if (n < 1 || !pts) return 0.0;
  auto seg = [&](const TPXPoint& a, const TPXPoint& b) {
    return std::hypot((static_cast<double>(b.X) - a.X) * unitX_, (static_cast<double>(b.Y) - a.Y) * unitY_);
  };
  double len = 0.0;
  int32_t ring = 0;
  for (int32_t i = 0; i + 1 < n; ++i) {
    if (pts[i].X == kPXPolygonSeparator) {
      ring = i + 1;
      continue;
    }
    if (pts[i + 1].X != kPXPolygonSeparator) len += seg(pts[i], pts[i + 1]);
  }
  if (pts[n - 1].X == kPXPolygonSeparator) return len;
  if (!PolygonInProgress()) {
    if (n > 2) len += seg(pts[n - 1], pts[ring]);
  } else if (LiveSegment) {
    len += seg(pts[n - 1], TPXPoint{ScreenToBitmapX(tdrag_.CurX), ScreenToBitmapY(tdrag_.CurY)});
  }
  return len;
}

void TPixoranVect::ShowMeasureHint(int32_t x, int32_t y) {
  if (!hint_.Visible) return;
  if (x == kHintLastPos) x = hint_.Pos.X;
  if (y == kHintLastPos) y = hint_.Pos.Y;
  x = std::max(x, 0);
  y = std::max(y, 0);
  const std::string unit = MeasureUnitAbbreviation(mUnit_);
  double v = 0.0;
  std::string suffix = " " + unit;
  if (vtools_ & kPXVTMeasureArea) {
    v = PolygonArea();
    suffix += "\xC2\xB2";  // superscript two
  } else if (vtools_ & kPXVTMeasureLength) {
    v = PolygonLength();
  } else if (tdrag_.DragLength) {
    const double z = Zoom() > 0 ? 100.0 / Zoom() : 1.0;
    const double dx = (static_cast<double>(x) - tdrag_.PressX + 1) * unitX_ * z;
    const double dy = (static_cast<double>(y) - tdrag_.PressY + 1) * unitY_ * z;
    v = std::sqrt(dx * dx + dy * dy);
  }
  if (v == 0.0) v = hint_.Last;
  hint_.Last = v;
  hint_.Text = FormatMeasure(v) + suffix;
  if (OnMeasureHint) OnMeasureHint(this, hint_.Text, v);
  hint_.Pos = TPoint{x, y};
  hint_.Shown = true;
  InvalidateRect(Rect(0, 0, ClientWidth(), ClientHeight()));
}

void TPixoranVect::HideMeasureHint() {
  if (!hint_.Shown) return;
  hint_.Shown = false;
  InvalidateRect(Rect(0, 0, ClientWidth(), ClientHeight()));
}

void TPixoranVect::RefreshMeasureHint() {
  if (!hint_.Visible) return;
  HideMeasureHint();
  ShowMeasureHint(kHintLastPos, kHintLastPos);
}

// ------------------------------------------------------------ overlay

void TPixoranVect::SetRubber(TRubber kind, std::vector<TPoint> points) {
  rubber_.Kind = kind;
  rubber_.Points = std::move(points);
  InvalidateRect(Rect(0, 0, ClientWidth(), ClientHeight()));
}

void TPixoranVect::PaintWindowOverlay() {
  TPixoranView::PaintWindowOverlay();
  TCanvas& c = WindowCanvas();
  if (rubber_.Kind != rbNone && rubber_.Points.size() >= 2) {
    const TPen savedPen = c.Pen;
    const TBrush savedBrush = c.Brush;
    c.Pen = TPen{clBlack, 1, pmNot, psSolid};
    c.Brush.Style = bsClear;
    const TPoint a = rubber_.Points[0], b = rubber_.Points[1];
    const TRect box = Rect(std::min(a.X, b.X), std::min(a.Y, b.Y), std::max(a.X, b.X) + 1, std::max(a.Y, b.Y) + 1);
    switch (rubber_.Kind) {
      case rbLine:
        c.MoveTo(a.X, a.Y);
        c.LineTo(b.X, b.Y);
        break;
      case rbRect: c.Rectangle(box); break;
      case rbEllipse: c.Ellipse(box); break;
      case rbPolyline: c.Polyline(rubber_.Points.data(), static_cast<int>(rubber_.Points.size())); break;
      default: break;
    }
    c.Pen = savedPen;
    c.Brush = savedBrush;
  }
  if (hint_.Visible && hint_.Shown && UpdateLockCount() == 0 && !hint_.Text.empty()) {
    TFont f;
    f.Bold = true;
    f.Color = clBlack;
    TBitmap saved;  // what lay under the box: the overlay is drawn afresh each paint
    int32_t x = hint_.Pos.X, y = hint_.Pos.Y;
    const TFont savedFont = c.Font;
    DrawTextBox(c, x, y, ClientWidth(), ClientHeight(), saved, TBrush{0x60FFFF, bsSolid}, f, hint_.Text);
    c.Font = savedFont;
  }
}

void TPixoranVect::Resize() {
  TPixoranView::Resize();
  CancelInteraction();
  Update();
}

// ------------------------------------------------------------ mouse

void TPixoranVect::ShiftSelection(int32_t dx, int32_t dy) {
  TPixoranView::ShiftSelection(dx, dy);
  tdrag_.PressX += dx;
  tdrag_.PressY += dy;
}

void TPixoranVect::DragStep(int32_t x, int32_t y, int32_t& dx, int32_t& dy) {
  const double z = Zoom() > 0 ? 100.0 / Zoom() : 1.0;
  const int32_t ox = TruncToInt32((static_cast<double>(x) - tdrag_.PressX) * z);
  const int32_t oy = TruncToInt32((static_cast<double>(y) - tdrag_.PressY) * z);
  dx = ox - tdrag_.MoveX;
  dy = oy - tdrag_.MoveY;
  tdrag_.MoveX = ox;
  tdrag_.MoveY = oy;
}

TPXPoint TPixoranVect::PressOnPicture() {
  TPXPoint p{tdrag_.PressImgX, tdrag_.PressImgY};
  const int32_t sx = BitmapToScreenX(p.X), sy = BitmapToScreenY(p.Y);
  // The displayed picture's last client column and row are its right and
  // bottom edge: one further is beside it.
  const int32_t cx = std::clamp(sx, OffsetX(), OffsetX() + std::max(DisplayedWidth() - 1, 0));
  const int32_t cy = std::clamp(sy, OffsetY(), OffsetY() + std::max(DisplayedHeight() - 1, 0));
  if (cx != sx) p.X = ScreenToBitmapX(cx);
  if (cy != sy) p.Y = ScreenToBitmapY(cy);
  return p;
}

void TPixoranVect::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  TPixoranView::MouseDown(button, shift, x, y);
  if (button != mbLeft) return;
  tdrag_.Down = true;
  tdrag_.Double = (shift & ssDouble) != 0;
  tdrag_.SelectedBefore = false;
  EndTextEdit();
  edited_ = -1;
  tdrag_.PolySegment = -1;
  tdrag_.PolyPoint = -1;
  tdrag_.DragLength = false;
  const bool ctrl = (shift & ssCtrl) != 0;
  const int32_t ix = ScreenToBitmapX(x), iy = ScreenToBitmapY(y);
  if (tdrag_.Building < 0) {
    creationKind_ = CreationKindFromTools();
    tdrag_.DragLength = (vtools_ & kPXVTDragLength) != 0;
  }

  if ((vtools_ & kPXVTAngle) && !tdrag_.Double) {
    TPXVObject* a = tdrag_.Building >= 0 ? GetObject(tdrag_.Building) : nullptr;
    if (!a || a->Kind != pxokAngle) {
      // The empty bounds go on the new object only: the template keeps its size.
      TPXVObject o = template_;
      o.Kind = pxokAngle;
      o.AnglePoints[0] = TPXPoint{ix, iy};
      o.AnglePoints[1] = o.AnglePoints[2] = TPXPoint{kPXVUnset, kPXVUnset};
      o.X1 = o.Y1 = kPXVBig;
      o.X2 = o.Y2 = -kPXVBig;
      tdrag_.Building = AddObject(o);
      UnselectAllObjects();
    } else {
      const int idx = a->AnglePoints[1].X == kPXVUnset ? 1 : 2;
      int32_t px = ix, py = iy;
      if (ctrl) SnapLineAngle(a->AnglePoints[idx - 1].X, a->AnglePoints[idx - 1].Y, px, py);
      a->AnglePoints[idx] = TPXPoint{px, py};
      if (idx == 2) {
        const TRect r = AngleBounds(*a);
        a->X1 = r.Left, a->Y1 = r.Top, a->X2 = r.Right, a->Y2 = r.Bottom;
        SelectObject(tdrag_.Building);
        tdrag_.Building = -1;
        creationKind_ = 0;
        SetRubber(rbNone, {});
      }
      Update();
    }
  } else if (vtools_ & kPXVTPolyline) {
    TPXVObject* p = tdrag_.Building >= 0 ? GetObject(tdrag_.Building) : nullptr;
    if (p && p->Kind == pxokPolyline) {
      int32_t px = ix, py = iy;
      if (ctrl && !p->Points.empty()) SnapLineAngle(p->Points.back().X, p->Points.back().Y, px, py);
      AddPolylinePoint(tdrag_.Building, px, py);
      if (tdrag_.Double) {
        SelectObject(tdrag_.Building);
        tdrag_.Building = -1;
        creationKind_ = 0;
        SetRubber(rbNone, {});
      }
      Update();
    } else if (!tdrag_.Double) {
      TPXVObject o = template_;
      o.Kind = pxokPolyline;
      o.Points.clear();
      o.X1 = o.Y1 = kPXVBig;
      o.X2 = o.Y2 = -kPXVBig;
      tdrag_.Building = AddObject(o);
      AddPolylinePoint(tdrag_.Building, ix, iy);
      UnselectAllObjects();
    }
  } else if (vtools_ & kPXVTEditPolyline) {
    tdrag_.PolyPoint = PolylinePointAt(x, y);
    if (tdrag_.PolyPoint < 0) tdrag_.PolySegment = PolylineSegmentAt(x, y);
  } else if (vtools_ & kPXVTSelect) {
    if (!tdrag_.Double) {
      grip_ = GripAt(x, y);
      if ((grip_ == 0 || grip_ == 3) && SelectOnMouseDown()) {
        ClickSelect(shift, x, y, true);
        grip_ = GripAt(x, y);
      }
      if (grip_ != 0)
        for (int32_t h : selection_)
          if (TPXVObject* o = GetObject(h)) o->ResizeStart = Rect(o->X1, o->Y1, o->X2, o->Y2);
    } else {
      double dist = 0;
      const int32_t h = FindObjectAt(ix, iy, true, dist);
      if (h >= 0) {
        FireObjectDblClick(h);
        TPXVObject* o = GetObject(h);
        if (o && (o->Kind == pxokText || o->Kind == pxokMemo) && dist == 0) {
          UnselectAllObjects();
          SelectObject(h);
          edited_ = h;
          StartTextEdit(h);
        }
      }
    }
  }
  tdrag_.PressX = x;
  tdrag_.PressY = y;
  tdrag_.PressImgX = ix;
  tdrag_.PressImgY = iy;
  tdrag_.CurX = x;
  tdrag_.CurY = y;
  tdrag_.MoveX = tdrag_.MoveY = 0;
}

void TPixoranVect::MouseMove(TShiftState shift, int x, int y) {
  if (tdrag_.Down && tdrag_.Double) {
    TPixoranView::MouseMove(shift, x, y);
    return;
  }
  HideMeasureHint();
  TPixoranView::MouseMove(shift, x, y);
  const int32_t rawX = x, rawY = y;
  x = std::clamp(x, OffsetX(), OffsetX() + DisplayedWidth());
  y = std::clamp(y, OffsetY(), OffsetY() + DisplayedHeight());
  tdrag_.CurX = x;
  tdrag_.CurY = y;
  const bool ctrl = (shift & ssCtrl) != 0;
  TPXVObject* building = tdrag_.Building >= 0 ? GetObject(tdrag_.Building) : nullptr;

  if (tdrag_.Down && creationKind_ != 0) {
    SetInteractionInProgress(true);
    if (building && building->Kind == pxokPolyline) {
      // Freehand: the pointer adds a point on every move.
      AddPolylinePoint(tdrag_.Building, ScreenToBitmapX(x), ScreenToBitmapY(y));
      Update();
    } else if (building && building->Kind == pxokAngle) {
      // Held between presses the preview follows like a hover.
    } else if (!(template_.Flags & kPXVResizable)) {
      tdrag_.PressX = rawX;
      tdrag_.PressY = rawY;
      tdrag_.PressImgX = ScreenToBitmapX(x);
      tdrag_.PressImgY = ScreenToBitmapY(y);
    } else {
      if (AutoScroll(rawX, rawY)) Update();
      // The press point kept in image units follows a scroll; the band
      // starts where the object will.
      const TPXPoint start = tdrag_.DragLength ? TPXPoint{tdrag_.PressImgX, tdrag_.PressImgY} : PressOnPicture();
      const TPoint a{BitmapToScreenX(start.X), BitmapToScreenY(start.Y)};
      TPoint b{x, y};
      switch (creationKind_) {
        case pxokLine:
        case pxokLineLabel:
        case pxokRuler:
          if (tdrag_.DragLength) {
            b = TPoint{rawX, rawY};
            hint_.Visible = true;
          } else if (ctrl) {
            SnapLineAngle(a.X, a.Y, b.X, b.Y);
          }
          SetRubber(rbLine, {a, b});
          break;
        case pxokEllipse:
          if (ctrl) {
            const int32_t dx = b.X - a.X, dy = b.Y - a.Y;
            const int32_t m = std::abs(dx) >= std::abs(dy) ? dx : dy;
            b = TPoint{a.X + m, a.Y + m};
          }
          SetRubber(rbEllipse, {a, b});
          break;
        default: SetRubber(rbRect, {a, b}); break;
      }
    }
  } else if (tdrag_.Down && grip_ != 0) {
    DoBeforeVectorialChanged();
    SetInteractionInProgress(true);
    TPXVObject* first = selection_.empty() ? nullptr : GetObject(selection_[0]);
    if (ctrl && first && IsLineKind(first->Kind) && (grip_ == 1 || grip_ == 2)) {
      const int32_t fx = BitmapToScreenX(grip_ == 1 ? first->X2 : first->X1);
      const int32_t fy = BitmapToScreenY(grip_ == 1 ? first->Y2 : first->Y1);
      SnapLineAngle(fx, fy, x, y);
    }
    int32_t dx = 0, dy = 0;
    DragStep(x, y, dx, dy);
    const bool keep = (shift & ssAlt) || LineSnap;
    const std::vector<int32_t> sel = selection_;
    for (int32_t h : sel) {
      TPXVObject* o = GetObject(h);
      if (!o) continue;
      if (OnObjectMoveResize) OnObjectMoveResize(this, h, grip_, dx, dy);
      o = GetObject(h);
      if (!o) continue;
      if ((o->Flags & kPXVResizable) && o->Kind != pxokAngle) ResizeObject(h, grip_, dx, dy, keep);
      if (grip_ == 3 && (o->Flags & kPXVMovable)) MoveObject(h, dx, dy);
    }
    Update();
  } else if (tdrag_.Down && (vtools_ & kPXVTEditPolyline) && tdrag_.PolyPoint >= 0) {
    int32_t dx = 0, dy = 0;
    DragStep(x, y, dx, dy);
    TPXVObject* o = selection_.size() == 1 ? GetObject(selection_[0]) : nullptr;
    if (o && o->Kind == pxokPolyline && tdrag_.PolyPoint < static_cast<int32_t>(o->Points.size())) {
      SetInteractionInProgress(true);
      const TRect before = Rect(o->X1, o->Y1, o->X2, o->Y2);
      TPXPoint& p = o->Points[static_cast<size_t>(tdrag_.PolyPoint)];
      p.X += dx;
      p.Y += dy;
      RefitPolyline(*o);
      const int32_t l = std::min(before.Left, o->X1), t = std::min(before.Top, o->Y1);
      const int32_t r = std::max(before.Right, o->X2), b = std::max(before.Bottom, o->Y2);
      InvalidateViewRect(
          Rect(BitmapToScreenX(l) - 8, BitmapToScreenY(t) - 8, BitmapToScreenX(r) + 9, BitmapToScreenY(b) + 9));
    }
  } else if (tdrag_.Down && (vtools_ & kPXVTSelect) && grip_ == 0) {
    const TPoint a{tdrag_.PressX, tdrag_.PressY};
    SetRubber(rbRect, {a, TPoint{x, y}});
    if (!(shift & ssShift)) ClearSelection();
    const int32_t ax = ScreenToBitmapX(a.X), ay = ScreenToBitmapY(a.Y);
    const int32_t bx = ScreenToBitmapX(x), by = ScreenToBitmapY(y);
    SelectObjectsInRect(kPXVAll, std::min(ax, bx), std::min(ay, by), std::max(ax, bx), std::max(ay, by));
    if (OnSelectObject) OnSelectObject(this);
    Update();
  } else if (!tdrag_.Down) {
    if (building && building->Kind == pxokPolyline && !building->Points.empty()) {
      const TPoint a{BitmapToScreenX(building->Points.back().X), BitmapToScreenY(building->Points.back().Y)};
      TPoint b{x, y};
      if (ctrl) SnapLineAngle(a.X, a.Y, b.X, b.Y);
      SetRubber(rbLine, {a, b});
    } else if (building && building->Kind == pxokAngle) {
      // The preview: the placed points, the pointer standing for the next.
      std::vector<TPoint> pts;
      for (const TPXPoint& p : building->AnglePoints) {
        if (p.X == kPXVUnset) {
          pts.push_back(TPoint{x, y});
          break;
        }
        pts.push_back(TPoint{BitmapToScreenX(p.X), BitmapToScreenY(p.Y)});
      }
      SetRubber(rbPolyline, std::move(pts));
    } else {
      double dist = 0;
      const int32_t h = FindObjectAt(ScreenToBitmapX(x), ScreenToBitmapY(y), false, dist);
      if (h >= 0 && OnObjectOver) OnObjectOver(this, h);
    }
    if (vtools_ & kPXVTEditPolyline) {
      TCursor c = DefaultCursor();
      if (PolylinePointAt(x, y) >= 0) c = ctrl ? 1792 : 1790;
      else if (PolylineSegmentAt(x, y) >= 0) c = 1791;
      SetTempCursor(c);
    } else if (vtools_ & kPXVTSelect) {
      static constexpr TCursor kByGrip[] = {0, 1786, 1786, 1790, 1788, 1788, 1789, 1789, 1787, 1787};
      const int32_t g = GripAt(x, y);
      SetTempCursor(g > 0 && g <= 9 ? kByGrip[g] : DefaultCursor());
    }
  }
  HideMeasureHint();
  ShowMeasureHint(x, y);
}

void TPixoranVect::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  TPixoranView::MouseUp(button, shift, x, y);
  if (button != mbLeft || !tdrag_.Down) return;
  tdrag_.Down = false;
  if (tdrag_.Building >= 0) return;  // a polyline or angle takes more presses
  // Click or drag is told on the points as pressed and released; only then
  // is the release clamped to the picture, as the press is below.
  const bool click = x == tdrag_.PressX && y == tdrag_.PressY;
  x = std::clamp(x, OffsetX(), OffsetX() + DisplayedWidth());
  y = std::clamp(y, OffsetY(), OffsetY() + DisplayedHeight());
  const bool dragLength = tdrag_.DragLength;
  tdrag_.DragLength = false;
  SetRubber(rbNone, {});
  const bool handled =
      !click || !(vtools_ & kPXVTNoClickCreate) || (vtools_ & (kPXVTSelect | kPXVTMeasureArea | kPXVTMeasureLength));
  const bool dragged = InteractionInProgress();
  auto finish = [&] {
    creationKind_ = 0;
    grip_ = 0;
    if (dragged) {
      SetInteractionInProgress(false);
      Invalidate();
    }
  };
  if (!handled || edited_ >= 0) {
    finish();
    return;
  }
  const int32_t ix = ScreenToBitmapX(x), iy = ScreenToBitmapY(y);
  if (creationKind_ != 0) {
    TPXVObject& t = template_;
    // An object started beside the picture starts on its edge.
    const TPXPoint start = PressOnPicture();
    const int32_t sx = start.X, sy = start.Y;
    if (click) {
      const int32_t w = t.X2 - t.X1, h = t.Y2 - t.Y1;
      t.X1 = sx, t.Y1 = sy;
      t.X2 = t.X1 + w, t.Y2 = t.Y1 + h;
    } else {
      t.X1 = sx, t.Y1 = sy, t.X2 = ix, t.Y2 = iy;
      if (!IsLineKind(static_cast<TPXVObjectKind>(creationKind_)) && !dragLength) SortCorners(t);
    }
    t.Kind = static_cast<TPXVObjectKind>(creationKind_);
    if (dragLength) {
      HideMeasureHint();
      hint_.Visible = false;
      if (OnDragLenEnd) OnDragLenEnd(this, hint_.Last);
    } else {
      DoBeforeVectorialChanged();
      const int32_t h = AddObject(t);
      UnselectAllObjects();
      SelectObject(kPXVLast);
      if (t.Kind == pxokText || t.Kind == pxokMemo) {
        edited_ = h;
        StartTextEdit(h);
      } else {
        DoVectorialChanged();
      }
      if (OnNewObject) OnNewObject(this, h);
    }
  } else {
    const bool moved = tdrag_.MoveX != 0 || tdrag_.MoveY != 0;
    if ((grip_ != 0 && (dragged || grip_ != 3)) || !(vtools_ & (kPXVTSelect | kPXVTEditPolyline)) || moved || !click) {
      if (grip_ != 0 && dragged)
        for (int32_t h : selection_)
          if (TPXVObject* o = GetObject(h); o && !IsLineKind(o->Kind) && o->Kind != pxokPolyline) SortCorners(*o);
      DoVectorialChanged();
    } else if (vtools_ & kPXVTSelect) {
      if (!SelectOnMouseDown() || tdrag_.SelectedBefore) ClickSelect(shift, x, y, false);
    }
  }
  if (vtools_ & kPXVTEditPolyline) {
    TPXVObject* o = selection_.size() == 1 ? GetObject(selection_[0]) : nullptr;
    if (o && o->Kind == pxokPolyline) {
      const int32_t n = static_cast<int32_t>(o->Points.size());
      if (tdrag_.PolyPoint >= 0 && tdrag_.PolyPoint < n && (shift & ssCtrl) && n > 2) {
        o->Points.erase(o->Points.begin() + tdrag_.PolyPoint);
        RefitPolyline(*o);
        DoVectorialChanged();
      } else if (tdrag_.PolySegment >= 0 && tdrag_.PolySegment < n) {
        // Back into the frame of the stored points; a box without width or
        // height maps every point onto its one edge.
        const TRect& pb = o->PointBounds;
        double sx, sy;
        PolylineScale(*o, sx, sy);
        const int32_t px = sx != 0.0 ? pb.Left + RoundToInt32((ix - o->X1) / sx) : pb.Left;
        const int32_t py = sy != 0.0 ? pb.Top + RoundToInt32((iy - o->Y1) / sy) : pb.Top;
        o->Points.insert(o->Points.begin() + tdrag_.PolySegment + 1, TPXPoint{px, py});
        RefitPolyline(*o);
        DoVectorialChanged();
      }
    }
    tdrag_.PolySegment = -1;
    tdrag_.PolyPoint = -1;
  }
  Update();
  finish();
  if (vtools_ & kPXVTSelect) {
    double dist = 0;
    const int32_t h = FindObjectAt(ix, iy, false, dist);
    if (h >= 0) FireObjectClick(h);
  }
  ShowMeasureHint(x, y);
}

// ------------------------------------------------------------ keys

void TPixoranVect::KeyDown(int& key, TShiftState shift) {
  if (key == vkEscape) {
    EndTextEdit();
    edited_ = -1;
  } else if (key == vkF1 + 1 && !selection_.empty()) {  // F2
    const int32_t h = selection_[0];
    TPXVObject* o = GetObject(h);
    if (o && (o->Kind == pxokText || o->Kind == pxokMemo)) {
      edited_ = h;
      StartTextEdit(h);
    }
  }
  TPixoranView::KeyDown(key, shift);
}

}  // namespace pixoran
