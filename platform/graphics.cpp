// Framework colours and the platform bitmap; the canvas is in
// graphics_canvas.cpp, graphics_shapes.cpp and graphics_fonts.cpp.
#include "platform/graphics.h"

#include <QGuiApplication>
#include <QScreen>
#include <cstring>

namespace pixoran {

TColor ColorToRGB(TColor color) {
  if ((color & clSystemColor) == 0) return color & 0xFFFFFF;
  // Classic desktop scheme.
  static const TColor kSystem[] = {0xC8D0D4, 0x984E00, 0x6A240A, 0x808080, 0xC8D0D4, 0xFFFFFF, 0x000000, 0x000000,
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

// ------------------------------------------------------------ screen

static QScreen* PrimaryScreen() { return QGuiApplication::instance() ? QGuiApplication::primaryScreen() : nullptr; }

int ScreenWidth() {
  QScreen* s = PrimaryScreen();
  return s ? s->geometry().width() : 0;
}

int ScreenHeight() {
  QScreen* s = PrimaryScreen();
  return s ? s->geometry().height() : 0;
}

int ScreenColorDepth() {
  QScreen* s = PrimaryScreen();
  return s ? s->depth() : 24;
}

int ScreenDpiX() {
  QScreen* s = PrimaryScreen();
  return s ? static_cast<int>(s->logicalDotsPerInchX()) : 96;
}

int ScreenDpiY() {
  QScreen* s = PrimaryScreen();
  return s ? static_cast<int>(s->logicalDotsPerInchY()) : 96;
}

}  // namespace pixoran
