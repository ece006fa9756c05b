#include "io/pxexif.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "io/jpegfilt.h"
#include "io/pixoranio_params.h"
#include "io/pxmetadata.h"
#include "io/pxprogress.h"
#include "io/pxtiffview.h"
#include "platform/streams.h"

namespace pixoran {

namespace {

constexpr uint8_t kAPP1 = 0xE1;
constexpr uint8_t kAPP13 = 0xED;
constexpr size_t kExifHeaderSize = 6;  // "Exif", 0, 0

// A thumbnail's pixel count is not bounded by its bytes (a flat JPEG of any
// declared size fits in a few hundred), so it is bounded here.
constexpr int64_t kMaxThumbnailPixels = int64_t{1} << 22;

// ---------------------------------------------------------------- tags

enum : uint16_t {
  tagImageWidth = 0x0100,
  tagImageLength = 0x0101,
  tagBitsPerSample = 0x0102,
  tagCompression = 0x0103,
  tagPhotometric = 0x0106,
  tagImageDescription = 0x010E,
  tagMake = 0x010F,
  tagModel = 0x0110,
  tagStripOffsets = 0x0111,
  tagOrientation = 0x0112,
  tagSamplesPerPixel = 0x0115,
  tagRowsPerStrip = 0x0116,
  tagStripByteCounts = 0x0117,
  tagXResolution = 0x011A,
  tagYResolution = 0x011B,
  tagPlanarConfig = 0x011C,
  tagResolutionUnit = 0x0128,
  tagSoftware = 0x0131,
  tagDateTime = 0x0132,
  tagWhitePoint = 0x013E,
  tagPrimaryChromaticities = 0x013F,
  tagJPEGInterchangeFormat = 0x0201,
  tagJPEGInterchangeFormatLength = 0x0202,
  tagYCbCrCoefficients = 0x0211,
  tagYCbCrPositioning = 0x0213,
  tagReferenceBlackWhite = 0x0214,
  tagCopyright = 0x8298,
  tagExposureTime = 0x829A,
  tagFNumber = 0x829D,
  tagExifIFD = 0x8769,
  tagExposureProgram = 0x8822,
  tagISOSpeedRatings = 0x8827,
  tagExifVersion = 0x9000,
  tagDateTimeOriginal = 0x9003,
  tagDateTimeDigitized = 0x9004,
  tagCompressedBitsPerPixel = 0x9102,
  tagShutterSpeedValue = 0x9201,
  tagApertureValue = 0x9202,
  tagBrightnessValue = 0x9203,
  tagExposureBiasValue = 0x9204,
  tagMaxApertureValue = 0x9205,
  tagSubjectDistance = 0x9206,
  tagMeteringMode = 0x9207,
  tagLightSource = 0x9208,
  tagFlash = 0x9209,
  tagFocalLength = 0x920A,
  tagUserComment = 0x9286,
  tagSubsecTime = 0x9290,
  tagSubsecTimeOriginal = 0x9291,
  tagSubsecTimeDigitized = 0x9292,
  tagFlashPixVersion = 0xA000,
  tagColorSpace = 0xA001,
  tagPixelXDimension = 0xA002,
  tagPixelYDimension = 0xA003,
  tagRelatedSoundFile = 0xA004,
  tagFocalPlaneXResolution = 0xA20E,
  tagFocalPlaneYResolution = 0xA20F,
  tagFocalPlaneResolutionUnit = 0xA210,
  tagExposureIndex = 0xA215,
  tagSensingMethod = 0xA217,
  tagFileSource = 0xA300,
  tagSceneType = 0xA301,
};


// The TIFF structure of a block is read through TPXTiffView (pxtiffview.h).
using TEntry = TPXTiffEntry;
using TTiffView = TPXTiffView;
inline size_t TypeSize(uint16_t type) { return TIFFTypeSize(type); }

int32_t ToInt32(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

const TEntry* FindEntry(const std::vector<TEntry>& entries, uint16_t tag) {
  for (const auto& e : entries)
    if (e.Tag == tag) return &e;
  return nullptr;
}

template <size_t N>
void ReadArray(const TTiffView& v, const TEntry& e, std::array<double, N>& out) {
  for (uint32_t i = 0; i < N && i < e.Count; ++i) out[i] = v.Number(e, i);
}

// Drops the zero bytes and blanks that pad a character code or comment.
std::string TrimPadding(std::string s) {
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

void ReadEXIFFirstIFDTags(const TPXTiffView& v, const std::vector<TPXTiffEntry>& entries, TIOParamsVals& r) {
  for (const TEntry& e : entries) {
    switch (e.Tag) {
      case tagImageDescription: r.EXIFImageDescription = v.Text(e); break;
      case tagMake: r.EXIFMake = v.Text(e); break;
      case tagModel: r.EXIFModel = v.Text(e); break;
      case tagOrientation: r.EXIFOrientation = ToInt32(v.Int(e)); break;
      case tagXResolution: r.EXIFXResolution = v.Number(e); break;
      case tagYResolution: r.EXIFYResolution = v.Number(e); break;
      case tagResolutionUnit: r.EXIFResolutionUnit = ToInt32(v.Int(e)); break;
      case tagSoftware: r.EXIFSoftware = v.Text(e); break;
      case tagDateTime: r.EXIFDateTime = v.Text(e); break;
      case tagWhitePoint: ReadArray(v, e, r.EXIFWhitePoint); break;
      case tagPrimaryChromaticities: ReadArray(v, e, r.EXIFPrimaryChromaticities); break;
      case tagYCbCrCoefficients: ReadArray(v, e, r.EXIFYCbCrCoefficients); break;
      case tagYCbCrPositioning: r.EXIFYCbCrPositioning = ToInt32(v.Int(e)); break;
      case tagReferenceBlackWhite: ReadArray(v, e, r.EXIFReferenceBlackWhite); break;
      case tagCopyright: r.EXIFCopyright = v.Text(e); break;
      default: break;
    }
  }
}

void ReadEXIFSubIFDTags(const TPXTiffView& v, const std::vector<TPXTiffEntry>& entries, TIOParamsVals& r) {
  for (const TEntry& e : entries) {
    switch (e.Tag) {
      case tagExposureTime: r.EXIFExposureTime = v.Number(e); break;
      case tagFNumber: r.EXIFFNumber = v.Number(e); break;
      case tagExposureProgram: r.EXIFExposureProgram = ToInt32(v.Int(e)); break;
      case tagISOSpeedRatings:
        for (uint32_t i = 0; i < 2 && i < e.Count; ++i) r.EXIFISOSpeedRatings[i] = ToInt32(v.Int(e, i));
        break;
      case tagExifVersion: r.EXIFVersion = v.Text(e); break;
      case tagDateTimeOriginal: r.EXIFDateTimeOriginal = v.Text(e); break;
      case tagDateTimeDigitized: r.EXIFDateTimeDigitized = v.Text(e); break;
      case tagCompressedBitsPerPixel: r.EXIFCompressedBitsPerPixel = v.Number(e); break;
      case tagShutterSpeedValue: r.EXIFShutterSpeedValue = v.Number(e); break;
      case tagApertureValue: r.EXIFApertureValue = v.Number(e); break;
      case tagBrightnessValue: r.EXIFBrightnessValue = v.Number(e); break;
      case tagExposureBiasValue: r.EXIFExposureBiasValue = v.Number(e); break;
      case tagMaxApertureValue: r.EXIFMaxApertureValue = v.Number(e); break;
      case tagSubjectDistance: r.EXIFSubjectDistance = v.Number(e); break;
      case tagMeteringMode: r.EXIFMeteringMode = ToInt32(v.Int(e)); break;
      case tagLightSource: r.EXIFLightSource = ToInt32(v.Int(e)); break;
      case tagFlash: r.EXIFFlash = ToInt32(v.Int(e)); break;
      case tagFocalLength: r.EXIFFocalLength = v.Number(e); break;
      case tagUserComment: {
        // An 8-byte character code ("ASCII", "UNICODE", "JIS" or zeros), then the text.
        const std::string all = v.Bytes(e);
        r.EXIFUserCommentCode = TrimPadding(all.substr(0, std::min<size_t>(8, all.size())));
        r.EXIFUserComment = all.size() > 8 ? TrimPadding(all.substr(8)) : std::string();
        break;
      }
      case tagSubsecTime: r.EXIFSubsecTime = v.Text(e); break;
      case tagSubsecTimeOriginal: r.EXIFSubsecTimeOriginal = v.Text(e); break;
      case tagSubsecTimeDigitized: r.EXIFSubsecTimeDigitized = v.Text(e); break;
      case tagFlashPixVersion: r.EXIFFlashPixVersion = v.Text(e); break;
      case tagColorSpace: r.EXIFColorSpace = ToInt32(v.Int(e)); break;
      case tagPixelXDimension: r.EXIFImageWidth = ToInt32(v.Int(e)); break;
      case tagPixelYDimension: r.EXIFImageHeight = ToInt32(v.Int(e)); break;
      case tagRelatedSoundFile: r.EXIFRelatedSoundFile = v.Text(e); break;
      case tagFocalPlaneXResolution: r.EXIFFocalPlaneXResolution = v.Number(e); break;
      case tagFocalPlaneYResolution: r.EXIFFocalPlaneYResolution = v.Number(e); break;
      case tagFocalPlaneResolutionUnit: r.EXIFFocalPlaneResolutionUnit = ToInt32(v.Int(e)); break;
      case tagExposureIndex: r.EXIFExposureIndex = v.Number(e); break;
      case tagSensingMethod: r.EXIFSensingMethod = ToInt32(v.Int(e)); break;
      case tagFileSource: r.EXIFFileSource = ToInt32(v.Int(e)); break;
      case tagSceneType: r.EXIFSceneType = ToInt32(v.Int(e)); break;
      default: break;
    }
  }
}

namespace {

// A JPEG thumbnail: its declared size is checked before any pixel storage
// is asked for.
std::unique_ptr<TPXBitmap> DecodeJPEGThumbnail(const uint8_t* data, size_t size) {
  TReadOnlyMemoryStream ms(data, static_cast<int64_t>(size));
  TIOParamsVals scratch;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  auto bitmap = std::make_unique<TPXBitmap>();
  ReadJPEGStream(ms, nullptr, *bitmap, scratch, progress, true);
  const int64_t w = scratch.JPEGOriginalWidth, h = scratch.JPEGOriginalHeight;
  if (aborting || w <= 0 || h <= 0 || w * h > kMaxThumbnailPixels) return nullptr;
  ms.SetPosition(0);
  ReadJPEGStream(ms, nullptr, *bitmap, scratch, progress, false);
  if (aborting || bitmap->Width() <= 0 || bitmap->Height() <= 0) return nullptr;
  return bitmap;
}

// Uncompressed 8-bit chunky RGB or grey strips, as pxBGR24.
std::unique_ptr<TPXBitmap> DecodeStripThumbnail(const TTiffView& v, const std::vector<TEntry>& entries) {
  const TEntry* w = FindEntry(entries, tagImageWidth);
  const TEntry* h = FindEntry(entries, tagImageLength);
  const TEntry* offsets = FindEntry(entries, tagStripOffsets);
  if (!w || !h || !offsets) return nullptr;
  const int64_t width = v.Int(*w), height = v.Int(*h);
  if (width <= 0 || height <= 0 || width * height > kMaxThumbnailPixels) return nullptr;
  const TEntry* spp = FindEntry(entries, tagSamplesPerPixel);
  const TEntry* photo = FindEntry(entries, tagPhotometric);
  const TEntry* planar = FindEntry(entries, tagPlanarConfig);
  const TEntry* bps = FindEntry(entries, tagBitsPerSample);
  const TEntry* rps = FindEntry(entries, tagRowsPerStrip);
  const TEntry* counts = FindEntry(entries, tagStripByteCounts);
  const int64_t samples = spp ? v.Int(*spp) : 1;
  const int64_t photometric = photo ? v.Int(*photo) : -1;
  if (planar && v.Int(*planar) != 1) return nullptr;
  if (bps)
    for (uint32_t i = 0; i < bps->Count && i < samples; ++i)
      if (v.Int(*bps, i) != 8) return nullptr;
  const bool rgb = samples == 3 && photometric == 2;
  const bool grey = samples == 1 && (photometric == 0 || photometric == 1);
  if (!rgb && !grey) return nullptr;
  const int64_t rowsPerStrip = rps && v.Int(*rps) > 0 ? std::min(v.Int(*rps), height) : height;
  const int64_t rowBytes = width * samples;
  const int64_t strips = (height + rowsPerStrip - 1) / rowsPerStrip;
  if (strips > offsets->Count) return nullptr;

  auto bitmap = std::make_unique<TPXBitmap>();
  if (!bitmap->Allocate(static_cast<int32_t>(width), static_cast<int32_t>(height), pxBGR24)) return nullptr;
  for (int64_t s = 0; s < strips; ++s) {
    const int64_t firstRow = s * rowsPerStrip;
    const int64_t rows = std::min(rowsPerStrip, height - firstRow);
    const auto at = static_cast<size_t>(v.Int(*offsets, static_cast<uint32_t>(s)));
    const auto need = static_cast<size_t>(rows * rowBytes);
    // The strip must hold its rows, both by its own count and in the block.
    if (counts && s < counts->Count && v.Int(*counts, static_cast<uint32_t>(s)) < static_cast<int64_t>(need))
      return nullptr;
    if (!v.Has(at, need)) return nullptr;
    const uint8_t* src = v.Data() + at;
    for (int64_t r = 0; r < rows; ++r, src += rowBytes) {
      uint8_t* d = bitmap->Scanline(static_cast<int32_t>(firstRow + r));
      if (!d) return nullptr;
      if (rgb) {
        for (int64_t x = 0; x < width; ++x, d += 3) d[0] = src[x * 3 + 2], d[1] = src[x * 3 + 1], d[2] = src[x * 3];
      } else {
        const uint8_t flip = photometric == 0 ? 0xFF : 0x00;  // 0: white is zero
        for (int64_t x = 0; x < width; ++x, d += 3) d[0] = d[1] = d[2] = static_cast<uint8_t>(src[x] ^ flip);
      }
    }
  }
  return bitmap;
}

std::unique_ptr<TPXBitmap> ReadThumbnail(const TTiffView& v, const std::vector<TEntry>& entries) {
  const TEntry* jpegAt = FindEntry(entries, tagJPEGInterchangeFormat);
  const TEntry* jpegLength = FindEntry(entries, tagJPEGInterchangeFormatLength);
  const TEntry* compression = FindEntry(entries, tagCompression);
  if (jpegAt && jpegLength) {
    const int64_t at = v.Int(*jpegAt), length = v.Int(*jpegLength);
    if (at <= 0 || length <= 0 || static_cast<uint64_t>(at) >= v.Size()) return nullptr;
    // A length past the block's end reads what is there: the decoder ends a
    // cut stream by itself.
    const size_t n = std::min<size_t>(static_cast<size_t>(length), v.Size() - static_cast<size_t>(at));
    return DecodeJPEGThumbnail(v.Data() + at, n);
  }
  if (!compression || v.Int(*compression) == 1) return DecodeStripThumbnail(v, entries);
  return nullptr;
}

// ---------------------------------------------------------------- writing

// v as a fraction: the last convergent of its continued fraction whose
// numerator and denominator stay within limit, so values such as 1/125 or
// 2.8 come back exactly. v is clamped to [0, limit].
std::pair<uint32_t, uint32_t> ToFraction(double v, uint32_t limit) {
  if (!std::isfinite(v) || v <= 0) return {0, 1};
  if (v >= limit) return {limit, 1};
  unsigned __int128 h0 = 0, h1 = 1, k0 = 1, k1 = 0;
  double x = v;
  for (int i = 0; i < 64; ++i) {
    const double a = std::floor(x);
    if (a > limit) break;
    const auto ai = static_cast<unsigned __int128>(a);
    const unsigned __int128 h2 = ai * h1 + h0, k2 = ai * k1 + k0;
    if (h2 > limit || k2 > limit) break;
    h0 = h1, h1 = h2, k0 = k1, k1 = k2;
    if (static_cast<double>(h1) / static_cast<double>(k1) == v) break;
    const double frac = x - a;
    if (frac <= 0) break;
    x = 1.0 / frac;
  }
  if (k1 == 0) return {0, 1};
  return {static_cast<uint32_t>(h1), static_cast<uint32_t>(k1)};
}

// A directory being built: entries with their values as little-endian bytes.
class TIFDBuilder {
 public:
  void Short(uint16_t tag, std::initializer_list<int64_t> values) {
    std::vector<uint8_t> b;
    for (int64_t v : values) Put16(b, static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 65535)));
    Add(tag, ttShort, static_cast<uint32_t>(values.size()), std::move(b));
  }
  void Long(uint16_t tag, int64_t value) {
    std::vector<uint8_t> b;
    Put32(b, static_cast<uint32_t>(std::clamp<int64_t>(value, 0, UINT32_MAX)));
    Add(tag, ttLong, 1, std::move(b));
  }
  void Rational(uint16_t tag, const double* values, size_t count) {
    std::vector<uint8_t> b;
    for (size_t i = 0; i < count; ++i) {
      const auto [n, d] = ToFraction(values[i], UINT32_MAX);
      Put32(b, n);
      Put32(b, d);
    }
    Add(tag, ttRational, static_cast<uint32_t>(count), std::move(b));
  }
  void SRational(uint16_t tag, double value) {
    const bool negative = value < 0;
    auto [n, d] = ToFraction(negative ? -value : value, INT32_MAX);
    std::vector<uint8_t> b;
    Put32(b, negative ? static_cast<uint32_t>(-static_cast<int64_t>(n)) : n);
    Put32(b, d);
    Add(tag, ttSRational, 1, std::move(b));
  }
  void Ascii(uint16_t tag, const std::string& text) {
    std::vector<uint8_t> b(text.begin(), text.end());
    b.push_back(0);
    const auto count = static_cast<uint32_t>(b.size());
    Add(tag, ttAscii, count, std::move(b));
  }
  void Undefined(uint16_t tag, std::vector<uint8_t> bytes) {
    const auto count = static_cast<uint32_t>(bytes.size());
    Add(tag, ttUndefined, count, std::move(bytes));
  }

  bool Empty() const { return entries_.empty(); }

  // Directory plus its out-of-line values, each started on an even offset.
  size_t Size() const {
    size_t n = 2 + entries_.size() * 12 + 4;
    for (const auto& e : entries_)
      if (e.Bytes.size() > 4) n += e.Bytes.size() + (e.Bytes.size() & 1);
    return n;
  }

  // Sets the value of a LONG entry added before (an offset known only now).
  void Patch(uint16_t tag, uint32_t value) {
    for (auto& e : entries_)
      if (e.Tag == tag) {
        e.Bytes.clear();
        Put32(e.Bytes, value);
      }
  }

  // Appends the directory, which starts at out.size(), with entries sorted by tag.
  void Write(std::vector<uint8_t>& out, uint32_t next) {
    std::stable_sort(entries_.begin(), entries_.end(), [](const TOut& a, const TOut& b) { return a.Tag < b.Tag; });
    const size_t base = out.size();
    size_t dataAt = base + 2 + entries_.size() * 12 + 4;
    std::vector<uint8_t> data;
    Put16(out, static_cast<uint16_t>(entries_.size()));
    for (const auto& e : entries_) {
      Put16(out, e.Tag);
      Put16(out, e.Type);
      Put32(out, e.Count);
      if (e.Bytes.size() <= 4) {
        out.insert(out.end(), e.Bytes.begin(), e.Bytes.end());
        out.resize(out.size() + 4 - e.Bytes.size(), 0);
      } else {
        Put32(out, static_cast<uint32_t>(dataAt + data.size()));
        data.insert(data.end(), e.Bytes.begin(), e.Bytes.end());
        if (data.size() & 1) data.push_back(0);
      }
    }
    Put32(out, next);
    out.insert(out.end(), data.begin(), data.end());
  }

 private:
  struct TOut {
    uint16_t Tag, Type;
    uint32_t Count;
    std::vector<uint8_t> Bytes;
  };
  static void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
  }
  static void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void Add(uint16_t tag, uint16_t type, uint32_t count, std::vector<uint8_t> bytes) {
    entries_.push_back(TOut{tag, type, count, std::move(bytes)});
  }
  std::vector<TOut> entries_;
};

template <size_t N>
bool AnyNonZero(const std::array<double, N>& a) {
  return std::any_of(a.begin(), a.end(), [](double v) { return v != 0; });
}

// A 4-byte version field ("0220").
std::vector<uint8_t> VersionBytes(const std::string& s) {
  std::vector<uint8_t> b(4, '0');
  for (size_t i = 0; i < 4 && i < s.size(); ++i) b[i] = static_cast<uint8_t>(s[i]);
  return b;
}

void BuildFirstIFD(const TIOParamsVals& r, TIFDBuilder& ifd) {
  if (!r.EXIFImageDescription.empty()) ifd.Ascii(tagImageDescription, r.EXIFImageDescription);
  if (!r.EXIFMake.empty()) ifd.Ascii(tagMake, r.EXIFMake);
  if (!r.EXIFModel.empty()) ifd.Ascii(tagModel, r.EXIFModel);
  if (r.EXIFOrientation != 0) ifd.Short(tagOrientation, {r.EXIFOrientation});
  if (r.EXIFXResolution != 0) ifd.Rational(tagXResolution, &r.EXIFXResolution, 1);
  if (r.EXIFYResolution != 0) ifd.Rational(tagYResolution, &r.EXIFYResolution, 1);
  if (r.EXIFResolutionUnit != 0) ifd.Short(tagResolutionUnit, {r.EXIFResolutionUnit});
  if (!r.EXIFSoftware.empty()) ifd.Ascii(tagSoftware, r.EXIFSoftware);
  if (!r.EXIFDateTime.empty()) ifd.Ascii(tagDateTime, r.EXIFDateTime);
  if (AnyNonZero(r.EXIFWhitePoint)) ifd.Rational(tagWhitePoint, r.EXIFWhitePoint.data(), 2);
  if (AnyNonZero(r.EXIFPrimaryChromaticities))
    ifd.Rational(tagPrimaryChromaticities, r.EXIFPrimaryChromaticities.data(), 6);
  if (AnyNonZero(r.EXIFYCbCrCoefficients)) ifd.Rational(tagYCbCrCoefficients, r.EXIFYCbCrCoefficients.data(), 3);
  if (r.EXIFYCbCrPositioning != 0) ifd.Short(tagYCbCrPositioning, {r.EXIFYCbCrPositioning});
  if (AnyNonZero(r.EXIFReferenceBlackWhite))
    ifd.Rational(tagReferenceBlackWhite, r.EXIFReferenceBlackWhite.data(), 6);
  if (!r.EXIFCopyright.empty()) ifd.Ascii(tagCopyright, r.EXIFCopyright);
  ifd.Long(tagExifIFD, 0);  // patched once the layout is known
}

void BuildExifIFD(const TIOParamsVals& r, TIFDBuilder& ifd) {
  auto rational = [&](uint16_t tag, double v) {
    if (v != 0) ifd.Rational(tag, &v, 1);
  };
  auto srational = [&](uint16_t tag, double v) {
    if (v != 0) ifd.SRational(tag, v);
  };
  auto shortValue = [&](uint16_t tag, int32_t v) {
    if (v != 0) ifd.Short(tag, {v});
  };
  auto ascii = [&](uint16_t tag, const std::string& s) {
    if (!s.empty()) ifd.Ascii(tag, s);
  };
  rational(tagExposureTime, r.EXIFExposureTime);
  rational(tagFNumber, r.EXIFFNumber);
  shortValue(tagExposureProgram, r.EXIFExposureProgram);
  if (r.EXIFISOSpeedRatings[1] != 0)
    ifd.Short(tagISOSpeedRatings, {r.EXIFISOSpeedRatings[0], r.EXIFISOSpeedRatings[1]});
  else
    shortValue(tagISOSpeedRatings, r.EXIFISOSpeedRatings[0]);
  // The version is what makes the directory an EXIF one.
  ifd.Undefined(tagExifVersion, VersionBytes(r.EXIFVersion.empty() ? std::string("0220") : r.EXIFVersion));
  ascii(tagDateTimeOriginal, r.EXIFDateTimeOriginal);
  ascii(tagDateTimeDigitized, r.EXIFDateTimeDigitized);
  rational(tagCompressedBitsPerPixel, r.EXIFCompressedBitsPerPixel);
  srational(tagShutterSpeedValue, r.EXIFShutterSpeedValue);
  rational(tagApertureValue, r.EXIFApertureValue);
  srational(tagBrightnessValue, r.EXIFBrightnessValue);
  srational(tagExposureBiasValue, r.EXIFExposureBiasValue);
  rational(tagMaxApertureValue, r.EXIFMaxApertureValue);
  rational(tagSubjectDistance, r.EXIFSubjectDistance);
  shortValue(tagMeteringMode, r.EXIFMeteringMode);
  shortValue(tagLightSource, r.EXIFLightSource);
  shortValue(tagFlash, r.EXIFFlash);
  rational(tagFocalLength, r.EXIFFocalLength);
  if (!r.EXIFUserComment.empty() || !r.EXIFUserCommentCode.empty()) {
    std::string code = r.EXIFUserCommentCode.empty() ? std::string("ASCII") : r.EXIFUserCommentCode;
    code.resize(8, '\0');
    std::vector<uint8_t> b(code.begin(), code.end());
    b.insert(b.end(), r.EXIFUserComment.begin(), r.EXIFUserComment.end());
    ifd.Undefined(tagUserComment, std::move(b));
  }
  ascii(tagSubsecTime, r.EXIFSubsecTime);
  ascii(tagSubsecTimeOriginal, r.EXIFSubsecTimeOriginal);
  ascii(tagSubsecTimeDigitized, r.EXIFSubsecTimeDigitized);
  if (!r.EXIFFlashPixVersion.empty()) ifd.Undefined(tagFlashPixVersion, VersionBytes(r.EXIFFlashPixVersion));
  shortValue(tagColorSpace, r.EXIFColorSpace);
  if (r.EXIFImageWidth != 0) ifd.Long(tagPixelXDimension, r.EXIFImageWidth);
  if (r.EXIFImageHeight != 0) ifd.Long(tagPixelYDimension, r.EXIFImageHeight);
  ascii(tagRelatedSoundFile, r.EXIFRelatedSoundFile);
  rational(tagFocalPlaneXResolution, r.EXIFFocalPlaneXResolution);
  rational(tagFocalPlaneYResolution, r.EXIFFocalPlaneYResolution);
  shortValue(tagFocalPlaneResolutionUnit, r.EXIFFocalPlaneResolutionUnit);
  rational(tagExposureIndex, r.EXIFExposureIndex);
  shortValue(tagSensingMethod, r.EXIFSensingMethod);
  if (r.EXIFFileSource != 0) ifd.Undefined(tagFileSource, {static_cast<uint8_t>(r.EXIFFileSource)});
  if (r.EXIFSceneType != 0) ifd.Undefined(tagSceneType, {static_cast<uint8_t>(r.EXIFSceneType)});
}

// The thumbnail as a JPEG without the codec's JFIF segment (an EXIF
// thumbnail carries none); false when the codec cannot take the bitmap.
bool EncodeThumbnail(TPXBitmap& bitmap, int32_t quality, std::vector<uint8_t>& out) {
  out.clear();
  TMemoryStream ms;
  TIOParamsVals scratch;
  scratch.JPEGQuality = quality;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  try {
    WriteJPEGStream(ms, bitmap, scratch, progress);
  } catch (...) {
    // A thumbnail the codec or the storage refuses is left out, not the image.
    return false;
  }
  const auto n = static_cast<size_t>(ms.Size());
  const uint8_t* p = ms.Memory();
  if (aborting || n < 4) return false;
  size_t skip = 0;
  if (p[2] == 0xFF && p[3] == 0xE0 && n >= 6) {
    const size_t segment = 2 + ((static_cast<size_t>(p[4]) << 8) | p[5]);
    if (segment <= n - 2) skip = segment;
  }
  out.reserve(n - skip);
  out.insert(out.end(), p, p + 2);  // start of image
  out.insert(out.end(), p + 2 + skip, p + n);
  return true;
}

// Header, first directory, EXIF directory and (with thumbnail bytes) the
// thumbnail directory and data.
std::vector<uint8_t> BuildBlock(const TIOParamsVals& r, const std::vector<uint8_t>* thumbnail) {
  TIFDBuilder first, exif, thumb;
  BuildFirstIFD(r, first);
  BuildExifIFD(r, exif);
  if (thumbnail) {
    thumb.Short(tagCompression, {6});
    const double xres = r.EXIFXResolution > 0 ? r.EXIFXResolution : 72.0;
    const double yres = r.EXIFYResolution > 0 ? r.EXIFYResolution : 72.0;
    thumb.Rational(tagXResolution, &xres, 1);
    thumb.Rational(tagYResolution, &yres, 1);
    thumb.Short(tagResolutionUnit, {r.EXIFResolutionUnit != 0 ? r.EXIFResolutionUnit : 2});
    thumb.Long(tagJPEGInterchangeFormat, 0);
    thumb.Long(tagJPEGInterchangeFormatLength, static_cast<int64_t>(thumbnail->size()));
  }
  const size_t firstAt = 8;
  const size_t exifAt = firstAt + first.Size();
  const size_t thumbAt = exifAt + exif.Size();
  const size_t dataAt = thumbAt + (thumbnail ? thumb.Size() : 0);
  const size_t total = dataAt + (thumbnail ? thumbnail->size() : 0);
  if (total > UINT32_MAX) return {};
  first.Patch(tagExifIFD, static_cast<uint32_t>(exifAt));
  if (thumbnail) thumb.Patch(tagJPEGInterchangeFormat, static_cast<uint32_t>(dataAt));

  std::vector<uint8_t> out = {'I', 'I', 42, 0, static_cast<uint8_t>(firstAt), 0, 0, 0};
  out.reserve(total);
  first.Write(out, thumbnail ? static_cast<uint32_t>(thumbAt) : 0);
  exif.Write(out, 0);
  if (thumbnail) {
    thumb.Write(out, 0);
    out.insert(out.end(), thumbnail->begin(), thumbnail->end());
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------- public

bool IsEXIFSegment(const void* data, int64_t length) {
  return data != nullptr && length >= 5 && std::memcmp(data, "Exif", 5) == 0;
}

bool LoadEXIFFromAPP1(const void* data, int64_t length, TIOParamsVals& params) {
  if (!IsEXIFSegment(data, length) || length < static_cast<int64_t>(kExifHeaderSize)) return false;
  TTiffView v(static_cast<const uint8_t*>(data) + kExifHeaderSize, static_cast<size_t>(length) - kExifHeaderSize);
  uint32_t firstAt = 0;
  std::vector<TEntry> first;
  uint32_t thumbAt = 0;
  // A directory inside the 8-byte header is no directory.
  if (!v.ReadHeader(firstAt) || firstAt < 8 || !v.ReadIFD(firstAt, first, thumbAt)) return false;

  // Fields the block lacks end empty; the resolutions then keep the image's.
  TIOParamsVals found;
  found.SetDpiX(params.DpiX);
  found.SetDpiY(params.DpiY);
  ReadEXIFFirstIFDTags(v, first, found);
  std::vector<TEntry> entries;
  uint32_t next = 0;
  const TEntry* exifPointer = FindEntry(first, tagExifIFD);
  const uint32_t exifAt = exifPointer ? static_cast<uint32_t>(v.Int(*exifPointer)) : 0;
  // Each directory is read once: a pointer back to one already read is no new data.
  if (exifAt != 0 && exifAt != firstAt && v.ReadIFD(exifAt, entries, next)) ReadEXIFSubIFDTags(v, entries, found);
  CopyEXIFFields(found, params);
  params.HasEXIFData = 1;

  // A fresh bitmap, so a block without a (readable) thumbnail never leaves
  // the one the record held for another image.
  params.EXIFThumbnail = std::make_unique<TPXBitmap>();
  if (thumbAt != 0 && thumbAt != firstAt && thumbAt != exifAt && v.ReadIFD(thumbAt, entries, next)) {
    try {
      if (auto thumbnail = ReadThumbnail(v, entries)) params.EXIFThumbnail = std::move(thumbnail);
    } catch (...) {
      // Pixel storage that cannot be had costs the thumbnail, not the block.
    }
  }
  return true;
}

bool SaveEXIFToAPP1(const TIOParamsVals& params, std::vector<uint8_t>& buffer) {
  buffer.clear();
  auto segment = [](const std::vector<uint8_t>& tiff) {
    std::vector<uint8_t> s = {'E', 'x', 'i', 'f', 0, 0};
    s.insert(s.end(), tiff.begin(), tiff.end());
    return s;
  };
  const std::vector<uint8_t> bare = BuildBlock(params, nullptr);
  if (bare.empty() || bare.size() + kExifHeaderSize > static_cast<size_t>(kPXMaxSegmentPayload)) return false;

  TPXBitmap* thumb = params.EXIFThumbnail.get();
  if (thumb != nullptr && thumb->Width() > 0 && thumb->Height() > 0 &&
      static_cast<int64_t>(thumb->Width()) * thumb->Height() <= kMaxThumbnailPixels) {
    std::vector<uint8_t> jpeg;
    for (int32_t quality : {85, 70, 55, 40, 25}) {
      if (!EncodeThumbnail(*thumb, quality, jpeg)) break;
      std::vector<uint8_t> full = BuildBlock(params, &jpeg);
      if (!full.empty() && full.size() + kExifHeaderSize <= static_cast<size_t>(kPXMaxSegmentPayload)) {
        buffer = segment(full);
        return true;
      }
    }
  }
  buffer = segment(bare);
  return true;
}

void CopyEXIFFields(const TIOParamsVals& s, TIOParamsVals& t) {
  if (&s == &t) return;
  t.EXIFImageDescription = s.EXIFImageDescription;
  t.EXIFMake = s.EXIFMake;
  t.EXIFModel = s.EXIFModel;
  t.EXIFOrientation = s.EXIFOrientation;
  t.SetEXIFXResolution(s.EXIFXResolution);
  t.SetEXIFYResolution(s.EXIFYResolution);
  t.EXIFResolutionUnit = s.EXIFResolutionUnit;
  t.EXIFSoftware = s.EXIFSoftware;
  t.EXIFDateTime = s.EXIFDateTime;
  t.EXIFWhitePoint = s.EXIFWhitePoint;
  t.EXIFPrimaryChromaticities = s.EXIFPrimaryChromaticities;
  t.EXIFYCbCrCoefficients = s.EXIFYCbCrCoefficients;
  t.EXIFYCbCrPositioning = s.EXIFYCbCrPositioning;
  t.EXIFReferenceBlackWhite = s.EXIFReferenceBlackWhite;
  t.EXIFCopyright = s.EXIFCopyright;
  t.EXIFExposureTime = s.EXIFExposureTime;
  t.EXIFFNumber = s.EXIFFNumber;
  t.EXIFExposureProgram = s.EXIFExposureProgram;
  t.EXIFISOSpeedRatings = s.EXIFISOSpeedRatings;
  t.EXIFVersion = s.EXIFVersion;
  t.EXIFDateTimeOriginal = s.EXIFDateTimeOriginal;
  t.EXIFDateTimeDigitized = s.EXIFDateTimeDigitized;
  t.EXIFCompressedBitsPerPixel = s.EXIFCompressedBitsPerPixel;
  t.EXIFShutterSpeedValue = s.EXIFShutterSpeedValue;
  t.EXIFApertureValue = s.EXIFApertureValue;
  t.EXIFBrightnessValue = s.EXIFBrightnessValue;
  t.EXIFExposureBiasValue = s.EXIFExposureBiasValue;
  t.EXIFMaxApertureValue = s.EXIFMaxApertureValue;
  t.EXIFSubjectDistance = s.EXIFSubjectDistance;
  t.EXIFMeteringMode = s.EXIFMeteringMode;
  t.EXIFLightSource = s.EXIFLightSource;
  t.EXIFFlash = s.EXIFFlash;
  t.EXIFFocalLength = s.EXIFFocalLength;
  t.EXIFSubsecTime = s.EXIFSubsecTime;
  t.EXIFSubsecTimeOriginal = s.EXIFSubsecTimeOriginal;
  t.EXIFSubsecTimeDigitized = s.EXIFSubsecTimeDigitized;
  t.EXIFFlashPixVersion = s.EXIFFlashPixVersion;
  t.EXIFColorSpace = s.EXIFColorSpace;
  t.EXIFImageWidth = s.EXIFImageWidth;
  t.EXIFImageHeight = s.EXIFImageHeight;
  t.EXIFRelatedSoundFile = s.EXIFRelatedSoundFile;
  t.EXIFFocalPlaneXResolution = s.EXIFFocalPlaneXResolution;
  t.EXIFFocalPlaneYResolution = s.EXIFFocalPlaneYResolution;
  t.EXIFFocalPlaneResolutionUnit = s.EXIFFocalPlaneResolutionUnit;
  t.EXIFExposureIndex = s.EXIFExposureIndex;
  t.EXIFSensingMethod = s.EXIFSensingMethod;
  t.EXIFFileSource = s.EXIFFileSource;
  t.EXIFSceneType = s.EXIFSceneType;
  t.EXIFUserComment = s.EXIFUserComment;
  t.EXIFUserCommentCode = s.EXIFUserCommentCode;
}

namespace {

// The APP13 segment that holds the IPTC datasets: the first one with any
// (a Photoshop block may come in several segments, not all with IPTC), else
// the first APP13 segment, else -1. list: where the datasets are read.
int32_t IPTCSegment(const TPXMarkerList& markers, TPXIPTCInfoList& list) {
  int32_t first = -1;
  for (int32_t i = 0; i < markers.Count(); ++i) {
    if (markers.MarkerType(i) != kAPP13) continue;
    if (first < 0) first = i;
    list.LoadFromBuffer(markers.MarkerData(i), markers.MarkerLength(i));
    if (list.Count() > 0) return i;
  }
  return first;
}

}  // namespace

void ReadJPEGMetadata(TIOParamsVals& params) {
  TPXMarkerList& markers = *params.JPEGMarkers;
  try {
    IPTCSegment(markers, *params.IPTCInfo);

    // EXIF: the first APP1 segment that reads as EXIF (an XMP one may come first).
    for (int32_t i = 0; i < markers.Count(); ++i) {
      if (markers.MarkerType(i) != kAPP1 ||
          !LoadEXIFFromAPP1(markers.MarkerData(i), markers.MarkerLength(i), params))
        continue;
      if (params.DpiX == 1 && params.DpiY == 1) {
        // Set directly: the EXIF fields keep the block's own values and unit.
        const double f = params.EXIFResolutionUnit == 3 ? 2.54 : 1.0;
        params.DpiX = TruncToInt32(params.EXIFXResolution * f);
        params.DpiY = TruncToInt32(params.EXIFYResolution * f);
      } else if (params.EXIFResolutionUnit == 3 && params.EXIFXResolution > 0 && params.EXIFYResolution > 0 &&
                 params.DpiX == TruncToInt32(params.EXIFXResolution) &&
                 params.DpiY == TruncToInt32(params.EXIFYResolution)) {
        // The block gave the image its resolution in dots per centimetre;
        // taken as dots per inch it would print 2.54 times too large.
        params.DpiX = RoundToInt32(params.EXIFXResolution * 2.54);
        params.DpiY = RoundToInt32(params.EXIFYResolution * 2.54);
      }
      // A block that gives 0 is a block without a resolution.
      if (params.DpiX < 1) params.SetDpiX(PXSettings().DefaultDpiX);
      if (params.DpiY < 1) params.SetDpiY(PXSettings().DefaultDpiY);
      break;
    }
  } catch (...) {
    // Metadata that cannot be read never fails the image it came with.
  }
}

bool WriteJPEGMetadata(TIOParamsVals& params) {
  TPXMarkerList& markers = *params.JPEGMarkers;
  TPXIPTCInfoList& iptc = *params.IPTCInfo;

  if (iptc.UserChanged || (iptc.Count() > 0 && markers.Count() == 0)) {
    std::vector<uint8_t> block;
    iptc.SaveToBuffer(block, true);
    // A block too large for one segment cannot be written: the save fails
    // rather than dropping the user's data.
    if (block.size() > static_cast<size_t>(kPXMaxSegmentPayload)) return false;
    TPXIPTCInfoList scratch;
    const int32_t at = IPTCSegment(markers, scratch);
    if (block.empty()) {
      if (at >= 0) markers.DeleteMarker(at);
    } else if (at >= 0) {
      markers.SetMarker(at, kAPP13, static_cast<int32_t>(block.size()), block.data());
    } else {
      markers.AddMarker(kAPP13, block.data(), static_cast<int32_t>(block.size()));
    }
  }

  // Only the block built from the record may reach the file: the EXIF
  // segments read with the image (and their thumbnails) are replaced or dropped.
  std::vector<uint8_t> exif;
  const bool haveBlock = params.HasEXIFData != 0 && SaveEXIFToAPP1(params, exif);
  bool placed = false;
  for (int32_t i = 0; i < markers.Count();) {
    if (markers.MarkerType(i) == kAPP1 && IsEXIFSegment(markers.MarkerData(i), markers.MarkerLength(i))) {
      if (haveBlock && !placed) {
        markers.SetMarker(i, kAPP1, static_cast<int32_t>(exif.size()), exif.data());
        placed = true;
        ++i;
      } else {
        markers.DeleteMarker(i);
      }
      continue;
    }
    ++i;
  }
  if (haveBlock && !placed) {
    // A new EXIF segment goes first, where readers look for it.
    TPXMarkerList rest;
    rest.Assign(&markers);
    markers.Clear();
    markers.AddMarker(kAPP1, exif.data(), static_cast<int32_t>(exif.size()));
    for (int32_t i = 0; i < rest.Count(); ++i)
      markers.AddMarker(rest.MarkerType(i), rest.MarkerData(i), rest.MarkerLength(i));
  }
  return true;
}

}  // namespace pixoran
