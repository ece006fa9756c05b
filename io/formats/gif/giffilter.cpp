#include "io/formats/gif/giffilter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/neurquant.h"
#include "io/formats/gif/giflzw.h"
#include "io/iohooks.h"
#include "io/pxfiltutil.h"
#include "platform/system.h"

namespace pixoran {

namespace {

constexpr uint8_t kExtension = 0x21;  // "!"
constexpr uint8_t kImage = 0x2C;      // ","
constexpr uint8_t kTrailer = 0x3B;    // ";"
constexpr int kGraphicControl = 0xF9;
constexpr int kComment = 0xFE;
constexpr int32_t kHeaderSize = 13;
constexpr int32_t kDescriptorSize = 9;

void PutU16(std::vector<uint8_t>& out, int32_t v) {
  const auto u = static_cast<uint16_t>(std::clamp(v, 0, 0xFFFF));
  out.push_back(static_cast<uint8_t>(u));
  out.push_back(static_cast<uint8_t>(u >> 8));
}

struct TFreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};
using TIndexBuffer = std::unique_ptr<uint8_t, TFreeDeleter>;

// A colour table read as 256 entries, those the file lacks black, so every
// index reads inside it.
struct TGIFTable {
  std::array<TBGR, 256> Entries{};
  int32_t Bits = 1;  // the file's table has 2^Bits entries
  int32_t Count() const { return 1 << Bits; }
};

bool ReadTable(TPXByteSource& r, int32_t bits, TGIFTable& table) {
  table.Bits = bits;
  table.Entries.fill(TBGR{});
  uint8_t rgb[256 * 3];
  const int32_t count = table.Count();
  if (!r.Read(rgb, 3 * count)) return false;
  for (int32_t i = 0; i < count; ++i) table.Entries[i] = TBGR{rgb[3 * i + 2], rgb[3 * i + 1], rgb[3 * i]};
  return true;
}

// A frame with no colour table at all: a grey ramp of the header's size.
TGIFTable GreyTable(int32_t bits) {
  TGIFTable t;
  t.Bits = bits;
  const int32_t n = t.Count();
  for (int32_t i = 0; i < n; ++i) {
    const auto v = static_cast<uint8_t>(i * 255 / (n - 1));
    t.Entries[i] = TBGR{v, v, v};
  }
  return t;
}

// Skips sub-blocks up to and including a zero length, or to the end.
void SkipSubBlocks(TPXByteSource& r) {
  for (;;) {
    const int n = r.Get();
    if (n <= 0) return;
    r.Skip(n);
  }
}

// The frame rule: each LZW code stands for at most 4096 pixels and is at
// least the minimum code size + 1 bits wide (3 bits at the smallest), so
// data of n bytes describe at most n x 8 / 3 x 4096 pixels. The guard's
// floor of 65536 pixels keeps frames of almost no data (all index 0)
// readable.
constexpr double kPixelsPerCode = 4096;
double PixelsPerDataByte(int minCodeSize) { return 8 * kPixelsPerCode / (std::clamp(minCodeSize, 2, 9) + 1); }

// The frame's data bytes at the source's position, and its minimum code
// size; the position is left where it was.
int64_t FrameDataBytes(TPXByteSource& r, int& minCodeSize) {
  const int64_t start = r.Position();
  minCodeSize = r.Get();
  int64_t bytes = 0;
  for (int n = r.Get(); n > 0; n = r.Get()) {
    const int64_t at = r.Position();
    r.Skip(n);
    bytes += r.Position() - at;
  }
  r.SetPosition(start);
  return bytes;
}

TGIFLZWDecompressProc Decompressor(const TIOParamsVals& params) {
  return params.GIFLZWDecompressor ? params.GIFLZWDecompressor : PXIOHooks().GIFLZWDecompressHook.load();
}
TGIFLZWCompressProc Compressor(const TIOParamsVals& params) {
  return params.GIFLZWCompressor ? params.GIFLZWCompressor : PXIOHooks().GIFLZWCompressHook.load();
}

// ---------------------------------------------------------------- reading

struct TGraphicControl {
  uint8_t Packed = 0;
  uint16_t Delay = 0;
  uint8_t TransparentIndex = 0;
};

struct TFrameHeader {
  int32_t X = 0, Y = 0, Width = 0, Height = 0;
  bool Interlaced = false;
};

// Fills the bitmap (and mask) of the wanted frame from its index buffer.
bool FillFrame(const uint8_t* indices, const TFrameHeader& f, const TGIFTable& table, const TGraphicControl& gc,
               TIOParamsVals& params, TPXBitmap& bitmap, std::unique_ptr<TPXMask>& mask, bool noMask) {
  const bool blackWhite =
      table.Bits == 1 && table.Entries[0] == TBGR{0, 0, 0} && table.Entries[1] == TBGR{255, 255, 255};
  const TPXPixelFormat format = blackWhite ? pxBW1 : (params.KeepNativeFormat ? pxPal8 : pxBGR24);
  const int32_t w = f.Width, h = f.Height;
  if (!bitmap.Allocate(w, h, format)) return false;
  if (format == pxPal8) {
    std::copy(table.Entries.begin(), table.Entries.end(), bitmap.Palette());
    bitmap.UpdateTBitmapPalette();
    bitmap.MaxColors = table.Count();
  }
  std::array<uint32_t, 256> colours;
  for (int32_t i = 0; i < 256; ++i) colours[i] = static_cast<uint32_t>(BGRToInt(table.Entries[i]));
  if constexpr (std::endian::native == std::endian::big)
    for (uint32_t& c : colours) c = __builtin_bswap32(c);
  const bool transparent = (gc.Packed & 1) != 0;
  if (!noMask && !OpaqueMask(mask, w, h)) return false;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = indices + static_cast<int64_t>(y) * w;
    uint8_t* d = bitmap.Scanline(y);
    if (!d) return false;
    switch (format) {
      case pxBW1: {
        // Index 1 is white; index 0 and the indices past the table black.
        const int32_t bytes = (w + 7) / 8;
        for (int32_t i = 0; i < bytes; ++i) {
          uint8_t v = 0;
          const int32_t n = std::min(8, w - i * 8);
          for (int32_t k = 0; k < n; ++k) v |= static_cast<uint8_t>((s[i * 8 + k] == 1) << (7 - k));
          d[i] = v;
        }
        break;
      }
      case pxPal8: std::memcpy(d, s, static_cast<size_t>(w)); break;
      default: {
        // One 4-byte store per pixel, each overwriting the spare byte of the
        // one before; the last pixel gets its 3 bytes alone.
        for (int32_t x = 0; x + 1 < w; ++x) std::memcpy(d + 3 * x, &colours[s[x]], 4);
        const TBGR c = table.Entries[s[w - 1]];
        uint8_t* last = d + 3 * (w - 1);
        last[0] = c.b, last[1] = c.g, last[2] = c.r;
        break;
      }
    }
    if (transparent && mask) {
      uint8_t* m = mask->GetRowPointer(y);
      for (int32_t x = 0; x < w; ++x)
        if (s[x] == gc.TransparentIndex) m[x] = 0;
    }
  }
  return true;
}

class TGIFReader {
 public:
  TGIFReader(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
             std::unique_ptr<TPXMask>& mask)
      : r_(stream), bitmap_(bitmap), params_(params), progress_(progress), mask_(mask) {}

  int32_t Read(bool paramsOnly, bool noMask);

 private:
  // Reads or skips the wanted frame; false ends the walk.
  bool ReadWantedFrame(const TFrameHeader& f, const TGIFTable& table, bool paramsOnly, bool noMask);
  bool Fail(TPXIOResult kind, const std::string& text) {
    progress_.Fail(kind, "GIF: " + text);
    return false;
  }
  // A huge logical screen is composed only for an animation: refused when
  // the file, of several frames, could not describe that many pixels.
  bool ScreenFitsFile(int32_t width, int32_t height);

  TPXByteSource r_;
  TPXBitmap& bitmap_;
  TIOParamsVals& params_;
  TPXProgressRec& progress_;
  std::unique_ptr<TPXMask>& mask_;
  TGraphicControl gc_;
};

bool TGIFReader::ReadWantedFrame(const TFrameHeader& f, const TGIFTable& table, bool paramsOnly, bool noMask) {
  progress_.Report(30);
  if (progress_.Aborted()) return false;
  params_.GIFTranspColor = table.Entries[gc_.TransparentIndex];
  params_.GIFXPos = f.X;
  params_.GIFYPos = f.Y;
  params_.Width = f.Width;
  params_.Height = f.Height;
  params_.GIFDelayTime = gc_.Delay;
  params_.GIFTransparent = gc_.Packed & 1;
  params_.GIFInterlaced = f.Interlaced ? 1 : 0;
  params_.GIFAction = (gc_.Packed >> 2) & 7;
  params_.SetPalette(table.Entries.data(), table.Count());
  params_.BitsPerSample = table.Bits;
  params_.PaletteCount = table.Count();

  // A frame without pixels is counted, but there is no image to read.
  const std::string frame = "frame " + std::to_string(params_.GIFImageIndex);
  if (f.Width == 0 || f.Height == 0)
    return Fail(iorCorrupt,
                frame + " has no pixels (" + std::to_string(f.Width) + " x " + std::to_string(f.Height) + ")");
  if (paramsOnly) {
    r_.Get();
    SkipSubBlocks(r_);
    return true;
  }
  const int64_t pixels = int64_t{f.Width} * f.Height;
  int minCodeSize = 0;
  const int64_t dataBytes = FrameDataBytes(r_, minCodeSize);
  if (!CheckDeclaredImage("GIF", f.Width, f.Height, 8, dataBytes, PixelsPerDataByte(minCodeSize), progress_) ||
      !CheckWorkBuffer("GIF", pixels * (noMask ? 1 : 2), progress_))
    return false;
  // Zero-filled, so data that ends early shows index 0, never old memory.
  TIndexBuffer indices(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(pixels), 1)));
  const TGIFLZWDecompressProc decompress = Decompressor(params_);
  if (!decompress) return Fail(iorUnsupported, "no LZW decoder is installed");
  if (!indices) return Fail(iorNoMemory, "no memory for the indices of " + frame);
  TStream& stream = r_.Stream();
  r_.Sync();
  const int64_t before = stream.Position();
  try {
    decompress(stream, f.Height, f.Width, indices.get(), f.Interlaced);
  } catch (const std::bad_alloc&) {
    stream.SetPosition(before);
  } catch (const EStreamError&) {
    stream.SetPosition(before);
  }
  const bool moved = stream.Position() != before;
  r_.Reload();
  if (!moved) return Fail(iorCorrupt, "the LZW data of " + frame + " cannot be decoded");
  progress_.Report(70);
  if (progress_.Aborted()) return false;
  try {
    if (!FillFrame(indices.get(), f, table, gc_, params_, bitmap_, mask_, noMask))
      return Fail(iorNoMemory, "no storage for " + frame);
  } catch (const EPXBitmapError&) {
    return Fail(iorNoMemory, "no storage for " + frame);
  }
  return true;
}

bool TGIFReader::ScreenFitsFile(int32_t width, int32_t height) {
  const int64_t fileBytes = r_.Left() + kHeaderSize;
  if (static_cast<double>(width) * height <= std::max(65536.0, fileBytes * PixelsPerDataByte(2))) return true;
  // Counted only for such a screen: every real file passes the test above.
  const int64_t start = r_.Position();
  TStream& stream = r_.Stream();
  stream.SetPosition(start - kHeaderSize);
  const int32_t frames = CopyGIFWithoutFrame(stream, nullptr, -1);
  r_.SetPosition(start);
  if (frames <= 1) return true;
  return CheckDeclaredImage("GIF", width, height, 8, fileBytes, PixelsPerDataByte(2), progress_);
}

int32_t TGIFReader::Read(bool paramsOnly, bool noMask) {
  progress_.Report(0);
  if (progress_.Aborted()) return 0;
  params_.GIFComments.clear();  // every read gathers the file's comments anew
  uint8_t h[kHeaderSize];
  if (!r_.Read(h, kHeaderSize) || std::memcmp(h, "GIF", 3) != 0) {
    Fail(iorCorrupt, "no GIF header");
    return 0;
  }
  params_.GIFVersion.assign(reinterpret_cast<const char*>(h), 6);
  params_.GIFWinWidth = GetLE16(h + 6);
  params_.GIFWinHeight = GetLE16(h + 8);
  params_.GIFRatio = h[12];
  params_.SetDpiX(PXSettings().DefaultDpiX);
  params_.SetDpiY(PXSettings().DefaultDpiY);
  params_.SamplesPerPixel = 1;
  const int32_t headerBits = (h[10] & 7) + 1;
  const bool hasGlobal = (h[10] & 0x80) != 0;
  TGIFTable global = GreyTable(headerBits);
  if (!paramsOnly && !ScreenFitsFile(params_.GIFWinWidth, params_.GIFWinHeight)) return 0;
  if (hasGlobal) {
    if (!ReadTable(r_, headerBits, global)) {
      Fail(iorCorrupt, "the global colour table ends early");
      return 0;
    }
    params_.GIFBackground = global.Entries[h[11]];
  }

  const int32_t wanted = params_.GIFImageIndex;
  int32_t counter = 0;
  bool found = false;
  bool ended = false;  // the data ended before the trailer
  while (!progress_.Aborted()) {
    int b = r_.Get();
    if (b < 0) b = kTrailer, ended = true;
    if (b == kExtension) {
      const int label = r_.Get();
      if (label == kGraphicControl && counter == wanted) {
        const int size = r_.Get();
        uint8_t g[4];
        if (size == 4 && r_.Read(g, 4)) {
          gc_.Packed = g[0];
          gc_.Delay = GetLE16(g + 1);
          gc_.TransparentIndex = g[3];
        } else if (size > 0) {
          r_.Skip(size);  // not the 4-byte block: skipped like any other
        }
        if (size > 0) SkipSubBlocks(r_);
      } else if (label == kComment) {
        for (;;) {
          const int n = r_.Get();
          if (n <= 0) break;
          std::string line(static_cast<size_t>(n), '\0');
          if (!r_.Read(reinterpret_cast<uint8_t*>(line.data()), n)) break;
          params_.GIFComments.push_back(std::move(line));
        }
      } else if (label >= 0) {
        SkipSubBlocks(r_);
      }
    } else if (b == kImage) {
      uint8_t d[kDescriptorSize];
      if (!r_.Read(d, kDescriptorSize)) {
        ended = true;
        break;
      }
      TFrameHeader f;
      f.X = GetLE16(d), f.Y = GetLE16(d + 2), f.Width = GetLE16(d + 4), f.Height = GetLE16(d + 6);
      f.Interlaced = (d[8] & 0x40) != 0;
      TGIFTable local;
      const bool hasLocal = (d[8] & 0x80) != 0;
      if (hasLocal && !ReadTable(r_, (d[8] & 7) + 1, local)) {
        ended = true;
        break;
      }
      if (counter == wanted) {
        found = true;
        if (!ReadWantedFrame(f, hasLocal ? local : global, paramsOnly, noMask)) break;
      } else {
        r_.Get();
        SkipSubBlocks(r_);
      }
      ++counter;
    } else if (b == kTrailer) {
      break;
    }
  }
  params_.GIFImageCount = counter;
  r_.Sync();
  // A frame index past the last frame, or a file without images, loads
  // nothing; a file cut after the wanted frame keeps it, the cut noted.
  if (!found && !progress_.Aborted()) {
    if (ended) Fail(iorCorrupt, "the data end before frame " + std::to_string(wanted));
    else if (counter == 0) Fail(iorCorrupt, "the file holds no image");
    else Fail(iorFailed, "no frame " + std::to_string(wanted) + " in a file of " + std::to_string(counter));
  } else if (found && ended && !progress_.Aborted()) {
    progress_.Note(iorCorrupt, "GIF: the data end early, after " + std::to_string(counter) + " frames");
  }
  if (!progress_.Aborted()) progress_.Report(100);
  return counter;
}

// ---------------------------------------------------------------- writing

// Forwards to a stream and remembers a short write.
class TCheckedStream : public TStream {
 public:
  explicit TCheckedStream(TStream& target) : t_(target) {}
  int64_t Read(void* buffer, int64_t count) override { return t_.Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override {
    const int64_t n = t_.Write(buffer, count);
    if (n != count) failed_ = true;
    return n;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override { return t_.Seek(offset, origin); }
  int64_t Size() override { return t_.Size(); }
  bool SetSize(int64_t newSize) override { return t_.SetSize(newSize); }
  bool Failed() const { return failed_; }

 private:
  TStream& t_;
  bool failed_ = false;
};

// The image to write, its colour indices and palette.
struct TGIFImageData {
  TIndexBuffer Indices;
  std::array<TBGR, 256> Palette{};
  int32_t PaletteUsed = 0;  // entries the background and transparent colours are matched against
  int32_t Bits = 8;
  int32_t TransparentIndex = -1;  // the alpha channel's index, or -1
  int32_t BackgroundIndex = 0;
  int32_t TranspColorIndex = 0;
};

bool BuildImageData(TPXBitmap& bitmap, const TIOParamsVals& params, TGIFImageData& out) {
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  const bool hasAlpha = bitmap.HasAlphaChannel();
  const bool oneBit = std::clamp(params.BitsPerSample, 1, 8) == 1;
  // One bit leaves no room for a transparent index besides the two colours.
  out.Bits = oneBit ? (hasAlpha ? 2 : 1) : std::clamp(params.BitsPerSample, 1, 8);
  const int32_t n = hasAlpha ? (1 << out.Bits) - 1 : 1 << out.Bits;
  out.TransparentIndex = hasAlpha ? n : -1;

  const int64_t pixels = int64_t{w} * h;
  if (pixels > CodecMemoryLimit()) return false;
  out.Indices.reset(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(pixels), 1)));
  if (!out.Indices) return false;
  uint8_t* idx = out.Indices.get();

  TPXBitmap* image = &bitmap;
  std::unique_ptr<TPXBitmap> copy;
  TPXQuantizer quantizer;
  const int32_t background = BGRToInt(params.GIFBackground);
  const int32_t transpColor = BGRToInt(params.GIFTranspColor);
  if (oneBit) {
    // A two-colour image keeps its colours.
    image = &OneBitRows(bitmap, copy, out.Palette[0], out.Palette[1]);
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* s = image->Scanline(y);
      if (!s) return false;
      uint8_t* d = idx + static_cast<int64_t>(y) * w;
      for (int32_t x = 0; x < w; ++x) d[x] = (s[x >> 3] >> (7 - (x & 7))) & 1;
    }
    out.PaletteUsed = 2;
    out.BackgroundIndex = NearestPaletteIndex(out.Palette.data(), 2, background);
    out.TranspColorIndex = NearestPaletteIndex(out.Palette.data(), 2, transpColor);
  } else {
    const TPXPixelFormat f = bitmap.PixelFormat();
    // A palette larger than the file's holds indices the file cannot store:
    // its colours are quantized afresh from a copy.
    if ((f != pxPal8 && f != pxBGR24) || (f == pxPal8 && bitmap.PaletteCount() > (1 << out.Bits))) {
      copy = ConvertedCopy(bitmap, pxBGR24);
      image = copy.get();
    }
    quantizer.Init(*image, std::span<TBGR>(out.Palette.data(), static_cast<size_t>(n)), n);
    out.PaletteUsed = std::max(quantizer.ColorCount(), 1);
    if (image->PixelFormat() == pxPal8) {
      // Indices the file cannot hold (the transparent one, the clear and end
      // codes and beyond) go to the nearest colour that it can.
      std::array<uint8_t, 256> map{};
      for (int32_t i = 0; i < 256; ++i)
        map[i] = static_cast<uint8_t>(
            i < out.PaletteUsed ? i : quantizer.ColorIndexOrNearest(BGRToInt(image->GetPaletteEntry(i))));
      for (int32_t y = 0; y < h; ++y) {
        const uint8_t* s = image->Scanline(y);
        if (!s) return false;
        uint8_t* d = idx + static_cast<int64_t>(y) * w;
        for (int32_t x = 0; x < w; ++x) d[x] = map[s[x]];
      }
      out.BackgroundIndex = NearestPaletteIndex(out.Palette.data(), out.PaletteUsed, background);
      out.TranspColorIndex = NearestPaletteIndex(out.Palette.data(), out.PaletteUsed, transpColor);
    } else {
      for (int32_t y = 0; y < h; ++y) {
        const uint8_t* s = image->Scanline(y);
        if (!s) return false;
        quantizer.MapRow(s, idx + static_cast<int64_t>(y) * w, w);
      }
      out.BackgroundIndex = quantizer.ColorIndexOrNearest(background);
      out.TranspColorIndex = quantizer.ColorIndexOrNearest(transpColor);
    }
  }
  if (hasAlpha) {
    TPXBitmap* alpha = bitmap.GetAlphaChannel();
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* a = alpha->Scanline(y);
      if (!a) return false;
      uint8_t* d = idx + static_cast<int64_t>(y) * w;
      for (int32_t x = 0; x < w; ++x)
        if (a[x] != 255) d[x] = static_cast<uint8_t>(n);
    }
  }
  return true;
}

}  // namespace

void ReadGIFStream(TStream& stream, TPXBitmap& bitmap, int32_t& frameCount, TIOParamsVals& params,
                   TPXProgressRec& progress, bool paramsOnly, std::unique_ptr<TPXMask>& mask, bool noMask) {
  frameCount = 0;
  // A stream that cannot be read, or storage that cannot be had, is reported.
  RunFilter(
      progress,
      [&] {
        TGIFReader reader(stream, bitmap, params, progress, mask);
        frameCount = reader.Read(paramsOnly, noMask);
      },
      "GIF");
}

void WriteGIFStream(TStream& target, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress) {
  progress.Report(0);
  if (progress.Aborted()) return;
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  if (w <= 0 || h <= 0 || bitmap.PixelFormat() == pxNone) {
    progress.Fail(iorFailed, "GIF: there is no image to write");
    return;
  }
  // A GIF holds sizes of 16 bits.
  if (w > 0xFFFF || h > 0xFFFF) {
    progress.Fail(iorTooLarge, "GIF: " + std::to_string(w) + " x " + std::to_string(h) + " is beyond 65535 x 65535");
    return;
  }
  if (!CheckWorkBuffer("GIF", int64_t{w} * h, progress)) return;
  TGIFImageData data;
  try {
    if (!BuildImageData(bitmap, params, data)) {
      progress.Fail(iorNoMemory, "GIF: no storage for the image's colour indices");
      return;
    }
  } catch (const EPXBitmapError&) {
    progress.Fail(iorNoMemory, "GIF: no storage for a converted copy of the image");
    return;
  }
  if (data.TransparentIndex >= 0) params.GIFTransparent = 1;
  progress.Report(30);
  if (progress.Aborted()) return;

  TCheckedStream stream(target);
  const int32_t b = data.Bits;
  std::string version = params.GIFVersion.size() >= 6 ? params.GIFVersion.substr(0, 6) : std::string("GIF89a");
  std::vector<uint8_t> head(version.begin(), version.end());
  PutU16(head, w);
  PutU16(head, h);
  head.push_back(static_cast<uint8_t>(0x80 | ((b - 1) << 4) | (b - 1)));
  head.push_back(static_cast<uint8_t>(data.BackgroundIndex));
  head.push_back(0);
  for (int32_t i = 0; i < (1 << b); ++i) {
    const TBGR c = data.Palette[i];
    head.push_back(c.r), head.push_back(c.g), head.push_back(c.b);
  }
  const int32_t transparentIndex = data.TransparentIndex >= 0 ? data.TransparentIndex : data.TranspColorIndex;
  head.insert(head.end(), {kExtension, static_cast<uint8_t>(kGraphicControl), 4,
                           static_cast<uint8_t>((params.GIFTransparent ? 1 : 0) | 8)});
  PutU16(head, params.GIFDelayTime);
  head.push_back(static_cast<uint8_t>(transparentIndex));
  head.push_back(0);
  head.push_back(kImage);
  PutU16(head, params.GIFXPos);
  PutU16(head, params.GIFYPos);
  PutU16(head, w);
  PutU16(head, h);
  head.push_back(params.GIFInterlaced ? 0x40 : 0);
  stream.Write(head.data(), static_cast<int64_t>(head.size()));

  progress.Report(70);
  if (progress.Aborted()) return;
  const TGIFLZWCompressProc compress = Compressor(params);
  if (!compress) {
    progress.Fail(iorUnsupported, "GIF: no LZW encoder is installed");
    return;
  }
  compress(stream, h, w, params.GIFInterlaced != 0, data.Indices.get(), b);
  data.Indices.reset();

  // A comment extension without a sub-block is refused by common readers
  // (giflib's whole-file reader among them): written only with some text.
  std::vector<uint8_t> tail;
  const bool anyComment = std::any_of(params.GIFComments.begin(), params.GIFComments.end(),
                                      [](const std::string& line) { return !line.empty(); });
  if (anyComment) tail = {kExtension, static_cast<uint8_t>(kComment)};
  for (const std::string& line : params.GIFComments) {
    // A zero length would end the extension: empty lines are left out, long
    // ones split into sub-blocks of at most 255 bytes.
    for (size_t at = 0; at < line.size(); at += 255) {
      const size_t n = std::min<size_t>(255, line.size() - at);
      tail.push_back(static_cast<uint8_t>(n));
      tail.insert(tail.end(), line.begin() + static_cast<std::ptrdiff_t>(at),
                  line.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
  }
  if (anyComment) tail.push_back(0);
  tail.push_back(kTrailer);
  stream.Write(tail.data(), static_cast<int64_t>(tail.size()));
  if (stream.Failed()) {
    progress.Fail(iorWriteFailed, "GIF: " + WriteFailureText(target));
    return;
  }
  progress.Report(100);
}

void WriteGIFFile(const std::string& fileName, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress) {
  try {
    TSiblingTempFile file(fileName);
    WriteGIFStream(file.Stream(), bitmap, params, progress);
    if (!progress.Aborted() && !file.Commit())
      progress.Fail(iorWriteFailed, "GIF: cannot write " + fileName + ": " + std::strerror(file.LastError()));
  } catch (const EStreamError&) {
    FailFromException(progress, std::current_exception(), "GIF");
  }
}

// ---------------------------------------------------------------- frame removal

int32_t CopyGIFWithoutFrame(TStream& source, TStream* dest, int32_t frameIndex) {
  TPXByteSource r(source);
  auto put = [&](const void* p, int64_t n) {
    if (dest && n > 0) dest->Write(p, n);
  };
  auto putByte = [&](int v) {
    const auto b = static_cast<uint8_t>(v);
    put(&b, 1);
  };
  // Copies sub-blocks through the zero length; false when they run past the end.
  auto copySubBlocks = [&](bool copy) {
    uint8_t block[255];
    for (;;) {
      const int n = r.Get();
      if (n < 0) return false;
      if (copy) putByte(n);
      if (n == 0) return true;
      const int64_t got = r.ReadUpTo(block, n);
      if (copy) put(block, got);
      if (got != n) return false;
    }
  };

  uint8_t h[kHeaderSize];
  if (!r.Read(h, kHeaderSize) || std::memcmp(h, "GIF", 3) != 0) return 0;
  std::memcpy(h + 3, "89a", 3);
  put(h, kHeaderSize);
  uint8_t table[256 * 3];
  if (h[10] & 0x80) {
    const int64_t size = 3 * (int64_t{1} << ((h[10] & 7) + 1));
    put(table, r.ReadUpTo(table, size));
  }

  int32_t counter = 0, kept = 0;
  for (;;) {
    int b = r.Get();
    if (b < 0) b = kTrailer;
    if (b == kExtension) {
      const int label = r.Get();
      if (label < 0) continue;  // the end: the next byte reads as the trailer
      if (label == kGraphicControl && counter == frameIndex) {
        copySubBlocks(false);
      } else {
        putByte(kExtension);
        putByte(label);
        copySubBlocks(true);
      }
    } else if (b == kImage) {
      uint8_t d[kDescriptorSize];
      if (!r.Read(d, kDescriptorSize)) break;
      const int64_t localSize = (d[8] & 0x80) ? 3 * (int64_t{1} << ((d[8] & 7) + 1)) : 0;
      if (!r.Read(table, localSize)) break;
      const bool keep = counter != frameIndex;
      ++counter;
      const int minCodeSize = r.Get();
      if (keep) {
        ++kept;
        putByte(kImage);
        put(d, kDescriptorSize);
        put(table, localSize);
        if (minCodeSize >= 0) putByte(minCodeSize);
      }
      if (minCodeSize < 0 || !copySubBlocks(keep)) break;
    } else if (b == kTrailer) {
      putByte(kTrailer);
      break;
    }
  }
  return kept;
}

int32_t DeleteGIFFrame(const std::string& fileName, int32_t frameIndex, bool save) {
  TMemoryStream copy;
  int32_t kept = 0;
  {
    TFileStream file(fileName, fmOpenRead);
    uint8_t sig[3] = {};
    if (file.Read(sig, 3) != 3 || std::memcmp(sig, "GIF", 3) != 0) return 0;
    file.SetPosition(0);
    kept = CopyGIFWithoutFrame(file, save ? &copy : nullptr, frameIndex);
  }
  if (!save) return kept;
  try {
    TSiblingTempFile out(fileName);
    if (out.Stream().Write(copy.Memory(), copy.Size()) != copy.Size() || !out.Commit()) return -1;
  } catch (const EStreamError&) {
    return -1;
  }
  return kept;
}

// ---------------------------------------------------------------- composition

void TGIFFrameComposer::Reset() {
  canvas_.FreeImage(true);
  disposePrevious_ = false;
}

bool TGIFFrameComposer::AddFrame(TPXBitmap& frame, const TPXMask* mask, const TIOParamsVals& params) {
  const TBGR bg = params.GIFBackground;
  const double background = RGBColor(bg.r, bg.g, bg.b);
  const int32_t fw = frame.Width(), fh = frame.Height();
  try {
    if (disposePrevious_ && canvas_.Width() > 0) {
      const int32_t x2 = prevX_ + prevWidth_ - 1, y2 = prevY_ + prevHeight_ - 1;
      canvas_.FillRect(prevX_, prevY_, x2, y2, background);
      canvas_.GetAlphaChannel()->FillRect(prevX_, prevY_, x2, y2, 0);
    }
    // Always 24 bits: frames of any format draw into it, and a later frame
    // of another format keeps what the earlier ones drew.
    const int32_t w = std::max(params.GIFWinWidth, fw), h = std::max(params.GIFWinHeight, fh);
    // The screen's width with a frame's height (or the other way round) can
    // ask for far more than any frame: no larger than a frame may be.
    if (int64_t{std::max(w, canvas_.Width())} * std::max(h, canvas_.Height()) * 2 > CodecMemoryLimit()) return false;
    // The screen passed the frame rule against the whole file; a canvas
    // grown past it by a frame's side must pass it too.
    if ((canvas_.Width() < w || canvas_.Height() < h) &&
        !CheckDeclaredImage("GIF", std::max(w, canvas_.Width()), std::max(h, canvas_.Height()), 8, fileBytes_,
                            PixelsPerDataByte(2), progress_))
      return false;
    if (canvas_.Width() <= 0 || canvas_.Height() <= 0 || canvas_.PixelFormat() != pxBGR24) {
      if (!canvas_.Allocate(w, h, pxBGR24)) return false;
      // Fresh storage is zero-filled: black needs no pass over it.
      if (bg.r | bg.g | bg.b) canvas_.Fill(background);
      TPXBitmap* alpha = canvas_.GetAlphaChannel();
      if (!alpha || alpha->Width() != w) return false;
      alpha->Fill(0);
    } else if (canvas_.Width() < w || canvas_.Height() < h) {
      canvas_.Resize(std::max(canvas_.Width(), w), std::max(canvas_.Height(), h), static_cast<int32_t>(background), 0,
                     0, 0);
    }
    // Transparency is all or nothing here: opaque pixels are copied as they
    // are (an alpha mix would darken them by a level), transparent ones
    // leave the canvas alone, and the canvas alpha keeps the larger value.
    const int32_t x = params.GIFXPos, y = params.GIFYPos;
    const bool masked = mask && mask->Width() == fw && mask->Height() == fh;
    TPXBitmap* canvasAlpha = canvas_.GetAlphaChannel();
    const int32_t x1 = std::max(x, 0), x2 = std::min(x + fw, canvas_.Width());
    const int32_t y2 = std::min(y + fh, canvas_.Height());
    std::vector<uint8_t> colours(static_cast<size_t>(fw) * 3);
    for (int32_t cy = std::max(y, 0); cy < y2 && x1 < x2; ++cy) {
      const int32_t row = cy - y;
      const uint8_t* s = frame.Scanline(row);
      if (!s) return false;
      RowToBGR24(frame.PixelFormat(), s, colours.data(), fw, frame.Palette(), frame.PaletteCount());
      const uint8_t* m = masked ? mask->GetRowPointer(row) : nullptr;
      uint8_t* d = canvas_.Scanline(cy);
      uint8_t* a = canvasAlpha->Scanline(cy);
      if (!d || !a) return false;
      for (int32_t cx = x1; cx < x2; ++cx) {
        const int32_t i = cx - x;
        const uint8_t v = m ? m[i] : 255;
        if (v) std::memcpy(d + 3 * cx, colours.data() + 3 * i, 3);
        if (v > a[cx]) a[cx] = v;
      }
    }
    canvas_.GetAlphaChannel()->Full = false;
  } catch (const EPXBitmapError&) {
    return false;
  }
  disposePrevious_ = params.GIFAction == 2;
  prevX_ = params.GIFXPos, prevY_ = params.GIFYPos, prevWidth_ = fw, prevHeight_ = fh;
  return true;
}

int32_t ReadGIFAnimationFrame(TStream& stream, TPXBitmap& bitmap, TPXBitmap& alpha, TIOParamsVals& params,
                              TPXProgressRec& progress) {
  const int64_t start = stream.Position();
  const int32_t target = params.GIFImageIndex;
  TPXProgressRec quiet;
  quiet.Aborting = progress.Aborting;
  quiet.Result = progress.Result;
  TPXProgressRec& frameProgress = target == 0 ? progress : quiet;
  alpha.FreeImage(true);

  TGIFFrameComposer composer(stream.Size() - start, progress);
  TPXBitmap later;  // frames after the first
  std::unique_ptr<TPXMask> mask;
  int32_t count = 0;
  for (int32_t i = 0;; ++i) {
    stream.SetPosition(start);
    params.GIFImageIndex = i;
    // Frame 0 goes straight into the bitmap: a single frame needs no copy.
    TPXBitmap& frame = i == 0 ? bitmap : later;
    ReadGIFStream(stream, frame, count, params, frameProgress, false, mask, false);
    if (progress.Aborted()) break;
    if (count > 1 && !composer.AddFrame(frame, params.GIFTransparent ? mask.get() : nullptr, params)) {
      progress.Fail(iorTooLarge, "GIF: no storage for a " + std::to_string(params.GIFWinWidth) + " x " +
                                     std::to_string(params.GIFWinHeight) + " animation canvas");
      break;
    }
    if (progress.OnProgress && count > 0) progress.Report(TruncToInt32(i * 100.0 / count));
    if (i + 1 >= count || i >= target) break;
  }
  params.GIFImageIndex = target;
  // A frame past the last one is not there to show.
  if ((target < 0 || target >= count) && !progress.Aborted())
    progress.Fail(iorFailed, "GIF: no frame " + std::to_string(target) + " in a file of " + std::to_string(count));
  if (progress.Aborted()) {
    // Frame 0, read straight into the bitmap, is not the animation asked for.
    if (count > 1) bitmap.FreeImage(true);
    return count;
  }
  try {
    if (count > 1) {
      TPXBitmap& canvas = composer.Canvas();
      canvas.GetAlphaChannel()->TransferTo(alpha);
      canvas.RemoveAlphaChannel();
      bitmap.Assign(&canvas);
      // The composed image is the whole screen: a later save must not shift it.
      params.Width = bitmap.Width();
      params.Height = bitmap.Height();
      params.GIFXPos = params.GIFYPos = 0;
    } else if (params.GIFTransparent && mask) {
      const int32_t w = mask->Width(), h = mask->Height();
      if (!alpha.Allocate(w, h, pxGray8)) {
        progress.Fail(iorNoMemory, "GIF: no storage for the transparency");
        return count;
      }
      for (int32_t y = 0; y < h; ++y) {
        uint8_t* d = alpha.Scanline(y);
        if (!d) break;
        std::memcpy(d, mask->GetRowPointer(y), static_cast<size_t>(w));
      }
    }
  } catch (const EPXBitmapError&) {
    progress.Fail(iorNoMemory, "GIF: no storage for the composed frame");
  }
  return count;
}

// ---------------------------------------------------------------- format table entries

void GIFFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
                   int64_t /*dataLength*/, TPXBitmap& alpha) {
  if (paramsOnly) {
    std::unique_ptr<TPXMask> none;
    int32_t count = 0;
    ReadGIFStream(stream, bitmap, count, params, progress, true, none, true);
    return;
  }
  ReadGIFAnimationFrame(stream, bitmap, alpha, params, progress);
}

void GIFFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXBitmap* /*alpha*/) {
  WriteGIFStream(stream, bitmap, params, progress);
}

int32_t CountGIFFrames(TStream& stream) { return CopyGIFWithoutFrame(stream, nullptr, -1); }

}  // namespace pixoran
