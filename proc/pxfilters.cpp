// Filters and effects: the 3x3 kernels, the Gaussian blur, soft shadows,
// lens, wave and rounded corners, and the processing component's
// operations on them.
#include "proc/pxfilters.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/kopxutils_colors.h"
#include "core/kopxutils_geometry.h"
#include "core/kopxutils_helpers.h"
#include "proc/pixoranproc.h"
#include "proc/pxbands_internal.h"

namespace pixoran {

namespace {

int32_t ClampToInt32(int64_t v) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

}  // namespace

// ------------------------------------------------------------ 3x3 kernels

namespace {

void AddPredefinedKernels(TPXFilterList& list) {
  const std::pair<const TPXFilterKernel*, const char*> predefined[] = {
      {&kFilterNone, "None"},
      {&kFilterBlur, "Blur"},
      {&kFilterEdges, "Edges"},
      {&kFilterEmboss, "Emboss"},
      {&kFilterHighPass1, "High Pass 1"},
      {&kFilterHighPass2, "High Pass 2"},
      {&kFilterHighPass3, "High Pass 3"},
      {&kFilterLowPass1, "Low Pass 1"},
      {&kFilterLowPass2, "Low Pass 2"},
  };
  for (const auto& [kernel, name] : predefined) {
    list.Kernels.push_back(*kernel);
    list.Names.emplace_back(name);
  }
}

}  // namespace

TPXFilterList& FilterList() {
  // Filled on first use, so no start-up order matters.
  static TPXFilterList list = [] {
    TPXFilterList l;
    AddPredefinedKernels(l);
    return l;
  }();
  return list;
}

void FreeFilterList() {
  FilterList().Kernels.clear();
  FilterList().Names.clear();
}

void AddFilterKernel(const TPXFilterKernel& kernel, const std::string& name) {
  FilterList().Kernels.push_back(kernel);
  FilterList().Names.push_back(name);
}

void BuildFilterList() {
  FreeFilterList();
  AddPredefinedKernels(FilterList());
}

void ApplyFilter3x3(TPXBitmap& bitmap, const TPXFilterKernel& kernel, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  if (bitmap.PixelFormat() != pxGray8 || !ClipToImage(bitmap, x1, y1, x2, y2)) return;
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  const int64_t divisor = kernel.Divisor == 0 ? 1 : kernel.Divisor;
  // Products of each coefficient with every byte value; 64-bit, so any
  // coefficients a caller adds to the list sum without overflow.
  std::vector<int64_t> products(9 * 256);
  for (int k = 0; k < 9; ++k)
    for (int v = 0; v < 256; ++v) products[static_cast<size_t>(k * 256 + v)] = int64_t{kernel.Values[k]} * v;
  // One result row of the rectangle from the rows above, at and below it.
  auto filterRow = [&](const uint8_t* const r[3], uint8_t* out) {
    for (int32_t x = x1; x < x2; ++x) {
      const int32_t xs[3] = {std::max(x - 1, 0), x, std::min(x + 1, w - 1)};
      int64_t sum = 0;
      for (int k = 0; k < 9; ++k) sum += products[static_cast<size_t>(k * 256 + r[k / 3][xs[k % 3]])];
      out[x - x1] = static_cast<uint8_t>(std::clamp<int64_t>(sum / divisor, 0, 255));
    }
  };
  const int64_t rw = x2 - x1;
  const TPXBandRows rows(bitmap);
  // Bands read rows other bands write: the results wait aside until every
  // band is done (or, when no room can be had for them, the rows are
  // worked in turn as below).
  std::vector<uint8_t> result;
  if (!rows.Serial()) {
    try {
      result.resize(static_cast<size_t>(rw * (y2 - y1)));
    } catch (const std::bad_alloc&) {
      result = {};
    }
  }
  if (!result.empty()) {
    PXParallelRows(y2 - y1, rw, [&](int32_t first, int32_t last) {
      for (int32_t y = y1 + first; y < y1 + last; ++y) {
        const uint8_t* r[3] = {rows[std::max(y - 1, 0)], rows[y], rows[std::min(y + 1, h - 1)]};
        filterRow(r, &result[static_cast<size_t>((y - y1) * rw)]);
      }
    });
    PXParallelRows(y2 - y1, rw, [&](int32_t first, int32_t last) {
      for (int32_t y = y1 + first; y < y1 + last; ++y)
        std::memcpy(rows[y] + x1, &result[static_cast<size_t>((y - y1) * rw)], static_cast<size_t>(rw));
    });
    return;
  }
  // Copies of the rows above, at and below the current one, so the result
  // can go straight back into the bitmap with only one temporary-file row
  // mapped at a time.
  std::vector<uint8_t> copies[3] = {std::vector<uint8_t>(w), std::vector<uint8_t>(w), std::vector<uint8_t>(w)};
  auto load = [&](int32_t y, std::vector<uint8_t>& into) {
    const uint8_t* p = bitmap.Scanline(std::clamp(y, 0, h - 1));
    if (p) std::memcpy(into.data(), p, static_cast<size_t>(w));
    else std::fill(into.begin(), into.end(), 0);
  };
  std::vector<uint8_t>*above = &copies[0], *cur = &copies[1], *below = &copies[2];
  load(y1 - 1, *above);
  load(y1, *cur);
  std::vector<uint8_t> out(static_cast<size_t>(rw));
  for (int32_t y = y1; y < y2; ++y) {
    load(y + 1, *below);
    const uint8_t* r[3] = {above->data(), cur->data(), below->data()};
    filterRow(r, out.data());
    if (uint8_t* d = bitmap.Scanline(y)) std::memcpy(d + x1, out.data(), out.size());
    std::swap(above, cur);
    std::swap(cur, below);
  }
}

// ------------------------------------------------------------ Gaussian kernel

TPXGaussianKernel BuildGaussianKernel(double radius) {
  TPXGaussianKernel k;
  if (!(radius > 0)) {  // no spread at all
    k.Weights[100] = 1.0;
    k.IntWeights[100] = 65536;
    return k;
  }
  double sum = 0;
  for (int i = -100; i <= 100; ++i) {
    const double t = i / radius;
    k.Weights[static_cast<size_t>(i + 100)] = std::exp(-t * t / 2);
    sum += k.Weights[static_cast<size_t>(i + 100)];
  }
  for (size_t i = 0; i < 201; ++i) k.IntWeights[i] = static_cast<int32_t>(RoundHalfEven(k.Weights[i] * 65536 / sum));
  k.HalfWidth = 100;
  while (k.HalfWidth > 1 && k.IntWeights[static_cast<size_t>(100 + k.HalfWidth)] == 0 &&
         k.IntWeights[static_cast<size_t>(100 - k.HalfWidth)] == 0)
    --k.HalfWidth;
  return k;
}

// ------------------------------------------------------------ the blur engine

namespace {

// One pass of the blur is out[j] = 32768 + sum over taps t of w[t] * in_t[j],
// shifted right by 16, where in_t are rows of floats holding byte values:
// the same row shifted by t pixels for the row pass, the rows above and
// below for the column pass. With the kernel's weights (not negative,
// summing to 65536 within rounding) every partial sum is an integer below
// 2^24, which float arithmetic holds exactly: the vector path gives the
// integer result bit for bit.
struct TTaps {
  int32_t Half = 1;
  std::vector<int32_t> Int;  // 2 * Half + 1 weights, offsets -Half..Half
  std::vector<float> Float;
  bool FloatExact = true;
};

TTaps MakeTaps(const TPXGaussianKernel& kernel) {
  TTaps t;
  t.Half = std::clamp(kernel.HalfWidth, 1, 100);
  int64_t sum = 0;
  bool negative = false;
  for (int32_t i = -t.Half; i <= t.Half; ++i) {
    const int32_t w = kernel.IntWeights[static_cast<size_t>(i + 100)];
    t.Int.push_back(w);
    t.Float.push_back(static_cast<float>(w));
    sum += w;
    negative = negative || w < 0;
  }
  t.FloatExact = !negative && sum * 255 + 32768 < (int64_t{1} << 24);
  return t;
}

uint8_t ShiftToByte(int64_t s) { return static_cast<uint8_t>(std::clamp<int64_t>(s >> 16, 0, 255)); }

// out[from..count-1] in 64-bit integers, for any weights.
void ConvolveScalar(const float* const* in, const TTaps& taps, int64_t from, int64_t count, uint8_t* out) {
  const auto n = static_cast<int32_t>(taps.Int.size());
  for (int64_t j = from; j < count; ++j) {
    int64_t s = 32768;
    for (int32_t t = 0; t < n; ++t) s += int64_t{taps.Int[static_cast<size_t>(t)]} * static_cast<int64_t>(in[t][j]);
    out[j] = ShiftToByte(s);
  }
}

void BytesToFloatScalar(const uint8_t* s, float* d, int64_t from, int64_t n) {
  for (int64_t i = from; i < n; ++i) d[i] = s[i];
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) inline void Store8(__m256 a, uint8_t* out) {
  const __m256i i = _mm256_srli_epi32(_mm256_cvttps_epi32(a), 16);
  const __m128i p = _mm_packs_epi32(_mm256_castsi256_si128(i), _mm256_extracti128_si256(i, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(p, p));
}

__attribute__((target("avx2"))) inline void Store32(__m256 a0, __m256 a1, __m256 a2, __m256 a3, uint8_t* out) {
  const __m256i i0 = _mm256_srli_epi32(_mm256_cvttps_epi32(a0), 16),
                i1 = _mm256_srli_epi32(_mm256_cvttps_epi32(a1), 16),
                i2 = _mm256_srli_epi32(_mm256_cvttps_epi32(a2), 16),
                i3 = _mm256_srli_epi32(_mm256_cvttps_epi32(a3), 16);
  // The packs work within 128-bit lanes: put the 4-byte groups back in order.
  const __m256i b = _mm256_packus_epi16(_mm256_packs_epi32(i0, i1), _mm256_packs_epi32(i2, i3));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      _mm256_permutevar8x32_epi32(b, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
}

// 64 outputs at a time in eight accumulators (enough to keep both FMA
// units busy), then 8 at a time; returns how many were done.
__attribute__((target("avx2,fma"))) int64_t ConvolveAvx2(const float* const* in, const float* w, int32_t n,
                                                         int64_t count, uint8_t* out) {
  const __m256 bias = _mm256_set1_ps(32768.0f);
  int64_t j = 0;
  for (; j + 64 <= count; j += 64) {
    __m256 a0 = bias, a1 = bias, a2 = bias, a3 = bias, a4 = bias, a5 = bias, a6 = bias, a7 = bias;
    for (int32_t t = 0; t < n; ++t) {
      const __m256 wt = _mm256_broadcast_ss(w + t);
      const float* p = in[t] + j;
      a0 = _mm256_fmadd_ps(wt, _mm256_loadu_ps(p), a0);
      a1 = _mm256_fmadd_ps(wt, _mm256_loadu_ps(p + 8), a1);
      a2 = _mm256_fmadd_ps(wt, _mm256_loadu_ps(p + 16), a2);
      a3 = _mm256_fmadd_ps(wt, _mm256_loadu_ps(p + 24), a3);
      a4 = _mm256_fmadd_ps(wt, _mm256_loadu_ps(p + 32), a4);
      a5 = _mm256_fmadd_ps(wt, _mm256_loadu_ps(p + 40), a5);
      a6 = _mm256_fmadd_ps(wt, _mm256_loadu_ps(p + 48), a6);
      a7 = _mm256_fmadd_ps(wt, _mm256_loadu_ps(p + 56), a7);
    }
    Store32(a0, a1, a2, a3, out + j);
    Store32(a4, a5, a6, a7, out + j + 32);
  }
  for (; j + 8 <= count; j += 8) {
    __m256 a = bias;
    for (int32_t t = 0; t < n; ++t) a = _mm256_fmadd_ps(_mm256_broadcast_ss(w + t), _mm256_loadu_ps(in[t] + j), a);
    Store8(a, out + j);
  }
  return j;
}

// Two output rows at once for the column pass: in holds n + 1 rows, out0
// takes rows 0..n-1 and out1 rows 1..n, so each row is loaded once for both
// and the loads from the cache halve. Returns how many were done.
__attribute__((target("avx2,fma"))) int64_t ConvolvePairAvx2(const float* const* in, const float* w, int32_t n,
                                                             int64_t count, uint8_t* out0, uint8_t* out1) {
  const __m256 bias = _mm256_set1_ps(32768.0f);
  int64_t j = 0;
  for (; j + 32 <= count; j += 32) {
    __m256 a0 = bias, a1 = bias, a2 = bias, a3 = bias, b0 = bias, b1 = bias, b2 = bias, b3 = bias;
    for (int32_t t = 0; t <= n; ++t) {
      const float* p = in[t] + j;
      const __m256 v0 = _mm256_loadu_ps(p), v1 = _mm256_loadu_ps(p + 8), v2 = _mm256_loadu_ps(p + 16),
                   v3 = _mm256_loadu_ps(p + 24);
      if (t < n) {
        const __m256 wa = _mm256_broadcast_ss(w + t);
        a0 = _mm256_fmadd_ps(wa, v0, a0);
        a1 = _mm256_fmadd_ps(wa, v1, a1);
        a2 = _mm256_fmadd_ps(wa, v2, a2);
        a3 = _mm256_fmadd_ps(wa, v3, a3);
      }
      if (t > 0) {
        const __m256 wb = _mm256_broadcast_ss(w + t - 1);
        b0 = _mm256_fmadd_ps(wb, v0, b0);
        b1 = _mm256_fmadd_ps(wb, v1, b1);
        b2 = _mm256_fmadd_ps(wb, v2, b2);
        b3 = _mm256_fmadd_ps(wb, v3, b3);
      }
    }
    Store32(a0, a1, a2, a3, out0 + j);
    Store32(b0, b1, b2, b3, out1 + j);
  }
  return j;
}

__attribute__((target("avx2"))) int64_t BytesToFloatAvx2(const uint8_t* s, float* d, int64_t n) {
  int64_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(
        d + i, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + i)))));
  return i;
}

bool HasAvx2Fma() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return yes;
}
#endif

void Convolve(const float* const* in, const TTaps& taps, int64_t count, uint8_t* out) {
  int64_t done = 0;
#if defined(__x86_64__)
  if (taps.FloatExact && HasAvx2Fma())
    done = ConvolveAvx2(in, taps.Float.data(), static_cast<int32_t>(taps.Float.size()), count, out);
#endif
  ConvolveScalar(in, taps, done, count, out);
}

// Convolve for two consecutive outputs; in holds one row more than the taps.
void ConvolvePair(const float* const* in, const TTaps& taps, int64_t count, uint8_t* out0, uint8_t* out1) {
  int64_t done = 0;
#if defined(__x86_64__)
  if (taps.FloatExact && HasAvx2Fma())
    done = ConvolvePairAvx2(in, taps.Float.data(), static_cast<int32_t>(taps.Float.size()), count, out0, out1);
#endif
  ConvolveScalar(in, taps, done, count, out0);
  ConvolveScalar(in + 1, taps, done, count, out1);
}

void BytesToFloat(const uint8_t* s, float* d, int64_t n) {
  int64_t done = 0;
#if defined(__x86_64__)
  if (HasAvx2Fma()) done = BytesToFloatAvx2(s, d, n);
#endif
  BytesToFloatScalar(s, d, done, n);
}

// One row of n pixels of ch bytes through the row pass, in place; pad is
// a buffer the pass may reuse between rows.
void BlurSpan(uint8_t* row, int32_t n, int32_t ch, const TTaps& taps, std::vector<float>& pad,
              std::vector<const float*>& in) {
  if (n <= 0) return;
  const int64_t half = taps.Half, rowBytes = int64_t{n} * ch;
  pad.resize(static_cast<size_t>((n + 2 * half) * ch));
  // Positions before the start and past the end repeat the end pixels.
  for (int64_t k = 0; k < half; ++k)
    for (int32_t c = 0; c < ch; ++c) {
      pad[static_cast<size_t>(k * ch + c)] = row[c];
      pad[static_cast<size_t>((half + n + k) * ch + c)] = row[rowBytes - ch + c];
    }
  BytesToFloat(row, pad.data() + half * ch, rowBytes);
  in.resize(taps.Int.size());
  for (size_t t = 0; t < in.size(); ++t) in[t] = pad.data() + static_cast<int64_t>(t) * ch;
  Convolve(in.data(), taps, rowBytes, row);
}

// The blur of the rectangle x1..x2-1, y1..y2-1 (inside the image) of a
// bitmap with ch bytes a pixel: every row, then every column. progress,
// when given, gets Trunc(scale * step) after each row (steps 0..rows - 1)
// and each column (steps rows..rows + columns - 1), scale = 100 / (rows + columns).
// Rows of the first pass and strips of columns of the second are worked in
// bands on the pool; a pixel's result does not depend on how they are cut.
void BlurRect(TPXBitmap& b, int32_t ch, int32_t x1, int32_t y1, int32_t x2, int32_t y2, const TTaps& taps,
              const TPXProgressRec* progress) {
  const int32_t w = x2 - x1, h = y2 - y1;
  if (w <= 0 || h <= 0) return;
  const bool report = progress && progress->OnProgress;
  const double scale = 100.0 / (static_cast<double>(w) + h);
  const int64_t offset = int64_t{x1} * ch, rowBytes = int64_t{w} * ch;
  const TPXBandRows rows(b);
  PXProcRows(
      h, w, rows.Serial(),
      [&](int32_t first, int32_t last) {
        // Kept by each thread: with progress on one thread a band is one row.
        thread_local std::vector<float> pad;
        thread_local std::vector<const float*> in;
        for (int32_t y = first; y < last; ++y)
          if (uint8_t* row = rows[y1 + y]) BlurSpan(row + offset, w, ch, taps, pad, in);
      },
      report ? TPXRowReport([&](int32_t done) { progress->Report(TruncToInt32(scale * (done - 1))); })
             : TPXRowReport{});

  // Columns: strips of the rows, each strip's rows held as floats in a ring
  // of 2 * half + 2 rows (the window of two output rows) so that the ring
  // stays in the cache; two output rows are made at a time. The rows are
  // read and written a whole strip at a time, each row read into the ring
  // before the output that replaces it is written. Strips are independent:
  // with several threads they are cut narrower, so there are enough of them
  // to share.
  const int64_t ringRows = 2 * int64_t{taps.Half} + 2;
  int64_t strip = (int64_t{1} << 16) / ringRows;
  if (rows.Serial()) strip = (int64_t{1} << 24) / ringRows;  // fewer passes over the file
  else if (const int32_t threads = PXThreadCount(); threads > 1)
    strip = std::min(strip, (rowBytes + 4 * threads * 64 - 1) / (4 * threads * 64) * 64);
  strip = std::min(rowBytes, std::max<int64_t>(64, strip / 64 * 64));
  const auto strips = static_cast<int32_t>((rowBytes + strip - 1) / strip);
  const TPXRowWorker columns = [&](int32_t firstStrip, int32_t lastStrip) {
    std::vector<float> ring(static_cast<size_t>(ringRows * strip));
    std::vector<uint8_t> out(static_cast<size_t>(2 * strip));
    std::vector<const float*> in(static_cast<size_t>(ringRows));
    auto slot = [&](int64_t r) { return ring.data() + (r % ringRows) * strip; };
    for (int64_t s0 = int64_t{firstStrip} * strip; s0 < rowBytes && s0 < int64_t{lastStrip} * strip; s0 += strip) {
      const int64_t sw = std::min(strip, rowBytes - s0);
      int32_t loaded = 0;  // rows 0..loaded-1 have been read into the ring
      auto loadUpTo = [&](int64_t last) {
        for (; loaded <= std::min<int64_t>(last, h - 1); ++loaded) {
          if (const uint8_t* row = rows[y1 + loaded]) BytesToFloat(row + offset + s0, slot(loaded), sw);
          else std::fill_n(slot(loaded), sw, 0.0f);
        }
      };
      auto store = [&](int32_t y, const uint8_t* from) {
        if (uint8_t* row = rows[y1 + y]) std::memcpy(row + offset + s0, from, static_cast<size_t>(sw));
      };
      for (int32_t y = 0; y < h; y += 2) {
        loadUpTo(int64_t{y} + 1 + taps.Half);
        for (int64_t t = 0; t < ringRows; ++t)
          in[static_cast<size_t>(t)] = slot(std::clamp<int64_t>(y - taps.Half + t, 0, h - 1));
        if (y + 1 < h) {
          ConvolvePair(in.data(), taps, sw, out.data(), out.data() + strip);
          store(y, out.data());
          store(y + 1, out.data() + strip);
        } else {
          Convolve(in.data(), taps, sw, out.data());
          store(y, out.data());
        }
      }
    }
  };
  int32_t columnsReported = 0;
  const TPXRowsDone columnsDone = [&](int32_t, int32_t lastStrip) {
    const auto done = static_cast<int32_t>(std::min(rowBytes, int64_t{lastStrip} * strip) / ch);
    for (; columnsReported < done; ++columnsReported)
      progress->Report(TruncToInt32(scale * (static_cast<double>(h) + columnsReported)));
    return true;
  };
  PXParallelRows(strips, strip / ch * h, columns, rows.Serial(), report ? columnsDone : TPXRowsDone{});
}

}  // namespace

void BlurRowBgr24(uint8_t* row, int32_t n, const TPXGaussianKernel& kernel) {
  const TTaps taps = MakeTaps(kernel);
  std::vector<float> pad;
  std::vector<const float*> in;
  BlurSpan(row, n, 3, taps, pad, in);
}

void BlurRowGray8(uint8_t* row, int32_t n, const TPXGaussianKernel& kernel) {
  const TTaps taps = MakeTaps(kernel);
  std::vector<float> pad;
  std::vector<const float*> in;
  BlurSpan(row, n, 1, taps, pad, in);
}

void GaussianBlur(TPXBitmap& bitmap, double radius, const TPXProgressRec& progress) {
  const TPXPixelFormat f = bitmap.PixelFormat();
  if (!(radius > 0) || (f != pxGray8 && f != pxBGR24)) return;
  BlurRect(bitmap, f == pxBGR24 ? 3 : 1, 0, 0, bitmap.Width(), bitmap.Height(), MakeTaps(BuildGaussianKernel(radius)),
           &progress);
}

void BlurAlphaRect(TPXBitmap& bitmap, int32_t x1, int32_t y1, int32_t x2, int32_t y2, double radius) {
  if (!(radius > 0) || bitmap.PixelFormat() != pxGray8) return;
  // Inclusive corners; widened so that x2 + 1 cannot overflow.
  int32_t ex = ClampToInt32(int64_t{x2} + 1), ey = ClampToInt32(int64_t{y2} + 1);
  if (!ClipToImage(bitmap, x1, y1, ex, ey)) return;
  BlurRect(bitmap, 1, x1, y1, ex, ey, MakeTaps(BuildGaussianKernel(radius)), nullptr);
}

// ------------------------------------------------------------ shadows

namespace {

int64_t ShadowMargin(int32_t offsetX, int32_t offsetY, double radius) {
  const int64_t reach = std::max(std::llabs(int64_t{offsetX}), std::llabs(int64_t{offsetY}));
  return std::max<int64_t>(2 * reach + TruncToInt32(radius * 5), 1);
}

// Moves the alpha of the rectangle x1..x2, y1..y2 (inclusive, inside the
// image) by the offset, 0 filling the area left behind; parts moved past
// the image are lost.
void MoveAlpha(TPXBitmap& alpha, int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t dx, int32_t dy) {
  if (dx == 0 && dy == 0) return;
  const int64_t tx = int64_t{x1} + dx, ty = int64_t{y1} + dy;
  if (tx >= alpha.Width() || ty >= alpha.Height() || tx + (x2 - x1) < 0 || ty + (y2 - y1) < 0) {
    alpha.FillRect(x1, y1, x2, y2, 0);
    return;
  }
  alpha.MoveRegion(x1, y1, x2, y2, static_cast<int32_t>(tx), static_cast<int32_t>(ty), 0);
}

// Over x1..x2-1, y1..y2-1: where the alpha kept from before (saved, one
// row of savedStride bytes per image row, from column x1) is non-zero, or
// the shadow (the alpha channel now) is 0, the kept alpha goes back;
// elsewhere, a transparent pixel under the shadow, the pixel takes the
// shadow colour and the shadow's alpha.
void CombineShadow(TPXBitmap& b, TPXBitmap& alpha, const uint8_t* saved, int64_t savedStride, int32_t x1, int32_t y1,
                   int32_t x2, int32_t y2, TBGR colour) {
  const TPXPixelFormat f = b.PixelFormat();
  const TPXBandRows alphaRows(alpha), rows(b);
  PXParallelRows(
      y2 - y1, x2 - x1,
      [&](int32_t first, int32_t last) {
        for (int32_t y = y1 + first; y < y1 + last; ++y) {
          uint8_t* a = alphaRows[y];
          uint8_t* p = rows[y];  // another bitmap: a stays valid
          if (!a) continue;
          const uint8_t* kept = saved + (y - y1) * savedStride;
          for (int32_t x = x1; x < x2; ++x) {
            const uint8_t k = kept[x - x1];
            if (k != 0 || a[x] == 0) {
              a[x] = k;
              continue;
            }
            if (!p) continue;
            if (f == pxBGR24) {
              uint8_t* q = p + 3 * static_cast<int64_t>(x);
              q[0] = colour.b, q[1] = colour.g, q[2] = colour.r;
            } else if (f == pxBW1) {
              SetBit(p, x, false);
            }
          }
        }
      },
      alphaRows.Serial() || rows.Serial());
}

// The alpha of x1..x2-1, y1..y2-1 as rows of x2 - x1 bytes.
std::vector<uint8_t> CopyAlpha(TPXBitmap& alpha, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  const int64_t w = x2 - x1;
  std::vector<uint8_t> out(static_cast<size_t>(w * (y2 - y1)));
  const TPXBandRows rows(alpha);
  PXParallelRows(
      y2 - y1, w,
      [&](int32_t first, int32_t last) {
        for (int32_t y = y1 + first; y < y1 + last; ++y)
          if (const uint8_t* a = rows[y]) std::memcpy(out.data() + (y - y1) * w, a + x1, static_cast<size_t>(w));
      },
      rows.Serial());
  return out;
}

}  // namespace

void AddSoftShadowToBitmap(TPXBitmap& bitmap, int32_t offsetX, int32_t offsetY, const TPXProgressRec& progress,
                           TBGR shadow, bool enlarge, double radius) {
  if (bitmap.PixelFormat() == pxNone) return;
  TPXBitmap* alpha = bitmap.GetAlphaChannel();
  if (!alpha) return;  // an alpha channel itself
  alpha->Full = false;
  if (enlarge) {
    const int64_t margin = ShadowMargin(offsetX, offsetY, radius);
    const int64_t w = bitmap.Width() + margin, h = bitmap.Height() + margin;
    if (w > std::numeric_limits<int32_t>::max() || h > std::numeric_limits<int32_t>::max())
      throw EPXBitmapError("The enlarged image is too large");
    bitmap.Resize(static_cast<int32_t>(w), static_cast<int32_t>(h), 0, 0, 1, 1);
    alpha = bitmap.GetAlphaChannel();
  }
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  if (w <= 0 || h <= 0) return;
  const std::vector<uint8_t> saved = CopyAlpha(*alpha, 0, 0, w, h);
  GaussianBlur(*alpha, radius, progress);
  MoveAlpha(*alpha, 0, 0, w - 1, h - 1, offsetX, offsetY);
  CombineShadow(bitmap, *alpha, saved.data(), w, 0, 0, w, h, shadow);
}

int32_t DrawSoftShadowRect(TPXBitmap& bitmap, int32_t offsetX, int32_t offsetY, const TRect& rect, double radius) {
  const bool box = radius == 0;  // the 3x3 "Blur" kernel stands in for the Gaussian
  if (box) radius = 2;
  const int64_t margin = ShadowMargin(offsetX, offsetY, radius);
  const auto result = ClampToInt32(margin);
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  TPXBitmap* alpha = w > 0 && h > 0 && bitmap.PixelFormat() != pxNone ? bitmap.GetAlphaChannel() : nullptr;
  if (!alpha) return result;
  // The object's rectangle grown by g on each side, cut to the image
  // (right and bottom exclusive).
  auto grown = [&](int64_t g, int32_t& x1, int32_t& y1, int32_t& x2, int32_t& y2) {
    x1 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{rect.Left} - g, 0, w));
    y1 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{rect.Top} - g, 0, h));
    x2 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{rect.Right} + g, 0, w));
    y2 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{rect.Bottom} + g, 0, h));
    return x1 < x2 && y1 < y2;
  };
  int32_t ox1, oy1, ox2, oy2;
  if (!grown(margin, ox1, oy1, ox2, oy2)) return result;
  alpha->Full = false;
  const std::vector<uint8_t> saved = CopyAlpha(*alpha, ox1, oy1, ox2, oy2);
  int32_t ix1, iy1, ix2, iy2;
  if (grown(margin / 2, ix1, iy1, ix2, iy2)) {
    if (box) ApplyFilter3x3(*alpha, kFilterBlur, ix1, iy1, ix2, iy2);
    else BlurAlphaRect(*alpha, ix1, iy1, ix2 - 1, iy2 - 1, radius);
    MoveAlpha(*alpha, ix1, iy1, ix2 - 1, iy2 - 1, offsetX, offsetY);
  }
  CombineShadow(bitmap, *alpha, saved.data(), ox2 - ox1, ox1, oy1, ox2, oy2, TBGR{0, 0, 0});
  return result;
}

// ------------------------------------------------------------ rounded corners

void RoundCorners(TPXBitmap& bitmap, int32_t w, int32_t h) {
  const int32_t width = bitmap.Width(), height = bitmap.Height();
  if (w <= 0 || h <= 0 || width <= 0 || height <= 0 || bitmap.PixelFormat() == pxNone) return;
  TPXBitmap* alpha = bitmap.GetAlphaChannel();
  if (!alpha) return;
  // w + h points of the curve; past a few million (corners far larger than
  // any image) more points add nothing but memory.
  const auto n = static_cast<int32_t>(std::min<int64_t>(int64_t{w} + h, int64_t{1} << 22));
  std::vector<TPXPoint> points(static_cast<size_t>(n));
  // For each row, the last column cleared from the left (top corners) or
  // the first cleared up to the right (bottom corners); -1 / width: none.
  // Every curve point clears the corner box it spans, so a row takes the
  // widest box of the points at or below it (top) or at or above it (bottom).
  std::vector<int32_t> top(static_cast<size_t>(height), -1), bottom(static_cast<size_t>(height), width);
  BezierPoints({0, h}, {0, 0}, {w, 0}, {w, 0}, n, points.data());
  for (const TPXPoint& p : points) {
    const int32_t px = std::clamp(p.X, 0, width - 1), py = std::clamp(p.Y, 0, height - 1);
    top[static_cast<size_t>(py)] = std::max(top[static_cast<size_t>(py)], px);
  }
  for (int32_t y = height - 2; y >= 0; --y)
    top[static_cast<size_t>(y)] = std::max(top[static_cast<size_t>(y)], top[static_cast<size_t>(y + 1)]);
  BezierPoints({width, height - h}, {width, height}, {width - w, height}, {width - w, height}, n, points.data());
  for (const TPXPoint& p : points) {
    const int32_t px = std::clamp(p.X, 0, width - 1), py = std::clamp(p.Y, 0, height - 1);
    bottom[static_cast<size_t>(py)] = std::min(bottom[static_cast<size_t>(py)], px);
  }
  for (int32_t y = 1; y < height; ++y)
    bottom[static_cast<size_t>(y)] = std::min(bottom[static_cast<size_t>(y)], bottom[static_cast<size_t>(y - 1)]);
  for (int32_t y = 0; y < height; ++y) {
    const int32_t t = top[static_cast<size_t>(y)], b = bottom[static_cast<size_t>(y)];
    if (t < 0 && b >= width) continue;
    uint8_t* a = alpha->Scanline(y);
    if (!a) continue;
    if (t >= 0) {  // columns 0..t and their mirrors width-1-t..width-1
      std::memset(a, 0, static_cast<size_t>(t + 1));
      std::memset(a + width - 1 - t, 0, static_cast<size_t>(t + 1));
    }
    if (b < width) {  // columns b..width-1 and their mirrors 0..width-1-b
      std::memset(a + b, 0, static_cast<size_t>(width - b));
      std::memset(a, 0, static_cast<size_t>(width - b));
    }
  }
  alpha->SyncFull();
}

// ------------------------------------------------------------ the component's operations

void TPixoranProc::Blur(double radius) {
  RunInSelection(
      PXFormatSet(pxGray8) | PXFormatSet(pxBGR24), "Blur " + FloatToStr(radius),
      [&](TPXBitmap& work, int32_t, int32_t, int32_t, int32_t) { GaussianBlur(work, radius, ProgressRec()); });
}

void TPixoranProc::AddSoftShadow(double radius, int32_t offsetX, int32_t offsetY, bool enlarge, TColor shadowColor) {
  aborting_ = false;
  if (!CheckBitmap(kPXAnyFormat)) return;
  const TPXProgressRec progress = ProgressRec();
  ChangeImage("AddSoftShadow", [&](TPXBitmap& copy) {
    AddSoftShadowToBitmap(copy, offsetX, offsetY, progress, ColorToBGR(shadowColor), enlarge, radius);
    return true;
  });
}

void TPixoranProc::Lens(int32_t x, int32_t y, int32_t width, int32_t height, double refraction) {
  RunInSelection(PXFormatSet(pxBGR24), "Lens", [&](TPXBitmap& work, int32_t, int32_t, int32_t, int32_t) {
    LensRect(work, x, y, width, height, refraction, ProgressRec());
  });
}

void TPixoranProc::Wave(int32_t amplitude, int32_t waveLength, int32_t phase, bool mode) {
  // Without a selection the work is a copy of the whole picture, which stays
  // as it is until the result replaces it: the wave reads the picture
  // instead of copying it once more.
  TPXSelectionInfo sel;
  GetSelection(sel);
  const bool whole = !sel.Mask || sel.Mask->IsEmpty();
  RunInSelection(PXFormatSet(pxBGR24), "Wave", [&](TPXBitmap& work, int32_t, int32_t, int32_t, int32_t) {
    WaveRect(work, amplitude, waveLength, mode, phase, ProgressRec(), whole ? bitmap_ : nullptr);
  });
}

void TPixoranProc::RoundImage(int32_t roundWidth, int32_t roundHeight) {
  RunInSelection(kPXAnyFormat, "RoundImage", [&](TPXBitmap& work, int32_t, int32_t, int32_t, int32_t) {
    RoundCorners(work, roundWidth, roundHeight);
  });
}

}  // namespace pixoran
