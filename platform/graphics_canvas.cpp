// The canvas: clipping, fills, pixels, lines, rectangles and bitmaps.
#include <QPainter>
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/graphics.h"
#include "platform/graphics_internal.h"

namespace pixoran {

namespace graphics_internal {

// Called for every span: the table is read directly, not entry by entry.
bool IsGreyRamp(const QImage& img) {
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

Qt::BrushStyle HatchOf(TBrushStyle s) {
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

}  // namespace graphics_internal

using namespace graphics_internal;

void TCanvas::SetClipRect(const TRect* clip) {
  clipped_ = clip != nullptr;
  if (clip) clip_ = *clip;
}

TRect TCanvas::ClipRect() const {
  if (clipped_) return clip_;
  if (external_ && external_->device()) return Rect(0, 0, external_->device()->width(), external_->device()->height());
  return Rect(0, 0, owner_.Width(), owner_.Height());
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
      if (vertical) p.fillRect(QRect(r.Left, r.Top + i, r.Width(), 1), c);
      else p.fillRect(QRect(r.Left + i, r.Top, 1, r.Height()), c);
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

}  // namespace pixoran
