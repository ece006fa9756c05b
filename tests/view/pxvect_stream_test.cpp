// The vector layer's object stream, read back by an independent reader of
// its layout (PNG chunks walked, the compressed part inflated by zlib),
// the object undo snapshots, and editing memos and texts in place.
#include <gtest/gtest.h>
#include <zlib.h>

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QTest>
#include <cstring>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "platform/clipboard.h"
#include "view/pxtextc.h"
#include "view/pxvect.h"

using namespace pixoran;

namespace {

// Reads the stream's fields in order; any read past the end fails the test.
struct Reader {
  const uint8_t* p;
  size_t n, at = 0;
  template <typename T>
  T Get() {
    T v{};
    EXPECT_LE(at + sizeof v, n);
    if (at + sizeof v <= n) std::memcpy(&v, p + at, sizeof v);
    at += sizeof v;
    return v;
  }
  int32_t I32() { return Get<int32_t>(); }
  uint8_t U8() { return Get<uint8_t>(); }
  double F64() { return Get<double>(); }
  std::string Bytes(size_t k) {
    EXPECT_LE(at + k, n);
    std::string s(reinterpret_cast<const char*>(p + at), std::min(k, n - std::min(n, at)));
    at += k;
    return s;
  }
  std::string Text() { return Bytes(static_cast<size_t>(I32())); }
};

std::vector<uint8_t> InflateAll(const uint8_t* data, size_t size) {
  z_stream z{};
  EXPECT_EQ(inflateInit(&z), Z_OK);
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  std::vector<uint8_t> out;
  uint8_t buf[4096];
  int r;
  do {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    r = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
  } while (r == Z_OK);
  EXPECT_EQ(r, Z_STREAM_END);
  EXPECT_EQ(z.avail_in, 0u);  // nothing follows the compressed part
  inflateEnd(&z);
  return out;
}

// The PNG starting at r.at: its chunks are walked to IEND; returns the image.
QImage ReadPng(Reader& r) {
  const size_t start = r.at;
  EXPECT_EQ(r.Bytes(8), std::string("\x89PNG\r\n\x1a\n", 8));
  for (;;) {
    const uint8_t* q = r.p + r.at;
    const uint32_t len = (uint32_t{q[0]} << 24) | (q[1] << 16) | (q[2] << 8) | q[3];
    const std::string type(reinterpret_cast<const char*>(q + 4), 4);
    r.at += 12 + len;
    if (type == "IEND" || r.at >= r.n) break;
  }
  return QImage::fromData(r.p + start, static_cast<int>(r.at - start), "PNG");
}

TPXLogFont Font(const char* face, int32_t height) {
  TPXLogFont lf;
  lf.Height = height;
  lf.Weight = 700;
  SetLogFontFaceName(lf, face);
  return lf;
}

void FillBitmap(TPXBitmap& b, int w, int h, uint8_t v) {
  b.Allocate(w, h, pxBGR24);
  for (int y = 0; y < h; ++y) std::memset(b.Scanline(y), v + y, static_cast<size_t>(w) * 3);
}

// One object of every kind, each with values of its own.
void AddEveryKind(TPixoranVect& v) {
  for (int kind = 1; kind <= 11; ++kind) {
    TPXVObject o;
    o.Kind = static_cast<TPXVObjectKind>(kind);
    o.X1 = kind;
    o.Y1 = 2 * kind;
    o.X2 = 100 + kind;
    o.Y2 = 200 + kind;
    o.Name = "obj" + std::to_string(kind);
    o.UserValue = 0xA0B0C000u + kind;
    o.PenColor = 0x010203 * kind;
    o.PenStyle = psDot;
    o.PenWidth = kind + 1;
    o.BrushColor = 0x0A0B0C;
    o.BrushStyle = bsSolid;
    o.Flags = 13;
    o.Opacity = 200 + kind;
    o.Highlight = kind == 2;
    o.Shadow = TPXVSoftShadow{true, 2.5, -kind, kind};
    o.LabelBrushColor = 0x123456;
    o.LabelBrushStyle = bsClear;
    o.LabelPosition = 0;
    o.BeginShape = 1;
    o.EndShape = 2;
    o.ShapeWidth = 11;
    o.ShapeLength = 22;
    o.ArcStart = 0.25;
    o.ArcEnd = 1.5;
    o.Alignment = 2;
    o.AutoSize = true;
    o.RulerUnit = pxuMILLIMETERS;
    o.RulerStyle = 3;
    o.Font = Font("DejaVu Sans", -13);
    if (kind == pxokText || kind == pxokLineLabel) {
      o.Text = "标签 tag";
      if (kind == pxokText) o.Path = {{0.0, 0.5}, {1.0, 0.25}};
      o.CharAngle = 450;
    }
    if (kind == pxokMemo) {
      o.Text = "ab中";  // 5 bytes, 3 code points
      o.CharFormats = {0, 1, 1};
      TPXMemoFormat f;
      SetMemoFormatName(f, "宋体");
      f.UsageCount = 1;
      f.Height = -12;
      TPXMemoFormat g = f;
      g.Style = mfsBold;
      g.UsageCount = 2;
      o.FormatList = std::vector<TPXMemoFormat>{f, g};
      o.PlainText = false;
      o.LineSpacing = 4;
      o.BorderColor = 0x00FF00;
      o.BorderStyle = psClear;
      o.FixedLineHeight = 17;
    }
    if (kind == pxokPolyline) {
      o.Points = {{0, 0}, {10, 5}, {3, 9}};
      o.PointBounds = Rect(0, 0, 10, 9);
      o.Closed = true;
    }
    o.AnglePoints[0] = {1, 2};
    o.AnglePoints[1] = {3, 4};
    o.AnglePoints[2] = {5, 6};
    v.AddObject(o);
    if (kind == pxokBitmap) {
      TPXBitmap b;
      FillBitmap(b, 7, 5, 40);
      TPXBitmap* alpha = b.GetAlphaChannel();
      for (int y = 0; y < 5; ++y) std::memset(alpha->Scanline(y), 255, 7);
      alpha->Scanline(4)[0] = 77;
      alpha->SyncFull();
      v.SetObjBitmap(kPXVLast, &b);
    }
  }
}

struct Parsed {
  int32_t length = 0;
  double scale = 0;
  std::vector<int32_t> counts;
  std::vector<QImage> images;
  std::vector<uint8_t> records;
};

Parsed Parse(const TMemoryStream& s, size_t start) {
  Parsed out;
  Reader r{s.Memory(), static_cast<size_t>(const_cast<TMemoryStream&>(s).Size()), start};
  EXPECT_EQ(r.Bytes(3), "PXV");
  EXPECT_EQ(r.U8(), 0x41);
  out.length = r.I32();
  out.scale = r.F64();
  const int32_t n = r.I32();
  for (int32_t i = 0; i < n; ++i) {
    out.counts.push_back(r.I32());
    if (out.counts.back() > 0) out.images.push_back(ReadPng(r));
  }
  out.records = InflateAll(r.p + r.at, r.n - r.at);
  return out;
}

TEST(VectObjectStream, EmptyControlWritesHeaderTemplateEntryAndZeroCount) {
  TPixoranVect v;
  TMemoryStream s;
  s.WriteBuffer("prefix", 6);  // the stream need not start at 0
  v.SaveObjectsToStream(s);
  EXPECT_EQ(s.Position(), s.Size());
  const Parsed p = Parse(s, 6);
  EXPECT_EQ(p.length, s.Size() - 6);
  EXPECT_EQ(p.scale, 1.0);
  EXPECT_EQ(p.counts, std::vector<int32_t>{0});  // the template's own reference is not counted
  EXPECT_EQ(p.records, std::vector<uint8_t>(4, 0));
}

TEST(VectObjectStream, EveryKindInflatesToItsFieldLayout) {
  TPixoranVect v;
  v.SetMeasureScale(2.5);
  AddEveryKind(v);
  TMemoryStream s;
  v.SaveObjectsToStream(s);
  const Parsed p = Parse(s, 0);
  EXPECT_EQ(p.length, s.Size());
  EXPECT_EQ(p.scale, 2.5);
  ASSERT_EQ(p.counts, (std::vector<int32_t>{0, 1}));
  ASSERT_EQ(p.images.size(), 1u);
  EXPECT_EQ(p.images[0].width(), 7);
  EXPECT_EQ(p.images[0].height(), 5);
  EXPECT_EQ(qGreen(p.images[0].pixel(6, 4)), 44);
  EXPECT_EQ(qAlpha(p.images[0].pixel(0, 4)), 77);  // the alpha channel goes with it

  Reader r{p.records.data(), p.records.size()};
  ASSERT_EQ(r.I32(), 11);
  for (int kind = 1; kind <= 11; ++kind) {
    SCOPED_TRACE(kind);
    EXPECT_EQ(r.I32(), kind - 1);  // handle
    EXPECT_EQ(r.I32(), kind);
    EXPECT_EQ(r.I32(), 2 * kind);
    EXPECT_EQ(r.I32(), 100 + kind);
    EXPECT_EQ(r.I32(), 200 + kind);
    EXPECT_EQ(r.U8(), kind);
    EXPECT_EQ(r.U8(), 1);
    EXPECT_EQ(r.F64(), 2.5);
    EXPECT_EQ(r.I32(), -kind);
    EXPECT_EQ(r.I32(), kind);
    EXPECT_EQ(r.Text(), "obj" + std::to_string(kind));
    EXPECT_EQ(r.Get<uint32_t>(), 0xA0B0C000u + kind);
    EXPECT_EQ(r.I32(), 0x010203 * kind);
    EXPECT_EQ(r.U8(), psDot);
    EXPECT_EQ(r.I32(), kind + 1);
    EXPECT_EQ(r.I32(), 0x0A0B0C);
    EXPECT_EQ(r.U8(), bsSolid);
    EXPECT_EQ(r.U8(), 13);
    EXPECT_EQ(r.I32(), 200 + kind);
    EXPECT_EQ(r.U8(), kind == 2 ? 1 : 0);
    if (kind == 11) {
      EXPECT_EQ(r.I32(), 0x123456);
      EXPECT_EQ(r.U8(), bsClear);
      EXPECT_EQ(r.U8(), 0);
    }
    if (kind == 1 || kind == 11) {
      EXPECT_EQ(r.U8(), 1);
      EXPECT_EQ(r.U8(), 2);
      EXPECT_EQ(r.I32(), 11);
      EXPECT_EQ(r.I32(), 22);
    }
    if (kind == 4) {
      EXPECT_EQ(r.F64(), 0.25);
      EXPECT_EQ(r.F64(), 1.5);
    }
    if (kind == 5) {
      EXPECT_EQ(r.I32(), 1);  // the table entry after the template's
    }
    if (kind == 6 || kind == 11) {
      EXPECT_EQ(r.U8(), 2);
      EXPECT_EQ(r.U8(), 1);
      EXPECT_EQ(r.Text(), "标签 tag");
      EXPECT_EQ(r.U8(), 1);
      TPXLogFont lf = r.Get<TPXLogFont>();
      EXPECT_EQ(LogFontFaceName(lf), "DejaVu Sans");
      EXPECT_EQ(lf.Height, -13);
      const int32_t k = r.I32();
      EXPECT_EQ(k, kind == 6 ? 2 : 0);
      if (k > 0) {
        EXPECT_EQ(r.F64(), 0.0);
        EXPECT_EQ(r.F64(), 0.5);
        EXPECT_EQ(r.F64(), 1.0);
        EXPECT_EQ(r.F64(), 0.25);
        EXPECT_EQ(r.I32(), 450);
      }
    }
    if (kind == 10) {
      EXPECT_EQ(r.Text(), "ab中");  // n is the byte count
      EXPECT_EQ(r.U8(), 1);
      r.Get<TPXLogFont>();
      EXPECT_EQ(r.I32(), 0);  // one index per code point
      EXPECT_EQ(r.I32(), 1);
      EXPECT_EQ(r.I32(), 1);
      EXPECT_EQ(r.I32(), 2);
      const TPXMemoFormat f = r.Get<TPXMemoFormat>();
      const TPXMemoFormat g = r.Get<TPXMemoFormat>();
      EXPECT_EQ(MemoFormatName(f), "宋体");
      EXPECT_EQ(g.Style, mfsBold);
      EXPECT_EQ(g.UsageCount, 2);
      EXPECT_EQ(r.U8(), 0);
      EXPECT_EQ(r.U8(), 1);
      EXPECT_EQ(r.I32(), 4);
      EXPECT_EQ(r.I32(), 0x00FF00);
      EXPECT_EQ(r.U8(), psClear);
      EXPECT_EQ(r.U8(), 2);
      EXPECT_EQ(r.I32(), 17);
    }
    if (kind == 7) {
      EXPECT_EQ(r.U8(), pxuMILLIMETERS);
      EXPECT_EQ(r.U8(), 3);
      EXPECT_EQ(r.U8(), 1);
      r.Get<TPXLogFont>();
    }
    if (kind == 8) {
      ASSERT_EQ(r.I32(), 3);
      for (int32_t want : {0, 0, 10, 5, 3, 9}) EXPECT_EQ(r.I32(), want);
      for (int32_t want : {0, 0, 10, 9}) EXPECT_EQ(r.I32(), want);
      EXPECT_EQ(r.U8(), 1);
    }
    if (kind == 9) {
      for (int32_t want : {1, 2, 3, 4, 5, 6}) EXPECT_EQ(r.I32(), want);
    }
  }
  EXPECT_EQ(r.at, r.n);
}

TEST(VectObjectStream, MemoWithoutIndexesOrFormatsWritesZeros) {
  TPixoranVect v;
  TPXVObject o;
  o.Kind = pxokMemo;
  o.Text = "中文x";
  o.Font.reset();
  v.AddObject(o);
  TMemoryStream s;
  v.SaveObjectsToStream(s);
  const Parsed p = Parse(s, 0);
  Reader r{p.records.data(), p.records.size()};
  r.I32();
  r.at += 4 + 16 + 1 + 1 + 8 + 4 + 4;  // handle .. shadow
  r.Text();
  r.at += 4 + 4 + 1 + 4 + 4 + 1 + 1 + 4 + 1;  // user value .. highlight
  EXPECT_EQ(r.Text(), "中文x");
  EXPECT_EQ(r.U8(), 0);  // no font
  for (int i = 0; i < 3; ++i) EXPECT_EQ(r.I32(), 0);
  EXPECT_EQ(r.I32(), 0);  // no format list
  r.at += 2 + 8 + 2 + 4;
  EXPECT_EQ(r.at, r.n);
}

TEST(VectObjectStream, UndoSnapshotsKeepTheLimit) {
  struct Case {
    int32_t limit;
    int32_t kept;
  };
  for (Case c : {Case{-3, 1}, Case{0, 1}, Case{1, 1}, Case{3, 3}}) {
    TPixoranVect v;
    v.SetObjUndoLimit(c.limit);
    v.SetObjAutoUndo(true);
    for (int i = 0; i < 5; ++i) {
      TPXVObject o;
      o.Kind = pxokBox;
      v.DoBeforeVectorialChanged();
      v.AddObject(o);
      v.DoVectorialChanged();
    }
    EXPECT_EQ(v.ObjUndoCount(), c.kept) << c.limit;
    // The newest snapshot holds the objects before the last change.
    const TMemoryStream& last = v.ObjUndoSnapshot(v.ObjUndoCount() - 1);
    const Parsed p = Parse(last, 0);
    EXPECT_EQ(p.records.size() >= 4 ? p.records[0] : -1, 4);
    v.ClearObjUndo();
    EXPECT_EQ(v.ObjUndoCount(), 0);
  }
  EXPECT_NE(ClipboardFormatName(RegisterClipboardFormat("PIXORAN VECT")), "");
}

TEST(VectTextEdit, MemoEditedInPlaceTakesTextAndFormatsBack) {
  TPixoranVect v;
  v.SetBounds(0, 0, 300, 200);
  v.Show();
  TPXVObject o;
  o.Kind = pxokMemo;
  o.X2 = 150;
  o.Y2 = 80;
  o.PlainText = false;
  o.Font = Font("DejaVu Sans", -14);
  const int32_t h = v.AddObject(o);
  v.StartTextEdit(h);
  ASSERT_NE(v.MemoEditor(), nullptr);
  QWidget* w = v.MemoEditor()->Widget();
  QTest::keyClicks(w, "ab");
  QTest::keyClick(w, Qt::Key_B, Qt::ControlModifier);
  QTest::keyClicks(w, "cd");
  QTest::keyClick(w, Qt::Key_Left, Qt::ShiftModifier);
  QTest::keyClick(w, Qt::Key_B, Qt::ControlModifier);  // "d" bold again -> not bold
  int changes = 0;
  v.OnVectorialChanged = [&](TObject*) { ++changes; };
  QTest::keyClick(w, Qt::Key_Escape);
  EXPECT_EQ(v.EditedObject(), -1);
  EXPECT_GE(changes, 1);
  const TPXVObject* e = v.GetObject(h);
  EXPECT_EQ(e->Text, "abcd");
  ASSERT_TRUE(e->FormatList.has_value());
  // "d" made plain again shares the first record; "c" keeps the bold one.
  EXPECT_EQ(e->FormatList->size(), 2u);
  EXPECT_EQ(e->CharFormats, (std::vector<int32_t>{0, 0, 1, 0}));
  EXPECT_EQ(LogFontFaceName(Font("DejaVu Sans", 1)), MemoFormatName((*e->FormatList)[0]));
  // Drawing the memo sets its text into the target through the same layout.
  TBitmap target;
  target.SetSize(200, 120);
  target.Canvas().Brush = TBrush{clWhite, bsSolid};
  target.Canvas().FillRect(Rect(0, 0, 200, 120));
  TPXVObject* obj = v.GetObject(h);
  obj->BrushColor = clWhite;
  obj->BrushStyle = bsSolid;
  DrawMemoObject(*obj, target, 10, 10, 1.0, false);
  int dark = 0;
  for (int y = 10; y < 40; ++y)
    for (int x = 12; x < 80; ++x) dark += qRed(target.Image().pixel(x, y)) < 100;
  EXPECT_GT(dark, 20);
  EXPECT_EQ(obj->Text, "abcd");  // given back
}

TEST(VectTextEdit, ASnapshotTakenMidEditKeepsTheEditorsText) {
  TPixoranVect v;
  v.SetBounds(0, 0, 300, 200);
  v.Show();
  TPXVObject o;
  o.Kind = pxokMemo;
  o.X2 = 150;
  o.Y2 = 80;
  o.Text = "ab";
  const int32_t h = v.AddObject(o);
  v.StartTextEdit(h);
  ASSERT_NE(v.MemoEditor(), nullptr);
  QWidget* w = v.MemoEditor()->Widget();
  QTest::keyClick(w, Qt::Key_End);
  QTest::keyClicks(w, "cd");
  v.SaveObjUndo();
  // The snapshot holds the text typed so far, one format index a character.
  const Parsed p = Parse(v.ObjUndoSnapshot(v.ObjUndoCount() - 1), 0);
  Reader r{p.records.data(), p.records.size()};
  EXPECT_EQ(r.I32(), 1);
  r.at += 4 + 16 + 1 + 1 + 8 + 4 + 4;  // handle .. shadow
  r.Text();
  r.at += 4 + 4 + 1 + 4 + 4 + 1 + 1 + 4 + 1;  // user value .. highlight
  EXPECT_EQ(r.Text(), "abcd");
  if (r.U8() != 0) r.Get<TPXLogFont>();
  std::vector<int32_t> indexes;
  for (int i = 0; i < 4; ++i) indexes.push_back(r.I32());
  const int32_t records = r.I32();
  EXPECT_GE(records, 1);
  for (int32_t i : indexes) EXPECT_TRUE(i >= 0 && i < records) << i;
  QTest::keyClick(w, Qt::Key_Escape);
  EXPECT_EQ(v.GetObject(h)->Text, "abcd");
}

TEST(VectTextEdit, TextObjectEnterKeepsEscRestores) {
  TPixoranVect v;
  v.SetBounds(0, 0, 300, 200);
  v.Show();
  TPXVObject o;
  o.Kind = pxokText;
  o.X2 = 150;
  o.Y2 = 30;
  o.Text = "old";
  const int32_t h = v.AddObject(o);
  for (bool enter : {true, false}) {
    v.StartTextEdit(h);
    ASSERT_NE(v.TextEditor(), nullptr);
    QLineEdit* le = v.TextEditor()->LineEdit();
    EXPECT_EQ(le->text().toStdString(), enter ? "old" : "old!");
    le->setCursorPosition(3);
    QTest::keyClick(le, Qt::Key_Exclam);
    QTest::keyClick(le, enter ? Qt::Key_Return : Qt::Key_Escape);
    EXPECT_EQ(v.EditedObject(), -1);
    EXPECT_EQ(v.GetObject(h)->Text, "old!");
  }
}

}  // namespace
