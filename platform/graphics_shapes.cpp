// The canvas's shapes: spans, ellipses, arcs, polylines and polygons.
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/graphics.h"
#include "platform/graphics_internal.h"

namespace pixoran {

using namespace graphics_internal;

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
  if (Pen.Style == psClear || box.Width() <= 0 || box.Height() <= 0 || box.Width() > 200000 || box.Height() > 200000)
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
      for (int k = 0; k < e.Rows(); ++k)
        Span(e.Top + k, e.Lo[static_cast<size_t>(k)], e.Hi[static_cast<size_t>(k)], Pen.Color, pmCopy);
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
      for (int i = 1; i < count; ++i)
        top = std::min<int64_t>(top, points[i].Y), bottom = std::max<int64_t>(bottom, points[i].Y);
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
