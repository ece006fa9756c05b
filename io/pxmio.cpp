// The multi-image component: the record list that follows the view, the
// per-format loaders, the preview dialog and acquired bitmaps.
#include "io/pxmio.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/pxmask.h"
#include "core/pxviewlink.h"
#include "io/formats/gif/giffilter.h"
#include "io/formats/ico/icofilt.h"
#include "io/formats/pcx/pcxfilter.h"
#include "io/pixoranio.h"
#include "io/formats/avi/pxavi.h"
#include "io/pxprint.h"
#include "io/pxwia.h"
#include "io/formats/tiff/tiffilt.h"

namespace pixoran {

namespace {

// The file types the records of each loader get.
constexpr int32_t kTIFFType = 1, kGIFType = 2, kICOType = 6, kDCXType = 19, kAVIType = 0;
constexpr int32_t kDefaultDelay = 100;  // milliseconds

void FixDefaultDpi(TIOParamsVals& rec) {
  if (rec.DpiX < 2) rec.SetDpiX(PXSettings().DefaultDpiX);
  if (rec.DpiY < 2) rec.SetDpiY(PXSettings().DefaultDpiY);
}

// A reader's transparency (pxGray8 of the image's size) becomes the
// bitmap's alpha channel; anything else is left out.
void AlphaIntoBitmap(TPXBitmap& bitmap, TPXBitmap& alpha) {
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  if (alpha.PixelFormat() != pxGray8 || alpha.Width() != w || alpha.Height() != h || w <= 0) return;
  TPXBitmap* a = bitmap.GetAlphaChannel();
  if (!a) return;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = alpha.Scanline(y);
    uint8_t* d = a->Scanline(y);
    if (!s || !d) break;
    std::memcpy(d, s, static_cast<size_t>(w));
  }
  a->SyncFull();
}

void MaskIntoBitmap(TPXBitmap& bitmap, const TPXMask& mask) {
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  if (mask.Width() != w || mask.Height() != h || mask.BitsPerPixel() != 8 || w <= 0) return;
  TPXBitmap* a = bitmap.GetAlphaChannel();
  if (!a) return;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = mask.GetRowPointer(y);
    uint8_t* d = a->Scanline(y);
    if (!s || !d) break;
    std::memcpy(d, s, static_cast<size_t>(w));
  }
  a->SyncFull();
}

bool HasImage(TPXBitmap& bitmap) { return bitmap.Width() > 0 && bitmap.Height() > 0; }

std::string LowerExtension(const std::string& fileName) {
  const size_t slash = fileName.find_last_of("/\\");
  const size_t dot = fileName.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = fileName.substr(dot);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

}  // namespace

TPixoranMIO::TPixoranMIO(TComponent* owner)
    : TComponent(owner), twainParams_(std::make_unique<TPXTWainParams>(this, true)) {}

TPixoranMIO::~TPixoranMIO() { DetachView(); }

// ---------------------------------------------------------------- the view and its records

void TPixoranMIO::DetachView() {
  if (view_) {
    if (TPXViewLink* c = view_->Control()) {
      if (viewHandle_ >= 0) c->RemoveBitmapChangeEvent(viewHandle_);
      viewComponent_->RemoveFreeNotification(this);
    }
  }
  view_.reset();
  viewComponent_ = nullptr;
  viewHandle_ = -1;
}

void TPixoranMIO::SetAttachedMView(std::unique_ptr<TPXMIOView> view) {
  DetachView();
  view_ = std::move(view);
  if (!view_) return;
  if (TPXViewLink* c = view_->Control()) {
    viewComponent_ = c->ViewComponent();
    viewComponent_->FreeNotification(this);
    viewHandle_ = c->RegisterBitmapChangeEvent(&TPixoranMIO::ViewCallback, this);
  }
  // Records left from another view would otherwise describe the wrong images.
  const int32_t n = std::max(view_->ImageCount(), 0);
  if (ParamsCount() > n) params_.resize(static_cast<size_t>(n));
  while (ParamsCount() < n) InsertParams(ParamsCount());
  Renumber();
}

void TPixoranMIO::ComponentRemoved(TComponent* component) {
  if (view_ && component && component == viewComponent_) {
    // Its destructor runs: it is only forgotten, never called.
    view_.reset();
    viewComponent_ = nullptr;
    viewHandle_ = -1;
  }
}

void TPixoranMIO::ViewCallback(void* userData, TPXViewLink* view, bool destroying) {
  auto* self = static_cast<TPixoranMIO*>(userData);
  if (!self || !self->view_ || view != self->view_->Control()) return;
  if (destroying) {
    // The view drops our entry itself.
    self->viewComponent_->RemoveFreeNotification(self);
    self->view_.reset();
    self->viewComponent_ = nullptr;
    self->viewHandle_ = -1;
    return;
  }
  self->ViewChanged(self->view_->LastChange(), self->view_->LastChangeIndex());
}

void TPixoranMIO::ViewChanged(int32_t kind, int32_t index) {
  switch (kind) {
    case pxmcInserted: {
      InsertParams(index);
      const int32_t at = std::clamp(index, 0, ParamsCount() - 1);
      inserted_ = params_[static_cast<size_t>(at)];
      break;
    }
    case pxmcDeleted: DeleteParams(index); break;
    case pxmcCleared: params_.clear(); break;
    default: break;
  }
}

TIOParamsVals* TPixoranMIO::GetParams(int32_t index) const {
  if (index < 0 || index >= ParamsCount()) return nullptr;
  return params_[static_cast<size_t>(index)].get();
}

void TPixoranMIO::InsertParams(int32_t index) {
  auto rec = std::make_shared<TIOParamsVals>();
  const int32_t count = ParamsCount();
  index = std::clamp(index, 0, count);
  if (count > 0) rec->Assign(*params_[static_cast<size_t>(index < count ? index : count - 1)]);
  params_.insert(params_.begin() + index, std::move(rec));
  Renumber();
}

void TPixoranMIO::DeleteParams(int32_t index) {
  if (index < 0 || index >= ParamsCount()) return;
  params_.erase(params_.begin() + index);
  Renumber();
}

void TPixoranMIO::CopyFirstParams() {
  for (size_t i = 1; i < params_.size(); ++i) params_[i]->CopySaveOptions(*params_[0]);
}

void TPixoranMIO::Renumber() {
  for (int32_t i = 0; i < ParamsCount(); ++i) {
    TIOParamsVals& p = *params_[static_cast<size_t>(i)];
    p.TIFFImageIndex = p.GIFImageIndex = p.DCXImageIndex = p.ICOImageIndex = i;
  }
}

int32_t TPixoranMIO::PositionOf(const TIOParamsVals* rec) const {
  for (int32_t i = 0; i < ParamsCount(); ++i)
    if (params_[static_cast<size_t>(i)].get() == rec) return i;
  return -1;
}

// ---------------------------------------------------------------- helpers

TPixoranIO& TPixoranMIO::Helper() {
  if (!helper_) helper_ = std::make_unique<TPixoranIO>(this);  // the dialogs tell the two components apart
  return *helper_;
}

void TPixoranMIO::AdjustDPI(TPXBitmap& bitmap, TIOParamsVals& rec) {
  if (!HasImage(bitmap)) return;
  TPixoranIO& io = Helper();
  io.SetAttachedPXBitmap(&bitmap);
  io.SetFilteredAdjustDPI(filteredAdjustDPI_);
  TIOParamsVals& p = io.Params();
  const bool sizeOfImage = rec.Width == bitmap.Width() && rec.Height == bitmap.Height();
  p.DpiX = rec.DpiX;
  p.DpiY = rec.DpiY;
  p.Width = bitmap.Width();
  p.Height = bitmap.Height();
  io.AdjustBitmapDPI();
  io.SetAttachedPXBitmap(nullptr);
  rec.DpiX = p.DpiX;
  rec.DpiY = p.DpiY;
  // A composed GIF frame keeps its own rectangle in the record.
  if (sizeOfImage) {
    rec.Width = bitmap.Width();
    rec.Height = bitmap.Height();
  }
}

class TPixoranMIO::TLoadScope {
 public:
  explicit TLoadScope(TPixoranMIO& mio) : mio_(mio) {
    if (mio_.loadDepth_++ == 0) {
      mio_.result_.Reset();
      mio_.cancelRequested_ = false;
    }
  }
  ~TLoadScope() {
    if (--mio_.loadDepth_ == 0) mio_.SettleResult();
  }
  TLoadScope(const TLoadScope&) = delete;
  TLoadScope& operator=(const TLoadScope&) = delete;

 private:
  TPixoranMIO& mio_;
};

TPXProgressRec TPixoranMIO::LoadProgress() {
  TPXProgressRec progress;
  progress.Aborting = &aborting_;
  progress.Result = &result_;
  return progress;
}

void TPixoranMIO::Fail(TPXIOResult kind, std::string text) {
  FailOperation(result_, aborting_, cancelRequested_, kind, std::move(text));
}

void TPixoranMIO::FailFromException(std::exception_ptr error) {
  FailOperation(result_, aborting_, cancelRequested_, error);
}

void TPixoranMIO::SettleResult() { SettleOperation(result_, aborting_, cancelRequested_); }

void TPixoranMIO::Progress(int32_t percent) {
  if (OnProgress) OnProgress(this, percent);
}

void TPixoranMIO::DoFinishWork() {
  if (OnProgress) OnProgress(this, 100);
  if (OnFinishWork) OnFinishWork(this);
}

TPXWia* TPixoranMIO::GetWia() {
  if (!wia_) {
    wia_ = std::make_unique<TPXWia>(this);
    wia_->OnProgress = [this](int32_t percent) {
      Progress(percent);
      return !aborting_.load();
    };
  }
  return wia_.get();
}

// ---------------------------------------------------------------- loading

struct TPixoranMIO::TFrameOut {
  TPXBitmap* Image = nullptr;  // nullptr: no image there
  int32_t Delay = kDefaultDelay;
  bool SetBackground = false;
  TColor Background = 0;
};

void TPixoranMIO::RunLoader(TStream* stream, int32_t fileType, const std::string& fileName, int32_t count,
                            const TFrameReader& read) {
  if (!view_) return;
  aborting_ = false;
  try {
    const int64_t start = stream ? stream->Position() : 0;
    int32_t index = std::max(view_->SelectedImage(), 0);
    // count < 0: the reader tells it with the first image.
    if (count == 0) Fail(iorCorrupt, "the file holds no image");
    for (int32_t i = 0; count != 0 && (count < 0 || i < count); ++i) {
      if (!view_) break;
      index = std::clamp(index, 0, view_->ImageCount());
      inserted_.reset();
      view_->InsertImageNoSelect(index);
      if (!view_) break;
      // The load holds its record, not an index: what the view inserts or
      // deletes meanwhile moves it, and one deleted under it is let go.
      std::shared_ptr<TIOParamsVals> rec = std::move(inserted_);
      inserted_.reset();
      if (!rec) {
        // A view that did not announce the insertion.
        if (ParamsCount() < view_->ImageCount()) InsertParams(index);
        rec = index < ParamsCount() ? params_[static_cast<size_t>(index)] : nullptr;
        if (!rec) {
          Fail(iorFailed, "the view did not take the image");
          break;
        }
      }
      if (stream) stream->SetPosition(start);
      rec->ResetInfo();
      TFrameOut out;
      const int32_t n = read(i, *rec, out);
      if (n >= 0) count = n;
      // A file without images loads nothing.
      if (count == 0) Fail(iorCorrupt, "the file holds no image");
      TPXBitmap adjusted;
      if (!aborting_ && out.Image && autoAdjustDPI_) {
        adjusted.Assign(out.Image);
        AdjustDPI(adjusted, *rec);
        out.Image = &adjusted;
      }
      const int32_t pos = PositionOf(rec.get());
      if (pos >= 0) {
        TIOParamsVals& p = *rec;
        p.TIFFImageIndex = p.GIFImageIndex = p.DCXImageIndex = p.ICOImageIndex = pos;
      }
      rec->FileType = fileType;
      rec->FileName = fileName;
      if (!view_) break;
      if (aborting_ || !out.Image) {
        if (pos >= 0) view_->DeleteImage(pos);
        if (aborting_) break;
      } else if (pos >= 0) {
        if (out.SetBackground) view_->SetImageBackground(pos, out.Background);
        if (!view_->SetImageBitmap(pos, *out.Image)) {
          // The store could not take it: a load that lost an image failed.
          view_->DeleteImage(pos);
          Fail(iorNoMemory, "the view's image store could not take image " + std::to_string(i));
          break;
        }
        view_->SetImageDelayTime(pos, out.Delay);
      }
      if (count > 0) Progress(static_cast<int32_t>(int64_t{i} * 100 / count));
      if (aborting_) break;
      const int32_t now = PositionOf(rec.get());
      index = now >= 0 ? now + 1 : (pos >= 0 ? pos : index);
    }
    Renumber();
  } catch (...) {
    FailFromException(std::current_exception());
    Renumber();
    if (view_) view_->Refresh();
    SettleResult();
    DoFinishWork();
    throw;
  }
  if (view_) view_->Refresh();
  SettleResult();
  DoFinishWork();
}

void TPixoranMIO::LoadFile(const std::string& fileName, void (TPixoranMIO::*load)(TStream&)) {
  if (!view_) return;
  TLoadScope scope(*this);
  std::unique_ptr<TFileStream> file;
  try {
    file = std::make_unique<TFileStream>(fileName, fmOpenRead);
  } catch (...) {
    FailFromException(std::current_exception());
    SettleResult();
    DoFinishWork();
    throw;
  }
  (this->*load)(*file);
}

void TPixoranMIO::LoadGIFFrames(const std::string& fileName) {
  LoadFile(fileName, static_cast<void (TPixoranMIO::*)(TStream&)>(&TPixoranMIO::LoadGIFFrames));
}
void TPixoranMIO::LoadTIFFPages(const std::string& fileName) {
  LoadFile(fileName, static_cast<void (TPixoranMIO::*)(TStream&)>(&TPixoranMIO::LoadTIFFPages));
}
void TPixoranMIO::LoadICOImages(const std::string& fileName) {
  LoadFile(fileName, static_cast<void (TPixoranMIO::*)(TStream&)>(&TPixoranMIO::LoadICOImages));
}
void TPixoranMIO::LoadDCXPages(const std::string& fileName) {
  LoadFile(fileName, static_cast<void (TPixoranMIO::*)(TStream&)>(&TPixoranMIO::LoadDCXPages));
}

void TPixoranMIO::LoadGIFFrames(TStream& stream) {
  TLoadScope scope(*this);
  TPXProgressRec progress = LoadProgress();
  TGIFFrameComposer composer(stream.Size() - stream.Position(), progress);
  TPXBitmap frame;
  int32_t lastDelay = kDefaultDelay;
  RunLoader(&stream, kGIFType, {}, -1, [&](int32_t i, TIOParamsVals& rec, TFrameOut& out) {
    int32_t frames = 0;
    std::unique_ptr<TPXMask> mask;
    rec.GIFImageIndex = i;
    ReadGIFStream(stream, frame, frames, rec, progress, false, mask, false);
    if (aborting_) return frames;
    const TPXMask* transparency = rec.GIFTransparent ? mask.get() : nullptr;
    if (frames > 1) {
      if (!composer.AddFrame(frame, transparency, rec)) {
        Fail(iorNoMemory, "GIF: no storage for the composed frame");
        return frames;
      }
      out.Image = &composer.Canvas();
      out.SetBackground = true;
      out.Background = RGBColor(rec.GIFBackground.r, rec.GIFBackground.g, rec.GIFBackground.b);
    } else {
      if (transparency) MaskIntoBitmap(frame, *transparency);
      out.Image = &frame;
    }
    // A frame without a delay keeps the one before it.
    if (rec.GIFDelayTime >= 1)
      lastDelay = static_cast<int32_t>(std::min<int64_t>(int64_t{rec.GIFDelayTime} * 10, INT32_MAX));
    out.Delay = lastDelay;
    return frames;
  });
}

void TPixoranMIO::LoadTIFFPages(TStream& stream) {
  TLoadScope scope(*this);
  TPXProgressRec progress = LoadProgress();
  TPXBitmap page, alpha;
  RunLoader(&stream, kTIFFType, {}, -1, [&](int32_t i, TIOParamsVals& rec, TFrameOut& out) {
    int32_t pages = 0;
    rec.TIFFImageIndex = i;
    page.FreeImage(true);
    alpha.FreeImage(true);
    ReadTIFFStream(&page, stream, pages, false, false, true, &alpha, false, progress, &rec);
    if (aborting_) return pages;
    AlphaIntoBitmap(page, alpha);
    FixDefaultDpi(rec);
    if (HasImage(page)) out.Image = &page;
    return pages;
  });
}

void TPixoranMIO::LoadICOImages(TStream& stream) {
  if (!view_) return;
  TLoadScope scope(*this);
  TPXProgressRec progress = LoadProgress();
  TPXBitmap image;
  std::unique_ptr<TPXMask> mask;
  RunLoader(&stream, kICOType, {}, ICOImageCount(stream), [&](int32_t i, TIOParamsVals& rec, TFrameOut& out) {
    rec.ICOImageIndex = i;
    image.FreeImage(true);
    mask.reset();
    ReadICOStream(stream, image, rec, false, progress, mask, false);
    if (aborting_) return -1;
    if (mask) MaskIntoBitmap(image, *mask);
    if (HasImage(image)) out.Image = &image;
    return -1;
  });
}

void TPixoranMIO::LoadDCXPages(TStream& stream) {
  if (!view_) return;
  TLoadScope scope(*this);
  TPXProgressRec progress = LoadProgress();
  TPXBitmap page;
  RunLoader(&stream, kDCXType, {}, DCXPageCount(stream), [&](int32_t i, TIOParamsVals& rec, TFrameOut& out) {
    rec.DCXImageIndex = i;
    page.FreeImage(true);
    ReadDCXStream(stream, page, rec, progress, false);
    if (aborting_) return -1;
    FixDefaultDpi(rec);
    if (HasImage(page)) out.Image = &page;
    return -1;
  });
}

void TPixoranMIO::LoadAVIFrames(const std::string& fileName) {
  if (!view_) return;
  TLoadScope scope(*this);
  aborting_ = false;
  TAVIReader reader;
  bool opened = false;
  try {
    opened = reader.Open(std::make_unique<TFileStream>(fileName, fmOpenRead));
    if (!opened) result_.Set(iorCorrupt, "AVI: " + fileName + " is not a readable movie");
  } catch (...) {
    std::string text;
    result_.Set(IOResultOfException(std::current_exception(), text), text);
    opened = false;
  }
  // Every failure to open is Aborting (no exception), and ends like a load.
  const int32_t count = opened ? reader.FrameCount() : 0;
  const int32_t delay = opened ? reader.FrameDelay() : 0;
  TPXProgressRec progress = LoadProgress();
  TPXBitmap frame;
  RunLoader(nullptr, kAVIType, fileName, count, [&](int32_t i, TIOParamsVals& rec, TFrameOut& out) {
    frame.FreeImage(true);
    const int32_t bits = reader.ReadFrame(i, frame, progress);
    if (bits == 0 || !HasImage(frame)) {
      Fail(iorCorrupt, "AVI: frame " + std::to_string(i) + " cannot be decoded");
      return -1;
    }
    if (i == 0 && view_) view_->ReserveCacheSpace(count, frame.Width(), frame.Height(), bits);
    // The record keeps hundredths of a second, as GIF delays are kept.
    rec.GIFDelayTime = delay / 10;
    rec.BitsPerSample = bits <= 8 ? bits : bits == 15 ? 5 : 8;
    rec.SamplesPerPixel = bits <= 8 ? 1 : 3;
    rec.SetDpiX(PXSettings().DefaultDpiX);
    rec.SetDpiY(PXSettings().DefaultDpiY);
    rec.Width = frame.Width();
    rec.Height = frame.Height();
    rec.FreePalette();
    out.Image = &frame;
    out.Delay = delay;
    return -1;
  });
}

void TPixoranMIO::LoadFromFile(const std::string& fileName) {
  TLoadScope scope(*this);
  if (fileName.find_first_not_of(" \t\r\n") == std::string::npos) {
    Fail(iorNotFound, "no file name given");
    return;
  }
  const std::string ext = LowerExtension(fileName);
  if (ext == ".gif") {
    LoadGIFFrames(fileName);
  } else if (ext == ".tif" || ext == ".tiff" || ext == ".fax" || ext == ".g3f" || ext == ".g3n") {
    LoadTIFFPages(fileName);
  } else if (ext == ".avi") {
    LoadAVIFrames(fileName);
  } else if (ext == ".ico") {
    LoadICOImages(fileName);
  } else if (ext == ".dcx") {
    LoadDCXPages(fileName);
  } else {
    if (!view_) return;
    aborting_ = false;
    const int32_t index = std::max(view_->SelectedImage(), 0);
    inserted_.reset();
    view_->InsertImageNoSelect(std::min(index, view_->ImageCount()));
    std::shared_ptr<TIOParamsVals> rec = std::move(inserted_);
    inserted_.reset();
    if (!view_) return;
    // The record describes this file, not the neighbour it was copied from.
    if (rec) {
      rec->ResetInfo();
      TPixoranIO& io = Helper();
      io.ParamsFromFile(fileName);
      if (!io.Aborting()) {
        rec->Assign(io.Params());
        Renumber();
      }
    }
    const int32_t pos = rec ? PositionOf(rec.get()) : std::min(index, view_->ImageCount() - 1);
    if (pos >= 0 && !view_->LoadImageFromFile(pos, fileName)) {
      // The parameter read knows why the file could not be read, when it could not.
      TPixoranIO& io = Helper();
      if (io.Aborting() && io.LastResult() != iorOk) Fail(io.LastResult(), io.LastResultText());
      else Fail(iorFailed, "the view could not load " + fileName);
    }
  }
}

// ---------------------------------------------------------------- dialog and acquisition

bool TPixoranMIO::DoPreviews(int32_t index, uint32_t pages) {
  if (!view_) return false;
  if (view_->ImageCount() > 0 && view_->SelectedImage() < 0) view_->SetSelectedImage(0);
  const int32_t selected = view_->SelectedImage();
  TPXBitmap current;
  if (selected < 0 || !view_->CopyImage(selected, current)) return false;
  TIOParamsVals* rec = GetParams(index < 0 ? 0 : index);
  if (!rec) return false;
  bool ok = false;
  if (auto& hook = PXDialogHooks().Previews) {
    TPixoranIO& io = Helper();
    io.SetAttachedPXBitmap(&current);
    io.Params().Assign(*rec);
    io.SetPreviewsParams(previewsParams_);
    io.SetBWConversion(options_[0]);
    io.SetSimplifiedParamsDialogs(simplifiedParamsDialogs_);
    io.SetMsgLanguage(msgLanguage_);
    io.SetPreviewFont(previewFont_);
    io.SetDialogsMeasureUnit(dialogsMeasureUnit_);
    try {
      ok = hook(io, pages);
    } catch (...) {
      io.SetAttachedPXBitmap(nullptr);
      throw;
    }
    io.SetAttachedPXBitmap(nullptr);
    // The record may have gone while the dialog ran.
    if ((rec = GetParams(index < 0 ? 0 : index))) rec->Assign(io.Params());
  }
  if (index < 0) CopyFirstParams();
  Renumber();
  if (view_) view_->Refresh();
  return ok;
}

void TPixoranMIO::AcquireBitmap(TPXBitmap& bitmap, TIOParamsVals*& params) {
  params = nullptr;
  bool handled = false;
  if (OnAcquireBitmap) OnAcquireBitmap(this, bitmap, handled);
  if (handled || !view_) return;
  acquirePos_ = std::clamp(acquirePos_, 0, view_->ImageCount());
  inserted_.reset();
  view_->InsertImageNoSelect(acquirePos_);
  std::shared_ptr<TIOParamsVals> rec = std::move(inserted_);
  inserted_.reset();
  if (!view_ || !rec) return;
  // Made from its neighbour's record: it keeps the options, not the metadata.
  rec->ResetInfo();
  params = rec.get();
  TPXBitmap adjusted;
  TPXBitmap* image = &bitmap;
  if (autoAdjustDPI_) {
    adjusted.Assign(&bitmap);
    AdjustDPI(adjusted, *rec);
    image = &adjusted;
  }
  const int32_t pos = PositionOf(rec.get());
  if (pos < 0) return;
  view_->SetImageBitmap(pos, *image);
  view_->SetImageDelayTime(pos, kDefaultDelay);
  acquirePos_ = pos + 1;
}

}  // namespace pixoran
