// Installs the save-parameters and file dialogs behind the I/O component's hooks.
#include "dialogs/pxiodlghooks.h"

#include <QFont>
#include <algorithm>

#include "dialogs/iopreviews.h"
#include "io/pixoranio.h"
#include "io/pxmio.h"
#include "io/pxprint.h"
#include "platform/controls.h"
#include "view/pixoranview.h"

namespace pixoran {

namespace {

bool ShowPreviews(TPixoranIO& io, uint32_t pages) {
  TfIOPreviews form;
  form.SetParams(&io.Params());
  form.SetDefaultLockPreview((io.PreviewsParams() & ioppDefaultLockPreview) != 0);
  form.SetApplyVisible((io.PreviewsParams() & ioppApplyButton) != 0);
  form.SetSimplified(io.SimplifiedParamsDialogs());
  form.ApplyLanguage(io.MsgLanguage());
  if (!io.PreviewFont().Name.empty()) form.setFont(QFont(QString::fromStdString(io.PreviewFont().Name)));
  // The dialog works on a copy: the caller's bitmap stays as it is.
  TPixoranView& source = *form.Pixoran1();
  TPXBitmap& copy = *source.GetPXBitmap();
  copy.Assign(io.PXBitmap());
  copy.BWConversion = io.BWConversion();
  if (copy.PixelFormat() != pxBGR24 && copy.PixelFormat() != pxBW1) copy.ConvertPixelFormat(pxBGR24);
  source.GetIO()->Params().Assign(io.Params());
  source.Update();
  source.ImageChange();
  form.Pixoran2()->ClearImage();
  if (!form.SetPreviewPages(static_cast<uint16_t>(pages))) return false;
  if (io.SimplifiedParamsDialogs()) {
    const int ppi = std::max(ScreenDpiY(), 1);
    form.resize(form.width(), std::max(form.minimumSizeHint().height(), static_cast<int>(ppi * 3.75)));
  }
  return form.exec() == 1;
}

}  // namespace

void InstallIODialogs() { PXDialogHooks().Previews = ShowPreviews; }

}  // namespace pixoran
