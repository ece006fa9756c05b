#include "platform/vectorcanvas.h"

#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace pixoran {

namespace {
// Coordinates past this many device pixels are not drawn: the rasteriser
// works in fixed point and a shape that far out is no picture.
constexpr double kCoordLimit = 8e6;
// A dashed outline longer than this is drawn solid: each dash is a segment.
constexpr double kDashLimit = 2e5;

QColor ToQColor(TColor c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

QImage Wrap(const TVImage& image) {
  return QImage(reinterpret_cast<const uchar*>(image.Pixels.data()), image.Width, image.Height,
                static_cast<qsizetype>(image.Width) * 4, QImage::Format_RGB32);
}

QRectF Box(const double* a) { return QRectF(QPointF(a[0], a[1]), QPointF(a[2], a[3])).normalized(); }
}  // namespace

TVectorCanvas::TVectorCanvas(TBitmap& target) : target_(target) {
  if (!target_.Empty()) painter_ = std::make_unique<QPainter>(&target_.Image());
}

TVectorCanvas::~TVectorCanvas() {
  if (painter_) painter_->end();
}

void TVectorCanvas::SetTransform(double m11, double m12, double m21, double m22, double dx, double dy) {
  const double v[6] = {m11, m12, m21, m22, dx, dy};
  transformValid_ = std::all_of(v, v + 6, [](double x) { return std::isfinite(x) && std::fabs(x) < 1e12; });
  if (painter_ && transformValid_) painter_->setTransform(QTransform(m11, m12, m21, m22, dx, dy));
}

void TVectorCanvas::SetClip(const double* r) {
  if (!painter_) return;
  if (!r) {
    painter_->setClipping(false);
    return;
  }
  const QTransform saved = painter_->transform();
  painter_->resetTransform();
  const double l = std::clamp(r[0], -1.0, 1e6), t = std::clamp(r[1], -1.0, 1e6);
  const double rr = std::clamp(r[2], -1.0, 1e6), b = std::clamp(r[3], -1.0, 1e6);
  painter_->setClipRect(QRectF(QPointF(l, t), QPointF(std::max(l, rr), std::max(t, b))));
  painter_->setTransform(saved);
}

bool TVectorCanvas::Charge(double left, double top, double right, double bottom, int64_t extra) {
  const double v[4] = {left, top, right, bottom};
  if (!std::all_of(v, v + 4, [](double x) { return std::isfinite(x) && std::fabs(x) < kCoordLimit; })) return false;
  const double w = std::clamp(right, 0.0, double(target_.Width())) - std::clamp(left, 0.0, double(target_.Width()));
  const double h = std::clamp(bottom, 0.0, double(target_.Height())) - std::clamp(top, 0.0, double(target_.Height()));
  work_ += static_cast<int64_t>(std::max(0.0, w + 2) * std::max(0.0, h + 2)) + extra;
  return true;
}

void TVectorCanvas::DrawPath(const TVPath& ops, bool winding, const TVPen& pen, const TVBrush& brush, TColor background,
                             bool opaqueBackground) {
  if (!painter_ || !transformValid_ || ops.empty()) return;
  QPainterPath path;
  path.setFillRule(winding ? Qt::WindingFill : Qt::OddEvenFill);
  for (const TVPathOp& op : ops) {
    const double* a = op.A;
    switch (op.Kind) {
      case TVPathOp::Move: path.moveTo(a[0], a[1]); break;
      case TVPathOp::Line: path.lineTo(a[0], a[1]); break;
      case TVPathOp::Cubic: path.cubicTo(a[0], a[1], a[2], a[3], a[4], a[5]); break;
      case TVPathOp::Close: path.closeSubpath(); break;
      case TVPathOp::Ellipse: path.addEllipse(Box(a)); break;
      case TVPathOp::RoundRect: path.addRoundedRect(Box(a), std::fabs(a[4]) / 2, std::fabs(a[5]) / 2); break;
      case TVPathOp::Arc:
      case TVPathOp::Chord:
      case TVPathOp::Pie: {
        const QRectF box = Box(a);
        if (op.Kind == TVPathOp::Pie) path.moveTo(box.center());
        else path.arcMoveTo(box, a[4]);
        path.arcTo(box, a[4], a[5]);
        if (op.Kind != TVPathOp::Arc) path.closeSubpath();
        break;
      }
    }
  }
  const QRectF device = painter_->transform().mapRect(path.controlPointRect());
  if (!Charge(device.left(), device.top(), device.right(), device.bottom(), path.elementCount())) return;
  QPen qpen(Qt::NoPen);
  if (!pen.Null) {
    qpen = QPen(ToQColor(pen.Color));
    qpen.setWidthF(pen.Width > 0 && pen.Width < 1e6 ? pen.Width : 0);
    qpen.setCosmetic(pen.Width <= 0);
    static const Qt::PenStyle kStyles[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine,
                                           Qt::DashDotDotLine};
    const bool shortEnough = device.width() + device.height() < kDashLimit;
    qpen.setStyle(pen.Style < 5 && shortEnough ? kStyles[pen.Style] : Qt::SolidLine);
  }
  QBrush qbrush(Qt::NoBrush);
  switch (brush.Kind) {
    case TVBrush::NullBrush: break;
    case TVBrush::SolidBrush: qbrush = QBrush(ToQColor(brush.Color)); break;
    case TVBrush::HatchBrush: {
      static const Qt::BrushStyle kHatches[] = {Qt::HorPattern,   Qt::VerPattern,   Qt::FDiagPattern,
                                                Qt::BDiagPattern, Qt::CrossPattern, Qt::DiagCrossPattern};
      if (opaqueBackground) painter_->fillPath(path, ToQColor(background));
      qbrush = QBrush(ToQColor(brush.Color), kHatches[std::min<int>(brush.Hatch, 5)]);
      break;
    }
    case TVBrush::ImageBrush:
      if (brush.Pattern && brush.Pattern->Width > 0 && brush.Pattern->Height > 0) qbrush = QBrush(Wrap(*brush.Pattern));
      break;
  }
  painter_->setPen(qpen);
  painter_->setBrush(qbrush);
  painter_->drawPath(path);
}

void TVectorCanvas::DrawImage(double x, double y, double w, double h, const TVImage& image, int32_t sx, int32_t sy,
                              int32_t sw, int32_t sh) {
  if (!painter_ || !transformValid_ || image.Width <= 0 || image.Height <= 0 || sw == 0 || sh == 0) return;
  const QRectF device = painter_->transform().mapRect(QRectF(QPointF(x, y), QPointF(x + w, y + h)).normalized());
  if (!Charge(device.left(), device.top(), device.right(), device.bottom(), 0)) return;
  // A negative width or height mirrors, as the stretch does.
  const QTransform saved = painter_->transform();
  painter_->translate(x, y);
  painter_->scale(w / sw, h / sh);
  painter_->drawImage(QPointF(0, 0), Wrap(image), QRectF(sx, sy, sw, sh));
  painter_->setTransform(saved);
}

void TVectorCanvas::DrawText(double x, double y, const std::u16string& text, const TVFont& font, TColor color,
                             uint32_t align, bool opaqueBackground, TColor background) {
  if (!painter_ || text.empty() || !qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return;
  if (!std::isfinite(font.PixelHeight) || !std::isfinite(font.Angle)) return;
  const int pixels = static_cast<int>(std::clamp(std::fabs(font.PixelHeight), 1.0, 4000.0));
  QFont qfont(QString::fromStdString(font.Face));
  qfont.setPixelSize(pixels);
  qfont.setWeight(static_cast<QFont::Weight>(std::clamp(font.Weight, 100, 900)));
  qfont.setItalic(font.Italic);
  qfont.setUnderline(font.Underline);
  qfont.setStrikeOut(font.StrikeOut);
  const QString s = QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
  const QFontMetricsF metrics(qfont);
  const double width = metrics.horizontalAdvance(s);
  if (!Charge(x - width, y - 2.0 * pixels, x + width, y + 2.0 * pixels, static_cast<int64_t>(s.size()) * pixels))
    return;
  double dx = 0, dy = 0;
  if ((align & 6) == 6) dx = -width / 2;
  else if (align & 2) dx = -width;
  if ((align & 24) == 24) dy = 0;
  else if (align & 8) dy = -metrics.descent();
  else dy = metrics.ascent();
  const QTransform saved = painter_->transform();
  painter_->resetTransform();
  painter_->translate(x, y);
  painter_->rotate(-font.Angle);
  if (opaqueBackground)
    painter_->fillRect(QRectF(dx, dy - metrics.ascent(), width, metrics.height()), ToQColor(background));
  painter_->setFont(qfont);
  painter_->setPen(ToQColor(color));
  painter_->drawText(QPointF(dx, dy), s);
  painter_->setTransform(saved);
}

}  // namespace pixoran
