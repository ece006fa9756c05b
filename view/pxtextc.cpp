// The memo editor control and the single-line editor.
#include "view/pxtextc.h"

#include <algorithm>

namespace pixoran {

namespace {
// The edit messages cut, copy and paste act as Ctrl+X, Ctrl+C and Ctrl+V.
constexpr uint32_t wmCut = 0x0300, wmCopy = 0x0301, wmPaste = 0x0302;
// Grows the control after a paint found the text taller than the box; a
// paint itself never resizes.
constexpr uint32_t kGrowMessage = 0x0400 + 0x1F6;

bool ClaimedKey(int key) { return key == vkTab || (key >= vkPrior && key <= vkDown); }
}  // namespace

TPXTextControl::TPXTextControl(TComponent* owner, TWinControl* parent) : TCustomControl(owner, parent) {
  SetControlStyle(ControlStyle() | csOpaque);
  SetCursor(crIBeam);
  SetTabStop(true);
  SetInputMethodEnabled(true);
}

TPXTextControl::~TPXTextControl() = default;

void TPXTextControl::AttachToObject(std::string* text, std::vector<int32_t>* indexes, TPXMemoFormatList* formats) {
  memo_.AttachToObject(text, indexes, formats);
  Invalidate();
}

void TPXTextControl::AdjustWindowStyle(TCreateParams& params) {
  TCustomControl::AdjustWindowStyle(params);
  params.WindowClassStyle &= ~(wcsVRedraw | wcsHRedraw);
}

void TPXTextControl::Paint() {
  TCanvas& c = Canvas();
  const int cw = ClientWidth(), ch = ClientHeight();
  c.Brush = TBrush{memo_.FrameBrush.Color, bsSolid};
  c.FillRect(Rect(0, 0, cw, ch));
  const double z = memo_.Zoom > 0 ? memo_.Zoom : 1.0;
  memo_.LayoutAndDraw(BackBuffer(), 0, 0, static_cast<int>(cw / z), static_cast<int>(ch / z));
  if (memo_.AutoSize && memo_.GrowRequest() > 0 && Visible() && !growPosted_) {
    growPosted_ = true;
    PostMessage(MessageTarget(), kGrowMessage, static_cast<intptr_t>(memo_.GrowRequest() * z));
  }
}

void TPXTextControl::PaintWindowOverlay() {
  if (!focused_) return;
  TCanvas& c = WindowCanvas();
  c.Pen = TPen{clBlack, 1, pmNot, psSolid};
  c.MoveTo(memo_.CaretX(), memo_.CaretY());
  c.LineTo(memo_.CaretX(), memo_.CaretY() + std::max(1, memo_.CaretHeight()));
}

void TPXTextControl::HandleMessage(TMessage& message) {
  switch (message.Msg) {
    case cmWantSpecialKey: message.Result = ClaimedKey(static_cast<int>(message.WParam)) ? 1 : 0; return;
    case wmCut:
    case wmCopy:
    case wmPaste: {
      int key = message.Msg == wmCut ? 'X' : message.Msg == wmCopy ? 'C' : 'V';
      KeyDown(key, ssCtrl);
      return;
    }
    case kGrowMessage:
      growPosted_ = false;
      if (message.WParam > 0) SetBounds(Left(), Top(), Width(), Height() + static_cast<int>(message.WParam));
      return;
    default: TCustomControl::HandleMessage(message);
  }
}

void TPXTextControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (button != mbLeft) return;
  if (shift & ssShift) {
    const int32_t a = memo_.CaretFromPoint(pressX_, pressY_);
    const int32_t b = memo_.CaretFromPoint(x, y);
    memo_.SetSelection(a, b);
  } else {
    pressX_ = x;
    pressY_ = y;
    memo_.ClearSelection();
    memo_.CaretFromPoint(x, y);
    if ((shift & ssDouble) && memo_.Length() > 0) memo_.DoubleClickWord();
  }
  Invalidate();
}

void TPXTextControl::MouseMove(TShiftState shift, int x, int y) {
  if (!(shift & ssLeft)) return;
  const int32_t a = memo_.CaretFromPoint(pressX_, pressY_);
  const int32_t b = memo_.CaretFromPoint(x, y);
  memo_.SetSelection(a, b);
  Invalidate();
}

void TPXTextControl::KeyDown(int& key, TShiftState shift) {
  lastShift_ = shift;
  if (OnKeyDown) OnKeyDown(this, key, shift);
  if (key == 0) return;
  if (memo_.KeyDown(key, shift)) Invalidate();
}

void TPXTextControl::KeyPress(char32_t& key) {
  // A Ctrl command's key brings no character (Ctrl+Alt is AltGr and does).
  if ((lastShift_ & ssCtrl) && !(lastShift_ & ssAlt)) return;
  if (memo_.KeyPress(key)) Invalidate();
}

void TPXTextControl::InputMethodCommit(const std::u32string& text) {
  memo_.TypeText(text);
  Invalidate();
}

TWinControl::TInputMethodState TPXTextControl::InputMethodState() {
  memo_.EnsureLayout();
  TInputMethodState st;
  st.Caret = Rect(memo_.CaretX(), memo_.CaretY(), memo_.CaretX() + 1, memo_.CaretY() + memo_.CaretHeight());
  st.Surrounding = memo_.Text();
  st.CaretPos = memo_.Caret();
  st.AnchorPos = memo_.SelStart() < memo_.SelEnd()
                     ? (memo_.Caret() == memo_.SelStart() ? memo_.SelEnd() : memo_.SelStart())
                     : memo_.Caret();
  return st;
}

void TPXTextControl::DoEnter() {
  focused_ = true;
  Invalidate();
}

void TPXTextControl::DoExit() {
  focused_ = false;  // the caret goes with the focus
  Invalidate();
}

void TPXTextControl::Resize() { Invalidate(); }

// ------------------------------------------------------------------ TPXEdit

TPXEdit::TPXEdit(TComponent* owner, TWinControl* parent) : TEdit(owner, parent) {}

bool TPXEdit::WantsKey(int key) { return ClaimedKey(key); }

void TPXEdit::KeyPress(char32_t& key) {
  if (key == U'\t') key = 0;
}

}  // namespace pixoran
