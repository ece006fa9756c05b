// Core's helpers on controls and the printer hooks they install.
#include "core/kopxutils_controls.h"

#include "core/kopxutils_settings.h"
#include "platform/printer.h"

namespace pixoran {

// ------------------------------------------------------------ scroll bars

void ScrollBarSetRange(TWinControl* control, TScrollBarKind bar, int32_t min, int32_t max, bool redraw, bool) {
  if (control) control->SetScrollRange(bar, min, max, redraw);
}

void ScrollBarSetInfo(TWinControl* control, TScrollBarKind bar, const TScrollInfo& info, bool redraw, bool) {
  if (control) control->SetScrollInfo(bar, info, redraw);
}

void ScrollBarSetPage(TWinControl* control, TScrollBarKind bar, int32_t page, bool redraw, bool) {
  if (!control) return;
  TScrollInfo info;
  info.Mask = sifPage;
  info.Page = page;
  control->SetScrollInfo(bar, info, redraw);
}

void ScrollBarSetPos(TWinControl* control, TScrollBarKind bar, int32_t pos, bool redraw, bool) {
  if (control) control->SetScrollPos(bar, pos, redraw);
}

void ScrollBarEnable(TWinControl* control, TScrollBarKind bar, bool enable, bool) {
  if (control) control->EnableScrollBar(bar, enable);
}

void ScrollBarShow(TWinControl* control, TScrollBarKind bar, bool show, bool) {
  if (control) control->ShowScrollBar(bar, show);
}

// ------------------------------------------------------------ windows

uintptr_t GetOwnerWindowHandle(TComponent* component) {
  for (TComponent* c = component; c; c = c->Owner()) {
    if (auto* w = dynamic_cast<TWinControl*>(c)) return w->HandleAllocated() ? w->Handle() : 0;
  }
  return 0;
}

void CenterWindow(TWinControl* window) {
  if (const TCenterWindowHook hook = PXSettings().CenterWindowHook) {
    hook(window);
    return;
  }
  if (!window) return;
  window->MoveWindow((ScreenWidth() - window->Width()) / 2, (ScreenHeight() - window->Height()) / 3);
}

// ------------------------------------------------------------ printer

void InstallControlHooks() {
  TPXPrinterHooks& hooks = PXSettings().PrinterHooks;
  hooks.Metrics = [](TPrinter* printer, TPrintDevice& device) {
    const TPrinter& p = printer ? *printer : Printer();
    device = {p.PixelsPerInchX(), p.PixelsPerInchY(), p.PageWidth(), p.PageHeight()};
  };
  hooks.Canvas = [](TPrinter* printer) -> TCanvas* { return &(printer ? *printer : Printer()).Canvas(); };
  hooks.Reset = [] { Printer().Reset(); };
}

}  // namespace pixoran
