#include "io/pixoranio.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/pxresample.h"
#include "io/pixoranio_codecs.h"
#include "platform/imagelink.h"

namespace pixoran {

// ---------------------------------------------------------------- row colour spaces

void ConvertRowColorSpace(const void* source, int32_t sourceFormat, void* destination, TIOParamsVals* /*params*/,
                          int32_t count, int32_t destinationFormat) {
  if (source == nullptr || destination == nullptr || count <= 0) return;
  const auto* s = static_cast<const uint8_t*>(source);
  auto* d = static_cast<uint8_t*>(destination);
  const int32_t from = static_cast<int32_t>(static_cast<uint32_t>(sourceFormat) & 0x7FFFFFFFu);
  const auto n = static_cast<size_t>(count);

  if (destinationFormat == pxcsBGR) {
    switch (from) {
      case pxcsRGB: SwapRedBlueRow(s, d, count); return;
      case pxcsBGR: std::memmove(d, s, n * 3); return;
      case pxcsCMYK: CMYKRowToBGR(s, d, count); return;
      case pxcsInvertedCMYK:
        // The inversion is done on a copy: the caller's row stays as it was.
        for (size_t i = 0; i < n; ++i, s += 4, d += 3) {
          const TCMYK c{static_cast<uint8_t>(~s[0]), static_cast<uint8_t>(~s[1]), static_cast<uint8_t>(~s[2]),
                        static_cast<uint8_t>(~s[3])};
          const TBGR p = CMYKToRGB(c);
          d[0] = p.b, d[1] = p.g, d[2] = p.r;
        }
        return;
      case pxcsRGB48LE:
        for (size_t i = 0; i < n; ++i, s += 6, d += 3) {
          const uint8_t r = s[1], g = s[3], b = s[5];
          d[0] = b, d[1] = g, d[2] = r;
        }
        return;
      case pxcsRGB48BE:
        for (size_t i = 0; i < n; ++i, s += 6, d += 3) {
          const uint8_t r = s[0], g = s[2], b = s[4];
          d[0] = b, d[1] = g, d[2] = r;
        }
        return;
      case pxcsCIELab:
        for (size_t i = 0; i < n; ++i, s += 3, d += 3) {
          const TBGR p = CIELabToRGB(s[0], static_cast<int8_t>(s[1]), static_cast<int8_t>(s[2]));
          d[0] = p.b, d[1] = p.g, d[2] = p.r;
        }
        return;
      default: return;
    }
  }
  if (from != pxcsBGR) return;
  switch (destinationFormat) {
    case pxcsCMYK: BGRRowToCMYK(s, d, count); return;
    case pxcsCIELab:
      for (size_t i = 0; i < n; ++i, s += 3, d += 3) {
        const TCIELab lab = RGBToCIELab(BGRToInt(TBGR{s[0], s[1], s[2]}));
        d[0] = lab.L, d[1] = static_cast<uint8_t>(lab.a), d[2] = static_cast<uint8_t>(lab.b);
      }
      return;
    case pxcsGray8:
      for (size_t i = 0; i < n; ++i, s += 3, ++d) *d = static_cast<uint8_t>(BGRLuminance(TBGR{s[0], s[1], s[2]}));
      return;
    default: return;
  }
}

TPXAtomicHook<TPXConvertColorProc>& ConvertColorHook() {
  static TPXAtomicHook<TPXConvertColorProc> hook{ConvertRowColorSpace};
  return hook;
}

// ---------------------------------------------------------------- counts

namespace {

int32_t CountInFile(const std::string& fileName, int32_t fileType) {
  const TPXFormatCodec* codec = FindFormatCodec(fileType);
  if (!codec || !codec->Count) return 0;
  try {
    TFileStream fs(fileName, fmOpenRead);
    return codec->Count(fs);
  } catch (...) {
    return 0;
  }
}

}  // namespace

int32_t GIFFileFrameCount(const std::string& fileName) { return CountInFile(fileName, ioGIF); }
int32_t TIFFFilePageCount(const std::string& fileName) { return CountInFile(fileName, ioTIFF); }
int32_t DCXFilePageCount(const std::string& fileName) { return CountInFile(fileName, ioDCX); }
int32_t ICOFileImageCount(const std::string& fileName) { return CountInFile(fileName, ioICO); }

// ---------------------------------------------------------------- component

TPixoranIO::TPixoranIO(TComponent* owner) : TComponent(owner) {
  ResetToOwned();
  // Created last: the record asks its owner for the platform bitmap.
  params_ = std::make_unique<TIOParamsVals>(this);
  threads_->Component = this;
}

TPixoranIO::~TPixoranIO() {
  // From the component's own worker this waits for the others only.
  WaitForWorkers(false);
  {
    std::lock_guard<std::mutex> guard(threads_->Lock);
    threads_->Component = nullptr;
  }
  // Drops what is still queued for the UI thread (and waits for a call
  // running there now).
  uiPoster_.reset();
  // While the record lives: the PDF document is written with it.
  ClosePSFile();
  ClosePDFFile();
  CloseAVIFile();
  DetachViewer();
  DetachImage();
}

void TPixoranIO::ResetToOwned() {
  auto fresh = std::make_unique<TPXBitmap>();
  fresh->BWConversion = bwConversion_;
  working_ = fresh.get();
  attachedTBitmap_ = nullptr;
  owned_ = std::move(fresh);
}

void TPixoranIO::WrapTBitmap(TBitmap* bitmap) {
  // Always a wrapper of our own: re-pointing a bitmap borrowed from a
  // viewer or the caller would change theirs.
  ResetToOwned();
  if (bitmap) {
    working_->AttachTBitmap(bitmap, true);
    attachedTBitmap_ = bitmap;
  }
}

void TPixoranIO::DetachViewer() {
  if (viewer_) {
    if (viewerHandle_ >= 0) viewer_->RemoveBitmapChangeEvent(viewerHandle_);
    viewerComponent_->RemoveFreeNotification(this);
  }
  viewer_ = nullptr;
  viewerComponent_ = nullptr;
  viewerHandle_ = -1;
}

void TPixoranIO::DetachImage() {
  if (imageComponent_) imageComponent_->RemoveFreeNotification(this);
  image_ = nullptr;
  imageComponent_ = nullptr;
}

void TPixoranIO::TakeViewerBitmap() {
  TPXBitmap* px = viewer_->GetPXBitmap();
  TBitmap* tb = viewer_->GetTBitmap();
  if (px) {
    working_ = px;
    attachedTBitmap_ = nullptr;
    owned_.reset();
    return;
  }
  // A fresh wrapper each time: the viewer may have replaced its bitmap.
  WrapTBitmap(tb);
}

void TPixoranIO::SetAttachedPixoran(TPXViewLink* view) {
  // Never re-pointed under a running worker.
  WaitForWorkers(false);
  DetachViewer();
  if (!view) {
    ResetToOwned();
    return;
  }
  DetachImage();
  viewer_ = view;
  viewerComponent_ = view->ViewComponent();
  TakeViewerBitmap();
  viewerComponent_->FreeNotification(this);
  viewerHandle_ =
      view->RegisterBitmapChangeEvent(&TPixoranIO::ViewerCallback, this, &TPixoranIO::ViewerReleaseCallback);
}

void TPixoranIO::SetAttachedTImage(TImage* image) {
  WaitForWorkers(false);
  DetachViewer();
  DetachImage();
  if (!image) {
    // A fresh bitmap rather than freeing the working one's image: that may
    // be a bitmap the component only borrows.
    ResetToOwned();
    return;
  }
  TComponent* component = ImageControlComponent(image);
  if (!component) {
    ResetToOwned();
    return;
  }
  image_ = image;
  imageComponent_ = component;
  WrapTBitmap(ImageControlPicture(image));
  component->FreeNotification(this);
}

void TPixoranIO::ComponentRemoved(TComponent* component) {
  if (!component) return;
  // What goes with the control (the viewer's bitmap, the control's picture)
  // may be what a worker writes into: stop it first.
  if (component == viewerComponent_ || component == imageComponent_) WaitForWorkers(true);
  if (component == viewerComponent_) {
    // Its destructor has run: no call reaches it any more.
    viewer_ = nullptr;
    viewerComponent_ = nullptr;
    viewerHandle_ = -1;
    ResetToOwned();
  } else if (component == imageComponent_) {
    // The picture goes with the control: never keep (or re-wrap) it.
    image_ = nullptr;
    imageComponent_ = nullptr;
    ResetToOwned();
  }
}

void TPixoranIO::ViewerCallback(void* userData, TPXViewLink* view, bool destroying) {
  auto* self = static_cast<TPixoranIO*>(userData);
  if (self && view == self->viewer_) self->ViewerBitmapChanged(destroying);
}

void TPixoranIO::ViewerBitmapChanged(bool destroying) {
  if (!viewer_) return;
  if (destroying) {
    // The viewer's bitmap goes after this: a worker must not write on.
    WaitForWorkers(true);
    // The viewer removes our entry itself; its bitmap goes with it, so
    // nothing borrowed from it may stay here.
    viewerComponent_->RemoveFreeNotification(this);
    viewer_ = nullptr;
    viewerComponent_ = nullptr;
    viewerHandle_ = -1;
    ResetToOwned();
    return;
  }
  {
    // Marked under the lock: a worker leaving meanwhile sees it and has the
    // change followed.
    std::lock_guard<std::mutex> guard(threads_->Lock);
    if (!threads_->Threads.empty()) {
      // A worker writes into the working bitmap: it is re-pointed when done.
      viewerChangePending_ = true;
      return;
    }
  }
  TakeViewerBitmap();
}

void TPixoranIO::ViewerReleaseCallback(void* userData, TPXViewLink* view, TPXBitmap* bitmap, bool cancel) {
  auto* self = static_cast<TPixoranIO*>(userData);
  if (self && view == self->viewer_) self->ViewerBitmapReleasing(bitmap, cancel);
}

void TPixoranIO::ViewerBitmapReleasing(TPXBitmap* bitmap, bool cancel) {
  // Only the working bitmap is ever handed to a worker; a viewer without a
  // TPXBitmap of its own is wrapped, so its release is that of our wrapper.
  if (!bitmap || (bitmap != working_ && !(attachedTBitmap_ && bitmap->VclBitmap() == attachedTBitmap_))) return;
  // The working bitmap is re-pointed by the change the viewer announces next.
  WaitForWorkers(cancel);
}

void TPixoranIO::ApplyDeferredViewerChange() {
  {
    std::lock_guard<std::mutex> guard(threads_->Lock);
    if (!viewerChangePending_) return;
    viewerChangePending_ = false;
  }
  // The worker that deferred it is leaving, or has left.
  WaitForWorkers(false);
  if (viewer_) TakeViewerBitmap();
}

void TPixoranIO::WorkerLeaving() {
  // Called under the thread list's lock.
  if (viewerChangePending_) uiPoster_->Post([this] { ApplyDeferredViewerChange(); });
}

void TPixoranIO::SetAttachedBitmap(TBitmap* bitmap) {
  WaitForWorkers(false);
  if (!bitmap && (viewer_ || image_)) return;
  DetachViewer();
  DetachImage();
  WrapTBitmap(bitmap);
}

void TPixoranIO::SetAttachedPXBitmap(TPXBitmap* bitmap) {
  WaitForWorkers(false);
  if (!bitmap && (viewer_ || image_)) return;
  DetachViewer();
  DetachImage();
  if (!bitmap) {
    ResetToOwned();
    return;
  }
  attachedTBitmap_ = nullptr;
  working_ = bitmap;
  owned_.reset();
}

bool TPixoranIO::PrepareBitmap(uint32_t allowed) {
  if (!working_) return false;
  if (attachedTBitmap_) working_->AttachTBitmap(attachedTBitmap_, true);
  if (allowed != 0 && (allowed & PXFormatBit(working_->PixelFormat())) == 0) return false;
  return true;
}

void TPixoranIO::UpdateAttached() {
  if (attachedTBitmap_) working_->RemoveAlphaChannel();
  if (viewer_) {
    OnUIThread([this] {
      if (!viewer_) return;
      viewer_->Update();
      viewer_->ImageChange();
    });
  } else if (attachedTBitmap_) {
    // An image control repaints on it.
    OnUIThread([this, bitmap = attachedTBitmap_] {
      if (attachedTBitmap_ == bitmap) bitmap->Modified();
    });
  }
}

void TPixoranIO::OnUIThread(std::function<void()> call) { uiPoster_->RunOrPost(std::move(call)); }

void TPixoranIO::TellViewerDpi() {
  if (!viewer_) return;
  const int32_t x = params_->DpiX, y = params_->DpiY;
  OnUIThread([this, x, y] {
    if (viewer_) viewer_->SetDpi(x, y);
  });
}

void TPixoranIO::FixDefaultDPI() {
  if (params_->DpiX < 2) params_->SetDpiX(PXSettings().DefaultDpiX);
  if (params_->DpiY < 2) params_->SetDpiY(PXSettings().DefaultDpiY);
}

void TPixoranIO::AdjustBitmapDPI() {
  if (!PrepareBitmap() || !params_) return;
  TPXBitmap& bmp = *working_;
  TIOParamsVals& p = *params_;
  if (p.DpiX <= 0 || p.DpiY <= 0 || p.DpiX == p.DpiY || bmp.Width() <= 0 || bmp.Height() <= 0) return;
  int32_t newW = p.Width, newH = p.Height;
  // The fields are written directly: the viewer hears of the resolution after the load.
  if (p.Height < p.Width) {
    newH = TruncToInt32(static_cast<double>(p.Height) / p.DpiY * p.DpiX);
    p.DpiY = p.DpiX;
    p.Height = newH;
  } else {
    newW = TruncToInt32(static_cast<double>(p.Width) / p.DpiX * p.DpiY);
    p.DpiX = p.DpiY;
    p.Width = newW;
  }
  if (newW <= 0 || newH <= 0) return;  // a degenerate header: keep the image as read
  std::unique_ptr<TPXBitmap> alpha;
  if (bmp.HasAlphaChannel()) {
    alpha = std::make_unique<TPXBitmap>();
    alpha->Assign(bmp.GetAlphaChannel());
  }
  TPXBitmap resized;
  if (filteredAdjustDPI_) {
    if (!resized.Allocate(newW, newH, pxBGR24)) return;
    Resample24Filtered(bmp, resized, rfFastLinear);  // reads any format as 24-bit
  } else {
    if (!resized.Allocate(newW, newH, bmp.PixelFormat())) return;
    ResampleNearest(bmp, resized);
  }
  bmp.RemoveAlphaChannel();
  bmp.Assign(&resized);
  if (alpha) {
    TPXBitmap* a = bmp.GetAlphaChannel();
    ResampleNearest(*alpha, *a);
    a->Full = alpha->Full;
  }
}

TColor TPixoranIO::Background() const { return viewer_ ? viewer_->Background() : background_; }

void TPixoranIO::SetBackground(TColor color) {
  if (!viewer_) background_ = color;
}

void TPixoranIO::SetBWConversion(uint8_t value) {
  bwConversion_ = value;
  if (working_) working_->BWConversion = value;
}

void TPixoranIO::SetNativePixelFormat(bool value) {
  if (params_) params_->KeepNativeFormat = value ? 1 : 0;
}

void TPixoranIO::OwnerDpiXChanged(int32_t dpi) {
  if (!viewer_) return;
  OnUIThread([this, dpi] {
    if (viewer_) viewer_->SetDpiX(dpi);
  });
}

void TPixoranIO::OwnerDpiYChanged(int32_t dpi) {
  if (!viewer_) return;
  OnUIThread([this, dpi] {
    if (viewer_) viewer_->SetDpiY(dpi);
  });
}

void TPixoranIO::DoFinishWork() {
  if (OnProgress) OnProgress(this, 100);
  // A copy: the handler may free the component, and its own closure with it.
  if (TPXNotifyEvent finish = OnFinishWork) finish(this);
}

void TPixoranIO::Fail(TPXIOResult kind, std::string text) {
  FailOperation(result_, aborting_, cancelRequested_, kind, std::move(text));
}

void TPixoranIO::FailFromException(std::exception_ptr error) {
  FailOperation(result_, aborting_, cancelRequested_, error);
}

void TPixoranIO::FinishOperation() {
  if (innerDepth_ != 0) return;
  if (aborting_ && !cancelRequested_) {
    if (PXStorageWriteFailures() != storageWriteFailuresAtStart_) {
      // A reader or writer that stopped when a temporary file of its bitmap
      // could not be written (a full disk).
      result_.Set(iorWriteFailed, "cannot write a temporary file of the image");
    } else if (PXStorageFailures() != storageFailuresAtStart_) {
      // A reader or writer that stopped when its bitmap could not be had.
      result_.Set(iorNoMemory, "not enough memory or disk for the image");
    }
  }
  SettleOperation(result_, aborting_, cancelRequested_);
  {
    std::lock_guard<std::mutex> guard(threads_->Lock);
    ++threads_->Finished;
  }
  DoFinishWork();
}

bool TPixoranIO::HandOff(std::function<void()> call) {
  // Inner operations of a larger one stay where it runs: their streams may
  // live on its stack.
  if (OwnsBitmap() || !asyncMode_ || innerDepth_ != 0 || IsInsideThread()) return false;
  // A viewer change deferred by the last worker is followed before the next.
  ApplyDeferredViewerChange();
  return TPXIOThread::Start(threads_, std::move(call));
}

void TPixoranIO::WorkerFailed(bool finishOwed) {
  aborting_ = true;
  if (finishOwed) FinishOperation();
}

void TPixoranIO::RunOperation(const std::function<void()>& body) {
  // Operations handed to a worker come here on it; the others on the caller's thread.
  if (!IsInsideThread()) ApplyDeferredViewerChange();
  if (innerDepth_ == 0) {
    result_.Reset();
    cancelRequested_ = false;
    storageFailuresAtStart_ = PXStorageFailures();
    storageWriteFailuresAtStart_ = PXStorageWriteFailures();
  }
  try {
    body();
  } catch (...) {
    // Recorded before the finishing events; the exception then passes on.
    FailFromException(std::current_exception());
    FinishOperation();
    throw;
  }
  FinishOperation();
}

void TPixoranIO::RunInner(const std::function<void()>& step) {
  // The step fires no finishing event, so the count is safely lowered after it.
  ++innerDepth_;
  try {
    step();
  } catch (...) {
    --innerDepth_;
    throw;
  }
  --innerDepth_;
}

TPXProgressRec TPixoranIO::MakeProgress(bool withHandler) {
  TPXProgressRec progress;
  if (withHandler) progress.OnProgress = OnProgress;
  progress.Sender = this;
  progress.Aborting = &aborting_;
  progress.Result = &result_;
  return progress;
}

void TPixoranIO::WaitForWorkers(bool setAborting) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(threads_->Lock);
  for (;;) {
    // Again on every round: an operation that was only starting clears it.
    if (setAborting) {
      cancelRequested_ = true;
      aborting_ = true;
    }
    const bool others = std::any_of(threads_->Threads.begin(), threads_->Threads.end(),
                                    [&](const TPXIOThread* t) { return t->ThreadId() != self; });
    if (!others) return;
    threads_->Changed.wait_for(lock, std::chrono::milliseconds(2));
  }
}

void TPixoranIO::WaitThreads(bool setAborting) {
  WaitForWorkers(setAborting);
  if (!IsInsideThread()) ApplyDeferredViewerChange();
}

bool TPixoranIO::IsInsideThread() const {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> guard(threads_->Lock);
  return std::any_of(threads_->Threads.begin(), threads_->Threads.end(),
                     [&](const TPXIOThread* t) { return t->ThreadId() == self; });
}

}  // namespace pixoran
