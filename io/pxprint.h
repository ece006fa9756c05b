#pragma once
// The print layout of the I/O component and the hooks through which it
// reaches the dialogs layer.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/pxexport.h"
#include "core/kopxutils_settings.h"
#include "platform/graphics.h"

namespace pixoran {

class TPixoranIO;

// Size modes of the print layout.
constexpr uint8_t pxpsNormal = 0, pxpsFitToPage = 1, pxpsStretchToPage = 2, pxpsSpecified = 3;

struct PIXORAN_IO_EXPORT TPrintLayoutArgs {
  double MarginLeft = 1, MarginTop = 1, MarginRight = 1, MarginBottom = 1;  // inches
  uint8_t VerticalPosition = 1, HorizontalPosition = 1, Size = pxpsFitToPage;
  double SpecWidth = 6, SpecHeight = 4;  // inches
  double Gamma = 1;
};

// Where the image goes on the page, in device pixels. An empty rectangle
// when the page has no size, the margins leave no area, or the mode is
// unknown. The image's resolution counts only in the normal mode (1 or less
// takes the device's).
PIXORAN_IO_EXPORT TRect PrintLayoutRect(const TPrintDevice& device, const TPrintLayoutArgs& args, int32_t imageWidth,
                                        int32_t imageHeight, int32_t imageDpiX, int32_t imageDpiY);

// The dialogs the I/O component shows live above it: the dialogs layer sets
// these at start-up. Unset, the calls answer as if cancelled.
struct PIXORAN_IO_EXPORT TPXDialogHooks {
  // (component, style, title): 1 when the form closed with OK.
  std::function<int(TPixoranIO&, int32_t, const std::string&)> PrintPreviewDialog;
  // (component, pages): true when accepted.
  std::function<bool(TPixoranIO&, uint32_t)> Previews;
  // (component, initial folder, two strings, file name out, filter index, always animate, save).
  std::function<void(TPixoranIO&, const std::string&, const std::string&, const std::string&, std::string&, int32_t,
                     bool, bool)>
      FileDialog;
};
PIXORAN_IO_EXPORT TPXDialogHooks& PXDialogHooks();

}  // namespace pixoran
