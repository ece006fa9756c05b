#pragma once
// The per-image I/O parameter record: what a reader learned from a file and
// what a writer takes its options from.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/kopxdefs.h"
#include "io/iohooks.h"
#include "io/pxmetadata.h"

namespace pixoran {

class TPXBitmap;
class TBitmap;

// What the record needs of its owner (the I/O component): the size of the
// platform bitmap it works on and the viewer that hears of resolution changes.
class TIOParamsOwner {
 public:
  virtual ~TIOParamsOwner() = default;
  // The owner's platform bitmap, or nullptr.
  virtual TBitmap* OwnerTBitmap() = 0;
  // Tell the attached viewer, if any, of a new resolution.
  virtual void OwnerDpiXChanged(int32_t dpi) = 0;
  virtual void OwnerDpiYChanged(int32_t dpi) = 0;
};

class TIOParamsVals {
 public:
  explicit TIOParamsVals(TIOParamsOwner* owner = nullptr);  // Init
  ~TIOParamsVals();                                          // Done
  TIOParamsVals(const TIOParamsVals&) = delete;
  TIOParamsVals& operator=(const TIOParamsVals&) = delete;

  void SetDefaultParams();
  // Per-load reset: metadata and descriptive texts go, options stay.
  void ResetInfo();
  void ResetEXIF();
  // Copies every field but Owner and KeepNativeFormat; the EXIF thumbnail
  // ends as the source's (a copy, or none when the source has none).
  void Assign(const TIOParamsVals& source);
  // Copies only the write options.
  void CopySaveOptions(const TIOParamsVals& source);

  // Also set EXIFXResolution (EXIFYResolution), then tell the owner.
  void SetDpiX(int32_t value);
  void SetDpiY(int32_t value);
  // NaN becomes 0; values are clamped to the int32 range, then truncated.
  void SetEXIFXResolution(double value);
  void SetEXIFYResolution(double value);
  // Both set TIFFOrientation and EXIFOrientation.
  void SetTIFFOrientation(int32_t value);
  void SetEXIFOrientation(int32_t value);

  // Indexed EXIF arrays; an index out of range is ignored by the setters and
  // reads 0 from the getters.
  int32_t GetEXIFISOSpeed(int index) const;
  void SetEXIFISOSpeed(int index, int32_t value);
  double GetEXIFWhitePoint(int index) const;
  void SetEXIFWhitePoint(int index, double value);
  double GetEXIFPrimaryChromaticities(int index) const;
  void SetEXIFPrimaryChromaticities(int index, double value);
  double GetEXIFYCbCrCoefficients(int index) const;
  void SetEXIFYCbCrCoefficients(int index, double value);
  double GetEXIFReferenceBlackWhite(int index) const;
  void SetEXIFReferenceBlackWhite(int index, double value);

  // Replaces the palette by count entries (nullptr data: zero-filled); count <= 0 frees it.
  void SetPalette(const TBGR* data, int32_t count);
  void FreePalette();

  TIOParamsOwner* Owner = nullptr;

  // --- general
  int32_t BitsPerSample = 8;
  std::string FileName;
  int32_t SamplesPerPixel = 3;
  int32_t Width = 0, Height = 0;
  int32_t DpiX = 0, DpiY = 0;
  int32_t FileType = 0;

  // --- TIFF
  uint8_t TIFFCompression = 0;
  int32_t TIFFImageIndex = 0;
  uint8_t TIFFPhotometric = 2;
  int32_t TIFFPlanarConfig = 1;
  int32_t TIFFXPos = 0, TIFFYPos = 0;
  std::string TIFFDocumentName, TIFFImageDescription, TIFFPageName;
  int32_t TIFFPageNumber = 0, TIFFPageCount = 0;
  int32_t TIFFOrientation = 1;
  TTIFFLZWDecompressProc TIFFLZWDecompressor = nullptr;
  TTIFFLZWCompressProc TIFFLZWCompressor = nullptr;
  uint8_t TIFFApplyOrientation = 0;
  int32_t TIFFJPEGQuality = 80;
  uint8_t TIFFJPEGColorSpace = 2;

  // --- other formats
  int32_t DCXImageIndex = 0;
  std::string GIFVersion = "GIF89a";
  int32_t GIFImageIndex = 0;
  int32_t GIFXPos = 0, GIFYPos = 0;
  int32_t GIFDelayTime = 0;
  uint8_t GIFTransparent = 0;
  TBGR GIFTranspColor{};
  uint8_t GIFInterlaced = 0;
  int32_t GIFWinWidth = 0, GIFWinHeight = 0;
  TBGR GIFBackground{};
  int32_t GIFRatio = 0;
  std::vector<std::string> GIFComments;
  uint8_t GIFAction = 0;
  TGIFLZWDecompressProc GIFLZWDecompressor = nullptr;
  TGIFLZWCompressProc GIFLZWCompressor = nullptr;
  uint8_t JPEGColorSpace = 2;
  int32_t JPEGQuality = 80;
  uint8_t JPEGDCTMethod = 0;
  uint8_t JPEGOptimalHuffman = 0;
  int32_t JPEGSmooth = 0;
  uint8_t JPEGProgressive = 0;
  uint8_t JPEGScale = 1;
  std::unique_ptr<TPXMarkerList> JPEGMarkers;
  int32_t JPEGScaleDenom = 1;
  int32_t JPEGOriginalWidth = 0, JPEGOriginalHeight = 0;
  int32_t JPEGWarningCount = 0, JPEGWarningCode = 0;
  uint8_t J2000ColorSpace = 1;
  double J2000Rate = 1.0;
  uint8_t J2000ProgressionOrder = 0;
  int32_t PCXVersion = 5;
  uint8_t PCXCompression = 1;
  uint8_t BMPHeaderKind = 1;
  uint8_t BMPCompression = 0;
  int32_t ICOImageIndex = 0;
  TBGR ICOBackground{255, 255, 255};
  TBGR CURBackground{255, 255, 255};
  int32_t CURImageIndex = 0;
  int32_t CURHotSpotX = 0, CURHotSpotY = 0;
  uint8_t PNGInterlaced = 0;
  TBGR PNGBackground{};
  uint8_t PNGFilter = 0;
  int32_t PNGCompression = 5;
  int32_t TGAXPos = 0, TGAYPos = 0;
  uint8_t TGACompressed = 1;
  std::string TGADescriptor;
  std::string TGAAuthor;
  double TGADate = 0.0;  // days since 1899-12-30, time 0
  std::string TGAImageName;
  TBGR TGABackground{};
  double TGAAspectRatio = 1.0;
  double TGAGamma = 2.2;
  uint8_t TGAGrayLevel = 0;
  std::unique_ptr<TPXIPTCInfoList> IPTCInfo;
  std::unique_ptr<TPXImagingAnnot> ImagingAnnot;
  std::vector<std::string> PNMComments;

  // --- EXIF
  uint8_t HasEXIFData = 0;
  std::unique_ptr<TPXBitmap> EXIFThumbnail;
  std::string EXIFImageDescription, EXIFMake, EXIFModel;
  int32_t EXIFOrientation = 0;
  double EXIFXResolution = 0, EXIFYResolution = 0;
  int32_t EXIFResolutionUnit = 0;
  std::string EXIFSoftware, EXIFDateTime;
  std::array<double, 2> EXIFWhitePoint{};
  std::array<double, 6> EXIFPrimaryChromaticities{};
  std::array<double, 3> EXIFYCbCrCoefficients{};
  int32_t EXIFYCbCrPositioning = 0;
  std::array<double, 6> EXIFReferenceBlackWhite{};
  std::string EXIFCopyright;
  double EXIFExposureTime = 0, EXIFFNumber = 0;
  int32_t EXIFExposureProgram = 0;
  std::array<int32_t, 2> EXIFISOSpeedRatings{};
  std::string EXIFVersion, EXIFDateTimeOriginal, EXIFDateTimeDigitized;
  double EXIFCompressedBitsPerPixel = 0, EXIFShutterSpeedValue = 0, EXIFApertureValue = 0,
         EXIFBrightnessValue = 0, EXIFExposureBiasValue = 0, EXIFMaxApertureValue = 0, EXIFSubjectDistance = 0;
  int32_t EXIFMeteringMode = 0, EXIFLightSource = 0, EXIFFlash = 0;
  double EXIFFocalLength = 0;
  std::string EXIFSubsecTime, EXIFSubsecTimeOriginal, EXIFSubsecTimeDigitized;
  std::string EXIFFlashPixVersion;
  int32_t EXIFColorSpace = 0, EXIFImageWidth = 0, EXIFImageHeight = 0;
  std::string EXIFRelatedSoundFile;
  double EXIFFocalPlaneXResolution = 0, EXIFFocalPlaneYResolution = 0;
  int32_t EXIFFocalPlaneResolutionUnit = 0;
  double EXIFExposureIndex = 0;
  int32_t EXIFSensingMethod = 0, EXIFFileSource = 0, EXIFSceneType = 0;
  std::string EXIFUserComment, EXIFUserCommentCode;

  // --- remaining
  int32_t AVIFrameCount = 0;
  int32_t AVIFrameDelay = 0;
  int32_t PSPaperWidth = 595, PSPaperHeight = 842;
  uint8_t PSCompression = 1;
  std::string PSTitle = "No Title";
  int32_t PDFPaperWidth = 595, PDFPaperHeight = 842;
  uint8_t PDFCompression = 2;
  std::string PDFTitle, PDFAuthor, PDFSubject, PDFKeywords, PDFCreator, PDFProducer;
  std::unique_ptr<TPXICC> InputICC;
  std::unique_ptr<TPXICC> OutputICC;
  uint8_t KeepNativeFormat = 0;
  std::unique_ptr<TBGR[]> Palette;  // PaletteCount entries, or nullptr
  int32_t PaletteCount = 0;
  int32_t GIFImageCount = 0;
  int32_t TIFFImageCount = 0;
  std::array<std::array<int32_t, 2>, 16> ICOSizes{};
  std::array<int32_t, 16> ICOBitCounts{};
};

}  // namespace pixoran
