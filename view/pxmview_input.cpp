// The thumbnail view's input: scroll bars, wheel, mouse selection and
// playback on a timer.
#include <algorithm>
#include <cmath>

#include "core/kopxutils_draw.h"
#include "view/pxmview.h"

namespace pixoran {

namespace {
constexpr uint32_t kPlaybackTimer = 1;
}

void TPixoranMView::ScrollBarLayout(TScrollBarKind kind, int32_t max, int32_t client, int32_t origin, double& factor) {
  const bool wanted = scrollBars_ == ssBoth || scrollBars_ == (kind == sbHorizontal ? ssHorizontal : ssVertical);
  if (!LayoutScrollBar(kind, wanted, max, client, origin, 1, barsAlwaysVisible_, flatScrollBars_, factor)) factor = 1.0;
}

void TPixoranMView::UpdateScrollBars() {
  // The bars change the client; a few passes let it settle.
  for (int pass = 0; pass < 9; ++pass) {
    const int32_t cw = ClientWidth(), ch = ClientHeight();
    int32_t mx = 0, my = 0;
    GetMaxViewXY(mx, my);
    if (viewX_ > mx || viewY_ > my) {
      viewX_ = std::clamp(viewX_, 0, mx);
      viewY_ = std::clamp(viewY_, 0, my);
      if (OnViewChange) OnViewChange(this, 0);
    }
    ScrollBarLayout(sbHorizontal, mx, cw, viewX_, factorX_);
    ScrollBarLayout(sbVertical, my, ch, viewY_, factorY_);
    if (cw == ClientWidth() && ch == ClientHeight()) break;
  }
}

void TPixoranMView::SetScrollBars(TScrollStyle value) {
  scrollBars_ = value;
  Update();
}

void TPixoranMView::SetFlatScrollBars(bool value) {
  flatScrollBars_ = value;
  Update();
}

void TPixoranMView::SetScrollBarsAlwaysVisible(bool value) {
  barsAlwaysVisible_ = value;
  Update();
}

void TPixoranMView::Scroll(TScrollBarKind bar, TScrollCode code, int32_t pos) {
  const bool vert = bar == sbVertical;
  const TPXScrollBarParams& p = vert ? vertParams_ : horzParams_;
  const int32_t line = p.LineStep != -1 ? p.LineStep : vert ? thumbHeight_ + vertBorder_ : thumbWidth_ + horizBorder_;
  const int32_t page = p.PageStep != -1 ? p.PageStep : vert ? ClientHeight() : ClientWidth();
  int32_t mx = 0, my = 0;
  GetMaxViewXY(mx, my);
  int64_t v = vert ? viewY_ : viewX_;
  switch (code) {
    case scLineUp: v -= line; break;
    case scLineDown: v += line; break;
    case scPageUp: v -= page; break;
    case scPageDown: v += page; break;
    case scTop: v = 0; break;
    case scBottom: v = vert ? my : mx; break;
    case scThumbTrack:
      if (!p.Tracking) return;
      [[fallthrough]];
    case scThumbPosition: v = static_cast<int64_t>(pos * (vert ? factorY_ : factorX_)); break;
    default: return;
  }
  v = std::clamp<int64_t>(v, 0, vert ? my : mx);
  if (vert) SetViewY(static_cast<int32_t>(v));
  else SetViewX(static_cast<int32_t>(v));
}

bool TPixoranMView::MouseWheel(TShiftState, int wheelDelta, int, int) {
  const int32_t step = thumbHeight_ + vertBorder_;
  int32_t mx = 0, my = 0;
  GetMaxViewXY(mx, my);
  SetViewY(static_cast<int32_t>(std::clamp<int64_t>(int64_t{viewY_} + (wheelDelta <= 0 ? step : -step), 0, my)));
  return true;
}

void TPixoranMView::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (shift & ssDouble) return;  // the press that follows a double click
  SetFocus();
  pressX_ = x;
  pressY_ = y;
  pressViewX_ = viewX_;
  pressViewY_ = viewY_;
  pressIndex_ = ImageAtPos(x, y);
  moved_ = false;
  pressed_ = true;
  pressSelected_ = false;
  if ((mouseInteract_ & mmiSelect) && button == mbLeft && !(multiOptions_ & pxmoSelectOnMouseUp) &&
      !IsInMultiSelection(pressIndex_)) {
    SelectAt(x, y, shift);
    pressSelected_ = true;
  }
}

void TPixoranMView::MouseMove(TShiftState shift, int x, int y) {
  if (!pressed_ || !(shift & ssLeft)) return;
  if ((mouseInteract_ & mmiSelect) && enableMultiSelect_ && pressIndex_ >= 0) {
    const int32_t index = ImageAtPos(x, y);
    if (index >= 0 && index != pressIndex_ && index != selected_) {
      // A drag makes a range from the pressed image.
      multiSel_.clear();
      selected_ = pressIndex_;
      SelectAt(x, y, ssShift);
      moved_ = true;
    }
  }
  if (mouseInteract_ & mmiScroll) SetViewXY(pressViewX_ + pressX_ - x, pressViewY_ + pressY_ - y);
}

void TPixoranMView::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  if (!pressed_) return;
  pressed_ = false;
  if (button != mbLeft || playing_) return;
  if (mouseInteract_ & mmiSelect) {
    if ((multiOptions_ & pxmoSelectOnMouseUp) && !moved_) SelectAt(x, y, shift);
    else if (!(multiOptions_ & pxmoSelectOnMouseUp) && !pressSelected_ && !moved_) SelectAt(x, y, shift);
  }
  if (mouseInteract_ & mmiScroll) SetViewXY(pressViewX_ + pressX_ - x, pressViewY_ + pressY_ - y);
}

// ------------------------------------------------------------------ playback

void TPixoranMView::ArmTimer(int32_t ms) {
  if (playTimer_) {
    playTimer_(ms);
  } else if (ms < 0) {
    KillTimer(kPlaybackTimer);
  } else {
    SetTimer(kPlaybackTimer, static_cast<uint32_t>(ms));
  }
}

void TPixoranMView::Timer(uint32_t id) {
  if (id == kPlaybackTimer) UpdatePlayback();
}

void TPixoranMView::SetPlaying(bool value) {
  if (value == playing_) return;
  playEndDue_ = false;
  if (value) {
    savedMode_ = displayMode_;
    savedSelected_ = selected_;
    Deselect();
    playIndex_ = 0;
    lastShown_ = -1;
    playing_ = true;
    UpdatePlayback();
  } else {
    ArmTimer(-1);
    playing_ = false;
    lastShown_ = -1;
    transition_->Stop();
    displayMode_ = savedMode_;
    const int32_t sel = savedSelected_;
    Update();
    if (sel >= 0 && sel < GetImageCount()) SetSelectedImage(sel);
  }
}

void TPixoranMView::UpdatePlayback() {
  if (playBusy_ || destroying_) return;
  playBusy_ = true;
  ArmTimer(-1);
  if (playing_ && playEndDue_) {
    // Without loop the last image has had its delay on screen.
    playBusy_ = false;
    SetPlaying(false);
    return;
  }
  if (playing_) {
    if (displayMode_ != mdSingle) {
      displayMode_ = mdSingle;
      Update();
    }
    const int32_t count = GetImageCount();
    playIndex_ = std::min(playIndex_, count - 1);
    if (count > 0) {
      const int32_t shown = std::max(playIndex_, 0);
      playShown_ = shown;
      const int32_t delay = std::max(images_[shown]->Delay, 10);
      ShowPlaybackImage(shown);
      // Drawing may have removed a corrupted image, which ends playback.
      if (!playing_ || shown >= GetImageCount()) {
        playBusy_ = false;
        return;
      }
      if (shown >= count - 1) {
        playIndex_ = 0;
        CallBitmapChangeEvents();
        playEndDue_ = !playLoop_;
      } else {
        playIndex_ = shown + 1;
      }
      ArmTimer(delay);
    }
  }
  playBusy_ = false;
}

}  // namespace pixoran

namespace pixoran {

void TPixoranMView::ShowPlaybackImage(int32_t index) {
  const int32_t prev = lastShown_;
  lastShown_ = index;
  const int32_t cw = ClientWidth(), ch = ClientHeight();
  if (transition_->Type() == pxttNone || prev < 0 || prev == index || prev >= GetImageCount() || cw <= 0 || ch <= 0) {
    Invalidate();
    return;
  }
  // The frames before and after, drawn as the window would show them.
  TBitmap before, after;
  for (TBitmap* b : {&before, &after}) {
    b->SetPixelFormat(pf24bit);
    b->SetSize(cw, ch);
  }
  playShown_ = prev;
  DrawVisibleThumbnails(before);
  playShown_ = index;
  DrawVisibleThumbnails(after);
  if (playing_) transition_->Start(before, after);
  Invalidate();
}

}  // namespace pixoran
