// Resampling engine: kernels, the filter routines, dispatch by pixel format,
// alpha channels, progress, storage locations and degenerate sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "core/kopxutils.h"
#include "core/pxresample.h"

using namespace pixoran;

namespace {

constexpr TResampleFilter kAllFilters[] = {rfNone,     rfTriangle, rfHermite, rfBell,       rfBSpline,  rfLanczos3,
                                           rfMitchell, rfNearest,  rfLinear,  rfFastLinear, rfBilinear, rfBicubic};
constexpr TResampleFilter kKernelFilters[] = {rfTriangle, rfHermite,  rfBell,    rfBSpline,
                                              rfLanczos3, rfMitchell, rfNearest, rfLinear};

std::unique_ptr<TPXBitmap> Make(int32_t w, int32_t h, TPXPixelFormat f, bool tempFile = false) {
  auto b = std::make_unique<TPXBitmap>();
  b->MemoryThreshold = tempFile ? 0 : std::numeric_limits<int64_t>::max();
  EXPECT_TRUE(b->Allocate(w, h, f));
  if (w > 0 && h > 0) {
    EXPECT_EQ(b->Location(), tempFile ? pxTempFile : pxInMemory);
  }
  return b;
}

int64_t PixelBytes(TPXBitmap& b) { return (static_cast<int64_t>(b.Width()) * b.BitCount() + 7) / 8; }

void FillRandom(TPXBitmap& b, uint32_t seed) {
  std::mt19937 rng(seed);
  const int64_t n = PixelBytes(b);
  for (int32_t y = 0; y < b.Height(); ++y) {
    uint8_t* p = b.Scanline(y);
    for (int64_t x = 0; x < n; ++x) p[x] = static_cast<uint8_t>(rng());
  }
}

void FillBytes(TPXBitmap& b, uint8_t v) {
  for (int32_t y = 0; y < b.Height(); ++y) std::memset(b.Scanline(y), v, static_cast<size_t>(PixelBytes(b)));
}

// All pixel bytes, rows top to bottom.
std::vector<uint8_t> Pixels(TPXBitmap& b) {
  std::vector<uint8_t> out;
  const int64_t n = PixelBytes(b);
  for (int32_t y = 0; y < b.Height(); ++y) {
    const uint8_t* p = b.Scanline(y);
    out.insert(out.end(), p, p + n);
  }
  return out;
}

// A 24-bit copy whose pixels are the given grey levels.
std::unique_ptr<TPXBitmap> Grey24(TPXBitmap& grey) {
  auto b = Make(grey.Width(), grey.Height(), pxBGR24);
  for (int32_t y = 0; y < grey.Height(); ++y) {
    const uint8_t* s = grey.Scanline(y);
    uint8_t* d = b->Scanline(y);
    for (int32_t x = 0; x < grey.Width(); ++x) d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = s[x];
  }
  return b;
}

// Every third byte from the first: the blue channel of a 24-bit image.
std::vector<uint8_t> Channel0(TPXBitmap& b) {
  std::vector<uint8_t> all = Pixels(b), out;
  for (size_t i = 0; i < all.size(); i += 3) out.push_back(all[i]);
  return out;
}

std::vector<uint8_t> Resampled(TPXBitmap& src, int32_t w, int32_t h, TResampleFilter f, bool tempFile = false) {
  auto d = Make(w, h, pxBGR24, tempFile);
  ResampleBitmap(src, *d, f);
  return Pixels(*d);
}

// The kernel two-pass resampler written out plainly, one pixel at a time,
// as an oracle for the blocked and vectorised one. Lists here never need
// the finer unit (reductions stay below 100 times).
std::vector<int> NaivePass(const std::vector<int>& in, int32_t n, int32_t m, int C, TResampleFilter f) {
  const TPXResampleKernel& k = ResampleKernels[f];
  const double scale = (n == 1 || m == 1) ? double(m) / n : double(m - 1) / (n - 1);
  const double width = scale >= 1 ? k.Support : k.Support / scale;
  const double fs = scale >= 1 ? 1.0 : 1.0 / scale;
  std::vector<int> out(static_cast<size_t>(m) * C);
  for (int32_t i = 0; i < m; ++i) {
    const double c = i / scale;
    int64_t sum[3] = {0, 0, 0}, s = 0;
    for (int64_t j = static_cast<int64_t>(std::floor(c - width)); j <= static_cast<int64_t>(std::ceil(c + width));
         ++j) {
      const int64_t w = RoundHalfEven(k.Kernel((c - j) / fs) * 256.0 / fs);
      if (w == 0) continue;
      int64_t jj = j < 0 ? -j : j;
      if (jj >= n) jj = 2 * n - 1 - jj;
      jj = std::clamp<int64_t>(jj, 0, n - 1);
      s += w;
      for (int ch = 0; ch < C; ++ch) sum[ch] += w * in[static_cast<size_t>(jj * C + ch)];
    }
    for (int ch = 0; ch < C; ++ch)
      out[static_cast<size_t>(i * C + ch)] =
          static_cast<int>(std::clamp<int64_t>(s != 0 ? sum[ch] / s : sum[ch] / 256, 0, 255));
  }
  return out;
}

std::vector<uint8_t> NaiveKernel(TPXBitmap& src, int32_t dw, int32_t dh, int C, TResampleFilter f) {
  const int32_t sw = src.Width(), sh = src.Height();
  std::vector<std::vector<int>> mid(static_cast<size_t>(sh));
  for (int32_t y = 0; y < sh; ++y) {
    const uint8_t* p = src.Scanline(y);
    mid[static_cast<size_t>(y)] = NaivePass(std::vector<int>(p, p + sw * C), sw, dw, C, f);
  }
  std::vector<uint8_t> out(static_cast<size_t>(dw) * dh * C);
  for (int32_t x = 0; x < dw * C; x += C) {
    std::vector<int> col(static_cast<size_t>(sh) * C);
    for (int32_t y = 0; y < sh; ++y)
      for (int ch = 0; ch < C; ++ch)
        col[static_cast<size_t>(y * C + ch)] = mid[static_cast<size_t>(y)][static_cast<size_t>(x + ch)];
    const std::vector<int> r = NaivePass(col, sh, dh, C, f);
    for (int32_t y = 0; y < dh; ++y)
      for (int ch = 0; ch < C; ++ch)
        out[static_cast<size_t>(y) * dw * C + x + ch] = static_cast<uint8_t>(r[static_cast<size_t>(y * C + ch)]);
  }
  return out;
}

}  // namespace

// ------------------------------------------------------------------ kernels

TEST(ResampleKernels, TableShapesAndPartitionOfUnity) {
  const double supports[9] = {0, 1, 1, 1.5, 2, 3, 2, 1, 1};
  for (TResampleFilter f : kKernelFilters) {
    const TPXResampleKernel& k = ResampleKernels[f];
    ASSERT_NE(k.Kernel, nullptr) << int(f);
    EXPECT_EQ(k.Support, supports[f]) << int(f);
    EXPECT_EQ(k.Kernel(k.Support), 0.0) << int(f);
    EXPECT_EQ(k.Kernel(k.Support + 0.25), 0.0) << int(f);
    // Shifted copies of every kernel but Lanczos add up to exactly 1 (an
    // interpolating or approximating spline); Lanczos comes close.
    for (double x = 0.0; x < 1.0; x += 0.0625) {
      double sum = 0.0;
      for (int j = -4; j <= 4; ++j) sum += k.Kernel(x - j);
      EXPECT_NEAR(sum, 1.0, f == rfLanczos3 ? 0.02 : 1e-12) << int(f) << " at " << x;
    }
  }
  EXPECT_EQ(ResampleKernels[rfNone].Kernel, nullptr);
  // The box is half open: -0.5 is outside, 0.5 inside; Linear likewise the other way.
  EXPECT_EQ(ResampleKernels[rfNearest].Kernel(-0.5), 0.0);
  EXPECT_EQ(ResampleKernels[rfNearest].Kernel(0.5), 1.0);
  EXPECT_EQ(ResampleKernels[rfLanczos3].Kernel(0.0), 1.0);
  EXPECT_NEAR(ResampleKernels[rfMitchell].Kernel(0.0), 16.0 / 18.0, 1e-15);
}

// ----------------------------------------------------- whole-image properties

TEST(ResampleProperties, ConstantImagesStayConstantForEveryFilter) {
  struct Size {
    int32_t w, h;
  } sizes[] = {{100, 61}, {9, 7}, {37, 23}, {5, 40}, {1, 9}, {120, 1}, {2, 2}};
  const Size sources[] = {{37, 23}, {1, 20}, {30, 1}, {3, 2}};
  for (const Size& s : sources) {
    auto src = Make(s.w, s.h, pxBGR24);
    for (int32_t y = 0; y < s.h; ++y)
      for (int32_t x = 0; x < s.w; ++x) std::memcpy(src->Scanline(y) + 3 * x, "\x17\x80\xEF", 3);
    auto grey = Make(s.w, s.h, pxGray8);
    FillBytes(*grey, 201);
    for (const Size& d : sizes)
      for (TResampleFilter f : kAllFilters) {
        const std::vector<uint8_t> px = Resampled(*src, d.w, d.h, f);
        ASSERT_EQ(px.size(), size_t(d.w) * d.h * 3);
        for (size_t i = 0; i < px.size(); i += 3)
          ASSERT_TRUE(px[i] == 0x17 && px[i + 1] == 0x80 && px[i + 2] == 0xEF)
              << "filter " << int(f) << " " << s.w << "x" << s.h << " -> " << d.w << "x" << d.h << " at " << i / 3;
        auto gd = Make(d.w, d.h, pxGray8);
        ResampleBitmap(*grey, *gd, f);
        ASSERT_EQ(gd->PixelFormat(), pxGray8);
        for (uint8_t v : Pixels(*gd)) ASSERT_EQ(v, 201) << "grey, filter " << int(f);
      }
  }
}

TEST(ResampleProperties, HugeReductionsKeepTheLevel) {
  // Lists of a 1000-fold reduction round every weight to 0 at the 256 unit;
  // they are weighed again finer instead of coming out black.
  auto src = Make(3000, 2000, pxGray8);
  FillBytes(*src, 200);
  for (TResampleFilter f : kKernelFilters) {
    auto d = Make(3, 2, pxGray8);
    ResampleBitmap(*src, *d, f);
    for (uint8_t v : Pixels(*d)) EXPECT_EQ(v, 200) << int(f);
  }
  auto wide = Make(5000, 1, pxBGR24);
  FillBytes(*wide, 90);
  auto d = Make(1, 1, pxBGR24);
  ResampleBitmap(*wide, *d, rfLanczos3);
  EXPECT_EQ(Pixels(*d), std::vector<uint8_t>(3, 90));
}

TEST(ResampleProperties, SameSizeIsTheIdentityWhereTheFilterInterpolates) {
  auto src = Make(23, 17, pxBGR24);
  FillRandom(*src, 7);
  const std::vector<uint8_t> orig = Pixels(*src);
  for (TResampleFilter f :
       {rfNone, rfTriangle, rfHermite, rfLanczos3, rfNearest, rfLinear, rfFastLinear, rfBilinear, rfBicubic})
    EXPECT_EQ(Resampled(*src, 23, 17, f), orig) << int(f);
  // The smoothing kernels blur even at the same size.
  for (TResampleFilter f : {rfBell, rfBSpline, rfMitchell}) EXPECT_NE(Resampled(*src, 23, 17, f), orig) << int(f);
}

TEST(ResampleProperties, KernelWeightsOfASinglePeak) {
  // B-spline at the same size: weights Round(2/3 * 256) = 171 and
  // Round(1/6 * 256) = 43, S = 257: 255 * 171 div 257 = 169, 255 * 43 div 257 = 42.
  auto src = Make(5, 1, pxGray8);
  const uint8_t row[5] = {0, 0, 255, 0, 0};
  std::memcpy(src->Scanline(0), row, 5);
  auto d = Make(5, 1, pxGray8);
  ResampleBitmap(*src, *d, rfBSpline);
  EXPECT_EQ(Pixels(*d), (std::vector<uint8_t>{0, 42, 169, 42, 0}));
  // Bell: 0.75 * 256 = 192, 0.125 * 256 = 32, S = 256.
  ResampleBitmap(*src, *d, rfBell);
  EXPECT_EQ(Pixels(*d), (std::vector<uint8_t>{0, 31, 191, 31, 0}));
}

TEST(ResampleProperties, CheckerboardHalvesToItsAreaMean) {
  // Area resampling of 2 x 2 blocks: (0 + 255 + 255 + 0) / 4 = 127.5, truncated.
  auto even = Make(16, 12, pxBGR24);
  // The kernel resampler halves exactly when (n - 1) / (m - 1) is 2: the
  // triangle then weighs 64, 128, 64 and every output is 127, but for the
  // last column, where reflection 2n - 1 - j lands on the edge pixel itself.
  auto odd = Make(17, 13, pxBGR24);
  for (TPXBitmap* b : {even.get(), odd.get()})
    for (int32_t y = 0; y < b->Height(); ++y)
      for (int32_t x = 0; x < b->Width(); ++x) std::memset(b->Scanline(y) + 3 * x, (x + y) % 2 ? 255 : 0, 3);
  for (TResampleFilter f : {rfBilinear, rfBicubic})
    for (uint8_t v : Resampled(*even, 8, 6, f)) ASSERT_EQ(v, 127) << int(f);
  for (TResampleFilter f : {rfTriangle, rfLinear}) {
    const std::vector<uint8_t> px = Resampled(*odd, 9, 7, f);
    for (int32_t y = 0; y < 7; ++y)
      for (int32_t x = 0; x < 8 * 3; ++x)
        ASSERT_EQ(px[static_cast<size_t>(y * 27 + x)], 127) << int(f) << " " << x / 3 << "," << y;
  }
}

TEST(ResampleProperties, KernelResamplerMatchesAPlainOracle) {
  struct Case {
    int32_t sw, sh, dw, dh;
  } cases[] = {{29, 19, 71, 45}, {64, 40, 16, 10}, {61, 37, 14, 33}, {9, 50, 40, 7}, {2, 3, 17, 29}, {40, 1, 13, 5}};
  for (const Case& c : cases)
    for (int C : {3, 1})
      for (bool temp : {false, true}) {
        auto src = Make(c.sw, c.sh, C == 3 ? pxBGR24 : pxGray8, temp);
        FillRandom(*src, static_cast<uint32_t>(c.sw * 31 + c.dh));
        for (TResampleFilter f : kKernelFilters) {
          auto d = Make(c.dw, c.dh, C == 3 ? pxBGR24 : pxGray8, temp);
          ResampleBitmap(*src, *d, f);
          ASSERT_EQ(Pixels(*d), NaiveKernel(*src, c.dw, c.dh, C, f))
              << "filter " << int(f) << " channels " << C << " temp " << temp << " " << c.sw << "x" << c.sh << " -> "
              << c.dw << "x" << c.dh;
        }
      }
}

TEST(ResampleProperties, AreaReductionByWholeFactorsIsTheBlockMean) {
  auto src = Make(30, 21, pxBGR24);
  FillRandom(*src, 3);
  for (TResampleFilter f : {rfBilinear, rfBicubic}) {
    const std::vector<uint8_t> out = Resampled(*src, 10, 7, f);
    for (int32_t y = 0; y < 7; ++y)
      for (int32_t x = 0; x < 10; ++x)
        for (int c = 0; c < 3; ++c) {
          int sum = 0;
          for (int32_t v = 0; v < 3; ++v)
            for (int32_t u = 0; u < 3; ++u) sum += src->Scanline(3 * y + v)[3 * (3 * x + u) + c];
          ASSERT_EQ(out[static_cast<size_t>((y * 10 + x) * 3 + c)], sum / 9) << int(f) << " " << x << "," << y;
        }
  }
}

TEST(ResampleProperties, AreaReductionIsTheExactCoverageMean) {
  // Reducing on both axes, a destination pixel is the mean of the source
  // pixels under it, each weighed by the area it shares, truncated. The
  // overlap of source pixel x and destination pixel d, both scaled to
  // srcW * dstW, is an integer; so is the whole sum.
  auto overlap = [](int64_t s, int64_t d, int64_t sn, int64_t dn) {
    return std::max<int64_t>(0, std::min((s + 1) * dn, (d + 1) * sn) - std::max(s * dn, d * sn));
  };
  struct Case {
    int32_t sw, sh, dw, dh;
  } cases[] = {{53, 41, 7, 5}, {97, 30, 96, 29}, {4111, 2053, 3, 2}};
  for (const Case& c : cases) {
    auto src = Make(c.sw, c.sh, pxGray8);
    FillRandom(*src, static_cast<uint32_t>(c.sw));
    std::vector<std::vector<uint8_t>> rows;
    for (int32_t y = 0; y < c.sh; ++y) rows.emplace_back(src->Scanline(y), src->Scanline(y) + c.sw);
    for (TResampleFilter f : {rfBilinear, rfBicubic}) {
      auto d = Make(c.dw, c.dh, pxGray8);
      ResampleBitmap(*src, *d, f);
      const std::vector<uint8_t> got = Pixels(*d);
      for (int32_t j = 0; j < c.dh; ++j)
        for (int32_t i = 0; i < c.dw; ++i) {
          uint64_t sum = 0;
          for (int32_t y = j * c.sh / c.dh; y <= std::min(c.sh - 1, (j + 1) * c.sh / c.dh); ++y) {
            const int64_t wy = overlap(y, j, c.sh, c.dh);
            for (int32_t x = i * c.sw / c.dw; x <= std::min(c.sw - 1, (i + 1) * c.sw / c.dw); ++x)
              sum += static_cast<uint64_t>(wy * overlap(x, i, c.sw, c.dw)) *
                     rows[static_cast<size_t>(y)][static_cast<size_t>(x)];
          }
          const uint64_t area = static_cast<uint64_t>(c.sw) * c.sh;  // a destination pixel, in those units
          ASSERT_EQ(got[static_cast<size_t>(j * c.dw + i)], sum / area)
              << int(f) << " " << c.sw << "x" << c.sh << " at " << i << "," << j;
        }
    }
  }
}

TEST(ResampleProperties, AreaEnlargementSamplesAtThePieceEnd) {
  // Twice as wide: destination pixel 2k covers the left half of source
  // pixel k and samples its middle, (p[k] + p[k+1]) div 2; pixel 2k + 1
  // ends on the boundary and takes p[k+1] (the edge repeats at the end).
  auto src = Make(4, 1, pxGray8);
  const uint8_t row[4] = {10, 51, 200, 100};
  std::memcpy(src->Scanline(0), row, 4);
  auto d = Make(8, 1, pxGray8);
  ResampleBitmap(*src, *d, rfBilinear);
  EXPECT_EQ(Pixels(*d), (std::vector<uint8_t>{30, 51, 125, 200, 150, 100, 100, 100}));
  // Cubic with a = -1 through the same points: t = 1 gives the right-hand pixel exactly.
  ResampleBitmap(*src, *d, rfBicubic);
  const std::vector<uint8_t> cubic = Pixels(*d);
  EXPECT_EQ(cubic[1], 51);
  EXPECT_EQ(cubic[3], 200);
  EXPECT_EQ(cubic[5], 100);
  EXPECT_GT(cubic[2], 125);  // the cubic overshoots the chord on the rising side
}

// ------------------------------------------------------------ fast linear

TEST(ResampleFastLinear, InterpolatesInSeventeenBitFixedPoint) {
  auto src = Make(2, 1, pxBGR24);
  std::memset(src->Scanline(0), 0, 3);
  std::memset(src->Scanline(0) + 3, 255, 3);
  auto d = Make(4, 1, pxBGR24);
  ResampleFastLinear24(*src, *d);
  EXPECT_EQ(Channel0(*d), (std::vector<uint8_t>{0, 127, 255, 255}));
  // Falling: 255 + (-255 * 65536) / 131072 truncates toward zero: 128.
  std::memset(src->Scanline(0), 255, 3);
  std::memset(src->Scanline(0) + 3, 0, 3);
  ResampleFastLinear24(*src, *d);
  EXPECT_EQ(Channel0(*d), (std::vector<uint8_t>{255, 128, 0, 0}));
}

TEST(ResampleFastLinear, UnchangedWidthAveragesNeighbouringColumns) {
  // The column window runs from Trunc(i) to Trunc(i + 1): with the width
  // kept, each column is averaged with the next (the last stays alone).
  auto src = Make(6, 4, pxBGR24);
  const uint8_t vals[6] = {10, 20, 40, 80, 160, 250};
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 6; ++x) std::memset(src->Scanline(y) + 3 * x, vals[x], 3);
  for (int32_t h : {8, 2}) {
    auto d = Make(6, h, pxBGR24);
    ResampleBitmap(*src, *d, rfFastLinear);
    const std::vector<uint8_t> c = Channel0(*d);
    for (int32_t y = 0; y < h; ++y)
      EXPECT_EQ(std::vector<uint8_t>(c.begin() + y * 6, c.begin() + y * 6 + 6),
                (std::vector<uint8_t>{15, 30, 60, 120, 205, 250}))
          << "height " << h << " row " << y;
  }
}

TEST(ResampleFastLinear, ReductionAveragesInclusiveWindows) {
  // Halving: column i averages source columns 2i .. 2 min(i + 1, 2) inclusive,
  // so the last column takes its left source column alone.
  auto src = Make(6, 1, pxGray8);
  const uint8_t row[6] = {0, 30, 60, 90, 120, 150};
  std::memcpy(src->Scanline(0), row, 6);
  auto d = Make(3, 1, pxGray8);
  ResampleFastLinear8(*src, *d);
  EXPECT_EQ(Pixels(*d), (std::vector<uint8_t>{30, 90, 120}));
  // 28 -> 18: 9 / (18 / 28) is 13.999999999999998 in doubles; the window
  // end is nudged by 1e-10 so column 8 still reaches source column 14.
  auto ramp = Make(28, 1, pxGray8);
  for (int32_t x = 0; x < 28; ++x) ramp->Scanline(0)[x] = static_cast<uint8_t>(x * 9);
  auto r = Make(18, 1, pxGray8);
  ResampleFastLinear8(*ramp, *r);
  EXPECT_EQ(Pixels(*r)[8], (12 + 13 + 14) * 9 / 3);
}

// ------------------------------------------------------------------- 1-bit

namespace {
std::unique_ptr<TPXBitmap> Checker1(int32_t w, int32_t h, bool temp = false) {
  auto b = Make(w, h, pxBW1, temp);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* p = b->Scanline(y);
    std::memset(p, 0, static_cast<size_t>(b->RowLen()));
    for (int32_t x = 0; x < w; ++x) SetBit(p, x, (x + y) % 2 == 0);
  }
  return b;
}
}  // namespace

TEST(ResampleBW1, SameSizeCopiesAndOtherSizesTurnGrey) {
  auto src = Checker1(13, 9);
  for (TResampleFilter f : kAllFilters) {
    auto d = Make(13, 9, pxBGR24);
    ResampleBitmap(*src, *d, f);
    EXPECT_EQ(d->PixelFormat(), pxBW1) << int(f);
    EXPECT_EQ(Pixels(*d), Pixels(*src)) << int(f);
  }
  for (TResampleFilter f : kAllFilters) {
    auto d = Make(20, 5, pxBW1);
    ResampleBitmap(*src, *d, f);
    EXPECT_EQ(d->PixelFormat(), f == rfNone ? pxBW1 : pxBGR24) << int(f);
  }
}

TEST(ResampleBW1, KernelPathMatchesTheExpandedImage) {
  auto src = Checker1(21, 14);
  for (int32_t y = 0; y < 14; ++y) SetBit(src->Scanline(y), (y * 5) % 21, true);
  auto expanded = Make(21, 14, pxBGR24);
  for (int32_t y = 0; y < 14; ++y)
    for (int32_t x = 0; x < 21; ++x)
      std::memset(expanded->Scanline(y) + 3 * x, GetBit(src->Scanline(y), x) ? 255 : 0, 3);
  for (TResampleFilter f : kKernelFilters)
    EXPECT_EQ(Resampled(*src, 33, 9, f), Resampled(*expanded, 33, 9, f)) << int(f);
}

TEST(ResampleBW1, FastLinearShiftsFloorAndShrinkCountsWindows) {
  // Growing: 255 + ((65536 * -255) shr 17) = 255 - 128, the arithmetic shift rounding down.
  auto src = Make(2, 1, pxBW1);
  src->Scanline(0)[0] = 0x80;  // white, black
  auto d = Make(4, 1, pxBGR24);
  ResampleFastLinearBW1(*src, *d);
  EXPECT_EQ(Channel0(*d), (std::vector<uint8_t>{255, 127, 0, 0}));

  // Shrinking an 8 x 8 checkerboard to 4 x 4: windows 0..1 for index 0, then
  // 2k - 1 .. 2k + 1 (three wide), so 2 of 4, 3 of 6, and 4 or 5 of 9 bits are set.
  auto cb = Checker1(8, 8);
  auto g = Make(4, 4, pxBGR24);
  ResampleBitmap(*cb, *g, rfBicubic);  // both axes shrink: the 1-bit area reducer
  const std::vector<uint8_t> c = Channel0(*g);
  EXPECT_EQ(c[0], 255 * 2 / 4);
  EXPECT_EQ(c[1], 255 * 3 / 6);
  EXPECT_EQ(c[4 + 1], 255 * 5 / 9);  // rows 1..3, columns 1..3: five even squares
  EXPECT_EQ(c[4 + 2], 255 * 5 / 9);  // every 3 x 3 window starts on odd indices
  EXPECT_EQ(c[3], 255 * 3 / 6);
  auto direct = Make(4, 4, pxBGR24);
  ShrinkBW1ToGray24(*cb, 0, 0, 7, 7, *direct);
  EXPECT_EQ(Pixels(*direct), Pixels(*g));
  // A sub-rectangle: the top-left quarter, into 2 x 2.
  auto half = Make(2, 2, pxBGR24);
  ShrinkBW1ToGray24(*cb, 0, 0, 3, 3, *half);
  EXPECT_EQ(Channel0(*half)[0], 255 * 2 / 4);
}

TEST(ResampleBW1, TwentyFourBitRoutesReadOneBitAsBlackAndWhite) {
  // The DPI adjustment of loaded images hands 1-bit pictures to the 24-bit
  // routine: they come out as if expanded to black and white first.
  auto src = Checker1(21, 14);
  auto expanded = Make(21, 14, pxBGR24);
  for (int32_t y = 0; y < 14; ++y)
    for (int32_t x = 0; x < 21; ++x)
      std::memset(expanded->Scanline(y) + 3 * x, GetBit(src->Scanline(y), x) ? 255 : 0, 3);
  for (TResampleFilter f : {rfNone, rfLanczos3, rfFastLinear, rfBicubic}) {
    auto a = Make(30, 11, pxBW1);
    Resample24Filtered(*src, *a, f);
    ASSERT_EQ(a->PixelFormat(), pxBGR24) << int(f);
    auto b = Make(30, 11, pxBGR24);
    Resample24Filtered(*expanded, *b, f);
    EXPECT_EQ(Pixels(*a), Pixels(*b)) << int(f);
  }
}

// ------------------------------------------------------------- pixel formats

TEST(ResampleFormats, NearestKeepsTheSourceFormat) {
  for (TPXPixelFormat f : {pxBW1, pxPal8, pxGray8, pxGray16, pxBGR24, px32f, pxCMYK}) {
    auto src = Make(7, 5, f);
    FillRandom(*src, f);
    if (f == pxPal8)
      for (int i = 0; i < 256; ++i) src->SetPaletteEntry(i, TBGR{uint8_t(i), uint8_t(255 - i), uint8_t(i * 3)});
    auto d = Make(17, 3, pxBGR24);  // prepared in another format: it follows the source
    ResampleBitmap(*src, *d, rfNone);
    ASSERT_EQ(d->PixelFormat(), f);
    if (f == pxPal8) {
      EXPECT_EQ(d->GetPaletteEntry(9), src->GetPaletteEntry(9));
    }
    const int bits = BitsOfFormat(f);
    for (int32_t j = 0; j < 3; ++j)
      for (int32_t i = 0; i < 17; ++i) {
        const int32_t sx = int32_t(7.0 / 17 * i), sy = int32_t(5.0 / 3 * j);
        if (bits == 1) {
          ASSERT_EQ(GetBit(d->Scanline(j), i), GetBit(src->Scanline(sy), sx));
        } else {
          const int b = bits / 8;
          ASSERT_EQ(0, std::memcmp(d->Scanline(j) + i * b, src->Scanline(sy) + sx * b, size_t(b))) << int(f);
        }
      }
  }
}

TEST(ResampleFormats, OtherFormatsGoThroughTwentyFourBits) {
  // Each source next to the 24-bit image it stands for.
  auto pal = Make(19, 11, pxPal8);
  FillRandom(*pal, 1);
  for (int i = 0; i < 256; ++i) pal->SetPaletteEntry(i, TBGR{uint8_t(i * 7), uint8_t(i), uint8_t(255 - i)});
  auto g16 = Make(19, 11, pxGray16);
  FillRandom(*g16, 2);
  auto f32 = Make(19, 11, px32f);
  auto cmyk = Make(19, 11, pxCMYK);
  FillRandom(*cmyk, 4);
  std::mt19937 rng(5);
  for (int32_t y = 0; y < 11; ++y)
    for (int32_t x = 0; x < 19; ++x) {
      const float v = static_cast<float>(static_cast<int>(rng() % 1400) - 200) / 1000.0f;  // also below 0 and above 1
      std::memcpy(f32->Scanline(y) + 4 * x, &v, 4);
    }
  for (TPXBitmap* src : {pal.get(), g16.get(), f32.get(), cmyk.get()}) {
    auto ref = Make(19, 11, pxBGR24);
    for (int32_t y = 0; y < 11; ++y)
      for (int32_t x = 0; x < 19; ++x) {
        TBGR c;
        const uint8_t* s = src->Scanline(y);
        switch (src->PixelFormat()) {
          case pxPal8: c = src->GetPaletteEntry(s[x]); break;
          case pxGray16: c = TBGR{s[2 * x + 1], s[2 * x + 1], s[2 * x + 1]}; break;
          case px32f: {
            float v;
            std::memcpy(&v, s + 4 * x, 4);
            const uint8_t b = v <= 0 ? 0 : v >= 1 ? 255 : uint8_t(v * 255);
            c = TBGR{b, b, b};
            break;
          }
          default: {
            TCMYK p;
            std::memcpy(&p, s + 4 * x, 4);
            c = CMYKToRGB(p);
            break;
          }
        }
        std::memcpy(ref->Scanline(y) + 3 * x, &c, 3);
      }
    for (TResampleFilter f : {rfLanczos3, rfFastLinear, rfBicubic}) {
      auto d = Make(30, 7, pxGray8);
      ResampleBitmap(*src, *d, f);
      ASSERT_EQ(d->PixelFormat(), pxBGR24);
      EXPECT_EQ(Pixels(*d), Resampled(*ref, 30, 7, f)) << "format " << int(src->PixelFormat()) << " filter " << int(f);
    }
  }
}

TEST(ResampleFormats, GreyImagesStayGreyAndMatchTheirTriples) {
  auto grey = Make(27, 16, pxGray8);
  FillRandom(*grey, 9);
  auto triples = Grey24(*grey);
  for (TResampleFilter f : kAllFilters)
    for (auto [w, h] : {std::pair{61, 9}, std::pair{11, 40}, std::pair{8, 5}}) {
      auto d = Make(w, h, pxBGR24);
      ResampleBitmap(*grey, *d, f);
      ASSERT_EQ(d->PixelFormat(), pxGray8) << int(f);
      auto t = Make(w, h, pxBGR24);
      ResampleBitmap(*triples, *t, f);
      EXPECT_EQ(Pixels(*d), Channel0(*t)) << "filter " << int(f) << " " << w << "x" << h;
    }
}

// ------------------------------------------------------------------- alpha

TEST(ResampleAlpha, ResampledAlongsideWithGreyUnderTransparentPixels) {
  auto src = Make(16, 10, pxBGR24);
  FillRandom(*src, 11);
  TPXBitmap* a = src->GetAlphaChannel();
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 16; ++x) a->SetAlpha(x, y, x < 6 ? 0 : uint8_t(100 + 10 * y));
  const std::vector<uint8_t> before = Pixels(*src);
  // The reference: the transparent pixels painted grey by hand, no alpha.
  auto painted = Make(16, 10, pxBGR24);
  for (int32_t y = 0; y < 10; ++y) {
    std::memcpy(painted->Scanline(y), src->Scanline(y), 48);
    for (int32_t x = 0; x < 6; ++x) std::memset(painted->Scanline(y) + 3 * x, 128, 3);
  }
  for (TResampleFilter f : kAllFilters) {
    auto d = Make(23, 7, pxBGR24);
    ResampleBitmap(*src, *d, f);
    EXPECT_EQ(Pixels(*d), Resampled(*painted, 23, 7, f)) << int(f);
    ASSERT_TRUE(d->HasAlphaChannel()) << int(f);
    TPXBitmap* da = d->GetAlphaChannel();
    EXPECT_FALSE(da->Full);
    auto expect = Make(23, 7, pxGray8);
    if (f == rfNone) ResampleNearest(*a, *expect);
    else ResampleGray8Filtered(*a, *expect, f);
    EXPECT_EQ(Pixels(*da), Pixels(*expect)) << int(f);
  }
  EXPECT_EQ(Pixels(*src), before);  // the caller's pixels under alpha 0 are kept
}

TEST(ResampleAlpha, EightBitRoutesAndTheFullFlag) {
  auto a = Make(12, 9, pxGray8);
  FillRandom(*a, 12);
  // Filters 9-11 on 8 bits are all the fast linear routine.
  auto fl = Make(20, 4, pxGray8);
  ResampleFastLinear8(*a, *fl);
  for (TResampleFilter f : {rfFastLinear, rfBilinear, rfBicubic}) {
    auto d = Make(20, 4, pxGray8);
    ResampleGray8Filtered(*a, *d, f);
    EXPECT_EQ(Pixels(*d), Pixels(*fl)) << int(f);
  }
  // An opaque alpha channel stays marked opaque.
  auto src = Make(12, 9, pxBGR24);
  FillRandom(*src, 13);
  ASSERT_TRUE(src->GetAlphaChannel()->Full);
  for (TResampleFilter f : {rfNone, rfLanczos3, rfBicubic}) {
    auto d = Make(30, 20, pxBGR24);
    ResampleBitmap(*src, *d, f);
    EXPECT_TRUE(d->GetAlphaChannel()->Full) << int(f);
    for (uint8_t v : Pixels(*d->GetAlphaChannel())) ASSERT_EQ(v, 255);
  }
}

// --------------------------------------------------------- degenerate sizes

TEST(ResampleEdges, ZeroSizesAreLeftAlone) {
  auto empty = Make(0, 0, pxBGR24);
  auto flat = Make(5, 0, pxBGR24);
  auto src = Make(4, 4, pxBGR24);
  FillBytes(*src, 9);
  auto dst = Make(3, 3, pxGray8);
  FillBytes(*dst, 77);
  for (TResampleFilter f : kAllFilters) {
    ResampleBitmap(*empty, *dst, f);
    ResampleBitmap(*flat, *dst, f);
    EXPECT_EQ(dst->PixelFormat(), pxGray8);
    EXPECT_EQ(Pixels(*dst), std::vector<uint8_t>(9, 77));
    ResampleBitmap(*src, *empty, f);
    ResampleBitmap(*src, *flat, f);
    EXPECT_EQ(empty->Width(), 0);
    EXPECT_EQ(flat->Height(), 0);
    ResampleBitmap(*src, *src, f);
  }
  TPXBitmap none;  // pxNone
  ResampleBitmap(none, *dst, rfLanczos3);
  ShrinkBW1ToGray24(*Checker1(4, 4), 3, 3, 1, 1, *dst);  // an inverted rectangle
  EXPECT_EQ(Pixels(*dst), std::vector<uint8_t>(9, 77));
}

TEST(ResampleEdges, OnePixelSourcesFillTheDestination) {
  auto one = Make(1, 1, pxBGR24);
  std::memcpy(one->Scanline(0), "\x01\x02\x03", 3);
  auto oneGrey = Make(1, 1, pxGray8);
  oneGrey->Scanline(0)[0] = 99;
  for (TResampleFilter f : kAllFilters) {
    const std::vector<uint8_t> px = Resampled(*one, 6, 4, f);
    for (size_t i = 0; i < px.size(); i += 3) ASSERT_EQ(0, std::memcmp(&px[i], "\x01\x02\x03", 3)) << int(f);
    auto g = Make(3, 5, pxGray8);
    ResampleBitmap(*oneGrey, *g, f);
    EXPECT_EQ(Pixels(*g), std::vector<uint8_t>(15, 99)) << int(f);
  }
}

// ------------------------------------------------------------- progress

TEST(ResampleProgress, FormulasPerRoutine) {
  auto src = Make(20, 10, pxBGR24);
  FillRandom(*src, 21);
  std::vector<int32_t> seen;
  const TPXProgressRec rec{[&](TObject*, int p) { seen.push_back(p); }};

  auto d = Make(8, 4, pxBGR24);
  ResampleNearest(*src, *d, rec);  // Trunc(100 / 4.5 * j) after row j
  EXPECT_EQ(seen, (std::vector<int32_t>{0, 22, 44, 66}));

  auto check = [&](TResampleFilter f, int32_t last) {
    seen.clear();
    ResampleBitmap(*src, *d, f, rec);
    ASSERT_FALSE(seen.empty()) << int(f);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << int(f);
    EXPECT_EQ(seen.back(), last) << int(f);
  };
  check(rfLanczos3, int32_t((10 + 8) * (100 / (10 + 8 + 0.5))));  // 100 / (srcH + dstW + 0.5)
  check(rfFastLinear, int32_t(100 / (10 + 4 + 0.5) * (10 + 3)));  // scale * (srcH + last row)
  check(rfBicubic, 100);                                          // rows written / dstH
  EXPECT_EQ(seen, (std::vector<int32_t>{25, 50, 75, 100}));

  // The 8-bit and 1-bit routines report nothing.
  seen.clear();
  auto bw = Checker1(20, 10);
  ResampleBitmap(*bw, *d, rfLanczos3, rec);
  EXPECT_TRUE(seen.empty());
}

// ----------------------------------------------------------- storage

TEST(ResampleStorage, TempFileSourcesAndDestinationsGiveTheSameImage) {
  auto mem = Make(45, 38, pxBGR24);
  FillRandom(*mem, 31);
  TPXBitmap* ma = mem->GetAlphaChannel();
  for (int32_t y = 0; y < 38; ++y)
    for (int32_t x = 0; x < 45; ++x) ma->SetAlpha(x, y, uint8_t((x * 7 + y) % 5 == 0 ? 0 : 200 + x));
  auto file = Make(45, 38, pxBGR24, true);
  TPXBitmap* fa = file->GetAlphaChannel();
  ASSERT_EQ(fa->Location(), pxTempFile);
  for (int32_t y = 0; y < 38; ++y) {
    std::memcpy(file->Scanline(y), mem->Scanline(y), 45 * 3);
    std::memcpy(fa->Scanline(y), ma->Scanline(y), 45);
  }
  fa->Full = false;
  for (TResampleFilter f : kAllFilters)
    for (auto [w, h] : {std::pair{97, 61}, std::pair{13, 9}}) {
      auto d1 = Make(w, h, pxBGR24);
      ResampleBitmap(*mem, *d1, f);
      auto d2 = Make(w, h, pxBGR24, true);
      ResampleBitmap(*file, *d2, f);
      EXPECT_EQ(d2->Location(), pxTempFile);
      EXPECT_EQ(Pixels(*d2), Pixels(*d1)) << int(f);
      EXPECT_EQ(Pixels(*d2->GetAlphaChannel()), Pixels(*d1->GetAlphaChannel())) << int(f);
    }
  // Rows held by platform bitmaps.
  auto plat = std::make_unique<TPXBitmap>();
  plat->SetLocation(pxTBitmap);
  ASSERT_TRUE(plat->Allocate(45, 38, pxBGR24));
  ASSERT_EQ(plat->Location(), pxTBitmap);
  for (int32_t y = 0; y < 38; ++y) std::memcpy(plat->Scanline(y), mem->Scanline(y), 45 * 3);
  auto opaque = Make(45, 38, pxBGR24);
  for (int32_t y = 0; y < 38; ++y) std::memcpy(opaque->Scanline(y), mem->Scanline(y), 45 * 3);
  for (TResampleFilter f : {rfNone, rfLanczos3, rfFastLinear, rfBicubic}) {
    TPXBitmap d;
    d.SetLocation(pxTBitmap);
    ASSERT_TRUE(d.Allocate(61, 17, pxBGR24));
    ResampleBitmap(*plat, d, f);
    EXPECT_EQ(d.Location(), pxTBitmap);
    EXPECT_EQ(Pixels(d), Resampled(*opaque, 61, 17, f)) << int(f);
  }
  // 1-bit sources in a temporary file.
  auto bwMem = Checker1(30, 20), bwFile = Checker1(30, 20, true);
  for (TResampleFilter f : kAllFilters) {
    auto d1 = Make(44, 13, pxBGR24);
    auto d2 = Make(44, 13, pxBGR24, true);
    ResampleBitmap(*bwMem, *d1, f);
    ResampleBitmap(*bwFile, *d2, f);
    EXPECT_EQ(Pixels(*d2), Pixels(*d1)) << int(f);
  }
}
