// The thumbnail view's model: records, stores, insert, delete and fill.
#include <algorithm>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_diblist.h"
#include "core/pxresample.h"
#include "view/pxmview.h"

namespace pixoran {

std::recursive_mutex& MViewLoaderLock() {
  static std::recursive_mutex lock;
  return lock;
}

void FitThumbSize(int32_t w, int32_t h, int32_t boxW, int32_t boxH, int32_t& outW, int32_t& outH) {
  if (w < 1 || h < 1) {
    outW = outH = 1;
    return;
  }
  boxW = std::max(boxW, 1);
  boxH = std::max(boxH, 1);
  // Compare boxW / w with boxH / h in 64 bits to pick the bound side.
  if (static_cast<int64_t>(boxW) * h <= static_cast<int64_t>(boxH) * w) {
    outW = boxW;
    outH = static_cast<int32_t>(static_cast<int64_t>(h) * boxW / w);
  } else {
    outH = boxH;
    outW = static_cast<int32_t>(static_cast<int64_t>(w) * boxH / h);
  }
  outW = std::max(outW, 1);
  outH = std::max(outH, 1);
}

void TPixoranMView::RecreateStores() {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  store_ = std::make_unique<TPXVirtualDIBList>();
  store_->SetMaxMapped(imageCacheSize_);
  thumbStore_ = std::make_unique<TPXVirtualDIBList>();
}

void TPixoranMView::FreeRecordStore(TPXMViewImage& rec) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  if (rec.Cache) store_->DeleteImage(rec.Cache);
  if (rec.Thumb) thumbStore_->DeleteImage(rec.Thumb);
  rec.Cache = nullptr;
  rec.Thumb = nullptr;
}

void TPixoranMView::DropThumbs() {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  for (auto& r : images_)
    if (r->Thumb) {
      thumbStore_->DeleteImage(r->Thumb);
      r->Thumb = nullptr;
    }
}

void TPixoranMView::CallBitmapChangeEvents() {
  TPXView::CallBitmapChangeEvents();
  lastChange_ = 0;
}

void TPixoranMView::InsertImageNoSelect(int32_t index) {
  StopPlayback();
  auto rec = std::make_unique<TPXMViewImage>();
  rec->Owner = this;
  rec->Background = Background();
  rec->TopText = std::make_unique<TPXMText>(this, 0, Background(), CaptionFont);
  rec->BottomText = std::make_unique<TPXMText>(this, 1, Background(), CaptionFont);
  rec->InfoText = std::make_unique<TPXMText>(this, 2, Background(), CaptionFont);
  {
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    if (index < 0) index = 0;
    if (index >= GetImageCount()) {
      images_.push_back(std::move(rec));
    } else {
      images_.insert(images_.begin() + index, std::move(rec));
      // The selection and multi-selection keep naming the same images.
      if (selected_ >= index) ++selected_;
      if (pressIndex_ >= index) ++pressIndex_;
      for (auto& m : multiSel_)
        if (m >= index) ++m;
    }
  }
  lastChange_ = 1;
  lastChangeIndex_ = index;
  CallBitmapChangeEvents();
  Update();
}

void TPixoranMView::InsertImage(int32_t index) {
  InsertImageNoSelect(index);
  SetSelectedImage(std::min(std::max(index, 0), GetImageCount() - 1));
}

int32_t TPixoranMView::AppendImage() {
  const int32_t index = GetImageCount();
  InsertImageNoSelect(index);
  return index;
}

bool TPixoranMView::DeleteImageNoUpdate(int32_t index) {
  StopPlayback();
  if (index < 0 || index >= GetImageCount()) return false;
  {
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    multiSel_.erase(std::remove(multiSel_.begin(), multiSel_.end(), index), multiSel_.end());
    for (auto& m : multiSel_)
      if (m > index) --m;
    DetachLoads(images_[index].get());
    if (selBitmapRec_ == images_[index].get()) DropSelectedBitmap();
    FreeRecordStore(*images_[index]);
    images_.erase(images_.begin() + index);
  }
  // A drag in progress forgets a pressed image that went.
  if (pressIndex_ == index) pressIndex_ = -1;
  else if (pressIndex_ > index) --pressIndex_;
  const int32_t count = GetImageCount();
  if (selected_ == index && selected_ >= count) selected_ = count - 1;
  else if (index < selected_) --selected_;
  lastChange_ = 2;
  lastChangeIndex_ = index;
  CallBitmapChangeEvents();
  return true;
}

bool TPixoranMView::DeleteImage(int32_t index) {
  if (!DeleteImageNoUpdate(index)) return false;
  Update();
  return true;
}

void TPixoranMView::Clear() {
  StopPlayback();
  Deselect();
  pressIndex_ = -1;
  {
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    for (auto& r : images_) DetachLoads(r.get());
    images_.clear();
    RecreateStores();
  }
  viewX_ = viewY_ = 0;
  // Subscribers that keep something per image (the multi-image component)
  // drop it all.
  lastChange_ = 3;
  lastChangeIndex_ = 0;
  CallBitmapChangeEvents();
  Update();
}

void TPixoranMView::SetImageFileName(int32_t index, const std::string& name) {
  if (index < 0 || index >= GetImageCount()) return;
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  images_[index]->FileName = name;
  images_[index]->ImageID = -1;
}

std::string TPixoranMView::GetImageFileName(int32_t index) const {
  if (index < 0 || index >= GetImageCount()) return {};
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  return images_[index]->FileName;
}

void TPixoranMView::SetImageBackground(int32_t index, TColor colour) {
  if (index < 0 || index >= GetImageCount()) return;
  {
    // A finishing load writes the file's colour under the lock.
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    images_[index]->Background = colour;
  }
  Update();
}

TColor TPixoranMView::GetImageBackground(int32_t index) const {
  if (index < 0 || index >= GetImageCount()) return Background();
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  return images_[index]->Background;
}

void TPixoranMView::SetImageDelayTime(int32_t index, int32_t ms) {
  if (index >= 0 && index < GetImageCount()) images_[index]->Delay = ms;
}

int32_t TPixoranMView::GetImageDelayTime(int32_t index) const {
  return index < 0 || index >= GetImageCount() ? 0 : images_[index]->Delay;
}

void TPixoranMView::SetImageID(int32_t index, int32_t id) {
  if (index >= 0 && index < GetImageCount()) images_[index]->ImageID = id;
}

int32_t TPixoranMView::GetImageID(int32_t index) const {
  return index < 0 || index >= GetImageCount() ? -1 : images_[index]->ImageID;
}

TPXMText* TPixoranMView::GetImageTopText(int32_t index) {
  return index < 0 || index >= GetImageCount() ? nullptr : images_[index]->TopText.get();
}
TPXMText* TPixoranMView::GetImageBottomText(int32_t index) {
  return index < 0 || index >= GetImageCount() ? nullptr : images_[index]->BottomText.get();
}
TPXMText* TPixoranMView::GetImageInfoText(int32_t index) {
  return index < 0 || index >= GetImageCount() ? nullptr : images_[index]->InfoText.get();
}

int32_t TPixoranMView::GetImageOriginalWidth(int32_t index) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  if (index < 0 || index >= GetImageCount() || !images_[index]->Cache) return 0;
  return images_[index]->Cache->OriginalWidth;
}

int32_t TPixoranMView::GetImageOriginalHeight(int32_t index) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  if (index < 0 || index >= GetImageCount() || !images_[index]->Cache) return 0;
  return images_[index]->Cache->OriginalHeight;
}

bool TPixoranMView::IsImageLoaded(int32_t index) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  return index >= 0 && index < GetImageCount() && images_[index]->Cache != nullptr;
}

bool TPixoranMView::CopyStoredImage(int32_t index, TPXBitmap& bitmap) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  if (index < 0 || index >= GetImageCount() || !images_[index]->Cache) return false;
  return store_->ImageToBitmap(images_[index]->Cache, bitmap);
}

bool TPixoranMView::SetImageBitmap(int32_t index, TPXBitmap& bitmap) {
  if (index < 0 || index >= GetImageCount()) return false;
  const int32_t fullW = bitmap.Width(), fullH = bitmap.Height();
  std::unique_ptr<TPXBitmap> reduced = storeType_ == pxtThumb ? ReduceToBox(bitmap) : nullptr;
  bool stored = false;
  {
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    if (index >= GetImageCount()) return false;
    stored = StoreBitmap(*images_[index], reduced ? *reduced : bitmap, fullW, fullH, false);
  }
  if (index == selected_) {
    DropSelectedBitmap();
    Invalidate();
  }
  return stored;
}

void TPixoranMView::ReserveCacheSpace(int32_t count, int32_t width, int32_t height, int32_t bits) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  store_->ReserveSpace(width, height, count, bits);
}

void TPixoranMView::SetImageCacheSize(int32_t v) {
  imageCacheSize_ = v;
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  store_->SetMaxMapped(v);
}

void TPixoranMView::SetStoreType(TPXStoreType v) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  storeType_ = v;
}

void TPixoranMView::SetThreadPoolSize(int32_t v) { SetLoaderPoolSize(threadPoolSize_ = v < 0 ? 0 : v); }

void TPixoranMView::SetThumbWidth(int32_t v) {
  v = std::max(v, 1);
  if (v == thumbWidth_) return;
  {
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    thumbWidth_ = v;
  }
  DropThumbs();
  Update();
}

void TPixoranMView::SetThumbHeight(int32_t v) {
  v = std::max(v, 1);
  if (v == thumbHeight_) return;
  {
    std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
    thumbHeight_ = v;
  }
  DropThumbs();
  Update();
}

}  // namespace pixoran
