#pragma once
#include "platform/pxexport.h"

namespace pixoran {
class TPixoranIO;

// Lets the I/O component (and the multi-image component through it) show
// the save-parameters preview dialog and the open and save dialogs with
// preview. Called once at start-up by the program.
PIXORAN_DIALOGS_EXPORT void InstallIODialogs();

// The simplified save-parameters dialog's heights in pixels at ppi screen
// pixels per inch, for the component showing it: the page control 1.27
// inches, the form 3.75 inches, or 3.4375 for the multi-image component.
struct PIXORAN_DIALOGS_EXPORT TPreviewsHeights {
  int PageControl = 0;
  int Form = 0;
};
PIXORAN_DIALOGS_EXPORT TPreviewsHeights SimplifiedPreviewsHeights(const TPixoranIO& io, int ppi);
}  // namespace pixoran
