#include "platform/graphics.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <algorithm>
#include <cstring>

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
  Paint([&](QPainter& p) {
    p.fillRect(q, back);
    p.fillRect(q, QBrush(c, hatch));
  });
}

// Pixels along a line (Bresenham), drawn straight into the rows so the
// inverting and exclusive-or modes work on every true-colour bitmap; the
// pen style's pattern runs along the line.
void TCanvas::PixelLine(int x0, int y0, int x1, int y1, bool lastPixel) {
  QImage& img = owner_.Image();
  if (img.isNull() || Pen.Style == psClear) return;
  const TRect c = ClipRect();
  const int cl = std::max(c.Left, 0), ct = std::max(c.Top, 0);
  const int cr = std::min(c.Right, img.width()), cb = std::min(c.Bottom, img.height());
  const TColor pen = ColorToRGB(Pen.Color);
  const uint8_t pr = pen & 0xFF, pg = (pen >> 8) & 0xFF, pb = (pen >> 16) & 0xFF;
  const bool bgr = img.format() == QImage::Format_BGR888;
  const bool rgb32 = img.format() == QImage::Format_RGB32 || img.format() == QImage::Format_ARGB32;
  auto plot = [&](int x, int y, int64_t step) {
    if (Pen.Style == psDot && (step & 1)) return;
    if (Pen.Style == psDash && (step % 8) >= 6) return;
    if (x < cl || x >= cr || y < ct || y >= cb) return;
    if (bgr) {
      uint8_t* o = img.scanLine(y) + 3 * static_cast<size_t>(x);
      if (Pen.Mode == pmNot) o[0] = ~o[0], o[1] = ~o[1], o[2] = ~o[2];
      else if (Pen.Mode == pmXor) o[0] ^= pb, o[1] ^= pg, o[2] ^= pr;
      else o[0] = pb, o[1] = pg, o[2] = pr;
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
  const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
  const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
  int err = dx + dy, x = x0, y = y0;
  for (int64_t step = 0;; ++step) {
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
  if (Pen.Width <= 1 || Pen.Mode != pmCopy || Pen.Style != psSolid) {
    PixelLine(x0, y0, x, y, false);
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

static QFont ToQFont(const TFont& f) {
  QFont q(QString::fromStdString(f.Name));
  if (f.Height > 0)
    q.setPixelSize(f.Height);
  else
    q.setPointSize(std::max(1, f.Size));
  q.setBold(f.Bold);
  q.setItalic(f.Italic);
  q.setUnderline(f.Underline);
  q.setStrikeOut(f.StrikeOut);
  return q;
}

void TCanvas::TextOut(int x, int y, const std::string& utf8) {
  if (!QGuiApplication::instance()) return;
  const QFont f = ToQFont(Font);
  const QColor c = ToQColor(Font.Color);
  const QColor bg = ToQColor(Brush.Color);
  Paint([&](QPainter& p) {
    p.setFont(f);
    QFontMetrics m(f);
    const QString s = QString::fromUtf8(utf8.c_str());
    p.fillRect(QRect(x, y, m.horizontalAdvance(s), m.height()), bg);
    p.setPen(c);
    p.drawText(QPoint(x, y + m.ascent()), s);
  });
}

int TCanvas::TextWidth(const std::string& utf8) const {
  if (!QGuiApplication::instance()) return 0;
  return QFontMetrics(ToQFont(Font)).horizontalAdvance(QString::fromUtf8(utf8.c_str()));
}

int TCanvas::TextHeight(const std::string&) const {
  if (!QGuiApplication::instance()) return 0;
  return QFontMetrics(ToQFont(Font)).height();
}

}  // namespace pixoran
