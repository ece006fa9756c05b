// The two distortions of the processing component that move pixels by a
// formula per pixel: the spherical lens and the concentric wave. Both read
// from a snapshot of the pixels they change and work in bands of rows (or
// columns) on the pool; every pixel's formula is the same at any thread
// count, so the bytes are too.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/pxpool.h"
#include "proc/pxfilters.h"

namespace pixoran {

// ------------------------------------------------------------ lens

namespace {

// Where a ray through the lens surface at offset t from the centre, under
// a surface height z, meets the image for the refraction index n.
double Refract(double t, double z, double n) {
  const double theta = std::numbers::pi / 2 - std::acos(t / std::sqrt(t * t + z * z));
  return t - z * std::tan(theta - std::asin(std::sin(theta) / n));
}

}  // namespace

void LensRect(TPXBitmap& bitmap, int32_t x, int32_t y, int32_t width, int32_t height, double refraction,
              const TPXProgressRec& progress) {
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  if (bitmap.PixelFormat() != pxBGR24 || w < 2 || h < 2) return;
  const auto bx1 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{x} - width / 2, 0, w));
  const auto bx2 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{x} + width / 2, 0, w));
  const auto by1 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{y} - height / 2, 0, h));
  const auto by2 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{y} + height / 2, 0, h));
  const int32_t bw = bx2 - bx1, bh = by2 - by1;
  if (bw <= 0 || bh <= 0) return;
  const double hx = bw / 2.0, hy = bh / 2.0, n = refraction >= 1 ? refraction : 1.0;  // NaN too
  const int64_t stride = int64_t{bw} * 3;
  std::vector<uint8_t*> rows = PXRowPointers(bitmap);
  // Rows in memory take the moved pixels straight; a temporary file's rows
  // go through a second copy of the box, written back at the end.
  const bool direct = !rows.empty();
  std::vector<uint8_t> src(static_cast<size_t>(stride * bh));
  for (int32_t r = 0; r < bh; ++r)
    if (const uint8_t* row = direct ? rows[static_cast<size_t>(by1 + r)] : bitmap.Scanline(by1 + r))
      std::memcpy(&src[r * stride], row + 3 * int64_t{bx1}, stride);
  std::vector<uint8_t> out;
  if (!direct) out = src;
  // The ellipse's two terms, each the same double for a whole column or row.
  std::vector<double> us(static_cast<size_t>(bw)), uu(static_cast<size_t>(bw)), vs(static_cast<size_t>(bh)),
      vv(static_cast<size_t>(bh));
  for (int32_t c = 0; c < bw; ++c) {
    const double u = c - hx + 0.5;
    us[static_cast<size_t>(c)] = u;
    uu[static_cast<size_t>(c)] = u * u / (hx * hx);
  }
  for (int32_t r = 0; r < bh; ++r) {
    const double v = hy - r - 0.5;
    vs[static_cast<size_t>(r)] = v;
    vv[static_cast<size_t>(r)] = v * v / (hy * hy);
  }
  const double zr = std::min(hx, hy);
  // Columns c and bw - 1 - c have opposite offsets u (exactly: both are
  // sums of halves), rows r and bh - 1 - r opposite v, so the four pixels
  // share z, and each refraction of an offset serves two of them. A band
  // works pairs of columns, progress counts the columns done.
  const int32_t colPairs = (bw + 1) / 2, rowPairs = (bh + 1) / 2;
  PXParallelRows(
      colPairs, int64_t{bh} * 2,
      [&](int32_t p1, int32_t p2) {
        for (int32_t r = 0; r < rowPairs; ++r) {
          const int32_t rm = bh - 1 - r;
          const double ev = vv[static_cast<size_t>(r)];
          uint8_t* drow = direct ? rows[static_cast<size_t>(by1 + r)] + 3 * int64_t{bx1} : &out[r * stride];
          uint8_t* mrow = direct ? rows[static_cast<size_t>(by1 + rm)] + 3 * int64_t{bx1} : &out[rm * stride];
          for (int32_t c = p1; c < p2; ++c) {
            const double e = uu[static_cast<size_t>(c)] + ev;
            if (!(e < 1)) continue;
            const int32_t cm = bw - 1 - c;
            const double z = zr * std::sqrt(1 - e);
            const int32_t sc = std::clamp(TruncToInt32(hx + Refract(us[static_cast<size_t>(c)], z, n)), 0, bw - 1);
            const int32_t sr = std::clamp(TruncToInt32(hy - Refract(vs[static_cast<size_t>(r)], z, n)), 0, bh - 1);
            std::memcpy(drow + 3 * int64_t{c}, &src[sr * stride + 3 * int64_t{sc}], 3);
            int32_t scm = sc, srm = sr;
            if (cm != c) {
              scm = std::clamp(TruncToInt32(hx + Refract(us[static_cast<size_t>(cm)], z, n)), 0, bw - 1);
              std::memcpy(drow + 3 * int64_t{cm}, &src[sr * stride + 3 * int64_t{scm}], 3);
            }
            if (rm == r) continue;
            srm = std::clamp(TruncToInt32(hy - Refract(vs[static_cast<size_t>(rm)], z, n)), 0, bh - 1);
            std::memcpy(mrow + 3 * int64_t{c}, &src[srm * stride + 3 * int64_t{sc}], 3);
            if (cm != c) std::memcpy(mrow + 3 * int64_t{cm}, &src[srm * stride + 3 * int64_t{scm}], 3);
          }
        }
      },
      !direct,
      [&](int32_t p1, int32_t p2) {
        for (int32_t c = std::min(2 * p1, bw) + 1; c <= std::min(2 * p2, bw); ++c)
          progress.Report(TruncToInt32(c * 100.0 / bw));
        return true;
      });
  if (direct) return;
  for (int32_t r = 0; r < bh; ++r)
    if (uint8_t* row = bitmap.Scanline(by1 + r)) std::memcpy(row + 3 * int64_t{bx1}, &out[r * stride], stride);
}

// ------------------------------------------------------------ wave

void WaveRect(TPXBitmap& bitmap, int32_t amplitude, int32_t waveLength, bool mode, int32_t phase,
              const TPXProgressRec& progress, TPXBitmap* unchanged) {
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  // Below 2 pixels the sampling corners (0..w-2) would leave the row.
  if (bitmap.PixelFormat() != pxBGR24 || amplitude == 0 || waveLength == 0 || w < 2 || h < 2) return;
  std::vector<uint8_t*> rows = PXRowPointers(bitmap);
  const bool direct = !rows.empty();
  // The wave's coordinates count rows from the bottom: source row r is
  // image row h - 1 - r. An unchanged twin in memory is read as it is;
  // otherwise the rows are copied first.
  const int64_t stride = int64_t{w} * 3;
  std::vector<uint8_t*> twin;
  if (unchanged && unchanged->PixelFormat() == pxBGR24 && unchanged->Width() == w && unchanged->Height() == h)
    twin = PXRowPointers(*unchanged);
  std::vector<uint8_t> src;
  if (twin.empty()) {
    src.resize(static_cast<size_t>(stride * h));
    PXParallelRows(
        h, w,
        [&](int32_t r1, int32_t r2) {
          for (int32_t r = r1; r < r2; ++r)
            if (const uint8_t* row = direct ? rows[static_cast<size_t>(h - 1 - r)] : bitmap.Scanline(h - 1 - r))
              std::memcpy(&src[r * stride], row, stride);
        },
        !direct);
  }
  auto sourceRow = [&](int32_t r) -> const uint8_t* {
    return twin.empty() ? &src[r * stride] : twin[static_cast<size_t>(h - 1 - r)];
  };
  const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
  const double kx = w < h ? static_cast<double>(h) / w : 1.0, ky = w > h ? static_cast<double>(w) / h : 1.0;
  const double phi = phase * std::numbers::pi / 180, length = 2.0 * waveLength;
  // Integer corner (clamped) and the unclamped coordinate's fraction.
  auto corner = [](double v, int32_t last, double& fraction) {
    fraction = v - std::trunc(v);
    if (!std::isfinite(fraction)) fraction = 0;
    if (fraction < 0) fraction += 1;
    return std::clamp(TruncToInt32(v), 0, last);
  };
  // Column x and w - 1 - x lie at the same distance from the centre (x - cx
  // is exact and only changes sign), as do rows yb and h - 1 - yb: the sine
  // of one quarter serves all four. A band works pairs of rows.
  const int32_t half = (w + 1) / 2, pairs = (h + 1) / 2;
  auto rowOut = [&](int32_t yb, const double* sines, uint8_t* out) {
    const double dy = (yb - cy) * ky;
    for (int32_t x = 0; x < w; ++x) {
      const double dx = (x - cx) * kx;
      const double s = sines[x < half ? x : w - 1 - x];
      double sx, sy;
      if (mode) {
        const double q = std::fabs(s) * amplitude;
        sx = cx + dx * q / kx;
        sy = cy + dy * q / ky;
      } else {
        const double p = s * amplitude;
        sx = (p + dx) / kx + cx;
        sy = (p + dy) / ky + cy;
      }
      double fx, fy;
      const int32_t ix = corner(sx, w - 2, fx), iy = corner(sy, h - 2, fy);
      const uint8_t* p0 = sourceRow(iy) + 3 * int64_t{ix};
      const uint8_t* p1 = sourceRow(iy + 1) + 3 * int64_t{ix};
      for (int c = 0; c < 3; ++c) {
        const double v = (p0[c] * (1 - fx) + p0[c + 3] * fx) * (1 - fy) + (p1[c] * (1 - fx) + p1[c + 3] * fx) * fy;
        out[static_cast<size_t>(3 * int64_t{x} + c)] = static_cast<uint8_t>(std::clamp(TruncToInt32(v), 0, 255));
      }
    }
  };
  PXParallelRows(
      pairs, int64_t{w} * 2,
      [&](int32_t p1, int32_t p2) {
        std::vector<double> sines(static_cast<size_t>(half));
        std::vector<uint8_t> line(direct ? 0 : static_cast<size_t>(stride));
        for (int32_t yb = p1; yb < p2; ++yb) {
          const double dy = (yb - cy) * ky;
          for (int32_t x = 0; x < half; ++x) {
            const double dx = (x - cx) * kx;
            sines[static_cast<size_t>(x)] =
                std::sin(std::sqrt(dx * dx + dy * dy) / length * 2 * std::numbers::pi + phi);
          }
          for (const int32_t r : {yb, h - 1 - yb}) {
            if (direct) {
              rowOut(r, sines.data(), rows[static_cast<size_t>(h - 1 - r)]);
            } else {
              rowOut(r, sines.data(), line.data());
              if (uint8_t* row = bitmap.Scanline(h - 1 - r)) std::memcpy(row, line.data(), line.size());
            }
            if (r == h - 1 - r) break;
          }
        }
      },
      !direct,
      [&](int32_t p1, int32_t p2) {
        // The rows done so far, as one count: the same values in the same
        // order as row by row.
        for (int32_t c = std::min(2 * p1, h) + 1; c <= std::min(2 * p2, h); ++c)
          progress.Report(TruncToInt32(c * 100.0 / h));
        return true;
      });
}

}  // namespace pixoran
