#include "app/ProEffectImage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "core/pxpool.h"

namespace tolvaren {

using pixoran::pf24bit;
using pixoran::PXParallelRows;

int32_t ClampToByte(int32_t v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

namespace {

// Every row pointer, fetched here so that bands of rows never ask the
// platform bitmap for one themselves.
std::vector<uint8_t*> RowsOf(TBitmap& bitmap) {
  std::vector<uint8_t*> rows(static_cast<size_t>(std::max(bitmap.Height(), 0)));
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = bitmap.ScanLine(static_cast<int32_t>(y));
  return rows;
}
std::vector<const uint8_t*> RowsOf(const TBitmap& bitmap) {
  std::vector<const uint8_t*> rows(static_cast<size_t>(std::max(bitmap.Height(), 0)));
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = bitmap.ScanLine(static_cast<int32_t>(y));
  return rows;
}

// One byte table per amount: the formulas depend only on the channel value,
// so every pixel is a lookup (the results are those of the formulas).
template <typename Fn>
void MapChannels(TBitmap& bitmap, Fn&& channel) {
  uint8_t table[256];
  for (int32_t c = 0; c < 256; ++c) table[c] = static_cast<uint8_t>(ClampToByte(channel(c)));
  const int64_t rowBytes = int64_t{bitmap.Width()} * 3;
  const std::vector<uint8_t*> rows = RowsOf(bitmap);
  // The band copies what it reads per byte: the row writes could otherwise
  // be taken to change the table or the length, and both would be read
  // again at every byte.
  PXParallelRows(bitmap.Height(), bitmap.Width(), [&rows, &table, rowBytes](int32_t first, int32_t last) {
    uint8_t t[256];
    std::memcpy(t, table, sizeof t);
    const int64_t n = rowBytes;
    for (int32_t y = first; y < last; ++y) {
      uint8_t* p = rows[static_cast<size_t>(y)];
      for (int64_t i = 0; i < n; ++i) p[i] = t[p[i]];
    }
  });
}

}  // namespace

void BitmapLighten(TBitmap& bitmap, int32_t amount) {
  if (bitmap.Empty()) return;
  MapChannels(bitmap, [amount](int32_t c) { return c + amount * (255 - c) / 255; });
}

void BitmapDarken(TBitmap& bitmap, int32_t amount) {
  if (bitmap.Empty()) return;
  bitmap.SetPixelFormat(pf24bit);
  MapChannels(bitmap, [amount](int32_t c) { return c - amount * c / 255; });
}

void BitmapMosaic(TBitmap& bitmap, int32_t n) {
  if (n <= 1 || bitmap.Empty()) return;
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  const size_t rowBytes = static_cast<size_t>(w) * 3;
  const std::vector<uint8_t*> rows = RowsOf(bitmap);
  // Bands of whole block rows: no block reads a row another band writes.
  const auto blockRows = static_cast<int32_t>((int64_t{h} + n - 1) / n);
  // Sizes by value (see MapChannels).
  PXParallelRows(blockRows, int64_t{w} * n, [&rows, w, h, n, rowBytes](int32_t firstBlock, int32_t lastBlock) {
    for (int64_t by = int64_t{firstBlock} * n; by < h && by < int64_t{lastBlock} * n; by += n) {
      // The block row's first row: each block takes its own first pixel.
      uint8_t* first = rows[static_cast<size_t>(by)];
      for (int32_t bx = 0; bx < w; bx += n) {
        uint8_t* p = first + static_cast<size_t>(bx) * 3;
        const uint8_t b = p[0], g = p[1], r = p[2];
        const int32_t end = std::min(w, bx + n);
        for (int32_t x = bx; x < end; ++x, p += 3) p[0] = b, p[1] = g, p[2] = r;
      }
      // The other rows of the blocks are that row.
      const int64_t last = std::min<int64_t>(h, by + n);
      for (int64_t y = by + 1; y < last; ++y) std::memcpy(rows[static_cast<size_t>(y)], first, rowBytes);
    }
  });
}

namespace {

// One destination row of the reduction at source position sy.
void SmoothRow(const std::vector<const uint8_t*>& from, uint8_t* out, uint64_t sy, int64_t hs, int64_t wd,
               uint64_t xstep, bool oneColumn) {
  const int32_t r0 = static_cast<int32_t>(sy >> 15);
  const int32_t r1 = hs == 1 ? r0 : std::min<int32_t>(r0 + 1, static_cast<int32_t>(hs - 1));
  const uint32_t fy = static_cast<uint32_t>(sy & 32767);
  const uint8_t* row0 = from[static_cast<size_t>(r0)];
  const uint8_t* row1 = from[static_cast<size_t>(r1)];
  uint64_t sx = 0;
  for (int64_t x = 0; x < wd; ++x, sx += xstep, out += 3) {
    const size_t c0 = static_cast<size_t>(sx >> 15) * 3;
    // A one-column source has no right neighbour: the column itself.
    const size_t c1 = oneColumn ? c0 : c0 + 3;
    const uint32_t fx = static_cast<uint32_t>(sx & 32767);
    const uint32_t w10 = (fx * (32768 - fy)) >> 15;
    const uint32_t w00 = 32768 - fy - w10;
    const uint32_t w11 = (fx * fy) >> 15;
    const uint32_t w01 = fy - w11;
    for (int k = 0; k < 3; ++k) {
      const uint32_t v = (row0[c0 + k] * w00 + row0[c1 + k] * w10 + row1[c0 + k] * w01 + row1[c1 + k] * w11) >> 15;
      out[k] = static_cast<uint8_t>(std::min<uint32_t>(v, 255));
    }
  }
}

}  // namespace

void BitmapSmoothResize(const TBitmap& source, TBitmap& dest) {
  const int64_t ws = source.Width(), hs = source.Height(), wd = dest.Width(), hd = dest.Height();
  if (source.Empty() || dest.Empty()) return;
  // 64-bit steps and positions: (ws - 1) << 15 leaves 32 bits past 65536 columns.
  const uint64_t xstep = static_cast<uint64_t>((ws - 1) << 15) / static_cast<uint64_t>(wd);
  const uint64_t ystep = static_cast<uint64_t>((hs - 1) << 15) / static_cast<uint64_t>(hd);
  const bool oneColumn = ws == 1;
  const std::vector<const uint8_t*> from = RowsOf(source);
  const std::vector<uint8_t*> to = RowsOf(dest);
  PXParallelRows(static_cast<int32_t>(hd), wd, [&](int32_t first, int32_t last) {
    // The running position of row y is y * ystep, so a band starts there.
    uint64_t sy = ystep * static_cast<uint64_t>(first);
    for (int32_t y = first; y < last; ++y, sy += ystep)
      SmoothRow(from, to[static_cast<size_t>(y)], sy, hs, wd, xstep, oneColumn);
  });
}

void BitmapTile(const TBitmap& source, TBitmap& dest, int32_t n) {
  dest.Assign(source);
  dest.SetPixelFormat(pf24bit);
  const int32_t w = dest.Width(), h = dest.Height();
  if (n <= 0 || w / n < 5 || h / n < 5) return;
  const int32_t tw = w / n, th = h / n;
  TBitmap tile;
  tile.SetPixelFormat(pf24bit);
  tile.SetSize(tw, th);
  BitmapSmoothResize(dest, tile);  // dest is still the plain copy of source
  const size_t tileBytes = static_cast<size_t>(tw) * 3;
  const std::vector<const uint8_t*> from = RowsOf(std::as_const(tile));
  const std::vector<uint8_t*> to = RowsOf(dest);
  // Tile row ty lands on destination rows row * th + ty: distinct per ty.
  PXParallelRows(th, int64_t{w} * n, [&](int32_t first, int32_t last) {
    for (int32_t ty = first; ty < last; ++ty) {
      const uint8_t* src = from[static_cast<size_t>(ty)];
      for (int32_t row = 0; row < n; ++row) {
        uint8_t* out = to[static_cast<size_t>(row * th + ty)];
        for (int32_t col = 0; col < n; ++col) std::memcpy(out + static_cast<size_t>(col) * tileBytes, src, tileBytes);
      }
    }
  });
}

namespace {
constexpr float kHalfPi = 1.5707964f;
constexpr float kPi = 3.1415927f;
}  // namespace

float PolarAngle(float y, float x) {
  if (x == 0.0f) return y > 0.0f ? kHalfPi : -kHalfPi;
  float a = std::atan(y / x);
  if (x < 0.0f) a += kPi;
  return a;
}

void BitmapTwist(const TBitmap& source, TBitmap& dest, int32_t amount) {
  if (amount <= 0 || source.Empty() || dest.Width() != source.Width() || dest.Height() != source.Height()) return;
  const int32_t w = source.Width(), h = source.Height();
  const float cx = static_cast<float>(w - 1) / 2.0f, cy = static_cast<float>(h - 1) / 2.0f;
  const float k = static_cast<float>(amount);
  const std::vector<const uint8_t*> rows = RowsOf(source);

  // Base index and the two weights of one axis, with the wrap-around.
  auto axis = [](float s, int32_t size, int32_t& base, int32_t& next, float& w0, float& w1) {
    int32_t i = static_cast<int32_t>(s);  // toward zero
    if (s >= 0.0f) {
      w1 = s - static_cast<float>(i);
      w0 = 1.0f - w1;
    } else {
      w0 = static_cast<float>(i) - s;
      w1 = 1.0f - w0;
    }
    if (i < 0) i = size - ((-i) % size) - 1;
    else if (i > size - 1) i = i % size;
    base = i;
    next = i + 1 >= size ? size - i - 1 : i + 1;
  };

  const std::vector<uint8_t*> outRows = RowsOf(dest);
  // Bands of rows, each in strips of columns, row by row: near the quarter
  // turn a row of the destination reads down a column of the source, so a
  // narrow strip keeps the source rows it reads in the cache from one row
  // to the next. Every pixel is computed alone, so the order changes no
  // result.
  constexpr int32_t kStrip = 256;
  PXParallelRows(h, w, [&](int32_t firstRow, int32_t lastRow) {
    for (int32_t x0 = 0; x0 < w; x0 += kStrip) {
      const int32_t x1 = std::min(w, x0 + kStrip);
      for (int32_t y = firstRow; y < lastRow; ++y) {
        uint8_t* out = outRows[static_cast<size_t>(y)] + static_cast<size_t>(x0) * 3;
        const float dy = static_cast<float>(y) - cy;
        for (int32_t x = x0; x < x1; ++x, out += 3) {
          const float dx = static_cast<float>(x) - cx;
          const float r = std::sqrt(dx * dx + dy * dy);
          float sx = cx, sy = cy;
          if (r != 0.0f) {
            const float phi = PolarAngle(dy, dx) - r / k + kHalfPi;
            sx = cx + r * std::cos(phi);
            sy = cy + r * std::sin(phi);
          }
          int32_t ix0, ix1, iy0, iy1;
          float wx[2], wy[2];
          axis(sx, w, ix0, ix1, wx[0], wx[1]);
          axis(sy, h, iy0, iy1, wy[0], wy[1]);
          const size_t cols[2] = {static_cast<size_t>(ix0) * 3, static_cast<size_t>(ix1) * 3};
          const uint8_t* rowp[2] = {rows[static_cast<size_t>(iy0)], rows[static_cast<size_t>(iy1)]};
          float sum[3] = {0.0f, 0.0f, 0.0f};
          for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) {
              const uint8_t* p = rowp[j] + cols[i];
              for (int c = 0; c < 3; ++c) sum[c] += static_cast<float>(p[c]) * wx[i] * wy[j];
            }
          for (int c = 0; c < 3; ++c)
            out[c] = static_cast<uint8_t>(ClampToByte(static_cast<int32_t>(std::nearbyint(sum[c]))));
        }
      }
    }
  });
}

}  // namespace tolvaren
