// The magic wand. The colour test is chosen once per call by pixel format
// (byte compares for 24-bit rows, a 256-entry table for one-byte formats),
// so the inner loops never go through a per-pixel call. The outline is traced
// on a grid four times the region's size whose cells are derived from a bit
// map of the region on demand: only the traced cells are stored (one bit
// each), which keeps a large region's work memory a small multiple of its
// pixel count instead of sixteen bytes per pixel.
#include "view/pxmagicwand.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_settings.h"
#include "core/pxmask.h"

namespace pixoran {

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using TBits = std::unique_ptr<uint8_t, FreeDeleter>;

// Zero-filled work memory, or nullptr (calloc leaves untouched pages unmapped).
TBits ZeroBlock(int64_t bytes) {
  if (bytes <= 0 || bytes > CodecMemoryLimit()) return nullptr;
  return TBits(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(bytes), 1)));
}

inline bool BitAt(const uint8_t* row, int64_t n) { return (row[n >> 3] & (0x80u >> (n & 7))) != 0; }
inline void MarkBit(uint8_t* row, int64_t n) { row[n >> 3] |= static_cast<uint8_t>(0x80u >> (n & 7)); }

// Inclusive per-channel ranges around the seed colour, tested without
// branches (v - lo wraps past the width for values below lo).
struct TRange {
  uint8_t lo[3], span[3];
  TRange(TBGR seed, int32_t tolerance) {
    const int32_t t = std::max(tolerance, 0);
    const uint8_t s[3] = {seed.b, seed.g, seed.r};
    for (int i = 0; i < 3; ++i) {
      const int32_t low = std::max(0, s[i] - t), high = std::min(255, s[i] + t);
      lo[i] = static_cast<uint8_t>(low);
      span[i] = static_cast<uint8_t>(high - low);
    }
  }
  bool In(uint8_t b, uint8_t g, uint8_t r) const {
    return (static_cast<uint8_t>(b - lo[0]) <= span[0]) & (static_cast<uint8_t>(g - lo[1]) <= span[1]) &
           (static_cast<uint8_t>(r - lo[2]) <= span[2]);
  }
  bool In(TBGR c) const { return In(c.b, c.g, c.r); }
};

// Colour tests on one row at a time, one type per pixel format.
struct TMatchBGR {
  TRange range;
  const uint8_t* row = nullptr;
  bool operator()(int32_t x) const {
    const uint8_t* p = row + 3 * static_cast<int64_t>(x);
    return range.In(p[0], p[1], p[2]);
  }
};

// One byte per pixel (or the high byte of a 16-bit grey) through a table.
template <int Stride, int Offset>
struct TMatchByte {
  bool table[256];
  const uint8_t* row = nullptr;
  bool operator()(int32_t x) const { return table[row[static_cast<int64_t>(x) * Stride + Offset]]; }
};

struct TMatchBW1 {
  bool table[2];
  const uint8_t* row = nullptr;
  bool operator()(int32_t x) const { return table[(row[x >> 3] >> (7 - (x & 7))) & 1]; }
};

struct TMatchFloat {
  bool table[256];
  const uint8_t* row = nullptr;
  bool operator()(int32_t x) const {
    float f;
    std::memcpy(&f, row + 4 * static_cast<int64_t>(x), 4);
    const uint8_t v = !(f > 0.0f) ? 0 : f >= 1.0f ? 255 : static_cast<uint8_t>(f * 255.0f);
    return table[v];
  }
};

struct TMatchCMYK {
  TRange range;
  const uint8_t* row = nullptr;
  bool operator()(int32_t x) const {
    const uint8_t* p = row + 4 * static_cast<int64_t>(x);
    return range.In(CMYKToRGB(TCMYK{p[0], p[1], p[2], p[3]}));
  }
};

template <class M>
void GreyTable(M& m, const TRange& range) {
  for (int v = 0; v < 256; ++v) {
    const auto c = static_cast<uint8_t>(v);
    m.table[v] = range.In(c, c, c);
  }
}

// Calls fn with the colour test for the bitmap's format, seeded at (x, y).
// False for a format without pixels.
template <class Fn>
bool WithMatcher(TPXBitmap& bitmap, int32_t x, int32_t y, int32_t tolerance, Fn&& fn) {
  const TRange range(bitmap.GetPixelAsRGB(x, y), tolerance);
  switch (bitmap.PixelFormat()) {
    case pxBGR24: {
      TMatchBGR m{range};
      fn(m);
      return true;
    }
    case pxGray8: {
      TMatchByte<1, 0> m;
      GreyTable(m, range);
      fn(m);
      return true;
    }
    case pxGray16: {
      TMatchByte<2, 1> m;
      GreyTable(m, range);
      fn(m);
      return true;
    }
    case pxPal8: {
      TMatchByte<1, 0> m;
      for (int i = 0; i < 256; ++i) m.table[i] = range.In(bitmap.GetPaletteEntry(i));
      fn(m);
      return true;
    }
    case pxBW1: {
      TMatchBW1 m{{range.In(0, 0, 0), range.In(255, 255, 255)}};
      fn(m);
      return true;
    }
    case px32f: {
      TMatchFloat m;
      GreyTable(m, range);
      fn(m);
      return true;
    }
    case pxCMYK: {
      TMatchCMYK m{range};
      fn(m);
      return true;
    }
    default: return false;
  }
}

// The visited map of a region: one bit per image pixel, rows of width div 8
// + 1 bytes, and the region's bounds.
struct TRegion {
  TBits bits;
  int64_t rowBytes = 0;
  int32_t width = 0, height = 0;
  int32_t minX = std::numeric_limits<int32_t>::max(), minY = std::numeric_limits<int32_t>::max();
  int32_t maxX = 0, maxY = 0;
  uint8_t* Row(int32_t y) const { return bits.get() + rowBytes * y; }
  bool Empty() const { return minX > maxX; }
};

struct TSpan {
  int32_t y, l, r, dy;
};

// The 4-connected seed fill, span by span: a span {y, l, r, dy} asks for the
// row y + dy to be searched over l..r. False when memory runs out.
template <class M>
bool SeedFill(TPXBitmap& bitmap, M& match, int32_t x, int32_t y, TRegion& region) {
  const int32_t w = region.width, h = region.height;
  std::vector<TSpan> stack;
  try {
    stack.reserve(static_cast<size_t>(w) * 2);
    stack.push_back({y, x, x, 1});
    stack.push_back({y + 1, x, x, -1});
    while (!stack.empty()) {
      const TSpan s = stack.back();
      stack.pop_back();
      const int32_t yy = s.y + s.dy;
      if (yy < 0 || yy >= h) continue;
      match.row = bitmap.Scanline(yy);
      if (!match.row) continue;
      uint8_t* vis = region.Row(yy);
      auto open = [&](int32_t xx) { return !BitAt(vis, xx) && match(xx); };
      int32_t xx = s.l, start = s.l;
      while (xx >= 0 && open(xx)) MarkBit(vis, xx--);
      bool inRun = xx < s.l;
      if (inRun) {
        start = xx + 1;
        if (start < s.l) stack.push_back({yy, start, s.l - 1, -s.dy});
      }
      xx = s.l + 1;
      for (;;) {
        if (inRun) {
          while (xx < w && open(xx)) MarkBit(vis, xx++);
          stack.push_back({yy, start, xx - 1, s.dy});
          if (xx - 1 > s.r) stack.push_back({yy, s.r + 1, xx - 1, -s.dy});
          region.minX = std::min(region.minX, start);
          region.maxX = std::max(region.maxX, xx - 1);
          region.minY = std::min(region.minY, yy);
          region.maxY = std::max(region.maxY, yy);
          ++xx;
        }
        while (xx <= s.r && !open(xx)) ++xx;
        if (xx > s.r) break;
        start = xx;
        inRun = true;
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Fills the region around (x, y); false (region empty) outside the image,
// for a format without pixels or without memory.
bool FindRegion(TPXBitmap& bitmap, int32_t x, int32_t y, int32_t tolerance, TRegion& region) {
  region.width = bitmap.Width();
  region.height = bitmap.Height();
  if (x < 0 || y < 0 || x >= region.width || y >= region.height) return false;
  region.rowBytes = region.width / 8 + 1;
  region.bits = ZeroBlock(region.rowBytes * region.height);
  if (!region.bits) return false;
  bool ok = false;
  if (!WithMatcher(bitmap, x, y, tolerance, [&](auto& m) { ok = SeedFill(bitmap, m, x, y, region); })) return false;
  return ok && !region.Empty();
}

// dest (bits 0..n-1) = source bits first..first+n-1; bits past n cleared.
void ExtractBits(const uint8_t* src, int64_t first, uint8_t* dest, int64_t n) {
  const int64_t bytes = (n + 7) / 8;
  const int shift = static_cast<int>(first & 7);
  const uint8_t* s = src + (first >> 3);
  // The last source byte needed: bits first + n - 1.
  const int64_t lastSrc = (first + n - 1) >> 3;
  for (int64_t k = 0; k < bytes; ++k) {
    uint32_t v = static_cast<uint32_t>(s[k]) << shift;
    if (shift && (first >> 3) + k + 1 <= lastSrc) v |= s[k + 1] >> (8 - shift);
    dest[k] = static_cast<uint8_t>(v);
  }
  if (n & 7) dest[bytes - 1] &= static_cast<uint8_t>(0xFF00u >> (n & 7));
}

// Ors row grown by one pixel left and right (bits 0..n-1 only) into dest.
void OrDilated(const uint8_t* row, uint8_t* dest, int64_t n) {
  const int64_t bytes = (n + 7) / 8;
  for (int64_t k = 0; k < bytes; ++k) {
    const uint32_t prev = k > 0 ? row[k - 1] : 0, next = k + 1 < bytes ? row[k + 1] : 0, cur = row[k];
    dest[k] |= static_cast<uint8_t>(cur | (cur << 1) | (next >> 7) | (cur >> 1) | (prev << 7));
  }
  if (n & 7) dest[bytes - 1] &= static_cast<uint8_t>(0xFF00u >> (n & 7));
}

// First set bit of a & ~b over n bits (b may be nullptr), -1 when none.
int64_t FirstSet(const uint8_t* a, const uint8_t* b, int64_t n) {
  if (!a) return -1;
  const int64_t bytes = (n + 7) / 8;
  for (int64_t k = 0; k < bytes; ++k) {
    const uint8_t v = static_cast<uint8_t>(a[k] & (b ? ~b[k] : 0xFF));
    if (v) return k * 8 + std::countl_zero(v);
  }
  return -1;
}

// Freeman chain directions in search order.
constexpr int32_t kDx[8] = {1, 0, -1, 0, 1, -1, -1, 1};
constexpr int32_t kDy[8] = {0, -1, 0, 1, -1, -1, 1, 1};
constexpr uint8_t kCode[8] = {0, 2, 4, 6, 1, 3, 5, 7};
// Pen steps by code.
constexpr int32_t kCodeDx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int32_t kCodeDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};

// The 4x outline grid of a region bit map of bw x bh pixels: the pixel (i, j)
// covers cells 4i + 2 .. 4i + 5 across and 4j + 2 .. 4j + 5 down; a border
// cell is a cell outside the region with a region cell beside it (left,
// right, above or below); traced cells are kept in their own bit map.
class TOutlineGrid {
 public:
  TOutlineGrid(const uint8_t* bits, int64_t rowBytes, int32_t bw, int32_t bh)
      : bits_(bits), rowBytes_(rowBytes), bw_(bw), bh_(bh), cols_(int64_t{bw} * 4 + 4), rows_(int64_t{bh} * 4 + 4) {}

  bool Allocate() {
    tracedRow_ = (cols_ + 7) / 8;
    traced_ = ZeroBlock(tracedRow_ * rows_);
    return traced_ != nullptr;
  }
  int64_t Columns() const { return cols_; }
  int64_t Rows() const { return rows_; }
  int64_t WorkBytes() const { return tracedRow_ * rows_; }

  bool Region(int64_t c, int64_t r) const {
    if (c < 2 || r < 2) return false;
    const int64_t i = (c - 2) >> 2, j = (r - 2) >> 2;
    return i < bw_ && j < bh_ && BitAt(bits_ + rowBytes_ * j, i);
  }
  bool Border(int64_t c, int64_t r) const {
    if (c < 0 || r < 0 || c >= cols_ || r >= rows_ || Region(c, r)) return false;
    if (!Region(c - 1, r) && !Region(c + 1, r) && !Region(c, r - 1) && !Region(c, r + 1)) return false;
    return !BitAt(traced_.get() + tracedRow_ * r, c);
  }
  void Mark(int64_t c, int64_t r) { MarkBit(traced_.get() + tracedRow_ * r, c); }

  // The border cell nearest (1, 1), the top-left of all border cells, by
  // squared distance; the first in row order among equals.
  bool StartCell(int64_t& sc, int64_t& sr) const {
    int64_t best = std::numeric_limits<int64_t>::max();
    for (int64_t r = 1; r < rows_ && (r - 1) * (r - 1) < best; ++r) {
      const uint8_t* s = PixelRow(r);
      const uint8_t* u = PixelRow(r - 1);
      const uint8_t* d = PixelRow(r + 1);
      int64_t c = std::numeric_limits<int64_t>::max();
      // Left of the row's first run, or below / above a region cell that
      // this row does not have.
      if (const int64_t i = FirstSet(s, nullptr, bw_); i >= 0) c = std::min(c, 4 * i + 1);
      if (u != s)
        if (const int64_t i = FirstSet(u, s, bw_); i >= 0) c = std::min(c, 4 * i + 2);
      if (d != s)
        if (const int64_t i = FirstSet(d, s, bw_); i >= 0) c = std::min(c, 4 * i + 2);
      if (c == std::numeric_limits<int64_t>::max()) continue;
      const int64_t dist = (c - 1) * (c - 1) + (r - 1) * (r - 1);
      if (dist < best) {
        best = dist;
        sc = c;
        sr = r;
      }
    }
    return best != std::numeric_limits<int64_t>::max();
  }

 private:
  // The region row that grid row r lies in, nullptr for none.
  const uint8_t* PixelRow(int64_t r) const {
    if (r < 2) return nullptr;
    const int64_t j = (r - 2) >> 2;
    return j < bh_ ? bits_ + rowBytes_ * j : nullptr;
  }

  const uint8_t* bits_;
  int64_t rowBytes_;
  int64_t bw_, bh_, cols_, rows_;
  TBits traced_;
  int64_t tracedRow_ = 0;
};

}  // namespace

std::vector<TPXPoint> MagicWandPolygon(TPXBitmap& bitmap, int32_t x, int32_t y, int32_t tolerance, bool maxFilter) {
  std::vector<TPXPoint> out;
  TRegion region;
  if (!FindRegion(bitmap, x, y, tolerance, region)) return out;
  const int32_t left = region.minX, top = region.minY;
  const int32_t bw = region.maxX - left + 1, bh = region.maxY - top + 1;
  // The region cut to its bounds, rows starting at bit 0.
  const int64_t rowBytes = bw / 8 + 1;
  TBits bits = ZeroBlock(rowBytes * bh);
  if (!bits) return out;
  if (maxFilter) {
    std::unique_ptr<uint8_t[]> tmp(new (std::nothrow) uint8_t[static_cast<size_t>(rowBytes)]);
    if (!tmp) return out;
    for (int32_t j = 0; j < bh; ++j) {
      ExtractBits(region.Row(top + j), left, tmp.get(), bw);
      for (int32_t k = std::max(0, j - 1); k <= std::min(bh - 1, j + 1); ++k)
        OrDilated(tmp.get(), bits.get() + rowBytes * k, bw);
    }
  } else {
    for (int32_t j = 0; j < bh; ++j) ExtractBits(region.Row(top + j), left, bits.get() + rowBytes * j, bw);
  }
  region.bits.reset();

  TOutlineGrid grid(bits.get(), rowBytes, bw, bh);
  if (!grid.Allocate()) return out;
  int64_t sc = 0, sr = 0;
  if (!grid.StartCell(sc, sr)) return out;
  std::vector<uint8_t> chain;
  try {
    int64_t c = sc, r = sr;
    grid.Mark(c, r);
    int last = 4;
    for (;;) {
      // The direction last used first, then all eight in table order.
      if (grid.Border(c + kDx[last], r + kDy[last])) {
        c += kDx[last];
        r += kDy[last];
        grid.Mark(c, r);
        chain.push_back(kCode[last]);
      }
      bool found = false;
      for (int k = 0; k < 8; ++k) {
        if (grid.Border(c + kDx[k], r + kDy[k])) {
          c += kDx[k];
          r += kDy[k];
          grid.Mark(c, r);
          chain.push_back(kCode[k]);
          last = k;
          found = true;
          break;
        }
      }
      if (!found) break;
    }
    // Closing step back to the start.
    if ((c != sc || r != sr) && std::abs(sc - c) <= 1 && std::abs(sr - r) <= 1)
      for (int k = 0; k < 8; ++k)
        if (c + kDx[k] == sc && r + kDy[k] == sr) chain.push_back(kCode[k]);

    int64_t px = sc + 4 * int64_t{left} - 1, py = sr + 4 * int64_t{top} - 1;
    auto vertex = [&] { out.push_back(TPXPoint{static_cast<int32_t>(px / 4), static_cast<int32_t>(py / 4)}); };
    vertex();
    int prev = chain.empty() ? -1 : chain.front();
    for (uint8_t code : chain) {
      if (code != prev) vertex();
      prev = code;
      px += kCodeDx[code];
      py += kCodeDy[code];
    }
  } catch (const std::bad_alloc&) {
    out.clear();
  }
  return out;
}

bool MagicWandFloodFill(TPXBitmap& bitmap, int32_t x, int32_t y, uint8_t value, TPXMask& mask, int32_t tolerance,
                        bool maxFilter) {
  TRegion region;
  if (!FindRegion(bitmap, x, y, tolerance, region)) return false;
  const int32_t mw = std::min(mask.Width(), region.width), mh = std::min(mask.Height(), region.height);
  if (mw <= 0 || mh <= 0) return false;
  const int32_t grow = maxFilter ? 1 : 0;
  const int32_t x1 = std::max(0, region.minX - grow), x2 = std::min(mw - 1, region.maxX + grow);
  const int32_t y1 = std::max(0, region.minY - grow), y2 = std::min(mh - 1, region.maxY + grow);
  if (x1 > x2 || y1 > y2) return false;
  // Whole bytes of the region's columns; bits outside the mask are cleared.
  const int64_t b1 = x1 / 8, b2 = x2 / 8, n = b2 - b1 + 1;
  std::unique_ptr<uint8_t[]> row(new (std::nothrow) uint8_t[static_cast<size_t>(n)]);
  if (!row) return false;
  for (int32_t yy = y1; yy <= y2; ++yy) {
    std::memset(row.get(), 0, static_cast<size_t>(n));
    if (maxFilter) {
      for (int32_t k = std::max(0, yy - 1); k <= std::min(region.height - 1, yy + 1); ++k) {
        const uint8_t* src = region.Row(k) + b1;
        for (int64_t i = 0; i < n; ++i) {
          const uint32_t prev = b1 + i > 0 ? src[i - 1] : 0;
          const uint32_t next = b1 + i + 1 < region.rowBytes ? src[i + 1] : 0, cur = src[i];
          row[static_cast<size_t>(i)] |=
              static_cast<uint8_t>(cur | (cur << 1) | (next >> 7) | (cur >> 1) | (prev << 7));
        }
      }
    } else {
      std::memcpy(row.get(), region.Row(yy) + b1, static_cast<size_t>(n));
    }
    // Columns past the mask's width never count.
    if (((x2 + 1) & 7) != 0 && x2 + 1 >= mw)
      row[static_cast<size_t>(n - 1)] &= static_cast<uint8_t>(0xFF00u >> ((x2 + 1) & 7));
    uint8_t* dst = mask.GetRowPointer(yy);
    if (!dst) continue;
    if (mask.BitsPerPixel() == 1) {
      if (value != 0)
        for (int64_t i = 0; i < n; ++i) dst[b1 + i] |= row[static_cast<size_t>(i)];
      else
        for (int64_t i = 0; i < n; ++i) dst[b1 + i] &= static_cast<uint8_t>(~row[static_cast<size_t>(i)]);
    } else {
      for (int64_t i = 0; i < n; ++i) {
        uint8_t v = row[static_cast<size_t>(i)];
        while (v) {
          const int bit = std::countl_zero(v);
          dst[(b1 + i) * 8 + bit] = value;
          v = static_cast<uint8_t>(v & ~(0x80u >> bit));
        }
      }
    }
  }
  if (value != 0) mask.IncludeBox(x1, y1, x2, y2);
  mask.SyncFull();
  return true;
}

bool MagicWandColorMatch(TPXBitmap& bitmap, int32_t x, int32_t y, uint8_t value, TPXMask& mask, int32_t tolerance) {
  const int32_t w = std::min(bitmap.Width(), mask.Width()), h = std::min(bitmap.Height(), mask.Height());
  if (x < 0 || y < 0 || x >= bitmap.Width() || y >= bitmap.Height() || w <= 0 || h <= 0) return false;
  std::unique_ptr<uint8_t[]> hits(new (std::nothrow) uint8_t[static_cast<size_t>(w)]);
  if (!hits) return false;
  int32_t bx1 = std::numeric_limits<int32_t>::max(), by1 = bx1, bx2 = -1, by2 = -1;
  const bool oneBit = mask.BitsPerPixel() == 1;
  const bool ok = WithMatcher(bitmap, x, y, tolerance, [&](auto& m) {
    for (int32_t yy = 0; yy < h; ++yy) {
      m.row = bitmap.Scanline(yy);
      uint8_t* dst = mask.GetRowPointer(yy);
      if (!m.row || !dst) continue;
      uint8_t* hit = hits.get();
      for (int32_t xx = 0; xx < w; ++xx) hit[xx] = m(xx) ? 1 : 0;
      int32_t first = -1, last = -1;
      if (oneBit) {
        for (int32_t xx = 0; xx < w; xx += 8) {
          uint8_t bits = 0;
          const int32_t end = std::min(8, w - xx);
          for (int32_t k = 0; k < end; ++k) bits = static_cast<uint8_t>(bits | (hit[xx + k] << (7 - k)));
          if (!bits) continue;
          if (first < 0) first = xx + std::countl_zero(bits);
          last = xx + 7 - std::countr_zero(bits);
          if (value != 0) dst[xx >> 3] |= bits;
          else dst[xx >> 3] &= static_cast<uint8_t>(~bits);
        }
      } else {
        for (int32_t xx = 0; xx < w; ++xx) {
          if (!hit[xx]) continue;
          if (first < 0) first = xx;
          last = xx;
          dst[xx] = value;
        }
      }
      if (first >= 0) {
        bx1 = std::min(bx1, first);
        bx2 = std::max(bx2, last);
        by1 = std::min(by1, yy);
        by2 = yy;
      }
    }
  });
  if (!ok) return false;
  if (value != 0 && bx2 >= 0) mask.IncludeBox(bx1, by1, bx2, by2);
  mask.SyncFull();
  return true;
}

}  // namespace pixoran
