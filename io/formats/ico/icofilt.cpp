#include "io/formats/ico/icofilt.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/neurquant.h"
#include "core/pxresample.h"
#include "io/formats/bmp/bmpfilt.h"
#include "io/pxfiltutil.h"
#include "io/formats/png/pngfilt.h"

namespace pixoran {

namespace {

constexpr int kDirHeaderSize = 6;
constexpr int kEntrySize = 16;
constexpr int kInfoHeaderSize = 40;
// Above this a bitmap header's own size is not believed.
constexpr int32_t kMaxHeaderSide = 2048;
constexpr uint8_t kPNGSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct TIconEntry {
  int32_t width = 0, height = 0;  // 1..256
  int32_t colors = 0;
  uint8_t reserved = 0;
  int32_t planes = 0, bitCount = 0;  // a cursor's hot spot x and y
  uint32_t size = 0, offset = 0;
};

TIconEntry ParseEntry(const uint8_t* b) {
  TIconEntry e;
  e.width = b[0] ? b[0] : 256;  // a 0 byte stands for 256
  e.height = b[1] ? b[1] : 256;
  e.colors = b[2];
  e.reserved = b[3];
  e.planes = GetLE16(b + 4);
  e.bitCount = GetLE16(b + 6);
  e.size = GetLE32(b + 8);
  e.offset = GetLE32(b + 12);
  return e;
}

// Reads the directory header; the count, or -1 when it is not of the type.
int32_t ReadDirHeader(TStream& stream, int type) {
  uint8_t h[kDirHeaderSize];
  if (!stream.ReadExact(h, kDirHeaderSize) || GetLE16(h) != 0 || GetLE16(h + 2) != type) return -1;
  return GetLE16(h + 4);
}

bool ProbeIcon(TStream& stream, int type) {
  const int64_t start = stream.Position();
  bool ok = false;
  try {
    const int32_t count = StreamBytesLeft(stream) >= 23 ? ReadDirHeader(stream, type) : -1;
    ok = count > 0;
    uint8_t b[kEntrySize];
    for (int32_t i = 0; ok && i < count; ++i) {
      if (!stream.ReadExact(b, kEntrySize)) {
        ok = false;
        break;
      }
      const TIconEntry e = ParseEntry(b);
      ok = e.reserved == 0 && e.size != 0 && e.offset >= static_cast<uint32_t>(kDirHeaderSize + kEntrySize * (i + 1));
    }
  } catch (const EStreamError&) {
    ok = false;
  }
  stream.SetPosition(start);
  return ok;
}

class TIconReader {
 public:
  TIconReader(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool cursor)
      : s_(stream), bmp_(bitmap), params_(params), progress_(progress), cursor_(cursor) {}
  // Reads image index (its transparency into mask unless that is null);
  // false (Aborting set) on failure.
  bool Read(int32_t index, bool paramsOnly, std::unique_ptr<TPXMask>* mask, TIconEntry& entry);

 private:
  const char* Name() const { return cursor_ ? "CUR" : "ICO"; }
  bool Fail(TPXIOResult kind, const std::string& why) {
    progress_.Fail(kind, std::string(Name()) + ": " + why);
    return false;
  }
  bool ReadPNG(const TIconEntry& e, bool paramsOnly, std::unique_ptr<TPXMask>* mask);
  bool ReadDIB(const TIconEntry& e, bool paramsOnly, std::unique_ptr<TPXMask>* mask);

  TStream& s_;
  TPXBitmap& bmp_;
  TIOParamsVals& params_;
  TPXProgressRec& progress_;
  bool cursor_;
  int64_t start_ = 0;
};

bool TIconReader::Read(int32_t index, bool paramsOnly, std::unique_ptr<TPXMask>* mask, TIconEntry& entry) {
  start_ = s_.Position();
  const int32_t count = ReadDirHeader(s_, cursor_ ? 2 : 1);
  if (count < 0) return Fail(iorCorrupt, "no icon directory at the start of the data");
  if (count == 0) return Fail(iorCorrupt, "the directory lists no image");
  if (index < 0 || index >= count)
    return Fail(iorFailed, "no image " + std::to_string(index) + " among " + std::to_string(count));
  uint8_t b[kEntrySize];
  if (!cursor_) {
    for (auto& size : params_.ICOSizes) size = {0, 0};
    params_.ICOBitCounts.fill(0);
    for (int32_t i = 0; i < std::min(count, 16); ++i) {
      if (!s_.ReadExact(b, kEntrySize)) return Fail(iorCorrupt, "the directory ends early");
      const TIconEntry e = ParseEntry(b);
      params_.ICOSizes[i] = {e.width, e.height};
      const int32_t fromColors = e.colors ? BitsForCount(e.colors) : 24;
      params_.ICOBitCounts[i] = e.bitCount ? e.bitCount : fromColors;
    }
  }
  s_.SetPosition(start_ + kDirHeaderSize + int64_t{kEntrySize} * index);
  if (!s_.ReadExact(b, kEntrySize)) return Fail(iorCorrupt, "the directory ends early");
  entry = ParseEntry(b);
  const int64_t at = start_ + entry.offset;
  if (at >= s_.Size()) return Fail(iorCorrupt, "image " + std::to_string(index) + " lies past the end of the file");
  s_.SetPosition(at);
  uint8_t sig[8] = {};
  const bool png = s_.Read(sig, 8) == 8 && std::memcmp(sig, kPNGSignature, 8) == 0;
  s_.SetPosition(at);
  return png ? ReadPNG(entry, paramsOnly, mask) : ReadDIB(entry, paramsOnly, mask);
}

// Images stored as PNG go through the PNG filter, their transparency into
// the mask (all 255 and Full for an opaque image).
bool TIconReader::ReadPNG(const TIconEntry&, bool paramsOnly, std::unique_ptr<TPXMask>* mask) {
  std::unique_ptr<TPXMask> unused;
  ReadPNGStream(s_, bmp_, params_, false, mask ? *mask : unused, paramsOnly, progress_);
  return !progress_.Aborted();
}

bool TIconReader::ReadDIB(const TIconEntry& e, bool paramsOnly, std::unique_ptr<TPXMask>* mask) {
  uint8_t ih[kInfoHeaderSize];
  if (e.size < kInfoHeaderSize || !s_.ReadExact(ih, kInfoHeaderSize))
    return Fail(iorCorrupt, "the image header ends early");
  if (GetLE32(ih) != kInfoHeaderSize)
    return Fail(iorCorrupt, "an image header of " + std::to_string(GetLE32(ih)) + " bytes");
  const int32_t hdrW = static_cast<int32_t>(GetLE32(ih + 4));
  const int32_t hdrH = static_cast<int32_t>(GetLE32(ih + 8));
  const int32_t hdrBits = GetLE16(ih + 14);
  for (int axis = 0; axis < 2; ++axis) {
    const int32_t ppm = static_cast<int32_t>(GetLE32(ih + 24 + 4 * axis));
    const int32_t dpi = RoundToInt32(ppm / 100.0 * 2.54);
    const int32_t value = dpi < 1 ? (axis ? PXSettings().DefaultDpiY : PXSettings().DefaultDpiX) : dpi;
    axis ? params_.SetDpiY(value) : params_.SetDpiX(value);
  }
  const int32_t fromColors = e.colors ? BitsForCount(e.colors) : 0;
  int32_t bits = cursor_ ? 0 : e.bitCount;
  if (hdrBits) bits = hdrBits;
  if (!bits) bits = fromColors;
  if (bits == 0) return Fail(iorCorrupt, "no bit count in the entry or the image header");
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
    return Fail(iorUnsupported, std::to_string(bits) + " bits per pixel are not read");
  if (bits > 8) {
    params_.BitsPerSample = 8;
    params_.SamplesPerPixel = bits == 32 ? 4 : 3;
  } else {
    params_.BitsPerSample = bits;
    params_.SamplesPerPixel = 1;
  }
  if (cursor_) params_.SamplesPerPixel = 1;

  int64_t w = e.width, h = e.height;
  if (hdrW != 0 && hdrW != w && hdrW > 0 && hdrW < kMaxHeaderSide && hdrH > 1 && hdrH < kMaxHeaderSide) {
    w = hdrW;
    h = hdrH / 2;
  }
  // The palette: 2^bits entries, of which a cursor stores as many as its
  // colour count says (255 meaning 256); the rest stay black.
  const int32_t entries = bits <= 8 ? 1 << bits : 0;
  int32_t stored = entries;
  if (cursor_ && bits <= 8 && e.colors) stored = std::min(entries, e.colors == 255 ? 256 : e.colors);
  std::vector<uint8_t> palBytes(static_cast<size_t>(stored) * 4);
  std::vector<TBGR> palette(static_cast<size_t>(entries));
  const int64_t xorRow = CalcRowLen(w, bits), andRow = CalcRowLen(w, 1);
  // Every depth but 32 bits (whose fourth byte is the transparency) is
  // followed by its AND mask.
  const bool readAnd = bits != 32;
  const int64_t xorBytes = xorRow * h, andBytes = readAnd ? andRow * h : 0;
  // The colours must fit the entry's size and the stream; rows are stored
  // uncompressed, so the data must hold them all. The AND mask may end
  // early (some writers leave it out for small images): what is missing
  // reads as opaque.
  const int64_t before = kInfoHeaderSize + int64_t{stored} * 4;
  const int64_t streamLeft = StreamBytesLeft(s_) - int64_t{stored} * 4;
  const int64_t colourRoom = std::min(int64_t{e.size} - before, streamLeft);
  if (!CheckDeclaredImage(Name(), w, h, bits, colourRoom, 1.0, progress_)) return false;
  if (xorBytes > colourRoom)
    return Fail(iorCorrupt, "the colour data ends early: " + std::to_string(std::max<int64_t>(colourRoom, 0)) + " of " +
                                std::to_string(xorBytes) + " bytes");
  const int64_t andPresent = std::clamp<int64_t>(colourRoom - xorBytes, 0, andBytes);
  if (!s_.ReadExact(palBytes.data(), static_cast<int64_t>(palBytes.size())))
    return Fail(iorCorrupt, "the palette ends early");
  for (int32_t i = 0; i < stored; ++i) palette[i] = TBGR{palBytes[4 * i], palBytes[4 * i + 1], palBytes[4 * i + 2]};
  params_.FreePalette();
  if (entries) params_.SetPalette(palette.data(), entries);
  params_.Width = static_cast<int32_t>(w);
  params_.Height = static_cast<int32_t>(h);
  if (paramsOnly) return true;

  const TBGR bg = cursor_ ? params_.CURBackground : params_.ICOBackground;
  // Two colours keep their own: black and white only when they are, else
  // the palette with the background as a third entry for the transparent
  // pixels, or colours.
  const TPXPixelFormat format =
      bits == 1 ? TwoColourFormat(palette[0], palette[1], params_.KeepNativeFormat != 0) : pxBGR24;
  // Zero-filled: an AND mask that is not there is all opaque.
  std::vector<uint8_t> pixels(static_cast<size_t>(xorBytes + andBytes), 0);
  if (!s_.ReadExact(pixels.data(), xorBytes + andPresent)) return Fail(iorCorrupt, "the colour data ends early");
  if (!bmp_.Allocate(params_.Width, params_.Height, format))
    return Fail(iorNoMemory, "no storage for a " + std::to_string(w) + " x " + std::to_string(h) + " image");
  if (format == pxPal8) {
    bmp_.SetPaletteEntry(0, palette[0]);
    bmp_.SetPaletteEntry(1, palette[1]);
    bmp_.SetPaletteEntry(2, bg);
    bmp_.MaxColors = 3;
  }
  TPXMask* alpha = nullptr;
  if (mask && !(alpha = OpaqueMask(*mask, params_.Width, params_.Height)))
    return Fail(iorNoMemory, "no storage for the transparency");
  const bool whiteBg = bg == TBGR{255, 255, 255};
  progress_.Start(h);
  for (int64_t k = 0; k < h; ++k) {
    if (!BeginFilterRow(progress_, k)) return false;
    const int32_t y = static_cast<int32_t>(h - 1 - k);
    const uint8_t* x0 = pixels.data() + k * xorRow;
    const uint8_t* a0 = pixels.data() + h * xorRow + k * andRow;
    uint8_t* row = bmp_.Scanline(y);
    if (!row) return Fail(iorNoMemory, "cannot reach row " + std::to_string(y) + " of the image");
    auto masked = [&](int64_t x) { return readAnd && ((a0[x >> 3] >> (7 - (x & 7))) & 1); };
    auto put = [&](uint8_t* p, const TBGR& c) { p[0] = c.b, p[1] = c.g, p[2] = c.r; };
    switch (bits) {
      case 1:
        if (format == pxBW1) {
          std::memcpy(row, x0, static_cast<size_t>((w + 7) / 8));
          if (whiteBg)
            for (int64_t x = 0; x < w; ++x)
              if (masked(x)) row[x >> 3] ^= static_cast<uint8_t>(0x80 >> (x & 7));
        } else {
          for (int64_t x = 0; x < w; ++x) {
            const int bit = (x0[x >> 3] >> (7 - (x & 7))) & 1;
            if (format == pxPal8) row[x] = masked(x) ? 2 : static_cast<uint8_t>(bit);
            else put(row + 3 * x, masked(x) ? bg : palette[bit]);
          }
        }
        break;
      case 4:
      case 8:
        for (int64_t x = 0; x < w; ++x, row += 3) {
          const int idx = bits == 8 ? x0[x] : ((x & 1) ? (x0[x >> 1] & 0x0F) : (x0[x >> 1] >> 4));
          put(row, masked(x) ? bg : palette[idx]);
        }
        break;
      case 24:
        std::memcpy(row, x0, static_cast<size_t>(w * 3));
        for (int64_t x = 0; x < w; ++x)
          if (masked(x)) put(row + 3 * x, bg);
        break;
      default:
        for (int64_t x = 0; x < w; ++x, row += 3) row[0] = x0[4 * x], row[1] = x0[4 * x + 1], row[2] = x0[4 * x + 2];
        break;
    }
    if (alpha) {
      uint8_t* ar = alpha->GetRowPointer(y);
      if (!ar) return Fail(iorNoMemory, "cannot reach the transparency");
      if (bits == 32) {
        for (int64_t x = 0; x < w; ++x) ar[x] = x0[4 * x + 3];
      } else {
        for (int64_t x = 0; x < w; ++x)
          if (masked(x)) ar[x] = 0;
      }
    }
  }
  progress_.RowsDone = static_cast<int32_t>(h);
  if (alpha) alpha->SyncFull();
  return true;
}

// ---------------------------------------------------------------- writing

int32_t EntryBits(int32_t requested, const TIOParamsVals& params) {
  if (requested == 1 || requested == 4 || requested == 8 || requested == 32) return requested;
  if (requested != 0) return 24;
  const int32_t b = params.BitsPerSample, s = params.SamplesPerPixel;
  if (b == 1 && s == 1) return 1;
  if (b == 4 && s == 1) return 4;
  if (b == 8 && s == 3) return 24;
  if (b == 8 && s == 4) return 32;
  return 8;
}

// One image of the icon: header, palette, XOR rows and AND rows.
bool WriteIconImage(TPXFilterOut& out, TPXBitmap& image, TPXBitmap* alpha, int32_t bits, TIOParamsVals& params) {
  const int64_t w = image.Width(), h = image.Height();
  // The rows in the entry's own format: black and white, or colours.
  std::unique_ptr<TPXBitmap> work;
  TPXBitmap* rows = &image;
  const TPXPixelFormat want = bits == 1 ? pxBW1 : pxBGR24;
  if (image.PixelFormat() != want) {
    work = ConvertedCopy(image, want);
    rows = work.get();
  }
  const int64_t xorRow = CalcRowLen(w, bits), andRow = CalcRowLen(w, 1);
  uint8_t ih[kInfoHeaderSize] = {};
  PutLE32(ih, kInfoHeaderSize);
  PutLE32(ih + 4, static_cast<uint32_t>(w));
  PutLE32(ih + 8, static_cast<uint32_t>(2 * h));
  PutLE16(ih + 12, 1);
  PutLE16(ih + 14, static_cast<uint32_t>(bits));
  PutLE32(ih + 20, bits <= 8 ? static_cast<uint32_t>(h * xorRow + w * h / 8) : 0);
  PutLE32(ih + 24, static_cast<uint32_t>(RoundToInt32(params.DpiX / 2.54 * 100)));
  PutLE32(ih + 28, static_cast<uint32_t>(RoundToInt32(params.DpiY / 2.54 * 100)));
  if (!out.Put(ih, kInfoHeaderSize)) return false;

  TPXQuantizer quant;
  if (bits <= 8) {
    std::vector<TBGR> palette(size_t{1} << bits);
    if (bits == 1) {
      palette[1] = TBGR{255, 255, 255};
    } else {
      // Entry 0 is kept black for the transparent pixels.
      const int32_t n = (1 << bits) - 1;
      quant.Init(*rows, std::span<TBGR>(palette).subspan(1), n);
      params.SetPalette(palette.data(), static_cast<int32_t>(palette.size()));
    }
    std::vector<uint8_t> p(palette.size() * 4, 0);
    for (size_t i = 0; i < palette.size(); ++i)
      p[4 * i] = palette[i].b, p[4 * i + 1] = palette[i].g, p[4 * i + 2] = palette[i].r;
    if (!out.Put(p.data(), static_cast<int64_t>(p.size()))) return false;
  }
  std::vector<uint8_t> buf(static_cast<size_t>(std::max(xorRow, andRow)), 0), index(static_cast<size_t>(w));
  for (int64_t k = 0; k < h; ++k) {
    const int32_t y = static_cast<int32_t>(h - 1 - k);
    const uint8_t* a = alpha ? alpha->Scanline(y) : nullptr;
    const std::vector<uint8_t> alphaRow = a ? std::vector<uint8_t>(a, a + w) : std::vector<uint8_t>(w, 255);
    const uint8_t* src = rows->Scanline(y);
    if (!src) return false;
    std::fill(buf.begin(), buf.end(), 0);
    switch (bits) {
      case 1:
        std::memcpy(buf.data(), src, static_cast<size_t>((w + 7) / 8));
        if (w & 7) buf[(w + 7) / 8 - 1] &= static_cast<uint8_t>(0xFF00 >> (w & 7));
        break;
      case 4:
      case 8:
        quant.MapRow(src, index.data(), static_cast<int32_t>(w));
        for (int64_t x = 0; x < w; ++x) {
          const uint8_t v = alphaRow[x] == 255 ? static_cast<uint8_t>(index[x] + 1) : 0;
          if (bits == 8) buf[x] = v;
          else buf[x >> 1] |= static_cast<uint8_t>((x & 1) ? v : v << 4);
        }
        break;
      case 24: std::memcpy(buf.data(), src, static_cast<size_t>(w * 3)); break;
      default:
        for (int64_t x = 0; x < w; ++x)
          buf[4 * x] = src[3 * x], buf[4 * x + 1] = src[3 * x + 1], buf[4 * x + 2] = src[3 * x + 2],
                  buf[4 * x + 3] = alphaRow[x];
        break;
    }
    if (!out.Put(buf.data(), xorRow)) return false;
  }
  for (int64_t k = 0; k < h; ++k) {
    std::fill(buf.begin(), buf.end(), 0);
    const uint8_t* a = alpha && bits != 24 ? alpha->Scanline(static_cast<int32_t>(h - 1 - k)) : nullptr;
    if (a)
      for (int64_t x = 0; x < w; ++x)
        if (a[x] != 255) buf[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    if (!out.Put(buf.data(), andRow)) return false;
  }
  return true;
}

void WriteICO(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, std::span<const int32_t> bitCounts,
              std::span<const std::array<int32_t, 2>> sizes, TPXProgressRec& progress, TPXBitmap* alpha) {
  const size_t n = sizes.size();
  const bool sizesOk = std::all_of(sizes.begin(), sizes.end(), [](const std::array<int32_t, 2>& s) {
    return s[0] >= 1 && s[0] <= 256 && s[1] >= 1 && s[1] <= 256;
  });
  if (n == 0 || n > 0xFFFF || bitCounts.size() < n || !sizesOk || bitmap.Width() <= 0 || bitmap.Height() <= 0 ||
      bitmap.PixelFormat() == pxNone) {
    progress.Fail(iorFailed, "ICO: no image, or sizes outside 1 to 256, to write");
    return;
  }
  const int64_t start = stream.Position();
  TPXFilterOut out(stream, progress);
  std::vector<uint8_t> dir(kDirHeaderSize + kEntrySize * n, 0);
  PutLE16(dir.data() + 2, 1);
  PutLE16(dir.data() + 4, static_cast<uint32_t>(n));
  if (!out.Put(dir.data(), static_cast<int64_t>(dir.size()))) return;
  params.FreePalette();
  if (bitmap.PixelFormat() != pxBGR24) params.BitsPerSample = params.SamplesPerPixel = 1;

  // A working copy with the transparency, resampled to each size.
  TPXBitmap source;
  source.Assign(&bitmap);
  if (alpha && !source.HasAlphaChannel() && alpha->Width() == source.Width() && alpha->Height() == source.Height() &&
      alpha->PixelFormat() == pxGray8) {
    TPXBitmap* a = source.GetAlphaChannel();
    for (int32_t y = 0; a && y < source.Height(); ++y) {
      const uint8_t* s = alpha->Scanline(y);
      uint8_t* d = a->Scanline(y);
      if (s && d) std::memcpy(d, s, static_cast<size_t>(source.Width()));
    }
    if (a) a->SyncFull();
  }
  progress.Start(static_cast<int64_t>(n));
  for (size_t i = 0; i < n; ++i) {
    if (!BeginFilterRow(progress, static_cast<int64_t>(i))) return;
    const int32_t bits = EntryBits(bitCounts[i], params);
    TPXBitmap image;
    if (!image.Allocate(sizes[i][0], sizes[i][1], source.PixelFormat() == pxBW1 ? pxBW1 : pxBGR24)) {
      progress.Fail(iorNoMemory, "ICO: no storage for an image of the icon");
      return;
    }
    if (!ResampleBitmap(source, image, source.PixelFormat() == pxBW1 ? rfNone : rfFastLinear)) {
      progress.Fail(iorNoMemory, "ICO: no storage for a " + std::to_string(sizes[i][0]) + " x " +
                                     std::to_string(sizes[i][1]) + " icon image");
      return;
    }
    TPXBitmap* imageAlpha = image.HasAlphaChannel() ? image.GetAlphaChannel() : nullptr;
    const int64_t at = stream.Position();
    if (!WriteIconImage(out, image, imageAlpha, bits, params)) {
      // A failed write has told its reason already.
      progress.Fail(iorNoMemory, "ICO: cannot reach the rows of an image of the icon");
      return;
    }
    uint8_t* e = dir.data() + kDirHeaderSize + kEntrySize * i;
    e[0] = static_cast<uint8_t>(sizes[i][0] & 0xFF);  // 256 is stored as 0
    e[1] = static_cast<uint8_t>(sizes[i][1] & 0xFF);
    if (bits > 8) {
      PutLE16(e + 4, 1);
      PutLE16(e + 6, static_cast<uint32_t>(bits));
    } else {
      e[2] = static_cast<uint8_t>(std::min(1 << bits, 255));
    }
    PutLE32(e + 8, static_cast<uint32_t>(stream.Position() - at));
    PutLE32(e + 12, static_cast<uint32_t>(at - start));
  }
  progress.RowsDone = static_cast<int32_t>(n);
  const int64_t end = stream.Position();
  stream.SetPosition(start);
  if (out.Put(dir.data(), static_cast<int64_t>(dir.size()))) stream.SetPosition(end);
}

}  // namespace

// ---------------------------------------------------------------------------

bool IsICOStream(TStream& stream) { return ProbeIcon(stream, 1); }
bool IsCURStream(TStream& stream) { return ProbeIcon(stream, 2); }

int32_t ICOImageCount(TStream& stream) {
  const int64_t start = stream.Position();
  uint8_t h[kDirHeaderSize];
  int32_t n = 0;
  try {
    if (stream.ReadExact(h, kDirHeaderSize) && GetLE16(h) == 0 && (GetLE16(h + 2) == 1 || GetLE16(h + 2) == 2))
      n = GetLE16(h + 4);
  } catch (const EStreamError&) {
    n = 0;
  }
  stream.SetPosition(start);
  return n;
}

void ReadICOStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, bool paramsOnly, TPXProgressRec& progress,
                   std::unique_ptr<TPXMask>& mask, bool noMask) {
  RunFilter(
      progress,
      [&] {
        const int64_t start = stream.Position();
        uint8_t bm[2] = {};
        if (stream.Read(bm, 2) == 2 && bm[0] == 'B' && bm[1] == 'M') {
          stream.SetPosition(start);
          ReadBMPStream(stream, bitmap, stream.Size() - start, params, progress, paramsOnly, false);
          return;
        }
        stream.SetPosition(start);
        TIconEntry entry;
        TIconReader(stream, bitmap, params, progress, false)
            .Read(params.ICOImageIndex, paramsOnly, noMask ? nullptr : &mask, entry);
      },
      "ICO");
}

void ReadCURStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, bool paramsOnly, TPXProgressRec& progress,
                   std::unique_ptr<TPXMask>& mask, bool noMask) {
  RunFilter(
      progress,
      [&] {
        TIconEntry entry;
        if (TIconReader(stream, bitmap, params, progress, true)
                .Read(params.CURImageIndex, paramsOnly, noMask ? nullptr : &mask, entry)) {
          params.CURHotSpotX = entry.planes;
          params.CURHotSpotY = entry.bitCount;
        }
      },
      "CUR");
}

void WriteICOStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, std::span<const int32_t> bitCounts,
                    std::span<const std::array<int32_t, 2>> sizes, TPXProgressRec& progress, TPXBitmap* alpha) {
  RunFilter(
      progress, [&] { WriteICO(stream, bitmap, params, bitCounts, sizes, progress, alpha); }, "ICO");
}

namespace {
// The I/O component takes the transparency as an alpha bitmap.
void ReadIconIntoAlpha(decltype(ReadICOStream)* read, TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params,
                       TPXProgressRec& progress, bool paramsOnly, TPXBitmap& alpha) {
  std::unique_ptr<TPXMask> mask;
  read(stream, bitmap, params, paramsOnly, progress, mask, false);
  if (progress.Aborted() || paramsOnly || !mask || mask->Width() <= 0) return;
  // The transparency's storage may fail (no memory or disk): told, not raised.
  RunFilter(
      progress,
      [&] {
        if (!MaskToAlphaBitmap(*mask, alpha)) progress.Fail(iorNoMemory, "ICO: no storage for the transparency");
      },
      "ICO");
}
}  // namespace

void ICOFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
                   int64_t /*dataLength*/, TPXBitmap& alpha) {
  ReadIconIntoAlpha(ReadICOStream, stream, bitmap, params, progress, paramsOnly, alpha);
}

void ICOFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXBitmap* alpha) {
  size_t n = 0;
  while (n < params.ICOSizes.size() && params.ICOSizes[n][0] > 0) ++n;
  // Copies: the writer may change the record.
  const auto sizes = params.ICOSizes;
  const auto bits = params.ICOBitCounts;
  WriteICOStream(stream, bitmap, params, std::span<const int32_t>(bits.data(), n),
                 std::span<const std::array<int32_t, 2>>(sizes.data(), n), progress, alpha);
}

void CURFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
                   int64_t /*dataLength*/, TPXBitmap& alpha) {
  ReadIconIntoAlpha(ReadCURStream, stream, bitmap, params, progress, paramsOnly, alpha);
}

}  // namespace pixoran
