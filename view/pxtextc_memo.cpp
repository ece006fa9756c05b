// TPXMemo: the memo's storage, editing commands, clipboard exchange, layout
// and drawing.
#include <algorithm>
#include <cmath>

#include "core/kopxutils_helpers.h"
#include "view/pxtextc.h"

namespace pixoran {

std::function<bool(TPXMemoFontChoice&)> PXMemoFontDialogHook;
std::function<bool(TColor&)> PXMemoColorDialogHook;

// Registered when the unit is loaded, as the vector layer's own format.
static const TClipboardFormat kTextMemoFormat = RegisterClipboardFormat("PIXORAN TEXTMEMO");
TClipboardFormat PXTextMemoClipboardFormat() { return kTextMemoFormat; }

// ------------------------------------------------------------------ UTF-8

bool DecodeUtf8Strict(const std::string& bytes, std::u32string& out) {
  std::u32string r;
  r.reserve(bytes.size());
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t n = bytes.size();
  for (size_t i = 0; i < n;) {
    const uint8_t b = s[i];
    char32_t c;
    size_t len;
    if (b < 0x80) {
      c = b;
      len = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      c = b & 0x1F;
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      c = b & 0x0F;
      len = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      c = b & 0x07;
      len = 4;
    } else {
      return false;  // continuation byte, overlong lead (C0, C1) or beyond U+10FFFF
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF))) return false;  // overlong
    if (c >= 0xD800 && c <= 0xDFFF) return false;                                              // surrogate
    if (c == 0) return false;
    r.push_back(c);
    i += len;
  }
  out = std::move(r);
  return true;
}

std::string EncodeUtf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

std::string EncodeUtf8(const std::u32string& text) {
  std::string s;
  s.reserve(text.size());
  for (char32_t c : text) s += EncodeUtf8(c);
  return s;
}

// Lenient decoding for text the program itself stored: bad bytes become
// U+FFFD instead of refusing the whole text.
static std::u32string DecodeUtf8Lenient(const std::string& bytes) {
  std::u32string out;
  if (DecodeUtf8Strict(bytes, out)) return out;
  out.clear();
  size_t i = 0;
  while (i < bytes.size()) {
    size_t len = 1;
    const auto b = static_cast<uint8_t>(bytes[i]);
    if (b >= 0xC2 && b <= 0xDF) len = 2;
    else if (b >= 0xE0 && b <= 0xEF) len = 3;
    else if (b >= 0xF0 && b <= 0xF4) len = 4;
    std::u32string one;
    if (b != 0 && i + len <= bytes.size() && DecodeUtf8Strict(bytes.substr(i, len), one)) {
      out += one;
      i += len;
    } else {
      out += U'\uFFFD';
      ++i;
    }
  }
  return out;
}

// ---------------------------------------------------------- format record

std::string MemoFormatName(const TPXMemoFormat& f) {
  return std::string(reinterpret_cast<const char*>(f.FontName + 1), f.FontName[0]);
}

void SetMemoFormatName(TPXMemoFormat& f, const std::string& utf8) {
  size_t n = std::min<size_t>(utf8.size(), 255);
  // Back off to a code-point boundary.
  while (n > 0 && n < utf8.size() && (static_cast<uint8_t>(utf8[n]) & 0xC0) == 0x80) --n;
  std::memset(f.FontName, 0, sizeof f.FontName);
  f.FontName[0] = static_cast<uint8_t>(n);
  std::memcpy(f.FontName + 1, utf8.data(), n);
}

bool SameMemoFormat(const TPXMemoFormat& a, const TPXMemoFormat& b) {
  return std::memcmp(reinterpret_cast<const uint8_t*>(&a) + 4, reinterpret_cast<const uint8_t*>(&b) + 4, 276) == 0;
}

void SanitizeMemoFormat(TPXMemoFormat& f) {
  std::u32string probe;
  const std::string name = MemoFormatName(f);
  SetMemoFormatName(f, DecodeUtf8Strict(name, probe) ? name : std::string());  // zero-fills behind
  f.Style &= 15;
  if (f.Alignment > maJustify) f.Alignment = maLeft;
  if (f.BackStyle > bsDiagCross) f.BackStyle = bsSolid;
  std::memset(f.Unused1, 0, sizeof f.Unused1);
  std::memset(f.Unused2, 0, sizeof f.Unused2);
  f.Color &= 0xFFFFFF;
  f.BackColor &= 0xFFFFFF;
}

// A format record's platform font, by the logical-font rule (negative
// heights are character heights, positive ones cell heights); the name is
// taken whole, beyond the logical font's 31 bytes.
TFont MemoFormatFont(const TPXMemoFormat& f) {
  TPXLogFont lf;
  lf.Height = std::clamp(f.Height, -10000, 10000);
  lf.Weight = (f.Style & mfsBold) ? 700 : 400;
  lf.Italic = (f.Style & mfsItalic) ? 1 : 0;
  lf.Underline = (f.Style & mfsUnderline) ? 1 : 0;
  lf.StrikeOut = (f.Style & mfsStrikeOut) ? 1 : 0;
  TFont font;
  FontFromLogFont(lf, font);
  const std::string name = MemoFormatName(f);
  if (!name.empty()) font.Name = name;
  font.Color = f.Color;
  return font;
}

// The font times the zoom, truncated, whichever way its size is given.
static void ScaleFont(TFont& f, double zoom) {
  auto scale = [zoom](int v) { return std::max(1, static_cast<int>(std::min(v * zoom, 10000.0))); };
  if (f.CellHeight > 0) f.CellHeight = scale(f.CellHeight);
  else if (f.Height > 0) f.Height = scale(f.Height);
  else f.Height = scale(-PointsToLogHeight(f.Size));
}

static std::string Glyph(char32_t c) { return EncodeUtf8(c < 32 || c == 127 ? U' ' : c); }

// ------------------------------------------------------------------ memo

TPXMemo::TPXMemo() {
  Font.Height = 16;
  current_ = FormatFromBase();
  ClearCaches(0);
}

TPXMemoFormat TPXMemo::FormatFromBase() const {
  TPXMemoFormat f;
  SetMemoFormatName(f, Font.Name);
  f.Height = LogFontFromFont(Font).Height;
  f.Style = (Font.Bold ? mfsBold : 0) | (Font.Italic ? mfsItalic : 0) | (Font.Underline ? mfsUnderline : 0) |
            (Font.StrikeOut ? mfsStrikeOut : 0);
  f.Color = Font.Color;
  f.BackColor = BackgroundBrush.Color;
  f.BackStyle = BackgroundBrush.Style;
  f.Alignment = Alignment;
  return f;
}

void TPXMemo::SetPlainText(bool value) {
  plainText_ = value;
  ClearCaches(0);
}

void TPXMemo::AttachToObject(std::string* text, std::vector<int32_t>* indexes, TPXMemoFormatList* formats) {
  selStart_ = selEnd_ = 0;
  caret_ = 0;
  text_ = text ? DecodeUtf8Lenient(*text) : std::u32string();
  if (text) text->clear();
  const int32_t n = Length();
  idx_.clear();
  if (indexes) idx_.swap(*indexes);
  idx_.resize(static_cast<size_t>(n), 0);  // missing indexes are zero
  fmts_.clear();
  if (formats) fmts_.swap(*formats);
  if (fmts_.empty() && n > 0) {
    TPXMemoFormat f = FormatFromBase();
    f.UsageCount = n;
    fmts_.push_back(f);
  }
  // Indexes that point nowhere take the first record; the usage counts are
  // taken from the indexes, so dropping unused records cannot orphan one.
  for (int32_t& i : idx_)
    if (i < 0 || i >= static_cast<int32_t>(fmts_.size())) i = 0;
  for (TPXMemoFormat& f : fmts_) f.UsageCount = 0;
  for (int32_t i : idx_) ++fmts_[static_cast<size_t>(i)].UsageCount;
  current_ = FormatFromBase();
  ClearCaches(0);
}

void TPXMemo::TakeBack(std::string& text, std::vector<int32_t>& indexes, TPXMemoFormatList& formats, bool dropUnused) {
  if (dropUnused) DropUnusedFormats();
  text = EncodeUtf8(text_);
  indexes = std::move(idx_);
  formats = std::move(fmts_);
  text_.clear();
  idx_.clear();
  fmts_.clear();
  caret_ = selStart_ = selEnd_ = 0;
  ClearCaches(0);
}

const TPXMemoFormat& TPXMemo::FormatOf(int32_t i) const {
  if (i < 0 || i >= Length()) return current_;
  const int32_t k = idx_[static_cast<size_t>(i)];
  if (k < 0 || k >= static_cast<int32_t>(fmts_.size())) return current_;
  return fmts_[static_cast<size_t>(k)];
}

void TPXMemo::SetCaret(int32_t pos) { caret_ = std::clamp(pos, 0, Length()); }

void TPXMemo::SetSelection(int32_t start, int32_t end) {
  start = std::clamp(start, 0, Length());
  end = std::clamp(end, 0, Length());
  if (start > end) std::swap(start, end);
  selStart_ = start;
  selEnd_ = end;
}

void TPXMemo::ClearCaches(int32_t from) {
  const size_t n = text_.size() + 1;
  for (auto* v : {&w_, &h_, &lead_}) v->resize(n, 0);
  for (auto* v : {&x_, &y_}) v->resize(n, -1);
  for (size_t i = static_cast<size_t>(std::max(0, from)); i < n; ++i) {
    w_[i] = h_[i] = lead_[i] = 0;
    x_[i] = y_[i] = -1;
  }
  dirty_ = true;
}

int32_t TPXMemo::FindFormat(const TPXMemoFormat& record) const {
  for (size_t i = 0; i < fmts_.size(); ++i)
    if (SameMemoFormat(fmts_[i], record)) return static_cast<int32_t>(i);
  return -1;
}

void TPXMemo::AddFormat(int32_t i, const TPXMemoFormat& record) {
  if (i < 0 || i >= Length()) return;
  int32_t& slot = idx_[static_cast<size_t>(i)];
  // The character lets go of its old record first, so counts reach 0 and
  // unused records can be dropped.
  if (slot >= 0 && slot < static_cast<int32_t>(fmts_.size())) {
    TPXMemoFormat& old = fmts_[static_cast<size_t>(slot)];
    if (old.UsageCount > 0) --old.UsageCount;
  }
  int32_t k = FindFormat(record);
  if (k < 0) {
    TPXMemoFormat copy = record;
    copy.UsageCount = 0;
    fmts_.push_back(copy);
    k = static_cast<int32_t>(fmts_.size()) - 1;
  }
  slot = k;
  ++fmts_[static_cast<size_t>(k)].UsageCount;
}

void TPXMemo::DropUnusedFormats() {
  for (int32_t k = static_cast<int32_t>(fmts_.size()) - 1; k >= 0; --k) {
    if (fmts_[static_cast<size_t>(k)].UsageCount != 0) continue;
    fmts_.erase(fmts_.begin() + k);
    for (int32_t& i : idx_)
      if (i > k) --i;
  }
}

void TPXMemo::InsertChar(char32_t c) {
  const size_t at = static_cast<size_t>(caret_);
  text_.insert(text_.begin() + static_cast<ptrdiff_t>(at), c);
  idx_.insert(idx_.begin() + static_cast<ptrdiff_t>(at), -1);  // no record to release yet
  for (auto* v : {&w_, &h_, &lead_, &x_, &y_}) v->insert(v->begin() + static_cast<ptrdiff_t>(at), 0);
  AddFormat(caret_, current_);
  ClearCaches(caret_);
  ++caret_;
}

void TPXMemo::DeleteChar(int32_t i) {
  if (i < 0 || i >= Length()) return;
  const int32_t k = idx_[static_cast<size_t>(i)];
  if (k >= 0 && k < static_cast<int32_t>(fmts_.size()) && fmts_[static_cast<size_t>(k)].UsageCount > 0)
    --fmts_[static_cast<size_t>(k)].UsageCount;
  text_.erase(text_.begin() + i);
  idx_.erase(idx_.begin() + i);
  for (auto* v : {&w_, &h_, &lead_, &x_, &y_}) v->erase(v->begin() + i);
  ClearCaches(i);
}

void TPXMemo::DeleteSelection() {
  if (selStart_ >= selEnd_) return;
  for (int32_t i = selEnd_ - 1; i >= selStart_; --i) DeleteChar(i);
  caret_ = selStart_;
  ClearSelection();
}

void TPXMemo::ExtendSelection(int32_t oldCaret, bool shift) {
  if (!shift) {
    ClearSelection();
    return;
  }
  if (selStart_ == selEnd_) {
    selStart_ = oldCaret;
    selEnd_ = caret_;
  } else if (selStart_ == oldCaret) {
    selStart_ = caret_;
  } else {
    selEnd_ = caret_;
  }
  if (selStart_ > selEnd_) std::swap(selStart_, selEnd_);
}

void TPXMemo::TypeText(const std::u32string& text) {
  DeleteSelection();
  for (char32_t c : text) {
    if (c == U'\r' || c == 0) continue;
    if (!InsertMode) DeleteChar(caret_);
    InsertChar(c);
  }
}

// ------------------------------------------------------------------ keys

int32_t TPXMemo::WordLeft(int32_t p) const {
  while (p > 0 && text_[static_cast<size_t>(p - 1)] < 33) --p;
  while (p > 0 && text_[static_cast<size_t>(p - 1)] >= 33) --p;
  return std::clamp(p, 0, std::max(0, Length() - 1));
}

int32_t TPXMemo::WordRight(int32_t p) const {
  const int32_t n = Length();
  while (p < n && text_[static_cast<size_t>(p)] < 33) ++p;
  while (p < n && text_[static_cast<size_t>(p)] >= 33) ++p;
  return std::clamp(p, 0, std::max(0, n - 1));
}

int32_t TPXMemo::LineOfPos(int32_t pos) const {
  for (size_t l = 0; l < lines_.size(); ++l)
    if (pos >= lines_[l].Start && pos < lines_[l].End) return static_cast<int32_t>(l);
  return lines_.empty() ? 0 : static_cast<int32_t>(lines_.size()) - 1;
}

void TPXMemo::AfterCaretMove(int32_t oldCaret, bool shift) {
  // An empty memo keeps its current format.
  if (Length() > 0) current_ = FormatOf(std::clamp(caret_ - 1, 0, Length() - 1));
  ExtendSelection(oldCaret, shift);
  dirty_ = true;
}

template <typename Fn>
void TPXMemo::ChangeSelectedFormats(Fn&& change) {
  // Each selected character gets a changed copy of its own record, so
  // unselected characters sharing the record keep their format.
  for (int32_t i = selStart_; i < selEnd_; ++i) {
    TPXMemoFormat f = FormatOf(i);
    change(f);
    AddFormat(i, f);
  }
  change(current_);
  ClearCaches(selStart_);
}

void TPXMemo::SetParagraphAlignment(uint8_t a) {
  int32_t from = caret_;
  while (from > 0 && text_[static_cast<size_t>(from - 1)] != U'\n') --from;
  int32_t to = caret_;
  while (to < Length() && text_[static_cast<size_t>(to)] != U'\n') ++to;
  if (to < Length()) ++to;  // the line feed closing the paragraph
  for (int32_t i = from; i < to; ++i) {
    TPXMemoFormat f = FormatOf(i);
    f.Alignment = a;
    AddFormat(i, f);
  }
  current_.Alignment = a;
  ClearCaches(0);
}

bool TPXMemo::KeyDown(int key, TShiftState shift) {
  const bool ctrl = shift & ssCtrl, sh = shift & ssShift;
  const int32_t n = Length();
  const int32_t old = caret_;
  switch (key) {
    case vkLeft:
    case vkRight:
    case vkHome:
    case vkEnd:
    case vkUp:
    case vkDown: {
      EnsureLayout();
      if (key == vkLeft) caret_ = ctrl ? WordLeft(caret_) : std::max(0, caret_ - 1);
      else if (key == vkRight) caret_ = ctrl ? WordRight(caret_) : std::min(n, caret_ + 1);
      else if (key == vkHome) caret_ = ctrl ? 0 : lines_.empty() ? 0 : lines_[LineOfPos(caret_)].Start;
      else if (key == vkEnd) {
        if (ctrl || lines_.empty()) {
          caret_ = n;
        } else {
          const TLine& l = lines_[LineOfPos(caret_)];
          caret_ = (l.End > l.Start && text_[static_cast<size_t>(l.End - 1)] == U'\n') ? l.End - 1 : l.End;
        }
      } else {
        const int32_t target = caretLine_ + (key == vkUp ? -1 : 1);
        if (target >= 0 && target < static_cast<int32_t>(lines_.size())) {
          const TLine& l = lines_[static_cast<size_t>(target)];
          int32_t best = l.Start, bestD = INT32_MAX;
          auto consider = [&](int32_t i) {
            const int32_t d = std::abs(x_[static_cast<size_t>(i)] - caretX_);
            if (d < bestD) bestD = d, best = i;  // a neighbour wins only when strictly nearer
          };
          if (key == vkUp)
            for (int32_t i = l.Start; i < l.End; ++i) consider(i);
          else
            for (int32_t i = l.End - 1; i >= l.Start; --i) consider(i);
          caret_ = best;
        }
      }
      caret_ = std::clamp(caret_, 0, n);
      AfterCaretMove(old, sh);
      return caret_ != old || sh;
    }
    case vkBack:
      if (selStart_ < selEnd_) DeleteSelection();
      else if (caret_ > 0) DeleteChar(--caret_);
      else return false;
      return true;
    case vkDelete:
      if (selStart_ < selEnd_) DeleteSelection();
      else if (caret_ < n) DeleteChar(caret_);
      else return false;
      return true;
    case vkReturn:
      DeleteSelection();  // a selection would be left pointing at other characters
      InsertChar(U'\n');
      return true;
    case vkInsert: InsertMode = !InsertMode; return false;
    case vkF1 + 1:  // Shift+F2: larger
    case vkF1:      // Shift+F1: smaller
      if (!sh) return false;
      ChangeSelectedFormats([larger = key != vkF1](TPXMemoFormat& f) {
        int64_t h = f.Height;
        if (larger) h += h < 0 ? -1 : 1;
        else if (h < 0) ++h;
        else if (h > 0) --h;
        if (h == 0) h = 1;
        f.Height = static_cast<int32_t>(std::clamp<int64_t>(h, -4096, 4096));
      });
      return true;
    default: break;
  }
  if (!ctrl) return false;
  switch (key) {
    case 'B':
    case 'I':
    case 'U': {
      const uint8_t bit = key == 'B' ? mfsBold : key == 'I' ? mfsItalic : mfsUnderline;
      if (selStart_ < selEnd_) {
        const bool set = !(FormatOf(selStart_).Style & bit);
        for (int32_t i = selStart_; i < selEnd_; ++i) {
          TPXMemoFormat f = FormatOf(i);
          f.Style = set ? (f.Style | bit) : (f.Style & ~bit);
          AddFormat(i, f);
        }
        ClearCaches(selStart_);
      } else {
        current_.Style ^= bit;
      }
      return true;
    }
    case 'L': SetParagraphAlignment(maLeft); return true;
    case 'R': SetParagraphAlignment(maRight); return true;
    case 'E': SetParagraphAlignment(maCenter); return true;
    case 'J': SetParagraphAlignment(maJustify); return true;
    case 'F': {
      if (plainText_ || !PXMemoFontDialogHook) return false;
      TPXMemoFontChoice c{MemoFormatName(current_), current_.Height, current_.Style, current_.Color};
      if (!PXMemoFontDialogHook(c)) return false;
      ChangeSelectedFormats([&](TPXMemoFormat& f) {
        SetMemoFormatName(f, c.Name);
        f.Height = c.Height == 0 ? 1 : c.Height;
        f.Style = c.Style & 15;
        f.Color = c.Color & 0xFFFFFF;
      });
      return true;
    }
    case 'G': {
      if (plainText_ || !PXMemoColorDialogHook) return false;
      TColor colour = current_.BackColor;
      if (!PXMemoColorDialogHook(colour)) return false;
      ChangeSelectedFormats([&](TPXMemoFormat& f) { f.BackColor = colour & 0xFFFFFF; });
      return true;
    }
    case 'C': CopyToClipboard(); return false;
    case 'X':
      CopyToClipboard();
      DeleteSelection();
      return true;
    case 'V':
      DeleteSelection();
      PasteFromClipboard();
      return true;
    default: return false;
  }
}

bool TPXMemo::KeyPress(char32_t c) {
  if (c < 32 || c == 127) return false;
  TypeText(std::u32string(1, c));
  return true;
}

void TPXMemo::DoubleClickWord() {
  if (Length() == 0) return;
  EnsureLayout();
  const int32_t start = WordLeft(caret_);
  int32_t end = WordRight(start);
  if (end == Length() - 1 && text_[static_cast<size_t>(end)] >= 33) ++end;  // the last word reaches the end
  while (end > start && text_[static_cast<size_t>(end - 1)] < 33) --end;
  selStart_ = start;
  selEnd_ = end;
  caret_ = end;
  current_ = FormatOf(std::clamp(end - 1, 0, Length() - 1));
  dirty_ = true;
}

int32_t TPXMemo::CaretFromPoint(int32_t x, int32_t y) {
  EnsureLayout();
  const int32_t n = Length();
  int32_t c = 0;
  while (c < n && y_[static_cast<size_t>(c)] < y) ++c;
  if (c > 0 && (c >= n || y_[static_cast<size_t>(c)] >= y)) --c;
  if (c < n) {
    // Stay on the line that was hit.
    const int32_t lineStart = lines_.empty() ? 0 : lines_[LineOfPos(c)].Start;
    while (c > lineStart && x < x_[static_cast<size_t>(c)] - 1) --c;
    // A point past the last line's end goes behind it. The positions are
    // at the zoom of the last drawing, the widths are not.
    const double z = Zoom != 1.0 && Zoom > 0 ? Zoom : 1.0;
    if (c == n - 1 && text_[static_cast<size_t>(c)] != U'\n' &&
        x >= x_[static_cast<size_t>(c)] + static_cast<int32_t>(w_[static_cast<size_t>(c)] * z))
      c = n;
  }
  caret_ = std::clamp(c, 0, n);
  return caret_;
}

// ------------------------------------------------------------- clipboard

std::string TPXMemo::EncodePrivateData(int32_t from, int32_t to) const {
  std::string out;
  for (int32_t i = from; i < to; ++i) out += EncodeUtf8(text_[static_cast<size_t>(i)]);
  out.push_back('\0');
  for (int32_t i = from; i < to; ++i) {
    TPXMemoFormat f = FormatOf(i);
    out.append(reinterpret_cast<const char*>(&f), sizeof f);
  }
  return out;
}

bool TPXMemo::DecodePrivateData(const std::string& data, std::u32string& text, TPXMemoFormatList& records) {
  const size_t zero = data.find('\0');
  if (zero == std::string::npos) return false;
  std::u32string t;
  if (!DecodeUtf8Strict(data.substr(0, zero), t)) return false;
  // bytes + 1 + 280 per code point, checked before any record is read.
  const uint64_t need = static_cast<uint64_t>(zero) + 1 + 280ull * t.size();
  if (need > data.size()) return false;
  TPXMemoFormatList recs(t.size());
  for (size_t i = 0; i < t.size(); ++i) {
    std::memcpy(&recs[i], data.data() + zero + 1 + 280 * i, 280);
    SanitizeMemoFormat(recs[i]);
    recs[i].UsageCount = 0;
  }
  text = std::move(t);
  records = std::move(recs);
  return true;
}

bool TPXMemo::CopyToClipboard() {
  if (selStart_ >= selEnd_) return false;
  std::u32string sel = text_.substr(static_cast<size_t>(selStart_), static_cast<size_t>(selEnd_ - selStart_));
  return ClipboardSet(EncodeUtf8(sel), {TClipboardItem{kTextMemoFormat, EncodePrivateData(selStart_, selEnd_)}});
}

bool TPXMemo::PasteFromClipboard() {
  if (std::optional<std::string> data = ClipboardGet(kTextMemoFormat)) {
    std::u32string text;
    TPXMemoFormatList recs;
    if (!DecodePrivateData(*data, text, recs)) return false;  // corrupt data is refused whole
    for (size_t i = 0; i < text.size(); ++i) {
      current_ = recs[i];
      InsertChar(text[i]);
    }
    return true;
  }
  std::optional<std::string> plain = ClipboardGetText();
  if (!plain) return false;
  for (char32_t c : DecodeUtf8Lenient(*plain))
    if (c != U'\r' && c != 0) InsertChar(c);
  return true;
}

// ---------------------------------------------------------------- layout

void TPXMemo::ApplyFormat(TCanvas& canvas, int32_t i) const {
  TFont font;
  TBrush brush;
  if (plainText_) {
    font = Font;
    brush = BackgroundBrush;
  } else {
    const TPXMemoFormat& f = FormatOf(i);
    font = MemoFormatFont(f);
    brush.Color = f.BackColor;
    brush.Style = static_cast<TBrushStyle>(f.BackStyle);
  }
  if (KeepCanvasColours) {
    font.Color = keptFontColor_;
    brush.Color = keptBrushColor_;
  }
  canvas.Font = font;
  canvas.Brush = brush;
}

void TPXMemo::Measure(TCanvas& canvas, int32_t i) {
  const size_t k = static_cast<size_t>(i);
  if (h_[k] > 0) return;
  ApplyFormat(canvas, i);
  w_[k] = canvas.TextWidth(Glyph(i < Length() ? text_[k] : U' '));
  if (FixedLineHeight > 0) {
    h_[k] = FixedLineHeight;
    lead_[k] = 0;
  } else {
    const int32_t cell = canvas.TextHeight("M");
    h_[k] = std::max(1, cell);
    // The baseline sits this far above the cell's bottom.
    lead_[k] = std::max(0, cell - canvas.TextAscent());
  }
}

void TPXMemo::EnsureLayout() {
  if (dirty_) Layout(nullptr, 0, 0, lastW_, lastH_);
}

void TPXMemo::LayoutAndDraw(TBitmap& target, int left, int top, int W, int H) { Layout(&target, left, top, W, H); }

namespace {

// A selected character is drawn in the inverse of its colours.
void InvertForSelection(TFont& font, TBrush& brush) {
  brush = TBrush{static_cast<TColor>(~ColorToRGB(brush.Color) & 0xFFFFFF), bsSolid};
  font.Color = ~ColorToRGB(font.Color) & 0xFFFFFF;
}

}  // namespace

void TPXMemo::ResetMetricsIfBaseChanged() {
  // Metrics depend on the base font and cell height as well as the records.
  const bool sameBase = metricsFont_.Name == Font.Name && metricsFont_.Height == Font.Height &&
                        metricsFont_.Size == Font.Size && metricsFont_.Bold == Font.Bold &&
                        metricsFont_.Italic == Font.Italic && metricsFont_.Underline == Font.Underline &&
                        metricsFont_.StrikeOut == Font.StrikeOut && metricsFixed_ == FixedLineHeight;
  if (sameBase) return;
  ClearCaches(0);
  metricsFont_ = Font;
  metricsFixed_ = FixedLineHeight;
}

int32_t TPXMemo::WrapLine(TCanvas& canvas, int32_t s, int32_t innerWidth) {
  // At least one character per line, so a character wider than the box
  // cannot stall the wrap.
  const int32_t n = Length();
  int32_t x = 0, e = s;
  while (e < n) {
    Measure(canvas, e);
    const size_t k = static_cast<size_t>(e);
    if (text_[k] == U'\n') return e + 1;
    if (e > s && x + w_[k] + 2 >= innerWidth) {
      int32_t b = e - 1;
      while (b > s && text_[static_cast<size_t>(b)] >= 33) --b;
      if (text_[static_cast<size_t>(b)] < 33 && b >= s) e = b + 1;  // cut after the last blank
      return e;
    }
    x += w_[k];
    ++e;
  }
  return e;
}

void TPXMemo::PlaceLine(int32_t s, int32_t e, int32_t innerWidth, int32_t& offset, double& stretch) const {
  // Alignment of the paragraph (its last character's record).
  const int32_t n = Length();
  const bool endsParagraph = e >= n || text_[static_cast<size_t>(e - 1)] == U'\n';
  const uint8_t align = plainText_ ? Alignment : FormatOf(e - 1).Alignment;
  int32_t visibleEnd = e;
  if (text_[static_cast<size_t>(e - 1)] == U'\n' && e - 1 > s) --visibleEnd;
  int32_t width = 0;
  for (int32_t i = s; i < visibleEnd; ++i) width += w_[static_cast<size_t>(i)];
  offset = 0;
  stretch = 1.0;
  if (align == maRight) offset = innerWidth - width - 1;
  else if (align == maCenter) offset = (innerWidth - width - 1) / 2;
  else if (align == maJustify && !endsParagraph && width > 0) stretch = static_cast<double>(innerWidth) / (width + 1);
  offset = std::max(0, offset);
}

void TPXMemo::PlaceCaret() {
  // At the start of the line it begins, else after the character before it.
  const int32_t n = Length();
  caretLine_ = LineOfPos(caret_);
  if (caret_ == n && !lines_.empty()) caretLine_ = static_cast<int32_t>(lines_.size()) - 1;
  const TLine& cl = lines_[static_cast<size_t>(caretLine_)];
  if (n == 0) {
    caretX_ = 1;
    caretY_ = 1;
    caretH_ = h_[0];
  } else if (caret_ == cl.Start && caret_ < n) {
    caretX_ = x_[static_cast<size_t>(caret_)];
    caretY_ = cl.Top + 1;
    caretH_ = cl.Height;
  } else if (caret_ == cl.Start) {  // the empty last line
    caretX_ = 1;
    caretY_ = cl.Top + 1;
    caretH_ = cl.Height;
  } else {
    const size_t b = static_cast<size_t>(caret_ - 1);
    caretX_ = x_[b] + w_[b];
    caretY_ = cl.Top + 1;
    caretH_ = cl.Height;
  }
}

void TPXMemo::DrawZoomed(TCanvas& canvas, int left, int top, const std::vector<TPlacedGlyph>& glyphs) {
  for (size_t i = 0; i < glyphs.size(); ++i) {
    const TPlacedGlyph& d = glyphs[i];
    const size_t k = static_cast<size_t>(d.Index);
    ApplyFormat(canvas, d.Index);
    TFont font = canvas.Font;
    TBrush brush = canvas.Brush;
    ScaleFont(font, Zoom);
    if (d.Index >= selStart_ && d.Index < selEnd_) InvertForSelection(font, brush);
    const int zx = left + static_cast<int>(d.X * Zoom), zy = top + static_cast<int>(d.Baseline * Zoom);
    const std::string glyph = Glyph(text_[k]);
    canvas.Font = font;
    canvas.Brush = brush;
    // Justified gaps wider than a character get the background too.
    if (i + 1 < glyphs.size() && brush.Style != bsClear && y_[static_cast<size_t>(glyphs[i + 1].Index)] == y_[k]) {
      const int nx = left + static_cast<int>(glyphs[i + 1].X * Zoom);
      if (nx > zx + canvas.TextWidth(glyph)) {
        const int top0 = zy - canvas.TextAscent();
        canvas.FillRect(Rect(zx, top0, nx, top0 + canvas.TextHeight(glyph)));
      }
    }
    canvas.TextOut(zx, zy, glyph);
  }
  const int32_t n = Length();
  for (int32_t i = 0; i <= n; ++i) {
    const size_t k = static_cast<size_t>(i);
    if (x_[k] >= 0) x_[k] = static_cast<int32_t>(x_[k] * Zoom);
    if (y_[k] >= 0) y_[k] = static_cast<int32_t>(y_[k] * Zoom);
  }
  caretX_ = static_cast<int32_t>(caretX_ * Zoom);
  caretY_ = static_cast<int32_t>(caretY_ * Zoom);
  caretH_ = static_cast<int32_t>(caretH_ * Zoom);
}

void TPXMemo::Layout(TBitmap* target, int left, int top, int W, int H) {
  lastW_ = W;
  lastH_ = H;
  grow_ = 0;
  lines_.clear();
  if (W <= 1 || H <= 1) return;
  CapturedText.clear();
  if (!measureBitmap_) {
    measureBitmap_ = std::make_unique<TBitmap>();
    measureBitmap_->SetSize(1, 1);
  }
  TCanvas& canvas = target ? target->Canvas() : measureBitmap_->Canvas();
  keptFontColor_ = canvas.Font.Color;
  keptBrushColor_ = canvas.Brush.Color;
  ResetMetricsIfBaseChanged();
  // At a zoom the characters are drawn after the layout, scaled.
  const bool zoomed = Zoom != 1.0 && Zoom > 0;
  std::vector<TPlacedGlyph> deferred;

  if (target) {
    canvas.Pen = TPen{BorderPen.Color, 1, pmCopy, BorderPen.Style};
    canvas.Brush = FrameBrush;
    canvas.Rectangle(Rect(left, top, left + static_cast<int>(RoundHalfEven(W * Zoom)),
                          top + static_cast<int>(RoundHalfEven(H * Zoom))));
  }
  const uint32_t savedAlign = canvas.TextAlign;
  canvas.TextAlign = taLeft | taBaseline;
  const int32_t iw = W - 2, ih = H - 2;
  const int32_t n = Length();
  std::fill(x_.begin(), x_.end(), -1);
  std::fill(y_.begin(), y_.end(), -1);

  int32_t lineTop = 0;
  for (int32_t s = 0; s < n;) {
    const int32_t e = WrapLine(canvas, s, iw);
    TLine line{s, e, lineTop, 0, 0};
    for (int32_t i = s; i < e; ++i) {
      line.Height = std::max(line.Height, h_[static_cast<size_t>(i)]);
      line.Leading = std::max(line.Leading, lead_[static_cast<size_t>(i)]);
    }
    int32_t offset = 0;
    double stretch = 1.0;
    PlaceLine(s, e, iw, offset, stretch);

    const bool visible = lineTop + line.Height <= ih;
    if (!visible && AutoSize && grow_ == 0) grow_ = line.Height;
    int32_t cx = 0;
    for (int32_t i = s; i < e; ++i) {
      const size_t k = static_cast<size_t>(i);
      const int32_t px = offset + static_cast<int32_t>(cx * stretch) + 1;
      x_[k] = px;
      y_[k] = lineTop + 1;
      const int32_t baseline = lineTop + line.Height - line.Leading + 1;
      if (target && visible) {
        if (zoomed) {
          deferred.push_back({px, baseline, i});
        } else {
          ApplyFormat(canvas, i);
          TBrush brush = canvas.Brush;
          TFont font = canvas.Font;
          if (i >= selStart_ && i < selEnd_) InvertForSelection(font, brush);
          canvas.Font = font;
          canvas.Brush = brush;
          canvas.TextOut(left + px, top + baseline, Glyph(text_[k]));
        }
      }
      if (Capture && visible && text_[k] != U'\n') CapturedText += EncodeUtf8(text_[k]);
      cx += w_[k];
    }
    if (Capture && visible) CapturedText += '\n';
    lines_.push_back(line);
    lineTop += line.Height + LineSpacing;
    s = e;
  }
  // The empty line after a final line feed (or of an empty memo) still
  // holds the caret.
  if (n == 0 || text_[static_cast<size_t>(n - 1)] == U'\n') {
    Measure(canvas, n);
    TLine last{n, n, lineTop, h_[static_cast<size_t>(n)], lead_[static_cast<size_t>(n)]};
    lines_.push_back(last);
  }
  PlaceCaret();
  if (AutoSize && grow_ == 0 && caretY_ - 1 + caretH_ > ih) grow_ = caretH_;
  if (zoomed) DrawZoomed(canvas, left, top, deferred);
  canvas.TextAlign = savedAlign;
  dirty_ = false;
}

}  // namespace pixoran
