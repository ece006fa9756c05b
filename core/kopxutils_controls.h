#pragma once
// The helpers of core that reach controls: the viewers' scroll-bar calls,
// the owner window of a component and window centring. They are built with
// the viewer base (pxview.h) into the library that links the platform's
// widget part, so the bitmap model, I/O and processing link no widgets.
#include <cstdint>

#include "platform/pxexport.h"
#include "platform/controls.h"

namespace pixoran {

// Scroll-bar calls. useFlat asks for flat scroll bars; the platform draws
// its scroll bars one way only, so both paths meet.
PIXORAN_CORE_VIEW_EXPORT void ScrollBarSetRange(TWinControl* control, TScrollBarKind bar, int32_t min, int32_t max,
                                                bool redraw, bool useFlat);
PIXORAN_CORE_VIEW_EXPORT void ScrollBarSetInfo(TWinControl* control, TScrollBarKind bar, const TScrollInfo& info,
                                               bool redraw, bool useFlat);
PIXORAN_CORE_VIEW_EXPORT void ScrollBarSetPage(TWinControl* control, TScrollBarKind bar, int32_t page, bool redraw,
                                               bool useFlat);
PIXORAN_CORE_VIEW_EXPORT void ScrollBarSetPos(TWinControl* control, TScrollBarKind bar, int32_t pos, bool redraw,
                                              bool useFlat);
PIXORAN_CORE_VIEW_EXPORT void ScrollBarEnable(TWinControl* control, TScrollBarKind bar, bool enable, bool useFlat);
PIXORAN_CORE_VIEW_EXPORT void ScrollBarShow(TWinControl* control, TScrollBarKind bar, bool show, bool useFlat);

// The handle of the first windowed control in the owner chain starting at
// component itself; 0 when there is none or its window is not created yet.
PIXORAN_CORE_VIEW_EXPORT uintptr_t GetOwnerWindowHandle(TComponent* component);
// Moves the window, without resizing, to x = (screen width - width) div 2,
// y = (screen height - height) div 3; the process-wide centring hook does the
// job instead when set.
PIXORAN_CORE_VIEW_EXPORT void CenterWindow(TWinControl* window);

// Gives the I/O component the process-wide printer (PXSettings().PrinterHooks),
// which it prints and previews on. A program calls it at start-up; without
// it printing ends unsupported.
PIXORAN_CORE_VIEW_EXPORT void InstallControlHooks();

}  // namespace pixoran
