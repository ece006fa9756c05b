// Installs the print-preview forms behind the I/O component's dialog hook.
#include "dialogs/pxprnhooks.h"

#include "core/kopxutils_controls.h"
#include "dialogs/pxprnform1.h"
#include "dialogs/pxprnform2.h"
#include "io/pixoranio.h"
#include <QFont>

#include "io/pxprint.h"

namespace pixoran {

namespace {
template <typename Form>
int32_t ShowForm(TPixoranIO& io, const std::string& title) {
  Form form(io);
  form.SetMeasureUnit(io.DialogsMeasureUnit());
  form.ApplyLanguage(io.MsgLanguage());
  form.setFont(QFont(QString::fromStdString(io.PreviewFont().Name)));
  form.SetTitle(title);
  io.DoIOPreview(&form);
  const int result = form.exec();
  return result == 1 ? 1 : result == kPrintFailedResult ? -1 : 0;
}
}  // namespace

void InstallPrintPreviewForms() {
  InstallControlHooks();
  PXDialogHooks().PrintPreviewDialog = [](TPixoranIO& io, int32_t style, const std::string& title) -> int32_t {
    if (style == 0) return ShowForm<TfpxPrnForm2>(io, title);
    if (style == 1) return ShowForm<TfpxPrnForm1>(io, title);
    return 0;
  };
}

}  // namespace pixoran
