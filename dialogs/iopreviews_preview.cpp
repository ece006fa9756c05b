// The preview of the save-parameters dialog: the source encoded with the
// active page's values, then decoded again (JPEG, JPEG 2000) or reduced to
// the chosen depth (the others), with the encoded size.
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <algorithm>
#include <vector>

#include "core/kopxutils_containers.h"
#include "dialogs/iopreviews.h"
#include "dialogs/iopreviews_internal.h"
#include "io/pixoranio.h"
#include "proc/pixoranproc.h"
#include "view/pixoranview.h"

namespace pixoran {

using iopreviews::Word;

void TfIOPreviews::Preview() {
  if (previewing_) return;
  TPXBitmap* src = source_->GetPXBitmap();
  if (!src || src->Width() < 1 || src->Height() < 1) return;
  previewing_ = true;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const TIOPreviewPage page = ActivePage();
  TPixoranIO& sio = *source_->GetIO();
  TPixoranIO& rio = *result_->GetIO();
  TIOParamsVals& sp = sio.Params();
  const int64_t original = static_cast<int64_t>(src->RowLen()) * src->Height();
  OriginalSize->setText(Word(43, language_) + QStringLiteral(": ") + QString::number(original) +
                        QStringLiteral(" bytes"));
  auto showSize = [this](int64_t n) {
    CompressedSize->setText(Word(44, language_) + QStringLiteral(": ") + QString::number(n) + QStringLiteral(" bytes"));
  };
  try {
    WriteRecord(page, sp);
    if (page == ppgJPEG1 || page == ppgJPEG2 || page == ppgJ20001) {
      if (page == ppgJ20001) sp.BitsPerSample = 8, sp.SamplesPerPixel = 3;
      const int32_t type = page == ppgJ20001 ? ioJ2K : ioJPEG;
      TMemoryStream stream;
      ProgressBar1->setValue(0);
      progressBase_ = 0;
      sio.SaveToStream(stream, type);
      showSize(stream.Size());
      stream.SetPosition(0);
      ProgressBar1->setValue(50);
      progressBase_ = 50;
      rio.Params().JPEGScale = 1;
      rio.LoadFromStreamFormat(stream, type);
      progressBase_ = -1;
    } else {
      TNulStream counter;
      sio.SaveToStream(counter, SavePage(page).FileType);
      showSize(counter.Size());
      result_->Assign(source_.get());
      rio.Params().Assign(sp);
      // GIF depths count in bits per pixel alone.
      const bool gif = page == ppgGIF1 || page == ppgGIF2;
      const int64_t bits = int64_t{sp.BitsPerSample} * (gif ? 1 : std::max(sp.SamplesPerPixel, 1));
      const bool tiff = page == ppgTIFF1 || page == ppgTIFF2;
      const uint8_t ph = sp.TIFFPhotometric;
      TPXBitmap& rb = *result_->GetPXBitmap();
      if (tiff && ph <= 1 && sp.BitsPerSample == 8 && sp.SamplesPerPixel == 1) {
        if (rb.PixelFormat() != pxBGR24) rb.ConvertPixelFormat(pxBGR24);
        result_->GetProc()->SetAutoUndo(false);
        result_->GetProc()->ConvertToGray();
        rio.Params().FreePalette();
      } else if (tiff && (ph == 5 || ph == 6 || ph == 7)) {
        // Kept as it is: these are written with full colour.
      } else if (bits >= 1 && bits <= 8) {
        const int32_t colours = 1 << bits;
        if (rb.PixelFormat() != pxBGR24 && rb.PixelFormat() != pxBW1) rb.ConvertPixelFormat(pxBGR24);
        if (rb.PixelFormat() == pxBGR24) {
          std::vector<TBGR> palette(static_cast<size_t>(colours));
          result_->GetProc()->SetAutoUndo(false);
          result_->GetProc()->ConvertToPalette(colours, palette, false);
          rio.Params().SetPalette(palette.data(), colours);
        } else {
          const TBGR bw[2] = {TBGR{0, 0, 0}, TBGR{255, 255, 255}};
          rio.Params().SetPalette(bw, 2);
        }
      } else {
        rio.Params().FreePalette();
      }
      result_->Update();
    }
  } catch (...) {
    // A failed encoding leaves the result as it was; the dialog goes on.
  }
  progressBase_ = -1;
  ProgressBar1->setValue(0);
  SyncResultView();
  QApplication::restoreOverrideCursor();
  previewing_ = false;
}

void TfIOPreviews::SyncResultView() {
  if (!source_ || !result_) return;
  result_->LockUpdate();
  result_->SetZoom(source_->Zoom());
  result_->SetViewXY(source_->ViewX(), source_->ViewY());
  result_->UnlockUpdate();
}

}  // namespace pixoran
