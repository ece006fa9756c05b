#include "core/pxdib.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <limits>
#include <new>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_settings.h"
#include "core/neurquant.h"

namespace pixoran {

// ------------------------------------------------------------ header

static uint32_t LE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
static uint16_t LE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
static void PutLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
static void PutLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

bool ReadBitmapInfoHeader(const uint8_t* data, int64_t size, TPXBitmapInfoHeader& h) {
  if (!data || size < kBitmapInfoHeaderSize) return false;
  h.biSize = LE32(data);
  h.biWidth = static_cast<int32_t>(LE32(data + 4));
  h.biHeight = static_cast<int32_t>(LE32(data + 8));
  h.biPlanes = LE16(data + 12);
  h.biBitCount = LE16(data + 14);
  h.biCompression = LE32(data + 16);
  h.biSizeImage = LE32(data + 20);
  h.biXPelsPerMeter = static_cast<int32_t>(LE32(data + 24));
  h.biYPelsPerMeter = static_cast<int32_t>(LE32(data + 28));
  h.biClrUsed = LE32(data + 32);
  h.biClrImportant = LE32(data + 36);
  return true;
}

void WriteBitmapInfoHeader(const TPXBitmapInfoHeader& h, uint8_t* d) {
  PutLE32(d, h.biSize);
  PutLE32(d + 4, static_cast<uint32_t>(h.biWidth));
  PutLE32(d + 8, static_cast<uint32_t>(h.biHeight));
  PutLE16(d + 12, h.biPlanes);
  PutLE16(d + 14, h.biBitCount);
  PutLE32(d + 16, h.biCompression);
  PutLE32(d + 20, h.biSizeImage);
  PutLE32(d + 24, static_cast<uint32_t>(h.biXPelsPerMeter));
  PutLE32(d + 28, static_cast<uint32_t>(h.biYPelsPerMeter));
  PutLE32(d + 32, h.biClrUsed);
  PutLE32(d + 36, h.biClrImportant);
}

// DIB row length: rows padded to whole 32-bit words.
static int64_t DibRowLen(int64_t width, int64_t bits) { return ((width * bits + 31) / 32) * 4; }

// ------------------------------------------------------------ TPXDibbitmap

TPXDibbitmap::TPXDibbitmap() { bitmap_.SetPixelFormat(pf24bit); }

TPXDibbitmap::~TPXDibbitmap() = default;

uint8_t* TPXDibbitmap::Scanline(int32_t row) {
  if (bitCount_ == 0 || row < 0 || row >= height_) return nullptr;
  return bitmap_.ScanLine(row);
}

TPXPixelFormat TPXDibbitmap::PixelFormat() {
  if (bitCount_ == 1) return pxBW1;
  if (bitCount_ == 24) return pxBGR24;
  return pxNone;
}

bool TPXDibbitmap::Allocate(int32_t width, int32_t height, TPXPixelFormat format) {
  if (format == pxBW1) return AllocateBits(width, height, 1);
  if (format == pxBGR24) return AllocateBits(width, height, 24);
  return false;
}

void TPXDibbitmap::Assign(TPXBaseBitmap* source) {
  auto* src = dynamic_cast<TPXDibbitmap*>(source);
  if (!src || src == this) return;
  if (src->Empty()) {
    FreeBits();
    return;
  }
  if (!AllocateBits(src->width_, src->height_, src->bitCount_)) return;
  const size_t n = static_cast<size_t>(std::min(rowLen_, src->rowLen_));
  for (int32_t y = 0; y < height_; ++y) std::memcpy(Scanline(y), src->Scanline(y), n);
}

bool TPXDibbitmap::AllocateBits(int32_t width, int32_t height, int32_t bits) {
  if (width < 0 || height < 0 || (bits != 1 && bits != 24)) return false;
  if (width == 0 || height == 0) return true;
  FreeBits();
  bitmap_.SetPixelFormat(bits == 1 ? pf1bit : pf24bit);
  bitmap_.SetSize(width, height);
  if (bitmap_.Empty()) {  // the platform could not have the image
    FreeBits();
    return false;
  }
  width_ = width;
  height_ = height;
  bitCount_ = bits;
  rowLen_ = bitmap_.BytesPerLine();
  header_.biWidth = width;
  header_.biHeight = height;
  header_.biBitCount = static_cast<uint16_t>(bits);
  const int64_t image = DibRowLen(width, bits) * height;
  header_.biSizeImage = image > std::numeric_limits<uint32_t>::max() ? 0 : static_cast<uint32_t>(image);
  return true;
}

void TPXDibbitmap::FreeBits() {
  bitmap_.FreeImage();
  width_ = height_ = bitCount_ = rowLen_ = 0;
  header_ = TPXBitmapInfoHeader{};
}

// ------------------------------------------------------------ TPXWorkBitmap

void TPXWorkBitmap::TFree::operator()(uint8_t* p) const { ::operator delete(p, std::align_val_t(16)); }

TPXWorkBitmap::TPXWorkBitmap(int32_t width, int32_t bits, int32_t height) {
  if (width > 0 && height > 0) Allocate(width, height, bits);
}

bool TPXWorkBitmap::Allocate(int32_t width, int32_t height, int32_t bits) {
  if (width == width_ && height == height_ && bits == bits_ && (data_ || width == 0 || height == 0)) return true;
  FreeImage();
  if (width < 0 || height < 0 || bits <= 0) return false;
  if (width == 0 || height == 0) return true;
  const int64_t rowLen = CalcRowLen(width, bits, 32);
  if (rowLen <= 0 || rowLen > std::numeric_limits<int64_t>::max() / height) return false;
  const int64_t size = rowLen * height;
  if (static_cast<uint64_t>(size) > std::numeric_limits<size_t>::max()) return false;
  // Raw storage, not a byte array: rows are read as bytes or as floats.
  void* p = ::operator new(static_cast<size_t>(size), std::align_val_t(16), std::nothrow);
  if (!p) return false;
  data_.reset(static_cast<uint8_t*>(p));
  width_ = width;
  height_ = height;
  bits_ = bits;
  rowLen_ = static_cast<int32_t>(rowLen);
  return true;
}

void TPXWorkBitmap::FreeImage() {
  data_.reset();
  width_ = height_ = bits_ = rowLen_ = 0;
}

uint8_t* TPXWorkBitmap::Scanline(int32_t y) {
  if (!data_ || y < 0 || y >= height_) return nullptr;
  return data_.get() + static_cast<int64_t>(height_ - 1 - y) * rowLen_;
}

// ------------------------------------------------------------ reading DIBs

namespace {

// One colour field of a 16- or 32-bit pixel: position and width from the
// mask (the shift from its lowest set bit), widened or narrowed to 8 bits.
struct TField {
  uint32_t Mask = 0;
  int32_t Shift = 0;
  int32_t Width = 0;
  explicit TField(uint32_t mask) : Mask(mask), Shift(BitFieldShift(mask)), Width(BitFieldWidth(mask)) {}
  uint8_t Get(uint32_t v) const {
    if (Width == 0) return 0;
    uint32_t c = (v & Mask) >> Shift;
    if (Width < 32) c &= (1u << Width) - 1;  // a mask with a gap keeps only its first run
    return static_cast<uint8_t>(Width >= 8 ? c >> (Width - 8) : c << (8 - Width));
  }
};

// What a checked DIB header says about the pixels that follow.
struct TDibLayout {
  int32_t Width = 0, Height = 0;  // height made positive
  int32_t Bits = 0;               // biBitCount
  uint32_t Compression = kBiRGB;
  bool TopDown = false;
  const TPXYUVLayout* YUV = nullptr;
  std::array<TBGR, 256> Lut{};  // palette by index; indices past the palette stay black
  uint32_t Masks[3] = {0, 0, 0};
  bool Fields = false;  // 16 or 32 bits read through Masks
  const uint8_t* Pixels = nullptr;
  int64_t PixelBytes = 0;
};

bool ParseDIB(const uint8_t* dib, int64_t size, const uint8_t* pixels, int64_t pixelsSize, TDibLayout& out) {
  TPXBitmapInfoHeader h;
  if (!ReadBitmapInfoHeader(dib, size, h)) return false;
  if (h.biSize < kBitmapInfoHeaderSize || h.biSize > size) return false;
  if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == std::numeric_limits<int32_t>::min()) return false;
  out.Width = h.biWidth;
  out.Height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  out.Bits = h.biBitCount;
  out.Compression = h.biCompression;
  out.TopDown = h.biHeight < 0;

  int64_t maskBytes = 0;
  int64_t paletteCount = 0;
  if (const TPXYUVLayout* e = FindYUVLayout(h.biCompression)) {
    out.YUV = e;
    out.TopDown = e->TopDownWhenPositive ? h.biHeight > 0 : h.biHeight < 0;
    paletteCount = h.biClrUsed;
  } else if (h.biCompression == kBiRGB) {
    switch (out.Bits) {
      case 1:
      case 4:
      case 8: paletteCount = h.biClrUsed ? h.biClrUsed : (int64_t{1} << out.Bits); break;
      case 16:
        out.Fields = true;
        out.Masks[0] = 0x7C00, out.Masks[1] = 0x03E0, out.Masks[2] = 0x001F;
        paletteCount = h.biClrUsed;
        break;
      case 24:
      case 32: paletteCount = h.biClrUsed; break;
      default: return false;
    }
  } else if (h.biCompression == kBiBitFields && (out.Bits == 16 || out.Bits == 32)) {
    // Three masks, red first: after a 40-byte header, inside a longer one.
    if (size < kBitmapInfoHeaderSize + 12) return false;
    if (h.biSize == kBitmapInfoHeaderSize) maskBytes = 12;
    else if (h.biSize < kBitmapInfoHeaderSize + 12) return false;
    for (int i = 0; i < 3; ++i) out.Masks[i] = LE32(dib + kBitmapInfoHeaderSize + 4 * i);
    out.Fields = true;
    paletteCount = h.biClrUsed;
  } else {
    return false;  // run-length and other compressions are not read here
  }

  const int64_t offset = static_cast<int64_t>(h.biSize) + maskBytes + paletteCount * 4;
  if (offset > size) return false;
  const uint8_t* palette = dib + h.biSize + maskBytes;
  if (out.Bits <= 8 && !out.YUV) {
    const int64_t n = std::min<int64_t>(paletteCount, 256);
    for (int64_t i = 0; i < n; ++i) out.Lut[i] = TBGR{palette[4 * i], palette[4 * i + 1], palette[4 * i + 2]};
  }
  if (pixels) {
    out.Pixels = pixels;
    out.PixelBytes = std::max<int64_t>(pixelsSize, 0);
  } else {
    out.Pixels = dib + offset;
    out.PixelBytes = size - offset;
  }
  // Everything the rows need is there before anything is allocated.
  if (out.YUV) return out.YUV->Need(out.Width, out.Height) <= out.PixelBytes;
  const int64_t rowLen = DibRowLen(out.Width, out.Bits);
  return out.Height <= out.PixelBytes / rowLen;
}

// How the bits of a 1-bit DIB become pxBW1 bits (set = white): each palette
// entry counts as white when its grey level is at least 128. The usual
// black-then-white palette copies; writers that put white first (Qt's BMP
// writer does) are inverted rather than read as a negative.
enum class TMonoMap { Copy, Invert, Black, White };
TMonoMap MonoMapOf(const TDibLayout& l) {
  const TPXSettings& st = PXSettings();
  auto white = [&](const TBGR& c) { return (c.r * st.LumRed + c.g * st.LumGreen + c.b * st.LumBlue) / 100 >= 128; };
  const bool w0 = white(l.Lut[0]), w1 = white(l.Lut[1]);
  if (w0 == w1) return w0 ? TMonoMap::White : TMonoMap::Black;
  return w1 ? TMonoMap::Copy : TMonoMap::Invert;
}

// The bitmap is allocated (pxBW1 for 1 bit, else pxBGR24) with the DIB's size.
bool DecodeDIB(const TDibLayout& l, TPXBaseBitmap& bitmap) {
  if (l.YUV) return l.YUV->Decoder(l.Pixels, l.PixelBytes, bitmap, l.TopDown);
  const TMonoMap mono = l.Bits == 1 ? MonoMapOf(l) : TMonoMap::Copy;
  const int64_t rowLen = DibRowLen(l.Width, l.Bits);
  const int32_t w = l.Width;
  const TField r(l.Masks[0]), g(l.Masks[1]), b(l.Masks[2]);
  for (int32_t i = 0; i < l.Height; ++i) {
    const uint8_t* s = l.Pixels + i * rowLen;
    uint8_t* d = bitmap.Scanline(l.TopDown ? i : l.Height - 1 - i);
    if (!d) return false;
    switch (l.Bits) {
      case 1: {
        const int64_t n = (static_cast<int64_t>(w) + 7) / 8;
        switch (mono) {
          case TMonoMap::Copy: std::memcpy(d, s, static_cast<size_t>(n)); break;
          case TMonoMap::Invert:
            for (int64_t k = 0; k < n; ++k) d[k] = static_cast<uint8_t>(~s[k]);
            break;
          case TMonoMap::Black: std::memset(d, 0, static_cast<size_t>(n)); break;
          case TMonoMap::White: std::memset(d, 0xFF, static_cast<size_t>(n)); break;
        }
        if (w & 7) d[n - 1] &= static_cast<uint8_t>(0xFF << (8 - (w & 7)));  // no stray bits past the width
        break;
      }
      case 4:
        for (int32_t x = 0; x < w; ++x) {
          const uint8_t byte = s[x >> 1];
          const TBGR c = l.Lut[(x & 1) ? (byte & 0x0F) : (byte >> 4)];
          d[3 * x] = c.b, d[3 * x + 1] = c.g, d[3 * x + 2] = c.r;
        }
        break;
      case 8:
        for (int32_t x = 0; x < w; ++x) {
          const TBGR c = l.Lut[s[x]];
          d[3 * x] = c.b, d[3 * x + 1] = c.g, d[3 * x + 2] = c.r;
        }
        break;
      case 16:
        for (int32_t x = 0; x < w; ++x) {
          const uint32_t v = LE16(s + 2 * x);
          d[3 * x] = b.Get(v), d[3 * x + 1] = g.Get(v), d[3 * x + 2] = r.Get(v);
        }
        break;
      case 24: std::memcpy(d, s, static_cast<size_t>(w) * 3); break;
      case 32:
        if (l.Fields) {
          for (int32_t x = 0; x < w; ++x) {
            const uint32_t v = LE32(s + 4 * x);
            d[3 * x] = b.Get(v), d[3 * x + 1] = g.Get(v), d[3 * x + 2] = r.Get(v);
          }
        } else {
          for (int32_t x = 0; x < w; ++x) d[3 * x] = s[4 * x], d[3 * x + 1] = s[4 * x + 1], d[3 * x + 2] = s[4 * x + 2];
        }
        break;
      default: return false;
    }
  }
  return true;
}

int32_t ResultBits(const TDibLayout& l) { return l.YUV && l.Bits == 0 ? 24 : l.Bits; }

}  // namespace

int32_t DIBToBitmap(const uint8_t* dib, int64_t size, TPXBitmap& bitmap, const uint8_t* pixels, int64_t pixelsSize) {
  TDibLayout l;
  if (!ParseDIB(dib, size, pixels, pixelsSize, l)) return 0;
  try {
    if (!bitmap.Allocate(l.Width, l.Height, l.Bits == 1 && !l.YUV ? pxBW1 : pxBGR24)) return 0;
    if (!DecodeDIB(l, bitmap)) return 0;
  } catch (const std::exception&) {
    return 0;
  }
  return ResultBits(l);
}

int32_t DIBToBitmap(const TPXPackedDIB& dib, TPXBitmap& bitmap) { return DIBToBitmap(dib.Data(), dib.Size(), bitmap); }

int32_t DIBToDibbitmap(const uint8_t* dib, int64_t size, TPXDibbitmap& bitmap, const uint8_t* pixels,
                       int64_t pixelsSize) {
  TDibLayout l;
  if (!ParseDIB(dib, size, pixels, pixelsSize, l)) return 0;
  if (!bitmap.AllocateBits(l.Width, l.Height, l.Bits == 1 && !l.YUV ? 1 : 24)) return 0;
  if (!DecodeDIB(l, bitmap)) return 0;
  return ResultBits(l);
}

int32_t DIBToDibbitmap(const TPXPackedDIB& dib, TPXDibbitmap& bitmap) {
  return DIBToDibbitmap(dib.Data(), dib.Size(), bitmap);
}

// ------------------------------------------------------------ writing DIBs

TPXPackedDIB BitmapRectToDIB(TPXBitmap& bitmap, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  if (w <= 0 || h <= 0 || bitmap.PixelFormat() == pxNone) return {};
  if (x2 == 0) x2 = w;
  if (y2 == 0) y2 = h;
  x1 = std::clamp(x1, 0, w), x2 = std::clamp(x2, 0, w);
  y1 = std::clamp(y1, 0, h), y2 = std::clamp(y2, 0, h);
  if (x2 <= x1 || y2 <= y1) return {};
  const int32_t rw = x2 - x1, rh = y2 - y1;
  const TPXPixelFormat format = bitmap.PixelFormat();
  try {
    if (format != pxBW1 && format != pxBGR24) {
      // Rows a DIB cannot carry: a 24-bit copy of just the rectangle.
      TPXBitmap copy;
      if (!copy.Allocate(rw, rh, format)) return {};
      for (int32_t i = 0; i < bitmap.PaletteCount(); ++i) copy.SetPaletteEntry(i, bitmap.GetPaletteEntry(i));
      bitmap.CopyRectTo(copy, x1, y1, 0, 0, rw, rh);
      copy.SetPixelFormat(pxBGR24);
      if (copy.PixelFormat() != pxBGR24) return {};
      return BitmapRectToDIB(copy, 0, 0, 0, 0);
    }
    const int32_t bits = format == pxBW1 ? 1 : 24;
    const int64_t rowLen = DibRowLen(rw, bits);
    const int64_t head = kBitmapInfoHeaderSize + (bits == 1 ? 8 : 0);
    if (rh > (std::numeric_limits<int64_t>::max() - head) / rowLen) return {};
    const int64_t total = head + rowLen * rh;
    if (static_cast<uint64_t>(total) > std::numeric_limits<size_t>::max()) return {};
    std::vector<uint8_t> out(static_cast<size_t>(total));  // zeroed: the row padding stays 0
    TPXBitmapInfoHeader hdr;
    hdr.biWidth = rw;
    hdr.biHeight = rh;
    hdr.biBitCount = static_cast<uint16_t>(bits);
    WriteBitmapInfoHeader(hdr, out.data());
    if (bits == 1) std::memset(out.data() + kBitmapInfoHeaderSize + 4, 0xFF, 4);  // black, then white
    uint8_t* d = out.data() + head;
    for (int32_t y = y2 - 1; y >= y1; --y, d += rowLen) {
      const uint8_t* s = bitmap.Scanline(y);
      if (!s) return {};
      if (bits == 1) CopyBitRun(s, x1, d, 0, rw);
      else std::memcpy(d, s + static_cast<int64_t>(x1) * 3, static_cast<size_t>(rw) * 3);
    }
    return TPXPackedDIB(std::move(out));
  } catch (const std::exception&) {
    return {};
  }
}

// ------------------------------------------------------------ DrawDib

std::unique_ptr<TPXDrawDibContext> CallDrawDibOpen() { return std::make_unique<TPXDrawDibContext>(); }

void CallDrawDibClose(std::unique_ptr<TPXDrawDibContext>& context) { context.reset(); }

bool CallDrawDibDraw(TPXDrawDibContext* context, TCanvas& canvas, int32_t dx, int32_t dy, int32_t dw, int32_t dh,
                     const uint8_t* header, int64_t headerSize, const uint8_t* bits, int64_t bitsSize, int32_t sx,
                     int32_t sy, int32_t sw, int32_t sh, uint32_t) {
  TPXDrawDibContext local;
  TPXDibbitmap& image = context ? context->Scratch : local.Scratch;
  if (DIBToDibbitmap(header, headerSize, image, bits, bitsSize) == 0) return false;
  const int32_t iw = image.Width(), ih = image.Height();
  sx = std::clamp(sx, 0, iw), sy = std::clamp(sy, 0, ih);
  sw = sw < 0 ? iw - sx : std::min(sw, iw - sx);
  sh = sh < 0 ? ih - sy : std::min(sh, ih - sy);
  if (sw <= 0 || sh <= 0) return true;
  if (dw < 0) dw = sw;
  if (dh < 0) dh = sh;
  if (sx == 0 && sy == 0 && sw == iw && sh == ih) {
    canvas.StretchDraw(Rect(dx, dy, dx + dw, dy + dh), image.Bitmap());
    return true;
  }
  TPXDibbitmap part;
  if (!part.AllocateBits(sw, sh, image.BitCount())) return false;
  for (int32_t y = 0; y < sh; ++y) {
    const uint8_t* s = image.Scanline(sy + y);
    uint8_t* d = part.Scanline(y);
    if (image.BitCount() == 1) CopyBitRun(s, sx, d, 0, sw);
    else std::memcpy(d, s + static_cast<int64_t>(sx) * 3, static_cast<size_t>(sw) * 3);
  }
  canvas.StretchDraw(Rect(dx, dy, dx + dw, dy + dh), part.Bitmap());
  return true;
}

uint32_t CallDrawDibRealize(TPXDrawDibContext*, TCanvas&, bool) { return 0; }

// ------------------------------------------------------------ platform bitmaps

bool CopyTBitmap(const TBitmap& source, TBitmap& dest) {
  if (&source == &dest) return true;
  const TPixelFormat pf = source.PixelFormat();
  if (source.Empty()) {
    dest.FreeImage();
    dest.SetPixelFormat(pf);
    dest.SetSize(1, 1);
    return !dest.Empty();
  }
  if (dest.Width() != source.Width() || dest.Height() != source.Height() || dest.PixelFormat() != pf || dest.Empty()) {
    dest.FreeImage();  // nothing of the old content is kept or converted
    dest.SetPixelFormat(pf);
    dest.SetSize(source.Width(), source.Height());
    if (dest.Empty()) return false;
  }
  const int n = source.PaletteSize();
  if (n > 0) {
    std::vector<TPaletteEntry> entries(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) entries[static_cast<size_t>(i)] = source.GetPaletteEntry(i);
    dest.SetPaletteEntries(0, entries);
  }
  const size_t len = static_cast<size_t>(std::min(source.BytesPerLine(), dest.BytesPerLine()));
  for (int y = 0; y < source.Height(); ++y) std::memcpy(dest.ScanLine(y), source.ScanLine(y), len);
  return true;
}

std::unique_ptr<TBitmap> DuplicateTBitmap(const TBitmap& source) {
  auto copy = std::make_unique<TBitmap>();
  CopyTBitmap(source, *copy);
  return copy;
}

// ------------------------------------------------------------ rows

void ExpandBW1RowTo24(const uint8_t* source, uint8_t* dest, int32_t count) { RowToBGR24(pxBW1, source, dest, count); }

bool ExpandBW1TBitmapTo24(const TBitmap& source, TBitmap& dest, const TPXProgressRec& progress) {
  if (source.PixelFormat() != pf1bit || &source == &dest) return false;
  dest.FreeImage();
  dest.SetPixelFormat(pf24bit);
  dest.SetSize(1, 1);
  const int w = source.Width(), h = source.Height();
  if (w <= 0 || h <= 0) return !dest.Empty();
  dest.SetSize(w, h);
  if (dest.Empty()) return false;
  for (int y = 0; y < h; ++y) {
    ExpandBW1RowTo24(source.ScanLine(y), dest.ScanLine(y), w);
    progress.Report(static_cast<int32_t>((y + 1) * 100.0 / (h + 0.5)));
  }
  return true;
}

void SwapRedBlueRow(uint8_t* row, int32_t count) {
  for (int32_t i = 0; i < count; ++i, row += 3) std::swap(row[0], row[2]);
}

void SwapRedBluePixels(TBGR* pixels, int32_t count) {
  for (int32_t i = 0; i < count; ++i) std::swap(pixels[i].b, pixels[i].r);
}

void CopySwapRedBlue(uint8_t* dest, const uint8_t* source, int32_t count) {
  for (int32_t i = 0; i < count; ++i, dest += 3, source += 3) {
    dest[0] = source[2];
    dest[1] = source[1];
    dest[2] = source[0];
  }
}

// Rows equal in their first `bits` bits.
static bool RowsEqual(const uint8_t* a, const uint8_t* b, int64_t bits) {
  const int64_t whole = bits / 8;
  if (std::memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
  const int rest = static_cast<int>(bits & 7);
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return ((a[whole] ^ b[whole]) & mask) == 0;
}

static bool ImagesEqual(TPXBitmap& a, TPXBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat()) return false;
  const int64_t bits = static_cast<int64_t>(a.Width()) * a.BitCount();
  if (bits == 0) return true;
  for (int32_t y = 0; y < a.Height(); ++y) {
    const uint8_t* ra = a.Scanline(y);
    const uint8_t* rb = b.Scanline(y);  // another bitmap: ra stays valid
    if (!ra || !rb) return ra == rb;
    if (!RowsEqual(ra, rb, bits)) return false;
  }
  return true;
}

bool BitmapsEqual(TPXBitmap& a, TPXBitmap& b) {
  if (&a == &b) return true;
  if (a.HasAlphaChannel() != b.HasAlphaChannel()) return false;
  if (!ImagesEqual(a, b)) return false;
  if (a.HasAlphaChannel()) return ImagesEqual(*a.GetAlphaChannel(), *b.GetAlphaChannel());
  return true;
}

bool QuantizeRow24(const uint8_t* s, uint8_t* d, int32_t sourceBits, const TPXQuantizer* quantizer,
                   int32_t paletteCount, const TBGR* palette, int32_t count, int32_t destBits) {
  if (!s || !d) return false;
  if (count <= 0) return true;
  const int32_t lastEntry = palette ? paletteCount - 1 : -1;
  auto entry = [&](int32_t index) -> const TBGR& { return palette[std::min(index, lastEntry)]; };
  auto put = [](uint8_t* p, const TBGR& c) { p[0] = c.b, p[1] = c.g, p[2] = c.r; };
  auto bit = [](const uint8_t* row, int32_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; };
  const int64_t n = count;
  switch (sourceBits * 100 + destBits) {
    case 2404: {
      if (!quantizer) return false;
      for (int32_t x = 0; x < count; x += 2) {
        const int32_t hi =
            std::clamp(quantizer->ColorIndexOrNearest(BGRToInt(TBGR{s[3 * x], s[3 * x + 1], s[3 * x + 2]})), 0, 15);
        int32_t lo = 0;
        if (x + 1 < count) {
          const uint8_t* p = s + 3 * (x + 1);
          lo = std::clamp(quantizer->ColorIndexOrNearest(BGRToInt(TBGR{p[0], p[1], p[2]})), 0, 15);
        }
        d[x >> 1] = static_cast<uint8_t>((hi << 4) | lo);
      }
      return true;
    }
    case 2408:
      if (!quantizer) return false;
      quantizer->MapRow(s, d, count);
      return true;
    case 2424: std::memmove(d, s, static_cast<size_t>(n * 3)); return true;
    case 3224:
      for (int32_t x = 0; x < count; ++x) d[3 * x] = s[4 * x], d[3 * x + 1] = s[4 * x + 1], d[3 * x + 2] = s[4 * x + 2];
      return true;
    case 801:
      std::memset(d, 0, static_cast<size_t>((n + 7) / 8));
      for (int32_t x = 0; x < count; ++x)
        if (s[x] & 1) d[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
      return true;
    case 808: std::memmove(d, s, static_cast<size_t>(n)); return true;
    case 824:
      if (lastEntry < 0) return false;
      for (int32_t x = 0; x < count; ++x) put(d + 3 * x, entry(s[x]));
      return true;
    case 101: std::memmove(d, s, static_cast<size_t>((n + 7) / 8)); return true;
    case 104:
      for (int32_t x = 0; x < count; x += 2)
        d[x >> 1] = static_cast<uint8_t>((bit(s, x) << 4) | (x + 1 < count ? bit(s, x + 1) : 0));
      return true;
    case 108:
      for (int32_t x = 0; x < count; ++x) d[x] = static_cast<uint8_t>(bit(s, x));
      return true;
    case 124:
      if (lastEntry < 0) return false;
      for (int32_t x = 0; x < count; ++x) put(d + 3 * x, entry(bit(s, x)));
      return true;
    case 404: std::memmove(d, s, static_cast<size_t>((n + 1) / 2)); return true;
    case 408:
      for (int32_t x = 0; x < count; ++x) d[x] = (x & 1) ? (s[x >> 1] & 0x0F) : (s[x >> 1] >> 4);
      return true;
    case 424:
      if (lastEntry < 0) return false;
      for (int32_t x = 0; x < count; ++x) put(d + 3 * x, entry((x & 1) ? (s[x >> 1] & 0x0F) : (s[x >> 1] >> 4)));
      return true;
    default: return false;
  }
}

}  // namespace pixoran
