// Font mapping (logical fonts, point sizes, the Qt fonts behind them) and
// the canvas's text drawing.
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/graphics.h"
#include "platform/graphics_internal.h"

namespace pixoran {

using namespace graphics_internal;

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
  if (lf.Height < 0) font.Height = lf.Height == INT32_MIN ? INT32_MAX : -lf.Height;
  else if (lf.Height > 0) font.CellHeight = lf.Height;
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
  if (font.CellHeight > 0) lf.Height = font.CellHeight;
  else if (font.Height > 0) lf.Height = -font.Height;
  else lf.Height = PointsToLogHeight(font.Size);
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
                               const std::vector<std::pair<int, int>>* rowSpans = nullptr,
                               const QColor* tint = nullptr) {
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
      QRect Box;                              // relative to the text's point
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
      fresh.Box =
          t.mapRect(QRectF(dx - pad, base - m->ascent() - pad, w + 2 * pad, m->height() + 2 * pad)).toAlignedRect();
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

}  // namespace pixoran
