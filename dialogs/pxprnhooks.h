#pragma once

namespace pixoran {
// Lets TPixoranIO::DoPrintPreviewDialog show the two print-preview forms.
// Called once at start-up by the program.
void InstallPrintPreviewForms();
}  // namespace pixoran
