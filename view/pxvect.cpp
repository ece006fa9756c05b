// The vector layer's object model: the object array and drawing order, the
// selection list, the shared-bitmap table, the template, hit testing,
// copies between viewers and the change notifications.
#include "view/pxvect.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/pxdib.h"

namespace pixoran {

namespace {
constexpr double kTwoPi = 6.283185307179586;
}

const char* MeasureUnitAbbreviation(TPXUnits unit) {
  static const char* const kNames[] = {"pixels", "inches", "km", "mt", "cm", "mm", "microns", "nanometers"};
  return unit < 8 ? kNames[unit] : "";
}

int32_t Utf8Length(const std::string& utf8) {
  int32_t n = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::vector<std::string> Utf8Chars(const std::string& utf8) {
  std::vector<std::string> out;
  for (size_t i = 0; i < utf8.size();) {
    size_t j = i + 1;
    while (j < utf8.size() && (static_cast<unsigned char>(utf8[j]) & 0xC0) == 0x80 && j - i < 4) ++j;
    out.push_back(utf8.substr(i, j - i));
    i = j;
  }
  return out;
}

// ------------------------------------------------------------ life

TPixoranVect::TPixoranVect(TComponent* owner, TWinControl* parent) : TPixoranView(owner, parent) {
  template_.PenColor = Canvas().Font.Color;
  SetObjBitmapIcon(kPXVTemplate, 0, 64, 64);
  TFont f = Canvas().Font;
  f.Name = "Arial";
  SetObjFont(kPXVTemplate, f);
  ComputeUnitPerPixel(unitX_, unitY_, mUnit_);
}

TPixoranVect::~TPixoranVect() {
  destroying_ = true;
  EndTextEdit();
  RemoveAllObjects();
  FreeObjData(template_);
}

// ------------------------------------------------------------ objects

int32_t TPixoranVect::Resolve(int32_t handle) const {
  return handle == kPXVLast ? static_cast<int32_t>(objects_.size()) - 1 : handle;
}

TPXVObject* TPixoranVect::GetObject(int32_t handle) {
  if (handle == kPXVTemplate) return &template_;
  handle = Resolve(handle);
  if (handle < 0 || handle >= static_cast<int32_t>(objects_.size())) return nullptr;
  return &objects_[static_cast<size_t>(handle)];
}

int32_t TPixoranVect::AddObject(const TPXVObject& source) {
  // A copy first: the source may be an element of the array about to grow.
  TPXVObject o = source;
  const int32_t sourceBitmap = source.BitmapIdx;
  // Grow in steps, so adding one by one does not reallocate each time.
  if (order_.size() % 512 == 0) order_.reserve(order_.size() + 522);
  if (objects_.size() % 512 == 0) objects_.reserve(objects_.size() + 522);
  const int32_t handle = static_cast<int32_t>(objects_.size());
  o.BitmapIdx = -1;
  o.DrawnPoints.clear();
  switch (o.Kind) {
    case pxokText:
    case pxokLineLabel: break;  // text, font and path travel with the copy
    case pxokMemo:
      o.Path.clear();
      // The formats travel with the indexes; indexes beyond the text's
      // length are not the memo's.
      if (o.CharFormats.empty()) o.FormatList.reset();
      else o.CharFormats.resize(static_cast<size_t>(Utf8Length(o.Text)), 0);
      break;
    case pxokRuler:
      o.Text.clear();
      o.Path.clear();
      o.CharFormats.clear();
      o.FormatList.reset();
      break;
    default:
      o.Text.clear();
      o.Font.reset();
      o.Path.clear();
      o.CharFormats.clear();
      o.FormatList.reset();
      break;
  }
  if (o.Kind != pxokMemo) {
    o.CharFormats.clear();
    o.FormatList.reset();
  }
  if (o.Kind != pxokLine && o.Kind != pxokRuler && o.Kind != pxokPolyline && o.Kind != pxokLineLabel) {
    if (o.X1 > o.X2) std::swap(o.X1, o.X2);
    if (o.Y1 > o.Y2) std::swap(o.Y1, o.Y2);
  }
  if (o.Kind != pxokPolyline) {
    o.Points.clear();
    o.PointBounds = TRect{};
    o.Closed = false;
  }
  const bool bitmap = o.Kind == pxokBitmap;
  objects_.push_back(std::move(o));
  order_.push_back(handle);
  if (bitmap) SetObjBitmapIdx(handle, sourceBitmap);
  return handle;
}

void TPixoranVect::FreeObjData(TPXVObject& o) {
  ReleaseBitmapEntry(o.BitmapIdx);
  o.BitmapIdx = -1;
  o.Name.clear();
  o.Font.reset();
  o.Text.clear();
  o.CharFormats.clear();
  o.FormatList.reset();
  o.Path.clear();
  o.Points.clear();
  o.PointBounds = TRect{};
  o.Closed = false;
  o.DrawnPoints.clear();
}

void TPixoranVect::RemoveAllObjects() {
  for (int32_t h : order_)
    if (h >= 0 && h < static_cast<int32_t>(objects_.size())) FreeObjData(objects_[static_cast<size_t>(h)]);
  order_.clear();
  order_.shrink_to_fit();
}

void TPixoranVect::Clear() {
  CancelInteraction();
  if (objAutoUndo_) SaveObjUndo();
  RemoveAllObjects();
  selection_.clear();
  objects_.clear();
  objects_.shrink_to_fit();
  // The template's picture survives: taken out of the table before the table
  // goes, then given back through a new entry.
  std::unique_ptr<TPXBitmap> keep;
  const int32_t idx = template_.BitmapIdx;
  if (idx >= 0 && idx < static_cast<int32_t>(bitmaps_.size()))
    keep = std::move(bitmaps_[static_cast<size_t>(idx)].Bitmap);
  bitmaps_.clear();
  template_.BitmapIdx = -1;
  if (keep) SetObjBitmap(kPXVTemplate, keep.get());
  DoVectorialChanged();
  Update();
}

// ------------------------------------------------------------ selection

void TPixoranVect::SelectObjectRaw(int32_t handle) {
  handle = Resolve(handle);
  TPXVObject* o = GetObject(handle);
  if (o && handle >= 0 && (o->Flags & kPXVSelectable)) selection_.push_back(handle);
}

void TPixoranVect::SelectObject(int32_t handle) {
  SelectObjectRaw(handle);
  if (OnSelectObject) OnSelectObject(this);
}

bool TPixoranVect::IsSelObject(int32_t handle) {
  handle = Resolve(handle);
  return std::find(selection_.begin(), selection_.end(), handle) != selection_.end();
}

void TPixoranVect::UnselectObject(int32_t handle) {
  handle = Resolve(handle);
  auto it = std::find(selection_.begin(), selection_.end(), handle);
  if (it != selection_.end()) selection_.erase(it);
  if (OnSelectObject) OnSelectObject(this);
}

void TPixoranVect::ClearSelection() {
  selection_.clear();
  if (OnSelectObject) OnSelectObject(this);
}

void TPixoranVect::UnselectAllObjects() {
  ClearSelection();
  Update();
}

void TPixoranVect::SelectObjectsInRect(int32_t handle, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  auto consider = [&](int32_t h) {
    const TPXVObject* o = GetObject(h);
    if (!o) return;
    const int32_t l = std::min(o->X1, o->X2), r = std::max(o->X1, o->X2);
    const int32_t t = std::min(o->Y1, o->Y2), b = std::max(o->Y1, o->Y2);
    if (l >= x1 && r <= x2 && t >= y1 && b <= y2 && !IsSelObject(h)) SelectObjectRaw(h);
  };
  if (handle == kPXVAll) {
    for (int32_t h : order_) consider(h);
  } else {
    consider(Resolve(handle));
  }
}

// ------------------------------------------------------------ settings

void TPixoranVect::SetObjFont(int32_t handle, const TPXLogFont& font, TColor color) {
  TPXVObject* o = GetObject(handle);
  if (!o) return;
  o->Font = font;
  o->PenColor = color;
  if (handle != kPXVTemplate) Update();
}

void TPixoranVect::SetObjFont(int32_t handle, const TFont& font) {
  SetObjFont(handle, LogFontFromFont(font), font.Color);
}

void TPixoranVect::SetObjMemoBorderStyle(int32_t handle, TPenStyle style) {
  if (TPXVObject* o = GetObject(handle)) o->BorderStyle = style;
  if (handle != kPXVTemplate) Update();
}

void TPixoranVect::SetObjMemoPlainText(int32_t handle, bool value) {
  if (TPXVObject* o = GetObject(handle)) o->PlainText = value;
  if (handle != kPXVTemplate) Update();
}

int32_t TPixoranVect::GetObjFontStyle(int32_t handle) {
  const TPXVObject* o = GetObject(handle);
  if (!o || !o->Font) return 0;
  TLogFont lf;
  lf.Height = o->Font->Height;
  lf.Weight = o->Font->Weight;
  lf.Italic = o->Font->Italic != 0;
  lf.Underline = o->Font->Underline != 0;
  lf.StrikeOut = o->Font->StrikeOut != 0;
  lf.FaceName = LogFontFaceName(*o->Font);
  return LogFontToStyleFlags(&lf);
}

void TPixoranVect::AddPolylinePoint(int32_t handle, int32_t x, int32_t y) {
  TPXVObject* o = GetObject(handle);
  if (!o) return;
  if (!o->Points.empty() && o->Points.back().X == x && o->Points.back().Y == y) return;
  o->Points.push_back(TPXPoint{x, y});
  TRect r = Rect(o->X1, o->Y1, o->X2, o->Y2);
  ExtendRect(r, x, y);
  o->X1 = r.Left, o->Y1 = r.Top, o->X2 = r.Right, o->Y2 = r.Bottom;
  o->PointBounds = r;
}

void PolylineScale(const TPXVObject& o, double& sx, double& sy) {
  const TRect& pb = o.PointBounds;
  sx = pb.Right != pb.Left ? static_cast<double>(o.X2 - o.X1) / (pb.Right - pb.Left) : 1.0;
  sy = pb.Bottom != pb.Top ? static_cast<double>(o.Y2 - o.Y1) / (pb.Bottom - pb.Top) : 1.0;
}

void TPixoranVect::RefitPolyline(TPXVObject& o) {
  if (o.Points.empty()) return;
  const TRect& pb = o.PointBounds;
  double sx, sy;
  PolylineScale(o, sx, sy);
  TRect mapped{kPXVBig, kPXVBig, -kPXVBig, -kPXVBig}, own{kPXVBig, kPXVBig, -kPXVBig, -kPXVBig};
  for (const TPXPoint& p : o.Points) {
    ExtendRect(mapped, o.X1 + RoundToInt32((p.X - pb.Left) * sx), o.Y1 + RoundToInt32((p.Y - pb.Top) * sy));
    ExtendRect(own, p.X, p.Y);
  }
  o.X1 = mapped.Left, o.Y1 = mapped.Top, o.X2 = mapped.Right, o.Y2 = mapped.Bottom;
  o.PointBounds = own;
}

// ------------------------------------------------------------ shared bitmaps

int32_t TPixoranVect::AllocBitmapEntry() {
  for (size_t i = 0; i < bitmaps_.size(); ++i)
    if (!bitmaps_[i].Bitmap) return static_cast<int32_t>(i);
  bitmaps_.emplace_back();
  return static_cast<int32_t>(bitmaps_.size()) - 1;
}

void TPixoranVect::ReleaseBitmapEntry(int32_t index) {
  if (index < 0 || index >= static_cast<int32_t>(bitmaps_.size())) return;
  TBitmapEntry& e = bitmaps_[static_cast<size_t>(index)];
  if (e.RefCount <= 1) {
    e.Bitmap.reset();
    e.RefCount = 0;
  } else {
    --e.RefCount;
  }
}

int32_t TPixoranVect::NewBitmapEntry(TPXBitmap& bitmap) {
  auto copy = std::make_unique<TPXBitmap>();
  copy->Assign(&bitmap);
  const int32_t i = AllocBitmapEntry();
  bitmaps_[static_cast<size_t>(i)].Bitmap = std::move(copy);
  bitmaps_[static_cast<size_t>(i)].RefCount = 1;
  return i;
}

int32_t TPixoranVect::BitmapRefCount(int32_t index) const {
  if (index < 0 || index >= static_cast<int32_t>(bitmaps_.size())) return 0;
  return bitmaps_[static_cast<size_t>(index)].RefCount;
}

TPXBitmap* TPixoranVect::GetObjBitmap(int32_t index) {
  if (index < 0 || index >= static_cast<int32_t>(bitmaps_.size())) return nullptr;
  return bitmaps_[static_cast<size_t>(index)].Bitmap.get();
}

void TPixoranVect::SetObjBitmapIdx(int32_t handle, int32_t index) {
  TPXVObject* o = GetObject(handle);
  if (!o) return;
  const int32_t old = o->BitmapIdx;
  TPXBitmap* b = GetObjBitmap(index);
  if (!b) {
    ReleaseBitmapEntry(old);
    o->BitmapIdx = -1;
    return;
  }
  // The new reference is taken before the old one goes, so setting the
  // entry an object already holds never frees it.
  int32_t taken;
  if (shareBitmaps_) {
    taken = index;
    ++bitmaps_[static_cast<size_t>(index)].RefCount;
  } else {
    taken = NewBitmapEntry(*b);
  }
  o = GetObject(handle);
  o->BitmapIdx = taken;
  ReleaseBitmapEntry(old);
}

void TPixoranVect::SetObjBitmap(int32_t handle, TPXBitmap* bitmap) {
  TPXVObject* o = GetObject(handle);
  if (!o) return;
  const int32_t old = o->BitmapIdx;
  int32_t taken = -1;
  if (bitmap) {
    const int32_t found = shareBitmaps_ ? FindBitmapInTable(bitmap) : -1;
    if (found >= 0) {
      taken = found;
      ++bitmaps_[static_cast<size_t>(found)].RefCount;
    } else {
      taken = NewBitmapEntry(*bitmap);
    }
  }
  o->BitmapIdx = taken;
  ReleaseBitmapEntry(old);
}

void TPixoranVect::SetObjBitmapIcon(int32_t handle, int32_t icon, int32_t width, int32_t height) {
  // A stop sign: a red disc with a white bar, on black.
  TPXBitmap b;
  if (b.Allocate(std::max(width, 1), std::max(height, 1), pxBGR24)) {
    const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0, r = std::min(width, height) / 2.0 - 1;
    for (int32_t y = 0; y < height; ++y) {
      uint8_t* row = b.Scanline(y);
      for (int32_t x = 0; x < width; ++x) {
        const double dx = x - cx, dy = y - cy;
        if (dx * dx + dy * dy > r * r) continue;
        const bool bar = std::abs(dy) < r * 0.18 && std::abs(dx) < r * 0.6;
        row[3 * x] = bar ? 255 : 0;
        row[3 * x + 1] = bar ? 255 : 0;
        row[3 * x + 2] = 255;
      }
    }
  }
  SetObjBitmap(handle, &b);
  if (handle != kPXVTemplate) Update();
}

int32_t TPixoranVect::FindBitmapInTable(TPXBitmap* bitmap) {
  if (!bitmap) return -1;
  for (int32_t i = static_cast<int32_t>(bitmaps_.size()) - 1; i >= 0; --i) {
    TPXBitmap* b = bitmaps_[static_cast<size_t>(i)].Bitmap.get();
    if (b && (b == bitmap || BitmapsEqual(*b, *bitmap))) return i;
  }
  return -1;
}

void TPixoranVect::CompactBitmapTable() {
  std::vector<int32_t> map(bitmaps_.size(), -1);
  std::vector<TBitmapEntry> kept;
  for (size_t i = 0; i < bitmaps_.size(); ++i) {
    if (!bitmaps_[i].Bitmap) continue;
    map[i] = static_cast<int32_t>(kept.size());
    kept.push_back(std::move(bitmaps_[i]));
  }
  bitmaps_ = std::move(kept);
  auto remap = [&](TPXVObject& o) {
    if (o.BitmapIdx >= 0 && o.BitmapIdx < static_cast<int32_t>(map.size()))
      o.BitmapIdx = map[static_cast<size_t>(o.BitmapIdx)];
  };
  remap(template_);
  for (TPXVObject& o : objects_) remap(o);
}

// ------------------------------------------------------------ hit testing

int32_t TPixoranVect::FindObjectAt(int32_t x, int32_t y, bool selectableOnly, double& distance) {
  const double f = 100.0 / Zoom();
  const TRect visible =
      Rect(TruncToInt32(ViewX() * f), TruncToInt32(ViewY() * f), TruncToInt32((ViewX() + DisplayedWidth()) * f),
           TruncToInt32((ViewY() + DisplayedHeight()) * f));
  double best = 2147483647.0;
  int32_t found = kPXVAll;
  for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
    const TPXVObject* o = GetObject(*it);
    if (!o || (selectableOnly && !(o->Flags & kPXVSelectable))) continue;
    if (!SegmentBoxOverlapsRect(Rect(o->X1, o->Y1, o->X2, o->Y2), visible)) continue;
    const double d = ObjectDistance(*o, x, y);
    // Kinds without a distance are never found.
    if (d < 0) continue;
    if (d < best) {
      best = d;
      found = *it;
    }
  }
  distance = best;
  return found;
}

int32_t TPixoranVect::FindObjectAtClient(int32_t x, int32_t y, double& distance) {
  return FindObjectAt(ScreenToBitmapX(x), ScreenToBitmapY(y), false, distance);
}

double TPixoranVect::EllipseDistance(const TPXVObject& o, int32_t x, int32_t y, bool filled) {
  const int64_t a = static_cast<int64_t>(static_cast<uint32_t>(o.X2 - o.X1) / 2u);
  const int64_t b = static_cast<int64_t>(static_cast<uint32_t>(o.Y2 - o.Y1) / 2u);
  int64_t n = static_cast<int64_t>(static_cast<double>(std::min(a, b)) * kTwoPi);
  if (!filled) n >>= 3;
  // Bounded: a huge ellipse is walked in at most this many steps.
  n = std::clamp<int64_t>(n, 2, 1 << 16);
  const TPXPoint p{static_cast<int32_t>(x - (o.X1 + a)), static_cast<int32_t>(y - (o.Y1 + b))};
  double best = std::numeric_limits<double>::max();
  TPXPoint prev{static_cast<int32_t>(a), 0};
  const TPXPoint first = prev, centre{0, 0};
  for (int64_t k = 1; k < n; ++k) {
    const double t = kTwoPi * static_cast<double>(k) / static_cast<double>(n);
    const TPXPoint q{TruncToInt32(a * std::cos(t)), TruncToInt32(b * std::sin(t))};
    if (filled) best = std::min(best, std::trunc(PointSegmentDistance(p, centre, q)));
    else best = std::min(best, PointSegmentDistance(p, prev, q));
    prev = q;
  }
  // The outline closes back to where it began.
  if (!filled) best = std::min(best, PointSegmentDistance(p, prev, first));
  else best = std::min(best, std::trunc(PointSegmentDistance(p, centre, first)));
  return best;
}

double TPixoranVect::ObjectDistance(const TPXVObject& o, int32_t x, int32_t y) {
  const TPXPoint p{x, y};
  switch (o.Kind) {
    case pxokLine:
    case pxokRuler:
    case pxokLineLabel: return PointSegmentDistance(p, TPXPoint{o.X1, o.Y1}, TPXPoint{o.X2, o.Y2});
    case pxokEllipse: return EllipseDistance(o, x, y, o.BrushStyle != bsClear);
    case pxokArc: return EllipseDistance(o, x, y, false);
    case pxokPolyline: {
      if (o.Points.empty()) return 1e6;
      const TRect& pb = o.PointBounds;
      double sx, sy;
      PolylineScale(o, sx, sy);
      return PointPolylineDistance(p, o.Points.data(), static_cast<int32_t>(o.Points.size()), sx, sy, o.X1, o.Y1,
                                   pb.Left, pb.Top);
    }
    case pxokAngle: {
      TPXPoint pts[3];
      int32_t n = 0;
      while (n < 3 && o.AnglePoints[n].X != kPXVUnset) {
        pts[n] = o.AnglePoints[n];
        ++n;
      }
      return PointPolylineDistance(p, pts, n, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0);
    }
    case pxokBox:
    case pxokBitmap:
    case pxokText:
    case pxokMemo: {
      const TRect box = Rect(std::min(o.X1, o.X2), std::min(o.Y1, o.Y2), std::max(o.X1, o.X2), std::max(o.Y1, o.Y2));
      const bool solid = o.Kind != pxokBox || o.BrushStyle != bsClear;
      if (solid && PointInRect(x, y, box)) return 0.0;
      const TPXPoint tl{box.Left, box.Top}, tr{box.Right, box.Top}, bl{box.Left, box.Bottom}, br{box.Right, box.Bottom};
      return std::min({PointSegmentDistance(p, tl, tr), PointSegmentDistance(p, tr, br),
                       PointSegmentDistance(p, br, bl), PointSegmentDistance(p, bl, tl)});
    }
    default: return -1.0;
  }
}

// ------------------------------------------------------------ copies

void TPixoranVect::CopyObjectTo(TPixoranVect& dest, int32_t handle) {
  TPXVObject* o = GetObject(handle);
  if (!o || &dest == this) return;
  TPXVObject copy = *o;
  copy.BitmapIdx = -1;
  // The bitmap goes into the destination's own table: this viewer's index
  // means nothing there.
  TPXBitmap* b = o->Kind == pxokBitmap ? GetObjBitmap(o->BitmapIdx) : nullptr;
  const int32_t h = dest.AddObject(copy);
  if (b) {
    const int32_t idx = dest.NewBitmapEntry(*b);
    dest.GetObject(h)->BitmapIdx = idx;
  }
}

void TPixoranVect::CopyObjectsTo(TPixoranVect& dest) {
  if (&dest == this) return;
  for (int32_t h : order_) CopyObjectTo(dest, h);
  dest.Update();
}

void TPixoranVect::Assign(TPixoranVect* source) {
  CancelInteraction();
  Clear();
  if (!source || source == this) return;
  source->CopyObjectsTo(*this);
  SetMeasureScale(source->MeasureScale());
  DoVectorialChanged();
  Update();
}

// ------------------------------------------------------------ measuring

void TPixoranVect::ComputeUnitPerPixel(double& ux, double& uy, TPXUnits unit) {
  if (unit == pxuPIXELS || unit > pxuNANOMETERS) {
    ux = uy = 1.0;
  } else {
    static const double kPerInch[] = {1.0,  1.0,       2.54 / 100000, 2.54 / 100,
                                      2.54, 2.54 * 10, 2.54 * 10000,  2.54 * 10000000};
    ux = kPerInch[unit] / std::max(DpiX(), 1);
    uy = kPerInch[unit] / std::max(DpiY(), 1);
  }
  ux *= measureScale_;
  uy *= measureScale_;
}

void TPixoranVect::SetMeasureScale(double value) {
  measureScale_ = value;
  ComputeUnitPerPixel(unitX_, unitY_, mUnit_);
  RefreshMeasureHint();
  Update();
}

void TPixoranVect::SetMUnit(TPXUnits value) {
  mUnit_ = value;
  template_.RulerUnit = value;
  ComputeUnitPerPixel(unitX_, unitY_, mUnit_);
  RefreshMeasureHint();
}

void TPixoranVect::SetFloatDigits(int32_t value) {
  floatDigits_ = value;
  RefreshMeasureHint();
}

void TPixoranVect::SetFloatPrecision(int32_t value) {
  floatPrecision_ = value;
  RefreshMeasureHint();
}

std::string TPixoranVect::FormatMeasure(double value) const {
  if (!std::isfinite(value)) return std::isnan(value) ? "NAN" : (value > 0 ? "INF" : "-INF");
  char buf[64];
  const int digits = std::clamp(floatDigits_, 0, 18);
  // Beyond the precision's integer digits the number goes in exponent form.
  if (std::abs(value) >= std::pow(10.0, std::clamp(floatPrecision_, 1, 18)))
    std::snprintf(buf, sizeof buf, "%.*E", std::max(std::clamp(floatPrecision_, 1, 18) - 1, 0), value);
  else std::snprintf(buf, sizeof buf, "%.*f", digits, value);
  return buf;
}

void TPixoranVect::SetDpiX(int32_t dpi) {
  TPixoranView::SetDpiX(dpi);
  ComputeUnitPerPixel(unitX_, unitY_, mUnit_);
  RefreshMeasureHint();
  Update();
}

void TPixoranVect::SetDpiY(int32_t dpi) {
  TPixoranView::SetDpiY(dpi);
  ComputeUnitPerPixel(unitX_, unitY_, mUnit_);
  RefreshMeasureHint();
  Update();
}

// ------------------------------------------------------------ properties

void TPixoranVect::SetZoomObjectsWidth(bool value) {
  zoomObjectsWidth_ = value;
  Update();
}

void TPixoranVect::SetBitmapResampleFilter(TResampleFilter value) {
  bitmapFilter_ = value;
  Update();
}

void TPixoranVect::SetObjAntialias(bool value) {
  if (value == objAntialias_) return;
  objAntialias_ = value;
  Update();
}

void TPixoranVect::SetObjAlphaDrawing(bool value) {
  alphaDrawing_ = value;
  Update();
}

void TPixoranVect::SetObjectsHidden(bool value) {
  objectsHidden_ = value;
  Update();
}

// ------------------------------------------------------------ notifications

void TPixoranVect::DoVectorialChanged() {
  changePending_ = false;
  if (OnVectorialChanged) OnVectorialChanged(this);
}

void TPixoranVect::DoBeforeVectorialChanged() {
  if (objAutoUndo_) SaveObjUndo();
  if (!changePending_ && OnVectorialChanged) OnVectorialChanged(this);
  changePending_ = true;
}

void TPixoranVect::FireObjectClick(int32_t handle) {
  if (OnObjectClick) OnObjectClick(this, handle);
}

void TPixoranVect::FireObjectDblClick(int32_t handle) {
  if (OnObjectDblClick) OnObjectDblClick(this, handle);
}

void TPixoranVect::CancelInteraction() {
  creationKind_ = 0;
  grip_ = 0;
  EndTextEdit();
  if (edited_ >= 0) {
    edited_ = -1;
    Update();
  }
}

void TPixoranVect::Update() {
  TPixoranView::Update();
  PositionTextEditor();
}

void TPixoranVect::DoViewChange(int32_t change) {
  TPixoranView::DoViewChange(change);
  // An open edit follows the view: closed and opened again at the new place.
  if (edited_ >= 0) {
    const int32_t h = edited_;
    EndTextEdit();
    StartTextEdit(h);
  }
}

}  // namespace pixoran
