#include "core/kopxutils_colors.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_containers.h"
#include "core/kopxutils_settings.h"
#include "core/pxpool.h"

namespace pixoran {

// ------------------------------------------------------------ one pixel

TBGR CMYKToRGB(TCMYK p) {
  return TBGR{static_cast<uint8_t>(p.y * p.k / 255), static_cast<uint8_t>(p.m * p.k / 255),
              static_cast<uint8_t>(p.c * p.k / 255)};
}

TCMYK RGBToCMYK(TBGR p) {
  int k = std::max({p.r, p.g, p.b});
  if (k == 0) k = 1;
  return TCMYK{static_cast<uint8_t>(p.r * 255 / k), static_cast<uint8_t>(p.g * 255 / k),
               static_cast<uint8_t>(p.b * 255 / k), static_cast<uint8_t>(k)};
}

void RGBToHSL(TBGR p, double& hue, double& saturation, double& lightness) {
  const double r = p.r / 255.0, g = p.g / 255.0, b = p.b / 255.0;
  const double mx = std::max({r, g, b}), mn = std::min({r, g, b});
  lightness = (mx + mn) / 2.0;
  if (mx == mn) {
    hue = 0.0;
    saturation = 0.0;
    return;
  }
  const double d = mx - mn;
  saturation = lightness >= 0.5 ? d / (2.0 - mx - mn) : d / (mx + mn);
  double h;
  if (mx == r) h = (g - b) / d;
  else if (mx == g) h = (b - r) / d + 2.0;
  else h = (r - g) / d + 4.0;
  hue = h / 6.0;
  if (hue < 0.0) hue += 1.0;
}

static double WrapHue(double h) {
  if (h < 0.0) h += 1.0;
  if (h > 1.0) h -= 1.0;
  return h;
}

static double HueToRGB(double m1, double m2, double h) {
  h = WrapHue(h);
  if (6.0 * h < 1.0) return m1 + (m2 - m1) * 6.0 * h;
  if (2.0 * h < 1.0) return m2;
  if (3.0 * h < 2.0) return m1 + (m2 - m1) * (2.0 / 3.0 - h) * 6.0;
  return m1;
}

static uint8_t UnitToByte(double v) { return BLimit(RoundToInt32(v * 255.0)); }

TBGR HSLToRGB(double hue, double saturation, double lightness) {
  hue = WrapHue(hue);
  saturation = std::clamp(saturation, 0.0, 1.0);  // NaN passes through; UnitToByte takes it as 0
  lightness = std::clamp(lightness, 0.0, 1.0);
  if (saturation == 0.0) {
    const uint8_t v = UnitToByte(lightness);
    return TBGR{v, v, v};
  }
  const double m2 = lightness <= 0.5 ? lightness * (1.0 + saturation) : lightness + saturation - lightness * saturation;
  const double m1 = 2.0 * lightness - m2;
  return MakeBGR(UnitToByte(HueToRGB(m1, m2, hue + 1.0 / 3.0)), UnitToByte(HueToRGB(m1, m2, hue)),
                 UnitToByte(HueToRGB(m1, m2, hue - 1.0 / 3.0)));
}

// Decoding maps white-relative X, Y, Z to linear red, green, blue with this
// matrix; encoding uses its inverse.
namespace {
using TMatrix3 = std::array<std::array<double, 3>, 3>;
constexpr TMatrix3 kXYZToRGB = {{{2.69, -1.276, -0.414}, {-1.022, 1.978, 0.044}, {0.061, -0.224, 1.163}}};
constexpr TMatrix3 Inverse(const TMatrix3& m) {
  const double c00 = m[1][1] * m[2][2] - m[1][2] * m[2][1];
  const double c01 = m[1][2] * m[2][0] - m[1][0] * m[2][2];
  const double c02 = m[1][0] * m[2][1] - m[1][1] * m[2][0];
  const double det = m[0][0] * c00 + m[0][1] * c01 + m[0][2] * c02;
  TMatrix3 r{};
  r[0][0] = c00 / det;
  r[1][0] = c01 / det;
  r[2][0] = c02 / det;
  r[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det;
  r[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
  r[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det;
  r[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
  r[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
  r[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
  return r;
}
constexpr TMatrix3 kRGBToXYZ = Inverse(kXYZToRGB);

// Linear value of a decoded channel byte: the middle of the values that
// Trunc(sqrt(v) * 256) maps to it; 0 and 255 stand for the ends.
double LinearOfByte(uint8_t v) {
  if (v == 0) return 0.0;
  if (v == 255) return 1.0;
  const double s = (v + 0.5) / 256.0;
  return s * s;
}
uint8_t ByteOfLinear(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 1.0) return 255;
  return static_cast<uint8_t>(std::min(255.0, std::sqrt(v) * 256.0));
}
int8_t SignedLabByte(double v) {
  // -128 stands for +128 in these bytes.
  const int32_t q = std::clamp(RoundToInt32((v + 100.0) * 255.0 / 200.0 - 127.0), -127, 128);
  return static_cast<int8_t>(q == 128 ? -128 : q);
}
}  // namespace

// a and b for white-relative x, y, z, by the branch the decoder takes for
// the L byte stored.
static TCIELab EncodeLab(uint8_t lByte, double x, double y, double z) {
  double a, b;
  if (lByte / 255.0 * 100.0 >= 7.9996) {
    const double fy = std::cbrt(y);
    a = 500.0 * (std::cbrt(x) - fy);
    b = 200.0 * (fy - std::cbrt(z));
  } else {
    a = 3893.5 * (x - y);
    b = 1557.4 * (y - z);
  }
  return TCIELab{lByte, SignedLabByte(a), SignedLabByte(b)};
}

TCIELab RGBToCIELab(int32_t color) {
  const TBGR in = IntToBGR(color);
  const double r = LinearOfByte(in.r), g = LinearOfByte(in.g), b = LinearOfByte(in.b);
  const auto& m = kRGBToXYZ;
  const double x = m[0][0] * r + m[0][1] * g + m[0][2] * b;
  const double y = m[1][0] * r + m[1][1] * g + m[1][2] * b;
  const double z = m[2][0] * r + m[2][1] * g + m[2][2] * b;
  // L is continuous across the decoder's two branches, but a and b are not
  // (its dark branch is linear in X and Z): they follow the branch of the
  // stored L byte. Dark saturated colours right at the switch (L bytes 20
  // and 21) can therefore come back a few levels off.
  const double l = y > 0.008856 ? 116.0 * std::cbrt(y) - 16.0 : 903.3 * y;
  return EncodeLab(BLimit(RoundToInt32(l * 255.0 / 100.0)), x, y, z);
}

TBGR CIELabToRGB(uint8_t L, int8_t a, int8_t b) {
  const int32_t ai = a == -128 ? 128 : a;
  const int32_t bi = b == -128 ? 128 : b;
  const double l = L / 255.0 * 100.0;
  const double ap = (ai + 127) / 255.0 * 200.0 - 100.0;
  const double bp = (bi + 127) / 255.0 * 200.0 - 100.0;
  const double fy = (l + 16.0) / 116.0;
  double x, y, z;
  if (l >= 7.9996) {
    const double fx = fy + ap / 500.0, fz = fy - bp / 200.0;
    x = fx * fx * fx;
    y = fy * fy * fy;
    z = fz * fz * fz;
  } else {
    const double h = l / 903.3;
    x = h + ap / 3893.5;
    y = h;
    z = h - bp / 1557.4;
  }
  const auto& m = kXYZToRGB;
  return MakeBGR(ByteOfLinear(m[0][0] * x + m[0][1] * y + m[0][2] * z),
                 ByteOfLinear(m[1][0] * x + m[1][1] * y + m[1][2] * z),
                 ByteOfLinear(m[2][0] * x + m[2][1] * y + m[2][2] * z));
}

// ------------------------------------------------------------ rows

namespace {

// Luminance weights fetched once per call, not once per pixel.
struct TLumWeights {
  int32_t r, g, b;
  TLumWeights() : r(PXSettings().LumRed), g(PXSettings().LumGreen), b(PXSettings().LumBlue) {}
  int32_t operator()(TBGR c) const { return (c.r * r + c.g * g + c.b * b) / 100; }
};

// Per-call view of what decoding a row needs.
struct TRowDecoder {
  TPXPixelFormat Format = pxNone;
  int32_t Width = 0;
  std::array<TBGR, 256> Palette{};  // entries past the bitmap's own are black

  explicit TRowDecoder(TPXBitmap& bitmap) : Format(bitmap.PixelFormat()), Width(bitmap.Width()) {
    if (Format == pxPal8 && bitmap.Palette()) {
      const int32_t n = std::clamp(bitmap.PaletteCount(), 0, 256);
      std::copy(bitmap.Palette(), bitmap.Palette() + n, Palette.begin());
    }
  }

  // Any pixel format to B,G,R triples (pxNone gives black).
  void Decode(const uint8_t* row, TBGR* out) const {
    const int32_t w = Width;
    switch (Format) {
      case pxBW1:
        for (int32_t x = 0; x < w; ++x) {
          const uint8_t v = GetBit(row, x) ? 255 : 0;
          out[x] = TBGR{v, v, v};
        }
        break;
      case pxPal8:
        for (int32_t x = 0; x < w; ++x) out[x] = Palette[row[x]];
        break;
      case pxGray8:
        for (int32_t x = 0; x < w; ++x) out[x] = TBGR{row[x], row[x], row[x]};
        break;
      case pxGray16:
        for (int32_t x = 0; x < w; ++x) {
          const uint8_t v = row[2 * x + 1];  // little-endian word: high byte second
          out[x] = TBGR{v, v, v};
        }
        break;
      case pxBGR24: std::memcpy(out, row, static_cast<size_t>(w) * 3); break;
      case px32f:
        for (int32_t x = 0; x < w; ++x) {
          float f;
          std::memcpy(&f, row + 4 * static_cast<size_t>(x), 4);
          const uint8_t v = FloatToByte(f);
          out[x] = TBGR{v, v, v};
        }
        break;
      case pxCMYK:
        for (int32_t x = 0; x < w; ++x) {
          const uint8_t* p = row + 4 * static_cast<size_t>(x);
          out[x] = CMYKToRGB(TCMYK{p[0], p[1], p[2], p[3]});
        }
        break;
      default: std::fill(out, out + w, TBGR{}); break;
    }
  }
};

// Trunc(rows done * 100 / (height + 0.5)).
struct TRowProgress {
  const TPXProgressRec& Fn;
  double Per;
  TRowProgress(const TPXProgressRec& fn, int32_t height) : Fn(fn), Per(100.0 / (height + 0.5)) {}
  void Row(int32_t done) const { Fn.Report(TruncToInt32(done * Per)); }
  // The handler of row bands: every row's value, in order.
  TPXRowsDone Done() const {
    return [this](int32_t first, int32_t last) {
      for (int32_t y = first; y < last; ++y) Row(y + 1);
      return true;
    };
  }
};

// Packs one bit per pixel (top bit first) into a 1-bit row; the padding
// bits of the last byte stay clear.
template <typename BitOf>
void PackBits(uint8_t* dst, int32_t width, BitOf&& bitOf) {
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    uint8_t v = 0;
    for (int i = 0; i < 8; ++i) v = static_cast<uint8_t>((v << 1) | (bitOf(x + i) ? 1 : 0));
    dst[x >> 3] = v;
  }
  if (x < width) {
    uint8_t v = 0;
    for (int i = 0; i < 8; ++i) v = static_cast<uint8_t>((v << 1) | (x + i < width && bitOf(x + i) ? 1 : 0));
    dst[x >> 3] = v;
  }
}

bool ReadyFor1Bit(TPXBitmap& dest, int32_t w, int32_t h) {
  if (dest.PixelFormat() == pxBW1 && dest.Width() == w && dest.Height() == h) return true;
  return dest.Allocate(w, h, pxBW1);
}

}  // namespace

// ------------------------------------------------------------ whole bitmaps

void AverageColor(TPXBitmap& bitmap, int32_t& red, int32_t& green, int32_t& blue) {
  red = green = blue = 128;
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  if (w <= 0 || h <= 0) return;
  // Only read: rows of a temporary file are not written back (a write that
  // failed here would go unseen).
  TPXAccessScope readOnly(bitmap, pxaRead);
  try {
    const TRowDecoder dec(bitmap);
    int64_t tr = 0, tg = 0, tb = 0;
    // Each band adds its rows' means; integer sums come out the same in any order.
    std::mutex sumLock;
    bool missing = false;
    const std::vector<uint8_t*> rows = PXRowPointers(bitmap);
    PXParallelRows(
        h, w,
        [&](int32_t first, int32_t last) {
          const TRowDecoder bandDec = dec;  // its own copy: the sums cannot be taken to change it
          const int64_t width = w;
          std::vector<TBGR> px(static_cast<size_t>(w));
          int64_t br = 0, bg = 0, bb = 0;
          bool gap = false;
          for (int32_t y = first; y < last && !gap; ++y) {
            const uint8_t* row = rows.empty() ? bitmap.Scanline(y) : rows[static_cast<size_t>(y)];
            if (!row) {
              gap = true;
              break;
            }
            bandDec.Decode(row, px.data());
            int64_t sr = 0, sg = 0, sb = 0;
            for (const TBGR& p : px) sr += p.r, sg += p.g, sb += p.b;
            br += sr / width;
            bg += sg / width;
            bb += sb / width;
          }
          std::lock_guard<std::mutex> g(sumLock);
          tr += br, tg += bg, tb += bb;
          missing = missing || gap;
        },
        rows.empty());
    if (missing) return;
    red = static_cast<int32_t>(tr / h);
    green = static_cast<int32_t>(tg / h);
    blue = static_cast<int32_t>(tb / h);
  } catch (...) {
    red = green = blue = 128;
  }
}

void GrayHistogram(TPXBitmap& bitmap, std::array<int64_t, 256>& histogram) {
  histogram.fill(0);
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  if (w <= 0 || h <= 0) return;
  const TPXPixelFormat f = bitmap.PixelFormat();
  const TLumWeights lum;
  const auto bin = [&](TBGR c) { return BLimit(lum(c)); };
  std::array<uint8_t, 256> palBin{};
  if (f == pxPal8) {
    const TRowDecoder dec(bitmap);
    for (int i = 0; i < 256; ++i) palBin[i] = bin(dec.Palette[i]);
  }
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* row = bitmap.Scanline(y);
    if (!row) return;
    switch (f) {
      case pxBW1:
        for (int32_t x = 0; x < w; ++x) ++histogram[GetBit(row, x) ? 1 : 0];
        break;
      case pxPal8:
        for (int32_t x = 0; x < w; ++x) ++histogram[palBin[row[x]]];
        break;
      case pxGray8:
        for (int32_t x = 0; x < w; ++x) ++histogram[row[x]];
        break;
      case pxGray16:
        for (int32_t x = 0; x < w; ++x) ++histogram[row[2 * x + 1]];
        break;
      case pxBGR24:
        for (int32_t x = 0; x < w; ++x) ++histogram[bin(TBGR{row[3 * x], row[3 * x + 1], row[3 * x + 2]})];
        break;
      case px32f:
        for (int32_t x = 0; x < w; ++x) {
          float v;
          std::memcpy(&v, row + 4 * static_cast<size_t>(x), 4);
          ++histogram[FloatToByte(v)];
        }
        break;
      case pxCMYK:
        for (int32_t x = 0; x < w; ++x) {
          const uint8_t* p = row + 4 * static_cast<size_t>(x);
          ++histogram[bin(CMYKToRGB(TCMYK{p[0], p[1], p[2], p[3]}))];
        }
        break;
      default: return;
    }
  }
}

// Maximum-entropy threshold: the level t that maximises
// ln(P - P^2) + Eb / P + (E - Eb) / (1 - P) over the levels that split the
// histogram into two non-empty parts. The best score starts below any real
// one, so an image of two levels gets a real threshold between them; with
// fewer than two levels -2 is returned.
static int32_t MaxEntropyThreshold(TPXBitmap& source) {
  std::array<int64_t, 256> hist;
  GrayHistogram(source, hist);
  int64_t total = 0;
  for (int64_t c : hist) total += c;
  if (total <= 0) return -2;
  const double n = static_cast<double>(total);
  const auto plogp = [&](int64_t c) {
    const double p = c / n;
    return c > 0 ? -p * std::log(p) : 0.0;
  };
  double entropy = 0;
  for (int64_t c : hist) entropy += plogp(c);
  int32_t threshold = -2;
  double best = -std::numeric_limits<double>::infinity();
  int64_t below = 0;  // pixels of levels 0..t-1, counted exactly
  double eb = 0;
  for (int32_t t = 1; t <= 255; ++t) {
    below += hist[t - 1];
    eb += plogp(hist[t - 1]);
    if (below <= 0 || below >= total) continue;
    const double p = below / n;
    const double score = std::log(p - p * p) + eb / p + (entropy - eb) / (1.0 - p);
    if (score > best) {
      best = score;
      threshold = t;
    }
  }
  return threshold;
}

int32_t ResolveBWThreshold(TPXBitmap& source, int32_t threshold) {
  if (threshold == -1) {
    int32_t r, g, b;
    AverageColor(source, r, g, b);
    return BGRLuminance(MakeBGR(static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b)));
  }
  if (threshold == -2) return MaxEntropyThreshold(source);
  return threshold;
}

// Rows of ThresholdToBW. What is read per pixel comes in by value, so the
// compiler knows the row writes cannot change it.
static void ThresholdBand(TRowDecoder dec, TLumWeights lum, int32_t threshold, int32_t w, uint8_t* const* from,
                          uint8_t* const* to, int32_t count, TBGR* px) {
  for (int32_t i = 0; i < count; ++i) {
    dec.Decode(from[i], px);
    PackBits(to[i], w, [&](int32_t x) { return lum(px[x]) >= threshold; });
  }
}

void ThresholdToBW(TPXBitmap& source, TPXBitmap& dest, int32_t threshold, const TPXProgressRec& progress) {
  if (&source == &dest) return;
  const int32_t w = source.Width(), h = source.Height();
  if (w <= 0 || h <= 0 || !ReadyFor1Bit(dest, w, h)) return;
  const TRowProgress prog(progress, h);
  if (source.PixelFormat() == pxBW1) {
    const int64_t len = std::min(source.RowLen(), dest.RowLen());
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* s = source.Scanline(y);
      uint8_t* d = dest.Scanline(y);
      if (!s || !d) return;
      std::memcpy(d, s, static_cast<size_t>(len));
      prog.Row(y + 1);
    }
    return;
  }
  threshold = ResolveBWThreshold(source, threshold);
  const TRowDecoder dec(source);
  const TLumWeights lum;
  if (PXRowsShareable({&source, &dest})) {
    const std::vector<uint8_t*> from = PXRowPointers(source), to = PXRowPointers(dest);
    PXParallelRows(
        h, w,
        [&](int32_t first, int32_t last) {
          // Kept by each thread: with progress on one thread a band is one row.
          thread_local std::vector<TBGR> px;
          if (px.size() < static_cast<size_t>(w)) px.resize(static_cast<size_t>(w));
          ThresholdBand(dec, lum, threshold, w, from.data() + first, to.data() + first, last - first, px.data());
        },
        false, progress.OnProgress ? prog.Done() : TPXRowsDone{});
    return;
  }
  std::vector<TBGR> px(static_cast<size_t>(w));
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = source.Scanline(y);
    if (!s) return;
    dec.Decode(s, px.data());
    uint8_t* d = dest.Scanline(y);
    if (!d) return;
    PackBits(d, w, [&](int32_t x) { return lum(px[x]) >= threshold; });
    prog.Row(y + 1);
  }
}

// Replaces the bitmap's image by a 1-bit one of the same size, keeping its
// location and alpha channel.
static void TakeOneBitImage(TPXBitmap& bitmap, TPXBitmap& oneBit) { bitmap.CopyPixelsFrom(oneBit); }

void ConvertToBWThreshold(TPXBitmap& bitmap, int32_t threshold, const TPXProgressRec& progress) {
  if (bitmap.PixelFormat() != pxBGR24) return;
  TPXBitmap mask;
  if (!mask.Allocate(bitmap.Width(), bitmap.Height(), pxBW1)) return;
  ThresholdToBW(bitmap, mask, threshold, progress);
  TakeOneBitImage(bitmap, mask);
}

void ConvertToBWOrdered(TPXBitmap& bitmap, const TPXProgressRec& progress) {
  if (bitmap.PixelFormat() != pxBGR24) return;
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  TPXBitmap mask;
  if (!mask.Allocate(w, h, pxBW1)) return;
  const TLumWeights lum;
  const TRowProgress prog(progress, h);
  auto ditherRow = [w, lum](const uint8_t* s, uint8_t* d, int32_t y) {
    PackBits(d, w, [&](int32_t x) {
      const TBGR c{s[3 * x], s[3 * x + 1], s[3 * x + 2]};
      const int32_t level = (c.r >= 251 && c.g >= 251 && c.b >= 251) ? 64 : (lum(c) >> 2);
      return OrderedDitherMatrix[x & 7][y & 7] < level;
    });
  };
  if (PXRowsShareable({&bitmap, &mask})) {
    const std::vector<uint8_t*> from = PXRowPointers(bitmap), to = PXRowPointers(mask);
    PXParallelRows(
        h, w,
        [&](int32_t first, int32_t last) {
          const auto row = ditherRow;  // this band's own copy of what it reads
          for (int32_t y = first; y < last; ++y) row(from[static_cast<size_t>(y)], to[static_cast<size_t>(y)], y);
        },
        false, progress.OnProgress ? prog.Done() : TPXRowsDone{});
  } else {
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* s = bitmap.Scanline(y);
      uint8_t* d = mask.Scanline(y);
      if (!s || !d) return;
      ditherRow(s, d, y);
      prog.Row(y + 1);
    }
  }
  TakeOneBitImage(bitmap, mask);
}

void FillTransparentPixels(TPXBitmap& bitmap, int32_t color) {
  if (bitmap.PixelFormat() != pxBGR24 || !bitmap.HasAlphaChannel()) return;
  TPXBitmap* alpha = bitmap.GetAlphaChannel();
  if (!alpha) return;
  const TBGR c = IntToBGR(color);
  const int32_t w = std::min(bitmap.Width(), alpha->Width());
  const int32_t h = std::min(bitmap.Height(), alpha->Height());
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* a = alpha->Scanline(y);
    uint8_t* p = bitmap.Scanline(y);
    if (!a || !p) return;
    for (int32_t x = 0; x < w; ++x)
      if (a[x] == 0) std::memcpy(p + 3 * static_cast<size_t>(x), &c, 3);
  }
}

std::unique_ptr<TPXBitmap> ExtractTwoColorMask(TPXBitmap& bitmap, TBGR& color1, TBGR& color2) {
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  if (w <= 0 || h <= 0) return nullptr;
  THash1 colors(13);
  auto mask = std::make_unique<TPXBitmap>();
  if (!mask->Allocate(w, h, pxBW1)) return nullptr;
  const TRowDecoder dec(bitmap);
  std::vector<TBGR> px(static_cast<size_t>(w));
  for (int32_t y = 0; y < h && colors.Count() <= 2; ++y) {
    const uint8_t* s = bitmap.Scanline(y);
    if (!s) return nullptr;
    dec.Decode(s, px.data());
    for (const TBGR& p : px) {
      if (colors.Count() >= 1 && p == color1) continue;
      if (colors.Count() >= 2 && p == color2) continue;
      if (colors.Insert(static_cast<uint32_t>(BGRToInt(p)))) (colors.Count() == 1 ? color1 : color2) = p;
    }
    uint8_t* d = mask->Scanline(y);
    if (!d) return nullptr;
    PackBits(d, w, [&](int32_t x) { return !(px[x] == color1); });
  }
  if (colors.Count() != 2) return nullptr;
  const TPXSettings& st = PXSettings();
  const auto lum = [&](TBGR c) {
    return RoundHalfEven((c.r * st.LumRed + c.g * st.LumGreen + c.b * st.LumBlue) / 100.0);
  };
  if (lum(color2) < lum(color1)) {
    InvertBitmapBits(*mask);
    std::swap(color1, color2);
  }
  return mask;
}

int32_t NearestPaletteIndex(const TBGR* palette, int32_t count, int32_t color) {
  if (!palette || count <= 0) return 0;
  const TBGR c = IntToBGR(color);
  int32_t best = 0, bestSum = 1000;
  for (int32_t i = 0; i < count; ++i) {
    const TBGR& e = palette[i];
    const int32_t sum = std::abs(e.r - c.r) + std::abs(e.g - c.g) + std::abs(e.b - c.b);
    if (sum < bestSum) bestSum = sum, best = i;
  }
  return best;
}

namespace {

void SwapRedBlueScalar(const uint8_t* s, uint8_t* d, int64_t n) {
  for (int64_t i = 0; i < n; ++i, s += 3, d += 3) {
    const uint8_t r = s[0], g = s[1], b = s[2];
    d[0] = b, d[1] = g, d[2] = r;
  }
}

#if defined(__x86_64__) || defined(__i386__)
// Five pixels a step with one byte shuffle; each 16-byte load is taken
// before the 15 bytes it gives are stored, so the row may be converted in
// place. Rows are the one place this loop runs hot (PPM, TIFF and JPEG RGB
// rows), and the plain loop does not vectorise on the base instruction set.
__attribute__((target("ssse3"))) void SwapRedBlueSSSE3(const uint8_t* s, uint8_t* d, int64_t n) {
  const __m128i shuffle = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  int64_t i = 0;
  // A load reads one byte past its five pixels: stop while a sixth follows.
  for (; i + 6 <= n; i += 5, s += 15, d += 15) {
    const __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)), shuffle);
    alignas(16) uint8_t out[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(out), v);
    std::memcpy(d, out, 15);
  }
  SwapRedBlueScalar(s, d, n - i);
}
#endif

}  // namespace

void SwapRedBlueRow(const uint8_t* src, uint8_t* dst, int32_t width) {
  if (width <= 0) return;
#if defined(__x86_64__) || defined(__i386__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) {
    SwapRedBlueSSSE3(src, dst, width);
    return;
  }
#endif
  SwapRedBlueScalar(src, dst, width);
}

void CMYKRowToBGR(const uint8_t* src, uint8_t* dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x, src += 4, dst += 3) {
    const TBGR c = CMYKToRGB(TCMYK{src[0], src[1], src[2], src[3]});
    dst[0] = c.b, dst[1] = c.g, dst[2] = c.r;
  }
}

void BGRRowToCMYK(const uint8_t* src, uint8_t* dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x, src += 3, dst += 4) {
    const TCMYK c = RGBToCMYK(TBGR{src[0], src[1], src[2]});
    dst[0] = c.c, dst[1] = c.m, dst[2] = c.y, dst[3] = c.k;
  }
}

void RowToBGR24(TPXPixelFormat format, const uint8_t* src, uint8_t* dst, int32_t width, const TBGR* palette,
                int32_t paletteCount) {
  if (width <= 0) return;
  const auto n = static_cast<size_t>(width);
  switch (format) {
    case pxBW1: {
      const size_t whole = n / 8;
      for (size_t i = 0; i < whole; ++i) std::memcpy(dst + 24 * i, BW1ExpandTable[src[i]].data(), 24);
      if (const size_t rest = n & 7) std::memcpy(dst + 24 * whole, BW1ExpandTable[src[whole]].data(), rest * 3);
      break;
    }
    case pxPal8: {
      const int32_t count = palette ? std::clamp(paletteCount, 0, 256) : 0;
      for (size_t x = 0; x < n; ++x) {
        const TBGR c = src[x] < count ? palette[src[x]] : TBGR{};
        dst[3 * x] = c.b, dst[3 * x + 1] = c.g, dst[3 * x + 2] = c.r;
      }
      break;
    }
    case pxGray8:
      for (size_t x = 0; x < n; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = src[x];
      break;
    case pxGray16:  // little-endian words: the high byte is the second
      for (size_t x = 0; x < n; ++x) dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = src[2 * x + 1];
      break;
    case pxBGR24: std::memmove(dst, src, 3 * n); break;
    case px32f:
      for (size_t x = 0; x < n; ++x) {
        float f;
        std::memcpy(&f, src + 4 * x, 4);
        dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = FloatToByte(f);
      }
      break;
    case pxCMYK: CMYKRowToBGR(src, dst, width); break;
    default: std::memset(dst, 0, 3 * n); break;
  }
}

void InvertBitmapBits(TPXBitmap& bitmap) {
  const int32_t h = bitmap.Height();
  const int32_t len = bitmap.RowLen();
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = bitmap.Scanline(y);
    if (!row) return;
    for (int32_t i = 0; i < len; ++i) row[i] = static_cast<uint8_t>(~row[i]);
  }
}

}  // namespace pixoran
