// The viewer's geometry: construction, layers, zoom, origin, coordinate
// tables, fitting, scroll bars and the wheel.
#include <algorithm>
#include <cmath>
#include <limits>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_draw.h"
#include "core/kopxutils_helpers.h"
#include "io/pixoranio.h"
#include "proc/pixoranproc.h"
#include "view/pixoranview.h"

namespace pixoran {

namespace {
// Window timer of the delayed zoom filter and the marching ants.
constexpr uint32_t kDelayTimer = 1;
constexpr uint32_t kDelayTimerMs = 210;
// Posted by the background I/O thread when a load has finished.
constexpr uint32_t kLoadFinishedMessage = 0x1F58;

// Largest zoomed size (and coordinate-table length) the geometry takes on.
constexpr double kMaxZoomed = 1.0e9;

}  // namespace

// ------------------------------------------------------------ unit state

const TPXViewUnitState& ViewUnitState() {
  static const TPXViewUnitState state = [] {
    TPXViewUnitState s;
    s.ColorDepth = ScreenColorDepth();
    s.ScreenDpiX = ScreenDpiX();
    s.ScreenDpiY = ScreenDpiY();
    s.CXEdge = ViewEdgeX();
    s.CYEdge = ViewEdgeY();
    s.CXVScroll = s.CYHScroll = ScrollBarThickness();
    return s;
  }();
  return state;
}

void LoadViewCursors() {
  static const bool loaded = [] {
    // 1778.. in order; 1785 (the eighth) is the default.
    static constexpr TCursorShape kShapes[kPXViewCursorCount] = {
        cshCross,      cshPointingHand, cshOpenHand,     cshClosedHand, cshIBeam,    cshUpArrow,    cshWait,
        cshArrow,      cshSizeFDiag,    cshSizeVer,      cshSizeBDiag,  cshSizeHor,  cshSizeAll,    cshDragCopy,
        cshClosedHand, cshCross,        cshDragCopy,     cshDragMove,   cshDragLink, cshForbidden,  cshBusy,
        cshCross,      cshCross,        cshCross,        cshCross,      cshOpenHand, cshClosedHand, cshSizeAll,
        cshWhatsThis,  cshArrow,        cshPointingHand, cshCross,      cshCross};
    for (int32_t i = 0; i < kPXViewCursorCount; ++i) SetScreenCursor(kPXFirstViewCursor + i, kShapes[i]);
    return true;
  }();
  (void)loaded;
}

// ------------------------------------------------------------ layer

TPXLayer::TPXLayer(TPXBitmap* bitmap, bool useBitmap) {
  if (useBitmap && bitmap) {
    SetBitmap(bitmap, true);
    return;
  }
  auto own = std::make_unique<TPXBitmap>();
  if (bitmap && bitmap->Width() > 0 && bitmap->Height() > 0) {
    own->MemoryThreshold = bitmap->MemoryThreshold;
    own->Allocate(bitmap->Width(), bitmap->Height(), bitmap->PixelFormat());
    if (bitmap->Location() == pxTBitmap) own->SetLocation(pxTBitmap);
  }
  SetBitmap(own.release(), true);
}

TPXLayer::~TPXLayer() = default;

void TPXLayer::SetBitmap(TPXBitmap* bitmap, bool owns) {
  bitmap_ = bitmap;
  // The layer's own bitmap handed back stays its own.
  if (bitmap && bitmap == owned_.get()) return;
  owned_.reset(owns ? bitmap : nullptr);
}

int32_t TPXLayer::GetWidth() const { return Width != 0 ? Width : (bitmap_ ? bitmap_->Width() : 0); }
int32_t TPXLayer::GetHeight() const { return Height != 0 ? Height : (bitmap_ ? bitmap_->Height() : 0); }

// ------------------------------------------------------------ construction

TPixoranView::TPixoranView(TComponent* owner, TWinControl* parent) : TPXView(owner, parent) {
  LoadViewCursors();
  (void)ViewUnitState();
  BeginLayout();
  auto image = std::make_unique<TPXBitmap>();
  image->Allocate(1, 1, pxBGR24);
  image->SetLocation(pxTBitmap);
  image->Fill(BackgroundFill(*image));
  layers_.push_back(std::make_unique<TPXLayer>(image.release(), true));
  layers_[0]->Frame = false;
  layers_[0]->Locked = true;
  image_ = layers_[0]->Bitmap();
  mask_ = std::make_unique<TPXMask>();
  transition_ = std::make_unique<TPXTransitionEffects>(this);
  mask_->Allocate(image_->Width(), image_->Height(), 1);
  SetDpi(300, 300);
  TWinControl::SetCursor(defaultCursor_);
  SetBounds(Left(), Top(), 105, 105);
  EndLayout();
}

TPixoranView::~TPixoranView() {
  // Subscribers let go of the image while it still exists.
  CallDestroyingEvents();
  KillTimer(kDelayTimer);
  SetLinkedView(nullptr);
  proc_.reset();
  io_.reset();
  layers_.clear();
}

// ------------------------------------------------------------ image and layers

TBitmap* TPixoranView::GetTBitmap() { return image_->Location() == pxTBitmap ? image_->VclBitmap() : nullptr; }

TPXBitmap* TPixoranView::GetAlphaChannel() {
  TPXBitmap* a = image_->GetAlphaChannel();
  Update();
  return a;
}

bool TPixoranView::HasAlphaChannel() { return image_->HasAlphaChannel(); }

void TPixoranView::RemoveAlphaChannel(bool merge) {
  if (!image_->HasAlphaChannel()) return;
  if (merge) {
    // Blend the image over the background by its alpha first.
    TPXBitmap flat;
    flat.MemoryThreshold = image_->MemoryThreshold;
    if (flat.Allocate(image_->Width(), image_->Height(), pxBGR24)) {
      flat.Fill(BackgroundFill(flat));
      TPXRenderOptions o;
      o.UseAlpha = true;
      const TPXRenderRect r{0, 0, image_->Width(), image_->Height(), 0, 0, image_->Width(), image_->Height()};
      RenderToBitmap(*image_, flat, r, o);
      if (image_->PixelFormat() != pxBGR24) image_->ConvertPixelFormat(pxBGR24);
      image_->RemoveAlphaChannel();
      image_->CopyPixelsFrom(flat);
    }
  }
  image_->RemoveAlphaChannel();
  Update();
}

void TPixoranView::SetLegacyBitmap(bool value) {
  if (value == legacyBitmap_) return;
  legacyBitmap_ = value;
  // The rows move: a worker writing into them finishes first.
  CallBitmapReleaseEvents(image_, false);
  image_->SetLocation(value ? pxTBitmap : pxInMemory);
  CallBitmapChangeEvents();
  Update();
}

void TPixoranView::SetEnableAlphaChannel(bool value) {
  enableAlpha_ = value;
  Update();
}

bool TPixoranView::IsEmpty() { return image_->Width() < 2 && image_->Height() < 2; }

TPXLayer* TPixoranView::GetLayer(int32_t index) const {
  return index >= 0 && index < GetLayersCount() ? layers_[static_cast<size_t>(index)].get() : nullptr;
}

void TPixoranView::SetImage(TPXBitmap* image) { image_ = image; }

double TPixoranView::BackgroundFill(TPXBitmap& b) { return FillValue(b, ColorToRGB(Background())); }

void TPixoranView::SyncLayers() {
  // The image is the current layer's bitmap itself: nothing to store back.
  TPXLayer& first = *layers_[0];
  extentW_ = first.GetWidth();
  extentH_ = first.GetHeight();
  if (!layersSameSize_ || layers_.size() < 2) return;
  for (const auto& l : layers_) {
    extentW_ = std::max(extentW_, l->Bitmap()->Width());
    extentH_ = std::max(extentH_, l->Bitmap()->Height());
  }
  for (const auto& l : layers_) {
    TPXBitmap* b = l->Bitmap();
    if (b->Width() == extentW_ && b->Height() == extentH_) continue;
    try {
      const int32_t w = b->Width(), h = b->Height();
      const double fill = BackgroundFill(*b);
      b->Resize(extentW_, extentH_, TruncToInt32(fill), 0, 0, 0);
      if (b->PixelFormat() == px32f) {
        // Resize takes whole numbers; a float fill goes over the new area.
        b->FillRect(w, 0, extentW_ - 1, extentH_ - 1, fill);
        b->FillRect(0, h, w - 1, extentH_ - 1, fill);
      }
    } catch (const EPXBitmapError&) {
      // No room to enlarge it: it is drawn at its own size.
    }
  }
}

void TPixoranView::SetLayersSameSize(bool value) {
  if (layersSameSize_ && !value) layersSameSize_ = false;
}

void TPixoranView::SetShowAllLayerFrames(bool value) {
  showAllFrames_ = value;
  Update();
}

void TPixoranView::FillWithBackground() {
  image_->Fill(BackgroundFill(*image_));
  image_->RemoveAlphaChannel();
  Update();
}

void TPixoranView::SetBackground(TColor color) {
  TPXView::SetBackground(color);
  Update();
  ImageChange();
}

TPixoranIO* TPixoranView::GetIO() {
  if (!io_) {
    io_ = std::make_unique<TPixoranIO>(this);
    io_->OnProgress = onProgress_;
    io_->SetAttachedPixoran(this);
  }
  return io_.get();
}

void TPixoranView::SetOnProgress(TPXProgressEvent handler) {
  onProgress_ = std::move(handler);
  if (io_) io_->OnProgress = onProgress_;
  if (proc_) proc_->OnProgress = onProgress_;
}

// ------------------------------------------------------------ zoom and origin

void TPixoranView::StoreZoom(double z) {
  zoom_ = z;
  zoomF_ = z / 100.0;
  zoomInv_ = 100.0 / z;
}

// The zoomed picture, the origin and the coordinate tables (zoomed size
// plus the client) must stay within int32.
bool TPixoranView::ZoomFits(double z) {
  if (!(z > 0.0) || !std::isfinite(z)) return false;
  const double f = z / 100.0;
  const double room = std::max(ViewClientWidth(), ViewClientHeight()) + 2.0;
  const double w = (extentW_ + extentMargin_) * f + room, h = (extentH_ + extentMargin_) * f + room;
  return w < kMaxZoomed && h < kMaxZoomed;
}

void TPixoranView::ReloadDelayCounters() {
  if (DelayZoomFilter && zoomFilter_ != rfNone && zoom_ != 100.0) delay1_ = delayReload1_;
  delay2_ = delayReload2_;
  if (delay1_ > 0) StartViewTimer();
}

void TPixoranView::StartViewTimer() {
  if (!timerRunning_) timerRunning_ = SetTimer(kDelayTimer, kDelayTimerMs);
}

// The one timer serves the marching ants and the delayed filter: it runs
// while either needs it.
void TPixoranView::UpdateAntsTimer() {
  if (AntsAnimated()) {
    StartViewTimer();
  } else if (timerRunning_ && delay1_ == 0 && delay2_ == 0) {
    KillTimer(kDelayTimer);
    timerRunning_ = false;
  }
}

void TPixoranView::CountDownDelay() {
  if (delay1_ > 0 && --delay1_ == 0) {
    // Movement has stopped: the filtered picture follows.
    dirty_ = true;
    Invalidate();
  }
  if (delay2_ > 0) --delay2_;
}

void TPixoranView::Timer(uint32_t id) {
  if (id == kAutoScrollTimer) {
    AutoScrollTick();
    return;
  }
  if (id != kDelayTimer) return;
  // The repaint the ants ask for counts the delay down; without one the
  // tick does.
  if (!AntsTick()) CountDownDelay();
  if (delay1_ == 0 && delay2_ == 0 && !AntsAnimated()) {
    KillTimer(kDelayTimer);
    timerRunning_ = false;
  }
}

void TPixoranView::SetZoom(double value) {
  if (value <= 0.0 || value == zoom_ || !ZoomFits(value)) return;
  ReloadDelayCounters();
  LockUpdate();
  ZoomKeepCentre(value);
  Update();
  Update();
  ComputeVisibleRect();
  RebuildCoordTables();
  UnlockUpdateNoPaint();
  Invalidate();
  DoViewChange(1);
}

void TPixoranView::ZoomKeepCentre(double z) {
  const int32_t cx = ViewClientWidth() / 2, cy = ViewClientHeight() / 2;
  const int32_t c = RoundToInt32((static_cast<double>(cx) + viewX_ - offX_) * zoomInv_);
  const int32_t r = RoundToInt32((static_cast<double>(cy) + viewY_ - offY_) * zoomInv_);
  StoreZoom(z);
  // The new zoom's maximum: the old one would let the origin run past the
  // picture after zooming out, or stop short after zooming in.
  int32_t mx = 0, my = 0;
  GetMaxViewXY(mx, my);
  viewX_ = std::clamp(TruncToInt32(c * z / 100.0 - cx), 0, std::max(mx, 0));
  viewY_ = std::clamp(TruncToInt32(r * z / 100.0 - cy), 0, std::max(my, 0));
}

void TPixoranView::ZoomAt(int32_t x, int32_t y, double z) {
  LockUpdate();
  const int32_t ix = ScreenToBitmapX(x), iy = ScreenToBitmapY(y);
  SetZoom(z);
  SetViewXY(TruncToInt32(ix * zoom_ / 100.0 - ClientWidth() / 2),
            TruncToInt32(iy * zoom_ / 100.0 - ClientHeight() / 2));
  UnlockUpdate();
  ComputeVisibleRect();
  RebuildCoordTables();
  DoViewChange(1);
}

void TPixoranView::SetViewXY(int32_t x, int32_t y) {
  if (x == viewX_ && y == viewY_) return;
  int32_t mx = 0, my = 0;
  GetMaxViewXY(mx, my);
  x = std::clamp(x, 0, std::max(mx, 0));
  y = std::clamp(y, 0, std::max(my, 0));
  if (x == viewX_ && y == viewY_) return;
  const bool movedX = x != viewX_, movedY = y != viewY_;
  viewX_ = x;
  viewY_ = y;
  ReloadDelayCounters();
  dirty_ = true;
  ComputeVisibleRect();
  RebuildCoordTables();
  Invalidate();
  DoViewChange(0);
  // A view not laid out with a parent has no scroll factor yet.
  if (movedX && factorX_ > 0.0 && (scrollBars_ == ssHorizontal || scrollBars_ == ssBoth))
    ScrollBarSetPos(this, sbHorizontal, TruncToInt32(viewX_ / factorX_), true, flatScrollBars_);
  if (movedY && factorY_ > 0.0 && (scrollBars_ == ssVertical || scrollBars_ == ssBoth))
    ScrollBarSetPos(this, sbVertical, TruncToInt32(viewY_ / factorY_), true, flatScrollBars_);
}

void TPixoranView::GetMaxViewXY(int32_t& mx, int32_t& my) {
  const int32_t cw = ViewClientWidth(), ch = ViewClientHeight();
  int32_t a = TruncToInt32(extentW_ * zoomF_), b = TruncToInt32(extentH_ * zoomF_);
  if (static_cast<int64_t>(cw) + 10 < a || static_cast<int64_t>(ch) + 10 < b) {
    a = TruncToInt32((extentW_ + extentMargin_) * zoomF_);
    b = TruncToInt32((extentH_ + extentMargin_) * zoomF_);
  }
  mx = my = 0;
  if (a <= 0 || b <= 0) return;
  if (Width() >= a && Height() >= b) return;
  // An origin that shows no further image column or row is none.
  mx = std::max(a - cw, 0);
  my = std::max(b - ch, 0);
  if (TruncToInt32(mx * zoomInv_) == 0) mx = 0;
  if (TruncToInt32(my * zoomInv_) == 0) my = 0;
}

void TPixoranView::SetCenter(bool value) {
  if (value == center_) return;
  center_ = value;
  Update();
}

void TPixoranView::SetZoomFilter(TResampleFilter value) {
  pressFilter_ = value;
  if (value == zoomFilter_) return;
  zoomFilter_ = value;
  Update();
}

void TPixoranView::EndLayout() {
  if (layoutLock_ > 0) --layoutLock_;
  if (layoutLock_ == 0) Update();
}

int32_t TPixoranView::ViewClientWidth() { return HasParentWindow() ? ClientWidth() : 50; }
int32_t TPixoranView::ViewClientHeight() { return HasParentWindow() ? ClientHeight() : 50; }

// A top-level widget is a window of its own; a child has its parent's.
bool TPixoranView::HasParentWindow() { return Widget() != nullptr; }

void TPixoranView::UnlockUpdate() {
  if (updateLock_ > 0) --updateLock_;
  if (updateLock_ == 0) Update();
}

void TPixoranView::UnlockUpdateNoPaint() {
  if (updateLock_ > 0) --updateLock_;
}

void TPixoranView::ImageChange() {
  // A navigator shows the new image (once, should two views be linked both ways).
  if (linked_ && !inLinkUpdate_) {
    inLinkUpdate_ = true;
    linked_->Assign(this);
    inLinkUpdate_ = false;
  }
  if (OnImageChange) OnImageChange(this);
}

void TPixoranView::DoViewChange(int32_t change) {
  if (OnViewChange) OnViewChange(this, change);
  if (linked_) linked_->Invalidate();
}

void TPixoranView::Resize() {
  // Qt repeats the resize of a hidden widget when it is first painted.
  if (Width() == sizeW_ && Height() == sizeH_) return;
  sizeW_ = Width();
  sizeH_ = Height();
  StopTransition();
  Update();
}

void TPixoranView::HandleMessage(TMessage& message) {
  switch (message.Msg) {
    case kLoadFinishedMessage: Update(); return;
    case kPXNewFrameMessage:
    case kPXPlayerEventMessage:
      // The object only when its handle is still registered.
      if (TObject* o = MessageObject(message.LParam)) {
        const TPXObjectEvent& e = message.Msg == kPXNewFrameMessage ? OnDShowNewFrame : OnDShowEvent;
        if (e) e(this, o);
      }
      return;
    case cmWantSpecialKey: {
      bool handled = false;
      if (OnSpecialKey) OnSpecialKey(this, static_cast<int32_t>(message.WParam), handled);
      // The paging and arrow keys are the viewer's, not focus navigation's.
      if (!handled && message.WParam >= vkPrior && message.WParam <= vkDown) message.Result = 1;
      return;
    }
    default: break;
  }
  TPXView::HandleMessage(message);
}

// ------------------------------------------------------------ layout

void TPixoranView::Update() {
  StopTransition();
  Layout(0);
}

void TPixoranView::StopTransition() {
  if (transition_) transition_->Stop();
}

void TPixoranView::Layout(int32_t pass) {
  if (layoutLock_ > 0) return;
  SyncLayers();
  if ((autoFit_ || autoStretch_ || autoShrink_) && extentW_ != 0 && extentH_ != 0) {
    int32_t bx = 0, by = 0;
    GetBorderSize(bx, by, false);
    double z = 100.0;
    if (extentW_ >= 2 || extentH_ >= 2)
      z = GetAutoZoom(extentW_, extentH_, ClientWidth() - 2 * bx, ClientHeight() - 2 * by, autoStretch_ || autoFit_,
                      autoShrink_ || autoFit_);
    if (z < 1.0) z = 1.0;
    if (ZoomFits(z)) StoreZoom(z);
    ComputeExtent();
    ComputeVisibleRect();
    RebuildCoordTables();
    DoViewChange(1);
    delay1_ = delay2_ = 0;
  }
  if (image_->Width() != lastImgW_ || image_->Height() != lastImgH_) {
    lastImgW_ = image_->Width();
    lastImgH_ = image_->Height();
    DropSelection();  // a selection of the old size means nothing now
    mask_->Allocate(lastImgW_, lastImgH_, maskDepth_);
    if (image_->HasAlphaChannel()) {
      TPXBitmap* a = image_->GetAlphaChannel();
      if (a->Width() != lastImgW_ || a->Height() != lastImgH_) {
        a->Allocate(lastImgW_, lastImgH_, pxGray8);
        a->Fill(255);
      }
    }
  }
  const int32_t cw = ClientWidth(), ch = ClientHeight();
  int32_t mx = 0, my = 0;
  GetMaxViewXY(mx, my);
  if (viewX_ > mx || viewY_ > my) {
    viewX_ = std::min(viewX_, mx);
    viewY_ = std::min(viewY_, my);
    DoViewChange(0);
  }
  if (HasParentWindow()) {
    LayoutBar(sbHorizontal, mx, cw, viewX_, factorX_, horzShown_);
    LayoutBar(sbVertical, my, ch, viewY_, factorY_, vertShown_);
  }
  // A bar that came or went changed the client: lay out again, at most once
  // per bar, so the layout settles and each page fits the final client.
  if ((ClientWidth() != cw || ClientHeight() != ch) && pass < 2) {
    Layout(pass + 1);
    return;
  }
  ComputeExtent();
  ComputeVisibleRect();
  RebuildCoordTables();
  dirty_ = true;
  if (HasParentWindow()) Invalidate();
  AfterLayout();
}

void TPixoranView::LayoutBar(TScrollBarKind bar, int32_t maximum, int32_t client, int32_t origin, double& factor,
                             bool& shown) {
  const bool wanted = scrollBars_ == ssBoth || scrollBars_ == (bar == sbHorizontal ? ssHorizontal : ssVertical);
  shown = LayoutScrollBar(bar, wanted, maximum, client, origin, 0, barsAlwaysVisible_, flatScrollBars_, factor) ||
          (wanted && barsAlwaysVisible_);
}

void TPixoranView::ComputeExtent() {
  zoomW_ = RoundToInt32(extentW_ * zoomF_);
  zoomH_ = RoundToInt32(extentH_ * zoomF_);
  offX_ = offY_ = 0;
  const int32_t cw = ViewClientWidth(), ch = ViewClientHeight();
  dispW_ = std::min(cw, zoomW_);
  dispH_ = std::min(ch, zoomH_);
  if (center_) {
    if (dispW_ < cw) offX_ = (cw - dispW_) / 2;
    if (dispH_ < ch) offY_ = (ch - dispH_) / 2;
  }
}

void TPixoranView::ComputeVisibleRect() {
  auto axis = [this](int32_t zoomed, int32_t extent, int32_t displayed, int32_t snapped, int32_t& first,
                     int32_t& imageSize, int32_t& clientSize) {
    if (zoomed != 0) {
      const double ratio = static_cast<double>(extent) / zoomed;
      first = RoundToInt32(snapped * ratio);
      imageSize = RoundToInt32(ratio * displayed);
      if (static_cast<int64_t>(first) + imageSize > extent) --imageSize;
    }
    if (zoom_ <= 100.0) {
      clientSize = displayed;
    } else {
      clientSize = TruncToInt32(imageSize * zoomF_);
      if (clientSize < displayed && static_cast<int64_t>(first) + imageSize + 1 <= extent) {
        ++imageSize;
        clientSize = TruncToInt32(imageSize * zoomF_);
      }
    }
  };
  axis(zoomW_, extentW_, dispW_, SnapViewX(viewX_), visCol_, visImgW_, visCliW_);
  axis(zoomH_, extentH_, dispH_, SnapViewY(viewY_), visRow_, visImgH_, visCliH_);
}

namespace {
// The smallest v in [0, hi] with reached(v), hi + 1 when none; reached
// must be monotone (false, then true).
template <class F>
int64_t FirstReached(int64_t hi, F reached) {
  int64_t lo = 0, end = hi + 1;
  while (lo < end) {
    const int64_t mid = lo + (end - lo) / 2;
    if (reached(mid)) end = mid;
    else lo = mid + 1;
  }
  return lo;
}
}  // namespace

// Above 100 % pixel j shows column Trunc(j / factor) (cut to the last
// column), and a column starts at its smallest pixel; at 100 % or below
// column k starts at pixel Trunc(k x factor), and a pixel shows the
// smallest column starting there. Entries no column or pixel reaches are 0.
// The products are those the whole tables were filled with, so every entry
// is the same number.
int32_t TPixoranView::TAxisTables::PixToColAt(int64_t j) const {
  if (Up) return std::min({TruncToInt32(j * ZoomInv), static_cast<int32_t>(AllColumns), Last});
  const int64_t k = FirstReached(AllColumns, [this, j](int64_t c) { return TruncToInt32(c * ZoomF) >= j; });
  if (k > AllColumns || TruncToInt32(k * ZoomF) != j) return 0;
  return std::min(static_cast<int32_t>(k), Last);
}

int32_t TPixoranView::TAxisTables::ColToPixAt(int64_t c) const {
  if (!Up) return TruncToInt32(c * ZoomF);
  const int64_t j = FirstReached(Pixels, [this, c](int64_t p) { return TruncToInt32(p * ZoomInv) >= c; });
  if (j > Pixels || std::min(TruncToInt32(j * ZoomInv), static_cast<int32_t>(AllColumns)) != c) return 0;
  return static_cast<int32_t>(j);
}

void TPixoranView::TAxisTables::Define(double zoom, int32_t zoomed, int32_t client, int32_t extent, double zoomF,
                                       double zoomInv) {
  Reset();
  ZoomF = zoomF;
  ZoomInv = zoomInv;
  Up = zoom > 100.0;
  Columns = TruncToInt32(client * zoomInv);
  Pixels = static_cast<int64_t>(zoomed) + client;
  AllColumns = TruncToInt32((Pixels + 1) * zoomInv);
  Last = std::max(extent - 1, 0);
}

void TPixoranView::TAxisTables::Reset() {
  // The buffers keep their room for the next zoom.
  PixToCol.clear();
  ColToPix.clear();
  PixStart = ColBase = Columns = Last = 0;
  Pixels = AllColumns = -1;
  ZoomF = ZoomInv = 1.0;
  Up = false;
}

void TPixoranView::TAxisTables::Window(int32_t start, int32_t pixels, int32_t first) {
  if (!Exist()) return;
  PixStart = static_cast<int32_t>(std::clamp<int64_t>(start, 0, Pixels));
  const int64_t n = std::clamp<int64_t>(pixels, 0, Pixels + 1 - PixStart);
  PixToCol.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) PixToCol[static_cast<size_t>(i)] = PixToColAt(PixStart + i);
  // The columns those pixels show.
  ColBase = std::max(first, 0);
  const int64_t last = n > 0 ? std::max<int64_t>(PixToCol.back(), ColBase - 1) : ColBase - 1;
  const int64_t columns = std::clamp<int64_t>(last + 1 - ColBase, 0, std::max<int64_t>(AllColumns + 1 - ColBase, 0));
  ColToPix.resize(static_cast<size_t>(columns));
  for (int64_t i = 0; i < columns; ++i) ColToPix[static_cast<size_t>(i)] = ColToPixAt(ColBase + i);
}

int32_t TPixoranView::OnClientPixels(int32_t visible, int32_t client, int32_t offset) {
  return std::clamp(std::min(visible, client - offset), 0, std::max(visible, 0));
}

void TPixoranView::RebuildCoordTables() {
  if (zoom_ != keyZoom_ || visCliW_ != keyCliW_ || visCliH_ != keyCliH_ || extentW_ != keyExtW_ ||
      extentH_ != keyExtH_) {
    tabX_.Reset();
    tabY_.Reset();
    keyZoom_ = -1.0;
    if (visCliW_ <= 0 || visCliH_ <= 0 || image_->Width() == 0 || image_->Height() == 0) return;
    tabX_.Define(zoom_, zoomW_, visCliW_, extentW_, zoomF_, zoomInv_);
    tabY_.Define(zoom_, zoomH_, visCliH_, extentH_, zoomF_, zoomInv_);
    keyZoom_ = zoom_;
    keyCliW_ = visCliW_;
    keyCliH_ = visCliH_;
    keyExtW_ = extentW_;
    keyExtH_ = extentH_;
  }
  // The stretches the client shows, which follow the origin: at a high zoom
  // the visible client size runs far past the client.
  tabX_.Window(SnapViewX(viewX_), OnClientPixels(visCliW_, ViewClientWidth(), offX_), visCol_);
  tabY_.Window(SnapViewY(viewY_), OnClientPixels(visCliH_, ViewClientHeight(), offY_), visRow_);
}

void TPixoranView::CoordTableLengths(int32_t& pixX, int32_t& colX, int32_t& pixY, int32_t& colY) const {
  pixX = static_cast<int32_t>(tabX_.PixToCol.size());
  colX = static_cast<int32_t>(tabX_.ColToPix.size());
  pixY = static_cast<int32_t>(tabY_.PixToCol.size());
  colY = static_cast<int32_t>(tabY_.ColToPix.size());
}

int64_t TPixoranView::TAxisTables::ColumnOfPixel(int64_t j, int32_t zoomed, double zoomInv) const {
  if (Exist() && j >= 0 && j < zoomed && j <= Pixels) return Column(j);
  // Beside the picture, where layers placed by position may reach.
  return static_cast<int64_t>(std::floor(static_cast<double>(j) * zoomInv));
}

int64_t TPixoranView::ImageColumnAtClient(int32_t x) {
  return tabX_.ColumnOfPixel(int64_t{x} - offX_ + tabX_.PixStart, zoomW_, zoomInv_);
}

int64_t TPixoranView::ImageRowAtClient(int32_t y) {
  return tabY_.ColumnOfPixel(int64_t{y} - offY_ + tabY_.PixStart, zoomH_, zoomInv_);
}

// ------------------------------------------------------------ coordinates

int32_t TPixoranView::TAxisTables::Column(int64_t j) const {
  const int64_t i = j - PixStart;
  return i >= 0 && i < static_cast<int64_t>(PixToCol.size()) ? PixToCol[static_cast<size_t>(i)] : PixToColAt(j);
}

int32_t TPixoranView::TAxisTables::Pixel(int64_t c) const {
  const int64_t i = c - ColBase;
  return i >= 0 && i < static_cast<int64_t>(ColToPix.size()) ? ColToPix[static_cast<size_t>(i)] : ColToPixAt(c);
}

int32_t TPixoranView::TAxisTables::Snap(int32_t o, int32_t zoomed) const {
  if (o < 0) return 0;
  if (o < zoomed && o <= Pixels) {
    const int32_t c = Column(o);
    if (c >= 0 && c <= AllColumns) return Pixel(c);
  }
  return o;
}

int32_t TPixoranView::SnapViewX(int32_t o) { return tabX_.Snap(o, zoomW_); }
int32_t TPixoranView::SnapViewY(int32_t o) { return tabY_.Snap(o, zoomH_); }

int32_t TPixoranView::ScreenToBitmapX(int32_t x) {
  const int32_t d = x - offX_;
  if (d >= 0 && d < visCliW_ && tabX_.Exist() && int64_t{tabX_.PixStart} + d <= tabX_.Pixels)
    return tabX_.Column(int64_t{tabX_.PixStart} + d);
  return TruncToInt32(d * zoomInv_ + visCol_);
}

int32_t TPixoranView::ScreenToBitmapY(int32_t y) {
  const int32_t d = y - offY_;
  if (d >= 0 && d < visCliH_ && tabY_.Exist() && int64_t{tabY_.PixStart} + d <= tabY_.Pixels)
    return tabY_.Column(int64_t{tabY_.PixStart} + d);
  return TruncToInt32(d * zoomInv_ + visRow_);
}

int32_t TPixoranView::BitmapToScreenX(int32_t x) {
  const int32_t d = x - visCol_;
  // The column's first zoomed pixel, less the snapped origin's.
  if (d >= 0 && x >= 0 && d < tabX_.Columns && tabX_.Exist() && x <= tabX_.AllColumns)
    return tabX_.Pixel(x) - tabX_.PixStart + offX_;
  return RoundToInt32((x + static_cast<double>(RoundToInt32(-SnapViewX(viewX_) * zoomInv_))) * zoomF_ + offX_);
}

int32_t TPixoranView::BitmapToScreenY(int32_t y) {
  const int32_t d = y - visRow_;
  if (d >= 0 && y >= 0 && d < tabY_.Columns && tabY_.Exist() && y <= tabY_.AllColumns)
    return tabY_.Pixel(y) - tabY_.PixStart + offY_;
  return RoundToInt32((y + static_cast<double>(RoundToInt32(-SnapViewY(viewY_) * zoomInv_))) * zoomF_ + offY_);
}

// ------------------------------------------------------------ fitting

void TPixoranView::GetBorderSize(int32_t& bx, int32_t& by, bool fitting) {
  const TPXViewUnitState& u = ViewUnitState();
  if (backgroundStyle_ == pxbsCropped) {
    bx = u.CXEdge;
    by = u.CYEdge;
  } else if (backgroundStyle_ == pxbsCropShadow) {
    bx = by = 5;
  } else if (fitting) {
    if (BorderStyle() == bsNone) {
      bx = by = 0;
    } else if (Ctl3D()) {
      bx = u.CXEdge;
      by = u.CYEdge;
    } else {
      bx = u.CXBorder;
      by = u.CYBorder;
    }
  } else {
    bx = (Width() - ClientWidth()) / 2;
    by = (Height() - ClientHeight()) / 2;
  }
}

double TPixoranView::GetFitZoom() {
  int32_t bx = 0, by = 0;
  GetBorderSize(bx, by, true);
  const double w = Width() - 2.0 * bx, h = Height() - 2.0 * by;
  // Nothing to fit into, or nothing to fit.
  if (extentW_ <= 0 || extentH_ <= 0 || w <= 0.0 || h <= 0.0) return 0.0;
  return std::min(w / (extentW_ / 100.0), h / (extentH_ / 100.0));
}

void TPixoranView::ZoomToFit() {
  const double z = GetFitZoom();
  if (z <= 0.0) return;
  HideHorzScrollBar();
  HideVertScrollBar();
  SetZoom(z);
}

double TPixoranView::GetAutoZoom(int32_t w, int32_t h, int32_t boxW, int32_t boxH, bool stretch, bool shrink) {
  if (w == 0 || h == 0 || boxW == 0 || boxH == 0) return 100.0;
  auto decide = [&](int32_t size, int32_t box) {
    const double fit = GetFitZoom();
    if (box < size) return shrink && fit > 0.0 ? fit : 100.0;
    return stretch && fit > 0.0 ? fit : 100.0;
  };
  if (static_cast<double>(w) / boxW <= static_cast<double>(h) / boxH) return decide(h, boxH);
  return decide(w, boxW);
}

void TPixoranView::ZoomToSelection() {
  TRect box;
  if (!SelectionBox(box)) return;
  const int32_t w = box.Right - box.Left + 1, h = box.Bottom - box.Top + 1;
  if (box.Left < 0 || box.Top < 0 || w < 2 || h < 2) return;
  Deselect();
  SetZoom(std::min(Height() / (h / 100.0), Width() / (w / 100.0)));
  // The box centred in the client.
  SetViewXY(TruncToInt32(box.Left * zoom_ / 100.0) - (ClientWidth() - TruncToInt32(w * zoom_ / 100.0)) / 2,
            TruncToInt32(box.Top * zoom_ / 100.0) - (ClientHeight() - TruncToInt32(h * zoom_ / 100.0)) / 2);
}

void TPixoranView::SetAutoFit(bool v) {
  autoFit_ = v;
  Update();
}
void TPixoranView::SetAutoStretch(bool v) {
  autoStretch_ = v;
  Update();
}
void TPixoranView::SetAutoShrink(bool v) {
  autoShrink_ = v;
  Update();
}

// ------------------------------------------------------------ scroll bars and wheel

void TPixoranView::SetScrollBars(TScrollStyle value) {
  scrollBars_ = value;
  if (value != ssVertical && value != ssBoth) HideVertScrollBar();
  if (value != ssHorizontal && value != ssBoth) HideHorzScrollBar();
  Update();
}

void TPixoranView::SetFlatScrollBars(bool value) {
  flatScrollBars_ = value;
  Update();
}

void TPixoranView::SetScrollBarsAlwaysVisible(bool value) {
  barsAlwaysVisible_ = value;
  Update();
}

void TPixoranView::HideHorzScrollBar() {
  if (!horzShown_) return;
  horzShown_ = false;
  ScrollBarShow(this, sbHorizontal, false, flatScrollBars_);
}

void TPixoranView::HideVertScrollBar() {
  if (!vertShown_) return;
  vertShown_ = false;
  ScrollBarShow(this, sbVertical, false, flatScrollBars_);
}

void TPixoranView::Scroll(TScrollBarKind bar, TScrollCode code, int32_t pos) {
  const TPXScrollBarParams& p = bar == sbHorizontal ? horzParams_ : vertParams_;
  const double factor = bar == sbHorizontal ? factorX_ : factorY_;
  TScrollAction action = saPosition;
  int32_t value = bar == sbHorizontal ? viewX_ : viewY_;
  switch (code) {
    case scLineUp: action = saLineBack; break;
    case scLineDown: action = saLineForward; break;
    case scPageUp: action = saPageBack; break;
    case scPageDown: action = saPageForward; break;
    case scTop: action = saStart; break;
    case scBottom: action = saEnd; break;
    case scThumbTrack:
      if (!p.Tracking) return;
      [[fallthrough]];
    case scThumbPosition: value = TruncToInt32(pos * factor); break;
    default: break;  // end of scroll: stay at the current origin
  }
  if (bar == sbHorizontal) ScrollHorz(action, value);
  else ScrollVert(action, value);
}

namespace {
int32_t ZoomStep(double zoomFactor) { return std::max(TruncToInt32(zoomFactor), 1); }
}  // namespace

void TPixoranView::ScrollHorz(TScrollAction action, int32_t value) {
  int32_t mx = 0, my = 0;
  const int64_t step = static_cast<int64_t>(ZoomStep(zoomF_)) * (horzParams_.LineStep == -1 ? 1 : horzParams_.LineStep);
  const int64_t page =
      horzParams_.PageStep == -1 ? ClientWidth() : static_cast<int64_t>(ZoomStep(zoomF_)) * horzParams_.PageStep;
  auto clampInt = [](int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); };
  switch (action) {
    case saPosition: SetViewX(value); break;
    case saEnd:
      GetMaxViewXY(mx, my);
      SetViewX(mx);
      break;
    case saStart: SetViewX(0); break;
    case saLineBack: SetViewX(clampInt(viewX_ - step)); break;
    case saLineForward: SetViewX(clampInt(viewX_ + step)); break;
    case saPageBack: SetViewX(clampInt(viewX_ - page)); break;
    case saPageForward: SetViewX(clampInt(viewX_ + page)); break;
  }
}

void TPixoranView::ScrollVert(TScrollAction action, int32_t value) {
  int32_t mx = 0, my = 0;
  const int64_t step = static_cast<int64_t>(ZoomStep(zoomF_)) * (vertParams_.LineStep == -1 ? 1 : vertParams_.LineStep);
  const int64_t page =
      vertParams_.PageStep == -1 ? ClientHeight() : static_cast<int64_t>(ZoomStep(zoomF_)) * vertParams_.PageStep;
  auto clampInt = [](int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); };
  switch (action) {
    case saPosition: SetViewY(value); break;
    case saEnd:
      GetMaxViewXY(mx, my);
      SetViewY(my);
      break;
    case saStart: SetViewY(0); break;
    case saLineBack: SetViewY(clampInt(viewY_ - step)); break;
    case saLineForward: SetViewY(clampInt(viewY_ + step)); break;
    case saPageBack: SetViewY(clampInt(viewY_ - page)); break;
    case saPageForward: SetViewY(clampInt(viewY_ + page)); break;
  }
}

bool TPixoranView::MouseWheel(TShiftState shift, int wheelDelta, int x, int y) {
  ApplyMouseWheel(wheelDelta, x, y, (shift & ssCtrl) != 0);
  return true;
}

void TPixoranView::ApplyMouseWheel(int32_t delta, int32_t x, int32_t y, bool ctrl) {
  const TPXMouseWheelParams& p = wheelParams_;
  if (p.Action == mwaNone || autoFit_) return;
  int32_t e = delta > 0 ? -1 : 1;
  if (p.InvertDirection) e = -e;
  if (p.Action == mwaScroll) {
    int32_t mx = 0, my = 0;
    GetMaxViewXY(mx, my);
    const bool horizontal = ctrl || (mx > 0 && my == 0);
    const int32_t client = horizontal ? ClientWidth() : ClientHeight();
    const int64_t step = p.AmountKind == mwkPercent
                             ? std::max<int64_t>(RoundHalfEven(client * static_cast<double>(p.Amount) / 100.0), 1)
                             : static_cast<int64_t>(p.Amount) * ZoomStep(zoomF_);
    const int64_t origin = (horizontal ? viewX_ : viewY_) + e * step;
    const auto o = static_cast<int32_t>(std::clamp<int64_t>(origin, INT32_MIN, INT32_MAX));
    if (horizontal) SetViewX(o);
    else SetViewY(o);
    return;
  }
  double z = p.AmountKind == mwkAbsolute
                 ? zoom_ + e * static_cast<double>(p.Amount)
                 : zoom_ + e * static_cast<double>(std::max<int64_t>(RoundHalfEven(p.Amount * zoom_ / 100.0), 1));
  if (z > zoom_ && OnZoomIn) OnZoomIn(this, z);
  if (z < zoom_ && OnZoomOut) OnZoomOut(this, z);
  if (p.ZoomAtMousePosition) ZoomAt(x, y, z);
  else SetZoom(z);
}

}  // namespace pixoran
