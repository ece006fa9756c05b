// Installs the save-parameters and file dialogs behind the I/O component's hooks.
#include "dialogs/pxiodlghooks.h"

#include <QFont>
#include <QTabWidget>
#include <algorithm>
#include <memory>

#include "dialogs/iopreviews.h"
#include "dialogs/pxopensavedlg.h"
#include "io/pixoranio.h"
#include "io/pxmio.h"
#include "io/pxprint.h"
#include "platform/controls.h"
#include "view/pixoranview.h"

namespace pixoran {

TPreviewsHeights SimplifiedPreviewsHeights(const TPixoranIO& io, int ppi) {
  // The multi-image component's dialogs go through its own I/O helper.
  const bool multi = dynamic_cast<const TPixoranMIO*>(io.Owner()) != nullptr;
  return {static_cast<int>(ppi * 1.2708333333333333334), static_cast<int>(ppi * (multi ? 3.4375 : 3.75))};
}

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
    // Never below what the controls need.
    const TPreviewsHeights h = SimplifiedPreviewsHeights(io, std::max(ScreenDpiY(), 1));
    form.PageControl1->setFixedHeight(std::max(form.PageControl1->minimumSizeHint().height(), h.PageControl));
    form.resize(form.width(), std::max(form.minimumSizeHint().height(), h.Form));
  }
  io.DoIOPreview(&form);
  return form.exec() == 1;
}

// s1 is the initial file name, s2 further "description|patterns" entries.
void ShowFileDialog(TPixoranIO& io, const std::string& initialDir, const std::string& s1, const std::string& s2,
                    std::string& fileName, int32_t filterIndex, bool alwaysAnimate, bool save) {
  fileName.clear();
  std::unique_ptr<TOpenPixoranDialog> dialog;
  if (save) {
    auto d = std::make_unique<TSavePixoranDialog>();
    d->SetAttachedPixoranIO(&io);
    dialog = std::move(d);
  } else {
    dialog = std::make_unique<TOpenPixoranDialog>();
  }
  dialog->SetInitialDir(initialDir);
  dialog->SetFileName(s1);
  dialog->ExtraFilter = s2;
  dialog->SetAlwaysAnimate(alwaysAnimate);
  dialog->Options |= ofEnableSizing;
  dialog->PreviewBorderStyle = 2;
  dialog->SetFilterIndex(filterIndex);
  dialog->AutoAdjustDPI = io.AutoAdjustDPI();
  dialog->FilteredAdjustDPI = io.FilteredAdjustDPI();
  dialog->MsgLanguage = io.MsgLanguage();
  if (!dialog->Execute()) return;
  if (!save) {
    const int32_t frame = dialog->SelectedFrame();
    io.Params().TIFFImageIndex = frame;
    io.Params().GIFImageIndex = frame;
    io.Params().DCXImageIndex = frame;
  }
  fileName = dialog->FileName();
}

}  // namespace

void InstallIODialogs() {
  PXDialogHooks().Previews = ShowPreviews;
  PXDialogHooks().FileDialog = ShowFileDialog;
}

}  // namespace pixoran
