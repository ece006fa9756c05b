// The viewer's selections: the outline polygon in image coordinates and the
// mask filled from it; rectangles, ellipses, polygons, lassos and the magic
// wand driven by the mouse; moving and resizing by grips; the marching ants
// drawn on the window after the back buffer; the selection stream and the
// stack of saved selections.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_geometry.h"
#include "core/kopxutils_helpers.h"
#include "view/pixoranview.h"
#include "view/pxmagicwand.h"

namespace pixoran {

namespace {

constexpr int32_t kSep = kPXPolygonSeparator;
inline bool IsSep(const TPXPoint& p) { return p.X == kSep; }

// Squared distance from (px, py) to the segment (ax, ay)-(bx, by).
double SegmentDistance(double px, double py, double ax, double ay, double bx, double by) {
  const double dx = bx - ax, dy = by - ay, len = dx * dx + dy * dy;
  double t = len > 0 ? ((px - ax) * dx + (py - ay) * dy) / len : 0.0;
  t = std::clamp(t, 0.0, 1.0);
  const double ex = ax + t * dx - px, ey = ay + t * dy - py;
  return std::sqrt(ex * ex + ey * ey);
}

void PutInt32(std::vector<uint8_t>& out, int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

bool GetInt32(TStream& s, int32_t& v) {
  uint8_t b[4];
  if (!s.ReadExact(b, 4)) return false;
  v = static_cast<int32_t>(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24);
  return true;
}

}  // namespace

// ------------------------------------------------------------ the outline record

void TPixoranView::ClearPolygon() {
  poly_.Points.clear();
  poly_.RealPoints = 0;
  poly_.X1 = poly_.Y1 = poly_.X2 = poly_.Y2 = 0;
}

void TPixoranView::AppendSeparator() {
  // Never at the start and never two in a row.
  if (poly_.Points.empty() || IsSep(poly_.Points.back())) return;
  poly_.Points.push_back(TPXPoint{kSep, kSep});
}

void TPixoranView::AppendPoint(int32_t x, int32_t y) {
  if (poly_.Points.capacity() == poly_.Points.size()) poly_.Points.reserve(poly_.Points.size() + 64);
  poly_.Points.push_back(TPXPoint{x, y});
  // Two points as given; from the third on, the running minimum and maximum.
  switch (++poly_.RealPoints) {
    case 1:
      poly_.X1 = poly_.X2 = x;
      poly_.Y1 = poly_.Y2 = y;
      break;
    case 2:
      poly_.X2 = x;
      poly_.Y2 = y;
      break;
    case 3:
      if (poly_.X1 > poly_.X2) std::swap(poly_.X1, poly_.X2);
      if (poly_.Y1 > poly_.Y2) std::swap(poly_.Y1, poly_.Y2);
      [[fallthrough]];
    default:
      poly_.X1 = std::min(poly_.X1, x);
      poly_.Y1 = std::min(poly_.Y1, y);
      poly_.X2 = std::max(poly_.X2, x);
      poly_.Y2 = std::max(poly_.Y2, y);
  }
}

void TPixoranView::RecomputeBounds() {
  std::vector<TPXPoint> points;
  points.swap(poly_.Points);
  ClearPolygon();
  for (const TPXPoint& p : points) {
    if (IsSep(p)) AppendSeparator();
    else AppendPoint(p.X, p.Y);
  }
}

bool TPixoranView::IsRectangle() const {
  const auto& p = poly_.Points;
  return p.size() == 4 && !IsSep(p[0]) && !IsSep(p[1]) && !IsSep(p[2]) && !IsSep(p[3]) && p[0].Y == p[1].Y &&
         p[1].X == p[2].X && p[2].Y == p[3].Y && p[3].X == p[0].X;
}

bool TPixoranView::RectangleSelection() const { return IsRectangle() && !maskBeyondOutline_; }

void TPixoranView::ClearMask() {
  mask_->Clear();
  maskBeyondOutline_ = false;
}

bool TPixoranView::MaskIsOutlineFill() {
  if (poly_.Points.empty()) return mask_->IsEmpty();
  TPXMask fill;
  if (!fill.Allocate(mask_->Width(), mask_->Height(), mask_->BitsPerPixel()) || !fill.Data() || !mask_->Data())
    return false;
  fill.FillPolygons(255, poly_.Points.data(), static_cast<int32_t>(poly_.Points.size()));
  return std::memcmp(fill.Data(), mask_->Data(), static_cast<size_t>(int64_t{fill.RowLen()} * fill.Height())) == 0;
}

void TPixoranView::NoteMaskContent() { maskBeyondOutline_ = !MaskIsOutlineFill(); }

bool TPixoranView::HasFinishedSelection() { return selPresent_ && !polyDrawing_ && !rectDrawing_ && !ellipseDrawing_; }

bool TPixoranView::SelectionBox(TRect& box) {
  const bool drawing = polyDrawing_ || rectDrawing_ || ellipseDrawing_;
  if (drawing || (selMoving_ && selDrag_.Rect)) {
    if (poly_.RealPoints == 0) return false;
    box = Rect(poly_.X1, poly_.Y1, poly_.X2 - 1, poly_.Y2 - 1);
    return true;
  }
  if (!selPresent_ || mask_->IsEmpty()) return false;
  box = Rect(mask_->X1, mask_->Y1, mask_->X2, mask_->Y2);
  return true;
}

void TPixoranView::SetSelectionColor1(TColor c) {
  poly_.Color1 = c;
  RefreshSelection(false);
}

void TPixoranView::SetSelectionColor2(TColor c) {
  poly_.Color2 = c;
  RefreshSelection(false);
}

void TPixoranView::SetSelectionOptions(TPXSelectionOptions options) {
  SelectionOptions = options;
  UpdateAntsTimer();
  Update();
}

void TPixoranView::SetSelectionMaskDepth(int32_t bits) {
  if ((bits != 1 && bits != 8) || bits == maskDepth_) return;
  maskDepth_ = bits;
  DropSelection();
  mask_->Allocate(image_->Width(), image_->Height(), bits);
  Update();
}

// ------------------------------------------------------------ making selections

void TPixoranView::DropSelection() {
  selPresent_ = false;
  poly_.Shown = false;
  ClearPolygon();
  ClearMask();
  polyDrawing_ = lasso_ = rectDrawing_ = ellipseDrawing_ = selMoving_ = false;
  selGrip_ = -1;
  rubberShown_ = false;
  UpdateAntsTimer();
}

void TPixoranView::Deselect() {
  DropSelection();
  RestoreCursor();
  Update();
}

void TPixoranView::AddRectPoints(int32_t x1, int32_t y1, int32_t x2, int32_t y2, bool lockAspect, bool clip) {
  const int32_t w = image_->Width(), h = image_->Height();
  if (w <= 0 || h <= 0) return;
  if (lockAspect && SelectionAspectRatio == -1.0) y2 = y1 + (x2 - x1);
  else if (SelectionAspectRatio > 0) y2 = y1 + RoundToInt32((x2 - x1) * SelectionAspectRatio);
  if (clip) {
    // Shifted into the image whole, not cut.
    auto shift = [](int32_t& a, int32_t& b, int32_t size) {
      const int32_t lo = std::min(a, b), hi = std::max(a, b);
      int32_t d = 0;
      if (lo < 0) d = -lo;
      else if (hi >= size) d = size - 1 - hi;
      a += d;
      b += d;
    };
    shift(x1, x2, w);
    shift(y1, y2, h);
  }
  x1 = std::clamp(x1, 0, w - 1);
  x2 = std::clamp(x2, 0, w - 1);
  y1 = std::clamp(y1, 0, h - 1);
  y2 = std::clamp(y2, 0, h - 1);
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  ++x2;
  ++y2;
  AppendPoint(x1, y1);
  AppendPoint(x2, y1);
  AppendPoint(x2, y2);
  AppendPoint(x1, y2);
  poly_.Shown = true;
}

bool TPixoranView::SelectRect(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t operation, bool lockAspect,
                              bool clip) {
  if (x1 == x2 || y1 == y2 || image_->Width() <= 0 || image_->Height() <= 0) return false;
  x1 = ToImageX(x1);
  y1 = ToImageY(y1);
  x2 = ToImageX(x2);
  y2 = ToImageY(y2);
  selPresent_ = true;
  if (operation == 1 && !poly_.Points.empty()) AppendSeparator();
  else ClearPolygon();
  if (operation == 0) ClearMask();
  AddRectPoints(x1, y1, x2, y2, lockAspect, clip);
  UpdateAntsTimer();
  return true;
}

void TPixoranView::Select(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t operation) {
  if (!SelectRect(x1, y1, x2, y2, operation, false, false)) return;
  EndSelect();
  RefreshSelection(true);
}

void TPixoranView::AddSelectionPoint(int32_t x, int32_t y) {
  x = std::clamp(ToImageX(x), 0, std::max(0, image_->Width()));
  y = std::clamp(ToImageY(y), 0, std::max(0, image_->Height()));
  selPresent_ = true;
  AppendPoint(x, y);
  poly_.Shown = true;
  if (poly_.RealPoints >= 3) {
    ClearMask();
    EndSelect();
  }
  UpdateAntsTimer();
  RefreshSelection(true);
}

bool TPixoranView::EndSelect() {
  mask_->FillPolygons(255, poly_.Points.data(), static_cast<int32_t>(poly_.Points.size()));
  // A shape added over a region the outline did not describe may take it
  // in whole: the selection is then what its outline says again.
  if (maskBeyondOutline_) NoteMaskContent();
  const bool empty = mask_->IsEmpty();
  if (empty) selPresent_ = false;
  UpdateAntsTimer();
  return empty;
}

void TPixoranView::MoveSelection(int32_t dx, int32_t dy, bool clip) {
  if (poly_.RealPoints == 0) return;
  const int64_t x1 = std::min(poly_.X1, poly_.X2), x2 = std::max(poly_.X1, poly_.X2);
  const int64_t y1 = std::min(poly_.Y1, poly_.Y2), y2 = std::max(poly_.Y1, poly_.Y2);
  const int32_t w = image_->Width(), h = image_->Height();
  if (!clip && (x2 + dx <= 0 || y2 + dy <= 0 || x1 + dx >= w || y1 + dy >= h)) return;  // wholly outside
  // The outline stops at the border whole, keeping the user's size.
  ShiftOutline(static_cast<int32_t>(std::clamp<int64_t>(dx, -x1, std::max<int64_t>(w - x2, -x1))),
               static_cast<int32_t>(std::clamp<int64_t>(dy, -y1, std::max<int64_t>(h - y2, -y1))));
}

void TPixoranView::ShiftOutline(int32_t dx, int32_t dy) {
  RefreshSelection(false);
  const int32_t w = image_->Width(), h = image_->Height();
  for (TPXPoint& p : poly_.Points) {
    if (IsSep(p)) continue;
    p.X = static_cast<int32_t>(std::clamp<int64_t>(int64_t{p.X} + dx, 0, w));
    p.Y = static_cast<int32_t>(std::clamp<int64_t>(int64_t{p.Y} + dy, 0, h));
  }
  RecomputeBounds();
  RefreshSelection(false);
}

void TPixoranView::WandAtImagePoint(int32_t x, int32_t y, int32_t operation) {
  if (x < 0 || y < 0 || x >= image_->Width() || y >= image_->Height()) return;
  if (MagicWandMode == 0) {
    const std::vector<TPXPoint> outline = MagicWandPolygon(*image_, x, y, MagicWandTolerance, MagicWandMaxFilter);
    if (!outline.empty()) {
      selPresent_ = true;
      if (operation == 1 && !poly_.Points.empty()) AppendSeparator();
      else ClearPolygon();
      const int32_t w = image_->Width(), h = image_->Height();
      for (const TPXPoint& p : outline) AppendPoint(std::clamp(p.X, 0, w), std::clamp(p.Y, 0, h));
      poly_.Shown = true;
      if (operation != 1) ClearMask();
      EndSelect();
    }
  } else {
    if (operation != 1) {
      ClearPolygon();
      poly_.Shown = false;
      ClearMask();
    }
    if (MagicWandMode == 1) MagicWandFloodFill(*image_, x, y, 255, *mask_, MagicWandTolerance, MagicWandMaxFilter);
    else MagicWandColorMatch(*image_, x, y, 255, *mask_, MagicWandTolerance);
    // Added to an outline, the region may reach past it: the selection is
    // then no longer what its outline says.
    NoteMaskContent();
    selPresent_ = !mask_->IsEmpty();
  }
  UpdateAntsTimer();
  RefreshSelection(true);
}

void TPixoranView::MagicWandSelect(int32_t x, int32_t y, int32_t operation) {
  WandAtImagePoint(ToImageX(x), ToImageY(y), operation);
}

void TPixoranView::MagicWandAt(int32_t x, int32_t y, bool add) {
  WandAtImagePoint(ScreenToBitmapX(x), ScreenToBitmapY(y), add ? 1 : 0);
}

// ------------------------------------------------------------ copies and the stack

bool TPixoranView::CopySelectionToPXBitmap(TPXBitmap& bitmap) {
  if (polyDrawing_) ClosePolygon(0);
  if (rectDrawing_ || ellipseDrawing_) {
    rectDrawing_ = ellipseDrawing_ = false;
    if (!selDrag_.Add) ClearMask();
    EndSelect();
  }
  if (!selPresent_ || mask_->IsEmpty()) return false;
  const int32_t x1 = std::max(mask_->X1, 0), y1 = std::max(mask_->Y1, 0);
  const int32_t x2 = std::min(mask_->X2, image_->Width() - 1), y2 = std::min(mask_->Y2, image_->Height() - 1);
  if (x1 > x2 || y1 > y2) return false;
  const int32_t w = x2 - x1 + 1, h = y2 - y1 + 1;
  try {
    if (!bitmap.Allocate(w, h, image_->PixelFormat())) return false;
  } catch (const std::exception&) {
    return false;
  }
  for (int32_t i = 0; i < image_->PaletteCount(); ++i) bitmap.SetPaletteEntry(i, image_->GetPaletteEntry(i));
  bitmap.Fill(BackgroundFill(bitmap));
  const int32_t bits = image_->BitCount();
  const int32_t bytes = bits / 8;
  std::vector<uint8_t> src;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = image_->Scanline(y1 + y);
    const uint8_t* m = mask_->GetRowPointer(y1 + y);
    if (!s || !m) continue;
    // A temporary-file row lasts only until the next row is asked for.
    src.assign(s, s + image_->RowLen());
    uint8_t* d = bitmap.Scanline(y);
    if (!d) continue;
    for (int32_t x = 0; x < w; ++x) {
      const bool in = mask_->BitsPerPixel() == 1 ? GetBit(m, x1 + x) : m[x1 + x] != 0;
      if (!in) continue;
      if (bits == 1) SetBit(d, x, GetBit(src.data(), x1 + x));
      else
        std::memcpy(d + static_cast<int64_t>(x) * bytes, src.data() + static_cast<int64_t>(x1 + x) * bytes,
                    static_cast<size_t>(bytes));
    }
  }
  return true;
}

bool TPixoranView::CopySelectionToBitmap(TBitmap& bitmap) {
  TPXBitmap copy;
  copy.MemoryThreshold = std::numeric_limits<int64_t>::max();
  if (!CopySelectionToPXBitmap(copy)) return false;
  const bool mono = copy.PixelFormat() == pxBW1;
  try {
    if (!mono && copy.PixelFormat() != pxBGR24) copy.ConvertPixelFormat(pxBGR24);
  } catch (const std::exception&) {
    return false;
  }
  bitmap.SetPixelFormat(mono ? pf1bit : pf24bit);
  bitmap.SetSize(copy.Width(), copy.Height());
  const size_t n = mono ? static_cast<size_t>((copy.Width() + 7) / 8) : static_cast<size_t>(copy.Width()) * 3;
  for (int32_t y = 0; y < copy.Height(); ++y) {
    uint8_t* d = bitmap.ScanLine(y);
    const uint8_t* s = copy.Scanline(y);
    if (d && s) std::memcpy(d, s, n);
  }
  return true;
}

void TPixoranView::PushSelection() {
  auto stream = std::make_unique<TMemoryStream>();
  SaveSelectionToStream(*stream);
  selStack_.push_back(std::move(stream));
}

bool TPixoranView::PopSelection() {
  if (selStack_.empty()) return false;
  std::unique_ptr<TMemoryStream> stream = std::move(selStack_.back());
  selStack_.pop_back();
  stream->SetPosition(0);
  return LoadSelectionFromStream(*stream);
}

// ------------------------------------------------------------ the selection stream

void TPixoranView::SaveSelectionToStream(TStream& stream) {
  const TPXMask& m = *mask_;
  std::vector<uint8_t> head;
  head.reserve(82 + poly_.Points.size() * 8);
  PutInt32(head, m.Width());
  PutInt32(head, m.Height());
  PutInt32(head, static_cast<int32_t>(poly_.Points.size()));
  for (const TPXPoint& p : poly_.Points) {
    PutInt32(head, p.X);
    PutInt32(head, p.Y);
  }
  for (int32_t v : {poly_.X1, poly_.Y1, poly_.X2, poly_.Y2}) PutInt32(head, v);
  head.push_back(selPresent_ ? 1 : 0);
  PutInt32(head, m.BitsPerPixel() == 8 ? 8 : 1);
  for (int32_t v : {m.X1, m.Y1, m.X2, m.Y2}) PutInt32(head, v);
  head.push_back(m.Full ? 1 : 0);
  stream.Write(head.data(), static_cast<int64_t>(head.size()));
  if (m.Data()) stream.Write(m.Data(), static_cast<int64_t>(m.RowLen()) * m.Height());
}

bool TPixoranView::LoadSelectionFromStream(TStream& stream) {
  // Everything is read and checked before the selection changes.
  int64_t left = stream.Size() - stream.Position();
  int32_t sw = 0, sh = 0, n = 0;
  if (!GetInt32(stream, sw) || !GetInt32(stream, sh) || !GetInt32(stream, n)) return false;
  left -= 12;
  if (sw < 0 || sh < 0 || n < 0 || n > left / 8) return false;
  std::vector<TPXPoint> points(static_cast<size_t>(n));
  for (TPXPoint& p : points)
    if (!GetInt32(stream, p.X) || !GetInt32(stream, p.Y)) return false;
  left -= int64_t{n} * 8;
  int32_t bounds[4], box[4], bits = 0;
  uint8_t present = 0, full = 0;
  for (int32_t& v : bounds)
    if (!GetInt32(stream, v)) return false;
  if (!stream.ReadExact(&present, 1) || !GetInt32(stream, bits)) return false;
  for (int32_t& v : box)
    if (!GetInt32(stream, v)) return false;
  if (!stream.ReadExact(&full, 1)) return false;
  left -= 16 + 1 + 4 + 16 + 1;
  if (bits != 1 && bits != 8) return false;
  TPXMask saved;
  if (sw > 0 && sh > 0) {
    const int64_t rowLen = CalcRowLen(sw, bits, 32);
    if (rowLen <= 0 || rowLen > left / sh) return false;
    if (!saved.Allocate(sw, sh, bits)) return false;
    if (!stream.ReadExact(saved.Data(), rowLen * sh)) return false;
    if (box[0] >= 0 && box[0] <= box[2] && box[2] < sw && box[1] >= 0 && box[1] <= box[3] && box[3] < sh) {
      saved.X1 = box[0];
      saved.Y1 = box[1];
      saved.X2 = box[2];
      saved.Y2 = box[3];
    } else {
      saved.SyncBox();  // a box that does not fit the data is taken from the data
    }
    saved.Full = false;
    if (full) saved.SyncFull();
  }

  // A selection saved on a larger image moves left or up so its box ends at
  // the image's last column or row (never past the first), then the mask
  // takes the image's size.
  const int32_t w = image_->Width(), h = image_->Height();
  int32_t dx = 0, dy = 0;
  if (!saved.IsEmpty()) {
    if (sw > w && saved.X2 >= w) dx = std::max(w - (saved.X2 - saved.X1 + 1), 0) - saved.X1;
    if (sh > h && saved.Y2 >= h) dy = std::max(h - (saved.Y2 - saved.Y1 + 1), 0) - saved.Y1;
    if (dx != 0 || dy != 0) saved.Translate(dx, dy, true);
  }
  if (saved.Data() && (sw != w || sh != h)) saved.Resize(w, h);

  mask_->Allocate(w, h, maskDepth_);
  if (saved.Data() && mask_->Data() && saved.Width() == w && saved.Height() == h) {
    if (saved.BitsPerPixel() == maskDepth_) {
      std::memcpy(mask_->Data(), saved.Data(), static_cast<size_t>(int64_t{saved.RowLen()} * h));
    } else {
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
          if (const uint8_t v = saved.GetPixel(x, y)) mask_->SetPixel(x, y, v);
    }
    mask_->X1 = saved.X1;
    mask_->Y1 = saved.Y1;
    mask_->X2 = saved.X2;
    mask_->Y2 = saved.Y2;
    mask_->SyncFull();
  }
  ClearPolygon();
  for (const TPXPoint& p : points) {
    if (IsSep(p)) AppendSeparator();
    else
      AppendPoint(static_cast<int32_t>(std::clamp<int64_t>(int64_t{p.X} + dx, 0, w)),
                  static_cast<int32_t>(std::clamp<int64_t>(int64_t{p.Y} + dy, 0, h)));
  }
  while (!poly_.Points.empty() && IsSep(poly_.Points.back())) poly_.Points.pop_back();
  NoteMaskContent();
  selPresent_ = present != 0;
  poly_.Shown = selPresent_ && !poly_.Points.empty();
  polyDrawing_ = lasso_ = rectDrawing_ = ellipseDrawing_ = selMoving_ = false;
  selGrip_ = -1;
  rubberShown_ = false;
  UpdateAntsTimer();
  Update();
  return true;
}

// ------------------------------------------------------------ mouse

void TPixoranView::BeginNewShape(bool add) {
  if (add && selPresent_) {
    selDrag_.Keep = poly_.Points.size();
  } else {
    ClearPolygon();
    ClearMask();
    selPresent_ = false;
    selDrag_.Keep = 0;
  }
}

void TPixoranView::DrawFixedBox(int32_t x, int32_t y, bool ellipse) {
  // The fixed size scaled by the zoom, centred on the mouse.
  const int32_t hw = RoundToInt32(FixedSelectionWidth * zoom_ / 100.0) / 2;
  const int32_t hh = RoundToInt32(FixedSelectionHeight * zoom_ / 100.0) / 2;
  poly_.Points.resize(selDrag_.Keep);
  RecomputeBounds();
  if (!poly_.Points.empty()) AppendSeparator();
  if (ellipse) {
    BuildEllipse(ScreenToBitmapX(x), ScreenToBitmapY(y), TruncToInt32(hw * 100.0 / zoom_),
                 TruncToInt32(hh * 100.0 / zoom_));
  } else {
    if (hw <= 0 || hh <= 0) return;
    AddRectPoints(ScreenToBitmapX(x - hw), ScreenToBitmapY(y - hh), ScreenToBitmapX(x + hw), ScreenToBitmapY(y + hh),
                  false, true);
  }
  selPresent_ = true;
}

void TPixoranView::BuildEllipse(int32_t cx, int32_t cy, int32_t rx, int32_t ry) {
  const int32_t w = image_->Width(), h = image_->Height();
  constexpr double kTwoPi = 2.0 * std::numbers::pi;
  const int32_t n = std::clamp(TruncToInt32(std::min(rx, ry) * kTwoPi), 50, 1 << 20);
  for (int32_t k = 0; k < n; ++k) {
    const double a = kTwoPi * k / n;
    const int64_t x = int64_t{cx} + RoundToInt32(std::cos(a) * rx), y = int64_t{cy} + RoundToInt32(std::sin(a) * ry);
    AppendPoint(static_cast<int32_t>(std::clamp<int64_t>(x, 0, w)), static_cast<int32_t>(std::clamp<int64_t>(y, 0, h)));
  }
  poly_.Shown = true;
}

int32_t TPixoranView::SelectionGripAt(int32_t x, int32_t y) {
  if (!selPresent_ || !poly_.Shown || !(SelectionOptions & pxsoSizeable) || !RectangleSelection()) return 0;
  const auto& p = poly_.Points;
  for (int i = 0; i < 4; ++i) {
    const int32_t cx = BitmapToScreenX(p[static_cast<size_t>(i)].X), cy = BitmapToScreenY(p[static_cast<size_t>(i)].Y);
    if (std::abs(x - cx) <= SelectionGripSize && std::abs(y - cy) <= SelectionGripSize) return i + 1;
  }
  const double l = BitmapToScreenX(p[0].X), t = BitmapToScreenY(p[0].Y);
  const double r = BitmapToScreenX(p[2].X), b = BitmapToScreenY(p[2].Y);
  // Left, top, right, bottom in this order; the numbers follow the resize
  // cursors (5 and 6 across, 7 and 8 up and down).
  if (SegmentDistance(x, y, l, t, l, b) < 3.0) return 5;
  if (SegmentDistance(x, y, l, t, r, t) < 3.0) return 7;
  if (SegmentDistance(x, y, r, t, r, b) < 3.0) return 6;
  if (SegmentDistance(x, y, l, b, r, b) < 3.0) return 8;
  return 0;
}

bool TPixoranView::PointInSelection(int32_t x, int32_t y) {
  return HasFinishedSelection() && mask_->IsPointInside(ScreenToBitmapX(x), ScreenToBitmapY(y));
}

bool TPixoranView::SelectionPress(TPXMouseInteractItems mode, TShiftState shift, int32_t x, int32_t y) {
  const bool add = (shift & ssShift) && ShiftAdd;
  const bool polygonMode = mode == miSelectPolygon || mode == miSelectLasso;
  if (polygonMode && (shift & ssDouble)) return polyDrawing_;  // the double click closes it
  selDrag_ = TSelDrag{};
  selDrag_.ClientX = selDrag_.LastX = x;
  selDrag_.ClientY = selDrag_.LastY = y;
  selDrag_.ImageX = ScreenToBitmapX(x);
  selDrag_.ImageY = ScreenToBitmapY(y);
  selDrag_.Add = add;
  const int32_t w = image_->Width(), h = image_->Height();

  // A grip of the rectangle, or a press inside the selection, takes it along.
  if (!polyDrawing_ && mode != miSelectZoom && !add) {
    const int32_t grip = SelectionGripAt(x, y);
    selDrag_.Rect = RectangleSelection();
    if (grip > 0) {
      selGrip_ = grip;
      selDrag_.BoxX1 = poly_.X1;
      selDrag_.BoxY1 = poly_.Y1;
      selDrag_.BoxX2 = poly_.X2;
      selDrag_.BoxY2 = poly_.Y2;
      return true;
    }
    if (!polygonMode && (SelectionOptions & pxsoMoveable) && HasFinishedSelection() &&
        mask_->IsPointInside(selDrag_.ImageX, selDrag_.ImageY)) {
      selGrip_ = 0;
      selMoving_ = true;
      selDrag_.Points = poly_.Points;
      return true;
    }
  }
  if (mode == miSelectMagicWand) return false;  // the wand runs at the release

  if (polygonMode) {
    int32_t cx = x, cy = y;
    if ((shift & ssAlt) && polyDrawing_ && !poly_.Points.empty() && !IsSep(poly_.Points.back()))
      SnapLineAngle(BitmapToScreenX(poly_.Points.back().X), BitmapToScreenY(poly_.Points.back().Y), cx, cy);
    if (!polyDrawing_) {
      if (add && selPresent_) {
        AppendSeparator();
      } else {
        ClearPolygon();
        ClearMask();
      }
      polyDrawing_ = true;
      lasso_ = mode == miSelectLasso;
    }
    AppendPoint(std::clamp(ScreenToBitmapX(cx), 0, w), std::clamp(ScreenToBitmapY(cy), 0, h));
    selPresent_ = poly_.Shown = true;
    rubberX_ = cx;
    rubberY_ = cy;
    rubberShown_ = !lasso_;
    UpdateAntsTimer();
    RefreshSelection(false);
    return true;
  }

  BeginNewShape(add);
  selDrag_.Rect = !(add && selPresent_);
  if (mode == miSelectCircle) ellipseDrawing_ = true;
  else rectDrawing_ = true;
  if (SelectionAspectRatio == 0.0) DrawFixedBox(x, y, ellipseDrawing_);
  UpdateAntsTimer();
  RefreshSelection(true);
  return true;
}

void TPixoranView::ResizeByGrip(int32_t ix, int32_t iy, bool keepAspect) {
  const TSelDrag& d = selDrag_;
  int32_t x1 = d.BoxX1, y1 = d.BoxY1, x2 = d.BoxX2, y2 = d.BoxY2;
  const int32_t g = selGrip_;
  // The right and bottom edges are exclusive: those grips sit one past the mouse.
  if (g == 1 || g == 4 || g == 5) x1 = ix;
  if (g == 2 || g == 3 || g == 6) x2 = ix + 1;
  if (g == 1 || g == 2 || g == 7) y1 = iy;
  if (g == 3 || g == 4 || g == 8) y2 = iy + 1;
  const int32_t w0 = d.BoxX2 - d.BoxX1, h0 = d.BoxY2 - d.BoxY1;
  if (keepAspect && w0 > 0 && h0 > 0) {
    const double ratio = static_cast<double>(h0) / w0;
    if (g <= 6) {
      // The width leads; the height follows from the fixed side.
      const int32_t hh = RoundToInt32(std::abs(x2 - x1) * ratio);
      if (g == 1 || g == 2 || g == 5) y1 = d.BoxY2 - hh;
      else y2 = d.BoxY1 + hh;
    } else {
      const int32_t ww = RoundToInt32(std::abs(y2 - y1) / ratio);
      if (g == 7) x1 = d.BoxX2 - ww;
      else x2 = d.BoxX1 + ww;
    }
  }
  const int32_t w = image_->Width(), h = image_->Height();
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  x1 = std::clamp(x1, 0, w);
  x2 = std::clamp(x2, 0, w);
  y1 = std::clamp(y1, 0, h);
  y2 = std::clamp(y2, 0, h);
  // At least one pixel either way.
  if (x2 == x1) {
    if (x2 < w) ++x2;
    else --x1;
  }
  if (y2 == y1) {
    if (y2 < h) ++y2;
    else --y1;
  }
  ClearPolygon();
  AppendPoint(x1, y1);
  AppendPoint(x2, y1);
  AppendPoint(x2, y2);
  AppendPoint(x1, y2);
}

void TPixoranView::SelectionDrag(TShiftState shift, int32_t x, int32_t y) {
  if (x == selDrag_.LastX && y == selDrag_.LastY) return;
  selDrag_.LastX = x;
  selDrag_.LastY = y;
  const TRect before = OutlineClientRect();
  const int32_t ix = ScreenToBitmapX(x), iy = ScreenToBitmapY(y);
  const int32_t w = image_->Width(), h = image_->Height();
  bool changed = true;
  if (selGrip_ > 0) {
    ResizeByGrip(ix, iy, (shift & ssShift) != 0);
  } else if (selGrip_ == 0) {
    const int32_t dx = ix - selDrag_.ImageX, dy = iy - selDrag_.ImageY;
    if (selDrag_.Rect) {
      // Only the outline moves; the mask follows at the release.
      poly_.Points = selDrag_.Points;
      RecomputeBounds();
      MoveSelection(dx, dy, true);
    } else {
      // The mask moves with it: what leaves the image is cut (pxsoCutBorders)
      // or the move stops at the border.
      const bool cut = (SelectionOptions & pxsoCutBorders) != 0;
      const int32_t ox = mask_->X1, oy = mask_->Y1;
      mask_->Translate(dx - selDrag_.MovedX, dy - selDrag_.MovedY, cut);
      if (cut || mask_->IsEmpty()) {
        selDrag_.MovedX = dx;
        selDrag_.MovedY = dy;
      } else {
        selDrag_.MovedX += mask_->X1 - ox;
        selDrag_.MovedY += mask_->Y1 - oy;
      }
      // The outline goes where the mask went (squeezed at the border where
      // the mask was cut).
      poly_.Points = selDrag_.Points;
      RecomputeBounds();
      ShiftOutline(selDrag_.MovedX, selDrag_.MovedY);
      dirty_ = true;
      Invalidate();
    }
  } else if (rectDrawing_ || ellipseDrawing_) {
    if (SelectionAspectRatio == 0.0) {
      DrawFixedBox(x, y, ellipseDrawing_);
    } else {
      const bool lock = (shift & ssShift) && !selDrag_.Add;  // Shift locks the aspect unless it adds
      poly_.Points.resize(selDrag_.Keep);
      RecomputeBounds();
      if (!poly_.Points.empty()) AppendSeparator();
      if (rectDrawing_) {
        AddRectPoints(selDrag_.ImageX, selDrag_.ImageY, ix, iy, lock, false);
      } else {
        const int32_t adx = std::abs(x - selDrag_.ClientX), ady = std::abs(y - selDrag_.ClientY);
        int32_t rx = adx, ry = ady;
        if (lock && SelectionAspectRatio == -1.0) {
          rx = ry = std::max(adx, ady);
        } else if (SelectionAspectRatio > 0) {
          rx = std::max(adx, ady);
          ry = RoundToInt32(rx * SelectionAspectRatio);
        }
        BuildEllipse(selDrag_.ImageX, selDrag_.ImageY, TruncToInt32(rx * 100.0 / zoom_),
                     TruncToInt32(ry * 100.0 / zoom_));
      }
      selPresent_ = true;
    }
  } else if (polyDrawing_ && lasso_) {
    int32_t cx = x, cy = y;
    if ((shift & ssAlt) && !poly_.Points.empty() && !IsSep(poly_.Points.back()))
      SnapLineAngle(BitmapToScreenX(poly_.Points.back().X), BitmapToScreenY(poly_.Points.back().Y), cx, cy);
    const TPXPoint p{std::clamp(ScreenToBitmapX(cx), 0, w), std::clamp(ScreenToBitmapY(cy), 0, h)};
    if (poly_.Points.empty() || !(poly_.Points.back() == p)) AppendPoint(p.X, p.Y);
  } else if (polyDrawing_) {
    rubberX_ = x;
    rubberY_ = y;
    rubberShown_ = true;
  } else {
    changed = false;
  }
  selDrag_.Moved = true;
  if (!changed) return;
  InvalidateRect(before);
  RefreshSelection(false);
  if (OnSelectionChanging && (selGrip_ >= 0 || rectDrawing_ || ellipseDrawing_)) OnSelectionChanging(this);
}

bool TPixoranView::SelectionRelease(TPXMouseInteractItems mode, TShiftState shift, int32_t x, int32_t y) {
  const bool add = (shift & ssShift) && ShiftAdd;
  bool made = false;
  if (selGrip_ > 0) {
    ClearMask();
    EndSelect();
    made = true;
  } else if (selGrip_ == 0) {
    if (selDrag_.Rect) {
      ClearMask();
      EndSelect();
    }
    made = selDrag_.Moved;
  } else if ((mode & miSelectZoom) && rectDrawing_) {
    // The zoom takes the rectangle; the selection saved at the press comes back.
    return false;
  } else if (rectDrawing_ || ellipseDrawing_ || (polyDrawing_ && lasso_)) {
    rectDrawing_ = ellipseDrawing_ = false;
    polyDrawing_ = lasso_ = false;
    // A click removes the selection, except a fixed box, placed at the press.
    if (!selDrag_.Moved && !(SelectionAspectRatio == 0.0 && mode != miSelectLasso)) {
      Deselect();
      return true;
    }
    if (!add) ClearMask();
    EndSelect();
    made = true;
  }
  selGrip_ = -1;
  selMoving_ = false;
  rectDrawing_ = ellipseDrawing_ = false;
  UpdateAntsTimer();
  RefreshSelection(true);
  return made;
}

void TPixoranView::ClosePolygon(TShiftState shift) {
  if (!polyDrawing_) return;
  while (!poly_.Points.empty() && IsSep(poly_.Points.back())) poly_.Points.pop_back();
  polyDrawing_ = lasso_ = false;
  rubberShown_ = false;
  if (!((shift & ssShift) && ShiftAdd)) ClearMask();
  EndSelect();
  Update();
  if (OnSelectionChange) OnSelectionChange(this);
}

void TPixoranView::SelectionHover(int32_t x, int32_t y) {
  if (!polyDrawing_ || lasso_) return;
  const TRect before = OutlineClientRect();
  rubberX_ = x;
  rubberY_ = y;
  rubberShown_ = true;
  InvalidateRect(before);
  RefreshSelection(false);
}

void TPixoranView::ShiftSelection(int32_t dx, int32_t dy) {
  // Client positions stored for the drag follow the scrolled picture.
  selDrag_.ClientX += dx;
  selDrag_.ClientY += dy;
  rubberX_ += dx;
  rubberY_ += dy;
}

// ------------------------------------------------------------ drawing

TRect TPixoranView::OutlineClientRect() {
  const bool masked = MaskOutlined();
  if (!masked && (!poly_.Shown || poly_.RealPoints == 0)) return TRect{};
  // A mask's own edge runs round its box (the last pixel's far side).
  const bool polygon = poly_.Shown && poly_.RealPoints > 0;
  const int32_t bx1 = polygon ? poly_.X1 : mask_->X1, by1 = polygon ? poly_.Y1 : mask_->Y1;
  const int32_t bx2 = polygon ? poly_.X2 : mask_->X2 + 1, by2 = polygon ? poly_.Y2 : mask_->Y2 + 1;
  int32_t x1 = BitmapToScreenX(masked ? std::min(bx1, mask_->X1) : bx1);
  int32_t x2 = BitmapToScreenX(masked ? std::max(bx2, mask_->X2 + 1) : bx2);
  int32_t y1 = BitmapToScreenY(masked ? std::min(by1, mask_->Y1) : by1);
  int32_t y2 = BitmapToScreenY(masked ? std::max(by2, mask_->Y2 + 1) : by2);
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  if (rubberShown_ && polyDrawing_) {
    x1 = std::min(x1, rubberX_);
    x2 = std::max(x2, rubberX_);
    y1 = std::min(y1, rubberY_);
    y2 = std::max(y2, rubberY_);
  }
  const int32_t m = std::max(SelectionGripSize, 0) + 2;  // the grips reach past the corners
  return Rect(x1 - m, y1 - m, x2 + m + 1, y2 + m + 1);
}

void TPixoranView::RefreshSelection(bool recompose) {
  const TRect now = OutlineClientRect();
  if (recompose) {
    dirty_ = true;
    Invalidate();
  } else {
    InvalidateRect(shownOutline_);
    InvalidateRect(now);
  }
  shownOutline_ = now;
}

namespace {

// The run k in [0, n) where lo <= f(k) < hi, f monotone in k (rising when
// up); empty as first >= last.
template <class F>
void RunInside(int64_t n, bool up, int64_t lo, int64_t hi, F f, int64_t& first, int64_t& last) {
  auto firstWhere = [n](auto pred) {
    int64_t a = 0, b = n;
    while (a < b) {
      const int64_t m = a + (b - a) / 2;
      if (pred(m)) b = m;
      else a = m + 1;
    }
    return a;
  };
  if (up) {
    first = firstWhere([&](int64_t k) { return f(k) >= lo; });
    last = firstWhere([&](int64_t k) { return f(k) >= hi; });
  } else {
    first = firstWhere([&](int64_t k) { return f(k) < hi; });
    last = firstWhere([&](int64_t k) { return f(k) < lo; });
  }
}

}  // namespace

// A line stepped pixel by pixel (the end point left out), each pixel taking
// its colour from the dash counter, which runs on from line to line. Pixel
// k lies k steps along the major axis and (2 k minor + major) div (2 major)
// along the other, so only the run inside the clip is visited, however
// long the line: its dashes are still counted from the line's start.
void TPixoranView::PlotDashedLine(TCanvas& c, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  const int64_t ax = std::abs(int64_t{x1} - x0), ay = std::abs(int64_t{y1} - y0);
  const int64_t n = std::max(ax, ay);
  if (n == 0) return;
  const int64_t sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
  // Past 7 the counter starts again at 0, also when the ants' phase (8 or 9)
  // starts it there: those phases draw as phase 0.
  const int64_t start = poly_.DashCounter > 7 || poly_.DashCounter < 0 ? 0 : poly_.DashCounter;
  poly_.DashCounter = static_cast<int32_t>((start + n - 1) % 8 + 1);
  const bool xMajor = ax >= ay;
  const int64_t major = xMajor ? ax : ay, minor = xMajor ? ay : ax;
  auto along = [&](int64_t k) { return (2 * k * minor + major) / (2 * major); };
  auto px = [&](int64_t k) { return x0 + sx * (xMajor ? k : along(k)); };
  auto py = [&](int64_t k) { return y0 + sy * (xMajor ? along(k) : k); };
  const TRect clip = c.ClipRect();
  int64_t fx = 0, lx = 0, fy = 0, ly = 0;
  RunInside(n, sx > 0, clip.Left, clip.Right, px, fx, lx);
  RunInside(n, sy > 0, clip.Top, clip.Bottom, py, fy, ly);
  for (int64_t k = std::max(fx, fy), end = std::min(lx, ly); k < end; ++k)
    c.SetPixel(static_cast<int>(px(k)), static_cast<int>(py(k)), (start + k) % 8 < 4 ? poly_.Color1 : poly_.Color2);
}

void TPixoranView::DrawSelectionOutline(TCanvas& window) {
  const bool drawing = polyDrawing_ || rectDrawing_ || ellipseDrawing_;
  if (updateLock_ > 0) return;
  // A selection its outline does not describe (a wand's fill, alone or with
  // outlines) shows the mask's own dashed edge, unless filled or marked.
  if (MaskOutlined() && !drawing) {
    if (!(SelectionOptions & (pxsoFilled | pxsoMarkOuter)))
      // The canvas is the window's copy of the back buffer, which PaintWindowOverlay may draw on.
      mask_->DrawOutlinePlaced(const_cast<TBitmap&>(ScreenBuffer()), maskPlace_, poly_.Color1, poly_.Color2,
                               poly_.Phase, PaintRect());
    return;
  }
  if (!poly_.Shown || poly_.RealPoints == 0 || !(selPresent_ || drawing)) return;
  poly_.DashCounter = poly_.Phase;
  const auto& p = poly_.Points;
  std::vector<TPXPoint> c(p.size());
  for (size_t i = 0; i < p.size(); ++i)
    c[i] = IsSep(p[i]) ? TPXPoint{kSep, kSep} : TPXPoint{BitmapToScreenX(p[i].X), BitmapToScreenY(p[i].Y)};
  const bool rect = IsRectangle();
  if (rect) {
    for (size_t i = 0; i < 4; ++i) PlotDashedLine(window, c[i].X, c[i].Y, c[(i + 1) & 3].X, c[(i + 1) & 3].Y);
  } else {
    size_t first = 0;
    for (size_t i = 0; i < c.size(); ++i) {
      if (c[i].X == kSep) {
        // The separator closes the polygon before it.
        if (i > first) PlotDashedLine(window, c[i - 1].X, c[i - 1].Y, c[first].X, c[first].Y);
        first = i + 1;
      } else if (i > first) {
        PlotDashedLine(window, c[i - 1].X, c[i - 1].Y, c[i].X, c[i].Y);
      }
    }
    if (!polyDrawing_ && first + 1 < c.size()) PlotDashedLine(window, c.back().X, c.back().Y, c[first].X, c[first].Y);
  }
  if (rect && !maskBeyondOutline_ && (SelectionOptions & pxsoSizeable) && DrawSelectionGrips && !selMoving_) {
    const TPen pen = window.Pen;
    const TBrush brush = window.Brush;
    window.Pen = TPen{};
    window.Pen.Color = SelectionGripPenColor;
    window.Brush.Color = SelectionGripBrushColor;
    window.Brush.Style = SelectionGripBrushStyle;
    const int32_t mx = (c[0].X + c[2].X) / 2, my = (c[0].Y + c[2].Y) / 2;
    const int32_t xs[8] = {c[0].X, c[1].X, c[2].X, c[3].X, c[0].X, c[1].X, mx, mx};
    const int32_t ys[8] = {c[0].Y, c[1].Y, c[2].Y, c[3].Y, my, my, c[0].Y, c[2].Y};
    for (int k = 0; k < 8; ++k)
      window.Rectangle(Rect(xs[k] - SelectionGripSize, ys[k] - SelectionGripSize, xs[k] + SelectionGripSize,
                            ys[k] + SelectionGripSize));
    window.Pen = pen;
    window.Brush = brush;
  }
}

void TPixoranView::DrawRubberBand(TCanvas& window) {
  if (!polyDrawing_ || lasso_ || !rubberShown_ || poly_.Points.empty() || IsSep(poly_.Points.back())) return;
  poly_.DashCounter = poly_.Phase;
  const TPXPoint& last = poly_.Points.back();
  PlotDashedLine(window, BitmapToScreenX(last.X), BitmapToScreenY(last.Y), rubberX_, rubberY_);
}

bool TPixoranView::MaskOutlined() const { return selPresent_ && maskBeyondOutline_ && !mask_->IsEmpty(); }

bool TPixoranView::AntsAnimated() const {
  const bool drawing = polyDrawing_ || rectDrawing_ || ellipseDrawing_;
  if (!(SelectionOptions & pxsoAnimated)) return false;
  if (MaskOutlined() && !drawing) return !(SelectionOptions & (pxsoFilled | pxsoMarkOuter));
  return poly_.Shown && poly_.RealPoints > 0 && (selPresent_ || drawing);
}

bool TPixoranView::AntsTick() {
  // The ants stand still while the mouse drags.
  if (!AntsAnimated() || drag_.Down) return false;
  poly_.Phase = poly_.Phase >= 9 ? 0 : poly_.Phase + 1;
  const TRect r = OutlineClientRect();
  InvalidateRect(r);
  return HasParentWindow() && r.Right > 0 && r.Bottom > 0 && r.Left < ClientWidth() && r.Top < ClientHeight() &&
         r.Left < r.Right && r.Top < r.Bottom;
}

}  // namespace pixoran
