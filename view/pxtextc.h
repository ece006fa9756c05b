#pragma once
// The two in-place editors of the vector layer: TPXTextControl, the memo
// editor (text with a format per character, word wrap, four alignments,
// caret, selection, keyboard commands, clipboard in a private format) and
// TPXEdit, the single-line editor of text objects.
//
// A character is one Unicode code point: the caret, deletion, selection,
// the caches and the per-character format indexes all count code points.
// The memo object keeps its text as UTF-8 and lends it (with its format
// list and indexes) to the editor while it is edited.
//
// Layout, drawing and editing of a memo live in the plain class TPXMemo, so
// the vector layer can draw a memo without a window; the control wraps one.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "platform/clipboard.h"
#include "platform/controls.h"
#include "platform/graphics.h"
#include "platform/stdctrls.h"
#include "view/pxvect.h"

namespace pixoran {

// Style bits of a format record.
constexpr uint8_t mfsBold = 1, mfsItalic = 2, mfsUnderline = 4, mfsStrikeOut = 8;
// Paragraph alignments.
constexpr uint8_t maLeft = 0, maRight = 1, maCenter = 2, maJustify = 3;

// The 280-byte format record (TPXMemoFormat) is the vector layer's; these
// work on its bytes.
PIXORAN_VIEW_EXPORT std::string MemoFormatName(const TPXMemoFormat& f);
// Cut to 255 bytes on a code-point boundary, zero-filled behind, so equal
// formats compare equal byte for byte.
PIXORAN_VIEW_EXPORT void SetMemoFormatName(TPXMemoFormat& f, const std::string& utf8);
// Two records are the same format when bytes 4 to 279 are equal.
PIXORAN_VIEW_EXPORT bool SameMemoFormat(const TPXMemoFormat& a, const TPXMemoFormat& b);
// Makes bytes from outside (the clipboard, a stream) safe to use: known
// style bits, alignment and brush style, a valid name, zeroed padding.
PIXORAN_VIEW_EXPORT void SanitizeMemoFormat(TPXMemoFormat& f);

using TPXMemoFormatList = std::vector<TPXMemoFormat>;

// The platform font of a format record: name, height, style, colour.
PIXORAN_VIEW_EXPORT TFont MemoFormatFont(const TPXMemoFormat& f);

// Strict UTF-8: false (and nothing decoded) for invalid, overlong,
// surrogate or NUL sequences.
PIXORAN_VIEW_EXPORT bool DecodeUtf8Strict(const std::string& bytes, std::u32string& out);
PIXORAN_VIEW_EXPORT std::string EncodeUtf8(const std::u32string& text);
PIXORAN_VIEW_EXPORT std::string EncodeUtf8(char32_t c);

// Choices the Ctrl+F font dialog edits; the hook returns false on Cancel.
struct PIXORAN_VIEW_EXPORT TPXMemoFontChoice {
  std::string Name;
  int32_t Height = 0;
  uint8_t Style = 0;
  TColor Color = clBlack;
};
// Set by the program (a font dialog, a colour dialog); unset, the keys do
// nothing.
extern PIXORAN_VIEW_EXPORT std::function<bool(TPXMemoFontChoice&)> PXMemoFontDialogHook;
extern PIXORAN_VIEW_EXPORT std::function<bool(TColor&)> PXMemoColorDialogHook;

// The private clipboard format "PIXORAN TEXTMEMO", registered at start-up.
PIXORAN_VIEW_EXPORT TClipboardFormat PXTextMemoClipboardFormat();

// A memo's text, formats and caret: editing, layout and drawing, without a
// window.
class PIXORAN_VIEW_EXPORT TPXMemo {
 public:
  TPXMemo();

  // ---- base appearance (the object's settings)
  TFont Font;
  TBrush BackgroundBrush{clWhite, bsClear};
  TPen BorderPen;
  TBrush FrameBrush{clWhite, bsSolid};
  bool InsertMode = true;
  uint8_t Alignment = maLeft;
  double Zoom = 1.0;
  bool KeepCanvasColours = false;
  bool AutoSize = false;
  int32_t LineSpacing = 0;
  int32_t FixedLineHeight = 0;
  bool Capture = false;
  std::string CapturedText;  // UTF-8, a line feed at every line end

  bool PlainText() const { return plainText_; }
  void SetPlainText(bool value);

  // ---- the lent memo data
  // Takes the object's text (UTF-8; invalid bytes become U+FFFD), format
  // indexes and format list (the object's containers are left empty) and
  // sets up the editor: no selection, caret 0, missing indexes or formats
  // made from the base font, caches cleared.
  void AttachToObject(std::string* text, std::vector<int32_t>* indexes, TPXMemoFormatList* formats);
  // Gives them back (after DropUnusedFormats unless told not to) and
  // forgets them.
  void TakeBack(std::string& text, std::vector<int32_t>& indexes, TPXMemoFormatList& formats, bool dropUnused = true);
  // The memo object's settings: font (from its logical font, in the pen
  // colour), background and frame brushes, alignment, plain text, auto-size,
  // line spacing, border and fixed line height.
  void TakeObjectSettings(const TPXVObject& object);

  const std::u32string& Text() const { return text_; }
  std::string TextUtf8() const { return EncodeUtf8(text_); }
  int32_t Length() const { return static_cast<int32_t>(text_.size()); }
  const std::vector<int32_t>& Indexes() const { return idx_; }
  const TPXMemoFormatList& Formats() const { return fmts_; }
  // The format of character i (the current format outside the text).
  const TPXMemoFormat& FormatOf(int32_t i) const;
  TPXMemoFormat& CurrentFormat() { return current_; }

  int32_t Caret() const { return caret_; }
  void SetCaret(int32_t pos);
  int32_t SelStart() const { return selStart_; }
  int32_t SelEnd() const { return selEnd_; }
  void SetSelection(int32_t start, int32_t end);

  // ---- editing
  void InsertChar(char32_t c);
  void DeleteChar(int32_t i);
  void DeleteSelection();
  void ClearSelection() { selStart_ = selEnd_ = 0; }
  void ExtendSelection(int32_t oldCaret, bool shift);
  int32_t CaretFromPoint(int32_t x, int32_t y);
  void AddFormat(int32_t i, const TPXMemoFormat& record);
  int32_t FindFormat(const TPXMemoFormat& record) const;
  void DropUnusedFormats();
  // Inserts text at the caret with the current format (overwrite mode
  // replaces), as typing does.
  void TypeText(const std::u32string& text);

  // Key-down handling; returns true when the memo must be repainted.
  bool KeyDown(int key, TShiftState shift);
  // A typed character (printable ones only are taken).
  bool KeyPress(char32_t c);
  void DoubleClickWord();

  bool CopyToClipboard();
  bool PasteFromClipboard();
  // Decodes private clipboard data (text, zero byte, a record per code
  // point); false for anything malformed.
  static bool DecodePrivateData(const std::string& data, std::u32string& text, TPXMemoFormatList& records);
  std::string EncodePrivateData(int32_t from, int32_t to) const;

  // Lays out and draws into target at (left, top) a box of width W and
  // height H (before zoom). Nothing unless W > 1 and H > 1.
  void LayoutAndDraw(TBitmap& target, int left, int top, int W, int H);
  // The layout alone (positions, caret), for the last box size.
  void EnsureLayout();

  // Results of the layout.
  int32_t CaretX() const { return caretX_; }
  int32_t CaretY() const { return caretY_; }
  int32_t CaretHeight() const { return caretH_; }
  int32_t CharX(int32_t i) const { return x_[i]; }
  int32_t CharY(int32_t i) const { return y_[i]; }
  int32_t CharWidth(int32_t i) const { return w_[i]; }
  // Pixels the box should grow by to show everything (auto-size); 0 when
  // it fits. Left for the owner to apply after painting.
  int32_t GrowRequest() const { return grow_; }
  bool LayoutDirty() const { return dirty_; }

 private:
  struct TLine {
    int32_t Start = 0, End = 0;  // characters [Start, End)
    int32_t Top = 0, Height = 0, Leading = 0;
  };
  void ClearCaches(int32_t from);
  void Grow();
  void ApplyFormat(TCanvas& canvas, int32_t i) const;
  void Measure(TCanvas& canvas, int32_t i);
  // A character laid out for drawing after the layout (at a zoom).
  struct TPlacedGlyph {
    int32_t X, Baseline, Index;
  };
  void Layout(TBitmap* target, int left, int top, int W, int H);
  void ResetMetricsIfBaseChanged();
  // The end of the line that starts at s (after its line feed or last blank).
  int32_t WrapLine(TCanvas& canvas, int32_t s, int32_t innerWidth);
  // The paragraph alignment's offset and justification stretch of [s, e).
  void PlaceLine(int32_t s, int32_t e, int32_t innerWidth, int32_t& offset, double& stretch) const;
  void PlaceCaret();
  void DrawZoomed(TCanvas& canvas, int left, int top, const std::vector<TPlacedGlyph>& glyphs);
  int32_t LineOfPos(int32_t pos) const;
  void AfterCaretMove(int32_t oldCaret, bool shift);
  template <typename Fn>
  void ChangeSelectedFormats(Fn&& change);
  void SetParagraphAlignment(uint8_t a);
  int32_t WordLeft(int32_t p) const;
  int32_t WordRight(int32_t p) const;
  TPXMemoFormat FormatFromBase() const;

  std::u32string text_;
  std::vector<int32_t> idx_;
  TPXMemoFormatList fmts_;
  // Caches, length + 1 entries: width, height, leading (0 = not measured),
  // x and y (1-based, -1 = not laid out).
  std::vector<int32_t> w_, h_, lead_, x_, y_;
  std::vector<TLine> lines_;
  int32_t caret_ = 0;
  int32_t caretX_ = 0, caretY_ = 0, caretH_ = 0;
  int32_t caretLine_ = 0;
  int32_t selStart_ = 0, selEnd_ = 0;
  TPXMemoFormat current_;
  bool plainText_ = false;
  int32_t lastW_ = 0, lastH_ = 0;
  int32_t grow_ = 0;
  bool dirty_ = true;
  TColor keptFontColor_ = clBlack, keptBrushColor_ = clWhite;
  TFont metricsFont_;
  int32_t metricsFixed_ = 0;
  std::unique_ptr<TBitmap> measureBitmap_;  // canvas of the layout-only pass
};

// The memo editor control.
// Draws a memo object with its top-left at (x, y) of target, its box the
// object's size in image pixels times zoom (alphaPass: the canvas's font
// and brush colours are kept). The object's text and formats are lent for
// the draw and given back.
PIXORAN_VIEW_EXPORT void DrawMemoObject(TPXVObject& object, TBitmap& target, int32_t x, int32_t y, double zoom,
                                        bool alphaPass);

class PIXORAN_VIEW_EXPORT TPXTextControl : public TCustomControl {
 public:
  explicit TPXTextControl(TComponent* owner = nullptr, TWinControl* parent = nullptr);
  ~TPXTextControl() override;

  TPXMemo& Memo() { return memo_; }
  // The editor over an object: takes the lent data and sets up (see
  // TPXMemo::AttachToObject).
  void AttachToObject(std::string* text, std::vector<int32_t>* indexes, TPXMemoFormatList* formats);
  void TakeBack(std::string& text, std::vector<int32_t>& indexes, TPXMemoFormatList& formats) {
    memo_.TakeBack(text, indexes, formats);
  }

  // Fired first for every key; setting key to 0 stops the editor's own
  // handling.
  std::function<void(TObject* sender, int& key, TShiftState shift)> OnKeyDown;

  // The last drawn frame (offscreen tests look at it).
  const TBitmap& Frame() const { return ScreenBuffer(); }

 protected:
  void Paint() override;
  void PaintWindowOverlay() override;
  void HandleMessage(TMessage& message) override;
  void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
  void MouseMove(TShiftState shift, int x, int y) override;
  void KeyDown(int& key, TShiftState shift) override;
  void KeyPress(char32_t& key) override;
  void DoExit() override;
  void DoEnter() override;
  void Resize() override;
  void InputMethodCommit(const std::u32string& text) override;
  TInputMethodState InputMethodState() override;
  void AdjustWindowStyle(TCreateParams& params) override;

 private:
  TPXMemo memo_;
  int32_t pressX_ = 0, pressY_ = 0;
  bool focused_ = false;
  bool growPosted_ = false;
  TShiftState lastShift_ = 0;
};

// The single-line editor of text objects: claims Tab and the keys 33 to 40,
// drops the Tab character.
class PIXORAN_VIEW_EXPORT TPXEdit : public TEdit {
 public:
  explicit TPXEdit(TComponent* owner = nullptr, TWinControl* parent = nullptr);

 protected:
  bool WantsKey(int key) override;
  void KeyPress(char32_t& key) override;
};

}  // namespace pixoran
