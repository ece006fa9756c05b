// In-place editing of text and memo objects in the vector layer, and memo
// drawing through the memo layout.
#include <cmath>

#include "view/pxtextc.h"
#include "view/pxvect.h"

namespace pixoran {

void TPXMemo::TakeObjectSettings(const TPXVObject& o) {
  TFont f;
  if (o.Font) FontFromLogFont(*o.Font, f);
  f.Color = o.PenColor;
  Font = f;
  BackgroundBrush = TBrush{o.BrushColor, o.BrushStyle};
  FrameBrush = TBrush{o.BrushColor, o.BrushStyle};
  Alignment = o.Alignment;
  SetPlainText(o.PlainText);
  AutoSize = o.AutoSize;
  LineSpacing = o.LineSpacing;
  BorderPen = TPen{o.BorderColor, 1, pmCopy, o.BorderStyle};
  FixedLineHeight = o.FixedLineHeight;
}

void DrawMemoObject(TPXVObject& o, TBitmap& target, int32_t x, int32_t y, double zoom, bool alphaPass) {
  TPXMemo memo;
  memo.TakeObjectSettings(o);
  memo.KeepCanvasColours = alphaPass;
  // The alpha pass frames in the pass's colour, like every other outline.
  if (alphaPass) memo.BorderPen.Color = o.PenColor;
  memo.Zoom = zoom;
  const bool hadList = o.FormatList.has_value();
  memo.AttachToObject(&o.Text, &o.CharFormats, hadList ? &*o.FormatList : nullptr);
  const int64_t w = int64_t{o.X2} - o.X1 + 1, h = int64_t{o.Y2} - o.Y1 + 1;
  memo.LayoutAndDraw(target, x, y, static_cast<int>(std::clamp<int64_t>(w, 0, 1 << 20)),
                     static_cast<int>(std::clamp<int64_t>(h, 0, 1 << 20)));
  TPXMemoFormatList formats;
  memo.TakeBack(o.Text, o.CharFormats, formats, false);
  if (hadList || !formats.empty()) o.FormatList = std::move(formats);
}

void TPixoranVect::StartTextEdit(int32_t handle) {
  TPXVObject* o = GetObject(handle);
  if (!o || (o->Kind != pxokText && o->Kind != pxokMemo)) return;
  edited_ = handle;
  if (o->Kind == pxokText) {
    if (!textEdit_) {
      textEditOwned_ = std::make_shared<TPXEdit>(this, this);
      textEdit_ = textEditOwned_.get();
    }
    TPXEdit& ed = *textEdit_;
    ed.SetParent(this);
    ed.SetBorderStyle(bsNone);
    ed.SetCtl3D(false);
    PositionTextEditor();
    ed.SetFocus();
    ed.OnKeyDown = [this](TObject*, int& key, TShiftState shift) { TextEditKeyDown(key, shift); };
    ed.OnChange = nullptr;  // setting the text is not an edit
    ed.SetText(o->Text);
    ed.OnChange = [this](TObject*) { TextEditChanged(); };
    ed.Show();
    ed.SetFocus();
  } else {
    if (!memoEdit_) {
      memoEditOwned_ = std::make_shared<TPXTextControl>(this, this);
      memoEdit_ = memoEditOwned_.get();
    }
    TPXTextControl& m = *memoEdit_;
    m.SetParent(this);
    PositionTextEditor();
    m.OnKeyDown = [this](TObject*, int& key, TShiftState shift) { MemoEditKeyDown(key, shift); };
    m.AttachToObject(&o->Text, &o->CharFormats, o->FormatList ? &*o->FormatList : nullptr);
    m.Show();
    m.SetFocus();
  }
}

void TPixoranVect::PositionTextEditor() {
  TPXVObject* o = edited_ >= 0 ? GetObject(edited_) : nullptr;
  if (!o) return;
  // Client coordinates; the editors are placed inside the view's frame.
  const int32_t frame = FrameWidth();
  const int32_t X1 = BitmapToScreenX(o->X1) + frame, Y1 = BitmapToScreenY(o->Y1) + frame;
  const int32_t X2 = BitmapToScreenX(o->X2) + frame, Y2 = BitmapToScreenY(o->Y2) + frame;
  const double z = Zoom() / 100.0;
  if (o->Kind == pxokText && textEdit_) {
    textEdit_->SetBounds(X1, Y1, X2 - X1, Y2 - Y1);
    TPXLogFont lf = o->Font.value_or(TPXLogFont{});
    // The edit shows the text at the view's zoom; without a height, the box's.
    lf.Height = lf.Height != 0 ? static_cast<int32_t>(std::trunc(std::clamp(lf.Height * z, -1e4, 1e4))) : Y2 - Y1;
    TFont f;
    FontFromLogFont(lf, f);
    f.Color = o->PenColor;
    textEdit_->SetFont(f);
    textEdit_->SetEditColor(o->BrushStyle != bsSolid ? Background() : o->BrushColor);
  } else if (o->Kind == pxokMemo && memoEdit_) {
    memoEdit_->SetBounds(X1, Y1, X2 - X1 + 1, Y2 - Y1 + 1);
    TPXMemo& m = memoEdit_->Memo();
    m.TakeObjectSettings(*o);
    m.FrameBrush = TBrush{o->BrushColor, bsSolid};
    m.Zoom = z;
    memoEdit_->Invalidate();
  }
}

void TPixoranVect::EndTextEdit() {
  TPXVObject* o = edited_ >= 0 ? GetObject(edited_) : nullptr;
  if (!o) return;
  const double z = Zoom() > 0 ? Zoom() / 100.0 : 1.0;
  bool ended = false;
  if (o->Kind == pxokText && textEdit_ && textEdit_->Visible()) {
    o->Text = textEdit_->Text();
    if (o->AutoSize && !destroying_)
      o->X2 = o->X1 + static_cast<int32_t>(std::trunc(textEdit_->TextWidth(o->Text) / z));
    textEdit_->OnChange = nullptr;
    textEdit_->Hide();
    ended = true;
  } else if (o->Kind == pxokMemo && memoEdit_ && memoEdit_->Visible()) {
    if (o->AutoSize && !destroying_) o->Y2 = o->Y1 + static_cast<int32_t>(std::trunc(memoEdit_->ClientHeight() / z));
    TPXMemoFormatList formats;
    memoEdit_->TakeBack(o->Text, o->CharFormats, formats);
    o->FormatList = std::move(formats);
    memoEdit_->Hide();
    ended = true;
  }
  if (ended && !destroying_) {
    SetFocus();
    DoVectorialChanged();
  }
}

void TPixoranVect::TextEditChanged() {
  TPXVObject* o = edited_ >= 0 ? GetObject(edited_) : nullptr;
  if (!o || !o->AutoSize || !textEdit_) return;
  const double z = Zoom() > 0 ? Zoom() / 100.0 : 1.0;
  const std::string text = textEdit_->Text();
  const int w = textEdit_->TextWidth(text);
  textEdit_->SetBounds(textEdit_->Left(), textEdit_->Top(), w, textEdit_->Height());
  o->X2 = o->X1 + static_cast<int32_t>(std::trunc((w + textEdit_->TextWidth("M")) / z));
  Update();
}

void TPixoranVect::TextEditKeyDown(int& key, TShiftState shift) {
  if (OnTextKeyDown) OnTextKeyDown(this, key, shift);
  if (key == vkReturn) {
    key = 0;
    CancelInteraction();
    DoVectorialChanged();
  } else if (key == vkEscape) {
    key = 0;
    // The object keeps the text it had when editing began: the editor takes
    // it back whole, however many changes were typed.
    if (TPXVObject* o = edited_ >= 0 ? GetObject(edited_) : nullptr; o && textEdit_) {
      auto changed = std::move(textEdit_->OnChange);
      textEdit_->OnChange = nullptr;
      textEdit_->SetText(o->Text);
      textEdit_->OnChange = std::move(changed);
    }
    CancelInteraction();
  }
}

void TPixoranVect::MemoEditKeyDown(int& key, TShiftState shift) {
  if (OnTextKeyDown) OnTextKeyDown(this, key, shift);
  if (key == vkEscape) {
    key = 0;
    CancelInteraction();
  }
}

}  // namespace pixoran
