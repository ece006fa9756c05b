// Resampling engine: dispatch, nearest neighbour, the fixed-point linear
// resamplers and the 1-bit area reducer. The kernel and area resamplers live
// in pxresample_kernel.cpp and pxresample_area.cpp, the row readers they all
// share in pxresample_rows.cpp.
#include "core/pxresample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <numbers>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/pxpool.h"
#include "core/pxresample_internal.h"

namespace pixoran {

using namespace resample_detail;

namespace {

bool HasSize(TPXBitmap& b) { return b.Width() > 0 && b.Height() > 0; }

// Copies rows through a reader into a dest of the reader's layout and size.
void CopyRows(TRowReader& reader, TPXBitmap& dest) {
  TAccessScope ds(&dest, pxaWrite);
  TDestRows destRows(dest);
  const int64_t rowLen = dest.RowLen();
  const int64_t n = std::min(reader.RowBytes(), rowLen);
  PXParallelRows(
      reader.Height(), reader.Width(),
      [&](int32_t first, int32_t last) {
        std::unique_ptr<TRowReader> own = reader.Shareable() ? reader.Band() : nullptr;
        TRowReader& rd = own ? *own : reader;
        for (int32_t y = first; y < last; ++y) {
          const uint8_t* s = rd.Row(y);
          uint8_t* d = destRows.Row(y);
          if (!d) return;
          std::memcpy(d, s, static_cast<size_t>(n));
          ClearRowPadding(d, n, rowLen);
        }
      },
      !(reader.Shareable() && destRows.Shareable()));
}

// ------------------------------------------------------------ nearest

template <size_t B>
void GatherPixels(const uint8_t* src, uint8_t* dst, const int32_t* cols, int32_t n) {
  for (int32_t i = 0; i < n; ++i)
    std::memcpy(dst + B * static_cast<size_t>(i), src + B * static_cast<size_t>(cols[i]), B);
}

// as24: every format read as 24-bit into a pxBGR24 dest.
void NearestImpl(TPXBitmap& source, TPXBitmap& dest, bool fill, const TPXProgressRec& progress, bool as24 = false) {
  if (&source == &dest || !HasSize(source) || !HasSize(dest)) return;
  const TPXPixelFormat fmt = source.PixelFormat();
  if (fmt == pxNone) return;
  const int32_t sw = source.Width(), sh = source.Height();
  const int32_t dw = dest.Width(), dh = dest.Height();

  // A platform bitmap holds neither floats nor CMYK and keeps 16-bit grey in
  // 8 bits: those go through 24-bit or 8-bit rows there.
  TRowKind kind = TRowKind::Raw;
  TPXPixelFormat outFmt = fmt;
  if (as24) {
    kind = TRowKind::BGR24, outFmt = pxBGR24;
  } else if (dest.Location() == pxTBitmap && !dest.IsAlpha()) {
    if (fmt == px32f || fmt == pxCMYK) kind = TRowKind::BGR24, outFmt = pxBGR24;
    else if (fmt == pxGray16) kind = TRowKind::Gray8, outFmt = pxGray8;
  }
  if (!PrepareDest(dest, dw, dh, outFmt)) return;
  if (outFmt == pxPal8 && source.Palette() && dest.Palette()) {
    const int32_t n = std::min(source.PaletteCount(), dest.PaletteCount());
    std::copy(source.Palette(), source.Palette() + n, dest.Palette());
    dest.UpdateTBitmapPalette();
  }

  TRowReader reader(source, kind, fill);
  TAccessScope ds(&dest, pxaWrite);
  TDestRows destRows(dest);
  const int32_t bits = kind == TRowKind::Raw ? BitsOfFormat(fmt) : (kind == TRowKind::Gray8 ? 8 : 24);
  const int64_t rowLen = dest.RowLen();
  const int64_t pixelBytes = (static_cast<int64_t>(dw) * bits + 7) / 8;

  std::vector<int32_t> cols(static_cast<size_t>(dw));
  const double fx = static_cast<double>(sw) / dw;
  for (int32_t i = 0; i < dw; ++i) cols[static_cast<size_t>(i)] = std::clamp(TruncToInt32(fx * i), 0, sw - 1);
  const double fy = static_cast<double>(sh) / dh;
  const double pscale = 100.0 / (dh + 0.5);
  std::vector<int32_t> told;
  if (progress.OnProgress) {
    told.resize(static_cast<size_t>(dh));
    for (int32_t j = 0; j < dh; ++j) told[static_cast<size_t>(j)] = TruncToInt32(pscale * j);
  }

  struct TState {
    std::unique_ptr<TRowReader> Own;
    std::vector<uint8_t> Line;
    int32_t Prev = -1;  // the source row in Line
  };
  TBandStates<TState> states;
  auto makeState = [&] {
    auto st = std::make_unique<TState>();
    if (reader.Shareable()) st->Own = reader.Band();
    st->Line.assign(static_cast<size_t>(rowLen), 0);
    return st;
  };
  auto band = [&](int32_t first, int32_t last) {
    auto st = states.Take(first, makeState);
    TRowReader& rd = st->Own ? *st->Own : reader;
    std::vector<uint8_t>& line = st->Line;
    int32_t& prev = st->Prev;
    for (int32_t j = first; j < last; ++j) {
      const int32_t sy = std::clamp(TruncToInt32(fy * j), 0, sh - 1);
      if (sy != prev) {
        const uint8_t* s = rd.Row(sy);
        uint8_t* d = line.data();
        switch (bits) {
          case 1:
            std::memset(d, 0, static_cast<size_t>(pixelBytes));
            for (int32_t i = 0; i < dw; ++i)
              if (GetBit(s, cols[static_cast<size_t>(i)])) d[i >> 3] |= static_cast<uint8_t>(0x80u >> (i & 7));
            break;
          case 8: GatherPixels<1>(s, d, cols.data(), dw); break;
          case 16: GatherPixels<2>(s, d, cols.data(), dw); break;
          case 24: GatherPixels<3>(s, d, cols.data(), dw); break;
          default: GatherPixels<4>(s, d, cols.data(), dw); break;
        }
        prev = sy;
      }
      uint8_t* d = destRows.Row(j);
      if (!d) return;
      std::memcpy(d, line.data(), static_cast<size_t>(rowLen));
    }
    st.Ends(last);
  };
  ResampleRows(dh, dw, reader.Shareable() && destRows.Shareable(), band, progress, told);
}

// ---------------------------------------------------------- fixed-point linear

constexpr int32_t kFrac17 = 131072;

// Per destination column (or row) of the fixed-point linear resampler.
struct TLinearAxis {
  std::vector<int32_t> First;   // left column, or first row
  std::vector<int32_t> Last;    // last column of the average; next row or column when interpolating
  std::vector<int32_t> Weight;  // 17-bit fraction (interpolation)
  int32_t MaxSpan = 1;
};

// Columns of ResampleFastLinear24 (and, with withEpsilon false, its rows):
// interpolating uses First/Weight and the next index; averaging First..Last.
TLinearAxis LinearAxis(int32_t srcN, int32_t dstN, bool interpolate, bool withEpsilon) {
  TLinearAxis a;
  const double s = static_cast<double>(dstN) / srcN;
  a.First.resize(static_cast<size_t>(dstN));
  a.Last.resize(static_cast<size_t>(dstN));
  a.Weight.resize(static_cast<size_t>(dstN));
  for (int32_t i = 0; i < dstN; ++i) {
    const double q = i / s;
    const int32_t first = std::clamp(TruncToInt32(q), 0, srcN - 1);
    int32_t last;
    if (interpolate) {
      last = std::min(first + 1, srcN - 1);
    } else {
      const double e = std::min(i + 1, dstN - 1) / s + (withEpsilon ? 0.0000000001 : 0.0);
      last = std::clamp(TruncToInt32(e), first, srcN - 1);
    }
    a.First[static_cast<size_t>(i)] = first;
    a.Last[static_cast<size_t>(i)] = last;
    a.Weight[static_cast<size_t>(i)] = TruncToInt32((q - std::trunc(q)) * kFrac17);
    a.MaxSpan = std::max(a.MaxSpan, last - first + 1);
  }
  return a;
}

// Rows of a first pass kept for the second: row r lives in slot r mod
// capacity; a slot remembers which row it holds.
class TRowCache {
 public:
  TRowCache(int32_t capacity, int64_t rowBytes)
      : cap_(std::max(capacity, 1)),
        rowBytes_(rowBytes),
        data_(static_cast<size_t>(cap_) * static_cast<size_t>(rowBytes)),
        tag_(static_cast<size_t>(cap_), -1) {}
  // The row's storage and whether it still has to be computed.
  uint8_t* Slot(int32_t row, bool& missing) {
    const size_t s = static_cast<size_t>(row % cap_);
    missing = tag_[s] != row;
    tag_[s] = row;
    return data_.data() + s * static_cast<size_t>(rowBytes_);
  }
  const uint8_t* Get(int32_t row) const {
    return data_.data() + static_cast<size_t>(row % cap_) * static_cast<size_t>(rowBytes_);
  }

 private:
  int32_t cap_;
  int64_t rowBytes_;
  std::vector<uint8_t> data_;
  std::vector<int32_t> tag_;
};

// One source row through the columns of the fixed-point linear resampler.
template <int C>
void FastLinearRow(const uint8_t* s, const TLinearAxis& ax, bool interpolate, const std::vector<TDivMagic>& colDiv,
                   int32_t dw, uint8_t* out) {
  if (interpolate) {
    for (int32_t i = 0; i < dw; ++i) {
      const size_t ii = static_cast<size_t>(i);
      const uint8_t* a = s + static_cast<size_t>(ax.First[ii]) * C;
      const uint8_t* b = s + static_cast<size_t>(ax.Last[ii]) * C;
      const int32_t w = ax.Weight[ii];
      for (int c = 0; c < C; ++c) out[ii * C + c] = static_cast<uint8_t>(a[c] + (b[c] - a[c]) * w / kFrac17);
    }
    return;
  }
  for (int32_t i = 0; i < dw; ++i) {
    const size_t ii = static_cast<size_t>(i);
    uint32_t sum[C] = {};
    for (int32_t k = ax.First[ii]; k <= ax.Last[ii]; ++k)
      for (int c = 0; c < C; ++c) sum[c] += s[static_cast<size_t>(k) * C + c];
    for (int c = 0; c < C; ++c) out[ii * C + c] = static_cast<uint8_t>(colDiv[ii].Div(sum[c]));
  }
}

void FastLinearImpl(TPXBitmap& source, TPXBitmap& dest, int channels, bool fill, const TPXProgressRec& progress) {
  if (&source == &dest || !HasSize(source) || !HasSize(dest) || source.PixelFormat() == pxNone) return;
  const int32_t sw = source.Width(), sh = source.Height();
  const int32_t dw = dest.Width(), dh = dest.Height();
  const int C = channels;
  if (!PrepareDest(dest, dw, dh, C == 3 ? pxBGR24 : pxGray8)) return;
  TRowReader reader(source, C == 3 ? TRowKind::BGR24 : TRowKind::Gray8, fill);
  const double sx = static_cast<double>(dw) / sw, sy = static_cast<double>(dh) / sh;
  if (sx == 1.0 && sy == 1.0) {
    CopyRows(reader, dest);
    return;
  }
  const bool hInterp = sx > 1.0, vInterp = sy > 1.0;
  const TLinearAxis ax = LinearAxis(sw, dw, hInterp, true);
  const TLinearAxis ay = LinearAxis(sh, dh, vInterp, false);
  const int64_t outBytes = static_cast<int64_t>(dw) * C;

  // Divisions of the column averages, exact by multiply and shift.
  std::vector<TDivMagic> colDiv;
  if (!hInterp) {
    colDiv.resize(static_cast<size_t>(dw));
    for (int32_t i = 0; i < dw; ++i) {
      const uint32_t n = static_cast<uint32_t>(ax.Last[static_cast<size_t>(i)] - ax.First[static_cast<size_t>(i)] + 1);
      colDiv[static_cast<size_t>(i)] = TDivMagic(n, 255u * n);
    }
  }
  const int32_t cacheRows = std::min(ay.MaxSpan, sh);
  // The first pass's rows done by each destination row, as one pass over
  // all rows counts them (rows fetched again included), so bands that each
  // begin afresh report the same values.
  std::vector<int32_t> told;
  if (progress.OnProgress) {
    told.resize(static_cast<size_t>(dh));
    std::vector<int32_t> tags(static_cast<size_t>(cacheRows), -1);
    int32_t rowsDone = 0;
    const double pscale = 100.0 / (sh + dh + 0.5);
    for (int32_t j = 0; j < dh; ++j) {
      for (int32_t r = ay.First[static_cast<size_t>(j)]; r <= ay.Last[static_cast<size_t>(j)]; ++r) {
        int32_t& tag = tags[static_cast<size_t>(r % cacheRows)];
        if (tag != r) ++rowsDone;
        tag = r;
      }
      const int32_t first = j == dh - 1 ? sh : std::min(rowsDone, sh);
      told[static_cast<size_t>(j)] = TruncToInt32(pscale * (first + j));
    }
  }

  TAccessScope ds(&dest, pxaWrite);
  TDestRows destRows(dest);
  const int64_t rowLen = dest.RowLen();
  struct TState {
    std::unique_ptr<TRowReader> Own;
    TRowCache Cache;
    std::vector<uint32_t> Acc;
  };
  TBandStates<TState> states;
  auto makeState = [&] {
    return std::make_unique<TState>(TState{reader.Shareable() ? reader.Band() : nullptr, TRowCache(cacheRows, outBytes),
                                           std::vector<uint32_t>(static_cast<size_t>(outBytes))});
  };
  auto band = [&](int32_t bandFirst, int32_t bandLast) {
    auto st = states.Take(bandFirst, makeState);
    TRowReader& rd = st->Own ? *st->Own : reader;
    TRowCache& cache = st->Cache;
    std::vector<uint32_t>& acc = st->Acc;
    auto horizontal = [&](int32_t y) {
      bool missing;
      uint8_t* out = cache.Slot(y, missing);
      if (!missing) return;
      const uint8_t* s = rd.Row(y);
      if (C == 3) FastLinearRow<3>(s, ax, hInterp, colDiv, dw, out);
      else FastLinearRow<1>(s, ax, hInterp, colDiv, dw, out);
    };
    for (int32_t j = bandFirst; j < bandLast; ++j) {
      const size_t jj = static_cast<size_t>(j);
      const int32_t r0 = ay.First[jj], r1 = ay.Last[jj];
      for (int32_t r = r0; r <= r1; ++r) horizontal(r);
      uint8_t* d = destRows.Row(j);
      if (!d) return;
      if (vInterp) {
        const uint8_t* a = cache.Get(r0);
        const uint8_t* b = cache.Get(r1);
        const int32_t w = ay.Weight[jj];
        for (int64_t x = 0; x < outBytes; ++x) d[x] = static_cast<uint8_t>(a[x] + (b[x] - a[x]) * w / kFrac17);
      } else if (r0 == r1) {
        std::memcpy(d, cache.Get(r0), static_cast<size_t>(outBytes));
      } else {
        std::fill(acc.begin(), acc.end(), 0u);
        for (int32_t r = r0; r <= r1; ++r) {
          const uint8_t* a = cache.Get(r);
          for (int64_t x = 0; x < outBytes; ++x) acc[static_cast<size_t>(x)] += a[x];
        }
        const uint32_t n = static_cast<uint32_t>(r1 - r0 + 1);
        const TDivMagic div(n, 255u * n);
        for (int64_t x = 0; x < outBytes; ++x) d[x] = static_cast<uint8_t>(div.Div(acc[static_cast<size_t>(x)]));
      }
      ClearRowPadding(d, outBytes, rowLen);
    }
    st.Ends(bandLast);
  };
  const int64_t work = static_cast<int64_t>(dw) + static_cast<int64_t>(sw) * sh / dh;
  ResampleRows(dh, work, reader.Shareable() && destRows.Shareable(), band, progress, told);
}

void Bw1Copy(TPXBitmap& source, TPXBitmap& dest) {
  if (!PrepareDest(dest, source.Width(), source.Height(), pxBW1)) return;
  TRowReader reader(source, TRowKind::Raw, false);
  CopyRows(reader, dest);
}

bool IsKernelFilter(TResampleFilter f) { return f >= rfTriangle && f <= rfLinear; }

void Resample24Impl(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter, bool fill,
                    const TPXProgressRec& progress) {
  if (IsKernelFilter(filter)) KernelResample(source, dest, filter, 3, false, fill, progress);
  else if (filter == rfFastLinear) FastLinearImpl(source, dest, 3, fill, progress);
  else if (filter == rfBilinear || filter == rfBicubic)
    AreaResample(source, dest, filter == rfBicubic, 3, fill, progress);
  else NearestImpl(source, dest, fill, progress, true);
}

// An 8-bit grey image keeps its format: the one-channel paths give exactly
// what the 24-bit ones give on its grey triples.
void GrayImageImpl(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter, bool fill,
                   const TPXProgressRec& progress) {
  if (IsKernelFilter(filter)) KernelResample(source, dest, filter, 1, false, fill, progress);
  else if (filter == rfFastLinear) FastLinearImpl(source, dest, 1, fill, progress);
  else AreaResample(source, dest, filter == rfBicubic, 1, fill, progress);
}

void Gray8FilteredImpl(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter) {
  if (source.PixelFormat() != pxGray8) return;
  if (filter == rfNone || filter > rfBicubic) NearestImpl(source, dest, false, {});
  else if (IsKernelFilter(filter)) KernelResample(source, dest, filter, 1, false, false, {});
  else FastLinearImpl(source, dest, 1, false, {});
}

}  // namespace

// ------------------------------------------------------------ public routines

void ResampleNearest(TPXBitmap& source, TPXBitmap& dest, const TPXProgressRec& progress) {
  NearestImpl(source, dest, false, progress);
}

void ResampleFastLinear24(TPXBitmap& source, TPXBitmap& dest, const TPXProgressRec& progress) {
  if (source.PixelFormat() == pxBW1) return;
  FastLinearImpl(source, dest, 3, false, progress);
}

void ResampleFastLinear8(TPXBitmap& source, TPXBitmap& dest) {
  if (source.PixelFormat() != pxGray8) return;
  FastLinearImpl(source, dest, 1, false, {});
}

void ResampleFilteredTwoPass(TPXBitmap& source, TPXBitmap& dest, bool bicubic, const TPXProgressRec& progress) {
  AreaResample(source, dest, bicubic, 3, false, progress);
}

void Resample24Filtered(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter, const TPXProgressRec& progress) {
  if (source.PixelFormat() == pxNone || &source == &dest) return;
  Resample24Impl(source, dest, filter, false, progress);
}

void ResampleGray8Filtered(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter) {
  if (&source == &dest) return;
  Gray8FilteredImpl(source, dest, filter);
}

void ResampleFastLinearBW1(TPXBitmap& source, TPXBitmap& dest) {
  if (&source == &dest || !HasSize(source) || !HasSize(dest) || source.PixelFormat() != pxBW1) return;
  const int32_t sw = source.Width(), sh = source.Height();
  const int32_t dw = dest.Width(), dh = dest.Height();
  if (sw == dw && sh == dh) {
    Bw1Copy(source, dest);
    return;
  }
  const double sx = static_cast<double>(dw) / sw, sy = static_cast<double>(dh) / sh;
  if (!(sx > 1.0 || sy > 1.0)) {
    ShrinkBW1ToGray24(source, 0, 0, sw - 1, sh - 1, dest);
    return;
  }
  // Either axis grows: both interpolate, the shrinking one too.
  if (!PrepareDest(dest, dw, dh, pxBGR24)) return;
  const TLinearAxis ax = LinearAxis(sw, dw, true, true);
  const TLinearAxis ay = LinearAxis(sh, dh, true, false);
  TRowReader reader(source, TRowKind::Gray8, false);
  TAccessScope ds(&dest, pxaWrite);
  TDestRows destRows(dest);
  const int64_t rowLen = dest.RowLen();
  auto band = [&](int32_t first, int32_t last) {
    std::unique_ptr<TRowReader> own = reader.Shareable() ? reader.Band() : nullptr;
    TRowReader& rd = own ? *own : reader;
    TRowCache cache(2, dw);
    auto horizontal = [&](int32_t y) {
      bool missing;
      uint8_t* out = cache.Slot(y, missing);
      if (!missing) return;
      const uint8_t* s = rd.Row(y);
      for (int32_t i = 0; i < dw; ++i) {
        const size_t ii = static_cast<size_t>(i);
        const int32_t a = s[ax.First[ii]], b = s[ax.Last[ii]];
        out[ii] = static_cast<uint8_t>(a + ((ax.Weight[ii] * (b - a)) >> 17));
      }
    };
    std::vector<uint8_t> grey(static_cast<size_t>(dw));
    for (int32_t j = first; j < last; ++j) {
      const size_t jj = static_cast<size_t>(j);
      const int32_t r0 = ay.First[jj], r1 = ay.Last[jj];
      horizontal(r0);
      horizontal(r1);
      const uint8_t* a = cache.Get(r0);
      const uint8_t* b = cache.Get(r1);
      const int32_t w = ay.Weight[jj];
      for (int32_t x = 0; x < dw; ++x)
        grey[static_cast<size_t>(x)] = static_cast<uint8_t>(a[x] + ((w * (b[x] - a[x])) >> 17));
      uint8_t* d = destRows.Row(j);
      if (!d) return;
      for (int32_t x = 0; x < dw; ++x) std::memset(d + 3 * static_cast<size_t>(x), grey[static_cast<size_t>(x)], 3);
      ClearRowPadding(d, 3 * static_cast<int64_t>(dw), rowLen);
    }
  };
  PXParallelRows(dh, dw, band, !(reader.Shareable() && destRows.Shareable()));
}

void ShrinkBW1ToGray24(TPXBitmap& source, int32_t x1, int32_t y1, int32_t x2, int32_t y2, TPXBitmap& dest) {
  if (&source == &dest || !HasSize(source) || !HasSize(dest) || source.PixelFormat() != pxBW1) return;
  if (x2 < x1 || y2 < y1) return;
  const int32_t sw = source.Width(), sh = source.Height();
  const int32_t dw = dest.Width(), dh = dest.Height();
  if (!PrepareDest(dest, dw, dh, pxBGR24)) return;
  const double fx = (static_cast<double>(x2) - x1 + 1) / dw;
  const double fy = (static_cast<double>(y2) - y1 + 1) / dh;

  // Column windows, clamped to the image.
  std::vector<int32_t> c0(static_cast<size_t>(dw)), c1(static_cast<size_t>(dw));
  for (int32_t j = 0; j < dw; ++j) {
    c0[static_cast<size_t>(j)] = std::clamp(x1 + TruncToInt32(fx * j - fx / 2), 0, sw - 1);
    c1[static_cast<size_t>(j)] = std::clamp(x1 + TruncToInt32(fx / 2 + fx * j), 0, sw - 1);
  }
  TRowReader reader(source, TRowKind::Raw, false);
  TAccessScope ds(&dest, pxaWrite);
  TDestRows destRows(dest);
  const int64_t rowLen = dest.RowLen();
  const double halfRows = TruncToInt32(fy) / 2.0;
  auto band = [&](int32_t first, int32_t last) {
    std::unique_ptr<TRowReader> own = reader.Shareable() ? reader.Band() : nullptr;
    TRowReader& rd = own ? *own : reader;
    // Set bits per source column over the row window, then running totals so
    // a column window is one subtraction.
    std::vector<uint32_t> count(static_cast<size_t>(sw));
    std::vector<uint64_t> prefix(static_cast<size_t>(sw) + 1);
    for (int32_t i = first; i < last; ++i) {
      const int32_t r0 = std::clamp(y1 + TruncToInt32(fy * i - fy / 2), 0, sh - 1);
      const int32_t r1 = std::clamp(y1 + TruncToInt32(halfRows + fy * i), 0, sh - 1);
      std::fill(count.begin(), count.end(), 0u);
      for (int32_t r = r0; r <= r1; ++r) {
        const uint8_t* s = rd.Row(r);
        for (int32_t x = 0; x < sw; ++x) count[static_cast<size_t>(x)] += (s[x >> 3] >> (7 - (x & 7))) & 1u;
      }
      for (int32_t x = 0; x < sw; ++x)
        prefix[static_cast<size_t>(x) + 1] = prefix[static_cast<size_t>(x)] + count[static_cast<size_t>(x)];
      const int64_t rows = std::max(r1 - r0 + 1, 0);
      uint8_t* d = destRows.Row(i);
      if (!d) return;
      for (int32_t j = 0; j < dw; ++j) {
        const size_t jj = static_cast<size_t>(j);
        const int64_t pixels = rows * std::max(c1[jj] - c0[jj] + 1, 0);
        const uint64_t set = prefix[static_cast<size_t>(c1[jj]) + 1] - prefix[static_cast<size_t>(c0[jj])];
        const uint8_t v = pixels > 0 ? static_cast<uint8_t>(255 * set / static_cast<uint64_t>(pixels)) : 0;
        std::memset(d + 3 * jj, v, 3);
      }
      ClearRowPadding(d, 3 * static_cast<int64_t>(dw), rowLen);
    }
  };
  const int64_t work = static_cast<int64_t>(dw) + static_cast<int64_t>(sw) * sh / dh;
  PXParallelRows(dh, work, band, !(reader.Shareable() && destRows.Shareable()));
}

void ResampleBW1Filtered(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter) {
  if (&source == &dest || !HasSize(source) || !HasSize(dest) || source.PixelFormat() != pxBW1) return;
  if (filter == rfNone || filter > rfBicubic) {
    NearestImpl(source, dest, false, {});
    return;
  }
  // An unchanged size needs no grey: the 1-bit image is copied as it is.
  if (source.Width() == dest.Width() && source.Height() == dest.Height()) {
    Bw1Copy(source, dest);
    return;
  }
  if (IsKernelFilter(filter)) KernelResample(source, dest, filter, 1, true, false, {});
  else ResampleFastLinearBW1(source, dest);
}

bool ResampleBitmap(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter, const TPXProgressRec& progress) {
  if (&source == &dest || !HasSize(source) || !HasSize(dest)) return true;
  const TPXPixelFormat fmt = source.PixelFormat();
  if (fmt == pxNone) return true;
  if (filter > rfBicubic) filter = rfNone;
  // The result is made aside and takes the destination's place only when
  // it is whole: storage that fails halfway leaves the destination as the
  // caller prepared it.
  auto out = std::make_unique<TPXBitmap>();
  out->MemoryThreshold = dest.MemoryThreshold;
  out->RowAlign = dest.RowAlign;
  try {
    const int32_t dw = dest.Width(), dh = dest.Height();
    const TPXPixelFormat destFormat = dest.PixelFormat();
    if (!out->Allocate(dw, dh, destFormat == pxNone ? fmt : destFormat)) return false;
    if (out->PixelFormat() == pxPal8 && dest.PixelFormat() == pxPal8)
      for (int32_t i = 0; i < dest.PaletteCount(); ++i) out->SetPaletteEntry(i, dest.GetPaletteEntry(i));
    TPXBitmap* srcAlpha = source.HasAlphaChannel() ? source.GetAlphaChannel() : nullptr;
    // Transparent pixels are read as grey so their colour does not bleed into
    // the visible neighbours; the caller's source is left as it is.
    const bool fill = srcAlpha != nullptr;
    if (filter == rfNone) NearestImpl(source, *out, fill, progress);
    else if (fmt == pxBW1) ResampleBW1Filtered(source, *out, filter);
    else if (fmt == pxGray8 && source.IsAlpha()) Gray8FilteredImpl(source, *out, filter);
    else if (fmt == pxGray8) GrayImageImpl(source, *out, filter, fill, progress);
    else Resample24Impl(source, *out, filter, fill, progress);
    if (out->Width() != dw || out->Height() != dh) return false;

    if (srcAlpha && srcAlpha->PixelFormat() == pxGray8) {
      TPXBitmap* dstAlpha = out->GetAlphaChannel();
      if (!dstAlpha || !PrepareDest(*dstAlpha, dw, dh, pxGray8)) return false;
      if (filter == rfNone) NearestImpl(*srcAlpha, *dstAlpha, false, {});
      else Gray8FilteredImpl(*srcAlpha, *dstAlpha, filter);
      if (dstAlpha->Width() != dw || dstAlpha->Height() != dh) return false;
      dstAlpha->Full = srcAlpha->Full;
    } else if (dest.HasAlphaChannel()) {
      // A channel the destination had stays with it.
      out->GetAlphaChannel()->Assign(dest.GetAlphaChannel());
    }
    out->FlushRows();
    if (dest.Location() == pxTBitmap || dest.IsAlpha()) {
      dest.Assign(out.get());
      dest.FlushRows();
    } else {
      out->MoveInto(dest);
    }
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const EPXBitmapError&) {
    return false;  // no storage, or a temporary file that could not be written
  }
  return true;
}

}  // namespace pixoran
