// Geometric transforms of the processing component: flip, crop to the
// selection, rotation (quarter turns, three shears, sampled rotation, the
// 1-bit mapping) and resampling. They work on the whole image.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/pxpool.h"
#include "core/pxresample.h"
#include "core/pxtransform.h"
#include "proc/pixoranproc.h"

namespace pixoran {

namespace {

constexpr int64_t kMilliTurn = 360000;
constexpr int64_t kMilliQuarter = 90000;
constexpr int32_t kBig = std::numeric_limits<int32_t>::max();

// Trunc(angle * 1000) mod 360 000: thousandths of a degree, whole turns
// dropped; 0 for NaN, infinities and angles too large to count.
int64_t AngleMilli(double angle) {
  const double m = std::trunc(angle * 1000.0);
  if (!std::isfinite(m)) return 0;
  return static_cast<int64_t>(std::fmod(m, static_cast<double>(kMilliTurn)));
}

// A size computed in double, kept to 1..int32 max.
int32_t SizeOf(double v) {
  if (!(v >= 1.0)) return 1;
  return static_cast<int32_t>(std::min<int64_t>(RoundHalfEven(v), kBig));
}

// A new bitmap that lands where the target's threshold puts it.
std::unique_ptr<TPXBitmap> NewLike(TPXBitmap& target) {
  auto b = std::make_unique<TPXBitmap>();
  b->MemoryThreshold = target.MemoryThreshold;
  b->RowAlign = target.RowAlign;
  b->BWConversion = target.BWConversion;
  return b;
}

// A work bitmap in memory, for rows read out of order.
std::unique_ptr<TPXBitmap> NewInMemory() {
  auto b = std::make_unique<TPXBitmap>();
  b->MemoryThreshold = std::numeric_limits<int64_t>::max();
  return b;
}

// Allocates dest at w x h in the source's format with its palette.
bool AllocateLike(TPXBitmap& dest, TPXBitmap& source, int32_t w, int32_t h) {
  if (!dest.Allocate(w, h, source.PixelFormat())) return false;
  for (int32_t i = 0; i < std::min(source.PaletteCount(), dest.PaletteCount()); ++i)
    dest.SetPaletteEntry(i, source.GetPaletteEntry(i));
  return true;
}

// The result takes the target's place. A platform bitmap keeps its own
// storage, and an alpha channel stays one: both take a copy.
void Replace(TPXBitmap& target, TPXBitmap& result) {
  if (target.Location() == pxTBitmap || target.IsAlpha()) target.Assign(&result);
  else result.MoveInto(target);
}

// Row pointers that stay valid together: the bitmap's own when its rows
// live in memory, else those of an in-memory copy.
class TRowTable {
 public:
  bool Open(TPXBitmap& b) {
    TPXBitmap* src = &b;
    if (b.Location() != pxInMemory) {
      copy_ = NewInMemory();
      copy_->CopyPixelsFrom(b);
      src = copy_.get();
    }
    rows_.resize(static_cast<size_t>(std::max(0, src->Height())));
    for (int32_t y = 0; y < src->Height(); ++y)
      if (!(rows_[static_cast<size_t>(y)] = src->Scanline(y))) return false;
    return true;
  }
  const uint8_t* operator[](int32_t y) const { return rows_[static_cast<size_t>(y)]; }

 private:
  std::unique_ptr<TPXBitmap> copy_;
  std::vector<const uint8_t*> rows_;
};

// Pixels turn first; an alpha channel follows through its own routine into
// the result's alpha, which has the result's size. The result goes to into
// when given (the bitmap is only read), else it takes the bitmap's place;
// either way only when both succeeded.
using TTurnFn = std::function<bool(TPXBitmap& source, TPXBitmap& dest)>;
bool TurnTo(TPXBitmap& bitmap, TPXBitmap* into, const TTurnFn& pixels, const TTurnFn& alpha) {
  try {
    std::unique_ptr<TPXBitmap> own;
    TPXBitmap* out = into;
    if (!out) {
      own = NewLike(bitmap);
      out = own.get();
    }
    if (!pixels(bitmap, *out)) return false;
    if (bitmap.HasAlphaChannel()) {
      TPXBitmap* a = out->GetAlphaChannel();
      if (!a || !alpha(*bitmap.GetAlphaChannel(), *a)) return false;
      a->SyncFull();
    }
    if (!into) Replace(bitmap, *out);
    return true;
  } catch (const EPXBitmapError&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Progress over a count of units: Trunc(done * (100 / total)).
class TUnitProgress {
 public:
  TUnitProgress(const TPXProgressRec& rec, int64_t total) : rec_(rec), per_(total > 0 ? 100.0 / total : 0.0) {}
  void At(int64_t done) const {
    if (rec_.OnProgress) rec_.Report(TruncToInt32(static_cast<double>(done) * per_));
  }

 private:
  const TPXProgressRec& rec_;
  double per_;
};

// ------------------------------------------------------------ quarter turns

// q quarter turns counter-clockwise (1 left, 2 half, 3 right) of source
// into dest, alpha channel along.
bool QuarterTurned(TPXBitmap& source, TPXBitmap& dest, int q) {
  switch (q & 3) {
    case 1: return RotateLeft90(source, dest);
    case 3: return RotateRight90(source, dest);
    case 2:
      dest.Assign(&source);
      FlipBitmap(dest, 0);
      FlipBitmap(dest, 1);
      return dest.Width() == source.Width() && dest.Height() == source.Height();
    default: dest.Assign(&source); return true;
  }
}

bool QuarterTurnTo(TPXBitmap& bitmap, TPXBitmap* into, int q) {
  try {
    if (into) return QuarterTurned(bitmap, *into, q);
    if ((q & 3) == 0) return true;
    if ((q & 3) == 2) {
      // Mirrors are lossless in place.
      FlipBitmap(bitmap, 0);
      FlipBitmap(bitmap, 1);
      return true;
    }
    auto out = NewLike(bitmap);
    if (!QuarterTurned(bitmap, *out, q)) return false;
    Replace(bitmap, *out);
    return true;
  } catch (const EPXBitmapError&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Quarter turns that bring the angle into -45..45 degrees, and what is left.
void SplitAngle(int64_t milli, int& q, int64_t& rest) {
  q = 0;
  rest = milli;
  while (rest > 45000) rest -= kMilliQuarter, ++q;
  while (rest < -45000) rest += kMilliQuarter, --q;
  q &= 3;
}

// ------------------------------------------------------------ three shears

// Round((prev * f + cur * (4096 - f)) / 4096), clamped: f lies in
// -2048..2048, so a negative f draws the pixel away from its predecessor.
inline uint8_t Blend(int32_t prev, int32_t cur, int32_t f) {
  const int32_t v = (prev * f + cur * (4096 - f) + 2048) >> 12;
  return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

template <int B>
void FillPixels(uint8_t* d, int64_t from, int64_t to, const uint8_t* bg) {
  if (B == 1) {
    if (to > from) std::memset(d + from, bg[0], static_cast<size_t>(to - from));
    return;
  }
  for (int64_t p = from; p < to; ++p)
    for (int k = 0; k < B; ++k) d[p * B + k] = bg[k];
}

// One line of a shear: dst (dstLen pixels) holds the run src (len pixels)
// moved right by shift, the background elsewhere. With antiAlias each pixel
// is blended with its predecessor by f (the first with the background), and
// for f > 0 the pixel after the run is the last one blended with the
// background.
template <int B>
void ShearLine(const uint8_t* src, int32_t len, uint8_t* dst, int32_t dstLen, int64_t shift, int32_t f, bool antiAlias,
               const uint8_t* bg) {
  const int64_t covered = len + (antiAlias && f > 0 ? 1 : 0);
  const int64_t p0 = std::clamp<int64_t>(shift, 0, dstLen), p1 = std::clamp<int64_t>(shift + covered, p0, dstLen);
  FillPixels<B>(dst, 0, p0, bg);
  FillPixels<B>(dst, p1, dstLen, bg);
  if (p0 >= p1) return;
  const int64_t i0 = p0 - shift, i1 = p1 - shift;  // source indexes covered
  if (!antiAlias) {
    std::memcpy(dst + p0 * B, src + i0 * B, static_cast<size_t>((i1 - i0) * B));
    return;
  }
  auto one = [&](int64_t i) {
    for (int k = 0; k < B; ++k) {
      const int32_t prev = i > 0 ? src[(i - 1) * B + k] : bg[k];
      const int32_t cur = i < len ? src[i * B + k] : bg[k];
      dst[(i + shift) * B + k] = Blend(prev, cur, f);
    }
  };
  int64_t i = i0;
  if (i == 0) one(i++);
  const int64_t inner = std::min<int64_t>(i1, len);
  if (i < inner) {
    // Both neighbours inside the run: a plain byte loop the compiler vectorises.
    const uint8_t* s = src + i * B;
    uint8_t* d = dst + (i + shift) * B;
    const int64_t n = (inner - i) * B;
    const int32_t g = 4096 - f;
    for (int64_t k = 0; k < n; ++k) {
      const int32_t v = (s[k - B] * f + s[k] * g + 2048) >> 12;
      d[k] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    i = inner;
  }
  for (; i < i1; ++i) one(i);
}

// The three shears of a quarter-turned W x H image by rest (-45..45
// degrees, thousandths). Rows move right (counted from the top for positive
// angles), then columns down (counted from the right), then rows again;
// for negative angles from the other side, so the image turns
// counter-clockwise for positive angles and clockwise otherwise.
template <int B>
bool ShearTurned(TPXBitmap& src, TPXBitmap& dest, int64_t rest, bool antiAlias, const uint8_t* bg,
                 const TPXProgressRec& progress) {
  const int32_t W = src.Width(), H = src.Height();
  const double theta = static_cast<double>(rest) / 1000.0 * M_PI / 180.0;
  const bool positive = theta > 0;
  const double t = std::fabs(std::tan(theta / 2)), s = std::fabs(std::sin(theta));
  const int32_t W1 = SizeOf(H * t + W + 1.0);
  const int32_t H2 = SizeOf(s * W1 + H + 1.0);
  const int64_t d = RoundHalfEven((W1 - W) * s);
  const int64_t t2 = RoundHalfEven(t * (H2 - H - d));
  const int32_t Hf = SizeOf(static_cast<double>(H2 - 2 * d));
  const int32_t Wf = SizeOf(t * Hf + W1 + 1.0 - 2.0 * t2);
  const TUnitProgress report(progress, int64_t{H} + W1 + Hf);

  // Shear 1 into a W1 x H image in memory (its columns are read out of order).
  auto s1 = NewInMemory();
  if (!AllocateLike(*s1, src, W1, H)) return false;
  const std::vector<uint8_t*> rows1 = PXRowPointers(*s1);
  const std::vector<uint8_t*> srcRows = PXRowPointers(src);
  // A temporary file's rows are read by the calling thread alone.
  const bool srcSerial = srcRows.empty();
  std::atomic<bool> failed{false};
  PXParallelRows(
      H, W1,
      [&](int32_t first, int32_t last) {
        for (int32_t y = first; y < last; ++y) {
          const uint8_t* srow = srcSerial ? src.Scanline(y) : srcRows[static_cast<size_t>(y)];
          if (!srow) {
            failed = true;
            return;
          }
          const double shift = (positive ? y : H - 1 - y) * t;
          const int64_t whole = RoundHalfEven(shift);
          const int32_t f = TruncToInt32((shift - static_cast<double>(whole)) * 4096.0);
          ShearLine<B>(srow, W, rows1[static_cast<size_t>(y)], W1, whole, f, antiAlias, bg);
        }
      },
      srcSerial,
      [&](int32_t first, int32_t last) {
        for (int32_t y = first; y < last; ++y) report.At(y + 1);
        return !failed;
      });
  if (failed) return false;

  // Shear 2 (columns) row by row: column x of the result row p is source
  // row p - shift(x) of the same column; each row then takes shear 3.
  std::vector<int64_t> colShift(static_cast<size_t>(W1));
  std::vector<int32_t> colF(static_cast<size_t>(W1));
  for (int32_t x = 0; x < W1; ++x) {
    const double shift = (positive ? W1 - 1 - x : x) * s;
    const int64_t whole = RoundHalfEven(shift);
    colShift[static_cast<size_t>(x)] = whole - d;
    colF[static_cast<size_t>(x)] = static_cast<int32_t>(RoundHalfEven((shift - static_cast<double>(whole)) * 4096.0));
  }
  if (!AllocateLike(dest, src, Wf, Hf)) return false;
  const std::vector<uint8_t*> destRows = PXRowPointers(dest);
  const bool destSerial = destRows.empty();
  // Scalars by value: byte stores could alias captured references.
  auto shearRow = [&colShift, &colF, &rows1, antiAlias, bg, H, W1, Wf, Hf, positive, t, t2](int32_t p, uint8_t* line,
                                                                                            uint8_t* drow) {
    uint8_t* l = line;
    for (int32_t x = 0; x < W1; ++x, l += B) {
      const int64_t i = p - colShift[static_cast<size_t>(x)];
      const int32_t f = colF[static_cast<size_t>(x)];
      const size_t off = static_cast<size_t>(x) * B;
      if (!antiAlias) {
        const uint8_t* c = i >= 0 && i < H ? rows1[static_cast<size_t>(i)] + off : bg;
        for (int k = 0; k < B; ++k) l[k] = c[k];
        continue;
      }
      if (i < 0 || i > H || (i == H && f <= 0)) {
        for (int k = 0; k < B; ++k) l[k] = bg[k];
        continue;
      }
      const uint8_t* prev = i > 0 ? rows1[static_cast<size_t>(i - 1)] + off : bg;
      const uint8_t* cur = i < H ? rows1[static_cast<size_t>(i)] + off : bg;
      for (int k = 0; k < B; ++k) l[k] = Blend(prev[k], cur[k], f);
    }
    const double shift = (positive ? p : Hf - 1 - p) * t;
    const int64_t whole = RoundHalfEven(shift);
    const int32_t f = static_cast<int32_t>(RoundHalfEven((shift - static_cast<double>(whole)) * 4096.0));
    ShearLine<B>(line, W1, drow, Wf, whole - t2, f, antiAlias, bg);
  };
  PXParallelRows(
      Hf, int64_t{W1} + Wf,
      [&](int32_t first, int32_t last) {
        // Every byte is written before it is read: no clearing (one thread
        // takes a row at a time).
        const auto line = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(W1) * B);
        for (int32_t p = first; p < last; ++p) {
          uint8_t* drow = destSerial ? dest.Scanline(p) : destRows[static_cast<size_t>(p)];
          if (!drow) {
            failed = true;
            return;
          }
          shearRow(p, line.get(), drow);
        }
      },
      destSerial,
      [&](int32_t first, int32_t last) {
        for (int32_t p = first; p < last; ++p) report.At(int64_t{H} + int64_t{p + 1} * W1 / Hf + p + 1);
        return !failed;
      });
  return !failed;
}

// Quarter turns, then the shears of what is left, of source into dest.
template <int B>
bool ShearRotated(TPXBitmap& source, TPXBitmap& dest, int64_t milli, bool antiAlias, const uint8_t* bg,
                  const TPXProgressRec& progress) {
  int q;
  int64_t rest;
  SplitAngle(milli, q, rest);
  if (rest == 0) return QuarterTurned(source, dest, q);
  std::unique_ptr<TPXBitmap> turned;
  TPXBitmap* src = &source;
  if (q != 0) {
    turned = NewInMemory();
    if (!QuarterTurned(source, *turned, q)) return false;
    turned->RemoveAlphaChannel();  // the alpha channel turns on its own
    src = turned.get();
  }
  return ShearTurned<B>(*src, dest, rest, antiAlias, bg, progress);
}

// ------------------------------------------------------------ 1-bit mapping

// The 1-bit mapping of source into dest: every destination pixel takes the
// source pixel found by the inverse rotation about the two centres (sine
// and cosine truncated to 1/10000, coordinates floored), or the background
// outside. Bytes per pixel B: 0 for bits, 1 for bytes.
template <int B>
bool MappedTurned(TPXBitmap& source, TPXBitmap& dest, int64_t milli, uint8_t bg) {
  const int32_t W = source.Width(), H = source.Height();
  const double a = -static_cast<double>(milli) / 1000.0 * M_PI / 180.0;
  const double c = std::trunc(std::cos(a) * 10000.0) / 10000.0, s = std::trunc(std::sin(a) * 10000.0) / 10000.0;
  const int32_t dw = std::max(1, TruncToInt32(std::fabs(W * c) + std::fabs(H * s)));
  const int32_t dh = std::max(1, TruncToInt32(std::fabs(W * s) + std::fabs(H * c)));
  TRowTable rows;
  if (!rows.Open(source) || !AllocateLike(dest, source, dw, dh)) return false;
  const double scx = W / 2.0 - 0.5, scy = H / 2.0 - 0.5, dcx = dw / 2.0 - 0.5, dcy = dh / 2.0 - 0.5;
  const std::vector<uint8_t*> destRows = PXRowPointers(dest);
  const bool serial = destRows.empty();
  std::atomic<bool> failed{false};
  auto mapRow = [&](int32_t j, uint8_t* d) {
    const double dy = j - dcy;
    for (int32_t i = 0; i < dw; ++i) {
      const double dx = i - dcx;
      // Floor: a position left of or above the image is outside it.
      const int32_t sx = FloorToInt(dx * c + dy * s + scx), sy = FloorToInt(-dx * s + dy * c + scy);
      const bool inside = sx >= 0 && sx < W && sy >= 0 && sy < H;
      if (B == 0) {
        const bool bit = inside ? ((rows[sy][sx >> 3] >> (7 - (sx & 7))) & 1) != 0 : bg != 0;
        if (bit) d[i >> 3] |= static_cast<uint8_t>(0x80u >> (i & 7));
      } else {
        d[i] = inside ? rows[sy][sx] : bg;
      }
    }
  };
  PXParallelRows(
      dh, dw,
      [&](int32_t first, int32_t last) {
        for (int32_t j = first; j < last; ++j) {
          uint8_t* d = serial ? dest.Scanline(j) : destRows[static_cast<size_t>(j)];
          if (!d) {
            failed = true;
            return;
          }
          mapRow(j, d);
        }
      },
      serial);
  return !failed;
}

// ------------------------------------------------------------ sampled rotation

// The cubic convolution kernel with a = -1.
inline double Cubic(double x) {
  x = std::fabs(x);
  if (x <= 1.0) return (x - 2.0) * x * x + 1.0;
  if (x < 2.0) return ((-x + 5.0) * x - 8.0) * x + 4.0;
  return 0.0;
}

// Cubic weights of the four neighbours for 1024 positions between two
// pixels, in 1/1024 and summing to exactly 1024, so a plain area keeps its
// value. The sums stay within int32: the weights' magnitudes add up to at
// most 1.5.
using TCubicRow = std::array<int32_t, 4>;
const std::array<TCubicRow, 1024>& CubicWeights() {
  static const std::array<TCubicRow, 1024> table = [] {
    std::array<TCubicRow, 1024> t{};
    for (int i = 0; i < 1024; ++i) {
      const double f = i / 1024.0;
      int32_t total = 0, largest = 0;
      for (int n = 0; n < 4; ++n) {
        t[i][n] = static_cast<int32_t>(RoundHalfEven(Cubic(f - (n - 1)) * 1024.0));
        total += t[i][n];
        if (t[i][n] > t[i][largest]) largest = n;
      }
      t[i][largest] += 1024 - total;
    }
    return t;
  }();
  return table;
}

// Source positions in fixed point, 32 fractional bits: stepping by the
// sine and cosine this way drifts by well under a thousandth of a pixel
// across any row.
constexpr int kFixBits = 32;
inline int64_t ToFixed(double v) { return static_cast<int64_t>(std::llround(std::ldexp(v, kFixBits))); }

// One destination pixel from source position (x, y): bilinear over the
// 2 x 2 neighbours (weights in 1/2048 per axis, so a plain area keeps its
// value) or cubic over the 4 x 4; neighbours outside the image are the
// background; each channel truncated.
template <int B, bool Bicubic>
inline void SamplePixel(const TRowTable& rows, int32_t W, int32_t H, const uint8_t* bg, int64_t x, int64_t y,
                        uint8_t* d) {
  const auto x0 = static_cast<int32_t>(x >> kFixBits), y0 = static_cast<int32_t>(y >> kFixBits);
  auto at = [&](int32_t px, int32_t py) -> const uint8_t* {
    return px >= 0 && px < W && py >= 0 && py < H ? rows[py] + static_cast<size_t>(px) * B : bg;
  };
  if (!Bicubic) {
    const auto wx = static_cast<int32_t>((x >> (kFixBits - 11)) & 2047);
    const auto wy = static_cast<int32_t>((y >> (kFixBits - 11)) & 2047);
    const int32_t w00 = (2048 - wx) * (2048 - wy), w10 = wx * (2048 - wy), w01 = (2048 - wx) * wy, w11 = wx * wy;
    const uint8_t *p00, *p10, *p01, *p11;
    if (static_cast<uint32_t>(x0) < static_cast<uint32_t>(W - 1) &&
        static_cast<uint32_t>(y0) < static_cast<uint32_t>(H - 1)) {
      p00 = rows[y0] + static_cast<size_t>(x0) * B;
      p10 = p00 + B;
      p01 = rows[y0 + 1] + static_cast<size_t>(x0) * B;
      p11 = p01 + B;
    } else {
      p00 = at(x0, y0), p10 = at(x0 + 1, y0), p01 = at(x0, y0 + 1), p11 = at(x0 + 1, y0 + 1);
    }
    for (int k = 0; k < B; ++k)
      d[k] = static_cast<uint8_t>((p00[k] * w00 + p10[k] * w10 + p01[k] * w01 + p11[k] * w11) >> 22);
    return;
  }
  const int32_t* wxs = CubicWeights()[(x >> (kFixBits - 10)) & 1023].data();
  const int32_t* wys = CubicWeights()[(y >> (kFixBits - 10)) & 1023].data();
  const bool inside = x0 >= 1 && y0 >= 1 && x0 + 2 < W && y0 + 2 < H;
  int32_t sum[B] = {};
  for (int m = 0; m < 4; ++m) {
    int32_t rowSum[B] = {};
    const uint8_t* r = inside ? rows[y0 + m - 1] + static_cast<size_t>(x0 - 1) * B : nullptr;
    for (int n = 0; n < 4; ++n) {
      const uint8_t* p = inside ? r + n * B : at(x0 + n - 1, y0 + m - 1);
      for (int k = 0; k < B; ++k) rowSum[k] += p[k] * wxs[n];
    }
    for (int k = 0; k < B; ++k) sum[k] += rowSum[k] * wys[m];
  }
  for (int k = 0; k < B; ++k) {
    const int32_t v = sum[k] >> 20;
    d[k] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
  }
}

// Samples source for every destination pixel. The source stands in an
// image 6 pixels larger with the background around it; the destination of
// that larger image loses 3 pixels on each side again. The destination is
// made in bands of rows, each in tiles of columns, so the source is read
// a small area at a time.
template <int B, bool Bicubic>
bool SampledTurned(TPXBitmap& source, TPXBitmap& dest, int64_t milli, const uint8_t* bg,
                   const TPXProgressRec& progress) {
  constexpr int32_t kBand = 32, kTile = 64;
  const int32_t W = source.Width(), H = source.Height();
  const double a = static_cast<double>(milli) / 1000.0 * M_PI / 180.0;
  const double c = std::cos(a), s = std::sin(a);
  const double we = W + 6.0, he = H + 6.0;
  const int32_t dw = SizeOf(std::fabs(s * (he - 1)) + std::fabs(c * (we - 1)));
  const int32_t dh = SizeOf(std::fabs(c * (he - 1)) + std::fabs(s * (we - 1)));
  const int32_t fw = std::max(1, dw - 6), fh = std::max(1, dh - 6);
  TRowTable rows;
  if (!rows.Open(source) || !AllocateLike(dest, source, fw, fh)) return false;
  const double cx = (we - 1) / 2, cy = (he - 1) / 2, cxd = (dw - 1) / 2.0, cyd = (dh - 1) / 2.0;
  const size_t lineBytes = static_cast<size_t>(fw) * B;
  const int64_t stepX = ToFixed(c), stepY = ToFixed(s);
  if (Bicubic) CubicWeights();  // made before the bands share it
  // A temporary file's rows are written by the calling thread alone. Every
  // tile starts from its own position, so the bands' bounds do not change a
  // byte.
  const std::vector<uint8_t*> destRows = PXRowPointers(dest);
  const bool serial = destRows.empty();
  std::atomic<bool> failed{false};
  // The pool's unit is a band of kBand rows, so one thread still works the
  // tiles of a whole band (the source is read a small area at a time).
  // Scalars by value: byte stores could alias captured references and
  // force a reload of each at every pixel.
  const int32_t bands = (fh + kBand - 1) / kBand;
  PXParallelRows(
      bands, int64_t{fw} * kBand,
      [&rows, &destRows, &dest, &failed, serial, lineBytes, fw, fh, W, H, bg, c, s, cx, cy, cxd, cyd, stepX, stepY](
          int32_t firstBand, int32_t lastBand) {
        std::vector<uint8_t> band(lineBytes * static_cast<size_t>(std::min(fh, int32_t{kBand})));
        for (int32_t j0 = firstBand * kBand; j0 < fh && j0 < lastBand * kBand; j0 += kBand) {
          const int32_t j1 = std::min(fh, j0 + kBand);
          for (int32_t i0 = 0; i0 < fw; i0 += kTile) {
            const int32_t i1 = std::min(fw, i0 + kTile);
            for (int32_t j = j0; j < j1; ++j) {
              // Source position of destination (0, j), in the source's own
              // coordinates (the larger image's less 3).
              const double dj = j + 3 - cyd, di = i0 + 3 - cxd;
              int64_t x = ToFixed(di * c - dj * s + cx - 3), y = ToFixed(di * s + dj * c + cy - 3);
              uint8_t* d = band.data() + static_cast<size_t>(j - j0) * lineBytes + static_cast<size_t>(i0) * B;
              for (int32_t i = i0; i < i1; ++i, d += B, x += stepX, y += stepY)
                SamplePixel<B, Bicubic>(rows, W, H, bg, x, y, d);
            }
          }
          for (int32_t j = j0; j < j1; ++j) {
            uint8_t* d = serial ? dest.Scanline(j) : destRows[static_cast<size_t>(j)];
            if (!d) {
              failed = true;
              return;
            }
            std::memcpy(d, band.data() + static_cast<size_t>(j - j0) * lineBytes, lineBytes);
          }
        }
      },
      serial,
      [&](int32_t firstBand, int32_t lastBand) {
        if (progress.OnProgress)
          for (int32_t j = firstBand * kBand; j < fh && j < lastBand * kBand; ++j)
            progress.Report(TruncToInt32((j + 1) * 100.0 / fh));
        return !failed;
      });
  return !failed;
}

template <int B>
bool Sampled(TPXBitmap& source, TPXBitmap& dest, int64_t milli, uint8_t mode, const uint8_t* bg,
             const TPXProgressRec& progress) {
  return mode == 2 ? SampledTurned<B, true>(source, dest, milli, bg, progress)
                   : SampledTurned<B, false>(source, dest, milli, bg, progress);
}

// ------------------------------------------------------------ backgrounds

// The background as one byte of the bitmap's format: grey by luminance, a
// palette index by the nearest entry.
uint8_t ByteBackground(TPXBitmap& b, TBGR bg) {
  if (b.PixelFormat() == pxPal8 && b.PaletteCount() > 0)
    return static_cast<uint8_t>(NearestPaletteIndex(b.Palette(), b.PaletteCount(), BGRToInt(bg)));
  return BLimit(BGRLuminance(bg));
}

bool BitBackground(TBGR bg) { return bg.b != 0 && bg.g != 0 && bg.r != 0; }

}  // namespace

double FillValue(TPXBitmap& b, TColor color) {
  const TBGR bg = ColorToBGR(color);
  switch (b.PixelFormat()) {
    case pxBW1: return BitBackground(bg) ? 1 : 0;
    case pxPal8:
    case pxGray8: return ByteBackground(b, bg);
    case pxGray16: return ByteBackground(b, bg) * 257.0;
    case px32f: return ByteBackground(b, bg) / 255.0;
    default: return color;
  }
}

// ------------------------------------------------------------ rotation routines

bool IsRightAngleMultiple(double angle) {
  return std::isfinite(angle) && angle == std::trunc(angle) && std::fmod(angle, 90.0) == 0.0;
}

// The rotations write into `into` when given, leaving the bitmap as it
// is; else the result takes the bitmap's place.
namespace {

bool RotateGray8To(TPXBitmap& bitmap, TPXBitmap* into, bool antiAlias, const TPXProgressRec& progress,
                   uint8_t background, double angle) {
  const int64_t milli = AngleMilli(angle);
  if (milli == 0 || bitmap.Width() <= 0 || bitmap.Height() <= 0 || bitmap.BitCount() != 8) return false;
  if (milli % kMilliQuarter == 0) return QuarterTurnTo(bitmap, into, static_cast<int>(milli / kMilliQuarter));
  const uint8_t bg[1] = {background};
  const uint8_t clear[1] = {0};
  return TurnTo(
      bitmap, into, [&](TPXBitmap& s, TPXBitmap& d) { return ShearRotated<1>(s, d, milli, antiAlias, bg, progress); },
      [&](TPXBitmap& s, TPXBitmap& d) { return ShearRotated<1>(s, d, milli, antiAlias, clear, {}); });
}

bool RotateBWTo(TPXBitmap& bitmap, TPXBitmap* into, bool backgroundBit, double angle) {
  const int64_t milli = AngleMilli(angle);
  if (milli == 0 || bitmap.Width() <= 0 || bitmap.Height() <= 0 || bitmap.PixelFormat() != pxBW1) return false;
  if (milli % kMilliQuarter == 0) return QuarterTurnTo(bitmap, into, static_cast<int>(milli / kMilliQuarter));
  return TurnTo(
      bitmap, into, [&](TPXBitmap& s, TPXBitmap& d) { return MappedTurned<0>(s, d, milli, backgroundBit ? 1 : 0); },
      [&](TPXBitmap& s, TPXBitmap& d) { return MappedTurned<1>(s, d, milli, 0); });
}

bool RotateGray8ForBWTo(TPXBitmap& bitmap, TPXBitmap* into, uint8_t background, double angle) {
  const int64_t milli = AngleMilli(angle);
  if (milli == 0 || bitmap.Width() <= 0 || bitmap.Height() <= 0 || bitmap.BitCount() != 8) return false;
  if (milli % kMilliQuarter == 0) return QuarterTurnTo(bitmap, into, static_cast<int>(milli / kMilliQuarter));
  return TurnTo(
      bitmap, into, [&](TPXBitmap& s, TPXBitmap& d) { return MappedTurned<1>(s, d, milli, background); },
      [&](TPXBitmap& s, TPXBitmap& d) { return MappedTurned<1>(s, d, milli, 0); });
}

bool RotateBitmapTo(TPXBitmap& bitmap, TPXBitmap* into, bool antiAlias, const TPXProgressRec& progress, TBGR background,
                    double angle) {
  const int64_t milli = AngleMilli(angle);
  if (milli == 0 || bitmap.Width() <= 0 || bitmap.Height() <= 0) return false;
  switch (bitmap.PixelFormat()) {
    case pxBW1: return RotateBWTo(bitmap, into, BitBackground(background), angle);
    case pxGray8: return RotateGray8To(bitmap, into, antiAlias, progress, ByteBackground(bitmap, background), angle);
    // Blending would mix palette indices: whole pixels only.
    case pxPal8: return RotateGray8To(bitmap, into, false, progress, ByteBackground(bitmap, background), angle);
    case pxBGR24: break;
    default: return false;
  }
  if (milli % kMilliQuarter == 0) return QuarterTurnTo(bitmap, into, static_cast<int>(milli / kMilliQuarter));
  const uint8_t bg[3] = {background.b, background.g, background.r};
  const uint8_t clear[1] = {0};
  return TurnTo(
      bitmap, into, [&](TPXBitmap& s, TPXBitmap& d) { return ShearRotated<3>(s, d, milli, antiAlias, bg, progress); },
      [&](TPXBitmap& s, TPXBitmap& d) { return ShearRotated<1>(s, d, milli, antiAlias, clear, {}); });
}

bool RotateAntialiasedTo(TPXBitmap& bitmap, TPXBitmap* into, uint8_t mode, const TPXProgressRec& progress,
                         TBGR background, double angle) {
  const int64_t milli = AngleMilli(angle);
  if (milli == 0 || bitmap.Width() <= 0 || bitmap.Height() <= 0 || bitmap.PixelFormat() != pxBGR24) return false;
  const uint8_t bg[3] = {background.b, background.g, background.r};
  const uint8_t clear[1] = {0};
  return TurnTo(
      bitmap, into, [&](TPXBitmap& s, TPXBitmap& d) { return Sampled<3>(s, d, milli, mode, bg, progress); },
      [&](TPXBitmap& s, TPXBitmap& d) { return Sampled<1>(s, d, milli, mode, clear, {}); });
}

bool RotateAlphaAntialiasedTo(TPXBitmap& bitmap, TPXBitmap* into, uint8_t mode, double angle) {
  const int64_t milli = AngleMilli(angle);
  if (milli == 0 || bitmap.Width() <= 0 || bitmap.Height() <= 0 || bitmap.BitCount() != 8) return false;
  const uint8_t clear[1] = {0};
  return TurnTo(
      bitmap, into, [&](TPXBitmap& s, TPXBitmap& d) { return Sampled<1>(s, d, milli, mode, clear, {}); },
      [&](TPXBitmap& s, TPXBitmap& d) { return Sampled<1>(s, d, milli, mode, clear, {}); });
}

}  // namespace

bool RotateGray8(TPXBitmap& bitmap, bool antiAlias, const TPXProgressRec& progress, uint8_t background, double angle) {
  return RotateGray8To(bitmap, nullptr, antiAlias, progress, background, angle);
}
bool RotateBW(TPXBitmap& bitmap, bool backgroundBit, double angle) {
  return RotateBWTo(bitmap, nullptr, backgroundBit, angle);
}
bool RotateGray8ForBW(TPXBitmap& bitmap, uint8_t background, double angle) {
  return RotateGray8ForBWTo(bitmap, nullptr, background, angle);
}
bool RotateBitmap(TPXBitmap& bitmap, bool antiAlias, const TPXProgressRec& progress, TBGR background, double angle) {
  return RotateBitmapTo(bitmap, nullptr, antiAlias, progress, background, angle);
}
bool RotateAntialiased(TPXBitmap& bitmap, uint8_t mode, const TPXProgressRec& progress, TBGR background, double angle) {
  return RotateAntialiasedTo(bitmap, nullptr, mode, progress, background, angle);
}
bool RotateAlphaAntialiased(TPXBitmap& bitmap, uint8_t mode, double angle) {
  return RotateAlphaAntialiasedTo(bitmap, nullptr, mode, angle);
}

// ------------------------------------------------------------ the component's operations

namespace {

// Mirrors that can change the picture in place: rows in memory (its own and
// its alpha channel's) cannot fail halfway, and a 1-bit left-right mirror,
// the one that needs a buffer, is left out.
bool MirrorsInPlace(TPXBitmap& b, bool leftRight) {
  if (b.Location() == pxTempFile || (leftRight && b.PixelFormat() == pxBW1)) return false;
  return !b.HasAlphaChannel() || b.GetAlphaChannel()->Location() != pxTempFile;
}

}  // namespace

void TPixoranProc::Flip(int32_t direction) {
  aborting_ = false;
  if ((direction != 0 && direction != 1) || !CheckBitmap(kPXAnyFormat)) return;
  if (MirrorsInPlace(*bitmap_, direction == 0)) {
    // The undo entry keeps the old picture; no copy to swap in.
    if (!TakeAutoUndo("Flip")) return;
    FlipBitmap(*bitmap_, direction);
    FinishChange();
    return;
  }
  ChangeImage("Flip", [&](TPXBitmap& copy) {
    FlipBitmap(copy, direction);
    return true;
  });
}

void TPixoranProc::CropSel() {
  aborting_ = false;
  if (!CheckBitmap(kPXAnyFormat)) return;
  TPXSelectionInfo sel;
  if (!GetSelection(sel) || !sel.Mask || sel.Mask->IsEmpty()) {
    // Nothing to crop: only the undo entry.
    if (TakeAutoUndo("CropSel")) FinishChange();
    return;
  }
  TPXMask& mask = *sel.Mask;
  TPXBitmap& b = *bitmap_;
  // The box, cut to the image (a mask may be larger than it).
  const int32_t w = std::min(mask.X2, b.Width() - 1) - mask.X1 + 1;
  const int32_t h = std::min(mask.Y2, b.Height() - 1) - mask.Y1 + 1;
  if (w <= 0 || h <= 0 || mask.X1 < 0 || mask.Y1 < 0) {
    if (TakeAutoUndo("CropSel")) FinishChange();
    return;
  }
  // The box is copied straight out of the picture, which is only read: a
  // failure leaves it as it was.
  const TPXPixelFormat f = b.PixelFormat();
  MakeAndCommit(NewLike(b), "CropSel", [&](TPXBitmap& out) {
    if (!AllocateLike(out, b, w, h)) return false;
    // The mask copy takes these formats; the others go by whole rows.
    const bool masked = f == pxBGR24 || f == pxGray8 || f == pxPal8 || f == pxBW1;
    if (masked) {
      out.Fill(FillValue(b, Background()));
      mask.CopyBitmapThroughMask(out, b, false, false, true);
    } else {
      b.CopyRectTo(out, mask.X1, mask.Y1, 0, 0, w, h);
    }
    if (b.HasAlphaChannel()) {
      TPXBitmap& sa = *b.GetAlphaChannel();
      TPXBitmap& da = *out.GetAlphaChannel();  // opaque where the background shows
      if (masked) mask.CopyBitmapThroughMask(da, sa, false, false, true);
      else sa.CopyRectTo(da, mask.X1, mask.Y1, 0, 0, w, h);
      da.SyncFull();
      if (da.Full) out.RemoveAlphaChannel();
    }
    return true;
  });
}

void TPixoranProc::Rotate(double angle, bool antiAlias, uint8_t antialiasMode, TColor background) {
  aborting_ = false;
  if (angle == 0 || !std::isfinite(angle) || !CheckBitmap(kPXAnyFormat)) return;
  const TPXPixelFormat f = bitmap_->PixelFormat();
  if (f != pxBGR24 && f != pxGray8 && f != pxPal8 && f != pxBW1) return;
  const std::string caption = "Rotate " + FloatToStr(angle);
  const int64_t milli = AngleMilli(angle);
  if (milli == 0) {
    // Whole turns: the image stays as it is, with its undo entry.
    if (TakeAutoUndo(caption)) FinishChange();
    return;
  }
  if (milli % kMilliQuarter == 0 && ((milli / kMilliQuarter) & 3) == 2 && MirrorsInPlace(*bitmap_, true)) {
    // A half turn is the two mirrors, done in place as Flip does them.
    if (!TakeAutoUndo(caption)) return;
    FlipBitmap(*bitmap_, 0);
    FlipBitmap(*bitmap_, 1);
    FinishChange();
    return;
  }
  if (background == -1) background = Background();
  const TBGR bg = ColorToBGR(background);
  const double turned = static_cast<double>(milli) / 1000.0;
  const TPXProgressRec progress = ProgressRec();
  // The rotation reads the picture and writes a new one: no copy of the
  // picture is made first, and a failure leaves it as it was.
  MakeAndCommit(NewLike(*bitmap_), caption, [&](TPXBitmap& out) {
    return antiAlias && antialiasMode != 0 && f == pxBGR24 && !IsRightAngleMultiple(turned)
               ? RotateAntialiasedTo(*bitmap_, &out, antialiasMode, progress, bg, angle)
               : RotateBitmapTo(*bitmap_, &out, antiAlias, progress, bg, angle);
  });
}

namespace {

// The size ResampleTo makes: 0 keeps the side, -1 follows the other side's
// aspect, other negatives count as positive; at least 1. False when both
// sides are negative.
bool ResampleSize(int32_t w, int32_t h, int32_t newWidth, int32_t newHeight, int32_t& nw, int32_t& nh) {
  if (newWidth < 0 && newHeight < 0) return false;
  auto side = [](int32_t v, int32_t keep) -> int64_t { return v == 0 ? keep : v < 0 ? -int64_t{v} : v; };
  int64_t sw, sh;
  if (newWidth == -1) {
    sh = std::max<int64_t>(1, side(newHeight, h));
    sw = sh * w / h;
  } else if (newHeight == -1) {
    sw = std::max<int64_t>(1, side(newWidth, w));
    sh = sw * h / w;
  } else {
    sw = side(newWidth, w);
    sh = side(newHeight, h);
  }
  nw = static_cast<int32_t>(std::clamp<int64_t>(sw, 1, kBig));
  nh = static_cast<int32_t>(std::clamp<int64_t>(sh, 1, kBig));
  return true;
}

}  // namespace

bool TPixoranProc::ResampleInto(TPXBitmap& out, int32_t nw, int32_t nh, TResampleFilter filter) {
  try {
    if (!out.Allocate(nw, nh, bitmap_->PixelFormat())) return false;
    if (!ResampleBitmap(*bitmap_, out, filter, ProgressRec())) return false;
    out.FlushRows();
  } catch (const EPXBitmapError&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return out.Width() == nw && out.Height() == nh;
}

void TPixoranProc::ResampleTo(TPXBitmap& dest, int32_t newWidth, int32_t newHeight, TResampleFilter filter) {
  if (&dest == bitmap_) {
    Resample(newWidth, newHeight, filter);
    return;
  }
  aborting_ = false;
  if (!CheckBitmap(kPXAnyFormat)) return;
  const int32_t w = bitmap_->Width(), h = bitmap_->Height();
  if (w <= 0 || h <= 0) return;
  const std::string caption = "Resample " + std::to_string(newWidth) + "," + std::to_string(newHeight);
  int32_t nw = 0, nh = 0;
  if (!ResampleSize(w, h, newWidth, newHeight, nw, nh)) {
    TakeAutoUndo(caption);
    return;
  }
  // Made aside: dest takes the result only when it is whole.
  auto out = NewLike(dest);
  if (!ResampleInto(*out, nw, nh, filter)) {
    aborting_ = true;
    return;
  }
  if (!TakeAutoUndo(caption)) return;
  try {
    Replace(dest, *out);
    dest.FlushRows();
  } catch (const EPXBitmapError&) {
    aborting_ = true;
  } catch (const std::bad_alloc&) {
    aborting_ = true;
  }
}

void TPixoranProc::Resample(int32_t newWidth, int32_t newHeight, TResampleFilter filter) {
  aborting_ = false;
  if (!CheckBitmap(kPXAnyFormat) || bitmap_->Width() <= 0 || bitmap_->Height() <= 0) return;
  const std::string caption = "Resample " + std::to_string(newWidth) + "," + std::to_string(newHeight);
  int32_t nw = 0, nh = 0;
  if (!ResampleSize(bitmap_->Width(), bitmap_->Height(), newWidth, newHeight, nw, nh)) {
    if (TakeAutoUndo(caption)) FinishChange();
    return;
  }
  // The result replaces the image only when it is whole: a write that fails
  // halfway must not leave a black picture of the new size behind.
  auto out = NewLike(*bitmap_);
  if (!ResampleInto(*out, nw, nh, filter)) {
    aborting_ = true;
    return;
  }
  CommitResult(std::move(out), caption, true);
}

}  // namespace pixoran
