// The viewer's mouse and keyboard: the interaction modes and how they
// exclude each other, click zoom, drag scrolling, moving and resizing
// layers by their grips, auto-scroll, cursors, keys and the navigator link.
#include <algorithm>
#include <array>
#include <utility>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "view/pixoranview.h"

namespace pixoran {

namespace {
constexpr TCursor kMoveCursor = 1790;
constexpr TCursor kScrollCursor = 1781;  // the closed hand
constexpr TCursor kAddCursor = 1791, kPlainSelectCursor = 1793, kAddSelectCursor = 1794;
constexpr TPXMouseInteractItems kLayerModes = miMoveLayers | miResizeLayers;
constexpr TPXMouseInteractItems kSelectModes =
    miSelect | miSelectPolygon | miSelectCircle | miSelectZoom | miSelectMagicWand | miSelectLasso;
// The top six bits of the set belong to no mode here and are always kept.
constexpr TPXMouseInteractItems kKeptBits = 0xFC00;
// Half the side of a layer grip's box, as painted.
constexpr int32_t kGripLow = 4, kGripHigh = 5;

constexpr std::array<double, 8> kZoomSteps = {2, 5, 10, 25, 33, 50, 75, 100};
}  // namespace

double ClickZoomIn(double zoom) {
  if (zoom >= 100.0) return zoom + 100.0;
  for (double s : kZoomSteps)
    if (s > zoom) return s;
  return zoom + 100.0;
}

double ClickZoomOut(double zoom) {
  if (zoom >= 200.0) return zoom - 100.0;
  // The largest step below the zoom, 2 when there is none.
  for (auto it = kZoomSteps.rbegin(); it != kZoomSteps.rend(); ++it)
    if (*it < zoom) return *it;
  return 2.0;
}

// ------------------------------------------------------------ modes and cursors

void TPixoranView::SetMouseInteract(TPXMouseInteractItems value) {
  const TPXMouseInteractItems old = mouseInteract_;
  if (value == old) return;
  if ((old & miSelectPolygon) && PolygonInProgress()) {
    ClosePolygon(0);
    Invalidate();
  }
  // The first newly added mode decides what stays beside it.
  static constexpr std::pair<TPXMouseInteractItems, TPXMouseInteractItems> kRules[] = {
      {miScroll, miZoom | miScroll},
      {miSelect, miZoom | miSelect},
      {miSelectPolygon, miSelectPolygon},
      {miSelectCircle, miZoom | miSelectCircle},
      {miSelectLasso, miZoom | miSelectLasso},
      {miSelectZoom, miZoom | miSelectZoom},
      {miZoom, miZoom | miScroll | miSelect | miSelectCircle | miSelectZoom | miSelectLasso},
      {miSelectMagicWand, miSelectMagicWand},
  };
  const TPXMouseInteractItems added = value & ~old;
  bool decided = false;
  for (const auto& [mode, keep] : kRules) {
    if (added & mode) {
      value &= keep | kKeptBits;
      decided = true;
      break;
    }
  }
  if (!decided && (value & kLayerModes)) value &= kLayerModes | kKeptBits;
  mouseInteract_ = value;
  dirty_ = true;
  Invalidate();
}

void TPixoranView::SetCursor(TCursor c) {
  defaultCursor_ = c;
  SetTempCursor(c);
}

void TPixoranView::SetTempCursor(TCursor c) {
  cursorShown_ = c;
  TWinControl::SetCursor(c);
}

TCursor TPixoranView::GripCursor(int32_t grip) {
  switch (grip) {
    case 1:
    case 3: return 1786;
    case 2:
    case 4: return 1788;
    case 5:
    case 6: return 1789;
    case 7:
    case 8: return 1787;
    default: return 0;
  }
}

int32_t TPixoranView::LayerGripAt(int32_t x, int32_t y) {
  TPXLayer* l = GetLayer(currentLayer_);
  if (!l || l->Locked) return 0;
  const TRect& r = l->ClientRect;
  const int32_t mx = (r.Left + r.Right) / 2, my = (r.Top + r.Bottom) / 2;
  const int32_t xs[8] = {r.Left, r.Right, r.Right, r.Left, r.Left, r.Right, mx, mx};
  const int32_t ys[8] = {r.Top, r.Top, r.Bottom, r.Bottom, my, my, r.Top, r.Bottom};
  for (int k = 0; k < 8; ++k)
    if (x >= xs[k] - kGripLow && x < xs[k] + kGripHigh && y >= ys[k] - kGripLow && y < ys[k] + kGripHigh) return k + 1;
  return 0;
}

// ------------------------------------------------------------ mouse

void TPixoranView::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (Visible()) SetFocus();
  if (button == mbRight && (shift & ssLeft)) return;
  if (button != mbLeft && !(mouseInteract_ & miZoom)) return;
  if (drag_.Down) return;  // one drag at a time
  const TPXMouseInteractItems mi = mouseInteract_;
  pressFilter_ = zoomFilter_;
  if (!(mi & miScroll) && DelayZoomFilter) zoomFilter_ = rfNone;
  const TPXSelectionBase savedBase = SelectionBase;
  SelectionBase = pxsbClientArea;
  x = std::clamp(x, offX_, offX_ + dispW_);
  y = std::clamp(y, offY_, offY_ + dispH_);
  drag_ = TDragState{};
  drag_.Down = true;
  drag_.Button = button;
  drag_.PressX = drag_.LastX = x;
  drag_.PressY = drag_.LastY = y;
  drag_.OriginX = viewX_;
  drag_.OriginY = viewY_;
  if (button == mbLeft) {
    if (mi & kSelectModes) {
      TPXMouseInteractItems mode = miSelectMagicWand;
      if (mi & (miSelectPolygon | miSelectLasso)) mode = mi & miSelectPolygon ? miSelectPolygon : miSelectLasso;
      else if (mi & miSelect) mode = miSelect;
      else if (mi & miSelectZoom) mode = miSelectZoom;
      else if (mi & miSelectCircle) mode = miSelectCircle;
      if (OnBeforeSelectionChange) OnBeforeSelectionChange(this);
      if (mode == miSelectZoom) PushSelection();
      // The line-snap flag stands for Alt, which window managers often take.
      const TShiftState s = LineSnap ? (shift | ssAlt) : shift;
      drag_.Selecting = SelectionPress(mode, s, x, y);
      if (drag_.Selecting && OnSelectionChanging) OnSelectionChanging(this);
    } else if (mi & kLayerModes) {
      const int32_t grip = (mi & miResizeLayers) ? LayerGripAt(x, y) : 0;
      if (grip != 0) {
        const TPXLayer& l = *layers_[static_cast<size_t>(currentLayer_)];
        drag_.LayerGrip = grip;
        drag_.LayerPosX = l.PosX;
        drag_.LayerPosY = l.PosY;
        drag_.LayerW = l.GetWidth();
        drag_.LayerH = l.GetHeight();
      } else if (mi & miMoveLayers) {
        const int32_t hit = LayerAt(x, y);
        if (hit >= 0) {
          SetCurrentLayer(hit);
          if (!layers_[static_cast<size_t>(hit)]->Locked) {
            drag_.MovingLayer = hit;
            SetTempCursor(kMoveCursor);
          }
        }
      }
    }
    if (mi & miScroll) {
      int32_t mx = 0, my = 0;
      GetMaxViewXY(mx, my);
      if (mx > 0 || my > 0) {
        drag_.Scrolling = true;
        SetTempCursor(kScrollCursor);
      }
    }
  }
  SelectionBase = savedBase;
  if (shift & ssDouble) ClosePolygon(shift);
}

void TPixoranView::MouseMove(TShiftState shift, int x, int y) {
  const TPXMouseInteractItems mi = mouseInteract_;
  if (!drag_.Down) {
    TCursor c = defaultCursor_;
    if (mi & kSelectModes) {
      const int32_t grip = SelectionGripAt(x, y);
      if (OnMouseInResizingGrip) OnMouseInResizingGrip(this, grip);
      if (grip != 0) c = GripCursor(grip);
      SelectionHover(x, y);
    } else if (mi & kLayerModes) {
      const int32_t grip = (mi & miResizeLayers) ? LayerGripAt(x, y) : 0;
      const int32_t hit = (mi & miMoveLayers) ? LayerAt(x, y) : -1;
      if (grip != 0) c = GripCursor(grip);
      else if (hit >= 0 && !layers_[static_cast<size_t>(hit)]->Locked) c = kMoveCursor;
    }
    if (c != cursorShown_) SetTempCursor(c);
  } else if (drag_.Button == mbLeft) {
    if (drag_.Scrolling) {
      SetViewXY(drag_.OriginX + drag_.PressX - x, drag_.OriginY + drag_.PressY - y);
    } else if (drag_.Selecting) {
      drag_.Shift = shift;
      // Outside the picture the view keeps scrolling on a timer until the
      // origin stops or the mouse comes back.
      if (AutoScroll(x, y)) SetTimer(kAutoScrollTimer, kAutoScrollMs);
      SelectionDrag(shift, x, y);
    } else if (drag_.MovingLayer >= 0 && drag_.MovingLayer < GetLayersCount()) {
      // Differences of converted positions add up to the whole movement.
      TPXLayer& l = *layers_[static_cast<size_t>(drag_.MovingLayer)];
      l.PosX = static_cast<int32_t>(std::clamp<int64_t>(
          int64_t{l.PosX} + ScreenToBitmapX(x) - ScreenToBitmapX(drag_.LastX), INT32_MIN, INT32_MAX));
      l.PosY = static_cast<int32_t>(std::clamp<int64_t>(
          int64_t{l.PosY} + ScreenToBitmapY(y) - ScreenToBitmapY(drag_.LastY), INT32_MIN, INT32_MAX));
      BoundLayer(l);
      drag_.Moved = true;
      Update();
      DoLayerNotify(drag_.MovingLayer, 1);
    } else if (drag_.LayerGrip != 0) {
      ResizeLayerByGrip(x, y, (shift & ssShift) != 0);
      if (TPXLayer* l = GetLayer(currentLayer_)) BoundLayer(*l);
      Update();
      DoLayerNotify(currentLayer_, 2);
    }
  }
  if (OnMouseInSel && PointInSelection(x, y)) OnMouseInSel(this);
  drag_.LastX = x;
  drag_.LastY = y;
}

void TPixoranView::ResizeLayerByGrip(int32_t x, int32_t y, bool keepAspect) {
  TPXLayer* l = GetLayer(currentLayer_);
  if (!l) return;
  const int32_t mx = ScreenToBitmapX(x), my = ScreenToBitmapY(y);
  const int32_t dx = mx - ScreenToBitmapX(drag_.PressX), dy = my - ScreenToBitmapY(drag_.PressY);
  const int32_t x0 = drag_.LayerPosX, y0 = drag_.LayerPosY, w0 = drag_.LayerW, h0 = drag_.LayerH;
  int32_t grip = drag_.LayerGrip;
  if (keepAspect && (grip == 3 || grip == 6 || grip == 8)) grip = 3;
  int32_t w = w0, h = h0, px = x0, py = y0;
  // Sizes from 1 to the reach; a side that shrinks from the left or top keeps
  // its far edge, and stops moving once it is one pixel.
  const int64_t reachW = int64_t{kPXLayerReach} * std::max(extentW_, 1);
  const int64_t reachH = int64_t{kPXLayerReach} * std::max(extentH_, 1);
  auto sizeW = [reachW](int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, 1, reachW)); };
  auto sizeH = [reachH](int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, 1, reachH)); };
  auto fromLeft = [&] {
    w = sizeW(int64_t{w0} - dx);
    px = x0 + (w0 - w);
  };
  auto fromTop = [&] {
    h = sizeH(int64_t{h0} - dy);
    py = y0 + (h0 - h);
  };
  switch (grip) {
    case 1:
      fromLeft();
      fromTop();
      break;
    case 2:
      w = sizeW(int64_t{w0} + dx);
      fromTop();
      break;
    case 3:
      w = sizeW(int64_t{mx} - x0);
      h = sizeH(int64_t{my} - y0);
      break;
    case 4:
      fromLeft();
      h = sizeH(int64_t{h0} + dy);
      break;
    case 5: fromLeft(); break;
    case 6: w = sizeW(int64_t{w0} + dx); break;
    case 7: fromTop(); break;
    case 8: h = sizeH(int64_t{h0} + dy); break;
    default: return;
  }
  if (keepAspect && grip == 3) {
    TPXBitmap* b = l->Bitmap();
    if (b->Width() > 0) h = sizeH(static_cast<int64_t>(w) * b->Height() / b->Width());
  }
  l->Width = w;
  l->Height = h;
  l->PosX = px;
  l->PosY = py;
}

void TPixoranView::BoundLayer(TPXLayer& layer) {
  const int64_t reachX = int64_t{kPXLayerReach} * std::max(extentW_, 1);
  const int64_t reachY = int64_t{kPXLayerReach} * std::max(extentH_, 1);
  if (layer.Width != 0) layer.Width = static_cast<int32_t>(std::clamp<int64_t>(layer.Width, 1, reachX));
  if (layer.Height != 0) layer.Height = static_cast<int32_t>(std::clamp<int64_t>(layer.Height, 1, reachY));
  layer.PosX = static_cast<int32_t>(std::clamp<int64_t>(layer.PosX, -reachX, reachX));
  layer.PosY = static_cast<int32_t>(std::clamp<int64_t>(layer.PosY, -reachY, reachY));
}

void TPixoranView::AutoScrollTick() {
  // The last position the mouse reported: it moves the view one step a tick.
  if (!drag_.Down || !drag_.Selecting || !AutoScroll(drag_.LastX, drag_.LastY)) {
    KillTimer(kAutoScrollTimer);
    return;
  }
  SelectionDrag(drag_.Shift, drag_.LastX, drag_.LastY);
}

bool TPixoranView::AutoScroll(int32_t x, int32_t y) {
  auto outside = [](int32_t v, int32_t lo, int32_t hi) { return v < lo ? v - lo : v > hi ? v - hi : 0; };
  const int32_t dx = outside(x, offX_, offX_ + dispW_), dy = outside(y, offY_, offY_ + dispH_);
  if (dx == 0 && dy == 0) return false;
  const int32_t ox = viewX_, oy = viewY_;
  SetViewXY(viewX_ + dx, viewY_ + dy);
  if (viewX_ == ox && viewY_ == oy) return false;
  ShiftSelection(ox - viewX_, oy - viewY_);
  return true;
}

void TPixoranView::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  if (!drag_.Down || button != drag_.Button) return;
  const TPXMouseInteractItems mi = mouseInteract_;
  const TDragState d = drag_;
  drag_ = TDragState{};
  KillTimer(kAutoScrollTimer);
  x = std::clamp(x, offX_, offX_ + dispW_);
  y = std::clamp(y, offY_, offY_ + dispH_);
  bool made = false;
  if ((mi & miZoom) && x == d.PressX && y == d.PressY && !IsEmpty()) {
    double z = zoom_;
    if (button == mbLeft) {
      z = ClickZoomIn(zoom_);
      if (OnZoomIn) OnZoomIn(this, z);
    } else if (button == mbRight) {
      z = ClickZoomOut(zoom_);
      if (OnZoomOut) OnZoomOut(this, z);
    }
    if (z != zoom_) ZoomAt(d.PressX, d.PressY, z);
    if (mi & miScroll) RestoreCursor();
  }
  if (button == mbLeft) {
    if (d.Scrolling) {
      SetViewXY(d.OriginX + d.PressX - x, d.OriginY + d.PressY - y);
      RestoreCursor();
    }
    if (mi & kSelectModes) {
      if ((mi & miSelectMagicWand) && !d.Selecting) {
        SetOverrideCursor(crHourGlass);
        MagicWandAt(x, y, (shift & ssShift) && ShiftAdd);
        RestoreOverrideCursor();
        RestoreCursor();
        made = true;
      } else {
        made = SelectionRelease(mi, shift, x, y);
        if (mi & miSelectZoom) {
          ZoomToSelection();
          PopSelection();
        }
      }
    }
    if (d.MovingLayer >= 0) {
      RestoreCursor();
      DoLayerNotify(d.MovingLayer, 1);
    }
    if (d.LayerGrip != 0) DoLayerNotify(currentLayer_, 2);
  }
  if (made && OnSelectionChange) OnSelectionChange(this);
  if (zoomFilter_ != pressFilter_) {
    zoomFilter_ = pressFilter_;
    dirty_ = true;
    Invalidate();
  }
}

// ------------------------------------------------------------ keys

void TPixoranView::KeyDown(int& key, TShiftState shift) {
  if (!(shift & ssShift) || !ShiftAdd) return;
  if (cursorShown_ == kPXDefaultViewCursor) SetTempCursor(kAddCursor);
  else if (cursorShown_ == kPlainSelectCursor) SetTempCursor(kAddSelectCursor);
}

void TPixoranView::KeyUp(int& key, TShiftState shift) {
  if (!(shift & ssShift)) RestoreCursor();
}

// ------------------------------------------------------------ navigator link

void TPixoranView::SetLinkedView(TPixoranView* view) {
  if (view == linked_ || view == this) return;
  if (linked_) {
    linked_->OnSelectionChanging = nullptr;
    linked_->RemoveFreeNotification(this);
  }
  linked_ = view;
  if (!view) return;
  view->FreeNotification(this);
  view->SetAutoFit(true);
  view->SetMouseInteract(miSelect);
  view->SelectionBase = pxsbBitmap;
  view->Assign(this);
  view->OnSelectionChanging = [this](TObject*) { LinkedSelectionChanging(); };
  AfterLayout();
}

void TPixoranView::LinkedSelectionChanging() {
  TRect box;
  if (!linked_ || !linked_->SelectionBox(box)) return;
  SetViewXY(RoundToInt32(box.Left * zoom_ / 100.0), RoundToInt32(box.Top * zoom_ / 100.0));
}

void TPixoranView::AfterLayout() {
  if (!linked_ || inLinkUpdate_) return;
  inLinkUpdate_ = true;
  Invalidate();
  // The navigator's fixed box shows the visible part of this view.
  linked_->FixedSelectionWidth = visImgW_;
  linked_->FixedSelectionHeight = visImgH_;
  inLinkUpdate_ = false;
}

void TPixoranView::ComponentRemoved(TComponent* component) {
  if (component == linked_) linked_ = nullptr;
  TPXView::ComponentRemoved(component);
}

}  // namespace pixoran
