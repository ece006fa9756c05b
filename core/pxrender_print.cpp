// Drawing for print: the whole bitmap into a canvas rectangle, resampled and
// gamma-corrected when asked, in bands that keep every temporary below the
// memory threshold; otherwise as one packed DIB.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

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
        case 24:
          std::memcpy(d, s + 3 * x, 3);
          continue;
        case 32:
          std::memcpy(d, s + 4 * x, 3);
          continue;
        case 1:
          index = (s[x >> 3] >> (7 - (x & 7))) & 1;
          break;
        case 4:
          index = (x & 1) ? s[x >> 1] & 15 : s[x >> 1] >> 4;
          break;
        default:
          index = s[x];
          break;
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
      if (fmt == pxBW1)
        CopyBitRun(s, 0, band.ScanLine(i), 0, w);
      else
        std::memcpy(band.ScanLine(i), s, 3 * static_cast<size_t>(w));
    }
  } else {
    band.SetPixelFormat(pf24bit);
    band.SetSize(w, rows);
    if (band.Empty()) return;
    RenderToTBitmap(bitmap, band, TPXRenderRect{0, sourceRow, w, rows, 0, 0, w, rows});
  }
  canvas.Draw(x, y, band);
}

void StretchDrawToCanvas(TPXBitmap& bitmap, TCanvas& canvas, int32_t x, int32_t y, int32_t width, int32_t height,
                         double gamma, TResampleFilter filter) {
  const int32_t srcW = bitmap.Width(), srcH = bitmap.Height();
  if (bitmap.PixelFormat() == pxNone || srcW <= 0 || srcH <= 0 || width <= 0 || height <= 0) return;
  // Only 1- and 24-bit rows go to the printer as they are; the others as the
  // screen shows them.
  TPXBitmap* src = &bitmap;
  std::unique_ptr<TPXBitmap> copy;
  if (bitmap.PixelFormat() != pxBW1 && bitmap.PixelFormat() != pxBGR24) {
    copy = MakeBGR24Copy(bitmap, 0, 0, srcW, srcH, false);
    if (!copy) return;
    src = copy.get();
  }
  const bool useGamma = gamma != 1.0 && gamma > 0.0;
  if (filter == rfNone && !useGamma) {
    const TPXPackedDIB dib = BitmapRectToDIB(*src, 0, 0, srcW, srcH);
    if (!dib.Empty()) DrawPackedDIB(canvas, dib, Rect(x, y, x + width, y + height), Rect(0, 0, srcW, srcH));
    return;
  }

  auto scaled = NewWorkBitmap(bitmap);
  if (filter == rfNone) {
    if (!scaled->Allocate(width, height, src->PixelFormat())) return;
    ResampleNearest(*src, *scaled);
  } else {
    if (!scaled->Allocate(width, height, pxBGR24)) return;
    if (src->PixelFormat() == pxBW1)
      ResampleBW1Filtered(*src, *scaled, filter);
    else
      Resample24Filtered(*src, *scaled, filter);
  }
  if (scaled->PixelFormat() == pxBGR24 && useGamma) {
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) {
      const int64_t v = RoundHalfEven(std::pow(i / 255.0, 1.0 / gamma) * 255.0);
      table[i] = static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255));
    }
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
  const int64_t perBand = std::clamp<int64_t>(bitmap.MemoryThreshold / rowBytes, 1, scaled->Height());
  for (int64_t first = 0; first < scaled->Height(); first += perBand) {
    const auto rows = static_cast<int32_t>(std::min<int64_t>(perBand, scaled->Height() - first));
    DrawBitmapBand(canvas, x, static_cast<int32_t>(y + first), rows, scaled->Width(), static_cast<int32_t>(first),
                   *scaled);
  }
}

}  // namespace pixoran
