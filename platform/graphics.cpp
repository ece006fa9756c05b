#include "platform/graphics.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace pixoran {

TColor ColorToRGB(TColor color) {
  if ((color & clSystemColor) == 0) return color & 0xFFFFFF;
  // Classic desktop scheme.
  static const TColor kSystem[] = {
      0xC8D0D4, 0x984E00, 0x6A240A, 0x808080, 0xC8D0D4, 0xFFFFFF, 0x000000, 0x000000,
      0x000000, 0xFFFFFF, 0xC8D0D4, 0xC8D0D4, 0x808080, 0x6A240A, 0xFFFFFF, 0xC8D0D4,
      0x808080, 0x808080, 0x000000, 0xC8D0D4, 0xFFFFFF, 0x404040, 0xC8D0D4, 0x000000,
      0xE1FFFF, 0xB5B5B5, 0x800000, 0xF0CAA6, 0xC0C0C0, 0xFF8000, 0xC8D0D4};
  const unsigned idx = static_cast<unsigned>(color) & 0xFF;
  return idx < sizeof(kSystem) / sizeof(kSystem[0]) ? kSystem[idx] : 0;
}

QImage::Format QtFormatOf(TPixelFormat pf) {
  switch (pf) {
    case pf1bit: return QImage::Format_Mono;
    case pf4bit:
    case pf8bit: return QImage::Format_Indexed8;
    case pf15bit: return QImage::Format_RGB555;
    case pf16bit: return QImage::Format_RGB16;
    case pf32bit: return QImage::Format_RGB32;
    default: return QImage::Format_BGR888;
  }
}

static TPixelFormat HeldFormat(TPixelFormat pf) {
  if (pf == pf4bit) return pf8bit;
  if (pf == pfDevice || pf == pfCustom) return pf24bit;
  return pf;
}

static void SetDefaultColorTable(QImage& img, TPixelFormat pf) {
  if (pf == pf1bit) {
    img.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
  } else if (pf == pf8bit) {
    QList<QRgb> ramp(256);
    for (int i = 0; i < 256; ++i) ramp[i] = qRgb(i, i, i);
    img.setColorTable(ramp);
  }
}

static QImage MakeImage(int w, int h, TPixelFormat pf) {
  if (w <= 0 || h <= 0) return QImage();
  QImage img(w, h, QtFormatOf(pf));
  if (img.isNull()) return img;
  std::memset(img.bits(), 0, static_cast<size_t>(img.sizeInBytes()));
  SetDefaultColorTable(img, pf);
  return img;
}

TBitmap::TBitmap() = default;
TBitmap::~TBitmap() = default;

void TBitmap::SetSize(int w, int h) {
  w = std::max(w, 0);
  h = std::max(h, 0);
  if (w == Width() && h == Height() && !image_.isNull()) return;
  QImage img = MakeImage(w, h, format_);
  if (!image_.isNull() && !img.isNull()) {
    if (image_.colorCount() > 0) img.setColorTable(image_.colorTable());
    const int rows = std::min(h, image_.height());
    const qsizetype n = std::min(img.bytesPerLine(), image_.bytesPerLine());
    const QImage& src = image_;
    for (int y = 0; y < rows; ++y) std::memcpy(img.scanLine(y), src.constScanLine(y), static_cast<size_t>(n));
    if (w < image_.width()) {
      // Clear what lies beyond the new width in each copied row.
      const int bits = img.depth();
      const int64_t usedBits = static_cast<int64_t>(w) * bits;
      for (int y = 0; y < rows; ++y) {
        uint8_t* row = img.scanLine(y);
        const int64_t fullBytes = usedBits / 8;
        const int rem = static_cast<int>(usedBits % 8);
        int64_t start = fullBytes;
        if (rem) {
          row[fullBytes] &= static_cast<uint8_t>(0xFF << (8 - rem));
          start = fullBytes + 1;
        }
        if (start < img.bytesPerLine()) std::memset(row + start, 0, static_cast<size_t>(img.bytesPerLine() - start));
      }
    }
  }
  image_ = std::move(img);
}

void TBitmap::SetPixelFormat(TPixelFormat pf) {
  pf = HeldFormat(pf);
  if (pf == format_) return;
  if (!image_.isNull()) {
    QImage conv;
    if (pf == pf1bit) {
      conv = image_.convertToFormat(QImage::Format_Mono, {qRgb(0, 0, 0), qRgb(255, 255, 255)}, Qt::ThresholdDither);
    } else if (pf == pf8bit && image_.format() != QImage::Format_Indexed8) {
      QList<QRgb> ramp(256);
      for (int i = 0; i < 256; ++i) ramp[i] = qRgb(i, i, i);
      conv = image_.convertToFormat(QImage::Format_Indexed8, ramp, Qt::ThresholdDither);
    } else {
      conv = image_.convertToFormat(QtFormatOf(pf));
    }
    image_ = conv.copy();  // own, unshared storage
  }
  format_ = pf;
}

uint8_t* TBitmap::ScanLine(int y) {
  if (image_.isNull() || y < 0 || y >= image_.height()) return nullptr;
  return image_.scanLine(y);
}

const uint8_t* TBitmap::ScanLine(int y) const {
  if (image_.isNull() || y < 0 || y >= image_.height()) return nullptr;
  return image_.constScanLine(y);
}

TPaletteEntry TBitmap::GetPaletteEntry(int i) const {
  TPaletteEntry e;
  if (i >= 0 && i < image_.colorCount()) {
    const QRgb c = image_.color(i);
    e.Red = static_cast<uint8_t>(qRed(c));
    e.Green = static_cast<uint8_t>(qGreen(c));
    e.Blue = static_cast<uint8_t>(qBlue(c));
  }
  return e;
}

void TBitmap::SetPaletteEntries(int start, const std::vector<TPaletteEntry>& entries) {
  if (image_.isNull() || image_.colorCount() == 0 || start < 0) return;
  for (size_t k = 0; k < entries.size(); ++k) {
    const int i = start + static_cast<int>(k);
    if (i >= image_.colorCount()) break;
    image_.setColor(i, qRgb(entries[k].Red, entries[k].Green, entries[k].Blue));
  }
}

bool TBitmap::Monochrome() const {
  if (format_ != pf1bit) return false;
  if (image_.isNull()) return true;
  return image_.colorCount() == 2 && (image_.color(0) & 0xFFFFFF) == 0 && (image_.color(1) & 0xFFFFFF) == 0xFFFFFF;
}

TCanvas& TBitmap::Canvas() {
  if (!canvas_) canvas_ = std::make_unique<TCanvas>(*this);
  return *canvas_;
}

void TBitmap::Assign(const TBitmap& source) {
  if (&source == this) return;
  format_ = source.format_;
  image_ = source.image_.copy();
}

void TBitmap::FreeImage() { image_ = QImage(); }

void TBitmap::FromQImage(const QImage& img) {
  switch (img.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
      format_ = pf1bit;
      image_ = img.convertToFormat(QImage::Format_Mono).copy();
      break;
    case QImage::Format_Indexed8:
      format_ = pf8bit;
      image_ = img.copy();
      break;
    default:
      format_ = pf24bit;
      image_ = img.convertToFormat(QImage::Format_BGR888).copy();
      break;
  }
}

// -------------------------------------------------------------------- canvas

static QColor ToQColor(TColor c) {
  c = ColorToRGB(c);
  return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

// An indexed 8-bit image whose palette is the grey ramp (entry i = (i, i, i)).
// Called for every span: the table is read directly, not entry by entry.
static bool IsGreyRamp(const QImage& img) {
  if (img.format() != QImage::Format_Indexed8 || img.colorCount() != 256) return false;
  const QList<QRgb> table = img.colorTable();
  const QRgb* t = table.constData();
  // The table's storage changes whenever the table does: the last one found
  // to be the ramp is remembered.
  thread_local const QRgb* lastRamp = nullptr;
  thread_local QList<QRgb> keep;
  if (t == lastRamp) return true;
  for (uint32_t i = 0; i < 256; ++i)
    if ((t[i] & 0xFFFFFFu) != ((i << 16) | (i << 8) | i)) return false;
  keep = table;  // held, so the storage is not reused by another table
  lastRamp = t;
  return true;
}

// QPainter cannot paint on indexed images: such bitmaps are painted through
// a true-colour copy mapped back to their own palette.
template <typename Fn>
void TCanvas::Paint(Fn&& fn) {
  if (external_) {
    external_->save();
    if (clipped_) external_->setClipRect(QRect(clip_.Left, clip_.Top, clip_.Width(), clip_.Height()));
    fn(*external_);
    external_->restore();
    return;
  }
  QImage& img = owner_.Image();
  if (img.isNull()) return;
  if (IsGreyRamp(img)) {
    // An 8-bit grey bitmap is painted in place as a grey image over the
    // same rows: no conversion, and grey (v, v, v) lands as the byte v.
    QImage grey(img.bits(), img.width(), img.height(), img.bytesPerLine(), QImage::Format_Grayscale8);
    QPainter p(&grey);
    if (clipped_) p.setClipRect(QRect(clip_.Left, clip_.Top, clip_.Width(), clip_.Height()));
    fn(p);
    return;
  }
  const bool indexed = img.format() == QImage::Format_Mono || img.format() == QImage::Format_Indexed8;
  if (!indexed) {
    QPainter p(&img);
    if (clipped_) p.setClipRect(QRect(clip_.Left, clip_.Top, clip_.Width(), clip_.Height()));
    fn(p);
    return;
  }
  QImage work = img.convertToFormat(QImage::Format_RGB32);
  {
    QPainter p(&work);
    if (clipped_) p.setClipRect(QRect(clip_.Left, clip_.Top, clip_.Width(), clip_.Height()));
    fn(p);
  }
  QImage back = work.convertToFormat(img.format(), img.colorTable(), Qt::ThresholdDither | Qt::AvoidDither);
  // Only the pixels come back: Qt's conversion leaves junk in the row padding.
  const int64_t bits = static_cast<int64_t>(img.width()) * img.depth();
  const size_t full = static_cast<size_t>(bits / 8);
  const int rem = static_cast<int>(bits % 8);
  for (int y = 0; y < img.height(); ++y) {
    uint8_t* dst = img.scanLine(y);
    const uint8_t* src = back.constScanLine(y);
    std::memcpy(dst, src, full);
    if (rem) {
      const uint8_t keep = static_cast<uint8_t>(0xFF << (8 - rem));
      dst[full] = static_cast<uint8_t>((src[full] & keep) | (dst[full] & ~keep));
    }
  }
}

void TCanvas::SetClipRect(const TRect* clip) {
  clipped_ = clip != nullptr;
  if (clip) clip_ = *clip;
}

TRect TCanvas::ClipRect() const {
  if (clipped_) return clip_;
  if (external_ && external_->device())
    return Rect(0, 0, external_->device()->width(), external_->device()->height());
  return Rect(0, 0, owner_.Width(), owner_.Height());
}

static Qt::BrushStyle HatchOf(TBrushStyle s) {
  switch (s) {
    case bsHorizontal: return Qt::HorPattern;
    case bsVertical: return Qt::VerPattern;
    case bsFDiagonal: return Qt::FDiagPattern;
    case bsBDiagonal: return Qt::BDiagPattern;
    case bsCross: return Qt::CrossPattern;
    case bsDiagCross: return Qt::DiagCrossPattern;
    default: return Qt::SolidPattern;
  }
}

void TCanvas::FillRect(const TRect& r) {
  if (Brush.Style == bsClear || r.Width() <= 0 || r.Height() <= 0) return;
  const QColor c = ToQColor(Brush.Color);
  const QRect q(r.Left, r.Top, r.Width(), r.Height());
  if (Brush.Style == bsSolid && !external_) {
    QImage& img = owner_.Image();
    const bool bgr = img.format() == QImage::Format_BGR888;
    if (bgr || img.format() == QImage::Format_RGB32) {
      // Straight into the rows: no painter for the commonest call.
      const TRect k = ClipRect();
      const int l = std::max({r.Left, k.Left, 0}), t = std::max({r.Top, k.Top, 0});
      const int rr = std::min({r.Right, k.Right, img.width()}), b = std::min({r.Bottom, k.Bottom, img.height()});
      if (rr <= l || b <= t) return;
      const uint8_t red = static_cast<uint8_t>(c.red()), green = static_cast<uint8_t>(c.green()),
                    blue = static_cast<uint8_t>(c.blue());
      const size_t n = static_cast<size_t>(rr - l);
      if (bgr) {
        std::vector<uint8_t> run(3 * n);
        for (size_t i = 0; i < n; ++i) run[3 * i] = blue, run[3 * i + 1] = green, run[3 * i + 2] = red;
        for (int y = t; y < b; ++y) std::memcpy(img.scanLine(y) + 3 * static_cast<size_t>(l), run.data(), run.size());
      } else {
        const uint32_t v = 0xFF000000u | (uint32_t{red} << 16) | (uint32_t{green} << 8) | blue;
        for (int y = t; y < b; ++y) std::fill_n(reinterpret_cast<uint32_t*>(img.scanLine(y)) + l, n, v);
      }
      return;
    }
    Paint([&](QPainter& p) { p.fillRect(q, c); });
    return;
  }
  const QColor back = ToQColor(BackColor);
  const Qt::BrushStyle hatch = HatchOf(Brush.Style);
  const bool opaque = BackColor != clNone;
  Paint([&](QPainter& p) {
    if (opaque) p.fillRect(q, back);
    p.fillRect(q, QBrush(c, hatch));
  });
}

// Whether the pen's pattern sets the step-th pixel along a line.
static bool PenPatternOn(TPenStyle style, int64_t step) {
  switch (style) {
    case psDash: return step % 8 < 6;
    case psDot: return (step & 1) == 0;
    case psDashDot: return step % 12 < 6 || step % 12 == 8;
    case psDashDotDot: return step % 14 < 6 || step % 14 == 8 || step % 14 == 10;
    default: return true;
  }
}

// Pixels along a line (Bresenham), drawn straight into the rows so the
// inverting and exclusive-or modes work on every true-colour bitmap; the
// pen style's pattern runs along the line.
void TCanvas::PixelLine(int x0, int y0, int x1, int y1, bool lastPixel, int width) {
  QImage& img = owner_.Image();
  if (img.isNull() || Pen.Style == psClear) return;
  const TRect c = ClipRect();
  const int cl = std::max(c.Left, 0), ct = std::max(c.Top, 0);
  const int cr = std::min(c.Right, img.width()), cb = std::min(c.Bottom, img.height());
  const TColor pen = ColorToRGB(Pen.Color);
  const uint8_t pr = pen & 0xFF, pg = (pen >> 8) & 0xFF, pb = (pen >> 16) & 0xFF;
  const bool bgr = img.format() == QImage::Format_BGR888;
  const bool rgb32 = img.format() == QImage::Format_RGB32 || img.format() == QImage::Format_ARGB32;
  const bool grey = IsGreyRamp(img);
  const bool xMajor = std::abs(static_cast<int64_t>(x1) - x0) >= std::abs(static_cast<int64_t>(y1) - y0);
  const int lo = width / 2, hi = width - 1 - width / 2;
  auto plot = [&](int x, int y, int64_t step) {
    if (width > 1) {
      // A wide pen: a run across the line's main direction at every step.
      if (xMajor) {
        for (int yy = y - lo; yy <= y + hi; ++yy) Span(yy, x, x, Pen.Color, Pen.Mode);
      } else {
        Span(y, x - lo, x + hi, Pen.Color, Pen.Mode);
      }
      return;
    }
    if (!PenPatternOn(Pen.Style, step)) return;
    if (x < cl || x >= cr || y < ct || y >= cb) return;
    if (bgr) {
      uint8_t* o = img.scanLine(y) + 3 * static_cast<size_t>(x);
      if (Pen.Mode == pmNot) o[0] = ~o[0], o[1] = ~o[1], o[2] = ~o[2];
      else if (Pen.Mode == pmXor) o[0] ^= pb, o[1] ^= pg, o[2] ^= pr;
      else o[0] = pb, o[1] = pg, o[2] = pr;
    } else if (grey) {
      uint8_t* o = img.scanLine(y) + x;
      *o = Pen.Mode == pmNot ? static_cast<uint8_t>(~*o) : Pen.Mode == pmXor ? static_cast<uint8_t>(*o ^ pr) : pr;
    } else if (rgb32) {
      auto* o = reinterpret_cast<uint32_t*>(img.scanLine(y)) + x;
      const uint32_t v = (uint32_t{pr} << 16) | (uint32_t{pg} << 8) | pb;
      if (Pen.Mode == pmNot) *o = (*o & 0xFF000000u) | (~*o & 0xFFFFFFu);
      else if (Pen.Mode == pmXor) *o ^= v;
      else *o = (*o & 0xFF000000u) | v;
    } else {
      const TColor under = Pixel(x, y);
      SetPixel(x, y, Pen.Mode == pmNot ? (~under & 0xFFFFFF) : Pen.Mode == pmXor ? (under ^ pen) : pen);
    }
  };
  // A line reaching far outside (a ruler at a high zoom may be millions of
  // pixels long) is first cut to the drawable area, its pattern kept in step.
  int64_t stepBase = 0;
  {
    const double L = cl - 2.0 - width, T = ct - 2.0 - width, R = cr + 1.0 + width, B = cb + 1.0 + width;
    auto inside = [&](double x, double y) { return x >= L && x <= R && y >= T && y <= B; };
    if (!inside(x0, y0) || !inside(x1, y1)) {
      const double ddx = static_cast<double>(x1) - x0, ddy = static_cast<double>(y1) - y0;
      double t0 = 0.0, t1 = 1.0;
      auto keep = [&](double p, double q) {  // p * t <= q
        if (p == 0) return q >= 0;
        const double r = q / p;
        if (p < 0) {
          if (r > t1) return false;
          t0 = std::max(t0, r);
        } else {
          if (r < t0) return false;
          t1 = std::min(t1, r);
        }
        return true;
      };
      if (!keep(-ddx, x0 - L) || !keep(ddx, R - x0) || !keep(-ddy, y0 - T) || !keep(ddy, B - y0)) return;
      const int nx0 = static_cast<int>(std::lround(x0 + t0 * ddx)), ny0 = static_cast<int>(std::lround(y0 + t0 * ddy));
      const int nx1 = static_cast<int>(std::lround(x0 + t1 * ddx)), ny1 = static_cast<int>(std::lround(y0 + t1 * ddy));
      stepBase = std::max(std::abs(static_cast<int64_t>(nx0) - x0), std::abs(static_cast<int64_t>(ny0) - y0));
      if (t1 < 1.0) lastPixel = true;
      x0 = nx0, y0 = ny0, x1 = nx1, y1 = ny1;
    }
  }
  const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
  const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
  int err = dx + dy, x = x0, y = y0;
  for (int64_t step = stepBase;; ++step) {
    const bool end = x == x1 && y == y1;
    if (end && !lastPixel) break;
    plot(x, y, step);
    if (end) break;
    const int e2 = 2 * err;
    if (e2 >= dy) err += dy, x += sx;
    if (e2 <= dx) err += dx, y += sy;
  }
}

TColor TCanvas::Pixel(int x, int y) const {
  const QImage& img = owner_.Image();
  if (img.isNull() || x < 0 || y < 0 || x >= img.width() || y >= img.height()) return clNone;
  const QRgb c = img.pixel(x, y);
  return RGBColor(static_cast<uint8_t>(qRed(c)), static_cast<uint8_t>(qGreen(c)), static_cast<uint8_t>(qBlue(c)));
}

void TCanvas::SetPixel(int x, int y, TColor c) {
  QImage& img = owner_.Image();
  if (img.isNull() || x < 0 || y < 0 || x >= img.width() || y >= img.height()) return;
  const QColor q = ToQColor(c);
  if (img.format() == QImage::Format_Mono || img.format() == QImage::Format_Indexed8) {
    // Nearest palette entry.
    int best = 0;
    int bestD = 1 << 30;
    for (int i = 0; i < img.colorCount(); ++i) {
      const QRgb e = img.color(i);
      const int dr = qRed(e) - q.red(), dg = qGreen(e) - q.green(), db = qBlue(e) - q.blue();
      const int d = dr * dr + dg * dg + db * db;
      if (d < bestD) bestD = d, best = i;
    }
    img.setPixel(x, y, static_cast<uint>(best));
  } else {
    img.setPixelColor(x, y, q);
  }
}

void TCanvas::LineTo(int x, int y) {
  const int x0 = penX_, y0 = penY_;
  penX_ = x;
  penY_ = y;
  if (Pen.Style == psClear || (x == x0 && y == y0)) return;
  if (Pen.Width <= 1 || Pen.Mode != pmCopy || !external_) {
    // Wide pens draw solid, whatever their style.
    PixelLine(x0, y0, x, y, false, Pen.Mode == pmCopy ? std::clamp(Pen.Width, 1, 100000) : 1);
    return;
  }
  const QColor c = ToQColor(Pen.Color);
  Paint([&](QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(c, Pen.Width));
    // GDI leaves out the end pixel; Qt's line includes it, so stop one short.
    const int dx = x - x0, dy = y - y0;
    const int steps = std::max(std::abs(dx), std::abs(dy));
    const double ex = x - static_cast<double>(dx) / steps, ey = y - static_cast<double>(dy) / steps;
    p.drawLine(QPointF(x0, y0), QPointF(ex, ey));
  });
}

void TCanvas::Rectangle(const TRect& r) {
  if (r.Width() <= 0 || r.Height() <= 0) return;
  FillRect(r);
  if (Pen.Style == psClear) return;
  const int l = r.Left, t = r.Top, rr = r.Right - 1, b = r.Bottom - 1;
  if (Pen.Width > 1 && Pen.Mode == pmCopy && !external_) {
    // A wide pen is centred on the outline.
    const int w = std::min(Pen.Width, 100000), lo = w / 2, hi = w - 1 - w / 2;
    for (int y = t - lo; y <= t + hi; ++y) Span(y, l - lo, rr + hi, Pen.Color, pmCopy);
    for (int y = b - lo; y <= b + hi; ++y) Span(y, l - lo, rr + hi, Pen.Color, pmCopy);
    for (int y = t + hi + 1; y < b - lo; ++y) {
      Span(y, l - lo, l + hi, Pen.Color, pmCopy);
      Span(y, rr - lo, rr + hi, Pen.Color, pmCopy);
    }
    return;
  }
  // Each pixel once, so an inverting pen leaves no corner restored.
  PixelLine(l, t, rr, t, true);
  if (b > t) PixelLine(rr, b, l, b, true);
  if (b - t >= 2) {
    PixelLine(l, b - 1, l, t + 1, true);
    if (rr > l) PixelLine(rr, t + 1, rr, b - 1, true);
  }
}

void TCanvas::DrawSunkenEdge(const TRect& r) {
  const TBrush saved = Brush;
  Brush.Style = bsSolid;
  auto box = [&](int inset, TColor topLeft, TColor bottomRight) {
    const int l = r.Left + inset, t = r.Top + inset, rr = r.Right - 1 - inset, b = r.Bottom - 1 - inset;
    if (rr < l || b < t) return;
    Brush.Color = topLeft;
    FillRect(Rect(l, t, rr + 1, t + 1));
    FillRect(Rect(l, t, l + 1, b + 1));
    Brush.Color = bottomRight;
    FillRect(Rect(l, b, rr + 1, b + 1));
    FillRect(Rect(rr, t, rr + 1, b + 1));
  };
  box(0, clBtnShadow, clBtnHighlight);
  box(1, 0x404040, clBtnFace);
  Brush = saved;
}

void TCanvas::GradientFill(const TRect& r, TColor colour1, TColor colour2, bool vertical) {
  const int n = vertical ? r.Height() : r.Width();
  if (r.Width() <= 0 || r.Height() <= 0) return;
  const TColor a = ColorToRGB(colour1), b = ColorToRGB(colour2);
  Paint([&](QPainter& p) {
    for (int i = 0; i < n; ++i) {
      auto mix = [&](int shift) {
        const int ca = (a >> shift) & 0xFF, cb = (b >> shift) & 0xFF;
        return n > 1 ? ca + (cb - ca) * i / (n - 1) : ca;
      };
      const QColor c(mix(0), mix(8), mix(16));
      if (vertical)
        p.fillRect(QRect(r.Left, r.Top + i, r.Width(), 1), c);
      else
        p.fillRect(QRect(r.Left + i, r.Top, 1, r.Height()), c);
    }
  });
}

void TCanvas::Draw(int x, int y, const TBitmap& source) {
  if (source.Empty()) return;
  Paint([&](QPainter& p) { p.drawImage(QPoint(x, y), source.Image()); });
}

void TCanvas::StretchDraw(const TRect& dest, const TBitmap& source) {
  if (source.Empty()) return;
  Paint([&](QPainter& p) { p.drawImage(QRect(dest.Left, dest.Top, dest.Width(), dest.Height()), source.Image()); });
}

// ------------------------------------------------------------ fonts

int32_t PointsToLogHeight(double points) {
  const double h = points * 96.0 / 72.0;
  if (!(h == h)) return 0;
  return -static_cast<int32_t>(std::nearbyint(std::clamp(h, -1e6, 1e6)));
}

std::string LogFontFaceName(const TPXLogFont& lf) {
  size_t n = 0;
  while (n < sizeof lf.FaceName && lf.FaceName[n]) ++n;
  return std::string(lf.FaceName, n);
}

void SetLogFontFaceName(TPXLogFont& lf, const std::string& utf8) {
  size_t n = std::min(utf8.size(), sizeof lf.FaceName - 1);
  // Back off to the start of a character.
  while (n > 0 && n < utf8.size() && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
  std::memset(lf.FaceName, 0, sizeof lf.FaceName);
  std::memcpy(lf.FaceName, utf8.data(), n);
}

void FontFromLogFont(const TPXLogFont& lf, TFont& font) {
  const std::string face = LogFontFaceName(lf);
  if (!face.empty()) font.Name = face;
  font.Height = 0;
  font.CellHeight = 0;
  font.Size = 10;
  if (lf.Height < 0)
    font.Height = lf.Height == INT32_MIN ? INT32_MAX : -lf.Height;
  else if (lf.Height > 0)
    font.CellHeight = lf.Height;
  font.Bold = lf.Weight >= 700;
  font.Italic = lf.Italic != 0;
  font.Underline = lf.Underline != 0;
  font.StrikeOut = lf.StrikeOut != 0;
  font.Escapement = lf.Escapement;
  font.Antialias = lf.Quality != 3;
  font.Empty = false;
}

TPXLogFont LogFontFromFont(const TFont& font) {
  TPXLogFont lf;
  if (font.CellHeight > 0)
    lf.Height = font.CellHeight;
  else if (font.Height > 0)
    lf.Height = -font.Height;
  else
    lf.Height = PointsToLogHeight(font.Size);
  lf.Weight = font.Bold ? 700 : 400;
  lf.Italic = font.Italic;
  lf.Underline = font.Underline;
  lf.StrikeOut = font.StrikeOut;
  lf.Escapement = font.Escapement;
  lf.Orientation = font.Escapement;
  SetLogFontFaceName(lf, font.Name);
  return lf;
}

static QFont ToQFont(const TFont& f, int pixelSize) {
  QFont q(QString::fromStdString(f.Name));
  q.setPixelSize(std::max(1, pixelSize));
  q.setBold(f.Bold);
  q.setItalic(f.Italic);
  q.setUnderline(f.Underline);
  q.setStrikeOut(f.StrikeOut);
  if (!f.Antialias) q.setStyleStrategy(QFont::NoAntialias);
  return q;
}

// The Qt font and metrics of a font description at a pixel size; the last
// few are kept, as a repaint sets the same few fonts over and over.
struct TCachedFont {
  std::string Name;
  int Pixels = 0;
  bool Bold = false, Italic = false, Underline = false, StrikeOut = false, Antialias = true;
  QFont Font;
  std::shared_ptr<QFontMetrics> Metrics;
};

static TCachedFont CachedFont(const TFont& f, int px) {
  thread_local std::vector<TCachedFont> cache;
  for (const TCachedFont& c : cache)
    if (c.Pixels == px && c.Bold == f.Bold && c.Italic == f.Italic && c.Underline == f.Underline &&
        c.StrikeOut == f.StrikeOut && c.Antialias == f.Antialias && c.Name == f.Name)
      return c;
  if (cache.size() >= 24) cache.erase(cache.begin());
  TCachedFont c;
  c.Name = f.Name;
  c.Pixels = px;
  c.Bold = f.Bold, c.Italic = f.Italic, c.Underline = f.Underline, c.StrikeOut = f.StrikeOut;
  c.Antialias = f.Antialias;
  c.Font = ToQFont(f, px);
  c.Metrics = std::make_shared<QFontMetrics>(c.Font);
  cache.push_back(std::move(c));
  return cache.back();
}

// Pixel size of the font: Height as it is, a cell height scaled through the
// face's own ascent plus descent, else the point size by the one rule.
// 0 means the text draws nothing.
static int FontPixelSize(const TFont& f) {
  if (f.Empty) return 0;
  constexpr int kMax = 10000;  // far beyond any screen; keeps Qt's rasteriser bounded
  if (f.CellHeight > 0) {
    TFont ref = f;
    ref.Underline = ref.StrikeOut = false;
    ref.Antialias = true;
    const int cell = CachedFont(ref, 100).Metrics->height();
    if (cell <= 0) return std::min(f.CellHeight, kMax);
    return static_cast<int>(std::min<int64_t>(std::llround(f.CellHeight * 100.0 / cell), kMax));
  }
  if (f.Height > 0) return std::min(f.Height, kMax);
  return std::min(-PointsToLogHeight(std::max(1, f.Size)), kMax);
}


// Blends a premultiplied picture into the bitmap at (left, top); false for
// formats it does not know (painted through Qt instead).
static bool BlendPremultiplied(QImage& dst, const QImage& src, const QRect& from, int left, int top,
                               const std::vector<std::pair<int, int>>* rowSpans = nullptr, const QColor* tint = nullptr) {
  const unsigned tr = tint ? tint->red() : 0, tg = tint ? tint->green() : 0, tb = tint ? tint->blue() : 0;
  const bool bgr = dst.format() == QImage::Format_BGR888;
  const bool rgb32 = dst.format() == QImage::Format_RGB32 || dst.format() == QImage::Format_ARGB32;
  const bool grey = IsGreyRamp(dst);
  if (!bgr && !rgb32 && !grey) return false;
  const QRect r = from.intersected(src.rect());
  left += r.left() - from.left();
  top += r.top() - from.top();
  for (int y = 0; y < r.height(); ++y) {
    const int dy = top + y;
    if (dy < 0 || dy >= dst.height()) continue;
    const QRgb* s = reinterpret_cast<const QRgb*>(src.constScanLine(r.top() + y)) + r.left();
    uint8_t* row = dst.scanLine(dy);
    int x0 = 0, x1 = r.width();
    if (rowSpans) {
      // Only the inked run of the row.
      const auto& span = (*rowSpans)[static_cast<size_t>(r.top() + y)];
      x0 = std::max(0, span.first - r.left());
      x1 = std::min(r.width(), span.second - r.left());
    }
    for (int x = x0; x < x1; ++x) {
      QRgb p = s[x];
      const unsigned a = qAlpha(p);
      // A coverage picture takes its colour here.
      if (tint) p = qRgba((tr * a + 127) / 255, (tg * a + 127) / 255, (tb * a + 127) / 255, a);
      const int dx = left + x;
      if (a == 0 || dx < 0 || dx >= dst.width()) continue;
      const unsigned k = 255 - a;
      auto mix = [&](unsigned sc, uint8_t& d) { d = static_cast<uint8_t>(sc + (d * k + 127) / 255); };
      if (bgr) {
        uint8_t* o = row + 3 * static_cast<size_t>(dx);
        mix(qBlue(p), o[0]), mix(qGreen(p), o[1]), mix(qRed(p), o[2]);
      } else if (rgb32) {
        uint8_t* o = row + 4 * static_cast<size_t>(dx);
        mix(qBlue(p), o[0]), mix(qGreen(p), o[1]), mix(qRed(p), o[2]);
      } else {
        mix(qRed(p), row[dx]);
      }
    }
  }
  return true;
}

// The key of a text's look: font, colours, brush, alignment and angle.
static std::string TextKey(const TFont& f, int px, QRgb colour, bool fill, QRgb back, uint32_t align,
                           const std::string& utf8) {
  char head[128];
  std::snprintf(head, sizeof head, "%d|%d%d%d%d%d|%08x|%d%08x|%u|%d|", px, f.Bold, f.Italic, f.Underline, f.StrikeOut,
                f.Antialias, colour, fill, fill ? back : 0u, align, f.Escapement);
  return head + f.Name + "|" + utf8;
}

void TCanvas::TextOut(int x, int y, const std::string& utf8) {
  if (!QGuiApplication::instance() || utf8.empty()) return;
  const int px = FontPixelSize(Font);
  if (px <= 0) return;
  const QColor c = ToQColor(Font.Color);
  const QColor bg = ToQColor(Brush.Color);
  const bool fill = Brush.Style != bsClear;
  const double angle = -Font.Escapement / 10.0;
  QFont f;
  QFontMetrics* m = nullptr;
  std::shared_ptr<QFontMetrics> hold;
  QString s;
  int w = 0, dx = 0, base = 0;
  auto measure = [&] {
    if (m) return;
    const TCachedFont cf = CachedFont(Font, px);
    f = cf.Font;
    hold = cf.Metrics;
    m = hold.get();
    s = QString::fromUtf8(utf8.c_str());
    w = m->horizontalAdvance(s);
    // The text's own frame: x along the baseline, y down from it.
    const uint32_t h = TextAlign & taCenter, v = TextAlign & taBaseline;
    dx = h == taCenter ? -w / 2 : h == taRight ? -w : 0;
    base = v == taBaseline ? 0 : v == taBottom ? -m->descent() : m->ascent();
  };
  auto draw = [&](QPainter& p, double ox, double oy, bool white = false) {
    p.setRenderHint(QPainter::TextAntialiasing, Font.Antialias);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.translate(ox, oy);
    if (angle != 0.0) p.rotate(angle);
    if (fill) p.fillRect(QRect(dx, base - m->ascent(), w, m->height()), bg);
    p.setFont(f);
    p.setPen(white ? QColor(Qt::white) : c);
    p.drawText(QPoint(dx, base), s);
  };
  QImage& img = owner_.Image();
  if (!external_ && !img.isNull()) {
    // Drawn on a small transparent picture of the text's box and blended in:
    // Qt paints some bitmap formats only slowly, and the box is all that
    // changes. The pictures of recent texts are kept, as a repaint draws the
    // same texts again.
    struct TPicture {
      QImage Picture;
      QRect Box;  // relative to the text's point
      std::vector<std::pair<int, int>> Rows;  // per row, the columns from the first to past the last inked pixel
    };
    thread_local std::unordered_map<std::string, TPicture> pictures;
    // Without a background the picture holds only the glyphs' coverage
    // (drawn in white) and any colour uses it.
    const bool coverage = !fill;
    const std::string key = TextKey(Font, px, coverage ? 0u : c.rgb(), fill, bg.rgb(), TextAlign, utf8);
    const TPicture* found = nullptr;
    TPicture fresh;
    if (auto it = pictures.find(key); it != pictures.end()) {
      found = &it->second;
    } else {
      measure();
      const int pad = m->height() / 2 + 2;
      QTransform t;
      if (angle != 0.0) t.rotate(angle);
      fresh.Box = t.mapRect(QRectF(dx - pad, base - m->ascent() - pad, w + 2 * pad, m->height() + 2 * pad)).toAlignedRect();
      if (static_cast<int64_t>(fresh.Box.width()) * fresh.Box.height() <= (1 << 22)) {
        fresh.Picture = QImage(fresh.Box.size(), QImage::Format_ARGB32_Premultiplied);
        fresh.Picture.fill(0);
        {
          QPainter p(&fresh.Picture);
          draw(p, -fresh.Box.left(), -fresh.Box.top(), coverage);
        }
        fresh.Rows.resize(static_cast<size_t>(fresh.Picture.height()));
        for (int yy = 0; yy < fresh.Picture.height(); ++yy) {
          const QRgb* row = reinterpret_cast<const QRgb*>(fresh.Picture.constScanLine(yy));
          int a = 0, b = fresh.Picture.width();
          while (a < b && qAlpha(row[a]) == 0) ++a;
          while (b > a && qAlpha(row[b - 1]) == 0) --b;
          fresh.Rows[static_cast<size_t>(yy)] = {a, b};
        }
        // Bounded: past 4096 pictures or 16 MB the cache starts again.
        thread_local int64_t bytes = 0;
        bytes += fresh.Picture.sizeInBytes();
        if (pictures.size() >= 4096 || bytes > (int64_t{16} << 20)) {
          pictures.clear();
          bytes = fresh.Picture.sizeInBytes();
        }
        found = &pictures.emplace(key, std::move(fresh)).first->second;
      }
    }
    if (found) {
      const TRect k = ClipRect();
      const QRect placed = found->Box.translated(x, y);
      const QRect cut = placed.intersected(QRect(k.Left, k.Top, k.Width(), k.Height())).intersected(img.rect());
      if (cut.isEmpty()) return;
      if (BlendPremultiplied(img, found->Picture, cut.translated(-placed.left(), -placed.top()), cut.left(), cut.top(),
                             &found->Rows, coverage ? &c : nullptr))
        return;
    }
  }
  measure();
  Paint([&](QPainter& p) { draw(p, x, y); });
}

void TCanvas::TextRect(const TRect& clip, int x, int y, const std::string& utf8) {
  const bool was = clipped_;
  const TRect old = clip_;
  TRect r = clip;
  if (was) {
    r = Rect(std::max(r.Left, old.Left), std::max(r.Top, old.Top), std::min(r.Right, old.Right),
             std::min(r.Bottom, old.Bottom));
  }
  if (r.Width() <= 0 || r.Height() <= 0) return;
  SetClipRect(&r);
  TextOut(x, y, utf8);
  clipped_ = was;
  clip_ = old;
}

int TCanvas::TextWidth(const std::string& utf8) const {
  if (!QGuiApplication::instance()) return 0;
  const int px = FontPixelSize(Font);
  if (px <= 0) return 0;
  thread_local std::unordered_map<std::string, int> widths;
  const std::string key = TextKey(Font, px, 0, false, 0, 0, utf8);
  if (auto it = widths.find(key); it != widths.end()) return it->second;
  const int w = CachedFont(Font, px).Metrics->horizontalAdvance(QString::fromUtf8(utf8.c_str()));
  if (widths.size() >= 4096) widths.clear();
  widths.emplace(key, w);
  return w;
}

int TCanvas::TextHeight(const std::string&) const {
  if (!QGuiApplication::instance()) return 0;
  const int px = FontPixelSize(Font);
  if (px <= 0) return 0;
  return CachedFont(Font, px).Metrics->height();
}

int TCanvas::TextAscent() const {
  if (!QGuiApplication::instance()) return 0;
  const int px = FontPixelSize(Font);
  if (px <= 0) return 0;
  return CachedFont(Font, px).Metrics->ascent();
}

// ------------------------------------------------------------ shapes

// Sets the pixels x0..x1 of row y (cut to the clip and the bitmap) to the
// colour, or inverts or exclusive-ors them by the mode.
void TCanvas::Span(int y, int x0, int x1, TColor colour, TPenMode mode) {
  QImage& img = owner_.Image();
  if (img.isNull()) return;
  const TRect c = ClipRect();
  if (y < std::max(c.Top, 0) || y >= std::min(c.Bottom, img.height())) return;
  x0 = std::max({x0, c.Left, 0});
  x1 = std::min({x1, c.Right - 1, img.width() - 1});
  if (x1 < x0) return;
  const TColor rgb = ColorToRGB(colour);
  const uint8_t r = rgb & 0xFF, g = (rgb >> 8) & 0xFF, b = (rgb >> 16) & 0xFF;
  uint8_t* row = img.scanLine(y);
  switch (img.format()) {
    case QImage::Format_BGR888:
      for (int x = x0; x <= x1; ++x) {
        uint8_t* o = row + 3 * static_cast<size_t>(x);
        if (mode == pmNot) o[0] = ~o[0], o[1] = ~o[1], o[2] = ~o[2];
        else if (mode == pmXor) o[0] ^= b, o[1] ^= g, o[2] ^= r;
        else o[0] = b, o[1] = g, o[2] = r;
      }
      return;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32: {
      const uint32_t v = (uint32_t{r} << 16) | (uint32_t{g} << 8) | b;
      auto* o = reinterpret_cast<uint32_t*>(row);
      for (int x = x0; x <= x1; ++x) {
        if (mode == pmNot) o[x] = (o[x] & 0xFF000000u) | (~o[x] & 0xFFFFFFu);
        else if (mode == pmXor) o[x] ^= v;
        else o[x] = (o[x] & 0xFF000000u) | v;
      }
      return;
    }
    case QImage::Format_Indexed8:
      if (IsGreyRamp(img)) {
        for (int x = x0; x <= x1; ++x)
          row[x] = mode == pmNot ? static_cast<uint8_t>(~row[x]) : mode == pmXor ? static_cast<uint8_t>(row[x] ^ r) : r;
        return;
      }
      [[fallthrough]];
    default:
      for (int x = x0; x <= x1; ++x) {
        const TColor under = Pixel(x, y);
        SetPixel(x, y, mode == pmNot ? (~under & 0xFFFFFF) : mode == pmXor ? (under ^ rgb) : rgb);
      }
      return;
  }
}

namespace {

// Rows of the region of pixels whose centres lie inside the ellipse that
// fills the box (right and bottom exclusive): Lo[i] > Hi[i] for an empty row.
struct TEllipseRows {
  int Top = 0;
  std::vector<int> Lo, Hi;
  TEllipseRows(double l, double t, double r, double b) {
    if (r <= l || b <= t) return;
    const double cx = (l + r) / 2, cy = (t + b) / 2, ax = (r - l) / 2, ay = (b - t) / 2;
    Top = static_cast<int>(std::floor(t));
    const int bottom = static_cast<int>(std::ceil(b)) - 1;
    if (bottom - Top > 200000) return;  // nothing that large is drawn
    for (int y = Top; y <= bottom; ++y) {
      const double dy = (y + 0.5 - cy) / ay;
      int lo = 1, hi = 0;
      if (std::abs(dy) <= 1.0) {
        const double half = ax * std::sqrt(1.0 - dy * dy);
        lo = static_cast<int>(std::ceil(cx - half - 0.5));
        hi = static_cast<int>(std::floor(cx + half - 0.5));
        if (lo > hi) {
          // A sliver between pixel centres still shows the nearest pixels.
          lo = static_cast<int>(std::floor(cx - 0.5));
          hi = static_cast<int>(std::ceil(cx - 0.5));
        }
      }
      Lo.push_back(lo);
      Hi.push_back(hi);
    }
  }
  int Rows() const { return static_cast<int>(Lo.size()); }
  bool Has(int y, int x) const {
    const int i = y - Top;
    return i >= 0 && i < Rows() && x >= Lo[static_cast<size_t>(i)] && x <= Hi[static_cast<size_t>(i)];
  }
};

}  // namespace

// Calls fn(y, x0, x1) for the runs of the ellipse outline of the box drawn
// with a pen of the given width: the region's border pixels for 1, else
// the ring between the box grown and shrunk by half the width.
template <typename Fn>
static void EllipseOutline(const TRect& box, int width, Fn&& fn) {
  if (width <= 1) {
    const TEllipseRows e(box.Left, box.Top, box.Right, box.Bottom);
    for (int i = 0; i < e.Rows(); ++i) {
      const int lo = e.Lo[static_cast<size_t>(i)], hi = e.Hi[static_cast<size_t>(i)];
      if (lo > hi) continue;
      int inLo = lo + 1, inHi = hi - 1;
      for (int j : {i - 1, i + 1}) {
        if (j < 0 || j >= e.Rows()) {
          inLo = 1, inHi = 0;
          break;
        }
        inLo = std::max(inLo, e.Lo[static_cast<size_t>(j)]);
        inHi = std::min(inHi, e.Hi[static_cast<size_t>(j)]);
      }
      const int y = e.Top + i;
      if (inLo > inHi) {
        fn(y, lo, hi);
      } else {
        fn(y, lo, inLo - 1);
        fn(y, inHi + 1, hi);
      }
    }
    return;
  }
  const int g1 = width / 2, g2 = width - 1 - width / 2;
  const TEllipseRows outer(box.Left - g1, box.Top - g1, box.Right + g2, box.Bottom + g2);
  const TEllipseRows inner(box.Left - g1 + width, box.Top - g1 + width, box.Right + g2 - width,
                           box.Bottom + g2 - width);
  for (int i = 0; i < outer.Rows(); ++i) {
    const int lo = outer.Lo[static_cast<size_t>(i)], hi = outer.Hi[static_cast<size_t>(i)];
    if (lo > hi) continue;
    const int y = outer.Top + i, k = y - inner.Top;
    if (k < 0 || k >= inner.Rows() || inner.Lo[static_cast<size_t>(k)] > inner.Hi[static_cast<size_t>(k)]) {
      fn(y, lo, hi);
    } else {
      fn(y, lo, inner.Lo[static_cast<size_t>(k)] - 1);
      fn(y, inner.Hi[static_cast<size_t>(k)] + 1, hi);
    }
  }
}

void TCanvas::Ellipse(const TRect& box) {
  if (box.Width() <= 0 || box.Height() <= 0 || box.Width() > 200000 || box.Height() > 200000) return;
  if (external_) {
    Paint([&](QPainter& p) {
      p.setPen(Pen.Style == psClear ? QPen(Qt::NoPen) : QPen(ToQColor(Pen.Color), Pen.Width));
      p.setBrush(Brush.Style == bsClear ? QBrush(Qt::NoBrush) : QBrush(ToQColor(Brush.Color), HatchOf(Brush.Style)));
      p.drawEllipse(QRect(box.Left, box.Top, box.Width() - 1, box.Height() - 1));
    });
    return;
  }
  if (Brush.Style == bsSolid) {
    const TEllipseRows e(box.Left, box.Top, box.Right, box.Bottom);
    for (int i = 0; i < e.Rows(); ++i)
      Span(e.Top + i, e.Lo[static_cast<size_t>(i)], e.Hi[static_cast<size_t>(i)], Brush.Color, pmCopy);
  } else if (Brush.Style != bsClear) {
    const QColor c = ToQColor(Brush.Color), back = ToQColor(BackColor);
    const bool opaque = BackColor != clNone;
    const Qt::BrushStyle hatch = HatchOf(Brush.Style);
    Paint([&](QPainter& p) {
      QPainterPath path;
      const TEllipseRows e(box.Left, box.Top, box.Right, box.Bottom);
      for (int i = 0; i < e.Rows(); ++i)
        if (e.Lo[static_cast<size_t>(i)] <= e.Hi[static_cast<size_t>(i)])
          path.addRect(e.Lo[static_cast<size_t>(i)], e.Top + i,
                       e.Hi[static_cast<size_t>(i)] - e.Lo[static_cast<size_t>(i)] + 1, 1);
      if (opaque) p.fillPath(path, back);
      p.fillPath(path, QBrush(c, hatch));
    });
  }
  if (Pen.Style == psClear) return;
  EllipseOutline(box, Pen.Width, [&](int y, int x0, int x1) { Span(y, x0, x1, Pen.Color, Pen.Mode); });
}

void TCanvas::Arc(const TRect& box, int xs, int ys, int xe, int ye) {
  if (Pen.Style == psClear || box.Width() <= 0 || box.Height() <= 0 || box.Width() > 200000 ||
      box.Height() > 200000)
    return;
  const double cx = (box.Left + box.Right) / 2.0, cy = (box.Top + box.Bottom) / 2.0;
  constexpr double kTwoPi = 6.283185307179586;
  // Counter-clockwise on the screen: angles measured with y pointing up.
  const double a0 = std::atan2(cy - ys, xs - cx), a1 = std::atan2(cy - ye, xe - cx);
  const bool full = (xs == xe && ys == ye) || a0 == a1;
  const double sweep = std::fmod(a1 - a0 + 2 * kTwoPi, kTwoPi);
  // The sector by cross products (y up): within the start ray's left turn
  // and the end ray's right turn, or outside the opposite sector.
  const double sx = std::cos(a0), sy = std::sin(a0), ex = std::cos(a1), ey = std::sin(a1);
  const bool wide = sweep > kTwoPi / 2;
  auto in = [&](double px, double py) {
    const bool afterStart = sx * py - sy * px >= 0, beforeEnd = px * ey - py * ex >= 0;
    return wide ? (afterStart || beforeEnd) : (afterStart && beforeEnd);
  };
  EllipseOutline(box, Pen.Width, [&](int y, int x0, int x1) {
    if (full) {
      Span(y, x0, x1, Pen.Color, Pen.Mode);
      return;
    }
    const double py = cy - (y + 0.5);
    for (int x = x0; x <= x1; ++x)
      if (in((x + 0.5) - cx, py)) Span(y, x, x, Pen.Color, Pen.Mode);
  });
}

void TCanvas::Polyline(const TPoint* points, int count) {
  if (!points || count < 2 || Pen.Style == psClear) return;
  if (external_ && Pen.Width > 1) {
    const QColor c = ToQColor(Pen.Color);
    Paint([&](QPainter& p) {
      p.setPen(QPen(c, Pen.Width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      QPolygon poly;
      for (int i = 0; i < count; ++i) poly << QPoint(points[i].X, points[i].Y);
      p.drawPolyline(poly);
    });
    return;
  }
  // Each segment leaves out its end pixel, as a chain of LineTo calls does.
  for (int i = 1; i < count; ++i) {
    MoveTo(points[i - 1].X, points[i - 1].Y);
    LineTo(points[i].X, points[i].Y);
  }
  // Wide pens join round.
  if (Pen.Width > 2 && Pen.Mode == pmCopy) {
    const int w = std::min(Pen.Width, 100000), lo = w / 2;
    for (int i = 1; i + 1 < count; ++i) {
      const TEllipseRows e(points[i].X - lo, points[i].Y - lo, points[i].X - lo + w, points[i].Y - lo + w);
      for (int k = 0; k < e.Rows(); ++k) Span(e.Top + k, e.Lo[static_cast<size_t>(k)], e.Hi[static_cast<size_t>(k)], Pen.Color, pmCopy);
    }
  }
}

void TCanvas::Polygon(const TPoint* points, int count) {
  if (!points || count < 2) return;
  if (Brush.Style != bsClear && count >= 3) {
    if (Brush.Style == bsSolid && !external_) {
      // Even-odd scan conversion: a pixel is filled when its centre lies
      // inside, so the right and bottom edges stay out, as in the framework's fills.
      int64_t top = points[0].Y, bottom = points[0].Y;
      for (int i = 1; i < count; ++i) top = std::min<int64_t>(top, points[i].Y), bottom = std::max<int64_t>(bottom, points[i].Y);
      const TRect c = ClipRect();
      top = std::max<int64_t>(top, std::max(c.Top, 0));
      bottom = std::min<int64_t>(bottom, std::min<int64_t>(c.Bottom, owner_.Height()));
      std::vector<double> xs;
      for (int64_t y = top; y < bottom; ++y) {
        const double sy = y + 0.5;
        xs.clear();
        for (int i = 0; i < count; ++i) {
          const TPoint& a = points[i];
          const TPoint& b = points[(i + 1) % count];
          if ((a.Y <= sy) == (b.Y <= sy)) continue;
          xs.push_back(a.X + (sy - a.Y) * (static_cast<double>(b.X) - a.X) / (static_cast<double>(b.Y) - a.Y));
        }
        std::sort(xs.begin(), xs.end());
        for (size_t k = 0; k + 1 < xs.size(); k += 2) {
          const double x0 = std::ceil(xs[k] - 0.5), x1 = std::ceil(xs[k + 1] - 0.5) - 1;
          if (x1 < x0) continue;
          Span(static_cast<int>(y), static_cast<int>(std::max(x0, -1e9)), static_cast<int>(std::min(x1, 1e9)),
               Brush.Color, pmCopy);
        }
      }
    } else {
      QPolygon poly;
      for (int i = 0; i < count; ++i) poly << QPoint(points[i].X, points[i].Y);
      const QColor c = ToQColor(Brush.Color), back = ToQColor(BackColor);
      const bool opaque = Brush.Style == bsSolid || BackColor != clNone;
      const Qt::BrushStyle style = HatchOf(Brush.Style);
      Paint([&](QPainter& p) {
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setPen(Qt::NoPen);
        if (opaque && Brush.Style != bsSolid) {
          p.setBrush(back);
          p.drawPolygon(poly, Qt::OddEvenFill);
        }
        p.setBrush(QBrush(c, style));
        p.drawPolygon(poly, Qt::OddEvenFill);
      });
    }
  }
  if (Pen.Style == psClear) return;
  std::vector<TPoint> ring(points, points + count);
  ring.push_back(points[0]);
  Polyline(ring.data(), static_cast<int>(ring.size()));
}

}  // namespace pixoran
