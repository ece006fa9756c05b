#pragma once
// What the components attached to a viewer (the I/O component, the
// processing component, the multi-image component) see of it: the viewer's
// bitmap, resolution and colour, its refresh and its bitmap-change
// callbacks. The viewer base TPXView (pxview.h) is a control and lives in
// the library that links the widgets; the components hold viewers only
// through this face, so they link no widgets.
#include <cstdint>

#include "platform/pxexport.h"
#include "platform/graphics.h"

namespace pixoran {

class TComponent;
class TPXBitmap;
class TPXViewLink;

// Called with destroying false when the viewer's bitmap changed, and with
// true once when the viewer is being destroyed.
using TPXBitmapChangeEvent = void (*)(void* userData, TPXViewLink* view, bool destroying);
// Called before the viewer frees or replaces bitmap, one it handed out. The
// subscriber returns only when none of its work (a worker thread, say) uses
// the bitmap any more; with cancel it may stop that work rather than let it
// finish.
using TPXBitmapReleaseEvent = void (*)(void* userData, TPXViewLink* view, TPXBitmap* bitmap, bool cancel);

class PIXORAN_CORE_EXPORT TPXViewLink {
 public:
  // The viewer as a component, for free notification. A subscriber keeps
  // it: once the viewer is going no call may reach it through this face.
  virtual TComponent* ViewComponent() = 0;

  virtual TBitmap* GetTBitmap() = 0;
  virtual TPXBitmap* GetPXBitmap() = 0;
  virtual TColor Background() const = 0;
  virtual void SetBackground(TColor color) = 0;
  virtual int32_t DpiX() const = 0;
  virtual int32_t DpiY() const = 0;
  virtual void SetDpiX(int32_t dpi) = 0;
  virtual void SetDpiY(int32_t dpi) = 0;
  virtual void SetDpi(int32_t x, int32_t y) = 0;
  // Lays out and repaints after the bitmap changed.
  virtual void Update() = 0;
  virtual void ImageChange() = 0;

  // Registers a callback, and optionally the subscriber's release callback;
  // the handle (0 or more) removes both again.
  virtual int32_t RegisterBitmapChangeEvent(TPXBitmapChangeEvent callback, void* userData,
                                            TPXBitmapReleaseEvent release = nullptr) = 0;
  // A negative or unknown handle does nothing.
  virtual void RemoveBitmapChangeEvent(int32_t handle) = 0;

 protected:
  TPXViewLink() = default;
  ~TPXViewLink() = default;
  TPXViewLink(const TPXViewLink&) = default;
  TPXViewLink& operator=(const TPXViewLink&) = default;
};

}  // namespace pixoran
