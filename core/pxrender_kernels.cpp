// The render kernels: one opaque and one translucent kernel per source pixel
// format, all sharing one row loop. A kernel fetches the drawn run of a
// source row as blue-green-red bytes (through the column table, or straight
// when the columns are contiguous), then copies it, blends it, or mixes it
// into the destination by opacity and alpha.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/pxblend.h"
#include "core/pxpool.h"
#include "core/pxrender.h"
#include "core/pxrender_internal.h"

namespace pixoran {

namespace render_detail {

int32_t ContrastFactor(int32_t contrast) {
  const double k = contrast < 0 ? (1.0 - std::sqrt(-static_cast<double>(contrast)) / 10.0) * 65536.0
                                : (contrast / 10.0 + 1.0) * 65536.0;
  // Beyond +-2^31 every channel already lands on 0 or 255.
  return TruncToInt32(k);
}

uint8_t AdjustChannel(int32_t v, int32_t offset, int32_t k) {
  // |k| and |v + offset - 128| stay below 2^32, so the product fits in 64 bits.
  const int64_t t = static_cast<int64_t>(v) + offset - 128;
  const int64_t r = static_cast<int64_t>(k) * t / 65536 + 128;  // div: toward zero
  return static_cast<uint8_t>(r < 0 ? 0 : (r > 255 ? 255 : r));
}

bool HasGrayRange(const TPXBitmap& b) {
  // A range that is not a pair of finite numbers maps nothing sensibly.
  return std::isfinite(b.GrayMin) && std::isfinite(b.GrayMax) && b.GrayMax - b.GrayMin != 0;
}

uint8_t GrayRangeToByte(double v, double grayMin, double grayMax) {
  // An inverted range draws an inverted ramp instead of a flat image.
  const double lo = std::min(grayMin, grayMax), hi = std::max(grayMin, grayMax);
  if (std::isnan(v)) return 0;
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  const double m = (v - grayMin) / (grayMax - grayMin) * 255.0;
  if (!(m > 0.0)) return 0;
  if (m >= 255.0) return 255;
  return static_cast<uint8_t>(m);
}

uint8_t GrayRangeIntToByte(int64_t v, double grayMin, double grayMax) {
  // Integer samples are clamped to the truncated bounds, then mapped.
  const int64_t tmin = static_cast<int64_t>(std::clamp(grayMin, -9.0e18, 9.0e18));
  const int64_t tmax = static_cast<int64_t>(std::clamp(grayMax, -9.0e18, 9.0e18));
  const int64_t lo = std::min(tmin, tmax), hi = std::max(tmin, tmax);
  v = std::clamp(v, lo, hi);
  const double m = (static_cast<double>(v) - grayMin) / (grayMax - grayMin) * 255.0;
  if (!(m > 0.0)) return 0;
  if (m >= 255.0) return 255;
  return static_cast<uint8_t>(m);
}

}  // namespace render_detail

namespace {

using namespace render_detail;

// Source column of drawn pixel i: table entry or a contiguous run.
struct Columns {
  const int32_t* table;  // XSteps + X1, or nullptr when contiguous
  int32_t first;         // source column of the first drawn pixel
  int32_t operator[](int32_t i) const { return table ? table[i] : first + i; }
};

inline void Put(uint8_t* o, TBGR c) {
  o[0] = c.b;
  o[1] = c.g;
  o[2] = c.r;
}
inline void PutGray(uint8_t* o, uint8_t v) { o[0] = o[1] = o[2] = v; }

// ------------------------------------------------------------- fetchers
// Each returns the n drawn pixels of a source row as B,G,R bytes: written to
// out, or (where the source already holds them that way) a pointer into the
// source row.

struct FetchBGR24 {
  bool adjust = false;
  uint8_t lut[3][256]{};
  static constexpr bool kBlends = true;

  explicit FetchBGR24(TPXBitmap& s, uint8_t blendMode) {
    adjust = s.ColorAdjust || s.Contrast != 0 || blendMode != 0;
    if (!adjust) return;
    const int32_t k = ContrastFactor(s.Contrast);
    const int32_t off[3] = {s.BlueOffset, s.GreenOffset, s.RedOffset};
    bool identity = true;
    for (int c = 0; c < 3; ++c)
      for (int v = 0; v < 256; ++v) {
        lut[c][v] = AdjustChannel(v, off[c], k);
        identity = identity && lut[c][v] == v;
      }
    // Nothing to adjust: hand out the source bytes as they are.
    adjust = !identity;
  }
  const uint8_t* operator()(const uint8_t* s, Columns col, int32_t n, uint8_t* out) const {
    if (!col.table) {
      const uint8_t* p = s + 3 * static_cast<int64_t>(col.first);
      if (!adjust) return p;
      for (int64_t j = 0; j < 3 * static_cast<int64_t>(n); j += 3) {
        out[j] = lut[0][p[j]];
        out[j + 1] = lut[1][p[j + 1]];
        out[j + 2] = lut[2][p[j + 2]];
      }
      return out;
    }
    if (adjust) {
      for (int32_t i = 0; i < n; ++i) {
        const uint8_t* p = s + 3 * static_cast<int64_t>(col.table[i]);
        out[3 * i] = lut[0][p[0]];
        out[3 * i + 1] = lut[1][p[1]];
        out[3 * i + 2] = lut[2][p[2]];
      }
    } else {
      for (int32_t i = 0; i < n; ++i) std::memcpy(out + 3 * i, s + 3 * static_cast<int64_t>(col.table[i]), 3);
    }
    return out;
  }
};

struct FetchBW1 {
  static constexpr bool kBlends = false;
  explicit FetchBW1(TPXBitmap&) {}
  const uint8_t* operator()(const uint8_t* s, Columns col, int32_t n, uint8_t* out) const {
    for (int32_t i = 0; i < n; ++i) {
      const int32_t x = col[i];
      PutGray(out + 3 * i, ((s[x >> 3] >> (7 - (x & 7))) & 1) ? 255 : 0);
    }
    return out;
  }
};

struct FetchGray8 {
  uint8_t lut[256];
  static constexpr bool kBlends = false;
  explicit FetchGray8(TPXBitmap& s) {
    const bool range = HasGrayRange(s);
    for (int v = 0; v < 256; ++v)
      lut[v] = range ? GrayRangeIntToByte(v, s.GrayMin, s.GrayMax) : static_cast<uint8_t>(v);
  }
  const uint8_t* operator()(const uint8_t* s, Columns col, int32_t n, uint8_t* out) const {
    for (int32_t i = 0; i < n; ++i) PutGray(out + 3 * i, lut[s[col[i]]]);
    return out;
  }
};

struct FetchPal8 {
  TBGR pal[256]{};
  static constexpr bool kBlends = false;
  explicit FetchPal8(TPXBitmap& s) {
    const TBGR* p = s.Palette();
    const int32_t count = p ? std::clamp(s.PaletteCount(), 0, 256) : 0;
    for (int32_t i = 0; i < count; ++i) pal[i] = p[i];
  }
  const uint8_t* operator()(const uint8_t* s, Columns col, int32_t n, uint8_t* out) const {
    for (int32_t i = 0; i < n; ++i) Put(out + 3 * i, pal[s[col[i]]]);
    return out;
  }
};

struct FetchGray16 {
  std::vector<uint8_t> lut;  // empty: the high byte
  static constexpr bool kBlends = false;
  explicit FetchGray16(TPXBitmap& s) {
    if (!HasGrayRange(s)) return;
    lut.resize(65536);
    for (int v = 0; v < 65536; ++v) lut[static_cast<size_t>(v)] = GrayRangeIntToByte(v, s.GrayMin, s.GrayMax);
  }
  const uint8_t* operator()(const uint8_t* s, Columns col, int32_t n, uint8_t* out) const {
    if (lut.empty()) {
      for (int32_t i = 0; i < n; ++i) PutGray(out + 3 * i, s[2 * static_cast<int64_t>(col[i]) + 1]);
    } else {
      const uint8_t* t = lut.data();
      for (int32_t i = 0; i < n; ++i) {
        const uint8_t* p = s + 2 * static_cast<int64_t>(col[i]);
        PutGray(out + 3 * i, t[p[0] | (p[1] << 8)]);
      }
    }
    return out;
  }
};

struct Fetch32f {
  bool range;
  double grayMin, grayMax;
  static constexpr bool kBlends = false;
  explicit Fetch32f(TPXBitmap& s) : range(HasGrayRange(s)), grayMin(s.GrayMin), grayMax(s.GrayMax) {}
  const uint8_t* operator()(const uint8_t* s, Columns col, int32_t n, uint8_t* out) const {
    for (int32_t i = 0; i < n; ++i) {
      float v;
      std::memcpy(&v, s + 4 * static_cast<int64_t>(col[i]), 4);
      PutGray(out + 3 * i, range ? GrayRangeToByte(v, grayMin, grayMax) : FloatToByte(v));
    }
    return out;
  }
};

struct FetchCMYK {
  static constexpr bool kBlends = false;
  explicit FetchCMYK(TPXBitmap&) {}
  const uint8_t* operator()(const uint8_t* s, Columns col, int32_t n, uint8_t* out) const {
    for (int32_t i = 0; i < n; ++i) {
      const uint8_t* p = s + 4 * static_cast<int64_t>(col[i]);
      Put(out + 3 * i, CMYKToRGB(TCMYK{p[0], p[1], p[2], p[3]}));
    }
    return out;
  }
};

// ------------------------------------------------------------- row loop

inline void FillSpan(uint8_t* d, int32_t n, TBGR c) {
  for (int32_t i = 0; i < n; ++i) Put(d + 3 * i, c);
}

// d := d + (a * (c - d)) shr 8 per byte, in the equal form
// ((256 - a) * d + a * c) shr 8, whose terms never leave 16 bits: a flat
// loop the compiler vectorises eight lanes at a time.
inline void Mix(uint8_t* __restrict d, const uint8_t* __restrict c, const uint8_t* __restrict a, size_t count) {
  for (size_t j = 0; j < count; ++j) {
    const auto keep = static_cast<uint16_t>((256 - a[j]) * d[j]);
    const auto take = static_cast<uint16_t>(a[j] * c[j]);
    d[j] = static_cast<uint8_t>(static_cast<uint16_t>(keep + take) >> 8);
  }
}

// Destination rows y1..y2 of the job. Bands of rows run side by side: each
// has its own buffers and row-copy memory, and writes only its own rows.
template <class Fetch>
void RunBand(const TPXRenderJob& job, const Fetch& fetch, bool translucent, int32_t y1, int32_t y2) {
  const int32_t n = job.X2 - job.X1 + 1;
  TPXBitmap& src = *job.Source;
  const size_t span = 3 * static_cast<size_t>(n);
  const bool blend = Fetch::kBlends && job.BlendMode != 0;
  const bool dependsOnDest = translucent || blend;
  const bool fill = job.Fill && dependsOnDest;
  // A copied row must equal the one computed: not so when the result mixes
  // in what the destination held, unless that was just filled.
  const bool rowCopy = job.RowCopy && (!dependsOnDest || fill);
  const bool destRowsMove = job.Rows == nullptr && job.Dest->Location() == pxTempFile;

  std::vector<uint8_t> colour(span), alpha(translucent ? span + 1 : 0);
  const TPXBlendRowFunc blendRow = BlendRowFunc(job.BlendMode);
  std::vector<uint8_t> prevBuf(rowCopy && destRowsMove ? span : 0);
  if (translucent && !job.Alpha) std::fill(alpha.begin(), alpha.end(), job.Opacity);

  const bool contiguous = !job.XSteps || job.XContiguous;
  const Columns col{contiguous ? nullptr : job.XSteps + job.X1,
                    job.XSteps ? job.XSteps[job.X1] : job.SrcX + (job.X1 - job.DstX)};

  int32_t fetchedRow = -1;
  const uint8_t* s = nullptr;
  const uint8_t* a = nullptr;
  const uint8_t* prev = nullptr;
  int32_t prevRow = -1;
  for (int32_t y = y1; y <= y2; ++y) {
    const int32_t sy = job.YSteps ? job.YSteps[y] : job.SrcY + (y - job.DstY);
    uint8_t* drow = job.Rows ? job.Rows[y] : job.Dest->Scanline(y);
    if (!drow) {
      prev = nullptr;
      continue;
    }
    uint8_t* d = drow + 3 * static_cast<int64_t>(job.X1);
    if (rowCopy && prev && sy == prevRow) {
      std::memcpy(d, prev, span);
      continue;
    }
    if (sy != fetchedRow) {
      // A temp-file row stays mapped until the next Scanline on the same
      // bitmap, and nothing else maps rows of the source meanwhile.
      s = src.Scanline(sy);
      a = job.Alpha ? job.Alpha->Scanline(sy) : nullptr;
      fetchedRow = sy;
    }
    if (!s || (job.Alpha && !a)) {
      fetchedRow = -1;
      prev = nullptr;
      continue;
    }
    if (fill) FillSpan(d, n, job.Background);
    if (!dependsOnDest) {
      const uint8_t* c = fetch(s, col, n, d);
      if (c != d) std::memcpy(d, c, span);
    } else {
      const uint8_t* c = fetch(s, col, n, colour.data());
      if (blend) {
        // Translucent: the blend result replaces the colour, which is then
        // mixed in by alpha; opaque: it lands in the destination.
        blendRow(c, d, translucent ? colour.data() : d, n);
        if (translucent) c = colour.data();
      }
      if (translucent) {
        if (job.Alpha) {
          // One 4-byte store per pixel spreads the value over its three
          // channels (the buffer has a byte to spare at the end).
          uint8_t* __restrict a3 = alpha.data();
          const uint32_t op = job.Opacity;
          if (col.table) {
            for (int32_t i = 0; i < n; ++i) {
              const uint32_t v = std::min<uint32_t>(op, a[col.table[i]]) * 0x01010101u;
              std::memcpy(a3 + 3 * i, &v, 4);
            }
          } else {
            const uint8_t* __restrict ar = a + col.first;
            for (int32_t i = 0; i < n; ++i) {
              const uint32_t v = std::min<uint32_t>(op, ar[i]) * 0x01010101u;
              std::memcpy(a3 + 3 * i, &v, 4);
            }
          }
        }
        Mix(d, c, alpha.data(), span);
      }
    }
    if (rowCopy) {
      if (destRowsMove) {
        std::memcpy(prevBuf.data(), d, span);
        prev = prevBuf.data();
      } else {
        prev = d;
      }
      prevRow = sy;
    }
  }
}

template <class Fetch>
void RunRows(const TPXRenderJob& job, bool translucent) {
  const int32_t n = job.X2 - job.X1 + 1;
  if (n <= 0 || job.Y2 < job.Y1 || !job.Source || !job.Dest) return;
  const Fetch fetch(*job.Source, job.BlendMode);
  // Bands only over rows that stay put: a temporary-file row is valid only
  // until the next row of its bitmap is mapped.
  const bool serial = !job.Rows || !PXRowsShareable({job.Source, job.Alpha});
  PXParallelRows(
      job.Y2 - job.Y1 + 1, n,
      [&](int32_t first, int32_t last) { RunBand(job, fetch, translucent, job.Y1 + first, job.Y1 + last - 1); },
      serial);
}

template <class Fetch>
void Opaque(const TPXRenderJob& job) {
  RunRows<Fetch>(job, false);
}
template <class Fetch>
void Blended(const TPXRenderJob& job) {
  RunRows<Fetch>(job, true);
}

// Fetchers that ignore the blend mode still take it, so one constructor
// shape serves every format.
template <class Base>
struct Adapt : Base {
  Adapt(TPXBitmap& s, uint8_t) : Base(s) {}
};

}  // namespace

TPXRenderKernelPair RenderKernelsFor(TPXPixelFormat format) {
  switch (format) {
    case pxBGR24: return {Opaque<FetchBGR24>, Blended<FetchBGR24>};
    case pxBW1: return {Opaque<Adapt<FetchBW1>>, Blended<Adapt<FetchBW1>>};
    case pxGray8: return {Opaque<Adapt<FetchGray8>>, Blended<Adapt<FetchGray8>>};
    case pxPal8: return {Opaque<Adapt<FetchPal8>>, Blended<Adapt<FetchPal8>>};
    case pxGray16: return {Opaque<Adapt<FetchGray16>>, Blended<Adapt<FetchGray16>>};
    case px32f: return {Opaque<Adapt<Fetch32f>>, Blended<Adapt<Fetch32f>>};
    case pxCMYK: return {Opaque<Adapt<FetchCMYK>>, Blended<Adapt<FetchCMYK>>};
    default: return {};
  }
}

}  // namespace pixoran
