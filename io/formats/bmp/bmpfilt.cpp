#include "io/formats/bmp/bmpfilt.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/neurquant.h"
#include "io/pxfiltutil.h"

namespace pixoran {

namespace {

constexpr uint16_t kSignatureBM = 0x4D42;
constexpr int kFileHeaderSize = 14;

// Uncompressed 8-bit pixels are read in one read up to this size and in bands
// of rows above it, so that a huge file never needs a second full copy.
constexpr int64_t kMaxPixelBlock = int64_t{32} << 20;

inline int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetLE32(p)); }

// Palette lookups go through a full 256-entry table, zero beyond the file's
// entries, so an index the palette does not cover reads as black.
using TPaletteTable = std::array<TBGR, 256>;

TPaletteTable MakePaletteTable(const TBGR* palette, int32_t count) {
  TPaletteTable table{};
  if (palette) std::copy_n(palette, std::clamp(count, 0, 256), table.begin());
  return table;
}

// ---------------------------------------------------------------------------
// Run-length decoding

// One destination row at a time. The row is fetched only when a pixel lands
// on it: a temporary-file bitmap maps rows one by one, and rows skipped by
// end-of-line or delta records need no mapping at all.
template <bool kRGB>
class TRLERowWriter {
 public:
  TRLERowWriter(TPXBitmap& bitmap, bool topDown, const TBGR* palette)
      : bitmap_(bitmap), height_(bitmap.Height()), topDown_(topDown), palette_(palette) {}

  void SetRow(int64_t fileRow) {
    fileRow_ = fileRow;
    row_ = nullptr;
  }
  bool Put(int64_t x, uint8_t index) {
    if (!row_) {
      row_ = bitmap_.Scanline(static_cast<int32_t>(topDown_ ? fileRow_ : height_ - 1 - fileRow_));
      if (!row_) return false;
    }
    if constexpr (kRGB) {
      const TBGR c = palette_ ? palette_[index] : TBGR{};
      uint8_t* p = row_ + x * 3;
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
    } else {
      row_[x] = index;
    }
    return true;
  }

 private:
  TPXBitmap& bitmap_;
  int64_t height_;
  bool topDown_;
  const TBGR* palette_;
  int64_t fileRow_ = 0;
  uint8_t* row_ = nullptr;
};

template <bool kRLE4, bool kRGB>
bool DecodeRLE(const uint8_t* data, int64_t size, TPXBitmap& bitmap, bool topDown, TPXProgressRec& progress,
               const TBGR* palette) {
  const int64_t width = bitmap.Width();
  const int64_t height = bitmap.Height();
  if (width <= 0 || height <= 0) return false;
  if (bitmap.PixelFormat() != (kRGB ? pxBGR24 : pxPal8)) return false;
  if (!data || size < 0) size = 0;

  TRLERowWriter<kRGB> out(bitmap, topDown, palette);
  int64_t pos = 0;
  int64_t x = 0;
  int64_t k = 0;
  // Pixels beyond the right edge are dropped: writers pad odd-width rows
  // past the edge, and other readers drop those pixels too.
  auto put = [&](uint8_t index) -> bool {
    if (x < width && !out.Put(x, index)) return false;
    if (x < width) ++x;
    return true;
  };
  auto nextRows = [&](int64_t rows) -> int {  // 1 go on, 0 finished
    k += rows;
    if (k >= height) return 0;
    out.SetRow(k);
    return BeginFilterRow(progress, k) ? 1 : 0;
  };

  if (!BeginFilterRow(progress, 0)) return true;
  out.SetRow(0);
  for (;;) {
    if (size - pos < 2) return false;
    const uint8_t n = data[pos];
    const uint8_t e = data[pos + 1];
    pos += 2;
    if (n > 0) {
      if constexpr (kRLE4) {
        const uint8_t hi = e >> 4, lo = e & 0x0F;
        for (int i = 0; i < n && x < width; ++i)
          if (!put((i & 1) ? lo : hi)) return false;
      } else {
        for (int i = 0; i < n; ++i)
          if (!put(e)) return false;
      }
      continue;
    }
    switch (e) {
      case 0:  // end of line
        x = 0;
        if (!nextRows(1)) return true;
        break;
      case 1:  // end of bitmap
        return true;
      case 2: {  // delta
        if (size - pos < 2) return false;
        const uint8_t dx = data[pos], dy = data[pos + 1];
        pos += 2;
        x = std::min(x + dx, width);
        if (dy > 0 && !nextRows(dy)) return true;
        break;
      }
      default: {  // absolute run of e pixels
        const int64_t bytes = kRLE4 ? (e + 1) / 2 : e;
        const int64_t have = std::min(bytes, size - pos);
        if constexpr (kRLE4) {
          for (int64_t i = 0; i < e && i / 2 < have; ++i) {
            const uint8_t b = data[pos + i / 2];
            if (!put((i & 1) ? (b & 0x0F) : (b >> 4))) return false;
          }
        } else {
          for (int64_t i = 0; i < have; ++i)
            if (!put(data[pos + i])) return false;
        }
        if (have < bytes) return false;
        pos += bytes + (bytes & 1);
        break;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Run-length encoding

template <bool kRLE4>
int32_t EncodeRLERow(const uint8_t* row, int32_t width, uint8_t* out) {
  uint8_t* o = out;
  auto idx = [&](int32_t i) -> uint8_t { return kRLE4 ? static_cast<uint8_t>(row[i] & 0x0F) : row[i]; };
  auto both = [](uint8_t v) -> uint8_t { return static_cast<uint8_t>((v << 4) | v); };

  auto flush = [&](int32_t from, int32_t n) {
    while (n > 0) {
      const int32_t c = std::min(n, 255);
      if (c == 1) {
        *o++ = 1;
        *o++ = kRLE4 ? both(idx(from)) : idx(from);
      } else if (c == 2) {
        if constexpr (kRLE4) {
          *o++ = 2;
          *o++ = static_cast<uint8_t>((idx(from) << 4) | idx(from + 1));
        } else {
          *o++ = 1;
          *o++ = idx(from);
          *o++ = 1;
          *o++ = idx(from + 1);
        }
      } else {
        *o++ = 0;
        *o++ = static_cast<uint8_t>(c);
        if constexpr (kRLE4) {
          const int32_t bytes = (c + 1) / 2;
          for (int32_t i = 0; i < c; i += 2)
            *o++ = static_cast<uint8_t>((idx(from + i) << 4) | (i + 1 < c ? idx(from + i + 1) : 0));
          if (bytes & 1) *o++ = 0;
        } else {
          std::memcpy(o, row + from, static_cast<size_t>(c));
          o += c;
          if (c & 1) *o++ = 0;
        }
      }
      from += c;
      n -= c;
    }
  };

  int32_t litStart = 0, litLen = 0;
  int32_t i = 0;
  while (i < width) {
    if (i + 1 < width && idx(i) == idx(i + 1)) {
      flush(litStart, litLen);
      litLen = 0;
      int32_t run = 2;
      while (run < 255 && i + run < width && idx(i + run) == idx(i)) ++run;
      *o++ = static_cast<uint8_t>(run);
      *o++ = kRLE4 ? both(idx(i)) : idx(i);
      i += run;
    } else {
      if (litLen == 0) litStart = i;
      ++litLen;
      ++i;
      if (litLen > 255) {
        flush(litStart, litLen);
        litLen = 0;
      }
    }
  }
  flush(litStart, litLen);
  *o++ = 0;
  *o++ = 0;
  return static_cast<int32_t>(o - out);
}

// ---------------------------------------------------------------------------
// Reading

struct TBMPHeader {
  uint32_t headerSize = 0;
  int64_t width = 0, height = 0;
  bool topDown = false;
  uint32_t bitCount = 0;
  uint32_t compression = 0;
  uint32_t imageSize = 0;
  uint32_t masks[3] = {0, 0, 0};  // red, green, blue
};

// A bit field of a 16- or 32-bit pixel brought to 8 bits: the value is taken
// from the mask's lowest set bit and scaled from its own range to 0..255,
// value x 255 / maximum rounded, so the brightest value of any width reads
// 255 (5-bit white is 255, not 248).
class TBitField {
 public:
  explicit TBitField(uint32_t m) : mask_(m), shift_(BitFieldShift(m)) {
    const int w = BitFieldWidth(m);
    max_ = w >= 32 ? 0xFFFFFFFFu : (1u << w) - 1;
    if (w == 8) return;  // already the full range
    if (w <= 16) {
      lut_.resize(size_t{max_} + 1);
      for (uint32_t v = 0; v <= max_; ++v) lut_[v] = Scale(v);
    } else {
      wide_ = true;
    }
  }
  uint8_t operator()(uint32_t v) const {
    const uint32_t f = ((v & mask_) >> shift_) & max_;
    if (!lut_.empty()) return lut_[f];
    return wide_ ? Scale(f) : static_cast<uint8_t>(f);
  }

 private:
  // Never exactly half way: 2 x 255 x v is even and the maximum is odd.
  uint8_t Scale(uint32_t v) const {
    if (max_ == 0) return 0;
    return static_cast<uint8_t>((uint64_t{v} * 510 + max_) / (2 * uint64_t{max_}));
  }

  uint32_t mask_ = 0, max_ = 0;
  int shift_ = 0;
  bool wide_ = false;
  std::vector<uint8_t> lut_;
};

class TBMPReader {
 public:
  TBMPReader(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress)
      : s_(stream), bmp_(bitmap), params_(params), progress_(progress) {}

  void Read(int64_t dataLength, bool paramsOnly, bool headerLess);

 private:
  bool Fail(TPXIOResult kind, const std::string& why) {
    progress_.Fail(kind, "BMP: " + why);
    return false;
  }
  bool Truncated(const char* what) { return Fail(iorCorrupt, std::string(what) + " ends early"); }
  bool RowLost(int64_t k) {
    return Fail(iorCorrupt, "pixel data ends early at row " + std::to_string(k) + " of " + std::to_string(h_.height));
  }
  int32_t TargetRow(int64_t k) const { return static_cast<int32_t>(h_.topDown ? k : h_.height - 1 - k); }
  bool ReadInfoHeader();
  bool ReadPalette(int64_t count, int entryBytes);
  bool ReadStraightRows(int64_t dataBytes);
  template <typename TPut>
  bool ReadPixelRows(int bytesPerPixel, TPut put);
  bool Read32();
  bool Read16();
  bool Read8();
  bool ReadPacked();
  bool ReadRLE(int64_t compSize, bool rle4);

  TStream& s_;
  TPXBitmap& bmp_;
  TIOParamsVals& params_;
  TPXProgressRec& progress_;
  TBMPHeader h_;
  int64_t rowLen_ = 0;  // bytes of one file row
  bool native_ = false;
  TPaletteTable table_{};
};

bool TBMPReader::ReadPalette(int64_t count, int entryBytes) {
  uint8_t buf[256 * 4];
  if (count <= 0) return true;
  if (!s_.ReadExact(buf, count * entryBytes)) return Truncated("the palette");
  std::vector<TBGR> pal(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    const uint8_t* p = buf + i * entryBytes;
    pal[i] = TBGR{p[0], p[1], p[2]};
  }
  params_.SetPalette(pal.data(), static_cast<int32_t>(count));
  params_.PaletteCount = static_cast<int32_t>(count);
  return true;
}

bool TBMPReader::ReadInfoHeader() {
  uint8_t sizeBytes[4];
  if (!s_.ReadExact(sizeBytes, 4)) return Truncated("the info header");
  s_.Seek(-4, TSeekOrigin::soCurrent);
  h_.headerSize = GetLE32(sizeBytes);
  params_.FreePalette();
  params_.PaletteCount = 0;

  if (h_.headerSize == 12) {
    uint8_t hb[12];
    if (!s_.ReadExact(hb, 12)) return Truncated("the info header");
    params_.BMPHeaderKind = 2;
    h_.width = GetLE16(hb + 4);
    h_.height = GetLE16(hb + 6);
    h_.bitCount = GetLE16(hb + 10);
    params_.Width = static_cast<int32_t>(h_.width);
    params_.Height = static_cast<int32_t>(h_.height);
    params_.SetDpiX(PXSettings().DefaultDpiX);
    params_.SetDpiY(PXSettings().DefaultDpiY);
    if (h_.bitCount <= 8) return ReadPalette(int64_t{1} << h_.bitCount, 3);
    return true;
  }

  // Every other size is read as the Windows layout; past 64 bytes nothing is
  // looked at, and a short header leaves the missing fields zero.
  uint8_t hb[64] = {};
  if (!s_.ReadExact(hb, std::min<uint32_t>(64, h_.headerSize))) return Truncated("the info header");
  if (h_.headerSize > 64) {
    const int64_t skip = int64_t{h_.headerSize} - 64;
    if (skip > StreamBytesLeft(s_)) return Truncated("the info header");
    s_.Seek(skip, TSeekOrigin::soCurrent);
  }
  params_.BMPHeaderKind = h_.headerSize == 64 ? 3 : h_.headerSize == 40 ? 1 : 0;
  const int32_t width = GetI32(hb + 4);
  const int32_t height = GetI32(hb + 8);
  // INT_MIN has no positive counterpart; a negative width has no meaning.
  if (height == INT32_MIN || width < 0)
    return Fail(iorCorrupt, "impossible image size " + std::to_string(width) + " x " + std::to_string(height));
  h_.width = width;
  h_.height = height < 0 ? -int64_t{height} : height;
  h_.topDown = height < 0;
  h_.bitCount = GetLE16(hb + 14);
  h_.compression = GetLE32(hb + 16);
  h_.imageSize = GetLE32(hb + 20);
  params_.Width = static_cast<int32_t>(h_.width);
  params_.Height = static_cast<int32_t>(h_.height);

  const int32_t ppmX = GetI32(hb + 24), ppmY = GetI32(hb + 28);
  const int32_t dpiX = RoundToInt32(ppmX / 100.0 * 2.54);
  const int32_t dpiY = RoundToInt32(ppmY / 100.0 * 2.54);
  params_.SetDpiX(dpiX != 0 ? dpiX : PXSettings().DefaultDpiX);
  params_.SetDpiY(dpiY != 0 ? dpiY : PXSettings().DefaultDpiY);

  if (h_.compression == 3) {
    // Headers that carry their own masks (52 bytes and up, as the V2 to V5
    // headers do; the 64-byte OS/2 header has other fields there) are not
    // followed by a separate mask block; the others have it straight after
    // the header, before any palette.
    if (h_.headerSize >= 52 && h_.headerSize != 64) {
      for (int i = 0; i < 3; ++i) h_.masks[i] = GetLE32(hb + 40 + 4 * i);
    } else {
      uint8_t mb[12];
      if (!s_.ReadExact(mb, 12)) return Truncated("the bit-field masks");
      for (int i = 0; i < 3; ++i) h_.masks[i] = GetLE32(mb + 4 * i);
    }
  }

  uint32_t colors = GetLE32(hb + 32);
  if (colors > 256) colors = 0;
  if (colors == 0 && h_.bitCount <= 8) colors = 1u << h_.bitCount;
  return ReadPalette(colors, 4);
}

void TBMPReader::Read(int64_t dataLength, bool paramsOnly, bool headerLess) {
  const int64_t start = s_.Position();
  int64_t fileSize = 0;
  uint32_t pixelOffset = 0;
  if (headerLess) {
    // A packed DIB: as if a file header said "BM", the bytes to the end of
    // the stream, and no pixel offset.
    fileSize = std::max<int64_t>(0, s_.Size() - start);
  } else {
    uint8_t fh[kFileHeaderSize];
    if (!s_.ReadExact(fh, kFileHeaderSize) || GetLE16(fh) != kSignatureBM) {
      Fail(iorCorrupt, "no \"BM\" signature at the start of the file header");
      return;
    }
    fileSize = GetLE32(fh + 2);
    pixelOffset = GetLE32(fh + 10);
  }
  if (dataLength <= 0 && fileSize != 0) dataLength = fileSize;

  if (!ReadInfoHeader()) return;
  params_.BMPCompression = (h_.compression == 1 || h_.compression == 2) ? 1 : 0;

  switch (h_.bitCount) {
    case 1: params_.BitsPerSample = 1, params_.SamplesPerPixel = 1; break;
    case 4: params_.BitsPerSample = 4, params_.SamplesPerPixel = 1; break;
    case 8: params_.BitsPerSample = 8, params_.SamplesPerPixel = 1; break;
    case 16: params_.BitsPerSample = 5, params_.SamplesPerPixel = 3; break;
    case 24:
    case 32: params_.BitsPerSample = 8, params_.SamplesPerPixel = 3; break;
    default:  // no such depth in a BMP we can read
      Fail(iorUnsupported, std::to_string(h_.bitCount) + " bits per pixel are not read");
      return;
  }
  // Each depth has its own compressions: run lengths at 4 and 8 bits (RLE4,
  // RLE8), bit fields above 8 bits. Anything else (JPEG or PNG inside a BMP,
  // OS/2's 1-bit Huffman, which also uses 3, a code at a depth it does not
  // fit) is refused rather than shown as an empty image.
  const uint32_t comp = h_.compression;
  const bool known = comp == 0 || (h_.bitCount == 4 && comp == 2) || (h_.bitCount == 8 && comp == 1) ||
                     (h_.bitCount >= 16 && comp == 3);
  if (!known) {
    Fail(iorUnsupported,
         "compression " + std::to_string(comp) + " at " + std::to_string(h_.bitCount) + " bits per pixel is not read");
    return;
  }

  if (pixelOffset != 0) s_.Seek(start + pixelOffset, TSeekOrigin::soBeginning);
  const int64_t compSize = dataLength >= 1 ? start + dataLength - s_.Position() : int64_t{h_.imageSize};

  if (h_.width == 0 || h_.height == 0 || paramsOnly) return;

  table_ = MakePaletteTable(params_.Palette.get(), params_.PaletteCount);
  // A 1-bit image is black and white only when its two colours are; in
  // other colours it is read like the 4- and 8-bit ones.
  static constexpr TBGR kBlack{0, 0, 0}, kWhite{255, 255, 255};
  const bool blackWhite = h_.bitCount == 1 && ((table_[0] == kBlack && table_[1] == kWhite) ||
                                               (table_[0] == kWhite && table_[1] == kBlack));
  native_ = params_.KeepNativeFormat != 0 && h_.bitCount <= 8 && !blackWhite;
  const TPXPixelFormat format = blackWhite ? pxBW1 : native_ ? pxPal8 : pxBGR24;
  rowLen_ = CalcRowLen(h_.width, h_.bitCount);
  const uint32_t c = h_.compression;
  const bool uncompressed = c == 0 || (c == 3 && h_.bitCount >= 16);
  int64_t bytes = StreamBytesLeft(s_);
  if (!uncompressed && compSize > 0) bytes = std::min(bytes, compSize);
  // Uncompressed rows are stored whole; run lengths give at most 255 pixels
  // for two bytes, and delta and end codes skip more, hence the margin.
  constexpr int64_t kMaxRLEPixelsPerByte = 1024;
  if (uncompressed ? !CheckDeclaredImage("BMP", h_.width, h_.height, h_.bitCount, bytes, 1.0, progress_)
                   : !CheckDeclaredImage("BMP", h_.width, h_.height, 8, bytes, kMaxRLEPixelsPerByte, progress_))
    return;
  if (!FilterImageSizeOk(h_.width, h_.height, BitsOfFormat(format))) {
    Fail(iorTooLarge,
         "image size " + std::to_string(h_.width) + " x " + std::to_string(h_.height) + " is beyond what can be held");
    return;
  }
  // Uncompressed rows must all be there: a pixel array longer than the data
  // is a truncated file, refused before anything is allocated for it.
  if (uncompressed && rowLen_ * h_.height > bytes) {
    Fail(iorCorrupt,
         "pixel data ends early: " + std::to_string(bytes) + " of " + std::to_string(rowLen_ * h_.height) + " bytes");
    return;
  }
  if (!bmp_.Allocate(static_cast<int32_t>(h_.width), static_cast<int32_t>(h_.height), format)) {
    Fail(iorNoMemory, "no storage for a " + std::to_string(h_.width) + " x " + std::to_string(h_.height) + " image");
    return;
  }
  progress_.Start(h_.height);
  if (native_) {
    // Every index the depth allows lands inside the bitmap's palette: those
    // the file does not define are black.
    const int entries = 1 << h_.bitCount;
    for (int i = 0; i < entries; ++i) bmp_.SetPaletteEntry(i, table_[i]);
    bmp_.MaxColors = entries;
  }

  switch (h_.bitCount) {
    case 24: ReadStraightRows(h_.width * 3); break;
    case 32: Read32(); break;
    case 16: Read16(); break;
    case 8:
      if (c == 0) Read8();
      else ReadRLE(compSize, false);
      break;
    case 4:
      if (c == 0) ReadPacked();
      else ReadRLE(compSize, true);
      break;
    case 1:
      if (!blackWhite) ReadPacked();
      else if (ReadStraightRows((h_.width + 7) / 8) && !progress_.Aborted() && table_[0] == kWhite)
        InvertBitmapBits(bmp_);  // in the bitmap a set bit is white
      break;
  }
}

// Rows read straight from the stream into the bitmap's rows (24 and 1 bit).
bool TBMPReader::ReadStraightRows(int64_t dataBytes) {
  uint8_t pad[4];
  const int64_t padBytes = rowLen_ - dataBytes;
  for (int64_t k = 0; k < h_.height; ++k) {
    if (!BeginFilterRow(progress_, k)) return false;
    uint8_t* row = bmp_.Scanline(TargetRow(k));
    if (!row || !s_.ReadExact(row, dataBytes) || !s_.ReadExact(pad, padBytes)) return RowLost(k);
  }
  return true;
}

// Whole file rows read one at a time; put(src, dst) turns each pixel of
// bytesPerPixel bytes into blue, green, red.
template <typename TPut>
bool TBMPReader::ReadPixelRows(int bytesPerPixel, TPut put) {
  std::vector<uint8_t> buf(static_cast<size_t>(rowLen_));
  for (int64_t k = 0; k < h_.height; ++k) {
    if (!BeginFilterRow(progress_, k)) return false;
    uint8_t* row = bmp_.Scanline(TargetRow(k));
    if (!row || !s_.ReadExact(buf.data(), rowLen_)) return RowLost(k);
    const uint8_t* src = buf.data();
    for (int64_t x = 0; x < h_.width; ++x, src += bytesPerPixel, row += 3) put(src, row);
  }
  return true;
}

bool TBMPReader::Read32() {
  const bool fields = h_.compression == 3;
  if (!fields || (h_.masks[0] == 0xFF0000 && h_.masks[1] == 0xFF00 && h_.masks[2] == 0xFF)) {
    return ReadPixelRows(4, [](const uint8_t* src, uint8_t* row) {
      row[0] = src[0];
      row[1] = src[1];
      row[2] = src[2];
    });
  }
  // The channels sit wherever the masks put them.
  const TBitField red(h_.masks[0]), green(h_.masks[1]), blue(h_.masks[2]);
  return ReadPixelRows(4, [&](const uint8_t* src, uint8_t* row) {
    const uint32_t v = GetLE32(src);
    row[0] = blue(v);
    row[1] = green(v);
    row[2] = red(v);
  });
}

bool TBMPReader::Read16() {
  const bool fields = h_.compression == 3;
  const TBitField red(fields ? h_.masks[0] : 0x7C00), green(fields ? h_.masks[1] : 0x03E0),
      blue(fields ? h_.masks[2] : 0x001F);
  return ReadPixelRows(2, [&](const uint8_t* src, uint8_t* row) {
    const uint32_t v = GetLE16(src);
    row[0] = blue(v);
    row[1] = green(v);
    row[2] = red(v);
  });
}

bool TBMPReader::Read8() {
  const int64_t total = h_.height * rowLen_;
  const int64_t bandRows = std::max<int64_t>(1, kMaxPixelBlock / rowLen_);
  std::vector<uint8_t> buf;
  int64_t k = 0;
  while (k < h_.height) {
    const int64_t want = std::min(bandRows, h_.height - k) * rowLen_;
    // Never more memory than the stream can fill.
    const int64_t have = std::min({want, total, StreamBytesLeft(s_)});
    if (static_cast<int64_t>(buf.size()) < have) buf.resize(static_cast<size_t>(have));
    const int64_t got = have > 0 ? s_.Read(buf.data(), have) : 0;
    const int64_t rows = got / rowLen_;
    for (int64_t r = 0; r < rows; ++r, ++k) {
      if (!BeginFilterRow(progress_, k)) return false;
      uint8_t* row = bmp_.Scanline(TargetRow(k));
      if (!row) return RowLost(k);
      const uint8_t* src = buf.data() + r * rowLen_;
      if (native_) {
        std::memcpy(row, src, static_cast<size_t>(h_.width));
      } else {
        for (int64_t x = 0; x < h_.width; ++x, row += 3) {
          const TBGR c = table_[src[x]];
          row[0] = c.b;
          row[1] = c.g;
          row[2] = c.r;
        }
      }
    }
    if (got < want) return RowLost(k);
  }
  return true;
}

// Uncompressed 1- and 4-bit rows, leftmost pixel in the high bits.
bool TBMPReader::ReadPacked() {
  const int bits = static_cast<int>(h_.bitCount);
  const int perByte = 8 / bits;
  const uint8_t low = static_cast<uint8_t>((1 << bits) - 1);
  std::vector<uint8_t> buf(static_cast<size_t>(rowLen_ + 32));
  for (int64_t k = 0; k < h_.height; ++k) {
    if (!BeginFilterRow(progress_, k)) return false;
    uint8_t* row = bmp_.Scanline(TargetRow(k));
    if (!row || !s_.ReadExact(buf.data(), rowLen_)) return RowLost(k);
    const uint8_t* src = buf.data();
    for (int64_t x = 0; x < h_.width; ++x) {
      const int shift = 8 - bits * (1 + static_cast<int>(x % perByte));
      const uint8_t index = static_cast<uint8_t>((src[x / perByte] >> shift) & low);
      if (native_) {
        row[x] = index;
      } else {
        const TBGR c = table_[index];
        row[x * 3] = c.b;
        row[x * 3 + 1] = c.g;
        row[x * 3 + 2] = c.r;
      }
    }
  }
  return true;
}

bool TBMPReader::ReadRLE(int64_t compSize, bool rle4) {
  // The size comes from the header; the buffer never exceeds what the stream
  // holds, and whether that was enough is for the decoder to find out.
  const int64_t left = StreamBytesLeft(s_);
  const int64_t size = compSize > 0 ? std::min(compSize, left) : left;
  std::vector<uint8_t> data(static_cast<size_t>(size));
  if (!s_.ReadExact(data.data(), size)) return Truncated("the run-length data");
  bool ok;
  if (rle4)
    ok = native_ ? DecodeRLE<true, false>(data.data(), size, bmp_, h_.topDown, progress_, nullptr)
                 : DecodeRLE<true, true>(data.data(), size, bmp_, h_.topDown, progress_, table_.data());
  else
    ok = native_ ? DecodeRLE<false, false>(data.data(), size, bmp_, h_.topDown, progress_, nullptr)
                 : DecodeRLE<false, true>(data.data(), size, bmp_, h_.topDown, progress_, table_.data());
  return ok || progress_.Aborted() ? ok : Truncated("the run-length data");
}

// ---------------------------------------------------------------------------
// Writing

class TBMPWriter {
 public:
  TBMPWriter(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress)
      : s_(stream), bmp_(bitmap), params_(params), progress_(progress), out_(stream, progress) {}
  void Write();

 private:
  // How file rows are made from the rows of rows_.
  enum class TSource {
    kStraight,     // the row as it is (blue-green-red at 24 bits, 1-bit rows at 1 bit)
    kBitsToBGR,    // pxBW1 expanded to blue-green-red
    kPalToBGR,     // pxPal8 through its palette
    kGrayToBGR,    // pxGray8
    kIndices,      // pxPal8 or pxGray8 rows taken as indices
    kBitsToIndex,  // pxBW1 bits as indices 0 and 1
    kQuantized     // blue-green-red rows mapped to palette indices by the quantizer
  };
  bool Put(const void* data, int64_t count) { return out_.Put(data, count); }
  void Fail(TPXIOResult kind, const std::string& why) { progress_.Fail(kind, "BMP: " + why); }
  bool Choose();
  void ChooseOneBit();
  void ChoosePaletted();
  std::unique_ptr<TPXBitmap> RGBCopy() const;
  bool AllIndicesBelow16();
  bool WriteRow(const uint8_t* src);
  void MakeIndexRow(const uint8_t* src);

  TStream& s_;
  TPXBitmap& bmp_;
  TIOParamsVals& params_;
  TPXProgressRec& progress_;
  TPXFilterOut out_;
  int64_t width_ = 0, height_ = 0;
  int bits_ = 24;
  TSource source_ = TSource::kStraight;
  bool rle_ = false;
  int64_t rowLen_ = 0;
  // The rows written: the caller's bitmap, or work_ when its format does not
  // suit the depth. The caller's bitmap is only ever read.
  TPXBitmap* rows_ = nullptr;
  std::unique_ptr<TPXBitmap> work_;
  TPXQuantizer quant_;
  std::vector<TBGR> palette_;  // the palette written (2^bits entries at 8 bits or less)
  TPaletteTable srcTable_{};   // the source bitmap's palette, black beyond its entries
  std::vector<uint8_t> rowBuf_, indexBuf_, rleBuf_;
};

// A blue-green-red copy of the caller's image, converted by the library's
// own rules; it keeps the caller's choice of dither or threshold for a later
// reduction to 1 bit.
std::unique_ptr<TPXBitmap> TBMPWriter::RGBCopy() const {
  auto copy = std::make_unique<TPXBitmap>();
  copy->CopyPixelsFrom(bmp_);  // no alpha channel: a BMP does not keep one
  copy->BWConversion = bmp_.BWConversion;
  copy->SetPixelFormat(pxBGR24);
  return copy;
}

// True with the colour when every pixel of a pxBGR24 bitmap has it.
bool SingleColor(TPXBitmap& bitmap, TBGR& color) {
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  uint8_t first[3] = {};
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* row = bitmap.Scanline(y);
    if (!row) return false;
    if (y == 0) std::memcpy(first, row, 3);
    for (int64_t x = 0; x < w; ++x, row += 3)
      if (row[0] != first[0] || row[1] != first[1] || row[2] != first[2]) return false;
  }
  color = TBGR{first[0], first[1], first[2]};
  return true;
}

// Picks how rows are made for the requested depth, and the palette. Fails
// (nothing written) only for a bitmap without a pixel format; conversions
// that cannot be had throw, and the caller reports that as a failure.
bool TBMPWriter::Choose() {
  const TPXPixelFormat format = bmp_.PixelFormat();
  if (format == pxNone || format >= kPXPixelFormatCount) return false;
  srcTable_ = MakePaletteTable(bmp_.Palette(), bmp_.PaletteCount());
  rows_ = &bmp_;
  switch (bits_) {
    case 24:
      switch (format) {
        case pxBGR24: source_ = TSource::kStraight; break;
        case pxBW1: source_ = TSource::kBitsToBGR; break;
        case pxPal8: source_ = TSource::kPalToBGR; break;
        case pxGray8: source_ = TSource::kGrayToBGR; break;
        default:  // pxGray16, px32f, pxCMYK
          work_ = RGBCopy();
          rows_ = work_.get();
          source_ = TSource::kStraight;
          break;
      }
      return true;
    case 1: ChooseOneBit(); return true;
    default: ChoosePaletted(); return true;
  }
}

void TBMPWriter::ChooseOneBit() {
  static constexpr TBGR kBlack{0, 0, 0}, kWhite{255, 255, 255};
  source_ = TSource::kStraight;
  if (bmp_.PixelFormat() == pxBW1) {
    palette_ = {kBlack, kWhite};
    return;
  }
  // Exactly two colours: their mask, the darker colour as entry 0, so the
  // file keeps the image as it is.
  TBGR color1{}, color2{};
  if ((work_ = ExtractTwoColorMask(bmp_, color1, color2))) {
    rows_ = work_.get();
    palette_ = {color1, color2};
    return;
  }
  auto rgb = bmp_.PixelFormat() == pxBGR24 ? nullptr : RGBCopy();
  TPXBitmap& source = rgb ? *rgb : bmp_;
  TBGR only{};
  if (SingleColor(source, only)) {
    // A threshold at the mean would turn any single colour white. The colour
    // keeps its own entry, beside black or white as it is light or dark, so
    // that both palette-aware and black-and-white readers show it sensibly.
    const TPXSettings& st = PXSettings();
    const bool dark = (only.r * st.LumRed + only.g * st.LumGreen + only.b * st.LumBlue) / 100 < 128;
    palette_ = dark ? std::vector<TBGR>{only, kWhite} : std::vector<TBGR>{kBlack, only};
    work_ = std::make_unique<TPXBitmap>();
    if (!work_->Allocate(static_cast<int32_t>(width_), static_cast<int32_t>(height_), pxBW1))
      throw EPXBitmapError("Not enough storage for the image");
    if (!dark)
      for (int32_t y = 0; y < height_; ++y) {
        uint8_t* row = work_->Scanline(y);
        if (!row) throw EPXBitmapError("Cannot reach the rows of a bitmap");
        std::memset(row, 0xFF, static_cast<size_t>(work_->RowLen()));
      }
  } else {
    // Many colours: dithered or thresholded to black and white.
    work_ = rgb ? std::move(rgb) : RGBCopy();
    work_->SetPixelFormat(pxBW1);
    palette_ = {kBlack, kWhite};
  }
  rows_ = work_.get();
}

void TBMPWriter::ChoosePaletted() {
  const TPXPixelFormat format = bmp_.PixelFormat();
  palette_.assign(size_t{1} << bits_, TBGR{});
  // Indices that fit the depth are written as they are, with their palette.
  if (format == pxPal8 && (bits_ == 8 || AllIndicesBelow16())) {
    std::copy_n(srcTable_.begin(), palette_.size(), palette_.begin());
    source_ = TSource::kIndices;
    return;
  }
  if (format == pxGray8 && bits_ == 8) {
    for (int i = 0; i < 256; ++i) palette_[i] = TBGR{uint8_t(i), uint8_t(i), uint8_t(i)};
    source_ = TSource::kIndices;
    return;
  }
  if (format == pxBW1) {
    // Entries 0 and 1 keep black and white exact; a grey ramp of 16 entries
    // would top out at 240.
    palette_[1] = TBGR{255, 255, 255};
    source_ = TSource::kBitsToIndex;
    return;
  }
  // Everything else is quantized from blue-green-red rows. A 4-bit file of
  // a pxPal8 image with higher indices gets a palette of the colours it
  // really uses, not the first 16 entries of its own.
  if (format != pxBGR24) {
    work_ = RGBCopy();
    rows_ = work_.get();
  }
  quant_.Init(*rows_, std::span<TBGR>(palette_), static_cast<int32_t>(palette_.size()));
  source_ = TSource::kQuantized;
}

bool TBMPWriter::AllIndicesBelow16() {
  for (int64_t y = 0; y < height_; ++y) {
    const uint8_t* row = bmp_.Scanline(static_cast<int32_t>(y));
    if (!row) return false;
    uint8_t any = 0;
    for (int64_t x = 0; x < width_; ++x) any |= row[x];
    if (any & 0xF0) return false;
  }
  return true;
}

void TBMPWriter::MakeIndexRow(const uint8_t* src) {
  uint8_t* dst = indexBuf_.data();
  switch (source_) {
    case TSource::kBitsToIndex:
      for (int64_t x = 0; x < width_; ++x) dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
      break;
    case TSource::kQuantized:
      // Always an entry of the palette: a colour it lacks gets the nearest.
      quant_.MapRow(src, dst, static_cast<int32_t>(width_));
      break;
    default: std::memcpy(dst, src, static_cast<size_t>(width_)); break;
  }
}

bool TBMPWriter::WriteRow(const uint8_t* src) {
  static const uint8_t kZeros[4] = {0, 0, 0, 0};
  if (bits_ == 24 && source_ == TSource::kStraight) {
    const int64_t data = width_ * 3;
    return Put(src, data) && Put(kZeros, rowLen_ - data);
  }
  if (bits_ == 1) {
    // Whole bytes straight from the row; the bits past the width are cleared.
    const int64_t whole = width_ / 8;
    uint8_t tail[5] = {0, 0, 0, 0, 0};
    int64_t tailBytes = rowLen_ - whole;
    if (width_ & 7) tail[0] = static_cast<uint8_t>(src[whole] & (0xFF00 >> (width_ & 7)));
    return Put(src, whole) && Put(tail, tailBytes);
  }
  uint8_t* out = rowBuf_.data();
  if (bits_ == 24) {
    const TPXPixelFormat from = source_ == TSource::kBitsToBGR  ? pxBW1
                                : source_ == TSource::kPalToBGR ? pxPal8
                                                                : pxGray8;
    RowToBGR24(from, src, out, static_cast<int32_t>(width_), srcTable_.data(), 256);
    return Put(out, rowLen_);
  }
  // 4 and 8 bits
  MakeIndexRow(src);
  const uint8_t* idx = indexBuf_.data();
  if (rle_) {
    const int32_t n = bits_ == 4 ? EncodeRLE4Row(idx, static_cast<int32_t>(width_), rleBuf_.data())
                                 : EncodeRLE8Row(idx, static_cast<int32_t>(width_), rleBuf_.data());
    return Put(rleBuf_.data(), n);
  }
  if (bits_ == 8) {
    std::memcpy(out, idx, static_cast<size_t>(width_));
  } else {
    for (int64_t x = 0; x < width_; x += 2)
      out[x >> 1] = static_cast<uint8_t>(((idx[x] & 0x0F) << 4) | (x + 1 < width_ ? (idx[x + 1] & 0x0F) : 0));
  }
  return Put(out, rowLen_);
}

void TBMPWriter::Write() {
  width_ = bmp_.Width();
  height_ = bmp_.Height();
  if (width_ <= 0 || height_ <= 0) {
    Fail(iorFailed, "there is no image to write");
    return;
  }
  bits_ = params_.BitsPerSample == 1 ? 1 : params_.BitsPerSample == 4 ? 4 : params_.SamplesPerPixel == 1 ? 8 : 24;
  rowLen_ = CalcRowLen(width_, bits_);
  if (rowLen_ < 0 || !Choose()) {
    Fail(iorFailed, "the image has no pixel format to write");
    return;
  }

  // The OS/2 1.x header holds sizes in 16 bits; larger images get the
  // Windows header.
  const bool os2 = params_.BMPHeaderKind == 2 && width_ <= 65535 && height_ <= 65535;
  const int headerSize = os2 ? 12 : params_.BMPHeaderKind == 3 ? 64 : 40;
  rle_ = !os2 && params_.BMPCompression == 1 && (bits_ == 4 || bits_ == 8);
  const int64_t paletteCount = bits_ <= 8 ? int64_t{1} << bits_ : 0;
  const int entryBytes = os2 ? 3 : 4;
  if (!rle_ && kFileHeaderSize + headerSize + paletteCount * entryBytes + rowLen_ * height_ > UINT32_MAX) {
    Fail(iorTooLarge, "a BMP cannot describe more than 4 GB");
    return;
  }
  rowBuf_.assign(static_cast<size_t>(rowLen_), 0);
  if (bits_ <= 8) indexBuf_.assign(static_cast<size_t>(width_), 0);
  if (rle_) rleBuf_.assign(static_cast<size_t>(width_ * 10 + 16), 0);

  const int64_t start = s_.Position();
  uint8_t fh[kFileHeaderSize] = {'B', 'M'};
  uint8_t ih[64] = {};
  PutLE32(ih, static_cast<uint32_t>(headerSize));
  if (os2) {
    PutLE16(ih + 4, static_cast<uint32_t>(width_));
    PutLE16(ih + 6, static_cast<uint32_t>(height_));
    PutLE16(ih + 8, 1);
  } else {
    PutLE32(ih + 4, static_cast<uint32_t>(width_));
    PutLE32(ih + 8, static_cast<uint32_t>(height_));
    PutLE16(ih + 12, 1);
    PutLE32(ih + 16, rle_ ? (bits_ == 4 ? 2 : 1) : 0);
    PutLE32(ih + 24, static_cast<uint32_t>(RoundToInt32(params_.DpiX / 2.54 * 100)));
    PutLE32(ih + 28, static_cast<uint32_t>(RoundToInt32(params_.DpiY / 2.54 * 100)));
    PutLE32(ih + 32, static_cast<uint32_t>(paletteCount));
    PutLE32(ih + 36, 1u << bits_);
  }
  if (!Put(fh, kFileHeaderSize) || !Put(ih, headerSize)) return;

  if (bits_ <= 8) {
    std::vector<uint8_t> pal(static_cast<size_t>(paletteCount * entryBytes), 0);
    for (int64_t i = 0; i < paletteCount; ++i) {
      uint8_t* p = pal.data() + i * entryBytes;
      p[0] = palette_[i].b;
      p[1] = palette_[i].g;
      p[2] = palette_[i].r;
    }
    params_.SetPalette(palette_.data(), static_cast<int32_t>(paletteCount));
    params_.PaletteCount = static_cast<int32_t>(paletteCount);
    if (!Put(pal.data(), static_cast<int64_t>(pal.size()))) return;
  }

  const int64_t pixelStart = s_.Position();
  progress_.Start(height_);
  for (int64_t k = 0; k < height_; ++k) {
    if (!BeginFilterRow(progress_, k)) return;
    const uint8_t* src = rows_->Scanline(static_cast<int32_t>(height_ - 1 - k));
    if (!src) {
      Fail(iorNoMemory, "cannot reach row " + std::to_string(height_ - 1 - k) + " of the image");
      return;
    }
    if (!WriteRow(src)) return;
  }
  if (rle_) {
    static const uint8_t kEndOfBitmap[2] = {0, 1};
    if (!Put(kEndOfBitmap, 2)) return;
  }
  if (progress_.Aborted()) return;

  const int64_t end = s_.Position();
  if (end - start > UINT32_MAX) {
    Fail(iorTooLarge, "a BMP cannot describe more than 4 GB");
    return;
  }
  PutLE32(fh + 2, static_cast<uint32_t>(end - start));
  PutLE32(fh + 10, static_cast<uint32_t>(pixelStart - start));
  if (os2) {
    PutLE16(ih + 10, static_cast<uint32_t>(bits_));
  } else {
    PutLE16(ih + 14, static_cast<uint32_t>(bits_));
    PutLE32(ih + 20, static_cast<uint32_t>(end - pixelStart));
  }
  s_.Seek(start, TSeekOrigin::soBeginning);
  if (!Put(fh, kFileHeaderSize) || !Put(ih, headerSize)) return;
  s_.Seek(end, TSeekOrigin::soBeginning);
}

}  // namespace

// ---------------------------------------------------------------------------

void ReadBMPStream(TStream& stream, TPXBitmap& bitmap, int64_t dataLength, TIOParamsVals& params,
                   TPXProgressRec& progress, bool paramsOnly, bool headerLess) {
  // A stream or temporary-file failure, or no memory: reported, not thrown.
  RunFilter(
      progress, [&] { TBMPReader(stream, bitmap, params, progress).Read(dataLength, paramsOnly, headerLess); }, "BMP");
}

void WriteBMPStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress) {
  RunFilter(
      progress, [&] { TBMPWriter(stream, bitmap, params, progress).Write(); }, "BMP");
}

#define PIXORAN_RLE_DECODER(name, rle4, rgb)                                                              \
  bool name(const uint8_t* data, int64_t size, TPXBitmap& bitmap, bool topDown, TPXProgressRec& progress, \
            const TBGR* palette) {                                                                        \
    try {                                                                                                 \
      return DecodeRLE<rle4, rgb>(data, size, bitmap, topDown, progress, palette);                        \
    } catch (...) {                                                                                       \
      return false;                                                                                       \
    }                                                                                                     \
  }
PIXORAN_RLE_DECODER(DecodeRLE4ToRGB, true, true)
PIXORAN_RLE_DECODER(DecodeRLE4ToIndex, true, false)
PIXORAN_RLE_DECODER(DecodeRLE8ToRGB, false, true)
PIXORAN_RLE_DECODER(DecodeRLE8ToIndex, false, false)
#undef PIXORAN_RLE_DECODER

TPXPixelFormat TwoColourFormat(const TBGR& colour0, const TBGR& colour1, bool keepNative) {
  if (colour0 == TBGR{0, 0, 0} && colour1 == TBGR{255, 255, 255}) return pxBW1;
  return keepNative ? pxPal8 : pxBGR24;
}

int32_t EncodeRLE4Row(const uint8_t* row, int32_t width, uint8_t* out) { return EncodeRLERow<true>(row, width, out); }
int32_t EncodeRLE8Row(const uint8_t* row, int32_t width, uint8_t* out) { return EncodeRLERow<false>(row, width, out); }

}  // namespace pixoran
