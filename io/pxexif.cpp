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
#include "io/formats/jpeg/jpegfilt.h"
#include "io/pixoranio_params.h"
#include "io/pxmetadata.h"
#include "core/pxprogress.h"
#include "io/formats/tiff/tiffilt.h"
#include "platform/streams.h"

namespace pixoran {

namespace {

constexpr uint8_t kAPP1 = 0xE1;
constexpr uint8_t kAPP13 = 0xED;
constexpr size_t kExifHeaderSize = 6;  // "Exif", 0, 0

// A thumbnail's pixel count is not bounded by its bytes (a flat JPEG of any
// declared size fits in a few hundred), so it is bounded here.
constexpr int64_t kMaxThumbnailPixels = int64_t{1} << 22;

// ---------------------------------------------------------------- writing

// The TIFF structure the TIFF writer builds from the EXIF fields with no
// bitmap: a first directory and the EXIF directory, no second (thumbnail)
// directory, so an edited image never carries its old thumbnail.
std::vector<uint8_t> BuildEXIFBlock(const TIOParamsVals& r) {
  TIOParamsVals scratch;
  CopyEXIFFields(r, scratch);
  scratch.HasEXIFData = 1;
  TMemoryStream ms;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  WriteTIFFStream(ms, false, nullptr, progress, scratch);
  if (aborting) return {};
  return std::move(ms.Bytes());
}

// An APP1 segment's data: the EXIF header, then the TIFF structure.
std::vector<uint8_t> EXIFSegment(const std::vector<uint8_t>& tiff) {
  std::vector<uint8_t> segment(kExifHeaderSize + tiff.size(), 0);
  std::memcpy(segment.data(), "Exif", 4);
  std::copy(tiff.begin(), tiff.end(), segment.begin() + kExifHeaderSize);
  return segment;
}

}  // namespace

// ---------------------------------------------------------------- public

bool IsEXIFSegment(const void* data, int64_t length) {
  return data != nullptr && length >= 5 && std::memcmp(data, "Exif", 5) == 0;
}

bool LoadEXIFFromAPP1(const void* data, int64_t length, TIOParamsVals& params, TPXIOResultRec* told) {
  if (!IsEXIFSegment(data, length) || length < static_cast<int64_t>(kExifHeaderSize)) return false;
  // The block is a TIFF structure: the TIFF reader reads it, its errors
  // staying in a flag of its own.
  TReadOnlyMemoryStream ms(static_cast<const uint8_t*>(data) + kExifHeaderSize,
                           length - static_cast<int64_t>(kExifHeaderSize));
  std::atomic<bool> failed{false};
  TPXIOResultRec why;
  TPXProgressRec progress;
  progress.Aborting = &failed;
  progress.Result = &why;
  TIOParamsVals found;
  auto thumbnail = std::make_unique<TPXBitmap>();
  int32_t pages = 0;
  found.TIFFImageIndex = 0;
  // The first directory holds tags only: they are read, no pixels.
  ReadTIFFStream(thumbnail.get(), ms, pages, false, true, true, nullptr, true, progress, &found);
  if (pages <= 0) return false;
  // Without resolution tags the image keeps its own resolution.
  if (found.EXIFXResolution <= 0) found.SetDpiX(params.DpiX);
  if (found.EXIFYResolution <= 0) found.SetDpiY(params.DpiY);
  if (!found.TIFFImageDescription.empty()) found.EXIFImageDescription = found.TIFFImageDescription;
  CopyEXIFFields(found, params);
  // The camera's orientation is the image's: TIFFOrientation follows it, so
  // a page written from this image carries it too.
  if (found.EXIFOrientation >= 1 && found.EXIFOrientation <= 8) params.SetEXIFOrientation(found.EXIFOrientation);
  params.HasEXIFData = 1;

  // A fresh bitmap, so a block without a (readable) thumbnail never leaves
  // the one the record held for another image.
  params.EXIFThumbnail = std::make_unique<TPXBitmap>();
  if (pages >= 2) {
    found.TIFFImageIndex = 1;
    failed = false;
    why.Reset();
    ms.SetPosition(0);
    ReadTIFFStream(thumbnail.get(), ms, pages, true, true, true, nullptr, false, progress, &found, 0,
                   kMaxThumbnailPixels);
    if (!failed && thumbnail->Width() > 0 && thumbnail->Height() > 0) params.EXIFThumbnail = std::move(thumbnail);
    // A thumbnail missing for want of memory or disk is not the block's damage.
    if (failed && told && (why.Kind == iorNoMemory || why.Kind == iorWriteFailed))
      told->Set(why.Kind, "EXIF thumbnail left out: " + why.Text);
  }
  return true;
}

bool SaveEXIFToAPP1(const TIOParamsVals& params, std::vector<uint8_t>& buffer) {
  buffer.clear();
  const std::vector<uint8_t> tiff = BuildEXIFBlock(params);
  if (tiff.empty() || tiff.size() + kExifHeaderSize > static_cast<size_t>(kPXMaxSegmentPayload)) return false;
  buffer = EXIFSegment(tiff);
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

void ReadJPEGMetadata(TIOParamsVals& params, TPXIOResultRec* told) {
  TPXMarkerList& markers = *params.JPEGMarkers;
  try {
    IPTCSegment(markers, *params.IPTCInfo);

    // EXIF: the first APP1 segment that reads as EXIF (an XMP one may come first).
    for (int32_t i = 0; i < markers.Count(); ++i) {
      if (markers.MarkerType(i) != kAPP1 ||
          !LoadEXIFFromAPP1(markers.MarkerData(i), markers.MarkerLength(i), params, told))
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

bool WriteJPEGMetadata(TIOParamsVals& params, std::string* why) {
  TPXMarkerList& markers = *params.JPEGMarkers;
  TPXIPTCInfoList& iptc = *params.IPTCInfo;
  auto refuse = [why](const char* what, size_t bytes) {
    if (why)
      *why = std::string(what) + " of " + std::to_string(bytes) + " bytes does not fit one segment of " +
             std::to_string(kPXMaxSegmentPayload);
    return false;
  };

  // Blocks too large for one segment cannot be written: the save fails,
  // with nothing changed, rather than dropping the user's data (or the
  // camera's block read with the image).
  std::vector<uint8_t> exif;
  if (params.HasEXIFData != 0) {
    const std::vector<uint8_t> tiff = BuildEXIFBlock(params);
    if (tiff.size() + kExifHeaderSize > static_cast<size_t>(kPXMaxSegmentPayload))
      return refuse("the EXIF block", tiff.size() + kExifHeaderSize);
    if (!tiff.empty()) exif = EXIFSegment(tiff);
  }
  const bool haveBlock = !exif.empty();

  if (iptc.UserChanged || (iptc.Count() > 0 && markers.Count() == 0)) {
    std::vector<uint8_t> block;
    iptc.SaveToBuffer(block, true);
    if (block.size() > static_cast<size_t>(kPXMaxSegmentPayload)) return refuse("the IPTC block", block.size());
    TPXIPTCInfoList scratch;
    const int32_t at = IPTCSegment(markers, scratch);
    // Other Photoshop resources of the segment stay; only a segment that
    // cannot be walked is replaced whole.
    std::vector<uint8_t> segment;
    if (at >= 0 &&
        ReplaceIPTCResource(markers.MarkerData(at), static_cast<size_t>(markers.MarkerLength(at)), block, segment)) {
      if (segment.size() > static_cast<size_t>(kPXMaxSegmentPayload))
        return refuse("the Photoshop segment with the IPTC block", segment.size());
      if (segment.size() <= sizeof "Photoshop 3.0") segment.clear();  // no resource left
    } else {
      segment = block;
    }
    if (segment.empty()) {
      if (at >= 0) markers.DeleteMarker(at);
    } else if (at >= 0) {
      markers.SetMarker(at, kAPP13, static_cast<int32_t>(segment.size()), segment.data());
    } else {
      markers.AddMarker(kAPP13, segment.data(), static_cast<int32_t>(segment.size()));
    }
  }

  // Without EXIF fields the APP1 segments stay as read, one the reader could
  // not take among them. With them, only the block built from the record
  // reaches the file: the EXIF segments read with the image (and their
  // thumbnails) are replaced or dropped.
  if (params.HasEXIFData == 0) return true;
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
