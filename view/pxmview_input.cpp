// The thumbnail view's input: scroll bars, wheel, mouse selection and
// playback on a timer.
#include <algorithm>
#include <cmath>

#include "view/pxmview.h"

namespace pixoran {

namespace {
constexpr uint32_t kPlaybackTimer = 1;
}

void TPixoranMView::UpdateScrollBars() {
  int32_t mx = 0, my = 0;
  GetMaxViewXY(mx, my);
  auto bar = [this](TScrollBarKind kind, int32_t max, int32_t client, int32_t origin, double& factor) {
    if (max >= 1) {
      factor = (client + max - 1) / 65536.0;
      TScrollInfo info;
      info.Min = 0;
      info.Max = 65535;
      info.Page = static_cast<int32_t>(client / factor);
      info.Pos = static_cast<int32_t>(origin / factor);
      SetScrollInfo(kind, info, true);
      EnableScrollBar(kind, true);
      ShowScrollBar(kind, true);
    } else {
      factor = 1.0;
      ShowScrollBar(kind, false);
    }
  };
  // The bars change the client; a few passes let it settle.
  for (int pass = 0; pass < 9; ++pass) {
    const int32_t cw = ClientWidth(), ch = ClientHeight();
    GetMaxViewXY(mx, my);
    viewX_ = std::clamp(viewX_, 0, mx);
    viewY_ = std::clamp(viewY_, 0, my);
    bar(sbHorizontal, mx, cw, viewX_, factorX_);
    bar(sbVertical, my, ch, viewY_, factorY_);
    if (cw == ClientWidth() && ch == ClientHeight()) break;
  }
}

void TPixoranMView::Scroll(TScrollBarKind bar, TScrollCode code, int32_t pos) {
  const bool vert = bar == sbVertical;
  const int32_t line = vert ? thumbHeight_ + vertBorder_ : thumbWidth_ + horizBorder_;
  const int32_t page = vert ? ClientHeight() : ClientWidth();
  int32_t mx = 0, my = 0;
  GetMaxViewXY(mx, my);
  int32_t v = vert ? viewY_ : viewX_;
  switch (code) {
    case scLineUp: v -= line; break;
    case scLineDown: v += line; break;
    case scPageUp: v -= page; break;
    case scPageDown: v += page; break;
    case scTop: v = 0; break;
    case scBottom: v = vert ? my : mx; break;
    case scThumbTrack:
    case scThumbPosition: v = static_cast<int32_t>(pos * (vert ? factorY_ : factorX_)); break;
    default: return;
  }
  if (vert)
    SetViewY(v);
  else
    SetViewX(v);
  SetScrollPos(bar, static_cast<int32_t>((vert ? viewY_ : viewX_) / (vert ? factorY_ : factorX_)), true);
}

bool TPixoranMView::MouseWheel(TShiftState, int wheelDelta, int, int) {
  const int32_t step = thumbHeight_ + vertBorder_;
  SetViewY(viewY_ + (wheelDelta <= 0 ? step : -step));
  SetScrollPos(sbVertical, static_cast<int32_t>(viewY_ / factorY_), true);
  return true;
}

void TPixoranMView::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (shift & ssDouble) return;  // the press that follows a double click
  SetFocus();
  pressX_ = x;
  pressY_ = y;
  pressIndex_ = ImageAtPos(x, y);
  moved_ = false;
  pressed_ = true;
  pressSelected_ = false;
  if (button == mbLeft && !(multiOptions_ & pxmoSelectOnMouseUp) && !IsInMultiSelection(pressIndex_)) {
    SelectAt(x, y, shift);
    pressSelected_ = true;
  }
}

void TPixoranMView::MouseMove(TShiftState shift, int x, int y) {
  if (!pressed_ || !(shift & ssLeft) || !enableMultiSelect_ || pressIndex_ < 0) return;
  const int32_t index = ImageAtPos(x, y);
  if (index < 0 || index == pressIndex_ || index == selected_) return;
  // A drag makes a range from the pressed image.
  multiSel_.clear();
  selected_ = pressIndex_;
  SelectAt(x, y, ssShift);
  moved_ = true;
}

void TPixoranMView::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  if (!pressed_) return;
  pressed_ = false;
  if (button != mbLeft || playing_) return;
  if ((multiOptions_ & pxmoSelectOnMouseUp) && !moved_)
    SelectAt(x, y, shift);
  else if (!(multiOptions_ & pxmoSelectOnMouseUp) && !pressSelected_ && !moved_)
    SelectAt(x, y, shift);
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
  if (value) {
    savedMode_ = displayMode_;
    savedSelected_ = selected_;
    Deselect();
    playIndex_ = 0;
    playing_ = true;
    UpdatePlayback();
  } else {
    ArmTimer(-1);
    playing_ = false;
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
      ShowPlaybackImage(shown);
      const int32_t delay = std::max(images_[shown]->Delay, 10);
      bool stop = false;
      if (shown >= count - 1) {
        playIndex_ = 0;
        CallBitmapChangeEvents();
        stop = !playLoop_;
      } else {
        playIndex_ = shown + 1;
      }
      if (stop) {
        playBusy_ = false;
        SetPlaying(false);
        return;
      }
      ArmTimer(delay);
    }
  }
  playBusy_ = false;
}

}  // namespace pixoran
