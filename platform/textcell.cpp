#include "platform/textcell.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <optional>

namespace pixoran {

namespace {
// The layout asks for the same few fonts thousands of times per pass, so the
// last font and its metrics are kept (UI thread only).
struct TFontCache {
  TFont Key;
  bool Valid = false;
  std::optional<QFont> Font;
  std::optional<QFontMetrics> Metrics;
};

bool SameFont(const TFont& a, const TFont& b) {
  return a.Name == b.Name && a.Size == b.Size && a.Height == b.Height && a.Bold == b.Bold &&
         a.Italic == b.Italic && a.Underline == b.Underline && a.StrikeOut == b.StrikeOut;
}

const TFontCache* Lookup(const TFont& f) {
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return nullptr;
  static TFontCache cache;
  if (!cache.Valid || !SameFont(cache.Key, f)) {
    QFont q(QString::fromStdString(f.Name));
    if (f.Height > 0)
      q.setPixelSize(f.Height);
    else
      q.setPointSize(std::max(1, f.Size));
    q.setBold(f.Bold);
    q.setItalic(f.Italic);
    q.setUnderline(f.Underline);
    q.setStrikeOut(f.StrikeOut);
    cache.Key = f;
    cache.Font = q;
    cache.Metrics.emplace(q);
    cache.Valid = true;
  }
  return &cache;
}

QColor Q(TColor c) {
  c = ColorToRGB(c);
  return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}
}  // namespace

TCellMetrics CellMetrics(const TFont& font) {
  const TFontCache* c = Lookup(font);
  if (!c) return {};
  return TCellMetrics{c->Metrics->height(), c->Metrics->ascent(), c->Metrics->descent()};
}

int32_t CharAdvance(const TFont& font, char32_t c) {
  const TFontCache* fc = Lookup(font);
  if (!fc) return 0;
  return fc->Metrics->horizontalAdvance(QString::fromUcs4(&c, 1));
}

void DrawCellChar(TBitmap& target, const TFont& font, const TBrush& brush, int x, int baselineY, char32_t c,
                  const TRect* clip) {
  const TFontCache* fc = Lookup(font);
  if (!fc || target.Empty()) return;
  const QString s = QString::fromUcs4(&c, 1);
  QPainter p(&target.Image());
  if (clip) p.setClipRect(QRect(clip->Left, clip->Top, clip->Width(), clip->Height()));
  if (brush.Style != bsClear)
    p.fillRect(QRect(x, baselineY - fc->Metrics->ascent(), fc->Metrics->horizontalAdvance(s), fc->Metrics->height()),
               Q(brush.Color));
  p.setFont(*fc->Font);
  p.setPen(Q(font.Color));
  p.drawText(QPoint(x, baselineY), s);
}

}  // namespace pixoran
