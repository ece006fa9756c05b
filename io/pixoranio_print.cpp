// Printing, print preview and the dialog calls of the I/O component.
#include <algorithm>
#include <cmath>

#include "core/pxrender.h"
#include "io/pixoranio.h"
#include "io/pxprint.h"

namespace pixoran {

namespace {
// Trunc of a double that may be far out of the int range.
int32_t TruncClamped(double v) {
  if (!(v > -2e9)) return v != v ? 0 : -2000000000;
  if (v > 2e9) return 2000000000;
  return static_cast<int32_t>(v);
}
}  // namespace

TRect PrintLayoutRect(const TPrintDevice& d, const TPrintLayoutArgs& a, int32_t imageWidth, int32_t imageHeight,
                      int32_t imageDpiX, int32_t imageDpiY) {
  if (d.DpiX <= 0 || d.DpiY <= 0 || d.PageWidth <= 0 || d.PageHeight <= 0 || imageWidth <= 0 || imageHeight <= 0)
    return {};
  const double pageW = static_cast<double>(d.PageWidth) / d.DpiX, pageH = static_cast<double>(d.PageHeight) / d.DpiY;
  const double availW = pageW - a.MarginLeft - a.MarginRight, availH = pageH - a.MarginTop - a.MarginBottom;
  if (!(availW > 0) || !(availH > 0)) return {};
  double w = 0, h = 0;
  switch (a.Size) {
    case pxpsNormal:
      w = static_cast<double>(imageWidth) / (imageDpiX > 1 ? imageDpiX : d.DpiX);
      h = static_cast<double>(imageHeight) / (imageDpiY > 1 ? imageDpiY : d.DpiY);
      break;
    case pxpsFitToPage: {
      const double iw = static_cast<double>(imageWidth) / d.DpiX, ih = static_cast<double>(imageHeight) / d.DpiY;
      const double k = std::min(availW / iw, availH / ih);
      w = iw * k, h = ih * k;
      break;
    }
    case pxpsStretchToPage: w = availW, h = availH; break;
    case pxpsSpecified: w = a.SpecWidth, h = a.SpecHeight; break;
    default: return {};
  }
  if (!(w > 0) || !(h > 0)) return {};
  double top, left;
  switch (a.VerticalPosition) {
    case 0: top = a.MarginTop; break;
    case 1: top = a.MarginTop + (availH - h) / 2; break;
    case 2: top = a.MarginTop + availH - h; break;
    default: top = 0;
  }
  switch (a.HorizontalPosition) {
    case 0: left = a.MarginLeft; break;
    case 1: left = a.MarginLeft + (availW - w) / 2; break;
    case 2: left = a.MarginLeft + availW - w; break;
    default: left = 0;
  }
  const int32_t x = TruncClamped(left * d.DpiX), y = TruncClamped(top * d.DpiY);
  const int32_t rw = TruncClamped(w * d.DpiX), rh = TruncClamped(h * d.DpiY);
  if (rw <= 0 || rh <= 0) return {};
  return Rect(x, y, static_cast<int32_t>(std::min<int64_t>(int64_t{x} + rw, INT32_MAX)),
              static_cast<int32_t>(std::min<int64_t>(int64_t{y} + rh, INT32_MAX)));
}

bool TPixoranIO::PrinterInstalled() {
  const TPXPrinterHooks& hooks = PXSettings().PrinterHooks;
  if (hooks.Metrics && hooks.Canvas) return true;
  // The printer belongs to the widget part of the library, which a program
  // that links only the image layers does not have.
  result_.Reset();
  result_.Set(iorUnsupported, "printing: no printer is installed (InstallControlHooks was not called)");
  return false;
}

TPXDialogHooks& PXDialogHooks() {
  static TPXDialogHooks hooks;
  return hooks;
}

void TPixoranIO::PrintLayoutInto(TCanvas& canvas, const TPrintDevice& device, const TPrintLayoutArgs& args) {
  TPXBitmap& bmp = *working_;
  const int32_t dpiX = viewer_ ? viewer_->DpiX() : params_->DpiX;
  const int32_t dpiY = viewer_ ? viewer_->DpiY() : params_->DpiY;
  const TRect r = PrintLayoutRect(device, args, bmp.Width(), bmp.Height(), dpiX, dpiY);
  if (r.Width() <= 0 || r.Height() <= 0) return;
  const TResampleFilter filter = printFilter_ && r.Width() < bmp.Width() ? rfFastLinear : rfNone;
  StretchDrawToCanvas(bmp, canvas, r.Left, r.Top, r.Width(), r.Height(), args.Gamma, filter);
}

void TPixoranIO::PrintImage(TCanvas* canvas, const TPrintLayoutArgs& args) {
  if (!PrinterInstalled()) return;
  // An image control's picture is printed from 1 or 24 bits only.
  if (image_ && attachedTBitmap_ && attachedTBitmap_->PixelFormat() != pf1bit &&
      attachedTBitmap_->PixelFormat() != pf24bit)
    attachedTBitmap_->SetPixelFormat(pf24bit);
  result_.Reset();
  if (!PrepareBitmap() || working_->Width() <= 0 || working_->Height() <= 0) {
    result_.Set(iorFailed, "there is no image to print");
    return;
  }
  const TPXPrinterHooks& hooks = PXSettings().PrinterHooks;
  TPrintDevice device;
  hooks.Metrics(nullptr, device);
  PrintLayoutInto(canvas ? *canvas : *hooks.Canvas(nullptr), device, args);
}

void TPixoranIO::PreviewPrintImage(TBitmap& bitmap, int32_t maxWidth, int32_t maxHeight, TPrinter* printer,
                                   const TPrintLayoutArgs& args) {
  if (!PrinterInstalled()) return;
  TPrintDevice device;
  PXSettings().PrinterHooks.Metrics(printer, device);
  if (device.PageWidth <= 0 || device.PageHeight <= 0 || maxWidth <= 5 || maxHeight <= 5) {
    bitmap.SetSize(0, 0);
    return;
  }
  const double scale =
      std::min((maxWidth - 5) / (device.PageWidth / 100.0), (maxHeight - 5) / (device.PageHeight / 100.0)) / 100.0;
  const int32_t w = std::max(1, TruncClamped(device.PageWidth * scale));
  const int32_t h = std::max(1, TruncClamped(device.PageHeight * scale));
  bitmap.SetPixelFormat(pf24bit);
  bitmap.SetSize(w, h);
  TCanvas& c = bitmap.Canvas();
  c.Brush.Style = bsSolid;
  c.Brush.Color = clWhite;
  c.FillRect(Rect(0, 0, w, h));
  const TPrintDevice scaled{TruncClamped(device.DpiX * scale), TruncClamped(device.DpiY * scale), w, h};
  if (PrepareBitmap() && working_->Width() > 0 && working_->Height() > 0 && scaled.DpiX > 0 && scaled.DpiY > 0)
    PrintLayoutInto(c, scaled, args);
  // The margins, inverted so they show on any image.
  const TPen savedPen = c.Pen;
  const TBrush savedBrush = c.Brush;
  c.Pen.Width = 1;
  c.Pen.Style = psDash;
  c.Pen.Mode = pmNot;
  c.Brush.Style = bsClear;
  c.Rectangle(Rect(TruncClamped(args.MarginLeft * scaled.DpiX), TruncClamped(args.MarginTop * scaled.DpiY),
                   w - TruncClamped(args.MarginRight * scaled.DpiX),
                   h - TruncClamped(args.MarginBottom * scaled.DpiY)));
  c.Pen = savedPen;
  c.Brush = savedBrush;
}

int32_t TPixoranIO::DoPrintPreviewDialog(int32_t style, const std::string& title) {
  if (printerReset_) {
    if (const auto reset = PXSettings().PrinterHooks.Reset) reset();
  }
  result_.Reset();
  TPXBitmap& bmp = *working_;
  if (bmp.Width() <= 0 || bmp.Height() <= 0 || (bmp.Width() <= 1 && bmp.Height() < 2)) {
    result_.Set(iorFailed, "there is no image to print");
    return 0;
  }
  if (style != 0 && style != 1) {
    result_.Set(iorFailed, "print-preview style " + std::to_string(style) + " does not exist");
    return 0;
  }
  auto& hook = PXDialogHooks().PrintPreviewDialog;
  if (!hook) {
    result_.Set(iorUnsupported, "no print-preview dialog is installed");
    return 0;
  }
  const int32_t printed = hook(*this, style, title);
  // The form tells a failed print itself (SetLastResult); otherwise the user closed it.
  if (printed == 0) result_.Set(iorCancelled, "the print was not made");
  return printed;
}

bool TPixoranIO::DoPreviews(uint32_t pages) {
  bool handled = false;
  if (OnDoPreviews) OnDoPreviews(this, handled);
  if (handled) return true;
  if (!PrepareBitmap()) return false;
  // The previews work on 24-bit or black-and-white images.
  const TPXPixelFormat format = working_->PixelFormat();
  if (format != pxBGR24 && format != pxBW1 && format != pxNone) working_->ConvertPixelFormat(pxBGR24);
  auto& hook = PXDialogHooks().Previews;
  const bool ok = hook ? hook(*this, pages) : false;
  UpdateAttached();
  return ok;
}

void TPixoranIO::ExecuteOpenDialog(const std::string& initialDir, const std::string& s1, const std::string& s2,
                                   std::string& fileName, int32_t filterIndex, bool alwaysAnimate) {
  fileName.clear();
  if (auto& hook = PXDialogHooks().FileDialog)
    hook(*this, initialDir, s1, s2, fileName, filterIndex, alwaysAnimate, false);
}

void TPixoranIO::ExecuteSaveDialog(const std::string& initialDir, const std::string& s1, const std::string& s2,
                                   std::string& fileName, int32_t filterIndex, bool alwaysAnimate) {
  fileName.clear();
  if (auto& hook = PXDialogHooks().FileDialog)
    hook(*this, initialDir, s1, s2, fileName, filterIndex, alwaysAnimate, true);
}

}  // namespace pixoran
