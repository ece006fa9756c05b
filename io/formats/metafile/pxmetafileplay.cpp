// The metafile record player: EMF and placeable WMF records drawn through the
// vector canvas. Each record is read through a bounded view, so a count or an
// offset that points outside its record reads zeros and the shape is dropped.
#include <iconv.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/pxdib.h"
#include "io/pxfiltutil.h"
#include "io/formats/metafile/pxmetafile.h"
#include "platform/vectorcanvas.h"

namespace pixoran {

namespace {

// Pixels the drawing of one picture may touch, in all its bands and passes,
// before it is cut short: some sixteen full repaints, and at least this.
constexpr int64_t kWorkRepaints = 16;
constexpr int64_t kMinWork = int64_t{1} << 24;
// Points of one shape, and steps of one path: more is no drawing but a flood.
constexpr int64_t kMaxPoints = int64_t{1} << 20;
constexpr int64_t kImagePixelLimit = int64_t{1} << 25;  // one DIB
constexpr int64_t kHeldPixelLimit = int64_t{1} << 26;   // all DIB pattern brushes together
constexpr size_t kMaxSavedStates = 4096;
constexpr double kPi = 3.14159265358979323846;

// One record's bytes.
struct TRec {
  const uint8_t* P;
  int64_t N;
  bool Has(int64_t at, int64_t len) const { return at >= 0 && len >= 0 && at <= N && len <= N - at; }
  uint32_t U32(int64_t at) const {
    if (!Has(at, 4)) return 0;
    return GetLE32(P + at);
  }
  int32_t I32(int64_t at) const { return static_cast<int32_t>(U32(at)); }
  uint16_t U16(int64_t at) const { return Has(at, 2) ? GetLE16(P + at) : 0; }
  int16_t I16(int64_t at) const { return static_cast<int16_t>(U16(at)); }
  uint8_t U8(int64_t at) const { return Has(at, 1) ? P[at] : 0; }
  float F32(int64_t at) const {
    const uint32_t v = U32(at);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
  }
};

// Row-vector affine transform: x' = x m11 + y m21 + dx, y' = x m12 + y m22 + dy.
struct TXf {
  double M11 = 1, M12 = 0, M21 = 0, M22 = 1, Dx = 0, Dy = 0;
  void Map(double x, double y, double& ox, double& oy) const {
    ox = x * M11 + y * M21 + Dx;
    oy = x * M12 + y * M22 + Dy;
  }
};
// a, then b.
TXf Then(const TXf& a, const TXf& b) {
  return TXf{a.M11 * b.M11 + a.M12 * b.M21, a.M11 * b.M12 + a.M12 * b.M22,      a.M21 * b.M11 + a.M22 * b.M21,
             a.M21 * b.M12 + a.M22 * b.M22, a.Dx * b.M11 + a.Dy * b.M21 + b.Dx, a.Dx * b.M12 + a.Dy * b.M22 + b.Dy};
}
TXf Scaling(double sx, double sy, double dx, double dy) { return TXf{sx, 0, 0, sy, dx, dy}; }

struct TLogFont {
  double Height = 0;      // logical units; 0 takes a default size
  double Escapement = 0;  // tenths of a degree
  int32_t Weight = 400;
  bool Italic = false, Underline = false, StrikeOut = false;
  uint8_t Charset = 0;
  std::string Face;
};

struct TObj {
  enum TKind : uint8_t { kEmpty, kPen, kBrush, kFont, kOther };
  TKind Kind = kEmpty;
  TVPen Pen;
  TVBrush Brush;
  TLogFont Font;
};

struct TState {
  int32_t MapMode = 1;
  double WoX = 0, WoY = 0, WeX = 1, WeY = 1, VoX = 0, VoY = 0, VeX = 1, VeY = 1;
  TXf World;
  TVPen Pen;
  TVBrush Brush;
  TLogFont Font;
  TColor TextColor = clBlack, BkColor = clWhite;
  bool BkOpaque = true, Winding = false;
  uint32_t TextAlign = 0;
  bool Clipped = false;
  double Clip[4] = {};
  double CurX = 0, CurY = 0;
};

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Eight-bit text: GB2312 fonts through GBK, everything else as Latin-1.
std::u16string Decode8(const uint8_t* p, int64_t n, uint8_t charset) {
  std::u16string out;
  if (charset == 134 && n > 0) {
    iconv_t cd = iconv_open("UTF-16LE", "GBK");
    if (cd != reinterpret_cast<iconv_t>(-1)) {
      std::vector<char> in(p, p + n), buf(static_cast<size_t>(n) * 2 + 4);
      char* src = in.data();
      char* dst = buf.data();
      size_t inLeft = in.size(), outLeft = buf.size();
      iconv(cd, &src, &inLeft, &dst, &outLeft);
      iconv_close(cd);
      for (size_t i = 0; i + 1 < buf.size() - outLeft; i += 2)
        out += static_cast<char16_t>(static_cast<uint8_t>(buf[i]) | (static_cast<uint8_t>(buf[i + 1]) << 8));
      return out;
    }
  }
  for (int64_t i = 0; i < n; ++i) out += static_cast<char16_t>(p[i]);
  return out;
}

const TVPen kBlackPen{false, clBlack, 0, 0};
const TVPen kNullPen{true, clBlack, 0, 0};
const TVBrush kNullBrush{TVBrush::NullBrush, clWhite, 0, nullptr};

class TPlayer {
 public:
  TPlayer(TBitmap& target, const TMetafileArea& area, bool emf, const std::atomic<bool>* abort)
      : canvas_(target),
        emf_(emf),
        abort_(abort),
        width_(area.Width),
        height_(area.Height),
        top_(area.Top),
        budget_(area.Work ? area.Work->Left : MetafileWorkLimit(area.Width, area.Height)) {}

  bool Stopped() const { return (abort_ && abort_->load()) || canvas_.Work() > budget_; }
  int64_t Work() const { return canvas_.Work(); }

  void SetupEmf(const TRec& h) {
    const double devX = h.I32(72), devY = h.I32(76), mmX = h.I32(80), mmY = h.I32(84);
    pxmmX_ = devX > 0 && mmX > 0 ? devX / mmX : 96 / 25.4;
    pxmmY_ = devY > 0 && mmY > 0 ? devY / mmY : 96 / 25.4;
    const double fl = h.I32(24) / 100.0 * pxmmX_, ft = h.I32(28) / 100.0 * pxmmY_;
    const double fw = (double(h.I32(32)) - h.I32(24)) / 100.0 * pxmmX_;
    const double fh = (double(h.I32(36)) - h.I32(28)) / 100.0 * pxmmY_;
    fit_ = Then(Then(Scaling(1, 1, -fl, -ft), Scaling(width_ / fw, height_ / fh, 0, 0)), Band());
    objects_.resize(std::max<size_t>(1, h.U16(56)));
  }

  void SetupWmf(const TRec& placeable, uint16_t objectCount) {
    st_.WoX = placeable.I16(6);
    st_.WoY = placeable.I16(8);
    st_.WeX = double(placeable.I16(10)) - placeable.I16(6);
    st_.WeY = double(placeable.I16(12)) - placeable.I16(8);
    objects_.resize(objectCount);
  }

  void Emf(uint32_t type, const TRec& r);
  void Wmf(uint16_t function, const TRec& r);

 private:
  // Picture pixels to those of the band the target holds.
  TXf Band() const { return Scaling(1, 1, 0, -top_); }

  // Logical units to bitmap pixels.
  TXf Full() const {
    if (!emf_) {
      return Then(
          Scaling(width_ / st_.WeX, height_ / st_.WeY, -st_.WoX * width_ / st_.WeX, -st_.WoY * height_ / st_.WeY),
          Band());
    }
    double sx = 1, sy = 1;
    switch (st_.MapMode) {
      case 2: sx = pxmmX_ / 10, sy = -pxmmY_ / 10; break;                    // 0.1 mm
      case 3: sx = pxmmX_ / 100, sy = -pxmmY_ / 100; break;                  // 0.01 mm
      case 4: sx = pxmmX_ * 0.254, sy = -pxmmY_ * 0.254; break;              // 0.01 inch
      case 5: sx = pxmmX_ * 0.0254, sy = -pxmmY_ * 0.0254; break;            // 0.001 inch
      case 6: sx = pxmmX_ * 25.4 / 1440, sy = -pxmmY_ * 25.4 / 1440; break;  // twips
      case 7:
      case 8: {
        sx = st_.VeX / st_.WeX, sy = st_.VeY / st_.WeY;
        if (st_.MapMode == 7) {
          const double s = std::min(std::fabs(sx), std::fabs(sy));
          sx = std::copysign(s, sx), sy = std::copysign(s, sy);
        }
        break;
      }
      default: break;
    }
    const TXf page = Scaling(sx, sy, st_.VoX - st_.WoX * sx, st_.VoY - st_.WoY * sy);
    return Then(Then(st_.World, page), fit_);
  }

  void ApplyTransform() {
    const TXf m = Full();
    canvas_.SetTransform(m.M11, m.M12, m.M21, m.M22, m.Dx, m.Dy);
  }

  void ApplyClip() { canvas_.SetClip(st_.Clipped ? st_.Clip : nullptr); }

  void IntersectClip(double l, double t, double r, double b, const TXf& m) {
    double xs[4], ys[4];
    m.Map(l, t, xs[0], ys[0]);
    m.Map(r, t, xs[1], ys[1]);
    m.Map(l, b, xs[2], ys[2]);
    m.Map(r, b, xs[3], ys[3]);
    double box[4] = {*std::min_element(xs, xs + 4), *std::min_element(ys, ys + 4), *std::max_element(xs, xs + 4),
                     *std::max_element(ys, ys + 4)};
    if (!std::all_of(box, box + 4, [](double v) { return std::isfinite(v); })) return;
    if (st_.Clipped) {
      box[0] = std::max(box[0], st_.Clip[0]), box[1] = std::max(box[1], st_.Clip[1]);
      box[2] = std::min(box[2], st_.Clip[2]), box[3] = std::min(box[3], st_.Clip[3]);
    }
    std::copy(box, box + 4, st_.Clip);
    st_.Clipped = true;
    ApplyClip();
  }

  // Draws a shape, or adds it to the open path.
  void Shape(TVPath&& ops, bool fill, bool stroke) {
    if (ops.empty()) return;
    if (inPath_) {
      if (static_cast<int64_t>(path_.size() + ops.size()) <= kMaxPoints)
        path_.insert(path_.end(), ops.begin(), ops.end());
      return;
    }
    Draw(ops, fill ? st_.Brush : kNullBrush, stroke ? st_.Pen : kNullPen);
  }

  void Draw(const TVPath& ops, const TVBrush& brush, TVPen pen) {
    ApplyTransform();
    // A pen thinner than a pixel and a half after the transform draws one pixel wide.
    const TXf m = Full();
    const double scale = std::sqrt(std::fabs(m.M11 * m.M22 - m.M12 * m.M21));
    if (!(pen.Width * scale >= 1.5)) pen.Width = 0;
    canvas_.DrawPath(ops, st_.Winding, pen, brush, st_.BkColor, st_.BkOpaque);
  }

  static TVPathOp Op(TVPathOp::TKind kind, double a0 = 0, double a1 = 0, double a2 = 0, double a3 = 0, double a4 = 0,
                     double a5 = 0) {
    return TVPathOp{kind, {a0, a1, a2, a3, a4, a5}};
  }

  // count points at offset at (4 bytes each when small, else 8); false when
  // they do not fit in the record.
  static bool Points(const TRec& r, int64_t at, int64_t count, bool small, std::vector<double>& xy) {
    const int64_t each = small ? 4 : 8;
    if (count < 0 || count > kMaxPoints || at < 0 || at > r.N || count > (r.N - at) / each) return false;
    xy.resize(static_cast<size_t>(count) * 2);
    for (int64_t i = 0; i < count; ++i) {
      xy[2 * i] = small ? r.I16(at + i * 4) : r.I32(at + i * 8);
      xy[2 * i + 1] = small ? r.I16(at + i * 4 + 2) : r.I32(at + i * 8 + 4);
    }
    return true;
  }

  void Poly(const std::vector<double>& xy, bool closed, bool fill) {
    if (xy.size() < 4) return;
    TVPath ops;
    ops.reserve(xy.size() / 2 + 1);
    ops.push_back(Op(TVPathOp::Move, xy[0], xy[1]));
    for (size_t i = 2; i + 1 < xy.size(); i += 2) ops.push_back(Op(TVPathOp::Line, xy[i], xy[i + 1]));
    if (closed) ops.push_back(Op(TVPathOp::Close));
    Shape(std::move(ops), fill, true);
  }

  // Lines or Béziers on from the current position (to), or a Bézier set
  // from its own first point.
  void PolyFrom(const std::vector<double>& xy, bool bezier, bool fromCurrent) {
    const size_t n = xy.size() / 2;
    if (n == 0) return;
    TVPath ops;
    size_t i = 0;
    if (fromCurrent) {
      ops.push_back(Op(TVPathOp::Move, st_.CurX, st_.CurY));
    } else {
      ops.push_back(Op(TVPathOp::Move, xy[0], xy[1]));
      i = 1;
    }
    if (bezier) {
      for (; i + 3 <= n; i += 3)
        ops.push_back(
            Op(TVPathOp::Cubic, xy[2 * i], xy[2 * i + 1], xy[2 * i + 2], xy[2 * i + 3], xy[2 * i + 4], xy[2 * i + 5]));
    } else {
      for (; i < n; ++i) ops.push_back(Op(TVPathOp::Line, xy[2 * i], xy[2 * i + 1]));
    }
    if (fromCurrent) st_.CurX = ops.back().A[bezier ? 4 : 0], st_.CurY = ops.back().A[bezier ? 5 : 1];
    if (inPath_ && fromCurrent && figureOpen_) ops.erase(ops.begin());  // continues the figure
    if (inPath_) figureOpen_ = true;
    Shape(std::move(ops), false, true);
  }

  // nPolys counts (each 4 bytes, or 2 when smallCounts), then the points.
  void PolyPoly(const TRec& r, int64_t countsAt, int64_t polys, bool smallCounts, bool smallPoints, bool closed) {
    const int64_t countSize = smallCounts ? 2 : 4;
    if (polys <= 0 || polys > kMaxPoints || polys > (r.N - countsAt) / countSize) return;
    const int64_t pointsAt = countsAt + polys * countSize;
    int64_t total = 0;
    std::vector<int64_t> counts(static_cast<size_t>(polys));
    for (int64_t i = 0; i < polys; ++i) {
      counts[i] = smallCounts ? r.U16(countsAt + 2 * i) : r.U32(countsAt + 4 * i);
      total += counts[i];
      if (total > r.N) return;
    }
    std::vector<double> xy;
    if (!Points(r, pointsAt, total, smallPoints, xy)) return;
    TVPath ops;
    size_t k = 0;
    for (int64_t c : counts) {
      for (int64_t j = 0; j < c; ++j, ++k)
        ops.push_back(Op(j ? TVPathOp::Line : TVPathOp::Move, xy[2 * k], xy[2 * k + 1]));
      if (closed && c > 0) ops.push_back(Op(TVPathOp::Close));
    }
    Shape(std::move(ops), closed, true);
  }

  void Box(TVPathOp::TKind kind, double l, double t, double r, double b, double cw = 0, double ch = 0) {
    if (kind == TVPathOp::Move) {  // a rectangle
      Shape({Op(TVPathOp::Move, l, t), Op(TVPathOp::Line, r, t), Op(TVPathOp::Line, r, b), Op(TVPathOp::Line, l, b),
             Op(TVPathOp::Close)},
            true, true);
      return;
    }
    Shape({Op(kind, l, t, r, b, cw, ch)}, true, true);
  }

  // Arc, chord or pie of the box from the start to the end radial, counter-clockwise.
  void ArcShape(TVPathOp::TKind kind, double l, double t, double r, double b, double xs, double ys, double xe,
                double ye) {
    const double cx = (l + r) / 2, cy = (t + b) / 2;
    const double rx = std::max(std::fabs(r - l) / 2, 1e-9), ry = std::max(std::fabs(b - t) / 2, 1e-9);
    const double a0 = std::atan2(-(ys - cy) / ry, (xs - cx) / rx) * 180 / kPi;
    const double a1 = std::atan2(-(ye - cy) / ry, (xe - cx) / rx) * 180 / kPi;
    double sweep = std::fmod(a1 - a0 + 720, 360);
    if (!(sweep > 1e-9)) sweep = 360;
    Shape({Op(kind, l, t, r, b, a0, sweep)}, kind != TVPathOp::Arc, true);
  }

  void Text(double x, double y, const std::u16string& text) {
    if (text.empty()) return;
    const TXf m = Full();
    double dx, dy;
    m.Map(x, y, dx, dy);
    TVFont font;
    font.Face = st_.Font.Face;
    const double scale = std::hypot(m.M21, m.M22);
    font.PixelHeight = st_.Font.Height != 0 ? std::fabs(st_.Font.Height) * scale : 12;
    font.Angle = st_.Font.Escapement / 10;
    font.Weight = st_.Font.Weight > 0 ? st_.Font.Weight : 400;
    font.Italic = st_.Font.Italic;
    font.Underline = st_.Font.Underline;
    font.StrikeOut = st_.Font.StrikeOut;
    canvas_.DrawText(dx, dy, text, font, st_.TextColor, st_.TextAlign, st_.BkOpaque, st_.BkColor);
  }

  // A DIB (header and palette at bmi, rows at bits; bits null: right after
  // the palette inside bmi's block) as an opaque image, or null.
  std::shared_ptr<TVImage> Dib(const uint8_t* bmi, int64_t bmiSize, const uint8_t* bits, int64_t bitsSize,
                               bool* bottomUp = nullptr) {
    const TRec h{bmi, bmiSize};
    if (bmiSize < 40 || h.U32(0) < 40) return nullptr;
    const int64_t w = h.I32(4), hh = std::llabs(int64_t{h.I32(8)});
    if (w <= 0 || hh <= 0 || w * hh > kImagePixelLimit) return nullptr;
    TPXBitmap bitmap;
    if (!DIBToBitmap(bmi, bmiSize, bitmap, bits, bitsSize)) return nullptr;
    auto image = std::make_shared<TVImage>();
    image->Width = bitmap.Width();
    image->Height = bitmap.Height();
    image->Pixels.resize(static_cast<size_t>(image->Width) * image->Height);
    const bool bw = bitmap.PixelFormat() == pxBW1;
    for (int32_t y = 0; y < image->Height; ++y) {
      const uint8_t* s = bitmap.Scanline(y);
      uint32_t* d = image->Pixels.data() + static_cast<size_t>(y) * image->Width;
      if (!s) return nullptr;
      for (int32_t x = 0; x < image->Width; ++x) {
        if (bw) d[x] = (s[x >> 3] >> (7 - (x & 7))) & 1 ? 0xFFFFFFFFu : 0xFF000000u;
        else d[x] = 0xFF000000u | (uint32_t{s[3 * x + 2]} << 16) | (uint32_t{s[3 * x + 1]} << 8) | s[3 * x];
      }
    }
    if (bottomUp) *bottomUp = h.I32(8) > 0;
    return image;
  }

  // A DIB pattern brush, within the budget for held patterns; else solid grey.
  TVBrush PatternBrush(std::shared_ptr<TVImage> image) {
    TVBrush b{TVBrush::SolidBrush, clGray, 0, nullptr};
    if (image && heldPixels_ + int64_t{image->Width} * image->Height <= kHeldPixelLimit) {
      heldPixels_ += int64_t{image->Width} * image->Height;
      b.Kind = TVBrush::ImageBrush;
      b.Pattern = std::move(image);
    }
    return b;
  }

  // Raster operations without a source: fill with the brush, black or white.
  void FillRop(uint32_t rop, double x, double y, double w, double h) {
    TVBrush brush = st_.Brush;
    if (rop == 0x00000042) brush = TVBrush{TVBrush::SolidBrush, clBlack, 0, nullptr};
    else if (rop == 0x00FF0062) brush = TVBrush{TVBrush::SolidBrush, clWhite, 0, nullptr};
    else if (rop != 0x00F00021) return;  // only pattern copy, blackness and whiteness paint alone
    Draw({Op(TVPathOp::Move, x, y), Op(TVPathOp::Line, x + w, y), Op(TVPathOp::Line, x + w, y + h),
          Op(TVPathOp::Line, x, y + h), Op(TVPathOp::Close)},
         brush, kNullPen);
  }

  void Image(double x, double y, double w, double h, const TVImage& image, double sx, double sy, double sw, double sh) {
    ApplyTransform();
    const auto clampI = [](double v) { return static_cast<int32_t>(std::clamp(v, -1e9, 1e9)); };
    canvas_.DrawImage(x, y, w, h, image, clampI(sx), clampI(sy), clampI(sw), clampI(sh));
  }

  TObj* Object(uint32_t index) { return index < objects_.size() ? &objects_[index] : nullptr; }

  void Select(uint32_t index) {
    if (emf_ && (index & 0x80000000u)) {
      static const TColor kGreys[] = {clWhite, 0xC0C0C0, 0x808080, 0x404040, clBlack};
      const uint32_t stock = index & 0x7FFFFFFF;
      if (stock <= 4) st_.Brush = TVBrush{TVBrush::SolidBrush, kGreys[stock], 0, nullptr};
      else if (stock == 5) st_.Brush = kNullBrush;
      else if (stock == 6) st_.Pen = TVPen{false, clWhite, 0, 0};
      else if (stock == 7 || stock == 19) st_.Pen = kBlackPen;
      else if (stock == 8) st_.Pen = kNullPen;
      else if (stock >= 10 && stock <= 17) st_.Font = TLogFont{};
      else if (stock == 18) st_.Brush = TVBrush{TVBrush::SolidBrush, clWhite, 0, nullptr};
      return;
    }
    const TObj* o = Object(index);
    if (!o) return;
    if (o->Kind == TObj::kPen) st_.Pen = o->Pen;
    else if (o->Kind == TObj::kBrush) st_.Brush = o->Brush;
    else if (o->Kind == TObj::kFont) st_.Font = o->Font;
  }

  // WMF objects take the lowest free slot.
  TObj* NewWmfObject() {
    for (TObj& o : objects_)
      if (o.Kind == TObj::kEmpty) return &o;
    return nullptr;
  }

  void Save() {
    if (saved_.size() < kMaxSavedStates) saved_.push_back(st_);
  }
  void Restore(int32_t which) {
    const int64_t n = static_cast<int64_t>(saved_.size());
    const int64_t keep = which < 0 ? n + which : int64_t{which} - 1;  // states left after the one restored
    if (n == 0 || keep < 0 || keep >= n) return;
    st_ = saved_[static_cast<size_t>(keep)];
    saved_.resize(static_cast<size_t>(keep));
    ApplyClip();
  }

  static TVPen MakePen(uint32_t style, double width, TColor color) {
    const uint32_t s = style & 0xF;
    if (s == 5) return kNullPen;
    static const uint8_t kStyles[] = {0, 1, 2, 3, 4, 0, 0, 0, 2};
    return TVPen{false, color & 0xFFFFFF, std::fabs(width), s < 9 ? kStyles[s] : uint8_t{0}};
  }
  static TVBrush MakeBrush(uint32_t style, TColor color, uint32_t hatch) {
    if (style == 1) return kNullBrush;
    if (style == 2)
      return TVBrush{TVBrush::HatchBrush, color & 0xFFFFFF, static_cast<uint8_t>(std::min(hatch, 5u)), nullptr};
    if (style == 0) return TVBrush{TVBrush::SolidBrush, color & 0xFFFFFF, 0, nullptr};
    return TVBrush{TVBrush::SolidBrush, clGray, 0, nullptr};  // a pattern that did not come with its bitmap
  }

  void DrawPath(bool fill, bool stroke) {
    if (!path_.empty()) Draw(path_, fill ? st_.Brush : kNullBrush, stroke ? st_.Pen : kNullPen);
    path_.clear();
    inPath_ = false;
  }

  void EmfObject(uint32_t type, const TRec& r);
  void EmfText(const TRec& r, bool wide) {
    const double x = r.I32(36), y = r.I32(40);
    const int64_t chars = r.U32(44), off = r.U32(48);
    const int64_t bytes = chars * (wide ? 2 : 1);
    if (chars <= 0 || !r.Has(off, bytes)) return;
    std::u16string text;
    if (wide) {
      text.reserve(static_cast<size_t>(chars));
      for (int64_t i = 0; i < chars; ++i) text += static_cast<char16_t>(r.U16(off + 2 * i));
    } else {
      text = Decode8(r.P + off, chars, st_.Font.Charset);
    }
    Text(x, y, text);
  }

  void EmfBlit(const TRec& r, uint32_t type) {
    // BITBLT (76) and STRETCHBLT (77): destination, raster operation, source.
    const double x = r.I32(24), y = r.I32(28), w = r.I32(32), h = r.I32(36);
    const uint32_t rop = r.U32(40);
    const int64_t offBmi = r.U32(84), cbBmi = r.U32(88), offBits = r.U32(92), cbBits = r.U32(96);
    if (cbBmi == 0) {
      FillRop(rop, x, y, w, h);
      return;
    }
    if (!r.Has(offBmi, cbBmi) || !r.Has(offBits, cbBits)) return;
    auto image = Dib(r.P + offBmi, cbBmi, r.P + offBits, cbBits);
    if (!image) return;
    const double sx = r.I32(44), sy = r.I32(48);
    const double sw = type == 77 ? r.I32(100) : w, sh = type == 77 ? r.I32(104) : h;
    Image(x, y, w, h, *image, sx, sy, sw, sh);
  }

  void EmfStretchDib(const TRec& r, bool stretch) {
    const double x = r.I32(24), y = r.I32(28), sx = r.I32(32), sy = r.I32(36), sw = r.I32(40), sh = r.I32(44);
    const int64_t offBmi = r.U32(48), cbBmi = r.U32(52), offBits = r.U32(56), cbBits = r.U32(60);
    const double w = stretch ? r.I32(72) : sw, h = stretch ? r.I32(76) : sh;
    if (!r.Has(offBmi, cbBmi) || !r.Has(offBits, cbBits)) return;
    bool bottomUp = false;
    auto image = Dib(r.P + offBmi, cbBmi, r.P + offBits, cbBits, &bottomUp);
    if (!image) return;
    // Source rows of a bottom-up DIB count from its last row.
    const double top = bottomUp ? image->Height - sy - sh : sy;
    Image(x, y, w, h, *image, sx, top, sw, sh);
  }

  void WmfText(double x, double y, const uint8_t* p, int64_t n) { Text(x, y, Decode8(p, n, st_.Font.Charset)); }

  TVectorCanvas canvas_;
  bool emf_;
  const std::atomic<bool>* abort_;
  double width_, height_;  // of the whole picture
  double top_;             // its row at the target's first
  int64_t budget_;
  double pxmmX_ = 96 / 25.4, pxmmY_ = 96 / 25.4;
  TXf fit_;
  TState st_;
  std::vector<TState> saved_;
  std::vector<TObj> objects_;
  bool inPath_ = false, figureOpen_ = false;
  TVPath path_;
  int64_t heldPixels_ = 0;
};

// The records that create or delete an object of the handle table.
void TPlayer::EmfObject(uint32_t type, const TRec& r) {
  switch (type) {
    case 38:  // CREATEPEN
      if (TObj* o = Object(r.U32(8))) *o = TObj{TObj::kPen, MakePen(r.U32(12), r.I32(16), r.U32(24)), {}, {}};
      return;
    case 95: {  // EXTCREATEPEN
      TObj* o = Object(r.U32(8));
      if (!o) return;
      *o = TObj{TObj::kPen, r.U32(36) == 1 ? kNullPen : MakePen(r.U32(28), r.U32(32), r.U32(40)), {}, {}};
      if (!(r.U32(28) & 0xF0000)) o->Pen.Width = 0;  // cosmetic
      return;
    }
    case 39:  // CREATEBRUSHINDIRECT
      if (TObj* o = Object(r.U32(8))) *o = TObj{TObj::kBrush, {}, MakeBrush(r.U32(12), r.U32(16), r.U32(20)), {}};
      return;
    case 93:
    case 94: {  // CREATEMONOBRUSH, CREATEDIBPATTERNBRUSHPT
      TObj* o = Object(r.U32(8));
      if (!o) return;
      const int64_t offBmi = r.U32(16), cbBmi = r.U32(20), offBits = r.U32(24), cbBits = r.U32(28);
      std::shared_ptr<TVImage> image;
      if (r.Has(offBmi, cbBmi) && r.Has(offBits, cbBits)) image = Dib(r.P + offBmi, cbBmi, r.P + offBits, cbBits);
      *o = TObj{TObj::kBrush, {}, PatternBrush(std::move(image)), {}};
      return;
    }
    case 82: {  // EXTCREATEFONTINDIRECTW
      TObj* o = Object(r.U32(8));
      if (!o || !r.Has(12, 92)) return;
      TLogFont f;
      f.Height = r.I32(12);
      f.Escapement = r.I32(20);
      f.Weight = r.I32(28);
      f.Italic = r.U8(32), f.Underline = r.U8(33), f.StrikeOut = r.U8(34), f.Charset = r.U8(35);
      for (int i = 0; i < 32; ++i) {
        const uint16_t c = r.U16(40 + 2 * i);
        if (!c) break;
        AppendUtf8(f.Face, c >= 0xD800 && c < 0xE000 ? 0xFFFD : c);
      }
      *o = TObj{TObj::kFont, {}, {}, f};
      return;
    }
    case 40:  // DELETEOBJECT
      if (TObj* o = Object(r.U32(8))) *o = TObj{};
      return;
    default: return;
  }
}

void TPlayer::Emf(uint32_t type, const TRec& r) {
  std::vector<double> xy;
  switch (type) {
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:  // POLYBEZIER, POLYGON, POLYLINE, POLYBEZIERTO, POLYLINETO
    case 85:
    case 86:
    case 87:
    case 88:
    case 89: {  // the same with 16-bit points
      const bool small = type >= 85;
      const uint32_t kind = small ? type - 83 : type;
      if (!Points(r, 28, r.U32(24), small, xy)) return;
      if (kind == 3) Poly(xy, true, true);
      else if (kind == 4) Poly(xy, false, false);
      else PolyFrom(xy, kind == 2 || kind == 5, kind >= 5);
      return;
    }
    case 7:
    case 8:
    case 90:
    case 91:  // POLYPOLYLINE, POLYPOLYGON (32- and 16-bit)
      PolyPoly(r, 32, r.U32(24), false, type >= 90, type == 8 || type == 91);
      return;
    case 9:  // an extent of 0 is refused, as the platform refuses it
      if (r.I32(8) && r.I32(12)) st_.WeX = r.I32(8), st_.WeY = r.I32(12);
      return;
    case 10: st_.WoX = r.I32(8), st_.WoY = r.I32(12); return;
    case 11:
      if (r.I32(8) && r.I32(12)) st_.VeX = r.I32(8), st_.VeY = r.I32(12);
      return;
    case 12: st_.VoX = r.I32(8), st_.VoY = r.I32(12); return;
    case 17: st_.MapMode = r.I32(8); return;
    case 18: st_.BkOpaque = r.U32(8) == 2; return;
    case 19: st_.Winding = r.U32(8) == 2; return;
    case 22: st_.TextAlign = r.U32(8); return;
    case 24: st_.TextColor = r.U32(8) & 0xFFFFFF; return;
    case 25: st_.BkColor = r.U32(8) & 0xFFFFFF; return;
    case 27: st_.CurX = r.I32(8), st_.CurY = r.I32(12), figureOpen_ = false; return;
    case 30: IntersectClip(r.I32(8), r.I32(12), r.I32(16), r.I32(20), Full()); return;
    case 33: Save(); return;
    case 34: Restore(r.I32(8)); return;
    case 35:
    case 36: {
      const TXf x{r.F32(8), r.F32(12), r.F32(16), r.F32(20), r.F32(24), r.F32(28)};
      const uint32_t mode = type == 35 ? 4 : r.U32(32);
      // A transform that is not finite or maps everything onto a line is refused.
      const double det = double(x.M11) * x.M22 - double(x.M12) * x.M21;
      if (mode != 1 && (!std::isfinite(det) || det == 0 || !std::isfinite(x.Dx) || !std::isfinite(x.Dy))) return;
      if (mode == 1) st_.World = TXf{};
      else if (mode == 2) st_.World = Then(x, st_.World);
      else if (mode == 3) st_.World = Then(st_.World, x);
      else if (mode == 4) st_.World = x;
      return;
    }
    case 37: Select(r.U32(8)); return;
    case 38:
    case 39:
    case 40:
    case 82:
    case 93:
    case 94:
    case 95: EmfObject(type, r); return;
    case 42: Box(TVPathOp::Ellipse, r.I32(8), r.I32(12), r.I32(16), r.I32(20)); return;
    case 43: Box(TVPathOp::Move, r.I32(8), r.I32(12), r.I32(16), r.I32(20)); return;
    case 44: Box(TVPathOp::RoundRect, r.I32(8), r.I32(12), r.I32(16), r.I32(20), r.I32(24), r.I32(28)); return;
    case 45:
    case 46:
    case 47:
    case 55: {  // ARC, CHORD, PIE, ARCTO
      const TVPathOp::TKind kind = type == 46 ? TVPathOp::Chord : type == 47 ? TVPathOp::Pie : TVPathOp::Arc;
      ArcShape(kind, r.I32(8), r.I32(12), r.I32(16), r.I32(20), r.I32(24), r.I32(28), r.I32(32), r.I32(36));
      if (type == 55) st_.CurX = r.I32(32), st_.CurY = r.I32(36);
      return;
    }
    case 54: {  // LINETO
      xy = {double(r.I32(8)), double(r.I32(12))};
      PolyFrom(xy, false, true);
      return;
    }
    case 59: inPath_ = true, figureOpen_ = false, path_.clear(); return;  // BEGINPATH
    case 60: inPath_ = false; return;                                     // ENDPATH
    case 61:                                                              // CLOSEFIGURE
      if (inPath_ && static_cast<int64_t>(path_.size()) < kMaxPoints) path_.push_back(Op(TVPathOp::Close));
      figureOpen_ = false;
      return;
    case 62: DrawPath(true, false); return;
    case 63: DrawPath(true, true); return;
    case 64: DrawPath(false, true); return;
    case 67:
    case 68: path_.clear(), inPath_ = false; return;  // SELECTCLIPPATH, ABORTPATH
    case 75: {                                        // EXTSELECTCLIPRGN
      const int64_t size = r.U32(8);
      const uint32_t mode = r.U32(12);
      if (mode == 5 && size == 0) {
        st_.Clipped = false;
        ApplyClip();
      } else if ((mode == 1 || mode == 5) && size >= 32 && r.Has(16, 32)) {
        // The region's bounds, in reference-device pixels.
        if (mode == 5) st_.Clipped = false;
        IntersectClip(r.I32(32), r.I32(36), r.I32(40), r.I32(44), fit_);
      }
      return;
    }
    case 76:
    case 77: EmfBlit(r, type); return;
    case 80: EmfStretchDib(r, false); return;
    case 81: EmfStretchDib(r, true); return;
    case 83:
    case 84: EmfText(r, type == 84); return;
    default: return;
  }
}

void TPlayer::Wmf(uint16_t function, const TRec& r) {
  std::vector<double> xy;
  switch (function) {
    case 0x0103: st_.MapMode = r.I16(6); return;
    case 0x0102: st_.BkOpaque = r.U16(6) == 2; return;
    case 0x0201: st_.BkColor = r.U32(6) & 0xFFFFFF; return;
    case 0x0209: st_.TextColor = r.U32(6) & 0xFFFFFF; return;
    case 0x0106: st_.Winding = r.U16(6) == 2; return;
    case 0x012E: st_.TextAlign = r.U16(6); return;
    case 0x020B: st_.WoY = r.I16(6), st_.WoX = r.I16(8); return;
    case 0x020C:
      if (r.I16(6) && r.I16(8)) st_.WeY = r.I16(6), st_.WeX = r.I16(8);
      return;
    case 0x001E: Save(); return;
    case 0x0127: Restore(r.I16(6)); return;
    case 0x012D: Select(r.U16(6)); return;
    case 0x01F0:
      if (TObj* o = Object(r.U16(6))) *o = TObj{};
      return;
    case 0x02FA:  // CREATEPENINDIRECT
      if (TObj* o = NewWmfObject()) *o = TObj{TObj::kPen, MakePen(r.U16(6), r.I16(8), r.U32(12)), {}, {}};
      return;
    case 0x02FC:  // CREATEBRUSHINDIRECT
      if (TObj* o = NewWmfObject()) *o = TObj{TObj::kBrush, {}, MakeBrush(r.U16(6), r.U32(8), r.U16(12)), {}};
      return;
    case 0x0142: {  // DIBCREATEPATTERNBRUSH
      TObj* o = NewWmfObject();
      if (!o) return;
      std::shared_ptr<TVImage> image;
      if (r.N > 10) image = Dib(r.P + 10, r.N - 10, nullptr, 0);
      *o = TObj{TObj::kBrush, {}, PatternBrush(std::move(image)), {}};
      return;
    }
    case 0x02FB: {  // CREATEFONTINDIRECT
      TObj* o = NewWmfObject();
      if (!o) return;
      TLogFont f;
      f.Height = r.I16(6);
      f.Escapement = r.I16(10);
      f.Weight = r.I16(14);
      f.Italic = r.U8(16), f.Underline = r.U8(17), f.StrikeOut = r.U8(18), f.Charset = r.U8(19);
      for (int64_t i = 24; i < std::min<int64_t>(r.N, 56) && r.U8(i); ++i) AppendUtf8(f.Face, r.U8(i));
      *o = TObj{TObj::kFont, {}, {}, f};
      return;
    }
    case 0x01F9:  // pattern brush of a device bitmap: grey
      if (TObj* o = NewWmfObject()) *o = TObj{TObj::kBrush, {}, MakeBrush(3, clGray, 0), {}};
      return;
    case 0x00F7:
    case 0x06FF:  // palette, region: hold a slot
      if (TObj* o = NewWmfObject()) *o = TObj{TObj::kOther, {}, {}, {}};
      return;
    case 0x0214: st_.CurY = r.I16(6), st_.CurX = r.I16(8); return;
    case 0x0213:
      xy = {double(r.I16(8)), double(r.I16(6))};
      PolyFrom(xy, false, true);
      return;
    case 0x0418: Box(TVPathOp::Ellipse, r.I16(12), r.I16(10), r.I16(8), r.I16(6)); return;
    case 0x041B: Box(TVPathOp::Move, r.I16(12), r.I16(10), r.I16(8), r.I16(6)); return;
    case 0x061C: Box(TVPathOp::RoundRect, r.I16(16), r.I16(14), r.I16(12), r.I16(10), r.I16(8), r.I16(6)); return;
    case 0x0817:
    case 0x081A:
    case 0x0830: {  // ARC, PIE, CHORD
      const TVPathOp::TKind kind = function == 0x081A   ? TVPathOp::Pie
                                   : function == 0x0830 ? TVPathOp::Chord
                                                        : TVPathOp::Arc;
      ArcShape(kind, r.I16(20), r.I16(18), r.I16(16), r.I16(14), r.I16(12), r.I16(10), r.I16(8), r.I16(6));
      return;
    }
    case 0x0324:
    case 0x0325:  // POLYGON, POLYLINE
      if (Points(r, 8, r.I16(6), true, xy)) Poly(xy, function == 0x0324, function == 0x0324);
      return;
    case 0x0538: PolyPoly(r, 8, r.I16(6), true, true, true); return;
    case 0x0416: IntersectClip(r.I16(12), r.I16(10), r.I16(8), r.I16(6), Full()); return;
    case 0x0521: {  // TEXTOUT
      const int64_t n = r.I16(6), padded = n + (n & 1);
      if (n <= 0 || !r.Has(8, padded + 4)) return;
      WmfText(r.I16(8 + padded + 2), r.I16(8 + padded), r.P + 8, n);
      return;
    }
    case 0x0A32: {  // EXTTEXTOUT
      const int64_t n = r.I16(10);
      const int64_t at = (r.U16(12) & 6) ? 22 : 14;
      if (n <= 0 || !r.Has(at, n)) return;
      WmfText(r.I16(8), r.I16(6), r.P + at, n);
      return;
    }
    case 0x0F43: {  // STRETCHDIB
      if (r.N <= 28) return;
      bool bottomUp = false;
      auto image = Dib(r.P + 28, r.N - 28, nullptr, 0, &bottomUp);
      if (!image) return;
      const double sh = r.I16(12), sw = r.I16(14), sy = r.I16(16), sx = r.I16(18);
      const double top = bottomUp ? image->Height - sy - sh : sy;
      Image(r.I16(26), r.I16(24), r.I16(22), r.I16(20), *image, sx, top, sw, sh);
      return;
    }
    case 0x0B41:
    case 0x0940: {  // DIBSTRETCHBLT, DIBBITBLT
      const bool stretch = function == 0x0B41;
      const int64_t params = stretch ? 8 : 6;
      const uint32_t rop = r.U32(6);
      const bool withBitmap = r.N / 2 != (function >> 8) + 3;
      const int64_t at = withBitmap ? 10 : 12;  // without a bitmap a reserved word follows the operation
      auto P = [&](int64_t i) { return double(r.I16(at + 2 * (params - 1 - i))); };  // i-th field, in drawing order
      // Fields from the last: destination x, y, width, height, then source x, y (width, height).
      const double xd = P(0), yd = P(1), wd = P(2), hd = P(3);
      const double xs = P(4), ys = P(5);
      const double ws = stretch ? P(6) : wd, hs = stretch ? P(7) : hd;
      if (!withBitmap) {
        FillRop(rop, xd, yd, wd, hd);
        return;
      }
      const int64_t dibAt = at + 2 * params;
      if (r.N <= dibAt) return;
      auto image = Dib(r.P + dibAt, r.N - dibAt, nullptr, 0);
      if (image) Image(xd, yd, wd, hd, *image, xs, ys, ws, hs);
      return;
    }
    default: return;
  }
}

}  // namespace

int64_t MetafileWorkLimit(int64_t width, int64_t height) {
  return std::max(kMinWork, kWorkRepaints * std::max<int64_t>(width, 0) * std::max<int64_t>(height, 0));
}

bool PlayMetafile(const uint8_t* data, int64_t size, TBitmap& target, const std::atomic<bool>* abort) {
  return PlayMetafileBand(data, size, target, TMetafileArea{target.Width(), target.Height(), 0, nullptr}, abort);
}

bool PlayMetafileBand(const uint8_t* data, int64_t size, TBitmap& target, const TMetafileArea& area,
                      const std::atomic<bool>* abort) {
  TMetafileInfo info;
  if (!ReadMetafileInfo(data, size, info) || target.Empty() || area.Width <= 0 || area.Height <= 0) return false;
  TPlayer player(target, area, info.Enhanced, abort);
  // What this band drew is gone from the picture's budget, also on an early return.
  struct TCharge {
    const TPlayer& Player;
    TMetafileWork* Work;
    ~TCharge() {
      if (Work) Work->Left = std::max<int64_t>(0, Work->Left - Player.Work());
    }
  } charge{player, area.Work};
  if (info.Enhanced) {
    const int64_t headerSize = TRec{data, size}.U32(4);
    if (headerSize < 88 || headerSize > size) return false;
    player.SetupEmf(TRec{data, headerSize});
    for (int64_t pos = headerSize; pos + 8 <= size && !player.Stopped();) {
      const TRec head{data + pos, 8};
      const uint32_t type = head.U32(0);
      const int64_t length = head.U32(4);
      if (length < 8 || length > size - pos || type == 14) break;  // EOF, or a record past the data
      player.Emf(type, TRec{data + pos, length});
      pos += length;
    }
    return true;
  }
  // Placeable header (22 bytes), then the 18-byte metafile header.
  if (size < 40) return false;
  const TRec meta{data + 22, 18};
  const int64_t headerSize = std::max<int64_t>(18, int64_t{meta.U16(2)} * 2);
  player.SetupWmf(TRec{data, 22}, meta.U16(10));
  for (int64_t pos = 22 + headerSize; pos + 6 <= size && !player.Stopped();) {
    const TRec head{data + pos, 6};
    const int64_t length = int64_t{head.U32(0)} * 2;
    const uint16_t function = head.U16(4);
    if (length < 6 || length > size - pos || function == 0) break;
    player.Wmf(function, TRec{data + pos, length});
    pos += length;
  }
  return true;
}

}  // namespace pixoran
