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
#include "io/tiffilt.h"
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

// The TIFF structure the TIFF writer builds from the EXIF fields with no
// bitmap, and (with thumbnail bytes) a second directory holding them.
std::vector<uint8_t> BuildBlock(const TIOParamsVals& r, const std::vector<uint8_t>* thumbnail) {
  TIOParamsVals scratch;
  CopyEXIFFields(r, scratch);
  scratch.HasEXIFData = 1;
  TMemoryStream ms;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  WriteTIFFStream(ms, false, nullptr, progress, scratch);
  if (aborting) return {};
  if (thumbnail) {
    ms.SetPosition(0);
    if (!AppendTIFFJPEGThumbnail(ms, *thumbnail, r.EXIFXResolution > 0 ? r.EXIFXResolution : 72.0,
                                 r.EXIFYResolution > 0 ? r.EXIFYResolution : 72.0,
                                 r.EXIFResolutionUnit != 0 ? r.EXIFResolutionUnit : 2))
      return {};
  }
  return std::move(ms.Bytes());
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
