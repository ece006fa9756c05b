// Colour operations of the processing component: grey, negative,
// transparent colours, red-eye removal (all in the selection), reduction to
// fewer colours (whole image), and the quantizing routine behind it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/neurquant.h"
#include "proc/pixoranproc.h"
#include "proc/pxbands_internal.h"

namespace pixoran {

namespace {

#if defined(__x86_64__)
// Spreads 16 grey bytes back over three vectors of blue-green-red triples.
struct TJoinMasks {
  alignas(16) uint8_t Join[3][16];  // [destination vector][byte]
};
constexpr TJoinMasks MakeJoinMasks() {
  TJoinMasks m{};
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 16; ++i) m.Join[k][i] = static_cast<uint8_t>((16 * k + i) / 3);
  return m;
}
constexpr TJoinMasks kShuffle = MakeJoinMasks();

// Blue+green and red, weighted, of the 4 pixels at q.
__attribute__((target("ssse3"))) inline __m128i WeightedPairs(const uint8_t* q, __m128i spread, __m128i weights) {
  return _mm_maddubs_epi16(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), spread), weights);
}

// The grey of 16 pixels at a time, for weights that are not negative and
// sum to at most 100. Four pixels are loaded 16 bytes at a time and spread
// to blue, green, red, 0; one multiply-add gives blue+green and red per
// pixel (each at most 25500: no saturation), a horizontal add their sum.
// mulhi by 5243 then >> 3 is an exact div 100 over that range. The last
// load reads 4 bytes past the block, so the loop stops while 2 pixels are
// left. Returns the pixels done; the caller finishes the rest.
__attribute__((target("ssse3"))) int32_t GrayRow24Ssse3(uint8_t* p, int32_t count, int32_t wr, int32_t wg, int32_t wb) {
  const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const int8_t b8 = static_cast<int8_t>(wb), g8 = static_cast<int8_t>(wg), r8 = static_cast<int8_t>(wr);
  const __m128i weights = _mm_setr_epi8(b8, g8, r8, 0, b8, g8, r8, 0, b8, g8, r8, 0, b8, g8, r8, 0);
  const __m128i div = _mm_set1_epi16(5243);
  const auto* join = reinterpret_cast<const __m128i*>(kShuffle.Join);
  int32_t x = 0;
  for (; x + 18 <= count; x += 16) {
    uint8_t* q = p + 3 * static_cast<int64_t>(x);
    __m128i lo = _mm_hadd_epi16(WeightedPairs(q, spread, weights), WeightedPairs(q + 12, spread, weights));
    __m128i hi = _mm_hadd_epi16(WeightedPairs(q + 24, spread, weights), WeightedPairs(q + 36, spread, weights));
    lo = _mm_srli_epi16(_mm_mulhi_epu16(lo, div), 3);
    hi = _mm_srli_epi16(_mm_mulhi_epu16(hi, div), 3);
    const __m128i l = _mm_packus_epi16(lo, hi);
    auto* d = reinterpret_cast<__m128i*>(q);
    _mm_storeu_si128(d, _mm_shuffle_epi8(l, _mm_load_si128(join)));
    _mm_storeu_si128(d + 1, _mm_shuffle_epi8(l, _mm_load_si128(join + 1)));
    _mm_storeu_si128(d + 2, _mm_shuffle_epi8(l, _mm_load_si128(join + 2)));
  }
  return x;
}
#endif

// Blue, green and red of each pixel become its luminance, clamped to a byte
// (weights summing above 100 could leave it).
void GrayRow24(uint8_t* p, int32_t count, int32_t wr, int32_t wg, int32_t wb) {
  int32_t x = 0;
#if defined(__x86_64__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3 && wr >= 0 && wg >= 0 && wb >= 0 && wr + wg + wb <= 100) x = GrayRow24Ssse3(p, count, wr, wg, wb);
#endif
  for (; x < count; ++x) {
    const int32_t v = (p[3 * x + 2] * wr + p[3 * x + 1] * wg + p[3 * x] * wb) / 100;
    const uint8_t l = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    p[3 * x] = l;
    p[3 * x + 1] = l;
    p[3 * x + 2] = l;
  }
}

void InvertBytes(uint8_t* p, int64_t count) {
  for (int64_t i = 0; i < count; ++i) p[i] = static_cast<uint8_t>(~p[i]);
}

// Inverts bits x1..x2-1 of a 1-bit row (leftmost pixel in the top bit).
void InvertBitRun(uint8_t* row, int32_t x1, int32_t x2) {
  int32_t x = x1;
  for (; x < x2 && (x & 7); ++x) row[x >> 3] ^= static_cast<uint8_t>(0x80u >> (x & 7));
  const int32_t whole = (x2 - x) >> 3;
  InvertBytes(row + (x >> 3), whole);
  x += whole * 8;
  for (; x < x2; ++x) row[x >> 3] ^= static_cast<uint8_t>(0x80u >> (x & 7));
}

// Clamped as the red-eye step 1 asks.
double RedEyeK(int32_t g, int32_t b) {
  const double k = g < 2 ? std::sqrt(static_cast<double>(b)) : std::sqrt(static_cast<double>(b) / g);
  return std::clamp(k, 0.5, 1.5);
}

uint8_t RoundByte(double v) { return static_cast<uint8_t>(std::clamp<int64_t>(RoundHalfEven(v), 0, 255)); }

}  // namespace

// ------------------------------------------------------------ workers

namespace {

// Runs row(y) for rows y1..y2-1 in bands (on the calling thread alone when
// a bitmap keeps its rows in a temporary file), each row's progress told in
// order on the calling thread.
void ForRows(TPixoranProc& proc, bool serial, int32_t y1, int32_t y2, int64_t pixelsPerRow,
             const std::function<void(int32_t y)>& row) {
  const int32_t rows = y2 - y1;
  PXProcRows(
      rows, pixelsPerRow, serial,
      [&](int32_t first, int32_t last) {
        for (int32_t y = y1 + first; y < y1 + last; ++y) row(y);
      },
      proc.OnProgress ? TPXRowReport([&](int32_t done) { proc.ReportRow(done, rows); }) : TPXRowReport{});
}

void ConvertToGrayRect(TPixoranProc& proc, TPXBitmap& b, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  if (b.PixelFormat() != pxBGR24 || !ClipToImage(b, x1, y1, x2, y2)) return;
  const TPXSettings& s = PXSettings();
  const int32_t wr = s.LumRed, wg = s.LumGreen, wb = s.LumBlue;
  const TPXBandRows rows(b);
  ForRows(proc, rows.Serial(), y1, y2, x2 - x1, [&](int32_t y) {
    if (uint8_t* row = rows[y]) GrayRow24(row + 3 * static_cast<int64_t>(x1), x2 - x1, wr, wg, wb);
  });
}

void NegativeRect(TPixoranProc& proc, TPXBitmap& b, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  const TPXPixelFormat f = b.PixelFormat();
  if ((f != pxBGR24 && f != pxBW1) || !ClipToImage(b, x1, y1, x2, y2)) return;
  const TPXBandRows rows(b);
  ForRows(proc, rows.Serial(), y1, y2, x2 - x1, [&](int32_t y) {
    if (uint8_t* row = rows[y]) {
      if (f == pxBGR24) InvertBytes(row + 3 * static_cast<int64_t>(x1), 3 * static_cast<int64_t>(x2 - x1));
      else InvertBitRun(row, x1, x2);
    }
  });
}

void SetAlphaInColorRange(TPixoranProc& proc, TPXBitmap& b, int32_t x1, int32_t y1, int32_t x2, int32_t y2, TBGR lo,
                          TBGR hi, uint8_t alpha) {
  const TPXPixelFormat f = b.PixelFormat();
  if ((f != pxBGR24 && f != pxBW1) || !ClipToImage(b, x1, y1, x2, y2)) return;
  TPXBitmap* a = b.GetAlphaChannel();
  if (!a) return;
  const bool setBits = lo.r != 0;
  const TPXBandRows rows(b), alphaRows(*a);
  ForRows(proc, rows.Serial() || alphaRows.Serial(), y1, y2, x2 - x1, [&](int32_t y) {
    const uint8_t* s = rows[y];
    uint8_t* d = alphaRows[y];  // another bitmap: s stays valid
    if (!s || !d) return;
    if (f == pxBGR24) {
      for (int32_t x = x1; x < x2; ++x) {
        const uint8_t* p = s + 3 * static_cast<int64_t>(x);
        if (p[0] >= lo.b && p[0] <= hi.b && p[1] >= lo.g && p[1] <= hi.g && p[2] >= lo.r && p[2] <= hi.r) d[x] = alpha;
      }
    } else {
      for (int32_t x = x1; x < x2; ++x)
        if (GetBit(s, x) == setBits) d[x] = alpha;
    }
  });
  a->SyncFull();
}

void RemoveRedEyesRect(TPixoranProc& proc, TPXBitmap& b, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  if (b.PixelFormat() != pxBGR24 || !ClipToImage(b, x1, y1, x2, y2)) return;
  const TPXBandRows rows(b);
  ForRows(proc, rows.Serial(), y1, y2, x2 - x1, [&](int32_t y) {
    uint8_t* row = rows[y];
    if (!row) return;
    for (int32_t x = x1; x < x2; ++x) {
      uint8_t* p = row + 3 * static_cast<int64_t>(x);
      const int32_t bl = p[0], g = p[1], r = p[2];
      const double q = static_cast<double>(r) / std::max(g + bl, 1) * RedEyeK(g, bl);
      if (q <= 0.7) continue;
      const double m = std::max(0.0, 1.775 - (0.75 * q + 0.25));
      const double o = m * m;
      p[2] = RoundByte(r * o);
      p[0] = RoundByte(bl * (1 - (1 - o) / 2));
      p[1] = RoundByte(g * (1 - (1 - o) / 4));
    }
  });
}

}  // namespace

// ------------------------------------------------------------ selection-aware operations

void TPixoranProc::ConvertToGray() {
  RunInSelection(kPXAnyFormat, "ConvertToGray",
                 [this](TPXBitmap& work, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
                   ConvertToGrayRect(*this, work, x1, y1, x2, y2);
                 });
}

void TPixoranProc::Negative() {
  RunInSelection(kPXAnyFormat, "Negative", [this](TPXBitmap& work, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    NegativeRect(*this, work, x1, y1, x2, y2);
  });
}

void TPixoranProc::SetTransparentColors(TBGR minColor, TBGR maxColor, uint8_t alpha) {
  RunInSelection(kPXAnyFormat, "SetTransparentColors",
                 [&](TPXBitmap& work, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
                   SetAlphaInColorRange(*this, work, x1, y1, x2, y2, minColor, maxColor, alpha);
                 });
}

void TPixoranProc::RemoveRedEyes() {
  RunInSelection(PXFormatSet(pxBGR24), "RemoveRedEyes",
                 [this](TPXBitmap& work, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
                   RemoveRedEyesRect(*this, work, x1, y1, x2, y2);
                 });
}

// ------------------------------------------------------------ whole-image operations

void TPixoranProc::ConvertColors(int32_t numColors, std::span<TBGR> palette, bool threshold,
                                 const std::string& caption) {
  aborting_ = false;
  if (!CheckBitmap(PXFormatSet(pxBGR24))) return;
  const TPXProgressRec rec = ProgressRec();
  if (numColors > 1024) {
    if (TakeAutoUndo(caption)) FinishChange();  // nothing but the undo entry
    return;
  }
  ChangeImage(caption, [&](TPXBitmap& copy) {
    if (numColors < 3) {
      if (threshold) ConvertToBWThreshold(copy, -1, rec);
      else ConvertToBWOrdered(copy, rec);
      if (palette.size() > 0) palette[0] = TBGR{0, 0, 0};
      if (palette.size() > 1) palette[1] = TBGR{255, 255, 255};
      return copy.PixelFormat() == pxBW1;  // still 24-bit: its 1-bit image could not be had
    }
    QuantizeBitmap(copy, numColors, palette, rec);
    return true;
  });
}

void TPixoranProc::ConvertTo(int32_t numColors, bool threshold) {
  ConvertColors(numColors, {}, threshold, "ConvertTo " + std::to_string(numColors));
}

void TPixoranProc::ConvertToPalette(int32_t numColors, std::span<TBGR> palette, bool threshold) {
  // Never more colours than the caller's palette can take.
  numColors = static_cast<int32_t>(std::min<int64_t>(numColors, static_cast<int64_t>(palette.size())));
  if (numColors == 0) return;
  // A 1-bit result has two entries, black and white, whatever count below 3
  // asked for it; a palette of one entry takes only the first.
  const size_t used = numColors < 3 ? std::min<size_t>(2, palette.size()) : static_cast<size_t>(numColors);
  ConvertColors(numColors, palette.first(used), threshold, "ConvertToPalette");
}

// ------------------------------------------------------------ plain routines

void QuantizeBitmap(TPXBitmap& bitmap, int32_t n, std::span<TBGR> palette, const TPXProgressRec& progress) {
  if (bitmap.PixelFormat() != pxBGR24 || n <= 0) return;
  std::vector<TBGR> own;
  if (palette.empty()) {
    own.resize(static_cast<size_t>(std::min(n, 256)));
    palette = own;
  }
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  TPXQuantizer quantizer;
  quantizer.Init(bitmap, palette, n, -1);
  if (quantizer.ColorCount() <= 0) return;
  const double per = 100.0 / (h + 0.5);
  const TPXBandRows rows(bitmap);
  PXProcRows(
      h, w, rows.Serial(),
      [&](int32_t first, int32_t last) {
        thread_local std::vector<uint8_t> index;
        index.resize(static_cast<size_t>(std::max(w, 0)));
        for (int32_t y = first; y < last; ++y) {
          uint8_t* row = rows[y];
          if (!row) continue;
          quantizer.MapRow(row, index.data(), w);
          for (int32_t x = 0; x < w; ++x) std::memcpy(row + 3 * static_cast<int64_t>(x), &palette[index[x]], 3);
        }
      },
      progress.OnProgress ? TPXRowReport([&](int32_t done) { progress.Report(TruncToInt32(per * done)); })
                          : TPXRowReport{});
}

}  // namespace pixoran
