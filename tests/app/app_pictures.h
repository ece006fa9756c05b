#pragma once
// Pictures the program's tests write and read: a test image made with Qt,
// the viewer's picture and a file's picture as size then blue-green-red
// values, in one layout so they compare directly.
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "view/pixoranview.h"

namespace tolvaren::testing {

inline void WriteImage(const std::string& path, int w, int h, const std::function<QRgb(int, int)>& paint) {
  QImage img(w, h, QImage::Format_RGB888);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.setPixel(x, y, paint(x, y));
  QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
  ASSERT_TRUE(img.save(QString::fromStdString(path)));
}

inline QRgb Picture(int x, int y) { return qRgb(40 + x * 5 % 200, 30 + y * 7 % 200, (x * y) % 256); }

// Size, then blue-green-red rows (whatever the pixel format) and the
// alpha rows when there are any.
inline std::vector<int> Pixels(pixoran::TPixoranView& v) {
  pixoran::TPXBitmap* b = v.GetPXBitmap();
  std::vector<int> out{b->Width(), b->Height()};
  for (int y = 0; y < b->Height(); ++y)
    for (int x = 0; x < b->Width(); ++x) {
      const pixoran::TBGR p = b->GetPixel24(x, y);
      out.insert(out.end(), {p.b, p.g, p.r});
    }
  if (b->HasAlphaChannel())
    for (int y = 0; y < b->Height(); ++y) {
      const uint8_t* a = b->GetAlphaChannel()->Scanline(y);
      out.insert(out.end(), a, a + b->Width());
    }
  return out;
}

// The picture of a file read by Qt, in the same layout (no alpha).
inline std::vector<int> FilePixels(const std::string& path) {
  const QImage img = QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB888);
  std::vector<int> out{img.width(), img.height()};
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      const QRgb p = img.pixel(x, y);
      out.insert(out.end(), {qBlue(p), qGreen(p), qRed(p)});
    }
  return out;
}

}  // namespace tolvaren::testing
