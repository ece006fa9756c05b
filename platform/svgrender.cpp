#include "platform/svgrender.h"

#include <QPainter>
#include <QSvgRenderer>

namespace pixoran {

bool DrawSvgOnBitmap(const std::string& svg, TBitmap& bitmap) {
  QSvgRenderer renderer(QByteArray(svg.data(), static_cast<qsizetype>(svg.size())));
  if (!renderer.isValid() || bitmap.Empty()) return false;
  QPainter painter(&bitmap.Image());
  renderer.render(&painter, QRectF(0, 0, bitmap.Width(), bitmap.Height()));
  return true;
}

}  // namespace pixoran
