#include "io/formats/tga/pxtgafil.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/neurquant.h"
#include "io/iohooks.h"
#include "io/pxfiltutil.h"

namespace pixoran {

namespace {

constexpr int kHeaderSize = 18;
constexpr int kFooterSize = 26;
constexpr int kExtensionSize = 495;
constexpr char kSignature[] = "TRUEVISION-XFILE.";  // then a zero byte
// Days from 1899-12-30 (the day count TGADate uses) to 1970-01-01.
constexpr int32_t kDaysTo1970 = 25569;

struct TTGAHeader {
  uint8_t idLength = 0, mapType = 0, imageType = 0;
  int32_t mapFirst = 0, mapLength = 0, mapEntryBits = 0;
  int32_t xPos = 0, yPos = 0, width = 0, height = 0;
  int32_t depth = 0;
  uint8_t descriptor = 0;
};

TTGAHeader ParseHeader(const uint8_t* b) {
  TTGAHeader h;
  h.idLength = b[0];
  h.mapType = b[1];
  h.imageType = b[2];
  h.mapFirst = GetLE16(b + 3);
  h.mapLength = GetLE16(b + 5);
  h.mapEntryBits = b[7];
  h.xPos = GetLE16(b + 8);
  h.yPos = GetLE16(b + 10);
  h.width = GetLE16(b + 12);
  h.height = GetLE16(b + 14);
  h.depth = b[16];
  h.descriptor = b[17];
  return h;
}

bool HeaderKnown(const TTGAHeader& h) {
  const uint8_t t = h.imageType;
  const int d = h.depth;
  return ((t >= 1 && t <= 3) || (t >= 9 && t <= 11)) && (d == 1 || d == 4 || d == 8 || d == 16 || d == 24 || d == 32) &&
         h.mapType <= 1;
}

std::string TextField(const uint8_t* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != 0) ++len;
  return std::string(reinterpret_cast<const char*>(p), len);
}

inline TBGR From555(uint32_t v) {
  return TBGR{static_cast<uint8_t>((v & 0x1F) << 3), static_cast<uint8_t>(((v >> 5) & 0x1F) << 3),
              static_cast<uint8_t>(((v >> 10) & 0x1F) << 3)};
}

// Pixels of the file, raw or in run-length packets; a packet may run on
// from the end of one row into the next.
class TTGAUnitReader {
 public:
  TTGAUnitReader(TPXByteSource& src, int32_t unitBytes, bool rle) : src_(src), unit_(unitBytes), rle_(rle) {}
  bool Read(uint8_t* dst, int64_t units) {
    if (!rle_) return src_.Read(dst, units * unit_);
    while (units > 0) {
      if (left_ == 0) {
        const int h = src_.Get();
        if (h < 0) return false;
        left_ = (h & 0x7F) + 1;
        repeat_ = (h & 0x80) != 0;
        if (repeat_ && !src_.Read(value_, unit_)) return false;
      }
      const int64_t k = std::min<int64_t>(left_, units);
      if (repeat_) {
        for (int64_t i = 0; i < k * unit_; i += unit_)
          for (int32_t b = 0; b < unit_; ++b) dst[i + b] = value_[b];
      } else if (!src_.Read(dst, k * unit_)) {
        return false;
      }
      dst += k * unit_;
      units -= k;
      left_ -= static_cast<int32_t>(k);
    }
    return true;
  }

 private:
  TPXByteSource& src_;
  int32_t unit_;
  bool rle_;
  int32_t left_ = 0;
  bool repeat_ = false;
  uint8_t value_[4] = {};
};

class TTGAReader {
 public:
  TTGAReader(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress)
      : s_(stream), bmp_(bitmap), params_(params), progress_(progress) {}
  // mask: where the alpha goes, nullptr when it is not wanted.
  void Read(bool paramsOnly, std::unique_ptr<TPXMask>* mask);

 private:
  void Fail(TPXIOResult kind, const std::string& why) { progress_.Fail(kind, "TGA: " + why); }
  void Truncated(const char* what) { Fail(iorCorrupt, std::string(what) + " ends early"); }
  // Types 3 and 11 at 16 bits: a grey byte, then an alpha byte.
  bool GreyAlpha() const { return h_.depth == 16 && (h_.imageType == 3 || h_.imageType == 11); }
  void ReadExtension(int64_t start);
  void ConvertRow(const uint8_t* file, uint8_t* row, uint8_t* alphaRow) const;

  TStream& s_;
  TPXBitmap& bmp_;
  TIOParamsVals& params_;
  TPXProgressRec& progress_;
  TTGAHeader h_;
  std::array<TBGR, 256> pal_{};
};

void TTGAReader::ReadExtension(int64_t start) {
  const int64_t size = s_.Size();
  if (size - start < kFooterSize) return;
  uint8_t f[kFooterSize];
  s_.SetPosition(size - kFooterSize);
  if (!s_.ReadExact(f, kFooterSize) || std::memcmp(f + 8, kSignature, sizeof kSignature - 1) != 0) return;
  const int64_t ext = GetLE32(f);
  uint8_t e[kExtensionSize];
  if (ext == 0 || start + ext + kExtensionSize > size) return;
  s_.SetPosition(start + ext);
  if (!s_.ReadExact(e, kExtensionSize)) return;
  params_.TGAAuthor = TextField(e + 2, 41);
  const int month = GetLE16(e + 367), day = GetLE16(e + 369), year = GetLE16(e + 371);
  const int hour = GetLE16(e + 373), minute = GetLE16(e + 375), second = GetLE16(e + 377);
  using namespace std::chrono;
  const year_month_day ymd{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                           std::chrono::day{static_cast<unsigned>(day)}};
  if (month && day && year && year < 2500 && hour < 24 && minute < 60 && second < 60 && ymd.ok())
    params_.TGADate = static_cast<double>(sys_days{ymd}.time_since_epoch().count() + kDaysTo1970) +
                      (hour * 3600 + minute * 60 + second) / 86400.0;
  params_.TGAImageName = TextField(e + 379, 41);
  params_.TGABackground = TBGR{e[473], e[472], e[471]};
  const int an = GetLE16(e + 474), ad = GetLE16(e + 476), gn = GetLE16(e + 478), gd = GetLE16(e + 480);
  if (an && ad) params_.TGAAspectRatio = static_cast<double>(an) / ad;
  if (gn && gd) params_.TGAGamma = static_cast<double>(gn) / gd;
}

void TTGAReader::Read(bool paramsOnly, std::unique_ptr<TPXMask>* mask) {
  const int64_t start = s_.Position();
  if (s_.Size() - start < kHeaderSize) {
    Truncated("the header");
    return;
  }
  params_.TGAAuthor.clear();
  params_.TGAImageName.clear();
  params_.TGABackground = TBGR{};
  params_.TGAAspectRatio = 1.0;
  params_.TGAGamma = 2.2;
  {
    // Today, at time 0.
    using namespace std::chrono;
    const auto today = floor<days>(system_clock::now());
    params_.TGADate = static_cast<double>(today.time_since_epoch().count() + kDaysTo1970);
  }
  ReadExtension(start);

  s_.SetPosition(start);
  TPXByteSource src(s_, -1, 8192);
  uint8_t hb[kHeaderSize];
  if (!src.Read(hb, kHeaderSize)) {
    Truncated("the header");
    return;
  }
  h_ = ParseHeader(hb);
  params_.TGAXPos = h_.xPos;
  params_.TGAYPos = h_.yPos;
  if (!HeaderKnown(h_)) {
    Fail(iorCorrupt, "image type " + std::to_string(h_.imageType) + " at " + std::to_string(h_.depth) +
                         " bits with colour map type " + std::to_string(h_.mapType) + " is no Targa image");
    return;
  }
  std::vector<uint8_t> id(h_.idLength);
  if (!src.Read(id.data(), h_.idLength)) {
    Truncated("the identification field");
    return;
  }
  while (!id.empty() && id.back() == 0) id.pop_back();
  params_.TGADescriptor.assign(id.begin(), id.end());

  for (int r = 0; r < 8; ++r)
    for (int g = 0; g < 8; ++g)
      for (int b = 0; b < 4; ++b)
        pal_[r * 32 + g * 4 + b] = TBGR{static_cast<uint8_t>(b * 64 + 60), static_cast<uint8_t>(g * 32 + 28),
                                        static_cast<uint8_t>(r * 32 + 28)};
  params_.FreePalette();
  if (h_.mapType == 1) {
    // Entries past 256 are read over but kept nowhere; entry sizes other
    // than 15, 16, 24 and 32 bits are read over whole.
    const int32_t entryBytes = (h_.mapEntryBits + 7) / 8;
    const bool known = h_.mapEntryBits == 15 || h_.mapEntryBits == 16 || h_.mapEntryBits == 24 || h_.mapEntryBits == 32;
    uint8_t e[4] = {};
    for (int32_t i = 0; i < h_.mapLength; ++i) {
      if (!known) {
        if (!src.Skip(entryBytes)) return Truncated("the colour map");
        continue;
      }
      if (!src.Read(e, entryBytes)) return Truncated("the colour map");
      const int32_t at = h_.mapFirst + i;
      if (at >= 256) continue;
      pal_[at] = entryBytes == 2 ? From555(GetLE16(e)) : TBGR{e[0], e[1], e[2]};
    }
    const int32_t count = std::min(h_.mapLength, 256);
    params_.SetPalette(pal_.data(), count);
    params_.TGAGrayLevel = 0;
  } else if (h_.depth == 8 || GreyAlpha()) {
    for (int i = 0; i < 256; ++i) pal_[i] = TBGR{uint8_t(i), uint8_t(i), uint8_t(i)};
    params_.TGAGrayLevel = 1;
  } else if (h_.depth == 1) {
    pal_[0] = TBGR{0, 0, 0};
    pal_[1] = TBGR{255, 255, 255};
  }
  params_.TGACompressed = h_.imageType >= 9 ? 1 : 0;
  params_.Width = h_.width;
  params_.Height = h_.height;
  params_.SetDpiX(PXSettings().DefaultDpiX);
  params_.SetDpiY(PXSettings().DefaultDpiY);
  switch (h_.depth) {
    case 1: params_.BitsPerSample = 1, params_.SamplesPerPixel = 1; break;
    case 4: params_.BitsPerSample = 4, params_.SamplesPerPixel = 1; break;
    case 8: params_.BitsPerSample = 8, params_.SamplesPerPixel = 1; break;
    case 16:
      if (GreyAlpha()) params_.BitsPerSample = 8, params_.SamplesPerPixel = 2;
      else params_.BitsPerSample = 5, params_.SamplesPerPixel = 3;
      break;
    case 24: params_.BitsPerSample = 8, params_.SamplesPerPixel = 3; break;
    default: params_.BitsPerSample = 8, params_.SamplesPerPixel = 4; break;
  }
  if (paramsOnly) return;

  const int64_t w = h_.width, h = h_.height;
  const bool bw = h_.depth == 1;
  const int32_t unit = h_.depth >= 8 ? h_.depth / 8 : 1;
  const int64_t units = h_.depth >= 8 ? w : (w * h_.depth + 7) / 8;
  // A packet of two to five bytes repeats its pixel up to 128 times, so no
  // data expands more than 128 times: less than that could fill is refused
  // before any allocation.
  constexpr double kMaxExpansion = 128;
  if (!CheckDeclaredImage("TGA", w, h, h_.depth, src.Left(), kMaxExpansion, progress_)) return;
  if (!bmp_.Allocate(h_.width, h_.height, bw ? pxBW1 : pxBGR24))
    return Fail(iorNoMemory, "no storage for a " + std::to_string(w) + " x " + std::to_string(h) + " image");
  // Alpha into the mask only where the descriptor gives 8 alpha bits (a
  // 32-bit image: bit 3 of them).
  const bool withAlpha =
      mask && ((h_.depth == 32 && (h_.descriptor & 0x08)) || (GreyAlpha() && (h_.descriptor & 0x0F) == 8));
  TPXMask* alpha = nullptr;
  if (withAlpha && !(alpha = OpaqueMask(*mask, h_.width, h_.height)))
    return Fail(iorNoMemory, "no storage for the transparency");
  std::vector<uint8_t> file(static_cast<size_t>(units * unit)), alphaRow(static_cast<size_t>(w), 255);
  TTGAUnitReader reader(src, unit, h_.imageType >= 9);
  const bool topDown = (h_.descriptor & 0x20) != 0;
  const bool mirrored = (h_.descriptor & 0x10) != 0;
  progress_.Start(h);
  for (int64_t k = 0; k < h; ++k) {
    if (!BeginFilterRow(progress_, k)) return;
    const int32_t y = static_cast<int32_t>(topDown ? k : h - 1 - k);
    uint8_t* row = bmp_.Scanline(y);
    if (!row) return Fail(iorNoMemory, "cannot reach row " + std::to_string(y) + " of the image");
    const std::string lost = "the pixel data ends early at row " + std::to_string(k) + " of " + std::to_string(h);
    // 24-bit pixels are already the bitmap's: they go straight into the row.
    if (h_.depth == 24) {
      if (!reader.Read(row, units)) return Fail(iorCorrupt, lost);
    } else {
      if (!reader.Read(file.data(), units)) return Fail(iorCorrupt, lost);
      ConvertRow(file.data(), row, alphaRow.data());
    }
    if (mirrored) {
      if (bw) {
        std::vector<uint8_t> copy(row, row + (w + 7) / 8);
        for (int64_t x = 0; x < w; ++x) {
          const bool bit = (copy[x >> 3] >> (7 - (x & 7))) & 1;
          const int64_t m = w - 1 - x;
          row[m >> 3] = static_cast<uint8_t>(bit ? row[m >> 3] | (0x80 >> (m & 7)) : row[m >> 3] & ~(0x80 >> (m & 7)));
        }
      } else {
        for (int64_t a = 0, b = w - 1; a < b; ++a, --b) {
          std::swap_ranges(row + 3 * a, row + 3 * a + 3, row + 3 * b);
          std::swap(alphaRow[a], alphaRow[b]);
        }
      }
    }
    if (withAlpha) {
      uint8_t* ar = alpha->GetRowPointer(y);
      if (!ar) return Fail(iorNoMemory, "cannot reach the transparency");
      std::memcpy(ar, alphaRow.data(), static_cast<size_t>(w));
    }
  }
  progress_.RowsDone = static_cast<int32_t>(h);
  if (alpha) alpha->SyncFull();
}

void TTGAReader::ConvertRow(const uint8_t* f, uint8_t* row, uint8_t* alphaRow) const {
  const int64_t w = h_.width;
  switch (h_.depth) {
    case 1: std::memcpy(row, f, static_cast<size_t>((w + 7) / 8)); break;
    case 4:
      for (int64_t x = 0; x < w; ++x, row += 3) {
        const TBGR c = pal_[(x & 1) ? (f[x >> 1] & 0x0F) : (f[x >> 1] >> 4)];
        row[0] = c.b, row[1] = c.g, row[2] = c.r;
      }
      break;
    case 8:
      for (int64_t x = 0; x < w; ++x, row += 3) {
        const TBGR c = pal_[f[x]];
        row[0] = c.b, row[1] = c.g, row[2] = c.r;
      }
      break;
    case 16:
      if (GreyAlpha()) {
        for (int64_t x = 0; x < w; ++x, row += 3) {
          row[0] = row[1] = row[2] = f[2 * x];
          alphaRow[x] = f[2 * x + 1];
        }
        break;
      }
      for (int64_t x = 0; x < w; ++x, row += 3) {
        const TBGR c = From555(GetLE16(f + 2 * x));
        row[0] = c.b, row[1] = c.g, row[2] = c.r;
      }
      break;
    default:  // 32 bits (24-bit rows are read in place)
      for (int64_t x = 0; x < w; ++x, row += 3, f += 4) {
        row[0] = f[0], row[1] = f[1], row[2] = f[2];
        alphaRow[x] = f[3];
      }
      break;
  }
}

// ---------------------------------------------------------------- writing

// A ratio as 16-bit numerator and denominator: 10000 as denominator while
// the numerator fits, fewer decimals for larger ratios.
void PutRatio(uint8_t* p, double value) {
  uint32_t num = 0, den = 0;
  if (std::isfinite(value) && value > 0) {
    den = 10000;
    while (den > 1 && value * den > 65535) den /= 10;
    num = static_cast<uint32_t>(std::min(65535.0, std::trunc(value * den)));
    if (num == 0) den = 0;
  }
  PutLE16(p, num);
  PutLE16(p + 2, den);
}

void PutDate(uint8_t* p, double stamp) {
  using namespace std::chrono;
  // Years 1..9999 only; anything else is written as no date.
  if (!std::isfinite(stamp) || stamp < -693593 || stamp > 2958465) return;
  const double whole = std::floor(stamp);
  const year_month_day ymd{sys_days{days{static_cast<int64_t>(whole) - kDaysTo1970}}};
  const int32_t secs = std::clamp(static_cast<int32_t>(RoundHalfEven((stamp - whole) * 86400)), 0, 86399);
  PutLE16(p, static_cast<unsigned>(ymd.month()));
  PutLE16(p + 2, static_cast<unsigned>(ymd.day()));
  PutLE16(p + 4, static_cast<uint32_t>(static_cast<int>(ymd.year())));
  PutLE16(p + 6, static_cast<uint32_t>(secs / 3600));
  PutLE16(p + 8, static_cast<uint32_t>(secs / 60 % 60));
  PutLE16(p + 10, static_cast<uint32_t>(secs % 60));
}

void PutText(uint8_t* p, const std::string& text) { std::memcpy(p, text.data(), std::min<size_t>(text.size(), 40)); }

void WriteTGA(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, TPXMask* mask) {
  const int64_t w = bitmap.Width(), h = bitmap.Height();
  if (w <= 0 || h <= 0 || bitmap.PixelFormat() == pxNone) {
    progress.Fail(iorFailed, "TGA: there is no image to write");
    return;
  }
  if (w > 65535 || h > 65535) {
    progress.Fail(iorTooLarge, "TGA: a side above 65535 pixels cannot be described");
    return;
  }
  const bool useMask = mask && mask->Width() == w && mask->Height() == h && mask->BitsPerPixel() == 8 && !mask->Full;
  int depth = 24;
  if (params.SamplesPerPixel == 1) depth = params.BitsPerSample == 1 ? 1 : params.BitsPerSample == 4 ? 4 : 8;
  else if (useMask) depth = 32;
  const bool grey = depth == 8 && params.TGAGrayLevel != 0;
  const bool rle = params.TGACompressed != 0 && (depth == 8 || depth == 24);

  std::unique_ptr<TPXBitmap> work;
  TPXBitmap* rows = &bitmap;
  TBGR c0{}, c1{};
  std::vector<TBGR> palette;
  TPXQuantizer quant;
  if (depth == 1) {
    rows = &OneBitRows(bitmap, work, c0, c1);
  } else {
    if (bitmap.PixelFormat() != pxBGR24) {
      work = ConvertedCopy(bitmap, pxBGR24);
      rows = work.get();
    }
    if ((depth == 4 || depth == 8) && !grey) {
      palette.assign(size_t{1} << depth, TBGR{});
      quant.Init(*rows, std::span<TBGR>(palette), static_cast<int32_t>(palette.size()));
      params.SetPalette(palette.data(), static_cast<int32_t>(palette.size()));
    }
  }
  const bool mapped = !palette.empty();
  const std::string id = params.TGADescriptor.substr(0, 254);

  uint8_t hb[kHeaderSize] = {};
  hb[0] = static_cast<uint8_t>(id.size() + 1);
  hb[1] = mapped ? 1 : 0;
  hb[2] = static_cast<uint8_t>((depth == 1 || grey ? 3 : mapped ? 1 : 2) + (rle ? 8 : 0));
  if (mapped) {
    PutLE16(hb + 5, static_cast<uint32_t>(palette.size()));
    hb[7] = 24;
  }
  PutLE16(hb + 8, static_cast<uint32_t>(params.TGAXPos));
  PutLE16(hb + 10, static_cast<uint32_t>(params.TGAYPos));
  PutLE16(hb + 12, static_cast<uint32_t>(w));
  PutLE16(hb + 14, static_cast<uint32_t>(h));
  hb[16] = static_cast<uint8_t>(depth);
  hb[17] = depth == 32 ? 0x28 : 0x20;
  const int64_t start = stream.Position();
  TPXFilterOut out(stream, progress);
  if (!out.Put(hb, kHeaderSize) || !out.Put(id.c_str(), static_cast<int64_t>(id.size()) + 1)) return;
  if (mapped) {
    std::vector<uint8_t> map(palette.size() * 3);
    for (size_t i = 0; i < palette.size(); ++i)
      map[3 * i] = palette[i].b, map[3 * i + 1] = palette[i].g, map[3 * i + 2] = palette[i].r;
    if (!out.Put(map.data(), static_cast<int64_t>(map.size()))) return;
  }

  const int32_t pixelBytes = depth >= 8 ? depth / 8 : 1;
  const int64_t rowBytes = depth == 1 ? (w + 7) / 8 : depth == 4 ? (w + 1) / 2 : w * pixelBytes;
  std::vector<uint8_t> buf(static_cast<size_t>(rowBytes)), index(static_cast<size_t>(w));
  std::vector<uint8_t> packed(rle ? static_cast<size_t>(w * (pixelBytes + 1)) : 0);
  progress.Start(h);
  for (int64_t y = 0; y < h; ++y) {
    if (!BeginFilterRow(progress, y)) return;
    const uint8_t* src = rows->Scanline(static_cast<int32_t>(y));
    if (!src) return progress.Fail(iorNoMemory, "TGA: cannot reach row " + std::to_string(y) + " of the image");
    const uint8_t* line = buf.data();
    switch (depth) {
      case 1:
        std::memcpy(buf.data(), src, static_cast<size_t>(rowBytes));
        if (w & 7) buf[rowBytes - 1] &= static_cast<uint8_t>(0xFF00 >> (w & 7));
        break;
      case 4:
        quant.MapRow(src, index.data(), static_cast<int32_t>(w));
        for (int64_t x = 0; x < w; x += 2)
          buf[x >> 1] = static_cast<uint8_t>((index[x] << 4) | (x + 1 < w ? (index[x + 1] & 0x0F) : 0));
        break;
      case 8:
        if (grey) ConvertColorHook().load()(src, pxcsBGR, buf.data(), &params, static_cast<int32_t>(w), pxcsGray8);
        else quant.MapRow(src, buf.data(), static_cast<int32_t>(w));
        break;
      case 24: line = src; break;
      default: {
        const uint8_t* a = mask->GetRowPointer(static_cast<int32_t>(y));
        if (!a) return progress.Fail(iorNoMemory, "TGA: cannot reach the transparency");
        for (int64_t x = 0; x < w; ++x)
          buf[4 * x] = src[3 * x], buf[4 * x + 1] = src[3 * x + 1], buf[4 * x + 2] = src[3 * x + 2],
                  buf[4 * x + 3] = a[x];
        break;
      }
    }
    if (rle) {
      const int32_t n = EncodeTGARow(line, static_cast<int32_t>(w), pixelBytes, packed.data());
      if (!out.Put(packed.data(), n)) return;
    } else if (!out.Put(line, rowBytes)) {
      return;
    }
  }
  progress.RowsDone = static_cast<int32_t>(h);

  uint8_t e[kExtensionSize] = {};
  PutLE16(e, kExtensionSize);
  PutText(e + 2, params.TGAAuthor);
  PutDate(e + 367, params.TGADate);
  PutText(e + 379, params.TGAImageName);
  e[471] = params.TGABackground.r;
  e[472] = params.TGABackground.g;
  e[473] = params.TGABackground.b;
  PutRatio(e + 474, params.TGAAspectRatio);
  PutRatio(e + 478, params.TGAGamma);
  const int64_t ext = stream.Position() - start;
  uint8_t f[kFooterSize] = {};
  PutLE32(f, static_cast<uint32_t>(ext));
  std::memcpy(f + 8, kSignature, sizeof kSignature);
  if (out.Put(e, kExtensionSize)) out.Put(f, kFooterSize);
}

// Run packets for 2 to 128 equal pixels, raw packets of at most 128 pixels
// each unlike the next.
template <int kBytes>
int32_t EncodePackets(const uint8_t* row, int32_t width, uint8_t* out) {
  auto same = [row](int32_t a, int32_t b) {
    for (int i = 0; i < kBytes; ++i)
      if (row[a * kBytes + i] != row[b * kBytes + i]) return false;
    return true;
  };
  uint8_t* o = out;
  for (int32_t i = 0; i < width;) {
    int32_t run = 1;
    while (run < 128 && i + run < width && same(i, i + run)) ++run;
    if (run >= 2) {
      *o++ = static_cast<uint8_t>(0x80 | (run - 1));
      std::memcpy(o, row + i * kBytes, kBytes);
      o += kBytes;
      i += run;
      continue;
    }
    const int32_t from = i;
    while (i < width && i - from < 128 && !(i + 1 < width && same(i, i + 1))) ++i;
    const int32_t n = i - from;
    *o++ = static_cast<uint8_t>(n - 1);
    std::memcpy(o, row + from * kBytes, static_cast<size_t>(n) * kBytes);
    o += n * kBytes;
  }
  return static_cast<int32_t>(o - out);
}

}  // namespace

// ---------------------------------------------------------------------------

int32_t EncodeTGARow(const uint8_t* row, int32_t width, int32_t pixelBytes, uint8_t* out) {
  switch (pixelBytes) {
    case 1: return EncodePackets<1>(row, width, out);
    case 2: return EncodePackets<2>(row, width, out);
    case 3: return EncodePackets<3>(row, width, out);
    default: return EncodePackets<4>(row, width, out);
  }
}

bool IsTGAStream(TStream& stream) {
  const int64_t start = stream.Position();
  uint8_t b[kHeaderSize];
  bool ok = false;
  try {
    if (stream.ReadExact(b, kHeaderSize)) {
      const bool anymap = b[0] == 'P' && b[1] >= '2' && b[1] <= '6' && (b[2] == ' ' || b[2] == '#' || b[2] == '\n');
      ok = !anymap && HeaderKnown(ParseHeader(b));
    }
  } catch (const EStreamError&) {
    ok = false;
  }
  stream.SetPosition(start);
  return ok;
}

void ReadTGAStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
                   std::unique_ptr<TPXMask>& mask, bool noMask) {
  RunFilter(
      progress, [&] { TTGAReader(stream, bitmap, params, progress).Read(paramsOnly, noMask ? nullptr : &mask); },
      "TGA");
}

void WriteTGAStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXMask* mask) {
  RunFilter(
      progress, [&] { WriteTGA(stream, bitmap, params, progress, mask); }, "TGA");
}

void TGAFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
                   int64_t /*dataLength*/, TPXBitmap& alpha) {
  // The I/O component takes the transparency as an alpha bitmap.
  std::unique_ptr<TPXMask> mask;
  ReadTGAStream(stream, bitmap, params, progress, paramsOnly, mask, false);
  if (!progress.Aborted() && mask && mask->Width() > 0 && !MaskToAlphaBitmap(*mask, alpha))
    progress.Fail(iorNoMemory, "TGA: no storage for the transparency");
}

void TGAFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXBitmap* alpha) {
  // The I/O component hands the transparency over as an alpha bitmap.
  TPXMask mask;
  const bool withMask = alpha && alpha->Width() > 0 && AlphaBitmapToMask(*alpha, mask);
  WriteTGAStream(stream, bitmap, params, progress, withMask ? &mask : nullptr);
}

}  // namespace pixoran
