#include "core/pxtransform.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/pxpool.h"

namespace pixoran {

namespace {

// Bytes of a row's pixels (without the alignment padding).
size_t PixelBytes(int32_t width, int32_t bits) { return static_cast<size_t>((int64_t{width} * bits + 7) / 8); }

template <int B>
void ReversePixels(uint8_t* row, int32_t width) {
  uint8_t* a = row;
  uint8_t* b = row + static_cast<size_t>(width - 1) * B;
  for (; a < b; a += B, b -= B)
    for (int i = 0; i < B; ++i) std::swap(a[i], b[i]);
}

#if defined(__x86_64__)
// Byte shuffles that reverse the order of 16 three-byte pixels held in three
// vectors: output vector r is the OR of input vector k shuffled by [r][k].
struct TReverse24Masks {
  alignas(16) uint8_t M[3][3][16];
};
constexpr TReverse24Masks MakeReverse24Masks() {
  TReverse24Masks m{};
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k)
      for (int b = 0; b < 16; ++b) {
        const int o = 16 * r + b;
        const int from = 3 * (15 - o / 3) + o % 3;
        m.M[r][k][b] = from / 16 == k ? static_cast<uint8_t>(from % 16) : 0x80;
      }
  return m;
}
constexpr TReverse24Masks kReverse24 = MakeReverse24Masks();

__attribute__((target("ssse3"))) inline void Reverse16Pixels24(const __m128i in[3], __m128i out[3]) {
  const auto* m = reinterpret_cast<const __m128i*>(kReverse24.M);
  for (int r = 0; r < 3; ++r)
    out[r] = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(in[0], _mm_load_si128(m + 3 * r)),
                                       _mm_shuffle_epi8(in[1], _mm_load_si128(m + 3 * r + 1))),
                          _mm_shuffle_epi8(in[2], _mm_load_si128(m + 3 * r + 2)));
}

// Swaps reversed blocks of 16 pixels from both ends of a 24-bit row; returns
// the blocks done on each side (the middle is left to the caller).
__attribute__((target("ssse3"))) int32_t ReverseBlocks24Ssse3(uint8_t* row, int32_t width) {
  int32_t n = 0;
  for (; 32 * (n + 1) <= width; ++n) {
    auto* l = reinterpret_cast<__m128i*>(row + static_cast<size_t>(n) * 48);
    auto* r = reinterpret_cast<__m128i*>(row + static_cast<size_t>(width - 16 * (n + 1)) * 3);
    const __m128i a[3] = {_mm_loadu_si128(l), _mm_loadu_si128(l + 1), _mm_loadu_si128(l + 2)};
    const __m128i b[3] = {_mm_loadu_si128(r), _mm_loadu_si128(r + 1), _mm_loadu_si128(r + 2)};
    __m128i ra[3], rb[3];
    Reverse16Pixels24(a, ra);
    Reverse16Pixels24(b, rb);
    for (int k = 0; k < 3; ++k) {
      _mm_storeu_si128(l + k, rb[k]);
      _mm_storeu_si128(r + k, ra[k]);
    }
  }
  return n;
}
#endif

// Reverses the pixel order of a 24-bit row.
void ReverseRow24(uint8_t* row, int32_t width) {
  int32_t n = 0;
#if defined(__x86_64__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) n = ReverseBlocks24Ssse3(row, width);
#endif
  // The outer blocks have changed places reversed: the middle run remains.
  if (width - 32 * n > 1) ReversePixels<3>(row + static_cast<size_t>(n) * 48, width - 32 * n);
}

void ReverseBitsRow(uint8_t* row, int32_t width, std::vector<uint8_t>& buf) {
  const size_t n = PixelBytes(width, 1);
  buf.resize(n);
  for (size_t i = 0; i < n; ++i) buf[n - 1 - i] = ReverseBits8(row[i]);
  // The reversed row's pixels start after the former padding bits.
  CopyBitRun(buf.data(), static_cast<int64_t>(n * 8 - width), row, 0, width);
}

void MirrorRow(uint8_t* row, int32_t width, int32_t bits, std::vector<uint8_t>& buf) {
  switch (bits) {
    case 1: ReverseBitsRow(row, width, buf); break;
    case 8: std::reverse(row, row + width); break;
    case 16: ReversePixels<2>(row, width); break;
    case 24: ReverseRow24(row, width); break;
    case 32: ReversePixels<4>(row, width); break;
    default: break;
  }
}

void FlipPixels(TPXBitmap& bitmap, int32_t direction) {
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  const int32_t bits = bitmap.BitCount();
  if (w <= 0 || h <= 0) return;
  const size_t bytes = PixelBytes(w, bits);
  if (std::vector<uint8_t*> rows = PXRowPointers(bitmap); !rows.empty()) {
    // Rows in memory: bands of rows (of row pairs for top-bottom) at once.
    if (direction == 0) {
      PXParallelRows(h, w, [&](int32_t first, int32_t last) {
        std::vector<uint8_t> buf;
        for (int32_t y = first; y < last; ++y) MirrorRow(rows[static_cast<size_t>(y)], w, bits, buf);
      });
    } else {
      PXParallelRows(h / 2, int64_t{w} * 2, [&](int32_t first, int32_t last) {
        for (int32_t y = first; y < last; ++y)
          std::swap_ranges(rows[static_cast<size_t>(y)], rows[static_cast<size_t>(y)] + bytes,
                           rows[static_cast<size_t>(h - 1 - y)]);
      });
    }
    return;
  }
  std::vector<uint8_t> a, b;
  if (direction == 0) {
    for (int32_t y = 0; y < h; ++y)
      if (uint8_t* row = bitmap.Scanline(y)) MirrorRow(row, w, bits, a);
    return;
  }
  // Two rows at a time through buffers: a temporary-file bitmap maps one row only.
  a.resize(bytes);
  b.resize(bytes);
  for (int32_t y = 0; y < h / 2; ++y) {
    const int32_t z = h - 1 - y;
    uint8_t* r = bitmap.Scanline(y);
    if (!r) return;
    std::memcpy(a.data(), r, bytes);
    r = bitmap.Scanline(z);
    if (!r) return;
    std::memcpy(b.data(), r, bytes);
    std::memcpy(r, a.data(), bytes);
    r = bitmap.Scanline(y);
    if (!r) return;
    std::memcpy(r, b.data(), bytes);
  }
}

template <int B>
void GatherBytes(uint8_t* dst, const uint8_t* band, size_t bandRowBytes, int32_t rows, int32_t firstX, int32_t stepX,
                 size_t srcOffset) {
  const uint8_t* s = band + srcOffset;
  uint8_t* d = dst + static_cast<ptrdiff_t>(firstX) * B;
  const ptrdiff_t step = static_cast<ptrdiff_t>(stepX) * B;
  for (int32_t r = 0; r < rows; ++r, s += bandRowBytes, d += step) std::memcpy(d, s, B);
}

// TurnPixels for rows that all stay in memory: bands of destination rows
// on the pool, each made in tiles of 64 x 64 pixels so the rows read and
// written stay within a few pages.
bool TurnRowsInMemory(TPXBitmap& src, TPXBitmap& dst, bool rowReversed, bool colReversed) {
  constexpr int32_t kTile = 64;
  const int32_t w = src.Width(), h = src.Height(), bits = src.BitCount();
  const std::vector<uint8_t*> srows = PXRowPointers(src), drows = PXRowPointers(dst);
  if (static_cast<int32_t>(srows.size()) != h || static_cast<int32_t>(drows.size()) != w) return false;
  const int32_t stepX = rowReversed ? -1 : 1;
  PXParallelRows(w, h, [&](int32_t first, int32_t last) {
    for (int32_t y0 = first; y0 < last; y0 += kTile) {
      const int32_t y1 = std::min(last, y0 + kTile);
      for (int32_t r0 = 0; r0 < h; r0 += kTile) {
        const int32_t r1 = std::min(h, r0 + kTile);
        const int32_t firstX = rowReversed ? h - 1 - r0 : r0;
        for (int32_t y = y0; y < y1; ++y) {
          uint8_t* d = drows[static_cast<size_t>(y)];
          const int32_t col = colReversed ? w - 1 - y : y;
          const uint8_t* const* s = srows.data() + r0;
          int32_t x = firstX;
          switch (bits) {
            case 1:
              for (int32_t r = r0; r < r1; ++r, ++s, x += stepX) {
                const uint8_t m = static_cast<uint8_t>(0x80 >> (x & 7));
                const bool set = (((*s)[col >> 3] >> (7 - (col & 7))) & 1) != 0;
                d[x >> 3] = set ? (d[x >> 3] | m) : (d[x >> 3] & ~m);
              }
              break;
            case 8:
              for (int32_t r = r0; r < r1; ++r, ++s, x += stepX) d[x] = (*s)[col];
              break;
            case 16:
              for (int32_t r = r0; r < r1; ++r, ++s, x += stepX) std::memcpy(d + 2 * x, *s + 2 * size_t(col), 2);
              break;
            case 24:
              for (int32_t r = r0; r < r1; ++r, ++s, x += stepX) std::memcpy(d + 3 * x, *s + 3 * size_t(col), 3);
              break;
            case 32:
              for (int32_t r = r0; r < r1; ++r, ++s, x += stepX) std::memcpy(d + 4 * x, *s + 4 * size_t(col), 4);
              break;
            default: break;
          }
        }
      }
    }
  });
  return true;
}

// dest (x, y) = source (col, row) with row = x or H - 1 - x (rowReversed)
// and col = y or W - 1 - y (colReversed). Source rows are taken in bands
// held in memory; each band fills its part of every destination row.
bool TurnPixels(TPXBitmap& src, TPXBitmap& dst, bool rowReversed, bool colReversed) {
  const int32_t w = src.Width(), h = src.Height();
  const TPXPixelFormat format = src.PixelFormat();
  const int32_t bits = src.BitCount();
  if (w <= 0 || h <= 0 || format == pxNone) {
    dst.FreeImage();
    return w == 0 || h == 0;
  }
  if (!dst.Allocate(h, w, format)) return false;
  if (src.PaletteCount() > 0)
    for (int32_t i = 0; i < src.PaletteCount(); ++i) dst.SetPaletteEntry(i, src.GetPaletteEntry(i));
  if (PXRowsShareable({&src, &dst})) return TurnRowsInMemory(src, dst, rowReversed, colReversed);
  // 1-bit rows are spread to a byte per pixel in the band.
  const int32_t B = bits == 1 ? 1 : bits / 8;
  const size_t bandRowBytes = static_cast<size_t>(w) * B;
  // Destination rows in memory take a short band at a time, so the rows
  // read and written stay within a few pages (the address translation
  // cache); a temporary file's rows cost a mapping each, so there the band
  // is as long as 16 MB allow.
  const int64_t bandLimit = dst.Location() == pxInMemory ? 64 : h;
  const int32_t bandRows = static_cast<int32_t>(
      std::clamp<int64_t>(std::min<int64_t>(static_cast<int64_t>((size_t{16} << 20) / bandRowBytes), bandLimit), 1, h));
  std::vector<uint8_t> band(bandRowBytes * bandRows);
  for (int32_t r0 = 0; r0 < h; r0 += bandRows) {
    const int32_t rows = std::min(bandRows, h - r0);
    for (int32_t r = 0; r < rows; ++r) {
      const uint8_t* s = src.Scanline(r0 + r);
      if (!s) return false;
      uint8_t* b = band.data() + static_cast<size_t>(r) * bandRowBytes;
      if (bits == 1)
        for (int32_t x = 0; x < w; ++x) b[x] = (s[x >> 3] >> (7 - (x & 7))) & 1;
      else std::memcpy(b, s, bandRowBytes);
    }
    // Destination columns of this band, in band order.
    const int32_t firstX = rowReversed ? h - 1 - r0 : r0;
    const int32_t stepX = rowReversed ? -1 : 1;
    for (int32_t y = 0; y < w; ++y) {
      uint8_t* d = dst.Scanline(y);
      if (!d) return false;
      const int32_t col = colReversed ? w - 1 - y : y;
      const size_t off = static_cast<size_t>(col) * B;
      switch (bits) {
        case 1: {
          const uint8_t* s = band.data() + off;
          int32_t x = firstX;
          for (int32_t r = 0; r < rows; ++r, s += bandRowBytes, x += stepX) {
            const uint8_t m = static_cast<uint8_t>(0x80 >> (x & 7));
            d[x >> 3] = *s ? (d[x >> 3] | m) : (d[x >> 3] & ~m);
          }
          break;
        }
        case 8: GatherBytes<1>(d, band.data(), bandRowBytes, rows, firstX, stepX, off); break;
        case 16: GatherBytes<2>(d, band.data(), bandRowBytes, rows, firstX, stepX, off); break;
        case 24: GatherBytes<3>(d, band.data(), bandRowBytes, rows, firstX, stepX, off); break;
        case 32: GatherBytes<4>(d, band.data(), bandRowBytes, rows, firstX, stepX, off); break;
        default: break;
      }
    }
  }
  return true;
}

bool Turn(TPXBitmap& src, TPXBitmap& dst, bool rowReversed, bool colReversed) {
  if (&src == &dst) return false;
  if (!TurnPixels(src, dst, rowReversed, colReversed)) {
    dst.FreeImage();
    return false;
  }
  dst.RemoveAlphaChannel();
  if (src.HasAlphaChannel()) {
    TPXBitmap* sa = src.GetAlphaChannel();
    TPXBitmap* da = dst.GetAlphaChannel();
    if (sa && da) {
      if (!TurnPixels(*sa, *da, rowReversed, colReversed)) {
        dst.FreeImage();
        return false;
      }
      da->Full = sa->Full;
    }
  }
  return true;
}

}  // namespace

void FlipBitmap(TPXBitmap& bitmap, int32_t direction) {
  if (direction != 0 && direction != 1) return;
  FlipPixels(bitmap, direction);
  if (bitmap.HasAlphaChannel())
    if (TPXBitmap* alpha = bitmap.GetAlphaChannel()) FlipPixels(*alpha, direction);
}

bool RotateRight90(TPXBitmap& source, TPXBitmap& dest) { return Turn(source, dest, true, false); }
bool RotateLeft90(TPXBitmap& source, TPXBitmap& dest) { return Turn(source, dest, false, true); }
bool TransposeBitmap(TPXBitmap& source, TPXBitmap& dest) { return Turn(source, dest, false, false); }
bool TransverseBitmap(TPXBitmap& source, TPXBitmap& dest) { return Turn(source, dest, true, true); }

}  // namespace pixoran
