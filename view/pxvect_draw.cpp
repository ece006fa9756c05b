// Drawing of the vector objects onto the back buffer (screen coordinates,
// zoomed) and into the image (image coordinates), with the optional
// pipeline through a work bitmap with alpha: opacity, soft shadow,
// highlight and 2x supersampling.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/pxrender.h"
#include "proc/pxfilters.h"
#include "view/pxtextc.h"
#include "view/pxvect.h"

namespace pixoran {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int32_t kNoBound = 2000000000;

TRect EmptyBounds() { return TRect{kNoBound, kNoBound, -kNoBound, -kNoBound}; }

void Extend(TRect& r, int64_t x, int64_t y) {
  ExtendRect(r, static_cast<int32_t>(std::clamp<int64_t>(x, -kNoBound, kNoBound)),
             static_cast<int32_t>(std::clamp<int64_t>(y, -kNoBound, kNoBound)));
}

// Corner-inclusive rectangle operations.
TRect Unite(const TRect& a, const TRect& b) {
  if (a.Right < a.Left) return b;
  if (b.Right < b.Left) return a;
  return TRect{std::min(a.Left, b.Left), std::min(a.Top, b.Top), std::max(a.Right, b.Right),
               std::max(a.Bottom, b.Bottom)};
}
TRect Intersect(const TRect& a, const TRect& b) {
  return TRect{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
               std::min(a.Bottom, b.Bottom)};
}
bool NoArea(const TRect& r) { return r.Right < r.Left || r.Bottom < r.Top; }
TRect Grow(const TRect& r, int32_t g) {
  if (NoArea(r)) return r;
  return TRect{r.Left - g, r.Top - g, r.Right + g, r.Bottom + g};
}
// The canvas form: right and bottom exclusive.
TRect Exclusive(const TRect& r) { return TRect{r.Left, r.Top, r.Right + 1, r.Bottom + 1}; }

// The canvas font from the object's logical font, antialiased, its height
// scaled by d (or the given height when the logical one is 0); false when
// the scaled height comes out as 0 and the text would ask for no size.
bool SetObjFontOn(const TPXVObject& o, TCanvas& c, double d, int32_t heightWhenZero) {
  TPXLogFont lf = o.Font ? *o.Font : TPXLogFont{};
  lf.Quality = 4;
  if (lf.Height == 0 && heightWhenZero > 0) {
    lf.Height = heightWhenZero;
  } else if (lf.Height != 0) {
    const int32_t h = TruncToInt32(d * lf.Height);
    if (h == 0) {
      c.Font.Empty = true;
      return false;
    }
    lf.Height = h;
  }
  if (!o.Font) SetLogFontFaceName(lf, "Arial");
  FontFromLogFont(lf, c.Font);
  c.Font.Color = o.PenColor;
  return true;
}

// Sets a font of a size in points, in the pen colour, unrotated.
void SetPointFont(TCanvas& c, const std::string& face, int32_t size, TColor colour) {
  c.Font = TFont{};
  c.Font.Name = face;
  c.Font.Size = size;
  c.Font.Color = colour;
}

}  // namespace

// ------------------------------------------------------------ coordinates

int32_t TPixoranVect::ObjToTargetX(int32_t x, bool screen, int32_t factor) {
  const int64_t v = screen ? BitmapToScreenX(x) : x;
  return static_cast<int32_t>(std::clamp<int64_t>(v * factor, -kNoBound / 2, kNoBound / 2));
}

int32_t TPixoranVect::ObjToTargetY(int32_t y, bool screen, int32_t factor) {
  const int64_t v = screen ? BitmapToScreenY(y) : y;
  return static_cast<int32_t>(std::clamp<int64_t>(v * factor, -kNoBound / 2, kNoBound / 2));
}

int32_t TPixoranVect::ObjPenWidth(TPXVObject& o, double d) {
  if (!zoomObjectsWidth_) return o.PenWidth;
  // Bounded: a pen wider than any target draws nothing more.
  return std::min(CeilToInt(std::max(o.PenWidth * d, 1.0)), 100000);
}

void TPixoranVect::TargetCorners(TPXVObject& o, bool screen, int32_t factor, double d, int32_t& X1, int32_t& Y1,
                                 int32_t& X2, int32_t& Y2) {
  X1 = ObjToTargetX(o.X1, screen, factor);
  Y1 = ObjToTargetY(o.Y1, screen, factor);
  X2 = ObjToTargetX(o.X2, screen, factor);
  Y2 = ObjToTargetY(o.Y2, screen, factor);
  const int32_t w = ObjPenWidth(o, d);
  switch (o.Kind) {
    case pxokLine:
    case pxokBox:
    case pxokEllipse:
    case pxokArc:
    case pxokLineLabel: X1 += w / 2, Y1 += w / 2, X2 += w / 2, Y2 += w / 2; break;
    case pxokBitmap:
      if (d != 1.0) {
        X2 = ObjToTargetX(o.X2 + 1, screen, factor) - 1;
        Y2 = ObjToTargetY(o.Y2 + 1, screen, factor) - 1;
      }
      break;
    default: break;
  }
}

double TPixoranVect::ObjAngleDegrees(const TPXVObject& o) {
  for (const TPXPoint& p : o.AnglePoints)
    if (p.X == kPXVUnset) return 0.0;
  const TPXPoint& p1 = o.AnglePoints[0];
  const TPXPoint& v = o.AnglePoints[1];
  const TPXPoint& p2 = o.AnglePoints[2];
  auto len = [](const TPXPoint& a, const TPXPoint& b) {
    const double l = std::hypot(static_cast<double>(a.X) - b.X, static_cast<double>(a.Y) - b.Y);
    return l == 0.0 ? 1.0 : l;
  };
  const double a = len(p1, v), b = len(p2, v), c = len(p1, p2);
  // Rounding can carry the cosine just past +-1.
  double angle = std::acos(std::clamp((a * a + b * b - c * c) / (2 * a * b), -1.0, 1.0));
  const double ux = static_cast<double>(v.X) - p1.X, uy = static_cast<double>(v.Y) - p1.Y;
  const double vx = static_cast<double>(p2.X) - p1.X, vy = static_cast<double>(p2.Y) - p1.Y;
  if (uy * vx > ux * vy || (uy * vx == ux * vy && (ux * vx < 0 || uy * vy < 0))) angle = 2 * kPi - angle;
  return angle * 180.0 / kPi;
}

// ------------------------------------------------------------ passes

void TPixoranVect::DrawLayersToBackBuffer(TBitmap& buffer, const TRect& rect) {
  TPixoranView::DrawLayersToBackBuffer(buffer, rect);
  if (!objectsHidden_) DrawObjectsOnBackBuffer(buffer);
}

void TPixoranVect::DrawObjectsOnBackBuffer(TBitmap& buffer) {
  drawnCount_ = 0;
  if (TPXBitmap* image = GetPXBitmap()) DrawObjectsToBitmap(*image, pxdmScreen, objAntialias_, buffer);
  DrawGrips(buffer.Canvas());
  if (vtools_ & kPXVTEditPolyline) DrawPointHandles(buffer.Canvas());
}

void TPixoranVect::DrawPointHandles(TCanvas& c) {
  const TPen savedPen = c.Pen;
  c.Pen = TPen{clBlack, 1, pmCopy, psSolid};
  const int32_t g = GripSize;
  for (int32_t h : selection_) {
    TPXVObject* o = GetObject(h);
    if (!o || o->Kind != pxokPolyline) continue;
    // Diamonds around the points where presses find them (none for a
    // polyline hidden or off the client).
    for (const TPXPoint& p : ShownPolylinePoints(*o)) {
      TPoint d[5] = {{p.X, p.Y - g}, {p.X + g, p.Y}, {p.X, p.Y + g}, {p.X - g, p.Y}, {p.X, p.Y - g}};
      c.Polyline(d, 5);
    }
  }
  c.Pen = savedPen;
}

void TPixoranVect::DrawGrips(TCanvas& c) {
  if (selection_.empty()) return;
  const TPen savedPen = c.Pen;
  const TBrush savedBrush = c.Brush;
  c.Pen = TPen{clBlack, 1, pmCopy, psSolid};
  c.Brush = TBrush{clBlack, bsSolid};
  const int32_t g = GripSize;
  auto grip = [&](int32_t x, int32_t y) { c.Rectangle(Rect(x - g, y - g, x + g, y + g)); };
  const double d = Zoom() / 100.0;
  const TRect client = Rect(0, 0, ClientWidth(), ClientHeight());
  for (int32_t h : selection_) {
    TPXVObject* o = GetObject(h);
    if (!o || !(o->Flags & kPXVVisible)) continue;  // grips only on what is shown
    if (o->Kind == pxokAngle) {
      for (const TPXPoint& p : o->AnglePoints)
        if (p.X != kPXVUnset) grip(ObjToTargetX(p.X, true, 1), ObjToTargetY(p.Y, true, 1));
      continue;
    }
    int32_t X1, Y1, X2, Y2;
    TargetCorners(*o, true, 1, d, X1, Y1, X2, Y2);
    if (!SegmentBoxOverlapsRect(Rect(X1, Y1, X2, Y2),
                                Rect(client.Left, client.Top, client.Right - 1, client.Bottom - 1)))
      continue;
    grip(X1, Y1);
    grip(X2, Y2);
    if (o->Kind == pxokLine || o->Kind == pxokRuler || o->Kind == pxokLineLabel) continue;
    const int32_t mx = X1 + (X2 - X1) / 2, my = Y1 + (Y2 - Y1) / 2;
    grip(X2, Y1);
    grip(X1, Y2);
    grip(X1, my);
    grip(X2, my);
    grip(mx, Y1);
    grip(mx, Y2);
  }
  c.Pen = savedPen;
  c.Brush = savedBrush;
}

void TPixoranVect::DrawObjectsToBitmap(TPXBitmap& image, TPXVDrawMode mode, bool supersample, TBitmap& target) {
  if (objectsHidden_ || target.Empty()) return;
  const int32_t factor = supersample ? 2 : 1;
  const bool screen = mode == pxdmScreen;
  if (!alphaDrawing_ || order_.empty()) {
    // Supersampling acts only through the pipeline.
    passTarget_ = std::make_unique<TPXBitmap>();
    passTarget_->AttachTBitmap(&target, false);
    passTargetT_ = &target;
    passTables_.Clear();
    for (int32_t h : order_)
      if (TPXVObject* o = GetObject(h)) DrawObject(*o, target, 0, 1, nullptr, screen, screen);
    passTargetT_ = nullptr;
    passTarget_.reset();
    passTables_.Clear();
    return;
  }
  DrawPipeline(image, screen, factor, target);
}

void TPixoranVect::DrawPipeline(TPXBitmap& image, bool screen, int32_t factor, TBitmap& target) {
  const int32_t W = target.Width() * factor, H = target.Height() * factor;
  if (!work_ || work_->Width() != W || work_->Height() != H) {
    work_ = std::make_unique<TPXBitmap>();
    work_->SetLocation(pxTBitmap);
    if (!work_->Allocate(W, H, pxBGR24)) {
      work_.reset();
      return;
    }
    work_->GetAlphaChannel()->Fill(0);
    workAlpha_ = std::make_unique<TBitmap>();
    workAlpha_->SetPixelFormat(pf8bit);
    workAlpha_->SetSize(W, H);
    workDirty_ = TRect{0, 0, W - 1, H - 1};
  }
  TBitmap& wb = *work_->VclBitmap();
  TPXBitmap& walpha = *work_->GetAlphaChannel();
  // The target, attached once for the whole pass, its row table kept.
  TPXBitmap dest;
  dest.AttachTBitmap(&target, false);
  TPXRenderTables destTables;
  const TRect all{0, 0, W - 1, H - 1};
  for (int32_t handle : order_) {
    TPXVObject* op = GetObject(handle);
    if (!op || !(op->Flags & kPXVVisible)) continue;
    TPXVObject& o = *op;
    // Everything this object draws stays inside its extent: only that (and
    // what the previous objects left) is cleared, and the passes are cut to it.
    const TRect extent = Intersect(ObjectExtent(o, wb.Canvas(), screen, factor), all);
    if (NoArea(extent)) continue;
    // What the previous object left goes to transparent, and this object's
    // extent is prepared: its pen colour under no alpha.
    const TColor pc = ColorToRGB(o.PenColor);
    auto prepare = [&](const TRect& r, bool colour) {
      if (NoArea(r)) return;
      const uint8_t cr = pc & 0xFF, cg = (pc >> 8) & 0xFF, cb = (pc >> 16) & 0xFF;
      const size_t n = static_cast<size_t>(r.Right - r.Left + 1);
      for (int32_t y = r.Top; y <= r.Bottom; ++y) {
        if (colour) {
          uint8_t* row = wb.ScanLine(y) + 3 * static_cast<size_t>(r.Left);
          for (size_t x = 0; x < n; ++x, row += 3) row[0] = cb, row[1] = cg, row[2] = cr;
        }
        std::memset(workAlpha_->ScanLine(y) + r.Left, 0, n);
        std::memset(walpha.Scanline(y) + r.Left, 0, n);
      }
    };
    prepare(Intersect(workDirty_, all), false);
    prepare(extent, true);
    workDirty_ = extent;
    if (o.Highlight) {
      const int32_t tx1 = ObjToTargetX(o.X1, screen, factor), ty1 = ObjToTargetY(o.Y1, screen, factor);
      const int32_t tx2 = ObjToTargetX(o.X2 + 1, screen, factor), ty2 = ObjToTargetY(o.Y2 + 1, screen, factor);
      TPXRenderOptions ro;
      ro.Filter = ZoomFilter();
      const TRect clip = Exclusive(extent);
      ro.Clip = &clip;
      RenderToBitmap(
          image, *work_,
          TPXRenderRect{o.X1, o.Y1, o.X2 - o.X1 + 1, o.Y2 - o.Y1 + 1, tx1, ty1, tx2 - tx1 + 1, ty2 - ty1 + 1}, ro);
    }
    const TRect clipEx = Exclusive(extent);
    wb.Canvas().SetClipRect(&clipEx);
    const bool drawn = DrawObject(o, wb, 0, factor, work_.get(), screen, screen);
    wb.Canvas().SetClipRect(nullptr);
    if (!drawn) continue;
    if (o.Kind != pxokBitmap) {
      const TColor pen = o.PenColor, brush = o.BrushColor, label = o.LabelBrushColor;
      const int32_t op8 = std::clamp(o.Opacity, 0, 255);
      const TColor grey = 0x02000000 | op8 | (op8 << 8) | (op8 << 16);
      o.PenColor = o.BrushColor = o.LabelBrushColor = grey;
      workAlpha_->Canvas().SetClipRect(&clipEx);
      const TRect bounds = o.DrawnBounds;
      const int32_t pw = o.DrawnPenWidth, count = drawnCount_;
      DrawObject(o, *workAlpha_, 1, factor, nullptr, screen, false);
      o.DrawnBounds = bounds;
      o.DrawnPenWidth = pw;
      drawnCount_ = count;  // the same object, once
      workAlpha_->Canvas().SetClipRect(nullptr);
      o.PenColor = pen, o.BrushColor = brush, o.LabelBrushColor = label;
      for (int32_t y = extent.Top; y <= extent.Bottom; ++y)
        std::memcpy(walpha.Scanline(y) + extent.Left, workAlpha_->ScanLine(y) + extent.Left,
                    static_cast<size_t>(extent.Right - extent.Left + 1));
    }
    TRect area = Intersect(Grow(o.DrawnBounds, o.DrawnPenWidth), extent);
    if (NoArea(area)) continue;
    if (o.Shadow.Enabled) {
      const int32_t m = DrawSoftShadowRect(*work_, o.Shadow.OffsetX * factor, o.Shadow.OffsetY * factor,
                                           Exclusive(area), o.Shadow.Radius * factor);
      area = Intersect(Grow(area, std::max(m, 0)), all);
      workDirty_ = Unite(workDirty_, area);
    }
    walpha.Full = false;
    TPXRenderOptions ro;
    ro.UseAlpha = true;
    ro.FreeTables = false;
    destTables.XSteps.clear();
    destTables.YSteps.clear();
    const int32_t aw = area.Right - area.Left + 1, ah = area.Bottom - area.Top + 1;
    if (factor == 1) {
      RenderToBitmap(*work_, dest, TPXRenderRect{area.Left, area.Top, aw, ah, area.Left, area.Top, aw, ah}, ro,
                     &destTables);
    } else {
      // Down to the target by averaging each 2 x 2 block, colours weighted
      // by their alpha, then laid over the target with the block's alpha.
      const int32_t l = area.Left / 2, t = area.Top / 2;
      const int32_t r = std::min(area.Right / 2, target.Width() - 1),
                    b = std::min(area.Bottom / 2, target.Height() - 1);
      for (int32_t y = t; y <= b; ++y) {
        const uint8_t* c0 = wb.ScanLine(2 * y);
        const uint8_t* c1 = wb.ScanLine(2 * y + 1);
        const uint8_t* a0 = walpha.Scanline(2 * y);
        const uint8_t* a1 = walpha.Scanline(2 * y + 1);
        uint8_t* out = target.ScanLine(y);
        if (!c0 || !c1 || !a0 || !a1 || !out) continue;
        for (int32_t x = l; x <= r; ++x) {
          const int32_t i = 2 * x;
          const uint32_t w0 = a0[i], w1 = a0[i + 1], w2 = a1[i], w3 = a1[i + 1];
          const uint32_t sum = w0 + w1 + w2 + w3;
          if (sum == 0) continue;
          uint8_t* px = out + 3 * static_cast<size_t>(x);
          for (int ch = 0; ch < 3; ++ch) {
            const uint32_t premul = c0[3 * i + ch] * w0 + c0[3 * i + 3 + ch] * w1 + c1[3 * i + ch] * w2 +
                                    c1[3 * i + 3 + ch] * w3;  // colour x alpha, four times over
            px[ch] = static_cast<uint8_t>((premul + px[ch] * (1020 - sum) + 510) / 1020);
          }
        }
      }
    }
  }
}

TRect TPixoranVect::ObjectExtent(TPXVObject& o, TCanvas& c, bool screen, int32_t factor) {
  double d = screen ? Zoom() / 100.0 : 1.0;
  if (factor > 1) d *= factor;
  TRect e = EmptyBounds();
  const int32_t w = ObjPenWidth(o, d);
  if (o.Kind == pxokAngle) {
    TPoint pts[3];
    int n = 0;
    while (n < 3 && o.AnglePoints[n].X != kPXVUnset) {
      pts[n] =
          TPoint{ObjToTargetX(o.AnglePoints[n].X, screen, factor), ObjToTargetY(o.AnglePoints[n].Y, screen, factor)};
      Extend(e, pts[n].X, pts[n].Y);
      ++n;
    }
    if (n == 3) {
      // The arc about the vertex reaches as far as the shorter arm.
      const double r = std::min(std::hypot(pts[0].X - pts[1].X, pts[0].Y - pts[1].Y),
                                std::hypot(pts[2].X - pts[1].X, pts[2].Y - pts[1].Y));
      Extend(e, pts[1].X - static_cast<int64_t>(r) - 1, pts[1].Y - static_cast<int64_t>(r) - 1);
      Extend(e, pts[1].X + static_cast<int64_t>(r) + 1, pts[1].Y + static_cast<int64_t>(r) + 1);
    }
  } else {
    Extend(e, ObjToTargetX(o.X1, screen, factor), ObjToTargetY(o.Y1, screen, factor));
    Extend(e, ObjToTargetX(o.X2 + 1, screen, factor), ObjToTargetY(o.Y2 + 1, screen, factor));
    Extend(e, ObjToTargetX(o.X2, screen, factor), ObjToTargetY(o.Y2, screen, factor));
    Extend(e, ObjToTargetX(o.X1 + (o.X1 > o.X2 ? 1 : 0), screen, factor),
           ObjToTargetY(o.Y1 + (o.Y1 > o.Y2 ? 1 : 0), screen, factor));
  }
  if (NoArea(e)) return e;
  int64_t g = 2 + 2 * static_cast<int64_t>(w);
  const TFont saved = c.Font;
  auto textMargin = [&](const std::string& text) {
    const int32_t th = c.TextHeight("Ag"), tw = c.TextWidth(text);
    return 2 * static_cast<int64_t>(th) + tw + 40;
  };
  switch (o.Kind) {
    case pxokLine:
    case pxokLineLabel:
      g += TruncToInt32(d * std::max(std::abs(o.ShapeWidth), std::abs(o.ShapeLength)));
      if (o.Kind == pxokLineLabel && !o.Text.empty() && SetObjFontOn(o, c, d, 0)) g += textMargin(o.Text);
      break;
    case pxokText:
      if (!o.Path.empty() && SetObjFontOn(o, c, d, std::max(0, TruncToInt32(d * (o.Y2 - o.Y1)))))
        g += 3 * static_cast<int64_t>(c.TextHeight("Ag")) + c.TextWidth("WW");
      break;
    case pxokRuler: {
      TPXLogFont lf = o.Font ? *o.Font : TPXLogFont{};
      SetPointFont(c, LogFontFaceName(lf), std::max(3, TruncToInt32(std::abs(static_cast<double>(lf.Height)) * d)),
                   o.PenColor);
      // The longest text it may write: the length, or the largest number.
      double ux, uy;
      ComputeUnitPerPixel(ux, uy, o.RulerUnit);
      const double len = std::hypot((std::abs(static_cast<double>(o.X2) - o.X1) + 1) * ux,
                                    (std::abs(static_cast<double>(o.Y2) - o.Y1) + 1) * uy);
      const std::string text = o.RulerStyle == 0
                                   ? std::to_string(static_cast<int64_t>(std::min(len * 10, 1e15)))
                                   : " " + FormatMeasure(len) + " " + MeasureUnitAbbreviation(o.RulerUnit);
      g += TruncToInt32(12 * d) + textMargin(text) + 20;
      break;
    }
    case pxokAngle:
      SetPointFont(c, "Arial", std::max(3, TruncToInt32(10 * d)), o.PenColor);
      g += textMargin(FormatMeasure(ObjAngleDegrees(o)) + "°");
      break;
    default: break;
  }
  c.Font = saved;
  return Grow(e, static_cast<int32_t>(std::min<int64_t>(g, kNoBound / 4)));
}

// ------------------------------------------------------------ one object

void TPixoranVect::PolylineTargetPoints(const TPXVObject& o, bool screen, int32_t factor, std::vector<TPoint>& pts) {
  const TRect& pb = o.PointBounds;
  double sx, sy;
  PolylineScale(o, sx, sy);
  pts.resize(o.Points.size());
  for (size_t i = 0; i < o.Points.size(); ++i) {
    const TPXPoint& p = o.Points[i];
    pts[i].X = ObjToTargetX(o.X1 + RoundToInt32((p.X - pb.Left) * sx), screen, factor);
    pts[i].Y = ObjToTargetY(o.Y1 + RoundToInt32((p.Y - pb.Top) * sy), screen, factor);
  }
}

const std::vector<TPXPoint>& TPixoranVect::ShownPolylinePoints(TPXVObject& o) {
  // Worked out now, as a paint would place them: the view may have scrolled
  // or zoomed, or the object been hidden, since the last paint.
  o.DrawnPoints.clear();
  const TRect& pb = o.PointBounds;
  if (o.Kind != pxokPolyline || !(o.Flags & kPXVVisible) || objectsHidden_ || o.Points.empty() ||
      (pb.Left == pb.Right && pb.Top == pb.Bottom))
    return o.DrawnPoints;
  int32_t X1, Y1, X2, Y2;
  TargetCorners(o, true, 1, Zoom() / 100.0, X1, Y1, X2, Y2);
  if (!SegmentBoxOverlapsRect(Rect(X1, Y1, X2, Y2), Rect(0, 0, ClientWidth() - 1, ClientHeight() - 1)))
    return o.DrawnPoints;
  std::vector<TPoint> pts;
  PolylineTargetPoints(o, true, 1, pts);
  o.DrawnPoints.resize(pts.size());
  for (size_t i = 0; i < pts.size(); ++i) o.DrawnPoints[i] = TPXPoint{pts[i].X, pts[i].Y};
  return o.DrawnPoints;
}

bool TPixoranVect::DrawObject(TPXVObject& o, TBitmap& target, int32_t pass, int32_t factor, TPXBitmap* work,
                              bool screen, bool clip) {
  double d = screen ? Zoom() / 100.0 : 1.0;
  if (factor > 1) d *= factor;
  if (o.Highlight) o.PenWidth = 1;
  int32_t X1, Y1, X2, Y2;
  TargetCorners(o, screen, factor, d, X1, Y1, X2, Y2);
  const int32_t w = ObjPenWidth(o, d);
  TCanvas& c = target.Canvas();
  c.Pen = TPen{o.PenColor, w, pmCopy, o.PenStyle};
  c.BackColor = clNone;
  c.TextAlign = taLeft | taTop;
  TRect bounds = EmptyBounds();
  o.DrawnBounds = bounds;
  o.DrawnPenWidth = w;
  // Not drawn: no points to edit either.
  o.DrawnPoints.clear();
  if (!(o.Flags & kPXVVisible)) return false;
  if (clip) {
    const TRect vis{0, 0, ClientWidth() * factor - 1, ClientHeight() * factor - 1};
    TRect box = Rect(X1, Y1, X2, Y2);
    if (o.Kind == pxokAngle) {
      box = EmptyBounds();
      for (const TPXPoint& p : o.AnglePoints)
        if (p.X != kPXVUnset) Extend(box, ObjToTargetX(p.X, screen, factor), ObjToTargetY(p.Y, screen, factor));
      if (NoArea(box)) return false;
    }
    if (!SegmentBoxOverlapsRect(box, vis)) return false;
  }
  const TBrush brush{o.BrushColor, o.BrushStyle};
  switch (o.Kind) {
    case pxokLine:
    case pxokLineLabel: {
      c.Brush = brush;
      const TPoint pts[2] = {{X1, Y1}, {X2, Y2}};
      c.Polygon(pts, 2);
      Extend(bounds, X1, Y1);
      Extend(bounds, X2, Y2);
      const int32_t sw = TruncToInt32(d * o.ShapeWidth), sl = TruncToInt32(d * o.ShapeLength);
      DrawLineShape(c, o.BeginShape, X1, Y1, X2, Y2, sw, sl, bounds);
      DrawLineShape(c, o.EndShape, X2, Y2, X1, Y1, sw, sl, bounds);
      if (o.Kind == pxokLineLabel) DrawLabel(o, c, d, X1, Y1, X2, Y2, bounds);
      break;
    }
    case pxokBox:
      c.Brush = brush;
      if (!o.Highlight) {
        c.Rectangle(Rect(X1, Y1, X2 + 1, Y2 + 1));
      } else {
        const TRect cl = c.ClipRect();
        const int32_t l = std::max({X1, 0, cl.Left}), r = std::min({X2, target.Width() - 1, cl.Right - 1});
        const int32_t t = std::max({Y1, 0, cl.Top}), b = std::min({Y2, target.Height() - 1, cl.Bottom - 1});
        const TColor bc = ColorToRGB(o.BrushColor);
        const uint8_t cr = bc & 0xFF, cg = (bc >> 8) & 0xFF, cb = (bc >> 16) & 0xFF;
        const bool eight = target.PixelFormat() == pf8bit;
        const bool bgr = target.PixelFormat() == pf24bit;
        for (int32_t y = t; y <= b && (eight || bgr); ++y) {
          uint8_t* row = target.ScanLine(y);
          for (int32_t x = l; x <= r; ++x) {
            if (eight) {
              row[x] = cr;
            } else {
              uint8_t* p = row + 3 * static_cast<size_t>(x);
              p[0] &= cb, p[1] &= cg, p[2] &= cr;
            }
          }
        }
      }
      Extend(bounds, X1, Y1);
      Extend(bounds, X2, Y2);
      break;
    case pxokEllipse:
      c.Brush = brush;
      c.Ellipse(Rect(X1, Y1, X2 + 1, Y2 + 1));
      Extend(bounds, X1, Y1);
      Extend(bounds, X2, Y2);
      break;
    case pxokArc: {
      c.Brush = brush;
      const double hw = (X2 - X1) / 2.0, hh = (Y2 - Y1) / 2.0;
      const int32_t xs = X1 + TruncToInt32(hw + std::cos(o.ArcStart) * hw);
      const int32_t ys = Y1 + TruncToInt32(hh + std::sin(o.ArcStart) * hh);
      const int32_t xe = X1 + TruncToInt32(hw + std::cos(o.ArcEnd) * hw);
      const int32_t ye = Y1 + TruncToInt32(hh + std::sin(o.ArcEnd) * hh);
      c.Arc(Rect(X1, Y1, X2 + 1, Y2 + 1), xs, ys, xe, ye);
      Extend(bounds, X1, Y1);
      Extend(bounds, X2, Y2);
      break;
    }
    case pxokBitmap:
      c.Brush = brush;
      DrawBitmapObject(o, target, work, X1, Y1, X2, Y2, bounds);
      break;
    case pxokText:
      c.Brush = brush;
      DrawTextObject(o, target, d, X1, Y1, X2, Y2, bounds);
      break;
    case pxokMemo:
      c.Brush = brush;
      DrawMemo(o, target, X1, Y1, X2, Y2, d, pass == 1);
      Extend(bounds, X1, Y1);
      Extend(bounds, X2, Y2);
      break;
    case pxokRuler:
      c.Brush = brush;
      DrawRuler(o, c, d, X1, Y1, X2, Y2, bounds);
      break;
    case pxokPolyline: {
      c.Brush = brush;
      const TRect& pb = o.PointBounds;
      if (o.Points.empty() || (pb.Left == pb.Right && pb.Top == pb.Bottom)) break;
      std::vector<TPoint> pts;
      PolylineTargetPoints(o, screen, factor, pts);
      o.DrawnPoints.resize(o.Points.size());
      for (size_t i = 0; i < pts.size(); ++i) {
        Extend(bounds, pts[i].X, pts[i].Y);
        o.DrawnPoints[i] = TPXPoint{pts[i].X / factor, pts[i].Y / factor};
      }
      if (o.Closed) c.Polygon(pts.data(), static_cast<int>(pts.size()));
      else c.Polyline(pts.data(), static_cast<int>(pts.size()));
      break;
    }
    case pxokAngle: DrawAngle(o, c, d, screen, factor, bounds); break;
    default:
      // Unknown kinds draw nothing and are not counted.
      return false;
  }
  o.DrawnBounds = bounds;
  ++drawnCount_;
  return true;
}

// ------------------------------------------------------------ parts

void TPixoranVect::DrawLineShape(TCanvas& c, uint8_t shape, int32_t x, int32_t y, int32_t ox, int32_t oy, int32_t width,
                                 int32_t length, TRect& bounds) {
  if (shape != 1 && shape != 2) return;
  if (x == ox && y == oy) return;  // no direction to lay the shape along
  // Along the line towards the other end, and across it.
  const double phi = std::atan2(static_cast<double>(oy) - y, static_cast<double>(ox) - x);
  const double ux = std::cos(phi), uy = std::sin(phi), nx = -uy, ny = ux;
  const double half = width / 2.0;
  double bx = x, by = y, ax = x + ux * length, ay = y + uy * length;
  if (shape == 2) {
    bx = ax, by = ay;
    ax = x, ay = y;
  }
  const TPoint tri[3] = {{TruncToInt32(bx + nx * half), TruncToInt32(by + ny * half)},
                         {TruncToInt32(bx - nx * half), TruncToInt32(by - ny * half)},
                         {TruncToInt32(ax), TruncToInt32(ay)}};
  c.Polygon(tri, 3);
  for (const TPoint& p : tri) Extend(bounds, p.X, p.Y);
}

namespace {

// The label and box-text placement shared by labelled lines and texts:
// the text's offset inside its box by alignment and escapement.
void TextOffsets(int32_t boxW, int32_t boxH, int32_t tw, int32_t th, int32_t escapement, uint8_t align, int32_t& x,
                 int32_t& y) {
  const double q = escapement / 10.0 * kPi / 180.0;
  y = TruncToInt32(boxH - std::cos(q) * th + std::sin(q) * tw) / 2;
  switch (align) {
    case 0: x = std::abs(TruncToInt32(std::sin(q) * th)); break;
    case 1: x = TruncToInt32(boxW - std::cos(q) * tw); break;
    default: x = TruncToInt32(boxW - std::cos(q) * tw - std::sin(q) * th) / 2; break;
  }
}

}  // namespace

void TPixoranVect::DrawLabel(TPXVObject& o, TCanvas& c, double d, int32_t X1, int32_t Y1, int32_t X2, int32_t Y2,
                             TRect& bounds) {
  if (o.Text.empty()) return;
  if (!SetObjFontOn(o, c, d, 0)) return;
  const int32_t ax = o.LabelPosition == 1 ? X2 : X1, ay = o.LabelPosition == 1 ? Y2 : Y1;
  const int32_t ox = o.LabelPosition == 1 ? X1 : X2, oy = o.LabelPosition == 1 ? Y1 : Y2;
  const int32_t tw = c.TextWidth(o.Text), th = c.TextHeight(o.Text);
  const int32_t left = ax < ox ? ax - tw : ax, top = ay < oy ? ay - th : ay;
  int32_t x, y;
  TextOffsets(tw, th, tw, th, c.Font.Escapement, o.Alignment, x, y);
  c.Brush = TBrush{o.LabelBrushColor, o.LabelBrushStyle};
  c.Rectangle(Rect(left, top, left + tw + 1, top + th + 1));
  c.Brush.Style = bsClear;
  c.TextRect(Rect(left, top, left + tw + 1, top + th + 1), left + x, top + y, o.Text);
  Extend(bounds, left, top);
  Extend(bounds, left + tw, top + th);
}

void TPixoranVect::DrawTextObject(TPXVObject& o, TBitmap& target, double d, int32_t X1, int32_t Y1, int32_t X2,
                                  int32_t Y2, TRect& bounds) {
  TCanvas& c = target.Canvas();
  if (o.Text.empty()) return;
  const TPXVObject* edited = edited_ >= 0 ? GetObject(edited_) : nullptr;
  if (edited == &o) {
    // The editor covers it: only its frame.
    c.Brush.Style = bsClear;
    c.Rectangle(Rect(X1 - 1, Y1 - 1, X2 + 1, Y2 + 1));
    Extend(bounds, X1 - 1, Y1 - 1);
    Extend(bounds, X2 + 1, Y2 + 1);
    return;
  }
  if (!SetObjFontOn(o, c, d, Y2 - Y1)) return;
  if (o.Path.empty()) {
    const int32_t tw = c.TextWidth(o.Text), th = c.TextHeight(o.Text);
    int32_t x, y;
    TextOffsets(X2 - X1, Y2 - Y1, tw, th, c.Font.Escapement, o.Alignment, x, y);
    c.Rectangle(Rect(X1, Y1, X2 + 1, Y2 + 1));
    c.Brush.Style = bsClear;
    c.TextRect(Rect(X1, Y1, X2 + 1, Y2 + 1), X1 + x, Y1 + y, o.Text);
    Extend(bounds, X1, Y1);
    Extend(bounds, X2, Y2);
    return;
  }
  // Along the path: characters evenly spaced by the path's length.
  c.TextAlign = taBaseline | taCenter;
  c.Brush.Style = bsClear;
  const std::vector<std::string> chars = Utf8Chars(o.Text);
  const double W = std::abs(static_cast<double>(X2) - X1), H = std::abs(static_cast<double>(Y2) - Y1);
  double length = 0;
  for (size_t i = 1; i < o.Path.size(); ++i)
    length += std::hypot((o.Path[i].X - o.Path[i - 1].X) * W, (o.Path[i].Y - o.Path[i - 1].Y) * H);
  if (!std::isfinite(length) || chars.empty()) return;
  const double s = std::trunc(length / static_cast<double>(chars.size()));
  const int32_t cell = c.TextHeight("Ag");
  size_t next = 0;
  double px = o.Path[0].X * W, py = o.Path[0].Y * H, running = 0;
  for (size_t i = 1; i < o.Path.size() && next < chars.size(); ++i) {
    const double ax = o.Path[i - 1].X * W, ay = o.Path[i - 1].Y * H;
    const double bx = o.Path[i].X * W, by = o.Path[i].Y * H;
    const double seg = std::hypot(bx - ax, by - ay);
    // A segment of no length gives no direction and no room.
    if (!(seg > 0) || !std::isfinite(seg)) continue;
    running += seg;
    while (running >= s && next < chars.size()) {
      const double f = running > 0 ? s / running : 0.0;
      px += (bx - px) * f;
      py += (by - py) * f;
      running -= s;
      int32_t esc = o.CharAngle;
      if (esc == -10) esc = RoundToInt32(std::atan2(-(by - ay), bx - ax) * 1800.0 / kPi);
      c.Font.Escapement = esc;
      const int32_t cx = X1 + TruncToInt32(px), cy = Y1 + TruncToInt32(py);
      c.TextOut(cx, cy, chars[next++]);
      Extend(bounds, static_cast<int64_t>(cx) - cell, static_cast<int64_t>(cy) - cell);
      Extend(bounds, static_cast<int64_t>(cx) + cell, static_cast<int64_t>(cy) + cell);
      if (s <= 0) {
        // Every remaining character stands at this same point.
        while (next < chars.size()) c.TextOut(cx, cy, chars[next++]);
      }
    }
  }
  c.TextAlign = taLeft | taTop;
}

void TPixoranVect::DrawMemo(TPXVObject& o, TBitmap& target, int32_t x1, int32_t y1, int32_t, int32_t, double d,
                            bool alphaPass) {
  // Laid out and drawn by the memo editor's layout.
  // The memo keeps the canvas colours in the alpha pass: they must be the
  // pass's grey, or the text gets no coverage and the burn shows nothing.
  if (alphaPass) {
    target.Canvas().Font.Color = o.PenColor;
    target.Canvas().Brush.Color = o.BrushColor;
  }
  DrawMemoObject(o, target, x1, y1, d, alphaPass);
}

void TPixoranVect::DrawBitmapObject(TPXVObject& o, TBitmap& target, TPXBitmap* work, int32_t X1, int32_t Y1, int32_t X2,
                                    int32_t Y2, TRect& bounds) {
  TCanvas& c = target.Canvas();
  TPXBitmap* b = GetObjBitmap(o.BitmapIdx);
  Extend(bounds, X1, Y1);
  Extend(bounds, X2, Y2);
  if (!b || b->Width() <= 0 || b->Height() <= 0) {
    c.MoveTo(X1, Y1);
    c.LineTo(X2, Y2);
    c.MoveTo(X2, Y1);
    c.LineTo(X1, Y2);
    c.Rectangle(Rect(X1, Y1, X2 + 1, Y2 + 1));
    return;
  }
  if (X1 > X2) std::swap(X1, X2);
  if (Y1 > Y2) std::swap(Y1, Y2);
  const int64_t bw = static_cast<int64_t>(X2) - X1 + 1, bh = static_cast<int64_t>(Y2) - Y1 + 1;
  if (bw > 1 << 20 || bh > 1 << 20) return;
  const TResampleFilter filter = interacting_ ? rfNone : bitmapFilter_;
  const uint8_t opacity = static_cast<uint8_t>(std::clamp(o.Opacity, 0, 255));
  if (work) {
    // Cut to the work bitmap first: the stretch copies only what lands inside.
    RenderToBitmapFiltered(*b, *work, X1, Y1, opacity, filter, 0, 0, b->Width(), b->Height(), static_cast<int32_t>(bw),
                           static_cast<int32_t>(bh));
    return;
  }
  TPXRenderOptions ro;
  ro.Opacity = opacity;
  ro.UseAlpha = b->HasAlphaChannel();
  ro.Filter = filter;
  const TRect clip = c.ClipRect();
  ro.Clip = &clip;
  const TPXRenderRect rr{0, 0, b->Width(), b->Height(), X1, Y1, static_cast<int32_t>(bw), static_cast<int32_t>(bh)};
  if (passTargetT_ == &target && target.PixelFormat() == pf24bit) {
    // The target's row table is kept for the pass; the steps are this object's.
    ro.FreeTables = false;
    passTables_.XSteps.clear();
    passTables_.YSteps.clear();
    RenderToBitmap(*b, *passTarget_, rr, ro, &passTables_);
  } else {
    RenderToTBitmap(*b, target, rr, ro);
  }
}

void TPixoranVect::DrawRuler(TPXVObject& o, TCanvas& c, double d, int32_t X1, int32_t Y1, int32_t X2, int32_t Y2,
                             TRect& bounds) {
  if (X1 == X2 && Y1 == Y2) return;
  c.Pen = TPen{o.PenColor, std::max(o.PenWidth, 1), pmCopy, psSolid};
  const TPXLogFont lf = o.Font ? *o.Font : TPXLogFont{};
  SetPointFont(c, LogFontFaceName(lf), std::max(3, TruncToInt32(std::abs(static_cast<double>(lf.Height)) * d)),
               o.PenColor);
  c.Brush.Style = bsClear;
  c.MoveTo(X1, Y1);
  c.LineTo(X2, Y2);
  Extend(bounds, X1, Y1);
  Extend(bounds, X2, Y2);
  const double dx = static_cast<double>(X2) - X1, dy = static_cast<double>(Y2) - Y1;
  const double L = std::hypot(dx, dy);
  const double ux = dx / L, uy = dy / L, nx = -uy, ny = ux;
  double unitX, unitY;
  ComputeUnitPerPixel(unitX, unitY, o.RulerUnit);
  if (o.RulerStyle == 0) {
    const int32_t t1 = TruncToInt32(6 * d), t2 = TruncToInt32(8 * d), t3 = TruncToInt32(12 * d);
    // Ticks per target pixel: tenths of the unit, except in pixels, where a
    // tick is one pixel and every tenth is numbered in tens.
    const double per = o.RulerUnit == pxuPIXELS ? 1.0 : 10.0;
    const double tx = unitX * per / d, ty = unitY * per / d;
    if (!(tx > 0) || !(ty > 0) || !std::isfinite(tx) || !std::isfinite(ty)) return;
    // One tick's step along the line, in target pixels.
    const double sx = ux / tx, sy = uy / ty;
    const double spacing = std::hypot(sx, sy);
    if (!(spacing > 0) || !std::isfinite(spacing)) return;
    // Ticks closer than 2 pixels are left out: the step grows through 5, 10,
    // 50, 100 ... ticks until they stand apart.
    int64_t every = 1;
    for (bool five = true; every * spacing < 2.0 && every < (int64_t{1} << 40); five = !five) every *= five ? 5 : 2;
    // Only the ticks on the target can show: the walk starts and ends there.
    const TRect cl = c.ClipRect();
    const int32_t th = c.TextHeight("0");
    const double margin = t3 + 4.0 * th + 100;
    double lo = 0, hi = L;
    for (int axis = 0; axis < 2; ++axis) {
      const double p0 = axis == 0 ? X1 : Y1, u = axis == 0 ? ux : uy;
      const double mn = (axis == 0 ? cl.Left : cl.Top) - margin, mx = (axis == 0 ? cl.Right : cl.Bottom) + margin;
      if (u == 0) {
        if (p0 < mn || p0 > mx) return;
        continue;
      }
      double a = (mn - p0) / u, b = (mx - p0) / u;
      if (a > b) std::swap(a, b);
      lo = std::max(lo, a);
      hi = std::min(hi, b);
    }
    if (lo > hi) return;
    const int64_t kFirst = static_cast<int64_t>(std::ceil(lo / spacing / every)) * every;
    const TRect box = Rect(std::min(X1, X2), std::min(Y1, Y2), std::max(X1, X2), std::max(Y1, Y2));
    for (int64_t k = std::max<int64_t>(kFirst, 0); k * spacing < hi && k * spacing < L; k += every) {
      const double bx = X1 + k * sx, by = Y1 + k * sy;
      const int32_t ix = TruncToInt32(bx), iy = TruncToInt32(by);
      if (!PointInRect(ix, iy, box)) continue;
      const int32_t half = k % 10 == 0 ? t3 : k % 5 == 0 ? t2 : t1;
      c.MoveTo(TruncToInt32(bx - nx * half), TruncToInt32(by - ny * half));
      c.LineTo(TruncToInt32(bx + nx * half), TruncToInt32(by + ny * half));
      Extend(bounds, TruncToInt32(bx - nx * half), TruncToInt32(by - ny * half));
      Extend(bounds, TruncToInt32(bx + nx * half), TruncToInt32(by + ny * half));
      if (k % 10 == 0 && k > 0) {
        const std::string num = std::to_string(k / 10);
        const int32_t tw = c.TextWidth(num);
        // Beside the tick on the line's left (above a line drawn rightwards).
        const int32_t x = TruncToInt32(bx - nx * 2 * th - ux * tw / 2.0);
        const int32_t y = TruncToInt32(by - ny * 2 * th - uy * tw / 2.0) + 20;
        c.TextOut(x, y, num);
        Extend(bounds, x, y);
        Extend(bounds, x + tw, y + th);
      }
    }
    return;
  }
  const int32_t bar = TruncToInt32(9 * d);
  for (const auto& e : {std::pair<int32_t, int32_t>{X1, Y1}, std::pair<int32_t, int32_t>{X2, Y2}}) {
    c.MoveTo(TruncToInt32(e.first - nx * bar), TruncToInt32(e.second - ny * bar));
    c.LineTo(TruncToInt32(e.first + nx * bar), TruncToInt32(e.second + ny * bar));
    Extend(bounds, TruncToInt32(e.first - nx * bar), TruncToInt32(e.second - ny * bar));
    Extend(bounds, TruncToInt32(e.first + nx * bar), TruncToInt32(e.second + ny * bar));
  }
  const double m = std::hypot((std::abs(dx) + 1) * unitX / d, (std::abs(dy) + 1) * unitY / d);
  std::string text = FormatMeasure(m) + " " + MeasureUnitAbbreviation(o.RulerUnit);
  c.Font.Escapement = -RoundToInt32(std::atan2(dy, dx) * 1800.0 / kPi);
  int32_t px = X1, py = Y1;
  c.TextAlign = taLeft | taBottom;
  if (o.RulerStyle == 1) {
    text = " " + text;
  } else if (o.RulerStyle == 3) {
    text += " ";
    px = X2, py = Y2;
    c.TextAlign = taRight | taBottom;
  } else {
    px = X1 + TruncToInt32(dx / 2), py = Y1 + TruncToInt32(dy / 2);
    c.TextAlign = taCenter | taBottom;
  }
  c.TextOut(px, py, text);
  const int32_t tw = c.TextWidth(text), th = c.TextHeight(text);
  // The turned text's corners, with room around them.
  const double ex = std::max(tw, th) + 15.0;
  Extend(bounds, TruncToInt32(px - ex), TruncToInt32(py - ex));
  Extend(bounds, TruncToInt32(px + ex), TruncToInt32(py + ex));
  c.TextAlign = taLeft | taTop;
}

void TPixoranVect::DrawAngle(TPXVObject& o, TCanvas& c, double d, bool screen, int32_t factor, TRect& bounds) {
  c.Pen = TPen{o.PenColor, std::max(o.PenWidth, 1), pmCopy, psSolid};
  SetPointFont(c, "Arial", std::max(3, TruncToInt32(10 * d)), o.PenColor);
  c.Brush.Style = bsClear;
  TPoint pts[3];
  int n = 0;
  while (n < 3 && o.AnglePoints[n].X != kPXVUnset) {
    pts[n] = TPoint{ObjToTargetX(o.AnglePoints[n].X, screen, factor), ObjToTargetY(o.AnglePoints[n].Y, screen, factor)};
    Extend(bounds, pts[n].X, pts[n].Y);
    ++n;
  }
  if (n >= 2) c.Polyline(pts, n);
  if (n < 3) return;
  const std::string text = FormatMeasure(ObjAngleDegrees(o)) + "°";
  c.TextOut(pts[1].X, pts[1].Y, text);
  Extend(bounds, pts[1].X + c.TextWidth(text), pts[1].Y + c.TextHeight(text));
  const double r1 = std::hypot(pts[0].X - pts[1].X, pts[0].Y - pts[1].Y);
  const double r2 = std::hypot(pts[2].X - pts[1].X, pts[2].Y - pts[1].Y);
  const int32_t r = TruncToInt32(std::min(r1, r2));
  if (r <= 0) return;
  Extend(bounds, static_cast<int64_t>(pts[1].X) - r, static_cast<int64_t>(pts[1].Y) - r);
  Extend(bounds, static_cast<int64_t>(pts[1].X) + r, static_cast<int64_t>(pts[1].Y) + r);
  c.Arc(Rect(pts[1].X - r, pts[1].Y - r, pts[1].X + r + 1, pts[1].Y + r + 1), pts[0].X, pts[0].Y, pts[2].X, pts[2].Y);
}

// ------------------------------------------------------------ burning in

void TPixoranVect::DrawObjectsToPXBitmap(TPXBitmap& bitmap, bool antialias) {
  const bool saved = alphaDrawing_;
  if (antialias) alphaDrawing_ = true;
  bitmap.SetLocation(pxTBitmap);
  if (bitmap.PixelFormat() != pxBGR24) bitmap.ConvertPixelFormat(pxBGR24);
  if (TBitmap* t = bitmap.VclBitmap()) DrawObjectsToBitmap(bitmap, pxdmImage, antialias, *t);
  alphaDrawing_ = saved;
  Update();
  ImageChange();
}

void TPixoranVect::CopyObjectsToBack(bool antialias) {
  if (TPXBitmap* b = GetPXBitmap()) DrawObjectsToPXBitmap(*b, antialias);
}

}  // namespace pixoran
