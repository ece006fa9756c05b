// Acquisition hooks, the preview event and the open multi-page PostScript and
// PDF documents of the I/O component.
#include "io/pixoranio.h"
#include "io/formats/pspdf/pspdffilt.h"
#include "io/pxds.h"
#include "io/pxtwain.h"
#include "io/pxwia.h"

namespace pixoran {

namespace {
// The messages a capture object posts to the viewer: a new frame, a graph event.
constexpr uint32_t kCaptureFrameMessage = 0x1F59;
constexpr uint32_t kCaptureEventMessage = 0x1F5A;
}  // namespace

void TPixoranIO::DoIOPreview(QWidget* form) {
  if (OnIOPreview) OnIOPreview(this, form);
}

void TPixoranIO::AcquireBitmap(TPXBitmap* bitmap, TIOParamsVals*& params) {
  result_.Reset();
  if (!PrepareBitmap()) {
    result_.Set(iorFailed, "the attached bitmap cannot take the acquired image");
    return;
  }
  bool handled = false;
  DoAcquireBitmap(bitmap, handled);
  if (handled) return;
  // The record describes the acquired image from now on, nothing of the last one.
  params_->ResetInfo();
  params = params_.get();
  if (bitmap && bitmap != working_) {
    try {
      working_->Assign(bitmap);
    } catch (...) {
      std::string text;
      const TPXIOResult kind = IOResultOfException(std::current_exception(), text);
      result_.Set(kind, "acquired image: " + text);
      throw;
    }
  }
  if (autoAdjustDPI_) AdjustBitmapDPI();
  UpdateAttached();
}

void TPixoranIO::DoAcquireBitmap(TPXBitmap* bitmap, bool& handled) {
  if (OnAcquireBitmap) OnAcquireBitmap(this, bitmap, handled);
}

TBitmap* TPixoranIO::GetTBitmap() {
  if (working_ && working_->Location() == pxTBitmap) return working_->VclBitmap();
  return attachedTBitmap_;
}

TPXWia* TPixoranIO::GetWIA() {
  if (!wia_) {
    wia_ = std::make_unique<TPXWia>(this);
    wia_->OnProgress = [this](int32_t percent) { return WIAProgress(percent); };
  }
  return wia_.get();
}

bool TPixoranIO::WIAProgress(int32_t percent) {
  if (OnProgress) OnProgress(this, percent);
  return !aborting_;
}

TPXDirectShow* TPixoranIO::GetDirectShow() {
  if (!directShow_) {
    directShow_ = std::make_unique<TPXDirectShow>();
    // Frames and events go to the attached viewer, named by its address.
    if (viewer_)
      directShow_->SetNotify(reinterpret_cast<uint64_t>(viewerComponent_), kCaptureFrameMessage, kCaptureEventMessage);
  }
  return directShow_.get();
}

TPXTWainParams& TPixoranIO::TWainParams() {
  if (!twainParams_) twainParams_ = std::make_unique<TPXTWainParams>(this, false);
  return *twainParams_;
}

void TPixoranIO::AdoptPSFile(std::unique_ptr<TPXPSState> state, std::unique_ptr<TStream> stream) {
  ClosePSFile();
  if (!state || !stream) return;
  psState_ = std::move(state);
  psStream_ = std::move(stream);
}

void TPixoranIO::AdoptPDFFile(std::unique_ptr<TPXPDFDocument> document, std::unique_ptr<TStream> stream) {
  ClosePDFFile();
  if (!document || !stream) return;
  pdfDocument_ = std::move(document);
  pdfStream_ = std::move(stream);
}

void TPixoranIO::ClosePSFile() {
  if (!psState_) return;
  const bool ok = psStream_ && WritePSTrailer(std::move(psState_), *psStream_);
  psState_.reset();
  psStream_.reset();
  if (!ok) Fail(iorWriteFailed, "PostScript: the document's end could not be written");
}

void TPixoranIO::ClosePDFFile() {
  if (!pdfDocument_) return;
  const bool ok = pdfStream_ && SavePDFDocument(std::move(pdfDocument_), *pdfStream_, *params_);
  pdfDocument_.reset();
  pdfStream_.reset();
  if (!ok) Fail(iorWriteFailed, "PDF: the document could not be written");
}

}  // namespace pixoran
