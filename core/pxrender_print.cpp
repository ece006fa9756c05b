// Drawing for print: the whole bitmap into a canvas rectangle, resampled and
// gamma-corrected when asked, in bands that keep every temporary below the
// memory threshold; otherwise as one packed DIB.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/pxdib.h"
#include "core/pxrender.h"
#include "core/pxrender_internal.h"
#include "core/pxresample.h"

namespace pixoran {

using render_detail::MakeBGR24Copy;
using render_detail::NewWorkBitmap;
using render_detail::TAccessScope;

void DrawPackedDIB(TCanvas& canvas, const uint8_t* dib, int64_t dibSize, const TRect& dest, const TRect& source) {
  TPXBitmapInfoHeader h;
  if (!dib || !ReadBitmapInfoHeader(dib, dibSize, h)) return;
  const int32_t bits = h.biBitCount;
  if (h.biSize < kBitmapInfoHeaderSize || h.biCompression != kBiRGB || h.biWidth <= 0 || h.biHeight == 0 ||
      h.biHeight == INT32_MIN)
    return;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return;
  if (dest.Width() <= 0 || dest.Height() <= 0) return;
  const int64_t w = h.biWidth, rows = std::abs(static_cast<int64_t>(h.biHeight));
  const bool bottomUp = h.biHeight > 0;
  const int64_t entries = bits <= 8 ? int64_t{1} << bits : 0;
  const int64_t offset = static_cast<int64_t>(h.biSize) + 4 * entries;
  const int64_t stride = (w * bits + 31) / 32 * 4;
  if (offset > dibSize || stride * rows > dibSize - offset) return;  // shorter than it claims
  const int64_t l = std::max<int64_t>(source.Left, 0), t = std::max<int64_t>(source.Top, 0);
  const int64_t r = std::min<int64_t>(source.Right, w), b = std::min<int64_t>(source.Bottom, rows);
  if (r <= l || b <= t) return;

  const uint8_t* pal = dib + h.biSize;
  const uint8_t* pixels = dib + offset;
  TBitmap band;
  band.SetPixelFormat(pf24bit);
  band.SetSize(static_cast<int>(r - l), static_cast<int>(b - t));
  if (band.Empty()) return;
  for (int64_t y = t; y < b; ++y) {
    const uint8_t* s = pixels + (bottomUp ? rows - 1 - y : y) * stride;
    uint8_t* d = band.ScanLine(static_cast<int>(y - t));
    for (int64_t x = l; x < r; ++x, d += 3) {
      int64_t index;
      switch (bits) {
        case 24: std::memcpy(d, s + 3 * x, 3); continue;
        case 32: std::memcpy(d, s + 4 * x, 3); continue;
        case 1: index = (s[x >> 3] >> (7 - (x & 7))) & 1; break;
        case 4: index = (x & 1) ? s[x >> 1] & 15 : s[x >> 1] >> 4; break;
        default: index = s[x]; break;
      }
      std::memcpy(d, pal + 4 * index, 3);  // blue, green, red, reserved
    }
  }
  // Nearest pixel, as a colour-on-colour stretch.
  canvas.StretchDraw(dest, band);
}

void DrawPackedDIB(TCanvas& canvas, const TPXPackedDIB& dib, const TRect& dest, const TRect& source) {
  DrawPackedDIB(canvas, dib.Data(), dib.Size(), dest, source);
}

void DrawBitmapBand(TCanvas& canvas, int32_t x, int32_t y, int32_t bandHeight, int32_t width, int32_t sourceRow,
                    TPXBitmap& bitmap) {
  const TPXPixelFormat fmt = bitmap.PixelFormat();
  if (fmt == pxNone || sourceRow < 0 || sourceRow >= bitmap.Height()) return;
  const int32_t rows = std::min(bandHeight, bitmap.Height() - sourceRow);
  const int32_t w = std::min(width, bitmap.Width());
  if (rows <= 0 || w <= 0) return;
  TBitmap band;
  if (fmt == pxBW1 || fmt == pxBGR24) {
    band.SetPixelFormat(fmt == pxBW1 ? pf1bit : pf24bit);  // 1-bit: black, white
    band.SetSize(w, rows);
    if (band.Empty()) return;
    TAccessScope readOnly(bitmap, pxaRead);
    for (int32_t i = 0; i < rows; ++i) {
      const uint8_t* s = bitmap.Scanline(sourceRow + i);
      if (!s) return;
      if (fmt == pxBW1) CopyBitRun(s, 0, band.ScanLine(i), 0, w);
      else std::memcpy(band.ScanLine(i), s, 3 * static_cast<size_t>(w));
    }
  } else {
    band.SetPixelFormat(pf24bit);
    band.SetSize(w, rows);
    if (band.Empty()) return;
    RenderToTBitmap(bitmap, band, TPXRenderRect{0, sourceRow, w, rows, 0, 0, w, rows});
  }
  canvas.Draw(x, y, band);
}

namespace {

void GammaTable(double gamma, uint8_t (&table)[256]) {
  for (int i = 0; i < 256; ++i) {
    const int64_t v = RoundHalfEven(std::pow(i / 255.0, 1.0 / gamma) * 255.0);
    table[i] = static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255));
  }
}

// The whole of src (1- or 24-bit) resampled to width x height at (x, y),
// the gamma applied, sent in bands.
void DrawResampled(TPXBitmap& src, TCanvas& canvas, int32_t x, int32_t y, int32_t width, int32_t height, bool useGamma,
                   double gamma, TResampleFilter filter, int64_t memoryThreshold) {
  auto scaled = NewWorkBitmap(src);
  scaled->MemoryThreshold = memoryThreshold;
  if (filter == rfNone) {
    if (!scaled->Allocate(width, height, src.PixelFormat())) return;
    ResampleNearest(src, *scaled);
  } else {
    if (!scaled->Allocate(width, height, pxBGR24)) return;
    if (src.PixelFormat() == pxBW1) ResampleBW1Filtered(src, *scaled, filter);
    else Resample24Filtered(src, *scaled, filter);
  }
  if (scaled->PixelFormat() == pxBGR24 && useGamma) {
    uint8_t table[256];
    GammaTable(gamma, table);
    TAccessScope readWrite(*scaled, pxaRead | pxaWrite);
    const size_t bytes = 3 * static_cast<size_t>(scaled->Width());
    for (int32_t r = 0; r < scaled->Height(); ++r) {
      uint8_t* row = scaled->Scanline(r);
      if (!row) break;
      for (size_t i = 0; i < bytes; ++i) row[i] = table[row[i]];
    }
  }
  // At least one row per band, however low the threshold.
  const int64_t rowBytes = std::max<int64_t>(CalcRowLen(width, 24), 1);
  const int64_t perBand = std::clamp<int64_t>(memoryThreshold / rowBytes, 1, scaled->Height());
  for (int64_t first = 0; first < scaled->Height(); first += perBand) {
    const auto rows = static_cast<int32_t>(std::min<int64_t>(perBand, scaled->Height() - first));
    DrawBitmapBand(canvas, x, static_cast<int32_t>(y + first), rows, scaled->Width(), static_cast<int32_t>(first),
                   *scaled);
  }
}

// Source pixels a resampling kernel may reach beyond the ones it maps to.
constexpr int64_t kKernelMargin = 3;

// The visible part (vl, vt)-(vr, vb) of the whole of part (the source
// pixels from (sl, st) on) stretched to the srcW x srcH source's target
// (x, y, width, height), nearest pixel, gamma applied; in bands.
void DrawNearestPart(TPXBitmap& part, int64_t sl, int64_t st, int64_t srcW, int64_t srcH, TCanvas& canvas, int64_t x,
                     int64_t y, int64_t width, int64_t height, int64_t vl, int64_t vt, int64_t vr, int64_t vb,
                     const uint8_t (&table)[256], int64_t memoryThreshold) {
  const int64_t w = vr - vl;
  std::vector<int64_t> columns(static_cast<size_t>(w));
  for (int64_t i = 0; i < w; ++i)
    columns[static_cast<size_t>(i)] = std::clamp<int64_t>((vl + i - x) * srcW / width - sl, 0, part.Width() - 1) * 3;
  const int64_t perBand = std::max<int64_t>(memoryThreshold / std::max<int64_t>(3 * w, 1), 1);
  TAccessScope readOnly(part, pxaRead);
  for (int64_t first = vt; first < vb; first += perBand) {
    const int64_t rows = std::min(perBand, vb - first);
    TBitmap band;
    band.SetPixelFormat(pf24bit);
    band.SetSize(static_cast<int>(w), static_cast<int>(rows));
    if (band.Empty()) return;
    for (int64_t r = 0; r < rows; ++r) {
      const int64_t sy = std::clamp<int64_t>((first + r - y) * srcH / height - st, 0, part.Height() - 1);
      const uint8_t* s = part.Scanline(static_cast<int32_t>(sy));
      uint8_t* d = band.ScanLine(static_cast<int>(r));
      if (!s || !d) return;
      for (int64_t i = 0; i < w; ++i, d += 3) {
        const uint8_t* p = s + columns[static_cast<size_t>(i)];
        d[0] = table[p[0]];
        d[1] = table[p[1]];
        d[2] = table[p[2]];
      }
    }
    canvas.Draw(static_cast<int>(vl), static_cast<int>(first), band);
  }
}

}  // namespace

void StretchDrawToCanvas(TPXBitmap& bitmap, TCanvas& canvas, int32_t x, int32_t y, int32_t width, int32_t height,
                         double gamma, TResampleFilter filter) {
  const int32_t srcW = bitmap.Width(), srcH = bitmap.Height();
  if (bitmap.PixelFormat() == pxNone || srcW <= 0 || srcH <= 0 || width <= 0 || height <= 0) return;
  const bool useGamma = gamma != 1.0 && gamma > 0.0;
  // Only 1- and 24-bit rows go to the printer as they are; the others as the
  // screen shows them.
  const auto whole = [&](std::unique_ptr<TPXBitmap>& copy) -> TPXBitmap* {
    if (bitmap.PixelFormat() == pxBW1 || bitmap.PixelFormat() == pxBGR24) return &bitmap;
    copy = MakeBGR24Copy(bitmap, 0, 0, srcW, srcH, false);
    return copy.get();
  };
  std::unique_ptr<TPXBitmap> copy;
  if (filter == rfNone && !useGamma) {
    // The canvas stretches and cuts the source itself.
    TPXBitmap* src = whole(copy);
    if (!src) return;
    const TPXPackedDIB dib = BitmapRectToDIB(*src, 0, 0, srcW, srcH);
    if (!dib.Empty()) DrawPackedDIB(canvas, dib, Rect(x, y, x + width, y + height), Rect(0, 0, srcW, srcH));
    return;
  }

  // Resampled pixels are made only for the part of the target that falls on
  // the canvas (the page, the preview bitmap), whatever the target's size.
  const TRect clip = canvas.ClipRect();
  const int64_t vl = std::max<int64_t>(x, clip.Left), vt = std::max<int64_t>(y, clip.Top);
  const int64_t vr = std::min<int64_t>(int64_t{x} + width, clip.Right);
  const int64_t vb = std::min<int64_t>(int64_t{y} + height, clip.Bottom);
  if (vr <= vl || vb <= vt) return;
  if (vl == x && vt == y && vr == int64_t{x} + width && vb == int64_t{y} + height) {
    TPXBitmap* src = whole(copy);
    if (!src) return;
    DrawResampled(*src, canvas, x, y, width, height, useGamma, gamma, filter, bitmap.MemoryThreshold);
    return;
  }
  // The source rectangle behind the visible part (with the kernel's reach),
  // resampled at the whole target's scale and drawn where it belongs.
  const int64_t margin = filter == rfNone ? 0 : kKernelMargin;
  const int64_t sl = std::max<int64_t>((vl - x) * srcW / width - margin, 0);
  const int64_t st = std::max<int64_t>((vt - y) * srcH / height - margin, 0);
  const int64_t sr = std::min<int64_t>(((vr - x) * srcW + width - 1) / width + margin, srcW);
  const int64_t sb = std::min<int64_t>(((vb - y) * srcH + height - 1) / height + margin, srcH);
  if (sr <= sl || sb <= st) return;
  const int64_t dl = x + sl * width / srcW, dt = y + st * height / srcH;
  const int64_t dr = x + sr * width / srcW, db = y + sb * height / srcH;
  auto part = MakeBGR24Copy(bitmap, static_cast<int32_t>(sl), static_cast<int32_t>(st), static_cast<int32_t>(sr - sl),
                            static_cast<int32_t>(sb - st), false);
  if (!part) return;
  // A few source pixels over a huge target would still make most of it:
  // there, and without a filter, each visible pixel takes its nearest source.
  if (filter == rfNone || dr <= dl || db <= dt || (dr - dl) * (db - dt) > 4 * (vr - vl) * (vb - vt) + 65536) {
    uint8_t table[256];
    GammaTable(useGamma ? gamma : 1.0, table);
    DrawNearestPart(*part, sl, st, srcW, srcH, canvas, x, y, width, height, vl, vt, vr, vb, table,
                    bitmap.MemoryThreshold);
    return;
  }
  DrawResampled(*part, canvas, static_cast<int32_t>(dl), static_cast<int32_t>(dt), static_cast<int32_t>(dr - dl),
                static_cast<int32_t>(db - dt), useGamma, gamma, filter, bitmap.MemoryThreshold);
}

}  // namespace pixoran
