// RenderToBitmap and its relatives: clipping, step and row tables, the
// filtered path through the resampler, and the dispatch to the kernels.
#include "core/pxrender.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/pxrender_internal.h"
#include "core/pxresample.h"

namespace pixoran {

namespace render_detail {

std::unique_ptr<TPXBitmap> NewWorkBitmap(const TPXBitmap& maker) {
  auto b = std::make_unique<TPXBitmap>();
  b->MemoryThreshold = maker.MemoryThreshold;
  return b;
}

TPXBitmap* UsableAlpha(TPXBitmap& source) {
  if (!source.HasAlphaChannel()) return nullptr;
  TPXBitmap* a = source.GetAlphaChannel();
  if (!a || a->PixelFormat() != pxGray8 || a->Width() != source.Width() || a->Height() != source.Height())
    return nullptr;
  return a;
}

std::unique_ptr<TPXBitmap> MakeBGR24Copy(TPXBitmap& source, int32_t x, int32_t y, int32_t w, int32_t h,
                                         bool withAlpha) {
  if (w <= 0 || h <= 0) return nullptr;
  auto copy = NewWorkBitmap(source);
  if (!copy->Allocate(w, h, pxBGR24)) return nullptr;
  RenderToBitmap(source, *copy, TPXRenderRect{x, y, w, h, 0, 0, w, h});
  if (withAlpha) {
    if (TPXBitmap* sa = UsableAlpha(source)) {
      TPXBitmap* ca = copy->GetAlphaChannel();
      if (!ca) return nullptr;
      sa->CopyRectTo(*ca, x, y, 0, 0, w, h);
      ca->Full = sa->Full;
    }
  }
  return copy;
}

}  // namespace render_detail

namespace {

using namespace render_detail;

// Geometry in 64 bits: positions plus sizes, and their products with the
// other rectangle's sizes, must not wrap.
struct Geometry {
  int64_t sx, sy, sw, sh, dx, dy, dw, dh;
};

// One axis of ClipGeometry: the part of the destination run (d, dn) before
// 0 is cut, and the source run (s, sn) with it in proportion.
void CutBeforeZero(int64_t& s, int64_t& sn, int64_t& d, int64_t& dn) {
  if (d >= 0) return;
  const int64_t cut = -d * sn / dn;
  s += cut;
  sn -= cut;
  dn += d;
  d = 0;
}

// One axis of ClipGeometry: the part of the destination run (d, dn) past
// limit is cut, and the source length sn with it in proportion.
void CutPastLimit(int64_t& sn, int64_t d, int64_t& dn, int64_t limit) {
  if (d + dn <= limit) return;
  const int64_t keep = limit - d;
  sn = sn * keep / dn;
  dn = keep;
}

// Cuts the destination rectangle to the destination and the source with it
// in proportion, then clamps both into their bitmaps. False when nothing is
// left to draw.
bool ClipGeometry(Geometry& g, int64_t srcW, int64_t srcH, int64_t dstW, int64_t dstH) {
  if (g.sw <= 0 || g.sh <= 0 || g.dw <= 0 || g.dh <= 0) return false;
  if (g.dx >= dstW || g.dy >= dstH) return false;
  CutBeforeZero(g.sy, g.sh, g.dy, g.dh);
  CutBeforeZero(g.sx, g.sw, g.dx, g.dw);
  if (g.dw <= 0 || g.dh <= 0) return false;
  CutPastLimit(g.sh, g.dy, g.dh, dstH);
  CutPastLimit(g.sw, g.dx, g.dw, dstW);
  g.sx = std::clamp<int64_t>(g.sx, 0, srcW - 1);
  g.sy = std::clamp<int64_t>(g.sy, 0, srcH - 1);
  g.dx = std::clamp<int64_t>(g.dx, 0, dstW - 1);
  g.dy = std::clamp<int64_t>(g.dy, 0, dstH - 1);
  // Sizes are clamped to what remains after the position, so no run can
  // read past a row's end.
  g.sw = std::clamp<int64_t>(g.sw, 0, srcW - g.sx);
  g.sh = std::clamp<int64_t>(g.sh, 0, srcH - g.sy);
  g.dw = std::clamp<int64_t>(g.dw, 0, dstW - g.dx);
  g.dh = std::clamp<int64_t>(g.dh, 0, dstH - g.dy);
  return g.sw > 0 && g.sh > 0 && g.dw > 0 && g.dh > 0;
}

// Entry k = Trunc((k - d) * s / dn + s0), for every destination position.
void BuildSteps(std::vector<int32_t>& table, int64_t count, int64_t d, int64_t s, int64_t dn, int64_t s0) {
  table.resize(static_cast<size_t>(count));
  for (int64_t k = 0; k < count; ++k) {
    const int64_t v = (k - d) * s / dn + s0;
    table[static_cast<size_t>(k)] = static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
  }
}

// Checks a caller's table for the range lo..hi: drops trailing entries that
// reach the source's size (hi moves down), and reports whether every entry
// left lies inside the source.
bool CheckSteps(const std::vector<int32_t>& table, int32_t lo, int32_t& hi, int32_t limit) {
  if (table.size() <= static_cast<size_t>(hi)) return false;
  int32_t h = hi;
  while (h >= lo && table[static_cast<size_t>(h)] >= limit) --h;
  for (int32_t k = lo; k <= h; ++k) {
    const int32_t v = table[static_cast<size_t>(k)];
    if (v < 0 || v >= limit) return false;
  }
  hi = h;
  return true;
}

bool RowsFit(const std::vector<uint8_t*>& rows, TPXBitmap& dest, int32_t height) {
  return height > 0 && rows.size() == static_cast<size_t>(height) && rows.front() == dest.Scanline(0) &&
         rows.back() == dest.Scanline(height - 1);
}

// True when the two bitmaps' row blocks overlap (two bitmaps over the same
// platform bitmap or memory).
bool SharesRows(TPXBitmap& a, TPXBitmap& b) {
  if (&a == &b) return true;
  if (a.Location() == pxTempFile || b.Location() == pxTempFile) return false;
  auto span = [](TPXBitmap& m, const uint8_t*& lo, const uint8_t*& hi) {
    const uint8_t* first = m.Scanline(0);
    const uint8_t* last = m.Scanline(m.Height() - 1);
    if (!first || !last) return false;
    lo = std::min(first, last);
    hi = std::max(first, last) + m.RowLen();
    return true;
  };
  const uint8_t *alo, *ahi, *blo, *bhi;
  if (!span(a, alo, ahi) || !span(b, blo, bhi)) return false;
  return alo < bhi && blo < ahi;
}

bool NeedsFilter(TResampleFilter f, const Geometry& g, TPXPixelFormat fmt) {
  return f != rfNone && (g.dw != g.sw || g.dh != g.sh) && (fmt == pxBW1 || fmt == pxBGR24);
}

// The source rectangle resampled with the filter into a new pxBGR24 bitmap
// of dw x dh, with the rectangle of the alpha channel resampled alongside
// when one is given. With shrinkBW1 a 1-bit rectangle is reduced to grey
// levels by area instead. nullptr when storage cannot be had.
std::unique_ptr<TPXBitmap> ResampleRect(TPXBitmap& source, TPXBitmap* alpha, int32_t sx, int32_t sy, int32_t sw,
                                        int32_t sh, int32_t dw, int32_t dh, TResampleFilter filter, bool shrinkBW1) {
  auto scaled = NewWorkBitmap(source);
  if (shrinkBW1) {
    if (!scaled->Allocate(dw, dh, pxBGR24)) return nullptr;
    ShrinkBW1ToGray24(source, sx, sy, sx + sw - 1, sy + sh - 1, *scaled);
    return scaled;
  }
  auto part = NewWorkBitmap(source);
  if (!part->Allocate(sw, sh, source.PixelFormat())) return nullptr;
  source.CopyRectTo(*part, sx, sy, 0, 0, sw, sh);
  TPXBitmap* pa = nullptr;
  if (alpha) {
    pa = part->GetAlphaChannel();
    alpha->CopyRectTo(*pa, sx, sy, 0, 0, sw, sh);
    pa->Full = alpha->Full;
  }
  if (!scaled->Allocate(dw, dh, pxBGR24)) return nullptr;
  if (part->PixelFormat() == pxBW1) ResampleBW1Filtered(*part, *scaled, filter);
  else Resample24Filtered(*part, *scaled, filter);
  if (pa) {
    TPXBitmap* ta = scaled->GetAlphaChannel();
    ResampleGray8Filtered(*pa, *ta, filter);
    ta->Full = pa->Full;
  } else {
    scaled->RemoveAlphaChannel();
  }
  if (scaled->PixelFormat() != pxBGR24) return nullptr;
  return scaled;
}

// Resamples the (clipped) source rectangle to the destination size with the
// filter and draws the result 1:1.
void RenderFilteredPath(TPXBitmap& source, TPXBitmap& dest, const Geometry& g, const TPXRenderOptions& o,
                        bool useAlpha) {
  const auto sw = static_cast<int32_t>(g.sw), dw = static_cast<int32_t>(g.dw), dh = static_cast<int32_t>(g.dh);
  TPXBitmap* sa = useAlpha ? UsableAlpha(source) : nullptr;
  const bool shrink = source.PixelFormat() == pxBW1 && dw <= sw && !sa;
  auto scaled = ResampleRect(source, sa, static_cast<int32_t>(g.sx), static_cast<int32_t>(g.sy), sw,
                             static_cast<int32_t>(g.sh), dw, dh, o.Filter, shrink);
  if (!scaled) return;
  // The adjustments of the source still apply to what is drawn.
  scaled->RedOffset = source.RedOffset;
  scaled->GreenOffset = source.GreenOffset;
  scaled->BlueOffset = source.BlueOffset;
  scaled->ColorAdjust = source.ColorAdjust;
  scaled->Contrast = source.Contrast;
  TPXRenderOptions once = o;
  once.Filter = rfNone;
  once.FreeTables = true;
  RenderToBitmap(*scaled, dest,
                 TPXRenderRect{0, 0, dw, dh, static_cast<int32_t>(g.dx), static_cast<int32_t>(g.dy), dw, dh}, once,
                 nullptr);
}

void RenderDirect(TPXBitmap& source, TPXBitmap& dest, const TPXRenderRect& rect, const TPXRenderOptions& o,
                  TPXRenderTables* tables) {
  const TPXPixelFormat fmt = source.PixelFormat();
  const int32_t srcW = source.Width(), srcH = source.Height();
  if (fmt == pxNone || srcW <= 0 || srcH <= 0) return;
  if (dest.PixelFormat() != pxBGR24) return;
  const int32_t dstW = dest.Width(), dstH = dest.Height();
  if (dstW <= 0 || dstH <= 0) return;
  if (SharesRows(source, dest)) return;

  Geometry g{rect.SrcX, rect.SrcY, rect.SrcWidth, rect.SrcHeight, rect.DstX, rect.DstY, rect.DstWidth, rect.DstHeight};
  if (!ClipGeometry(g, srcW, srcH, dstW, dstH)) return;

  TPXBitmap* alpha = o.UseAlpha ? UsableAlpha(source) : nullptr;
  if (alpha && alpha->Full) alpha = nullptr;  // known opaque: drawn as such

  if (NeedsFilter(o.Filter, g, fmt)) {
    RenderFilteredPath(source, dest, g, o, alpha != nullptr);
    return;
  }
  const bool translucent = o.Opacity < 255 || alpha;
  if (o.Opacity == 0 && !o.FillTransparent) return;  // nothing would change

  // Destination range, inside the clip rectangle and the destination.
  int64_t ly1 = g.dy, ly2 = std::min<int64_t>(g.dy + g.dh, dstH) - 1;
  int64_t lx1 = g.dx, lx2 = std::min<int64_t>(g.dx + g.dw, dstW) - 1;
  if (o.Clip) {
    ly1 = std::max<int64_t>(ly1, o.Clip->Top);
    ly2 = std::min<int64_t>(ly2, int64_t{o.Clip->Bottom} - 1);
    lx1 = std::max<int64_t>(lx1, o.Clip->Left);
    lx2 = std::min<int64_t>(lx2, int64_t{o.Clip->Right} - 1);
  }
  ly1 = std::max<int64_t>(ly1, 0);
  lx1 = std::max<int64_t>(lx1, 0);
  ly2 = std::min<int64_t>(ly2, dstH - 1);
  lx2 = std::min<int64_t>(lx2, dstW - 1);
  if (lx2 < lx1 || ly2 < ly1) return;
  const auto y1 = static_cast<int32_t>(ly1), x1 = static_cast<int32_t>(lx1);
  auto y2 = static_cast<int32_t>(ly2), x2 = static_cast<int32_t>(lx2);

  TAccessScope srcMode(source, pxaRead);
  std::unique_ptr<TAccessScope> alphaMode;
  if (alpha) alphaMode = std::make_unique<TAccessScope>(*alpha, pxaRead);
  TAccessScope dstMode(dest, pxaRead | pxaWrite);

  const bool oneToOne = g.sw == g.dw && g.sh == g.dh;
  const bool needSteps =
      !oneToOne || fmt != pxBGR24 || translucent || source.ColorAdjust || source.Contrast != 0 || o.BlendMode != 0;

  std::vector<int32_t> builtY, builtX;
  const std::vector<int32_t>* ys = nullptr;
  const std::vector<int32_t>* xs = nullptr;
  if (needSteps) {
    int32_t ty2 = y2, tx2 = x2;
    if (tables && !tables->YSteps.empty() && CheckSteps(tables->YSteps, y1, ty2, srcH)) {
      ys = &tables->YSteps;
      y2 = ty2;
    } else {
      BuildSteps(builtY, dstH, g.dy, g.sh, g.dh, g.sy);
      ys = &builtY;
    }
    if (tables && !tables->XSteps.empty() && CheckSteps(tables->XSteps, x1, tx2, srcW)) {
      xs = &tables->XSteps;
      x2 = tx2;
    } else {
      BuildSteps(builtX, dstW, g.dx, g.sw, g.dw, g.sx);
      xs = &builtX;
    }
  }

  std::vector<uint8_t*> builtRows;
  const std::vector<uint8_t*>* rows = nullptr;
  if (dest.Location() != pxTempFile) {
    if (tables && RowsFit(tables->Rows, dest, dstH)) {
      rows = &tables->Rows;
    } else {
      builtRows.resize(static_cast<size_t>(dstH));
      for (int32_t y = 0; y < dstH; ++y) builtRows[static_cast<size_t>(y)] = dest.Scanline(y);
      rows = &builtRows;
    }
  }

  if (x2 >= x1 && y2 >= y1) {
    TPXRenderJob job;
    job.Source = &source;
    job.Alpha = alpha;
    job.Dest = &dest;
    job.Rows = rows ? rows->data() : nullptr;
    job.X1 = x1;
    job.X2 = x2;
    job.Y1 = y1;
    job.Y2 = y2;
    job.XSteps = xs ? xs->data() : nullptr;
    job.YSteps = ys ? ys->data() : nullptr;
    job.SrcX = static_cast<int32_t>(g.sx);
    job.SrcY = static_cast<int32_t>(g.sy);
    job.DstX = static_cast<int32_t>(g.dx);
    job.DstY = static_cast<int32_t>(g.dy);
    if (xs) {
      bool run = true;
      for (int32_t x = x1; x < x2 && run; ++x)
        run = (*xs)[static_cast<size_t>(x) + 1] == (*xs)[static_cast<size_t>(x)] + 1;
      job.XContiguous = run;
    }
    job.Opacity = o.Opacity;
    job.BlendMode = o.BlendMode;
    job.RowCopy = o.RowCopy;
    job.Fill = o.FillTransparent;
    job.Background = ColorToBGR(o.Background);
    const TPXRenderKernelPair k = RenderKernelsFor(fmt);
    const TPXRenderKernel kernel = translucent ? k.Blended : k.Opaque;
    if (kernel) kernel(job);
  }

  if (tables && !o.FreeTables) {
    if (!builtY.empty()) tables->YSteps = std::move(builtY);
    if (!builtX.empty()) tables->XSteps = std::move(builtX);
    if (!builtRows.empty()) tables->Rows = std::move(builtRows);
  }
}

// The direct part of RenderToBitmapFiltered: a 1- or 24-bit source drawn
// through 14-bit steps, the destination alpha set over the rectangle.
void FilteredDirect(TPXBitmap& source, TPXBitmap& dest, int64_t dx, int64_t dy, uint8_t alphaValue, int64_t sx,
                    int64_t sy, int64_t sw, int64_t sh, int64_t dw, int64_t dh) {
  const TPXPixelFormat fmt = source.PixelFormat();
  const int64_t dstW = dest.Width(), dstH = dest.Height();
  const int64_t xstep = sw * kPXRenderOne / dw, ystep = sh * kPXRenderOne / dh;
  const int64_t x1 = std::max<int64_t>(dx, 0), x2 = std::min<int64_t>(dx + dw, dstW) - 1;
  const int64_t y1 = std::max<int64_t>(dy, 0), y2 = std::min<int64_t>(dy + dh, dstH) - 1;
  if (x2 < x1 || y2 < y1) return;
  TPXBitmap* sa = UsableAlpha(source);
  if (sa && sa->Full) sa = nullptr;
  TPXBitmap* da = dest.GetAlphaChannel();
  if (da && (da->Width() != dest.Width() || da->Height() != dest.Height() || da->PixelFormat() != pxGray8))
    da = nullptr;  // a channel of another size cannot take the rectangle

  const bool direct = xstep == kPXRenderOne && ystep == kPXRenderOne && fmt != pxBW1 && !sa;
  std::vector<int32_t> xt;
  if (!direct) {
    xt.resize(static_cast<size_t>(x2 - x1 + 1));
    for (int64_t x = x1; x <= x2; ++x)
      xt[static_cast<size_t>(x - x1)] = static_cast<int32_t>(sx + (((x - dx) * xstep) >> 14));
  }
  const size_t n = static_cast<size_t>(x2 - x1 + 1);

  TAccessScope srcMode(source, pxaRead);
  TAccessScope dstMode(dest, pxaRead | pxaWrite);
  std::unique_ptr<TAccessScope> saMode, daMode;
  if (sa) saMode = std::make_unique<TAccessScope>(*sa, pxaRead);
  if (da) daMode = std::make_unique<TAccessScope>(*da, pxaRead | pxaWrite);
  for (int64_t y = y1; y <= y2; ++y) {
    const auto srow = static_cast<int32_t>(direct ? sy + (y - dy) : sy + (((y - dy) * ystep) >> 14));
    if (da) {
      uint8_t* ad = da->Scanline(static_cast<int32_t>(y));
      if (ad) {
        ad += x1;
        const uint8_t* as = sa ? sa->Scanline(srow) : nullptr;
        if (as) {
          for (size_t i = 0; i < n; ++i) ad[i] = std::min(alphaValue, as[xt[i]]);
        } else {
          std::memset(ad, alphaValue, n);
        }
      }
    }
    const uint8_t* s = source.Scanline(srow);
    uint8_t* d = dest.Scanline(static_cast<int32_t>(y));
    if (!s || !d) continue;
    d += 3 * x1;
    if (fmt == pxBW1) {
      for (size_t i = 0; i < n; ++i) {
        const int32_t x = xt[i];
        d[3 * i] = d[3 * i + 1] = d[3 * i + 2] = ((s[x >> 3] >> (7 - (x & 7))) & 1) ? 255 : 0;
      }
    } else if (direct) {
      std::memcpy(d, s + 3 * (sx + (x1 - dx)), 3 * n);
    } else {
      for (size_t i = 0; i < n; ++i) std::memcpy(d + 3 * i, s + 3 * static_cast<int64_t>(xt[i]), 3);
    }
  }
  if (da && (alphaValue < 255 || sa)) da->Full = false;
}

void FilteredImpl(TPXBitmap& source, TPXBitmap& dest, int32_t dstX, int32_t dstY, uint8_t alphaValue,
                  TResampleFilter filter, int32_t srcX, int32_t srcY, int32_t srcWidth, int32_t srcHeight,
                  int32_t dstWidth, int32_t dstHeight) {
  const TPXPixelFormat fmt = source.PixelFormat();
  const int32_t srcW = source.Width(), srcH = source.Height();
  if (fmt == pxNone || srcW <= 0 || srcH <= 0 || dest.PixelFormat() != pxBGR24) return;
  if (srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0) return;
  if (SharesRows(source, dest)) return;
  // The source rectangle is kept inside the source.
  const int32_t sx = std::clamp(srcX, 0, srcW - 1), sy = std::clamp(srcY, 0, srcH - 1);
  const int32_t sw = std::min(srcWidth, srcW - sx), sh = std::min(srcHeight, srcH - sy);
  if (fmt != pxBW1 && fmt != pxBGR24) {
    // The copy below knows only 1- and 24-bit rows.
    auto copy = MakeBGR24Copy(source, sx, sy, sw, sh, true);
    if (copy) FilteredImpl(*copy, dest, dstX, dstY, alphaValue, filter, 0, 0, sw, sh, dstWidth, dstHeight);
    return;
  }
  if (filter != rfNone && (dstWidth != sw || dstHeight != sh)) {
    const bool shrink = fmt == pxBW1 && !source.HasAlphaChannel() && dstWidth <= sw;
    auto scaled = ResampleRect(source, shrink ? nullptr : UsableAlpha(source), sx, sy, sw, sh, dstWidth, dstHeight,
                               filter, shrink);
    if (scaled)
      FilteredImpl(*scaled, dest, dstX, dstY, alphaValue, rfNone, 0, 0, dstWidth, dstHeight, dstWidth, dstHeight);
    return;
  }
  FilteredDirect(source, dest, dstX, dstY, alphaValue, sx, sy, sw, sh, dstWidth, dstHeight);
}

}  // namespace

void RenderToBitmap(TPXBitmap& source, TPXBitmap& dest, const TPXRenderRect& rect, const TPXRenderOptions& options,
                    TPXRenderTables* tables) {
  // Read-only for the whole call, restored on every way out.
  TAccessScope readOnly(source, pxaRead);
  RenderDirect(source, dest, rect, options, tables);
}

void RenderToTBitmap(TPXBitmap& source, TBitmap& dest, const TPXRenderRect& rect, const TPXRenderOptions& options,
                     TPXRenderTables* tables) {
  if (dest.PixelFormat() != pf24bit || dest.Empty()) return;
  TPXBitmap target;
  target.AttachTBitmap(&dest, false);
  RenderToBitmap(source, target, rect, options, tables);
}

void RenderToBitmapFiltered(TPXBitmap& source, TPXBitmap& dest, int32_t dstX, int32_t dstY, uint8_t alphaValue,
                            TResampleFilter filter, int32_t srcX, int32_t srcY, int32_t srcWidth, int32_t srcHeight,
                            int32_t dstWidth, int32_t dstHeight) {
  // The vector layer draws its bitmap objects through this at every paint:
  // a failing copy leaves the picture as it is rather than ending the paint.
  try {
    FilteredImpl(source, dest, dstX, dstY, alphaValue, filter, srcX, srcY, srcWidth, srcHeight, dstWidth, dstHeight);
  } catch (...) {}
}

}  // namespace pixoran
