// The Shen-Castan edge detector and the processing component's EdgeDetect.
#include "proc/pxedges.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "proc/pixoranproc.h"
#include "proc/pxbands_internal.h"

namespace pixoran {

namespace {

// The work images are the picture with a border of this many pixels on
// each side, wrapped around from the opposite side; the interior where
// edges are looked for starts kInset pixels in (rows and columns kInset to
// size - kInset - 1).
constexpr int64_t kBorder = 27;
constexpr int64_t kInset = kPXEdgeInset;

// The enlarged, wrapped grey image as floats.
struct TEdgeImages {
  int64_t W = 0, H = 0;    // enlarged size
  std::vector<float> Raw;  // unsmoothed, later the gradient
  std::vector<float> Smooth;
  std::vector<uint8_t> Marks;  // the binary Laplacian, later the edge marks
  int64_t At(int64_t r, int64_t c) const { return r * W + c; }
};

int64_t WrapIndex(int64_t v, int64_t n) { return ((v % n) + n) % n; }

// work(first, last) over lines [0, n) of a work image, in bands on the pool
// (serial: on this thread alone). Every step below gives each line the same
// result however the lines are cut into bands.
void Bands(int64_t n, int64_t perLine, const std::function<void(int64_t first, int64_t last)>& work,
           bool serial = false) {
  if (n <= 0) return;
  if (n > std::numeric_limits<int32_t>::max()) {
    work(0, n);
    return;
  }
  PXParallelRows(
      static_cast<int32_t>(n), perLine, [&](int32_t first, int32_t last) { work(first, last); }, serial);
}

void BuildEnlarged(TPXBitmap& source, TEdgeImages& im) {
  const int32_t w = source.Width(), h = source.Height();
  const TPXSettings& s = PXSettings();
  const int32_t wr = s.LumRed, wg = s.LumGreen, wb = s.LumBlue;
  std::vector<int64_t> column(static_cast<size_t>(im.W));
  for (int64_t x = 0; x < im.W; ++x) column[static_cast<size_t>(x)] = WrapIndex(x - kBorder, w);
  const TPXBandRows rows(source);
  Bands(
      im.H, im.W,
      [&](int64_t first, int64_t last) {
        std::vector<float> grey(static_cast<size_t>(w));
        int64_t greyRow = -1;
        for (int64_t y = first; y < last; ++y) {
          const int64_t sy = WrapIndex(y - kBorder, h);
          if (sy != greyRow) {
            greyRow = sy;
            const uint8_t* p = rows[static_cast<int32_t>(sy)];
            for (int32_t x = 0; x < w; ++x) {
              const int32_t l = p ? (p[3 * x + 2] * wr + p[3 * x + 1] * wg + p[3 * x] * wb) / 100 : 0;
              grey[static_cast<size_t>(x)] = static_cast<float>(std::clamp(l, 0, 255));
            }
          }
          float* out = &im.Raw[static_cast<size_t>(im.At(y, 0))];
          for (int64_t x = 0; x < im.W; ++x) out[x] = grey[static_cast<size_t>(column[static_cast<size_t>(x)])];
        }
      },
      rows.Serial());
}

// The exponential smoothing filter along a line x[0..n-1]: causal
// y[k] = a1 x[k] + b y[k-1], anti-causal z[k] = b1 x[k] + b z[k+1], result
// y[k] + z[k+1] (y[n-1] at the end). Computed in double, stored as float:
// on a uniform area the result is then the area's value exactly.
struct TIsef {
  double A1, B, B1;
  explicit TIsef(double b) : A1((1 - b) / (1 + b)), B(b), B1(b * (1 - b) / (1 + b)) {}
};

// Down the columns of src into dst, strips of columns at a time so each
// step works along a row; strips in bands.
void SmoothColumns(const TIsef& f, const std::vector<float>& src, std::vector<float>& dst, int64_t w, int64_t h) {
  constexpr int64_t kStrip = 64;
  Bands((w + kStrip - 1) / kStrip, kStrip * h, [&](int64_t firstStrip, int64_t lastStrip) {
    std::vector<double> y(static_cast<size_t>(h * kStrip)), z(kStrip);
    for (int64_t c0 = firstStrip * kStrip; c0 < w && c0 < lastStrip * kStrip; c0 += kStrip) {
      const int64_t sw = std::min(kStrip, w - c0);
      for (int64_t n = 0; n < h; ++n) {
        const float* x = &src[static_cast<size_t>(n * w + c0)];
        double* yn = &y[static_cast<size_t>(n * kStrip)];
        if (n == 0) {
          for (int64_t k = 0; k < sw; ++k) yn[k] = f.A1 * x[k];
        } else {
          const double* yp = yn - kStrip;
          for (int64_t k = 0; k < sw; ++k) yn[k] = f.A1 * x[k] + f.B * yp[k];
        }
      }
      for (int64_t n = h - 1; n >= 0; --n) {
        const float* x = &src[static_cast<size_t>(n * w + c0)];
        float* r = &dst[static_cast<size_t>(n * w + c0)];
        const double* yn = &y[static_cast<size_t>(n * kStrip)];
        for (int64_t k = 0; k < sw; ++k) {
          r[k] = static_cast<float>(n == h - 1 ? yn[k] : yn[k] + z[static_cast<size_t>(k)]);
          z[static_cast<size_t>(k)] = n == h - 1 ? f.B1 * x[k] : f.B1 * x[k] + f.B * z[static_cast<size_t>(k)];
        }
      }
    }
  });
}

// Along every row, in place; rows in bands.
void SmoothRows(const TIsef& f, std::vector<float>& img, int64_t w, int64_t h) {
  Bands(h, w, [&](int64_t first, int64_t last) {
    std::vector<double> y(static_cast<size_t>(w));
    for (int64_t n = first; n < last; ++n) {
      float* x = &img[static_cast<size_t>(n * w)];
      double prev = 0;
      for (int64_t k = 0; k < w; ++k) prev = y[static_cast<size_t>(k)] = f.A1 * x[k] + (k ? f.B * prev : 0.0);
      double z = f.B1 * x[w - 1];
      x[w - 1] = static_cast<float>(y[static_cast<size_t>(w - 1)]);
      for (int64_t k = w - 2; k >= 0; --k) {
        const double xk = x[k];
        x[k] = static_cast<float>(y[static_cast<size_t>(k)] + z);
        z = f.B1 * xk + f.B * z;
      }
    }
  });
}

// The high threshold: from the top bin of a 256-bin histogram of the
// interior's gradients down until the bins hold ratio of the enlarged
// image's pixel count (or the lowest bin is reached).
// The least and largest value and the counts are the same whichever band
// finds them first.
double HighThreshold(const TEdgeImages& im, double ratio) {
  const float* g = im.Raw.data();
  const double start = std::fabs(g[im.At(20, 20)]);
  double lo = start, hi = lo;
  std::mutex lock;
  Bands(im.H - 2 * kInset, im.W, [&](int64_t first, int64_t last) {
    double bandLo = start, bandHi = start;
    for (int64_t r = kInset + first; r < kInset + last; ++r)
      for (int64_t c = kInset; c < im.W - kInset; ++c) {
        const double v = g[im.At(r, c)];
        if (v < bandLo) bandLo = v;
        if (v > bandHi) bandHi = v;
      }
    std::lock_guard<std::mutex> held(lock);
    if (bandLo < lo) lo = bandLo;
    if (bandHi > hi) hi = bandHi;
  });
  const double scale = 256.0 / (hi - lo + 1);
  std::array<int64_t, 256> histogram{};
  Bands(im.H - 2 * kInset, im.W, [&](int64_t first, int64_t last) {
    std::array<int64_t, 256> counts{};
    for (int64_t r = kInset + first; r < kInset + last; ++r)
      for (int64_t c = kInset; c < im.W - kInset; ++c)
        ++counts[static_cast<size_t>(std::clamp(TruncToInt32((g[im.At(r, c)] - lo) * scale), 0, 255))];
    std::lock_guard<std::mutex> held(lock);
    for (size_t i = 0; i < counts.size(); ++i) histogram[i] += counts[i];
  });
  const double wanted = std::trunc(static_cast<double>(im.H) * ratio * static_cast<double>(im.W));
  int32_t bin = 255;
  int64_t count = histogram[255];
  while (static_cast<double>(count) < wanted && bin > 0) count += histogram[static_cast<size_t>(--bin)];
  return bin / scale + lo;
}

// Follows edges from every interior pixel above the high threshold. A step
// onto a pixel marks it (1 above the low threshold, else 255 for later
// removal) and moves on to the first of its neighbours, in a fixed order,
// that is inside the image, unmarked and of non-zero gradient; a pixel
// that led on, past the start, keeps its mark only every thinFactor-th
// step. Marks are only ever tested for being non-zero while tracing, so
// each chain is walked in a loop, however long, in the order the
// recursive description visits it.
void Trace(TEdgeImages& im, double high, double low, int32_t thinFactor) {
  static constexpr int64_t kNext[8][2] = {{0, 1}, {0, -1}, {1, 1}, {1, 0}, {1, -1}, {-1, -1}, {-1, 0}, {-1, 1}};
  std::fill(im.Marks.begin(), im.Marks.end(), 0);
  const float* g = im.Raw.data();
  uint8_t* mark = im.Marks.data();
  auto open = [&](int64_t r, int64_t c) {
    return r >= 0 && r < im.H && c >= 0 && c < im.W && mark[im.At(r, c)] == 0 && g[im.At(r, c)] != 0;
  };
  for (int64_t r0 = kInset; r0 < im.H - kInset; ++r0)
    for (int64_t c0 = kInset; c0 < im.W - kInset; ++c0) {
      if (!(g[im.At(r0, c0)] > high) || !open(r0, c0)) continue;
      int64_t r = r0, c = c0;
      for (int64_t depth = 0;; ++depth) {
        const int64_t i = im.At(r, c);
        mark[i] = g[i] > low ? 1 : 255;
        int k = 0;
        while (k < 8 && !open(r + kNext[k][0], c + kNext[k][1])) ++k;
        if (k == 8) break;
        if (depth > 0 && thinFactor > 0 && depth % thinFactor != 0) mark[i] = 255;
        r += kNext[k][0];
        c += kNext[k][1];
      }
    }
}

}  // namespace

void EdgeGradients(const float* smooth, const uint8_t* laplacian, float* gradient, int64_t width, int64_t height,
                   int32_t windowSize) {
  Bands(height, width,
        [&](int64_t first, int64_t last) { std::fill(gradient + first * width, gradient + last * width, 0.0f); });
  const int64_t half = std::clamp(windowSize, 1, 51) / 2;  // larger would reach past the image
  if (width <= 2 * kInset || height <= 2 * kInset) return;
  const int64_t side = 2 * half + 1, cells = side * side;
  // The sums are taken in fixed point, so adding a row and taking one away
  // again leaves no trace: every window's sums are exact whatever the order,
  // and a band of rows that starts its sums afresh gets the same ones.
  // The scale keeps a window's sum of magnitudes within int64.
  float top = 0;
  std::mutex topLock;
  Bands(height, width, [&](int64_t first, int64_t last) {
    float bandTop = 0;
    for (int64_t i = first * width; i < last * width; ++i)
      if (std::isfinite(smooth[i])) bandTop = std::max(bandTop, std::fabs(smooth[i]));
    std::lock_guard<std::mutex> held(topLock);
    top = std::max(top, bandTop);
  });
  int scale = 40;
  while (scale > -100 && std::ldexp(static_cast<double>(top), scale) * static_cast<double>(cells) >= 0x1p61) --scale;
  const double factor = std::ldexp(1.0, scale);  // a power of two: the products are exact
  const auto fixed = [top, factor](float v) {
    return std::isnan(v) ? int64_t{0} : std::llrint(static_cast<double>(std::clamp(v, -top, top)) * factor);
  };

  // Per column, over the window's rows: the sum of all values and of those
  // on the Laplacian, the count on it, and the counts of non-zero values in
  // all and on it (a mean whose sum is 0, all values 0, counts as 0).
  struct TSums {
    int64_t All = 0, On = 0;
    int32_t CountOn = 0, NonZero = 0, NonZeroOn = 0;
    void Add(int64_t q, int32_t l, int32_t nonZero, int32_t sign) {
      // Without branches: l and nonZero are 0 or 1.
      All += sign * q;
      On += sign * (q & -static_cast<int64_t>(l));
      CountOn += sign * l;
      NonZeroOn += sign * (l & nonZero);
      NonZero += sign * nonZero;
    }
    void Add(const TSums& o, int32_t sign) {
      All += sign * o.All;
      On += sign * o.On;
      CountOn += sign * o.CountOn;
      NonZero += sign * o.NonZero;
      NonZeroOn += sign * o.NonZeroOn;
    }
  };
  const double unit = std::ldexp(1.0, -scale);
  Bands(height - 2 * kInset, width, [&](int64_t first, int64_t last) {
    std::vector<TSums> column(static_cast<size_t>(width));
    const auto addRow = [&](int64_t r, int32_t sign) {
      const float* s = smooth + r * width;
      const uint8_t* l = laplacian + r * width;
      for (int64_t c = 0; c < width; ++c) column[static_cast<size_t>(c)].Add(fixed(s[c]), l[c] != 0, s[c] != 0, sign);
    };
    const int64_t r0 = kInset + first;
    for (int64_t r = r0 - half; r < r0 + half; ++r) addRow(r, 1);
    for (int64_t r = r0; r < kInset + last; ++r) {
      addRow(r + half, 1);
      if (r > r0) addRow(r - half - 1, -1);
      const float* s = smooth + r * width;
      const uint8_t* L = laplacian + r * width;
      float* g = gradient + r * width;
      TSums win;
      for (int64_t c = kInset - half; c < kInset + half; ++c) win.Add(column[static_cast<size_t>(c)], 1);
      for (int64_t c = kInset; c < width - kInset; ++c) {
        win.Add(column[static_cast<size_t>(c + half)], 1);
        if (c > kInset) win.Add(column[static_cast<size_t>(c - half - 1)], -1);
        // A zero crossing of the Laplacian whose slope has the crossing's
        // sign, tested in this order.
        if (L[c] != 1) continue;
        bool candidate = false;
        if (L[c + width] == 0) candidate = s[c + width] - s[c - width] > 0;
        else if (L[c + 1] == 0) candidate = s[c + 1] - s[c - 1] > 0;
        else if (L[c - width] == 0) candidate = s[c + width] - s[c - width] < 0;
        else if (L[c - 1] == 0) candidate = s[c + 1] - s[c - 1] < 0;
        if (!candidate) continue;
        const int64_t countOff = cells - win.CountOn;
        const double meanOff =
            win.NonZero - win.NonZeroOn > 0 ? static_cast<double>(win.All - win.On) * unit / countOff : 0.0;
        const double meanOn = win.NonZeroOn > 0 ? static_cast<double>(win.On) * unit / win.CountOn : 0.0;
        g[c] = static_cast<float>(meanOff - meanOn);
      }
    }
  });
}

bool DetectEdges(TPXBitmap& source, TPXBitmap& dest, const TPXEdgeParams& params, const TPXProgressRec& progress) {
  const int32_t w = source.Width(), h = source.Height();
  if (source.PixelFormat() != pxBGR24 || w <= 0 || h <= 0) return false;
  const auto report = [&](int step) {
    if (progress.OnProgress) progress.Report(TruncToInt32(100.0 / 6 * step));
  };
  TEdgeImages im;
  im.W = w + 2 * kBorder;
  im.H = h + 2 * kBorder;
  const auto n = static_cast<size_t>(im.W * im.H);
  try {
    im.Raw.resize(n);
    im.Smooth.resize(n);
    im.Marks.assign(n, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }

  BuildEnlarged(source, im);
  report(1);

  const TIsef isef(params.Smoothing);
  SmoothColumns(isef, im.Raw, im.Smooth, im.W, im.H);
  SmoothRows(isef, im.Smooth, im.W, im.H);
  report(2);

  // The interior: rows and columns 25 .. size - 26.
  Bands(im.H - 2 * kInset, im.W, [&](int64_t first, int64_t last) {
    for (int64_t r = kInset + first; r < kInset + last; ++r)
      for (int64_t c = kInset; c < im.W - kInset; ++c) {
        const int64_t i = im.At(r, c);
        im.Marks[static_cast<size_t>(i)] = im.Smooth[static_cast<size_t>(i)] - im.Raw[static_cast<size_t>(i)] > 0;
      }
  });
  report(3);

  // The unsmoothed image is not needed any more: it takes the gradients.
  EdgeGradients(im.Smooth.data(), im.Marks.data(), im.Raw.data(), im.W, im.H, params.WindowSize);
  report(4);
  im.Smooth = {};

  const double high = HighThreshold(im, params.Ratio);
  const double low = params.Hysteresis ? high / 2 : high;
  Trace(im, high, low, params.ThinFactor);
  report(5);
  report(6);

  // Edges (marks of 1) black, everything else white; column 0 and the last
  // row white.
  if (!dest.Allocate(w, h, pxBW1)) return false;
  const TPXBandRows rows(dest);
  Bands(
      h, w,
      [&](int64_t first, int64_t last) {
        for (auto y = static_cast<int32_t>(first); y < last; ++y) {
          uint8_t* row = rows[y];
          if (!row) continue;
          const uint8_t* m = &im.Marks[static_cast<size_t>(im.At(y + kBorder, kBorder))];
          for (int32_t x = 0; x < w; ++x) SetBit(row, x, y == h - 1 || x == 0 || m[x] != 1);
        }
      },
      rows.Serial());
  return true;
}

void TPixoranProc::EdgeDetect(int32_t windowSize, int32_t thinFactor, double ratio, double smoothing, bool hysteresis) {
  aborting_ = false;
  if (!CheckBitmap(PXFormatSet(pxBGR24)) || Bitmap()->Width() <= 0 || Bitmap()->Height() <= 0) return;
  TPXEdgeParams params;
  params.WindowSize = windowSize;
  params.ThinFactor = thinFactor;
  params.Ratio = ratio;
  params.Smoothing = smoothing;
  params.Hysteresis = hysteresis;
  const TPXProgressRec progress = ProgressRec();
  ChangeImage("EdgeDetect", [&](TPXBitmap& copy) { return DetectEdges(copy, copy, params, progress); });
}

}  // namespace pixoran
