#pragma once
// What the canvas files of the platform graphics share: colour conversion,
// the grey-ramp test, the hatch styles and the painter that copes with
// indexed bitmaps.
#include <QColor>
#include <QImage>
#include <QPainter>
#include <cstdint>
#include <cstring>

#include "platform/pxexport.h"
#include "platform/graphics.h"

namespace pixoran {

namespace graphics_internal {

inline QColor ToQColor(TColor c) {
  c = ColorToRGB(c);
  return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

// An indexed 8-bit image whose palette is the grey ramp (entry i = (i, i, i)).
PIXORAN_PLATFORM_EXPORT bool IsGreyRamp(const QImage& img);

PIXORAN_PLATFORM_EXPORT Qt::BrushStyle HatchOf(TBrushStyle s);

}  // namespace graphics_internal

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
  if (graphics_internal::IsGreyRamp(img)) {
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

}  // namespace pixoran
