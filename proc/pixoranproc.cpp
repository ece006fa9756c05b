#include "proc/pixoranproc.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "core/kopxutils_helpers.h"
#include "platform/imagelink.h"

namespace pixoran {

TPixoranProc::TPixoranProc(TComponent* owner) : TComponent(owner), previewFont_(std::make_unique<TFont>()) {
  ResetToOwned();
}

TPixoranProc::~TPixoranProc() {
  DetachView();
  DetachImage();
  ClearUndo();
  ClearRedo();
}

// ------------------------------------------------------------ attachment

void TPixoranProc::ResetToOwned() {
  owned_ = std::make_unique<TPXBitmap>();
  bitmap_ = owned_.get();
  wrapped_ = nullptr;
}

void TPixoranProc::WrapTBitmap(TBitmap* bitmap) {
  // A wrapper of our own: re-pointing a borrowed bitmap would change its owner's.
  ResetToOwned();
  if (bitmap) {
    bitmap_->AttachTBitmap(bitmap, true);
    wrapped_ = bitmap;
  }
}

void TPixoranProc::RemoveViewCallback() {
  if (view_ && callbackHandle_ >= 0) view_->RemoveBitmapChangeEvent(callbackHandle_);
  callbackHandle_ = -1;
}

void TPixoranProc::DetachView() {
  RemoveViewCallback();
  if (view_) viewComponent_->RemoveFreeNotification(this);
  view_ = nullptr;
  viewComponent_ = nullptr;
}

void TPixoranProc::DetachImage() {
  if (imageComponent_) imageComponent_->RemoveFreeNotification(this);
  image_ = nullptr;
  imageComponent_ = nullptr;
}

void TPixoranProc::ViewCallback(void* userData, TPXViewLink* view, bool destroying) {
  auto* self = static_cast<TPixoranProc*>(userData);
  if (self && view == self->view_) self->ViewBitmapChanged(destroying);
}

void TPixoranProc::TakeViewBitmap() {
  if (TPXBitmap* px = view_->GetPXBitmap()) {
    owned_.reset();
    bitmap_ = px;
    wrapped_ = nullptr;
    return;
  }
  WrapTBitmap(view_->GetTBitmap());
}

void TPixoranProc::SetAttachedPixoran(TPXViewLink* view) {
  DetachView();
  if (!view) {
    // The picture of an attached control goes too: no later operation may
    // mark it modified while it works on a bitmap of its own.
    DetachImage();
    ResetToOwned();
    return;
  }
  DetachImage();
  view_ = view;
  viewComponent_ = view->ViewComponent();
  TakeViewBitmap();
  viewComponent_->FreeNotification(this);
  callbackHandle_ = view->RegisterBitmapChangeEvent(&TPixoranProc::ViewCallback, this);
}

void TPixoranProc::SetAttachedTImage(TImage* image) {
  if (!image) {
    // Only an attached control is let go of; a viewer's bitmap is never
    // freed from here.
    if (image_) {
      DetachImage();
      ResetToOwned();
    }
    return;
  }
  DetachView();
  DetachImage();
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

void TPixoranProc::AttachBitmap(TPXBitmap* bitmap) {
  if (!bitmap && (view_ || image_)) return;
  DetachView();
  DetachImage();
  if (!bitmap) {
    ResetToOwned();
    return;
  }
  owned_.reset();
  bitmap_ = bitmap;
  wrapped_ = nullptr;
}

void TPixoranProc::ViewBitmapChanged(bool destroying) {
  if (!view_) return;
  if (destroying) {
    // The viewer has already dropped our entry: forget the handle rather
    // than remove it a second time from a viewer on its way out.
    callbackHandle_ = -1;
    SetAttachedPixoran(nullptr);
    return;
  }
  TakeViewBitmap();
}

void TPixoranProc::ComponentRemoved(TComponent* component) {
  if (!component) return;
  if (component == viewComponent_) {
    // Its destructor is running: forget it without calling into it.
    view_ = nullptr;
    viewComponent_ = nullptr;
    callbackHandle_ = -1;
    ResetToOwned();
  } else if (component == imageComponent_) {
    // The picture goes with the control: never keep or re-wrap it.
    image_ = nullptr;
    imageComponent_ = nullptr;
    ResetToOwned();
  }
}

TPXSelectionSource* TPixoranProc::SelectionSource() const { return dynamic_cast<TPXSelectionSource*>(view_); }

TColor TPixoranProc::Background() const { return view_ ? view_->Background() : background_; }

void TPixoranProc::SetBackground(TColor color) {
  if (view_) view_->SetBackground(color);
  else background_ = color;
}

// ------------------------------------------------------------ undo and redo

namespace {

bool SameShape(TPXBitmap& a, TPXBitmap& b) {
  return a.Width() == b.Width() && a.Height() == b.Height() && a.PixelFormat() == b.PixelFormat() &&
         a.RowLen() == b.RowLen() && a.PaletteCount() == b.PaletteCount();
}

void CopyRows(TPXBitmap& dest, TPXBitmap& src) {
  const auto n = static_cast<size_t>(src.RowLen());
  for (int32_t y = 0; y < src.Height(); ++y) {
    const uint8_t* s = src.Scanline(y);
    uint8_t* d = dest.Scanline(y);  // another bitmap: s stays valid
    if (!s || !d) throw EPXStorageError("Cannot copy the rows of a bitmap");
    std::memcpy(d, s, n);
  }
}

// Whether dest can take a copy of src row by row: the same size, format,
// row length, palette size and alpha channel.
bool CanCopyRows(TPXBitmap& dest, TPXBitmap& src) {
  if (!SameShape(dest, src) || dest.HasAlphaChannel() != src.HasAlphaChannel()) return false;
  return !src.HasAlphaChannel() || SameShape(*dest.GetAlphaChannel(), *src.GetAlphaChannel());
}

// Copies the image into a bitmap for which CanCopyRows holds.
void CopyIntoSameShape(TPXBitmap& dest, TPXBitmap& src) {
  CopyRows(dest, src);
  for (int32_t i = 0; i < src.PaletteCount(); ++i) dest.SetPaletteEntry(i, src.GetPaletteEntry(i));
  if (src.HasAlphaChannel()) {
    CopyRows(*dest.GetAlphaChannel(), *src.GetAlphaChannel());
    dest.GetAlphaChannel()->Full = src.GetAlphaChannel()->Full;
  }
  dest.BWConversion = src.BWConversion;
  dest.Full = src.Full;
}

}  // namespace

std::unique_ptr<TPXBitmap> TPixoranProc::CopyForUndo() {
  // Always a new copy: taking the storage of the entry about to go would
  // lose that entry too when the copy fails.
  auto copy = std::make_unique<TPXBitmap>();
  // The threshold decides where a temporary-file or in-memory copy really
  // lands: pin it so the copy goes where it was asked to.
  copy->MemoryThreshold = undoLocation_ == pxInMemory ? std::numeric_limits<int64_t>::max() : 0;
  try {
    copy->SetLocation(undoLocation_);
    copy->Assign(bitmap_);
    copy->FlushRows();
  } catch (const EPXBitmapError&) {
    return nullptr;  // refused or no storage (disk full)
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (copy->Width() != bitmap_->Width() || copy->Height() != bitmap_->Height()) return nullptr;
  return copy;
}

bool TPixoranProc::PushEntry(TEntryList& list, std::vector<std::string>& captions, int32_t source) {
  TUndoEntry entry;
  if (source == pxusImage) {
    if (!CheckBitmap(kPXAnyFormat) || bitmap_->Width() < 2 || bitmap_->Height() < 2) return false;
    entry.Image = CopyForUndo();
    if (!entry.Image) return false;
  } else if (source == pxusSelection) {
    TPXSelectionSource* sel = SelectionSource();
    if (!sel) return false;
    entry.Selection = std::make_unique<TMemoryStream>();
    sel->SaveSelectionToStream(*entry.Selection);
  } else {
    return false;
  }
  while (!list.empty() && static_cast<int32_t>(list.size()) >= undoLimit_) {
    list.erase(list.begin());
    captions.erase(captions.begin());
  }
  list.push_back(std::move(entry));
  captions.emplace_back();
  return true;
}

void TPixoranProc::RestoreEntry(TEntryList& list, int32_t n) {
  aborting_ = false;
  if (!bitmap_ || n < 0 || n >= static_cast<int32_t>(list.size())) return;
  TUndoEntry& entry = list[list.size() - 1 - static_cast<size_t>(n)];
  if (entry.Image) {
    if (wrapped_) bitmap_->AttachTBitmap(wrapped_, true);
    // Restored into a copy first: the picture stays whole when the copy fails.
    auto result = std::make_unique<TPXBitmap>();
    result->MemoryThreshold = bitmap_->MemoryThreshold;
    try {
      result->Assign(entry.Image.get());
    } catch (const EPXBitmapError&) {
      aborting_ = true;
      return;
    } catch (const std::bad_alloc&) {
      aborting_ = true;
      return;
    }
    if (result->Width() != entry.Image->Width() || result->Height() != entry.Image->Height()) {
      aborting_ = true;
      return;
    }
    CommitResult(std::move(result), std::string(), false);
  } else if (entry.Selection) {
    TPXSelectionSource* sel = SelectionSource();
    if (!sel) return;  // nothing to restore a selection into
    entry.Selection->SetPosition(0);
    sel->LoadSelectionFromStream(*entry.Selection);
  }
}

bool TPixoranProc::SaveUndo(int32_t source) { return PushEntry(undo_, undoCaptions_, source); }

bool TPixoranProc::SaveRedo(int32_t source) { return PushEntry(redo_, redoCaptions_, source); }

bool TPixoranProc::SaveUndoCaptioned(const std::string& caption, int32_t source) {
  if (!bitmap_ || bitmap_->Width() < 2 || bitmap_->Height() < 2) return false;
  if (!SaveUndo(source)) return false;
  undoCaptions_.back() = caption;
  return true;
}

bool TPixoranProc::TakeAutoUndo(const std::string& caption) {
  if (!autoUndo_ || !bitmap_ || bitmap_->Width() < 2 || bitmap_->Height() < 2) return true;
  if (SaveUndoCaptioned(caption, pxusImage)) return true;
  aborting_ = true;
  return false;
}

bool TPixoranProc::SaveRedoCaptioned(const std::string& caption, int32_t source) {
  if (!bitmap_ || bitmap_->Width() < 2 || bitmap_->Height() < 2) return false;
  if (!SaveRedo(source)) return false;
  redoCaptions_.back() = caption;
  return true;
}

void TPixoranProc::Undo() { UndoAt(0); }
void TPixoranProc::UndoAt(int32_t n) { RestoreEntry(undo_, n); }
void TPixoranProc::Redo() { RedoAt(0); }
void TPixoranProc::RedoAt(int32_t n) { RestoreEntry(redo_, n); }

void TPixoranProc::ClearLastRedo() {
  if (redo_.empty()) return;
  redo_.pop_back();
  redoCaptions_.pop_back();
}

void TPixoranProc::ClearUndo() {
  undo_.clear();
  undoCaptions_.clear();
}

void TPixoranProc::ClearRedo() {
  redo_.clear();
  redoCaptions_.clear();
}

// ------------------------------------------------------------ the operation frame

bool TPixoranProc::CheckBitmap(TPXPixelFormats allowed) {
  if (!bitmap_) return false;
  if (wrapped_) bitmap_->AttachTBitmap(wrapped_, true);
  return allowed == kPXAnyFormat || (allowed & PXFormatSet(bitmap_->PixelFormat())) != 0;
}

bool TPixoranProc::GetSelection(TPXSelectionInfo& selection) {
  selection = TPXSelectionInfo{};
  if (bitmap_) {
    selection.X2 = bitmap_->Width();
    selection.Y2 = bitmap_->Height();
  }
  TPXSelectionSource* sel = SelectionSource();
  if (!sel) return false;
  selection.Mask = sel->GetSelectionMask();
  if (!sel->HasSelection() || !selection.Mask || selection.Mask->IsEmpty()) return false;
  const TPXMask& m = *selection.Mask;
  selection.X1 = m.X1;
  selection.Y1 = m.Y1;
  selection.X2 = m.X2 + 1;
  selection.Y2 = m.Y2 + 1;
  selection.Points = sel->GetSelectionPoints();
  selection.PointCount = sel->GetSelectionPointCount();
  return true;
}

bool TPixoranProc::BeginImageProcessing(TPXPixelFormats allowed, int32_t& x1, int32_t& y1, int32_t& x2, int32_t& y2,
                                        const std::string& caption, TPXBitmap*& workBitmap, TPXMask*& mask) {
  workBitmap = nullptr;
  mask = nullptr;
  aborting_ = false;
  if (!CheckBitmap(allowed)) return false;
  TPXSelectionInfo sel;
  GetSelection(sel);
  std::unique_ptr<TPXBitmap> work;
  if (!sel.Mask || sel.Mask->IsEmpty()) {
    // The whole image is worked on in a copy: a failure halfway (a full
    // disk under a temporary-file image) must not leave it half changed.
    work = CopyOfImage();
  } else {
    work = CopySelectionBox(*sel.Mask);
    mask = sel.Mask;
  }
  if (!work) {
    aborting_ = true;
    mask = nullptr;
    return false;
  }
  pendingCaption_ = caption;
  x1 = 0;
  y1 = 0;
  x2 = work->Width();
  y2 = work->Height();
  workBitmap = work.release();
  return true;
}

std::unique_ptr<TPXBitmap> TPixoranProc::CopySelectionBox(const TPXMask& mask) {
  const int32_t w = mask.X2 - mask.X1 + 1, h = mask.Y2 - mask.Y1 + 1;
  auto work = std::make_unique<TPXBitmap>();
  work->MemoryThreshold = bitmap_->MemoryThreshold;
  try {
    if (!work->Allocate(w, h, bitmap_->PixelFormat())) return nullptr;
    if (bitmap_->PixelFormat() == pxPal8 && bitmap_->Palette())
      for (int32_t i = 0; i < bitmap_->PaletteCount(); ++i) work->SetPaletteEntry(i, bitmap_->GetPaletteEntry(i));
    bitmap_->CopyRectTo(*work, mask.X1, mask.Y1, 0, 0, w, h);
    // CopyRectTo leaves alpha behind: a plain copy of the source's keeps the
    // transparent pixels transparent when the result is merged back.
    if (bitmap_->HasAlphaChannel()) {
      TPXBitmap& sa = *bitmap_->GetAlphaChannel();
      TPXBitmap* wa = work->GetAlphaChannel();
      const int32_t sx = mask.X1, cw = std::min(w, sa.Width() - sx);
      for (int32_t y = 0; y < h && cw > 0; ++y) {
        if (mask.Y1 + y >= sa.Height()) break;
        const uint8_t* s = sa.Scanline(mask.Y1 + y);
        uint8_t* d = wa->Scanline(y);  // another bitmap: s stays valid
        if (!s || !d) return nullptr;
        std::memcpy(d, s + sx, static_cast<size_t>(cw));
      }
      wa->Full = sa.Full;
    }
  } catch (const EPXBitmapError&) {
    return nullptr;  // no storage for it (a full disk)
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return work;
}

bool TPixoranProc::EndImageProcessing(TPXBitmap* workBitmap, TPXMask* mask) {
  std::unique_ptr<TPXBitmap> work(workBitmap != bitmap_ ? workBitmap : nullptr);
  if (!work) return false;
  std::unique_ptr<TPXBitmap> result;
  if (mask && !mask->IsEmpty()) {
    // Merged into a copy of the image, which then takes its place whole.
    result = CopyOfImage();
    if (!result) {
      aborting_ = true;
      return false;
    }
    try {
      mask->CopyBitmapThroughMask(*result, *work, false, true, false);
      if (work->HasAlphaChannel() && !work->GetAlphaChannel()->Full) {
        TPXBitmap& da = *result->GetAlphaChannel();
        mask->CopyBitmapThroughMask(da, *work->GetAlphaChannel(), false, true, false);
        da.Full = false;
      }
    } catch (const EPXBitmapError&) {
      aborting_ = true;
      return false;
    } catch (const std::bad_alloc&) {
      aborting_ = true;
      return false;
    }
  } else {
    result = std::move(work);
  }
  return CommitResult(std::move(result), pendingCaption_, true);
}

void TPixoranProc::RunInSelection(TPXPixelFormats allowed, const std::string& caption, const TRectWorker& worker) {
  int32_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  TPXBitmap* work = nullptr;
  TPXMask* mask = nullptr;
  if (!BeginImageProcessing(allowed, x1, y1, x2, y2, caption, work, mask)) return;
  std::unique_ptr<TPXBitmap> owned(work);
  try {
    worker(*work, x1, y1, x2, y2);
  } catch (const EPXBitmapError&) {
    aborting_ = true;  // its copy goes; the image was not touched
    return;
  } catch (const std::bad_alloc&) {
    aborting_ = true;
    return;
  }
  EndImageProcessing(owned.release(), mask);
}

std::unique_ptr<TPXBitmap> TPixoranProc::CopyOfImage() {
  auto copy = std::make_unique<TPXBitmap>();
  copy->MemoryThreshold = bitmap_->MemoryThreshold;
  try {
    copy->Assign(bitmap_);
    copy->FlushRows();
  } catch (const EPXBitmapError&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (copy->Width() != bitmap_->Width() || copy->Height() != bitmap_->Height() ||
      copy->HasAlphaChannel() != bitmap_->HasAlphaChannel())
    return nullptr;
  return copy;
}

bool TPixoranProc::CommitResult(std::unique_ptr<TPXBitmap> result, const std::string& caption, bool withUndo) {
  bool pushed = false;
  try {
    result->FlushRows();
    if (withUndo) {
      if (!TakeAutoUndo(caption)) return false;
      pushed = autoUndo_ && bitmap_->Width() >= 2 && bitmap_->Height() >= 2;
    }
    if (bitmap_->Location() == pxTBitmap) {
      // A platform bitmap keeps its own storage: it takes a copy.
      bitmap_->Assign(result.get());
      if (!result->HasAlphaChannel()) bitmap_->RemoveAlphaChannel();
    } else if (bitmap_->Location() == pxInMemory && CanCopyRows(*bitmap_, *result)) {
      // Rows in memory cannot fail, and memory attached by the caller stays.
      CopyIntoSameShape(*bitmap_, *result);
    } else {
      result->MoveInto(*bitmap_);
    }
  } catch (const EPXBitmapError&) {
    if (pushed) {
      undo_.pop_back();
      undoCaptions_.pop_back();
    }
    aborting_ = true;
    return false;
  } catch (const std::bad_alloc&) {
    if (pushed) {
      undo_.pop_back();
      undoCaptions_.pop_back();
    }
    aborting_ = true;
    return false;
  }
  FinishChange();
  return true;
}

bool TPixoranProc::ChangeImage(const std::string& caption, const std::function<bool(TPXBitmap& copy)>& change) {
  return MakeAndCommit(CopyOfImage(), caption, change);
}

bool TPixoranProc::MakeAndCommit(std::unique_ptr<TPXBitmap> result, const std::string& caption,
                                 const std::function<bool(TPXBitmap& result)>& make) {
  bool done = false;
  try {
    done = result && make(*result);
  } catch (const EPXBitmapError&) {
    done = false;
  } catch (const std::bad_alloc&) {
    done = false;
  }
  if (!done) {
    aborting_ = true;
    return false;
  }
  return CommitResult(std::move(result), caption, true);
}

void TPixoranProc::FinishChange() {
  if (wrapped_ && bitmap_) bitmap_->RemoveAlphaChannel();
  if (view_) {
    view_->Update();
    view_->ImageChange();
  } else if (TBitmap* picture = ImageControlPicture(image_)) {
    picture->Modified();
  }
}

void TPixoranProc::ReportRow(int32_t done, int32_t rows) {
  if (OnProgress) OnProgress(this, TruncToInt32(done * 100.0 / (rows - 0.5)));
}

TPXProgressRec TPixoranProc::ProgressRec() {
  TPXProgressRec rec;
  rec.OnProgress = OnProgress;
  rec.Sender = this;
  return rec;
}

}  // namespace pixoran
