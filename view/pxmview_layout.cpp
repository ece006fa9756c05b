// The thumbnail view's layout, origin, hit-testing and selection.
#include <algorithm>

#include "core/kopxutils_draw.h"
#include "view/pxmview.h"

namespace pixoran {

int32_t TPixoranMView::Columns() {
  if (gridWidth_ == -1) return std::max((ClientWidth() - horizBorder_) / (thumbWidth_ + horizBorder_), 0);
  return std::max(gridWidth_, 0);
}

void TPixoranMView::Update() {
  if (inLayout_ || destroying_) return;
  // A new layout outside playback ends a running transition (and its lock).
  if (transition_ && transition_->Running() && !playing_) transition_->Stop();
  if (updateLock_ > 0) return;
  inLayout_ = true;
  const int32_t cols = Columns();
  const int32_t stepX = thumbWidth_ + horizBorder_, stepY = thumbHeight_ + vertBorder_;
  int32_t c = 0, r = 0, maxX = 0, maxY = 0;
  for (auto& rec : images_) {
    if (displayMode_ == mdSingle) {
      rec->Column = rec->Row = 0;
      rec->CellX = rec->CellY = 0;
    } else {
      rec->Column = c;
      rec->Row = r;
      rec->CellX = c * stepX + horizBorder_;
      rec->CellY = r * stepY + vertBorder_;
      if (++c == cols) {
        c = 0;
        ++r;
      }
    }
    maxX = std::max(maxX, rec->CellX);
    maxY = std::max(maxY, rec->CellY);
  }
  totalWidth_ = images_.empty() ? 0 : maxX + thumbWidth_ + horizBorder_;
  totalHeight_ = images_.empty() ? 0 : maxY + thumbHeight_ + vertBorder_;
  UpdateScrollBars();
  inLayout_ = false;
  CallBitmapChangeEvents();
  Invalidate();
}

void TPixoranMView::GetMaxViewXY(int32_t& mx, int32_t& my) {
  mx = std::max(totalWidth_ - ClientWidth(), 0);
  my = std::max(totalHeight_ - ClientHeight(), 0);
}

void TPixoranMView::SetViewXY(int32_t x, int32_t y) {
  int32_t mx = 0, my = 0;
  GetMaxViewXY(mx, my);
  x = std::clamp(x, 0, mx);
  y = std::clamp(y, 0, my);
  if (x == viewX_ && y == viewY_) return;
  const bool movedX = x != viewX_, movedY = y != viewY_;
  viewX_ = x;
  viewY_ = y;
  if (movedX && factorX_ > 0)
    ScrollBarSetPos(this, sbHorizontal, static_cast<int32_t>(viewX_ / factorX_), true, flatScrollBars_);
  if (movedY && factorY_ > 0)
    ScrollBarSetPos(this, sbVertical, static_cast<int32_t>(viewY_ / factorY_), true, flatScrollBars_);
  Invalidate();
  if (OnViewChange) OnViewChange(this, 0);
}

void TPixoranMView::UnlockUpdate() {
  if (updateLock_ > 0 && --updateLock_ == 0) Update();
}

void TPixoranMView::UnlockUpdateNoPaint() {
  if (updateLock_ > 0) --updateLock_;
}

void TPixoranMView::SetViewX(int32_t v) { SetViewXY(v, viewY_); }
void TPixoranMView::SetViewY(int32_t v) { SetViewXY(viewX_, v); }

int32_t TPixoranMView::GetImageCellX(int32_t index) const {
  return index < 0 || index >= GetImageCount() ? 0 : images_[index]->CellX;
}
int32_t TPixoranMView::GetImageCellY(int32_t index) const {
  return index < 0 || index >= GetImageCount() ? 0 : images_[index]->CellY;
}

int32_t TPixoranMView::ImageAtPos(int32_t x, int32_t y) {
  const int64_t px = static_cast<int64_t>(x) + viewX_, py = static_cast<int64_t>(y) + viewY_;
  if (px < 0 || py < 0) return -1;
  const int64_t row = py / (thumbHeight_ + vertBorder_);
  const int64_t col = px / (thumbWidth_ + horizBorder_);
  const int32_t cols = Columns();
  int64_t index;
  if (displayMode_ == mdSingle || playing_) {
    // Every image shares the one cell: a point on it means the image shown there.
    index = row == 0 && col == 0 ? ShownImage() : -1;
  } else if (cols == 0) {
    index = row == 0 ? col : -1;  // all in one row
  } else {
    index = col < cols ? col + row * cols : -1;
  }
  if (index < 0 || index >= GetImageCount()) return -1;
  const TPXMViewImage& rec = *images_[index];
  const int64_t cx = rec.CellX - viewX_, cy = rec.CellY - viewY_;
  if (x < cx || x > cx + thumbWidth_ - 1 || y < cy || y > cy + thumbHeight_) return -1;
  return static_cast<int32_t>(index);
}

bool TPixoranMView::IsImageVisible(int32_t index) {
  if (index < 0 || index >= GetImageCount()) return false;
  const TPXMViewImage& rec = *images_[index];
  const int32_t x = rec.CellX - viewX_, y = rec.CellY - viewY_;
  return x < ClientWidth() && x + thumbWidth_ > 0 && y < ClientHeight() && y + thumbHeight_ > 0;
}

void TPixoranMView::SetGridWidth(int32_t v) {
  gridWidth_ = v < -1 ? -1 : v;
  Update();
}

void TPixoranMView::SetHorizBorder(int32_t v) {
  horizBorder_ = std::max(v, 0);
  Update();
}

void TPixoranMView::SetVertBorder(int32_t v) {
  vertBorder_ = std::max(v, 0);
  Update();
}

void TPixoranMView::SetDisplayMode(TPXDisplayMode v) {
  if (playing_) {
    savedMode_ = v;
    return;
  }
  displayMode_ = v;
  Update();
}

// ------------------------------------------------------------------ selection

bool TPixoranMView::IsInMultiSelection(int32_t index) const {
  return std::find(multiSel_.begin(), multiSel_.end(), index) != multiSel_.end();
}

void TPixoranMView::AddToMultiSelection(int32_t index) {
  if (index >= 0 && !IsInMultiSelection(index)) multiSel_.push_back(index);
}

void TPixoranMView::SetSelectedImage(int32_t index) {
  if (playing_ || index == selected_ || index < 0 || index >= GetImageCount()) return;
  const bool wasIn = IsInMultiSelection(index);
  if (multiAdd_) {
    AddToMultiSelection(selected_);
    AddToMultiSelection(index);
  } else {
    multiSel_.clear();
  }
  selected_ = index;
  DropSelectedBitmap();
  Invalidate();
  if (!wasIn && OnImageSelect) OnImageSelect(this, index);
}

void TPixoranMView::Deselect() {
  selected_ = -1;
  DropSelectedBitmap();
  multiSel_.clear();
  Invalidate();
}

void TPixoranMView::SelectAt(int32_t x, int32_t y, TShiftState shift) {
  multiAdd_ = enableMultiSelect_ && (shift & (ssShift | ssCtrl)) != 0;
  const int32_t index = ImageAtPos(x, y);
  if (index >= 0 && enableMultiSelect_ && (shift & ssShift) && selected_ >= 0 && selected_ < GetImageCount() &&
      selected_ != index) {
    const int32_t a = selected_, b = index;
    AddToMultiSelection(a);
    if (multiOptions_ & pxmoRegion) {
      const TPXMViewImage &ra = *images_[a], &rb = *images_[b];
      const int32_t r0 = std::min(ra.Row, rb.Row), r1 = std::max(ra.Row, rb.Row);
      const int32_t c0 = std::min(ra.Column, rb.Column), c1 = std::max(ra.Column, rb.Column);
      for (int32_t i = 0; i < GetImageCount(); ++i) {
        const TPXMViewImage& r = *images_[i];
        if (r.Row >= r0 && r.Row <= r1 && r.Column >= c0 && r.Column <= c1) AddToMultiSelection(i);
      }
    } else {
      for (int32_t i = std::min(a, b) + 1; i < std::max(a, b); ++i) AddToMultiSelection(i);
    }
  }
  if (index >= 0) SetSelectedImage(index);
  multiAdd_ = false;
  CallBitmapChangeEvents();
}

void TPixoranMView::MoveSelection(int32_t direction) {
  const int32_t count = GetImageCount();
  if (count == 0) return;
  const int32_t cols = Columns();
  const int32_t rowsPerPage = (ClientHeight() - vertBorder_) / (thumbHeight_ + vertBorder_);
  int32_t target = selected_;
  switch (direction) {
    case 0:
      if (selected_ >= 0) target = selected_ - 1;
      break;
    case 1: target = selected_ + 1; break;
    case 2: target = gridWidth_ == 0 ? selected_ - 1 : std::max(selected_ - cols, 0); break;
    case 3: target = gridWidth_ == 0 ? selected_ + 1 : std::min(selected_ + cols, count - 1); break;
    case 4: target = 0; break;
    case 5: target = count - 1; break;
    // With no columns (one row) a page is no images.
    case 6: target = selected_ + cols * rowsPerPage; break;
    case 7: target = selected_ - cols * rowsPerPage; break;
    default: return;
  }
  SetSelectedImage(target);
  ScrollToSelected();
}

void TPixoranMView::ScrollToSelected() {
  if (selected_ < 0 || selected_ >= GetImageCount()) return;
  const TPXMViewImage& rec = *images_[selected_];
  int32_t x = viewX_, y = viewY_;
  if (rec.CellX < x) x = rec.CellX - horizBorder_;
  else if (rec.CellX + thumbWidth_ > x + ClientWidth()) x = rec.CellX + thumbWidth_ + horizBorder_ - ClientWidth();
  if (rec.CellY < y) y = rec.CellY - vertBorder_;
  else if (rec.CellY + thumbHeight_ > y + ClientHeight()) y = rec.CellY + thumbHeight_ + vertBorder_ - ClientHeight();
  SetViewXY(x, y);
}

void TPixoranMView::HandleMessage(TMessage& message) {
  if (message.Msg == cmWantSpecialKey) {
    // The paging and arrow keys move the selection, not the focus.
    message.Result = message.WParam >= 33 && message.WParam <= 40 ? 1 : 0;
    return;
  }
  TPXView::HandleMessage(message);
}

void TPixoranMView::KeyDown(int& key, TShiftState shift) {
  static constexpr int32_t kMoves[] = {7, 6, 5, 4, 0, 2, 1, 3};  // keys 33..40
  if (key < 33 || key > 40 || playing_ || !(keyInteract_ & mkiMoveSelected)) return;
  multiAdd_ = enableMultiSelect_ && (shift & (ssShift | ssCtrl)) != 0;
  MoveSelection(kMoves[key - 33]);
  multiAdd_ = false;
  key = 0;
}

}  // namespace pixoran
