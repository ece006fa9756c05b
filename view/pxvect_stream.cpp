// The vector layer's object stream and its object undo snapshots.
//
// Layout (little-endian): "PXV", version 0x41, int32 length of the whole
// stream, double measure scale, int32 bitmap-table count N, N entries
// (int32 reference count, the template's own reference not counted, then
// the bitmap as PNG when the count is above 0), then a zlib stream holding
// int32 drawing-order count and one object record per handle in drawing
// order.
//
// Texts are UTF-8. A memo's record stores the text as "int32 n, n bytes"
// with n the byte count, followed by one int32 format index per code point
// (not per byte); a memo with text but no indexes writes zero indexes; a
// memo being edited writes what its editor holds.
// Font names inside the 280-byte format records are UTF-8 too.
#include <cstring>
#include <string>

#include "io/pixoranio.h"
#include "platform/clipboard.h"
#include "view/pxtextc.h"
#include "view/pxvect.h"
#include "view/pxzlib.h"

namespace pixoran {

// Registered when the unit is loaded.
static const TClipboardFormat kVectClipboardFormat = RegisterClipboardFormat("PIXORAN VECT");
TClipboardFormat PXVectClipboardFormat() { return kVectClipboardFormat; }

namespace {

// Little-endian writes into any stream (the host is little-endian, as the
// static_asserts of the records already assume).
class TWriter {
 public:
  explicit TWriter(TStream& s) : s_(s) {}
  void Bytes(const void* p, size_t n) {
    if (n) s_.WriteBuffer(p, static_cast<int64_t>(n));
  }
  void U8(uint8_t v) { Bytes(&v, 1); }
  void I32(int32_t v) { Bytes(&v, 4); }
  void F64(double v) { Bytes(&v, 8); }
  void Text(const std::string& t) {
    I32(static_cast<int32_t>(t.size()));
    Bytes(t.data(), t.size());
  }
  void Font(const std::optional<TPXLogFont>& f) {
    U8(f ? 1 : 0);
    if (f) Bytes(&*f, sizeof *f);
  }

 private:
  TStream& s_;
};

}  // namespace

static void WriteObjectRecord(TWriter& w, int32_t handle, const TPXVObject& o) {
  w.I32(handle);
  w.I32(o.X1);
  w.I32(o.Y1);
  w.I32(o.X2);
  w.I32(o.Y2);
  w.U8(o.Kind);
  w.U8(o.Shadow.Enabled ? 1 : 0);
  w.F64(o.Shadow.Radius);
  w.I32(o.Shadow.OffsetX);
  w.I32(o.Shadow.OffsetY);
  w.Text(o.Name);
  w.Bytes(&o.UserValue, 4);
  w.I32(o.PenColor);
  w.U8(o.PenStyle);
  w.I32(o.PenWidth);
  w.I32(o.BrushColor);
  w.U8(o.BrushStyle);
  w.U8(o.Flags);
  w.I32(o.Opacity);
  w.U8(o.Highlight ? 1 : 0);
  const uint8_t k = o.Kind;
  if (k == pxokLineLabel) {
    w.I32(o.LabelBrushColor);
    w.U8(o.LabelBrushStyle);
    w.U8(o.LabelPosition);
  }
  if (k == pxokLine || k == pxokLineLabel) {
    w.U8(o.BeginShape);
    w.U8(o.EndShape);
    w.I32(o.ShapeWidth);
    w.I32(o.ShapeLength);
  }
  if (k == pxokArc) {
    w.F64(o.ArcStart);
    w.F64(o.ArcEnd);
  }
  if (k == pxokBitmap) w.I32(o.BitmapIdx);
  if (k == pxokText || k == pxokLineLabel) {
    w.U8(o.Alignment);
    w.U8(o.AutoSize ? 1 : 0);
    w.Text(o.Text);
    w.Font(o.Font);
    w.I32(static_cast<int32_t>(o.Path.size()));
    if (!o.Path.empty()) {
      for (const TPXVPathPoint& p : o.Path) {
        w.F64(p.X);
        w.F64(p.Y);
      }
      w.I32(o.CharAngle);
    }
  }
  if (k == pxokMemo) {
    w.Text(o.Text);
    w.Font(o.Font);
    // One index per code point; missing ones are written as 0.
    const int32_t n = Utf8Length(o.Text);
    for (int32_t i = 0; i < n; ++i)
      w.I32(static_cast<size_t>(i) < o.CharFormats.size() ? o.CharFormats[static_cast<size_t>(i)] : 0);
    if (o.FormatList) {
      w.I32(static_cast<int32_t>(o.FormatList->size()));
      for (const TPXMemoFormat& f : *o.FormatList) w.Bytes(&f, sizeof f);
    } else {
      w.I32(0);
    }
    w.U8(o.PlainText ? 1 : 0);
    w.U8(o.AutoSize ? 1 : 0);
    w.I32(o.LineSpacing);
    w.I32(o.BorderColor);
    w.U8(o.BorderStyle);
    w.U8(o.Alignment);
    w.I32(o.FixedLineHeight);
  }
  if (k == pxokRuler) {
    w.U8(o.RulerUnit);
    w.U8(o.RulerStyle);
    w.Font(o.Font);
  }
  if (k == pxokPolyline) {
    w.I32(static_cast<int32_t>(o.Points.size()));
    for (const TPXPoint& p : o.Points) {
      w.I32(p.X);
      w.I32(p.Y);
    }
    w.I32(o.PointBounds.Left);
    w.I32(o.PointBounds.Top);
    w.I32(o.PointBounds.Right);
    w.I32(o.PointBounds.Bottom);
    w.U8(o.Closed ? 1 : 0);
  }
  if (k == pxokAngle) {
    for (const TPXPoint& p : o.AnglePoints) {
      w.I32(p.X);
      w.I32(p.Y);
    }
  }
}

void TPixoranVect::SaveObjectsToStream(TStream& stream) {
  CompactBitmapTable();
  TWriter w(stream);
  const int64_t start = stream.Position();
  w.Bytes("PXV", 3);
  w.U8(0x41);
  w.I32(0);  // length, patched below
  w.F64(MeasureScale());
  const int32_t n = BitmapTableCount();
  w.I32(n);
  {
    TPixoranIO io(this);
    for (int32_t i = 0; i < n; ++i) {
      int32_t count = BitmapRefCount(i);
      if (i == template_.BitmapIdx) --count;  // the template's own reference
      w.I32(count);
      if (count > 0) {
        io.SetAttachedPXBitmap(GetObjBitmap(i));
        io.SaveToStreamPNG(stream);
      }
    }
    io.SetAttachedPXBitmap(nullptr);
  }
  TZCompressionStream z(zcDefault, stream);
  TWriter zw(z);
  zw.I32(static_cast<int32_t>(order_.size()));
  for (int32_t h : order_) {
    const TPXVObject& o = objects_[static_cast<size_t>(h)];
    if (h == edited_ && o.Kind == pxokMemo && memoEdit_ && memoEdit_->Visible()) {
      // The memo being edited has lent its text to the editor: the stream
      // takes what the editor holds now.
      TPXVObject current = o;
      const TPXMemo& m = memoEdit_->Memo();
      current.Text = m.TextUtf8();
      current.CharFormats = m.Indexes();
      current.FormatList = m.Formats();
      WriteObjectRecord(zw, h, current);
    } else {
      WriteObjectRecord(zw, h, o);
    }
  }
  z.Finish();
  const int64_t end = stream.Position();
  stream.SetPosition(start + 4);
  w.I32(static_cast<int32_t>(end - start));
  stream.SetPosition(end);
}

void TPixoranVect::SaveObjUndo() {
  auto snapshot = std::make_unique<TMemoryStream>();
  try {
    SaveObjectsToStream(*snapshot);
  } catch (const std::exception&) {
    return;  // a failed snapshot is not kept
  }
  // A limit below 1 keeps only the new snapshot.
  while (!objUndo_.empty() && static_cast<int32_t>(objUndo_.size()) >= objUndoLimit_) objUndo_.erase(objUndo_.begin());
  objUndo_.push_back(std::move(snapshot));
}

void TPixoranVect::ClearObjUndo() { objUndo_.clear(); }

}  // namespace pixoran
