#include "core/pxmask.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"

namespace pixoran {

namespace {

constexpr uint8_t kShadeGray = 97;

inline bool TestBit(const uint8_t* row, int64_t x) { return GetBit(row, x); }
inline void PutBit(uint8_t* row, int64_t x, bool on) { SetBit(row, x, on); }

// Sets or clears bits x1..x2 (inclusive, x1 <= x2) of a 1-bit row.
void WriteBitRun(uint8_t* row, int64_t x1, int64_t x2, bool on) {
  const int64_t b1 = x1 >> 3, b2 = x2 >> 3;
  const uint8_t m1 = static_cast<uint8_t>(0xFFu >> (x1 & 7));
  const uint8_t m2 = static_cast<uint8_t>(0xFFu << (7 - (x2 & 7)));
  auto apply = [on](uint8_t& b, uint8_t m) { b = on ? static_cast<uint8_t>(b | m) : static_cast<uint8_t>(b & ~m); };
  if (b1 == b2) {
    apply(row[b1], static_cast<uint8_t>(m1 & m2));
    return;
  }
  apply(row[b1], m1);
  if (b2 > b1 + 1) std::memset(row + b1 + 1, on ? 0xFF : 0, static_cast<size_t>(b2 - b1 - 1));
  apply(row[b2], m2);
}

// Clears everything of a row from pixel x on (to the end of the row's bytes).
void ClearRowFrom(uint8_t* row, int32_t rowLen, int32_t bits, int32_t x) {
  if (bits == 8) {
    if (x < rowLen) std::memset(row + x, 0, static_cast<size_t>(rowLen - x));
    return;
  }
  int64_t byte = x >> 3;
  if (byte >= rowLen) return;
  if (x & 7) {
    row[byte] &= static_cast<uint8_t>(0xFFu << (8 - (x & 7)));
    ++byte;
  }
  if (byte < rowLen) std::memset(row + byte, 0, static_cast<size_t>(rowLen - byte));
}

inline __int128 FloorDiv128(__int128 a, __int128 b) {  // b > 0
  const __int128 q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

inline int32_t ClampTo32(int64_t v) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

// One polygon edge while it is scanned. x steps by q per row and the error
// term (twice the distance to the true line, in units of 1/dy) decides the
// extra step, so x stays on the nearest pixel, halves toward the upper end.
struct TScanEdge {
  int64_t x = 0;     // x on the current row
  int64_t yLow = 0;  // row of the lower end (not covered)
  int64_t yUp = 0;   // row of the upper end
  int64_t x0 = 0;    // x at the upper end
  int64_t dx = 0, dy = 0;
  int64_t q = 0, r = 0;  // dx = q * dy + r, truncated
  int64_t err = 0;

  void Step() {
    x += q;
    err += 2 * r;
    if (err > dy) {
      ++x;
      err -= 2 * dy;
    } else if (err < -dy) {
      --x;
      err += 2 * dy;
    }
  }
  // The state after k steps from the upper end, as k calls of Step give it.
  void StartAt(int64_t k) {
    const __int128 t = static_cast<__int128>(2) * k * r;
    const __int128 c = r >= 0 ? FloorDiv128(t + dy - 1, 2 * static_cast<__int128>(dy))
                              : FloorDiv128(t + dy, 2 * static_cast<__int128>(dy));
    x = static_cast<int64_t>(x0 + static_cast<__int128>(k) * q + c);
    err = static_cast<int64_t>(t - c * 2 * dy);
  }
};

// Ordered by x, then by slope so that edges leaving one point keep their
// order on the next rows.
inline bool EdgeBefore(const TScanEdge& a, const TScanEdge& b) {
  if (a.x != b.x) return a.x < b.x;
  return static_cast<__int128>(a.dx) * b.dy < static_cast<__int128>(b.dx) * a.dy;
}

// Zoomed positions z in [0, zoomSize) whose sample (z * step) >> 14 lies in
// [lo, hi]; the sample grows with z, so the ends are found by bisection.
// Returns false when none.
bool ZoomedRange(int64_t step, int32_t zoomSize, int32_t lo, int32_t hi, int32_t& first, int32_t& last) {
  auto sample = [step](int64_t z) { return (z * step) >> 14; };
  int64_t a = 0, b = zoomSize;  // first z with sample >= lo
  while (a < b) {
    const int64_t m = (a + b) / 2;
    if (sample(m) >= lo) b = m;
    else a = m + 1;
  }
  int64_t c = 0, d = zoomSize;  // first z with sample > hi
  while (c < d) {
    const int64_t m = (c + d) / 2;
    if (sample(m) > hi) d = m;
    else c = m + 1;
  }
  if (a >= c) return false;
  first = static_cast<int32_t>(a);
  last = static_cast<int32_t>(c - 1);
  return true;
}

inline bool Is24BitTarget(TBitmap& t) { return !t.Empty() && t.PixelFormat() == pf24bit; }

// The part of a zoomW x zoomH image drawn at (offsetX, offsetY) that falls
// inside the target, in zoomed coordinates.
TRect VisibleZoomedPart(TBitmap& target, int32_t zoomW, int32_t zoomH, int32_t offsetX, int32_t offsetY) {
  return TRect{static_cast<int>(std::max<int64_t>(0, -int64_t{offsetX})),
               static_cast<int>(std::max<int64_t>(0, -int64_t{offsetY})),
               static_cast<int>(std::min<int64_t>(zoomW, int64_t{target.Width()} - offsetX)),
               static_cast<int>(std::min<int64_t>(zoomH, int64_t{target.Height()} - offsetY))};
}

}  // namespace

// ------------------------------------------------------------------ storage

bool TPXMask::Allocate(int32_t width, int32_t height, int32_t bits) {
  FreeData();
  SetEmptyBox();
  Full = false;
  if ((bits != 1 && bits != 8) || width <= 0 || height <= 0) return false;
  const int64_t len = CalcRowLen(width, bits, 32);
  if (len <= 0) return false;
  const int64_t size = len * height;
  data_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(size)]());
  if (!data_) return false;
  width_ = width;
  height_ = height;
  bits_ = bits;
  rowLen_ = static_cast<int32_t>(len);
  return true;
}

void TPXMask::FreeData() {
  data_.reset();
  zoomBuf_.clear();
  zoomBuf_.shrink_to_fit();
  zoomRows_.clear();
  zoomRowLen_ = 0;
  zoomRect_ = TRect{};
  width_ = height_ = bits_ = rowLen_ = 0;
}

void TPXMask::Resize(int32_t width, int32_t height) {
  if (!data_) return;
  if (width <= 0 || height <= 0) {
    FreeData();
    SetEmptyBox();
    Full = false;
    return;
  }
  const int64_t len = CalcRowLen(width, bits_, 32);
  if (len <= 0) return;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[static_cast<size_t>(len * height)]());
  if (!block) return;
  const int32_t rows = std::min(height_, height);
  const int64_t n = std::min<int64_t>(rowLen_, len);
  // Only the old width's pixels come along: the old row's padding (which
  // Fill writes too) must not show up as selected columns.
  const int32_t keep = std::min(width_, width);
  for (int32_t y = 0; y < rows; ++y) {
    uint8_t* dst = block.get() + (static_cast<int64_t>(height) - y - 1) * len;
    std::memcpy(dst, GetRowPointer(y), static_cast<size_t>(n));
    ClearRowFrom(dst, static_cast<int32_t>(len), bits_, keep);
  }
  const bool grew = width > width_ || height > height_;
  data_ = std::move(block);
  width_ = width;
  height_ = height;
  rowLen_ = static_cast<int32_t>(len);
  if (grew) Full = false;  // what was gained is clear
  if (!IsEmpty()) {
    if (X1 >= width || Y1 >= height) {
      SetEmptyBox();  // the whole selection was cut away
    } else {
      X2 = std::min(X2, width - 1);
      Y2 = std::min(Y2, height - 1);
    }
  }
}

uint8_t* TPXMask::GetRowPointer(int32_t y) {
  if (!data_ || y < 0 || y >= height_) return nullptr;
  return data_.get() + (static_cast<int64_t>(height_) - y - 1) * rowLen_;
}

const uint8_t* TPXMask::GetRowPointer(int32_t y) const { return const_cast<TPXMask*>(this)->GetRowPointer(y); }

void TPXMask::ClampBox() {
  if (IsEmpty() || width_ <= 0 || height_ <= 0) return;
  X1 = std::clamp(X1, 0, width_ - 1);
  Y1 = std::clamp(Y1, 0, height_ - 1);
  X2 = std::clamp(X2, 0, width_ - 1);
  Y2 = std::clamp(Y2, 0, height_ - 1);
}

// ------------------------------------------------------------------ pixels

void TPXMask::IncludeBox(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  X1 = std::min(X1, x1);
  Y1 = std::min(Y1, y1);
  X2 = std::max(X2, x2);
  Y2 = std::max(Y2, y2);
}

void TPXMask::SetPixel(int32_t x, int32_t y, uint8_t value) {
  if (!data_ || x < 0 || y < 0 || x >= width_ || y >= height_) return;
  if (value != 0) {
    IncludeBox(x, y, x, y);
    ClampBox();
  }
  if (Full) Full = bits_ == 8 ? value == 255 : value != 0;
  uint8_t* row = GetRowPointer(y);
  if (bits_ == 1) {
    PutBit(row, x, value != 0);
  } else {
    row[x] = value;
  }
}

uint8_t TPXMask::GetPixel(int32_t x, int32_t y) const {
  if (!data_ || x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  const uint8_t* row = GetRowPointer(y);
  if (bits_ == 1) return TestBit(row, x) ? 255 : 0;
  return row[x];
}

int32_t TPXMask::FillSpan(uint8_t value, int32_t x1, int32_t y, int32_t x2) {
  if (!data_ || y < 0 || y >= height_) return 0;
  x1 = std::max(x1, 0);
  x2 = std::min(x2, width_ - 1);
  if (x2 < x1) return 0;
  if (Full) Full = bits_ == 8 ? value == 255 : value != 0;
  uint8_t* row = GetRowPointer(y);
  if (bits_ == 1) {
    WriteBitRun(row, x1, x2, value != 0);
  } else {
    std::memset(row + x1, value, static_cast<size_t>(x2 - x1 + 1));
  }
  return x2 - x1 + 1;
}

void TPXMask::Fill(uint8_t value) {
  if (!data_) {
    Full = false;
    return;
  }
  std::memset(data_.get(), value, static_cast<size_t>(static_cast<int64_t>(rowLen_) * height_));
  Full = value == 255;
}

void TPXMask::Clear() {
  Fill(0);
  SetEmptyBox();
}

void TPXMask::SyncBox() {
  SetEmptyBox();
  if (!data_) return;
  int32_t bx1 = kEmptyBox, by1 = kEmptyBox, bx2 = -1, by2 = -1;
  const int32_t fullBytes = width_ / 8;
  const int32_t rem = width_ % 8;
  for (int32_t y = 0; y < height_; ++y) {
    const uint8_t* row = GetRowPointer(y);
    int32_t first = -1, last = -1;
    if (bits_ == 8) {
      for (int32_t x = 0; x < width_; ++x) {
        if (row[x]) {
          first = x;
          break;
        }
      }
      if (first < 0) continue;
      for (int32_t x = width_ - 1; x >= first; --x) {
        if (row[x]) {
          last = x;
          break;
        }
      }
    } else {
      const int32_t nbytes = fullBytes + (rem ? 1 : 0);
      auto byteAt = [&](int32_t i) -> uint8_t {
        return (i == fullBytes && rem) ? static_cast<uint8_t>(row[i] & (0xFFu << (8 - rem))) : row[i];
      };
      for (int32_t i = 0; i < nbytes; ++i) {
        if (const uint8_t b = byteAt(i)) {
          first = i * 8 + std::countl_zero(b);
          break;
        }
      }
      if (first < 0) continue;
      for (int32_t i = nbytes - 1; i >= 0; --i) {
        if (const uint8_t b = byteAt(i)) {
          last = i * 8 + 7 - std::countr_zero(b);
          break;
        }
      }
    }
    bx1 = std::min(bx1, first);
    bx2 = std::max(bx2, last);
    by1 = std::min(by1, y);
    by2 = y;
  }
  if (by2 < 0) return;
  X1 = bx1, Y1 = by1, X2 = bx2, Y2 = by2;
}

void TPXMask::SyncFull() {
  Full = false;
  if (!data_) return;
  for (int32_t y = 0; y < height_; ++y) {
    const uint8_t* row = GetRowPointer(y);
    if (bits_ == 8) {
      for (int32_t x = 0; x < width_; ++x)
        if (row[x] != 255) return;
    } else {
      const int32_t fullBytes = width_ / 8;
      for (int32_t i = 0; i < fullBytes; ++i)
        if (row[i] != 255) return;
      for (int32_t x = fullBytes * 8; x < width_; ++x)
        if (!TestBit(row, x)) return;
    }
  }
  Full = true;
}

// ----------------------------------------------------------------- polygons

void TPXMask::FillPolygons(uint8_t value, const TPXPoint* points, int32_t count) {
  if (points && count > 0) {
    int32_t start = 0;
    for (int32_t i = 0; i <= count; ++i) {
      if (i == count || points[i].X == kPXPolygonSeparator) {
        if (i > start) FillPolygon(value, points + start, i - start);
        start = i + 1;
      }
    }
  }
  SyncFull();
}

int64_t TPXMask::FillPolygon(uint8_t value, const TPXPoint* points, int32_t count) {
  const int32_t ox1 = X1, oy1 = Y1, ox2 = X2, oy2 = Y2;
  if (!points || count <= 0) return 0;
  if (value != 0) {
    for (int32_t i = 0; i < count; ++i) {
      X1 = std::min(X1, points[i].X);
      Y1 = std::min(Y1, points[i].Y);
      // The spans stop one short of the right-most crossing and the last row
      // is not covered, hence the minus one.
      if (int64_t{points[i].X} - 1 > X2) X2 = points[i].X - 1;
      if (int64_t{points[i].Y} - 1 > Y2) Y2 = points[i].Y - 1;
    }
    ClampBox();
  }
  const int64_t written = ScanPolygon(value, points, count);
  if (written == 0) {
    // Nothing selected: the box stays what it was (empty on a fresh mask).
    X1 = ox1, Y1 = oy1, X2 = ox2, Y2 = oy2;
  }
  return written;
}

int64_t TPXMask::ScanPolygon(uint8_t value, const TPXPoint* points, int32_t count) {
  if (!data_ || count < 2) return 0;
  std::vector<TScanEdge> edges;
  edges.reserve(static_cast<size_t>(count));
  int64_t minY = std::numeric_limits<int64_t>::max(), maxY = std::numeric_limits<int64_t>::min();
  for (int32_t i = 0; i < count; ++i) {
    const TPXPoint& a = points[i];
    const TPXPoint& b = points[(i + 1) % count];
    minY = std::min<int64_t>(minY, a.Y);
    maxY = std::max<int64_t>(maxY, a.Y);
    if (a.Y == b.Y) continue;  // horizontal edges cross no row
    const TPXPoint& up = a.Y < b.Y ? a : b;
    const TPXPoint& low = a.Y < b.Y ? b : a;
    TScanEdge e;
    e.x0 = e.x = up.X;
    e.yUp = up.Y;
    e.yLow = low.Y;
    e.dx = static_cast<int64_t>(low.X) - up.X;
    e.dy = static_cast<int64_t>(low.Y) - up.Y;
    e.q = e.dx / e.dy;
    e.r = e.dx - e.q * e.dy;
    edges.push_back(e);
  }
  if (edges.empty()) return 0;
  std::stable_sort(edges.begin(), edges.end(), [](const TScanEdge& a, const TScanEdge& b) { return a.yUp < b.yUp; });

  // The bottom row is never covered; rows outside the mask write nothing, so
  // the scan starts at the first row inside, with the edges already crossing
  // it placed directly.
  const int64_t yFirst = std::max<int64_t>(minY, 0);
  const int64_t yLast = std::min<int64_t>(maxY - 1, height_ - 1);
  std::vector<TScanEdge> active;
  size_t next = 0;
  int64_t written = 0;
  for (int64_t y = yFirst; y <= yLast; ++y) {
    std::erase_if(active, [y](const TScanEdge& e) { return e.yLow <= y; });
    for (TScanEdge& e : active) e.Step();
    // Crossing edges swap places; keep the list ordered (insertion sort:
    // it is nearly sorted from the row before).
    for (size_t i = 1; i < active.size(); ++i) {
      for (size_t j = i; j > 0 && EdgeBefore(active[j], active[j - 1]); --j) std::swap(active[j], active[j - 1]);
    }
    while (next < edges.size() && edges[next].yUp <= y) {
      TScanEdge e = edges[next++];
      if (e.yLow <= y) continue;
      e.StartAt(y - e.yUp);
      const auto at = std::upper_bound(active.begin(), active.end(), e, EdgeBefore);
      active.insert(at, e);
    }
    for (size_t i = 0; i + 1 < active.size(); i += 2) {
      const int64_t xa = active[i].x;
      const int64_t xb = active[i + 1].x - 1;
      if (xb >= xa && xb >= 0 && xa < width_)
        written += FillSpan(value, ClampTo32(xa), static_cast<int32_t>(y), ClampTo32(xb));
    }
  }
  return written;
}

// ---------------------------------------------------------------- translate

void TPXMask::Translate(int32_t dx, int32_t dy, bool cut) {
  if (!data_ || IsEmpty()) return;
  ClampBox();
  const int32_t oy1 = Y1, oy2 = Y2;  // all content lies in the box's rows
  int64_t ddx = dx, ddy = dy;
  int64_t bx1 = X1, by1 = Y1, bx2 = X2, by2 = Y2;
  if (cut) {
    // Keep only the part whose new place is inside the mask.
    bx1 = std::max<int64_t>(bx1, -ddx);
    bx2 = std::min<int64_t>(bx2, width_ - 1 - ddx);
    by1 = std::max<int64_t>(by1, -ddy);
    by2 = std::min<int64_t>(by2, height_ - 1 - ddy);
  } else {
    // Shorten the move so the box stays inside.
    ddx = ddx > 0 ? std::min<int64_t>(ddx, width_ - 1 - bx2) : std::max<int64_t>(ddx, -bx1);
    ddy = ddy > 0 ? std::min<int64_t>(ddy, height_ - 1 - by2) : std::max<int64_t>(ddy, -by1);
  }
  if (ddx == 0 && ddy == 0) return;
  const bool anyLeft = bx1 <= bx2 && by1 <= by2;
  const int64_t n = anyLeft ? bx2 - bx1 + 1 : 0;
  const int64_t rows = anyLeft ? by2 - by1 + 1 : 0;

  if (bits_ == 1) {
    const int64_t rowBytes = (n + 7) / 8;
    std::vector<uint8_t> aside(static_cast<size_t>(rowBytes * rows));
    for (int64_t i = 0; i < rows; ++i)
      CopyBitRun(GetRowPointer(static_cast<int32_t>(by1 + i)), bx1, aside.data() + i * rowBytes, 0, n);
    for (int32_t y = oy1; y <= oy2; ++y) std::memset(GetRowPointer(y), 0, static_cast<size_t>(rowLen_));
    for (int64_t i = 0; i < rows; ++i)
      CopyBitRun(aside.data() + i * rowBytes, 0, GetRowPointer(static_cast<int32_t>(by1 + i + ddy)), bx1 + ddx, n);
  } else {
    std::vector<uint8_t> aside(static_cast<size_t>(n * rows));
    for (int64_t i = 0; i < rows; ++i)
      std::memcpy(aside.data() + i * n, GetRowPointer(static_cast<int32_t>(by1 + i)) + bx1, static_cast<size_t>(n));
    std::memset(data_.get(), 0, static_cast<size_t>(static_cast<int64_t>(rowLen_) * height_));
    for (int64_t i = 0; i < rows; ++i)
      std::memcpy(GetRowPointer(static_cast<int32_t>(by1 + i + ddy)) + bx1 + ddx, aside.data() + i * n,
                  static_cast<size_t>(n));
  }
  Full = false;
  if (!anyLeft) {
    SetEmptyBox();
    return;
  }
  X1 = static_cast<int32_t>(bx1 + ddx);
  X2 = static_cast<int32_t>(bx2 + ddx);
  Y1 = static_cast<int32_t>(by1 + ddy);
  Y2 = static_cast<int32_t>(by2 + ddy);
  ClampBox();
}

// ----------------------------------------------------- copies through the mask

namespace {

// Rows of a bitmap, or of a snapshot of them when the bitmap is also the
// destination (its rows change under the copy, and a temporary-file bitmap
// keeps only one row mapped).
class TSourceRows {
 public:
  TSourceRows(TPXBitmap& bitmap, bool snapshot, int32_t first, int32_t last) : bitmap_(bitmap) {
    if (!snapshot || first > last) return;
    first_ = first;
    len_ = bitmap.RowLen();
    copy_.resize(static_cast<size_t>(static_cast<int64_t>(last - first + 1) * len_));
    for (int32_t y = first; y <= last; ++y) {
      const uint8_t* row = bitmap.Scanline(y);
      if (row) std::memcpy(copy_.data() + static_cast<int64_t>(y - first) * len_, row, static_cast<size_t>(len_));
    }
    snap_ = true;
  }
  const uint8_t* Row(int32_t y) {
    if (snap_) return copy_.data() + static_cast<int64_t>(y - first_) * len_;
    return bitmap_.Scanline(y);
  }

 private:
  TPXBitmap& bitmap_;
  std::vector<uint8_t> copy_;
  int32_t first_ = 0;
  int64_t len_ = 0;
  bool snap_ = false;
};

// The part of a mask's box whose pixels lie inside both bitmaps: mask pixel
// (x, y) reads the source at (x - sox, y - soy) and the destination at
// (x - dox, y - doy).
struct TClip {
  int32_t x1, y1, x2, y2;
  bool Empty() const { return x1 > x2 || y1 > y2; }
};
TClip ClipBox(const TPXMask& m, int32_t sox, int32_t soy, int32_t sw, int32_t sh, int32_t dox, int32_t doy, int32_t dw,
              int32_t dh) {
  TClip c;
  c.x1 = std::max({m.X1, 0, sox, dox});
  c.y1 = std::max({m.Y1, 0, soy, doy});
  c.x2 = static_cast<int32_t>(std::min<int64_t>({m.X2, m.Width() - 1, int64_t{sox} + sw - 1, int64_t{dox} + dw - 1}));
  c.y2 = static_cast<int32_t>(std::min<int64_t>({m.Y2, m.Height() - 1, int64_t{soy} + sh - 1, int64_t{doy} + dh - 1}));
  return c;
}

}  // namespace

void TPXMask::CopyBitmapThroughMask(TPXBitmap& dest, TPXBitmap& source, bool withAlpha, bool sourceRelative,
                                    bool destRelative) {
  if (!data_ || IsEmpty()) return;
  const TPXPixelFormat fmt = source.PixelFormat();
  const bool known = fmt == pxBGR24 || fmt == pxGray8 || fmt == pxPal8 || fmt == pxBW1;
  if (known && dest.PixelFormat() == fmt) {
    const int32_t sox = sourceRelative ? X1 : 0, soy = sourceRelative ? Y1 : 0;
    const int32_t dox = destRelative ? X1 : 0, doy = destRelative ? Y1 : 0;
    const TClip c = ClipBox(*this, sox, soy, source.Width(), source.Height(), dox, doy, dest.Width(), dest.Height());
    if (!c.Empty()) {
      TSourceRows srcRows(source, &source == &dest, c.y1 - soy, c.y2 - soy);
      for (int32_t y = c.y1; y <= c.y2; ++y) {
        const uint8_t* m = GetRowPointer(y);
        const uint8_t* s = srcRows.Row(y - soy);
        uint8_t* d = dest.Scanline(y - doy);
        if (!s || !d) continue;
        const int64_t so = -int64_t{sox}, dof = -int64_t{dox};  // mask x to bitmap x
        if (bits_ == 1) {
          for (int32_t x = c.x1; x <= c.x2; ++x) {
            if (!TestBit(m, x)) continue;
            const int64_t sx = x + so, dx = x + dof;
            switch (fmt) {
              case pxBGR24: d[dx * 3] = s[sx * 3], d[dx * 3 + 1] = s[sx * 3 + 1], d[dx * 3 + 2] = s[sx * 3 + 2]; break;
              case pxBW1: PutBit(d, dx, TestBit(s, sx)); break;
              default: d[dx] = s[sx]; break;
            }
          }
        } else {
          for (int32_t x = c.x1; x <= c.x2; ++x) {
            const int32_t mv = m[x];
            if (mv == 0) continue;
            const int64_t sx = x + so, dx = x + dof;
            switch (fmt) {
              case pxBGR24:
                for (int k = 0; k < 3; ++k) {
                  const int32_t dv = d[dx * 3 + k];
                  d[dx * 3 + k] = static_cast<uint8_t>(dv + (((s[sx * 3 + k] - dv) * (mv << 10)) >> 18));
                }
                break;
              case pxBW1: PutBit(d, dx, TestBit(s, sx)); break;
              default: {
                const int32_t dv = d[dx];
                d[dx] = static_cast<uint8_t>(dv + (((s[sx] - dv) * mv) >> 8));
                break;
              }
            }
          }
        }
      }
    }
  }
  if (withAlpha) CopyAlphaThroughMask(dest, source, sourceRelative, destRelative);
}

void TPXMask::CopyAlphaThroughMask(TPXBitmap& dest, TPXBitmap& source, bool sourceRelative, bool destRelative) {
  if (!data_ || IsEmpty()) return;
  TPXBitmap* da = dest.GetAlphaChannel();
  if (!da) return;
  TPXBitmap* sa = source.HasAlphaChannel() ? source.GetAlphaChannel() : nullptr;
  const int32_t sox = sourceRelative ? X1 : 0, soy = sourceRelative ? Y1 : 0;
  const int32_t dox = destRelative ? X1 : 0, doy = destRelative ? Y1 : 0;
  const TClip c = ClipBox(*this, sox, soy, sa ? sa->Width() : source.Width(), sa ? sa->Height() : source.Height(), dox,
                          doy, da->Width(), da->Height());
  da->Full = false;
  if (c.Empty()) return;
  std::unique_ptr<TSourceRows> srcRows;
  if (sa) srcRows = std::make_unique<TSourceRows>(*sa, sa == da, c.y1 - soy, c.y2 - soy);
  for (int32_t y = c.y1; y <= c.y2; ++y) {
    const uint8_t* m = GetRowPointer(y);
    const uint8_t* s = srcRows ? srcRows->Row(y - soy) : nullptr;
    uint8_t* d = da->Scanline(y - doy);
    if (!d || (srcRows && !s)) continue;
    for (int32_t x = c.x1; x <= c.x2; ++x) {
      const int32_t mv = bits_ == 1 ? (TestBit(m, x) ? 255 : 0) : m[x];
      const int32_t av = s ? s[x - sox] : 255;
      d[x - dox] = static_cast<uint8_t>(mv == 0 ? 0 : std::min(av, mv));
    }
  }
}

// ----------------------------------------------------------------- drawing

void ZoomMaskRows(int32_t bits, uint8_t* const* destRows, int32_t destRowLen, int32_t zoomW, int32_t zoomH,
                  int32_t boxX1, int32_t boxY1, int32_t boxX2, int32_t boxY2, const uint8_t* srcData, int32_t srcRowLen,
                  int32_t srcW, int32_t srcH, const TRect& part) {
  const int32_t rows = std::max(part.Height(), 0);
  for (int32_t i = 0; i < rows; ++i) std::memset(destRows[i], 0, static_cast<size_t>(destRowLen));
  if (!srcData || zoomW <= 0 || zoomH <= 0 || srcW <= 0 || srcH <= 0 || part.Width() <= 0 || rows <= 0) return;
  if (part.Left < 0 || part.Top < 0 || part.Right > zoomW || part.Bottom > zoomH) return;
  boxX1 = std::max(boxX1, 0), boxY1 = std::max(boxY1, 0);
  boxX2 = std::min(boxX2, srcW - 1), boxY2 = std::min(boxY2, srcH - 1);
  if (boxX1 > boxX2 || boxY1 > boxY2) return;
  const int64_t stepX = (int64_t{srcW} << 14) / zoomW;
  const int64_t stepY = (int64_t{srcH} << 14) / zoomH;
  int32_t zx1, zx2, zy1, zy2;
  if (!ZoomedRange(stepX, zoomW, boxX1, boxX2, zx1, zx2) || !ZoomedRange(stepY, zoomH, boxY1, boxY2, zy1, zy2)) return;
  zx1 = std::max(zx1, part.Left), zx2 = std::min(zx2, part.Right - 1);
  zy1 = std::max(zy1, part.Top), zy2 = std::min(zy2, part.Bottom - 1);
  if (zx1 > zx2 || zy1 > zy2) return;
  // Source column of each visited zoomed column, computed once.
  std::vector<int32_t> sx(static_cast<size_t>(zx2 - zx1 + 1));
  for (int32_t zx = zx1; zx <= zx2; ++zx) sx[static_cast<size_t>(zx - zx1)] = static_cast<int32_t>((zx * stepX) >> 14);
  for (int32_t zy = zy1; zy <= zy2; ++zy) {
    const int64_t sy = (zy * stepY) >> 14;
    const uint8_t* src = srcData + (srcH - sy - 1) * int64_t{srcRowLen};
    uint8_t* dst = destRows[zy - part.Top];
    const int32_t base = zx1 - part.Left;
    if (bits == 1) {
      for (size_t i = 0; i < sx.size(); ++i)
        if (TestBit(src, sx[i])) PutBit(dst, base + static_cast<int64_t>(i), true);
    } else {
      for (size_t i = 0; i < sx.size(); ++i) dst[base + i] = src[sx[i]];
    }
  }
}

void TPXMask::BuildZoomCache(int32_t zoomW, int32_t zoomH, const TRect& part) {
  const int32_t pw = part.Width(), ph = part.Height();
  const int64_t len = CalcRowLen(pw, bits_, 32);
  if (len != zoomRowLen_ || ph != static_cast<int32_t>(zoomRows_.size())) {
    zoomBuf_.assign(static_cast<size_t>(len * ph), 0);
    zoomBuf_.shrink_to_fit();
    zoomRows_.resize(static_cast<size_t>(ph));
    for (int32_t i = 0; i < ph; ++i) zoomRows_[static_cast<size_t>(i)] = zoomBuf_.data() + (int64_t{ph} - i - 1) * len;
    zoomRowLen_ = static_cast<int32_t>(len);
  }
  zoomRect_ = part;
  ZoomMaskRows(bits_, zoomRows_.data(), zoomRowLen_, zoomW, zoomH, X1, Y1, X2, Y2, data_.get(), rowLen_, width_,
               height_, part);
}

void TPXMask::DrawXor(TBitmap& target, const TRect& destRect, const TRect& sourceRect) {
  if (bits_ != 1 || !data_ || IsEmpty() || !Is24BitTarget(target)) return;
  const int32_t dw = destRect.Width(), dh = destRect.Height();
  const int32_t sw = sourceRect.Width(), sh = sourceRect.Height();
  if (dw <= 0 || dh <= 0 || sw <= 0 || sh <= 0) return;
  const int64_t stepX = (int64_t{sw} << 14) / dw;
  const int64_t stepY = (int64_t{sh} << 14) / dh;
  // Destination columns inside the target whose source column is in the box.
  const int32_t cx0 = std::max(destRect.Left, 0), cx1 = std::min(destRect.Right, target.Width());
  const int32_t cy0 = std::max(destRect.Top, 0), cy1 = std::min(destRect.Bottom, target.Height());
  const int32_t bx1 = std::max(X1, 0), bx2 = std::min(X2, width_ - 1);
  const int32_t by1 = std::max(Y1, 0), by2 = std::min(Y2, height_ - 1);
  std::vector<int32_t> cols, srcCol;
  for (int32_t c = cx0; c < cx1; ++c) {
    const int64_t sx = sourceRect.Left + ((int64_t{c} - destRect.Left) * stepX >> 14);
    if (sx >= bx1 && sx <= bx2) cols.push_back(c), srcCol.push_back(static_cast<int32_t>(sx));
  }
  if (cols.empty()) return;
  for (int32_t r = cy0; r < cy1; ++r) {
    const int64_t sy = sourceRect.Top + ((int64_t{r} - destRect.Top) * stepY >> 14);
    if (sy < by1 || sy > by2) continue;
    const uint8_t* m = GetRowPointer(static_cast<int32_t>(sy));
    uint8_t* t = target.ScanLine(r);
    if (!m || !t) continue;
    for (size_t i = 0; i < cols.size(); ++i) {
      if (!TestBit(m, srcCol[i])) continue;
      uint8_t* p = t + int64_t{cols[i]} * 3;
      p[0] ^= 0xFF, p[1] ^= 0xFF, p[2] ^= 0xFF;
    }
  }
}

void TPXMask::DrawOutline(TBitmap& target, TColor color1, TColor color2, int32_t zoomW, int32_t zoomH, int32_t offsetX,
                          int32_t offsetY, int32_t phaseX, int32_t phaseY) {
  if (zoomW <= 0 || zoomH <= 0 || !data_ || IsEmpty() || !Is24BitTarget(target)) return;
  // Visible part of the zoomed mask, in zoomed coordinates.
  const TRect vis = VisibleZoomedPart(target, zoomW, zoomH, offsetX, offsetY);
  if (vis.Width() <= 0 || vis.Height() <= 0) return;
  // One more zoomed pixel around the visible part, so the pixels at its edge
  // see their true neighbours; beyond the zoomed image everything is clear.
  const TRect part{std::max(vis.Left - 1, 0), std::max(vis.Top - 1, 0), std::min(vis.Right + 1, zoomW),
                   std::min(vis.Bottom + 1, zoomH)};
  BuildZoomCache(zoomW, zoomH, part);
  const int64_t stepX = (int64_t{width_} << 14) / zoomW;
  const int64_t stepY = (int64_t{height_} << 14) / zoomH;
  int32_t zx1, zx2, zy1, zy2;
  if (!ZoomedRange(stepX, zoomW, X1, X2, zx1, zx2) || !ZoomedRange(stepY, zoomH, Y1, Y2, zy1, zy2)) return;
  zx1 = std::max(zx1, vis.Left), zx2 = std::min(zx2, vis.Right - 1);
  zy1 = std::max(zy1, vis.Top), zy2 = std::min(zy2, vis.Bottom - 1);
  const TBGR c1 = ColorToBGR(color1), c2 = ColorToBGR(color2);
  const bool oneBit = bits_ == 1;
  auto cached = [&](int32_t zy) -> const uint8_t* {
    return (zy < part.Top || zy >= part.Bottom) ? nullptr : zoomRows_[static_cast<size_t>(zy - part.Top)];
  };
  auto isSet = [&](const uint8_t* row, int32_t zx) -> bool {
    if (!row || zx < part.Left || zx >= part.Right) return false;
    const int32_t i = zx - part.Left;
    return oneBit ? TestBit(row, i) : row[i] != 0;
  };
  for (int32_t zy = zy1; zy <= zy2; ++zy) {
    const uint8_t* above = cached(zy - 1);
    const uint8_t* here = cached(zy);
    const uint8_t* below = cached(zy + 1);
    uint8_t* t = target.ScanLine(zy + offsetY);
    if (!t) continue;
    for (int32_t zx = zx1; zx <= zx2; ++zx) {
      if (!isSet(here, zx)) continue;
      const bool inner = isSet(above, zx - 1) && isSet(above, zx) && isSet(above, zx + 1) && isSet(here, zx - 1) &&
                         isSet(here, zx + 1) && isSet(below, zx - 1) && isSet(below, zx) && isSet(below, zx + 1);
      if (inner) continue;
      const TBGR& c = ((int64_t{zx} + zy + phaseX + phaseY) & 4) == 0 ? c1 : c2;
      uint8_t* p = t + (int64_t{zx} + offsetX) * 3;
      p[0] = c.b, p[1] = c.g, p[2] = c.r;
    }
  }
}

void TPXMask::DrawToTBitmap(TBitmap& target, int32_t offsetX, int32_t offsetY, int32_t zoomW, int32_t zoomH) {
  if (zoomW <= 0 || zoomH <= 0 || !data_ || IsEmpty() || !Is24BitTarget(target)) return;
  const TRect vis = VisibleZoomedPart(target, zoomW, zoomH, offsetX, offsetY);
  if (vis.Width() <= 0 || vis.Height() <= 0) return;
  BuildZoomCache(zoomW, zoomH, vis);
  const bool oneBit = bits_ == 1;
  for (int32_t zy = vis.Top; zy < vis.Bottom; ++zy) {
    const uint8_t* z = zoomRows_[static_cast<size_t>(zy - vis.Top)];
    uint8_t* t = target.ScanLine(zy + offsetY);
    if (!t) continue;
    // Half-tone: only where column and row are both even or both odd.
    for (int32_t zx = vis.Left + ((vis.Left ^ zy) & 1); zx < vis.Right; zx += 2) {
      const int32_t i = zx - vis.Left;
      if (oneBit ? TestBit(z, i) : z[i] != 0) continue;
      uint8_t* p = t + (int64_t{zx} + offsetX) * 3;
      p[0] = p[1] = p[2] = kShadeGray;
    }
  }
}

// ------------------------------------------------- drawing placed by tables

namespace {

// Bytes a pixel of a target the placed drawings take, 0 for other formats.
int32_t PlacedPixelBytes(const TBitmap& t) {
  if (t.Empty()) return 0;
  return t.PixelFormat() == pf24bit ? 3 : t.PixelFormat() == pf32bit ? 4 : 0;
}

// The target columns (rows) a placed drawing may touch: inside the target,
// the placement and the clip. False when none.
bool PlacedRange(const std::vector<int32_t>& table, int32_t size, int32_t clipLo, int32_t clipHi, int32_t& lo,
                 int32_t& hi) {
  lo = std::max(clipLo, 0);
  hi = std::min({clipHi, size, static_cast<int32_t>(table.size()) - 2});
  return lo < hi;
}

}  // namespace

void TPXMask::GatherRow(int32_t row, const int32_t* cols, int32_t count, uint8_t* out) const {
  if (row < 0 || row >= height_ || !data_) {
    std::memset(out, 0, static_cast<size_t>(std::max(count, 0)));
    return;
  }
  const uint8_t* m = data_.get() + (int64_t{height_} - row - 1) * rowLen_;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t c = cols[i];
    out[i] = c >= 0 && c < width_ && (bits_ == 1 ? TestBit(m, c) : m[c] != 0);
  }
}

void TPXMask::GatherPlacedRows(TBitmap& target, const TPXMaskPlacement& place, int32_t x1, int32_t x2, int32_t y1,
                               int32_t y2, int32_t rowLo, int32_t rowHi,
                               const std::function<void(int32_t y, uint8_t* row, const uint8_t* set)>& body) const {
  std::vector<uint8_t> set(static_cast<size_t>(x2 - x1));
  int32_t gathered = -2;
  for (int32_t y = y1; y < y2; ++y) {
    const int32_t r = place.Rows[static_cast<size_t>(y) + 1];
    if (r < rowLo || r > rowHi) continue;
    // At high zooms many target rows show one mask row: gather it once.
    if (r != gathered) GatherRow(r, place.Cols.data() + x1 + 1, x2 - x1, set.data());
    gathered = r;
    if (uint8_t* t = target.ScanLine(y)) body(y, t, set.data());
  }
}

void TPXMask::DrawXorPlaced(TBitmap& target, const TPXMaskPlacement& place, const TRect& clip) {
  const int32_t bpp = PlacedPixelBytes(target);
  int32_t x1, x2, y1, y2;
  if (bits_ != 1 || !data_ || IsEmpty() || bpp == 0 ||
      !PlacedRange(place.Cols, target.Width(), clip.Left, clip.Right, x1, x2) ||
      !PlacedRange(place.Rows, target.Height(), clip.Top, clip.Bottom, y1, y2))
    return;
  GatherPlacedRows(target, place, x1, x2, y1, y2, Y1, Y2, [&](int32_t, uint8_t* t, const uint8_t* set) {
    for (int32_t x = x1; x < x2; ++x) {
      if (!set[x - x1]) continue;
      uint8_t* p = t + int64_t{x} * bpp;
      p[0] ^= 0xFF, p[1] ^= 0xFF, p[2] ^= 0xFF;
    }
  });
}

void TPXMask::DrawOutlinePlaced(TBitmap& target, const TPXMaskPlacement& place, TColor color1, TColor color2,
                                int32_t phase, const TRect& clip) {
  const int32_t bpp = PlacedPixelBytes(target);
  int32_t x1, x2, y1, y2;
  if (!data_ || IsEmpty() || bpp == 0 || !PlacedRange(place.Cols, target.Width(), clip.Left, clip.Right, x1, x2) ||
      !PlacedRange(place.Rows, target.Height(), clip.Top, clip.Bottom, y1, y2))
    return;
  // Only the columns and rows showing the box can hold an edge.
  auto inBox = [](int32_t v, int32_t lo, int32_t hi) { return v >= lo && v <= hi; };
  while (x1 < x2 && !inBox(place.Cols[static_cast<size_t>(x1) + 1], X1, X2)) ++x1;
  while (x2 > x1 && !inBox(place.Cols[static_cast<size_t>(x2)], X1, X2)) --x2;
  while (y1 < y2 && !inBox(place.Rows[static_cast<size_t>(y1) + 1], Y1, Y2)) ++y1;
  while (y2 > y1 && !inBox(place.Rows[static_cast<size_t>(y2)], Y1, Y2)) --y2;
  if (x1 >= x2 || y1 >= y2) return;
  // Each row of set flags spans x1 - 1 .. x2 (the neighbours included); a
  // row and its horizontal "all three set" flags are kept per mask row, so
  // the rows of one mask row (high zooms) are gathered once.
  const int32_t n = x2 - x1 + 2;
  struct TRowFlags {
    int32_t Row = -2;
    std::vector<uint8_t> Set, Three;
  };
  TRowFlags rowCache[3];
  int32_t needed[3] = {-2, -2, -2};  // the mask rows the target row being drawn looks at
  auto flags = [&](int32_t y) -> const TRowFlags& {
    const int32_t r = place.Rows[static_cast<size_t>(y) + 1];
    for (const TRowFlags& s : rowCache)
      if (s.Row == r) return s;
    // A slot no row of this step needs (three rows at most: one is free).
    int k = 0;
    while (k < 2 && (rowCache[k].Row == needed[0] || rowCache[k].Row == needed[1] || rowCache[k].Row == needed[2])) ++k;
    TRowFlags& s = rowCache[k];
    s.Row = r;
    s.Set.resize(static_cast<size_t>(n));
    s.Three.resize(static_cast<size_t>(n));
    GatherRow(r, place.Cols.data() + x1, n, s.Set.data());
    s.Three[0] = s.Three[static_cast<size_t>(n) - 1] = 0;
    for (int32_t i = 1; i + 1 < n; ++i) s.Three[static_cast<size_t>(i)] = s.Set[i - 1] & s.Set[i] & s.Set[i + 1];
    return s;
  };
  const TBGR c1 = ColorToBGR(color1), c2 = ColorToBGR(color2);
  for (int32_t y = y1; y < y2; ++y) {
    for (int k = 0; k < 3; ++k) needed[k] = place.Rows[static_cast<size_t>(y) + static_cast<size_t>(k)];
    const TRowFlags& above = flags(y - 1);
    const TRowFlags& below = flags(y + 1);
    const TRowFlags& here = flags(y);
    uint8_t* t = target.ScanLine(y);
    if (!t) continue;
    const int64_t zy = place.ZoomY + y;
    for (int32_t i = 1; i + 1 < n; ++i) {
      if (!here.Set[static_cast<size_t>(i)] ||
          (above.Three[static_cast<size_t>(i)] & here.Three[static_cast<size_t>(i)] &
           below.Three[static_cast<size_t>(i)]))
        continue;
      const int32_t x = x1 + i - 1;
      const TBGR& c = ((place.ZoomX + x + zy + phase) & 4) == 0 ? c1 : c2;
      uint8_t* p = t + int64_t{x} * bpp;
      p[0] = c.b, p[1] = c.g, p[2] = c.r;
    }
  }
}

void TPXMask::ShadePlaced(TBitmap& target, const TPXMaskPlacement& place, const TRect& clip) {
  const int32_t bpp = PlacedPixelBytes(target);
  int32_t x1, x2, y1, y2;
  if (!data_ || IsEmpty() || bpp == 0 || !PlacedRange(place.Cols, target.Width(), clip.Left, clip.Right, x1, x2) ||
      !PlacedRange(place.Rows, target.Height(), clip.Top, clip.Bottom, y1, y2))
    return;
  // Rows beside the picture (-1) are not shaded.
  GatherPlacedRows(target, place, x1, x2, y1, y2, 0, INT32_MAX, [&](int32_t y, uint8_t* t, const uint8_t* set) {
    // Half-tone: where the zoomed column and row are both even or both odd.
    const int64_t zy = place.ZoomY + y;
    for (int32_t x = x1 + static_cast<int32_t>((place.ZoomX + x1 + zy) & 1); x < x2; x += 2) {
      if (place.Cols[static_cast<size_t>(x) + 1] < 0 || set[x - x1]) continue;
      uint8_t* p = t + int64_t{x} * bpp;
      p[0] = p[1] = p[2] = kShadeGray;
    }
  });
}

// ------------------------------------------------- bitmap <-> mask copies

void CopyMaskToBitmap(const TPXMask* mask, TPXBitmap& bitmap) {
  if (!mask) {
    bitmap.Fill(255);
    return;
  }
  const int32_t bits = mask->BitsPerPixel();
  if (bits != 1 && bits != 8) return;
  if (!bitmap.Allocate(mask->Width(), mask->Height(), bits == 1 ? pxBW1 : pxGray8)) return;
  const int64_t n = std::min<int64_t>(bitmap.RowLen(), mask->RowLen());
  for (int32_t y = 0; y < mask->Height(); ++y) {
    uint8_t* row = bitmap.Scanline(y);
    if (!row) return;
    std::memcpy(row, mask->GetRowPointer(y), static_cast<size_t>(n));
  }
  bitmap.Full = mask->Full;
}

void CopyBitmapToMask(TPXBitmap& bitmap, TPXMask& mask) {
  const TPXPixelFormat fmt = bitmap.PixelFormat();
  if (fmt != pxBW1 && fmt != pxGray8) return;
  if (!mask.Allocate(bitmap.Width(), bitmap.Height(), fmt == pxBW1 ? 1 : 8)) return;
  const int64_t n = std::min<int64_t>(bitmap.RowLen(), mask.RowLen());
  for (int32_t y = 0; y < mask.Height(); ++y) {
    const uint8_t* row = bitmap.Scanline(y);
    if (!row) break;
    std::memcpy(mask.GetRowPointer(y), row, static_cast<size_t>(n));
  }
  mask.Full = bitmap.Full;
  mask.SyncBox();
}

}  // namespace pixoran
