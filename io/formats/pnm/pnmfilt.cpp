#include "io/formats/pnm/pnmfilt.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "io/iohooks.h"
#include "io/pxfiltutil.h"

namespace pixoran {

namespace {

// Values past this are not sizes or samples of any real anymap; parsing
// stops growing there so that no digit string overflows.
constexpr int64_t kNumberCap = int64_t{1} << 40;
constexpr int32_t kMaxMaxval = 65535;
// A token's characters past this are read over: no header needs them, and
// a file of one endless token must not become one endless string.
constexpr size_t kMaxTokenKept = 4096;
// Content detection looks no further than this into a stream.
constexpr int64_t kProbeBytes = int64_t{1} << 20;
// The most bitmap bytes a byte of anymap or WBMP data becomes: a binary
// grey byte three, and a row of one byte (or character) a padded row of
// four.
constexpr double kMaxExpansion = 4;

inline bool IsAlnum(int c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The token rule over any byte getter (returns -1 at the end).
template <typename TGet>
std::string NextToken(TGet get) {
  int c = get();
  while (c >= 0 && c != '#' && !IsAlnum(c)) c = get();
  std::string token;
  if (c < 0) return token;
  if (c == '#') {
    token = "#";
    for (c = get(); c >= 0 && c != '\r' && c != '\n'; c = get())
      if (token.size() < kMaxTokenKept) token.push_back(static_cast<char>(c));
    const auto first = token.find_first_not_of(" \t", 1);
    const auto last = token.find_last_not_of(" \t");
    return first == std::string::npos ? std::string("#") : "#" + token.substr(first, last - first + 1);
  }
  for (; c >= 0 && IsAlnum(c); c = get())
    if (token.size() < kMaxTokenKept) token.push_back(static_cast<char>(c));
  return token;
}

// A decimal number; anything that does not parse counts as 0.
int64_t ParseNumber(const std::string& token) {
  if (token.empty()) return 0;
  int64_t v = 0;
  for (char ch : token) {
    if (ch < '0' || ch > '9') return 0;
    v = std::min(kNumberCap, v * 10 + (ch - '0'));
  }
  return v;
}

// The next token that is not a comment; comments are collected when asked.
template <typename TGet>
std::string NextValueToken(TGet get, std::vector<std::string>* comments) {
  for (;;) {
    std::string t = NextToken(get);
    if (t.empty() || t[0] != '#') return t;
    if (comments) comments->push_back(t.substr(1));
  }
}

struct TPNMHeader {
  int kind = 0;  // 1..6, 0 when unknown
  int64_t width = 0, height = 0, maxval = 0;
};

template <typename TGet>
TPNMHeader ReadHeader(TGet get, std::vector<std::string>* comments) {
  TPNMHeader h;
  const std::string magic = NextValueToken(get, comments);
  if (magic.size() == 2 && magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '6') h.kind = magic[1] - '0';
  if (h.kind == 0) return h;
  h.width = ParseNumber(NextValueToken(get, comments));
  h.height = ParseNumber(NextValueToken(get, comments));
  h.maxval = (h.kind == 1 || h.kind == 4) ? 1 : ParseNumber(NextValueToken(get, comments));
  return h;
}

class TPNMReader {
 public:
  TPNMReader(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress)
      : src_(stream), bmp_(bitmap), params_(params), progress_(progress) {}
  void Read(bool paramsOnly);

 private:
  bool Fail(TPXIOResult kind, const std::string& text) {
    progress_.Fail(kind, "PNM: " + text);
    return false;
  }
  int64_t NextValue() {
    const std::string t = NextValueToken([this] { return src_.Get(); }, nullptr);
    if (t.empty()) return -1;  // the data ended
    return std::min<int64_t>(ParseNumber(t), h_.maxval);
  }
  bool ReadPlainBits(uint8_t* row);
  bool ReadPlainValues(uint8_t* row);
  bool ReadBinaryRow(uint8_t* row);

  TPXByteSource src_;
  TPXBitmap& bmp_;
  TIOParamsVals& params_;
  TPXProgressRec& progress_;
  TPNMHeader h_;
  std::vector<uint8_t> scale_;  // sample value -> 0..255
  int64_t rowBytes_ = 0;        // of a binary row
};

void TPNMReader::Read(bool paramsOnly) {
  std::vector<std::string> comments;
  h_ = ReadHeader([this] { return src_.Get(); }, &comments);
  params_.PNMComments = std::move(comments);
  if (h_.kind == 0) {
    Fail(iorCorrupt, "no anymap magic (P1 to P6)");
    return;
  }
  // A maximum of 0 would divide by zero; one above 16 bits is no anymap.
  if (h_.maxval <= 0 || h_.maxval > kMaxMaxval) {
    Fail(iorCorrupt, "impossible maximum value " + std::to_string(h_.maxval));
    return;
  }
  const bool bitsKind = h_.kind == 1 || h_.kind == 4;
  if (!CheckDeclaredImage("PNM", h_.width, h_.height, bitsKind ? 1 : 24, 0, 0, progress_)) return;
  const bool bits = h_.kind == 1 || h_.kind == 4;
  const bool colour = h_.kind == 3 || h_.kind == 6;
  params_.FreePalette();
  params_.Width = static_cast<int32_t>(h_.width);
  params_.Height = static_cast<int32_t>(h_.height);
  params_.SetDpiX(PXSettings().DefaultDpiX);
  params_.SetDpiY(PXSettings().DefaultDpiY);
  params_.BitsPerSample = bits ? 1 : 8;
  params_.SamplesPerPixel = colour ? 3 : 1;
  if (paramsOnly) return;

  const int64_t samples = colour ? 3 : 1;
  const int64_t sampleBytes = h_.maxval > 255 ? 2 : 1;
  rowBytes_ = h_.kind == 4 ? (h_.width + 7) / 8 : h_.width * samples * sampleBytes;
  // Data far short of what the image needs is a bomb or a stub: refused
  // before allocating.
  if (!CheckDeclaredImage("PNM", h_.width, h_.height, bits ? 1 : 24, src_.Left(), kMaxExpansion, progress_)) return;
  if (!bmp_.Allocate(params_.Width, params_.Height, bits ? pxBW1 : pxBGR24)) {
    Fail(iorNoMemory, "no storage for a " + std::to_string(h_.width) + " x " + std::to_string(h_.height) + " image");
    return;
  }
  if (!bits) {
    scale_.resize(static_cast<size_t>(h_.maxval) + 1);
    for (int64_t v = 0; v <= h_.maxval; ++v) scale_[v] = static_cast<uint8_t>(v * 255 / h_.maxval);
  }
  progress_.Start(h_.height);
  for (int64_t y = 0; y < h_.height; ++y) {
    if (!BeginFilterRow(progress_, y)) return;
    uint8_t* row = bmp_.Scanline(static_cast<int32_t>(y));
    if (!row) {
      Fail(iorNoMemory, "the image's storage cannot be reached");
      return;
    }
    const bool ok = h_.kind == 1 ? ReadPlainBits(row) : h_.kind <= 3 ? ReadPlainValues(row) : ReadBinaryRow(row);
    if (!ok) {
      Fail(iorCorrupt, "the data end early at row " + std::to_string(y) + " of " + std::to_string(h_.height));
      return;
    }
  }
  progress_.RowsDone = static_cast<int32_t>(h_.height);
}

bool TPNMReader::ReadPlainBits(uint8_t* row) {
  // "0" is white (a set bit), "1" black; anything else is skipped.
  std::memset(row, 0, static_cast<size_t>((h_.width + 7) / 8));
  for (int64_t x = 0; x < h_.width;) {
    const int c = src_.Get();
    if (c < 0) return false;
    if (c != '0' && c != '1') continue;
    if (c == '0') row[x >> 3] |= static_cast<uint8_t>(0x80u >> (x & 7));
    ++x;
  }
  return true;
}

bool TPNMReader::ReadPlainValues(uint8_t* row) {
  for (int64_t x = 0; x < h_.width; ++x, row += 3) {
    if (h_.kind == 2) {
      const int64_t v = NextValue();
      if (v < 0) return false;
      row[0] = row[1] = row[2] = scale_[v];
    } else {
      for (int i = 2; i >= 0; --i) {  // red, green, blue
        const int64_t v = NextValue();
        if (v < 0) return false;
        row[i] = scale_[v];
      }
    }
  }
  return true;
}

bool TPNMReader::ReadBinaryRow(uint8_t* row) {
  const int64_t w = h_.width;
  const uint8_t* s = src_.Take(rowBytes_);
  if (!s) return false;
  if (h_.kind == 4) {
    // A set bit is black in the file and white in the bitmap.
    for (int64_t i = 0; i < rowBytes_; ++i) row[i] = static_cast<uint8_t>(~s[i]);
    return true;
  }
  if (h_.kind == 6 && h_.maxval == 255) {
    ConvertRowColorSpace(s, pxcsRGB, row, nullptr, static_cast<int32_t>(w), pxcsBGR);
    return true;
  }
  const uint8_t* lut = scale_.data();
  const uint16_t maxval = static_cast<uint16_t>(h_.maxval);
  const bool wide = h_.maxval > 255;
  auto sample = [&](int64_t i) -> uint8_t {
    const uint16_t v = wide ? static_cast<uint16_t>((s[2 * i] << 8) | s[2 * i + 1]) : s[i];
    return lut[std::min(v, maxval)];
  };
  if (h_.kind == 5) {
    for (int64_t x = 0; x < w; ++x, row += 3) row[0] = row[1] = row[2] = sample(x);
  } else {
    for (int64_t x = 0; x < w; ++x, row += 3)
      row[0] = sample(3 * x + 2), row[1] = sample(3 * x + 1), row[2] = sample(3 * x);
  }
  return true;
}

// ---------------------------------------------------------------- WBMP

// A multi-byte integer: seven bits a byte, most significant first, the top
// bit set on every byte but the last. -1 when it ends early or grows past
// 31 bits.
int64_t ReadMultiByte(const uint8_t* p, int64_t size, int64_t& pos) {
  int64_t v = 0;
  for (int i = 0; i < 5; ++i) {
    if (pos >= size) return -1;
    const uint8_t b = p[pos++];
    v = (v << 7) | (b & 0x7F);
    if (!(b & 0x80)) return v <= INT32_MAX ? v : -1;
  }
  return -1;
}

void PutMultiByte(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t tmp[5];
  int n = 0;
  do {
    tmp[n++] = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
  } while (v);
  while (n > 1) out.push_back(static_cast<uint8_t>(tmp[--n] | 0x80));
  out.push_back(tmp[0]);
}

}  // namespace

std::string ReadPNMToken(TStream& stream) {
  return NextToken([&stream]() -> int {
    uint8_t c;
    return stream.Read(&c, 1) == 1 ? c : -1;
  });
}

bool IsPNMStream(TStream& stream) {
  const int64_t start = stream.Position();
  bool ok = false;
  try {
    TPXByteSource src(stream, start + kProbeBytes, 4096);
    auto get = [&src] { return src.Get(); };
    // Up to 501 tokens: comments before the magic are skipped.
    std::string t;
    for (int i = 0; i < 501; ++i) {
      t = NextToken(get);
      if (t.empty() || t[0] != '#') break;
    }
    if (t.size() == 2 && t[0] == 'P' && t[1] >= '1' && t[1] <= '6') {
      const int64_t w = ParseNumber(NextValueToken(get, nullptr));
      const int64_t h = ParseNumber(NextValueToken(get, nullptr));
      ok = w > 0 && h > 0;
    }
  } catch (const EStreamError&) {
    ok = false;
  }
  stream.SetPosition(start);
  return ok;
}

void ReadPNMStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                   bool paramsOnly) {
  RunFilter(
      progress, [&] { TPNMReader(stream, bitmap, params, progress).Read(paramsOnly); }, "PNM");
}

void WritePNMStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress) {
  if (progress.Aborted()) return;
  const char* kind = "PNM";
  try {
    const int64_t w = bitmap.Width(), h = bitmap.Height();
    if (w <= 0 || h <= 0 || bitmap.PixelFormat() == pxNone) {
      progress.Fail(iorFailed, "PNM: there is no image to write");
      return;
    }
    const bool oneBit = bitmap.PixelFormat() == pxBW1 || (params.BitsPerSample == 1 && params.SamplesPerPixel == 1);
    const bool grey = !oneBit && params.BitsPerSample == 8 && params.SamplesPerPixel == 1;
    // The rows written come from the caller's bitmap or a converted copy.
    std::unique_ptr<TPXBitmap> work;
    TPXBitmap* rows = &bitmap;
    const TPXPixelFormat want = oneBit ? pxBW1 : pxBGR24;
    if (bitmap.PixelFormat() != want) {
      work = ConvertedCopy(bitmap, want);
      rows = work.get();
    }
    std::string text;
    for (const auto& line : params.PNMComments) text += "\n# " + line + "\n";
    std::string header = oneBit ? "P4 " : grey ? "P5 " : "P6 ";
    header += text + std::to_string(w) + " " + std::to_string(h) + (oneBit ? "\n" : " 255\n");
    TPXFilterOut out(stream, progress, "PNM");
    if (!out.Put(header.data(), static_cast<int64_t>(header.size()))) return;

    const int64_t rowBytes = oneBit ? (w + 7) / 8 : grey ? w : w * 3;
    std::vector<uint8_t> buf(static_cast<size_t>(rowBytes));
    progress.Start(h);
    for (int64_t y = 0; y < h; ++y) {
      if (!BeginFilterRow(progress, y)) return;
      const uint8_t* src = rows->Scanline(static_cast<int32_t>(y));
      if (!src) {
        progress.Fail(iorNoMemory, std::string(kind) + ": the image's storage cannot be reached");
        return;
      }
      if (oneBit) {
        for (int64_t i = 0; i < rowBytes; ++i) buf[i] = static_cast<uint8_t>(~src[i]);
        if (w & 7) buf[rowBytes - 1] &= static_cast<uint8_t>(0xFF00 >> (w & 7));
      } else if (grey) {
        ConvertColorHook().load()(src, pxcsBGR, buf.data(), &params, static_cast<int32_t>(w), pxcsGray8);
      } else {
        ConvertRowColorSpace(src, pxcsRGB, buf.data(), nullptr, static_cast<int32_t>(w), pxcsBGR);  // the same swap
      }
      if (!out.Put(buf.data(), rowBytes)) return;
    }
    progress.RowsDone = static_cast<int32_t>(h);
  } catch (...) {
    FailFromException(progress, std::current_exception(), kind);
  }
}

void ReadWBMPStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    bool paramsOnly) {
  if (progress.Aborted()) return;
  try {
    auto fail = [&](TPXIOResult why, const std::string& text) { progress.Fail(why, "WBMP: " + text); };
    const int64_t start = stream.Position();
    const int64_t left = StreamBytesLeft(stream);
    // Type, fixed header and at most five bytes for each size.
    uint8_t head[12] = {};
    const int64_t got = stream.Read(head, std::min<int64_t>(left, sizeof head));
    if (got < 4) return fail(iorCorrupt, "the header ends early");
    if (head[0] != 0 || head[1] != 0) return fail(iorCorrupt, "type " + std::to_string(head[0]) + " is not type 0");
    int64_t pos = 2;
    int64_t w = ReadMultiByte(head, got, pos);
    int64_t h = ReadMultiByte(head, got, pos);
    auto fits = [&](int64_t ww, int64_t hh, int64_t at) { return ww > 0 && hh > 0 && at + (ww + 7) / 8 * hh <= left; };
    // Files from the older writer stored sizes of 128 to 255 as one plain
    // byte each; when only that reading fits the data, it is the one meant.
    if (!fits(w, h, pos) && fits(head[2], head[3], 4)) {
      w = head[2];
      h = head[3];
      pos = 4;
    }
    if (w < 0 || h < 0) return fail(iorCorrupt, "the size fields are broken");
    // The rows are stored as they are: a claim the data left could not hold
    // is refused before the bitmap is had.
    if (!CheckDeclaredImage("WBMP", w, h, 1, paramsOnly ? 0 : left - pos, paramsOnly ? 0 : kMaxExpansion, progress))
      return;
    params.BitsPerSample = 1;
    params.SamplesPerPixel = 1;
    params.Width = static_cast<int32_t>(w);
    params.Height = static_cast<int32_t>(h);
    params.SetDpiX(PXSettings().DefaultDpiX);
    params.SetDpiY(PXSettings().DefaultDpiY);
    params.FreePalette();
    if (paramsOnly) return;
    stream.SetPosition(start + pos);
    if (!bitmap.Allocate(params.Width, params.Height, pxBW1))
      return fail(iorNoMemory, "no storage for a " + std::to_string(w) + " x " + std::to_string(h) + " image");
    TPXByteSource src(stream);
    const int64_t rowBytes = (w + 7) / 8;
    progress.Start(h);
    for (int64_t y = 0; y < h; ++y) {
      if (!BeginFilterRow(progress, y)) return;
      uint8_t* row = bitmap.Scanline(static_cast<int32_t>(y));
      if (!row) return fail(iorNoMemory, "the image's storage cannot be reached");
      if (!src.Read(row, rowBytes))
        return fail(iorCorrupt, "the data end early at row " + std::to_string(y) + " of " + std::to_string(h));
    }
    progress.RowsDone = static_cast<int32_t>(h);
  } catch (...) {
    FailFromException(progress, std::current_exception(), "WBMP");
  }
}

void WriteWBMPStream(TStream& stream, TPXBitmap& bitmap, TPXProgressRec& progress) {
  if (progress.Aborted()) return;
  const char* kind = "WBMP";
  try {
    const int64_t w = bitmap.Width(), h = bitmap.Height();
    if (w <= 0 || h <= 0 || bitmap.PixelFormat() == pxNone) {
      progress.Fail(iorFailed, "WBMP: there is no image to write");
      return;
    }
    std::unique_ptr<TPXBitmap> work;
    TPXBitmap* rows = &bitmap;
    if (bitmap.PixelFormat() != pxBW1) {
      work = ConvertedCopy(bitmap, pxBW1);
      rows = work.get();
    }
    std::vector<uint8_t> header = {0, 0};
    PutMultiByte(header, static_cast<uint32_t>(w));
    PutMultiByte(header, static_cast<uint32_t>(h));
    TPXFilterOut out(stream, progress, kind);
    if (!out.Put(header.data(), static_cast<int64_t>(header.size()))) return;
    const int64_t rowBytes = (w + 7) / 8;
    std::vector<uint8_t> buf(static_cast<size_t>(rowBytes));
    progress.Start(h);
    for (int64_t y = 0; y < h; ++y) {
      if (!BeginFilterRow(progress, y)) return;
      const uint8_t* src = rows->Scanline(static_cast<int32_t>(y));
      if (!src) {
        progress.Fail(iorNoMemory, std::string(kind) + ": the image's storage cannot be reached");
        return;
      }
      std::memcpy(buf.data(), src, static_cast<size_t>(rowBytes));
      if (w & 7) buf[rowBytes - 1] &= static_cast<uint8_t>(0xFF00 >> (w & 7));
      if (!out.Put(buf.data(), rowBytes)) return;
    }
    progress.RowsDone = static_cast<int32_t>(h);
  } catch (...) {
    FailFromException(progress, std::current_exception(), kind);
  }
}

void PNMFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
                   int64_t /*dataLength*/, TPXBitmap& /*alpha*/) {
  ReadPNMStream(stream, bitmap, params, progress, paramsOnly);
}

void PNMFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXBitmap* /*alpha*/) {
  WritePNMStream(stream, bitmap, params, progress);
}

void WBMPFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    bool paramsOnly, int64_t /*dataLength*/, TPXBitmap& /*alpha*/) {
  ReadWBMPStream(stream, bitmap, params, progress, paramsOnly);
}

void WBMPFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& /*params*/, TPXProgressRec& progress,
                     TPXBitmap* /*alpha*/) {
  WriteWBMPStream(stream, bitmap, progress);
}

}  // namespace pixoran
