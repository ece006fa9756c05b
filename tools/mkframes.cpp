// Draws the program's frame catalogue at build time: frames/0 to frames/7,
// four frames per category drawn after the category's name, covering the
// three ways a frame's name makes its transparency, and frames/sample.jpg,
// a made-up 800 x 600 landscape photograph. Frames are drawn at 2400 x 1800
// (a 640 x 480 design scaled up), so they stay sharp stretched over a camera
// picture.
//
//   mkframes OUTPUT_FOLDER
//
// Alpha from red ("frame..." and "petal..." here): the layer's alpha is the
// red of each pixel, so the artwork keeps to colours full of red and the
// window is black. Inverted ("b..."): the program makes the file negative
// and takes the alpha from that negative's red, so the file is dark line
// art with no red on white (white, window included, applies transparent)
// and applies as the same line art in light colours over the picture: the
// stored file reads as the frame it gives. Key colour ("c..." without an
// "a" in the name, lossless files): the window is the key colour.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include "app/UMain_frames.h"

namespace {

// The design's size, and the size the files are drawn at.
constexpr int kW = 640, kH = 480;
constexpr int kFileW = 2400, kFileH = 1800;
constexpr double kPi = 3.14159265358979323846;

enum class TFamily { AlphaFromRed, Negative, KeyColour };

QPainterPath Star(QPointF c, double outer, double inner, int points, double turn = 0) {
  QPainterPath path;
  for (int i = 0; i < 2 * points; ++i) {
    const double r = (i % 2) ? inner : outer;
    const double a = turn - kPi / 2 + i * kPi / points;
    const QPointF p(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
    if (i == 0) path.moveTo(p);
    else path.lineTo(p);
  }
  path.closeSubpath();
  return path;
}

QPainterPath Heart(QPointF c, double s) {
  QPainterPath path;
  path.moveTo(c.x(), c.y() + s * 0.9);
  path.cubicTo(c.x() - s * 1.6, c.y() - s * 0.1, c.x() - s * 0.6, c.y() - s * 1.3, c.x(), c.y() - s * 0.4);
  path.cubicTo(c.x() + s * 0.6, c.y() - s * 1.3, c.x() + s * 1.6, c.y() - s * 0.1, c.x(), c.y() + s * 0.9);
  return path;
}

void Flower(QPainter& p, QPointF c, double r, QColor petal, QColor heart, int petals = 5) {
  p.setPen(Qt::NoPen);
  p.setBrush(petal);
  for (int i = 0; i < petals; ++i) {
    const double a = i * 2 * kPi / petals;
    p.drawEllipse(QPointF(c.x() + r * 0.6 * std::cos(a), c.y() + r * 0.6 * std::sin(a)), r * 0.5, r * 0.5);
  }
  p.setBrush(heart);
  p.drawEllipse(c, r * 0.35, r * 0.35);
}

// Points evenly spaced around the band between the outer edge and the window.
void AroundBand(int inset, int step, const std::function<void(QPointF, int)>& draw) {
  int n = 0;
  for (int x = inset; x <= kW - inset; x += step) {
    draw(QPointF(x, inset), n++);
    draw(QPointF(x, kH - inset), n++);
  }
  for (int y = inset + step; y < kH - inset; y += step) {
    draw(QPointF(inset, y), n++);
    draw(QPointF(kW - inset, y), n++);
  }
}

// The artwork of one frame: category and variant pick the motif; the window
// is left for the caller to cut.
void DrawArtwork(QPainter& p, int category, int variant) {
  p.setRenderHint(QPainter::Antialiasing, true);
  const QRectF all(0, 0, kW, kH);
  switch (category) {
    case 0: {  // free frames: plain bands in warm colours
      const QColor base = variant % 2 ? QColor(255, 236, 200) : QColor(255, 250, 240);
      p.fillRect(all, base);
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(QColor(255, 170, 90), 6));
      p.drawRoundedRect(all.adjusted(14, 14, -14, -14), 18, 18);
      p.setPen(QPen(QColor(255, 120, 120), 2));
      p.drawRoundedRect(all.adjusted(26, 26, -26, -26), 12, 12);
      break;
    }
    case 1: {  // magic world: a night-blue band full of stars
      QLinearGradient g(0, 0, kW, kH);
      g.setColorAt(0, QColor(255, 120, 255));
      g.setColorAt(1, QColor(255, 200, 120));
      p.fillRect(all, g);
      std::mt19937 rng(11 + variant);
      std::uniform_real_distribution<double> u(0, 1);
      p.setPen(Qt::NoPen);
      for (int i = 0; i < 70; ++i) {
        QPointF c(u(rng) * kW, u(rng) * kH);
        if (c.x() > 60 && c.x() < kW - 60 && c.y() > 60 && c.y() < kH - 60) continue;
        p.setBrush(i % 3 ? QColor(255, 255, 190) : QColor(255, 255, 255));
        p.drawPath(Star(c, 6 + u(rng) * 14, 3 + u(rng) * 4, 5, u(rng)));
      }
      break;
    }
    case 2: {  // cute: pink with polka dots and hearts
      p.fillRect(all, QColor(255, 205, 225));
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(255, 255, 255));
      for (int y = 10; y < kH; y += 28)
        for (int x = 10 + (y / 28 % 2) * 14; x < kW; x += 28) p.drawEllipse(QPointF(x, y), 5, 5);
      p.setBrush(QColor(255, 90, 140));
      AroundBand(34, 64, [&](QPointF c, int n) {
        if (n % 2 == variant % 2) p.drawPath(Heart(c, 13));
      });
      break;
    }
    case 3: {  // luxurious metal: bevelled gold with rivets
      QLinearGradient g(0, 0, 0, kH);
      g.setColorAt(0.0, QColor(255, 236, 160));
      g.setColorAt(0.5, QColor(255, 190, 60));
      g.setColorAt(1.0, QColor(255, 225, 130));
      p.fillRect(all, g);
      p.setBrush(Qt::NoBrush);
      for (int k = 0; k < 4; ++k) {
        p.setPen(QPen(k % 2 ? QColor(255, 250, 220) : QColor(230, 150, 40), 3));
        p.drawRect(all.adjusted(8 + k * 9, 8 + k * 9, -8 - k * 9, -8 - k * 9));
      }
      AroundBand(26, 80, [&](QPointF c, int) {
        QRadialGradient r(c - QPointF(2, 2), 7);
        r.setColorAt(0, Qt::white);
        r.setColorAt(1, QColor(240, 160, 50));
        p.setPen(Qt::NoPen);
        p.setBrush(r);
        p.drawEllipse(c, 6, 6);
      });
      break;
    }
    case 4: {  // elegant lace: white scallops and eyelets
      p.fillRect(all, QColor(255, 246, 250));
      p.setPen(QPen(QColor(255, 255, 255), 2));
      p.setBrush(QColor(255, 228, 236));
      AroundBand(50, 24, [&](QPointF c, int) { p.drawEllipse(c, 16, 16); });
      p.setBrush(Qt::white);
      p.setPen(Qt::NoPen);
      AroundBand(22, 24, [&](QPointF c, int n) {
        if (n % 2 == variant % 2) p.drawEllipse(c, 4, 4);
      });
      break;
    }
    case 5: {  // log fragrance: light planks with grain
      p.fillRect(all, QColor(255, 214, 160));
      p.setBrush(Qt::NoBrush);
      for (int k = 0; k < 60; ++k) {
        QPainterPath grain;
        const double y0 = k * kH / 60.0;
        grain.moveTo(0, y0);
        for (int x = 0; x <= kW; x += 20) grain.lineTo(x, y0 + 3 * std::sin(x / 37.0 + k + variant));
        p.setPen(QPen(k % 3 ? QColor(235, 170, 110) : QColor(255, 235, 200), 1.5));
        p.drawPath(grain);
      }
      p.setPen(QPen(QColor(215, 140, 80), 4));
      p.drawRect(all.adjusted(4, 4, -4, -4));
      break;
    }
    case 6: {  // bright flowers and plants
      p.fillRect(all, QColor(255, 250, 215));
      std::mt19937 rng(61 + variant);
      std::uniform_real_distribution<double> u(0, 1);
      AroundBand(30, 46, [&](QPointF c, int n) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(200, 230, 120));
        p.drawEllipse(c + QPointF(14, 10), 12, 6);
        const QColor petals[] = {QColor(255, 80, 80), QColor(255, 200, 0), QColor(255, 120, 200), QColor(255, 150, 60)};
        Flower(p, c, 16 + u(rng) * 6, petals[(n + variant) % 4], QColor(255, 240, 120));
      });
      break;
    }
    default: {  // festive paper-cut: red paper with cut-out patterns
      p.fillRect(all, QColor(255, 30, 40));
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(255, 215, 0));
      AroundBand(28, 56, [&](QPointF c, int n) {
        if (n % 2) {
          p.drawPath(Star(c, 12, 5, 8, variant * 0.2));
        } else {
          QPainterPath d;
          d.moveTo(c.x(), c.y() - 12);
          d.lineTo(c.x() + 12, c.y());
          d.lineTo(c.x(), c.y() + 12);
          d.lineTo(c.x() - 12, c.y());
          d.closeSubpath();
          p.drawPath(d);
        }
      });
      QFont f(QStringLiteral("Noto Serif CJK SC"));
      f.setPixelSize(44);
      f.setBold(true);
      p.setFont(f);
      p.setPen(QColor(255, 230, 120));
      const QString fu = QString::fromUtf8("福");
      for (const QPointF& c : {QPointF(6, 4), QPointF(kW - 52, 4), QPointF(6, kH - 54), QPointF(kW - 52, kH - 54)})
        p.drawText(QRectF(c, QSizeF(48, 50)), Qt::AlignCenter, fu);
      break;
    }
  }
}

// The inverted family's artwork: line art in a dark colour without red on
// white, one motif per category around two rounded borders. Made negative
// by the program it shows the same lines in a light colour (red 255, so
// opaque) and everything white becomes transparent.
void DrawLineArt(QPainter& p, int category) {
  p.setRenderHint(QPainter::Antialiasing, true);
  p.fillRect(QRectF(0, 0, kW, kH), Qt::white);
  static const QColor kInk[8] = {QColor(0, 40, 110), QColor(0, 30, 90), QColor(0, 70, 60), QColor(0, 55, 120),
                                 QColor(0, 60, 100), QColor(0, 50, 40), QColor(0, 80, 50), QColor(0, 20, 70)};
  const QColor ink = kInk[category % 8];
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(ink, 5));
  p.drawRoundedRect(QRectF(12, 12, kW - 24, kH - 24), 18, 18);
  p.setPen(QPen(ink, 2));
  p.drawRoundedRect(QRectF(48, 46, kW - 96, kH - 92), 14, 14);
  p.setPen(QPen(ink, 2.5));
  AroundBand(30, 48, [&](QPointF c, int n) {
    switch (category) {
      case 0: p.drawEllipse(c, 7, 7); break;
      case 1: p.drawPath(Star(c, 11, 5, 5, n * 0.3)); break;
      case 2: p.drawPath(Heart(c, 9)); break;
      case 3: p.drawRect(QRectF(c - QPointF(6, 6), QSizeF(12, 12))); break;
      case 4: p.drawArc(QRectF(c - QPointF(10, 10), QSizeF(20, 20)), 0, 180 * 16); break;
      case 5: p.drawLine(c - QPointF(9, 4), c + QPointF(9, 4)); break;
      case 6:
        for (int k = 0; k < 5; ++k) {
          const double a = k * 2 * kPi / 5;
          p.drawEllipse(QPointF(c.x() + 6 * std::cos(a), c.y() + 6 * std::sin(a)), 4, 4);
        }
        break;
      default: p.drawPath(Star(c, 11, 6, 8, 0.2)); break;
    }
  });
}

// The window: a rounded rectangle, or an oval for variant 1 of the cute and
// flower categories.
void CutWindow(QPainter& p, int category, int variant, QColor fill) {
  // No antialiasing: the window is exactly the fill colour, so the key
  // colour matches and black stays fully transparent.
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(Qt::NoPen);
  p.setBrush(fill);
  const QRectF window(60, 58, kW - 120, kH - 116);
  if ((category == 2 || category == 6) && variant == 1) p.drawEllipse(window);
  else p.drawRoundedRect(window, 16, 16);
}

// A key-colour frame in 256 colours without dithering: the key colour is
// entry 0 and only the window's pixels take it; the border takes the
// nearest of the 255 most used border colours, never the key (error
// diffusion scattered near-key dots over the window, and a border pixel
// mapped to the key would be a hole).
QImage KeyColourPaletted(const QImage& rgb) {
  const QRgb key = qRgb(tolvaren::kFrameKeyRed, tolvaren::kFrameKeyGreen, tolvaren::kFrameKeyBlue);
  // Colours counted in 5-bit bins, each bin remembering its mean colour.
  struct TBin {
    int64_t Count = 0, R = 0, G = 0, B = 0;
  };
  std::vector<TBin> bins(32768);
  const auto binOf = [](QRgb c) { return (qRed(c) >> 3) << 10 | (qGreen(c) >> 3) << 5 | qBlue(c) >> 3; };
  for (int y = 0; y < rgb.height(); ++y)
    for (int x = 0; x < rgb.width(); ++x) {
      const QRgb c = rgb.pixel(x, y);
      if ((c & 0xFFFFFF) == (key & 0xFFFFFF)) continue;
      TBin& b = bins[static_cast<size_t>(binOf(c))];
      ++b.Count;
      b.R += qRed(c);
      b.G += qGreen(c);
      b.B += qBlue(c);
    }
  std::vector<size_t> order(bins.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return bins[a].Count > bins[b].Count; });
  QList<QRgb> table{key};
  for (size_t i : order) {
    const TBin& b = bins[i];
    if (b.Count == 0 || table.size() == 256) break;
    const QRgb c =
        qRgb(static_cast<int>(b.R / b.Count), static_cast<int>(b.G / b.Count), static_cast<int>(b.B / b.Count));
    if ((c & 0xFFFFFF) != (key & 0xFFFFFF)) table.push_back(c);
  }
  QImage out(rgb.size(), QImage::Format_Indexed8);
  out.setColorTable(table);
  std::unordered_map<QRgb, uint8_t> nearest;
  for (int y = 0; y < rgb.height(); ++y) {
    uchar* row = out.scanLine(y);
    for (int x = 0; x < rgb.width(); ++x) {
      const QRgb c = rgb.pixel(x, y) | 0xFF000000u;
      if (c == (key | 0xFF000000u)) {
        row[x] = 0;
        continue;
      }
      auto found = nearest.find(c);
      if (found == nearest.end()) {
        int best = 1, bestD = std::numeric_limits<int>::max();
        for (int i = 1; i < table.size(); ++i) {
          const int dr = qRed(c) - qRed(table[i]), dg = qGreen(c) - qGreen(table[i]), db = qBlue(c) - qBlue(table[i]);
          const int d = dr * dr + dg * dg + db * db;
          if (d < bestD) bestD = d, best = i;
        }
        found = nearest.emplace(c, static_cast<uint8_t>(best)).first;
      }
      row[x] = found->second;
    }
  }
  return out;
}

bool WriteFrame(const QString& path, int category, int variant, TFamily family) {
  QImage img(kFileW, kFileH, QImage::Format_RGB888);
  {
    QPainter p(&img);
    p.scale(static_cast<double>(kFileW) / kW, static_cast<double>(kFileH) / kH);
    QColor window(0, 0, 0);
    if (family == TFamily::Negative) {
      DrawLineArt(p, category);
      window = Qt::white;
    } else {
      DrawArtwork(p, category, variant);
      if (family == TFamily::KeyColour)
        window = QColor(tolvaren::kFrameKeyRed, tolvaren::kFrameKeyGreen, tolvaren::kFrameKeyBlue);
    }
    CutWindow(p, category, variant, window);
  }
  // Lossless key-colour PNGs are paletted: a quarter of the pixel data
  // decodes faster at start-up.
  if (family == TFamily::KeyColour && path.endsWith(".png")) return KeyColourPaletted(img).save(path);
  return img.save(path, nullptr, path.endsWith(".jpg") ? 92 : -1);
}

// A summer lake under mountains, with sensor noise, so it compresses and
// looks like a photograph rather than flat drawing.
bool WriteSample(const QString& path) {
  constexpr int w = 800, h = 600;
  QImage img(w, h, QImage::Format_RGB888);
  {
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    QLinearGradient sky(0, 0, 0, h * 0.55);
    sky.setColorAt(0, QColor(70, 130, 200));
    sky.setColorAt(1, QColor(200, 225, 240));
    p.fillRect(QRectF(0, 0, w, h * 0.55), sky);
    QRadialGradient sun(QPointF(610, 120), 90);
    sun.setColorAt(0, QColor(255, 250, 225));
    sun.setColorAt(0.3, QColor(255, 235, 170, 220));
    sun.setColorAt(1, QColor(255, 235, 170, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(sun);
    p.drawEllipse(QPointF(610, 120), 90, 90);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0, 1);
    for (int k = 0; k < 6; ++k) {  // clouds
      const QPointF c(80 + k * 120 + u(rng) * 40, 70 + u(rng) * 60);
      p.setBrush(QColor(255, 255, 255, 150));
      for (int b = 0; b < 5; ++b) p.drawEllipse(c + QPointF(b * 18 - 36, u(rng) * 10), 30, 16);
    }
    const auto ridge = [&](double base, double amp, double f, double ph, QColor top, QColor bottom) {
      QPainterPath outline;
      outline.moveTo(0, h * 0.62);
      for (int x = 0; x <= w; x += 8)
        outline.lineTo(x, base - amp * (0.6 * std::sin(x * f + ph) + 0.4 * std::sin(x * f * 2.7 + ph * 1.3)));
      outline.lineTo(w, h * 0.62);
      outline.closeSubpath();
      QLinearGradient g(0, base - amp, 0, h * 0.62);
      g.setColorAt(0, top);
      g.setColorAt(1, bottom);
      p.setBrush(g);
      p.drawPath(outline);
    };
    ridge(h * 0.40, 90, 0.010, 0.5, QColor(150, 165, 190), QColor(110, 130, 150));
    ridge(h * 0.50, 60, 0.017, 2.0, QColor(70, 110, 80), QColor(40, 80, 55));
    QLinearGradient lake(0, h * 0.55, 0, h);
    lake.setColorAt(0, QColor(120, 160, 190));
    lake.setColorAt(1, QColor(40, 80, 110));
    p.fillRect(QRectF(0, h * 0.55, w, h * 0.45), lake);
    // The mountains' reflection, darker and blurred by ripples.
    p.setPen(QPen(QColor(255, 255, 255, 60), 1));
    for (int y = static_cast<int>(h * 0.57); y < h; y += 6) {
      const double x0 = u(rng) * w;
      p.drawLine(QPointF(x0, y), QPointF(x0 + 30 + u(rng) * 80, y));
    }
    p.setPen(Qt::NoPen);
    QPainterPath shore;
    shore.moveTo(0, h);
    shore.lineTo(0, h * 0.78);
    shore.cubicTo(w * 0.15, h * 0.72, w * 0.30, h * 0.86, w * 0.42, h);
    shore.closeSubpath();
    p.setBrush(QColor(70, 120, 50));
    p.drawPath(shore);
    for (int k = 0; k < 9; ++k) {  // firs on the shore
      const double x = 20 + k * 32 + u(rng) * 10, y = h * 0.80 + k * 6, s = 50 + u(rng) * 30;
      QPainterPath fir;
      fir.moveTo(x, y - s);
      fir.lineTo(x + s * 0.3, y);
      fir.lineTo(x - s * 0.3, y);
      fir.closeSubpath();
      p.setBrush(QColor(25, 70 + k * 4, 35));
      p.drawPath(fir);
    }
  }
  // Sensor noise and a slight vignette.
  std::mt19937 rng(42);
  std::normal_distribution<double> noise(0, 4.0);
  for (int y = 0; y < h; ++y) {
    uchar* row = img.scanLine(y);
    for (int x = 0; x < w; ++x) {
      const double dx = (x - w / 2.0) / w, dy = (y - h / 2.0) / h;
      const double v = 1.0 - 0.35 * (dx * dx + dy * dy);
      for (int c = 0; c < 3; ++c) {
        const double value = row[3 * x + c] * v + noise(rng);
        row[3 * x + c] = static_cast<uchar>(std::lround(std::fmin(255.0, std::fmax(0.0, value))));
      }
    }
  }
  return img.save(path, "JPEG", 90);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mkframes OUTPUT_FOLDER\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QString out = QString::fromLocal8Bit(argv[1]);
  struct TEntry {
    const char* Name;
    int Variant;
    TFamily Family;
  };
  // Sorted by name, the strip starts with the inverted frame. The files
  // that need no exact colour are JPEG, which decodes fastest at start-up
  // (the first one is read for the preview and the selected thumbnail).
  const TEntry entries[] = {{"b1.jpg", 0, TFamily::Negative},
                            {"c1.png", 1, TFamily::KeyColour},
                            {"c2.bmp", 2, TFamily::KeyColour},
                            {"frame1.jpg", 3, TFamily::AlphaFromRed},
                            {"petal1.jpg", 1, TFamily::AlphaFromRed}};
  bool ok = true;
  for (int category = 0; category < 8; ++category) {
    const QString folder = out + '/' + QString::number(category);
    QDir(folder).removeRecursively();
    ok = QDir().mkpath(folder) && ok;
    // Four frames a category: the fifth entry only where the category has
    // a second alpha-from-red artwork, the second key-colour file otherwise.
    for (const TEntry& e : entries) {
      const bool second = std::string(e.Name) == "petal1.jpg";
      const bool keySecond = std::string(e.Name) == "c2.bmp";
      if ((second && category % 2 == 0) || (keySecond && category % 2 == 1)) continue;
      const tolvaren::TFrameFamilies f = tolvaren::ClassifyFrame(e.Name);
      const bool matches = e.Family == TFamily::Negative    ? f.Inverted && !f.KeyColour
                           : e.Family == TFamily::KeyColour ? f.KeyColour && !f.AlphaFromRed
                                                            : f.AlphaFromRed && !f.Inverted && !f.KeyColour;
      if (!matches) {
        std::fprintf(stderr, "mkframes: %s does not name its family\n", e.Name);
        return 1;
      }
      ok = WriteFrame(folder + '/' + QString::fromLatin1(e.Name), category, e.Variant, e.Family) && ok;
    }
  }
  ok = WriteSample(out + "/sample.jpg") && ok;
  if (!ok) {
    std::fprintf(stderr, "mkframes: could not write the catalogue to %s\n", argv[1]);
    return 1;
  }
  return 0;
}
