// The bitmap container: copies, size changes, pixels and palette.
#include "core/kopxutils_bitmap.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "core/kopxutils_bitmap_internal.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/pxdib.h"
#include "core/pxmask.h"
#include "core/pxpool.h"

namespace pixoran {

namespace {

// Copies the first `bits` bits of a row; the rest of dst is left alone.
void CopyRowBits(const uint8_t* s, uint8_t* d, int64_t bits) {
  const int64_t whole = bits >> 3;
  if (whole > 0) std::memcpy(d, s, static_cast<size_t>(whole));
  const int rem = static_cast<int>(bits & 7);
  if (rem) {
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rem));
    d[whole] = static_cast<uint8_t>((d[whole] & ~mask) | (s[whole] & mask));
  }
}

// Zeroes a row from bit `bits` to its end.
void ClearRowTail(uint8_t* row, int64_t bits, int64_t rowBytes) {
  int64_t start = bits >> 3;
  const int rem = static_cast<int>(bits & 7);
  if (rem && start < rowBytes) {
    row[start] &= static_cast<uint8_t>(0xFF << (8 - rem));
    ++start;
  }
  if (start < rowBytes) std::memset(row + start, 0, static_cast<size_t>(rowBytes - start));
}

// Sets (or clears) bits [x1, x2] of a 1-bit row.
void SetBitRange(uint8_t* row, int64_t x1, int64_t x2, bool on) {
  int64_t first = x1 >> 3, last = x2 >> 3;
  const uint8_t headMask = static_cast<uint8_t>(0xFF >> (x1 & 7));
  const uint8_t tailMask = static_cast<uint8_t>(0xFF << (7 - (x2 & 7)));
  auto apply = [&](int64_t i, uint8_t mask) {
    row[i] = on ? static_cast<uint8_t>(row[i] | mask) : static_cast<uint8_t>(row[i] & ~mask);
  };
  if (first == last) {
    apply(first, static_cast<uint8_t>(headMask & tailMask));
    return;
  }
  apply(first, headMask);
  if (last - first > 1) std::memset(row + first + 1, on ? 0xFF : 0, static_cast<size_t>(last - first - 1));
  apply(last, tailMask);
}

// One pixel of a format, as Fill and FillRect write it.
struct PixelPattern {
  uint8_t bytes[4] = {0, 0, 0, 0};
  int32_t size = 0;  // bytes per pixel; 0 for pxBW1 and pxNone
  bool full = false;
};

PixelPattern PatternFor(TPXPixelFormat format, double value) {
  PixelPattern p;
  const int32_t n = TruncToInt32(value);
  switch (format) {
    case pxBW1: p.full = n != 0; break;
    case pxPal8:
    case pxGray8:
      p.size = 1;
      p.bytes[0] = static_cast<uint8_t>(n);
      p.full = n == 255;
      break;
    case pxGray16:
      p.size = 2;
      p.bytes[0] = static_cast<uint8_t>(n);
      p.bytes[1] = static_cast<uint8_t>(n >> 8);
      p.full = n == 65535;
      break;
    case pxBGR24: {
      const TBGR c = ColorToBGR(n);
      p.size = 3;
      p.bytes[0] = c.b, p.bytes[1] = c.g, p.bytes[2] = c.r;
      p.full = c.b == 255 && c.g == 255 && c.r == 255;
      break;
    }
    case px32f: {
      const float f = static_cast<float>(value);  // the value itself, also in FillRect
      p.size = 4;
      std::memcpy(p.bytes, &f, 4);
      p.full = value == 1.0;
      break;
    }
    case pxCMYK: {
      const TBGR c = ColorToBGR(n);
      const TCMYK k = RGBToCMYK(c);
      p.size = 4;
      p.bytes[0] = k.c, p.bytes[1] = k.m, p.bytes[2] = k.y, p.bytes[3] = k.k;
      p.full = c.b == 255 && c.g == 255 && c.r == 255;
      break;
    }
    default: break;
  }
  return p;
}

// A run of count pixels of the pattern.
std::vector<uint8_t> PatternRun(const PixelPattern& p, int64_t count) {
  std::vector<uint8_t> run(static_cast<size_t>(count * p.size));
  for (int64_t i = 0; i < count; ++i) std::memcpy(run.data() + i * p.size, p.bytes, static_cast<size_t>(p.size));
  return run;
}

// The rectangle CopyRectTo and CopyAlphaRectTo copy, after clipping.
struct ClipResult {
  int32_t sx = 0, sy = 0, dx = 0, dy = 0, w = 0, h = 0;
  bool empty = true;
};

ClipResult ClipCopy(int64_t srcW, int64_t srcH, int64_t dstW, int64_t dstH, int64_t sx, int64_t sy, int64_t dx,
                    int64_t dy, int64_t w, int64_t h) {
  ClipResult r;
  // A start left of or above either image moves both starts and shrinks the
  // run, so the pixels keep their places relative to each other.
  if (dx < 0) sx -= dx, w += dx, dx = 0;
  if (dy < 0) sy -= dy, h += dy, dy = 0;
  if (sx < 0) dx -= sx, w += sx, sx = 0;
  if (sy < 0) dy -= sy, h += sy, sy = 0;
  if (sx >= srcW || sy >= srcH || dx >= dstW || dy >= dstH) return r;
  w = std::min({w, srcW - sx, dstW - dx});
  h = std::min({h, srcH - sy, dstH - dy});
  if (w <= 0 || h <= 0) return r;
  r.sx = static_cast<int32_t>(sx), r.sy = static_cast<int32_t>(sy);
  r.dx = static_cast<int32_t>(dx), r.dy = static_cast<int32_t>(dy);
  r.w = static_cast<int32_t>(w), r.h = static_cast<int32_t>(h);
  r.empty = false;
  return r;
}

}  // namespace

// ------------------------------------------------------------------- copies

void TPXBitmap::Assign(TPXBaseBitmap* source) {
  auto* src = dynamic_cast<TPXBitmap*>(source);
  if (!src || src == this) return;
  CopyImageFrom(*src, true);
}

void TPXBitmap::Assign(TBitmap* source) {
  if (source) CopyFromTBitmap(*source);
}

void TPXBitmap::CopyPixelsFrom(TPXBitmap& source) {
  if (&source == this) return;
  CopyImageFrom(source, false);
}

void TPXBitmap::CopyImageFrom(TPXBitmap& src, bool fullAssign) {
  src.ResyncFromTBitmap();
  const TPXPixelFormat format = src.format_;
  if (location_ == pxTBitmap) RefuseForTBitmap(format);  // before anything changes
  const bool srcFull = src.Full;
  // A platform bitmap both hold is the source's rows: never reuse it here.
  if (tbitmap_ && tbitmap_ == src.tbitmap_) {
    if (ownedTBitmap_) {  // the one still using it owns it from now on
      src.ownedTBitmap_ = std::move(ownedTBitmap_);
      src.tbitmapNotOwned_ = false;
    }
    tbitmap_ = nullptr;
    tbitmapNotOwned_ = false;
    FreeRowTable();
  }
  // The source may be this bitmap's own alpha channel: keep it alive.
  std::unique_ptr<TPXBitmap> keepSource;
  if (&src == alpha_.get()) keepSource = std::move(alpha_);
  std::unique_ptr<TPXBitmap> ownAlpha;
  if (!fullAssign) ownAlpha = std::move(alpha_);

  ReleaseForRealloc(true);
  RowAlign = src.RowAlign;
  width_ = src.width_;
  height_ = src.height_;
  format_ = format;
  if (!AllocateStorage()) throw EPXBitmapError(kNoStorage);
  CopyRowsFrom(src);
  if (palette_ && src.palette_) {
    const int32_t n = std::min(paletteCount_, src.paletteCount_);
    std::memcpy(palette_.get(), src.palette_.get(), static_cast<size_t>(n) * sizeof(TBGR));
  }
  UpdateTBitmapPalette();

  if (fullAssign) {
    if (!isAlpha_ && src.alpha_) {
      alpha_ = NewWorkBitmap();
      alpha_->isAlpha_ = true;
      alpha_->location_ = location_ == pxTBitmap ? pxInMemory : location_;
      alpha_->CopyImageFrom(*src.alpha_, true);
    }
    BWConversion = src.BWConversion;
    Full = srcFull;
  } else {
    alpha_ = std::move(ownAlpha);
    // An alpha channel always has the image's size.
    if (alpha_ && (alpha_->width_ != width_ || alpha_->height_ != height_)) alpha_->ChangeSize(width_, height_);
    Full = false;
  }
}

void TPXBitmap::CopyRowsFrom(TPXBitmap& src) {
  TPXAccessScope readOnly(src, pxaRead);
  TPXAccessScope writeOnly(*this, pxaWrite);
  const bool toHighByte = src.bitCount_ == 16 && bitCount_ == 8;
  const int32_t rows = std::min(height_, src.height_);
  if (rows <= 0 || !HasStorage() || !src.HasStorage()) return;
  if (!toHighByte && location_ == pxTempFile && src.location_ == pxTempFile && rowLen_ == src.rowLen_) {
    src.UnmapAllRows();
    UnmapAllRows();
    if (!src.fileBuffer_->CopyTo(*fileBuffer_, static_cast<int64_t>(rowLen_) * rows, 0))
      throw EPXStorageError("Cannot copy the temporary file of a bitmap");
    return;
  }
  const int32_t n = std::min(rowLen_, src.rowLen_);
  const int32_t w = std::min(width_, src.width_);
  auto copyRow = [&](const uint8_t* s, uint8_t* d) {
    if (toHighByte) {
      for (int64_t x = 0; x < w; ++x) d[x] = s[2 * x + 1];  // little-endian words
    } else {
      std::memcpy(d, s, static_cast<size_t>(n));
    }
  };
  if (PXRowsShareable({this, &src})) {
    // Bands copy (and fault in the new pages) on every core.
    const std::vector<uint8_t*> from = PXRowPointers(src), to = PXRowPointers(*this);
    PXParallelRows(rows, w, [&](int32_t first, int32_t last) {
      for (int32_t y = first; y < last; ++y) copyRow(from[static_cast<size_t>(y)], to[static_cast<size_t>(y)]);
    });
    return;
  }
  for (int32_t y = 0; y < rows; ++y) {
    const uint8_t* s = src.Row(y);
    uint8_t* d = Row(y);
    if (!s || !d) break;
    copyRow(s, d);
  }
}

void TPXBitmap::CopyRectTo(TPXBitmap& dest, int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w, int32_t h) {
  ResyncFromTBitmap();
  dest.ResyncFromTBitmap();
  const TPXPixelFormat sf = format_, df = dest.format_;
  const bool bits = sf == pxBW1 && df == pxBW1;
  const bool bitsTo24 = sf == pxBW1 && df == pxBGR24;
  const bool same = sf == df && sf != pxNone && sf != pxBW1;
  if (!bits && !bitsTo24 && !same) return;
  const ClipResult c = ClipCopy(width_, height_, dest.width_, dest.height_, sx, sy, dx, dy, w, h);
  if (c.empty) return;
  const int64_t bpp = bitCount_ / 8;
  auto copyRow = [&](const uint8_t* s, uint8_t* d) {
    if (bits) {
      CopyBitRun(s, c.sx, d, c.dx, c.w);
    } else if (bitsTo24) {
      uint8_t* p = d + 3 * static_cast<int64_t>(c.dx);
      for (int32_t i = 0; i < c.w; ++i, p += 3) {
        const int64_t x = static_cast<int64_t>(c.sx) + i;
        const uint8_t v = (s[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0;
        p[0] = p[1] = p[2] = v;
      }
    } else {
      std::memmove(d + c.dx * bpp, s + c.sx * bpp, static_cast<size_t>(c.w * bpp));
    }
  };
  if (&dest == this) {
    // Rows of one bitmap (and of one temp-file mapping) overlap: go through
    // a copy of the source row, in the order that reads each row before it
    // is overwritten.
    TPXAccessScope rw(*this, pxaRead | pxaWrite);
    std::vector<uint8_t> buf(static_cast<size_t>(rowLen_));
    for (int32_t k = 0; k < c.h; ++k) {
      const int32_t i = c.dy > c.sy ? c.h - 1 - k : k;
      const uint8_t* s = Row(c.sy + i);
      if (!s) return;
      std::memcpy(buf.data(), s, buf.size());
      uint8_t* d = Row(c.dy + i);
      if (!d) return;
      copyRow(buf.data(), d);
    }
    return;
  }
  TPXAccessScope readOnly(*this, pxaRead);
  TPXAccessScope readWrite(dest, pxaRead | pxaWrite);
  if (PXRowsShareable({this, &dest})) {
    const std::vector<uint8_t*> from = PXRowPointers(*this), to = PXRowPointers(dest);
    PXParallelRows(c.h, c.w, [&](int32_t first, int32_t last) {
      for (int32_t i = first; i < last; ++i)
        copyRow(from[static_cast<size_t>(c.sy + i)], to[static_cast<size_t>(c.dy + i)]);
    });
    return;
  }
  for (int32_t i = 0; i < c.h; ++i) {
    const uint8_t* s = Row(c.sy + i);
    uint8_t* d = dest.Row(c.dy + i);
    if (!s || !d) return;
    copyRow(s, d);
  }
}

void TPXBitmap::CopyAlphaRectTo(TPXBitmap& dest, int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w, int32_t h) {
  TPXBitmap* sa = GetAlphaChannel();
  TPXBitmap* da = dest.GetAlphaChannel();
  if (!sa || !da || sa->format_ != pxGray8 || da->format_ != pxGray8) return;
  const ClipResult c = ClipCopy(sa->width_, sa->height_, da->width_, da->height_, sx, sy, dx, dy, w, h);
  if (c.empty) return;
  std::vector<uint8_t> buf(static_cast<size_t>(c.w));
  TPXAccessScope rw(*da, pxaRead | pxaWrite);
  for (int32_t k = 0; k < c.h; ++k) {
    const int32_t i = (sa == da && c.dy > c.sy) ? c.h - 1 - k : k;
    {
      TPXAccessScope readOnly(*sa, sa == da ? pxaRead | pxaWrite : pxaRead);
      const uint8_t* s = sa->Row(c.sy + i);
      if (!s) return;
      std::memcpy(buf.data(), s + c.sx, buf.size());
    }
    uint8_t* d = da->Row(c.dy + i);
    if (!d) return;
    d += c.dx;
    for (int32_t x = 0; x < c.w; ++x)
      if (buf[static_cast<size_t>(x)] > d[x]) d[x] = buf[static_cast<size_t>(x)];
  }
}

void TPXBitmap::CopyFromMask(TPXMask* mask) { CopyMaskToBitmap(mask, *this); }

void TPXBitmap::CopyToMask(TPXMask& mask) { CopyBitmapToMask(*this, mask); }

void TPXBitmap::CopyFromDibbitmap(TPXDibbitmap& dib) {
  const int32_t bits = dib.BitCount();
  const TPXPixelFormat format = bits == 1 ? pxBW1 : bits == 8 ? pxGray8 : bits == 24 ? pxBGR24 : pxNone;
  if (format == pxNone) return;
  if (!Allocate(dib.Width(), dib.Height(), format)) throw EPXBitmapError(kNoStorage);
  const size_t n = static_cast<size_t>(std::min(RowLen(), dib.RowLen()));
  // Every row is overwritten whole: nothing needs reading from a temporary file.
  TPXAccessScope writeOnly(*this, pxaWrite);
  for (int32_t y = 0; y < height_; ++y) std::memcpy(Scanline(y), dib.Scanline(y), n);
}

void TPXBitmap::CopyFromTBitmap(TBitmap& bitmap) {
  if (location_ == pxTBitmap) {
    if (&bitmap != tbitmap_) {
      if (!tbitmap_) {
        ownedTBitmap_ = std::make_unique<TBitmap>();
        tbitmap_ = ownedTBitmap_.get();
        tbitmapNotOwned_ = false;
      }
      tbitmap_->Assign(bitmap);
    }
    format_ = pxNone;  // format and palette are read anew
    palette_.reset();
    paletteCount_ = 0;
    ResyncFromTBitmap();
    BuildRowTable();
    Full = false;
    return;
  }
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  const TPixelFormat pf = bitmap.PixelFormat();
  TPXPixelFormat format;
  switch (pf) {
    case pf1bit: format = bitmap.Monochrome() ? pxBW1 : pxPal8; break;
    case pf8bit: format = pxPal8; break;
    case pf15bit:
    case pf16bit:
    case pf24bit:
    case pf32bit: format = pxBGR24; break;
    default: return;  // device-dependent or custom: nothing to read
  }
  if (!Allocate(w, h, format)) throw EPXBitmapError(kNoStorage);
  if (format == pxPal8) {
    const int n = pf == pf1bit ? 2 : 256;
    for (int i = 0; i < n; ++i) {
      const TPaletteEntry e = bitmap.GetPaletteEntry(i);
      palette_[i] = TBGR{e.Blue, e.Green, e.Red};
    }
  }
  TPXAccessScope writeOnly(*this, pxaWrite);
  const TBitmap& src = bitmap;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = src.ScanLine(y);
    uint8_t* d = Row(y);
    if (!s || !d) break;
    switch (pf) {
      case pf1bit:
        if (format == pxBW1) {
          std::memcpy(d, s, static_cast<size_t>(std::min(rowLen_, bitmap.BytesPerLine())));
        } else {
          for (int64_t x = 0; x < w; ++x) d[x] = (s[x >> 3] >> (7 - (x & 7))) & 1;
        }
        break;
      case pf8bit: std::memcpy(d, s, static_cast<size_t>(w)); break;
      case pf15bit:
      case pf16bit:
        for (int64_t x = 0; x < w; ++x) {
          const unsigned p = s[2 * x] | (s[2 * x + 1] << 8);
          uint8_t* q = d + 3 * x;
          if (pf == pf15bit) {
            q[2] = static_cast<uint8_t>(((p >> 10) & 31) << 3);
            q[1] = static_cast<uint8_t>(((p >> 5) & 31) << 3);
          } else {
            q[2] = static_cast<uint8_t>((p >> 11) << 3);
            q[1] = static_cast<uint8_t>(((p >> 5) & 63) << 2);
          }
          q[0] = static_cast<uint8_t>((p & 31) << 3);
        }
        break;
      case pf24bit: std::memcpy(d, s, static_cast<size_t>(3 * static_cast<int64_t>(w))); break;
      case pf32bit:
        for (int64_t x = 0; x < w; ++x) std::memcpy(d + 3 * x, s + 4 * x, 3);
        break;
      default: break;
    }
  }
  Full = false;
}

// --------------------------------------------------------------------- size

void TPXBitmap::SetWidth(int32_t w) {
  ResyncFromTBitmap();
  ChangeSize(w, height_);
}

void TPXBitmap::SetHeight(int32_t h) {
  ResyncFromTBitmap();
  ChangeSize(width_, h);
}

void TPXBitmap::ChangeSize(int32_t w, int32_t h) {
  ResyncFromTBitmap();
  w = std::max(w, 0);
  h = std::max(h, 0);
  if (w == width_ && h == height_) return;
  const int32_t oldW = width_, oldH = height_;
  if (alpha_) alpha_->ChangeSize(w, h);

  if (format_ == pxNone) {
    width_ = w;
    height_ = h;
    return;
  }
  if (location_ == pxTBitmap) {
    if (!tbitmap_) {
      ownedTBitmap_ = std::make_unique<TBitmap>();
      tbitmap_ = ownedTBitmap_.get();
      tbitmapNotOwned_ = false;
      if (format_ != pxNone) SetTBitmapFormatFor(format_);
    }
    // The platform bitmap keeps each row's bytes: clear what lies past the
    // old width (a whole-row fill sets it) so the gained columns are zeros.
    if (w > oldW && tbitmap_->BytesPerLine() > 0) {
      const int64_t used = static_cast<int64_t>(oldW) * bitCount_;
      for (int32_t y = 0; y < oldH && static_cast<size_t>(y) < rowTable_.size(); ++y)
        ClearRowTail(rowTable_[static_cast<size_t>(y)], used, tbitmap_->BytesPerLine());
    }
    tbitmap_->SetSize(w, h);
    width_ = w;
    height_ = h;
    const int64_t rl = CalcRowLen(w, bitCount_, RowAlign);
    rowLen_ = rl >= 0 ? static_cast<int32_t>(rl) : 0;
    BuildRowTable();
    ResyncFromTBitmap();
    UpdateTBitmapPalette();  // a platform bitmap made anew has the default palette
    Full = false;
    return;
  }

  auto old = TakeImage();
  location_ = old->location_ == pxTBitmap ? pxInMemory : old->location_;
  isAlpha_ = old->isAlpha_;
  RowAlign = old->RowAlign;
  width_ = w;
  height_ = h;
  format_ = old->format_;
  bool ok;
  try {
    ok = AllocateStorage();
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    FreeImage(true);
    old->TransferTo(*this);
    if (alpha_) {
      try {
        alpha_->ChangeSize(oldW, oldH);
      } catch (...) {
        alpha_.reset();
      }
    }
    throw EPXBitmapError(kNoStorage);
  }
  if (palette_ && old->palette_)
    std::memcpy(palette_.get(), old->palette_.get(),
                static_cast<size_t>(std::min(paletteCount_, old->paletteCount_)) * sizeof(TBGR));
  alpha_ = std::move(old->alpha_);
  BWConversion = old->BWConversion;
  Full = false;
  // Only the old pixels are copied: what is gained stays zero, and no
  // padding of the old rows turns into pixels.
  {
    TPXAccessScope readOnly(*old, pxaRead);
    TPXAccessScope writeOnly(*this, pxaWrite);
    const int32_t rows = std::min(h, oldH);
    if (rows > 0 && HasStorage() && old->HasStorage()) {
      if (w == oldW && location_ == pxTempFile && old->location_ == pxTempFile && rowLen_ == old->rowLen_) {
        old->UnmapAllRows();
        if (!old->fileBuffer_->CopyTo(*fileBuffer_, static_cast<int64_t>(rowLen_) * rows, 0))
          throw EPXStorageError("Cannot copy the temporary file of a bitmap");
      } else {
        const int64_t bits = static_cast<int64_t>(std::min(w, oldW)) * bitCount_;
        for (int32_t y = 0; y < rows; ++y) {
          const uint8_t* s = old->Row(y);
          uint8_t* d = Row(y);
          if (!s || !d) break;
          CopyRowBits(s, d, bits);
        }
      }
    }
  }
}

void TPXBitmap::Resize(int32_t newWidth, int32_t newHeight, int32_t fill, int32_t alphaFill, int hAlign, int vAlign) {
  ResyncFromTBitmap();
  newWidth = std::max(newWidth, 0);
  newHeight = std::max(newHeight, 0);
  const int32_t oldW = width_, oldH = height_;
  AlignBeforeShrink(newWidth, newHeight, fill, hAlign, vAlign);
  if (alpha_) alpha_->AlignBeforeShrink(newWidth, newHeight, alphaFill, hAlign, vAlign);
  SetWidth(newWidth);
  SetHeight(newHeight);
  AlignAfterGrow(oldW, oldH, fill, hAlign, vAlign);
  if (alpha_) alpha_->AlignAfterGrow(oldW, oldH, alphaFill, hAlign, vAlign);
}

void TPXBitmap::AlignBeforeShrink(int32_t newWidth, int32_t newHeight, int32_t fill, int hAlign, int vAlign) {
  ResyncFromTBitmap();
  if (newWidth >= 0 && newWidth < width_ && (hAlign == 1 || hAlign == 2)) {
    const int32_t start = hAlign == 1 ? (width_ - newWidth) / 2 : width_ - newWidth;
    if (start > 0) MoveRegion(start, 0, width_ - 1, height_ - 1, 0, 0, fill);
  }
  if (newHeight >= 0 && newHeight < height_ && (vAlign == 1 || vAlign == 2)) {
    const int32_t start = vAlign == 1 ? (height_ - newHeight) / 2 : height_ - newHeight;
    if (start > 0) MoveRegion(0, start, width_ - 1, height_ - 1, 0, 0, fill);
  }
}

void TPXBitmap::AlignAfterGrow(int32_t oldWidth, int32_t oldHeight, int32_t fill, int hAlign, int vAlign) {
  ResyncFromTBitmap();
  if (oldWidth >= 0 && oldWidth < width_) {
    FillRect(oldWidth, 0, width_ - 1, height_ - 1, fill);
    const int32_t to = hAlign == 1 ? (width_ - oldWidth) / 2 : hAlign == 2 ? width_ - oldWidth : 0;
    const int32_t rows = std::min(oldHeight, height_);
    if (to > 0 && oldWidth > 0 && rows > 0) MoveRegion(0, 0, oldWidth - 1, rows - 1, to, 0, fill);
  }
  if (oldHeight >= 0 && oldHeight < height_) {
    FillRect(0, oldHeight, width_ - 1, height_ - 1, fill);
    const int32_t to = vAlign == 1 ? (height_ - oldHeight) / 2 : vAlign == 2 ? height_ - oldHeight : 0;
    if (to > 0 && oldHeight > 0 && width_ > 0) MoveRegion(0, 0, width_ - 1, oldHeight - 1, 0, to, fill);
  }
}

void TPXBitmap::MoveRegion(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t dx, int32_t dy, int32_t fill) {
  ResyncFromTBitmap();
  if (format_ == pxNone || width_ <= 0 || height_ <= 0) return;
  if (x2 < x1) std::swap(x1, x2);
  if (y2 < y1) std::swap(y1, y2);
  // Clip the rectangle to the image; the destination shifts with the part cut away.
  int64_t ax1 = x1, ay1 = y1, adx = dx, ady = dy;
  if (ax1 < 0) adx -= ax1, ax1 = 0;
  if (ay1 < 0) ady -= ay1, ay1 = 0;
  const int64_t ax2 = std::min<int64_t>(x2, width_ - 1), ay2 = std::min<int64_t>(y2, height_ - 1);
  if (ax1 > ax2 || ay1 > ay2) return;
  const int32_t w = static_cast<int32_t>(ax2 - ax1 + 1), h = static_cast<int32_t>(ay2 - ay1 + 1);
  if (adx > std::numeric_limits<int32_t>::max() || ady > std::numeric_limits<int32_t>::max()) {
    FillRect(static_cast<int32_t>(ax1), static_cast<int32_t>(ay1), static_cast<int32_t>(ax2), static_cast<int32_t>(ay2),
             fill);
    return;
  }
  auto tmp = NewWorkBitmap();
  tmp->RowAlign = RowAlign;
  if (!tmp->Allocate(w, h, format_)) throw EPXBitmapError(kNoStorage);
  CopyRectTo(*tmp, static_cast<int32_t>(ax1), static_cast<int32_t>(ay1), 0, 0, w, h);
  FillRect(static_cast<int32_t>(ax1), static_cast<int32_t>(ay1), static_cast<int32_t>(ax2), static_cast<int32_t>(ay2),
           fill);
  tmp->CopyRectTo(*this, 0, 0, static_cast<int32_t>(adx), static_cast<int32_t>(ady), w, h);
}

// ------------------------------------------------------------------- pixels

void TPXBitmap::Fill(double value) {
  ResyncFromTBitmap();
  if (format_ == pxNone || format_ >= kPXPixelFormatCount) return;
  const PixelPattern p = PatternFor(format_, value);
  Full = p.full;
  if (width_ <= 0 || height_ <= 0 || !HasStorage()) return;
  // Byte formats write whole rows; the others Width pixels.
  std::vector<uint8_t> row;
  if (format_ == pxBW1) {
    row.assign(static_cast<size_t>(rowLen_), p.full ? 0xFF : 0);
  } else if (p.size == 1) {
    row.assign(static_cast<size_t>(rowLen_), p.bytes[0]);
  } else {
    row = PatternRun(p, width_);
  }
  TPXAccessScope writeOnly(*this, pxaWrite);
  for (int32_t y = 0; y < height_; ++y) {
    uint8_t* d = Row(y);
    if (!d) return;
    std::memcpy(d, row.data(), row.size());
  }
}

void TPXBitmap::FillRect(int32_t x1, int32_t y1, int32_t x2, int32_t y2, double value) {
  ResyncFromTBitmap();
  if (format_ == pxNone || format_ >= kPXPixelFormatCount) return;
  x1 = std::max(x1, 0);
  y1 = std::max(y1, 0);
  x2 = std::min(x2, width_ - 1);
  y2 = std::min(y2, height_ - 1);
  if (x1 > x2 || y1 > y2) return;
  const PixelPattern p = PatternFor(format_, value);
  const bool on = TruncToInt32(value) != 0;
  const int32_t count = x2 - x1 + 1;
  std::vector<uint8_t> run;
  if (format_ != pxBW1) run = PatternRun(p, count);
  TPXAccessScope readWrite(*this, pxaRead | pxaWrite);
  for (int32_t y = y1; y <= y2; ++y) {
    uint8_t* d = Row(y);
    if (!d) return;
    if (format_ == pxBW1) SetBitRange(d, x1, x2, on);
    else std::memcpy(d + static_cast<int64_t>(x1) * p.size, run.data(), run.size());
  }
}

TBGR TPXBitmap::GetPixel24(int32_t x, int32_t y) {
  if (x < 0 || x >= width_ || format_ != pxBGR24) return TBGR{};
  const uint8_t* row = Row(y);
  if (!row) return TBGR{};
  const uint8_t* p = row + 3 * static_cast<int64_t>(x);
  return TBGR{p[0], p[1], p[2]};
}

TBGR TPXBitmap::GetPixelAsRGB(int32_t x, int32_t y) {
  if (x < 0 || x >= width_) return TBGR{};
  const uint8_t* row = Row(y);
  if (!row) return TBGR{};
  switch (format_) {
    case pxBW1: {
      const uint8_t v = (row[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0;
      return TBGR{v, v, v};
    }
    case pxPal8: return GetPaletteEntry(row[x]);
    case pxGray8: return TBGR{row[x], row[x], row[x]};
    case pxGray16: {
      const uint8_t v = row[2 * static_cast<int64_t>(x) + 1];
      return TBGR{v, v, v};
    }
    case pxBGR24: {
      const uint8_t* p = row + 3 * static_cast<int64_t>(x);
      return TBGR{p[0], p[1], p[2]};
    }
    case px32f: {
      float f;
      std::memcpy(&f, row + 4 * static_cast<int64_t>(x), 4);
      // Trunc(value * 255), with values outside 0..1 (and NaN) clamped.
      const uint8_t v = !(f > 0.0f) ? 0 : f >= 1.0f ? 255 : static_cast<uint8_t>(f * 255.0f);
      return TBGR{v, v, v};
    }
    case pxCMYK: {
      const uint8_t* p = row + 4 * static_cast<int64_t>(x);
      return CMYKToRGB(TCMYK{p[0], p[1], p[2], p[3]});
    }
    default: return TBGR{};
  }
}

bool TPXBitmap::IsGrayscale() {
  ResyncFromTBitmap();
  if (format_ == pxPal8) {
    for (int32_t i = 0; i < paletteCount_; ++i) {
      const TBGR c = palette_[i];
      if (c.b != c.g || c.g != c.r) return false;
    }
    return true;
  }
  if (format_ != pxBGR24) return true;
  TPXAccessScope readOnly(*this, pxaRead);
  for (int32_t y = 0; y < height_; ++y) {
    const uint8_t* p = Row(y);
    if (!p) break;
    for (int32_t x = 0; x < width_; ++x, p += 3)
      if (p[0] != p[1] || p[1] != p[2]) return false;
  }
  return true;
}

// ------------------------------------------------------------------ palette

TBGR TPXBitmap::GetPaletteEntry(int32_t index) const {
  if (index < 0 || index >= paletteCount_ || !palette_) return TBGR{};
  return palette_[index];
}

void TPXBitmap::SetPaletteEntry(int32_t index, TBGR color) {
  if (index < 0 || index >= paletteCount_ || !palette_) return;
  palette_[index] = color;
  UpdateTBitmapPalette();
}

void TPXBitmap::UpdateTBitmapPalette() {
  if (location_ != pxTBitmap || !tbitmap_ || !palette_ || paletteCount_ <= 0) return;
  std::vector<TPaletteEntry> entries(static_cast<size_t>(paletteCount_));
  for (int32_t i = 0; i < paletteCount_; ++i)
    entries[static_cast<size_t>(i)] = TPaletteEntry{palette_[i].r, palette_[i].g, palette_[i].b, 0};
  tbitmap_->SetPaletteEntries(0, entries);
}

}  // namespace pixoran
