#include "core/pxview.h"

#include <algorithm>

#include "core/kopxutils_draw.h"
#include "core/kopxutils_helpers.h"

namespace pixoran {

// Needs-border-paint, replicatable, opaque and accepts-controls: a viewer
// covers its whole client area, so nothing is erased under it first.
constexpr TControlStyle kViewStyle = csNeedsBorderPaint | csReplicatable | csOpaque | csAcceptsControls;

TPXView::TPXView(TComponent* owner, TWinControl* parent) : TCustomControl(owner, parent) {
  SetControlStyle(ControlStyle() | kViewStyle);
  TWinControl::SetCtl3D(true);
}

TPXView::~TPXView() { CallDestroyingEvents(); }

void TPXView::SetDpiX(int32_t dpi) {
  if (dpi != 0) dpiX_ = dpi;
}

void TPXView::SetDpiY(int32_t dpi) {
  if (dpi != 0) dpiY_ = dpi;
}

void TPXView::SetDpi(int32_t x, int32_t y) {
  SetDpiX(x);
  SetDpiY(y);
}

void TPXView::SetBorderStyle(TBorderStyle style) {
  if (style == borderStyle_) return;
  borderStyle_ = style;
  RecreateWnd();
}

void TPXView::SetCtl3D(bool value) {
  if (value == Ctl3D()) return;
  TWinControl::SetCtl3D(value);
  RecreateWnd();
}

void TPXView::AdjustWindowStyle(TCreateParams& params) {
  TCustomControl::AdjustWindowStyle(params);
  if (borderStyle_ == bsSingle) {
    if (Ctl3D()) params.ExStyle |= wsExClientEdge;
    else params.Style |= wsBorder;
  }
  params.WindowClassStyle &= ~(wcsHRedraw | wcsVRedraw);
}

void TPXView::MouseEnter() {
  TCustomControl::MouseEnter();
  if (OnMouseEnter) OnMouseEnter(this);
}

void TPXView::MouseLeave() {
  TCustomControl::MouseLeave();
  if (OnMouseLeave) OnMouseLeave(this);
}

bool TPXView::LayoutScrollBar(TScrollBarKind bar, bool wanted, int32_t maximum, int32_t client, int32_t origin,
                              int32_t factorLess, bool alwaysVisible, bool flat, double& factor) {
  if (wanted && maximum >= 1) {
    factor = (static_cast<double>(client) + maximum - factorLess) / 65536.0;
    ScrollBarSetRange(this, bar, 0, 65535, false, flat);
    ScrollBarSetPage(this, bar, TruncToInt32(client / factor), true, flat);
    ScrollBarSetPos(this, bar, TruncToInt32(origin / factor), true, flat);
    ScrollBarEnable(this, bar, true, flat);
    ScrollBarShow(this, bar, true, flat);
    return true;
  }
  if (wanted && alwaysVisible) {
    ScrollBarEnable(this, bar, false, flat);
    ScrollBarShow(this, bar, true, flat);
  } else {
    ScrollBarShow(this, bar, false, flat);
  }
  return false;
}

int32_t TPXView::RegisterBitmapChangeEvent(TPXBitmapChangeEvent callback, void* userData,
                                           TPXBitmapReleaseEvent release) {
  const int32_t handle = nextHandle_++;
  callbacks_.push_back(TCallbackEntry{handle, callback, userData, release});
  return handle;
}

void TPXView::RemoveBitmapChangeEvent(int32_t handle) {
  if (handle < 0) return;
  auto it = std::find_if(callbacks_.begin(), callbacks_.end(),
                         [handle](const TCallbackEntry& e) { return e.Handle == handle; });
  if (it != callbacks_.end()) callbacks_.erase(it);
}

template <typename Call>
void TPXView::ForEachCallback(Call call) {
  // A callback may register or remove entries: walk a snapshot of handles
  // and call only those still present.
  std::vector<int32_t> handles;
  handles.reserve(callbacks_.size());
  for (const auto& e : callbacks_) handles.push_back(e.Handle);
  for (int32_t h : handles) {
    auto it =
        std::find_if(callbacks_.begin(), callbacks_.end(), [h](const TCallbackEntry& e) { return e.Handle == h; });
    if (it == callbacks_.end()) continue;
    const TCallbackEntry entry = *it;
    call(entry);
  }
}

void TPXView::CallBitmapChangeEvents() {
  ForEachCallback([this](const TCallbackEntry& e) {
    if (e.Callback) e.Callback(e.UserData, this, false);
  });
}

void TPXView::CallBitmapReleaseEvents(TPXBitmap* bitmap, bool cancel) {
  if (!bitmap) return;
  ForEachCallback([this, bitmap, cancel](const TCallbackEntry& e) {
    if (e.Release) e.Release(e.UserData, this, bitmap, cancel);
  });
}

void TPXView::CallDestroyingEvents() {
  while (!callbacks_.empty()) {
    const TCallbackEntry entry = callbacks_.front();
    callbacks_.erase(callbacks_.begin());
    if (entry.Callback) entry.Callback(entry.UserData, this, true);
  }
}

}  // namespace pixoran
