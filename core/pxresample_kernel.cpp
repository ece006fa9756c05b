// Kernel-weighted two-pass resampler (filters 1-8). Integer weights scaled
// by 256 per contributor list; each output is sum div S clamped to 0..255.
//
// The sums are computed in float: every weight and value is a small integer
// and every partial sum stays below 2^24 (weights of a list add up in
// magnitude to at most 32768), so float arithmetic is exact integer
// arithmetic here, and for such operands the correctly rounded quotient
// truncates to the integer quotient. That keeps the results of the integer
// formulation while the loops vectorise.
//
// The horizontal pass runs on blocks of 16 source rows stored transposed, so
// one output column of 16 rows is a plain vector multiply-add per
// contributor; its output rows wait in a small ring until the vertical pass
// has used them, instead of a whole intermediate image.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "core/kopxutils_bitmap.h"
#include "core/pxresample_internal.h"

namespace pixoran {

// ------------------------------------------------------------------ kernels

namespace {

double KTriangle(double x) {
  const double a = std::abs(x);
  return a < 1.0 ? 1.0 - a : 0.0;
}
double KHermite(double x) {
  const double a = std::abs(x);
  return a < 1.0 ? (2.0 * a - 3.0) * a * a + 1.0 : 0.0;
}
double KBell(double x) {
  const double a = std::abs(x);
  if (a < 0.5) return 0.75 - a * a;
  if (a < 1.5) return 0.5 * (a - 1.5) * (a - 1.5);
  return 0.0;
}
double KBSpline(double x) {
  const double a = std::abs(x);
  if (a < 1.0) return a * a * a / 2.0 - a * a + 2.0 / 3.0;
  if (a < 2.0) return (2.0 - a) * (2.0 - a) * (2.0 - a) / 6.0;
  return 0.0;
}
double Sinc(double x) {
  if (x == 0.0) return 1.0;
  const double px = std::numbers::pi * x;
  return std::sin(px) / px;
}
double KLanczos3(double x) { return std::abs(x) < 3.0 ? Sinc(x) * Sinc(x / 3.0) : 0.0; }
double KMitchell(double x) {
  const double a = std::abs(x);
  if (a < 1.0) return (7.0 * a * a * a - 12.0 * a * a + 16.0 / 3.0) / 6.0;
  if (a < 2.0) return (-7.0 / 3.0 * a * a * a + 12.0 * a * a - 20.0 * a + 32.0 / 3.0) / 6.0;
  return 0.0;
}
double KBox(double x) { return (x > -0.5 && x <= 0.5) ? 1.0 : 0.0; }
double KLinear(double x) { return (x >= -1.0 && x < 1.0) ? 1.0 - std::abs(x) : 0.0; }

}  // namespace

const std::array<TPXResampleKernel, 9> ResampleKernels = {{
    {nullptr, 0.0},
    {KTriangle, 1.0},
    {KHermite, 1.0},
    {KBell, 1.5},
    {KBSpline, 2.0},
    {KLanczos3, 3.0},
    {KMitchell, 2.0},
    {KBox, 1.0},
    {KLinear, 1.0},
}};

namespace resample_detail {

namespace {

constexpr int kBlock = 16;          // source rows per horizontal block
constexpr int64_t kLanes = 32;      // vertical-pass outputs kept in registers
constexpr int kChunkBytes = 32768;  // transposed source data per column chunk (first-level cache)
constexpr int64_t kMaxWeightMass = 32768;
// Bands per thread: each band runs the first pass over the rows its kernel
// reaches beyond its own as well, so few large bands waste less.
constexpr int32_t kBandsPerThread = 2;

// Per destination index: a run of Count source indices from Start with
// their weights (edge reflections folded onto the index they land on), and
// the divisor S (256 when the weights add up to 0).
struct TContributors {
  std::vector<int32_t> Start, Count;
  std::vector<size_t> Offset;
  std::vector<float> Weight;
  std::vector<float> Divisor;
  int32_t MaxCount = 0;
};

int32_t Reflect(int64_t j, int32_t n) {
  if (j < 0) j = -j;
  if (j >= n) j = 2 * static_cast<int64_t>(n) - 1 - j;
  return static_cast<int32_t>(std::clamp<int64_t>(j, 0, n - 1));
}

TContributors BuildContributors(int32_t srcN, int32_t dstN, const TPXResampleKernel& kernel) {
  TContributors out;
  out.Start.resize(static_cast<size_t>(dstN));
  out.Count.resize(static_cast<size_t>(dstN));
  out.Offset.resize(static_cast<size_t>(dstN));
  out.Divisor.resize(static_cast<size_t>(dstN));
  const double scale =
      (srcN == 1 || dstN == 1) ? static_cast<double>(dstN) / srcN : static_cast<double>(dstN - 1) / (srcN - 1);
  const bool enlarge = scale >= 1.0;
  const double width = enlarge ? kernel.Support : kernel.Support / scale;
  const double f = enlarge ? 1.0 : 1.0 / scale;

  std::vector<double> kv;
  std::vector<int32_t> idx;
  std::vector<int64_t> w;
  for (int32_t i = 0; i < dstN; ++i) {
    const double c = i / scale;
    const int64_t lo = FloorToInt(c - width), hi = CeilToInt(c + width);
    kv.clear();
    idx.clear();
    for (int64_t j = lo; j <= hi; ++j) {
      const double v = kernel.Kernel((c - static_cast<double>(j)) / f);
      if (v != 0.0) {
        kv.push_back(v);
        idx.push_back(Reflect(j, srcN));
      }
    }
    // Integer weights at a unit; a list whose weights all round away (a
    // reduction by some hundred times or more) is weighed again at a finer
    // unit, since sum div 256 would turn it black.
    int64_t sum = 0, mass = 0;
    auto weigh = [&](double unit) {
      w.resize(kv.size());
      sum = mass = 0;
      for (size_t k = 0; k < kv.size(); ++k) {
        w[k] = RoundHalfEven(kv[k] * unit / f);
        sum += w[k];
        mass += std::abs(w[k]);
      }
    };
    double unit = 256.0;
    weigh(unit);
    if (sum == 0 && !kv.empty()) {
      while (std::abs(sum) < 256 && mass * 2 <= kMaxWeightMass && unit < 1e12) {
        unit *= 2.0;
        weigh(unit);
      }
      if (mass > kMaxWeightMass) {  // overshot: back to the last unit that kept the sums exact
        unit /= 2.0;
        weigh(unit);
      }
    }
    if (sum < 0) {  // sum div S is unchanged when both change sign
      for (auto& x : w) x = -x;
      sum = -sum;
    }
    int32_t first = srcN, last = -1;
    for (size_t k = 0; k < w.size(); ++k)
      if (w[k] != 0) first = std::min(first, idx[k]), last = std::max(last, idx[k]);
    const size_t ii = static_cast<size_t>(i);
    out.Offset[ii] = out.Weight.size();
    out.Divisor[ii] = static_cast<float>(sum != 0 ? sum : 256);
    if (last < first) {
      out.Start[ii] = 0;
      out.Count[ii] = 0;
      continue;
    }
    out.Start[ii] = first;
    out.Count[ii] = last - first + 1;
    out.MaxCount = std::max(out.MaxCount, out.Count[ii]);
    out.Weight.resize(out.Weight.size() + static_cast<size_t>(out.Count[ii]), 0.0f);
    float* dw = out.Weight.data() + out.Offset[ii];
    for (size_t k = 0; k < w.size(); ++k)
      if (w[k] != 0) dw[idx[k] - first] += static_cast<float>(w[k]);
  }
  return out;
}

PX_INLINE_BODY uint8_t ClampQuotient(float acc, float divisor) {
  float v = acc / divisor;
  v = v < 0.0f ? 0.0f : v;
  v = v > 255.0f ? 255.0f : v;
  return static_cast<uint8_t>(static_cast<int32_t>(v));
}

// Block of kBlock rows of n bytes into T, element j of row r at j * kBlock + r.
#if defined(__GNUC__)
using TBytes16 = uint8_t __attribute__((vector_size(16)));
// Bytes 0-7 (or 8-15) of a and b interleaved. Four rounds of this on the
// 16 row vectors (row i with row i + 8) transpose a 16 x 16 byte tile.
PX_INLINE_BODY TBytes16 InterleaveLow(TBytes16 a, TBytes16 b) {
  return __builtin_shufflevector(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
}
PX_INLINE_BODY TBytes16 InterleaveHigh(TBytes16 a, TBytes16 b) {
  return __builtin_shufflevector(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
}
#endif

PX_HOT_CLONES void TransposeBlock(const uint8_t* const* rowPtrs, int64_t n, float* __restrict t) {
  static_assert(kBlock == 16, "the tile transpose takes 16 rows");
  const uint8_t* rows[kBlock];
  for (int r = 0; r < kBlock; ++r) rows[r] = rowPtrs[r];
  int64_t j0 = 0;
#if defined(__GNUC__)
  for (; j0 + 16 <= n; j0 += 16) {
    TBytes16 a[16], b[16];
    for (int r = 0; r < 16; ++r) std::memcpy(&a[r], rows[r] + j0, 16);
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i < 8; ++i)
        b[2 * i] = InterleaveLow(a[i], a[i + 8]), b[2 * i + 1] = InterleaveHigh(a[i], a[i + 8]);
      for (int i = 0; i < 8; ++i)
        a[2 * i] = InterleaveLow(b[i], b[i + 8]), a[2 * i + 1] = InterleaveHigh(b[i], b[i + 8]);
    }
    for (int q = 0; q < 16; ++q) {  // a[q] is column j0 + q of the 16 rows
      float* o = t + (j0 + q) * kBlock;
      for (int r = 0; r < 16; ++r) o[r] = a[q][r];
    }
  }
#endif
  for (; j0 < n; ++j0)
    for (int r = 0; r < kBlock; ++r) t[j0 * kBlock + r] = rows[r][j0];
}

// Destination columns First..Last - 1 of the horizontal pass read source
// columns Lo..Hi - 1: a chunk small enough that its transposed rows stay in
// the first-level cache.
struct TColumnChunk {
  int32_t First, Last, Lo, Hi;
};

std::vector<TColumnChunk> ColumnChunks(const TContributors& cx, int32_t dw, int32_t maxColumns) {
  std::vector<TColumnChunk> chunks;
  for (int32_t i = 0; i < dw;) {
    TColumnChunk c{i, i, cx.Start[static_cast<size_t>(i)], cx.Start[static_cast<size_t>(i)]};
    while (c.Last < dw) {
      const size_t ii = static_cast<size_t>(c.Last);
      const int32_t lo = std::min(c.Lo, cx.Start[ii]);
      const int32_t hi = std::max(c.Hi, cx.Start[ii] + cx.Count[ii]);
      if (c.Last > c.First && hi - lo > maxColumns) break;
      c.Lo = lo, c.Hi = hi, ++c.Last;
    }
    chunks.push_back(c);
    i = c.Last;
  }
  return chunks;
}

// Horizontal pass of one transposed block: destination column i of all
// kBlock rows at once, for the columns of one chunk.
template <int C>
PX_INLINE_BODY void HorizontalBlockT(const float* __restrict t, const TContributors& cx, const TColumnChunk& chunk,
                                     uint8_t* const* outRows) {
  constexpr int L = C * kBlock;
  uint8_t* out[kBlock];
  for (int r = 0; r < kBlock; ++r) out[r] = outRows[r];
  const float* weights = cx.Weight.data();
  for (int32_t i = chunk.First; i < chunk.Last; ++i) {
    const size_t ii = static_cast<size_t>(i);
    const float* w = weights + cx.Offset[ii];
    const int32_t n = cx.Count[ii];
    const float* src = t + static_cast<size_t>(cx.Start[ii] - chunk.Lo) * L;
    float acc[L] = {};
    for (int32_t k = 0; k < n; ++k) {
      const float wk = w[k];
      const float* s = src + static_cast<size_t>(k) * L;
#pragma GCC unroll 48
      for (int q = 0; q < L; ++q) acc[q] += wk * s[q];
    }
    const float d = cx.Divisor[ii];
    uint8_t res[L];
    for (int q = 0; q < L; ++q) res[q] = ClampQuotient(acc[q], d);
    for (int r = 0; r < kBlock; ++r)
      for (int c = 0; c < C; ++c) out[r][ii * C + c] = res[c * kBlock + r];
  }
}

PX_HOT_CLONES void HorizontalBlock3(const float* t, const TContributors& cx, const TColumnChunk& chunk,
                                    uint8_t* const* out) {
  HorizontalBlockT<3>(t, cx, chunk, out);
}
PX_HOT_CLONES void HorizontalBlock1(const float* t, const TContributors& cx, const TColumnChunk& chunk,
                                    uint8_t* const* out) {
  HorizontalBlockT<1>(t, cx, chunk, out);
}

// One destination row of the vertical pass from n intermediate rows.
PX_HOT_CLONES void VerticalRow(const uint8_t* const* rows, const float* w, int32_t n, float divisor, int64_t len,
                               uint8_t* __restrict out) {
  int64_t x0 = 0;
  for (; x0 + kLanes <= len; x0 += kLanes) {
    float acc[kLanes] = {};
    for (int32_t k = 0; k < n; ++k) {
      const float wk = w[k];
      const uint8_t* __restrict r = rows[k] + x0;
#pragma GCC unroll 32
      for (int q = 0; q < kLanes; ++q) acc[q] += wk * static_cast<float>(r[q]);
    }
    for (int q = 0; q < kLanes; ++q) out[x0 + q] = ClampQuotient(acc[q], divisor);
  }
  for (; x0 < len; ++x0) {
    float acc = 0.0f;
    for (int32_t k = 0; k < n; ++k) acc += w[k] * static_cast<float>(rows[k][x0]);
    out[x0] = ClampQuotient(acc, divisor);
  }
}

void WriteGreyAs24(const uint8_t* grey, int32_t n, uint8_t* d) {
  for (int32_t x = 0; x < n; ++x) std::memset(d + 3 * static_cast<size_t>(x), grey[x], 3);
}

}  // namespace

void KernelResample(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter, int channels, bool greyTo24, bool fill,
                    const TPXProgressRec& progress) {
  if (filter < rfTriangle || filter > rfLinear || &source == &dest) return;
  const int32_t sw = source.Width(), sh = source.Height();
  const int32_t dw = dest.Width(), dh = dest.Height();
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0 || source.PixelFormat() == pxNone) return;
  const int C = channels == 3 ? 3 : 1;
  const bool out24 = C == 3 || greyTo24;
  if (!PrepareDest(dest, dw, dh, out24 ? pxBGR24 : pxGray8)) return;
  TRowReader reader(source, C == 3 ? TRowKind::BGR24 : TRowKind::Gray8, fill);
  TAccessScope ds(&dest, pxaWrite);
  TDestRows destRows(dest);
  const int64_t rowLen = dest.RowLen();
  const int64_t destBytes = static_cast<int64_t>(dw) * (out24 ? 3 : 1);
  const int64_t lineBytes = static_cast<int64_t>(dw) * C;  // one intermediate or output row

  if (sw < 2 && sh < 2) {  // one pixel: nothing to weigh, it covers the whole destination
    uint8_t px[3];
    std::memcpy(px, reader.Row(0), static_cast<size_t>(C));
    if (C == 1) px[1] = px[2] = px[0];
    for (int32_t j = 0; j < dh; ++j) {
      uint8_t* d = destRows.Row(j);
      if (!d) return;
      if (out24)
        for (int32_t x = 0; x < dw; ++x) std::memcpy(d + 3 * static_cast<size_t>(x), px, 3);
      else std::memset(d, px[0], static_cast<size_t>(dw));
      ClearRowPadding(d, destBytes, rowLen);
    }
    return;
  }

  const TPXResampleKernel& kernel = ResampleKernels[filter];
  const TContributors cx = BuildContributors(sw, dw, kernel);
  const TContributors cy = BuildContributors(sh, dh, kernel);

  // Ring of intermediate rows: row y in slot y mod capacity. It holds every
  // block a destination row needs at once.
  const int64_t shBlocks = (static_cast<int64_t>(sh) + kBlock - 1) / kBlock * kBlock;
  const int32_t capacity = static_cast<int32_t>(
      std::min<int64_t>(shBlocks, (static_cast<int64_t>(cy.MaxCount) + 2 * kBlock + kBlock - 1) / kBlock * kBlock));
  const int64_t srcBytes = static_cast<int64_t>(sw) * C;
  const std::vector<TColumnChunk> chunks = ColumnChunks(cx, dw, kChunkBytes / (C * kBlock * 4));
  int64_t chunkColumns = 1;
  for (const TColumnChunk& c : chunks) chunkColumns = std::max<int64_t>(chunkColumns, c.Hi - c.Lo);
  const std::vector<uint8_t> zeros(static_cast<size_t>(srcBytes), 0);

  // Both passes run interleaved: the progress after a destination row counts
  // the source rows the first pass has done by then (as one pass over all
  // rows does them, blocks fetched again included) and the second pass's
  // share of the destination columns. Counted here once, so bands that each
  // begin afresh report what one pass reports.
  std::vector<int32_t> told;
  if (progress.OnProgress) {
    told.resize(static_cast<size_t>(dh));
    std::vector<int32_t> tags(static_cast<size_t>(capacity), -1);
    int64_t rowsDone = 0;
    const double pscale = 100.0 / (sh + dw + 0.5);
    for (int32_t j = 0; j < dh; ++j) {
      const size_t jj = static_cast<size_t>(j);
      for (int32_t y = cy.Start[jj]; y < cy.Start[jj] + cy.Count[jj]; ++y) {
        if (tags[static_cast<size_t>(y % capacity)] == y) continue;
        const int32_t y0 = y / kBlock * kBlock;
        for (int32_t r = y0; r < std::min(y0 + kBlock, sh); ++r) tags[static_cast<size_t>(r % capacity)] = r;
        rowsDone += std::min(kBlock, sh - y0);
      }
      const int64_t first = j == dh - 1 ? sh : std::min<int64_t>(rowsDone, sh);
      const int64_t second = static_cast<int64_t>(j + 1) * dw / dh;
      told[jj] = TruncToInt32((first + second) * pscale);
    }
  }

  // What a band works with: a reader and a ring of its own, so bands share
  // nothing they write; each fetches the source rows it needs itself.
  struct TState {
    std::unique_ptr<TRowReader> Own;
    std::vector<uint8_t> Ring, Spare, Copies, Line;
    std::vector<int32_t> Tag;
    std::vector<float> Block;
    std::vector<const uint8_t*> Rows;
  };
  TBandStates<TState> states;
  auto makeState = [&] {
    auto st = std::make_unique<TState>();
    if (reader.Shareable()) st->Own = reader.Band();
    st->Ring.resize(static_cast<size_t>(capacity) * static_cast<size_t>(lineBytes));
    st->Tag.assign(static_cast<size_t>(capacity), -1);
    st->Spare.resize(static_cast<size_t>(lineBytes));
    st->Block.resize(static_cast<size_t>(chunkColumns) * C * kBlock);
    if (!reader.Stable()) st->Copies.resize(static_cast<size_t>(srcBytes) * kBlock);
    st->Rows.resize(static_cast<size_t>(std::max(cy.MaxCount, 1)));
    if (out24 && C == 1) st->Line.resize(static_cast<size_t>(lineBytes));
    return st;
  };

  auto band = [&](int32_t bandFirst, int32_t bandLast) {
    auto st = states.Take(bandFirst, makeState);
    TRowReader& rd = st->Own ? *st->Own : reader;
    auto slot = [&](int32_t y) {
      return st->Ring.data() + static_cast<size_t>(y % capacity) * static_cast<size_t>(lineBytes);
    };
    auto computeBlock = [&](int32_t b) {
      const int32_t y0 = b * kBlock;
      const uint8_t* in[kBlock];
      uint8_t* out[kBlock];
      for (int r = 0; r < kBlock; ++r) {
        const int32_t y = y0 + r;
        if (y < sh) {
          const uint8_t* p = rd.Row(y);
          if (!rd.Stable()) {
            uint8_t* c = st->Copies.data() + static_cast<size_t>(r) * static_cast<size_t>(srcBytes);
            std::memcpy(c, p, static_cast<size_t>(srcBytes));
            p = c;
          }
          in[r] = p;
          out[r] = slot(y);
          st->Tag[static_cast<size_t>(y % capacity)] = y;
        } else {
          in[r] = zeros.data();
          out[r] = st->Spare.data();
        }
      }
      for (const TColumnChunk& c : chunks) {
        const uint8_t* part[kBlock];
        for (int r = 0; r < kBlock; ++r) part[r] = in[r] + static_cast<size_t>(c.Lo) * C;
        TransposeBlock(part, static_cast<int64_t>(c.Hi - c.Lo) * C, st->Block.data());
        if (C == 3) HorizontalBlock3(st->Block.data(), cx, c, out);
        else HorizontalBlock1(st->Block.data(), cx, c, out);
      }
    };

    for (int32_t j = bandFirst; j < bandLast; ++j) {
      const size_t jj = static_cast<size_t>(j);
      const int32_t start = cy.Start[jj], n = cy.Count[jj];
      for (int32_t y = start; y < start + n; ++y)
        if (st->Tag[static_cast<size_t>(y % capacity)] != y) computeBlock(y / kBlock);
      for (int32_t k = 0; k < n; ++k) st->Rows[static_cast<size_t>(k)] = slot(start + k);
      uint8_t* d = destRows.Row(j);
      if (!d) return;
      const float* w = cy.Weight.data() + cy.Offset[jj];
      if (st->Line.empty()) {
        VerticalRow(st->Rows.data(), w, n, cy.Divisor[jj], lineBytes, d);
      } else {
        VerticalRow(st->Rows.data(), w, n, cy.Divisor[jj], lineBytes, st->Line.data());
        WriteGreyAs24(st->Line.data(), dw, d);
      }
      ClearRowPadding(d, destBytes, rowLen);
    }
    st.Ends(bandLast);
  };
  // A band's work is its destination pixels and the source pixels they read.
  const int64_t work = static_cast<int64_t>(dw) + static_cast<int64_t>(sw) * sh / dh;
  ResampleRows(dh, work, reader.Shareable() && destRows.Shareable(), band, progress, told, kBandsPerThread);
}

}  // namespace resample_detail
}  // namespace pixoran
