#include "io/pixoranio_params.h"

#include <chrono>
#include <cstring>
#include <ctime>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "io/pxmetadata.h"
#include "platform/graphics.h"

namespace pixoran {

namespace {

// Days from 1899-12-30 (the date-time epoch of the file formats' stamps) to 1970-01-01.
constexpr int32_t kDaysTo1970 = 25569;

// Today's local date at time 0, as a day count since 1899-12-30.
double TodayAsDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return 0.0;
  using namespace std::chrono;
  const year_month_day ymd{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                           day{static_cast<unsigned>(local.tm_mday)}};
  return static_cast<double>(sys_days{ymd}.time_since_epoch().count() + kDaysTo1970);
}

template <size_t N, typename T>
T GetAt(const std::array<T, N>& a, int index) {
  return index >= 0 && static_cast<size_t>(index) < N ? a[index] : T{};
}

template <size_t N, typename T>
void SetAt(std::array<T, N>& a, int index, T value) {
  if (index >= 0 && static_cast<size_t>(index) < N) a[index] = value;
}

}  // namespace

TIOParamsVals::TIOParamsVals(TIOParamsOwner* owner) : Owner(owner) {
  JPEGMarkers = std::make_unique<TPXMarkerList>();
  IPTCInfo = std::make_unique<TPXIPTCInfoList>();
  ImagingAnnot = std::make_unique<TPXImagingAnnot>();
  InputICC = std::make_unique<TPXICC>();
  OutputICC = std::make_unique<TPXICC>();
  SetDefaultParams();
}

// Out of line: the owned metadata types are complete only here.
TIOParamsVals::~TIOParamsVals() = default;

void TIOParamsVals::SetDefaultParams() {
  FreePalette();

  // General fields. Without an owner there is no bitmap to size from and no
  // viewer to tell, so size and resolution keep what they hold.
  BitsPerSample = 8;
  FileName.clear();
  SamplesPerPixel = 3;
  if (Owner != nullptr) {
    if (TBitmap* bmp = Owner->OwnerTBitmap()) {
      Width = bmp->Width();
      Height = bmp->Height();
    }
    SetDpiX(PXSettings().DefaultDpiX);
    SetDpiY(PXSettings().DefaultDpiY);
  }
  FileType = 0;

  // GIF
  GIFVersion = "GIF89a";
  GIFImageIndex = 0;
  GIFXPos = 0;
  GIFYPos = 0;
  GIFDelayTime = 0;
  GIFTransparent = 0;
  GIFTranspColor = TBGR{};
  GIFInterlaced = 0;
  GIFWinWidth = 0;
  GIFWinHeight = 0;
  GIFBackground = TBGR{};
  GIFRatio = 0;
  GIFComments.clear();
  GIFAction = 0;
  GIFLZWDecompressor = PXIOHooks().GIFLZWDecompressHook;
  GIFLZWCompressor = PXIOHooks().GIFLZWCompressHook;

  // DCX
  DCXImageIndex = 0;

  // TIFF
  TIFFCompression = 0;
  TIFFImageIndex = 0;
  TIFFPhotometric = 2;
  TIFFPlanarConfig = 1;
  TIFFXPos = 0;
  TIFFYPos = 0;
  TIFFDocumentName.clear();
  TIFFImageDescription.clear();
  TIFFPageName.clear();
  TIFFPageNumber = 0;
  TIFFPageCount = 0;
  SetTIFFOrientation(1);  // EXIFOrientation goes back to 0 in ResetEXIF below
  TIFFLZWDecompressor = PXIOHooks().TIFFLZWDecompressHook;
  TIFFLZWCompressor = PXIOHooks().TIFFLZWCompressHook;
  TIFFApplyOrientation = 0;
  TIFFJPEGQuality = 80;
  TIFFJPEGColorSpace = 2;

  // JPEG
  JPEGColorSpace = 2;
  JPEGQuality = 80;
  JPEGDCTMethod = 0;
  JPEGOptimalHuffman = 0;
  JPEGSmooth = 0;
  JPEGProgressive = 0;
  JPEGScale = 1;
  JPEGMarkers->Clear();
  JPEGScaleDenom = 1;
  JPEGOriginalWidth = 0;
  JPEGOriginalHeight = 0;
  JPEGWarningCount = 0;
  JPEGWarningCode = 0;

  // JPEG 2000
  J2000ColorSpace = 1;
  J2000Rate = 1.0;
  J2000ProgressionOrder = 0;

  // PCX
  PCXVersion = 5;
  PCXCompression = 1;

  // BMP
  BMPHeaderKind = 1;
  BMPCompression = 0;

  // Icon and cursor
  ICOImageIndex = 0;
  ICOBackground = TBGR{255, 255, 255};
  CURBackground = TBGR{255, 255, 255};
  CURImageIndex = 0;
  CURHotSpotX = CURHotSpotY = 0;
  for (auto& size : ICOSizes) size = {0, 0};
  ICOSizes[0] = {64, 64};
  ICOBitCounts.fill(0);
  ICOBitCounts[0] = 8;

  // PNG
  PNGInterlaced = 0;
  PNGBackground = TBGR{};
  PNGFilter = 0;
  PNGCompression = 5;

  // TGA
  TGAXPos = 0;
  TGAYPos = 0;
  TGACompressed = 1;
  TGADescriptor.clear();
  TGAAuthor.clear();
  TGADate = TodayAsDateTime();
  TGAImageName.clear();
  TGABackground = TBGR{};
  TGAAspectRatio = 1.0;
  TGAGamma = 2.2;
  TGAGrayLevel = 0;

  // AVI
  AVIFrameCount = 0;
  AVIFrameDelay = 0;

  IPTCInfo->Clear();
  PNMComments.clear();
  ResetEXIF();

  // PostScript and PDF
  PSPaperWidth = 595;
  PSPaperHeight = 842;
  PSCompression = 1;
  PSTitle = "No Title";
  PDFPaperWidth = 595;
  PDFPaperHeight = 842;
  PDFCompression = 2;
  PDFTitle.clear();
  PDFAuthor.clear();
  PDFSubject.clear();
  PDFKeywords.clear();
  PDFCreator.clear();
  PDFProducer.clear();

  ImagingAnnot->Clear();
  InputICC->Clear();
  OutputICC->Clear();

  KeepNativeFormat = 0;
  GIFImageCount = 0;
  TIFFImageCount = 0;
}

void TIOParamsVals::ResetInfo() {
  IPTCInfo->Clear();
  ImagingAnnot->Clear();
  JPEGMarkers->Clear();
  ResetEXIF();
  GIFComments.clear();
  TIFFDocumentName.clear();
  TIFFImageDescription.clear();
  TIFFPageName.clear();
  TGADescriptor.clear();
  TGAAuthor.clear();
  TGAImageName.clear();
  PNMComments.clear();
  InputICC->Clear();
}

void TIOParamsVals::ResetEXIF() {
  // Fields are zeroed directly: going through the setters would also move
  // DpiX/DpiY and TIFFOrientation, which describe the image, not the EXIF block.
  HasEXIFData = 0;
  EXIFThumbnail.reset();
  EXIFImageDescription.clear();
  EXIFMake.clear();
  EXIFModel.clear();
  EXIFOrientation = 0;
  EXIFXResolution = 0;
  EXIFYResolution = 0;
  EXIFResolutionUnit = 0;
  EXIFSoftware.clear();
  EXIFDateTime.clear();
  EXIFWhitePoint.fill(0);
  EXIFPrimaryChromaticities.fill(0);
  EXIFYCbCrCoefficients.fill(0);
  EXIFYCbCrPositioning = 0;
  EXIFReferenceBlackWhite.fill(0);
  EXIFCopyright.clear();
  EXIFExposureTime = 0;
  EXIFFNumber = 0;
  EXIFExposureProgram = 0;
  EXIFISOSpeedRatings.fill(0);
  EXIFVersion.clear();
  EXIFDateTimeOriginal.clear();
  EXIFDateTimeDigitized.clear();
  EXIFCompressedBitsPerPixel = 0;
  EXIFShutterSpeedValue = 0;
  EXIFApertureValue = 0;
  EXIFBrightnessValue = 0;
  EXIFExposureBiasValue = 0;
  EXIFMaxApertureValue = 0;
  EXIFSubjectDistance = 0;
  EXIFMeteringMode = 0;
  EXIFLightSource = 0;
  EXIFFlash = 0;
  EXIFFocalLength = 0;
  EXIFSubsecTime.clear();
  EXIFSubsecTimeOriginal.clear();
  EXIFSubsecTimeDigitized.clear();
  EXIFFlashPixVersion.clear();
  EXIFColorSpace = 0;
  EXIFImageWidth = 0;
  EXIFImageHeight = 0;
  EXIFRelatedSoundFile.clear();
  EXIFFocalPlaneXResolution = 0;
  EXIFFocalPlaneYResolution = 0;
  EXIFFocalPlaneResolutionUnit = 0;
  EXIFExposureIndex = 0;
  EXIFSensingMethod = 0;
  EXIFFileSource = 0;
  EXIFSceneType = 0;
  EXIFUserComment.clear();
  EXIFUserCommentCode.clear();
}

void TIOParamsVals::Assign(const TIOParamsVals& source) {
  if (&source == this) return;

  // The thumbnail copy is the only step that may fail (storage); do it first
  // so a failure leaves this record untouched. The copy is exact: a record
  // without a thumbnail must not pass on the one this record held before,
  // or a file would be saved with another image's thumbnail.
  std::unique_ptr<TPXBitmap> thumbnail;
  if (source.EXIFThumbnail) {
    thumbnail = std::make_unique<TPXBitmap>();
    thumbnail->Assign(source.EXIFThumbnail.get());
  }

  // The write options are the same fields CopySaveOptions copies. It sets
  // the TIFF orientation through its setter, which also sets the EXIF
  // orientation; that one is copied exactly in the EXIF block below.
  CopySaveOptions(source);

  // General. The resolution goes through the setters so this record's
  // viewer hears of it; the EXIF resolutions are copied afterwards, so they
  // end equal to the source's even where they differ from its DpiX/DpiY.
  FileName = source.FileName;
  Width = source.Width;
  Height = source.Height;
  SetDpiX(source.DpiX);
  SetDpiY(source.DpiY);
  FileType = source.FileType;

  // TIFF
  TIFFImageIndex = source.TIFFImageIndex;
  TIFFXPos = source.TIFFXPos;
  TIFFYPos = source.TIFFYPos;
  TIFFDocumentName = source.TIFFDocumentName;
  TIFFImageDescription = source.TIFFImageDescription;
  TIFFPageName = source.TIFFPageName;
  TIFFPageNumber = source.TIFFPageNumber;
  TIFFPageCount = source.TIFFPageCount;

  // Other formats
  DCXImageIndex = source.DCXImageIndex;
  GIFVersion = source.GIFVersion;
  GIFImageIndex = source.GIFImageIndex;
  GIFXPos = source.GIFXPos;
  GIFYPos = source.GIFYPos;
  GIFDelayTime = source.GIFDelayTime;
  GIFTransparent = source.GIFTransparent;
  GIFTranspColor = source.GIFTranspColor;
  GIFWinWidth = source.GIFWinWidth;
  GIFWinHeight = source.GIFWinHeight;
  GIFBackground = source.GIFBackground;
  GIFRatio = source.GIFRatio;
  GIFComments = source.GIFComments;
  GIFAction = source.GIFAction;
  JPEGScale = source.JPEGScale;
  JPEGMarkers->Assign(source.JPEGMarkers.get());
  JPEGScaleDenom = source.JPEGScaleDenom;
  JPEGOriginalWidth = source.JPEGOriginalWidth;
  JPEGOriginalHeight = source.JPEGOriginalHeight;
  JPEGWarningCount = source.JPEGWarningCount;
  JPEGWarningCode = source.JPEGWarningCode;
  ICOImageIndex = source.ICOImageIndex;
  ICOBackground = source.ICOBackground;
  CURBackground = source.CURBackground;
  CURImageIndex = source.CURImageIndex;
  CURHotSpotX = source.CURHotSpotX;
  CURHotSpotY = source.CURHotSpotY;
  PNGBackground = source.PNGBackground;
  TGAXPos = source.TGAXPos;
  TGAYPos = source.TGAYPos;
  TGADescriptor = source.TGADescriptor;
  TGAAuthor = source.TGAAuthor;
  TGADate = source.TGADate;
  TGAImageName = source.TGAImageName;
  TGABackground = source.TGABackground;
  TGAAspectRatio = source.TGAAspectRatio;
  TGAGamma = source.TGAGamma;
  IPTCInfo->Assign(source.IPTCInfo.get());
  ImagingAnnot->Assign(source.ImagingAnnot.get());
  PNMComments = source.PNMComments;

  // EXIF
  HasEXIFData = source.HasEXIFData;
  EXIFThumbnail = std::move(thumbnail);
  EXIFImageDescription = source.EXIFImageDescription;
  EXIFMake = source.EXIFMake;
  EXIFModel = source.EXIFModel;
  EXIFOrientation = source.EXIFOrientation;
  EXIFXResolution = source.EXIFXResolution;
  EXIFYResolution = source.EXIFYResolution;
  EXIFResolutionUnit = source.EXIFResolutionUnit;
  EXIFSoftware = source.EXIFSoftware;
  EXIFDateTime = source.EXIFDateTime;
  EXIFWhitePoint = source.EXIFWhitePoint;
  EXIFPrimaryChromaticities = source.EXIFPrimaryChromaticities;
  EXIFYCbCrCoefficients = source.EXIFYCbCrCoefficients;
  EXIFYCbCrPositioning = source.EXIFYCbCrPositioning;
  EXIFReferenceBlackWhite = source.EXIFReferenceBlackWhite;
  EXIFCopyright = source.EXIFCopyright;
  EXIFExposureTime = source.EXIFExposureTime;
  EXIFFNumber = source.EXIFFNumber;
  EXIFExposureProgram = source.EXIFExposureProgram;
  EXIFISOSpeedRatings = source.EXIFISOSpeedRatings;
  EXIFVersion = source.EXIFVersion;
  EXIFDateTimeOriginal = source.EXIFDateTimeOriginal;
  EXIFDateTimeDigitized = source.EXIFDateTimeDigitized;
  EXIFCompressedBitsPerPixel = source.EXIFCompressedBitsPerPixel;
  EXIFShutterSpeedValue = source.EXIFShutterSpeedValue;
  EXIFApertureValue = source.EXIFApertureValue;
  EXIFBrightnessValue = source.EXIFBrightnessValue;
  EXIFExposureBiasValue = source.EXIFExposureBiasValue;
  EXIFMaxApertureValue = source.EXIFMaxApertureValue;
  EXIFSubjectDistance = source.EXIFSubjectDistance;
  EXIFMeteringMode = source.EXIFMeteringMode;
  EXIFLightSource = source.EXIFLightSource;
  EXIFFlash = source.EXIFFlash;
  EXIFFocalLength = source.EXIFFocalLength;
  EXIFSubsecTime = source.EXIFSubsecTime;
  EXIFSubsecTimeOriginal = source.EXIFSubsecTimeOriginal;
  EXIFSubsecTimeDigitized = source.EXIFSubsecTimeDigitized;
  EXIFFlashPixVersion = source.EXIFFlashPixVersion;
  EXIFColorSpace = source.EXIFColorSpace;
  EXIFImageWidth = source.EXIFImageWidth;
  EXIFImageHeight = source.EXIFImageHeight;
  EXIFRelatedSoundFile = source.EXIFRelatedSoundFile;
  EXIFFocalPlaneXResolution = source.EXIFFocalPlaneXResolution;
  EXIFFocalPlaneYResolution = source.EXIFFocalPlaneYResolution;
  EXIFFocalPlaneResolutionUnit = source.EXIFFocalPlaneResolutionUnit;
  EXIFExposureIndex = source.EXIFExposureIndex;
  EXIFSensingMethod = source.EXIFSensingMethod;
  EXIFFileSource = source.EXIFFileSource;
  EXIFSceneType = source.EXIFSceneType;
  EXIFUserComment = source.EXIFUserComment;
  EXIFUserCommentCode = source.EXIFUserCommentCode;

  // Remaining (KeepNativeFormat is this record's owner's choice and stays)
  AVIFrameCount = source.AVIFrameCount;
  AVIFrameDelay = source.AVIFrameDelay;
  PSPaperWidth = source.PSPaperWidth;
  PSPaperHeight = source.PSPaperHeight;
  PSCompression = source.PSCompression;
  PSTitle = source.PSTitle;
  PDFPaperWidth = source.PDFPaperWidth;
  PDFPaperHeight = source.PDFPaperHeight;
  PDFCompression = source.PDFCompression;
  PDFTitle = source.PDFTitle;
  PDFAuthor = source.PDFAuthor;
  PDFSubject = source.PDFSubject;
  PDFKeywords = source.PDFKeywords;
  PDFCreator = source.PDFCreator;
  PDFProducer = source.PDFProducer;
  InputICC->Assign(source.InputICC.get());
  OutputICC->Assign(source.OutputICC.get());
  SetPalette(source.Palette.get(), source.Palette ? source.PaletteCount : 0);
  GIFImageCount = source.GIFImageCount;
  TIFFImageCount = source.TIFFImageCount;
  ICOSizes = source.ICOSizes;
  ICOBitCounts = source.ICOBitCounts;
}

void TIOParamsVals::CopySaveOptions(const TIOParamsVals& source) {
  if (&source == this) return;
  BitsPerSample = source.BitsPerSample;
  SamplesPerPixel = source.SamplesPerPixel;
  TIFFCompression = source.TIFFCompression;
  TIFFPhotometric = source.TIFFPhotometric;
  TIFFPlanarConfig = source.TIFFPlanarConfig;
  SetTIFFOrientation(source.TIFFOrientation);
  TIFFLZWDecompressor = source.TIFFLZWDecompressor;
  TIFFLZWCompressor = source.TIFFLZWCompressor;
  TIFFApplyOrientation = source.TIFFApplyOrientation;
  TIFFJPEGQuality = source.TIFFJPEGQuality;
  TIFFJPEGColorSpace = source.TIFFJPEGColorSpace;
  GIFInterlaced = source.GIFInterlaced;
  GIFLZWDecompressor = source.GIFLZWDecompressor;
  GIFLZWCompressor = source.GIFLZWCompressor;
  JPEGColorSpace = source.JPEGColorSpace;
  JPEGQuality = source.JPEGQuality;
  JPEGDCTMethod = source.JPEGDCTMethod;
  JPEGOptimalHuffman = source.JPEGOptimalHuffman;
  JPEGSmooth = source.JPEGSmooth;
  JPEGProgressive = source.JPEGProgressive;
  J2000ColorSpace = source.J2000ColorSpace;
  J2000Rate = source.J2000Rate;
  J2000ProgressionOrder = source.J2000ProgressionOrder;
  PCXVersion = source.PCXVersion;
  PCXCompression = source.PCXCompression;
  BMPHeaderKind = source.BMPHeaderKind;
  BMPCompression = source.BMPCompression;
  PNGInterlaced = source.PNGInterlaced;
  PNGFilter = source.PNGFilter;
  PNGCompression = source.PNGCompression;
  TGACompressed = source.TGACompressed;
  TGAGrayLevel = source.TGAGrayLevel;
}

void TIOParamsVals::SetDpiX(int32_t value) {
  DpiX = value;
  EXIFXResolution = value;
  if (Owner != nullptr) Owner->OwnerDpiXChanged(value);
}

void TIOParamsVals::SetDpiY(int32_t value) {
  DpiY = value;
  EXIFYResolution = value;
  if (Owner != nullptr) Owner->OwnerDpiYChanged(value);
}

// EXIF rationals may hold anything (NaN from 0/0, huge values); truncating
// those directly would be undefined, so they are clamped first.
void TIOParamsVals::SetEXIFXResolution(double value) { SetDpiX(TruncToInt32(value)); }

void TIOParamsVals::SetEXIFYResolution(double value) { SetDpiY(TruncToInt32(value)); }

void TIOParamsVals::SetTIFFOrientation(int32_t value) {
  TIFFOrientation = value;
  EXIFOrientation = value;
}

void TIOParamsVals::SetEXIFOrientation(int32_t value) {
  TIFFOrientation = value;
  EXIFOrientation = value;
}

int32_t TIOParamsVals::GetEXIFISOSpeed(int index) const { return GetAt(EXIFISOSpeedRatings, index); }
void TIOParamsVals::SetEXIFISOSpeed(int index, int32_t value) { SetAt(EXIFISOSpeedRatings, index, value); }
double TIOParamsVals::GetEXIFWhitePoint(int index) const { return GetAt(EXIFWhitePoint, index); }
void TIOParamsVals::SetEXIFWhitePoint(int index, double value) { SetAt(EXIFWhitePoint, index, value); }
double TIOParamsVals::GetEXIFPrimaryChromaticities(int index) const {
  return GetAt(EXIFPrimaryChromaticities, index);
}
void TIOParamsVals::SetEXIFPrimaryChromaticities(int index, double value) {
  SetAt(EXIFPrimaryChromaticities, index, value);
}
double TIOParamsVals::GetEXIFYCbCrCoefficients(int index) const { return GetAt(EXIFYCbCrCoefficients, index); }
void TIOParamsVals::SetEXIFYCbCrCoefficients(int index, double value) { SetAt(EXIFYCbCrCoefficients, index, value); }
double TIOParamsVals::GetEXIFReferenceBlackWhite(int index) const { return GetAt(EXIFReferenceBlackWhite, index); }
void TIOParamsVals::SetEXIFReferenceBlackWhite(int index, double value) {
  SetAt(EXIFReferenceBlackWhite, index, value);
}

void TIOParamsVals::SetPalette(const TBGR* data, int32_t count) {
  if (count <= 0) {
    FreePalette();
    return;
  }
  // Build the new palette before freeing the old: data may point into it.
  auto palette = std::make_unique<TBGR[]>(static_cast<size_t>(count));
  if (data != nullptr) std::memcpy(palette.get(), data, static_cast<size_t>(count) * sizeof(TBGR));
  Palette = std::move(palette);
  PaletteCount = count;
}

void TIOParamsVals::FreePalette() {
  Palette.reset();
  PaletteCount = 0;
}

}  // namespace pixoran
