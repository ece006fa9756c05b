#pragma once
// What the TIFF reader's two files share: the tag table, the bounded stream, directories and the page context.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "io/pixoranio_params.h"
#include "platform/streams.h"

namespace pixoran::tiff_detail {

// One directory entry whose value bytes were gathered (Value: their offset).
struct PIXORAN_IO_EXPORT TPXTiffEntry {
  uint16_t Tag = 0;
  uint16_t Type = 0;
  uint32_t Count = 0;
  size_t Value = 0;  // offset of the value bytes in the block
};

// The values of a directory gathered in memory, in the file's byte order.
// Every accessor is given offsets the caller has checked.
class PIXORAN_IO_EXPORT TPXTiffView {
 public:
  TPXTiffView(const uint8_t* data, size_t size, bool bigEndian = false) : p_(data), n_(size), big_(bigEndian) {}

  bool Has(size_t offset, size_t length) const { return offset <= n_ && length <= n_ - offset; }
  size_t Size() const { return n_; }
  const uint8_t* Data() const { return p_; }

  uint16_t U16(size_t o) const {
    return big_ ? static_cast<uint16_t>((p_[o] << 8) | p_[o + 1]) : static_cast<uint16_t>(p_[o] | (p_[o + 1] << 8));
  }
  uint32_t U32(size_t o) const {
    const uint32_t a = p_[o], b = p_[o + 1], c = p_[o + 2], d = p_[o + 3];
    return big_ ? (a << 24) | (b << 16) | (c << 8) | d : a | (b << 8) | (c << 16) | (d << 24);
  }

  // Value i of an integer entry (0 for other types or i out of range).
  int64_t Int(const TPXTiffEntry& e, uint32_t i = 0) const;
  // Value i of a numeric entry; 0 for a zero denominator or anything not finite.
  double Number(const TPXTiffEntry& e, uint32_t i = 0) const;
  // The bytes of a text entry up to its first zero byte.
  std::string Text(const TPXTiffEntry& e) const;
  // All value bytes of a one-byte-per-value entry.
  std::string Bytes(const TPXTiffEntry& e) const;

 private:
  const uint8_t* p_;
  size_t n_;
  bool big_ = false;
};

// ---------------------------------------------------------------- tags

enum : uint16_t {
  tagNewSubfileType = 254,
  tagImageWidth = 256,
  tagImageLength = 257,
  tagBitsPerSample = 258,
  tagCompression = 259,
  tagPhotometric = 262,
  tagFillOrder = 266,
  tagDocumentName = 269,
  tagImageDescription = 270,
  tagMake = 271,
  tagModel = 272,
  tagStripOffsets = 273,
  tagOrientation = 274,
  tagSamplesPerPixel = 277,
  tagRowsPerStrip = 278,
  tagStripByteCounts = 279,
  tagXResolution = 282,
  tagYResolution = 283,
  tagPlanarConfig = 284,
  tagPageName = 285,
  tagXPosition = 286,
  tagYPosition = 287,
  tagT4Options = 292,
  tagT6Options = 293,
  tagResolutionUnit = 296,
  tagPageNumber = 297,
  tagTransferFunction = 301,
  tagSoftware = 305,
  tagDateTime = 306,
  tagPredictor = 317,
  tagWhitePoint = 318,
  tagPrimaryChromaticities = 319,
  tagColorMap = 320,
  tagTileWidth = 322,
  tagTileLength = 323,
  tagTileOffsets = 324,
  tagTileByteCounts = 325,
  tagInkSet = 332,
  tagNumberOfInks = 334,
  tagDotRange = 336,
  tagExtraSamples = 338,
  tagJPEGTables = 347,
  tagJPEGProc = 512,
  tagJPEGInterchangeFormat = 513,
  tagJPEGInterchangeFormatLength = 514,
  tagJPEGRestartInterval = 515,
  tagYCbCrCoefficients = 529,
  tagYCbCrSubSampling = 530,
  tagYCbCrPositioning = 531,
  tagReferenceBlackWhite = 532,
  tagImagingAnnotations = 32932,
  tagCopyright = 33432,
  tagIPTC = 33723,
  tagExifIFD = 34665,
  tagICCProfile = 34675,
  // The EXIF directory's.
  tagExposureTime = 33434,
  tagFNumber = 33437,
  tagExposureProgram = 34850,
  tagISOSpeedRatings = 34855,
  tagExifVersion = 36864,
  tagDateTimeOriginal = 36867,
  tagDateTimeDigitized = 36868,
  tagCompressedBitsPerPixel = 37122,
  tagShutterSpeedValue = 37377,
  tagApertureValue = 37378,
  tagBrightnessValue = 37379,
  tagExposureBiasValue = 37380,
  tagMaxApertureValue = 37381,
  tagSubjectDistance = 37382,
  tagMeteringMode = 37383,
  tagLightSource = 37384,
  tagFlash = 37385,
  tagFocalLength = 37386,
  tagUserComment = 37510,
  tagSubsecTime = 37520,
  tagSubsecTimeOriginal = 37521,
  tagSubsecTimeDigitized = 37522,
  tagFlashPixVersion = 40960,
  tagColorSpace = 40961,
  tagPixelXDimension = 40962,
  tagPixelYDimension = 40963,
  tagRelatedSoundFile = 40964,
  tagFocalPlaneXResolution = 41486,
  tagFocalPlaneYResolution = 41487,
  tagFocalPlaneResolutionUnit = 41488,
  tagExposureIndex = 41493,
  tagSensingMethod = 41495,
  tagFileSource = 41728,
  tagSceneType = 41729,
};

// The tags whose values are gathered from a page's directory.
PIXORAN_IO_EXPORT bool IsPageTag(uint16_t tag);

// ---------------------------------------------------------------- the stream

class PIXORAN_IO_EXPORT TSource {
 public:
  TSource(TStream& stream, int64_t base, int64_t size) : s_(stream), base_(base), size_(size) {}
  int64_t Size() const { return size_; }
  bool Big() const { return big_; }
  void SetBig(bool big) { big_ = big; }

  // Reads n bytes at offset (relative to the TIFF's start), all inside.
  bool Read(int64_t offset, void* buffer, int64_t n) {
    if (offset < 0 || n < 0 || offset > size_ || n > size_ - offset) return false;
    if (n == 0) return true;
    s_.SetPosition(base_ + offset);
    return s_.ReadExact(buffer, n);
  }
  uint16_t U16(const uint8_t* p) const {
    return big_ ? static_cast<uint16_t>((p[0] << 8) | p[1]) : static_cast<uint16_t>(p[0] | (p[1] << 8));
  }
  uint32_t U32(const uint8_t* p) const {
    const uint32_t a = p[0], b = p[1], c = p[2], d = p[3];
    return big_ ? (a << 24) | (b << 16) | (c << 8) | d : a | (b << 8) | (c << 16) | (d << 24);
  }

 private:
  TStream& s_;
  int64_t base_;
  int64_t size_;
  bool big_ = false;
};

// One directory with the value bytes of its entries gathered in memory, in
// the file's byte order.
struct PIXORAN_IO_EXPORT TDirectory {
  bool big = false;
  std::vector<uint8_t> values;
  std::vector<TPXTiffEntry> entries;

  TPXTiffView View() const { return TPXTiffView(values.data(), values.size(), big); }
  const TPXTiffEntry* Find(uint16_t tag) const {
    for (const auto& e : entries)
      if (e.Tag == tag) return &e;
    return nullptr;
  }
  int64_t Int(uint16_t tag, int64_t def, uint32_t i = 0) const {
    const TPXTiffEntry* e = Find(tag);
    return e && i < e->Count ? View().Int(*e, i) : def;
  }
  double Number(uint16_t tag, double def) const {
    const TPXTiffEntry* e = Find(tag);
    return e ? View().Number(*e, 0) : def;
  }
  std::string Text(uint16_t tag) const;
  std::vector<int64_t> Array(uint16_t tag) const;
  // The raw value bytes of an entry, or nullptr.
  const uint8_t* Bytes(uint16_t tag, int64_t& n) const;
};

// Reads the directory at offset: its entries (only the tags keep() accepts,
// the first of a repeated tag) with every value that lies in the file and
// fits the budget. False when not even the entry count can be read.
PIXORAN_IO_EXPORT bool LoadDirectory(TSource& src, int64_t offset, bool (*keep)(uint16_t tag), int64_t perValueLimit,
                                     TDirectory& dir);

// ---------------------------------------------------------------- page context

struct PIXORAN_IO_EXPORT TPage {
  int64_t width = 0, height = 0;
  int32_t samples = 1, bits = 1;
  bool bitsEqual = true;
  int64_t rowsPerStrip = 0;
  int64_t tileWidth = -1, tileLength = -1;
  int32_t photometric = 2;
  int32_t planar = 1;
  int32_t orientation = 1;
  int32_t compression = 1;
  int32_t predictor = 1;
  int32_t resolutionUnit = 2;
  double xres = 0, yres = 0, xpos = 0, ypos = 0;
  uint32_t t4 = 0, t6 = 0;
  int32_t fillOrder = 1;
  int32_t jpegProc = 0;
  int64_t jpegIF = 0, jpegIFLength = 0;
  int32_t extraSamples = 0;
  int32_t ycbcrSub[2] = {2, 2};
  std::vector<int64_t> offsets, counts;
  std::vector<uint8_t> jpegTables;
  std::vector<TBGR> palette;  // from the ColorMap, or a grey ramp
  bool hasColorMap = false;
  std::string software;
  double whitePoint[2] = {0, 0};  // chromaticity; 0: none given
  bool Tiled() const { return tileWidth > 0 || tileLength > 0; }
};

// The page context from a page's directory.
PIXORAN_IO_EXPORT void ParsePage(const TDirectory& d, TPage& pg);

// The tags of an EXIF directory into the record's EXIF fields (fields without
// a tag keep their values).
PIXORAN_IO_EXPORT void ReadEXIFSubIFDTags(const TPXTiffView& v, const std::vector<TPXTiffEntry>& entries,
                                          TIOParamsVals& r);

// The record's fields from a page's directory and context; pages: the file's
// page count.
PIXORAN_IO_EXPORT void FillRecord(const TDirectory& d, const TPage& pg, int32_t pages, TIOParamsVals& r);

}  // namespace pixoran::tiff_detail
