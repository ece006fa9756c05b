// The memo editor and the single-line editor: typing through keys and the
// input method, moving, selecting and deleting Chinese and Latin text with
// the formats following the characters, the format commands, wrapping,
// alignments, the private clipboard format and its strict decoding.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QTest>
#include <QWidget>

#include "platform/clipboard.h"
#include "view/pxtextc.h"

using namespace pixoran;

namespace {

struct Editor {
  TPXTextControl c;
  Editor(int w = 240, int h = 120) {
    c.SetBounds(0, 0, w, h);
    c.Memo().Font.Name = "DejaVu Sans";
    c.Memo().Font.Height = 14;
    c.Memo().FrameBrush = TBrush{clWhite, bsSolid};
    c.AttachToObject(nullptr, nullptr, nullptr);
    c.Memo().SetPlainText(false);
    c.Show();
    Layout();
  }
  void Layout() { (void)c.Widget()->grab(); }
  void Key(Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) {
    QTest::keyClick(c.Widget(), k, m);
    Layout();
  }
  void Type(const char* s) {
    QTest::keyClicks(c.Widget(), QString::fromUtf8(s));
    Layout();
  }
  void Ime(const char* s) {
    QInputMethodEvent e;
    e.setCommitString(QString::fromUtf8(s));
    QApplication::sendEvent(c.Widget(), &e);
    Layout();
  }
  std::string Text() { return c.Memo().TextUtf8(); }
  TPXMemo& M() { return c.Memo(); }
  // Style bits of each character.
  std::string Styles() {
    std::string s;
    for (int32_t i = 0; i < M().Length(); ++i) s += static_cast<char>('0' + M().FormatOf(i).Style);
    return s;
  }
};

TEST(TextControl, TypingKeysAndInputMethodShareTheCurrentFormat) {
  Editor e;
  e.Type("ab");
  e.Ime("中文字");
  e.Type("c");
  EXPECT_EQ(e.Text(), "ab中文字c");
  EXPECT_EQ(e.M().Length(), 6);  // code points, not bytes
  EXPECT_EQ(e.M().Caret(), 6);
  ASSERT_EQ(e.M().Formats().size(), 1u);
  EXPECT_EQ(e.M().Formats()[0].UsageCount, 6);
  // The input method is answered from the caret.
  EXPECT_TRUE(e.c.Widget()->inputMethodQuery(Qt::ImEnabled).toBool());
  EXPECT_EQ(e.c.Widget()->inputMethodQuery(Qt::ImCursorPosition).toInt(), 6);
  EXPECT_EQ(e.c.Widget()->inputMethodQuery(Qt::ImCursorRectangle).toRect().x(), e.M().CaretX());
}

TEST(TextControl, MovingSelectingAndDeletingKeepsFormatsWithCharacters) {
  Editor e;
  e.Type("ab");
  e.Key(Qt::Key_B, Qt::ControlModifier);  // bold from here on
  e.Ime("中文");
  e.Key(Qt::Key_B, Qt::ControlModifier);
  e.Type("cd");
  EXPECT_EQ(e.Styles(), "001100");
  // Shift+Left twice over "cd", then Left over the selection's end: select "文c".
  e.Key(Qt::Key_Left);
  e.Key(Qt::Key_Left, Qt::ShiftModifier);
  e.Key(Qt::Key_Left, Qt::ShiftModifier);
  EXPECT_EQ(e.M().SelStart(), 3);
  EXPECT_EQ(e.M().SelEnd(), 5);
  e.Key(Qt::Key_Backspace);
  EXPECT_EQ(e.Text(), "ab中d");
  EXPECT_EQ(e.Styles(), "0010");
  EXPECT_EQ(e.M().Caret(), 3);
  e.Key(Qt::Key_Delete);
  e.Key(Qt::Key_Home);
  e.Key(Qt::Key_Delete);
  EXPECT_EQ(e.Text(), "b中");
  EXPECT_EQ(e.Styles(), "01");
  // Ctrl+Right stops before the last character, End reaches the end.
  e.Key(Qt::Key_Right, Qt::ControlModifier);
  EXPECT_EQ(e.M().Caret(), 1);
  e.Key(Qt::Key_End);
  EXPECT_EQ(e.M().Caret(), 2);
  // Typing after the bold character takes its format.
  e.Type("x");
  EXPECT_EQ(e.Styles(), "011");
  // Overwrite mode replaces.
  e.Key(Qt::Key_Home);
  e.Key(Qt::Key_Insert);
  e.Type("Z");
  EXPECT_EQ(e.Text(), "Z中x");
}

TEST(TextControl, EmptyMemoKeysKeepCaretAndFormat) {
  Editor e;
  e.M().CurrentFormat().Style = mfsItalic;
  for (Qt::Key k : {Qt::Key_Left, Qt::Key_Right, Qt::Key_Home, Qt::Key_End, Qt::Key_Up, Qt::Key_Down, Qt::Key_Backspace,
                    Qt::Key_Delete}) {
    for (Qt::KeyboardModifiers m :
         {Qt::KeyboardModifiers(Qt::NoModifier), Qt::KeyboardModifiers(Qt::ControlModifier)}) {
      e.Key(k, m);
      EXPECT_EQ(e.M().Caret(), 0);
    }
  }
  EXPECT_EQ(e.M().CurrentFormat().Style, mfsItalic);
  EXPECT_EQ(e.M().CaretX(), 1);
  EXPECT_EQ(e.M().CaretY(), 1);
  e.Type("a");
  EXPECT_EQ(e.Styles(), "2");
}

TEST(TextControl, StyleCommandsOverSelectionAndUnusedFormatsDropped) {
  struct Case {
    Qt::Key key;
    uint8_t bit;
  };
  for (Case k : {Case{Qt::Key_B, mfsBold}, Case{Qt::Key_I, mfsItalic}, Case{Qt::Key_U, mfsUnderline}}) {
    Editor e;
    e.Type("one two three");
    e.M().SetSelection(4, 7);
    e.Key(k.key, Qt::ControlModifier);
    for (int32_t i = 0; i < e.M().Length(); ++i)
      EXPECT_EQ((e.M().FormatOf(i).Style & k.bit) != 0, i >= 4 && i < 7) << i;
    EXPECT_EQ(e.M().Formats().size(), 2u);
    // Toggled back: the first selected character decides, the bold record's
    // count falls to 0 and ending the edit drops it.
    e.Key(k.key, Qt::ControlModifier);
    EXPECT_EQ(e.M().Formats()[1].UsageCount, 0);
    EXPECT_EQ(e.M().Formats()[0].UsageCount, 13);
    std::string text;
    std::vector<int32_t> idx;
    TPXMemoFormatList fmts;
    e.c.TakeBack(text, idx, fmts);
    EXPECT_EQ(text, "one two three");
    EXPECT_EQ(fmts.size(), 1u);
    EXPECT_EQ(idx, std::vector<int32_t>(13, 0));
  }
}

TEST(TextControl, AttachTakesLentDataAndGivesItBack) {
  TPXMemoFormat a, b;
  SetMemoFormatName(a, "DejaVu Sans");
  a.Height = -12;
  b = a;
  b.Style = mfsBold;
  b.UsageCount = 99;  // a stale count is recounted from the indexes
  struct Case {
    const char* text;
    std::vector<int32_t> idx;
    bool withFormats;
    std::string styles;  // after attaching
    size_t kept;         // records given back
  };
  const Case cases[] = {
      {"ab中", {0, 1, 1}, true, "011", 2},
      {"ab中", {1}, true, "100", 2},         // missing indexes are 0
      {"ab中", {0, 7, -3}, true, "000", 1},  // out-of-range indexes take record 0
      {"ab中", {}, false, "000", 1},         // no list: one record from the base font
      {"", {}, false, "", 0},
  };
  for (const Case& c : cases) {
    Editor e;
    std::string text = c.text;
    std::vector<int32_t> idx = c.idx;
    TPXMemoFormatList fmts;
    if (c.withFormats) fmts = {a, b};
    e.c.AttachToObject(&text, &idx, c.withFormats ? &fmts : nullptr);
    EXPECT_TRUE(text.empty());  // lent, not copied
    EXPECT_EQ(e.Styles(), c.styles) << c.text;
    std::string back;
    std::vector<int32_t> backIdx;
    TPXMemoFormatList backFmts;
    e.c.TakeBack(back, backIdx, backFmts);
    EXPECT_EQ(back, c.text);
    EXPECT_EQ(backFmts.size(), c.kept) << c.text;
    int32_t total = 0;
    for (const TPXMemoFormat& f : backFmts) total += f.UsageCount;
    EXPECT_EQ(total, static_cast<int32_t>(backIdx.size()));
  }
}

TEST(TextControl, FontColourAndSizeCommandsChangeOnlyTheSelection) {
  Editor e;
  e.Type("abcd");
  e.M().SetSelection(1, 3);
  PXMemoFontDialogHook = [](TPXMemoFontChoice& c) {
    c.Name = "DejaVu Serif";
    c.Height = -20;
    c.Color = clRed;
    return true;
  };
  PXMemoColorDialogHook = [](TColor& c) {
    c = clYellow;
    return true;
  };
  e.Key(Qt::Key_F, Qt::ControlModifier);
  e.Key(Qt::Key_G, Qt::ControlModifier);
  PXMemoFontDialogHook = nullptr;
  PXMemoColorDialogHook = nullptr;
  for (int32_t i = 0; i < 4; ++i) {
    const bool sel = i == 1 || i == 2;
    EXPECT_EQ(MemoFormatName(e.M().FormatOf(i)), sel ? "DejaVu Serif" : "DejaVu Sans") << i;
    EXPECT_EQ(e.M().FormatOf(i).Color, sel ? clRed : clBlack) << i;
    EXPECT_EQ(e.M().FormatOf(i).BackColor, sel ? clYellow : clWhite) << i;
  }
  // Shift+F2 moves heights away from 0, Shift+F1 towards it, never to 0.
  e.Key(Qt::Key_F2, Qt::ShiftModifier);
  EXPECT_EQ(e.M().FormatOf(1).Height, -21);
  EXPECT_EQ(e.M().FormatOf(0).Height, -14);
  for (int32_t i = 0; i < 30; ++i) e.Key(Qt::Key_F1, Qt::ShiftModifier);
  EXPECT_EQ(e.M().FormatOf(1).Height, 1);
  EXPECT_EQ(e.M().CurrentFormat().Height, 1);
  // Plain text offers no dialogs.
  e.M().SetPlainText(true);
  bool asked = false;
  PXMemoColorDialogHook = [&](TColor&) { return asked = true; };
  e.Key(Qt::Key_G, Qt::ControlModifier);
  PXMemoColorDialogHook = nullptr;
  EXPECT_FALSE(asked);
}

TEST(TextControl, AlignmentsPlaceLines) {
  struct Case {
    Qt::Key key;
    uint8_t align;
  };
  for (Case k : {Case{Qt::Key_L, maLeft}, Case{Qt::Key_R, maRight}, Case{Qt::Key_E, maCenter}}) {
    Editor e(200, 100);
    e.Type("abc");
    e.Key(Qt::Key_Return);
    e.Type("xy");
    e.Key(Qt::Key_Up);
    e.Key(k.key, Qt::ControlModifier);
    for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(e.M().FormatOf(i).Alignment, k.align);
    EXPECT_EQ(e.M().FormatOf(4).Alignment, maLeft);  // the next paragraph keeps its own
    const int32_t iw = 198;
    const int32_t width = e.M().CharWidth(0) + e.M().CharWidth(1) + e.M().CharWidth(2);
    const int32_t expect = k.align == maLeft ? 1 : k.align == maRight ? iw - width : (iw - width - 1) / 2 + 1;
    EXPECT_EQ(e.M().CharX(0), expect);
    EXPECT_EQ(e.M().CharX(4), 1);
  }
}

TEST(TextControl, JustifyStretchesWrappedLinesButNotParagraphEnds) {
  Editor e(120, 200);
  e.Type("aa bb cc dd ee ff gg hh ii jj");
  e.Key(Qt::Key_J, Qt::ControlModifier);
  TPXMemo& m = e.M();
  // The first line is stretched to the box; the last line stays left.
  int32_t firstLineEnd = 0;
  while (m.CharY(firstLineEnd + 1) == m.CharY(0)) ++firstLineEnd;
  EXPECT_GT(m.CharX(firstLineEnd) + m.CharWidth(firstLineEnd), 118 - 2 * m.CharWidth(firstLineEnd));
  const int32_t last = m.Length() - 1;
  int32_t lastStart = last;
  while (m.CharY(lastStart - 1) == m.CharY(last)) --lastStart;
  int32_t x = 1;
  for (int32_t i = lastStart; i <= last; ++i) {
    EXPECT_EQ(m.CharX(i), x);
    x += m.CharWidth(i);
  }
}

TEST(TextControl, WrappingAWordWiderThanTheBoxEnds) {
  for (int w : {3, 8, 30}) {
    Editor e(w, 400);
    e.Type("abcdefghijklmnop");
    e.Ime("中文中文");
    TPXMemo& m = e.M();
    int32_t lines = 1;
    for (int32_t i = 1; i < m.Length(); ++i)
      if (m.CharY(i) != m.CharY(i - 1)) ++lines;
    EXPECT_GE(lines, 2) << w;
    EXPECT_LE(lines, m.Length());
    for (int32_t i = 0; i < m.Length(); ++i) EXPECT_GE(m.CharY(i), 1);
  }
}

TEST(TextControl, MouseClickDragAndDoubleClick) {
  Editor e;
  e.Type("hello world");
  TPXMemo& m = e.M();
  QWidget* w = e.c.Widget();
  const int y = m.CharY(0) + 2;
  QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, QPoint(m.CharX(6) + 1, y));
  EXPECT_EQ(m.Caret(), 6);
  QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, QPoint(m.CharX(1) + 1, y));
  QTest::mouseMove(w, QPoint(m.CharX(4) + 1, y));
  QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, QPoint(m.CharX(4) + 1, y));
  // The drag follows the pointer only with the button held (QTest moves carry no buttons).
  QTest::mouseClick(w, Qt::LeftButton, Qt::ShiftModifier, QPoint(m.CharX(8) + 1, y));
  EXPECT_EQ(m.SelStart(), 1);
  EXPECT_EQ(m.SelEnd(), 8);
  QTest::mouseDClick(w, Qt::LeftButton, Qt::NoModifier, QPoint(m.CharX(8) + 1, y));
  EXPECT_EQ(m.SelStart(), 6);
  EXPECT_EQ(m.SelEnd(), 11);
}

TEST(TextControl, UpAndDownKeepTheColumn) {
  Editor e;
  e.Type("abcdef");
  e.Key(Qt::Key_Return);
  e.Type("abcdef");
  e.Key(Qt::Key_Left);
  e.Key(Qt::Key_Left);  // before "ef" of line 2
  e.Key(Qt::Key_Up);
  EXPECT_EQ(e.M().Caret(), 4);
  e.Key(Qt::Key_Down);
  EXPECT_EQ(e.M().Caret(), 11);
  e.Key(Qt::Key_Down);  // no next line: stays
  EXPECT_EQ(e.M().Caret(), 11);
}

TEST(TextControl, CopyPastePrivateFormatAndPlainText) {
  Editor a;
  a.Type("ab");
  a.Key(Qt::Key_Return);
  a.Key(Qt::Key_B, Qt::ControlModifier);
  a.Ime("中x");
  a.M().SetSelection(0, 5);
  a.Key(Qt::Key_C, Qt::ControlModifier);
  // One QMimeData holds the plain text and the private data.
  const QMimeData* md = QApplication::clipboard()->mimeData();
  ASSERT_NE(md, nullptr);
  EXPECT_EQ(md->text().toStdString(), "ab\n中x");
  EXPECT_TRUE(ClipboardHasFormat(PXTextMemoClipboardFormat()));
  const std::string data = *ClipboardGet(PXTextMemoClipboardFormat());
  EXPECT_EQ(data.size(), std::string("ab\n中x").size() + 1 + 280u * 5);

  Editor b;
  b.Type("--");
  b.Key(Qt::Key_Left);
  b.Key(Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(b.Text(), "-ab\n中x-");
  EXPECT_EQ(b.Styles(), "0000110");
  EXPECT_EQ(b.M().Caret(), 6);

  // Plain text only: inserted with the current format, carriage returns dropped.
  QApplication::clipboard()->setText(QStringLiteral("p\r\nq"));
  Editor c;
  c.Key(Qt::Key_I, Qt::ControlModifier);
  c.Key(Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(c.Text(), "p\nq");
  EXPECT_EQ(c.Styles(), "222");
  // Cut removes the selection; an empty selection copies nothing.
  c.M().SetSelection(0, 2);
  c.Key(Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(c.Text(), "q");
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), "p\n");
  EXPECT_FALSE(c.M().CopyToClipboard());
  // The edit messages cut, copy and paste act as the keys.
  c.M().SetSelection(0, 1);
  c.c.Perform(0x0301);  // copy
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), "q");
  c.c.Perform(0x0302);  // paste over the selection
  c.c.Perform(0x0302);
  EXPECT_EQ(c.Text(), "qq");
}

TEST(TextControl, CorruptPrivateClipboardDataIsRefused) {
  TPXMemoFormat f;
  SetMemoFormatName(f, "Sans");
  const std::string rec(reinterpret_cast<const char*>(&f), 280);
  struct Case {
    const char* what;
    std::string data;
    bool ok;
  };
  const Case cases[] = {
      {"good", std::string("a\xE4\xB8\xAD", 4) + '\0' + rec + rec, true},
      {"no terminator", "abc", false},
      {"one record short", std::string("ab") + '\0' + rec, false},
      {"truncated record", std::string("a") + '\0' + rec.substr(0, 279), false},
      {"lone continuation", std::string("\x80", 1) + '\0' + rec, false},
      {"overlong slash", std::string("\xC0\xAF", 2) + '\0' + rec, false},
      {"overlong three-byte", std::string("\xE0\x80\xAF", 3) + '\0' + rec, false},
      {"surrogate", std::string("\xED\xA0\x80", 3) + '\0' + rec, false},
      {"beyond U+10FFFF", std::string("\xF4\x90\x80\x80", 4) + '\0' + rec, false},
      {"cut sequence", std::string("\xE4\xB8", 2) + '\0' + rec, false},
      {"count bomb", std::string(100000, 'a') + '\0' + rec, false},
  };
  for (const Case& c : cases) {
    std::u32string text;
    TPXMemoFormatList recs;
    EXPECT_EQ(TPXMemo::DecodePrivateData(c.data, text, recs), c.ok) << c.what;
    // Through the clipboard: a refused paste leaves the memo unchanged.
    ClipboardSet(std::string("plain"), {TClipboardItem{PXTextMemoClipboardFormat(), c.data}});
    Editor e;
    e.Type("z");
    e.Key(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(e.Text(), c.ok ? "za中" : "z") << c.what;
  }
  // Records from outside are made safe: style, alignment, brush, padding.
  TPXMemoFormat bad;
  uint8_t raw[280];
  std::memset(raw, 0xFF, sizeof raw);
  std::memcpy(&bad, raw, sizeof raw);
  bad.FontName[0] = 3;
  SanitizeMemoFormat(bad);
  EXPECT_EQ(MemoFormatName(bad), "");
  EXPECT_EQ(bad.Style, 15);
  EXPECT_EQ(bad.Alignment, maLeft);
  EXPECT_EQ(bad.BackStyle, bsSolid);
}

TEST(TextControl, FontNamesCutOnCodePointsCompareByBytes) {
  std::string longName;
  for (int i = 0; i < 100; ++i) longName += "宋";  // 300 bytes
  TPXMemoFormat a, b;
  SetMemoFormatName(a, longName);
  SetMemoFormatName(b, "x");
  SetMemoFormatName(b, longName);
  EXPECT_EQ(MemoFormatName(a).size(), 255u);  // 85 characters of 3 bytes
  std::u32string probe;
  EXPECT_TRUE(DecodeUtf8Strict(MemoFormatName(a), probe));
  EXPECT_EQ(probe.size(), 85u);
  EXPECT_TRUE(SameMemoFormat(a, b));
}

TEST(TextControl, DrawsTextSelectionAndZoom) {
  Editor e(160, 60);
  e.Type("MMMM");
  const TBitmap& f = e.c.Frame();
  auto dark = [&](int x0, int x1) {
    int n = 0;
    for (int y = 1; y < 30; ++y)
      for (int x = x0; x < x1; ++x)
        if (qRed(f.Image().pixel(x, y)) < 100) ++n;
    return n;
  };
  const int32_t endX = e.M().CharX(3) + e.M().CharWidth(3);
  EXPECT_GT(dark(1, endX), 20);
  EXPECT_EQ(dark(endX + 2, 150), 0);
  // A selection is drawn inverted: dark background behind the selected glyphs.
  e.M().SetSelection(0, 2);
  e.c.Invalidate();
  e.Layout();
  EXPECT_GT(dark(e.M().CharX(0), e.M().CharX(2)), dark(e.M().CharX(2), endX) * 2);
  // At zoom 2 the text is twice as wide.
  e.M().ClearSelection();
  e.M().Zoom = 2.0;
  e.c.Invalidate();
  e.Layout();
  EXPECT_NEAR(e.M().CharX(3), 2 * (endX - e.M().CharWidth(3)), 3);
  EXPECT_GT(dark(endX + 4, 150), 20);
  // A point inside the last glyph, as drawn, is before it; past its drawn
  // end, behind it.
  const int32_t x3 = e.M().CharX(3), w3 = e.M().CharWidth(3), y3 = e.M().CharY(3) + 2;
  EXPECT_EQ(e.M().CaretFromPoint(x3 + w3 * 3 / 2, y3), 3);
  EXPECT_EQ(e.M().CaretFromPoint(x3 + 2 * w3 + 2, y3), 4);
}

TEST(TextControl, AutoSizeGrowsAfterPainting) {
  Editor e(100, 24);
  e.M().AutoSize = true;
  const int h0 = e.c.Height();
  e.Key(Qt::Key_Return);
  e.Key(Qt::Key_Return);
  e.Type("x");
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::processEvents();
    e.Layout();
  }
  EXPECT_GT(e.c.Height(), h0);
  EXPECT_LE(e.M().CaretY() + e.M().CaretHeight(), e.c.Height());
}

TEST(TextEdit, ClaimsTabAndNavigationKeys) {
  QWidget host;
  QLineEdit other(&host);
  TPXEdit ed;
  ed.Widget()->setParent(&host);
  ed.SetBounds(0, 0, 120, 24);
  host.show();
  ed.SetText("abc");
  std::vector<int> seen;
  ed.OnKeyDown = [&](TObject*, int& key, TShiftState) { seen.push_back(key); };
  ed.LineEdit()->setFocus();
  ed.LineEdit()->setCursorPosition(3);
  QTest::keyClick(ed.LineEdit(), Qt::Key_Tab);
  QTest::keyClick(ed.LineEdit(), Qt::Key_Left);
  QTest::keyClick(ed.LineEdit(), Qt::Key_X);
  EXPECT_EQ(ed.Text(), "abxc");  // the tab was dropped, Left moved the cursor
  EXPECT_EQ(seen, (std::vector<int>{vkTab, vkLeft, 'X'}));
  // A handler that zeroes the key keeps it from the edit.
  ed.OnKeyDown = [&](TObject*, int& key, TShiftState) { key = 0; };
  QTest::keyClick(ed.LineEdit(), Qt::Key_Y);
  EXPECT_EQ(ed.Text(), "abxc");
  ed.Undo();
  EXPECT_EQ(ed.Text(), "abc");
}

}  // namespace
