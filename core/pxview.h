#pragma once
// The abstract viewer base: the one face every viewer shows to the other
// components (the I/O component, the processing component, previews). It
// hands out the displayed bitmap, keeps the image resolution, brackets
// updates and keeps a list of bitmap-change callbacks through which those
// components follow the viewer's bitmap and learn of the viewer's
// destruction. It paints nothing itself: descendants draw in Paint.
#include <cstdint>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxutils_controls.h"
#include "core/pxviewlink.h"
#include "platform/classes.h"
#include "platform/controls.h"
#include "platform/graphics.h"

namespace pixoran {

class PIXORAN_CORE_VIEW_EXPORT TPXView : public TCustomControl, public TPXViewLink {
 public:
  explicit TPXView(TComponent* owner = nullptr, TWinControl* parent = nullptr);
  // Tells every remaining subscriber that the viewer goes (see
  // CallDestroyingEvents), then the control goes.
  ~TPXView() override;
  TPXView(const TPXView&) = delete;
  TPXView& operator=(const TPXView&) = delete;

  // Colour shown around and under the image (default the button face).
  TColor Background() const override { return background_; }
  void SetBackground(TColor color) override { background_ = color; }

  // The displayed bitmap, as a platform bitmap or as the library's bitmap;
  // a viewer offers one of them (the base class neither).
  TBitmap* GetTBitmap() override { return nullptr; }
  TPXBitmap* GetPXBitmap() override { return nullptr; }

  // Alpha channel of the displayed image. Every viewer overrides these; the
  // base answers as for an image without one and changes nothing.
  virtual TPXBitmap* GetAlphaChannel() { return nullptr; }
  virtual bool HasAlphaChannel() { return false; }
  // Drops the alpha channel, first blending the image over Background when
  // merge is set.
  virtual void RemoveAlphaChannel(bool merge) {}

  // Update bracketing: while locked a viewer neither lays out nor paints.
  // UnlockUpdate repaints when the count returns to 0; UnlockUpdateNoPaint
  // only counts down. Overridden by every viewer; the base does nothing.
  virtual void LockUpdate() {}
  virtual void UnlockUpdate() {}
  virtual void UnlockUpdateNoPaint() {}

  // Image resolution in dots per inch; 0 is ignored (keeps the old value).
  int32_t DpiX() const override { return dpiX_; }
  int32_t DpiY() const override { return dpiY_; }
  void SetDpiX(int32_t dpi) override;
  void SetDpiY(int32_t dpi) override;
  void SetDpi(int32_t x, int32_t y) override;

  TComponent* ViewComponent() override { return this; }
  // The control's layout and refresh, which viewers override.
  void Update() override { TCustomControl::Update(); }

  // Descendants fire their image-change event.
  void ImageChange() override {}

  // Registers a callback, and optionally the subscriber's release callback;
  // the handle (0 or more) removes both again.
  int32_t RegisterBitmapChangeEvent(TPXBitmapChangeEvent callback, void* userData,
                                    TPXBitmapReleaseEvent release = nullptr) override;
  // A negative or unknown handle does nothing.
  void RemoveBitmapChangeEvent(int32_t handle) override;
  // Calls every registered callback, in registration order, with false. A
  // callback may remove its own or another entry meanwhile: a removed entry
  // is not called, and one added meanwhile waits for the next round.
  virtual void CallBitmapChangeEvents();
  int32_t BitmapChangeEventCount() const { return static_cast<int32_t>(callbacks_.size()); }
  // Before the viewer frees or replaces a bitmap it handed out: calls every
  // registered release callback, in registration order, and returns when
  // all have let go of it. cancel: work on the bitmap may be stopped.
  void CallBitmapReleaseEvents(TPXBitmap* bitmap, bool cancel);

  // A single line (a sunken edge while Ctl3D is on) or no frame. A change
  // recreates the window.
  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle style);
  // A change recreates the window (the frame follows it).
  void SetCtl3D(bool value) override;

  // The control's canvas: that of the back buffer Paint draws into.
  TCanvas* GetCanvas() { return &Canvas(); }

  TNotifyEvent OnMouseEnter;
  TNotifyEvent OnMouseLeave;

 protected:
  // Tells every remaining subscriber, once each, that the viewer goes, and
  // forgets them. Each entry leaves the list before its callback runs, so a
  // subscriber may remove its own or other entries while being told. The
  // base destructor calls it; a descendant that owns the bitmap it hands
  // out calls it first in its own destructor, so subscribers still find the
  // bitmap alive while they let go of it.
  void CallDestroyingEvents();

  // With bsSingle a sunken edge (Ctl3D) or a line; never a full repaint on
  // resize, since viewers repaint what they lay out themselves.
  void AdjustWindowStyle(TCreateParams& params) override;
  void MouseEnter() override;
  void MouseLeave() override;

  // Lays out one scroll bar in the fixed range 0..65535. With a maximum
  // origin of at least 1 (and the bar wanted) the bar is shown and enabled
  // with factor = (client + maximum - factorLess) / 65536 pixels per unit, the
  // page Trunc(client / factor) and the position Trunc(origin / factor), and
  // true is returned. Otherwise the factor is kept and false returned; the
  // bar is then shown disabled when wanted and alwaysVisible, else hidden.
  bool LayoutScrollBar(TScrollBarKind bar, bool wanted, int32_t maximum, int32_t client, int32_t origin,
                       int32_t factorLess, bool alwaysVisible, bool flat, double& factor);

 private:
  struct TCallbackEntry {
    int32_t Handle = -1;
    TPXBitmapChangeEvent Callback = nullptr;
    void* UserData = nullptr;
    TPXBitmapReleaseEvent Release = nullptr;
  };
  // Calls call(entry) for each entry present at the start and still present.
  template <typename Call>
  void ForEachCallback(Call call);
  std::vector<TCallbackEntry> callbacks_;
  int32_t nextHandle_ = 0;
  TColor background_ = clBtnFace;
  TBorderStyle borderStyle_ = bsSingle;
  int32_t dpiX_ = 0;
  int32_t dpiY_ = 0;
};

}  // namespace pixoran
