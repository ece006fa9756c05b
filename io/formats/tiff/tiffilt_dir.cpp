// TIFF reader, the directory side: entry values, directories gathered in memory, the page context and the record.
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "io/formats/tiff/tiffilt.h"
#include "io/formats/tiff/tiffilt_internal.h"
#include "io/pxmetadata.h"

namespace pixoran::tiff_detail {

namespace {

// Field types of directory entries.
enum : uint16_t {
  ttByte = 1,
  ttAscii = 2,
  ttShort = 3,
  ttLong = 4,
  ttRational = 5,
  ttSByte = 6,
  ttUndefined = 7,
  ttSShort = 8,
  ttSLong = 9,
  ttSRational = 10,
  ttFloat = 11,
  ttDouble = 12,
};

// Bytes per value of a field type; 0 for a type we do not know.
inline size_t TIFFTypeSize(uint16_t type) {
  static constexpr uint8_t kSizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < 13 ? kSizes[type] : 0;
}

}  // namespace

int64_t TPXTiffView::Int(const TPXTiffEntry& e, uint32_t i) const {
  if (i >= e.Count) return 0;
  const size_t o = e.Value + i * TIFFTypeSize(e.Type);
  switch (e.Type) {
    case ttByte:
    case ttUndefined: return p_[o];
    case ttSByte: return static_cast<int8_t>(p_[o]);
    case ttShort: return U16(o);
    case ttSShort: return static_cast<int16_t>(U16(o));
    case ttLong: return U32(o);
    case ttSLong: return static_cast<int32_t>(U32(o));
    default: return 0;
  }
}

double TPXTiffView::Number(const TPXTiffEntry& e, uint32_t i) const {
  if (i >= e.Count) return 0;
  const size_t o = e.Value + i * TIFFTypeSize(e.Type);
  double v = 0;
  switch (e.Type) {
    case ttRational: {
      const uint32_t d = U32(o + 4);
      v = d == 0 ? 0.0 : static_cast<double>(U32(o)) / d;
      break;
    }
    case ttSRational: {
      const auto d = static_cast<int32_t>(U32(o + 4));
      v = d == 0 ? 0.0 : static_cast<double>(static_cast<int32_t>(U32(o))) / d;
      break;
    }
    case ttFloat: {
      const uint32_t bits = U32(o);
      float f;
      std::memcpy(&f, &bits, 4);
      v = f;
      break;
    }
    case ttDouble: {
      const uint64_t bits = big_ ? (static_cast<uint64_t>(U32(o)) << 32) | U32(o + 4)
                                 : U32(o) | (static_cast<uint64_t>(U32(o + 4)) << 32);
      std::memcpy(&v, &bits, 8);
      break;
    }
    default: v = static_cast<double>(Int(e, i)); break;
  }
  return std::isfinite(v) ? v : 0.0;
}

std::string TPXTiffView::Text(const TPXTiffEntry& e) const {
  if (TIFFTypeSize(e.Type) != 1) return {};
  const auto* s = reinterpret_cast<const char*>(p_ + e.Value);
  return std::string(s, strnlen(s, e.Count));
}

std::string TPXTiffView::Bytes(const TPXTiffEntry& e) const {
  if (TIFFTypeSize(e.Type) != 1) return {};
  return std::string(reinterpret_cast<const char*>(p_ + e.Value), e.Count);
}

// ---------------------------------------------------------------- tags

// clang-format off
bool IsPageTag(uint16_t tag) {
  switch (tag) {
    case tagImageWidth: case tagImageLength: case tagBitsPerSample: case tagCompression: case tagPhotometric:
    case tagFillOrder: case tagDocumentName: case tagImageDescription: case tagMake: case tagModel:
    case tagStripOffsets: case tagOrientation: case tagSamplesPerPixel: case tagRowsPerStrip:
    case tagStripByteCounts: case tagXResolution: case tagYResolution: case tagPlanarConfig: case tagPageName:
    case tagXPosition: case tagYPosition: case tagT4Options: case tagT6Options: case tagResolutionUnit:
    case tagPageNumber: case tagSoftware: case tagDateTime: case tagPredictor: case tagWhitePoint:
    case tagPrimaryChromaticities: case tagColorMap: case tagTileWidth: case tagTileLength: case tagTileOffsets:
    case tagTileByteCounts: case tagInkSet: case tagNumberOfInks: case tagExtraSamples: case tagJPEGTables:
    case tagJPEGProc: case tagJPEGInterchangeFormat: case tagJPEGInterchangeFormatLength:
    case tagYCbCrCoefficients: case tagYCbCrSubSampling: case tagYCbCrPositioning: case tagReferenceBlackWhite:
    case tagImagingAnnotations: case tagCopyright: case tagIPTC: case tagExifIFD: case tagICCProfile:
      return true;
    default:
      return false;
  }
}
// clang-format on

// ---------------------------------------------------------------- the stream

constexpr int64_t kMaxText = 1048575;

std::string TDirectory::Text(uint16_t tag) const {
  const TPXTiffEntry* e = Find(tag);
  if (!e || e->Type != ttAscii || e->Count > kMaxText + 1) return {};
  return View().Text(*e);
}

std::vector<int64_t> TDirectory::Array(uint16_t tag) const {
  std::vector<int64_t> out;
  const TPXTiffEntry* e = Find(tag);
  if (!e) return out;
  const TPXTiffView v = View();
  out.resize(e->Count);
  for (uint32_t i = 0; i < e->Count; ++i) out[i] = v.Int(*e, i);
  return out;
}

const uint8_t* TDirectory::Bytes(uint16_t tag, int64_t& n) const {
  const TPXTiffEntry* e = Find(tag);
  if (!e) return nullptr;
  n = static_cast<int64_t>(e->Count) * static_cast<int64_t>(TIFFTypeSize(e->Type));
  return values.data() + e->Value;
}

bool LoadDirectory(TSource& src, int64_t offset, bool (*keep)(uint16_t tag), int64_t perValueLimit, TDirectory& dir) {
  dir = TDirectory{};
  dir.big = src.Big();
  uint8_t nb[2];
  if (!src.Read(offset, nb, 2)) return false;
  const int64_t declared = src.U16(nb);
  const int64_t present = std::min(declared, (src.Size() - offset - 2) / 12);
  if (present <= 0) return true;
  std::vector<uint8_t> raw(static_cast<size_t>(present * 12));
  if (!src.Read(offset + 2, raw.data(), present * 12)) return false;
  std::vector<bool> seen(65536, false);
  int64_t budget = CodecMemoryLimit();
  for (int64_t i = 0; i < present; ++i) {
    const uint8_t* p = raw.data() + i * 12;
    TPXTiffEntry e;
    e.Tag = src.U16(p);
    e.Type = src.U16(p + 2);
    e.Count = src.U32(p + 4);
    const int64_t size = static_cast<int64_t>(TIFFTypeSize(e.Type));
    if (size == 0 || e.Count == 0 || seen[e.Tag] || !keep(e.Tag)) continue;
    const int64_t bytes = size * e.Count;
    e.Value = dir.values.size();
    if (bytes <= 4) {
      dir.values.insert(dir.values.end(), p + 8, p + 12);
    } else {
      const int64_t at = src.U32(p + 8);
      if (bytes > perValueLimit || bytes > budget || at > src.Size() || bytes > src.Size() - at) continue;
      dir.values.resize(e.Value + static_cast<size_t>(bytes));
      if (!src.Read(at, dir.values.data() + e.Value, bytes)) {
        dir.values.resize(e.Value);
        continue;
      }
      budget -= bytes;
    }
    seen[e.Tag] = true;
    dir.entries.push_back(e);
  }
  return true;
}

// ---------------------------------------------------------------- page context

namespace {

int32_t ClampInt(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

}  // namespace

void ParsePage(const TDirectory& d, TPage& pg) {
  pg.width = d.Int(tagImageWidth, 0);
  pg.height = d.Int(tagImageLength, 0);
  pg.samples = ClampInt(d.Int(tagSamplesPerPixel, 1));
  const std::vector<int64_t> bits = d.Array(tagBitsPerSample);
  pg.bits = bits.empty() ? 1 : ClampInt(bits[0]);
  for (int64_t b : bits) pg.bitsEqual = pg.bitsEqual && b == bits[0];
  pg.rowsPerStrip = d.Int(tagRowsPerStrip, pg.height);
  if (pg.rowsPerStrip <= 0 || pg.rowsPerStrip > pg.height) pg.rowsPerStrip = pg.height;
  pg.tileWidth = d.Find(tagTileWidth) ? d.Int(tagTileWidth, -1) : -1;
  pg.tileLength = d.Find(tagTileLength) ? d.Int(tagTileLength, -1) : -1;
  pg.photometric = ClampInt(d.Int(tagPhotometric, 2));
  pg.planar = ClampInt(d.Int(tagPlanarConfig, 1));
  pg.orientation = ClampInt(d.Int(tagOrientation, 1));
  pg.compression = ClampInt(d.Int(tagCompression, 1));
  pg.predictor = ClampInt(d.Int(tagPredictor, 1));
  pg.resolutionUnit = ClampInt(d.Int(tagResolutionUnit, 2));
  // A zero denominator counts as 1.
  auto rational = [&](uint16_t tag) {
    const TPXTiffEntry* e = d.Find(tag);
    if (!e) return 0.0;
    if (e->Type != ttRational) return d.View().Number(*e, 0);
    const TPXTiffView v = d.View();
    const uint32_t num = static_cast<uint32_t>(v.U32(e->Value)), den = static_cast<uint32_t>(v.U32(e->Value + 4));
    return static_cast<double>(num) / (den == 0 ? 1 : den);
  };
  pg.xres = rational(tagXResolution);
  pg.yres = rational(tagYResolution);
  pg.xpos = rational(tagXPosition);
  pg.ypos = rational(tagYPosition);
  pg.t4 = static_cast<uint32_t>(d.Int(tagT4Options, 0));
  pg.t6 = static_cast<uint32_t>(d.Int(tagT6Options, 0));
  pg.fillOrder = ClampInt(d.Int(tagFillOrder, 1));
  pg.jpegProc = ClampInt(d.Int(tagJPEGProc, 0));
  pg.jpegIF = d.Int(tagJPEGInterchangeFormat, 0);
  pg.jpegIFLength = d.Int(tagJPEGInterchangeFormatLength, 0);
  pg.extraSamples = ClampInt(d.Int(tagExtraSamples, 0));
  pg.ycbcrSub[0] = ClampInt(d.Int(tagYCbCrSubSampling, 2, 0));
  pg.ycbcrSub[1] = ClampInt(d.Int(tagYCbCrSubSampling, 2, 1));
  pg.software = d.Text(tagSoftware);
  if (const TPXTiffEntry* e = d.Find(tagWhitePoint); e && e->Count >= 2)
    pg.whitePoint[0] = d.View().Number(*e, 0), pg.whitePoint[1] = d.View().Number(*e, 1);
  if (pg.Tiled()) {
    pg.offsets = d.Array(tagTileOffsets);
    pg.counts = d.Array(tagTileByteCounts);
  }
  if (pg.offsets.empty()) {
    pg.offsets = d.Array(tagStripOffsets);
    pg.counts = d.Array(tagStripByteCounts);
  }
  int64_t n = 0;
  if (const uint8_t* t = d.Bytes(tagJPEGTables, n)) pg.jpegTables.assign(t, t + n);

  // A 1-bit page that claims RGB is bilevel.
  if (pg.samples == 1 && pg.bits == 1 && pg.compression >= 1 && pg.compression <= 4 && pg.photometric == 2)
    pg.photometric = 0;

  // The palette: 3 x 2^bits 16-bit values (high bytes taken), only for 8 bits
  // or fewer; missing or short, a grey ramp stands in.
  if (pg.photometric == 3 && pg.bits >= 1 && pg.bits <= 8) {
    const int32_t entries = 1 << pg.bits;
    pg.palette.resize(entries);
    const std::vector<int64_t> map = d.Array(tagColorMap);
    pg.hasColorMap = static_cast<int64_t>(map.size()) >= 3 * entries;
    for (int32_t i = 0; i < entries; ++i) {
      if (pg.hasColorMap) {
        pg.palette[i] = MakeBGR(static_cast<uint8_t>(map[i] >> 8), static_cast<uint8_t>(map[entries + i] >> 8),
                                static_cast<uint8_t>(map[2 * entries + i] >> 8));
      } else {
        const auto g = static_cast<uint8_t>(i * 255 / (entries - 1));
        pg.palette[i] = TBGR{g, g, g};
      }
    }
  }
}

namespace {

uint8_t CompressionCode(const TPage& pg) {
  switch (pg.compression) {
    case 1: return 0;
    case 2: return 1;
    case 3: return (pg.t4 & 1) ? 3 : 2;
    case 4: return 4;
    case 5: return 5;
    case 6: return 6;
    case 7: return 7;
    case 32773: return 8;
    default: return 9;
  }
}

int32_t ToInt32(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

template <size_t N>
void ReadArray(const TPXTiffView& v, const TPXTiffEntry& e, std::array<double, N>& out) {
  for (uint32_t i = 0; i < N && i < e.Count; ++i) out[i] = v.Number(e, i);
}

// Drops the zero bytes and blanks that pad a character code or comment.
std::string TrimPadding(std::string s) {
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ')) s.pop_back();
  return s;
}

void ReadAnnotations(const uint8_t* data, int64_t size, TIOParamsVals& params) {
  params.ImagingAnnot->Clear();
  params.ImagingAnnot->LoadFromStandardBuffer(data, size);
}

// The EXIF copies of a first (image) directory's tags, and the tags of an
// EXIF directory, into the record's EXIF fields (fields without a tag keep
// their values).
void ReadEXIFFirstIFDTags(const TPXTiffView& v, const std::vector<TPXTiffEntry>& entries, TIOParamsVals& r) {
  for (const TPXTiffEntry& e : entries) {
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

}  // namespace

void ReadEXIFSubIFDTags(const TPXTiffView& v, const std::vector<TPXTiffEntry>& entries, TIOParamsVals& r) {
  for (const TPXTiffEntry& e : entries) {
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

void FillRecord(const TDirectory& d, const TPage& pg, int32_t pages, TIOParamsVals& r) {
  int64_t n = 0;
  if (const uint8_t* iptc = d.Bytes(tagIPTC, n)) r.IPTCInfo->LoadFromBuffer(iptc, n);
  else r.IPTCInfo->Clear();
  // Marks belong to their page: a page without the tag has none.
  if (const uint8_t* annot = d.Bytes(tagImagingAnnotations, n)) ReadAnnotations(annot, n, r);
  else r.ImagingAnnot->Clear();
  if (const uint8_t* icc = d.Bytes(tagICCProfile, n)) r.InputICC->LoadFromBuffer(icc, n);

  r.BitsPerSample = pg.bits;
  r.SamplesPerPixel = pg.samples;
  r.Width = ClampInt(pg.width);
  r.Height = ClampInt(pg.height);
  r.TIFFImageCount = pages;
  r.SetTIFFOrientation(pg.orientation);
  r.TIFFCompression = CompressionCode(pg);
  r.TIFFPhotometric = static_cast<uint8_t>(pg.photometric == 8 ? 7 : std::clamp(pg.photometric, 0, 255));
  r.TIFFPlanarConfig = pg.planar;
  r.TIFFDocumentName = d.Text(tagDocumentName);
  r.TIFFImageDescription = d.Text(tagImageDescription);
  r.TIFFPageName = d.Text(tagPageName);
  r.TIFFPageNumber = ClampInt(d.Int(tagPageNumber, 0, 0));
  r.TIFFPageCount = ClampInt(d.Int(tagPageNumber, 0, 1));

  // The EXIF copies of the image's own tags.
  ReadEXIFFirstIFDTags(d.View(), d.entries, r);
  r.SetEXIFXResolution(pg.xres);
  r.SetEXIFYResolution(pg.yres);
  r.EXIFXResolution = pg.xres;
  r.EXIFYResolution = pg.yres;
  r.EXIFResolutionUnit = pg.resolutionUnit;
  r.EXIFSoftware = UserSoftware(pg.software);

  if (pg.hasColorMap) r.SetPalette(pg.palette.data(), static_cast<int32_t>(pg.palette.size()));
  else r.FreePalette();

  const double factor = pg.resolutionUnit == 3 ? 2.54 : 1.0;
  r.DpiX = TruncToInt32(pg.xres * factor);
  r.DpiY = TruncToInt32(pg.yres * factor);
  if (r.DpiX == 0) r.DpiX = PXSettings().DefaultDpiX;
  if (r.DpiY == 0) r.DpiY = PXSettings().DefaultDpiY;
  r.TIFFXPos = TruncToInt32(pg.xpos * factor);
  r.TIFFYPos = TruncToInt32(pg.ypos * factor);
}

}  // namespace pixoran::tiff_detail
