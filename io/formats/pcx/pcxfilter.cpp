#include "io/formats/pcx/pcxfilter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>

#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/neurquant.h"
#include "io/formats/bmp/bmpfilt.h"
#include "io/pxfiltutil.h"

namespace pixoran {

namespace {

constexpr int kHeaderSize = 128;
constexpr int kPaletteBytes = 768;

struct TPCXHeader {
  uint8_t version = 0, encoding = 0, bits = 0, planes = 0;
  int64_t width = 0, height = 0;
  int32_t dpiX = 0, dpiY = 0;
  int64_t bytesPerLine = 0;
  std::array<TBGR, 16> palette{};
};

// Parses and checks a header; false, with why, for anything this reader
// cannot decode.
bool ParseHeader(const uint8_t* b, TPCXHeader& h, TPXIOResult& kind, std::string& why) {
  kind = iorCorrupt;
  if (b[0] != 10) {
    why = "the manufacturer byte is " + std::to_string(b[0]) + ", not 10";
    return false;
  }
  if (b[3] > 8 || b[2] > 1) {
    why = "impossible depth " + std::to_string(b[3]) + " or encoding " + std::to_string(b[2]);
    return false;
  }
  h.version = b[1];
  h.encoding = b[2];
  h.bits = b[3];
  const int64_t xmin = GetLE16(b + 4), ymin = GetLE16(b + 6), xmax = GetLE16(b + 8), ymax = GetLE16(b + 10);
  if (xmax < xmin || ymax < ymin) {
    why = "impossible window " + std::to_string(xmin) + "," + std::to_string(ymin) + " to " + std::to_string(xmax) +
          "," + std::to_string(ymax);
    return false;
  }
  h.width = xmax - xmin + 1;
  h.height = ymax - ymin + 1;
  h.dpiX = GetLE16(b + 12);
  h.dpiY = GetLE16(b + 14);
  for (int i = 0; i < 16; ++i) h.palette[i] = TBGR{b[16 + 3 * i + 2], b[16 + 3 * i + 1], b[16 + 3 * i]};
  h.planes = b[65];
  h.bytesPerLine = GetLE16(b + 66);
  // Only these layouts are decoded; a blank image is never passed off as read.
  // Up to four planes of bits index the header palette, as do packed
  // pixels of 2 or 4 bits in one plane.
  const bool known = (h.planes == 1 && (h.bits == 1 || h.bits == 2 || h.bits == 4 || h.bits == 8)) ||
                     (h.planes == 3 && h.bits == 8) || (h.planes >= 1 && h.planes <= 4 && h.bits == 1);
  if (!known) {
    kind = iorUnsupported;
    why = std::to_string(h.planes) + " planes of " + std::to_string(h.bits) +
          " bits are not a PCX layout this reader knows";
    return false;
  }
  if (h.bytesPerLine * 8 < h.width * h.bits) {
    why = std::to_string(h.bytesPerLine) + " bytes per line cannot hold " + std::to_string(h.width) + " pixels";
    return false;
  }
  return true;
}

class TPCXReader {
 public:
  // name: the format the failure texts name (a DCX file's pages are PCX images).
  TPCXReader(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, const char* name)
      : s_(stream), bmp_(bitmap), params_(params), progress_(progress), name_(name) {}
  void Read(int64_t dataLength, bool paramsOnly);

 private:
  void Fail(TPXIOResult kind, const std::string& why) { progress_.Fail(kind, std::string(name_) + ": " + why); }

  TStream& s_;
  TPXBitmap& bmp_;
  TIOParamsVals& params_;
  TPXProgressRec& progress_;
  const char* name_;
};

void TPCXReader::Read(int64_t dataLength, bool paramsOnly) {
  const int64_t start = s_.Position();
  const int64_t left = StreamBytesLeft(s_);
  if (dataLength <= 0 || dataLength > left) dataLength = left;
  uint8_t hb[kHeaderSize];
  TPCXHeader h;
  if (dataLength < kHeaderSize || !s_.ReadExact(hb, kHeaderSize)) {
    Fail(iorCorrupt, "the header ends early");
    return;
  }
  TPXIOResult kind = iorOk;
  std::string why;
  if (!ParseHeader(hb, h, kind, why)) {
    Fail(kind, why);
    return;
  }
  const bool eightBit = h.planes == 1 && h.bits == 8;
  std::array<TBGR, 256> pal256{};
  if (eightBit) {
    // The palette closes the data; it must lie after the header.
    const int64_t at = start + dataLength - kPaletteBytes;
    uint8_t p[kPaletteBytes];
    if (at < start + kHeaderSize) {
      Fail(iorCorrupt, "no room for the 256-colour palette");
      return;
    }
    s_.SetPosition(at);
    if (!s_.ReadExact(p, kPaletteBytes)) {
      Fail(iorCorrupt, "the 256-colour palette ends early");
      return;
    }
    for (int i = 0; i < 256; ++i) pal256[i] = TBGR{p[3 * i + 2], p[3 * i + 1], p[3 * i]};
    s_.SetPosition(start + kHeaderSize);
  }
  if (h.dpiX == 0 || h.dpiY == 0) h.dpiX = PXSettings().DefaultDpiX, h.dpiY = PXSettings().DefaultDpiY;
  params_.SetDpiX(h.dpiX);
  params_.SetDpiY(h.dpiY);
  params_.BitsPerSample = h.bits;
  params_.SamplesPerPixel = h.planes;
  params_.Width = static_cast<int32_t>(h.width);
  params_.Height = static_cast<int32_t>(h.height);
  params_.PCXVersion = h.version;
  params_.PCXCompression = h.encoding;
  params_.FreePalette();
  if (eightBit) {
    params_.SetPalette(pal256.data(), 256);
  } else if (h.bits == 1 && h.planes > 1) {
    params_.SetPalette(h.palette.data(), 1 << h.planes);
    params_.BitsPerSample = h.planes;
    params_.SamplesPerPixel = 1;
  } else if (h.planes == 1) {
    params_.SetPalette(h.palette.data(), 1 << h.bits);
  }
  if (paramsOnly) return;

  // One bit in one plane keeps its two colours: black and white unless
  // the header palette names others (a version 3 file has none, and many
  // files leave it zero or give both entries one colour).
  const bool twoColours = h.planes == 1 && h.bits == 1;
  const bool noPalette = h.version == 3 || h.palette[0] == h.palette[1];
  const TPXPixelFormat format = !twoColours ? pxBGR24
                                : noPalette
                                    ? pxBW1
                                    : TwoColourFormat(h.palette[0], h.palette[1], params_.KeepNativeFormat != 0);
  const bool bw = format == pxBW1;
  const bool oneBitColours = twoColours && !bw;
  const int64_t bpl = h.bytesPerLine;
  const int64_t encoded = dataLength - kHeaderSize;
  // A run of two bytes gives at most 63, so no data expands more than 32
  // times: less data than that could hold is a bomb or a stub, refused
  // before any allocation. Lines are as long as the header says.
  constexpr int64_t kMaxExpansion = 32;
  if (!CheckDeclaredImage(name_, h.width, h.height, h.bits * h.planes, encoded, kMaxExpansion, progress_)) return;
  if (encoded * kMaxExpansion < bpl * h.planes * h.height) {
    Fail(iorTooLarge, std::to_string(h.planes) + " lines of " + std::to_string(bpl) + " bytes in each of " +
                          std::to_string(h.height) + " rows claimed by only " + std::to_string(encoded) + " bytes");
    return;
  }
  if (!bmp_.Allocate(params_.Width, params_.Height, format)) {
    Fail(iorNoMemory, "no storage for a " + std::to_string(h.width) + " x " + std::to_string(h.height) + " image");
    return;
  }
  if (format == pxPal8) {
    bmp_.SetPaletteEntry(0, h.palette[0]);
    bmp_.SetPaletteEntry(1, h.palette[1]);
    bmp_.MaxColors = 2;
  }
  TPXByteSource src(s_, start + dataLength);
  TPCXLineDecoder decoder(h.encoding == 1);
  std::vector<uint8_t> lines(static_cast<size_t>(bpl * h.planes + 8));
  const int64_t w = h.width;
  const TBGR* hp = h.palette.data();
  progress_.Start(h.height);
  for (int64_t y = 0; y < h.height; ++y) {
    if (!BeginFilterRow(progress_, y)) return;
    uint8_t* line = lines.data();
    for (int p = 0; p < h.planes; ++p) {
      if (!decoder.Decode(src, line + p * bpl, bpl)) {
        Fail(iorCorrupt, "the data ends early at row " + std::to_string(y) + " of " + std::to_string(h.height));
        return;
      }
    }
    uint8_t* row = bmp_.Scanline(static_cast<int32_t>(y));
    if (!row) {
      Fail(iorNoMemory, "cannot reach row " + std::to_string(y) + " of the image");
      return;
    }
    if (bw) {
      std::memcpy(row, line, static_cast<size_t>((w + 7) / 8));
    } else if (oneBitColours) {
      for (int64_t x = 0; x < w; ++x) {
        const int bit = (line[x >> 3] >> (7 - (x & 7))) & 1;
        if (format == pxPal8) row[x] = static_cast<uint8_t>(bit);
        else row[3 * x] = hp[bit].b, row[3 * x + 1] = hp[bit].g, row[3 * x + 2] = hp[bit].r;
      }
    } else if (eightBit) {
      for (int64_t x = 0; x < w; ++x, row += 3) {
        const TBGR c = pal256[line[x]];
        row[0] = c.b, row[1] = c.g, row[2] = c.r;
      }
    } else if (h.planes == 1) {  // 2 or 4 bits, the first pixel in the high bits
      const int perByte = 8 / h.bits, mask = (1 << h.bits) - 1;
      for (int64_t x = 0; x < w; ++x, row += 3) {
        const int shift = 8 - h.bits * (1 + static_cast<int>(x % perByte));
        const TBGR c = hp[(line[x / perByte] >> shift) & mask];
        row[0] = c.b, row[1] = c.g, row[2] = c.r;
      }
    } else if (h.bits == 8) {  // three planes
      const uint8_t *r = line, *g = line + bpl, *b = line + 2 * bpl;
      for (int64_t x = 0; x < w; ++x, row += 3) row[0] = b[x], row[1] = g[x], row[2] = r[x];
    } else {  // two to four planes of bits
      for (int64_t x = 0; x < w; ++x, row += 3) {
        const int shift = 7 - static_cast<int>(x & 7);
        int index = 0;
        for (int p = 0; p < h.planes; ++p) index |= ((line[p * bpl + (x >> 3)] >> shift) & 1) << p;
        const TBGR c = hp[index];
        row[0] = c.b, row[1] = c.g, row[2] = c.r;
      }
    }
  }
  progress_.RowsDone = static_cast<int32_t>(h.height);
}

// ---------------------------------------------------------------- writing

void WritePCX(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress) {
  const int64_t w = bitmap.Width(), h = bitmap.Height();
  // The header keeps the last column and row in 16 bits.
  if (w <= 0 || h <= 0 || bitmap.PixelFormat() == pxNone) {
    progress.Fail(iorFailed, "PCX: there is no image to write");
    return;
  }
  if (w > 65536 || h > 65536) {
    progress.Fail(iorTooLarge, "PCX: a side above 65536 pixels cannot be described");
    return;
  }
  int depth = params.BitsPerSample == 1 ? 1 : params.BitsPerSample * params.SamplesPerPixel;
  if (depth != 1 && depth != 4 && depth != 8) depth = 24;

  std::unique_ptr<TPXBitmap> work;
  TPXBitmap* rows = &bitmap;
  std::array<TBGR, 16> headerPal{};
  std::array<TBGR, 256> pal256{};
  TPXQuantizer quant;
  if (depth == 1) {
    rows = &OneBitRows(bitmap, work, headerPal[0], headerPal[1]);
  } else {
    if (bitmap.PixelFormat() != pxBGR24) {
      work = ConvertedCopy(bitmap, pxBGR24);
      rows = work.get();
    }
    if (depth == 4) quant.Init(*rows, std::span<TBGR>(headerPal), 16);
    if (depth == 8) quant.Init(*rows, std::span<TBGR>(pal256), 256);
  }
  const int planes = depth == 24 ? 3 : 1;
  const int64_t count = depth == 1 ? (w + 7) / 8 : depth == 4 ? (w + 1) / 2 : w;  // bytes of one plane line
  const int64_t bpl = (count + 1) & ~int64_t{1};
  if (bpl > 65534) {  // nor can it hold longer lines
    progress.Fail(iorTooLarge, "PCX: lines above 65534 bytes cannot be described");
    return;
  }
  const bool rle = params.PCXCompression != 0;

  uint8_t hb[kHeaderSize] = {};
  hb[0] = 10;
  hb[1] = static_cast<uint8_t>(params.PCXVersion);
  hb[2] = rle ? 1 : 0;
  hb[3] = static_cast<uint8_t>(depth == 24 ? 8 : depth);
  PutLE16(hb + 8, static_cast<uint32_t>(w - 1));
  PutLE16(hb + 10, static_cast<uint32_t>(h - 1));
  PutLE16(hb + 12, static_cast<uint32_t>(std::clamp(params.DpiX, 0, 65535)));
  PutLE16(hb + 14, static_cast<uint32_t>(std::clamp(params.DpiY, 0, 65535)));
  for (int i = 0; i < 16; ++i) {
    hb[16 + 3 * i] = headerPal[i].r;
    hb[17 + 3 * i] = headerPal[i].g;
    hb[18 + 3 * i] = headerPal[i].b;
  }
  hb[65] = static_cast<uint8_t>(planes);
  PutLE16(hb + 66, static_cast<uint32_t>(bpl));
  PutLE16(hb + 68, depth == 24 ? 0 : 1);
  TPXFilterOut out(stream, progress);
  if (!out.Put(hb, kHeaderSize)) return;

  std::vector<uint8_t> line(static_cast<size_t>(bpl * planes), 0), index(static_cast<size_t>(w));
  std::vector<uint8_t> packed(static_cast<size_t>(2 * bpl + 2));
  progress.Start(h);
  for (int64_t y = 0; y < h; ++y) {
    if (!BeginFilterRow(progress, y)) return;
    const uint8_t* src = rows->Scanline(static_cast<int32_t>(y));
    if (!src) {
      progress.Fail(iorNoMemory, "PCX: cannot reach row " + std::to_string(y) + " of the image");
      return;
    }
    // One line of count bytes per plane (planes of a 24-bit row are taken
    // from the pixels with a stride of 3, red first).
    const uint8_t* lineSrc = line.data();
    int32_t stride = 1;
    if (depth == 1) {
      std::memcpy(line.data(), src, static_cast<size_t>(count));
      if (w & 7) line[count - 1] &= static_cast<uint8_t>(0xFF00 >> (w & 7));
    } else if (depth == 4 || depth == 8) {
      quant.MapRow(src, index.data(), static_cast<int32_t>(w));
      if (depth == 8) {
        std::memcpy(line.data(), index.data(), static_cast<size_t>(w));
      } else {
        for (int64_t x = 0; x < w; x += 2)
          line[x >> 1] = static_cast<uint8_t>((index[x] << 4) | (x + 1 < w ? (index[x + 1] & 0x0F) : 0));
      }
    } else {
      lineSrc = src;
      stride = 3;
    }
    for (int p = 0; p < planes; ++p) {
      const int32_t first = depth == 24 ? 2 - p : 0;
      if (rle) {
        const int32_t n = EncodePCXRow(packed.data(), lineSrc, static_cast<int32_t>(count), stride, first);
        if (!out.Put(packed.data(), n)) return;
      } else if (depth == 24) {
        for (int64_t x = 0; x < w; ++x) line[x] = src[3 * x + first];
        if (!out.Put(line.data(), bpl)) return;
      } else if (!out.Put(line.data(), bpl)) {
        return;
      }
    }
  }
  progress.RowsDone = static_cast<int32_t>(h);
  if (depth == 8 && !progress.Aborted()) {
    uint8_t tail[1 + kPaletteBytes];
    tail[0] = 12;
    for (int i = 0; i < 256; ++i) {
      tail[1 + 3 * i] = pal256[i].r;
      tail[2 + 3 * i] = pal256[i].g;
      tail[3 + 3 * i] = pal256[i].b;
    }
    out.Put(tail, sizeof tail);
  }
}

// ---------------------------------------------------------------- DCX

// The page table of a DCX stream, or false when the stream is no DCX.
bool ReadWholeTable(TStream& stream, std::vector<uint32_t>& offsets) {
  const int64_t size = stream.Size();
  uint8_t m[4];
  stream.SetPosition(0);
  if (!stream.ReadExact(m, 4) || GetLE32(m) != kDCXMagic) return false;
  offsets = ReadDCXPageTable(stream);
  return std::all_of(offsets.begin(), offsets.end(), [&](uint32_t o) { return o < size; });
}

void ReadDCX(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly) {
  // Page offsets are positions in the whole stream.
  std::vector<uint32_t> offsets;
  if (!ReadWholeTable(stream, offsets)) {
    progress.Fail(iorCorrupt, "DCX: no magic number, or a page table pointing past the end of the file");
    return;
  }
  if (offsets.empty()) {
    progress.Fail(iorCorrupt, "DCX: the page table lists no page");
    return;
  }
  const int64_t size = stream.Size();
  const int32_t index = std::clamp<int32_t>(params.DCXImageIndex, 0, static_cast<int32_t>(offsets.size()) - 1);
  params.DCXImageIndex = index;
  const std::vector<int64_t> sizes = DCXPageSizes(offsets, size);
  stream.SetPosition(offsets[index]);
  TPCXReader(stream, bitmap, params, progress, "DCX").Read(sizes[index], paramsOnly);
}

void WriteDCX(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress) {
  std::vector<uint32_t> old;
  const int64_t oldSize = stream.Size();
  if (oldSize > 0 && !ReadWholeTable(stream, old)) {
    progress.Fail(iorCorrupt, "DCX: the file to add a page to is no DCX file");
    return;
  }
  const int32_t pages = static_cast<int32_t>(old.size());
  if (pages >= kDCXMaxPages) {
    progress.Fail(iorTooLarge, "DCX: a file holds at most " + std::to_string(kDCXMaxPages) + " pages");
    return;
  }
  const int32_t at = std::clamp<int32_t>(params.DCXImageIndex, 0, pages);
  const std::vector<int64_t> sizes = DCXPageSizes(old, oldSize);

  TMemoryStream mem;
  std::vector<uint8_t> table(static_cast<size_t>(4 * (pages + 2) + 4), 0);
  PutLE32(table.data(), kDCXMagic);
  if (mem.Write(table.data(), static_cast<int64_t>(table.size())) != static_cast<int64_t>(table.size())) {
    progress.Fail(iorNoMemory, "DCX: no memory for the new file");
    return;
  }
  std::vector<uint32_t> offsets;
  auto note = [&]() {
    const int64_t pos = mem.Position();
    if (pos > UINT32_MAX) return false;
    offsets.push_back(static_cast<uint32_t>(pos));
    return true;
  };
  for (int32_t p = 0; p <= pages; ++p) {
    if (p == at) {
      if (!note()) break;
      WritePCXStream(mem, bitmap, params, progress);
      if (progress.Aborted()) return;
    }
    if (p == pages) break;
    if (!note()) break;
    stream.SetPosition(old[p]);
    if (mem.CopyFrom(stream, sizes[p]) != sizes[p]) break;
  }
  if (offsets.size() != static_cast<size_t>(pages) + 1) {
    progress.Fail(iorCorrupt, "DCX: a page of the old file cannot be copied");
    return;
  }
  for (size_t i = 0; i < offsets.size(); ++i) PutLE32(mem.Memory() + 4 + 4 * i, offsets[i]);
  // Only a complete file replaces the caller's.
  stream.SetPosition(0);
  if (!stream.SetSize(0)) {
    progress.Fail(iorWriteFailed, "DCX: " + WriteFailureText(stream));
    return;
  }
  TPXFilterOut out(stream, progress);
  if (!out.Put(mem.Memory(), mem.Size())) return;
  params.DCXImageIndex = at;
}

}  // namespace

// ---------------------------------------------------------------------------

bool TPCXLineDecoder::Decode(TPXByteSource& src, uint8_t* line, int64_t count) {
  if (!rle_) return src.Read(line, count);
  int64_t i = 0;
  while (i < count) {
    if (pending_ > 0) {
      const int64_t n = std::min<int64_t>(pending_, count - i);
      std::memset(line + i, value_, static_cast<size_t>(n));
      i += n;
      pending_ -= static_cast<int32_t>(n);
      continue;
    }
    // Whole pairs and literals straight from the buffer...
    int64_t avail = 0;
    const uint8_t* p = src.Available(avail);
    int64_t j = 0;
    while (i < count && j < avail) {
      const uint8_t c = p[j];
      if (c < 0xC0) {
        line[i++] = c;
        ++j;
        continue;
      }
      if (j + 1 >= avail) break;
      const int64_t n = std::min<int64_t>(c & 0x3F, count - i);
      std::memset(line + i, p[j + 1], static_cast<size_t>(n));
      pending_ = (c & 0x3F) - static_cast<int32_t>(n);
      value_ = p[j + 1];
      i += n;
      j += 2;
      if (pending_ > 0) break;
    }
    src.Skip(j);
    if (i >= count || pending_ > 0 || (j > 0 && j < avail)) continue;
    // ...and a pair split by the buffer's end, or a refill, a byte at a time.
    const int c = src.Get();
    if (c < 0) return false;
    if (c < 0xC0) {
      line[i++] = static_cast<uint8_t>(c);
      continue;
    }
    const int v = src.Get();
    if (v < 0) return false;
    pending_ = c & 0x3F;
    value_ = static_cast<uint8_t>(v);
  }
  return true;
}

int32_t EncodePCXRow(uint8_t* dest, const uint8_t* src, int32_t count, int32_t stride, int32_t first) {
  uint8_t* o = dest;
  const uint8_t* p = src + first;
  const uint8_t* const end = p + static_cast<int64_t>(count) * stride;
  while (p < end) {
    const uint8_t b = *p;
    const uint8_t* q = p + stride;
    int32_t n = 1;
    while (n < 63 && q < end && *q == b) q += stride, ++n;
    if (n > 1 || b >= 0xC0) *o++ = static_cast<uint8_t>(0xC0 + n);
    *o++ = b;
    p = q;
  }
  if (count & 1) *o++ = 0;
  return static_cast<int32_t>(o - dest);
}

void ReadPCXStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, int64_t dataLength,
                   TPXProgressRec& progress, bool paramsOnly) {
  RunFilter(
      progress, [&] { TPCXReader(stream, bitmap, params, progress, "PCX").Read(dataLength, paramsOnly); }, "PCX");
}

void WritePCXStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress) {
  RunFilter(
      progress, [&] { WritePCX(stream, bitmap, params, progress); }, "PCX");
}

std::vector<uint32_t> ReadDCXPageTable(TStream& stream) {
  std::vector<uint32_t> offsets;
  uint8_t b[4];
  while (offsets.size() < static_cast<size_t>(kDCXMaxPages) && stream.ReadExact(b, 4)) {
    const uint32_t o = GetLE32(b);
    if (o == 0) break;
    offsets.push_back(o);
  }
  return offsets;
}

std::vector<int64_t> DCXPageSizes(const std::vector<uint32_t>& offsets, int64_t streamSize) {
  std::vector<int64_t> sizes(offsets.size());
  for (size_t i = 0; i < offsets.size(); ++i) {
    int64_t next = streamSize;
    for (uint32_t o : offsets)
      if (o > offsets[i] && o < next) next = o;
    sizes[i] = std::max<int64_t>(0, next - offsets[i]);
  }
  return sizes;
}

bool IsDCXStream(TStream& stream) {
  const int64_t start = stream.Position();
  std::vector<uint32_t> offsets;
  bool ok = false;
  try {
    ok = ReadWholeTable(stream, offsets);
  } catch (const EStreamError&) {
    ok = false;
  }
  stream.SetPosition(start);
  return ok;
}

int32_t DCXPageCount(TStream& stream) {
  const int64_t start = stream.Position();
  std::vector<uint32_t> offsets;
  int32_t n = 0;
  try {
    if (ReadWholeTable(stream, offsets)) n = static_cast<int32_t>(offsets.size());
  } catch (const EStreamError&) {
    n = 0;
  }
  stream.SetPosition(start);
  return n;
}

void ReadDCXStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                   bool paramsOnly) {
  RunFilter(
      progress, [&] { ReadDCX(stream, bitmap, params, progress, paramsOnly); }, "DCX");
}

void WriteDCXStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress) {
  RunFilter(
      progress, [&] { WriteDCX(stream, bitmap, params, progress); }, "DCX");
}

void PCXFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
                   int64_t dataLength, TPXBitmap& /*alpha*/) {
  ReadPCXStream(stream, bitmap, params, dataLength, progress, paramsOnly);
}

void PCXFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXBitmap* /*alpha*/) {
  WritePCXStream(stream, bitmap, params, progress);
}

void DCXFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
                   int64_t /*dataLength*/, TPXBitmap& /*alpha*/) {
  ReadDCXStream(stream, bitmap, params, progress, paramsOnly);
}

void DCXFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXBitmap* /*alpha*/) {
  WriteDCXStream(stream, bitmap, params, progress);
}

}  // namespace pixoran
