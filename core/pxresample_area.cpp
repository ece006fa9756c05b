// Area-coverage resampler with bilinear or cubic samples
// (ResampleFilteredTwoPass). Each axis is cut at every source and every
// destination pixel boundary; a destination pixel is the mean, weighted by
// piece area, of one sample per piece.
//
// Boundaries are exact: positions are counted in units of
// 1 / (dstN / gcd) source pixels, so a source pixel is dstN / gcd units, a
// destination pixel srcN / gcd units and every piece length an integer. The
// mean is then an integer quotient, and a constant image stays constant
// (a floating-point 1 / (gx * gy) would drop exact values to one below).
// Samples are integers as well: interpolation weights are 16-bit fixed
// point adding up to exactly 1, each one-axis result truncated.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "core/kopxutils_bitmap.h"
#include "core/pxresample_internal.h"

namespace pixoran::resample_detail {

namespace {

constexpr int32_t kOne = 65536;  // fixed-point 1.0 of the interpolation weights

double CubicWeight(double x) {  // cubic convolution, a = -1
  const double a = std::abs(x);
  if (a <= 1.0) return a * a * a - 2.0 * a * a + 1.0;
  if (a < 2.0) return -a * a * a + 5.0 * a * a - 8.0 * a + 4.0;
  return 0.0;
}

// Pieces of one axis, in order.
struct TPieces {
  std::vector<int32_t> Src;      // source pixel of the piece
  std::vector<int64_t> Len;      // length in units
  std::vector<uint8_t> EndsDst;  // the piece closes a destination pixel
  int Taps = 1;                  // samples per piece: 1, 2 (bilinear) or 4 (cubic)
  std::vector<int32_t> Tap;      // Taps source indices per piece, clamped to the image
  std::vector<int32_t> Weight;   // Taps weights per piece, adding up to kOne
  int64_t DstUnits = 1;          // units per destination pixel
};

TPieces BuildPieces(int32_t srcN, int32_t dstN, bool interpolate, bool bicubic) {
  TPieces p;
  const int64_t g = std::gcd(static_cast<int64_t>(srcN), static_cast<int64_t>(dstN));
  const int64_t a = dstN / g;  // units per source pixel
  const int64_t b = srcN / g;  // units per destination pixel
  p.DstUnits = b;
  p.Taps = interpolate ? (bicubic ? 4 : 2) : 1;
  const int64_t total = static_cast<int64_t>(srcN) * a;
  const size_t reserve = static_cast<size_t>(srcN) + static_cast<size_t>(dstN);
  p.Src.reserve(reserve);
  p.Len.reserve(reserve);
  p.EndsDst.reserve(reserve);
  p.Tap.reserve(reserve * static_cast<size_t>(p.Taps));
  p.Weight.reserve(reserve * static_cast<size_t>(p.Taps));
  int64_t pos = 0, nextSrc = a, nextDst = b;
  auto clampIdx = [&](int64_t i) { return static_cast<int32_t>(std::clamp<int64_t>(i, 0, srcN - 1)); };
  while (pos < total) {
    const int64_t end = std::min(nextSrc, nextDst);
    const int64_t src = pos / a;
    p.Src.push_back(static_cast<int32_t>(src));
    p.Len.push_back(end - pos);
    p.EndsDst.push_back(end == nextDst ? 1 : 0);
    // Where the piece ends inside its source pixel, in (0, 1].
    const double t = static_cast<double>(end - src * a) / static_cast<double>(a);
    if (p.Taps == 1) {
      p.Tap.push_back(static_cast<int32_t>(src));
      p.Weight.push_back(kOne);
    } else if (p.Taps == 2) {
      const int32_t w1 = static_cast<int32_t>(RoundHalfEven(t * kOne));
      p.Tap.push_back(clampIdx(src));
      p.Tap.push_back(clampIdx(src + 1));
      p.Weight.push_back(kOne - w1);
      p.Weight.push_back(w1);
    } else {
      int32_t w[4];
      const double d[4] = {1.0 + t, t, 1.0 - t, 2.0 - t};
      int32_t sum = 0, big = 0;
      for (int k = 0; k < 4; ++k) {
        w[k] = static_cast<int32_t>(RoundHalfEven(CubicWeight(d[k]) * kOne));
        sum += w[k];
        if (std::abs(w[k]) > std::abs(w[big])) big = k;
      }
      w[big] += kOne - sum;  // exactly 1 in all, so flat areas stay flat
      for (int k = 0; k < 4; ++k) {
        p.Tap.push_back(clampIdx(src - 1 + k));
        p.Weight.push_back(w[k]);
      }
    }
    if (end == nextSrc) nextSrc += a;
    if (end == nextDst) nextDst += b;
    pos = end;
  }
  return p;
}

// Truncating division by kOne (toward zero, as the integer formulation has
// it). Sums of weights times values stay below 2^31: weights add up in
// magnitude to under 1.3 * kOne and values to under 400.
PX_INLINE_BODY int32_t FixDiv(int32_t v) { return v / kOne; }

// One source row into per-piece values, S lanes per piece (3 channels run
// in 4 lanes so each piece is one short vector).
template <int S>
PX_INLINE_BODY void PieceRowT(const int32_t* __restrict px, const TPieces& hp, int32_t* __restrict out) {
  const size_t n = hp.Src.size();
  const int taps = hp.Taps;
  const int32_t* tap = hp.Tap.data();
  const int32_t* wt = hp.Weight.data();
  if (taps == 1) {
    for (size_t h = 0; h < n; ++h)
      for (int c = 0; c < S; ++c) out[h * S + c] = px[static_cast<size_t>(tap[h]) * S + c];
    return;
  }
  for (size_t h = 0; h < n; ++h) {
    int32_t acc[S] = {};
    for (int k = 0; k < taps; ++k) {
      const int32_t w = wt[h * taps + k];
      const int32_t* p = px + static_cast<size_t>(tap[h * taps + k]) * S;
      for (int c = 0; c < S; ++c) acc[c] += w * p[c];
    }
    for (int c = 0; c < S; ++c) out[h * S + c] = FixDiv(acc[c]);
  }
}
// Source bytes into int lanes for PieceRow: 3 channels into 4 lanes, or 1
// into 1. The row and the lanes never overlap, which lets the copy vectorise.
PX_HOT_CLONES void WidenRow3(const uint8_t* __restrict s, int32_t* __restrict px, int32_t n) {
  for (int32_t x = 0; x < n; ++x)
    for (int c = 0; c < 3; ++c) px[static_cast<size_t>(x) * 4 + c] = s[static_cast<size_t>(x) * 3 + c];
}
PX_HOT_CLONES void WidenRow1(const uint8_t* __restrict s, int32_t* __restrict px, int32_t n) {
  for (int32_t x = 0; x < n; ++x) px[static_cast<size_t>(x)] = s[x];
}
PX_HOT_CLONES void PieceRow4(const int32_t* px, const TPieces& hp, int32_t* out) { PieceRowT<4>(px, hp, out); }
PX_HOT_CLONES void PieceRow1(const int32_t* px, const TPieces& hp, int32_t* out) { PieceRowT<1>(px, hp, out); }

// The sample of one vertical piece: the row value (no vertical
// interpolation) or the fixed-point mix of the rows, truncated; clamped to
// 0..255.
template <int Taps>
PX_INLINE_BODY int32_t PieceSample(const int32_t* const* r, const int32_t* w, int64_t e) {
  if constexpr (Taps == 1) {
    return std::clamp(r[0][e], 0, 255);
  } else if constexpr (Taps == 2) {
    return std::clamp(FixDiv(w[0] * r[0][e] + w[1] * r[1][e]), 0, 255);
  } else {
    return std::clamp(FixDiv(w[0] * r[0][e] + w[1] * r[1][e] + w[2] * r[2][e] + w[3] * r[3][e]), 0, 255);
  }
}

template <int Taps, typename TSum>
PX_INLINE_BODY void AccumulateT(const int32_t* const* rows, const int32_t* weights, TSum k, int64_t len,
                                TSum* __restrict sums) {
  const int32_t* r[4] = {rows[0], Taps > 1 ? rows[1] : nullptr, Taps > 2 ? rows[2] : nullptr,
                         Taps > 2 ? rows[3] : nullptr};
  int32_t w[4] = {};
  for (int t = 0; t < Taps; ++t) w[t] = weights[t];
  for (int64_t e = 0; e < len; ++e) sums[e] += k * static_cast<TSum>(PieceSample<Taps>(r, w, e));
}

// Adds one vertical piece of height k to the column sums.
template <typename TSum>
PX_INLINE_BODY void AccumulatePieceT(const int32_t* const* rows, const int32_t* w, int taps, TSum k, int64_t len,
                                     TSum* sums) {
  if (taps == 1) AccumulateT<1>(rows, w, k, len, sums);
  else if (taps == 2) AccumulateT<2>(rows, w, k, len, sums);
  else AccumulateT<4>(rows, w, k, len, sums);
}
PX_HOT_CLONES void AccumulatePiece(const int32_t* const* rows, const int32_t* w, int taps, int32_t k, int64_t len,
                                   int32_t* sums) {
  AccumulatePieceT<int32_t>(rows, w, taps, k, len, sums);
}
PX_HOT_CLONES void AccumulatePiece(const int32_t* const* rows, const int32_t* w, int taps, int64_t k, int64_t len,
                                   int64_t* sums) {
  AccumulatePieceT<int64_t>(rows, w, taps, k, len, sums);
}

// floor(n / area) for the sums of one destination pixel (0 <= n <= 255 * area).
class TAreaQuotient {
 public:
  explicit TAreaQuotient(uint64_t area) : area_(area), inv_(1.0 / static_cast<double>(area)) {
    if (area <= 256) {  // few enough values for a table
      table_.resize(static_cast<size_t>(255 * area + 1));
      for (size_t n = 0; n < table_.size(); ++n) table_[n] = static_cast<uint8_t>(n / area);
    } else if (area <= 0x7FFFFFFFu / 255u) {
      magic_ = TDivMagic(static_cast<uint32_t>(area), static_cast<uint32_t>(255 * area));
      small_ = true;
    }
  }
  uint8_t operator()(int64_t n) const {
    if (!table_.empty()) return table_[static_cast<size_t>(n)];
    if (small_) return static_cast<uint8_t>(magic_.Div(static_cast<uint32_t>(n)));
    // Estimate, then settle the floor exactly.
    const uint64_t u = static_cast<uint64_t>(n);
    uint64_t q = static_cast<uint64_t>(static_cast<double>(u) * inv_);
    while (q > 0 && q * area_ > u) --q;
    while ((q + 1) * area_ <= u) ++q;
    return static_cast<uint8_t>(std::min<uint64_t>(q, 255));
  }

 private:
  uint64_t area_;
  double inv_;
  std::vector<uint8_t> table_;
  TDivMagic magic_;
  bool small_ = false;
};

// A finished destination row: each pixel's pieces weighed by their width.
// d aliases nothing else here, so the tables stay in registers across the
// byte stores (a band calls this through references to the caller's tables).
template <typename TSum>
void FinishRow(const TSum* __restrict sums, const TPieces& hp, const std::vector<size_t>& firstPiece, int32_t dw, int C,
               int S, const TAreaQuotient& quotient, uint8_t* __restrict d) {
  const int64_t* __restrict lens = hp.Len.data();
  const size_t* __restrict first = firstPiece.data();
  for (int32_t x = 0; x < dw; ++x) {
    int64_t acc[4] = {0, 0, 0, 0};
    for (size_t h = first[static_cast<size_t>(x)]; h < first[static_cast<size_t>(x) + 1]; ++h) {
      const int64_t len = lens[h];
      for (int c = 0; c < S; ++c) acc[c] += len * sums[h * static_cast<size_t>(S) + static_cast<size_t>(c)];
    }
    for (int c = 0; c < C; ++c)
      d[static_cast<size_t>(x) * static_cast<size_t>(C) + static_cast<size_t>(c)] = quotient(acc[c]);
  }
}

template <typename TSum>
void AreaPasses(TRowReader& reader, TPXBitmap& dest, int C, const TPieces& hp, const TPieces& vp,
                const TPXProgressRec& progress) {
  const int32_t sw = reader.Width();
  const int32_t dw = dest.Width(), dh = dest.Height();
  const int S = C == 3 ? 4 : 1;
  const size_t nh = hp.Src.size();
  const int64_t lanes = static_cast<int64_t>(nh) * S;
  // Destination pixel d gathers pieces firstPiece[d] .. firstPiece[d + 1] - 1.
  std::vector<size_t> firstPiece(static_cast<size_t>(dw) + 1, nh);
  {
    size_t d = 0;
    firstPiece[0] = 0;
    for (size_t h = 0; h < nh; ++h)
      if (hp.EndsDst[h]) firstPiece[++d] = h + 1;
  }
  const TAreaQuotient quotient(static_cast<uint64_t>(hp.DstUnits) * static_cast<uint64_t>(vp.DstUnits));

  // Vertical pieces of destination row j: firstV[j] .. firstV[j + 1] - 1.
  const size_t nv = vp.Src.size();
  std::vector<size_t> firstV(static_cast<size_t>(dh) + 1, nv);
  {
    int32_t j = 0;
    firstV[0] = 0;
    for (size_t v = 0; v < nv && j < dh; ++v)
      if (vp.EndsDst[v]) firstV[static_cast<size_t>(++j)] = v + 1;
  }
  std::vector<int32_t> told;
  if (progress.OnProgress) {
    told.resize(static_cast<size_t>(dh));
    for (int32_t j = 0; j < dh; ++j)
      told[static_cast<size_t>(j)] = TruncToInt32(static_cast<double>(j + 1) / dh * 100.0);
  }

  TAccessScope ds(&dest, pxaWrite);
  TDestRows destRows(dest);
  const int64_t rowLen = dest.RowLen();
  // Destination rows [first, last): each from its own pieces, so a band
  // needs nothing of the rows before it.
  // Per-piece values of the source rows in use (up to four, for cubic).
  constexpr int kRows = 4;
  struct TState {
    std::unique_ptr<TRowReader> Own;
    std::vector<int32_t> PieceRows, Px;
    int32_t RowTag[kRows] = {-1, -1, -1, -1};
    std::vector<TSum> Sums;
  };
  TBandStates<TState> states;
  auto makeState = [&] {
    auto st = std::make_unique<TState>();
    if (reader.Shareable()) st->Own = reader.Band();
    st->PieceRows.resize(static_cast<size_t>(kRows) * static_cast<size_t>(lanes));
    st->Px.assign(static_cast<size_t>(sw) * S, 0);
    st->Sums.resize(static_cast<size_t>(lanes));
    return st;
  };
  auto band = [&](int32_t first, int32_t last) {
    auto st = states.Take(first, makeState);
    TRowReader& rd = st->Own ? *st->Own : reader;
    int32_t* px = st->Px.data();
    auto pieceRow = [&](int32_t y) -> const int32_t* {
      int32_t* out = st->PieceRows.data() + static_cast<size_t>(y % kRows) * static_cast<size_t>(lanes);
      if (st->RowTag[y % kRows] == y) return out;
      st->RowTag[y % kRows] = y;
      const uint8_t* s = rd.Row(y);
      if (C == 3) {
        WidenRow3(s, px, sw);
        PieceRow4(px, hp, out);
      } else {
        WidenRow1(s, px, sw);
        PieceRow1(px, hp, out);
      }
      return out;
    };
    const int32_t* rows[kRows];
    const int taps = vp.Taps;
    for (int32_t j = first; j < last; ++j) {
      std::fill(st->Sums.begin(), st->Sums.end(), 0);
      for (size_t v = firstV[static_cast<size_t>(j)]; v < firstV[static_cast<size_t>(j) + 1]; ++v) {
        for (int k = 0; k < taps; ++k)
          rows[k] = pieceRow(vp.Tap[v * static_cast<size_t>(taps) + static_cast<size_t>(k)]);
        AccumulatePiece(rows, vp.Weight.data() + v * static_cast<size_t>(taps), taps, static_cast<TSum>(vp.Len[v]),
                        lanes, st->Sums.data());
      }
      uint8_t* d = destRows.Row(j);
      if (!d) return;
      FinishRow(st->Sums.data(), hp, firstPiece, dw, C, S, quotient, d);
      ClearRowPadding(d, static_cast<int64_t>(dw) * C, rowLen);
    }
    st.Ends(last);
  };
  const int64_t work = static_cast<int64_t>(dw) + static_cast<int64_t>(sw) * reader.Height() / dh;
  ResampleRows(dh, work, reader.Shareable() && destRows.Shareable(), band, progress, told);
}

}  // namespace

void AreaResample(TPXBitmap& source, TPXBitmap& dest, bool bicubic, int channels, bool fill,
                  const TPXProgressRec& progress) {
  if (&source == &dest) return;
  const int32_t sw = source.Width(), sh = source.Height();
  const int32_t dw = dest.Width(), dh = dest.Height();
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0 || source.PixelFormat() == pxNone) return;
  const int C = channels == 3 ? 3 : 1;
  if (!PrepareDest(dest, dw, dh, C == 3 ? pxBGR24 : pxGray8)) return;
  TRowReader reader(source, C == 3 ? TRowKind::BGR24 : TRowKind::Gray8, fill);
  const TPieces hp = BuildPieces(sw, dw, sw < dw, bicubic);
  const TPieces vp = BuildPieces(sh, dh, sh < dh, bicubic);
  // A column sum is at most 255 units per destination row height.
  if (255 * vp.DstUnits <= 0x7FFFFFFF) AreaPasses<int32_t>(reader, dest, C, hp, vp, progress);
  else AreaPasses<int64_t>(reader, dest, C, hp, vp, progress);
}

}  // namespace pixoran::resample_detail
