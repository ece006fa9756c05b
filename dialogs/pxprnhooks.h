#pragma once
#include "platform/pxexport.h"

namespace pixoran {
// Lets TPixoranIO::DoPrintPreviewDialog show the two print-preview forms,
// and gives the component the printer they print on (InstallControlHooks).
// Called once at start-up by the program.
PIXORAN_DIALOGS_EXPORT void InstallPrintPreviewForms();
}  // namespace pixoran
